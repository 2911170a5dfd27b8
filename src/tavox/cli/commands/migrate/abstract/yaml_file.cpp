// tavox.cli.commands.migrate.abstract -- one YAML file patched
// (FilePatch::yaml): the native patcher (engine/yaml_patch.hpp) when the
// passes are the module's own, its edits made by the file's check when a
// run checked it natively; the round trip of the passes otherwise.  Every
// result is verified before it is written.
#include "patch.hpp"

#include "reading.hpp"
#include "yaml_native.hpp"

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

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
        py::object x = la[i], y = lb[i];
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

}  // namespace

// The native patcher, when the passes are the module's own; the round
// trip for what it hands over, and for passes of another's.
void FilePatch::yaml() {
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
        if (plan && plan->made_for(body, {fixes, comments}) &&
            plan->outcome() != YamlPatch::Outcome::HandOver)
            return patched(plan->patch(), bytes);
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

void FilePatch::patched(const YamlPatch &patch, const std::string &bytes) {
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

void FilePatch::duplicate_keys() {
    call.global("logger").attr("error")(concat("`", filepath, "` contains duplicate keys"));
    fail_msg = concat(fail_msg, "  - LOADING_FAILURE - duplicate keys\n");
}

// ruamel.yaml's round trip over the document; only the lines in which
// its dump changes reach the file, and none when none does.
void FilePatch::round_trip(const std::string &bytes) {
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
        } catch (py::error_already_set &) {
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
void FilePatch::write_verified(const std::string &bytes, const std::string &carried,
                               std::string dump) {
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

py::object FilePatch::dumper(const YamlIndent &form) const {
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

}  // namespace tavox::cli::commands::migrate::abstract
