// tavox.cli.commands.migrate.abstract -- the YAML patcher's new text: each
// change as an edit of the file's own bytes (see yaml_patcher.hpp).
#include "yaml_patcher.hpp"
#include "yaml_write.hpp"

#include <algorithm>

namespace tavox::cli::commands::migrate::abstract {

namespace yaml_patching {

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
        if (!a.marker.empty()) lines.append(indent).append("# ").append(a.marker);
        entry.insert(0, indent);
        long long depth = 0;
        for (uint32_t p = a.mapping; p != none; p = parent_[p]) ++depth;
        if (brk.empty()) {
            // The file ends on that line without a break: so does it after.
            std::string_view usual = lines_.usual();
            if (!lines.empty()) lines.insert(0, usual);
            lines.append(usual).append(entry);
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

}  // namespace yaml_patching

}  // namespace tavox::cli::commands::migrate::abstract
