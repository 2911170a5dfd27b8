// tavox.cli.commands.migrate.abstract -- the end of a run: the queues of
// the checks' messages drained into the changes log and the patcher, the
// patcher's outcomes into the success and failures logs and the console
// (drain.cpp).
#pragma once

#include "review.hpp"
#include "run.hpp"

#include <vector>

namespace tavox::cli::commands::migrate::abstract {

// The messages of the checks, one queue per kind, in the order they are
// applied.
struct Findings {
    py::object init, yaml, python;
};

// While a run goes on, the console writes a file name that is no text in
// the file system's encoding as the system gives it (surrogateescape), as
// the logs do, instead of failing on it; each stream is put back after.
class NamesAsGiven {
public:
    NamesAsGiven() {
        py::object sys = py::module_::import("sys");
        for (const char *name : {"stdout", "stderr"}) {
            py::object stream = py::getattr(sys, name, py::none());
            if (stream.is_none() || !py::hasattr(stream, "reconfigure")) continue;
            py::object errors = py::getattr(stream, "errors", py::none());
            if (!errors.equal(py::str("strict"))) continue;
            try {
                stream.attr("reconfigure")(py::arg("errors") = "surrogateescape");
                changed_.push_back(stream);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;  // a stream that cannot: as it is
            }
        }
    }
    ~NamesAsGiven() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        for (const py::object &stream : changed_) {
            try {
                stream.attr("reconfigure")(py::arg("errors") = "strict");
            } catch (py::error_already_set &) {
                // closed meanwhile: nothing to put back
            }
        }
        PyErr_Restore(type, value, tb);
    }
    NamesAsGiven(const NamesAsGiven &) = delete;
    NamesAsGiven &operator=(const NamesAsGiven &) = delete;

private:
    std::vector<py::object> changed_;
};

// The three queues, init, YAML, Python, drained: each message to the
// changes log and the patcher, its outcome to the logs (and the report),
// the files it rewrites in batches; then the outcomes to the console.
void drain(const Call &call, py::handle self, RunLogs &logs, RunRecord &record, Review &review,
           Findings &findings);

}  // namespace tavox::cli::commands::migrate::abstract
