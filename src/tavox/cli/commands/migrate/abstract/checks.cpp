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
#include "abstract.hpp"
#include "yaml_native.hpp"

#include <algorithm>
#include <cstring>

namespace tavox::cli::commands::migrate::abstract {

// ---- reading files ---------------------------------------------------------

std::string default_encoding() {
    py::object enc = py::module_::import("locale").attr("getpreferredencoding")(false);
    return py::str(py::module_::import("codecs").attr("lookup")(enc).attr("name"));
}

TextFile::TextFile(py::handle path, const Scan &scan) {
    PyObject *raw = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &raw)) throw py::error_already_set();
    std::string fspath = py::reinterpret_steal<py::bytes>(raw);
    std::string encoding = default_encoding();
    bool utf8 = encoding == "utf-8";
    bool ok = false, valid = false;
    int err = 0;
    {
        // The usual case, a UTF-8 file, is read and scanned in one go.
        py::gil_scoped_release nogil;
        ok = support::read_file(fspath, text_, &id_);
        err = errno;
        if (ok) fingerprint_ = support::fingerprint(text_);
        if (ok && utf8) {
            valid = valid_utf8(text_);
            if (valid) {
                translate_newlines(text_);
                if (scan) scan(text_);
            }
        }
    }
    if (!ok) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw py::error_already_set();
    }
    if (valid) return;
    // Another locale encoding, or bytes UTF-8 rejects: the codec decides,
    // and raises the same UnicodeDecodeError reading the file would.
    py::str decoded = py::bytes(text_).attr("decode")(encoding);
    text_ = py::bytes(decoded.attr("encode")("utf-8", "surrogatepass"));
    py::gil_scoped_release nogil;
    translate_newlines(text_);
    if (scan) scan(text_);
}

Examined examine(py::handle path) {
    PyObject *raw = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &raw)) throw py::error_already_set();
    std::string fspath = py::reinterpret_steal<py::bytes>(raw);
    Examined e;
    py::gil_scoped_release nogil;
    if (support::read_file(fspath, e.bytes, &e.id))
        e.fingerprint = support::fingerprint(e.bytes);
    else
        e.err = errno;
    return e;
}

py::object text_stream(const std::string &bytes) {
    py::object io = py::module_::import("io");
    return io.attr("TextIOWrapper")(io.attr("BytesIO")(py::bytes(bytes)),
                                    py::arg("encoding") = default_encoding());
}

py::str TextFile::str(size_t begin, size_t end) const {
    PyObject *s = PyUnicode_DecodeUTF8(text_.data() + begin,
                                       static_cast<Py_ssize_t>(end - begin), "surrogatepass");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

namespace {

bool contains(py::handle container, const char *key) {
    int r = PySequence_Contains(container.ptr(), py::str(key).ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

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
        if (!v && PyErr_Occurred()) throw py::error_already_set();     // unhashable key
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

struct Candidate {
    size_t index;  // 0-based line number
    LineSpan span;
    bool first;    // may match the first pattern
    bool second;   // may match the second pattern
};

// What a line must hold for a pattern to match in it at all.
enum class Needs {
    Nothing,       // a pattern that is not the module's own: every line
    Never,         // no pattern to try
    Literal,       // the given text
    FerrinQuoted,  // "errin" and a quote right after it ([Ff]errin['"])
};

struct Need {
    Needs kind;
    const char *literal = nullptr;
};

// Offsets of the starts of the lines that hold what `need` asks for, in
// increasing order, each line once.  Searches the whole text at a time,
// which is much faster than line by line.
std::vector<size_t> lines_holding(std::string_view text, const Need &need) {
    std::vector<size_t> starts;
    std::string_view needle = need.kind == Needs::Literal ? std::string_view(need.literal)
                                                           : std::string_view("errin");
    size_t from = 0;
    while (from < text.size()) {
        const void *hit = ::memmem(text.data() + from, text.size() - from, needle.data(),
                                   needle.size());
        if (!hit) break;
        size_t at = static_cast<size_t>(static_cast<const char *>(hit) - text.data());
        if (need.kind == Needs::FerrinQuoted) {
            size_t after = at + needle.size();
            if (after >= text.size() || (text[after] != '\'' && text[after] != '"')) {
                from = at + 1;
                continue;
            }
        }
        size_t nl = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
        starts.push_back(nl == std::string_view::npos ? 0 : nl + 1);
        // Go on after the end of this line: it is a candidate already.
        size_t end = text.find('\n', at);
        from = end == std::string_view::npos ? text.size() : end + 1;
    }
    return starts;
}

// The lines of `text` in which the first (or the second) pattern may
// match.  Pure C++.
std::vector<Candidate> candidates(const std::string &text, const Need &a, const Need &b) {
    std::string_view all(text);
    std::vector<Candidate> out;
    const size_t n = all.size();
    if (a.kind == Needs::Nothing || b.kind == Needs::Nothing) {
        // Some pattern sees every line.
        size_t index = 0, pos = 0;
        while (pos < n) {
            size_t nl = all.find('\n', pos);
            size_t end = nl == std::string_view::npos ? n : nl + 1;
            std::string_view line = all.substr(pos, end - pos);
            auto holds = [&](const Need &need) {
                if (need.kind == Needs::Nothing) return true;
                if (need.kind == Needs::Never) return false;
                std::vector<size_t> hit = lines_holding(line, need);
                return !hit.empty();
            };
            bool first = holds(a), second = holds(b);
            if (first || second) out.push_back({index, {pos, end}, first, second});
            pos = end;
            ++index;
        }
        return out;
    }
    std::vector<size_t> first, second;
    if (a.kind != Needs::Never) first = lines_holding(all, a);
    if (b.kind != Needs::Never) second = lines_holding(all, b);
    // Merge the two lists; line numbers come from counting the line breaks
    // passed on the way.
    size_t i = 0, j = 0, counted_to = 0, index = 0;
    while (i < first.size() || j < second.size()) {
        size_t start = j >= second.size() || (i < first.size() && first[i] <= second[j])
                           ? first[i]
                           : second[j];
        bool in_first = i < first.size() && first[i] == start;
        bool in_second = j < second.size() && second[j] == start;
        i += in_first;
        j += in_second;
        index += static_cast<size_t>(
            std::count(all.data() + counted_to, all.data() + start, '\n'));
        counted_to = start;
        size_t nl = all.find('\n', start);
        size_t end = nl == std::string_view::npos ? n : nl + 1;
        out.push_back({index, {start, end}, in_first, in_second});
    }
    return out;
}

}  // namespace

// ---- class MigrateAbstractCommand: the checks --------------------------------

// def check_yaml(self, file_path, msg_queue):
TAVOX_DEF_SHARED(MigrateAbstractCommand_check_yaml, "MigrateAbstractCommand.check_yaml",
                 "self, file_path, msg_queue", nullptr) {
    WorkerEnd end(call.global("threading"));
    py::handle file_path = call[1], msg_queue = call[2];
    TokenComputer compute_tokens(call);
    auto could_not_load = [&] {
        msg_queue.attr("put")(add(file_path, ": Could not load yaml file"));
        return py::none();
    };

    // with open(file_path) as f: the bytes are read once, without the lock,
    // and fingerprinted for the patcher
    Examined read;
    try {
        read = examine(file_path);  // a path open() would refuse raises here
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return could_not_load();
    }
    note_checked(call[0], file_path, {read.err == 0, read.id, read.fingerprint});
    if (read.err) return could_not_load();

    // The bytes checked natively, when that is certain to give the loader
    // path's result; Loader() is made once, for either path.
    NativeYamlCheck native(call, [&](std::string &bytes) {
        bytes = read.bytes;
        return true;
    });
    py::object load;
    bool made = false;
    if (native.decided()) {
        made = true;
        try {
            load = call.global("Loader")().attr("load");
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
        switch (load ? native.result(load) : NativeYamlCheck::Outcome::HandOver) {
            case NativeYamlCheck::Outcome::Message: {
                Concat msg(file_path);
                msg << ":\n" << native.lines();
                msg_queue.attr("put")(msg.get());
                return py::none();
            }
            case NativeYamlCheck::Outcome::NoMessage:
                return py::none();
            case NativeYamlCheck::Outcome::CouldNotLoad:
                return could_not_load();
            case NativeYamlCheck::Outcome::HandOver:
                break;
        }
    }

    // The loader reads the bytes as it would read the open file.
    py::object data;
    {
        OpenFile file(text_stream(read.bytes));
        std::string().swap(read.bytes);  // the stream holds its own copy
        py::object &f = *file;
        if (!made) {
            try {
                load = call.global("Loader")().attr("load");
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
            }
        }
        bool loaded = false;
        if (load) {
            try {
                data = load(f);
                loaded = true;
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
            }
        }
        if (!loaded) {
            // The safe loader gets the whole document again, from its start.
            try {
                f.attr("seek")(0);
                py::object yaml = call.global("yaml");
                data = yaml.attr("load")(f, py::arg("Loader") = yaml.attr("SafeLoader"));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                return could_not_load();
            }
        }
    }
    if (!PyDict_Check(data.ptr())) data = py::dict();

    py::list problems;
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
                problems.append(fmt("    groups.{}.platforms: Please ensure \"{}\" is a valid platform",
                                    text(group), text(p)));
            }
        }
    }

    py::object hierarchy = call.global("TOKEN_HIERARCHY");
    for (py::handle entry : items(get(data, "devices", py::dict()))) {
        py::object device = entry[py::int_(0)], dev = entry[py::int_(1)];
        if (!PyDict_Check(dev.ptr())) continue;
        py::object os_ = get(dev, "os", py::str("unknown_os"));
        py::object platform = get(dev, "platform", py::none());
        if (!truthy(platform)) continue;
        py::object tokens = compute_tokens(platform);
        py::str name = text(device);

        if (contains(tokens, "platform") && differs(tokens["platform"], platform)) {
            py::object new_platform = tokens["platform"];
            if (PyList_Check(new_platform.ptr())) {
                // Only the platforms that the device's OS knows, OS as written.
                py::object known = get(hierarchy, os_, py::dict());
                py::list kept;
                for (py::handle candidate : py::list(new_platform)) {
                    int r = PySequence_Contains(known.ptr(), candidate.ptr());
                    if (r < 0) throw py::error_already_set();
                    if (r) kept.append(candidate);
                }
                tokens["platform"] = kept;
                new_platform = py::str(" or ").attr("join")(kept);
            }
            if (truthy(new_platform)) {
                problems.append(fmt("    devices.{}.platform: {} -> {}", name, text(platform),
                                    text(new_platform)));
            } else {
                py::dict unknown;
                unknown["unknown"] = platform;
                tokens = std::move(unknown);
            }
        }
        if (contains(tokens, "model")) {
            py::object model = get(dev, "model", py::none());
            if (truthy(model))
                problems.append(fmt("    devices.{}.model: {} -> {}", name, text(model),
                                    text(tokens["model"])));
            else
                problems.append(fmt("    devices.{}.model: {}", name, text(tokens["model"])));
        }
        if (contains(tokens, "submodel"))
            problems.append(fmt("    devices.{}.model: {}", name, text(tokens["submodel"])));
        if (contains(tokens, "pid"))
            problems.append(fmt("    devices.{}.pid: {}", name, text(tokens["pid"])));
        if (contains(tokens, "unknown"))
            problems.append(fmt("    devices.{}.platform: Please ensure \"{}\" is a valid {} platform",
                                name, text(tokens["unknown"]), text(os_)));
    }

    if (problems.empty()) return py::none();
    Concat msg(file_path);
    msg << ":\n" << py::str("\n").attr("join")(problems) << "\n";
    msg_queue.attr("put")(msg.get());
    return py::none();
}

// def check_python(self, file_path, msg_queue):
TAVOX_DEF_SHARED(MigrateAbstractCommand_check_python, "MigrateAbstractCommand.check_python",
                 "self, file_path, msg_queue", nullptr) {
    WorkerEnd end(call.global("threading"));
    py::handle file_path = call[1], msg_queue = call[2];
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

    py::list suggestions;
    bool var_platform_refs = false, refs_ferrin = false;

    std::vector<Candidate> lines;
    TextFile file(file_path, [&](const std::string &text) {
        lines = candidates(text, platform_need, ferrin_need);
    });
    note_checked(call[0], file_path, {true, file.id(), file.fingerprint()});

    py::str quotes("'\""), dq("\""), sq("'");
    for (const Candidate &c : lines) {
        py::str l = file.str(c.span.begin, c.span.end);
        py::str line_no = text(py::int_(c.index + 1));
        if (c.first) {
            for (py::handle item : platform_match.attr("findall")(l)) {
                py::object match = py::reinterpret_borrow<py::object>(item);
                if (PyTuple_Check(match.ptr())) match = match[py::int_(0)];
                if (truthy(match.attr("startswith")(dq)) || truthy(match.attr("startswith")(sq))) {
                    match = match.attr("strip")(quotes);
                    py::object tokens = compute_tokens(match);
                    if (contains(tokens, "platform") && differs(tokens["platform"], match)) {
                        Concat fix;
                        fix << "    line " << line_no << ": " << match << " -> "
                            << alternatives(tokens["platform"]);
                        if (contains(tokens, "pid")) fix << "\n      or platform -> pid";
                        else if (contains(tokens, "submodel")) fix << "\n      or platform -> submodel";
                        else if (contains(tokens, "model")) fix << "\n      or platform -> model";
                        suggestions.append(fix.get());
                    } else if (contains(tokens, "unknown")) {
                        Concat check;
                        check << "    line " << line_no << ": Please ensure " << dq
                              << tokens["unknown"] << dq << " is a valid platform";
                        suggestions.append(check.get());
                    }
                } else if (!differs(match, py::str("True")) || !differs(match, py::str("False"))) {
                    // a flag, not a platform
                } else if (truthy(match.attr("strip")())) {
                    var_platform_refs = true;
                }
            }
        }
        if (c.second && !refs_ferrin && !ferrin_match.attr("search")(l).is_none())
            refs_ferrin = true;
    }

    if (var_platform_refs)
        suggestions.append(py::str("    Please ensure references to platform are being "
                                   "assigned/compared with correct variable values"));
    if (refs_ferrin)
        suggestions.append(py::str("    os='ferrin', platform='ap' has been updated to "
                                   "os='rhenx', platform='tor9k', model='q9100ap'"));
    if (suggestions.empty()) return py::none();
    Concat msg(file_path);
    msg << ":\n" << py::str("\n").attr("join")(suggestions) << "\n";
    msg_queue.attr("put")(msg.get());
    return py::none();
}

// def check_init(self, file_path, msg_queue):
TAVOX_DEF_SHARED(MigrateAbstractCommand_check_init, "MigrateAbstractCommand.check_init",
                 "self, file_path, msg_queue", nullptr) {
    py::handle self = call[0], file_path = call[1], msg_queue = call[2];
    py::object abstract_match = call.global("PYTHON_ABSTRACT_MATCH");
    Need declare_need{Needs::Literal, "declare_"};
    if (!is_pattern(abstract_match, PYTHON_ABSTRACT_MATCH_TEXT)) declare_need = {Needs::Nothing};

    std::vector<Candidate> lines;
    TextFile file(file_path, [&](const std::string &text) {
        lines = candidates(text, declare_need, {Needs::Never});
    });
    note_checked(self, file_path, {true, file.id(), file.fingerprint()});

    // The first declaring call decides: a package needs only its new call,
    // a token directory is worked out below.
    py::object match, line_no;
    for (const Candidate &c : lines) {
        py::object m = abstract_match.attr("search")(file.str(c.span.begin, c.span.end));
        if (m.is_none()) continue;
        py::object func_name = m.attr("group")("declare_func");
        if (!differs(func_name, py::str("declare_package"))) {
            Concat msg(file_path);
            msg << ":\n" << "    line " << text(py::int_(c.index + 1)) << ": "
                << m.attr("group")(0) << " -> declare_package()\n";
            msg_queue.attr("put")(msg.get());
            return py::none();
        }
        if (!differs(func_name, py::str("declare_token"))) {
            match = m;
            line_no = text(py::int_(c.index + 1));
            break;
        }
    }
    if (!match) return py::none();

    py::object path = call.global("os").attr("path");
    py::object dir_path = path.attr("dirname")(file_path);
    py::object token_val = path.attr("basename")(dir_path);
    py::object parent_tokens = self.attr("get_parent_tokens")(dir_path);
    py::object token_order = call.global("TOKEN_ORDER");
    size_t depth = py::len(parent_tokens);
    py::object token_type = depth >= py::len(token_order)
                                ? py::object(fmt("<unknown_{}>", depth))
                                : py::object(token_order[py::int_(depth)]);
    py::object G = match.attr("group")(0);

    Concat msg(file_path);
    msg << ":\n";
    // "    line N: declare_token(__name__) -> declare_token(<kind>='<value>')"
    auto token_line = [&](py::handle kind, py::handle value, bool newline = true) {
        msg << "    line " << line_no << ": " << G << " -> declare_token(" << kind << "='"
            << value << (newline ? "')\n" : "')");
    };
    auto kind = [](const char *k) { return py::str(k); };
    auto move = [&](py::handle from, py::handle to) {
        msg << "    move " << from << " to " << to << "\n";
    };
    // The new __init__.py of a directory to create, with its import.
    auto new_package = [&](py::handle directory) {
        msg << directory << "/__init__.py:\n"
            << "    from nuvik.abstract import declare token\n";
    };

    py::object known_os = call.global("KNOWN_OS");
    int is_known = PySequence_Contains(known_os.ptr(), token_val.ptr());
    if (is_known < 0) throw py::error_already_set();
    if (!differs(token_type, kind("os")) && is_known) {
        token_line(kind("os"), token_val);
        msg_queue.attr("put")(msg.get());
        py::dict os_only;
        os_only["os"] = token_val;
        self.attr("token_paths")[dir_path] = os_only;
        return py::none();
    }

    TokenComputer compute_tokens(call);
    py::object tokens = compute_tokens(token_val);
    py::object parent_dir = path.attr("dirname")(dir_path);
    auto is_type = [&](const char *k) { return !differs(token_type, kind(k)); };

    if (contains(tokens, "pid")) {
        if (is_type("platform")) {
            // A PID directory at platform depth: it moves under its platform
            // and model, both of which become new packages.
            py::object new_path = path.attr("join")(parent_dir, tokens["platform"],
                                                    tokens["model"], tokens["pid"]);
            py::object model_dir = path.attr("dirname")(new_path);
            token_line(kind("pid"), tokens["pid"]);
            move(dir_path, new_path);
            new_package(model_dir);
            token_line(kind("model"), tokens["model"]);
            new_package(path.attr("dirname")(model_dir));
            token_line(kind("platform"), tokens["platform"], false);
        } else if (is_type("model")) {
            py::object new_path =
                path.attr("join")(parent_dir, tokens["model"], tokens["pid"]);
            token_line(kind("pid"), tokens["pid"]);
            move(dir_path, new_path);
            new_package(path.attr("dirname")(new_path));
            token_line(kind("model"), tokens["model"]);
        } else if (is_type("pid")) {
            token_line(kind("pid"), tokens["pid"]);
        }
    } else if (contains(tokens, "model")) {
        if (is_type("platform")) {
            // A model directory at platform depth moves under its platform.
            // When the model occurs on several platforms, those valid under
            // the parent OS are offered, and the move names the first of them.
            py::object platform = tokens["platform"];
            bool several = PyList_Check(platform.ptr());
            py::list valid;
            py::object first = platform;
            if (several) {
                py::object os_ = get(parent_tokens, "os", py::none());
                py::list all(platform);
                if (!all.empty()) {
                    py::object known = get(call.global("TOKEN_HIERARCHY"), os_, py::dict());
                    for (py::handle p : all) {
                        int r = PySequence_Contains(known.ptr(), p.ptr());
                        if (r < 0) throw py::error_already_set();
                        if (r) valid.append(p);
                    }
                }
                if (valid.empty()) throw py::index_error("list index out of range");
                first = valid[0];
            }
            py::object new_path = path.attr("join")(parent_dir, first, tokens["model"]);
            token_line(kind("model"), tokens["model"]);
            move(dir_path, new_path);
            new_package(path.attr("dirname")(new_path));
            token_line(kind("platform"), first);
            if (several && valid.size() >= 2) {
                for (py::handle p : valid) {
                    msg << "    or\n";
                    token_line(kind("platform"), p);
                }
            } else if (several) {
                tokens["platform"] = first;
            }
        } else if (is_type("model")) {
            token_line(kind("model"), tokens["model"]);
        }
    } else if (contains(tokens, "platform")) {
        token_line(kind("platform"), tokens["platform"]);
    } else if (contains(tokens, "unknown")) {
        py::object unknown = tokens["unknown"];
        token_line(token_type, unknown);
        msg << "    line " << line_no << ": Please ensure " << unknown << " is a valid "
            << token_type << "\n";
        py::dict own_level;
        own_level[token_type] = unknown;
        tokens = std::move(own_level);
    }

    msg_queue.attr("put")(msg.get());
    self.attr("token_paths")[dir_path] = tokens;
    return py::none();
}

}  // namespace tavox::cli::commands::migrate::abstract
