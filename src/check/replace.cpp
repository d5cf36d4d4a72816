// How the checker puts a new entry in the place of a magic link: the cow
// file itself, a further name of it, or a copy of its data, each prepared
// whole (owner, mode and times applied) before the one rename that puts it
// in place; a link without its cow mark; a further name of a shortcut.
//
// Temporaries lie in cow_dir, in the tree's filesystem and out of the
// container's view, under "<cow name>.bak". A name found there that is the
// run's own leftover (an interrupted run left it between making it and the
// rename) is made anew; anything else is left as it is and a fresh name is
// taken. Copies are made as files without a name and get one only when
// complete.
//
// An inode may have names outside the area (a cow file hard-linked to a
// host file): it is changed in place only when it has no other name, or
// when it already carries what the change would give it; otherwise its
// data are copied to a new inode.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "area.h"
#include "check.h"
#include "entry.h"

namespace {

constexpr size_t kBlock = 1 << 20;
constexpr unsigned long kGetFlags = 0x80086601UL;
constexpr unsigned long kSetFlags = 0x40086602UL;

// Whether the inode already carries the owner, permission bits and
// modification time of attrs.
bool carries(const struct stat &st, const struct stat &attrs) {
    return st.st_uid == attrs.st_uid && st.st_gid == attrs.st_gid &&
           (st.st_mode & 07777) == (attrs.st_mode & 07777) &&
           st.st_mtim.tv_sec == attrs.st_mtim.tv_sec &&
           st.st_mtim.tv_nsec == attrs.st_mtim.tv_nsec;
}

bool apply_attrs(int fd, const struct stat &attrs) {
    struct timespec ts[2] = {attrs.st_atim, attrs.st_mtim};
    return ::fchown(fd, attrs.st_uid, attrs.st_gid) == 0 &&
           ::fchmod(fd, attrs.st_mode & 07777) == 0 && ::futimens(fd, ts) == 0;
}

// The extended attributes of in, set on out.
bool copy_xattrs_fd(int in, int out) {
    ssize_t size = ::flistxattr(in, nullptr, 0);
    if (size <= 0)
        return size == 0 || errno == ENOTSUP;
    std::string names(static_cast<size_t>(size), '\0');
    size = ::flistxattr(in, names.data(), names.size());
    if (size < 0)
        return false;
    std::string value;
    for (size_t at = 0; at < static_cast<size_t>(size);) {
        const char *name = names.c_str() + at;
        at += std::strlen(name) + 1;
        ssize_t n = ::fgetxattr(in, name, nullptr, 0);
        if (n < 0)
            return false;
        value.resize(static_cast<size_t>(n));
        n = ::fgetxattr(in, name, value.data(), value.size());
        if (n < 0 || ::fsetxattr(out, name, value.data(), static_cast<size_t>(n), 0) != 0)
            return false;
    }
    return true;
}

// A new file of cow_dir holding the data, extended attributes and the
// given attributes of the open cow file cow: without a name when the
// filesystem allows (tmp empty), else under a temporary name (tmp).
kx::Fd copy_of(int cow, const char *cow_name, const struct stat &attrs, std::string &tmp) {
    int cowfd = area->cow.fd;
    kx::Fd out(::openat(cowfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    tmp.clear();
    if (!out.ok()) {
        tmp = make_cow_temporary(
            cow_name,
            [&out](int dirfd, const char *candidate) {
                out = kx::Fd(::openat(dirfd, candidate,
                                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
                return out.ok() ? 0 : -1;
            },
            [cow](int dirfd, const char *candidate) {
                struct stat st;
                kx::Fd held = kx::open_regular_at(dirfd, candidate, &st);
                return held.ok() && st.st_nlink == 1 && same_content(held.get(), cow);
            });
        if (tmp.empty())
            return kx::Fd();
    }
    bool made = ::lseek(cow, 0, SEEK_SET) == 0 && kx::copy_stream(cow, out.get()) == 0 &&
                copy_xattrs_fd(cow, out.get()) && apply_attrs(out.get(), attrs);
    if (!made) {
        int err = errno;
        if (!tmp.empty())
            ::unlinkat(cowfd, tmp.c_str(), 0);
        errno = err;
        return kx::Fd();
    }
    return out;
}

// Flags that forbid renaming the file: set only once it is in place.
constexpr int kLastFlags = 0x10 /* immutable */ | 0x20 /* append only */;
// The filesystem's own bookkeeping bits.
constexpr int kOwnFlags = 0x00040000 | 0x00080000;

// The inode flags of in, set on out: before the rename (last false) all
// but those that would forbid it, after it (last true) all of them; out
// keeps the filesystem's own bits. True when there was nothing to set or
// it was set.
bool copy_flags(int in, int out, bool last) {
    int word = 0, own = 0;
    if (::ioctl(in, kGetFlags, &word) != 0)
        return errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL;
    word &= ~kOwnFlags;
    if (word == 0 || (last && !(word & kLastFlags)))
        return true;
    if (!last)
        word &= ~kLastFlags;
    if (::ioctl(out, kGetFlags, &own) != 0)
        return false;
    word |= own & kOwnFlags;
    return ::ioctl(out, kSetFlags, &word) == 0;
}

// What replaced one name of a link inode (a copy of its cow file, a link
// without the mark), which its other names in the tree join: its path
// below root_dir and its identity.
struct replacement {
    std::string rel;
    dev_t dev;
    ino_t ino;
};
std::unordered_map<kx::InodeKey, replacement, kx::InodeKeyHash> replacements;

void remember_replacement(const item_ref &at, int fd_or_dirfd, const char *name) {
    struct stat made;
    int r = name ? ::fstatat(fd_or_dirfd, name, &made, AT_SYMLINK_NOFOLLOW)
                 : ::fstat(fd_or_dirfd, &made);
    if (at.st->st_nlink > 1 && r == 0)
        replacements[{at.st->st_dev, at.st->st_ino}] = {below_root(at), made.st_dev, made.st_ino};
}

// Renames the temporary tmp of cow_dir into the place of the entry at; the
// temporary goes when the rename fails.
int rename_into_place(const std::string &tmp, const item_ref &at, const char **failed) {
    if (::renameat(area->cow.fd, tmp.c_str(), at.dirfd, at.name) == 0)
        return 0;
    int err = errno;
    ::unlinkat(area->cow.fd, tmp.c_str(), 0);
    errno = err;
    *failed = "rename";
    return -1;
}

// Links what replaced another name of the same link inode into the place
// of at: 0 done, -1 failed, 1 there is no such replacement (any more).
int join_replacement(const item_ref &at, const char *cow_name, mode_t type, const char **failed) {
    auto known = replacements.find({at.st->st_dev, at.st->st_ino});
    if (known == replacements.end())
        return 1;
    const replacement &copy = known->second;
    size_t slash = copy.rel.rfind('/');
    std::string dir = slash == std::string::npos ? "" : copy.rel.substr(0, slash);
    std::string leaf = slash == std::string::npos ? copy.rel : copy.rel.substr(slash + 1);
    kx::Fd kdir(kx::open_beneath(area->root.fd, dir.c_str(), O_PATH | O_DIRECTORY));
    struct stat st;
    if (!kdir.ok() || ::fstatat(kdir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        (st.st_mode & S_IFMT) != type || !kx::same_inode(st, copy.dev, copy.ino))
        return 1;
    std::string tmp = make_cow_temporary(
        cow_name,
        [&](int dirfd, const char *candidate) {
            return ::linkat(kdir.get(), leaf.c_str(), dirfd, candidate, 0);
        },
        [&copy](int dirfd, const char *candidate) {
            struct stat held;
            return ::fstatat(dirfd, candidate, &held, AT_SYMLINK_NOFOLLOW) == 0 &&
                   kx::same_inode(held, copy.dev, copy.ino);
        });
    if (tmp.empty()) {
        *failed = "link";
        return -1;
    }
    return rename_into_place(tmp, at, failed);
}

// A copy of the cow file (open as cow) in the place of at, or a further
// name of the copy made for another name of the same link. Results as
// put_cow_in_place.
int copy_into_place(int cow, const char *name, const item_ref &at, const struct stat &attrs,
                    const char **failed) {
    int joined = join_replacement(at, name, S_IFREG, failed);
    if (joined <= 0)
        return joined;
    std::string tmp;
    kx::Fd copy = copy_of(cow, name, attrs, tmp);
    if (!copy.ok()) {
        *failed = "link";
        return -1;
    }
    if (tmp.empty()) {
        const int from = copy.get();
        tmp = make_cow_temporary(
            name,
            [from](int dirfd, const char *candidate) {
                return kx::link_open_file(from, dirfd, candidate);
            },
            [cow](int dirfd, const char *candidate) {
                struct stat held_st;
                kx::Fd held = kx::open_regular_at(dirfd, candidate, &held_st);
                return held.ok() && held_st.st_nlink == 1 && same_content(held.get(), cow);
            });
        if (tmp.empty()) {
            *failed = "link";
            return -1;
        }
    }
    if (!copy_flags(cow, copy.get(), false)) {
        int err = errno;
        ::unlinkat(area->cow.fd, tmp.c_str(), 0);
        errno = err;
        *failed = "attr";
        return -1;
    }
    if (rename_into_place(tmp, at, failed) != 0)
        return -1;
    remember_replacement(at, copy.get(), nullptr);
    if (!copy_flags(cow, copy.get(), true)) {
        *failed = "attr";
        return 1;
    }
    return 0;
}

}  // namespace

std::string below_root(const item_ref &at) {
    return at.dir_rel[0] == '\0' ? std::string(at.name) : kx::join(at.dir_rel, at.name);
}

bool same_content(int fd1, int fd2) {
    struct stat a, b;
    if (::fstat(fd1, &a) != 0 || ::fstat(fd2, &b) != 0 || !S_ISREG(a.st_mode) ||
        !S_ISREG(b.st_mode) || a.st_size != b.st_size)
        return false;
    std::unique_ptr<char[]> x(new char[kBlock]), y(new char[kBlock]);
    for (off_t at = 0; at < a.st_size;) {
        ssize_t n = ::pread(fd1, x.get(), kBlock, at);
        if (n <= 0 || ::pread(fd2, y.get(), static_cast<size_t>(n), at) != n ||
            std::memcmp(x.get(), y.get(), static_cast<size_t>(n)) != 0)
            return false;
        at += n;
    }
    return true;
}

bool is_shortcut_of(int dirfd, const char *name, const char *text) {
    struct stat st;
    size_t len = std::strlen(text);
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !(st.st_mode & COW_MARK) || static_cast<size_t>(st.st_size) != len)
        return false;
    std::string content(len + 1, '\0');
    return read_shortcut_at(dirfd, name, content.data(), content.size()) ==
               static_cast<int>(len) &&
           std::memcmp(content.data(), text, len) == 0;
}

std::string make_cow_temporary(const char *cow_name,
                               const std::function<int(int, const char *)> &make,
                               const std::function<bool(int, const char *)> &is_ours) {
    int cowfd = area->cow.fd;
    std::string bak = std::string(cow_name) + ".bak";
    if (make(cowfd, bak.c_str()) == 0)
        return bak;
    if (errno != EEXIST)
        return "";
    if (is_ours && is_ours(cowfd, bak.c_str())) {
        if (::unlinkat(cowfd, bak.c_str(), 0) == 0 && make(cowfd, bak.c_str()) == 0)
            return bak;
        if (errno != EEXIST)
            return "";
    } else {
        warning(0, "'%s' is not the checker's: left as it is", kx::join(cow_dir, bak).c_str());
    }
    kx::TempName temp;
    if (!temp.make(cowfd, cow_name, '.', make))
        return "";
    temp.keep();
    return temp.name();
}

int put_cow_in_place(const char *name, const struct stat &cow_seen, const item_ref &at,
                     const struct stat &attrs, cow_use use, const char **failed) {
    int cowfd = area->cow.fd;
    *failed = use == COW_TAKE ? "rename" : "link";
    struct stat st;
    kx::Fd cow = kx::open_regular_at(cowfd, name, &st, &cow_seen);
    if (!cow.ok())
        return -1;
    bool shared = st.st_nlink > 1 && !carries(st, attrs);
    if (use == COW_COPY || shared) {
        int r = copy_into_place(cow.get(), name, at, attrs, failed);
        if (r != 0)
            return r;
        // The cow file was to go: its own name goes, its inode stays with
        // its other names.
        struct stat now;
        if (use == COW_TAKE && ::fstatat(cowfd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            kx::same_inode(now, st.st_dev, st.st_ino))
            ::unlinkat(cowfd, name, 0);
        return 0;
    }
    // In place: the inode has no other name, or already carries the
    // attributes (a further name the run gave it). Without its attributes
    // it does not go to the link's place.
    if (st.st_nlink <= 1 && !apply_attrs(cow.get(), attrs)) {
        *failed = "attr";
        return -1;
    }
    if (use == COW_TAKE) {
        if (::renameat(cowfd, name, at.dirfd, at.name) != 0)
            return -1;
    } else {
        const int from = cow.get();
        dev_t dev = st.st_dev;
        ino_t ino = st.st_ino;
        std::string tmp = make_cow_temporary(
            name,
            [from](int dirfd, const char *candidate) {
                return kx::link_open_file(from, dirfd, candidate);
            },
            [dev, ino](int dirfd, const char *candidate) {
                struct stat held;
                return ::fstatat(dirfd, candidate, &held, AT_SYMLINK_NOFOLLOW) == 0 &&
                       kx::same_inode(held, dev, ino);
            });
        if (tmp.empty())
            return -1;
        if (rename_into_place(tmp, at, failed) != 0)
            return -1;
    }
    return 0;
}

std::string make_shortcut_temporary(const char *cow_name, const char *text,
                                    const struct stat &attrs) {
    auto is_ours = [text](int dirfd, const char *candidate) {
        return is_shortcut_of(dirfd, candidate, text);
    };
    size_t length = std::strlen(text);
    kx::Fd fd(::openat(area->cow.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd.ok()) {
        // Without unnamed files: written under its temporary name.
        return make_cow_temporary(
            cow_name,
            [&](int dirfd, const char *candidate) {
                kx::Fd out(::openat(dirfd, candidate,
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
                if (!out.ok())
                    return -1;
                kx::allocate_ahead(out.get(), length);
                if (kx::write_all(out.get(), text, length) && apply_attrs(out.get(), attrs))
                    return 0;
                int err = errno;
                ::unlinkat(dirfd, candidate, 0);
                errno = err == EEXIST ? EIO : err;
                return -1;
            },
            is_ours);
    }
    kx::allocate_ahead(fd.get(), length);
    if (!kx::write_all(fd.get(), text, length) || !apply_attrs(fd.get(), attrs))
        return "";
    const int from = fd.get();
    return make_cow_temporary(
        cow_name,
        [from](int dirfd, const char *candidate) {
            return kx::link_open_file(from, dirfd, candidate);
        },
        is_ours);
}

int link_in_place(int from_dirfd, const char *from, const item_ref &at, const char *cow_name,
                  const char *text, const char **failed) {
    *failed = "link";
    std::string tmp = make_cow_temporary(
        cow_name,
        [from_dirfd, from](int dirfd, const char *candidate) {
            return ::linkat(from_dirfd, from, dirfd, candidate, 0);
        },
        [text](int dirfd, const char *candidate) { return is_shortcut_of(dirfd, candidate, text); });
    if (tmp.empty())
        return -1;
    return rename_into_place(tmp, at, failed);
}

int clear_link_mark(const item_ref &at, const struct stat &link_stat) {
    unsigned int mode = (link_stat.st_mode & 07777) & ~COW_MARK;
    if (names_accounted(link_stat))
        return kxlchmod_at(at.dirfd, at.name, mode);
    // Its other names may lie outside the area: the names in the tree get
    // a link of their own, one inode for all of them.
    std::string text;
    if (!kx::read_link(at.dirfd, at.name, link_stat.st_size, text))
        return -1;
    std::unique_ptr<char, kx::FreeDeleter> cow_name(vefs_path_to_name(text.c_str()));
    const char *failed;
    item_ref here = at;
    here.st = &link_stat;
    int joined = join_replacement(here, cow_name.get(), S_IFLNK, &failed);
    if (joined <= 0)
        return joined;
    std::string tmp = make_cow_temporary(
        cow_name.get(),
        [&text](int dirfd, const char *candidate) {
            return ::symlinkat(text.c_str(), dirfd, candidate);
        },
        [&text](int dirfd, const char *candidate) {
            std::string held;
            struct stat st;
            return ::fstatat(dirfd, candidate, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISLNK(st.st_mode) && kx::read_link(dirfd, candidate, st.st_size, held) &&
                   held == text;
        });
    if (tmp.empty())
        return -1;
    struct stat attrs = link_stat;
    attrs.st_mode = S_IFLNK | mode;
    if (set_attr_at(area->cow.fd, tmp.c_str(), &attrs) != 0) {
        int err = errno;
        ::unlinkat(area->cow.fd, tmp.c_str(), 0);
        errno = err;
        return -1;
    }
    if (rename_into_place(tmp, at, &failed) != 0)
        return -1;
    remember_replacement(here, at.dirfd, at.name);
    return 0;
}
