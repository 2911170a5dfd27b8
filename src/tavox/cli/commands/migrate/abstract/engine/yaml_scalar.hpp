// tavox.cli.commands.migrate.abstract -- what the loaders make of a YAML
// scalar: the implicit resolvers of PyYAML's safe loader (YAML 1.1), those
// of ruamel.yaml's round trip (YAML 1.2), and what their constructors
// build without raising.  Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavox::cli::commands::migrate::abstract {

// What a scalar becomes in the safe loader.  The last four are resolved
// but never constructed into plain data here: a document holding one is
// left to the loader.
enum class Scalar : uint8_t {
    Str,
    Null,
    Bool,
    Int,
    Float,
    Timestamp,
    Merge,   // "<<": merge keys
    Value,   // "=": a value key
    Yaml,    // "!", "&" or "*" alone
    Unsure,  // beyond what the resolver here decides with certainty
};

// The implicit resolvers the safe loader tries for a plain scalar that
// begins with `first`, in the order it tries them ('\0' stands for the empty
// scalar); none for a character no resolver is listed under.
struct FirstResolvers {
    Scalar types[3];
    size_t count = 0;
    const Scalar *begin() const { return types; }
    const Scalar *end() const { return types + count; }
};
FirstResolvers implicit_resolvers(char first);

// How many first characters the safe loader lists resolvers under.
inline constexpr size_t FIRST_CHARACTERS = 30;

// The implicit type of a plain scalar without a tag, as the safe loader's
// resolvers give it (first matching pattern for its first character).
Scalar resolve_plain(std::string_view value);

// The implicit type of a plain scalar under YAML 1.2's resolvers, which
// ruamel.yaml's round trip uses ("yes" is text there, "0o17" a number).
Scalar resolve_plain_12(std::string_view value);

// Whether the safe constructor builds a scalar of that implicit type
// without raising: an integer with no digits ("0x_"), or with more decimal
// digits than the interpreter converts, and a timestamp that is no date or
// time (month 13, 25:00, an offset of a day) are refused.
bool constructible(Scalar type, std::string_view value);

// Whether the round trip builds a number of this implicit type (Int or
// Float under YAML 1.2) without raising: some digits, and few enough for the
// interpreter to convert.
bool number_builds(Scalar type, std::string_view value);

// "0" or a decimal integer as str() writes it back, short enough for the
// interpreter to convert both ways whatever its digit limit.
bool canonical_int(std::string_view value);

}  // namespace tavox::cli::commands::migrate::abstract
