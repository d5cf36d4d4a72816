// kxfsclone end to end: its command line, its checks, a clone to another
// container and a correction in place, compared entry by entry.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"
#include "tree_compare.h"

using kxcmp::kUuid1;
using kxcmp::kUuid2;
using kxtest::exists;
using kxtest::lstat_of;
using kxtest::read_file;
using kxtest::write_file;

namespace {

const std::string kUsage =
    "kxfsclone [-shqvV] <src-ctid> <dst-ctid>\n"
    "kxfsclone [-shqvV] -c <ctid>\n"
    "\t\t-c   correct pointers to new uuid\n"
    "\t\t-s   skip lock\n"
    "\t\t-V   print version\n"
    "\t\t-v   verbose mode\n"
    "\t\t-p   show progress\n"
    "\t\t-q   quiet mode\n";

kxtest::Run clone(const std::vector<std::string> &args) {
    std::vector<std::string> argv{kxtest::tool("kxfsclone")};
    argv.insert(argv.end(), args.begin(), args.end());
    return kxtest::run(argv);
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// What a refused run must leave as it was: every entry below dir with its
// type, mode, inode, modification time and content.
std::map<std::string, std::string> picture(const std::string &dir) {
    std::map<std::string, std::string> p;
    if (!kxtest::exists(dir))
        return p;
    for (const auto &[path, e] : kxtest::snapshot(dir))
        p[path] = std::to_string(e.mode) + " " + std::to_string(e.ino) + " " +
                  std::to_string(e.mtime_sec) + " " + e.data;
    return p;
}

struct CommandCase {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // "USAGE" for the usage text; "...USAGE" when it ends so
};

TEST(KxfscloneCommandLine, ArgumentsStatusesAndTexts) {
    kxtest::Host host;
    const CommandCase cases[] = {
        {{"101", "101"}, 1, "", "Error: Source and destination CT equals\n"},
        {{"0", "102"}, 2, "", "USAGE"},
        {{"101", "0"}, 2, "", "USAGE"},
        {{"abc", "102"}, 2, "", "USAGE"},
        {{"99999999999", "102"}, 2, "", "USAGE"},
        {{"101"}, 2, "", "USAGE"},
        {{}, 2, "", "USAGE"},
        {{"101", "102", "103"}, 2, "", "USAGE"},
        {{"-c", "101", "102"}, 2, "", "USAGE"},
        {{"-c"}, 2, "", "USAGE"},
        {{"-c", "0"}, 2, "", "USAGE"},
        {{"-h"}, 2, "", "USAGE"},
        {{"--help", "101", "102"}, 2, "", "USAGE"},
        {{"-x", "101", "102"}, 2, "", "...USAGE"},
        {{"--bogus", "101", "102"}, 2, "", "...USAGE"},
        {{"-V"}, 0, "kxfsclone version 2.0.0\n", ""},
        {{"--version", "101"}, 0, "kxfsclone version 2.0.0\n", ""},
    };
    for (const CommandCase &c : cases) {
        std::string shown;
        for (const std::string &a : c.args)
            shown += a + " ";
        kxtest::Run r = clone(c.args);
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_EQ(r.out, c.out) << shown;
        if (c.err == "USAGE") {
            EXPECT_EQ(r.err, kUsage) << shown;
        } else if (c.err == "...USAGE") {
            EXPECT_TRUE(ends_with(r.err, kUsage) && r.err != kUsage) << shown << r.err;
        } else {
            EXPECT_EQ(r.err, c.err) << shown;
        }
    }
}

class Kxfsclone : public testing::Test {
protected:
    void SetUp() override {
        src_ = host_.path("vz/private/101");
        dst_ = host_.path("vz/private/102");
        cache_ = host_.template_root() + "/vc";
    }
    void conf(int veid, const std::string &uuid, const std::string &priv = "") {
        std::string text = "VE_PRIVATE=\"" +
                           (priv.empty() ? host_.path("vz/private/$VEID") : priv) + "\"\n";
        if (!uuid.empty())
            text += "UUID=\"" + uuid + "\"\n";
        host_.write_conf(veid, text);
    }
    std::string conf_text(int veid) const { return read_file(host_.conf_path(veid)); }
    // The uuid a configuration names (the last UUID line).
    std::string uuid_of(int veid) const {
        std::smatch m;
        std::string text = conf_text(veid);
        std::string found;
        std::regex line("UUID=\"([^\"]*)\"");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
             it != std::sregex_iterator(); ++it)
            found = (*it)[1];
        return found;
    }
    kxcmp::Fixture build(const std::string &uuid = kUuid1) {
        kxcmp::build_cache(host_.template_root(), uuid);
        kxcmp::Fixture fx = kxcmp::build_area(src_, host_.template_root(), uuid);
        kxcmp::settle_times(src_);
        return fx;
    }
    void expect_cache_clone(const std::string &from, const std::string &to) {
        kxcmp::Tree a = kxcmp::snapshot(cache_ + "/" + from);
        kxcmp::Tree b = kxcmp::snapshot(cache_ + "/" + to);
        ASSERT_EQ(a.size(), b.size());
        for (const auto &[path, node] : a) {
            ASSERT_TRUE(b.count(path)) << path;
            if (S_ISREG(node.e.mode)) {
                EXPECT_EQ(b.at(path).e.ino, node.e.ino) << path;
            }
        }
        EXPECT_EQ(b.at("usr/lib/libc.so.6").e.data, "////vc/" + to + "/usr/lib/libc.so");
        EXPECT_EQ(a.at("usr/lib/libc.so.6").e.data, "////vc/" + from + "/usr/lib/libc.so");
        EXPECT_TRUE(b.count(".lck"));
    }

    kxtest::Host host_;
    std::string src_, dst_, cache_;
};

TEST_F(Kxfsclone, CloneReproducesTheAreaUnderANewUuid) {
    KX_REQUIRE_ROOT();
    conf(101, kUuid1);
    conf(102, "");
    kxcmp::Fixture fx = build();
    kxcmp::Tree before = kxcmp::snapshot(src_);

    kxtest::Run r = clone({"-s", "101", "102"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    std::string uuid = uuid_of(102);
    ASSERT_EQ(uuid.size(), 36u);
    EXPECT_NE(uuid, kUuid1);
    EXPECT_TRUE(ends_with(conf_text(102), "UUID=\"" + uuid + "\"\n"));
    EXPECT_EQ(uuid_of(101), kUuid1);

    // The top ".lck" is left out; everything else is there, pointers rewritten.
    kxcmp::expect_same_tree(before, kxcmp::snapshot(dst_), fx.rewritten_for(uuid), {".lck"},
                            fx.index_set());
    EXPECT_EQ(read_file(dst_ + "/root/.lck"), "deep lock");
    for (const std::string &index : fx.indexes) {
        std::vector<std::string> want;
        for (const std::string &t : kxcmp::index_targets(src_ + "/" + index))
            want.push_back(kxcmp::replace_all(t, kUuid1, uuid));
        EXPECT_EQ(kxcmp::index_targets(dst_ + "/" + index), want);
    }
    expect_cache_clone(kUuid1, uuid);
    kxcmp::expect_same_tree(before, kxcmp::snapshot(src_));
}

TEST_F(Kxfsclone, DestinationUuidIsUsedAsItIs) {
    KX_REQUIRE_ROOT();
    conf(101, kUuid1);
    conf(102, kUuid2);
    kxcmp::Fixture fx = build();
    std::string conf_before = conf_text(102);
    kxtest::Run r = clone({"101", "102"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(conf_text(102), conf_before);
    EXPECT_EQ(kxtest::read_link(dst_ + "/root/ml_cache"), std::string("////vc/") + kUuid2 + "/bin/sh");
    EXPECT_TRUE(exists(dst_ + "/.lck"));
    expect_cache_clone(kUuid1, kUuid2);
}

TEST_F(Kxfsclone, WithoutSourceUuidPointersStayAndCacheAreasAreUntouched) {
    KX_REQUIRE_ROOT();
    conf(101, "");
    conf(102, "");
    build();
    kxcmp::Tree before = kxcmp::snapshot(src_);
    std::string conf_before = conf_text(102);
    kxtest::Run r = clone({"101", "102"});
    ASSERT_EQ(r.status, 0) << r.err;
    kxcmp::expect_same_tree(before, kxcmp::snapshot(dst_));
    EXPECT_EQ(conf_text(102), conf_before);
    EXPECT_EQ(kxtest::snapshot(cache_).size(), kxtest::snapshot(cache_ + "/" + kUuid1).size() + 1);
}

TEST_F(Kxfsclone, UuidChecksComeBeforeAnyCopy) {
    conf(101, kUuid1);
    write_file(src_ + "/f", "f");
    struct Case {
        std::string dst_uuid;
        std::string err;
    } cases[] = {
        {kUuid1, "Error: Source and destination UUID equals\n"},
        {"short", "Error: Source and destination UUID length are not equal\n"},
        {"../../../../../../../../../../../etc", "Error: Invalid UUID '../../../../../../../../../../../etc' of CT 102\n"},
    };
    for (const Case &c : cases) {
        conf(102, c.dst_uuid);
        kxtest::Run r = clone({"101", "102"});
        EXPECT_EQ(r.status, 1) << c.dst_uuid;
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(exists(dst_)) << c.dst_uuid;
    }
}

// Each refusal leaves the destination, the source and the configuration
// directory (no uuid added, no state of a run) as they were.
TEST_F(Kxfsclone, RefusalsComeBeforeAnyChange) {
    conf(101, kUuid1);
    write_file(src_ + "/f", "new");
    const std::string cwd = host_.path("cwd");
    kxtest::make_dirs(cwd);
    struct Case {
        std::string conf102;  // the destination's configuration
        std::string err;
    } cases[] = {
        // An entry the copy would meet in the destination.
        {"VE_PRIVATE=\"" + dst_ + "\"\n", "Error: Already exist '" + dst_ + "//f'\n"},
        // A destination inside the source, not there yet.
        {"VE_PRIVATE=\"" + src_ + "/a/b/../inner\"\n",
         "Error: Destination private area " + src_ + "/a/b/../inner is inside the source "
         "private area " + src_ + "\n"},
        // A relative path, or only a longer name that begins with VE_PRIVATE.
        {"VE_PRIVATE=\"_OLD\"\n", "Error: Private area '_OLD' of CT 102 is not an absolute path\n"},
        {"VE_PRIVATE_OLD=\"" + dst_ + "\"\n",
         "Error: Can't read from VE_PRIVATE config for CT 102.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.conf102);
        host_.write_conf(102, c.conf102);
        write_file(dst_ + "/f", "old");
        const std::string confdir = host_.path("etc/sysconfig/kx-scripts");
        auto before_conf = picture(confdir), before_src = picture(src_), before_dst = picture(dst_);
        kxtest::RunOptions o;
        o.cwd = cwd;
        kxtest::Run r = kxtest::run_with({kxtest::tool("kxfsclone"), "101", "102"}, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
        EXPECT_EQ(picture(confdir), before_conf);
        EXPECT_EQ(picture(src_), before_src);
        EXPECT_EQ(picture(dst_), before_dst);
        EXPECT_FALSE(exists(src_ + "/inner"));
        EXPECT_TRUE(picture(cwd).empty());
    }
    // A source area named by a relative path.
    conf(101, kUuid1, "vz/private/101");
    kxtest::Run r = clone({"101", "103"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Private area 'vz/private/101' of CT 101 is not an absolute path\n");
}

TEST_F(Kxfsclone, RefusedAreas) {
    conf(101, kUuid1);
    conf(102, "");
    write_file(src_ + "/f", "f");
    write_file(src_ + "/.layout", "5\n");
    kxtest::Run r = clone({"101", "102"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Private area is based on hdimage device. KXFS is prohibited.\n");
    EXPECT_FALSE(exists(dst_));
    unlink((src_ + "/.layout").c_str());

    // A mounted area is refused only for a correction.
    host_.write_mounts("kxfs:" + src_ + " /vz/root/101 kxfs rw 0 0\n");
    r = clone({"-c", "101"});
    EXPECT_EQ(r.status, 1);
    // Fatal with the system's error text, as for the other tools.
    EXPECT_TRUE(r.err.starts_with("Error: Private area is mounted. Please, umount private area: "))
        << r.err;
    EXPECT_EQ(uuid_of(101), kUuid1);
    r = clone({"101", "102"});
    EXPECT_EQ(r.status, 0) << r.err;

    // A destination inside the source would copy itself without end.
    conf(103, "", src_ + "/inner");
    r = clone({"101", "103"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Destination private area " + src_ + "/inner is inside the source "
                     "private area " + src_ + "\n");
    EXPECT_FALSE(exists(src_ + "/inner"));

    // A source area that cannot be entered.
    conf(104, "", host_.path("nowhere"));
    r = clone({"104", "102"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: kxfsclone: can't chdir '" + host_.path("nowhere") +
                         "': No such file or directory\n");
}

TEST_F(Kxfsclone, CorrectionRewritesInPlaceAndRecordsTheUuidLast) {
    KX_REQUIRE_ROOT();
    conf(101, kUuid1);
    kxcmp::Fixture fx = build();
    kxcmp::Tree before = kxcmp::snapshot(src_);
    kxtest::Run r = clone({"-c", "101"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string uuid = uuid_of(101);
    ASSERT_EQ(uuid.size(), 36u);
    ASSERT_NE(uuid, kUuid1);
    EXPECT_EQ(conf_text(101).find(kUuid1), std::string::npos);

    kxcmp::Tree after = kxcmp::snapshot(src_);
    std::map<std::string, std::string> rewritten = fx.rewritten_for(uuid);
    kxcmp::expect_same_tree(before, after, rewritten, {}, fx.index_set());
    for (const auto &[path, node] : before) {
        if (!rewritten.count(path) && !fx.index_set().count(path)) {
            EXPECT_EQ(after.at(path).e.ino, node.e.ino) << path;
        }
    }
    EXPECT_EQ(after.at("root/hard_ml1").e.ino, after.at("root/other/hard_ml2").e.ino);
    expect_cache_clone(kUuid1, uuid);
}

TEST_F(Kxfsclone, InterruptedCorrectionKeepsTheOldUuid) {
    conf(101, kUuid1);
    kxtest::make_magic_link(src_ + "/link", std::string("vc/") + kUuid1 + "/x");
    kxtest::make_dirs(cache_);
    write_file(cache_ + "/" + kUuid1, "not a directory");
    kxtest::Run r = clone({"-c", "101"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: " + cache_ + "/" + kUuid1 + " is not directory: Not a directory\n");
    EXPECT_EQ(uuid_of(101), kUuid1);
    EXPECT_EQ(kxtest::read_link(src_ + "/link").find(kUuid1), std::string::npos);
}

TEST_F(Kxfsclone, CorrectionWithoutUuidChangesNothing) {
    conf(101, "");
    write_file(src_ + "/f", "f");
    kxtest::make_magic_link(src_ + "/l", std::string("vc/") + kUuid1 + "/x");
    auto before = kxtest::snapshot(src_);
    std::string conf_before = conf_text(101);
    kxtest::Run r = clone({"-c", "101"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "UUID is not defined.\n");
    r = clone({"-q", "-c", "101"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    r = clone({"-v", "-q", "-v", "-c", "101"});
    EXPECT_EQ(r.out + r.err, "");
    auto after = kxtest::snapshot(src_);
    ASSERT_EQ(after.size(), before.size());
    for (const auto &[path, e] : before)
        EXPECT_EQ(after.at(path).ino, e.ino) << path;
    EXPECT_EQ(conf_text(101), conf_before);
}

TEST_F(Kxfsclone, ProgressLineFollowsTheCopy) {
    conf(101, "");
    conf(102, "");
    for (int i = 0; i < 4; ++i)
        write_file(src_ + "/d/f" + std::to_string(i), "");
    write_file(src_ + "/top", "");
    host_.add_command("kxquota", "#!/bin/sh\necho 1 2 3\necho 10 0 0\n");
    kxtest::Run r = clone({"-p", "101", "102"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The top directory holds one single-link entry, d four more.
    EXPECT_EQ(r.out, " \rprocessing 10%\r \rprocessing 50%\r\r \rprocessing 100%\ndone\n");

    // Without an answer from the quota tool there is no progress display.
    unlink(host_.path("usr/sbin/kxquota").c_str());
    conf(103, "");
    r = clone({"-p", "101", "103"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Warning: can't read quota for CT 101\n");
    conf(104, "");
    r = clone({"-q", "-p", "101", "104"});
    EXPECT_EQ(r.out + r.err, "");
}


// A cow file is named after the whole text of its magic link: when a clone
// or a correction rewrites a cache link, the cow file goes under the name
// of the new text, for a marked link, for two links that share one cow
// file and for a link with two names. The checker then finds the copy and
// the corrected area as sound as the source.
TEST_F(Kxfsclone, CowFilesFollowTheirLinks) {
    KX_REQUIRE_ROOT();
    conf(101, kUuid1);
    conf(102, "");
    kxcheck::Area area(host_, "vz/private/101", "005.004");
    const std::string vc = std::string("vc/") + kUuid1;
    for (const char *f : {"/lib/libc.so", "/bin/sh", "/lib/libm.so"})
        area.template_file(vc + f, f);
    area.marked("lib/libc", vc + "/lib/libc.so");
    area.cow_file(vc + "/lib/libc.so", "changed libc");
    area.marked("bin/sh", vc + "/bin/sh");
    area.marked("sbin/sh", vc + "/bin/sh");
    area.cow_file(vc + "/bin/sh", "changed sh");
    std::string libm = area.marked("lib/libm", vc + "/lib/libm.so");
    kxtest::make_dirs(area.at("root/usr"));
    ASSERT_EQ(link(libm.c_str(), area.at("root/usr/libm").c_str()), 0);
    area.cow_file(vc + "/lib/libm.so", "changed libm");
    auto sound = [](const kxtest::Run &r, const std::string &what) {
        EXPECT_EQ(r.status, 0) << what;
        EXPECT_EQ(r.out + r.err, "") << what;
    };
    sound(area.check({"--call"}), "source");
    auto cows_follow = [](const kxcheck::Area &a, const std::string &uuid) {
        const std::string nvc = "vc/" + uuid;
        EXPECT_EQ(read_file(a.cow_path(nvc + "/lib/libc.so")), "changed libc");
        EXPECT_EQ(read_file(a.cow_path(nvc + "/bin/sh")), "changed sh");
        EXPECT_EQ(read_file(a.cow_path(nvc + "/lib/libm.so")), "changed libm");
        EXPECT_EQ(kxtest::snapshot(a.cow).size(), 3u);
    };

    kxtest::Run r = clone({"101", "102"});
    ASSERT_EQ(r.status, 0) << r.err;
    kxcheck::Area copy(host_, "vz/private/102", "");
    cows_follow(copy, uuid_of(102));
    sound(copy.check({"--call"}), "copy");

    r = clone({"-c", "101"});
    ASSERT_EQ(r.status, 0) << r.err;
    cows_follow(area, uuid_of(101));
    sound(area.check({"--call"}), "corrected area");
}

// A clone or correction with every call of one kind on one entry failing
// (as a full disk, a quota or a failing device make them fail): the run
// says what failed and ends with 1, and the same command run again
// finishes the job.
TEST(KxfscloneFaults, FailedCallsAreReportedAndARerunFinishes) {
    KX_REQUIRE_ROOT();
    const char *fail = std::getenv("KXFS_FAIL_PRELOAD");
    ASSERT_NE(fail, nullptr);
    const char *sim = std::getenv("LD_PRELOAD");
    struct Case {
        bool correct;
        const char *calls;    // the failing calls
        const char *match;    // the object's path holds it
        std::string message;  // part of what the run says; {S} source, {D} destination
    } cases[] = {
        {false, "chown", "/102/root/file", "Error: Error chown '{D}//root/file': "},
        {false, "chmod", "/102/root/setuid", "Error: Error chmod '{D}//root/setuid': "},
        {false, "utime", "/102/root/sticky_plain", "Error: Error utime '{D}//root/sticky_plain': "},
        {false, "xattr", "/102/root/file",
         "Error: can't copy xattrs from {S}/root/file to {D}//root/file: "},
        {false, "flags", "/102/root/file", "Error: Error set flags '{D}//root/file': "},
        {false, "xattr", "/102/root/sc_cache",
         "Error: can't copy xattrs from {S}/root/sc_cache to {D}//root/sc_cache: "},
        {false, "chown", "/102/root/ml_cache", "Error: Error chown '{D}//root/ml_cache': "},
        {false, "chmod", "/102/root/ml_cache", "Error: Error chmod '{D}//root/ml_cache': "},
        {false, "utime", "/102/root/fifo", "Error: Error utime '{D}//root/fifo': "},
        {false, "utime", "/102/root/dir_perm", "Error: Error utime '{D}//root/dir_perm': "},
        {false, "xattr", "/102/root/dir_perm",
         "Error: can't copy xattrs from {S}/root/dir_perm to {D}//root/dir_perm: "},
        {false, "flags", "/102/root/dir_perm", "Error: Error set flags '{D}//root/dir_perm': "},
        {false, "pwrite", "/102/root/usr/bin/" DIRINDEX_NAME,
         "Error: Can't copy regular file '{S}/root/usr/bin/" DIRINDEX_NAME "' to '{D}//root/usr/bin/"
         DIRINDEX_NAME "': "},
        {false, "unlink", "/102.kxfsclone", "Error: Can't remove '"},
        {true, "chown", "/root/ml_cache.", "Error: Error chown '{S}/root/ml_cache."},
        {true, "utime", "/root/hard_ml1.", "Error: Error utime '{S}/root/hard_ml1."},
        {true, "xattr", "/root/sc_cache.",
         "Error: can't copy xattrs from {S}/root/sc_cache to {S}/root/sc_cache."},
        {true, "pwrite", "/root/usr/bin/" DIRINDEX_NAME ".",
         "Error: Can't create dirindex '{S}/root/usr/bin/" DIRINDEX_NAME "."},
        {true, "unlink", "/101.kxfsclone", "Error: Can't remove '"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.correct ? "-c " : "") + c.calls + " " + c.match);
        kxtest::Host host;
        const std::string src = host.path("vz/private/101");
        const std::string dst = host.path("vz/private/102");
        const std::string priv = "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\n";
        host.write_conf(101, priv + "UUID=\"" + kUuid1 + "\"\n");
        host.write_conf(102, priv);
        kxcmp::build_cache(host.template_root(), kUuid1);
        kxcmp::Fixture fx = kxcmp::build_area(src, host.template_root(), kUuid1);
        kxcmp::settle_times(src);
        kxcmp::Tree before = kxcmp::snapshot(src);
        std::vector<std::string> argv{kxtest::tool("kxfsclone")};
        if (c.correct)
            argv.insert(argv.end(), {"-c", "101"});
        else
            argv.insert(argv.end(), {"101", "102"});
        const std::string log = host.path("failed.log");
        kxtest::Run r = kxtest::run(
            argv, {std::string("LD_PRELOAD=") + fail + " " + (sim ? sim : ""),
                   std::string("KXFAIL_CALLS=") + c.calls, std::string("KXFAIL_MATCH=") + c.match,
                   "KXFAIL_STATE=" + log});
        EXPECT_TRUE(exists(log)) << "nothing was made to fail";
        EXPECT_EQ(r.status, 1) << r.err;
        std::string said = kxcmp::replace_all(kxcmp::replace_all(c.message, "{S}", src), "{D}", dst);
        EXPECT_NE(r.err.find(said), std::string::npos) << "\"" << said << "\" not in:\n" << r.err;

        r = kxtest::run(argv);
        EXPECT_EQ(r.err, "");
        if (r.status != 0) {
            ADD_FAILURE() << "the rerun ended with " << r.status;
            continue;
        }
        const std::string top = c.correct ? src : dst;
        std::string uuid = kxcmp::replace_all(
            kxtest::read_link(top + "/root/ml_cache"), "////vc/", "");
        uuid = uuid.substr(0, uuid.find('/'));
        EXPECT_NE(read_file(host.conf_path(c.correct ? 101 : 102)).find("UUID=\"" + uuid + "\""),
                  std::string::npos);
        kxcmp::expect_same_tree(before, kxcmp::snapshot(top), fx.rewritten_for(uuid), {},
                                fx.index_set());
        EXPECT_TRUE(exists(host.template_root() + "/vc/" + uuid + "/usr/lib/libc.so"));
    }
}

}  // namespace
