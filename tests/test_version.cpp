// The version link: reading, atomic rewrite, format numbers and the
// package tool's verification.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "kxtest.h"
#include "libkxfsutil.h"

using kxtest::exists;
using kxtest::make_symlink;
using kxtest::read_link;
using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class Version : public testing::Test {
protected:
    void SetUp() override {
        area_ = host_.path("vz/private/101");
        kxtest::make_dirs(area_);
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 3;
    }
    void TearDown() override { kxfsutil_debug_level = saved_level_; }
    kxtest::Host host_;
    std::string area_;
    int saved_level_ = 0;
};

TEST_F(Version, FormatNumbers) {
    struct Case {
        const char *text;
        int format;
    } cases[] = {
        {"005.004", 4}, {"005.003", 3}, {"005.002", 2}, {"006.001", 0},
        {"999.999", 0}, {"005.0035", 0}, {"004", 2},     {"005.004 ", 0},
    };
    for (const auto &c : cases) {
        ::unlink((area_ + "/VERSION").c_str());
        make_symlink(c.text, area_ + "/VERSION");
        EXPECT_EQ(kxfs_version(area_.c_str()), c.format) << c.text;
    }
    EXPECT_EQ(kxfs_version(nullptr), -1);
}

TEST_F(Version, UnreadableLinkGivesMinus3) {
    CaptureStderr();
    EXPECT_EQ(kxfs_version(area_.c_str()), -3);
    EXPECT_EQ(GetCapturedStderr(), "Error: Can't read kxfs version link '" + area_ +
                                       "/VERSION': No such file or directory\n");
    write_file(area_ + "/VERSION", "005.004");
    CaptureStderr();
    EXPECT_EQ(kxfs_version(area_.c_str()), -3);
    EXPECT_NE(GetCapturedStderr().find("Invalid argument"), std::string::npos);
    kxfsutil_debug_level = 1;
    CaptureStderr();
    EXPECT_EQ(kxfs_version(area_.c_str()), -3);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(Version, LayoutDecidesWhereTheLinkIs) {
    make_symlink("005.003", area_ + "/VERSION");
    kxtest::make_dirs(area_ + "/fs");
    make_symlink("005.004", area_ + "/fs/VERSION");
    EXPECT_EQ(kxfs_version(area_.c_str()), 4);  // fs/VERSION means layout 4
    write_file(area_ + "/.layout", "3\n");
    EXPECT_EQ(kxfs_version(area_.c_str()), 3);
    // An hdimage-based area has no tree at all: nothing is read.
    std::string image = host_.path("vz/private/102");
    write_file(image + "/.layout", "5\n");
    CaptureStderr();
    EXPECT_EQ(kxfs_version(image.c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(Version, ReadIntoTheCallersBuffer) {
    char buf[KXFS_VERSION_BUF];
    std::memset(buf, 'z', sizeof buf);
    make_symlink("005.004", area_ + "/VERSION");
    EXPECT_EQ(read_kxfs_version(area_.c_str(), buf), 7);
    EXPECT_STREQ(buf, "005.004");

    // A target longer than 100 bytes is cut to 100.
    ::unlink((area_ + "/VERSION").c_str());
    make_symlink(std::string(150, '9'), area_ + "/VERSION");
    EXPECT_EQ(read_kxfs_version(area_.c_str(), buf), 100);
    EXPECT_EQ(std::string(buf), std::string(100, '9'));
}

TEST_F(Version, ReadFailureLeavesTheBufferAlone) {
    char buf[KXFS_VERSION_BUF] = "untouched";
    CaptureStderr();
    EXPECT_EQ(read_kxfs_version(area_.c_str(), buf), -1);
    EXPECT_EQ(GetCapturedStderr(), "Error: Can't read version kxfs '" + area_ +
                                       "/VERSION': No such file or directory\n");
    EXPECT_STREQ(buf, "untouched");
}

TEST_F(Version, RewriteReplacesTheLinkAtomically) {
    make_symlink("005.003", area_ + "/VERSION");
    rewrite_kxfs_version(area_.c_str(), "999.999");
    EXPECT_EQ(read_link(area_ + "/VERSION"), "999.999");
    EXPECT_FALSE(exists(area_ + "/VERSION.bak.bak"));
    EXPECT_EQ(kxfs_version(area_.c_str()), 0);
    rewrite_kxfs_version(area_.c_str(), "005.004");
    auto tree = kxtest::snapshot(area_);
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.begin()->first, "VERSION");
    EXPECT_EQ(tree.begin()->second.data, "005.004");
    // A missing link is simply created.
    ::unlink((area_ + "/VERSION").c_str());
    rewrite_kxfs_version(area_.c_str(), "005.004");
    EXPECT_EQ(read_link(area_ + "/VERSION"), "005.004");
}

TEST_F(Version, StaleTemporaryLinkDoesNotBlockTheRewrite) {
    make_symlink("999.999", area_ + "/VERSION");
    make_symlink("999.999", area_ + "/VERSION.bak.bak");
    rewrite_kxfs_version(area_.c_str(), "005.004");
    EXPECT_EQ(read_link(area_ + "/VERSION"), "005.004");
    EXPECT_FALSE(exists(area_ + "/VERSION.bak.bak"));
}

TEST_F(Version, RewriteDeathWhenTheTemporaryNameIsTaken) {
    // Anything but a link at the temporary name is not ours to remove.
    make_symlink("005.003", area_ + "/VERSION");
    write_file(area_ + "/VERSION.bak.bak", "keep");
    EXPECT_EXIT(rewrite_kxfs_version(area_.c_str(), "005.004"), testing::ExitedWithCode(1),
                "Error: can't create temprorary symlink '" + area_ +
                    "/VERSION.bak.bak': File exists");
    EXPECT_EQ(kxtest::read_file(area_ + "/VERSION.bak.bak"), "keep");
    EXPECT_EQ(read_link(area_ + "/VERSION"), "005.003");
}

TEST_F(Version, RewriteDeathWhenTheRenameFails) {
    // A non-empty directory named VERSION cannot be replaced by a link.
    write_file(area_ + "/VERSION/inside", "x");
    EXPECT_EXIT(rewrite_kxfs_version(area_.c_str(), "005.004"), testing::ExitedWithCode(1),
                "Error: can't rename symlink '" + area_ + "/VERSION.bak.bak' to '" + area_ +
                    "/VERSION': ");
    EXPECT_FALSE(exists(area_ + "/VERSION.bak.bak"));
    EXPECT_TRUE(exists(area_ + "/VERSION/inside"));
}

TEST_F(Version, TemplateVerificationRunsThePackageTool) {
    std::string args = host_.path("args");
    host_.add_command("kxpkg", "#!/bin/sh\nfor a; do echo \"[$a]\"; done > " + args +
                                   "\necho checked\nexit ${KXPKG_STATUS:-0}\n");
    CaptureStdout();
    EXPECT_EQ(check_template_area_kxfs3(101), 0);
    EXPECT_EQ(GetCapturedStdout(), "checked\n");
    EXPECT_EQ(kxtest::read_file(args), "[verify]\n[area]\n[101]\n");

    setenv("KXPKG_STATUS", "3", 1);
    CaptureStdout();
    int status = check_template_area_kxfs3(-7);
    GetCapturedStdout();
    unsetenv("KXPKG_STATUS");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(kxtest::read_file(args), "[verify]\n[area]\n[-7]\n");
}

TEST_F(Version, TemplateVerificationTraceAndMissingTool) {
    kxfsutil_debug_level = 4;
    CaptureStderr();
    int status = check_template_area_kxfs3(205);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "executing '" + host_.path("usr/sbin/kxpkg") + " verify area 205'\n");
    // As from a shell: "not found", which is not 0 and not negative.
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
}

}  // namespace
