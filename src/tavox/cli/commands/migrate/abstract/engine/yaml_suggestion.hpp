// tavox.cli.commands.migrate.abstract -- the suggestion lines of a YAML
// file's message, as the two passes read them.  Pure C++.
#pragma once

#include <string_view>

namespace tavox::cli::commands::migrate::abstract {

// A suggestion, as the two grammars of the passes read a stripped line:
//   fix:   ^(?P<path>\S+):\s+(?P<token>\S+)(\s+->\s+(?P<new>\S+))?$
//   check: ^(?P<path>\S+):\s+Please ensure (?P<token>\S+) is a valid
//          (?P<platform>\S+) platform$
// (\s and \S as the interpreter's patterns have them, for any character.)
// The views are into the line.
struct Suggestion {
    std::string_view path, token, new_value, platform;
    bool arrow = false;
};

// line.strip()
std::string_view strip(std::string_view line);

// Whether the stripped `line` is a fix suggestion, and what it says.
bool match_fix(std::string_view line, Suggestion &s);

// Whether the stripped `line` is a check suggestion, and what it says.
bool match_check(std::string_view line, Suggestion &s);

}  // namespace tavox::cli::commands::migrate::abstract
