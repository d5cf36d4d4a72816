/* Fault maker, preloaded into a tool (before the host simulator): every
 * call of the configured families on an object whose path holds the
 * configured text fails with the configured error, as a full disk, a quota,
 * a failing device or a refusing filesystem would make it fail.
 *
 * Environment (the library does nothing without KXFAIL_CALLS and
 * KXFAIL_MATCH):
 *  - KXFAIL_CALLS   comma-separated families: chown, chmod, utime, xattr,
 *                   flags (the set-flags ioctl), unlink, rename, link,
 *                   write (write, copy_file_range), pwrite;
 *  - KXFAIL_MATCH   text the object's path must hold; a call that names
 *                   its object by descriptor is matched by the path the
 *                   kernel shows for it, an *at call by its directory's
 *                   path, a slash and the name;
 *  - KXFAIL_ERRNO   the error number (EIO when unset);
 *  - KXFAIL_STATE   a file that gets one line, family and path, for each
 *                   call made to fail. */

#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#define FAIL_EXPORT __attribute__((visibility("default")))

static void *next_symbol(void **slot, const char *name)
{
    void *fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (fn == NULL) {
        fn = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

/* Set while the library makes its own calls. */
static __thread int busy;

static int family_enabled(const char *family)
{
    const char *calls = getenv("KXFAIL_CALLS");
    if (calls == NULL)
        return 0;
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

/* The path of dirfd/name as the kernel shows the directory. */
static void object_path(int dirfd, const char *name, char *out, size_t size)
{
    out[0] = '\0';
    /* A path through a descriptor's /proc entry names what it shows. */
    int through = -1, used = 0;
    if (name != NULL && sscanf(name, "/proc/self/fd/%d%n", &through, &used) == 1) {
        dirfd = through;
        name = name[used] == '/' ? name + used + 1 : name + used;
    } else if (name != NULL && name[0] == '/') {
        snprintf(out, size, "%s", name);
        return;
    }
    char proc[64];
    if (dirfd == AT_FDCWD)
        snprintf(proc, sizeof proc, "/proc/self/cwd");
    else
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(proc, out, size - 1);
    if (n < 0)
        n = 0;
    out[n] = '\0';
    if (name != NULL && name[0] != '\0' && (size_t)n + 1 < size)
        snprintf(out + n, size - (size_t)n, "/%s", name);
}

/* Whether the call is to fail; errno is set for it when it is. */
static int fails(const char *family, int dirfd, const char *name)
{
    if (busy || !family_enabled(family))
        return 0;
    const char *match = getenv("KXFAIL_MATCH");
    if (match == NULL || *match == '\0')
        return 0;
    busy = 1;
    char path[8192];
    object_path(dirfd, name, path, sizeof path);
    int hit = strstr(path, match) != NULL;
    if (hit) {
        const char *state = getenv("KXFAIL_STATE");
        int fd = state ? open(state, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
        if (fd >= 0) {
            dprintf(fd, "%s %s\n", family, path);
            close(fd);
        }
    }
    busy = 0;
    if (hit) {
        const char *e = getenv("KXFAIL_ERRNO");
        errno = e && *e ? atoi(e) : EIO;
    }
    return hit;
}

#define HOOK(ret, name, params, args, check)                \
    typedef ret(*name##_fn) params;                           \
    FAIL_EXPORT ret name params                               \
    {                                                         \
        static void *slot;                                    \
        if (check)                                            \
            return -1;                                        \
        name##_fn real = (name##_fn)next_symbol(&slot, #name); \
        if (real == NULL) {                                   \
            errno = ENOSYS;                                   \
            return -1;                                        \
        }                                                     \
        return real args;                                     \
    }

HOOK(int, fchown, (int fd, uid_t u, gid_t g), (fd, u, g), fails("chown", fd, NULL))
HOOK(int, lchown, (const char *p, uid_t u, gid_t g), (p, u, g), fails("chown", AT_FDCWD, p))
HOOK(int, fchownat, (int d, const char *p, uid_t u, gid_t g, int f), (d, p, u, g, f),
     fails("chown", d, p))
HOOK(int, fchmod, (int fd, mode_t m), (fd, m), fails("chmod", fd, NULL))
HOOK(int, fchmodat, (int d, const char *p, mode_t m, int f), (d, p, m, f), fails("chmod", d, p))
HOOK(int, utimensat, (int d, const char *p, const struct timespec t[2], int f), (d, p, t, f),
     fails("utime", d, p))
HOOK(int, futimens, (int fd, const struct timespec t[2]), (fd, t), fails("utime", fd, NULL))
HOOK(int, fsetxattr, (int fd, const char *n, const void *v, size_t s, int f), (fd, n, v, s, f),
     fails("xattr", fd, NULL))
HOOK(int, lsetxattr, (const char *p, const char *n, const void *v, size_t s, int f),
     (p, n, v, s, f), fails("xattr", AT_FDCWD, p))
HOOK(int, setxattr, (const char *p, const char *n, const void *v, size_t s, int f),
     (p, n, v, s, f), fails("xattr", AT_FDCWD, p))
HOOK(int, unlink, (const char *p), (p), fails("unlink", AT_FDCWD, p))
HOOK(int, unlinkat, (int d, const char *p, int f), (d, p, f), fails("unlink", d, p))
HOOK(int, rename, (const char *a, const char *b), (a, b), fails("rename", AT_FDCWD, b))
HOOK(int, renameat, (int da, const char *a, int db, const char *b), (da, a, db, b),
     fails("rename", db, b))
HOOK(int, renameat2, (int da, const char *a, int db, const char *b, unsigned f),
     (da, a, db, b, f), fails("rename", db, b))
HOOK(int, linkat, (int da, const char *a, int db, const char *b, int f), (da, a, db, b, f),
     fails("link", db, b))
HOOK(int, symlinkat, (const char *text, int d, const char *p), (text, d, p), fails("link", d, p))
HOOK(ssize_t, write, (int fd, const void *b, size_t n), (fd, b, n), fails("write", fd, NULL))
HOOK(ssize_t, pwrite, (int fd, const void *b, size_t n, off_t o), (fd, b, n, o),
     fails("pwrite", fd, NULL))
HOOK(ssize_t, pwrite64, (int fd, const void *b, size_t n, off_t o), (fd, b, n, o),
     fails("pwrite", fd, NULL))
HOOK(ssize_t, copy_file_range, (int i, loff_t *io, int o, loff_t *oo, size_t n, unsigned f),
     (i, io, o, oo, n, f), fails("write", o, NULL))

/* The set-flags request of ioctl fails; every other request passes. */
FAIL_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    static void *slot;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request == 0x40086602UL && fails("flags", fd, NULL))
        return -1;
    int (*real)(int, unsigned long, ...) = next_symbol(&slot, "ioctl");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}

/* fchmodat2 and the host's calls for a link's mode and times arrive
 * through syscall. */
FAIL_EXPORT long syscall(long number, ...)
{
    static void *slot;
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; i++)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if ((number == 452 && fails("chmod", (int)a[0], (const char *)a[1])) ||
        (number == 509 && fails("chmod", AT_FDCWD, (const char *)a[0])) ||
        (number == 510 && fails("utime", AT_FDCWD, (const char *)a[0])))
        return -1;
    long (*real)(long, ...) = next_symbol(&slot, "syscall");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
