// tavox.cli.commands.migrate.abstract -- a string written into a YAML
// file as ruamel.yaml's round trip writes it.  Pure C++.
#pragma once

#include <string>
#include <string_view>

namespace tavox::cli::commands::migrate::abstract {

// `value` (UTF-8, no line break) written as the round trip writes a str
// that replaces a scalar of libyaml style `style` (YAML_PLAIN_SCALAR_STYLE
// for a new value), in a flow collection or not: a quoted scalar keeps its
// quotes; otherwise plain where the text reads back as itself (under YAML
// 1.2 and 1.1 alike), quoted as the round trip quotes otherwise.
std::string written(std::string_view value, int style, bool flow);

}  // namespace tavox::cli::commands::migrate::abstract
