// tavox.cli.commands.migrate.abstract -- what the native path makes of a
// YAML file's bytes: the check's decision, and, when the run patches, the
// patch made from the same reading.  Pure C++, run without the interpreter
// lock (on the reading threads, or in a worker).
#pragma once

#include "support/files.hpp"
#include "token_table.hpp"
#include "yaml_check.hpp"
#include "yaml_patch.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tavox::cli::commands::migrate::abstract {

// The passes a run applies to what its checks find (-f, -c): a file the
// native path finds a message for is then patched right away, from the
// same reading, and its edits wait for the patcher.
struct Patching {
    bool fixes = false, comments = false;
    explicit operator bool() const { return fixes || comments; }
};

// A file's patch made by its check: the suggestion lines it applied (the
// message's body) and the passes, with what they gave.  A run keeps one for
// every file with a message until the patcher comes to it, so its texts
// are packed into one string of their own size.
class YamlPlan {
public:
    YamlPlan(std::string_view lines, Patching patching, const YamlPatch &patch);
    // Whether it was made for this message body and these passes.
    bool made_for(std::string_view lines, Patching patching) const;
    YamlPatch::Outcome outcome() const { return outcome_; }
    YamlPatch patch() const;

private:
    // The lines; then each edit: at, erase, size, bytes; then each note:
    // kind, size, text.
    std::string packed_;
    uint32_t lines_size_ = 0, edits_ = 0, notes_ = 0;
    Patching patching_;
    YamlPatch::Outcome outcome_;
    const char *reason_;
};

// What the native path makes of a file's bytes.
struct NativeDecision {
    enum class Outcome {
        NoMessage,
        Message,       // check.lines: the problem lines, each followed by "\n"
        CouldNotLoad,  // the text cannot be read: both loaders refuse it
        HandOver,      // the loader path decides
    };
    Outcome outcome = Outcome::HandOver;
    YamlCheck check;
    // With a Message and `patching`: the patch of the bytes by the check's
    // lines (none where the bytes hold carriage returns: the check reads
    // them translated, the patcher as stored).
    std::shared_ptr<const YamlPlan> plan;
};

// The decision over `bytes` as stored, checked with `table`.  Pure C++, for
// use without the lock; never throws (out of memory means HandOver, and so
// does a `stop` that becomes true on the way).
NativeDecision decide(std::string_view bytes, const TokenTable &table, Patching patching = {},
                      const std::atomic<bool> *stop = nullptr) noexcept;

// A file's decision made ahead of its worker, with the tables it was made
// with.  The file's result was decided and its bytes let go with it
// (`bytes_released`): a worker that cannot use the decision reads the file
// again.
struct Ahead {
    std::shared_ptr<const TokenTable> table;
    NativeDecision decision;
    bool bytes_released = false;
};

// The bytes of a file under examination, read once, as stored, with its
// identity and fingerprint.
struct Examined {
    std::string bytes;
    support::FileId id;
    support::Fingerprint fingerprint;
    int err = 0;  // errno of a read that failed (no bytes then)
};

}  // namespace tavox::cli::commands::migrate::abstract
