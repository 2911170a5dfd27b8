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

    // The collections being filled, innermost last, with their last child.
    struct Open {
        uint32_t node, last;
    };
    std::vector<Open> open;
    std::optional<ByteOffsets> offset;
    if (marks) offset.emplace(input);
    // Style and place of the node just added, with marks.
    auto mark = [&](uint32_t i, int style, const yaml_event_t &e) {
        if (!offset) return;
        Node &n = nodes_[i];
        n.style = static_cast<uint8_t>(style);
        n.start = (*offset)(e.start_mark.index);
        n.end = (*offset)(e.end_mark.index);
    };
    auto add = [&](Kind kind, const yaml_char_t *anchor, const yaml_char_t *tag) {
        auto i = static_cast<uint32_t>(nodes_.size());
        nodes_.emplace_back();
        Node &n = nodes_.back();
        n.kind = kind;
        n.anchored = anchor != nullptr;
        n.tagged = tag != nullptr;
        if (!open.empty()) {
            Open &o = open.back();
            if (o.last == none) nodes_[o.node].first = i;
            else nodes_[o.last].next = i;
            o.last = i;
            ++nodes_[o.node].count;
        }
        return i;
    };

    int documents = 0;
    Event ev;
    for (uint32_t events = 1;; ++events) {
        ev.clear();
        if (stop && events % 4096 == 0 && stop->load(std::memory_order_relaxed))
            return Read::Refused;
        if (!yaml_parser_parse(&parser.p, &ev.e)) return Read::Refused;
        ev.held = true;
        const yaml_event_t &e = ev.e;
        switch (e.type) {
        case YAML_STREAM_END_EVENT:
            return documents ? Read::Document : Read::Empty;
        case YAML_DOCUMENT_START_EVENT:
            // The loader wants a single document and refuses a second.
            if (++documents > 1) return Read::Refused;
            directives_ = e.data.document_start.version_directive ||
                          e.data.document_start.tag_directives.start !=
                              e.data.document_start.tag_directives.end;
            break;
        case YAML_ALIAS_EVENT:
            mark(add(Kind::Alias, e.data.alias.anchor, nullptr), 0, e);
            break;
        case YAML_SCALAR_EVENT: {
            uint32_t i = add(Kind::Scalar, e.data.scalar.anchor, e.data.scalar.tag);
            Node &n = nodes_[i];
            n.begin = static_cast<uint32_t>(text_.size());
            n.size = static_cast<uint32_t>(e.data.scalar.length);
            n.implicit = e.data.scalar.plain_implicit != 0;
            text_.append(reinterpret_cast<const char *>(e.data.scalar.value),
                         e.data.scalar.length);
            mark(i, e.data.scalar.style, e);
            break;
        }
        case YAML_SEQUENCE_START_EVENT: {
            uint32_t i =
                add(Kind::Sequence, e.data.sequence_start.anchor, e.data.sequence_start.tag);
            mark(i, e.data.sequence_start.style, e);
            open.push_back({i, none});
            if (open.size() > support::MAX_YAML_DEPTH) return Read::TooDeep;
            break;
        }
        case YAML_MAPPING_START_EVENT: {
            uint32_t i = add(Kind::Mapping, e.data.mapping_start.anchor, e.data.mapping_start.tag);
            mark(i, e.data.mapping_start.style, e);
            open.push_back({i, none});
            if (open.size() > support::MAX_YAML_DEPTH) return Read::TooDeep;
            break;
        }
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
            if (offset) nodes_[open.back().node].end = (*offset)(e.end_mark.index);
            open.pop_back();
            break;
        default:  // stream start, document end, no event
            break;
        }
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
