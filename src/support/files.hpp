// Files of the user's that a command reads and rewrites: a file's content
// read whole with its identity and a fingerprint, and the replacement of its
// content, whole or not at all.
//
// Pure C++: nothing here touches a Python object, so every function may run
// with the interpreter lock released.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavox::support {

// Which file a path led to: its device and inode.  Two paths with the same
// identity (links) name one file.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &o) const { return dev == o.dev && ino == o.ino; }
    bool operator<(const FileId &o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// What a content was: its length and a 64-bit hash of its bytes (MurmurHash64A).
struct Fingerprint {
    uint64_t size = 0;
    uint64_t hash = 0;
    bool operator==(const Fingerprint &o) const { return size == o.size && hash == o.hash; }
    bool operator!=(const Fingerprint &o) const { return !(*this == o); }
};

inline Fingerprint fingerprint(std::string_view data) {
    constexpr uint64_t m = 0xc6a4a7935bd1e995ULL;
    constexpr int r = 47;
    const uint64_t len = data.size();
    uint64_t h = 0x2f1b5a3c9e8d7f61ULL ^ (len * m);
    const char *p = data.data();
    const char *end = p + (len & ~uint64_t(7));
    for (; p != end; p += 8) {
        uint64_t k;
        std::memcpy(&k, p, sizeof k);
        k *= m;
        k ^= k >> r;
        k *= m;
        h ^= k;
        h *= m;
    }
    uint64_t tail = 0;
    switch (len & 7) {
    case 7:
        tail ^= uint64_t(static_cast<unsigned char>(p[6])) << 48;
        [[fallthrough]];
    case 6:
        tail ^= uint64_t(static_cast<unsigned char>(p[5])) << 40;
        [[fallthrough]];
    case 5:
        tail ^= uint64_t(static_cast<unsigned char>(p[4])) << 32;
        [[fallthrough]];
    case 4:
        tail ^= uint64_t(static_cast<unsigned char>(p[3])) << 24;
        [[fallthrough]];
    case 3:
        tail ^= uint64_t(static_cast<unsigned char>(p[2])) << 16;
        [[fallthrough]];
    case 2:
        tail ^= uint64_t(static_cast<unsigned char>(p[1])) << 8;
        [[fallthrough]];
    case 1:
        tail ^= uint64_t(static_cast<unsigned char>(p[0]));
        h ^= tail;
        h *= m;
    }
    h ^= h >> r;
    h *= m;
    h ^= h >> r;
    return {len, h};
}

namespace detail {

inline void close_keeping_errno(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

inline bool read_fd(int fd, std::string &out, size_t hint) {
    out.clear();
    if (hint) out.reserve(hint);
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

inline bool write_fd(int fd, const std::string &data) {
    const char *p = data.data();
    size_t left = data.size();
    while (left) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// A new hidden file beside `target` (".<name>.XXXXXX"), created with
// `mode` (less the umask) and open for writing; -1 with errno set when it
// cannot be made.
inline int create_beside(const std::string &target, mode_t mode, std::string &tmp) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const size_t slash = target.rfind('/');
    const std::string stem = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".";
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
                 (static_cast<uint64_t>(::getpid()) << 40) ^ reinterpret_cast<uintptr_t>(&tmp);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = stem;
        for (int i = 0; i < 6; ++i) {
            x ^= x << 13;  // xorshift64
            x ^= x >> 7;
            x ^= x << 17;
            tmp += letters[x % (sizeof letters - 1)];
        }
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Write `data` to the new file `fd` and make it reach the disk (unless the
// caller does that for many files at once: `sync` false), then close it.
// With `like`, the file first gets that file's mode, and its owner where we
// may set it.  0, or the errno of the step that failed.
inline int fill_new_file(int fd, const std::string &data, const struct stat *like,
                         bool sync = true) {
    int err = 0;
    if (!write_fd(fd, data)) err = errno;
    if (!err && like) {
        if (like->st_uid != ::geteuid() || like->st_gid != ::getegid()) {
            // Keep the owner when we are allowed to; a file we may write but
            // not give away simply becomes ours, as an editor's save would.
            // (Before fchmod: a change of owner may clear set-id bits.)
            if (::fchown(fd, like->st_uid, like->st_gid) != 0) { /* not fatal */
            }
        }
        if (::fchmod(fd, like->st_mode & 07777) != 0) err = errno;
    }
    if (!err && sync && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    return err;
}

template <class Result>
Result refused_directory(Result &result, const std::string &target, int err) {
    const size_t slash = target.rfind('/');
    if (err == EACCES || err == EPERM || err == EROFS)
        result.directory = slash == 0 ? "/" : target.substr(0, slash);
    result.outcome = Result::Failed;
    result.err = err;
    return result;
}

}  // namespace detail

// The whole content of the file at `path`, exactly as stored (no newline
// translation), and the identity of the file read.  A directory is refused
// with EISDIR, as open() in Python refuses it, and anything else that is no
// regular file (a pipe would block, a device never end) with EINVAL.  On
// failure returns false and leaves errno set.
inline bool read_file(const std::string &path, std::string &out, FileId *id = nullptr) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        detail::close_keeping_errno(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    if (id) *id = {st.st_dev, st.st_ino};
    if (!detail::read_fd(fd, out, st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0)) {
        detail::close_keeping_errno(fd);
        return false;
    }
    ::close(fd);
    return true;
}

// How a replacement ended.
struct Replacement {
    enum Outcome {
        Written,    // the file holds the new content
        Unchanged,  // it held the new content already: nothing written
        Changed,    // it no longer held the expected content: nothing written
        Failed,     // a step failed (err); the file is as it was, unless `kept` says otherwise
    };
    Outcome outcome = Failed;
    int err = 0;
    // When the directory could not be written: that directory.
    std::string directory;
    // When a file with several links failed while its content was being
    // replaced in place: the file beside it that holds the whole new content.
    std::string kept;
};

namespace detail {

// The content of `target` (the file `st` describes, with several links)
// overwritten by `data`, which the new file `tmp` beside it already holds.
inline Replacement overwrite_in_place(const std::string &target, const struct stat &st,
                                      const std::string &data, const std::string &tmp) {
    Replacement result;
    int err = 0;
    int out = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (out < 0) {
        err = errno;
        ::unlink(tmp.c_str());
        result.err = err;
        return result;
    }
    struct stat now {};
    if (::fstat(out, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        // Replaced under our feet: what we computed is for another file.
        ::close(out);
        ::unlink(tmp.c_str());
        result.outcome = Replacement::Changed;
        return result;
    }
    if (!write_fd(out, data)) err = errno;
    if (!err && ::ftruncate(out, static_cast<off_t>(data.size())) != 0) err = errno;
    if (!err && ::fsync(out) != 0) err = errno;
    if (::close(out) != 0 && !err) err = errno;
    if (err) {
        result.kept = tmp;  // the only whole copy of the new content
        result.err = err;
        return result;
    }
    ::unlink(tmp.c_str());
    result.outcome = Replacement::Written;
    return result;
}

}  // namespace detail

namespace detail {

// Whether the file at `path` is still the one `st` describes, unchanged:
// the same file, of the same size, last modified and changed at the same
// moments.
inline bool same_as(const std::string &path, const struct stat &st) {
    struct stat now {};
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino &&
           now.st_size == st.st_size && now.st_mtim.tv_sec == st.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == st.st_mtim.tv_nsec && now.st_ctim.tv_sec == st.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == st.st_ctim.tv_nsec;
}

// Whether `fd` (open on a file) still holds `content`.
inline bool holds(int fd, const std::string &content) {
    std::string now;
    return ::lseek(fd, 0, SEEK_SET) == 0 && read_fd(fd, now, content.size()) && now == content;
}

// The new file `tmp` (the file `made` describes) put in the place of
// `target`, which was read as `read` (open on it as `fd`) holding
// `content`, unless `target` no longer is that file with that content.
//
// The two are exchanged in one step; then what came out of the place is
// looked at: when it is not the file read, or no longer holds what was
// read (someone saved over it, or wrote into it, while the new content was
// being written), they are exchanged back, so that nothing of theirs is
// lost.  Where the file system cannot exchange, the target's identity is
// compared just before an ordinary rename.
inline Replacement put_in_place(const std::string &target, const std::string &tmp,
                                const struct stat &made, int fd, const struct stat &read,
                                const std::string &content) {
    Replacement result;
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
        int err = errno;
        if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) {
            ::unlink(tmp.c_str());
            result.err = err;
            return result;
        }
        if (!same_as(target, read)) {
            ::unlink(tmp.c_str());
            result.outcome = Replacement::Changed;
            return result;
        }
        if (::rename(tmp.c_str(), target.c_str()) != 0) {
            result.err = errno;
            ::unlink(tmp.c_str());
            return result;
        }
        result.outcome = Replacement::Written;
        return result;
    }
    struct stat out {};
    bool kept = ::lstat(tmp.c_str(), &out) == 0 && out.st_dev == read.st_dev &&
                out.st_ino == read.st_ino && holds(fd, content);
    if (kept) {
        ::unlink(tmp.c_str());  // the old content, replaced
        result.outcome = Replacement::Written;
        return result;
    }
    // Not what was read: back into its place, and ours out again.
    result.outcome = Replacement::Changed;
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
        result.outcome = Replacement::Failed;
        result.err = errno;
        result.kept = tmp;  // theirs is there now, beside the file
        return result;
    }
    struct stat back {};
    if (::lstat(tmp.c_str(), &back) == 0 && back.st_dev == made.st_dev &&
        back.st_ino == made.st_ino)
        ::unlink(tmp.c_str());
    // Otherwise the place changed once more meanwhile: what came out stays
    // beside it, under the temporary name, rather than be lost.
    return result;
}

}  // namespace detail

// Replace the content of the file at `path` by `data`.
//
// A symbolic link is followed: the link stays and its target gets the new
// content.  With `expected`, the file must still hold exactly that content
// (what the caller read and computed `data` from), and with `id`, still be
// that file; otherwise nothing is written.  A file that is not writable (no
// permission, or no write bit at all) is refused with EACCES, anything that
// is no regular file with EINVAL.
//
// The new content goes to a hidden temporary file beside the target
// (".<name>.XXXXXX") and reaches the disk there first.  A file with a
// single link is then replaced by exchanging that file with it, with its
// mode (and its owner, where we may set it) carried over: the file holds
// either its old or its new content at any moment, and a file that was
// replaced or changed while the new content was being written gets its own
// content back (detail::put_in_place).  A file with several hard links
// keeps them: its content is overwritten in place from the copy on disk,
// which is removed afterwards; should that short write be cut off, the copy
// beside it holds the whole new content.
inline Replacement replace_file(const std::string &path, const std::string &data,
                                const std::string *expected = nullptr,
                                const FileId *id = nullptr) {
    Replacement result;
    auto failed = [&](int err) {
        result.outcome = Replacement::Failed;
        result.err = err;
        return result;
    };
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return failed(errno);
    const std::string target = resolved;

    // The file as it is now, read through one descriptor kept open until
    // it is replaced.
    int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return failed(errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return failed(errno);
    if (!S_ISREG(st.st_mode)) return failed(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    std::string current;
    if (!detail::read_fd(fd, current, static_cast<size_t>(st.st_size))) return failed(errno);
    if ((id && !(*id == FileId{st.st_dev, st.st_ino})) || (expected && current != *expected)) {
        result.outcome = Replacement::Changed;
        return result;
    }
    if (current == data) {
        result.outcome = Replacement::Unchanged;
        return result;
    }
    if (::access(target.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0) return failed(EACCES);

    std::string tmp;
    int out = detail::create_beside(target, 0600, tmp);
    if (out < 0) return detail::refused_directory(result, target, errno);
    struct stat made {};
    ::fstat(out, &made);
    const bool in_place = st.st_nlink > 1;
    if (int err = detail::fill_new_file(out, data, in_place ? nullptr : &st)) {
        ::unlink(tmp.c_str());
        return failed(err);
    }
    if (in_place) return detail::overwrite_in_place(target, st, data, tmp);
    return detail::put_in_place(target, tmp, made, fd, st, current);
}

// ---- many files replaced at once -------------------------------------------

// A replacement in steps, for many files at once: each file's new content
// is written beside it (stage_replacement), then all of them reach the disk
// together, one flush of each file system instead of one a file
// (make_durable, as package managers do when they unpack), then each takes
// its file's place in turn (finish_replacement), with every guarantee of
// replace_file.
class Staged {
public:
    Staged() = default;
    Staged(Staged &&o) noexcept { *this = std::move(o); }
    Staged &operator=(Staged &&o) noexcept {
        std::swap(result, o.result);
        std::swap(in_place, o.in_place);
        std::swap(target_, o.target_);
        std::swap(tmp_, o.tmp_);
        std::swap(current_, o.current_);
        std::swap(fd_, o.fd_);
        std::swap(st_, o.st_);
        std::swap(made_, o.made_);
        return *this;
    }
    Staged(const Staged &) = delete;
    Staged &operator=(const Staged &) = delete;
    // A staged file that is never finished leaves nothing behind.
    ~Staged() {
        if (!tmp_.empty()) ::unlink(tmp_.c_str());
        if (fd_ >= 0) ::close(fd_);
    }

    // Its new content waits beside it.
    bool waiting() const { return !tmp_.empty(); }
    // The bytes it holds meanwhile: the file's content as it was read.
    size_t held() const { return current_.size(); }
    // Otherwise, how it ended at once (Unchanged, Changed, Failed), or, with
    // `in_place`, that it has several links: replace_file keeps them.
    Replacement result;
    bool in_place = false;

private:
    friend Staged stage_replacement(const std::string &, const std::string &, const std::string *,
                                    const FileId *);
    friend std::vector<int> make_durable(std::vector<Staged *> &);
    friend Replacement finish_replacement(Staged &);
    std::string target_, tmp_, current_;
    int fd_ = -1;  // the target, open since it was read
    struct stat st_ {};
    struct stat made_ {};
};

// replace_file's first steps: the file read and compared, its new content
// written beside it, not yet on disk.
inline Staged stage_replacement(const std::string &path, const std::string &data,
                                const std::string *expected = nullptr,
                                const FileId *id = nullptr) {
    Staged s;
    auto failed = [&](int err) {
        s.result.outcome = Replacement::Failed;
        s.result.err = err;
        return std::move(s);
    };
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return failed(errno);
    s.target_ = resolved;
    s.fd_ = ::open(s.target_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (s.fd_ < 0) return failed(errno);
    if (::fstat(s.fd_, &s.st_) != 0) return failed(errno);
    if (!S_ISREG(s.st_.st_mode)) return failed(S_ISDIR(s.st_.st_mode) ? EISDIR : EINVAL);
    if (!detail::read_fd(s.fd_, s.current_, static_cast<size_t>(s.st_.st_size)))
        return failed(errno);
    if ((id && !(*id == FileId{s.st_.st_dev, s.st_.st_ino})) ||
        (expected && s.current_ != *expected)) {
        s.result.outcome = Replacement::Changed;
        return s;
    }
    if (s.current_ == data) {
        s.result.outcome = Replacement::Unchanged;
        return s;
    }
    if (::access(s.target_.c_str(), W_OK) != 0 || (s.st_.st_mode & 0222) == 0)
        return failed(EACCES);
    if (s.st_.st_nlink > 1) {
        s.in_place = true;
        return s;
    }
    std::string tmp;
    int out = detail::create_beside(s.target_, 0600, tmp);
    if (out < 0) {
        detail::refused_directory(s.result, s.target_, errno);
        return s;
    }
    ::fstat(out, &s.made_);
    if (int err = detail::fill_new_file(out, data, &s.st_, false)) {
        ::unlink(tmp.c_str());
        return failed(err);
    }
    s.tmp_ = std::move(tmp);
    return s;
}

// The staged files' new contents on disk: each file system that holds one
// flushed once.  The errno of each file's flush, 0 where it went well.
inline std::vector<int> make_durable(std::vector<Staged *> &batch) {
    std::vector<int> errs(batch.size(), 0);
    std::vector<std::pair<dev_t, int>> flushed;  // device, its errno
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!batch[i]->waiting()) continue;
        dev_t dev = batch[i]->made_.st_dev;
        auto done = std::find_if(flushed.begin(), flushed.end(),
                                 [&](const auto &f) { return f.first == dev; });
        if (done == flushed.end()) {
            int err = ::syncfs(batch[i]->fd_) == 0 ? 0 : errno;
            done = flushed.insert(flushed.end(), {dev, err});
        }
        errs[i] = done->second;
    }
    return errs;
}

// A staged file, on disk now, put in its file's place (replace_file's last
// step).
inline Replacement finish_replacement(Staged &s) {
    Replacement r = detail::put_in_place(s.target_, s.tmp_, s.made_, s.fd_, s.st_, s.current_);
    s.tmp_.clear();  // put in place, or removed, or kept on purpose
    return r;
}

// Write `data` as the file named `path`, whole or not at all, never
// through a link: the content goes to a new file beside it, reaches the
// disk, and is renamed onto the name itself, replacing whatever stands
// there (a symbolic link is replaced, not followed).  For a name in a
// directory that others may write, where what stands at the name can change
// between a look and the write.  The file gets the mode any new file gets
// (0666 less the umask).
inline Replacement write_new_file(const std::string &path, const std::string &data) {
    Replacement result;
    const size_t slash = path.rfind('/');
    char resolved[PATH_MAX];
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    if (!::realpath(dir.c_str(), resolved)) return detail::refused_directory(result, path, errno);
    const std::string target = std::string(resolved) + "/" + path.substr(slash + 1);
    std::string tmp;
    int fd = detail::create_beside(target, 0666, tmp);
    if (fd < 0) return detail::refused_directory(result, target, errno);
    int err = detail::fill_new_file(fd, data, nullptr);
    if (!err && ::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        result.outcome = Replacement::Failed;
        result.err = err;
        return result;
    }
    result.outcome = Replacement::Written;
    return result;
}

// Replace the content of the file at `path` by `data` as replace_file does,
// or, when there is no file there yet, create it as write_new_file does.
inline Replacement write_file(const std::string &path, const std::string &data) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 || errno != ENOENT) return replace_file(path, data);
    return write_new_file(path, data);
}

}  // namespace tavox::support
