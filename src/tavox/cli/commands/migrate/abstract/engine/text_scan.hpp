// tavox.cli.commands.migrate.abstract -- the text engine under the checks:
// the bytes of a file turned into the text open() would read, and the lines
// of that text in which a pattern can match at all, found by whole-text
// searches.
//
// Pure C++: no Python type here, so all of it runs with the interpreter lock
// released.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// Universal newlines, in place: "\r\n" and a lone "\r" become "\n", as a
// file opened in text mode reads.
void translate_newlines(std::string &text);

// True when `s` is well-formed UTF-8 as the interpreter's strict decoder
// sees it (no overlong forms, no surrogates, nothing above U+10FFFF).
bool valid_utf8(std::string_view s);

// The code point at `i` of valid UTF-8 text, and its length in bytes.
char32_t code_point(std::string_view s, size_t i, size_t &len);

// str.isspace() of one character: what \s matches and str.strip() strips.
bool is_space(char32_t c);

// One line of a text, as readlines() gives it: [begin, end) includes the
// line's "\n" when it has one.
struct LineSpan {
    size_t begin;
    size_t end;
};

// What a line must hold for a pattern to match in it at all.
enum class Needs {
    Nothing,       // a pattern that is not the module's own: every line
    Never,         // no pattern to try
    Literal,       // the given text
    FerrinQuoted,  // "errin" and a quote right after it ([Ff]errin['"])
};

struct Need {
    Needs kind;
    const char *literal = nullptr;
};

// A line in which the first or the second pattern may match.
struct Candidate {
    size_t index;  // 0-based line number
    LineSpan span;
    bool first;   // may match the first pattern
    bool second;  // may match the second pattern
};

// The lines of `text` in which the first (or the second) pattern may match,
// in order.
std::vector<Candidate> candidates(std::string_view text, const Need &a, const Need &b);

// For each physical line of a Python source (each as a list of lines holds
// it, with its line break if it has one), whether a comment line may be put
// directly above it without changing what the source means or whether it
// compiles: not inside a string that spans lines, not below a line that a
// backslash continues, and not above the shebang or an encoding declaration
// that must stay among the first two lines.  A source that does not
// tokenize is read as far as it goes: an unclosed one-line string ends with
// its line.
std::vector<char> comment_slots(const std::vector<std::string_view> &lines);

}  // namespace tavox::cli::commands::migrate::abstract
