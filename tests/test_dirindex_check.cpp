// Dirindex reading, check and repair: every FATAL and WARNING finding, files
// that lie about their offsets (each checked in a buffer of exactly the
// file's size, so a read past it is caught under the sanitizers), lost
// links with and without a repaired copy, listing, and the rewrite for a
// new container identifier.
#include "dirindex_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

using dirtest::build_index;
using dirtest::put16;
using dirtest::put32;
using dirtest::Rec;
using dirtest::u32;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Checked {
    int rc;
    std::string traces;
};

// fsck_in_core on a private copy of exactly the file's size.
Checked fsck(const std::string &bytes, int level, const char *outname = nullptr,
             const char *root = nullptr) {
    std::vector<unsigned char> copy(bytes.begin(), bytes.end());
    dirtest::Level l(level);
    CaptureStderr();
    int rc = fsck_in_core("idx", copy.data(), copy.size(), outname, root);
    return {rc, GetCapturedStderr()};
}

std::vector<std::string> texts_of(char **texts) {
    std::vector<std::string> out;
    if (!texts)
        return out;
    for (char **t = texts; *t; ++t) {
        out.emplace_back(*t);
        std::free(*t);
    }
    std::free(texts);
    return out;
}

// Three records in one bucket: "a" plain at 24, "b" with a target block, "c".
std::string three() {
    return build_index({{"a", 8, 2, ""}, {"b", 8, 5, "////p/d"}, {"c", 4, 6, ""}});
}
constexpr size_t kA = 24, kB = 44, kC = 44 + 32;

TEST(DirindexCheck, SoundIndexListsItsRecords) {
    std::string bytes = three();
    ASSERT_EQ(bytes.size(), kC + 20);
    Checked quiet = fsck(bytes, 2);
    EXPECT_EQ(quiet.rc, 0);
    EXPECT_EQ(quiet.traces, "");
    Checked loud = fsck(bytes, 4);
    EXPECT_EQ(loud.rc, 0);
    EXPECT_EQ(loud.traces, "-\ta\n-\tb -> ////p/d/b\nd\tc\n");
}

TEST(DirindexCheck, ChangedNameByteIsOnlyAChecksumWarning) {
    std::string bytes = three();
    bytes[kA + 16] = 'z';
    Checked c = fsck(bytes, 4);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.traces, "WARNING: wrong checksum 'idx'\n-\tz\n-\tb -> ////p/d/b\nd\tc\n");
    EXPECT_EQ(fsck(bytes, 2).traces, "");
}

struct Lie {
    const char *what;
    std::function<void(std::string &)> change;
    std::string fatal;
};

void expect_fatal(const std::string &sound, const Lie &lie) {
    std::string bytes = sound;
    lie.change(bytes);
    Checked c = fsck(bytes, 2);
    EXPECT_EQ(c.rc, -2) << lie.what;
    EXPECT_EQ(c.traces, lie.fatal) << lie.what;
    // The listing of such a file fails the same way.
    std::vector<unsigned char> copy(bytes.begin(), bytes.end());
    dirtest::Level quiet(0);
    EXPECT_EQ(read_in_core("idx", copy.data(), copy.size()), nullptr) << lie.what;
}

TEST(DirindexCheck, HeaderLies) {
    std::string s = three();
    for (const Lie &lie : std::vector<Lie>{
             {"signature", [](std::string &b) { put32(b, 0, 0x12345678); },
              "FATAL: wrong signature 'idx' 12345678\n"},
             {"zero prime", [](std::string &b) { put32(b, 12, 0); }, "FATAL: zero hash prime 'idx'\n"},
             {"start at EOF", [](std::string &b) { put32(b, 4, static_cast<uint32_t>(b.size())); },
              "FATAL: start index is after EOF\n"},
             {"start in table", [](std::string &b) { put32(b, 4, 20); },
              "FATAL: start points inside hash table\n"},
             {"table past EOF", [](std::string &b) { b.resize(24); put32(b, 4, 0); put32(b, 12, 1000); },
              "FATAL: hash table is after EOF\n"},
             {"short header", [](std::string &b) { b.resize(12); }, "FATAL: truncated header 'idx'\n"},
         })
        expect_fatal(s, lie);
}

TEST(DirindexCheck, BucketChainLies) {
    std::string s = three();
    for (const Lie &lie : std::vector<Lie>{
             {"bucket past EOF", [](std::string &b) { put32(b, 20, static_cast<uint32_t>(b.size() + 100)); },
              "FATAL: hash points to nowhere\n"},
             {"bucket at the last bytes", [](std::string &b) { put32(b, 20, static_cast<uint32_t>(b.size() - 8)); },
              "FATAL: truncated dentry\n"},
             {"reclen 0", [](std::string &b) { put32(b, kA + 4, 0); }, "FATAL: bad reclen\n"},
             {"reclen above a block", [](std::string &b) { put32(b, kA + 4, 5000); }, "FATAL: bad reclen\n"},
             {"reclen past EOF", [](std::string &b) { put32(b, kC + 4, 24); }, "FATAL: bad reclen\n"},
             {"namelen 300", [](std::string &b) { put16(b, kA + 2, 300); }, "FATAL: bad namelen 300 for a\n"},
             {"name past EOF", [](std::string &b) { put16(b, kC + 2, 200); }, "FATAL: bad namelen 200 for c\n"},
             {"link into the table", [](std::string &b) { put32(b, kA + 12, 20); },
              "FATAL: link 20 points to hash\n"},
             {"link forward", [](std::string &b) { put32(b, kA + 12, kC + 4); }, "FATAL: link points forward\n"},
             {"target text off the end", [](std::string &b) { put32(b, kB + 20, 0xFFFFFF00u); },
              "FATAL: target of b runs past EOF\n"},
             {"flags", [](std::string &b) { b[kA + 1] = 0x10; }, "FATAL: hash buckets cross\n"},
         })
        expect_fatal(s, lie);
}

TEST(DirindexCheck, CrossingChains) {
    std::vector<Rec> recs;
    for (int i = 0; i < 10; ++i)
        recs.push_back({"f" + std::to_string(i), 8, uint32_t(2 * i), ""});
    std::string bytes = build_index(recs);
    ASSERT_EQ(u32(bytes, 12), 251u);
    // Point every empty bucket at the first record.
    for (size_t i = 0; i < 251; ++i)
        if (u32(bytes, 20 + 4 * i) == 0)
            put32(bytes, 20 + 4 * i, u32(bytes, 4));
    Checked c = fsck(bytes, 2);
    EXPECT_EQ(c.rc, -2);
    EXPECT_EQ(c.traces, "FATAL: hash buckets cross\n");
}

// Records that no bucket reaches are checked by the record walk alone.
TEST(DirindexCheck, LiesInRecordsOnlyTheWalkReaches) {
    std::string s = three();
    put32(s, 20, 0);
    EXPECT_EQ(fsck(s, 2).rc, 0);
    for (const Lie &lie : std::vector<Lie>{
             {"reclen 0", [](std::string &b) { put32(b, kB + 4, 0); }, "FATAL: truncated...\n"},
             {"reclen past EOF", [](std::string &b) { put32(b, kC + 4, 4000); }, "FATAL: bad reclen\n"},
             {"head past EOF", [](std::string &b) { put32(b, kB + 4, static_cast<uint32_t>(b.size() - kB - 8)); },
              "FATAL: truncated dentry\n"},
             {"name without its zero byte",
              [](std::string &b) {
                  b.resize(kC + 16 + 3);
                  put16(b, kC + 2, 10);
                  put32(b, kC + 4, 19);
                  b.replace(kC + 16, 3, "cut");
              },
              "FATAL: bad namelen 10 for cut\n"},
             {"target text off the end", [](std::string &b) { put32(b, kB + 20, 100); },
              "FATAL: target of b runs past EOF\n"},
             {"link past EOF", [](std::string &b) { put32(b, kB + 12, 0xFFFFFFF0u); },
              "FATAL: target of b runs past EOF\n"},
         })
        expect_fatal(s, lie);
}

TEST(DirindexCheck, WarningsDoNotChangeTheResult) {
    std::string s = three();

    std::string no_bucket = s;
    put32(no_bucket, 20, 0);
    Checked c = fsck(no_bucket, 4);
    EXPECT_EQ(c.rc, 0);
    EXPECT_NE(c.traces.find("-\ta\nWARNING: dentry is not in hash\n"), std::string::npos) << c.traces;

    std::string no_eof = s;
    no_eof[kC + 1] = DENT_LAST_IN_BUCKET;
    c = fsck(no_eof, 4);
    EXPECT_EQ(c.rc, 0);
    EXPECT_NE(c.traces.find("WARNING: last dentry is not EOF\n"), std::string::npos) << c.traces;

    std::string early_eof = s;
    early_eof[kA + 1] = DENT_EOF;
    c = fsck(early_eof, 4);
    EXPECT_EQ(c.rc, 0);
    for (const char *w : {"WARNING: EOF?\n", "WARNING: entry after EOF\n", "WARNING: EOF is in the middle\n"})
        EXPECT_NE(c.traces.find(w), std::string::npos) << w << c.traces;
}

TEST(DirindexCheck, EmptyIndex) {
    std::string bytes(24, '\0');
    put32(bytes, 0, DIRINDEX_SIGNATURE);
    put32(bytes, 12, 1);
    Checked c = fsck(bytes, 4);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.traces, "WARNING: wrong checksum 'idx'\nWARNING: empty dir\n");

    std::vector<unsigned char> copy(bytes.begin(), bytes.end());
    char **texts = read_in_core("idx", copy.data(), copy.size());
    ASSERT_NE(texts, nullptr);
    EXPECT_EQ(texts[0], nullptr);
    std::free(texts);

    std::string dir = kxtest::temp_dir("kxempty");
    dirtest::InDir in(dir);
    copy.assign(bytes.begin(), bytes.end());
    EXPECT_EQ(correct_dirindex("idx", copy.data(), copy.size(), "out", "a", "b"), 0);
    EXPECT_FALSE(kxtest::exists(dir + "/out"));
    std::filesystem::remove_all(dir);
}

TEST(DirindexCheck, TypeLetters) {
    EXPECT_STREQ(type_str(15), "?");
    EXPECT_STREQ(type_str(8), "-");
    EXPECT_STREQ(type_str(4), "d");
    EXPECT_STREQ(type_str(10), "l");
}

class LostLinks : public testing::Test {
protected:
    void SetUp() override {
        troot_ = host_.template_root();
        kxtest::write_file(troot_ + "/pkg/d/a", "");
        dir_ = host_.path("area");
        kxtest::make_dirs(dir_);
        bytes_ = build_index({{".", 4, 10, ""}, {"a", 8, 11, "////pkg/d"}, {"b", 8, 13, "////pkg/d"}, {"c", 8, 14, ""}});
    }
    void TearDown() override { clean_memory(); }
    std::string repaired() const {
        return build_index({{".", 4, 10, ""}, {"a", 8, 11, "////pkg/d"}, {"c", 8, 14, ""}});
    }
    kxtest::Host host_;
    std::string troot_, dir_, bytes_;
};

TEST_F(LostLinks, AreFoundWithATemplateRoot) {
    dirtest::InDir in(dir_);
    Checked c = fsck(bytes_, 2, nullptr, troot_.c_str());
    EXPECT_EQ(c.rc, 1);
    EXPECT_EQ(c.traces, "Lost link in 'dirindex' " + troot_ + "/pkg/d/b\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    // Without a template root there is nothing to find.
    EXPECT_EQ(fsck(bytes_, 2).rc, 0);
}

TEST_F(LostLinks, RepairedCopyHoldsTheSurvivingRecords) {
    dirtest::InDir in(dir_);
    Checked c = fsck(bytes_, 4, DIRINDEX_TMP_NAME, troot_.c_str());
    EXPECT_EQ(c.rc, 1);
    EXPECT_NE(c.traces.find("Scanned 3 entries, 1 dirs\n"), std::string::npos) << c.traces;
    EXPECT_NE(c.traces.find("wrote file " + dir_ + "/" DIRINDEX_TMP_NAME " \n"), std::string::npos) << c.traces;
    std::string got = kxtest::read_file(dir_ + "/" DIRINDEX_TMP_NAME);
    EXPECT_EQ(got, repaired());
    Checked again = fsck(got, 4, nullptr, troot_.c_str());
    EXPECT_EQ(again.rc, 0);
    EXPECT_EQ(again.traces.find("WARNING"), std::string::npos) << again.traces;
}

TEST_F(LostLinks, RepairedCopyIsNeverWrittenThroughALink) {
    std::string victim = host_.path("victim");
    kxtest::write_file(victim, "host file");
    kxtest::make_symlink(victim, dir_ + "/" DIRINDEX_TMP_NAME);
    dirtest::InDir in(dir_);
    EXPECT_EQ(fsck(bytes_, 2, DIRINDEX_TMP_NAME, troot_.c_str()).rc, 1);
    EXPECT_EQ(kxtest::read_file(victim), "host file");
    EXPECT_TRUE(S_ISREG(kxtest::lstat_of(dir_ + "/" DIRINDEX_TMP_NAME).st_mode));
    EXPECT_EQ(kxtest::read_file(dir_ + "/" DIRINDEX_TMP_NAME), repaired());
}

TEST_F(LostLinks, RepairedCopyThatCannotBeCreated) {
    dirtest::InDir in(dir_);
    Checked c = fsck(bytes_, 2, "missing/out", troot_.c_str());
    EXPECT_EQ(c.rc, -1);
    EXPECT_NE(c.traces.find("Error: can't open 'missing/out': No such file or directory\n"), std::string::npos)
        << c.traces;
}

TEST_F(LostLinks, FsckDirindexOnDisk) {
    dirtest::InDir back(host_.root());
    kxtest::write_file(dir_ + "/" DIRINDEX_NAME, bytes_);
    EXPECT_EQ(fsck_dirindex(dir_.c_str(), DIRINDEX_NAME, DIRINDEX_TMP_NAME, troot_.c_str()), 1);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd), dir_) << "the working directory stays changed";
    EXPECT_EQ(kxtest::read_file(dir_ + "/" DIRINDEX_TMP_NAME), repaired());
    EXPECT_EQ(kxtest::read_file(dir_ + "/" DIRINDEX_NAME), bytes_) << "the file itself is left alone";
    EXPECT_EQ(fsck_dirindex(".", DIRINDEX_TMP_NAME, nullptr, troot_.c_str()), 0);

    dirtest::Level level(2);
    CaptureStderr();
    EXPECT_EQ(fsck_dirindex(host_.path("nowhere").c_str(), DIRINDEX_NAME, nullptr, nullptr), 1);
    EXPECT_NE(GetCapturedStderr().find("Error: Can't chdir to '" + host_.path("nowhere") + "'"), std::string::npos);
}

TEST_F(LostLinks, EmptyFileCannotBeMapped) {
    kxtest::write_file(dir_ + "/" DIRINDEX_NAME, "");
    dirtest::InDir in(dir_);
    dirtest::Level level(2);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(fsck_dirindex(".", DIRINDEX_NAME, nullptr, nullptr), -1);
    EXPECT_EQ(read_dirindex(DIRINDEX_NAME), nullptr);
    std::string out = GetCapturedStdout(), err = GetCapturedStderr();
    EXPECT_NE(out.find("Warning: can't mmap dirindex file '" DIRINDEX_NAME "'"), std::string::npos) << out;
    EXPECT_NE(err.find("Error: can't mmap dirindex file '" + dir_ + "/" DIRINDEX_NAME "'"), std::string::npos) << err;
    EXPECT_NE(err.find("Error: can't mmap dirindex file '" DIRINDEX_NAME "'"), std::string::npos) << err;
}

TEST_F(LostLinks, FifoIsNotOpened) {
    ASSERT_EQ(mkfifo((dir_ + "/" DIRINDEX_NAME).c_str(), 0644), 0);
    dirtest::Level level(2);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(mmap_file((dir_ + "/" DIRINDEX_NAME).c_str(), nullptr), nullptr);
    EXPECT_NE(GetCapturedStdout().find("Warning: can't open dirindex file"), std::string::npos);
    GetCapturedStderr();
}

TEST(DirindexRead, ListsTheMagicTargetsInFileOrder) {
    std::string bytes = build_index({{"a", 8, 3, "////pkg/d"}, {"c", 8, 4, ""}, {"b", 10, 5, "////pkg/e"}});
    std::string dir = kxtest::temp_dir("kxread");
    kxtest::write_file(dir + "/idx", bytes);
    EXPECT_EQ(texts_of(read_dirindex((dir + "/idx").c_str())),
              (std::vector<std::string>{"////pkg/d/a", "////pkg/e/b"}));
    kxtest::write_file(dir + "/broken", bytes.substr(0, 30));
    dirtest::Level level(0);
    EXPECT_EQ(read_dirindex((dir + "/broken").c_str()), nullptr);
    EXPECT_EQ(read_dirindex((dir + "/missing").c_str()), nullptr);
    std::filesystem::remove_all(dir);
}

class Clone : public testing::Test {
protected:
    void SetUp() override { dir_ = kxtest::temp_dir("kxclone"); }
    void TearDown() override {
        clean_memory();
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
    const char *old_ = "11111111-2222-3333-4444-555555555555";
    const char *new_ = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";
};

TEST_F(Clone, RewritesCacheLinksForTheNewIdentifier) {
    std::string src = build_index({{"x", 8, 3, std::string("////vc//") + old_ + "//pkg"},
                                   {"y", 8, 5, "////pkg/d"},
                                   {"sub", 4, 6, ""},
                                   {"w", 8, 7, std::string("////vc/") + old_ + "/pkg"}});
    kxtest::write_file(dir_ + "/src", src);
    dirtest::InDir in(dir_);
    ASSERT_EQ(clone_dirindex("src", "dst", old_, new_), 0);
    std::string want = build_index({{"x", 8, 3, std::string("////vc/") + new_ + "/pkg"},
                                    {"y", 8, 5, "////pkg/d"},
                                    {"sub", 4, 6, ""},
                                    {"w", 8, 7, std::string("////vc/") + new_ + "/pkg"}});
    EXPECT_EQ(kxtest::read_file(dir_ + "/dst"), want);
    EXPECT_EQ(u32(want, 8), 1u);
    EXPECT_EQ(kxtest::read_file(dir_ + "/src"), src);
}

TEST_F(Clone, WithoutIdentifiersCopiesByteForByte) {
    std::string src = build_index({{"x", 8, 3, "////vc/" + std::string(old_) + "/p"}});
    src[30] ^= 1;  // even a damaged file is copied as it is
    kxtest::write_file(dir_ + "/src", src);
    dirtest::InDir in(dir_);
    ASSERT_EQ(clone_dirindex("src", "dst", nullptr, nullptr), 0);
    EXPECT_EQ(kxtest::read_file(dir_ + "/dst"), src);
    ASSERT_EQ(clone_dirindex("src", "dst2", old_, nullptr), 0);
    EXPECT_EQ(kxtest::read_file(dir_ + "/dst2"), src);
}

// The check only warns about an end flag on a record in the middle: the
// readers and the rewrite take every record after it too.
TEST_F(Clone, EndFlagInTheMiddleLosesNoRecord) {
    std::vector<Rec> recs = {{"a", 8, 3, "////pkg/d"},
                             {"b", 8, 5, std::string("////vc/") + old_ + "/pkg"},
                             {"c", 10, 7, "////pkg/e"}};
    std::string src = build_index(recs);
    src[kA + 1] = static_cast<char>(src[kA + 1] | DENT_EOF);
    kxtest::write_file(dir_ + "/src", src);
    dirtest::InDir in(dir_);
    dirtest::Level level(0);
    EXPECT_EQ(texts_of(read_dirindex("src")),
              (std::vector<std::string>{"////pkg/d/a", std::string("////vc/") + old_ + "/pkg/b",
                                        "////pkg/e/c"}));
    ASSERT_EQ(clone_dirindex("src", "dst", old_, new_), 0);
    recs[1].target = std::string("////vc/") + new_ + "/pkg";
    EXPECT_EQ(kxtest::read_file(dir_ + "/dst"), build_index(recs));
}

TEST_F(Clone, BrokenSourceWritesNothing) {
    std::string src = build_index({{"x", 8, 3, ""}});
    put32(src, 12, 0);
    kxtest::write_file(dir_ + "/src", src);
    dirtest::InDir in(dir_);
    dirtest::Level level(0);
    EXPECT_EQ(clone_dirindex("src", "dst", old_, new_), -1);
    EXPECT_FALSE(kxtest::exists(dir_ + "/dst"));
    EXPECT_EQ(clone_dirindex("missing", "dst", old_, new_), -1);
    EXPECT_EQ(clone_dirindex("missing", "dst", nullptr, nullptr), -1);
}

// A file that claims more than any index holds is refused before it is
// mapped or copied: beyond the 4 GiB its offsets reach, or with a hole of
// 8 KiB (no index has that many zeros in a row). A file within both
// bounds is read and judged by the check.
TEST_F(Clone, FilesLargerThanTheyHoldAreNeverRead) {
    const std::string sound = three();
    {
        // Whether this filesystem shows holes at all.
        kxtest::write_file(dir_ + "/probe", "x");
        ASSERT_EQ(truncate((dir_ + "/probe").c_str(), 1 << 20), 0);
        int fd = open((dir_ + "/probe").c_str(), O_RDONLY | O_CLOEXEC);
        off_t hole = lseek(fd, 0, SEEK_HOLE);
        close(fd);
        if (hole < 0 || hole >= (1 << 20))
            GTEST_SKIP() << "the filesystem of " << dir_ << " shows no holes";
    }
    struct Case {
        const char *what;
        off_t size;   // the sound index is extended to this size, as a hole
        bool refused;
    } cases[] = {
        {"16 GiB", off_t(16) << 30, true},
        {"4 GiB and one byte", off_t(UINT32_MAX) + 1, true},
        {"just under 4 GiB", off_t(UINT32_MAX) - 4096, true},
        {"a hole of 8 KiB", 4096 + 8192, true},
        {"a hole of less than 8 KiB", 4096 + 8191, false},
    };
    dirtest::InDir in(dir_);
    dirtest::Level level(0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kxtest::write_file(dir_ + "/src", sound);
        ASSERT_EQ(truncate((dir_ + "/src").c_str(), c.size), 0);
        struct stat st;
        void *map = mmap_file("src", &st);
        int err = errno;
        if (map)
            munmap(map, static_cast<size_t>(st.st_size));
        EXPECT_EQ(map == nullptr, c.refused);
        EXPECT_EQ(read_dirindex("src"), nullptr);  // refused, or broken by its zeros
        if (!c.refused)
            continue;
        EXPECT_EQ(err, EFBIG);
        EXPECT_EQ(fsck_dirindex(".", "src", nullptr, nullptr), -1);
        for (const char *uuid : {old_, static_cast<const char *>(nullptr)}) {
            errno = 0;
            EXPECT_EQ(clone_dirindex("src", "dst", uuid, uuid ? new_ : nullptr), -1);
            EXPECT_EQ(errno, EFBIG);
            EXPECT_FALSE(kxtest::exists(dir_ + "/dst"));
        }
    }
}

}  // namespace
