// Building installer command lines for the system shell, shared by the
// version checker and the update command.
//
// Both run `pip` through `sh -c`, optionally inside another virtual
// environment:
//
//     bash -c "source <venv>/bin/activate; <command>"
//
// with every blank of the environment's path written as backslash-blank.
// Anything else the shell would read as more than a plain word (quotes,
// expansions, separators, redirections, globs) is refused here instead of
// being handed on, and so is a directory without an activation script:
// bash would carry on after the failed `source` and run whatever pip comes
// first on PATH, in the wrong environment.
#pragma once

#include "support/support.hpp"

#include <string>

namespace tavox::cli::commands::version {

// Characters of a virtual-environment path that the shell reads specially,
// apart from the blank (which is escaped).
inline constexpr const char *kVenvSpecial = "\"'`\\$;&|<>()*?[]{}#~!";

inline bool is_control(unsigned char ch) { return ch < 0x20 || ch == 0x7f; }

inline py::str quoted(py::handle value) { return py::repr(value); }

// The first character of `text` that the shell would treat specially in a
// virtual-environment path, or 0.
inline char special_venv_char(const std::string &text) {
    for (char ch : text) {
        if (is_control(static_cast<unsigned char>(ch))) return ch;
        for (const char *p = kVenvSpecial; *p; ++p)
            if (ch == *p) return ch;
    }
    return 0;
}

// The path of a virtual environment given by the caller, checked: raises
// ValueError for a path the shell would not read as one word, or that holds
// no activation script.
inline py::str checked_venv(py::handle venv) {
    py::object os = py::module_::import("os");
    py::str path = py::str(os.attr("fspath")(venv));
    std::string text = support::utf8(path);
    if (char bad = special_venv_char(text)) {
        throw py::value_error(support::utf8(
            support::fmt("Illegal character {} in virtual environment path {}",
                         quoted(py::str(std::string(1, bad))), quoted(path))));
    }
    py::object script = os.attr("path").attr("join")(path, "bin/activate");
    if (!os.attr("path").attr("isfile")(script).cast<bool>()) {
        throw py::value_error(support::utf8(support::fmt(
            "Not a virtual environment: {} (no activation script {})", quoted(path),
            quoted(script))));
    }
    return path;
}

// bash -c "source <venv>/bin/activate; <command>"
inline py::str activated_command(py::handle command, py::handle venv) {
    py::object os = py::module_::import("os");
    py::str path = checked_venv(venv);
    py::object escaped = path.attr("replace")(" ", "\\ ");
    py::str script = os.attr("path").attr("join")(escaped, "bin/activate");
    return py::str(py::str("bash -c \"source ") + script + py::str("; ") + py::str(command) +
                   py::str("\""));
}

// True when `name` is a well-formed distribution name: letters, digits and
// ".", "_", "-", beginning and ending with a letter or digit.
inline bool is_distribution_name(const std::string &name) {
    auto alnum = [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    };
    if (name.empty() || !alnum(name.front()) || !alnum(name.back())) return false;
    for (char ch : name)
        if (!alnum(ch) && ch != '.' && ch != '_' && ch != '-') return false;
    return true;
}

// Raises ValueError unless `name` (a str) is a distribution name that can
// stand bare in a command line.
inline void check_distribution_name(py::handle name) {
    if (!py::isinstance<py::str>(name) || !is_distribution_name(support::utf8(name)))
        throw py::value_error(
            support::utf8(support::fmt("Invalid distribution name {}", quoted(name))));
}

}  // namespace tavox::cli::commands::version
