// tavox.cli.commands.migrate.abstract -- who may be bypassed by the native
// path: the loader's declaration that its `load` returns what PyYAML's C
// safe loader returns, and that loader still PyYAML's own (see
// yaml_native.hpp).
#include "yaml_native.hpp"

#include <algorithm>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// Whether `func` is a Python function carrying the declaration, which
// names the function itself.
bool declares(PyObject *func) {
    if (!PyFunction_Check(func)) return false;
    PyObject *value = PyObject_GetAttrString(func, CSAFELOADER_EQUIVALENT);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();  // no declaration
        return false;
    }
    Py_DECREF(value);  // only its identity is compared
    return value == func;
}

}  // namespace

// Whether the loader made for a file may be bypassed: its load, as the
// loader path would call it, is a declared function bound to it.
bool declared(py::handle load) {
    return PyMethod_Check(load.ptr()) && declares(PyMethod_GET_FUNCTION(load.ptr()));
}

// Whether the class bound as Loader has a declared load: a hint, taken
// before the file is read, that the loader made for it may be bypassed.
bool declared_class(const Call &call) {
    PyObject *globals = PyModule_GetDict(call.module().ptr());  // borrowed
    PyObject *cls = PyDict_GetItemString(globals, "Loader");    // borrowed
    if (!cls || !PyType_Check(cls)) return false;
    py::str name("load");
    PyObject *load =
        _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name.ptr());  // borrowed
    return load && declares(load);
}

namespace {

// "tag:yaml.org,2002:" + name
bool is_tag(py::handle tag, std::string_view name) {
    if (!PyUnicode_CheckExact(tag.ptr())) return false;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(tag.ptr(), &size);
    if (!text) throw py::error_already_set();
    std::string_view t(text, static_cast<size_t>(size));
    constexpr std::string_view prefix = "tag:yaml.org,2002:";
    return t.size() == prefix.size() + name.size() && t.substr(0, prefix.size()) == prefix &&
           t.substr(prefix.size()) == name;
}

// The implicit resolvers PyYAML's Resolver defines: the tag and the
// pattern of each.  A verbose pattern is compared without its blanks and
// line breaks (those inside a character class dropped too: only a pattern
// respaced from PyYAML's own could pass for it).
struct StockResolver {
    const char *tag;
    const char *pattern;
    bool verbose;
};
constexpr StockResolver BOOL{
    "bool", R"(^(?:yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF)$)",
    true};
constexpr StockResolver FLOAT{
    "float",
    R"(^(?:[-+]?(?:[0-9][0-9_]*)\.[0-9_]*(?:[eE][-+][0-9]+)?|\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?)"
    R"(|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*|[-+]?\.(?:inf|Inf|INF)|\.(?:nan|NaN|NAN))$)",
    true};
constexpr StockResolver INT{
    "int",
    R"(^(?:[-+]?0b[0-1_]+|[-+]?0[0-7_]+|[-+]?(?:0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+)"
    R"(|[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$)",
    true};
constexpr StockResolver MERGE{"merge", R"(^(?:<<)$)", false};
constexpr StockResolver NUL{"null", R"(^(?:~|null|Null|NULL|)$)", true};
constexpr StockResolver TIMESTAMP{
    "timestamp",
    R"(^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]|[0-9][0-9][0-9][0-9]-[0-9][0-9]?-[0-9][0-9]?)"
    R"((?:[Tt]|[\t]+)[0-9][0-9]?:[0-9][0-9]:[0-9][0-9](?:\.[0-9]*)?)"
    R"((?:[\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$)",
    true};
constexpr StockResolver VALUE{"value", R"(^(?:=)$)", false};
constexpr StockResolver YAML{"yaml", R"(^(?:!|&|\*)$)", false};

// The stock resolver of each implicit type.
const StockResolver *stock_resolver(Scalar type) {
    switch (type) {
    case Scalar::Bool:
        return &BOOL;
    case Scalar::Null:
        return &NUL;
    case Scalar::Int:
        return &INT;
    case Scalar::Float:
        return &FLOAT;
    case Scalar::Timestamp:
        return &TIMESTAMP;
    case Scalar::Merge:
        return &MERGE;
    case Scalar::Value:
        return &VALUE;
    case Scalar::Yaml:
        return &YAML;
    default:
        return nullptr;
    }
}

// Whether the compiled pattern `regexp` is `stock`'s, compared text by
// text.
bool pattern_text(py::handle regexp, const StockResolver &stock) {
    py::object pattern = regexp.attr("pattern");
    if (!PyUnicode_CheckExact(pattern.ptr())) return false;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(pattern.ptr(), &size);
    if (!text) throw py::error_already_set();
    const char *want = stock.pattern;
    for (const char *p = text, *end = text + size; p != end; ++p) {
        if (stock.verbose && (*p == ' ' || *p == '\n')) continue;
        if (*want++ != *p) return false;
    }
    long flags = py::int_(regexp.attr("flags")).cast<long>();
    return *want == '\0' && flags == (stock.verbose ? 96 : 32);  // re.X | re.U, re.U
}

// Whether the compiled pattern `regexp` is `stock`'s.  A compiled pattern
// cannot change: each one found to be a stock pattern is kept (never let
// go, so that no other object can take its address) and known again by
// its identity, which spares every file the comparison of the texts.
bool same_pattern(py::handle regexp, const StockResolver &stock) {
    static auto *known = new std::vector<std::pair<PyObject *, const StockResolver *>>;
    for (const auto &k : *known)
        if (k.first == regexp.ptr()) return k.second == &stock;
    if (!pattern_text(regexp, stock)) return false;
    known->emplace_back(regexp.inc_ref().ptr(), &stock);
    return true;
}

// Whether `f` is SafeConstructor's own constructor of `name`.
bool safe_constructor(PyObject *f, const char *name) {
    if (!f || !PyFunction_Check(f)) return false;
    auto *fn = reinterpret_cast<PyFunctionObject *>(f);
    std::string qualname = std::string("SafeConstructor.construct_yaml_") + name;
    return PyUnicode_Check(fn->func_qualname) && PyUnicode_Check(fn->func_module) &&
           PyUnicode_CompareWithASCIIString(fn->func_qualname, qualname.c_str()) == 0 &&
           PyUnicode_CompareWithASCIIString(fn->func_module, "yaml.constructor") == 0;
}

}  // namespace

// Whether yaml.CSafeLoader still resolves and constructs plain scalars,
// sequences and mappings as PyYAML defines it: the reader here follows
// that definition, and a resolver or constructor added at run time (by a
// plug-in, say) would change what the loader returns.
bool stock_csafeloader() {
    py::object yaml = py::module_::import("yaml");
    if (!py::hasattr(yaml, "CSafeLoader") || !py::hasattr(yaml, "_yaml")) return false;
    py::object cls = yaml.attr("CSafeLoader");
    // The same parser: PyYAML's binding may carry a libyaml of its own.
    py::object version = yaml.attr("_yaml").attr("get_version_string")();
    if (!PyUnicode_Check(version.ptr()) || utf8(version) != libyaml_version()) return false;
    // yaml.load itself, which the loader calls, as PyYAML defines it.
    py::object load = yaml.attr("load");
    if (!PyFunction_Check(load.ptr())) return false;
    auto *fn = reinterpret_cast<PyFunctionObject *>(load.ptr());
    if (!PyUnicode_Check(fn->func_qualname) || !PyUnicode_Check(fn->func_module) ||
        PyUnicode_CompareWithASCIIString(fn->func_qualname, "load") != 0 ||
        PyUnicode_CompareWithASCIIString(fn->func_module, "yaml") != 0)
        return false;

    py::object path_resolvers = cls.attr("yaml_path_resolvers");
    if (!PyDict_CheckExact(path_resolvers.ptr()) || PyDict_GET_SIZE(path_resolvers.ptr()) != 0)
        return false;

    py::object resolvers = cls.attr("yaml_implicit_resolvers");
    if (!PyDict_CheckExact(resolvers.ptr()) ||
        PyDict_GET_SIZE(resolvers.ptr()) != static_cast<Py_ssize_t>(FIRST_CHARACTERS))
        return false;
    // Held while they are compared: nothing compared can let go of them.
    // Only a compiled pattern's own attributes are read, which run no code.
    py::object pattern_type = py::module_::import("re").attr("Pattern");
    py::list items = py::reinterpret_steal<py::list>(PyDict_Items(resolvers.ptr()));
    if (!items) throw py::error_already_set();
    for (py::handle item : items) {
        PyObject *key = PyTuple_GET_ITEM(item.ptr(), 0);    // held by `items`
        PyObject *value = PyTuple_GET_ITEM(item.ptr(), 1);  // held by `items`
        if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) > 1) return false;
        char first = '\0';
        if (PyUnicode_GET_LENGTH(key) == 1) {
            Py_UCS4 c = PyUnicode_READ_CHAR(key, 0);
            if (c == 0 || c > 0x7f) return false;
            first = static_cast<char>(c);
        }
        FirstResolvers expected = implicit_resolvers(first);
        if (!PyList_CheckExact(value) ||
            PyList_GET_SIZE(value) != static_cast<Py_ssize_t>(expected.count) ||
            expected.count == 0)
            return false;
        py::tuple entries = py::reinterpret_steal<py::tuple>(PyList_AsTuple(value));
        if (!entries) throw py::error_already_set();
        for (size_t i = 0; i < expected.count; ++i) {
            const StockResolver &stock = *stock_resolver(expected.types[i]);
            PyObject *entry = PyTuple_GET_ITEM(entries.ptr(), static_cast<Py_ssize_t>(i));
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return false;
            py::handle tag = PyTuple_GET_ITEM(entry, 0), regexp = PyTuple_GET_ITEM(entry, 1);
            if (Py_TYPE(regexp.ptr()) != reinterpret_cast<PyTypeObject *>(pattern_type.ptr()))
                return false;
            if (!is_tag(tag, stock.tag) || !same_pattern(regexp, stock)) return false;
        }
    }

    py::object constructors = cls.attr("yaml_constructors");
    if (!PyDict_CheckExact(constructors.ptr())) return false;
    for (const char *name : {"null", "bool", "int", "float", "timestamp", "str", "seq", "map"}) {
        std::string tag = std::string("tag:yaml.org,2002:") + name;
        if (!safe_constructor(PyDict_GetItemString(constructors.ptr(), tag.c_str()), name))
            return false;
    }
    return true;
}

}  // namespace tavox::cli::commands::migrate::abstract
