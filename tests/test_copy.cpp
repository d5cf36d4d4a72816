// The area copy in its three modes: copy with pointer rewriting, correction
// in place, and hard-linking of regular files.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <regex>
#include <string>

#include "base.h"
#include "kxtest.h"
#include "libkxfsutil.h"
#include "tree_compare.h"

using kxcmp::kUuid1;
using kxcmp::kUuid2;
using kxtest::exists;
using kxtest::lstat_of;
using kxtest::read_file;
using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::string cwd() {
    std::unique_ptr<char, decltype(&free)> p(getcwd(nullptr, 0), &free);
    return p ? p.get() : "";
}

constexpr int kImmutable = 0x10;
constexpr int kAppendOnly = 0x20;
constexpr int kNoDump = 0x40;

// Adds flags to the inode flag word of path (the filesystem's own bits
// kept); false when the filesystem refuses.
bool add_flags(const std::string &path, int flags) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    int word = 0;
    bool ok = fd >= 0 && ioctl(fd, 0x80086601UL, &word) == 0;
    word |= flags;
    ok = ok && ioctl(fd, 0x40086602UL, &word) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// Takes the immutable and append-only flags off its paths when it goes,
// so that the host can be removed.
struct Unlock {
    std::vector<std::string> paths;
    void release() {
        for (const std::string &p : paths) {
            int fd = open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
            int word = 0;
            if (fd >= 0 && ioctl(fd, 0x80086601UL, &word) == 0) {
                word &= ~(kImmutable | kAppendOnly);
                ioctl(fd, 0x40086602UL, &word);
            }
            if (fd >= 0)
                close(fd);
        }
    }
    ~Unlock() { release(); }
};

class Copy : public testing::Test {
protected:
    void SetUp() override {
        start_ = cwd();
        src_ = host_.path("vz/private/101");
        dst_ = host_.path("vz/private/102");
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 1;
        set_option(0);
        set_copy_uuids(nullptr, nullptr);
    }
    void TearDown() override {
        set_copy_uuids(nullptr, nullptr);
        set_option(0);
        clean_copy_hardlinks();
        kxfsutil_debug_level = saved_level_;
        ASSERT_EQ(chdir(start_.c_str()), 0);
    }
    kxcmp::Fixture build() {
        kxcmp::build_cache(host_.template_root(), kUuid1);
        kxcmp::Fixture fx = kxcmp::build_area(src_, host_.template_root(), kUuid1);
        kxcmp::settle_times(src_);
        return fx;
    }
    int copy(int options) {
        set_option(options);
        return copy_directory_recursive_int(src_.c_str(), dst_.c_str());
    }
    std::string src(const std::string &rel) const { return src_ + "/" + rel; }
    std::string dst(const std::string &rel) const { return dst_ + "/" + rel; }

    kxtest::Host host_;
    std::string start_, src_, dst_;
    int saved_level_ = 0;
};

TEST_F(Copy, EveryEntryIsReproducedAndCacheLinksNameTheNewUuid) {
    KX_REQUIRE_ROOT();
    kxcmp::Fixture fx = build();
    kxcmp::Tree before = kxcmp::snapshot(src_);
    set_copy_uuids(kUuid1, kUuid2);
    ASSERT_EQ(copy(0), 0);
    EXPECT_EQ(cwd(), start_);

    kxcmp::Tree copied = kxcmp::snapshot(dst_);
    kxcmp::expect_same_tree(before, copied, fx.rewritten_for(kUuid2), {}, fx.index_set());
    for (const std::string &index : fx.indexes) {
        std::vector<std::string> want;
        for (const std::string &t : kxcmp::index_targets(src(index)))
            want.push_back(kxcmp::replace_all(t, kUuid1, kUuid2));
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(kxcmp::index_targets(dst(index)), want);
    }
    // The source is left exactly as it was.
    kxcmp::expect_same_tree(before, kxcmp::snapshot(src_));
}

TEST_F(Copy, WithoutUuidsEverythingIsCopiedUnchanged) {
    KX_REQUIRE_ROOT();
    build();
    kxcmp::Tree before = kxcmp::snapshot(src_);
    ASSERT_EQ(copy(0), 0);
    // Dirindex files too: byte for byte.
    kxcmp::expect_same_tree(before, kxcmp::snapshot(dst_));
}

TEST_F(Copy, ThreeNamesGiveOneInodeWithThreeNames) {
    write_file(src("a/one"), "shared");
    kxtest::make_dirs(src("b/deeper"));
    link(src("a/one").c_str(), src("b/two").c_str());
    link(src("a/one").c_str(), src("b/deeper/three").c_str());
    write_file(src("b/single"), "x");
    ASSERT_EQ(copy(0), 0);
    struct stat one = lstat_of(dst("a/one"));
    EXPECT_EQ(one.st_nlink, 3u);
    EXPECT_EQ(lstat_of(dst("b/two")).st_ino, one.st_ino);
    EXPECT_EQ(lstat_of(dst("b/deeper/three")).st_ino, one.st_ino);
    EXPECT_NE(lstat_of(dst("a/one")).st_ino, lstat_of(src("a/one")).st_ino);
    EXPECT_EQ(read_file(dst("b/two")), "shared");
    EXPECT_EQ(lstat_of(dst("b/single")).st_nlink, 1u);
}

TEST_F(Copy, LockEntryIsLeftOutAtTheTopOnly) {
    write_file(src(".lck"), "lock");
    kxtest::make_dirs(src("d"));
    write_file(src("d/.lck"), "lock");
    write_file(src("f"), "f");
    ASSERT_EQ(copy(OPT_SKIP_LOCK), 0);
    EXPECT_FALSE(exists(dst(".lck")));
    EXPECT_TRUE(exists(dst("d/.lck")));
    EXPECT_TRUE(exists(dst("f")));
}

TEST_F(Copy, LockDirectoryAtTheTopIsLeftOutWithItsContent) {
    write_file(src(".lck/inside"), "x");
    write_file(src("f"), "f");
    ASSERT_EQ(copy(OPT_SKIP_LOCK), 0);
    EXPECT_FALSE(exists(dst(".lck")));
    EXPECT_TRUE(exists(dst("f")));

    // Without the option it is an entry like any other.
    std::string other = host_.path("vz/private/103");
    set_option(0);
    ASSERT_EQ(copy_directory_recursive_int(src_.c_str(), other.c_str()), 0);
    EXPECT_EQ(read_file(other + "/.lck/inside"), "x");
}

TEST_F(Copy, SourceWithMissingParentsMakesTheDestination) {
    write_file(src("f"), "f");
    dst_ = host_.path("new/parents/102");
    ASSERT_EQ(copy_directory_recursive(src_.c_str(), dst_.c_str()), 0);
    EXPECT_EQ(read_file(dst("f")), "f");
    EXPECT_EQ(lstat_of(host_.path("new/parents")).st_mode & 07777, 0755u);
}

TEST_F(Copy, ExistingDestinationEntryEndsTheCopy) {
    write_file(src("d/f"), "new");
    write_file(dst("d/f"), "old");
    EXPECT_EXIT(copy(0), testing::ExitedWithCode(1),
                "Error: Already exist '" + dst_ + "//d'\n");
    write_file(src("g"), "new");
    EXPECT_EXIT(
        {
            ASSERT_EQ(chdir(src_.c_str()), 0);
            copy_one("g", dst_.c_str());
            copy_one("g", dst_.c_str());
        },
        testing::ExitedWithCode(1), "Error: Already exist '" + dst_ + "/g'\n");
    EXPECT_EQ(read_file(dst("d/f")), "old");
}

TEST_F(Copy, FailedDirectoryStepsGiveOne) {
    kxfsutil_debug_level = 2;
    CaptureStderr();
    std::string missing = host_.path("missing");
    struct dir_stack stack = {nullptr, 0};
    EXPECT_EQ(copy_directory(missing.c_str(), missing.c_str(), dst_.c_str(), 1, &stack, nullptr),
              1);
    EXPECT_EQ(GetCapturedStderr(),
              "Error: Kxfsclone: can't chdir '" + missing + "': No such file or directory\n");

    write_file(host_.path("file"), "");
    CaptureStderr();
    EXPECT_EQ(copy_directory_recursive_int(src_.c_str(), host_.path("file/sub").c_str()), 1);
    EXPECT_EQ(GetCapturedStderr(),
              "Error: Can't make directory " + host_.path("file/sub") + ": Not a directory\n");
}

TEST_F(Copy, VanishedEntryIsSkippedWithAWarning) {
    kxfsutil_debug_level = 2;
    write_file(src("here"), "");
    ASSERT_EQ(chdir(src_.c_str()), 0);
    kxtest::make_dirs(dst_);
    CaptureStdout();
    EXPECT_EQ(copy_one("gone", dst_.c_str()), 0);
    EXPECT_EQ(GetCapturedStdout(),
              "Warning: can't stat '" + src_ + "/gone': No such file or directory\n");
    EXPECT_FALSE(exists(dst("gone")));
}

TEST_F(Copy, ProcessedCounterCountsSingleLinkEntries) {
    write_file(src("a"), "");
    write_file(src("b"), "");
    link(src("b").c_str(), src("b2").c_str());
    kxtest::make_dirs(src("d"));
    write_file(src("d/deeper"), "");
    kxtest::make_dirs(dst_);
    init_copy_hardlinks();
    struct dir_stack stack = {nullptr, 0};
    int processed = 10;
    ASSERT_EQ(copy_directory(src_.c_str(), src_.c_str(), dst_.c_str(), 1, &stack, &processed), 0);
    // a only: b and b2 have two links, d has two.
    EXPECT_EQ(processed, 11);
    ASSERT_NE(stack.head, nullptr);
    EXPECT_EQ(std::string(stack.head->path), src_ + "/d");
    EXPECT_EQ(stack.head->next, nullptr);
    ASSERT_EQ(copy_directory(stack.head->path, src_.c_str(), dst_.c_str(), 0, &stack, &processed),
              0);
    EXPECT_EQ(processed, 12);
    EXPECT_TRUE(exists(dst("d/deeper")));
    free(stack.head->path);
    free(stack.head);
}

// The path form opens what it was handed beneath the roots it was given,
// as the tree walk does: a directory swapped for a link to the host after
// its parent listed it is not copied from, whatever lies below it.
TEST_F(Copy, PathFormStaysBeneathItsRoots) {
    kxfsutil_debug_level = 2;
    write_file(src("d/sub/own"), "own");
    write_file(host_.path("host/sub/secret"), "host");
    kxtest::make_dirs(dst_);
    init_copy_hardlinks();
    struct dir_stack stack = {nullptr, 0};
    ASSERT_EQ(copy_directory(src_.c_str(), src_.c_str(), dst_.c_str(), 1, &stack, nullptr), 0);
    ASSERT_EQ(stack.count, 1);
    std::string d = stack.head->path;
    ASSERT_EQ(copy_directory(d.c_str(), src_.c_str(), dst_.c_str(), 0, &stack, nullptr), 0);
    ASSERT_EQ(stack.count, 2);
    std::string sub = stack.head->path;
    EXPECT_EQ(sub, src_ + "/d/sub");
    ASSERT_EQ(rename(src("d").c_str(), src("d.old").c_str()), 0);
    kxtest::make_symlink(host_.path("host"), src("d"));
    CaptureStderr();
    EXPECT_EQ(copy_directory(sub.c_str(), src_.c_str(), dst_.c_str(), 0, &stack, nullptr), 1);
    EXPECT_EQ(GetCapturedStderr(), "Error: Kxfsclone: can't chdir '" + sub +
                                       "': Too many levels of symbolic links\n");
    EXPECT_FALSE(exists(dst("d/sub/secret")));
    EXPECT_FALSE(exists(dst("d/sub/own")));
    while (struct dir_node *n = stack.head) {
        stack.head = n->next;
        free(n->path);
        free(n);
    }
}

TEST_F(Copy, UnreadableIndexIsReproducedAsItIs) {
    kxtest::make_dirs(src("d"), 04755);
    write_file(src("d/" DIRINDEX_NAME), "not an index");
    // An index that lists nothing: a header with start 0 and one empty bucket.
    const unsigned char empty_index[24] = {0x19, 0xE1, 0x2D, 0x40, 0, 0, 0, 0, 0, 0, 0, 0,
                                           1,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0};
    kxtest::make_dirs(src("e"), 04755);
    write_file(src("e/" DIRINDEX_NAME),
               std::string(reinterpret_cast<const char *>(empty_index), sizeof empty_index));
    set_copy_uuids(kUuid1, kUuid2);
    ASSERT_EQ(copy(0), 0);
    EXPECT_EQ(read_file(dst("d/" DIRINDEX_NAME)), "not an index");
    EXPECT_EQ(read_file(dst("e/" DIRINDEX_NAME)), read_file(src("e/" DIRINDEX_NAME)));

    // Corrected in place, they stay what they are.
    ino_t d = lstat_of(src("d/" DIRINDEX_NAME)).st_ino;
    ino_t e = lstat_of(src("e/" DIRINDEX_NAME)).st_ino;
    set_option(OPT_CORRECT);
    ASSERT_EQ(copy_directory_recursive_int(src_.c_str(), src_.c_str()), 0);
    EXPECT_EQ(lstat_of(src("d/" DIRINDEX_NAME)).st_ino, d);
    EXPECT_EQ(lstat_of(src("e/" DIRINDEX_NAME)).st_ino, e);
    EXPECT_EQ(kxtest::snapshot(src_).size(), 4u);  // no temporary left behind
}

// Inode flags go on when every name of the copy is there: an immutable or
// append-only file with several names and an immutable directory are
// copied whole, with their flags, names and times.
TEST_F(Copy, LockingFlagsGoOnLast) {
    KX_REQUIRE_ROOT();
    write_file(src("a/imm"), "immutable");
    write_file(src("a/app"), "append only");
    write_file(src("a/nodump"), "no dump");
    kxtest::make_dirs(src("b"));
    link(src("a/imm").c_str(), src("b/imm2").c_str());
    link(src("a/app").c_str(), src("b/app2").c_str());
    write_file(src("lockdir/f"), "in a locked directory");
    kxcmp::settle_times(src_);
    Unlock unlock{{src("a/imm"), src("a/app"), src("lockdir"), dst("a/imm"), dst("a/app"),
                   dst("lockdir")}};
    if (!add_flags(src("a/imm"), kImmutable))
        GTEST_SKIP() << "no inode flags on this filesystem";
    ASSERT_TRUE(add_flags(src("a/app"), kAppendOnly));
    ASSERT_TRUE(add_flags(src("a/nodump"), kNoDump));
    ASSERT_TRUE(add_flags(src("lockdir"), kImmutable));
    kxcmp::Tree before = kxcmp::snapshot(src_);
    ASSERT_EQ(copy(0), 0);
    kxcmp::expect_same_tree(before, kxcmp::snapshot(dst_));
}

// Holes stay holes: a sparse file takes no more room in the copy than in
// the source, and reads the same.
TEST_F(Copy, SparseFileKeepsItsHoles) {
    const off_t size = off_t{256} << 20;
    write_file(src("sparse"), "head");
    {
        kx::Fd fd(open(src("sparse").c_str(), O_WRONLY));
        ASSERT_EQ(pwrite(fd.get(), "middle", 6, size / 2), 6);
        ASSERT_EQ(ftruncate(fd.get(), size), 0);
    }
    struct stat s = lstat_of(src("sparse"));
    if (s.st_blocks * 512 > (off_t{1} << 20))
        GTEST_SKIP() << "this filesystem keeps no holes";
    ASSERT_EQ(copy(0), 0);
    struct stat d = lstat_of(dst("sparse"));
    EXPECT_EQ(d.st_size, size);
    EXPECT_LE(d.st_blocks, s.st_blocks);
    kx::Fd fd(open(dst("sparse").c_str(), O_RDONLY));
    char buf[8] = {};
    for (off_t at : {off_t{0}, size / 2, size / 4, size - 8}) {
        ASSERT_EQ(pread(fd.get(), buf, sizeof buf, at), 8);
        std::string want = at == 0 ? std::string("head\0\0\0\0", 8)
                         : at == size / 2 ? std::string("middle\0\0", 8)
                                          : std::string(8, '\0');
        EXPECT_EQ(std::string(buf, 8), want) << at;
    }
}

class Correct : public Copy {};

TEST_F(Correct, PointersAreRewrittenInPlaceAndEverythingElseKeepsItsInode) {
    KX_REQUIRE_ROOT();
    kxcmp::Fixture fx = build();
    kxcmp::Tree before = kxcmp::snapshot(src_);
    set_copy_uuids(kUuid1, kUuid2);
    set_option(OPT_CORRECT);
    ASSERT_EQ(copy_directory_recursive_int(src_.c_str(), src_.c_str()), 0);
    kxcmp::Tree after = kxcmp::snapshot(src_);

    // Same entries, same attributes (xattrs and flags carried over), and
    // the rewritten pointers. Directory times survive the renames.
    std::map<std::string, std::string> rewritten = fx.rewritten_for(kUuid2);
    kxcmp::expect_same_tree(before, after, rewritten, {}, fx.index_set());
    for (const auto &[path, node] : before) {
        bool replaced = rewritten.count(path) || fx.index_set().count(path);
        if (replaced) {
            EXPECT_NE(after.at(path).e.ino, node.e.ino) << path;
        } else {
            EXPECT_EQ(after.at(path).e.ino, node.e.ino) << path;
        }
    }
    // The two names of the magic link share one inode again.
    EXPECT_EQ(after.at("root/hard_ml1").e.ino, after.at("root/other/hard_ml2").e.ino);
    EXPECT_EQ(after.at("root/hard_ml1").e.nlink, 2u);
    for (const std::string &index : fx.indexes) {
        std::vector<std::string> targets = kxcmp::index_targets(src(index));
        EXPECT_FALSE(targets.empty());
        for (const std::string &t : targets)
            EXPECT_NE(t.find(kUuid2), std::string::npos) << t;
    }
    EXPECT_EQ(after.at("root/sc_cache").xattrs.at("user.sc"), "1");
}

TEST_F(Correct, SecondRunFindsNothingToRewrite) {
    KX_REQUIRE_ROOT();
    build();
    set_copy_uuids(kUuid1, kUuid2);
    set_option(OPT_CORRECT);
    ASSERT_EQ(copy_directory_recursive_int(src_.c_str(), src_.c_str()), 0);
    kxcmp::Tree once = kxcmp::snapshot(src_);
    ASSERT_EQ(copy_directory_recursive_int(src_.c_str(), src_.c_str()), 0);
    kxcmp::Tree twice = kxcmp::snapshot(src_);
    // Only the dirindex is written again (its rebuild is not a rewrite).
    for (const auto &[path, node] : once) {
        if (path.find(DIRINDEX_NAME) == std::string::npos) {
            EXPECT_EQ(twice.at(path).e.ino, node.e.ino) << path;
        }
    }
    kxcmp::expect_same_tree(once, twice);
}

// The correction of dir run in a child process in which every call nr
// answers err (an openat only when it creates exclusively): its exit status
// and standard error.
std::pair<int, std::string> correct_failing(const std::string &dir, long nr, int err) {
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return {-1, "no pipe"};
    pid_t child = fork();
    if (child == 0) {
        dup2(pipefd[1], 2);
        close(pipefd[0]);
        // Little-endian: the low word of an argument comes first.
        const uint32_t flags_arg = offsetof(struct seccomp_data, args) + 8 * 2;
        struct sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 4),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 2),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, flags_arg),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_EXCL, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(err)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog prog = {static_cast<unsigned short>(std::size(code)), code};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0)
            _exit(120);
        kxfsutil_debug_level = 3;
        set_copy_uuids(kUuid1, kUuid2);
        set_option(OPT_CORRECT);
        _exit(copy_directory_recursive_int(dir.c_str(), dir.c_str()) == 0 ? 0 : 121);
    }
    close(pipefd[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// A replacement that cannot be made beside its entry is reported with the
// name that was tried; when every name tried is taken, the report says that
// no name could be generated. The entry stays as it was.
TEST_F(Correct, ReplacementThatCannotBeMadeIsReportedWithItsName) {
    const std::string cache = std::string("vc/") + kUuid1 + "/x";
    const std::string made = "\\.(?!XXXXXX)[A-Za-z0-9]{6}";  // a generated name
    struct Case {
        const char *entry;
        long call;
        int err;
        std::string want;  // regex over standard error; "@" for the case directory
    } cases[] = {
        {"shortcut", SYS_openat, EACCES,
         "Error: Can't create shortcut '@/sc(" + made + ")': Permission denied\n"
         "Error: Can't create shortcut 'sc\\1': Permission denied\n"},
        {"shortcut", SYS_openat, EEXIST,
         "Error: Can't generate temprary file name for sc: File exists\n"},
        {"link", SYS_symlinkat, EACCES,
         "Error: can't create magic symlink ml" + made + " -> ////vc/" + kUuid2 +
             "/x: Permission denied\n"},
        {"link", SYS_symlinkat, EEXIST,
         "Error: can't generate temprary file name for ml: File exists\n"},
        {"second name", SYS_linkat, EACCES,
         "Error: Can't link @/(a|d/b) to (a|b)" + made + ": Permission denied\n"},
        {"second name", SYS_linkat, EEXIST,
         "Error: can't generate temprary file name for (a|b): File exists\n"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dir = src(std::to_string(++n)), entry = c.entry;
        if (entry == "shortcut") {
            kxtest::make_shortcut_file(dir + "/sc", cache);
        } else if (entry == "link") {
            kxtest::make_magic_link(dir + "/ml", cache);
        } else {
            kxtest::make_magic_link(dir + "/a", cache);
            kxtest::make_dirs(dir + "/d");
            ASSERT_EQ(link((dir + "/a").c_str(), (dir + "/d/b").c_str()), 0);
        }
        auto before = kxtest::snapshot(dir);
        auto [status, err] = correct_failing(dir, c.call, c.err);
        std::string want = c.want;
        for (size_t at; (at = want.find('@')) != std::string::npos;)
            want.replace(at, 1, dir);
        EXPECT_EQ(status, 1) << entry << " " << c.err;
        EXPECT_TRUE(std::regex_match(err, std::regex(want))) << err;
        // No entry replaced, no temporary left (the first of two names
        // may have been rewritten before the second failed).
        auto after = kxtest::snapshot(dir);
        EXPECT_EQ(after.size(), before.size()) << entry << " " << c.err;
        for (const auto &[rel, e] : before)
            if (entry != "second name" || rel == "d") {
                EXPECT_EQ(after[rel].ino, e.ino) << rel;
            }
    }
}

// An entry that a flag locks against its replacement (the entry itself or
// its directory immutable or append-only) is left as it is and reported
// before anything of it changes; the correction goes on with the rest and
// ends with 1. A flag that locks nothing goes to the replacement after its
// rename. Once the locks are gone, a rerun corrects the rest.
TEST_F(Correct, LockedEntriesAreLeftAndReported) {
    KX_REQUIRE_ROOT();
    const std::string target = std::string("vc/") + kUuid1 + "/x";
    const std::string old_text = "////" + target;
    const std::string new_text = std::string("////vc/") + kUuid2 + "/x";
    struct Case {
        std::string path;    // the entry
        std::string holder;  // what carries the flag, "" for nothing
        int flag;
        bool link;
    } cases[] = {
        {"imm/sc", "imm", kImmutable, false},
        {"app/ml", "app", kAppendOnly, true},
        {"sc_imm", "sc_imm", kImmutable, false},
        {"sc_app", "sc_app", kAppendOnly, false},
        {"sc_nodump", "", 0, false},
        {"ml", "", 0, true},
    };
    Unlock unlock;
    for (const Case &c : cases) {
        if (c.link)
            kxtest::make_magic_link(src(c.path), target);
        else
            kxtest::make_shortcut_file(src(c.path), target);
    }
    ASSERT_TRUE(add_flags(src("sc_nodump"), kNoDump));
    for (const Case &c : cases) {
        if (!c.holder.empty()) {
            ASSERT_TRUE(add_flags(src(c.holder), c.flag)) << c.holder;
            unlock.paths.push_back(src(c.holder));
        }
    }
    set_copy_uuids(kUuid1, kUuid2);
    set_option(OPT_CORRECT);
    kxfsutil_debug_level = 3;
    CaptureStderr();
    EXPECT_EQ(copy_directory_recursive_int(src_.c_str(), src_.c_str()), 1);
    std::string err = GetCapturedStderr();
    size_t entries = 0;
    for (const Case &c : cases) {
        std::string text = c.link ? kxtest::read_link(src(c.path)) : read_file(src(c.path));
        std::string said = "Error: Can't correct '" + src(c.path) + "': '" + src(c.holder) +
                           "' is immutable or append-only\n";
        if (c.holder.empty()) {
            EXPECT_EQ(text, new_text) << c.path;
        } else {
            EXPECT_EQ(text, old_text) << c.path;
            EXPECT_NE(err.find(said), std::string::npos) << err;
        }
        entries += 1 + (c.path.find('/') != std::string::npos);
    }
    EXPECT_EQ(kxcmp::flags_of(src("sc_nodump"), lstat_of(src("sc_nodump"))) & kNoDump, kNoDump);
    // No temporary was made for a locked entry.
    EXPECT_EQ(kxtest::snapshot(src_).size(), entries);

    unlock.release();
    EXPECT_EQ(copy_directory_recursive_int(src_.c_str(), src_.c_str()), 0);
    for (const Case &c : cases)
        EXPECT_EQ(c.link ? kxtest::read_link(src(c.path)) : read_file(src(c.path)), new_text);
    EXPECT_EQ(kxtest::snapshot(src_).size(), entries);
}

TEST_F(Correct, ThirdNameFollowsTheRewrittenInode) {
    kxtest::make_magic_link(src("a"), std::string("vc/") + kUuid1 + "/x");
    kxtest::make_dirs(src("d"));
    link(src("a").c_str(), src("d/b").c_str());
    link(src("a").c_str(), src("d/c").c_str());
    set_copy_uuids(kUuid1, kUuid2);
    set_option(OPT_CORRECT);
    ASSERT_EQ(copy_directory_recursive_int(src_.c_str(), src_.c_str()), 0);
    struct stat a = lstat_of(src("a"));
    EXPECT_EQ(a.st_nlink, 3u);
    EXPECT_EQ(lstat_of(src("d/b")).st_ino, a.st_ino);
    EXPECT_EQ(lstat_of(src("d/c")).st_ino, a.st_ino);
    EXPECT_EQ(kxtest::read_link(src("d/c")), std::string("////vc/") + kUuid2 + "/x");
}

class LinkFiles : public Copy {};

TEST_F(LinkFiles, RegularFilesShareTheSourceInodesAndLinksAreRewritten) {
    KX_REQUIRE_ROOT();
    kxcmp::Fixture fx = build();
    std::string cache = host_.template_root() + "/vc/" + kUuid1;
    kxcmp::Tree before = kxcmp::snapshot(src_);
    set_copy_uuids(kUuid1, kUuid2);
    ASSERT_EQ(copy(OPT_LINK_FILES), 0);
    kxcmp::Tree linked = kxcmp::snapshot(dst_);
    for (const auto &[path, node] : before) {
        ASSERT_TRUE(linked.count(path)) << path;
        const kxtest::Entry &d = linked.at(path).e;
        bool is_index = fx.index_set().count(path) > 0;
        if (S_ISREG(node.e.mode) && !is_index) {
            // Shortcuts too: linked, not rewritten.
            EXPECT_EQ(d.ino, node.e.ino) << path;
            EXPECT_EQ(d.data, node.e.data) << path;
        } else {
            EXPECT_NE(d.ino, node.e.ino) << path;
            EXPECT_EQ(d.mode, node.e.mode) << path;
        }
    }
    EXPECT_EQ(linked.at("root/ml_cache").e.data, std::string("////vc/") + kUuid2 + "/bin/sh");
    EXPECT_EQ(linked.at("root/hard_ml1").e.ino, linked.at("root/other/hard_ml2").e.ino);
    for (const std::string &t : kxcmp::index_targets(dst(fx.indexes[0])))
        EXPECT_NE(t.find(kUuid2), std::string::npos) << t;
}

}  // namespace
