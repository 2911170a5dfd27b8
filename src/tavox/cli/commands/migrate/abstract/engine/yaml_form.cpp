// tavox.cli.commands.migrate.abstract -- the round trip's result in the
// file's own form (see yaml_form.hpp).  ruamel.yaml's round trip keeps
// values, comments and quotes, but it writes the whole document in its own
// layout: byte-order mark dropped, CRLF turned into LF, indentation and long
// lines reflowed, characters escaped.  So the patcher's round trip (for the
// files the native patcher hands over) dumps the document twice, before and
// after the change, and only the lines in which those dumps differ reach the
// file; the result is verified before it is written (patch.cpp).
//
// Pure C++: nothing here touches a Python object.
#include "yaml_form.hpp"

#include "diff.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace tavox::cli::commands::migrate::abstract {

namespace {

struct Line {
    std::string_view text;  // without its line break
    std::string_view end;   // "\r\n", "\n", "\r", or "" for a last line without one
};

// The lines of `s`; `universal` also breaks at a lone "\r", as a file
// opened in text mode reads it.
std::vector<Line> split(std::string_view s, bool universal) {
    std::vector<Line> out;
    size_t pos = 0;
    const size_t n = s.size();
    while (pos < n) {
        size_t i = pos;
        while (i < n && s[i] != '\n' && !(universal && s[i] == '\r')) ++i;
        if (i == n) {
            out.push_back({s.substr(pos), {}});
            break;
        }
        size_t e = i + 1;
        if (s[i] == '\r' && e < n && s[e] == '\n') ++e;
        out.push_back({s.substr(pos, i - pos), s.substr(i, e - i)});
        pos = e;
    }
    return out;
}

size_t indentation(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    return i;
}

std::string_view strip(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool is_comment(std::string_view line) {
    std::string_view t = strip(line);
    return !t.empty() && t[0] == '#';
}

bool is_marker(std::string_view line) {
    std::string_view t = strip(line);
    return t.substr(0, 15) == "# * ABSTRACTION";
}

// One line of the result: from the file, or carried over from the dump.
struct Out {
    std::string_view text;
    std::string_view end;
    bool carried = false;
    std::string own;  // the text of a carried line once it was re-indented
    bool dropped = false;
    std::string_view content() const { return own.empty() ? text : std::string_view(own); }
};

// The line break the file mostly uses, for the lines carried over.
std::string_view usual_break(const std::vector<Line> &file) {
    size_t crlf = 0, lf = 0, cr = 0;
    for (const Line &l : file) {
        if (l.end == "\r\n") ++crlf;
        else if (l.end == "\n") ++lf;
        else if (l.end == "\r") ++cr;
    }
    return crlf > lf && crlf >= cr ? "\r\n" : cr > lf && cr > crlf ? "\r" : "\n";
}

// A line of the first dump that the change keeps and that is a line of
// the file: its numbers in the first dump, the second dump and the file.
struct Anchor {
    long d0, d1, file;
};

// The lines of the result, between anchors (the first and last ones stand
// before and after everything): where nothing changed between two anchors
// the file's lines stay, otherwise the second dump's lines replace them.
// `kept` gives, for each line of the first dump, its line in the second
// dump (-1: changed or gone).
std::vector<Out> place(const std::vector<Line> &file, const std::vector<Line> &d1,
                       const std::vector<Anchor> &anchors, const std::vector<long> &kept,
                       std::string_view brk) {
    std::vector<Out> out;
    out.reserve(file.size() + 16);
    auto from_file = [&](long from, long to) {
        for (long k = from; k < to; ++k) {
            Out o;
            o.text = file[static_cast<size_t>(k)].text;
            o.end = file[static_cast<size_t>(k)].end;
            out.push_back(std::move(o));
        }
    };
    auto from_dump = [&](long from, long to) {
        for (long k = from; k < to; ++k) {
            Out o;
            o.text = d1[static_cast<size_t>(k)].text;
            o.end = brk;
            o.carried = true;
            out.push_back(std::move(o));
        }
    };
    for (size_t a = 0; a + 1 < anchors.size(); ++a) {
        const Anchor &p = anchors[a], &q = anchors[a + 1];
        if (p.file >= 0) from_file(p.file, p.file + 1);
        bool same = q.d0 - p.d0 == q.d1 - p.d1;
        for (long i = p.d0 + 1; same && i < q.d0; ++i) same = kept[static_cast<size_t>(i)] >= 0;
        if (same) {
            from_file(p.file + 1, q.file);  // reflowed by the dump, unchanged
        } else if (q.d0 == p.d0 + 1) {
            // Lines added between two lines of the file: above the next one
            // (a comment above its key), and at the end of the document
            // before whatever ends the file after it.
            if (a + 2 == anchors.size()) {
                from_dump(p.d1 + 1, q.d1);
                from_file(p.file + 1, q.file);
            } else {
                from_file(p.file + 1, q.file);
                from_dump(p.d1 + 1, q.d1);
            }
        } else {
            from_dump(p.d1 + 1, q.d1);
        }
    }
    return out;
}

// A marker already standing among the comments above the same line is not
// added again; a carried marker takes the indentation of that line.
void settle_markers(std::vector<Out> &out) {
    for (size_t i = 0; i < out.size(); ++i) {
        if (!out[i].carried || !is_marker(out[i].text)) continue;
        size_t lo = i, hi = i;
        while (lo > 0 && is_comment(out[lo - 1].content())) --lo;
        while (hi + 1 < out.size() && is_comment(out[hi + 1].content())) ++hi;
        for (size_t k = lo; k <= hi && !out[i].dropped; ++k)
            if (k != i && !out[k].dropped && strip(out[k].content()) == strip(out[i].text))
                out[i].dropped = true;
        if (out[i].dropped) continue;
        size_t next = hi + 1;
        while (next < out.size() && strip(out[next].content()).empty()) ++next;
        if (next < out.size()) {
            std::string_view below = out[next].content();
            out[i].own =
                std::string(below.substr(0, indentation(below))) + std::string(strip(out[i].text));
        }
    }
}

// The text of the lines not dropped, after `bom`; the last line ends with a
// break only if the file's last line did.
std::string joined(std::string_view bom, const std::vector<Out> &out, bool ends_with_break,
                   std::string_view brk, size_t size_hint) {
    std::string result(bom);
    result.reserve(size_hint + 256);
    std::vector<const Out *> lines;
    for (const Out &o : out)
        if (!o.dropped) lines.push_back(&o);
    for (size_t i = 0; i < lines.size(); ++i) {
        const Out &o = *lines[i];
        result.append(o.content());
        if (i + 1 < lines.size() || ends_with_break) result.append(o.end.empty() ? brk : o.end);
    }
    return result;
}

}  // namespace

YamlIndent detect_indent(std::string_view text) {
    // Pairs of successive lines "key:" and what is nested under it.
    std::map<int, int> mappings;
    std::map<std::pair<int, int>, int> sequences;  // (content column, dash column) - key column
    std::vector<Line> lines;
    for (const Line &l : split(text, true))
        if (!strip(l.text).empty() && !is_comment(l.text)) lines.push_back(l);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        std::string_view a = lines[i].text, b = lines[i + 1].text;
        size_t hash = a.find(" #");
        std::string_view head = strip(a.substr(0, hash));
        if (head.empty() || head.back() != ':') continue;
        // The key's column, also after the dashes of sequence items.
        size_t ka = indentation(a);
        while (a.substr(ka, 2) == "- ") {
            ka += 2;
            while (ka < a.size() && a[ka] == ' ') ++ka;
        }
        size_t kb = indentation(b);
        std::string_view rest = b.substr(kb);
        if (rest == "-" || rest.substr(0, 2) == "- ") {
            size_t content = kb + 1;
            while (content < b.size() && b[content] == ' ') ++content;
            if (kb >= ka) ++sequences[{static_cast<int>(content - ka), static_cast<int>(kb - ka)}];
        } else if (kb > ka) {
            ++mappings[static_cast<int>(kb - ka)];
        }
    }
    auto most = [](const auto &counts) {
        auto best = counts.begin();
        for (auto it = counts.begin(); it != counts.end(); ++it)
            if (it->second > best->second) best = it;
        return best;
    };
    YamlIndent form;
    if (!mappings.empty()) form.mapping = most(mappings)->first;
    if (!sequences.empty()) {
        auto [sequence, offset] = most(sequences)->first;
        if (offset >= 0 && sequence >= offset + 2) {
            form.sequence = sequence;
            form.offset = offset;
        }
    }
    if (form.mapping < 1 || form.mapping > 16) form.mapping = 2;
    return form;
}

std::string carry_over(std::string_view original, std::string_view before,
                       std::string_view after) {
    if (before == after) return std::string(original);
    std::string_view bom;
    if (original.substr(0, 3) == "\xEF\xBB\xBF") {
        bom = original.substr(0, 3);
        original.remove_prefix(3);
    }
    const std::vector<Line> file = split(original, true);
    const std::vector<Line> d0 = split(before, false), d1 = split(after, false);

    // Equal lines get equal numbers.
    std::unordered_map<std::string_view, uint32_t> numbers;
    auto number = [&](const std::vector<Line> &lines) {
        std::vector<uint32_t> out;
        out.reserve(lines.size());
        for (const Line &l : lines)
            out.push_back(
                numbers.emplace(l.text, static_cast<uint32_t>(numbers.size())).first->second);
        return out;
    };
    const std::vector<uint32_t> nf = number(file), n0 = number(d0), n1 = number(d1);

    // Which line of the file each line of the first dump is (-1: none, the
    // dump writes that part in a form of its own), and which line of the
    // second dump it stays (-1: changed or gone).
    std::vector<long> in_file(d0.size(), -1), kept(d0.size(), -1);
    for (auto [i, j] : common_lines(nf, n0)) in_file[j] = static_cast<long>(i);
    for (auto [i, j] : common_lines(n0, n1)) kept[i] = static_cast<long>(j);

    std::vector<Anchor> anchors{{-1, -1, -1}};
    for (size_t i = 0; i < d0.size(); ++i)
        if (kept[i] >= 0 && in_file[i] >= 0)
            anchors.push_back({static_cast<long>(i), kept[i], in_file[i]});
    anchors.push_back({static_cast<long>(d0.size()), static_cast<long>(d1.size()),
                       static_cast<long>(file.size())});

    const std::string_view brk = usual_break(file);
    std::vector<Out> out = place(file, d1, anchors, kept, brk);
    settle_markers(out);
    return joined(bom, out, file.empty() || !file.back().end.empty(), brk, original.size());
}

}  // namespace tavox::cli::commands::migrate::abstract
