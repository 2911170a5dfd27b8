// tavox.cli.commands.migrate.abstract -- what one run of the command keeps
// beside its queues: the files its checks read (so that the patcher rewrites
// only those, only as they were read, and each real file once), and its
// three log files in /tmp with the lock that keeps a second run off them.
//
// The logs live at fixed paths in a directory every user may write, so they
// are opened without following links and only when they are regular files
// of the user's own with no other name; anything else is refused before the
// run examines a single file.
#include "run.hpp"
#include "reading.hpp"

#include <pwd.h>
#include <sys/file.h>
#include <sys/sysmacros.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace tavox::cli::commands::migrate::abstract {

// ---- the record of a run -------------------------------------------------------

namespace {

// The runs going on, by command object.  Never destroyed: nothing to do at
// exit.  Guarded by the interpreter lock.
std::unordered_map<const PyObject *, RunRecord *> &runs() {
    static auto *r = new std::unordered_map<const PyObject *, RunRecord *>;
    return *r;
}

// A path as the record keys it: the UTF-8 of the str it is (or of str(path)).
std::string path_text(py::handle path) {
    if (PyUnicode_Check(path.ptr())) return utf8(path);
    return utf8(py::str(path));
}

}  // namespace

RunRecord::RunRecord(py::handle command) : command_(command.ptr()) { runs()[command_] = this; }

RunRecord::~RunRecord() {
    auto it = runs().find(command_);
    if (it != runs().end() && it->second == this) runs().erase(it);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        let_interrupts();
    } catch (py::error_already_set &) {
        // the handler could not be put back: the run's own error goes on
    }
    PyErr_Restore(type, value, tb);
}

namespace {

// Whether Ctrl-C came while it was held.  Guarded by the interpreter lock.
bool interrupt_came = false;

}  // namespace

// def held(signum, frame):  (SIGINT's handler while interrupts are held)
TAVOX_DEF(MigrateAbstractCommand_run_held, "MigrateAbstractCommand.run.<locals>.held",
          "signum, frame", nullptr) {
    interrupt_came = true;
    return py::none();
}

void RunRecord::hold_interrupts() {
    if (held_) return;
    py::object signal = py::module_::import("signal");
    py::object sigint = signal.attr("SIGINT");
    py::object previous = signal.attr("getsignal")(sigint);
    if (previous.is_none()) return;  // a handler set outside Python: it could not be put back
    py::object held = support::make_function(
        MigrateAbstractCommand_run_held,
        py::module_::import("tavox.cli.commands.migrate.abstract"), py::tuple());
    try {
        signal.attr("signal")(sigint, held);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return;  // not the main thread: nothing to hold
    }
    held_ = previous;
    interrupt_came = false;
}

void RunRecord::let_interrupts() {
    if (!held_) return;
    py::object previous = std::move(held_);
    held_ = py::object();
    py::object signal = py::module_::import("signal");
    signal.attr("signal")(signal.attr("SIGINT"), previous);
    if (interrupt_came) {
        interrupt_came = false;
        PyErr_SetInterruptEx(SIGINT);  // raised at the next chance, as if it came now
    }
}

RunRecord *RunRecord::of(py::handle command) {
    auto it = runs().find(command.ptr());
    return it == runs().end() ? nullptr : it->second;
}

void RunRecord::checked(py::handle path, const Checked &what) { checked_[path_text(path)] = what; }

void RunRecord::planned(py::handle path, std::shared_ptr<const YamlPlan> plan) {
    auto it = checked_.find(path_text(path));
    if (it != checked_.end()) it->second.plan = std::move(plan);
}

void RunRecord::too_deep(py::handle path) {
    auto it = checked_.find(path_text(path));
    if (it != checked_.end()) it->second.too_deep = true;
}

const std::string *RunRecord::tie(const std::string &first_line) const {
    const std::string *found = nullptr;
    for (size_t at = first_line.find(':'); at != std::string::npos;
         at = first_line.find(':', at + 1)) {
        auto it = checked_.find(first_line.substr(0, at));
        if (it != checked_.end()) found = &it->first;  // a longer one wins
    }
    return found;
}

const RunRecord::Checked *RunRecord::find(const std::string &path) const {
    auto it = checked_.find(path);
    return it == checked_.end() ? nullptr : &it->second;
}

const std::string *RunRecord::patched_through(const support::FileId &id) const {
    auto it = patched_.find(id);
    return it == patched_.end() ? nullptr : &it->second;
}

void RunRecord::patched(const support::FileId &id, const std::string &path) {
    patched_.emplace(id, path);
}

void RunRecord::repository(const std::string &top) {
    char resolved[PATH_MAX];
    root_ = ::realpath(top.c_str(), resolved) ? resolved : "";
}

std::string RunRecord::outside(const std::string &path) const {
    char resolved[PATH_MAX];
    if (root_.empty() || !::realpath(path.c_str(), resolved)) return "";
    std::string real = resolved;
    std::string under = root_ == "/" ? root_ : root_ + "/";
    return real.compare(0, under.size(), under) == 0 ? "" : real;
}

void note_checked(py::handle command, py::handle path, const RunRecord::Checked &what) {
    if (RunRecord *run = RunRecord::of(command)) run->checked(path, what);
}

void note_too_deep(py::handle command, py::handle path) {
    if (RunRecord *run = RunRecord::of(command)) run->too_deep(path);
}

std::string header_path(const std::string &first_line) {
    if (!first_line.empty() && first_line.back() == ':')
        return first_line.substr(0, first_line.size() - 1);
    return first_line.substr(0, first_line.find(':'));
}

// ---- the log files and the lock ------------------------------------------------

namespace {

constexpr const char *LOG_PATHS[3] = {
    "/tmp/tavox_migrate_changes.log",
    "/tmp/tavox_migrate_success.log",
    "/tmp/tavox_migrate_failures.log",
};
constexpr const char *LOCK_PATH = "/tmp/tavox_migrate.lock";

// Who a file belongs to, for a line that names them: "bob (uid 1001)".
std::string owner_of(uid_t uid) {
    struct passwd pw {};
    struct passwd *found = nullptr;
    char buf[4096];
    std::string id = "uid " + std::to_string(uid);
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
        return std::string(found->pw_name) + " (" + id + ")";
    return id;
}

// What stands at a fixed path in /tmp and keeps the run from using it, with
// its owner when that is another user, and what to do about it: in a
// directory every user may write, only its owner (or root) can remove it.
std::string in_the_way(const std::string &what, uid_t owner, bool named = false) {
    const uid_t me = ::geteuid();
    std::string text = what;
    if (owner != me && !named) text += " of " + owner_of(owner);
    if (owner == me || me == 0) return text + "; remove it, then run again";
    return text + "; only they or root can remove it";
}

// Why the file at `path` cannot be opened as a file of the run's: `err`
// from open() without following a link, told apart by what stands there.
std::string refused_open(const char *path, int err) {
    struct stat st {};
    if (::lstat(path, &st) != 0) return std::strerror(err);
    if (S_ISLNK(st.st_mode)) return in_the_way("it is a symbolic link", st.st_uid);
    if (S_ISDIR(st.st_mode)) return in_the_way("it is a directory", st.st_uid);
    if (!S_ISREG(st.st_mode)) return in_the_way("it is not a regular file", st.st_uid);
    if (st.st_uid != ::geteuid())
        return in_the_way("it belongs to another user, " + owner_of(st.st_uid), st.st_uid, true);
    return std::strerror(err);
}

// Open (creating it if need be) a file at a fixed shared path for `flags`,
// without following a link, and keep it only if it is a regular file that
// belongs to us and has no other name.  Returns the descriptor, or -1 with
// `why` saying what is wrong and what to do.  Pure C++.
int open_own(const char *path, int flags, std::string &why) {
    int fd = ::open(path, flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = refused_open(path, errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) why = std::strerror(errno);
    else if (S_ISDIR(st.st_mode)) why = in_the_way("it is a directory", st.st_uid);
    else if (!S_ISREG(st.st_mode)) why = in_the_way("it is not a regular file", st.st_uid);
    else if (st.st_uid != ::geteuid())
        why = in_the_way("it belongs to another user, " + owner_of(st.st_uid), st.st_uid, true);
    else if (st.st_nlink != 1)
        why = in_the_way("it has " + std::to_string(st.st_nlink) +
                             " hard links (other names for it)",
                         st.st_uid);
    if (!why.empty()) {
        ::close(fd);
        return -1;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// The run that holds the lock on `fd`'s file, as the kernel lists the
// holders of file locks: "process <pid>", with its user when that is
// another one.  The number written in the file serves when the list says
// nothing (it may be stale: the file may be another's, locked where it
// stands).  Pure C++.
std::string holder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        char id[64];  // as the list writes the file: device and inode
        std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                      static_cast<unsigned long>(st.st_ino));
        if (FILE *locks = std::fopen("/proc/locks", "re")) {
            char line[256];
            long pid = 0;
            while (!pid && std::fgets(line, sizeof line, locks)) {
                // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
                char kind[16] = {}, dev[64] = {};
                long p = 0;
                if (std::sscanf(line, "%*s %15s %*s %*s %ld %63s", kind, &p, dev) != 3) continue;
                if (std::strcmp(kind, "FLOCK") == 0 && std::strcmp(dev, id) == 0) pid = p;
            }
            std::fclose(locks);
            struct stat proc {};
            std::string path = "/proc/" + std::to_string(pid);
            if (pid > 0 && ::stat(path.c_str(), &proc) == 0)
                return "process " + std::to_string(pid) +
                       (proc.st_uid != ::geteuid() ? " of " + owner_of(proc.st_uid) : "");
        }
    }
    char buf[32] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
    return pid > 0 ? "process " + std::to_string(pid) : "process unknown";
}

// The line that says a run holds the lock, and what to do.
std::string held_by(int fd) {
    return std::string("Another migration (") + holder(fd) +
           ") is running with the same log files; it holds " + LOCK_PATH +
           ". Try again once it has finished.";
}

// The lock is the command's own, beside its logs: a run creates it, holds
// it and removes it when it ends.  A stale one (left by a run that was killed, or
// made by anyone) serves as well: another user's is locked read-only and
// left in place.  One that is removed while we wait for it, by the run that
// held it, is no lock any more: it is taken again, from the path.  Returns
// the refusal, empty when the lock is ours.  Pure C++.
std::string take_lock(int &lock, bool &own) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = ::open(LOCK_PATH, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EACCES)
            fd = ::open(LOCK_PATH, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return std::string("Cannot use the lock file ") + LOCK_PATH + ": " +
                   refused_open(LOCK_PATH, errno);
        struct stat st {};
        std::string why;
        if (::fstat(fd, &st) != 0) why = std::strerror(errno);
        else if (!S_ISREG(st.st_mode)) why = in_the_way("it is not a regular file", st.st_uid);
        if (!why.empty()) {
            ::close(fd);
            return std::string("Cannot use the lock file ") + LOCK_PATH + ": " + why;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            std::string refusal = errno == EWOULDBLOCK ? held_by(fd)
                                                       : std::string("Cannot lock ") + LOCK_PATH +
                                                             ": " + std::strerror(errno);
            ::close(fd);
            return refusal;
        }
        struct stat now {};
        if (::lstat(LOCK_PATH, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
            lock = fd;
            own = st.st_uid == ::geteuid() && st.st_nlink == 1 &&
                  (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR;
            return "";
        }
        ::close(fd);  // removed (or replaced) meanwhile: no lock any more
    }
    return std::string("Cannot lock ") + LOCK_PATH + ": it keeps being replaced";
}

}  // namespace

RunLogs::RunLogs(const Call &call) {
    std::string refusal;
    {
        support::Unlocked nogil;
        refusal = take_lock(lock_, own_lock_);
        if (refusal.empty()) {
            std::string pid = std::to_string(::getpid()) + "\n";
            if (own_lock_ &&
                (::ftruncate(lock_, 0) != 0 || ::pwrite(lock_, pid.data(), pid.size(), 0) < 0)) {
                // The lock holds all the same; only its holder's number is missing.
            }
            std::string why;
            for (int i = 0; i < 3 && refusal.empty(); ++i) {
                fds_[i] = open_own(LOG_PATHS[i], O_WRONLY, why);
                if (fds_[i] < 0)
                    refusal = std::string("Cannot use the log file ") + LOG_PATHS[i] + ": " + why;
            }
            // Emptied only once all three are known to be ours.
            for (int i = 0; i < 3 && refusal.empty(); ++i)
                if (::ftruncate(fds_[i], 0) != 0)
                    refusal = std::string("Cannot empty the log file ") + LOG_PATHS[i] + ": " +
                              std::strerror(errno);
        }
    }
    if (!refusal.empty()) {
        release();
        call.global("logger").attr("error")(refusal);
        support::exit(1);
    }
    encoding_ = default_encoding();
}

RunLogs::~RunLogs() { release(); }

void RunLogs::release() {
    for (int &fd : fds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (lock_ >= 0) {
        // Ours, and still at its path: removed while it is held, so that
        // no lock is left behind (a run that opened it meanwhile finds it
        // gone once it holds it, and takes the lock afresh).
        struct stat held {
        }, at{};
        if (own_lock_ && ::fstat(lock_, &held) == 0 && ::lstat(LOCK_PATH, &at) == 0 &&
            held.st_dev == at.st_dev && held.st_ino == at.st_ino)
            ::unlink(LOCK_PATH);
        ::close(lock_);  // releases the lock
        lock_ = -1;
    }
}

void RunLogs::write(Log log, py::handle text) {
    std::string data = py::bytes(concat(text, "\n").attr("encode")(encoding_, "surrogateescape"));
    int fd = fds_[log];
    bool ok;
    int err;
    {
        support::Unlocked nogil;
        ok = support::detail::write_fd(fd, data);
        err = errno;
    }
    if (!ok) {
        errno = err;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, LOG_PATHS[log]);
        throw py::error_already_set();
    }
}

}  // namespace tavox::cli::commands::migrate::abstract
