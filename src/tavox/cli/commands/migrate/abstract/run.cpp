// tavox.cli.commands.migrate.abstract -- what one run of the command keeps
// beside its queues: the files its checks read (so that the patcher rewrites
// only those, only as they were read, and each real file once), and its
// three log files in /tmp with the lock that keeps a second run off them.
//
// The logs live at fixed paths in a directory every user may write, so they
// are opened without following links and only when they are regular files
// of the user's own with no other name; anything else is refused before the
// run examines a single file.
#include "abstract.hpp"

#include <sys/file.h>

#include <cstdio>

namespace tavox::cli::commands::migrate::abstract {

// ---- the record of a run -------------------------------------------------------

namespace {

// The runs going on, by command object.  Never destroyed: nothing to do at
// exit.  Guarded by the interpreter lock.
std::unordered_map<const PyObject *, RunRecord *> &runs() {
    static auto *r = new std::unordered_map<const PyObject *, RunRecord *>;
    return *r;
}

std::string text_of(py::handle path) {
    if (PyUnicode_Check(path.ptr())) return utf8(path);
    return utf8(py::str(path));
}

}  // namespace

RunRecord::RunRecord(py::handle command) : command_(command.ptr()) { runs()[command_] = this; }

RunRecord::~RunRecord() {
    auto it = runs().find(command_);
    if (it != runs().end() && it->second == this) runs().erase(it);
}

RunRecord *RunRecord::of(py::handle command) {
    auto it = runs().find(command.ptr());
    return it == runs().end() ? nullptr : it->second;
}

void RunRecord::checked(py::handle path, const Checked &what) { checked_[text_of(path)] = what; }

void RunRecord::planned(py::handle path, std::shared_ptr<const YamlPlan> plan) {
    auto it = checked_.find(text_of(path));
    if (it != checked_.end()) it->second.plan = std::move(plan);
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

void note_checked(py::handle command, py::handle path, const RunRecord::Checked &what) {
    if (RunRecord *run = RunRecord::of(command)) run->checked(path, what);
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

// Open (creating it if need be) a file at a fixed shared path for `flags`,
// without following a link, and keep it only if it is a regular file that
// belongs to us and has no other name.  Returns the descriptor, or -1 with
// `why` saying what is wrong.  Pure C++.
int open_own(const char *path, int flags, std::string &why) {
    int fd = ::open(path, flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        int err = errno;
        struct stat st {};
        if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) why = "it is a symbolic link";
        else if (err == EISDIR) why = "it is a directory";
        else if (err == ENXIO) why = "it is not a regular file";
        else why = std::strerror(err);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) why = std::strerror(errno);
    else if (S_ISDIR(st.st_mode)) why = "it is a directory";
    else if (!S_ISREG(st.st_mode)) why = "it is not a regular file";
    else if (st.st_uid != ::geteuid())
        why = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    else if (st.st_nlink != 1)
        why = "it has " + std::to_string(st.st_nlink) + " hard links (other names for it)";
    if (!why.empty()) {
        ::close(fd);
        return -1;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// The process id written in the lock file by the run that holds it.
std::string holder(int fd) {
    char buf[32] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
    return pid > 0 ? std::to_string(pid) : "unknown";
}

}  // namespace

RunLogs::RunLogs(const Call &call) {
    std::string refusal;
    {
        support::Unlocked nogil;
        std::string why;
        lock_ = open_own(LOCK_PATH, O_RDWR, why);
        if (lock_ < 0) {
            refusal = std::string("Cannot use the lock file ") + LOCK_PATH + ": " + why;
        } else if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
            refusal = errno == EWOULDBLOCK
                          ? "Another migration (process " + holder(lock_) +
                                ") is running with the same log files; it holds " + LOCK_PATH +
                                ". Try again once it has finished."
                          : std::string("Cannot lock ") + LOCK_PATH + ": " + std::strerror(errno);
        } else {
            std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(lock_, 0) != 0 || ::pwrite(lock_, pid.data(), pid.size(), 0) < 0) {
                // The lock holds all the same; only its holder's number is missing.
            }
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
        py::module_::import("sys").attr("exit")(1);
        throw py::error_already_set();  // not reached: sys.exit raises
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
        // Still ours while the descriptor is open: the holder's number goes.
        struct stat st {};
        if (::flock(lock_, LOCK_EX | LOCK_NB) == 0 && ::fstat(lock_, &st) == 0 && st.st_size > 0)
            if (::ftruncate(lock_, 0) != 0) { /* a stale number is harmless */
            }
        ::close(lock_);  // releases the lock
        lock_ = -1;
    }
}

void RunLogs::write(Log log, py::handle text) {
    std::string data = py::bytes(add(text, "\n").attr("encode")(encoding_));
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
