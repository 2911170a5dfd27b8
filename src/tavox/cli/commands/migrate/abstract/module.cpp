// tavox.cli.commands.migrate.abstract -- `tavox migrate abstract`: finds what
// a test repository must change to follow the new hierarchy of device
// tokens (OS, platform, model, PID), reports it, and on request applies it.
//
// The module body is at the bottom and reads like the Python module:
// imports, constants, the token functions, except_log, then the command
// class with its methods in class order.  The token functions live in
// tokens.cpp, discovery in walk.cpp, the worker threads and the slot wait
// in workers.cpp, the checks in checks.cpp, the patcher in patch.cpp (with
// yaml_form.cpp), what a run keeps beside its queues (its record of the
// files checked and patched, its log files and lock) in run.cpp.
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

// The messages of the checks, one queue per kind, in the order they are
// applied.
struct Findings {
    py::object init, yaml, python;
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

// The success and failure items of the patcher.  Each reaches its log as
// soon as it is known, so that the logs of an interrupted run describe that
// run; they are shown on the console at the end.
class Outcomes {
public:
    Outcomes(const Call &call, RunLogs &logs, const RunRecord &record)
        : success(call.global("queue").attr("Queue")()),
          failure(call.global("queue").attr("Queue")()), logs_(logs), record_(record) {}

    // Takes the items put on the two queues since the last call, each to
    // its log; returns the failure items taken.
    py::list collect() {
        py::list successes = take(success), failures = take(failure);
        // A preview applies nothing: no success to record.
        if (!record_.preview) keep(successes, RunLogs::Success, kept_[0]);
        keep(failures, RunLogs::Failures, kept_[1]);
        return failures;
    }

    void to_console(py::handle logger) {
        collect();
        for (py::handle item : kept_[0]) logger.attr("warning")(item);
        for (py::handle item : kept_[1]) logger.attr("critical")(item);
    }

    py::object success, failure;

private:
    static py::list take(py::handle queue) {
        py::list items;
        while (!truth(queue.attr("empty")())) items.append(queue.attr("get")());
        return items;
    }
    void keep(const py::list &items, RunLogs::Log log, py::list &kept) {
        for (py::handle item : items) {
            logs_.write(log, item);
            kept.append(item);
        }
    }

    RunLogs &logs_;
    const RunRecord &record_;
    py::list kept_[2];
};

// While a run goes on, the console writes a file name that is no text in
// the file system's encoding as the system gives it (surrogateescape), as
// the logs do, instead of failing on it; each stream is put back after.
class NamesAsGiven {
public:
    NamesAsGiven() {
        py::object sys = py::module_::import("sys");
        for (const char *name : {"stdout", "stderr"}) {
            py::object stream = py::getattr(sys, name, py::none());
            if (stream.is_none() || !py::hasattr(stream, "reconfigure")) continue;
            py::object errors = py::getattr(stream, "errors", py::none());
            if (!errors.equal(py::str("strict"))) continue;
            try {
                stream.attr("reconfigure")(py::arg("errors") = "surrogateescape");
                changed_.push_back(stream);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;  // a stream that cannot: as it is
            }
        }
    }
    ~NamesAsGiven() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (const py::object &stream : changed_) {
            try {
                stream.attr("reconfigure")(py::arg("errors") = "strict");
            } catch (py::error_already_set &) {
                // closed meanwhile: nothing to put back
            }
        }
        PyErr_Restore(type, value, tb);
    }
    NamesAsGiven(const NamesAsGiven &) = delete;
    NamesAsGiven &operator=(const NamesAsGiven &) = delete;

private:
    std::vector<py::object> changed_;
};

// One message handed to the patcher; what failed, as its failure item (None
// when nothing did): the item the patcher put for it when it returned
// exactly False, or the one an exception of the patcher becomes, naming the
// file as the patcher names it.
py::object apply_message(const Call &call, py::handle self, RunRecord &record,
                         py::handle patch_type, py::handle message, Outcomes &outcomes) {
    try {
        py::object applied = self.attr("apply_patches")(
            py::arg("patch_type") = patch_type, py::arg("msg") = message,
            py::arg("success_queue") = outcomes.success,
            py::arg("failer_queue") = outcomes.failure);
        if (!truth(applied)) call.global("logger").attr("warning")(message);
        py::list failures = outcomes.collect();
        if (applied.is(py::bool_(false)) && !failures.empty())
            return failures[failures.size() - 1];
        return py::none();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string first = utf8(message.attr("split")("\n")[py::int_(0)]);
        const std::string *tied = record.tie(first);
        py::object file = call.global("os").attr("path").attr("abspath")(
            from_utf8(tied ? *tied : header_path(first)));
        py::object failure = concat(
            file, "\n  - PATCHING_ERROR: Failed to apply patch: ", py::str(e.value()), "\n");
        if (record.batch) record.batch->flush();  // what waits before it goes first
        outcomes.failure.attr("put")(failure);
        outcomes.collect();
        return failure;
    }
}

// The files of a run's patcher, made durable together (Batch in
// abstract.hpp).  Each message gets an entry when it is handed to the
// patcher; its file (if it was rewritten) and its success item wait in it
// until the batch goes through: at most FILES files, before a failure item
// is put, and at the end of the queues.  A
// batch that ends otherwise (Ctrl-C) leaves its files as they were, with no
// entry in the logs.
class RunBatch final : public Batch {
public:
    static constexpr size_t FILES = 256;

    RunBatch(RunRecord &record, Outcomes &outcomes, Review &review)
        : record_(record), outcomes_(outcomes), review_(review) {
        if (!record.preview) record.batch = this;
    }
    ~RunBatch() override {
        if (record_.batch == this) record_.batch = nullptr;
    }

    // A message handed to the patcher now.
    void begin(const char *kind, py::handle message) {
        Entry e;
        e.kind = kind;
        e.message = py::reinterpret_borrow<py::object>(message);
        entries_.push_back(std::move(e));
        open_ = true;
    }
    // How the patcher came out of it: its failure item, or None.
    void end(py::handle failure) {
        entries_.back().failure = py::reinterpret_borrow<py::object>(failure);
        open_ = false;
        if (waiting_ == 0 || waiting_ >= FILES) go_through();
    }
    void stage(py::handle path, support::Staged staged) override {
        Entry &e = entries_.back();
        e.path = py::reinterpret_borrow<py::object>(path);
        e.staged.emplace(std::move(staged));
        ++waiting_;
    }
    void success(py::handle queue, py::handle item) override {
        Entry &e = entries_.back();
        e.queue = py::reinterpret_borrow<py::object>(queue);
        e.item = py::reinterpret_borrow<py::object>(item);
    }
    void flush() override { go_through(); }
    // The end of the queues.
    void finish() { go_through(); }

private:
    struct Entry {
        const char *kind = nullptr;
        py::object message;
        py::object failure = py::none();
        py::object path, queue, item;
        std::optional<support::Staged> staged;
    };

    // Every closed entry, in order: the files on disk together, then each in
    // its place with its outcome logged (Ctrl-C waits meanwhile).
    void go_through() {
        size_t closed = entries_.size() - (open_ ? 1 : 0);
        if (closed == 0) return;
        std::vector<support::Staged *> files;
        for (size_t i = 0; i < closed; ++i)
            if (entries_[i].staged) files.push_back(&*entries_[i].staged);
        std::vector<int> errs;
        {
            support::Unlocked unlocked;
            errs = support::make_durable(files);
        }
        size_t settled = 0;
        try {
            for (size_t f = 0; settled < closed; ++settled) {
                Entry &e = entries_[settled];
                settle(e, e.staged ? errs[f++] : 0);
            }
        } catch (...) {
            // Ctrl-C between two files: the rest stays as it was.
            entries_.erase(entries_.begin(), entries_.begin() + static_cast<long>(closed));
            waiting_ = 0;
            throw;
        }
        entries_.erase(entries_.begin(), entries_.begin() + static_cast<long>(closed));
        waiting_ = 0;
    }

    // A file into its place and its outcome into the logs, with no Ctrl-C
    // in between; one that came meanwhile is raised once they are in.
    void settle(Entry &e, int err) {
        record_.hold_interrupts();
        put(e, err);
        record_.let_interrupts();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }

    void put(Entry &e, int err) {
        if (e.staged) {
            support::Replacement r;
            if (err) {
                r.err = err;
            } else {
                support::Unlocked unlocked;
                r = support::finish_replacement(*e.staged);
            }
            e.staged.reset();  // what was not put in place is removed
            try {
                check_replacement(e.path, r);
                if (r.outcome == support::Replacement::Written) record_.wrote(utf8(e.path));
            } catch (py::error_already_set &x) {
                if (!x.matches(PyExc_Exception)) throw;
                e.item = py::object();
                // The failure item of a patcher that raised (apply_message),
                // unless its message failed already.
                if (e.failure.is_none()) {
                    e.failure = concat(e.path, "\n  - PATCHING_ERROR: Failed to apply patch: ",
                                       py::str(x.value()), "\n");
                    outcomes_.failure.attr("put")(e.failure);
                }
            }
        }
        if (e.item) e.queue.attr("put")(e.item);
        outcomes_.collect();
        review_.note(record_, e.kind, e.message, e.failure);
    }

    RunRecord &record_;
    Outcomes &outcomes_;
    Review &review_;
    std::vector<Entry> entries_;
    bool open_ = false;
    size_t waiting_ = 0;
};

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

    Outcomes outcomes(call, logs, record);
    RunBatch batch(record, outcomes, review);
    py::object file_types = call.global("FileTypes");
    std::tuple<py::object &, const char *, const char *> order[] = {
        {findings.init, "PYTHON", "init"},
        {findings.yaml, "YAML", "yaml"},
        {findings.python, "PYTHON", "python"}};
    try {
        for (auto &[q, type_name, kind] : order) {
            py::object patch_type = file_types.attr(type_name);
            while (!truth(q.attr("empty")())) {
                py::object message = q.attr("get")();
                logs.write(RunLogs::Changes, message);
                batch.begin(kind, message);
                batch.end(apply_message(call, self, record, patch_type, message, outcomes));
                record.let_interrupts();  // a file written on its own: its outcome is in its log
            }
        }
    } catch (py::error_already_set &e) {
        // Ctrl-C: the files patched before it are written (and logged) still,
        // as if each had been written as soon as it was patched.
        if (e.matches(PyExc_KeyboardInterrupt)) batch.finish();
        throw;
    }
    batch.finish();
    outcomes.to_console(logger);

    // Trees that are seldom the repository's own, walked for want of an
    // option that leaves them out.
    py::object hint = walk_hint(found, kinds.init, kinds.python, kinds.yaml);
    if (!hint.is_none()) logger.attr("warning")(hint);

    int status = review.finish(record, top);
    logger.attr("info")(
        py::str(CLOSING_TEXT).attr("format")(py::arg("csv_url") = call.global("CSV_URL")));
    if (status != 0) py::module_::import("sys").attr("exit")(status);
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
