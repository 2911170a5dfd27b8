// tavox.cli.commands.migrate.abstract -- glob patterns as .gitignore reads
// them (see globs.hpp).
#include "globs.hpp"

#include <sys/stat.h>

#include <algorithm>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// Trailing blanks go, unless a backslash quotes one, as git reads a line.
void trim_trailing_spaces(std::string &text) {
    size_t last_space = std::string::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ') {
            if (last_space == std::string::npos) last_space = i;
        } else {
            if (text[i] == '\\' && ++i == text.size()) return;
            last_space = std::string::npos;
        }
    }
    if (last_space != std::string::npos) text.resize(last_space);
}

// A character class "[...]" at `p` (just after "["): whether `c` is in it,
// and where the class ends.  A class that is never closed is a literal "[".
bool in_class(std::string_view pat, size_t &p, char c, bool &ok) {
    size_t i = p;
    bool negate = i < pat.size() && (pat[i] == '!' || pat[i] == '^');
    if (negate) ++i;
    bool found = false;
    size_t first = i;
    for (; i < pat.size() && (pat[i] != ']' || i == first); ++i) {
        char lo = pat[i];
        if (lo == '\\' && i + 1 < pat.size()) lo = pat[++i];
        char hi = lo;
        if (i + 2 < pat.size() && pat[i + 1] == '-' && pat[i + 2] != ']') {
            hi = pat[i + 2];
            i += 2;
        }
        if (lo <= c && c <= hi) found = true;
    }
    ok = i < pat.size();
    if (ok) p = i + 1;
    return found != negate;
}

// Whether `text` matches `pat` from the given positions: "*" and "?" never
// match "/", "**" standing as a whole path component spans any number of
// components (none included), "\" quotes the next character.
bool glob_match(std::string_view pat, size_t p, std::string_view text, size_t t) {
    while (p < pat.size()) {
        char c = pat[p];
        if (c == '*') {
            size_t q = p;
            while (q < pat.size() && pat[q] == '*') ++q;
            bool component =
                q - p >= 2 && (p == 0 || pat[p - 1] == '/') && (q == pat.size() || pat[q] == '/');
            if (component) {
                if (q == pat.size()) return true;  // "dir/**": everything below
                // "**/": the rest of the pattern at the start of any component
                for (size_t s = t;;) {
                    if (glob_match(pat, q + 1, text, s)) return true;
                    size_t slash = text.find('/', s);
                    if (slash == std::string_view::npos) return false;
                    s = slash + 1;
                }
            }
            for (size_t s = t;; ++s) {  // any run within one component
                if (glob_match(pat, q, text, s)) return true;
                if (s == text.size() || text[s] == '/') return false;
            }
        }
        if (t == text.size()) return false;
        if (c == '?') {
            if (text[t] == '/') return false;
        } else if (c == '[') {
            size_t after = p + 1;
            bool closed = false;
            bool hit = in_class(pat, after, text[t], closed);
            if (closed) {
                if (!hit || text[t] == '/') return false;
                p = after;
                ++t;
                continue;
            }
            if (text[t] != '[') return false;
        } else {
            if (c == '\\' && p + 1 < pat.size()) c = pat[++p];
            if (c != text[t]) return false;
        }
        ++p;
        ++t;
    }
    return t == text.size();
}

}  // namespace

// The pattern of a .gitignore line; none for a blank line or a comment.
std::optional<Pattern> parse_pattern(std::string text) {
    trim_trailing_spaces(text);
    if (text.empty() || text.front() == '#') return std::nullopt;
    Pattern p;
    if (text.front() == '!') {
        p.negated = true;
        text.erase(0, 1);
    }
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
        p.dir_only = true;
    }
    if (text.find('/') != std::string::npos) p.anchored = true;
    if (!text.empty() && text.front() == '/') text.erase(0, 1);
    p.glob = std::move(text);
    return p;
}

// Why a pattern can match nothing under `root` (empty when it can): it
// steps out with "..", or it is an absolute path where patterns are
// relative to the top of the walk (a leading "/" anchors a pattern there).
std::string matches_nothing(const std::string &text, const Pattern &p, const std::string &root) {
    std::string_view glob = p.glob;
    for (size_t at = 0; at <= glob.size();) {
        size_t end = std::min(glob.find('/', at), glob.size());
        if (glob.substr(at, end - at) == "..")
            return "patterns are relative to PATH, and '..' does not lead out of it";
        at = end + 1;
    }
    size_t start = text.find_first_not_of('!');
    if (start == std::string::npos || text[start] != '/') return "";
    std::string first = p.glob.substr(0, p.glob.find('/'));
    struct stat st {};
    if (!first.empty() && ::lstat(("/" + first).c_str(), &st) == 0 &&
        ::lstat((root + "/" + first).c_str(), &st) != 0)
        return "patterns are relative to PATH (a leading '/' anchors one there), not absolute "
               "paths";
    return "";
}

bool matches(const Pattern &p, std::string_view rel, bool is_dir) {
    if (p.dir_only && !is_dir) return false;
    if (p.anchored) return glob_match(p.glob, 0, rel, 0);
    size_t slash = rel.rfind('/');
    std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    return glob_match(p.glob, 0, name, 0);
}

}  // namespace tavox::cli::commands::migrate::abstract
