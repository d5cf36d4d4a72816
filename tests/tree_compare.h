// Entry-by-entry comparison of two trees for the copy and clone suites: the
// snapshot of kxtest plus access times, extended attributes and inode flags,
// and the hard-link structure. Also builds the fixture area both suites copy.
#ifndef KX_TREE_COMPARE_H
#define KX_TREE_COMPARE_H

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kxtest.h"
#include "libkxfsutil.h"

namespace kxcmp {

struct Node {
    kxtest::Entry e;
    long long atime_sec = 0;
    std::map<std::string, std::string> xattrs;
    long long flags = 0;
};
using Tree = std::map<std::string, Node>;

inline std::map<std::string, std::string> xattrs_of(const std::string &path) {
    std::map<std::string, std::string> out;
    ssize_t size = llistxattr(path.c_str(), nullptr, 0);
    if (size <= 0)
        return out;
    std::string names(static_cast<size_t>(size), '\0');
    size = llistxattr(path.c_str(), names.data(), names.size());
    for (size_t at = 0; size > 0 && at < static_cast<size_t>(size);) {
        std::string name(names.c_str() + at);
        at += name.size() + 1;
        ssize_t n = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        std::string value(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0)
            lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        out[name] = value;
    }
    return out;
}

// The inode flag word without the filesystem's own bookkeeping bits.
inline long long flags_of(const std::string &path, const struct stat &st) {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return 0;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    int word = 0;
    long long flags = ioctl(fd, 0x80086601UL, &word) == 0 ? word : -1;
    close(fd);
    return flags < 0 ? flags : (flags & ~0x000C0000LL);
}

inline Tree snapshot(const std::string &root) {
    Tree tree;
    for (auto &[rel, e] : kxtest::snapshot(root)) {
        std::string path = root + "/" + rel;
        struct stat st = kxtest::lstat_of(path);
        Node n;
        n.e = e;
        n.atime_sec = st.st_atim.tv_sec;
        n.xattrs = xattrs_of(path);
        n.flags = flags_of(path, st);
        tree.emplace(rel, std::move(n));
    }
    return tree;
}

// Paths grouped by inode: the hard-link structure of a tree.
inline std::set<std::set<std::string>> link_groups(const Tree &tree,
                                                   const std::set<std::string> &skip = {}) {
    std::map<ino_t, std::set<std::string>> by_ino;
    for (const auto &[path, n] : tree)
        if (!S_ISDIR(n.e.mode) && !skip.count(path))
            by_ino[n.e.ino].insert(path);
    std::set<std::set<std::string>> groups;
    for (auto &[ino, paths] : by_ino)
        groups.insert(paths);
    return groups;
}

// Expects dst to reproduce src entry by entry. rewritten gives the expected
// content (file data or link text) of entries whose pointers were rewritten;
// skip lists paths of src that dst must not hold; ignore_data lists entries
// whose content is checked by the caller.
inline void expect_same_tree(const Tree &src, const Tree &dst,
                             const std::map<std::string, std::string> &rewritten = {},
                             const std::set<std::string> &skip = {},
                             const std::set<std::string> &ignore_data = {}) {
    auto is_skipped = [&](const std::string &path) {
        for (const std::string &p : skip)
            if (path == p || path.rfind(p + "/", 0) == 0)
                return true;
        return false;
    };
    for (const auto &[path, s] : src) {
        bool skipped = is_skipped(path);
        auto it = dst.find(path);
        if (skipped) {
            EXPECT_EQ(it, dst.end()) << path << " should not be copied";
            continue;
        }
        if (it == dst.end()) {
            ADD_FAILURE() << path << " is missing";
            continue;
        }
        const Node &d = it->second;
        EXPECT_EQ(d.e.mode, s.e.mode) << path;
        EXPECT_EQ(d.e.uid, s.e.uid) << path;
        EXPECT_EQ(d.e.gid, s.e.gid) << path;
        EXPECT_EQ(d.e.nlink, s.e.nlink) << path;
        EXPECT_EQ(d.e.rdev, s.e.rdev) << path;
        EXPECT_EQ(d.e.mtime_sec, s.e.mtime_sec) << path;
        EXPECT_EQ(d.atime_sec, s.atime_sec) << path;
        EXPECT_EQ(d.xattrs, s.xattrs) << path;
        EXPECT_EQ(d.flags, s.flags) << path;
        if (ignore_data.count(path))
            continue;
        auto r = rewritten.find(path);
        if (r != rewritten.end()) {
            EXPECT_EQ(d.e.data, r->second) << path;
        } else {
            EXPECT_EQ(d.e.data, s.e.data) << path;
            EXPECT_EQ(d.e.size, s.e.size) << path;
        }
    }
    for (const auto &[path, d] : dst)
        EXPECT_TRUE(src.count(path)) << path << " is not in the source";
    std::set<std::string> skipped_paths;
    for (const auto &[path, s] : src)
        if (is_skipped(path))
            skipped_paths.insert(path);
    EXPECT_EQ(link_groups(dst), link_groups(src, skipped_paths));
}

// Gives every entry below root (root too) distinct old modification times
// and an access time ahead of now, which reading the entry leaves alone.
inline void settle_times(const std::string &root, time_t base = 1500000000) {
    std::vector<std::string> paths;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it)
        paths.push_back(it->path().string());
    std::reverse(paths.begin(), paths.end());
    paths.push_back(root);
    time_t ahead = time(nullptr) + 86400;
    long i = 0;
    for (const std::string &p : paths) {
        struct timespec ts[2] = {{ahead + i, 0}, {base + 1000 * i, 0}};
        utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW);
        ++i;
    }
}

inline bool set_flags(const std::string &path, int flags) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool ok = ioctl(fd, 0x40086602UL, &flags) == 0;
    close(fd);
    return ok;
}

inline void set_xattr(const std::string &path, const std::string &name, const std::string &value) {
    if (lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0)
        ADD_FAILURE() << "setxattr " << name << " on " << path;
}

// Writes a dirindex for dir from its magic links (create_dirindex), then
// marks dir as template-backed.
inline void index_directory(const std::string &dir, const std::string &template_root) {
    std::unique_ptr<char, decltype(&free)> here(getcwd(nullptr, 0), &free);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    int rc = create_dirindex(".", DIRINDEX_NAME, template_root.c_str(), 0);
    ASSERT_EQ(chdir(here.get()), 0);
    ASSERT_EQ(rc, 0);
}

// The magic targets an index lists, in file order.
inline std::vector<std::string> index_targets(const std::string &path) {
    std::vector<std::string> out;
    char **list = read_dirindex(path.c_str());
    if (!list)
        return out;
    for (char **e = list; *e; ++e) {
        out.push_back(*e);
        free(*e);
    }
    free(list);
    return out;
}

inline std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

constexpr const char *kUuid1 = "11111111-2222-3333-4444-555555555555";
constexpr const char *kUuid2 = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";

// An area holding every kind of entry, its pointers naming the cache area of
// uuid. rewritten maps the entries whose pointer is a cache link of uuid to
// their text after a rewrite, with "{U}" standing for the new uuid; indexes
// lists the dirindex files.
struct Fixture {
    std::map<std::string, std::string> rewritten;
    std::vector<std::string> indexes;

    std::map<std::string, std::string> rewritten_for(const std::string &uuid) const {
        std::map<std::string, std::string> out;
        for (const auto &[path, text] : rewritten)
            out[path] = replace_all(text, "{U}", uuid);
        return out;
    }
    std::set<std::string> index_set() const { return {indexes.begin(), indexes.end()}; }
};

// The cache area of uuid below the template root, with the objects the
// fixture's pointers name, a magic link of its own and a lock file.
inline void build_cache(const std::string &template_root, const std::string &uuid) {
    std::string cache = template_root + "/vc/" + uuid;
    for (const char *f : {"usr/lib/libc.so", "usr/bin/a", "usr/bin/b", "bin/sh", "etc/x"})
        kxtest::write_file(cache + "/" + f, f, 0755);
    kxtest::make_magic_link(cache + "/usr/lib/libc.so.6", "vc/" + uuid + "/usr/lib/libc.so");
    kxtest::write_file(cache + "/.lck", "lock");
    kxtest::write_file(cache + "/sub/.lck", "lock");
}

inline Fixture build_area(const std::string &area, const std::string &template_root,
                          const std::string &uuid) {
    using kxtest::make_dirs;
    using kxtest::make_magic_link;
    using kxtest::make_shortcut_file;
    using kxtest::write_file;
    Fixture fx;
    const std::string vc = "vc/" + uuid;
    auto at = [&](const std::string &rel) { return area + "/" + rel; };

    write_file(at("ve.conf"), "VE_PRIVATE=x\n");
    write_file(at(".lck"), "top lock");
    write_file(at("root/.lck"), "deep lock");
    write_file(at("root/file"), "data", 0640);
    lchown(at("root/file").c_str(), 1001, 1002);
    set_xattr(at("root/file"), "user.note", "n");
    set_xattr(at("root/file"), "trusted.t", "t");
    set_flags(at("root/file"), 0x40);  // no dump
    write_file(at("root/setuid"), "#!", 04755);
    // More attribute names and a longer value than one small buffer holds.
    for (int i = 0; i < 30; ++i)
        set_xattr(at("root/setuid"), "user.a_rather_long_attribute_name_" + std::to_string(100 + i),
                  std::to_string(i));
    set_xattr(at("root/setuid"), "user.long", std::string(1500, 'v'));
    write_file(at("root/sticky_plain"), "abc", 01644);
    std::string big(5000, 'x');
    big[10] = '\0';
    big.replace(0, 4, "////");
    write_file(at("root/sticky_big"), big, 01600);
    std::string nul("////vc/" + uuid + "/bin/sh");
    nul.append(1, '\0').append("tail");
    write_file(at("root/sticky_nul"), nul, 01644);

    make_shortcut_file(at("root/sc_cache"), vc + "/usr/lib/libc.so");
    set_xattr(at("root/sc_cache"), "user.sc", "1");
    lchown(at("root/sc_cache").c_str(), 1001, 1002);
    fx.rewritten["root/sc_cache"] = "////vc/{U}/usr/lib/libc.so";
    write_file(at("root/sc_slashes"), "////vc//" + uuid + "//etc/x", 01600);
    fx.rewritten["root/sc_slashes"] = "////vc/{U}/etc/x";
    make_shortcut_file(at("root/sc_other"), "os/base/etc/passwd");
    make_shortcut_file(at("root/sc_otheruuid"), "vc/99999999-2222-3333-4444-555555555555/x");

    make_magic_link(at("root/ml_cache"), vc + "/bin/sh");
    lchown(at("root/ml_cache").c_str(), 1001, 1002);
    kxlchmod(at("root/ml_cache").c_str(), 01777);  // a cow mark
    fx.rewritten["root/ml_cache"] = "////vc/{U}/bin/sh";
    make_magic_link(at("root/ml_other"), "os/base/bin/ls");
    kxtest::make_symlink("../root/file", at("root/plain_link"));
    kxtest::make_symlink("////vc/" + uuid, at("root/ml_bare"));  // no rest: left alone

    mkfifo(at("root/fifo").c_str(), 0640);
    mknod(at("root/null").c_str(), S_IFCHR | 0666, makedev(1, 3));
    mknod(at("root/blk").c_str(), S_IFBLK | 0660, makedev(7, 0));
    mknod(at("root/sock").c_str(), S_IFSOCK | 0755, 0);

    make_dirs(at("root/dir_perm/inner"), 0750);
    chmod(at("root/dir_perm").c_str(), 0750);
    lchown(at("root/dir_perm").c_str(), 1001, 1002);
    set_xattr(at("root/dir_perm"), "user.d", "d");
    set_flags(at("root/dir_perm"), 0x40);
    write_file(at("root/dir_perm/inner/f"), "f");
    make_dirs(at("root/empty"));

    // One inode with three names in three directories.
    write_file(at("root/hard/a"), "shared", 0600);
    make_dirs(at("root/other"));
    make_dirs(at("root/deep/x"));
    link(at("root/hard/a").c_str(), at("root/other/b").c_str());
    link(at("root/hard/a").c_str(), at("root/deep/x/c").c_str());
    // A magic link with two names.
    make_magic_link(at("root/hard_ml1"), vc + "/usr/lib/libc.so");
    link(at("root/hard_ml1").c_str(), at("root/other/hard_ml2").c_str());
    fx.rewritten["root/hard_ml1"] = "////vc/{U}/usr/lib/libc.so";
    fx.rewritten["root/other/hard_ml2"] = "////vc/{U}/usr/lib/libc.so";

    // A template-backed directory with a dirindex of cache links.
    make_magic_link(at("root/usr/bin/a"), vc + "/usr/bin/a");
    make_magic_link(at("root/usr/bin/b"), vc + "/usr/bin/b");
    index_directory(at("root/usr/bin"), template_root);
    unlink(at("root/usr/bin/a").c_str());
    fx.rewritten["root/usr/bin/b"] = "////vc/{U}/usr/bin/b";
    fx.indexes.push_back("root/usr/bin/" DIRINDEX_NAME);
    return fx;
}

}  // namespace kxcmp

#endif
