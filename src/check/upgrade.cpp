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
//
// Records are committed in groups: a conversion that needs a record is
// decided at once (its record written to memory) and waits; the waiting
// ones are carried out after their records were written and made durable
// with one sync. Conversions that need no record and touch neither the cow
// file nor the link inode of a waiting one are carried out at once; a link
// that does touch them first lets the waiting ones finish. So each
// conversion is decided on the state a one-by-one run would show it, and a
// record that is on disk without its conversion only names a shortcut that
// is not there (a resumed run makes its own) or a cow file that its links
// give further names again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "area.h"
#include "check.h"
#include "messages.h"

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
// Records made since the last commit, not yet in the journal.
std::string journal_pending;

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

// Records: "R <len> cow/<name>\n", "I <dev> <ino> <len> root/<path>\n".
// They wait in memory for the commit of their batch.
void journal_write(const std::string &record) {
    if (journal.ok())
        journal_pending += record;
}

// Writes the records made since the last commit and makes them durable
// with one sync: before any rename that relies on them.
void journal_commit() {
    if (journal_pending.empty())
        return;
    if (!kx::write_all(journal.get(), journal_pending) || ::fdatasync(journal.get()) != 0)
        error(1, errno, "can't write '%s'", journal_shown.c_str());
    journal_pending.clear();
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

// Takes back a name remembered for a conversion whose rename failed. (The
// journal keeps it; the clean-up keeps a cow file that has no other name.)
void forget_removal(const std::string &cow_name) {
    if (info_rm_set.erase(cow_name) == 0)
        return;
    for (auto it = info_rm.end(); it != info_rm.begin();) {
        if (*--it == cow_name) {
            info_rm.erase(it);
            break;
        }
    }
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
    if (kx::trace_on(4))
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
    if (kx::trace_on(4))
        debug_print(4, "Optimized: removed non-changed 'cow' '%s'\n", cow);
    return true;
}

// Outcome 2: the cow file takes the link's place, with the link's owner,
// permission bits (without the mark) and times. added: the cow file was
// put on the clean-up's list for this conversion.
void move_cow_into_place(const item_ref &at, const struct stat &link_stat,
                         const std::string &template_name, const std::string &cow,
                         const std::string &cow_path, const struct stat &cow_stat,
                         const std::string &item, cow_use use, bool added,
                         const cow_claim *claim) {
    if (kx::trace_on(4))
        debug_print(4, "Optimization: 'cow' '%s' different from 'template' '%s'\n", cow.c_str(),
                    template_name.c_str());
    const kx::InodeKey key{link_stat.st_dev, link_stat.st_ino};
    if (link_stat.st_nlink > 1 && failed_links.count(key)) {
        if (added)
            forget_removal(cow);
        conversion_failed(cow.c_str(), claim);
        return;
    }
    struct stat attrs = link_stat;
    attrs.st_mode = S_IFREG | ((link_stat.st_mode & 07777) & ~COW_MARK);
    if (use == COW_LINK && kx::trace_on(4))
        debug_print(4, "Hard link with 'cow' '%s'\n", cow_path.c_str());
    const char *failed = nullptr;
    int r = put_cow_in_place(cow.c_str(), cow_stat, at, attrs, use, &failed);
    if (r < 0) {
        int err = errno;
        if (added)
            forget_removal(cow);
        if (std::strcmp(failed, "rename") == 0)
            warning(err, "rename '%s'", cow.c_str());
        else if (std::strcmp(failed, "attr") == 0)
            warning(err, "set attr '%s'", item.c_str());
        else
            warning(err, "link '%s'", (cow_path + ".bak").c_str());
        conversion_failed(cow.c_str(), claim);
        if (link_stat.st_nlink > 1)
            failed_links.insert(key);
        return;
    }
    if (r > 0) {
        warning(errno, "set attr '%s'", item.c_str());
        conversion_failed(nullptr, nullptr);
        return;
    }
    if (kx::trace_on(4))
        debug_print(4, "Optimized: replaced 'magic' '%s' with 'cow' '%s'\n", item.c_str(),
                    cow.c_str());
}

// Outcome 3 for a link whose inode already has a shortcut (made for
// another of its names): the link's place becomes a further name of it.
// False when there is no such shortcut (any more).
bool join_shortcut(const item_ref &at, const struct stat &link_stat, const char *text,
                   const char *cow) {
    auto known = info_ino.find({link_stat.st_dev, link_stat.st_ino});
    if (known == info_ino.end())
        return false;
    const std::string &rel = known->second;
    size_t slash = rel.rfind('/');
    std::string dir = slash == std::string::npos ? "" : rel.substr(0, slash);
    std::string leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
    kx::Fd kdir(kx::open_beneath(area->root.fd, dir.c_str(), O_PATH | O_DIRECTORY));
    if (!kdir.ok() || !is_shortcut_of(kdir.get(), leaf.c_str(), text))
        return false;
    const char *failed = nullptr;
    if (link_in_place(kdir.get(), leaf.c_str(), at, cow, text, &failed) != 0) {
        int err = errno;
        std::string tmp = kx::join(cow_dir, std::string(cow) + ".bak");
        if (std::strcmp(failed, "rename") == 0)
            warning(err, "rename '%s'", tmp.c_str());
        else
            warning(err, "link '%s' to '%s'", kx::join(root_dir, rel).c_str(), tmp.c_str());
        conversion_failed(nullptr, nullptr);
    }
    return true;
}

// Outcome 3 otherwise: a new shortcut holding the link's text, with the
// link's attributes and the mark, takes the link's place.
void new_shortcut_in_place(const item_ref &at, const struct stat &link_stat,
                           const std::string &text, const std::string &cow) {
    std::string tmp = make_shortcut_temporary(cow.c_str(), text.c_str(), link_stat);
    if (tmp.empty()) {
        warning(errno, "create temprorary shortcut '%s' to '%s'",
                kx::join(cow_dir, cow + ".bak").c_str(), text.c_str());
        conversion_failed(nullptr, nullptr);
        return;
    }
    if (::renameat(area->cow.fd, tmp.c_str(), at.dirfd, at.name) != 0) {
        int err = errno;
        ::unlinkat(area->cow.fd, tmp.c_str(), 0);
        std::string path = kx::join(at.dir_path, at.name);
        warning(err, "rename '%s' to '%s'", kx::join(cow_dir, tmp).c_str(), path.c_str());
        conversion_failed(nullptr, nullptr);
    }
}

// ---- group commit ----------------------------------------------------------

// A conversion, carried out on the entry it is given.
using conversion = std::function<void(const item_ref &)>;

// The directory of waiting conversions, held open until they are done.
struct held_dir {
    kx::Fd fd;
    std::string path, rel;
};

struct waiting_conversion {
    std::shared_ptr<held_dir> dir;
    std::string name;
    struct stat st;
    conversion act;
};

// Bounds of a batch: the memory and the descriptors its conversions hold.
constexpr size_t kBatchConversions = 256;
constexpr size_t kBatchDirs = 32;

struct conversion_batch {
    std::vector<waiting_conversion> waiting;
    // The cow files and link inodes the waiting conversions touch.
    std::unordered_set<std::string> cows;
    std::unordered_set<kx::InodeKey, kx::InodeKeyHash> links;
    std::shared_ptr<held_dir> dir;  // of the conversion queued last
    int dir_scan_fd = -1;
    size_t dirs = 0;
} batch;

// Commits the batch's records, then carries out its conversions in order.
void carry_out_batch() {
    journal_commit();
    std::vector<waiting_conversion> waiting = std::move(batch.waiting);
    batch.waiting.clear();
    batch.cows.clear();
    batch.links.clear();
    batch.dir.reset();
    batch.dir_scan_fd = -1;
    batch.dirs = 0;
    for (waiting_conversion &w : waiting) {
        item_ref at{w.dir->fd.get(), w.name.c_str(), w.dir->path.c_str(), w.dir->rel.c_str(),
                    &w.st};
        w.act(at);
    }
}

// Carries out a conversion at once, or, when it relies on a record made
// for it, queues it until the batch is committed.
void convert(const item_ref &at, const std::string &cow, bool recorded, conversion act) {
    if (!recorded) {
        act(at);
        return;
    }
    if (!batch.dir || batch.dir_scan_fd != at.dirfd || batch.dir->rel != at.dir_rel) {
        auto dir = std::make_shared<held_dir>();
        dir->fd = kx::Fd(::fcntl(at.dirfd, F_DUPFD_CLOEXEC, 0));
        if (!dir->fd.ok() || batch.dirs >= kBatchDirs)
            carry_out_batch();  // commits this conversion's record too
        if (!dir->fd.ok()) {
            act(at);  // no descriptor to spare: this one goes alone
            return;
        }
        dir->path = at.dir_path;
        dir->rel = at.dir_rel;
        batch.dir = std::move(dir);
        batch.dir_scan_fd = at.dirfd;
        ++batch.dirs;
    }
    batch.waiting.push_back({batch.dir, at.name, *at.st, std::move(act)});
    batch.cows.insert(cow);
    batch.links.insert({at.st->st_dev, at.st->st_ino});
    if (batch.waiting.size() >= kBatchConversions)
        carry_out_batch();
}

// A claim that a waiting conversion may still use: the census's counts stay
// where they are, the scan's own counts for this link are copied.
struct held_claim {
    cow_claim claim;
    int left;
    bool needed;
};
std::shared_ptr<held_claim> hold_claim(const cow_claim &c) {
    auto held = std::make_shared<held_claim>(held_claim{c, *c.marked_left, *c.needed});
    if (!c.counted) {
        held->claim.marked_left = &held->left;
        held->claim.needed = &held->needed;
    }
    return held;
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
    journal_pending.clear();
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

bool upgrade_settle(const char *cow_name, const struct stat &link_stat) {
    if (batch.waiting.empty() || (!batch.cows.count(cow_name) &&
                                  !(link_stat.st_nlink > 1 &&
                                    batch.links.count({link_stat.st_dev, link_stat.st_ino}))))
        return false;
    carry_out_batch();
    return true;
}

void upgrade_magic(const magic_link &ml) {
    const int state = ml.state;
    const char *text = ml.text, *template_path = ml.template_path, *cow_path = ml.cow_path;
    const struct stat *link_stat = ml.link_stat;
    const struct stat *template_stat = ml.template_stat, *cow_stat = ml.cow_stat;
    const item_ref *at = ml.at;
    const cow_claim *claim = ml.claim;
    std::string item = ml.item;
    std::string cow = ml.cow;
    bool both = (state & LINK_TEMPLATE) && (state & LINK_COW);
    bool unchanged = both && cow_unchanged(cow.c_str(), cow_stat, template_path, template_stat);
    if (!unchanged && (state & LINK_COW) && (state & LINK_MARK)) {
        // A link whose conversion failed still needs the cow file as it is:
        // the others get copies.
        cow_use use = COW_COPY;
        if (claim->owner && !*claim->needed)
            use = link_stat->st_nlink <= 1 && !info_rm_set.count(cow) && claim->last_marked
                      ? COW_TAKE
                      : COW_LINK;
        bool added = use == COW_LINK && remember_removal(cow, true);
        convert(*at, cow, added,
                [=, held = hold_claim(*claim), link = *link_stat, seen = *cow_stat,
                 cow_file = std::string(cow_path),
                 tmpl = std::string(relative_name(template_path, temp_dir))](const item_ref &in) {
                    move_cow_into_place(in, link, tmpl, cow, cow_file, seen, item, use, added,
                                        &held->claim);
                });
        return;
    }
    // Outcome 3, after outcome 1 when the cow file is unchanged. False when
    // the cow file could not be dropped: the link then stays.
    std::shared_ptr<held_claim> held = unchanged ? hold_claim(*claim) : nullptr;
    auto drop = [held, item, cow](const item_ref &in, struct stat &link) {
        if (held && !drop_unchanged_cow(in, &link, cow.c_str(), item.c_str(), &held->claim))
            return false;
        if (kx::trace_on(4))
            debug_print(4, "Replacing 'magic symlink' '%s' with 'mfile'\n", item.c_str());
        return true;
    };
    struct stat link = *link_stat;
    // A further name of a link inode whose shortcut is there already.
    if (info_ino.count({link.st_dev, link.st_ino})) {
        if (!drop(*at, link) || join_shortcut(*at, link, text, cow.c_str()))
            return;
        link.st_mode |= COW_MARK;
        bool recorded = link.st_nlink > 1;
        if (recorded)
            remember_shortcut({link.st_dev, link.st_ino}, below_root(*at), true);
        convert(*at, cow, recorded, [link, t = std::string(text), cow](const item_ref &in) {
            new_shortcut_in_place(in, link, t, cow);
        });
        return;
    }
    bool recorded = link.st_nlink > 1;
    if (recorded)
        remember_shortcut({link.st_dev, link.st_ino}, below_root(*at), true);
    convert(*at, cow, recorded,
            [drop, link, t = std::string(text), cow](const item_ref &in) mutable {
                if (!drop(in, link))
                    return;
                link.st_mode |= COW_MARK;
                new_shortcut_in_place(in, link, t, cow);
            });
}

void upgrade_cleanup(void) {
    carry_out_batch();
    if (!info_rm.empty()) {
        if (kx::trace_on(4))
            debug_print(4, "Removing cow files:\n");
        for (auto it = info_rm.rbegin(); it != info_rm.rend(); ++it) {
            const char *name = it->c_str();
            std::string shown = kx::join(cow_dir, name);
            if (kx::trace_on(4))
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
