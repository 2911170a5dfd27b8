// tavox.cli.commands.migrate.abstract -- the suggestion lines of a YAML
// file's message (see yaml_suggestion.hpp).
#include "yaml_suggestion.hpp"

#include "text_scan.hpp"

#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

namespace {

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

}  // namespace

std::string_view strip(std::string_view s) {
    auto r = runs(s);
    if (r.empty()) return {};
    return s.substr(r.front().first, r.back().second - r.front().first);
}

namespace {

// The path: the first run less its final ":", which the blanks after it
// make the only ":" the pattern can stop at.
bool path_of(std::string_view line, const std::pair<size_t, size_t> &first, Suggestion &s) {
    std::string_view run = line.substr(first.first, first.second - first.first);
    if (run.size() < 2 || run.back() != ':') return false;
    s.path = run.substr(0, run.size() - 1);
    return true;
}

}  // namespace

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

}  // namespace tavox::cli::commands::migrate::abstract
