// tavox.cli.commands.migrate.abstract -- what the translation units of the
// module share: the functions each defines for the others, and small helpers
// for reading the files under examination.
//
//   module.cpp     module body, FileTypes, except_log, MigrateAbstractCommand
//                  (__init__, get_parent_tokens, run)
//   tokens.cpp     read_tokens, compute_tokens
//   walk.cpp       discovery of the files to examine
//   workers.cpp    the worker threads of a run, wait_for_thread_slot
//   checks.cpp     check_yaml, check_python, check_init
//   reading.cpp    files under examination, read as open() reads them
//   text_scan.cpp  newlines, UTF-8 and the candidate lines of a text (pure C++)
//   yaml_tree.cpp, yaml_check.cpp, yaml_native.cpp
//                  check_yaml's native path (yaml_native.hpp)
//   read_ahead.cpp the YAML files of a run read and checked ahead of their
//                  workers, on threads without the interpreter lock
//   patch.cpp      apply_yaml_fix, apply_yaml_comment, apply_python_comments,
//                  apply_python_fixes, apply_patches
//   yaml_form.cpp  a rewritten YAML file kept in its own form (pure C++)
//   run.cpp        what a run has checked and patched; its log files and lock
//   review.cpp     --diff, --report and --check: a run's changes looked at
#pragma once

#include "support/files.hpp"
#include "support/support.hpp"
#include "text_scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

using support::builtin;
using support::concat;
using support::fmt;
using support::fs_path;
using support::OpenFile;
using support::raise;
using support::utf8;

// The str that utf8() made `text` from: bytes that are no UTF-8 (from file
// names) come back as the surrogates they were read as.
inline py::str from_utf8(const std::string &text) {
    PyObject *s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// key in container, raising what the test raises.
inline bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}
inline bool contains(py::handle container, const char *key) {
    return contains(container, py::str(key));
}

// a + b, as concat(a, b) (kept for the files that still spell it so).
inline py::object add(py::handle a, py::handle b) { return concat(a, b); }
inline py::object add(py::handle a, const char *b) { return concat(a, b); }

// The module's compiled patterns, by their exact pattern texts.
inline constexpr const char *PLATFORM_MATCH_TEXT = R"re(^\w+\dk$)re";
inline constexpr const char *MODEL_MATCH_TEXT =
    R"re(^(?P<platform_identifier>q|tor|w|wbx|ut|grx|hrx|qrx)(?P<model_num>(?P<platform_num>\d)\d)(00(?P<model_suffix>ap|v|_cl|l)?|(?P<pid_num>\d\d)))re";
inline constexpr const char *PYTHON_PLATFORM_MATCH_TEXT =
    R"re(platform\s*==?\s*(?P<platform_name>\".+?\"|\'.+?\'|[a-zA-Z_.()\[\]\'\"]+))re";
inline constexpr const char *PYTHON_FERRIN_MATCH_TEXT = R"re(os\s*==?\s*[\'\"][Ff]errin[\'\"])re";
inline constexpr const char *PYTHON_ABSTRACT_MATCH_TEXT =
    R"re((?<! - )(?P<declare_func>declare_(token|package))\(\s*__name__\s*\))re";

// ---- functions defined in tokens.cpp ------------------------------------
TAVOX_DECLARE(read_tokens);
TAVOX_DECLARE(compute_tokens);

// compute_tokens(token_val) for C++ callers: the body of the module function,
// called without going through the interpreter's call machinery.  `globals`
// is the module namespace, where the token tables live.
py::dict compute_tokens_native(py::handle globals, py::handle token_val);

// The compute_tokens a check should use now: the module's own function runs
// natively, anything bound in its place is called through the interpreter.
class TokenComputer {
public:
    explicit TokenComputer(const Call &call);
    py::object operator()(py::handle token_val) const;

private:
    py::object globals_;
    py::object replacement_;  // set when compute_tokens was rebound
};

// ---- worker threads (workers.cpp) -----------------------------------------

class ReadAhead;
struct YamlPlan;

// The part of a run in which its workers go, kept on the run's frame.  The
// checks of its command object that run meanwhile say when they end; the
// threads they ran in wait here, as owned references, for the slot wait.
// Everything here is used with the interpreter lock held, which guards it.
class WorkerPhase {
public:
    explicit WorkerPhase(py::handle command);
    ~WorkerPhase();
    WorkerPhase(const WorkerPhase &) = delete;
    WorkerPhase &operator=(const WorkerPhase &) = delete;

    // The phase going on for `command`, or none.
    static WorkerPhase *of(py::handle command);
    // Checks under way that will say when they end.
    int running() const { return running_; }
    // The threads whose check has ended, handed over to the caller.
    std::vector<py::object> take_ended();
    // Sleeps, with the interpreter lock released, until a check ends or
    // `timeout_ms` passes; returns whether an end is waiting to be taken.
    // A signal handler that raises (Ctrl-C) raises here.
    bool wait(int timeout_ms);
    // The YAML files read ahead of their workers, if any (yaml_native.hpp);
    // stopped when the phase ends.
    ReadAhead *read_ahead() const { return read_ahead_.get(); }
    void read_ahead(std::unique_ptr<ReadAhead> files);

private:
    friend class WorkerEnd;
    static WorkerPhase *find(const PyObject *command, unsigned long serial);
    void ended(py::object thread);

    const PyObject *command_;  // identity only
    unsigned long serial_;     // tells this phase from a later one of the same command
    WorkerPhase *previous_;
    std::vector<py::object> ended_;
    int running_ = 0;
    bool waiting_ = false;  // wait() sleeps on fd_
    int fd_ = -1;           // eventfd that wakes wait(), made on first use
    std::unique_ptr<ReadAhead> read_ahead_;
};

// A check that runs in a worker thread keeps one of these for its whole
// body.  When the body is left, the thread is about to end: it tells the
// phase of its command's run so, and the slot wait hands its slot on at
// once instead of polling.  Outside a run nothing is recorded.  Created and
// destroyed with the interpreter lock held.
class WorkerEnd {
public:
    WorkerEnd(py::handle command, py::handle threading);
    ~WorkerEnd();
    WorkerEnd(const WorkerEnd &) = delete;
    WorkerEnd &operator=(const WorkerEnd &) = delete;

private:
    py::object threading_;
    const PyObject *command_;   // identity only
    unsigned long serial_ = 0;  // the phase that counts this check as under way
};

// Starts one worker per file, `self.<check>(file, queue)`, in a progress bar
// described `desc`, after waiting for a slot each time.
void start_workers(const Call &call, py::handle self, py::handle files, const char *desc,
                   const char *check, py::handle queue);

TAVOX_DECLARE(MigrateAbstractCommand_wait_for_thread_slot);

// ---- discovery (walk.cpp) --------------------------------------------------

// What the walk leaves out: the --exclude patterns and, with --gitignore,
// what git ignores in the work tree.  Relative paths, as bytes.
struct Pattern;
class WalkScope {
public:
    WalkScope();
    ~WalkScope();
    WalkScope(WalkScope &&) noexcept;
    // From the parsed options; asks git once when --gitignore is given and
    // logs one warning when the tree is not in a git work tree.
    static WalkScope from_args(py::handle args, py::handle top, py::handle logger);
    bool filters() const { return !patterns_.empty() || ignored_; }
    // Whether to note the trees that are seldom the repository's own.
    bool hint() const { return hint_; }
    bool leaves_out(const std::string &rel, bool is_dir) const;
    // git ignores the top of the walk itself.
    bool everything_out() const;

private:
    struct Ignored;
    std::vector<Pattern> patterns_;
    std::unique_ptr<Ignored> ignored_;
    bool hint_ = false;
};

enum class Kind { None, Yaml, Init, Python };

// The kind of file a name says, as the walk classifies it (case ignored).
Kind classify(py::handle name);

// A virtual environment or a .git directory the walk went through.
struct SpecialTree {
    std::string rel;
    const char *what;
    size_t files;  // examined files under it
};

// The discovered files of a walk, classified by name.
struct Discovered {
    py::list python_files, init_files, yaml_files;
    std::vector<SpecialTree> special;
    // Relative path and kind of each file found once a special tree was
    // seen (the only files that can lie under one).
    std::vector<std::pair<std::string, Kind>> rels;
};

// Walks the tree as os.walk does (top-down, links to directories not
// followed, unreadable directories skipped), prunes what `scope` leaves out
// and keeps the regular files (links to them included) whose names say
// YAML, package or Python.
Discovered discover(py::handle os, py::handle top, const WalkScope &scope);

// The one-line hint about the special trees the walk went through, for the
// kinds of files examined; None when there were none.
py::object walk_hint(Discovered &found, bool init, bool python, bool yaml);

// ---- methods defined in checks.cpp --------------------------------------
TAVOX_DECLARE(MigrateAbstractCommand_check_yaml);
TAVOX_DECLARE(MigrateAbstractCommand_check_python);
TAVOX_DECLARE(MigrateAbstractCommand_check_init);

// ---- methods defined in patch.cpp ---------------------------------------
TAVOX_DECLARE(MigrateAbstractCommand_apply_yaml_fix);
TAVOX_DECLARE(MigrateAbstractCommand_apply_yaml_comment);
TAVOX_DECLARE(MigrateAbstractCommand_apply_python_comments);
TAVOX_DECLARE(MigrateAbstractCommand_apply_python_fixes);
TAVOX_DECLARE(MigrateAbstractCommand_apply_patches);

// ---- files under examination (reading.cpp) ----------------------------------

// A file read as open(path, "r") would read it, in the locale's encoding,
// with universal newlines.  The content ends up as UTF-8 in `text`.  Call
// with the interpreter lock held; the lock is released for the file system
// and the byte work.
// A worker lets the interpreter lock go only for work that takes longer
// than handing the lock over and back, which on a busy machine waits for
// the scheduler twice: a file smaller than SMALL_READ is read and scanned
// with the lock held, a YAML document smaller than SMALL_PARSE parsed and
// checked so (the sizes in bytes).
inline constexpr size_t SMALL_READ = 16 << 10;
inline constexpr size_t SMALL_PARSE = 8 << 10;

class TextFile {
public:
    // Work on the text that touches no Python object; it runs while the
    // lock is released for the reading (of a file that is not small).
    using Scan = std::function<void(const std::string &)>;
    // Raises the OSError (or UnicodeDecodeError) that open()/read() would.
    explicit TextFile(py::handle path, const Scan &scan = nullptr);
    const std::string &text() const { return text_; }
    // A span of the text as a Python str (the text is valid UTF-8).
    py::str str(size_t begin, size_t end) const;
    py::str str() const { return str(0, text_.size()); }
    // The file the bytes came from, and their fingerprint.
    const support::FileId &id() const { return id_; }
    const support::Fingerprint &fingerprint() const { return fingerprint_; }

private:
    std::string text_;
    support::FileId id_;
    support::Fingerprint fingerprint_;
};

// The bytes of a file under examination, read once, as stored, with the
// interpreter lock released for the reading and the fingerprint (unless
// the file is small).
struct Examined {
    std::string bytes;
    support::FileId id;
    support::Fingerprint fingerprint;
    int err = 0;  // errno of a read that failed (no bytes then)
};
Examined examine(py::handle path);

// A text stream over `bytes` that reads as open(path) reads the file they
// came from: the locale's encoding, universal newlines.
py::object text_stream(const std::string &bytes);

// The encoding open() uses when none is given (the locale's), normalised
// to its codec name: "utf-8" for the usual case.
std::string default_encoding();

// ---- what a run has checked and patched (run.cpp) -----------------------------

// While `run` goes on for a command object, the checks note every file they
// read, and the patcher applies a message only to a file a check read, only
// to the content the check read, and to each real file at most once.
// Outside a run (methods called on their own) nothing is noted or required.
// Everything here is used with the interpreter lock held, which guards it.
class Batch;
class RunRecord {
public:
    struct Checked {
        bool read = false;  // the check could read the file
        support::FileId id;
        support::Fingerprint fingerprint;
        // A YAML file's patch, made by its check from what it read, for the
        // message it gave (yaml_native.hpp).
        std::shared_ptr<const YamlPlan> plan;
        bool too_deep = false;  // a YAML document nested deeper than any loader may go
    };

    explicit RunRecord(py::handle command);
    ~RunRecord();
    RunRecord(const RunRecord &) = delete;
    RunRecord &operator=(const RunRecord &) = delete;

    // The run going on for `command`, or none.
    static RunRecord *of(py::handle command);

    void checked(py::handle path, const Checked &what);
    void planned(py::handle path, std::shared_ptr<const YamlPlan> plan);
    void too_deep(py::handle path);
    // The checked file whose path, followed by ":", begins a message's first
    // line (the longest, when several do), or none.
    const std::string *tie(const std::string &first_line) const;
    const Checked *find(const std::string &path) const;
    // The path the file `id` was patched through earlier in this run, if it
    // was; patched() notes it once its patch has gone through.
    const std::string *patched_through(const support::FileId &id) const;
    void patched(const support::FileId &id, const std::string &path);

    // A new content the patcher computed for a file: with `preview` set it
    // is kept here instead of replacing the file (--diff).
    struct Change {
        std::string path;  // absolute, as the patcher names the file
        std::string before, after;
    };
    bool preview = false;
    // The run's own patcher writes its files in batches (module.cpp).
    Batch *batch = nullptr;
    void proposed(std::string path, std::string before, std::string after) {
        proposed_.insert(path);
        changes_.push_back({std::move(path), std::move(before), std::move(after)});
    }
    const std::vector<Change> &changes() const { return changes_; }
    // A check that raised (except_log logged it): a file that could not be
    // examined, which --check counts.
    void unexamined() { ++unexamined_; }
    size_t unexamined_files() const { return unexamined_; }
    // Ctrl-C held back: from a file's rename until its entry is in the log,
    // so that no interruption comes between the two.  An interruption that
    // came meanwhile is raised once it is let through.  Only the main
    // thread, where the interpreter runs signal handlers, holds it.
    void hold_interrupts();
    void let_interrupts();
    // The files the patcher rewrote, by the path it named them with.
    void wrote(const std::string &path) { written_.insert(path); }
    bool written(const std::string &path) const { return written_.count(path) != 0; }
    bool proposed_for(const std::string &path) const { return proposed_.count(path) != 0; }

    // The repository the run walks, by its real path (links resolved), as
    // the file system's bytes; empty when it does not resolve.
    void repository(const std::string &top);
    // The real path of the file at `path` (bytes) when it lies outside the
    // repository (a link leads out of it); empty when it lies inside it or
    // does not resolve.
    std::string outside(const std::string &path) const;

private:
    PyObject *command_;  // identity only
    std::string root_;
    py::object held_;  // the SIGINT handler put aside while interrupts are held
    size_t unexamined_ = 0;
    std::vector<Change> changes_;
    std::set<std::string> written_, proposed_;
    std::unordered_map<std::string, Checked> checked_;
    std::map<support::FileId, std::string> patched_;
};

// The files a run rewrites, made durable together: the patcher leaves each
// new content beside its file (support::Staged), and every message's
// outcome waits with them, so that the files take their places, and the
// logs, the console and the report get the outcomes, in queue order, each
// file's success entry right after its file.
class Batch {
public:
    virtual ~Batch() = default;
    // The new content of the file of the message being applied, beside it.
    virtual void stage(py::handle path, support::Staged staged) = 0;
    // The message's success item, to be put on `queue` in its turn.
    virtual void success(py::handle queue, py::handle item) = 0;
    // What waits before the message being applied goes through now: before
    // a failure item is put, and before a file is written on its own.
    virtual void flush() = 0;
};

// Raises what stopped a replacement of the file at `path` (patch.cpp):
// the failure the patcher reports for it; nothing when it went through.
void check_replacement(py::handle path, const support::Replacement &r);

// Notes, for the run going on for `command` if any, what a check read.
void note_checked(py::handle command, py::handle path, const RunRecord::Checked &what);
// Notes that the YAML file a check read nests too deeply to be loaded.
void note_too_deep(py::handle command, py::handle path);

// The path a message's first line names: the whole line less its final ":"
// (the header a check writes), otherwise the text before its first ":" (the
// whole line when it has none).
std::string header_path(const std::string &first_line);

// The three log files of a run and the lock that keeps a second run from
// sharing them.  Taking them refuses (one line logged at error level, naming
// who is in the way and what to do, sys.exit(1)) when the lock is held or a
// log path is not a regular file of the user's own; the logs are then
// emptied, and every entry reaches its file as soon as it is written.  The
// lock is removed when the run ends.
class RunLogs {
public:
    enum Log { Changes = 0, Success = 1, Failures = 2 };
    explicit RunLogs(const Call &call);
    ~RunLogs();
    RunLogs(const RunLogs &) = delete;
    RunLogs &operator=(const RunLogs &) = delete;
    // text + "\n", encoded as a file opened for writing encodes it.
    void write(Log log, py::handle text);

private:
    void release();
    int fds_[3] = {-1, -1, -1};
    int lock_ = -1;
    bool own_lock_ = false;  // ours to write our number in and to remove
    std::string encoding_;
};

// ---- looking at a run's changes (review.cpp) ---------------------------------

// The options that show a run's changes instead of making them (--diff,
// --no-color), report it (--report PATH) and gate on it (--check), read
// from the parsed arguments with defaults, so that a namespace without them
// runs as before.  While standard output carries the diff or the report,
// the command's messages go to standard error.
class Review {
public:
    // After run has set the flags: --diff alone previews the fixes.
    Review(const Call &call, py::handle self, py::handle args);
    ~Review();
    Review(const Review &) = delete;
    Review &operator=(const Review &) = delete;

    bool diff() const { return diff_; }
    // One message and how its patching went: `failure` is the failure item
    // put for it, or None.
    void note(const RunRecord &record, const char *kind, py::handle message, py::handle failure);
    // Prints the diff, writes the report; returns the exit status --check
    // asks for (0 without it).
    int finish(const RunRecord &record, py::handle top);

private:
    struct Entry {
        const char *kind;
        std::string message, path, abs, outcome, reason;
    };
    void refuse_report_place(py::handle self, py::handle args);
    void write_report(py::handle repository,
                      const std::function<std::string(const std::string &)> &relative);
    static void write_stdout(const std::string &bytes);

    py::object args_, logger_, report_, handler_, propagate_;
    bool diff_ = false, check_ = false, color_ = false, fixes_ = false, comments_ = false;
    bool report_failed_ = false;
    size_t noted_ = 0, failed_ = 0;
    std::vector<Entry> entries_;  // kept for --report only
};

// ---- a rewritten YAML file kept in its own form (yaml_form.cpp) ---------------

// A longest common subsequence of two sequences of line numbers (equal
// numbers for equal lines): pairs (i, j) with a[i] == b[j], increasing in
// both.  Myers' algorithm in linear space; past a budget of work the rest of
// a part counts as different, which makes the result coarser, never wrong.
// Pure C++.
std::vector<std::pair<size_t, size_t>> common_lines(const std::vector<uint32_t> &a,
                                                    const std::vector<uint32_t> &b);

// How a YAML text indents, as ruamel.yaml's indent(mapping=, sequence=,
// offset=) takes it: nested mappings, the content of block sequence items,
// and the dash within that.
struct YamlIndent {
    int mapping = 2;
    int sequence = 2;
    int offset = 0;
};
YamlIndent detect_indent(std::string_view text);

// `original` (UTF-8, as stored) with the lines in which `after` differs from
// `before` carried over: two dumps of one document, before and after it was
// changed.  Everything else of the file stays as it is: byte-order mark, line
// breaks, indentation, long lines, quoting.  A marker comment lands with the
// indentation of the line it stands above, and is not added where the same
// one stands already.  Pure C++.
std::string carry_over(std::string_view original, std::string_view before, std::string_view after);

}  // namespace tavox::cli::commands::migrate::abstract
