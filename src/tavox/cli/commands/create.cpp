// tavox.cli.commands.create -- the `create` command group and `create project`.
//
// `tavox create project` collects a project name, testcase names and the
// datafile choice (from options, or by asking on the terminal), checks them,
// and renders the project template that ships in this package with
// cookiecutter, non-interactively.  Plug-ins may add further `create`
// subcommands through the entry-point group named by SUBCMDS_ENTRYPOINT.
#include "support/support.hpp"

#include <initializer_list>

namespace tavox::cli::commands::create {

using support::builtin;
using support::concat;
using support::percent;

static const char PROJECT_NAME_ERROR[] =
    "Please provide a project name within the allowed character set: [A-Za-z_]+";

static const char EMPTY_NAME_ERROR[] = "Testcase names must not be empty.";

static const char REPLAY_DIR_ERROR[] =
    "Cannot generate the project: cookiecutter cannot write its replay directory '%s' (%s)";

static const char INSTALL_TEXT[] =
    "Please install the required dependencies before using this command:\n\n"
    "    pip install tavox[template]";

// Where the project template lives, relative to the directory of the
// tavox.cli.commands package.
static const char TEMPLATE_SUBDIR[] = "templates";
static const char TEMPLATE_NAME[] = "project";

// The template directory: beside this library when the template is there (in
// the source tree and in an installed package alike), otherwise in the first
// directory of the package's __path__ that holds it.  Falls back to the
// library's own directory, so that a missing template is reported by
// cookiecutter when the command runs, not by the import.
static py::str template_location(Module &m) {
    py::object path = py::module_::import("os").attr("path");
    py::list candidates;
    candidates.append(path.attr("dirname")(path.attr("abspath")(m.get("__file__"))));
    py::object package =
        py::module_::import("sys").attr("modules").attr("get")(m.get("__package__"));
    if (!package.is_none() && py::hasattr(package, "__path__"))
        for (py::handle entry : package.attr("__path__"))
            candidates.append(path.attr("abspath")(entry));
    for (py::handle dir : candidates) {
        py::object location = path.attr("join")(dir, TEMPLATE_SUBDIR, TEMPLATE_NAME);
        if (truth(path.attr("isfile")(path.attr("join")(location, "cookiecutter.json"))))
            return py::str(location);
    }
    return py::str(path.attr("join")(candidates[0], TEMPLATE_SUBDIR, TEMPLATE_NAME));
}

// Why cookiecutter could not write its replay directory, or None.
//
// cookiecutter records the answers of every run in its replay directory
// (`replay_dir` of its user configuration, ~/.cookiecutter_replay/ by
// default) before it writes the project, and ends in a traceback when that
// directory cannot be created or written.  Only cookiecutter's own function
// is checked; its configuration errors are left for it to report.
static py::object replay_dir_problem(const Call &call) {
    py::object generate = call.global("cookiecutter");
    py::object module = py::getattr(generate, "__module__", py::none());
    if (!py::isinstance<py::str>(module) || !truth(module.attr("startswith")("cookiecutter")))
        return py::none();

    py::object os = py::module_::import("os");
    py::object replay_dir;
    try {
        replay_dir =
            py::module_::import("cookiecutter.config").attr("get_user_config")()["replay_dir"];
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
    // The directory, or the nearest of its parents that exists, must be a
    // directory that may be written (nothing is created here).
    py::object path = os.attr("path");
    py::object existing = path.attr("abspath")(replay_dir);
    while (!truth(path.attr("exists")(existing))) {
        py::object parent = path.attr("dirname")(existing);
        if (parent.equal(existing)) break;
        existing = parent;
    }
    py::object reason = py::none();
    if (!truth(path.attr("isdir")(existing))) reason = py::str("Not a directory");
    else if (!truth(os.attr("access")(existing, os.attr("W_OK") | os.attr("X_OK"))))
        reason = py::str("Permission denied");
    if (reason.is_none()) return reason;
    return percent(REPLAY_DIR_ERROR, py::make_tuple(replay_dir, reason));
}

// ---- def string_in(strng, charset) ----------------------------------------

// True when every character of `strng` is in `charset`; stops at the first
// that is not.
TAVOX_DEF(string_in, "string_in", "strng, charset", nullptr) {
    py::handle charset = TAVOX_ARG(charset);
    for (py::handle ch : TAVOX_ARG(strng))
        if (!contains(charset, ch)) return py::bool_(false);
    return py::bool_(true);
}

// ---- class CreateProject(Subcommand) ---------------------------------------

// def __init__(self, *args, **kwargs):
TAVOX_DEF(CreateProject_init, "CreateProject.__init__", "self, *args, **kwargs", nullptr) {
    py::handle self = TAVOX_ARG(self);
    call.super_init();

    py::object parser = self.attr("parser");
    parser.attr("add_argument")("--name", py::arg("dest") = "name",
                                py::arg("type") = builtin("str"), py::arg("metavar") = "",
                                py::arg("default") = py::none(),
                                py::arg("help") = "name of new Tavox project");
    parser.attr("add_argument")(
        "--testcases", py::arg("dest") = "testcases", py::arg("nargs") = "*",
        py::arg("metavar") = py::make_tuple("", ""), py::arg("default") = py::none(),
        py::arg("help") = "names of testcases to be generated");

    py::object datafile = parser.attr("add_mutually_exclusive_group")();
    datafile.attr("add_argument")(
        "--datafile", py::arg("dest") = "datafile", py::arg("action") = "store_true",
        py::arg("default") = py::none(), py::arg("help") = "flag to indicate usage of datafiles");
    datafile.attr("add_argument")(
        "--no-datafile", py::arg("dest") = "datafile", py::arg("action") = "store_false",
        py::arg("default") = py::none(), py::arg("help") = "disable the usage of datafiles");
    return py::none();
}

// @classmethod
// def _tc_name_ok(cls, testcases):
TAVOX_DEF(CreateProject_tc_name_ok, "CreateProject._tc_name_ok", "cls, testcases", nullptr) {
    py::handle testcases = TAVOX_ARG(testcases);

    if (!truth(testcases)) throw py::value_error("Must provide at least one testcase name.");

    py::object distinct = py::reinterpret_steal<py::object>(PySet_New(testcases.ptr()));
    if (!distinct) throw py::error_already_set();
    if (py::len(distinct) != py::len(testcases))
        throw py::value_error("Detected duplicate testcase names.");

    // An empty name would give a test case without a name (a class `_`).
    for (py::handle name : testcases)
        if (py::isinstance<py::str>(name) && py::len(name) == 0)
            throw py::value_error(EMPTY_NAME_ERROR);

    py::object string_in = call.global("string_in");
    py::object allowed = call.global("ALLOWED_CHARSET");
    py::list bad_names;
    for (py::handle name : testcases)
        if (!truth(string_in(name, allowed))) bad_names.append(name);

    if (!bad_names.empty()) {
        py::object msg = py::str(
            "Please provide testcase names within the allowed character set [A-Za-z_]. Got: ");
        for (py::handle name : bad_names)
            msg = concat(msg, percent("\n  - %s", py::make_tuple(name)));
        support::raise(PyExc_ValueError, msg);
    }
    return py::reinterpret_borrow<py::object>(testcases);
}

// @classmethod
// def _ask_testcases(cls):
TAVOX_DEF(CreateProject_ask_testcases, "CreateProject._ask_testcases", "cls", nullptr) {
    py::handle cls = TAVOX_ARG(cls);
    py::object logger = call.global("logger");
    py::object sys = call.global("sys");
    py::object print = call.global("print");
    py::object input = call.global("input");

    logger.attr("info")("Testcase names [enter to finish]: ");
    py::list testcases;
    while (true) {
        print(percent("  %s. ", py::make_tuple(py::len(testcases) + 1)), py::arg("end") = "");
        sys.attr("stdout").attr("flush")();
        py::object entry = input();
        if (!truth(entry)) break;

        py::list candidate = testcases + py::list(py::make_tuple(entry));
        try {
            cls.attr("_tc_name_ok")(candidate);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
            logger.attr("error")(py::str(e.value()));
            continue;
        }
        testcases.append(entry);
    }
    return std::move(testcases);
}

// def run(self, args):
TAVOX_DEF(CreateProject_run, "CreateProject.run", "self, args", nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::handle args = TAVOX_ARG(args);

    if (call.global("cookiecutter").is_none())
        support::raise(PyExc_Exception, py::str(INSTALL_TEXT));

    py::object logger = call.global("logger");
    // Before anything is asked: a run that cookiecutter would end anyway.
    py::object problem = replay_dir_problem(call);
    if (!problem.is_none()) {
        logger.attr("error")(problem);
        support::exit(1);
    }

    py::object string_in = call.global("string_in");
    py::object allowed = call.global("ALLOWED_CHARSET");
    py::object project_name = py::none();

    py::object name = args.attr("name");
    if (truth(name)) {
        if (truth(string_in(name, allowed))) {
            project_name = name;
        } else {
            logger.attr("error")(PROJECT_NAME_ERROR);
            call.global("exit")(1);
            return py::none();
        }
    }

    py::object testcases = py::list();
    if (truth(args.attr("testcases")))
        testcases = self.attr("_tc_name_ok")(args.attr("testcases"));

    if (!truth(name)) {
        py::object input = call.global("input");
        while (true) {
            py::object answer = input("Project Name: ").attr("strip")();
            if (truth(answer) && truth(string_in(answer, allowed))) {
                project_name = answer;
                break;
            }
            logger.attr("error")(PROJECT_NAME_ERROR);
        }
    }

    if (!truth(testcases)) testcases = self.attr("_ask_testcases")();

    py::object datafile = args.attr("datafile");
    if (datafile.is_none()) {
        py::object answer =
            call.global("input")("Will you be using testcase datafiles [Y/n]: ").attr("lower")();
        bool yes = false;
        for (const char *accepted : {"yes", "y", ""})
            if (answer.equal(py::str(accepted))) yes = true;
        datafile = py::bool_(yes);
    }

    logger.attr("info")("Generating your project...");

    py::dict extra_context;
    extra_context["project_name"] = project_name;
    extra_context["testcases"] = call.global("OrderedDict").attr("fromkeys")(testcases);
    extra_context["use_datafile"] = datafile;
    call.global("cookiecutter")(call.global("DEFAULT_COOKIE"), py::arg("no_input") = true,
                                py::arg("extra_context") = extra_context);
    return py::none();
}

// ---- module body -----------------------------------------------------------

static void exec(Module &m) {
    m.import("sys");
    py::object string = m.import("string");
    m.import("logging");
    m.import_from("collections", "OrderedDict");

    py::object CommandWithSubcommands = m.import_from("..base", "CommandWithSubcommands");
    py::object Subcommand = m.import_from("..base", "Subcommand");

    // try:
    //     from cookiecutter.main import cookiecutter
    // except ImportError:
    //     cookiecutter = None
    try {
        m.import_from("cookiecutter.main", "cookiecutter");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.set("cookiecutter", py::none());
    }

    m.logger();

    py::str default_cookie = template_location(m);
    m.set("DEFAULT_COOKIE", default_cookie);
    m.set("ALLOWED_CHARSET", concat(string.attr("ascii_lowercase"), string.attr("ascii_uppercase"),
                                    string.attr("digits"), "_."));

    m.def(string_in);

    // class CreateProject(Subcommand):
    py::object CreateProject = m.add_class("CreateProject", {Subcommand}, [&](ClassBody &c) {
        c.doc("\n    Creates a new Tavox project from cookiecutter template\n    ");
        c.set("name", "project");
        c.set("help", "create a new Tavox project from template");
        c.set("description",
              percent("\n    create a Tavox script from cookiecutter template, located at:\n"
                      "    %s\n\nRequires Cookiecutter package to be installed to work.\n    ",
                      py::make_tuple(default_cookie)));
        c.method(CreateProject_init);
        c.classmethod(CreateProject_tc_name_ok);
        c.classmethod(CreateProject_ask_testcases);
        c.method(CreateProject_run);
    });

    // class CreateCommand(CommandWithSubcommands):   (no docstring)
    m.add_class("CreateCommand", {CommandWithSubcommands}, [&](ClassBody &c) {
        c.set("name", "create");
        c.set("help", "create scripts and libraries from template");
        c.set("description",
              "\nCreates script and library components automatically based on your input. "
              "These\nare helper functions intended to make your development life "
              "easier/reducing\nnumber of boilerplate to-dos.\n\n    ");
        c.set("SUBCOMMANDS", py::list(py::make_tuple(CreateProject)));
        c.set("SUBCMDS_ENTRYPOINT", "tavox.cli.commands.create");
    });
}

}  // namespace tavox::cli::commands::create

TAVOX_MODULE(create, tavox::cli::commands::create::exec)
