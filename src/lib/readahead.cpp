// Read-ahead stage: worker threads that bring into memory what a
// single-threaded walk of a tree is about to read, so that the walk finds
// directory blocks, inodes, link texts and shortcut contents in the cache
// instead of waiting for one inode read at a time.
//
// The walk it serves is one depth-first pass over a stack of pending
// directories: the most recently pushed directory is read next, its entries
// in listing order. The stage keeps a plan of the directories the walk will
// read, in that order: the directory being read first, then the subtrees of
// the directories ahead, each subtree expanded from the stage's own listings
// (a directory's subdirectories follow it, the last listed first). The walk
// tells the stage where it is (readahead_enter_dir) and what it pushed
// (readahead_push_dir), so a plan that went wrong or was cut short is set
// right at the next directory. Workers take the earliest task of the plan:
// listing a directory (in batches), or looking at a chunk of its names.
//
// Bounded: at most a window of listed entries ahead of the walk (the walk's
// place inside a wide directory comes from readahead_advance), a fixed
// number of planned directories (the farthest are dropped) and of open
// directories; names are dropped as soon as their chunk has been looked at.
//
// Warm-cache neutral: a thread notes whether the calls of a task had to
// wait; once many tasks in a row found all they read in memory, the stage
// only samples the tree until a sample has to wait again, or the walk's own
// thread had to wait in two directories in a row (a tree can be warm where
// the samples fall and cold elsewhere: a fresh copy can keep much of its
// directories and inodes in memory when the page cache is dropped, while
// the blocks of its long link texts are read from disk). A listing counts
// its directory's open as well as its reads: on a cold tree the block
// device's own read-ahead often brings in the blocks of neighbouring
// directories while their inodes, link blocks and files are still cold.
//
// Invisible and read-only: directories are opened beneath the root
// descriptor without following any link; entries are looked at with
// fstatat and readlinkat relative to their directory; a regular file is
// opened only after fstatat showed one, no-follow and non-blocking, checked
// again with fstat, and its pages are only requested (no copy to user
// space). Directories and files are opened with O_NOATIME, so the stage's
// own reads leave no access time behind: the walk's reads set them exactly
// as without the stage. Reading a link's text sets the link's access time
// (there is no way around it); the stage reads link texts only for a walk
// that reads every one, so a link's time is at most set a moment early, or
// for a link within the window past a walk that stopped early. Whatever fails is skipped silently: the walk meets
// the same entry itself and reports it. Workers run with every signal
// blocked, so signals reach the walk's thread as before.
#include "area.h"
#include "walk.h"

#include "libkxfsutil.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstdlib>
#include <cstring>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kDefaultThreads = 16;
constexpr int kMaxThreads = 64;
constexpr int kThreadsPerCpuBesideWrites = 4;
constexpr size_t kChunkNames = 32;      // names per look-at task
constexpr long kWindowEntries = 8192;   // listed entries ahead of the walk
constexpr size_t kMaxNodes = 2048;      // directories planned ahead
constexpr size_t kMaxChildren = 2048;   // subdirectories planned from one listing
constexpr int kMaxOpenDirs = 64;        // directories held open by the stage
constexpr off_t kPeekBytes = 4096;      // shortcut contents
constexpr off_t kDataBytes = 1 << 20;   // start of a file about to be copied
constexpr size_t kListBuffer = 32768;   // one getdents batch
constexpr int kWarmTasks = 256;        // tasks in a row found cached: the tree is warm
constexpr unsigned kProbeEvery = 16;    // on a warm tree, directories per one looked at
constexpr int kWalkColdDirs = 2;        // directories in a row the walk waited in: not warm
constexpr const char *kIndexName = "._kxlnk_.";

// A batch of listed names, looked at by one worker.
struct Chunk {
    long start = 0;                    // index of its first entry in the directory
    std::string names;                 // NUL-terminated names, one after another
    std::vector<unsigned char> types;  // d_type of each
};

enum class ListState { unlisted, listing, paused, listed, failed, skipped };

// One directory of the plan.
struct Node {
    std::string path;  // relative to the root, "" for the root itself
    Node *prev = nullptr;
    Node *next = nullptr;
    ListState state = ListState::unlisted;
    int fd = -1;
    mode_t mode = 0;
    long listed = 0;            // entries listed so far
    std::deque<Chunk> chunks;   // listed, not yet taken by a worker
    std::vector<std::string> subdirs;  // names, while the listing runs
    bool too_many_subdirs = false;
    bool in_plan = true;
    int busy = 0;  // workers holding this node
};

// Removes a leading "./" and trailing slashes; "." is the root, "".
std::string normal_path(const char *path) {
    std::string_view p = path ? path : "";
    while (p.size() >= 2 && p[0] == '.' && p[1] == '/')
        p.remove_prefix(2);
    while (!p.empty() && p.back() == '/')
        p.remove_suffix(1);
    if (p == ".")
        p = {};
    return std::string(p);
}

// Opens the directory path beneath root: no component may be a link, none
// may climb out. Without O_NOATIME where it is refused (not the owner).
int open_dir(int root, const std::string &path) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOATIME;
    int fd = kx::open_beneath(root, path.c_str(), flags);
    if (fd < 0 && errno == EPERM)
        fd = kx::open_beneath(root, path.c_str(), flags & ~O_NOATIME);
    return fd;
}

// Whether the walks of the library and the tools run a stage.
std::atomic<bool> walks_read_ahead{false};

}  // namespace

struct readahead_stage {
    int root = -1;
    int flags = 0;
    // The cow directory whose files the magic links name, and how names
    // are made there; set once before the walk starts.
    std::atomic<int> cow{-1};
    bool cow_legacy = false;
    bool cow_data = false;
    // The cow directory's names when it could be listed whole: most magic
    // links have no cow file, and a name not listed needs no lookup.
    std::unique_ptr<kx::NameFilter> cow_names;
    std::mutex mu;
    std::condition_variable work_cv;
    std::vector<pthread_t> threads;
    std::atomic<bool> stopping{false};

    // The plan: head is the directory the walk reads, the rest in walk order.
    Node *head = nullptr;
    Node *tail = nullptr;
    Node *scan_from = nullptr;  // no claimable task before it
    std::unordered_map<std::string_view, Node *> by_path;
    size_t nodes = 0;
    long listed_sum = 0;  // entries listed of the planned directories
    int open_dirs = 0;
    int idle = 0;
    bool window_full = false;  // a worker waits for the walk to move on
    bool fd_wait = false;      // a worker waits for a directory to be closed

    // Entries of the head directory the walk has handled; written by the
    // walk's thread without the lock.
    std::atomic<long> progress{0};
    std::atomic<long> wake_at{LONG_MAX};
    // Tasks in a row that found everything cached. On a warm tree the stage
    // would only repeat the walk's own work, so it then lists one directory
    // in kProbeEvery and looks at the first entry of each chunk, and goes
    // back to full work as soon as one of these has to wait.
    std::atomic<int> warm_streak{0};
    // Set when a task waited while the stage held back: the directories it
    // left to the walk alone are read ahead after all.
    std::atomic<bool> revive{false};
    unsigned probe_tick = 0;
    // The walk's own waits when it last left readahead_enter_dir, and the
    // directories in a row in which it waited: a walk that keeps waiting
    // meets what the stage left cold, however warm its samples were. (One
    // wait alone can be a write's or a lock's.)
    long walk_waits = -1;
    int walk_cold_dirs = 0;
};

namespace {

using Stage = readahead_stage;

long ahead(const Stage *s) {
    long done = s->progress.load(std::memory_order_relaxed);
    if (s->head && done > s->head->listed)
        done = s->head->listed;
    return s->listed_sum - (s->head ? done : 0);
}

void close_dir(Stage *s, Node *n) {
    if (n->fd >= 0) {
        ::close(n->fd);
        n->fd = -1;
        s->open_dirs--;
    }
}

void destroy(Stage *s, Node *n) {
    close_dir(s, n);
    delete n;
}

void link_after(Stage *s, Node *after, Node *n) {
    n->prev = after;
    n->next = after ? after->next : s->head;
    if (n->next)
        n->next->prev = n;
    else
        s->tail = n;
    if (after)
        after->next = n;
    else
        s->head = n;
}

// Takes a node out of the plan; it is freed when no worker holds it.
void release(Stage *s, Node *n) {
    if (n->prev)
        n->prev->next = n->next;
    else
        s->head = n->next;
    if (n->next)
        n->next->prev = n->prev;
    else
        s->tail = n->prev;
    if (s->scan_from == n)
        s->scan_from = n->next;
    s->by_path.erase(n->path);
    s->nodes--;
    s->listed_sum -= n->listed;
    n->in_plan = false;
    n->chunks.clear();
    n->subdirs.clear();
    if (n->busy == 0)
        destroy(s, n);
}

// Plans the directory path right after the node after (the head when it is
// null); the farthest planned directories go when the plan is full.
Node *plan_dir(Stage *s, Node *after, std::string path) {
    Node *n = new Node;
    n->path = std::move(path);
    link_after(s, after, n);
    s->by_path.emplace(n->path, n);
    s->nodes++;
    while (s->nodes > kMaxNodes && s->tail && s->tail != s->head && s->tail != n)
        release(s, s->tail);
    return n;
}

// Lets the workers look again from the head, waking up to wake of them
// (one per new task: a woken worker that finds nothing costs the walk).
void rescan(Stage *s, int wake) {
    s->scan_from = s->head;
    for (int i = 0; i < wake && i < s->idle; ++i)
        s->work_cv.notify_one();
}

// The work one worker takes.
struct Task {
    Node *node = nullptr;
    bool list = false;
    Chunk chunk;
};

// The window is full: wake the workers when the walk has gone through half
// of it in the directory it reads (or, failing that, at its next directory).
void arm_wake(Stage *s) {
    s->window_full = true;
    s->wake_at.store(s->listed_sum - kWindowEntries / 2 + 1, std::memory_order_relaxed);
}

bool settled(const Node *n) {
    return (n->state == ListState::listed || n->state == ListState::failed ||
            n->state == ListState::skipped) &&
           n->chunks.empty();
}

// On a warm tree, whether to leave the next directory to the walk alone.
bool skip_warm(Stage *s) {
    return !(s->flags & READAHEAD_FULL) && s->warm_streak.load(std::memory_order_relaxed) >= kWarmTasks &&
           s->probe_tick++ % kProbeEvery != 0;
}

// The earliest claimable task of the plan, under the lock.
bool claim(Stage *s, Task &task) {
    bool may_list = ahead(s) < kWindowEntries;
    bool blocked = false;
    long done = s->progress.load(std::memory_order_relaxed);
    s->fd_wait = false;
    if (s->revive.exchange(false, std::memory_order_relaxed)) {
        for (Node *n = s->head; n; n = n->next) {
            if (n->state == ListState::skipped)
                n->state = ListState::unlisted;
        }
        s->scan_from = s->head;
    }
    while (s->scan_from && settled(s->scan_from))
        s->scan_from = s->scan_from->next;
    for (Node *n = s->scan_from; n; n = n->next) {
        // Chunks the walk has already gone past are dropped.
        if (n == s->head && !n->chunks.empty()) {
            while (!n->chunks.empty() &&
                   n->chunks.front().start + static_cast<long>(n->chunks.front().types.size()) <= done)
                n->chunks.pop_front();
            if (n->busy == 0 && settled(n))
                close_dir(s, n);
        }
        if (!n->chunks.empty()) {
            task.node = n;
            task.list = false;
            task.chunk = std::move(n->chunks.front());
            n->chunks.pop_front();
            n->busy++;
            return true;
        }
        if (n->state == ListState::unlisted && skip_warm(s)) {
            n->state = ListState::skipped;
            continue;
        }
        bool listable = n->state == ListState::paused || n->state == ListState::unlisted;
        if (listable && n->state == ListState::unlisted && s->open_dirs >= kMaxOpenDirs) {
            s->fd_wait = true;
            continue;
        }
        if (listable) {
            if (!may_list) {
                blocked = true;
                continue;
            }
            if (n->state == ListState::unlisted)
                s->open_dirs++;  // counted now, opened by the worker
            n->state = ListState::listing;
            n->busy++;
            task.node = n;
            task.list = true;
            return true;
        }
    }
    if (blocked)
        arm_wake(s);
    return false;
}

// Voluntary context switches of the calling thread: they grow when a call
// had to wait, for the disk above all.
long waits() {
    struct rusage ru;
    return ::getrusage(RUSAGE_THREAD, &ru) == 0 ? ru.ru_nvcsw : -1;
}

// Notes whether a task had to wait.
void note_wait(Stage *s, bool waited) {
    if (waited) {
        if (s->warm_streak.exchange(0, std::memory_order_relaxed) >= kWarmTasks)
            s->revive.store(true, std::memory_order_relaxed);
    } else if (s->warm_streak.load(std::memory_order_relaxed) < kWarmTasks)
        s->warm_streak.fetch_add(1, std::memory_order_relaxed);
}

// Opens the regular file name of dirfd that fstatat showed as st (the very
// inode, no link, no blocking) and asks for its first want bytes.
void request_pages(int dirfd, const char *name, const struct stat &st, off_t want) {
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_NOATIME | O_CLOEXEC;
    kx::Fd fd(::openat(dirfd, name, flags));
    if (!fd.ok() && errno == EPERM)
        fd = kx::Fd(::openat(dirfd, name, flags & ~O_NOATIME));
    struct stat got;
    if (!fd.ok() || ::fstat(fd.get(), &got) != 0 || !S_ISREG(got.st_mode) ||
        got.st_ino != st.st_ino || got.st_dev != st.st_dev)
        return;
    ::posix_fadvise(fd.get(), 0, want, POSIX_FADV_WILLNEED);
}

// The cow file a magic link names: its inode and, for a walk that reads
// cow files, the start of its data.
void look_at_cow(Stage *s, const char *name, const char *text) {
    int cow = s->cow.load(std::memory_order_acquire);
    if (cow < 0 || !kx::is_magic(text) || std::strcmp(name, kIndexName) == 0)
        return;
    char *cow_name = s->cow_legacy ? legacy_name(text) : md5_name(text);
    struct stat st;
    if (cow_name && (!s->cow_names || s->cow_names->may_hold(cow_name)) &&
        ::fstatat(cow, cow_name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0 &&
        S_ISREG(st.st_mode) && st.st_size > 0 && s->cow_data)
        request_pages(cow, cow_name, st, kDataBytes);
    std::free(cow_name);
}

// Brings one entry of the directory dirfd into memory.
void look_at_entry(Stage *s, int dirfd, mode_t dir_mode, const char *name, unsigned char type) {
    if (type == DT_LNK && (s->flags & READAHEAD_LINKS)) {
        char link[4096];
        ssize_t n = ::readlinkat(dirfd, name, link, sizeof link - 1);
        if (n > 0) {
            link[n] = '\0';
            look_at_cow(s, name, link);
        }
        return;
    }
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0)
        return;
    if (!S_ISREG(st.st_mode))
        return;
    off_t want = 0;
    if (st.st_mode & S_ISVTX) {
        if (s->flags & READAHEAD_SHORTCUTS)
            want = kPeekBytes;
    } else if ((dir_mode & S_ISUID) && std::strcmp(name, kIndexName) == 0) {
        if (s->flags & READAHEAD_INDEXES)
            want = st.st_size;
    } else if (s->flags & READAHEAD_DATA) {
        want = kDataBytes;
    }
    if (want == 0 || st.st_size == 0)
        return;
    request_pages(dirfd, name, st, want);
}

// Looks at one chunk of names of the directory dirfd.
void look_at(Stage *s, int dirfd, mode_t dir_mode, const Chunk &chunk) {
    const char *name = chunk.names.data();
    long before = waits();
    if (!(s->flags & READAHEAD_FULL) &&
        s->warm_streak.load(std::memory_order_relaxed) >= kWarmTasks) {
        look_at_entry(s, dirfd, dir_mode, name, chunk.types[0]);
        if (waits() == before)
            return;
        note_wait(s, true);
    }
    for (unsigned char type : chunk.types) {
        if (s->stopping.load(std::memory_order_relaxed))
            return;
        look_at_entry(s, dirfd, dir_mode, name, type);
        name += std::strlen(name) + 1;
    }
    note_wait(s, waits() != before);
}

// Parses one getdents batch of the directory fd into chunks, numbered from
// first; the names of subdirectories go to subdirs. Returns the number of
// entries.
long take_batch(int fd, long first, const char *buf, long size, std::vector<Chunk> &out,
                std::vector<std::string> &subdirs) {
    long count = 0;
    for (long off = 0; off < size;) {
        const auto *d = reinterpret_cast<const struct dirent64 *>(buf + off);
        off += d->d_reclen;
        if (kx::is_dot_or_dotdot(d->d_name))
            continue;
        unsigned char type = d->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0)
                type = IFTODT(st.st_mode);
        }
        if (out.empty() || out.back().types.size() >= kChunkNames) {
            out.emplace_back();
            out.back().start = first + count;
        }
        out.back().names.append(d->d_name).push_back('\0');
        out.back().types.push_back(type);
        if (type == DT_DIR)
            subdirs.emplace_back(d->d_name);
        ++count;
    }
    return count;
}

// Keeps the subdirectories met so far, unless there are too many to plan:
// then the walk's own pushes plan them.
void keep_subdirs(Node *n, std::vector<std::string> &found) {
    if (n->too_many_subdirs || found.empty())
        return;
    if (n->subdirs.size() + found.size() > kMaxChildren) {
        n->too_many_subdirs = true;
        n->subdirs.clear();
        n->subdirs.shrink_to_fit();
        return;
    }
    for (std::string &name : found)
        n->subdirs.push_back(std::move(name));
}

// A listed directory's subdirectories go right after it, the last listed
// first: the walk reads them in that order.
void plan_children(Stage *s, Node *n) {
    for (std::string &name : n->subdirs) {
        std::string path = n->path.empty() ? std::move(name) : kx::join(n->path, name);
        if (s->by_path.count(path) == 0 && !skip_warm(s))
            plan_dir(s, n, std::move(path));
        if (!n->in_plan)  // dropped to make room
            break;
    }
    n->subdirs.clear();
    n->subdirs.shrink_to_fit();
}

// Lists a directory in batches while the window has room.
void list_dir(Stage *s, Node *n, std::vector<char> &buf, std::unique_lock<std::mutex> &lock) {
    bool open_waited = false;
    if (n->fd < 0) {
        std::string path = n->path;
        lock.unlock();
        long before = waits();
        int fd = open_dir(s->root, path);
        open_waited = waits() != before;
        struct stat st;
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))) {
            ::close(fd);
            fd = -1;
        }
        lock.lock();
        if (fd < 0) {
            s->open_dirs--;
            n->state = ListState::failed;
            return;
        }
        n->fd = fd;
        n->mode = st.st_mode;
    }
    std::vector<Chunk> batch;
    std::vector<std::string> found;
    for (;;) {
        if (s->stopping || !n->in_plan)
            return;
        if (ahead(s) >= kWindowEntries) {
            n->state = ListState::paused;
            return;
        }
        lock.unlock();
        long before = waits();
        long got = ::syscall(SYS_getdents64, n->fd, buf.data(), buf.size());
        note_wait(s, open_waited || waits() != before);
        open_waited = false;
        batch.clear();
        found.clear();
        long count = got > 0 ? take_batch(n->fd, n->listed, buf.data(), got, batch, found) : 0;
        lock.lock();
        if (got <= 0) {
            n->state = got == 0 ? ListState::listed : ListState::failed;
            if (n->in_plan && !n->too_many_subdirs)
                plan_children(s, n);
            return;
        }
        if (!n->in_plan)
            return;
        n->listed += count;
        s->listed_sum += count;
        keep_subdirs(n, found);
        for (Chunk &c : batch)
            n->chunks.push_back(std::move(c));
        for (size_t i = 0; i < batch.size() && static_cast<int>(i) < s->idle; ++i)
            s->work_cv.notify_one();
    }
}

void *work(void *arg) {
    Stage *s = static_cast<Stage *>(arg);
    std::vector<char> buf(kListBuffer);
    std::unique_lock<std::mutex> lock(s->mu);
    while (!s->stopping) {
        Task task;
        if (!claim(s, task)) {
            s->idle++;
            s->work_cv.wait(lock);
            s->idle--;
            continue;
        }
        Node *n = task.node;
        if (task.list) {
            list_dir(s, n, buf, lock);
        } else {
            int fd = n->fd;
            mode_t mode = n->mode;
            lock.unlock();
            look_at(s, fd, mode, task.chunk);
            task.chunk = Chunk();
            lock.lock();
        }
        n->busy--;
        if (!n->in_plan) {
            if (n->busy == 0)
                destroy(s, n);
        } else if (n->busy == 0 && settled(n)) {
            bool was_full = s->open_dirs >= kMaxOpenDirs;
            close_dir(s, n);
            if (was_full && s->fd_wait && s->idle > 0)
                s->work_cv.notify_all();
        }
    }
    return nullptr;
}

// A stage of threads (0: the default) over rootfd for a walk, when walks
// run one.
readahead_stage *walk_stage(int rootfd, int flags, int threads) {
    if (!walks_read_ahead.load() || rootfd < 0)
        return nullptr;
    return start_readahead(rootfd, flags, threads);
}

}  // namespace

extern "C" {

struct readahead_stage *start_readahead(int rootfd, int flags, int threads) {
    int saved = errno;
    if (threads <= 0)
        threads = kDefaultThreads;
    if (threads > kMaxThreads)
        threads = kMaxThreads;
    auto *s = new readahead_stage;
    s->flags = flags;
    s->root = ::fcntl(rootfd, F_DUPFD_CLOEXEC, 0);
    if (s->root < 0) {
        delete s;
        errno = saved;
        return nullptr;
    }
    // The walk reads the root first.
    s->scan_from = plan_dir(s, nullptr, std::string());

    // Workers start with every signal blocked.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    for (int i = 0; i < threads; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, work, s) != 0)
            break;
        s->threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (s->threads.empty()) {
        stop_readahead(s);
        errno = saved;
        return nullptr;
    }
    errno = saved;
    return s;
}

void readahead_push_dir(struct readahead_stage *s, const char *path) {
    if (!s)
        return;
    int saved = errno;
    std::string p = normal_path(path);
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (s->by_path.count(p) == 0 && !skip_warm(s)) {
            // Not foreseen: the walk reads what it pushed last before the
            // rest of the plan.
            plan_dir(s, s->head, std::move(p));
            rescan(s, 1);
        }
    }
    errno = saved;
}

void readahead_enter_dir(struct readahead_stage *s, const char *path) {
    if (!s)
        return;
    int saved = errno;
    long now = waits();
    if (s->walk_waits >= 0 && now > s->walk_waits)
        s->walk_cold_dirs++;
    else
        s->walk_cold_dirs = 0;
    bool walk_waited = s->walk_cold_dirs >= kWalkColdDirs;
    std::string p = normal_path(path);
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (walk_waited)
            note_wait(s, true);
        auto it = s->by_path.find(p);
        Node *n = nullptr;
        if (it != s->by_path.end()) {
            n = it->second;
        } else {
            n = plan_dir(s, s->head, std::move(p));
            if (skip_warm(s))
                n->state = ListState::skipped;
        }
        // Everything planned before it has been read, or will not be.
        while (s->head != n)
            release(s, s->head);
        s->progress.store(0, std::memory_order_relaxed);
        bool wake = false;
        if (s->window_full) {
            if (ahead(s) < kWindowEntries / 2) {
                s->window_full = false;
                s->wake_at.store(LONG_MAX, std::memory_order_relaxed);
                wake = true;
            } else {
                arm_wake(s);
            }
        }
        // Directories left to the walk alone go back to the idle workers.
        if (s->revive.load(std::memory_order_relaxed))
            wake = true;
        rescan(s, wake ? kMaxThreads : n->state == ListState::unlisted ? 1 : 0);
    }
    s->walk_waits = waits();
    errno = saved;
}

void readahead_advance(struct readahead_stage *s, int count) {
    if (!s)
        return;
    long now = s->progress.fetch_add(count, std::memory_order_relaxed) + count;
    if (now < s->wake_at.load(std::memory_order_relaxed))
        return;
    int saved = errno;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->wake_at.store(LONG_MAX, std::memory_order_relaxed);
        s->window_full = false;
        rescan(s, kMaxThreads);
    }
    errno = saved;
}

void stop_readahead(struct readahead_stage *s) {
    if (!s)
        return;
    int saved = errno;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->stopping = true;
        s->work_cv.notify_all();
    }
    for (pthread_t t : s->threads)
        pthread_join(t, nullptr);
    while (s->head)
        release(s, s->head);
    ::close(s->root);
    if (s->cow >= 0)
        ::close(s->cow);
    delete s;
    errno = saved;
}

void readahead_cow_dir(struct readahead_stage *s, int cowfd, int legacy_names, int data) {
    if (!s || cowfd < 0 || s->cow.load() >= 0)
        return;
    int saved = errno;
    s->cow_legacy = legacy_names != 0;
    s->cow_data = data != 0;
    auto names = std::make_unique<kx::NameFilter>();
    if (names->add_listing(cowfd))
        s->cow_names = std::move(names);
    int fd = ::fcntl(cowfd, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0)
        s->cow.store(fd, std::memory_order_release);
    errno = saved;
}

void set_walk_readahead(int on) {
    walks_read_ahead.store(on != 0);
}

struct readahead_stage *walk_readahead(int rootfd, int flags) {
    return walk_stage(rootfd, flags, 0);
}

}  // extern "C"

// A walk that copies spends its own thread's time on writing, and the
// stage keeps ahead of it with a few threads per core; on a machine with
// few cores every thread past those takes the walk's core more often than
// it helps (a copy of a million entries on two cores: 66 to 70 s with 8
// threads, 65 to 75 s with 16).
readahead_stage *kx::writing_walk_readahead(int rootfd, int flags) {
    cpu_set_t cpus;
    int threads = 0;
    if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0 &&
        CPU_COUNT(&cpus) * kThreadsPerCpuBesideWrites < kDefaultThreads)
        threads = CPU_COUNT(&cpus) * kThreadsPerCpuBesideWrites;
    return walk_stage(rootfd, flags, threads);
}
