// tavox.cli.commands.migrate.abstract -- `tavox migrate abstract`: finds what
// a test repository must change to follow the new hierarchy of device
// tokens (OS, platform, model, PID), reports it, and on request applies it.
//
// The module body is at the bottom and reads like the Python module:
// imports, constants, the token functions, except_log, then the command
// class with its methods in class order.  The token functions live in
// tokens.cpp, discovery in walk.cpp, the worker threads and the slot wait
// in workers.cpp, the checks in checks.cpp, the patcher in patch.cpp and
// the files it names, the queues drained in drain.cpp, what a run keeps
// beside its queues in run.cpp: README.md (Layout) lists every file.
#include "drain.hpp"
#include "review.hpp"
#include "run.hpp"
#include "tokens.hpp"
#include "walk.hpp"
#include "workers.hpp"
#include "yaml_native.hpp"

namespace tavox::cli::commands::migrate::abstract {

namespace {

constexpr const char *CLOSING_TEXT =
    "The upcoming changes in abstraction organization will align the tokens values\n"
    "of OS, platform, and model for devices. The file\n"
    "{csv_url}\n"
    "defines the known values. The above suggestions are using this file to provide\n"
    "the most likely changes required. Please compare any unknown values with the\n"
    "values in the file, and contribute any missing values to ensure the organization\n"
    "of the Tavox libraries remains in sync.\n"
    "                    \n"
    "The following log files have been created to help with this process:\n"
    "    /tmp/tavox_migrate_changes.log   -- All suggested changes\n"
    "    /tmp/tavox_migrate_success.log   -- Successfully patched files\n"
    "    /tmp/tavox_migrate_failures.log  -- Failed to patch files\n";

}  // namespace

// ---- def except_log(f) ------------------------------------------------------

// def inner(*args):
TAVOX_DEF(except_log_inner, "except_log.<locals>.inner", "*args", nullptr) {
    py::object f = call.closure()[0];
    const py::tuple &args = call.varargs();
    try {
        return f(*args);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::object text = concat(py::str(args[1]), ": Exception processing file");
        support::log_exception(call.global("logger"), text, e);
        if (RunRecord *run = RunRecord::of(args[0])) run->unexamined();
        return py::none();
    }
}

// def except_log(f):
TAVOX_DEF(except_log, "except_log", "f", nullptr) {
    return support::make_function(except_log_inner, call.module(), py::make_tuple(TAVOX_ARG(f)));
}

// ---- class MigrateAbstractCommand(Subcommand) -------------------------------

// def __init__(self, *args, **kwargs):
TAVOX_DEF(MigrateAbstractCommand_init, "MigrateAbstractCommand.__init__", "self, *args, **kwargs",
          nullptr) {
    py::handle self = TAVOX_ARG(self);
    call.super_init();
    py::object parser = self.attr("parser");
    py::object max_threads = call.global("MAX_THREADS");
    using py::arg;
    parser.attr("add_argument")("path", arg("nargs") = "?", arg("type") = builtin("str"),
                                arg("action") = "store", arg("default") = ".",
                                arg("help") = "Path to start searching for files");
    parser.attr("add_argument")("--init", arg("action") = "store_true",
                                arg("help") = "Only process __init__.py files");
    parser.attr("add_argument")("--python", arg("action") = "store_true",
                                arg("help") = "Only process Python files");
    parser.attr("add_argument")("--yaml", arg("action") = "store_true",
                                arg("help") = "Only process YAML files");
    parser.attr("add_argument")(
        "--threads", arg("type") = builtin("int"), arg("action") = "store",
        arg("default") = max_threads,
        arg("help") =
            fmt("Max number of threads to run while processing files (default {})", max_threads));
    parser.attr("add_argument")("--apply-fixes", "-f", arg("action") = "store_true",
                                arg("help") = "Apply suggested fixes to files");
    parser.attr("add_argument")("--apply-comments", "-c", arg("action") = "store_true",
                                arg("help") =
                                    "Adds comments to files where human inspection is required");
    // Options beyond the original ones leave no attribute on the namespace
    // unless they are given, so that the parsed arguments of a plain run
    // stay what they were (run reads them with a default).
    py::object suppress = py::module_::import("argparse").attr("SUPPRESS");
    parser.attr("add_argument")(
        "--exclude", arg("action") = "append", arg("metavar") = "GLOB", arg("default") = suppress,
        arg("help") = "Leave out paths that match GLOB, relative to PATH and read as in "
                      ".gitignore (a name at any depth without a slash, directories only with "
                      "a trailing slash, ** across directories); may be repeated");
    parser.attr("add_argument")(
        "--gitignore", arg("action") = "store_true", arg("default") = suppress,
        arg("help") = "Leave out what git ignores, when PATH is in a git work tree");
    parser.attr("add_argument")(
        "--diff", arg("action") = "store_true", arg("default") = suppress,
        arg("help") = "Print the changes that --apply-fixes and/or --apply-comments would make "
                      "(the fixes when neither is given) as a unified diff, and change nothing");
    parser.attr("add_argument")("--no-color", arg("action") = "store_true",
                                arg("default") = suppress,
                                arg("help") = "Do not colour the diff, even on a terminal");
    parser.attr("add_argument")(
        "--report", arg("metavar") = "PATH", arg("default") = suppress,
        arg("help") = "Write what the run found and did as JSON to PATH ('-': standard output)");
    parser.attr("add_argument")(
        "--check", arg("action") = "store_true", arg("default") = suppress,
        arg("help") = "Exit with status 1 when anything is suggested (with --apply-fixes or "
                      "--apply-comments: when anything fails to apply)");
    self.attr("token_paths") = py::dict();
    self.attr("threads") = py::list();
    return py::none();
}

// def get_parent_tokens(self, path):
TAVOX_DEF(MigrateAbstractCommand_get_parent_tokens, "MigrateAbstractCommand.get_parent_tokens",
          "self, path", nullptr) {
    py::object token_paths = TAVOX_ARG(self).attr("token_paths");
    py::object ospath = call.global("os").attr("path");
    py::object path = py::reinterpret_borrow<py::object>(TAVOX_ARG(path));
    // Only the ancestors are looked up, closest first.
    size_t depth = py::int_(path.attr("count")(ospath.attr("sep"))).cast<size_t>();
    std::vector<py::object> found;
    for (size_t i = 0; i < depth; ++i) {
        path = ospath.attr("dirname")(path);
        if (contains(token_paths, path)) found.push_back(token_paths[path]);
    }
    // Farthest first, so that a closer directory's token wins.
    py::dict result;
    for (auto it = found.rbegin(); it != found.rend(); ++it) result.attr("update")(*it);
    return std::move(result);
}

// ---- the steps of a run ---------------------------------------------------------

namespace {

// --threads and the two apply flags, as the run's attributes.  The slot wait
// could never return with no slot at all: fewer than one thread is refused.
void take_options(py::handle self, py::handle args) {
    py::object threads_arg = args.attr("threads");
    int below = PyObject_RichCompareBool(threads_arg.ptr(), py::int_(1).ptr(), Py_LT);
    if (below < 0) throw py::error_already_set();
    if (below == 1)
        self.attr("parser").attr("error")(
            fmt("argument --threads: must be at least 1, got {}", threads_arg));
    self.attr("max_threads") = threads_arg;
    self.attr("apply_fixes_flag") = args.attr("apply_fixes");
    self.attr("apply_comments_flag") = args.attr("apply_comments");
}

// The rows read before a malformed one still serve; one bad row of the
// published table must not make the whole command unusable.
void read_token_table(const Call &call) {
    try {
        call.global("read_tokens")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_IndexError)) throw;
        call.global("logger").attr("error")(fmt("Token table incomplete: {}", e.value()));
    }
}

// Which kinds of file a run checks: those named, or all when none is.
struct Kinds {
    bool init, python, yaml;
    explicit Kinds(py::handle args)
        : init(truth(args.attr("init"))), python(truth(args.attr("python"))),
          yaml(truth(args.attr("yaml"))) {
        if (!init && !python && !yaml) init = python = yaml = true;
    }
};

// self.max_threads as a number of threads, at least one.
size_t thread_limit(py::handle self) {
    py::object n = self.attr("max_threads");
    if (!PyLong_Check(n.ptr())) return 1;
    int overflow = 0;
    long long limit = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow > 0) return SIZE_MAX;
    return overflow < 0 || limit < 1 ? 1 : static_cast<size_t>(limit);
}

// Every package is checked before any worker starts, so token_paths is
// complete when the other checks run; then the YAML and Python workers, all
// joined before this returns.
Findings examine(const Call &call, py::handle self, const Kinds &kinds, const Discovered &found) {
    py::object logger = call.global("logger");
    py::object queue_cls = call.global("queue").attr("Queue");
    Findings out{queue_cls(), queue_cls(), queue_cls()};
    if (kinds.init) {
        logger.attr("info")("Iterating over init files...");
        py::object check_init = self.attr("check_init");
        for (py::handle file : call.global("tqdm")(found.init_files, py::arg("desc") = "init"))
            check_init(file, out.init);
    }
    WorkerPhase workers(self);
    if (kinds.yaml) {
        logger.attr("info")("Iterating over yaml files...");
        Patching patching{truth(self.attr("apply_fixes_flag")),
                          truth(self.attr("apply_comments_flag"))};
        workers.read_ahead(start_read_ahead(call, found.yaml_files, thread_limit(self), patching));
        start_workers(call, self, found.yaml_files, "yaml", "check_yaml", out.yaml);
    }
    if (kinds.python) {
        logger.attr("info")("Iterating over python files...");
        start_workers(call, self, found.python_files, "python", "check_python", out.python);
    }
    for (py::handle t : py::list(self.attr("threads"))) t.attr("join")();
    return out;
}

}  // namespace

// def run(self, args):
TAVOX_DEF(MigrateAbstractCommand_run, "MigrateAbstractCommand.run", "self, args", nullptr) {
    py::handle self = TAVOX_ARG(self), args = TAVOX_ARG(args);
    py::object logger = call.global("logger");
    take_options(self, args);
    Review review(call, self, args);  // --diff, --report, --check (a plain run has none)
    NamesAsGiven names;

    // One run at a time uses the log files: the lock and the three logs
    // (emptied) are taken before anything is examined, or the run refuses.
    RunLogs logs(call);
    RunRecord record(self);
    record.preview = review.diff();
    record.keep_written = review.reporting();
    read_token_table(call);

    Kinds kinds(args);
    py::object top = args.attr("path");
    record.repository(fs_path(top));
    WalkScope scope = WalkScope::from_args(args, top, logger);
    logger.attr("info")("Discovering files...");
    Discovered found = discover(call.global("os"), top, scope);
    if (kinds.init)
        logger.attr("info")(fmt("Found {} __init__.py files", py::len(found.init_files)));
    if (kinds.python)
        logger.attr("info")(fmt("Found {} Python files", py::len(found.python_files)));
    if (kinds.yaml) logger.attr("info")(fmt("Found {} YAML files", py::len(found.yaml_files)));

    Findings findings = examine(call, self, kinds, found);

    drain(call, self, logs, record, review, findings);

    // Trees that are seldom the repository's own, walked for want of an
    // option that leaves them out.
    py::object hint = walk_hint(found, kinds.init, kinds.python, kinds.yaml);
    if (!hint.is_none()) logger.attr("warning")(hint);

    int status = review.finish(record, top);
    logger.attr("info")(
        py::str(CLOSING_TEXT).attr("format")(py::arg("csv_url") = call.global("CSV_URL")));
    if (status != 0) support::exit(status);
    return py::none();
}

// ---- module body -------------------------------------------------------------

// The module's constants, in the order the module binds them.
static void constants(Module &m, py::handle os, py::handle re, py::handle brask) {
    py::object ospath = os.attr("path");
    m.set("PID_TOKENS_FILE",
          ospath.attr("join")(ospath.attr("dirname")(brask.attr("plugins").attr("__file__")),
                              "pid_tokens.csv"));
    m.set("TOKEN_HIERARCHY", py::dict());
    m.set("PID_TOKENS", py::dict());
    m.set("MODEL_TOKENS", py::dict());
    m.set("PLATFORM_TOKENS", py::dict());
    m.logger();
    m.set("CSV_URL", "https://docs.tavox.dev/brask/plugins/pid_tokens.csv");
    py::list token_order;
    for (const char *t : {"os", "platform", "model", "pid"}) token_order.append(t);
    m.set("TOKEN_ORDER", token_order);
    py::set known_os, known_platforms;
    for (const char *t : {"rhen", "rhenx", "rheny", "dalos", "linux", "skelos"}) known_os.add(t);
    for (const char *t : {"trago", "vlim", "l2vlim"}) known_platforms.add(t);
    m.set("KNOWN_OS", known_os);
    m.set("KNOWN_PLATFORMS", known_platforms);
    m.set("MAX_THREADS", 100);
    py::object compile = re.attr("compile");
    m.set("PLATFORM_MATCH", compile(PLATFORM_MATCH_TEXT));
    m.set("MODEL_MATCH", compile(MODEL_MATCH_TEXT));
    m.set("PYTHON_PLATFORM_MATCH", compile(PYTHON_PLATFORM_MATCH_TEXT));
    m.set("PYTHON_FERRIN_MATCH", compile(PYTHON_FERRIN_MATCH_TEXT));
    m.set("PYTHON_ABSTRACT_MATCH", compile(PYTHON_ABSTRACT_MATCH_TEXT));
}

static void exec(Module &m) {
    // import os, re, enum, yaml, time, queue, logging, threading, csv
    py::object os = m.import("os");
    py::object re = m.import("re");
    py::object enum_ = m.import("enum");
    m.import("yaml");
    m.import("time");
    m.import("queue");
    m.import("logging");
    m.import("threading");
    m.import("csv");
    // from typing import Tuple, List
    m.import_from("typing", "Tuple");
    m.import_from("typing", "List");
    // from tqdm import tqdm
    m.import_from("tqdm", "tqdm");
    // from ruamel.yaml import YAML
    m.import_from("ruamel.yaml", "YAML");
    // from ruamel.yaml.constructor import DuplicateKeyError
    m.import_from("ruamel.yaml.constructor", "DuplicateKeyError");
    // from tavox.utils.yaml import Loader
    m.import_from("tavox.utils.yaml", "Loader");
    // from ...base import Subcommand
    py::object subcommand = m.import_from("...base", "Subcommand");
    // import brask.plugins  (only to find the token table beside it)
    py::object brask = m.import("brask.plugins");

    constants(m, os, re, brask);

    // class FileTypes(enum.Enum):
    m.add_class("FileTypes", {enum_.attr("Enum")}, [](ClassBody &c) {
        c.set("INIT", 1);
        c.set("YAML", 2);
        c.set("PYTHON", 3);
    });

    m.def(read_tokens);
    m.def(compute_tokens);
    py::object except_log_fn = m.def(except_log);

    // class MigrateAbstractCommand(Subcommand):
    m.add_class("MigrateAbstractCommand", {subcommand}, [&](ClassBody &c) {
        c.doc(
            "\n    Command to discover what changes need to be made in a repo to conform to the\n"
            "    new abstract tokens discovery\n    ");
        const char *help =
            "Discover what changes must be made to existing test environments to conform "
            "to the new token discovery.";
        c.set("name", "abstract");
        c.set("help", help);
        c.set("description", help);
        c.method(MigrateAbstractCommand_init);
        c.method(MigrateAbstractCommand_get_parent_tokens);
        c.method(MigrateAbstractCommand_run);
        c.method(MigrateAbstractCommand_wait_for_thread_slot);
        c.decorated(MigrateAbstractCommand_check_yaml, except_log_fn);
        c.decorated(MigrateAbstractCommand_check_python, except_log_fn);
        c.decorated(MigrateAbstractCommand_check_init, except_log_fn);
        c.method(MigrateAbstractCommand_apply_yaml_fix);
        c.method(MigrateAbstractCommand_apply_yaml_comment);
        c.method(MigrateAbstractCommand_apply_python_comments);
        c.method(MigrateAbstractCommand_apply_python_fixes);
        c.method(MigrateAbstractCommand_apply_patches);
    });
}

}  // namespace tavox::cli::commands::migrate::abstract

TAVOX_MODULE(abstract, tavox::cli::commands::migrate::abstract::exec)
