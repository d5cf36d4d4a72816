// Prompts, file comparison, mkdir_p and the lost-and-found moves.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "kxtest.h"
#include "libkxfsutil.h"

using kxtest::exists;
using kxtest::read_file;
using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class Area : public testing::Test {
protected:
    void SetUp() override {
        area_ = host_.path("vz/private/101");
        kxtest::make_dirs(area_);
        saved_ = priv_dir;
        priv_dir = area_.data();
    }
    void TearDown() override { priv_dir = saved_; }
    void use_layout4() { write_file(area_ + "/.layout", "4\n"); }

    kxtest::Host host_;
    std::string area_;
    char *saved_ = nullptr;
};

TEST(CompareFiles, ContentDecides) {
    kxtest::Host host;
    std::string a = host.path("a"), b = host.path("b"), c = host.path("c");
    write_file(a, "");
    write_file(b, "");
    EXPECT_EQ(compare_files(a.c_str(), b.c_str()), 0);
    write_file(c, "x");
    EXPECT_EQ(compare_files(a.c_str(), c.c_str()), 1);
    EXPECT_EQ(compare_files(c.c_str(), a.c_str()), 1);
    EXPECT_EQ(compare_files(a.c_str(), host.path("missing").c_str()), -1);
    EXPECT_EQ(compare_files(host.path("missing").c_str(), a.c_str()), -1);
    // A directory opens but cannot be read.
    EXPECT_EQ(compare_files(host.root().c_str(), a.c_str()), -1);
}

TEST(CompareFiles, DifferencesBeyondTheFirstBlocks) {
    kxtest::Host host;
    std::string big(300000, 'k');
    std::string a = host.path("a"), b = host.path("b");
    write_file(a, big);
    write_file(b, big);
    EXPECT_EQ(compare_files(a.c_str(), b.c_str()), 0);
    for (size_t at : {size_t(1024), size_t(65536), size_t(299999)}) {
        std::string other = big;
        other[at] = 'j';
        write_file(b, other);
        EXPECT_EQ(compare_files(a.c_str(), b.c_str()), 1) << at;
    }
    write_file(b, big + "k");
    EXPECT_EQ(compare_files(a.c_str(), b.c_str()), 1);
}

TEST(CompareFilesDeath, NullPathIsAnAssertion) {
    EXPECT_EXIT(compare_files(nullptr, "x"), testing::ExitedWithCode(255),
                "ASSERTION FAILED: src/lib/prompts.cpp\\([0-9]+\\), function 'compare_files\\(\\)', "
                "condition: name1 && name2");
}

TEST(MkdirP, CreatesEveryPrefixButTheLast) {
    kxtest::Host host;
    std::string base = host.path("base");
    std::string path = base + "/a/b/c";
    EXPECT_EQ(mkdir_p(path.c_str(), 0700, 0), 0);
    EXPECT_TRUE(exists(base + "/a/b"));
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(kxtest::lstat_of(base + "/a").st_mode & 07777, 0700u);
}

TEST(MkdirP, StartIndexLeavesTheBeginningAlone) {
    kxtest::Host host;
    std::string base = host.path("base");
    kxtest::make_dirs(base);
    std::string path = base + "/a/b/c";
    // The slash at position start is not looked at: "base/a" is not made
    // when start points at the slash after it, so "base/a/b" cannot be.
    errno = 0;
    EXPECT_EQ(mkdir_p(path.c_str(), 0755, static_cast<int>(base.size() + 2)), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists(base + "/a"));
    EXPECT_EQ(mkdir_p(path.c_str(), 0755, static_cast<int>(base.size())), 0);
    EXPECT_TRUE(exists(base + "/a/b"));
    // Without a slash after the start nothing happens.
    EXPECT_EQ(mkdir_p("plainname", 0755, 0), 0);
    std::string fresh = base + "/x/y";
    EXPECT_EQ(mkdir_p(fresh.c_str(), 0755, static_cast<int>(base.size() + 2)), 0);
    EXPECT_FALSE(exists(base + "/x"));
}

TEST(MkdirP, FailureIsReturnedWithTheErrorNumber) {
    kxtest::Host host;
    write_file(host.path("file"), "x");
    std::string path = host.path("file/sub/leaf");
    errno = 0;
    EXPECT_EQ(mkdir_p(path.c_str(), 0755, 0), -1);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST(MkdirP, PathsLongerThanAKilobyte) {
    kxtest::Host host;
    std::string path = host.path("");
    for (int i = 0; i < 40; ++i)
        path += std::string(40, 'd') + "/";
    path += "leaf";
    EXPECT_EQ(mkdir_p(path.c_str(), 0755, 0), 0);
    EXPECT_TRUE(exists(path.substr(0, path.size() - 5)));
}

TEST_F(Area, MoveToLostCreatesTheTreeAndReplaces) {
    write_file(area_ + "/cow/x/y", "cow data");
    ASSERT_EQ(move_item_to_lost("x/y", "cow"), 0);
    EXPECT_FALSE(exists(area_ + "/cow/x/y"));
    EXPECT_EQ(read_file(area_ + "/lost_files/cow/x/y"), "cow data");
    EXPECT_EQ(kxtest::lstat_of(area_ + "/lost_files/cow").st_mode & 0777, 0755u & ~[] {
        mode_t m = umask(0);
        umask(m);
        return m;
    }());
    // An item of the same name moved later replaces the earlier one.
    write_file(area_ + "/cow/x/y", "newer");
    ASSERT_EQ(move_item_to_lost("x/y", "cow"), 0);
    EXPECT_EQ(read_file(area_ + "/lost_files/cow/x/y"), "newer");
}

TEST_F(Area, MoveToLostFailsForAMissingItem) {
    errno = 0;
    EXPECT_EQ(move_item_to_lost("gone", "root"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Area, MoveToLostTakesLayout4ObjectsFromFs) {
    use_layout4();
    kxtest::make_magic_link(area_ + "/fs/root/etc/broken", "distro/1/x86_64/pkg/etc/broken");
    ASSERT_EQ(move_item_to_lost("etc/broken", "root"), 0);
    EXPECT_FALSE(exists(area_ + "/fs/root/etc/broken"));
    EXPECT_EQ(kxtest::read_link(area_ + "/lost_files/root/etc/broken"),
              "////distro/1/x86_64/pkg/etc/broken");
    EXPECT_FALSE(exists(area_ + "/fs/lost_files"));
}

TEST_F(Area, MoveToLostNeverGoesThroughALink) {
    // A link moved to lost_files earlier must not carry a later move out.
    std::string outside = host_.path("outside");
    kxtest::make_dirs(outside);
    kxtest::make_dirs(area_ + "/lost_files/root");
    kxtest::make_symlink(outside, area_ + "/lost_files/root/x");
    write_file(area_ + "/root/x/y", "data");
    EXPECT_EQ(move_item_to_lost("x/y", "root"), -1);
    EXPECT_TRUE(exists(area_ + "/root/x/y"));
    EXPECT_FALSE(exists(outside + "/y"));

    // Nor is the source reached through a link inside the tree.
    write_file(outside + "/host-file", "host");
    kxtest::make_symlink(outside, area_ + "/root/l");
    EXPECT_EQ(move_item_to_lost("l/host-file", "root"), -1);
    EXPECT_TRUE(exists(outside + "/host-file"));
    EXPECT_EQ(move_item_to_lost("../outside", "root"), -1);
}

TEST_F(Area, MoveToLostDeathOnNull) {
    EXPECT_EXIT(move_item_to_lost(nullptr, "cow"), testing::ExitedWithCode(255),
                "condition: name && type_path");
}

TEST_F(Area, MoveToSameFindsTheSibling) {
    struct Case {
        const char *path, *source, *target;
    } cases[] = {
        {"d/e", "root/d/N", "root/d/e"},
        {"e", "root/N", "root/e"},
        {"/e", "root/N", "root//e"},
    };
    for (const auto &c : cases) {
        write_file(area_ + "/" + c.source, c.path);
        std::string p = c.path;
        ASSERT_EQ(move_item_to_same(p.data(), "N"), 0) << c.path;
        EXPECT_EQ(p, c.path);
        EXPECT_FALSE(exists(area_ + "/" + c.source)) << c.path;
        EXPECT_EQ(read_file(area_ + "/" + c.target), c.path);
    }
}

TEST_F(Area, MoveToSameTracesInLayout4) {
    use_layout4();
    write_file(area_ + "/fs/root/d/tmp", "repaired");
    int saved = kxfsutil_debug_level;
    kxfsutil_debug_level = 4;
    CaptureStderr();
    char path[] = "d/index";
    EXPECT_EQ(move_item_to_same(path, "tmp"), 0);
    std::string err = GetCapturedStderr();
    kxfsutil_debug_level = saved;
    EXPECT_EQ(err, "move '" + area_ + "/fs/root/d/tmp' to '" + area_ + "/fs/root/d/index'\n");
    EXPECT_EQ(read_file(area_ + "/fs/root/d/index"), "repaired");
}

TEST_F(Area, MoveToSameWithFinalSlashPutsTheNameInside) {
    // "d/" names the directory d: the source is d/N, the target d/ itself,
    // which no rename can replace; the fatal message shows both.
    kxtest::make_dirs(area_ + "/root/d/N");
    char path[] = "d/";
    EXPECT_EXIT(move_item_to_same(path, "N"), testing::ExitedWithCode(1),
                "Error: can't move '" + area_ + "/root/d/N' to '" + area_ + "/root/d/': ");
}

TEST_F(Area, MoveToSameDeathWhenTheRenameFails) {
    char path[] = "dir/index";
    EXPECT_EXIT(move_item_to_same(path, "tmp"), testing::ExitedWithCode(1),
                "Error: can't move '.*/root/dir/tmp' to '.*/root/dir/index': No such file");
}

// Feeds text to standard input for the prompts.
class Prompt : public testing::Test {
protected:
    void feed(const std::string &text) {
        write_file(input_, text);
        ASSERT_NE(std::freopen(input_.c_str(), "r", stdin), nullptr);
    }
    void TearDown() override { std::freopen("/dev/null", "r", stdin); }
    kxtest::Host host_;
    std::string input_ = host_.path("input");
};

TEST_F(Prompt, AskProcAnswers) {
    struct Case {
        const char *input;
        int def, answer;
    } cases[] = {
        {"\n", 2, 2},                   // Enter takes the default
        {"x\ni\n", -1, 1},              // without default reading goes on
        {"", -1, -1},                   // end of input, no default
        {"", 3, 3},                     // end of input keeps the default
        {"mr\n", 1, 3},                 // the last letter wins
        {"M", -1, 2},                   // end of input after a letter
        {"  \n\nR\n", -1, 3},           // blanks skipped while unanswered
        {"q\n", 1, 1},                  // other characters change nothing
    };
    for (const auto &c : cases) {
        feed(c.input);
        CaptureStdout();
        EXPECT_EQ(ask_proc("Lost cow file ", c.def), c.answer) << c.input;
        GetCapturedStdout();
    }
}

TEST_F(Prompt, AskProcShowsTheDefault) {
    const char *hints[] = {"<i/m/r>", "<i>", "<m>", "<r>", "<i/m/r>"};
    for (int def = 0; def <= 4; ++def) {
        feed("\n");
        CaptureStdout();
        ask_proc("Q ", def);
        EXPECT_EQ(GetCapturedStdout(), std::string("Q ('I'gnore/'M'ove/'R'emove)") + hints[def] + "? ");
    }
}

TEST_F(Prompt, LaterCharactersStayForTheNextPrompt) {
    feed("m r\ny\n");
    CaptureStdout();
    EXPECT_EQ(ask_proc("first ", -1), 2);
    EXPECT_EQ(ask_proc("second ", -1), 3);
    EXPECT_EQ(ask_approve("third ", 4), 3);
    GetCapturedStdout();
}

TEST_F(Prompt, AskApprove) {
    feed("y\n");
    CaptureStdout();
    EXPECT_EQ(ask_approve("Do you really want to continue ", 4), 3);
    EXPECT_EQ(GetCapturedStdout(), "Do you really want to continue ('Y'/'N')<n>? ");
    feed("\n");
    CaptureStdout();
    EXPECT_EQ(ask_approve("Q ", 3), 3);
    EXPECT_EQ(GetCapturedStdout(), "Q ('Y'/'N')<y>? ");
    feed("N ");
    CaptureStdout();
    EXPECT_EQ(ask_approve("Q ", -1), 4);
    EXPECT_EQ(GetCapturedStdout(), "Q ('Y'/'N')<y/n>? ");
    feed("i\n");  // letters of the other prompt mean nothing here
    CaptureStdout();
    EXPECT_EQ(ask_approve("Q ", 7), 7);
    GetCapturedStdout();
}

}  // namespace
