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
bool read_sticky_file(int dirfd, const char *name, std::string &text) {
    kx::Fd fd = kx::open_regular_at(dirfd, name, nullptr);
    return fd.ok() && kx::read_shortcut_text(fd.get(), kShortcutRead, text);
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
        if (!read_sticky_file(dirfd, name, content)) {
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
        if (kx::trace_on(1))
            debug_print(1, "Error read dirindex '%s'\n", kx::join(dir, DIRINDEX_NAME).c_str());
        return -1;
    }
    const std::string template_root = kx::host_path(kx::kTemplateRoot);
    for (char **entry = list.entries; *entry; ++entry) {
        const char *slash = std::strrchr(*entry, '/');
        const char *name = slash ? slash + 1 : nullptr;
        if (!name || !*name) {
            if (kx::trace_on(2))
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

// Walks the directory open as fd (its path below the root: dir, "." for
// the root) and hands each subdirectory met to push(name, stat record).
template <class Push>
int visit_dir(int fd, const std::string &dir, const Callback &cb, Push push,
              readahead_stage *ra) {
    struct stat self;
    if (fstat(fd, &self) != 0)
        return -1;
    const int dir_flags = directory_flags(fd, self);
    const bool indexed = dir_flags == SCAN_DIR_INDEXED;
    const bool at_root = dir == ".";
    std::unordered_set<std::string> held;
    std::string path;
    int result = 0;
    // The names are taken first, so that a callback that replaces an entry
    // by rename never makes the walk meet a name twice.
    bool listed = kx::each_entry(fd, kx::Listing::names_first, ra,
                                 [&](const char *name, unsigned char) {
        if (indexed) {
            if (std::strcmp(name, DIRINDEX_NAME) == 0)
                return true;
            held.insert(name);
        }
        if (at_root)
            path = name;
        else
            path.assign(dir).append(1, '/').append(name);
        struct stat st;
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            result = -2;
            return false;
        }
        result = report_entry(fd, name, path, dir_flags, st, cb);
        if (result == 0 && S_ISDIR(st.st_mode))
            push(name, st);
        return result == 0;
    });
    if (!listed) {
        werror(errno, "can't open directory '%s'", dir.c_str());
        return -1;
    }
    if (result != 0 || !indexed)
        return result;
    return report_template_entries(fd, dir, dir_flags, held, cb);
}

// A directory the walk cannot enter ends it; one that is gone is no longer
// there to walk and ends it silently.
int cannot_enter(const std::string &dir, int err) {
    if (err != ENOENT)
        werror(err, "can't open directory '%s'", dir.c_str());
    return -1;
}

// The whole walk below rootfd: the root's entries, then the pending
// directories, the most recently met first.
int walk_tree(int rootfd, const Callback &cb) {
    // Caches are warmed ahead of the walk, which reads every link text,
    // the start of every sticky file and the dirindex of indexed directories.
    std::unique_ptr<readahead_stage, void (*)(readahead_stage *)> ra(
        walk_readahead(rootfd, READAHEAD_LINKS | READAHEAD_SHORTCUTS | READAHEAD_INDEXES),
        stop_readahead);
    kx::TreeWalk walk(rootfd, ra.get());
    while (walk.next()) {
        const std::string dir = walk.rel().empty() ? std::string(".") : walk.rel();
        if (walk.fd() < 0)
            return cannot_enter(dir, walk.error());
        int result = visit_dir(walk.fd(), dir, cb,
                               [&walk](const char *name, const struct stat &st) {
                                   walk.push(name, st);
                               },
                               ra.get());
        if (result != 0)
            return result;
    }
    return 0;
}

// Opens dir, a path of the caller's, as a directory beneath the working
// directory without following a link: an absolute dir must lie below it.
kx::Fd open_below_working_dir(const char *dir) {
    std::string rel = dir;
    if (dir[0] == '/') {
        std::unique_ptr<char, kx::FreeDeleter> cwd(getcwd(nullptr, 0));
        if (!cwd || !kx::path_below(cwd.get(), dir, rel))
            return kx::Fd();
    }
    return kx::Fd(kx::open_beneath(AT_FDCWD, rel.c_str(), O_RDONLY | O_DIRECTORY));
}

// One directory whose entries are being removed: the names listed when it
// was entered, and how many of them have been handled.
struct Removing {
    std::vector<std::string> names;
    size_t next = 0;
};

// Lists the directory fd of a removal (shown() names it in the message
// of a failed listing); false when the listing fails.
template <class Shown>
bool list_for_removal(int fd, const Shown &shown, Removing &dir) {
    bool listed = kx::each_entry(fd, kx::Listing::streamed, nullptr,
                                 [&dir](const char *name, unsigned char) {
                                     dir.names.emplace_back(name);
                                     return true;
                                 });
    if (!listed)
        kx::print_stderr("readdir(\"%s\") error: %s", shown().c_str(), std::strerror(errno));
    return listed;
}

// Removes the tree name of the directory parentfd: the entries of each
// directory in listing order, a subdirectory (with all below it) before
// the entries after it, then the directory itself, following no link; path
// is the name shown in messages. A failure ends the removal, and every
// directory on the way back up is still tried (and fails, not empty). The
// way down is held with bounded descriptors (DirChain), however deep.
int remove_tree(int parentfd, const char *name, const std::string &path) {
    kx::Fd top(openat(parentfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    kx::DirChain chain;
    if (!top.ok() || !chain.start(top.get())) {
        kx::print_stderr("opendir(\"%s\") error: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    top.reset();
    auto shown = [&path, &chain]() {
        return chain.path().empty() ? path : kx::join(path, chain.path());
    };
    std::vector<Removing> dirs(1);
    int result = list_for_removal(chain.fd(), shown, dirs.back()) ? 0 : -1;
    for (;;) {
        Removing &dir = dirs.back();
        if (result == 0 && dir.next < dir.names.size()) {
            const std::string &entry = dir.names[dir.next++];
            // The entry as messages show it, made only for one.
            auto child = [&shown, &entry]() { return kx::join(shown(), entry); };
            struct stat st;
            if (fstatat(chain.fd(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                kx::print_stderr("lstat(\"%s\") error: %s", child().c_str(), std::strerror(errno));
                result = -1;
            } else if (!S_ISDIR(st.st_mode)) {
                if (unlinkat(chain.fd(), entry.c_str(), 0) != 0) {
                    kx::print_stderr("unlink(\"%s\") error: %s", child().c_str(),
                                     std::strerror(errno));
                    result = -1;
                }
            } else if (kx::InodeKey inode{st.st_dev, st.st_ino}; !chain.enter(entry, &inode)) {
                kx::print_stderr("opendir(\"%s\") error: %s", child().c_str(),
                                 std::strerror(errno));
                result = -1;
            } else {
                dirs.emplace_back();
                if (!list_for_removal(chain.fd(), shown, dirs.back()))
                    result = -1;
            }
            continue;
        }
        // The directory is done with (or the removal failed): it goes.
        const size_t depth = chain.depth();
        const std::string leaf(chain.name());
        dirs.pop_back();
        if (depth == 0)
            break;
        int parent = chain.leave_to(depth - 1) ? chain.fd() : -1;
        if (parent < 0 || unlinkat(parent, leaf.c_str(), AT_REMOVEDIR) != 0) {
            kx::print_stderr("rmdir(\"%s\") error: %s", kx::join(shown(), leaf).c_str(),
                             std::strerror(errno));
            result = -1;
        }
    }
    chain.leave_all();
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
        kx::Fd fd = open_below_working_dir(dir);
        if (!fd.ok())
            return cannot_enter(dir, errno);
        const std::string path = dir;
        return visit_dir(fd.get(), path, callback,
                         [stack, &path](const char *name, const struct stat &) {
                             kx::push_dir(stack, path == "." ? std::string(name)
                                                             : kx::join(path, name));
                         },
                         nullptr);
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
