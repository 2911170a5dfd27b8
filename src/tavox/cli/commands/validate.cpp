// tavox.cli.commands.validate -- the `validate` command group.
//
// The group has no subcommands of its own: installed plug-ins contribute
// them through the entry-point group named by SUBCMDS_ENTRYPOINT.
#include "support/support.hpp"

namespace tavox::cli::commands::validate {

static void exec(Module &m) {
    // from ..base import CommandWithSubcommands
    py::object base = m.import_from("..base", "CommandWithSubcommands");

    // class ValidateCommand(CommandWithSubcommands):   (no docstring)
    m.add_class("ValidateCommand", {base}, [](ClassBody &c) {
        c.set("name", "validate");
        c.set("help", "utilities that help to validate input files");
        c.set("SUBCOMMANDS", py::list());
        c.set("SUBCMDS_ENTRYPOINT", "tavox.cli.commands.validate");
    });
}

}  // namespace tavox::cli::commands::validate

TAVOX_MODULE(validate, tavox::cli::commands::validate::exec)
