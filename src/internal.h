// Internal helpers shared by the library modules and the tools: RAII holders
// for descriptors, directory handles and mappings, path joining, and the one
// place where the fixed host paths are built. Header-only and not exported:
// every user compiles its own copy with hidden visibility.
#ifndef KXFS_INTERNAL_H
#define KXFS_INTERNAL_H

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "libkxfsutil.h"

namespace kx {

// Owns a file descriptor; closes it when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes now and reports the close's own result (0 or -1 with errno).
    int close() {
        int fd = std::exchange(fd_, -1);
        return fd >= 0 ? ::close(fd) : 0;
    }
    void reset() {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Owns a DIR* from opendir/fdopendir.
class Dir {
public:
    Dir() = default;
    explicit Dir(DIR *d) : d_(d) {}
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    Dir(Dir &&o) noexcept : d_(std::exchange(o.d_, nullptr)) {}
    ~Dir() { reset(); }
    DIR *get() const { return d_; }
    bool ok() const { return d_ != nullptr; }
    int close() {
        DIR *d = std::exchange(d_, nullptr);
        return d ? ::closedir(d) : 0;
    }
    void reset() {
        if (d_) {
            int saved = errno;
            ::closedir(d_);
            errno = saved;
        }
        d_ = nullptr;
    }

private:
    DIR *d_ = nullptr;
};

// Owns a memory mapping.
class Mapping {
public:
    Mapping() = default;
    Mapping(void *addr, size_t size) : addr_(addr), size_(size) {}
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping() { reset(); }
    void *get() const { return addr_; }
    size_t size() const { return size_; }
    bool ok() const { return addr_ != nullptr; }
    // Unmaps now and reports munmap's own result.
    int unmap() {
        void *a = std::exchange(addr_, nullptr);
        return a ? ::munmap(a, size_) : 0;
    }
    void reset() {
        if (addr_) {
            int saved = errno;
            ::munmap(addr_, size_);
            errno = saved;
        }
        addr_ = nullptr;
    }

private:
    void *addr_ = nullptr;
    size_t size_ = 0;
};

// Owns a malloc block (for strings handed over by the C interface).
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// "a/b", the way the tools join a directory and a name.
inline std::string join(std::string_view dir, std::string_view name) {
    std::string s;
    s.reserve(dir.size() + 1 + name.size());
    s.append(dir).append(1, '/').append(name);
    return s;
}

inline bool is_magic(const char *text) {
    return text && std::strncmp(text, "////", 4) == 0;
}
inline bool is_magic(std::string_view text) {
    return text.size() >= 4 && text.substr(0, 4) == "////";
}

inline bool is_dot_or_dotdot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Writes all of data, retrying short writes; false with errno set.
inline bool write_all(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
inline bool write_all(int fd, std::string_view data) {
    return write_all(fd, data.data(), data.size());
}

// Allocates the first size bytes of a file just created, before its data
// is written. On ext4 a file renamed over an existing entry has its delayed
// blocks written out by the rename itself, one write submitted per file in
// the caller's time; blocks allocated beforehand leave nothing to write out
// there. Where the file system cannot allocate ahead, nothing happens.
inline void allocate_ahead(int fd, size_t size) {
    if (size > 0)
        (void)::fallocate(fd, 0, 0, static_cast<off_t>(size));
}

// Appends everything left to read from fd; false with errno set.
inline bool read_all(int fd, std::string &data) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        data.append(buf, static_cast<size_t>(n));
    }
}

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

// The names of one directory as a fixed-size bitmap of their hashes (two
// bits a name). A name that was listed always tests as present; one that
// was not tests absent but for a few percent at a million names. Lets a
// walk skip looking up names the directory never had, in bounded memory.
class NameFilter {
public:
    NameFilter() : bits_(kWords, 0) {}
    void add(std::string_view name) {
        size_t h = std::hash<std::string_view>{}(name);
        set(h & kMask);
        set((h >> kBits) & kMask);
    }
    bool may_hold(std::string_view name) const {
        size_t h = std::hash<std::string_view>{}(name);
        return test(h & kMask) && test((h >> kBits) & kMask);
    }
    // Fills the filter from the listing of dirfd (read anew: dirfd keeps
    // its offset). False when the listing could not be read to its end:
    // the filter then holds only part of it.
    bool add_listing(int dirfd) {
        Dir dir = list_anew(dirfd, true);
        if (!dir.ok())
            return false;
        for (;;) {
            errno = 0;
            struct dirent *e = ::readdir(dir.get());
            if (e == nullptr)
                return errno == 0;
            add(e->d_name);
        }
    }

private:
    static constexpr unsigned kBits = 23;  // 8 Mi bits, 1 MiB
    static constexpr size_t kMask = (size_t{1} << kBits) - 1;
    static constexpr size_t kWords = (size_t{1} << kBits) / 64;
    void set(size_t i) { bits_[i / 64] |= uint64_t{1} << (i % 64); }
    bool test(size_t i) const { return (bits_[i / 64] >> (i % 64)) & 1; }
    std::vector<uint64_t> bits_;
};

// The pending-directory stack of the walk and the copy: a node owns its
// path; pushes and pops are at the head.
struct DirNodeDeleter {
    void operator()(struct dir_node *node) const {
        std::free(node->path);
        std::free(node);
    }
};
using DirNode = std::unique_ptr<struct dir_node, DirNodeDeleter>;

inline void push_dir(struct dir_stack *stack, const std::string &path) {
    auto *node = static_cast<struct dir_node *>(xmalloc(sizeof(struct dir_node)));
    node->path = xstrdup(path.c_str());
    node->next = stack->head;
    stack->head = node;
    stack->count++;
}

// The head node, taken off the stack (null when it is empty).
inline DirNode pop_dir(struct dir_stack *stack) {
    struct dir_node *node = stack->head;
    if (node)
        stack->head = node->next;
    return DirNode(node);
}

inline void drop_stack(struct dir_stack *stack) {
    while (pop_dir(stack))
        ;
}

// An inode of the host: the key of the hard-link tables.
struct InodeKey {
    dev_t dev;
    ino_t ino;
    bool operator==(const InodeKey &o) const { return dev == o.dev && ino == o.ino; }
};
struct InodeKeyHash {
    size_t operator()(const InodeKey &k) const {
        uint64_t h = static_cast<uint64_t>(k.ino) * 0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(h ^ (static_cast<uint64_t>(k.dev) + (h >> 29)));
    }
};

// ---- the way into an area ---------------------------------------------------
//
// An area belongs to a container: nothing found in it is followed. Entries
// are reached from a directory descriptor with the *at calls; a path below a
// descriptor is opened with open_beneath, which follows no symbolic link in
// any component and never leaves the directory.

// Splits a relative path into its components ("" and "." dropped). False
// with errno EXDEV for an absolute path or a ".." component.
inline bool beneath_components(const char *path, std::vector<std::string_view> &parts) {
    std::string_view rest(path ? path : "");
    if (!rest.empty() && rest.front() == '/') {
        errno = EXDEV;
        return false;
    }
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            errno = EXDEV;
            return false;
        }
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
        if (fd >= 0 || errno != ENOSYS)
            return static_cast<int>(fd);
        openat2_missing = true;
    }
#endif
    return open_beneath_walk(dirfd, path, flags, mode);
}

// True when st describes the inode dev/ino.
inline bool same_inode(const struct stat &st, dev_t dev, ino_t ino) {
    return st.st_dev == dev && st.st_ino == ino;
}

// lstat of paths in the template tree, keeping the directory of the last
// one open: the pointers of one area directory mostly name objects of one
// template directory, whose long path is then resolved once. The directory
// part is opened as a path lookup resolves it (the template is the host's,
// its links are followed as lstat follows them); a name that is not plain,
// or a directory that cannot be opened, is left to lstat itself.
class TemplateLookup {
public:
    int lstat(const std::string &path, struct stat *st) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return ::lstat(path.c_str(), st);
        const char *leaf = path.c_str() + slash + 1;
        if (*leaf == '\0' || is_dot_or_dotdot(leaf))
            return ::lstat(path.c_str(), st);
        std::string_view dir(path.data(), slash);
        if (!fd_.ok() || dir_ != dir) {
            dir_.assign(dir);
            fd_ = Fd(::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!fd_.ok())
                return ::lstat(path.c_str(), st);
        }
        return ::fstatat(fd_.get(), leaf, st, AT_SYMLINK_NOFOLLOW);
    }

private:
    std::string dir_;
    Fd fd_;
};

// Opens the directory rel below rootfd (as open_beneath) and checks that it
// is still the inode dev/ino that was seen when its parent was listed:
// a directory swapped after the listing gives ESTALE and is not used.
inline Fd open_dir_beneath(int rootfd, const char *rel, dev_t dev, ino_t ino) {
    Fd fd(open_beneath(rootfd, rel, O_RDONLY | O_DIRECTORY));
    // A path too long for one call is opened one component at a time.
    if (!fd.ok() && errno == ENAMETOOLONG)
        fd = Fd(open_beneath_walk(rootfd, rel, O_RDONLY | O_DIRECTORY, 0));
    if (!fd.ok())
        return fd;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return Fd();
    if (!same_inode(st, dev, ino)) {
        errno = ESTALE;
        return Fd();
    }
    return fd;
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

// Whether the open regular file or directory fd carries attributes of its
// own: 1 extended attributes or inode flags other than the filesystem's
// bookkeeping (FS_HUGE_FILE_FL, FS_EXTENT_FL), 0 none, -1 the flag word
// (FS_IOC_GETFLAGS) cannot be read.
inline int own_attributes(int fd) {
    ssize_t listed = ::flistxattr(fd, nullptr, 0);
    int word = 0;
    if (::ioctl(fd, 0x80086601UL, &word) != 0)
        return -1;
    if (static_cast<unsigned int>(word) & ~(0x00040000U | 0x00080000U))
        return 1;
    return listed > 0 ? 1 : 0;
}

// Gives the new regular file out (open, its data written) the owner, mode
// and times of st, then the extended attributes and the inode flags of the
// source: in when the caller holds it open, else src of src_dirfd, opened
// here and checked to be the inode st describes (if it is not, the names
// are used). As for every copied entry, owner, mode and times are best
// effort. 0, or 1 when the extended attributes could not all be copied (the
// failure printed on stderr).
int copy_attributes_open(int in, int out, int src_dirfd, const char *src, int dst_dirfd,
                         const char *dst, const struct stat &st, const char *src_dir_shown,
                         const char *dst_dir_shown);

// Copies the regular file src of src_dirfd, which lstat described as st, to
// the new file dst of dst_dirfd with its data and attributes, all through
// the two open files. -1 with errno when the data could not be copied, else
// as copy_attributes_open.
int copy_file_with_attributes(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                              const struct stat &st, const char *src_dir_shown,
                              const char *dst_dir_shown);

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

// How messages show the entry name of a directory shown as dir: "dir/name",
// or the name as given when the directory has no path to show.
inline std::string shown_path(const char *dir, const char *name) {
    return dir ? join(dir, name) : std::string(name);
}

// A temporary sibling of an entry, created exclusively: "<name><sep>XXXXXX"
// with six random characters (the last component shortened so that the
// result fits in one), never a name that someone else made. It is removed
// when the holder goes out of scope unless keep() was called (after the
// rename that put it in place).
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
            if (errno != EEXIST)
                return false;
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

// The absolute physical path of an existing directory (chdir into it,
// getcwd, chdir back to back); every failure is fatal with the program's
// name in the message, as the tools report it.
inline char *physical_dir(const char *program, const char *path, const char *back) {
    if (::chdir(path) != 0)
        error(1, errno, "%s: can't chdir '%s'", program, path);
    char *dir = ::getcwd(nullptr, 0);
    if (dir == nullptr)
        error(1, errno, "%s: can't getcwd", program);
    if (::chdir(back) != 0)
        error(1, errno, "%s: can't chdir '%s'", program, back);
    return dir;
}

// The library's reader of one configuration parameter (config.cpp) from an
// open file, shown as file in its traces: a heap copy of the value, or null.
char *read_config_param(FILE *in, const char *file, const char *name);

// Fixed paths of the host. A testing build lets KXFS_TEST_HOST_ROOT put all
// of them below another directory; a default build has no environment lookup.
inline constexpr const char *kTemplateRoot = "/kx/template";
inline constexpr const char *kConfigDir = "/etc/sysconfig/kx-scripts";
inline constexpr const char *kProcMounts = "/proc/mounts";
inline constexpr const char *kQuotaTool = "/usr/sbin/kxquota";
inline constexpr const char *kPackageTool = "/usr/sbin/kxpkg";

// A read-ahead stage for a walk whose own thread writes as much as it reads
// (a copy), when walks run one: fewer threads on a machine with few cores.
struct ::readahead_stage *writing_walk_readahead(int rootfd, int flags);

inline std::string host_path(const char *fixed) {
#ifdef KXFS_TESTING
    const char *root = std::getenv("KXFS_TEST_HOST_ROOT");
    if (root && *root)
        return std::string(root) + fixed;
#endif
    return fixed;
}

}  // namespace kx

#endif
