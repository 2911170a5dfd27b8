// The support layer every module includes: init, functions, classes,
// object helpers, text, the interpreter lock released.
#pragma once

#include "function.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "object.hpp"
#include "text.hpp"

namespace py = pybind11;
using tavox::support::Call;
using tavox::support::ClassBody;
using tavox::support::contains;
using tavox::support::differs;
using tavox::support::Module;
using tavox::support::truth;
// support::exit is not brought in: the C library has an exit of its own.
