// The way into a private area: one handle with descriptors of the area, its
// KXFS tree ("fs" for layout 4), "root", "cow" and, on demand, "lost_files".
// The area path is the operator's and is opened as given; everything below
// it is opened without following any link, so a container that replaced a
// top directory by a link, a file or a device is refused before anything
// changes. Also the process-wide current area of the lost-and-found moves,
// the exported open_beneath and the template boundary of a pointer.
#include "area.h"
#include "libkxctl.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct kxfs_area *current_area = nullptr;

constexpr const char *kLostName = "lost_files";

void clear_dir(struct kxfs_area_dir &d) {
    d.fd = -1;
    d.error = 0;
    d.unsafe = 0;
    d.path = nullptr;
}

void close_dir(struct kxfs_area_dir &d) {
    if (d.fd >= 0)
        ::close(d.fd);
    std::free(d.path);
    clear_dir(d);
}

// Opens name below parent as a real directory. What is there but is no
// directory (a link included) is unsafe; an absent name is only absent.
void open_dir(struct kxfs_area_dir &d, const struct kxfs_area_dir &parent, const char *name) {
    d.path = xstring2('/', parent.path, name);
    if (parent.fd < 0) {
        d.error = parent.error != 0 ? parent.error : ENOENT;
        return;
    }
    d.fd = kx::open_beneath(parent.fd, name, O_RDONLY | O_DIRECTORY);
    if (d.fd >= 0)
        return;
    d.error = errno;
    struct stat st;
    if (::fstatat(parent.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
        d.unsafe = 1;
}

// The area path as messages show it: without slashes at its end.
char *area_path(const char *path) {
    std::string_view p(path);
    while (p.size() > 1 && p.back() == '/')
        p.remove_suffix(1);
    return xstrdup(std::string(p).c_str());
}

}  // namespace

extern "C" {

struct kxfs_area *open_area(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto *a = static_cast<struct kxfs_area *>(xmalloc(sizeof(struct kxfs_area)));
    clear_dir(a->area);
    clear_dir(a->tree);
    clear_dir(a->root);
    clear_dir(a->cow);
    a->lost_fd = -1;
    a->area.fd = fd;
    a->area.path = area_path(path);
    a->layout = kxctl_env_layout_version(a->area.path);
    if (a->layout == 4) {
        open_dir(a->tree, a->area, "fs");
    } else {
        a->tree.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        a->tree.error = a->tree.fd < 0 ? errno : 0;
        a->tree.path = xstrdup(a->area.path);
    }
    open_dir(a->root, a->tree, "root");
    open_dir(a->cow, a->tree, "cow");
    return a;
}

void close_area(struct kxfs_area *area) {
    if (area == nullptr)
        return;
    if (current_area == area)
        current_area = nullptr;
    close_dir(area->area);
    close_dir(area->tree);
    close_dir(area->root);
    close_dir(area->cow);
    if (area->lost_fd >= 0)
        ::close(area->lost_fd);
    std::free(area);
}

const struct kxfs_area_dir *unsafe_area_dir(const struct kxfs_area *area) {
    if (area == nullptr)
        return nullptr;
    for (const struct kxfs_area_dir *d : {&area->tree, &area->root, &area->cow}) {
        if (d->unsafe)
            return d;
    }
    return nullptr;
}

void refuse_unsafe_area(const struct kxfs_area *area) {
    const struct kxfs_area_dir *d = unsafe_area_dir(area);
    if (d != nullptr)
        error(1, d->error, "Unsafe private area: '%s' is not a real directory", d->path);
}

int open_lost_dir(struct kxfs_area *area, const char *rel) {
    if (area == nullptr || area->area.fd < 0) {
        errno = EINVAL;
        return -1;
    }
    std::vector<std::string_view> parts;
    if (!kx::beneath_components(rel, parts))
        return -1;
    if (area->lost_fd < 0) {
        if (::mkdirat(area->area.fd, kLostName, 0755) != 0 && errno != EEXIST)
            return -1;
        area->lost_fd = kx::open_beneath(area->area.fd, kLostName, O_RDONLY | O_DIRECTORY);
        if (area->lost_fd < 0)
            return -1;
    }
    kx::Fd dir(::fcntl(area->lost_fd, F_DUPFD_CLOEXEC, 0));
    std::string name;
    for (std::string_view part : parts) {
        if (!dir.ok())
            return -1;
        name.assign(part);
        if (::mkdirat(dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
        dir = kx::Fd(kx::open_beneath(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
    }
    return dir.release();
}

void set_current_area(struct kxfs_area *area) {
    current_area = area;
}

struct kxfs_area *get_current_area(void) {
    return current_area;
}

int leaves_template(const char *text) {
    return text != nullptr && kx::leaves_root(text) ? 1 : 0;
}

int open_beneath(int dirfd, const char *path, int flags, unsigned int mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return kx::open_beneath(dirfd, path, flags, static_cast<mode_t>(mode));
}

}  // extern "C"
