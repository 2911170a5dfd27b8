// Text helpers that go through the interpreter, so that output matches what
// the equivalent Python expression gives, byte for byte.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace tavox::support {
namespace py = pybind11;

// "template".format(args...)
template <typename... Args>
py::str fmt(const char *templ, Args &&...args) {
    return py::str(templ).format(std::forward<Args>(args)...);
}

// "template" % value  (value may be a tuple or a mapping)
inline py::str percent(const char *templ, py::handle value) {
    PyObject *r = PyUnicode_Format(py::str(templ).ptr(), value.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}
inline py::str percent(py::handle templ, py::handle value) {
    PyObject *r = PyUnicode_Format(templ.ptr(), value.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// f"{value}"
inline py::str text(py::handle value) { return py::str(value); }

// Text of a Python str as UTF-8 (surrogates escaped instead of failing).
inline std::string utf8(py::handle value) {
    py::str s = py::str(value);
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) {
        PyErr_Clear();
        py::bytes b = s.attr("encode")("utf-8", "surrogateescape");
        return std::string(b);
    }
    return std::string(p, static_cast<size_t>(n));
}

}  // namespace tavox::support
