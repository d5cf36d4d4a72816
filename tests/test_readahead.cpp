// The read-ahead stage: it stays beneath its root, opens no special file,
// leaves access times alone, holds a bounded window of a wide directory,
// and leaves no thread or descriptor behind when stopped at any point.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kxtest.h"
#include "libkxfsutil.h"

using kxtest::make_dirs;
using kxtest::write_file;

namespace {

constexpr int kAll = READAHEAD_LINKS | READAHEAD_SHORTCUTS | READAHEAD_INDEXES |
                     READAHEAD_DATA | READAHEAD_FULL;

int count_entries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

long rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:" && in >> value)
            return value;
        in.ignore(1 << 10, '\n');
    }
    return -1;
}

// Open events of files (not directories) seen through inotify, by watched
// directory and name.
struct Opens {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<int, std::string> dirs;
    std::map<std::string, int> seen;  // "dir/name" -> count
    ~Opens() { close(fd); }
    void watch(const std::string &dir) {
        int wd = inotify_add_watch(fd, dir.c_str(), IN_OPEN | IN_ACCESS);
        ASSERT_GE(wd, 0) << dir;
        dirs[wd] = dir;
    }
    // Reads what has arrived, waiting at most ms for the first event.
    void drain(int ms = 0) {
        struct pollfd p = {fd, POLLIN, 0};
        alignas(struct inotify_event) char buf[65536];
        while (poll(&p, 1, ms) > 0) {
            ssize_t n = read(fd, buf, sizeof buf);
            for (ssize_t off = 0; off < n;) {
                auto *e = reinterpret_cast<struct inotify_event *>(buf + off);
                off += static_cast<ssize_t>(sizeof *e + e->len);
                if (e->len > 0 && !(e->mask & IN_ISDIR))
                    seen[dirs[e->wd] + "/" + e->name]++;
                else if (e->len == 0)
                    seen[dirs[e->wd]]++;
            }
            ms = 0;
        }
    }
    // Waits until the file has been opened, for at most 10 seconds.
    bool wait_for(const std::string &path) {
        for (int i = 0; i < 100 && seen.count(path) == 0; ++i)
            drain(100);
        return seen.count(path) > 0;
    }
    size_t files_below(const std::string &dir) const {
        size_t n = 0;
        for (const auto &[path, count] : seen)
            if (path.compare(0, dir.size() + 1, dir + "/") == 0)
                n += static_cast<size_t>(count);
        return n;
    }
};

void set_old_atime(const std::string &path) {
    struct timespec times[2] = {{1000000000, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

long atime_of(const std::string &path) { return kxtest::lstat_of(path).st_atim.tv_sec; }

TEST(ReadAhead, StaysBeneathTheRootTouchesNoFifoAndNoAccessTime) {
    kxtest::Host host;
    std::string top = host.root();
    std::string root = top + "/root", outside = top + "/outside";
    make_dirs(outside + "/sub");
    write_file(outside + "/file", "host data\n");
    write_file(outside + "/sub/file", "host data\n");
    ASSERT_EQ(mkfifo((outside + "/fifo").c_str(), 0600), 0);
    make_dirs(root + "/d1");
    make_dirs(root + "/d2");
    kxtest::make_shortcut_file(root + "/d1/shortcut", "a/b");
    write_file(root + "/d1/plain", "container data\n");
    ASSERT_EQ(mkfifo((root + "/d1/fifo").c_str(), 0600), 0);
    kxtest::make_symlink(outside, root + "/out");
    kxtest::make_symlink("../../outside", root + "/d2/up");
    kxtest::make_symlink(outside + "/fifo", root + "/d1/fifo-link");
    for (const char *p : {"/d1/shortcut", "/d1/plain", "/d1", "/d2", ""})
        set_old_atime(root + p);

    Opens opens;
    opens.watch(outside);
    opens.watch(outside + "/sub");
    opens.watch(root + "/d1");
    int rootfd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(rootfd, 0);
    struct readahead_stage *ra = start_readahead(rootfd, kAll, 4);
    ASSERT_NE(ra, nullptr);
    // Hints that lead out of the root, as a hostile tree or a confused walk
    // might give them. Each is the directory the walk reads; a directory
    // made and pushed afterwards is looked at after it, so once its
    // shortcut has been opened, the hint has had its turn.
    int turn = 0;
    for (std::string hint : {std::string("out"), std::string("out/sub"), std::string("../outside"),
                             outside, std::string("d2/up"), std::string("d2/up/sub"),
                             std::string("d1/fifo"), std::string("d1/fifo-link")}) {
        readahead_enter_dir(ra, hint.c_str());
        std::string next = "next" + std::to_string(turn++);
        kxtest::make_shortcut_file(root + "/" + next + "/shortcut", "a/b");
        opens.watch(root + "/" + next);
        readahead_push_dir(ra, next.c_str());
        EXPECT_TRUE(opens.wait_for(root + "/" + next + "/shortcut")) << hint;
    }
    readahead_enter_dir(ra, "");
    EXPECT_TRUE(opens.wait_for(root + "/d1/shortcut"));
    EXPECT_TRUE(opens.wait_for(root + "/d1/plain"));
    stop_readahead(ra);
    close(rootfd);
    opens.drain();

    EXPECT_EQ(opens.files_below(outside), 0u);
    EXPECT_EQ(opens.seen.count(outside), 0u);
    EXPECT_EQ(opens.seen.count(root + "/d1/fifo"), 0u);
    for (const char *p : {"/d1/shortcut", "/d1/plain", "/d1", "/d2", ""})
        EXPECT_EQ(atime_of(root + p), 1000000000) << p;
}

TEST(ReadAhead, HoldsAWindowOfAWideDirectory) {
    // 200000 entries with long names; one in a hundred is a shortcut, so
    // that the opens show how far ahead the stage has gone. They are names
    // of a few inodes, which is quicker to make.
    constexpr int kEntries = 200000, kEvery = 100;
    kxtest::Host host;
    std::string dir = host.path("wide");
    make_dirs(dir);
    std::vector<std::string> inodes;
    for (int i = 0; i < 4; ++i)
        write_file(inodes.emplace_back(host.path("plain" + std::to_string(i))), "");
    write_file(host.path("shortcut"), "////x", 01644);
    std::string pad(180, 'n');
    for (int i = 0; i < kEntries; ++i) {
        std::string path = dir + "/" + pad + std::to_string(i);
        const std::string &target = i % kEvery == 0 ? host.path("shortcut") : inodes[i % 4];
        ASSERT_EQ(link(target.c_str(), path.c_str()), 0) << path;
    }
    Opens opens;
    opens.watch(dir);
    int threads = count_entries("/proc/self/task");
    int fds = count_entries("/proc/self/fd");
    long rss = rss_kib();
    long peak = rss;
    int rootfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct readahead_stage *ra = start_readahead(rootfd, kAll, 8);
    ASSERT_NE(ra, nullptr);
    readahead_enter_dir(ra, "");
    // The walk stays at the start: the stage stops a window ahead. All names
    // held at once would take some 38 MB.
    size_t before = 0;
    for (int quiet = 0; quiet < 5;) {
        opens.drain(100);
        size_t now = opens.files_below(dir);
        quiet = now == before && now > 0 ? quiet + 1 : 0;
        before = now;
        peak = std::max(peak, rss_kib());
    }
    EXPECT_LE(before, 20000u / kEvery);
    // As the walk goes on, so does the stage. What the walk has gone past
    // it leaves; this walk, having nothing to do, waits for it.
    for (int done = 1000; done <= kEntries; done += 1000) {
        readahead_advance(ra, 1000);
        for (int i = 0; i < 50 && opens.files_below(dir) < static_cast<size_t>(done / kEvery * 9 / 10);
             ++i)
            opens.drain(100);
        peak = std::max(peak, rss_kib());
    }
    EXPECT_GE(opens.files_below(dir), static_cast<size_t>(kEntries / kEvery / 2));
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer keeps freed memory in quarantine.)
    EXPECT_LT(peak - rss, 16 * 1024) << "KiB";
#endif
    stop_readahead(ra);
    close(rootfd);
    // A joined thread's task can stay listed a moment after the join
    // returns: wait for it to go, up to two seconds.
    for (int i = 0; i < 200 && count_entries("/proc/self/task") > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
}

TEST(ReadAhead, StopsCleanlyAtAnyPoint) {
    kxtest::Host host;
    std::string root = host.path("tree");
    for (int d = 0; d < 40; ++d)
        for (int f = 0; f < 20; ++f)
            write_file(root + "/d" + std::to_string(d) + "/s/f" + std::to_string(f), "////x",
                       01644);
    int threads = count_entries("/proc/self/task");
    int fds = count_entries("/proc/self/fd");
    int rootfd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int round = 0; round < 20; ++round) {
        struct readahead_stage *ra = start_readahead(rootfd, kAll, 0);
        ASSERT_NE(ra, nullptr);
        readahead_enter_dir(ra, "");
        readahead_push_dir(ra, "d7");
        if (round % 2)
            readahead_enter_dir(ra, "d7");
        std::this_thread::sleep_for(std::chrono::microseconds(round * 200));
        errno = 1234;
        stop_readahead(ra);
        EXPECT_EQ(errno, 1234);
    }
    close(rootfd);
    // A joined thread's task can stay listed a moment after the join
    // returns: wait for it to go, up to two seconds.
    for (int i = 0; i < 200 && count_entries("/proc/self/task") > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);

    // No stage over a bad descriptor; every call takes the missing stage.
    errno = 0;
    EXPECT_EQ(start_readahead(-1, kAll, 0), nullptr);
    EXPECT_EQ(errno, 0);
    readahead_push_dir(nullptr, "a");
    readahead_enter_dir(nullptr, "a");
    readahead_advance(nullptr, 1);
    stop_readahead(nullptr);
}


TEST(ReadAhead, HoldsBackOnAWarmTreeUntilTheWalkWaits) {
    // A warm tree of 400 directories of 3 shortcuts: the stage soon finds
    // everything in memory and only samples the rest. A walk that has to
    // wait between directories (here: it sleeps) brings it back to full
    // work, however warm its samples were.
    constexpr int kDirs = 400, kFiles = 3;
    kxtest::Host host;
    std::string root = host.path("tree");
    for (int d = 0; d < kDirs; ++d)
        for (int f = 0; f < kFiles; ++f)
            write_file(root + "/d" + std::to_string(d) + "/f" + std::to_string(f), "////x", 01644);
    // The walk reads the directories in the order the stage plans them:
    // the last listed first.
    std::vector<std::string> order;
    if (DIR *d = opendir(root.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] == 'd')
                order.insert(order.begin(), e->d_name);
        closedir(d);
    }
    ASSERT_EQ(order.size(), static_cast<size_t>(kDirs));
    int rootfd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t opened[2];
    for (bool walk_waits : {false, true}) {
        Opens opens;
        for (const std::string &dir : order)
            opens.watch(root + "/" + dir);
        struct readahead_stage *ra = start_readahead(rootfd, READAHEAD_SHORTCUTS, 4);
        ASSERT_NE(ra, nullptr);
        readahead_enter_dir(ra, "");
        for (const std::string &dir : order) {
            if (walk_waits)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            readahead_enter_dir(ra, dir.c_str());
        }
        size_t before = SIZE_MAX;
        for (int quiet = 0; quiet < 3;) {
            opens.drain(100);
            size_t now = opens.files_below(root);
            quiet = now == before ? quiet + 1 : 0;
            before = now;
        }
        stop_readahead(ra);
        opened[walk_waits] = 0;  // shortcuts, each counted once
        for (const auto &seen : opens.seen)
            opened[walk_waits] += seen.first.find("/f", root.size()) != std::string::npos;
    }
    close(rootfd);
    EXPECT_LT(opened[false], static_cast<size_t>(kDirs * kFiles / 2));
    EXPECT_GT(opened[true], static_cast<size_t>(kDirs * kFiles * 3 / 4));
}

}  // namespace
