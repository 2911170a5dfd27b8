// tavox.cli.commands.migrate.abstract -- reading the YAML files ahead of
// their workers (see yaml_native.hpp).
//
// Each file is in one of four states.  A reading thread takes the first
// Waiting file within the window and makes it Busy, then Ready; a worker
// that asks for a Ready file takes it, and one that asks for a Waiting file
// makes it Gone and reads the file itself.  Everything is guarded by the
// state's mutex; nothing here touches a Python object without the lock.
#include "yaml_native.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <unordered_map>

namespace tavox::cli::commands::migrate::abstract {

struct ReadAhead::State {
    enum class Stage { Waiting, Busy, Ready, Gone };
    struct Entry {
        std::string path;
        Stage stage = Stage::Waiting;
        std::unique_ptr<File> file;
    };

    std::shared_ptr<const TokenTable> table;
    std::vector<Entry> entries;                          // in the order workers are started
    std::unordered_map<std::string_view, size_t> index;  // entries[i].path -> i
    std::mutex mutex;
    std::condition_variable room;   // a reader may go on: a file was taken, or stop
    std::condition_variable ready;  // a Busy file became Ready
    size_t next = 0;                // the first entry no reader has looked at
    size_t taken = 0;               // entries taken or left to their worker
    bool stop = false;

    // The next file a reader may read, or none when it should end.
    std::optional<size_t> next_to_read() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            room.wait(lock,
                      [&] { return stop || next >= entries.size() || next < taken + WINDOW; });
            if (stop || next >= entries.size()) return std::nullopt;
            size_t i = next++;
            if (entries[i].stage != Stage::Waiting) continue;  // its worker was first
            entries[i].stage = Stage::Busy;
            return i;
        }
    }

    void read(size_t i) {
        File f;
        f.ahead.table = table;
        if (support::read_file(entries[i].path, f.read.bytes, &f.read.id)) {
            f.read.fingerprint = support::fingerprint(f.read.bytes);
            f.ahead.decision = decide(f.read.bytes, *table);
        } else {
            f.read.err = errno;
        }
        auto made = std::make_unique<File>(std::move(f));
        std::lock_guard<std::mutex> lock(mutex);
        entries[i].file = std::move(made);
        entries[i].stage = Stage::Ready;
        ready.notify_all();
    }

    // Takes entry i for its worker: its file when Ready, none when Waiting
    // (the worker reads it) or Gone (asked for twice: the second reads it).
    // Once every entry is gone, the list goes too: a run keeps its workers'
    // phase, and this with it, until its Python files are checked as well.
    // Unlocks `lock`.
    std::optional<File> claim(size_t i, std::unique_lock<std::mutex> &lock) {
        Entry &entry = entries[i];
        std::optional<File> out;
        if (entry.stage == Stage::Gone) {
            lock.unlock();
            return out;
        }
        std::unique_ptr<File> file = std::move(entry.file);
        entry.stage = Stage::Gone;
        std::vector<Entry> done;
        if (++taken == entries.size()) {
            index.clear();
            done.swap(entries);
        }
        lock.unlock();
        room.notify_one();
        if (file) out = std::move(*file);
        return out;
    }

    void reader() noexcept {
        pthread_setname_np(pthread_self(), "tavox-yaml-read");  // as top and gdb show it
        std::optional<size_t> i;
        try {
            while ((i = next_to_read())) read(*i);
        } catch (...) {
            // Out of memory: the file in hand and those not read are left
            // to their workers.
            std::lock_guard<std::mutex> lock(mutex);
            if (i && entries[*i].stage == Stage::Busy) entries[*i].stage = Stage::Waiting;
            stop = true;
            room.notify_all();
            ready.notify_all();
        }
    }
};

#if PY_VERSION_HEX < 0x030C0000
namespace {

// The processors this process may run on.
size_t processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<size_t>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace
#endif

std::unique_ptr<ReadAhead> ReadAhead::start(const Call &call, py::handle files, size_t threads) {
#if PY_VERSION_HEX >= 0x030C0000
    // No dict versions to tell that the tables are still those the reading
    // used: every worker would decide again.
    (void)call, (void)files, (void)threads;
    return nullptr;
#else
    threads = std::min(threads, processors());
    if (threads == 0 || !PyList_Check(files.ptr())) return nullptr;
    std::shared_ptr<const TokenTable> table = native_table(call);
    if (!table) return nullptr;
    std::vector<std::string> paths;
    for (py::handle file : py::list(py::reinterpret_borrow<py::list>(files))) {
        try {
            paths.push_back(support::fs_path(file));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;  // left to its worker, which says so
        }
    }
    return std::make_unique<ReadAhead>(std::move(paths), std::move(table), threads);
#endif
}

ReadAhead::ReadAhead(std::vector<std::string> paths, std::shared_ptr<const TokenTable> table,
                     size_t threads)
    : state_(std::make_shared<State>()) {
    state_->table = std::move(table);
    state_->entries.resize(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) state_->entries[i].path = std::move(paths[i]);
    for (size_t i = 0; i < paths.size(); ++i) {
        State::Entry &entry = state_->entries[i];
        if (state_->index.emplace(entry.path, i).second) continue;
        entry.stage = State::Stage::Gone;  // listed twice: the second is its worker's
        ++state_->taken;
    }
    threads = std::min(threads, state_->entries.size());
    try {
        for (size_t i = 0; i < threads; ++i)
            threads_.emplace_back([state = state_] { state->reader(); });
    } catch (const std::exception &) {
        // No more threads to be had: those started read; the workers do
        // the rest (with none started, all of it).
    }
}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stop = true;
    }
    state_->room.notify_all();
    py::gil_scoped_release nogil;  // a reader finishes the file it is reading
    for (std::thread &t : threads_) t.join();
}

std::optional<ReadAhead::File> ReadAhead::take(const std::string &path) {
    // The lock is never waited for while the mutex is held: a reader never
    // takes the lock, and a taker holding it waits for the mutex only as
    // long as another holds it without waiting.
    std::shared_ptr<State> state = state_;  // outlives this object while waiting
    std::unique_lock<std::mutex> lock(state->mutex);
    auto it = state->index.find(path);
    if (it == state->index.end()) return std::nullopt;
    const size_t i = it->second;
    if (state->entries[i].stage != State::Stage::Busy) return state->claim(i, lock);
    lock.unlock();
    py::gil_scoped_release nogil;
    lock.lock();
    state->ready.wait(lock, [&] { return state->entries[i].stage != State::Stage::Busy; });
    return state->claim(i, lock);
}

}  // namespace tavox::cli::commands::migrate::abstract
