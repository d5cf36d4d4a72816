// The classified walk of a private area, and the recursive removal of a tree.
//
// scan_private_at visits every entry below a root descriptor once, depth
// first from the most recently met subdirectory, and hands each to the
// caller's callback already classified (shortcut, magic link, plain file,
// plain link, directory, other node, or a name known only from the
// directory's dirindex), with the descriptor of its directory. scan_private
// runs the same walk with the working directory at the area root and the
// callback of relative paths.
//
// Each pending directory is reopened beneath the root descriptor without
// following a link in any component, and must still be the directory its
// parent listed; its entries are examined relative to that descriptor, so
// the walk never leaves the tree through a link the container planted.
// Nothing is followed except the stat of a dirindex entry's template object
// (the template is the host's), reported as the template's own record.
#include "area.h"
#include "host.h"
#include "walk.h"
#include "messages.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

// Longest content that can hold a magic target, with room to tell it apart.
constexpr size_t kShortcutRead = 4096;

// A listing that takes over the directory descriptor fd; the *at calls use
// dirfd() of the listing.
kx::Dir open_listing(kx::Fd &fd) {
    if (!fd.ok())
        return kx::Dir();
    DIR *d = fdopendir(fd.get());
    if (d)
        fd.release();
    return kx::Dir(d);
}

// Directory flags of dir: SCAN_DIR_INDEXED, SCAN_DIR_LINKED or 0.
int directory_flags(int dirfd, const struct stat &dir) {
    if (!(dir.st_mode & S_ISUID))
        return 0;
    struct stat marker;
    if (fstatat(dirfd, DIRINDEX_NAME, &marker, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    if (S_ISLNK(marker.st_mode))
        return SCAN_DIR_LINKED;
    if (S_ISREG(marker.st_mode))
        return SCAN_DIR_INDEXED;
    return 0;
}

// The first bytes of a sticky file (up to kShortcutRead), enough to tell a
// shortcut from a plain file; false with errno set when it cannot be read.
bool read_shortcut_text(int dirfd, const char *name, std::string &text) {
    kx::Fd fd(openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok())
        return false;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    text.resize(kShortcutRead);
    size_t got = 0;
    while (got < kShortcutRead) {
        ssize_t n = read(fd.get(), text.data() + got, kShortcutRead - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            text.clear();
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return true;
}

// The caller's callback, in either form.
struct Callback {
    scan_at_callback at = nullptr;
    scan_callback plain = nullptr;
    void *data = nullptr;

    int operator()(int dirfd, const char *name, const std::string &path, const char *text,
                   int flags, const struct stat *st) const {
        if (at)
            return at(data, dirfd, name, path.c_str(), text, flags, st);
        return plain(data, path.c_str(), text, flags, st);
    }
};

// Classifies one entry and calls the callback: its result, or 0 when the
// entry is not reported.
int report_entry(int dirfd, const char *name, const std::string &path, int dir_flags,
                 const struct stat &st, const Callback &cb) {
    mode_t mode = st.st_mode;
    if (S_ISREG(mode) && (mode & S_ISVTX)) {
        std::string content;
        if (!read_shortcut_text(dirfd, name, content)) {
            werror(errno, "error read shortcut'%s'", path.c_str());
            return cb(dirfd, name, path, nullptr, dir_flags | SCAN_FILE, &st);
        }
        if (kx::is_magic(content.c_str()))
            return cb(dirfd, name, path, content.c_str(), dir_flags | SCAN_SHORTCUT, &st);
        return cb(dirfd, name, path, nullptr, dir_flags | SCAN_FILE, &st);
    }
    if (S_ISREG(mode))
        return cb(dirfd, name, path, nullptr, dir_flags | SCAN_FILE, &st);
    if (S_ISLNK(mode)) {
        std::string text;
        if (!kx::read_link(dirfd, name, st.st_size, text))
            werror(errno, "error read symlink '%s'", path.c_str());
        if (kx::is_magic(text.c_str())) {
            // A leftover marker of a directory that is not template-backed.
            if (dir_flags == 0 && std::strcmp(name, DIRINDEX_NAME) == 0)
                return 0;
            return cb(dirfd, name, path, text.c_str(), dir_flags | SCAN_MAGIC_LINK, &st);
        }
        return cb(dirfd, name, path, text.c_str(), dir_flags | SCAN_SYMLINK, &st);
    }
    if (S_ISDIR(mode))
        return cb(dirfd, name, path, nullptr, dir_flags | SCAN_DIR, &st);
    return cb(dirfd, name, path, nullptr, dir_flags | SCAN_OTHER, &st);
}

struct DirindexArray {
    char **entries = nullptr;
    ~DirindexArray() {
        if (!entries)
            return;
        for (char **e = entries; *e; ++e)
            std::free(*e);
        std::free(entries);
    }
};

// Reports the names of dir's dirindex that the directory does not hold.
int report_template_entries(int dirfd, const std::string &dir, int dir_flags,
                            const std::unordered_set<std::string> &held, const Callback &cb) {
    DirindexArray list;
    list.entries = read_dirindex_at(dirfd, DIRINDEX_NAME, dir.c_str());
    if (!list.entries) {
        if (kxfsutil_debug_level >= 1)
            debug_print(1, "Error read dirindex '%s'\n", kx::join(dir, DIRINDEX_NAME).c_str());
        return -1;
    }
    const std::string template_root = kx::host_path(kx::kTemplateRoot);
    for (char **entry = list.entries; *entry; ++entry) {
        const char *slash = std::strrchr(*entry, '/');
        const char *name = slash ? slash + 1 : nullptr;
        if (!name || !*name) {
            if (kxfsutil_debug_level >= 2)
                debug_print(2, "can't get name from '%s'\n", *entry);
            continue;
        }
        // The directory always holds "." and ".." itself.
        if (kx::is_dot_or_dotdot(name) || held.count(name))
            continue;
        std::string path = kx::join(dir, name);
        std::string template_path = kx::join(template_root, *entry);
        struct stat st;
        // An entry that climbs out of the template names nothing there.
        int failed = kx::leaves_root(*entry) ? EXDEV : 0;
        if (failed == 0 && stat(template_path.c_str(), &st) != 0)
            failed = errno;
        if (failed != 0) {
            werror(failed, "can't stat '%s'", template_path.c_str());
            std::memset(&st, 0, sizeof st);
        }
        int r = cb(dirfd, name, path, *entry, dir_flags | SCAN_TEMPLATE_ENTRY, &st);
        if (r != 0)
            return r;
    }
    return 0;
}

// The names of a directory (without "." and ".."), in listing order.
// false with errno set when the listing fails.
bool list_names(DIR *listing, std::vector<std::string> &names) {
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(listing);
        if (!de)
            return errno == 0;
        if (!kx::is_dot_or_dotdot(de->d_name))
            names.emplace_back(de->d_name);
    }
}

// A directory waiting to be walked: its path below the root and the inode
// its parent's listing showed.
struct Pending {
    std::string path;
    dev_t dev;
    ino_t ino;
};

// Opens the directory dir below rootfd without following any link. With
// expect given it must be that inode: a directory swapped for another after
// its parent was listed is not walked.
kx::Fd open_walked_dir(int rootfd, const std::string &dir, const Pending *expect) {
    if (dir == ".")
        return kx::Fd(openat(rootfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (expect)
        return kx::open_dir_beneath(rootfd, dir.c_str(), expect->dev, expect->ino);
    if (dir[0] == '/')
        return kx::Fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return kx::Fd(kx::open_beneath(rootfd, dir.c_str(), O_RDONLY | O_DIRECTORY));
}

// Walks one directory (the path below rootfd) and hands each subdirectory
// met to push(path, stat record).
template <class Push>
int walk_one_dir(int rootfd, const std::string &dir, const Pending *expect, const Callback &cb,
                 Push push, readahead_stage *ra = nullptr) {
    kx::Fd dir_fd = open_walked_dir(rootfd, dir, expect);
    struct stat self;
    if (!dir_fd.ok()) {
        // A directory that is gone is no longer there to walk.
        if (errno == ENOENT)
            return -1;
        werror(errno, "can't open directory '%s'", dir.c_str());
        return -1;
    }
    if (fstat(dir_fd.get(), &self) != 0)
        return -1;
    const int dir_flags = directory_flags(dir_fd.get(), self);
    const bool indexed = dir_flags == SCAN_DIR_INDEXED;

    // The names are taken first, so that a callback that replaces an entry
    // by rename never makes the walk meet a name twice.
    kx::Dir listing = open_listing(dir_fd);
    std::vector<std::string> names;
    if (!listing.ok() || !list_names(listing.get(), names)) {
        werror(errno, "can't open directory '%s'", dir.c_str());
        return -1;
    }
    const int fd = ::dirfd(listing.get());

    const bool at_root = dir == ".";
    std::unordered_set<std::string> held;
    std::string path;
    for (const std::string &name : names) {
        readahead_advance(ra, 1);
        if (indexed) {
            if (name == DIRINDEX_NAME)
                continue;
            held.insert(name);
        }
        if (at_root)
            path = name;
        else
            path.assign(dir).append(1, '/').append(name);
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return -2;
        int result = report_entry(fd, name.c_str(), path, dir_flags, st, cb);
        if (result != 0)
            return result;
        if (S_ISDIR(st.st_mode))
            push(path, st);
    }
    if (!indexed)
        return 0;
    return report_template_entries(fd, dir, dir_flags, held, cb);
}

// The whole walk below rootfd: the root's entries, then the pending
// directories, the most recently met first.
int walk_tree(int rootfd, const Callback &cb) {
    // Caches are warmed ahead of the walk, which reads every link text,
    // the start of every sticky file and the dirindex of indexed directories.
    std::unique_ptr<readahead_stage, void (*)(readahead_stage *)> ra(
        walk_readahead(rootfd, READAHEAD_LINKS | READAHEAD_SHORTCUTS | READAHEAD_INDEXES),
        stop_readahead);
    std::vector<Pending> stack;
    auto push = [&stack, &ra](const std::string &path, const struct stat &st) {
        stack.push_back(Pending{path, st.st_dev, st.st_ino});
        readahead_push_dir(ra.get(), path.c_str());
    };
    readahead_enter_dir(ra.get(), "");
    int result = walk_one_dir(rootfd, ".", nullptr, cb, push, ra.get());
    while (result == 0 && !stack.empty()) {
        Pending next = std::move(stack.back());
        stack.pop_back();
        readahead_enter_dir(ra.get(), next.path.c_str());
        result = walk_one_dir(rootfd, next.path, &next, cb, push, ra.get());
    }
    return result;
}

// Removes the tree name of the directory parentfd: its entries first, then
// the directory, following no link. path is the name shown in messages. One
// descriptor is held per level of depth.
int remove_tree(int parentfd, const char *name, const std::string &path) {
    kx::Fd dir_fd(openat(parentfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    kx::Dir listing = open_listing(dir_fd);
    if (!listing.ok()) {
        kx::print_stderr("opendir(\"%s\") error: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    const int fd = ::dirfd(listing.get());
    int result = 0;
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(listing.get());
        if (!de) {
            if (errno != 0) {
                kx::print_stderr("readdir(\"%s\") error: %s", path.c_str(),
                             std::strerror(errno));
                result = -1;
            }
            break;
        }
        if (kx::is_dot_or_dotdot(de->d_name))
            continue;
        std::string child = kx::join(path, de->d_name);
        struct stat st;
        if (fstatat(fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            kx::print_stderr("lstat(\"%s\") error: %s", child.c_str(), std::strerror(errno));
            result = -1;
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            result = remove_tree(fd, de->d_name, child);
            if (result != 0)
                break;
        } else if (unlinkat(fd, de->d_name, 0) != 0) {
            kx::print_stderr("unlink(\"%s\") error: %s", child.c_str(), std::strerror(errno));
            result = -1;
            break;
        }
    }
    listing.close();
    if (unlinkat(parentfd, name, AT_REMOVEDIR) != 0) {
        kx::print_stderr("rmdir(\"%s\") error: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    return result;
}

}  // namespace

extern "C" {

int scan_one_dir(const char *dir, struct dir_stack *stack, scan_callback cb, void *data) {
    Callback callback;
    callback.plain = cb;
    callback.data = data;
    try {
        return walk_one_dir(AT_FDCWD, dir, nullptr, callback,
                            [stack](const std::string &path, const struct stat &) {
                                kx::push_dir(stack, path);
                            });
    } catch (const std::bad_alloc &) {
        werror(ENOMEM, "error allocate memory");
        return -2;
    }
}

int scan_private_at(int rootfd, scan_at_callback cb, void *data) {
    Callback callback;
    callback.at = cb;
    callback.data = data;
    try {
        return walk_tree(rootfd, callback);
    } catch (const std::bad_alloc &) {
        werror(ENOMEM, "error allocate memory");
        return -2;
    }
}

int scan_private(const char *area, scan_callback cb, void *data) {
    std::unique_ptr<char, kx::FreeDeleter> start(getcwd(nullptr, 0));
    if (!start) {
        werror(errno, "can't getcwd");
        return -2;
    }
    if (chdir(area) != 0) {
        werror(errno, "can't chdir to '%s'", area);
        return -1;
    }
    kx::Fd root(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.ok()) {
        werror(errno, "can't chdir to '%s'", area);
        return -1;
    }
    Callback callback;
    callback.plain = cb;
    callback.data = data;
    int result;
    try {
        result = walk_tree(root.get(), callback);
    } catch (const std::bad_alloc &) {
        werror(ENOMEM, "error allocate memory");
        result = -2;
    }
    // After a stop the working directory stays inside the area.
    if (result != 0)
        return result;
    if (chdir(start.get()) != 0) {
        werror(errno, "can't chdir to '%s'", start.get());
        return -2;
    }
    return 0;
}

int remove_dir(const char *path) {
    return remove_dir_at(AT_FDCWD, path, nullptr);
}

int remove_dir_at(int dirfd, const char *name, const char *dir_shown) {
    try {
        return remove_tree(dirfd, name, kx::shown_path(dir_shown, name));
    } catch (const std::bad_alloc &) {
        kx::print_stderr("remove_dir(\"%s\") error: %s", name, std::strerror(ENOMEM));
        return -1;
    }
}

}  // extern "C"
