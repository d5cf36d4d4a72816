/* Host-kernel simulator, preloaded into the test processes and the programs
 * they run. It plays the parts of the container host's kernel that a stock
 * kernel lacks, and is transparent for everything else:
 *
 *  - syscall(509, path, mode): sets the permission bits of a symbolic link
 *    itself. They are kept in the extended attribute "trusted.kxhostsim.mode"
 *    of the link (octal text); a path that is not a link is simply chmod'ed.
 *    Trusted attributes need root: as non-root the call fails with EPERM.
 *  - syscall(510, path, times): sets the times of the link itself (a struct
 *    utimbuf, or NULL for now).
 *  - lstat, lstat64, fstatat, fstatat64 and statx report the stored bits for
 *    symbolic links, and every attribute listing hides the attribute.
 *  - ioctl 0x4008AA06 (node-creation request) on a directory: the request is
 *    appended as one line "name=<name> value=<value> mode=<octal> dir=<dir>"
 *    to the file named by KXHOSTSIM_LOG and answers 0. Without KXHOSTSIM_LOG
 *    the request goes to the real kernel, which refuses it (ENOTTY).
 *
 * KXHOSTSIM_DISABLE=1 makes 509 and 510 answer ENOSYS like a stock kernel, so
 * that the fallback of the library can be tested in the same process. Every
 * other system call number and ioctl request goes to the real one. */

/* The interposed names must be the plain ones, not their 64-bit aliases. */
#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#define SIM_EXPORT __attribute__((visibility("default")))

#define CALL_LCHMOD 509
#define CALL_LUTIME 510
#define NODE_REQUEST 0x4008AA06UL

static const char kModeAttr[] = "trusted.kxhostsim.mode";

struct node_request {
    const char *name;
    uint64_t value;
    uint32_t mode;
};

/* ---- the next definitions of the interposed functions ------------------ */

/* Resolves a symbol once; a race between threads only resolves it twice. */
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

typedef long (*syscall_fn)(long, ...);
typedef int (*lstat_fn)(const char *, struct stat *);
typedef int (*lstat64_fn)(const char *, struct stat64 *);
typedef int (*fstatat_fn)(int, const char *, struct stat *, int);
typedef int (*fstatat64_fn)(int, const char *, struct stat64 *, int);
typedef int (*statx_fn)(int, const char *, int, unsigned int, struct statx *);
typedef ssize_t (*listxattr_fn)(const char *, char *, size_t);
typedef ssize_t (*flistxattr_fn)(int, char *, size_t);
typedef int (*ioctl_fn)(int, unsigned long, ...);

NEXT(syscall_fn, syscall)
NEXT(lstat_fn, lstat)
NEXT(lstat64_fn, lstat64)
NEXT(fstatat_fn, fstatat)
NEXT(fstatat64_fn, fstatat64)
NEXT(statx_fn, statx)
NEXT(listxattr_fn, listxattr)
NEXT(listxattr_fn, llistxattr)
NEXT(flistxattr_fn, flistxattr)
NEXT(ioctl_fn, ioctl)

static int missing(void)
{
    errno = ENOSYS;
    return -1;
}

/* ---- link permission bits ---------------------------------------------- */

static int disabled(void)
{
    const char *v = getenv("KXHOSTSIM_DISABLE");
    return v != NULL && strcmp(v, "1") == 0;
}

static int sim_lchmod(const char *path, unsigned int mode)
{
    lstat_fn real_lstat = next_lstat();
    struct stat st;
    if (real_lstat == NULL)
        return missing();
    if (real_lstat(path, &st) != 0)
        return -1;
    if (!S_ISLNK(st.st_mode))
        return fchmodat(AT_FDCWD, path, mode & 07777, AT_SYMLINK_NOFOLLOW);
    char text[16];
    int len = snprintf(text, sizeof text, "%o", mode & 07777);
    return lsetxattr(path, kModeAttr, text, (size_t)len, 0);
}

static int sim_lutime(const char *path, const struct utimbuf *times)
{
    if (times == NULL)
        return utimensat(AT_FDCWD, path, NULL, AT_SYMLINK_NOFOLLOW);
    struct timespec ts[2] = {{times->actime, 0}, {times->modtime, 0}};
    return utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW);
}

SIM_EXPORT long syscall(long number, ...)
{
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; i++)
        a[i] = va_arg(ap, long);
    va_end(ap);

    if (number == CALL_LCHMOD || number == CALL_LUTIME) {
        if (disabled())
            return missing();
        if (number == CALL_LCHMOD)
            return sim_lchmod((const char *)a[0], (unsigned int)a[1]);
        return sim_lutime((const char *)a[0], (const struct utimbuf *)a[1]);
    }
    syscall_fn real = next_syscall();
    if (real == NULL)
        return missing();
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

/* getxattrat(2), Linux 6.13 and later: older kernels answer ENOSYS. */
#define CALL_GETXATTRAT 464
struct xattr_args {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};
static int getxattrat_works = 1; /* read and written with relaxed atomics */

/* The stored bits of the link at dirfd/path, or -1 when it has none. The
 * link is found again by name: a path relative to a directory descriptor
 * beneath it with getxattrat (through /proc on a kernel without that call),
 * an empty path through /proc and the descriptor itself. */
static long stored_mode(int dirfd, const char *path)
{
    int saved = errno;
    char text[16];
    ssize_t n = -1;
    int beneath = path != NULL && *path != '\0' && path[0] != '/' && dirfd != AT_FDCWD;
    int direct = beneath && __atomic_load_n(&getxattrat_works, __ATOMIC_RELAXED);
    if (direct) {
        /* One lookup beneath dirfd; the /proc form walks procfs as well. */
        struct xattr_args args = {(uint64_t)(uintptr_t)text, sizeof text - 1, 0};
        n = syscall(CALL_GETXATTRAT, dirfd, path, AT_SYMLINK_NOFOLLOW, kModeAttr, &args,
                    sizeof args);
        if (n < 0 && errno == ENOSYS) {
            direct = 0;
            __atomic_store_n(&getxattrat_works, 0, __ATOMIC_RELAXED);
        }
    }
    if (direct) {
        /* answered above */
    } else if (path != NULL && *path != '\0' && !beneath) {
        n = lgetxattr(path, kModeAttr, text, sizeof text - 1);
    } else {
        const char *rel = path != NULL ? path : "";
        size_t size = strlen(rel) + 40;
        char *proc = malloc(size);
        if (proc != NULL) {
            if (*rel != '\0') {
                snprintf(proc, size, "/proc/self/fd/%d/%s", dirfd, rel);
                n = lgetxattr(proc, kModeAttr, text, sizeof text - 1);
            } else {
                snprintf(proc, size, "/proc/self/fd/%d", dirfd);
                n = getxattr(proc, kModeAttr, text, sizeof text - 1);
            }
            free(proc);
        }
    }
    long mode = -1;
    if (n > 0) {
        text[n] = '\0';
        char *end;
        unsigned long v = strtoul(text, &end, 8);
        if (end != text)
            mode = (long)(v & 07777);
    }
    errno = saved;
    return mode;
}

static void merge_mode(mode_t *mode, int dirfd, const char *path)
{
    if (!S_ISLNK(*mode))
        return;
    long bits = stored_mode(dirfd, path);
    if (bits >= 0)
        *mode = (*mode & S_IFMT) | (mode_t)bits;
}

SIM_EXPORT int lstat(const char *path, struct stat *buf)
{
    lstat_fn real = next_lstat();
    if (real == NULL)
        return missing();
    int r = real(path, buf);
    if (r == 0)
        merge_mode(&buf->st_mode, AT_FDCWD, path);
    return r;
}

SIM_EXPORT int lstat64(const char *path, struct stat64 *buf)
{
    lstat64_fn real = next_lstat64();
    if (real == NULL)
        return missing();
    int r = real(path, buf);
    if (r == 0)
        merge_mode(&buf->st_mode, AT_FDCWD, path);
    return r;
}

SIM_EXPORT int fstatat(int dirfd, const char *path, struct stat *buf, int flags)
{
    fstatat_fn real = next_fstatat();
    if (real == NULL)
        return missing();
    int r = real(dirfd, path, buf, flags);
    if (r == 0)
        merge_mode(&buf->st_mode, dirfd, path);
    return r;
}

SIM_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *buf, int flags)
{
    fstatat64_fn real = next_fstatat64();
    if (real == NULL)
        return missing();
    int r = real(dirfd, path, buf, flags);
    if (r == 0)
        merge_mode(&buf->st_mode, dirfd, path);
    return r;
}

SIM_EXPORT int statx(int dirfd, const char *path, int flags, unsigned int mask,
                     struct statx *buf)
{
    statx_fn real = next_statx();
    if (real == NULL)
        return missing();
    int r = real(dirfd, path, flags, mask, buf);
    if (r == 0 && (buf->stx_mask & STATX_TYPE) && (buf->stx_mask & STATX_MODE)) {
        mode_t mode = buf->stx_mode;
        merge_mode(&mode, dirfd, path);
        buf->stx_mode = (uint16_t)mode;
    }
    return r;
}

/* ---- attribute listings without the simulator's attribute -------------- */

enum list_kind { LIST_FOLLOW, LIST_NOFOLLOW, LIST_FD };

static ssize_t real_list(enum list_kind kind, const char *path, int fd, char *list, size_t size)
{
    if (kind == LIST_FD) {
        flistxattr_fn f = next_flistxattr();
        return f != NULL ? f(fd, list, size) : missing();
    }
    listxattr_fn f = kind == LIST_FOLLOW ? next_listxattr() : next_llistxattr();
    return f != NULL ? f(path, list, size) : missing();
}

/* Removes the simulator's name from a list of n bytes; the new length. */
static ssize_t strip_list(char *list, ssize_t n)
{
    ssize_t in = 0, out = 0;
    while (in < n) {
        size_t len = strnlen(list + in, (size_t)(n - in));
        size_t whole = len + 1 <= (size_t)(n - in) ? len + 1 : len;
        if (!(len == sizeof kModeAttr - 1 && memcmp(list + in, kModeAttr, len) == 0)) {
            memmove(list + out, list + in, whole);
            out += (ssize_t)whole;
        }
        in += (ssize_t)whole;
    }
    return out;
}

static ssize_t filtered_list(enum list_kind kind, const char *path, int fd, char *list,
                             size_t size)
{
    if (size > 0) {
        ssize_t n = real_list(kind, path, fd, list, size);
        if (n >= 0)
            return strip_list(list, n);
        if (errno != ERANGE)
            return -1;
        /* The full list may be too large only because of the hidden name. */
    }
    for (int attempt = 0; attempt < 16; attempt++) {
        ssize_t full = real_list(kind, path, fd, NULL, 0);
        if (full <= 0)
            return full;
        char *buf = malloc((size_t)full);
        if (buf == NULL) {
            errno = ENOMEM;
            return -1;
        }
        ssize_t n = real_list(kind, path, fd, buf, (size_t)full);
        if (n < 0) {
            int e = errno;
            free(buf);
            if (e == ERANGE)
                continue;
            errno = e;
            return -1;
        }
        n = strip_list(buf, n);
        if (size > 0) {
            if ((size_t)n > size) {
                free(buf);
                errno = ERANGE;
                return -1;
            }
            memcpy(list, buf, (size_t)n);
        }
        free(buf);
        return n;
    }
    errno = ERANGE;
    return -1;
}

SIM_EXPORT ssize_t listxattr(const char *path, char *list, size_t size)
{
    return filtered_list(LIST_FOLLOW, path, -1, list, size);
}

SIM_EXPORT ssize_t llistxattr(const char *path, char *list, size_t size)
{
    return filtered_list(LIST_NOFOLLOW, path, -1, list, size);
}

SIM_EXPORT ssize_t flistxattr(int fd, char *list, size_t size)
{
    return filtered_list(LIST_FD, NULL, fd, list, size);
}

/* ---- node-creation requests -------------------------------------------- */

static int record_request(int fd, const struct node_request *req)
{
    const char *log = getenv("KXHOSTSIM_LOG");
    struct stat st;
    fstatat_fn real_fstatat = next_fstatat();
    if (real_fstatat == NULL)
        return missing();
    if (real_fstatat(fd, "", &st, AT_EMPTY_PATH) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode) || req == NULL || req->name == NULL) {
        errno = !S_ISDIR(st.st_mode) ? ENOTTY : EFAULT;
        return -1;
    }
    char proc[64], dir[4096];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    ssize_t dlen = readlink(proc, dir, sizeof dir - 1);
    if (dlen < 0)
        dlen = 0;
    dir[dlen] = '\0';

    size_t size = strlen(req->name) + strlen(dir) + 96;
    char *line = malloc(size);
    if (line == NULL) {
        errno = ENOMEM;
        return -1;
    }
    int len = snprintf(line, size, "name=%s value=%llu mode=%o dir=%s\n", req->name,
                       (unsigned long long)req->value, (unsigned int)req->mode, dir);
    int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    int ok = out >= 0 && write(out, line, (size_t)len) == len;
    int e = errno;
    if (out >= 0)
        close(out);
    free(line);
    if (!ok) {
        errno = e != 0 ? e : EIO;
        return -1;
    }
    return 0;
}

SIM_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    const char *log = getenv("KXHOSTSIM_LOG");
    if (request == NODE_REQUEST && log != NULL && *log != '\0')
        return record_request(fd, (const struct node_request *)arg);
    ioctl_fn real = next_ioctl();
    if (real == NULL)
        return missing();
    return real(fd, request, arg);
}
