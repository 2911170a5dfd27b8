// tavox.cli.commands.migrate.abstract -- check_yaml's native path (see
// yaml_native.hpp): when it may be taken, one file's check, and the run's
// read-ahead started, taken from and stopped.
//
// The path is taken for a file only when all of these hold; otherwise the
// loader reads the file as before:
//   - the loader's `load` declares itself equivalent to PyYAML's C safe
//     loader (CSAFELOADER_EQUIVALENT), and that loader's resolvers and
//     constructors are still PyYAML's own (nothing added at run time:
//     loader.cpp);
//   - open() reads UTF-8 (the locale's encoding) and the file is valid
//     UTF-8, so that libyaml over its bytes, line breaks translated, sees
//     the text the loader would read;
//   - compute_tokens is the module's own and the C++ copy of the token
//     tables still stands for the module's tables (table_copy.cpp);
//   - the document is plain data that the check can follow with certainty
//     (engine/yaml_check.cpp).
#include "yaml_native.hpp"

#include "reading.hpp"

#include <sched.h>

#include <algorithm>
#include <memory>

namespace tavox::cli::commands::migrate::abstract {

std::shared_ptr<const TokenTable> native_table(const Call &call) {
    try {
        if (!declared_class(call) || !own_compute_tokens(call) || default_encoding() != "utf-8" ||
            !stock_csafeloader())
            return nullptr;
        return current_table(
            py::reinterpret_borrow<py::object>(PyModule_GetDict(call.module().ptr())));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return nullptr;
}

NativeYamlCheck::NativeYamlCheck(const Call &call, std::string_view bytes, Ahead *ahead,
                                 Patching patching)
    : globals_(py::reinterpret_borrow<py::object>(PyModule_GetDict(call.module().ptr()))),
      table_(native_table(call)) {
    if (!table_) return;
    if (ahead && ahead->table == table_) {
        decision_ = std::move(ahead->decision);
        return;
    }
    if (ahead && ahead->bytes_released) return;  // nothing to decide over: read again
    std::optional<support::Unlocked> nogil;
    if (bytes.size() >= SMALL_PARSE) nogil.emplace();
    decision_ = decide(bytes, *table_, patching);
}

NativeYamlCheck::Outcome NativeYamlCheck::result(py::handle load) {
    if (!decided() || !declared(load)) return Outcome::HandOver;
    if (decision_.outcome == Outcome::Message) {
        const YamlCheck &check = decision_.check;
        if (!rows_unchanged(globals_, *table_, check.pids)) return Outcome::HandOver;
        PyObject *lines = PyUnicode_DecodeUTF8(
            check.lines.data(), static_cast<Py_ssize_t>(check.lines.size()), "strict");
        if (!lines) throw py::error_already_set();
        lines_ = py::reinterpret_steal<py::object>(lines);
    }
    return decision_.outcome;
}

namespace {

// The processors this process may run on.
size_t processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<size_t>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

std::unique_ptr<ReadAhead> start_read_ahead(const Call &call, py::handle files, size_t threads,
                                            Patching patching) {
    threads = std::min(threads, processors());
    if (threads == 0 || !PyList_Check(files.ptr())) return nullptr;
    std::shared_ptr<const TokenTable> table = native_table(call);
    if (!table) return nullptr;
    std::vector<std::string> paths;
    for (py::handle file : py::list(py::reinterpret_borrow<py::list>(files))) {
        try {
            paths.push_back(support::fs_path(file));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;  // left to its worker, which says so
        }
    }
    return std::make_unique<ReadAhead>(std::move(paths), std::move(table), threads, patching);
}

std::optional<ReadAhead::File> take_ahead(ReadAhead &files, const std::string &path) {
    std::optional<ReadAhead::File> file;
    if (files.try_take(path, file) != ReadAhead::Taken::Busy) return file;
    // A reader has the list, perhaps preempted at idle priority: only this
    // worker waits for it, without the interpreter lock.
    support::Unlocked unlocked;
    return files.take(path);
}

void stop_read_ahead(ReadAhead &files) {
    support::Unlocked unlocked;  // the readers are joined
    files.stop();
}

}  // namespace tavox::cli::commands::migrate::abstract
