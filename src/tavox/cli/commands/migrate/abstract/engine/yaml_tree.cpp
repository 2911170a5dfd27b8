// tavox.cli.commands.migrate.abstract -- the YAML reader: libyaml's events
// into a compact tree, and what the safe constructor refuses.  Pure C++
// (see yaml_tree.hpp).
#include "yaml_tree.hpp"

#include "support/yaml_depth.hpp"

#include <yaml.h>

#include <algorithm>
#include <optional>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// ---- reading ---------------------------------------------------------------

// libyaml's parser and event, released on every way out.
struct Parser {
    yaml_parser_t p;
    bool ok;
    Parser() { ok = yaml_parser_initialize(&p) != 0; }
    ~Parser() { yaml_parser_delete(&p); }
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;
};

struct Event {
    yaml_event_t e;
    bool held = false;
    ~Event() { clear(); }
    void clear() {
        if (held) yaml_event_delete(&e);
        held = false;
    }
};

// libyaml's marks count characters, from after a byte-order mark; these
// turn them into byte offsets of the input.  Marks come nearly in order, so
// a cursor moves from one to the next.
class ByteOffsets {
public:
    ByteOffsets() = default;
    explicit ByteOffsets(std::string_view in) : in_(in) {
        if (in.substr(0, 3) == "\xEF\xBB\xBF") bom_ = 3;
        ascii_ = std::all_of(in.begin() + static_cast<long>(bom_), in.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        byte_ = bom_;
    }
    uint32_t operator()(size_t index) {
        if (ascii_) return static_cast<uint32_t>(bom_ + index);
        while (char_ < index && byte_ < in_.size()) {
            ++byte_;
            while (byte_ < in_.size() && continuation(in_[byte_])) ++byte_;
            ++char_;
        }
        while (char_ > index && byte_ > bom_) {
            --byte_;
            while (byte_ > bom_ && continuation(in_[byte_])) --byte_;
            --char_;
        }
        return static_cast<uint32_t>(byte_);
    }

private:
    static bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
    std::string_view in_;
    size_t bom_ = 0, byte_ = 0, char_ = 0;
    bool ascii_ = true;
};

}  // namespace

const char *libyaml_version() { return yaml_get_version_string(); }

namespace {

// The tree built from libyaml's events, one at a time.
class Builder {
public:
    using Node = YamlTree::Node;
    using Kind = YamlTree::Kind;
    using Read = YamlTree::Read;
    static constexpr uint32_t none = YamlTree::none;

    Builder(std::vector<Node> &nodes, std::string &text, bool &directives, std::string_view input,
            bool marks)
        : nodes_(nodes), text_(text), directives_(directives), marks_(marks) {
        if (marks) offset_ = ByteOffsets(input);
    }

    // What the event makes of the tree; a Read once the reading is over.
    std::optional<Read> take(const yaml_event_t &e) {
        switch (e.type) {
        case YAML_STREAM_END_EVENT:
            return documents_ ? Read::Document : Read::Empty;
        case YAML_DOCUMENT_START_EVENT:
            // The loader wants a single document and refuses a second.
            if (++documents_ > 1) return Read::Refused;
            directives_ = e.data.document_start.version_directive ||
                          e.data.document_start.tag_directives.start !=
                              e.data.document_start.tag_directives.end;
            break;
        case YAML_ALIAS_EVENT:
            mark(add(Kind::Alias, e.data.alias.anchor, nullptr), 0, e);
            break;
        case YAML_SCALAR_EVENT:
            scalar(e);
            break;
        case YAML_SEQUENCE_START_EVENT:
            return begin(
                add(Kind::Sequence, e.data.sequence_start.anchor, e.data.sequence_start.tag),
                e.data.sequence_start.style, e);
        case YAML_MAPPING_START_EVENT:
            return begin(add(Kind::Mapping, e.data.mapping_start.anchor, e.data.mapping_start.tag),
                         e.data.mapping_start.style, e);
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
            if (marks_) nodes_[open_.back().node].end = offset_(e.end_mark.index);
            open_.pop_back();
            break;
        default:  // stream start, document end, no event
            break;
        }
        return std::nullopt;
    }

private:
    // A new node, linked as the last child of the collection being filled.
    uint32_t add(Kind kind, const yaml_char_t *anchor, const yaml_char_t *tag) {
        auto i = static_cast<uint32_t>(nodes_.size());
        nodes_.emplace_back();
        Node &n = nodes_.back();
        n.kind = kind;
        n.anchored = anchor != nullptr;
        n.tagged = tag != nullptr;
        if (!open_.empty()) {
            Open &o = open_.back();
            if (o.last == none) nodes_[o.node].first = i;
            else nodes_[o.last].next = i;
            o.last = i;
            ++nodes_[o.node].count;
        }
        return i;
    }

    // Style and place of the node just added, with marks.
    void mark(uint32_t i, int style, const yaml_event_t &e) {
        if (!marks_) return;
        Node &n = nodes_[i];
        n.style = static_cast<uint8_t>(style);
        n.start = offset_(e.start_mark.index);
        n.end = offset_(e.end_mark.index);
    }

    void scalar(const yaml_event_t &e) {
        uint32_t i = add(Kind::Scalar, e.data.scalar.anchor, e.data.scalar.tag);
        Node &n = nodes_[i];
        n.begin = static_cast<uint32_t>(text_.size());
        n.size = static_cast<uint32_t>(e.data.scalar.length);
        n.implicit = e.data.scalar.plain_implicit != 0;
        text_.append(reinterpret_cast<const char *>(e.data.scalar.value), e.data.scalar.length);
        mark(i, e.data.scalar.style, e);
    }

    // A collection opened: nested deeper than the bound, it is for no loader.
    std::optional<Read> begin(uint32_t i, int style, const yaml_event_t &e) {
        mark(i, style, e);
        open_.push_back({i, none});
        if (open_.size() > support::MAX_YAML_DEPTH) return Read::TooDeep;
        return std::nullopt;
    }

    // The collections being filled, innermost last, with their last child.
    struct Open {
        uint32_t node, last;
    };
    std::vector<Node> &nodes_;
    std::string &text_;
    bool &directives_;
    std::vector<Open> open_;
    bool marks_;
    ByteOffsets offset_;
    int documents_ = 0;
};

}  // namespace

YamlTree::Read YamlTree::read(std::string_view input, bool marks, const std::atomic<bool> *stop) {
    nodes_.clear();
    text_.clear();
    directives_ = false;
    safe_ = -1;
    // Offsets are 32-bit; escapes can make the text half as long again.
    if (input.size() > (UINT32_MAX / 2)) return Read::Refused;

    // About one node per dozen bytes in a testbed, most of the text kept.
    nodes_.reserve(input.size() / 12 + 4);
    text_.reserve(input.size());

    Parser parser;
    if (!parser.ok) return Read::Refused;
    yaml_parser_set_input_string(&parser.p, reinterpret_cast<const unsigned char *>(input.data()),
                                 input.size());
    Builder builder(nodes_, text_, directives_, input, marks);
    Event ev;
    for (uint32_t events = 1;; ++events) {
        ev.clear();
        if (stop && events % 4096 == 0 && stop->load(std::memory_order_relaxed))
            return Read::Refused;
        if (!yaml_parser_parse(&parser.p, &ev.e)) return Read::Refused;
        ev.held = true;
        if (std::optional<Read> done = builder.take(ev.e)) return *done;
    }
}

bool YamlTree::safe_load() {
    if (safe_ >= 0) return safe_ == 1;
    safe_ = 0;
    for (Node &n : nodes_) {
        if (n.kind == Kind::Alias || n.tagged || n.anchored) return false;
        if (n.kind == Kind::Scalar) {
            std::string_view value = text(n);
            n.type = n.implicit ? resolve_plain(value) : Scalar::Str;
            if (!constructible(n.type, value)) return false;
        } else if (n.kind == Kind::Mapping) {
            bool key = true;
            for (uint32_t c = n.first; c != none; c = nodes_[c].next, key = !key)
                if (key && nodes_[c].kind != Kind::Scalar) return false;
        }
    }
    safe_ = 1;
    return true;
}

}  // namespace tavox::cli::commands::migrate::abstract
