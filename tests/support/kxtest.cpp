#include "kxtest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace kxtest {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string base_tmp() {
    const char *t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

}  // namespace

bool is_root() {
    return geteuid() == 0;
}

std::string temp_dir(std::string_view tag) {
    std::string tmpl = base_tmp() + "/" + std::string(tag) + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        fail("mkdtemp " + tmpl);
    return tmpl;
}

Host::Host() {
    root_ = temp_dir("kxhost");
    if (const char *old = std::getenv("KXFS_TEST_HOST_ROOT")) {
        had_env_ = true;
        saved_env_ = old;
    }
    setenv("KXFS_TEST_HOST_ROOT", root_.c_str(), 1);
    make_dirs(path("kx/template"));
    make_dirs(path("etc/sysconfig/kx-scripts"));
    make_dirs(path("usr/sbin"));
    write_file(path("proc/mounts"), "");
}

Host::~Host() {
    if (had_env_)
        setenv("KXFS_TEST_HOST_ROOT", saved_env_.c_str(), 1);
    else
        unsetenv("KXFS_TEST_HOST_ROOT");
    std::error_code ec;
    // Tests may leave read-only directories behind; open them up first.
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            ::chmod(it->path().c_str(), 0755);
    }
    fs::remove_all(root_, ec);
}

std::string Host::path(std::string_view rel) const {
    return root_ + "/" + std::string(rel);
}

std::string Host::conf_path(int veid) const {
    return path("etc/sysconfig/kx-scripts/" + std::to_string(veid) + ".conf");
}

void Host::write_conf(int veid, std::string_view text) const {
    write_file(conf_path(veid), text);
}

void Host::add_command(std::string_view name, std::string_view script) const {
    write_file(path("usr/sbin/" + std::string(name)), script, 0755);
}

void Host::write_mounts(std::string_view text) const {
    write_file(path("proc/mounts"), text);
}

void make_dirs(const std::string &path, mode_t mode) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("create_directories " + path + ": " + ec.message());
    if (::chmod(path.c_str(), mode) != 0)
        fail("chmod " + path);
}

void write_file(const std::string &path, std::string_view content, mode_t mode) {
    fs::path p(path);
    if (p.has_parent_path() && !fs::exists(p.parent_path()))
        make_dirs(p.parent_path().string());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (fd < 0)
        fail("open " + path);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            fail("write " + path);
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (::chmod(path.c_str(), mode) != 0)
        fail("chmod " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void make_symlink(const std::string &target, const std::string &path) {
    fs::path p(path);
    if (p.has_parent_path() && !fs::exists(p.parent_path()))
        make_dirs(p.parent_path().string());
    if (::symlink(target.c_str(), path.c_str()) != 0)
        fail("symlink " + path);
}

std::string read_link(const std::string &path) {
    std::vector<char> buf(8192);
    ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0)
        fail("readlink " + path);
    return std::string(buf.data(), static_cast<size_t>(n));
}

void make_magic_link(const std::string &path, std::string_view rel) {
    make_symlink("////" + std::string(rel), path);
}

void make_shortcut_file(const std::string &path, std::string_view rel, mode_t mode) {
    write_file(path, "////" + std::string(rel), mode | S_ISVTX);
}

struct stat lstat_of(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        fail("lstat " + path);
    return st;
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string tool(std::string_view name) {
    const char *dir = std::getenv("KXFS_BIN_DIR");
    return std::string(dir && *dir ? dir : ".") + "/" + std::string(name);
}

Run run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
        std::string_view input) {
    RunOptions options;
    options.env = env;
    options.input = std::string(input);
    return run_with(argv, options);
}

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline for poll; -1 without one.
int millis_left(bool limited, Clock::time_point deadline) {
    if (!limited)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A write to the child's input that answers EPIPE, instead of ending the
// test with SIGPIPE, when the child has exited without reading it all.
ssize_t write_unsignalled(int fd, const char *data, size_t size) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    ssize_t w = ::write(fd, data, size);
    int err = errno;
    if (w < 0 && err == EPIPE) {
        struct timespec none {};
        sigtimedwait(&pipe_only, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return w;
}

}  // namespace

void write_sparse_file(const std::string &path, std::string_view head, off_t size,
                       std::string_view tail) {
    write_file(path, head);
    if (::truncate(path.c_str(), size) != 0)
        fail("truncate " + path);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    bool written = fd >= 0 && ::write(fd, tail.data(), tail.size()) == ssize_t(tail.size());
    if (fd >= 0)
        ::close(fd);
    if (!written)
        fail("append to " + path);
}

void limit_address_space(unsigned long long bytes) {
    struct rlimit limit = {bytes, bytes};
    if (!kSanitized && ::setrlimit(RLIMIT_AS, &limit) != 0)
        fail("setrlimit");
}

Run run_with(const std::vector<std::string> &argv, const RunOptions &options) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        fail("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, options.merge_output ? out_pipe[1] : err_pipe[1], 2);
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, options.cwd.c_str());
    const bool limited = options.timeout > 0;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (limited) {
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    }

    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e)
        envs.emplace_back(*e);
    for (const auto &extra : options.env) {
        auto eq = extra.find('=');
        std::string key = extra.substr(0, eq + 1);
        std::erase_if(envs, [&](const std::string &s) { return s.rfind(key, 0) == 0; });
        envs.push_back(extra);
    }
    std::vector<char *> cargv, cenv;
    for (const auto &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto &e : envs)
        cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);

    pid_t pid;
    int rc = posix_spawn(&pid, cargv[0], &fa, &attr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (rc != 0) {
        errno = rc;
        ::close(in_pipe[1]);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        fail("posix_spawn " + argv[0]);
    }

    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.timeout * 1000));
    Run result;
    auto kill_group = [&] {
        if (!result.timed_out) {
            result.timed_out = true;
            ::kill(-pid, SIGKILL);
        }
    };

    // Feed standard input and drain both outputs without blocking on either.
    const std::string &input = options.input;
    size_t fed = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        ::close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    char buf[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (in_fd >= 0)
            fds[n++] = {in_fd, POLLOUT, 0};
        if (out_fd >= 0)
            fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0)
            fds[n++] = {err_fd, POLLIN, 0};
        int ready = poll(fds, n, result.timed_out ? -1 : millis_left(limited, deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fail("poll");
        }
        if (ready == 0) {
            kill_group();
            continue;
        }
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            int fd = fds[i].fd;
            if (fd == in_fd) {
                ssize_t w = write_unsignalled(fd, input.data() + fed, input.size() - fed);
                if (w > 0)
                    fed += static_cast<size_t>(w);
                if (w < 0 || fed == input.size()) {
                    ::close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            ssize_t r = ::read(fd, buf, sizeof buf);
            if (r > 0) {
                (fd == out_fd ? result.out : result.err).append(buf, static_cast<size_t>(r));
            } else {
                ::close(fd);
                (fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
    }
    if (in_fd >= 0)
        ::close(in_fd);
    int status;
    struct rusage usage {};
    for (;;) {
        pid_t done = wait4(pid, &status, limited && !result.timed_out ? WNOHANG : 0, &usage);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            fail("waitpid");
        if (done == 0) {
            // Output closed, the program still runs: wait out its time.
            if (millis_left(limited, deadline) == 0)
                kill_group();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (limited)
        ::kill(-pid, SIGKILL);  // whatever the program left running in its group
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.max_rss_kb = usage.ru_maxrss;
    return result;
}

std::map<std::string, Entry> snapshot(const std::string &root) {
    std::map<std::string, Entry> entries;
    for (auto it = fs::recursive_directory_iterator(root);
         it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = it->path().string();
        Entry e;
        struct stat st = lstat_of(path);
        e.mode = st.st_mode;
        e.uid = st.st_uid;
        e.gid = st.st_gid;
        e.nlink = st.st_nlink;
        e.size = st.st_size;
        e.rdev = st.st_rdev;
        e.ino = st.st_ino;
        e.mtime_sec = st.st_mtim.tv_sec;
        if (S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0)
            e.data = read_file(path);
        else if (S_ISREG(st.st_mode))
            e.data = "(unreadable)";  // a test's closed file, seen by a non-root user
        else if (S_ISLNK(st.st_mode))
            e.data = read_link(path);
        entries.emplace(fs::relative(it->path(), root).string(), std::move(e));
    }
    return entries;
}

}  // namespace kxtest
