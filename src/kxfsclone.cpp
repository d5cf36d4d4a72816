// kxfsclone: reproduces the private area of one container as the private
// area of another, with a container identifier (uuid) of its own, and clones
// the source's cache area by hard links; or, with -c, gives one container a
// new uuid and corrects its own area in place.
//
// Run order: command line; source area made physical; refusal of an
// hdimage-based area (and, when correcting, of a mounted one); destination
// area; uuids (a generated one is recorded in a clone's configuration before
// the copy, in a corrected container's only after everything is done); the
// copy of the area; the cache area clone by hard links. Every failure is
// fatal with status 1; usage errors end with status 2.
#include "internal.h"
#include "libkxfsutil.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char *program_name = "kxfsclone";
constexpr const char *program_version = "2.0.0";

constexpr int OPT_QUIET = 0x8;

int src_veid;
int dst_veid;
char *src_priv_dir;
char *dst_priv_dir;
char *src_uuid;
char *dst_uuid;
int progress;
int inodes;
int process_obj;
char *curr_path;
bool correct_mode;
bool show_progress_asked;

bool trace_on(int level) {
    return kxfsutil_debug_level >= level;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "%s [-shqvV] <src-ctid> <dst-ctid>\n"
                 "%s [-shqvV] -c <ctid>\n"
                 "\t\t-c   correct pointers to new uuid\n"
                 "\t\t-s   skip lock\n"
                 "\t\t-V   print version\n"
                 "\t\t-v   verbose mode\n"
                 "\t\t-p   show progress\n"
                 "\t\t-q   quiet mode\n",
                 program_name, program_name);
    std::exit(2);
}

// A container identifier as strtol reads it in base 10; text that is not a
// number, and a number beyond an int, read as 0.
int parse_veid(const char *text) {
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (errno != 0 || value < INT_MIN || value > INT_MAX)
        return 0;
    return static_cast<int>(value);
}

void parse_args(int argc, char **argv) {
    static const struct option long_options[] = {
        {"progress", no_argument, nullptr, 'p'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},  {"quiet", no_argument, nullptr, 'q'},
        {"correct", no_argument, nullptr, 'c'},  {"skiplock", no_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0}};
    int option = 0;
    kxfsutil_debug_level = 3;
    int c;
    while ((c = getopt_long(argc, argv, "hqvVpcs", long_options, nullptr)) != -1) {
        switch (c) {
        case 'p':
            show_progress_asked = true;
            break;
        case 'V':
            std::printf("%s version %s\n", program_name, program_version);
            std::exit(0);
        case 'q':
            kxfsutil_debug_level = 1;
            option |= OPT_QUIET;
            break;
        case 'v':
            kxfsutil_debug_level++;
            break;
        case 'c':
            correct_mode = true;
            option |= OPT_CORRECT;
            break;
        case 's':
            option |= OPT_SKIP_LOCK;
            break;
        default:
            usage();
        }
    }
    int count = argc - optind;
    if (correct_mode) {
        if (count != 1)
            usage();
        src_veid = dst_veid = parse_veid(argv[optind]);
        if (src_veid == 0)
            usage();
    } else {
        if (count != 2)
            usage();
        src_veid = parse_veid(argv[optind]);
        dst_veid = parse_veid(argv[optind + 1]);
        if (src_veid == dst_veid)
            error(1, 0, "Source and destination CT equals");
        if (src_veid == 0 || dst_veid == 0)
            usage();
    }
    set_option(option);
}

// The absolute physical path of an existing directory.
char *physical_dir(const char *path) {
    return kx::physical_dir(program_name, path, curr_path);
}

void make_directory(const char *path) {
    struct stat st;
    if (lstat(path, &st) == 0)
        return;
    if (mkdir_p(path, 0755, 0) != 0)
        error(1, errno, "Can't make directory %s", path);
    if (lstat(path, &st) != 0 && mkdir(path, 0755) != 0)
        error(1, errno, "Can't make directory %s", path);
}

// A clone into a directory inside its own source would copy itself forever.
void refuse_nested_destination() {
    std::unique_ptr<char, kx::FreeDeleter> dst(realpath(dst_priv_dir, nullptr));
    if (!dst)
        return;
    std::string src(src_priv_dir);
    if (std::strncmp(dst.get(), src.c_str(), src.size()) == 0 &&
        (dst.get()[src.size()] == '/' || (src == "/" && dst.get()[1] != '\0')))
        error(1, 0, "Destination private area %s is inside the source private area %s",
              dst_priv_dir, src_priv_dir);
}

// A uuid names a directory below the template root: it must be one plain
// path component.
void check_uuid(const char *uuid, int veid) {
    if (uuid[0] == '\0' || std::strchr(uuid, '/') || std::strcmp(uuid, ".") == 0 ||
        std::strcmp(uuid, "..") == 0)
        error(1, 0, "Invalid UUID '%s' of CT %d", uuid, veid);
}

void show_progress() {
    if (!progress || inodes == 0)
        return;
    long long percent = static_cast<long long>(process_obj) * 100 / inodes;
    std::printf(" \r");
    std::printf("processing %lld%%\r", percent);
    std::fflush(stdout);
}

// Copies the tree src_root to dst_root through the stack, exiting with the
// result of a failed directory.
void copy_tree(const char *src_root, const char *dst_root, int top, struct dir_stack *stack,
               bool with_progress) {
    int result = copy_directory(src_root, src_root, dst_root, top, stack, &process_obj);
    if (result != 0)
        std::exit(result);
    if (with_progress)
        show_progress();
    while (kx::DirNode node = kx::pop_dir(stack)) {
        result = copy_directory(node->path, src_root, dst_root, 0, stack, &process_obj);
        if (result != 0)
            std::exit(result);
        if (with_progress)
            show_progress();
    }
}

void clone_cache_area(struct dir_stack *stack) {
    clean_copy_hardlinks();
    set_option(static_cast<int>(get_option()) | OPT_LINK_FILES);
    const std::string cache = kx::host_path(kx::kTemplateRoot) + "/vc";
    std::string src_cache = cache + "/" + src_uuid;
    std::string dst_cache = cache + "/" + dst_uuid;
    if (trace_on(4))
        debug_print(4, "Copy template area %s to %s\n", src_cache.c_str(), dst_cache.c_str());
    struct stat st;
    if (lstat(src_cache.c_str(), &st) != 0) {
        if (trace_on(4))
            debug_print(4, "Directory %s not found", src_cache.c_str());
        return;
    }
    if (!S_ISDIR(st.st_mode))
        error(1, ENOTDIR, "%s is not directory", src_cache.c_str());
    if (lstat(dst_cache.c_str(), &st) != 0 && mkdir(dst_cache.c_str(), 0755) != 0)
        error(1, errno, "Can't make directory %s", dst_cache.c_str());
    copy_tree(src_cache.c_str(), dst_cache.c_str(), 0, stack, false);
    if (trace_on(4))
        debug_print(4, "Copy template area end\n");
}

void copy_driver() {
    init_copy_hardlinks();
    struct dir_stack stack = {nullptr, 0};
    if (trace_on(4))
        debug_print(4, "Scan begin :%s:\n", src_priv_dir);
    copy_tree(src_priv_dir, dst_priv_dir, 1, &stack, true);
    if (chdir(curr_path) != 0)
        error(1, errno, "Kxfsclone: chdir '%s'", curr_path);
    if (trace_on(4))
        debug_print(4, "Scan mount point %s end\n", src_priv_dir);
    if (!src_uuid || !dst_uuid)
        return;
    clone_cache_area(&stack);
}

}  // namespace

int main(int argc, char **argv) {
    src_uuid = nullptr;
    dst_uuid = nullptr;
    curr_path = getcwd(nullptr, 0);
    if (curr_path == nullptr)
        error(1, errno, "%s: can't getcwd", program_name);
    parse_args(argc, argv);

    char *src_private = read_ve_private(src_veid);
    src_priv_dir = physical_dir(src_private);
    std::free(src_private);
    if (!check_support_fs(src_priv_dir))
        error(1, 0, "Private area is based on hdimage device. KXFS is prohibited.");
    if (correct_mode && check_mount_kxfs(src_priv_dir))
        error(1, 0, "Private area is mounted. Please, umount private area");

    if (correct_mode) {
        dst_priv_dir = src_priv_dir;
    } else {
        dst_priv_dir = read_ve_private(dst_veid);
        make_directory(dst_priv_dir);
        refuse_nested_destination();
    }

    src_uuid = read_ve_config_param(src_veid, "UUID");
    if (!src_uuid && correct_mode) {
        if (trace_on(3))
            debug_print(3, "UUID is not defined.\n");
        return 0;
    }
    if (!correct_mode)
        dst_uuid = read_ve_config_param(dst_veid, "UUID");

    if (src_uuid) {
        check_uuid(src_uuid, src_veid);
        bool generated = false;
        if (!dst_uuid) {
            dst_uuid = generate_uuid();
            if (!dst_uuid)
                error(1, 0, "Can't generate UUID");
            generated = true;
        }
        check_uuid(dst_uuid, dst_veid);
        if (std::strlen(src_uuid) != std::strlen(dst_uuid))
            error(1, 0, "Source and destination UUID length are not equal");
        if (std::strcmp(src_uuid, dst_uuid) == 0)
            error(1, 0, "Source and destination UUID equals");
        // A clone names its uuid before the copy starts.
        if (generated && !correct_mode)
            add_ve_config_param(dst_veid, "UUID", dst_uuid);
    }

    if (show_progress_asked) {
        inodes = get_inodes_count(src_veid);
        if (inodes < 0) {
            if (trace_on(2))
                debug_print(2, "Warning: can't read quota for CT %d\n", src_veid);
        } else {
            progress = 1;
        }
    }

    set_copy_uuids(src_uuid, dst_uuid);
    copy_driver();

    if (progress) {
        std::printf("\r \r");
        std::printf("processing 100%%\ndone\n");
    }
    // A corrected container names its new uuid only once everything is done.
    if (correct_mode)
        correct_ve_config_param(src_veid, "UUID", dst_uuid);
    std::fflush(stdout);
    return 0;
}
