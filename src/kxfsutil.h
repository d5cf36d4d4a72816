// The checker's private header: the state its command line fills, the
// constants shared by the driver (kxfsutil.cpp), the scan (scan.cpp), the
// corrections (correct.cpp), the cow hash (hash.cpp) and the upgrade
// (upgrade.cpp), and the functions they call in each other.
#ifndef KXFSUTIL_H
#define KXFSUTIL_H

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

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
    DIRINDEX_BROKEN = 0x100,   // unreadable or beyond repair
    DIRINDEX_FIXED = 0x200,    // a repaired copy DIRINDEX_TMP_NAME lies beside it
    DIRINDEX_UNFIXED = 0x400,  // lost records, but no repaired copy was written
    DIRINDEX_MASK = 0x700,
};

// Marks of the KXFS conventions in a mode.
constexpr mode_t COW_MARK = S_ISVTX;       // on a magic link; on a regular file: a shortcut
constexpr mode_t MAGIC_DIR_MARK = S_ISUID; // a template-backed directory

// ---- kxfsutil.cpp: command line and program-wide state -------------------

extern const char *program_name;
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

// getcwd of dir, returning to curr_path; fatal on failure.
char *absolute_path(const char *dir);
// lstat into st: negative on failure, 1 when of the type, 0 otherwise.
int is_regular_file(const char *path, struct stat *st);
int is_directory(const char *path, struct stat *st);
// Name of the cow file of a magic-link text, in the area's naming scheme.
char *vefs_path_to_name(const char *text);

// ---- scan.cpp: the area check scan ---------------------------------------

// One pending directory: its full path and the identity lstat saw, so that
// a directory swapped for another object before it is read is refused.
struct scan_node {
    char *path;
    dev_t dev;
    ino_t ino;
    struct scan_node *next;
};

struct scan_info {
    int dirs;
    int files;
    int links;
    struct scan_node *head;
};

extern struct scan_info *info;
extern volatile sig_atomic_t alarmed;

void scan_mount_point(const char *area_dir, int veid);
void scan_dir(const char *path, dev_t dev, ino_t ino);
void check_item(const char *parent_name, const char *item_name);
void scan_cow_dir(void);
void alarm_handler(int signal);

// ---- correct.cpp: decisions and actions ----------------------------------

void check_magic(int state, const char *path, struct stat *link_stat,
                 const char *template_path, struct stat *template_stat,
                 const char *cow_path, struct stat *cow_stat);
void correct(int kind, int flags, mode_t mode, const char *path, const char *cow_path);
void optimize_magic(int state, const char *path, struct stat *link_stat,
                    const char *template_path, struct stat *template_stat,
                    const char *cow_path, struct stat *cow_stat);
// path relative to base (the part after base and its slash), or path itself.
const char *relative_name(const char *path, const char *base);

// ---- hash.cpp: the cow hash ----------------------------------------------

void init_cow_hash(void);
int add_cow_item(const char *name);
int remove_cow_item(const char *name);
// A name still in the hash (owned by the hash), or NULL.
const char *first_cow_item(void);

// ---- upgrade.cpp: the upgrade of an area's format ------------------------

// Before the walk: refusals, then the "999.999" marker.
void upgrade_prepare(const char *area_dir, int veid);
void upgrade_magic(int state, const char *text, const char *path, struct stat *link_stat,
                   const char *template_path, struct stat *template_stat,
                   const char *cow_path, struct stat *cow_stat);
// After the walk: the cow files that received further names.
void upgrade_cleanup(void);

extern "C" {
// Callback of the reserved-name walk; exported in the program's dynamic
// symbol table for host tools that load the program.
KXFS_EXTERN int check_reserved_name(void *data, const char *path, const char *text,
                                    int flags, const struct stat *st);
}

#endif
