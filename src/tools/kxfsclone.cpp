// kxfsclone: reproduces the private area of one container as the private
// area of another, with a container identifier (uuid) of its own, and clones
// the source's cache area by hard links; or, with -c, gives one container a
// new uuid and corrects its own area in place.
//
// Run order: command line; source area made physical and opened as an area
// handle; refusal of an hdimage-based area (and, when correcting, of a
// mounted one) and of an area whose top directories are not real ones;
// destination area (an absolute path, not inside the source); uuids; a
// destination holding an entry of the source's top directory refused; the
// destination made; the state of the run written and synced (a
// generated uuid is then recorded in a clone's configuration before the
// copy, in a corrected container's only after everything is done); the copy
// of the area; the cache area clone by hard links; the state removed. A run
// started again after an interruption finishes the one the state names.
// Every failure is fatal with status 1; usage errors end with status 2.
#include "host.h"
#include "walk.h"
#include "libkxfsutil.h"
#include "messages.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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
struct kxfs_area *area;  // the source area
bool correct_mode;
bool show_progress_asked;

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

// The code of the long option that turns the read-ahead stage off.
constexpr int kNoReadahead = 256;

void parse_args(int argc, char **argv) {
    static const struct option long_options[] = {
        {"progress", no_argument, nullptr, 'p'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},  {"quiet", no_argument, nullptr, 'q'},
        {"correct", no_argument, nullptr, 'c'},  {"skiplock", no_argument, nullptr, 's'},
        {"no-readahead", no_argument, nullptr, kNoReadahead}, {nullptr, 0, nullptr, 0}};
    set_walk_readahead(1);
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
        case kNoReadahead:
            set_walk_readahead(0);
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

// A private area named by a relative path would be looked for in the
// operator's working directory.
void require_absolute(const char *path, int veid) {
    if (path[0] != '/')
        error(1, 0, "Private area '%s' of CT %d is not an absolute path", path, veid);
}

// The physical path an absolute path names or will name once its missing
// directories are made: the real path of its longest existing part, then
// the rest with "." and ".." taken as written. "" when it cannot be told.
std::string resolved_path(const std::string &path) {
    std::string head = path, tail;
    for (;;) {
        std::unique_ptr<char, kx::FreeDeleter> real(realpath(head.c_str(), nullptr));
        if (real) {
            head = real.get();
            break;
        }
        size_t slash = head.rfind('/');
        if ((errno != ENOENT && errno != ENOTDIR) || slash == std::string::npos || head == "/")
            return {};
        tail = head.substr(slash) + tail;
        head = slash == 0 ? "/" : head.substr(0, slash);
    }
    for (size_t i = 0; i < tail.size();) {
        size_t end = tail.find('/', i + 1);
        if (end == std::string::npos)
            end = tail.size();
        std::string part = tail.substr(i + 1, end - i - 1);
        if (part == "..")
            head.resize(std::max<size_t>(head.rfind('/'), 1));
        else if (!part.empty() && part != ".")
            head += (head == "/" ? "" : "/") + part;
        i = end;
    }
    return head;
}

// A clone into a directory inside its own source would copy itself forever:
// refused before the destination is made.
void refuse_nested_destination() {
    std::string dst = resolved_path(dst_priv_dir);
    std::string src(src_priv_dir);
    if (!dst.empty() && dst.compare(0, src.size(), src) == 0 &&
        (dst[src.size()] == '/' || (src == "/" && dst.size() > 1)))
        error(1, 0, "Destination private area %s is inside the source private area %s",
              dst_priv_dir, src_priv_dir);
}

// The copy never overwrites: an entry of the source's top directory that
// the destination holds already would stop it with this message. Refused
// here, before the destination or its configuration changes.
void refuse_existing_entries() {
    kx::Fd dst(open(dst_priv_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dst.ok()) {
        if (errno == ENOENT)
            return;
        error(1, errno, "Kxfsclone: can't chdir '%s'", dst_priv_dir);
    }
    const bool skip_lock = get_option() & OPT_SKIP_LOCK;
    bool listed = kx::each_entry(area->area.fd, kx::Listing::streamed, nullptr,
                                 [&](const char *name, unsigned char) {
        struct stat st;
        if (!(skip_lock && std::strcmp(name, ".lck") == 0) &&
            fstatat(dst.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            error(1, 0, "Already exist '%s'", (std::string(dst_priv_dir) + "//" + name).c_str());
        return true;
    });
    if (!listed)
        error(1, errno, "Can't open dir '%s'", src_priv_dir);
}

// A uuid names a directory below the template root: it must be one plain
// path component.
void check_uuid(const char *uuid, int veid) {
    if (uuid[0] == '\0' || std::strchr(uuid, '/') || std::strcmp(uuid, ".") == 0 ||
        std::strcmp(uuid, "..") == 0)
        error(1, 0, "Invalid UUID '%s' of CT %d", uuid, veid);
}

void show_progress(void *) {
    if (!progress || inodes == 0)
        return;
    long long percent = static_cast<long long>(process_obj) * 100 / inodes;
    std::printf(" \r");
    std::printf("processing %lld%%\r", percent);
    std::fflush(stdout);
}

// ---- the state of a run, for a rerun after an interruption -----------------
//
// Kept in the host's configuration directory beside the container's
// configuration (never in an area, which is the container's): the first
// line says what runs, written whole and synced before anything changes;
// a correction appends the copy's journal below it. A finished run says
// so on a last line "done", synced, then removes the file: a state that
// could not be removed is never taken for an interrupted run. The state
// of container N is "<N>.kxfsclone".

struct State {
    bool present = false;
    bool correct = false;
    int src_veid = 0;
    std::string src_uuid, dst_uuid;  // "-" for none
    bool fresh_dst = false;          // the destination area was new or empty
    bool fresh_cache = false;        // the destination cache area was new
    std::string records;             // the journal below the first line
    bool done = false;               // the run finished
};

constexpr const char *kDoneLine = "done";

std::string state_path(int veid) {
    return kx::host_path(kx::kConfigDir) + "/" + std::to_string(veid) + ".kxfsclone";
}

State read_state(int veid) {
    State st;
    std::string text;
    kx::Fd fd(open(state_path(veid).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (!fd.ok() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        !kx::read_all(fd.get(), text))
        return st;
    size_t end = text.find('\n');
    std::string head = text.substr(0, end);
    st.records = end == std::string::npos ? std::string() : text.substr(end + 1);
    const std::string done_tail = std::string(kDoneLine) + "\n";
    st.done = st.records == done_tail ||
              (st.records.size() > done_tail.size() &&
               st.records.compare(st.records.size() - done_tail.size() - 1, std::string::npos,
                                  "\n" + done_tail) == 0);
    char kind[16], a[64], b[64];
    int fresh_dst = 0, fresh_cache = 0;
    if (std::sscanf(head.c_str(), "%15s %d %63s %63s %d %d", kind, &st.src_veid, a, b, &fresh_dst,
                    &fresh_cache) < 4)
        return st;
    st.present = true;
    st.correct = std::strcmp(kind, "correct") == 0;
    st.src_uuid = a;
    st.dst_uuid = b;
    st.fresh_dst = fresh_dst == 1;
    st.fresh_cache = fresh_cache == 1;
    return st;
}

int journal_fd = -1;
std::string journal_path;

void journal_record(void *, const char *record) {
    std::string line = std::string(record) + "\n";
    if (!kx::write_all(journal_fd, line))
        error(1, errno, "Can't write '%s'", journal_path.c_str());
}

// Writes the state's first line durably (a whole new file renamed into
// place) and keeps the file open for the journal.
void write_state(int veid, const State &st) {
    journal_path = state_path(veid);
    const std::string temp = journal_path + ".tmp";
    char head[256];
    std::snprintf(head, sizeof head, "%s %d %s %s %d %d\n", st.correct ? "correct" : "clone",
                  st.src_veid, st.src_uuid.c_str(), st.dst_uuid.c_str(), st.fresh_dst ? 1 : 0,
                  st.fresh_cache ? 1 : 0);
    kx::Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok() || !kx::write_all(fd.get(), std::string(head)) || fsync(fd.get()) != 0 ||
        fd.close() != 0 || rename(temp.c_str(), journal_path.c_str()) != 0)
        error(1, errno, "Can't write '%s'", journal_path.c_str());
    kx::Fd dir(open(kx::host_path(kx::kConfigDir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok() || (fsync(dir.get()) != 0 && errno != EINVAL))
        error(1, errno, "Can't write '%s'", journal_path.c_str());
    journal_fd = open(journal_path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (journal_fd < 0)
        error(1, errno, "Can't write '%s'", journal_path.c_str());
}

// The end of a run: the state says it is done, then goes.
void remove_state(int veid) {
    const std::string path = state_path(veid);
    if (journal_fd >= 0) {
        const std::string line = std::string(kDoneLine) + "\n";
        if (!kx::write_all(journal_fd, line) || fsync(journal_fd) != 0 || close(journal_fd) != 0)
            error(1, errno, "Can't write '%s'", path.c_str());
        journal_fd = -1;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        error(1, errno, "Can't remove '%s'", path.c_str());
}

// What an interrupted clone put into the destination area it made: gone
// before the copy starts again.
void clear_destination(int dfd) {
    std::vector<std::string> names;
    if (!kx::each_entry(dfd, kx::Listing::streamed, nullptr, [&names](const char *name, unsigned char) {
            names.emplace_back(name);
            return true;
        }))
        error(1, errno, "Can't open dir '%s'", dst_priv_dir);
    for (const std::string &name : names) {
        struct stat st;
        if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        int rc = S_ISDIR(st.st_mode) ? remove_dir_at(dfd, name.c_str(), dst_priv_dir)
                                     : unlinkat(dfd, name.c_str(), 0);
        if (rc != 0)
            error(1, errno, "Can't remove '%s/%s' left by an interrupted clone", dst_priv_dir,
                  name.c_str());
    }
}

// Whether the directory path is missing or holds nothing; one that cannot
// be listed to its end is not known to be empty.
bool empty_directory(const char *path) {
    kx::Fd fd(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok())
        return true;
    bool empty = true;
    bool listed = kx::each_entry(fd.get(), kx::Listing::streamed, nullptr, [&empty](const char *, unsigned char) {
        empty = false;
        return false;
    });
    return listed && empty;
}

// Copies the tree src (shown as src_shown) to dst, exiting with the result
// of a failed directory.
void copy_tree(int src, const char *src_shown, int dst, const char *dst_shown, int top,
               bool with_progress) {
    int result = copy_tree_at(src, src_shown, dst, dst_shown, top, &process_obj,
                              with_progress ? show_progress : nullptr, nullptr);
    if (result != 0)
        std::exit(result);
}

void clone_cache_area(bool resuming, bool fresh_cache) {
    clean_copy_hardlinks();
    set_option(static_cast<int>(get_option()) | OPT_LINK_FILES);
    const std::string cache = kx::host_path(kx::kTemplateRoot) + "/vc";
    std::string src_cache = cache + "/" + src_uuid;
    std::string dst_cache = cache + "/" + dst_uuid;
    if (kx::trace_on(4))
        debug_print(4, "Copy template area %s to %s\n", src_cache.c_str(), dst_cache.c_str());
    struct stat st;
    if (lstat(src_cache.c_str(), &st) != 0) {
        if (kx::trace_on(4))
            debug_print(4, "Directory %s not found", src_cache.c_str());
        return;
    }
    if (!S_ISDIR(st.st_mode))
        error(1, ENOTDIR, "%s is not directory", src_cache.c_str());
    // The cache area an interrupted run began for the new uuid is redone.
    if (resuming && fresh_cache && lstat(dst_cache.c_str(), &st) == 0 &&
        remove_dir(dst_cache.c_str()) != 0)
        error(1, errno, "Can't remove '%s' left by an interrupted clone", dst_cache.c_str());
    if (lstat(dst_cache.c_str(), &st) != 0 && mkdir(dst_cache.c_str(), 0755) != 0)
        error(1, errno, "Can't make directory %s", dst_cache.c_str());
    kx::Fd src(open(src_cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    kx::Fd dst(open(dst_cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!src.ok() || !dst.ok()) {
        werror(errno, "Kxfsclone: can't chdir '%s'", (src.ok() ? dst_cache : src_cache).c_str());
        std::exit(1);
    }
    copy_tree(src.get(), src_cache.c_str(), dst.get(), dst_cache.c_str(), 0, false);
    if (kx::trace_on(4))
        debug_print(4, "Copy template area end\n");
}

void copy_driver(bool resuming, bool fresh_cache, const char *journal) {
    init_copy_hardlinks();
    if (journal)
        resume_copy_journal(journal);
    if (kx::trace_on(4))
        debug_print(4, "Scan begin :%s:\n", src_priv_dir);
    kx::Fd dst;
    if (!correct_mode) {
        dst = kx::Fd(open(dst_priv_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dst.ok()) {
            werror(errno, "Kxfsclone: can't chdir '%s'", dst_priv_dir);
            std::exit(1);
        }
    }
    // The cow files of the area follow the links whose text is rewritten.
    set_copy_area_tree(area->layout == 4 ? "fs" : "");
    int result = copy_tree_at(area->area.fd, src_priv_dir, dst.get(), dst_priv_dir, 1,
                              &process_obj, show_progress, nullptr);
    set_copy_area_tree(nullptr);
    // A correction that stopped, or left locked entries as they were, has
    // rewritten links into the new uuid's cache area: that area is cloned
    // all the same, so that every link of the container leads somewhere.
    if (result != 0 && !correct_mode)
        std::exit(result);
    if (kx::trace_on(4))
        debug_print(4, "Scan mount point %s end\n", src_priv_dir);
    if (src_uuid && dst_uuid)
        clone_cache_area(resuming, fresh_cache);
    if (result != 0)
        std::exit(result);
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
    require_absolute(src_private, src_veid);
    src_priv_dir = physical_dir(src_private);
    std::free(src_private);
    if (!check_support_fs(src_priv_dir))
        error(1, 0, "Private area is based on hdimage device. KXFS is prohibited.");
    if (correct_mode && check_mount_kxfs(src_priv_dir))
        error(1, errno, "Private area is mounted. Please, umount private area");
    area = open_area(src_priv_dir);
    if (area == nullptr)
        error(1, errno, "%s: can't chdir '%s'", program_name, src_priv_dir);
    refuse_unsafe_area(area);

    bool fresh_dst = false;
    if (correct_mode) {
        dst_priv_dir = src_priv_dir;
    } else {
        dst_priv_dir = read_ve_private(dst_veid);
        require_absolute(dst_priv_dir, dst_veid);
        fresh_dst = empty_directory(dst_priv_dir);
        refuse_nested_destination();
    }

    src_uuid = read_ve_config_param(src_veid, "UUID");
    if (!src_uuid && correct_mode) {
        if (kx::trace_on(3))
            debug_print(3, "UUID is not defined.\n");
        return 0;
    }
    if (!correct_mode)
        dst_uuid = read_ve_config_param(dst_veid, "UUID");

    // A run interrupted before it ended left its state: the rerun finishes
    // that run, with the uuid it chose.
    const int state_veid = correct_mode ? src_veid : dst_veid;
    State state = read_state(state_veid);
    bool resuming = false;
    if (state.present && correct_mode && state.correct && state.src_veid == src_veid) {
        if (state.dst_uuid == src_uuid || state.done) {
            // Only the removal of the state was left to do.
            remove_state(state_veid);
            return 0;
        }
        if (state.src_uuid == src_uuid) {
            dst_uuid = xstrdup(state.dst_uuid.c_str());
            resuming = true;
        }
    } else if (state.present && !correct_mode && !state.correct && state.src_veid == src_veid &&
               state.src_uuid == (src_uuid ? src_uuid : "-") &&
               (!dst_uuid || state.dst_uuid == dst_uuid)) {
        if (state.done) {
            remove_state(state_veid);
            return 0;
        }
        if (!dst_uuid && state.dst_uuid != "-")
            dst_uuid = xstrdup(state.dst_uuid.c_str());
        resuming = true;
    }

    bool generated = false;
    if (src_uuid) {
        check_uuid(src_uuid, src_veid);
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
    }

    // Every refusal comes before the first change.
    if (!correct_mode) {
        if (!resuming)
            refuse_existing_entries();
        make_directory(dst_priv_dir);
    }

    if (resuming) {
        // The journal goes on below what the interrupted run recorded.
        journal_path = state_path(state_veid);
        journal_fd = open(journal_path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        if (journal_fd < 0)
            error(1, errno, "Can't write '%s'", journal_path.c_str());
        if (!correct_mode && state.fresh_dst)
            clear_destination(kx::Fd(open(dst_priv_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)).get());
    } else {
        state = State{};
        state.correct = correct_mode;
        state.src_veid = src_veid;
        state.src_uuid = src_uuid ? src_uuid : "-";
        state.dst_uuid = dst_uuid ? dst_uuid : "-";
        state.fresh_dst = fresh_dst;
        struct stat st;
        state.fresh_cache = dst_uuid && lstat((kx::host_path(kx::kTemplateRoot) + "/vc/" +
                                               dst_uuid).c_str(), &st) != 0;
        write_state(state_veid, state);
    }
    // A clone names its uuid before the copy starts.
    if (!correct_mode && dst_uuid) {
        std::unique_ptr<char, kx::FreeDeleter> recorded(
            generated ? nullptr : read_ve_config_param(dst_veid, "UUID"));
        if (!recorded)
            add_ve_config_param(dst_veid, "UUID", dst_uuid);
    }

    if (show_progress_asked) {
        inodes = get_inodes_count(src_veid);
        if (inodes < 0) {
            if (kx::trace_on(2))
                debug_print(2, "Warning: can't read quota for CT %d\n", src_veid);
        } else {
            progress = 1;
        }
    }

    set_copy_uuids(src_uuid, dst_uuid);
    if (correct_mode)
        set_copy_journal(journal_record, nullptr);
    copy_driver(resuming, correct_mode || state.fresh_cache,
                resuming && correct_mode ? state.records.c_str() : nullptr);
    set_copy_journal(nullptr, nullptr);

    if (progress) {
        std::printf("\r \r");
        std::printf("processing 100%%\ndone\n");
    }
    // A corrected container names its new uuid only once everything is done.
    if (correct_mode)
        correct_ve_config_param(src_veid, "UUID", dst_uuid);
    remove_state(state_veid);
    std::fflush(stdout);
    return 0;
}
