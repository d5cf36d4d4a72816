// Entry primitives: shortcuts at their size limits and their atomic writer,
// attribute helpers that answer for links and special files themselves,
// set_attr never touching a link's target, the stock-kernel fallback,
// the block copy, and the node-creation request record.
#include "kxtest.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

namespace fs = std::filesystem;

constexpr long long kNoDump = 0x40;       // FS_NODUMP_FL
constexpr long long kExtent = 0x80000;    // FS_EXTENT_FL

bool simulator_loaded() {
    const char *p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "kxhostsim");
}

class Entry : public testing::Test {
protected:
    void SetUp() override {
        dir_ = kxtest::temp_dir("kxentry");
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 3;
        unsetenv("KXHOSTSIM_DISABLE");
        unsetenv("KXHOSTSIM_LOG");
    }
    void TearDown() override {
        kxfsutil_debug_level = saved_level_;
        unsetenv("KXHOSTSIM_DISABLE");
        unsetenv("KXHOSTSIM_LOG");
        fs::remove_all(dir_);
    }
    std::string p(const std::string &rel) const { return dir_ + "/" + rel; }
    // Flags of path, or -1 when the filesystem has no flag word.
    static long long flags_of(const std::string &path) {
        long long f = -1;
        return get_eattr(path.c_str(), &f) == 0 ? f : -1;
    }
    std::string dir_;
    int saved_level_ = 0;
};

// ---- shortcuts ------------------------------------------------------------

TEST_F(Entry, ReadShortcutAtItsSizeLimits) {
    char buf[8192];
    kxtest::write_file(p("4095"), std::string(4095, 'a'));
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(read_shortcut(p("4095").c_str(), buf, 4096), 4095);
    EXPECT_EQ(buf[4094], 'a');
    EXPECT_EQ(buf[4095], '\0');

    kxtest::write_file(p("4096"), std::string(4096, 'b'));
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(read_shortcut(p("4096").c_str(), buf, 4096), -3);
    EXPECT_EQ(buf[0], 'x') << "the buffer must stay untouched";
    EXPECT_EQ(read_shortcut(p("4096").c_str(), buf, 4097), 4096);

    // One read of at most 4096 bytes, whatever the file holds.
    kxtest::write_file(p("big"), std::string(5000, 'c'));
    EXPECT_EQ(read_shortcut(p("big").c_str(), buf, sizeof buf), 4096);

    kxtest::write_file(p("empty"), "");
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(read_shortcut(p("empty").c_str(), buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(read_shortcut(p("empty").c_str(), buf, 0), -3);
}

TEST_F(Entry, ReadShortcutFailures) {
    char buf[64];
    EXPECT_EQ(read_shortcut(p("missing").c_str(), buf, sizeof buf), -1);
    kxtest::make_shortcut_file(p("sc"), "usr/bin/ls");
    kxtest::make_symlink("sc", p("link"));
    EXPECT_EQ(read_shortcut(p("link").c_str(), buf, sizeof buf), -1) << "links are not followed";
    EXPECT_EQ(read_shortcut(p("").c_str(), buf, sizeof buf), -2) << "a directory cannot be read";
    EXPECT_EQ(read_shortcut(p("sc").c_str(), buf, sizeof buf), 14);
    EXPECT_STREQ(buf, "////usr/bin/ls");
}

std::string leftovers(const std::string &dir) {
    std::string names;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().filename().string().find('-') != std::string::npos)
            names += e.path().filename().string() + " ";
    return names;
}

TEST_F(Entry, MakeShortcutReplacesTheEntryWithEverythingSet) {
    kxtest::write_file(p("entry"), "the container's own file", 0600);
    ino_t old_ino = kxtest::lstat_of(p("entry")).st_ino;
    struct stat st{};
    st.st_mode = S_IFREG | S_ISVTX | 0754;
    st.st_uid = kxtest::is_root() ? 1234 : getuid();
    st.st_gid = kxtest::is_root() ? 5678 : getgid();
    st.st_atim.tv_sec = 1111111111;
    st.st_mtim.tv_sec = 1222222222;
    const std::string target = "////usr/lib/libc.so.6";
    ASSERT_EQ(make_shortcut(p("entry").c_str(), target.data(), static_cast<int>(target.size()), &st),
              0);

    struct stat now = kxtest::lstat_of(p("entry"));
    EXPECT_NE(now.st_ino, old_ino);
    EXPECT_EQ(now.st_mode, static_cast<mode_t>(S_IFREG | S_ISVTX | 0754));
    EXPECT_EQ(now.st_uid, st.st_uid);
    EXPECT_EQ(now.st_gid, st.st_gid);
    EXPECT_EQ(now.st_atim.tv_sec, 1111111111);
    EXPECT_EQ(now.st_mtim.tv_sec, 1222222222);
    EXPECT_EQ(kxtest::read_file(p("entry")), target);
    EXPECT_EQ(leftovers(dir_), "");
}

TEST_F(Entry, FailedMakeShortcutLeavesTheEntryAndNoTemporaryFile) {
    struct stat st{};
    st.st_mode = S_IFREG | S_ISVTX | 0644;
    st.st_uid = getuid();
    st.st_gid = getgid();

    // Rename fails: the entry is a non-empty directory.
    kxtest::write_file(p("entry/inside"), "kept");
    CaptureStderr();
    EXPECT_EQ(make_shortcut(p("entry").c_str(), "////x", 5, &st), 1);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Error: Can't rename '" + p("entry") + "-"), std::string::npos) << err;
    EXPECT_EQ(kxtest::read_file(p("entry/inside")), "kept");
    EXPECT_EQ(leftovers(dir_), "");

    // The temporary file cannot be made.
    CaptureStderr();
    EXPECT_EQ(make_shortcut(p("none/entry").c_str(), "////x", 5, &st), 1);
    err = GetCapturedStderr();
    EXPECT_NE(err.find("Error: Can't create shortcut '" + p("none/entry") + "-XXXXXX'"),
              std::string::npos)
        << err;

    // A negative or zero length writes nothing and replaces nothing.
    kxtest::write_file(p("file"), "old");
    for (int length : {-1, 0}) {
        CaptureStderr();
        EXPECT_EQ(make_shortcut(p("file").c_str(), "////x", length, &st), 1) << length;
        EXPECT_NE(GetCapturedStderr().find("Error: Can't write shortcut '" + p("file") + "-"),
                  std::string::npos)
            << length;
        EXPECT_EQ(kxtest::read_file(p("file")), "old") << length;
        EXPECT_EQ(leftovers(dir_), "") << length;
    }
}

TEST_F(Entry, FailedChownLeavesTheOldEntry) {
    kxtest::write_file(p("entry"), "old", 0644);
    struct stat st{};
    st.st_mode = S_IFREG | S_ISVTX | 0644;
    st.st_uid = 0;  // not ours once unprivileged
    st.st_gid = 0;
    const std::string path = p("entry");
    auto attempt = [&] {
        int r = make_shortcut(path.c_str(), "////x", 5, &st);
        bool old = kxtest::read_file(path) == "old";
        bool clean = leftovers(dir_).empty();
        std::_Exit(r == 1 && old && clean ? 0 : 1);
    };
    std::string expected = "Error chown '" + path + "': Operation not permitted";
    if (!kxtest::is_root()) {
        EXPECT_EXIT(attempt(), testing::ExitedWithCode(0), expected);
        return;
    }
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EXIT(
        {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                std::_Exit(2);
            attempt();
        },
        testing::ExitedWithCode(0), expected);
}

// ---- compare_stat ---------------------------------------------------------

TEST_F(Entry, CompareStatDisregardsOnlyTheStickyBitAndTheType) {
    struct stat a{}, b{};
    a.st_uid = b.st_uid = 10;
    a.st_gid = b.st_gid = 20;
    a.st_mode = S_IFREG | 0644;
    b.st_mode = S_IFLNK | 01644;
    EXPECT_EQ(compare_stat(&a, &b), 1);
    b.st_mode = S_IFREG | 0640;
    EXPECT_EQ(compare_stat(&a, &b), 0);
    b.st_mode = S_IFREG | 04644;
    EXPECT_EQ(compare_stat(&a, &b), 0);
    b.st_mode = a.st_mode;
    b.st_uid = 11;
    EXPECT_EQ(compare_stat(&a, &b), 0);
    b.st_uid = 10;
    b.st_gid = 21;
    EXPECT_EQ(compare_stat(&a, &b), 0);
}

// ---- copy_reg_file --------------------------------------------------------

TEST_F(Entry, CopyRegFileCopiesEveryByte) {
    std::string data((3u << 20) + 12345, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7919u) >> 3);
    kxtest::write_file(p("src"), data);
    EXPECT_EQ(copy_reg_file(p("src").c_str(), p("dst").c_str()), 0);
    EXPECT_EQ(kxtest::read_file(p("dst")), data);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(kxtest::lstat_of(p("dst")).st_mode, static_cast<mode_t>(S_IFREG | (0770 & ~mask)));

    kxtest::write_file(p("empty"), "");
    EXPECT_EQ(copy_reg_file(p("empty").c_str(), p("empty2").c_str()), 0);
    EXPECT_EQ(kxtest::lstat_of(p("empty2")).st_size, 0);

    // Across filesystems the kernel copy may refuse: the block loop copies.
    EXPECT_EQ(copy_reg_file("/proc/self/mounts", p("mounts").c_str()), 0);
    EXPECT_GT(kxtest::lstat_of(p("mounts")).st_size, 0);
}

TEST_F(Entry, CopyRegFileNeverFollowsLinks) {
    kxtest::write_file(p("src"), "data");
    kxtest::write_file(p("victim"), "host file");
    kxtest::make_symlink(p("victim"), p("dst-link"));
    kxtest::make_symlink(p("victim"), p("src-link"));
    EXPECT_EQ(copy_reg_file(p("src").c_str(), p("dst-link").c_str()), -2);
    EXPECT_EQ(copy_reg_file(p("src-link").c_str(), p("out").c_str()), -1);
    EXPECT_EQ(kxtest::read_file(p("victim")), "host file");
    EXPECT_FALSE(kxtest::exists(p("out")));

    EXPECT_EQ(copy_reg_file(p("missing").c_str(), p("out").c_str()), -1);
    EXPECT_EQ(copy_reg_file(p("src").c_str(), p("no/dir").c_str()), -2);
    // A fifo source neither blocks nor is read.
    ASSERT_EQ(mkfifo(p("fifo").c_str(), 0600), 0);
    EXPECT_EQ(copy_reg_file(p("fifo").c_str(), p("out").c_str()), -1);
    // The destination is not truncated, as the caller creates it fresh.
    kxtest::write_file(p("long"), "0123456789");
    EXPECT_EQ(copy_reg_file(p("src").c_str(), p("long").c_str()), 0);
    EXPECT_EQ(kxtest::read_file(p("long")), "data456789");
}

// ---- flag word and extended attributes ------------------------------------

TEST_F(Entry, CheckEattrIgnoresTheFilesystemsBookkeeping) {
    kxtest::write_file(p("f"), "x");
    long long flags = flags_of(p("f"));
    if (flags < 0)
        GTEST_SKIP() << "no inode flag word on this filesystem";
    if (flags != kExtent)
        GTEST_SKIP() << "not an extent-based filesystem (flags " << flags << ")";
    EXPECT_EQ(check_eattr(p("f").c_str()), 0);
    ASSERT_EQ(setxattr(p("f").c_str(), "user.note", "v", 1, 0), 0) << std::strerror(errno);
    EXPECT_EQ(check_eattr(p("f").c_str()), 1);

    kxtest::write_file(p("g"), "x");
    ASSERT_EQ(set_eattr(p("g").c_str(), static_cast<int>(kExtent | kNoDump)), 0);
    EXPECT_EQ(flags_of(p("g")), kExtent | kNoDump);
    EXPECT_EQ(check_eattr(p("g").c_str()), 1);

    long long untouched = 77;
    EXPECT_EQ(get_eattr(p("missing").c_str(), &untouched), -1);
    EXPECT_EQ(untouched, 77);
    EXPECT_EQ(check_eattr(p("missing").c_str()), -1);
}

TEST_F(Entry, MagicLinkToAHostFileAnswersForTheLinkItself) {
    // The text "////<absolute path>" resolves to the host file when followed.
    kxtest::write_file(p("host"), "host data");
    if (flags_of(p("host")) < 0)
        GTEST_SKIP() << "no inode flag word on this filesystem";
    ASSERT_EQ(set_eattr(p("host").c_str(), static_cast<int>(flags_of(p("host")) | kNoDump)), 0);
    ASSERT_EQ(setxattr(p("host").c_str(), "user.secret", "s", 1, 0), 0);
    const long long host_flags = flags_of(p("host"));
    kxtest::make_symlink("///" + p("host"), p("magic"));
    ASSERT_EQ(kxtest::read_file(p("magic")), "host data") << "the link must reach the host file";

    long long flags = -1;
    EXPECT_EQ(get_eattr(p("magic").c_str(), &flags), 0);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(check_eattr(p("magic").c_str()), 0);
    EXPECT_EQ(set_eattr(p("magic").c_str(), 0), 0);
    errno = 0;
    EXPECT_EQ(set_eattr(p("magic").c_str(), static_cast<int>(kNoDump)), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_EQ(flags_of(p("host")), host_flags);
    // The destination does not exist: reaching set_eattr would give -1.
    EXPECT_EQ(copy_eattr(p("magic").c_str(), p("nowhere").c_str()), 0);
    kxtest::write_file(p("dst"), "");
    EXPECT_EQ(copy_xattrs(p("magic").c_str(), p("dst").c_str()), 0);
    EXPECT_EQ(listxattr(p("dst").c_str(), nullptr, 0), 0);

    // Attributes of the link itself do count.
    if (kxtest::is_root()) {
        ASSERT_EQ(lsetxattr(p("magic").c_str(), "trusted.own", "1", 1, 0), 0);
        EXPECT_EQ(check_eattr(p("magic").c_str()), 1);
    }
}

TEST_F(Entry, SpecialFilesCarryNoFlagWord) {
    ASSERT_EQ(mkfifo(p("fifo").c_str(), 0600), 0);
    long long flags = -1;
    EXPECT_EQ(get_eattr(p("fifo").c_str(), &flags), 0);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(check_eattr(p("fifo").c_str()), 0);
    EXPECT_EQ(copy_eattr(p("fifo").c_str(), p("nowhere").c_str()), 0);
    if (kxtest::is_root()) {
        ASSERT_EQ(mknod(p("null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
        EXPECT_EQ(get_eattr(p("null").c_str(), &flags), 0);
        EXPECT_EQ(flags, 0);
        EXPECT_EQ(set_eattr(p("null").c_str(), static_cast<int>(kNoDump)), -1);
    }
}

TEST_F(Entry, CopyEattrSetsOnlyAWordThatIsNotZero) {
    kxtest::write_file(p("src"), "x");
    if (flags_of(p("src")) < 0)
        GTEST_SKIP() << "no inode flag word on this filesystem";
    ASSERT_EQ(set_eattr(p("src").c_str(), static_cast<int>(flags_of(p("src")) | kNoDump)), 0);
    kxtest::write_file(p("dst"), "y");
    EXPECT_EQ(copy_eattr(p("src").c_str(), p("dst").c_str()), 0);
    EXPECT_EQ(flags_of(p("dst")), flags_of(p("src")));
    EXPECT_EQ(copy_eattr(p("src").c_str(), p("nowhere").c_str()), -1);
    EXPECT_EQ(copy_eattr(p("missing").c_str(), p("dst").c_str()), -1);

    // A word of 0 (tmpfs has no bookkeeping bits) never reaches the destination.
    std::string shm = "/dev/shm/kxentry-" + std::to_string(getpid());
    kxtest::write_file(shm, "x");
    long long zero = -1;
    if (get_eattr(shm.c_str(), &zero) == 0 && zero == 0) {
        EXPECT_EQ(copy_eattr(shm.c_str(), p("nowhere").c_str()), 0);
    }
    unlink(shm.c_str());
    if (zero != 0)
        GTEST_SKIP() << "no filesystem with a zero flag word for the last case";
}

TEST_F(Entry, CopyXattrsCopiesNamesAndValues) {
    kxtest::write_file(p("src"), "x");
    kxtest::write_file(p("dst"), "y");
    EXPECT_EQ(copy_xattrs(p("src").c_str(), p("dst").c_str()), 0);
    ASSERT_EQ(setxattr(p("src").c_str(), "user.a", "1", 1, 0), 0) << std::strerror(errno);
    std::string big(3000, 'v');
    ASSERT_EQ(setxattr(p("src").c_str(), "user.big", big.data(), big.size(), 0), 0);
    ASSERT_EQ(setxattr(p("src").c_str(), "user.b", "xyz", 3, 0), 0);
    EXPECT_EQ(copy_xattrs(p("src").c_str(), p("dst").c_str()), 0);
    char value[4096];
    EXPECT_EQ(getxattr(p("dst").c_str(), "user.a", value, sizeof value), 1);
    EXPECT_EQ(getxattr(p("dst").c_str(), "user.b", value, sizeof value), 3);
    EXPECT_EQ(std::string(value, 3), "xyz");
    EXPECT_EQ(getxattr(p("dst").c_str(), "user.big", value, sizeof value), 3000);
    EXPECT_EQ(std::string(value, 3000), big);

    CaptureStderr();
    EXPECT_EQ(copy_xattrs(p("missing").c_str(), p("dst").c_str()), -1);
    EXPECT_EQ(GetCapturedStderr(), "listxattr(\"" + p("missing") +
                                       "\") failed error: No such file or directory\n");

    // An empty value stops the copy with the getxattr message.
    kxtest::write_file(p("empty"), "z");
    ASSERT_EQ(setxattr(p("empty").c_str(), "user.e", "", 0, 0), 0);
    CaptureStderr();
    EXPECT_EQ(copy_xattrs(p("empty").c_str(), p("dst").c_str()), -1);
    EXPECT_EQ(GetCapturedStderr().rfind("getxattr(\"user.e\") from " + p("empty") + " return: 0",
                                        0),
              0u);

    // A destination that cannot take the attribute.
    CaptureStderr();
    EXPECT_EQ(copy_xattrs(p("src").c_str(), p("nowhere").c_str()), -1);
    EXPECT_EQ(GetCapturedStderr().rfind("setxattr(\"user.a\") to " + p("nowhere") + " failed error: ",
                                        0),
              0u);
}

// ---- set_attr, kxlchmod, kxlutime ------------------------------------------

struct stat record(mode_t mode, time_t atime, time_t mtime) {
    struct stat st{};
    st.st_mode = mode;
    st.st_uid = kxtest::is_root() ? 4321 : getuid();
    st.st_gid = kxtest::is_root() ? 8765 : getgid();
    st.st_atim.tv_sec = atime;
    st.st_mtim.tv_sec = mtime;
    return st;
}

TEST_F(Entry, SetAttrOnAFile) {
    kxtest::write_file(p("f"), "x", 0600);
    struct stat st = record(S_IFREG | 02751, 1000, 2000);
    st.st_mtim.tv_nsec = 999;
    ASSERT_EQ(set_attr(p("f").c_str(), &st), 0);
    struct stat now = kxtest::lstat_of(p("f"));
    EXPECT_EQ(now.st_mode, static_cast<mode_t>(S_IFREG | 02751));
    EXPECT_EQ(now.st_uid, st.st_uid);
    EXPECT_EQ(now.st_gid, st.st_gid);
    EXPECT_EQ(now.st_atim.tv_sec, 1000);
    EXPECT_EQ(now.st_mtim.tv_sec, 2000);
    EXPECT_EQ(now.st_mtim.tv_nsec, 999) << "times keep their nanoseconds, as cp -a does";
    EXPECT_EQ(set_attr(p("missing").c_str(), &st), -1);
}

TEST_F(Entry, SetAttrOnALinkNeverTouchesTheTarget) {
    if (!simulator_loaded())
        GTEST_SKIP() << "the host simulator is not preloaded (run through ctest)";
    KX_REQUIRE_ROOT();
    kxtest::write_file(p("target"), "x", 0640);
    ASSERT_EQ(utime(p("target").c_str(), nullptr), 0);
    struct stat before = kxtest::lstat_of(p("target"));
    kxtest::make_magic_link(p("link"), "usr/bin");
    kxtest::make_symlink("target", p("plain"));

    struct stat st = record(S_IFLNK | 01777, 3000, 4000);
    for (const char *name : {"link", "plain"}) {
        ASSERT_EQ(set_attr(p(name).c_str(), &st), 0) << name;
        struct stat now = kxtest::lstat_of(p(name));
        EXPECT_EQ(now.st_mode, static_cast<mode_t>(S_IFLNK | 01777)) << name;
        EXPECT_EQ(now.st_uid, 4321u);
        EXPECT_EQ(now.st_gid, 8765u);
        EXPECT_EQ(now.st_atim.tv_sec, 3000);
        EXPECT_EQ(now.st_mtim.tv_sec, 4000);
    }
    // A record of a file applied to what is now a link: refused, target kept.
    struct stat file = record(S_IFREG | 0600, 5000, 6000);
    EXPECT_EQ(set_attr(p("plain").c_str(), &file), -1);

    struct stat after = kxtest::lstat_of(p("target"));
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(Entry, StockKernelFallbackKeepsTheTarget) {
    setenv("KXHOSTSIM_DISABLE", "1", 1);
    kxtest::write_file(p("target"), "x", 0640);
    kxtest::make_symlink("target", p("link"));
    struct stat before = kxtest::lstat_of(p("target"));

    // A link's mode cannot be changed by a stock kernel: an honest failure.
    errno = 0;
    EXPECT_EQ(kxlchmod(p("link").c_str(), 01777), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    struct utimbuf times{7000, 8000};
    EXPECT_EQ(kxlutime(p("link").c_str(), &times), 0);
    EXPECT_EQ(kxtest::lstat_of(p("link")).st_mtim.tv_sec, 8000);
    EXPECT_EQ(kxlchmod(p("target").c_str(), 0604), 0);
    EXPECT_EQ(kxtest::lstat_of(p("target")).st_mode, static_cast<mode_t>(S_IFREG | 0604));

    struct stat st = record(S_IFLNK | 0777, 1, 2);
    EXPECT_EQ(set_attr(p("link").c_str(), &st), -1);
    struct stat after = kxtest::lstat_of(p("target"));
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_uid, before.st_uid);
}

// ---- node-creation requests -------------------------------------------------

TEST_F(Entry, NodeRequestRecordIsLaidOutAsTheFilesystemExpects) {
    if (!simulator_loaded())
        GTEST_SKIP() << "the host simulator is not preloaded (run through ctest)";
    const std::string log = p("requests.log");
    kxtest::make_dirs(p("d"));
    setenv("KXHOSTSIM_LOG", log.c_str(), 1);

    EXPECT_EQ(create_mfile(p("d/file").c_str(), 0x123456789ABCDEF0ULL, 0100644), 0);
    EXPECT_EQ(create_cowdir(p("d/sub/").c_str(), 42, 0177777), 0);
    std::string long_name(300, 'n');
    EXPECT_EQ(create_mfile((p("d") + "//" + long_name).c_str(), 0, 04755), 0);
    std::string cwd = fs::current_path().string();
    ASSERT_EQ(chdir(p("d").c_str()), 0);
    EXPECT_EQ(create_cowdir("rel", 1, 0755), 0);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(create_mfile(p("none/file").c_str(), 0, 0644), -1);
    EXPECT_EQ(create_cowdir(p("none/file").c_str(), 0, 0644), -1);

    const std::string d = p("d");
    EXPECT_EQ(kxtest::read_file(log),
              "name=file value=1311768467463790320 mode=100644 dir=" + d + "\n" +
                  "name=sub value=42 mode=47777 dir=" + d + "\n" +
                  "name=" + long_name + " value=0 mode=104755 dir=" + d + "\n" +
                  "name=rel value=1 mode=40755 dir=" + d + "\n");

    // Without the filesystem the request fails.
    unsetenv("KXHOSTSIM_LOG");
    EXPECT_EQ(create_mfile(p("d/file").c_str(), 0, 0644), -1);
    EXPECT_EQ(create_cowdir(p("d/file").c_str(), 0, 0644), -1);
}

}  // namespace
