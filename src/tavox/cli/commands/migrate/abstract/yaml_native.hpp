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

#include <functional>
#include <string>

namespace tavox::cli::commands::migrate::abstract {

// The attribute by which a loader's `load` function declares that it
// returns exactly what yaml.load(stream, Loader=yaml.CSafeLoader) returns.
// Its value is the function itself, so that a wrapper that copies the
// attributes of the function it wraps (functools.wraps) does not pass for
// the function that made the promise.
inline constexpr const char *CSAFELOADER_EQUIVALENT = "csafeloader_equivalent";

struct NativeYaml {
    enum class Outcome {
        NoMessage,
        Message,   // `lines`: the problem lines, each followed by "\n"
        HandOver,  // the loader path decides
    };
    Outcome outcome = Outcome::HandOver;
    py::object lines;
};

// check_yaml's result for one file, or HandOver.  `load` is the loader's
// bound `load` (Loader() was made for this file); `read` fills in the
// file's bytes, as stored, and runs with the lock released.  Call with the
// lock held; a Python error on the way means HandOver, except what is no
// Exception (KeyboardInterrupt), which propagates.
NativeYaml native_check_yaml(const Call &call, py::handle load,
                             const std::function<bool(std::string &)> &read);

// The bytes of an open file from its start, its offset left where it is.
// Touches no Python object.  False when it is no regular file or cannot
// be read.
bool read_from_start(int fd, std::string &out);

}  // namespace tavox::cli::commands::migrate::abstract
