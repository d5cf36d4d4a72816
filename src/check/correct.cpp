// What the checker does about one faulty or improvable object: which
// problem a magic link has (check_magic), the one routine that reports and
// corrects a problem with the chosen action (correct), and the two
// optimizations of a marked magic link (optimize_magic). The problem texts
// and the messages of every action sit together in one table below.
//
// It relies on the scan (scan.cpp) for the state word, the stat records
// and the entry's (directory descriptor, name); full paths serve the
// messages. It relies on check_state.cpp for the actions and the area
// handle, on the cow hash for ticking off claimed cow files, and on
// replace.cpp for putting a new entry in a link's place. The lost-and-found
// tree is reached through the area handle as well.
//
// Nothing of the container's is lost on the way: a repaired dirindex is
// put in place in one rename while the damaged one is still there (the
// directory always has an index), a name the checker did not make is never
// replaced or deleted, and a cow file claimed by several links leaves the
// cow directory only with the last of them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "area.h"
#include "check.h"
#include "lines.h"
#include "messages.h"

namespace {

// The repaired copy of the dirindex being corrected, made from the records
// the check kept: a descriptor of the finished file (-1: none) and its
// name beside the index ("" while it has none).
int repaired_index_fd = -1;
std::string repaired_index_name;

// The name of the temporary the checker last put in place in a directory
// of the tree: the listing may still show it.
std::string own_temporary;

// Links of several names whose replacement failed for one name: their
// other names stay links too, so that a rerun replaces all of them by one
// file.
std::unordered_set<kx::InodeKey, kx::InodeKeyHash> failed_links;

// The problems the checker reports and the optimizations it finds, with
// what each action says.
enum problem_code {
    PR_LOST_COW,          // CORR_COW
    PR_BROKEN_MARK,       // CORR_MARK
    PR_LOST_LINK,         // CORR_LINK: magic link or shortcut without template
    PR_BROKEN_DIRINDEX,   // CORR_LINK, DIRINDEX_BROKEN
    PR_FIXED_DIRINDEX,    // CORR_LINK, DIRINDEX_FIXED
    PR_UNFIXED_DIRINDEX,  // CORR_LINK, DIRINDEX_LOST without a repaired copy
    PR_UNCHANGED_COW,     // OPTIM_EMPTY: the cow file equals its template
    PR_CHANGED_COW,       // OPTIM_REPLACE: the cow file may take the link's place
};

// How the remove action treats the object.
enum remove_how {
    REMOVE_OBJECT,     // unlink the object
    REMOVE_MARK,       // clear the cow mark of the link
    REMOVE_REPLACING,  // put the repaired copy in the index's place
    REMOVE_NOTHING,    // no repaired copy to put in place: nothing can be done
};

// What an action says when it failed (a warning with the system's error
// text) and when it is done (a note at level 3).
struct action_texts {
    const char *failed;
    const char *done;
};

struct problem {
    // The problem as reported, asked or told an observer; an optimization's
    // names the cow file, then the item or the template object.
    const char *text;
    bool by_cow_name;      // a correction's text names the cow file; otherwise the item
    finding_kind finding;  // what an observer is told
    // The actions. Of an optimization (done, never asked), "move" puts the
    // cow file in the link's place and "remove" removes it.
    action_texts move;
    action_texts remove;
    remove_how how;
    // The further steps of an optimization that can fail: on the link (its
    // mark, its attributes), and on the temporary name that puts the cow
    // file in place.
    const char *link_failed;
    const char *temporary_failed;
};

const problem problems[] = {
    /* PR_LOST_COW */
    {"Lost 'cow' file '%s'", true, FINDING_LOST_COW,
     {"can't move 'cow' '%s' to lost", "Correction: 'cow' '%s' moved to lost\n"},
     {"can't remove 'cow' '%s'", "Correction: 'cow' '%s' is removed\n"}, REMOVE_OBJECT,
     nullptr, nullptr},
    /* PR_BROKEN_MARK */
    {"Broken 'cow' mark in '%s'", false, FINDING_BROKEN_MARK,
     {"can't move 'magic' '%s' to lost", "Correction: 'magic' '%s' moved to lost\n"},
     {"can't remove mark on 'magic' '%s'", "Correction: mark on 'magic' '%s' is removed\n"},
     REMOVE_MARK, nullptr, nullptr},
    /* PR_LOST_LINK */
    {"Lost 'magic' link '%s'", false, FINDING_LOST_LINK,
     {"can't move 'magic' '%s' to lost", "Correction: 'magic' '%s' moved to lost\n"},
     {"can't remove 'magic' '%s'", "Correction: 'magic' '%s' is removed\n"}, REMOVE_OBJECT,
     nullptr, nullptr},
    /* PR_BROKEN_DIRINDEX */
    {"Broken 'dirindex' file '%s'", false, FINDING_BROKEN_DIRINDEX,
     {"can't move 'magic' '%s' to lost", "Correction: 'magic' '%s' moved to lost\n"},
     {"can't remove 'magic' '%s'", "Correction: 'magic' '%s' is removed\n"}, REMOVE_OBJECT,
     nullptr, nullptr},
    /* PR_FIXED_DIRINDEX */
    {"Broken 'dirindex' file '%s'", false, FINDING_REPAIRABLE_DIRINDEX,
     {"can't move 'dirindex' '%s' to lost", "Correction: 'dirindex' '%s' moved to lost.\n"},
     {nullptr /* the rename over the index cannot leave it half removed */,
      "Correction: 'dirindex' '%s' is removed."},
     REMOVE_REPLACING, nullptr, nullptr},
    /* PR_UNFIXED_DIRINDEX */
    {"Broken 'dirindex' file '%s'", false, FINDING_REPAIRABLE_DIRINDEX,
     {"no repaired copy of 'dirindex' '%s': left as it is", nullptr},
     {"no repaired copy of 'dirindex' '%s': left as it is", nullptr}, REMOVE_NOTHING, nullptr,
     nullptr},
    /* PR_UNCHANGED_COW: the link loses its mark; the cow file goes with the last claim */
    {"Optimization: non-changed 'cow' '%s' for '%s'", true, FINDING_UNCHANGED_COW,
     {nullptr, nullptr},
     {"can't remove 'cow' '%s'", "Optimized: removed non-changed 'cow' '%s'\n"},
     REMOVE_OBJECT, "can't set mark on 'magic' '%s'", nullptr},
    /* PR_CHANGED_COW */
    {"Optimization: 'cow' '%s' different from 'template' '%s'", true, FINDING_CHANGED_COW,
     {"rename '%s'", "Optimized: replaced 'magic' '%s' with 'cow' '%s'\n"}, {nullptr, nullptr},
     REMOVE_NOTHING, "set attr '%s'", "link '%s'"},
};

problem_code problem_of(int kind, int flags) {
    switch (kind) {
    case CORR_COW:
        return PR_LOST_COW;
    case CORR_MARK:
        return PR_BROKEN_MARK;
    default:
        if (flags & DIRINDEX_FIXED)
            return PR_FIXED_DIRINDEX;
        if (flags & DIRINDEX_LOST)
            return PR_UNFIXED_DIRINDEX;
        if (flags & DIRINDEX_MASK)
            return PR_BROKEN_DIRINDEX;
        return PR_LOST_LINK;
    }
}

// The warning of a change the operator asked for that could not be made.
void failed(int err, const char *fmt, const char *name) {
    warning(err, fmt, name);
    note_failed_change();
}

// Whether acting on the problem rests on the cow naming: a cow file
// belongs to the marked link whose text the naming turns into its name.
bool rests_on_naming(int kind, int flags) {
    return kind == CORR_COW || kind == CORR_MARK ||
           (kind == CORR_LINK && !(flags & DIRINDEX_MASK) && (flags & LINK_MARK));
}

// Without a version the naming is a guess: what rests on it is reported,
// never acted on. Said once; a change the operator asked for that is so
// withheld ends the run with status 1.
void withhold(bool asked) {
    static bool said = false;
    if (!said)
        warning(0, "Version of private area '%s' unknown: cow files and 'cow' marks are only "
                   "reported", fs_priv_dir);
    said = true;
    if (asked)
        note_failed_change();
}

void tell(finding_kind kind, const char *item, const char *text) {
    if (observer->finding)
        observer->finding(observer->data, kind, item, text);
}

// The entry's directory as messages show it.
std::string dir_shown(const item_ref &at) {
    return at.dir_rel[0] == '\0' ? std::string(root_dir) : kx::join(root_dir, at.dir_rel);
}

// Gives the finished repaired copy its name beside the index: the usual
// temporary name, or, when that name holds something else, a fresh one.
// A copy an interrupted run left under the usual name (the same records)
// serves as it is. The name, or "" with errno set.
std::string name_repaired_copy(const item_ref &at) {
    auto link_to = [](int dirfd, const char *candidate) {
        return kx::link_open_file(repaired_index_fd, dirfd, candidate);
    };
    if (link_to(at.dirfd, DIRINDEX_TMP_NAME) == 0)
        return DIRINDEX_TMP_NAME;
    if (errno != EEXIST)
        return "";
    struct stat st;
    kx::Fd held = kx::open_regular_at(at.dirfd, DIRINDEX_TMP_NAME, &st);
    if (held.ok() && st.st_nlink == 1 && same_content(held.get(), repaired_index_fd))
        return DIRINDEX_TMP_NAME;
    warning(0, "'%s' is not the checker's: left as it is",
            kx::join(dir_shown(at), DIRINDEX_TMP_NAME).c_str());
    kx::TempName temp;
    if (!temp.make(at.dirfd, DIRINDEX_TMP_NAME, '-', link_to))
        return "";
    temp.keep();
    return temp.name();
}

// Renames the repaired copy into the place of the index (fatal when it
// fails, as a move onto the item is).
void replace_by_repaired_copy(const item_ref &at, const char *item) {
    std::string name = repaired_index_name;
    if (name.empty())
        name = name_repaired_copy(at);
    int err = errno;
    std::string dir = dir_shown(at);
    std::string source = kx::join(dir, name.empty() ? DIRINDEX_TMP_NAME : name.c_str());
    std::string target = kx::join(root_dir, item);
    kx::trace(4, "move '%s' to '%s'\n", source.c_str(), target.c_str());
    if (name.empty())
        error(1, err, "can't move '%s' to '%s'", source.c_str(), target.c_str());
    if (::renameat(at.dirfd, name.c_str(), at.dirfd, DIRINDEX_NAME) != 0)
        error(1, errno, "can't move '%s' to '%s'", source.c_str(), target.c_str());
    own_temporary = name;
    repaired_index_name.clear();
}

// The lost-and-found directory of an entry of kind ("root", "cow") whose
// directory is dir_rel below that tree.
kx::Fd lost_dir(const char *kind, const char *dir_rel) {
    std::string rel = dir_rel && *dir_rel ? std::string(kind) + "/" + dir_rel : kind;
    return kx::Fd(open_lost_dir(area, rel.c_str()));
}

// Moves the entry name of dirfd into the lost-and-found tree; an entry of
// that name there is replaced.
int move_to_lost(int dirfd, const char *name, const char *kind, const char *dir_rel) {
    kx::Fd to = lost_dir(kind, dir_rel);
    if (!to.ok())
        return -1;
    return ::renameat(dirfd, name, to.get(), name);
}

// Gives the damaged index a further name in the lost-and-found tree, so
// that the directory keeps it until the repaired copy replaces it. An
// entry of that name there is replaced (a name the index already has
// there, left by an interrupted run, is kept).
int link_to_lost(const item_ref &at) {
    kx::Fd to = lost_dir("root", at.dir_rel);
    if (!to.ok())
        return -1;
    if (::linkat(at.dirfd, DIRINDEX_NAME, to.get(), DIRINDEX_NAME, 0) == 0)
        return 0;
    if (errno != EEXIST)
        return -1;
    struct stat here, there;
    if (::fstatat(at.dirfd, DIRINDEX_NAME, &here, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::fstatat(to.get(), DIRINDEX_NAME, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        kx::same_inode(there, here.st_dev, here.st_ino))
        return 0;
    kx::TempName temp;
    if (!temp.make(to.get(), DIRINDEX_NAME, '.', [&at](int dirfd, const char *candidate) {
            return ::linkat(at.dirfd, DIRINDEX_NAME, dirfd, candidate, 0);
        }))
        return -1;
    if (::renameat(to.get(), temp.c_str(), to.get(), DIRINDEX_NAME) != 0)
        return -1;
    temp.keep();
    return 0;
}

// remove(): a directory goes with rmdir.
int remove_at(int dirfd, const char *name) {
    if (::unlinkat(dirfd, name, 0) == 0)
        return 0;
    if (errno != EISDIR)
        return -1;
    return ::unlinkat(dirfd, name, AT_REMOVEDIR);
}

void act_move(const problem &pr, problem_code code, const char *name, const item_ref *at) {
    if (code == PR_UNFIXED_DIRINDEX) {
        failed(0, pr.move.failed, name);
        return;
    }
    if (code == PR_FIXED_DIRINDEX) {
        if (link_to_lost(*at) != 0) {
            failed(errno, pr.move.failed, name);
            return;
        }
        kx::trace(3, pr.move.done, name);
        replace_by_repaired_copy(*at, name);
        kx::trace(3, " Fixed\n");
        return;
    }
    int r = pr.by_cow_name ? move_to_lost(area->cow.fd, name, "cow", nullptr)
                           : move_to_lost(at->dirfd, at->name, "root", at->dir_rel);
    if (r != 0) {
        failed(errno, pr.move.failed, name);
        return;
    }
    kx::trace(3, pr.move.done, name);
}

void act_remove(const problem &pr, const char *name, const item_ref *at) {
    switch (pr.how) {
    case REMOVE_NOTHING:
        failed(0, pr.remove.failed, name);
        return;
    case REMOVE_MARK:
        if (clear_link_mark(*at, *at->st) != 0) {
            failed(errno, pr.remove.failed, name);
            return;
        }
        kx::trace(3, pr.remove.done, name);
        return;
    case REMOVE_OBJECT:
        if ((pr.by_cow_name ? remove_at(area->cow.fd, name) : remove_at(at->dirfd, at->name)) !=
            0) {
            failed(errno, pr.remove.failed, name);
            return;
        }
        kx::trace(3, pr.remove.done, name);
        return;
    case REMOVE_REPLACING:
        // The repaired copy is renamed over the index: the directory is
        // never without one.
        kx::trace(3, pr.remove.done, name);
        replace_by_repaired_copy(*at, name);
        kx::trace(3, " Fixed\n");
        return;
    }
}

// Removes an unchanged cow file the optimization no longer needs.
// Set when an unchanged cow file could not be removed: the journal of the
// removals stays, so that a rerun finishes it.
bool removal_unfinished = false;

void remove_unchanged_cow(const char *cow) {
    const problem &pr = problems[PR_UNCHANGED_COW];
    if (::unlinkat(area->cow.fd, cow, 0) != 0) {
        failed(errno, pr.remove.failed, cow);
        removal_unfinished = true;
        return;
    }
    remove_cow_item(cow);
    kx::trace(3, pr.remove.done, cow);
}

// Reports the optimization code of the link, the second name after the cow
// file's: to an observer, which only counts (true: nothing more is done),
// or as a note at level 3.
bool found_optimization(problem_code code, const magic_link &link, const char *second) {
    const problem &pr = problems[code];
    int n = std::snprintf(nullptr, 0, pr.text, link.cow, second);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    std::snprintf(text.data(), text.size() + 1, pr.text, link.cow, second);
    if (observer) {
        tell(pr.finding, link.item, text.c_str());
        return true;
    }
    kx::trace(3, "%s\n", text.c_str());
    return false;
}

// Whether the link's cow file equals its template, failures to tell being
// warnings.
bool unchanged(const magic_link &link) {
    return cow_unchanged(link.cow, link.cow_stat, link.template_path, link.template_stat,
                         link.cow_path);
}

// The journal of the removal of unchanged cow files: the name of each cow
// file whose link loses its mark, written before the mark goes. A run
// interrupted between clearing the last mark and removing the cow file
// leaves a cow file that only unmarked links claim; the next removal run
// finishes that removal only for a name its journal holds (any other such
// cow file is lost, and reported so). It lies beside the version link and
// is trusted only as a regular file of one name; a run that removed every
// cow file it journaled removes it.
constexpr const char *kDropJournalName = ".kxfsutil-oempty.journal";

struct drop_journal {
    bool loaded = false;
    std::unordered_set<std::string> names;
    kx::InodeKey found{};  // the journal the run found (ino 0: none)
    kx::Fd out;
    bool failed = false;  // writing it failed once (said once)
} drops;

std::string drop_journal_shown() {
    return kx::join(fs_priv_dir, kDropJournalName);
}

// The names of an earlier run's journal; a line cut short ends them.
void load_drop_journal() {
    if (drops.loaded)
        return;
    drops.loaded = true;
    struct stat st;
    kx::Fd fd = kx::open_regular_at(area->tree.fd, kDropJournalName, &st);
    if (!fd.ok() || st.st_nlink != 1)
        return;
    std::unique_ptr<FILE, int (*)(FILE *)> in(::fdopen(fd.get(), "r"), std::fclose);
    if (!in)
        return;
    fd.release();
    // Read line by line: whatever the file's size, a line longer than any
    // name is passed over, not held.
    std::unordered_set<std::string> names;
    std::string line;
    kx::LineReader lines(in.get());
    for (kx::LineReader::Result r; (r = lines.next(line)) != kx::LineReader::end && lines.ended();)
        if (r == kx::LineReader::line)
            names.insert(std::move(line));
    if (std::ferror(in.get()))
        return;
    drops.found = {st.st_dev, st.st_ino};
    drops.names = std::move(names);
}

// Writes the cow name to the journal before its link's mark is cleared. A
// journal that cannot be written only means that an interruption right
// after the mark would leave the cow file behind.
void journal_drop(const char *cow) {
    if (drops.failed)
        return;
    if (!drops.out.ok())
        drops.out = kx::open_output(area->tree.fd, kDropJournalName, O_WRONLY | O_APPEND, false,
                                    false, 0600);
    if (!drops.out.ok() || !kx::write_all(drops.out.get(), std::string(cow) + "\n")) {
        warning(errno, "can't write '%s'", drop_journal_shown().c_str());
        drops.failed = true;
        drops.out.reset();
    }
}

// A cow file equal to its template that only unmarked links claim, whose
// removal an interrupted run had journaled. It goes with the last of them.
void drop_unclaimed_unchanged(const magic_link &link) {
    const cow_claim *claim = link.claim;
    if (!claim->counted || !claim->last || *claim->marked_left > 0 || *claim->needed)
        return;
    load_drop_journal();
    if (!drops.names.count(link.cow) || !unchanged(link))
        return;
    found_optimization(PR_UNCHANGED_COW, link, link.item);
    if (!cow_naming_confirmed()) {
        withhold(true);
        return;
    }
    remove_unchanged_cow(link.cow);
}

// The repaired copy is made only when the action may put it in place.
bool repair_copy_wanted(int act) {
    if (observer)
        return false;
    return act == ACT_MOVE || act == ACT_REMOVE || (get_option() & OPT_INTERACTIVE);
}

// Writes the records the check kept into a new file of the directory, which
// gets a name only when it is put in place (a file without a name where
// the filesystem has them). False when it cannot be made.
bool write_repaired_copy(const item_ref &at) {
    kx::trace(4, "Scanned %d entries, %d dirs\n", static_cast<int>(tot), static_cast<int>(dtot));
    select_prime();
    create_hash_table();
    kx::Fd fd(::openat(at.dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
    std::string name;
    if (!fd.ok()) {
        // Without unnamed files: a new file of our own name.
        kx::TempName temp;
        if (!temp.create_file(at.dirfd, DIRINDEX_TMP_NAME, '.', fd)) {
            werror(errno, "can't open '%s'", DIRINDEX_TMP_NAME);
            clean_memory();
            return false;
        }
        name = temp.name();
        temp.keep();
    }
    bool written = emit_dirindex(fd.get()) == 0 && (name.empty() || ::fchmod(fd.get(), 0644) == 0);
    clean_memory();
    if (!written) {
        if (!name.empty())
            ::unlinkat(at.dirfd, name.c_str(), 0);
        return false;
    }
    kx::trace(4, "wrote file %s/%s \n", at.dir_path,
              name.empty() ? DIRINDEX_TMP_NAME : name.c_str());
    repaired_index_fd = fd.release();
    repaired_index_name = name;
    return true;
}

// Closes the repaired copy; one that still has a name of its own goes.
void drop_repaired_copy(const item_ref &at) {
    if (repaired_index_fd < 0)
        return;
    if (!repaired_index_name.empty()) {
        // Named when it was made (no unnamed files here): still ours?
        struct stat mine, there;
        if (::fstat(repaired_index_fd, &mine) == 0 &&
            ::fstatat(at.dirfd, repaired_index_name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            kx::same_inode(there, mine.st_dev, mine.st_ino))
            ::unlinkat(at.dirfd, repaired_index_name.c_str(), 0);
        repaired_index_name.clear();
    }
    ::close(repaired_index_fd);
    repaired_index_fd = -1;
}

// Reports the problem and acts on it as the action act says.
void report_and_act(int kind, int flags, int act, const char *path, const char *cow_path,
                    const item_ref *at) {
    problem_code code = problem_of(kind, flags);
    const problem &pr = problems[code];
    const char *name = pr.by_cow_name ? relative_name(cow_path, cow_dir)
                                      : relative_name(path, root_dir);
    char text[4096];
    std::snprintf(text, sizeof text, pr.text, name);
    if (observer) {
        tell(pr.finding, name, text);
        return;
    }
    if (rests_on_naming(kind, flags) && !cow_naming_confirmed()) {
        kx::trace(3, "%s\n", text);
        if (act != ACT_IGNORE || (get_option() & OPT_INTERACTIVE))
            withhold(act != ACT_IGNORE);
        return;
    }
    if (get_option() & OPT_INTERACTIVE)
        act = ask_proc(text, act);
    else
        kx::trace(3, "%s\n", text);

    if (!pr.by_cow_name && at == nullptr && (act == ACT_MOVE || act == ACT_REMOVE))
        KX_BUG();
    switch (act) {
    case ACT_IGNORE:
        return;
    case ACT_MOVE:
        if (kind == CORR_ALL)
            KX_BUG();
        act_move(pr, code, name, at);
        return;
    case ACT_REMOVE:
        if (kind == CORR_ALL)
            KX_BUG();
        act_remove(pr, name, at);
        return;
    default:
        KX_BUG();
    }
}

}  // namespace

void end_unchanged_removal(void) {
    if (opt_act[OPTIM_EMPTY] != ACT_DO || observer)
        return;
    load_drop_journal();
    kx::InodeKey mine = drops.found;
    struct stat st, there;
    if (drops.out.ok() && ::fstat(drops.out.get(), &st) == 0)
        mine = {st.st_dev, st.st_ino};
    drops.out.reset();
    if (!removal_unfinished && mine.ino != 0 &&
        ::fstatat(area->tree.fd, kDropJournalName, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        kx::same_inode(there, mine.dev, mine.ino) &&
        ::unlinkat(area->tree.fd, kDropJournalName, 0) != 0)
        failed(errno, "can't remove '%s'", drop_journal_shown().c_str());
}

bool is_own_temporary(const char *name) {
    return !own_temporary.empty() && own_temporary == name;
}

void check_magic(const magic_link &link) {
    const int state = link.state;
    bool has_template = state & LINK_TEMPLATE, marked = state & LINK_MARK,
         has_cow = state & LINK_COW;
    if (has_template) {
        if (marked && !has_cow)
            correct(CORR_MARK, state, link.link_stat->st_mode, link.path, nullptr, link.at);
        else if (!marked && has_cow)
            warning(0,
                    "'cow' '%s' for '%s' exist but no mark on 'magic', it's may be potential "
                    "error or problem",
                    link.cow, link.item);
    } else if (marked && has_cow) {
        warning(0, "'%s' have no 'template' but have 'cow'", link.item);
    } else {
        correct(CORR_LINK, state, 0, link.path, link.cow_path, link.at);
    }
    if (corr_act[CORR_COW] != ACT_UNSET && has_cow && marked)
        remove_cow_item(link.cow);
}

void correct(int kind, int flags, mode_t /*mode*/, const char *path, const char *cow_path,
             const item_ref *at) {
    if (kind < CORR_ALL || kind > CORR_LINK)
        KX_BUG();
    int act = corr_act[kind];
    if (act == ACT_UNSET)
        return;
    if (!(flags & DIRINDEX_LOST)) {
        report_and_act(kind, flags, act, path, cow_path, at);
        return;
    }
    // An index that lost records: a copy of the others, made when the
    // action may put it in place, goes when the problem is dealt with.
    KX_ASSERT(at != nullptr);
    if (repair_copy_wanted(act) && write_repaired_copy(*at))
        flags = (flags & ~DIRINDEX_LOST) | DIRINDEX_FIXED;
    report_and_act(kind, flags, act, path, cow_path, at);
    drop_repaired_copy(*at);
}

bool cow_unchanged(const char *cow, const struct stat *cow_stat, const char *template_path,
                   const struct stat *template_stat, const char *shown_cow_path) {
    if (cow_stat->st_size != template_stat->st_size)
        return false;
    int attrs = check_eattr_at(area->cow.fd, cow);
    if (attrs > 0)
        return false;
    if (attrs < 0 && shown_cow_path)
        warning(errno, "can't get file attributes of '%s'", cow);
    int r = compare_files_at(area->cow.fd, cow, AT_FDCWD, template_path);
    if (r < 0 && shown_cow_path)
        warning(errno, "Optimization: can't compare '%s' '%s'", shown_cow_path, template_path);
    return r == 0;
}

void optimize_magic(const magic_link &link) {
    const int state = link.state;
    if (!(state & LINK_COW))
        return;
    const char *item = link.item, *cow = link.cow;
    const cow_claim *claim = link.claim;
    struct stat *link_stat = link.link_stat;
    if (!(state & LINK_MARK)) {
        if (opt_act[OPTIM_EMPTY] == ACT_DO && (state & LINK_TEMPLATE) && !observer)
            drop_unclaimed_unchanged(link);
        return;
    }

    if (opt_act[OPTIM_EMPTY] != ACT_UNSET) {
        if (!(state & LINK_TEMPLATE))
            return;
        if (unchanged(link)) {
            const problem &pr = problems[PR_UNCHANGED_COW];
            if (found_optimization(PR_UNCHANGED_COW, link, item))
                return;
            if (opt_act[OPTIM_EMPTY] != ACT_DO || !cow_naming_confirmed()) {
                if (opt_act[OPTIM_EMPTY] == ACT_DO)
                    withhold(true);
                *claim->needed = true;
                return;
            }
            struct stat before = *link_stat;
            bool whole = names_accounted(before);
            journal_drop(cow);
            link_stat->st_mode &= ~COW_MARK;
            if (clear_link_mark(*link.at, before) != 0) {
                failed(errno, pr.link_failed, item);
                *claim->needed = true;
                return;
            }
            // Other marked links still need the cow file: it goes with the last.
            if (!release_claim(claim, whole))
                return;
            remove_unchanged_cow(cow);
            return;
        }
    }

    if (opt_act[OPTIM_REPLACE] == ACT_UNSET)
        return;
    const problem &pr = problems[PR_CHANGED_COW];
    if (found_optimization(PR_CHANGED_COW, link, relative_name(link.template_path, temp_dir)))
        return;
    if (opt_act[OPTIM_REPLACE] != ACT_DO || !cow_naming_confirmed()) {
        if (opt_act[OPTIM_REPLACE] == ACT_DO)
            withhold(true);
        *claim->needed = true;
        return;
    }
    // The link's other names, and the other links that claim the cow file,
    // still need it under its own name; of several links, the one met last
    // gets the cow file itself, the others copies of its data.
    const kx::InodeKey key{link_stat->st_dev, link_stat->st_ino};
    if (link_stat->st_nlink > 1 && failed_links.count(key)) {
        *claim->needed = true;
        return;
    }
    // A link whose replacement failed still needs the cow file as it is:
    // the others get copies.
    cow_use use = !claim->owner || *claim->needed                  ? COW_COPY
                  : link_stat->st_nlink > 1 || !claim->last_marked ? COW_LINK
                                                                     : COW_TAKE;
    struct stat attrs = *link_stat;
    attrs.st_mode = S_IFREG | ((link_stat->st_mode & 07777) & ~COW_MARK);
    const char *step = nullptr;
    int r = put_cow_in_place(cow, *link.cow_stat, *link.at, attrs, use, &step);
    if (r < 0) {
        if (std::strcmp(step, "rename") == 0)
            failed(errno, pr.move.failed, cow);
        else if (std::strcmp(step, "attr") == 0)
            failed(errno, pr.link_failed, item);
        else
            failed(errno, pr.temporary_failed, (std::string(link.cow_path) + ".bak").c_str());
        *claim->needed = true;
        if (link_stat->st_nlink > 1)
            failed_links.insert(key);
        return;
    }
    link_stat->st_mode = attrs.st_mode;
    if (r > 0) {
        failed(errno, pr.link_failed, item);
        return;
    }
    kx::trace(3, pr.move.done, item, cow);
}
