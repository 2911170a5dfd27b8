// tavox.cli.commands.migrate.abstract -- the YAML patcher (see
// yaml_patch.hpp): the document as the passes walk it, and the passes.
//
// It follows the round trip's view of the document: ruamel.yaml loads it
// as YAML 1.2 (where "yes" is text), refuses repeated keys, keeps the
// quoting of a string value it replaces, and writes a new string plain
// where that reads back as the string, quoted otherwise.  Where the file's
// loader (YAML 1.1) would read a plain value otherwise ("yes", "1:20"),
// the value is quoted, so that the file holds the text it was given.
#include "yaml_patch.hpp"

#include "text_scan.hpp"
#include "yaml_patcher.hpp"

#include <algorithm>
#include <unordered_set>

namespace tavox::cli::commands::migrate::abstract {

namespace yaml_patching {

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

}  // namespace yaml_patching

namespace {

using yaml_patching::HandOver;
using yaml_patching::MARKER;
using yaml_patching::Patcher;

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
