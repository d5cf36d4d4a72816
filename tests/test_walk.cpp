// The classified walk of an area and the recursive removal of a tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dirindex_support.h"
#include "kxtest.h"
#include "libkxfsutil.h"
#include "walk.h"

using kxtest::exists;
using kxtest::make_dirs;
using kxtest::make_magic_link;
using kxtest::make_shortcut_file;
using kxtest::make_symlink;
using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Seen {
    std::string path;
    std::string data;
    bool has_data = false;
    int flags = 0;
    ino_t ino = 0;
};

struct Recorder {
    std::vector<Seen> seen;
    std::string stop_at;  // path whose callback returns stop_value
    int stop_value = 0;
};

int record(void *user, const char *path, const char *text, int flags, const struct stat *st) {
    auto *r = static_cast<Recorder *>(user);
    Seen s;
    s.path = path;
    s.has_data = text != nullptr;
    if (text)
        s.data = text;
    s.flags = flags;
    s.ino = st->st_ino;
    r->seen.push_back(s);
    return r->stop_at == path ? r->stop_value : 0;
}

const Seen *find(const Recorder &r, const std::string &path) {
    for (const Seen &s : r.seen)
        if (s.path == path)
            return &s;
    return nullptr;
}

size_t position(const Recorder &r, const std::string &path) {
    for (size_t i = 0; i < r.seen.size(); ++i)
        if (r.seen[i].path == path)
            return i;
    return r.seen.size();
}

std::string cwd() {
    std::unique_ptr<char, decltype(&free)> p(getcwd(nullptr, 0), &free);
    return p ? p.get() : "";
}

// Names of a directory in the order it yields them.
std::vector<std::string> listing(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *de = readdir(d))
        if (std::strcmp(de->d_name, ".") && std::strcmp(de->d_name, ".."))
            names.push_back(de->d_name);
    closedir(d);
    return names;
}

class Walk : public testing::Test {
protected:
    void SetUp() override {
        area_ = host_.path("area");
        make_dirs(area_);
        start_ = cwd();
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 3;
    }
    void TearDown() override {
        kxfsutil_debug_level = saved_level_;
        ASSERT_EQ(chdir(start_.c_str()), 0);
    }
    std::string at(const std::string &rel) const { return area_ + "/" + rel; }

    // Gives dir a dirindex listing template files a, b and c of directory
    // "t" (magic links through create_dirindex), then leaves dir with only
    // what the test puts there.
    void make_indexed_dir(const std::string &dir) {
        for (const char *n : {"a", "b", "c"})
            write_file(host_.template_root() + "/t/" + n, n);
        make_dirs(dir);
        for (const char *n : {"a", "b", "c"})
            make_magic_link(dir + "/" + n, std::string("t/") + n);
        std::string here = cwd();
        ASSERT_EQ(chdir(dir.c_str()), 0);
        ASSERT_EQ(create_dirindex(".", DIRINDEX_NAME, host_.template_root().c_str(), 0), 0);
        ASSERT_EQ(chdir(here.c_str()), 0);
        for (const char *n : {"a", "b", "c"})
            unlink((dir + "/" + n).c_str());
        ASSERT_TRUE(kxtest::lstat_of(dir).st_mode & S_ISUID);
    }

    kxtest::Host host_;
    std::string area_, start_;
    int saved_level_ = 0;
};

TEST_F(Walk, EmptyAreaCallsNothingAndComesBack) {
    Recorder r;
    EXPECT_EQ(scan_private(area_.c_str(), record, &r), 0);
    EXPECT_TRUE(r.seen.empty());
    EXPECT_EQ(cwd(), start_);
}

TEST_F(Walk, EveryKindOfEntryIsClassified) {
    make_shortcut_file(at("shortcut"), "t/x");
    write_file(at("sticky"), "abc", 01644);
    write_file(at("plain"), "////looks magic but no sticky bit");
    make_magic_link(at("magic"), "t/y");
    make_symlink("///three/slashes", at("link"));
    make_dirs(at("dir"));
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
    // In a directory that is not template-backed a magic "._kxlnk_." is a
    // leftover and is not reported; a plain link of that name is.
    make_magic_link(at(DIRINDEX_NAME), "t");
    make_dirs(at("dir2"));
    make_symlink("elsewhere", at("dir2/" DIRINDEX_NAME));

    Recorder r;
    ASSERT_EQ(scan_private(area_.c_str(), record, &r), 0);
    struct Want {
        const char *path;
        int flags;
        const char *data;
    } wants[] = {
        {"shortcut", SCAN_SHORTCUT, "////t/x"},
        {"sticky", SCAN_FILE, nullptr},
        {"plain", SCAN_FILE, nullptr},
        {"magic", SCAN_MAGIC_LINK, "////t/y"},
        {"link", SCAN_SYMLINK, "///three/slashes"},
        {"dir", SCAN_DIR, nullptr},
        {"fifo", SCAN_OTHER, nullptr},
        {"dir2", SCAN_DIR, nullptr},
        {"dir2/" DIRINDEX_NAME, SCAN_SYMLINK, "elsewhere"},
    };
    for (const Want &w : wants) {
        const Seen *s = find(r, w.path);
        ASSERT_NE(s, nullptr) << w.path;
        EXPECT_EQ(s->flags, w.flags) << w.path;
        EXPECT_EQ(s->has_data, w.data != nullptr) << w.path;
        if (w.data) {
            EXPECT_EQ(s->data, w.data) << w.path;
        }
        EXPECT_EQ(s->ino, kxtest::lstat_of(at(w.path)).st_ino) << w.path;
    }
    EXPECT_EQ(find(r, DIRINDEX_NAME), nullptr);
    EXPECT_EQ(r.seen.size(), std::size(wants));
}

TEST_F(Walk, IndexedDirectoryReportsHeldNamesThenTemplateOnlyNames) {
    std::string dir = at("d");
    make_indexed_dir(dir);
    write_file(dir + "/b", "own b");

    Recorder r;
    ASSERT_EQ(scan_private(area_.c_str(), record, &r), 0);
    ASSERT_EQ(r.seen.size(), 4u);
    EXPECT_EQ(r.seen[0].path, "d");
    EXPECT_EQ(r.seen[1].path, "d/b");
    EXPECT_EQ(r.seen[1].flags, SCAN_FILE | SCAN_DIR_INDEXED);

    // The template-only names follow in the index's own order.
    char **list = read_dirindex((dir + "/" DIRINDEX_NAME).c_str());
    ASSERT_NE(list, nullptr);
    std::vector<std::string> expected;
    for (char **e = list; *e; ++e) {
        std::string text = *e;
        std::string name = text.substr(text.rfind('/') + 1);
        if (name != "b")
            expected.push_back(text);
        free(*e);
    }
    free(list);
    ASSERT_EQ(expected.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const Seen &s = r.seen[2 + i];
        std::string name = expected[i].substr(expected[i].rfind('/') + 1);
        EXPECT_EQ(s.path, "d/" + name);
        EXPECT_EQ(s.flags, SCAN_TEMPLATE_ENTRY | SCAN_DIR_INDEXED);
        EXPECT_EQ(s.data, expected[i]);
        // The record handed over is the template object's.
        EXPECT_EQ(s.ino, kxtest::lstat_of(host_.template_root() + "/t/" + name).st_ino);
    }
}

TEST_F(Walk, TemplateOnlyNamesOfTheRootCarryADotPrefix) {
    make_indexed_dir(area_);
    make_dirs(at("sub"));
    write_file(at("sub/x"), "x");

    Recorder r;
    ASSERT_EQ(scan_private(area_.c_str(), record, &r), 0);
    for (const char *p : {"./a", "./b", "./c"}) {
        const Seen *s = find(r, p);
        ASSERT_NE(s, nullptr) << p;
        EXPECT_EQ(s->flags, SCAN_TEMPLATE_ENTRY | SCAN_DIR_INDEXED);
    }
    ASSERT_NE(find(r, "sub"), nullptr);
    EXPECT_EQ(find(r, "sub")->flags, SCAN_DIR | SCAN_DIR_INDEXED);
    ASSERT_NE(find(r, "sub/x"), nullptr);
    EXPECT_EQ(find(r, "sub/x")->flags, SCAN_FILE);
    EXPECT_EQ(find(r, DIRINDEX_NAME), nullptr);
    EXPECT_EQ(find(r, "./" DIRINDEX_NAME), nullptr);
    // The root's own entries and its index come before its subdirectories.
    EXPECT_LT(position(r, "./a"), position(r, "sub/x"));
}

TEST_F(Walk, LinkedDirectoryReportsItsMarker) {
    make_dirs(at("l"), 04755);
    make_magic_link(at("l/" DIRINDEX_NAME), "t");
    write_file(at("l/f"), "f");

    Recorder r;
    ASSERT_EQ(scan_private(area_.c_str(), record, &r), 0);
    ASSERT_NE(find(r, "l/" DIRINDEX_NAME), nullptr);
    EXPECT_EQ(find(r, "l/" DIRINDEX_NAME)->flags, SCAN_MAGIC_LINK | SCAN_DIR_LINKED);
    EXPECT_EQ(find(r, "l/" DIRINDEX_NAME)->data, "////t");
    EXPECT_EQ(find(r, "l/f")->flags, SCAN_FILE | SCAN_DIR_LINKED);

    // The set-user-ID bit without a marker, or with a marker of another
    // type, gives no directory flag.
    make_dirs(at("m"), 04755);
    write_file(at("m/f"), "f");
    make_dirs(at("n/" DIRINDEX_NAME));
    chmod(at("n").c_str(), 04755);
    Recorder r2;
    ASSERT_EQ(scan_private(area_.c_str(), record, &r2), 0);
    EXPECT_EQ(find(r2, "m/f")->flags, SCAN_FILE);
    EXPECT_EQ(find(r2, "n/" DIRINDEX_NAME)->flags, SCAN_DIR);
}

TEST_F(Walk, DepthFirstFromTheLastSubdirectoryMet) {
    for (const char *d : {"p", "q", "r"}) {
        write_file(at(std::string(d) + "/f"), d);
        write_file(at(std::string(d) + "/deep/g"), d);
    }
    write_file(at("top"), "");
    std::vector<std::string> root = listing(area_);

    Recorder r;
    ASSERT_EQ(scan_private(area_.c_str(), record, &r), 0);
    ASSERT_EQ(r.seen.size(), 13u);
    // First the root's entries, in listing order.
    for (size_t i = 0; i < root.size(); ++i)
        EXPECT_EQ(r.seen[i].path, root[i]);
    // Then the subdirectory listed last, with its own subtree, before the
    // one listed before it; each directory's entries before its subdirs.
    std::vector<std::string> dirs;
    for (const std::string &n : root)
        if (n != "top")
            dirs.push_back(n);
    std::string last = dirs[2], middle = dirs[1], first = dirs[0];
    EXPECT_EQ(r.seen[root.size()].path.substr(0, 2), last + "/");
    EXPECT_LT(position(r, last + "/deep/g"), position(r, middle + "/f"));
    EXPECT_LT(position(r, middle + "/deep/g"), position(r, first + "/f"));
    EXPECT_LT(position(r, last + "/f"), position(r, last + "/deep/g"));
    EXPECT_LT(position(r, last + "/deep"), position(r, last + "/deep/g"));
}

TEST_F(Walk, CallbackValueStopsEverything) {
    write_file(at("a/x"), "");
    write_file(at("b/y"), "");
    write_file(at("c"), "");
    Recorder all;
    ASSERT_EQ(scan_private(area_.c_str(), record, &all), 0);
    ASSERT_EQ(all.seen.size(), 5u);
    ASSERT_EQ(chdir(start_.c_str()), 0);

    for (size_t stop = 0; stop < all.seen.size(); ++stop) {
        Recorder r;
        r.stop_at = all.seen[stop].path;
        r.stop_value = 5;
        EXPECT_EQ(scan_private(area_.c_str(), record, &r), 5);
        EXPECT_EQ(r.seen.size(), stop + 1) << r.stop_at;
        ASSERT_EQ(chdir(start_.c_str()), 0);
    }
}

TEST_F(Walk, FailuresGiveTheirResults) {
    std::string missing = host_.path("nowhere");
    Recorder r;
    CaptureStderr();
    EXPECT_EQ(scan_private(missing.c_str(), record, &r), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "Error: can't chdir to '" + missing + "': No such file or directory\n");

    // An index that cannot be read ends the walk with -1 and a level-1 trace.
    make_dirs(at("bad"), 04755);
    write_file(at("bad/" DIRINDEX_NAME), "");
    write_file(at("bad/f"), "");
    kxfsutil_debug_level = 1;
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(scan_private(area_.c_str(), record, &r), -1);
    GetCapturedStdout();
    EXPECT_NE(GetCapturedStderr().find("Error read dirindex 'bad/" DIRINDEX_NAME "'\n"),
              std::string::npos);
    EXPECT_NE(find(r, "bad/f"), nullptr);
}

TEST_F(Walk, MissingTemplateObjectIsReportedAndStillPassed) {
    std::string dir = at("d");
    make_indexed_dir(dir);
    std::string gone = host_.template_root() + "/t/c";
    unlink(gone.c_str());
    Recorder r;
    CaptureStderr();
    ASSERT_EQ(scan_private(area_.c_str(), record, &r), 0);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Error: can't stat '" + host_.template_root() + "/////t/c'"),
              std::string::npos)
        << err;
    ASSERT_NE(find(r, "d/c"), nullptr);
    EXPECT_EQ(find(r, "d/c")->ino, 0u);
}

// A dirindex entry that climbs out of the template names nothing: the
// host's object there is never looked at, and the entry is passed on as
// one whose template object cannot be had.
TEST_F(Walk, TemplateEntryOutsideTheTemplateIsNotLookedAt) {
    write_file(host_.path("host/secret"), "x");
    make_dirs(at("d"), 04755);
    write_file(at("d/" DIRINDEX_NAME), dirtest::build_index({{"secret", 8, 5, "////../../host"}}));
    Recorder r;
    CaptureStderr();
    ASSERT_EQ(scan_private(area_.c_str(), record, &r), 0);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Error: can't stat '" + host_.template_root() +
                       "/////../../host/secret': Invalid cross-device link"),
              std::string::npos)
        << err;
    ASSERT_NE(find(r, "d/secret"), nullptr);
    EXPECT_EQ(find(r, "d/secret")->ino, 0u);
}

TEST_F(Walk, DirectoryReplacedByALinkIsNotEntered) {
    std::string outside = host_.path("outside");
    write_file(outside + "/secret", "");
    make_symlink(outside, at("d"));
    struct dir_stack stack = {nullptr, 0};
    ASSERT_EQ(chdir(area_.c_str()), 0);
    Recorder r;
    kxfsutil_debug_level = 0;
    EXPECT_EQ(scan_one_dir("d", &stack, record, &r), -1);
    EXPECT_TRUE(r.seen.empty());
    EXPECT_EQ(stack.head, nullptr);
}

// Below top, a chain of depth directories "c", each holding a file "f"
// and leaf directories "s0" to "s9" as well (so that, whatever order the
// listings take, directories wait on most levels while the walk is deeper).
// Made through descriptors.
void make_comb(const std::string &top, int depth) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < depth; ++i) {
        for (int leaf = 0; leaf < 10; ++leaf)
            ASSERT_EQ(mkdirat(fd, ("s" + std::to_string(leaf)).c_str(), 0755), 0);
        close(openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_EQ(mkdirat(fd, "c", 0755), 0);
        int next = openat(fd, "c", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    close(fd);
}

int open_descriptors() {
    return static_cast<int>(listing("/proc/self/fd").size());
}

// What a walk of a comb saw: each directory's visits by inode, the most
// descriptors open at once, and a change made when the bottom is reached.
struct CombWalk {
    std::map<ino_t, int> dirs;
    int most_fds = 0;
    std::string bottom;             // the path of the deepest file
    void (*at_bottom)() = nullptr;
};

int comb_entry(void *data, int, const char *, const char *path, const char *, int flags,
               const struct stat *st) {
    auto *w = static_cast<CombWalk *>(data);
    if (flags & SCAN_DIR)
        w->dirs[st->st_ino]++;
    w->most_fds = std::max(w->most_fds, open_descriptors());
    if (w->at_bottom && w->bottom == path)
        w->at_bottom();
    return 0;
}

// Every directory of a tree much deeper than the descriptors the walk
// holds is visited once, with the descriptors open bounded whatever the
// depth; a subtree moved elsewhere in the tree while the walk is below it
// is still finished, and nothing is visited twice.
TEST_F(Walk, DeepTreesAreWalkedOnceWithBoundedDescriptors) {
    const int depth = 120;
    std::string bottom;  // the directory of the deepest file
    for (int i = 1; i < depth; ++i)
        bottom += "c/";
    static std::string moved_from, moved_to;
    for (bool move : {false, true}) {
        SCOPED_TRACE(move ? "a subtree moved" : "as it is");
        const std::string top = host_.path(move ? "moved" : "plain");
        make_dirs(top);
        make_comb(top, depth);
        CombWalk w;
        w.bottom = bottom + "f";
        moved_from = top + "/c/c/c";
        moved_to = top + "/c/moved";
        if (move)
            w.at_bottom = [] { ASSERT_EQ(rename(moved_from.c_str(), moved_to.c_str()), 0); };
        int root = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int before = open_descriptors();
        ASSERT_EQ(scan_private_at(root, comb_entry, &w), 0);
        close(root);
        EXPECT_EQ(w.dirs.size(), static_cast<size_t>(depth * 11));
        EXPECT_TRUE(std::all_of(w.dirs.begin(), w.dirs.end(),
                                [](const auto &d) { return d.second == 1; }));
        EXPECT_LE(w.most_fds - before, 40);
        EXPECT_EQ(move, exists(moved_to));
    }
}

// The path form walks what it lists beneath the working directory (the
// area's root), an absolute path too: a directory swapped for a link
// after it was listed is not entered, whatever is below it.
TEST_F(Walk, OneDirectoryByAbsolutePathStaysBeneathTheWorkingDirectory) {
    std::string outside = host_.path("outside");
    write_file(outside + "/sub/secret", "");
    write_file(at("d/sub/own"), "");
    ASSERT_EQ(chdir(area_.c_str()), 0);
    kxfsutil_debug_level = 0;
    struct dir_stack stack = {nullptr, 0};
    Recorder r;
    ASSERT_EQ(scan_one_dir(area_.c_str(), &stack, record, &r), 0);
    ASSERT_EQ(stack.count, 1);
    std::string d = stack.head->path;
    EXPECT_EQ(d, area_ + "/d");
    ASSERT_EQ(scan_one_dir(d.c_str(), &stack, record, &r), 0);
    ASSERT_EQ(stack.count, 2);
    std::string sub = stack.head->path;
    EXPECT_EQ(sub, area_ + "/d/sub");
    // The container swaps d for a link to the host once it was listed.
    ASSERT_EQ(rename(at("d").c_str(), at("d.old").c_str()), 0);
    make_symlink(outside, at("d"));
    r.seen.clear();
    EXPECT_EQ(scan_one_dir(sub.c_str(), &stack, record, &r), -1);
    EXPECT_TRUE(r.seen.empty());
    // An absolute path elsewhere is no directory of the area.
    EXPECT_EQ(scan_one_dir((outside + "/sub").c_str(), &stack, record, &r), -1);
    EXPECT_TRUE(r.seen.empty());
    while (struct dir_node *n = stack.head) {
        stack.head = n->next;
        free(n->path);
        free(n);
    }
}

TEST_F(Walk, OneDirectoryPushesItsSubdirectories) {
    make_dirs(at("s/one"));
    make_dirs(at("s/two"));
    write_file(at("s/f"), "");
    ASSERT_EQ(chdir(area_.c_str()), 0);
    struct dir_stack stack = {nullptr, 0};
    Recorder r;
    ASSERT_EQ(scan_one_dir("s", &stack, record, &r), 0);
    EXPECT_EQ(r.seen.size(), 3u);
    EXPECT_EQ(stack.count, 2);
    std::vector<std::string> pushed;
    while (struct dir_node *n = stack.head) {
        stack.head = n->next;
        pushed.push_back(n->path);
        free(n->path);
        free(n);
    }
    std::sort(pushed.begin(), pushed.end());
    EXPECT_EQ(pushed, (std::vector<std::string>{"s/one", "s/two"}));
}

class RemoveDir : public testing::Test {
protected:
    kxtest::Host host_;
};

TEST_F(RemoveDir, RemovesEverythingBelowWithoutFollowingLinks) {
    std::string tree = host_.path("tree");
    std::string outside = host_.path("outside");
    write_file(outside + "/keep", "keep");
    write_file(tree + "/a/b/c/file", "x");
    make_symlink(outside, tree + "/a/to_outside");
    make_symlink(outside + "/keep", tree + "/a/b/to_file");
    ASSERT_EQ(mkfifo((tree + "/a/fifo").c_str(), 0600), 0);
    make_dirs(tree + "/empty");
    EXPECT_EQ(remove_dir(tree.c_str()), 0);
    EXPECT_FALSE(exists(tree));
    EXPECT_EQ(kxtest::read_file(outside + "/keep"), "keep");
}

// A tree deeper than the descriptors the process may open goes too, in
// listing order at every level.
TEST_F(RemoveDir, DeepTreeGoesWithBoundedDescriptors) {
    std::string tree = host_.path("tree");
    make_dirs(tree);
    make_comb(tree, 300);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(open_descriptors() + 64);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    CaptureStderr();
    int result = remove_dir(tree.c_str());
    std::string err = GetCapturedStderr();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_FALSE(exists(tree));
}

TEST_F(RemoveDir, RefusesWhatIsNotADirectory) {
    std::string file = host_.path("file");
    write_file(file, "");
    CaptureStderr();
    EXPECT_EQ(remove_dir(file.c_str()), -1);
    EXPECT_EQ(GetCapturedStderr(), "opendir(\"" + file + "\") error: Not a directory");
    EXPECT_TRUE(exists(file));

    // A link to a directory is not entered.
    std::string dir = host_.path("dir"), link = host_.path("link");
    write_file(dir + "/keep", "");
    make_symlink(dir, link);
    CaptureStderr();
    EXPECT_EQ(remove_dir(link.c_str()), -1);
    EXPECT_NE(GetCapturedStderr().find("opendir(\"" + link + "\") error: "), std::string::npos);
    EXPECT_TRUE(exists(dir + "/keep"));
}

TEST_F(RemoveDir, FailedUnlinkIsFollowedByTheFailedRmdir) {
    KX_REQUIRE_ROOT();
    std::string tree = host_.path("tree");
    write_file(tree + "/pinned", "");
    const int immutable = 0x10;
    if (set_eattr((tree + "/pinned").c_str(), immutable) != 0)
        GTEST_SKIP() << "the filesystem has no immutable flag";
    CaptureStderr();
    int result = remove_dir(tree.c_str());
    std::string err = GetCapturedStderr();
    set_eattr((tree + "/pinned").c_str(), 0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "unlink(\"" + tree + "/pinned\") error: Operation not permitted"
                   "rmdir(\"" + tree + "\") error: Directory not empty");
}

// A directory queued last is entered after everything else below the
// directory that queued it, before what its ancestors queued.
TEST(TreeWalk, DirectoryPushedLastComesAfterTheRestOfItsParentsSubtree) {
    kxtest::Host host;
    const std::string top = host.path("t");
    for (const char *d : {"a/x", "a/y", "a/z", "b", "c/w"})
        make_dirs(top + "/" + d);
    kx::Fd root(open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root.ok());
    kx::TreeWalk walk(root.get());
    std::vector<std::string> order;
    while (walk.next()) {
        ASSERT_GE(walk.fd(), 0) << walk.rel();
        order.push_back(walk.rel());
        std::vector<std::string> names;
        ASSERT_TRUE(walk.list(kx::Listing::names_first, [&](const char *name, unsigned char) {
            names.emplace_back(name);
            return true;
        }));
        std::sort(names.rbegin(), names.rend());  // entered in name order
        for (const std::string &n : names) {
            struct stat st;
            ASSERT_EQ(fstatat(walk.fd(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
            if (n == "b" || n == "y")
                walk.push_last(n, st);
            else
                walk.push(n, st);
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"", "a", "a/x", "a/z", "a/y", "c", "c/w", "b"}));
}

}  // namespace
