// tavox.cli.commands.migrate.abstract -- what a run has checked and
// patched, the batch its files are written in, its log files and lock
// (run.cpp, drain.cpp).
#pragma once

#include "binding.hpp"
#include "engine/decision.hpp"
#include "support/files.hpp"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

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
    // The files the patcher rewrote, by the path it named them with: kept
    // for a report only (a run may rewrite many thousands).
    bool keep_written = false;
    void wrote(const std::string &path) {
        if (keep_written) written_.insert(path);
    }
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

}  // namespace tavox::cli::commands::migrate::abstract
