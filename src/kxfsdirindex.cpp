// kxfsdirindex: prepares an unmounted private area for KXFS by giving its
// directories dirindex files.
//
// Two passes over the area's root tree:
//  1. hard-link repointing in three system directories: magic entries that
//     are hard links of one another and point into the template under a
//     name other than their own become shortcuts of their own, pointing at
//     the template file that bears their own name (process_hardlinks);
//  2. indexing: every directory that is not yet template-backed gets its
//     dirindex from create_dirindex, parents before children (scan_dir).
// Every path kept across steps is absolute: both passes change directory.
#include "libkxfsutil.h"
#include "libkxctl.h"
#include "internal.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *program_name = "kxfsdirindex";
constexpr const char *program_version = "1.0.0";

constexpr int OPT_TEMPLATE_DIR = 0x1;
constexpr int OPT_PARSED = 0x2;
constexpr int OPT_QUIET = 0x8;
constexpr int OPT_MAGIC_TO_SHORTCUT = 0x10;

char *curr_path;
char *temp_dir;
char *root_dir;
int option;
int progress;  // accepted for compatibility; this tool prints no progress

// The walk record of the indexing pass.
struct {
    int dirs;
    struct dir_node *head;
} info;

#define TRACE(...)                                  \
    do {                                            \
        if (kxfsutil_debug_level > 3)               \
            debug_print(4, __VA_ARGS__);            \
    } while (0)

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "%s [-hqvV] -t <template_dir> <ct_private_dir>\n"
                 "\t\t-V   print version\n"
                 "\t\t-v   verbose mode\n"
                 "\t\t-q   quiet mode\n"
                 "\t\t-h   show this help message\n",
                 program_name);
    std::exit(2);
}

// The absolute physical path of an existing directory.
char *physical_dir(const char *path) {
    return kx::physical_dir(program_name, path, curr_path);
}

void parse_args(int argc, char **argv) {
    static const struct option long_options[] = {
        {"progress", no_argument, nullptr, 'p'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},  {"quiet", no_argument, nullptr, 'q'},
        {"magic", no_argument, nullptr, 'm'},    {nullptr, 0, nullptr, 0}};
    kxfsutil_debug_level = 3;
    int c;
    while ((c = getopt_long(argc, argv, "hqvVmi:t:p", long_options, nullptr)) != -1) {
        switch (c) {
        case 'V':
            std::printf("%s version %s\n", program_name, program_version);
            std::exit(0);
        case 'v':
            kxfsutil_debug_level++;
            break;
        case 'q':
            kxfsutil_debug_level = 1;
            option |= OPT_QUIET;
            break;
        case 'm':
            option |= OPT_MAGIC_TO_SHORTCUT;
            break;
        case 'p':
            progress = 1;
            break;
        case 't':
            option |= OPT_TEMPLATE_DIR;
            temp_dir = physical_dir(optarg);
            break;
        case 'i':
            break;
        default:
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    option |= OPT_PARSED;
    priv_dir = physical_dir(argv[optind]);
    if (kxctl_env_layout_version(priv_dir) == 4) {
        std::string fs = kx::join(priv_dir, "fs");
        std::free(priv_dir);
        priv_dir = physical_dir(fs.c_str());
    }
    if (!(option & OPT_TEMPLATE_DIR))
        usage();
}

void check_area_version() {
    char version[KXFS_VERSION_BUF] = {};
    if (read_kxfs_version(priv_dir, version) <= 0)
        error(1, 0, "Can't read kxfs version");
    static const unsigned char oldest[8] = {'0', '0', '5', '.', '0', '0', '4', '\0'};
    if (std::memcmp(version, oldest, sizeof oldest) < 0)
        error(1, 0, "Unsupported kxfs version");
}

void push_dir(std::string path) {
    auto *node = static_cast<struct dir_node *>(xmalloc(sizeof(struct dir_node)));
    node->path = xstrdup(path.c_str());
    node->next = info.head;
    info.head = node;
    info.dirs++;
    TRACE("Push dir %s\n", node->path);
}

// Decides whether the working directory gets an index: not when it is
// template-backed already or its reserved entry is something unexpected.
bool needs_index(const char *path, const struct stat &dir) {
    struct stat marker;
    if (lstat(DIRINDEX_NAME, &marker) != 0)
        return true;
    bool pointer = S_ISLNK(marker.st_mode) || S_ISREG(marker.st_mode);
    if ((dir.st_mode & S_ISUID) && pointer) {
        TRACE("magic dir :%s:\n", path);
        return false;
    }
    if (!pointer) {
        TRACE("%s/%s exist \n", path, DIRINDEX_NAME);
        return false;
    }
    // A marker without the directory mark is left over from an interrupted run.
    if (unlink(DIRINDEX_NAME) != 0)
        error(1, errno, "Kxfsdirindex: can't remove '%s'", DIRINDEX_NAME);
    TRACE("symlink %s/%s was removed \n", path, DIRINDEX_NAME);
    return true;
}

void scan_dir(const char *path) {
    TRACE("Scan dir start :%s:\n", path);
    if (chdir(path) != 0)
        error(1, errno, "Kxfsdirindex: can't chdir '%s'", path);
    struct stat dir;
    if (lstat(".", &dir) != 0)
        error(1, errno, "Kxfsdirindex: can't stat '%s'", ".");
    if (needs_index(path, dir) &&
        create_dirindex(".", DIRINDEX_NAME, temp_dir, option) == 1)
        error(1, errno, "Kxfsdirindex: during create dirindex for '%s'", path);

    // Listed after indexing, so the entries the index took over are gone.
    kx::Dir listing(opendir(path));
    if (!listing.ok())
        error(1, errno, "Kxfsdirindex: opendir '%s'", path);
    while (struct dirent *entry = readdir(listing.get())) {
        if (kx::is_dot_or_dotdot(entry->d_name))
            continue;
        struct stat st;
        if (lstat(entry->d_name, &st) != 0)
            error(1, errno, "Kxfsdirindex: lstat `%s/%s'", path, entry->d_name);
        if (S_ISDIR(st.st_mode))
            push_dir(*path ? kx::join(path, entry->d_name) : std::string(entry->d_name));
    }
    listing.close();
    TRACE("Scan dir end :%s:\n", path);
    if (chdir(curr_path) != 0)
        error(1, errno, "Kxfsdirindex: can't chdir '%s'", curr_path);
}

void scan_mount_point() {
    TRACE("Scan mount point begin:%s:\n", root_dir);
    scan_dir(root_dir);
    while (struct dir_node *node = info.head) {
        info.head = node->next;
        scan_dir(node->path);
        std::free(node->path);
        std::free(node);
    }
    if (chdir(curr_path) != 0)
        error(1, errno, "Kxfsdirindex: chdir '%s'", curr_path);
    TRACE("Scan mount point %s end\n", root_dir);
}

// True when every component of rel below root is a real directory: the
// pass must never walk out of the area through a link the container made.
bool is_area_directory(const std::string &root, const char *rel) {
    std::string path = root;
    for (const char *p = rel; *p;) {
        const char *end = std::strchr(p, '/');
        size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        path.append(1, '/').append(p, len);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        p += len;
        if (*p == '/')
            ++p;
    }
    return true;
}

// The candidate text t up to its last slash, a slash and the name of r.
std::string sibling_candidate(const std::string &t, const std::string &r) {
    std::string dir = t.substr(0, t.rfind('/'));
    return dir + "/" + r.substr(r.rfind('/') + 1);
}

// The leading slashes and first four components of t, a slash and r; empty
// when nothing follows the fourth component.
std::string template_root_candidate(const std::string &t, const std::string &r) {
    size_t i = t.find_first_not_of('/');
    for (int component = 0; component < 4 && i != std::string::npos && i < t.size(); ++component) {
        i = t.find('/', i);
        if (i == std::string::npos)
            return {};
        i = t.find_first_not_of('/', i);
    }
    if (i == std::string::npos || i >= t.size())
        return {};
    size_t cut = t.find_last_not_of('/', i - 1);
    return t.substr(0, cut + 1) + "/" + r;
}

// The candidate names the same template inode with the entry's attributes.
bool candidate_matches(const std::string &candidate, ino_t ino, const struct stat *entry) {
    std::string path = std::string(temp_dir) + "/" + candidate;
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && st.st_ino == ino && compare_stat(entry, &st);
}

}  // namespace

// Walk callback of the hard-link pass: data is the walked directory
// relative to the area root, path the entry relative to it.
extern "C" KXFS_EXTERN int repoint_hardlink(void *data, const char *path, const char *text,
                                            int flags, const struct stat *st) {
    if (!(flags & (SCAN_SHORTCUT | SCAN_MAGIC_LINK)) ||
        (flags & (SCAN_DIR_INDEXED | SCAN_DIR_LINKED)) || text == nullptr || st->st_nlink == 1)
        return 0;
    const std::string t = text;
    const std::string r = kx::join(static_cast<const char *>(data), path);
    if (r.size() >= t.size() || t.compare(t.size() - r.size(), r.size(), r) == 0)
        return 0;
    if (check_eattr(path) != 0)
        return 0;

    std::string target = std::string(temp_dir) + "/" + t;
    struct stat tst;
    if (lstat(target.c_str(), &tst) != 0) {
        werror(errno, "can't lstat '%s'", target.c_str());
        return 0;
    }
    std::string candidate = sibling_candidate(t, r);
    if (!candidate_matches(candidate, tst.st_ino, st)) {
        candidate = template_root_candidate(t, r);
        if (candidate.empty() || !candidate_matches(candidate, tst.st_ino, st))
            return 0;
    }
    // The entry becomes a shortcut of its own: a regular file with the
    // sticky bit, whatever it was (a magic link carries no sticky bit).
    struct stat attrs = *st;
    attrs.st_mode = S_IFREG | (st->st_mode & 07777) | S_ISVTX;
    return make_shortcut(path, candidate.c_str(), static_cast<int>(candidate.size()), &attrs);
}

namespace {

void process_hardlinks() {
    static const char *const dirs[] = {"usr/lib/locale", "usr/share/zoneinfo",
                                       "usr/share/terminfo"};
    TRACE("Process hardlinks begin\n");
    for (const char *d : dirs) {
        if (!is_area_directory(root_dir, d))
            continue;
        std::string p = kx::join(root_dir, d);
        TRACE("process hardlinks %s:\n", p.c_str());
        if (scan_private(p.c_str(), repoint_hardlink, const_cast<char *>(d)) != 0)
            break;
    }
    TRACE("Process hardlinks end\n");
}

}  // namespace

int main(int argc, char **argv) {
    curr_path = getcwd(nullptr, 0);
    if (curr_path == nullptr)
        error(1, errno, "%s: can't getcwd", program_name);
    parse_args(argc, argv);
    if (!check_support_fs(priv_dir))
        error(1, 0, "Private area is based on hdimage device. KXFS is prohibited.");
    if (check_mount_kxfs(priv_dir))
        error(1, errno, "Private area is mounted. Please, umount private area");
    check_area_version();
    root_dir = xstring2('/', priv_dir, "root");
    info = {};
    process_hardlinks();
    scan_mount_point();
    return 0;
}
