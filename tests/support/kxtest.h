// Test support: a hermetic host root per test, builders for template trees,
// areas, magic links, shortcuts and configuration files, a runner for the
// built programs, and a snapshot of a tree for entry-by-entry comparison.
#ifndef KXTEST_H
#define KXTEST_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kxtest {

bool is_root();

// Skips the current test, saying why, when not running as root.
#define KX_REQUIRE_ROOT()                                                    \
    do {                                                                     \
        if (!::kxtest::is_root())                                            \
            GTEST_SKIP() << "needs root (ownership, device nodes or "        \
                            "trusted attributes)";                           \
    } while (0)

// A temporary host root. While it lives, KXFS_TEST_HOST_ROOT points at it,
// so the library finds "/kx/template", the configuration directory, the
// mount table and the host commands below it. The tree is removed at the end.
class Host {
public:
    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    const std::string &root() const { return root_; }
    // root + "/" + rel
    std::string path(std::string_view rel) const;
    std::string template_root() const { return path("kx/template"); }
    std::string conf_path(int veid) const;
    // Writes the container configuration file <veid>.conf.
    void write_conf(int veid, std::string_view text) const;
    // Installs an executable script as the host command /usr/sbin/<name>.
    void add_command(std::string_view name, std::string_view script) const;
    // Writes the host's mount table.
    void write_mounts(std::string_view text) const;

private:
    std::string root_;
    std::string saved_env_;
    bool had_env_ = false;
};

// A fresh empty directory below the test's host root or TMPDIR.
std::string temp_dir(std::string_view tag = "kxtest");

void make_dirs(const std::string &path, mode_t mode = 0755);
// Writes a file (parents created), then sets its mode exactly.
void write_file(const std::string &path, std::string_view content, mode_t mode = 0644);
std::string read_file(const std::string &path);
// head, then a hole up to size bytes, then tail: a file of a huge apparent
// size that takes nothing on disk.
void write_sparse_file(const std::string &path, std::string_view head, off_t size,
                       std::string_view tail);
void make_symlink(const std::string &target, const std::string &path);
std::string read_link(const std::string &path);
// A magic link: a symbolic link to "////" + rel.
void make_magic_link(const std::string &path, std::string_view rel);
// A shortcut: a regular file holding "////" + rel with the sticky bit.
void make_shortcut_file(const std::string &path, std::string_view rel, mode_t mode = 0644);
struct stat lstat_of(const std::string &path);
bool exists(const std::string &path);

// Result of running a program.
struct Run {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timed_out = false;  // killed when its time ran out
    long max_rss_kb = 0;     // peak resident set, in KiB
};

// Whether this build runs under AddressSanitizer, whose shadow memory takes
// terabytes of address space: limits on address space do not apply then.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// Limits this process's address space (not under AddressSanitizer): for
// the child of a death test that must not take memory by the gigabyte.
void limit_address_space(unsigned long long bytes);

// How run_with starts a program: extra "NAME=value" environment entries,
// standard input, a working directory (empty: the caller's) and a time
// limit in seconds (0: none). With a limit the program gets a process
// group of its own, and the whole group is killed when the time is up.
// With merge_output standard error goes into the pipe of standard output
// (as "2>&1" does), and out holds both.
struct RunOptions {
    std::vector<std::string> env;
    std::string input;
    std::string cwd;
    double timeout = 0;
    bool merge_output = false;
};

// Path of a built program (from KXFS_BIN_DIR).
std::string tool(std::string_view name);
// Runs argv[0] with the arguments, the current environment plus extra
// "NAME=value" entries, and the given standard input.
Run run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
        std::string_view input = {});
Run run_with(const std::vector<std::string> &argv, const RunOptions &options);

// One entry of a tree snapshot.
struct Entry {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    nlink_t nlink = 0;
    off_t size = 0;
    dev_t rdev = 0;
    ino_t ino = 0;
    long long mtime_sec = 0;
    std::string data;  // file content or link text
};
// Every entry below root, keyed by its path relative to root.
std::map<std::string, Entry> snapshot(const std::string &root);

}  // namespace kxtest

#endif
