// tavox.cli.commands.migrate.abstract -- a string written as the round
// trip writes it (see yaml_write.hpp): the emitter's analysis of a scalar,
// its choice of style, and its quoting.
#include "yaml_write.hpp"

#include "text_scan.hpp"
#include "yaml_scalar.hpp"

#include <yaml.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// What the emitter's analysis allows for a text without blanks or breaks.
struct Allowed {
    bool flow_plain = true, block_plain = true, single_quoted = true;
};

bool blank_or_break(char32_t c) {
    return c == 0 || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

Allowed analyse(std::string_view s) {
    std::vector<char32_t> cs;
    for (size_t i = 0, len = 0; i < s.size(); i += len) cs.push_back(code_point(s, i, len));
    bool flow_indicators = false, block_indicators = false, special = false;
    if (s.substr(0, 3) == "---" || s.substr(0, 3) == "...")
        flow_indicators = block_indicators = true;
    bool preceded = true;
    for (size_t i = 0; i < cs.size(); ++i) {
        char32_t ch = cs[i];
        bool followed = i + 1 >= cs.size() || blank_or_break(cs[i + 1]);
        if (i == 0) {
            if (ch < 0x80 && std::strchr("#,[]{}&*!|>'\"%@`", static_cast<int>(ch)) && ch)
                flow_indicators = block_indicators = true;
            // As the emitter has it for YAML 1.1, which the file's loader
            // reads: a leading "?" or ":" is never plain in a flow
            // collection (1.2 allows it before a character).
            if (ch == '?' || ch == ':') {
                flow_indicators = true;
                if (followed) block_indicators = true;
            }
            if (ch == '-' && followed) flow_indicators = block_indicators = true;
        } else {
            if (ch == ',' || ch == '[' || ch == ']' || ch == '{' || ch == '}' || ch == '?')
                flow_indicators = true;
            if (ch == ':' && followed) flow_indicators = block_indicators = true;
            if (ch == '#' && preceded) flow_indicators = block_indicators = true;
        }
        if (!(ch == '\n' || (ch >= 0x20 && ch <= 0x7E))) {
            bool printable =
                (ch == 0x85 || (ch >= 0xA0 && ch <= 0xD7FF) || (ch >= 0xE000 && ch <= 0xFFFD) ||
                 (ch >= 0x10000 && ch <= 0x10FFFF)) &&
                ch != 0xFEFF;
            if (!printable) special = true;
        }
        preceded = blank_or_break(ch);
    }
    Allowed a;
    if (special) a.flow_plain = a.block_plain = a.single_quoted = false;
    if (flow_indicators) a.flow_plain = false;
    if (block_indicators) a.block_plain = false;
    return a;
}

std::string single_quoted(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

std::string double_quoted(std::string_view s) {
    static const std::pair<char32_t, char> replacements[] = {
        {0, '0'},     {0x07, 'a'}, {0x08, 'b'}, {0x09, 't'},   {0x0A, 'n'},
        {0x0B, 'v'},  {0x0C, 'f'}, {0x0D, 'r'}, {0x1B, 'e'},   {'"', '"'},
        {'\\', '\\'}, {0x85, 'N'}, {0xA0, '_'}, {0x2028, 'L'}, {0x2029, 'P'}};
    std::string out = "\"";
    for (size_t i = 0, len = 0; i < s.size(); i += len) {
        char32_t ch = code_point(s, i, len);
        bool raw = ch != '"' && ch != '\\' && ch != 0x85 && ch != 0x2028 && ch != 0x2029 &&
                   ch != 0xFEFF &&
                   ((ch >= 0x20 && ch <= 0x7E) || (ch >= 0xA0 && ch <= 0xD7FF) ||
                    (ch >= 0xE000 && ch <= 0xFFFD));
        if (raw) {
            out.append(s.substr(i, len));
            continue;
        }
        auto it = std::find_if(std::begin(replacements), std::end(replacements),
                               [&](const auto &r) { return r.first == ch; });
        char buf[16];
        if (it != std::end(replacements)) snprintf(buf, sizeof buf, "\\%c", it->second);
        else if (ch <= 0xFF) snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(ch));
        else if (ch <= 0xFFFF) snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(ch));
        else snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(ch));
        out += buf;
    }
    return out + "\"";
}

}  // namespace

std::string written(std::string_view value, int style, bool flow) {
    Allowed a = analyse(value);
    if (style == YAML_DOUBLE_QUOTED_SCALAR_STYLE) return double_quoted(value);
    if (style == YAML_SINGLE_QUOTED_SCALAR_STYLE)
        return a.single_quoted ? single_quoted(value) : double_quoted(value);
    bool plain = flow ? a.flow_plain : a.block_plain;
    if (plain && !value.empty() && resolve_plain_12(value) == Scalar::Str &&
        resolve_plain(value) == Scalar::Str)
        return std::string(value);
    if (value.find('\'') != std::string_view::npos) return double_quoted(value);
    return a.single_quoted ? single_quoted(value) : double_quoted(value);
}

}  // namespace tavox::cli::commands::migrate::abstract
