// tavox.cli.commands.migrate.abstract -- the worker threads of a run
// (workers.cpp).
#pragma once

#include "binding.hpp"
#include "engine/read_ahead.hpp"

#include <memory>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

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

}  // namespace tavox::cli::commands::migrate::abstract
