// The checker end to end on crafted areas: every damage kind is found,
// reported and corrected in every action, and a second run proves the
// area clean; report-only runs leave every entry as it was; the
// optimizations; hostile trees.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utime.h>

#include <map>
#include <regex>
#include <tuple>
#include <string>
#include <vector>

#include "dirindex_support.h"
#include "kxfsutil_area.h"
#include "kxtest.h"

using kxcheck::Area;
using kxcheck::contains;
using kxcheck::index_dir;
using kxcheck::is_marked;
using kxtest::exists;
using kxtest::read_file;

namespace {

// Entries of a tree as a report-only run must leave them, with the full
// modification time of every directory (a file made and removed again
// shows there).
struct Picture {
    std::map<std::string, kxtest::Entry> entries;
    std::map<std::string, struct timespec> dir_times;
};

Picture picture(const std::string &root) {
    Picture p;
    p.entries = kxtest::snapshot(root);
    p.dir_times[""] = kxtest::lstat_of(root).st_mtim;
    for (const auto &[name, e] : p.entries) {
        if (S_ISDIR(e.mode))
            p.dir_times[name] = kxtest::lstat_of(root + "/" + name).st_mtim;
    }
    return p;
}

void expect_same(const Picture &a, const Picture &b) {
    ASSERT_EQ(a.entries.size(), b.entries.size());
    for (const auto &[name, e] : a.entries) {
        auto it = b.entries.find(name);
        ASSERT_NE(it, b.entries.end()) << name;
        const kxtest::Entry &f = it->second;
        EXPECT_EQ(e.mode, f.mode) << name;
        EXPECT_EQ(e.nlink, f.nlink) << name;
        EXPECT_EQ(e.ino, f.ino) << name;
        EXPECT_EQ(e.data, f.data) << name;
        EXPECT_EQ(e.mtime_sec, f.mtime_sec) << name;
    }
    for (const auto &[name, t] : a.dir_times) {
        const struct timespec &u = b.dir_times.at(name);
        EXPECT_TRUE(t.tv_sec == u.tv_sec && t.tv_nsec == u.tv_nsec) << "directory " << name;
    }
}

class Check : public testing::Test {
protected:
    kxtest::Host host;
    Area area{host};
};

// ---- lost cow files -------------------------------------------------------

TEST_F(Check, LostCowFileInEveryAction) {
    struct Case {
        const char *action;
        bool stays, in_lost;
        const char *note;
    } cases[] = {
        {"ignore", true, false, ""},
        {"move", false, true, "Correction: 'cow' 'orphan' moved to lost\n"},
        {"remove", false, false, "Correction: 'cow' 'orphan' is removed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.action);
        kxtest::Host h;
        Area a(h);
        kxtest::write_file(a.cow + "/orphan", "data");
        kxtest::Run r = a.check({std::string("--ccow=") + c.action});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, std::string("Lost 'cow' file 'orphan'\n") + c.note);
        EXPECT_EQ(exists(a.cow + "/orphan"), c.stays);
        EXPECT_EQ(exists(a.at("lost_files/cow/orphan")), c.in_lost);
        if (c.in_lost) {
            EXPECT_EQ(read_file(a.at("lost_files/cow/orphan")), "data");
        }
        kxtest::Run again = a.check({"--ccow"});
        EXPECT_EQ(again.err, c.stays ? "Lost 'cow' file 'orphan'\n" : "");
    }
}

TEST_F(Check, CowFilesClaimedOnlyByMarkedLinks) {
    KX_REQUIRE_ROOT();
    area.template_file("pkg/a", "a");
    area.template_file("pkg/b", "b");
    area.marked("a", "pkg/a");
    area.cow_file("pkg/a", "changed a");
    area.link("b", "pkg/b");
    std::string unclaimed = area.cow_file("pkg/b", "changed b");
    std::string b_name = unclaimed.substr(area.cow.size() + 1);
    kxtest::make_dirs(area.cow + "/subdir");

    kxtest::Run r = area.check({"--ccow"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Warning: 'cow' '" + b_name +
                         "' for 'b' exist but no mark on 'magic', it's may be potential error "
                         "or problem\n");
    EXPECT_TRUE(contains(r.err, "Lost 'cow' file '" + b_name + "'\n"));
    EXPECT_TRUE(contains(r.err, "Lost 'cow' file 'subdir'\n"));
    EXPECT_FALSE(contains(r.err, area.cow_path("pkg/a").substr(area.cow.size() + 1)));
}

// Two names of one marked link claim one cow file; the second finds it
// ticked off already and reports nothing.
TEST_F(Check, LinkWithTwoNamesClaimsItsCowOnce) {
    KX_REQUIRE_ROOT();
    area.template_file("pkg/a", "a");
    std::string a = area.marked("a", "pkg/a");
    ASSERT_EQ(link(a.c_str(), (area.root + "/a2").c_str()), 0);
    area.cow_file("pkg/a", "changed");
    kxtest::Run r = area.check({"--call"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
}

// ---- broken cow marks -----------------------------------------------------

TEST_F(Check, BrokenMarkInEveryAction) {
    KX_REQUIRE_ROOT();
    struct Case {
        const char *action;
        const char *note;
    } cases[] = {
        {"ignore", ""},
        {"move", "Correction: 'magic' 'd/f' moved to lost\n"},
        {"remove", "Correction: mark on 'magic' 'd/f' is removed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.action);
        kxtest::Host h;
        Area a(h);
        a.template_file("pkg/f", "f");
        std::string f = a.marked("d/f", "pkg/f");
        kxtest::Run r = a.check({std::string("--cmark=") + c.action});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, std::string("Broken 'cow' mark in 'd/f'\n") + c.note);
        std::string action = c.action;
        if (action == "ignore") {
            EXPECT_TRUE(is_marked(f));
        } else if (action == "move") {
            EXPECT_FALSE(exists(f));
            EXPECT_EQ(kxtest::read_link(a.at("lost_files/root/d/f")), "////pkg/f");
        } else {
            EXPECT_FALSE(is_marked(f));
            EXPECT_EQ(kxtest::read_link(f), "////pkg/f");
        }
        kxtest::Run again = a.check({"--cmark"});
        EXPECT_EQ(again.err, action == "ignore" ? "Broken 'cow' mark in 'd/f'\n" : "");
    }
}

// ---- lost magic links and shortcuts ---------------------------------------

// A pointer's template object is what lstat finds at its path: through a
// link of the template tree, beside a pointer that is lost, and never for
// a path that names a file as a directory.
TEST_F(Check, TemplateObjectsAreFoundAsLstatFindsThem) {
    kxtest::Host h;
    Area a(h);
    a.template_file("pkg/real/f", "f");
    a.template_file("pkg/two/g", "g");
    kxtest::make_symlink("real", a.tmpl + "/pkg/alias");
    struct Case {
        const char *target;
        bool lost;
    } cases[] = {
        {"pkg/real/f", false},  {"pkg/real/gone", true}, {"pkg/alias/f", false},
        {"pkg/real/./f", false}, {"pkg/real/f/", true},   {"pkg/alias/gone", true},
        {"pkg/two/f", true},     {"pkg/two/g", false},    {"pkg/none/f", true},
    };
    int n = 0;
    for (const Case &c : cases) {
        a.link("l/" + std::to_string(n), c.target);
        kxtest::make_shortcut_file(a.root + "/s/" + std::to_string(n), c.target);
        ++n;
    }
    kxtest::Run r = a.check({"--call"});
    EXPECT_EQ(r.status, 0);
    n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        for (const char *dir : {"l/", "s/"}) {
            std::string lost = "Lost 'magic' link '" + std::string(dir) + std::to_string(n) + "'\n";
            EXPECT_EQ(contains(r.err, lost), c.lost) << dir;
        }
        ++n;
    }
}

TEST_F(Check, LostPointersInEveryAction) {
    for (const char *action : {"ignore", "move", "remove"}) {
        SCOPED_TRACE(action);
        kxtest::Host h;
        Area a(h);
        a.template_file("pkg/kept", "k");
        a.link("d/link", "pkg/gone");
        kxtest::make_shortcut_file(a.root + "/d/short", "pkg/gone2");
        kxtest::make_shortcut_file(a.root + "/d/fine", "pkg/kept");
        kxtest::make_dirs(a.root + "/m", 04755);
        kxtest::make_magic_link(a.root + "/m/._kxlnk_.", "pkg/nodir");

        kxtest::Run r = a.check({std::string("--clink=") + action});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(contains(r.out, "Warning: 'short'->'////pkg/gone2' not found\n"));
        EXPECT_TRUE(contains(r.out, "Warning: 'template' '" + a.tmpl + "/pkg/nodir' not directory\n"));
        std::string act = action;
        for (const char *item : {"d/link", "d/short", "m/._kxlnk_."}) {
            std::string it = item;
            EXPECT_TRUE(contains(r.err, "Lost 'magic' link '" + it + "'\n"));
            if (act == "move") {
                EXPECT_TRUE(contains(r.err, "Correction: 'magic' '" + it + "' moved to lost\n"));
            } else if (act == "remove") {
                EXPECT_TRUE(contains(r.err, "Correction: 'magic' '" + it + "' is removed\n"));
            }
            EXPECT_EQ(exists(a.root + "/" + it), act == "ignore");
            EXPECT_EQ(exists(a.at("lost_files/root/" + it)), act == "move");
        }
        EXPECT_FALSE(contains(r.err, "'d/fine'"));
        EXPECT_TRUE(exists(a.root + "/d/fine"));
        kxtest::Run again = a.check({"--clink"});
        EXPECT_EQ(again.err.empty(), act != "ignore") << again.err;
    }
}

TEST_F(Check, NoTemplateButMarkAndCowIsOnlyAWarning) {
    KX_REQUIRE_ROOT();
    std::string f = area.marked("f", "pkg/none");
    std::string cow = area.cow_file("pkg/none", "own data");
    kxtest::Run r = area.check({"--call=remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Warning: 'f' have no 'template' but have 'cow'\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exists(f));
    EXPECT_TRUE(exists(cow));
}

// Without a version link the cow naming is unconfirmed: the cow files the
// legacy naming cannot place and the marks it finds broken are reported,
// never moved, removed or cleared; the run says why once and ends with
// status 1. What does not rest on the naming is corrected as asked.
TEST_F(Check, UnknownVersionKeepsCowFilesAndMarks) {
    KX_REQUIRE_ROOT();
    kxtest::Host h;
    Area a(h, "vz/private/101", "");
    a.template_file("pkg/a", "a");
    a.template_file("pkg/b", "b");
    std::vector<std::string> marked = {a.marked("a", "pkg/a"), a.marked("b", "pkg/b"),
                                       a.marked("gone", "pkg/gone")};
    std::vector<std::string> cows = {a.cow_file("pkg/a", "changed"), a.cow_file("pkg/b", "b"),
                                     a.cow_file("pkg/gone", "own"), a.cow + "/orphan"};
    kxtest::write_file(cows[3], "orphan");
    a.link("lost", "pkg/none");

    kxtest::Run r = a.check({"--call=remove", "--oall=do"});
    EXPECT_EQ(r.status, 1);
    const std::string why = "Warning: Version of private area '" + a.dir +
                            "' unknown: cow files and 'cow' marks are only reported\n";
    EXPECT_EQ(r.out, why);
    for (const char *item : {"Broken 'cow' mark in 'a'", "Broken 'cow' mark in 'b'",
                             "Lost 'magic' link 'gone'", "Lost 'cow' file 'orphan'",
                             "Correction: 'magic' 'lost' is removed"})
        EXPECT_TRUE(contains(r.err, item));
    EXPECT_FALSE(contains(r.err, "Correction: 'cow'"));
    EXPECT_FALSE(contains(r.err, "Correction: 'magic' 'gone'"));
    EXPECT_FALSE(contains(r.err, "Correction: mark"));
    for (const std::string &m : marked)
        EXPECT_TRUE(is_marked(m)) << m;
    for (const std::string &c : cows)
        EXPECT_TRUE(exists(c)) << c;
    EXPECT_FALSE(exists(a.root + "/lost"));
    EXPECT_FALSE(exists(a.at("lost_files")));

    // Only reporting is no failure.
    kxtest::Run report = a.check({"--call"});
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.out, "");
}

// A correction or optimization asked for that fails ends the run with
// status 1, after its warning; the run goes on with the other items.
TEST_F(Check, FailedCorrectionEndsWithStatusOne) {
    struct Case {
        const char *option;
        const char *warning;
    } cases[] = {
        {"--ccow=move", "Warning: can't move 'cow' 'orphan' to lost: Not a directory\n"},
        {"--ccow=remove", "Warning: can't remove 'cow' 'full': Directory not empty\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.option);
        kxtest::Host h;
        Area a(h);
        kxtest::write_file(a.cow + "/orphan", "data");
        kxtest::write_file(a.cow + "/full/x", "x");
        kxtest::write_file(a.at("lost_files"), "not a directory");
        kxtest::Run r = a.check({c.option});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.out, c.warning));
        EXPECT_TRUE(exists(a.cow + "/full/x"));
    }
}

// ---- dirindex files -------------------------------------------------------

// A magic link that the dirindex writer takes over: its permission bits
// agree with the template file's.
void indexable_link(const std::string &path, const std::string &target) {
    kxtest::make_magic_link(path, target);
    ASSERT_EQ(kxlchmod(path.c_str(), 0644), 0);
}

class Dirindex : public Check {
protected:
    void SetUp() override {
        if (!kxtest::is_root())
            GTEST_SKIP() << "needs root (link modes through the host simulator)";
        for (const char *n : {"a", "b", "c"})
            area.template_file(std::string("pkg/") + n, n);
        dir = area.root + "/idx";
        for (const char *n : {"a", "b", "c"})
            indexable_link(dir + "/" + n, std::string("pkg/") + n);
        index_dir(dir, area.tmpl);
        ASSERT_FALSE(exists(dir + "/a"));
        index = dir + "/" DIRINDEX_NAME;
        original = read_file(index);
    }
    // A fresh index of the records that survive when pkg/b is gone, made in
    // the same directory (its own records name the directory's inodes);
    // the index as it was is put back.
    std::string fresh_without_b() {
        indexable_link(dir + "/a", "pkg/a");
        indexable_link(dir + "/c", "pkg/c");
        index_dir(dir, area.tmpl);
        std::string fresh = read_file(index);
        kxtest::write_file(index, original);
        return fresh;
    }
    // The reader's trace of the lost record.
    std::string lost_b() const {
        return "Lost link in 'dirindex' " + area.tmpl + "/pkg/b\n";
    }
    std::string dir, index, original;
};

TEST_F(Dirindex, SoundIndexIsNotReported) {
    EXPECT_TRUE(kxtest::lstat_of(dir).st_mode & S_ISUID);
    kxtest::Run r = area.check({"--call=remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(index), original);
}

TEST_F(Dirindex, LostRecordIsRepairedByExactCopy) {
    std::string expected = fresh_without_b();
    ASSERT_NE(expected, original);
    ASSERT_EQ(unlink((area.tmpl + "/pkg/b").c_str()), 0);
    struct Case {
        const char *action;
        const char *note;
    } cases[] = {
        {"remove", "Correction: 'dirindex' 'idx/._kxlnk_.' is removed. Fixed\n"},
        {"move", "Correction: 'dirindex' 'idx/._kxlnk_.' moved to lost.\n Fixed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.action);
        kxtest::write_file(index, original);
        kxtest::Run r = area.check({std::string("--clink=") + c.action});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, lost_b() + "Broken 'dirindex' file 'idx/._kxlnk_.'\n" + c.note);
        EXPECT_EQ(read_file(index), expected);
        EXPECT_FALSE(exists(dir + "/" DIRINDEX_TMP_NAME));
        if (std::string(c.action) == "move") {
            EXPECT_EQ(read_file(area.at("lost_files/root/idx/" DIRINDEX_NAME)), original);
        }
        kxtest::Run again = area.check({"--call"});
        EXPECT_EQ(again.err, "");
    }
}

TEST_F(Dirindex, ReportOnlyWritesNoRepairedCopy) {
    ASSERT_EQ(unlink((area.tmpl + "/pkg/b").c_str()), 0);
    Picture before = picture(area.dir);
    kxtest::Run r = area.check({"--clink"});
    EXPECT_EQ(r.err, lost_b() + "Broken 'dirindex' file 'idx/._kxlnk_.'\n");
    expect_same(before, picture(area.dir));
}

TEST_F(Dirindex, InteractiveAnswers) {
    std::string expected = fresh_without_b();
    ASSERT_EQ(unlink((area.tmpl + "/pkg/b").c_str()), 0);
    const std::string prompt =
        "Broken 'dirindex' file 'idx/._kxlnk_.'('I'gnore/'M'ove/'R'emove)<i>? ";
    // Ignore: the index stays and the repaired copy is gone again.
    kxtest::Run r = area.check({"-i", "--clink"}, "i\n");
    EXPECT_EQ(r.out, prompt);
    EXPECT_EQ(r.err, lost_b());
    EXPECT_EQ(read_file(index), original);
    EXPECT_FALSE(exists(dir + "/" DIRINDEX_TMP_NAME));
    // Remove: the repaired copy takes its place.
    r = area.check({"-i", "--clink"}, "r\n");
    EXPECT_EQ(r.out, prompt);
    EXPECT_EQ(r.err, lost_b() + "Correction: 'dirindex' 'idx/._kxlnk_.' is removed. Fixed\n");
    EXPECT_EQ(read_file(index), expected);
}

TEST_F(Dirindex, BrokenIndexInEveryAction) {
    std::string garbage(64, 'x');
    for (const char *action : {"ignore", "move", "remove"}) {
        SCOPED_TRACE(action);
        kxtest::write_file(index, garbage);
        std::string act = action;
        kxtest::Run r = area.check({"--clink=" + act});
        EXPECT_EQ(r.status, 0);
        std::string note = act == "move"     ? "Correction: 'magic' 'idx/._kxlnk_.' moved to lost\n"
                           : act == "remove" ? "Correction: 'magic' 'idx/._kxlnk_.' is removed\n"
                                             : "";
        EXPECT_EQ(r.err, "FATAL: wrong signature '" + index + "' 78787878\n"
                         "Broken 'dirindex' file 'idx/._kxlnk_.'\n" + note);
        EXPECT_EQ(exists(index), act == "ignore");
        EXPECT_FALSE(exists(dir + "/" DIRINDEX_TMP_NAME));
        kxtest::Run again = area.check({"--clink"});
        EXPECT_EQ(again.err.empty(), act != "ignore");
    }
    // An empty index cannot even be mapped: broken as well.
    kxtest::write_file(index, "");
    kxtest::Run r = area.check({"--clink=remove"});
    EXPECT_TRUE(contains(r.err, "Correction: 'magic' 'idx/._kxlnk_.' is removed\n"));
}

TEST_F(Dirindex, IndexInUnmarkedDirectoryIsAnOrdinaryFile) {
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    kxtest::write_file(index, "not an index");
    kxtest::Run r = area.check({"--clink=remove"});
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exists(index));
}

// The repaired copy's name is held by a link to a host file: the file is
// never opened through it.
TEST_F(Dirindex, RepairedCopyNeverWrittenThroughALink) {
    std::string expected = fresh_without_b();
    ASSERT_EQ(unlink((area.tmpl + "/pkg/b").c_str()), 0);
    std::string precious = host.path("etc/precious");
    kxtest::write_file(precious, "host data");
    kxtest::make_symlink(precious, dir + "/" DIRINDEX_TMP_NAME);
    kxtest::Run r = area.check({"--clink=remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(precious), "host data");
    EXPECT_EQ(read_file(index), expected);
}

// The repaired copy's usual name belongs to whatever holds it: a sound
// index is checked without touching it, a damaged one is repaired through
// a name of the checker's own, and a warning names the entry left alone.
TEST_F(Dirindex, TakenRepairNameIsLeftAlone) {
    std::string expected = fresh_without_b();
    const std::string taken = dir + "/" DIRINDEX_TMP_NAME;
    const std::string warned = "Warning: '" + taken + "' is not the checker's: left as it is\n";
    struct Holder {
        const char *what;
        void (*make)(const std::string &path);
    } holders[] = {
        {"file", [](const std::string &p) { kxtest::write_file(p, "the container's own"); }},
        {"directory", [](const std::string &p) { kxtest::make_dirs(p + "/inside"); }},
        {"index", [](const std::string &p) { kxtest::write_file(p, std::string(64, 'x')); }},
    };
    for (const Holder &h : holders) {
        for (std::vector<std::string> opts : {std::vector<std::string>{"--clink=move"},
                                              {"--clink=remove"}, {"-i", "--clink"}}) {
            SCOPED_TRACE(std::string(h.what) + " " + opts.back());
            kxtest::write_file(index, original);
            h.make(taken);
            auto held = kxtest::snapshot(dir);
            // Beside the sound index: nothing to say, nothing touched.
            kxtest::Run sound = area.check(opts, "r\n");
            EXPECT_EQ(sound.err, "");
            EXPECT_EQ(kxtest::snapshot(dir).size(), held.size());
            // Beside the damaged one: repaired, the entry kept.
            ASSERT_EQ(rename((area.tmpl + "/pkg/b").c_str(), (area.tmpl + "/b.away").c_str()), 0);
            kxtest::Run r = area.check(opts, "r\n");
            ASSERT_EQ(rename((area.tmpl + "/b.away").c_str(), (area.tmpl + "/pkg/b").c_str()), 0);
            EXPECT_EQ(r.status, 0);
            EXPECT_TRUE(contains(r.out, warned));
            EXPECT_EQ(read_file(index), expected);
            struct stat now = kxtest::lstat_of(taken);
            EXPECT_EQ(now.st_ino, held.at(DIRINDEX_TMP_NAME).ino);
            if (S_ISREG(now.st_mode))
                EXPECT_EQ(read_file(taken), held.at(DIRINDEX_TMP_NAME).data);
            else
                EXPECT_TRUE(exists(taken + "/inside"));
            EXPECT_EQ(kxtest::snapshot(dir).size(), held.size());
            kxtest::Run clean = kxtest::run({"/bin/rm", "-rf", taken});
            ASSERT_EQ(clean.status, 0);
        }
    }
}

// An index that cannot even be mapped is checked once: each message once.
TEST_F(Dirindex, UnmappableIndexIsCheckedOnce) {
    const std::string mmap_warning =
        "Warning: can't mmap dirindex file '" + index + "': Invalid argument\n";
    const std::string mmap_error =
        "Error: can't mmap dirindex file '" + dir + "/" + index + "': Invalid argument\n";
    const std::string problem = "Broken 'dirindex' file 'idx/._kxlnk_.'";
    struct Case {
        std::vector<std::string> opts;
        const char *input;
        std::string out, err;
    } cases[] = {
        {{"--clink=move"}, "", mmap_warning,
         mmap_error + problem + "\nCorrection: 'magic' 'idx/._kxlnk_.' moved to lost\n"},
        {{"--clink=remove"}, "", mmap_warning,
         mmap_error + problem + "\nCorrection: 'magic' 'idx/._kxlnk_.' is removed\n"},
        {{"-i", "--clink"}, "r\n", mmap_warning + problem + "('I'gnore/'M'ove/'R'emove)<i>? ",
         mmap_error + "Correction: 'magic' 'idx/._kxlnk_.' is removed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.opts.back());
        kxtest::write_file(index, "");
        kxtest::Run r = area.check(c.opts, c.input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// At -v the move onto the index is traced between the note of the action
// and " Fixed".
TEST_F(Dirindex, RepairTraceComesBeforeFixed) {
    ASSERT_EQ(unlink((area.tmpl + "/pkg/b").c_str()), 0);
    const std::string trace = "move '" + dir + "/" DIRINDEX_TMP_NAME "' to '" + index + "'\n";
    struct Case {
        const char *action, *note;
    } cases[] = {
        {"remove", "Correction: 'dirindex' 'idx/._kxlnk_.' is removed."},
        {"move", "Correction: 'dirindex' 'idx/._kxlnk_.' moved to lost.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.action);
        kxtest::write_file(index, original);
        kxtest::Run r = area.check({"-v", std::string("--clink=") + c.action});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(contains(r.err, "Broken 'dirindex' file 'idx/._kxlnk_.'\n" +
                                        std::string(c.note) + trace + " Fixed\n"));
        EXPECT_EQ(r.out, "");
    }
}

// ---- interactive corrections ---------------------------------------------

TEST_F(Check, InteractiveThroughAPipe) {
    area.link("gone", "pkg/none");
    kxtest::write_file(area.cow + "/orphan", "x");
    kxtest::Run r = area.check({"-i", "--call=move"}, "r\ni\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Lost 'magic' link 'gone'('I'gnore/'M'ove/'R'emove)<m>? "
              "Lost 'cow' file 'orphan'('I'gnore/'M'ove/'R'emove)<m>? ");
    EXPECT_EQ(r.err, "Correction: 'magic' 'gone' is removed\n");
    EXPECT_FALSE(exists(area.root + "/gone"));
    EXPECT_TRUE(exists(area.cow + "/orphan"));
    // Only Enter: the configured action.
    r = area.check({"-i", "--ccow=move"}, "\n");
    EXPECT_EQ(r.err, "Correction: 'cow' 'orphan' moved to lost\n");
    EXPECT_TRUE(exists(area.at("lost_files/cow/orphan")));
}

// ---- action defaults ------------------------------------------------------

TEST_F(Check, ExplicitKindWinsOverAll) {
    for (auto opts : std::vector<std::vector<std::string>>{{"--call=remove", "--ccow=move"},
                                                           {"--ccow=move", "--call=remove"}}) {
        kxtest::Host h;
        Area a(h);
        a.link("gone", "pkg/none");
        kxtest::write_file(a.cow + "/orphan", "x");
        kxtest::Run r = a.check(opts);
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(exists(a.root + "/gone"));
        EXPECT_FALSE(exists(a.at("lost_files/root/gone")));
        EXPECT_TRUE(exists(a.at("lost_files/cow/orphan")));
    }
}

// Every damage kind at once, reported and left alone.
TEST_F(Check, ReportOnlyRunLeavesEveryEntry) {
    if (kxtest::is_root()) {
        area.template_file("pkg/m", "m");
        area.marked("mark", "pkg/m");
        area.template_file("pkg/e", "same");
        area.marked("empty", "pkg/e");
        area.cow_file("pkg/e", "same");
        area.template_file("pkg/r", "r");
        area.marked("replace", "pkg/r");
        area.cow_file("pkg/r", "changed");
    }
    area.link("gone", "pkg/none");
    kxtest::make_shortcut_file(area.root + "/short", "pkg/none");
    kxtest::write_file(area.cow + "/orphan", "x");
    kxtest::make_dirs(area.root + "/bad", 04755);
    kxtest::write_file(area.root + "/bad/" DIRINDEX_NAME, "garbage");
    Picture before = picture(area.dir);
    kxtest::Run r = area.check({"--call", "--oall"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "Lost 'magic' link 'gone'"));
    EXPECT_TRUE(contains(r.err, "Lost 'cow' file 'orphan'"));
    EXPECT_TRUE(contains(r.err, "Broken 'dirindex' file 'bad/._kxlnk_.'"));
    if (kxtest::is_root()) {
        EXPECT_TRUE(contains(r.err, "Broken 'cow' mark in 'mark'"));
        EXPECT_TRUE(contains(r.err, "Optimization: non-changed 'cow'"));
        EXPECT_TRUE(contains(r.err, "different from 'template' 'pkg/r'"));
    }
    expect_same(before, picture(area.dir));
}

// ---- cow naming -----------------------------------------------------------

// Cow names of texts worked by hand: the legacy scheme for areas before
// "005.003" (or without a version), MD5 from it on.
TEST(CowNaming, BothSchemesFindTheirCowFiles) {
    KX_REQUIRE_ROOT();
    struct Case {
        const char *version;
        const char *target;
        const char *cow;
    } cases[] = {
        {"", "pkg/a", "1C762AA13D9"},
        {"005.002", "pkg/a", "1C762AA13D9"},
        {"", "pkg/\xc3\xa9", "141D7D49EEA7"},
        {"", "pkg/xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "904AA889B0863C65"},
        {"005.003", "pkg/a", "302441ea1b15c1c1a276087f23e31028"},
        {"005.004", "pkg/a", "302441ea1b15c1c1a276087f23e31028"},
        {"999.999", "pkg/a", "302441ea1b15c1c1a276087f23e31028"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.cow);
        kxtest::Host h;
        Area a(h, "vz/private/101", c.version);
        a.template_file(c.target, "t");
        a.marked("f", c.target);
        kxtest::write_file(a.cow + "/" + c.cow, "own");
        kxtest::Run r = a.check({"--ccow", "--cmark"});
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(contains(r.err, "Lost")) << r.err;
        EXPECT_FALSE(contains(r.err, "Broken")) << r.err;
    }
}

// ---- optimizations --------------------------------------------------------

class Optimize : public Check {
protected:
    void SetUp() override {
        if (!kxtest::is_root())
            GTEST_SKIP() << "needs root (cow marks through the host simulator)";
    }
    // A marked link with owner, permission bits and times of its own.
    std::string marked_with_attrs(const std::string &rel, const std::string &target) {
        std::string p = area.marked(rel, target);
        EXPECT_EQ(lchown(p.c_str(), 123, 456), 0);
        EXPECT_EQ(kxlchmod(p.c_str(), 01640), 0);
        struct utimbuf t = {1000000000, 1000000000};
        EXPECT_EQ(kxlutime(p.c_str(), &t), 0);
        return p;
    }
};

TEST_F(Optimize, UnchangedCowIsDeleted) {
    area.template_file("pkg/a", "same");
    std::string a = area.marked("a", "pkg/a");
    std::string cow = area.cow_file("pkg/a", "same");
    std::string cname = cow.substr(area.cow.size() + 1);
    kxtest::Run r = area.check({"--oempty=do", "--oreplace=do"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Optimization: non-changed 'cow' '" + cname + "' for 'a'\n" +
                         "Optimized: removed non-changed 'cow' '" + cname + "'\n");
    EXPECT_FALSE(exists(cow));
    EXPECT_EQ(kxtest::read_link(a), "////pkg/a");
    EXPECT_FALSE(is_marked(a));
    EXPECT_EQ(area.check({"--oall=do", "--call"}).err, "");
}

TEST_F(Optimize, ChangedCowReplacesTheLink) {
    area.template_file("pkg/a", "template");
    std::string a = marked_with_attrs("d/a", "pkg/a");
    std::string cow = area.cow_file("pkg/a", "changed");
    std::string cname = cow.substr(area.cow.size() + 1);
    kxtest::Run r = area.check({"--oall=do"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Optimization: 'cow' '" + cname + "' different from 'template' 'pkg/a'\n" +
                         "Optimized: replaced 'magic' 'd/a' with 'cow' '" + cname + "'\n");
    struct stat st = kxtest::lstat_of(a);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 123u);
    EXPECT_EQ(st.st_gid, 456u);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(read_file(a), "changed");
    EXPECT_FALSE(exists(cow));
    EXPECT_EQ(area.check({"--oall=do", "--call"}).err, "");
}

TEST_F(Optimize, LinkWithAnotherNameKeepsItsCow) {
    area.template_file("pkg/a", "template");
    std::string a = area.marked("a", "pkg/a");
    std::string outside = area.at("elsewhere");
    ASSERT_EQ(link(a.c_str(), outside.c_str()), 0);
    std::string cow = area.cow_file("pkg/a", "changed");
    kxtest::Run r = area.check({"--oreplace=do"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(a), "changed");
    ASSERT_TRUE(exists(cow));
    EXPECT_EQ(kxtest::lstat_of(cow).st_ino, kxtest::lstat_of(a).st_ino);
    EXPECT_EQ(kxtest::read_link(outside), "////pkg/a");
    EXPECT_FALSE(exists(cow + ".bak"));
}

// Two links with the same target claim one cow file. Changed, each gets
// the content with its own owner and mode; unchanged, each loses its mark.
// Either way the cow file goes with the last claim, and the area is clean.
TEST_F(Optimize, CowSharedByTwoLinks) {
    struct Case {
        const char *option;
        bool changed;
    } cases[] = {{"--oreplace=do", true}, {"--oall=do", true}, {"--oempty=do", false},
                 {"--oall=do", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.option) + (c.changed ? " changed" : " unchanged"));
        kxtest::Host h;
        Area a(h, "vz/private/101", "005.004");
        a.template_file("pkg/t", "template");
        std::string first = a.marked("a", "pkg/t"), second = a.marked("d/b", "pkg/t");
        // The first link has a second name: its names stay one file.
        const std::string other_name = a.root + "/e/a";
        kxtest::make_dirs(a.root + "/e");
        ASSERT_EQ(link(first.c_str(), other_name.c_str()), 0);
        ASSERT_EQ(lchown(first.c_str(), 123, 456), 0);
        ASSERT_EQ(lchown(second.c_str(), 124, 457), 0);
        ASSERT_EQ(kxlchmod(second.c_str(), 01604), 0);
        std::string cow = a.cow_file("pkg/t", c.changed ? "changed" : "template");
        kxtest::Run r = a.check({c.option});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(exists(cow));
        EXPECT_EQ(kxtest::lstat_of(first).st_ino, kxtest::lstat_of(other_name).st_ino);
        for (const auto &[p, uid, mode] : {std::tuple{first, 123u, 0777u}, {other_name, 123u, 0777u},
                                           {second, 124u, 0604u}}) {
            struct stat st = kxtest::lstat_of(p);
            EXPECT_EQ(st.st_uid, uid) << p;
            if (c.changed) {
                EXPECT_EQ(read_file(p), "changed") << p;
                EXPECT_EQ(st.st_mode, S_IFREG | mode) << p;
            } else {
                EXPECT_EQ(kxtest::read_link(p), "////pkg/t") << p;
                EXPECT_FALSE(is_marked(p)) << p;
            }
        }
        EXPECT_EQ(a.check({"--call", "--oall"}).err, "");
    }
}

// The names of one marked link claim its unchanged cow file once: one
// note for the first name met, and the cow file goes with it.
TEST_F(Optimize, UnchangedCowOfALinkWithTwoNames) {
    area.template_file("pkg/a", "same");
    std::string a = area.marked("a", "pkg/a");
    kxtest::make_dirs(area.root + "/d");
    ASSERT_EQ(link(a.c_str(), (area.root + "/d/a").c_str()), 0);
    std::string cow = area.cow_file("pkg/a", "same");
    std::string cname = cow.substr(area.cow.size() + 1);
    kxtest::Run r = area.check({"--oempty=do"});
    EXPECT_EQ(r.err, "Optimization: non-changed 'cow' '" + cname + "' for 'a'\n" +
                         "Optimized: removed non-changed 'cow' '" + cname + "'\n");
    EXPECT_FALSE(exists(cow));
    EXPECT_FALSE(is_marked(a));
    EXPECT_EQ(kxtest::lstat_of(a).st_ino, kxtest::lstat_of(area.root + "/d/a").st_ino);
}

// An unchanged cow file that only an unmarked link claims is no removal's:
// it stays, and is lost. Only one whose removal a run journaled (and was
// interrupted before it removed the file) goes, and the journal with it.
TEST_F(Optimize, UnchangedCowOfAnUnmarkedLinkIsLostUnlessJournaled) {
    const std::string journal = area.dir + "/.kxfsutil-oempty.journal";
    struct Case {
        std::vector<std::string> opts;
        const char *journal;  // nullptr: none
        bool removed;
    } cases[] = {
        {{"--oempty=do"}, nullptr, false},
        {{"--oempty=do", "--ccow"}, nullptr, false},
        {{"--oall=do", "--ccow"}, "0123\n", false},
        {{"--oempty=do", "--ccow"}, "@\n", true},
        {{"--oempty=do"}, "x\n@", false},  // cut short: no record
    };
    area.template_file("pkg/u", "same");
    std::string u = area.link("u", "pkg/u");
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.opts) + " " + (c.journal ? c.journal : "-"));
        std::string cow = area.cow_file("pkg/u", "same");
        std::string cname = cow.substr(area.cow.size() + 1);
        unlink(journal.c_str());
        if (c.journal)
            kxtest::write_file(journal, std::regex_replace(c.journal, std::regex("@"), cname));
        kxtest::Run r = area.check(c.opts);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(exists(cow), !c.removed);
        EXPECT_FALSE(exists(journal));
        bool ccow = c.opts.back() == "--ccow";
        EXPECT_EQ(contains(r.err, "Lost 'cow' file '" + cname + "'\n"), ccow && !c.removed) << r.err;
        EXPECT_EQ(kxtest::read_link(u), "////pkg/u");
    }
}

TEST_F(Optimize, CowWithAttributesCountsAsChanged) {
    area.template_file("pkg/a", "same");
    area.marked("a", "pkg/a");
    std::string cow = area.cow_file("pkg/a", "same");
    if (setxattr(cow.c_str(), "user.kxtest", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user attributes on this file system";
    kxtest::Run r = area.check({"--oempty=do"});
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exists(cow));
    r = area.check({"--oempty=do", "--oreplace=do"});
    EXPECT_TRUE(contains(r.err, "Optimized: replaced 'magic' 'a'"));
    char v[4];
    EXPECT_EQ(getxattr((area.root + "/a").c_str(), "user.kxtest", v, sizeof v), 1);
}

TEST_F(Optimize, NoTemplate) {
    area.marked("a", "pkg/none");
    std::string cow = area.cow_file("pkg/none", "own");
    // With the removal selected, neither optimization applies.
    kxtest::Run r = area.check({"--oempty=do", "--oreplace=do"});
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(exists(cow));
    // The replacement alone does not need the template.
    r = area.check({"--oreplace=do"});
    EXPECT_TRUE(contains(r.err, "Optimized: replaced 'magic' 'a'"));
    EXPECT_EQ(read_file(area.root + "/a"), "own");
}

TEST_F(Optimize, AllWithExplicitEmpty) {
    area.template_file("pkg/e", "same");
    area.template_file("pkg/r", "template");
    std::string e = area.marked("e", "pkg/e");
    std::string r_link = area.marked("r", "pkg/r");
    std::string ecow = area.cow_file("pkg/e", "same");
    std::string rcow = area.cow_file("pkg/r", "changed");
    kxtest::Run r = area.check({"--oall", "--oempty=do"});
    EXPECT_FALSE(exists(ecow));
    EXPECT_TRUE(exists(rcow));
    EXPECT_TRUE(S_ISLNK(kxtest::lstat_of(r_link).st_mode));
    EXPECT_TRUE(contains(r.err, "different from 'template' 'pkg/r'"));
    EXPECT_FALSE(contains(r.err, "Optimized: replaced"));
}

// ---- hostile trees --------------------------------------------------------

// A target that climbs out of the template directory names nothing: the
// host file there is never compared, and the cow file that equals it
// stays.
TEST_F(Optimize, TargetOutsideTheTemplateNamesNothing) {
    kxtest::write_file(host.path("kx/outside"), "host secret");
    std::string f = area.marked("f", "../outside");
    std::string cow = area.cow_file("../outside", "host secret");
    kxtest::Run r = area.check({"--oempty=do", "--call=remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(exists(cow));
    EXPECT_TRUE(exists(f));
    EXPECT_TRUE(contains(r.out, "is outside the template directory"));
    EXPECT_TRUE(contains(r.out, "'f' have no 'template' but have 'cow'"));
}

TEST_F(Check, PointersOutsideTheTemplateAreLost) {
    kxtest::write_file(host.path("kx/outside"), "x");
    area.link("l", "../outside");
    kxtest::make_shortcut_file(area.root + "/s", "pkg/../../outside");
    kxtest::Run r = area.check({"--clink=remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "Lost 'magic' link 'l'\n"));
    EXPECT_TRUE(contains(r.err, "Lost 'magic' link 's'\n"));
    EXPECT_FALSE(exists(area.root + "/l"));
    EXPECT_FALSE(exists(area.root + "/s"));
    EXPECT_TRUE(exists(host.path("kx/outside")));
}

// A dirindex record whose target climbs out of the template directory
// names nothing there either: the record is lost, the host's object is
// never looked at.
TEST_F(Check, IndexRecordOutsideTheTemplateIsLost) {
    kxtest::write_file(host.path("host/secret"), "x");
    area.template_file("pkg/a", "a");
    const std::string dir = area.root + "/idx";
    kxtest::make_dirs(dir, 04755);
    kxtest::write_file(dir + "/" DIRINDEX_NAME,
                       dirtest::build_index({{"a", 8, 3, "////pkg"}, {"secret", 8, 5, "////../../host"}}));
    kxtest::Run r = area.check({"--clink"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "Lost link in 'dirindex' " + area.tmpl + "/../../host/secret\n"));
    EXPECT_TRUE(contains(r.err, "Broken 'dirindex' file 'idx/" DIRINDEX_NAME "'\n"));
}

TEST_F(Check, FilesWithTheStickyBitThatAreNoShortcuts) {
    const std::string contents[] = {"", "//", "///", std::string("////a\0b", 7),
                                    std::string(5000, '/')};
    int i = 0;
    for (const auto &c : contents)
        kxtest::write_file(area.root + "/s" + std::to_string(i++), c, 01644);
    kxtest::Run r = area.check({"--clink=remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (int j = 0; j < i; ++j) {
        std::string p = area.root + "/s" + std::to_string(j);
        EXPECT_TRUE(exists(p));
        EXPECT_TRUE(contains(r.out, "Warning: '" + p + "' is not a shortcut"));
    }
    // The template root itself is a valid target.
    kxtest::make_shortcut_file(area.root + "/rootref", "");
    r = area.check({"--clink=remove"});
    EXPECT_TRUE(exists(area.root + "/rootref"));
    EXPECT_FALSE(contains(r.out, "rootref"));
}

TEST_F(Check, OverlongTargetsAndNames) {
    std::string target = "pkg";
    while (target.size() < 4000)
        target += "/" + std::string(200, 'n');
    std::string name(255, 'x');
    area.link(name, target);
    kxtest::Run r = area.check({"--clink=remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Lost 'magic' link '" + name + "'\nCorrection: 'magic' '" + name +
                         "' is removed\n");
    EXPECT_FALSE(exists(area.root + "/" + name));
}

// A tree deeper than a path may be long: it is still walked and corrected.
TEST_F(Check, TreeDeeperThanAPath) {
    std::string comp(200, 'd');
    int fd = open(area.root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const int depth = 30;
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(mkdirat(fd, comp.c_str(), 0755), 0);
        int next = openat(fd, comp.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    ASSERT_EQ(symlinkat("////pkg/none", fd, "gone"), 0);
    kxtest::Run r = area.check({"--clink=remove"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "Correction: 'magic' '"));
    struct stat st;
    EXPECT_NE(fstatat(fd, "gone", &st, AT_SYMLINK_NOFOLLOW), 0);
    // Take the tree down from the bottom; paths are too long for the host's
    // clean-up.
    for (int i = 0; i < depth; ++i) {
        int up = openat(fd, "..", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = up;
        ASSERT_EQ(unlinkat(fd, comp.c_str(), AT_REMOVEDIR), 0);
    }
    close(fd);
}

}  // namespace

namespace {

// ---- uncow-empty ----------------------------------------------------------

class Uncow : public Check {
protected:
    void SetUp() override {
        sys = area.root + "/sys";
        kxtest::make_dirs(sys, 04755);
    }
    bool still_marked() const { return kxtest::lstat_of(sys).st_mode & S_ISUID; }
    kxtest::Run uncow() const { return area.check({"--uncow-empty"}); }
    std::string sys;
    std::string shown() const { return area.root + "//sys"; }
};

TEST_F(Uncow, EmptyTemplateClearsTheMark) {
    kxtest::make_dirs(area.tmpl + "/os/sys");
    kxtest::write_file(area.tmpl + "/os/sys/" DIRINDEX_NAME, "");
    kxtest::make_magic_link(sys + "/" DIRINDEX_NAME, "os/sys");
    kxtest::Run r = uncow();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(still_marked());
    EXPECT_TRUE(exists(sys + "/" DIRINDEX_NAME));
}

TEST_F(Uncow, TemplateWithEntriesKeepsTheMark) {
    area.template_file("os/sys/kernel", "k");
    kxtest::make_magic_link(sys + "/" DIRINDEX_NAME, "os/sys");
    kxtest::Run r = uncow();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Warning: Directory '" + area.tmpl + "/////os/sys' is not empty. Skip.\n");
    EXPECT_TRUE(still_marked());
}

TEST_F(Uncow, BrokenMarkersClearTheMark) {
    struct Case {
        const char *name;
        std::string target;  // "" for no marker
        std::string warning;
    } cases[] = {
        {"no marker", "", "Warning: lstat failed for " + shown() + "/._kxlnk_.. Broken magic "
                          "directory. Uncow.: No such file or directory\n"},
        {"plain link", "elsewhere", "Warning: Not magic symlink. '" + shown() +
                                        "' broken magic directory. Uncow it.\n"},
        {"missing template", "////os/none", "Warning: '" + area.tmpl +
                                                "/////os/none' broken COW directory. Uncow it.\n"},
        {"outside the template", "////..", "Warning: '" + area.tmpl +
                                               "/////..' broken COW directory. Uncow it.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(chmod(sys.c_str(), 04755), 0);
        unlink((sys + "/" DIRINDEX_NAME).c_str());
        if (!c.target.empty())
            kxtest::make_symlink(c.target, sys + "/" DIRINDEX_NAME);
        kxtest::Run r = uncow();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.warning);
        EXPECT_FALSE(still_marked());
    }
}

TEST_F(Uncow, DirindexOrUnmarkedDirectoryIsLeftAlone) {
    kxtest::write_file(sys + "/" DIRINDEX_NAME, "index");
    EXPECT_EQ(uncow().out, "");
    EXPECT_TRUE(still_marked());
    ASSERT_EQ(chmod(sys.c_str(), 0755), 0);
    ASSERT_EQ(unlink((sys + "/" DIRINDEX_NAME).c_str()), 0);
    EXPECT_EQ(uncow().out, "");
    EXPECT_EQ(kxtest::lstat_of(sys).st_mode & 07777, 0755u);
}

TEST_F(Uncow, SysThatIsNoDirectoryIsLeftAlone) {
    ASSERT_EQ(rmdir(sys.c_str()), 0);
    kxtest::make_symlink(area.tmpl, sys);
    kxtest::Run r = uncow();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(kxtest::read_link(sys), area.tmpl);
}

// ---- package pointers -----------------------------------------------------

// The package list and the OS template come from the area itself (also
// when its tree is in "fs"); a link into a package the area does not have
// is named.
TEST(PackagePointers, LinksIntoForeignPackagesAreNamed) {
    for (bool layout4 : {false, true}) {
        SCOPED_TRACE(layout4 ? "layout 4" : "layout 3");
        kxtest::Host host;
        std::string dir = host.path("vz/private/101");
        std::string tmpl = host.template_root();
        std::string tree = layout4 ? dir + "/fs" : dir;
        kxtest::make_dirs(tree + "/root");
        kxtest::make_dirs(tree + "/cow");
        kxtest::make_symlink("005.004", tree + "/VERSION");
        std::string bin = host.path("bin");
        kxtest::write_file(bin + "/kxpkg",
                           "#!/bin/sh\necho " + tmpl + "/distro/1/x86_64/config\n", 0755);
        kxtest::write_file(dir + "/templates/kxpackages", "pkg x86_64 1.0\n");
        kxtest::write_file(dir + "/ve.conf", "OSTEMPLATE=\"distro\"\n");
        kxtest::write_file(tmpl + "/distro/1/x86_64/pkg-1.0.x86_64/bin/a", "a");
        kxtest::write_file(tmpl + "/distro/1/x86_64/other-2.0.x86_64/bin/b", "b");
        kxtest::make_magic_link(tree + "/root/a", "distro/1/x86_64/pkg-1.0.x86_64/bin/a");
        kxtest::make_magic_link(tree + "/root/b", "distro/1/x86_64/other-2.0.x86_64/bin/b");
        std::string path = "PATH=" + bin + ":" + getenv("PATH");
        std::vector<std::string> argv{kxtest::tool("kxfsutil"), "--clink", "-t", tmpl, dir};
        kxtest::Run r = kxtest::run(argv, {path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "Pointer " + tree + "/root/b link to wrong package: "
                         "'////distro/1/x86_64/other-2.0.x86_64/bin/b'\n");
        // Without link corrections the package data is not even loaded.
        argv[1] = "--ccow";
        EXPECT_EQ(kxtest::run(argv, {path}).err, "");
    }
}

// The OS template is looked for only in a "ve.conf" that is a regular file:
// without one the trace of a failed lookup does not appear.
TEST(PackagePointers, OsTemplateIsLookedForOnlyInARegularVeConf) {
    const std::pair<const char *, bool> cases[] = {
        {"missing", false}, {"link", false}, {"fifo", false}, {"without OSTEMPLATE", true}};
    for (const auto &[plant, traced] : cases) {
        SCOPED_TRACE(plant);
        kxtest::Host host;
        Area area(host);
        std::string conf = area.dir + "/ve.conf";
        if (std::string(plant) == "link") {
            kxtest::write_file(host.path("host.conf"), "OSTEMPLATE=\"distro\"\n");
            kxtest::make_symlink(host.path("host.conf"), conf);
        } else if (std::string(plant) == "fifo") {
            ASSERT_EQ(mkfifo(conf.c_str(), 0600), 0);
        } else if (traced) {
            kxtest::write_file(conf, "VE_ROOT=\"/x\"\n");
        }
        kxtest::Run r = area.check({"-v", "--clink"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(contains(r.err, "Failed to read OSTEMPLATE from " + conf + "\n"), traced) << r.err;
    }
}

}  // namespace
