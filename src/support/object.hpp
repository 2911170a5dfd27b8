// Small helpers on Python objects that every module needs: one of each.
#pragma once

#include <pybind11/pybind11.h>

#include <cerrno>
#include <string>

namespace tavox::support {
namespace py = pybind11;

// bool(value), raising what __bool__ raises.
inline bool truth(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// key in container: __contains__, or iteration where there is none, as
// the interpreter does; raising what the test raises.
inline bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}
inline bool contains(py::handle container, const char *key) {
    return contains(container, py::str(key));
}

// a != b, raising what the comparison (or bool() of its result) raises.
inline bool differs(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}
inline bool differs(py::handle a, const char *b) { return differs(a, py::str(b)); }

// sys.exit(status): raises SystemExit (or what a replaced sys.exit raises)
// and never returns.  Called as support::exit, since the C library has an
// exit of its own.
[[noreturn]] inline void exit(py::handle status) {
    py::module_::import("sys").attr("exit")(status);
    PyErr_SetString(PyExc_RuntimeError, "sys.exit() returned");
    throw py::error_already_set();
}
[[noreturn]] inline void exit(int status) { exit(py::int_(status)); }

// A name of the builtins module (getattr, int, open, ...), as looked up now.
inline py::object builtin(const char *name) { return py::module_::import("builtins").attr(name); }

// raise <type>(message): the message goes to the exception as the Python
// object it is, so its text is kept exactly.
[[noreturn]] inline void raise(PyObject *type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// os.fsencode(path): the bytes the system is given for a path (str, bytes
// or os.PathLike).
inline std::string fs_path(py::handle path) {
    PyObject *raw = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &raw)) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(raw);
}

// raise OSError(err, strerror(err), path): the subclass of its errno, the
// path named as open() names it.
[[noreturn]] inline void raise_os_error(int err, py::handle path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

// logger.exception(message) inside `except`: logged at error level with
// the exception and its traceback.  An exception raised before any frame
// of Python code ran has no traceback; it is logged without one.
inline void log_exception(py::handle logger, py::handle message, py::error_already_set &e) {
    py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
    logger.attr("exception")(message,
                             py::arg("exc_info") = py::make_tuple(e.type(), e.value(), trace));
}

// with open(...) as f: the file is closed on every way out of the block
// that holds this, and an exception in flight is kept while closing it (an
// error of close() itself is then dropped, as the first error matters).
//
//     OpenFile file(builtin("open")(path, "r"));
//     py::object text = file->attr("read")();
class OpenFile {
public:
    explicit OpenFile(py::object f) : f_(std::move(f)) {}
    ~OpenFile() {
        if (!f_) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(f_.ptr(), "close", nullptr);
        if (r) Py_DECREF(r);
        else PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    // Close now, raising what close() raises (a buffered write that fails
    // only on flush must not pass for success).
    void close() {
        py::object f = std::move(f_);
        f.attr("close")();
    }
    py::object &operator*() { return f_; }
    py::object *operator->() { return &f_; }

private:
    py::object f_;
};

}  // namespace tavox::support
