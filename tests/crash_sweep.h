// Crash sweep: runs a tool on a fixture and kills it on entry to its n-th
// call that changes the file system, for every n; runs the same command
// again and compares the host tree with that of an uninterrupted run: type,
// content or link text, owner, mode, times to the nanosecond, inode flags,
// extended attributes, link counts, which names share an inode, and the
// records of every dirindex (decoded, so that areas with other inode
// numbers compare equal).
//
// The tracer is our own: a seccomp filter makes the tool stop only at the
// calls that may change something (old and *at forms, the host calls 509
// and 510), and the tracer counts those that really do (an open without
// O_CREAT, O_TRUNC or write access, a write to standard output or error,
// a flag read through ioctl are not counted). x86-64 only.
//
// The fault sweep uses the same tracer to make calls fail instead: the
// n-th changing call once, with an error number that fits the call; a full
// disk from the n-th changing call on (every call that would need space
// fails, the first write comes back short); or the n-th directory listing
// (getdents64) of the tool's main thread. It then judges what the failed
// run reported and left, and runs the tool again.
#ifndef KX_CRASH_SWEEP_H
#define KX_CRASH_SWEEP_H

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"
#include "tree_compare.h"

extern char **environ;

namespace kxsweep {

// ---- the tracer --------------------------------------------------------------

struct Traced {
    kxtest::Run run;
    int changes = 0;                   // changing calls made (before the kill)
    std::vector<std::string> calls;    // their names, in order
    std::vector<bool> allocating;      // of them, those a full disk refuses
    int listings = 0;                  // getdents64 calls of the main thread (when traced)
    std::string injected;              // the faults made, for messages
};

// A fault to inject: a changing call that fails once, a disk that is full
// from a changing call on, or a listing that fails.
enum class FaultMode { none, once, full, listing };
inline void PrintTo(FaultMode m, std::ostream *os) {
    static const char *const names[] = {"none", "once", "full disk", "listing"};
    *os << names[static_cast<int>(m)];
}
struct Fault {
    FaultMode mode = FaultMode::none;
    int at = 0;  // 1-based number of the changing call, or of the listing
};

#if defined(__x86_64__)
inline constexpr bool kCanTrace = true;

struct Syscall {
    long nr;
    const char *name;
};
// Every call that may change an area, in its old and its *at forms.
inline const std::vector<Syscall> &changing_syscalls() {
    static const std::vector<Syscall> calls = {
        {SYS_open, "open"}, {SYS_openat, "openat"}, {437, "openat2"}, {SYS_creat, "creat"},
        {SYS_write, "write"}, {SYS_pwrite64, "pwrite64"}, {SYS_writev, "writev"},
        {SYS_pwritev, "pwritev"}, {327, "pwritev2"}, {SYS_truncate, "truncate"},
        {SYS_ftruncate, "ftruncate"}, {SYS_fallocate, "fallocate"},
        {SYS_copy_file_range, "copy_file_range"}, {SYS_sendfile, "sendfile"},
        {SYS_rename, "rename"}, {SYS_renameat, "renameat"}, {SYS_renameat2, "renameat2"},
        {SYS_link, "link"}, {SYS_linkat, "linkat"}, {SYS_unlink, "unlink"},
        {SYS_unlinkat, "unlinkat"}, {SYS_rmdir, "rmdir"}, {SYS_symlink, "symlink"},
        {SYS_symlinkat, "symlinkat"}, {SYS_mkdir, "mkdir"}, {SYS_mkdirat, "mkdirat"},
        {SYS_mknod, "mknod"}, {SYS_mknodat, "mknodat"}, {SYS_chmod, "chmod"},
        {SYS_fchmod, "fchmod"}, {SYS_fchmodat, "fchmodat"}, {452, "fchmodat2"},
        {SYS_chown, "chown"}, {SYS_lchown, "lchown"}, {SYS_fchown, "fchown"},
        {SYS_fchownat, "fchownat"}, {SYS_utime, "utime"}, {SYS_utimes, "utimes"},
        {SYS_futimesat, "futimesat"}, {SYS_utimensat, "utimensat"},
        {SYS_setxattr, "setxattr"}, {SYS_lsetxattr, "lsetxattr"}, {SYS_fsetxattr, "fsetxattr"},
        {SYS_removexattr, "removexattr"}, {SYS_lremovexattr, "lremovexattr"},
        {SYS_fremovexattr, "fremovexattr"}, {SYS_ioctl, "ioctl"}, {SYS_fsync, "fsync"},
        {SYS_fdatasync, "fdatasync"}, {SYS_syncfs, "syncfs"}, {SYS_sync, "sync"},
        {SYS_sync_file_range, "sync_file_range"}, {509, "kxlchmod"}, {510, "kxlutime"},
    };
    return calls;
}

// The name of a stopped call when it changes something, else null.
inline const char *changing_call(pid_t pid, const struct user_regs_struct &r) {
    long nr = static_cast<long>(r.orig_rax);
    const long writes = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC;
    switch (nr) {
    case SYS_open:
        if (!(static_cast<long>(r.rsi) & writes))
            return nullptr;
        break;
    case SYS_openat:
        if (!(static_cast<long>(r.rdx) & writes))
            return nullptr;
        break;
    case 437: {  // openat2: the flags are the first word of struct open_how
        errno = 0;
        long flags = ptrace(PTRACE_PEEKDATA, pid, reinterpret_cast<void *>(r.rdx), nullptr);
        if (errno == 0 && !(flags & writes))
            return nullptr;
        break;
    }
    case SYS_write:
    case SYS_writev: {
        if (r.rdi == 1 || r.rdi == 2)
            return nullptr;
        // A write to a pipe changes no file: the undefined-behaviour
        // sanitizer probes memory that way.
        struct stat st;
        std::string fd = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(r.rdi);
        if (stat(fd.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
            return nullptr;
        break;
    }
    case SYS_ioctl:
        if (r.rsi != 0x40086602UL && r.rsi != 0x4008AA06UL)  // set flags, node request
            return nullptr;
        break;
    default:
        break;
    }
    for (const Syscall &s : changing_syscalls())
        if (s.nr == nr)
            return s.name;
    return "?";
}

// The seccomp program that stops the tool at its changing calls only. An
// open without O_CREAT, O_TRUNC or write access, a write to descriptor 1
// or 2 and an ioctl other than the two that change a node pass unseen.
// With listings, getdents64 stops too.
inline std::vector<sock_filter> changing_filter(bool listings = false) {
    // Instructions with symbolic jump targets, resolved at the end.
    struct Ins {
        sock_filter f;
        std::string jt, jf;
    };
    std::vector<Ins> p;
    std::map<std::string, size_t> at;
    auto stmt = [&](uint16_t code, uint32_t k) { p.push_back({BPF_STMT(code, k), "", ""}); };
    auto jump = [&](uint16_t code, uint32_t k, std::string jt, std::string jf) {
        p.push_back({BPF_JUMP(code, k, 0, 0), std::move(jt), std::move(jf)});
    };
    auto label = [&](const std::string &name) { at[name] = p.size(); };
    auto arg = [](int i) { return static_cast<uint32_t>(offsetof(struct seccomp_data, args) + 8 * i); };
    const uint32_t writes = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC;

    stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch));
    jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, "", "allow");
    stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr));
    jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, "open", "");
    jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, "openat", "");
    jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, "write", "");
    jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_writev, "write", "");
    jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, "ioctl", "");
    if (listings)
        jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_getdents64, "trace", "");
    for (const Syscall &s : changing_syscalls())
        jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(s.nr), "trace", "");
    stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    label("open");
    stmt(BPF_LD | BPF_W | BPF_ABS, arg(1));
    jump(BPF_JMP | BPF_JSET | BPF_K, writes, "trace", "allow");
    label("openat");
    stmt(BPF_LD | BPF_W | BPF_ABS, arg(2));
    jump(BPF_JMP | BPF_JSET | BPF_K, writes, "trace", "allow");
    label("write");
    stmt(BPF_LD | BPF_W | BPF_ABS, arg(0));
    jump(BPF_JMP | BPF_JEQ | BPF_K, 1, "allow", "");
    jump(BPF_JMP | BPF_JEQ | BPF_K, 2, "allow", "trace");
    label("ioctl");
    stmt(BPF_LD | BPF_W | BPF_ABS, arg(1));
    jump(BPF_JMP | BPF_JEQ | BPF_K, 0x40086602U, "trace", "");  // set inode flags
    jump(BPF_JMP | BPF_JEQ | BPF_K, 0x4008AA06U, "trace", "allow");  // node request
    label("allow");  // jumps go forward only: the two ends come last
    stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    label("trace");
    stmt(BPF_RET | BPF_K, SECCOMP_RET_TRACE);

    std::vector<sock_filter> code;
    for (size_t i = 0; i < p.size(); ++i) {
        sock_filter f = p[i].f;
        if (!p[i].jt.empty())
            f.jt = static_cast<uint8_t>(at.at(p[i].jt) - i - 1);
        if (!p[i].jf.empty())
            f.jf = static_cast<uint8_t>(at.at(p[i].jf) - i - 1);
        code.push_back(f);
    }
    return code;
}

// Error numbers that fit a failed call, one picked per point in turn.
inline const std::vector<int> &fitting_errors(const std::string &name) {
    static const std::map<std::string, std::vector<int>> by_call = [] {
        std::map<std::string, std::vector<int>> m;
        auto set = [&m](std::initializer_list<const char *> names, std::vector<int> errs) {
            for (const char *n : names)
                m[n] = errs;
        };
        set({"write", "pwrite64", "writev", "pwritev", "pwritev2", "fallocate", "copy_file_range",
             "sendfile"},
            {ENOSPC, EDQUOT, EIO});
        set({"open", "openat", "openat2", "creat"}, {ENOSPC, EDQUOT, EROFS, EIO});
        set({"truncate", "ftruncate"}, {EIO, EPERM});
        set({"rename", "renameat", "renameat2"}, {ENOSPC, EPERM, EROFS, EIO, EDQUOT});
        set({"link", "linkat"}, {EMLINK, ENOSPC, EDQUOT, EPERM});
        set({"unlink", "unlinkat", "rmdir"}, {EPERM, EROFS, EIO});
        set({"symlink", "symlinkat", "mknod", "mknodat"}, {ENOSPC, EDQUOT, EROFS});
        set({"mkdir", "mkdirat"}, {ENOSPC, EDQUOT, EMLINK, EROFS});
        set({"chmod", "fchmod", "fchmodat", "fchmodat2", "chown", "lchown", "fchown", "fchownat",
             "utime", "utimes", "futimesat", "utimensat", "kxlchmod", "kxlutime"},
            {EPERM, EROFS, EIO});
        set({"setxattr", "lsetxattr", "fsetxattr"}, {ENOSPC, EDQUOT, EPERM});
        set({"removexattr", "lremovexattr", "fremovexattr", "ioctl"}, {EPERM, EIO});
        set({"fsync", "fdatasync", "syncfs", "sync", "sync_file_range"}, {EIO, ENOSPC});
        return m;
    }();
    static const std::vector<int> other = {EIO};
    auto it = by_call.find(name);
    return it == by_call.end() ? other : it->second;
}

inline std::string errno_name(int err) {
    switch (err) {
    case ENOSPC: return "ENOSPC";
    case EDQUOT: return "EDQUOT";
    case EIO: return "EIO";
    case EPERM: return "EPERM";
    case EROFS: return "EROFS";
    case EMLINK: return "EMLINK";
    default: return std::to_string(err);
    }
}

// A NUL-terminated string of the stopped process.
inline std::string tracee_string(pid_t pid, unsigned long long addr) {
    std::string s;
    char buf[256];
    while (s.size() < 8192) {
        struct iovec local = {buf, sizeof buf}, remote = {reinterpret_cast<void *>(addr), sizeof buf};
        ssize_t n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (n <= 0)
            break;
        size_t len = strnlen(buf, static_cast<size_t>(n));
        s.append(buf, len);
        if (len < static_cast<size_t>(n))
            break;
        addr += static_cast<unsigned long long>(n);
    }
    return s;
}

// Whether the path a stopped process names (beneath dirfd) exists.
inline bool tracee_path_exists(pid_t pid, long dirfd, const std::string &path) {
    std::string full = path;
    if (path.empty() || path[0] != '/')
        full = "/proc/" + std::to_string(pid) +
               (static_cast<int>(dirfd) == AT_FDCWD ? std::string("/cwd")
                                                     : "/fd/" + std::to_string(static_cast<int>(dirfd))) +
               "/" + path;
    struct stat st;
    return lstat(full.c_str(), &st) == 0;
}

// Whether the stopped changing call needs space that a full disk does not
// have: data written, a new name, a new node, an extended attribute (not
// the one the host simulator keeps a link's mode in: a mode change needs
// no space on the host).
inline bool needs_space(pid_t pid, const struct user_regs_struct &r) {
    long nr = static_cast<long>(r.orig_rax);
    switch (nr) {
    case SYS_write: case SYS_pwrite64: case SYS_writev: case SYS_pwritev: case 327:
    case SYS_fallocate: case SYS_copy_file_range: case SYS_sendfile:
    case SYS_mkdir: case SYS_mkdirat: case SYS_mknod: case SYS_mknodat:
    case SYS_symlink: case SYS_symlinkat: case SYS_link: case SYS_linkat:
        return true;
    case SYS_setxattr: case SYS_lsetxattr: case SYS_fsetxattr:
        return tracee_string(pid, r.rsi) != "trusted.kxhostsim.mode";
    case SYS_creat:
        return !tracee_path_exists(pid, AT_FDCWD, tracee_string(pid, r.rdi));
    case SYS_open:
        return (r.rsi & O_CREAT) && !tracee_path_exists(pid, AT_FDCWD, tracee_string(pid, r.rdi));
    case SYS_openat:
        return (r.rdx & O_CREAT) &&
               !tracee_path_exists(pid, static_cast<long>(r.rdi), tracee_string(pid, r.rsi));
    case 437: {
        errno = 0;
        long flags = ptrace(PTRACE_PEEKDATA, pid, reinterpret_cast<void *>(r.rdx), nullptr);
        return errno == 0 && (flags & O_CREAT) &&
               !tracee_path_exists(pid, static_cast<long>(r.rdi), tracee_string(pid, r.rsi));
    }
    default:
        return false;
    }
}

// Makes the stopped call fail with err without running it.
inline void fail_call(pid_t pid, struct user_regs_struct &r, int err) {
    r.orig_rax = static_cast<unsigned long long>(-1L);
    r.rax = static_cast<unsigned long long>(-static_cast<long>(err));
    ptrace(PTRACE_SETREGS, pid, nullptr, &r);
}

// Runs argv with extra environment entries; stops it on entry to its
// kill_at-th changing call with SIGKILL (0: never), or injects the fault.
inline Traced run_traced(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         int kill_at, Fault fault = {}, bool trace_listings = false) {
    Traced t;
    trace_listings = trace_listings || fault.mode == FaultMode::listing;
    // Everything the child needs is prepared before the fork.
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e)
        envs.emplace_back(*e);
    for (const std::string &extra : env) {
        std::string key = extra.substr(0, extra.find('=') + 1);
        std::erase_if(envs, [&](const std::string &s) { return s.rfind(key, 0) == 0; });
        envs.push_back(extra);
    }
    std::vector<char *> cargv, cenv;
    for (const std::string &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const std::string &e : envs)
        cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);
    std::vector<sock_filter> code = changing_filter(trace_listings);
    struct sock_fprog prog = {static_cast<unsigned short>(code.size()), code.data()};
    int out = memfd_create("out", 0), err = memfd_create("err", 0);
    int null = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || null < 0) {
        ADD_FAILURE() << "no descriptors for the traced run";
        return t;
    }

    pid_t child = fork();
    if (child == 0) {
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(121);
        raise(SIGSTOP);
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0)
            _exit(122);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(123);
    }
    close(null);
    int status = 0;
    waitpid(child, &status, 0);
    ptrace(PTRACE_SETOPTIONS, child, nullptr,
           PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC |
               PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE);
    ptrace(PTRACE_CONT, child, nullptr, nullptr);
    std::set<pid_t> live{child};
    bool full_began = false;
    auto inject = [&](pid_t p, struct user_regs_struct &r, const char *name, int e) {
        fail_call(p, r, e);
        if (t.injected.size() < 200)
            t.injected += std::string(t.injected.empty() ? "" : ", ") + name + " " + errno_name(e);
    };
    while (!live.empty()) {
        pid_t p = waitpid(-1, &status, __WALL);
        if (p < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            live.erase(p);
            if (p == child)
                t.run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            continue;
        }
        if (!WIFSTOPPED(status))
            continue;
        bool fresh = live.insert(p).second;
        int sig = WSTOPSIG(status), event = status >> 16, deliver = 0;
        if (sig == SIGTRAP && event == PTRACE_EVENT_SECCOMP) {
            struct user_regs_struct r;
            bool regs = ptrace(PTRACE_GETREGS, p, nullptr, &r) == 0;
            if (regs && static_cast<long>(r.orig_rax) == SYS_getdents64) {
                // The tool's own listings, not those of its read-ahead threads.
                if (p == child && ++t.listings == fault.at && fault.mode == FaultMode::listing)
                    inject(p, r, "getdents64", EIO);
            } else if (const char *name = regs ? changing_call(p, r) : nullptr) {
                t.calls.emplace_back(name);
                bool space = needs_space(p, r);
                t.allocating.push_back(space);
                int n = ++t.changes;
                if (n == kill_at) {
                    kill(p, SIGKILL);
                    continue;
                }
                if (fault.mode == FaultMode::once && n == fault.at) {
                    const std::vector<int> &errs = fitting_errors(name);
                    inject(p, r, name, errs[static_cast<size_t>(n) % errs.size()]);
                } else if (fault.mode == FaultMode::full && n >= fault.at && space) {
                    long nr = static_cast<long>(r.orig_rax);
                    if (!full_began && (nr == SYS_write || nr == SYS_pwrite64) && r.rdx > 1) {
                        r.rdx /= 2;  // the first write comes back short
                        ptrace(PTRACE_SETREGS, p, nullptr, &r);
                        t.injected += std::string(t.injected.empty() ? "" : ", ") + name + " short";
                    } else {
                        inject(p, r, name, fault.at % 2 ? ENOSPC : EDQUOT);
                    }
                    full_began = true;
                }
            }
        } else if (!(sig == SIGTRAP && event != 0) && !(sig == SIGSTOP && fresh)) {
            deliver = sig;
        }
        ptrace(PTRACE_CONT, p, nullptr, reinterpret_cast<void *>(static_cast<long>(deliver)));
    }
    for (auto [fd, text] : {std::pair{out, &t.run.out}, std::pair{err, &t.run.err}}) {
        char buf[65536];
        ssize_t n;
        for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
            text->append(buf, static_cast<size_t>(n));
        close(fd);
    }
    return t;
}
#else
inline constexpr bool kCanTrace = false;
inline Traced run_traced(const std::vector<std::string> &, const std::vector<std::string> &, int,
                         Fault = {}, bool = false) {
    return {};
}
#endif

// ---- the tree ------------------------------------------------------------------

struct Node {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    nlink_t nlink = 0;
    dev_t rdev = 0;
    ino_t ino = 0;
    struct timespec mtime {}, atime {};
    std::string data;  // content, link text, or the decoded records of a dirindex
    std::map<std::string, std::string> xattrs;
    long long flags = 0;
};
using Tree = std::map<std::string, Node>;

inline uint32_t le32(const std::string &b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
           uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}

inline bool is_index(const std::string &bytes) {
    return bytes.size() >= 20 && le32(bytes, 0) == DIRINDEX_SIGNATURE;
}

struct Record {
    std::string name, target;
    unsigned type = 0, flags = 0;
    uint32_t ino = 0;
    bool last = false;  // ends the file
};

// The records of a dirindex in file order, read by reclen from the first;
// false when the walk leaves the file.
inline bool read_records(const std::string &b, std::vector<Record> &out) {
    size_t pos = le32(b, 4);
    while (pos != 0 && pos + 16 <= b.size()) {
        Record r;
        r.type = uint8_t(b[pos]);
        r.flags = uint8_t(b[pos + 1]);
        size_t namelen = uint8_t(b[pos + 2]) | uint8_t(b[pos + 3]) << 8;
        uint32_t reclen = le32(b, pos + 4), link = le32(b, pos + 12);
        r.ino = le32(b, pos + 8);
        if (reclen < 16 || pos + 16 + namelen > b.size())
            return false;
        r.name = b.substr(pos + 16, namelen);
        if (link != 0 && link + 4 <= b.size()) {
            size_t tlen = le32(b, link);
            r.target = link + 4 + tlen <= b.size() ? b.substr(link + 4, tlen) : "(cut)";
        }
        r.last = pos + reclen >= b.size();
        out.push_back(r);
        if (r.last)
            return true;
        pos += reclen;
    }
    return pos == 0;
}

// The records of a dirindex in name order, each with its type, its target
// text and what its inode key stands for: "=" the entry of the same name in
// the directory, another name of the directory, "T" its template object,
// "?" nothing found. Also the header and whether the file is sound.
inline std::string decode_index(const std::string &b, const std::string &dir,
                                const std::string &template_root) {
    std::map<uint32_t, std::string> local;
    auto key = [](ino_t ino) { return static_cast<uint32_t>(uint64_t(ino) * 2); };
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0)
        local[key(st.st_ino)] = ".";
    if (lstat((dir + "/..").c_str(), &st) == 0)
        local.emplace(key(st.st_ino), "..");
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        if (lstat(e.path().c_str(), &st) == 0)
            local.emplace(key(st.st_ino), e.path().filename().string());

    std::string copy = b;
    for (int i = 16; i < 20; ++i)
        copy[i] = 0;
    MD5_CTX ctx;
    unsigned char d[16];
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>(copy.data()),
              static_cast<unsigned>(copy.size()));
    MD5Final(d, &ctx);
    bool sum_ok = le32(b, 16) == (uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 |
                                  uint32_t(d[3]) << 24);
    std::string out = "dirindex prime=" + std::to_string(le32(b, 12)) +
                      " dirs=" + std::to_string(le32(b, 8)) + (sum_ok ? "" : " BAD-SUM");
    std::vector<Record> recs;
    if (!read_records(b, recs))
        out += " UNREADABLE";
    std::vector<std::string> lines;
    bool eof = recs.empty();
    for (const Record &r : recs) {
        std::string meaning = "?";
        if (r.ino & 1) {
            std::string object = template_root + "/" +
                                 (r.target.size() > 4 ? r.target.substr(4) : "") + "/" + r.name;
            meaning = lstat(object.c_str(), &st) == 0 && key(st.st_ino) + 1 == r.ino ? "T" : "T?";
        } else if (auto it = local.find(r.ino); it != local.end()) {
            meaning = it->second == r.name ? "=" : it->second;
        }
        lines.push_back(r.name + " type=" + std::to_string(r.type) + " key=" + meaning +
                        (r.target.empty() ? "" : " -> " + r.target));
        if (r.flags & DENT_EOF) {
            eof = true;
            if (!r.last)
                out += " EOF-IN-MIDDLE";
        }
    }
    out += eof ? "\n" : " NO-EOF\n";
    std::sort(lines.begin(), lines.end());
    for (const std::string &l : lines)
        out += l + "\n";
    return out;
}

// Every entry below root, with its path relative to root; paths in skip
// (and below them) are left out.
inline Tree snapshot(const std::string &root, const std::string &template_root,
                     const std::set<std::string> &skip = {}) {
    Tree tree;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string path = it->path().string();
        std::string rel = path.substr(root.size() + 1);
        if (skip.count(rel)) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        Node n;
        n.mode = st.st_mode;
        n.uid = st.st_uid;
        n.gid = st.st_gid;
        n.nlink = st.st_nlink;
        n.rdev = st.st_rdev;
        n.ino = st.st_ino;
        n.mtime = st.st_mtim;
        n.atime = st.st_atim;
        if (S_ISREG(st.st_mode)) {
            n.data = kxtest::read_file(path);
            if (is_index(n.data))
                n.data = decode_index(n.data, it->path().parent_path().string(), template_root);
        } else if (S_ISLNK(st.st_mode)) {
            n.data = kxtest::read_link(path);
        }
        n.xattrs = kxcmp::xattrs_of(path);
        n.flags = kxcmp::flags_of(path, st);
        tree.emplace(rel, std::move(n));
    }
    return tree;
}

// Fixed times for every entry below root (root too), the same whenever
// and wherever the tree was built, whatever else lies beside it: each
// made from the entry's path below root; modification times in the past
// with a part in nanoseconds, access times far ahead, which reading
// leaves alone.
inline void settle_times(const std::string &root) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        paths.push_back(it->path().string());
    std::sort(paths.begin(), paths.end(), std::greater<>());  // children before parents
    paths.push_back(root);
    for (const std::string &p : paths) {
        uint32_t h = 2166136261u;  // FNV-1a of the path below root
        for (char c : p.substr(root.size()))
            h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
        long i = static_cast<long>(h % 100000);
        struct timespec ts[2] = {{4000000000 + i, 250000000}, {1500000000 + 1000 * i, 123456789 + i}};
        utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    }
}

// What the container sees at each name below an area's root: the data of
// a file, the template's for a shortcut, an unmarked magic link and a name
// only its directory's index lists, the cow file's for a marked link.
inline std::map<std::string, std::string> container_view(const std::string &area,
                                                         const std::string &template_root) {
    auto object = [&](const std::string &text) -> std::string {
        std::string p = template_root + "/" + text.substr(4);
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            return "(no template)";
        return S_ISREG(st.st_mode) ? kxtest::read_file(p) : "(template object)";
    };
    std::map<std::string, std::string> view;
    const std::string root = area + "/root";
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string path = it->path().string(), rel = path.substr(root.size() + 1);
        std::string dir = it->path().parent_path().string();
        struct stat st, dst;
        if (lstat(path.c_str(), &st) != 0 || lstat(dir.c_str(), &dst) != 0)
            continue;
        bool marked_dir = dst.st_mode & S_ISUID;
        if (it->path().filename() == DIRINDEX_NAME) {  // never an entry of the container
            if (!marked_dir)
                continue;
            std::string bytes = S_ISREG(st.st_mode) ? kxtest::read_file(path) : "";
            std::vector<Record> recs;
            read_records(bytes, recs);
            std::string base = rel.substr(0, rel.size() - std::strlen(DIRINDEX_NAME));
            for (const Record &r : recs) {
                if (r.name == "." || r.name == ".." || kxtest::exists(dir + "/" + r.name))
                    continue;
                view[base + r.name] = r.target.empty() ? "(lost entry)" : object(r.target + "/" + r.name);
            }
            continue;
        }
        std::string &seen = view[rel];
        if (S_ISDIR(st.st_mode)) {
            seen = "(dir)";
        } else if (S_ISLNK(st.st_mode)) {
            std::string text = kxtest::read_link(path);
            if (text.rfind("////", 0) != 0) {
                seen = "-> " + text;
            } else if (st.st_mode & S_ISVTX) {
                std::string cow = area + "/cow/" + kxcheck::md5_hex(text);
                seen = kxtest::exists(cow) ? kxtest::read_file(cow) : "(broken cow mark)";
            } else {
                seen = object(text);
            }
        } else if (S_ISREG(st.st_mode)) {
            seen = kxtest::read_file(path);
            if ((st.st_mode & S_ISVTX) && seen.rfind("////", 0) == 0)
                seen = object(seen);
        } else {
            seen = "(special)";
        }
    }
    return view;
}

// The names whose view differs (new names are allowed while a run is
// under way: its temporaries).
inline std::vector<std::string> view_changes(const std::map<std::string, std::string> &before,
                                             const std::map<std::string, std::string> &after,
                                             bool allow_new = false) {
    std::vector<std::string> out;
    for (const auto &[name, seen] : before) {
        auto it = after.find(name);
        if (it == after.end())
            out.push_back("root/" + name + ": gone from the container's view");
        else if (it->second != seen)
            out.push_back("root/" + name + ": the container sees \"" + it->second.substr(0, 60) +
                          "\", not \"" + seen.substr(0, 60) + "\"");
    }
    for (const auto &[name, seen] : after)
        if (!before.count(name) && !allow_new)
            out.push_back("root/" + name + ": new in the container's view");
    return out;
}

// ---- comparison ------------------------------------------------------------------

using Subst = std::vector<std::pair<std::string, std::string>>;

inline std::string substitute(std::string text, const Subst &subst) {
    for (const auto &[from, to] : subst)
        if (!from.empty())
            text = kxcmp::replace_all(text, from, to);
    return text;
}

// The tree with the given texts replaced in paths and contents (a uuid, the
// host root), and with the first name (in order) of each inode.
struct Normal {
    Tree tree;
    std::map<std::string, std::string> first_name;
};
inline Normal normalize(const Tree &tree, const Subst &subst) {
    Normal n;
    for (const auto &[path, node] : tree) {
        Node copy = node;
        copy.data = substitute(node.data, subst);
        n.tree.emplace(substitute(path, subst), std::move(copy));
    }
    std::map<ino_t, std::string> by_inode;
    for (const auto &[path, node] : n.tree)
        if (!S_ISDIR(node.mode))
            n.first_name[path] = by_inode.emplace(node.ino, path).first->second;
    return n;
}

inline std::string shown(const std::string &text) {
    std::string s;
    for (char c : text.substr(0, 240))
        s += c == '\n' ? std::string("|") : std::string(1, c);
    return s + (text.size() > 240 ? "..." : "");
}

inline std::string ts(const struct timespec &t) {
    return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

// What the run set to "now" is not compared: times within [from, to].
struct Window {
    time_t from = 0, to = 0;
    bool holds(const struct timespec &t) const { return t.tv_sec >= from && t.tv_sec <= to; }
};

// The differences of got from want, one line each.
inline std::vector<std::string> differences(const Normal &want, const Normal &got,
                                            const Window &now, bool dir_times) {
    std::vector<std::string> out;
    for (const auto &[path, w] : want.tree) {
        auto it = got.tree.find(path);
        if (it == got.tree.end()) {
            out.push_back(path + ": missing");
            continue;
        }
        const Node &g = it->second;
        auto field = [&](const char *name, const std::string &a, const std::string &b) {
            if (a != b)
                out.push_back(path + ": " + name + " " + shown(a) + " -> " + shown(b));
        };
        if (w.data != g.data && w.data.find('\n') != std::string::npos) {
            // Records of an index: the lines that differ.
            std::set<std::string> a, b;
            std::stringstream sa(w.data), sb(g.data);
            for (std::string l; std::getline(sa, l);)
                a.insert(l);
            for (std::string l; std::getline(sb, l);)
                b.insert(l);
            std::string d;
            for (const std::string &l : a)
                if (!b.count(l))
                    d += " -[" + l + "]";
            for (const std::string &l : b)
                if (!a.count(l))
                    d += " +[" + l + "]";
            out.push_back(path + ": records" + shown(d));
        } else {
            field("data", w.data, g.data);
        }
        field("mode", std::to_string(w.mode), std::to_string(g.mode));
        field("owner", std::to_string(w.uid) + ":" + std::to_string(w.gid),
              std::to_string(g.uid) + ":" + std::to_string(g.gid));
        field("rdev", std::to_string(w.rdev), std::to_string(g.rdev));
        field("flags", std::to_string(w.flags), std::to_string(g.flags));
        std::string wx, gx;
        for (const auto &[k, v] : w.xattrs)
            wx += k + "=" + v + " ";
        for (const auto &[k, v] : g.xattrs)
            gx += k + "=" + v + " ";
        field("xattrs", wx, gx);
        if (!S_ISDIR(w.mode)) {
            field("links", std::to_string(w.nlink), std::to_string(g.nlink));
            field("shares inode with", want.first_name.at(path), got.first_name.at(path));
        }
        if (!S_ISDIR(w.mode) || dir_times) {
            if (!now.holds(w.mtime))
                field("mtime", ts(w.mtime), ts(g.mtime));
            if (!now.holds(w.atime) && !now.holds(w.mtime))
                field("atime", ts(w.atime), ts(g.atime));
        }
    }
    for (const auto &[path, g] : got.tree)
        if (!want.tree.count(path))
            out.push_back(path + ": unexpected " + shown(g.data));
    return out;
}

// ---- the sweep -----------------------------------------------------------------

using Problems = std::vector<std::string>;

// Entries put into an area between a kill and the rerun that are not the
// tool's own: path (relative to the host root) and content. The rerun must
// leave them as they are, and warn naming those it was told to.
struct Tamper {
    std::map<std::string, std::string> foreign;
    std::set<std::string> warned;  // of them, those a warning must name
};

// One operation and the fixture it runs on. Every hook gets the host of the
// run it judges; paths in trees are relative to the host root. Hooks answer
// the problems they find, one line each.
struct Row {
    // Builds the fixture in the host and gives the command to run.
    std::function<std::vector<std::string>(const kxtest::Host &)> build;
    // What a killed run left, before the rerun (built: the tree as built;
    // reference: the tree the uninterrupted run left, in its own host).
    std::function<Problems(const kxtest::Host &, const Tree &built, const Tree &now,
                           const Tree &reference)>
        interrupted;
    // The end state of a completed run, the uninterrupted one included.
    std::function<Problems(const kxtest::Host &, const Tree &built, const Tree &end)> end_state;
    // Texts to replace in a finished host's tree (a generated uuid).
    std::function<Subst(const kxtest::Host &)> subst;
    // A rerun that refuses instead of completing: is the refusal sound?
    std::function<bool(const kxtest::Host &, const kxtest::Run &, const Tree &built)> refusal;
    // Changes the area between the kill and the rerun (bad input).
    std::function<Tamper(const kxtest::Host &)> tamper;
    bool refusal_when_done = false;  // a sound refusal says the work was complete
    bool dir_times = false;          // directories keep their times
    std::set<std::string> skip{"proc", "usr"};
    // The area the tool changes, relative to the host root (the names its
    // messages give are below its "root", "cow" and "lost_files").
    std::string area = "vz/private/101";
    // Entries pass through forms of their own between the old and the new
    // one (the dirindex tool repoints an entry, then indexes it away).
    bool steps = false;
};

struct Report {
    int points = 0;  // interruption points tried
    std::vector<std::string> failures;
    std::vector<std::string> notes;

    // For the test's output: the number of points and every failing one.
    std::string text() const {
        std::string s = std::to_string(points) + " interruption points, " +
                        std::to_string(failures.size()) + " failing\n";
        for (const std::string &l : notes)
            s += "  " + l + "\n";
        for (const std::string &l : failures)
            s += "  " + l + "\n";
        return s;
    }
};

// Every changing call, or every third under the sanitizers (slower, and
// their leak checker cannot run under ptrace).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kStride = 3;
#else
inline constexpr int kStride = 1;
#endif

inline const std::vector<std::string> kTracedEnv = {
    "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1"};

inline Tree host_tree(const kxtest::Host &host, const Row &row) {
    return snapshot(host.root(), host.template_root(), row.skip);
}

inline Normal normal_tree(const kxtest::Host &host, const Row &row, const Tree &tree) {
    Subst subst{{host.root(), "{HOST}"}};
    if (row.subst)
        for (auto &s : row.subst(host))
            subst.push_back(s);
    return normalize(tree, subst);
}

inline void add(Problems &to, const Problems &more, const std::string &prefix = {}) {
    for (const std::string &p : more)
        to.push_back(prefix + p);
}

// Kills the row's command at every changing call and runs it again: the
// outcome must equal the uninterrupted run's (or be a sound refusal). With
// tampering, the area is changed before the rerun, and only the foreign
// entries are judged, at about a dozen points spread over the run.
inline Report sweep(const Row &row, bool tampered = false) {
    Report report;
    kxtest::Host ref_host;
    std::vector<std::string> argv = row.build(ref_host);
    Tree built = host_tree(ref_host, row);
    Window now{time(nullptr) - 1, 0};
    Traced whole = run_traced(argv, kTracedEnv, 0);
    now.to = time(nullptr) + 1;
    if (whole.run.status != 0)
        report.failures.push_back("uninterrupted run: status " + std::to_string(whole.run.status) +
                                  ": " + shown(whole.run.err));
    Tree end = host_tree(ref_host, row);
    // What the uninterrupted run gets wrong is said once, not at every point
    // (and by the sweep without tampering only).
    Problems wrong_anyway =
        row.end_state && !tampered ? row.end_state(ref_host, built, end) : Problems();
    if (!wrong_anyway.empty()) {
        // Shown first: what is not a time.
        Problems shown_first = wrong_anyway;
        auto times = std::stable_partition(shown_first.begin(), shown_first.end(), [](auto &p) {
            return p.find(": mtime ") == std::string::npos && p.find(": atime ") == std::string::npos;
        });
        std::string line = "uninterrupted run: " + std::to_string(wrong_anyway.size()) +
                           " problem(s), " + std::to_string(shown_first.end() - times) + " of times:";
        for (size_t i = 0; i < shown_first.size() && i < 10; ++i)
            line += "\n      " + shown_first[i];
        report.failures.push_back(line);
    }
    const Normal want = normal_tree(ref_host, row, end);

    const int stride = tampered ? std::max(kStride, whole.changes / 12) : kStride;
    for (int n = 1; n <= whole.changes; n += stride) {
        std::string where = "point " + std::to_string(n) + " (" + whole.calls[n - 1] + ")";
        ++report.points;
        kxtest::Host host;
        std::vector<std::string> cmd = row.build(host);
        Tree mine = host_tree(host, row);
        Traced k = run_traced(cmd, kTracedEnv, n);
        Problems found;
        if (k.run.status != 128 + SIGKILL) {
            found.push_back("not killed: status " + std::to_string(k.run.status));
        } else {
            if (row.interrupted && !tampered)
                for (std::string &p : row.interrupted(host, mine, host_tree(host, row), end))
                    if (std::find(wrong_anyway.begin(), wrong_anyway.end(), p) == wrong_anyway.end())
                        found.push_back("killed: " + p);
            Tamper tamper;
            if (tampered)
                tamper = row.tamper(host);
            kxtest::Run again = kxtest::run(cmd);
            Tree after = host_tree(host, row);
            if (tampered) {
                for (const auto &[rel, content] : tamper.foreign) {
                    std::string p = host.path(rel);
                    if (!kxtest::exists(p))
                        found.push_back(rel + ": the container's entry was deleted");
                    else if (S_ISREG(kxtest::lstat_of(p).st_mode) && kxtest::read_file(p) != content)
                        found.push_back(rel + ": the container's entry was changed");
                }
                // A warning that names the entry.
                for (const std::string &rel : tamper.warned) {
                    std::string name = rel.substr(rel.rfind('/') + 1);
                    if (!std::regex_search(again.out, std::regex(
                            "(^|\n)Warning: [^\n]*" + std::regex_replace(name, std::regex("[.]"), "[.]"))))
                        found.push_back(rel + ": no warning names it");
                }
            } else if (again.status != 0 && row.refusal && row.refusal(host, again, mine) &&
                       !row.refusal_when_done) {
                report.notes.push_back(where + ": refused: " +
                                       shown(substitute(again.err, {{host.root(), "{HOST}"}})));
            } else if (again.status != 0 && row.refusal && row.refusal(host, again, mine)) {
                add(found, differences(want, normal_tree(host, row, after), now, row.dir_times));
            } else {
                if (again.status != 0)
                    found.push_back("rerun: status " + std::to_string(again.status) + ": " +
                                    shown(substitute(again.err, {{host.root(), "{HOST}"}})));
                add(found, differences(want, normal_tree(host, row, after), now, row.dir_times));
                if (row.end_state && again.status == 0)
                    for (std::string &p : row.end_state(host, mine, after))
                        if (std::find(wrong_anyway.begin(), wrong_anyway.end(), p) == wrong_anyway.end())
                            found.push_back(std::move(p));
            }
        }
        if (!found.empty()) {
            std::string line = where + ": " + std::to_string(found.size()) + " problem(s):";
            for (size_t i = 0; i < found.size() && i < 4; ++i)
                line += "\n      " + found[i];
            report.failures.push_back(line);
        }
    }
    return report;
}

// ---- the fault sweep -----------------------------------------------------------

// What a fault point found wrong, by kind.
enum Harm { kLost, kAttributes, kUnreported, kRerun, kOther, kHarms };
inline const char *const kHarmNames[kHarms] = {"lost", "owner or mode left wrong",
                                               "failure unreported", "rerun does not finish",
                                               "other"};

struct FaultReport {
    int points = 0;  // fault points tried
    std::map<std::string, int> absorbed;  // faults after which the run finished all the same
    int harms[kHarms] = {};
    std::vector<std::string> failures;

    std::string text() const {
        int finished = 0;
        std::string which;
        for (const auto &[fault, n] : absorbed) {
            finished += n;
            which += (which.empty() ? ": " : ", ") + fault + (n > 1 ? " x" + std::to_string(n) : "");
        }
        std::string s = std::to_string(points) + " fault points, " + std::to_string(failures.size()) +
                        " failing:";
        for (int h = 0; h < kHarms; ++h)
            s += std::string(h ? "," : "") + " " + std::to_string(harms[h]) + " " + kHarmNames[h];
        s += "\n  finished all the same: " + std::to_string(finished) + which + "\n";
        for (const std::string &l : failures)
            s += "  " + l + "\n";
        return s;
    }
};

// Fewer points under the sanitizers: a sample spread over the run.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kFaultStride = 5;
#else
inline constexpr int kFaultStride = 1;
#endif

// The lines of a run that say something went wrong: warnings and errors,
// and the lines of the attribute copy's own.
inline std::set<std::string> said_wrong(const kxtest::Run &run) {
    static const std::regex said("^(Warning: |Error: |WARNING: |[a-z]+xattr\\(\")");
    std::set<std::string> lines;
    for (const std::string *text : {&run.out, &run.err}) {
        std::stringstream in(*text);
        for (std::string l; std::getline(in, l);)
            if (std::regex_search(l, said))
                lines.insert(l);
    }
    return lines;
}

// Whether a run said more went wrong than the uninterrupted run did.
inline bool reported(const kxtest::Run &run, const std::set<std::string> &anyway) {
    for (const std::string &l : said_wrong(run))
        if (!anyway.count(l))
            return true;
    return false;
}

// Whether two forms of an entry agree: type, content, owner, permission
// bits, inode flags, extended attributes (a symbolic link's cow mark may
// go on the way: clearing it is a
// step of its own) and a modification time not set by the run (from
// now.from on). data_only: only type and content.
inline bool same_form(const Node &a, const Node &b, const Window &now, bool data_only) {
    if ((a.mode & S_IFMT) != (b.mode & S_IFMT) || (!S_ISDIR(a.mode) && a.data != b.data))
        return false;
    if (data_only)
        return true;
    mode_t ignore = S_ISLNK(a.mode) ? S_ISVTX : 0;
    if (a.uid != b.uid || a.gid != b.gid || ((a.mode ^ b.mode) & 07777 & ~ignore) != 0 ||
        a.flags != b.flags || a.xattrs != b.xattrs)
        return false;
    return S_ISDIR(a.mode) || a.mtime.tv_sec >= now.from ||
           (a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec);
}

// Every entry of the area's trees is in its old or its new form,
// attributes included (the cow directory: its contents; the version link
// and the tools' own files are not the container's); an index not yet in force
// (its directory has no mark) is no entry. With steps, an entry may be in
// a form of its own between the two (what the container sees is judged
// apart), but keeps its old owner and permission bits. Problems, each
// with its harm.
inline std::vector<std::pair<Harm, std::string>> old_or_new(const std::string &area,
                                                            const Normal &built, const Normal &end,
                                                            const Normal &now, const Window &window,
                                                            bool steps) {
    std::vector<std::pair<Harm, std::string>> out;
    std::set<std::string> paths;
    for (const Normal *t : {&built, &end})
        for (const auto &[path, node] : t->tree)
            for (const char *tree : {"/root/", "/cow/", "/lost_files/"})
                if (path.rfind(area + tree, 0) == 0)
                    paths.insert(path);
    for (const std::string &path : paths) {
        auto b = built.tree.find(path), e = end.tree.find(path), g = now.tree.find(path);
        const Node *forms[] = {b == built.tree.end() ? nullptr : &b->second,
                               e == end.tree.end() ? nullptr : &e->second};
        const Node *got = g == now.tree.end() ? nullptr : &g->second;
        size_t slash = path.rfind('/');
        if (path.compare(slash + 1, std::string::npos, DIRINDEX_NAME) == 0) {
            auto dir = now.tree.find(path.substr(0, slash));
            if (dir == now.tree.end() || !(dir->second.mode & S_ISUID))
                continue;
        }
        bool data_only = path.rfind(area + "/cow/", 0) == 0;
        bool whole = false, content = false;
        for (const Node *f : forms) {
            if (!f || !got) {
                whole = whole || (!f && !got);
                continue;
            }
            whole = whole || same_form(*f, *got, window, data_only);
            content = content || same_form(*f, *got, window, true);
        }
        if (steps && got && forms[0] && !content) {
            whole = got->uid == forms[0]->uid && got->gid == forms[0]->gid &&
                    ((got->mode ^ forms[0]->mode) & 07777 & ~S_ISVTX) == 0;
            content = true;
        }
        if (whole)
            continue;
        std::string was = forms[0] ? shown(forms[0]->data).substr(0, 40) : "(none)";
        if (!got)
            out.push_back({kLost, path + ": gone"});
        else if (content)
            out.push_back({kAttributes, path + ": owner " + std::to_string(got->uid) + ":" +
                                            std::to_string(got->gid) + " mode " +
                                            std::to_string(got->mode & 07777) + " flags " +
                                            std::to_string(got->flags) + " " +
                                            std::to_string(got->xattrs.size()) +
                                            " xattr(s), neither the old nor the new one's"});
        else
            out.push_back({kLost, path + ": \"" + shown(got->data).substr(0, 40) +
                                      "\", neither the old form (\"" + was + "\") nor the new"});
    }
    return out;
}

// The notes that say a step was done ("Correction: ...", "Optimized: ...")
// name entries that must then be as the uninterrupted run left them. A
// note right before the fatal error that ended the run is the step that
// failed.
inline std::vector<std::string> claimed_but_undone(const std::string &area, const kxtest::Run &run,
                                                   const Normal &end, const Normal &now,
                                                   const Window &window) {
    std::vector<std::string> lines, out;
    std::stringstream in(run.err + run.out);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    static const std::regex note("^(Correction|Optimized): .*?'(cow|magic|dirindex)' '([^']*)'");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        if (!std::regex_search(lines[i], m, note))
            continue;
        if (run.status == 1 && (lines[i].find("Error: ") != std::string::npos ||
                                (i + 1 < lines.size() && lines[i + 1].rfind("Error: ", 0) == 0)))
            continue;
        bool lost = lines[i].find("moved to lost") != std::string::npos;
        std::string tree = m[2] == "cow" ? "cow/" : "root/";
        std::string path = area + "/" + (lost ? "lost_files/" + tree : tree) + m[3].str();
        auto e = end.tree.find(path), g = now.tree.find(path);
        bool same = (e == end.tree.end()) == (g == now.tree.end()) &&
                    (e == end.tree.end() || same_form(e->second, g->second, window, false));
        if (!same)
            out.push_back("says \"" + lines[i].substr(0, 80) + "\", but " + path + " is not so");
    }
    return out;
}

// The uninterrupted run a failed one is judged against.
struct Reference {
    Tree end;
    Normal want;
    Window now;
    Problems wrong_anyway;                 // what its end state has wrong anyway
    std::set<std::string> said_anyway;     // the warnings and errors it gives anyway
    Traced traced;
};

inline Reference reference_run(const Row &row, bool listings) {
    Reference ref;
    kxtest::Host host;
    std::vector<std::string> argv = row.build(host);
    Tree built = host_tree(host, row);
    ref.now = Window{time(nullptr) - 1, 0};
    ref.traced = run_traced(argv, kTracedEnv, 0, {}, listings);
    ref.now.to = time(nullptr) + 1;
    ref.end = host_tree(host, row);
    ref.want = normal_tree(host, row, ref.end);
    ref.wrong_anyway = row.end_state ? row.end_state(host, built, ref.end) : Problems();
    ref.said_anyway = said_wrong(ref.traced.run);
    return ref;
}

using Found = std::vector<std::pair<Harm, std::string>>;

// Judges a run that met failures (run, in host; mine: the tree as built):
// what it reported, what it left, and, unless it finished all the same,
// what the same command run again leaves. before_rerun frees what failed.
inline Found judge_failed_run(const Row &row, const Reference &ref, const kxtest::Host &host,
                              const std::vector<std::string> &cmd, const Tree &mine,
                              const kxtest::Run &run, bool &finished,
                              const std::function<void()> &before_rerun = {}) {
    Found found;
    auto add_harm = [&found](Harm h, const Problems &ps) {
        for (const std::string &p : ps)
            found.push_back({h, p});
    };
    const Subst at_host{{host.root(), "{HOST}"}};
    Tree failed = host_tree(host, row);
    const Normal got = normal_tree(host, row, failed);
    Problems done_differs = differences(ref.want, got, ref.now, row.dir_times);
    finished = run.status == 0 && done_differs.empty();
    if (run.status != 0 && run.status != 1)
        found.push_back({kOther, "status " + std::to_string(run.status) + ": " +
                                     shown(substitute(run.err, at_host))});
    else if (run.status == 0 && !done_differs.empty() && !reported(run, ref.said_anyway))
        found.push_back({kUnreported, "status 0 and no message, but " + done_differs[0]});
    add_harm(kUnreported, claimed_but_undone(row.area, run, ref.want, got, ref.now));
    if (row.interrupted)
        add_harm(kLost, row.interrupted(host, mine, failed, ref.end));
    for (auto &p : old_or_new(row.area, normal_tree(host, row, mine), ref.want, got, ref.now,
                              row.steps))
        found.push_back(p);
    if (finished)
        return found;

    if (before_rerun)
        before_rerun();
    kxtest::Run again = kxtest::run(cmd);
    Tree after = host_tree(host, row);
    bool refused = again.status != 0 && row.refusal && row.refusal(host, again, mine);
    if (again.status != 0 && !(refused && row.refusal_when_done))
        found.push_back({kRerun, "rerun: status " + std::to_string(again.status) + ": " +
                                     shown(substitute(again.err, at_host))});
    if (!refused || row.refusal_when_done) {
        add_harm(kRerun, differences(ref.want, normal_tree(host, row, after), ref.now, row.dir_times));
        if (row.end_state && again.status == 0)
            for (std::string &p : row.end_state(host, mine, after))
                if (std::find(ref.wrong_anyway.begin(), ref.wrong_anyway.end(), p) ==
                    ref.wrong_anyway.end())
                    found.push_back({kRerun, p});
    }
    return found;
}

// Adds a point's problems to the report, with where it was: the first
// four (KXFS_SWEEP_ALL=1: all of them).
inline void count_point(FaultReport &report, const std::string &where, int status,
                        const Found &found, const kxtest::Host &host) {
    if (found.empty())
        return;
    std::string line = where + ": status " + std::to_string(status) + ", " +
                       std::to_string(found.size()) + " problem(s):";
    std::set<Harm> harms;
    for (size_t j = 0; j < found.size(); ++j) {
        harms.insert(found[j].first);
        if (j < (std::getenv("KXFS_SWEEP_ALL") ? 99u : 4u))
            line += "\n      " + std::string(kHarmNames[found[j].first]) + ": " +
                    substitute(found[j].second, {{host.root(), "{HOST}"}});
    }
    for (Harm h : harms)
        ++report.harms[h];
    report.failures.push_back(line);
}

// Makes the row's command fail at each of its changing calls in turn (once,
// or a full disk from there on), or at each listing; judges what the run
// reported and left, then runs it again: the rerun must finish the job as
// an uninterrupted run does.
inline FaultReport fault_sweep(const Row &row, FaultMode mode, int stride = kFaultStride) {
    FaultReport report;
    const Reference ref = reference_run(row, mode == FaultMode::listing);
    const Traced &whole = ref.traced;
    if (whole.run.status != 0)
        report.failures.push_back("uninterrupted run: status " + std::to_string(whole.run.status) +
                                  ": " + shown(whole.run.err));

    // The points: every changing call, every listing; for a full disk only
    // the calls that need space (from any other the disk fills at the next).
    std::vector<int> points;
    int count = mode == FaultMode::listing ? whole.listings : whole.changes;
    for (int n = 1; n <= count; ++n)
        if (mode != FaultMode::full || whole.allocating[static_cast<size_t>(n - 1)])
            points.push_back(n);
    for (size_t i = 0; i < points.size(); i += static_cast<size_t>(stride)) {
        const int n = points[i];
        ++report.points;
        kxtest::Host host;
        std::vector<std::string> cmd = row.build(host);
        Tree mine = host_tree(host, row);
        Traced f = run_traced(cmd, kTracedEnv, 0, Fault{mode, n});
        bool finished = false;
        Found found = judge_failed_run(row, ref, host, cmd, mine, f.run, finished);
        if (finished)
            ++report.absorbed[f.injected.substr(0, f.injected.find(','))];
        std::string where = "point " + std::to_string(n) + " (" +
                            (mode == FaultMode::listing ? "getdents64" : whole.calls[n - 1]) +
                            ") [" + f.injected + "]";
        count_point(report, where, f.run.status, found, host);
    }
    return report;
}

// A small ext4 filesystem in an image file, loop-mounted on a directory
// for as long as it lives; as full as asked.
class Ext4 {
public:
    Ext4(const std::string &mount_on, int mib) : dir_(mount_on) {
        image_ = kxtest::temp_dir("kxext4") + "/image";
        kxtest::Run r;
        int fd = open(image_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        bool sized = fd >= 0 && ftruncate(fd, off_t(mib) << 20) == 0;
        if (fd >= 0)
            close(fd);
        std::string mkfs = command("mkfs.ext4"), mount = command("mount");
        if (!sized || mkfs.empty() || mount.empty())
            why_ = sized ? "no mkfs.ext4 or mount" : "no image file";
        // Blocks of 4 KiB, as on a host: a file's extended attributes
        // share one block.
        else if ((r = kxtest::run({mkfs, "-q", "-F", "-m", "0", "-b", "4096", image_})).status != 0 ||
                 (r = kxtest::run({mount, "-o", "loop", image_, dir_})).status != 0)
            why_ = r.out + r.err;
        mounted_ = why_.empty();
    }
    ~Ext4() {
        std::string umount = command("umount");
        if (mounted_ && kxtest::run({umount, dir_}).status != 0)
            kxtest::run({umount, "-l", dir_});
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(image_).parent_path(), ec);
    }
    Ext4(const Ext4 &) = delete;
    Ext4 &operator=(const Ext4 &) = delete;

    bool mounted() const { return mounted_; }
    const std::string &why() const { return why_; }

    // Fills the filesystem with a file of its own, then frees about free
    // bytes of it.
    void fill(off_t free) {
        int fd = open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << filler();
        std::string block(65536, 'f');
        // Twice: space held back for data not yet written out comes free
        // once it is.
        for (int round = 0; round < 2; ++round) {
            syncfs(fd);
            for (size_t size : {65536, 4096, 1024, 1})
                while (write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
                }
        }
        fsync(fd);
        struct stat st;
        fstat(fd, &st);
        EXPECT_EQ(ftruncate(fd, st.st_size > free ? st.st_size - free : 0), 0);
        fsync(fd);
        close(fd);
    }
    // The filler goes; its blocks are free once the journal has committed.
    void unfill() {
        unlink(filler().c_str());
        int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            syncfs(fd);
            close(fd);
        }
    }

private:
    // The program's path in the search path or the system's directories.
    static std::string command(const std::string &name) {
        const char *path = std::getenv("PATH");
        std::stringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
        for (std::string d; std::getline(dirs, d, ':');)
            if (!d.empty() && access((d + "/" + name).c_str(), X_OK) == 0)
                return d + "/" + name;
        return {};
    }
    // In the filesystem's lost+found, so that filling and freeing leave
    // the times of the mounted directory alone.
    std::string filler() const { return dir_ + "/lost+found/.filler"; }
    std::string dir_, image_, why_;
    bool mounted_ = false;
};

}  // namespace kxsweep

#endif
