// Dirindex creation on real directories: what is listed, taken over and
// removed; directories that cannot be indexed stay exactly as they were;
// links planted by a container are never followed; write failures remove
// nothing. Also the writer's model and the helpers other modules use.
#include "dirindex_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>

using dirtest::parse;
using dirtest::Parsed;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

bool has_suid(const std::string &path) {
    return (kxtest::lstat_of(path).st_mode & S_ISUID) != 0;
}

class Indexing : public testing::Test {
protected:
    void SetUp() override {
        area_ = host_.path("area");
        kxtest::make_dirs(area_);
        troot_ = host_.template_root();
    }
    void TearDown() override { clean_memory(); }

    // Indexes the area directory (or a subdirectory of it).
    int index(int option = 0, const std::string &dir = "") {
        dirtest::InDir in(dir.empty() ? area_ : dir);
        return create_dirindex(".", DIRINDEX_NAME, troot_.c_str(), option);
    }
    std::vector<Parsed> records() const { return parse(kxtest::read_file(area_ + "/" DIRINDEX_NAME)); }
    const Parsed *record(const std::vector<Parsed> &recs, const std::string &name) const {
        for (const auto &r : recs)
            if (r.name == name)
                return &r;
        return nullptr;
    }
public:
    void tfile(const std::string &rel, std::string_view content = "x", mode_t mode = 0644) {
        kxtest::write_file(troot_ + "/" + rel, content, mode);
    }

public:
    std::string a(const std::string &name) const { return area_ + "/" + name; }

    kxtest::Host host_;
    std::string area_, troot_;
};

TEST_F(Indexing, DirectoryWithNothingToIndexGetsNoIndex) {
    EXPECT_EQ(index(), 3);
    kxtest::write_file(a(".kxpkgref"), "");
    EXPECT_EQ(index(), 3);
    EXPECT_FALSE(kxtest::exists(a(DIRINDEX_NAME)));
    EXPECT_FALSE(has_suid(area_));
}

TEST_F(Indexing, PlainFileIsListedAndKept) {
    kxtest::write_file(a("a"), "mine");
    ASSERT_EQ(index(), 0);
    auto recs = records();
    ASSERT_EQ(recs.size(), 3u);
    const Parsed *r = record(recs, "a");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, 8u);
    EXPECT_EQ(r->ino, static_cast<uint32_t>(kxtest::lstat_of(a("a")).st_ino * 2));
    EXPECT_EQ(kxtest::read_file(a("a")), "mine");
    EXPECT_TRUE(has_suid(area_));
    EXPECT_EQ(kxtest::lstat_of(area_).st_mode & 0777, 0755u);
}

TEST_F(Indexing, ShortcutsAreTakenOverAndRemoved) {
    tfile("pkg/bin/ls", "elf", 0755);
    tfile("pkg/bin/cat", "elf", 0644);
    kxtest::make_shortcut_file(a("ls"), "pkg/bin/ls", 0755);
    kxtest::make_shortcut_file(a("cat"), "pkg/bin/cat", 0644);
    kxtest::make_symlink("plain/target", a("plain"));
    ASSERT_EQ(index(), 0);

    auto recs = records();
    ASSERT_EQ(recs.size(), 5u);
    for (const char *name : {"ls", "cat"}) {
        const Parsed *r = record(recs, name);
        ASSERT_NE(r, nullptr) << name;
        EXPECT_EQ(r->type, 8u);
        EXPECT_EQ(r->target, "////pkg/bin");
        EXPECT_EQ(r->ino, static_cast<uint32_t>(kxtest::lstat_of(troot_ + "/pkg/bin/" + name).st_ino * 2 + 1));
        EXPECT_FALSE(kxtest::exists(a(name))) << name;
    }
    EXPECT_EQ(record(recs, "ls")->link, record(recs, "cat")->link);
    const Parsed *p = record(recs, "plain");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->type, 10u);
    EXPECT_EQ(p->link, 0u);
    EXPECT_EQ(kxtest::read_link(a("plain")), "plain/target");
}

TEST_F(Indexing, EntriesThatDifferFromTheirTemplateAreKept) {
    KX_REQUIRE_ROOT();
    tfile("pkg/f/owned");
    tfile("pkg/f/linked");
    ASSERT_EQ(link((troot_ + "/pkg/f/linked").c_str(), (troot_ + "/pkg/f/linked2").c_str()), 0);
    tfile("pkg/f/attr");
    tfile("pkg/f/gone");
    kxtest::make_shortcut_file(a("owned"), "pkg/f/owned");
    ASSERT_EQ(chown(a("owned").c_str(), 1234, 1234), 0);
    // Two names of one shortcut; the second is a hard link in the template too.
    kxtest::make_shortcut_file(a("linked"), "pkg/f/linked");
    ASSERT_EQ(link(a("linked").c_str(), a("linked2").c_str()), 0);
    kxtest::make_shortcut_file(a("attr"), "pkg/f/attr");
    ASSERT_EQ(setxattr(a("attr").c_str(), "user.kx", "1", 1, 0), 0);
    kxtest::make_shortcut_file(a("gone"), "pkg/f/gone");

    dirtest::Level level(4);
    CaptureStderr();
    ASSERT_EQ(index(), 0);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Warning: file attributes mistmatch on '" + area_ + "/owned'"), std::string::npos) << err;
    EXPECT_NE(err.find("Warning: hard-linked file '" + area_ + "/linked'"), std::string::npos) << err;
    EXPECT_NE(err.find("ext attributes '" + area_ + "/attr'"), std::string::npos) << err;

    auto recs = records();
    for (const char *name : {"owned", "linked", "linked2", "attr", "gone"}) {
        const Parsed *r = record(recs, name);
        ASSERT_NE(r, nullptr) << name;
        EXPECT_EQ(r->ino % 2, 1u) << name;
    }
    EXPECT_TRUE(kxtest::exists(a("owned")));
    EXPECT_TRUE(kxtest::exists(a("linked")));
    EXPECT_TRUE(kxtest::exists(a("linked2")));
    EXPECT_TRUE(kxtest::exists(a("attr")));
    EXPECT_FALSE(kxtest::exists(a("gone")));
}

TEST_F(Indexing, MagicLinkWhoseModeAgreesIsRemoved) {
    KX_REQUIRE_ROOT();
    tfile("pkg/etc/hosts", "127.0.0.1", 0644);
    tfile("pkg/etc/motd", "hi", 0644);
    kxtest::make_magic_link(a("hosts"), "pkg/etc/hosts");
    kxtest::make_magic_link(a("motd"), "pkg/etc/motd");
    if (kxlchmod(a("hosts").c_str(), 0644) != 0 || (kxtest::lstat_of(a("hosts")).st_mode & 0777) != 0644)
        GTEST_SKIP() << "link modes need the host simulator";
    ASSERT_EQ(index(), 0);
    auto recs = records();
    ASSERT_NE(record(recs, "hosts"), nullptr);
    ASSERT_NE(record(recs, "motd"), nullptr);
    EXPECT_EQ(record(recs, "hosts")->type, 8u);
    EXPECT_FALSE(kxtest::exists(a("hosts")));
    EXPECT_TRUE(kxtest::exists(a("motd"))) << "its link mode 0777 differs from 0644";
}

// The cow mark (the sticky bit on the link) keeps a link whose mode agrees
// otherwise: listed, left beside the index, and never made a shortcut.
TEST_F(Indexing, MarkedMagicLinkStaysALink) {
    KX_REQUIRE_ROOT();
    tfile("pkg/etc/hosts", "127.0.0.1", 0644);
    for (int option : {0, 0x10}) {
        SCOPED_TRACE(option);
        unlink(a(DIRINDEX_NAME).c_str());
        chmod(area_.c_str(), 0755);
        unlink(a("hosts").c_str());
        kxtest::make_magic_link(a("hosts"), "pkg/etc/hosts");
        ASSERT_EQ(kxlchmod(a("hosts").c_str(), 0644 | S_ISVTX), 0);
        ASSERT_EQ(index(option), 0);
        auto recs = records();
        ASSERT_NE(record(recs, "hosts"), nullptr);
        struct stat st = kxtest::lstat_of(a("hosts"));
        EXPECT_TRUE(S_ISLNK(st.st_mode) && (st.st_mode & S_ISVTX));
    }
}

TEST_F(Indexing, SubdirectoriesAreListedAndNeverRemoved) {
    kxtest::make_dirs(troot_ + "/pkg/share");
    kxtest::make_dirs(a("plain"));
    kxtest::make_dirs(a("share"));
    kxtest::make_magic_link(a("share/" DIRINDEX_NAME), "pkg/share");
    ASSERT_EQ(chmod(a("share").c_str(), 04755), 0);
    kxtest::make_dirs(a("indexed"));
    kxtest::write_file(a("indexed/" DIRINDEX_NAME), "index");
    ASSERT_EQ(chmod(a("indexed").c_str(), 04755), 0);
    ASSERT_EQ(index(), 0);

    auto recs = records();
    EXPECT_EQ(dirtest::u32(kxtest::read_file(a(DIRINDEX_NAME)), 8), 5u);  // ".", "..", three dirs
    const Parsed *share = record(recs, "share");
    ASSERT_NE(share, nullptr);
    EXPECT_EQ(share->type, 4u);
    EXPECT_EQ(share->target, "////pkg");
    EXPECT_EQ(share->ino, static_cast<uint32_t>(kxtest::lstat_of(troot_ + "/pkg/share").st_ino * 2 + 1));
    for (const char *name : {"plain", "indexed"}) {
        const Parsed *r = record(recs, name);
        ASSERT_NE(r, nullptr) << name;
        EXPECT_EQ(r->ino, static_cast<uint32_t>(kxtest::lstat_of(a(name)).st_ino * 2)) << name;
        EXPECT_EQ(r->link, 0u);
    }
    for (const char *name : {"plain", "share", "indexed"})
        EXPECT_TRUE(kxtest::exists(a(name)));
}

TEST_F(Indexing, LongMagicTargetIsListedWhole) {
    // A template directory text of about 3800 bytes.
    std::string rel = "pkg";
    for (int i = 0; i < 18; ++i)
        rel += "/" + std::string(200, static_cast<char>('a' + i));
    tfile(rel + "/f");
    kxtest::make_shortcut_file(a("f"), rel + "/f");
    ASSERT_EQ(index(), 0);
    auto recs = records();
    const Parsed *r = record(recs, "f");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->target, "////" + rel);
    EXPECT_FALSE(kxtest::exists(a("f")));
}

TEST_F(Indexing, EntryWhoseRecordWouldExceedABlockIsNotListed) {
    // With a short template root a magic target of ~4080 bytes still
    // resolves, but its record (head, 255-byte name, target block) would be
    // longer than 4096 bytes, which the check rejects as broken.
    dirtest::InDir in(area_);
    std::string rel = "pkg";
    ASSERT_EQ(mkdir("t", 0755), 0);
    ASSERT_EQ(chdir("t"), 0);
    ASSERT_EQ(mkdir("pkg", 0755), 0);
    ASSERT_EQ(chdir("pkg"), 0);
    for (int i = 0; i < 19; ++i) {
        std::string part(200, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir(part.c_str(), 0755), 0);
        ASSERT_EQ(chdir(part.c_str()), 0);
        rel += "/" + part;
    }
    std::string name(255, 'n');
    kxtest::write_file(name, "");
    ASSERT_EQ(chdir(area_.c_str()), 0);
    kxtest::make_shortcut_file(name, rel + "/" + name);

    kxfsutil_debug_level = 2;
    CaptureStdout();
    EXPECT_EQ(create_dirindex(".", DIRINDEX_NAME, "t", 0), 3);
    std::string out = GetCapturedStdout();
    kxfsutil_debug_level = 0;
    EXPECT_NE(out.find("Warning: Too long magic target '" + area_ + "/" + name + "', fix it"), std::string::npos)
        << out;
    EXPECT_TRUE(kxtest::exists(name));
    EXPECT_FALSE(kxtest::exists(DIRINDEX_NAME));
}

// One entry that makes the directory unindexable, beside a shortcut the
// index would otherwise take over; the message it gives.
struct BadEntry {
    const char *what;
    std::function<void(Indexing &)> make;
    std::string message;  // in stdout (warnings) or stderr (traces)
    bool needs_root;
};

class Unindexable : public Indexing {
protected:
    void expect_left_alone(const BadEntry &bad) {
        tfile("pkg/good");
        kxtest::make_shortcut_file(a("good"), "pkg/good");
        bad.make(*this);
        auto before = kxtest::snapshot(area_);
        mode_t mode_before = kxtest::lstat_of(area_).st_mode;
        dirtest::Level level(4);
        CaptureStdout();
        CaptureStderr();
        int rc = index();
        std::string out = GetCapturedStdout() + GetCapturedStderr();
        EXPECT_EQ(rc, 3) << bad.what;
        EXPECT_NE(out.find(bad.message), std::string::npos) << bad.what << ":\n" << out;
        auto after = kxtest::snapshot(area_);
        EXPECT_EQ(before.size(), after.size()) << bad.what;
        for (const auto &[path, e] : before) {
            auto it = after.find(path);
            ASSERT_NE(it, after.end()) << bad.what << ": " << path;
            EXPECT_EQ(it->second.mode, e.mode) << bad.what << ": " << path;
            EXPECT_EQ(it->second.data, e.data) << bad.what << ": " << path;
        }
        EXPECT_EQ(kxtest::lstat_of(area_).st_mode, mode_before) << bad.what;
    }
};

TEST_F(Unindexable, Fifo) {
    expect_left_alone({"fifo", [](Indexing &t) { ASSERT_EQ(mkfifo(t.a("pipe").c_str(), 0644), 0); },
                       "Special file '" + area_ + "/pipe'", false});
}

TEST_F(Unindexable, DeviceNode) {
    KX_REQUIRE_ROOT();
    expect_left_alone({"device",
                       [](Indexing &t) { ASSERT_EQ(mknod(t.a("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); },
                       "Special file '" + area_ + "/null'", true});
}

TEST_F(Unindexable, MissingTemplateObject) {
    expect_left_alone({"missing", [](Indexing &t) { kxtest::make_magic_link(t.a("lost"), "pkg/lost"); },
                       "Warning: can't stat template '" + troot_ + "////pkg/lost': No such file or directory",
                       false});
}

TEST_F(Unindexable, ShortcutLongerThanAMagicTarget) {
    expect_left_alone({"long shortcut",
                       [](Indexing &t) { kxtest::make_shortcut_file(t.a("huge"), std::string(5000, 'x')); },
                       "Warning: Too long magic target '" + area_ + "/huge', fix it", false});
}

TEST_F(Unindexable, StickyFileThatIsNoShortcut) {
    expect_left_alone({"not magic", [](Indexing &t) { kxtest::write_file(t.a("odd"), "hello", 01644); },
                       "Not a magic link '" + area_ + "/odd' -> hello", false});
}

TEST_F(Unindexable, UnreadableShortcut) {
    if (kxtest::is_root())
        GTEST_SKIP() << "root reads files whatever their mode";
    expect_left_alone({"unreadable", [](Indexing &t) { kxtest::make_shortcut_file(t.a("closed"), "pkg/good", 0); },
                       "Warning: can't open '" + area_ + "/closed'", false});
}

TEST_F(Unindexable, TargetClimbingOutOfTheTemplateRoot) {
    kxtest::write_file(host_.path("etc/shadow"), "secret");
    expect_left_alone({"dotdot", [](Indexing &t) { kxtest::make_magic_link(t.a("shadow"), "../../etc/shadow"); },
                       "Warning: magic link shadow points to something wrong", false});
}

TEST_F(Unindexable, TemplateObjectOfTheWrongKind) {
    expect_left_alone({"template fifo",
                       [](Indexing &t) {
                           kxtest::make_dirs(t.troot_ + "/pkg");
                           ASSERT_EQ(mkfifo((t.troot_ + "/pkg/fifo").c_str(), 0644), 0);
                           kxtest::make_magic_link(t.a("fifo"), "pkg/fifo");
                       },
                       "Warning: magic link fifo points to something wrong", false});
}

TEST_F(Unindexable, TemplateBackedSubdirectoryWithoutItsLink) {
    expect_left_alone({"no link",
                       [](Indexing &t) {
                           kxtest::make_dirs(t.a("sub"));
                           ASSERT_EQ(chmod(t.a("sub").c_str(), 04755), 0);
                       },
                       "Warning: readlink 'sub/" DIRINDEX_NAME "': No such file or directory", false});
}

TEST_F(Indexing, OverLongNameIsNotListed) {
    std::string rel;
    while (rel.size() <= 256)
        rel += "d/";
    kxtest::write_file(a(rel + "f"), "");
    dirtest::InDir in(area_);
    clean_memory();
    tot = 0;
    kxfsutil_debug_level = 2;
    CaptureStdout();
    EXPECT_EQ(scan_one((rel + "f").c_str(), 0, troot_.c_str()), 3);
    EXPECT_NE(GetCapturedStdout().find("Warning: Too long name"), std::string::npos);
    kxfsutil_debug_level = 0;
    EXPECT_EQ(tot, 0u);
}

TEST_F(Indexing, PlantedLinkAtTheIndexNameIsNotFollowed) {
    std::string victim = host_.path("victim");
    kxtest::write_file(victim, "host data");
    kxtest::make_symlink(victim, a(DIRINDEX_NAME));
    tfile("pkg/good");
    kxtest::make_shortcut_file(a("good"), "pkg/good");
    EXPECT_EQ(index(), 1);
    EXPECT_EQ(kxtest::read_file(victim), "host data");
    EXPECT_TRUE(kxtest::exists(a("good")));
    EXPECT_FALSE(has_suid(area_));
}

TEST_F(Indexing, MagicLinksBecomeShortcutsWithTheOption) {
    tfile("pkg/bin/sh", "elf", 0755);
    kxtest::make_magic_link(a("sh"), "pkg/bin/sh");
    ASSERT_EQ(index(0x10), 0);
    auto recs = records();
    const Parsed *r = record(recs, "sh");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->target, "////pkg/bin");
    // The link's own mode (0777 on a stock kernel) differs from the
    // template's, so the new shortcut stays in the directory.
    if (kxtest::exists(a("sh"))) {
        struct stat st = kxtest::lstat_of(a("sh"));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_TRUE(st.st_mode & S_ISVTX);
        EXPECT_EQ(kxtest::read_file(a("sh")), "////pkg/bin/sh");
    }
    for (const auto &[path, e] : kxtest::snapshot(area_))
        EXPECT_TRUE(path == "sh" || path == DIRINDEX_NAME) << "left behind: " << path;
}

TEST_F(Indexing, ShortcutsMadeByTheOptionStayWhenTheDirectoryCannotBeIndexed) {
    tfile("pkg/bin/sh", "elf", 0755);
    kxtest::make_magic_link(a("sh"), "pkg/bin/sh");
    ASSERT_EQ(mkfifo(a("pipe").c_str(), 0644), 0);
    EXPECT_EQ(index(0x10), 3);
    struct stat st = kxtest::lstat_of(a("sh"));
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & S_ISVTX));
    EXPECT_EQ(kxtest::read_file(a("sh")), "////pkg/bin/sh");
    EXPECT_FALSE(kxtest::exists(a(DIRINDEX_NAME)));
}

TEST_F(Indexing, WriteFailureRemovesNothingAndLeavesNoIndex) {
    for (int i = 0; i < 20; ++i) {
        tfile("pkg/f" + std::to_string(i));
        kxtest::make_shortcut_file(a("f" + std::to_string(i)), "pkg/f" + std::to_string(i));
    }
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 200;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    kxfsutil_debug_level = 2;
    CaptureStderr();
    int rc = index();
    std::string err = GetCapturedStderr();
    kxfsutil_debug_level = 0;
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("Error: write '" + area_ + "'"), std::string::npos) << err;
    EXPECT_FALSE(kxtest::exists(a(DIRINDEX_NAME)));
    EXPECT_FALSE(has_suid(area_));
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(kxtest::exists(a("f" + std::to_string(i))));
}

TEST_F(Indexing, RemovalStopsAtTheFirstFailure) {
    kxtest::write_file(a("there"), "");
    dirtest::InDir in(area_);
    clean_memory();
    namelist_add("there", &rl_info);
    namelist_add("gone", &rl_info);
    kxfsutil_debug_level = 2;
    CaptureStderr();
    EXPECT_EQ(remove_list(), 1);
    std::string err = GetCapturedStderr();
    kxfsutil_debug_level = 0;
    EXPECT_NE(err.find("can't remove '"), std::string::npos) << err;
    EXPECT_NE(err.find("/gone': No such file or directory"), std::string::npos) << err;
    EXPECT_TRUE(kxtest::exists("there"));
    EXPECT_EQ(namelist_search("there", &rl_info), 0);
    EXPECT_EQ(namelist_search("gone", &rl_info), 0);

    ASSERT_EQ(unlink("there"), 0);
    kxtest::write_file(a("gone"), "");
    kxtest::write_file(a("there"), "");
    EXPECT_EQ(remove_list(), 0);
    EXPECT_EQ(rl_info, nullptr);
    EXPECT_FALSE(kxtest::exists("there"));
    EXPECT_FALSE(kxtest::exists("gone"));
}

// ---- the model and the helpers ---------------------------------------------

TEST(DirindexModel, PoolKeepsOneEntryPerText) {
    clean_memory();
    struct poolstr *a = pool_add("////pkg/a");
    struct poolstr *b = pool_add("////pkg/b");
    EXPECT_NE(a, b);
    EXPECT_EQ(pool_add("////pkg/a"), a);
    EXPECT_EQ(pool, b);  // new entries go to the head
    EXPECT_EQ(pool->next, a);
    std::string copy = "////pkg/b";
    EXPECT_EQ(pool_add(copy.c_str()), b);
    EXPECT_NE(b->text, copy.c_str());

    // A pool released by a caller leaves no stale entry behind.
    pool = free_poolstr(pool);
    struct poolstr *c = pool_add("////pkg/a");
    EXPECT_STREQ(c->text, "////pkg/a");
    EXPECT_EQ(c->offset, 0u);
    clean_memory();
    EXPECT_EQ(pool, nullptr);
}

TEST(DirindexModel, HashTableTakesTheEntriesInListOrder) {
    std::vector<dirtest::Rec> recs;
    for (int i = 0; i < 300; ++i)
        recs.push_back({"n" + std::to_string(i), 8, uint32_t(2 * i), ""});
    dirtest::load_model(recs);
    select_prime();
    create_hash_table();
    EXPECT_EQ(dlist, nullptr);
    EXPECT_EQ(dlist_end, nullptr);
    uint32_t seen = 0;
    for (uint32_t b = 0; b < prime; ++b) {
        uint32_t count = 0;
        uint32_t last_ino = 0;
        for (struct dent *e = ht[b].head; e; e = e->next) {
            EXPECT_EQ(dirindex_hash(e->name, e->namelen) % prime, b);
            if (count) {
                EXPECT_GT(e->ino, last_ino) << "list order kept within a bucket";
            }
            last_ino = e->ino;
            if (!e->next) {
                EXPECT_EQ(ht[b].tail, e);
            }
            ++count;
        }
        EXPECT_EQ(ht[b].count, count);
        seen += count;
    }
    EXPECT_EQ(seen, 300u);
    clean_memory();
    EXPECT_EQ(ht, nullptr);
}

TEST(NameList, SearchesByNameAndKey) {
    struct namelist *a = nullptr, *b = nullptr;
    EXPECT_EQ(namelist_search("x", &a), 1);
    EXPECT_EQ(namelist_search_inode(reinterpret_cast<void *>(1), &a), nullptr);
    namelist_add("one", &a);
    namelist_add_inode("two", reinterpret_cast<void *>(7), &a);
    EXPECT_EQ(namelist_search("one", &a), 0);
    EXPECT_EQ(namelist_search("three", &a), 1);
    // A push after a search is seen by the next search.
    namelist_add("three", &a);
    EXPECT_EQ(namelist_search("three", &a), 0);
    // Work on another list in between.
    namelist_add("other", &b);
    EXPECT_EQ(namelist_search("one", &b), 1);
    EXPECT_EQ(namelist_search("other", &a), 1);
    EXPECT_EQ(namelist_search("one", &a), 0);
    // The first node with a key is the one pushed last.
    EXPECT_STREQ(namelist_search_inode(reinterpret_cast<void *>(7), &a), "two");
    namelist_add_inode("newer", reinterpret_cast<void *>(7), &a);
    EXPECT_STREQ(namelist_search_inode(reinterpret_cast<void *>(7), &a), "newer");
    EXPECT_EQ(namelist_search_inode(reinterpret_cast<void *>(8), &a), nullptr);
    EXPECT_STREQ(a->name, "newer");
    namelist_clean(&a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(namelist_search("one", &a), 1);
    namelist_clean(&b);
}

TEST(CorrectMagicUuid, RewritesCacheLinksOfTheOldIdentifier) {
    const char *oldu = "11111111-2222-3333-4444-555555555555";
    const char *newu = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";
    std::string text = std::string("////vc//") + oldu + "//x/y";
    dirtest::Level level(4);
    CaptureStderr();
    EXPECT_EQ(correct_magic_uuid(text.data(), oldu, newu), 1);
    EXPECT_EQ(GetCapturedStderr(), "cache link '////vc//" + std::string(oldu) + "//x/y'\n" +
                                       "changed to cache link '////vc/" + newu + "/x/y'\n");
    EXPECT_STREQ(text.c_str(), (std::string("////vc/") + newu + "/x/y").c_str());

    std::string many = std::string("//////vc/") + oldu + "/rest";
    EXPECT_EQ(correct_magic_uuid(many.data(), oldu, newu), 1);
    EXPECT_STREQ(many.c_str(), (std::string("////vc/") + newu + "/rest").c_str());
}

TEST(CorrectMagicUuid, LeavesEverythingElseAlone) {
    const char *oldu = "1111";
    const char *newu = "2222";
    for (std::string text : {"////pkg/1111/x", "////vc/11112/x", "///vc/1111/x", "////vc/1111",
                             "////vx/1111/x", "////vc1111/x"}) {
        std::string before = text;
        EXPECT_EQ(correct_magic_uuid(text.data(), oldu, newu), 0) << before;
        EXPECT_STREQ(text.c_str(), before.c_str());
    }
    std::string text = "////vc/1111/x";
    EXPECT_EQ(correct_magic_uuid(nullptr, oldu, newu), 0);
    EXPECT_EQ(correct_magic_uuid(text.data(), nullptr, newu), 0);
    EXPECT_EQ(correct_magic_uuid(text.data(), oldu, nullptr), 0);

    dirtest::Level level(2);
    CaptureStderr();
    EXPECT_EQ(correct_magic_uuid(text.data(), oldu, "22222"), 0);
    EXPECT_EQ(GetCapturedStderr(), "Error: Source and destination UUID length are not equal\n");
    EXPECT_EQ(text, "////vc/1111/x");
}

TEST(CreateShortcut, WritesTheTextWithTheRecordsAttributes) {
    KX_REQUIRE_ROOT();
    std::string dir = kxtest::temp_dir("kxshort");
    dirtest::InDir in(dir);
    struct stat st{};
    st.st_mode = S_IFREG | S_ISVTX | 0640;
    st.st_uid = 1000;
    st.st_gid = 1001;
    st.st_atime = 1000000000;
    st.st_mtime = 1200000000;
    const char text[] = "////pkg/bin/sh";
    ASSERT_EQ(create_shortcut("sh", text, static_cast<int>(sizeof text - 1), &st), 0);
    struct stat got = kxtest::lstat_of("sh");
    EXPECT_EQ(kxtest::read_file("sh"), text);
    EXPECT_EQ(got.st_mode, S_IFREG | S_ISVTX | 0640u);
    EXPECT_EQ(got.st_uid, 1000u);
    EXPECT_EQ(got.st_gid, 1001u);
    EXPECT_EQ(got.st_mtime, 1200000000);
    EXPECT_EQ(got.st_atime, 1000000000);

    // A link planted at the name is not written through.
    kxtest::write_file(dir + "/victim", "keep");
    kxtest::make_symlink(dir + "/victim", dir + "/planted");
    kxfsutil_debug_level = 2;
    CaptureStderr();
    EXPECT_EQ(create_shortcut("planted", text, static_cast<int>(sizeof text - 1), &st), 1);
    EXPECT_NE(GetCapturedStderr().find("Can't create shortcut '"), std::string::npos);
    kxfsutil_debug_level = 0;
    EXPECT_EQ(kxtest::read_file(dir + "/victim"), "keep");
    std::filesystem::remove_all(dir);
}

}  // namespace
