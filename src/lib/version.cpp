// The area's version link "VERSION": reading it, replacing it atomically,
// the small format number host tools ask for, and the package tool's
// verification of a container's template area before an upgrade. The link
// is reached through the tree directory's descriptor; the path forms open
// the directory they are given.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "area.h"
#include "host.h"
#include "libkxctl.h"
#include "libkxfsutil.h"
#include "process.h"
#include "messages.h"

namespace {

constexpr size_t kVersionMax = KXFS_VERSION_BUF - 1;
constexpr const char *kLinkName = "VERSION";
constexpr const char *kTempName = "VERSION.bak.bak";

// The link's path as messages show it.
std::string shown(const char *dir_shown, const char *name) {
    return kx::shown_path(dir_shown, name);
}

// Reads the link VERSION of dirfd into text (at most kVersionMax bytes).
ssize_t read_version_link(int dirfd, char *text) {
    return ::readlinkat(dirfd, kLinkName, text, kVersionMax);
}

}  // namespace

int read_kxfs_version(const char *dir, char *buf) {
    if (dir == nullptr || buf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    kx::Fd fd(::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok()) {
        werror(errno, "Can't read version kxfs '%s'", shown(dir, kLinkName).c_str());
        return -1;
    }
    return read_kxfs_version_at(fd.get(), buf, dir);
}

int read_kxfs_version_at(int dirfd, char *buf, const char *dir_shown) {
    if (buf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    char text[kVersionMax];
    ssize_t n = read_version_link(dirfd, text);
    if (n < 0) {
        werror(errno, "Can't read version kxfs '%s'", shown(dir_shown, kLinkName).c_str());
        return -1;
    }
    std::memcpy(buf, text, static_cast<size_t>(n));
    buf[n] = '\0';
    return static_cast<int>(n);
}

void rewrite_kxfs_version(const char *dir, const char *text) {
    kx::Fd fd(::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok())
        error(1, errno, "can't create temprorary symlink '%s'", shown(dir, kTempName).c_str());
    rewrite_kxfs_version_at(fd.get(), text, dir);
}

void rewrite_kxfs_version_at(int dirfd, const char *text, const char *dir_shown) {
    const std::string link = shown(dir_shown, kLinkName);
    const std::string temp = shown(dir_shown, kTempName);
    // A temporary link of our own name left by an interrupted run would
    // block every later rewrite, and with it a resumed upgrade.
    struct stat st;
    if (::fstatat(dirfd, kTempName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        ::unlinkat(dirfd, kTempName, 0);
    if (::symlinkat(text, dirfd, kTempName) != 0)
        error(1, errno, "can't create temprorary symlink '%s'", temp.c_str());
    if (::renameat(dirfd, kTempName, dirfd, kLinkName) != 0) {
        int err = errno;
        ::unlinkat(dirfd, kTempName, 0);
        error(1, err, "can't rename symlink '%s' to '%s'", temp.c_str(), link.c_str());
    }
    // Makes the finished rename durable; a failure here changes nothing.
    kx::Fd sync(::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sync.ok())
        ::fsync(sync.get());
}

int kxfs_version(const char *area) {
    if (area == nullptr)
        return -1;
    int layout = kxctl_env_layout_version(area);
    if (layout > 4)
        return 0;
    // The tree of a layout-4 area is its "fs", reached without a link.
    std::string dir = layout == 4 ? kx::join(area, "fs") : std::string(area);
    std::string link = kx::join(dir, kLinkName);
    kx::Fd fd(::open(area, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok() && layout == 4)
        fd = kx::Fd(kx::open_beneath(fd.get(), "fs", O_PATH | O_DIRECTORY));
    char text[KXFS_VERSION_BUF];
    ssize_t n = fd.ok() ? read_version_link(fd.get(), text) : -1;
    if (n < 0) {
        werror(errno, "Can't read kxfs version link '%s'", link.c_str());
        return -3;
    }
    text[n] = '\0';
    if (std::strcmp(text, "005.004") == 0)
        return 4;
    int order = std::strcmp(text, "005.003");
    if (order == 0)
        return 3;
    return order < 0 ? 2 : 0;
}

int check_template_area_kxfs3(int veid) {
    std::vector<std::string> argv = {kx::host_path(kx::kPackageTool), "verify", "area",
                                     std::to_string(veid)};
    if (kx::trace_on(4))
        debug_print(4, "executing '%s'\n", kx::command_text(argv).c_str());
    // A tool that cannot be started answers like the shell's "not found",
    // which refuses the upgrade just as a failed verification does.
    return kx::run_command(argv, 0).status;
}
