"""The manifest runtime: ``python -m tavox.manifest MANIFEST.tem [options]``.

Jobs run as subprocesses against real ".tem" manifests, with runtime
plug-ins installed as entry points of small test distributions.  The
plug-in prints what it was handed (its four arguments, ``sys.argv`` and the
environment) as one JSON line and returns the status that the manifest's
"status" key asks for.
"""
import argparse
import json
import os
import subprocess
import sys

import pytest

PLUGIN = """
    import json, os, sys

    def _report(runtime, profile, manifest, path, custom):
        print("JOB " + json.dumps({
            "runtime": runtime, "profile": dict(profile), "manifest": dict(manifest),
            "path": path, "custom": custom, "argv": sys.argv[1:],
            "file": os.environ.get("TAVOX_MANIFEST_FILE"),
            "profile_env": os.environ.get("TAVOX_MANIFEST_PROFILE"),
        }), flush=True)
        action = manifest.get("action")
        if action == "raise":
            raise RuntimeError("the job blew up")
        if action == "exit":
            sys.exit(7)
        if action == "huge":
            return 1 << 20000       # more digits than int() turns into text
        return manifest.get("status")

    def system(profile, manifest, path, custom):
        return _report("system", profile, manifest, path, custom)

    def virtualenv(profile, manifest, path, custom):
        return _report("virtualenv", profile, manifest, path, custom)
"""

BROKEN = """
    raise ImportError("the plug-in cannot be imported")
"""

MANIFEST = """\
type: pyjob
status: {status}
profiles:
  lab:
    runtime: isolated
  plain: {{}}
  odd:
    runtime: container
runtimes:
  isolated:
    type: virtualenv
  container:
    type: sandbox
"""


@pytest.fixture
def plugins(make_dist):
    return make_dist("job-runtimes", "1.0", {
        "tavox.manifest.runtimes.system": {"pyjob": "job_runtimes:system"},
        "tavox.manifest.runtimes.virtualenv": {"pyjob": "job_runtimes:virtualenv"},
    }, {"job_runtimes.py": PLUGIN})


@pytest.fixture
def workdir(tmp_path):
    path = tmp_path / "work"
    path.mkdir()
    return path


def write_manifest(path, status=0, extra=""):
    path.write_text(MANIFEST.format(status=json.dumps(status)) + extra)
    return path


@pytest.fixture
def run(manifest_cmd, subprocess_env, plugins, workdir):
    def run(*args, dists=(), **env):
        environment = subprocess_env(plugins, *dists, **env)
        # the job runs in its own directory: keep relative entries reachable
        environment["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in environment["PYTHONPATH"].split(os.pathsep) if p)
        for name in ("DEBUG", "TAVOX_MANIFEST_FILE", "TAVOX_MANIFEST_PROFILE"):
            if name not in env:
                environment.pop(name, None)
        return subprocess.run([*manifest_cmd, *args], cwd=workdir, env=environment,
                               capture_output=True, text=True, timeout=120)
    return run


def job_report(proc):
    lines = [line for line in proc.stdout.splitlines() if line.startswith("JOB ")]
    assert len(lines) == 1, proc.stdout + proc.stderr
    return json.loads(lines[0][4:])


def test_job_gets_its_arguments_and_its_status_is_the_exit_status(run, workdir):
    target = write_manifest(workdir / "real.tem", status=3)
    (workdir / "job.tem").symlink_to(target)
    proc = run("job.tem", "--alpha", "1", "job.py", "-x")
    assert proc.returncode == 3, proc.stderr
    report = job_report(proc)
    assert report["runtime"] == "system"
    assert report["profile"] == {}
    assert report["path"] == "job.tem"
    assert report["custom"] == ["--alpha", "1", "job.py", "-x"]
    assert report["argv"] == ["--alpha", "1", "job.py", "-x"]
    assert report["file"] == str(target.resolve())
    assert report["profile_env"] is None
    assert report["manifest"]["type"] == "pyjob"
    assert "SAVE_JOB_JSON" not in report["manifest"]
    assert "follow_symlink" not in report["manifest"]
    assert proc.stdout.splitlines() == ["JOB " + json.dumps(report)]
    assert proc.stderr == ""


def test_profile_selects_the_runtime_and_options_are_interleaved(run, workdir):
    write_manifest(workdir / "job.tem", status=0)
    proc = run("--alpha", "job.tem", "--save-job-json", "out.json", "job.py",
               "--profile", "lab", "--follow-symlink", "--beta=2")
    assert proc.returncode == 0, proc.stderr
    report = job_report(proc)
    assert report["runtime"] == "virtualenv"
    assert report["profile"] == {"runtime": "isolated"}
    assert report["profile_env"] == "lab"
    assert report["custom"] == report["argv"] == ["--alpha", "job.py", "--beta=2"]
    assert report["manifest"]["SAVE_JOB_JSON"] == "out.json"
    assert report["manifest"]["follow_symlink"] is True


def test_profile_without_runtime_uses_the_system_runtime(run, workdir):
    write_manifest(workdir / "job.tem")
    report = job_report(run("job.tem", "--profile", "plain", "--save-job-json", ""))
    assert report["runtime"] == "system"
    assert report["profile_env"] == "plain"
    assert "SAVE_JOB_JSON" not in report["manifest"]


@pytest.mark.parametrize("args, env, debug", [
    ([], {}, False),
    (["--verbose"], {}, True),
    (["--dev-vlan", "3"], {}, True),
    (["-x"], {"DEBUG": "0"}, True),
    (["-x"], {"DEBUG": ""}, False),
], ids=["quiet", "long-v-option", "v-inside-option", "DEBUG=0", "DEBUG-empty"])
def test_debug_logging(run, workdir, args, env, debug):
    write_manifest(workdir / "job.tem")
    proc = run("job.tem", *args, **env)
    assert proc.returncode == 0, proc.stderr
    debug_lines = [line for line in proc.stdout.splitlines() if not line.startswith("JOB ")]
    if not debug:
        assert debug_lines == []
        return
    assert debug_lines[0].startswith(
        "Loaded plugin for script type 'pyjob' with runtime 'system': <function system at ")
    assert debug_lines[1].startswith(
        "Loaded plugin for script type 'pyjob' with runtime 'virtualenv': <function virtualenv")
    import yaml
    profiles = yaml.safe_load(MANIFEST.format(status=0))["profiles"]
    assert debug_lines[2] == "Profiles: {}".format(profiles)


@pytest.mark.parametrize("name, manifest_args, message", [
    ("job.tem", ["absent.tem"], "Manifest file 'absent.tem' does not exist"),
    ("job.tem", ["."], "Manifest file '.' does not exist"),
    ("job.TEM", ["job.TEM"], "Manifest file must have .tem extension"),
    ("job.tem.bak", ["job.tem.bak"], "Manifest file must have .tem extension"),
    ("job.tem", ["job.tem", "--profile", "bogus"],
     "bogus is not a valid profile, vailable profiles: ['lab', 'plain', 'odd']"),
    ("job.tem", ["job.tem", "--profile", "odd"],
     "No manifest runtime available for script type 'pyjob' with runtime 'sandbox'"),
], ids=["missing", "directory", "capital-suffix", "suffix-after-tem", "unknown-profile",
        "runtime-type-without-plugins"])
def test_refused_jobs(run, workdir, name, manifest_args, message):
    write_manifest(workdir / name)
    proc = run(*manifest_args)
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, message + "\n", "")


def test_script_type_without_plugin_fails(run, workdir):
    (workdir / "job.tem").write_text("type: batchjob\n")
    proc = run("job.tem")
    assert (proc.returncode, proc.stdout, proc.stderr) == (
        1, "No manifest runtime available for script type 'batchjob' with runtime 'system'\n", "")


STATUS_WARNING = ("The job's result %s is not an exit status from 0 to 255: "
                  "ending with status 1")


@pytest.mark.parametrize("status, code, warning", [
    (None, 0, None), ("not a number", 0, None), ([1], 0, None), ("5", 5, None),
    (True, 1, None), (255, 255, None), (0, 0, None),
    # the system keeps only the low 8 bits of a status: 256 would read as 0
    (256, 1, "256"), (99999999999999999999, 1, "99999999999999999999"), (-1, 1, "-1"),
    ("512", 1, "512"), ("huge", 1, "(an integer of 20001 bits)"),
], ids=["none", "text", "list", "numeric-text", "true", "255", "0", "256", "20-digits",
        "negative", "numeric-text-512", "huge"])
def test_result_becomes_the_status_when_int_takes_it(run, workdir, status, code, warning):
    extra = "action: huge\n" if status == "huge" else ""
    write_manifest(workdir / "job.tem", status=None if extra else status, extra=extra)
    proc = run("job.tem")
    assert proc.returncode == code
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("JOB ")
    assert lines[1:] == ([STATUS_WARNING % warning] if warning else [])
    assert proc.stderr == ""


def alias_manifest(levels=9, width=10):
    """A manifest of a few hundred bytes whose profiles stand for 10**9
    entries: each level lists the previous one ten times, by alias."""
    lines = ["profiles:", "  l0: &l0 [%s]" % ", ".join(["x"] * width)]
    for i in range(1, levels):
        lines.append("  l%d: &l%d [%s]" % (i, i, ", ".join(["*l%d" % (i - 1)] * width)))
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("debug", [False, True], ids=["quiet", "debug"])
def test_shared_subtrees_in_the_manifest_are_logged_bounded(run, workdir, debug):
    # (no plug-in for the script type: the test plug-in would print it all)
    text = "type: batchjob\n" + alias_manifest()
    assert len(text) < 600
    (workdir / "job.tem").write_text(text)
    proc = run("job.tem", *(["-v"] if debug else []))   # hung before
    assert proc.stdout.endswith(
        "No manifest runtime available for script type 'batchjob' with runtime 'system'\n")
    profiles = [line for line in proc.stdout.splitlines() if line.startswith("Profiles: ")]
    if not debug:
        assert profiles == []
        return
    [line] = profiles
    assert line.startswith("Profiles: {'l0': ['x', 'x', ")
    assert line.endswith(" ... (shortened)") and len(line) < 5000


@pytest.mark.parametrize("extra, args, message", [
    ("profiles: [a, b]\n", [], '"profiles" must be a mapping of profile names to profiles'),
    ("profiles:\n", [], '"profiles" must be a mapping of profile names to profiles'),
    ("profiles: {p1: nope}\n", ["--profile", "p1"],
     "profile 'p1' in \"profiles\" must be a mapping"),
    ("runtimes: 5\n", [], '"runtimes" must be a mapping of runtime names to runtimes'),
    ("profiles: {p1: {runtime: [a]}}\n", ["--profile", "p1"],
     "the \"runtime\" of profile 'p1' must be a runtime name"),
    ("profiles: {p1: {runtime: r}}\nruntimes: {r: [virtualenv]}\n", ["--profile", "p1"],
     "runtime 'r' in \"runtimes\" must be a mapping"),
], ids=["profiles-list", "profiles-empty", "profile-text", "runtimes-int", "runtime-name-list",
        "runtime-list"])
def test_manifest_of_the_wrong_shape_is_one_line(run, workdir, extra, args, message):
    (workdir / "job.tem").write_text("type: pyjob\n" + extra)
    proc = run("job.tem", *args)
    assert (proc.returncode, proc.stdout, proc.stderr) == (
        1, "Manifest file 'job.tem': %s\n" % message, "")


def test_values_of_the_wrong_type_in_the_refusal_are_bounded(run, workdir):
    (workdir / "job.tem").write_text(alias_manifest() + "type: *l8\n")
    proc = run("job.tem")
    assert proc.returncode == 1
    assert proc.stdout.startswith("No manifest runtime available for script type '[[[[")
    assert proc.stdout.endswith(" ... (shortened)' with runtime 'system'\n")


@pytest.mark.parametrize("text, error", [
    (MANIFEST.format(status=0) + "action: raise\n", "RuntimeError: the job blew up"),
    ("type: pyjob\nprofiles: [unclosed\n", "yaml.parser.ParserError"),
    ("- a list\n", "ValueError: manifest file 'job.tem' must hold a YAML mapping"),
], ids=["job-raises", "bad-yaml", "not-a-mapping"])
def test_failure_after_the_plugins_loaded_shows_its_traceback(run, workdir, text, error):
    (workdir / "job.tem").write_text(text)
    proc = run("job.tem")
    assert proc.returncode == 1
    assert proc.stderr.startswith("Traceback (most recent call last):\n")
    assert error in proc.stderr
    assert ", in tavox.manifest.runtime.ManifestRuntime.main\n" in proc.stderr


def test_job_exit_status_passes_through(run, workdir):
    write_manifest(workdir / "job.tem", extra="action: exit\n")
    assert run("job.tem").returncode == 7


def test_plugin_that_fails_to_load(run, workdir, make_dist):
    broken = make_dist("broken-runtime", "1.0", {
        "tavox.manifest.runtimes.system": {"batchjob": "broken_runtime:run"},
    }, {"broken_runtime.py": BROKEN})
    write_manifest(workdir / "job.tem")
    proc = run("job.tem", dists=[broken])
    assert proc.returncode == 1
    assert "JOB " not in proc.stdout
    assert proc.stdout.startswith(
        "\nError loading manifest plugin 'batchjob' entrypoint 'broken_runtime'\n\n"
        "Traceback (most recent call last):\n")
    assert proc.stdout.rstrip().endswith("ImportError: the plug-in cannot be imported")
    assert proc.stderr == ""


def test_no_manifest_shows_help(run):
    proc = run()
    assert proc.returncode == 0
    assert "Tavox script command line arguments.\n" \
        "Non-recognized args will pass-through to the user job file.\n\n" + "-" * 80 + "\n" \
        in proc.stdout
    assert "--follow-symlink" in proc.stdout and "Manifest Options:" in proc.stdout
    assert proc.stderr == ""


# ---- the runtime object, in this process ---------------------------------

@pytest.fixture
def runtime_module():
    from tavox.manifest import runtime
    return runtime


def test_parser_handed_in_is_used_as_it_is(runtime_module):
    parser = argparse.ArgumentParser(prog="job", description="mine", epilog="end")
    rt = runtime_module.ManifestRuntime(parser)
    assert rt.parser is parser
    assert (parser.description, parser.epilog, parser.formatter_class) == \
        ("mine", "end", argparse.HelpFormatter)
    own = runtime_module.ManifestRuntime().parser
    assert own.description == runtime_module.ManifestRuntime.CLI_DESCRIPTION
    assert own.epilog is None and own.add_help is False


def test_parse_args_hands_the_rest_to_the_job(runtime_module, monkeypatch):
    rt = runtime_module.ManifestRuntime()
    monkeypatch.setattr(sys, "argv", ["runner", "ignored"])
    monkeypatch.setattr(rt.env.argv, "custom", [])
    args = rt.parse_args(["a.tem", "-k", "--profile", "p", "x"])
    assert (args.manifest_file, args.profile, args.path, args.follow_symlink) == \
        ("a.tem", "p", False, False)
    assert sys.argv == ["runner", "-k", "x"]
    assert rt.env.argv.custom == ["-k", "x"]


def test_parser_with_help_option_prints_help(runtime_module, capsys):
    rt = runtime_module.ManifestRuntime(argparse.ArgumentParser(prog="job"))
    with pytest.raises(SystemExit) as exc:
        rt.parse_args(["-h"])
    assert exc.value.code == 0
    assert "manifest filename" in capsys.readouterr().out
