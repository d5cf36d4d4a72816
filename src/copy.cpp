// Area copy and pointer correction.
//
// Copies a tree of a private area (or of a cache area) entry by entry, with
// type, owner, group, mode, times, inode flags, extended attributes and the
// hard-link structure, rewriting cache links of the source uuid to the
// destination uuid on the way. Three modes, chosen by the option word: copy;
// correction in place (OPT_CORRECT), where only what names the old uuid is
// replaced; and linking (OPT_LINK_FILES), where regular files become hard
// links of the source.
//
// Relies on the entry primitives (set_attr, copy_eattr, copy_xattrs,
// read_shortcut, copy_reg_file), on the dirindex rewrite (clone_dirindex,
// create_shortcut, correct_magic_uuid) and on mkdir_p. Works with the working
// directory at the source directory and names relative to it; destinations
// are absolute paths below a directory this code created itself.
//
// Process-wide state: the two uuids, the hard-link table (the first path at
// which each multiply-linked inode was reproduced or rewritten, found in
// constant time), the current directory and the single-link count of the
// running entry pass.
#include "internal.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kTextBuffer = 4096;
constexpr size_t kNameMax = 255;
constexpr const char *kLockName = ".lck";

const char *src_uuid = nullptr;
const char *dst_uuid = nullptr;

using HardlinkTable = std::unordered_map<kx::InodeKey, std::string, kx::InodeKeyHash>;
HardlinkTable hardlinks;

// Set for the duration of an entry pass; a call made outside a pass asks
// the working directory itself.
std::string current_dir;
bool in_pass = false;
int single_links = 0;

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

// The directory named in messages and full paths: the one of the running
// entry pass, or the working directory for a call made outside a pass.
const std::string &cur_dir() {
    if (!in_pass)
        current_dir = working_directory();
    return current_dir;
}

const char *cur() {
    return cur_dir().c_str();
}

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
bool read_as_shortcut(const char *name, const struct stat &st, const char *message,
                      const char *shown, std::string &text) {
    if (!S_ISREG(st.st_mode) || !(st.st_mode & S_ISVTX) || st.st_size > MAGIC_TARGET_MAX)
        return false;
    char buf[kTextBuffer];
    int n = read_shortcut(name, buf, sizeof buf);
    if (n < 0)
        error(1, errno, message, shown);
    if (n != st.st_size || std::strlen(buf) != static_cast<size_t>(n) || !kx::is_magic(buf))
        return false;
    text.assign(buf, static_cast<size_t>(n));
    return true;
}

// "name.XXXXXX" for mkstemp, the name shortened when the result would
// not fit in one path component.
std::string temp_template(const char *name) {
    std::string base(name);
    if (base.size() > kNameMax - 7)
        base.resize(kNameMax - 7);
    return base + ".XXXXXX";
}

// Makes a fresh sibling of name with make(path) (link or symlink), retrying
// while a generated name is taken. path holds the last name tried; false
// with errno set (EEXIST when no free name was found).
template <class Make>
bool make_sibling(const char *name, std::string &path, Make make) {
    static uint64_t state =
        (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(time(nullptr));
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    path = temp_template(name);
    const size_t at = path.size() - 6;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (size_t i = 0; i < 6; ++i) {
            path[at + i] = letters[z % 62];
            z /= 62;
        }
        if (make(path.c_str()) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

// Creates an empty private file beside name; the name, or "" with errno set.
std::string make_temp_file(const char *name) {
    std::string path = temp_template(name);
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return std::string();
    close(fd);
    return path;
}

// Is name, in the working directory, the directory's dirindex that the copy
// rebuilds for the new uuid?
bool is_dirindex(const char *name, const struct stat &st) {
    if (!src_uuid || !S_ISREG(st.st_mode) || std::strcmp(name, DIRINDEX_NAME) != 0)
        return false;
    struct stat dir;
    if (lstat(".", &dir) != 0)
        error(1, errno, "Can't lstat '%s'", cur());
    return (dir.st_mode & S_ISUID) != 0;
}

void trace_xattr_failure(const char *src, const char *dst) {
    if (trace_on(2))
        debug_print(2, "can't copy xattrs from %s to %s\n", src, dst);
}

// Owner, mode and times, then the extended attributes, then the inode flags
// of a new inode. A directory takes its flags only when its own entries are
// in place (finish_directory), so that an immutable directory can be filled.
void apply_attributes(const char *name, const std::string &dest, const struct stat &st) {
    set_attr(dest.c_str(), &st);
    if (copy_xattrs(name, dest.c_str()) != 0)
        trace_xattr_failure(name, dest.c_str());
    if (!S_ISDIR(st.st_mode))
        copy_eattr(name, dest.c_str());
}

// ---- copy ------------------------------------------------------------------

void copy_dirindex(const char *name, const std::string &dest) {
    int rc = clone_dirindex(name, dest.c_str(), src_uuid, dst_uuid);
    if (rc < 0) {
        if (trace_on(2))
            debug_print(2, "Error during dirindex clone '%s/%s'\n", cur(), name);
    } else if (trace_on(4)) {
        debug_print(4, "Dirindex cloned '%s/%s'\n", cur(), name);
    }
    // An index that could not be rebuilt, or that had nothing to rebuild, is
    // reproduced as it is: the destination directory must not lose it.
    struct stat st;
    if (rc == 0 && lstat(dest.c_str(), &st) == 0)
        return;
    unlink(dest.c_str());
    if (copy_reg_file(name, dest.c_str()) != 0)
        error(1, errno, "Can't copy regular file '%s/%s' to '%s'", cur(), name, dest.c_str());
}

void copy_shortcut(std::string &text, const std::string &dest) {
    rewrite_cache_link(text);
    kx::Fd fd(open(dest.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok())
        error(1, errno, "Can't create shortcut '%s'", dest.c_str());
    if (!text.empty() && !kx::write_all(fd.get(), text.data(), text.size()))
        error(1, errno, "Can't write shortcut '%s'", dest.c_str());
    if (fd.close() != 0)
        error(1, errno, "Can't write shortcut '%s'", dest.c_str());
}

void copy_symlink(const char *name, const struct stat &st, const std::string &dest) {
    std::string text;
    if (!kx::read_link(AT_FDCWD, name, st.st_size, text))
        error(1, errno, "can't readlink '%s/%s'", cur(), name);
    if (kx::is_magic(text)) {
        rewrite_cache_link(text);
        if (symlink(text.c_str(), dest.c_str()) != 0)
            error(1, errno, "can't create magic symlink %s -> %s'", dest.c_str(), text.c_str());
    } else if (symlink(text.c_str(), dest.c_str()) != 0) {
        error(1, errno, "can't create symlink %s -> %s'", dest.c_str(), text.c_str());
    }
}

// Reproduces name at dst_dir/name. The entry's type, or 0 when it is gone.
mode_t copy_entry(const char *name, const char *dst_dir) {
    std::string dest = kx::join(dst_dir, name);
    struct stat st;
    if (lstat(name, &st) != 0) {
        if (errno == ENOENT) {
            warning(errno, "can't stat '%s/%s'", cur(), name);
            return 0;
        }
        error(1, errno, "can't stat '%s/%s'", cur(), name);
    }
    struct stat existing;
    if (lstat(dest.c_str(), &existing) == 0)
        error(1, 0, "Already exist '%s'", dest.c_str());
    if (st.st_nlink == 1)
        single_links++;

    // Directories cannot be hard-linked: they never enter the table.
    if (!S_ISDIR(st.st_mode)) {
        auto found = hardlinks.find(key_of(st));
        if (found != hardlinks.end()) {
            const char *first = found->second.c_str();
            if (trace_on(4))
                debug_print(4, "Making hardlink '%s' to '%s'\n", first, dest.c_str());
            if (link(first, dest.c_str()) != 0)
                error(1, errno, "Can't link %s to %s", first, dest.c_str());
            // A further name shares the inode, and with it every attribute.
            return st.st_mode;
        }
        if (st.st_nlink > 1)
            hardlinks.emplace(key_of(st), dest);
    }

    const unsigned int options = get_option();
    std::string text;
    if (S_ISDIR(st.st_mode)) {
        if (mkdir(dest.c_str(), st.st_mode & 07777) != 0)
            error(1, errno, "Can't mkdir '%s'", dest.c_str());
    } else if (S_ISREG(st.st_mode)) {
        if (is_dirindex(name, st)) {
            copy_dirindex(name, dest);
        } else if (options & OPT_LINK_FILES) {
            if (link(name, dest.c_str()) != 0)
                error(1, errno, "Can't make hard link '%s'->'%s/%s'", dest.c_str(), cur(), name);
            // The source's own inode: its attributes are left alone.
            return st.st_mode;
        } else if (read_as_shortcut(name, st, "Can't read shortcut '%s'",
                                    kx::join(cur_dir(), name).c_str(), text)) {
            copy_shortcut(text, dest);
        } else {
            if (trace_on(4))
                debug_print(4, "WARNING: regular file '%s'\n", name);
            if (copy_reg_file(name, dest.c_str()) != 0)
                error(1, errno, "Can't copy regular file '%s/%s' to '%s'", cur(), name,
                      dest.c_str());
        }
    } else if (S_ISLNK(st.st_mode)) {
        copy_symlink(name, st, dest);
    } else if (S_ISFIFO(st.st_mode)) {
        if (trace_on(4))
            debug_print(4, "Fifo '%s/%s'\n", cur(), name);
        if (mkfifo(dest.c_str(), st.st_mode & 07777) != 0)
            error(1, errno, "can't create fifo %s ", dest.c_str());
    } else {
        if (trace_on(4))
            debug_print(4, "Special file '%s/%s'\n", cur(), name);
        if (mknod(dest.c_str(), st.st_mode, st.st_rdev) != 0)
            error(1, errno, "can't create special file %s ", dest.c_str());
    }
    apply_attributes(name, dest, st);
    return st.st_mode;
}

// ---- correction in place -----------------------------------------------------

// Carries the extended attributes and inode flags of name over to its
// replacement, then puts the replacement in its place.
void replace_entry(const char *name, const std::string &temp, const char *rename_message,
                   bool has_flag_word) {
    if (copy_xattrs(name, temp.c_str()) != 0)
        trace_xattr_failure(name, temp.c_str());
    if (has_flag_word)
        copy_eattr(name, temp.c_str());
    if (rename(temp.c_str(), name) != 0)
        error(1, errno, rename_message, temp.c_str(), name);
}

void remember(const std::string &full, const struct stat &st) {
    if (st.st_nlink >= 2)
        hardlinks.emplace(key_of(st), full);
}

void relink(const char *name, const std::string &first) {
    std::string temp;
    if (!make_sibling(name, temp, [&](const char *path) { return link(first.c_str(), path); })) {
        if (errno == EEXIST)
            error(1, errno, "can't generate temprary file name for %s", name);
        error(1, errno, "Can't link %s to %s", first.c_str(), temp.c_str());
    }
    if (rename(temp.c_str(), name) != 0)
        error(1, errno, "Can't rename %s to %s", temp.c_str(), name);
}

void correct_index(const char *name, const std::string &full, const struct stat &st) {
    std::string temp = make_temp_file(name);
    if (temp.empty())
        error(1, errno, "can't generate temprary file name for %s", name);
    int rc = clone_dirindex(name, temp.c_str(), src_uuid, dst_uuid);
    if (rc < 0) {
        if (trace_on(2))
            debug_print(2, "Error during dirindex clone '%s'\n", full.c_str());
    } else if (trace_on(4)) {
        debug_print(4, "Dirindex cloned '%s'\n", full.c_str());
    }
    // A failed rebuild, or an index with nothing to rebuild, leaves the
    // index as it is rather than putting a partial or empty file in place.
    struct stat built;
    if (rc < 0 || lstat(temp.c_str(), &built) != 0 || built.st_size == 0) {
        unlink(temp.c_str());
        return;
    }
    set_attr(temp.c_str(), &st);
    replace_entry(name, temp, "Can't rename %s to %s", true);
    remember(full, st);
}

void correct_shortcut(const char *name, const std::string &full, const struct stat &st) {
    std::string text;
    if (!read_as_shortcut(name, st, "Can't read shortcut '%s'", full.c_str(), text) ||
        !rewrite_cache_link(text)) {
        set_attr(name, &st);
        return;
    }
    std::string temp = make_temp_file(name);
    if (temp.empty())
        error(1, errno, "Can't generate temprary file name for %s", name);
    // create_shortcut gives the new file the entry's owner, mode and times.
    if (create_shortcut(temp.c_str(), text.c_str(), static_cast<int>(text.size()), &st) != 0) {
        int err = errno;
        unlink(temp.c_str());
        error(1, err, "Can't create shortcut '%s'", temp.c_str());
    }
    replace_entry(name, temp, "Can't rename %s to %s", true);
    remember(full, st);
}

void correct_symlink(const char *name, const std::string &full, const struct stat &st) {
    std::string text;
    if (!kx::read_link(AT_FDCWD, name, st.st_size, text))
        error(1, errno, "can't readlink '%s'", full.c_str());
    if (!kx::is_magic(text) || !rewrite_cache_link(text)) {
        set_attr(name, &st);
        return;
    }
    std::string temp;
    if (!make_sibling(name, temp, [&](const char *path) { return symlink(text.c_str(), path); })) {
        if (errno == EEXIST)
            error(1, errno, "can't generate temprary file name for %s", name);
        error(1, errno, "can't create magic symlink %s -> %s", temp.c_str(), text.c_str());
    }
    set_attr(temp.c_str(), &st);
    replace_entry(name, temp, "can't rename %s to %s", false);
    remember(full, st);
}

// Rewrites name in place when it names the old uuid. The entry's type, or 0
// when it is gone.
mode_t correct_entry(const char *name) {
    std::string full = kx::join(cur_dir(), name);
    struct stat st;
    if (lstat(name, &st) != 0) {
        if (errno == ENOENT) {
            warning(errno, "can't stat '%s/%s'", cur(), name);
            return 0;
        }
        error(1, errno, "can't stat '%s'", full.c_str());
    }
    if (!S_ISDIR(st.st_mode)) {
        auto found = hardlinks.find(key_of(st));
        if (found != hardlinks.end()) {
            // Another name of an inode already rewritten follows it.
            relink(name, found->second);
            return st.st_mode;
        }
    }
    if (st.st_nlink == 1)
        single_links++;
    if (S_ISREG(st.st_mode)) {
        if (is_dirindex(name, st))
            correct_index(name, full, st);
        else if (st.st_mode & S_ISVTX)
            correct_shortcut(name, full, st);
        else
            set_attr(name, &st);
    } else if (S_ISLNK(st.st_mode)) {
        correct_symlink(name, full, st);
    }
    return st.st_mode;
}

// ---- directories -------------------------------------------------------------

// One entry pass over the working directory: every entry reproduced (or
// corrected); the names of its subdirectories are handed back when asked.
int entry_pass(const char *dst_dir, int top, std::vector<std::string> *subdirs) {
    single_links = 0;
    current_dir = working_directory();
    in_pass = true;
    struct PassEnd {
        ~PassEnd() { in_pass = false; }
    } pass_end;
    // The names are taken first: a correction replaces entries by rename,
    // and a listing taken while that happens may show a name twice.
    std::vector<std::string> names;
    {
        kx::Dir listing(opendir("."));
        if (!listing.ok())
            error(1, errno, "Can't open dir '%s'", cur());
        for (;;) {
            errno = 0;
            struct dirent *de = readdir(listing.get());
            if (!de) {
                if (errno != 0)
                    error(1, errno, "Can't open dir '%s'", cur());
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
        if (skip_lock && name == kLockName)
            continue;
        mode_t type = correcting ? correct_entry(name.c_str()) : copy_entry(name.c_str(), dst_dir);
        if (subdirs && S_ISDIR(type))
            subdirs->push_back(name);
    }
    return single_links;
}

// Times and inode flags of a directory go on once its entries are in place,
// since creating them changed the times. In correction the directory keeps
// the times it had before its entries were replaced.
void finish_directory(const struct stat &before, const char *dir, const char *src_root,
                      const std::string &dst_dir) {
    const unsigned int options = get_option();
    if ((options & OPT_CORRECT) && !(options & OPT_LINK_FILES)) {
        struct stat after;
        if (lstat(".", &after) == 0 && (after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
                                        after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)) {
            struct timespec times[2] = {before.st_atim, before.st_mtim};
            utimensat(AT_FDCWD, ".", times, 0);
        }
        return;
    }
    // The destination root is not a copied entry.
    if (std::strcmp(dir, src_root) == 0)
        return;
    struct timespec times[2] = {{before.st_atim.tv_sec, 0}, {before.st_mtim.tv_sec, 0}};
    utimensat(AT_FDCWD, dst_dir.c_str(), times, AT_SYMLINK_NOFOLLOW);
    copy_eattr(".", dst_dir.c_str());
}

int copy_one_directory(const char *dir, const char *src_root, const char *dst_root, int top,
                       struct dir_stack *stack, int *processed) {
    std::string start = working_directory();
    if (start.empty()) {
        werror(errno, "kxfsclone: can't getcwd");
        return 1;
    }
    size_t cut = std::strlen(src_root);
    std::string dst_dir = std::string(dst_root) + "/" + (std::strlen(dir) > cut ? dir + cut : "");
    if (trace_on(4))
        debug_print(4, "Start copy '%s' to '%s'\n", dir, dst_dir.c_str());
    if (chdir(dir) != 0) {
        werror(errno, "Kxfsclone: can't chdir '%s'", dir);
        return 1;
    }
    struct stat before;
    if (lstat(".", &before) != 0) {
        werror(errno, "Kxfsclone: lstat `%s/%s'", dir, ".");
        return 1;
    }
    std::vector<std::string> subdirs;
    int count = entry_pass(dst_dir.c_str(), top, &subdirs);
    if (processed)
        *processed += count;
    finish_directory(before, dir, src_root, dst_dir);
    for (const std::string &name : subdirs) {
        std::string path = *dir ? kx::join(dir, name) : name;
        kx::push_dir(stack, path);
        if (trace_on(4))
            debug_print(4, "Push dir %s\n", path.c_str());
    }
    if (trace_on(4))
        debug_print(4, "Copy dir end :%s:\n", dir);
    if (chdir(start.c_str()) != 0) {
        werror(errno, "Kxfsclone: can't chdir '%s'", start.c_str());
        return 1;
    }
    return 0;
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

int copy_one(const char *name, const char *dst_dir) {
    copy_entry(name, dst_dir);
    return 0;
}

int correct_one(const char *name) {
    correct_entry(name);
    return 0;
}

int copy_directory_entry(const char *dst_dir, int top) {
    return entry_pass(dst_dir, top, nullptr);
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

int copy_directory_recursive_int(const char *src, const char *dst) {
    struct stat st;
    if (lstat(dst, &st) != 0) {
        if (mkdir_p(dst, 0755, 0) != 0 || (lstat(dst, &st) != 0 && mkdir(dst, 0755) != 0)) {
            werror(errno, "Can't make directory %s", dst);
            return 1;
        }
    }
    init_copy_hardlinks();
    struct dir_stack stack = {nullptr, 0};
    int result = copy_directory(src, src, dst, 1, &stack, nullptr) != 0 ? 1 : 0;
    while (result == 0 && stack.head) {
        kx::DirNode node = kx::pop_dir(&stack);
        result = copy_directory(node->path, src, dst, 0, &stack, nullptr) != 0 ? 1 : 0;
    }
    kx::drop_stack(&stack);
    return result;
}

int copy_directory_recursive(const char *src, const char *dst) {
    set_option(0);
    return copy_directory_recursive_int(src, dst);
}

}  // extern "C"
