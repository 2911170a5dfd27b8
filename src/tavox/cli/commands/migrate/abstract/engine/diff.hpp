// tavox.cli.commands.migrate.abstract -- the lines two texts share, and the
// changes from one to the other as a unified diff that `git apply` takes.
// Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// The lines of `s`, each with its "\n" when it has one.
std::vector<std::string_view> lines_of(std::string_view s);

// A longest common subsequence of two sequences of line numbers (equal
// numbers for equal lines): pairs (i, j) with a[i] == b[j], increasing in
// both.  Myers' algorithm in linear space; past a budget of work the rest of
// a part counts as different, which makes the result coarser, never wrong.
std::vector<std::pair<size_t, size_t>> common_lines(const std::vector<uint32_t> &a,
                                                    const std::vector<uint32_t> &b);

// The changes from `before` to `after` of the file `rel` (relative to the
// repository) as git writes them: a/ and b/ prefixes (a path that is no
// plain text quoted as git quotes it), hunks with three lines of context,
// coloured as git colours them with `color`.  Empty when nothing changes.
std::string unified_diff(const std::string &rel, std::string_view before, std::string_view after,
                         bool color);

}  // namespace tavox::cli::commands::migrate::abstract
