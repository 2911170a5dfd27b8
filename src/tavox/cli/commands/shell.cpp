// tavox.cli.commands.shell -- the `shell` command.
//
// Loads a testbed file while the command line is parsed and opens an
// interactive interpreter whose namespace holds the testbed as `testbed`:
// IPython's terminal shell when IPython and traitlets import and the user
// did not ask for the plain console, code.interact otherwise.
#include "support/files.hpp"
#include "support/support.hpp"
#include "support/yaml_depth.hpp"

#include <cerrno>
#include <string>

namespace tavox::cli::commands::shell {

using support::concat;
using support::fmt;

static const char BANNER_HEAD[] = "Welcome to Tavox Interactive Shell\n"
                                  "==================================\n"
                                  "Python ";
static const char BANNER_LOADER[] = "\n\n>>> from tavox.topology import loader\n"
                                    ">>> testbed = loader.load('";
// The end of the loader line, and a rule of 79 dashes.
static const char BANNER_TAIL[] =
    "')\n"
    "-------------------------------------------------------------------------------";

// ---- class ShellCommand(Command) -----------------------------------------

// What the parser does with the --testbed-file name before the loader sees
// it: a file that is no regular file (a pipe would block for ever) and a
// document nested deeper than a loader may build (its recursion would kill
// the process) are refused with the usage error of any testbed that does
// not load.  Everything else, a missing file too, is the loader's.
//
// def load(testbed_file):  (the loader's, once the file passes)
TAVOX_DEF(ShellCommand_init_load, "ShellCommand.__init__.<locals>.load", "testbed_file", nullptr) {
    py::object load = call.closure()[0];
    py::handle testbed_file = TAVOX_ARG(testbed_file);
    py::object name = py::module_::import("os").attr("fspath")(testbed_file);
    std::string path = support::fs_path(name), bytes, refused;
    {
        support::Unlocked unlocked;
        if (support::read_file(path, bytes)) {
            if (support::yaml_too_deep(bytes))
                refused = "its collections nest deeper than " +
                          std::to_string(support::MAX_YAML_DEPTH) + " levels";
        } else if (errno == EINVAL) {
            refused = "not a regular file";
        }
    }
    if (!refused.empty()) {
        py::object error = py::module_::import("argparse").attr("ArgumentTypeError");
        py::str message = support::percent("cannot load testbed file '%s': %s",
                                           py::make_tuple(name, py::str(refused)));
        PyErr_SetObject(error.ptr(), message.ptr());
        throw py::error_already_set();
    }
    return load(testbed_file);
}

// def __init__(self, *args, **kwargs):
TAVOX_DEF(ShellCommand_init, "ShellCommand.__init__", "self, *args, **kwargs", nullptr) {
    py::handle self = TAVOX_ARG(self);
    call.super_init();

    py::object parser = self.attr("parser");
    py::object load = call.global("loader").attr("load");
    parser.attr("add_argument")("--testbed-file", py::arg("dest") = "testbed",
                                py::arg("metavar") = "FILE", py::arg("type") = load,
                                py::arg("required") = true,
                                py::arg("help") = "testbed file to load");
    parser.attr("add_argument")("--no-ipython", py::arg("dest") = "ipython",
                                py::arg("action") = "store_false", py::arg("default") = true,
                                py::arg("help") = "do not use IPython");
    // The option's type stays the loader's load; the parser calls what is
    // registered for that type, which looks at the file first.
    parser.attr("register")(
        "type", load,
        support::make_function(ShellCommand_init_load, call.module(), py::make_tuple(load)));
    return py::none();
}

// def run(self, args):
TAVOX_DEF(ShellCommand_run, "ShellCommand.run", "self, args", nullptr) {
    py::handle args = TAVOX_ARG(args);

    // banner = (... f"{sys.version}" ... f"{args.testbed.testbed_file}" ...)
    py::object banner =
        concat(BANNER_HEAD, fmt("{}", call.global("sys").attr("version")), BANNER_LOADER,
               fmt("{}", args.attr("testbed").attr("testbed_file")), BANNER_TAIL);

    py::dict namespace_;
    namespace_["testbed"] = args.attr("testbed");

    if (truth(args.attr("ipython")) && truth(call.global("start_ipython"))) {
        // IPython must not read the tavox command's own options.
        py::object sys = call.global("sys");
        sys.attr("argv") = sys.attr("argv")[py::slice(py::none(), py::int_(1), py::none())];

        py::object ipython_config = call.global("Config")();
        ipython_config.attr("TerminalInteractiveShell").attr("banner1") = banner;
        call.global("start_ipython")(py::arg("config") = ipython_config,
                                     py::arg("user_ns") = namespace_);
    } else {
        call.global("code").attr("interact")(py::arg("banner") = banner,
                                             py::arg("local") = namespace_);
    }
    return py::none();
}

// ---- module body ---------------------------------------------------------

static void exec(Module &m) {
    m.import("sys");
    m.import("code");
    m.import("logging");

    // try:
    //     from IPython import start_ipython
    //     from traitlets.config.loader import Config
    // except ImportError:
    //     start_ipython = None
    try {
        m.import_from("IPython", "start_ipython");
        m.import_from("traitlets.config.loader", "Config");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.set("start_ipython", py::none());
    }

    m.import_from("tavox.topology", "loader");
    py::object Command = m.import_from("..base", "Command");
    m.logger();

    // class ShellCommand(Command):
    m.add_class("ShellCommand", {Command}, [](ClassBody &c) {
        c.doc("\n    Simple command to enter python shell and load testbed yaml file as testbed\n"
              "    variable.\n    ");
        c.set("name", "shell");
        c.set("help", "enter Python shell and load a testbed file");
        c.set("description",
              "\nEnters typical python interactive shell, setting a global variable named\n"
              "'testbed' which contains the loaded testbed YAML file\n    ");
        c.method(ShellCommand_init);
        c.method(ShellCommand_run);
    });
}

}  // namespace tavox::cli::commands::shell

TAVOX_MODULE(shell, tavox::cli::commands::shell::exec)
