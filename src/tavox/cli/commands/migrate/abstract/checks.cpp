// tavox.cli.commands.migrate.abstract -- the three checks: YAML testbeds and
// data files, Python sources, package __init__.py files.  Each examines one
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

namespace {

bool differs(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

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

py::str text(py::handle value) { return py::str(value); }

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
                problems.append(fmt("    groups.{}.platforms: {} -> {}", text(group), text(p),
                                    text(alternatives(tokens["platform"]))));
            } else if (contains(tokens, "unknown")) {
                problems.append(
                    fmt("    groups.{}.platforms: Please ensure \"{}\" is a valid platform",
                        text(group), text(p)));
            }
        }
    }
}

// The platform of one device, when its tokens name another: the line that
// says so, or, when none of the platforms is known under the device's OS
// (as written), the tokens become {"unknown": platform}.
void device_platform(py::handle hierarchy, py::handle os_, py::handle platform, py::str name,
                     py::object &tokens, py::list &problems) {
    py::object new_platform = tokens["platform"];
    if (PyList_Check(new_platform.ptr())) {
        // Only the platforms that the device's OS knows.
        py::list kept = known_platforms(hierarchy, os_, py::list(new_platform));
        tokens["platform"] = kept;
        new_platform = py::str(" or ").attr("join")(kept);
    }
    if (truth(new_platform)) {
        problems.append(
            fmt("    devices.{}.platform: {} -> {}", name, text(platform), text(new_platform)));
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
        py::str name = text(device);

        if (contains(tokens, "platform") && differs(tokens["platform"], platform))
            device_platform(hierarchy, os_, platform, name, tokens, problems);
        if (contains(tokens, "model")) {
            py::object model = get(dev, "model", py::none());
            if (truth(model))
                problems.append(fmt("    devices.{}.model: {} -> {}", name, text(model),
                                    text(tokens["model"])));
            else problems.append(fmt("    devices.{}.model: {}", name, text(tokens["model"])));
        }
        if (contains(tokens, "submodel"))
            problems.append(fmt("    devices.{}.model: {}", name, text(tokens["submodel"])));
        if (contains(tokens, "pid"))
            problems.append(fmt("    devices.{}.pid: {}", name, text(tokens["pid"])));
        if (contains(tokens, "unknown"))
            problems.append(
                fmt("    devices.{}.platform: Please ensure \"{}\" is a valid {} platform", name,
                    text(tokens["unknown"]), text(os_)));
    }
}

// ---- check_python's steps ----------------------------------------------------------

// What check_python found on the lines it looked at.
struct PythonFindings {
    py::list suggestions;
    bool var_platform_refs = false;
    bool refs_ferrin = false;
};

// One value the platform pattern found on line `line_no`: a quoted platform
// gets its suggestion, a name other than True or False is noted as a
// platform held in a variable.
void platform_value(const TokenComputer &compute_tokens, py::object match, py::handle line_no,
                    PythonFindings &found) {
    py::str dq("\""), sq("'");
    if (truth(match.attr("startswith")(dq)) || truth(match.attr("startswith")(sq))) {
        match = match.attr("strip")(py::str("'\""));
        py::object tokens = compute_tokens(match);
        if (contains(tokens, "platform") && differs(tokens["platform"], match)) {
            py::object fix = concat("    line ", line_no, ": ", match, " -> ",
                                    alternatives(tokens["platform"]));
            if (contains(tokens, "pid")) fix = concat(fix, "\n      or platform -> pid");
            else if (contains(tokens, "submodel"))
                fix = concat(fix, "\n      or platform -> submodel");
            else if (contains(tokens, "model")) fix = concat(fix, "\n      or platform -> model");
            found.suggestions.append(fix);
        } else if (contains(tokens, "unknown")) {
            found.suggestions.append(concat("    line ", line_no, ": Please ensure ", dq,
                                            tokens["unknown"], dq, " is a valid platform"));
        }
    } else if (!differs(match, py::str("True")) || !differs(match, py::str("False"))) {
        // a flag, not a platform
    } else if (truth(match.attr("strip")())) {
        found.var_platform_refs = true;
    }
}

// ---- check_init's steps ------------------------------------------------------------

// The first declaring call of a package file, if any.
struct Declaration {
    py::object match;      // none found when null
    size_t index = 0;      // 0-based line number
    bool package = false;  // declare_package rather than declare_token
};

Declaration first_declaration(py::handle abstract_match, const TextFile &file,
                              const std::vector<Candidate> &lines) {
    for (const Candidate &c : lines) {
        py::object m = abstract_match.attr("search")(file.str(c.span.begin, c.span.end));
        if (m.is_none()) continue;
        py::object func_name = m.attr("group")("declare_func");
        if (!differs(func_name, py::str("declare_package"))) return {m, c.index, true};
        if (!differs(func_name, py::str("declare_token"))) return {m, c.index, false};
    }
    return {};
}

// The message about a token directory's package file, built line by line.
class InitMessage {
public:
    InitMessage(py::handle file_path, py::handle line_no, py::handle call_text)
        : text_(concat(file_path, ":\n")), line_no_(py::reinterpret_borrow<py::object>(line_no)),
          call_text_(py::reinterpret_borrow<py::object>(call_text)) {}

    template <typename... Parts>
    void append(const Parts &...parts) {
        text_ = concat(text_, parts...);
    }
    // "    line N: declare_token(__name__) -> declare_token(<kind>='<value>')"
    void token_line(const char *kind, py::handle value, bool newline = true) {
        token_line(py::str(kind), value, newline);
    }
    void token_line(py::handle kind, py::handle value, bool newline = true) {
        append("    line ", line_no_, ": ", call_text_, " -> declare_token(", kind, "='", value,
               newline ? "')\n" : "')");
    }
    void move(py::handle from, py::handle to) { append("    move ", from, " to ", to, "\n"); }
    // The new __init__.py of a directory to create, with its import.
    void new_package(py::handle directory) {
        append(directory, "/__init__.py:\n", "    from nuvik.abstract import declare token\n");
    }
    const py::object &text() const { return text_; }

private:
    py::object text_, line_no_, call_text_;
};

// The depth a token directory stands at: "os", "platform", "model", "pid".
class TokenDepth {
public:
    explicit TokenDepth(py::handle type) : type_(type) {}
    bool is(const char *kind) const { return !differs(type_, py::str(kind)); }

private:
    py::handle type_;
};

// A PID directory: where it stands, and what it moves under.
void pid_directory(InitMessage &msg, const TokenDepth &depth, py::handle path,
                   py::handle parent_dir, py::handle dir_path, py::handle tokens) {
    if (depth.is("platform")) {
        // At platform depth it moves under its platform and model, both of
        // which become new packages.
        py::object new_path =
            path.attr("join")(parent_dir, tokens["platform"], tokens["model"], tokens["pid"]);
        py::object model_dir = path.attr("dirname")(new_path);
        msg.token_line("pid", tokens["pid"]);
        msg.move(dir_path, new_path);
        msg.new_package(model_dir);
        msg.token_line("model", tokens["model"]);
        msg.new_package(path.attr("dirname")(model_dir));
        msg.token_line("platform", tokens["platform"], false);
    } else if (depth.is("model")) {
        py::object new_path = path.attr("join")(parent_dir, tokens["model"], tokens["pid"]);
        msg.token_line("pid", tokens["pid"]);
        msg.move(dir_path, new_path);
        msg.new_package(path.attr("dirname")(new_path));
        msg.token_line("model", tokens["model"]);
    } else if (depth.is("pid")) {
        msg.token_line("pid", tokens["pid"]);
    }
}

// A model directory: where it stands, and what it moves under.
void model_directory(const Call &call, InitMessage &msg, const TokenDepth &depth, py::handle path,
                     py::handle parent_dir, py::handle dir_path, py::handle parent_tokens,
                     py::handle tokens) {
    if (!depth.is("platform")) {
        if (depth.is("model")) msg.token_line("model", tokens["model"]);
        return;
    }
    // At platform depth it moves under its platform.  When the model occurs
    // on several platforms, those valid under the parent OS are offered, and
    // the move names the first of them.
    py::object platform = tokens["platform"];
    bool several = PyList_Check(platform.ptr());
    py::list valid;
    py::object first = platform;
    if (several) {
        py::object os_ = get(parent_tokens, "os", py::none());
        py::list all(platform);
        if (!all.empty()) valid = known_platforms(call.global("TOKEN_HIERARCHY"), os_, all);
        if (valid.empty()) throw py::index_error("list index out of range");
        first = valid[0];
    }
    py::object new_path = path.attr("join")(parent_dir, first, tokens["model"]);
    msg.token_line("model", tokens["model"]);
    msg.move(dir_path, new_path);
    msg.new_package(path.attr("dirname")(new_path));
    msg.token_line("platform", first);
    if (several && valid.size() >= 2) {
        for (py::handle p : valid) {
            msg.append("    or\n");
            msg.token_line("platform", p);
        }
    } else if (several) {
        tokens["platform"] = first;
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

// def check_python(self, file_path, msg_queue):
TAVOX_DEF_SHARED(MigrateAbstractCommand_check_python, "MigrateAbstractCommand.check_python",
                 "self, file_path, msg_queue", nullptr) {
    WorkerEnd end(TAVOX_ARG(self), call.global("threading"));
    py::handle file_path = TAVOX_ARG(file_path), msg_queue = TAVOX_ARG(msg_queue);
    TokenComputer compute_tokens(call);
    py::object platform_match = call.global("PYTHON_PLATFORM_MATCH");
    py::object ferrin_match = call.global("PYTHON_FERRIN_MATCH");
    // A line without "platform" cannot match the platform pattern, one
    // without a quote right after "errin" not the retired-OS pattern;
    // patterns bound in their place see every line.
    Need platform_need{Needs::Literal, "platform"};
    if (!is_pattern(platform_match, PYTHON_PLATFORM_MATCH_TEXT)) platform_need = {Needs::Nothing};
    Need ferrin_need{Needs::FerrinQuoted};
    if (!is_pattern(ferrin_match, PYTHON_FERRIN_MATCH_TEXT)) ferrin_need = {Needs::Nothing};

    std::vector<Candidate> lines;
    TextFile file(file_path, [&](const std::string &text) {
        lines = candidates(text, platform_need, ferrin_need);
    });
    note_checked(TAVOX_ARG(self), file_path, {true, file.id(), file.fingerprint(), {}});

    PythonFindings found;
    for (const Candidate &c : lines) {
        py::str l = file.str(c.span.begin, c.span.end);
        py::str line_no = text(py::int_(c.index + 1));
        if (c.first) {
            for (py::handle item : platform_match.attr("findall")(l)) {
                py::object match = py::reinterpret_borrow<py::object>(item);
                if (PyTuple_Check(match.ptr())) match = match[py::int_(0)];
                platform_value(compute_tokens, match, line_no, found);
            }
        }
        if (c.second && !found.refs_ferrin && !ferrin_match.attr("search")(l).is_none())
            found.refs_ferrin = true;
    }

    if (found.var_platform_refs)
        found.suggestions.append(py::str("    Please ensure references to platform are being "
                                         "assigned/compared with correct variable values"));
    if (found.refs_ferrin)
        found.suggestions.append(py::str("    os='ferrin', platform='ap' has been updated to "
                                         "os='rhenx', platform='tor9k', model='q9100ap'"));
    if (!found.suggestions.empty()) put_report(msg_queue, file_path, found.suggestions);
    return py::none();
}

// def check_init(self, file_path, msg_queue):
TAVOX_DEF_SHARED(MigrateAbstractCommand_check_init, "MigrateAbstractCommand.check_init",
                 "self, file_path, msg_queue", nullptr) {
    py::handle self = TAVOX_ARG(self), file_path = TAVOX_ARG(file_path);
    py::handle msg_queue = TAVOX_ARG(msg_queue);
    py::object abstract_match = call.global("PYTHON_ABSTRACT_MATCH");
    Need declare_need{Needs::Literal, "declare_"};
    if (!is_pattern(abstract_match, PYTHON_ABSTRACT_MATCH_TEXT)) declare_need = {Needs::Nothing};

    std::vector<Candidate> lines;
    TextFile file(file_path, [&](const std::string &text) {
        lines = candidates(text, declare_need, {Needs::Never});
    });
    note_checked(self, file_path, {true, file.id(), file.fingerprint(), {}});

    // The first declaring call decides: a package needs only its new call,
    // a token directory is worked out below.
    Declaration found = first_declaration(abstract_match, file, lines);
    if (!found.match) return py::none();
    py::str line_no = text(py::int_(found.index + 1));
    if (found.package) {
        msg_queue.attr("put")(concat(file_path, ":\n", "    line ", line_no, ": ",
                                     found.match.attr("group")(0), " -> declare_package()\n"));
        return py::none();
    }

    py::object path = call.global("os").attr("path");
    py::object dir_path = path.attr("dirname")(file_path);
    py::object token_val = path.attr("basename")(dir_path);
    py::object parent_tokens = self.attr("get_parent_tokens")(dir_path);
    py::object token_order = call.global("TOKEN_ORDER");
    size_t level = py::len(parent_tokens);
    py::object token_type = level >= py::len(token_order)
                                ? py::object(fmt("<unknown_{}>", level))
                                : py::object(token_order[py::int_(level)]);
    InitMessage msg(file_path, line_no, found.match.attr("group")(0));
    TokenDepth depth(token_type);

    py::object known_os = call.global("KNOWN_OS");
    bool is_known = contains(known_os, token_val);
    if (depth.is("os") && is_known) {
        msg.token_line("os", token_val);
        msg_queue.attr("put")(msg.text());
        py::dict os_only;
        os_only["os"] = token_val;
        self.attr("token_paths")[dir_path] = os_only;
        return py::none();
    }

    TokenComputer compute_tokens(call);
    py::object tokens = compute_tokens(token_val);
    py::object parent_dir = path.attr("dirname")(dir_path);
    if (contains(tokens, "pid")) {
        pid_directory(msg, depth, path, parent_dir, dir_path, tokens);
    } else if (contains(tokens, "model")) {
        model_directory(call, msg, depth, path, parent_dir, dir_path, parent_tokens, tokens);
    } else if (contains(tokens, "platform")) {
        msg.token_line("platform", tokens["platform"]);
    } else if (contains(tokens, "unknown")) {
        py::object unknown = tokens["unknown"];
        msg.token_line(token_type, unknown);
        msg.append("    line ", line_no, ": Please ensure ", unknown, " is a valid ", token_type,
                   "\n");
        py::dict own_level;
        own_level[token_type] = unknown;
        tokens = std::move(own_level);
    }

    msg_queue.attr("put")(msg.text());
    self.attr("token_paths")[dir_path] = tokens;
    return py::none();
}

}  // namespace tavox::cli::commands::migrate::abstract
