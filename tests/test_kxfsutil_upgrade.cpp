// The upgrade from "005.003" to "005.004" end to end: what every kind of
// entry becomes, the refusals (which leave the area untouched), the
// template verification, the resumption of an upgrade under way, and the
// journal's records committed in groups and replayed after a kill. The
// upgrade killed at every step, and failing at every step, is a row of the
// crash and fault sweeps (test_crash_sweep.cpp).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "crash_sweep.h"
#include "kxfsutil_area.h"
#include "kxtest.h"

using kxcheck::Area;
using kxcheck::contains;
using kxcheck::is_marked;
using kxtest::exists;
using kxtest::read_file;
using kxtest::read_link;

namespace {

class Upgrade : public testing::Test {
protected:
    void SetUp() override {
        if (!kxtest::is_root())
            GTEST_SKIP() << "needs root (link modes and owners through the host simulator)";
    }
    // A link with owner 123:456, permission bits and times of its own.
    std::string link_with_attrs(const std::string &rel, const std::string &target,
                                bool marked, unsigned perms = 0640) {
        std::string p = area.link(rel, target);
        EXPECT_EQ(lchown(p.c_str(), 123, 456), 0);
        EXPECT_EQ(kxlchmod(p.c_str(), perms | (marked ? S_ISVTX : 0)), 0);
        struct utimbuf t = {1000000000, 1100000000};
        EXPECT_EQ(kxlutime(p.c_str(), &t), 0);
        return p;
    }
    void expect_attrs(const std::string &p, mode_t mode) {
        struct stat st = kxtest::lstat_of(p);
        EXPECT_EQ(st.st_mode, mode) << p;
        EXPECT_EQ(st.st_uid, 123u) << p;
        EXPECT_EQ(st.st_gid, 456u) << p;
        EXPECT_EQ(st.st_mtime, 1100000000) << p;
    }
    kxtest::Run upgrade(std::vector<std::string> extra = {}) {
        std::vector<std::string> opts{"--upgrade"};
        opts.insert(opts.end(), extra.begin(), extra.end());
        return area.check(opts);
    }
    std::string version() { return read_link(area.dir + "/VERSION"); }

    kxtest::Host host;
    Area area{host};
};

TEST_F(Upgrade, UnchangedCowGoesAndTheLinkBecomesAShortcut) {
    area.template_file("pkg/m", "same");
    area.template_file("pkg/u", "same too");
    std::string m = link_with_attrs("m", "pkg/m", true);
    std::string u = link_with_attrs("u", "pkg/u", false);
    std::string mcow = area.cow_file("pkg/m", "same");
    std::string ucow = area.cow_file("pkg/u", "same too");
    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const auto &[p, text] : {std::pair{m, "////pkg/m"}, std::pair{u, "////pkg/u"}}) {
        expect_attrs(p, S_IFREG | S_ISVTX | 0640);
        EXPECT_EQ(read_file(p), text);
    }
    EXPECT_FALSE(exists(mcow));
    EXPECT_FALSE(exists(ucow));
    EXPECT_EQ(version(), "005.004");
}

TEST_F(Upgrade, ChangedCowTakesTheLinksPlace) {
    area.template_file("pkg/a", "template");
    std::string a = link_with_attrs("d/a", "pkg/a", true);
    std::string cow = area.cow_file("pkg/a", "changed");
    ASSERT_EQ(chmod(cow.c_str(), 0600), 0);
    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    expect_attrs(a, S_IFREG | 0640);
    EXPECT_EQ(read_file(a), "changed");
    EXPECT_EQ(kxtest::lstat_of(a).st_nlink, 1u);
    EXPECT_FALSE(exists(cow));
}

TEST_F(Upgrade, HardLinkedNamesStayTogether) {
    area.template_file("pkg/c", "template");
    area.template_file("pkg/s", "template s");
    // A marked link with a changed cow file, with names in two directories.
    std::string c1 = link_with_attrs("x/c", "pkg/c", true);
    std::string c2 = area.root + "/y/c";
    kxtest::make_dirs(area.root + "/y");
    ASSERT_EQ(link(c1.c_str(), c2.c_str()), 0);
    std::string cow = area.cow_file("pkg/c", "changed");
    // An unmarked link with two names.
    std::string s1 = link_with_attrs("x/s", "pkg/s", false);
    std::string s2 = area.root + "/y/s";
    ASSERT_EQ(link(s1.c_str(), s2.c_str()), 0);

    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto &p : {c1, c2}) {
        expect_attrs(p, S_IFREG | 0640);
        EXPECT_EQ(read_file(p), "changed");
        EXPECT_EQ(kxtest::lstat_of(p).st_nlink, 2u);
    }
    EXPECT_EQ(kxtest::lstat_of(c1).st_ino, kxtest::lstat_of(c2).st_ino);
    EXPECT_FALSE(exists(cow));
    for (const auto &p : {s1, s2}) {
        expect_attrs(p, S_IFREG | S_ISVTX | 0640);
        EXPECT_EQ(read_file(p), "////pkg/s");
        EXPECT_EQ(kxtest::lstat_of(p).st_nlink, 2u);
    }
    EXPECT_EQ(kxtest::lstat_of(s1).st_ino, kxtest::lstat_of(s2).st_ino);
}

// The immutable flag on a directory for as long as it lives: nothing in
// it can be renamed, created or removed, even by root.
struct Immutable {
    explicit Immutable(const std::string &dir) : path(dir) { set = flip(true); }
    ~Immutable() { clear(); }
    void clear() {
        if (set)
            set = !flip(false);
    }
    bool flip(bool on) const {
        int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), word = 0;
        bool ok = fd >= 0 && ioctl(fd, 0x80086601UL, &word) == 0;
        word = on ? word | 0x10 : word & ~0x10;
        ok = ok && ioctl(fd, 0x40086602UL, &word) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }
    std::string path;
    bool set = false;
};

// A conversion that fails (one name of a link lies in an immutable
// directory) is a warning; the area keeps "999.999", its journal and the
// cow file, the run ends with status 1, and the same command finishes the
// upgrade once the cause is gone. A record an earlier run left cut short
// does not spoil the records appended after it.
TEST_F(Upgrade, FailedConversionLeavesTheUpgradeToARerun) {
    area.template_file("pkg/c", "template");
    std::string c1 = link_with_attrs("x/c", "pkg/c", true);
    kxtest::make_dirs(area.root + "/y");
    std::string c2 = area.root + "/y/c";
    ASSERT_EQ(link(c1.c_str(), c2.c_str()), 0);
    std::string cow = area.cow_file("pkg/c", "changed");
    const std::string journal = area.dir + "/.kxfsutil-upgrade.journal";
    ASSERT_EQ(unlink((area.dir + "/VERSION").c_str()), 0);
    kxtest::make_symlink("999.999", area.dir + "/VERSION");
    kxtest::write_file(journal, "R 8 cow/lo");
    Immutable frozen(area.root + "/y");
    if (!frozen.set)
        GTEST_SKIP() << "no immutable flag on this filesystem";

    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Warning: rename '" + cow.substr(area.cow.size() + 1) +
                                    "': Operation not permitted\n"));
    EXPECT_TRUE(contains(r.err, "Error: Upgrade of private area '" + area.dir +
                                    "' is not complete: run it again\n"));
    EXPECT_EQ(version(), "999.999");
    EXPECT_TRUE(exists(journal));
    EXPECT_EQ(read_file(cow), "changed");
    EXPECT_TRUE(S_ISLNK(kxtest::lstat_of(c2).st_mode) && is_marked(c2));

    frozen.clear();
    r = upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(version(), "005.004");
    for (const auto &p : {c1, c2}) {
        expect_attrs(p, S_IFREG | 0640);
        EXPECT_EQ(read_file(p), "changed");
        EXPECT_EQ(kxtest::lstat_of(p).st_nlink, 2u);
    }
    EXPECT_FALSE(exists(cow));
    EXPECT_FALSE(exists(journal));
}

// Two links (not names of one) with the same target share one cow file:
// each keeps the changed content with its own attributes; the cow file
// goes with the last of them.
TEST_F(Upgrade, CowSharedByTwoLinks) {
    area.template_file("pkg/t", "template");
    std::string a = link_with_attrs("a", "pkg/t", true);
    std::string b = link_with_attrs("d/b", "pkg/t", true, 0604);
    std::string cow = area.cow_file("pkg/t", "changed");
    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(a), "changed");
    EXPECT_EQ(read_file(b), "changed");
    expect_attrs(a, S_IFREG | 0640);
    expect_attrs(b, S_IFREG | 0604);
    EXPECT_FALSE(exists(cow));
    EXPECT_EQ(kxtest::snapshot(area.cow).size(), 0u);
}

TEST_F(Upgrade, EveryOtherMagicLinkBecomesAShortcutAndMarksGo) {
    link_with_attrs("gone", "pkg/none", false);
    kxtest::make_dirs(area.root + "/plain");
    link_with_attrs("plain/" DIRINDEX_NAME, "pkg/dir", false);
    kxtest::write_file(area.root + "/indexed/file", "f");
    kxcheck::index_dir(area.root + "/indexed", area.tmpl);
    std::string index = read_file(area.root + "/indexed/" DIRINDEX_NAME);
    kxtest::make_symlink("elsewhere", area.root + "/ordinary");
    area.template_file("pkg/c", "c");
    link_with_attrs("cowdir", "pkg/c", true);
    kxtest::make_dirs(area.cow_path("pkg/c"));
    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Warning: clearing SUID on '" + area.root + "/indexed'\n"));
    EXPECT_TRUE(contains(r.out, "Warning: 'template' '" + area.tmpl + "/pkg/dir' not directory\n"));
    EXPECT_TRUE(contains(r.out, "Warning: 'cow' '" + area.cow_path("pkg/c") + "' not regular\n"));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
    EXPECT_EQ(read_file(area.root + "/cowdir"), "////pkg/c");
    EXPECT_TRUE(S_ISDIR(kxtest::lstat_of(area.cow_path("pkg/c")).st_mode));
    EXPECT_EQ(read_file(area.root + "/gone"), "////pkg/none");
    EXPECT_EQ(read_file(area.root + "/plain/" DIRINDEX_NAME), "////pkg/dir");
    EXPECT_EQ(kxtest::lstat_of(area.root + "/indexed").st_mode & 07777, 0755u);
    EXPECT_EQ(read_file(area.root + "/indexed/" DIRINDEX_NAME), index);
    EXPECT_EQ(read_link(area.root + "/ordinary"), "elsewhere");
    EXPECT_FALSE(exists(area.dir + "/.kxfsutil-upgrade.journal"));
    // Done: a further upgrade is refused.
    kxtest::Run again = upgrade();
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "Error: Version of private area '005.004' is not upgradable\n");
}

TEST_F(Upgrade, ReservedNamesRefuseTheUpgradeAndChangeNothing) {
    kxtest::write_file(area.root + "/" DIRINDEX_NAME, "x");
    kxtest::make_dirs(area.root + "/d/" DIRINDEX_NAME);
    kxtest::make_dirs(area.root + "/m", 04755);
    kxtest::make_magic_link(area.root + "/m/" DIRINDEX_NAME, "pkg/dir");
    area.link("a", "pkg/a");
    auto before = kxtest::snapshot(area.dir);
    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "WARNING: '._kxlnk_.' should be renamed\n"));
    EXPECT_TRUE(contains(r.err, "WARNING: 'd/._kxlnk_.' should be renamed\n"));
    EXPECT_TRUE(contains(r.err, "WARNING: 'm/._kxlnk_.' should be renamed\n"));
    EXPECT_TRUE(contains(r.err, "Error: Upgrade is not allowed, please fix above problems\n"));
    auto after = kxtest::snapshot(area.dir);
    ASSERT_EQ(after.size(), before.size());
    for (const auto &[name, e] : before) {
        EXPECT_EQ(after[name].mode, e.mode) << name;
        EXPECT_EQ(after[name].data, e.data) << name;
    }
    EXPECT_EQ(version(), "005.003");
}

// Without a readable version link: the driver's error, the reserved-name
// warnings of the preparation's walk, then its own reading of the version.
TEST_F(Upgrade, UnreadableVersionAndReservedNamesInOrder) {
    ASSERT_EQ(unlink((area.dir + "/VERSION").c_str()), 0);
    kxtest::write_file(area.root + "/" DIRINDEX_NAME, "x");
    const std::string unreadable = "Error: Can't read version kxfs '" + area.dir +
                                   "/VERSION': No such file or directory\n";
    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, unreadable + "WARNING: '._kxlnk_.' should be renamed\n" + unreadable +
                         "Error: Upgrade is not allowed, please fix above problems\n");
}

// A resumed upgrade trusts its journal only as a regular file of one name
// whose records name entries of the tree; anything else refuses the
// resume with the area left as it was. A fresh upgrade finds no journal.
TEST_F(Upgrade, JournalThatIsNotOursRefusesTheRun) {
    const std::string journal = area.dir + "/.kxfsutil-upgrade.journal";
    const std::string shown = "Error: Upgrade journal '" + journal + "' ";
    const std::string refused = ": the upgrade is not resumed";
    std::string outside = host.path("outside");
    kxtest::write_file(outside, "R 8 cow/lost\n");
    area.link("a", "pkg/a");
    struct Case {
        const char *name, *version;
        std::function<void()> plant;
        std::string err;
    } cases[] = {
        {"link", "999.999", [&] { kxtest::make_symlink(outside, journal); },
         shown + "is not a regular file of one name" + refused +
             ": Too many levels of symbolic links\n"},
        {"fifo", "999.999", [&] { ASSERT_EQ(mkfifo(journal.c_str(), 0600), 0); },
         shown + "is not a regular file of one name" + refused + ": Invalid argument\n"},
        {"directory", "999.999", [&] { kxtest::make_dirs(journal); },
         shown + "is not a regular file of one name" + refused + ": Is a directory\n"},
        {"two names", "999.999", [&] { ASSERT_EQ(link(outside.c_str(), journal.c_str()), 0); },
         shown + "is not a regular file of one name" + refused + ": Too many links\n"},
        {"absolute", "999.999", [&] { kxtest::write_file(journal, "R 6 /etc/x\n"); },
         shown + "names '/etc/x' outside the area's tree" + refused + "\n"},
        {"climbing", "999.999",
         [&] { kxtest::write_file(journal, "I 1 2 19 root/../../../etc/x\n"); },
         shown + "names 'root/../../../etc/x' outside the area's tree" + refused + "\n"},
        {"below cow", "999.999", [&] { kxtest::write_file(journal, "R 9 cow/a/b/c\n"); },
         shown + "names 'cow/a/b/c' outside the area's tree" + refused + "\n"},
        {"garbage", "999.999", [&] { kxtest::write_file(journal, "rm -rf /\n"); },
         shown + "holds a record that is not the checker's" + refused + "\n"},
        {"fresh", "005.003", [&] { kxtest::write_file(journal, ""); },
         shown + "exists, but no upgrade is under way\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kxtest::Run rm = kxtest::run({"/bin/rm", "-rf", journal, area.dir + "/VERSION"});
        ASSERT_EQ(rm.status, 0);
        kxtest::make_symlink(c.version, area.dir + "/VERSION");
        c.plant();
        auto before = kxtest::snapshot(area.dir);
        kxtest::Run r = upgrade();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        auto after = kxtest::snapshot(area.dir);
        ASSERT_EQ(after.size(), before.size());
        for (const auto &[name, e] : before) {
            EXPECT_EQ(after[name].ino, e.ino) << name;
            EXPECT_EQ(after[name].data, e.data) << name;
        }
        EXPECT_EQ(read_file(outside), "R 8 cow/lost\n");
    }
    // A record cut short at the end (the run was killed while writing it)
    // is only the end of the journal.
    kxtest::Run rm = kxtest::run({"/bin/rm", "-rf", journal, area.dir + "/VERSION"});
    ASSERT_EQ(rm.status, 0);
    kxtest::make_symlink("999.999", area.dir + "/VERSION");
    kxtest::write_file(journal, "R 8 cow/lo");
    kxtest::Run r = upgrade();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(version(), "005.004");
    EXPECT_FALSE(exists(journal));
}

TEST_F(Upgrade, TemplateVerificationOfTheContainer) {
    std::string calls = host.path("kxpkg.calls");
    auto tool = [&](int status) {
        host.add_command("kxpkg", "#!/bin/sh\necho \"$@\" >> " + calls + "\nexit " +
                                      std::to_string(status) + "\n");
    };
    host.write_conf(101, "VE_PRIVATE=\"" + area.dir + "\"\nOSTEMPLATE=\"distro\"\n");
    area.link("a", "pkg/a");

    tool(1);
    kxtest::Run r = upgrade({"--ctid=101"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Upgrade is not allowed, please fix above problems\n");
    EXPECT_EQ(read_file(calls), "verify area 101\n");
    EXPECT_EQ(version(), "005.003");
    EXPECT_TRUE(S_ISLNK(kxtest::lstat_of(area.root + "/a").st_mode));

    // An upgrade under way is not verified again.
    ASSERT_EQ(unlink((area.dir + "/VERSION").c_str()), 0);
    kxtest::make_symlink("999.999", area.dir + "/VERSION");
    r = upgrade({"--veid=101"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(calls), "verify area 101\n");
    EXPECT_EQ(version(), "005.004");
    EXPECT_TRUE(contains(read_file(host.conf_path(101)), "VEFORMAT=\"kx4\"\n"));
}

TEST_F(Upgrade, VerifiedUpgradeAndNoContainerNumber) {
    std::string calls = host.path("kxpkg.calls");
    host.add_command("kxpkg", "#!/bin/sh\necho \"$@\" >> " + calls + "\nexit 0\n");
    std::string conf = "VE_PRIVATE=\"" + area.dir + "\"\nVEFORMAT=\"kx3\"\n";
    host.write_conf(101, conf);
    kxtest::Run r = upgrade({"--ctid=101"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(calls), "verify area 101\n");
    EXPECT_EQ(read_file(host.conf_path(101)),
              "VE_PRIVATE=\"" + area.dir + "\"\nVEFORMAT=\"kx4\"\n");

    Area other(host, "vz/private/102");
    host.write_conf(102, "VEFORMAT=\"kx3\"\n");
    r = other.check({"--upgrade", "--ctid=none"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(calls), "verify area 101\n");
    EXPECT_EQ(read_file(host.conf_path(102)), "VEFORMAT=\"kx3\"\n");
    EXPECT_EQ(read_link(other.dir + "/VERSION"), "005.004");
}

// A container whose configuration the end of the upgrade could not
// update (none, or one that cannot be written) refuses the run before the
// area changes.
TEST_F(Upgrade, UnusableConfigurationIsRefusedFirst) {
    host.add_command("kxpkg", "#!/bin/sh\nexit 0\n");
    area.template_file("pkg/a", "template");
    area.link("a", "pkg/a");
    kxtest::make_dirs(host.conf_path(104));
    const std::pair<int, std::string> cases[] = {
        {103, "Error: Can't stat '" + host.conf_path(103) + "': No such file or directory\n"},
        {104, "Error: Unable to open " + host.conf_path(104) + ".\n: Is a directory\n"},
    };
    for (const auto &[veid, err] : cases) {
        auto before = kxtest::snapshot(area.dir);
        kxtest::Run r = upgrade({"--ctid=" + std::to_string(veid)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(version(), "005.003");
        auto after = kxtest::snapshot(area.dir);
        ASSERT_EQ(after.size(), before.size());
        for (const auto &[path, e] : before) {
            EXPECT_EQ(after[path].mode, e.mode) << path;
            EXPECT_EQ(after[path].data, e.data) << path;
        }
    }
}

TEST(UpgradeProgram, ExportsTheReservedNameCallback) {
    if (access("/usr/bin/nm", X_OK) != 0)
        GTEST_SKIP() << "no nm";
    kxtest::Run r = kxtest::run({"/usr/bin/nm", "-D", "--defined-only", kxtest::tool("kxfsutil")});
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, " T check_reserved_name\n"));
    EXPECT_FALSE(contains(r.out, "upgrade_magic"));
}

// ---- group commit of the journal ---------------------------------------------

// Links of two names each, their first names in one directory and their
// second names in another: the records of all first names are made durable
// with one sync before any of them is converted.
constexpr int kLinkedPairs = 3;

std::vector<std::string> build_linked_pairs(const kxtest::Host &host) {
    Area a(host, "vz/private/101");
    kxtest::make_dirs(a.root + "/two");
    for (int i = 0; i < kLinkedPairs; ++i) {
        std::string n = std::to_string(i);
        a.template_file("pkg/u" + n, "template u" + n);
        a.template_file("pkg/c" + n, "template c" + n);
        std::string u = a.link("one/u" + n, "pkg/u" + n);  // becomes a shortcut
        std::string c = a.marked("one/c" + n, "pkg/c" + n);  // gets its changed cow file
        a.cow_file("pkg/c" + n, "changed c" + n);
        EXPECT_EQ(link(u.c_str(), (a.root + "/two/u" + n).c_str()), 0);
        EXPECT_EQ(link(c.c_str(), (a.root + "/two/c" + n).c_str()), 0);
    }
    kxsweep::settle_times(host.root());
    return {kxtest::tool("kxfsutil"), "--upgrade", "-t", a.tmpl, a.dir};
}

// Killed after the batch's sync, before any of its conversions or after
// some of them: the journal holds every record of the batch, and a second
// run leaves the area as a run that was not interrupted.
TEST_F(Upgrade, BatchRecordsCommittedWithOneSyncThenReplayed) {
    if (!kxsweep::kCanTrace)
        GTEST_SKIP() << "the tracer knows only x86-64";
    kxsweep::Row row;
    row.build = build_linked_pairs;
    kxtest::Host ref;
    std::vector<std::string> argv = row.build(ref);
    const kxsweep::Window now{time(nullptr) - 1, std::numeric_limits<time_t>::max()};
    kxsweep::Traced whole = kxsweep::run_traced(argv, kxsweep::kTracedEnv, 0);
    ASSERT_EQ(whole.run.status, 0) << whole.run.err;
    auto sync = std::find(whole.calls.begin(), whole.calls.end(), "fdatasync");
    ASSERT_NE(sync, whole.calls.end());
    EXPECT_EQ(std::count(whole.calls.begin(), whole.calls.end(), "fdatasync"), 1);
    const int synced = static_cast<int>(sync - whole.calls.begin()) + 1;
    std::vector<int> renames;  // changing calls after the sync that are renames
    for (int n = synced + 1; n <= static_cast<int>(whole.calls.size()); ++n)
        if (whole.calls[n - 1] == "renameat" || whole.calls[n - 1] == "renameat2")
            renames.push_back(n);
    ASSERT_GE(renames.size(), 2u * kLinkedPairs);
    const kxsweep::Normal want = kxsweep::normal_tree(ref, row, kxsweep::host_tree(ref, row));

    struct Case {
        const char *name;
        int kill_at;
        int converted;  // first names converted when killed
    };
    const Case cases[] = {
        {"none converted", synced + 1, 0},
        {"one converted", renames[1], 1},
        {"all but one converted", renames[2 * kLinkedPairs - 1], 2 * kLinkedPairs - 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kxtest::Host host;
        std::vector<std::string> cmd = row.build(host);
        kxsweep::Traced killed = kxsweep::run_traced(cmd, kxsweep::kTracedEnv, c.kill_at);
        ASSERT_EQ(killed.run.status, 128 + SIGKILL);
        const std::string dir = host.path("vz/private/101"), root = dir + "/root";
        std::string journal = read_file(dir + "/.kxfsutil-upgrade.journal");
        EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 2 * kLinkedPairs) << journal;
        int converted = 0;
        for (const char *sub : {"/one/", "/two/"})
            for (const char *kind : {"u", "c"})
                for (int i = 0; i < kLinkedPairs; ++i)
                    converted += !S_ISLNK(
                        kxtest::lstat_of(root + sub + kind + std::to_string(i)).st_mode);
        EXPECT_EQ(converted, c.converted);
        kxtest::Run again = kxtest::run(cmd);
        EXPECT_EQ(again.status, 0) << again.err;
        for (const std::string &d : kxsweep::differences(
                 want, kxsweep::normal_tree(host, row, kxsweep::host_tree(host, row)),
                 now, false))
            ADD_FAILURE() << d;
    }
}

}  // namespace
