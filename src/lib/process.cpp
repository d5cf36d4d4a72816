// Starts host commands with posix_spawn and an argument vector, optionally
// collecting their standard output through a pipe.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base.h"

extern char **environ;

namespace kx {

namespace {

// What a shell answers for a program it cannot execute.
int shell_status_for(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return W_EXITCODE(127, 0);
    case EACCES:
    case EPERM:
    case ENOEXEC:
    case EISDIR:
    case ETXTBSY:
        return W_EXITCODE(126, 0);
    default:
        return -1;  // no process could be made at all
    }
}

// Spawn attributes: default signal dispositions and an empty mask, so the
// command runs as it would from a fresh shell whatever we ignore or block.
struct SpawnAttr {
    posix_spawnattr_t attr;
    SpawnAttr() {
        posix_spawnattr_init(&attr);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
};

struct FileActions {
    posix_spawn_file_actions_t fa;
    FileActions() { posix_spawn_file_actions_init(&fa); }
    ~FileActions() { posix_spawn_file_actions_destroy(&fa); }
};

void drain(int fd, std::string &output, size_t limit) {
    char buf[8192];
    while (output.size() < limit) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        size_t take = static_cast<size_t>(n);
        if (take > limit - output.size())
            take = limit - output.size();
        output.append(buf, take);
    }
}

}  // namespace

RunResult run_command(const std::vector<std::string> &argv, unsigned flags,
                      std::string *output, size_t output_limit) {
    RunResult result;
    if (argv.empty()) {
        result.start_error = EINVAL;
        return result;
    }
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    FileActions actions;
    Fd read_end, write_end;
    if (output) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            result.start_error = errno;
            return result;
        }
        read_end = Fd(fds[0]);
        write_end = Fd(fds[1]);
        posix_spawn_file_actions_adddup2(&actions.fa, write_end.get(), STDOUT_FILENO);
    }
    if (flags & kRunQuietStderr)
        posix_spawn_file_actions_addopen(&actions.fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // Whatever we printed must come before the command's own output.
    std::fflush(stdout);
    SpawnAttr attr;
    pid_t pid;
    int rc = (flags & kRunSearchPath)
                 ? posix_spawnp(&pid, args[0], &actions.fa, &attr.attr, args.data(), environ)
                 : posix_spawn(&pid, args[0], &actions.fa, &attr.attr, args.data(), environ);
    write_end.reset();
    if (rc != 0) {
        result.start_error = rc;
        result.status = shell_status_for(rc);
        return result;
    }
    if (output) {
        drain(read_end.get(), *output, output_limit);
        read_end.reset();
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return result;  // status -1: the child's fate is unknown
    }
    result.status = status;
    return result;
}

std::string command_text(const std::vector<std::string> &argv) {
    std::string text;
    for (const auto &a : argv) {
        if (!text.empty())
            text += ' ';
        text += a;
    }
    return text;
}

}  // namespace kx
