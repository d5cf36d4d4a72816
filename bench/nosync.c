/* Benchmarks only: preloaded to turn a tool's syncs into no-ops, so that a
 * run can be set beside the same run with them; counts the syncs asked for
 * and writes the count to the file named by KXFS_NOSYNC_COUNT at exit.
 * Never installed, never in a test. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static unsigned long asked;

int fsync(int fd) {
    (void)fd;
    __atomic_add_fetch(&asked, 1, __ATOMIC_RELAXED);
    return 0;
}

int fdatasync(int fd) {
    (void)fd;
    __atomic_add_fetch(&asked, 1, __ATOMIC_RELAXED);
    return 0;
}

int syncfs(int fd) {
    (void)fd;
    __atomic_add_fetch(&asked, 1, __ATOMIC_RELAXED);
    return 0;
}

void sync(void) {
    __atomic_add_fetch(&asked, 1, __ATOMIC_RELAXED);
}

__attribute__((destructor)) static void report(void) {
    const char *path = getenv("KXFS_NOSYNC_COUNT");
    FILE *f = path ? fopen(path, "w") : NULL;
    if (f) {
        fprintf(f, "%lu\n", asked);
        fclose(f);
    }
}
