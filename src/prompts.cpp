// The operator's prompts, byte-wise file comparison, directory creation on
// the way to a path, and the moves into the area's lost-and-found tree.
// Paths of the moves are built from priv_dir, which the tool sets first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "internal.h"
#include "libkxctl.h"
#include "libkxfsutil.h"

char *priv_dir = nullptr;

#define KX_ASSERT(cond)                                                         \
    do {                                                                        \
        if (!(cond))                                                            \
            error(255, 0, "ASSERTION FAILED: %s(%d), function '%s()', condition: %s", \
                  "src/prompts.cpp", __LINE__, __func__, #cond);                \
    } while (0)

namespace {

constexpr size_t kCompareBlock = 64 * 1024;

// Reads until the block is full or the file ends: the count, or -1.
ssize_t read_block(int fd, char *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, buf + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// The directory holding the area's subtrees "cow" and "root": the area
// itself, or its "fs" subdirectory for layout version 4.
std::string tree_dir() {
    std::string dir(priv_dir);
    if (kxctl_env_layout_version(priv_dir) == 4)
        dir += "/fs";
    return dir;
}

// Opens the directory rel below base, one component at a time and never
// through a symbolic link, creating missing components when asked to.
// Returns the descriptor, or an invalid one with errno set.
kx::Fd open_below(const std::string &base, std::string_view rel, bool create) {
    kx::Fd dir(::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    while (dir.ok() && !rel.empty()) {
        size_t slash = rel.find('/');
        std::string part(rel.substr(0, slash));
        rel = slash == std::string_view::npos ? std::string_view() : rel.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            errno = EINVAL;
            return kx::Fd();
        }
        if (create && ::mkdirat(dir.get(), part.c_str(), 0755) != 0 && errno != EEXIST)
            return kx::Fd();
        dir = kx::Fd(::openat(dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return dir;
}

// Splits "a/b/c" into "a/b" and "c", ignoring slashes at the end.
void split_last(std::string_view path, std::string_view &dir, std::string_view &name) {
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        dir = {};
        name = path;
    } else {
        dir = path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

// Prints the prompt and reads the answer: the last of the letters given
// before a blank or newline, the default when none was given.
int ask(const char *question, int def, const char *choices, const char *hint,
        const char *letters, const int *values) {
    std::printf("%s(%s)%s? ", question, choices, hint);
    int answer = def;
    for (;;) {
        std::fflush(stdout);
        int c = std::getchar();
        if (c == EOF)
            break;
        for (int i = 0; letters[i] != '\0'; ++i) {
            if (c == letters[i])
                answer = values[i / 2];
        }
        if ((c == ' ' || c == '\n') && answer != ANSWER_NONE)
            break;
    }
    return answer;
}

}  // namespace

int compare_files(const char *name1, const char *name2) {
    KX_ASSERT(name1 && name2);
    kx::Fd a(::open(name1, O_RDONLY | O_CLOEXEC));
    if (!a.ok())
        return -1;
    kx::Fd b(::open(name2, O_RDONLY | O_CLOEXEC));
    if (!b.ok())
        return -1;
    std::unique_ptr<char[]> buf1(new char[kCompareBlock]);
    std::unique_ptr<char[]> buf2(new char[kCompareBlock]);
    for (;;) {
        ssize_t n1 = read_block(a.get(), buf1.get(), kCompareBlock);
        ssize_t n2 = read_block(b.get(), buf2.get(), kCompareBlock);
        if (n1 < 0 || n2 < 0)
            return -1;
        if (n1 != n2)
            return 1;
        if (n1 == 0)
            return 0;
        if (std::memcmp(buf1.get(), buf2.get(), static_cast<size_t>(n1)) != 0)
            return 1;
    }
}

int mkdir_p(const char *path, int mode, int start) {
    std::string_view p(path);
    size_t from = start < 0 ? 0 : static_cast<size_t>(start) + 1;
    for (size_t i = from; i < p.size(); ++i) {
        if (p[i] != '/')
            continue;
        std::string prefix(p.substr(0, i));
        struct stat st;
        if (::lstat(prefix.c_str(), &st) == 0)
            continue;
        if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
            return -1;
    }
    return 0;
}

int move_item_to_lost(const char *name, const char *type_path) {
    KX_ASSERT(name && type_path);
    std::string_view dir, item;
    split_last(name, dir, item);
    if (item.empty() || item == "." || item == "..") {
        errno = EINVAL;
        return -1;
    }
    // The source lies in the area's tree; lost_files in the area itself.
    // Neither side is reached through a symbolic link below its base: the
    // lost-and-found tree holds links moved there from the container.
    std::string source_rel = std::string(type_path) + "/" + std::string(dir);
    kx::Fd from = open_below(tree_dir(), source_rel, false);
    if (!from.ok())
        return -1;
    std::string lost_rel = "lost_files/" + source_rel;
    kx::Fd to = open_below(priv_dir, lost_rel, true);
    if (!to.ok())
        return -1;
    std::string leaf(item);
    return ::renameat(from.get(), leaf.c_str(), to.get(), leaf.c_str());
}

int move_item_to_same(char *path, const char *name) {
    std::string_view p(path);
    std::string sibling;
    if (!p.empty() && p.back() == '/' && p != "/") {
        sibling = std::string(p.substr(0, p.size() - 1)) + "/" + name;
    } else {
        size_t slash = p.rfind('/');
        if (slash == std::string_view::npos || slash == 0 || p == "/")
            sibling = name;
        else
            sibling = std::string(p.substr(0, slash)) + "/" + name;
    }
    std::string root = tree_dir() + "/root";
    std::string source = root + "/" + sibling;
    std::string target = root + "/" + std::string(p);
    if (kxfsutil_debug_level >= 4)
        debug_print(4, "move '%s' to '%s'\n", source.c_str(), target.c_str());
    if (::rename(source.c_str(), target.c_str()) != 0)
        error(1, errno, "can't move '%s' to '%s'", source.c_str(), target.c_str());
    return 0;
}

int ask_proc(const char *question, int def) {
    static const int values[] = {ANSWER_IGNORE, ANSWER_MOVE, ANSWER_REMOVE};
    const char *hint = def == ANSWER_IGNORE   ? "<i>"
                       : def == ANSWER_MOVE   ? "<m>"
                       : def == ANSWER_REMOVE ? "<r>"
                                              : "<i/m/r>";
    return ask(question, def, "'I'gnore/'M'ove/'R'emove", hint, "iImMrR", values);
}

int ask_approve(const char *question, int def) {
    static const int values[] = {ANSWER_YES, ANSWER_NO};
    const char *hint = def == ANSWER_YES ? "<y>" : def == ANSWER_NO ? "<n>" : "<y/n>";
    return ask(question, def, "'Y'/'N'", hint, "yYnN", values);
}
