// Area copy and pointer correction.
//
// Copies a tree of a private area (or of a cache area) entry by entry, with
// type, owner, group, mode, times (to the nanosecond), inode flags, extended
// attributes and the hard-link structure, rewriting cache links of the
// source uuid to the destination uuid on the way. Three modes, chosen by the
// option word: copy; correction in place (OPT_CORRECT), where only what
// names the old uuid is replaced and nothing else is touched; and linking
// (OPT_LINK_FILES), where regular files become hard links of the source.
//
// The source is hostile: every directory is reached by descriptor beneath
// the source root, without following links, and must be the inode its
// parent's listing showed; every entry is handled with the *at calls
// relative to its directory's descriptor and never followed. Nothing
// changes the working directory. The path functions of the interface are
// thin layers over the same core.
//
// A correction replaces an entry by writing a temporary sibling
// ("name.XXXXXX") and renaming it over the entry. With a journal set, it
// says before each change what a rerun needs to finish an interrupted run:
// the temporaries it makes, the first rewritten name of each multiply
// linked inode, and the times of each directory before its first change.
//
// Process-wide state: the two uuids, the hard-link table (the first name at
// which each multiply-linked inode was reproduced or rewritten, found in
// constant time), the journal and what a resumed one handed back, the
// current directory and the single-link count of the running entry pass.
#include "area.h"
#include "entry.h"
#include "walk.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

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

// The first name of an inode: below the running tree's root (rel) and as
// messages show it (shown, also a usable path for the path functions).
struct FirstName {
    std::string rel;
    std::string shown;
    bool resumed = false;  // taken from an interrupted run's journal
};
using HardlinkTable = std::unordered_map<kx::InodeKey, FirstName, kx::InodeKeyHash>;
HardlinkTable hardlinks;

// The running tree copy; null for the path functions, which work on paths.
struct Tree {
    int src = -1;  // source root
    int dst = -1;  // destination root, -1 in correction
};
const Tree *tree = nullptr;

copy_journal_fn journal_fn = nullptr;
void *journal_data = nullptr;

struct Times {
    struct timespec atime, mtime;
};
// What an interrupted correction's journal handed back.
struct Resumed {
    std::vector<std::string> temps;                     // temporaries it made
    std::unordered_map<std::string, Times> dir_times;   // times before its changes
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
};

int single_links = 0;
// The read-ahead stage under the tree walk that runs, if any.
readahead_stage *copy_ra = nullptr;

bool trace_on(int level) {
    return kxfsutil_debug_level >= level;
}

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

void trace_xattr_failure(const std::string &src, const std::string &dst) {
    if (trace_on(2))
        debug_print(2, "can't copy xattrs from %s to %s\n", src.c_str(), dst.c_str());
}

// Makes the new name `name` of directory dfd a hard link of the first name.
// The first name's directory is resolved beneath the tree's root.
int link_first(const FirstName &first, int root, int dfd, const char *name) {
    if (!tree)
        return linkat(AT_FDCWD, first.shown.c_str(), dfd, name, 0);
    size_t slash = first.rel.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : first.rel.substr(0, slash);
    std::string leaf = slash == std::string::npos ? first.rel : first.rel.substr(slash + 1);
    kx::Fd parent(kx::open_beneath(root, dir.c_str(), O_PATH | O_DIRECTORY));
    if (!parent.ok())
        return -1;
    return linkat(parent.get(), leaf.c_str(), dfd, name, 0);
}

// ---- copy ------------------------------------------------------------------

void copy_dirindex(const Dir &d, const char *name) {
    int rc = clone_dirindex_at(d.sfd, name, d.dfd, name, src_uuid, dst_uuid, d.shown.c_str());
    const int err = errno;
    if (rc < 0) {
        if (trace_on(2))
            debug_print(2, "Error during dirindex clone '%s/%s'\n", d.shown.c_str(), name);
    } else if (trace_on(4)) {
        debug_print(4, "Dirindex cloned '%s/%s'\n", d.shown.c_str(), name);
    }
    // An index that could not be rebuilt, or that had nothing to rebuild, is
    // reproduced as it is: the destination directory must not lose it.
    struct stat st;
    if (rc == 0 && fstatat(d.dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return;
    unlinkat(d.dfd, name, 0);
    // Except a file larger than any index or with holes no index has: it
    // is broken by its size, and a copy would cost all of that size.
    if (rc < 0 && err == EFBIG) {
        werror(err, "Can't copy regular file '%s/%s' to '%s'", d.shown.c_str(), name,
               kx::join(d.dst_shown, name).c_str());
        return;
    }
    if (copy_reg_file_at(d.sfd, name, d.dfd, name) != 0)
        error(1, errno, "Can't copy regular file '%s/%s' to '%s'", d.shown.c_str(), name,
              kx::join(d.dst_shown, name).c_str());
}

// The new shortcut takes its attributes while it is open.
void copy_shortcut(const Dir &d, const char *name, std::string &text, const std::string &dest,
                   const struct stat &st) {
    rewrite_cache_link(text);
    kx::Fd fd(openat(d.dfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok())
        error(1, errno, "Can't create shortcut '%s'", dest.c_str());
    if (!text.empty() && !kx::write_all(fd.get(), text.data(), text.size()))
        error(1, errno, "Can't write shortcut '%s'", dest.c_str());
    if (kx::copy_attributes_open(-1, fd.get(), d.sfd, name, d.dfd, name, st, d.shown.c_str(),
                                 d.dst_shown.c_str()) != 0)
        trace_xattr_failure(kx::join(d.shown, name), dest);
    if (fd.close() != 0)
        error(1, errno, "Can't write shortcut '%s'", dest.c_str());
}

void copy_symlink(const Dir &d, const char *name, const struct stat &st, const std::string &dest) {
    std::string text;
    if (!kx::read_link(d.sfd, name, st.st_size, text))
        error(1, errno, "can't readlink '%s/%s'", d.shown.c_str(), name);
    if (kx::is_magic(text)) {
        rewrite_cache_link(text);
        if (symlinkat(text.c_str(), d.dfd, name) != 0)
            error(1, errno, "can't create magic symlink %s -> %s'", dest.c_str(), text.c_str());
    } else if (symlinkat(text.c_str(), d.dfd, name) != 0) {
        error(1, errno, "can't create symlink %s -> %s'", dest.c_str(), text.c_str());
    }
}

// Owner, mode and times of a new entry, the times as exactly as they were:
// the host's call for a link's times takes whole seconds, the link's own
// times are then set again to the nanosecond.
void set_link_attributes(int dirfd, const char *name, const struct stat &st) {
    set_attr_at(dirfd, name, &st);
    if (S_ISLNK(st.st_mode)) {
        struct timespec ts[2] = {st.st_atim, st.st_mtim};
        utimensat(dirfd, name, ts, AT_SYMLINK_NOFOLLOW);
    }
}

// Owner, mode and times, then the extended attributes, then the inode flags
// of a new entry. A directory takes its times and flags only when its own
// entries are in place (finish_directory), so that it can be filled.
void apply_attributes(const Dir &d, const char *name, const std::string &dest,
                      const struct stat &st) {
    set_link_attributes(d.dfd, name, st);
    if (copy_xattrs_at(d.sfd, name, d.dfd, name, d.shown.c_str(), d.dst_shown.c_str()) != 0)
        trace_xattr_failure(kx::join(d.shown, name), dest);
    // Links, fifos and devices carry no flag word.
    if (S_ISREG(st.st_mode))
        copy_eattr_at(d.sfd, name, d.dfd, name);
}

// Reproduces name of the source directory in the destination directory.
// Fills st; false when the entry is gone.
bool copy_entry(Dir &d, const char *name, struct stat &st) {
    const std::string dest = kx::join(d.dst_shown, name);
    if (fstatat(d.sfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            warning(errno, "can't stat '%s/%s'", d.shown.c_str(), name);
            return false;
        }
        error(1, errno, "can't stat '%s/%s'", d.shown.c_str(), name);
    }
    struct stat existing;
    if (fstatat(d.dfd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0)
        error(1, 0, "Already exist '%s'", dest.c_str());
    if (st.st_nlink == 1)
        single_links++;

    // Directories cannot be hard-linked: they never enter the table.
    if (!S_ISDIR(st.st_mode)) {
        auto found = hardlinks.find(key_of(st));
        if (found != hardlinks.end()) {
            const char *first = found->second.shown.c_str();
            if (trace_on(4))
                debug_print(4, "Making hardlink '%s' to '%s'\n", first, dest.c_str());
            if (link_first(found->second, tree ? tree->dst : AT_FDCWD, d.dfd, name) != 0)
                error(1, errno, "Can't link %s to %s", first, dest.c_str());
            // A further name shares the inode, and with it every attribute.
            return true;
        }
        if (st.st_nlink > 1)
            hardlinks.emplace(key_of(st), FirstName{rel_of(d, name), dest, false});
    }

    const unsigned int options = get_option();
    std::string text;
    if (S_ISDIR(st.st_mode)) {
        if (mkdirat(d.dfd, name, st.st_mode & 07777) != 0)
            error(1, errno, "Can't mkdir '%s'", dest.c_str());
    } else if (S_ISREG(st.st_mode)) {
        if (is_dirindex(d, name, st)) {
            copy_dirindex(d, name);
        } else if (options & OPT_LINK_FILES) {
            if (linkat(d.sfd, name, d.dfd, name, 0) != 0)
                error(1, errno, "Can't make hard link '%s'->'%s/%s'", dest.c_str(), d.shown.c_str(),
                      name);
            // The source's own inode: its attributes are left alone.
            return true;
        } else if (read_as_shortcut(d, name, st, "Can't read shortcut '%s'",
                                    kx::join(d.shown, name).c_str(), text)) {
            copy_shortcut(d, name, text, dest, st);
            return true;
        } else {
            if (trace_on(4))
                debug_print(4, "WARNING: regular file '%s'\n", name);
            // Data and attributes go through the two open files.
            int rc = kx::copy_file_with_attributes(d.sfd, name, d.dfd, name, st, d.shown.c_str(),
                                                   d.dst_shown.c_str());
            if (rc < 0)
                error(1, errno, "Can't copy regular file '%s/%s' to '%s'", d.shown.c_str(), name,
                      dest.c_str());
            if (rc > 0)
                trace_xattr_failure(kx::join(d.shown, name), dest);
            return true;
        }
    } else if (S_ISLNK(st.st_mode)) {
        copy_symlink(d, name, st, dest);
    } else if (S_ISFIFO(st.st_mode)) {
        if (trace_on(4))
            debug_print(4, "Fifo '%s/%s'\n", d.shown.c_str(), name);
        if (mkfifoat(d.dfd, name, st.st_mode & 07777) != 0)
            error(1, errno, "can't create fifo %s ", dest.c_str());
    } else {
        if (trace_on(4))
            debug_print(4, "Special file '%s/%s'\n", d.shown.c_str(), name);
        if (mknodat(d.dfd, name, st.st_mode, st.st_rdev) != 0)
            error(1, errno, "can't create special file %s ", dest.c_str());
    }
    apply_attributes(d, name, dest, st);
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

// Carries the extended attributes and inode flags of name over to its
// replacement, then puts the replacement in its place. Before that, a
// multiply linked inode's further names learn where it went.
void replace_entry(Dir &d, const char *name, kx::TempName &temp, const struct stat &st,
                   const char *rename_message, bool has_flag_word) {
    const std::string full = kx::join(d.shown, name);
    const std::string temp_shown = temp.name();
    if (copy_xattrs_at(d.sfd, name, d.sfd, temp.c_str(), d.shown.c_str(), d.shown.c_str()) != 0)
        trace_xattr_failure(full, kx::join(d.shown, temp_shown));
    if (has_flag_word)
        copy_eattr_at(d.sfd, name, d.sfd, temp.c_str());
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
    size_t slash = first.rel.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : first.rel.substr(0, slash);
    std::string leaf = slash == std::string::npos ? first.rel : first.rel.substr(slash + 1);
    kx::Fd parent(kx::open_beneath(tree->src, dir.c_str(), O_PATH | O_DIRECTORY));
    struct stat fst;
    if (!parent.ok() || fstatat(parent.get(), leaf.c_str(), &fst, AT_SYMLINK_NOFOLLOW) != 0 ||
        kx::same_inode(fst, st.st_dev, st.st_ino) || (fst.st_mode & S_IFMT) != (st.st_mode & S_IFMT))
        return false;
    std::string want = corrected_text(d.sfd, name, st);
    return !want.empty() && want == corrected_text(parent.get(), leaf.c_str(), fst);
}

void relink(Dir &d, const char *name, const FirstName &first) {
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

void correct_index(Dir &d, const char *name, const std::string &full, const struct stat &st) {
    kx::TempName temp;
    int rc = -1;
    if (!make_temp(d, name, temp, [&](int at, const char *candidate) {
            rc = clone_dirindex_at(d.sfd, name, at, candidate, src_uuid, dst_uuid, d.shown.c_str());
            // Only a taken name is tried again; a failed rebuild is judged below.
            return rc < 0 && errno == EEXIST ? -1 : 0;
        }))
        error(1, errno, "can't generate temprary file name for %s", name);
    if (rc < 0) {
        if (trace_on(2))
            debug_print(2, "Error during dirindex clone '%s'\n", full.c_str());
    } else if (trace_on(4)) {
        debug_print(4, "Dirindex cloned '%s'\n", full.c_str());
    }
    // A failed rebuild, or an index with nothing to rebuild, leaves the
    // index as it is rather than putting a partial or empty file in place.
    struct stat built;
    if (rc < 0 || fstatat(d.sfd, temp.c_str(), &built, AT_SYMLINK_NOFOLLOW) != 0 ||
        built.st_size == 0)
        return;
    set_attr_at(d.sfd, temp.c_str(), &st);
    replace_entry(d, name, temp, st, "Can't rename %s to %s", true);
}

// The entry's data, owner, mode and times go into the new shortcut while it
// is the temporary file; only the finished file is renamed over the entry.
void correct_shortcut(Dir &d, const char *name, const std::string &full, const struct stat &st) {
    std::string text;
    if (!read_as_shortcut(d, name, st, "Can't read shortcut '%s'", full.c_str(), text) ||
        !rewrite_cache_link(text))
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
    replace_entry(d, name, temp, st, "Can't rename %s to %s", true);
}

void correct_symlink(Dir &d, const char *name, const std::string &full, const struct stat &st) {
    std::string text;
    if (!kx::read_link(d.sfd, name, st.st_size, text))
        error(1, errno, "can't readlink '%s'", full.c_str());
    if (!kx::is_magic(text) || !rewrite_cache_link(text))
        return;
    kx::TempName temp;
    if (!make_temp(d, name, temp, [&](int at, const char *candidate) {
            return symlinkat(text.c_str(), at, candidate);
        })) {
        if (errno == EEXIST)
            error(1, errno, "can't generate temprary file name for %s", name);
        error(1, errno, "can't create magic symlink %s -> %s", temp.c_str(), text.c_str());
    }
    set_link_attributes(d.sfd, temp.c_str(), st);
    replace_entry(d, name, temp, st, "can't rename %s to %s", false);
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
    // The names are taken first: a correction replaces entries by rename,
    // and a listing taken while that happens may show a name twice.
    std::vector<std::string> names;
    {
        kx::Fd fd(openat(d.sfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        kx::Dir listing(fd.ok() ? fdopendir(fd.get()) : nullptr);
        if (!listing.ok())
            error(1, errno, "Can't open dir '%s'", d.shown.c_str());
        fd.release();
        for (;;) {
            errno = 0;
            struct dirent *de = readdir(listing.get());
            if (!de) {
                if (errno != 0)
                    error(1, errno, "Can't open dir '%s'", d.shown.c_str());
                break;
            }
            if (!kx::is_dot_or_dotdot(de->d_name))
                names.emplace_back(de->d_name);
        }
    }
    const unsigned int options = get_option();
    const bool skip_lock = top && (options & OPT_SKIP_LOCK);
    const bool correcting = (options & OPT_CORRECT) && !(options & OPT_LINK_FILES);
    for (const std::string &name : names) {
        readahead_advance(copy_ra, 1);
        if (skip_lock && name == kLockName)
            continue;
        struct stat st;
        bool met = correcting ? correct_entry(d, name.c_str(), st) : copy_entry(d, name.c_str(), st);
        if (subdirs && met && S_ISDIR(st.st_mode))
            subdirs->push_back(Met{name, st});
    }
    return single_links;
}

// Times and inode flags of a copied directory go on once its entries are
// in place, since creating them changed the times. A corrected directory
// goes back to the times it had before its entries were replaced.
void finish_directory(const Dir &d, bool is_root) {
    const unsigned int options = get_option();
    if ((options & OPT_CORRECT) && !(options & OPT_LINK_FILES)) {
        bool resumed_times = tree && resumed.dir_times.count(d.rel);
        if (!d.changed && !resumed_times)
            return;
        Times t = original_times(d);
        struct stat now;
        if (fstat(d.sfd, &now) == 0 &&
            (now.st_mtim.tv_sec != t.mtime.tv_sec || now.st_mtim.tv_nsec != t.mtime.tv_nsec ||
             resumed_times)) {
            struct timespec times[2] = {t.atime, t.mtime};
            futimens(d.sfd, times);
        }
        return;
    }
    // The destination root is not a copied entry.
    if (is_root)
        return;
    struct timespec times[2] = {d.st.st_atim, d.st.st_mtim};
    futimens(d.dfd, times);
    int flags = 0;
    if (ioctl(d.sfd, 0x80086601UL, &flags) == 0 && flags != 0)
        ioctl(d.dfd, 0x40086602UL, &flags);
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
    if (trace_on(4))
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

// The leftovers an interrupted correction journaled: its temporaries go.
void remove_resumed_temps(int root) {
    for (const std::string &rel : resumed.temps) {
        size_t slash = rel.rfind('/');
        std::string dir = slash == std::string::npos ? std::string(".") : rel.substr(0, slash);
        std::string leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
        kx::Fd parent(kx::open_beneath(root, dir.c_str(), O_PATH | O_DIRECTORY));
        struct stat st;
        if (parent.ok() && fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode))
            unlinkat(parent.get(), leaf.c_str(), 0);
    }
    resumed.temps.clear();
}

struct Pending {
    std::string rel;
    dev_t dev;
    ino_t ino;
};

int copy_tree(int src_fd, const char *src_shown, int dst_fd, const char *dst_shown, int top,
              int *processed, void (*progress)(void *), void *data) {
    Tree t{src_fd, dst_fd};
    tree = &t;
    struct Reset {
        ~Reset() { tree = nullptr; }
    } reset;
    const bool correcting = (get_option() & OPT_CORRECT) && !(get_option() & OPT_LINK_FILES);
    if (correcting)
        remove_resumed_temps(src_fd);
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
    std::vector<Pending> stack;
    bool first = true;
    while (first || !stack.empty()) {
        Pending p{};
        if (!first) {
            p = std::move(stack.back());
            stack.pop_back();
        }
        readahead_enter_dir(copy_ra, p.rel.c_str());
        Dir d;
        d.rel = p.rel;
        d.shown = source_shown(src_shown, p.rel);
        d.dst_shown = correcting ? std::string() : destination_shown(dst_shown, p.rel);
        kx::Fd sfd = first ? kx::Fd(fcntl(src_fd, F_DUPFD_CLOEXEC, 0))
                           : kx::open_dir_beneath(src_fd, p.rel.c_str(), p.dev, p.ino);
        if (!sfd.ok()) {
            werror(errno, "Kxfsclone: can't chdir '%s'", d.shown.c_str());
            return 1;
        }
        kx::Fd dfd;
        if (!correcting) {
            dfd = first ? kx::Fd(fcntl(dst_fd, F_DUPFD_CLOEXEC, 0))
                        : kx::Fd(kx::open_beneath(dst_fd, p.rel.c_str(), O_RDONLY | O_DIRECTORY));
            if (!dfd.ok()) {
                werror(errno, "Kxfsclone: can't chdir '%s'", d.dst_shown.c_str());
                return 1;
            }
        }
        d.sfd = sfd.get();
        d.dfd = dfd.get();
        std::vector<Met> subdirs;
        if (process_directory(d, first ? top : 0, first, processed, subdirs) != 0)
            return 1;
        for (const Met &m : subdirs) {
            std::string rel = p.rel.empty() ? m.name : kx::join(p.rel, m.name);
            if (trace_on(4))
                debug_print(4, "Push dir %s\n", source_shown(src_shown, rel).c_str());
            stack.push_back(Pending{rel, m.st.st_dev, m.st.st_ino});
            readahead_push_dir(copy_ra, rel.c_str());
        }
        if (trace_on(4))
            debug_print(4, "Copy dir end :%s:\n", d.shown.c_str());
        if (progress)
            progress(data);
        first = false;
    }
    return 0;
}

// The path form of one directory: the directory and its destination are
// the caller's paths (trusted), the entries beneath them are not.
int copy_one_directory(const char *dir, const char *src_root, const char *dst_root, int top,
                       struct dir_stack *stack, int *processed) {
    size_t cut = std::strlen(src_root);
    std::string dst_dir = std::string(dst_root) + "/" + (std::strlen(dir) > cut ? dir + cut : "");
    kx::Fd sfd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!sfd.ok()) {
        werror(errno, "Kxfsclone: can't chdir '%s'", dir);
        return 1;
    }
    const bool correcting = (get_option() & OPT_CORRECT) && !(get_option() & OPT_LINK_FILES);
    kx::Fd dfd;
    if (!correcting) {
        dfd = kx::Fd(open(dst_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dfd.ok()) {
            werror(errno, "Kxfsclone: can't chdir '%s'", dst_dir.c_str());
            return 1;
        }
    }
    Dir d;
    d.sfd = sfd.get();
    d.dfd = dfd.get();
    std::unique_ptr<char, kx::FreeDeleter> real(realpath(dir, nullptr));
    d.shown = real ? real.get() : dir;
    d.dst_shown = dst_dir;
    std::vector<Met> subdirs;
    if (process_directory(d, top, std::strcmp(dir, src_root) == 0, processed, subdirs) != 0)
        return 1;
    for (const Met &m : subdirs) {
        std::string path = *dir ? kx::join(dir, m.name) : m.name;
        kx::push_dir(stack, path);
        if (trace_on(4))
            debug_print(4, "Push dir %s\n", path.c_str());
    }
    if (trace_on(4))
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
    copy_entry(d, name, st);
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
    const bool correcting = (get_option() & OPT_CORRECT) && !(get_option() & OPT_LINK_FILES);
    Dir d = working_dir(sfd, dfd, correcting ? nullptr : dst_dir);
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
    const bool correcting = (get_option() & OPT_CORRECT) && !(get_option() & OPT_LINK_FILES);
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
