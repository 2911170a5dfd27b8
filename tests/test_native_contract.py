"""What every native module of the package promises, whatever it does:
one exported symbol, multi-phase initialisation, a body that runs once per
process, and module-qualified frames in tracebacks."""
import gc
import importlib.util
import subprocess
import sys
import textwrap

import pytest

from .conftest import native_modules

MODULES = native_modules()

# Importing some modules has effects that a test must tame: the greeting
# sleeps for about 43 s, so the sleeps are made instant.
PREAMBLE = "import time; time.sleep = lambda seconds: None\n"

# For each module: code that makes one native function fail, and the frame
# name the traceback must show.
TRACEBACK_CASES = {
    "tavox.roster": (
        "import tavox.roster as m\nm.get_required_packages(1)",
        "tavox.roster.get_required_packages",
    ),
    "tavox.configuration": (
        "import tavox.configuration as m\nm.Configuration = None\nm.load_configuration()",
        "tavox.configuration.load_configuration",
    ),
    "tavox.manifest.runtime": (
        "import argparse, tavox.manifest.runtime as m\n"
        "m.ManifestRuntime.load_entry_points(argparse.Namespace(manifest_runtimes=None))",
        "tavox.manifest.runtime.ManifestRuntime.load_entry_points",
    ),
    "tavox.cli.commands.shell": (
        "import argparse, tavox.cli.commands.shell as m\n"
        "m.ShellCommand.run(None, argparse.Namespace(testbed=object()))",
        "tavox.cli.commands.shell.ShellCommand.run",
    ),
    "tavox.cli.commands.create": (
        "import tavox.cli.commands.create as m\nm.CreateProject._tc_name_ok([])",
        "tavox.cli.commands.create.CreateProject._tc_name_ok",
    ),
    "tavox.cli.commands.migrate.abstract": (
        "import tavox.cli.commands.migrate.abstract as m\n"
        "m.MigrateAbstractCommand.get_parent_tokens(None, 'a/b')",
        "tavox.cli.commands.migrate.abstract.MigrateAbstractCommand.get_parent_tokens",
    ),
    "tavox.cli.commands.version.scoutver": (
        "from tavox.cli.commands.version.scoutver import ScoutverVersions\n"
        "ScoutverVersions.get_latest_version(None)",
        "tavox.cli.commands.version.scoutver.ScoutverVersions.get_all_available_versions",
    ),
    "tavox.cli.commands.version.update": (
        "import tavox.cli.commands.version.update as m\n"
        "m.VersionUpdateCommand._is_tavox_package(None, 'tavox')",
        "tavox.cli.commands.version.update.VersionUpdateCommand._is_tavox_package",
    ),
}


def run_python(code, **kw):
    return subprocess.run([sys.executable, "-c", PREAMBLE + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120, **kw)


def importing(name):
    """Code (for run_python) that imports module `name` as `mod`, its output
    kept quiet, and binds `native` to the type of every native function."""
    return f"""
        import importlib, io, contextlib, sys
        with contextlib.redirect_stdout(io.StringIO()):
            mod = importlib.import_module({name!r})
        import tavox.roster
        native = type(tavox.roster.get_required_packages)
    """


def library_path(name):
    found = importlib.util.find_spec(name)
    assert found is not None and found.origin, f"{name} is not installed"
    return found.origin


@pytest.mark.parametrize("name", MODULES)
def test_exports_only_its_init_function(name):
    path = library_path(name)
    assert path.endswith(".so"), f"{name} is not a native module: {path}"
    out = subprocess.run(["nm", "-D", "--defined-only", path],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines()
               if line.split() and line.split()[-2] not in ("w", "U", "V")]
    assert symbols == ["PyInit_" + name.rsplit(".", 1)[-1]]


@pytest.mark.parametrize("name", MODULES)
def test_initialises_through_the_multi_phase_protocol(name):
    # PyInit_<name> returns a module definition, not a module.
    result = run_python(f"""
        import ctypes
        lib = ctypes.PyDLL({library_path(name)!r})
        init = getattr(lib, "PyInit_{name.rsplit('.', 1)[-1]}")
        init.restype = ctypes.c_void_p   # a borrowed reference: don't own it
        print(type(ctypes.cast(init(), ctypes.py_object).value).__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[-1] == "moduledef"


@pytest.mark.parametrize("name", MODULES)
def test_body_runs_once_per_process(name):
    result = run_python(f"""
        import importlib, sys, io, contextlib
        with contextlib.redirect_stdout(io.StringIO()):
            mod = importlib.import_module({name!r})
            first = dict(vars(mod))
            again = importlib.reload(mod)
        assert again is mod
        assert all(vars(mod)[k] is v for k, v in first.items() if not k.startswith("__"))
        del sys.modules[{name!r}]
        try:
            importlib.import_module({name!r})
        except ImportError as exc:
            print("refused:", exc)
        else:
            raise SystemExit("second initialisation was not refused")
    """)
    assert result.returncode == 0, result.stderr
    assert "refused:" in result.stdout and "once per process" in result.stdout
    assert name in result.stdout


@pytest.mark.parametrize("name", sorted(TRACEBACK_CASES))
def test_traceback_names_the_native_function(name):
    code, frame = TRACEBACK_CASES[name]
    result = run_python(code)
    assert result.returncode == 1
    assert f", in {frame}\n" in result.stderr, result.stderr


@pytest.mark.parametrize("name", MODULES)
def test_names_follow_the_dotted_module_name(name):
    # The logger, the classes and every native function carry the module's
    # full dotted name; methods are qualified by their class.  Every
    # module's functions are of the one callable type.
    result = run_python(importing(name) + f"""
        bad = []
        logger = getattr(mod, "logger", None)
        if logger is not None and logger.name != {name!r}:
            bad.append(("logger", logger.name))
        for key, value in vars(mod).items():
            # (a function imported from another module keeps that module's name)
            if (isinstance(value, native) and value.__module__ != {name!r}
                    and getattr(sys.modules.get(value.__module__), key, None) is not value):
                bad.append((key, value.__module__))
            if isinstance(value, type) and value.__module__ == {name!r}:
                for attr, member in vars(value).items():
                    func = getattr(member, "__func__", member)
                    # (what a metaclass adds, such as an enum's _new_member_,
                    # is not ours)
                    own = not (attr.startswith("_") and attr.endswith("_"))
                    if own and callable(func) and not isinstance(func, (native, type)):
                        bad.append((key + "." + attr, type(func).__name__))
                    # a decorator's closure keeps its own qualified name
                    # ("except_log.<locals>.inner"), as in Python
                    if isinstance(func, native) and not (
                            func.__module__ == {name!r}
                            and (func.__qualname__.startswith(key + ".")
                                 or ".<locals>." in func.__qualname__)):
                        bad.append((key + "." + attr, func.__module__, func.__qualname__))
        print(mod.__name__, bad)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == f"{name} []"


# ---- the callable type that every native function is --------------------

# Modules whose body defines no function (only classes with plain values, or
# nothing at all).
WITHOUT_FUNCTIONS = {"tavox.awesome", "tavox.cli.commands.secret", "tavox.cli.commands.validate"}


def native_type():
    import tavox.roster
    return type(tavox.roster.get_required_packages)


def test_function_type_cannot_be_instantiated():
    native = native_type()
    for make in (native, lambda: object.__new__(native)):
        with pytest.raises(TypeError):
            make()


@pytest.mark.parametrize("name", MODULES)
def test_repr_of_every_function(name):
    result = run_python(importing(name) + f"""
        found = list(vars(mod).values())
        for cls in [v for v in found if isinstance(v, type) and v.__module__ == {name!r}]:
            found += [getattr(member, "__func__", member) for member in vars(cls).values()]
        found = [f for f in found if isinstance(f, native)]
        bad = [repr(f) for f in found
               if repr(f) != "<function %s at %#x>" % (f.__qualname__, id(f))]
        print(len(found), bad)
    """)
    assert result.returncode == 0, result.stderr
    count, bad = result.stdout.splitlines()[-1].split(" ", 1)
    assert bad == "[]"
    assert int(count) > 0 or name in WITHOUT_FUNCTIONS


def test_function_type_reference_count_is_steady():
    # Nested functions are made per call (the update's retry wrapper, the
    # migration's except_log): each one made and dropped gives back the
    # reference it held on the type.
    import tavox.cli.commands.migrate.abstract as abstract
    from tavox.cli.commands.version.update import pip_conf_loop

    def make_and_drop():
        for _ in range(1000):
            pip_conf_loop(len)
            abstract.except_log(len)
        gc.collect()

    types = {type(pip_conf_loop), type(abstract.except_log)}
    make_and_drop()
    before = [sys.getrefcount(t) for t in types]
    make_and_drop()
    after = [sys.getrefcount(t) for t in types]
    assert after == before


def test_libraries_of_another_build_are_refused():
    # One type is shared by all libraries of a process; one whose objects
    # would be laid out otherwise must not join.
    result = run_python("""
        import sys, tavox.roster
        sys.modules["tavox._native_function"].layout = "another build"
        try:
            import tavox.configuration
        except ImportError as exc:
            print("refused:", exc)
    """)
    assert result.returncode == 0, result.stderr
    assert "refused:" in result.stdout and "different builds" in result.stdout
