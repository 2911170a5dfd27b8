// tavox.configuration -- the framework-wide configuration object.
//
// Built once, when the module is first imported: configuration plug-ins
// first, then up to five files from the most general to the most specific
// (server, interpreter prefix, user, $TAVOX_CONFIGURATION, command line).
// How they are merged is the Configuration class's business.
#include "support/support.hpp"

namespace tavox::configuration {

using support::builtin;
using support::fmt;
using support::percent;

// def load_configuration():
TAVOX_DEF(load_configuration, "load_configuration", "", nullptr) {
    py::object os = call.global("os");
    py::object sys = call.global("sys");
    py::object logger = call.global("logger");

    // Only our own option is taken from the command line; whatever else the
    // running command accepts passes through untouched.
    py::object parser =
        call.global("argparse").attr("ArgumentParser")(py::arg("add_help") = false);
    parser.attr("add_argument")("--tavox-configuration", "-tavox_configuration",
                                py::arg("action") = "store", py::arg("type") = builtin("str"),
                                py::arg("default") = "", py::arg("dest") = "tavox_configuration");
    py::tuple parsed = parser.attr("parse_known_args")(
        sys.attr("argv")[py::slice(py::int_(1), py::none(), py::none())]);
    py::object args = parsed[0];

    py::object cli_config = args.attr("tavox_configuration");
    if (truth(cli_config) && !truth(os.attr("path").attr("isfile")(cli_config))) {
        logger.attr("warning")(fmt(
            "tavox configuration file {} is not accessible, and will not be loaded.", cli_config));
    }

    py::object config = call.global("Configuration")();
    py::object loaded_eps = config.attr("load_entrypoint")(call.global("GLOBAL_ENTRYPOINT"));
    py::object loaded_files = config.attr("load_cfgs")(
        call.global("SERVER_CONFIG"), call.global("GLOBAL_CONFIG"), call.global("USER_CONFIG"),
        call.global("ENV_CONFIG"), cli_config);

    if (truth(loaded_files) || truth(loaded_eps)) {
        py::object debug = logger.attr("debug");
        debug("Loaded Tavox configuration from:");
        py::object getattr = builtin("getattr");
        for (py::handle ep : loaded_eps) {
            // getattr(ep, "dist", ep.module): the default is read every time
            py::object origin = getattr(ep, "dist", ep.attr("module"));
            debug(fmt("  - ep {} {}", origin, ep));
        }
        for (py::handle f : loaded_files) debug(percent("  - file %s", f));
    }
    return config;
}

// ---- module body ---------------------------------------------------------

static void exec(Module &m) {
    py::object os = m.import("os");
    py::object sys = m.import("sys");
    m.import("logging");
    m.import("argparse");

    m.import_from("tavox.datastructures", "Configuration");

    m.logger();

    m.set("GLOBAL_ENTRYPOINT", "tavox.configuration");
    m.set("SERVER_CONFIG", "/etc/tavox.conf");
    m.set("GLOBAL_CONFIG", os.attr("path").attr("join")(sys.attr("prefix"), "tavox.conf"));
    m.set("USER_CONFIG", os.attr("path").attr("expanduser")("~/.tavox/tavox.conf"));
    // Read once, here: later changes of the variable are not seen.
    m.set("ENV_CONFIG",
          os.attr("environ").attr("get")("TAVOX_CONFIGURATION", py::arg("default") = ""));

    py::object load = m.def(load_configuration);
    m.set("configuration", load());
}

}  // namespace tavox::configuration

TAVOX_MODULE(configuration, tavox::configuration::exec)
