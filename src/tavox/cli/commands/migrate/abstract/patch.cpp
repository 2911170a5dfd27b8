// tavox.cli.commands.migrate.abstract -- applying the suggestions of a check
// back to the file they name.
//
// YAML documents go through ruamel.yaml's round trip (quotes and comments
// kept); Python sources are handled as lists of lines.  Every change is
// marked by a comment beginning "* ABSTRACTION", which is also what keeps a
// second run from marking the same place twice.
//
// The methods belong to MigrateAbstractCommand; module.cpp binds them into
// the class in class order.  Files are only ever replaced whole: the new
// content is computed first, from the bytes read once, and replaces the file
// only if it still holds those bytes (support/files.hpp).  A YAML file gets
// only the lines that the change of its document changes (yaml_form.cpp).
#include "engine/text_scan.hpp"
#include "engine/yaml_form.hpp"
#include "engine/yaml_patch.hpp"
#include "reading.hpp"
#include "run.hpp"
#include "yaml_native.hpp"

#include "support/yaml_depth.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// ---- files -----------------------------------------------------------------

// OSError(errno, text): the subclass of its errno, with a text of our own
// instead of a file name.
[[noreturn]] void raise_explained(int err, const std::string &text) {
    py::object args = py::make_tuple(err, text);
    PyErr_SetObject(PyExc_OSError, args.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_changed(py::handle path) {
    raise(PyExc_RuntimeError,
          fmt("{!r} changed since it was checked; its suggestions were not applied", path));
}

// The file a message is for, as it is now: its bytes, read once.  While a
// run goes on, they must be the content its check read.
std::string read_source(py::handle filepath, const RunRecord::Checked *checked) {
    std::string where = fs_path(filepath), bytes;
    support::Fingerprint now;
    bool ok;
    int err;
    {
        support::Unlocked unlocked;
        ok = support::read_file(where, bytes);
        err = errno;
        if (ok && checked) now = support::fingerprint(bytes);
    }
    if (!ok) support::raise_os_error(err, filepath);
    if (checked && (!checked->read || checked->fingerprint != now)) raise_changed(filepath);
    return bytes;
}

}  // namespace

// Raises what stopped a replacement of the file at `path`; nothing for one
// that went through.
void check_replacement(py::handle path, const support::Replacement &r) {
    switch (r.outcome) {
    case support::Replacement::Written:
    case support::Replacement::Unchanged:
        return;
    case support::Replacement::Changed:
        raise_changed(path);
    case support::Replacement::Failed:
        break;
    }
    if (!r.directory.empty())
        raise_explained(r.err, std::strerror(r.err) + std::string(": the directory '") +
                                   r.directory +
                                   "' cannot be written, and a file is replaced through a new "
                                   "file written beside it");
    if (!r.kept.empty())
        raise_explained(r.err, std::strerror(r.err) + std::string(" while rewriting '") +
                                   utf8(path) + "' in place; its whole new content is in '" +
                                   r.kept + "'");
    support::raise_os_error(r.err, path);
}

namespace {

// Replace the file at `path` by `data`, whole or not at all, and only over
// the content it was computed from (`expected`), in the file it was read
// from (`id`, when known).
void replace_content(py::handle path, const std::string &data, const std::string &expected,
                     const support::FileId *id) {
    std::string where = fs_path(path);
    support::Replacement r;
    {
        support::Unlocked unlocked;
        r = support::replace_file(where, data, &expected, id);
    }
    check_replacement(path, r);
}

// The last step of a pass: `data`, the new content computed from the bytes
// `expected` that the check read (of the file `checked` describes, while a
// run goes on), replaces the file, or, when the run only previews its
// changes, is handed to the run instead.
void commit(RunRecord *run, const RunRecord::Checked *checked, py::handle path,
            const std::string &data, const std::string &expected) {
    if (run && run->preview) {
        if (data != expected) run->proposed(utf8(path), expected, data);
        return;
    }
    const support::FileId *id = checked && checked->read ? &checked->id : nullptr;
    if (run && run->batch && data != expected) {
        // Beside the file, to reach the disk with the others of its batch;
        // a file with several links is written on its own.
        std::string where = fs_path(path);
        support::Staged staged;
        {
            support::Unlocked unlocked;
            staged = support::stage_replacement(where, data, &expected, id);
        }
        if (staged.waiting()) return run->batch->stage(path, std::move(staged));
        if (!staged.in_place) return check_replacement(path, staged.result);
        run->batch->flush();
    }
    // The rename and the file's entry in the success log go together: no
    // Ctrl-C between them (the run lets it through once the entry is in).
    if (run && data != expected) run->hold_interrupts();
    replace_content(path, data, expected, id);
    if (run && data != expected) run->wrote(utf8(path));
}

// A text of the file's, as bytes in its encoding.
std::string encoded(py::handle text, py::handle encoding) {
    return py::bytes(text.attr("encode")(encoding));
}

// ---- YAML documents ----------------------------------------------------------

const char *const REPLACE_PATTERN = R"(^(?P<path>\S+):\s+(?P<token>\S+)(\s+->\s+(?P<new>\S+))?$)";
const char *const COMMENT_PATTERN =
    R"(^(?P<path>\S+):\s+Please ensure (?P<token>\S+) is a valid (?P<platform>\S+) platform$)";
const char *const MARKER = "* ABSTRACTION";

// Walk `keys` down from `node`.  A key of the document may itself contain
// dots (a device called "r1.lab"), so several path components may name one
// key: the components are joined until a key of the current mapping is found,
// trying the shorter names first and backing up when the rest of the path
// does not lead anywhere.  A key that is no text (a device called 1) is
// found by its text.
py::object child_named(py::handle node, const py::str &name, py::handle missing) {
    py::object child = node.attr("get")(name, missing);
    if (!child.is(missing)) return child;
    for (py::handle key : node)
        if (!py::isinstance<py::str>(key) && py::str(key).equal(name)) return node[key];
    return child;
}

bool walk(py::handle node, const std::vector<py::str> &keys, size_t from, py::handle missing,
          py::object &found, int &depth) {
    if (from == keys.size()) {
        found = py::reinterpret_borrow<py::object>(node);
        return true;
    }
    if (!py::hasattr(node, "get")) return false;  // a list or a scalar
    py::object name;
    for (size_t end = from; end < keys.size(); ++end) {
        name = end == from ? py::object(keys[end]) : py::str(name) + py::str(".") + keys[end];
        py::object child = child_named(node, name, missing);
        if (child.is(missing)) continue;
        int below = 0;
        if (walk(child, keys, end + 1, missing, found, below)) {
            depth = below + 1;
            return true;
        }
    }
    return false;
}

// def _get_obj(obj, keys, indent=0) -> Tuple[dict, int]:
// The mapping `keys` lead to and the indentation of a comment inside it, two
// blanks per level.  A path that leads nowhere in the document is an error:
// a change written into a mapping that is not part of the document would be
// lost while the file is reported as fixed.
std::pair<py::object, int> get_obj(py::handle obj, const std::vector<py::str> &keys) {
    py::object missing = builtin("object")();
    py::object found;
    int depth = 0;
    if (!walk(obj, keys, 0, missing, found, depth)) {
        py::list parts;
        for (const auto &k : keys) parts.append(k);
        PyErr_SetObject(PyExc_KeyError, py::str(".").attr("join")(parts).ptr());
        throw py::error_already_set();
    }
    return {found, 2 * depth};
}

// Whether any comment token among `x` (a token, a list of tokens, or None)
// carries the marker.
bool holds_marker(py::handle x) {
    if (x.is_none()) return false;
    if (py::isinstance<py::list>(x) || py::isinstance<py::tuple>(x)) {
        for (py::handle item : x)
            if (holds_marker(item)) return true;
        return false;
    }
    if (!py::hasattr(x, "value")) return false;
    py::object value = x.attr("value");
    return py::isinstance<py::str>(value) && value.contains(MARKER);
}

// Whether a line of a comment token (or of a list of them) carries the
// marker, indented by `min_col` blanks or more.
bool marker_from(py::handle x, long min_col) {
    if (x.is_none()) return false;
    if (py::isinstance<py::list>(x) || py::isinstance<py::tuple>(x)) {
        for (py::handle item : x)
            if (marker_from(item, min_col)) return true;
        return false;
    }
    if (!py::hasattr(x, "value")) return false;
    py::object value = x.attr("value");
    if (!py::isinstance<py::str>(value)) return false;
    std::string text = utf8(value);
    for (size_t from = 0; from < text.size();) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + from, end - from);
        size_t col = line.find_first_not_of(' ');
        if (col != std::string_view::npos && static_cast<long>(col) >= min_col &&
            line.find(MARKER) != std::string_view::npos)
            return true;
        from = end + 1;
    }
    return false;
}

py::object comment_data(py::handle node) {
    try {
        return node.attr("_yaml_comment");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        return py::none();  // a node without comment data
    }
}

// Whether the comments that stand after the last entry of a block
// collection (and after the last entries of the collections at its end)
// carry the marker at `min_col` or deeper.  ruamel keeps there the comment
// lines that a file holds above the key that follows such a collection.
bool tail_marked(py::handle node, long min_col, int depth = 0) {
    if (depth > 64) return false;
    py::object last;
    size_t slot;  // where ruamel keeps the comment after an entry
    if (py::hasattr(node, "keys") && py::hasattr(node, "get")) {
        py::list keys(node.attr("keys")());
        if (keys.empty()) return false;
        last = keys[keys.size() - 1];
        slot = 2;
    } else if (py::isinstance<py::list>(node)) {
        size_t n = py::len(node);
        if (n == 0) return false;
        last = py::int_(n - 1);
        slot = 0;
    } else {
        return false;
    }
    py::object ca = comment_data(node);  // none on a collection without comments
    if (!ca.is_none() && py::hasattr(ca, "items")) {
        py::object entry = ca.attr("items").attr("get")(last);
        if (py::isinstance<py::list>(entry) && py::len(entry) > slot &&
            marker_from(entry[py::int_(slot)], min_col))
            return true;
    }
    return tail_marked(node[last], min_col, depth + 1);
}

// The column of the mapping's keys in the file it was read from (0 when
// the mapping was not read from a file).
long key_column(py::handle tmp_obj) {
    try {
        py::object col = tmp_obj.attr("lc").attr("col");
        if (py::isinstance<py::int_>(col)) return col.cast<long>();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
    }
    return 0;
}

// Whether the mapping already carries a marker comment: above any of its
// keys, or above its first key (which ruamel keeps apart from the others),
// also where ruamel keeps the lines above a key that follows a nested block
// (after that block's last entry).  Comments it holds for the mappings
// below it are not its own.
bool mapping_marked(py::handle tmp_obj) {
    py::object ca = comment_data(tmp_obj);
    if (!ca.is_none()) {
        if (holds_marker(ca.attr("comment"))) return true;
        for (py::handle group : ca.attr("items").attr("values")()) {
            if (!py::isinstance<py::list>(group)) continue;
            py::list entries = py::reinterpret_borrow<py::list>(group);
            for (size_t i = 0; i < entries.size() && i < 3; ++i)
                if (holds_marker(entries[i])) return true;
        }
    }
    if (!py::hasattr(tmp_obj, "values")) return false;
    long col = key_column(tmp_obj);
    for (py::handle value : tmp_obj.attr("values")())
        if (tail_marked(value, col)) return true;
    return false;
}

// def _add_yaml_comment(tmp_obj, indent, ...):
void add_yaml_comment(py::handle tmp_obj, int indent, py::handle key, const py::str &text) {
    if (mapping_marked(tmp_obj)) return;
    tmp_obj.attr("yaml_set_comment_before_after_key")(key, py::arg("before") = text,
                                                      py::arg("indent") = indent);
}

// Whether `current`, a value of the document, already is `value`: equal,
// or a scalar that reads as that text (a model written as a number).
bool same_value(py::handle current, py::handle value) {
    if (current.equal(value)) return true;
    if (py::isinstance<py::list>(current) || py::isinstance<py::dict>(current)) return false;
    return py::str(current).equal(value);
}

// Whether the mapping holds `value` under `key` already.
bool holds(py::handle tmp_obj, py::handle key, py::handle value) {
    py::object missing = builtin("object")();
    py::object current = tmp_obj.attr("get")(key, missing);
    return !current.is(missing) && same_value(current, value);
}

// tmp_obj[key] = new, for a value that replaces `token`.  In a list (a
// group's platforms) only the entries equal to `token` are replaced, so the
// other entries stay.  A value the document holds already is not written
// again.  Returns whether anything changed.
bool set_value(py::handle tmp_obj, py::handle key, py::handle token, py::handle value) {
    py::object missing = builtin("object")();
    py::object current = tmp_obj.attr("get")(key, missing);
    if (!current.is(missing) && py::isinstance<py::list>(current)) {
        bool changed = false;
        py::list entries = py::reinterpret_borrow<py::list>(current);
        for (size_t i = 0; i < entries.size(); ++i) {
            if (py::str(entries[i]).equal(token) && !same_value(entries[i], value)) {
                entries[i] = value;
                changed = true;
            }
        }
        return changed;
    }
    if (!current.is(missing) && same_value(current, value)) return false;
    tmp_obj[key] = value;
    return true;
}

// The key path of a suggestion: the mapping keys down to the one named last.
struct KeyPath {
    std::vector<py::str> path;
    py::object key;
};

KeyPath parse_path(py::handle match) {
    KeyPath s;
    py::list parts = match.attr("group")("path").attr("split")(".");
    s.key = parts.attr("pop")();
    for (py::handle p : parts) s.path.push_back(py::reinterpret_borrow<py::str>(p));
    return s;
}

// ---- Python sources ------------------------------------------------------------

const char *const FIND_REPLACE =
    R"(^line (?P<line_no>\d+): +(?P<find>\S+) +-> +(?P<replace>\S+)$)";
const char *const ENSURE_PATTERN = R"(^line +(?P<line_no>\d+): +(?P<msg>Please ensure.*)$)";
const char *const FIX_MARK = "# * ABSTRACTION:TOKEN_CHANGE - ";
const char *const CHECK_MARK = "# * ABSTRACTION:TOKEN_CHECK - ";

// A character that can belong to a token value or to a name around it;
// bytes of non-ASCII characters count as such.
bool token_char(unsigned char c) {
    return c >= 0x80 || std::isalnum(c) || c == '_' || c == '.' || c == '-';
}

// Every occurrence of `find` that stands as a whole token (the value of a
// literal, between quotes, or a bare word) replaced by `replace`; a text
// that merely contains it ('zel_ap' or `capture` for "ap") is left alone.
// A call (`declare_token(__name__)`) is whole also after a dot: reached
// through a module or an object (`abstract.declare_token(__name__)`), it
// is still that call.
std::string replace_token(const std::string &line, const std::string &find,
                          const std::string &replace) {
    if (find.empty()) return line;
    const bool call = find.back() == ')' && find.find('(') != std::string::npos;
    auto bounds = [&](size_t at) {
        if (at == 0) return true;
        unsigned char before = static_cast<unsigned char>(line[at - 1]);
        return !token_char(before) || (call && before == '.');
    };
    std::string out;
    size_t from = 0;
    for (size_t at = line.find(find); at != std::string::npos; at = line.find(find, at)) {
        size_t end = at + find.size();
        bool whole = bounds(at) &&
                     (end == line.size() || !token_char(static_cast<unsigned char>(line[end])));
        if (!whole) {
            ++at;
            continue;
        }
        out.append(line, from, at - from).append(replace);
        from = at = end;
    }
    return out.append(line, from, std::string::npos);
}

py::object list_item(const py::list &lines, Py_ssize_t index) {
    if (index < 0 || index >= static_cast<Py_ssize_t>(lines.size())) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw py::error_already_set();
    }
    return lines[static_cast<size_t>(index)];
}

void list_insert(const py::list &lines, Py_ssize_t index, py::handle item) {
    if (PyList_Insert(lines.ptr(), index, item.ptr()) != 0) throw py::error_already_set();
}

// The line break a line ends with ("" for a last line without one).
std::string ending_of(const std::string &line) {
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) return "\r\n";
    if (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        return std::string(1, line.back());
    return "";
}

std::string without_ending(const std::string &line) {
    return line.substr(0, line.size() - ending_of(line).size());
}

// The line break for a comment inserted above the line at `index`: the one
// the file uses there, so that a CRLF file stays CRLF.
std::string break_for(const py::list &lines, Py_ssize_t index) {
    std::string end = ending_of(support::utf8(lines[static_cast<size_t>(index)]));
    if (end.empty() && index > 0)
        end = ending_of(support::utf8(lines[static_cast<size_t>(index - 1)]));
    return end.empty() ? "\n" : end;
}

// The indentation of a line, as `^\s*` finds it: the characters from its
// start for which str.isspace() holds (a form feed too).  The one definition
// the markers are written with and recognised by.  A byte that is no UTF-8
// (a surrogate the line was decoded with) ends it.
size_t indent_length(std::string_view line) {
    size_t i = 0;
    while (i < line.size()) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        size_t len = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 0;
        if (len == 0 || i + len > line.size()) break;
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            unsigned char cont = static_cast<unsigned char>(line[i + k]);
            if ((cont & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (cont & 0x3F);
        }
        if (!Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(cp))) break;
        i += len;
    }
    return i;
}

std::string indentation(const std::string &line) { return line.substr(0, indent_length(line)); }

bool is_marker_line(const std::string &line) {
    return line.compare(indent_length(line), 15, "# * ABSTRACTION") == 0;
}

// Whether `comment` already stands directly above the line at `index`,
// among the marker comments stacked there.  The line 1 has nothing above it.
bool already_above(const py::list &lines, Py_ssize_t index, const std::string &comment) {
    std::string wanted = without_ending(comment);
    for (Py_ssize_t i = index - 1; i >= 0; --i) {
        std::string above = support::utf8(lines[static_cast<size_t>(i)]);
        if (!is_marker_line(above)) return false;
        if (without_ending(above) == wanted) return true;
    }
    return false;
}

// Where a comment may stand in `lines` (comment_slots), kept in step with
// the lines inserted.
class Slots {
public:
    explicit Slots(const py::list &lines) {
        std::vector<std::string> texts;
        texts.reserve(lines.size());
        for (py::handle line : lines) texts.push_back(support::utf8(line));
        std::vector<std::string_view> views(texts.begin(), texts.end());
        slots_ = comment_slots(views);
    }
    // The first line of the statement that holds the line at `index`: where
    // a comment about that line goes; -1 when there is no such place (a line
    // the shebang or the encoding declaration holds).
    Py_ssize_t above(Py_ssize_t index) const {
        if (index >= static_cast<Py_ssize_t>(slots_.size())) return index;
        while (index >= 0 && !slots_[static_cast<size_t>(index)]) --index;
        return index;
    }
    // A comment line inserted at `index` (a slot, as is the line it pushes down).
    void inserted(Py_ssize_t index) {
        slots_.insert(slots_.begin() + std::min(index, static_cast<Py_ssize_t>(slots_.size())), 1);
    }

private:
    std::vector<char> slots_;
};

// The lines of a file, changed in place: a list and nothing else.
py::list lines_arg(py::handle value) {
    if (!PyList_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "file_lines must be a list, not %.100s",
                     Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::list>(value);
}

// An integer argument, as list indexing takes it.
Py_ssize_t index_arg(py::handle value) {
    Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

// The 0-based line number of a suggestion ("line N" counts from 1).  There
// is no line 0: it must not count from the end of the file.
Py_ssize_t line_index(py::handle match) {
    py::int_ n(match.attr("group")("line_no"));
    Py_ssize_t value = PyLong_AsSsize_t(n.ptr());
    if ((value == -1 && PyErr_Occurred()) || value < 1) {
        PyErr_Clear();
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw py::error_already_set();
    }
    return value - 1;
}

// The suggestions among `msg_lines` that `wanted` matches, each taken off
// the list and handed to `apply` with the mapping of `obj` its key path leads to and
// the indentation of a comment there.  A line that neither pattern matches
// is logged; one that only `other` matches is left for the other pass.
template <class Apply>
void each_suggestion(const support::Call &call, py::handle obj, py::handle msg_lines,
                     const char *wanted, const char *other, Apply apply) {
    py::object logger = call.global("logger");
    py::object re = call.global("re");
    py::object wanted_pattern = re.attr("compile")(wanted);
    py::object other_pattern = re.attr("compile")(other);
    for (py::handle line : py::list(msg_lines.attr("copy")())) {
        py::object strp_line = line.attr("strip")();
        py::object m = wanted_pattern.attr("match")(strp_line);
        if (m.is_none()) {
            if (other_pattern.attr("match")(strp_line).is_none())
                logger.attr("warning")(py::str("Could not parse line: ") + strp_line);
            continue;
        }
        msg_lines.attr("remove")(line);
        KeyPath s = parse_path(m);
        auto [tmp_obj, indent] = get_obj(obj, s.path);
        apply(m, tmp_obj, indent, s.key);
    }
}

}  // namespace

// ---- class MigrateAbstractCommand: applying suggestions -------------------------

// def apply_yaml_fix(self, obj, msg_lines):
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_yaml_fix, "MigrateAbstractCommand.apply_yaml_fix",
                 "self, obj, msg_lines", nullptr) {
    call.global("logger").attr("debug")("Applying fix");
    each_suggestion(
        call, TAVOX_ARG(obj), TAVOX_ARG(msg_lines), REPLACE_PATTERN, COMMENT_PATTERN,
        [](py::handle m, py::handle tmp_obj, int indent, py::handle key) {
            py::object token = m.attr("group")("token"), new_ = m.attr("group")("new");
            // A value the file holds already ("model: q9300 -> q9300" once
            // the model was added) changes nothing and gets no marker.
            if (truth(new_)) {
                if (set_value(tmp_obj, key, token, new_))
                    add_yaml_comment(tmp_obj, indent, key,
                                     concat("* ABSTRACTION:TOKEN_CHANGE - ", key, " -> ", new_));
            } else if (!holds(tmp_obj, key, token)) {
                tmp_obj[key] = token;
                add_yaml_comment(tmp_obj, indent, key,
                                 concat("* ABSTRACTION:TOKEN_ADDITION - ", key, ": ", token));
            }
        });
    return py::reinterpret_borrow<py::object>(TAVOX_ARG(obj));
}

// def apply_yaml_comment(self, obj, msg_lines):
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_yaml_comment,
                 "MigrateAbstractCommand.apply_yaml_comment", "self, obj, msg_lines", nullptr) {
    call.global("logger").attr("debug")("Applying comment");
    each_suggestion(call, TAVOX_ARG(obj), TAVOX_ARG(msg_lines), COMMENT_PATTERN, REPLACE_PATTERN,
                    [](py::handle m, py::handle tmp_obj, int indent, py::handle key) {
                        add_yaml_comment(tmp_obj, indent, key,
                                         concat("* ABSTRACTION:TOKEN_CHECK - Please ensure ",
                                                m.attr("group")("token"), " is a valid ",
                                                m.attr("group")("platform"), " platform"));
                    });
    return py::reinterpret_borrow<py::object>(TAVOX_ARG(obj));
}

// def apply_python_comments(self, file_lines, msg_lines, offset=0):
//
// A comment goes directly above the line it names, numbered as in the
// checked file, or, when that line continues a statement (inside a string
// that spans lines, after a backslash), above the statement's first line.
// The named line now stands at its number - 1 plus the number of lines
// inserted above it.  The fix pass may have inserted comments above and
// below the lines named here; the `offset` it hands on counts them all, so
// the fix comments of this message are located first (each stands in the
// stack of markers above the first line of the statement it changed), and
// only those above a line move it.  Whatever part of `offset` they do not
// account for is taken to stand above every line.
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_python_comments,
                 "MigrateAbstractCommand.apply_python_comments",
                 "self, file_lines, msg_lines, offset=0", nullptr) {
    py::list file_lines = lines_arg(TAVOX_ARG(file_lines));
    py::list msg_lines(py::reinterpret_borrow<py::object>(TAVOX_ARG(msg_lines)));  // read twice
    Py_ssize_t offset = index_arg(TAVOX_ARG(offset));
    py::object re = call.global("re");
    py::object find_replace = re.attr("compile")(FIND_REPLACE);
    py::object ensure_pattern = re.attr("compile")(ENSURE_PATTERN);
    const Py_ssize_t size = static_cast<Py_ssize_t>(file_lines.size());
    Slots slots(file_lines);
    auto text_at = [&](Py_ssize_t i) {
        return without_ending(support::utf8(file_lines[static_cast<size_t>(i)]));
    };

    // Checked-file line numbers (0-based) of the statements above which a
    // fix comment was inserted, one per comment, in order.  With k of them
    // found, the next one stands k lines below the first line of its
    // statement as checked, and `later` more of this message's comments may
    // stand between it and that line.
    std::vector<Py_ssize_t> fixed_above;
    for (py::handle line : msg_lines) {
        const Py_ssize_t k = static_cast<Py_ssize_t>(fixed_above.size());
        if (k >= offset) break;
        py::object m = find_replace.attr("match")(line.attr("strip")());
        if (m.is_none()) continue;
        Py_ssize_t n = line_index(m);
        std::string mark = std::string(FIX_MARK) + support::utf8(m.attr("group")("find")) +
                           " -> " + support::utf8(m.attr("group")("replace"));
        for (Py_ssize_t later = 0; k + 1 + later <= offset; ++later) {
            Py_ssize_t first = slots.above(n + k + 1 + later);  // the statement, as it stands
            Py_ssize_t at = first - 1 - later;
            if (first >= size || at < 0) break;
            bool stacked = true;
            for (Py_ssize_t i = at + 1; i < first && stacked; ++i)
                stacked = is_marker_line(text_at(i));
            if (!stacked) break;  // nor can a stack further up be this one's
            if (text_at(at) == indentation(text_at(first)) + mark) {
                fixed_above.push_back(first - (k + 1 + later));
                break;
            }
        }
    }
    Py_ssize_t everywhere = offset - static_cast<Py_ssize_t>(fixed_above.size());

    std::vector<Py_ssize_t> commented_above;  // statements that got a check comment
    auto inserted_above = [&](Py_ssize_t n) {
        Py_ssize_t count = everywhere;
        for (Py_ssize_t f : fixed_above) count += f <= n;
        for (Py_ssize_t c : commented_above) count += c <= n;
        return count;
    };

    for (py::handle item : msg_lines) {
        py::object line = item.attr("strip")();
        py::object m = ensure_pattern.attr("match")(line);
        if (m.is_none()) continue;
        Py_ssize_t line_no = line_index(m);
        Py_ssize_t named = line_no + inserted_above(line_no);
        list_item(file_lines, named);  // a line beyond the file is an error
        Py_ssize_t at = slots.above(named);
        if (at < 0) continue;  // no place for a comment about it
        std::string comment = indentation(text_at(at)) + CHECK_MARK +
                              support::utf8(m.attr("group")("msg")) + break_for(file_lines, at);
        if (already_above(file_lines, at, comment)) continue;
        list_insert(file_lines, at, from_utf8(comment));
        slots.inserted(at);
        commented_above.push_back(line_no - (named - at));
        ++offset;
    }
    return py::make_tuple(file_lines, offset);
}

// def apply_python_fixes(self, file_lines, msg_lines, offset=0):
//
// The token is replaced on the line named, and a comment saying so goes
// directly above it, or above the first line of its statement when it
// continues one.  A suggestion that changes nothing (the token is not on
// the line as a whole token, or is replaced by itself) writes nothing, no
// comment either; nor does one that names a line no comment may stand
// above (the shebang or the encoding declaration).
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_python_fixes,
                 "MigrateAbstractCommand.apply_python_fixes",
                 "self, file_lines, msg_lines, offset=0", nullptr) {
    py::list file_lines = lines_arg(TAVOX_ARG(file_lines));
    py::handle msg_lines = TAVOX_ARG(msg_lines);
    Py_ssize_t offset = index_arg(TAVOX_ARG(offset));
    py::object find_replace = call.global("re").attr("compile")(FIND_REPLACE);
    Slots slots(file_lines);

    for (py::handle item : msg_lines) {
        py::object m = find_replace.attr("match")(item.attr("strip")());
        if (m.is_none()) continue;
        Py_ssize_t line_no = line_index(m);
        std::string find = support::utf8(m.attr("group")("find"));
        std::string replace = support::utf8(m.attr("group")("replace"));
        Py_ssize_t named = line_no + offset;
        std::string before = support::utf8(list_item(file_lines, named));
        std::string text = replace_token(before, find, replace);
        Py_ssize_t at = slots.above(named);
        if (text == before || at < 0) continue;
        file_lines[static_cast<size_t>(named)] = from_utf8(text);
        std::string comment = indentation(support::utf8(file_lines[static_cast<size_t>(at)])) +
                              FIX_MARK + find + " -> " + replace + break_for(file_lines, at);
        if (already_above(file_lines, at, comment)) continue;
        list_insert(file_lines, at, from_utf8(comment));
        slots.inserted(at);
        ++offset;
    }
    return py::make_tuple(file_lines, offset);
}

// ---- one message applied to its file -------------------------------------------

namespace {

// A dumped document given the byte-order mark and the line breaks of the
// file it replaces (the dumper writes neither).
std::string in_file_form(const std::string &dump, std::string_view file) {
    std::string out;
    if (file.substr(0, 3) == "\xEF\xBB\xBF" && dump.compare(0, 3, "\xEF\xBB\xBF") != 0)
        out = "\xEF\xBB\xBF";
    size_t brk = file.find_first_of("\r\n");
    bool crlf = brk != std::string_view::npos && file.substr(brk, 2) == "\r\n";
    for (char c : dump) {
        if (c == '\n' && crlf) out += '\r';
        out += c;
    }
    return out;
}

// Whether self.<name> is the module's own method, bound to self.
bool own_method(py::handle self, const char *name, const support::FnDef &def) {
    py::object bound = self.attr(name);
    if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != self.ptr()) return false;
    PyObject *f = PyMethod_GET_FUNCTION(bound.ptr());  // borrowed
    return Py_TYPE(f) == support::detail::function_type() &&
           reinterpret_cast<support::FunctionObject *>(f)->def == &def;
}

// Whether the native patcher stands for the YAML passes: they, the YAML
// class and the duplicate-key error are the module's own, and files read
// as UTF-8.  A subclass that overrides a pass gets the round trip, with the
// document's objects as before.
bool own_yaml_passes(const support::Call &call, py::handle self) {
    if (default_encoding() != "utf-8" ||
        !own_method(self, "apply_yaml_fix", MigrateAbstractCommand_apply_yaml_fix) ||
        !own_method(self, "apply_yaml_comment", MigrateAbstractCommand_apply_yaml_comment))
        return false;
    return call.global("YAML").is(py::module_::import("ruamel.yaml").attr("YAML")) &&
           call.global("DuplicateKeyError")
               .is(py::module_::import("ruamel.yaml.constructor").attr("DuplicateKeyError"));
}

// The representation graph of a YAML text as the safe loader composes it
// (implicit tags resolved, an alias as the node it names); none when the
// text does not compose.
py::object composed(const std::string &text) {
    py::object yaml = py::module_::import("yaml");
    py::object loader =
        py::hasattr(yaml, "CSafeLoader") ? yaml.attr("CSafeLoader") : yaml.attr("SafeLoader");
    try {
        return yaml.attr("compose")(from_utf8(text), py::arg("Loader") = loader);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return py::object();
}

// Whether two composed graphs hold the same data: the same tags, scalar
// values, and collections of such, in order.
bool same_graph(py::handle a, py::handle b, std::set<std::pair<PyObject *, PyObject *>> &seen,
                int depth) {
    if (!a || !b || depth > 10000) return false;
    if (a.is_none() || b.is_none()) return a.is_none() && b.is_none();
    if (Py_TYPE(a.ptr()) != Py_TYPE(b.ptr()) || !a.attr("tag").equal(b.attr("tag"))) return false;
    py::object va = a.attr("value"), vb = b.attr("value");
    if (PyUnicode_Check(va.ptr())) return va.equal(vb);
    if (!seen.insert({a.ptr(), b.ptr()}).second) return true;  // met through an alias
    py::list la(va), lb(vb);
    if (la.size() != lb.size()) return false;
    for (size_t i = 0; i < la.size(); ++i) {
        py::handle x = la[i], y = lb[i];
        if (PyTuple_Check(x.ptr())) {
            if (!PyTuple_Check(y.ptr()) ||
                !same_graph(x[py::int_(0)], y[py::int_(0)], seen, depth + 1) ||
                !same_graph(x[py::int_(1)], y[py::int_(1)], seen, depth + 1))
                return false;
        } else if (!same_graph(x, y, seen, depth + 1)) {
            return false;
        }
    }
    return true;
}

bool same_graph(py::handle a, py::handle b) {
    std::set<std::pair<PyObject *, PyObject *>> seen;
    return same_graph(a, b, seen, 0);
}

// Only the lines before the first header at the left margin belong to the
// message's own file: a message may go on with the suggestions for other
// files (the new __init__.py files of an init message), each under a header
// line of its own.  Nothing else ends them: splitlines() also breaks a line
// at characters that a suggested value may hold (\x1c, \x85, ...), and such
// a piece is skipped as a line that does not parse, costing no other line.
py::list own_lines(const py::list &msg_lines) {
    static const std::string header_end = "__init__.py:";
    py::list own;
    for (py::handle line : msg_lines) {
        std::string text = support::utf8(line);
        bool header =
            !text.empty() && text[0] != ' ' && text[0] != '\t' &&
            text.size() >= header_end.size() &&
            text.compare(text.size() - header_end.size(), header_end.size(), header_end) == 0;
        if (header) break;
        own.append(line);
    }
    return own;
}

// The passes over one file, with the items they add to its success and
// failure messages.
struct FilePatch {
    const support::Call &call;
    py::handle self;
    RunRecord *run;
    const RunRecord::Checked *checked;  // what the run's check read, while a run goes on
    py::object filepath;
    py::list msg_lines;
    bool fixes, comments;
    py::str encoding;
    py::object succ_msg, fail_msg;

    // The native patcher, when the passes are the module's own; the round
    // trip for what it hands over, and for passes of another's.
    void yaml() {
        std::string bytes = read_source(filepath, checked);
        if (own_yaml_passes(call, self)) {
            std::vector<std::string> lines;
            std::string body;
            for (py::handle line : msg_lines) {
                lines.push_back(utf8(line));
                body.append(lines.back()).push_back('\n');
            }
            // The check's own patch, when it was made for this very message
            // and these passes: read_source made sure the file is what the
            // check read.
            const YamlPlan *plan = checked ? checked->plan.get() : nullptr;
            if (plan && plan->lines == body && plan->patching.fixes == fixes &&
                plan->patching.comments == comments &&
                plan->patch.outcome != YamlPatch::Outcome::HandOver)
                return patched(plan->patch, bytes);
            YamlPatch patch;
            {
                support::Unlocked unlocked;
                patch = patch_yaml(bytes, lines, fixes, comments);
            }
            if (patch.outcome != YamlPatch::Outcome::HandOver) return patched(patch, bytes);
            call.global("logger").attr("debug")(
                concat(filepath, ": patched through the round trip (", patch.reason, ")"));
        }
        round_trip(bytes);
    }

    void patched(const YamlPatch &patch, const std::string &bytes) {
        py::object logger = call.global("logger");
        if (patch.outcome == YamlPatch::Outcome::DuplicateKeys) return duplicate_keys();
        for (const YamlPatch::Note &note : patch.log)
            logger.attr(note.warning ? "warning" : "debug")(from_utf8(note.text));
        if (!patch.edits.empty()) {
            std::string text;
            {
                support::Unlocked unlocked;
                text = edited(bytes, patch.edits);
            }
            commit(run, checked, filepath, text, bytes);
        }
        if (fixes) succ_msg = concat(succ_msg, "  - FIXES_APPLIED\n");
        if (comments) succ_msg = concat(succ_msg, "  - COMMENTS_ADDED\n");
    }

    void duplicate_keys() {
        call.global("logger").attr("error")(concat("`", filepath, "` contains duplicate keys"));
        fail_msg = concat(fail_msg, "  - LOADING_FAILURE - duplicate keys\n");
    }

    // ruamel.yaml's round trip over the document; only the lines in which
    // its dump changes reach the file, and none when none does.
    void round_trip(const std::string &bytes) {
        // The text as stored (line breaks untranslated), and the stream the
        // document is loaded from, which reads as the open file would.
        std::string text = utf8(py::bytes(bytes).attr("decode")(encoding));
        YamlIndent form;
        {
            support::Unlocked unlocked;
            form = detect_indent(text);
        }
        py::object yaml = dumper(form);
        py::object obj;
        {
            OpenFile file(text_stream(bytes));
            try {
                obj = yaml.attr("load")(*file);
            } catch (py::error_already_set &e) {
                if (!e.matches(call.global("DuplicateKeyError"))) throw;
                return duplicate_keys();
            }
        }
        auto dumped = [&]() {
            py::object buffer = py::module_::import("io").attr("StringIO")();
            yaml.attr("dump")(obj, buffer);
            return utf8(buffer.attr("getvalue")());
        };
        const std::string before = dumped();
        auto write = [&]() {
            std::string after = dumped(), out;
            {
                support::Unlocked unlocked;
                out = carry_over(text, before, after);
            }
            if (out != text) write_verified(bytes, out, after);
        };
        // Each pass ends with the document written.  When the comment pass
        // follows the fix pass, one write at its end gives the same file; the
        // fixed document is written on its own only if the comment pass fails.
        if (fixes) {
            obj = self.attr("apply_yaml_fix")(obj, msg_lines);
            if (!comments) write();
            succ_msg = concat(succ_msg, "  - FIXES_APPLIED\n");
        }
        if (comments) {
            try {
                obj = self.attr("apply_yaml_comment")(obj, msg_lines);
            } catch (...) {
                if (fixes) write();
                throw;
            }
            write();
            succ_msg = concat(succ_msg, "  - COMMENTS_ADDED\n");
        }
    }

    // The round trip's result reaches the file only if it reads back as the
    // dumped document: the file's own text with the changed lines carried
    // over, when it holds the dump's data and its markers above the same
    // keys; else the dump itself, which is said in a warning; else nothing.
    void write_verified(const std::string &bytes, const std::string &carried, std::string dump) {
        py::object want = composed(dump);
        if (want && same_graph(composed(carried), want) &&
            marker_places(carried) == marker_places(dump))
            return commit(run, checked, filepath, encoded(from_utf8(carried), encoding), bytes);
        if (!want)
            raise(PyExc_RuntimeError,
                  fmt("{!r}: its patched document does not read back; the file was not written",
                      filepath));
        call.global("logger").attr("warning")(
            fmt("{!r}: its own layout could not be kept with these changes; it is written as "
                "the YAML dumper lays it out",
                filepath));
        {
            support::Unlocked unlocked;
            dump = in_file_form(dump, bytes);
        }
        commit(run, checked, filepath, encoded(from_utf8(dump), encoding), bytes);
    }

    py::object dumper(const YamlIndent &form) const {
        py::object yaml = call.global("YAML")();
        yaml.attr("preserve_quotes") = true;
        // Duplicate keys are refused: accepting them would keep only one of
        // the values and lose the others when the document is written back.
        yaml.attr("allow_duplicate_keys") = false;
        // Dumped as close to the file as ruamel goes: its indentation, no
        // folding of long lines.
        yaml.attr("width") = 1 << 30;
        yaml.attr("indent")(py::arg("mapping") = form.mapping, py::arg("sequence") = form.sequence,
                            py::arg("offset") = form.offset);
        return yaml;
    }

    // The file as a list of lines, the fix pass and then the comment pass.
    // A byte-order mark stays the file's first bytes: it is no part of the
    // first line, above which a comment may go.
    void python() {
        std::string bytes = read_source(filepath, checked);
        // Lines as they stand in the file, line breaks untranslated, as
        // readlines() of the file opened with newline="" gives them.
        py::str text = py::bytes(bytes).attr("decode")(encoding);
        py::str bom("\ufeff");
        bool marked = truth(text.attr("startswith")(bom));
        if (marked) text = text.attr("removeprefix")(bom);
        py::list file_lines = py::module_::import("io")
                                  .attr("StringIO")(text, py::arg("newline") = "")
                                  .attr("readlines")();
        py::object offset = py::int_(0);
        auto pass = [&](const char *method, py::object tail, const char *item) {
            py::list pre_lines = file_lines.attr("copy")();
            py::tuple result = tail.is_none() ? self.attr(method)(file_lines, msg_lines)
                                              : self.attr(method)(file_lines, msg_lines, tail);
            file_lines = result[0];
            offset = result[1];
            if (!file_lines.equal(pre_lines)) succ_msg = concat(succ_msg, item);
        };
        if (fixes) pass("apply_python_fixes", py::none(), "  - FIXES_ADDED\n");
        if (comments) pass("apply_python_comments", offset, "  - COMMENTS_ADDED\n");
        py::object out = py::str("").attr("join")(file_lines);
        commit(run, checked, filepath, encoded(marked ? concat(bom, out) : out, encoding), bytes);
    }
};

}  // namespace

// def apply_patches(self, patch_type, msg, success_queue, failer_queue):
//
// The message's first line names its file: the whole line less its final
// ":" as a check writes it.  While a run goes on, a message is applied only
// to a file one of its checks read, only if the file still holds what the
// check read, and a real file (links lead to one) at most once; each refusal
// is an exception, which the run reports as a failure item for the file.
TAVOX_DEF_SHARED(MigrateAbstractCommand_apply_patches, "MigrateAbstractCommand.apply_patches",
                 "self, patch_type, msg, success_queue, failer_queue", nullptr) {
    py::handle self = TAVOX_ARG(self), patch_type = TAVOX_ARG(patch_type);
    py::object FileTypes = call.global("FileTypes");

    py::list msg_lines = TAVOX_ARG(msg).attr("splitlines")();
    std::string first = utf8(msg_lines.attr("pop")(0));
    RunRecord *run = RunRecord::of(self);
    const std::string *tied = run ? run->tie(first) : nullptr;
    py::object filepath = call.global("os").attr("path").attr("abspath")(
        from_utf8(tied ? *tied : header_path(first)));
    py::object empty = concat(filepath, ":\n");

    bool fixes = truth(self.attr("apply_fixes_flag"));
    bool comments = truth(self.attr("apply_comments_flag"));
    bool is_yaml = patch_type.equal(FileTypes.attr("YAML"));
    bool is_python = patch_type.equal(FileTypes.attr("PYTHON"));

    const RunRecord::Checked *checked = nullptr;
    if (run && (fixes || comments) && (is_yaml || is_python)) {
        if (!tied)
            raise(PyExc_RuntimeError,
                  fmt("{!r} is not a file this run has checked; its suggestions were not applied",
                      filepath));
        checked = run->find(*tied);
        // A link that leads out of the repository (anyone who may add a file
        // to a shared tree may plant one) is checked and reported, never
        // followed to rewrite what it leads to; nor is what is no regular
        // file (a device, a pipe).
        std::string where = fs_path(filepath);
        std::string real = run->outside(where);
        if (!real.empty())
            raise(PyExc_RuntimeError,
                  fmt("{!r} is a link to {!r}, outside the repository; it is not rewritten",
                      filepath, from_utf8(real)));
        struct stat st {};
        if (::stat(where.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            raise(PyExc_RuntimeError,
                  fmt("{!r} is not a regular file; it is not rewritten", filepath));
        // Nor is a document nested deeper than any loader may go handed to
        // the patcher's loader.
        if (checked->too_deep)
            raise(PyExc_RuntimeError,
                  fmt("{!r} nests its collections deeper than {} levels; it is not loaded",
                      filepath, support::MAX_YAML_DEPTH));
        if (checked->read) {
            if (const std::string *earlier = run->patched_through(checked->id))
                raise(PyExc_RuntimeError,
                      fmt("{!r} is the same file as {!r}, which this run has patched already",
                          filepath, from_utf8(*earlier)));
        }
    }

    FilePatch patch{call,    self,     run,
                    checked, filepath, own_lines(msg_lines),
                    fixes,   comments, py::str(default_encoding()),
                    empty,   empty};
    if (fixes || comments) {
        if (is_yaml) patch.yaml();
        if (is_python) patch.python();
    }

    // Only a patch that went through, even in part, makes the file's other
    // names "patched already": after a failure each is tried on its own.
    bool failed = !patch.fail_msg.equal(empty), succeeded = !patch.succ_msg.equal(empty);
    if (checked && checked->read && (succeeded || !failed))
        run->patched(checked->id, utf8(filepath));
    Batch *batch = run ? run->batch : nullptr;
    if (succeeded) {
        if (batch) batch->success(TAVOX_ARG(success_queue), patch.succ_msg);
        else TAVOX_ARG(success_queue).attr("put")(patch.succ_msg);
    }
    if (failed) {
        if (batch) batch->flush();
        TAVOX_ARG(failer_queue).attr("put")(patch.fail_msg);
        return py::bool_(false);
    }
    if (fixes || comments) return py::bool_(true);
    return py::none();
}

}  // namespace tavox::cli::commands::migrate::abstract
