// tavox.cli.commands.migrate.abstract -- compute_tokens for the checks:
// the module's own, run natively, or whatever is bound in its place
// (tokens.cpp).
#pragma once

#include "binding.hpp"

namespace tavox::cli::commands::migrate::abstract {

// compute_tokens(token_val) for C++ callers: the body of the module function,
// called without going through the interpreter's call machinery.  `globals`
// is the module namespace, where the token tables live.
py::dict compute_tokens_native(py::handle globals, py::handle token_val);

// The compute_tokens a check should use now: the module's own function runs
// natively, anything bound in its place is called through the interpreter.
class TokenComputer {
public:
    explicit TokenComputer(const Call &call);
    py::object operator()(py::handle token_val) const;

private:
    py::object globals_;
    py::object replacement_;  // set when compute_tokens was rebound
};

}  // namespace tavox::cli::commands::migrate::abstract
