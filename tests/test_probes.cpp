// Host probes: the mount table, the layout query, UUIDs and the quota tool.
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>

#include "kxtest.h"
#include "libkxfsutil.h"

using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class Probes : public testing::Test {
protected:
    void SetUp() override {
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 4;
    }
    void TearDown() override { kxfsutil_debug_level = saved_level_; }
    // The quota tool prints its arguments to a file, then the given text.
    void quota_prints(const std::string &text) {
        host_.add_command("kxquota", "#!/bin/sh\necho \"$@\" > " + host_.path("quota-args") +
                                         "\necho noise >&2\nprintf '" + text + "'\n");
    }
    int inodes(int veid, std::string *trace = nullptr) {
        CaptureStderr();
        int n = get_inodes_count(veid);
        std::string err = GetCapturedStderr();
        if (trace)
            *trace = err;
        return n;
    }
    kxtest::Host host_;
    int saved_level_ = 0;
};

TEST_F(Probes, MountedAreaIsFoundOnAKxfsLine) {
    host_.write_mounts("proc /proc proc rw 0 0\n"
                       "/dev/sda1:/var/ct/101 /vz/root/101 kxfs rw,relatime 0 0\n"
                       "srv:/var/ct/102 /mnt/102 nfs rw 0 0\n"
                       "/dev/x:/var/ct/1x3 /vz/root/1x3 kxfs rw 0 0");
    EXPECT_EQ(check_mount_kxfs("/var/ct/101"), 1);
    EXPECT_EQ(check_mount_kxfs("/var/ct/10"), 0);   // the blank after the path counts
    EXPECT_EQ(check_mount_kxfs("/var/ct/102"), 0);  // another filesystem type
    EXPECT_EQ(check_mount_kxfs("/var/ct/1x3"), 1);  // last line without newline
    EXPECT_EQ(check_mount_kxfs("/var/ct/1.3"), 0);  // the path is text, not a pattern
    EXPECT_EQ(check_mount_kxfs("/vz/root/101"), 0); // no colon before it
    EXPECT_EQ(check_mount_kxfs(nullptr), 0);
}

TEST_F(Probes, MountProbeNeverRunsThePath) {
    std::string marker = host_.path("marker");
    host_.write_mounts("a:/x kxfs rw 0 0\n");
    std::string path = "/x \" ; touch " + marker + " ; \"";
    EXPECT_EQ(check_mount_kxfs(path.c_str()), 0);
    EXPECT_FALSE(kxtest::exists(marker));
    // A missing mount table means not mounted.
    ::unlink(host_.path("proc/mounts").c_str());
    EXPECT_EQ(check_mount_kxfs("/x"), 0);
}

TEST_F(Probes, SupportFollowsTheLayoutVersion) {
    std::string area = host_.path("vz/private/101");
    for (const char *layout : {"3", "4", "-1"}) {
        write_file(area + "/.layout", layout);
        EXPECT_EQ(check_support_fs(area.c_str()), 1) << layout;
    }
    for (const char *layout : {"5", "7"}) {
        write_file(area + "/.layout", layout);
        EXPECT_EQ(check_support_fs(area.c_str()), 0) << layout;
    }
}

TEST_F(Probes, UuidsAreFreshAndWellFormed) {
    std::unique_ptr<char, decltype(&std::free)> a(generate_uuid(), std::free);
    std::unique_ptr<char, decltype(&std::free)> b(generate_uuid(), std::free);
    ASSERT_TRUE(a && b);
    EXPECT_STRNE(a.get(), b.get());
    for (const char *u : {a.get(), b.get()}) {
        std::string s(u);
        ASSERT_EQ(s.size(), 36u);
        for (size_t i = 0; i < s.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23)
                EXPECT_EQ(s[i], '-') << s;
            else
                EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(s[i]))) << s;
        }
    }
}

TEST_F(Probes, InodeUsageIsTheFirstFigureOfTheSecondLine) {
    quota_prints("100 200 300\\n4321 5000 6000\\n");
    EXPECT_EQ(inodes(101), 4321);
    EXPECT_EQ(kxtest::read_file(host_.path("quota-args")), "-b stat 101\n");
    // Integers as "%i" reads them: decimal, 0x hexadecimal, leading-0 octal.
    quota_prints("1 2 3\\n0x10 0 0\\n");
    EXPECT_EQ(inodes(7), 16);
    quota_prints("1 2 3\\n010 0 0\\n");
    EXPECT_EQ(inodes(7), 8);
    quota_prints("1 2 3\\n  12\\t0x10 010 extra\\n");
    EXPECT_EQ(inodes(7), 12);
    // A last line without its newline still counts.
    quota_prints("1 2 3\\n55 6 7");
    EXPECT_EQ(inodes(7), 55);
}

TEST_F(Probes, BrokenQuotaOutput) {
    std::string trace;
    quota_prints("1 2 3\\n");
    EXPECT_EQ(inodes(101, &trace), -2);
    EXPECT_EQ(trace, "Error while reading inode quota for VPS 101\n");
    quota_prints("1 2 3\\n4 5\\n");
    EXPECT_EQ(inodes(101, &trace), -2);
    quota_prints("");
    EXPECT_EQ(inodes(101, &trace), -1);
    EXPECT_EQ(trace, "Error while reading block quota for VPS 101\n");
    quota_prints("block quota off\\n1 2 3\\n");
    EXPECT_EQ(inodes(101, &trace), -1);
    // The tool's standard error went to /dev/null: only our traces remain.
    EXPECT_EQ(trace.find("noise"), std::string::npos);
}

TEST_F(Probes, MissingQuotaTool) {
    // As from a shell: no output at all, so the first line is missing.
    std::string trace = "unset";
    EXPECT_EQ(inodes(101, &trace), -1);
    EXPECT_EQ(trace, "Error while reading block quota for VPS 101\n");
    kxfsutil_debug_level = 3;
    EXPECT_EQ(inodes(101, &trace), -1);
    EXPECT_EQ(trace, "");
}

}  // namespace
