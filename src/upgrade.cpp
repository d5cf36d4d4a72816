// The upgrade of an area's format from "005.003" to "005.004": every magic
// link becomes a shortcut file, or, where the container changed the file,
// the cow file itself moved into the tree; cow files equal to their
// template go, and the directory marks are cleared (the scan does that).
//
// It relies on the scan (scan.cpp) for the state word, the stat records
// and the current directory (the link's directory), on kxfsutil.cpp for the
// version checks before it, and on correct.cpp for the relative names.
//
// An upgrade may be interrupted at any point and is resumed by a second
// run on the area marked "999.999". Each link is replaced in one rename of
// a complete replacement prepared beside it (its attributes applied before
// the rename), so an entry is always either the old link or its finished
// replacement. What links of several names share across the walk (the
// shortcut made for the first name, the cow files to delete at the end) is
// also written to a journal beside the version link before the rename that
// depends on it, so a resumed run finds it again; the journal goes when the
// clean-up is done. The clean-up never removes the last name of a cow file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.h"
#include "kxfsutil.h"

namespace {

constexpr const char *kJournalName = ".kxfsutil-upgrade.journal";

// Cow files that received a further name, deleted after the walk, the most
// recently added first.
std::vector<std::string> info_rm;
std::unordered_set<std::string> info_rm_set;
// The shortcut made for the first name of a link inode.
std::unordered_map<kx::InodeKey, std::string, kx::InodeKeyHash> info_ino;

std::string journal_path;
kx::Fd journal;

// Appends one record and makes it durable before the rename that relies
// on it. Records: "R <len> <path>\n" and "I <dev> <ino> <len> <path>\n".
void journal_write(const std::string &record) {
    if (!journal.ok())
        return;
    ssize_t n = ::write(journal.get(), record.data(), record.size());
    if (n != static_cast<ssize_t>(record.size()) || ::fdatasync(journal.get()) != 0)
        error(1, errno, "can't write '%s'", journal_path.c_str());
}

// True when the name was not in the list before.
bool remember_removal(const std::string &cow_path, bool durable) {
    if (!info_rm_set.insert(cow_path).second)
        return false;
    info_rm.push_back(cow_path);
    if (durable)
        journal_write("R " + std::to_string(cow_path.size()) + " " + cow_path + "\n");
    return true;
}

// Takes back the name just remembered: its rename failed. (The journal
// keeps it; the clean-up keeps a cow file that has no other name.)
void forget_last_removal() {
    info_rm_set.erase(info_rm.back());
    info_rm.pop_back();
}

void remember_shortcut(const kx::InodeKey &key, const std::string &path, bool durable) {
    info_ino[key] = path;
    if (durable)
        journal_write("I " + std::to_string(static_cast<uint64_t>(key.dev)) + " " +
                      std::to_string(static_cast<uint64_t>(key.ino)) + " " +
                      std::to_string(path.size()) + " " + path + "\n");
}

// Reads the records of an interrupted run; a record cut short ends it.
void journal_load() {
    kx::Fd fd(::open(journal_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok())
        return;
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0)
        data.append(buf, static_cast<size_t>(n));
    std::string_view rest(data);
    auto number = [&rest](uint64_t &value) {
        size_t end = rest.find(' ');
        if (end == 0 || end == std::string_view::npos)
            return false;
        value = 0;
        for (char c : rest.substr(0, end)) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        rest.remove_prefix(end + 1);
        return true;
    };
    auto text = [&rest](uint64_t len, std::string &out) {
        if (rest.size() < len + 1 || rest[len] != '\n')
            return false;
        out.assign(rest.substr(0, len));
        rest.remove_prefix(len + 1);
        return true;
    };
    while (rest.size() > 2 && rest[1] == ' ') {
        char type = rest[0];
        rest.remove_prefix(2);
        uint64_t dev = 0, ino = 0, len = 0;
        std::string path;
        if (type == 'R' && number(len) && text(len, path))
            remember_removal(path, false);
        else if (type == 'I' && number(dev) && number(ino) && number(len) && text(len, path))
            remember_shortcut({static_cast<dev_t>(dev), static_cast<ino_t>(ino)}, path, false);
        else
            break;
    }
}

void journal_open(bool resumed) {
    journal_path = kx::join(fs_priv_dir, kJournalName);
    if (resumed)
        journal_load();
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (resumed ? 0 : O_TRUNC);
    journal = kx::Fd(::open(journal_path.c_str(), flags, 0600));
    if (!journal.ok())
        error(1, errno, "can't create '%s'", journal_path.c_str());
}

// The entry's name in the current directory (the scan's directory).
const char *leaf_of(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Our own temporary name, left behind by an interrupted run, goes first;
// a name of a cow file's data may go, the data stays under its other names.
void clear_temporary(const std::string &tmp) {
    struct stat st;
    if (::lstat(tmp.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        ::unlink(tmp.c_str());
}

// The shortcut made for another name of this link: still a shortcut that
// holds the link's text (a journal entry of an interrupted run may name a
// path whose rename never happened).
bool is_shortcut_of(const std::string &path, const char *text) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & COW_MARK))
        return false;
    size_t len = std::strlen(text);
    if (static_cast<size_t>(st.st_size) != len)
        return false;
    std::string content(len + 1, '\0');
    return read_shortcut(path.c_str(), content.data(), content.size()) ==
               static_cast<int>(len) &&
           std::memcmp(content.data(), text, len) == 0;
}

bool cow_unchanged(const char *cow_path, const struct stat *cow_stat, const char *template_path,
                   const struct stat *template_stat) {
    if (cow_stat->st_size != template_stat->st_size)
        return false;
    if (check_eattr(cow_path) > 0)
        return false;
    return compare_files(cow_path, template_path) == 0;
}

// Outcome 1: the cow file equals its template and goes.
void drop_unchanged_cow(const char *path, struct stat *link_stat, const char *cow_path,
                        const char *item, const char *cow) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Optimization: non-changed 'cow' '%s' for '%s'\n", cow, item);
    link_stat->st_mode &= ~COW_MARK;
    if (kxlchmod(leaf_of(path), link_stat->st_mode & 07777) != 0) {
        warning(errno, "can't set mark on 'magic' '%s'", item);
    } else if (::unlink(cow_path) != 0) {
        warning(errno, "can't remove 'cow' '%s'", cow);
    } else if (kxfsutil_debug_level > 3) {
        debug_print(4, "Optimized: removed non-changed 'cow' '%s'\n", cow);
    }
}

// Outcome 2: the cow file takes the link's place, with the link's owner,
// permission bits (without the mark) and times.
void move_cow_into_place(const char *path, const struct stat *link_stat,
                         const char *template_path, const char *cow_path, const char *item,
                         const char *cow) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Optimization: 'cow' '%s' different from 'template' '%s'\n", cow,
                    relative_name(template_path, temp_dir));
    struct stat attrs = *link_stat;
    attrs.st_mode = S_IFREG | ((link_stat->st_mode & 07777) & ~COW_MARK);
    // Applied before the rename, so that the entry never shows the cow
    // file's own attributes; the result is not looked at.
    set_attr(cow_path, &attrs);
    std::string cow_key(cow_path);
    if (link_stat->st_nlink <= 1 && !info_rm_set.count(cow_key)) {
        long long flags = 0;
        if (get_eattr(cow_path, &flags) != 0)
            flags = 0;
        if (::rename(cow_path, leaf_of(path)) != 0) {
            warning(errno, "rename '%s'", cow);
            return;
        }
        if (flags != 0)
            set_eattr(leaf_of(path), static_cast<int>(flags));
    } else {
        if (kxfsutil_debug_level > 3)
            debug_print(4, "Hard link with 'cow' '%s'\n", cow_path);
        std::string bak = cow_key + ".bak";
        clear_temporary(bak);
        if (::link(cow_path, bak.c_str()) != 0) {
            warning(errno, "link '%s'", bak.c_str());
            return;
        }
        bool added = remember_removal(cow_key, true);
        if (::rename(bak.c_str(), leaf_of(path)) != 0) {
            int err = errno;
            ::unlink(bak.c_str());
            if (added)
                forget_last_removal();
            warning(err, "rename '%s'", cow);
            return;
        }
        copy_eattr(cow_path, leaf_of(path));
    }
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Optimized: replaced 'magic' '%s' with 'cow' '%s'\n", item, cow);
}

// Outcome 3: the link becomes a shortcut holding its text; the names of one
// link inode become names of one shortcut.
void make_shortcut_in_place(const char *text, const char *path, struct stat *link_stat,
                            const char *cow_path, const char *item) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Replacing 'magic symlink' '%s' with 'mfile'\n", item);
    std::string tmp = std::string(cow_path) + ".bak";
    clear_temporary(tmp);
    kx::InodeKey key{link_stat->st_dev, link_stat->st_ino};
    auto known = info_ino.find(key);
    if (known != info_ino.end() && is_shortcut_of(known->second, text)) {
        if (::link(known->second.c_str(), tmp.c_str()) != 0) {
            warning(errno, "link '%s' to '%s'", known->second.c_str(), tmp.c_str());
            return;
        }
        if (::rename(tmp.c_str(), leaf_of(path)) != 0) {
            int err = errno;
            ::unlink(tmp.c_str());
            warning(err, "rename '%s'", tmp.c_str());
        }
        return;
    }
    link_stat->st_mode |= COW_MARK;
    int length = static_cast<int>(std::strlen(text));
    if (create_shortcut(tmp.c_str(), text, length, link_stat) != 0) {
        warning(errno, "create temprorary shortcut '%s' to '%s'", tmp.c_str(), text);
        ::unlink(tmp.c_str());
        return;
    }
    if (link_stat->st_nlink > 1)
        remember_shortcut(key, path, true);
    if (::rename(tmp.c_str(), leaf_of(path)) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        warning(err, "rename '%s' to '%s'", tmp.c_str(), path);
    }
}

}  // namespace

int check_reserved_name(void * /*data*/, const char *path, const char * /*text*/,
                        int /*flags*/, const struct stat * /*st*/) {
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    if (std::strcmp(name, DIRINDEX_NAME) == 0) {
        debug_print(0, "WARNING: '%s' should be renamed\n", path);
        set_option(static_cast<int>(get_option() | OPT_RESERVED_NAME));
    }
    return 0;
}

void upgrade_prepare(const char *area_dir, int veid) {
    info_rm.clear();
    info_rm_set.clear();
    info_ino.clear();
    char text[KXFS_VERSION_BUF];
    bool resumed = read_kxfs_version(area_dir, text) > 0 && std::strcmp(text, "999.999") == 0;
    // An upgrade under way passed these tests before it began; the walk
    // would now meet the markers and indexes of its own converted
    // directories.
    int status = 0;
    if (!resumed) {
        if (scan_private(root_dir, check_reserved_name, nullptr) != 0)
            error(1, errno, "error during scan '%s'", root_dir);
        if (veid > 0) {
            status = check_template_area_kxfs3(veid);
            if (status < 0)
                werror(0, "error during check template area CT %i", veid);
        }
    }
    if ((get_option() & OPT_RESERVED_NAME) || status != 0)
        error(1, 0, "Upgrade is not allowed, please fix above problems");
    journal_open(resumed);
    rewrite_kxfs_version(area_dir, "999.999");
}

void upgrade_magic(int state, const char *text, const char *path, struct stat *link_stat,
                   const char *template_path, struct stat *template_stat, const char *cow_path,
                   struct stat *cow_stat) {
    const char *item = relative_name(path, root_dir);
    const char *cow = relative_name(cow_path, cow_dir);
    bool both = (state & LINK_TEMPLATE) && (state & LINK_COW);
    if (both && cow_unchanged(cow_path, cow_stat, template_path, template_stat)) {
        drop_unchanged_cow(path, link_stat, cow_path, item, cow);
    } else if ((state & LINK_COW) && (state & LINK_MARK)) {
        move_cow_into_place(path, link_stat, template_path, cow_path, item, cow);
        return;
    }
    make_shortcut_in_place(text, path, link_stat, cow_path, item);
}

void upgrade_cleanup(void) {
    if (!info_rm.empty()) {
        if (kxfsutil_debug_level > 3)
            debug_print(4, "Removing cow files:\n");
        for (auto it = info_rm.rbegin(); it != info_rm.rend(); ++it) {
            const char *name = it->c_str();
            if (kxfsutil_debug_level > 3)
                debug_print(4, "Removing cow file '%s'\n", name);
            struct stat st;
            if (::lstat(name, &st) != 0 && errno == ENOENT)
                continue;  // removed by the run that was interrupted
            if (S_ISREG(st.st_mode) && st.st_nlink < 2) {
                warning(0, "'cow' '%s' has no other name: kept", relative_name(name, cow_dir));
                continue;
            }
            if (::unlink(name) != 0) {
                werror(errno, "can't remove '%s'", name);
                break;
            }
        }
    }
    journal.reset();
    if (!journal_path.empty())
        ::unlink(journal_path.c_str());
}
