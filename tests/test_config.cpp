// The container configuration file: link resolution, the parsing rules,
// adding and rewriting parameters, and the private-area path.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kxtest.h"
#include "libkxfsutil.h"

using kxtest::make_symlink;
using kxtest::read_file;
using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::string take(char *s) {
    std::unique_ptr<char, decltype(&std::free)> owned(s, std::free);
    return s ? std::string(s) : std::string("<null>");
}

class Config : public testing::Test {
protected:
    void SetUp() override {
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 3;
    }
    void TearDown() override { kxfsutil_debug_level = saved_level_; }
    std::string param(int veid, const char *name) { return take(read_ve_config_param(veid, name)); }
    std::string file_param(const std::string &text, const char *name) {
        std::string f = host_.path("ve.conf");
        write_file(f, text);
        return take(read_ve_file_config_param(f.c_str(), name));
    }
    kxtest::Host host_;
    int saved_level_ = 0;
};

TEST_F(Config, ParsingRules) {
    struct Case {
        const char *text, *name, *value;
    } cases[] = {
        {"VE_PRIVATE=\"/vz/private/$VEID\"\n", "VE_PRIVATE", "/vz/private/$VEID"},
        {"UUID=abc\tdef\n", "UUID", "abc"},                    // unquoted ends at a tab
        {"NAME=\"a b  c\"\n", "NAME", "a b  c"},               // blanks belong to it
        {"NAME=a b\n", "NAME", "a b"},
        {"NAME=\"\"\n", "NAME", "<null>"},                     // empty quotes: nothing
        {"NAME=\"one\"\nNAME=\"\"\n", "NAME", "one"},          // ...or the earlier value
        {"NAME=one\nNAME=two\n", "NAME", "two"},               // the last line wins
        {" NAME=x\n#NAME=y\n", "NAME", "<null>"},              // only at the line start
        {"VE_PRIVATE_OLD=\"/old\"\n", "VE_PRIVATE", "<null>"}, // "=" must follow the name
        {"VE_PRIVATE=\"/new\"\nVE_PRIVATE_OLD=\"/old\"\n", "VE_PRIVATE", "/new"},
        {"NAME =x\nNAME\t=y\n", "NAME", "<null>"},
        {"NAME==\"=x=\"", "NAME", "x"},                        // no final newline
        {"NAME", "NAME", "<null>"},
        {"OTHER=1\n", "NAME", "<null>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(file_param(c.text, c.name), c.value) << c.text;
}

TEST_F(Config, LongLinesAreReadWhole) {
    // A tail fragment of a long line must not count as a line of its own:
    // read in pieces of 4095 characters, the third piece of the long line
    // would begin with "UUID=" and win as the last definition.
    std::string lead = "UUID=\"real\"\n";
    std::string line = "COMMENT=\"" + std::string(5000, 'x') + "\"";
    line += std::string(2 * 4095 - line.size(), ' ') + "UUID=\"forged\"\n";
    EXPECT_EQ(file_param(lead + line, "UUID"), "real");
    EXPECT_EQ(file_param(lead + line, "COMMENT"), std::string(5000, 'x'));
}

// A line longer than any parameter is passed over, however long it is,
// and said to be so; the lines after it are read.
TEST_F(Config, EndlessLinesArePassedOver) {
    const std::string f = host_.path("ve.conf");
    const std::string at_bound = "UUID=\"" + std::string(65536 - 7, 'b') + "\"";
    const std::string over = "UUID=\"" + std::string(65536 - 6, 'o') + "\"";
    write_file(f, "UUID=\"real\"\n" + at_bound + "\n");
    EXPECT_EQ(take(read_ve_file_config_param(f.c_str(), "UUID")), std::string(65536 - 7, 'b'));
    write_file(f, "UUID=\"real\"\n" + over + "\nOTHER=1\n");
    CaptureStdout();
    EXPECT_EQ(take(read_ve_file_config_param(f.c_str(), "UUID")), "real");
    EXPECT_EQ(GetCapturedStdout(),
              "Warning: Line 2 of '" + f + "' is longer than 65536 bytes: ignored\n");
    kxtest::write_sparse_file(f, "OSTEMPLATE=\"", off_t(3) << 30, "\nOSTEMPLATE=\"after\"\n");
    EXPECT_EXIT(
        {
            kxtest::limit_address_space(256 << 20);
            kxfsutil_debug_level = 0;
            std::exit(take(read_ve_file_config_param(f.c_str(), "OSTEMPLATE")) == "after" ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(Config, ReadTraces) {
    kxfsutil_debug_level = 4;
    host_.write_conf(101, "UUID=\"u-1\"\n");
    std::string conf = host_.conf_path(101);
    CaptureStderr();
    EXPECT_EQ(param(101, "UUID"), "u-1");
    EXPECT_EQ(param(101, "OSTEMPLATE"), "<null>");
    EXPECT_EQ(GetCapturedStderr(), "real path '" + conf + "'\nUUID=\"u-1\" from " + conf +
                                       "\nreal path '" + conf + "'\nUnable to load OSTEMPLATE from '" +
                                       conf + "'\n");
}

TEST_F(Config, ReadDeathWhenTheFileCannotBeOpened) {
    std::string f = host_.path("nothing.conf");
    EXPECT_EXIT(read_ve_file_config_param(f.c_str(), "X"), testing::ExitedWithCode(1),
                "Error: Unable to open '" + f + "': No such file or directory");
    EXPECT_EXIT(read_ve_config_param(999, "X"), testing::ExitedWithCode(1),
                "Error: Can't stat '" + host_.conf_path(999) + "': No such file");
}

TEST_F(Config, RealPathFollowsTheChain) {
    std::string real = host_.path("store/101.conf");
    write_file(real, "x");
    make_symlink(real, host_.path("one"));
    make_symlink(host_.path("one"), host_.path("two"));
    char buf[PATH_MAX];
    std::strcpy(buf, host_.path("two").c_str());
    EXPECT_EQ(get_realpath(buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf), real);
    EXPECT_EQ(get_realpath(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), real);
    // The result is cut to the buffer, always terminated.
    std::strcpy(buf, host_.path("two").c_str());
    EXPECT_EQ(get_realpath(buf, 6), 2);
    EXPECT_EQ(std::string(buf), real.substr(0, 5));
}

TEST_F(Config, RelativeTargetsAreTakenFromTheLinksDirectory) {
    write_file(host_.path("etc/sysconfig/kx-scripts/store/real.conf"), "UUID=\"rel\"\n");
    make_symlink("store/real.conf", host_.conf_path(101));
    // The working directory must not matter.
    std::string elsewhere = host_.path("elsewhere");
    kxtest::make_dirs(elsewhere + "/store");
    write_file(elsewhere + "/store/real.conf", "UUID=\"wrong\"\n");
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(elsewhere.c_str()), 0);
    std::string value = param(101, "UUID");
    char buf[PATH_MAX];
    std::strcpy(buf, host_.conf_path(101).c_str());
    int links = get_realpath(buf, sizeof buf);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(value, "rel");
    EXPECT_EQ(links, 1);
    EXPECT_EQ(std::string(buf), host_.path("etc/sysconfig/kx-scripts/store/real.conf"));
}

TEST_F(Config, RealPathGivesUpAfter100Links) {
    make_symlink("loop", host_.path("loop"));
    char buf[PATH_MAX];
    std::string start = host_.path("loop");
    std::strcpy(buf, start.c_str());
    EXPECT_EQ(get_realpath(buf, sizeof buf), -1);
    EXPECT_EQ(std::string(buf), start);
    // 99 links to a file still resolve.
    write_file(host_.path("end"), "");
    std::string prev = host_.path("end");
    for (int i = 0; i < 99; ++i) {
        std::string link = host_.path("l" + std::to_string(i));
        make_symlink(prev, link);
        prev = link;
    }
    std::strcpy(buf, prev.c_str());
    EXPECT_EQ(get_realpath(buf, sizeof buf), 99);
    EXPECT_EQ(std::string(buf), host_.path("end"));
}

TEST_F(Config, RealPathDeath) {
    std::string gone = host_.path("gone");
    char buf[PATH_MAX];
    std::strcpy(buf, gone.c_str());
    EXPECT_EXIT(get_realpath(buf, sizeof buf), testing::ExitedWithCode(1),
                "Error: Can't stat '" + gone + "': No such file or directory");
    // A dangling link fails at its target but names the caller's path.
    make_symlink(host_.path("nowhere"), host_.path("dangling"));
    std::strcpy(buf, host_.path("dangling").c_str());
    EXPECT_EXIT(get_realpath(buf, sizeof buf), testing::ExitedWithCode(1),
                "Error: Can't stat '" + host_.path("dangling") + "': No such file");
}

TEST_F(Config, PrivateAreaExpandsTheFirstVeid) {
    struct Case {
        const char *value, *expanded;
    } cases[] = {
        {"/a/$VEID", "/a/101"},
        {"/a/$VEID/b/$VEID", "/a/101/b/$VEID"},
        {"/vz/private/x", "/vz/private/x"},
        {"$VEID", "101"},
    };
    for (const auto &c : cases) {
        host_.write_conf(101, std::string("VE_PRIVATE=\"") + c.value + "\"\n");
        EXPECT_EQ(take(read_ve_private(101)), c.expanded) << c.value;
    }
}

TEST_F(Config, PrivateAreaDeathWhenMissing) {
    host_.write_conf(101, "UUID=\"x\"\n");
    EXPECT_EXIT(read_ve_private(101), testing::ExitedWithCode(1),
                "Error: Can't read from VE_PRIVATE config for CT 101.\n");
}

TEST_F(Config, AddKeepsTheLastLineIntact) {
    host_.write_conf(101, "VE_PRIVATE=\"/vz/101\"");
    EXPECT_EQ(add_ve_config_param(101, "UUID", "0a1b"), 0);
    EXPECT_EQ(read_file(host_.conf_path(101)), "VE_PRIVATE=\"/vz/101\"\nUUID=\"0a1b\"\n");
    EXPECT_EQ(param(101, "VE_PRIVATE"), "/vz/101");
    EXPECT_EQ(add_ve_config_param(101, "VEFORMAT", "kx4"), 0);
    EXPECT_EQ(read_file(host_.conf_path(101)),
              "VE_PRIVATE=\"/vz/101\"\nUUID=\"0a1b\"\nVEFORMAT=\"kx4\"\n");
    host_.write_conf(102, "");
    EXPECT_EQ(add_ve_config_param(102, "UUID", "z"), 0);
    EXPECT_EQ(read_file(host_.conf_path(102)), "UUID=\"z\"\n");
}

TEST_F(Config, AddGoesToTheLinkedFile) {
    std::string real = host_.path("store/101.conf");
    write_file(real, "A=\"1\"\n");
    make_symlink(real, host_.conf_path(101));
    add_ve_config_param(101, "B", "2");
    EXPECT_EQ(read_file(real), "A=\"1\"\nB=\"2\"\n");
    EXPECT_TRUE(S_ISLNK(kxtest::lstat_of(host_.conf_path(101)).st_mode));
}

TEST_F(Config, CorrectRewritesOnlyTheParameterLines) {
    std::string text = "# UUID=\"comment\"\nUUID=\"old\" # trailing\nUUIDX=\"other\"\n"
                       "  UUID=\"indented\"\nUUID=old2\nLAST=\"no newline\"";
    host_.write_conf(101, text);
    std::string conf = host_.conf_path(101);
    ASSERT_EQ(::chmod(conf.c_str(), 0640), 0);
    ino_t before = kxtest::lstat_of(conf).st_ino;
    kxfsutil_debug_level = 4;
    CaptureStderr();
    EXPECT_EQ(correct_ve_config_param(101, "UUID", "new-id"), 0);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(read_file(conf), "# UUID=\"comment\"\nUUID=\"new-id\"\nUUIDX=\"other\"\n"
                               "  UUID=\"indented\"\nUUID=\"new-id\"\nLAST=\"no newline\"");
    EXPECT_NE(err.find("execute: sed -i 's#\\(^UUID=\\).*#\\1\"new-id\"#g' " + conf + " \n"),
              std::string::npos)
        << err;
    // Replaced, not written in place: a new inode with the old mode and owner.
    struct stat after = kxtest::lstat_of(conf);
    EXPECT_NE(after.st_ino, before);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, geteuid());
    auto dir = kxtest::snapshot(host_.path("etc/sysconfig/kx-scripts"));
    EXPECT_EQ(dir.size(), 1u);  // no temporary file left
}

TEST_F(Config, CorrectKeepsTheOwnerAsRoot) {
    KX_REQUIRE_ROOT();
    host_.write_conf(101, "UUID=\"old\"\n");
    std::string conf = host_.conf_path(101);
    ASSERT_EQ(::chown(conf.c_str(), 123, 456), 0);
    correct_ve_config_param(101, "UUID", "new");
    struct stat st = kxtest::lstat_of(conf);
    EXPECT_EQ(st.st_uid, 123u);
    EXPECT_EQ(st.st_gid, 456u);
}

TEST_F(Config, CorrectTakesValuesLiterally) {
    // Characters that a stream editor or a shell would read are plain text.
    host_.write_conf(101, "X=\"1\"\n");
    correct_ve_config_param(101, "X", "a#b&c'd e;f|g");
    EXPECT_EQ(read_file(host_.conf_path(101)), "X=\"a#b&c'd e;f|g\"\n");
}

TEST_F(Config, DangerousValuesAreRefused) {
    host_.write_conf(101, "UUID=\"old\"\n");
    const char *bad[] = {"a\nVE_PRIVATE=/etc", "a\"b", "a\\", "$(id)", "`id`"};
    for (const char *value : bad) {
        EXPECT_EXIT(correct_ve_config_param(101, "UUID", value), testing::ExitedWithCode(1),
                    "Error: Warning: Some error occur during correction config " +
                        host_.conf_path(101) + " \n: Invalid argument")
            << value;
        EXPECT_EXIT(add_ve_config_param(101, "UUID", value), testing::ExitedWithCode(1),
                    "Error: Error during write to file '" + host_.conf_path(101) +
                        "'\n: Invalid argument");
    }
    EXPECT_EQ(read_file(host_.conf_path(101)), "UUID=\"old\"\n");
}

TEST_F(Config, SaveTouchesNothingForTheSameValue) {
    host_.write_conf(101, "UUID=\"same\"\n");
    std::string conf = host_.conf_path(101);
    struct stat before = kxtest::lstat_of(conf);
    EXPECT_EQ(save_ve_config_param(101, "UUID", "same"), 0);
    struct stat after = kxtest::lstat_of(conf);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(save_ve_config_param(101, "UUID", "other"), 0);
    EXPECT_EQ(read_file(conf), "UUID=\"other\"\n");
    EXPECT_EQ(save_ve_config_param(101, "NEW", "v"), 0);
    EXPECT_EQ(read_file(conf), "UUID=\"other\"\nNEW=\"v\"\n");
}

TEST_F(Config, UpdateExtendsAList) {
    host_.write_conf(101, "FEATURES=\"a b  \"\n");
    kxfsutil_debug_level = 4;
    CaptureStderr();
    update_ve_config(101, "FEATURES", "c");
    std::string err = GetCapturedStderr();
    EXPECT_EQ(read_file(host_.conf_path(101)), "FEATURES=\"a b c\"\n");
    EXPECT_NE(err.find("new parameter: FEATURES=\"a b c\"\n"), std::string::npos);
    kxfsutil_debug_level = 3;
    // A word already there, even inside a longer one, changes nothing.
    host_.write_conf(101, "VEFORMAT=\"kx45\"\n");
    update_ve_config(101, "VEFORMAT", "kx4");
    EXPECT_EQ(read_file(host_.conf_path(101)), "VEFORMAT=\"kx45\"\n");
    // A missing parameter is added.
    update_ve_config(101, "OTHER", "w");
    EXPECT_EQ(read_file(host_.conf_path(101)), "VEFORMAT=\"kx45\"\nOTHER=\"w\"\n");
}

}  // namespace
