// Module initialisation and the module body's vocabulary.
//
// TAVOX_MODULE(name, exec) defines PyInit_<name>, which returns a module
// definition for multi-phase initialisation.  Its Py_mod_exec slot runs
// `exec(Module &)` once per process:
//   - importlib.reload() finds the module state already set and returns the
//     module untouched;
//   - a fresh import after the module was removed from sys.modules raises
//     ImportError, since the body must not run twice.
// The body reads like the Python module: imports, constants, functions,
// classes, bound into the module namespace in that order.
#pragma once

#include "function.hpp"

#include <functional>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

namespace tavox::support {
namespace py = pybind11;

// A Python object for a value: Python objects as they are, C++ values cast.
template <typename T>
py::object to_object(T &&value) {
    if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>) {
        return py::reinterpret_borrow<py::object>(value);
    } else {
        return py::cast(std::forward<T>(value));
    }
}

class ClassBody {
public:
    ClassBody(py::handle module, py::object ns) : module_(module), ns_(std::move(ns)) {}

    void doc(const char *text) { set("__doc__", text ? py::object(py::str(text)) : py::none()); }
    template <typename T>
    void set(const char *key, T &&value) {
        ns_[py::str(key)] = to_object(std::forward<T>(value));
    }

    // def name(self, ...): bound under the last component of the qualname.
    py::object method(const FnDef &def) {
        return bind(def, [](const py::object &fn) { return fn; });
    }
    // @classmethod
    py::object classmethod(const FnDef &def) {
        return bind(def, [](const py::object &fn) {
            py::object cm = py::reinterpret_steal<py::object>(PyClassMethod_New(fn.ptr()));
            if (!cm) throw py::error_already_set();
            return cm;
        });
    }
    // @decorator def name(...): the decorator is applied to the function
    // object at class creation, as a Python class body does.
    py::object decorated(const FnDef &def, py::handle decorator) {
        return bind(def, [&](const py::object &fn) { return decorator(fn); });
    }

    const std::vector<py::object> &functions() const { return functions_; }

private:
    static std::string short_name(const FnDef &def) {
        std::string q = def.qualname;
        size_t dot = q.rfind('.');
        return dot == std::string::npos ? q : q.substr(dot + 1);
    }
    // Makes the function object, binds what `wrap` makes of it under its
    // name, and returns the function itself.
    template <typename Wrap>
    py::object bind(const FnDef &def, Wrap &&wrap) {
        py::object fn = make_function(def, module_);
        functions_.push_back(fn);
        set(short_name(def).c_str(), wrap(fn));
        return fn;
    }

    py::handle module_;
    py::object ns_;
    std::vector<py::object> functions_;
};

class Module {
public:
    explicit Module(py::module_ m) : m_(std::move(m)), name_(py::str(m_.attr("__name__"))) {}

    py::object get(const char *key) const { return m_.attr(key); }

    // NAME = value
    template <typename T>
    void set(const char *key, T &&value) {
        m_.attr(key) = to_object(std::forward<T>(value));
    }

    // import a.b.c  -> binds and returns the top-level package `a`
    py::object import(const char *dotted) {
        py::module_::import(dotted);
        std::string top = dotted;
        top = top.substr(0, top.find('.'));
        py::object mod = py::module_::import(top.c_str());
        set(top.c_str(), mod);
        return mod;
    }
    // from <from> import <name> [as <as>]; <from> may be relative ("..base").
    py::object import_from(const char *from, const char *name, const char *as = nullptr) {
        py::object value = import_value(from, name);
        set(as ? as : name, value);
        return value;
    }
    // logger = logging.getLogger(__name__)
    py::object logger(const char *as = "logger") {
        py::object lg = py::module_::import("logging").attr("getLogger")(name_);
        if (as) set(as, lg);
        return lg;
    }

    // def name(...): a module-level function.
    py::object def(const FnDef &def) {
        py::object fn = make_function(def, m_);
        set(py::str(fn.attr("__name__")).cast<std::string>().c_str(), fn);
        return fn;
    }
    // class Name(bases...): body fills the namespace in class-body order,
    // then the metaclass is called, as a class statement does.
    py::object add_class(const char *name, std::initializer_list<py::handle> bases,
                         const std::function<void(ClassBody &)> &body) {
        py::object cls = make_class(name, bases, body);
        set(name, cls);
        return cls;
    }
    py::object make_class(const char *name, std::initializer_list<py::handle> bases,
                          const std::function<void(ClassBody &)> &body) {
        py::tuple bases_t(bases.size());
        size_t i = 0;
        for (py::handle b : bases) bases_t[i++] = py::reinterpret_borrow<py::object>(b);
        py::object types = py::module_::import("types");
        py::tuple prepared = types.attr("prepare_class")(name, bases_t);
        py::object meta = prepared[0], ns = prepared[1];
        py::object resolved = types.attr("resolve_bases")(bases_t);
        ns[py::str("__module__")] = py::str(name_);
        ns[py::str("__qualname__")] = py::str(name);
        ClassBody cb(m_, ns);
        body(cb);
        py::object cls = meta(name, resolved, ns);
        for (const py::object &fn : cb.functions()) set_owner(fn, cls);
        return cls;
    }

private:
    // The value of `from <from> import <name>` without binding it.
    py::object import_value(const char *from, const char *name) {
        int level = 0;
        while (from[level] == '.') ++level;
        py::tuple fromlist = py::make_tuple(py::str(name));
        PyObject *globals = PyModule_GetDict(m_.ptr());  // borrowed
        py::object mod = py::reinterpret_steal<py::object>(
            PyImport_ImportModuleLevel(from + level, globals, nullptr, fromlist.ptr(), level));
        if (!mod) throw py::error_already_set();
        if (!py::hasattr(mod, name)) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                         std::string(py::str(mod.attr("__name__"))).c_str());
            throw py::error_already_set();
        }
        return mod.attr(name);
    }

    py::module_ m_;
    std::string name_;
};

namespace detail {

struct ModuleState {
    int executed;
};

// Runs the module body once per process; every failure becomes the pending
// Python exception of the import.  Not noexcept: a thread ended by the
// finalizing interpreter is unwound through it (see call_body).
inline int exec_once(PyObject *pm, bool &executed, void (*body)(Module &)) {
    auto *state = static_cast<ModuleState *>(PyModule_GetState(pm));
    if (state && state->executed) return 0;  // reload of the same module object
    if (executed) {
        PyErr_Format(PyExc_ImportError,
                     "%s: the native module can be loaded only once per process",
                     PyModule_GetName(pm));
        return -1;
    }
    try {
        Module m(py::reinterpret_borrow<py::module_>(pm));
        body(m);
        executed = true;
        if (state) state->executed = 1;
        return 0;
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        set_python_error(PyExc_ImportError);
    }
    return -1;
}

// The definition of a module whose only slot runs its body.
inline PyModuleDef module_def(const char *name, PyModuleDef_Slot *slots) noexcept {
    PyModuleDef def{};
    def.m_base = PyModuleDef_HEAD_INIT;
    def.m_name = name;
    def.m_size = sizeof(ModuleState);
    def.m_slots = slots;
    return def;
}

}  // namespace detail
}  // namespace tavox::support

#define TAVOX_MODULE(name, body)                                                                  \
    static int tavox_exec_##name(PyObject *pm) {                                                  \
        static bool executed = false;                                                             \
        return ::tavox::support::detail::exec_once(pm, executed, &(body));                        \
    }                                                                                             \
    static PyModuleDef_Slot tavox_slots_##name[] = {                                              \
        {Py_mod_exec, reinterpret_cast<void *>(&tavox_exec_##name)}, {0, nullptr}};               \
    static PyModuleDef tavox_def_##name =                                                         \
        ::tavox::support::detail::module_def(#name, tavox_slots_##name);                          \
    extern "C" __attribute__((visibility("default"))) PyObject *PyInit_##name() {                 \
        return PyModuleDef_Init(&tavox_def_##name);                                               \
    }
