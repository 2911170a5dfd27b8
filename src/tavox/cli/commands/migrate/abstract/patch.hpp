// tavox.cli.commands.migrate.abstract -- applying a message's suggestions
// to its file: the passes over one file (yaml_apply.cpp, python_apply.cpp)
// and the steps they share (patch.cpp).
#pragma once

#include "binding.hpp"
#include "engine/yaml_form.hpp"
#include "engine/yaml_patch.hpp"
#include "run.hpp"

#include <string>

namespace tavox::cli::commands::migrate::abstract {

// The file a message is for, as it is now: its bytes, read once.  While a
// run goes on, they must be the content its check read.
std::string read_source(py::handle filepath, const RunRecord::Checked *checked);

// The last step of a pass: `data`, the new content computed from the bytes
// `expected` that the check read (of the file `checked` describes, while a
// run goes on), replaces the file, or, when the run only previews its
// changes, is handed to the run instead.
void commit(RunRecord *run, const RunRecord::Checked *checked, py::handle path,
            const std::string &data, const std::string &expected);

// A text of the file's, as bytes in its encoding.
std::string encoded(py::handle text, py::handle encoding);

// The passes over one file, with the items they add to its success and
// failure messages.
struct FilePatch {
    const support::Call &call;
    py::handle self;
    RunRecord *run;
    const RunRecord::Checked *checked;  // what the run's check read, while a run goes on
    py::object filepath;
    py::list msg_lines;
    bool fixes, comments;
    py::str encoding;
    py::object succ_msg, fail_msg;

    // YAML (yaml_apply.cpp): the native patcher, when the passes are the
    // module's own; the round trip for what it hands over, and for passes
    // of another's.
    void yaml();
    void patched(const YamlPatch &patch, const std::string &bytes);
    void duplicate_keys();
    void round_trip(const std::string &bytes);
    void write_verified(const std::string &bytes, const std::string &carried, std::string dump);
    py::object dumper(const YamlIndent &form) const;
    // Python sources (python_apply.cpp).
    void python();
};

}  // namespace tavox::cli::commands::migrate::abstract
