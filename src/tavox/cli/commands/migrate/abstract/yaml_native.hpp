// tavox.cli.commands.migrate.abstract -- check_yaml's native path: the file
// read, parsed and checked without the interpreter lock, whenever that is
// certain to give what loading it and checking the loaded document gives.
//
// The reader, the check and the read-ahead (engine/) are pure C++; this is
// where they meet the interpreter: who may be bypassed (the loader's
// declaration, PyYAML's safe loader as PyYAML defines it: loader.cpp), the
// C++ copy of the token tables and when it still stands for them
// (table_copy.cpp), one file's check and the run's read-ahead
// (yaml_native.cpp).
#pragma once

#include "binding.hpp"
#include "engine/decision.hpp"
#include "engine/read_ahead.hpp"

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

// ---- who may be bypassed (loader.cpp) -----------------------------------------

// Whether the loader made for a file may be bypassed: its load, as the
// loader path would call it, is a declared function bound to it.
bool declared(py::handle load);

// Whether the class bound as Loader has a declared load: a hint, taken
// before the file is read, that the loader made for it may be bypassed.
bool declared_class(const Call &call);

// Whether PyYAML's C safe loader is PyYAML's own: the resolvers and
// constructors it was defined with, nothing added at run time.
bool stock_csafeloader();

// ---- the C++ copy of the token tables (table_copy.cpp) -------------------------

// The copy for the module's tables (`globals`, its namespace) as they are
// now, or null where they cannot be copied.
std::shared_ptr<const TokenTable> current_table(py::handle globals);

// Whether the PID rows a check used still read as in the copy.
bool rows_unchanged(py::handle globals, const TokenTable &table,
                    const std::vector<std::string> &pids);

// compute_tokens as bound now is the module's own function.
bool own_compute_tokens(const Call &call);

// ---- one file's check, and the run's read-ahead (yaml_native.cpp) --------------

// The C++ copy of the token tables, when the native path may be taken for
// any file as the module stands now: the loader class bound as Loader
// declares its load, compute_tokens is the module's own, open() reads
// UTF-8 and PyYAML's C safe loader is PyYAML's own; null otherwise.  A
// Python error on the way means null, except what is no Exception
// (KeyboardInterrupt), which propagates.  Called with the lock held.
std::shared_ptr<const TokenTable> native_table(const Call &call);

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

// Starts reading `files` (the run's list) ahead of their workers, at most
// `threads` readers (and one per processor), when the native path may be
// taken (native_table); null otherwise.
std::unique_ptr<ReadAhead> start_read_ahead(const Call &call, py::handle files, size_t threads,
                                            Patching patching = {});

// The file of `path` from the read-ahead, for its worker (ReadAhead::take):
// the worker waits for the readers' list only without the interpreter lock.
std::optional<ReadAhead::File> take_ahead(ReadAhead &files, const std::string &path);

// The readers stopped and joined, without the interpreter lock.
void stop_read_ahead(ReadAhead &files);

}  // namespace tavox::cli::commands::migrate::abstract
