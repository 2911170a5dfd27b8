// tavox.cli.commands.migrate.abstract -- discovery: the walk of the tree,
// --exclude and --gitignore, the hint about special trees (walk.cpp).
#pragma once

#include "binding.hpp"
#include "engine/globs.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// What the walk leaves out: the --exclude patterns and, with --gitignore,
// what git ignores in the work tree.  Relative paths, as bytes.
class WalkScope {
public:
    WalkScope();
    ~WalkScope();
    WalkScope(WalkScope &&) noexcept;
    // From the parsed options; asks git once when --gitignore is given and
    // logs one warning when the tree is not in a git work tree.
    static WalkScope from_args(py::handle args, py::handle top, py::handle logger);
    bool filters() const { return !patterns_.empty() || ignored_; }
    // Whether to note the trees that are seldom the repository's own.
    bool hint() const { return hint_; }
    bool leaves_out(const std::string &rel, bool is_dir) const;
    // git ignores the top of the walk itself.
    bool everything_out() const;

private:
    struct Ignored;
    std::vector<Pattern> patterns_;
    std::unique_ptr<Ignored> ignored_;
    bool hint_ = false;
};

enum class Kind { None, Yaml, Init, Python };

// The kind of file a name says, as the walk classifies it (case ignored).
Kind classify(py::handle name);

// A virtual environment or a .git directory the walk went through.
struct SpecialTree {
    std::string rel;
    const char *what;
    size_t files;  // examined files under it
};

// The discovered files of a walk, classified by name.
struct Discovered {
    py::list python_files, init_files, yaml_files;
    std::vector<SpecialTree> special;
    // Relative path and kind of each file found once a special tree was
    // seen (the only files that can lie under one).
    std::vector<std::pair<std::string, Kind>> rels;
};

// Walks the tree as os.walk does (top-down, links to directories not
// followed, unreadable directories skipped), prunes what `scope` leaves out
// and keeps the regular files (links to them included) whose names say
// YAML, package or Python.
Discovered discover(py::handle os, py::handle top, const WalkScope &scope);

// The one-line hint about the special trees the walk went through, for the
// kinds of files examined; None when there were none.
py::object walk_hint(Discovered &found, bool init, bool python, bool yaml);

}  // namespace tavox::cli::commands::migrate::abstract
