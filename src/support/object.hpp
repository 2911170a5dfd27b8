// Small helpers on Python objects that every module needs.
#pragma once

#include <pybind11/pybind11.h>

namespace tavox::support {
namespace py = pybind11;

// bool(value), raising what __bool__ raises.
inline bool truth(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

}  // namespace tavox::support
