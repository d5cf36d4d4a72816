// Area copy and pointer correction.
//
// Copies a tree of a private area (or of a cache area) entry by entry, with
// type, owner, group, mode, times (to the nanosecond), inode flags, extended
// attributes, the holes of sparse files and the hard-link structure,
// rewriting cache links of the source uuid to the destination uuid on the
// way. Three modes, chosen by the option word: copy; correction in place
// (OPT_CORRECT), where only what names the old uuid is replaced and nothing
// else is touched; and linking (OPT_LINK_FILES), where regular files become
// hard links of the source.
//
// The source is hostile: every directory is reached by descriptor beneath
// the source root, without following links, and must be the inode its
// parent's listing showed; every entry is handled with the *at calls
// relative to its directory's descriptor and never followed. The
// destination is reached the same way beneath its own root, so a tree
// deeper than a path can name is copied too. Nothing changes the working
// directory. The path functions of the interface are thin layers over the
// same core.
//
// Every call that gives a copy or a replacement its content or attributes
// is checked: a failure ends the run with status 1 and a message. Inode
// flags go on last, when every name is made (in a tree copy, once the whole
// tree is there), so that an immutable or append-only inode can still get
// its further names. A correction leaves an entry that such a flag locks as
// it is, says so, and goes on; the tree copy then ends with 1.
//
// A correction replaces an entry by writing a temporary sibling
// ("name.XXXXXX") and renaming it over the entry. With a journal set, it
// says before each change what a rerun needs to finish an interrupted run:
// the temporaries it makes, the first rewritten name of each multiply
// linked inode, the inode flags each replacement takes after its rename,
// and the times of each directory before its first change.
//
// In a private area (set_copy_area_tree), a cow file is named after the
// whole text of its magic link: when the text of a magic link of the area's
// "root" is rewritten, the cow file of the old text takes the name of the
// new one (both naming schemes, MD5 and legacy). A copy copies the cow
// directory last, under those names; a correction renames the cow file
// just before it replaces the link.
//
// Process-wide state: the two uuids, the area's tree, the hard-link table
// (the first name at which each multiply-linked inode was reproduced or
// rewritten, found in constant time), the journal and what a resumed one
// handed back, the current directory and the single-link count of the
// running entry pass.
#include "area.h"
#include "entry.h"
#include "walk.h"
#include "libkxfsutil.h"
#include "messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr size_t kTextBuffer = 4096;
constexpr const char *kLockName = ".lck";

const char *src_uuid = nullptr;
const char *dst_uuid = nullptr;

// The KXFS tree of the private area being copied, below the copied root;
// unset when the tree is no private area.
bool area_set = false;
std::string area_tree;

// The first name of an inode: below the running tree's root (rel) and as
// messages show it (shown, also a usable path for the path functions).
struct FirstName {
    std::string rel;
    std::string shown;
    bool resumed = false;  // taken from an interrupted run's journal
};
using HardlinkTable = std::unordered_map<kx::InodeKey, FirstName, kx::InodeKeyHash>;
HardlinkTable hardlinks;

copy_journal_fn journal_fn = nullptr;
void *journal_data = nullptr;

struct Times {
    struct timespec atime, mtime;
};
// The inode flags an entry (below the tree's root) takes at the end.
struct LateFlags {
    std::string rel;
    std::string shown;
    int word;
};
// What an interrupted correction's journal handed back.
struct Resumed {
    std::vector<std::string> temps;                     // temporaries it made
    std::unordered_map<std::string, Times> dir_times;   // times before its changes
    std::vector<LateFlags> flags;                       // flags its replacements take
};
Resumed resumed;

// One directory being processed.
struct Dir {
    int sfd = AT_FDCWD;      // the source directory
    int dfd = -1;            // the destination directory (a copy)
    std::string rel;         // below the tree's root, "" for the root
    std::string shown;       // the source directory as messages show it
    std::string dst_shown;   // the destination directory as messages show it
    struct stat st {};       // the source directory as opened
    bool noted = false;      // its times are in the journal
    bool changed = false;    // a correction replaced one of its entries
    // A copy of the area's cow directory: the new names of cow files.
    const std::unordered_map<std::string, std::string> *renamed = nullptr;
};

// The cow directory of the private area a tree copy runs over.
struct CowDir {
    std::string root_rel;  // the area's "root" below the tree's root
    std::string rel;       // its "cow"
    kx::Fd fd;             // the source cow directory, when it is a real one
    Dir dir;               // the same, for its times in a correction
    // Its names when the copy began, so that most links need no look-up.
    std::unique_ptr<kx::NameFilter> listed;
    // A copy: old name -> new name of the cow files of rewritten links.
    std::unordered_map<std::string, std::string> renamed;
    std::unordered_set<std::string> taken;  // new names given so far
};

// The running tree copy; null for the path functions, which work on paths.
struct Tree {
    int src = -1;  // source root
    int dst = -1;  // destination root, -1 in correction
    CowDir cow;
    std::vector<LateFlags> flags;  // a copy's inode flags, set at its end
    bool refused = false;          // a correction left a locked entry
};
Tree *tree = nullptr;

int single_links = 0;
// The read-ahead stage under the tree walk that runs, if any.
readahead_stage *copy_ra = nullptr;

kx::InodeKey key_of(const struct stat &st) {
    return kx::InodeKey{st.st_dev, st.st_ino};
}

std::string working_directory() {
    std::unique_ptr<char, kx::FreeDeleter> cwd(getcwd(nullptr, 0));
    return cwd ? std::string(cwd.get()) : std::string();
}

std::string rel_of(const Dir &d, const std::string &name) {
    return d.rel.empty() ? name : kx::join(d.rel, name);
}

bool correcting_now() {
    const unsigned int options = get_option();
    return (options & OPT_CORRECT) && !(options & OPT_LINK_FILES);
}

// Opens rel below root as open_beneath does; a path longer than one call
// takes is opened a component at a time.
int open_below(int root, const std::string &rel, int flags) {
    int fd = kx::open_beneath(root, rel.c_str(), flags);
    if (fd < 0 && errno == ENAMETOOLONG)
        fd = kx::open_beneath_walk(root, rel.c_str(), flags, 0);
    return fd;
}

// The directory part of rel ("." for none) and its last component.
std::pair<std::string, std::string> split_rel(const std::string &rel) {
    size_t slash = rel.rfind('/');
    if (slash == std::string::npos)
        return {".", rel};
    return {rel.substr(0, slash), rel.substr(slash + 1)};
}

// ---- the journal -------------------------------------------------------------

// A path as the journal holds it: last on its line, newlines and
// backslashes escaped.
std::string escaped(const std::string &path) {
    std::string out;
    for (char c : path) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string unescaped(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[i + 1] == 'n' ? '\n' : text[i + 1];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void journal(const std::string &record) {
    if (journal_fn)
        journal_fn(journal_data, record.c_str());
}

// The times a corrected directory goes back to: those before the first
// change any run made to it.
Times original_times(const Dir &d) {
    if (tree) {
        auto it = resumed.dir_times.find(d.rel);
        if (it != resumed.dir_times.end())
            return it->second;
    }
    return Times{d.st.st_atim, d.st.st_mtim};
}

// Before the first change to a directory in a correction.
void note_change(Dir &d) {
    d.changed = true;
    if (d.noted || !journal_fn || !tree)
        return;
    d.noted = true;
    Times t = original_times(d);
    char head[128];
    std::snprintf(head, sizeof head, "D %lld %ld %lld %ld ", static_cast<long long>(t.atime.tv_sec),
                  t.atime.tv_nsec, static_cast<long long>(t.mtime.tv_sec), t.mtime.tv_nsec);
    journal(head + escaped(d.rel));
}

// ---- attributes --------------------------------------------------------------

// Ends the run for an attribute that could not be given to dest, a copy
// of src; errno tells why.
[[noreturn]] void attribute_failed(kx::AttrStep step, const std::string &src,
                                   const std::string &dest) {
    switch (step) {
    case kx::AttrStep::kOwner:
        error(1, errno, "Error chown '%s'", dest.c_str());
        break;
    case kx::AttrStep::kMode:
        error(1, errno, "Error chmod '%s'", dest.c_str());
        break;
    case kx::AttrStep::kTimes:
        error(1, errno, "Error utime '%s'", dest.c_str());
        break;
    case kx::AttrStep::kXattrs:
        error(1, errno, "can't copy xattrs from %s to %s", src.c_str(), dest.c_str());
        break;
    case kx::AttrStep::kFlags:
        error(1, errno, "Error get flags '%s'", src.c_str());
        break;
    case kx::AttrStep::kNone:
        break;
    }
    KX_BUG();
}

// Owner, mode and times of st for the entry name of dirfd, never through a
// link, the times to the nanosecond: the host's call for a link's times
// takes whole seconds, so a link's are set once more afterwards.
kx::AttrStep set_owner_mode_times(int dirfd, const char *name, const struct stat &st) {
    if (fchownat(dirfd, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        return kx::AttrStep::kOwner;
    const unsigned int mode = st.st_mode & 07777;
    struct timespec ts[2] = {st.st_atim, st.st_mtim};
    if (S_ISLNK(st.st_mode)) {
        // A link's mode changes only through the host's call; a new link
        // has 0777, as most do.
        if (mode != 0777 && kxlchmod_at(dirfd, name, mode) != 0)
            return kx::AttrStep::kMode;
        struct utimbuf seconds = {st.st_atim.tv_sec, st.st_mtim.tv_sec};
        if (kxlutime_at(dirfd, name, &seconds) != 0)
            return kx::AttrStep::kTimes;
    } else if (kx::chmod_nofollow(dirfd, name, mode) != 0) {
        return kx::AttrStep::kMode;
    }
    if (utimensat(dirfd, name, ts, AT_SYMLINK_NOFOLLOW) != 0)
        return kx::AttrStep::kTimes;
    return kx::AttrStep::kNone;
}

// Sets the copied inode flags of word on the regular file or directory
// name of dirfd (the directory itself for ""); the run ends when it fails.
void set_flags_now(int dirfd, const char *name, int word, const std::string &shown) {
    kx::Fd fd(*name ? openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)
                    : fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
    struct stat st;
    if (fd.ok() && fstat(fd.get(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        errno = EINVAL;
    else if (fd.ok() && kx::set_flag_word(fd.get(), word))
        return;
    error(1, errno, "Error set flags '%s'", shown.c_str());
}

// The inode flags of a new copy: in a tree copy they go on at its end, when
// every entry has all its names; the path functions set them at once.
void keep_flags(const Dir &d, const char *name, int word, const std::string &shown) {
    if ((word & kx::kCopiedFlags) == 0)
        return;
    if (tree)
        tree->flags.push_back(LateFlags{name ? rel_of(d, name) : d.rel, shown, word});
    else
        set_flags_now(d.dfd, name ? name : "", word, shown);
}

// The flags kept for the end, set on the entries below root.
void set_late_flags(int root, std::vector<LateFlags> &late) {
    for (const LateFlags &f : late) {
        kx::Fd fd(f.rel.empty() ? fcntl(root, F_DUPFD_CLOEXEC, 0)
                                : open_below(root, f.rel, O_RDONLY | O_NONBLOCK | O_NOCTTY));
        if (!fd.ok() && errno == ENOENT)
            continue;
        set_flags_now(fd.get(), "", f.word, f.shown);
    }
    late.clear();
}

// Owner, mode and times, then the extended attributes of a new entry, and
// the inode flags of a new regular file. A directory takes its times and
// flags once its own entries are in place (finish_directory).
void apply_attributes(const Dir &d, const char *name, const char *dst_name,
                      const std::string &dest, const struct stat &st) {
    const std::string src = kx::join(d.shown, name);
    kx::AttrStep step = set_owner_mode_times(d.dfd, dst_name, st);
    if (step == kx::AttrStep::kNone &&
        kx::copy_all_xattrs(d.sfd, name, d.dfd, dst_name, d.shown.c_str(),
                            d.dst_shown.c_str()) != 0)
        step = kx::AttrStep::kXattrs;
    if (step != kx::AttrStep::kNone)
        attribute_failed(step, src, dest);
    // Links, fifos and devices carry no flag word.
    if (S_ISREG(st.st_mode)) {
        long long word = 0;
        if (get_eattr_at(d.sfd, name, &word) != 0)
            attribute_failed(kx::AttrStep::kFlags, src, dest);
        keep_flags(d, dst_name, static_cast<int>(word), dest);
    }
}

// Whether the entry name of dirfd ("" for the directory itself) is
// immutable or append-only: it cannot then be renamed over or removed,
// nor, for a directory, have its entries replaced.
bool locked(int dirfd, const char *name) {
    struct statx sx;
    int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
    if (statx(dirfd, name, flags, STATX_TYPE, &sx) != 0)
        return false;
    return (sx.stx_attributes & sx.stx_attributes_mask &
            (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
}

// A correction leaves the entry full as it is when holder (the entry, its
// directory or its cow file) is locked: said, and the run ends with 1.
void refuse(const std::string &full, const std::string &holder) {
    if (!tree)
        error(1, 0, "Can't correct '%s': '%s' is immutable or append-only", full.c_str(),
              holder.c_str());
    werror(0, "Can't correct '%s': '%s' is immutable or append-only", full.c_str(),
           holder.c_str());
    tree->refused = true;
}

// ---- cow files -----------------------------------------------------------------

// Whether d lies in the area's "root", where magic links own cow files.
bool in_area_root(const Dir &d) {
    if (!tree || !tree->cow.fd.ok())
        return false;
    const std::string &root = tree->cow.root_rel;
    return d.rel == root || (d.rel.size() > root.size() && d.rel.compare(0, root.size(), root) == 0 &&
                             d.rel[root.size()] == '/');
}

// The cow files that follow a link from the text old to new: pairs of an
// existing regular file named after old and the free name of new, in each
// naming scheme. A name of new that is taken already leaves both as they
// are.
std::vector<std::pair<std::string, std::string>> cow_moves(const std::string &old_text,
                                                           const std::string &new_text) {
    std::vector<std::pair<std::string, std::string>> moves;
    const CowDir &cow = tree->cow;
    auto may_hold = [&](const char *name) {
        return !cow.listed || cow.listed->may_hold(name);
    };
    for (char *(*name_of)(const char *) : {md5_name, legacy_name}) {
        std::unique_ptr<char, kx::FreeDeleter> from(name_of(old_text.c_str()));
        if (!may_hold(from.get()))
            continue;
        std::unique_ptr<char, kx::FreeDeleter> to(name_of(new_text.c_str()));
        struct stat st;
        if (fstatat(cow.fd.get(), from.get(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || cow.taken.count(to.get()) ||
            (may_hold(to.get()) && fstatat(cow.fd.get(), to.get(), &st, AT_SYMLINK_NOFOLLOW) == 0))
            continue;
        moves.emplace_back(from.get(), to.get());
    }
    return moves;
}

// ---- helpers -----------------------------------------------------------------

// Rewrites a cache link of the source uuid in text: true when it changed.
bool rewrite_cache_link(std::string &text) {
    std::vector<char> buf(std::max(text.size() + 1, kTextBuffer), '\0');
    std::memcpy(buf.data(), text.data(), text.size());
    if (!correct_magic_uuid(buf.data(), src_uuid, dst_uuid))
        return false;
    text.assign(buf.data());
    return true;
}

// The content of a sticky regular file when it is a shortcut: a magic target
// that fills the whole file. A sticky file of another content (longer, with
// a NUL inside, or not magic) is a plain file and is handled as one.
// Returns false for a plain file; a read failure is fatal with message.
bool read_as_shortcut(const Dir &d, const char *name, const struct stat &st, const char *message,
                      const char *shown, std::string &text) {
    if (!S_ISREG(st.st_mode) || !(st.st_mode & S_ISVTX) || st.st_size > MAGIC_TARGET_MAX)
        return false;
    char buf[kTextBuffer];
    int n = read_shortcut_at(d.sfd, name, buf, sizeof buf);
    if (n < 0)
        error(1, errno, message, shown);
    if (n != st.st_size || std::strlen(buf) != static_cast<size_t>(n) || !kx::is_magic(buf))
        return false;
    text.assign(buf, static_cast<size_t>(n));
    return true;
}

// Is name in the source directory the directory's dirindex that the copy
// rebuilds for the new uuid?
bool is_dirindex(const Dir &d, const char *name, const struct stat &st) {
    return src_uuid && S_ISREG(st.st_mode) && std::strcmp(name, DIRINDEX_NAME) == 0 &&
           (d.st.st_mode & S_ISUID);
}

// Makes the new name `name` of directory dfd a hard link of the first name.
// The first name's directory is resolved beneath the tree's root.
int link_first(const FirstName &first, int root, int dfd, const char *name) {
    if (!tree)
        return linkat(AT_FDCWD, first.shown.c_str(), dfd, name, 0);
    auto [dir, leaf] = split_rel(first.rel);
    kx::Fd parent(open_below(root, dir, O_PATH | O_DIRECTORY));
    if (!parent.ok())
        return -1;
    return linkat(parent.get(), leaf.c_str(), dfd, name, 0);
}

// ---- copy ------------------------------------------------------------------

// The dirindex rebuilt for the new uuid. An index that is none (broken,
// empty) or that lists nothing is reproduced as it is: the destination
// directory must not lose it. Except a file larger than any index or with
// holes no index has: it is broken by its size, and a copy would cost all
// of that size. A rebuild that fails otherwise ends the run.
void copy_dirindex(const Dir &d, const char *name, const char *dst_name, const std::string &dest) {
    int rc = clone_dirindex_at(d.sfd, name, d.dfd, dst_name, src_uuid, dst_uuid, d.shown.c_str());
    int err = errno;
    if (rc < 0) {
        if (kx::trace_on(2))
            debug_print(2, "Error during dirindex clone '%s/%s'\n", d.shown.c_str(), name);
        if (err == EFBIG) {
            werror(err, "Can't copy regular file '%s/%s' to '%s'", d.shown.c_str(), name,
                   dest.c_str());
            return;
        }
        if (rc != -2)
            error(1, err, "Can't copy regular file '%s/%s' to '%s'", d.shown.c_str(), name,
                  dest.c_str());
    } else if (kx::trace_on(4)) {
        debug_print(4, "Dirindex cloned '%s/%s'\n", d.shown.c_str(), name);
    }
    struct stat st;
    if (rc == 0 && fstatat(d.dfd, dst_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return;
    if (copy_reg_file_at(d.sfd, name, d.dfd, dst_name) != 0)
        error(1, errno, "Can't copy regular file '%s/%s' to '%s'", d.shown.c_str(), name,
              dest.c_str());
}

// The new shortcut takes its attributes while it is open.
void copy_shortcut(const Dir &d, const char *name, const char *dst_name, std::string &text,
                   const std::string &dest, const struct stat &st) {
    rewrite_cache_link(text);
    kx::Fd fd(openat(d.dfd, dst_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok())
        error(1, errno, "Can't create shortcut '%s'", dest.c_str());
    if (!text.empty() && !kx::write_all(fd.get(), text.data(), text.size()))
        error(1, errno, "Can't write shortcut '%s'", dest.c_str());
    int word = 0;
    kx::AttrStep step = kx::copy_attributes_open(-1, fd.get(), d.sfd, name, d.dfd, dst_name, st,
                                                 d.shown.c_str(), d.dst_shown.c_str(), word);
    if (step != kx::AttrStep::kNone)
        attribute_failed(step, kx::join(d.shown, name), dest);
    if (fd.close() != 0)
        error(1, errno, "Can't write shortcut '%s'", dest.c_str());
    keep_flags(d, dst_name, word, dest);
}

void copy_symlink(const Dir &d, const char *name, const char *dst_name, const struct stat &st,
                  const std::string &dest) {
    std::string text;
    if (!kx::read_link(d.sfd, name, st.st_size, text))
        error(1, errno, "can't readlink '%s/%s'", d.shown.c_str(), name);
    if (kx::is_magic(text)) {
        const std::string old_text = text;
        if (rewrite_cache_link(text) && in_area_root(d)) {
            // The cow file goes under the new text's name when the cow
            // directory is copied, after every link.
            for (auto &[from, to] : cow_moves(old_text, text)) {
                tree->cow.taken.insert(to);
                tree->cow.renamed.emplace(std::move(from), std::move(to));
            }
        }
        if (symlinkat(text.c_str(), d.dfd, dst_name) != 0)
            error(1, errno, "can't create magic symlink %s -> %s'", dest.c_str(), text.c_str());
    } else if (symlinkat(text.c_str(), d.dfd, dst_name) != 0) {
        error(1, errno, "can't create symlink %s -> %s'", dest.c_str(), text.c_str());
    }
}

// Reproduces name of the source directory in the destination directory,
// under dst_name. Fills st; false when the entry is gone.
bool copy_entry(Dir &d, const char *name, const char *dst_name, struct stat &st) {
    const std::string dest = kx::join(d.dst_shown, dst_name);
    if (fstatat(d.sfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            warning(errno, "can't stat '%s/%s'", d.shown.c_str(), name);
            return false;
        }
        error(1, errno, "can't stat '%s/%s'", d.shown.c_str(), name);
    }
    struct stat existing;
    if (fstatat(d.dfd, dst_name, &existing, AT_SYMLINK_NOFOLLOW) == 0)
        error(1, 0, "Already exist '%s'", dest.c_str());
    if (st.st_nlink == 1)
        single_links++;

    // Directories cannot be hard-linked: they never enter the table.
    if (!S_ISDIR(st.st_mode)) {
        auto found = hardlinks.find(key_of(st));
        if (found != hardlinks.end()) {
            const char *first = found->second.shown.c_str();
            if (kx::trace_on(4))
                debug_print(4, "Making hardlink '%s' to '%s'\n", first, dest.c_str());
            if (link_first(found->second, tree ? tree->dst : AT_FDCWD, d.dfd, dst_name) != 0)
                error(1, errno, "Can't link %s to %s", first, dest.c_str());
            // A further name shares the inode, and with it every attribute.
            return true;
        }
        if (st.st_nlink > 1)
            hardlinks.emplace(key_of(st), FirstName{rel_of(d, dst_name), dest, false});
    }

    const unsigned int options = get_option();
    std::string text;
    if (S_ISDIR(st.st_mode)) {
        if (mkdirat(d.dfd, dst_name, st.st_mode & 07777) != 0)
            error(1, errno, "Can't mkdir '%s'", dest.c_str());
    } else if (S_ISREG(st.st_mode)) {
        if (is_dirindex(d, name, st)) {
            copy_dirindex(d, name, dst_name, dest);
        } else if (options & OPT_LINK_FILES) {
            if (linkat(d.sfd, name, d.dfd, dst_name, 0) != 0)
                error(1, errno, "Can't make hard link '%s'->'%s/%s'", dest.c_str(), d.shown.c_str(),
                      name);
            // The source's own inode: its attributes are left alone.
            return true;
        } else if (read_as_shortcut(d, name, st, "Can't read shortcut '%s'",
                                    kx::join(d.shown, name).c_str(), text)) {
            copy_shortcut(d, name, dst_name, text, dest, st);
            return true;
        } else {
            if (kx::trace_on(4))
                debug_print(4, "WARNING: regular file '%s'\n", name);
            // Data and attributes go through the two open files.
            kx::AttrStep step;
            int word = 0;
            if (kx::copy_file_with_attributes(d.sfd, name, d.dfd, dst_name, st, d.shown.c_str(),
                                              d.dst_shown.c_str(), step, word) != 0)
                error(1, errno, "Can't copy regular file '%s/%s' to '%s'", d.shown.c_str(), name,
                      dest.c_str());
            if (step != kx::AttrStep::kNone)
                attribute_failed(step, kx::join(d.shown, name), dest);
            keep_flags(d, dst_name, word, dest);
            return true;
        }
    } else if (S_ISLNK(st.st_mode)) {
        copy_symlink(d, name, dst_name, st, dest);
    } else if (S_ISFIFO(st.st_mode)) {
        if (kx::trace_on(4))
            debug_print(4, "Fifo '%s/%s'\n", d.shown.c_str(), name);
        if (mkfifoat(d.dfd, dst_name, st.st_mode & 07777) != 0)
            error(1, errno, "can't create fifo %s ", dest.c_str());
    } else {
        if (kx::trace_on(4))
            debug_print(4, "Special file '%s/%s'\n", d.shown.c_str(), name);
        if (mknodat(d.dfd, dst_name, st.st_mode, st.st_rdev) != 0)
            error(1, errno, "can't create special file %s ", dest.c_str());
    }
    apply_attributes(d, name, dst_name, dest, st);
    return true;
}

// ---- correction in place -----------------------------------------------------

// Makes a temporary sibling of name with make(dirfd, candidate), journaled
// before it exists; false with errno set.
template <class Make>
bool make_temp(Dir &d, const char *name, kx::TempName &temp, Make make) {
    note_change(d);
    return temp.make(d.sfd, name, '.', [&](int at, const char *candidate) {
        journal("T " + escaped(rel_of(d, candidate)));
        return make(at, candidate);
    });
}

// Carries the extended attributes of name over to its replacement and puts
// the replacement in its place; the inode flags of name follow once it is
// there. Before that, a multiply linked inode's further names learn where
// it went, and a rerun what flags it takes.
void replace_entry(Dir &d, const char *name, kx::TempName &temp, const struct stat &st,
                   const char *rename_message) {
    const std::string full = kx::join(d.shown, name);
    const std::string temp_shown = temp.name();
    if (kx::copy_all_xattrs(d.sfd, name, d.sfd, temp.c_str(), d.shown.c_str(),
                            d.shown.c_str()) != 0)
        attribute_failed(kx::AttrStep::kXattrs, full, kx::join(d.shown, temp_shown));
    long long word = 0;
    if (S_ISREG(st.st_mode) && get_eattr_at(d.sfd, name, &word) != 0)
        attribute_failed(kx::AttrStep::kFlags, full, kx::join(d.shown, temp_shown));
    const int flags = static_cast<int>(word) & kx::kCopiedFlags;
    if (flags != 0)
        journal("F " + std::to_string(flags) + " " + escaped(rel_of(d, name)));
    if (st.st_nlink >= 2) {
        char head[64];
        std::snprintf(head, sizeof head, "H %" PRIu64 " %" PRIu64 " ",
                      static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
        journal(head + escaped(rel_of(d, name)));
    }
    if (renameat(d.sfd, temp.c_str(), d.sfd, name) != 0)
        error(1, errno, rename_message, temp_shown.c_str(), name);
    temp.keep();
    if (st.st_nlink >= 2)
        hardlinks.insert_or_assign(key_of(st), FirstName{rel_of(d, name), full, false});
    if (flags != 0)
        set_flags_now(d.sfd, name, flags, full);
}

// The text name would have once corrected: its link text or shortcut
// content with the cache link rewritten; "" for anything else.
std::string corrected_text(int dirfd, const char *name, const struct stat &st) {
    std::string text;
    if (S_ISLNK(st.st_mode)) {
        if (!kx::read_link(dirfd, name, st.st_size, text))
            return {};
    } else if (S_ISREG(st.st_mode) && (st.st_mode & S_ISVTX) && st.st_size <= MAGIC_TARGET_MAX) {
        char buf[kTextBuffer];
        int n = read_shortcut_at(dirfd, name, buf, sizeof buf);
        if (n <= 0)
            return {};
        text.assign(buf, static_cast<size_t>(n));
    }
    if (!kx::is_magic(text))
        return {};
    rewrite_cache_link(text);
    return text;
}

// A first name an interrupted run journaled is followed only when it was
// really rewritten there: another inode now, of the same type, holding
// what this entry becomes.
bool resumed_first_holds(const FirstName &first, const Dir &d, const char *name,
                         const struct stat &st) {
    auto [dir, leaf] = split_rel(first.rel);
    kx::Fd parent(open_below(tree->src, dir, O_PATH | O_DIRECTORY));
    struct stat fst;
    if (!parent.ok() || fstatat(parent.get(), leaf.c_str(), &fst, AT_SYMLINK_NOFOLLOW) != 0 ||
        kx::same_inode(fst, st.st_dev, st.st_ino) || (fst.st_mode & S_IFMT) != (st.st_mode & S_IFMT))
        return false;
    std::string want = corrected_text(d.sfd, name, st);
    return !want.empty() && want == corrected_text(parent.get(), leaf.c_str(), fst);
}

// Whether name (or its directory) is locked against its replacement; a
// locked one is refused.
bool refused_here(Dir &d, const char *name, const std::string &full) {
    if (locked(d.sfd, "")) {
        refuse(full, d.shown);
        return true;
    }
    if (locked(d.sfd, name)) {
        refuse(full, full);
        return true;
    }
    return false;
}

void relink(Dir &d, const char *name, const FirstName &first) {
    if (refused_here(d, name, kx::join(d.shown, name)))
        return;
    kx::TempName temp;
    int root = tree ? tree->src : AT_FDCWD;
    if (!make_temp(d, name, temp, [&](int at, const char *candidate) {
            return link_first(first, root, at, candidate);
        })) {
        if (errno == EEXIST)
            error(1, errno, "can't generate temprary file name for %s", name);
        error(1, errno, "Can't link %s to %s", first.shown.c_str(), temp.c_str());
    }
    if (renameat(d.sfd, temp.c_str(), d.sfd, name) != 0)
        error(1, errno, "Can't rename %s to %s", temp.c_str(), name);
    temp.keep();
}

// Whether the regular file name of dirfd holds the bytes of text anywhere.
bool file_mentions(int dirfd, const char *name, std::string_view text) {
    kx::Fd fd = kx::open_regular_at(dirfd, name, nullptr);
    if (!fd.ok() || text.empty())
        return fd.ok();
    std::string window;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0;  // an unreadable file may well mention it
        window.append(buf, static_cast<size_t>(n));
        if (window.find(text) != std::string::npos)
            return true;
        window.erase(0, window.size() - std::min(window.size(), text.size() - 1));
    }
}

void correct_index(Dir &d, const char *name, const std::string &full, const struct stat &st) {
    // An index that names the old uuid nowhere needs no correction: a lock
    // on it, or on its directory, is in nobody's way then.
    if ((locked(d.sfd, "") || locked(d.sfd, name)) && !file_mentions(d.sfd, name, src_uuid))
        return;
    if (refused_here(d, name, full))
        return;
    kx::TempName temp;
    int rc = -1;
    if (!make_temp(d, name, temp, [&](int at, const char *candidate) {
            rc = clone_dirindex_at(d.sfd, name, at, candidate, src_uuid, dst_uuid, d.shown.c_str());
            // Only a taken name is tried again; a failed rebuild is judged below.
            return rc < 0 && errno == EEXIST ? -1 : 0;
        }))
        error(1, errno, "can't generate temprary file name for %s", name);
    int err = errno;
    if (rc < 0) {
        if (kx::trace_on(2))
            debug_print(2, "Error during dirindex clone '%s'\n", full.c_str());
        // An index that is none stays as it is; a rebuild that failed on
        // the way ends the run, its temporary journaled for the rerun.
        if (rc != -2)
            error(1, err, "Can't create dirindex '%s'", kx::join(d.shown, temp.name()).c_str());
    } else if (kx::trace_on(4)) {
        debug_print(4, "Dirindex cloned '%s'\n", full.c_str());
    }
    // A broken index, or an index with nothing to rebuild, is left as it is
    // rather than putting an empty file in place.
    struct stat built;
    if (rc < 0 || fstatat(d.sfd, temp.c_str(), &built, AT_SYMLINK_NOFOLLOW) != 0 ||
        built.st_size == 0)
        return;
    kx::AttrStep step = set_owner_mode_times(d.sfd, temp.c_str(), st);
    if (step != kx::AttrStep::kNone)
        attribute_failed(step, full, kx::join(d.shown, temp.name()));
    replace_entry(d, name, temp, st, "Can't rename %s to %s");
}

// The entry's data, owner, mode and times go into the new shortcut while it
// is the temporary file; only the finished file is renamed over the entry.
void correct_shortcut(Dir &d, const char *name, const std::string &full, const struct stat &st) {
    std::string text;
    if (!read_as_shortcut(d, name, st, "Can't read shortcut '%s'", full.c_str(), text) ||
        !rewrite_cache_link(text))
        return;
    if (refused_here(d, name, full))
        return;
    kx::TempName temp;
    kx::Fd fd;
    if (!make_temp(d, name, temp, [&](int at, const char *candidate) {
            fd = kx::Fd(openat(at, candidate, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY |
                                                  O_CLOEXEC, 0600));
            return fd.ok() ? 0 : -1;
        })) {
        if (errno == EEXIST)
            error(1, errno, "Can't generate temprary file name for %s", name);
        werror(errno, "Can't create shortcut '%s/%s'", d.shown.c_str(), temp.c_str());
        error(1, errno, "Can't create shortcut '%s'", temp.c_str());
    }
    const std::string shown = kx::join(d.shown, temp.name());
    const char *failed = nullptr;
    if (!kx::write_all(fd.get(), text))
        failed = "Can't write shortcut '%s'";
    else if (fchown(fd.get(), st.st_uid, st.st_gid) != 0)
        failed = "Error chown '%s'";
    else if (fchmod(fd.get(), st.st_mode & 07777) != 0)
        failed = "Error chmod '%s'";
    if (!failed) {
        struct timespec ts[2] = {st.st_atim, st.st_mtim};
        if (futimens(fd.get(), ts) != 0)
            failed = "Error utime '%s'";
        else if (fd.close() != 0)
            failed = "Can't write shortcut '%s'";
    }
    if (failed) {
        int err = errno;
        werror(err, failed, shown.c_str());
        error(1, err, "Can't create shortcut '%s'", temp.c_str());
    }
    replace_entry(d, name, temp, st, "Can't rename %s to %s");
}

// The cow files of a rewritten link of the area's root take the new text's
// names before the link does: a rerun after an interruption finds the link
// with its old text and nothing left to move. false when a lock forbids a
// move (refused, nothing changed).
bool move_cow_files(const std::string &old_text, const std::string &new_text,
                    const std::string &full) {
    CowDir &cow = tree->cow;
    auto moves = cow_moves(old_text, new_text);
    if (moves.empty())
        return true;
    const std::string cow_shown = cow.dir.shown;
    if (locked(cow.fd.get(), "")) {
        refuse(full, cow_shown);
        return false;
    }
    for (const auto &[from, to] : moves) {
        if (locked(cow.fd.get(), from.c_str())) {
            refuse(full, kx::join(cow_shown, from));
            return false;
        }
    }
    note_change(cow.dir);
    for (const auto &[from, to] : moves) {
        if (renameat2(cow.fd.get(), from.c_str(), cow.fd.get(), to.c_str(), RENAME_NOREPLACE) == 0)
            cow.taken.insert(to);
        else if (errno != EEXIST && errno != ENOENT)
            error(1, errno, "Can't rename %s to %s", kx::join(cow_shown, from).c_str(),
                  kx::join(cow_shown, to).c_str());
    }
    return true;
}

void correct_symlink(Dir &d, const char *name, const std::string &full, const struct stat &st) {
    std::string text;
    if (!kx::read_link(d.sfd, name, st.st_size, text))
        error(1, errno, "can't readlink '%s'", full.c_str());
    const std::string old_text = text;
    if (!kx::is_magic(text) || !rewrite_cache_link(text))
        return;
    if (refused_here(d, name, full))
        return;
    if (in_area_root(d) && !move_cow_files(old_text, text, full))
        return;
    kx::TempName temp;
    if (!make_temp(d, name, temp, [&](int at, const char *candidate) {
            return symlinkat(text.c_str(), at, candidate);
        })) {
        if (errno == EEXIST)
            error(1, errno, "can't generate temprary file name for %s", name);
        error(1, errno, "can't create magic symlink %s -> %s", temp.c_str(), text.c_str());
    }
    kx::AttrStep step = set_owner_mode_times(d.sfd, temp.c_str(), st);
    if (step != kx::AttrStep::kNone)
        attribute_failed(step, full, kx::join(d.shown, temp.name()));
    replace_entry(d, name, temp, st, "can't rename %s to %s");
}

// Rewrites name in place when it names the old uuid; nothing else about
// any entry changes. Fills st; false when the entry is gone.
bool correct_entry(Dir &d, const char *name, struct stat &st) {
    const std::string full = kx::join(d.shown, name);
    if (fstatat(d.sfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            warning(errno, "can't stat '%s/%s'", d.shown.c_str(), name);
            return false;
        }
        error(1, errno, "can't stat '%s'", full.c_str());
    }
    if (!S_ISDIR(st.st_mode)) {
        auto found = hardlinks.find(key_of(st));
        if (found != hardlinks.end() && found->second.resumed &&
            !resumed_first_holds(found->second, d, name, st))
            hardlinks.erase(found), found = hardlinks.end();
        if (found != hardlinks.end()) {
            // Another name of an inode already rewritten follows it.
            relink(d, name, found->second);
            return true;
        }
    }
    if (st.st_nlink == 1)
        single_links++;
    if (S_ISREG(st.st_mode)) {
        if (is_dirindex(d, name, st))
            correct_index(d, name, full, st);
        else if (st.st_mode & S_ISVTX)
            correct_shortcut(d, name, full, st);
    } else if (S_ISLNK(st.st_mode)) {
        correct_symlink(d, name, full, st);
    }
    return true;
}

// ---- directories -------------------------------------------------------------

// A name and what its entry was when the pass met it.
struct Met {
    std::string name;
    struct stat st;
};

// One entry pass over the source directory: every entry reproduced (or
// corrected); the subdirectories met are handed back when asked.
int entry_pass(Dir &d, int top, std::vector<Met> *subdirs) {
    single_links = 0;
    const unsigned int options = get_option();
    const bool skip_lock = top && (options & OPT_SKIP_LOCK);
    const bool correcting = correcting_now();
    // The names are taken first: a correction replaces entries by rename,
    // and a listing taken while that happens may show a name twice.
    bool listed = kx::each_entry(d.sfd, kx::Listing::names_first, copy_ra,
                                 [&](const char *name, unsigned char) {
        if (skip_lock && std::strcmp(name, kLockName) == 0)
            return true;
        const char *dst_name = name;
        if (d.renamed) {
            auto it = d.renamed->find(name);
            if (it != d.renamed->end())
                dst_name = it->second.c_str();
        }
        struct stat st;
        bool met = correcting ? correct_entry(d, name, st) : copy_entry(d, name, dst_name, st);
        if (subdirs && met && S_ISDIR(st.st_mode))
            subdirs->push_back(Met{name, st});
        return true;
    });
    if (!listed)
        error(1, errno, "Can't open dir '%s'", d.shown.c_str());
    return single_links;
}

// Times and inode flags of a copied directory go on once its entries are
// in place, since creating them changed the times (the flags wait for the
// end of a tree copy). A corrected directory goes back to the times it had
// before its entries were replaced.
void finish_directory(const Dir &d, bool is_root) {
    if (correcting_now()) {
        bool resumed_times = tree && resumed.dir_times.count(d.rel);
        if (!d.changed && !resumed_times)
            return;
        Times t = original_times(d);
        struct stat now;
        if (fstat(d.sfd, &now) != 0)
            error(1, errno, "can't stat '%s'", d.shown.c_str());
        if (now.st_mtim.tv_sec != t.mtime.tv_sec || now.st_mtim.tv_nsec != t.mtime.tv_nsec ||
            resumed_times) {
            struct timespec times[2] = {t.atime, t.mtime};
            if (futimens(d.sfd, times) != 0)
                error(1, errno, "Error utime '%s'", d.shown.c_str());
        }
        return;
    }
    // The destination root is not a copied entry.
    if (is_root)
        return;
    struct timespec times[2] = {d.st.st_atim, d.st.st_mtim};
    if (futimens(d.dfd, times) != 0)
        error(1, errno, "Error utime '%s'", d.dst_shown.c_str());
    int word = 0;
    if (!kx::read_flag_word(d.sfd, word))
        error(1, errno, "Error get flags '%s'", d.shown.c_str());
    keep_flags(d, nullptr, word, d.dst_shown);
}

// The source directory of a copy or correction as messages show it.
std::string source_shown(const std::string &root_shown, const std::string &rel) {
    return rel.empty() ? root_shown : kx::join(root_shown, rel);
}

// The destination directory as messages show it: the destination root, a
// slash and the source directory's path with the source root cut off.
std::string destination_shown(const std::string &root_shown, const std::string &rel) {
    return root_shown + "/" + (rel.empty() ? std::string() : "/" + rel);
}

// Processes the directory d (its descriptors open): the entry pass, then
// its times; the subdirectories met are handed back.
int process_directory(Dir &d, int top, bool is_root, int *processed, std::vector<Met> &subdirs) {
    if (kx::trace_on(4))
        debug_print(4, "Start copy '%s' to '%s'\n", d.shown.c_str(), d.dst_shown.c_str());
    if (fstat(d.sfd, &d.st) != 0) {
        werror(errno, "Kxfsclone: lstat `%s/%s'", d.shown.c_str(), ".");
        return 1;
    }
    int count = entry_pass(d, top, &subdirs);
    if (processed)
        *processed += count;
    finish_directory(d, is_root);
    return 0;
}

// The leftovers an interrupted correction journaled: its temporaries go,
// and its replacements take the inode flags they were to take.
void finish_resumed(int root) {
    for (const std::string &rel : resumed.temps) {
        auto [dir, leaf] = split_rel(rel);
        kx::Fd parent(open_below(root, dir, O_PATH | O_DIRECTORY));
        struct stat st;
        if (parent.ok() && fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode) && unlinkat(parent.get(), leaf.c_str(), 0) != 0 &&
            errno != ENOENT)
            error(1, errno, "Can't remove '%s' left by an interrupted run", rel.c_str());
    }
    resumed.temps.clear();
    set_late_flags(root, resumed.flags);
}

// Opens the area's cow directory beneath the source root, for the cow
// files that follow their links; none when it is not a real directory.
void open_cow_dir(Tree &t, const char *src_shown) {
    if (!area_set)
        return;
    const std::string top = area_tree.empty() ? std::string() : area_tree + "/";
    t.cow.root_rel = top + "root";
    t.cow.rel = top + "cow";
    t.cow.fd = kx::Fd(open_below(t.src, t.cow.rel, O_RDONLY | O_DIRECTORY));
    if (!t.cow.fd.ok() || fstat(t.cow.fd.get(), &t.cow.dir.st) != 0) {
        t.cow.fd = kx::Fd();
        return;
    }
    t.cow.dir.sfd = t.cow.fd.get();
    t.cow.dir.rel = t.cow.rel;
    t.cow.dir.shown = source_shown(src_shown, t.cow.rel);
    t.cow.listed = std::make_unique<kx::NameFilter>();
    if (!t.cow.listed->add_listing(t.cow.fd.get()))
        t.cow.listed.reset();
}

// Whether the directory rel, the inode dev/ino, is the area's cow directory.
bool is_cow_dir(const Tree &t, const std::string &rel, dev_t dev, ino_t ino) {
    return t.cow.fd.ok() && rel == t.cow.rel && kx::same_inode(t.cow.dir.st, dev, ino);
}

int copy_tree(int src_fd, const char *src_shown, int dst_fd, const char *dst_shown, int top,
              int *processed, void (*progress)(void *), void *data) {
    Tree t;
    t.src = src_fd;
    t.dst = dst_fd;
    tree = &t;
    struct Reset {
        ~Reset() { tree = nullptr; }
    } reset;
    const bool correcting = correcting_now();
    if (correcting)
        finish_resumed(src_fd);
    open_cow_dir(t, src_shown);
    // The entries' link texts, shortcuts and indexes are read; a copy reads
    // its files' data too (a copy of the cache area links them instead).
    const bool copies_data = !(get_option() & (OPT_CORRECT | OPT_LINK_FILES));
    std::unique_ptr<readahead_stage, void (*)(readahead_stage *)> ra(
        kx::writing_walk_readahead(src_fd, READAHEAD_LINKS | READAHEAD_SHORTCUTS |
                                               READAHEAD_INDEXES |
                                               (copies_data ? READAHEAD_DATA : 0)),
        stop_readahead);
    copy_ra = ra.get();
    struct Unset {
        ~Unset() { copy_ra = nullptr; }
    } unset;
    kx::TreeWalk walk(src_fd, copy_ra);
    // The destination directories on the same way down: each one was made
    // by its parent's entry pass.
    kx::DirChain dst;
    for (bool first = true; walk.next(); first = false) {
        Dir d;
        d.rel = walk.rel();
        d.shown = source_shown(src_shown, d.rel);
        d.dst_shown = correcting ? std::string() : destination_shown(dst_shown, d.rel);
        if (walk.fd() < 0) {
            werror(walk.error(), "Kxfsclone: can't chdir '%s'", d.shown.c_str());
            return 1;
        }
        if (!correcting && !(first ? dst.start(dst_fd)
                                   : dst.leave_to(walk.depth() - 1) && dst.enter(walk.name(), nullptr))) {
            werror(errno, "Kxfsclone: can't chdir '%s'", d.dst_shown.c_str());
            return 1;
        }
        d.sfd = walk.fd();
        d.dfd = correcting ? -1 : dst.fd();
        struct stat here;
        if (!correcting && !first && d.rel == t.cow.rel && fstat(d.sfd, &here) == 0 &&
            is_cow_dir(t, d.rel, here.st_dev, here.st_ino))
            d.renamed = &t.cow.renamed;
        std::vector<Met> subdirs;
        if (process_directory(d, first ? top : 0, first, processed, subdirs) != 0)
            return 1;
        for (const Met &m : subdirs) {
            if (kx::trace_on(4))
                debug_print(4, "Push dir %s\n", source_shown(src_shown, walk.child(m.name)).c_str());
            // The area's cow directory is copied last, when every link of
            // its root has said under which name its cow file goes.
            const std::string rel = walk.child(m.name);
            if (!correcting && is_cow_dir(t, rel, m.st.st_dev, m.st.st_ino))
                walk.push_last(m.name, m.st);
            else
                walk.push(m.name, m.st);
        }
        if (kx::trace_on(4))
            debug_print(4, "Copy dir end :%s:\n", d.shown.c_str());
        if (progress)
            progress(data);
    }
    if (correcting && t.cow.fd.ok())
        finish_directory(t.cow.dir, false);
    else if (!correcting)
        set_late_flags(dst_fd, t.flags);
    return t.refused ? 1 : 0;
}

// The path form of one directory: the directory and its destination are
// the caller's paths (trusted), the entries beneath them are not.
int copy_one_directory(const char *dir, const char *src_root, const char *dst_root, int top,
                       struct dir_stack *stack, int *processed) {
    size_t cut = std::strlen(src_root);
    std::string dst_dir = std::string(dst_root) + "/" + (std::strlen(dir) > cut ? dir + cut : "");
    // The two roots are the caller's; what lies below them is opened
    // beneath them, never through a link.
    std::string rel;
    kx::Fd sroot(open(src_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    kx::Fd sfd;
    if (sroot.ok() && kx::path_below(src_root, dir, rel))
        sfd = kx::Fd(kx::open_beneath(sroot.get(), rel.c_str(), O_RDONLY | O_DIRECTORY));
    if (!sfd.ok()) {
        werror(errno, "Kxfsclone: can't chdir '%s'", dir);
        return 1;
    }
    const bool correcting = correcting_now();
    kx::Fd dfd;
    if (!correcting) {
        kx::Fd droot(open(dst_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (droot.ok())
            dfd = kx::Fd(kx::open_beneath(droot.get(), rel.c_str(), O_RDONLY | O_DIRECTORY));
        if (!dfd.ok()) {
            werror(errno, "Kxfsclone: can't chdir '%s'", dst_dir.c_str());
            return 1;
        }
    }
    Dir d;
    d.sfd = sfd.get();
    d.dfd = dfd.get();
    std::unique_ptr<char, kx::FreeDeleter> real(realpath(src_root, nullptr));
    d.shown = source_shown(real ? real.get() : src_root, rel);
    d.dst_shown = dst_dir;
    std::vector<Met> subdirs;
    if (process_directory(d, top, std::strcmp(dir, src_root) == 0, processed, subdirs) != 0)
        return 1;
    for (const Met &m : subdirs) {
        std::string path = *dir ? kx::join(dir, m.name) : m.name;
        kx::push_dir(stack, path);
        if (kx::trace_on(4))
            debug_print(4, "Push dir %s\n", path.c_str());
    }
    if (kx::trace_on(4))
        debug_print(4, "Copy dir end :%s:\n", dir);
    return 0;
}

// The working directory as the source directory of a path call.
Dir working_dir(kx::Fd &sfd, kx::Fd &dfd, const char *dst_dir) {
    Dir d;
    sfd = kx::Fd(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!sfd.ok() || fstat(sfd.get(), &d.st) != 0)
        error(1, errno, "Can't open dir '%s'", working_directory().c_str());
    d.sfd = sfd.get();
    d.shown = working_directory();
    if (dst_dir) {
        dfd = kx::Fd(open(dst_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dfd.ok())
            error(1, errno, "Can't open dir '%s'", dst_dir);
        d.dfd = dfd.get();
        d.dst_shown = dst_dir;
    }
    return d;
}

}  // namespace

extern "C" {

void init_copy_hardlinks(void) {
    hardlinks.clear();
}

void clean_copy_hardlinks(void) {
    HardlinkTable().swap(hardlinks);
}

void set_copy_uuids(const char *src, const char *dst) {
    src_uuid = src;
    dst_uuid = dst;
}

void set_copy_area_tree(const char *tree_rel) {
    area_set = tree_rel != nullptr;
    area_tree = tree_rel ? tree_rel : "";
}

void set_copy_journal(copy_journal_fn fn, void *data) {
    journal_fn = fn;
    journal_data = data;
}

void resume_copy_journal(const char *records) {
    std::string_view rest(records ? records : "");
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.size() < 2 || line[1] != ' ')
            continue;
        std::string text(line.substr(2));
        if (line[0] == 'T') {
            resumed.temps.push_back(unescaped(text));
        } else if (line[0] == 'D') {
            long long as, ms;
            long an, mn;
            int used = 0;
            if (std::sscanf(text.c_str(), "%lld %ld %lld %ld %n", &as, &an, &ms, &mn, &used) == 4 &&
                used > 0)
                resumed.dir_times.emplace(unescaped(std::string_view(text).substr(used)),
                                          Times{{as, an}, {ms, mn}});
        } else if (line[0] == 'F') {
            int word = 0;
            int used = 0;
            if (std::sscanf(text.c_str(), "%d %n", &word, &used) == 1 && used > 0) {
                std::string rel = unescaped(std::string_view(text).substr(used));
                // Never a flag that would lock an entry of the area.
                word &= kx::kCopiedFlags & ~kx::kLockingFlags;
                if (word != 0 && !rel.empty())
                    resumed.flags.push_back(LateFlags{rel, rel, word});
            }
        } else if (line[0] == 'H') {
            uint64_t dev, ino;
            int used = 0;
            if (std::sscanf(text.c_str(), "%" SCNu64 " %" SCNu64 " %n", &dev, &ino, &used) == 2 &&
                used > 0) {
                std::string rel = unescaped(std::string_view(text).substr(used));
                hardlinks.insert_or_assign(kx::InodeKey{static_cast<dev_t>(dev), static_cast<ino_t>(ino)},
                                           FirstName{rel, rel, true});
            }
        }
    }
}

int copy_one(const char *name, const char *dst_dir) {
    kx::Fd sfd, dfd;
    Dir d = working_dir(sfd, dfd, dst_dir);
    struct stat st;
    copy_entry(d, name, name, st);
    return 0;
}

int correct_one(const char *name) {
    kx::Fd sfd, dfd;
    Dir d = working_dir(sfd, dfd, nullptr);
    struct stat st;
    correct_entry(d, name, st);
    return 0;
}

int copy_directory_entry(const char *dst_dir, int top) {
    kx::Fd sfd, dfd;
    Dir d = working_dir(sfd, dfd, correcting_now() ? nullptr : dst_dir);
    return entry_pass(d, top, nullptr);
}

int copy_directory(const char *dir, const char *src_root, const char *dst_root, int top,
                   struct dir_stack *stack, int *processed) {
    try {
        return copy_one_directory(dir, src_root, dst_root, top, stack, processed);
    } catch (const std::bad_alloc &) {
        error(1, ENOMEM, "not enough memory");
    }
    return 1;
}

int copy_tree_at(int src_fd, const char *src_shown, int dst_fd, const char *dst_shown, int top,
                 int *processed, void (*progress)(void *), void *data) {
    try {
        return copy_tree(src_fd, src_shown ? src_shown : "", dst_fd, dst_shown ? dst_shown : "",
                         top, processed, progress, data);
    } catch (const std::bad_alloc &) {
        error(1, ENOMEM, "not enough memory");
    }
    return 1;
}

int copy_directory_recursive_int(const char *src, const char *dst) {
    struct stat st;
    if (lstat(dst, &st) != 0) {
        if (mkdir_p(dst, 0755, 0) != 0 || (lstat(dst, &st) != 0 && mkdir(dst, 0755) != 0)) {
            werror(errno, "Can't make directory %s", dst);
            return 1;
        }
    }
    init_copy_hardlinks();
    kx::Fd sfd(open(src, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!sfd.ok()) {
        werror(errno, "Kxfsclone: can't chdir '%s'", src);
        return 1;
    }
    const bool correcting = correcting_now();
    kx::Fd dfd;
    if (!correcting) {
        dfd = kx::Fd(open(dst, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dfd.ok()) {
            werror(errno, "Kxfsclone: can't chdir '%s'", dst);
            return 1;
        }
    }
    std::unique_ptr<char, kx::FreeDeleter> real(realpath(src, nullptr));
    return copy_tree_at(sfd.get(), real ? real.get() : src, dfd.get(), dst, 1, nullptr, nullptr,
                        nullptr) != 0
               ? 1
               : 0;
}

int copy_directory_recursive(const char *src, const char *dst) {
    set_option(0);
    return copy_directory_recursive_int(src, dst);
}

}  // extern "C"
