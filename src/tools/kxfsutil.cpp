// kxfsutil, the checker: its command line, the refusals before any work,
// the order of the run and uncow-empty. The state of a check is kept in
// check_state.cpp; the scan (scan.cpp) detects, the corrections
// (correct.cpp) decide and act, the cow hash (hash.cpp) remembers the
// unclaimed cow files and upgrade.cpp converts an area's format.
//
// The area is opened once as a handle of directory descriptors; a top
// directory that is not a real directory refuses the run before anything
// changes, and nothing below the area path is reached by a path again.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "area.h"
#include "walk.h"
#include "check.h"
#include "host.h"
#include "libkxctl.h"
#include "unfinished.h"
#include "messages.h"

const char *program_name = "kxfsutil";

// getcwd of dir, returning to curr_path; fatal on failure.
char *absolute_path(const char *dir);

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
    LONG_NO_READAHEAD,
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
    {"no-readahead", no_argument, nullptr, LONG_NO_READAHEAD},
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
    set_walk_readahead(1);
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
        case LONG_NO_READAHEAD:
            set_walk_readahead(0);
            break;
        default:  // 'h', an unknown option, a missing argument
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    flags |= OPT_PARSED;
    priv_dir = absolute_path(argv[optind]);
    struct kxfs_area *handle = open_area(priv_dir);
    if (handle == nullptr)
        error(1, errno, "Kxfsutil: can't chdir '%s'", priv_dir);
    // An "fs" that cannot be entered stops the run here; a link to a
    // directory in its place is refused after the options have been judged.
    if (int err = kx::tree_entry_error(handle))
        error(1, err, "Kxfsutil: can't chdir '%s'", handle->tree.path);
    use_area(handle);
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

// Yes when the template directory holds nothing but marker entries.
bool template_dir_is_empty(const std::string &dir) {
    kx::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool empty = true;
    if (!fd.ok() || !kx::each_entry(fd.get(), kx::Listing::streamed, nullptr,
                                    [&empty](const char *name, unsigned char) {
                                        empty = std::strcmp(name, DIRINDEX_NAME) == 0;
                                        return empty;
                                    }))
        error(1, errno, "Kxfsutil: opendir '%s'", dir.c_str());
    return empty;
}

// Clears the magic-directory mark of the directory rel below root_dir
// (shown as path) when its template is empty or missing, or its marker is
// broken; a dirindex keeps the mark. The directory is opened once, without
// a link, and everything is done through that descriptor.
void uncow_dir(const std::string &path, const char *rel) {
    const char *shown = path.c_str();
    if (kx::trace_on(4))
        debug_print(4, "Uncow: '%s'\n", shown);
    kx::Fd dir(kx::open_beneath(area->root.fd, rel, O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    struct stat st;
    if (!dir.ok() || ::fstat(dir.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (kx::trace_on(4))
            debug_print(4, "'%s' not directory\n", shown);
        return;
    }
    if (!(st.st_mode & MAGIC_DIR_MARK)) {
        if (kx::trace_on(4))
            debug_print(4, "Not magic directory '%s'\n", shown);
        return;
    }
    std::string marker = kx::join(path, DIRINDEX_NAME);
    struct stat mst;
    if (::fstatat(dir.get(), DIRINDEX_NAME, &mst, AT_SYMLINK_NOFOLLOW) != 0) {
        warning(errno, "lstat failed for %s. Broken magic directory. Uncow.", marker.c_str());
    } else if (!S_ISLNK(mst.st_mode)) {
        if (kx::trace_on(4))
            debug_print(4, "Dirindex magic directory '%s'. Skip\n", shown);
        return;
    } else {
        std::string text;
        if (!kx::read_link(dir.get(), DIRINDEX_NAME, mst.st_size, text))
            error(1, errno, "Kxfsutil: readlink '%s'", marker.c_str());
        if (!kx::is_magic(std::string_view(text))) {
            warning(0, "Not magic symlink. '%s' broken magic directory. Uncow it.", shown);
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
    if (kx::trace_on(4))
        debug_print(4, "clearing SUID on '%s'\n", shown);
    if (::fchmod(dir.get(), (st.st_mode & 07777) & ~MAGIC_DIR_MARK) != 0)
        warning(errno, "can't chmod directory '%s'", shown);
}

// The end of an upgrade records "VEFORMAT" in the container's
// configuration: one that cannot be read or written refuses the run before
// the area changes, with the message the end of the run would give.
void check_container_config() {
    std::unique_ptr<char, kx::FreeDeleter> format(read_ve_config_param(veid, "VEFORMAT"));
    if (format && std::strcmp(format.get(), "kx4") == 0)
        return;
    char path[4096];
    std::snprintf(path, sizeof path, "%s/%d.conf", kx::host_path(kx::kConfigDir).c_str(), veid);
    get_realpath(path, sizeof path);
    kx::Fd fd(::open(path, O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd.ok()) {
        if (format)
            error(1, errno, "Warning: Some error occur during correction config %s \n", path);
        error(1, errno, "Unable to open %s.\n", path);
    }
}

void uncow_list(const char *root, const char *const *names) {
    for (; *names; ++names) {
        const char *rel = *names;
        while (*rel == '/')
            ++rel;
        uncow_dir(std::string(root) + "/" + *names, rel);
    }
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

int main(int argc, char **argv) {
    curr_path = ::getcwd(nullptr, 0);
    if (curr_path == nullptr)
        error(1, errno, "Kxfsutil: can't getcwd");
    parse_args(argc, argv);
    unsigned int opts = get_option();
    refuse_unsafe_area(area);

    if (!check_support_fs(fs_priv_dir))
        error(1, 0, "Private area is based on hdimage device. KXFS is prohibited.");
    if (check_mount_kxfs(fs_priv_dir)) {
        if (opts & (OPT_UPGRADE | OPT_UNCOW_EMPTY))
            error(1, 0, "Private area is mounted. Please, umount private area");
        warning(0, "private area is mounted");
        if (ask_approve("Do you really want to continue ", ANSWER_NO) != ANSWER_YES)
            std::exit(0);
    }

    if (opts & OPT_UNCOW_EMPTY) {
        static const char *const uncow_names[] = {"/sys", nullptr};
        uncow_list(root_dir, uncow_names);
        std::exit(0);
    }

    check_area_version();
    if ((opts & OPT_UPGRADE) && veid > 0)
        check_container_config();
    warn_unfinished_work(opts & OPT_UPGRADE);
    propagate_defaults();
    if (corr_act[CORR_LINK] != ACT_UNSET)
        load_package_data();
    static scan_info counters;
    info = &counters;
    *info = scan_info{};
    if (corr_act[CORR_COW] != ACT_UNSET)
        scan_cow_dir();
    scan_mount_point(fs_priv_dir, veid);
    end_unchanged_removal();
    if (corr_act[CORR_COW] != ACT_UNSET)
        lost_cow_pass();
    if (opts & OPT_UPGRADE) {
        // A step that failed leaves the area marked as under upgrade, so
        // that the same command finishes it.
        if (!upgrade_complete())
            error(1, 0, "Upgrade of private area '%s' is not complete: run it again",
                  fs_priv_dir);
        // The container's format first: until the version is written, the
        // area stays marked as under upgrade and a new run finishes it.
        if (veid > 0)
            save_ve_config_param(veid, "VEFORMAT", "kx4");
        rewrite_kxfs_version_at(area->tree.fd, "005.004", fs_priv_dir);
    }
    // A correction or optimization asked for that failed is not success.
    std::exit(change_failed ? 1 : 0);
}
