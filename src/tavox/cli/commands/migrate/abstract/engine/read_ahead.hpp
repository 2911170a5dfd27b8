// tavox.cli.commands.migrate.abstract -- a run's YAML files read and
// decided ahead of their workers, on threads of its own.  Pure C++: the
// readers touch no Python object; the binding (yaml_native.cpp) starts it
// and lets go of the interpreter lock wherever it waits for it.
#pragma once

#include "decision.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// Reads and decides, on threads of its own and without the lock, the YAML
// files a run is about to hand to its workers, in the order they are
// handed out.  A worker takes its file's bytes and decision from here
// instead of reading and parsing in its own thread: the parsing no longer
// waits for the interpreter lock between a worker's start and its end, and
// goes on while the lock does the per-file work of the run (a file that
// only the loaders can take holds the lock for milliseconds).  The first
// reader stays within NEAR_FILES of the workers; the others run at idle
// priority and go up to FILES_AHEAD files ahead.  A file not read yet when
// its worker asks is left to the worker, which never waits for a reader's
// work (an idle one may be slow on a busy machine), and waits for the
// readers' lock only without the interpreter lock.
//
// What waits for its worker is small: a decided file keeps its decision
// only, and the bytes are kept for a file left to the loaders, never more
// than BYTES_AHEAD of them (a reader goes on once a worker takes some).
class ReadAhead {
public:
    static constexpr size_t NEAR_FILES = 64;
    static constexpr size_t FILES_AHEAD = 4096;
    static constexpr size_t BYTES_AHEAD = size_t{8} << 20;

    struct File {
        Examined read;
        Ahead ahead;
    };

    // Starts reading `paths` (file system paths, in the order the workers
    // ask for them), at most `threads` at once, deciding with `table`.
    ReadAhead(std::vector<std::string> paths, std::shared_ptr<const TokenTable> table,
              size_t threads, Patching patching = {});
    // Stops and joins the threads (stop()).
    ~ReadAhead();
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    // The threads stopped (each gives up the file in its hands) and joined.
    // It waits for them: call it without the interpreter lock.
    void stop();

    // The bytes and decision of `path` (a path as the list has it): Ready,
    // or None when the path is not one of the run's, was taken already, or
    // is not read yet (the caller reads it then), or Busy, without waiting,
    // when a reader holds the list at this moment.
    enum class Taken { Ready, None, Busy };
    Taken try_take(const std::string &path, std::optional<File> &file);
    // The same, waiting for the list: call it without the interpreter lock.
    std::optional<File> take(const std::string &path);

private:
    // Made before a fork, in the child: its readers are not there.
    bool abandoned() const;

    struct State;
    std::shared_ptr<State> state_;  // shared with the readers
    std::vector<std::thread> threads_;
    unsigned generation_;
};

}  // namespace tavox::cli::commands::migrate::abstract
