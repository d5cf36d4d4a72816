// The dirindex format as bytes: the worked layout, the name hash, bucket
// counts, 4096-byte placement, shared target blocks, the checksum rule and
// a hard-linked template name.
#include "dirindex_format.h"
#include "dirindex_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using dirtest::parse;
using dirtest::Rec;
using dirtest::u32;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

uint32_t hash_of(const std::string &s) {
    return dirindex_hash(s.data(), static_cast<unsigned>(s.size()));
}

TEST(DirindexHash, WorkedValues) {
    struct {
        const char *name;
        uint32_t h, b251, b1019;
    } cases[] = {
        {".", 0x2E, 46, 46},
        {"..", 0x2CC, 214, 716},
        {"abc", 0x6744, 81, 961},
        {"hosts", 0x4071C005, 244, 865},
        {"resolv.conf", 0xFFA7770E, 13, 460},
        {"\xE9\x74\xE9", 0xF0FFEE58, 3, 170},
    };
    for (const auto &c : cases) {
        uint32_t h = hash_of(c.name);
        EXPECT_EQ(h, c.h) << c.name;
        EXPECT_EQ(h % 251, c.b251) << c.name;
        EXPECT_EQ(h % 1019, c.b1019) << c.name;
    }
}

TEST(DirindexHash, WordsThenSignExtendedBytes) {
    // Exactly four bytes: one little-endian word and nothing else.
    EXPECT_EQ(hash_of("abcd"), 0x64636261u);
    // Only namelen bytes count.
    EXPECT_EQ(dirindex_hash("abcX", 3), hash_of("abc"));
    // One byte of 0x80 contributes 0xFFFFFF80.
    EXPECT_EQ(hash_of("\x80"), 0xFFFFFF80u);
}

TEST(DirindexFormat, BucketCountFollowsTheRecordCount) {
    for (auto [n, want] : {std::pair<uint32_t, uint32_t>{0, 1}, {7, 1}, {8, 251}, {255, 251},
                           {256, 1019}, {100000, 1019}}) {
        tot = n;
        select_prime();
        EXPECT_EQ(prime, want) << n;
    }
    tot = 0;
}

TEST(DirindexFormat, TypeLetters) {
    const char *want[] = {"0", "p", "c", "3", "d", "5", "b", "7", "-", "9", "l", "11", "s", "13", "w"};
    for (unsigned i = 0; i < 15; ++i)
        EXPECT_STREQ(type_str(i), want[i]);
    EXPECT_STREQ(type_str(15), "?");
    EXPECT_STREQ(type_str(255), "?");
}

class DirindexLayout : public testing::Test {
protected:
    void SetUp() override { dir_ = kxtest::temp_dir("kxlayout"); }
    void TearDown() override {
        clean_memory();
        std::filesystem::remove_all(dir_);
    }
    std::string read_index() const { return kxtest::read_file(dir_ + "/" DIRINDEX_NAME); }
    std::string dir_;
};

TEST_F(DirindexLayout, WorkedLayoutOfThreeRecords) {
    kxtest::write_file(dir_ + "/a", "data");
    dirtest::InDir in(dir_);
    ASSERT_EQ(create_dirindex(".", DIRINDEX_NAME, "/nonexistent", 0), 0);

    // The records follow the listing order of the directory.
    std::vector<std::string> order;
    DIR *d = opendir(".");
    while (struct dirent *de = readdir(d))
        if (std::string(de->d_name) != DIRINDEX_NAME)
            order.push_back(de->d_name);
    closedir(d);
    ASSERT_EQ(order.size(), 3u);

    std::string want(84, '\0');
    dirtest::put32(want, 0, 0x402DE119);
    dirtest::put32(want, 4, 24);
    dirtest::put32(want, 8, 2);
    dirtest::put32(want, 12, 1);
    dirtest::put32(want, 20, 24);
    for (size_t i = 0; i < 3; ++i) {
        size_t at = 24 + 20 * i;
        struct stat st = kxtest::lstat_of(order[i]);
        want[at] = order[i] == "a" ? 8 : 4;
        want[at + 1] = i == 2 ? 3 : 0;
        dirtest::put16(want, at + 2, static_cast<uint16_t>(order[i].size()));
        dirtest::put32(want, at + 4, 20);
        dirtest::put32(want, at + 8, static_cast<uint32_t>(st.st_ino * 2));
        want.replace(at + 16, order[i].size(), order[i]);
    }
    dirtest::put32(want, 16, dirtest::expected_checksum(want));

    std::string got = read_index();
    EXPECT_EQ(got.size(), 84u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>("\x19\xE1\x2D\x40"), 4), got.substr(0, 4));
}

TEST_F(DirindexLayout, RecordCrossingABlockMovesToTheNextOne) {
    std::string bytes = dirtest::build_index({
        {"a", 8, 3, "////" + std::string(2996, 't')},  // 3028 bytes at 24
        {"b", 8, 5, "////" + std::string(1996, 'u')},  // 2028 bytes: would cross 4096
    });
    auto recs = parse(bytes);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].at, 24u);
    EXPECT_EQ(recs[0].reclen, 4096u - 24);
    EXPECT_EQ(recs[1].at, 4096u);
    EXPECT_EQ(recs[1].reclen, 2028u);
    EXPECT_EQ(bytes.size(), 4096u + 2028);
    EXPECT_EQ(bytes.substr(24 + 3028, 4096 - 24 - 3028), std::string(4096 - 24 - 3028, '\0'));
    EXPECT_EQ(recs[0].flags, 0u);
    EXPECT_EQ(recs[1].flags, 3u);
    EXPECT_EQ(recs[1].link, 4096u + 16 + 4);
}

TEST_F(DirindexLayout, RecordLongerThanABlockStartsAtABoundaryAndIsReported) {
    dirtest::Level level(1);
    CaptureStderr();
    std::string bytes = dirtest::build_index({{"x", 8, 3, "////" + std::string(4086, 'v')}});
    EXPECT_EQ(GetCapturedStderr(), "too long entry 'x'\n");
    auto recs = parse(bytes);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].at, 4096u);
    EXPECT_EQ(u32(bytes, 4), 4096u);
    EXPECT_EQ(bytes.size(), 4096u + 16 + 4 + 4 + 4092);
}

TEST_F(DirindexLayout, RecordsOfOneTemplateDirectoryShareOneBlock) {
    std::string bytes = dirtest::build_index({
        {"x", 8, 3, "////pkg/dir"},
        {"y", 10, 5, "////pkg/dir"},
        {"z", 8, 7, "////pkg/other"},
    });
    auto recs = parse(bytes);
    ASSERT_EQ(recs.size(), 3u);
    // x carries the block right after its padded name; y points back to it.
    EXPECT_EQ(recs[0].link, 24u + 16 + 4);
    EXPECT_EQ(recs[0].reclen, 16u + 4 + 4 + 12);
    EXPECT_EQ(recs[1].link, recs[0].link);
    EXPECT_EQ(recs[1].reclen, 20u);
    EXPECT_EQ(recs[1].target, "////pkg/dir");
    EXPECT_EQ(recs[2].link, recs[2].at + 20);
    EXPECT_EQ(recs[2].target, "////pkg/other");
    EXPECT_EQ(u32(bytes, recs[0].link), 11u);
    size_t blocks = 0;
    for (size_t at = bytes.find("////pkg/dir"); at != std::string::npos; at = bytes.find("////pkg/dir", at + 1))
        ++blocks;
    EXPECT_EQ(blocks, 1u);
}

TEST_F(DirindexLayout, ChecksumIgnoresWhatTheFieldHeld) {
    std::string bytes = dirtest::build_index({{"a", 8, 2, ""}, {"b", 8, 4, "////p/d"}});
    unsigned char a[4], b[4];
    kx::dirindex::checksum(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), a);
    EXPECT_EQ(dirtest::u32(std::string(reinterpret_cast<char *>(a), 4), 0), u32(bytes, 16));
    dirtest::put32(bytes, 16, 0xDEADBEEF);
    kx::dirindex::checksum(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), b);
    EXPECT_EQ(std::memcmp(a, b, 4), 0);
}

// Checks the bucket order of a written index without the library's reader:
// records grouped by ascending bucket, each chain contiguous and reachable
// from its bucket entry, flags on the last of each chain and of the file.
void expect_sound_buckets(const std::string &bytes, uint32_t want_prime, size_t want_records) {
    uint32_t p = u32(bytes, 12);
    ASSERT_EQ(p, want_prime);
    auto recs = parse(bytes);
    ASSERT_EQ(recs.size(), want_records);
    int64_t last_bucket = -1;
    for (size_t i = 0; i < recs.size(); ++i) {
        const auto &r = recs[i];
        uint32_t b = dirindex_hash(r.name.data(), r.namelen) % p;
        EXPECT_GE(int64_t(b), last_bucket) << r.name;
        if (int64_t(b) != last_bucket) {
            EXPECT_EQ(u32(bytes, 20 + 4 * b), r.at) << "bucket " << b;
        }
        bool last_of_chain =
            i + 1 == recs.size() || dirindex_hash(recs[i + 1].name.data(), recs[i + 1].namelen) % p != b;
        EXPECT_EQ((r.flags & DENT_LAST_IN_BUCKET) != 0, last_of_chain) << r.name;
        EXPECT_EQ((r.flags & DENT_EOF) != 0, i + 1 == recs.size()) << r.name;
        EXPECT_EQ(r.at % 4, 0u);
        EXPECT_EQ(r.at / 4096, (r.at + 16 + ((r.namelen + 4) & ~3u) - 1) / 4096) << r.name;
        last_bucket = b;
    }
    EXPECT_EQ(recs.back().at + recs.back().reclen, bytes.size());
    EXPECT_EQ(u32(bytes, 16), dirtest::expected_checksum(bytes));
}

TEST_F(DirindexLayout, EightEntriesGive251Buckets) {
    for (int i = 0; i < 6; ++i)
        kxtest::write_file(dir_ + "/f" + std::to_string(i), "");
    dirtest::InDir in(dir_);
    ASSERT_EQ(create_dirindex(".", DIRINDEX_NAME, "/nonexistent", 0), 0);
    expect_sound_buckets(read_index(), 251, 8);
}

TEST_F(DirindexLayout, TwoHundredFiftySixEntriesGive1019Buckets) {
    // Long names, so that records also meet 4096-byte boundaries.
    for (int i = 0; i < 254; ++i)
        kxtest::write_file(dir_ + "/" + std::string(100 + i % 50, 'n') + std::to_string(i), "");
    dirtest::InDir in(dir_);
    ASSERT_EQ(create_dirindex(".", DIRINDEX_NAME, "/nonexistent", 0), 0);
    std::string bytes = read_index();
    expect_sound_buckets(bytes, 1019, 256);
    EXPECT_GT(bytes.size(), 4 * 4096u);
}

TEST_F(DirindexLayout, HardLinkedTemplateNameIsKeptUnderTheEntrysOwnName) {
    kxtest::Host host;
    std::string tdir = host.template_root() + "/pkg/dir";
    kxtest::write_file(tdir + "/y", "shared");
    ASSERT_EQ(link((tdir + "/y").c_str(), (tdir + "/x").c_str()), 0);
    kxtest::make_shortcut_file(dir_ + "/x", "pkg/dir/y");
    dirtest::InDir in(dir_);
    ASSERT_EQ(create_dirindex(".", DIRINDEX_NAME, host.template_root().c_str(), 0), 0);

    auto recs = parse(read_index());
    auto it = std::find_if(recs.begin(), recs.end(), [](auto &r) { return r.name == "x"; });
    ASSERT_NE(it, recs.end());
    EXPECT_EQ(it->target, "////pkg/dir");
    EXPECT_EQ(it->type, 8u);
    EXPECT_EQ(it->ino, static_cast<uint32_t>(kxtest::lstat_of(tdir + "/x").st_ino * 2 + 1));
    EXPECT_TRUE(kxtest::exists("x")) << "a hard-linked name stays in the directory";
}

TEST_F(DirindexLayout, TemplateNameOfAnotherFileIsAMismatch) {
    kxtest::Host host;
    std::string tdir = host.template_root() + "/pkg/dir";
    kxtest::write_file(tdir + "/y", "one");
    kxtest::write_file(tdir + "/x", "another");
    kxtest::make_shortcut_file(dir_ + "/x", "pkg/dir/y");
    dirtest::InDir in(dir_);
    dirtest::Level level(4);
    CaptureStderr();
    EXPECT_EQ(create_dirindex(".", DIRINDEX_NAME, host.template_root().c_str(), 0), 3);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Warning: check hard link '" + dir_ + "/x' -> '" + host.template_root() + "////pkg/dir/x'\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Warning: name mistmatch on '" + dir_ + "/x'\n"), std::string::npos) << err;
    EXPECT_FALSE(kxtest::exists(DIRINDEX_NAME));
}

}  // namespace
