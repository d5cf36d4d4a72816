// Entry primitives: shortcut files, the node-creation request of the mounted
// filesystem, the inode flag word and extended attributes, and applying an
// entry's owner, permission bits and times, symbolic links included.
//
// Entries of an area are controlled by the container, so nothing here follows
// a symbolic link: a magic link's text reads as an absolute host path. Each
// primitive acts on an entry of a directory descriptor with the *at calls
// (the path forms pass AT_FDCWD and the path); the calls that have no *at
// form reach the entry through /proc/self/fd without following it. The
// attribute helpers open nothing but regular files and directories, checked
// by lstat before and fstat after the open; every other type answers for the
// entry itself. Files are created under names nobody else holds. Nothing
// here ends the process or keeps state between calls.
#include "area.h"
#include "entry.h"
#include "messages.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

// The host kernel's calls for a symbolic link's own mode and times.
constexpr long kCallLchmod = 509;
constexpr long kCallLutime = 510;

// FS_IOC_GETFLAGS and FS_IOC_SETFLAGS; the argument is a 32-bit int.
constexpr unsigned long kGetFlags = 0x80086601UL;
constexpr unsigned long kSetFlags = 0x40086602UL;

// The node-creation request of the mounted copy-on-write filesystem.
constexpr unsigned long kNodeRequest = 0x4008AA06UL;
struct NodeRequest {
    const char *name;
    uint64_t value;
    uint32_t mode;
};

// fchmodat2 (Linux 6.6), which changes a mode without following a link in
// one call; the C library's own emulation goes through /proc and costs about
// three times as much. The number is the same on every architecture but alpha.
#if defined(SYS_fchmodat2)
constexpr long kCallFchmodat2 = SYS_fchmodat2;
#elif !defined(__alpha__)
constexpr long kCallFchmodat2 = 452;
#else
constexpr long kCallFchmodat2 = -1;
#endif

constexpr size_t kShortcutReadMax = 4096;
constexpr size_t kCopyBlock = 1 << 20;

// Set once fchmodat2 has answered ENOSYS.
bool fchmodat2_missing = false;

// chmod that never follows a link: a link answers EOPNOTSUPP.
int chmod_nofollow_at(int dirfd, const char *name, unsigned int mode) {
    if (kCallFchmodat2 >= 0 && !fchmodat2_missing) {
        long r = ::syscall(kCallFchmodat2, dirfd, name, mode, AT_SYMLINK_NOFOLLOW);
        if (r == 0 || errno != ENOSYS)
            return static_cast<int>(r);
        fchmodat2_missing = true;
    }
    return ::fchmodat(dirfd, name, mode, AT_SYMLINK_NOFOLLOW);
}

// The times of a link itself: call 510 takes whole seconds; on a stock
// kernel utimensat without following keeps the nanoseconds.
int link_utimes_at(int dirfd, const char *name, const struct timespec *ts) {
    struct utimbuf seconds;
    const struct utimbuf *times = nullptr;
    if (ts != nullptr) {
        seconds.actime = ts[0].tv_sec;
        seconds.modtime = ts[1].tv_sec;
        times = &seconds;
    }
    std::string path = kx::fd_path(dirfd, name);
    long r = ::syscall(kCallLutime, path.c_str(), times);
    if (r == -1 && errno == ENOSYS)
        return ::utimensat(dirfd, name, ts, AT_SYMLINK_NOFOLLOW);
    return static_cast<int>(r);
}

bool has_flag_word(mode_t mode) {
    return S_ISREG(mode) || S_ISDIR(mode);
}

// Opens a regular file or a directory that lstat has just described, without
// following a link, blocking on a fifo or taking a terminal, and checks that
// the descriptor is still that inode.
kx::Fd open_entry(int dirfd, const char *name, const struct stat &seen) {
    kx::Fd fd(::openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok())
        return fd;
    struct stat now;
    if (::fstat(fd.get(), &now) != 0)
        return kx::Fd();
    if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino ||
        (now.st_mode & S_IFMT) != (seen.st_mode & S_IFMT)) {
        errno = ESTALE;
        return kx::Fd();
    }
    return fd;
}

int read_flags(int fd, long long *flags) {
    int word = 0;
    if (::ioctl(fd, kGetFlags, &word) != 0)
        return -1;
    *flags = word;
    return 0;
}

// Copies length bytes at offset pos of in to the same offset of out with
// reads and writes in large blocks; a shorter in ends early.
int copy_by_blocks(int in, int out, off_t pos, off_t length) {
    std::unique_ptr<char, kx::FreeDeleter> buf(static_cast<char *>(std::malloc(kCopyBlock)));
    if (!buf)
        return -1;
    while (length > 0) {
        size_t want = length < static_cast<off_t>(kCopyBlock) ? static_cast<size_t>(length)
                                                              : kCopyBlock;
        ssize_t n = ::pread(in, buf.get(), want, pos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::pwrite(out, buf.get() + done, static_cast<size_t>(n - done), pos + done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return -1;
            done += w;
        }
        pos += n;
        length -= n;
    }
    return 0;
}

// Copies length bytes at offset pos of in to the same offset of out, inside
// the kernel where the filesystems allow it.
int copy_range(int in, int out, off_t pos, off_t length) {
    while (length > 0 && !kx::copy_range_missing) {
        loff_t from = pos, to = pos;
        size_t want = length < (1L << 30) ? static_cast<size_t>(length) : (1UL << 30);
        ssize_t n = ::copy_file_range(in, &from, out, &to, want, 0);
        if (n > 0) {
            pos += n;
            length -= n;
            continue;
        }
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (!kx::copy_range_unserved(errno))
            return -1;
        // Not here: the blocks serve, from where the kernel stopped.
        if (errno == ENOSYS)
            kx::copy_range_missing = true;
        break;
    }
    return length > 0 ? copy_by_blocks(in, out, pos, length) : 0;
}

// Copies in, which fstat described as in_st, to the new, empty file out
// keeping its holes: only the data that SEEK_DATA and SEEK_HOLE find is
// copied, each part at its offset, and the size is set at the end. A file
// whose blocks cover its size has no hole, and one whose holes cannot be
// asked for (a filesystem without them, a file of /proc) has none to keep:
// either is copied as a stream.
int copy_data(int in, int out, const struct stat &in_st) {
    if (in_st.st_blocks * 512 >= in_st.st_size)
        return kx::copy_stream(in, out);
    off_t pos = 0;
    for (;;) {
        off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;
        if (data < 0 && pos == 0 && (errno == EINVAL || errno == EOPNOTSUPP || errno == ESPIPE))
            return kx::copy_stream(in, out);
        if (data < 0)
            return -1;
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return -1;
        if (copy_range(in, out, data, hole - data) != 0)
            return -1;
        pos = hole;
    }
    // A hole at the end has no data to copy: the size makes it.
    struct stat now, made;
    if (::fstat(in, &now) != 0 || ::fstat(out, &made) != 0)
        return -1;
    if (made.st_size < now.st_size && ::ftruncate(out, now.st_size) != 0)
        return -1;
    return 0;
}

// The directory part and the final component of a path, as dirname and
// basename give them.
std::string dir_part(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    path = path.substr(0, slash);
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return path.empty() ? "/" : std::string(path);
}

std::string base_part(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    if (path.empty())
        return ".";
    if (path == "/")
        return "/";
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Opens the parent of path and issues the node-creation request: the request
// result and the close result, each 0 or -1.
void request_node(const char *path, uint64_t value, unsigned int mode, mode_t type,
                  int *request, int *closed) {
    *request = -1;
    *closed = 0;
    std::string dir = dir_part(path);
    kx::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok())
        return;
    std::string name = base_part(path);
    NodeRequest req{name.c_str(), value, (mode & 07777) | static_cast<uint32_t>(type)};
    *request = ::ioctl(fd.get(), kNodeRequest, &req) == 0 ? 0 : -1;
    int saved = errno;
    *closed = fd.close() == 0 ? 0 : -1;
    if (*request != 0)
        errno = saved;
}


// Writes the shortcut data into the new file fd and gives it the owner,
// mode and times of st, reporting the first failure with the shown paths
// (shown: the entry; temp_shown: the file being written). 0, or 1.
int fill_shortcut(int fd, const char *data, int length, const struct stat *st,
                  const std::string &shown, const std::string &temp_shown) {
    // A shortcut holds a target: writing nothing is a failed write, and an
    // empty sticky file must never take the entry's place.
    if (length <= 0) {
        werror(EINVAL, "Can't write shortcut '%s'", temp_shown.c_str());
        return 1;
    }
    kx::allocate_ahead(fd, static_cast<size_t>(length));
    if (!kx::write_all(fd, data, static_cast<size_t>(length))) {
        werror(errno, "Can't write shortcut '%s'", temp_shown.c_str());
        return 1;
    }
    if (::fchown(fd, st->st_uid, st->st_gid) != 0) {
        werror(errno, "Error chown '%s'", shown.c_str());
        return 1;
    }
    if (::fchmod(fd, st->st_mode & 07777) != 0) {
        werror(errno, "Error chmod '%s'", shown.c_str());
        return 1;
    }
    struct timespec ts[2] = {st->st_atim, st->st_mtim};
    if (::futimens(fd, ts) != 0) {
        werror(errno, "Error utime '%s'", shown.c_str());
        return 1;
    }
    return 0;
}

// Copies the regular file src_name of src_dirfd to dst_name of dst_dirfd:
// created anew when exclusive, else written over (never truncated) when it
// is a regular file of one name.
int copy_regular(int src_dirfd, const char *src_name, int dst_dirfd, const char *dst_name,
                 bool exclusive) {
    struct stat st;
    kx::Fd in = kx::open_regular_at(src_dirfd, src_name, &st);
    if (!in.ok())
        return -1;
    kx::Fd out = kx::open_output(dst_dirfd, dst_name, O_WRONLY, exclusive, false, 0770);
    if (!out.ok())
        return -2;
    int result = copy_data(in.get(), out.get(), st);
    in.close();
    if (out.close() != 0)
        result = -1;
    return result;
}

// One end of an extended-attribute copy: an open regular file or directory,
// or else a path that names the entry without following it.
struct XattrEnd {
    int fd = -1;
    std::string path;

    ssize_t list(char *buf, size_t size) const {
        return fd >= 0 ? ::flistxattr(fd, buf, size) : ::llistxattr(path.c_str(), buf, size);
    }
    ssize_t get(const char *name, void *buf, size_t size) const {
        return fd >= 0 ? ::fgetxattr(fd, name, buf, size)
                       : ::lgetxattr(path.c_str(), name, buf, size);
    }
    int set(const char *name, const void *value, size_t size) const {
        return fd >= 0 ? ::fsetxattr(fd, name, value, size, 0)
                       : ::lsetxattr(path.c_str(), name, value, size, 0);
    }
};

// An entry as messages show it: its directory as shown, or none, and its name.
struct Shown {
    const char *dir;
    const char *name;
    std::string str() const { return kx::shown_path(dir, name); }
};

// Most entries carry no attribute or a few short ones: one call with a
// buffer this size lists them or reads a value; only a longer list or value
// asks for its size first.
constexpr size_t kXattrGuess = 1024;

// Copies every extended attribute of from to, reporting the first failure
// on stderr. An empty value counts as a failure unless empty_values is set.
// 0, or -1 with errno set.
int copy_xattrs_between(const XattrEnd &from, const XattrEnd &to, const Shown &src_shown,
                        const Shown &dst_shown, bool empty_values = false) {
    char guess[kXattrGuess];
    const char *names = guess;
    std::unique_ptr<char, kx::FreeDeleter> grown_names;
    ssize_t listed = from.list(guess, sizeof guess);
    if (listed == 0)
        return 0;
    if (listed < 0 && errno != ERANGE) {
        int err = errno;
        kx::print_stderr("listxattr(\"%s\") failed error: %s\n", src_shown.str().c_str(),
                         std::strerror(err));
        errno = err;
        return -1;
    }
    if (listed < 0) {
        ssize_t size = from.list(nullptr, 0);
        if (size == 0)
            return 0;
        if (size < 0) {
            int err = errno;
            kx::print_stderr("listxattr(\"%s\") failed error: %s\n", src_shown.str().c_str(),
                             std::strerror(err));
            errno = err;
            return -1;
        }
        grown_names.reset(static_cast<char *>(std::malloc(static_cast<size_t>(size))));
        if (!grown_names) {
            kx::print_stderr("malloc() failed\n");
            errno = ENOMEM;
            return -1;
        }
        listed = from.list(grown_names.get(), static_cast<size_t>(size));
        if (listed <= 0) {
            int err = errno;
            kx::print_stderr("listxattr(\"%s\") return: %i, error: %s\n",
                         src_shown.str().c_str(), static_cast<int>(listed), std::strerror(err));
            errno = err;
            return -1;
        }
        names = grown_names.get();
    }

    char small[kXattrGuess];
    std::unique_ptr<char, kx::FreeDeleter> grown;
    const char *end = names + listed;
    for (const char *name = names; name < end; name += std::strlen(name) + 1) {
        const char *value = small;
        ssize_t got = from.get(name, small, sizeof small);
        if (got < 0 && errno == ERANGE) {
            ssize_t need = from.get(name, nullptr, 0);
            if (need <= 0) {
                int err = errno;
                kx::print_stderr("getxattr(\"%s\") from %s return: %i, error: %s\n", name,
                             src_shown.str().c_str(), static_cast<int>(need), std::strerror(err));
                errno = err;
                return -1;
            }
            grown.reset(static_cast<char *>(std::malloc(static_cast<size_t>(need))));
            if (!grown) {
                kx::print_stderr("realloc() failed\n");
                errno = ENOMEM;
                return -1;
            }
            got = from.get(name, grown.get(), static_cast<size_t>(need));
            if (got <= 0) {
                int err = errno;
                kx::print_stderr("getxattr(\"%s\") from %s return %i, error: %s\n", name,
                             src_shown.str().c_str(), static_cast<int>(got), std::strerror(err));
                errno = err;
                return -1;
            }
            value = grown.get();
        } else if (got < 0 || (got == 0 && !empty_values)) {
            int err = errno;
            kx::print_stderr("getxattr(\"%s\") from %s return: %i, error: %s\n", name,
                         src_shown.str().c_str(), static_cast<int>(got), std::strerror(err));
            errno = err;
            return -1;
        }
        if (to.set(name, value, static_cast<size_t>(got)) != 0) {
            int err = errno;
            kx::print_stderr("setxattr(\"%s\") to %s failed error: %s\n", name,
                         dst_shown.str().c_str(), std::strerror(err));
            errno = err;
            return -1;
        }
    }
    return 0;
}

}  // namespace

namespace kx {

int chmod_nofollow(int dirfd, const char *name, unsigned int mode) {
    return chmod_nofollow_at(dirfd, name, mode);
}

bool read_flag_word(int fd, int &word) {
    word = 0;
    if (::ioctl(fd, kGetFlags, &word) == 0)
        return true;
    // A filesystem without a flag word: the inode has no flags.
    if (errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) {
        word = 0;
        return true;
    }
    return false;
}

bool set_flag_word(int fd, int word) {
    int now = 0;
    if (!read_flag_word(fd, now))
        return false;
    int wanted = (now & ~kCopiedFlags) | (word & kCopiedFlags);
    if (wanted == now)
        return true;
    return ::ioctl(fd, kSetFlags, &wanted) == 0;
}

int copy_all_xattrs(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                    const char *src_dir_shown, const char *dst_dir_shown) {
    return copy_xattrs_between(XattrEnd{-1, fd_path(src_dirfd, src)},
                               XattrEnd{-1, fd_path(dst_dirfd, dst)}, Shown{src_dir_shown, src},
                               Shown{dst_dir_shown, dst}, true);
}

AttrStep copy_attributes_open(int in, int out, int src_dirfd, const char *src, int dst_dirfd,
                              const char *dst, const struct stat &st, const char *src_dir_shown,
                              const char *dst_dir_shown, int &flags) {
    flags = 0;
    if (::fchown(out, st.st_uid, st.st_gid) != 0)
        return AttrStep::kOwner;
    if (::fchmod(out, st.st_mode & 07777) != 0)
        return AttrStep::kMode;
    struct timespec ts[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, ts) != 0)
        return AttrStep::kTimes;
    Fd opened;
    if (in < 0) {
        opened = open_entry(src_dirfd, src, st);
        in = opened.get();
    }
    if (in < 0) {
        // The source is not the file it was: what its name holds now is
        // read as the name-based copy would.
        if (copy_all_xattrs(src_dirfd, src, dst_dirfd, dst, src_dir_shown, dst_dir_shown) != 0)
            return AttrStep::kXattrs;
        long long word = 0;
        if (get_eattr_at(src_dirfd, src, &word) != 0)
            return AttrStep::kFlags;
        flags = static_cast<int>(word);
        return AttrStep::kNone;
    }
    if (copy_xattrs_between(XattrEnd{in, {}}, XattrEnd{out, {}}, Shown{src_dir_shown, src},
                            Shown{dst_dir_shown, dst}, true) != 0)
        return AttrStep::kXattrs;
    return read_flag_word(in, flags) ? AttrStep::kNone : AttrStep::kFlags;
}

int copy_file_with_attributes(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                              const struct stat &st, const char *src_dir_shown,
                              const char *dst_dir_shown, AttrStep &step, int &flags) {
    step = AttrStep::kNone;
    flags = 0;
    struct stat in_st;
    Fd in = open_regular_at(src_dirfd, src, &in_st);
    if (!in.ok())
        return -1;
    Fd out = open_output(dst_dirfd, dst, O_WRONLY, true, false, 0770);
    if (!out.ok() || copy_data(in.get(), out.get(), in_st) != 0)
        return -1;
    step = copy_attributes_open(in.get(), out.get(), src_dirfd, src, dst_dirfd, dst, st,
                                src_dir_shown, dst_dir_shown, flags);
    if (out.close() != 0)
        return -1;
    return 0;
}

}  // namespace kx

extern "C" {

int kxlchmod(const char *path, unsigned int mode) {
    return kxlchmod_at(AT_FDCWD, path, mode);
}

int kxlchmod_at(int dirfd, const char *name, unsigned int mode) {
    std::string path = kx::fd_path(dirfd, name);
    long r = ::syscall(kCallLchmod, path.c_str(), static_cast<unsigned long>(mode));
    if (r == -1 && errno == ENOSYS)
        return chmod_nofollow_at(dirfd, name, mode);
    return static_cast<int>(r);
}

int kxlutime(const char *path, const struct utimbuf *times) {
    return kxlutime_at(AT_FDCWD, path, times);
}

int kxlutime_at(int dirfd, const char *name, const struct utimbuf *times) {
    if (times == nullptr)
        return link_utimes_at(dirfd, name, nullptr);
    struct timespec ts[2] = {{times->actime, 0}, {times->modtime, 0}};
    return link_utimes_at(dirfd, name, ts);
}

int get_eattr(const char *path, long long *flags) {
    return get_eattr_at(AT_FDCWD, path, flags);
}

int get_eattr_at(int dirfd, const char *name, long long *flags) {
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    // Links, devices, fifos and sockets carry no flag word we may read.
    if (!has_flag_word(st.st_mode)) {
        *flags = 0;
        return 0;
    }
    kx::Fd fd = open_entry(dirfd, name, st);
    if (!fd.ok())
        return -1;
    return read_flags(fd.get(), flags);
}

int set_eattr(const char *path, int flags) {
    return set_eattr_at(AT_FDCWD, path, flags);
}

int set_eattr_at(int dirfd, const char *name, int flags) {
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!has_flag_word(st.st_mode)) {
        if (flags == 0)
            return 0;
        errno = EOPNOTSUPP;
        return -1;
    }
    kx::Fd fd = open_entry(dirfd, name, st);
    if (!fd.ok())
        return -1;
    int word = flags;
    return ::ioctl(fd.get(), kSetFlags, &word) == 0 ? 0 : -1;
}

int check_eattr(const char *path) {
    return check_eattr_at(AT_FDCWD, path);
}

int check_eattr_at(int dirfd, const char *name) {
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!has_flag_word(st.st_mode))
        return ::llistxattr(kx::fd_path(dirfd, name).c_str(), nullptr, 0) > 0 ? 1 : 0;
    kx::Fd fd = open_entry(dirfd, name, st);
    if (!fd.ok())
        return -1;
    return kx::own_attributes(fd.get());
}

int copy_xattrs(const char *src, const char *dst) {
    return copy_xattrs_at(AT_FDCWD, src, AT_FDCWD, dst, nullptr, nullptr);
}

// The attributes of the entries themselves, links included: through the
// l* calls on a path that names each entry without following it.
int copy_xattrs_at(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                   const char *src_dir_shown, const char *dst_dir_shown) {
    return copy_xattrs_between(XattrEnd{-1, kx::fd_path(src_dirfd, src)},
                               XattrEnd{-1, kx::fd_path(dst_dirfd, dst)},
                               Shown{src_dir_shown, src}, Shown{dst_dir_shown, dst});
}

int copy_eattr(const char *src, const char *dst) {
    return copy_eattr_at(AT_FDCWD, src, AT_FDCWD, dst);
}

int copy_eattr_at(int src_dirfd, const char *src, int dst_dirfd, const char *dst) {
    struct stat st;
    if (::fstatat(src_dirfd, src, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!has_flag_word(st.st_mode))
        return 0;
    long long flags = 0;
    if (get_eattr_at(src_dirfd, src, &flags) != 0)
        return -1;
    if (flags == 0)
        return 0;
    return set_eattr_at(dst_dirfd, dst, static_cast<int>(flags));
}

int set_attr(const char *path, const struct stat *st) {
    return set_attr_at(AT_FDCWD, path, st);
}

// Every change goes to the entry itself: should it have become a link since
// the caller looked, the link is changed (or the change refused), never its
// target.
int set_attr_at(int dirfd, const char *name, const struct stat *st) {
    if (::fchownat(dirfd, name, st->st_uid, st->st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    unsigned int mode = st->st_mode & 07777;
    struct timespec ts[2] = {st->st_atim, st->st_mtim};
    if (S_ISLNK(st->st_mode)) {
        if (kxlchmod_at(dirfd, name, mode) != 0 || link_utimes_at(dirfd, name, ts) != 0)
            return -1;
        return 0;
    }
    if (chmod_nofollow_at(dirfd, name, mode) != 0 ||
        ::utimensat(dirfd, name, ts, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return 0;
}

int read_shortcut(const char *path, char *buf, size_t size) {
    return read_shortcut_at(AT_FDCWD, path, buf, size);
}

int read_shortcut_at(int dirfd, const char *name, char *buf, size_t size) {
    kx::Fd fd(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok())
        return -1;
    // Only a regular file is read: a fifo or device swapped in is not.
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return -2;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -2;
    }
    std::string content;
    if (!kx::read_shortcut_text(fd.get(), kShortcutReadMax, content))
        return -2;
    fd.close();
    if (content.size() + 1 > size)
        return -3;
    std::memcpy(buf, content.c_str(), content.size() + 1);
    return static_cast<int>(content.size());
}

int make_shortcut(const char *path, const char *data, int length, const struct stat *st) {
    return make_shortcut_at(AT_FDCWD, path, data, length, st, nullptr);
}

// The new shortcut gets its data, owner, mode and times while it is still
// the temporary file, created under a name nobody else holds; only the
// finished file is renamed over the entry, so an interruption leaves either
// the old entry or the complete shortcut.
int make_shortcut_at(int dirfd, const char *name, const char *data, int length,
                     const struct stat *st, const char *dir_shown) {
    const std::string shown = kx::shown_path(dir_shown, name);
    kx::TempName temp;
    kx::Fd fd;
    if (!temp.create_file(dirfd, name, '-', fd)) {
        werror(errno, "Can't create shortcut '%s'", (shown + "-XXXXXX").c_str());
        return 1;
    }
    const std::string temp_shown = kx::shown_path(dir_shown, temp.c_str());
    if (fill_shortcut(fd.get(), data, length, st, shown, temp_shown) != 0)
        return 1;
    if (fd.close() != 0) {
        werror(errno, "Can't write shortcut '%s'", temp_shown.c_str());
        return 1;
    }
    if (::renameat(dirfd, temp.c_str(), dirfd, name) != 0) {
        werror(errno, "Can't rename '%s' to '%s'", temp_shown.c_str(), shown.c_str());
        return 1;
    }
    temp.keep();
    return 0;
}

int compare_stat(const struct stat *a, const struct stat *b) {
    return a->st_uid == b->st_uid && a->st_gid == b->st_gid &&
           ((a->st_mode & 07777) | S_ISVTX) == ((b->st_mode & 07777) | S_ISVTX);
}

int copy_reg_file(const char *src, const char *dst) {
    return copy_regular(AT_FDCWD, src, AT_FDCWD, dst, false);
}

int copy_reg_file_at(int src_dirfd, const char *src, int dst_dirfd, const char *dst) {
    return copy_regular(src_dirfd, src, dst_dirfd, dst, true);
}

int create_mfile(const char *path, uint64_t value, unsigned int mode) {
    int request, closed;
    request_node(path, value, mode, S_IFREG, &request, &closed);
    if (closed != 0)
        return -2;
    return request != 0 ? -1 : 0;
}

int create_cowdir(const char *path, uint64_t value, unsigned int mode) {
    int request, closed;
    request_node(path, value, mode, S_IFDIR, &request, &closed);
    return request != 0 || closed != 0 ? -1 : 0;
}

}  // extern "C"
