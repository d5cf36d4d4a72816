// The libkxctl stand-in: the nearest .layout wins, else 4 for an area with
// fs/VERSION, else 3; odd .layout files neither hang nor count.
#include "kxtest.h"
#include "libkxctl.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace {

class Layout : public testing::Test {
protected:
    void SetUp() override { dir_ = kxtest::temp_dir("kxlayout"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    int version(const std::string &rel) const {
        return kxctl_env_layout_version((dir_ + "/" + rel).c_str());
    }
    std::string p(const std::string &rel) const { return dir_ + "/" + rel; }
    std::string dir_;
};

TEST_F(Layout, NearestLayoutFileWins) {
    kxtest::make_dirs(p("a/b/c"));
    EXPECT_EQ(version("a/b/c"), 3);
    kxtest::write_file(p("a/.layout"), "5\n");
    EXPECT_EQ(version("a/b/c"), 5);
    EXPECT_EQ(version("a/b/c/"), 5);
    EXPECT_EQ(version("a"), 5);
    kxtest::write_file(p("a/b/.layout"), "7");
    EXPECT_EQ(version("a/b/c"), 7);
    EXPECT_EQ(version("a"), 5);
    // A layout file beats the area's own tree.
    kxtest::write_file(p("a/b/c/fs/VERSION"), "");
    EXPECT_EQ(version("a/b/c"), 7);
}

TEST_F(Layout, AreaTreeInFsGivesFour) {
    kxtest::make_dirs(p("area/fs"));
    EXPECT_EQ(version("area"), 3);
    kxtest::make_symlink("005.004", p("area/fs/VERSION"));
    EXPECT_EQ(version("area"), 4);
    EXPECT_EQ(version("area//"), 4);
    // fs must be the area's own directory, not a link to one.
    kxtest::make_dirs(p("other"));
    kxtest::make_symlink(p("area/fs"), p("other/fs"));
    EXPECT_EQ(version("other"), 3);
    EXPECT_EQ(kxctl_env_layout_version(""), 3);
    EXPECT_EQ(kxctl_env_layout_version(nullptr), 3);
}

TEST_F(Layout, OddLayoutFilesAreSkipped) {
    kxtest::make_dirs(p("a/b"));
    kxtest::write_file(p("a/.layout"), "4");
    kxtest::write_file(p("a/b/.layout"), "not a number");
    EXPECT_EQ(version("a/b"), 4);
    std::filesystem::remove(p("a/b/.layout"));
    kxtest::write_file(p("a/b/.layout"), "99999999999");
    EXPECT_EQ(version("a/b"), 4);
    std::filesystem::remove(p("a/b/.layout"));
    // A fifo must not block the caller; a link is not followed.
    ASSERT_EQ(mkfifo(p("a/b/.layout").c_str(), 0644), 0);
    EXPECT_EQ(version("a/b"), 4);
    std::filesystem::remove(p("a/b/.layout"));
    kxtest::write_file(p("elsewhere"), "9");
    kxtest::make_symlink(p("elsewhere"), p("a/b/.layout"));
    EXPECT_EQ(version("a/b"), 4);
}

}  // namespace
