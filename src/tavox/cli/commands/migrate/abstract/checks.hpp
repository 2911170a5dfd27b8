// tavox.cli.commands.migrate.abstract -- the checks (checks.cpp:
// check_yaml and what the checks share; source_checks.cpp: check_python and
// check_init): what their files share.
#pragma once

#include "binding.hpp"

namespace tavox::cli::commands::migrate::abstract {

// mapping.get(key, default): plain dicts directly, anything else through
// its own get (which raises when it has none).
py::object get(py::handle mapping, const char *key, py::handle fallback);

py::object get(py::handle mapping, py::handle key, py::handle fallback);

// list(mapping.items()): a snapshot of (key, value) pairs.
py::list items(py::handle mapping);

// The platforms of `platforms` that the token hierarchy knows under the OS
// `os_` (as written).
py::list known_platforms(py::handle hierarchy, py::handle os_, const py::list &platforms);

// " or ".join(value) for a list of alternatives, the value itself otherwise.
py::object alternatives(py::handle value);

// Whether the compiled pattern is the module's own: only then does a line
// without the pattern's leading literal need no search at all.
bool is_pattern(py::handle compiled, const char *text);

// msg_queue.put(file_path + ":\n" + "\n".join(lines) + "\n")
void put_report(py::handle msg_queue, py::handle file_path, py::handle lines);

}  // namespace tavox::cli::commands::migrate::abstract
