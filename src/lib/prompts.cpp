// The operator's prompts, byte-wise file comparison, directory creation on
// the way to a path, and the moves into the area's lost-and-found tree.
// The moves work through the current area's descriptors (or an area handle
// opened on priv_dir for the move), following no link on either side.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "area.h"
#include "messages.h"
#include "libkxfsutil.h"

char *priv_dir = nullptr;

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

// The area the moves work in: the current area, or one opened on priv_dir
// for the time of the move.
class MoveArea {
public:
    MoveArea() {
        area_ = get_current_area();
        if (area_ == nullptr && priv_dir != nullptr) {
            area_ = open_area(priv_dir);
            owned_ = area_ != nullptr;
        }
    }
    ~MoveArea() {
        if (owned_)
            close_area(area_);
    }
    MoveArea(const MoveArea &) = delete;
    MoveArea &operator=(const MoveArea &) = delete;
    struct kxfs_area *get() const { return area_; }

private:
    struct kxfs_area *area_ = nullptr;
    bool owned_ = false;
};

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

// The directory dir below base (base itself for an empty dir), following
// no link: a new descriptor, or an invalid one with errno set.
kx::Fd open_under(int base, std::string_view dir) {
    if (base < 0) {
        errno = ENOENT;
        return kx::Fd();
    }
    return kx::Fd(kx::open_beneath(base, std::string(dir).c_str(), O_PATH | O_DIRECTORY));
}

// The descriptor of the subtree kind of the area's tree ("cow", "root", or
// another directory opened below the tree into holder).
int subtree_fd(const struct kxfs_area *area, const char *kind, kx::Fd &holder) {
    const struct kxfs_area_dir *known = std::strcmp(kind, "cow") == 0    ? &area->cow
                                        : std::strcmp(kind, "root") == 0 ? &area->root
                                                                         : nullptr;
    if (known) {
        if (known->fd < 0)
            errno = known->error != 0 ? known->error : ENOENT;
        return known->fd;
    }
    holder = open_under(area->tree.fd, kind);
    return holder.get();
}

// Prints the prompt and reads the answer: the last of the letters given
// before a blank or newline, the default when none was given. The
// question names what it asks about as the area has it: escaped.
int ask(const char *question, int def, const char *choices, const char *hint,
        const char *letters, const int *values) {
    kx::put_message(stdout, kx::escaped(question) + "(" + choices + ")" + hint + "? ");
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
    return compare_files_at(AT_FDCWD, name1, AT_FDCWD, name2);
}

int compare_files_at(int dirfd1, const char *name1, int dirfd2, const char *name2) {
    KX_ASSERT(name1 && name2);
    kx::Fd a = kx::open_regular_at(dirfd1, name1, nullptr);
    if (!a.ok())
        return -1;
    kx::Fd b = kx::open_regular_at(dirfd2, name2, nullptr);
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
    MoveArea area;
    if (area.get() == nullptr) {
        if (priv_dir == nullptr)
            errno = EINVAL;
        return -1;
    }
    // The source lies in the area's tree, lost_files in the area itself;
    // the lost-and-found tree holds links moved there from the container,
    // and neither side is reached through one.
    kx::Fd kind_holder;
    int kind = subtree_fd(area.get(), type_path, kind_holder);
    if (kind < 0)
        return -1;
    kx::Fd from = open_under(kind, dir);
    if (!from.ok())
        return -1;
    std::string lost_rel = std::string(type_path) + "/" + std::string(dir);
    kx::Fd to(open_lost_dir(area.get(), lost_rel.c_str()));
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
    MoveArea area;
    std::string root;
    if (area.get() != nullptr)
        root = area.get()->root.path;
    else if (priv_dir != nullptr)
        root = std::string(priv_dir) + "/root";
    std::string source = root + "/" + sibling;
    std::string target = root + "/" + std::string(p);
    if (kx::trace_on(4))
        debug_print(4, "move '%s' to '%s'\n", source.c_str(), target.c_str());
    if (area.get() == nullptr)
        error(1, priv_dir == nullptr ? EINVAL : errno, "can't move '%s' to '%s'", source.c_str(),
              target.c_str());
    // Both names are reached below the area's root tree without a link.
    int root_fd = area.get()->root.fd;
    if (root_fd < 0)
        error(1, area.get()->root.error, "can't move '%s' to '%s'", source.c_str(),
              target.c_str());
    std::string_view from_dir, from_leaf, to_dir, to_leaf;
    split_last(sibling, from_dir, from_leaf);
    split_last(p, to_dir, to_leaf);
    kx::Fd from = open_under(root_fd, from_dir);
    kx::Fd to = from.ok() ? open_under(root_fd, to_dir) : kx::Fd();
    std::string from_name(from_leaf), to_name(to_leaf.empty() ? "." : to_leaf);
    if (!from.ok() || !to.ok() ||
        ::renameat(from.get(), from_name.c_str(), to.get(), to_name.c_str()) != 0)
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
