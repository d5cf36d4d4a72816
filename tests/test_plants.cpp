// Hostile areas: whatever an area holds, no tool touches anything outside
// the area and the template directory, acts in the operator's working
// directory, passes area text to a command as an option, or hangs. Each row
// plants something on top of a sound generated area and names the modes it
// runs in; every (row, mode) runs the installed tool as an operator would
// and is checked by the harness of plants.h. The last tests check the
// harness itself.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plants.h"

using namespace plants;

namespace {

// ---- builders ---------------------------------------------------------------------

// Replaces what is at path by the given kind of entry.
void to_link(const std::string &path, const std::string &target) {
    remove_entry(path);
    kxtest::make_symlink(target, path);
}
void to_fifo(const std::string &path) {
    remove_entry(path);
    make_fifo(path);
}
void to_device(const std::string &path) {
    remove_entry(path);
    make_null_device(path);
}
void to_file(const std::string &path) {
    remove_entry(path);
    kxtest::write_file(path, "planted\n");
}
// Gives the canary file rel a second name at path (the harness then lets
// the tool take that name away again, and nothing else).
void to_canary_name(Scene &s, const std::string &path, const std::string &rel) {
    remove_entry(path);
    hard_link(s.in_canary(rel), path);
    s.shared.insert(rel);
    if (rel == "hl_a" || rel == "hl_b")
        s.shared.insert(rel == "hl_a" ? "hl_b" : "hl_a");
}
// A canary file of its own, for a row that shares it with the area.
void canary_file(Scene &s, const std::string &rel, const std::string &content, mode_t mode) {
    kxtest::write_file(s.in_canary(rel), content, mode);
    lchown(s.in_canary(rel).c_str(), 1234, 1234);
}
// The indexed directory's dirindex names a template object that is gone,
// so a check writes a repaired copy beside it.
void lose_indexed_template(Scene &s) { unlink((s.tmpl + "/" + kPkg + "/usr/sbin/cat").c_str()); }
void break_index_signature(Scene &s) {
    int fd = open(s.in_root("usr/sbin/" DIRINDEX_NAME).c_str(), O_WRONLY | O_NOFOLLOW);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "XXXX", 4, 0), 4);
    close(fd);
}
std::string journal_record_r(const std::string &path) {
    return "R " + std::to_string(path.size()) + " " + path + "\n";
}
std::string journal_record_i(const std::string &link, const std::string &path) {
    struct stat st = kxtest::lstat_of(link);
    return "I " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
           std::to_string(path.size()) + " " + path + "\n";
}

// A chain of nested directories of one name below top, made through
// descriptors (it may be longer than a path), with a lost link, a magic
// link and a file at the bottom.
void dir_chain(const std::string &top, const std::string &name, int count) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    EXPECT_EQ(symlinkat(("////" + std::string(kPkg) + "/etc/missing").c_str(), fd, "lost"), 0);
    EXPECT_EQ(symlinkat(("////" + std::string(kPkg) + "/bin/a").c_str(), fd, "a"), 0);
    close(openat(fd, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    close(fd);
}

// ---- plants -------------------------------------------------------------------------

void sound(Scene &) {}

// Top entries of the area.
void cow_link_dir(Scene &s) { to_link(s.cow, s.in_canary("cowdir")); }
void cow_link_file(Scene &s) { to_link(s.cow, s.in_canary("file")); }
void cow_fifo(Scene &s) { to_fifo(s.cow); }
void cow_file(Scene &s) { to_file(s.cow); }
void cow_device(Scene &s) { to_device(s.cow); }
void root_link_dir(Scene &s) { to_link(s.root, s.in_canary("dir")); }
void root_magic(Scene &s) { to_link(s.root, "////" + std::string(kPkg) + "/bin/a"); }
// Marked, with a cow file that differs from the template.
void root_magic_marked(Scene &s) {
    to_link(s.root, "////" + std::string(kPkg) + "/bin/b");
    mark(s.root);
}
void root_magic_lost(Scene &s) { to_link(s.root, "////" + std::string(kPkg) + "/etc/missing"); }
// Marked, without a cow file.
void root_magic_broken_mark(Scene &s) {
    to_link(s.root, "////" + std::string(kPkg) + "/etc/conf2");
    mark(s.root);
}
void root_link_file(Scene &s) { to_link(s.root, s.in_canary("file")); }
void root_fifo(Scene &s) { to_fifo(s.root); }
void root_file(Scene &s) { to_file(s.root); }
void root_device(Scene &s) { to_device(s.root); }
void fs_link_area(Scene &s) {
    s.build_other_area();
    to_link(s.tree, s.in_canary("other"));
}
void fs_link_file(Scene &s) { to_link(s.tree, s.in_canary("file")); }
void fs_fifo(Scene &s) { to_fifo(s.tree); }
void fs_file(Scene &s) { to_file(s.tree); }
void lost_files_link(Scene &s) { to_link(s.in_area("lost_files"), s.in_canary("emptydir")); }
void lost_files_cow_link(Scene &s) {
    kxtest::make_dirs(s.in_area("lost_files"));
    to_link(s.in_area("lost_files/cow"), s.in_canary("emptydir"));
}
void lost_files_root_link(Scene &s) {
    kxtest::make_dirs(s.in_area("lost_files/root"));
    to_link(s.in_area("lost_files/root/etc"), s.in_canary("emptydir"));
}
void lost_files_fifo(Scene &s) { to_fifo(s.in_area("lost_files")); }
void lost_files_file(Scene &s) { to_file(s.in_area("lost_files")); }
void templates_link(Scene &s) { to_link(s.in_area("templates"), s.in_canary("pkg")); }
void kxpackages_link(Scene &s) { to_link(s.in_area("templates/kxpackages"), s.in_canary("fifo")); }
void kxpackages_fifo(Scene &s) { to_fifo(s.in_area("templates/kxpackages")); }
void ve_conf_link(Scene &s) { to_link(s.in_area("ve.conf"), s.in_canary("fifo")); }
void ve_conf_fifo(Scene &s) { to_fifo(s.in_area("ve.conf")); }
void ve_conf_device(Scene &s) { to_device(s.in_area("ve.conf")); }
void ostemplate_dash(Scene &s) {
    kxtest::write_file(s.in_area("ve.conf"),
                       "OSTEMPLATE=\"--config=" + s.in_canary("file") + "\"\n");
}
void ostemplate_shell(Scene &s) {
    kxtest::write_file(s.in_area("ve.conf"), "OSTEMPLATE=\"x;touch " + s.in_canary("pwned") +
                                                 ";$(touch " + s.in_canary("pwned2") + ")`touch " +
                                                 s.in_canary("pwned3") + "`\"\n");
}
void version_fifo(Scene &s) { to_fifo(s.in_tree("VERSION")); }
void version_file(Scene &s) { to_file(s.in_tree("VERSION")); }
void version_link_host(Scene &s) { to_link(s.in_tree("VERSION"), s.in_canary("file")); }
void version_bak_link(Scene &s) {
    kxtest::make_symlink(s.in_canary("file"), s.in_tree("VERSION.bak.bak"));
}
void version_bak_hardlink(Scene &s) { to_canary_name(s, s.in_tree("VERSION.bak.bak"), "hl_a"); }
void version_bak_fifo(Scene &s) { make_fifo(s.in_tree("VERSION.bak.bak")); }

// Markers of template-backed directories and their temporary neighbour.
void marker_fifo(Scene &s) {
    s.replace_markers([](const std::string &p) { make_fifo(p); });
}
void marker_device(Scene &s) {
    s.replace_markers([](const std::string &p) { make_null_device(p); });
}
void marker_host_link(Scene &s) {
    std::string target = s.in_canary("file");
    s.replace_markers([&](const std::string &p) { kxtest::make_symlink(target, p); });
    kxtest::make_symlink(target, s.in_root("home/" DIRINDEX_NAME));  // a leftover
}
void tmp_link(Scene &s) {
    lose_indexed_template(s);
    kxtest::make_symlink(s.in_canary("file"), s.in_root("usr/sbin/" DIRINDEX_NAME "_tmp_."));
}
void tmp_fifo(Scene &s) {
    lose_indexed_template(s);
    make_fifo(s.in_root("usr/sbin/" DIRINDEX_NAME "_tmp_."));
}
void tmp_hardlink(Scene &s) {
    lose_indexed_template(s);
    to_canary_name(s, s.in_root("usr/sbin/" DIRINDEX_NAME "_tmp_."), "hl_a");
}
// The indexed directory's dirindex is a name of a host file.
void index_hardlink(Scene &s) {
    std::string index = s.in_root("usr/sbin/" DIRINDEX_NAME);
    ASSERT_EQ(rename(index.c_str(), s.in_canary("index").c_str()), 0);
    lchown(s.in_canary("index").c_str(), 1234, 1234);
    chmod(s.in_canary("index").c_str(), 0600);
    to_canary_name(s, index, "index");
}
void index_hardlink_lost(Scene &s) {
    lose_indexed_template(s);
    index_hardlink(s);
}
void index_hardlink_broken(Scene &s) {
    break_index_signature(s);
    index_hardlink(s);
}

// Cow files.
void cowfile_fifo(Scene &s) { to_fifo(s.cow_of("bin/b")); }
void cowfile_device(Scene &s) { to_device(s.cow_of("bin/b")); }
void cowfile_link(Scene &s) { to_link(s.cow_of("bin/b"), s.in_canary("file")); }
void cowfile_hardlink(Scene &s) {
    canary_file(s, "cow_b", std::string(kSecret) + " changed b\n", 0600);
    to_canary_name(s, s.cow_of("bin/b"), "cow_b");
}
void cowfile_hardlink_equal(Scene &s) {
    canary_file(s, "conf", "conf\n", 0600);
    to_canary_name(s, s.cow_of("etc/conf"), "conf");
}
void cowfile_bak_link(Scene &s) {
    for (const char *rel : {"bin/a", "bin/b", "bin/h"})
        kxtest::make_symlink(s.in_canary("file"), s.cow_of(rel) + ".bak");
}
void cowfile_bak_hardlink(Scene &s) { to_canary_name(s, s.cow_of("bin/a") + ".bak", "hl_a"); }
void cowdir_entry_link(Scene &s) {
    kxtest::make_symlink(s.in_canary("dir"), s.cow + "/sub");
    kxtest::make_symlink(s.in_canary("file"), s.cow + "/file");
}

// The upgrade journal of an interrupted run.
void journal_link(Scene &s) { kxtest::make_symlink(s.in_canary("file"), s.journal()); }
void journal_fifo(Scene &s) { make_fifo(s.journal()); }
void journal_device(Scene &s) { make_null_device(s.journal()); }
void journal_hardlink(Scene &s) { to_canary_name(s, s.journal(), "hl_a"); }
void journal_dir(Scene &s) { kxtest::make_dirs(s.journal() + "/sub"); }
void journal_records_abs(Scene &s) {
    kxtest::write_file(s.journal(), journal_record_r(s.in_canary("hl_a")) +
                                        journal_record_r("cow/x") +
                                        journal_record_i(s.in_root("bin/h1"), s.in_canary("sc")));
}
void journal_records_dotdot(Scene &s) {
    // Relative to the operator's directory, to the tree, and to the
    // directory of the link (root/bin) when the scan is there.
    std::string up_tree(s.layout == 4 ? "../../../../" : "../../../");
    kxtest::write_file(s.journal(),
                       journal_record_r("../canary/hl_a") +
                           journal_record_r(up_tree + "canary/hl_b") +
                           journal_record_i(s.in_root("bin/h1"), "../../" + up_tree + "canary/sc"));
}

// Magic texts that climb out of the template root.
void magic_dotdot(Scene &s) {
    const std::string cow_conf =
        "canary/cowdir/" + md5_name("////" + std::string(kPkg) + "/etc/conf");
    const std::string up = "////../../" + cow_conf;  // the template root is kx/template
    kxtest::make_symlink(up, s.in_root("etc/up"));
    mark(s.in_root("etc/up"));
    kxtest::write_file(s.cow + "/" + md5_name(up), "conf\n");
    kxtest::make_symlink("////../../canary/dir/a", s.in_root("etc/up_lost"));
    kxtest::write_file(s.in_root("etc/up_sc"), "////../../canary/dir/data", 01644);
    kxtest::make_symlink("////vc/" + std::string(kUuid) + "/../../../../canary/dir/data",
                         s.in_root("lib/vc_up"));
    if (kxtest::exists(s.in_root("sys/" DIRINDEX_NAME)))
        to_link(s.in_root("sys/" DIRINDEX_NAME), "////../../canary/emptydir");
}

// Names and depths no fixed buffer holds.
void long_names(Scene &s) {
    const std::string n255(255, 'n');
    kxtest::write_file(s.in_root(n255), "long\n");
    kxtest::make_dirs(s.in_root("long/" + n255));
    kxtest::make_symlink("////" + std::string(kPkg) + "/" + n255,
                         s.in_root("long/" + n255 + "/" + n255));
    std::string text = "////" + std::string(kPkg);
    while (text.size() < 4090)
        text += "/" + std::string(200, 'x');
    text.resize(4090);
    kxtest::make_symlink(text, s.in_root("long/text"));
    mark(s.in_root("long/text"));
    kxtest::write_file(s.cow + "/" + md5_name(text), "long cow\n");
    kxtest::write_file(s.in_root("long/sc4095"), text + "12345", 01644);
    kxtest::write_file(s.in_root("long/sc5000"), text + std::string(910, 'y'), 01644);
    // A path longer than any path buffer: 17 levels of 255 characters.
    dir_chain(s.in_root("long"), std::string(255, 'm'), 17);
}
void deep_tree(Scene &s) { dir_chain(s.root, "d", 600); }

// Files of a huge apparent size that take nothing on disk, and lines
// without end: the runs are bounded in memory and in the files they write.
void sparse_file(Scene &s, const std::string &path, const std::string &head, off_t size,
                 const std::string &tail) {
    s.bounded = true;
    kxtest::write_sparse_file(path, head, size, tail);
}
void index_extended(Scene &s, off_t size) {
    std::string index = s.in_root("usr/sbin/" DIRINDEX_NAME);
    sparse_file(s, index, kxtest::read_file(index), size, "");
}
void index_16g(Scene &s) { index_extended(s, off_t(16) << 30); }
void index_hollow(Scene &s) { index_extended(s, off_t(UINT32_MAX) - 4096); }
void kxpackages_endless_line(Scene &s) {
    sparse_file(s, s.in_area("templates/kxpackages"), "pkg x86_64 1.0\n", off_t(3) << 30, "\n");
}
void ve_conf_endless_line(Scene &s) {
    sparse_file(s, s.in_area("ve.conf"), "", off_t(3) << 30, "\nOSTEMPLATE=\"distro\"\n");
}
// (The checker appends to the journal it finds: within the bound on the
// size of the files a run writes.)
void oempty_journal_sparse(Scene &s) {
    sparse_file(s, s.in_tree(".kxfsutil-oempty.journal"), "", off_t(512) << 20, "\n");
}

// The directory at the bottom of a chain made by dir_chain, opened through
// descriptors; -1 when the chain is not there.
int chain_bottom(const std::string &top, const std::string &name, int count) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0 && i < count; ++i) {
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

constexpr const char *kCacheLink = "////vc/11111111-2222-3333-4444-555555555555/lib/libc.so";

// Chains of thousands of directories, far deeper than a path can name
// (7000 levels take 28 MB on disk), with a cache link at the bottom too.
template <int Depth>
void deep_chain(Scene &s) {
    dir_chain(s.root, "d", Depth);
    int bottom = chain_bottom(s.root, "d", Depth);
    ASSERT_GE(bottom, 0);
    EXPECT_EQ(symlinkat(kCacheLink, bottom, "vc"), 0);
    close(bottom);
}

// What a run over the chain must have done: reached its bottom.
template <int Depth>
void reached_the_bottom(Scene &s, Verdict &v) {
    EXPECT_EQ(v.run.status, s.mode == Inspect ? 1 : 0) << v.report();
    std::string bottom_path;
    for (int i = 0; i < Depth; ++i)
        bottom_path += "d/";
    const std::string root = s.mode == Clone ? s.dst + "/root" : s.root;
    int bottom = chain_bottom(root, "d", Depth);
    ASSERT_GE(bottom, 0) << "no bottom below " << root;
    struct stat st;
    char text[256] = {};
    switch (s.mode) {
    case Report:
        // The checker's problem lines keep their first 4095 bytes.
        EXPECT_NE(v.run.err.find("Lost 'magic' link '" + bottom_path.substr(0, 4000)),
                  std::string::npos)
            << v.report();
        break;
    case Index: {
        // The bottom holds a lost link, which no index stands for; the
        // directory above it is indexed.
        int above = chain_bottom(root, "d", Depth - 1);
        EXPECT_EQ(fstatat(above, DIRINDEX_NAME, &st, AT_SYMLINK_NOFOLLOW), 0);
        close(above);
        break;
    }
    case Upgrade:
        EXPECT_EQ(kxtest::read_link(s.in_tree("VERSION")), "005.004");
        break;
    case Correct:
        EXPECT_GT(readlinkat(bottom, "vc", text, sizeof text - 1), 0);
        EXPECT_NE(std::string(text), kCacheLink);
        break;
    case Clone:
        EXPECT_EQ(fstatat(bottom, "file", &st, AT_SYMLINK_NOFOLLOW), 0);
        break;
    default:
        break;
    }
    close(bottom);
}

// A work directory an interrupted dirindex run left, 10000 levels deep.
void deep_work_dir(Scene &s) {
    const std::string work = s.in_tree(".kxfsdirindex.tmp");
    kxtest::make_dirs(work);
    dir_chain(work, "w", 9999);
}
void work_dir_removed(Scene &s, Verdict &v) {
    EXPECT_EQ(v.run.status, 0) << v.report();
    EXPECT_FALSE(kxtest::exists(s.in_tree(".kxfsdirindex.tmp")));
}

// What a container's tree may hold.
void tree_specials(Scene &s) {
    kxtest::make_dirs(s.in_root("run"));
    make_fifo(s.in_root("run/fifo"));
    kxtest::make_dirs(s.in_root("dev"));
    make_null_device(s.in_root("dev/null"));
    make_fifo(s.in_root("bin/fifo"));
}
void subdir_link(Scene &s) { to_link(s.in_root("home/user"), s.in_canary("dir")); }
void zoneinfo_link(Scene &s) {
    to_link(s.in_root("usr/share/zoneinfo"), s.in_canary("usr/share/zoneinfo"));
}
void usr_link(Scene &s) { to_link(s.in_root("usr"), s.in_canary("usr")); }
void sys_link(Scene &s) { to_link(s.in_root("sys"), s.in_canary("sysdir")); }
void file_hardlink(Scene &s) { to_canary_name(s, s.in_root("home/user/hostfile"), "hl_a"); }
void shortcut_hardlink(Scene &s) { to_canary_name(s, s.in_root("etc/sc2"), "sc"); }
void link_hardlink(Scene &s) { to_canary_name(s, s.in_root("etc/brokenmark"), "dir/brokenmark"); }
// A marked link whose cow file equals its template is a name of a marked
// host link: its mark is cleared for the area's name only.
void marked_link_hardlink(Scene &s) {
    kxtest::make_magic_link(s.in_canary("conf"), std::string(kPkg) + "/etc/conf");
    mark(s.in_canary("conf"));
    lchown(s.in_canary("conf").c_str(), 1234, 1234);
    to_canary_name(s, s.in_root("etc/conf"), "conf");
}

// Races: an entry is swapped for a link to the canary between the tool's
// check and its use.
void race_uncow_mark(Scene &s) {
    s.swap = Swap{"sys", s.rel_to_host(s.in_root("sys")), "canary/sysdir", "chmod", ""};
}
void race_upgrade_mark(Scene &s) {
    s.swap = Swap{"sbin", s.rel_to_host(s.in_root("usr/sbin")), "canary/dir", "chmod", ""};
}
void race_descend(Scene &s) {
    s.swap = Swap{"user", s.rel_to_host(s.in_root("home/user")), "canary/dir", "open,chdir", ""};
}
// The attributes go to the replacement before it is renamed over the
// link: the last use of the name is that rename.
void race_attr(Scene &s) {
    s.swap = Swap{"b", s.rel_to_host(s.in_root("bin/b")), "canary/file",
                  "chown,chmod,utime,rename", ""};
}
void race_cow_attr(Scene &s) {
    std::string cow = s.cow_of("bin/b");
    s.swap = Swap{cow.substr(cow.rfind('/') + 1), s.rel_to_host(cow), "canary/file",
                  "chown,chmod,utime", ""};
}
void race_parent_remove(Scene &s) {
    s.swap = Swap{"lost", s.rel_to_host(s.in_root("etc")), "canary/dir", "unlink,rename", ""};
}
void race_parent_cow(Scene &s) {
    std::string cow = s.cow_of("etc/conf");
    s.swap =
        Swap{cow.substr(cow.rfind('/') + 1), s.rel_to_host(s.cow), "canary/cowdir", "unlink", ""};
}
void race_marker_write(Scene &s) {
    s.swap = Swap{DIRINDEX_NAME, s.rel_to_host(s.in_root("home/user/" DIRINDEX_NAME)),
                  "canary/file", "open", s.rel_to_host(s.in_root("home/user"))};
}

// What a clone copies faithfully: a tree deeper than a path can name, a
// sparse file, immutable and append-only files with several names; and a
// correction meeting a cache-link shortcut it may not replace.
void clone_deep(Scene &s) {
    kxtest::make_dirs(s.in_root("deep"));
    dir_chain(s.in_root("deep"), std::string(255, 'm'), 17);
}
constexpr off_t kSparseSize = off_t{256} << 20;
void clone_sparse(Scene &s) {
    kxtest::write_file(s.in_root("home/user/sparse"), "head\n", 0600);
    int fd = open(s.in_root("home/user/sparse").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, "tail\n", 5, kSparseSize - 5), 5);
    close(fd);
}
void add_flags(const std::string &path, int flags) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int word = 0;
    if (fd < 0 || ioctl(fd, 0x80086601UL, &word) != 0)
        ADD_FAILURE() << "no flags on " << path;
    word |= flags;
    if (fd >= 0 && ioctl(fd, 0x40086602UL, &word) != 0)
        ADD_FAILURE() << "cannot set flags on " << path << ": " << std::strerror(errno);
    if (fd >= 0)
        close(fd);
}
void clone_locked_hardlinks(Scene &s) {
    kxtest::write_file(s.in_root("home/user/imm"), "immutable\n", 0600);
    hard_link(s.in_root("home/user/imm"), s.in_root("etc/imm2"));
    kxtest::write_file(s.in_root("home/user/app"), "append only\n", 0600);
    hard_link(s.in_root("home/user/app"), s.in_root("etc/app2"));
    add_flags(s.in_root("home/user/imm"), 0x10);
    add_flags(s.in_root("home/user/app"), 0x20);
}
void correct_locked_shortcut(Scene &s) { add_flags(s.in_root("lib/sc"), 0x10); }

// A node's data as the copy holds it: cache links name the new uuid.
std::string copied_data(const Node &n, const std::string &uuid) {
    return S_ISLNK(n.st.st_mode) || (n.st.st_mode & S_ISVTX) ? replace_all(n.data, kUuid, uuid)
                                                              : n.data;
}

// The uuid the cache links of the tree below top name now.
std::string uuid_now(const std::string &top) {
    std::string text = kxtest::read_link(top + "/root/lib/libc");
    text = replace_all(text, "////vc/", "");
    return text.substr(0, text.find('/'));
}

// The clone ended with 0 and its destination holds what the source does
// below root: type, mode, owner, data (cache links rewritten), times,
// extended attributes, inode flags and which names share an inode (not
// below a path's length: the deep rows look there themselves).
void faithful_clone(Scene &s, Verdict &v) {
    if (v.run.status != 0) {
        v.problems.push_back("the clone failed");
        return;
    }
    const std::string uuid = uuid_now(s.dst);
    Shot from = shoot(s.root), to = shoot(s.dst + "/root");
    std::map<ino_t, ino_t> inodes;
    for (const auto &[rel, a] : from) {
        auto it = to.find(rel);
        const std::string name = "copy of root/" + rel;
        if (it == to.end()) {
            v.problems.push_back(name + " is missing");
            continue;
        }
        const Node &b = it->second;
        if (rel.find(DIRINDEX_NAME) == std::string::npos &&
            ((a.st.st_mode ^ b.st.st_mode) | (a.st.st_uid ^ b.st.st_uid) |
             (a.st.st_gid ^ b.st.st_gid) | (a.st.st_nlink ^ b.st.st_nlink)) != 0)
            v.problems.push_back(name + ": type, mode, owner or link count differ");
        if (rel.find(DIRINDEX_NAME) == std::string::npos && copied_data(a, uuid) != b.data)
            v.problems.push_back(name + ": content differs");
        if (!rel.empty() && !same_time(a.st.st_mtim, b.st.st_mtim))
            v.problems.push_back(name + ": mtime differs");
        if (a.xattrs != b.xattrs)
            v.problems.push_back(name + ": extended attributes differ");
        if (!S_ISDIR(a.st.st_mode) && !inodes.emplace(a.st.st_ino, b.st.st_ino).second &&
            inodes[a.st.st_ino] != b.st.st_ino)
            v.problems.push_back(name + ": no longer shares its inode");
        if (S_ISREG(a.st.st_mode) || S_ISDIR(a.st.st_mode)) {
            int fa = open((s.root + "/" + rel).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
            int fb = open((s.dst + "/root/" + rel).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
            int wa = 0, wb = 0;
            if (fa >= 0 && fb >= 0 && ioctl(fa, 0x80086601UL, &wa) == 0 &&
                ioctl(fb, 0x80086601UL, &wb) == 0 && ((wa ^ wb) & 0x000380FF))
                v.problems.push_back(name + ": inode flags differ");
            if (fa >= 0)
                close(fa);
            if (fb >= 0)
                close(fb);
        }
    }
    for (const auto &[rel, b] : to)
        if (!from.count(rel))
            v.problems.push_back("copy of root/" + rel + " appeared");
}

// The bottom of the deep chain made it to the copy.
void faithful_deep_clone(Scene &s, Verdict &v) {
    faithful_clone(s, v);
    int fd = open((s.dst + "/root/deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string m(255, 'm');
    for (int i = 0; i < 17 && fd >= 0; ++i) {
        int next = openat(fd, m.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    struct stat st;
    if (fd < 0 || fstatat(fd, "file", &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstatat(fd, "a", &st, AT_SYMLINK_NOFOLLOW) != 0)
        v.problems.push_back("the bottom of the deep tree is not in the copy");
    if (fd >= 0)
        close(fd);
}

// The clone ended with 0, and the copy of the sparse file takes no more
// room than the source and reads the same at both ends.
void sparse_clone(Scene &s, Verdict &v) {
    if (v.run.status != 0)
        v.problems.push_back("the clone failed");
    struct stat a, b;
    if (lstat(s.in_root("home/user/sparse").c_str(), &a) != 0 ||
        lstat((s.dst + "/root/home/user/sparse").c_str(), &b) != 0) {
        v.problems.push_back("the sparse file is missing");
        return;
    }
    if (b.st_size != kSparseSize || b.st_blocks > a.st_blocks)
        v.problems.push_back("the sparse file's copy takes " + std::to_string(b.st_blocks * 512) +
                             " bytes (the source " + std::to_string(a.st_blocks * 512) + ")");
    int fd = open((s.dst + "/root/home/user/sparse").c_str(), O_RDONLY | O_CLOEXEC);
    char head[5] = {}, tail[5] = {};
    if (fd < 0 || pread(fd, head, 5, 0) != 5 || pread(fd, tail, 5, kSparseSize - 5) != 5 ||
        std::string(head, 5) != "head\n" || std::string(tail, 5) != "tail\n")
        v.problems.push_back("the sparse file's copy reads otherwise");
    if (fd >= 0)
        close(fd);
}

// The correction left the locked shortcut as it was and said so, cloned
// the new uuid's cache area all the same (every rewritten link leads
// somewhere), kept the old uuid in the configuration and left no
// temporary. Once the lock is gone, the same command finishes.
void locked_correction(Scene &s, Verdict &v) {
    const std::string sc = s.in_root("lib/sc");
    const std::string old_text = "////vc/" + std::string(kUuid) + "/lib/libc.so";
    const std::string uuid = uuid_now(s.tree);
    if (v.run.status != 1 || v.run.err.find("Can't correct '" + sc + "': '" + sc +
                                            "' is immutable or append-only") == std::string::npos)
        v.problems.push_back("the locked shortcut was not reported");
    if (kxtest::read_file(sc) != old_text)
        v.problems.push_back("the locked shortcut changed");
    if (uuid == kUuid || !kxtest::exists(s.tmpl + "/vc/" + uuid + "/lib/libc.so"))
        v.problems.push_back("the new uuid's cache area is missing");
    if (kxtest::read_file(s.host.conf_path(101)).find(kUuid) == std::string::npos)
        v.problems.push_back("the configuration names a uuid before the area is corrected");
    for (const auto &[rel, n] : shoot(s.in_root("lib")))
        if (rel.find('.') != std::string::npos)
            v.problems.push_back("a temporary was left: root/lib/" + rel);
    int fd = open(sc.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        unlock_inode(fd);
        close(fd);
    }
    kxtest::Run again = kxtest::run(command_for(s).argv);
    if (again.status != 0 || kxtest::read_file(sc) != "////vc/" + uuid + "/lib/libc.so" ||
        kxtest::read_file(s.host.conf_path(101)).find(uuid) == std::string::npos)
        v.problems.push_back("the rerun did not finish: " + again.err);
}

// The scenes go to /dev/shm when it can hold them (devices, scripts):
// hundreds of hosts are built and removed, and on a disk the metadata work
// triples the suite's time. It is mounted with relatime like a disk.
class SceneDirectory : public testing::Environment {
public:
    void SetUp() override {
        struct statvfs fs;
        if (statvfs("/dev/shm", &fs) == 0 && !(fs.f_flag & (ST_RDONLY | ST_NOEXEC | ST_NODEV)) &&
            access("/dev/shm", W_OK) == 0)
            setenv("TMPDIR", "/dev/shm", 1);
    }
};
testing::Environment *const scene_directory = testing::AddGlobalTestEnvironment(new SceneDirectory);

// ---- the table ------------------------------------------------------------------------

struct Row {
    const char *name;
    void (*plant)(Scene &);
    unsigned modes;
    int layout = 3;
    // What the run must have done besides holding the boundary, and the
    // address space it may take (MiB, 0 for no limit).
    void (*outcome)(Scene &, Verdict &) = nullptr;
    long memory_mb = 0;
    // Run under bounds of stack, descriptors and memory (see limited()).
    bool limited = false;
};

// The command under a stack of 4 MiB, 1024 descriptors and, outside
// sanitizer builds (whose shadow memory takes more address space than any
// such bound), 256 MiB of address space: a walk or removal whose stack,
// descriptors or memory grow with the depth of a tree fails.
Command limited(Command cmd) {
    std::vector<std::string> wrap{"/usr/bin/prlimit", "--stack=4194304", "--nofile=1024"};
#if !defined(__SANITIZE_ADDRESS__)
    wrap.push_back("--as=268435456");
#endif
    wrap.push_back("--");
    cmd.argv.insert(cmd.argv.begin(), wrap.begin(), wrap.end());
    return cmd;
}

constexpr unsigned kTop = on(Report, Remove, Upgrade, Index, Clone);
// Every tool that walks the tree.
constexpr unsigned kWalks = on(Report, Upgrade, Index, Clone, Correct, Inspect);

const Row kRows[] = {
    // A sound area passes in every mode.
    {"sound", sound, kAll},
    {"sound_layout4", sound, on(Report, Move, Upgrade, Uncow, Index), 4},
    // Top entries as links to the host, fifos, devices, plain files.
    {"cow_link_dir", cow_link_dir, kChecker | kUpgrades | on(Clone)},
    {"cow_link_file", cow_link_file, on(Report, Remove, Move, OptAll, Upgrade)},
    {"cow_fifo", cow_fifo, on(Report, Remove, OptAll, Upgrade, Clone)},
    {"cow_file", cow_file, on(Report, Upgrade)},
    {"cow_device", cow_device, on(Report, Upgrade, Clone)},
    {"root_link_dir", root_link_dir, kAll & ~(on(Report, Ask, OptReplace, OptEmpty))},
    {"root_magic", root_magic, on(Remove, OptAll) | kUpgrades | on(Uncow, Index) | kClones},
    {"root_magic_marked", root_magic_marked, kChecker | kUpgrades},
    {"root_magic_lost", root_magic_lost, on(Move, Remove, Ask)},
    {"root_magic_broken_mark", root_magic_broken_mark, on(Move, Remove, Ask)},
    {"root_link_file", root_link_file, on(Report, Remove, Upgrade, Uncow, Index, Correct)},
    {"root_fifo", root_fifo, on(Report, Upgrade, Uncow, Index, Clone, Correct)},
    {"root_file", root_file, on(Report, Upgrade, Uncow, Index)},
    {"root_device", root_device, on(Report, Index, Clone)},
    {"fs_link_area", fs_link_area, kAll & ~(on(Ask, OptReplace, OptEmpty, Correct)), 4},
    {"fs_link_file", fs_link_file, on(Report, Upgrade, Uncow, Index), 4},
    {"fs_fifo", fs_fifo, on(Report, Upgrade, Uncow, Index), 4},
    {"fs_file", fs_file, on(Report, Index), 4},
    {"lost_files_link", lost_files_link, on(Move, Ask)},
    {"lost_files_cow_link", lost_files_cow_link, on(Move, Ask)},
    {"lost_files_root_link", lost_files_root_link, on(Move, Ask)},
    {"lost_files_root_link_layout4", lost_files_root_link, on(Move), 4},
    {"lost_files_fifo", lost_files_fifo, on(Move)},
    {"lost_files_file", lost_files_file, on(Move)},
    {"templates_link", templates_link, on(Report)},
    {"kxpackages_link", kxpackages_link, on(Report)},
    {"kxpackages_fifo", kxpackages_fifo, on(Report)},
    {"ve_conf_link", ve_conf_link, on(Report, Upgrade)},
    {"ve_conf_fifo", ve_conf_fifo, on(Report, Upgrade)},
    {"ve_conf_device", ve_conf_device, on(Report)},
    {"ostemplate_dash", ostemplate_dash, on(Report, Ask)},
    {"ostemplate_shell", ostemplate_shell, on(Report)},
    {"version_fifo", version_fifo, on(Report) | kUpgrades | on(Index)},
    {"version_file", version_file, on(Upgrade, Index)},
    {"version_link_host", version_link_host, on(Report, Upgrade, Index)},
    {"version_bak_link", version_bak_link, kUpgrades},
    {"version_bak_hardlink", version_bak_hardlink, kUpgrades},
    {"version_bak_fifo", version_bak_fifo, kUpgrades},
    // Markers and dirindex files of template-backed directories.
    {"marker_fifo", marker_fifo, on(Report, Remove) | kUpgrades | on(Uncow, Index) | kClones},
    {"marker_device", marker_device, on(Report, Upgrade, Uncow, Index, Clone)},
    {"marker_host_link", marker_host_link,
     on(Report, Remove) | kUpgrades | on(Uncow) | kIndexers | kClones},
    {"tmp_link", tmp_link, on(Report, Move, Remove, Ask)},
    {"tmp_fifo", tmp_fifo, on(Report, Remove)},
    {"tmp_hardlink", tmp_hardlink, on(Report, Move, Remove)},
    {"index_hardlink", index_hardlink, kTop | on(Resume) | kIndexers | kClones},
    {"index_hardlink_lost", index_hardlink_lost, on(Report, Move, Remove, Ask)},
    {"index_hardlink_broken", index_hardlink_broken, on(Report, Move, Remove)},
    // Cow files.
    {"cowfile_fifo", cowfile_fifo, on(Report, Remove, OptAll, OptEmpty) | kUpgrades | on(Clone)},
    {"cowfile_device", cowfile_device,
     on(Report, Remove, OptAll, OptEmpty) | kUpgrades | on(Clone)},
    {"cowfile_link", cowfile_link, on(Report, Move, Remove, OptAll, Upgrade)},
    {"cowfile_hardlink", cowfile_hardlink,
     on(Move, Remove, OptAll, OptReplace) | kUpgrades | kClones},
    {"cowfile_hardlink_equal", cowfile_hardlink_equal, on(OptAll, OptEmpty) | kUpgrades},
    {"cowfile_bak_link", cowfile_bak_link, kUpgrades | on(OptAll)},
    {"cowfile_bak_hardlink", cowfile_bak_hardlink, kUpgrades},
    {"cowdir_entry_link", cowdir_entry_link, on(Move, Remove, Ask)},
    // The journal of an interrupted upgrade.
    {"journal_link", journal_link, kUpgrades},
    {"journal_fifo", journal_fifo, on(Resume)},
    {"journal_device", journal_device, on(Resume)},
    {"journal_hardlink", journal_hardlink, kUpgrades},
    {"journal_dir", journal_dir, kUpgrades},
    {"journal_records_abs", journal_records_abs, on(Resume)},
    {"journal_records_abs_layout4", journal_records_abs, on(Resume), 4},
    {"journal_records_dotdot", journal_records_dotdot, on(Resume)},
    {"journal_records_dotdot_layout4", journal_records_dotdot, on(Resume), 4},
    // Huge apparent sizes and endless lines.
    {"index_16g", index_16g, kChecker | kUpgrades | kIndexers | kClones},
    {"index_hollow", index_hollow, on(Report, Move, Index, Clone)},
    {"kxpackages_endless_line", kxpackages_endless_line, on(Report)},
    {"ve_conf_endless_line", ve_conf_endless_line, on(Report, Upgrade)},
    {"oempty_journal_sparse", oempty_journal_sparse, on(OptEmpty, OptAll)},
    // What the container's tree holds.
    {"magic_dotdot", magic_dotdot, kAll & ~(on(Report, Ask, OptReplace))},
    {"long_names", long_names, on(Report, Remove, OptAll, Upgrade) | kIndexers | kClones},
    {"deep_tree", deep_tree, kTop},
    {"deep_3000", deep_chain<3000>, kWalks, 3, reached_the_bottom<3000>, 0, true},
    {"deep_7000", deep_chain<7000>, kWalks, 3, reached_the_bottom<7000>, 0, true},
    {"deep_work_dir", deep_work_dir, on(Index), 3, work_dir_removed, 0, true},
    {"tree_specials", tree_specials, on(Report, Remove, OptAll) | kUpgrades | kIndexers | kClones},
    {"subdir_link", subdir_link, on(Move, Remove, OptAll) | kUpgrades | kIndexers | kClones},
    {"zoneinfo_link", zoneinfo_link, kIndexers | on(Report)},
    {"usr_link", usr_link, kIndexers | on(Remove)},
    {"sys_link", sys_link, on(Uncow, Report, Upgrade, Index)},
    {"file_hardlink", file_hardlink, on(Report, OptAll, Upgrade) | kIndexers | kClones},
    {"shortcut_hardlink", shortcut_hardlink, on(Report, Upgrade) | kIndexers | kClones},
    {"link_hardlink", link_hardlink, on(Remove, Ask, OptAll) | kUpgrades | kIndexers | kClones},
    {"marked_link_hardlink", marked_link_hardlink, on(OptEmpty, OptAll, Report) | kUpgrades},
    // Races with an operator who goes on using the area.
    {"race_uncow_mark", race_uncow_mark, on(Uncow)},
    {"race_upgrade_mark", race_upgrade_mark, kUpgrades},
    {"race_descend", race_descend, on(Move, Remove, OptAll, Resume) | kIndexers | kClones},
    {"race_attr", race_attr, on(OptAll, OptReplace)},
    {"race_cow_attr", race_cow_attr, kUpgrades},
    {"race_parent_remove", race_parent_remove, on(Move, Remove)},
    {"race_parent_cow", race_parent_cow, on(OptEmpty, OptAll, Upgrade)},
    {"race_marker_write", race_marker_write, kIndexers},
    // Clones of trees a container can make.
    {"clone_deep", clone_deep, on(Clone), 3, faithful_deep_clone, 512},
    {"clone_sparse", clone_sparse, on(Clone), 3, sparse_clone, 512},
    {"clone_locked_hardlinks", clone_locked_hardlinks, on(Clone), 3, faithful_clone, 512},
    {"correct_locked_shortcut", correct_locked_shortcut, on(Correct), 3, locked_correction, 512},
};

// Rows the tools fail today, each as "row_mode". Such a row is reported as
// skipped with what the tool did; a listed row that passes fails, so that
// the list stays true. KXFS_PLANTS_STRICT=1 runs them as ordinary rows;
// KXFS_PLANTS_SHOW=1 prints what every row saw.
const std::set<std::string> kOpen = {
};

bool strict() {
    const char *v = std::getenv("KXFS_PLANTS_STRICT");
    return v != nullptr && std::string(v) == "1";
}

bool show() {
    const char *v = std::getenv("KXFS_PLANTS_SHOW");
    return v != nullptr && std::string(v) == "1";
}

void PrintTo(const Row *row, std::ostream *out) { *out << row->name; }

std::vector<const Row *> all_rows() {
    std::vector<const Row *> out;
    for (const Row &row : kRows)
        out.push_back(&row);
    return out;
}

// One row, each of its modes on a fresh scene. A row whose only breaches
// are open ones is reported as skipped, naming them.
class Plants : public testing::TestWithParam<const Row *> {};

TEST_P(Plants, AreaBoundaryHolds) {
    KX_REQUIRE_ROOT();
    const Row &row = *GetParam();
    std::string still_open;
    for (int m = 0; m < kModes; ++m) {
        const Mode mode = static_cast<Mode>(m);
        if (!(row.modes & bit(mode)))
            continue;
        const std::string name = std::string(row.name) + "_" + mode_name(mode);
        SCOPED_TRACE(name);
        Scene s(mode, row.layout);
        row.plant(s);
        if (HasFailure())
            return;  // the plant could not be built
        Verdict v = verify(s, row.limited ? limited(command_for(s)) : command_for(s),
                           row.memory_mb);
        if (row.outcome)
            row.outcome(s, v);
        if (show())
            std::cout << name << ":\n" << v.report();
        if (kOpen.count(name) && !strict()) {
            if (v.problems.empty())
                ADD_FAILURE() << name << " holds now: take it off the list of open rows";
            else
                still_open += name + ":\n" + v.report();
            continue;
        }
        EXPECT_TRUE(v.problems.empty()) << v.report();
        // A sound area proves that the scene is one the tool works on at all.
        if (row.plant == sound) {
            EXPECT_EQ(v.run.status, 0) << v.report();
        }
    }
    if (!still_open.empty() && !HasFailure())
        GTEST_SKIP() << "open, the tools still break out:\n" << still_open;
}

INSTANTIATE_TEST_SUITE_P(Rows, Plants, testing::ValuesIn(all_rows()),
                         [](const testing::TestParamInfo<const Row *> &info) {
                             return std::string(info.param->name);
                         });

// Every open name is a (row, mode) of the table.
TEST(PlantsTable, OpenRowsAreRowsOfTheTable) {
    std::set<std::string> names;
    for (const Row &row : kRows)
        for (int m = 0; m < kModes; ++m) {
            if (row.modes & bit(static_cast<Mode>(m))) {
                std::string name = std::string(row.name) + "_" + mode_name(static_cast<Mode>(m));
                EXPECT_TRUE(names.insert(name).second) << name << " twice";
            }
        }
    for (const std::string &open : kOpen)
        EXPECT_TRUE(names.count(open)) << open << " is no row of the table";
}

// ---- the harness itself -------------------------------------------------------------------

// Scripts stand in for a tool; each either breaks out in one way, which the
// harness must name, or only does what a tool may do, which it must accept.
TEST(PlantsHarness, NamesEveryBreachAndOnlyThose) {
    KX_REQUIRE_ROOT();
    struct Control {
        const char *script;  // {C} canary, {W} working directory, {A} area
        const char *expect;  // part of a problem line; "" for no problem at all
        void (*prepare)(Scene &);
    };
    const Control controls[] = {
        {"cat {C}/file {C}/hl_a {C}/dir/data {A}/root/f >/dev/null; ls -lR {C} {W} >/dev/null", "",
         [](Scene &s) { to_canary_name(s, s.in_root("f"), "hl_a"); }},
        {"rm {A}/root/f", "", [](Scene &s) { to_canary_name(s, s.in_root("f"), "hl_a"); }},
        {"chmod 0640 {A}/root/f", "canary 'hl_a': mode 0600 -> 0640",
         [](Scene &s) { to_canary_name(s, s.in_root("f"), "hl_a"); }},
        {"chmod 0600 {C}/file", "canary 'file': mode 0644 -> 0600", nullptr},
        {"chmod u-s {C}/dir", "canary 'dir': mode 04755 -> 0755", nullptr},
        {"chown 0:0 {C}/hl_b", "canary 'hl_b': owner 1234:1234 -> 0:0", nullptr},
        {"touch -m -d @1400000000 {C}/dir/data", "canary 'dir/data': mtime", nullptr},
        {"touch -a {C}/dir/data", "canary 'dir/data': atime", nullptr},
        {"printf X | dd of={C}/file bs=1 count=1 conv=notrunc 2>/dev/null",
         "canary 'file': content changed", nullptr},
        {": > {C}/dir/new", "canary 'dir/new' appeared (file)", nullptr},
        {"rm {C}/dir/sub/x", "canary 'dir/sub/x' is gone", nullptr},
        {"ln {C}/file {A}/root/f", "canary 'file': link count 1 -> 2", nullptr},
        {"mv {C}/fifo {C}/fifo2; mkfifo {C}/fifo", "canary 'fifo': was replaced by another inode",
         nullptr},
        {"ln -s x {W}/VERSION.new && mv {W}/VERSION.new {W}/VERSION",
         "working directory 'VERSION': was replaced by another inode, link text '005.004' -> 'x'",
         nullptr},
        {"rm {W}/root", "working directory 'root' is gone", nullptr},
        {"cp {C}/dir/data {A}/root/copied", "canary data copied to 'vz/private/101/root/copied'",
         nullptr},
        {"kxpkg info -q -evil config_path >/dev/null",
         "the package tool got the option-like argument '-evil'", nullptr},
        {"kill -SEGV $$", "died of signal 11", nullptr},
        {"echo 'ERROR: AddressSanitizer: heap-buffer-overflow' >&2", "sanitizer report", nullptr},
        {"exec sleep 30", "hung: killed after", nullptr},
        {"chmod 0700 {A}/root/home/user/file", "canary 'file': mode 0644 -> 0700",
         [](Scene &s) {
             s.swap = Swap{"file", s.rel_to_host(s.in_root("home/user/file")), "canary/file",
                           "chmod", ""};
         }},
        {"true", "never happened",
         [](Scene &s) {
             s.swap = Swap{"nothing", s.rel_to_host(s.in_root("nothing")), "canary/file", "", ""};
         }},
    };
    setenv("KXFS_PLANTS_TIMEOUT", "1", 1);
    for (const Control &c : controls) {
        SCOPED_TRACE(c.script);
        Scene s(Report, 3);
        if (c.prepare)
            c.prepare(s);
        std::string script = c.script;
        for (const auto &[key, value] : {std::pair<std::string, std::string>{"{C}", s.canary},
                                         {"{W}", s.cwd},
                                         {"{A}", s.area}})
            script = replace_all(script, key, value);
        Verdict v = verify(s, {{"/bin/sh", "-c", script}, ""});
        if (*c.expect == '\0') {
            EXPECT_TRUE(v.problems.empty()) << v.report();
            continue;
        }
        bool named = false;
        for (const std::string &p : v.problems)
            named = named || p.find(c.expect) != std::string::npos;
        EXPECT_TRUE(named) << "expected \"" << c.expect << "\" among:\n" << v.report();
    }
    unsetenv("KXFS_PLANTS_TIMEOUT");
}

}  // namespace
