// tavox.cli.commands.migrate.abstract -- the YAML testbed check over a
// document read natively, with a C++ copy of the token tables.
//
// Pure C++, run with the interpreter lock released.  It gives the problem
// lines check_yaml gives for the loaded document, or says that it cannot
// be sure of them: then the file is left to the loader path.
#pragma once

#include "token_table.hpp"
#include "yaml_tree.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

struct YamlCheck {
    enum class Outcome {
        NoMessage,
        Message,   // `lines`: the problem lines, each followed by "\n"
        HandOver,  // not certain: the loader path decides
        TooDeep,   // nested deeper than any loader may be given
    };
    Outcome outcome = Outcome::HandOver;
    // The whole document was read, and nests no deeper than the bound: the
    // loader path may have it without looking again.
    bool within_depth = false;
    std::string lines;
    // The PIDs whose rows gave tokens: the caller makes sure those rows
    // still read the same in the module's table.
    std::vector<std::string> pids;
};

// The check of the document in `text`: the text the loader reads (UTF-8,
// line breaks translated as a file opened in text mode gives them).  With
// `tree`, the document is read into it, with marks, for the patcher.  A
// `stop` that becomes true cuts the parse short (HandOver).
YamlCheck check_yaml_text(std::string_view text, const TokenTable &tokens,
                          YamlTree *tree = nullptr, const std::atomic<bool> *stop = nullptr);

}  // namespace tavox::cli::commands::migrate::abstract
