// tavox.cli.commands.version.scoutver -- which versions the package index
// offers for a list of distributions.
//
// Every distribution is looked up by its own worker thread running
// "pip index versions <name>" through the shell, so a check of many
// distributions takes about as long as its slowest query.  A worker spends
// its time in subprocess calls, which release the interpreter lock; the
// workers share one result dict, each writing its own key when it is done.
#include "support/support.hpp"
#include "tavox/cli/commands/version/shell_command.hpp"

#include <string>

namespace tavox::cli::commands::version::scoutver {

namespace shell = tavox::cli::commands::version;
using support::concat;

// True when the listed version `candidate` belongs to the release line
// `prefix`: it begins with that text, and does not merely continue its last
// number (22.1 takes 22.1, 22.1.3 and 22.1rc1, never 22.10).
static bool in_release_line(const std::string &candidate, const std::string &prefix) {
    if (candidate.compare(0, prefix.size(), prefix) != 0) return false;
    if (candidate.size() == prefix.size() || prefix.empty()) return true;
    auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    return !(digit(prefix.back()) && digit(candidate[prefix.size()]));
}

// ---- class ScoutverVersions ------------------------------------------------

// @classmethod
// def get_all_available_versions(cls, packages, pre=False, venv=None):
TAVOX_DEF(ScoutverVersions_get_all_available_versions,
          "ScoutverVersions.get_all_available_versions", "cls, packages, pre=False, venv=None",
          R"doc(Get all available version of all packages

        Args:
            packages: list of strings containing package names
            pre: Include pre-release and development versions

        Returns:
            dict: package name - version pairs
        )doc") {
    py::handle cls = TAVOX_ARG(cls);
    py::handle venv = TAVOX_ARG(venv);
    py::object command = cls.attr("PYPI_CMD");
    if (truth(TAVOX_ARG(pre))) command = concat(command, " --pre");

    // Everything is checked before the first query starts: the names go
    // bare into the command line, the environment into the bash wrapper.
    py::list packages(py::reinterpret_borrow<py::object>(TAVOX_ARG(packages)));
    for (py::handle pkg : packages) shell::check_distribution_name(pkg);
    if (truth(venv)) shell::checked_venv(venv);

    py::dict store;
    py::list threads;
    py::object Thread = call.global("Thread");
    py::object target = cls.attr("_process_package");
    for (py::handle pkg : packages) {
        py::str request = support::percent(command, pkg);
        py::object thread = Thread(py::arg("target") = target,
                                   py::arg("args") = py::make_tuple(pkg, request, store, venv));
        threads.append(thread);
        thread.attr("start")();
    }
    for (py::handle thread : threads) thread.attr("join")();
    return std::move(store);
}

// @classmethod
// def get_latest_version(cls, packages, version=None, pre=False, venv=None):
TAVOX_DEF(ScoutverVersions_get_latest_version, "ScoutverVersions.get_latest_version",
          "cls, packages, version=None, pre=False, venv=None",
          R"doc(Get the latest version of all packages

        Args:
            packages (list): list of strings containing package names
            version (str, Version): specific version to search for minor/micro releases
            pre: Include pre-release and development versions

        Returns:
            dict: package name - version pairs
        )doc") {
    py::handle cls = TAVOX_ARG(cls);
    py::object version = py::reinterpret_borrow<py::object>(TAVOX_ARG(version));
    py::dict package_versions = cls.attr("get_all_available_versions")(
        TAVOX_ARG(packages), TAVOX_ARG(pre), TAVOX_ARG(venv));

    py::dict result;
    if (truth(version)) {
        if (py::isinstance(version, call.global("Version")) || !py::isinstance<py::str>(version))
            version = py::str(version);
        std::string prefix = support::utf8(version);
        for (auto item : package_versions) {
            result[item.first] = py::none();
            if (item.second.is_none() || !truth(item.second)) continue;
            for (py::handle candidate : item.second) {
                if (in_release_line(support::utf8(candidate), prefix)) {
                    result[item.first] = candidate;
                    break;
                }
            }
        }
    } else {
        for (auto item : package_versions) {
            bool listed = !item.second.is_none() && truth(item.second);
            result[item.first] = listed ? py::object(item.second[py::int_(0)]) : py::none();
        }
    }
    return std::move(result);
}

// @classmethod
// def _process_package(cls, package_name, command, store=None, venv=None):
TAVOX_DEF(ScoutverVersions__process_package, "ScoutverVersions._process_package",
          "cls, package_name, command, store=None, venv=None", nullptr) {
    py::handle cls = TAVOX_ARG(cls);
    py::handle package_name = TAVOX_ARG(package_name);
    py::object command = py::reinterpret_borrow<py::object>(TAVOX_ARG(command));
    py::object store = py::reinterpret_borrow<py::object>(TAVOX_ARG(store));
    py::handle venv = TAVOX_ARG(venv);
    py::object logger = call.global("logger");
    py::object subprocess = call.global("subprocess");

    if (truth(venv)) command = shell::activated_command(command, venv);

    // The waits happen inside subprocess, which lets go of the interpreter
    // lock while the installer runs.
    py::object proc = subprocess.attr("Popen")(command, py::arg("shell") = true,
                                               py::arg("stdout") = subprocess.attr("PIPE"),
                                               py::arg("stderr") = subprocess.attr("PIPE"));
    py::tuple outputs = proc.attr("communicate")();
    py::object stdout_ = outputs[0], stderr_ = outputs[1];

    if (truth(stderr_)) {
        logger.attr("debug")(concat("stderr from ", command, ":"));
        logger.attr("debug")(stderr_);
    }
    if (truth(stdout_)) {
        logger.attr("debug")(concat("stdout from ", command, ":"));
        logger.attr("debug")(stdout_);
        py::object pattern = cls.attr("CMD_OUTPUT_PATTERN");
        for (py::handle line : stdout_.attr("splitlines")()) {
            py::object match = pattern.attr("match")(line.attr("decode")("UTF-8"));
            if (match.is_none()) continue;
            py::object versions = match.attr("group")("versions").attr("split")(", ");
            if (store.is_none()) store = py::dict();
            store[package_name] = versions;
            return store;
        }
    }
    if (store.is_none()) store = py::dict();
    store[package_name] = py::none();
    logger.attr("debug")(concat("No matching distribution found for ", py::str(package_name)));
    return store;
}

// ---- module body -------------------------------------------------------------

static void exec(Module &m) {
    m.import("re");
    m.import("os");
    m.import("subprocess");
    m.import_from("threading", "Thread");
    m.import("logging");
    m.import_from("packaging.version", "Version");

    m.logger();

    // class ScoutverVersions:
    m.add_class("ScoutverVersions", {}, [&](ClassBody &c) {
        c.doc("Command to check the latest version of a list of packages");
        c.set("PYPI_CMD", "pip index versions %s");
        c.set("CMD_OUTPUT_PATTERN",
              m.get("re").attr("compile")(R"re(.*Available versions\: (?P<versions>.*))re"));
        c.classmethod(ScoutverVersions_get_all_available_versions);
        c.classmethod(ScoutverVersions_get_latest_version);
        c.classmethod(ScoutverVersions__process_package);
    });
}

}  // namespace tavox::cli::commands::version::scoutver

TAVOX_MODULE(scoutver, tavox::cli::commands::version::scoutver::exec)
