// tavox.cli.commands.migrate.abstract -- a YAML document read with libyaml
// into a compact tree, and whether the safe loader would build it as plain
// data (the scalars' types: yaml_scalar.hpp).
//
// Pure C++: no Python object is touched here, so all of it runs with the
// interpreter lock released.  The parser is libyaml's, the one the loader
// of the YAML check runs (through PyYAML's C binding), so which texts parse
// and which do not is the same; the scalar types follow the YAML 1.1
// implicit resolvers of PyYAML's safe loader, and `safe_load` says whether
// the safe constructor would build the whole document without an error.
#pragma once

#include "yaml_scalar.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// The version of the libyaml this module parses with, "0.2.5" say.
const char *libyaml_version();

class YamlTree {
public:
    static constexpr uint32_t none = UINT32_MAX;

    enum class Kind : uint8_t { Scalar, Sequence, Mapping, Alias };

    // One node.  Children are linked in document order; a mapping's
    // children alternate key, value, key, value.
    struct Node {
        uint32_t begin = 0, size = 0;  // scalar text, in text()
        uint32_t first = none;         // first child
        uint32_t next = none;          // next sibling
        uint32_t count = 0;            // number of children
        Kind kind = Kind::Scalar;
        Scalar type = Scalar::Str;  // scalars, once resolved
        bool implicit = false;      // plain scalar: its type comes from the resolver
        bool tagged = false;        // an explicit tag, "!" included
        bool anchored = false;
        // With marks: libyaml's style of the scalar or collection
        // (yaml_scalar_style_t, or the collection's style), and where the
        // node stands in the input, as byte offsets: a scalar's text, its
        // quotes or block indicator included; a collection from its first
        // token to the end of its last (a flow collection's closing bracket;
        // a block collection's end is where the next token begins).
        uint8_t style = 0;
        uint32_t start = 0, end = 0;
    };

    enum class Read {
        Document,  // one document, in root()
        Empty,     // a stream without a document: the loader returns None
        Refused,   // not one parsable document: a parse error, or a second document
        TooDeep,   // nested deeper than support::MAX_YAML_DEPTH: for no loader
    };

    // Parses `text` (UTF-8, line breaks as the loader sees them, or as
    // stored: libyaml reads both alike), up to the point where it nests
    // deeper than the bound.  With `marks`, each node also gets its style
    // and place in `text`, and the document says whether it has directives.
    // When `stop` is given and becomes true, the parse gives up within a few
    // thousand events (as Refused).
    Read read(std::string_view text, bool marks = false, const std::atomic<bool> *stop = nullptr);
    // The document began with a %YAML or %TAG directive (with marks).
    bool directives() const { return directives_; }

    // Resolves every scalar and tells whether the safe loader would build
    // the document as plain data, so that the tree says everything the
    // loaded document would: no tag, anchor or alias, no merge or value
    // key, no key that is a collection, every scalar constructible.
    bool safe_load();

    const Node &node(uint32_t i) const { return nodes_[i]; }
    const Node &root() const { return nodes_.front(); }
    size_t size() const { return nodes_.size(); }
    uint32_t index(const Node &n) const { return static_cast<uint32_t>(&n - nodes_.data()); }
    std::string_view text(const Node &n) const {
        return std::string_view(text_).substr(n.begin, n.size);
    }

private:
    std::vector<Node> nodes_;
    std::string text_;
    bool directives_ = false;
    int safe_ = -1;  // what safe_load() found, once it looked
};

}  // namespace tavox::cli::commands::migrate::abstract
