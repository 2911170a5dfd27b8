// tavox.cli.commands.version.update -- `tavox version update`.
//
// Upgrades or downgrades every framework distribution of this Python
// environment (or of another virtual environment) to one release line:
// list what is installed, ask the package index which versions it has,
// show the plan, then remove the framework with one `pip3 uninstall` and
// install the chosen versions with one `pip3 install`.  When the command is
// tied to other package indexes (PYPI_URLS), `run` is tried once per index,
// with this environment's pip.conf pointed at it first.
#include "support/files.hpp"
#include "support/support.hpp"
#include "tavox/cli/commands/version/shell_command.hpp"

#include <optional>
#include <string>

namespace tavox::cli::commands::version::update {

namespace shell = tavox::cli::commands::version;
using support::builtin;
using support::concat;
using support::fmt;
using support::percent;

static const char DESCRIPTION[] =
    "\n"
    "    Upgrade or downgrade this Tavox installation (virtual environment) to a\n"
    "    different version.\n"
    "\n"
    "Note:\n"
    "    if the currently installed version is already the latest version, it\n"
    "    will be uninstalled, and re-installed again for 'safety'\n"
    "    ";

static const char LIST_CMD[] = "pip3 list --disable-pip-version-check --format json";

static void log(const Call &call, const char *level, py::handle message) {
    call.global("logger").attr(level)(message);
}

// Step 1 of _execute_cmd, also applied to both command lines of `run`
// before anything is uninstalled.
static void check_illegal_characters(const Call &call, py::handle cmd) {
    shell::check_command(cmd, call.global("ILLEGAL_CMD_CHARACTERS"));
}

// Any value of `mapping` true?
static bool any_value(py::handle mapping) {
    for (py::handle value : mapping.attr("values")())
        if (truth(value)) return true;
    return false;
}

// ---- module functions ----------------------------------------------------------

// Replace the file at `path` (or create it) with `text`, encoded as a file
// opened in text mode encodes it, whole or not at all: the content reaches
// the disk in a file beside it, which is renamed over it; the file's mode,
// owner and symbolic links stay (support/files.hpp).
static void replace_text_file(py::handle path, py::handle text) {
    py::object encoding = py::module_::import("locale").attr("getpreferredencoding")(false);
    std::string data = py::bytes(text.attr("encode")(encoding));
    std::string where = support::fs_path(path);
    support::Replacement r;
    {
        support::Unlocked unlocked;
        r = support::write_file(where, data);
    }
    if (r.outcome == support::Replacement::Failed) support::raise_os_error(r.err, path);
}

// The running environment's pip.conf, and the text setup_pip_conf writes
// there for `pypi_url`: the file's index lines pointed at it, or the
// template when there is no file.
static py::object pip_conf_path(const Call &call) {
    return call.global("os").attr("path").attr("join")(call.global("sys").attr("prefix"),
                                                       "pip.conf");
}

static py::object pip_conf_text(const Call &call, py::handle path, py::handle pypi_url) {
    py::object os = call.global("os");
    py::object re = call.global("re");
    if (!truth(os.attr("path").attr("isfile")(path)))
        return call.global("pip_conf_template").attr("format")(py::arg("pypi_url") = pypi_url);
    py::object text;
    {
        support::OpenFile file(call.global("open")(path, "r"));
        text = file->attr("read")();
    }
    // The URL is inserted as it stands: backslashes or a leading digit
    // in it must not be read as group references.
    py::object literal = py::str(pypi_url).attr("replace")("\\", "\\\\");
    text = re.attr("sub")(R"re((index\s+=\s+)(\S+))re", concat("\\g<1>", literal), text);
    text = re.attr("sub")(R"re((index-url\s+=\s+)(\S+)(/simple))re",
                          concat("\\g<1>", literal, "\\g<3>"), text);
    return text;
}

// def setup_pip_conf(pypi_url):
TAVOX_DEF(setup_pip_conf, "setup_pip_conf", "pypi_url", nullptr) {
    py::object path = pip_conf_path(call);
    replace_text_file(path, pip_conf_text(call, path, TAVOX_ARG(pypi_url)));
    return py::none();
}

// Whether the call is a dry run: its parsed arguments (the first
// positional argument, or `args`) ask for one.
static bool dry_run(const py::tuple &args, const py::dict &kwargs) {
    py::object parsed = args.size() > 0            ? py::object(args[0])
                        : contains(kwargs, "args") ? py::object(kwargs["args"])
                                                   : py::object(py::none());
    return truth(py::getattr(parsed, "dry_run", py::bool_(false)));
}

// def do_loop(self, *args, **kwargs):   (inside pip_conf_loop)
TAVOX_DEF(pip_conf_loop_do_loop, "pip_conf_loop.<locals>.do_loop", "self, *args, **kwargs",
          nullptr) {
    py::object func = call.closure()[0];
    py::handle self = TAVOX_ARG(self);
    const py::tuple &args = call.varargs();
    const py::dict &kwargs = call.varkw();

    py::object pypi_urls = self.attr("PYPI_URLS");
    if (!truth(pypi_urls)) return func(self, *args, **kwargs);
    if (dry_run(args, kwargs)) {
        // Nothing is written: the plan shows what the first index would
        // make of pip.conf (the next ones are tried only when one fails).
        for (py::handle pypi_url : pypi_urls) {
            py::object path = pip_conf_path(call);
            log(call, "info",
                fmt("Dry run: pip.conf would be updated to use {}; {} would read:\n{}", pypi_url,
                    path, pip_conf_text(call, path, pypi_url)));
            return func(self, *args, **kwargs);
        }
    }

    std::optional<py::error_already_set> func_error;
    for (py::handle pypi_url : pypi_urls) {
        log(call, "info", concat("Updating pip.conf to use ", pypi_url));
        call.global("setup_pip_conf")(pypi_url);
        try {
            return func(self, *args, **kwargs);
        } catch (py::error_already_set &e) {
            // SystemExit and KeyboardInterrupt end the loop at once.
            if (!e.matches(PyExc_Exception)) throw;
            func_error.emplace(std::move(e));
        }
    }
    if (func_error) throw std::move(*func_error);
    // Only reached when PYPI_URLS tested true but gave no URL to try.
    support::raise(PyExc_RuntimeError,
                   concat("Failed to execute ", py::str(func), " (", py::str(py::handle(args)),
                          ") {", py::str(py::handle(kwargs)), "} from PYPIs ",
                          py::str(pypi_urls)));
}

// def pip_conf_loop(func):
TAVOX_DEF(pip_conf_loop, "pip_conf_loop", "func", nullptr) {
    return support::make_function(pip_conf_loop_do_loop, call.module(),
                                  py::make_tuple(TAVOX_ARG(func)));
}

// ---- the steps of VersionUpdateCommand.run ---------------------------------------

// The requested release line: "latest", or a Version of major.minor, which
// is also left in args.version.  (A retry over another index gets the
// namespace back with the Version this made, so it is converted from its
// text.)
static py::object requested_version(const Call &call, py::handle args) {
    py::str latest("latest");
    if (!truth(py::getattr(args, "version", py::none()))) args.attr("version") = latest;
    if (differs(args.attr("version"), latest)) {
        py::object Version = call.global("Version");
        py::object version = Version(py::str(args.attr("version")));
        if (truth(version.attr("micro")) || truth(version.attr("pre")) ||
            truth(version.attr("dev")) || truth(version.attr("post"))) {
            version = Version(
                concat(py::str(version.attr("major")), ".", py::str(version.attr("minor"))));
            log(call, "warning",
                concat("You provided a version that may not be available for all packages.\n"
                       "Version ",
                       py::str(version), " will be used instead\n"));
        }
        args.attr("version") = version;
    }
    return args.attr("version");
}

// The framework's distributions installed in the environment: name -> the
// installer's entry, in listing order.
static py::dict installed_framework(const Call &call, py::handle self, py::handle venv,
                                    py::handle env) {
    py::object listing = self.attr("_execute_cmd")(py::arg("cmd") = LIST_CMD,
                                                   py::arg("venv") = venv, py::arg("env") = env);
    py::object entries = call.global("json").attr("loads")(listing);
    py::dict all_pkgs;
    for (py::handle entry : entries) all_pkgs[entry["name"]] = entry;
    py::dict installed_pkgs;
    for (auto item : all_pkgs)
        if (truth(self.attr("_is_tavox_package")(item.first)))
            installed_pkgs[item.first] = item.second;
    return installed_pkgs;
}

// Both the internal (korr) and the external (tavox) family installed?
static void warn_mixed_installation(const Call &call, const py::dict &installed_pkgs) {
    bool korr_installed = false, tavox_installed = false;
    for (auto item : installed_pkgs) {
        py::object name = py::reinterpret_borrow<py::object>(item.first);
        if (truth(name.attr("startswith")("korr"))) korr_installed = true;
        if (truth(name.attr("startswith")("tavox")) && differs(name, "tavox.contrib"))
            tavox_installed = true;
    }
    if (korr_installed && tavox_installed) {
        log(call, "warning", py::str("Inconsistencies detected in this environment!"));
        log(call, "warning",
            py::str("Both korr (internal) and tavox (external) packages are present. "));
    }
}

// The required distributions, then the optional ones: all of them for
// another environment, only the installed ones here.
static py::list packages_to_check(const Call &call, py::handle self,
                                  const py::dict &installed_pkgs, py::handle venv) {
    // A new list: REQUIRED_PACKAGES is the class's roster.
    py::list packages = py::reinterpret_steal<py::list>(
        PySequence_List(py::object(self.attr("REQUIRED_PACKAGES")).ptr()));
    if (!packages) throw py::error_already_set();
    if (truth(venv)) {
        for (py::handle name : self.attr("OPTIONAL_PACKAGES")) packages.append(name);
    } else {
        for (py::handle name : self.attr("OPTIONAL_PACKAGES"))
            if (contains(installed_pkgs, name)) packages.append(name);
        log(call, "info", py::str("\nFetching package list... (it may take some time)"));
    }
    return packages;
}

// The version to install of each package (None where the index has none),
// looked up through SCOUTVER_VERSIONS.  When not one package has a version,
// the user is told which releases exist and the process ends.
static py::dict available_versions(const Call &call, py::handle self, py::handle packages,
                                   py::handle version, py::handle pre, py::handle venv) {
    py::object scoutver = self.attr("SCOUTVER_VERSIONS");
    py::dict available_pkgs;
    if (differs(version, "latest"))
        available_pkgs = scoutver.attr("get_latest_version")(
            packages, py::arg("version") = version, py::arg("pre") = pre, py::arg("venv") = venv);
    else
        available_pkgs = scoutver.attr("get_latest_version")(packages, py::arg("pre") = pre,
                                                             py::arg("venv") = venv);
    // Nothing to install at all: stop before anything is removed.
    if (!any_value(available_pkgs)) {
        py::object tavox_distro = self.attr("TAVOX_DISTRO_NAME");
        py::dict all_versions = scoutver.attr("get_all_available_versions")(
            py::list(py::make_tuple(tavox_distro)), py::arg("pre") = pre, py::arg("venv") = venv);
        py::object listed = all_versions.attr("get")(tavox_distro);
        py::object listed_text = py::str(", ").attr("join")(truth(listed) ? listed : py::list());
        log(call, "critical",
            concat("Provided version does not exist or is not available: ", py::str(version),
                   "\nAvailable versions: ", listed_text));
        support::exit(0);
    }
    return available_pkgs;
}

// The plan shown to the user: name -> {"version": ...} for every package
// with a version to install.
static py::dict planned_versions(const py::dict &available_pkgs, bool latest_mode) {
    py::dict pkg_versions;
    for (auto item : available_pkgs) {
        if (!truth(item.second)) continue;
        py::dict planned;
        planned["version"] = latest_mode ? concat("latest (", item.second, ")")
                                         : py::reinterpret_borrow<py::object>(item.second);
        pkg_versions[item.first] = planned;
    }
    return pkg_versions;
}

// Unless told not to ask, the user must agree; a "no" ends the process.
static void confirm(const Call &call, py::handle self, py::handle args) {
    if (!truth(self.attr("ASK_CONFIRMATION")) || truth(py::getattr(args, "yes", py::bool_(false))))
        return;
    py::object agreed = call.global("utils").attr("yes_or_no")("Are you sure you want to continue",
                                                               py::arg("default") = "no");
    if (!truth(agreed)) {
        log(call, "critical", py::str("\nBye."));
        support::exit(0);
    }
}

// The requirements to install, and the names left out for want of a
// version.  Below the legacy bracket the old sibling-library set is pinned
// instead; a queried name with no version of the line is left out and
// reported, since pip refuses the whole install otherwise.
struct InstallList {
    py::list pkgs, pkgs_without_version;
};

static InstallList install_list(const Call &call, py::handle self, const py::dict &available_pkgs,
                                py::handle version) {
    InstallList out;
    bool legacy = py::isinstance(version, call.global("Version"));
    if (legacy) {
        int lower = PyObject_RichCompareBool(
            version.ptr(), call.global("NUVIK_VERSION_BRACKET_BUG").ptr(), Py_LT);
        if (lower < 0) throw py::error_already_set();
        legacy = lower == 1;
    }
    if (legacy) {
        py::list names;
        names.append(self.attr("TAVOX_DISTRO_NAME"));
        for (py::handle name : call.global("OLD_NUVIK_PACKAGES")) names.append(name);
        for (py::handle name : names) {
            py::object found = available_pkgs.attr("get")(name, version);
            if (found.is_none()) out.pkgs_without_version.append(name);
            else out.pkgs.append(concat(py::str(name), "==", py::str(found)));
        }
        out.pkgs.append(percent("brask==%s", py::make_tuple(version)));
    } else {
        for (auto item : available_pkgs) {
            if (truth(item.second))
                out.pkgs.append(concat(py::str(item.first), "==", py::str(item.second)));
            else out.pkgs_without_version.append(item.first);
        }
    }
    return out;
}

// PIP_INSTALL_CMD followed by each requirement in single quotes, checked.
static py::object install_command(const Call &call, py::handle self, const py::list &pkgs) {
    py::list quoted;
    for (py::handle requirement : pkgs) {
        shell::check_requirement(requirement);
        quoted.append(percent("'%s'", py::make_tuple(requirement)));
    }
    py::object cmd =
        concat(py::str(self.attr("PIP_INSTALL_CMD")), " ", py::str(" ").attr("join")(quoted));
    check_illegal_characters(call, cmd);
    return cmd;
}

// PIP_UNINSTALL_CMD followed by the bare installed names, checked.
static py::object uninstall_command(const Call &call, py::handle self,
                                    const py::dict &installed_pkgs) {
    py::list names;
    for (auto item : installed_pkgs) {
        shell::check_distribution_name(item.first);
        names.append(item.first);
    }
    py::object cmd =
        concat(py::str(self.attr("PIP_UNINSTALL_CMD")), " ", py::str(" ").attr("join")(names));
    check_illegal_characters(call, cmd);
    return cmd;
}

// The plan of a dry run: the commands the update would run, exactly as
// they would run, and the index configuration it would use.
static void show_plan(const Call &call, py::handle self, const py::dict &installed_pkgs,
                      const InstallList &to_install, py::handle install_cmd, py::handle venv) {
    auto as_run = [&](py::handle cmd) {
        return truth(venv) ? py::object(shell::activated_command(cmd, venv))
                           : py::reinterpret_borrow<py::object>(cmd);
    };
    py::list lines;
    lines.append("\nDry run: nothing was changed. The update would run:");
    if (truth(installed_pkgs))
        lines.append(concat("  ", as_run(uninstall_command(call, self, installed_pkgs))));
    lines.append(concat("  ", as_run(install_cmd)));
    if (truth(to_install.pkgs_without_version))
        lines.append(concat("Left out, for want of a matching version: ",
                            py::str(", ").attr("join")(to_install.pkgs_without_version)));
    if (!truth(self.attr("PYPI_URLS")))
        lines.append(fmt("The package index configuration ({}) would be left as it is.",
                         pip_conf_path(call)));
    log(call, "info", py::str("\n").attr("join")(lines));
}

// ---- class VersionUpdateCommand(Subcommand) ------------------------------------

// def __init__(self, *args, **kwargs):
TAVOX_DEF(VersionUpdateCommand___init__, "VersionUpdateCommand.__init__", "self, *args, **kwargs",
          nullptr) {
    py::handle self = TAVOX_ARG(self);
    call.super_init();

    self.attr("REQUIRED_PACKAGES") = self.attr("TAVOX_PACKAGES");

    py::object parser = self.attr("parser");
    parser.attr("add_argument")("version", py::arg("nargs") = "?", py::arg("default") = "latest",
                                py::arg("metavar") = "[VERSION]",
                                py::arg("help") =
                                    "version of Tavox to update to\n(default: latest)");
    parser.attr("add_argument")("--yes", py::arg("action") = "store_true",
                                py::arg("help") = "Do not prompt for yes/no confirmation");
    parser.attr("add_argument")("--pre", py::arg("action") = "store_true",
                                py::arg("help") = "Install pre-release and development versions");
    // Left off the namespace unless given, so that a plain run's arguments
    // stay what they were.
    parser.attr("add_argument")(
        "--dry-run", py::arg("action") = "store_true",
        py::arg("default") = py::module_::import("argparse").attr("SUPPRESS"),
        py::arg("help") = "Look up what would change and show the plan (what would be "
                          "uninstalled, the install command, the package index configuration), "
                          "without asking and without changing anything");
    return py::none();
}

// def run(self, args, proxy=None, extra_requirements=None):
TAVOX_DEF(VersionUpdateCommand_run, "VersionUpdateCommand.run",
          "self, args, proxy=None, extra_requirements=None", nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::handle args = TAVOX_ARG(args);
    py::handle extra_requirements = TAVOX_ARG(extra_requirements);

    py::object version = requested_version(call, args);
    py::object pre = py::getattr(args, "pre", py::bool_(false));
    py::object venv = py::getattr(args, "location", py::none());
    py::object env = call.global("os").attr("environ").attr("copy")();
    if (truth(TAVOX_ARG(proxy))) env.attr("update")(self.attr("PROXIES"));

    // What is there, and what the index has.
    if (!truth(venv)) log(call, "info", py::str("Checking your current environment..."));
    py::dict installed_pkgs = installed_framework(call, self, venv, env);
    warn_mixed_installation(call, installed_pkgs);
    bool installed = truth(installed_pkgs);
    if (installed) {
        log(call, "info", py::str("\n\nThe following packages will be removed:"));
        self.attr("_print_pkg_versions")(installed_pkgs);
    }
    py::list packages = packages_to_check(call, self, installed_pkgs, venv);
    py::dict available_pkgs = available_versions(call, self, packages, version, pre, venv);

    // The plan, and the user's agreement.
    if (installed) {
        log(call, "info", py::str("\n... and updated with:"));
        self.attr("_print_pkg_versions")(
            planned_versions(available_pkgs, version.equal(py::str("latest"))));
    }
    bool dry = truth(py::getattr(args, "dry_run", py::bool_(false)));
    if (!dry) confirm(call, self, args);

    // Both command lines are checked before anything runs, so a refused
    // install never follows a completed uninstall.
    InstallList to_install = install_list(call, self, available_pkgs, version);
    if (truth(extra_requirements))
        for (py::handle requirement : extra_requirements) to_install.pkgs.append(requirement);
    py::object install_cmd = install_command(call, self, to_install.pkgs);
    if (dry) {
        show_plan(call, self, installed_pkgs, to_install, install_cmd, venv);
        return py::none();
    }
    if (installed) {
        py::object uninstall_cmd = uninstall_command(call, self, installed_pkgs);
        log(call, "warning", py::str("Uninstalling existing packages..."));
        self.attr("_execute_cmd")(uninstall_cmd, venv);
        log(call, "warning", py::str("Installing new packages..."));
    }
    if (truth(to_install.pkgs_without_version)) {
        log(call, "warning",
            fmt("\nThe following packages do not have a matching version and were "
                "skipped:\n\n{}\n",
                py::str("\n  ").attr("join")(to_install.pkgs_without_version)));
    }
    self.attr("_execute_cmd")(install_cmd, venv);

    if (installed) log(call, "info", py::str("\nDone! Enjoy!"));
    return py::none();
}

// def _execute_cmd(self, cmd, venv, env=None):
TAVOX_DEF(VersionUpdateCommand__execute_cmd, "VersionUpdateCommand._execute_cmd",
          "self, cmd, venv, env=None", nullptr) {
    py::object cmd = py::reinterpret_borrow<py::object>(TAVOX_ARG(cmd));
    py::handle venv = TAVOX_ARG(venv);
    check_illegal_characters(call, cmd);
    if (truth(venv)) cmd = shell::activated_command(cmd, venv);
    return call.global("utils").attr("cmd")(cmd, py::arg("env") = TAVOX_ARG(env));
}

// def _is_tavox_package(self, pkg):
TAVOX_DEF(VersionUpdateCommand__is_tavox_package, "VersionUpdateCommand._is_tavox_package",
          "self, pkg", nullptr) {
    py::handle self = TAVOX_ARG(self);
    py::handle pkg = TAVOX_ARG(pkg);
    py::object candidates = concat(self.attr("REQUIRED_PACKAGES"), self.attr("OPTIONAL_PACKAGES"),
                                   self.attr("EXTERNAL_PACKAGES"));
    for (py::handle candidate : candidates)
        if (pkg.equal(candidate)) return py::bool_(true);
    for (py::handle candidate : candidates)
        if (truth(pkg.attr("startswith")(concat(py::str(candidate), ".")))) return py::bool_(true);
    return py::none();
}

// def _print_pkg_versions(self, pkgs):
TAVOX_DEF(VersionUpdateCommand__print_pkg_versions, "VersionUpdateCommand._print_pkg_versions",
          "self, pkgs", nullptr) {
    py::handle pkgs = TAVOX_ARG(pkgs);
    py::list header;
    header.append("Package");
    header.append("Version");
    py::list data;
    for (py::handle name : builtin("sorted")(pkgs)) {
        py::list row;
        row.append(name);
        row.append(pkgs[name]["version"]);
        data.append(row);
    }
    for (py::handle line : call.global("utils").attr("format_table")(data, header))
        log(call, "info", line);
    return py::none();
}

// ---- module body ---------------------------------------------------------------

static void exec(Module &m) {
    m.import("json");
    m.import("logging");
    m.import("os");
    m.import("re");
    m.import("sys");
    m.import_from("packaging.version", "Version");

    py::object Subcommand = m.import_from("tavox.cli.base", "Subcommand");
    m.import_from("tavox.cli", "utils");
    m.import_from("tavox.cli.commands.version.template", "pip_conf_template");
    py::object ScoutverVersions =
        m.import_from("tavox.cli.commands.version.scoutver", "ScoutverVersions");
    py::object get_required_packages = m.import_from("tavox.roster", "get_required_packages");
    py::object get_nuvik_legacy_packages =
        m.import_from("tavox.roster", "get_nuvik_legacy_packages");
    py::object get_optional_packages = m.import_from("tavox.roster", "get_optional_packages");

    m.logger();
    m.set("NUVIK_VERSION_BRACKET_BUG", m.get("Version")("19.7"));
    m.set("OLD_NUVIK_PACKAGES", get_nuvik_legacy_packages());
    m.set("ILLEGAL_CMD_CHARACTERS", shell::kIllegalCommandCharacters);

    m.def(setup_pip_conf);
    py::object loop = m.def(pip_conf_loop);

    // class VersionUpdateCommand(Subcommand):
    m.add_class("VersionUpdateCommand", {Subcommand}, [&](ClassBody &c) {
        c.set("name", "update");
        c.set("help", "update current Tavox installation to another version");
        c.set("description", DESCRIPTION);
        c.set("TAVOX_DISTRO_NAME", "tavox");
        c.set("PIP_INSTALL_CMD", "pip3 install --disable-pip-version-check");
        c.set("PIP_UNINSTALL_CMD", "pip3 uninstall --yes");
        c.set("PYPI_URLS", py::list());
        c.set("ASK_CONFIRMATION", true);
        c.set("TAVOX_PACKAGES", get_required_packages());
        c.set("OPTIONAL_PACKAGES", get_optional_packages());
        py::list external;
        external.append("tavox");
        c.set("EXTERNAL_PACKAGES", external);
        c.set("SCOUTVER_VERSIONS", ScoutverVersions);
        c.set("PROXIES", py::dict());

        c.method(VersionUpdateCommand___init__);
        // run = pip_conf_loop(run)
        c.decorated(VersionUpdateCommand_run, loop);
        c.method(VersionUpdateCommand__execute_cmd);
        c.method(VersionUpdateCommand__is_tavox_package);
        c.method(VersionUpdateCommand__print_pkg_versions);
    });
}

}  // namespace tavox::cli::commands::version::update

TAVOX_MODULE(update, tavox::cli::commands::version::update::exec)
