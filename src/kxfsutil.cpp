// kxfsutil, the checker: its command line, the refusals before any work,
// the order of the run, uncow-empty, the lost-cow pass and the naming of
// cow files. The scan (scan.cpp) detects, the corrections (correct.cpp)
// decide and act, the cow hash (hash.cpp) remembers the unclaimed cow
// files and upgrade.cpp converts an area's format.
//
// The program-wide paths are absolute and physical, set once here and
// never freed; every directory change returns to curr_path.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "internal.h"
#include "kxfsutil.h"
#include "libkxctl.h"

const char *program_name = "kxfsutil";
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

namespace {

constexpr const char *kVersion = "2.0.0";

[[noreturn]] void usage() {
    const char *p = program_name;
    std::fprintf(stderr,
                 "%s [-hqvVpi] [--c<all|cow|mark|link> [=(ignore|move|remove)]] "
                 "[--o<all|replace|empty> [=(do|ignore)]] -t <template_dir> <ve_private_dir>\n"
                 "%s [-hqvVp] --upgrade [--ctid=<CTID>] -t <template_dir> <ve_private_dir>\n"
                 "\t--c<all|cow|mark|link> [ignore|move|remove] - correct found errors in some way "
                 "('ignore' by default)\n"
                 "\t\tcall,cA      all errors\n"
                 "\t\tccow,cC      'lost' cow files\n"
                 "\t\tcmark,cM     broken 'cow' mark\n"
                 "\t\tclink,cL     broken 'magic' link\n"
                 "\t--o<all|replace|empty> [do|ignore] - do optimization in some way "
                 "('ignore' by default)\n"
                 "\t\toall,oA      all possible optimization\n"
                 "\t\toreplace,oR  replace 'magic' link with 'cow' files\n"
                 "\t\toempty,oE    delete non-changed 'cow' files\n"
                 "\t--upgrade - upgrade private area from kx3 to kx4\n"
                 "\n"
                 "\t\t-V   print version\n"
                 "\t\t-v   verbose mode\n"
                 "\t\t-i   interactive mode\n"
                 "\t\t-q   quiet mode\n"
                 "\t\t-h   show this help message\n"
                 "\t\t-p   periodically print the progress information\n",
                 p, p);
    std::exit(2);
}

// Codes getopt_long returns for the long-only options.
enum {
    LONG_CORR_ALL = 256,
    LONG_CORR_COW,
    LONG_CORR_MARK,
    LONG_CORR_LINK,
    LONG_OPT_ALL,
    LONG_OPT_REPLACE,
    LONG_OPT_EMPTY,
    LONG_VEID,
    LONG_UNCOW_EMPTY,
};

const struct option long_options[] = {
    {"call", optional_argument, nullptr, LONG_CORR_ALL},
    {"cA", optional_argument, nullptr, LONG_CORR_ALL},
    {"ccow", optional_argument, nullptr, LONG_CORR_COW},
    {"cC", optional_argument, nullptr, LONG_CORR_COW},
    {"cmark", optional_argument, nullptr, LONG_CORR_MARK},
    {"cM", optional_argument, nullptr, LONG_CORR_MARK},
    {"clink", optional_argument, nullptr, LONG_CORR_LINK},
    {"cL", optional_argument, nullptr, LONG_CORR_LINK},
    {"oall", optional_argument, nullptr, LONG_OPT_ALL},
    {"oA", optional_argument, nullptr, LONG_OPT_ALL},
    {"oreplace", optional_argument, nullptr, LONG_OPT_REPLACE},
    {"oR", optional_argument, nullptr, LONG_OPT_REPLACE},
    {"oempty", optional_argument, nullptr, LONG_OPT_EMPTY},
    {"oE", optional_argument, nullptr, LONG_OPT_EMPTY},
    {"veid", required_argument, nullptr, LONG_VEID},
    {"ctid", required_argument, nullptr, LONG_VEID},
    {"progress", no_argument, nullptr, 'p'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"quiet", no_argument, nullptr, 'q'},
    {"upgrade", no_argument, nullptr, 'u'},
    {"uncow-empty", no_argument, nullptr, LONG_UNCOW_EMPTY},
    {nullptr, 0, nullptr, 0},
};

bool word_is(const char *arg, const char *shortw, const char *longw) {
    return std::strcmp(arg, shortw) == 0 || std::strcmp(arg, longw) == 0;
}

// Correction action word: none, "i"/"ignore", "m"/"move", "r"/"remove".
void set_corr_act(int kind, const char *arg) {
    if (arg == nullptr || word_is(arg, "i", "ignore"))
        corr_act[kind] = ACT_IGNORE;
    else if (word_is(arg, "m", "move"))
        corr_act[kind] = ACT_MOVE;
    else if (word_is(arg, "r", "remove"))
        corr_act[kind] = ACT_REMOVE;
    else
        usage();
}

// Optimization action word: none, "i"/"ignore", "d"/"do".
void set_opt_act(int kind, const char *arg) {
    if (arg == nullptr || word_is(arg, "i", "ignore"))
        opt_act[kind] = ACT_IGNORE;
    else if (word_is(arg, "d", "do"))
        opt_act[kind] = ACT_DO;
    else
        usage();
}

// The options that may be given once, whatever name they come under.
struct once_option {
    int code;
    unsigned int flag;
    int kind;
    bool correction;
};
const once_option once_options[] = {
    {LONG_CORR_ALL, OPT_CORR_ALL, CORR_ALL, true},
    {LONG_CORR_COW, OPT_CORR_COW, CORR_COW, true},
    {LONG_CORR_MARK, OPT_CORR_MARK, CORR_MARK, true},
    {LONG_CORR_LINK, OPT_CORR_LINK, CORR_LINK, true},
    {LONG_OPT_ALL, OPT_OPT_ALL, OPTIM_ALL, false},
    {LONG_OPT_REPLACE, OPT_OPT_REPLACE, OPTIM_REPLACE, false},
    {LONG_OPT_EMPTY, OPT_OPT_EMPTY, OPTIM_EMPTY, false},
};

void parse_args(int argc, char **argv) {
    kxfsutil_debug_level = 3;
    unsigned int flags = 0;
    int c;
    while ((c = getopt_long(argc, argv, "hqvVit:pu", long_options, nullptr)) != -1) {
        const once_option *once = nullptr;
        for (const once_option &o : once_options) {
            if (o.code == c)
                once = &o;
        }
        if (once) {
            if (flags & once->flag)
                usage();
            flags |= once->flag;
            if (once->correction)
                set_corr_act(once->kind, optarg);
            else
                set_opt_act(once->kind, optarg);
            continue;
        }
        switch (c) {
        case 't':
            if (flags & OPT_TEMPLATE_DIR)
                usage();
            flags |= OPT_TEMPLATE_DIR;
            temp_dir = absolute_path(optarg);
            break;
        case LONG_VEID:
            veid = static_cast<int>(std::strtol(optarg, nullptr, 10));
            break;
        case 'p':
            progress = 1;
            break;
        case 'V':
            std::printf("kxfsutil version %s\n", kVersion);
            std::exit(0);
        case 'q':
            flags |= OPT_QUIET;
            kxfsutil_debug_level = 1;
            break;
        case 'v':
            ++kxfsutil_debug_level;
            break;
        case 'i':
            flags |= OPT_INTERACTIVE;
            break;
        case 'u':
            flags |= OPT_UPGRADE;
            break;
        case LONG_UNCOW_EMPTY:
            flags |= OPT_UNCOW_EMPTY;
            break;
        default:  // 'h', an unknown option, a missing argument
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    flags |= OPT_PARSED;
    priv_dir = absolute_path(argv[optind]);
    if (kxctl_env_layout_version(priv_dir) == 4) {
        char *fs = xstring2('/', priv_dir, "fs");
        fs_priv_dir = absolute_path(fs);
        std::free(fs);
    } else {
        fs_priv_dir = priv_dir;
    }
    if (!(flags & OPT_TEMPLATE_DIR))
        usage();
    if (!(flags & (OPT_CORR_MASK | OPT_OPT_MASK | OPT_UPGRADE | OPT_UNCOW_EMPTY)))
        usage();
    if ((flags & OPT_UPGRADE) && (flags & OPT_OPT_MASK))
        error(2, 0, "Kxfsutil: can't upgrade and optimize simultaneously");
    if ((flags & OPT_UPGRADE) && (flags & OPT_CORR_MASK))
        error(2, 0, "Kxfsutil: can't upgrade and correct simultaneously");
    if ((flags & OPT_UNCOW_EMPTY) && (flags & (OPT_CORR_MASK | OPT_OPT_MASK | OPT_UPGRADE)))
        error(2, 0, "Kxfsutil: can't do 'uncow-empty' and other operation simultaneously");
    if ((flags & OPT_INTERACTIVE) && (flags & OPT_QUIET))
        error(2, 0, "Kxfsutil: can't start in interactive and quiet modes simultaneously");
    set_option(static_cast<int>(flags));
}

// Chooses the cow naming scheme from the version link, and refuses an
// upgrade of a version that is neither "005.003" nor an upgrade under way.
void check_area_version() {
    vefs_version = 0;
    char text[KXFS_VERSION_BUF];
    if (read_kxfs_version(fs_priv_dir, text) <= 0)
        return;
    if ((get_option() & OPT_UPGRADE) && std::strcmp(text, "005.003") != 0 &&
        std::strcmp(text, "999.999") != 0)
        error(1, 0, "Version of private area '%s' is not upgradable", text);
    vefs_version = std::strncmp(text, "005.003", 8) < 0 ? 0 : 1;
}

// Explicit kinds win over the "all" options, whatever their order.
void propagate_defaults() {
    unsigned int opts = get_option();
    if (opts & OPT_CORR_ALL) {
        for (int i = CORR_COW; i <= CORR_LINK; ++i) {
            if (corr_act[i] == ACT_UNSET)
                corr_act[i] = corr_act[CORR_ALL];
        }
    }
    if (opts & OPT_OPT_ALL) {
        for (int i = OPTIM_REPLACE; i <= 3; ++i) {
            if (opt_act[i] == ACT_UNSET)
                opt_act[i] = opt_act[OPTIM_ALL];
        }
    }
}

// The package list and the OS template prefix, read from the area itself
// (not its "fs" subdirectory), each only when it is a regular file.
void load_package_data() {
    struct stat st;
    char *packages = xstring2('/', priv_dir, "templates/kxpackages");
    if (is_regular_file(packages, &st) == 1)
        read_templates(packages);
    char *conf = xstring2('/', priv_dir, "ve.conf");
    if (is_regular_file(conf, &st) == 1)
        get_os_prefix(conf);
    std::free(packages);
    std::free(conf);
}

// Reports every cow file that no marked magic link claimed, once each.
void lost_cow_pass() {
    while (const char *name = first_cow_item()) {
        std::string cow_path = kx::join(cow_dir, name);
        correct(CORR_COW, 0, 0, nullptr, cow_path.c_str());
        remove_cow_item(name);
    }
}

// Yes when the template directory holds nothing but marker entries.
bool template_dir_is_empty(const std::string &dir) {
    kx::Dir d(::opendir(dir.c_str()));
    if (!d.ok())
        error(1, errno, "Kxfsutil: opendir '%s'", dir.c_str());
    while (struct dirent *e = ::readdir(d.get())) {
        if (kx::is_dot_or_dotdot(e->d_name))
            continue;
        if (std::strcmp(e->d_name, DIRINDEX_NAME) != 0)
            return false;
    }
    return true;
}

// Clears the magic-directory mark of dir when its template is empty or
// missing, or its marker is broken; a dirindex keeps the mark.
void uncow_dir(const std::string &dir) {
    const char *path = dir.c_str();
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Uncow: '%s'\n", path);
    struct stat st;
    if (is_directory(path, &st) != 1) {
        if (kxfsutil_debug_level > 3)
            debug_print(4, "'%s' not directory\n", path);
        return;
    }
    if (!(st.st_mode & MAGIC_DIR_MARK)) {
        if (kxfsutil_debug_level > 3)
            debug_print(4, "Not magic directory '%s'\n", path);
        return;
    }
    std::string marker = kx::join(dir, DIRINDEX_NAME);
    struct stat mst;
    if (::lstat(marker.c_str(), &mst) != 0) {
        warning(errno, "lstat failed for %s. Broken magic directory. Uncow.", marker.c_str());
    } else if (!S_ISLNK(mst.st_mode)) {
        if (kxfsutil_debug_level > 3)
            debug_print(4, "Dirindex magic directory '%s'. Skip\n", path);
        return;
    } else {
        std::string text(static_cast<size_t>(mst.st_size) + 1, '\0');
        ssize_t n = ::readlink(marker.c_str(), text.data(), text.size());
        if (n < 0)
            error(1, errno, "Kxfsutil: readlink '%s'", marker.c_str());
        text.resize(std::min(static_cast<size_t>(n), text.size()));
        if (!kx::is_magic(std::string_view(text))) {
            warning(0, "Not magic symlink. '%s' broken magic directory. Uncow it.", path);
        } else {
            std::string tdir = kx::join(temp_dir, text);
            struct stat tst;
            // A target that climbs out of the template directory names nothing.
            if (leaves_template(text.c_str()) || is_directory(tdir.c_str(), &tst) != 1) {
                warning(0, "'%s' broken COW directory. Uncow it.", tdir.c_str());
            } else if (!template_dir_is_empty(tdir)) {
                warning(0, "Directory '%s' is not empty. Skip.", tdir.c_str());
                return;
            }
        }
    }
    if (kxfsutil_debug_level > 3)
        debug_print(4, "clearing SUID on '%s'\n", path);
    if (::chmod(path, (st.st_mode & 07777) & ~MAGIC_DIR_MARK) != 0)
        warning(errno, "can't chmod directory '%s'", path);
}

void uncow_list(const char *root, const char *const *names) {
    for (; *names; ++names)
        uncow_dir(std::string(root) + "/" + *names);
}

}  // namespace

char *absolute_path(const char *dir) {
    if (::chdir(dir) != 0)
        error(1, errno, "Kxfsutil: can't chdir '%s'", dir);
    char *path = ::getcwd(nullptr, 0);
    if (path == nullptr)
        error(1, errno, "Kxfsutil: can't getcwd");
    if (::chdir(curr_path) != 0)
        error(1, errno, "Kxfsutil: can't chdir '%s'", curr_path);
    return path;
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
        error(255, 0, "Bug: %s(%d), function '%s()'", "src/kxfsutil.cpp", __LINE__,
              "vefs_path_to_name");
        return nullptr;
    }
}

int main(int argc, char **argv) {
    curr_path = ::getcwd(nullptr, 0);
    if (curr_path == nullptr)
        error(1, errno, "Kxfsutil: can't getcwd");
    parse_args(argc, argv);
    unsigned int opts = get_option();

    if (!check_support_fs(fs_priv_dir))
        error(1, 0, "Private area is based on hdimage device. KXFS is prohibited.");
    if (check_mount_kxfs(fs_priv_dir)) {
        if (opts & (OPT_UPGRADE | OPT_UNCOW_EMPTY))
            error(1, 0, "Private area is mounted. Please, umount private area");
        warning(0, "private area is mounted");
        if (ask_approve("Do you really want to continue ", ANSWER_NO) != ANSWER_YES)
            std::exit(0);
    }
    root_dir = xstring2('/', fs_priv_dir, "root");
    cow_dir = xstring2('/', fs_priv_dir, "cow");

    if (opts & OPT_UNCOW_EMPTY) {
        static const char *const uncow_names[] = {"/sys", nullptr};
        uncow_list(root_dir, uncow_names);
        std::exit(0);
    }

    check_area_version();
    propagate_defaults();
    if (corr_act[CORR_LINK] != ACT_UNSET)
        load_package_data();
    static scan_info counters;
    info = &counters;
    *info = scan_info{};
    if (corr_act[CORR_COW] != ACT_UNSET)
        scan_cow_dir();
    scan_mount_point(fs_priv_dir, veid);
    if (corr_act[CORR_COW] != ACT_UNSET)
        lost_cow_pass();
    if (opts & OPT_UPGRADE) {
        // The container's format first: until the version is written, the
        // area stays marked as under upgrade and a new run finishes it.
        if (veid > 0)
            save_ve_config_param(veid, "VEFORMAT", "kx4");
        rewrite_kxfs_version(fs_priv_dir, "005.004");
    }
    std::exit(0);
}
