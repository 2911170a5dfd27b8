// libyaml's bare event parse of a list of files, on one core: what parsing
// alone costs, with nothing built from the events.
//
//   libyaml_parse LIST      LIST: one file path a line
//
// Every file is read into memory first; then each is parsed to its end (or
// to its first error) with libyaml's event API, timed on the process's CPU
// clock.  Prints one JSON object: files, bytes, events, errors, the wall
// and CPU seconds of the parse, and of the reading before it.
#include <yaml.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double wall_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: libyaml_parse LIST\n";
        return 2;
    }
    std::ifstream list(argv[1]);
    std::vector<std::string> contents;
    double read_wall = wall_seconds(), read_cpu = cpu_seconds();
    for (std::string path; std::getline(list, path);) {
        if (path.empty()) continue;
        std::ifstream f(path, std::ios::binary);
        std::ostringstream data;
        data << f.rdbuf();
        contents.push_back(data.str());
    }
    read_wall = wall_seconds() - read_wall;
    read_cpu = cpu_seconds() - read_cpu;

    size_t bytes = 0, events = 0, errors = 0;
    double wall = wall_seconds(), cpu = cpu_seconds();
    for (const std::string &text : contents) {
        bytes += text.size();
        yaml_parser_t parser;
        if (!yaml_parser_initialize(&parser)) return 1;
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char *>(text.data()),
                                     text.size());
        for (;;) {
            yaml_event_t event;
            if (!yaml_parser_parse(&parser, &event)) {
                ++errors;
                break;
            }
            ++events;
            bool end = event.type == YAML_STREAM_END_EVENT;
            yaml_event_delete(&event);
            if (end) break;
        }
        yaml_parser_delete(&parser);
    }
    wall = wall_seconds() - wall;
    cpu = cpu_seconds() - cpu;
    std::printf("{\"files\": %zu, \"bytes\": %zu, \"events\": %zu, \"errors\": %zu, "
                "\"parse_wall\": %.4f, \"parse_cpu\": %.4f, \"read_wall\": %.4f, "
                "\"read_cpu\": %.4f}\n",
                contents.size(), bytes, events, errors, wall, cpu, read_wall, read_cpu);
    return 0;
}
