// tavox.roster -- the distributions that make up a framework installation.
//
// Each function builds and returns a new list on every call, so that a
// caller may change what it receives without affecting later callers.
#include "support/support.hpp"

namespace tavox::roster {

// A new list of the given names, in their order.
static py::list make_list(std::initializer_list<const char *> names) {
    py::list out(names.size());
    size_t i = 0;
    for (const char *name : names) out[i++] = py::str(name);
    return out;
}

// def get_required_packages():
TAVOX_DEF(get_required_packages, "get_required_packages", "", nullptr) {
    // clang-format off
    py::list requirements = make_list({
        "tavox", "tavox.lusk", "tavox.varnel", "tavox.async", "tavox.connections",
        "tavox.datastructures", "tavox.runola", "tavox.pobrin", "tavox.log",
        "tavox.reporter", "tavox.results", "tavox.tcl", "tavox.topology", "tavox.utils",
        "nuvik", "nuvik.libs.clean", "nuvik.libs.conf", "nuvik.libs.filetransferutils",
        "nuvik.libs.health", "nuvik.libs.ops", "nuvik.libs.parser", "nuvik.libs.sdk",
        "nuvik.trafficgen", "brask", "brask.plugins",
    });
    // clang-format on
    return std::move(requirements);
}

// def get_nuvik_legacy_packages():
TAVOX_DEF(get_nuvik_legacy_packages, "get_nuvik_legacy_packages", "", nullptr) {
    // clang-format off
    py::list nuvik_packages = make_list({
        "nuvik", "nuvik.abstract", "nuvik.metaparser", "nuvik.libs.parser",
        "nuvik.parsergen", "nuvik.telemetry", "nuvik.libs.telemetry", "nuvik.conf",
        "nuvik.ops", "nuvik.harness", "nuvik.predcore", "nuvik.utils", "nuvik.libs.conf",
        "nuvik.libs.ops", "nuvik.libs.sdk", "nuvik.libs.filetransferutils",
        "nuvik.trafficgen",
    });
    // clang-format on
    return std::move(nuvik_packages);
}

// def get_optional_packages():
TAVOX_DEF(get_optional_packages, "get_optional_packages", "", nullptr) {
    // clang-format off
    py::list optional_packages = make_list({
        "halvo.connector", "merrow.connector", "merrow.ncdiff", "nuvik.trafficgen",
        "nuvik.telemetry", "tavox.contrib",
    });
    // clang-format on
    return std::move(optional_packages);
}

// ---- module body -----------------------------------------------------------

static void exec(Module &m) {
    m.set("__doc__", " This module contains information regarding tavox packages ");
    m.def(get_required_packages);
    m.def(get_nuvik_legacy_packages);
    m.def(get_optional_packages);
}

}  // namespace tavox::roster

TAVOX_MODULE(roster, tavox::roster::exec)
