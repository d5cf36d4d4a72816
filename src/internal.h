// Internal helpers shared by the library modules and the tools: RAII holders
// for descriptors, directory handles and mappings, path joining, and the one
// place where the fixed host paths are built. Header-only and not exported:
// every user compiles its own copy with hidden visibility.
#ifndef KXFS_INTERNAL_H
#define KXFS_INTERNAL_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

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

// Fixed paths of the host. A testing build lets KXFS_TEST_HOST_ROOT put all
// of them below another directory; a default build has no environment lookup.
inline constexpr const char *kTemplateRoot = "/kx/template";
inline constexpr const char *kConfigDir = "/etc/sysconfig/kx-scripts";
inline constexpr const char *kProcMounts = "/proc/mounts";
inline constexpr const char *kQuotaTool = "/usr/sbin/kxquota";
inline constexpr const char *kPackageTool = "/usr/sbin/kxpkg";

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
