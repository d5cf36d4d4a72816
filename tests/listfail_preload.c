/* Listing fault maker, preloaded into a tool after the host simulator: the
 * listing of every directory of a configured name fails part way, as
 * readdir does when the getdents64 under it fails (NULL with errno set).
 *
 * Environment (nothing happens without KXLISTFAIL_NAME):
 *  - KXLISTFAIL_NAME   final path component of the directories whose
 *                      listings fail;
 *  - KXLISTFAIL_AFTER  entries a listing still yields before it fails
 *                      (0 when unset), "." and ".." counted;
 *  - KXLISTFAIL_ERRNO  the error number (EIO when unset). */

#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define LISTFAIL_EXPORT __attribute__((visibility("default")))

/* Entries handed out so far by the streams being watched. */
#define WATCHED 64
static struct {
    DIR *dir;
    long yielded;
} watched[WATCHED];

/* Whether the stream d lists a directory of the configured name. */
static int is_target(DIR *d)
{
    const char *name = getenv("KXLISTFAIL_NAME");
    if (name == NULL || *name == '\0')
        return 0;
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(d));
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return 0;
    path[n] = '\0';
    const char *slash = strrchr(path, '/');
    return slash != NULL && strcmp(slash + 1, name) == 0;
}

/* The slot of d (made on its first read), or -1 when d is not watched. */
static int slot_of(DIR *d)
{
    int free_slot = -1;
    for (int i = 0; i < WATCHED; ++i) {
        if (watched[i].dir == d)
            return i;
        if (watched[i].dir == NULL && free_slot < 0)
            free_slot = i;
    }
    if (free_slot < 0 || !is_target(d))
        return -1;
    watched[free_slot].dir = d;
    watched[free_slot].yielded = 0;
    return free_slot;
}

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

/* Nonzero when the next entry of d is to fail. */
static int fails_now(DIR *d)
{
    int saved = errno;
    pthread_mutex_lock(&lock);
    int slot = slot_of(d);
    int fail = 0;
    if (slot >= 0) {
        const char *after = getenv("KXLISTFAIL_AFTER");
        if (watched[slot].yielded < (after ? atol(after) : 0))
            watched[slot].yielded++;
        else
            fail = 1;
    }
    pthread_mutex_unlock(&lock);
    const char *err = getenv("KXLISTFAIL_ERRNO");
    errno = fail ? (err ? atoi(err) : EIO) : saved;
    return fail;
}

static void *next_symbol(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

LISTFAIL_EXPORT struct dirent *readdir(DIR *d)
{
    static struct dirent *(*real)(DIR *);
    if (real == NULL)
        real = (struct dirent * (*)(DIR *)) next_symbol("readdir");
    return fails_now(d) ? NULL : real(d);
}

LISTFAIL_EXPORT struct dirent64 *readdir64(DIR *d)
{
    static struct dirent64 *(*real)(DIR *);
    if (real == NULL)
        real = (struct dirent64 * (*)(DIR *)) next_symbol("readdir64");
    return fails_now(d) ? NULL : real(d);
}

LISTFAIL_EXPORT int closedir(DIR *d)
{
    static int (*real)(DIR *);
    if (real == NULL)
        real = (int (*)(DIR *))next_symbol("closedir");
    pthread_mutex_lock(&lock);
    for (int i = 0; i < WATCHED; ++i) {
        if (watched[i].dir == d)
            watched[i].dir = NULL;
    }
    pthread_mutex_unlock(&lock);
    return real(d);
}
