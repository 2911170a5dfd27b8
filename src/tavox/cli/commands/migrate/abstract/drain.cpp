// tavox.cli.commands.migrate.abstract -- the end of a run (see drain.hpp).
#include "drain.hpp"

#include <optional>

namespace tavox::cli::commands::migrate::abstract {

namespace {

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
    // A batch goes through at this many files, or once the old contents it
    // holds (each file's, to see that nobody changed it meanwhile) come to
    // this many bytes: the durability step is paid once per batch, the
    // memory once per run.
    static constexpr size_t FILES = 256;
    static constexpr size_t HELD_BYTES = size_t{1} << 20;

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
        if (waiting_ == 0 || waiting_ >= FILES || held_ >= HELD_BYTES) go_through();
    }
    void stage(py::handle path, support::Staged staged) override {
        Entry &e = entries_.back();
        e.path = py::reinterpret_borrow<py::object>(path);
        held_ += staged.held();
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
            waiting_ = held_ = 0;
            throw;
        }
        entries_.erase(entries_.begin(), entries_.begin() + static_cast<long>(closed));
        waiting_ = held_ = 0;
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
    size_t held_ = 0;  // bytes the waiting files hold
};

}  // namespace

void drain(const Call &call, py::handle self, RunLogs &logs, RunRecord &record, Review &review,
           Findings &findings) {
    py::object logger = call.global("logger");
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
}

}  // namespace tavox::cli::commands::migrate::abstract
