// What the checker does about one faulty or improvable object: which
// problem a magic link has (check_magic), the one routine that reports and
// corrects a problem with the chosen action (correct), and the two
// optimizations of a marked magic link (optimize_magic). The problem texts
// and the messages of every action sit together in one table below.
//
// It relies on the scan (scan.cpp) for the state word and the stat records
// of an entry, and on the current directory being the entry's directory:
// the entry itself is addressed by its bare name, so that no path length
// limits the depth of a tree; full paths serve the messages. It relies on
// kxfsutil.cpp for the actions and paths, on the cow hash for ticking off
// claimed cow files, and on the library's lost-and-found moves, which
// address objects by their names relative to the area's trees.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"
#include "kxfsutil.h"

namespace {

// The problems the checker reports, with what each action says.
enum problem_code {
    PR_LOST_COW,          // CORR_COW
    PR_BROKEN_MARK,       // CORR_MARK
    PR_LOST_LINK,         // CORR_LINK: magic link or shortcut without template
    PR_BROKEN_DIRINDEX,   // CORR_LINK, DIRINDEX_BROKEN
    PR_FIXED_DIRINDEX,    // CORR_LINK, DIRINDEX_FIXED
    PR_UNFIXED_DIRINDEX,  // CORR_LINK, DIRINDEX_UNFIXED
};

// How the remove action treats the object.
enum remove_how {
    REMOVE_OBJECT,     // unlink the object
    REMOVE_MARK,       // clear the cow mark of the link
    REMOVE_REPLACING,  // unlink the index, then put the repaired copy in its place
    REMOVE_NOTHING,    // no repaired copy to put in place: nothing can be done
};

struct problem {
    const char *text;           // the problem as reported or asked
    bool by_cow_name;           // names the cow file; otherwise the item
    const char *move_failed;    // warnings carry the system error text
    const char *moved;          // notes at level 3
    const char *remove_failed;
    const char *removed;
    remove_how remove;
};

const problem problems[] = {
    /* PR_LOST_COW */
    {"Lost 'cow' file '%s'", true,
     "can't move 'cow' '%s' to lost", "Correction: 'cow' '%s' moved to lost\n",
     "can't remove 'cow' '%s'", "Correction: 'cow' '%s' is removed\n", REMOVE_OBJECT},
    /* PR_BROKEN_MARK */
    {"Broken 'cow' mark in '%s'", false,
     "can't move 'magic' '%s' to lost", "Correction: 'magic' '%s' moved to lost\n",
     "can't remove mark on 'magic' '%s'", "Correction: mark on 'magic' '%s' is removed\n",
     REMOVE_MARK},
    /* PR_LOST_LINK */
    {"Lost 'magic' link '%s'", false,
     "can't move 'magic' '%s' to lost", "Correction: 'magic' '%s' moved to lost\n",
     "can't remove 'magic' '%s'", "Correction: 'magic' '%s' is removed\n", REMOVE_OBJECT},
    /* PR_BROKEN_DIRINDEX */
    {"Broken 'dirindex' file '%s'", false,
     "can't move 'magic' '%s' to lost", "Correction: 'magic' '%s' moved to lost\n",
     "can't remove 'magic' '%s'", "Correction: 'magic' '%s' is removed\n", REMOVE_OBJECT},
    /* PR_FIXED_DIRINDEX */
    {"Broken 'dirindex' file '%s'", false,
     "can't move 'dirindex' '%s' to lost", "Correction: 'dirindex' '%s' moved to lost.\n",
     nullptr /* the rename over the index cannot leave it half removed */,
     "Correction: 'dirindex' '%s' is removed.", REMOVE_REPLACING},
    /* PR_UNFIXED_DIRINDEX */
    {"Broken 'dirindex' file '%s'", false,
     "no repaired copy of 'dirindex' '%s': left as it is", nullptr,
     "no repaired copy of 'dirindex' '%s': left as it is", nullptr, REMOVE_NOTHING},
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
        if (flags & DIRINDEX_UNFIXED)
            return PR_UNFIXED_DIRINDEX;
        if (flags & DIRINDEX_MASK)
            return PR_BROKEN_DIRINDEX;
        return PR_LOST_LINK;
    }
}

[[noreturn]] void bug(int line, const char *function) {
    error(255, 0, "Bug: %s(%d), function '%s()'", "src/correct.cpp", line, function);
    std::abort();
}

void note(const char *fmt, const char *name) {
    if (kxfsutil_debug_level > 2)
        debug_print(3, fmt, name);
}

// The entry's name in the current directory.
const char *leaf_of(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Renames the repaired copy into the place of the index named name
// (fatal when it fails).
void replace_by_repaired_copy(const char *name) {
    std::string item(name);
    move_item_to_same(item.data(), DIRINDEX_TMP_NAME);
}

// The repaired copy beside the index is of no use when the index stays.
void drop_repaired_copy() {
    struct stat st;
    if (::lstat(DIRINDEX_TMP_NAME, &st) == 0 && S_ISREG(st.st_mode))
        ::unlink(DIRINDEX_TMP_NAME);
}

void act_move(const problem &pr, problem_code code, const char *name) {
    if (code == PR_UNFIXED_DIRINDEX) {
        warning(0, pr.move_failed, name);
        return;
    }
    const char *tree = pr.by_cow_name ? "cow" : "root";
    if (move_item_to_lost(name, tree) != 0) {
        warning(errno, pr.move_failed, name);
        if (code == PR_FIXED_DIRINDEX)
            drop_repaired_copy();
        return;
    }
    note(pr.moved, name);
    if (code == PR_FIXED_DIRINDEX) {
        replace_by_repaired_copy(name);
        note(" Fixed\n", name);
    }
}

void act_remove(const problem &pr, mode_t mode, const char *name, const char *path) {
    switch (pr.remove) {
    case REMOVE_NOTHING:
        warning(0, pr.remove_failed, name);
        return;
    case REMOVE_MARK:
        if (kxlchmod(path, (mode & 07777) & ~COW_MARK) != 0) {
            warning(errno, pr.remove_failed, name);
            return;
        }
        note(pr.removed, name);
        return;
    case REMOVE_OBJECT:
        if (std::remove(path) != 0) {
            warning(errno, pr.remove_failed, name);
            return;
        }
        note(pr.removed, name);
        return;
    case REMOVE_REPLACING:
        // The repaired copy is renamed over the index: the directory is
        // never without one.
        replace_by_repaired_copy(name);
        note(pr.removed, name);
        note(" Fixed\n", name);
        return;
    }
}

// Equal when the sizes agree, the cow file carries no attributes of its
// own and the contents are the same. A comparison error counts as
// different, after a warning.
bool cow_unchanged(const char *cow_path, const struct stat *cow_stat,
                   const char *template_path, const struct stat *template_stat,
                   const char *cow_name) {
    if (cow_stat->st_size != template_stat->st_size)
        return false;
    int attrs = check_eattr(cow_path);
    if (attrs > 0)
        return false;
    if (attrs < 0)
        warning(errno, "can't get file attributes of '%s'", cow_name);
    int r = compare_files(cow_path, template_path);
    if (r < 0) {
        warning(errno, "Optimization: can't compare '%s' '%s'", cow_path, template_path);
        return false;
    }
    return r == 0;
}

}  // namespace

const char *relative_name(const char *path, const char *base) {
    if (path == nullptr || base == nullptr)
        return path;
    size_t n = std::strlen(base);
    if (std::strncmp(path, base, n) == 0 && path[n] == '/')
        return path + n + 1;
    return path;
}

void check_magic(int state, const char *path, struct stat *link_stat,
                 const char *template_path, struct stat * /*template_stat*/,
                 const char *cow_path, struct stat * /*cow_stat*/) {
    (void)template_path;
    const char *item = relative_name(path, root_dir);
    const char *cow = relative_name(cow_path, cow_dir);
    bool has_template = state & LINK_TEMPLATE, marked = state & LINK_MARK,
         has_cow = state & LINK_COW;
    if (has_template) {
        if (marked && !has_cow)
            correct(CORR_MARK, state, link_stat->st_mode, path, nullptr);
        else if (!marked && has_cow)
            warning(0,
                    "'cow' '%s' for '%s' exist but no mark on 'magic', it's may be potential "
                    "error or problem",
                    cow, item);
    } else if (marked && has_cow) {
        warning(0, "'%s' have no 'template' but have 'cow'", item);
    } else {
        correct(CORR_LINK, state, 0, path, cow_path);
    }
    if (corr_act[CORR_COW] != ACT_UNSET && has_cow && marked)
        remove_cow_item(cow);
}

void correct(int kind, int flags, mode_t mode, const char *path, const char *cow_path) {
    if (kind < CORR_ALL || kind > CORR_LINK)
        bug(__LINE__, "correct");
    int act = corr_act[kind];
    if (act == ACT_UNSET)
        return;
    problem_code code = problem_of(kind, flags);
    const problem &pr = problems[code];
    const char *name = pr.by_cow_name ? relative_name(cow_path, cow_dir)
                                      : relative_name(path, root_dir);
    char text[4096];
    std::snprintf(text, sizeof text, pr.text, name);
    if (get_option() & OPT_INTERACTIVE)
        act = ask_proc(text, act);
    else if (kxfsutil_debug_level > 2)
        debug_print(3, "%s\n", text);

    switch (act) {
    case ACT_IGNORE:
        if (code == PR_FIXED_DIRINDEX)
            drop_repaired_copy();
        return;
    case ACT_MOVE:
        if (kind == CORR_ALL)
            bug(__LINE__, "correct");
        act_move(pr, code, name);
        return;
    case ACT_REMOVE:
        if (kind == CORR_ALL)
            bug(__LINE__, "correct");
        act_remove(pr, mode, name, kind == CORR_COW ? cow_path : leaf_of(path));
        return;
    default:
        bug(__LINE__, "correct");
    }
}

void optimize_magic(int state, const char *path, struct stat *link_stat,
                    const char *template_path, struct stat *template_stat,
                    const char *cow_path, struct stat *cow_stat) {
    if (!(state & LINK_COW) || !(state & LINK_MARK))
        return;
    const char *item = relative_name(path, root_dir);
    const char *cow = relative_name(cow_path, cow_dir);

    if (opt_act[OPTIM_EMPTY] != ACT_UNSET) {
        if (!(state & LINK_TEMPLATE))
            return;
        if (cow_unchanged(cow_path, cow_stat, template_path, template_stat, cow)) {
            if (kxfsutil_debug_level > 2)
                debug_print(3, "Optimization: non-changed 'cow' '%s' for '%s'\n", cow, item);
            if (opt_act[OPTIM_EMPTY] != ACT_DO)
                return;
            link_stat->st_mode &= ~COW_MARK;
            if (kxlchmod(leaf_of(path), link_stat->st_mode & 07777) != 0) {
                warning(errno, "can't set mark on 'magic' '%s'", item);
                return;
            }
            if (::unlink(cow_path) != 0) {
                warning(errno, "can't remove 'cow' '%s'", cow);
                return;
            }
            if (kxfsutil_debug_level > 2)
                debug_print(3, "Optimized: removed non-changed 'cow' '%s'\n", cow);
            return;
        }
    }

    if (opt_act[OPTIM_REPLACE] == ACT_UNSET)
        return;
    if (kxfsutil_debug_level > 2)
        debug_print(3, "Optimization: 'cow' '%s' different from 'template' '%s'\n", cow,
                    relative_name(template_path, temp_dir));
    if (opt_act[OPTIM_REPLACE] != ACT_DO)
        return;
    if (link_stat->st_nlink > 1) {
        // The link's other names still need the cow file under its own name.
        char *bak = xstring2('.', cow_path, "bak");
        if (::link(cow_path, bak) != 0) {
            warning(errno, "link '%s'", bak);
            std::free(bak);
            return;
        }
        if (::rename(bak, leaf_of(path)) != 0) {
            int err = errno;
            ::unlink(bak);
            warning(err, "rename '%s'", cow);
            std::free(bak);
            return;
        }
        std::free(bak);
    } else if (::rename(cow_path, leaf_of(path)) != 0) {
        warning(errno, "rename '%s'", cow);
        return;
    }
    // The new entry is the regular cow file: the link's attributes are
    // applied to it as to a regular file, never through the link calls.
    link_stat->st_mode = S_IFREG | ((link_stat->st_mode & 07777) & ~COW_MARK);
    if (set_attr(leaf_of(path), link_stat) != 0) {
        warning(errno, "set attr '%s'", item);
        return;
    }
    if (kxfsutil_debug_level > 2)
        debug_print(3, "Optimized: replaced 'magic' '%s' with 'cow' '%s'\n", item, cow);
}
