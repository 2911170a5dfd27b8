// tavox.cli.commands.migrate.abstract -- the round trip's result carried
// over into a YAML file's own text: the file's indentation, and the lines in
// which two dumps of its document differ.  Pure C++.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// How a YAML text indents, as ruamel.yaml's indent(mapping=, sequence=,
// offset=) takes it: nested mappings, the content of block sequence items,
// and the dash within that.
struct YamlIndent {
    int mapping = 2;
    int sequence = 2;
    int offset = 0;
};
YamlIndent detect_indent(std::string_view text);

// `original` (UTF-8, as stored) with the lines in which `after` differs from
// `before` carried over: two dumps of one document, before and after it was
// changed.  Everything else of the file stays as it is: byte-order mark, line
// breaks, indentation, long lines, quoting.  A marker comment lands with the
// indentation of the line it stands above, and is not added where the same
// one stands already.  Pure C++.
std::string carry_over(std::string_view original, std::string_view before, std::string_view after);

}  // namespace tavox::cli::commands::migrate::abstract
