// The host-kernel simulator itself: calls 509 and 510, link modes seen through
// every stat flavour (in this process and in programs it runs), its attribute
// hidden from listings, node-creation requests, and transparency elsewhere.
#include "kxtest.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

constexpr long kLchmod = 509;
constexpr long kLutime = 510;
constexpr unsigned long kNodeRequest = 0x4008AA06UL;

bool simulator_loaded() {
    const char *p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "kxhostsim");
}

std::string list_names(const std::string &path) {
    char buf[4096];
    ssize_t n = llistxattr(path.c_str(), buf, sizeof buf);
    return n < 0 ? "error" : std::string(buf, static_cast<size_t>(n));
}

class HostSim : public testing::Test {
protected:
    void SetUp() override {
        if (!simulator_loaded())
            GTEST_SKIP() << "the host simulator is not preloaded (run through ctest)";
        dir_ = kxtest::temp_dir("kxsim");
        target_ = dir_ + "/target";
        link_ = dir_ + "/link";
        kxtest::write_file(target_, "data", 0640);
        kxtest::make_symlink("target", link_);
        unsetenv("KXHOSTSIM_DISABLE");
        unsetenv("KXHOSTSIM_LOG");
    }
    void TearDown() override {
        unsetenv("KXHOSTSIM_DISABLE");
        unsetenv("KXHOSTSIM_LOG");
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }
    std::string dir_, target_, link_;
};

TEST_F(HostSim, LinkModeIsStoredOnTheLinkAndSeenByEveryStat) {
    KX_REQUIRE_ROOT();
    ASSERT_EQ(syscall(kLchmod, link_.c_str(), 0101755L), 0) << std::strerror(errno);

    struct stat st;
    ASSERT_EQ(lstat(link_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFLNK | 01755));
    int dfd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    ASSERT_EQ(fstatat(dfd, "link", &st, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFLNK | 01755));
    struct statx sx;
    ASSERT_EQ(statx(dfd, "link", AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx), 0);
    EXPECT_EQ(sx.stx_mode, S_IFLNK | 01755);
    int lfd = openat(dfd, "link", O_PATH | O_NOFOLLOW);
    ASSERT_GE(lfd, 0);
    ASSERT_EQ(fstatat(lfd, "", &st, AT_EMPTY_PATH), 0);
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFLNK | 01755));
    close(lfd);
    close(dfd);

    // Following the link still gives the untouched target.
    ASSERT_EQ(stat(link_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0640));

    // Programs run from the tests see it too (stat(1) uses statx).
    kxtest::Run r = kxtest::run({"/usr/bin/stat", "-c", "%a %A", link_});
    EXPECT_EQ(r.out, "1755 lrwxr-xr-t\n") << r.err;
}

TEST_F(HostSim, LinkModeCallOnANonLinkChangesItsMode) {
    ASSERT_EQ(syscall(kLchmod, target_.c_str(), 0600L), 0) << std::strerror(errno);
    EXPECT_EQ(kxtest::lstat_of(target_).st_mode, static_cast<mode_t>(S_IFREG | 0600));
    errno = 0;
    EXPECT_EQ(syscall(kLchmod, (dir_ + "/missing").c_str(), 0600L), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(HostSim, LinkTimesAreTheLinksOwn) {
    struct stat before = kxtest::lstat_of(target_);
    struct utimbuf times{1000000000, 1200000000};
    ASSERT_EQ(syscall(kLutime, link_.c_str(), &times), 0) << std::strerror(errno);
    struct stat st = kxtest::lstat_of(link_);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(kxtest::lstat_of(target_).st_mtim.tv_sec, before.st_mtim.tv_sec);
}

TEST_F(HostSim, AttributeIsHiddenFromListings) {
    KX_REQUIRE_ROOT();
    ASSERT_EQ(lsetxattr(link_.c_str(), "trusted.other", "v", 1, 0), 0);
    ASSERT_EQ(syscall(kLchmod, link_.c_str(), 01777L), 0);
    const std::string only = std::string("trusted.other") + '\0';

    EXPECT_EQ(llistxattr(link_.c_str(), nullptr, 0), static_cast<ssize_t>(only.size()));
    EXPECT_EQ(list_names(link_), only);
    // A buffer of exactly the reported size is enough.
    std::string exact(only.size(), 'x');
    EXPECT_EQ(llistxattr(link_.c_str(), exact.data(), exact.size()),
              static_cast<ssize_t>(only.size()));
    EXPECT_EQ(exact, only);
    char small[4];
    errno = 0;
    EXPECT_EQ(llistxattr(link_.c_str(), small, sizeof small), -1);
    EXPECT_EQ(errno, ERANGE);

    // The simulator's attribute alone: nothing is listed at all.
    ASSERT_EQ(lremovexattr(link_.c_str(), "trusted.other"), 0);
    EXPECT_EQ(llistxattr(link_.c_str(), nullptr, 0), 0);
    EXPECT_EQ(list_names(link_), "");
    int lfd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(lfd, 0);
    EXPECT_GE(flistxattr(lfd, nullptr, 0), 0);
    close(lfd);
    // listxattr follows the link: the target's own (none) is answered.
    EXPECT_EQ(listxattr(link_.c_str(), nullptr, 0), 0);
}

TEST_F(HostSim, DisabledCallsAnswerLikeAStockKernel) {
    setenv("KXHOSTSIM_DISABLE", "1", 1);
    struct utimbuf times{1, 2};
    errno = 0;
    EXPECT_EQ(syscall(kLchmod, link_.c_str(), 0755L), -1);
    EXPECT_EQ(errno, ENOSYS);
    errno = 0;
    EXPECT_EQ(syscall(kLutime, link_.c_str(), &times), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_NE(kxtest::lstat_of(link_).st_mtim.tv_sec, 2);
}

TEST_F(HostSim, NonRootCannotStoreALinkMode) {
    auto attempt = [&] {
        errno = 0;
        long r = syscall(kLchmod, link_.c_str(), 01777L);
        std::fprintf(stderr, "result %ld errno %d\n", r, errno);
        std::_Exit(r == -1 && errno == EPERM ? 0 : 1);
    };
    if (!kxtest::is_root()) {
        EXPECT_EXIT(attempt(), testing::ExitedWithCode(0), "");
        return;
    }
    ASSERT_EQ(lchown(link_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    EXPECT_EXIT(
        {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                std::_Exit(2);
            attempt();
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(HostSim, OtherCallsPassThrough) {
    EXPECT_EQ(syscall(SYS_getpid), getpid());
    EXPECT_EQ(syscall(SYS_gettid), gettid());
    char buf[64];
    long n = syscall(SYS_getcwd, buf, sizeof buf - 1, 0, 0, 0, 0);
    EXPECT_GT(n, 0);
    // An ordinary ioctl still reaches the kernel.
    int fd = open(target_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = -1;
    int r = ioctl(fd, 0x80086601UL, &flags);
    if (r == 0) {
        EXPECT_NE(flags, -1);
    } else {
        EXPECT_TRUE(errno == ENOTTY || errno == EOPNOTSUPP) << std::strerror(errno);
    }
    close(fd);
    // Without a recorded mode a link keeps the kernel's own answer.
    EXPECT_EQ(kxtest::lstat_of(link_).st_mode, static_cast<mode_t>(S_IFLNK | 0777));
}

struct Request {
    const char *name;
    uint64_t value;
    uint32_t mode;
};

TEST_F(HostSim, NodeRequestsAreRecorded) {
    int dfd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    Request req{"entry", 18446744073709551615ULL, 0100644};

    // No log: the request goes to the kernel, which has no such call.
    EXPECT_EQ(ioctl(dfd, kNodeRequest, &req), -1);

    const std::string log = dir_ + "/requests.log";
    setenv("KXHOSTSIM_LOG", log.c_str(), 1);
    EXPECT_EQ(ioctl(dfd, kNodeRequest, &req), 0);
    Request dir_req{"sub", 7, 040755};
    EXPECT_EQ(ioctl(dfd, kNodeRequest, &dir_req), 0);
    int ffd = open(target_.c_str(), O_RDONLY);
    errno = 0;
    EXPECT_EQ(ioctl(ffd, kNodeRequest, &req), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(ffd);
    close(dfd);
    EXPECT_EQ(kxtest::read_file(log),
              "name=entry value=18446744073709551615 mode=100644 dir=" + dir_ + "\n" +
                  "name=sub value=7 mode=40755 dir=" + dir_ + "\n");
}

}  // namespace
