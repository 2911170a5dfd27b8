// tavox.manifest.runtime -- runs one test job described by a ".tem" manifest.
//
// The runner parses its own few options and passes every other argument
// through to the job, sets up console logging, loads the runtime plug-ins
// registered under "tavox.manifest.runtimes.<runtime type>", checks the
// manifest file, picks a profile and a runtime from the manifest, and hands
// the job to the plug-in registered for the manifest's script type.  The
// plug-in's integer result is the process exit status.
#include "support/support.hpp"

#include <string>

namespace tavox::manifest::runtime {

using support::builtin;
using support::concat;
using support::fmt;

// sys.exit(status): raises SystemExit.
[[noreturn]] static void sys_exit(const Call &call, int status) {
    call.global("sys").attr("exit")(status);
    throw std::logic_error("sys.exit returned");
}

static const char NO_RUNTIME[] =
    "No manifest runtime available for script type '{}' with runtime '{}'";

// ---- class ManifestRuntime(object) ---------------------------------------

// def __init__(self, parser=None):
TAVOX_DEF(ManifestRuntime_init, "ManifestRuntime.__init__", "self, parser=None", nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::object parser = py::reinterpret_borrow<py::object>(TAVOX_ARG(parser));
    if (!truth(parser)) {
        parser = call.global("argparse").attr("ArgumentParser")(py::arg("add_help") = false);
        parser.attr("formatter_class") = call.global("Tavox_HelpFormatter");
        py::dict prog;
        prog["prog"] = parser.attr("prog");
        parser.attr("description") = support::percent(self.attr("CLI_DESCRIPTION"), prog);
        parser.attr("epilog") = py::none();
    }
    self.attr("parser") = parser;
    self.attr("args") = call.global("argparse").attr("Namespace")();
    self.attr("env") = call.global("get_runtime_env")();
    self.attr("manifest_runtimes") = py::dict();
    return py::none();
}

// def parse_args(self, *args, **kwargs):
TAVOX_DEF(ManifestRuntime_parse_args, "ManifestRuntime.parse_args", "self, *args, **kwargs",
          nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::object parser = self.attr("parser");

    py::object group = parser.attr("add_argument_group")("Manifest Options");
    group.attr("add_argument")("manifest_file", py::arg("metavar") = "FILENAME",
                               py::arg("nargs") = "?", py::arg("action") = "store",
                               py::arg("default") = py::none(),
                               py::arg("help") = "manifest filename");
    group.attr("add_argument")("--profile", py::arg("dest") = "profile",
                               py::arg("default") = py::none(),
                               py::arg("help") = "execution profile");
    group.attr("add_argument")("--save-job-json", py::arg("dest") = "path",
                               py::arg("action") = "store", py::arg("default") = false,
                               py::arg("help") =
                                   "To save the shell script contents to json file in the "
                                   "given path");
    group.attr("add_argument")("--follow-symlink", py::arg("dest") = "follow_symlink",
                               py::arg("action") = "store_true", py::arg("default") = false,
                               py::arg("help") =
                                   "Follow  the symlink for the job to execute in the target "
                                   "directory");

    py::tuple parsed = parser.attr("parse_known_args")(*call.varargs(), **py::dict(call.varkw()));
    py::object manifest = parsed[0];
    py::object unknowns = parsed[1];

    // Only a parser handed in by the caller can define `help`.
    if (truth(builtin("getattr")(manifest, "help", false)) ||
        !truth(manifest.attr("manifest_file"))) {
        self.attr("print_help")();
    }

    // The job sees its own arguments in sys.argv, after the program name.
    py::object sys = call.global("sys");
    py::object head = sys.attr("argv")[py::slice(py::none(), py::int_(1), py::none())];
    sys.attr("argv") = head + unknowns;
    self.attr("env").attr("argv").attr("custom") = unknowns;
    return manifest;
}

// def print_help(self):
TAVOX_DEF(ManifestRuntime_print_help, "ManifestRuntime.print_help", "self", nullptr) {
    py::object parser = TAVOX_ARG(self).attr("parser");
    parser.attr("print_help")();
    parser.attr("exit")();
    return py::none();
}

// def configure_logging(self):
TAVOX_DEF(ManifestRuntime_configure_logging, "ManifestRuntime.configure_logging", "self",
          nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::object logging = call.global("logging");
    py::object root = logging.attr("getLogger")();
    root.attr("addHandler")(call.global("log").attr("managed_handlers").attr("screen"));

    // "-v" anywhere in the pass-through arguments, or any non-empty DEBUG.
    py::object custom = py::str(" ").attr("join")(self.attr("env").attr("argv").attr("custom"));
    bool debug =
        custom.contains("-v") || truth(call.global("os").attr("environ").attr("get")("DEBUG"));
    root.attr("setLevel")(logging.attr(debug ? "DEBUG" : "INFO"));
    return py::none();
}

// def load_entry_points(self):
TAVOX_DEF(ManifestRuntime_load_entry_points, "ManifestRuntime.load_entry_points", "self",
          nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::object logger = call.global("logger");
    py::object manifest_runtimes = self.attr("manifest_runtimes");

    for (py::handle runtime_type : call.global("RUNTIME_TYPES")) {
        manifest_runtimes.attr("setdefault")(runtime_type, py::dict());
        py::object group = fmt("{}.{}", call.global("MANIFEST_PLUGIN_ENTRYPOINT"), runtime_type);

        for (py::handle entry_point : call.global("get_entry_points")(group)) {
            py::object runtime_obj;
            try {
                runtime_obj = entry_point.attr("load")();
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                // logger.exception(...) inside the except block, then raise
                py::object trace = e.trace() ? e.trace() : py::none();
                logger.attr("exception")(
                    fmt("\nError loading manifest plugin '{p}' entrypoint '{m}'\n\n",
                        py::arg("p") = entry_point.attr("name"),
                        py::arg("m") = entry_point.attr("module")),
                    py::arg("exc_info") = py::make_tuple(e.type(), e.value(), trace));
                self.attr("_plugin_load_failed") = true;
                throw;
            }
            logger.attr("debug")(fmt("Loaded plugin for script type '{}' with runtime '{}': {}",
                                     entry_point.attr("name"), runtime_type, runtime_obj));
            manifest_runtimes[runtime_type][entry_point.attr("name")] = runtime_obj;
        }
    }
    return py::none();
}

// def main(self, argv=None):
TAVOX_DEF(ManifestRuntime_main, "ManifestRuntime.main", "self, argv=None", nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::object os = call.global("os");
    py::object pathlib = call.global("pathlib");
    py::object logger = call.global("logger");

    // For the module main(): was a plug-in handed the job, and was a plug-in
    // that failed to load already reported.
    self.attr("_plugin_called") = false;
    self.attr("_plugin_load_failed") = false;

    call.global("sig_handlers").attr("enable_double_ctrl_c")();
    self.attr("args") = self.attr("parse_args")(TAVOX_ARG(argv));
    self.attr("configure_logging")();
    self.attr("load_entry_points")();

    py::object args = self.attr("args");
    py::object manifest_file = args.attr("manifest_file");
    if (truth(pathlib.attr("Path")(manifest_file).attr("is_file")())) {
        // the last suffix only, case-sensitive
        py::object suffix = pathlib.attr("PurePath")(manifest_file).attr("suffix");
        if (!suffix.equal(py::str(".tem"))) {
            logger.attr("error")("Manifest file must have .tem extension");
            sys_exit(call, 1);
        }
    } else {
        logger.attr("error")(fmt("Manifest file '{}' does not exist", manifest_file));
        sys_exit(call, 1);
    }

    py::object manifest = call.global("load")(manifest_file);
    py::object profile_name = args.attr("profile");

    py::object environ = os.attr("environ");
    environ[py::str("TAVOX_MANIFEST_FILE")] =
        py::str(pathlib.attr("Path")(manifest_file).attr("resolve")());
    py::dict profile_env;
    if (truth(profile_name)) profile_env["TAVOX_MANIFEST_PROFILE"] = profile_name;
    environ.attr("update")(profile_env);

    if (truth(args.attr("path"))) {
        py::dict update;
        update["SAVE_JOB_JSON"] = args.attr("path");
        manifest.attr("update")(update);
    }
    if (truth(args.attr("follow_symlink"))) {
        py::dict update;
        update["follow_symlink"] = true;
        manifest.attr("update")(update);
    }

    py::object profiles = manifest.attr("get")("profiles", py::dict());
    logger.attr("debug")(fmt("Profiles: {}", profiles));
    py::object profile_names = builtin("list")(profiles.attr("keys")());

    if (truth(profile_name) && !profile_names.contains(profile_name)) {
        logger.attr("error")(
            fmt("{} is not a valid profile, vailable profiles: {}", profile_name, profile_names));
        sys_exit(call, 1);
    }

    py::object script_type = manifest.attr("get")("type");
    py::object profile = profiles.attr("get")(profile_name, py::dict());
    py::object runtime_name = profile.attr("get")("runtime");
    py::object runtimes = manifest.attr("get")("runtimes", py::dict());
    py::object runtime = runtimes.attr("get")(runtime_name, py::dict());
    py::object runtime_type = runtime.attr("get")("type", "system");

    py::object runtime_obj;
    try {
        runtime_obj =
            self.attr("manifest_runtimes").attr("get")(runtime_type).attr("get")(script_type);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        logger.attr("error")(fmt(NO_RUNTIME, script_type, runtime_type));
        sys_exit(call, 1);
    }

    if (truth(runtime_obj)) {
        self.attr("_plugin_called") = true;
        return runtime_obj(profile, manifest, manifest_file,
                           self.attr("env").attr("argv").attr("custom"));
    }
    logger.attr("error")(fmt(NO_RUNTIME, script_type, runtime_type));
    return py::none();
}

// ---- module functions ----------------------------------------------------

// def main():
//
// The exit status is what schedulers and CI read, so a job that could not
// be started, or whose plug-in failed, never ends with status 0.  A plug-in
// that ran and returned nothing usable as a status leaves the process to end
// normally.
TAVOX_DEF(main, "main", "", nullptr) {
    py::object manifest_runtime = call.global("manifest_runtime");
    py::object result;
    try {
        result = manifest_runtime.attr("main")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;  // SystemExit, KeyboardInterrupt
        // A plug-in that failed to load was logged, with its traceback, where
        // it was loaded; any other failure shows its own traceback.
        if (truth(builtin("getattr")(manifest_runtime, "_plugin_load_failed", false)))
            sys_exit(call, 1);
        throw;
    }

    if (result.is_none() &&
        !truth(builtin("getattr")(manifest_runtime, "_plugin_called", false))) {
        sys_exit(call, 1);  // no plug-in for the script type: logged above
    }

    py::object status;
    try {
        status = builtin("int")(result);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
    call.global("sys").attr("exit")(status);
    return py::none();
}

// ---- module body ---------------------------------------------------------

static void exec(Module &m) {
    m.import("os");
    m.import("sys");
    m.import("logging");
    m.import("pathlib");
    m.import("argparse");

    m.import_from("tavox", "log");
    m.import_from("tavox.utils", "sig_handlers");
    m.import_from("tavox.utils.utils", "get_runtime_env");
    m.import_from("tavox.utils.import_utils", "get_entry_points");
    m.import_from("tavox.utils.parser", "Tavox_HelpFormatter");
    m.import_from(".manifest", "load");

    m.set("MANIFEST_PLUGIN_ENTRYPOINT", "tavox.manifest.runtimes");
    py::list runtime_types;
    runtime_types.append("system");
    runtime_types.append("virtualenv");
    m.set("RUNTIME_TYPES", runtime_types);

    m.logger();

    // class ManifestRuntime(object):
    py::object cls = m.add_class("ManifestRuntime", {builtin("object")}, [](ClassBody &c) {
        c.set("CLI_DESCRIPTION", concat("Tavox script command line arguments.\n"
                                        "Non-recognized args will pass-through to the user job "
                                        "file.\n\n",
                                        std::string(80, '-'), "\n"));
        c.method(ManifestRuntime_init);
        c.method(ManifestRuntime_parse_args);
        c.method(ManifestRuntime_print_help);
        c.method(ManifestRuntime_configure_logging);
        c.method(ManifestRuntime_load_entry_points);
        c.method(ManifestRuntime_main);
    });

    m.def(main);

    m.set("manifest_runtime", cls());
}

}  // namespace tavox::manifest::runtime

TAVOX_MODULE(runtime, tavox::manifest::runtime::exec)
