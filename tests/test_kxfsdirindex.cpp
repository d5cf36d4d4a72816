// kxfsdirindex end to end: command line, refusals, the indexing pass and the
// hard-link pass, each run as an operator would run the program.
#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using kxtest::exists;
using kxtest::lstat_of;


namespace {

const std::string kPkg = "distro/1/x86_64/pkg-1.0-1.x86_64";

// A host with container 101's area (layout 3, version 005.004) and a
// template tree. Template files get mode 0777 like the links that point at
// them, so that links match their template without the host kernel call.
class DirindexTool : public testing::Test {
protected:
    void SetUp() override {
        area = host.path("vz/private/101");
        root = area + "/root";
        tmpl = host.template_root();
        kxtest::make_dirs(root);
        kxtest::make_dirs(area + "/cow");
        kxtest::make_symlink("005.004", area + "/VERSION");
    }

    // A template file of the package at rel, and its magic text.
    std::string template_file(const std::string &rel, mode_t mode = 0777) {
        kxtest::write_file(tmpl + "/" + kPkg + "/" + rel, "data of " + rel, mode);
        return kPkg + "/" + rel;
    }

    kxtest::Run run(std::vector<std::string> args) {
        args.insert(args.begin(), kxtest::tool("kxfsdirindex"));
        return kxtest::run(args);
    }
    kxtest::Run index() { return run({"-t", tmpl, area}); }

    kxtest::Host host;
    std::string area, root, tmpl;
};

const char *kUsage =
    "kxfsdirindex [-hqvV] -t <template_dir> <ct_private_dir>\n"
    "\t\t-V   print version\n"
    "\t\t-v   verbose mode\n"
    "\t\t-q   quiet mode\n"
    "\t\t-h   show this help message\n";

TEST_F(DirindexTool, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{}, 2, "", kUsage},
        {{"-h"}, 2, "", kUsage},
        {{"-t", tmpl}, 2, "", kUsage},
        {{"-t", tmpl, area, area}, 2, "", kUsage},
        {{area}, 2, "", kUsage},
        {{"-V"}, 0, "kxfsdirindex version 1.0.0\n", ""},
        {{"--version", "-x"}, 0, "kxfsdirindex version 1.0.0\n", ""},
        {{"-t", tmpl, "/nonexistent/area"},
         1,
         "",
         "Error: kxfsdirindex: can't chdir '/nonexistent/area': No such file or directory\n"},
        // The area is resolved before the missing -t is noticed.
        {{"/nonexistent/area"},
         1,
         "",
         "Error: kxfsdirindex: can't chdir '/nonexistent/area': No such file or directory\n"},
    };
    for (const auto &c : cases) {
        kxtest::Run r = run(c.args);
        std::string what = testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_EQ(r.out, c.out) << what;
        if (c.status == 2)
            EXPECT_TRUE(r.err.ends_with(c.err)) << what << r.err;
        else
            EXPECT_EQ(r.err, c.err) << what;
    }
}

TEST_F(DirindexTool, RefusesOldUnreadableHdimageAndMountedAreas) {
    unlink((area + "/VERSION").c_str());
    kxtest::make_symlink("005.003", area + "/VERSION");
    kxtest::Run old = index();
    EXPECT_EQ(old.status, 1);
    EXPECT_EQ(old.err, "Error: Unsupported kxfs version\n");

    unlink((area + "/VERSION").c_str());
    kxtest::Run unreadable = index();
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_TRUE(unreadable.err.ends_with("Error: Can't read kxfs version\n")) << unreadable.err;

    kxtest::make_symlink("999.999", area + "/VERSION");
    kxtest::write_file(area + "/.layout", "5\n");
    kxtest::Run hdimage = index();
    EXPECT_EQ(hdimage.status, 1);
    EXPECT_EQ(hdimage.err, "Error: Private area is based on hdimage device. KXFS is prohibited.\n");
    unlink((area + "/.layout").c_str());

    host.write_mounts("/dev/ploop1 / ext4 rw 0 0\nkxfs /kx/run/101 kxfs rw,src=x:" + area +
                      " 0 0\n");
    kxtest::Run mounted = index();
    EXPECT_EQ(mounted.status, 1);
    EXPECT_TRUE(mounted.err.starts_with("Error: Private area is mounted. Please, umount private area"))
        << mounted.err;
    EXPECT_FALSE(exists(root + "/._kxlnk_."));
}

TEST_F(DirindexTool, IndexesEveryDirectoryAndASecondRunChangesNothing) {
    kxtest::make_dirs(root + "/bin");
    kxtest::make_magic_link(root + "/bin/sh", template_file("bin/sh"));
    kxtest::make_magic_link(root + "/bin/ls", template_file("bin/ls"));
    kxtest::make_shortcut_file(root + "/bin/cat", template_file("bin/cat", 0777 | S_ISVTX), 0777);
    kxtest::write_file(root + "/bin/own", "the container's own file");
    kxtest::make_dirs(root + "/etc/deep/er");
    kxtest::write_file(root + "/etc/deep/er/f", "x");

    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *dir : {"", "/bin", "/etc", "/etc/deep", "/etc/deep/er"}) {
        std::string d = root + dir;
        EXPECT_TRUE(lstat_of(d).st_mode & S_ISUID) << d;
        EXPECT_TRUE(S_ISREG(lstat_of(d + "/._kxlnk_.").st_mode)) << d;
    }
    // The index took over the links and the shortcut; the own file stays.
    EXPECT_FALSE(exists(root + "/bin/sh"));
    EXPECT_FALSE(exists(root + "/bin/ls"));
    EXPECT_FALSE(exists(root + "/bin/cat"));
    EXPECT_TRUE(exists(root + "/bin/own"));
    char **targets = read_dirindex((root + "/bin/._kxlnk_.").c_str());
    ASSERT_NE(targets, nullptr);
    std::vector<std::string> listed;
    for (char **t = targets; *t; ++t) {
        listed.emplace_back(*t);
        free(*t);
    }
    free(targets);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"////" + kPkg + "/bin/cat", "////" + kPkg + "/bin/ls",
                                                "////" + kPkg + "/bin/sh"}));

    auto before = kxtest::snapshot(root);
    kxtest::Run again = index();
    EXPECT_EQ(again.status, 0) << again.err;
    auto after = kxtest::snapshot(root);
    ASSERT_EQ(before.size(), after.size());
    for (const auto &[path, e] : before) {
        EXPECT_EQ(after[path].ino, e.ino) << path;
        EXPECT_EQ(after[path].data, e.data) << path;
        EXPECT_EQ(after[path].mode, e.mode) << path;
    }
}

TEST_F(DirindexTool, UnindexableDirectoryStaysExactlyAsItWas) {
    kxtest::make_dirs(root + "/run");
    ASSERT_EQ(mkfifo((root + "/run/fifo").c_str(), 0600), 0);
    kxtest::make_magic_link(root + "/run/tool", template_file("run/tool"));
    kxtest::make_dirs(root + "/broken");
    kxtest::make_magic_link(root + "/broken/gone", kPkg + "/no/such/file");
    auto before = kxtest::snapshot(root + "/run");

    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(exists(root + "/run/._kxlnk_."));
    EXPECT_FALSE(lstat_of(root + "/run").st_mode & S_ISUID);
    EXPECT_EQ(kxtest::snapshot(root + "/run").size(), before.size());
    EXPECT_TRUE(exists(root + "/run/tool"));
    EXPECT_FALSE(exists(root + "/broken/._kxlnk_."));
    EXPECT_TRUE(exists(root + "/broken/gone"));
    EXPECT_NE(r.out.find("can't stat template"), std::string::npos) << r.out;
    // The parent is indexed all the same.
    EXPECT_TRUE(exists(root + "/._kxlnk_."));
}

TEST_F(DirindexTool, LeftoverMarkerIsReplacedAndMarkedDirectoriesAreLeftAlone) {
    kxtest::make_dirs(root + "/left");
    kxtest::write_file(root + "/left/a", "a");
    kxtest::make_symlink("////" + kPkg + "/left", root + "/left/._kxlnk_.");
    kxtest::make_dirs(root + "/done");
    kxtest::write_file(root + "/done/._kxlnk_.", "an index written earlier");
    ASSERT_EQ(chmod((root + "/done").c_str(), 0755 | S_ISUID), 0);
    kxtest::make_dirs(root + "/odd/._kxlnk_.");

    kxtest::Run r = run({"-v", "-t", tmpl, area});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(S_ISREG(lstat_of(root + "/left/._kxlnk_.").st_mode));
    EXPECT_TRUE(lstat_of(root + "/left").st_mode & S_ISUID);
    EXPECT_NE(r.err.find("symlink " + root + "/left/._kxlnk_. was removed \n"), std::string::npos);
    EXPECT_EQ(kxtest::read_file(root + "/done/._kxlnk_."), "an index written earlier");
    EXPECT_NE(r.err.find("magic dir :" + root + "/done:\n"), std::string::npos);
    EXPECT_NE(r.err.find(root + "/odd/._kxlnk_. exist \n"), std::string::npos);
    EXPECT_FALSE(lstat_of(root + "/odd").st_mode & S_ISUID);
}

// What an interrupted run leaves is finished: an index cut short in an
// unmarked directory is replaced, and the entries a marked directory's
// index stands for are removed. A reserved name the tool cannot have
// written is the container's: kept, with a warning.
TEST_F(DirindexTool, RerunFinishesOnlyWhatTheToolLeft) {
    kxtest::make_dirs(root + "/cut");
    kxtest::write_file(root + "/cut/a", "a");
    kxtest::write_file(root + "/cut/._kxlnk_.", "");
    kxtest::make_dirs(root + "/theirs");
    kxtest::write_file(root + "/theirs/._kxlnk_.", "the container's");
    kxtest::make_magic_link(root + "/half/x", template_file("half/x"));
    kxtest::make_magic_link(root + "/half/kept", template_file("half/kept", 0600));
    ASSERT_EQ(index().status, 0);
    ASSERT_FALSE(exists(root + "/half/x"));
    kxtest::make_magic_link(root + "/half/x", kPkg + "/half/x");  // as if not removed yet

    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lstat_of(root + "/cut").st_mode & S_ISUID);
    EXPECT_GT(lstat_of(root + "/cut/._kxlnk_.").st_size, 0);
    EXPECT_EQ(kxtest::read_file(root + "/theirs/._kxlnk_."), "the container's");
    EXPECT_FALSE(lstat_of(root + "/theirs").st_mode & S_ISUID);
    EXPECT_EQ(r.out, "Warning: '" + root + "/theirs/._kxlnk_.' is the container's own entry, not "
                     "a leftover dirindex: the directory is not indexed\n");
    EXPECT_FALSE(exists(root + "/half/x"));
    EXPECT_TRUE(exists(root + "/half/kept"));
    EXPECT_FALSE(exists(area + "/.kxfsdirindex.tmp"));
}

TEST_F(DirindexTool, LayoutFourAreaIsWorkedOnInItsFsDirectory) {
    std::string area4 = host.path("vz/private/104");
    kxtest::make_dirs(area4 + "/fs/root/d");
    kxtest::write_file(area4 + "/fs/root/d/f", "x");
    kxtest::make_symlink("005.004", area4 + "/fs/VERSION");
    kxtest::Run r = run({"-t", tmpl, area4});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists(area4 + "/fs/root/d/._kxlnk_."));
    EXPECT_FALSE(exists(area4 + "/root"));
}

// An "fs" that cannot be entered stops the run before the missing -t is
// noticed; a link to a directory in its place gets as far as the usage
// check and is refused after it.
TEST_F(DirindexTool, FsThatIsNoDirectoryStopsWhereTheTreeIsResolved) {
    std::string area4 = host.path("vz/private/104"), fs = area4 + "/fs";
    kxtest::make_dirs(host.path("elsewhere/root"));
    kxtest::write_file(area4 + "/.layout", "4\n");
    struct Case {
        std::function<void()> plant;
        bool template_given;
        int status;
        std::string err;  // whole; a prefix for the refusal
    } cases[] = {
        {[] {}, false, 1, "Error: kxfsdirindex: can't chdir '" + fs + "': No such file or directory\n"},
        {[&] { kxtest::write_file(fs, "x"); }, false, 1,
         "Error: kxfsdirindex: can't chdir '" + fs + "': Not a directory\n"},
        {[&] { kxtest::make_symlink(host.path("elsewhere"), fs); }, false, 2, kUsage},
        {[&] { kxtest::make_symlink(host.path("elsewhere"), fs); }, true, 1,
         "Error: Unsafe private area: '" + fs + "' is not a real directory"},
    };
    for (const Case &c : cases) {
        unlink(fs.c_str());
        c.plant();
        std::vector<std::string> args;
        if (c.template_given)
            args = {"-t", tmpl};
        args.push_back(area4);
        kxtest::Run r = run(args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
        EXPECT_FALSE(exists(host.path("elsewhere/root/._kxlnk_.")));
    }
}

// Two hard-linked shortcuts Europe/Paris and Etc/X pointing at the template
// file Europe/Paris, whose template directory also holds X as the same inode.
class ZoneinfoPass : public DirindexTool {
protected:
    void SetUp() override {
        DirindexTool::SetUp();
        zone = root + "/usr/share/zoneinfo";
        base = "P/Q/R/S/usr/share/zoneinfo";
        kxtest::write_file(tmpl + "/" + base + "/Europe/Paris", "TZif Paris", 0644);
        text = "////" + base + "/Europe/Paris";
        kxtest::make_dirs(zone + "/Europe");
        kxtest::make_dirs(zone + "/Etc");
        kxtest::write_file(zone + "/Europe/Paris", text, 0644 | S_ISVTX);
        ASSERT_EQ(link((zone + "/Europe/Paris").c_str(), (zone + "/Etc/X").c_str()), 0);
    }
    std::string zone, base, text;
};

TEST_F(ZoneinfoPass, RepointsToTheSiblingNameOfTheSameInode) {
    ASSERT_EQ(link((tmpl + "/" + base + "/Europe/Paris").c_str(),
                   (tmpl + "/" + base + "/Europe/X").c_str()),
              0);
    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    // Europe/Paris already names itself: the index takes it over unchanged.
    // Etc/X became a shortcut of its own, named after itself, also taken over.
    char **targets = read_dirindex((zone + "/Etc/._kxlnk_.").c_str());
    ASSERT_NE(targets, nullptr);
    ASSERT_NE(targets[0], nullptr);
    EXPECT_EQ(std::string(targets[0]), "////" + base + "/Europe/X");
    EXPECT_EQ(targets[1], nullptr);
    for (char **t = targets; *t; ++t)
        free(*t);
    free(targets);
    EXPECT_FALSE(exists(zone + "/Etc/X"));
}

TEST_F(ZoneinfoPass, FallsBackToTheEntrysOwnPathBelowTheTemplateRoot) {
    kxtest::make_dirs(tmpl + "/" + base + "/Etc");
    ASSERT_EQ(link((tmpl + "/" + base + "/Europe/Paris").c_str(),
                   (tmpl + "/" + base + "/Etc/X").c_str()),
              0);
    // Only the pass: a fifo keeps the indexing pass away from Etc.
    ASSERT_EQ(mkfifo((zone + "/Etc/fifo").c_str(), 0600), 0);
    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kxtest::read_file(zone + "/Etc/X"), "////" + base + "/Etc/X");
    struct stat st = lstat_of(zone + "/Etc/X");
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_mode & 07777, 0644u | S_ISVTX);
}

TEST_F(ZoneinfoPass, LeavesEntriesAloneWithoutAMatchingTemplateInode) {
    kxtest::write_file(tmpl + "/" + base + "/Europe/X", "another inode", 0644);
    ASSERT_EQ(mkfifo((zone + "/Etc/fifo").c_str(), 0600), 0);
    ino_t before = lstat_of(zone + "/Etc/X").st_ino;
    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lstat_of(zone + "/Etc/X").st_ino, before);
    EXPECT_EQ(kxtest::read_file(zone + "/Etc/X"), text);
}

TEST_F(ZoneinfoPass, NeverWalksOutOfTheAreaThroughALink) {
    // usr/share is a link to a directory outside the area holding the same
    // hard-linked shortcuts: the pass must not rewrite anything there.
    std::string outside = host.path("outside/share");
    kxtest::make_dirs(outside);
    ASSERT_EQ(rename(zone.c_str(), (outside + "/zoneinfo").c_str()), 0);
    ASSERT_EQ(rmdir((root + "/usr/share").c_str()), 0);
    kxtest::make_symlink(outside, root + "/usr/share");
    ASSERT_EQ(link((tmpl + "/" + base + "/Europe/Paris").c_str(),
                   (tmpl + "/" + base + "/Europe/X").c_str()),
              0);
    kxtest::make_dirs(root + "/usr/lib/locale");  // walked first, and harmless
    ino_t before = lstat_of(outside + "/zoneinfo/Etc/X").st_ino;
    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lstat_of(outside + "/zoneinfo/Etc/X").st_ino, before);
    EXPECT_EQ(lstat_of(outside + "/zoneinfo/Etc/X").st_nlink, 2u);
    EXPECT_FALSE(exists(outside + "/zoneinfo/._kxlnk_."));
}

// A magic link with the cow mark is the container's changed file: indexing
// (with or without -m) and the hard-link pass leave it a marked link, so
// the checker still finds its cow file claimed.
TEST_F(DirindexTool, MarkedLinksStayAndKeepTheirCowFiles) {
    KX_REQUIRE_ROOT();
    const std::string zbase = "P/Q/R/S/usr/share/zoneinfo";
    kxtest::write_file(tmpl + "/" + zbase + "/Europe/Rome", "TZif Rome", 0777);
    ASSERT_EQ(link((tmpl + "/" + zbase + "/Europe/Rome").c_str(),
                   (tmpl + "/" + zbase + "/Europe/Y").c_str()),
              0);
    const std::string sh = template_file("bin/sh"), ls = template_file("bin/ls");
    for (const std::vector<std::string> &opts : {std::vector<std::string>{}, {"-m"}}) {
        SCOPED_TRACE(testing::PrintToString(opts));
        for (const char *d : {"/root", "/cow", "/lost_files"})
            kxtest::run({"/bin/rm", "-rf", area + d});
        kxtest::make_dirs(root + "/bin");
        kxtest::make_dirs(area + "/cow");
        std::vector<std::string> marked = {root + "/bin/sh", root + "/usr/share/zoneinfo/Europe/Rome"};
        kxtest::make_magic_link(marked[0], sh);
        kxtest::make_magic_link(root + "/bin/ls", ls);
        kxtest::make_dirs(root + "/usr/share/zoneinfo/Etc");
        kxtest::make_magic_link(marked[1], zbase + "/Europe/Rome");
        ASSERT_EQ(link(marked[1].c_str(), (root + "/usr/share/zoneinfo/Etc/Y").c_str()), 0);
        for (const std::string &m : marked) {
            ASSERT_EQ(kxlchmod(m.c_str(), 0777 | S_ISVTX), 0);
            kxtest::write_file(area + "/cow/" + kxcheck::md5_hex(kxtest::read_link(m)), "changed");
        }

        std::vector<std::string> args = opts;
        args.insert(args.end(), {"-t", tmpl, area});
        kxtest::Run r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(exists(root + "/bin/._kxlnk_."));
        EXPECT_FALSE(exists(root + "/bin/ls"));
        for (const std::string &m : {marked[0], marked[1], root + "/usr/share/zoneinfo/Etc/Y"}) {
            struct stat st = lstat_of(m);
            EXPECT_TRUE(S_ISLNK(st.st_mode) && (st.st_mode & S_ISVTX)) << m;
        }

        kxtest::Run check = kxtest::run({kxtest::tool("kxfsutil"), "--call", "-t", tmpl, area});
        EXPECT_EQ(check.status, 0) << check.err;
        EXPECT_FALSE(kxcheck::contains(check.err, "Lost")) << check.err;
        EXPECT_FALSE(kxcheck::contains(check.err, "Broken")) << check.err;
    }
}

}  // namespace

namespace {

// Hard-linked magic links (two names of one link inode) become shortcuts of
// their own: regular files with the sticky bit, never plain files that
// merely hold the pointer text.
TEST_F(DirindexTool, HardLinkedMagicLinksBecomeShortcuts) {
    std::string base = "P/Q/R/S/usr/share/zoneinfo";
    kxtest::write_file(tmpl + "/" + base + "/Europe/Rome", "TZif Rome", 0777);
    ASSERT_EQ(link((tmpl + "/" + base + "/Europe/Rome").c_str(),
                   (tmpl + "/" + base + "/Europe/Y").c_str()),
              0);
    std::string zone = root + "/usr/share/zoneinfo";
    kxtest::make_dirs(zone + "/Europe");
    kxtest::make_dirs(zone + "/Etc");
    kxtest::make_magic_link(zone + "/Europe/Rome", base + "/Europe/Rome");
    ASSERT_EQ(link((zone + "/Europe/Rome").c_str(), (zone + "/Etc/Y").c_str()), 0);
    ASSERT_EQ(mkfifo((zone + "/Etc/fifo").c_str(), 0600), 0);  // keeps Etc unindexed

    kxtest::Run r = index();
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st = lstat_of(zone + "/Etc/Y");
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_TRUE(st.st_mode & S_ISVTX);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(kxtest::read_file(zone + "/Etc/Y"), "////" + base + "/Europe/Y");
}

}  // namespace
