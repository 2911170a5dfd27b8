// Python-visible functions written in C++.
//
// A body is declared with TAVOX_DEF next to the Python `def` line it stands
// for.  The object the interpreter sees is a small callable type of our own
// that behaves like a Python function: it binds as a method through
// __get__, takes its parameters by position or by their documented names
// (self included), and carries __name__, __qualname__, __module__, __doc__
// and __text_signature__.  When an exception leaves a body, a traceback
// frame named "<module>.<qualname>" is added, and no C++ exception ever
// crosses into the interpreter.
#pragma once

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <structmember.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace tavox::support {
namespace py = pybind11;

class Call;
using Body = py::object (*)(Call &);

// Static description of one function; lives next to its body.
struct FnDef {
    const char *qualname;   // "ShellCommand.run", "except_log.<locals>.inner"
    const char *signature;  // Python parameter list: "self, args, offset=0, *a, **kw"
    const char *doc;        // docstring or nullptr
    Body body;
    const char *file;
    int line;
};

// Parsed parameter list of a function object.
struct Signature {
    std::vector<std::string> names;  // positional-or-keyword, then keyword-only
    size_t npositional = 0;          // how many of `names` may be given by position
    bool varargs = false;
    bool varkw = false;
    std::string varargs_name, varkw_name;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FnDef *def;
    Signature *sig;
    PyObject *defaults;  // dict: parameter name -> default value
    PyObject *module;    // defining module
    PyObject *cls;       // defining class, once the class exists
    PyObject *closure;   // captured values, or nullptr
    PyObject *name, *qualname, *modname, *doc, *fullname, *text_signature;
    PyObject *dict;
};

// The arguments of one call, bound to the function's parameters.
class Call {
public:
    Call(FunctionObject *fn, std::vector<py::object> &&bound, py::tuple varargs,
         py::dict varkw)
        : fn_(fn), bound_(std::move(bound)), varargs_(std::move(varargs)),
          varkw_(std::move(varkw)) {}

    // Parameter by position in the parameter list (self is 0 for methods).
    template <typename I, typename = std::enable_if_t<std::is_integral_v<I>>>
    py::handle operator[](I i) const { return bound_.at(static_cast<size_t>(i)); }
    // Parameter by name.
    py::handle operator[](const char *name) const {
        const auto &names = fn_->sig->names;
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return bound_[i];
        throw py::key_error(std::string("no parameter named ") + name);
    }
    const py::tuple &varargs() const { return varargs_; }
    const py::dict &varkw() const { return varkw_; }

    py::module_ module() const { return py::reinterpret_borrow<py::module_>(fn_->module); }
    // A module global looked up now (module namespace first, then builtins),
    // as a Python function body would see it.
    py::object global(const char *name) const {
        PyObject *globals = PyModule_GetDict(fn_->module);  // borrowed
        PyObject *v = PyDict_GetItemString(globals, name);  // borrowed
        if (v) return py::reinterpret_borrow<py::object>(v);
        py::object builtins = py::module_::import("builtins");
        if (py::hasattr(builtins, name)) return builtins.attr(name);
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    // The class the method was defined in (for two-argument super()).
    py::object cls() const {
        if (!fn_->cls) throw py::type_error("function is not bound to a class");
        return py::reinterpret_borrow<py::object>(fn_->cls);
    }
    // Values captured when the closure was made.
    py::tuple closure() const {
        if (!fn_->closure) return py::tuple();
        return py::reinterpret_borrow<py::tuple>(fn_->closure);
    }
    py::object function() const { return py::reinterpret_borrow<py::object>((PyObject *)fn_); }

private:
    FunctionObject *fn_;
    std::vector<py::object> bound_;
    py::tuple varargs_;
    py::dict varkw_;
};

namespace detail {

inline std::string strip(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\n"), e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Split a Python parameter list at top-level commas.
inline std::vector<std::string> split_params(const char *text) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    char quote = 0;
    for (const char *p = text; *p; ++p) {
        char ch = *p;
        if (quote) {
            cur += ch;
            if (ch == '\\' && p[1]) cur += *++p;
            else if (ch == quote) quote = 0;
            continue;
        }
        if (ch == '\'' || ch == '"') quote = ch;
        else if (ch == '(' || ch == '[' || ch == '{') ++depth;
        else if (ch == ')' || ch == ']' || ch == '}') --depth;
        else if (ch == ',' && depth == 0) {
            out.push_back(strip(cur));
            cur.clear();
            continue;
        }
        cur += ch;
    }
    if (!strip(cur).empty()) out.push_back(strip(cur));
    return out;
}

// Parse the parameter list once, at definition; defaults are evaluated as
// Python expressions in the builtins' namespace.
inline void parse_signature(const char *text, Signature &sig, py::dict &defaults) {
    bool kwonly = false;
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    for (const std::string &param : split_params(text)) {
        if (param == "*") { kwonly = true; continue; }
        if (param == "/") continue;
        if (param.rfind("**", 0) == 0) { sig.varkw = true; sig.varkw_name = param.substr(2); continue; }
        if (param[0] == '*') { sig.varargs = true; sig.varargs_name = param.substr(1); kwonly = true; continue; }
        std::string name = param, dflt;
        size_t eq = param.find('=');
        if (eq != std::string::npos) {
            name = strip(param.substr(0, eq));
            dflt = strip(param.substr(eq + 1));
            defaults[py::str(name)] = py::eval(dflt, scope);
        }
        sig.names.push_back(name);
        if (!kwonly) sig.npositional = sig.names.size();
    }
}

inline std::string text_signature(const char *text) {
    return std::string("(") + text + ")";
}

// Bind vectorcall arguments to the parameters, raising the TypeErrors a
// Python function would raise.
inline std::vector<py::object> bind(FunctionObject *fn, PyObject *const *args, size_t nargs,
                                    PyObject *kwnames, py::tuple &varargs, py::dict &varkw) {
    const Signature &sig = *fn->sig;
    const char *qn = fn->def->qualname;
    std::vector<py::object> bound(sig.names.size());
    size_t npos = nargs < sig.npositional ? nargs : sig.npositional;
    for (size_t i = 0; i < npos; ++i) bound[i] = py::reinterpret_borrow<py::object>(args[i]);
    if (nargs > sig.npositional) {
        if (!sig.varargs) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         qn, (Py_ssize_t)sig.npositional, sig.npositional == 1 ? "" : "s",
                         (Py_ssize_t)nargs, nargs == 1 ? "was" : "were");
            throw py::error_already_set();
        }
        varargs = py::tuple(nargs - sig.npositional);
        for (size_t i = sig.npositional; i < nargs; ++i)
            varargs[i - sig.npositional] = py::reinterpret_borrow<py::object>(args[i]);
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        py::object value = py::reinterpret_borrow<py::object>(args[nargs + k]);
        const char *kname = PyUnicode_AsUTF8(key);
        if (!kname) throw py::error_already_set();
        size_t i = 0;
        for (; i < sig.names.size(); ++i)
            if (sig.names[i] == kname) break;
        if (i < sig.names.size()) {
            if (bound[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qn, kname);
                throw py::error_already_set();
            }
            bound[i] = std::move(value);
        } else if (sig.varkw) {
            varkw[key] = value;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", qn, kname);
            throw py::error_already_set();
        }
    }
    std::vector<std::string> missing_pos, missing_kw;
    for (size_t i = 0; i < sig.names.size(); ++i) {
        if (bound[i]) continue;
        PyObject *d = PyDict_GetItemString(fn->defaults, sig.names[i].c_str());  // borrowed
        if (d) bound[i] = py::reinterpret_borrow<py::object>(d);
        else (i < sig.npositional ? missing_pos : missing_kw).push_back(sig.names[i]);
    }
    for (auto *missing : {&missing_pos, &missing_kw}) {
        if (missing->empty()) continue;
        std::string list;
        size_t n = missing->size();
        for (size_t i = 0; i < n; ++i) {
            if (i) list += (i + 1 == n) ? (n > 2 ? ", and " : " and ") : ", ";
            list += "'" + (*missing)[i] + "'";
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required %s argument%s: %s", qn,
                     (Py_ssize_t)n, missing == &missing_pos ? "positional" : "keyword-only",
                     n == 1 ? "" : "s", list.c_str());
        throw py::error_already_set();
    }
    return bound;
}

// Turn the C++ exception being handled into the pending Python exception.
// Catch order matters: pybind11's builtin exceptions derive from
// std::runtime_error.  `other` is the type for any other C++ exception.
inline void set_python_error(PyObject *other) noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(other, e.what());
    } catch (...) {
        PyErr_SetString(other, "unknown C++ exception");
    }
}

// The single error boundary between a function body and the interpreter.
inline PyObject *call_body(FunctionObject *fn, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) noexcept {
    try {
        py::tuple varargs;
        py::dict varkw;
        std::vector<py::object> bound =
            bind(fn, args, PyVectorcall_NARGS(nargsf), kwnames, varargs, varkw);
        Call call(fn, std::move(bound), std::move(varargs), std::move(varkw));
        py::object result = fn->def->body(call);
        if (!result) return py::none().release().ptr();
        return result.release().ptr();  // new reference handed to the caller
    } catch (...) {
        set_python_error(PyExc_RuntimeError);
    }
    _PyTraceback_Add(PyUnicode_AsUTF8(fn->fullname), fn->def->file, fn->def->line);
    return nullptr;
}

inline PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    return call_body(reinterpret_cast<FunctionObject *>(self), args, nargsf, kwnames);
}

inline PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(f->defaults);
    Py_VISIT(f->module);
    Py_VISIT(f->cls);
    Py_VISIT(f->closure);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    return 0;
}

inline int fn_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->module);
    Py_CLEAR(f->cls);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    return 0;
}

inline void fn_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->modname);
    Py_CLEAR(f->fullname);
    Py_CLEAR(f->text_signature);
    delete f->sig;
    PyObject_GC_Del(self);
}

inline PyObject *fn_repr(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

inline PyObject *fn_get_doc(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return Py_NewRef(f->doc ? f->doc : Py_None);
}
inline int fn_set_doc(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_XINCREF(value);
    Py_XSETREF(f->doc, value);
    return 0;
}

inline PyTypeObject *function_type() {
    static PyMemberDef members[] = {
        {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
        {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
        {"__module__", T_OBJECT, offsetof(FunctionObject, modname), READONLY, nullptr},
        {"__text_signature__", T_OBJECT, offsetof(FunctionObject, text_signature), READONLY, nullptr},
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__doc__", fn_get_doc, fn_set_doc, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {
        {Py_tp_call, (void *)PyVectorcall_Call},
        {Py_tp_descr_get, (void *)fn_descr_get},
        {Py_tp_dealloc, (void *)fn_dealloc},
        {Py_tp_traverse, (void *)fn_traverse},
        {Py_tp_clear, (void *)fn_clear},
        {Py_tp_repr, (void *)fn_repr},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr}};
    static PyType_Spec type_spec = {
        "tavox.native_function", sizeof(FunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR,
        slots};
    // One type per library, created on first use and kept for the process.
    static PyTypeObject *type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_spec));
    if (!type) throw py::error_already_set();
    return type;
}

}  // namespace detail

// Create the function object for `def` in `module`.  `qualname` overrides the
// definition's when given (closures made in several places share a body).
inline py::object make_function(const FnDef &def, py::handle module,
                                py::handle closure = py::handle()) {
    PyTypeObject *type = detail::function_type();
    auto *f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw py::error_already_set();
    f->vectorcall = detail::fn_vectorcall;
    f->def = &def;
    f->sig = new Signature();
    f->defaults = f->module = f->cls = f->closure = nullptr;
    f->name = f->qualname = f->modname = f->doc = f->fullname = f->text_signature = f->dict = nullptr;
    py::object self = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));

    py::dict defaults;
    detail::parse_signature(def.signature, *f->sig, defaults);
    std::string qual = def.qualname;
    size_t dot = qual.rfind('.');
    std::string modname = py::str(module.attr("__name__"));
    f->defaults = defaults.release().ptr();
    f->module = py::reinterpret_borrow<py::object>(module).release().ptr();
    f->closure = closure ? py::reinterpret_borrow<py::object>(closure).release().ptr() : nullptr;
    f->name = py::str(dot == std::string::npos ? qual : qual.substr(dot + 1)).release().ptr();
    f->qualname = py::str(qual).release().ptr();
    f->modname = py::str(modname).release().ptr();
    f->fullname = py::str(modname + "." + qual).release().ptr();
    f->text_signature = py::str(detail::text_signature(def.signature)).release().ptr();
    f->doc = def.doc ? py::str(def.doc).release().ptr() : nullptr;
    PyObject_GC_Track(self.ptr());
    return self;
}

// Record the defining class of a function object (for Call::cls()).
inline void set_owner(py::handle function, py::handle cls) {
    if (Py_TYPE(function.ptr()) != detail::function_type()) return;
    auto *f = reinterpret_cast<FunctionObject *>(function.ptr());
    Py_XINCREF(cls.ptr());
    Py_XSETREF(f->cls, cls.ptr());
}

}  // namespace tavox::support

// Define a Python-visible function:
//
//   // def run(self, args):
//   TAVOX_DEF(ShellCommand_run, "ShellCommand.run", "self, args", nullptr) {
//       ... call[1] ...
//   }
#define TAVOX_DEF(ident, qualname, signature, doc)                                     \
    static pybind11::object ident##_body(::tavox::support::Call &call);                 \
    static const ::tavox::support::FnDef ident{qualname, signature, doc, &ident##_body, \
                                               __FILE__, __LINE__};                     \
    static pybind11::object ident##_body([[maybe_unused]] ::tavox::support::Call &call)

// The same, visible to the other translation units of one module (declare it
// there with TAVOX_DECLARE(ident)).
#define TAVOX_DEF_SHARED(ident, qualname, signature, doc)                               \
    static pybind11::object ident##_body(::tavox::support::Call &call);                 \
    extern const ::tavox::support::FnDef ident;                                         \
    const ::tavox::support::FnDef ident{qualname, signature, doc, &ident##_body,        \
                                        __FILE__, __LINE__};                            \
    static pybind11::object ident##_body([[maybe_unused]] ::tavox::support::Call &call)

#define TAVOX_DECLARE(ident) extern const ::tavox::support::FnDef ident
