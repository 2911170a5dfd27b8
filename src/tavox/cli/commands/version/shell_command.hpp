// Installer command lines for the system shell, shared by the version
// checker and the update command: how they are built, and every rule of
// what may go into them.
//
// Both run `pip` through `sh -c`, optionally inside another virtual
// environment:
//
//     bash -c "source <venv>/bin/activate; <command>"
//
// with every blank of the environment's path written as backslash-blank.
// What goes into a command line is checked here, before anything runs:
//   - a whole command must hold none of ILLEGAL_CMD_CHARACTERS (the update
//     module's constant, which callers may rebind);
//   - a requirement goes between single quotes, so it must hold nothing that
//     would take it out of them, or out of the wrapper's double quotes;
//   - a distribution name stands bare, so it must be a well-formed name;
//   - an environment path must be one plain word to the shell apart from its
//     blanks, and must hold an activation script: bash would carry on after
//     a failed `source` and run whatever pip comes first on PATH, in the
//     wrong environment.
#pragma once

#include "support/support.hpp"

#include <string>

namespace tavox::cli::commands::version {

// The value of the update module's ILLEGAL_CMD_CHARACTERS.
inline constexpr const char *kIllegalCommandCharacters = "&;$";

// Characters that would take a requirement out of its single quotes, or out
// of the double quotes of the bash wrapper.
inline constexpr const char *kRequirementSpecial = "'\"`\\\n\r";

// Characters of a virtual-environment path that the shell reads specially,
// apart from the blank (which is escaped).
inline constexpr const char *kVenvSpecial = "\"'`\\$;&|<>()*?[]{}#~!";

inline bool is_control(unsigned char ch) { return ch < 0x20 || ch == 0x7f; }

inline bool one_of(char ch, const char *set) {
    for (const char *p = set; *p; ++p)
        if (ch == *p) return true;
    return false;
}

inline py::str quoted(py::handle value) { return py::repr(value); }

inline py::str char_text(char ch) { return py::str(std::string(1, ch)); }

// Raises ValueError naming the first of `illegal` (in its order) that
// occurs in `cmd`.
inline void check_command(py::handle cmd, py::handle illegal) {
    for (py::handle ch : illegal)
        if (support::contains(cmd, ch))
            support::raise(PyExc_ValueError,
                           support::fmt("Illegal character \"{}\" in command \"{}\"", ch, cmd));
}

// Raises ValueError unless `requirement` can stand between single quotes.
inline void check_requirement(py::handle requirement) {
    py::str text = py::str(requirement);
    for (char ch : support::utf8(text))
        if (one_of(ch, kRequirementSpecial))
            support::raise(
                PyExc_ValueError,
                support::fmt("Illegal character {!r} in requirement {!r}", char_text(ch), text));
}

// True when `name` is a well-formed distribution name: letters, digits and
// ".", "_", "-", beginning and ending with a letter or digit.
inline bool is_distribution_name(const std::string &name) {
    auto alnum = [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    };
    if (name.empty() || !alnum(name.front()) || !alnum(name.back())) return false;
    for (char ch : name)
        if (!alnum(ch) && !one_of(ch, "._-")) return false;
    return true;
}

// Raises ValueError unless `name` (a str) is a distribution name that can
// stand bare in a command line.
inline void check_distribution_name(py::handle name) {
    if (!py::isinstance<py::str>(name) || !is_distribution_name(support::utf8(name)))
        support::raise(PyExc_ValueError,
                       support::fmt("Invalid distribution name {}", quoted(name)));
}

// The first character of `text` that the shell would treat specially in a
// virtual-environment path, or 0.
inline char special_venv_char(const std::string &text) {
    for (char ch : text)
        if (is_control(static_cast<unsigned char>(ch)) || one_of(ch, kVenvSpecial)) return ch;
    return 0;
}

// The path of a virtual environment given by the caller, checked: raises
// ValueError for a path the shell would not read as one word, or that holds
// no activation script.
inline py::str checked_venv(py::handle venv) {
    py::object os = py::module_::import("os");
    py::str path = py::str(os.attr("fspath")(venv));
    if (char bad = special_venv_char(support::utf8(path)))
        support::raise(PyExc_ValueError,
                       support::fmt("Illegal character {} in virtual environment path {}",
                                    quoted(char_text(bad)), quoted(path)));
    py::object script = os.attr("path").attr("join")(path, "bin/activate");
    if (!support::truth(os.attr("path").attr("isfile")(script)))
        support::raise(PyExc_ValueError,
                       support::fmt("Not a virtual environment: {} (no activation script {})",
                                    quoted(path), quoted(script)));
    return path;
}

// bash -c "source <venv>/bin/activate; <command>"
inline py::str activated_command(py::handle command, py::handle venv) {
    py::object os = py::module_::import("os");
    py::str path = checked_venv(venv);
    py::object escaped = path.attr("replace")(" ", "\\ ");
    py::object script = os.attr("path").attr("join")(escaped, "bin/activate");
    return support::concat("bash -c \"source ", script, "; ", py::str(command), "\"");
}

}  // namespace tavox::cli::commands::version
