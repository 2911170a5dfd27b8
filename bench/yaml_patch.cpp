// The YAML patcher against libyaml's bare parse, file by file, on one core.
//
//   yaml_patch CHANGES_LOG [ROUNDS]
//
// CHANGES_LOG is a migration's changes log: each YAML file's message (its
// path followed by ":", then its suggestion lines) is applied by the native
// patcher with both passes, as `-f -c` applies it, to the file's bytes in
// memory.  Each round parses every file with libyaml's event API (nothing
// built), then reads each into the tree the check reads it into (with
// marks) and patches it from that tree, as a run does (its check has the
// tree), then patches every file from its bytes alone, as the patcher does
// for a file its check did not patch.  The ratios to the bare parse are
// taken per round; the rounds' medians are printed with the rest as one
// JSON object: files, bytes, the files handed over to the round trip (with
// their reasons), the files that changed, and the CPU seconds of each side.
//
// Built by bench/migrate_run.py against the engine's own sources, without
// the interpreter.
#include "tavox/cli/commands/migrate/abstract/engine/yaml_patch.hpp"
#include "tavox/cli/commands/migrate/abstract/engine/yaml_tree.hpp"

#include <yaml.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct File {
    std::string path, bytes;
    std::vector<std::string> lines;
};

bool is_yaml(const std::string &path) {
    auto ends = [&](const char *s) {
        std::string x(s);
        return path.size() >= x.size() && path.compare(path.size() - x.size(), x.size(), x) == 0;
    };
    return ends(".yaml") || ends(".yml") || ends(".YAML") || ends(".YML");
}

size_t bare_parse(const std::string &text) {
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) return 0;
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char *>(text.data()),
                                 text.size());
    size_t events = 0;
    for (;;) {
        yaml_event_t e;
        if (!yaml_parser_parse(&parser, &e)) break;
        ++events;
        bool end = e.type == YAML_STREAM_END_EVENT;
        yaml_event_delete(&e);
        if (end) break;
    }
    yaml_parser_delete(&parser);
    return events;
}

}  // namespace

int main(int argc, char **argv) {
    using tavox::cli::commands::migrate::abstract::patch_yaml;
    using tavox::cli::commands::migrate::abstract::YamlPatch;
    using tavox::cli::commands::migrate::abstract::YamlTree;
    if (argc < 2) {
        std::cerr << "usage: yaml_patch CHANGES_LOG [ROUNDS]\n";
        return 2;
    }
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::ifstream log(argv[1]);
    std::vector<File> files;
    bool in_yaml = false;
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line[0] != ' ') {
            in_yaml = line.back() == ':' && is_yaml(line.substr(0, line.size() - 1));
            if (in_yaml) files.push_back({line.substr(0, line.size() - 1), {}, {}});
        } else if (in_yaml && !line.empty()) {
            files.back().lines.push_back(line);
        }
    }
    size_t bytes = 0;
    for (File &f : files) {
        std::ifstream in(f.path, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        f.bytes = data.str();
        bytes += f.bytes.size();
    }

    std::vector<double> ratios, alone_ratios;
    double parse_total = 0, read_total = 0, patch_total = 0, alone_total = 0;
    size_t changed = 0, events = 0;
    std::map<std::string, size_t> handed;
    for (int r = 0; r < rounds; ++r) {
        double t0 = cpu_seconds();
        for (const File &f : files) events += bare_parse(f.bytes);
        double t1 = cpu_seconds(), reading = 0, patching = 0;
        changed = 0;
        handed.clear();
        for (const File &f : files) {
            double a = cpu_seconds();
            YamlTree tree;
            bool one = tree.read(f.bytes, true) == YamlTree::Read::Document;
            double b = cpu_seconds();
            YamlPatch p = one ? patch_yaml(tree, f.bytes, f.lines, true, true)
                              : patch_yaml(f.bytes, f.lines, true, true);
            patching += cpu_seconds() - b;
            reading += b - a;
            if (p.outcome == YamlPatch::Outcome::HandOver) ++handed[p.reason];
            else if (!p.edits.empty()) ++changed;
        }
        double t2 = cpu_seconds();
        for (const File &f : files) patch_yaml(f.bytes, f.lines, true, true);
        double t3 = cpu_seconds();
        parse_total += t1 - t0;
        read_total += reading;
        patch_total += patching;
        alone_total += t3 - t2;
        if (t1 > t0) {
            ratios.push_back(patching / (t1 - t0));
            alone_ratios.push_back((t3 - t2) / (t1 - t0));
        }
    }
    std::sort(alone_ratios.begin(), alone_ratios.end());
    std::sort(ratios.begin(), ratios.end());
    size_t fallbacks = 0;
    for (const auto &h : handed) fallbacks += h.second;
    std::cout << "{\"files\": " << files.size() << ", \"bytes\": " << bytes
              << ", \"changed\": " << changed << ", \"fallbacks\": " << fallbacks
              << ", \"reasons\": {";
    bool first = true;
    for (const auto &[why, n] : handed) {
        std::cout << (first ? "" : ", ") << "\"" << why << "\": " << n;
        first = false;
    }
    auto median = [](const std::vector<double> &v) { return v.empty() ? 0.0 : v[v.size() / 2]; };
    std::cout << "}, \"rounds\": " << rounds << ", \"parse_cpu\": " << parse_total / rounds
              << ", \"tree_cpu\": " << read_total / rounds
              << ", \"patch_cpu\": " << patch_total / rounds
              << ", \"alone_cpu\": " << alone_total / rounds << ", \"ratio\": " << median(ratios)
              << ", \"alone_ratio\": " << median(alone_ratios) << "}\n";
    return 0;
}
