// tavox.cli.commands.migrate.abstract -- the module's token tables as plain
// C++ data, for the checks that run without the interpreter lock (the
// binding copies them from the module: table_copy.cpp).
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// What compute_tokens and the YAML check read of the module's tables:
// KNOWN_OS, KNOWN_PLATFORMS, the PID rows (model and platform), the
// platforms of each model in the order they were first read, the platform
// tokens, and the platforms each OS knows (TOKEN_HIERARCHY).
struct TokenTable {
    struct Pid {
        std::string model, platform;
    };
    std::unordered_set<std::string> known_os, known_platforms;
    std::unordered_map<std::string, Pid> pids;
    std::unordered_map<std::string, std::vector<std::string>> models;
    std::unordered_set<std::string> platforms;
    std::unordered_map<std::string, std::unordered_set<std::string>> hierarchy;
};

}  // namespace tavox::cli::commands::migrate::abstract
