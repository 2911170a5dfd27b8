// tavox.cli.commands.secret -- the `secret` command group.
//
// The group has no subcommands of its own: installed plug-ins contribute
// them through the entry-point group named by SUBCMDS_ENTRYPOINT.
#include "support/support.hpp"

namespace tavox::cli::commands::secret {

static void exec(Module &m) {
    // from ..base import CommandWithSubcommands
    py::object base = m.import_from("..base", "CommandWithSubcommands");

    // class SecretCommand(CommandWithSubcommands):
    m.add_class("SecretCommand", {base}, [](ClassBody &c) {
        c.doc(" Command for working with secret strings. ");
        c.set("name", "secret");
        c.set("help", "utilities for working with secret strings.");
        c.set("SUBCOMMANDS", py::list());
        c.set("SUBCMDS_ENTRYPOINT", "tavox.cli.commands.secret");
    });
}

}  // namespace tavox::cli::commands::secret

TAVOX_MODULE(secret, tavox::cli::commands::secret::exec)
