// tavox.cli.commands.migrate.abstract -- the three checks: YAML testbeds and
// data files (here), Python sources and package __init__.py files
// (source_checks.cpp).  Each examines one
// file and puts at most one text message on the queue it is given; the
// patcher parses the suggestion lines back, so their texts are exact.
//
// The YAML and Python checks run in worker threads.  Every file is read
// once, without the interpreter lock, and fingerprinted there: while a run
// goes on, the patcher later applies the message only to that content.  The
// YAML loader reads the bytes as it would read the open file.  For Python
// sources and package files, decoding and picking the lines a pattern can
// match at all also run without the lock; only the candidate lines become
// Python strings and meet the module's compiled patterns.

#include "checks.hpp"
#include "engine/text_scan.hpp"
#include "reading.hpp"
#include "run.hpp"
#include "tokens.hpp"
#include "workers.hpp"
#include "yaml_native.hpp"

#include "support/yaml_depth.hpp"

#include <algorithm>
#include <cstring>

namespace tavox::cli::commands::migrate::abstract {

// mapping.get(key, default): plain dicts directly, anything else through
// its own get (which raises when it has none).
py::object get(py::handle mapping, const char *key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = PyDict_GetItemString(mapping.ptr(), key);  // borrowed
        return py::reinterpret_borrow<py::object>(v ? v : fallback.ptr());
    }
    return mapping.attr("get")(key, fallback);
}
py::object get(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
        if (!v && PyErr_Occurred()) throw py::error_already_set();        // unhashable key
        return py::reinterpret_borrow<py::object>(v ? v : fallback.ptr());
    }
    return mapping.attr("get")(key, fallback);
}

// list(mapping.items()): a snapshot of (key, value) pairs.
py::list items(py::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *l = PyDict_Items(mapping.ptr());
        if (!l) throw py::error_already_set();
        return py::reinterpret_steal<py::list>(l);
    }
    return py::list(mapping.attr("items")());
}

// The platforms of `platforms` that the token hierarchy knows under the OS
// `os_` (as written).
py::list known_platforms(py::handle hierarchy, py::handle os_, const py::list &platforms) {
    py::object known = get(hierarchy, os_, py::dict());
    py::list kept;
    for (py::handle p : platforms)
        if (contains(known, p)) kept.append(p);
    return kept;
}

// " or ".join(value) for a list of alternatives, the value itself otherwise.
py::object alternatives(py::handle value) {
    if (PyList_Check(value.ptr())) return py::str(" or ").attr("join")(value);
    return py::reinterpret_borrow<py::object>(value);
}

// Whether the compiled pattern is the module's own: only then does a line
// without the pattern's leading literal need no search at all.
bool is_pattern(py::handle compiled, const char *text) {
    if (!py::hasattr(compiled, "pattern") || !py::hasattr(compiled, "flags")) return false;
    py::object pattern = compiled.attr("pattern");
    if (!PyUnicode_Check(pattern.ptr()) || utf8(pattern) != text) return false;
    return py::int_(compiled.attr("flags")).cast<long>() == 32;  // re.UNICODE alone
}

// msg_queue.put(file_path + ":\n" + "\n".join(lines) + "\n")
void put_report(py::handle msg_queue, py::handle file_path, py::handle lines) {
    msg_queue.attr("put")(concat(file_path, ":\n", py::str("\n").attr("join")(lines), "\n"));
}

namespace {

// ---- check_yaml's steps ----------------------------------------------------------

// How reading a YAML file came out.
enum class YamlRead {
    Loaded,       // the document is loaded; its content is checked next
    Reported,     // the native path decided, and said what it had to
    NotReadable,  // neither loader could read it
};

// Loader().load, or nothing when the loader cannot be made.
py::object make_load(const Call &call) {
    try {
        return call.global("Loader")().attr("load");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return py::object();
}

// The loader path: the bytes read as the open file would be, by `load` (made
// here unless `made`), otherwise by PyYAML's safe loader.
bool load_document(const Call &call, std::string &bytes, py::object load, bool made,
                   py::object &data) {
    OpenFile file(text_stream(bytes));
    std::string().swap(bytes);  // the stream holds its own copy
    py::object &f = *file;
    if (!made) load = make_load(call);
    if (load) {
        try {
            data = load(f);
            return true;
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    // The safe loader gets the whole document again, from its start.
    try {
        f.attr("seek")(0);
        py::object yaml = call.global("yaml");
        data = yaml.attr("load")(f, py::arg("Loader") = yaml.attr("SafeLoader"));
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return false;
}

// The file as read ahead of its worker in the run going on, if it was.
std::optional<ReadAhead::File> taken_ahead(py::handle self, py::handle file_path) {
    WorkerPhase *phase = WorkerPhase::of(self);
    if (!phase || !phase->read_ahead()) return std::nullopt;
    std::string path;
    try {
        path = support::fs_path(file_path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return std::nullopt;  // examine() says so
    }
    return take_ahead(*phase->read_ahead(), path);
}

// The file read by its worker: None when open() would refuse its path.
std::optional<Examined> examine_here(py::handle file_path) {
    try {
        return examine(file_path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return std::nullopt;
}

// with open(file_path) as f: data = Loader().load(f) (or the safe loader's):
// the bytes are read once, without the lock, and fingerprinted for the
// patcher; they are checked natively when that is certain to give the
// loader path's result, and Loader() is made once, for either path.  A file
// decided ahead comes without its bytes: when its decision cannot be used,
// it is read again, and that read is the one checked.
YamlRead read_yaml(const Call &call, py::handle self, py::handle file_path, py::handle msg_queue,
                   py::object &data) {
    std::optional<ReadAhead::File> ahead = taken_ahead(self, file_path);
    std::optional<Examined> read;
    if (ahead) read = std::move(ahead->read);
    else read = examine_here(file_path);
    if (!read) return YamlRead::NotReadable;
    auto noted = [&] {
        note_checked(self, file_path, {read->err == 0, read->id, read->fingerprint, {}});
        return read->err == 0;
    };
    auto read_again = [&] {
        ahead.reset();
        read = examine_here(file_path);
        return read && noted();
    };
    if (!noted()) return YamlRead::NotReadable;

    RunRecord *run = RunRecord::of(self);
    Patching patching;
    if (run)
        patching = {truth(self.attr("apply_fixes_flag")), truth(self.attr("apply_comments_flag"))};
    std::optional<NativeYamlCheck> native;
    native.emplace(call, read->bytes, ahead ? &ahead->ahead : nullptr, patching);
    if (ahead && ahead->ahead.bytes_released && !native->decided()) {
        if (!read_again()) return YamlRead::NotReadable;
        native.emplace(call, read->bytes, nullptr, patching);
    }
    auto too_deep = [&] {
        note_too_deep(self, file_path);
        return YamlRead::NotReadable;
    };
    if (native->too_deep()) return too_deep();
    py::object load;
    bool made = false;
    if (native->decided()) {
        made = true;
        load = make_load(call);
        switch (load ? native->result(load) : NativeYamlCheck::Outcome::HandOver) {
        case NativeYamlCheck::Outcome::Message:
            if (run && native->plan()) run->planned(file_path, native->plan());
            msg_queue.attr("put")(concat(file_path, ":\n", native->lines()));
            return YamlRead::Reported;
        case NativeYamlCheck::Outcome::NoMessage:
            return YamlRead::Reported;
        case NativeYamlCheck::Outcome::CouldNotLoad:
            return YamlRead::NotReadable;
        case NativeYamlCheck::Outcome::HandOver:
            break;
        }
    }
    if (ahead && ahead->ahead.bytes_released && !read_again()) return YamlRead::NotReadable;
    // The loaders build the document recursively: one nested too deeply
    // would overflow their stack, and is never handed to them.
    if (!native->within_depth()) {
        bool deep;
        {
            support::Unlocked unlocked;
            deep = support::yaml_too_deep(read->bytes);
        }
        if (deep) return too_deep();
    }
    if (!load_document(call, read->bytes, load, made, data)) return YamlRead::NotReadable;
    if (!PyDict_Check(data.ptr())) data = py::dict();
    return YamlRead::Loaded;
}

// The problems of the platforms listed under groups.<name>.platforms.
void group_problems(const TokenComputer &compute_tokens, py::handle data, py::list &problems) {
    for (py::handle entry : items(get(data, "groups", py::dict()))) {
        py::object group = entry[py::int_(0)], group_data = entry[py::int_(1)];
        py::object platforms = get(group_data, "platforms", py::list());
        if (!PyList_Check(platforms.ptr())) continue;
        for (py::handle p : py::list(platforms)) {
            py::object tokens = compute_tokens(p);
            if (contains(tokens, "platform") && differs(tokens["platform"], p)) {
                problems.append(fmt("    groups.{}.platforms: {} -> {}", py::str(group),
                                    py::str(p), py::str(alternatives(tokens["platform"]))));
            } else if (contains(tokens, "unknown")) {
                problems.append(
                    fmt("    groups.{}.platforms: Please ensure \"{}\" is a valid platform",
                        py::str(group), py::str(p)));
            }
        }
    }
}

// The platform of one device, when its tokens name another: the line that
// says so, or, when none of the platforms is known under the device's OS
// (as written), the tokens become {"unknown": platform}.
void device_platform(py::handle hierarchy, py::handle os_, py::handle platform,
                     const py::str &name, py::object &tokens, py::list &problems) {
    py::object new_platform = tokens["platform"];
    if (PyList_Check(new_platform.ptr())) {
        // Only the platforms that the device's OS knows.
        py::list kept = known_platforms(hierarchy, os_, py::list(new_platform));
        tokens["platform"] = kept;
        new_platform = py::str(" or ").attr("join")(kept);
    }
    if (truth(new_platform)) {
        problems.append(fmt("    devices.{}.platform: {} -> {}", name, py::str(platform),
                            py::str(new_platform)));
    } else {
        py::dict unknown;
        unknown["unknown"] = platform;
        tokens = std::move(unknown);
    }
}

// The problems of the devices' platform, model and PID.
void device_problems(const Call &call, const TokenComputer &compute_tokens, py::handle data,
                     py::list &problems) {
    py::object hierarchy = call.global("TOKEN_HIERARCHY");
    for (py::handle entry : items(get(data, "devices", py::dict()))) {
        py::object device = entry[py::int_(0)], dev = entry[py::int_(1)];
        if (!PyDict_Check(dev.ptr())) continue;
        py::object os_ = get(dev, "os", py::str("unknown_os"));
        py::object platform = get(dev, "platform", py::none());
        if (!truth(platform)) continue;
        py::object tokens = compute_tokens(platform);
        py::str name = py::str(device);

        if (contains(tokens, "platform") && differs(tokens["platform"], platform))
            device_platform(hierarchy, os_, platform, name, tokens, problems);
        if (contains(tokens, "model")) {
            py::object model = get(dev, "model", py::none());
            if (truth(model))
                problems.append(fmt("    devices.{}.model: {} -> {}", name, py::str(model),
                                    py::str(tokens["model"])));
            else problems.append(fmt("    devices.{}.model: {}", name, py::str(tokens["model"])));
        }
        if (contains(tokens, "submodel"))
            problems.append(fmt("    devices.{}.model: {}", name, py::str(tokens["submodel"])));
        if (contains(tokens, "pid"))
            problems.append(fmt("    devices.{}.pid: {}", name, py::str(tokens["pid"])));
        if (contains(tokens, "unknown"))
            problems.append(
                fmt("    devices.{}.platform: Please ensure \"{}\" is a valid {} platform", name,
                    py::str(tokens["unknown"]), py::str(os_)));
    }
}

}  // namespace

// ---- class MigrateAbstractCommand: the checks --------------------------------

// def check_yaml(self, file_path, msg_queue):
TAVOX_DEF_SHARED(MigrateAbstractCommand_check_yaml, "MigrateAbstractCommand.check_yaml",
                 "self, file_path, msg_queue", nullptr) {
    WorkerEnd end(TAVOX_ARG(self), call.global("threading"));
    py::handle file_path = TAVOX_ARG(file_path), msg_queue = TAVOX_ARG(msg_queue);
    TokenComputer compute_tokens(call);
    py::object data;
    switch (read_yaml(call, TAVOX_ARG(self), file_path, msg_queue, data)) {
    case YamlRead::Loaded:
        break;
    case YamlRead::Reported:
        return py::none();
    case YamlRead::NotReadable:
        msg_queue.attr("put")(concat(file_path, ": Could not load yaml file"));
        return py::none();
    }

    py::list problems;
    group_problems(compute_tokens, data, problems);
    device_problems(call, compute_tokens, data, problems);
    if (!problems.empty()) put_report(msg_queue, file_path, problems);
    return py::none();
}

}  // namespace tavox::cli::commands::migrate::abstract
