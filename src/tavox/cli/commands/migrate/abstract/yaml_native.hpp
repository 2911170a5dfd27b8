// tavox.cli.commands.migrate.abstract -- check_yaml's native path: the file
// read, parsed and checked without the interpreter lock, whenever that is
// certain to give what loading it and checking the loaded document gives.
//
// The reader and the check (yaml_tree, yaml_check) are pure C++; this is
// where they meet the interpreter: who may be bypassed (the loader's
// declaration, PyYAML's safe loader as PyYAML defines it), the C++ copy of
// the token tables and when it still stands for them, and the message.
#pragma once

#include "abstract.hpp"
#include "yaml_check.hpp"
#include "yaml_patch.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// The attribute by which a loader's `load` function declares that it
// returns exactly what yaml.load(stream, Loader=yaml.CSafeLoader) returns.
// Its value is the function itself, so that a wrapper that copies the
// attributes of the function it wraps (functools.wraps) does not pass for
// the function that made the promise.
inline constexpr const char *CSAFELOADER_EQUIVALENT = "csafeloader_equivalent";

// The C++ copy of the token tables, when the native path may be taken for
// any file as the module stands now: the loader class bound as Loader
// declares its load, compute_tokens is the module's own, open() reads
// UTF-8 and PyYAML's C safe loader is PyYAML's own; null otherwise.  A
// Python error on the way means null, except what is no Exception
// (KeyboardInterrupt), which propagates.  Called with the lock held.
std::shared_ptr<const TokenTable> native_table(const Call &call);

// The passes a run applies to what its checks find (-f, -c): a file the
// native path finds a message for is then patched right away, from the
// same reading, and its edits wait for the patcher.
struct Patching {
    bool fixes = false, comments = false;
    explicit operator bool() const { return fixes || comments; }
};

// A file's patch made by its check: the suggestion lines it applied (the
// message's body) and the passes, with what they gave.
struct YamlPlan {
    std::string lines;
    Patching patching;
    YamlPatch patch;
};

// What the native path makes of a file's bytes.
struct NativeDecision {
    enum class Outcome {
        NoMessage,
        Message,       // check.lines: the problem lines, each followed by "\n"
        CouldNotLoad,  // the text cannot be read: both loaders refuse it
        HandOver,      // the loader path decides
    };
    Outcome outcome = Outcome::HandOver;
    YamlCheck check;
    // With a Message and `patching`: the patch of the bytes by the check's
    // lines (none where the bytes hold carriage returns: the check reads
    // them translated, the patcher as stored).
    std::shared_ptr<const YamlPlan> plan;
};

// The decision over `bytes` as stored, checked with `table`.  Pure C++, for
// use without the lock; never throws (out of memory means HandOver, and so
// does a `stop` that becomes true on the way).
NativeDecision decide(std::string_view bytes, const TokenTable &table, Patching patching = {},
                      const std::atomic<bool> *stop = nullptr) noexcept;

// One file's native check.  Made with the lock held, it checks what does
// not depend on the file and, if the native path may be taken, takes the
// decision made ahead for the file, when it was made with the tables as
// they stand now, or else decides over `bytes` (the file as stored) with
// the lock released; a decision made ahead that cannot be used, and that
// took the bytes with it, leaves the result undecided (the caller reads the
// file again).  A Python error on the way means the loader path,
// except what is no Exception (KeyboardInterrupt), which propagates.
class NativeYamlCheck {
public:
    using Outcome = NativeDecision::Outcome;

    struct Ahead {
        std::shared_ptr<const TokenTable> table;
        NativeDecision decision;
        // The file's result was decided, and its bytes were let go with it:
        // a worker that cannot use the decision reads the file again.
        bool bytes_released = false;
    };

    NativeYamlCheck(const Call &call, std::string_view bytes, Ahead *ahead = nullptr,
                    Patching patching = {});

    // Whether the file's result is known, provided the loader may be
    // bypassed: only then need the loader's declaration be looked at.
    bool decided() const { return decision_.outcome != Outcome::HandOver; }

    // The result, given the bound `load` of the loader made for the file:
    // HandOver unless it declares itself equivalent to the C safe loader.
    Outcome result(py::handle load);
    const py::object &lines() const { return lines_; }
    // The patch made with the message (see NativeDecision).
    const std::shared_ptr<const YamlPlan> &plan() const { return decision_.plan; }

    // The file nests deeper than any loader may be given: it cannot be
    // loaded, whichever loader is bound.
    bool too_deep() const { return decision_.check.outcome == YamlCheck::Outcome::TooDeep; }
    // The file was read whole and nests no deeper than the bound.
    bool within_depth() const { return decision_.check.within_depth; }

private:
    py::object globals_;
    std::shared_ptr<const TokenTable> table_;
    NativeDecision decision_;
    py::object lines_;
};

// ---- reading ahead (read_ahead.cpp) -------------------------------------------

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
        NativeYamlCheck::Ahead ahead;
    };

    // Starts reading `files` (the run's list), at most `threads` at once,
    // when the native path may be taken (native_table); null otherwise.
    static std::unique_ptr<ReadAhead> start(const Call &call, py::handle files, size_t threads,
                                            Patching patching = {});

    ReadAhead(std::vector<std::string> paths, std::shared_ptr<const TokenTable> table,
              size_t threads, Patching patching = {});
    // Stops and joins the threads (each gives up the file in its hands),
    // with the lock released meanwhile: call with the lock held.
    ~ReadAhead();
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    // The bytes and decision of `path` (a file system path as examine()
    // makes it).  None when the path is not one of the run's, was taken
    // already, or is not read yet: the caller reads it then.  Call with the
    // lock held; it is let go while a reader holds the list.
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
