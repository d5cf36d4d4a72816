// The walk engine, the one way through a tree of an area: the listing of a
// directory with its failures reported, the chain of directories from a
// walk's root down to where it is, and the depth-first walk over pending
// directories that every walk of the library and the tools is made of.
// Also the filter of a directory's names, the exported stack of the path
// forms and the read-ahead stage of a copying walk.
//
// Resources: a walk holds open its root, the deepest kHeldLevels
// directories of the way down and one listing; it keeps, per pending
// directory, its name and inode, and per level of the way down one record,
// so that its memory grows with the entries it has met and not with the
// square of the depth. Every directory is opened once, from its parent's
// descriptor; coming back up to a level whose descriptor was let go costs
// one open of "..", and every level is left once: the calls a walk makes
// grow linearly with the tree however deep it is (only the paths it shows
// grow with the depth).
#ifndef KXFS_WALK_H
#define KXFS_WALK_H

#include <limits.h>
#include <sys/stat.h>

#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "area.h"

namespace kx {

// ---- listing one directory ----------------------------------------------------

// How a directory is listed: as it is read, or whole before the first entry
// is handed on (for a caller that adds or replaces entries of the directory
// while it goes, and must not meet a name twice or one it made itself).
enum class Listing { streamed, names_first };

// Hands each(name, d_type) every entry of the directory fd but "." and
// "..", in listing order, reading it on a description of its own (fd keeps
// its offset); each returns false to stop. One entry done is told to the
// read-ahead stage ra (or none). False, with errno set, when the listing
// cannot be opened or a read of it fails: the directory was not listed
// whole (names_first: nothing was handed on), and a caller never takes
// what it met for all there is. no_atime leaves the access time alone
// where the caller may.
template <class Each>
bool each_entry(int fd, Listing how, readahead_stage *ra, Each each, bool no_atime = false) {
    Dir dir = list_anew(fd, no_atime);
    if (!dir.ok())
        return false;
    std::vector<std::pair<std::string, unsigned char>> names;
    for (;;) {
        errno = 0;
        const struct dirent *e = ::readdir(dir.get());
        if (e == nullptr) {
            if (errno != 0)
                return false;
            break;
        }
        if (is_dot_or_dotdot(e->d_name))
            continue;
        if (how == Listing::names_first) {
            names.emplace_back(e->d_name, e->d_type);
            continue;
        }
        readahead_advance(ra, 1);
        if (!each(e->d_name, e->d_type))
            return true;
    }
    dir.reset();
    for (const auto &[name, type] : names) {
        readahead_advance(ra, 1);
        if (!each(name.c_str(), type))
            break;
    }
    return true;
}

// ---- the way down -----------------------------------------------------------

// The directories from a walk's root down to the one it is in: each one's
// inode and path below the root, and open descriptors of the root and of
// the deepest kHeldLevels levels. A level whose descriptor was let go is
// reached again only when the walk comes back up to it: through ".." of
// the level below, which must be that very inode; failing that (the tree
// was changed meanwhile), from the root by name, every component opened
// without following a link and checked the same way.
class DirChain {
public:
    static constexpr size_t kHeldLevels = 32;

    DirChain() = default;
    DirChain(const DirChain &) = delete;
    DirChain &operator=(const DirChain &) = delete;
    ~DirChain() { leave_all(); }

    // Starts at a descriptor of its own of the directory fd (opened anew,
    // for reading), the root (level 0). False with errno set.
    bool start(int fd);
    // Levels below the root.
    size_t depth() const { return levels_.empty() ? 0 : levels_.size() - 1; }
    // The deepest level's descriptor (borrowed), or -1 when the way back
    // up to it failed.
    int fd() const { return levels_.empty() ? -1 : levels_.back().fd; }
    // The deepest level's path below the root, "" for the root.
    const std::string &path() const { return path_; }
    // The deepest level's name in its parent, "" for the root.
    std::string_view name() const;
    // Opens the directory name of the deepest level without following a
    // link and makes it the deepest level. With expect it must be that
    // inode. False with errno set, the chain unchanged: ELOOP for a link,
    // ENOTDIR, ENOENT, ESTALE for another inode.
    bool enter(std::string_view name, const InodeKey *expect);
    // Comes back up to level (at most depth()). False with errno set when
    // that level cannot be reached again: it is then the deepest, without
    // a descriptor.
    bool leave_to(size_t level);
    // Closes everything.
    void leave_all();

private:
    struct Level {
        InodeKey inode;
        size_t path_end;  // its path is path_.substr(0, path_end)
        int fd;           // -1 when let go
    };
    int open_level(int parent, std::string_view name, const InodeKey *expect, InodeKey &got);
    bool climb_to(size_t level);
    bool descend_to(size_t level);

    std::vector<Level> levels_;
    std::string path_;
    size_t lowest_held_ = 1;  // the held levels below the root: lowest_held_ .. depth()
};

// ---- the walk -------------------------------------------------------------------

// A depth-first walk of the tree below a root descriptor: the root, then
// always the directory queued last. It keeps the pending directories, enters
// each from its parent's descriptor without following a link, only when it
// is still the inode its parent's listing showed, and tells the read-ahead
// stage (or none) where it goes. The user visits each directory: lists it
// (each_entry), acts on its entries and queues its subdirectories.
//
//     TreeWalk walk(rootfd, ra);
//     while (walk.next()) {
//         if (walk.fd() < 0) { report walk.rel() and walk.error(); ... }
//         walk.list(Listing::streamed, [&](const char *name, unsigned char type) { ...
//             walk.push(name, st); ... });
//     }
class TreeWalk {
public:
    explicit TreeWalk(int rootfd, readahead_stage *ra = nullptr) : root_(rootfd), ra_(ra) {}

    // Enters the next directory. False when none is left. A directory that
    // cannot be entered has fd() -1 and error() its errno; the walk goes on
    // with the next when the user calls next() again.
    bool next();
    // The directory being visited: its descriptor (borrowed), its path
    // below the root ("" for the root), its depth and its name there.
    int fd() const { return error_ ? -1 : chain_.fd(); }
    int error() const { return error_; }
    const std::string &rel() const { return error_ ? failed_ : chain_.path(); }
    size_t depth() const { return chain_.depth(); }
    std::string_view name() const { return chain_.name(); }
    // The path below the root of an entry of the directory being visited.
    std::string child(std::string_view name) const;
    // Lists the directory being visited (see each_entry).
    template <class Each>
    bool list(Listing how, Each each) {
        return each_entry(fd(), how, ra_, each);
    }
    // Queues the subdirectory name of the directory being visited, as its
    // listing showed it (st).
    void push(std::string_view name, const struct stat &st);
    // The same, but entered after every other directory below the one
    // being visited.
    void push_last(std::string_view name, const struct stat &st);

private:
    struct Pending {
        std::string name;
        InodeKey inode;
        size_t parent;  // the depth of the directory that queued it
    };
    void tell_stage(void (*hook)(readahead_stage *, const char *), std::string_view path);

    int root_;
    readahead_stage *ra_;
    DirChain chain_;
    std::vector<Pending> stack_;
    bool started_ = false;
    int error_ = 0;
    std::string failed_;  // the path of a directory that could not be entered
};

// ---- the engine's work ----------------------------------------------------------

constexpr int kWalkDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

inline void close_walk_fd(int &fd) {
    if (fd >= 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
    }
    fd = -1;
}

inline bool DirChain::start(int fd) {
    leave_all();
    int own = ::openat(fd, ".", kWalkDirFlags);
    struct stat st;
    if (own < 0)
        return false;
    if (::fstat(own, &st) != 0) {
        close_walk_fd(own);
        return false;
    }
    levels_.push_back(Level{InodeKey{st.st_dev, st.st_ino}, 0, own});
    lowest_held_ = 1;
    return true;
}

inline std::string_view DirChain::name() const {
    if (levels_.size() < 2)
        return {};
    size_t from = levels_[levels_.size() - 2].path_end;
    if (levels_.size() > 2)
        ++from;  // the slash
    return std::string_view(path_).substr(from);
}

// Opens name below the directory parent, no link followed; got is what it
// is, which must be expect when given. A descriptor, or -1 with errno.
inline int DirChain::open_level(int parent, std::string_view name, const InodeKey *expect, InodeKey &got) {
    const std::string n(name);
    int fd = ::openat(parent, n.c_str(), kWalkDirFlags);
    if (fd < 0) {
        link_answers_eloop(parent, n.c_str());
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        close_walk_fd(fd);
        return -1;
    }
    got = InodeKey{st.st_dev, st.st_ino};
    if (expect && !(got == *expect)) {
        close_walk_fd(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

inline bool DirChain::enter(std::string_view name, const InodeKey *expect) {
    if (fd() < 0) {
        errno = ESTALE;
        return false;
    }
    InodeKey got{};
    int fd = open_level(this->fd(), name, expect, got);
    if (fd < 0)
        return false;
    if (!path_.empty())
        path_.push_back('/');
    path_.append(name);
    levels_.push_back(Level{got, path_.size(), fd});
    // The shallowest held level goes once more than the budget are held.
    if (depth() - lowest_held_ + 1 > kHeldLevels)
        close_walk_fd(levels_[lowest_held_++].fd);
    return true;
}

// Reaches level from the shallowest held level below it through "..":
// each step must land on the inode recorded for the level above.
inline bool DirChain::climb_to(size_t level) {
    if (lowest_held_ > depth() || levels_[lowest_held_].fd < 0)
        return false;
    int fd = ::fcntl(levels_[lowest_held_].fd, F_DUPFD_CLOEXEC, 0);
    for (size_t at = lowest_held_; fd >= 0 && at > level; --at) {
        InodeKey got{};
        int up = open_level(fd, "..", &levels_[at - 1].inode, got);
        close_walk_fd(fd);
        fd = up;
    }
    if (fd < 0)
        return false;
    levels_[level].fd = fd;
    return true;
}

// Reaches level from the root by name, every component checked.
inline bool DirChain::descend_to(size_t level) {
    int fd = ::fcntl(levels_[0].fd, F_DUPFD_CLOEXEC, 0);
    for (size_t at = 1; fd >= 0 && at <= level; ++at) {
        size_t from = levels_[at - 1].path_end + (at > 1 ? 1 : 0);
        std::string_view name = std::string_view(path_).substr(from, levels_[at].path_end - from);
        InodeKey got{};
        int down = open_level(fd, name, &levels_[at].inode, got);
        close_walk_fd(fd);
        fd = down;
    }
    if (fd < 0)
        return false;
    levels_[level].fd = fd;
    return true;
}

inline bool DirChain::leave_to(size_t level) {
    if (level >= depth())
        return true;
    bool reached = level == 0 || levels_[level].fd >= 0 || climb_to(level) || descend_to(level);
    int err = errno;
    for (size_t at = level + 1; at < levels_.size(); ++at)
        close_walk_fd(levels_[at].fd);
    levels_.resize(level + 1);
    path_.resize(levels_.back().path_end);
    if (lowest_held_ > level)
        lowest_held_ = level == 0 ? 1 : level;
    errno = err;
    return reached;
}

inline void DirChain::leave_all() {
    for (Level &l : levels_)
        close_walk_fd(l.fd);
    levels_.clear();
    path_.clear();
    lowest_held_ = 1;
}

inline std::string TreeWalk::child(std::string_view name) const {
    return rel().empty() ? std::string(name) : join(rel(), name);
}

// The read-ahead stage works with paths beneath the root, which it opens
// in one call: it is told nothing of a path longer than that.
inline void TreeWalk::tell_stage(void (*hook)(readahead_stage *, const char *), std::string_view path) {
    if (ra_ && path.size() < PATH_MAX)
        hook(ra_, std::string(path).c_str());
}

inline bool TreeWalk::next() {
    error_ = 0;
    failed_.clear();
    if (!started_) {
        started_ = true;
        tell_stage(readahead_enter_dir, "");
        if (!chain_.start(root_))
            error_ = errno;
        return true;
    }
    if (stack_.empty())
        return false;
    Pending p = std::move(stack_.back());
    stack_.pop_back();
    // The directory that queued it is on the way down: every directory
    // met since lies below it.
    bool reached = chain_.leave_to(p.parent);
    if (ra_ && rel().size() + p.name.size() < PATH_MAX)
        tell_stage(readahead_enter_dir, child(p.name));
    if (!reached || !chain_.enter(p.name, &p.inode)) {
        int err = errno;
        failed_ = child(p.name);
        error_ = err;
    }
    return true;
}

inline void TreeWalk::push(std::string_view name, const struct stat &st) {
    stack_.push_back(Pending{std::string(name), InodeKey{st.st_dev, st.st_ino}, depth()});
    if (ra_ && rel().size() + name.size() < PATH_MAX)
        tell_stage(readahead_push_dir, child(name));
}

inline void TreeWalk::push_last(std::string_view name, const struct stat &st) {
    // Below the directories this one queued (they lie on top of the
    // stack), above those its ancestors queued.
    auto at = stack_.end();
    while (at != stack_.begin() && std::prev(at)->parent == depth())
        --at;
    stack_.insert(at, Pending{std::string(name), InodeKey{st.st_dev, st.st_ino}, depth()});
    if (ra_ && rel().size() + name.size() < PATH_MAX)
        tell_stage(readahead_push_dir, child(name));
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
        return each_entry(
            dirfd, Listing::streamed, nullptr,
            [this](const char *name, unsigned char) {
                add(name);
                return true;
            },
            true);
    }

private:
    static constexpr unsigned kBits = 23;  // 8 Mi bits, 1 MiB
    static constexpr size_t kMask = (size_t{1} << kBits) - 1;
    static constexpr size_t kWords = (size_t{1} << kBits) / 64;
    void set(size_t i) { bits_[i / 64] |= uint64_t{1} << (i % 64); }
    bool test(size_t i) const { return (bits_[i / 64] >> (i % 64)) & 1; }
    std::vector<uint64_t> bits_;
};

// Pushes a pending directory at the head of the stack; the node owns a copy
// of path.
inline void push_dir(struct dir_stack *stack, const std::string &path) {
    auto *node = static_cast<struct dir_node *>(xmalloc(sizeof(struct dir_node)));
    node->path = xstrdup(path.c_str());
    node->next = stack->head;
    stack->head = node;
    stack->count++;
}

// A read-ahead stage for a walk whose own thread writes as much as it reads
// (a copy), when walks run one: fewer threads on a machine with few cores.
struct ::readahead_stage *writing_walk_readahead(int rootfd, int flags);

}  // namespace kx

#endif
