// tavox.cli.commands.migrate.abstract -- looking at a run's changes before,
// or instead of, making them: --diff prints them as a unified diff that
// `git apply` takes, --report writes what the run found (and did) as JSON,
// --check makes the exit status say whether anything is left to do.
//
// The diff is made from the very contents the patcher computed: with --diff
// the patcher hands each new content to the run instead of replacing the
// file (patch.cpp, commit), and the run diffs it against the bytes it was
// computed from.
#include "review.hpp"
#include "engine/diff.hpp"
#include "walk.hpp"

#include <unordered_map>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// ---- the suggestions of a message ----------------------------------------------

std::string_view trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool starts(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

py::object text_or_none(std::string_view s) {
    if (s.empty()) return py::none();
    return from_utf8(std::string(s));
}

// One suggestion line, as the checks write them: "line N: ...", "key.path:
// ...", "move A to B" or a note on the whole file; what follows the location
// is "old -> new" (a fix), "Please ensure ..." (a check) or a value to add.
py::dict suggestion(std::string_view t, py::handle same_location) {
    py::dict s;
    py::object location = py::none();
    std::string_view rest = t;
    size_t colon = t.find(": ");
    bool line = starts(t, "line ") && colon != std::string_view::npos && colon >= 5;
    std::string_view number = line ? trim(t.substr(5, colon - 5)) : std::string_view();
    if (line && !number.empty() && number.size() < 10 &&
        number.find_first_not_of("0123456789") == std::string_view::npos) {
        location = py::int_(std::stol(std::string(number)));
        rest = t.substr(colon + 2);
    } else if (colon != std::string_view::npos &&
               t.substr(0, colon).find(' ') == std::string_view::npos) {
        location = text_or_none(t.substr(0, colon));
        rest = t.substr(colon + 2);
    } else if (!same_location.is_none()) {
        location = py::reinterpret_borrow<py::object>(same_location);
    }
    rest = trim(rest);
    const char *kind = "fix";
    std::string_view old_value, new_value = rest;
    size_t arrow = rest.find(" -> ");
    size_t to = rest.find(" to ");
    if (starts(rest, "move ") && to != std::string_view::npos) {
        kind = "move";
        old_value = rest.substr(5, to - 5);
        new_value = rest.substr(to + 4);
    } else if (starts(rest, "Please ensure ")) {
        kind = "check";
        size_t q1 = rest.find('"'),
               q2 = q1 == std::string_view::npos ? q1 : rest.find('"', q1 + 1);
        if (q2 != std::string_view::npos) old_value = rest.substr(q1 + 1, q2 - q1 - 1);
        else if (location.is_none()) old_value = {};
        else old_value = rest.substr(14, rest.find(' ', 14) - 14);
        new_value = {};
    } else if (arrow != std::string_view::npos) {
        old_value = trim(rest.substr(0, arrow));
        new_value = trim(rest.substr(arrow + 4));
    } else if (location.is_none()) {
        kind = "check";  // a note on the whole file, for a human to act on
        new_value = {};
    }
    s["location"] = location;
    s["old"] = text_or_none(old_value);
    s["new"] = text_or_none(new_value);
    s["kind"] = kind;
    s["text"] = from_utf8(std::string(t));
    return s;
}

// The suggestions of a message (its lines after the first).  Lines under a
// header of their own at the left margin are for another file (the new
// __init__.py of a package to move): they carry its path as "file".  An
// "or" offers an alternative to the suggestion before it.
py::list suggestions(const std::string &message) {
    py::list out;
    std::vector<std::string_view> lines = lines_of(message);
    py::object other = py::none(), previous = py::none();
    bool alternative = false;
    for (size_t n = 1; n < lines.size(); ++n) {
        std::string_view raw = lines[n];
        if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
        std::string_view t = trim(raw);
        if (t.empty()) continue;
        if (raw[0] != ' ' && raw[0] != '\t') {
            other = text_or_none(t.back() == ':' ? t.substr(0, t.size() - 1) : t);
            continue;
        }
        if (t == "or") {
            alternative = true;
            continue;
        }
        std::string_view line = t;
        if (starts(t, "or ")) {
            t = trim(t.substr(3));
            alternative = true;
        }
        py::dict s = suggestion(t, alternative ? previous : py::object(py::none()));
        s["text"] = from_utf8(std::string(line));
        if (alternative) s["alternative"] = true;
        if (!other.is_none()) {
            s["file"] = other;
            // What the new file must hold: part of the move.
            if (s["location"].is_none() && s["old"].is_none()) {
                s["kind"] = "move";
                s["new"] = s["text"];
            }
        }
        if (!alternative) previous = s["location"];
        alternative = false;
        out.append(s);
    }
    return out;
}

// ---- where the report goes -------------------------------------------------------

// What the place named by --report is, for writing the report there.
struct ReportPlace {
    std::string problem;  // why the report may not go there; empty when it may
    // The directory is one that other users may write: the report is
    // written onto the name itself, never through a link (what stands
    // there may change between a look and the write).
    bool shared = false;
};

// A look at `path` (the bytes of --report), as the report would be written
// there: into a regular file (or a new one), whole, through a file written
// beside it.  A link is followed only when it is the user's own and not in
// a directory every user may write, where anyone may plant one; nothing is
// replaced that belongs to another user there.  Pure C++.
ReportPlace report_place(const std::string &path) {
    ReportPlace place;
    auto quoted = [](const std::string &p) { return "'" + p + "'"; };
    if (path.empty()) {
        place.problem = "the path is empty";
        return place;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    struct stat ds {};
    if (::stat(dir.c_str(), &ds) != 0) {
        place.problem = errno == ENOENT ? "the directory " + quoted(dir) + " does not exist"
                                        : quoted(dir) + ": " + std::strerror(errno);
        return place;
    }
    if (!S_ISDIR(ds.st_mode)) {
        place.problem = quoted(dir) + " is not a directory";
        return place;
    }
    const bool sticky_public = (ds.st_mode & S_ISVTX) && (ds.st_mode & S_IWOTH);
    place.shared = (ds.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        place.problem =
            "the directory " + quoted(dir) + " cannot be written (" + std::strerror(errno) + ")";
        return place;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) place.problem = quoted(path) + ": " + std::strerror(errno);
        return place;  // a new file
    }
    const uid_t me = ::geteuid();
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != me)
            place.problem = quoted(path) + " is a symbolic link of another user (uid " +
                            std::to_string(st.st_uid) + "); it is not followed";
        else if (sticky_public)
            place.problem = quoted(path) +
                            " is a symbolic link in a directory every user may write; it is "
                            "not followed";
        if (!place.problem.empty()) return place;
        place.shared = false;                              // the user's own link, followed
        if (::stat(path.c_str(), &st) != 0) return place;  // leads nowhere yet: a new file
    }
    if (S_ISDIR(st.st_mode)) place.problem = quoted(path) + " is a directory";
    else if (!S_ISREG(st.st_mode)) place.problem = quoted(path) + " is not a regular file";
    else if (sticky_public && st.st_uid != me)
        place.problem =
            quoted(path) + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    else if (::access(path.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0)
        place.problem = quoted(path) + " cannot be written (" + std::strerror(EACCES) + ")";
    return place;
}

}  // namespace

// ---- the review of a run -------------------------------------------------------

Review::Review(const Call &call, py::handle self, py::handle args)
    : args_(py::reinterpret_borrow<py::object>(args)), logger_(call.global("logger")) {
    diff_ = support::truth(py::getattr(args, "diff", py::bool_(false)));
    check_ = support::truth(py::getattr(args, "check", py::bool_(false)));
    report_ = py::getattr(args, "report", py::none());
    bool report_out = !report_.is_none() && py::str(report_).equal(py::str("-"));
    if (diff_ && report_out)
        self.attr("parser").attr("error")(
            "argument --report: '-' (standard output) cannot be combined with --diff, which "
            "writes the diff there");
    if (!report_.is_none() && !report_out) refuse_report_place(self, args);
    fixes_ = support::truth(self.attr("apply_fixes_flag"));
    comments_ = support::truth(self.attr("apply_comments_flag"));
    // A diff shows the fixes unless something else is asked for.
    if (diff_ && !fixes_ && !comments_) {
        self.attr("apply_fixes_flag") = true;
        fixes_ = true;
    }
    py::object sys = py::module_::import("sys");
    color_ = diff_ && !support::truth(py::getattr(args, "no_color", py::bool_(false))) &&
             support::truth(sys.attr("stdout").attr("isatty")());
    if (diff_ || report_out) {
        // Standard output carries the diff or the report: the command's
        // messages go to standard error meanwhile, formatted as usual.
        py::object logging = py::module_::import("logging");
        handler_ = logging.attr("StreamHandler")(sys.attr("stderr"));
        py::list root_handlers = logging.attr("getLogger")().attr("handlers");
        py::object formatter = root_handlers.empty()
                                   ? logging.attr("Formatter")("%(message)s")
                                   : py::object(root_handlers[0].attr("formatter"));
        if (!formatter.is_none()) handler_.attr("setFormatter")(formatter);
        propagate_ = logger_.attr("propagate");
        logger_.attr("addHandler")(handler_);
        logger_.attr("propagate") = false;
    }
}

Review::~Review() {
    if (!handler_) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        logger_.attr("removeHandler")(handler_);
        logger_.attr("propagate") = propagate_;
    } catch (py::error_already_set &) {
        // Nothing left to restore it with; the run's own error goes on.
    }
    PyErr_Restore(type, value, tb);
}

// The report's place is looked at before anything is examined: a place it
// cannot go to is a usage error then, not an error at the end of a run
// that has rewritten files.  Nor may it replace a file the run examines.
void Review::refuse_report_place(py::handle self, py::handle args) {
    std::string path = support::fs_path(report_);
    std::string problem = report_place(path).problem;
    if (problem.empty()) {
        py::object os_path = py::module_::import("os").attr("path");
        py::object real = os_path.attr("realpath")(report_);
        py::object root = os_path.attr("realpath")(args.attr("path"));
        bool inside = support::truth(
            real.attr("startswith")(concat(root.attr("rstrip")("/"), py::str("/"))));
        bool init = support::truth(args.attr("init")),
             python = support::truth(args.attr("python")),
             yaml = support::truth(args.attr("yaml"));
        if (!init && !python && !yaml) init = python = yaml = true;
        Kind kind = classify(os_path.attr("basename")(real));
        bool examined = (kind == Kind::Yaml && yaml) || (kind == Kind::Init && init) ||
                        (kind == Kind::Python && python);
        if (inside && examined)
            problem = "'" + path + "' is a file of the repository that this run examines";
    }
    if (!problem.empty())
        self.attr("parser").attr("error")(concat("argument --report: ", from_utf8(problem)));
}

void Review::note(const RunRecord &record, const char *kind, py::handle message,
                  py::handle failure) {
    ++noted_;
    if (report_.is_none()) {  // only --check's counts are wanted
        if (!failure.is_none()) ++failed_;
        return;
    }
    Entry e;
    e.kind = kind;
    e.message = utf8(message);
    std::string first = e.message.substr(0, e.message.find('\n'));
    const std::string *tied = record.tie(first);
    e.path = tied ? *tied : header_path(first);
    e.abs = utf8(py::module_::import("os").attr("path").attr("abspath")(from_utf8(e.path)));
    if (!failure.is_none()) {
        e.outcome = "failed";
        // The failure item less its first line (the path) and its bullet.
        std::string item = utf8(failure);
        size_t nl = item.find('\n');
        std::string_view reason =
            trim(nl == std::string::npos ? "" : std::string_view(item).substr(nl + 1));
        if (starts(reason, "- ")) reason.remove_prefix(2);
        while (!reason.empty() && reason.back() == '\n') reason.remove_suffix(1);
        e.reason = std::string(trim(reason));
    } else if (fixes_ || comments_) {
        bool changed = record.preview ? record.proposed_for(e.abs) : record.written(e.abs);
        e.outcome = changed ? (record.preview ? "previewed" : "applied") : "unchanged";
    }
    if (e.outcome == "failed") ++failed_;
    entries_.push_back(std::move(e));
}

int Review::finish(const RunRecord &record, py::handle top) {
    py::object os_path = py::module_::import("os").attr("path");
    py::object repository = os_path.attr("abspath")(top);
    auto relative = [&](const std::string &path) {
        return utf8(os_path.attr("relpath")(from_utf8(path), repository));
    };
    if (diff_) {
        std::string text;
        for (const RunRecord::Change &c : record.changes()) {
            std::string rel = relative(c.path);
            support::Unlocked unlocked;
            text += unified_diff(rel, c.before, c.after, color_);
        }
        write_stdout(text);
    }
    if (!report_.is_none()) write_report(repository, relative);
    if (report_failed_) return 1;
    if (!check_) return 0;
    // Applied for real, only what could not be applied is left to do;
    // otherwise every suggestion is.  A file that could not be examined is
    // left to do either way.
    bool applying = (fixes_ || comments_) && !record.preview;
    bool left = applying ? failed_ > 0 : noted_ > 0;
    return left || record.unexamined_files() > 0 ? 1 : 0;
}

void Review::write_report(py::handle repository,
                          const std::function<std::string(const std::string &)> &relative) {
    py::object os_path = py::module_::import("os").attr("path");
    py::dict report;
    report["schema"] = 1;
    report["repository"] = repository;
    py::dict options;
    for (const char *name : {"init", "python", "yaml", "threads", "apply_fixes", "apply_comments"})
        options[name] = py::getattr(args_, name, py::none());
    py::object exclude = py::getattr(args_, "exclude", py::none());
    options["exclude"] = exclude.is_none() ? py::list() : py::list(exclude);
    options["gitignore"] = support::truth(py::getattr(args_, "gitignore", py::bool_(false)));
    options["diff"] = diff_;
    options["check"] = check_;
    report["options"] = options;
    py::list files;
    for (const Entry &e : entries_) {
        py::dict f;
        f["path"] = from_utf8(relative(e.abs));
        f["kind"] = e.kind;
        py::list found = suggestions(e.message);
        for (py::handle s : found)
            if (contains(s, "file"))
                s["file"] = from_utf8(relative(utf8(os_path.attr("abspath")(s["file"]))));
        f["suggestions"] = found;
        if (!e.outcome.empty()) {
            f["outcome"] = e.outcome;
            f["reason"] =
                e.reason.empty() ? py::object(py::none()) : py::object(from_utf8(e.reason));
        }
        files.append(f);
    }
    report["files"] = files;
    // On one line: only then does the interpreter use its C encoder (an
    // indented dump goes through the pure-Python one: seconds on a large
    // repository).
    std::string text = utf8(py::module_::import("json").attr("dumps")(report)) + "\n";
    if (py::str(report_).equal(py::str("-"))) {
        write_stdout(text);
        return;
    }
    // Looked at again: what stands at the name may have changed meanwhile.
    std::string where = support::fs_path(report_);
    ReportPlace place;
    support::Replacement r;
    {
        support::Unlocked unlocked;
        place = report_place(where);
        if (place.problem.empty())
            r = place.shared ? support::write_new_file(where, text)
                             : support::write_file(where, text);
    }
    if (!place.problem.empty()) {
        logger_.attr("error")(concat("Cannot write the report: ", from_utf8(place.problem)));
        report_failed_ = true;
        return;
    }
    if (r.outcome == support::Replacement::Failed) support::raise_os_error(r.err, report_);
}

// Bytes on standard output, as they are (a file's own encoding and line
// breaks included), after whatever was written there before.
void Review::write_stdout(const std::string &bytes) {
    if (bytes.empty()) return;
    py::object out = py::module_::import("sys").attr("stdout");
    out.attr("flush")();
    if (py::hasattr(out, "buffer")) {
        py::object buffer = out.attr("buffer");
        buffer.attr("write")(py::bytes(bytes));
        buffer.attr("flush")();
    } else {
        out.attr("write")(from_utf8(bytes));
        out.attr("flush")();
    }
}

}  // namespace tavox::cli::commands::migrate::abstract
