// Harness of the hostile-area suite: a host with a sound generated area, a
// canary tree outside it and an operator's working directory; a snapshot of
// a tree that sees every change a tool could make (content, mode, owner,
// link count, inode, times to the nanosecond, extended attributes); and a
// run of an installed tool that collects every breach of the area boundary
// as one readable line.
#ifndef KXFS_TESTS_PLANTS_H
#define KXFS_TESTS_PLANTS_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"

namespace plants {

// ---- how a tool is run ------------------------------------------------------

enum Mode {
    Report,      // kxfsutil --call
    Move,        // kxfsutil --call=move
    Remove,      // kxfsutil --call=remove
    Ask,         // kxfsutil -i --call, answers on standard input
    OptAll,      // kxfsutil --oall=do
    OptReplace,  // kxfsutil --oreplace=do
    OptEmpty,    // kxfsutil --oempty=do
    Upgrade,     // kxfsutil --upgrade on an area of "005.003"
    Resume,      // kxfsutil --upgrade on an area left at "999.999"
    Uncow,       // kxfsutil --uncow-empty
    Index,       // kxfsdirindex
    IndexMagic,  // kxfsdirindex -m
    Clone,       // kxfsclone 101 102
    Correct,     // kxfsclone -c 101
    Inspect,     // kxfsinspect area
    kModes
};

inline const char *mode_name(Mode m) {
    static const char *const names[kModes] = {"report",   "move",    "remove",  "ask",    "oall",
                                              "oreplace", "oempty",  "upgrade", "resume", "uncow",
                                              "index",    "index_m", "clone",   "correct",
                                              "inspect"};
    return names[m];
}

constexpr unsigned bit(Mode m) { return 1u << m; }
// The set of the given modes.
template <class... M>
constexpr unsigned on(M... modes) {
    return (bit(modes) | ...);
}
constexpr unsigned kChecker = on(Report, Move, Remove, Ask, OptAll, OptReplace, OptEmpty);
constexpr unsigned kUpgrades = on(Upgrade, Resume);
constexpr unsigned kIndexers = on(Index, IndexMagic);
constexpr unsigned kClones = on(Clone, Correct);
// The tools that change an area (the inspector only reads, and finds
// problems in a sound scene's lost links).
constexpr unsigned kAll = ((1u << kModes) - 1) & ~bit(Inspect);

constexpr const char *kPkg = "distro/1/x86_64/pkg-1.0.x86_64";
constexpr const char *kUuid = "11111111-2222-3333-4444-555555555555";
// Every canary file that holds data of its own holds this text, so that a
// copy of it anywhere else is found.
constexpr const char *kSecret = "CANARY-SECRET";

// Bounds of a run in a row that plants files of a huge apparent size or
// lines without end: the address space it gets and the largest file it may
// write (so that a tool that would fill the disk dies instead), and the
// resident set it may reach at peak. The address space is not limited under
// AddressSanitizer, nor the resident set checked.
constexpr unsigned long long kAddressSpace = 256ull << 20;
constexpr unsigned long long kFileSizeMax = 1ull << 30;
constexpr long kResidentMaxKiB = 64 << 10;

inline double time_limit() {
    const char *v = std::getenv("KXFS_PLANTS_TIMEOUT");
    double t = v ? std::atof(v) : 0;
    return t > 0 ? t : 10;
}

// ---- small file-system helpers -----------------------------------------------

inline std::string md5_name(const std::string &text) { return kxcheck::md5_hex(text); }

inline void mark(const std::string &path) {
    struct stat st = kxtest::lstat_of(path);
    if (kxlchmod(path.c_str(), (st.st_mode & 07777) | S_ISVTX) != 0)
        ADD_FAILURE() << "cannot mark " << path;
}

inline void make_fifo(const std::string &path, mode_t mode = 0600) {
    if (mkfifo(path.c_str(), mode) != 0)
        ADD_FAILURE() << "mkfifo " << path << ": " << std::strerror(errno);
}

// A character device that reads as empty and swallows writes.
inline void make_null_device(const std::string &path) {
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        ADD_FAILURE() << "mknod " << path << ": " << std::strerror(errno);
}

inline void hard_link(const std::string &from, const std::string &to) {
    if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) != 0)
        ADD_FAILURE() << "link " << from << " " << to << ": " << std::strerror(errno);
}

// Takes the immutable and append-only flags off the open inode fd.
inline void unlock_inode(int fd) {
    int word = 0;
    if (ioctl(fd, 0x80086601UL, &word) == 0 && (word & 0x30)) {
        word &= ~0x30;
        ioctl(fd, 0x40086602UL, &word);
    }
}

// Removes parent/name and everything below it through descriptors, so that
// trees deeper than a path can name go too, locked inodes unlocked first.
// One descriptor per level.
inline void remove_tree_at(int parent, const char *name) {
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (unlinkat(parent, name, 0) != 0 && errno == EPERM) {
            int file = openat(parent, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (file >= 0) {
                unlock_inode(file);
                close(file);
            }
            unlinkat(parent, name, 0);
        }
        return;
    }
    unlock_inode(fd);
    fchmod(fd, 0700);
    DIR *d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    for (const std::string &n : names)
        remove_tree_at(dirfd(d), n.c_str());
    closedir(d);
    unlinkat(parent, name, AT_REMOVEDIR);
}

inline void remove_entry(const std::string &path) {
    remove_tree_at(AT_FDCWD, path.c_str());
    if (kxtest::exists(path))
        ADD_FAILURE() << "cannot remove " << path;
}

inline std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Everything a descriptor reads (the buffer is on the heap: the callers
// recurse as deep as the trees go).
inline std::string read_all(int fd) {
    std::string data;
    std::string buf(65536, '\0');
    ssize_t got;
    while ((got = read(fd, buf.data(), buf.size())) > 0)
        data.append(buf.data(), static_cast<size_t>(got));
    return data;
}

// ---- snapshots ----------------------------------------------------------------

struct Node {
    struct stat st {};
    std::string data;  // content of a regular file, text of a link
    std::map<std::string, std::string> xattrs;
};
using Shot = std::map<std::string, Node>;  // "" is the top directory

inline std::map<std::string, std::string> xattrs_at(const std::string &path) {
    std::map<std::string, std::string> out;
    ssize_t size = llistxattr(path.c_str(), nullptr, 0);
    if (size <= 0)
        return out;
    std::string names(static_cast<size_t>(size), '\0');
    size = llistxattr(path.c_str(), names.data(), names.size());
    for (ssize_t at = 0; at < size;) {
        std::string name(names.c_str() + at);
        at += static_cast<ssize_t>(name.size()) + 1;
        ssize_t n = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        std::string value(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0)
            lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        out[name] = value;
    }
    return out;
}

// Never opens anything but a regular file, and that without blocking.
inline void shoot_into(Shot &shot, const std::string &top, const std::string &rel) {
    std::string path = rel.empty() ? top : top + "/" + rel;
    Node n;
    if (lstat(path.c_str(), &n.st) != 0)
        return;
    if (S_ISREG(n.st.st_mode)) {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            n.data = read_all(fd);
            close(fd);
        }
    } else if (S_ISLNK(n.st.st_mode)) {
        n.data = kxtest::read_link(path);
    }
    n.xattrs = xattrs_at(path);
    bool dir = S_ISDIR(n.st.st_mode);
    shot.emplace(rel, std::move(n));
    if (!dir)
        return;
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    for (const std::string &name : names)
        shoot_into(shot, top, rel.empty() ? name : rel + "/" + name);
}

inline Shot shoot(const std::string &top) {
    Shot shot;
    shoot_into(shot, top, "");
    return shot;
}

inline std::string octal(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "0%o", v);
    return b;
}

inline std::string when(const struct timespec &t) {
    char b[48];
    std::snprintf(b, sizeof b, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
    return b;
}

inline bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

inline std::string kind_of(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "file";
        case S_IFDIR:
            return "directory";
        case S_IFLNK:
            return "symbolic link";
        case S_IFIFO:
            return "fifo";
        case S_IFCHR:
            return "character device";
        case S_IFBLK:
            return "block device";
        case S_IFSOCK:
            return "socket";
    }
    return "entry";
}

// Every difference between two snapshots, one line each. The inodes of the
// paths in shared have a name inside the area too: the tool may take that
// name away, so their link count may drop and their change time move.
inline std::vector<std::string> differences(const std::string &what, const Shot &before,
                                            const Shot &after,
                                            const std::set<std::string> &shared = {}) {
    std::vector<std::string> out;
    auto name = [&](const std::string &rel) {
        return what + " '" + (rel.empty() ? "." : rel) + "'";
    };
    for (const auto &[rel, b] : before) {
        auto it = after.find(rel);
        if (it == after.end()) {
            out.push_back(name(rel) + " is gone");
            continue;
        }
        const Node &a = it->second;
        const bool is_shared = shared.count(rel) != 0;
        std::vector<std::string> changes;
        if ((a.st.st_mode & S_IFMT) != (b.st.st_mode & S_IFMT))
            changes.push_back("became a " + kind_of(a.st.st_mode) + " (was a " +
                              kind_of(b.st.st_mode) + ")");
        if (a.st.st_ino != b.st.st_ino)
            changes.push_back("was replaced by another inode");
        if ((a.st.st_mode & 07777) != (b.st.st_mode & 07777))
            changes.push_back("mode " + octal(b.st.st_mode & 07777) + " -> " +
                              octal(a.st.st_mode & 07777));
        if (a.st.st_uid != b.st.st_uid || a.st.st_gid != b.st.st_gid)
            changes.push_back("owner " + std::to_string(b.st.st_uid) + ":" +
                              std::to_string(b.st.st_gid) + " -> " + std::to_string(a.st.st_uid) +
                              ":" + std::to_string(a.st.st_gid));
        if (a.st.st_nlink != b.st.st_nlink && !(is_shared && a.st.st_nlink < b.st.st_nlink))
            changes.push_back("link count " + std::to_string(b.st.st_nlink) + " -> " +
                              std::to_string(a.st.st_nlink));
        if (a.st.st_rdev != b.st.st_rdev)
            changes.push_back("device number changed");
        if (a.data != b.data || a.st.st_size != b.st.st_size)
            changes.push_back(S_ISLNK(b.st.st_mode)
                                  ? "link text '" + b.data + "' -> '" + a.data + "'"
                                  : "content changed (" + std::to_string(b.st.st_size) + " -> " +
                                        std::to_string(a.st.st_size) + " bytes)");
        if (a.xattrs != b.xattrs)
            changes.push_back("extended attributes changed");
        if (!same_time(a.st.st_mtim, b.st.st_mtim))
            changes.push_back("mtime " + when(b.st.st_mtim) + " -> " + when(a.st.st_mtim));
        if (!same_time(a.st.st_atim, b.st.st_atim))
            changes.push_back("atime " + when(b.st.st_atim) + " -> " + when(a.st.st_atim));
        if (!same_time(a.st.st_ctim, b.st.st_ctim) && !is_shared)
            changes.push_back("ctime changed");
        if (!changes.empty()) {
            std::string line = name(rel) + ":";
            for (size_t i = 0; i < changes.size(); ++i)
                line += (i ? ", " : " ") + changes[i];
            out.push_back(line);
        }
    }
    for (const auto &[rel, a] : after)
        if (!before.count(rel))
            out.push_back(name(rel) + " appeared (" + kind_of(a.st.st_mode) + ")");
    return out;
}

// Old modification times with nanoseconds (so that a time applied in whole
// seconds shows) and access times a day ahead: relatime then leaves the
// access time alone when the tree is only read, through any name.
inline void settle(const std::string &top, long base = 1400000000) {
    Shot shot = shoot(top);
    time_t ahead = time(nullptr) + 86400;
    long i = 0;
    for (auto it = shot.rbegin(); it != shot.rend(); ++it, ++i) {
        std::string path = it->first.empty() ? top : top + "/" + it->first;
        struct timespec ts[2] = {{ahead + i, 500000000}, {base + 1000 * i, 123456789}};
        if (utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
            ADD_FAILURE() << "utimensat " << path;
    }
}

// Regular files below top (through descriptors, any depth) that hold the
// canary's text without being one of the canary's own inodes.
inline void find_copies(int fd, const std::string &shown, const std::set<ino_t> &own,
                        std::vector<std::string> &out) {
    DIR *d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return;
    }
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        std::string path = shown + "/" + e->d_name;
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                find_copies(sub, path, own, out);
        } else if (S_ISREG(st.st_mode) && !own.count(st.st_ino) &&
                   static_cast<unsigned long long>(st.st_size) <= kFileSizeMax) {
            // (A larger file is one a row planted: no bounded run writes it.)
            int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0 && read_all(fd).find(kSecret) != std::string::npos)
                out.push_back(path);
            if (fd >= 0)
                close(fd);
        }
    }
    closedir(d);
}

// ---- the scene ------------------------------------------------------------------

// A swap made while the tool runs (see swap_preload.c); paths are relative
// to the host root.
struct Swap {
    std::string name;    // final component of the call that triggers it
    std::string entry;   // the entry swapped for a link
    std::string target;  // where the link points
    std::string calls;   // families that may trigger ("" for all)
    std::string where;   // directory the call must address ("" for any)
};

// A host root holding: the template tree; container 101's sound area (its
// tree in "fs" for layout 4) and configuration; container 102's
// configuration (clone destination); the canary tree; the operator's
// working directory; and the package tool on PATH, which records its
// arguments.
class Scene {
public:
    Scene(Mode mode, int layout) : mode(mode), layout(layout) {
        struct rlimit lim;
        if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
            lim.rlim_cur = lim.rlim_max;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        tmpl = host.template_root();
        area = host.path("vz/private/101");
        dst = host.path("vz/private/102");
        tree = layout == 4 ? area + "/fs" : area;
        root = tree + "/root";
        cow = tree + "/cow";
        canary = host.path("canary");
        cwd = host.path("cwd");
        bin = host.path("bin");
        args_log = host.path("kxpkg.args");
        build_templates();
        if (layout == 4)
            kxtest::write_file(host.path("vz/private/.layout"), "4\n");
        build_tree(tree, version_for(mode), upgrading());
        kxtest::write_file(area + "/ve.conf", "OSTEMPLATE=\"distro\"\n");
        kxtest::write_file(area + "/templates/kxpackages", "pkg x86_64 1.0\n");
        std::string priv = host.path("vz/private/$VEID");
        host.write_conf(101, "VE_PRIVATE=\"" + priv + "\"\nUUID=\"" + kUuid + "\"\n");
        host.write_conf(102, "VE_PRIVATE=\"" + priv + "\"\n");
        std::string recorder =
            "#!/bin/sh\n{ echo '--- call'; for a in \"$@\"; do "
            "printf '%s\\n' \"$a\"; done; } >> '" +
            args_log + "'\n";
        kxtest::write_file(bin + "/kxpkg",
                           recorder + "echo '" + tmpl + "/distro/1/x86_64/config'\n", 0755);
        host.add_command("kxpkg", recorder + "exit 0\n");
        build_canary();
        build_cwd();
    }

    // Deep trees are beyond what a path can name: the host root goes
    // through descriptors, before the host's own clean-up finds it gone.
    ~Scene() { remove_tree_at(AT_FDCWD, host.root().c_str()); }

    bool upgrading() const { return mode == Upgrade || mode == Resume; }
    static std::string version_for(Mode m) {
        return m == Upgrade ? "005.003" : m == Resume ? "999.999" : "005.004";
    }

    // Paths below the area tree, the area, the canary and the host root.
    std::string in_root(const std::string &rel) const { return root + "/" + rel; }
    std::string in_area(const std::string &rel) const { return area + "/" + rel; }
    std::string in_tree(const std::string &rel) const { return tree + "/" + rel; }
    std::string in_canary(const std::string &rel) const { return canary + "/" + rel; }
    // The cow file of a magic text below the package ("bin/b").
    std::string cow_of(const std::string &pkg_rel) const {
        return cow + "/" + md5_name("////" + std::string(kPkg) + "/" + pkg_rel);
    }
    std::string journal() const { return tree + "/.kxfsutil-upgrade.journal"; }
    // The host root's path of something relative to it.
    std::string rel_to_host(const std::string &path) const {
        return path.substr(host.root().size() + 1);
    }

    kxtest::Host host;
    Mode mode;
    int layout;
    std::string tmpl, area, dst, tree, root, cow, canary, cwd, bin, args_log;
    // Canary paths whose inode also has a name inside the area.
    std::set<std::string> shared;
    std::optional<Swap> swap;
    // Whether the run gets the bounds of kAddressSpace, kFileSizeMax and
    // kResidentMaxKiB.
    bool bounded = false;

    // The sound area tree at dir: a version link, magic links with and
    // without the cow mark and their cow files, a lost link, a broken mark,
    // shortcuts, hard-linked links, an indexed directory, hard-linked
    // shortcuts for the dirindex tool's first pass, plain files, cache links
    // and (outside an upgrade, which refuses them) linked directories.
    void build_tree(const std::string &dir, const std::string &version, bool for_upgrade) {
        using kxtest::make_magic_link;
        using kxtest::make_shortcut_file;
        using kxtest::write_file;
        const std::string pkg = kPkg;
        auto r = [&](const std::string &rel) { return dir + "/root/" + rel; };
        auto c = [&](const std::string &rel) {
            return dir + "/cow/" + md5_name("////" + pkg + "/" + rel);
        };
        kxtest::make_dirs(dir + "/root");
        kxtest::make_dirs(dir + "/cow");
        kxtest::make_symlink(version, dir + "/VERSION");
        make_magic_link(r("bin/a"), pkg + "/bin/a");
        make_magic_link(r("bin/b"), pkg + "/bin/b");
        mark(r("bin/b"));
        write_file(c("bin/b"), "b changed\n");
        make_magic_link(r("bin/h1"), pkg + "/bin/h");
        hard_link(r("bin/h1"), r("bin/h2"));
        make_magic_link(r("etc/conf"), pkg + "/etc/conf");
        mark(r("etc/conf"));
        write_file(c("etc/conf"), "conf\n");
        make_magic_link(r("etc/lost"), pkg + "/etc/missing");
        make_magic_link(r("etc/brokenmark"), pkg + "/etc/conf2");
        mark(r("etc/brokenmark"));
        make_shortcut_file(r("etc/sc"), pkg + "/etc/conf");
        make_shortcut_file(r("etc/sc_lost"), pkg + "/etc/gone");
        write_file(c("stray"), "stray\n");
        make_magic_link(r("usr/sbin/ls"), pkg + "/usr/sbin/ls");
        make_magic_link(r("usr/sbin/cat"), pkg + "/usr/sbin/cat");
        kxcheck::index_dir(r("usr/sbin"), tmpl);
        const std::string tz = pkg + "/usr/share/zoneinfo/Europe/Paris";
        make_shortcut_file(r("usr/share/zoneinfo/Europe/Paris"), tz);
        kxtest::make_dirs(r("usr/share/zoneinfo/Etc"));
        hard_link(r("usr/share/zoneinfo/Europe/Paris"), r("usr/share/zoneinfo/Etc/X"));
        write_file(r("home/user/file"), "user data\n", 0640);
        write_file(r("home/user/notes"), "notes\n", 0600);
        kxtest::make_symlink("file", r("home/user/link"));
        make_magic_link(r("lib/libc"), std::string("vc/") + kUuid + "/lib/libc.so");
        make_shortcut_file(r("lib/sc"), std::string("vc/") + kUuid + "/lib/libc.so");
        if (!for_upgrade) {
            for (const char *d : {"opt", "sys"}) {
                kxtest::make_dirs(r(d), 04755);
                make_magic_link(r(std::string(d) + "/" DIRINDEX_NAME), pkg + "/" + d);
            }
        }
    }

    // Another container's area in the canary (its owners left as built).
    void build_other_area() {
        build_tree(in_canary("other"), "005.004", false);
        kxtest::write_file(in_canary("other/root/secret"), std::string(kSecret) + " other\n");
    }

    // Replaces the marker of the linked directories opt and sys and the
    // dirindex of the indexed directory usr/sbin.
    template <class Make>
    void replace_markers(Make make) {
        for (const char *d : {"opt", "sys", "usr/sbin"}) {
            std::string p = in_root(std::string(d) + "/" DIRINDEX_NAME);
            if (kxtest::exists(p)) {
                remove_entry(p);
                make(p);
            }
        }
    }

private:
    void build_templates() {
        const std::string p = tmpl + "/" + kPkg;
        for (const char *f : {"bin/a", "bin/b", "bin/h", "etc/conf", "etc/conf2", "usr/sbin/ls",
                              "usr/sbin/cat", "opt/tool"})
            kxtest::write_file(p + "/" + f,
                               std::string(f).substr(std::string(f).rfind('/') + 1) + "\n");
        kxtest::make_dirs(p + "/sys");
        kxtest::write_file(p + "/usr/share/zoneinfo/Europe/Paris", "tz\n");
        hard_link(p + "/usr/share/zoneinfo/Europe/Paris", p + "/usr/share/zoneinfo/Europe/X");
        const std::string vc = tmpl + "/vc/" + kUuid;
        kxtest::write_file(vc + "/lib/libc.so", "libc\n");
        kxtest::make_magic_link(vc + "/lib/libc.so.6", std::string("vc/") + kUuid + "/lib/libc.so");
    }

    // Entries a tool would act on if it ever got there; data files carry
    // the canary's text, and most entries an owner the tools never set.
    void build_canary() {
        using kxtest::make_magic_link;
        using kxtest::write_file;
        const std::string pkg = kPkg;
        auto k = [&](const std::string &rel) { return canary + "/" + rel; };
        write_file(k("file"), std::string(kSecret) + " file\n", 0644);
        write_file(k("hl_a"), std::string(kSecret) + " hl\n", 0600);
        hard_link(k("hl_a"), k("hl_b"));
        kxtest::make_shortcut_file(k("sc"), pkg + "/bin/h");
        make_fifo(k("fifo"));
        kxtest::make_dirs(k("emptydir"), 0700);
        write_file(k("cowdir/" + md5_name("////" + pkg + "/bin/b")), std::string(kSecret) + " b\n");
        write_file(k("cowdir/" + md5_name("////" + pkg + "/etc/conf")), "conf\n");
        write_file(k("cowdir/keep"), std::string(kSecret) + " keep\n");
        kxtest::make_dirs(k("dir"), 04755);
        make_magic_link(k("dir/lost"), pkg + "/etc/missing");
        make_magic_link(k("dir/brokenmark"), pkg + "/etc/conf2");
        mark(k("dir/brokenmark"));
        make_magic_link(k("dir/b"), pkg + "/bin/b");
        mark(k("dir/b"));
        make_magic_link(k("dir/a"), pkg + "/bin/a");
        kxtest::make_shortcut_file(k("dir/sc"), std::string("vc/") + kUuid + "/lib/libc.so");
        write_file(k("dir/data"), std::string(kSecret) + " data\n");
        write_file(k("dir/sub/x"), std::string(kSecret) + " x\n");
        kxtest::make_dirs(k("dir/sys"), 04755);
        make_magic_link(k("dir/sys/" DIRINDEX_NAME), pkg + "/sys");
        kxtest::make_dirs(k("sysdir"), 04755);
        make_magic_link(k("sysdir/" DIRINDEX_NAME), pkg + "/sys");
        const std::string tz = pkg + "/usr/share/zoneinfo/Europe/Paris";
        kxtest::make_shortcut_file(k("usr/share/zoneinfo/Europe/Paris"), tz);
        kxtest::make_dirs(k("usr/share/zoneinfo/Etc"));
        hard_link(k("usr/share/zoneinfo/Europe/Paris"), k("usr/share/zoneinfo/Etc/X"));
        kxtest::make_dirs(k("pkg"));
        make_fifo(k("pkg/kxpackages"));
        // Owners the tools would never give.
        Shot all = shoot(canary);
        for (const auto &[rel, n] : all)
            lchown(rel.empty() ? canary.c_str() : (canary + "/" + rel).c_str(), 1234, 1234);
    }

    // The operator's working directory: names a tool uses inside an area.
    void build_cwd() {
        using kxtest::write_file;
        auto w = [&](const std::string &rel) { return cwd + "/" + rel; };
        write_file(w("root"), "operator's root\n");
        kxtest::make_symlink("005.004", w("VERSION"));
        write_file(w(DIRINDEX_NAME), "operator's marker\n");
        write_file(w(DIRINDEX_NAME "_tmp_."), "operator's temporary\n");
        write_file(w("ve.conf"), "OSTEMPLATE=\"operator\"\n");
        write_file(w(".kxfsutil-upgrade.journal"), "operator's journal\n");
        write_file(w("lost_files/x"), "operator's lost file\n");
        kxtest::make_dirs(w("cow"));
        hard_link(w("lost_files/x"), w("cow/x"));
        write_file(w("cow/" + md5_name("////" + std::string(kPkg) + "/bin/b")), "operator\n");
        kxtest::make_symlink("005.004", w("fs/VERSION"));
        kxtest::make_dirs(w("fs/root"));
        write_file(w("templates/kxpackages"), "operator x86_64 1.0\n");
        kxtest::make_dirs(w("sys"), 04755);
    }
};

// ---- a run and its verdict ---------------------------------------------------------

struct Command {
    std::vector<std::string> argv;
    std::string input;
};

inline std::string installed(const std::string &tool) {
    const char *prefix = std::getenv("KXFS_PLANTS_PREFIX");
    return std::string(prefix && *prefix ? prefix : "/nonexistent") + "/sbin/" + tool;
}

// The command an operator types for the scene's mode.
inline Command command_for(const Scene &s) {
    switch (s.mode) {
        case Index:
            return {{installed("kxfsdirindex"), "-t", s.tmpl, s.area}, ""};
        case IndexMagic:
            return {{installed("kxfsdirindex"), "-m", "-t", s.tmpl, s.area}, ""};
        case Clone:
            return {{installed("kxfsclone"), "101", "102"}, ""};
        case Correct:
            return {{installed("kxfsclone"), "-c", "101"}, ""};
        case Inspect:
            return {{installed("kxfsinspect"), "area", "-t", s.tmpl, s.area}, ""};
        default:
            break;
    }
    static const std::map<Mode, std::vector<std::string>> options = {
        {Report, {"--call"}},
        {Move, {"--call=move"}},
        {Remove, {"--call=remove"}},
        {Ask, {"-i", "--call"}},
        {OptAll, {"--oall=do"}},
        {OptReplace, {"--oreplace=do"}},
        {OptEmpty, {"--oempty=do"}},
        {Upgrade, {"--upgrade", "--ctid=101"}},
        {Resume, {"--upgrade", "--ctid=101"}},
        {Uncow, {"--uncow-empty"}}};
    Command c{{installed("kxfsutil")}, ""};
    const std::vector<std::string> &opts = options.at(s.mode);
    c.argv.insert(c.argv.end(), opts.begin(), opts.end());
    c.argv.insert(c.argv.end(), {"-t", s.tmpl, s.area});
    // The same answer to every question, whatever order they come in.
    if (s.mode == Ask)
        for (int i = 0; i < 128; ++i)
            c.input += "r\n";
    return c;
}

struct Verdict {
    kxtest::Run run;
    std::vector<std::string> problems;
    std::string swapped_at;  // the call before which the swap was made

    // The problems, then what the tool said, for a failure message.
    std::string report() const {
        std::ostringstream o;
        for (const std::string &p : problems)
            o << "  " << p << "\n";
        o << "  (exit status " << run.status << ")\n";
        if (!swapped_at.empty())
            o << "  swapped before: " << swapped_at;
        std::istringstream err(run.err);
        std::string line;
        for (int i = 0; i < 12 && std::getline(err, line); ++i)
            o << "  stderr: " << line.substr(0, 300) << "\n";
        return o.str();
    }
};

// Option-like arguments the package tool received, besides its own "-q".
inline std::vector<std::string> option_arguments(const std::string &log) {
    std::vector<std::string> out;
    if (!kxtest::exists(log))
        return out;
    std::istringstream in(kxtest::read_file(log));
    std::string arg;
    while (std::getline(in, arg))
        if (arg != "--- call" && !arg.empty() && arg[0] == '-' && arg != "-q")
            out.push_back("the package tool got the option-like argument '" + arg + "'");
    return out;
}

// Runs the command as the operator would (in the working directory, with
// the package tool on PATH, and the swap library when the scene has a swap)
// and collects every breach: a hang, a crash or sanitizer report, a changed
// canary or working directory, an option smuggled to the package tool,
// canary data copied into an area, a swap that never happened. With a
// memory limit the tool runs with that much address space (not under the
// sanitizers, whose shadow memory takes far more).
inline Verdict verify(Scene &s, const Command &cmd, long memory_mb = 0) {
    settle(s.canary);
    settle(s.cwd);
    const Shot canary_before = shoot(s.canary);
    const Shot cwd_before = shoot(s.cwd);
    std::set<ino_t> own;
    for (const auto &[rel, n] : canary_before)
        own.insert(n.st.st_ino);
    unlink(s.args_log.c_str());

    kxtest::RunOptions options;
    options.cwd = s.cwd;
    options.input = cmd.input;
    options.timeout = time_limit();
    const char *path = std::getenv("PATH");
    options.env.push_back("PATH=" + s.bin + ":" + (path ? path : "/usr/bin:/bin"));
    // Leaks are the other suites' business; leak checking at every exit
    // would double the time of a sanitizer run.
    const char *asan = std::getenv("ASAN_OPTIONS");
    options.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    // One malloc arena for all threads: each thread that allocates would
    // otherwise reserve 64 MiB of address space it never uses (128 MiB
    // while the arena is made), and whether a run under an address-space
    // limit fails would depend on when its read-ahead threads happen to
    // allocate. The limits are there to catch memory that follows a file's
    // size or a tree's depth.
    options.env.push_back("MALLOC_ARENA_MAX=1");
    std::string state = s.host.path("swap.state");
    if (s.swap) {
        const char *sim = std::getenv("LD_PRELOAD");
        const char *lib = std::getenv("KXFS_SWAP_PRELOAD");
        options.env.push_back(std::string("LD_PRELOAD=") + (sim ? sim : "") + " " +
                              (lib ? lib : ""));
        options.env.push_back("KXSWAP_NAME=" + s.swap->name);
        options.env.push_back("KXSWAP_ENTRY=" + s.host.path(s.swap->entry));
        options.env.push_back("KXSWAP_TARGET=" + s.host.path(s.swap->target));
        options.env.push_back("KXSWAP_CALLS=" + s.swap->calls);
        options.env.push_back("KXSWAP_STATE=" + state);
        if (!s.swap->where.empty())
            options.env.push_back("KXSWAP_WHERE=" + s.host.path(s.swap->where));
    }

    std::vector<std::string> argv = cmd.argv;
    const bool bounded = s.bounded && !kxtest::kSanitized;
    if (bounded)
        argv.insert(argv.begin(), {"/usr/bin/prlimit", "--as=" + std::to_string(kAddressSpace),
                                   "--fsize=" + std::to_string(kFileSizeMax), "--"});
    else if (memory_mb > 0 && !kxtest::kSanitized)
        argv.insert(argv.begin(),
                    {"/usr/bin/prlimit", "--as=" + std::to_string(memory_mb << 20), "--"});

    Verdict v;
    v.run = kxtest::run_with(argv, options);
    if (v.run.timed_out)
        v.problems.push_back("hung: killed after " + std::to_string(int(options.timeout)) + " s");
    else if (v.run.status >= 128)
        v.problems.push_back("died of signal " + std::to_string(v.run.status - 128));
    for (const char *sign : {"Sanitizer", "runtime error:"})
        if (v.run.err.find(sign) != std::string::npos)
            v.problems.push_back(std::string("sanitizer report (\"") + sign + "\")");
    if (bounded) {
        if (v.run.max_rss_kb > kResidentMaxKiB)
            v.problems.push_back("used " + std::to_string(v.run.max_rss_kb >> 10) +
                                 " MiB of memory at peak (bound: " +
                                 std::to_string(kResidentMaxKiB >> 10) + " MiB)");
        for (const char *sign : {"Cannot allocate memory", "not enough memory"})
            if ((v.run.out + v.run.err).find(sign) != std::string::npos)
                v.problems.push_back(std::string("ran out of its address space (\"") + sign +
                                     "\")");
    }
    for (std::string &d : differences("canary", canary_before, shoot(s.canary), s.shared))
        v.problems.push_back(std::move(d));
    for (std::string &d : differences("working directory", cwd_before, shoot(s.cwd)))
        v.problems.push_back(std::move(d));
    for (std::string &d : option_arguments(s.args_log))
        v.problems.push_back(std::move(d));
    if (s.shared.empty()) {
        std::vector<std::string> copies;
        for (const std::string &top : {s.area, s.dst}) {
            int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0)
                find_copies(fd, s.rel_to_host(top), own, copies);
        }
        for (const std::string &c : copies)
            v.problems.push_back("canary data copied to '" + c + "'");
    }
    if (s.swap && !kxtest::exists(state))
        v.problems.push_back("the swap of '" + s.swap->entry + "' never happened");
    else if (s.swap)
        v.swapped_at = kxtest::read_file(state);
    return v;
}

}  // namespace plants

#endif
