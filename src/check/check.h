// The checker's private header: the state of a check (check_state.cpp),
// the constants shared by the driver (kxfsutil.cpp), the scan (scan.cpp),
// the corrections (correct.cpp), the replacements of links (replace.cpp),
// the cow hash (cowhash.cpp) and the upgrade (upgrade.cpp), and the functions
// they call in each other.
//
// The area is reached only through its handle: every entry is addressed as
// (directory descriptor, name); full paths serve the messages.
#ifndef KXFS_CHECK_H
#define KXFS_CHECK_H

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>

#include "libkxfsutil.h"

// Correction kinds, the indices of corr_act.
enum {
    CORR_ALL = 0,
    CORR_COW = 1,   // a cow file that no marked magic link claims
    CORR_MARK = 2,  // a marked magic link whose cow file is missing
    CORR_LINK = 3,  // a pointer whose template object is missing, or a broken dirindex
};

// Optimizations, the indices of opt_act (index 3 has no meaning).
enum {
    OPTIM_ALL = 0,
    OPTIM_REPLACE = 1,  // replace a magic link by its cow file
    OPTIM_EMPTY = 2,    // delete a cow file that equals its template
};

// Actions, shared with the prompts of the library.
enum {
    ACT_UNSET = -1,
    ACT_IGNORE = 1,
    ACT_MOVE = 2,
    ACT_DO = 2,
    ACT_REMOVE = 3,
};

// Bits of the option word.
enum : unsigned int {
    OPT_TEMPLATE_DIR = 0x1,
    OPT_PARSED = 0x2,
    OPT_INTERACTIVE = 0x4,
    OPT_QUIET = 0x8,
    OPT_CORR_COW = 0x100,
    OPT_CORR_MARK = 0x200,
    OPT_CORR_LINK = 0x400,
    OPT_CORR_ALL = 0x800,
    OPT_CORR_MASK = 0xF00,
    OPT_OPT_REPLACE = 0x1000,
    OPT_OPT_EMPTY = 0x2000,
    OPT_OPT_ALL = 0x8000,
    OPT_OPT_MASK = 0xF000,
    OPT_UPGRADE = 0x10000,
    OPT_RESERVED_NAME = 0x20000,
    OPT_UNCOW_EMPTY = 0x40000,
};

// The magic-link state word.
enum {
    LINK_TEMPLATE = 0x2,  // the template object exists with the expected type
    LINK_MARK = 0x4,      // the link carries the cow mark (sticky bit)
    LINK_COW = 0x10,      // the cow file exists and is a regular file
};

// Correction flags of a dirindex problem; any of 0x700 makes a CORR_LINK
// problem a dirindex problem.
enum {
    DIRINDEX_BROKEN = 0x100,  // unreadable or beyond repair
    DIRINDEX_FIXED = 0x200,   // a repaired copy is ready to take its place (set by correct)
    DIRINDEX_LOST = 0x400,    // records lost; the dirindex writer holds the others
    DIRINDEX_MASK = 0x700,
};

// Marks of the KXFS conventions in a mode.
constexpr mode_t COW_MARK = S_ISVTX;       // on a magic link; on a regular file: a shortcut
constexpr mode_t MAGIC_DIR_MARK = S_ISUID; // a template-backed directory

// ---- check_state.cpp: the state a check needs ------------------------------

extern int progress;
extern int veid;
extern int vefs_version;
extern int corr_act[4];
extern int opt_act[4];
extern char *curr_path;
extern char *temp_dir;
extern char *fs_priv_dir;
extern char *root_dir;
extern char *cow_dir;
// The area being checked: its descriptors are the only way into it.
extern struct kxfs_area *area;
// The version text read by check_area_version ("" when it was unreadable).
extern char area_version[KXFS_VERSION_BUF];

// Takes the area handle for the check and sets the paths from it.
void use_area(struct kxfs_area *handle);
// lstat into st: negative on failure, 1 when of the type, 0 otherwise
// (paths of the template directory, which belongs to the host).
int is_regular_file(const char *path, struct stat *st);
int is_directory(const char *path, struct stat *st);
// Name of the cow file of a magic-link text, in the area's naming scheme.
char *vefs_path_to_name(const char *text);
// Chooses the cow naming from the version link; refuses a version an
// upgrade does not take.
void check_area_version(void);
// Whether the version link confirmed the cow naming. Without it no cow
// file is moved or removed and no mark cleared on the naming's strength.
bool cow_naming_confirmed(void);
// A change the operator asked for failed or was withheld: the run ends
// with status 1.
extern bool change_failed;
void note_failed_change(void);
// The package list and OS template of the area, for the pointer checks.
void load_package_data(void);
// path relative to base (the part after base and its slash), or path itself.
const char *relative_name(const char *path, const char *base);

// What the checker finds, for a program that only counts: with an observer
// set, every problem and optimization goes to it instead of being reported
// or acted on, and the scan tells it every entry it classifies.
enum finding_kind {
    FINDING_LOST_COW,            // "Lost 'cow' file"
    FINDING_BROKEN_MARK,         // "Broken 'cow' mark"
    FINDING_LOST_LINK,           // "Lost 'magic' link" (a link or a shortcut)
    FINDING_BROKEN_DIRINDEX,     // "Broken 'dirindex' file", beyond repair
    FINDING_REPAIRABLE_DIRINDEX, // "Broken 'dirindex' file", records lost
    FINDING_UNCHANGED_COW,       // the cow file equals its template
    FINDING_CHANGED_COW,         // the cow file may replace its link
};
enum entry_kind {
    ENTRY_DIR,            // a directory (its mark: the stat record)
    ENTRY_MAGIC_LINK,     // marked or not: the stat record's sticky bit
    ENTRY_MARKER_LINK,    // "._kxlnk_." magic link of a marked directory
    ENTRY_MARKER_INDEX,   // "._kxlnk_." dirindex of a marked directory
    ENTRY_SHORTCUT,
    ENTRY_FILE,
    ENTRY_SYMLINK,        // a link that is no magic link
    ENTRY_OTHER,          // device, fifo, socket
};
struct check_observer {
    void *data;
    // item: the name relative to root_dir (cow findings: relative to cow_dir).
    void (*finding)(void *data, enum finding_kind kind, const char *item, const char *text);
    // path: the entry's full path.
    void (*entry)(void *data, enum entry_kind kind, const char *path, const struct stat *st);
};
extern const struct check_observer *observer;

// ---- scan.cpp: the area check scan ---------------------------------------

// What the scan counts: directories queued, files, links.
struct scan_info {
    int dirs;
    int files;
    int links;
};

extern struct scan_info *info;
extern volatile sig_atomic_t alarmed;

// An entry of the tree: its directory's descriptor and its name there,
// the directory's full path and its path below root_dir.
struct item_ref {
    int dirfd;
    const char *name;
    const char *dir_path;
    const char *dir_rel;
    const struct stat *st;  // the entry's own stat record, as the scan saw it
};

void scan_mount_point(const char *area_dir, int veid);
void scan_cow_dir(void);
// Reports every cow file that no marked magic link claimed, once each.
void lost_cow_pass(void);
// Whether every name of the link (st) lies in the tree: a link of one
// name, or one whose names the count before the walk all met.
bool names_accounted(const struct stat &link_stat);
void alarm_handler(int signal);

// ---- correct.cpp: decisions and actions ----------------------------------

// What the other claims on a cow file ask of this one: counted before the
// walk when the run may take cow files away (see scan.cpp). Without a
// count, the link is taken as the only claim.
struct cow_claim {
    bool counted;      // a count was made
    bool last;         // no other link names the cow file after this one
    bool last_marked;  // no other marked link names it after this one
    bool owner;        // the cow file's own inode is for this link (others get copies)
    bool last_name;    // no other name of this link in the tree follows
    int *marked_left;  // marked links in the tree that still need the cow file
    bool *needed;      // set when a link keeps needing it (its mark could not go)
};
// The marked link no longer needs its cow file: its mark is gone from all
// its names in the tree (whole), or this was its last name there. True
// when no marked link needs the cow file any more.
bool release_claim(const struct cow_claim *claim, bool whole);

// What the scan found out about one magic link, for the passes that decide
// what becomes of it. The strings and records are the scan's, borrowed for
// the call.
struct magic_link {
    int state;                         // the LINK_* bits
    const char *text;                  // the link's text
    const char *path;                  // its full path (messages)
    const char *item;                  // its path below root_dir
    const struct item_ref *at;         // the entry
    struct stat *link_stat;            // at->st: a pass that changes the link updates it
    const char *template_path;         // the template object's full path
    const struct stat *template_stat;  // its stat record (with LINK_TEMPLATE)
    const char *cow;                   // the cow file's name in cow_dir
    const char *cow_path;              // its full path (messages)
    const struct stat *cow_stat;       // its stat record (with LINK_COW)
    const struct cow_claim *claim;     // what the other claims on the cow file leave
};

// The problem of the link, if any, through correct().
void check_magic(const struct magic_link &link);
// at: the entry (null for a cow file, which is addressed by its name). A
// DIRINDEX_LOST problem gets its repaired copy here, from the records the
// dirindex writer holds, when the action may use one.
void correct(int kind, int flags, mode_t mode, const char *path, const char *cow_path,
             const struct item_ref *at);
// The optimizations of the link's cow file: removed when it equals its
// template, else put in the link's place.
void optimize_magic(const struct magic_link &link);
// Whether the cow file cow (a name in cow_dir) equals its template: the
// sizes agree, the cow file carries no attributes of its own and the
// contents are the same. A comparison that fails counts as a difference.
// With shown_cow_path (the cow file's full path), failures to read the
// attributes or to compare are warnings; without, the check is silent.
bool cow_unchanged(const char *cow, const struct stat *cow_stat, const char *template_path,
                   const struct stat *template_stat, const char *shown_cow_path = nullptr);
// After the walk of a run that removes unchanged cow files: the journal of
// those removals goes, being done with.
void end_unchanged_removal(void);
// Whether name is the temporary the checker last put in place (the
// listing of its directory may still show it).
bool is_own_temporary(const char *name);

// ---- replace.cpp: a new entry in a link's place --------------------------

enum cow_use {
    COW_TAKE,  // the cow file itself goes to the link's place
    COW_LINK,  // the link's place becomes a further name of the cow file
    COW_COPY,  // the link's place gets a copy of the cow file's data
};
// Puts the cow file name of cow_dir (as the scan saw it: cow_seen) in the
// place of the entry at, with the owner, group, permission bits and times
// of attrs, prepared whole before the one rename that puts it there. A cow
// file whose inode has names the run cannot account for is never changed:
// its data are copied to a new inode instead. The names of one link inode
// (at->st) stay names of one file: a copy made for one of them is linked
// into the place of the others. After COW_TAKE the cow file's name is
// gone; after COW_LINK and COW_COPY it stays. 0 done; -1 nothing put in
// place, with errno set and *failed naming the step ("attr", "link",
// "rename"); 1 a copy is in place, but an immutable or append-only flag,
// which can only come last, could not be set (errno set).
int put_cow_in_place(const char *name, const struct stat &cow_seen, const struct item_ref &at,
                     const struct stat &attrs, enum cow_use use, const char **failed);
// A further name of the shortcut from (of from_dirfd, holding text) in the
// place of the entry at, through a temporary name in cow_dir: 0, or -1
// with errno set and *failed naming the step ("link", "rename").
int link_in_place(int from_dirfd, const char *from, const struct item_ref &at,
                  const char *cow_name, const char *text, const char **failed);
// Makes a temporary name in cow_dir with make(dirfd, candidate), which
// fails with EEXIST when the candidate is taken: "<cow_name>.bak", or a
// fresh name when that one holds something that is not a leftover of the
// run's own (is_ours decides; a leftover is made anew, anything else is
// left as it is, with a warning). The name, or "" with errno set.
std::string make_cow_temporary(const char *cow_name,
                               const std::function<int(int, const char *)> &make,
                               const std::function<bool(int, const char *)> &is_ours);
// A shortcut holding text with the owner, mode and times of attrs, made
// whole and then named with a temporary name of cow_dir: the name, or ""
// with errno set.
std::string make_shortcut_temporary(const char *cow_name, const char *text,
                                    const struct stat &attrs);
// The entry's path below root_dir.
std::string below_root(const struct item_ref &at);
// Whether the shortcut name of dirfd holds exactly text.
bool is_shortcut_of(int dirfd, const char *name, const char *text);
// Whether two open regular files hold the same bytes.
bool same_content(int fd1, int fd2);
// Clears the cow mark of the magic link at: in place when all its names
// lie in the tree, else by a new link of the same text and attributes
// renamed over it (its other names may lie outside the area). 0 or -1.
int clear_link_mark(const struct item_ref &at, const struct stat &link_stat);

// ---- cowhash.cpp: the cow hash -------------------------------------------

void init_cow_hash(void);
int add_cow_item(const char *name);
int remove_cow_item(const char *name);
// A name still in the hash (owned by the hash), or NULL.
const char *first_cow_item(void);

// ---- upgrade.cpp: the upgrade of an area's format ------------------------

// Whether the area is under an upgrade begun before ("999.999"): such a
// run skips the reserved-name walk.
bool upgrade_resumed(void);
// Before the walk: refusals, then the "999.999" marker. walked is called
// once the reserved-name walk is over or passed over, before any refusal.
void upgrade_prepare(const char *area_dir, int veid, const std::function<void()> &walked);
// Converts the link: dropped with its cow file, replaced by the cow file, or
// made a shortcut.
void upgrade_magic(const struct magic_link &link);
// Before the scan looks at a magic link during an upgrade: carries out the
// conversions that wait for their journal records when one of them touches
// the link's cow file (cow_name) or its inode. True when it did: the
// link's stat record is then out of date.
bool upgrade_settle(const char *cow_name, const struct stat &link_stat);
// After the walk: the waiting conversions, then the cow files that
// received further names.
void upgrade_cleanup(void);
// A step of the upgrade failed (reported where it failed): the area is not
// given the new version, and a rerun finishes the upgrade.
void upgrade_step_failed(void);
// Whether every step of the upgrade succeeded.
bool upgrade_complete(void);

extern "C" {
// Callback of the reserved-name walk; exported in the program's dynamic
// symbol table for host tools that load the program.
KXFS_EXTERN int check_reserved_name(void *data, const char *path, const char *text,
                                    int flags, const struct stat *st);
}

#endif
