// tavox.cli.commands.migrate.abstract -- the YAML patcher's result read
// again before it is given (see yaml_patcher.hpp): its events compared as
// they come with the document as it should now be, and its markers looked
// for above their keys.
#include "yaml_patcher.hpp"

#include <algorithm>

namespace tavox::cli::commands::migrate::abstract {

namespace yaml_patching {

namespace {

// What a scalar holds for the file's loader: its type (its text aside).
Scalar data_type(bool plain, std::string_view text) {
    return plain ? resolve_plain(text) : Scalar::Str;
}

std::string_view scalar_text(const yaml_event_t &e) {
    return {reinterpret_cast<const char *>(e.data.scalar.value), e.data.scalar.length};
}

// A scalar event holding plain text `want`, without tag or anchor.
bool is_text(const yaml_event_t &e, std::string_view want) {
    return e.type == YAML_SCALAR_EVENT && !e.data.scalar.tag && !e.data.scalar.anchor &&
           scalar_text(e) == want &&
           data_type(e.data.scalar.plain_implicit != 0, want) == Scalar::Str;
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

}  // namespace

// A marker that must stand above the line (counted from 0) of its key.
struct Patcher::MarkedLine {
    size_t line;
    const std::string *marker;
};

bool Patcher::verify(const std::string &out) const {
    std::vector<MarkedLine> marked;
    return same_document(out, marked) && markers_above(out, marked);
}

// The original document with the suggestions applied, node for node: each
// node of the original in order, a replaced value as its new text, the
// keys added to a mapping after its last entry; nothing else (no tag,
// anchor, alias, directive, second document).
bool Patcher::same_document(const std::string &out, std::vector<MarkedLine> &marked) const {
    // Where a collection being compared stands: its next original child,
    // and the next of its added keys (the key, then its value).
    struct Frame {
        uint32_t node, child;
        size_t added = 0;
        bool value = false;
    };
    auto added_to = [&](uint32_t mapping, size_t k) -> const Added * {
        for (const Added &a : added_)
            if (a.mapping == mapping && k-- == 0) return &a;
        return nullptr;
    };
    std::vector<Frame> open;
    bool document = false, root = false;
    Events events(out);
    for (const yaml_event_t *e = events.next(); e; e = events.next()) {
        switch (e->type) {
        case YAML_STREAM_START_EVENT:
            continue;
        case YAML_STREAM_END_EVENT:
            return root && marked.size() ==
                               markers_.size() +
                                   std::count_if(added_.begin(), added_.end(),
                                                 [](const Added &a) { return !a.marker.empty(); });
        case YAML_DOCUMENT_START_EVENT:
            if (document || e->data.document_start.version_directive ||
                e->data.document_start.tag_directives.start !=
                    e->data.document_start.tag_directives.end)
                return false;
            document = true;
            continue;
        case YAML_DOCUMENT_END_EVENT:
            if (!open.empty() || !root) return false;
            continue;
        case YAML_MAPPING_END_EVENT:
        case YAML_SEQUENCE_END_EVENT:
            if (open.empty() || open.back().child != none || open.back().value ||
                added_to(open.back().node, open.back().added))
                return false;
            open.pop_back();
            continue;
        case YAML_ALIAS_EVENT:
            return false;
        default:
            break;
        }
        // A node: the original one it stands for, or an added key or value.
        uint32_t expect = none;
        const Added *extra = nullptr;
        bool extra_value = false;
        if (open.empty()) {
            if (root) return false;
            expect = 0;
            root = true;
        } else if (Frame &f = open.back(); f.child != none) {
            expect = f.child;
            f.child = node(f.child).next;
        } else if ((extra = added_to(f.node, f.added))) {
            extra_value = f.value;
            if (f.value) ++f.added;
            f.value = !f.value;
        } else {
            return false;
        }
        if (extra) {
            if (!is_text(*e, extra_value ? extra->value : extra->key)) return false;
            if (!extra_value && !extra->marker.empty())
                marked.push_back({e->start_mark.line, &extra->marker});
            continue;
        }
        if (!same_node(*e, expect, marked)) return false;
        if (e->type != YAML_SCALAR_EVENT) open.push_back({expect, node(expect).first});
    }
    return false;  // a parse error
}

// An event that stands for the original node `i`, as it should now be.
bool Patcher::same_node(const yaml_event_t &e, uint32_t i, std::vector<MarkedLine> &marked) const {
    const Node &a = node(i);
    if (e.type == YAML_SCALAR_EVENT) {
        if (a.kind != Kind::Scalar) return false;
        if (const std::string *r = replaced_.empty() ? nullptr : replacement(i)) {
            if (!is_text(e, *r)) return false;
        } else {
            bool plain = e.data.scalar.plain_implicit != 0;
            if (e.data.scalar.tag || e.data.scalar.anchor || scalar_text(e) != text(a) ||
                (a.implicit != plain &&
                 data_type(a.implicit, text(a)) != data_type(plain, text(a))))
                return false;
        }
        for (const Marker &m : markers_)
            if (m.key == i) marked.push_back({e.start_mark.line, &m.text});
        return true;
    }
    bool mapping = e.type == YAML_MAPPING_START_EVENT;
    const yaml_char_t *tag = mapping ? e.data.mapping_start.tag : e.data.sequence_start.tag;
    const yaml_char_t *anchor =
        mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
    return a.kind == (mapping ? Kind::Mapping : Kind::Sequence) && !tag && !anchor;
}

// Each marker among the comment lines stacked directly above its key's line
// (libyaml counts lines as these are split: CR, LF, CRLF).
bool Patcher::markers_above(const std::string &out, const std::vector<MarkedLine> &marked) const {
    std::vector<size_t> starts = {0};
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') ++i;
        if (out[i] == '\n' || out[i] == '\r') starts.push_back(i + 1);
    }
    starts.push_back(out.size() + 1);
    for (const MarkedLine &m : marked) {
        bool found = false;
        for (size_t above = m.line; !found && above-- > 0;) {
            std::string_view text(out.data() + starts[above],
                                  starts[above + 1] - 1 - starts[above]);
            while (!text.empty() && line_break(text.back())) text.remove_suffix(1);
            if (above == 0 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
            size_t b = text.find_first_not_of(' ');
            if (b == std::string_view::npos || text[b] != '#') break;
            found = text.substr(b) == "# " + *m.marker;
        }
        if (!found) return false;
    }
    return true;
}

}  // namespace yaml_patching

}  // namespace tavox::cli::commands::migrate::abstract
