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
//
// The area is reached only through its handle: every directory is opened
// beneath the root's descriptor without following links and checked to be
// the inode its parent's listing showed; nothing changes the working
// directory. Shortcuts that replace entries are prepared in a work
// directory of the tool's own at the top of the KXFS tree (never below
// root, so that an interrupted run leaves nothing a rerun could index) and
// renamed into place whole; a rerun clears what an interrupted one left
// there, replaces a leftover index of its own and finishes the removal of
// the entries a marked directory's index already stands for.
//
// A hard-link directory whose repointing stopped at a failure is not
// indexed, so that a rerun repoints it first; that run, like one whose
// removal of taken-over entries or clean-up failed, ends with status 1.
#include "libkxfsutil.h"
#include "libkxctl.h"
#include "area.h"
#include "host.h"
#include "walk.h"
#include "messages.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

constexpr const char *program_name = "kxfsdirindex";
constexpr const char *program_version = "1.0.0";

constexpr int OPT_TEMPLATE_DIR = 0x1;
constexpr int OPT_PARSED = 0x2;
constexpr int OPT_QUIET = 0x8;
constexpr int OPT_MAGIC_TO_SHORTCUT = 0x10;

// The tool's work directory at the top of the KXFS tree.
constexpr const char *kWorkName = ".kxfsdirindex.tmp";

char *curr_path;
char *temp_dir;
char *root_dir;
int option;
// 1 once a failure was reported that a rerun has to finish.
int exit_status = 0;
// The hard-link directory (below root) whose repointing did not finish,
// and those after it: they are left without an index for a rerun.
std::vector<std::string> unrepointed;
int progress;  // accepted for compatibility; this tool prints no progress
struct kxfs_area *area;

// The walk record of the indexing pass.
struct {
    int dirs;
} info;

#define TRACE(...)                                  \
    do {                                            \
        if (kx::trace_on(4))                        \
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

// Opens the area given on the command line; its KXFS tree becomes priv_dir.
void open_private_area(const char *arg) {
    char *dir = physical_dir(arg);
    area = open_area(dir);
    if (area == nullptr)
        error(1, errno, "%s: can't chdir '%s'", program_name, dir);
    std::free(dir);
    if (int err = kx::tree_entry_error(area))
        error(1, err, "%s: can't chdir '%s'", program_name, area->tree.path);
    priv_dir = xstrdup(area->tree.path);
}

// The code of the long option that turns the read-ahead stage off.
constexpr int kNoReadahead = 256;

void parse_args(int argc, char **argv) {
    static const struct option long_options[] = {
        {"progress", no_argument, nullptr, 'p'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},  {"quiet", no_argument, nullptr, 'q'},
        {"magic", no_argument, nullptr, 'm'},
        {"no-readahead", no_argument, nullptr, kNoReadahead}, {nullptr, 0, nullptr, 0}};
    kxfsutil_debug_level = 3;
    set_walk_readahead(1);
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
        case kNoReadahead:
            set_walk_readahead(0);
            break;
        default:
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    option |= OPT_PARSED;
    open_private_area(argv[optind]);
    if (!(option & OPT_TEMPLATE_DIR))
        usage();
    // A link to a directory in place of "fs" goes no further.
    if (area->tree.unsafe)
        refuse_unsafe_area(area);
}

void check_area_version() {
    char version[KXFS_VERSION_BUF] = {};
    if (read_kxfs_version_at(area->tree.fd, version, area->tree.path) <= 0)
        error(1, 0, "Can't read kxfs version");
    static const unsigned char oldest[8] = {'0', '0', '5', '.', '0', '0', '4', '\0'};
    if (std::memcmp(version, oldest, sizeof oldest) < 0)
        error(1, 0, "Unsupported kxfs version");
}

std::string below_root(const std::string &rel) {
    return rel.empty() ? std::string(root_dir) : kx::join(root_dir, rel);
}

// ---- the work directory ------------------------------------------------------

kx::Fd work_fd;
bool work_made = false;

// Whatever an interrupted run left in the work directory is its own
// unfinished temporaries: they go before anything else happens.
void clear_work_dir() {
    struct stat st;
    if (fstatat(area->tree.fd, kWorkName, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    int r = S_ISDIR(st.st_mode) ? remove_dir_at(area->tree.fd, kWorkName, area->tree.path)
                                : unlinkat(area->tree.fd, kWorkName, 0);
    if (r != 0) {
        // Temporaries then go beside their entries.
        werror(errno, "can't remove '%s'", kx::join(area->tree.path, kWorkName).c_str());
        exit_status = 1;
    }
}

// The work directory's descriptor, made on first use; -1 when it cannot
// be had (temporaries then go beside their entry).
int work_dir() {
    if (work_fd.ok() || work_made)
        return work_fd.get();
    work_made = true;
    if (mkdirat(area->tree.fd, kWorkName, 0700) != 0)
        return -1;
    work_fd = kx::Fd(kx::open_beneath(area->tree.fd, kWorkName, O_RDONLY | O_DIRECTORY));
    return work_fd.get();
}

void remove_work_dir() {
    if (!work_fd.ok())
        return;
    work_fd.reset();
    if (unlinkat(area->tree.fd, kWorkName, AT_REMOVEDIR) != 0) {
        werror(errno, "can't remove '%s'", kx::join(area->tree.path, kWorkName).c_str());
        exit_status = 1;
    }
}

// Replaces the entry name of dirfd (shown in dir_shown) by a shortcut
// holding text with the attributes of st: written whole in the work
// directory and renamed over the entry. 0, or 1 after a reported failure.
int replace_by_shortcut(int dirfd, const char *name, const std::string &text,
                        const struct stat &st, const std::string &dir_shown) {
    const int length = static_cast<int>(text.size());
    const int work = work_dir();
    if (work < 0)
        return make_shortcut_at(dirfd, name, text.c_str(), length, &st, dir_shown.c_str());
    const std::string shown = kx::join(dir_shown, name);
    const std::string work_shown = kx::join(area->tree.path, kWorkName);
    kx::TempName temp;
    kx::Fd fd;
    if (!temp.create_file(work, name, '-', fd)) {
        werror(errno, "Can't create shortcut '%s'", (kx::join(work_shown, name) + "-XXXXXX").c_str());
        return 1;
    }
    const std::string temp_shown = kx::join(work_shown, temp.name());
    if (length <= 0 || !kx::write_all(fd.get(), text)) {
        werror(length <= 0 ? EINVAL : errno, "Can't write shortcut '%s'", temp_shown.c_str());
        return 1;
    }
    if (fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
        werror(errno, "Error chown '%s'", shown.c_str());
        return 1;
    }
    if (fchmod(fd.get(), st.st_mode & 07777) != 0) {
        werror(errno, "Error chmod '%s'", shown.c_str());
        return 1;
    }
    struct timespec ts[2] = {st.st_atim, st.st_mtim};
    if (futimens(fd.get(), ts) != 0) {
        werror(errno, "Error utime '%s'", shown.c_str());
        return 1;
    }
    if (fd.close() != 0) {
        werror(errno, "Can't write shortcut '%s'", temp_shown.c_str());
        return 1;
    }
    if (renameat(work, temp.c_str(), dirfd, name) != 0) {
        // Root on a filesystem of its own: the temporary goes beside it.
        if (errno == EXDEV)
            return make_shortcut_at(dirfd, name, text.c_str(), length, &st, dir_shown.c_str());
        werror(errno, "Can't rename '%s' to '%s'", temp_shown.c_str(), shown.c_str());
        return 1;
    }
    temp.keep();
    return 0;
}

// ---- indexing ----------------------------------------------------------------

// A directory the hard-link pass did not finish, or one below it.
bool left_for_rerun(const std::string &rel) {
    for (const std::string &d : unrepointed)
        if (rel.compare(0, d.size(), d) == 0 && (rel.size() == d.size() || rel[d.size()] == '/'))
            return true;
    return false;
}

void push_dir(kx::TreeWalk &walk, const char *name, const struct stat &st) {
    const std::string rel = walk.child(name);
    if (left_for_rerun(rel)) {
        TRACE("Left for a rerun: %s\n", below_root(rel).c_str());
        return;
    }
    walk.push(name, st);
    info.dirs++;
    TRACE("Push dir %s\n", below_root(rel).c_str());
}

// A reserved entry in an unmarked directory is the tool's own leftover
// only when an interrupted run can have written it: a magic link, or a
// regular file that is a dirindex, whole or cut short (its header comes
// first, so it is empty or begins with the signature). Anything else is
// the container's.
bool is_leftover(int dirfd, const struct stat &marker) {
    if (S_ISLNK(marker.st_mode)) {
        std::string text;
        return kx::read_link(dirfd, DIRINDEX_NAME, marker.st_size, text) && kx::is_magic(text);
    }
    struct stat st;
    kx::Fd fd = kx::open_regular_at(dirfd, DIRINDEX_NAME, &st, &marker);
    if (!fd.ok())
        return false;
    if (st.st_size == 0)
        return true;
    unsigned char head[4];
    if (pread(fd.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head))
        return false;
    uint32_t signature = uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 |
                         uint32_t(head[3]) << 24;
    return signature == DIRINDEX_SIGNATURE;
}

enum class Decision { index, marked_index, skip };

// Decides whether the directory gets an index: not when it is
// template-backed already or its reserved entry is something unexpected.
Decision decide(int dirfd, const std::string &shown, const struct stat &dir) {
    struct stat marker;
    if (fstatat(dirfd, DIRINDEX_NAME, &marker, AT_SYMLINK_NOFOLLOW) != 0)
        return Decision::index;
    bool pointer = S_ISLNK(marker.st_mode) || S_ISREG(marker.st_mode);
    if ((dir.st_mode & S_ISUID) && pointer) {
        TRACE("magic dir :%s:\n", shown.c_str());
        return S_ISREG(marker.st_mode) ? Decision::marked_index : Decision::skip;
    }
    if (!pointer) {
        TRACE("%s/%s exist \n", shown.c_str(), DIRINDEX_NAME);
        return Decision::skip;
    }
    if (!is_leftover(dirfd, marker)) {
        warning(0, "'%s/%s' is the container's own entry, not a leftover dirindex: the directory "
                   "is not indexed", shown.c_str(), DIRINDEX_NAME);
        return Decision::skip;
    }
    // A marker without the directory mark is left over from an interrupted run.
    if (unlinkat(dirfd, DIRINDEX_NAME, 0) != 0)
        error(1, errno, "Kxfsdirindex: can't remove '%s'", DIRINDEX_NAME);
    TRACE("symlink %s/%s was removed \n", shown.c_str(), DIRINDEX_NAME);
    return Decision::index;
}

// The names of a directory (but "." and "..") in listing order; false
// with errno set when it cannot be listed whole.
bool list_names(int dirfd, std::vector<std::string> &names) {
    return kx::each_entry(dirfd, kx::Listing::streamed, nullptr,
                          [&names](const char *name, unsigned char) {
                              names.emplace_back(name);
                              return true;
                          });
}

// With -m every magic link of a directory about to be indexed becomes a
// shortcut first. 0, or 1 after a reported failure.
int magic_links_to_shortcuts(int dirfd, const std::string &shown) {
    std::vector<std::string> names;
    if (!list_names(dirfd, names)) {
        werror(errno, "Can't open dir '%s'", shown.c_str());
        return 1;
    }
    for (const std::string &name : names) {
        if (name == ".kxpkgref" || name == DIRINDEX_NAME)
            continue;
        struct stat st;
        std::string text;
        // A link with the cow mark stays a link: a shortcut has no mark.
        if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode) ||
            (st.st_mode & S_ISVTX) || !kx::read_link(dirfd, name.c_str(), st.st_size, text) ||
            !kx::is_magic(text))
            continue;
        TRACE("Substitute magic symlink '%s/%s' for shortcut\n", shown.c_str(), name.c_str());
        struct stat attrs = st;
        attrs.st_mode = S_IFREG | S_ISVTX | (st.st_mode & 07777);
        if (replace_by_shortcut(dirfd, name.c_str(), text, attrs, shown) != 0)
            return 1;
    }
    return 0;
}

// A marked directory whose index was written by a run that stopped while
// removing the entries the index took over: those still there are removed
// now. An entry goes only when indexing would remove it and the index
// holds its record with the same target.
void finish_removal(int dirfd, const std::string &shown, const std::vector<std::string> &names) {
    std::unique_ptr<char *, kx::FreeDeleter> texts(read_dirindex_at(dirfd, DIRINDEX_NAME, shown.c_str()));
    if (!texts)
        return;
    std::unordered_set<std::string> records;
    for (char **t = texts.get(); *t; ++t) {
        records.emplace(*t);
        std::free(*t);
    }
    const int level = kxfsutil_debug_level;
    std::free(current_path);
    current_path = xstrdup(shown.c_str());
    for (const std::string &name : names) {
        clean_memory();
        tot = dtot = 0;
        kxfsutil_debug_level = 0;  // the judgement is silent
        int rc = scan_one_at(dirfd, name.c_str(), 0, temp_dir);
        kxfsutil_debug_level = level;
        if (rc != 0 || !rl_info || !dlist_end || !dlist_end->target ||
            !records.count(std::string(dlist_end->target->text) + "/" + name))
            continue;
        if (unlinkat(dirfd, name.c_str(), 0) != 0) {
            werror(errno, "can't remove '%s/%s'", shown.c_str(), name.c_str());
            exit_status = 1;
        }
    }
    clean_memory();
}

// Indexes the directory the walk is in, then queues its subdirectories.
void scan_dir(kx::TreeWalk &walk) {
    const std::string shown = below_root(walk.rel());
    TRACE("Scan dir start :%s:\n", shown.c_str());
    if (walk.fd() < 0)
        error(1, walk.error(), "Kxfsdirindex: can't chdir '%s'", shown.c_str());
    const int fd = walk.fd();
    struct stat st;
    if (fstat(fd, &st) != 0)
        error(1, errno, "Kxfsdirindex: can't stat '%s'", ".");
    Decision decision = decide(fd, shown, st);
    if (decision == Decision::index) {
        if (((option & OPT_MAGIC_TO_SHORTCUT) && magic_links_to_shortcuts(fd, shown) != 0) ||
            create_dirindex_at(fd, DIRINDEX_NAME, temp_dir, option, shown.c_str()) == 1)
            error(1, errno, "Kxfsdirindex: during create dirindex for '%s'", shown.c_str());
    }

    // Listed after indexing, so the entries the index took over are gone.
    std::vector<std::string> leftovers;  // entries a marked index may stand for
    bool listed = walk.list(kx::Listing::streamed, [&](const char *name, unsigned char) {
        struct stat est;
        if (fstatat(fd, name, &est, AT_SYMLINK_NOFOLLOW) != 0)
            error(1, errno, "Kxfsdirindex: lstat `%s/%s'", shown.c_str(), name);
        if (S_ISDIR(est.st_mode))
            push_dir(walk, name, est);
        else if (decision == Decision::marked_index && est.st_nlink == 1 &&
                 (S_ISLNK(est.st_mode) || (S_ISREG(est.st_mode) && (est.st_mode & S_ISVTX))))
            leftovers.emplace_back(name);
        return true;
    });
    if (!listed)
        error(1, errno, "Kxfsdirindex: opendir '%s'", shown.c_str());
    if (!leftovers.empty())
        finish_removal(fd, shown, leftovers);
    TRACE("Scan dir end :%s:\n", shown.c_str());
}

void scan_mount_point() {
    TRACE("Scan mount point begin:%s:\n", root_dir);
    if (area->root.fd < 0)
        error(1, area->root.error, "Kxfsdirindex: can't chdir '%s'", root_dir);
    // Indexing reads every link text and shortcut of a directory.
    std::unique_ptr<readahead_stage, void (*)(readahead_stage *)> ra(
        walk_readahead(area->root.fd, READAHEAD_LINKS | READAHEAD_SHORTCUTS | READAHEAD_INDEXES),
        stop_readahead);
    kx::TreeWalk walk(area->root.fd, ra.get());
    while (walk.next())
        scan_dir(walk);
    TRACE("Scan mount point %s end\n", root_dir);
}

// ---- hard-link repointing ----------------------------------------------------

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

// The repointing decision for one entry (name in dirfd; path relative to
// the walked directory d): the candidate text, or "" to leave it alone.
std::string repoint_candidate(int dirfd, const char *name, const char *d, const char *path,
                              const char *text, int flags, const struct stat *st) {
    // A magic link with the cow mark is the container's changed file: as a
    // shortcut it would lose the mark and the container its cow file.
    if (!(flags & (SCAN_SHORTCUT | SCAN_MAGIC_LINK)) ||
        (flags & (SCAN_DIR_INDEXED | SCAN_DIR_LINKED)) || text == nullptr || st->st_nlink == 1 ||
        ((flags & SCAN_MAGIC_LINK) && (st->st_mode & S_ISVTX)))
        return {};
    const std::string t = text;
    const std::string r = kx::join(d, path);
    // A text that climbs out of the template is never looked up.
    if (kx::leaves_root(t) || r.size() >= t.size() ||
        t.compare(t.size() - r.size(), r.size(), r) == 0)
        return {};
    if (check_eattr_at(dirfd, name) != 0)
        return {};

    std::string target = std::string(temp_dir) + "/" + t;
    struct stat tst;
    if (lstat(target.c_str(), &tst) != 0) {
        werror(errno, "can't lstat '%s'", target.c_str());
        return {};
    }
    std::string candidate = sibling_candidate(t, r);
    if (candidate_matches(candidate, tst.st_ino, st))
        return candidate;
    candidate = template_root_candidate(t, r);
    if (!candidate.empty() && candidate_matches(candidate, tst.st_ino, st))
        return candidate;
    return {};
}

// The entry becomes a shortcut of its own: a regular file with the sticky
// bit, whatever it was (a magic link carries no sticky bit).
struct stat shortcut_attributes(const struct stat *st) {
    struct stat attrs = *st;
    attrs.st_mode = S_IFREG | (st->st_mode & 07777) | S_ISVTX;
    return attrs;
}

// Walk callback of the pass: data is the walked directory relative to root.
int repoint_at(void *data, int dirfd, const char *name, const char *path, const char *text,
               int flags, const struct stat *st) {
    const char *d = static_cast<const char *>(data);
    std::string candidate = repoint_candidate(dirfd, name, d, path, text, flags, st);
    if (candidate.empty())
        return 0;
    std::string dir_shown = kx::join(root_dir, d);
    if (const char *slash = std::strrchr(path, '/'))
        dir_shown = kx::join(dir_shown, std::string(path, slash));
    return replace_by_shortcut(dirfd, name, candidate, shortcut_attributes(st), dir_shown);
}

void process_hardlinks() {
    static const char *const dirs[] = {"usr/lib/locale", "usr/share/zoneinfo",
                                       "usr/share/terminfo"};
    TRACE("Process hardlinks begin\n");
    for (const char *d : dirs) {
        // Only a real directory below root: never out of the area through
        // a link the container made.
        kx::Fd fd(area->root.fd < 0 ? -1 : kx::open_beneath(area->root.fd, d, O_RDONLY | O_DIRECTORY));
        if (!fd.ok())
            continue;
        TRACE("process hardlinks %s:\n", kx::join(root_dir, d).c_str());
        if (!unrepointed.empty() || scan_private_at(fd.get(), repoint_at, const_cast<char *>(d)) != 0)
            unrepointed.emplace_back(d);
    }
    if (!unrepointed.empty()) {
        werror(0, "Kxfsdirindex: hard links in '%s' not repointed: left without an index for a "
                  "rerun", kx::join(root_dir, unrepointed.front()).c_str());
        exit_status = 1;
    }
    TRACE("Process hardlinks end\n");
}

}  // namespace

// Walk callback of the hard-link pass for the path-based walk: data is the
// walked directory relative to the area root, path the entry relative to it.
extern "C" KXFS_EXTERN int repoint_hardlink(void *data, const char *path, const char *text,
                                            int flags, const struct stat *st) {
    std::string candidate = repoint_candidate(AT_FDCWD, path, static_cast<const char *>(data),
                                              path, text, flags, st);
    if (candidate.empty())
        return 0;
    struct stat attrs = shortcut_attributes(st);
    return make_shortcut(path, candidate.c_str(), static_cast<int>(candidate.size()), &attrs);
}

int main(int argc, char **argv) {
    curr_path = getcwd(nullptr, 0);
    if (curr_path == nullptr)
        error(1, errno, "%s: can't getcwd", program_name);
    parse_args(argc, argv);
    if (!check_support_fs(priv_dir))
        error(1, 0, "Private area is based on hdimage device. KXFS is prohibited.");
    if (check_mount_kxfs(priv_dir))
        error(1, errno, "Private area is mounted. Please, umount private area");
    refuse_unsafe_area(area);
    check_area_version();
    root_dir = xstring2('/', priv_dir, "root");
    info.dirs = 0;
    clear_work_dir();
    process_hardlinks();
    scan_mount_point();
    remove_work_dir();
    return exit_status;
}
