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
    if (entry == NULL || target == NULL || state == NULL)
        return;
    /* The library's own calls: busy is set, so they do not trigger. */
    int fd = open(state, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
    rename(entry, away);
    symlink(target, entry);
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

/* Defines a hooked call: the checks run first (before(...) for each path
 * the call names), then the next definition of the call. */
#define HOOK(ret, fail, name, params, args, ...)                           \
    typedef ret(*name##_fn) params;                                         \
    SWAP_EXPORT ret name params                                             \
    {                                                                       \
        static void *slot;                                                  \
        __VA_ARGS__;                                                        \
        name##_fn real = (name##_fn)next_symbol(&slot, #name);              \
        if (real == NULL) {                                                 \
            errno = ENOSYS;                                                 \
            return fail;                                                    \
        }                                                                   \
        return real args;                                                   \
    }

#define PATH_HOOK(name, family, params, args, path) \
    HOOK(int, -1, name, params, args, before(family, AT_FDCWD, path))
#define AT_HOOK(name, family, params, args, dirfd, path) \
    HOOK(int, -1, name, params, args, before(family, dirfd, path))
#define FD_HOOK(name, family, params, args, fd) \
    HOOK(int, -1, name, params, args, before(family, fd, NULL))

HOOK(FILE *, NULL, fopen, (const char *p, const char *how), (p, how), before("open", AT_FDCWD, p))
HOOK(FILE *, NULL, fopen64, (const char *p, const char *how), (p, how), before("open", AT_FDCWD, p))
HOOK(DIR *, NULL, opendir, (const char *p), (p), before("open", AT_FDCWD, p))
PATH_HOOK(creat, "open", (const char *p, mode_t m), (p, m), p)
PATH_HOOK(creat64, "open", (const char *p, mode_t m), (p, m), p)
PATH_HOOK(truncate, "open", (const char *p, off_t n), (p, n), p)
PATH_HOOK(chdir, "chdir", (const char *p), (p), p)
FD_HOOK(fchdir, "chdir", (int fd), (fd), fd)
PATH_HOOK(chmod, "chmod", (const char *p, mode_t m), (p, m), p)
FD_HOOK(fchmod, "chmod", (int fd, mode_t m), (fd, m), fd)
AT_HOOK(fchmodat, "chmod", (int d, const char *p, mode_t m, int f), (d, p, m, f), d, p)
PATH_HOOK(chown, "chown", (const char *p, uid_t u, gid_t g), (p, u, g), p)
PATH_HOOK(lchown, "chown", (const char *p, uid_t u, gid_t g), (p, u, g), p)
FD_HOOK(fchown, "chown", (int fd, uid_t u, gid_t g), (fd, u, g), fd)
AT_HOOK(fchownat, "chown", (int d, const char *p, uid_t u, gid_t g, int f), (d, p, u, g, f), d, p)
PATH_HOOK(unlink, "unlink", (const char *p), (p), p)
AT_HOOK(unlinkat, "unlink", (int d, const char *p, int f), (d, p, f), d, p)
PATH_HOOK(remove, "unlink", (const char *p), (p), p)
PATH_HOOK(rmdir, "unlink", (const char *p), (p), p)
HOOK(int, -1, rename, (const char *a, const char *b), (a, b),
     before("rename", AT_FDCWD, a); before("rename", AT_FDCWD, b))
HOOK(int, -1, renameat, (int da, const char *a, int db, const char *b), (da, a, db, b),
     before("rename", da, a); before("rename", db, b))
HOOK(int, -1, renameat2, (int da, const char *a, int db, const char *b, unsigned f),
     (da, a, db, b, f), before("rename", da, a); before("rename", db, b))
PATH_HOOK(utime, "utime", (const char *p, const struct utimbuf *t), (p, t), p)
PATH_HOOK(utimes, "utime", (const char *p, const struct timeval t[2]), (p, t), p)
AT_HOOK(utimensat, "utime", (int d, const char *p, const struct timespec t[2], int f),
        (d, p, t, f), d, p)
FD_HOOK(futimens, "utime", (int fd, const struct timespec t[2]), (fd, t), fd)
HOOK(int, -1, link, (const char *a, const char *b), (a, b),
     before("link", AT_FDCWD, a); before("link", AT_FDCWD, b))
HOOK(int, -1, linkat, (int da, const char *a, int db, const char *b, int f), (da, a, db, b, f),
     before("link", da, a); before("link", db, b))
PATH_HOOK(symlink, "link", (const char *text, const char *p), (text, p), p)
AT_HOOK(symlinkat, "link", (const char *text, int d, const char *p), (text, d, p), d, p)
PATH_HOOK(mkdir, "mkdir", (const char *p, mode_t m), (p, m), p)
AT_HOOK(mkdirat, "mkdir", (int d, const char *p, mode_t m), (d, p, m), d, p)

/* open and openat take their mode only with O_CREAT or O_TMPFILE. */
static mode_t mode_arg(int flags, va_list ap)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return (mode_t)va_arg(ap, unsigned int);
    return 0;
}

#define OPEN_HOOK(name)                                                     \
    SWAP_EXPORT int name(const char *path, int flags, ...)                  \
    {                                                                       \
        static void *slot;                                                  \
        va_list ap;                                                         \
        va_start(ap, flags);                                                \
        mode_t mode = mode_arg(flags, ap);                                  \
        va_end(ap);                                                         \
        before("open", AT_FDCWD, path);                                     \
        int (*real)(const char *, int, ...) = next_symbol(&slot, #name);    \
        return real ? real(path, flags, mode) : missing();                  \
    }
#define OPENAT_HOOK(name)                                                   \
    SWAP_EXPORT int name(int dirfd, const char *path, int flags, ...)       \
    {                                                                       \
        static void *slot;                                                  \
        va_list ap;                                                         \
        va_start(ap, flags);                                                \
        mode_t mode = mode_arg(flags, ap);                                  \
        va_end(ap);                                                         \
        before("open", dirfd, path);                                        \
        int (*real)(int, const char *, int, ...) = next_symbol(&slot, #name); \
        return real ? real(dirfd, path, flags, mode) : missing();           \
    }

OPEN_HOOK(open)
OPEN_HOOK(open64)
OPENAT_HOOK(openat)
OPENAT_HOOK(openat64)

/* openat2 has no libc wrapper: it arrives through syscall. */
SWAP_EXPORT long syscall(long number, ...)
{
    static void *slot;
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; i++)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_openat2)
        before("open", (int)a[0], (const char *)a[1]);
    long (*real)(long, ...) = next_symbol(&slot, "syscall");
    if (real == NULL)
        return missing();
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
