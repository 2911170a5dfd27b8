// tavox.cli.commands.migrate.abstract -- discovery: the walk of the
// repository, what it leaves out on request (--exclude, --gitignore), and
// the hint about trees that are seldom the repository's own (virtual
// environments, .git directories) when the walk went through them.
//
// Paths are compared as the file system's bytes (os.fsencode), relative to
// the top of the walk, with "/" between components.
#include "walk.hpp"
#include "engine/globs.hpp"
#include "run.hpp"

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <optional>
#include <unordered_set>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// "a/b" for `root` = top + "/a/b", "" for the top itself.
std::string relative(const std::string &top, const std::string &root) {
    if (root.size() <= top.size()) return "";
    size_t from = top.size();
    if (top.empty() || top.back() != '/') ++from;
    return root.substr(std::min(from, root.size()));
}

std::string join_rel(const std::string &dir, const std::string &name) {
    return dir.empty() ? name : dir + "/" + name;
}

// ---- what git ignores -------------------------------------------------------------

// Runs `git -C top <args>` with its output and its error output captured;
// the exit status, or -1 when git could not be run.  The repository's own
// configuration is read, but starts no program: core.fsmonitor, the one
// setting through which the commands run here would start one, is turned
// off, and no pager runs.  Touches no Python object.
int run_git(const std::string &top, const std::vector<std::string> &args, std::string &out,
            std::string &err_out) {
    int outfd[2], errfd[2];
    if (::pipe2(outfd, O_CLOEXEC) != 0) return -1;
    if (::pipe2(errfd, O_CLOEXEC) != 0) {
        ::close(outfd[0]);
        ::close(outfd[1]);
        return -1;
    }
    std::vector<std::string> argv_s = {"git", "--no-pager", "-c", "core.fsmonitor=false",
                                       "-C",  top};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(argv_s.size() + 1);
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outfd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errfd[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    int err = ::posix_spawnp(&pid, "git", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outfd[1]);
    ::close(errfd[1]);
    if (err != 0) {
        ::close(outfd[0]);
        ::close(errfd[0]);
        return -1;
    }
    // Both pipes drained together: git may fill either one first.
    struct pollfd fds[2] = {{outfd[0], POLLIN, 0}, {errfd[0], POLLIN, 0}};
    std::string *sinks[2] = {&out, &err_out};
    char buf[65536];
    for (int open_pipes = 2; open_pipes > 0;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
                continue;
            }
            sinks[i]->append(buf, static_cast<size_t>(n));
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The reason git gives for refusing, on one line: its first "fatal:" line
// without that word ("detected dubious ownership in repository at '...'").
std::string git_reason(const std::string &err_out) {
    size_t at = err_out.find("fatal: ");
    std::string line = err_out.substr(at == std::string::npos ? 0 : at + 7);
    line = line.substr(0, line.find('\n'));
    return line;
}

}  // namespace

// ---- the scope of a walk ------------------------------------------------------------

struct WalkScope::Ignored {
    std::unordered_set<std::string> dirs, files;
    bool everything = false;  // the top of the walk itself
};

WalkScope::WalkScope() = default;
WalkScope::~WalkScope() = default;
WalkScope::WalkScope(WalkScope &&) noexcept = default;

WalkScope WalkScope::from_args(py::handle args, py::handle top, py::handle logger) {
    WalkScope scope;
    // Namespaces made by callers that know only the original options have
    // neither attribute: the whole tree is walked.
    py::object excludes = py::getattr(args, "exclude", py::none());
    if (!excludes.is_none()) {
        std::string root = support::fs_path(top);
        for (py::handle e : excludes) {
            std::string text = support::fs_path(e);
            std::optional<Pattern> p = parse_pattern(text);
            std::string why = p ? matches_nothing(text, *p, root)
                                : "as a .gitignore line it is blank or a comment (write \\# for "
                                  "a name that begins with #)";
            if (!why.empty())
                logger.attr("warning")(
                    support::fmt("--exclude {!r}: {}; it leaves nothing out", e, why));
            if (p) scope.patterns_.push_back(std::move(*p));
        }
    }
    py::object gitignore = py::getattr(args, "gitignore", py::bool_(false));
    scope.hint_ = scope.patterns_.empty() && !support::truth(gitignore);
    if (!support::truth(gitignore)) return scope;

    // git itself says what it ignores there, once for the whole tree.
    std::string where = support::fs_path(top), listing, inside, complaint;
    int status;
    bool work_tree = false;
    {
        support::Unlocked nogil;
        status = run_git(where, {"rev-parse", "--is-inside-work-tree"}, inside, complaint);
        work_tree = status == 0 && inside.rfind("true", 0) == 0;
        if (work_tree)
            status = run_git(
                where,
                {"ls-files", "-z", "--others", "--ignored", "--exclude-standard", "--directory"},
                listing, complaint);
    }
    if (status < 0 || (status == 0 && !work_tree) ||
        (status != 0 && complaint.find("not a git repository") != std::string::npos)) {
        logger.attr("warning")(
            support::fmt("--gitignore: {} is not in a git work tree{}; walking all of it", top,
                         status < 0 ? " (git could not be run)" : ""));
        return scope;
    }
    if (status != 0) {
        // A repository git refuses to work in (one of another user's, say):
        // what it said, not that there is none.
        logger.attr("warning")(support::fmt("--gitignore: git refused the repository of {}: {}; "
                                            "walking all of it",
                                            top, from_utf8(git_reason(complaint))));
        return scope;
    }
    scope.ignored_ = std::make_unique<Ignored>();
    for (size_t at = 0; at < listing.size();) {
        size_t end = listing.find('\0', at);
        if (end == std::string::npos) end = listing.size();
        std::string path = listing.substr(at, end - at);
        at = end + 1;
        if (path.empty()) continue;
        if (path == "./") {
            // The tree itself is ignored: nothing in it is examined.
            scope.ignored_->everything = true;
            logger.attr("warning")(
                support::fmt("--gitignore: git ignores {} itself; nothing is examined", top));
            break;
        }
        if (path.back() == '/') {
            path.pop_back();
            scope.ignored_->dirs.insert(path);
        } else {
            scope.ignored_->files.insert(path);
        }
    }
    return scope;
}

bool WalkScope::everything_out() const { return ignored_ && ignored_->everything; }

bool WalkScope::leaves_out(const std::string &rel, bool is_dir) const {
    if (ignored_ && ignored_->everything) return true;
    if (ignored_ && (is_dir ? ignored_->dirs : ignored_->files).count(rel)) return true;
    bool out = false;
    for (const Pattern &p : patterns_)
        if (matches(p, rel, is_dir)) out = !p.negated;
    return out;
}

// ---- the walk -------------------------------------------------------------------------

namespace {

// name == text, for a name as os.walk gives it (a name that is no str is
// not equal to any text).
bool is_name(py::handle name, const char *text) {
    return PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), text) == 0;
}

// os.path.join(root, name) for a file name from a directory listing.
py::object join(py::handle root, py::handle name) {
    if (!PyUnicode_Check(root.ptr()) || PyUnicode_GET_LENGTH(root.ptr()) == 0 ||
        PyUnicode_READ_CHAR(root.ptr(), PyUnicode_GET_LENGTH(root.ptr()) - 1) == '/')
        return py::module_::import("os").attr("path").attr("join")(root, name);
    return concat(root, "/", name);
}

// The trees noted for the hint: a directory holding pyvenv.cfg, or a
// directory named .git.
void note_special(Discovered &found, const std::string &rel, const char *what) {
    for (const auto &s : found.special)  // already inside one
        if (rel.compare(0, s.rel.size() + 1, s.rel + "/") == 0) return;
    found.special.push_back({rel, what, 0});
}

void count_under_special(Discovered &found, const std::string &rel) {
    for (auto &s : found.special)
        if (rel.compare(0, s.rel.size() + 1, s.rel + "/") == 0) ++s.files;
}

}  // namespace

Kind classify(py::handle name) {
    py::object lower = name.attr("lower")();
    auto ends = [&](const char *suffix) {
        // A name that is no str raises TypeError, as str.endswith would.
        Py_ssize_t r =
            PyUnicode_Tailmatch(lower.ptr(), py::str(suffix).ptr(), 0, PY_SSIZE_T_MAX, 1);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    };
    if (ends(".yaml") || ends(".yml")) return Kind::Yaml;
    if (is_name(lower, "__init__.py")) return Kind::Init;
    if (ends(".py")) return Kind::Python;
    return Kind::None;
}

Discovered discover(py::handle os, py::handle top, const WalkScope &scope) {
    Discovered found;
    if (scope.everything_out()) return found;
    std::string top_bytes = support::fs_path(top);
    for (py::handle step : os.attr("walk")(top)) {
        py::object root = step[py::int_(0)];
        py::object dirs = step[py::int_(1)];
        py::object files = step[py::int_(2)];
        std::string root_rel = relative(top_bytes, support::fs_path(root));

        // Directories left out are pruned: os.walk descends only into the
        // names still in the list.
        if (scope.filters()) {
            py::list kept;
            for (py::handle d : dirs)
                if (!scope.leaves_out(join_rel(root_rel, support::fs_path(d)), true))
                    kept.append(d);
            if (PySequence_SetSlice(dirs.ptr(), 0, PY_SSIZE_T_MAX, kept.ptr()) < 0)
                throw py::error_already_set();
        }
        if (scope.hint()) {
            for (py::handle d : dirs)
                if (is_name(d, ".git"))
                    note_special(found, join_rel(root_rel, ".git"), "a git directory");
            for (py::handle f : files)
                if (!root_rel.empty() && is_name(f, "pyvenv.cfg"))
                    note_special(found, root_rel, "a virtual environment");
        }

        std::vector<std::pair<py::object, Kind>> named;
        std::vector<std::string> fspaths, rels;
        for (py::handle f : files) {
            Kind kind = classify(f);
            if (kind == Kind::None) continue;
            std::string rel = join_rel(root_rel, support::fs_path(f));
            if (scope.filters() && scope.leaves_out(rel, false)) continue;
            py::object path = join(root, f);
            fspaths.push_back(support::fs_path(path));
            rels.push_back(std::move(rel));
            named.emplace_back(std::move(path), kind);
        }
        // os.path.isfile for the whole directory at once
        std::vector<char> regular(fspaths.size(), 0);
        {
            support::Unlocked nogil;
            for (size_t i = 0; i < fspaths.size(); ++i) {
                struct stat st {};
                regular[i] =
                    static_cast<char>(::stat(fspaths[i].c_str(), &st) == 0 && S_ISREG(st.st_mode));
            }
        }
        for (size_t i = 0; i < named.size(); ++i) {
            if (!regular[i]) continue;
            switch (named[i].second) {
            case Kind::Yaml:
                found.yaml_files.append(named[i].first);
                break;
            case Kind::Init:
                found.init_files.append(named[i].first);
                break;
            case Kind::Python:
                found.python_files.append(named[i].first);
                break;
            case Kind::None:
                continue;
            }
            if (!found.special.empty()) found.rels.emplace_back(rels[i], named[i].second);
        }
    }
    return found;
}

py::object walk_hint(Discovered &found, bool init, bool python, bool yaml) {
    if (found.special.empty()) return py::none();
    // The files under them that were examined (those of the kinds selected).
    for (const auto &[rel, kind] : found.rels) {
        bool examined = (kind == Kind::Init && init) || (kind == Kind::Python && python) ||
                        (kind == Kind::Yaml && yaml);
        if (examined) count_under_special(found, rel);
    }
    std::sort(found.special.begin(), found.special.end(),
              [](const SpecialTree &a, const SpecialTree &b) { return a.rel < b.rel; });
    const size_t shown = 5;
    std::string named, options;
    size_t total = 0;
    for (size_t i = 0; i < found.special.size(); ++i) {
        const auto &s = found.special[i];
        total += s.files;
        if (i >= shown) continue;
        named += (i ? ", " : "") + s.rel + " (" + s.what + ", " + std::to_string(s.files) +
                 (s.files == 1 ? " file)" : " files)");
        options += " --exclude " + s.rel;
    }
    if (found.special.size() > shown)
        named += " and " + std::to_string(found.special.size() - shown) + " more";
    std::string line = "The walk went through " + named + ": " + std::to_string(total) +
                       (total == 1 ? " file" : " files") + " examined there; leave them out with" +
                       options + " (or --gitignore in a git work tree)";
    PyObject *text =
        PyUnicode_DecodeFSDefaultAndSize(line.data(), static_cast<Py_ssize_t>(line.size()));
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

}  // namespace tavox::cli::commands::migrate::abstract
