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

#include <functional>
#include <memory>
#include <string>

namespace tavox::cli::commands::migrate::abstract {

// The attribute by which a loader's `load` function declares that it
// returns exactly what yaml.load(stream, Loader=yaml.CSafeLoader) returns.
// Its value is the function itself, so that a wrapper that copies the
// attributes of the function it wraps (functools.wraps) does not pass for
// the function that made the promise.
inline constexpr const char *CSAFELOADER_EQUIVALENT = "csafeloader_equivalent";

// One file's native check.  Made with the lock held, it checks what does
// not depend on the file and, if the native path may be taken, reads the
// file and checks it with the lock released.  `read` fills in the file's
// bytes as stored (false: they cannot be had) and touches no Python
// object.  A Python error on the way means the loader path, except what
// is no Exception (KeyboardInterrupt), which propagates.
class NativeYamlCheck {
public:
    enum class Outcome {
        NoMessage,
        Message,       // lines(): the problem lines, each followed by "\n"
        CouldNotLoad,  // the text cannot be read: both loaders refuse it
        HandOver,      // the loader path decides
    };

    NativeYamlCheck(const Call &call, const std::function<bool(std::string &)> &read);

    // Whether the file's result is known, provided the loader may be
    // bypassed: only then need the loader's declaration be looked at.
    bool decided() const { return outcome_ != Outcome::HandOver; }

    // The result, given the bound `load` of the loader made for the file:
    // HandOver unless it declares itself equivalent to the C safe loader.
    Outcome result(py::handle load);
    const py::object &lines() const { return lines_; }

private:
    py::object globals_;
    std::shared_ptr<const TokenTable> table_;
    YamlCheck check_;
    Outcome outcome_ = Outcome::HandOver;
    py::object lines_;
};

}  // namespace tavox::cli::commands::migrate::abstract
