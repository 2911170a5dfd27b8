// tavox.cli.commands.migrate.abstract -- the token vocabulary: the tables
// read from the connection library's pid_tokens.csv, and the mapping of one
// old token value to the tokens it stands for in the new hierarchy.
//
// The tables are module globals, created empty by the module body and filled
// in place here, so every name bound to them sees the content.  Both
// functions look the tables up when called, as the Python functions they
// stand for would.
#include "tokens.hpp"

namespace tavox::cli::commands::migrate::abstract {

namespace {

// globals[name], raising NameError like a Python function body would.
py::object global(py::handle globals, const char *name) {
    PyObject *v = PyDict_GetItemString(globals.ptr(), name);  // borrowed
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

// container.setdefault(key, fresh) for a dict or any mapping with setdefault.
py::object setdefault(py::handle container, py::handle key, py::handle fresh) {
    if (PyDict_Check(container.ptr())) {
        PyObject *v = PyDict_SetDefault(container.ptr(), key.ptr(), fresh.ptr());  // borrowed
        if (!v) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(v);
    }
    return container.attr("setdefault")(key, fresh);
}

py::dict one(const char *key, py::handle value) {
    py::dict d;
    d[key] = value;
    return d;
}

// The fixed answers for the retired access-point names and the q9800
// submodels, which win over whatever the table says about them.
py::dict fixed(const char *model, const char *submodel) {
    py::dict d;
    d["os"] = py::str("rhenx");
    d["platform"] = py::str("tor9k");
    d["model"] = py::str(model);
    if (submodel) d["submodel"] = py::str(submodel);
    return d;
}

bool is_one_of(const std::string &value, std::initializer_list<const char *> names) {
    for (const char *n : names)
        if (value == n) return true;
    return false;
}

}  // namespace

// def read_tokens():
TAVOX_DEF_SHARED(read_tokens, "read_tokens", "", nullptr) {
    py::object pid_tokens = call.global("PID_TOKENS");
    py::object hierarchy = call.global("TOKEN_HIERARCHY");
    // Loaded once per process: an empty table means "not read yet".
    if (truth(pid_tokens) && truth(hierarchy)) return pid_tokens;
    py::object platform_tokens = call.global("PLATFORM_TOKENS");
    py::object model_tokens = call.global("MODEL_TOKENS");
    py::object path = call.global("PID_TOKENS_FILE");

    py::object csv = call.global("csv");
    OpenFile file(builtin("open")(path, "r"));
    file->attr("readline")();  // the header
    py::object reader = csv.attr("reader")(*file);
    for (py::handle row : reader) {
        Py_ssize_t nfields = PyObject_Length(row.ptr());
        if (nfields < 0) throw py::error_already_set();
        if (nfields < 4) {
            // The rows read so far stay in the tables.  The reader counts
            // from the line after the header.
            py::object line = concat(reader.attr("line_num"), py::int_(1));  // Python `+`
            support::raise(PyExc_IndexError, fmt("{}, line {}: a token row needs 4 fields "
                                                 "(pid,os,platform,model), found {}",
                                                 path, line, nfields));
        }
        py::object pid = row[py::int_(0)], os_ = row[py::int_(1)];
        py::object platform = row[py::int_(2)], model = row[py::int_(3)];

        py::object by_platform = setdefault(hierarchy, os_, py::dict());
        py::object by_model = setdefault(by_platform, platform, py::dict());
        setdefault(by_model, model, py::list()).attr("append")(pid);
        setdefault(platform_tokens, platform, py::set()).attr("add")(os_);
        py::object model_platforms = setdefault(model_tokens, model, py::dict());
        setdefault(model_platforms, platform, py::set()).attr("add")(os_);
        py::list entry;
        entry.append(model);
        entry.append(platform);
        entry.append(os_);
        pid_tokens[pid] = entry;
    }
    file.close();
    return pid_tokens;
}

py::dict compute_tokens_native(py::handle globals, py::handle token_val) {
    // A value that is not text has no lower-case form and raises here.
    py::object lower = token_val.attr("lower")();
    if (contains(global(globals, "KNOWN_OS"), lower)) return one("os", lower);
    if (contains(global(globals, "KNOWN_PLATFORMS"), lower)) return one("platform", lower);

    py::object pid_tokens = global(globals, "PID_TOKENS");
    if (contains(pid_tokens, token_val)) {  // a PID matches in its own case only
        py::object entry = pid_tokens[token_val];
        py::dict d;
        d["os"] = entry[py::int_(2)];
        d["platform"] = entry[py::int_(1)];
        d["model"] = entry[py::int_(0)];
        d["pid"] = token_val;
        return d;
    }

    if (PyUnicode_Check(lower.ptr())) {
        std::string l = utf8(lower);
        if (is_one_of(l, {"ferrin", "ap", "zel_ap"})) return fixed("q9100ap", nullptr);
        if (is_one_of(l, {"q9800_cl", "q9800cl"})) return fixed("q9800", "q9800cl");
        if (is_one_of(l, {"q9800_l", "q9800l"})) return fixed("q9800", "q9800l");
    }

    py::object model_tokens = global(globals, "MODEL_TOKENS");
    if (contains(model_tokens, lower)) {
        // platform -> set of OS tokens, for every platform the model occurs on
        py::object platforms = model_tokens[lower];
        py::set os_tokens;
        for (py::handle os_set : platforms.attr("values")()) os_tokens.attr("update")(os_set);
        py::dict d;
        d["os"] = py::list(os_tokens);
        d["platform"] = py::list(platforms.attr("keys")());
        d["model"] = lower;
        return d;
    }

    py::object platform_tokens = global(globals, "PLATFORM_TOKENS");
    if (contains(platform_tokens, lower)) {
        py::dict d;
        d["os"] = py::list(platform_tokens[lower]);
        d["platform"] = lower;
        return d;
    }
    return one("unknown", token_val);
}

// def compute_tokens(token_val):
TAVOX_DEF_SHARED(compute_tokens, "compute_tokens", "token_val", nullptr) {
    py::handle globals = PyModule_GetDict(call.module().ptr());  // borrowed
    return compute_tokens_native(globals, TAVOX_ARG(token_val));
}

TokenComputer::TokenComputer(const Call &call)
    : globals_(py::reinterpret_borrow<py::object>(PyModule_GetDict(call.module().ptr()))) {
    py::object bound = call.global("compute_tokens");
    bool ours = Py_TYPE(bound.ptr()) == support::detail::function_type() &&
                reinterpret_cast<support::FunctionObject *>(bound.ptr())->def == &compute_tokens;
    if (!ours) replacement_ = std::move(bound);
}

py::object TokenComputer::operator()(py::handle token_val) const {
    if (replacement_) return replacement_(token_val);
    return compute_tokens_native(globals_, token_val);
}

}  // namespace tavox::cli::commands::migrate::abstract
