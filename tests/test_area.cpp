// The area boundary: the area handle and its refusals, open_beneath in both
// of its forms, the *_at primitives against planted links and fifos, the
// exclusive temporary of make_shortcut_at, the walk's identity check and
// the lost-and-found moves through the handle.
#include <dlfcn.h>
#include <linux/capability.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "area.h"
#include "walk.h"
#include "kxtest.h"
#include "libkxfsutil.h"

using kxtest::exists;
using kxtest::make_dirs;
using kxtest::make_symlink;
using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Called before every openat64 of the process that creates a file; lets a
// test act as another process racing the library.
static std::function<void(int, const char *)> before_create;

extern "C" int openat64(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned int));
        va_end(ap);
    }
    using real_fn = int (*)(int, const char *, int, ...);
    static real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "openat64"));
    if ((flags & O_CREAT) && before_create) {
        auto hook = std::move(before_create);
        before_create = nullptr;
        hook(dirfd, path);
    }
    return real(dirfd, path, flags, mode);
}

namespace {

// What must not change on a host file.
struct Fingerprint {
    struct stat st;
    std::string data;
    bool operator==(const Fingerprint &o) const {
        return st.st_ino == o.st.st_ino && st.st_mode == o.st.st_mode &&
               st.st_uid == o.st.st_uid && st.st_gid == o.st.st_gid &&
               st.st_nlink == o.st.st_nlink && st.st_mtim.tv_sec == o.st.st_mtim.tv_sec &&
               st.st_mtim.tv_nsec == o.st.st_mtim.tv_nsec && data == o.data;
    }
};

Fingerprint fingerprint(const std::string &path) {
    return {kxtest::lstat_of(path), kxtest::read_file(path)};
}

class Boundary : public testing::Test {
protected:
    void SetUp() override {
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 0;
        area_ = host_.path("vz/private/101");
        outside_ = host_.path("host");
        write_file(outside_ + "/secret", "host data", 0640);
        make_dirs(area_);
    }
    void TearDown() override {
        kxfsutil_debug_level = saved_level_;
        set_current_area(nullptr);
    }
    std::string at(const std::string &rel) const { return area_ + "/" + rel; }
    void layout4() { write_file(at(".layout"), "4\n"); }

    kxtest::Host host_;
    std::string area_, outside_;
    int saved_level_ = 0;
};

// ---- the area handle --------------------------------------------------------

TEST_F(Boundary, SoundAreaOpensEveryTopDirectory) {
    for (int layout : {3, 4}) {
        kxtest::Host host;
        std::string area = host.path("area");
        std::string tree = layout == 4 ? area + "/fs" : area;
        write_file(area + "/.layout", std::to_string(layout) + "\n");
        make_dirs(tree + "/root");
        struct kxfs_area *a = open_area((area + "/").c_str());
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->layout, layout);
        EXPECT_EQ(unsafe_area_dir(a), nullptr);
        EXPECT_EQ(std::string(a->tree.path), tree);
        EXPECT_EQ(std::string(a->root.path), tree + "/root");
        struct stat st;
        ASSERT_EQ(fstat(a->root.fd, &st), 0);
        EXPECT_EQ(st.st_ino, kxtest::lstat_of(tree + "/root").st_ino);
        // An absent directory is only absent: the tools keep their messages.
        EXPECT_EQ(a->cow.fd, -1);
        EXPECT_EQ(a->cow.error, ENOENT);
        EXPECT_EQ(a->cow.unsafe, 0);
        refuse_unsafe_area(a);
        close_area(a);
    }
    errno = 0;
    EXPECT_EQ(open_area(host_.path("none").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Boundary, TopDirectoryThatIsNoRealDirectoryIsRefused) {
    struct Plant {
        const char *kind;
        std::function<void(const std::string &)> make;
    };
    const std::string outside = outside_;
    const Plant plants[] = {
        {"link to a host directory", [&](const std::string &p) { make_symlink(outside, p); }},
        {"link to the working directory",
         [](const std::string &p) { make_symlink("/proc/self/cwd", p); }},
        {"regular file", [](const std::string &p) { write_file(p, "x"); }},
        {"fifo", [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
    };
    for (const char *top : {"fs", "fs/root", "fs/cow"}) {
        for (const Plant &plant : plants) {
            kxtest::Host host;
            std::string area = host.path("area");
            write_file(area + "/.layout", "4\n");
            if (std::strcmp(top, "fs") != 0)
                make_dirs(area + "/fs");
            plant.make(area + "/" + top);
            struct kxfs_area *a = open_area(area.c_str());
            ASSERT_NE(a, nullptr);
            const struct kxfs_area_dir *bad = unsafe_area_dir(a);
            ASSERT_NE(bad, nullptr) << top << ": " << plant.kind;
            EXPECT_EQ(std::string(bad->path), area + "/" + top);
            EXPECT_EQ(bad->fd, -1);
            EXPECT_EXIT(refuse_unsafe_area(a), testing::ExitedWithCode(1),
                        "^Error: Unsafe private area: '" + area + "/" + top +
                            "' is not a real directory: ")
                << top << ": " << plant.kind;
            close_area(a);
        }
    }
    EXPECT_EQ(kxtest::snapshot(outside_).size(), 1u);
}

// ---- open_beneath -------------------------------------------------------------

TEST_F(Boundary, OpenBeneathFollowsNoLinkAndNeverLeaves) {
    write_file(at("a/b/file"), "inside");
    make_symlink(outside_, at("a/link"));
    make_symlink(outside_ + "/secret", at("l"));
    struct Case {
        const char *path;
        int flags;
        int error;  // 0: opens
    } cases[] = {
        {"a/b/file", O_RDONLY, 0},
        {"a//./b/file", O_RDONLY, 0},
        {"", O_RDONLY | O_DIRECTORY, 0},
        {"a/link/secret", O_RDONLY, ELOOP},
        {"a/link", O_RDONLY | O_DIRECTORY, ELOOP},
        {"l", O_RDONLY, ELOOP},
        {"l", O_PATH | O_NOFOLLOW, 0},  // the link itself
        {"a/link/new", O_WRONLY | O_CREAT, ELOOP},
        {"../101/a/b/file", O_RDONLY, EXDEV},
        {"a/../a/b/file", O_RDONLY, EXDEV},
        {"/etc/passwd", O_RDONLY, EXDEV},
        {"a/b/file/x", O_RDONLY, ENOTDIR},
        {"a/none", O_RDONLY, ENOENT},
    };
    kx::Fd dir(open(area_.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(dir.ok());
    using Opener = int (*)(int, const char *, int, mode_t);
    const std::pair<const char *, Opener> openers[] = {
        {"openat2", [](int d, const char *p, int f, mode_t m) { return kx::open_beneath(d, p, f, m); }},
        {"walk", kx::open_beneath_walk},
        {"exported", [](int d, const char *p, int f, mode_t m) { return open_beneath(d, p, f, m); }},
    };
    for (const auto &[form, opener] : openers) {
        for (const Case &c : cases) {
            errno = 0;
            kx::Fd fd(opener(dir.get(), c.path, c.flags, 0600));
            if (c.error == 0) {
                EXPECT_TRUE(fd.ok()) << form << " " << c.path << ": " << std::strerror(errno);
            } else {
                EXPECT_FALSE(fd.ok()) << form << " " << c.path;
                EXPECT_EQ(errno, c.error) << form << " " << c.path << ": " << std::strerror(errno);
            }
        }
    }
    EXPECT_FALSE(exists(outside_ + "/new"));
}

// ---- the primitives against planted entries ---------------------------------------

TEST_F(Boundary, PrimitivesNeitherFollowNorBlockOnPlantedEntries) {
    KX_REQUIRE_ROOT();
    const std::string secret = outside_ + "/secret";
    ASSERT_EQ(setxattr(secret.c_str(), "user.host", "h", 1, 0), 0);
    struct timespec times[2] = {{1000000000, 111}, {1100000000, 222}};
    ASSERT_EQ(utimensat(AT_FDCWD, secret.c_str(), times, 0), 0);
    const Fingerprint before = fingerprint(secret);
    write_file(at("plain"), "area file");
    write_file(at("index"), "not an index");

    struct stat file_rec{};
    file_rec.st_mode = S_IFREG | 04777;
    file_rec.st_uid = 4321;
    file_rec.st_gid = 4321;
    file_rec.st_mtim.tv_sec = 5;
    struct stat link_rec = file_rec;
    link_rec.st_mode = S_IFLNK | 0777;
    const char *troot = "/nonexistent-template";
    char buf[64];
    long long flags = 0;
    struct stat st;
    struct utimbuf ut{7, 8};

    using Step = std::function<void(int, const char *)>;
    const std::pair<const char *, Step> steps[] = {
        {"set_attr_at", [&](int d, const char *n) { set_attr_at(d, n, &file_rec); }},
        {"set_attr_at link", [&](int d, const char *n) { set_attr_at(d, n, &link_rec); }},
        {"kxlchmod_at", [](int d, const char *n) { kxlchmod_at(d, n, 04777); }},
        {"kxlutime_at", [&](int d, const char *n) { kxlutime_at(d, n, &ut); }},
        {"set_eattr_at", [](int d, const char *n) { set_eattr_at(d, n, 0x10); }},
        {"get_eattr_at", [&](int d, const char *n) { get_eattr_at(d, n, &flags); }},
        {"check_eattr_at", [](int d, const char *n) { check_eattr_at(d, n); }},
        {"copy_eattr_at", [](int d, const char *n) { copy_eattr_at(d, "plain", d, n); }},
        {"copy_xattrs_at to", [](int d, const char *n) { copy_xattrs_at(d, "plain", d, n, 0, 0); }},
        {"copy_xattrs_at from", [](int d, const char *n) { copy_xattrs_at(d, n, d, "x", 0, 0); }},
        {"read_shortcut_at", [&](int d, const char *n) { read_shortcut_at(d, n, buf, sizeof buf); }},
        {"create_shortcut_at", [&](int d, const char *n) { create_shortcut_at(d, n, "////x", 5, &file_rec, 0); }},
        {"make_shortcut_at", [&](int d, const char *n) { make_shortcut_at(d, n, "////x", 5, &file_rec, 0); }},
        {"copy_reg_file_at to", [](int d, const char *n) { copy_reg_file_at(d, "plain", d, n); }},
        {"copy_reg_file_at from", [](int d, const char *n) { copy_reg_file_at(d, n, d, "copy"); }},
        {"compare_files_at", [](int d, const char *n) { compare_files_at(d, n, d, "plain"); }},
        {"mmap_file_at", [&](int d, const char *n) { mmap_file_at(d, n, &st, 0); }},
        {"read_dirindex_at", [](int d, const char *n) { free(read_dirindex_at(d, n, 0)); }},
        {"fsck_dirindex_at", [&](int d, const char *n) { fsck_dirindex_at(d, n, 0, troot, 0); }},
        {"fsck_dirindex_at out", [&](int d, const char *n) { fsck_dirindex_at(d, "index", n, troot, 0); }},
        {"clone_dirindex_at to", [](int d, const char *n) { clone_dirindex_at(d, "index", d, n, 0, 0, 0); }},
        {"clone_dirindex_at from", [](int d, const char *n) { clone_dirindex_at(d, n, d, "c", 0, 0, 0); }},
        {"create_dirindex_at", [&](int d, const char *n) { create_dirindex_at(d, n, troot, 0, 0); }},
        {"scan_one_at", [&](int d, const char *n) { scan_one_at(d, n, 0x10, troot); }},
        {"remove_dir_at", [](int d, const char *n) { remove_dir_at(d, n, 0); }},
    };
    kx::Fd dir(open(area_.c_str(), O_RDONLY | O_DIRECTORY));
    for (const char *planted : {"link", "fifo"}) {
        for (const auto &[what, step] : steps) {
            unlink(at(planted).c_str());
            if (std::strcmp(planted, "link") == 0)
                make_symlink(secret, at(planted));
            else
                ASSERT_EQ(mkfifo(at(planted).c_str(), 0600), 0);
            alarm(20);  // a step that blocks on the fifo ends the test
            CaptureStderr();
            step(dir.get(), planted);
            GetCapturedStderr();
            alarm(0);
            clean_memory();
            EXPECT_TRUE(fingerprint(secret) == before) << what << " on " << planted;
            EXPECT_EQ(getxattr(secret.c_str(), "user.host", buf, sizeof buf), 1) << what;
        }
    }
}

TEST_F(Boundary, MakeShortcutNeverTakesATemporaryNameSomeoneElseMade) {
    write_file(at("entry"), "old");
    kx::Fd dir(open(area_.c_str(), O_RDONLY | O_DIRECTORY));
    std::string raced;
    // Another process creates the very name the library is about to create.
    before_create = [&](int d, const char *name) {
        raced = name;
        int fd = openat(d, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "theirs", 6), 6);
        close(fd);
    };
    struct stat st = kxtest::lstat_of(at("entry"));
    st.st_mode = S_IFREG | S_ISVTX | 0644;
    ASSERT_EQ(make_shortcut_at(dir.get(), "entry", "////t/x", 7, &st, area_.c_str()), 0);
    before_create = nullptr;
    ASSERT_EQ(raced.rfind("entry-", 0), 0u) << raced;
    EXPECT_EQ(kxtest::read_file(at(raced)), "theirs");
    EXPECT_EQ(kxtest::read_file(at("entry")), "////t/x");
    EXPECT_EQ(kxtest::snapshot(area_).size(), 2u);
}

TEST_F(Boundary, SetAttrKeepsNanoseconds) {
    write_file(at("f"), "x");
    struct stat st = kxtest::lstat_of(at("f"));
    st.st_atim = {1500000000, 123456789};
    st.st_mtim = {1600000000, 987654321};
    kx::Fd dir(open(area_.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(set_attr_at(dir.get(), "f", &st), 0);
    struct stat now = kxtest::lstat_of(at("f"));
    EXPECT_EQ(now.st_atim.tv_nsec, 123456789);
    EXPECT_EQ(now.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(now.st_mtim.tv_nsec, 987654321);
}

// A file made without a name gets one, and a named file a further one,
// with the capability to link a descriptor directly and, in a child that
// dropped it, through /proc; a taken name stays EEXIST either way.
TEST_F(Boundary, OpenFileIsLinkedWithAndWithoutTheCapability) {
    KX_REQUIRE_ROOT();
    for (bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "without CAP_DAC_READ_SEARCH" : "with it");
        const std::string dir = at(drop ? "without" : "with");
        make_dirs(dir);
        write_file(dir + "/named", "n");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            kx::Fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
            kx::Fd tmp(openat(d.get(), ".", O_TMPFILE | O_RDWR, 0600));
            kx::Fd named(openat(d.get(), "named", O_RDONLY));
            if (!tmp.ok() || !named.ok() || write(tmp.get(), "x", 1) != 1)
                _exit(12);
            // Dropped after the opens: a kernel that lets a file's opener
            // link it without the capability must not see the same opener.
            if (drop) {
                __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
                __user_cap_data_struct caps[2];
                if (syscall(SYS_capget, &head, caps) != 0)
                    _exit(10);
                caps[0].effective &= ~(1U << CAP_DAC_READ_SEARCH);
                if (syscall(SYS_capset, &head, caps) != 0)
                    _exit(11);
                if (linkat(tmp.get(), "", d.get(), "probe", AT_EMPTY_PATH) == 0 || errno != ENOENT)
                    _exit(16);
            }
            if (kx::link_open_file(tmp.get(), d.get(), "made") != 0)
                _exit(13);
            if (kx::link_open_file(named.get(), d.get(), "second") != 0)
                _exit(14);
            if (kx::link_open_file(tmp.get(), d.get(), "second") == 0 || errno != EEXIST)
                _exit(15);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(kxtest::read_file(dir + "/made"), "x");
        EXPECT_EQ(kxtest::lstat_of(dir + "/second").st_ino, kxtest::lstat_of(dir + "/named").st_ino);
    }
}

// ---- the walk -------------------------------------------------------------------

struct Swap {
    std::function<void()> swap;
    std::vector<std::string> seen;
};

int swap_on_d(void *data, int, const char *, const char *path, const char *, int,
              const struct stat *) {
    auto *s = static_cast<Swap *>(data);
    s->seen.push_back(path);
    if (std::strcmp(path, "d") == 0)
        s->swap();
    return 0;
}

TEST_F(Boundary, WalkRefusesADirectorySwappedAfterItsListing) {
    struct Case {
        const char *what;
        std::function<void(const std::string &)> swap;
        const char *error;
    } cases[] = {
        {"link", [&](const std::string &d) { make_symlink(outside_, d); }, "Too many levels"},
        {"other directory", [](const std::string &d) { write_file(d + "/planted", ""); },
         "Stale file handle"},
    };
    kxfsutil_debug_level = 2;
    for (const Case &c : cases) {
        std::string root = host_.path(std::string("walk-") + c.what);
        write_file(root + "/d/own", "");
        Swap s;
        s.swap = [&] {
            ASSERT_EQ(rename((root + "/d").c_str(), (root + "/gone").c_str()), 0);
            c.swap(root + "/d");
        };
        kx::Fd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY));
        CaptureStderr();
        EXPECT_EQ(scan_private_at(fd.get(), swap_on_d, &s), -1) << c.what;
        std::string err = GetCapturedStderr();
        EXPECT_NE(err.find("can't open directory 'd': " + std::string(c.error)), std::string::npos)
            << err;
        EXPECT_EQ(s.seen, std::vector<std::string>{"d"}) << c.what;
    }
}

// ---- lost-and-found through the handle -----------------------------------------------

TEST_F(Boundary, LostAndFoundMovesStayInTheArea) {
    // A layout-4 area whose "fs" is a link to another area is refused by the
    // handle, and a move through it changes neither area.
    layout4();
    std::string other = host_.path("vz/private/102");
    write_file(other + "/root/x", "other area");
    make_symlink(other, at("fs"));
    char *saved = priv_dir;
    priv_dir = area_.data();
    EXPECT_EQ(move_item_to_lost("x", "root"), -1);
    priv_dir = saved;
    EXPECT_EQ(kxtest::read_file(other + "/root/x"), "other area");
    EXPECT_FALSE(exists(other + "/lost_files"));

    // The current area's descriptors keep the move on the tree that was
    // opened, even when "root" is replaced by a link afterwards.
    unlink(at("fs").c_str());
    write_file(at("fs/root/x"), "ours");
    struct kxfs_area *a = open_area(area_.c_str());
    ASSERT_NE(a, nullptr);
    set_current_area(a);
    ASSERT_EQ(rename(at("fs/root").c_str(), at("fs/old").c_str()), 0);
    make_symlink(other + "/root", at("fs/root"));
    EXPECT_EQ(move_item_to_lost("x", "root"), 0);
    EXPECT_EQ(kxtest::read_file(at("lost_files/root/x")), "ours");
    EXPECT_EQ(kxtest::read_file(other + "/root/x"), "other area");

    // lost_files itself is never followed when it is a link.
    close_area(a);
    a = open_area(area_.c_str());
    set_current_area(a);
    ASSERT_EQ(rename(at("lost_files").c_str(), at("lost_old").c_str()), 0);
    make_symlink(outside_, at("lost_files"));
    write_file(at("fs/old/y"), "y");
    errno = 0;
    EXPECT_EQ(open_lost_dir(a, "root"), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(kxtest::snapshot(outside_).size(), 1u);
    close_area(a);
    EXPECT_EQ(get_current_area(), nullptr);
}

}  // namespace

// ---- the cow directory's name filter -----------------------------------------

TEST(NameFilter, ListedNamesAlwaysTestPresentOthersAlmostNever) {
    kxtest::Host host;
    std::string dir = host.path("cow");
    make_dirs(dir);
    std::vector<std::string> listed, other;
    for (int i = 0; i < 4000; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "%032x", i * 2654435761u);
        (i % 2 ? other : listed).push_back(name);
    }
    for (const std::string &name : listed)
        write_file(dir + "/" + name, "");
    kx::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(fd.ok());
    // Read to its end here: the filter must list the directory anew.
    char buf[65536];
    while (::syscall(SYS_getdents64, fd.get(), buf, sizeof buf) > 0) {
    }

    kx::NameFilter filter;
    ASSERT_TRUE(filter.add_listing(fd.get()));
    for (const std::string &name : listed)
        EXPECT_TRUE(filter.may_hold(name)) << name;
    int false_hits = 0;
    for (const std::string &name : other)
        false_hits += filter.may_hold(name);
    EXPECT_LT(false_hits, 5);

    kx::Fd file(::open((dir + "/" + listed[0]).c_str(), O_RDONLY));
    EXPECT_FALSE(kx::NameFilter().add_listing(file.get()));
    EXPECT_FALSE(kx::NameFilter().add_listing(-1));
}
