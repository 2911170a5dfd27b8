// tavox.manifest.runtime -- runs one test job described by a ".tem" manifest.
//
// The runner parses its own few options and passes every other argument
// through to the job, sets up console logging, loads the runtime plug-ins
// registered under "tavox.manifest.runtimes.<runtime type>", checks the
// manifest file, picks a profile and a runtime from the manifest, and hands
// the job to the plug-in registered for the manifest's script type.  The
// plug-in's integer result is the process exit status.
#include "support/files.hpp"
#include "support/support.hpp"
#include "support/yaml_depth.hpp"

#include <initializer_list>
#include <string>

namespace tavox::manifest::runtime {

using support::builtin;
using support::concat;
using support::fmt;

static const char NO_RUNTIME[] =
    "No manifest runtime available for script type '{}' with runtime '{}'";

// ---- values of the manifest in log lines ----------------------------------

// A manifest is plain data that may share one subtree in many places (YAML
// aliases): a file of a few hundred bytes can stand for a structure whose
// full text would never end.  In a log line a value of the manifest is
// therefore written as str.format("{}") writes it, cut after this many
// characters, with SHORTENED saying so.
static constexpr Py_ssize_t LOG_TEXT_LIMIT = 4096;
static const char SHORTENED[] = " ... (shortened)";

namespace {
// The first `n` characters of `text`.
py::str head(const py::str &text, Py_ssize_t n) {
    PyObject *r = PyUnicode_Substring(text.ptr(), 0, n);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// Writes the text of repr(value) piece by piece until `budget` characters
// are used up.  dict, list and tuple are walked here, as their own repr
// writes them (recursive ones included), so that a shared subtree costs
// only the characters actually written; anything else is its own repr.
class ReprWriter {
public:
    explicit ReprWriter(Py_ssize_t budget) : budget_(budget) {}

    // False when the text was cut.
    bool write(py::handle value) {
        PyObject *obj = value.ptr();
        if (PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj))
            return write_container(value);
        return text(py::reinterpret_steal<py::str>(checked(PyObject_Repr(obj))));
    }

    py::str result() const { return py::str("").attr("join")(pieces_); }

private:
    static PyObject *checked(PyObject *r) {
        if (!r) throw py::error_already_set();
        return r;
    }

    bool text(const py::str &piece) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece.ptr());
        if (n <= budget_) {
            pieces_.append(piece);
            budget_ -= n;
            return true;
        }
        pieces_.append(head(piece, budget_));
        budget_ = 0;
        return false;
    }
    bool text(const char *piece) { return text(py::str(piece)); }

    // Py_ReprEnter/Py_ReprLeave, as the containers' own repr use them.
    struct ReprGuard {
        PyObject *obj;
        int state;
        explicit ReprGuard(PyObject *o) : obj(o), state(Py_ReprEnter(o)) {
            if (state < 0) throw py::error_already_set();
        }
        ~ReprGuard() {
            if (state == 0) Py_ReprLeave(obj);
        }
    };

    bool write_container(py::handle value) {
        PyObject *obj = value.ptr();
        bool is_dict = PyDict_CheckExact(obj), is_tuple = PyTuple_CheckExact(obj);
        const char *open = is_dict ? "{" : is_tuple ? "(" : "[";
        const char *close = is_dict ? "}" : is_tuple ? ")" : "]";
        if (is_tuple && PyTuple_GET_SIZE(obj) == 0) return text("()");

        ReprGuard guard(obj);
        if (guard.state > 0) return text(is_dict ? "{...}" : is_tuple ? "(...)" : "[...]");
        if (!text(open)) return false;
        if (is_dict) {
            Py_ssize_t pos = 0;
            PyObject *key, *item;  // borrowed, owned below at once
            bool first = true;
            while (PyDict_Next(obj, &pos, &key, &item)) {
                py::object k = py::reinterpret_borrow<py::object>(key);
                py::object v = py::reinterpret_borrow<py::object>(item);
                if (!first && !text(", ")) return false;
                first = false;
                if (!write(k) || !text(": ") || !write(v)) return false;
            }
        } else {
            // a list may change size while its items are written
            for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
                if (i > 0 && !text(", ")) return false;
                if (!write(py::reinterpret_borrow<py::object>(is_tuple ? PyTuple_GET_ITEM(obj, i)
                                                                       : PyList_GET_ITEM(obj, i))))
                    return false;
            }
            if (is_tuple && PyTuple_GET_SIZE(obj) == 1 && !text(",")) return false;
        }
        return text(close);
    }

    Py_ssize_t budget_;
    py::list pieces_;
};
}  // namespace

// What str.format("{}", value) gives, at most LOG_TEXT_LIMIT characters
// long, then SHORTENED.
static py::str log_text(py::handle value) {
    PyObject *obj = value.ptr();
    if (PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        ReprWriter writer(LOG_TEXT_LIMIT);
        bool whole = writer.write(value);
        return whole ? writer.result() : py::str(writer.result() + py::str(SHORTENED));
    }
    py::str whole = py::str(value);
    if (PyUnicode_GET_LENGTH(whole.ptr()) <= LOG_TEXT_LIMIT) return whole;
    return py::str(head(whole, LOG_TEXT_LIMIT) + py::str(SHORTENED));
}

static bool debug_enabled(py::handle logger, const Call &call) {
    return truth(logger.attr("isEnabledFor")(call.global("logging").attr("DEBUG")));
}

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
        contains(custom, "-v") || truth(call.global("os").attr("environ").attr("get")("DEBUG"));
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
                support::log_exception(
                    logger,
                    fmt("\nError loading manifest plugin '{p}' entrypoint '{m}'\n\n",
                        py::arg("p") = entry_point.attr("name"),
                        py::arg("m") = entry_point.attr("module")),
                    e);
                self.attr("_plugin_load_failed") = true;
                throw;
            }
            if (debug_enabled(logger, call))
                logger.attr("debug")(
                    fmt("Loaded plugin for script type '{}' with runtime '{}': {}",
                        entry_point.attr("name"), runtime_type, runtime_obj));
            manifest_runtimes[runtime_type][entry_point.attr("name")] = runtime_obj;
        }
    }
    return py::none();
}

// The profile named by `profile_name` (an empty one when none is named),
// the runtime it names, and the plug-in for the manifest's script type
// under that runtime's type.
struct Selection {
    py::object profile, script_type, runtime_type, runtime_obj;
};

// A manifest key that has the wrong shape ends the run, as the other
// manifest errors do: one line that names the file, the key and what was
// expected.
[[noreturn]] static void shape_error(const Call &call, py::handle manifest_file,
                                     const py::str &what) {
    call.global("logger").attr("error")(fmt("Manifest file '{}': {}", manifest_file, what));
    support::exit(1);
}

// Mappings are read only through these methods.
static bool has_methods(py::handle value, std::initializer_list<const char *> names) {
    for (const char *name : names)
        if (!py::hasattr(value, name)) return false;
    return true;
}

static Selection select_runtime(const Call &call, py::handle self, py::handle manifest,
                                py::handle profile_name) {
    py::object logger = call.global("logger");
    py::object manifest_file = self.attr("args").attr("manifest_file");

    py::object profiles = manifest.attr("get")("profiles", py::dict());
    if (debug_enabled(logger, call)) logger.attr("debug")(fmt("Profiles: {}", log_text(profiles)));
    if (!has_methods(profiles, {"keys", "get"}))
        shape_error(call, manifest_file,
                    "\"profiles\" must be a mapping of profile names to profiles");
    py::object profile_names = builtin("list")(profiles.attr("keys")());

    if (truth(profile_name) && !contains(profile_names, profile_name)) {
        logger.attr("error")(fmt("{} is not a valid profile, vailable profiles: {}",
                                 log_text(profile_name), log_text(profile_names)));
        support::exit(1);
    }

    Selection chosen;
    chosen.script_type = manifest.attr("get")("type");
    chosen.profile = profiles.attr("get")(profile_name, py::dict());
    if (!has_methods(chosen.profile, {"get"}))
        shape_error(call, manifest_file,
                    fmt("profile '{}' in \"profiles\" must be a mapping", log_text(profile_name)));
    py::object runtime_name = chosen.profile.attr("get")("runtime");
    py::object runtimes = manifest.attr("get")("runtimes", py::dict());
    if (!has_methods(runtimes, {"get"}))
        shape_error(call, manifest_file,
                    "\"runtimes\" must be a mapping of runtime names to runtimes");
    py::object runtime;
    try {
        runtime = runtimes.attr("get")(runtime_name, py::dict());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) throw;  // a name that cannot be a key
        shape_error(
            call, manifest_file,
            fmt("the \"runtime\" of profile '{}' must be a runtime name", log_text(profile_name)));
    }
    if (!has_methods(runtime, {"get"}))
        shape_error(call, manifest_file,
                    fmt("runtime '{}' in \"runtimes\" must be a mapping", log_text(runtime_name)));
    chosen.runtime_type = runtime.attr("get")("type", "system");

    try {
        chosen.runtime_obj = self.attr("manifest_runtimes")
                                 .attr("get")(chosen.runtime_type)
                                 .attr("get")(chosen.script_type);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        logger.attr("error")(
            fmt(NO_RUNTIME, log_text(chosen.script_type), log_text(chosen.runtime_type)));
        support::exit(1);
    }
    return chosen;
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
        if (differs(suffix, ".tem")) {
            logger.attr("error")("Manifest file must have .tem extension");
            support::exit(1);
        }
    } else {
        logger.attr("error")(fmt("Manifest file '{}' does not exist", manifest_file));
        support::exit(1);
    }

    // The loader builds the document recursively: a manifest nested deeper
    // than it may go would kill the process, and is refused before.
    std::string path = support::fs_path(manifest_file), bytes;
    bool deep;
    {
        support::Unlocked unlocked;
        deep = support::read_file(path, bytes) && support::yaml_too_deep(bytes);
    }
    if (deep)
        shape_error(call, manifest_file,
                    fmt("its collections nest deeper than {} levels; it is not loaded",
                        support::MAX_YAML_DEPTH));
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

    Selection chosen = select_runtime(call, self, manifest, profile_name);
    if (truth(chosen.runtime_obj)) {
        self.attr("_plugin_called") = true;
        return chosen.runtime_obj(chosen.profile, manifest, manifest_file,
                                  self.attr("env").attr("argv").attr("custom"));
    }
    logger.attr("error")(
        fmt(NO_RUNTIME, log_text(chosen.script_type), log_text(chosen.runtime_type)));
    return py::none();
}

// ---- module functions ----------------------------------------------------

// The exit status of a job whose plug-in returned the integer `status`.
// The operating system keeps only the low 8 bits of a status, so 256 would
// read as success: a result outside 0..255 ends the process with status 1,
// and a warning names it.
static py::object exit_status(const Call &call, const py::object &status) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(status.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0 && value >= 0 && value <= 255) return status;

    py::object shown;
    try {
        shown = py::str(status);
    } catch (py::error_already_set &e) {
        // more digits than the interpreter converts to text
        if (!e.matches(PyExc_ValueError)) throw;
        shown = fmt("(an integer of {} bits)", status.attr("bit_length")());
    }
    call.global("logger").attr("warning")(fmt(
        "The job's result {} is not an exit status from 0 to 255: ending with status 1", shown));
    return py::int_(1);
}

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
            support::exit(1);
        throw;
    }

    if (result.is_none() &&
        !truth(builtin("getattr")(manifest_runtime, "_plugin_called", false))) {
        support::exit(1);  // no plug-in for the script type: logged above
    }

    py::object status;
    try {
        status = builtin("int")(result);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
    support::exit(exit_status(call, status));
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
