// The upgrade of an area's format from "005.003" to "005.004": every magic
// link becomes a shortcut file, or, where the container changed the file,
// the cow file itself moved into the tree; cow files equal to their
// template go, and the directory marks are cleared (the scan does that).
//
// It relies on the scan (scan.cpp) for the state word, the stat records,
// the entry's (directory descriptor, name) and the claims on each cow
// file; on check_state.cpp for the area handle and the version read at the
// start; on replace.cpp for putting new entries in place.
//
// An upgrade may be interrupted at any point and is resumed by a second
// run on the area marked "999.999". Each link is replaced in one rename of
// a complete replacement (its attributes applied before the rename), so an
// entry is always either the old link or its finished replacement. Of
// several links that claim one changed cow file, each keeps the changed
// content: the last gets the cow file, the others copies.
//
// What links of several names share across the walk (the shortcut made
// for the first name, the cow files to delete at the end) is written to a
// journal beside the version link before the rename that depends on it,
// so a resumed run finds it again; the journal goes when the clean-up is
// done. The journal lies in the area, so a resumed run trusts it only as a
// regular file of one name, opened without a link, whose records all name
// entries of the tree ("root/...", "cow/..."); they are resolved beneath
// the tree's descriptors. The clean-up never removes the last name of a
// cow file.
//
// A conversion that fails leaves its link as it was at the failing step,
// whole, and the cow file it needs keeps its name; the run then ends
// without the new version, the journal stays, and the same command finishes
// the upgrade.
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

#include "area.h"
#include "check.h"

namespace {

constexpr const char *kJournalName = ".kxfsutil-upgrade.journal";

// Cow files (names in cow_dir) that received a further name, deleted after
// the walk, the most recently added first.
std::vector<std::string> info_rm;
std::unordered_set<std::string> info_rm_set;
// The shortcut made for the first name of a link inode (below root_dir).
std::unordered_map<kx::InodeKey, std::string, kx::InodeKeyHash> info_ino;

std::string journal_shown;
kx::Fd journal;

// Cow files (names in cow_dir) that a link whose conversion failed still
// needs: the clean-up keeps them.
std::unordered_set<std::string> still_needed;
// Links of several names whose cow file could not take one name's place:
// their other names stay links too, so that a rerun gives all of them the
// one file.
std::unordered_set<kx::InodeKey, kx::InodeKeyHash> failed_links;
// Set when a step of the upgrade failed: the area stays "999.999".
bool incomplete = false;

// A conversion failed: the link keeps its cow file (if any) for a rerun.
void conversion_failed(const char *cow, const cow_claim *claim) {
    incomplete = true;
    if (cow) {
        still_needed.insert(cow);
        if (claim)
            *claim->needed = true;
    }
}

// Appends one record and makes it durable before the rename that relies
// on it. Records: "R <len> cow/<name>\n", "I <dev> <ino> <len> root/<path>\n".
void journal_write(const std::string &record) {
    if (!journal.ok())
        return;
    if (!kx::write_all(journal.get(), record) || ::fdatasync(journal.get()) != 0)
        error(1, errno, "can't write '%s'", journal_shown.c_str());
}

// True when the name was not in the list before.
bool remember_removal(const std::string &cow_name, bool durable) {
    if (!info_rm_set.insert(cow_name).second)
        return false;
    info_rm.push_back(cow_name);
    if (durable) {
        std::string path = "cow/" + cow_name;
        journal_write("R " + std::to_string(path.size()) + " " + path + "\n");
    }
    return true;
}

// Takes back the name just remembered: its rename failed. (The journal
// keeps it; the clean-up keeps a cow file that has no other name.)
void forget_last_removal() {
    info_rm_set.erase(info_rm.back());
    info_rm.pop_back();
}

void remember_shortcut(const kx::InodeKey &key, const std::string &rel, bool durable) {
    info_ino[key] = rel;
    if (durable) {
        std::string path = "root/" + rel;
        journal_write("I " + std::to_string(static_cast<uint64_t>(key.dev)) + " " +
                      std::to_string(static_cast<uint64_t>(key.ino)) + " " +
                      std::to_string(path.size()) + " " + path + "\n");
    }
}

[[noreturn]] void refuse_journal(int err, const char *why) {
    error(1, err, "Upgrade journal '%s' %s: the upgrade is not resumed", journal_shown.c_str(),
          why);
    std::exit(1);
}

// A record's path below the tree: "cow/<name>" for R, "root/<path>" for I.
// The part after the prefix, or false when the record names anything else.
bool tree_path(std::string_view path, std::string_view prefix, bool single, std::string &out) {
    if (path.substr(0, prefix.size()) != prefix)
        return false;
    out.assign(path.substr(prefix.size()));
    std::vector<std::string_view> parts;
    if (out.empty() || !kx::beneath_components(out.c_str(), parts) || parts.empty())
        return false;
    return !single || (parts.size() == 1 && parts[0] == out);
}

// Reads the records of an interrupted run. A record cut short at the end
// (the run was killed, or its disk filled, while writing it) ends the
// list; any other record that is not one of ours refuses the resume before
// anything changed. Returns the length of the whole records.
size_t journal_load(int fd) {
    std::string data;
    if (!kx::read_all(fd, data))
        refuse_journal(errno, "cannot be read");
    std::string_view rest(data);
    // false: the data end inside the record.
    auto number = [&rest](uint64_t &value, bool &bad) {
        size_t end = rest.find(' ');
        if (end == std::string_view::npos)
            return false;
        bad = end == 0 || end > 20;
        value = 0;
        for (char c : rest.substr(0, end)) {
            if (c < '0' || c > '9')
                bad = true;
            else
                value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        rest.remove_prefix(end + 1);
        return true;
    };
    size_t whole = 0;
    while (!rest.empty()) {
        whole = data.size() - rest.size();
        if (rest.size() < 2)
            return whole;
        char type = rest[0];
        if ((type != 'R' && type != 'I') || rest[1] != ' ')
            refuse_journal(0, "holds a record that is not the checker's");
        rest.remove_prefix(2);
        uint64_t dev = 0, ino = 0, len = 0;
        bool bad = false;
        for (uint64_t *field : {&dev, &ino, &len}) {
            if (type == 'R' && field != &len)
                continue;
            if (!number(*field, bad))
                return whole;
            if (bad)
                refuse_journal(0, "holds a record that is not the checker's");
        }
        if (rest.size() < len + 1)
            return whole;
        std::string_view path = rest.substr(0, len);
        if (rest[len] != '\n')
            refuse_journal(0, "holds a record that is not the checker's");
        rest.remove_prefix(len + 1);
        std::string below;
        if (type == 'R' && tree_path(path, "cow/", true, below))
            remember_removal(below, false);
        else if (type == 'I' && tree_path(path, "root/", false, below))
            remember_shortcut({static_cast<dev_t>(dev), static_cast<ino_t>(ino)}, below, false);
        else
            refuse_journal(0, ("names '" + std::string(path) + "' outside the area's tree").c_str());
    }
    return data.size();
}

// A fresh upgrade finds no journal: one that is there is no run's of ours.
void journal_absent_or_refuse() {
    struct stat st;
    if (::fstatat(area->tree.fd, kJournalName, &st, AT_SYMLINK_NOFOLLOW) == 0)
        error(1, 0, "Upgrade journal '%s' exists, but no upgrade is under way",
              journal_shown.c_str());
}

void journal_create() {
    journal = kx::open_output(area->tree.fd, kJournalName, O_WRONLY | O_APPEND, true, false, 0600);
    if (!journal.ok())
        error(1, errno, "can't create '%s'", journal_shown.c_str());
}

// A resumed upgrade: the journal of the interrupted run, or a new one when
// that run had not made one yet (or had removed it already).
void journal_resume() {
    struct stat st;
    kx::Fd fd = kx::open_regular_at(area->tree.fd, kJournalName, &st);
    if (!fd.ok()) {
        if (errno != ENOENT)
            refuse_journal(errno, "is not a regular file of one name");
        journal_create();
        return;
    }
    if (st.st_nlink != 1)
        refuse_journal(EMLINK, "is not a regular file of one name");
    size_t whole = journal_load(fd.get());
    kx::Fd out(::openat(area->tree.fd, kJournalName,
                        O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat now;
    if (!out.ok() || ::fstat(out.get(), &now) != 0)
        refuse_journal(errno, "cannot be written");
    if (!kx::same_inode(now, st.st_dev, st.st_ino) || now.st_nlink != 1)
        refuse_journal(ESTALE, "is not a regular file of one name");
    // A record cut short goes, so that the records appended follow whole ones.
    if (static_cast<off_t>(whole) < now.st_size &&
        ::ftruncate(out.get(), static_cast<off_t>(whole)) != 0)
        refuse_journal(errno, "cannot be written");
    journal = std::move(out);
}

// Outcome 1: the cow file equals its template and goes (with the last link
// that claims it). False when the mark or the cow file could not go: the
// link then stays a link, so that a rerun finds it with its cow file.
bool drop_unchanged_cow(const item_ref &at, struct stat *link_stat, const char *cow,
                        const char *item, const cow_claim *claim) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Optimization: non-changed 'cow' '%s' for '%s'\n", cow, item);
    bool inside = names_accounted(*link_stat);
    bool marked = link_stat->st_mode & COW_MARK;
    link_stat->st_mode &= ~COW_MARK;
    // A link with names outside the area becomes a shortcut name by name:
    // the mode of its inode is left to those names.
    if (inside && kxlchmod_at(at.dirfd, at.name, link_stat->st_mode & 07777) != 0) {
        warning(errno, "can't set mark on 'magic' '%s'", item);
        conversion_failed(cow, claim);
        return false;
    }
    if (marked ? !release_claim(claim, inside) : *claim->marked_left > 0)
        return true;  // other marked links still need the cow file
    if (::unlinkat(area->cow.fd, cow, 0) != 0) {
        warning(errno, "can't remove 'cow' '%s'", cow);
        conversion_failed(nullptr, nullptr);
        return false;
    }
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Optimized: removed non-changed 'cow' '%s'\n", cow);
    return true;
}

// Outcome 2: the cow file takes the link's place, with the link's owner,
// permission bits (without the mark) and times.
void move_cow_into_place(const item_ref &at, const struct stat *link_stat,
                         const char *template_path, const char *cow, const char *cow_path,
                         const struct stat *cow_stat, const char *item,
                         const cow_claim *claim) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Optimization: 'cow' '%s' different from 'template' '%s'\n", cow,
                    relative_name(template_path, temp_dir));
    const kx::InodeKey key{link_stat->st_dev, link_stat->st_ino};
    if (link_stat->st_nlink > 1 && failed_links.count(key)) {
        conversion_failed(cow, claim);
        return;
    }
    struct stat attrs = *link_stat;
    attrs.st_mode = S_IFREG | ((link_stat->st_mode & 07777) & ~COW_MARK);
    // A link whose conversion failed still needs the cow file as it is:
    // the others get copies.
    cow_use use = COW_COPY;
    if (claim->owner && !*claim->needed)
        use = link_stat->st_nlink <= 1 && !info_rm_set.count(cow) && claim->last_marked
                  ? COW_TAKE
                  : COW_LINK;
    bool added = false;
    if (use == COW_LINK) {
        if (kxfsutil_debug_level > 3)
            debug_print(4, "Hard link with 'cow' '%s'\n", cow_path);
        added = remember_removal(cow, true);
    }
    const char *failed = nullptr;
    int r = put_cow_in_place(cow, *cow_stat, at, attrs, use, &failed);
    if (r < 0) {
        int err = errno;
        if (added)
            forget_last_removal();
        if (std::strcmp(failed, "rename") == 0)
            warning(err, "rename '%s'", cow);
        else if (std::strcmp(failed, "attr") == 0)
            warning(err, "set attr '%s'", item);
        else
            warning(err, "link '%s'", (std::string(cow_path) + ".bak").c_str());
        conversion_failed(cow, claim);
        if (link_stat->st_nlink > 1)
            failed_links.insert(key);
        return;
    }
    if (r > 0) {
        warning(errno, "set attr '%s'", item);
        conversion_failed(nullptr, nullptr);
        return;
    }
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Optimized: replaced 'magic' '%s' with 'cow' '%s'\n", item, cow);
}

// Outcome 3: the link becomes a shortcut holding its text; the names of one
// link inode become names of one shortcut.
void make_shortcut_in_place(const char *text, const item_ref &at, struct stat *link_stat,
                            const char *cow, const char *item) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Replacing 'magic symlink' '%s' with 'mfile'\n", item);
    kx::InodeKey key{link_stat->st_dev, link_stat->st_ino};
    auto known = info_ino.find(key);
    if (known != info_ino.end()) {
        const std::string &rel = known->second;
        size_t slash = rel.rfind('/');
        std::string dir = slash == std::string::npos ? "" : rel.substr(0, slash);
        std::string leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
        kx::Fd kdir(kx::open_beneath(area->root.fd, dir.c_str(), O_PATH | O_DIRECTORY));
        if (kdir.ok() && is_shortcut_of(kdir.get(), leaf.c_str(), text)) {
            const char *failed = nullptr;
            if (link_in_place(kdir.get(), leaf.c_str(), at, cow, text, &failed) != 0) {
                int err = errno;
                std::string tmp = kx::join(cow_dir, std::string(cow) + ".bak");
                if (std::strcmp(failed, "rename") == 0)
                    warning(err, "rename '%s'", tmp.c_str());
                else
                    warning(err, "link '%s' to '%s'", kx::join(root_dir, rel).c_str(),
                            tmp.c_str());
                conversion_failed(nullptr, nullptr);
            }
            return;
        }
    }
    link_stat->st_mode |= COW_MARK;
    std::string tmp = make_shortcut_temporary(cow, text, *link_stat);
    if (tmp.empty()) {
        warning(errno, "create temprorary shortcut '%s' to '%s'",
                kx::join(cow_dir, std::string(cow) + ".bak").c_str(), text);
        conversion_failed(nullptr, nullptr);
        return;
    }
    if (link_stat->st_nlink > 1)
        remember_shortcut(key, below_root(at), true);
    if (::renameat(area->cow.fd, tmp.c_str(), at.dirfd, at.name) != 0) {
        int err = errno;
        ::unlinkat(area->cow.fd, tmp.c_str(), 0);
        std::string path = kx::join(at.dir_path, at.name);
        warning(err, "rename '%s' to '%s'", kx::join(cow_dir, tmp).c_str(), path.c_str());
        conversion_failed(nullptr, nullptr);
    }
}

// The reserved-name walk hands its entries to the exported callback.
int reserved_name_at(void *data, int /*dirfd*/, const char * /*name*/, const char *path,
                     const char *text, int flags, const struct stat *st) {
    return check_reserved_name(data, path, text, flags, st);
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

bool upgrade_resumed(void) {
    return std::strcmp(area_version, "999.999") == 0;
}

void upgrade_prepare(const char *area_dir, int veid, const std::function<void()> &walked) {
    info_rm.clear();
    info_rm_set.clear();
    info_ino.clear();
    still_needed.clear();
    failed_links.clear();
    incomplete = false;
    journal_shown = kx::join(area_dir, kJournalName);
    // An upgrade under way passed the reserved-name test before it began;
    // the walk would now meet the indexes of its own converted directories.
    bool resumed = upgrade_resumed();
    int failed = resumed ? 0 : scan_private_at(area->root.fd, reserved_name_at, nullptr);
    int err = errno;
    walked();
    if (failed != 0)
        error(1, err, "error during scan '%s'", root_dir);
    char text[KXFS_VERSION_BUF];
    bool under_way =
        read_kxfs_version_at(area->tree.fd, text, area_dir) > 0 && std::strcmp(text, "999.999") == 0;
    int status = 0;
    if (veid > 0 && !under_way) {
        status = check_template_area_kxfs3(veid);
        if (status < 0)
            werror(0, "error during check template area CT %i", veid);
    }
    if ((get_option() & OPT_RESERVED_NAME) || status != 0)
        error(1, 0, "Upgrade is not allowed, please fix above problems");
    if (resumed) {
        journal_resume();
        rewrite_kxfs_version_at(area->tree.fd, "999.999", area_dir);
    } else {
        journal_absent_or_refuse();
        rewrite_kxfs_version_at(area->tree.fd, "999.999", area_dir);
        journal_create();
    }
}

void upgrade_magic(const magic_link &link) {
    const int state = link.state;
    const char *text = link.text, *path = link.path, *template_path = link.template_path,
               *cow_path = link.cow_path;
    struct stat *link_stat = link.link_stat;
    const struct stat *template_stat = link.template_stat, *cow_stat = link.cow_stat;
    const item_ref *at = link.at;
    const cow_claim *claim = link.claim;
    const char *item = relative_name(path, root_dir);
    const char *cow = relative_name(cow_path, cow_dir);
    bool both = (state & LINK_TEMPLATE) && (state & LINK_COW);
    if (both && cow_unchanged(cow, cow_stat, template_path, template_stat)) {
        if (!drop_unchanged_cow(*at, link_stat, cow, item, claim))
            return;
    } else if ((state & LINK_COW) && (state & LINK_MARK)) {
        move_cow_into_place(*at, link_stat, template_path, cow, cow_path, cow_stat, item, claim);
        return;
    }
    make_shortcut_in_place(text, *at, link_stat, cow, item);
}

void upgrade_cleanup(void) {
    if (!info_rm.empty()) {
        if (kxfsutil_debug_level > 3)
            debug_print(4, "Removing cow files:\n");
        for (auto it = info_rm.rbegin(); it != info_rm.rend(); ++it) {
            const char *name = it->c_str();
            std::string shown = kx::join(cow_dir, name);
            if (kxfsutil_debug_level > 3)
                debug_print(4, "Removing cow file '%s'\n", shown.c_str());
            if (still_needed.count(*it))
                continue;  // a link that failed to convert still needs it
            struct stat st;
            if (::fstatat(area->cow.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
                continue;  // removed by the run that was interrupted
            if (S_ISREG(st.st_mode) && st.st_nlink < 2) {
                warning(0, "'cow' '%s' has no other name: kept", name);
                continue;
            }
            if (::unlinkat(area->cow.fd, name, 0) != 0) {
                werror(errno, "can't remove '%s'", shown.c_str());
                incomplete = true;
                break;
            }
        }
    }
    // The journal goes when the upgrade is complete, if it is still the one
    // this run wrote; otherwise a rerun needs it.
    struct stat mine, there;
    if (!incomplete && journal.ok() && ::fstat(journal.get(), &mine) == 0 &&
        ::fstatat(area->tree.fd, kJournalName, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        kx::same_inode(there, mine.st_dev, mine.st_ino) &&
        ::unlinkat(area->tree.fd, kJournalName, 0) != 0) {
        werror(errno, "can't remove '%s'", journal_shown.c_str());
        incomplete = true;
    }
    journal.reset();
}

void upgrade_step_failed(void) {
    incomplete = true;
}

bool upgrade_complete(void) {
    return !incomplete;
}
