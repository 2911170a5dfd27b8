// tavox.cli.commands.migrate.abstract -- the worker threads of a run: one
// thread per YAML or Python file, never more than max_threads alive, and
// the slot wait that hands a worker's slot on as soon as its check ends.
//
// While a run has workers going, its WorkerPhase (on the run's own frame)
// keeps the threads whose check has ended, as owned references, until the
// slot wait takes them.  A check finds the phase of its command object; a
// lookup table keeps only C++ pointers, so nothing Python outlives the run.
#include "workers.hpp"
#include "yaml_native.hpp"

#include <poll.h>
#include <sys/eventfd.h>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// The worker phases going on, by command object (identity only).  Never
// destroyed: nothing to do at exit.  Guarded by the interpreter lock.
std::unordered_map<const PyObject *, WorkerPhase *> &phases() {
    static auto *p = new std::unordered_map<const PyObject *, WorkerPhase *>;
    return *p;
}

unsigned long next_serial() {
    static unsigned long serial = 0;  // guarded by the interpreter lock
    return ++serial;
}

// Whether `threads` holds at least `max_threads` entries.
bool full(py::handle threads, py::handle max_threads) {
    py::int_ count(py::len(threads));
    int r = PyObject_RichCompareBool(count.ptr(), max_threads.ptr(), Py_GE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Joins and lets go of the threads of `threads` whose check has ended.
// Returns whether any slot was freed.
bool hand_on_ended(WorkerPhase &phase, const py::object &threads) {
    bool freed = false;
    for (py::object &ended : phase.take_ended()) {
        if (!PyList_Check(threads.ptr())) break;  // not ours to search: found by polling
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(threads.ptr()); ++i) {
            if (PyList_GET_ITEM(threads.ptr(), i) != ended.ptr()) continue;
            ended.attr("join")();  // its check is over: only its exit is left
            if (PySequence_DelItem(threads.ptr(), i) < 0) throw py::error_already_set();
            freed = true;
            break;
        }
    }
    return freed;
}

// Joins every thread with time-out 0 and keeps only those still alive.
void let_go_of_dead(const py::object &threads) {
    py::list alive;
    for (py::handle t : py::list(threads)) {
        t.attr("join")(0);
        if (truth(t.attr("is_alive")())) alive.append(t);
    }
    if (PySequence_SetSlice(threads.ptr(), 0, PY_SSIZE_T_MAX, alive.ptr()) < 0)
        throw py::error_already_set();
}

}  // namespace

// ---- the phase of a run in which workers go ------------------------------------

WorkerPhase::WorkerPhase(py::handle command)
    : command_(command.ptr()), serial_(next_serial()), previous_(of(command)) {
    phases()[command_] = this;
}

WorkerPhase::~WorkerPhase() {
    auto it = phases().find(command_);
    if (it != phases().end() && it->second == this) {
        if (previous_) it->second = previous_;
        else phases().erase(it);
    }
    if (fd_ >= 0) ::close(fd_);
    // Stopping the reading ahead and letting go of the threads not taken
    // must not disturb an exception that is leaving the run.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (read_ahead_) stop_read_ahead(*read_ahead_);
    read_ahead_.reset();
    ended_.clear();
    PyErr_Restore(type, value, tb);
}

void WorkerPhase::read_ahead(std::unique_ptr<ReadAhead> files) { read_ahead_ = std::move(files); }

WorkerPhase *WorkerPhase::of(py::handle command) {
    auto it = phases().find(command.ptr());
    return it == phases().end() ? nullptr : it->second;
}

WorkerPhase *WorkerPhase::find(const PyObject *command, unsigned long serial) {
    auto it = phases().find(command);
    if (it == phases().end() || it->second->serial_ != serial) return nullptr;
    return it->second;
}

void WorkerPhase::ended(py::object thread) {
    ended_.push_back(std::move(thread));
    if (waiting_) ::eventfd_write(fd_, 1);
}

std::vector<py::object> WorkerPhase::take_ended() {
    std::vector<py::object> out;
    out.swap(ended_);
    return out;
}

bool WorkerPhase::wait(int timeout_ms) {
    if (!ended_.empty()) return true;
    if (fd_ < 0) fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) {  // no eventfd: a plain bounded sleep
        support::Unlocked nogil;
        ::usleep(static_cast<useconds_t>(timeout_ms) * 1000);
    } else {
        waiting_ = true;
        const int fd = fd_;
        {
            support::Unlocked nogil;
            struct pollfd p {
                fd, POLLIN, 0
            };
            if (::poll(&p, 1, timeout_ms) > 0) {
                eventfd_t count;
                ::eventfd_read(fd, &count);
            }
        }
        waiting_ = false;
    }
    if (PyErr_CheckSignals() < 0) throw py::error_already_set();
    return !ended_.empty();
}

// ---- the end of one check --------------------------------------------------------

WorkerEnd::WorkerEnd(py::handle command, py::handle threading)
    : threading_(py::reinterpret_borrow<py::object>(threading)), command_(command.ptr()) {
    if (WorkerPhase *phase = WorkerPhase::of(command)) {
        serial_ = phase->serial_;
        ++phase->running_;
    }
}

WorkerEnd::~WorkerEnd() {
    // Unwound by force, the thread ended by the finalizing interpreter, it
    // holds no interpreter lock: nothing Python may be touched.
    if (!serial_ || !PyGILState_Check()) return;
    // A run that left before joining its workers has no phase any more.
    WorkerPhase *phase = WorkerPhase::find(command_, serial_);
    if (!phase) return;
    --phase->running_;
    // Whatever exception is leaving the check stays as it is.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *thread = PyObject_CallMethod(threading_.ptr(), "current_thread", nullptr);
    if (thread) phase->ended(py::reinterpret_steal<py::object>(thread));
    else PyErr_Clear();  // no record: the slot wait finds the end by polling
    PyErr_Restore(type, value, tb);
}

// ---- starting the workers ----------------------------------------------------------

void start_workers(const Call &call, py::handle self, py::handle files, const char *desc,
                   const char *check, py::handle queue) {
    py::object thread_cls = call.global("threading").attr("Thread");
    py::object bar = call.global("tqdm")(files, py::arg("desc") = desc);
    py::object target = self.attr(check);
    for (py::handle file : bar) {
        self.attr("wait_for_thread_slot")();
        py::object t =
            thread_cls(py::arg("target") = target, py::arg("args") = py::make_tuple(file, queue));
        t.attr("start")();
        self.attr("threads").attr("append")(t);
    }
}

// ---- class MigrateAbstractCommand: the slot wait -------------------------------------

// def wait_for_thread_slot(self):
TAVOX_DEF_SHARED(MigrateAbstractCommand_wait_for_thread_slot,
                 "MigrateAbstractCommand.wait_for_thread_slot", "self", nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::object threads = self.attr("threads");
    py::object max_threads = self.attr("max_threads");
    // Workers whose check has ended say so, and their slots are handed on
    // at once.  Threads that end without a word (any other target) are found
    // the plain way: while no check is under way, the oldest thread is
    // waited for (0.1 s at most), and after any wait in which nobody said
    // anything, every thread that is no longer alive is let go.
    bool quiet = false;
    while (full(threads, max_threads)) {
        WorkerPhase *phase = WorkerPhase::of(self);
        if (phase && hand_on_ended(*phase, threads)) continue;
        if (quiet) {
            let_go_of_dead(threads);
            if (!full(threads, max_threads)) break;
        }
        phase = WorkerPhase::of(self);
        if (phase && phase->running() > 0) {
            quiet = !phase->wait(100);
        } else {
            threads[py::int_(0)].attr("join")(0.1);
            quiet = true;
        }
    }
    return py::none();
}

}  // namespace tavox::cli::commands::migrate::abstract
