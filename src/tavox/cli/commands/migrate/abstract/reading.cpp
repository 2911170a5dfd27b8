// tavox.cli.commands.migrate.abstract -- the files under examination, read
// as open(path) would read them (the locale's encoding, universal newlines),
// with the interpreter lock released for the file system and the byte work.
#include "abstract.hpp"

namespace tavox::cli::commands::migrate::abstract {

std::string default_encoding() {
    py::object enc = py::module_::import("locale").attr("getpreferredencoding")(false);
    return py::str(py::module_::import("codecs").attr("lookup")(enc).attr("name"));
}

TextFile::TextFile(py::handle path, const Scan &scan) {
    std::string fspath = support::fs_path(path);
    std::string encoding = default_encoding();
    bool utf8 = encoding == "utf-8";
    bool ok = false, valid = false;
    int err = 0;
    {
        // The usual case, a UTF-8 file, is read and scanned in one go.
        support::Unlocked nogil;
        ok = support::read_file(fspath, text_, &id_);
        err = errno;
        if (ok) fingerprint_ = support::fingerprint(text_);
        if (ok && utf8) {
            valid = valid_utf8(text_);
            if (valid) {
                translate_newlines(text_);
                if (scan) scan(text_);
            }
        }
    }
    if (!ok) support::raise_os_error(err, path);
    if (valid) return;
    // Another locale encoding, or bytes UTF-8 rejects: the codec decides,
    // and raises the same UnicodeDecodeError reading the file would.
    py::str decoded = py::bytes(text_).attr("decode")(encoding);
    text_ = py::bytes(decoded.attr("encode")("utf-8", "surrogatepass"));
    support::Unlocked nogil;
    translate_newlines(text_);
    if (scan) scan(text_);
}

Examined examine(py::handle path) {
    std::string fspath = support::fs_path(path);
    Examined e;
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
