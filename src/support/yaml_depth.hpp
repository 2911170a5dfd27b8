// How deeply a YAML document nests its collections, found from libyaml's
// events as they arrive, for the commands that hand a user's YAML file to a
// loader.  A loader builds the document recursively (PyYAML's C loader
// recurses in C, one frame per level): a file nested tens of thousands of
// levels deep overflows its stack and kills the process.  Such a file is
// refused before any loader sees it.  The parser is libyaml's, as in that
// loader; nested flow collections cost it time that grows with the square
// of the depth, so the depth is checked event by event and the parse ends
// as soon as the bound is passed.
//
// Pure C++: no Python object is touched, so it may run with the interpreter
// lock released.  A module that includes this links libyaml.
#pragma once

#include <yaml.h>

#include <cstddef>
#include <string_view>

namespace tavox::support {

// The deepest nesting of collections (mappings and sequences inside one
// another) a YAML document may have to be loaded.  Testbeds, data files and
// manifests nest a few dozen levels at most.
inline constexpr size_t MAX_YAML_DEPTH = 1000;

// Whether the YAML text (the bytes as stored) nests collections deeper than
// MAX_YAML_DEPTH.  A text that does not parse is read up to the point where
// it fails, where the loader fails too and says why.
inline bool yaml_too_deep(std::string_view text) {
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) return false;
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char *>(text.data()),
                                 text.size());
    size_t depth = 0;
    bool deep = false;
    for (bool more = true; more && !deep;) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) break;
        switch (event.type) {
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT:
            deep = ++depth > MAX_YAML_DEPTH;
            break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
            --depth;
            break;
        case YAML_STREAM_END_EVENT:
            more = false;
            break;
        default:
            break;
        }
        yaml_event_delete(&event);
    }
    yaml_parser_delete(&parser);
    return deep;
}

}  // namespace tavox::support
