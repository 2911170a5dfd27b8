// Text built through the interpreter, so that the output matches what the
// equivalent Python expression gives, byte for byte.  Three ways, one for
// each form a Python module uses:
//
//     fmt("{} is not a valid profile", name)     "...".format(...)
//     percent("  - file %s", f)                  "..." % value
//     concat("Updating pip.conf to use ", url)   "..." + url + ...
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>
#include <utility>

namespace tavox::support {
namespace py = pybind11;

// "template".format(args...)
template <typename... Args>
py::str fmt(const char *templ, Args &&...args) {
    return py::str(templ).format(std::forward<Args>(args)...);
}

// "template" % value  (value may be a tuple or a mapping)
inline py::str percent(py::handle templ, py::handle value) {
    PyObject *r = PyUnicode_Format(templ.ptr(), value.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}
inline py::str percent(const char *templ, py::handle value) {
    return percent(py::str(templ), value);
}

namespace detail {
// An operand of concat(): C++ text becomes a str, Python objects (and
// attribute or item accessors) stay what they are.
template <typename T>
py::object operand(const T &value) {
    if constexpr (std::is_convertible_v<const T &, const char *>) {
        return py::str(static_cast<const char *>(value));
    } else if constexpr (std::is_same_v<T, std::string>) {
        return py::str(value);
    } else if constexpr (std::is_base_of_v<py::handle, T>) {
        return py::reinterpret_borrow<py::object>(value);
    } else {
        return py::object(value);
    }
}

inline py::object add(const py::object &a, const py::object &b) {
    PyObject *r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}
}  // namespace detail

// a + b + ...: Python's `+`, left to right.  A str and a str join; anything
// else raises the TypeError the expression raises (no implicit str()).
template <typename First, typename... Rest>
py::object concat(const First &first, const Rest &...rest) {
    py::object result = detail::operand(first);
    ((result = detail::add(result, detail::operand(rest))), ...);
    return result;
}

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
