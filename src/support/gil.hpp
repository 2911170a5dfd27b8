// The interpreter lock released around C++ work: the one guard every module
// uses where a Python module would be blocked in I/O or pure computation.
//
//     {
//         support::Unlocked unlocked;  // no Python object touched in here
//         ok = read_file(path, bytes);
//     }
//
// It is pybind11's guard for the same except at the end of the interpreter.
// While the interpreter is finalizing, a thread other than the finalizing
// one that asks for the lock is ended by the interpreter (pthread_exit),
// which unwinds its C++ frames by force: through a destructor or any other
// noexcept function that is std::terminate, through the others it runs the
// destructors of Python objects without the lock.  So this guard never asks
// for the lock while the interpreter is finalizing: the thread stays where
// it is until the process ends.  A thread that was already waiting for the
// lock when the finalizing began is stopped on its way out the same way.
//
// The rule for every lock of our own goes with it: no thread waits on one
// while holding the interpreter lock (try it, and release the interpreter
// lock before waiting).
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tavox::support {

namespace detail {

inline bool interpreter_finalizing() { return _Py_IsFinalizing(); }

// Whether this is the process's first thread, the one that finalizes the
// interpreter when it ends (and is never ended by it).
inline bool initial_thread() { return ::syscall(SYS_gettid) == ::getpid(); }

// The end of a thread that may not go back to the interpreter: it waits,
// holding nothing, until the process exits.
[[noreturn]] inline void park_thread() {
    for (;;) ::pause();
}

}  // namespace detail

class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { relock(); }
    Unlocked(const Unlocked &) = delete;
    Unlocked &operator=(const Unlocked &) = delete;

    // Takes the lock back before the end of the block (once).
    void relock() {
        PyThreadState *state = state_;
        if (!state) return;
        state_ = nullptr;
        if (detail::interpreter_finalizing() && !detail::initial_thread()) detail::park_thread();
        try {
            PyEval_RestoreThread(state);
        } catch (abi::__forced_unwind &) {
            // Finalizing began while this thread waited: parked instead, never
            // leaving this handler (a forced unwind may not be swallowed).
            detail::park_thread();
        }
    }

private:
    PyThreadState *state_;
};

}  // namespace tavox::support
