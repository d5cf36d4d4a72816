// The least a walk of an area must read: every directory listed, every
// entry lstat'ed, every link text read, and the first 4 KiB of every sticky
// regular file (a shortcut candidate). Two ways:
//
//   minwalk --threads N [--data] DIR
//                               N threads share a stack of pending
//                               directories: the floor that the storage allows
//                               (--data: read every regular file whole, to
//                               bring a tree into the page cache).
//   minwalk --walk [--readahead T] [--full] [--no-readahead] DIR
//                               one thread in the tools' order (depth first,
//                               the last pushed directory next, entries in
//                               listing order), with the read-ahead stage of
//                               T threads running ahead (0: its default;
//                               --full: it never backs off on cached parts).
//
// Prints the number of entries and directories met.
#include "libkxfsutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

bool read_data = false;

struct Counts {
    std::atomic<long> entries{0};
    std::atomic<long> dirs{0};
};

bool dot(const char *n) { return n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2])); }

std::string child(const std::string &dir, const char *name) {
    return dir.empty() ? std::string(name) : dir + "/" + name;
}

// Looks at one entry of the directory fd; true when it is a directory.
bool look(int fd, const char *name, Counts &c) {
    struct stat st;
    c.entries++;
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISLNK(st.st_mode)) {
        char text[4096];
        (void)!::readlinkat(fd, name, text, sizeof text);
    } else if (S_ISREG(st.st_mode) && ((st.st_mode & S_ISVTX) || read_data)) {
        int f = ::openat(fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (f >= 0) {
            char data[65536];
            size_t want = read_data ? sizeof data : 4096;
            while (::read(f, data, want) == static_cast<ssize_t>(want) && read_data)
                ;
            ::close(f);
        }
    }
    return S_ISDIR(st.st_mode);
}

// Lists the directory path below root, calling each(name) for its entries.
template <class Each>
bool list(int root, const std::string &path, Each each) {
    int fd = ::openat(root, path.empty() ? "." : path.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> buf(32768);
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buf.data(), buf.size());
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            auto *d = reinterpret_cast<struct dirent64 *>(buf.data() + off);
            off += d->d_reclen;
            if (!dot(d->d_name))
                each(fd, d->d_name);
        }
    }
    ::close(fd);
    return true;
}

void parallel_walk(int root, int threads, Counts &c) {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> stack{""};
    int busy = 0;
    auto worker = [&] {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            cv.wait(lock, [&] { return !stack.empty() || busy == 0; });
            if (stack.empty())
                return;
            std::string dir = std::move(stack.back());
            stack.pop_back();
            ++busy;
            lock.unlock();
            std::vector<std::string> found;
            c.dirs++;
            list(root, dir, [&](int fd, const char *name) {
                if (look(fd, name, c))
                    found.push_back(child(dir, name));
            });
            lock.lock();
            --busy;
            for (auto &f : found)
                stack.push_back(std::move(f));
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back(worker);
    for (auto &t : pool)
        t.join();
}

void tools_walk(int root, struct readahead_stage *ra, Counts &c) {
    std::vector<std::string> stack{""};
    readahead_push_dir(ra, "");
    while (!stack.empty()) {
        std::string dir = std::move(stack.back());
        stack.pop_back();
        c.dirs++;
        readahead_enter_dir(ra, dir.c_str());
        list(root, dir, [&](int fd, const char *name) {
            if (look(fd, name, c)) {
                stack.push_back(child(dir, name));
                readahead_push_dir(ra, stack.back().c_str());
            }
            readahead_advance(ra, 1);
        });
    }
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: minwalk --threads N [--data] DIR\n"
                         "       minwalk --walk [--readahead T] [--full] [--no-readahead] DIR\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    int threads = 1;
    bool walk = false;
    bool readahead = true;
    int ra_flags = READAHEAD_LINKS | READAHEAD_SHORTCUTS;
    int ra_threads = 0;
    const char *dir = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--threads" && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (a == "--data")
            read_data = true;
        else if (a == "--walk")
            walk = true;
        else if (a == "--readahead" && i + 1 < argc)
            ra_threads = std::atoi(argv[++i]);
        else if (a == "--full")
            ra_flags |= READAHEAD_FULL;
        else if (a == "--no-readahead")
            readahead = false;
        else if (a[0] != '-' && !dir)
            dir = argv[i];
        else
            usage();
    }
    if (!dir || threads < 1)
        usage();
    int root = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        std::fprintf(stderr, "minwalk: %s: %s\n", dir, std::strerror(errno));
        return 1;
    }
    Counts c;
    if (walk) {
        struct readahead_stage *ra = nullptr;
        if (readahead)
            ra = start_readahead(root, ra_flags, ra_threads);
        tools_walk(root, ra, c);
        stop_readahead(ra);
    } else {
        parallel_walk(root, threads, c);
    }
    std::printf("entries %ld dirs %ld\n", c.entries.load(), c.dirs.load());
    return 0;
}
