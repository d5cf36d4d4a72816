// The area's version link "VERSION": reading it, replacing it atomically,
// the small format number host tools ask for, and the package tool's
// verification of a container's template area before an upgrade.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "libkxctl.h"
#include "libkxfsutil.h"
#include "process.h"

namespace {

constexpr size_t kVersionMax = KXFS_VERSION_BUF - 1;

// Makes a finished rename durable; a failure here changes nothing visible.
void sync_dir(const char *dir) {
    kx::Fd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok())
        ::fsync(fd.get());
}

}  // namespace

int read_kxfs_version(const char *dir, char *buf) {
    if (dir == nullptr || buf == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string link = kx::join(dir, "VERSION");
    char text[kVersionMax];
    ssize_t n = ::readlink(link.c_str(), text, sizeof text);
    if (n < 0) {
        werror(errno, "Can't read version kxfs '%s'", link.c_str());
        return -1;
    }
    std::memcpy(buf, text, static_cast<size_t>(n));
    buf[n] = '\0';
    return static_cast<int>(n);
}

void rewrite_kxfs_version(const char *dir, const char *text) {
    char *link = xstring2('/', dir, "VERSION");
    char *temp = xstring3('.', link, "bak", "bak");
    // A temporary link of our own name left by an interrupted run would
    // block every later rewrite, and with it a resumed upgrade.
    struct stat st;
    if (::lstat(temp, &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(temp);
    if (::symlink(text, temp) != 0)
        error(1, errno, "can't create temprorary symlink '%s'", temp);
    if (::rename(temp, link) != 0) {
        int err = errno;
        ::unlink(temp);
        error(1, err, "can't rename symlink '%s' to '%s'", temp, link);
    }
    sync_dir(dir);
    std::free(link);
    std::free(temp);
}

int kxfs_version(const char *area) {
    if (area == nullptr)
        return -1;
    int layout = kxctl_env_layout_version(area);
    if (layout > 4)
        return 0;
    std::string link = layout == 4 ? kx::join(area, "fs") : std::string(area);
    link = kx::join(link, "VERSION");
    char text[KXFS_VERSION_BUF];
    ssize_t n = ::readlink(link.c_str(), text, kVersionMax);
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
    if (kxfsutil_debug_level >= 4)
        debug_print(4, "executing '%s'\n", kx::command_text(argv).c_str());
    // A tool that cannot be started answers like the shell's "not found",
    // which refuses the upgrade just as a failed verification does.
    return kx::run_command(argv, 0).status;
}
