// tavox.cli.commands.migrate.abstract -- the text engine under the checks
// (see text_scan.hpp).  Pure C++.
#include "text_scan.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace tavox::cli::commands::migrate::abstract {

void translate_newlines(std::string &text) {
    if (text.find('\r') == std::string::npos) return;
    size_t w = 0;
    const size_t n = text.size();
    for (size_t r = 0; r < n; ++r) {
        char ch = text[r];
        if (ch == '\r') {
            text[w++] = '\n';
            if (r + 1 < n && text[r + 1] == '\n') ++r;
        } else {
            text[w++] = ch;
        }
    }
    text.resize(w);
}

bool valid_utf8(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const unsigned char *end = p + s.size();
    while (p < end) {
        // Runs of ASCII, the bulk of any source file, eight bytes at a time.
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if (word & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p == end) break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        // The bytes that follow a leading byte, and the range of the first
        // of them (narrower where it would give an overlong form, a
        // surrogate or a code point above U+10FFFF).
        if (c < 0xC2 || c > 0xF4) return false;
        size_t need = c <= 0xDF ? 1 : c <= 0xEF ? 2 : 3;
        unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        if (static_cast<size_t>(end - p) <= need) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (size_t k = 2; k <= need; ++k)
            if (p[k] < 0x80 || p[k] > 0xBF) return false;
        p += need + 1;
    }
    return true;
}

namespace {

// Offsets of the starts of the lines that hold what `need` asks for, in
// increasing order, each line once.  Searches the whole text at a time,
// which is much faster than line by line.
std::vector<size_t> lines_holding(std::string_view text, const Need &need) {
    std::vector<size_t> starts;
    std::string_view needle =
        need.kind == Needs::Literal ? std::string_view(need.literal) : std::string_view("errin");
    size_t from = 0;
    while (from < text.size()) {
        const void *hit =
            ::memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
        if (!hit) break;
        size_t at = static_cast<size_t>(static_cast<const char *>(hit) - text.data());
        if (need.kind == Needs::FerrinQuoted) {
            size_t after = at + needle.size();
            if (after >= text.size() || (text[after] != '\'' && text[after] != '"')) {
                from = at + 1;
                continue;
            }
        }
        size_t nl = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
        starts.push_back(nl == std::string_view::npos ? 0 : nl + 1);
        // Go on after the end of this line: it is a candidate already.
        size_t end = text.find('\n', at);
        from = end == std::string_view::npos ? text.size() : end + 1;
    }
    return starts;
}

// The end of the line that begins at `start`, its "\n" included.
size_t line_end(std::string_view all, size_t start) {
    size_t nl = all.find('\n', start);
    return nl == std::string_view::npos ? all.size() : nl + 1;
}

// Some pattern sees every line: each line is tried on its own.
std::vector<Candidate> line_by_line(std::string_view all, const Need &a, const Need &b) {
    std::vector<Candidate> out;
    auto holds = [](std::string_view line, const Need &need) {
        if (need.kind == Needs::Nothing) return true;
        if (need.kind == Needs::Never) return false;
        return !lines_holding(line, need).empty();
    };
    size_t index = 0, pos = 0;
    while (pos < all.size()) {
        size_t end = line_end(all, pos);
        std::string_view line = all.substr(pos, end - pos);
        bool first = holds(line, a), second = holds(line, b);
        if (first || second) out.push_back({index, {pos, end}, first, second});
        pos = end;
        ++index;
    }
    return out;
}

}  // namespace

std::vector<Candidate> candidates(std::string_view all, const Need &a, const Need &b) {
    if (a.kind == Needs::Nothing || b.kind == Needs::Nothing) return line_by_line(all, a, b);
    std::vector<size_t> first, second;
    if (a.kind != Needs::Never) first = lines_holding(all, a);
    if (b.kind != Needs::Never) second = lines_holding(all, b);
    // Merge the two lists; line numbers come from counting the line breaks
    // passed on the way.
    std::vector<Candidate> out;
    size_t i = 0, j = 0, counted_to = 0, index = 0;
    while (i < first.size() || j < second.size()) {
        size_t start = j >= second.size() || (i < first.size() && first[i] <= second[j])
                           ? first[i]
                           : second[j];
        bool in_first = i < first.size() && first[i] == start;
        bool in_second = j < second.size() && second[j] == start;
        i += in_first;
        j += in_second;
        index +=
            static_cast<size_t>(std::count(all.data() + counted_to, all.data() + start, '\n'));
        counted_to = start;
        out.push_back({index, {start, line_end(all, start)}, in_first, in_second});
    }
    return out;
}

// ---- where a comment may go in a Python source --------------------------------

namespace {

std::string_view without_break(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

size_t skip_blanks(std::string_view line, size_t i = 0) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\f')) ++i;
    return i;
}

// The bytes that can change what the rest of a line is: quotes, the
// backslash and '#'.
bool special_byte(char c) { return c == '"' || c == '\'' || c == '\\' || c == '#'; }

bool three_of(std::string_view line, size_t j, char quote) {
    return j + 2 < line.size() && line[j] == quote && line[j + 1] == quote && line[j + 2] == quote;
}

bool comment_or_blank(std::string_view line) {
    size_t i = skip_blanks(line);
    return i == line.size() || line[i] == '#';
}

// An encoding declaration, as the interpreter finds one:
// ^[ \t\f]*#.*?coding[:=][ \t]*[-\w.]+
bool encoding_declaration(std::string_view line) {
    size_t i = skip_blanks(line);
    if (i == line.size() || line[i] != '#') return false;
    for (size_t at = line.find("coding", i); at != std::string_view::npos;
         at = line.find("coding", at + 1)) {
        size_t j = at + 6;
        if (j >= line.size() || (line[j] != ':' && line[j] != '=')) continue;
        j = skip_blanks(line, j + 1);
        if (j < line.size()) {
            unsigned char c = static_cast<unsigned char>(line[j]);
            if (c >= 0x80 || std::isalnum(c) || c == '-' || c == '_' || c == '.') return true;
        }
    }
    return false;
}

}  // namespace

std::vector<char> comment_slots(const std::vector<std::string_view> &lines) {
    std::vector<char> slots(lines.size(), 0);
    char quote = 0;  // the quote of the string a line break falls in, if any
    bool triple = false, continued = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        slots[i] = static_cast<char>(quote == 0 && !continued);
        std::string_view line = without_break(lines[i]);
        continued = false;
        bool escaped_break = false;
        for (size_t j = 0; j < line.size();) {
            // Most bytes are none of quote, backslash and '#': passed at once.
            while (j < line.size() && !special_byte(line[j])) ++j;
            if (j == line.size()) break;
            char c = line[j];
            if (quote) {
                if (c == '\\') {  // escapes what follows, the line break too
                    escaped_break = j + 1 == line.size();
                    j += 2;
                    continue;
                }
                // The string ends at its quote (three of them for a triple-
                // quoted one); any other character is inside it.
                if (c == quote && (!triple || three_of(line, j, quote))) {
                    j += triple ? 3 : 1;
                    quote = 0;
                } else {
                    ++j;
                }
                continue;
            }
            if (c == '#') break;
            if (c == '"' || c == '\'') {
                triple = three_of(line, j, c);
                quote = c;
                j += triple ? 3 : 1;
                continue;
            }
            if (c == '\\' && j + 1 == line.size()) continued = true;
            ++j;
        }
        if (quote && !triple && !escaped_break) quote = 0;  // unclosed: it ends here
    }
    // The shebang and the encoding declaration keep their lines: nothing
    // goes above them.
    size_t pinned = 0;
    if (!lines.empty()) {
        std::string_view first = without_break(lines[0]);
        if (first.compare(0, 2, "#!") == 0 || encoding_declaration(first)) pinned = 1;
        if (lines.size() > 1 && comment_or_blank(first) &&
            encoding_declaration(without_break(lines[1])))
            pinned = 2;
    }
    for (size_t i = 0; i < pinned; ++i) slots[i] = 0;
    return slots;
}

char32_t code_point(std::string_view s, size_t i, size_t &len) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    unsigned char c = b(0);
    if (c < 0x80) {
        len = 1;
        return c;
    }
    if (c < 0xE0) {
        len = 2;
        return (char32_t(c & 0x1F) << 6) | (b(1) & 0x3F);
    }
    if (c < 0xF0) {
        len = 3;
        return (char32_t(c & 0x0F) << 12) | (char32_t(b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    }
    len = 4;
    return (char32_t(c & 0x07) << 18) | (char32_t(b(1) & 0x3F) << 12) |
           (char32_t(b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace tavox::cli::commands::migrate::abstract
