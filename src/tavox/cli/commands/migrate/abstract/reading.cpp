// tavox.cli.commands.migrate.abstract -- the files under examination, read
// as open(path) would read them (the locale's encoding, universal newlines),
// with the interpreter lock released for the file system and the byte work
// of any file that is not small.
#include "reading.hpp"
#include "engine/text_scan.hpp"

#include <optional>

namespace tavox::cli::commands::migrate::abstract {

std::string default_encoding() {
    py::object enc = py::module_::import("locale").attr("getpreferredencoding")(false);
    return py::str(py::module_::import("codecs").attr("lookup")(enc).attr("name"));
}

namespace {

// Reads the file at `path` whole, with the interpreter lock held, when it
// is a regular file smaller than SMALL_READ: true then, with `ok`, `err`
// and the rest as support::read_file leaves them.  False for any other
// file, nothing read: the caller reads it with the lock released (opening a
// FIFO or a device may block; it is opened here without blocking only to be
// told what it is).
bool read_small(const std::string &path, std::string &out, support::FileId &id, bool &ok,
                int &err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;  // read again for its error, as open() would say it
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size >= static_cast<off_t>(SMALL_READ)) {
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, O_RDONLY);  // blocking reads, as any regular file is read
    id = {st.st_dev, st.st_ino};
    ok = support::detail::read_fd(fd, out, static_cast<size_t>(st.st_size));
    err = ok ? 0 : errno;
    ::close(fd);
    return true;
}

}  // namespace

TextFile::TextFile(py::handle path, const Scan &scan) {
    std::string fspath = support::fs_path(path);
    std::string encoding = default_encoding();
    bool utf8 = encoding == "utf-8";
    bool ok = false, valid = false;
    int err = 0;
    // The usual case, a UTF-8 file, is read and scanned in one go.
    auto work = [&] {
        fingerprint_ = support::fingerprint(text_);
        if (!utf8) return;
        valid = valid_utf8(text_);
        if (!valid) return;
        translate_newlines(text_);
        if (scan) scan(text_);
    };
    if (read_small(fspath, text_, id_, ok, err)) {
        if (ok) work();
    } else {
        support::Unlocked nogil;
        ok = support::read_file(fspath, text_, &id_);
        err = errno;
        if (ok) work();
    }
    if (!ok) support::raise_os_error(err, path);
    if (valid) return;
    // Another locale encoding, or bytes UTF-8 rejects: the codec decides,
    // and raises the same UnicodeDecodeError reading the file would.
    py::str decoded = py::bytes(text_).attr("decode")(encoding);
    text_ = py::bytes(decoded.attr("encode")("utf-8", "surrogatepass"));
    std::optional<support::Unlocked> nogil;
    if (text_.size() >= SMALL_READ) nogil.emplace();
    translate_newlines(text_);
    if (scan) scan(text_);
}

Examined examine(py::handle path) {
    std::string fspath = support::fs_path(path);
    Examined e;
    bool ok = false;
    if (read_small(fspath, e.bytes, e.id, ok, e.err)) {
        if (ok) e.fingerprint = support::fingerprint(e.bytes);
        return e;
    }
    support::Unlocked nogil;
    if (support::read_file(fspath, e.bytes, &e.id)) e.fingerprint = support::fingerprint(e.bytes);
    else e.err = errno;
    return e;
}

py::object text_stream(const std::string &bytes) {
    py::object io = py::module_::import("io");
    return io.attr("TextIOWrapper")(io.attr("BytesIO")(py::bytes(bytes)),
                                    py::arg("encoding") = default_encoding());
}

py::str TextFile::str(size_t begin, size_t end) const {
    PyObject *s = PyUnicode_DecodeUTF8(text_.data() + begin, static_cast<Py_ssize_t>(end - begin),
                                       "surrogatepass");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

}  // namespace tavox::cli::commands::migrate::abstract
