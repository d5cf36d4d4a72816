/* Race maker, preloaded into a tool after the host simulator. It plays an
 * operator who goes on using a mounted area while the tool runs: on the
 * first call that is about to use an entry of a configured name, it renames
 * a configured entry away and puts a symbolic link in its place, then lets
 * the call go on. The swap happens once for the whole process tree.
 *
 * Environment (the library does nothing without KXSWAP_NAME, KXSWAP_ENTRY
 * and KXSWAP_STATE):
 *  - KXSWAP_NAME    final path component that triggers the swap;
 *  - KXSWAP_ENTRY   absolute path of the entry to swap (often the named one,
 *                   or a directory above it); renamed to ENTRY.swapped when
 *                   it exists;
 *  - KXSWAP_TARGET  text of the symbolic link put in its place;
 *  - KXSWAP_CALLS   comma-separated families that may trigger: open, chdir,
 *                   chmod, chown, unlink, rename, utime, link, mkdir (all
 *                   when unset);
 *  - KXSWAP_WHERE   optional directory: only a call on an entry directly in
 *                   this directory (same inode) triggers;
 *  - KXSWAP_STATE   file created exclusively when the swap is made; it holds
 *                   the family and the path of the triggering call.
 *
 * Calls that name their object by descriptor only (fchmod, fchdir, ...)
 * are matched by the path the kernel shows for the descriptor. Stat calls
 * never trigger: they are the checks the swap comes after. */

#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>
#include <utime.h>

#define SWAP_EXPORT __attribute__((visibility("default")))

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

static void *next_symbol(void **slot, const char *name)
{
    void *fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (fn == NULL) {
        fn = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

#define NEXT(type, name)                                                    \
    static type next_##name(void)                                           \
    {                                                                       \
        static void *slot;                                                  \
        return (type)next_symbol(&slot, #name);                             \
    }

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*creat_fn)(const char *, mode_t);
typedef FILE *(*fopen_fn)(const char *, const char *);
typedef DIR *(*opendir_fn)(const char *);
typedef int (*path_fn)(const char *);
typedef int (*fd_fn)(int);
typedef int (*chmod_fn)(const char *, mode_t);
typedef int (*fchmod_fn)(int, mode_t);
typedef int (*fchmodat_fn)(int, const char *, mode_t, int);
typedef int (*chown_fn)(const char *, uid_t, gid_t);
typedef int (*fchown_fn)(int, uid_t, gid_t);
typedef int (*fchownat_fn)(int, const char *, uid_t, gid_t, int);
typedef int (*unlinkat_fn)(int, const char *, int);
typedef int (*rename_fn)(const char *, const char *);
typedef int (*renameat_fn)(int, const char *, int, const char *);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned int);
typedef int (*utime_fn)(const char *, const struct utimbuf *);
typedef int (*utimes_fn)(const char *, const struct timeval *);
typedef int (*utimensat_fn)(int, const char *, const struct timespec *, int);
typedef int (*futimens_fn)(int, const struct timespec *);
typedef int (*link_fn)(const char *, const char *);
typedef int (*linkat_fn)(int, const char *, int, const char *, int);
typedef int (*symlinkat_fn)(const char *, int, const char *);
typedef int (*mkdir_fn)(const char *, mode_t);
typedef int (*mkdirat_fn)(int, const char *, mode_t);
typedef int (*truncate_fn)(const char *, off_t);
typedef long (*syscall_fn)(long, ...);

NEXT(open_fn, open)
NEXT(open_fn, open64)
NEXT(openat_fn, openat)
NEXT(openat_fn, openat64)
NEXT(creat_fn, creat)
NEXT(creat_fn, creat64)
NEXT(fopen_fn, fopen)
NEXT(fopen_fn, fopen64)
NEXT(opendir_fn, opendir)
NEXT(path_fn, chdir)
NEXT(fd_fn, fchdir)
NEXT(chmod_fn, chmod)
NEXT(fchmod_fn, fchmod)
NEXT(fchmodat_fn, fchmodat)
NEXT(chown_fn, chown)
NEXT(chown_fn, lchown)
NEXT(fchown_fn, fchown)
NEXT(fchownat_fn, fchownat)
NEXT(path_fn, unlink)
NEXT(unlinkat_fn, unlinkat)
NEXT(path_fn, remove)
NEXT(path_fn, rmdir)
NEXT(rename_fn, rename)
NEXT(renameat_fn, renameat)
NEXT(renameat2_fn, renameat2)
NEXT(utime_fn, utime)
NEXT(utimes_fn, utimes)
NEXT(utimensat_fn, utimensat)
NEXT(futimens_fn, futimens)
NEXT(link_fn, link)
NEXT(linkat_fn, linkat)
NEXT(link_fn, symlink)
NEXT(symlinkat_fn, symlinkat)
NEXT(mkdir_fn, mkdir)
NEXT(mkdirat_fn, mkdirat)
NEXT(truncate_fn, truncate)
NEXT(syscall_fn, syscall)

static int missing(void)
{
    errno = ENOSYS;
    return -1;
}

/* ---- the trigger -------------------------------------------------------- */

/* Set while the library makes its own calls, which must not trigger. */
static __thread int busy;

static int family_enabled(const char *family)
{
    const char *calls = getenv("KXSWAP_CALLS");
    if (calls == NULL || *calls == '\0')
        return 1;
    size_t len = strlen(family);
    for (const char *p = calls; *p != '\0';) {
        const char *end = strchr(p, ',');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == len && strncmp(p, family, len) == 0)
            return 1;
        if (end == NULL)
            break;
        p = end + 1;
    }
    return 0;
}

/* The path the kernel shows for a descriptor (or the working directory). */
static int fd_path(int fd, char *out, size_t size)
{
    char proc[64];
    if (fd == AT_FDCWD)
        snprintf(proc, sizeof proc, "/proc/self/cwd");
    else
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(proc, out, size - 1);
    if (n < 0)
        return -1;
    out[n] = '\0';
    return 0;
}

/* Copies the final component of path (trailing slashes dropped). */
static void final_component(const char *path, char *out, size_t size)
{
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/')
        len--;
    size_t start = len;
    while (start > 0 && path[start - 1] != '/')
        start--;
    size_t n = len - start < size - 1 ? len - start : size - 1;
    memcpy(out, path + start, n);
    out[n] = '\0';
}

/* Whether the entry dirfd/path lies directly in the KXSWAP_WHERE directory. */
static int in_where(int dirfd, const char *path)
{
    const char *where = getenv("KXSWAP_WHERE");
    if (where == NULL || *where == '\0')
        return 1;
    struct stat want, have;
    if (stat(where, &want) != 0)
        return 0;
    int r;
    if (path == NULL || *path == '\0') {
        char full[4096];
        if (fd_path(dirfd, full, sizeof full) != 0)
            return 0;
        char *slash = strrchr(full, '/');
        if (slash == NULL)
            return 0;
        if (slash == full)
            slash[1] = '\0';
        else
            *slash = '\0';
        r = stat(full, &have);
    } else {
        const char *slash = strrchr(path, '/');
        if (slash == NULL) {
            r = dirfd == AT_FDCWD ? stat(".", &have) : fstat(dirfd, &have);
        } else {
            size_t n = (size_t)(slash - path);
            char *parent = malloc(n + 2);
            if (parent == NULL)
                return 0;
            memcpy(parent, path, n);
            parent[n] = '\0';
            if (n == 0)
                strcpy(parent, "/");
            r = fstatat(dirfd, parent, &have, 0);
            free(parent);
        }
    }
    return r == 0 && have.st_dev == want.st_dev && have.st_ino == want.st_ino;
}

static void swap_entry(const char *family, const char *shown)
{
    const char *entry = getenv("KXSWAP_ENTRY");
    const char *target = getenv("KXSWAP_TARGET");
    const char *state = getenv("KXSWAP_STATE");
    open_fn real_open = next_open();
    rename_fn real_rename = next_rename();
    link_fn real_symlink = next_symlink();
    if (entry == NULL || target == NULL || state == NULL || real_open == NULL ||
        real_rename == NULL || real_symlink == NULL)
        return;
    int fd = real_open(state, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return; /* already swapped, here or in another process */
    dprintf(fd, "%s %s\n", family, shown);
    close(fd);
    size_t len = strlen(entry);
    char *away = malloc(len + sizeof ".swapped");
    if (away == NULL)
        return;
    memcpy(away, entry, len);
    strcpy(away + len, ".swapped");
    real_rename(entry, away);
    real_symlink(target, entry);
    free(away);
}

/* Called before every hooked call; path may be empty or NULL for a call
 * that names its object by descriptor. */
static void before(const char *family, int dirfd, const char *path)
{
    if (busy)
        return;
    const char *name = getenv("KXSWAP_NAME");
    if (name == NULL || *name == '\0' || getenv("KXSWAP_STATE") == NULL)
        return;
    busy = 1;
    int saved = errno;
    char full[4096];
    const char *shown = path;
    if (path == NULL || *path == '\0') {
        shown = fd_path(dirfd, full, sizeof full) == 0 ? full : NULL;
    }
    if (shown != NULL && family_enabled(family)) {
        char last[256];
        final_component(shown, last, sizeof last);
        if (strcmp(last, name) == 0 && in_where(dirfd, path))
            swap_entry(family, shown);
    }
    errno = saved;
    busy = 0;
}

/* ---- the hooked calls --------------------------------------------------- */

static mode_t mode_arg(int flags, va_list ap)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return (mode_t)va_arg(ap, unsigned int);
    return 0;
}

SWAP_EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    before("open", AT_FDCWD, path);
    open_fn real = next_open();
    return real ? real(path, flags, mode) : missing();
}

SWAP_EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    before("open", AT_FDCWD, path);
    open_fn real = next_open64();
    return real ? real(path, flags, mode) : missing();
}

SWAP_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    before("open", dirfd, path);
    openat_fn real = next_openat();
    return real ? real(dirfd, path, flags, mode) : missing();
}

SWAP_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    before("open", dirfd, path);
    openat_fn real = next_openat64();
    return real ? real(dirfd, path, flags, mode) : missing();
}

SWAP_EXPORT int creat(const char *path, mode_t mode)
{
    before("open", AT_FDCWD, path);
    creat_fn real = next_creat();
    return real ? real(path, mode) : missing();
}

SWAP_EXPORT int creat64(const char *path, mode_t mode)
{
    before("open", AT_FDCWD, path);
    creat_fn real = next_creat64();
    return real ? real(path, mode) : missing();
}

SWAP_EXPORT FILE *fopen(const char *path, const char *how)
{
    before("open", AT_FDCWD, path);
    fopen_fn real = next_fopen();
    if (real == NULL) {
        errno = ENOSYS;
        return NULL;
    }
    return real(path, how);
}

SWAP_EXPORT FILE *fopen64(const char *path, const char *how)
{
    before("open", AT_FDCWD, path);
    fopen_fn real = next_fopen64();
    if (real == NULL) {
        errno = ENOSYS;
        return NULL;
    }
    return real(path, how);
}

SWAP_EXPORT DIR *opendir(const char *path)
{
    before("open", AT_FDCWD, path);
    opendir_fn real = next_opendir();
    if (real == NULL) {
        errno = ENOSYS;
        return NULL;
    }
    return real(path);
}

SWAP_EXPORT int truncate(const char *path, off_t length)
{
    before("open", AT_FDCWD, path);
    truncate_fn real = next_truncate();
    return real ? real(path, length) : missing();
}

SWAP_EXPORT int chdir(const char *path)
{
    before("chdir", AT_FDCWD, path);
    path_fn real = next_chdir();
    return real ? real(path) : missing();
}

SWAP_EXPORT int fchdir(int fd)
{
    before("chdir", fd, NULL);
    fd_fn real = next_fchdir();
    return real ? real(fd) : missing();
}

SWAP_EXPORT int chmod(const char *path, mode_t mode)
{
    before("chmod", AT_FDCWD, path);
    chmod_fn real = next_chmod();
    return real ? real(path, mode) : missing();
}

SWAP_EXPORT int fchmod(int fd, mode_t mode)
{
    before("chmod", fd, NULL);
    fchmod_fn real = next_fchmod();
    return real ? real(fd, mode) : missing();
}

SWAP_EXPORT int fchmodat(int dirfd, const char *path, mode_t mode, int flags)
{
    before("chmod", dirfd, path);
    fchmodat_fn real = next_fchmodat();
    return real ? real(dirfd, path, mode, flags) : missing();
}

SWAP_EXPORT int chown(const char *path, uid_t uid, gid_t gid)
{
    before("chown", AT_FDCWD, path);
    chown_fn real = next_chown();
    return real ? real(path, uid, gid) : missing();
}

SWAP_EXPORT int lchown(const char *path, uid_t uid, gid_t gid)
{
    before("chown", AT_FDCWD, path);
    chown_fn real = next_lchown();
    return real ? real(path, uid, gid) : missing();
}

SWAP_EXPORT int fchown(int fd, uid_t uid, gid_t gid)
{
    before("chown", fd, NULL);
    fchown_fn real = next_fchown();
    return real ? real(fd, uid, gid) : missing();
}

SWAP_EXPORT int fchownat(int dirfd, const char *path, uid_t uid, gid_t gid, int flags)
{
    before("chown", dirfd, path);
    fchownat_fn real = next_fchownat();
    return real ? real(dirfd, path, uid, gid, flags) : missing();
}

SWAP_EXPORT int unlink(const char *path)
{
    before("unlink", AT_FDCWD, path);
    path_fn real = next_unlink();
    return real ? real(path) : missing();
}

SWAP_EXPORT int unlinkat(int dirfd, const char *path, int flags)
{
    before("unlink", dirfd, path);
    unlinkat_fn real = next_unlinkat();
    return real ? real(dirfd, path, flags) : missing();
}

SWAP_EXPORT int remove(const char *path)
{
    before("unlink", AT_FDCWD, path);
    path_fn real = next_remove();
    return real ? real(path) : missing();
}

SWAP_EXPORT int rmdir(const char *path)
{
    before("unlink", AT_FDCWD, path);
    path_fn real = next_rmdir();
    return real ? real(path) : missing();
}

SWAP_EXPORT int rename(const char *from, const char *to)
{
    before("rename", AT_FDCWD, from);
    before("rename", AT_FDCWD, to);
    rename_fn real = next_rename();
    return real ? real(from, to) : missing();
}

SWAP_EXPORT int renameat(int fromfd, const char *from, int tofd, const char *to)
{
    before("rename", fromfd, from);
    before("rename", tofd, to);
    renameat_fn real = next_renameat();
    return real ? real(fromfd, from, tofd, to) : missing();
}

SWAP_EXPORT int renameat2(int fromfd, const char *from, int tofd, const char *to,
                          unsigned int flags)
{
    before("rename", fromfd, from);
    before("rename", tofd, to);
    renameat2_fn real = next_renameat2();
    return real ? real(fromfd, from, tofd, to, flags) : missing();
}

SWAP_EXPORT int utime(const char *path, const struct utimbuf *times)
{
    before("utime", AT_FDCWD, path);
    utime_fn real = next_utime();
    return real ? real(path, times) : missing();
}

SWAP_EXPORT int utimes(const char *path, const struct timeval times[2])
{
    before("utime", AT_FDCWD, path);
    utimes_fn real = next_utimes();
    return real ? real(path, times) : missing();
}

SWAP_EXPORT int utimensat(int dirfd, const char *path, const struct timespec times[2], int flags)
{
    before("utime", dirfd, path);
    utimensat_fn real = next_utimensat();
    return real ? real(dirfd, path, times, flags) : missing();
}

SWAP_EXPORT int futimens(int fd, const struct timespec times[2])
{
    before("utime", fd, NULL);
    futimens_fn real = next_futimens();
    return real ? real(fd, times) : missing();
}

SWAP_EXPORT int link(const char *from, const char *to)
{
    before("link", AT_FDCWD, from);
    before("link", AT_FDCWD, to);
    link_fn real = next_link();
    return real ? real(from, to) : missing();
}

SWAP_EXPORT int linkat(int fromfd, const char *from, int tofd, const char *to, int flags)
{
    before("link", fromfd, from);
    before("link", tofd, to);
    linkat_fn real = next_linkat();
    return real ? real(fromfd, from, tofd, to, flags) : missing();
}

SWAP_EXPORT int symlink(const char *text, const char *path)
{
    before("link", AT_FDCWD, path);
    link_fn real = next_symlink();
    return real ? real(text, path) : missing();
}

SWAP_EXPORT int symlinkat(const char *text, int dirfd, const char *path)
{
    before("link", dirfd, path);
    symlinkat_fn real = next_symlinkat();
    return real ? real(text, dirfd, path) : missing();
}

SWAP_EXPORT int mkdir(const char *path, mode_t mode)
{
    before("mkdir", AT_FDCWD, path);
    mkdir_fn real = next_mkdir();
    return real ? real(path, mode) : missing();
}

SWAP_EXPORT int mkdirat(int dirfd, const char *path, mode_t mode)
{
    before("mkdir", dirfd, path);
    mkdirat_fn real = next_mkdirat();
    return real ? real(dirfd, path, mode) : missing();
}

/* openat2 has no libc wrapper: it arrives through syscall. */
SWAP_EXPORT long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; i++)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_openat2)
        before("open", (int)a[0], (const char *)a[1]);
    syscall_fn real = next_syscall();
    if (real == NULL)
        return missing();
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
