// The host around an area: its fixed paths, the template tree, the
// configuration reader and the physical path of a directory named by the
// operator.
#ifndef KXFS_HOST_H
#define KXFS_HOST_H

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "base.h"

namespace kx {

// lstat of paths in the template tree, keeping the directory of the last
// one open: the pointers of one area directory mostly name objects of one
// template directory, whose long path is then resolved once. The directory
// part is opened as a path lookup resolves it (the template is the host's,
// its links are followed as lstat follows them); a name that is not plain,
// or a directory that cannot be opened, is left to lstat itself.
class TemplateLookup {
public:
    int lstat(const std::string &path, struct stat *st) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return ::lstat(path.c_str(), st);
        const char *leaf = path.c_str() + slash + 1;
        if (*leaf == '\0' || is_dot_or_dotdot(leaf))
            return ::lstat(path.c_str(), st);
        std::string_view dir(path.data(), slash);
        if (!fd_.ok() || dir_ != dir) {
            dir_.assign(dir);
            fd_ = Fd(::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!fd_.ok())
                return ::lstat(path.c_str(), st);
        }
        return ::fstatat(fd_.get(), leaf, st, AT_SYMLINK_NOFOLLOW);
    }

private:
    std::string dir_;
    Fd fd_;
};

// The absolute physical path of an existing directory (chdir into it,
// getcwd, chdir back to back); every failure is fatal with the program's
// name in the message, as the tools report it.
inline char *physical_dir(const char *program, const char *path, const char *back) {
    if (::chdir(path) != 0)
        error(1, errno, "%s: can't chdir '%s'", program, path);
    char *dir = ::getcwd(nullptr, 0);
    if (dir == nullptr)
        error(1, errno, "%s: can't getcwd", program);
    if (::chdir(back) != 0)
        error(1, errno, "%s: can't chdir '%s'", program, back);
    return dir;
}

// The library's reader of one configuration parameter (config.cpp) from an
// open file, shown as file in its traces: a heap copy of the value, or null.
char *read_config_param(FILE *in, const char *file, const char *name);

// Fixed paths of the host. A testing build lets KXFS_TEST_HOST_ROOT put all
// of them below another directory; a default build has no environment lookup.
inline constexpr const char *kTemplateRoot = "/kx/template";
inline constexpr const char *kConfigDir = "/etc/sysconfig/kx-scripts";
inline constexpr const char *kProcMounts = "/proc/mounts";
inline constexpr const char *kQuotaTool = "/usr/sbin/kxquota";
inline constexpr const char *kPackageTool = "/usr/sbin/kxpkg";

inline std::string host_path(const char *fixed) {
#ifdef KXFS_TESTING
    const char *root = std::getenv("KXFS_TEST_HOST_ROOT");
    if (root && *root)
        return std::string(root) + fixed;
#endif
    return fixed;
}

}  // namespace kx

#endif
