// The library's small shared pieces: holders that release descriptors,
// directory handles, mappings and malloc blocks; text and I/O helpers; and
// the checks of broken assumptions. Header-only, compiled with hidden
// visibility into every user.
#ifndef KXFS_BASE_H
#define KXFS_BASE_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "libkxfsutil.h"

// A broken assumption ends the process with status 255, naming the source
// file (its path from the top of the tree), the line and the function.
#define KX_ASSERT(cond)                                                               \
    do {                                                                              \
        if (!(cond))                                                                  \
            error(255, 0, "ASSERTION FAILED: %s(%d), function '%s()', condition: %s", \
                  __FILE__, __LINE__, __func__, #cond);                               \
    } while (0)
#define KX_BUG()                                                                     \
    (error(255, 0, "Bug: %s(%d), function '%s()'", __FILE__, __LINE__, __func__), \
     std::abort())

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

// How messages show the entry name of a directory shown as dir: "dir/name",
// or the name as given when the directory has no path to show.
inline std::string shown_path(const char *dir, const char *name) {
    return dir ? join(dir, name) : std::string(name);
}

}  // namespace kx

#endif
