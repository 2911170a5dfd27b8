// tavox.cli.commands.migrate.abstract -- the Python passes: apply_python_fixes
// and apply_python_comments over a source as a list of lines, and a Python
// file's patch (FilePatch::python).
#include "patch.hpp"

#include "engine/text_scan.hpp"

#include <cctype>
#include <deque>
#include <string>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

namespace {

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
        // A str's own UTF-8 where it has one (the list keeps the str alive
        // while the lines are scanned); a copy for anything else.
        std::deque<std::string> copies;
        std::vector<std::string_view> views;
        views.reserve(lines.size());
        for (py::handle line : lines) {
            Py_ssize_t n = 0;
            const char *p =
                PyUnicode_Check(line.ptr()) ? PyUnicode_AsUTF8AndSize(line.ptr(), &n) : nullptr;
            if (p) {
                views.emplace_back(p, static_cast<size_t>(n));
                continue;
            }
            PyErr_Clear();
            views.emplace_back(copies.emplace_back(support::utf8(line)));
        }
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

}  // namespace

// ---- class MigrateAbstractCommand: applying suggestions -------------------------

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
        std::string comment = indentation(support::utf8(file_lines[static_cast<size_t>(at)]));
        comment.append(FIX_MARK).append(find).append(" -> ").append(replace);
        comment.append(break_for(file_lines, at));
        if (already_above(file_lines, at, comment)) continue;
        list_insert(file_lines, at, from_utf8(comment));
        slots.inserted(at);
        ++offset;
    }
    return py::make_tuple(file_lines, offset);
}

// ---- one Python file ---------------------------------------------------------------

// The file as a list of lines, the fix pass and then the comment pass.
// A byte-order mark stays the file's first bytes: it is no part of the
// first line, above which a comment may go.
void FilePatch::python() {
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
    auto pass = [&](const char *method, const py::object &tail, const char *item) {
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
}  // namespace tavox::cli::commands::migrate::abstract
