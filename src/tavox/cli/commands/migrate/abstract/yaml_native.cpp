// tavox.cli.commands.migrate.abstract -- check_yaml's native path (see
// yaml_native.hpp).
//
// The path is taken for a file only when all of these hold; otherwise the
// loader reads the file as before:
//   - the loader's `load` declares itself equivalent to PyYAML's C safe
//     loader (CSAFELOADER_EQUIVALENT), and that loader's resolvers and
//     constructors are still PyYAML's own (nothing added at run time);
//   - open() reads UTF-8 (the locale's encoding) and the file is valid
//     UTF-8, so that libyaml over its bytes, line breaks translated, sees
//     the text the loader would read;
//   - compute_tokens is the module's own and the C++ copy of the token
//     tables still stands for the module's tables (below);
//   - the document is plain data that the check can follow with certainty
//     (yaml_check.cpp).
#include "yaml_native.hpp"

#include "yaml_check.hpp"

#include <algorithm>
#include <memory>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// ---- who may be bypassed --------------------------------------------------

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

// ---- the C++ copy of the token tables -----------------------------------
//
// compute_tokens reads KNOWN_OS, KNOWN_PLATFORMS, PID_TOKENS, MODEL_TOKENS
// and PLATFORM_TOKENS, and check_yaml reads TOKEN_HIERARCHY, all of them
// looked up in the module's namespace at each call.  The copy is made from
// what those names hold and is used for as long as they hold the same:
//
//   - every dict the check reads through (the four tables, the
//     platform dicts of TOKEN_HIERARCHY and MODEL_TOKENS) still has the
//     version it had when the copy was made.  The interpreter gives a dict
//     a new version, unique in the process, when it is made and whenever
//     it changes, so an equal version means the same dict, unchanged: a
//     name bound to another dict, a table refilled or an entry replaced all
//     show.  Walking from the module's names down (never through a kept
//     pointer) only reaches objects alive now;
//   - the two sets of known tokens hold the same texts (compared each
//     time: they are small and have no version);
//   - the PID rows are lists, which can change in place without a trace:
//     the few rows a file's check used are read again afterwards.
//
// Anything the copy cannot stand for (a key or value that is not exactly
// a str, a set or a dict where those are expected) means no copy, and the
// loader path.  Made and compared with the interpreter lock held; the
// copy itself is immutable and shared with the checks that run without it.

struct Versions {
    std::vector<uint64_t> dicts;  // the tables, then the inner dicts
    std::vector<std::string> known_os, known_platforms;
    bool operator==(const Versions &o) const {
        return dicts == o.dicts && known_os == o.known_os && known_platforms == o.known_platforms;
    }
};

struct Copy {
    bool made = false;
    Versions versions;
    std::shared_ptr<const TokenTable> table;  // null: the tables cannot be copied
};

Copy &copy() {
    static Copy *c = new Copy;  // C++ data only; never destroyed
    return *c;
}

uint64_t version(PyObject *dict) {
#if PY_VERSION_HEX < 0x030C0000
    _Pragma("GCC diagnostic push")
        _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"") return reinterpret_cast<
            PyDictObject *>(dict)
            ->ma_version_tag;
    _Pragma("GCC diagnostic pop")
#else
    (void)dict;
    return 0;  // no versions: the copy is made again for every file
#endif
}

bool text_of(PyObject *s, std::string &out) {
    if (!PyUnicode_CheckExact(s)) return false;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(s, &size);
    if (!text) {
        PyErr_Clear();  // a lone surrogate: nothing a YAML text can equal
        return false;
    }
    out.assign(text, static_cast<size_t>(size));
    return true;
}

bool is_set(PyObject *o) { return PySet_CheckExact(o) || PyFrozenSet_CheckExact(o); }

// The sorted texts of a set of str.
bool set_texts(PyObject *set, std::vector<std::string> &out) {
    if (!is_set(set)) return false;
    out.clear();
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(set));
    if (!it) throw py::error_already_set();
    while (PyObject *item = PyIter_Next(it.ptr())) {
        py::object owned = py::reinterpret_steal<py::object>(item);
        std::string text;
        if (!text_of(item, text)) return false;
        out.push_back(std::move(text));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    std::sort(out.begin(), out.end());
    return true;
}

struct Tables {
    PyObject *known_os, *known_platforms, *pids, *models, *platforms, *hierarchy;  // borrowed
};

bool lookup(py::handle globals, Tables &t) {
    auto get = [&](const char *name) { return PyDict_GetItemString(globals.ptr(), name); };
    t = {get("KNOWN_OS"),     get("KNOWN_PLATFORMS"), get("PID_TOKENS"),
         get("MODEL_TOKENS"), get("PLATFORM_TOKENS"), get("TOKEN_HIERARCHY")};
    for (PyObject *o : {t.pids, t.models, t.platforms, t.hierarchy})
        if (!o || !PyDict_CheckExact(o)) return false;
    return t.known_os && t.known_platforms;
}

bool versions_of(const Tables &t, Versions &v) {
    for (PyObject *d : {t.pids, t.models, t.platforms, t.hierarchy}) v.dicts.push_back(version(d));
    for (PyObject *d : {t.hierarchy, t.models}) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(d, &pos, &key, &value)) {
            if (!PyDict_CheckExact(value)) return false;
            v.dicts.push_back(version(value));
        }
    }
    return set_texts(t.known_os, v.known_os) && set_texts(t.known_platforms, v.known_platforms);
}

std::shared_ptr<const TokenTable> make_table(const Tables &t, const Versions &v) {
    auto table = std::make_shared<TokenTable>();
    table->known_os.insert(v.known_os.begin(), v.known_os.end());
    table->known_platforms.insert(v.known_platforms.begin(), v.known_platforms.end());
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    std::string k, a, b;
    while (PyDict_Next(t.pids, &pos, &key, &value)) {
        if (!text_of(key, k) || !PyList_CheckExact(value) || PyList_GET_SIZE(value) < 3 ||
            !text_of(PyList_GET_ITEM(value, 0), a) || !text_of(PyList_GET_ITEM(value, 1), b))
            return nullptr;
        table->pids[k] = {a, b};
    }
    pos = 0;
    while (PyDict_Next(t.models, &pos, &key, &value)) {
        if (!text_of(key, k)) return nullptr;
        std::vector<std::string> &platforms = table->models[k];
        PyObject *platform, *os_set;
        Py_ssize_t inner = 0;
        while (PyDict_Next(value, &inner, &platform, &os_set)) {
            if (!text_of(platform, a) || !is_set(os_set)) return nullptr;
            platforms.push_back(a);
        }
    }
    pos = 0;
    while (PyDict_Next(t.platforms, &pos, &key, &value)) {
        if (!text_of(key, k) || !is_set(value)) return nullptr;
        table->platforms.insert(k);
    }
    pos = 0;
    while (PyDict_Next(t.hierarchy, &pos, &key, &value)) {
        if (!text_of(key, k)) return nullptr;
        std::unordered_set<std::string> &known = table->hierarchy[k];
        PyObject *platform, *models;
        Py_ssize_t inner = 0;
        while (PyDict_Next(value, &inner, &platform, &models)) {
            if (!text_of(platform, a)) return nullptr;
            known.insert(a);
        }
    }
    return table;
}

// The copy for the tables as they are now, or null.
std::shared_ptr<const TokenTable> current_table(py::handle globals) {
    Tables t{};
    Versions now;
    if (!lookup(globals, t) || !versions_of(t, now)) return nullptr;
    Copy &c = copy();
#if PY_VERSION_HEX < 0x030C0000
    if (c.made && c.versions == now) return c.table;
#endif
    c.table = make_table(t, now);
    c.versions = std::move(now);
    c.made = true;
    return c.table;
}

// Whether the PID rows the check used still read as in the copy.
bool rows_unchanged(py::handle globals, const TokenTable &table,
                    const std::vector<std::string> &pids) {
    if (pids.empty()) return true;
    PyObject *rows = PyDict_GetItemString(globals.ptr(), "PID_TOKENS");  // borrowed
    if (!rows || !PyDict_CheckExact(rows)) return false;
    std::string a, b;
    for (const std::string &pid : pids) {
        py::str key(pid);
        PyObject *row = PyDict_GetItemWithError(rows, key.ptr());  // borrowed
        if (!row) {
            PyErr_Clear();
            return false;
        }
        const TokenTable::Pid &kept = table.pids.at(pid);
        if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) < 3 ||
            !text_of(PyList_GET_ITEM(row, 0), a) || !text_of(PyList_GET_ITEM(row, 1), b) ||
            a != kept.model || b != kept.platform)
            return false;
    }
    return true;
}

// compute_tokens as bound now is the module's own function.
bool own_compute_tokens(const Call &call) {
    PyObject *globals = PyModule_GetDict(call.module().ptr());          // borrowed
    PyObject *bound = PyDict_GetItemString(globals, "compute_tokens");  // borrowed
    return bound && Py_TYPE(bound) == support::detail::function_type() &&
           reinterpret_cast<support::FunctionObject *>(bound)->def == &compute_tokens;
}

}  // namespace

std::shared_ptr<const TokenTable> native_table(const Call &call) {
    try {
        if (!declared_class(call) || !own_compute_tokens(call) || default_encoding() != "utf-8" ||
            !stock_csafeloader())
            return nullptr;
        return current_table(
            py::reinterpret_borrow<py::object>(PyModule_GetDict(call.module().ptr())));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return nullptr;
}

NativeDecision decide(std::string_view bytes, const TokenTable &table, Patching patching,
                      const std::atomic<bool> *stop) noexcept {
    NativeDecision out;
    if (!valid_utf8(bytes)) {
        // open() decodes strictly: the loader, and the safe loader after
        // it, raise on the first undecodable byte, wherever it is, since
        // either reads the stream to its end.
        out.outcome = NativeDecision::Outcome::CouldNotLoad;
        return out;
    }
    try {
        YamlCheck check;
        if (bytes.find('\r') == std::string_view::npos) {
            YamlTree tree;
            check = check_yaml_text(bytes, table, patching ? &tree : nullptr, stop);
            if (patching && check.outcome == YamlCheck::Outcome::Message)
                out.plan = std::make_shared<const YamlPlan>(
                    YamlPlan{check.lines, patching,
                             patch_yaml(tree, bytes, body_lines(check.lines), patching.fixes,
                                        patching.comments)});
        } else {
            std::string text(bytes);
            translate_newlines(text);
            check = check_yaml_text(text, table, nullptr, stop);
        }
        switch (check.outcome) {
        case YamlCheck::Outcome::NoMessage:
            out.outcome = NativeDecision::Outcome::NoMessage;
            break;
        case YamlCheck::Outcome::Message:
            out.outcome = NativeDecision::Outcome::Message;
            break;
        case YamlCheck::Outcome::HandOver:
            break;
        case YamlCheck::Outcome::TooDeep:
            out.outcome = NativeDecision::Outcome::CouldNotLoad;
            break;
        }
        out.check = std::move(check);
    } catch (...) {  // out of memory on the way: the loader path
        out = NativeDecision();
    }
    return out;
}

NativeYamlCheck::NativeYamlCheck(const Call &call, std::string_view bytes, Ahead *ahead,
                                 Patching patching)
    : globals_(py::reinterpret_borrow<py::object>(PyModule_GetDict(call.module().ptr()))),
      table_(native_table(call)) {
    if (!table_) return;
    if (ahead && ahead->table == table_) {
        decision_ = std::move(ahead->decision);
        return;
    }
    if (ahead && ahead->bytes_released) return;  // nothing to decide over: read again
    std::optional<support::Unlocked> nogil;
    if (bytes.size() >= SMALL_PARSE) nogil.emplace();
    decision_ = decide(bytes, *table_, patching);
}

NativeYamlCheck::Outcome NativeYamlCheck::result(py::handle load) {
    if (!decided() || !declared(load)) return Outcome::HandOver;
    if (decision_.outcome == Outcome::Message) {
        const YamlCheck &check = decision_.check;
        if (!rows_unchanged(globals_, *table_, check.pids)) return Outcome::HandOver;
        PyObject *lines = PyUnicode_DecodeUTF8(
            check.lines.data(), static_cast<Py_ssize_t>(check.lines.size()), "strict");
        if (!lines) throw py::error_already_set();
        lines_ = py::reinterpret_steal<py::object>(lines);
    }
    return decision_.outcome;
}

}  // namespace tavox::cli::commands::migrate::abstract
