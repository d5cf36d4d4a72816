// The least an upgrade of a version 005.003 area must change: every magic
// link below root/ (a link whose text begins with "////") becomes a
// shortcut holding that text, written under a temporary name in the area's
// cow directory, given an owner, a mode with the sticky bit and the link's
// times, and renamed over the link. No template lookups, no journal, no
// checks: a yardstick for the upgrade's changes alone. Not a strict floor:
// which way of writing the shortcut is cheapest varies with the tree's size.
//
//   minconvert [--tmpfile] AREA
//                   --tmpfile: the shortcut is written as an unnamed file
//                   and linked to its temporary name once whole.
//
// Prints the number of entries met and of links converted.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

long entries = 0;
long converted = 0;
int cowfd = -1;
bool unnamed = false;
const char kTmp[] = "minconvert.bak";

bool dot(const char *n) { return n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2])); }

void convert(int dirfd, const char *name, const struct stat &st) {
    char text[4096];
    ssize_t n = ::readlinkat(dirfd, name, text, sizeof text);
    if (n < 4 || std::memcmp(text, "////", 4) != 0)
        return;
    int fd = unnamed ? ::openat(cowfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)
                     : ::openat(cowfd, kTmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror("minconvert: create");
        return;
    }
    struct timespec ts[2] = {st.st_atim, st.st_mtim};
    // Allocated first, as the tools do: the rename then has no delayed
    // blocks to write out.
    (void)::fallocate(fd, 0, 0, n);
    bool ok = ::write(fd, text, static_cast<size_t>(n)) == n &&
              ::fchown(fd, st.st_uid, st.st_gid) == 0 && ::fchmod(fd, 01644) == 0 &&
              ::futimens(fd, ts) == 0;
    if (ok && unnamed)
        ok = ::linkat(fd, "", cowfd, kTmp, AT_EMPTY_PATH) == 0;
    ::close(fd);
    if (!ok || ::renameat(cowfd, kTmp, dirfd, name) != 0) {
        std::perror("minconvert: write or rename");
        ::unlinkat(cowfd, kTmp, 0);
        return;
    }
    converted++;
}

void walk(int fd) {
    std::vector<char> buf(32768);
    std::vector<std::string> dirs;
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buf.data(), buf.size());
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            auto *d = reinterpret_cast<struct dirent64 *>(buf.data() + off);
            off += d->d_reclen;
            if (dot(d->d_name))
                continue;
            entries++;
            struct stat st;
            if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISLNK(st.st_mode))
                convert(fd, d->d_name, st);
            else if (S_ISDIR(st.st_mode))
                dirs.emplace_back(d->d_name);
        }
    }
    for (const std::string &name : dirs) {
        int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            walk(sub);
            ::close(sub);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    unnamed = argc == 3 && std::strcmp(argv[1], "--tmpfile") == 0;
    if (argc != 2 + unnamed) {
        std::fprintf(stderr, "usage: minconvert [--tmpfile] AREA\n");
        return 2;
    }
    int area = ::open(argv[argc - 1], O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int root = area < 0 ? -1 : ::openat(area, "root", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    cowfd = area < 0 ? -1 : ::openat(area, "cow", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root < 0 || cowfd < 0) {
        std::perror("minconvert: open the area's root/ and cow/");
        return 1;
    }
    walk(root);
    std::printf("%ld entries, %ld converted\n", entries, converted);
    return 0;
}
