// tavox.cli.commands.migrate.abstract -- the lines two texts share, and a
// unified diff (see diff.hpp).
#include "diff.hpp"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace tavox::cli::commands::migrate::abstract {

namespace {

// A longest common subsequence of two sequences of line numbers (equal
// numbers, equal lines), by Myers' algorithm with the middle snake (linear
// space).  The search has a budget: past it, what is left of a part counts
// as all different, which only makes the result less fine, never wrong.
class Matcher {
public:
    Matcher(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) : a_(a), b_(b) {}

    // Pairs (i, j) with a[i] == b[j], increasing in both.
    std::vector<std::pair<size_t, size_t>> pairs() {
        match(0, a_.size(), 0, b_.size());
        return std::move(pairs_);
    }

private:
    void match(size_t a0, size_t a1, size_t b0, size_t b1) {
        while (a0 < a1 && b0 < b1 && a_[a0] == b_[b0]) pairs_.emplace_back(a0++, b0++);
        size_t tail = 0;
        while (a1 > a0 && b1 > b0 && a_[a1 - 1] == b_[b1 - 1]) {
            --a1;
            --b1;
            ++tail;
        }
        size_t x, y;
        if (a0 < a1 && b0 < b1 && middle(a0, a1, b0, b1, x, y) && !(x == a0 && y == b0) &&
            !(x == a1 && y == b1)) {
            match(a0, x, b0, y);
            match(x, a1, y, b1);
        }
        for (size_t k = 0; k < tail; ++k) pairs_.emplace_back(a1 + k, b1 + k);
    }

    // A point (x, y) on the middle snake of the shortest edit script of
    // a[a0, a1) and b[b0, b1); false when they have nothing in common.
    bool middle(size_t a0, size_t a1, size_t b0, size_t b1, size_t &sx, size_t &sy) {
        const long n = static_cast<long>(a1 - a0), m = static_cast<long>(b1 - b0);
        const long max_d = (n + m + 1) / 2;
        const long off = max_d, len = 2 * max_d;
        std::vector<long> v1(static_cast<size_t>(len + 2), -1), v2(v1);
        v1[static_cast<size_t>(off + 1)] = 0;
        v2[static_cast<size_t>(off + 1)] = 0;
        const long delta = n - m;
        const bool front = delta % 2 != 0;
        long k1start = 0, k1end = 0, k2start = 0, k2end = 0;
        auto A = [&](long i) { return a_[a0 + static_cast<size_t>(i)]; };
        auto B = [&](long i) { return b_[b0 + static_cast<size_t>(i)]; };
        auto at = [](std::vector<long> &v, long i) -> long & { return v[static_cast<size_t>(i)]; };
        for (long d = 0; d < max_d; ++d) {
            budget_ -= 2 * d + 2;
            if (budget_ < 0) return false;
            for (long k1 = -d + k1start; k1 <= d - k1end; k1 += 2) {
                const long k1o = off + k1;
                long x1 = (k1 == -d || (k1 != d && at(v1, k1o - 1) < at(v1, k1o + 1)))
                              ? at(v1, k1o + 1)
                              : at(v1, k1o - 1) + 1;
                long y1 = x1 - k1;
                while (x1 < n && y1 < m && A(x1) == B(y1)) {
                    ++x1;
                    ++y1;
                    --budget_;
                }
                at(v1, k1o) = x1;
                if (x1 > n) {
                    k1end += 2;
                } else if (y1 > m) {
                    k1start += 2;
                } else if (front) {
                    const long k2o = off + delta - k1;
                    if (k2o >= 0 && k2o < len && at(v2, k2o) != -1 && x1 >= n - at(v2, k2o)) {
                        sx = a0 + static_cast<size_t>(x1);
                        sy = b0 + static_cast<size_t>(y1);
                        return true;
                    }
                }
            }
            for (long k2 = -d + k2start; k2 <= d - k2end; k2 += 2) {
                const long k2o = off + k2;
                long x2 = (k2 == -d || (k2 != d && at(v2, k2o - 1) < at(v2, k2o + 1)))
                              ? at(v2, k2o + 1)
                              : at(v2, k2o - 1) + 1;
                long y2 = x2 - k2;
                while (x2 < n && y2 < m && A(n - x2 - 1) == B(m - y2 - 1)) {
                    ++x2;
                    ++y2;
                    --budget_;
                }
                at(v2, k2o) = x2;
                if (x2 > n) {
                    k2end += 2;
                } else if (y2 > m) {
                    k2start += 2;
                } else if (!front) {
                    const long k1o = off + delta - k2;
                    if (k1o >= 0 && k1o < len && at(v1, k1o) != -1) {
                        const long x1 = at(v1, k1o);
                        const long y1 = off + x1 - k1o;
                        if (x1 >= n - x2) {
                            sx = a0 + static_cast<size_t>(x1);
                            sy = b0 + static_cast<size_t>(y1);
                            return true;
                        }
                    }
                }
            }
        }
        return false;
    }

    const std::vector<uint32_t> &a_;
    const std::vector<uint32_t> &b_;
    std::vector<std::pair<size_t, size_t>> pairs_;
    long budget_ = 50'000'000;
};

// A path as git writes it in a patch: in double quotes, with C escapes,
// when it holds a quote, a backslash, a control character or a byte that
// is not ASCII.
std::string git_path(const std::string &path) {
    bool plain = true;
    for (unsigned char c : path)
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') plain = false;
    if (plain) return path;
    std::string out = "\"";
    for (unsigned char c : path) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char buf[5];
                std::snprintf(buf, sizeof buf, "\\%03o", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// One line of the edit script: ' ' kept, '-' removed, '+' added; `a` and `b`
// count the lines of each side that come before it.
struct Op {
    char tag;
    size_t a, b;
};

std::vector<Op> edit_script(const std::vector<std::string_view> &a,
                            const std::vector<std::string_view> &b) {
    std::unordered_map<std::string_view, uint32_t> numbers;
    auto number = [&](const std::vector<std::string_view> &lines) {
        std::vector<uint32_t> out;
        out.reserve(lines.size());
        for (std::string_view l : lines)
            out.push_back(numbers.emplace(l, static_cast<uint32_t>(numbers.size())).first->second);
        return out;
    };
    const std::vector<uint32_t> na = number(a), nb = number(b);
    std::vector<Op> ops;
    size_t i = 0, j = 0;
    auto until = [&](size_t ti, size_t tj) {
        for (; i < ti; ++i) ops.push_back({'-', i, j});
        for (; j < tj; ++j) ops.push_back({'+', i, j});
    };
    for (auto [pi, pj] : common_lines(na, nb)) {
        until(pi, pj);
        ops.push_back({' ', i++, j++});
    }
    until(a.size(), b.size());
    return ops;
}

const char *const META = "\033[1m", *const FRAG = "\033[36m", *const OLD = "\033[31m",
                  *const NEW = "\033[32m", *const RESET = "\033[m";

std::string range(size_t before, size_t count) {
    std::string r = std::to_string(count == 0 ? before : before + 1);
    if (count != 1) r += "," + std::to_string(count);
    return r;
}

}  // namespace

std::vector<std::string_view> lines_of(std::string_view s) {
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find('\n', pos);
        end = end == std::string_view::npos ? s.size() : end + 1;
        out.push_back(s.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

std::vector<std::pair<size_t, size_t>> common_lines(const std::vector<uint32_t> &a,
                                                    const std::vector<uint32_t> &b) {
    return Matcher(a, b).pairs();
}

std::string unified_diff(const std::string &rel, std::string_view before, std::string_view after,
                         bool color) {
    const size_t context = 3;
    const std::vector<std::string_view> a = lines_of(before), b = lines_of(after);
    const std::vector<Op> ops = edit_script(a, b);
    std::string out;
    auto line = [&](const char *paint, std::string_view text) {
        if (color && paint) out.append(paint);
        out.append(text);
        if (color && paint) out.append(RESET);
        out.push_back('\n');
    };
    size_t k = 0;
    while (k < ops.size()) {
        while (k < ops.size() && ops[k].tag == ' ') ++k;
        if (k == ops.size()) break;
        if (out.empty()) {
            std::string from = git_path("a/" + rel), to = git_path("b/" + rel);
            std::string heading = "diff --git ";
            heading.append(from).append(" ").append(to);
            line(META, heading);
            line(META, "--- " + from);
            line(META, "+++ " + to);
        }
        // A hunk: changes no more than twice the context apart, with the
        // context around them.
        size_t start = k > context ? k - context : 0, end = k;
        for (;;) {
            while (end < ops.size() && ops[end].tag != ' ') ++end;
            size_t next = end;
            while (next < ops.size() && ops[next].tag == ' ') ++next;
            if (next < ops.size() && next - end <= 2 * context) {
                end = next;
                continue;
            }
            end = std::min(ops.size(), end + context);
            break;
        }
        size_t old_count = 0, new_count = 0;
        for (size_t n = start; n < end; ++n) {
            old_count += ops[n].tag != '+';
            new_count += ops[n].tag != '-';
        }
        std::string header = "@@ -" + range(ops[start].a, old_count) + " +" +
                             range(ops[start].b, new_count) + " @@";
        line(FRAG, header);
        for (size_t n = start; n < end; ++n) {
            const Op &op = ops[n];
            std::string_view text = op.tag == '+' ? b[op.b] : a[op.a];
            bool ended = !text.empty() && text.back() == '\n';
            if (ended) text.remove_suffix(1);
            std::string shown(1, op.tag);
            shown.append(text);
            line(op.tag == '-' ? OLD : op.tag == '+' ? NEW : nullptr, shown);
            if (!ended) line(nullptr, "\\ No newline at end of file");
        }
        k = end;
    }
    return out;
}

}  // namespace tavox::cli::commands::migrate::abstract
