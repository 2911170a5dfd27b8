// tavox.cli.commands.migrate.abstract -- reading the YAML files ahead of
// their workers (see yaml_native.hpp).
//
// Each file is in one of four states.  A reading thread takes the first
// Waiting file while there is room ahead and makes it Busy, then Ready; a
// worker that asks for a Ready file takes it, and one that asks for a file
// not Ready yet makes it Gone and reads the file itself (a reader that was
// busy with it drops its work).  A worker never waits for a reader's work.
// Everything is guarded by the state's mutex, which a worker only tries
// while it holds the interpreter lock: when a reader has it (an idle one
// may be preempted holding it), the worker lets the interpreter lock go
// before it waits, so that the run's other threads go on meanwhile.
// Nothing here touches a Python object.
//
// At the end of a run (or on Ctrl-C) a reader stops between reading a file
// and parsing it, and the parse itself gives up within a few thousand
// events.  A process forked meanwhile has none of the readers: its copy of
// the read-ahead is abandoned (its workers read their files themselves).
//
// Two kinds of readers.  The thread holding the interpreter lock does the
// run's serial part (a Python thread per file, the loaders for the files
// left to them), and a reader that shares its processor at equal weight
// slows all of it down.  So every reader but the first runs at idle
// priority (SCHED_IDLE), only on a processor that nothing else of the
// machine wants, and goes up to FILES_AHEAD files ahead; on an idle machine
// these are far ahead of the workers.  On a busy machine they get next to
// no time, so the first reader keeps its normal priority and stays within
// NEAR_FILES of the workers, where it has nothing to do while the others
// are ahead of it.
#include "read_ahead.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <unordered_map>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// Forks so far, as the child of each one counts them: a read-ahead made
// before the last fork has no readers in this process.
std::atomic<unsigned> forks{0};

void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }

// Called with the interpreter lock held.
unsigned fork_generation() {
    static bool counted = false;  // guarded by the interpreter lock
    if (!counted) counted = ::pthread_atfork(nullptr, nullptr, count_fork) == 0;
    return forks.load(std::memory_order_relaxed);
}

#ifdef TAVOX_TAKE_TIMER
// For the benchmarks (built with TAVOX_TAKE_TIMER): the longest time a
// worker waited in take, all told and with the interpreter lock held, said
// on standard error when the reading ends.
struct TakeTimer {
    std::atomic<long long> longest{0}, longest_locked{0};
    std::atomic<size_t> takes{0};

    static long long now() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    static void raise_to(std::atomic<long long> &max, long long value) {
        long long seen = max.load();
        while (value > seen && !max.compare_exchange_weak(seen, value)) {}
    }
    void note(long long waited, long long locked) {
        ++takes;
        raise_to(longest, waited);
        raise_to(longest_locked, locked);
    }
    void say() const {
        std::fprintf(stderr,
                     "TAKE_TIMER takes %zu longest_wait_us %.1f longest_wait_with_lock_us %.1f\n",
                     takes.load(), static_cast<double>(longest.load()) / 1e3,
                     static_cast<double>(longest_locked.load()) / 1e3);
    }
};
#endif

}  // namespace

struct ReadAhead::State {
    enum class Stage { Waiting, Busy, Ready, Gone };
    struct Entry {
        std::string path;
        Stage stage = Stage::Waiting;
        std::unique_ptr<File> file;
    };

    std::shared_ptr<const TokenTable> table;
    Patching patching;
    std::vector<Entry> entries;                          // in the order workers are started
    std::unordered_map<std::string_view, size_t> index;  // entries[i].path -> i
    std::mutex mutex;
    std::condition_variable room;   // a reader may go on: a file was taken, or stop
    size_t next = 0;                // the first entry no reader has looked at
    size_t taken = 0;               // entries taken or left to their worker
    size_t held = 0;                // bytes kept by Ready entries
    std::atomic<bool> stop{false};  // set with the mutex held: the run ends
#ifdef TAVOX_TAKE_TIMER
    TakeTimer timer;
#endif

    // Whether a reader may begin another file: the near one only close to
    // the workers.
    bool room_ahead(bool near) const {
        return next < taken + (near ? NEAR_FILES : FILES_AHEAD) && held < BYTES_AHEAD;
    }

    // The next file a reader may read (its index, its path copied: its
    // worker may take it over meanwhile), or none when it should end.
    std::optional<size_t> next_to_read(std::string &path, bool near) {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            room.wait(lock, [&] { return stop || next >= entries.size() || room_ahead(near); });
            if (stop || next >= entries.size()) return std::nullopt;
            size_t i = next++;
            if (entries[i].stage != Stage::Waiting) continue;  // its worker was first
            entries[i].stage = Stage::Busy;
            path = entries[i].path;
            return i;
        }
    }

    // Still Busy: no worker has taken entry i over.  Call with the mutex held.
    bool busy(size_t i) const { return i < entries.size() && entries[i].stage == Stage::Busy; }

    void read(size_t i, const std::string &path) {
        File f;
        f.ahead.table = table;
        if (support::read_file(path, f.read.bytes, &f.read.id)) {
            if (stop) return;  // the run is ending: the file is left as it is
            f.read.fingerprint = support::fingerprint(f.read.bytes);
            f.ahead.decision = decide(f.read.bytes, *table, patching, &stop);
            if (stop) return;
            if (f.ahead.decision.outcome != NativeDecision::Outcome::HandOver) {
                std::string().swap(f.read.bytes);
                f.ahead.bytes_released = true;
            }
        } else {
            f.read.err = errno;
        }
        auto made = std::make_unique<File>(std::move(f));
        std::lock_guard<std::mutex> lock(mutex);
        if (!busy(i)) return;  // its worker read it
        held += made->read.bytes.size();
        entries[i].file = std::move(made);
        entries[i].stage = Stage::Ready;
    }

    // Takes the entry of `path` for its worker: its file when Ready, none
    // when Waiting or Busy (the worker reads it), Gone (asked for twice: the
    // second reads it) or not listed.
    // Once every entry is gone, the list goes too: a run keeps its workers'
    // phase, and this with it, until its Python files are checked as well.
    // Call with `lock` held; unlocks it.
    std::optional<File> claim(const std::string &path, std::unique_lock<std::mutex> &lock) {
        auto it = index.find(path);
        if (it == index.end()) {
            lock.unlock();
            return std::nullopt;
        }
        Entry &entry = entries[it->second];
        std::optional<File> out;
        if (entry.stage == Stage::Gone) {
            lock.unlock();
            return out;
        }
        std::unique_ptr<File> file = std::move(entry.file);
        if (file) held -= file->read.bytes.size();
        entry.stage = Stage::Gone;
        std::vector<Entry> done;
        if (++taken == entries.size()) {
            index.clear();
            done.swap(entries);
        }
        lock.unlock();
        room.notify_all();  // the near reader, the others, or both may go on
        if (file) out = std::move(*file);
        return out;
    }

    void reader(bool near) noexcept {
        pthread_setname_np(pthread_self(), "tavox-yaml-read");  // as top and gdb show it
        sched_param idle{};
        if (!near) pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);  // refused: as near
        std::optional<size_t> i;
        try {
            std::string path;
            while ((i = next_to_read(path, near))) read(*i, path);
        } catch (...) {
            // Out of memory: the file in hand and those not read are left
            // to their workers.
            std::lock_guard<std::mutex> lock(mutex);
            if (i && busy(*i)) entries[*i].stage = Stage::Waiting;
            stop = true;
            room.notify_all();
        }
    }
};

ReadAhead::ReadAhead(std::vector<std::string> paths, std::shared_ptr<const TokenTable> table,
                     size_t threads, Patching patching)
    : state_(std::make_shared<State>()), generation_(fork_generation()) {
    state_->table = std::move(table);
    state_->patching = patching;
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
            threads_.emplace_back([state = state_, near = i == 0] { state->reader(near); });
    } catch (const std::exception &) {
        // No more threads to be had: those started read; the workers do
        // the rest (with none started, all of it).
    }
}

ReadAhead::~ReadAhead() { stop(); }

void ReadAhead::stop() {
    if (abandoned()) {
        // A forked child: the threads are not in this process, and the
        // mutex may have been held by one of them.  Both are let be.
        if (!threads_.empty()) new std::vector<std::thread>(std::move(threads_));
        threads_.clear();
        return;
    }
    if (threads_.empty()) return;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stop = true;
    }
    state_->room.notify_all();
    for (std::thread &t : threads_) t.join();
    threads_.clear();
#ifdef TAVOX_TAKE_TIMER
    state_->timer.say();
#endif
}

bool ReadAhead::abandoned() const { return generation_ != forks.load(std::memory_order_relaxed); }

ReadAhead::Taken ReadAhead::try_take(const std::string &path, std::optional<File> &file) {
    if (abandoned()) return Taken::None;
    State &state = *state_;
#ifdef TAVOX_TAKE_TIMER
    long long began = TakeTimer::now();
#endif
    std::unique_lock<std::mutex> lock(state.mutex, std::try_to_lock);
#ifdef TAVOX_TAKE_TIMER
    state.timer.note(TakeTimer::now() - began, TakeTimer::now() - began);
#endif
    if (!lock.owns_lock()) return Taken::Busy;  // a reader, perhaps preempted at idle priority
    file = state.claim(path, lock);
    return file ? Taken::Ready : Taken::None;
}

std::optional<ReadAhead::File> ReadAhead::take(const std::string &path) {
    if (abandoned()) return std::nullopt;
    State &state = *state_;
#ifdef TAVOX_TAKE_TIMER
    long long began = TakeTimer::now();
#endif
    std::unique_lock<std::mutex> lock(state.mutex);
#ifdef TAVOX_TAKE_TIMER
    state.timer.note(TakeTimer::now() - began, 0);
#endif
    return state.claim(path, lock);
}

}  // namespace tavox::cli::commands::migrate::abstract
