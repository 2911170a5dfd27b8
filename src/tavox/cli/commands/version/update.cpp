// tavox.cli.commands.version.update -- `tavox version update`.
//
// Upgrades or downgrades every framework distribution of this Python
// environment (or of another virtual environment) to one release line:
// list what is installed, ask the package index which versions it has,
// show the plan, then remove the framework with one `pip3 uninstall` and
// install the chosen versions with one `pip3 install`.  When the command is
// tied to other package indexes (PYPI_URLS), `run` is tried once per index,
// with this environment's pip.conf pointed at it first.
#include "support/support.hpp"
#include "tavox/cli/commands/version/shell_command.hpp"

#include <optional>
#include <string>

namespace tavox::cli::commands::version::update {

namespace shell = tavox::cli::commands::version;
using support::truth;
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

// Characters that would take a requirement out of its single quotes, or out
// of the double quotes of the bash wrapper.
static const char REQUIREMENT_SPECIAL[] = "'\"`\\\n\r";

static py::object log(Call &call, const char *level, py::handle message) {
    return call.global("logger").attr(level)(message);
}

// Step 1 of _execute_cmd, also applied to the install command before anything
// is uninstalled.
static void check_illegal_characters(Call &call, py::handle cmd) {
    for (py::handle ch : call.global("ILLEGAL_CMD_CHARACTERS")) {
        if (PySequence_Contains(cmd.ptr(), ch.ptr()) == 1) {
            throw py::value_error(support::utf8(
                py::str("Illegal character \"") + py::str(ch) + py::str("\" in command \"") +
                py::str(cmd) + py::str("\"")));
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// A requirement goes into the install command between single quotes.
static void check_requirement(py::handle requirement) {
    py::str text = py::str(requirement);
    for (char ch : support::utf8(text)) {
        for (const char *p = REQUIREMENT_SPECIAL; *p; ++p) {
            if (ch == *p) {
                throw py::value_error(support::utf8(fmt("Illegal character {!r} in requirement {!r}",
                                                        py::str(std::string(1, ch)), text)));
            }
        }
    }
}

// Any value of `mapping` true?
static bool any_value(py::handle mapping) {
    for (py::handle value : mapping.attr("values")())
        if (truth(value)) return true;
    return false;
}

// ---- module functions ----------------------------------------------------------

// Replace `path` by a file holding `text`: the new content goes to a
// temporary file beside it, which is then renamed over it, so the file is
// never left half written.  The old file's permissions are kept.
static void replace_file(Call &call, py::handle path, py::handle text) {
    py::object os = call.global("os");
    py::object open = call.global("open");
    py::str target = py::str(os.attr("path").attr("realpath")(path));
    bool existed = truth(os.attr("path").attr("exists")(target));
    py::str tmp = fmt("{}.{}.tmp", target, os.attr("urandom")(6).attr("hex")());
    py::object file = open(tmp, "x");
    try {
        try {
            file.attr("write")(text);
        } catch (py::error_already_set &) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        if (existed) {
            py::object mode = py::module_::import("stat").attr("S_IMODE")(
                os.attr("stat")(target).attr("st_mode"));
            os.attr("chmod")(tmp, mode);
        }
        os.attr("replace")(tmp, target);
    } catch (py::error_already_set &) {
        try {
            os.attr("unlink")(tmp);
        } catch (py::error_already_set &) {
        }
        throw;
    }
}

// def setup_pip_conf(pypi_url):
TAVOX_DEF(setup_pip_conf, "setup_pip_conf", "pypi_url", nullptr) {
    py::handle pypi_url = call["pypi_url"];
    py::object os = call.global("os");
    py::object re = call.global("re");
    py::object path = os.attr("path").attr("join")(call.global("sys").attr("prefix"), "pip.conf");

    if (truth(os.attr("path").attr("isfile")(path))) {
        py::object file = call.global("open")(path, "r");
        py::object text;
        try {
            text = file.attr("read")();
        } catch (py::error_already_set &) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        // The URL is inserted as it stands: backslashes or a leading digit
        // in it must not be read as group references.
        py::object literal = py::str(pypi_url).attr("replace")("\\", "\\\\");
        text = re.attr("sub")(R"re((index\s+=\s+)(\S+))re", py::str("\\g<1>") + literal, text);
        text = re.attr("sub")(R"re((index-url\s+=\s+)(\S+)(/simple))re",
                              py::str("\\g<1>") + literal + py::str("\\g<3>"), text);
        replace_file(call, path, text);
    } else {
        py::object text = call.global("pip_conf_template")
                              .attr("format")(py::arg("pypi_url") = pypi_url);
        replace_file(call, path, text);
    }
    return py::none();
}

// def do_loop(self, *args, **kwargs):   (inside pip_conf_loop)
TAVOX_DEF(pip_conf_loop_do_loop, "pip_conf_loop.<locals>.do_loop", "self, *args, **kwargs",
          nullptr) {
    py::object func = call.closure()[0];
    py::handle self = call["self"];
    const py::tuple &args = call.varargs();
    py::dict kwargs = call.varkw();

    py::object pypi_urls = self.attr("PYPI_URLS");
    if (!truth(pypi_urls)) return func(self, *args, **kwargs);

    std::optional<py::error_already_set> func_error;
    for (py::handle pypi_url : pypi_urls) {
        log(call, "info", py::str("Updating pip.conf to use ") + pypi_url);
        call.global("setup_pip_conf")(pypi_url);
        try {
            return func(self, *args, **kwargs);
        } catch (py::error_already_set &e) {
            // SystemExit and KeyboardInterrupt end the loop at once.
            if (!e.matches(PyExc_Exception)) throw;
            func_error.emplace(std::move(e));
        }
    }
    if (func_error) throw *func_error;
    // Only reached when PYPI_URLS tested true but gave no URL to try.
    py::str message = py::str(py::str("Failed to execute ") + py::str(func) + py::str(" (") +
                              py::str(py::handle(args)) + py::str(") {") + py::str(kwargs) +
                              py::str("} from PYPIs ") + py::str(pypi_urls));
    PyErr_SetObject(PyExc_RuntimeError, message.ptr());
    throw py::error_already_set();
}

// def pip_conf_loop(func):
TAVOX_DEF(pip_conf_loop, "pip_conf_loop", "func", nullptr) {
    return support::make_function(pip_conf_loop_do_loop, call.module(),
                                  py::make_tuple(call["func"]));
}

// ---- class VersionUpdateCommand(Subcommand) ------------------------------------

// def __init__(self, *args, **kwargs):
TAVOX_DEF(VersionUpdateCommand___init__, "VersionUpdateCommand.__init__", "self, *args, **kwargs",
          nullptr) {
    py::handle self = call["self"];
    py::module_::import("builtins")
        .attr("super")(call.cls(), self)
        .attr("__init__")(*call.varargs(), **py::dict(call.varkw()));

    self.attr("REQUIRED_PACKAGES") = self.attr("TAVOX_PACKAGES");

    py::object parser = self.attr("parser");
    parser.attr("add_argument")("version",
                                py::arg("nargs") = "?",
                                py::arg("default") = "latest",
                                py::arg("metavar") = "[VERSION]",
                                py::arg("help") = "version of Tavox to update to\n(default: latest)");
    parser.attr("add_argument")("--yes",
                                py::arg("action") = "store_true",
                                py::arg("help") = "Do not prompt for yes/no confirmation");
    parser.attr("add_argument")("--pre",
                                py::arg("action") = "store_true",
                                py::arg("help") = "Install pre-release and development versions");
    return py::none();
}

// def run(self, args, proxy=None, extra_requirements=None):
TAVOX_DEF(VersionUpdateCommand_run, "VersionUpdateCommand.run",
          "self, args, proxy=None, extra_requirements=None", nullptr) {
    py::handle self = call["self"];
    py::handle args = call["args"];
    py::handle proxy = call["proxy"];
    py::handle extra_requirements = call["extra_requirements"];
    py::object Version = call.global("Version");
    py::str latest("latest");

    // The requested release line: "latest", or a Version of major.minor.
    // (A retry over another index gets the namespace back with the Version
    // this made, so it is converted from its text.)
    if (!truth(py::getattr(args, "version", py::none()))) args.attr("version") = latest;
    if (!py::object(args.attr("version")).equal(latest)) {
        py::object version = Version(py::str(args.attr("version")));
        if (truth(version.attr("micro")) || truth(version.attr("pre")) ||
            truth(version.attr("dev")) || truth(version.attr("post"))) {
            version = Version(py::str(version.attr("major")) + py::str(".") +
                              py::str(version.attr("minor")));
            log(call, "warning",
                py::str("You provided a version that may not be available for all packages.\n"
                        "Version ") +
                    py::str(version) + py::str(" will be used instead\n"));
        }
        args.attr("version") = version;
    }
    py::object version = args.attr("version");
    py::object pre = py::getattr(args, "pre", py::bool_(false));

    py::object venv = py::getattr(args, "location", py::none());
    py::object env = call.global("os").attr("environ").attr("copy")();
    if (truth(proxy)) env.attr("update")(self.attr("PROXIES"));

    if (!truth(venv)) log(call, "info", py::str("Checking your current environment..."));

    py::object listing = self.attr("_execute_cmd")(py::arg("cmd") = LIST_CMD,
                                                   py::arg("venv") = venv, py::arg("env") = env);
    py::object entries = call.global("json").attr("loads")(listing);

    py::dict all_pkgs;
    for (py::handle entry : entries) all_pkgs[entry["name"]] = entry;
    py::dict installed_pkgs;
    for (auto item : all_pkgs)
        if (truth(self.attr("_is_tavox_package")(item.first))) installed_pkgs[item.first] = item.second;

    bool korr_installed = false, tavox_installed = false;
    for (auto item : installed_pkgs) {
        py::object name = py::reinterpret_borrow<py::object>(item.first);
        if (truth(name.attr("startswith")("korr"))) korr_installed = true;
        if (truth(name.attr("startswith")("tavox")) && !name.equal(py::str("tavox.contrib")))
            tavox_installed = true;
    }
    if (korr_installed && tavox_installed) {
        log(call, "warning", py::str("Inconsistencies detected in this environment!"));
        log(call, "warning",
            py::str("Both korr (internal) and tavox (external) packages are present. "));
    }

    bool installed = truth(installed_pkgs);
    if (installed) {
        log(call, "info", py::str("\n\nThe following packages will be removed:"));
        self.attr("_print_pkg_versions")(installed_pkgs);
    }

    // A new list: REQUIRED_PACKAGES is the class's roster.
    py::list packages_to_check = py::reinterpret_steal<py::list>(
        PySequence_List(py::object(self.attr("REQUIRED_PACKAGES")).ptr()));
    if (!packages_to_check) throw py::error_already_set();
    if (truth(venv)) {
        for (py::handle name : self.attr("OPTIONAL_PACKAGES")) packages_to_check.append(name);
    } else {
        for (py::handle name : self.attr("OPTIONAL_PACKAGES"))
            if (installed_pkgs.contains(name)) packages_to_check.append(name);
        log(call, "info", py::str("\nFetching package list... (it may take some time)"));
    }

    py::object scoutver = self.attr("SCOUTVER_VERSIONS");
    py::object tavox_distro = self.attr("TAVOX_DISTRO_NAME");
    bool latest_mode = version.equal(latest);
    py::dict available_pkgs;
    if (!latest_mode) {
        available_pkgs = scoutver.attr("get_latest_version")(
            packages_to_check, py::arg("version") = version, py::arg("pre") = pre,
            py::arg("venv") = venv);
    } else {
        available_pkgs = scoutver.attr("get_latest_version")(
            packages_to_check, py::arg("pre") = pre, py::arg("venv") = venv);
    }

    // Nothing to install at all: stop before anything is removed.
    if (!any_value(available_pkgs)) {
        py::dict all_versions = scoutver.attr("get_all_available_versions")(
            py::list(py::make_tuple(tavox_distro)), py::arg("pre") = pre, py::arg("venv") = venv);
        py::object listed = all_versions.attr("get")(tavox_distro);
        py::object listed_text = py::str(", ").attr("join")(truth(listed) ? listed : py::list());
        log(call, "critical",
            py::str("Provided version does not exist or is not available: ") + py::str(version) +
                py::str("\nAvailable versions: ") + listed_text);
        call.global("sys").attr("exit")(0);
    }

    py::dict pkg_versions;
    for (auto item : available_pkgs) {
        if (!truth(item.second)) continue;
        py::dict planned;
        if (latest_mode)
            planned["version"] = py::str("latest (") + item.second + py::str(")");
        else
            planned["version"] = item.second;
        pkg_versions[item.first] = planned;
    }

    // ---- the plan, confirmation, uninstall, install

    if (installed) {
        log(call, "info", py::str("\n... and updated with:"));
        self.attr("_print_pkg_versions")(pkg_versions);
    }

    if (truth(self.attr("ASK_CONFIRMATION")) && !truth(py::getattr(args, "yes", py::bool_(false)))) {
        py::object agreed = call.global("utils").attr("yes_or_no")(
            "Are you sure you want to continue", py::arg("default") = "no");
        if (!truth(agreed)) {
            log(call, "critical", py::str("\nBye."));
            call.global("sys").attr("exit")(0);
        }
    }

    // The install list.  Below the legacy bracket the old sibling-library
    // set is pinned instead; a queried name with no version of the line is
    // left out and reported, since pip refuses the whole install otherwise.
    py::list pkgs, pkgs_without_version;
    bool legacy = py::isinstance(version, Version) &&
                  PyObject_RichCompareBool(version.ptr(),
                                           call.global("NUVIK_VERSION_BRACKET_BUG").ptr(), Py_LT) == 1;
    if (PyErr_Occurred()) throw py::error_already_set();
    if (legacy) {
        py::list names;
        names.append(tavox_distro);
        for (py::handle name : call.global("OLD_NUVIK_PACKAGES")) names.append(name);
        for (py::handle name : names) {
            py::object found = available_pkgs.attr("get")(name, version);
            if (found.is_none()) {
                pkgs_without_version.append(name);
                continue;
            }
            pkgs.append(py::str(name) + py::str("==") + py::str(found));
        }
        pkgs.append(percent("brask==%s", py::make_tuple(version)));
    } else {
        for (auto item : available_pkgs) {
            if (truth(item.second))
                pkgs.append(py::str(item.first) + py::str("==") + py::str(item.second));
            else
                pkgs_without_version.append(item.first);
        }
    }
    if (truth(extra_requirements))
        for (py::handle requirement : extra_requirements) pkgs.append(requirement);

    // Both command lines are checked before anything runs, so a refused
    // install never follows a completed uninstall.
    py::list quoted;
    for (py::handle requirement : pkgs) {
        check_requirement(requirement);
        quoted.append(percent("'%s'", py::make_tuple(requirement)));
    }
    py::object install_cmd =
        py::str(self.attr("PIP_INSTALL_CMD")) + py::str(" ") + py::str(" ").attr("join")(quoted);
    check_illegal_characters(call, install_cmd);

    py::object uninstall_cmd;
    if (installed) {
        py::list names;
        for (auto item : installed_pkgs) {
            shell::check_distribution_name(item.first);
            names.append(item.first);
        }
        uninstall_cmd = py::str(self.attr("PIP_UNINSTALL_CMD")) + py::str(" ") +
                        py::str(" ").attr("join")(names);
        check_illegal_characters(call, uninstall_cmd);

        log(call, "warning", py::str("Uninstalling existing packages..."));
        self.attr("_execute_cmd")(uninstall_cmd, venv);
        log(call, "warning", py::str("Installing new packages..."));
    }

    if (truth(pkgs_without_version)) {
        log(call, "warning",
            fmt("\nThe following packages do not have a matching version and were skipped:\n\n{}\n",
                py::str("\n  ").attr("join")(pkgs_without_version)));
    }

    self.attr("_execute_cmd")(install_cmd, venv);

    if (installed) log(call, "info", py::str("\nDone! Enjoy!"));
    return py::none();
}

// def _execute_cmd(self, cmd, venv, env=None):
TAVOX_DEF(VersionUpdateCommand__execute_cmd, "VersionUpdateCommand._execute_cmd",
          "self, cmd, venv, env=None", nullptr) {
    py::object cmd = py::reinterpret_borrow<py::object>(call["cmd"]);
    py::handle venv = call["venv"];
    check_illegal_characters(call, cmd);
    if (truth(venv)) cmd = shell::activated_command(cmd, venv);
    return call.global("utils").attr("cmd")(cmd, py::arg("env") = call["env"]);
}

// def _is_tavox_package(self, pkg):
TAVOX_DEF(VersionUpdateCommand__is_tavox_package, "VersionUpdateCommand._is_tavox_package",
          "self, pkg", nullptr) {
    py::handle self = call["self"];
    py::handle pkg = call["pkg"];
    py::object candidates = self.attr("REQUIRED_PACKAGES") + self.attr("OPTIONAL_PACKAGES") +
                            self.attr("EXTERNAL_PACKAGES");
    for (py::handle candidate : candidates)
        if (pkg.equal(candidate)) return py::bool_(true);
    for (py::handle candidate : candidates)
        if (truth(pkg.attr("startswith")(py::str(candidate) + py::str("."))))
            return py::bool_(true);
    return py::none();
}

// def _print_pkg_versions(self, pkgs):
TAVOX_DEF(VersionUpdateCommand__print_pkg_versions, "VersionUpdateCommand._print_pkg_versions",
          "self, pkgs", nullptr) {
    py::handle pkgs = call["pkgs"];
    py::list header;
    header.append("Package");
    header.append("Version");
    py::list data;
    for (py::handle name : py::module_::import("builtins").attr("sorted")(pkgs)) {
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
    py::object get_nuvik_legacy_packages = m.import_from("tavox.roster", "get_nuvik_legacy_packages");
    py::object get_optional_packages = m.import_from("tavox.roster", "get_optional_packages");

    m.logger();
    m.set("NUVIK_VERSION_BRACKET_BUG", m.get("Version")("19.7"));
    m.set("OLD_NUVIK_PACKAGES", get_nuvik_legacy_packages());
    m.set("ILLEGAL_CMD_CHARACTERS", "&;$");

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
