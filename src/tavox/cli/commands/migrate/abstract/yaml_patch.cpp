// tavox.cli.commands.migrate.abstract -- the YAML patcher (see
// yaml_patch.hpp).
//
// It follows the round trip's view of the document: ruamel.yaml loads it
// as YAML 1.2 (where "yes" is text), refuses repeated keys, keeps the
// quoting of a string value it replaces, and writes a new string plain
// where that reads back as the string, quoted otherwise.  Where the file's
// loader (YAML 1.1) would read a plain value otherwise ("yes", "1:20"),
// the value is quoted, so that the file holds the text it was given.
#include "yaml_patch.hpp"

#include "yaml_tree.hpp"

#include <yaml.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace tavox::cli::commands::migrate::abstract {

namespace {

using Node = YamlTree::Node;
using Kind = YamlTree::Kind;
constexpr uint32_t none = YamlTree::none;
constexpr std::string_view MARKER = "* ABSTRACTION";

// Thrown where only the round trip can tell.
struct HandOver {
    const char *why;
};

// ---- text ----------------------------------------------------------------------

// The code point at `i` of valid UTF-8 text, and its length in bytes.
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

// str.isspace() of one character: what \s matches and str.strip() strips.
bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// The runs of characters that are not blank, as [begin, end) byte ranges.
std::vector<std::pair<size_t, size_t>> runs(std::string_view s) {
    std::vector<std::pair<size_t, size_t>> out;
    bool in = false;
    for (size_t i = 0, len = 0; i < s.size(); i += len) {
        bool blank = is_space(code_point(s, i, len));
        if (!blank && !in) out.push_back({i, s.size()});
        if (blank && in) out.back().second = i;
        in = !blank;
    }
    return out;
}

// line.strip()
std::string_view strip(std::string_view s) {
    auto r = runs(s);
    if (r.empty()) return {};
    return s.substr(r.front().first, r.back().second - r.front().first);
}

bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        size_t len;
        char32_t cp = code_point(s, i, len);
        if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

// ---- the suggestion lines ---------------------------------------------------------

// A suggestion, as the two grammars of the passes read a stripped line:
//   fix:   ^(?P<path>\S+):\s+(?P<token>\S+)(\s+->\s+(?P<new>\S+))?$
//   check: ^(?P<path>\S+):\s+Please ensure (?P<token>\S+) is a valid
//          (?P<platform>\S+) platform$
struct Suggestion {
    std::string_view path, token, new_value, platform;
    bool arrow = false;
};

// The path: the first run less its final ":", which the blanks after it
// make the only ":" the pattern can stop at.
bool path_of(std::string_view line, const std::pair<size_t, size_t> &first, Suggestion &s) {
    std::string_view run = line.substr(first.first, first.second - first.first);
    if (run.size() < 2 || run.back() != ':') return false;
    s.path = run.substr(0, run.size() - 1);
    return true;
}

bool match_fix(std::string_view line, Suggestion &s) {
    auto r = runs(line);
    if ((r.size() != 2 && r.size() != 4) || !path_of(line, r[0], s)) return false;
    auto part = [&](size_t k) { return line.substr(r[k].first, r[k].second - r[k].first); };
    if (r.size() == 4 && part(2) != "->") return false;
    s.token = part(1);
    s.arrow = r.size() == 4;
    if (s.arrow) s.new_value = part(3);
    return true;
}

bool match_check(std::string_view line, Suggestion &s) {
    auto r = runs(line);
    if (r.size() < 2 || !path_of(line, r[0], s)) return false;
    std::string_view rest = line.substr(r[1].first);
    // A run of characters that are no blank, ending where `rest` continues
    // with `after`.
    auto word = [](std::string_view &rest, std::string_view &out, std::string_view after) {
        size_t i = 0, len = 0;
        while (i < rest.size() && !is_space(code_point(rest, i, len))) i += len;
        if (i == 0 || rest.substr(i, after.size()) != after) return false;
        out = rest.substr(0, i);
        rest.remove_prefix(i + after.size());
        return true;
    };
    constexpr std::string_view head = "Please ensure ";
    if (rest.substr(0, head.size()) != head) return false;
    rest.remove_prefix(head.size());
    return word(rest, s.token, " is a valid ") && word(rest, s.platform, " platform") &&
           rest.empty();
}

// ---- the round trip's view of a scalar -------------------------------------------

bool digit(char c) { return c >= '0' && c <= '9'; }

size_t sign_length(std::string_view v) { return !v.empty() && (v[0] == '-' || v[0] == '+'); }

// Whether the round trip builds a number of this text without raising:
// some digits, and few enough for the interpreter to convert.
bool number_builds(Scalar type, std::string_view v) {
    std::string digits;
    for (char c : v.substr(sign_length(v)))
        if (c != '_') digits += c;
    if (type == Scalar::Float)
        return std::any_of(digits.begin(), digits.end(), digit) ||
               digits.find("inf") != std::string::npos ||
               digits.find("nan") != std::string::npos ||
               digits.find("Inf") != std::string::npos ||
               digits.find("NaN") != std::string::npos ||
               digits.find("INF") != std::string::npos || digits.find("NAN") != std::string::npos;
    std::string_view d(digits);
    if (d.substr(0, 2) == "0b" || d.substr(0, 2) == "0o" || d.substr(0, 2) == "0x")
        d.remove_prefix(2);
    return !d.empty() && d.size() <= 640;
}

// "0" or a decimal integer as str() writes it back.
bool canonical_int(std::string_view v) {
    if (v == "0") return true;
    std::string_view d = v.substr(!v.empty() && v[0] == '-');
    return !d.empty() && d.size() <= 640 && d[0] >= '1' && d[0] <= '9' &&
           std::all_of(d.begin(), d.end(), digit);
}

// ---- how the round trip writes a string ---------------------------------------------

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

// `value` written as the round trip writes a str that replaces a scalar of
// libyaml style `style` (YAML_PLAIN_SCALAR_STYLE for a new value): a quoted
// scalar keeps its quotes; otherwise plain where the text reads back as
// itself (under YAML 1.2 and 1.1 alike), quoted otherwise.
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

// ---- lines of the file ----------------------------------------------------------------

bool line_break(char c) { return c == '\n' || c == '\r'; }

class Lines {
public:
    explicit Lines(std::string_view text) : t_(text) {
        bom_ = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
        size_t b = text.find_first_of("\r\n");
        if (b != std::string_view::npos) usual_ = break_at(b);
    }
    // Where the line holding `pos` begins (after a byte-order mark).
    size_t start(size_t pos) const {
        while (pos > bom_ && !line_break(t_[pos - 1])) --pos;
        return pos;
    }
    // Where the line holding `pos` ends, before its line break.
    size_t end(size_t pos) const {
        while (pos < t_.size() && !line_break(t_[pos])) ++pos;
        return pos;
    }
    // The line break at `pos` (the end of a line): "" at the end of the text.
    std::string_view break_at(size_t pos) const {
        if (pos >= t_.size()) return {};
        if (t_[pos] == '\r' && pos + 1 < t_.size() && t_[pos + 1] == '\n')
            return t_.substr(pos, 2);
        return t_.substr(pos, 1);
    }
    // The line before the one that begins at `line`, without its break.
    std::optional<std::string_view> above(size_t line) const {
        if (line <= bom_) return std::nullopt;
        size_t end = line - 1;
        if (t_[end] == '\n' && end > bom_ && t_[end - 1] == '\r') --end;
        size_t begin = start(end);
        return t_.substr(begin, end - begin);
    }
    // The break a new line gets where a line has none: the file's first.
    std::string_view usual() const { return usual_; }
    std::string_view text() const { return t_; }

private:
    std::string_view t_;
    size_t bom_ = 0;
    std::string_view usual_ = "\n";
};

// ---- the document ----------------------------------------------------------------------

// A key of a mapping as the round trip builds it: a str, an int written as
// str() writes it, or None.
struct KeyValue {
    char type;  // 's', 'i', 'n'
    std::string_view text;
    bool operator==(const KeyValue &o) const { return type == o.type && text == o.text; }
};

struct KeyHash {
    size_t operator()(const KeyValue &k) const {
        return std::hash<std::string_view>()(k.text) ^ static_cast<size_t>(k.type);
    }
};

struct Edit {
    size_t at, erase;
    std::string insert;
    int group;        // at one place: new keys (deepest mapping first), then markers
    long long depth;  // of a new key's mapping, negated
    size_t order;
};

// A key added to a mapping by this patch: appended at its end.
struct Added {
    uint32_t mapping;
    std::string key, value;
    std::string marker;  // the marker comment above it, if any
    size_t order;
};

// A marker comment for an existing key.
struct Marker {
    uint32_t key;  // key node
    std::string text;
};

class Patcher {
public:
    // `read`: the tree holds `text`, read with marks, as one document.
    Patcher(YamlTree &tree, bool read, std::string_view text, YamlPatch &out)
        : tree_(tree), lines_(text), out_(out), read_already_(read) {}

    void run(const std::vector<std::string> &lines, bool fixes, bool comments);

private:
    const Node &node(uint32_t i) const { return tree_.node(i); }
    uint32_t index(const Node &n) const { return tree_.index(n); }
    std::string_view text(const Node &n) const { return tree_.text(n); }
    bool is_mapping(uint32_t i) const { return node(i).kind == Kind::Mapping; }
    bool flow(const Node &n) const {
        return n.style == YAML_FLOW_MAPPING_STYLE || n.style == YAML_FLOW_SEQUENCE_STYLE;
    }

    void read();
    void mark_existing();
    KeyValue key_value(const Node &key) const;
    uint32_t lookup(uint32_t mapping, std::string_view key) const;
    Added *added(uint32_t mapping, std::string_view key);
    uint32_t child_named(uint32_t mapping, std::string_view name) const;
    bool walk(uint32_t at, const std::vector<std::string_view> &keys, size_t from,
              uint32_t &found);
    uint32_t get_obj(std::string_view path, std::string_view &key);
    std::optional<std::string> str_of(uint32_t value) const;

    void fix(const Suggestion &s);
    void check(const Suggestion &s);
    bool set_value(uint32_t mapping, std::string_view key, std::string_view token,
                   std::string_view value);
    void assign(uint32_t mapping, std::string_view key, std::string_view value);
    void replace(uint32_t value_node, std::string_view value);
    void add_marker(uint32_t mapping, std::string_view key, std::string text);

    std::vector<YamlEdit> result();
    void edit_value(uint32_t node, std::string_view value, std::vector<Edit> &edits);
    size_t content_end(uint32_t node) const;
    size_t entries_end(uint32_t node) const;
    size_t colon_after(const Node &key) const;
    std::string indent_for(const Node &key) const;
    bool within_flow_lines(uint32_t node) const;
    bool verify(const std::string &out) const;

    YamlTree &tree_;
    Lines lines_;
    YamlPatch &out_;
    std::vector<uint32_t> parent_;  // of every node
    std::vector<uint32_t> key_of_;  // the key node of every mapping value
    // Values replaced: node -> new text, few in a file.
    std::vector<std::pair<uint32_t, std::string>> replaced_;
    const std::string *replacement(uint32_t node) const {
        for (const auto &r : replaced_)
            if (r.first == node) return &r.second;
        return nullptr;
    }
    std::vector<Added> added_;
    std::vector<Marker> markers_;
    std::unordered_set<uint32_t> marked_;  // mappings with a marker
    size_t order_ = 0;
    bool read_already_;
};

// ---- reading ---------------------------------------------------------------------------------

// The document read with its marks; handed over unless the round trip
// loads it as plain data that this patcher can follow with certainty.
void Patcher::read() {
    std::string_view t = lines_.text();
    // libyaml's reader refuses what is not UTF-8.  It also breaks lines at
    // NEL, LS and PS; lines here break at CR and LF only.
    if (!read_already_ && tree_.read(t, true) != YamlTree::Read::Document)
        throw HandOver{"not one document"};
    for (size_t at = t.find_first_of("\xC2\xE2"); at != std::string_view::npos;
         at = t.find_first_of("\xC2\xE2", at + 1)) {
        std::string_view c = t.substr(at, 3);
        if (c.substr(0, 2) == "\xC2\x85" || c == "\xE2\x80\xA8" || c == "\xE2\x80\xA9")
            throw HandOver{"a line break of Unicode's"};
    }
    if (tree_.directives()) throw HandOver{"directives"};
    if (!tree_.safe_load()) throw HandOver{"beyond plain data"};
    if (tree_.root().kind != Kind::Mapping) throw HandOver{"the document is no mapping"};

    parent_.assign(tree_.size(), none);
    key_of_.assign(tree_.size(), none);
    for (uint32_t i = 0; i < tree_.size(); ++i) {
        const Node &n = node(i);
        uint32_t key = none;
        for (uint32_t c = n.first; c != none; c = node(c).next) {
            parent_[c] = i;
            if (n.kind != Kind::Mapping) continue;
            if (key == none) {
                key = c;
            } else {
                key_of_[c] = key;
                key = none;
            }
        }
        if (n.kind == Kind::Scalar && n.implicit) {
            Scalar type = resolve_plain_12(text(n));
            if ((type == Scalar::Int || type == Scalar::Float) && !number_builds(type, text(n)))
                throw HandOver{"a number the round trip cannot build"};
        }
    }
    // Every key must be one the round trip builds as a str, an int or None,
    // and no mapping may repeat one (the round trip refuses to load it).
    bool repeated = false;
    std::vector<KeyValue> keys;
    std::unordered_set<KeyValue, KeyHash> seen;
    for (uint32_t i = 0; i < tree_.size(); ++i) {
        const Node &n = node(i);
        if (n.kind != Kind::Mapping) continue;
        keys.clear();
        bool is_key = true;
        for (uint32_t c = n.first; c != none; c = node(c).next, is_key = !is_key) {
            if (!is_key) continue;
            KeyValue k = key_value(node(c));
            if (k.type == 0) throw HandOver{"a key that is no text or plain integer"};
            keys.push_back(k);
        }
        if (keys.size() <= 16) {
            for (size_t a = 0; a < keys.size() && !repeated; ++a)
                for (size_t b = a + 1; b < keys.size() && !repeated; ++b)
                    repeated = keys[a] == keys[b];
        } else {
            seen.clear();
            for (const KeyValue &k : keys) repeated = repeated || !seen.insert(k).second;
        }
    }
    if (repeated) {
        out_.outcome = YamlPatch::Outcome::DuplicateKeys;
        return;
    }
    mark_existing();
}

KeyValue Patcher::key_value(const Node &key) const {
    std::string_view v = text(key);
    if (key.kind != Kind::Scalar) return {0, v};
    if (!key.implicit) return {'s', v};
    switch (resolve_plain_12(v)) {
    case Scalar::Str:
        return {'s', v};
    case Scalar::Null:
        return {'n', {}};
    case Scalar::Int:
        if (canonical_int(v)) return {'i', v};
        [[fallthrough]];
    default:
        return {0, v};
    }
}

// str() of a scalar value as the round trip builds it, or of the text
// that replaced it; none where that is not certain (a collection, a float).
std::optional<std::string> Patcher::str_of(uint32_t value) const {
    if (const std::string *r = replacement(value)) return *r;
    const Node &n = node(value);
    if (n.kind != Kind::Scalar) return std::nullopt;
    if (!n.implicit) return std::string(text(n));
    switch (resolve_plain_12(text(n))) {
    case Scalar::Str:
        return std::string(text(n));
    case Scalar::Null:
        return std::string("None");
    case Scalar::Int:
        if (canonical_int(text(n))) return std::string(text(n));
        [[fallthrough]];
    default:
        return std::nullopt;
    }
}

// The mappings that carry a marker comment already.  A marker belongs to
// the key it stands above (the first key after it), or, at the end of a
// line, to the last key before it on that line or above.
void Patcher::mark_existing() {
    std::string_view t = lines_.text();
    if (t.find(MARKER) == std::string_view::npos) return;
    std::vector<std::pair<uint32_t, uint32_t>> spans, keys;  // (start, end), (start, mapping)
    for (uint32_t i = 0; i < tree_.size(); ++i) {
        const Node &n = node(i);
        if (n.kind == Kind::Scalar) spans.push_back({n.start, n.end});
        if (n.kind != Kind::Mapping) continue;
        bool is_key = true;
        for (uint32_t c = n.first; c != none; c = node(c).next, is_key = !is_key)
            if (is_key) keys.push_back({node(c).start, i});
    }
    std::sort(spans.begin(), spans.end());
    std::sort(keys.begin(), keys.end());
    for (size_t at = t.find(MARKER); at != std::string_view::npos; at = t.find(MARKER, at + 1)) {
        auto s = std::upper_bound(spans.begin(), spans.end(),
                                  std::make_pair(static_cast<uint32_t>(at), UINT32_MAX));
        if (s != spans.begin() && at < std::prev(s)->second) continue;  // inside a value
        size_t line = lines_.start(at);
        size_t first = t.find_first_not_of(" \t", line);
        bool own_line = first != std::string_view::npos && t[first] == '#';
        auto k = std::upper_bound(keys.begin(), keys.end(),
                                  std::make_pair(static_cast<uint32_t>(at), UINT32_MAX));
        if (own_line && k != keys.end()) marked_.insert(k->second);
        else if (k != keys.begin()) marked_.insert(std::prev(k)->second);
    }
}

// ---- the document as the passes walk it --------------------------------------------------------

// The value node under the str key `key` of a mapping, or none.
uint32_t Patcher::lookup(uint32_t mapping, std::string_view key) const {
    bool is_key = true;
    for (uint32_t c = node(mapping).first; c != none; c = node(c).next, is_key = !is_key) {
        if (!is_key) continue;
        KeyValue k = key_value(node(c));
        if (k.type == 's' && k.text == key) return node(c).next;
        if (k.type != 's' && k.text == key && !k.text.empty())
            throw HandOver{"a number key written as the suggested key"};
    }
    return none;
}

Added *Patcher::added(uint32_t mapping, std::string_view key) {
    for (Added &a : added_)
        if (a.mapping == mapping && a.key == key) return &a;
    return nullptr;
}

// mapping.get(name), else the key that is no str but reads as `name`.
uint32_t Patcher::child_named(uint32_t mapping, std::string_view name) const {
    bool is_key = true;
    uint32_t other = none;
    for (uint32_t c = node(mapping).first; c != none; c = node(c).next, is_key = !is_key) {
        if (!is_key) continue;
        KeyValue k = key_value(node(c));
        if (k.type == 's' && k.text == name) return node(c).next;
        std::string_view shown = k.type == 'n' ? std::string_view("None") : k.text;
        if (k.type != 's' && shown == name && other == none) other = node(c).next;
    }
    return other;
}

// The walk of the key path: a key may hold dots, so several components may
// name one key; shorter names are tried first, and a name whose rest leads
// nowhere is backed out of.
bool Patcher::walk(uint32_t at, const std::vector<std::string_view> &keys, size_t from,
                   uint32_t &found) {
    if (from == keys.size()) {
        found = at;
        return true;
    }
    if (!is_mapping(at)) return false;
    std::string name;
    for (size_t end = from; end < keys.size(); ++end) {
        if (end > from) name += '.';
        name.append(keys[end]);
        uint32_t child = child_named(at, name);
        if (child == none) {
            if (added(at, name) && end + 1 == keys.size()) throw HandOver{"a path to a new value"};
            continue;
        }
        if (replacement(child) && end + 1 == keys.size())
            throw HandOver{"a path to a changed value"};
        if (walk(child, keys, end + 1, found)) return true;
    }
    return false;
}

// _get_obj: the mapping the suggestion's path leads to, and its last key.
uint32_t Patcher::get_obj(std::string_view path, std::string_view &key) {
    std::vector<std::string_view> parts;
    for (size_t from = 0;;) {
        size_t dot = path.find('.', from);
        parts.push_back(path.substr(from, dot == std::string_view::npos ? dot : dot - from));
        if (dot == std::string_view::npos) break;
        from = dot + 1;
    }
    if (parts.size() > 64) throw HandOver{"a long key path"};
    key = parts.back();
    parts.pop_back();
    uint32_t found = none;
    // A path that leads nowhere is an error of the round trip's own.
    if (!walk(0, parts, 0, found)) throw HandOver{"a key path that leads nowhere"};
    if (!is_mapping(found)) throw HandOver{"a key path that ends at no mapping"};
    return found;
}

// ---- the passes ------------------------------------------------------------------------------

void Patcher::replace(uint32_t value_node, std::string_view value) {
    const Node &n = node(value_node);
    if (n.kind != Kind::Scalar) throw HandOver{"a collection replaced by a value"};
    if (n.style == YAML_LITERAL_SCALAR_STYLE || n.style == YAML_FOLDED_SCALAR_STYLE)
        throw HandOver{"a block scalar at an edited place"};
    if (within_flow_lines(value_node)) throw HandOver{"a flow collection on several lines"};
    for (auto &r : replaced_)
        if (r.first == value_node) return void(r.second = std::string(value));
    replaced_.push_back({value_node, std::string(value)});
}

// tmp_obj[key] = value
void Patcher::assign(uint32_t mapping, std::string_view key, std::string_view value) {
    uint32_t v = lookup(mapping, key);
    if (v != none) return replace(v, value);
    if (Added *a = added(mapping, key)) {
        a->value = std::string(value);
        return;
    }
    if (flow(node(mapping)) && within_flow_lines(node(mapping).first))
        throw HandOver{"a flow collection on several lines"};
    if (key.empty() || key.size() > 100) throw HandOver{"a key the round trip writes otherwise"};
    added_.push_back({mapping, std::string(key), std::string(value), {}, order_++});
}

// set_value: whether anything changed.  In a list, the entries equal to
// `token` are replaced; a value the document holds already stays.
bool Patcher::set_value(uint32_t mapping, std::string_view key, std::string_view token,
                        std::string_view value) {
    uint32_t v = lookup(mapping, key);
    if (v != none && node(v).kind == Kind::Sequence) {
        bool changed = false;
        for (uint32_t e = node(v).first; e != none; e = node(e).next) {
            std::optional<std::string> s = str_of(e);
            if (!s) throw HandOver{"a list entry the round trip shows otherwise"};
            if (*s == token && *s != value) {
                replace(e, value);
                changed = true;
            }
        }
        return changed;
    }
    if (v != none && node(v).kind == Kind::Scalar) {
        std::optional<std::string> s = str_of(v);
        if (!s) throw HandOver{"a value the round trip shows otherwise"};
        if (*s == value) return false;
    }
    if (v == none)
        if (Added *a = added(mapping, key); a && a->value == value) return false;
    assign(mapping, key, value);
    return true;
}

// add_yaml_comment: a marker above `key`, unless its mapping has one.
void Patcher::add_marker(uint32_t mapping, std::string_view key, std::string text) {
    if (marked_.count(mapping)) return;
    uint32_t v = lookup(mapping, key);
    if (v != none) {
        markers_.push_back({key_of_[v], std::move(text)});
    } else if (Added *a = added(mapping, key)) {
        a->marker = std::move(text);
    } else {
        throw HandOver{"a comment for a key that is not there"};
    }
    marked_.insert(mapping);
}

void Patcher::fix(const Suggestion &s) {
    std::string_view key;
    uint32_t mapping = get_obj(s.path, key);
    if (s.arrow) {
        if (set_value(mapping, key, s.token, s.new_value))
            add_marker(mapping, key,
                       "* ABSTRACTION:TOKEN_CHANGE - " + std::string(key) + " -> " +
                           std::string(s.new_value));
        return;
    }
    // holds(): the key is there with that value already
    uint32_t v = lookup(mapping, key);
    if (v != none && node(v).kind == Kind::Scalar) {
        std::optional<std::string> now = str_of(v);
        if (!now) throw HandOver{"a value the round trip shows otherwise"};
        if (*now == s.token) return;
    }
    if (v == none)
        if (Added *a = added(mapping, key); a && a->value == s.token) return;
    assign(mapping, key, s.token);
    add_marker(mapping, key,
               "* ABSTRACTION:TOKEN_ADDITION - " + std::string(key) + ": " + std::string(s.token));
}

void Patcher::check(const Suggestion &s) {
    std::string_view key;
    uint32_t mapping = get_obj(s.path, key);
    add_marker(mapping, key,
               "* ABSTRACTION:TOKEN_CHECK - Please ensure " + std::string(s.token) +
                   " is a valid " + std::string(s.platform) + " platform");
}

void Patcher::run(const std::vector<std::string> &lines, bool fixes, bool comments) {
    for (const std::string &line : lines)
        if (!valid_utf8(line)) throw HandOver{"a suggestion that is no UTF-8"};
    read();
    if (out_.outcome == YamlPatch::Outcome::DuplicateKeys) return;
    // Each pass takes the lines its grammar accepts; a line the other
    // grammar accepts is left to the other pass, any other is logged.
    std::vector<bool> taken(lines.size(), false);  // applied by the fix pass
    auto pass = [&](const char *name, auto mine, auto theirs, auto apply) {
        out_.log.push_back({false, name});
        for (size_t i = 0; i < lines.size(); ++i) {
            if (taken[i]) continue;
            std::string_view line = strip(lines[i]);
            Suggestion s;
            if (!mine(line, s)) {
                if (!theirs(line, s))
                    out_.log.push_back({true, "Could not parse line: " + std::string(line)});
                continue;
            }
            taken[i] = true;
            apply(s);
        }
    };
    if (fixes) pass("Applying fix", match_fix, match_check, [&](const Suggestion &s) { fix(s); });
    if (comments)
        pass("Applying comment", match_check, match_fix, [&](const Suggestion &s) { check(s); });
    out_.edits = result();
    if (!out_.edits.empty() && !verify(edited(lines_.text(), out_.edits)))
        throw HandOver{"the patched text does not read back as intended"};
    out_.outcome = YamlPatch::Outcome::Patched;
}

// ---- the new text ----------------------------------------------------------------------------

// Whether `n` lies in a flow collection that spans lines.
bool Patcher::within_flow_lines(uint32_t n) const {
    std::string_view t = lines_.text();
    for (uint32_t p = parent_[n]; p != none; p = parent_[p]) {
        const Node &c = node(p);
        if (!flow(c)) continue;
        if (t.substr(c.start, c.end - c.start).find_first_of("\r\n") != std::string_view::npos)
            return true;
    }
    return false;
}

// Where the ":" after a simple key ends.
size_t Patcher::colon_after(const Node &key) const {
    std::string_view t = lines_.text();
    size_t at = key.end;
    while (at < t.size() && (t[at] == ' ' || t[at] == '\t')) ++at;
    if (at >= t.size() || t[at] != ':') throw HandOver{"a value whose place is not certain"};
    return at + 1;
}

// Where the last entry of a node ends in the text.
size_t Patcher::content_end(uint32_t i) const {
    const Node &n = node(i);
    if (n.kind == Kind::Scalar) {
        if (n.style == YAML_LITERAL_SCALAR_STYLE || n.style == YAML_FOLDED_SCALAR_STYLE)
            throw HandOver{"a block scalar ends the mapping"};
        if (n.size == 0 && n.style == YAML_PLAIN_SCALAR_STYLE) {
            if (key_of_[i] == none) throw HandOver{"an empty entry ends the mapping"};
            return colon_after(node(key_of_[i]));
        }
        return n.end;
    }
    if (flow(n) || n.first == none) return n.end;
    return entries_end(i);
}

// Where the last entry of a collection ends: after its last value, which
// in a flow collection comes before the closing bracket.
size_t Patcher::entries_end(uint32_t i) const {
    const Node &n = node(i);
    if (n.first == none) return n.start + 1;  // "{}" or "[]"
    uint32_t last = n.first;
    while (node(last).next != none) last = node(last).next;
    return content_end(last);
}

// The blanks a marker line above `key` begins with: the key's column when
// only blanks and dashes of block sequences stand before it, else the
// line's own indentation (a key inside a flow mapping).
std::string Patcher::indent_for(const Node &key) const {
    std::string_view t = lines_.text();
    size_t line = lines_.start(key.start);
    std::string_view before = t.substr(line, key.start - line);
    if (before.find_first_of("\t?") != std::string_view::npos)
        throw HandOver{"a key after a tab or an explicit key"};
    if (before.find_first_not_of(' ') == std::string_view::npos ||
        (before.find_first_not_of(" -") == std::string_view::npos && before.back() == ' '))
        return std::string(before.size(), ' ');
    return std::string(before.find_first_not_of(' '), ' ');
}

void Patcher::edit_value(uint32_t i, std::string_view value, std::vector<Edit> &edits) {
    const Node &n = node(i);
    bool in_flow = parent_[i] != none && flow(node(parent_[i]));
    std::string shown = written(value, n.style, in_flow);
    if (n.size == 0 && n.style == YAML_PLAIN_SCALAR_STYLE && n.start == n.end) {
        // An empty value: the new one goes after the ":" of its key.
        if (key_of_[i] == none) throw HandOver{"an empty list entry"};
        edits.push_back({colon_after(node(key_of_[i])), 0, " " + shown, 0, 0, 0});
        return;
    }
    edits.push_back({n.start, n.end - n.start, shown, 0, 0, 0});
}

std::vector<YamlEdit> Patcher::result() {
    std::vector<Edit> edits;
    for (const auto &[i, value] : replaced_) edit_value(i, value, edits);
    for (const Marker &m : markers_) {
        const Node &key = node(m.key);
        if (within_flow_lines(m.key)) throw HandOver{"a flow collection on several lines"};
        size_t line = lines_.start(key.start);
        std::string_view brk = lines_.break_at(lines_.end(key.start));
        if (brk.empty()) brk = lines_.usual();
        edits.push_back({line, 0, indent_for(key) + "# " + m.text + std::string(brk), 2, 0, 0});
    }
    for (const Added &a : added_) {
        const Node &m = node(a.mapping);
        std::string key = written(a.key, YAML_PLAIN_SCALAR_STYLE, flow(m));
        if (key.front() == '"' || key.front() == '\'') throw HandOver{"a new key to quote"};
        std::string entry = key + ": " + written(a.value, YAML_PLAIN_SCALAR_STYLE, flow(m));
        if (flow(m)) {
            // Within the braces, after the last entry; its marker above the
            // line, as for the keys that stand there.
            size_t at = entries_end(a.mapping);
            edits.push_back({at, 0, (m.first == none ? "" : ", ") + entry, 1, 0, a.order});
            if (!a.marker.empty()) {
                std::string_view brk = lines_.break_at(lines_.end(at));
                if (brk.empty()) brk = lines_.usual();
                edits.push_back({lines_.start(m.start), 0,
                                 indent_for(m) + "# " + a.marker + std::string(brk), 2, 0,
                                 a.order});
            }
            continue;
        }
        std::string indent = indent_for(node(m.first));
        size_t end = lines_.end(entries_end(a.mapping) - 1);
        std::string_view brk = lines_.break_at(end);
        std::string lines;
        if (!a.marker.empty()) lines += indent + "# " + a.marker;
        entry = indent + entry;
        long long depth = 0;
        for (uint32_t p = a.mapping; p != none; p = parent_[p]) ++depth;
        if (brk.empty()) {
            // The file ends on that line without a break: so does it after.
            std::string_view usual = lines_.usual();
            if (!lines.empty()) lines = std::string(usual) + lines;
            lines += std::string(usual) + entry;
            edits.push_back({end, 0, lines, 1, -depth, a.order});
        } else {
            if (!lines.empty()) lines += std::string(brk);
            lines += entry + std::string(brk);
            edits.push_back({end + brk.size(), 0, lines, 1, -depth, a.order});
        }
    }
    std::sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) {
        if (a.at != b.at) return a.at < b.at;
        if (a.group != b.group) return a.group < b.group;
        if (a.depth != b.depth) return a.depth < b.depth;
        return a.order < b.order;
    });
    std::vector<YamlEdit> out;
    size_t from = 0;
    for (Edit &e : edits) {
        if (e.at < from) throw HandOver{"edits that overlap"};
        from = e.at + e.erase;
        out.push_back(
            {static_cast<uint32_t>(e.at), static_cast<uint32_t>(e.erase), std::move(e.insert)});
    }
    return out;
}

// ---- reading the result again ---------------------------------------------------------------

// What a scalar holds for the file's loader: its type and text.
Scalar data_type(const Node &n, std::string_view text) {
    return n.implicit ? resolve_plain(text) : Scalar::Str;
}

// libyaml's parser over a text, and its event, released on every way out.
class Events {
public:
    explicit Events(std::string_view text) {
        ok_ = yaml_parser_initialize(&parser_) != 0;
        if (ok_)
            yaml_parser_set_input_string(
                &parser_, reinterpret_cast<const unsigned char *>(text.data()), text.size());
    }
    ~Events() {
        clear();
        if (ok_) yaml_parser_delete(&parser_);
    }
    Events(const Events &) = delete;
    Events &operator=(const Events &) = delete;
    // The next event, or null at a parse error.
    const yaml_event_t *next() {
        clear();
        if (!ok_ || !yaml_parser_parse(&parser_, &event_)) return nullptr;
        held_ = true;
        return &event_;
    }

private:
    void clear() {
        if (held_) yaml_event_delete(&event_);
        held_ = false;
    }
    yaml_parser_t parser_;
    yaml_event_t event_;
    bool ok_ = false, held_ = false;
};

// The new text holds the original data with the suggestions applied, and
// every marker stands directly above its key.  The text's events are
// compared as they come with the document as it should now be: each node
// of the original in order, a replaced value as its new text, the keys
// added to a mapping after its last entry.
bool Patcher::verify(const std::string &out) const {
    // Where the collections being compared stand: the next original child,
    // and the next of the mapping's added keys (key, then value).
    struct Frame {
        uint32_t node, child;
        size_t added = 0;
        bool value = false;  // an added key was met: its value is next
    };
    std::vector<const Added *> adds;
    auto added_to = [&](uint32_t mapping, size_t k) -> const Added * {
        for (const Added &a : added_)
            if (a.mapping == mapping && k-- == 0) return &a;
        return nullptr;
    };
    std::vector<std::pair<size_t, const std::string *>> lines_marked;  // key's line, marker
    std::vector<Frame> open;
    bool document = false, ended = false;
    Events events(out);
    auto scalar_is = [](const yaml_event_t &e, std::string_view text) {
        std::string_view v(reinterpret_cast<const char *>(e.data.scalar.value),
                           e.data.scalar.length);
        return v == text;
    };
    auto data_of = [](const yaml_event_t &e) {
        std::string_view v(reinterpret_cast<const char *>(e.data.scalar.value),
                           e.data.scalar.length);
        return e.data.scalar.plain_implicit ? resolve_plain(v) : Scalar::Str;
    };
    for (;;) {
        const yaml_event_t *e = events.next();
        if (!e) return false;
        switch (e->type) {
        case YAML_STREAM_START_EVENT:
            continue;
        case YAML_STREAM_END_EVENT:
            if (!ended) return false;
            break;
        case YAML_DOCUMENT_START_EVENT:
            if (document || e->data.document_start.version_directive ||
                e->data.document_start.tag_directives.start !=
                    e->data.document_start.tag_directives.end)
                return false;
            document = true;
            continue;
        case YAML_DOCUMENT_END_EVENT:
            if (!open.empty() || !ended) return false;
            continue;
        case YAML_ALIAS_EVENT:
            return false;
        default:
            break;
        }
        if (e->type == YAML_STREAM_END_EVENT) break;
        if (e->type == YAML_MAPPING_END_EVENT || e->type == YAML_SEQUENCE_END_EVENT) {
            if (open.empty()) return false;
            Frame &f = open.back();
            if (f.child != none || f.value || added_to(f.node, f.added)) return false;
            open.pop_back();
            continue;
        }
        // A node: what it should be, and where it goes.
        if (open.empty() && ended) return false;
        uint32_t expect = none;
        const Added *extra = nullptr;
        if (open.empty()) {
            expect = 0;
            ended = true;
        } else {
            Frame &f = open.back();
            if (f.child != none) {
                expect = f.child;
                f.child = node(f.child).next;
            } else if ((extra = added_to(f.node, f.added))) {
                if (f.value) ++f.added;
                f.value = !f.value;
            } else {
                return false;
            }
        }
        bool is_scalar = e->type == YAML_SCALAR_EVENT;
        if (extra) {
            // key, then value: plain text both
            bool value = !open.back().value;
            const std::string &want = value ? extra->value : extra->key;
            if (!is_scalar || e->data.scalar.tag || e->data.scalar.anchor ||
                !scalar_is(*e, want) || data_of(*e) != Scalar::Str)
                return false;
            if (!value && !extra->marker.empty())
                lines_marked.push_back({e->start_mark.line, &extra->marker});
            continue;
        }
        const Node &a = node(expect);
        if (is_scalar) {
            if (a.kind != Kind::Scalar || e->data.scalar.tag || e->data.scalar.anchor)
                return false;
            const std::string *r = replaced_.empty() ? nullptr : replacement(expect);
            if (r) {
                if (!scalar_is(*e, *r) || data_of(*e) != Scalar::Str) return false;
            } else if (!scalar_is(*e, text(a)) ||
                       (a.implicit != (e->data.scalar.plain_implicit != 0) &&
                        data_type(a, text(a)) != data_of(*e))) {
                return false;
            }
            for (const Marker &m : markers_)
                if (m.key == expect) lines_marked.push_back({e->start_mark.line, &m.text});
            continue;
        }
        bool mapping = e->type == YAML_MAPPING_START_EVENT;
        const yaml_char_t *tag = mapping ? e->data.mapping_start.tag : e->data.sequence_start.tag;
        const yaml_char_t *anchor =
            mapping ? e->data.mapping_start.anchor : e->data.sequence_start.anchor;
        if (a.kind != (mapping ? Kind::Mapping : Kind::Sequence) || tag || anchor) return false;
        open.push_back({expect, a.first});
    }
    if (lines_marked.size() !=
        markers_.size() + std::count_if(added_.begin(), added_.end(),
                                        [](const Added &a) { return !a.marker.empty(); }))
        return false;
    // Each marker among the comment lines stacked directly above its key's
    // line (libyaml counts lines as these are split).
    std::vector<size_t> starts = {0};
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') ++i;
        if (out[i] == '\n' || out[i] == '\r') starts.push_back(i + 1);
    }
    for (const auto &[line, marker] : lines_marked) {
        bool found = false;
        for (size_t above = line; !found && above-- > 0;) {
            std::string_view text(out.data() + starts[above], starts[above + 1] - starts[above]);
            while (!text.empty() && line_break(text.back())) text.remove_suffix(1);
            if (above == 0 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
            size_t b = text.find_first_not_of(' ');
            if (b == std::string_view::npos || text[b] != '#') break;
            found = text.substr(b) == "# " + *marker;
        }
        if (!found) return false;
    }
    return true;
}

}  // namespace

namespace {

YamlPatch patch(YamlTree &tree, bool read, std::string_view bytes,
                const std::vector<std::string> &lines, bool fixes, bool comments) noexcept {
    YamlPatch out;
    try {
        Patcher(tree, read, bytes, out).run(lines, fixes, comments);
    } catch (const HandOver &h) {
        out = YamlPatch();
        out.reason = h.why;
    } catch (...) {  // out of memory, or a node the tree does not hold
        out = YamlPatch();
        out.reason = "an error of the patcher's own";
    }
    return out;
}

}  // namespace

YamlPatch patch_yaml(std::string_view bytes, const std::vector<std::string> &lines, bool fixes,
                     bool comments) noexcept {
    try {
        YamlTree tree;
        return patch(tree, false, bytes, lines, fixes, comments);
    } catch (...) {
        return YamlPatch();
    }
}

YamlPatch patch_yaml(YamlTree &tree, std::string_view bytes, const std::vector<std::string> &lines,
                     bool fixes, bool comments) noexcept {
    return patch(tree, true, bytes, lines, fixes, comments);
}

std::string edited(std::string_view bytes, const std::vector<YamlEdit> &edits) {
    std::string out;
    size_t grown = 0;
    for (const YamlEdit &e : edits) grown += e.insert.size();
    out.reserve(bytes.size() + grown);
    size_t from = 0;
    for (const YamlEdit &e : edits) {
        out.append(bytes.substr(from, e.at - from)).append(e.insert);
        from = e.at + e.erase;
    }
    return out.append(bytes.substr(from));
}

std::vector<std::string> body_lines(std::string_view body) {
    std::vector<std::string> out;
    for (size_t from = 0; from < body.size();) {
        size_t end = body.find('\n', from);
        if (end == std::string_view::npos) end = body.size();
        out.emplace_back(body.substr(from, end - from));
        from = end + 1;
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> marker_places(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::vector<std::string_view> lines;
    for (size_t from = 0; from <= text.size();) {
        size_t end = text.find_first_of("\r\n", from);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(from, end - from));
        from = end + 1 + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n');
        if (end == text.size()) break;
    }
    auto trimmed = [](std::string_view l) {
        size_t b = l.find_first_not_of(" \t");
        return b == std::string_view::npos ? std::string_view() : l.substr(b);
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view l = trimmed(lines[i]);
        if (l.substr(0, 2) != "# " || l.substr(2, MARKER.size()) != MARKER) continue;
        std::string key;
        for (size_t j = i + 1; j < lines.size(); ++j) {
            std::string_view below = trimmed(lines[j]);
            if (below.empty() || below[0] == '#') continue;
            if (below.substr(0, 2) == "- ") below.remove_prefix(2);
            key = std::string(below.substr(0, below.find(':')));
            break;
        }
        out.push_back({std::string(l), key});
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace tavox::cli::commands::migrate::abstract
