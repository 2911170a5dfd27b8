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
//
// A body reads its parameters by name, TAVOX_ARG(self); the name is looked
// up in the declared parameter list when the module is compiled, so a name
// the list does not hold fails the build.
//
// The type is one for the whole process, whichever native module made a
// function: the first library to need it creates it and leaves it in a
// small registry module in sys.modules, where the others find it.  Nothing
// of it is held in a C++ static.
#pragma once

#include "object.hpp"

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>
#include <structmember.h>

#include <cxxabi.h>

#include <array>
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
    Call(FunctionObject *fn, std::vector<py::object> &&bound, py::tuple varargs, py::dict varkw)
        : fn_(fn), bound_(std::move(bound)), varargs_(std::move(varargs)),
          varkw_(std::move(varkw)) {}

    // Parameter by its place among the named parameters (self is 0 for
    // methods); TAVOX_ARG(name) gives that place from the name.
    template <typename I, typename = std::enable_if_t<std::is_integral_v<I>>>
    py::handle operator[](I i) const {
        return bound_.at(static_cast<size_t>(i));
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
    // super().__init__(*args, **kwargs) in `def __init__(self, *args, **kwargs)`:
    // the two-argument form, super(<defining class>, self), since a C++ body
    // has no __class__ cell; the keyword arguments are passed as a copy.
    void super_init() const {
        builtin("super")(cls(), bound_.at(0)).attr("__init__")(*varargs_, **py::dict(varkw_));
    }
    // Values captured when the closure was made.
    py::tuple closure() const {
        if (!fn_->closure) return py::tuple();
        return py::reinterpret_borrow<py::tuple>(fn_->closure);
    }

private:
    FunctionObject *fn_;
    std::vector<py::object> bound_;
    py::tuple varargs_;
    py::dict varkw_;
};

namespace detail {

// ---- the declared parameter list ------------------------------------------
// One scanner serves both the compile-time name lookup of TAVOX_ARG and the
// parse made when the function object is created, so the two always number
// the parameters alike.

// One parameter of a declared list, as spans of its text.
struct ParamText {
    const char *name = nullptr, *name_end = nullptr;  // without the stars
    const char *dflt = nullptr, *end = nullptr;       // the default: [dflt, end)
    // 1: *args or the bare *; 2: **kwargs
    int stars = 0;
};

constexpr bool is_blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\n'; }
constexpr bool is_name_char(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           ch == '_';
}

// Reads the parameter that begins at `p` and returns where the next one
// begins.  Commas inside brackets or quotes of a default do not count.
constexpr const char *next_param(const char *p, ParamText &out) {
    out = ParamText{};
    while (is_blank(*p)) ++p;
    while (*p == '*') ++out.stars, ++p;
    out.name = p;
    while (is_name_char(*p)) ++p;
    out.name_end = out.end = p;
    int depth = 0;
    char quote = 0;
    for (; *p; ++p) {
        char ch = *p;
        if (quote) {
            if (ch == '\\' && p[1]) ++p;
            else if (ch == quote) quote = 0;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
        } else if (ch == '(' || ch == '[' || ch == '{') {
            ++depth;
        } else if (ch == ')' || ch == ']' || ch == '}') {
            --depth;
        } else if (ch == ',' && depth == 0) {
            break;
        } else if (ch == '=' && depth == 0 && !out.dflt) {
            out.dflt = p + 1;
            continue;
        }
        if (!is_blank(ch)) out.end = p + 1;
    }
    return *p ? p + 1 : p;
}

constexpr bool names_equal(const char *begin, const char *end, const char *name) {
    for (; begin != end; ++begin, ++name)
        if (*name != *begin) return false;
    return *name == '\0';
}

// The place of `name` among the named parameters of `signature` (what
// Call::operator[] takes), or -1.
constexpr int param_index(const char *signature, const char *name) {
    int index = 0;
    for (const char *p = signature; *p;) {
        ParamText param;
        p = next_param(p, param);
        if (param.stars || param.name == param.name_end) continue;
        if (names_equal(param.name, param.name_end, name)) return index;
        ++index;
    }
    return -1;
}

template <int Index>
constexpr size_t checked_param() {
    static_assert(Index >= 0, "TAVOX_ARG: no parameter of that name in the declared signature");
    return static_cast<size_t>(Index);
}

// Parse the parameter list once, when the function object is made; defaults
// are evaluated as Python expressions in the builtins' namespace.
inline void parse_signature(const char *text, Signature &sig, py::dict &defaults) {
    bool kwonly = false;
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    for (const char *p = text; *p;) {
        ParamText param;
        p = next_param(p, param);
        std::string name(param.name, param.name_end);
        if (param.stars == 2) {
            sig.varkw = true;
            sig.varkw_name = name;
        } else if (param.stars == 1) {
            kwonly = true;  // after *args or the bare *
            sig.varargs = sig.varargs || !name.empty();
            if (!name.empty()) sig.varargs_name = name;
        } else if (!name.empty()) {
            if (param.dflt) {
                const char *d = param.dflt;
                while (d < param.end && is_blank(*d)) ++d;
                std::string expr = d < param.end ? std::string(d, param.end) : std::string();
                defaults[py::str(name)] = py::eval(expr, scope);
            }
            sig.names.push_back(name);
            if (!kwonly) sig.npositional = sig.names.size();
        }  // else "/" or an empty entry
    }
}

// ---- calls -----------------------------------------------------------------

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
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qn,
                             kname);
                throw py::error_already_set();
            }
            bound[i] = std::move(value);
        } else if (sig.varkw) {
            varkw[key] = value;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", qn,
                         kname);
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
// One unwinding passes: the interpreter ending a thread while it finalizes
// (pthread_exit), which must go on to the thread's start; so this is not
// noexcept, and nothing that a body can be unwound through may be.
inline PyObject *call_body(FunctionObject *fn, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames) {
    try {
        py::tuple varargs;
        py::dict varkw;
        std::vector<py::object> bound =
            bind(fn, args, PyVectorcall_NARGS(nargsf), kwnames, varargs, varkw);
        Call call(fn, std::move(bound), std::move(varargs), std::move(varkw));
        py::object result = fn->def->body(call);
        if (!result) return py::none().release().ptr();
        return result.release().ptr();  // new reference handed to the caller
    } catch (abi::__forced_unwind &) {
        throw;
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

// ---- the type's slots ------------------------------------------------------

// The fields that may take part in a reference cycle.
inline std::array<PyObject **, 6> cycle_fields(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return {&f->defaults, &f->module, &f->cls, &f->closure, &f->doc, &f->dict};
}

inline int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));  // each instance of a heap type holds its type
    for (PyObject **field : cycle_fields(self)) Py_VISIT(*field);
    return 0;
}

inline int fn_clear(PyObject *self) {
    for (PyObject **field : cycle_fields(self)) Py_CLEAR(*field);
    return 0;
}

inline void fn_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->modname);
    Py_CLEAR(f->fullname);
    Py_CLEAR(f->text_signature);
    delete f->sig;
    PyObject_GC_Del(self);
    Py_DECREF(type);  // the reference the instance held
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

// ---- the type, shared by every native module of the process ---------------

// Where the type is kept, and what every library that uses it must agree on:
// the libraries of one build share one layout; one from another build (a
// stale library left in a source tree, say) is refused at import instead of
// handing its objects to code that reads them differently.  Raise the
// number whenever FunctionObject, Signature or FnDef change.
inline constexpr const char *kTypeRegistry = "tavox._native_function";
inline constexpr int kLayoutVersion = 2;

inline const std::string &layout() {
    static const std::string text = std::to_string(kLayoutVersion) + "/" +
                                    std::to_string(sizeof(FunctionObject)) + "/" +
                                    std::to_string(sizeof(Signature)) + "/" +
                                    std::to_string(sizeof(FnDef)) + "/" + __VERSION__;
    return text;
}

inline py::object create_function_type() {
    static PyMemberDef members[] = {
        {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
        {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
        {"__module__", T_OBJECT, offsetof(FunctionObject, modname), READONLY, nullptr},
        {"__text_signature__", T_OBJECT, offsetof(FunctionObject, text_signature), READONLY,
         nullptr},
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY,
         nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__doc__", fn_get_doc, fn_set_doc, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_call, (void *)PyVectorcall_Call},
                                  {Py_tp_descr_get, (void *)fn_descr_get},
                                  {Py_tp_dealloc, (void *)fn_dealloc},
                                  {Py_tp_traverse, (void *)fn_traverse},
                                  {Py_tp_clear, (void *)fn_clear},
                                  {Py_tp_repr, (void *)fn_repr},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {0, nullptr}};
    // Made only by make_function: an instance made from Python would have
    // none of its fields set.
    static PyType_Spec type_spec = {"tavox.native_function", sizeof(FunctionObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                        Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                    slots};
    py::object type = py::reinterpret_steal<py::object>(PyType_FromSpec(&type_spec));
    if (!type) throw py::error_already_set();
    return type;
}

// The callable type, created on first use.  The pointer is borrowed: the
// registry module in sys.modules holds the type, and each function holds
// a reference of its own.
inline PyTypeObject *function_type() {
    PyObject *modules = PyImport_GetModuleDict();                    // borrowed
    PyObject *found = PyDict_GetItemString(modules, kTypeRegistry);  // borrowed
    if (found) {
        py::handle registry(found);
        std::string theirs = py::str(registry.attr("layout"));
        if (theirs != layout()) {
            PyErr_Format(PyExc_ImportError,
                         "native modules of different builds cannot be mixed: the loaded ones "
                         "use the function layout %s, this one %s; rebuild them together",
                         theirs.c_str(), layout().c_str());
            throw py::error_already_set();
        }
        return reinterpret_cast<PyTypeObject *>(registry.attr("native_function").ptr());
    }
    py::object type = create_function_type();
    py::object registry = py::reinterpret_steal<py::object>(PyModule_New(kTypeRegistry));
    if (!registry) throw py::error_already_set();
    registry.attr("__doc__") = "The callable type shared by the native modules of tavox.";
    registry.attr("native_function") = type;
    registry.attr("layout") = layout();
    if (PyDict_SetItemString(modules, kTypeRegistry, registry.ptr()) < 0)
        throw py::error_already_set();
    return reinterpret_cast<PyTypeObject *>(type.ptr());  // now held by the registry
}

inline std::string text_signature(const char *text) { return std::string("(") + text + ")"; }

}  // namespace detail

// Create the function object for `def` in `module`, carrying `closure` (the
// values a nested function captured) when given.
inline py::object make_function(const FnDef &def, py::handle module,
                                py::handle closure = py::handle()) {
    auto *f = PyObject_GC_New(FunctionObject, detail::function_type());
    if (!f) throw py::error_already_set();
    f->vectorcall = detail::fn_vectorcall;
    f->def = &def;
    f->sig = nullptr;
    f->defaults = f->module = f->cls = f->closure = nullptr;
    f->name = f->qualname = f->modname = f->doc = f->fullname = f->text_signature = f->dict =
        nullptr;
    py::object self = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
    f->sig = new Signature();

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
//       py::handle args = TAVOX_ARG(args);
//       ...
//   }
//
// The body is a member of a struct that also holds the parameter list, so
// that TAVOX_ARG finds it while the body compiles.
#define TAVOX_DEF(ident, qualname, signature, doc)                                                \
    struct ident##_fn {                                                                           \
        static constexpr const char tavox_signature_[] = signature;                               \
        static pybind11::object body(::tavox::support::Call &call);                               \
    };                                                                                            \
    static const ::tavox::support::FnDef ident{                                                   \
        qualname, ident##_fn::tavox_signature_, doc, &ident##_fn::body, __FILE__, __LINE__};      \
    pybind11::object ident##_fn::body([[maybe_unused]] ::tavox::support::Call &call)

// The same, visible to the other translation units of one module (declare it
// there with TAVOX_DECLARE(ident)).
#define TAVOX_DEF_SHARED(ident, qualname, signature, doc)                                         \
    struct ident##_fn {                                                                           \
        static constexpr const char tavox_signature_[] = signature;                               \
        static pybind11::object body(::tavox::support::Call &call);                               \
    };                                                                                            \
    extern const ::tavox::support::FnDef ident;                                                   \
    const ::tavox::support::FnDef ident{                                                          \
        qualname, ident##_fn::tavox_signature_, doc, &ident##_fn::body, __FILE__, __LINE__};      \
    pybind11::object ident##_fn::body([[maybe_unused]] ::tavox::support::Call &call)

#define TAVOX_DECLARE(ident) extern const ::tavox::support::FnDef ident

// A parameter of the function being defined, by its name in the declared
// parameter list: TAVOX_ARG(self).  A name the list does not hold fails the
// build.
#define TAVOX_ARG(name)                                                                           \
    call[::tavox::support::detail::checked_param<::tavox::support::detail::param_index(           \
        tavox_signature_, #name)>()]
