// tavox.cli.commands.migrate.abstract -- --diff, --report and --check: what
// a run shows and reports instead of writing (review.cpp).
#pragma once

#include "binding.hpp"
#include "run.hpp"

#include <functional>
#include <string>
#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// The options that show a run's changes instead of making them (--diff,
// --no-color), report it (--report PATH) and gate on it (--check), read
// from the parsed arguments with defaults, so that a namespace without them
// runs as before.  While standard output carries the diff or the report,
// the command's messages go to standard error.
class Review {
public:
    // After run has set the flags: --diff alone previews the fixes.
    Review(const Call &call, py::handle self, py::handle args);
    ~Review();
    Review(const Review &) = delete;
    Review &operator=(const Review &) = delete;

    bool diff() const { return diff_; }
    // Whether a report is written: it says of each file whether it changed.
    bool reporting() const { return !report_.is_none(); }
    // One message and how its patching went: `failure` is the failure item
    // put for it, or None.
    void note(const RunRecord &record, const char *kind, py::handle message, py::handle failure);
    // Prints the diff, writes the report; returns the exit status --check
    // asks for (0 without it).
    int finish(const RunRecord &record, py::handle top);

private:
    struct Entry {
        const char *kind;
        std::string message, path, abs, outcome, reason;
    };
    void refuse_report_place(py::handle self, py::handle args);
    void write_report(py::handle repository,
                      const std::function<std::string(const std::string &)> &relative);
    static void write_stdout(const std::string &bytes);

    py::object args_, logger_, report_, handler_, propagate_;
    bool diff_ = false, check_ = false, color_ = false, fixes_ = false, comments_ = false;
    bool report_failed_ = false;
    size_t noted_ = 0, failed_ = 0;
    std::vector<Entry> entries_;  // kept for --report only
};

}  // namespace tavox::cli::commands::migrate::abstract
