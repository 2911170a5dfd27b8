// tavox.cli.commands.migrate.abstract -- the walk's --exclude patterns, read
// and matched as git reads a .gitignore line.  Pure C++.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavox::cli::commands::migrate::abstract {

// One --exclude pattern.  A pattern with a slash at its start or in its
// middle is matched against the whole relative path; one without, against
// the name of each file and directory at any depth.  A trailing slash
// matches directories only; a leading "!" takes back what the patterns
// before it left out (the last pattern that matches decides).
struct Pattern {
    std::string glob;
    bool anchored = false;
    bool dir_only = false;
    bool negated = false;
};

// One --exclude text as a pattern; none for a text that is no pattern
// (empty, or a comment).
std::optional<Pattern> parse_pattern(std::string text);

// Why the pattern read from `text` can match nothing under `root` (empty
// when it can): it steps out with "..", or it is an absolute path.
std::string matches_nothing(const std::string &text, const Pattern &p, const std::string &root);

// Whether the pattern matches the relative path `rel` (a directory's, with
// `is_dir`).
bool matches(const Pattern &p, std::string_view rel, bool is_dir);

}  // namespace tavox::cli::commands::migrate::abstract
