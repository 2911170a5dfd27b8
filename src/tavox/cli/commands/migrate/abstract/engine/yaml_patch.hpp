// tavox.cli.commands.migrate.abstract -- the YAML patcher: a check's
// suggestions applied to a YAML file as edits of its own text.
//
// Pure C++: no Python object is touched here, so all of it runs with the
// interpreter lock released, on any thread.  It gives what the round trip
// of apply_yaml_fix and apply_yaml_comment gives (the same values changed
// or added, one marker comment per mapping, the same log lines), but edits
// only the spans that change: a value scalar replaced, a marker comment
// inserted as a line of its own directly above its key, at the key's
// column, a new key appended as a line at the end of its mapping.  Every
// other byte stays: byte-order mark, line breaks, indentation, blanks,
// comments, quoting, document markers, flow collections.
//
// Every result is read again before it is given: its data must be the
// original's with the suggestions applied, and each marker must stand
// directly above its key.  What is not certain here (tags, anchors,
// aliases, merge keys, directives, keys that are no plain text or number,
// block scalars or flow collections on several lines at an edited place,
// a suggestion that would make the round trip raise, a result that does
// not read back as intended) is handed over to the round trip.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

class YamlTree;

// One edit of the file's bytes: `erase` bytes at `at` replaced by `insert`.
struct YamlEdit {
    uint32_t at, erase;
    std::string insert;
};

struct YamlPatch {
    enum class Outcome {
        Patched,        // `text` is the new content (the same bytes when nothing changes)
        DuplicateKeys,  // a mapping repeats a key: the round trip refuses to load it
        HandOver,       // the round trip decides; `reason` says why
    };
    // A line the passes log, in order: "Applying fix" and "Applying
    // comment" at debug level, "Could not parse line: ..." as warnings.
    struct Note {
        bool warning;
        std::string text;
    };
    Outcome outcome = Outcome::HandOver;
    std::vector<YamlEdit> edits;  // Patched: in order, none when nothing changes
    std::vector<Note> log;
    const char *reason = "";
};

// The file's bytes as stored (UTF-8) and the suggestion lines of its
// message (without the first line), with the fix pass, the comment pass or
// both.  Never throws: out of memory hands over.
YamlPatch patch_yaml(std::string_view bytes, const std::vector<std::string> &lines, bool fixes,
                     bool comments) noexcept;

// The same over `tree`, which holds these very bytes read with marks (the
// check's reading of the file): only the result is read again.
YamlPatch patch_yaml(YamlTree &tree, std::string_view bytes, const std::vector<std::string> &lines,
                     bool fixes, bool comments) noexcept;

// The bytes with the edits made.
std::string edited(std::string_view bytes, const std::vector<YamlEdit> &edits);

// The lines of a message's body ("    a\n    b\n"), as its split lines.
std::vector<std::string> body_lines(std::string_view body);

// Each marker comment line of `text` ("# * ABSTRACTION..." alone on its
// line) with the key of the first line below it that is not a comment:
// where a layout puts the markers, for comparing two layouts of one
// document.  Sorted.
std::vector<std::pair<std::string, std::string>> marker_places(std::string_view text);

}  // namespace tavox::cli::commands::migrate::abstract
