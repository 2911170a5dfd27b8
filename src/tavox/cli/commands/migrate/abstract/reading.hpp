// tavox.cli.commands.migrate.abstract -- the files under examination, read
// once as open() reads them (reading.cpp).
#pragma once

#include "binding.hpp"
#include "engine/decision.hpp"
#include "support/files.hpp"

#include <functional>
#include <string>

namespace tavox::cli::commands::migrate::abstract {

// A file read as open(path, "r") would read it, in the locale's encoding,
// with universal newlines.  The content ends up as UTF-8 in `text`.  Call
// with the interpreter lock held; the lock is released for the file system
// and the byte work.
// A worker lets the interpreter lock go only for work that takes longer
// than handing the lock over and back, which on a busy machine waits for
// the scheduler twice: a file smaller than SMALL_READ is read and scanned
// with the lock held, a YAML document smaller than SMALL_PARSE parsed and
// checked so (the sizes in bytes).
inline constexpr size_t SMALL_READ = 16 << 10;
inline constexpr size_t SMALL_PARSE = 8 << 10;

class TextFile {
public:
    // Work on the text that touches no Python object; it runs while the
    // lock is released for the reading (of a file that is not small).
    using Scan = std::function<void(const std::string &)>;
    // Raises the OSError (or UnicodeDecodeError) that open()/read() would.
    explicit TextFile(py::handle path, const Scan &scan = nullptr);
    const std::string &text() const { return text_; }
    // A span of the text as a Python str (the text is valid UTF-8).
    py::str str(size_t begin, size_t end) const;
    py::str str() const { return str(0, text_.size()); }
    // The file the bytes came from, and their fingerprint.
    const support::FileId &id() const { return id_; }
    const support::Fingerprint &fingerprint() const { return fingerprint_; }

private:
    std::string text_;
    support::FileId id_;
    support::Fingerprint fingerprint_;
};

// A file under examination read once, as stored (engine/decision.hpp),
// with the interpreter lock released for the reading and the fingerprint
// (unless the file is small).
Examined examine(py::handle path);

// A text stream over `bytes` that reads as open(path) reads the file they
// came from: the locale's encoding, universal newlines.
py::object text_stream(const std::string &bytes);

// The encoding open() uses when none is given (the locale's), normalised
// to its codec name: "utf-8" for the usual case.
std::string default_encoding();

}  // namespace tavox::cli::commands::migrate::abstract
