// tavox.cli.commands.migrate.abstract -- the checks of Python sources and
// package __init__.py files (see checks.cpp for what the checks share).
// Decoding and picking the lines a pattern can match at all run without the
// interpreter lock (unless the file is small); only the candidate lines
// become Python strings and meet the module's compiled patterns.
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

namespace {

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
        py::str line_no = py::str(py::int_(c.index + 1));
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
    py::str line_no = py::str(py::int_(found.index + 1));
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
