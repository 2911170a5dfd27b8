// tavox.cli.commands.migrate.abstract -- the YAML patcher's own parts,
// shared by the files that make it up (yaml_patch.cpp, yaml_edits.cpp,
// yaml_verify.cpp); the patcher's interface is yaml_patch.hpp.  Pure C++.
#pragma once

#include "yaml_patch.hpp"
#include "yaml_suggestion.hpp"
#include "yaml_tree.hpp"

#include <yaml.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

namespace yaml_patching {

using Node = YamlTree::Node;
using Kind = YamlTree::Kind;
constexpr uint32_t none = YamlTree::none;
constexpr std::string_view MARKER = "* ABSTRACTION";

// Thrown where only the round trip can tell.
struct HandOver : std::exception {
    explicit HandOver(const char *reason) : why(reason) {}
    const char *what() const noexcept override { return why; }
    const char *why;
};

// ---- lines of the file ----------------------------------------------------------------

inline bool line_break(char c) { return c == '\n' || c == '\r'; }

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

// The patch of one file: its document walked as the passes walk the round
// trip's, the edits it makes, and the reading of the result.  Defined in
// yaml_patch.cpp (reading, the passes), yaml_edits.cpp (the new text) and
// yaml_verify.cpp (reading it again).
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
    // Reading the result again (yaml_verify.cpp).
    bool verify(const std::string &out) const;
    struct MarkedLine;
    bool same_document(const std::string &out, std::vector<MarkedLine> &marked) const;
    bool same_node(const yaml_event_t &e, uint32_t i, std::vector<MarkedLine> &marked) const;
    bool markers_above(const std::string &out, const std::vector<MarkedLine> &marked) const;

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

}  // namespace yaml_patching

}  // namespace tavox::cli::commands::migrate::abstract
