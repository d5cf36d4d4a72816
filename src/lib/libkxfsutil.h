/*
 * libkxfsutil: the common code of the KXFS private-area tools, as a C ABI.
 *
 * Ownership, once for the whole interface:
 *  - every string or block a function returns is malloc memory that the
 *    caller releases with free(), unless its comment says "owned by";
 *  - strings and stat records handed to a callback are borrowed for the
 *    duration of that call only;
 *  - pointers stored by a setter (set_copy_uuids) are kept, not copied: the
 *    caller keeps the texts alive while the library uses them.
 *
 * The library is single-threaded: its process-wide variables carry working
 * state between calls and several functions change the working directory.
 *
 * Descriptors: an area handle owns its descriptors until close_area();
 * every other function that takes a descriptor borrows it for the call and
 * returns descriptors (open_beneath, open_lost_dir) that the caller closes.
 * The *_at functions act on the entry `name` of the directory `dirfd`
 * (AT_FDCWD: the working directory; the path forms pass AT_FDCWD and their
 * path) and never follow a symbolic link at it, nor block on a fifo; a
 * `dir_shown` argument is the directory's path as messages show it.
 *
 * Programs linking the library must also provide kxctl_env_layout_version()
 * (the host's container-control library) and libuuid.
 */
#ifndef LIBKXFSUTIL_H
#define LIBKXFSUTIL_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

#if !defined(__LP64__) && (!defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64)
#error "libkxfsutil needs the 64-bit stat record: build with -D_FILE_OFFSET_BITS=64"
#endif

#ifdef __cplusplus
#define KXFS_BEGIN_DECL extern "C" {
#define KXFS_END_DECL }
#else
#define KXFS_BEGIN_DECL
#define KXFS_END_DECL
#endif

/* Marks the declarations that make up the exported interface. */
#define KXFS_EXTERN __attribute__((visibility("default")))
#define KXFS_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

KXFS_BEGIN_DECL

/* ---- common.cpp: messages, log file, fatal errors ---------------------- */

/* Current message level; a message of level N is produced only at N or above. */
KXFS_EXTERN extern int kxfsutil_debug_level;
/* Log file path, or NULL for no log file. */
KXFS_EXTERN extern char *kxfsutil_debug_logfile;
/* Program name written into each log record, or NULL to leave it out. */
KXFS_EXTERN extern char *kxfsutil_debug_progname;

/* Appends one timestamped record to the log file. 0 done or no log file,
 * -1 cannot open, -2 a write failed, -3 close failed. */
KXFS_EXTERN int write_log(const char *fmt, va_list ap, int newline);
/* Prints the message to stderr as formatted and logs it. The caller tests
 * the level first; a NULL format does nothing. In every message function a
 * string argument is escaped (bytes below 0x20 and 0x7f as \xNN, a
 * backslash doubled); the format's own text is not. */
KXFS_EXTERN void vdebug_print(int level, const char *fmt, va_list ap);
KXFS_EXTERN void debug_print(int level, const char *fmt, ...) KXFS_PRINTF(2, 3);
/* "Warning: " message on stdout, with ": strerror(err)" when err is not 0;
 * nothing at level 1 or below. */
KXFS_EXTERN void warning(int err, const char *fmt, ...) KXFS_PRINTF(2, 3);
/* "Error: " message on stderr, like warning(). */
KXFS_EXTERN void werror(int err, const char *fmt, ...) KXFS_PRINTF(2, 3);
/* "Error: " message on stderr at every level; exits with status unless 0. */
KXFS_EXTERN void error(int status, int err, const char *fmt, ...) KXFS_PRINTF(3, 4);
/* Sets the level, the log file and the program name (copies kept). */
KXFS_EXTERN void set_log(int level, const char *logfile, const char *progname);
/* Receives, instead of standard error, every message made through
 * debug_print and vdebug_print (the log file still gets it); the text is
 * borrowed for the call and its arguments are not escaped. A NULL hook
 * restores standard error. */
typedef void (*message_hook)(void *data, int level, const char *text);
KXFS_EXTERN void set_message_hook(message_hook hook, void *data);

/* ---- common.cpp: memory, strings, the option word ---------------------- */

/* Zero-filled block; never NULL (fatal "not enough memory for %d bytes"). */
KXFS_EXTERN void *xmalloc(size_t size);
/* Heap copy of s; never NULL. */
KXFS_EXTERN char *xstrdup(const char *s);
/* "a<sep>b" in a new block. */
KXFS_EXTERN char *xstring2(int sep, const char *a, const char *b);
/* "a<sep>b<sep>c" in a new block. */
KXFS_EXTERN char *xstring3(int sep, const char *a, const char *b, const char *c);
/* Replaces the whole process-wide option word. */
KXFS_EXTERN void set_option(int option);
KXFS_EXTERN unsigned int get_option(void);

/* Option bits the copy code reads (the tools keep their own bits beside). */
#define OPT_LINK_FILES 0x20
#define OPT_CORRECT 0x40
#define OPT_SKIP_LOCK 0x80

/* ---- area.cpp: the way into a private area ------------------------------
 *
 * An area is hostile input: a tool reaches it only through the descriptors
 * of its handle. The area path is the operator's and is trusted; "fs",
 * "root", "cow" and "lost_files" below it are opened without following any
 * link, and one that is present but not a real directory is refused.
 */

/* One top directory of an area. */
struct kxfs_area_dir {
    int fd;            /* O_RDONLY|O_DIRECTORY descriptor, or -1 */
    int error;         /* 0 when open; else the error number (ENOENT: absent) */
    int unsafe;        /* 1: present, but a link, file, fifo, device or socket */
    char *path;        /* physical path for messages (owned by the handle) */
};

/* The directories of one private area, opened once. */
struct kxfs_area {
    int layout;                 /* the area's layout version */
    struct kxfs_area_dir area;  /* the private area itself */
    struct kxfs_area_dir tree;  /* the KXFS tree: "fs" for layout 4, else the area */
    struct kxfs_area_dir root;  /* the container's tree "root" in the KXFS tree */
    struct kxfs_area_dir cow;   /* the cow files "cow" in the KXFS tree */
    int lost_fd;                /* "lost_files", once open_lost_dir made it; else -1 */
};

/* Opens the area at path (absolute and physical, as the tools make it) and
 * its top directories. NULL with errno set when the area itself cannot be
 * opened; a top directory that cannot be opened has fd -1 and its error. */
KXFS_EXTERN struct kxfs_area *open_area(const char *path);
/* Closes every descriptor of the handle and frees it; NULL is ignored. */
KXFS_EXTERN void close_area(struct kxfs_area *area);
/* The first top directory that is present but not a real directory, or NULL. */
KXFS_EXTERN const struct kxfs_area_dir *unsafe_area_dir(const struct kxfs_area *area);
/* Ends the process (status 1) with "Unsafe private area: '%s' is not a real
 * directory" and the system error when a top directory is unsafe. */
KXFS_EXTERN void refuse_unsafe_area(const struct kxfs_area *area);
/* Opens lost_files/<rel> in the area (not in "fs"), creating the missing
 * directories with mode 0755 and following no link: a new descriptor, or -1. */
KXFS_EXTERN int open_lost_dir(struct kxfs_area *area, const char *rel);
/* The area the lost-and-found moves work in (borrowed, not owned); NULL
 * makes them open priv_dir for each move. */
KXFS_EXTERN void set_current_area(struct kxfs_area *area);
KXFS_EXTERN struct kxfs_area *get_current_area(void);
/* Opens path below dirfd with open(2) flags, following no link in any
 * component and never leaving dirfd (EXDEV for ".." or an absolute path,
 * ELOOP for a link): a new close-on-exec descriptor, or -1. */
KXFS_EXTERN int open_beneath(int dirfd, const char *path, int flags, unsigned int mode);
/* 1 when the text has a ".." component, so that the path it names below
 * the template root would leave it; 0 otherwise. */
KXFS_EXTERN int leaves_template(const char *text);

/* ---- prompts.cpp: prompts, comparison, lost-and-found ------------------ */

/* Path of the private area being worked on; set by the caller. */
KXFS_EXTERN extern char *priv_dir;

/* Prompt answers. */
#define ANSWER_NONE (-1)
#define ANSWER_IGNORE 1
#define ANSWER_MOVE 2
#define ANSWER_REMOVE 3
#define ANSWER_YES 3
#define ANSWER_NO 4

/* 0 same content, 1 different, -1 cannot open or read; only regular files
 * are read, opened without following a link or blocking. */
KXFS_EXTERN int compare_files(const char *name1, const char *name2);
KXFS_EXTERN int compare_files_at(int dirfd1, const char *name1, int dirfd2, const char *name2);
/* Creates the missing directories on the way to path (never its last
 * component), looking at the slashes after position start. */
KXFS_EXTERN int mkdir_p(const char *path, int mode, int start);
/* Moves <tree>/<type_path>/<name> to <area>/lost_files/<type_path>/<name>
 * through the current area (or priv_dir), following no link on either side. */
KXFS_EXTERN int move_item_to_lost(const char *name, const char *type_path);
/* Renames the sibling called name onto path (relative to the area's root
 * tree); fatal when the rename fails. */
KXFS_EXTERN int move_item_to_same(char *path, const char *name);
/* Asks ignore/move/remove on stdin; the default is taken on an empty answer. */
KXFS_EXTERN int ask_proc(const char *question, int def);
/* Asks yes/no on stdin: ANSWER_YES, ANSWER_NO or the default. */
KXFS_EXTERN int ask_approve(const char *question, int def);

/* ---- md5.cpp: the system's MD5 (RFC 1321) ------------------------------ */

typedef struct {
    uint32_t state[4];       /* A, B, C, D */
    uint32_t count[2];       /* number of bits, modulo 2^64, low word first */
    unsigned char buffer[64];
} MD5_CTX;

KXFS_EXTERN void MD5Init(MD5_CTX *ctx);
KXFS_EXTERN void MD5Update(MD5_CTX *ctx, const unsigned char *input, unsigned int len);
KXFS_EXTERN void MD5Final(unsigned char digest[16], MD5_CTX *ctx);
KXFS_EXTERN void MD5Transform(uint32_t state[4], const unsigned char block[64]);

/* ---- dirindex.cpp: the dirindex format and writer ---------------------- */

#define DIRINDEX_NAME "._kxlnk_."
#define DIRINDEX_TMP_NAME "._kxlnk_._tmp_."
#define DIRINDEX_SIGNATURE 0x402DE119u
#define DIRINDEX_HEADER_SIZE 20
#define DENT_HEAD_SIZE 16
#define DENT_NAME_MAX 256
#define DIRINDEX_BLOCK 4096
#define DENT_LAST_IN_BUCKET 0x1
#define DENT_EOF 0x2

/* One listed entry of the directory being indexed. */
struct dent {
    struct dent *next;
    uint8_t type;            /* record type code (mode >> 12) */
    uint8_t flags;           /* DENT_* as written */
    uint16_t namelen;
    uint32_t reclen;
    uint32_t ino;            /* inode * 2, or template inode * 2 + 1 */
    uint32_t link;           /* offset of the target block */
    char *name;
    struct poolstr *target;  /* template directory text, or NULL */
};

/* One distinct template directory text of the file being written. */
struct poolstr {
    struct poolstr *next;
    char *text;
    uint32_t offset;         /* 0 until its target block is written */
};

/* One hash bucket of the file being written. */
struct ht_bucket {
    struct dent *head;
    struct dent *tail;
    uint32_t count;
};

/* Name list node; data carries an inode key where one is needed. */
struct namelist {
    char *name;
    void *data;
    struct namelist *next;
};

/* The writer's process-wide model. */
KXFS_EXTERN extern struct dent *dlist;
KXFS_EXTERN extern struct dent *dlist_end;
KXFS_EXTERN extern struct poolstr *pool;
KXFS_EXTERN extern struct ht_bucket *ht;
KXFS_EXTERN extern uint32_t *ht_emit;
KXFS_EXTERN extern uint32_t prime;
KXFS_EXTERN extern uint32_t tot;
KXFS_EXTERN extern uint32_t dtot;
KXFS_EXTERN extern uint32_t emitted;
KXFS_EXTERN extern struct namelist *rl_info;
KXFS_EXTERN extern char *current_path;

/* Bucket hash of a record name over exactly namelen bytes. */
KXFS_EXTERN uint32_t dirindex_hash(const char *name, unsigned int namelen);
/* Indexes one directory: 0 written and marked, 1 failure, 3 cannot be indexed. */
KXFS_EXTERN int create_dirindex(const char *dir, const char *index_name,
                                const char *template_root, int option);
/* The same for the directory dirfd, shown as dir_shown (NULL: the working
 * directory's path); the index is never written through a link or into a
 * file with other names, and the mark is set through the descriptor. */
KXFS_EXTERN int create_dirindex_at(int dirfd, const char *index_name,
                                   const char *template_root, int option,
                                   const char *dir_shown);
/* Builds the entry list for the working directory: 0, 1 or 3. */
KXFS_EXTERN int scan_dir_for_index(const char *template_root, int option);
KXFS_EXTERN int scan_dir_for_index_at(int dirfd, const char *template_root, int option,
                                      const char *dir_shown);
/* Lists one entry: 0 listed, 1 failure, 3 cannot be listed. */
KXFS_EXTERN int scan_one(const char *name, int option, const char *template_root);
KXFS_EXTERN int scan_one_at(int dirfd, const char *name, int option,
                            const char *template_root);
/* Sets prime from tot. */
KXFS_EXTERN void select_prime(void);
/* Moves the entry list into the buckets of ht. */
KXFS_EXTERN void create_hash_table(void);
/* Writes the whole dirindex to fd (open for reading and writing): 0, or -1
 * when writing failed (reported). The emit_* steps build the file image in
 * memory; emit_checksum writes it. */
KXFS_EXTERN int emit_dirindex(int fd);
KXFS_EXTERN int emit_header(int fd);
KXFS_EXTERN int emit_direntries(int fd);
KXFS_EXTERN uint32_t emit_dent(int fd, struct dent *entry, uint32_t bucket);
KXFS_EXTERN int emit_hashtable(int fd);
KXFS_EXTERN int emit_checksum(int fd);
/* The pool entry with this text, made when missing. */
KXFS_EXTERN struct poolstr *pool_add(const char *text);
KXFS_EXTERN void namelist_add(const char *name, struct namelist **head);
KXFS_EXTERN void namelist_add_inode(const char *name, void *key, struct namelist **head);
/* 0 when a node has this name, 1 when none has. */
KXFS_EXTERN int namelist_search(const char *name, struct namelist **head);
/* Name of the first node with this key (owned by the list), or NULL. */
KXFS_EXTERN char *namelist_search_inode(void *key, struct namelist **head);
KXFS_EXTERN void namelist_clean(struct namelist **head);
KXFS_EXTERN struct dent *free_dent(struct dent *list);
KXFS_EXTERN struct poolstr *free_poolstr(struct poolstr *list);
/* Releases the writer's model and empties the removal list. */
KXFS_EXTERN void clean_memory(void);
/* Unlinks the entries the index took over: 0 all gone, 1 a removal failed. */
KXFS_EXTERN int remove_list(void);
KXFS_EXTERN int remove_list_at(int dirfd);
/* Writes a shortcut under name with the attributes of st: 0 done, 1 failed.
 * An existing name is reused only when it is a regular file of one name. */
KXFS_EXTERN int create_shortcut(const char *name, const char *content, int length,
                                const struct stat *st);
/* The same as a new file only (EEXIST otherwise); messages name
 * "dir_shown/name" (dir_shown NULL: current_path). */
KXFS_EXTERN int create_shortcut_at(int dirfd, const char *name, const char *content,
                                   int length, const struct stat *st, const char *dir_shown);
/* Rewrites a cache link of old_uuid to new_uuid in place: 1 rewritten, 0 not. */
KXFS_EXTERN int correct_magic_uuid(char *text, const char *old_uuid, const char *new_uuid);

/* ---- dirindex_check.cpp: reading, check, repair, rewrite --------------- */

/* Private writable mapping of a whole regular file, or NULL (warned). */
KXFS_EXTERN void *mmap_file(const char *path, struct stat *st);
KXFS_EXTERN void *mmap_file_at(int dirfd, const char *name, struct stat *st,
                               const char *dir_shown);
/* 0 when the MD5 of the size bytes starts with the 4 stored bytes. */
KXFS_EXTERN int verify_checksum(const void *map, size_t size, const unsigned char *stored);
/* Structural check: -2 broken, -1 repaired copy not created, 0 sound,
 * 1 lost links found (repaired copy written when outname is given). */
KXFS_EXTERN int fsck_in_core(const char *name, void *map, size_t size,
                             const char *outname, const char *template_root);
KXFS_EXTERN int fsck_dirindex(const char *dir, const char *index_name,
                              const char *outname, const char *template_root);
/* The same for the index and the repaired copy (created anew) in dirfd. */
KXFS_EXTERN int fsck_dirindex_at(int dirfd, const char *index_name, const char *outname,
                                 const char *template_root, const char *dir_shown);
/* NULL-terminated array of the magic targets of the records with a link. */
KXFS_EXTERN char **read_in_core(const char *name, void *map, size_t size);
KXFS_EXTERN char **read_dirindex(const char *path);
KXFS_EXTERN char **read_dirindex_at(int dirfd, const char *name, const char *dir_shown);
/* Rewrites the index for a new identifier into outname: 0, or -1. */
KXFS_EXTERN int correct_dirindex(const char *name, void *map, size_t size,
                                 const char *outname, const char *old_uuid,
                                 const char *new_uuid);
/* The same with outname created anew in outdirfd. */
KXFS_EXTERN int correct_dirindex_at(const char *name, void *map, size_t size, int outdirfd,
                                    const char *outname, const char *old_uuid,
                                    const char *new_uuid, const char *dir_shown);
/* Copies an index, rewriting cache links when both uuids are given. */
KXFS_EXTERN int clone_dirindex(const char *src, const char *dst,
                               const char *old_uuid, const char *new_uuid);
/* The same between two directories; the destination is created anew.
 * -2 (nothing written) when the source is no sound index: empty, not a
 * regular file, or broken. */
KXFS_EXTERN int clone_dirindex_at(int src_dirfd, const char *src, int dst_dirfd,
                                  const char *dst, const char *old_uuid,
                                  const char *new_uuid, const char *dir_shown);
/* Type letter of a record type code ("?" above 14). */
KXFS_EXTERN const char *type_str(unsigned int code);

/* ---- entry.cpp: shortcuts, magic links, attributes --------------------- */

#define MAGIC_PREFIX "////"
#define MAGIC_PREFIX_LEN 4
#define MAGIC_TARGET_MAX 4095

/* Permission bits of a symbolic link itself (host call 509; on a stock
 * kernel a chmod that never follows the link). */
KXFS_EXTERN int kxlchmod(const char *path, unsigned int mode);
KXFS_EXTERN int kxlchmod_at(int dirfd, const char *name, unsigned int mode);
/* Times of a symbolic link itself (host call 510, whole seconds). */
KXFS_EXTERN int kxlutime(const char *path, const struct utimbuf *times);
KXFS_EXTERN int kxlutime_at(int dirfd, const char *name, const struct utimbuf *times);
/* Inode flag word of a regular file or directory; other types have none. */
KXFS_EXTERN int set_eattr(const char *path, int flags);
KXFS_EXTERN int set_eattr_at(int dirfd, const char *name, int flags);
KXFS_EXTERN int get_eattr(const char *path, long long *flags);
KXFS_EXTERN int get_eattr_at(int dirfd, const char *name, long long *flags);
/* 1 own extended attributes or inode flags, 0 none, -1 unreadable. */
KXFS_EXTERN int check_eattr(const char *path);
KXFS_EXTERN int check_eattr_at(int dirfd, const char *name);
/* Copies the extended attributes of the entry itself; failures are printed
 * on stderr naming "dir_shown/name" (dir_shown NULL: the name as given). */
KXFS_EXTERN int copy_xattrs(const char *src, const char *dst);
KXFS_EXTERN int copy_xattrs_at(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                               const char *src_dir_shown, const char *dst_dir_shown);
KXFS_EXTERN int copy_eattr(const char *src, const char *dst);
KXFS_EXTERN int copy_eattr_at(int src_dirfd, const char *src, int dst_dirfd, const char *dst);
/* Applies owner, group, permission bits and times (with their nanoseconds;
 * a link's times through call 510 in whole seconds) of st to the entry. */
KXFS_EXTERN int set_attr(const char *path, const struct stat *st);
KXFS_EXTERN int set_attr_at(int dirfd, const char *name, const struct stat *st);
/* Content length, or -1 cannot open, -2 cannot read (also: not a regular
 * file), -3 does not fit. */
KXFS_EXTERN int read_shortcut(const char *path, char *buf, size_t size);
KXFS_EXTERN int read_shortcut_at(int dirfd, const char *name, char *buf, size_t size);
/* Replaces the entry atomically by a shortcut holding data, prepared whole
 * under a new temporary sibling "<name>-XXXXXX": 0, or 1 (reported). */
KXFS_EXTERN int make_shortcut(const char *path, const char *data, int length,
                              const struct stat *st);
KXFS_EXTERN int make_shortcut_at(int dirfd, const char *name, const char *data, int length,
                                 const struct stat *st, const char *dir_shown);
/* 1 when owner, group and permission bits (sticky bit aside) agree. */
KXFS_EXTERN int compare_stat(const struct stat *a, const struct stat *b);
/* 0, -1 source or write failure, -2 destination cannot be created. The
 * source must be a regular file; an existing destination is written over
 * only when it is a regular file of one name. */
KXFS_EXTERN int copy_reg_file(const char *src, const char *dst);
/* The same with the destination created anew (-2 when the name is taken). */
KXFS_EXTERN int copy_reg_file_at(int src_dirfd, const char *src, int dst_dirfd,
                                 const char *dst);
/* Node-creation request of the mounted filesystem. */
KXFS_EXTERN int create_mfile(const char *path, uint64_t value, unsigned int mode);
KXFS_EXTERN int create_cowdir(const char *path, uint64_t value, unsigned int mode);

/* ---- cowname.cpp: cow file names --------------------------------------- */

/* Cow file name of a whole magic-link text: the MD5 digest in lowercase
 * hexadecimal (areas of "005.003" and later). */
KXFS_EXTERN char *md5_name(const char *text);
/* The same in the naming of older areas: an additive hash in uppercase
 * hexadecimal. */
KXFS_EXTERN char *legacy_name(const char *text);

/* ---- version.cpp: the area's version link ------------------------------ */

#define KXFS_VERSION_BUF 101

/* Reads <dir>/VERSION into buf (at least 101 bytes): length, or -1. */
KXFS_EXTERN int read_kxfs_version(const char *dir, char *buf);
/* The same for the tree directory dirfd, shown as dir_shown in messages. */
KXFS_EXTERN int read_kxfs_version_at(int dirfd, char *buf, const char *dir_shown);
/* Replaces <dir>/VERSION atomically; fatal on failure. */
KXFS_EXTERN void rewrite_kxfs_version(const char *dir, const char *text);
KXFS_EXTERN void rewrite_kxfs_version_at(int dirfd, const char *text, const char *dir_shown);
/* Format number of a private area: 4, 3, 2, 0, -1 (NULL), -3 unreadable. */
KXFS_EXTERN int kxfs_version(const char *area);
/* Runs the package tool's area verification: its wait status. */
KXFS_EXTERN int check_template_area_kxfs3(int veid);

/* ---- config.cpp: container configuration ------------------------------- */

/* Follows the links at the final component in place: count, or -1. */
KXFS_EXTERN int get_realpath(char *path, int size);
KXFS_EXTERN char *read_ve_file_config_param(const char *file, const char *name);
KXFS_EXTERN char *read_ve_config_param(int veid, const char *name);
KXFS_EXTERN int add_ve_config_param(int veid, const char *name, const char *value);
KXFS_EXTERN int correct_ve_config_param(int veid, const char *name, const char *value);
KXFS_EXTERN int save_ve_config_param(int veid, const char *name, const char *value);
KXFS_EXTERN void update_ve_config(int veid, const char *name, const char *word);
/* VE_PRIVATE of the container with $VEID expanded; fatal when missing. */
KXFS_EXTERN char *read_ve_private(int veid);

/* ---- probes.cpp: host probes ------------------------------------------- */

/* 1 when the area is mounted as KXFS, else 0. */
KXFS_EXTERN int check_mount_kxfs(const char *path);
/* 1 when the area's layout is 4 or below, 0 for an hdimage-based area. */
KXFS_EXTERN int check_support_fs(const char *path);
/* New 36-character UUID text. */
KXFS_EXTERN char *generate_uuid(void);
/* Inodes the container uses, -1 or -2 when the quota tool fails. */
KXFS_EXTERN int get_inodes_count(int veid);

/* ---- templates.cpp: package list, OS template, pointer check ----------- */

/* Every accepted name form of the area's packages, NULL-terminated. */
KXFS_EXTERN extern char **kxpackages_array;
/* The OS template's directory relative to the template root. */
KXFS_EXTERN extern char *ostemplate_prefix;

/* Appends a copy of s to a NULL-terminated list that grows by 10 entries. */
KXFS_EXTERN void add_line(char ***list, int *capacity, int *count, const char *s);
/* Loads the package list into kxpackages_array and returns it (owned by
 * the library); NULL for an empty file. */
KXFS_EXTERN char **read_templates(const char *path);
/* The same for the file name below dirfd (the area's "templates/kxpackages"):
 * NULL, with nothing loaded, unless it is a regular file reached without a link. */
KXFS_EXTERN char **read_templates_at(int dirfd, const char *name, const char *dir_shown);
/* The OS template prefix of the configuration at config_path, stored in
 * ostemplate_prefix and returned (owned by the library), or NULL. A value
 * beginning with '-' is never passed to the package tool. */
KXFS_EXTERN char *get_os_prefix(const char *config_path);
/* The same for the file name below dirfd (the area's "ve.conf"); NULL when
 * it is not a regular file reached without a link. */
KXFS_EXTERN char *get_os_prefix_at(int dirfd, const char *name, const char *dir_shown);
/* 1 when target points into a wrong OS template or package. */
KXFS_EXTERN int check_template_pointer(const char *name, const char *target);

/* ---- walk.cpp: the classified walk of an area -------------------------- */

#define SCAN_SHORTCUT 0x1
#define SCAN_MAGIC_LINK 0x2
#define SCAN_FILE 0x4
#define SCAN_SYMLINK 0x8
#define SCAN_DIR 0x10
#define SCAN_OTHER 0x20
#define SCAN_TEMPLATE_ENTRY 0x40
#define SCAN_DIR_INDEXED 0x100
#define SCAN_DIR_LINKED 0x200

/* Pending-directory stack of the walk and the copy. */
struct dir_node {
    char *path;
    struct dir_node *next;
};
struct dir_stack {
    struct dir_node *head;
    int count;               /* pushes so far */
};

/* Walk callback: 0 goes on, anything else stops the walk and is returned. */
typedef int (*scan_callback)(void *data, const char *path, const char *text,
                             int flags, const struct stat *st);

/* Walk callback with the entry's directory: dirfd (borrowed for the call)
 * holds the entry name (for SCAN_TEMPLATE_ENTRY: the directory the name is
 * listed for), so that the callback can act beneath the descriptor. */
typedef int (*scan_at_callback)(void *data, int dirfd, const char *name, const char *path,
                                const char *text, int flags, const struct stat *st);

/* Walks the area with the working directory at its root (restored after a
 * complete walk). */
KXFS_EXTERN int scan_private(const char *area, scan_callback cb, void *data);
/* Walks the tree below rootfd without changing the working directory:
 * every directory is reopened beneath rootfd, following no link, and must
 * be the one its parent listed. Results as scan_private. */
KXFS_EXTERN int scan_private_at(int rootfd, scan_at_callback cb, void *data);
KXFS_EXTERN int scan_one_dir(const char *dir, struct dir_stack *stack,
                             scan_callback cb, void *data);
/* Removes a directory tree without following links: 0, or -1. */
KXFS_EXTERN int remove_dir(const char *path);
/* The same for the directory name of dirfd. */
KXFS_EXTERN int remove_dir_at(int dirfd, const char *name, const char *dir_shown);

/* ---- copy.cpp: area copy and pointer correction ------------------------ */

KXFS_EXTERN void init_copy_hardlinks(void);
KXFS_EXTERN void clean_copy_hardlinks(void);
KXFS_EXTERN void set_copy_uuids(const char *src_uuid, const char *dst_uuid);
KXFS_EXTERN int copy_one(const char *name, const char *dst_dir);
KXFS_EXTERN int correct_one(const char *name);
KXFS_EXTERN int copy_directory_entry(const char *dst_dir, int top);
KXFS_EXTERN int copy_directory(const char *dir, const char *src_root,
                               const char *dst_root, int top,
                               struct dir_stack *stack, int *processed);
KXFS_EXTERN int copy_directory_recursive_int(const char *src, const char *dst);
KXFS_EXTERN int copy_directory_recursive(const char *src, const char *dst);
/* The tree below src_fd copied into dst_fd (or, with OPT_CORRECT and
 * dst_fd -1, corrected in place) through descriptors only: each directory
 * is opened beneath src_fd without following links and must still be the
 * inode its parent's listing showed. The shown texts are the two roots as
 * messages show them. top: leave out ".lck" at the top (OPT_SKIP_LOCK).
 * processed (or NULL) gains each directory's single-link count, and
 * progress (or NULL) is called with data after each directory. 0, or 1
 * after a reported failure. */
KXFS_EXTERN int copy_tree_at(int src_fd, const char *src_shown, int dst_fd,
                             const char *dst_shown, int top, int *processed,
                             void (*progress)(void *data), void *data);
/* The tree copied or corrected next is a private area whose KXFS tree is
 * tree_rel below its top ("" for the top itself); NULL: it is none. The cow
 * file of each magic link of the area's "root" whose text the copy
 * rewrites then takes the name of the new text in the area's "cow". The
 * text is copied. */
KXFS_EXTERN void set_copy_area_tree(const char *tree_rel);
/* A correction that may be interrupted: before each change the copy hands
 * record (one line, no newline, borrowed) to journal, whose keeper stores
 * it where a rerun finds it. NULL turns the journal off. */
typedef void (*copy_journal_fn)(void *data, const char *record);
KXFS_EXTERN void set_copy_journal(copy_journal_fn journal, void *data);
/* The records an interrupted correction journaled (lines of text), taken
 * back before its rerun: the rerun removes the temporaries it left, keeps
 * the hard links it had begun and restores its directories' times. */
KXFS_EXTERN void resume_copy_journal(const char *records);

/* ---- readahead.cpp: cache warming ahead of a walk ---------------------- */

/* A read-ahead stage: threads that bring into memory what a single-threaded
 * depth-first walk of a tree is about to read (directory blocks, inodes and,
 * as the flags say, link texts and file contents), a bounded window ahead of
 * the walk. It only reads, beneath the tree's root, follows no link, opens
 * no special file and leaves no access time behind (but a link's, whose
 * text it reads as the walk will); nothing it meets is reported. Every call
 * accepts NULL and then does nothing. */
struct readahead_stage;

#define READAHEAD_LINKS 0x1     /* the walk reads every link text */
#define READAHEAD_SHORTCUTS 0x2 /* ... the content of sticky regular files */
#define READAHEAD_INDEXES 0x4   /* ... the dirindex of set-user-ID directories */
#define READAHEAD_DATA 0x8      /* ... every other regular file (a copy) */
#define READAHEAD_FULL 0x10     /* never back off, even on a tree found cached */

/* Starts the stage over the tree below rootfd (duplicated: the caller keeps
 * its own); threads 0 picks the default. NULL when no thread can be started:
 * the walk then goes on alone. errno is kept. */
KXFS_EXTERN struct readahead_stage *start_readahead(int rootfd, int flags, int threads);
/* The walk pushed the directory path, relative to the root ("" or "."). */
KXFS_EXTERN void readahead_push_dir(struct readahead_stage *ra, const char *path);
/* The walk starts reading the directory path. */
KXFS_EXTERN void readahead_enter_dir(struct readahead_stage *ra, const char *path);
/* The walk handled count more entries of the directory it reads. */
KXFS_EXTERN void readahead_advance(struct readahead_stage *ra, int count);
/* Stops the threads, closes every descriptor and frees the stage. */
KXFS_EXTERN void stop_readahead(struct readahead_stage *ra);
/* The magic links of the tree name files of the directory cowfd
 * (duplicated): each one's cow file is looked at when its link text is
 * read, its data brought in too when data is nonzero. The names are
 * legacy_name's when legacy_names is nonzero, else md5_name's. Called once,
 * right after start_readahead. */
KXFS_EXTERN void readahead_cow_dir(struct readahead_stage *ra, int cowfd, int legacy_names,
                                   int data);
/* Whether the walks of this library (scan_private_at, copy_tree_at) and of
 * the tools run a read-ahead stage: off until a program turns it on. */
KXFS_EXTERN void set_walk_readahead(int on);
/* A stage over rootfd for a walk, when walks run one; NULL otherwise. */
KXFS_EXTERN struct readahead_stage *walk_readahead(int rootfd, int flags);

/* ---- gethash.cpp: the string hash of the checker's cow hash ------------ */

KXFS_EXTERN int gethash(const char *data, int length);

KXFS_END_DECL

#endif
