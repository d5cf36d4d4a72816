// The way into an area. An area belongs to a container: nothing found in
// it is followed. Entries are reached from a directory descriptor with the
// *at calls; a path below a descriptor is opened with open_beneath, which
// follows no symbolic link in any component and never leaves the directory.
#ifndef KXFS_AREA_H
#define KXFS_AREA_H

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>

#include <vector>

#include "base.h"

namespace kx {

// The whole text of the link name in dirfd, however long (size_hint is the
// lstat size); false with errno set when it cannot be read.
inline bool read_link(int dirfd, const char *name, off_t size_hint, std::string &text) {
    size_t size = size_hint > 0 ? static_cast<size_t>(size_hint) + 1 : 256;
    for (;;) {
        text.resize(size);
        ssize_t n = ::readlinkat(dirfd, name, text.data(), size);
        if (n < 0) {
            text.clear();
            return false;
        }
        if (static_cast<size_t>(n) < size) {
            text.resize(static_cast<size_t>(n));
            return true;
        }
        size *= 2;
    }
}

// The content of a shortcut, or of a file that may be one, open as fd: read
// to its end, but max bytes at the most; false with errno set.
inline bool read_shortcut_text(int fd, size_t max, std::string &text) {
    text.resize(max);
    size_t got = 0;
    while (got < max) {
        ssize_t n = ::read(fd, text.data() + got, max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return true;
}

// A listing of the directory fd from its start, on a descriptor of its own
// (fd keeps its offset); with no_atime, leaving the access time alone
// where the caller may.
inline Dir list_anew(int fd, bool no_atime = false) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
    int own = no_atime ? ::openat(fd, ".", flags | O_NOATIME) : -1;
    if (own < 0)
        own = ::openat(fd, ".", flags);
    if (own < 0)
        return Dir();
    DIR *d = ::fdopendir(own);
    if (d == nullptr)
        ::close(own);
    return Dir(d);
}

// Whether rel, a path relative to some root directory (leading slashes
// and all), climbs out of it through a ".." component. The one test of
// every pointer into the template and of every path taken beneath a root.
inline bool leaves_root(std::string_view rel) {
    while (!rel.empty()) {
        size_t slash = rel.find('/');
        if (rel.substr(0, slash) == "..")
            return true;
        if (slash == std::string_view::npos)
            break;
        rel.remove_prefix(slash + 1);
    }
    return false;
}

// The part of path that lies below the directory root, both given as text
// of the caller's: what follows root and the slashes after it ("" for root
// itself), to be opened beneath root. False with errno EXDEV when path
// does not begin with root.
inline bool path_below(std::string_view root, std::string_view path, std::string &rest) {
    while (!root.empty() && root.back() == '/')
        root.remove_suffix(1);
    if (path.substr(0, root.size()) != root ||
        (path.size() > root.size() && path[root.size()] != '/')) {
        errno = EXDEV;
        return false;
    }
    path.remove_prefix(root.size());
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    rest.assign(path);
    return true;
}

// Splits a relative path into its components ("" and "." dropped). False
// with errno EXDEV for an absolute path or a ".." component.
inline bool beneath_components(const char *path, std::vector<std::string_view> &parts) {
    std::string_view rest(path ? path : "");
    if ((!rest.empty() && rest.front() == '/') || leaves_root(rest)) {
        errno = EXDEV;
        return false;
    }
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (!part.empty() && part != ".")
            parts.push_back(part);
    }
    return true;
}

// A directory asked for by name that turned out to be a symbolic link
// answers ELOOP, as openat2 does, rather than ENOTDIR.
inline void link_answers_eloop(int dirfd, const char *name) {
    int err = errno;
    struct stat st;
    if (err == ENOTDIR && ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        err = ELOOP;
    errno = err;
}

// The component-by-component form of open_beneath, for kernels without
// openat2: every component is opened with O_NOFOLLOW below the one before.
inline int open_beneath_walk(int dirfd, const char *path, int flags, mode_t mode) {
    std::vector<std::string_view> parts;
    if (!beneath_components(path, parts))
        return -1;
    if (parts.empty())
        return ::openat(dirfd, ".", (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_CLOEXEC);
    Fd held;
    int at = dirfd;
    std::string name;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        name.assign(parts[i]);
        Fd next(::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.ok()) {
            link_answers_eloop(at, name.c_str());
            return -1;
        }
        held = std::move(next);
        at = held.get();
    }
    name.assign(parts.back());
    int fd = ::openat(at, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && (flags & O_DIRECTORY))
        link_answers_eloop(at, name.c_str());
    return fd;
}

// Set once openat2 has answered ENOSYS: the walk serves from then on.
inline bool openat2_missing = false;

// Opens path below dirfd (AT_FDCWD: below the working directory) without
// following a symbolic link in any component and without leaving dirfd:
// an absolute path or a ".." component gives EXDEV, a link ELOOP (a final
// link is opened itself only with O_PATH). The descriptor is close-on-exec.
// A path longer than the kernel takes in one call is opened component by
// component, in time that grows with its length.
inline int open_beneath(int dirfd, const char *path, int flags, mode_t mode = 0) {
#ifdef SYS_openat2
    if (!openat2_missing) {
        std::vector<std::string_view> parts;
        if (!beneath_components(path, parts))
            return -1;
        if (parts.empty())
            return ::openat(dirfd, ".", (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_CLOEXEC);
        struct open_how how {};
        // RESOLVE_NO_SYMLINKS refuses a final link too (ELOOP); O_NOFOLLOW
        // would turn that into ENOTDIR for a directory asked for.
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
        // A path too long for one call is opened one component at a time.
        if (fd >= 0 || (errno != ENOSYS && errno != ENAMETOOLONG))
            return static_cast<int>(fd);
        if (errno == ENOSYS)
            openat2_missing = true;
    }
#endif
    return open_beneath_walk(dirfd, path, flags, mode);
}

// True when st describes the inode dev/ino.
inline bool same_inode(const struct stat &st, dev_t dev, ino_t ino) {
    return st.st_dev == dev && st.st_ino == ino;
}

// The error a change of directory into the area's KXFS tree would meet, as
// the tools report it where they resolve the tree: 0 when the tree is open,
// and 0 for a link to a directory in place of "fs", which the tools refuse
// as unsafe once the command line is judged. The link is only looked at.
inline int tree_entry_error(const struct kxfs_area *area) {
    if (area->tree.fd >= 0)
        return 0;
    if (!area->tree.unsafe)
        return area->tree.error;
    struct stat st;
    if (::fstatat(area->area.fd, "fs", &st, 0) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Opens the entry name of dirfd for reading, never following a link, never
// blocking on a fifo or taking a terminal, and fills st from the descriptor.
// Only a regular file is accepted (EISDIR for a directory, EINVAL for
// anything else); with seen given it must also be that inode (ESTALE).
inline Fd open_regular_at(int dirfd, const char *name, struct stat *st,
                          const struct stat *seen = nullptr) {
    Fd fd(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok())
        return fd;
    struct stat local;
    struct stat *s = st ? st : &local;
    if (::fstat(fd.get(), s) != 0)
        return Fd();
    if (!S_ISREG(s->st_mode)) {
        errno = S_ISDIR(s->st_mode) ? EISDIR : EINVAL;
        return Fd();
    }
    if (seen && !same_inode(*s, seen->st_dev, seen->st_ino)) {
        errno = ESTALE;
        return Fd();
    }
    return fd;
}

// Opens name of dirfd for writing a file the caller produces, never through
// a link. exclusive: a new file (EEXIST when the name is taken). Otherwise
// an existing entry is taken only when it is a regular file with no other
// name (EINVAL for another type, EMLINK for further names: such an inode may
// be shared with the host) and is truncated when asked to.
inline Fd open_output(int dirfd, const char *name, int access, bool exclusive, bool truncate,
                      mode_t mode) {
    int flags = access | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    if (exclusive)
        return Fd(::openat(dirfd, name, flags | O_EXCL, mode));
    Fd fd(::openat(dirfd, name, flags | O_NONBLOCK, mode));
    if (!fd.ok())
        return fd;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return Fd();
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) {
        errno = S_ISREG(st.st_mode) ? EMLINK : EINVAL;
        return Fd();
    }
    if (truncate && st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0)
        return Fd();
    return fd;
}

// Gives the inode open as fd (a file made without a name, or one that has
// names) the further name `name` of dirfd: directly where the kernel allows
// it (CAP_DAC_READ_SEARCH, or on newer kernels the file's own opener), else,
// when it answers ENOENT, through the descriptor's /proc/self/fd link, a
// path walk that costs several times the link itself.
inline int link_open_file(int fd, int dirfd, const char *name) {
    if (::linkat(fd, "", dirfd, name, AT_EMPTY_PATH) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;
    const std::string from = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, from.c_str(), dirfd, name, AT_SYMLINK_FOLLOW);
}

// A path naming the entry name of dirfd for the calls that have no *at
// form (the host's link calls, extended attributes of links): the name
// itself for AT_FDCWD or an absolute name, else through /proc/self/fd.
inline std::string fd_path(int dirfd, const char *name) {
    if (dirfd == AT_FDCWD || name[0] == '/')
        return name;
    std::string path = "/proc/self/fd/" + std::to_string(dirfd);
    if (name[0] != '\0')
        path.append(1, '/').append(name);
    return path;
}

// A temporary sibling of an entry, created exclusively: "<name><sep>XXXXXX"
// with six random characters (the last component shortened so that the
// result fits in one), never a name that someone else made. It is removed
// when the holder goes out of scope unless keep() was called (after the
// rename that put it in place). After a failure other than every candidate
// being taken, name() is the candidate that could not be made.
class TempName {
public:
    TempName() = default;
    TempName(const TempName &) = delete;
    TempName &operator=(const TempName &) = delete;
    ~TempName() {
        if (armed_) {
            int saved = errno;
            ::unlinkat(dirfd_, name_.c_str(), 0);
            errno = saved;
        }
    }
    const std::string &name() const { return name_; }
    const char *c_str() const { return name_.c_str(); }
    void keep() { armed_ = false; }

    // Makes the entry with make(dirfd, candidate), which must fail with
    // EEXIST when the candidate is taken; false with errno set.
    template <class Make>
    bool make(int dirfd, std::string_view name, char sep, Make make_entry) {
        dirfd_ = dirfd;
        std::string base(name);
        size_t slash = base.rfind('/');
        size_t leaf = slash == std::string::npos ? 0 : slash + 1;
        if (base.size() - leaf > kNameMax - 7)
            base.resize(leaf + kNameMax - 7);
        base.append(1, sep).append("XXXXXX");
        const size_t at = base.size() - 6;
        static const char letters[] =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0; attempt < 100; ++attempt) {
            uint64_t z = next_random();
            for (size_t i = 0; i < 6; ++i) {
                base[at + i] = letters[z % 62];
                z /= 62;
            }
            if (make_entry(dirfd, base.c_str()) == 0) {
                name_ = base;
                armed_ = true;
                return true;
            }
            if (errno != EEXIST) {
                name_ = base;  // the candidate that could not be made
                return false;
            }
        }
        errno = EEXIST;
        return false;
    }

    // A new empty regular file of mode 0600, open for reading and writing.
    bool create_file(int dirfd, std::string_view name, char sep, Fd &fd) {
        return make(dirfd, name, sep, [&fd](int at, const char *candidate) {
            fd = Fd(::openat(at, candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY |
                                                O_CLOEXEC, 0600));
            return fd.ok() ? 0 : -1;
        });
    }

private:
    static constexpr size_t kNameMax = 255;
    static uint64_t next_random() {
        static uint64_t state = 0;
        if (state == 0) {
            uint64_t seed = 0;
            if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed)
                seed = (static_cast<uint64_t>(::getpid()) << 32) ^
                       static_cast<uint64_t>(::time(nullptr));
            state = seed | 1;
        }
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    int dirfd_ = AT_FDCWD;
    std::string name_;
    bool armed_ = false;
};

}  // namespace kx

#endif
