// tavox.cli.commands.migrate.abstract -- the YAML passes: apply_yaml_fix
// and apply_yaml_comment over the document of ruamel.yaml's round trip
// (quotes and comments kept).  Every change is marked by a comment
// beginning "* ABSTRACTION", which is also what keeps a second run from
// marking the same place twice.  How a YAML file is patched: yaml_file.cpp.
#include "patch.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

namespace {

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
    return py::isinstance<py::str>(value) && contains(value, MARKER);
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

}  // namespace tavox::cli::commands::migrate::abstract
