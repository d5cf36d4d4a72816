// The state of a check: the actions the command line chose, the paths of
// the area and the template directory, the area handle through which
// every entry is reached, the cow naming scheme and the package data. Kept
// apart from the command line (kxfsutil.cpp), so that another program can
// run the scan with the state set by its own means.
//
// The program-wide paths are absolute and physical, set once and never
// freed. The area's paths come from its handle: the area path the operator
// gave, and below it only real directories opened without a link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base.h"
#include "check.h"

int progress = 0;
int veid = 0;
int vefs_version = 0;
int corr_act[4] = {ACT_UNSET, ACT_UNSET, ACT_UNSET, ACT_UNSET};
int opt_act[4] = {ACT_UNSET, ACT_UNSET, ACT_UNSET, ACT_UNSET};
char *curr_path = nullptr;
char *temp_dir = nullptr;
char *fs_priv_dir = nullptr;
char *root_dir = nullptr;
char *cow_dir = nullptr;
struct kxfs_area *area = nullptr;
char area_version[KXFS_VERSION_BUF] = "";
const struct check_observer *observer = nullptr;
bool change_failed = false;

void use_area(struct kxfs_area *handle) {
    area = handle;
    set_current_area(handle);
    fs_priv_dir = handle->tree.path;
    root_dir = handle->root.path;
    cow_dir = handle->cow.path;
}

int is_regular_file(const char *path, struct stat *st) {
    if (::lstat(path, st) != 0)
        return -1;
    return S_ISREG(st->st_mode) ? 1 : 0;
}

int is_directory(const char *path, struct stat *st) {
    if (::lstat(path, st) != 0)
        return -1;
    return S_ISDIR(st->st_mode) ? 1 : 0;
}

char *vefs_path_to_name(const char *text) {
    switch (vefs_version) {
    case 1:
        return md5_name(text);
    case 0:
        return legacy_name(text);
    default:
        KX_BUG();
        return nullptr;
    }
}

void check_area_version(void) {
    vefs_version = 0;
    area_version[0] = '\0';
    char text[KXFS_VERSION_BUF];
    if (read_kxfs_version_at(area->tree.fd, text, fs_priv_dir) <= 0)
        return;
    std::memcpy(area_version, text, sizeof area_version);
    if ((get_option() & OPT_UPGRADE) && std::strcmp(text, "005.003") != 0 &&
        std::strcmp(text, "999.999") != 0)
        error(1, 0, "Version of private area '%s' is not upgradable", text);
    vefs_version = std::strncmp(text, "005.003", 8) < 0 ? 0 : 1;
}

bool cow_naming_confirmed(void) {
    return area_version[0] != '\0';
}

void note_failed_change(void) {
    change_failed = true;
}

// Both readers take the file only when it is a regular file reached without
// a link; the prefix is not looked for at all without such a "ve.conf".
void load_package_data(void) {
    read_templates_at(area->area.fd, "templates/kxpackages", area->area.path);
    struct stat st;
    if (::fstatat(area->area.fd, "ve.conf", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode))
        get_os_prefix_at(area->area.fd, "ve.conf", area->area.path);
}

const char *relative_name(const char *path, const char *base) {
    if (path == nullptr || base == nullptr)
        return path;
    size_t n = std::strlen(base);
    if (std::strncmp(path, base, n) == 0 && path[n] == '/')
        return path + n + 1;
    return path;
}
