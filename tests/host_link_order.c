/* A host program that has the C library ahead of libkxfsutil in its lookup
 * order (it dlopens the library, or links it after libc) must still get the
 * library's own fatal error: "Error: " on stderr, the log record written
 * through set_log, and the exit status. The C library has an error() of the
 * same signature that does neither. Built twice: with KX_DLOPEN the library
 * path is argv[1]; without it the program links libc first. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef KX_DLOPEN
#include "libkxfsutil.h"
#endif

typedef void (*set_log_fn)(int, const char *, const char *);
typedef void (*rewrite_fn)(const char *, const char *);

static int failures;

static void expect(int ok, const char *what, const char *seen) {
    if (!ok) {
        fprintf(stderr, "FAIL: %s\n  seen: [%s]\n", what, seen ? seen : "(nothing)");
        ++failures;
    }
}

static char *slurp(const char *path) {
    static char buf[8192];
    int fd = open(path, O_RDONLY);
    ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf - 1);
    if (fd >= 0)
        close(fd);
    if (n < 0)
        return NULL;
    buf[n] = '\0';
    return buf;
}

#ifndef KX_DLOPEN
/* The order in which the dynamic linker searches the loaded objects. */
static int rank_libc = -1, rank_lib = -1, rank_now;
static int note_object(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    (void)data;
    if (strstr(info->dlpi_name, "/libc.so") && rank_libc < 0)
        rank_libc = rank_now;
    if (strstr(info->dlpi_name, "/libkxfsutil.so") && rank_lib < 0)
        rank_lib = rank_now;
    ++rank_now;
    return 0;
}
#endif

int main(int argc, char **argv) {
    set_log_fn set_log_p;
    rewrite_fn rewrite_p;
#ifdef KX_DLOPEN
    if (argc != 2) {
        fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "FAIL: dlopen: %s\n", dlerror());
        return 1;
    }
    set_log_p = (set_log_fn)dlsym(lib, "set_log");
    rewrite_p = (rewrite_fn)dlsym(lib, "rewrite_kxfs_version");
    if (!set_log_p || !rewrite_p) {
        fprintf(stderr, "FAIL: dlsym: %s\n", dlerror());
        return 1;
    }
#else
    (void)argc;
    (void)argv;
    set_log_p = set_log;
    rewrite_p = rewrite_kxfs_version;
    dl_iterate_phdr(note_object, NULL);
    if (rank_libc < 0 || rank_lib < 0 || rank_libc > rank_lib) {
        fprintf(stderr, "FAIL: the C library is not searched before libkxfsutil\n");
        return 1;
    }
#endif

    char dir[] = "/tmp/kxlinkorder.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    char log[64], err[64], area[64], expected[256];
    snprintf(log, sizeof log, "%s/log", dir);
    snprintf(err, sizeof err, "%s/err", dir);
    snprintf(area, sizeof area, "%s/missing", dir);

    /* Replacing the version link of a directory that does not exist is
     * fatal inside the library. */
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, 2) < 0)
            _exit(98);
        set_log_p(2, log, "hostprog");
        rewrite_p(area, "005.004");
        _exit(99);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    char code[32];
    snprintf(code, sizeof code, "%d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    expect(WIFEXITED(status) && WEXITSTATUS(status) == 1, "exit status 1", code);

    snprintf(expected, sizeof expected,
             "Error: can't create temprorary symlink '%s/VERSION.bak.bak': %s\n", area,
             strerror(2));
    char *text = slurp(err);
    expect(text && strcmp(text, expected) == 0, "the library's fatal message on stderr", text);

    snprintf(expected, sizeof expected,
             " hostprog : can't create temprorary symlink '%s/VERSION.bak.bak'\n", area);
    text = slurp(log);
    size_t n = text ? strlen(text) : 0, m = strlen(expected);
    expect(n > m && strcmp(text + n - m, expected) == 0 && strchr(text, '\n') == text + n - 1,
           "one log record of the fatal message", text);

    unlink(log);
    unlink(err);
    rmdir(dir);
    return failures ? 1 : 0;
}
