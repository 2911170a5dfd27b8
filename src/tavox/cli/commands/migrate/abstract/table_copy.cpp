// tavox.cli.commands.migrate.abstract -- the C++ copy of the module's token
// tables for the checks that run without the interpreter lock, and when it
// still stands for them (see yaml_native.hpp).
#include "yaml_native.hpp"

namespace tavox::cli::commands::migrate::abstract {

namespace {

// // compute_tokens reads KNOWN_OS, KNOWN_PLATFORMS, PID_TOKENS, MODEL_TOKENS
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
    _Pragma("GCC diagnostic push")
        _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"") return reinterpret_cast<
            PyDictObject *>(dict)
            ->ma_version_tag;
    _Pragma("GCC diagnostic pop")
}

// The text of `s` into `out`, when `s` is exactly a str; false otherwise.
bool exact_str(PyObject *s, std::string &out) {
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
        if (!exact_str(item, text)) return false;
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
        if (!exact_str(key, k) || !PyList_CheckExact(value) || PyList_GET_SIZE(value) < 3 ||
            !exact_str(PyList_GET_ITEM(value, 0), a) || !exact_str(PyList_GET_ITEM(value, 1), b))
            return nullptr;
        table->pids[k] = {a, b};
    }
    pos = 0;
    while (PyDict_Next(t.models, &pos, &key, &value)) {
        if (!exact_str(key, k)) return nullptr;
        std::vector<std::string> &platforms = table->models[k];
        PyObject *platform, *os_set;
        Py_ssize_t inner = 0;
        while (PyDict_Next(value, &inner, &platform, &os_set)) {
            if (!exact_str(platform, a) || !is_set(os_set)) return nullptr;
            platforms.push_back(a);
        }
    }
    pos = 0;
    while (PyDict_Next(t.platforms, &pos, &key, &value)) {
        if (!exact_str(key, k) || !is_set(value)) return nullptr;
        table->platforms.insert(k);
    }
    pos = 0;
    while (PyDict_Next(t.hierarchy, &pos, &key, &value)) {
        if (!exact_str(key, k)) return nullptr;
        std::unordered_set<std::string> &known = table->hierarchy[k];
        PyObject *platform, *models;
        Py_ssize_t inner = 0;
        while (PyDict_Next(value, &inner, &platform, &models)) {
            if (!exact_str(platform, a)) return nullptr;
            known.insert(a);
        }
    }
    return table;
}

}  // namespace

// The copy for the tables as they are now, or null.
std::shared_ptr<const TokenTable> current_table(py::handle globals) {
    Tables t{};
    Versions now;
    if (!lookup(globals, t) || !versions_of(t, now)) return nullptr;
    Copy &c = copy();
    if (c.made && c.versions == now) return c.table;
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
            !exact_str(PyList_GET_ITEM(row, 0), a) || !exact_str(PyList_GET_ITEM(row, 1), b) ||
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

}  // namespace tavox::cli::commands::migrate::abstract
