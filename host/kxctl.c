/* Stand-in for the host's container-control library, built when the host
 * has none. It answers the layout version of a private area:
 *  - the number written in a file ".layout" in the path or in the nearest
 *    directory above it that has one;
 *  - else 4 when path/fs is a directory holding a "VERSION" entry;
 *  - else 3. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "libkxctl.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Reads the number in dir/.layout; 1 and *version set when there is one. */
static int read_layout_file(const char *dir, int *version)
{
    size_t len = strlen(dir);
    char *file = malloc(len + sizeof "/.layout");
    if (file == NULL)
        return 0;
    memcpy(file, dir, len);
    strcpy(file + len, "/.layout");
    /* Non-blocking and regular files only: a fifo named .layout must not
     * hang the caller. */
    int fd = open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    free(file);
    if (fd < 0)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 0;
    }
    char buf[32];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    char *end;
    errno = 0;
    long v = strtol(buf, &end, 10);
    if (end == buf || errno != 0 || v < INT_MIN || v > INT_MAX)
        return 0;
    *version = (int)v;
    return 1;
}

int kxctl_env_layout_version(const char *path)
{
    if (path == NULL || *path == '\0')
        return 3;
    size_t len = strlen(path);
    char *dir = malloc(len + sizeof "/fs/VERSION");
    if (dir == NULL)
        return 3;
    memcpy(dir, path, len + 1);
    while (len > 1 && dir[len - 1] == '/')
        dir[--len] = '\0';

    /* From the path up to the root, the nearest .layout wins; the root
     * itself is tried as "" so that the file name becomes "/.layout". */
    int version;
    for (;;) {
        const char *probe = strcmp(dir, "/") == 0 ? "" : dir;
        if (read_layout_file(probe, &version)) {
            free(dir);
            return version;
        }
        char *slash = strrchr(dir, '/');
        if (slash == NULL || *probe == '\0')
            break;
        if (slash == dir)
            dir[1] = '\0';
        else
            *slash = '\0';
    }

    /* path/fs must itself be a directory, not a link to one. */
    memcpy(dir, path, len);
    strcpy(dir + len, "/fs");
    struct stat st;
    int has_tree = lstat(dir, &st) == 0 && S_ISDIR(st.st_mode);
    strcpy(dir + len, "/fs/VERSION");
    has_tree = has_tree && lstat(dir, &st) == 0;
    free(dir);
    return has_tree ? 4 : 3;
}
