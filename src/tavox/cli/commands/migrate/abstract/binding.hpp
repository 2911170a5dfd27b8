// tavox.cli.commands.migrate.abstract -- what the module's binding files
// share: the names they use, the module's patterns, and the functions and
// methods each defines for the module body (module.cpp).  The module's
// files, and what each holds, are listed in README.md (Layout); the pure
// C++ engine they call is in engine/, its headers free of Python.
#pragma once

#include "support/support.hpp"

#include <string>

namespace tavox::cli::commands::migrate::abstract {

using support::builtin;
using support::concat;
using support::contains;
using support::differs;
using support::fmt;
using support::fs_path;
using support::OpenFile;
using support::raise;
using support::utf8;

// The str that utf8() made `text` from: bytes that are no UTF-8 (from file
// names) come back as the surrogates they were read as.
inline py::str from_utf8(const std::string &text) {
    PyObject *s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// The module's compiled patterns, by their exact pattern texts.
inline constexpr const char *PLATFORM_MATCH_TEXT = R"re(^\w+\dk$)re";
inline constexpr const char *MODEL_MATCH_TEXT =
    R"re(^(?P<platform_identifier>q|tor|w|wbx|ut|grx|hrx|qrx)(?P<model_num>(?P<platform_num>\d)\d)(00(?P<model_suffix>ap|v|_cl|l)?|(?P<pid_num>\d\d)))re";
inline constexpr const char *PYTHON_PLATFORM_MATCH_TEXT =
    R"re(platform\s*==?\s*(?P<platform_name>\".+?\"|\'.+?\'|[a-zA-Z_.()\[\]\'\"]+))re";
inline constexpr const char *PYTHON_FERRIN_MATCH_TEXT = R"re(os\s*==?\s*[\'\"][Ff]errin[\'\"])re";
inline constexpr const char *PYTHON_ABSTRACT_MATCH_TEXT =
    R"re((?<! - )(?P<declare_func>declare_(token|package))\(\s*__name__\s*\))re";

// ---- functions and methods, each defined in its file -------------------------

// tokens.cpp
TAVOX_DECLARE(read_tokens);
TAVOX_DECLARE(compute_tokens);

// workers.cpp
TAVOX_DECLARE(MigrateAbstractCommand_wait_for_thread_slot);

// checks.cpp
TAVOX_DECLARE(MigrateAbstractCommand_check_yaml);
TAVOX_DECLARE(MigrateAbstractCommand_check_python);
TAVOX_DECLARE(MigrateAbstractCommand_check_init);

// yaml_apply.cpp, python_apply.cpp, patch.cpp
TAVOX_DECLARE(MigrateAbstractCommand_apply_yaml_fix);
TAVOX_DECLARE(MigrateAbstractCommand_apply_yaml_comment);
TAVOX_DECLARE(MigrateAbstractCommand_apply_python_comments);
TAVOX_DECLARE(MigrateAbstractCommand_apply_python_fixes);
TAVOX_DECLARE(MigrateAbstractCommand_apply_patches);

}  // namespace tavox::cli::commands::migrate::abstract
