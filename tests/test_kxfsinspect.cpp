// kxfsinspect end to end: the dirindex report against the writer's own
// bytes, damaged and unreadable inputs, the cow names against what the
// checker looks up, what holds an entry, and that no subcommand changes
// anything in an area, access times included.
#include "dirindex_support.h"
#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::json;
using kxcheck::contains;

namespace {

kxtest::Run inspect(std::vector<std::string> args) {
    args.insert(args.begin(), kxtest::tool("kxfsinspect"));
    return kxtest::run(args);
}

// The document a --json run printed; a test failure when it does not parse.
json parsed(const kxtest::Run &r) {
    try {
        return json::parse(r.out);
    } catch (const json::exception &e) {
        ADD_FAILURE() << "not JSON (" << e.what() << "):\n" << r.out;
        return json();
    }
}

// The bytes a text value stands for: a string, or {"hex": ...}.
std::string bytes_of(const json &v) {
    if (v.is_string())
        return v.get<std::string>();
    std::string hex = v.at("hex").get<std::string>(), s;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        s += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return s;
}

std::string write_index(const std::string &path, const std::string &bytes) {
    kxtest::write_file(path, bytes);
    return path;
}

TEST(Inspect, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out_has, err_has;
    } cases[] = {
        {{}, 2, "", "usage: kxfsinspect [--json] dirindex [-t TEMPLATE_DIR] FILE\n"},
        {{"-h"}, 0, "       kxfsinspect [--json] entry -t TEMPLATE_DIR PRIVATE_DIR PATH\n", ""},
        {{"--version"}, 0, "kxfsinspect version 1.0.0\n", ""},
        {{"area"}, 2, "", "usage:"},
        {{"dirindex", "a", "b"}, 2, "", "usage:"},
        {{"entry", "/area", "etc"}, 2, "", "usage:"},
        {{"pointer", "-x", "////a"}, 2, "", "usage:"},
        {{"entry", "-t", "/", "/", "etc/../x"}, 2, "", "a path with '..' is not accepted"},
        {{"pointer", "--json", "--", "-x"}, 1, "\"magic\": false", ""},
    };
    for (const Case &c : cases) {
        kxtest::Run r = inspect(c.args);
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args) << r.err;
        EXPECT_TRUE(contains(r.out, c.out_has));
        EXPECT_TRUE(contains(r.err, c.err_has));
    }
}

// Every record the writer wrote, field by field, and the bucket figures
// counted independently from the names.
TEST(Inspect, DirindexReportsWhatTheWriterWrote) {
    kxtest::Host host;
    std::vector<dirtest::Rec> many;
    for (int i = 0; i < 300; ++i)
        many.push_back({"n" + std::to_string(i), uint8_t(i % 5 ? 8 : 4), uint32_t(2 * i + (i % 3 ? 1 : 0)),
                        i % 3 ? "////pkg/" + std::to_string(i % 7) : ""});
    const std::vector<std::vector<dirtest::Rec>> models = {
        {{".", 4, 10, ""}, {"..", 4, 4, ""}, {"a", 8, 12, ""}},
        {{".", 4, 2, ""},
         {"\xe9t\xe9", 8, 7, "////pkg/d"},
         {"line\nbreak", 10, 9, "////pkg/d"},
         {"c", 8, 11, "////vc/11111111-2222-3333-4444-555555555555/x"}},
        many,
    };
    for (const auto &model : models) {
        std::string bytes = dirtest::build_index(model);
        std::string file = write_index(host.path("index"), bytes);
        kxtest::Run r = inspect({"--json", "dirindex", file});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        json doc = parsed(r);
        uint32_t prime = dirtest::u32(bytes, 12);
        EXPECT_EQ(doc["header"]["prime"], prime);
        EXPECT_EQ(doc["header"]["start"], dirtest::u32(bytes, 4));
        EXPECT_EQ(doc["header"]["checksum"], dirtest::expected_checksum(bytes));
        EXPECT_EQ(doc["header"]["checksum_ok"], true);
        EXPECT_EQ(doc["check"]["result"], "sound");
        EXPECT_TRUE(doc["check"]["findings"].empty());

        std::vector<dirtest::Parsed> want = dirtest::parse(bytes);
        const json &got = doc["records"];
        ASSERT_EQ(got.size(), want.size());
        std::map<uint32_t, uint32_t> chain_lengths;
        for (size_t i = 0; i < want.size(); ++i) {
            const json &g = got[i];
            const dirtest::Parsed &w = want[i];
            EXPECT_EQ(g["offset"], w.at);
            EXPECT_EQ(g["type"], w.type);
            EXPECT_EQ(g["type_letter"], type_str(w.type));
            EXPECT_EQ(g["flags"], w.flags);
            EXPECT_EQ(bytes_of(g["name"]), w.name);
            EXPECT_EQ(g["ino"], w.ino);
            EXPECT_EQ(g["key"], (w.ino & 1) ? "template" : "real");
            EXPECT_EQ(g["link"], w.link);
            if (w.link) {
                EXPECT_EQ(bytes_of(g["target"]), w.target);
            } else {
                EXPECT_TRUE(g["target"].is_null());
            }
            uint32_t bucket = dirindex_hash(w.name.data(), w.namelen) % prime;
            EXPECT_EQ(g["bucket"], bucket);
            EXPECT_EQ(g["chain"], bucket);
            ++chain_lengths[bucket];
        }
        uint32_t longest = 0;
        for (auto [bucket, n] : chain_lengths)
            longest = std::max(longest, n);
        EXPECT_EQ(doc["buckets"]["used"], chain_lengths.size());
        EXPECT_EQ(doc["buckets"]["longest_chain"], longest);
    }
    // The text form names the names that are not UTF-8 by their bytes.
    kxtest::Run r = inspect({"dirindex", write_index(host.path("index"), dirtest::build_index(models[1]))});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "\\xe9t\\xe9 -> ////pkg/d/\\xe9t\\xe9\n"));
    EXPECT_TRUE(contains(r.out, "line\\x0abreak"));
}

// Damage gives the library's own findings and status 1; what cannot be
// read at all gives status 3 and the reason, never a crash or a hang.
TEST(Inspect, DamagedAndUnreadableIndexes) {
    kxtest::Host host;
    std::vector<dirtest::Rec> recs;
    for (int i = 0; i < 12; ++i)
        recs.push_back({"f" + std::to_string(i), 8, uint32_t(2 * i + 1), "////pkg/d"});
    const std::string good = dirtest::build_index(recs);
    const std::string file = host.path("index");
    auto mutated = [&](auto change) {
        std::string b = good;
        change(b);
        return b;
    };
    auto first = dirtest::parse(good)[0];
    struct Case {
        std::string bytes, finding, result;
        off_t size = 0;  // the file is extended to it, as a hole
    } cases[] = {
        {mutated([&](std::string &b) { b[first.at + 16] ^= 1; }), "WARNING: wrong checksum '" + file + "'", "sound"},
        {mutated([](std::string &b) { b[0] = 1; }), "FATAL: wrong signature '" + file + "' 402de101", "broken"},
        {mutated([&](std::string &b) {
             // A second bucket pointing at the first record's chain.
             uint32_t bucket = dirindex_hash(first.name.data(), first.namelen) % 251;
             dirtest::put32(b, 20 + 4 * ((bucket + 1) % 251), first.at);
         }),
         "FATAL: hash buckets cross", "broken"},
        {mutated([&](std::string &b) { dirtest::put32(b, first.at + 4, 0); }), "FATAL: bad reclen", "broken"},
        {good.substr(0, good.size() - 7), "", "broken"},
        {"", "FATAL: truncated header '" + file + "'", "broken"},
        {good, "can't mmap dirindex file '" + file + "': File too large", "broken", off_t(16) << 30},
        {good, "can't mmap dirindex file '" + file + "': File too large", "broken", 1 << 16},
    };
    for (const Case &c : cases) {
        write_index(file, c.bytes);
        if (c.size) {
            ASSERT_EQ(truncate(file.c_str(), c.size), 0);
        }
        for (bool as_json : {true, false}) {
            kxtest::Run r = as_json ? inspect({"--json", "dirindex", file}) : inspect({"dirindex", file});
            EXPECT_EQ(r.status, 1) << c.finding << r.err;
            EXPECT_TRUE(contains(r.out, c.finding));
            if (as_json) {
                json doc = parsed(r);
                EXPECT_EQ(doc["check"]["result"], c.result) << c.finding;
                EXPECT_EQ(doc["problems"], true);
            }
        }
    }

    // Lost links are looked for with -t only.
    write_index(file, good);
    kxtest::write_file(host.template_root() + "/pkg/d/f3", "");
    EXPECT_EQ(inspect({"dirindex", file}).status, 0);
    kxtest::Run r = inspect({"--json", "dirindex", "-t", host.template_root(), file});
    EXPECT_EQ(r.status, 1);
    json doc = parsed(r);
    EXPECT_EQ(doc["check"]["result"], "lost_links");
    EXPECT_EQ(doc["check"]["findings"].size(), 11u);
    EXPECT_TRUE(contains(doc["check"]["findings"].dump(), "\"Lost link in 'dirindex' " + host.template_root() + "/pkg/d/f0\""));

    kxtest::make_symlink(file, host.path("link"));
    kxtest::make_dirs(host.path("dir"));
    ASSERT_EQ(mkfifo(host.path("fifo").c_str(), 0644), 0);
    for (const char *name : {"missing", "link", "dir", "fifo"}) {
        kxtest::Run r = inspect({"--json", "dirindex", host.path(name)});
        EXPECT_EQ(r.status, 3) << name;
        EXPECT_TRUE(contains(r.err, "Error: kxfsinspect: ")) << name;
        EXPECT_TRUE(parsed(r).contains("error")) << name;
    }
}

TEST(Inspect, Pointer) {
    kxtest::Host host;
    const std::string tmpl = host.template_root();
    kxtest::write_file(tmpl + "/pkg/f", "");
    struct Case {
        std::vector<std::string> args;
        int status;
        json expect;  // keys that must have these values
    } cases[] = {
        {{"////pkg/f"}, 0, {{"magic", true}, {"template_path", tmpl + "/pkg/f"}, {"template_exists", nullptr}}},
        {{"-t", tmpl, "////pkg/f"}, 0, {{"template_exists", true}, {"template_type", "regular"}}},
        {{"-t", tmpl, "////pkg/g"}, 1, {{"template_exists", false}}},
        {{"-t", tmpl, "////pkg/../../etc/passwd"}, 1, {{"leaves_template", true}, {"template_exists", nullptr}}},
        {{"///pkg/f"}, 1, {{"magic", false}, {"cow_names", nullptr}}},
        {{"//////vc//u-1///etc/x"}, 0, {{"cache_link", {{"uuid", "u-1"}, {"rest", "etc/x"}}}}},
        {{"////vcx/u-1/etc"}, 0, {{"cache_link", nullptr}}},
    };
    for (Case &c : cases) {
        std::vector<std::string> args{"--json", "pointer"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        kxtest::Run r = inspect(args);
        EXPECT_EQ(r.status, c.status) << c.args.back();
        json doc = parsed(r);
        for (auto &[key, value] : c.expect.items())
            EXPECT_EQ(doc[key], value) << c.args.back() << " " << key;
    }
}

// The cow name the inspector gives is the one the checker looks up: in an
// area of each naming scheme, the checker claims the cow file under the
// scheme's name and reports the one under the other name as lost; entry
// reads the claimed one.
TEST(Inspect, CowNamesAreTheCheckersOwn) {
    KX_REQUIRE_ROOT();
    for (auto [version, scheme, other] : {std::tuple{"005.003", "md5", "legacy"}, {"005.002", "legacy", "md5"}}) {
        kxtest::Host host;
        kxcheck::Area area(host, "vz/private/101", version);
        area.template_file("pkg/f", "template");
        area.marked("f", "pkg/f");
        json names = parsed(inspect({"--json", "pointer", "////pkg/f"}))["cow_names"];
        std::string claimed = names[scheme], lost = names[other];
        kxtest::write_file(area.cow + "/" + claimed, "changed");
        kxtest::write_file(area.cow + "/" + lost, "changed");

        kxtest::Run check = area.check({"--ccow"});
        EXPECT_TRUE(contains(check.err, "Lost 'cow' file '" + lost + "'")) << version;
        EXPECT_FALSE(contains(check.err, "'" + claimed + "'")) << version;

        json doc = parsed(inspect({"--json", "entry", "-t", area.tmpl, area.dir, "f"}));
        EXPECT_EQ(doc["cow_naming"], scheme);
        EXPECT_EQ(doc["entry"]["cow_name"], claimed);
        EXPECT_EQ(doc["entry"]["reads"], area.cow + "/" + claimed);
    }
}

// An area with one entry of every kind that can hold a path.
struct SampleArea {
    explicit SampleArea(const kxtest::Host &host, std::string_view rel = "vz/private/101") : area(host, rel) {
        area.template_file("pkg/bin/ls", "ls");
        area.template_file("pkg/bin/cat", "cat");
        area.template_file("pkg/etc/hosts", "hosts");
        area.template_file("pkg/etc/motd", "motd");
        area.template_file("pkg/usr/share/doc/README", "readme");
        ::chmod((area.tmpl + "/pkg/bin/ls").c_str(), 0777);
        kxtest::write_file(area.root + "/etc/passwd", "root:x:0:0::/root:/bin/sh\n");
        area.marked("etc/motd", "pkg/etc/motd");
        area.cow_file("pkg/etc/motd", "changed motd");
        area.link("etc/hosts", "pkg/etc/hosts");
        area.marked("etc/issue", "pkg/etc/issue");
        area.template_file("pkg/etc/issue", "issue");
        kxtest::make_shortcut_file(area.root + "/etc/shells", "pkg/bin/cat");
        kxtest::make_shortcut_file(area.root + "/etc/gone", "pkg/etc/gone");
        kxtest::make_magic_link(area.root + "/usr/share/doc", "pkg/usr/share/doc");
        kxtest::make_symlink("../etc", area.root + "/var");
        area.link("bin/ls", "pkg/bin/ls");
        kxcheck::index_dir(area.root + "/bin", area.tmpl);
    }
    kxcheck::Area area;
};

TEST(Inspect, EntryNamesTheFileTheContainerReads) {
    KX_REQUIRE_ROOT();
    kxtest::Host host;
    SampleArea sample(host);
    const kxcheck::Area &a = sample.area;
    ASSERT_FALSE(kxtest::exists(a.root + "/bin/ls")) << "the index took the link over";
    struct Case {
        std::string path, holder, reads;
        int status;
        std::string problem;
    } cases[] = {
        {"etc/passwd", "real", a.root + "/etc/passwd", 0, ""},
        {"/etc//./passwd", "real", a.root + "/etc/passwd", 0, ""},
        {"", "real", a.root, 0, ""},
        {"etc/motd", "magic_link", a.cow_path("pkg/etc/motd"), 0, ""},
        {"etc/hosts", "magic_link", a.tmpl + "/pkg/etc/hosts", 0, ""},
        {"etc/issue", "magic_link", "", 1, "broken cow mark"},
        {"etc/shells", "shortcut", a.tmpl + "/pkg/bin/cat", 0, ""},
        {"etc/gone", "shortcut", "", 1, "lost magic link"},
        {"bin/ls", "index_only", a.tmpl + "/pkg/bin/ls", 0, ""},
        {"bin/cat", "nothing", "", 0, ""},
        {"usr/share/doc/README", "template", a.tmpl + "/pkg/usr/share/doc/README", 0, ""},
        {"var/passwd", "symlink", "", 0, ""},
        {"etc/passwd/x", "nothing", "", 0, ""},
        {"bin/._kxlnk_.", "nothing", "", 0, ""},
    };
    for (const Case &c : cases) {
        kxtest::Run r = inspect({"--json", "entry", "-t", a.tmpl, a.dir, c.path});
        EXPECT_EQ(r.status, c.status) << c.path << r.err;
        json doc = parsed(r);
        const json &e = doc["entry"];
        EXPECT_EQ(e["holder"], c.holder) << c.path;
        if (c.reads.empty()) {
            EXPECT_TRUE(!e.contains("reads") || e["reads"].is_null()) << c.path;
        } else {
            EXPECT_EQ(e["reads"], c.reads) << c.path;
        }
        if (!c.problem.empty()) {
            EXPECT_EQ(e["problem"], c.problem) << c.path;
        }
    }
    json doc = parsed(inspect({"--json", "entry", "-t", a.tmpl, a.dir, "bin/ls"}));
    EXPECT_EQ(doc["entry"]["record"]["name"], "ls");
    EXPECT_EQ(doc["entry"]["record"]["key"], "template");
    EXPECT_EQ(doc["read_only_view"], true);
    // The text form says the same for a person.
    kxtest::Run r = inspect({"entry", "-t", a.tmpl, a.dir, "etc/motd"});
    EXPECT_TRUE(contains(r.out, "reads             " + a.cow_path("pkg/etc/motd") + "\n"));

    // An index larger than any is broken, and never read.
    ASSERT_EQ(truncate((a.root + "/bin/" DIRINDEX_NAME).c_str(), off_t(16) << 30), 0);
    r = inspect({"--json", "entry", "-t", a.tmpl, a.dir, "bin/ls"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(parsed(r)["entry"]["problem"], "broken dirindex");
    r = inspect({"--json", "area", "-t", a.tmpl, a.dir});
    EXPECT_EQ(parsed(r)["problem_counts"]["broken_dirindex"], 1) << r.out;
}

// A dirindex record whose target climbs out of the template directory is
// outside it, as a magic link or shortcut of that text is: the entry reads
// nothing, the index has a lost record, and the host's object is never
// looked at.
TEST(Inspect, IndexRecordOutsideTheTemplate) {
    kxtest::Host host;
    kxcheck::Area area(host, "vz/private/101", "005.004");
    kxtest::write_file(host.path("host/secret"), "host's");
    area.template_file("pkg/a", "a");
    kxtest::make_dirs(area.root + "/idx", 04755);
    const std::string index = area.root + "/idx/" DIRINDEX_NAME;
    kxtest::write_file(index, dirtest::build_index({{"a", 8, 3, "////pkg"},
                                                    {"secret", 8, 5, "////../../host"}}));

    kxtest::Run r = inspect({"--json", "entry", "-t", area.tmpl, area.dir, "idx/secret"});
    EXPECT_EQ(r.status, 1) << r.err;
    json e = parsed(r)["entry"];
    EXPECT_EQ(e["holder"], "index_only");
    EXPECT_EQ(e["problem"], "outside the template directory");
    EXPECT_TRUE(e["reads"].is_null());
    EXPECT_TRUE(e["template_type"].is_null());

    r = inspect({"--json", "dirindex", "-t", area.tmpl, index});
    EXPECT_EQ(r.status, 1) << r.err;
    json doc = parsed(r);
    EXPECT_EQ(doc["check"]["result"], "lost_links");
    for (const json &rec : doc["records"]) {
        if (rec["name"] == "secret") {
            EXPECT_TRUE(rec["template_type"].is_null());
        }
    }
}

// A hostile area may point its top directories elsewhere: nothing is read
// through such a link. An area of layout 4 is read below "fs".
TEST(Inspect, EntryReachesTheAreaOnlyThroughItsOwnDirectories) {
    kxtest::Host host;
    kxcheck::Area area(host, "vz/private/101");
    kxtest::make_dirs(host.path("elsewhere/etc"));
    kxtest::write_file(host.path("elsewhere/etc/passwd"), "host's");
    ASSERT_EQ(rename(area.root.c_str(), (area.dir + "/old-root").c_str()), 0);
    kxtest::make_symlink(host.path("elsewhere"), area.root);
    kxtest::Run r = inspect({"--json", "entry", "-t", area.tmpl, area.dir, "etc/passwd"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "Error: kxfsinspect: '" + area.root + "' is not a directory (symlink)\n"));
    EXPECT_FALSE(contains(r.out, "elsewhere"));

    kxcheck::Area fs(host, "vz/private/102/fs");
    kxtest::write_file(fs.root + "/etc/passwd", "x");
    json doc = parsed(inspect({"--json", "entry", "-t", fs.tmpl, host.path("vz/private/102"), "etc/passwd"}));
    EXPECT_EQ(doc["layout"], 4);
    EXPECT_EQ(doc["entry"]["reads"], fs.root + "/etc/passwd");
}

// ---- nothing changes ---------------------------------------------------------

struct Node {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    nlink_t nlink;
    off_t size;
    struct timespec atime, mtime, ctime;
    bool operator==(const Node &o) const {
        auto same = [](const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
        return mode == o.mode && uid == o.uid && gid == o.gid && nlink == o.nlink && size == o.size &&
               same(atime, o.atime) && same(mtime, o.mtime) && same(ctime, o.ctime);
    }
};

// Every entry's inode fields, listed without touching an access time
// (O_NOATIME on the directories read).
void stat_tree(int dirfd, const std::string &rel, std::map<std::string, Node> &out) {
    DIR *d = fdopendir(dirfd);
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        ASSERT_EQ(fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
        out[rel + name] = Node{st.st_mode, st.st_uid, st.st_gid, st.st_nlink, st.st_size, st.st_atim, st.st_mtim, st.st_ctim};
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOATIME);
            ASSERT_GE(sub, 0);
            stat_tree(sub, rel + name + "/", out);
        }
    }
    closedir(d);
}

std::map<std::string, Node> stat_tree(const std::string &root) {
    std::map<std::string, Node> out;
    stat_tree(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOATIME), "", out);
    return out;
}

// A tmpfs with strictatime at dir, so that every read would show in an
// access time; removed with the object.
struct StrictMount {
    explicit StrictMount(const std::string &d) : dir(d) {
        kxtest::make_dirs(dir);
        mounted = mount("kxtest", dir.c_str(), "tmpfs", MS_STRICTATIME, "size=64m") == 0;
    }
    ~StrictMount() {
        if (mounted)
            umount2(dir.c_str(), MNT_DETACH);
    }
    std::string dir;
    bool mounted;
};

TEST(Inspect, NoSubcommandChangesTheArea) {
    KX_REQUIRE_ROOT();
    kxtest::Host host;
    StrictMount strict(host.path("vz"));
    SampleArea sample(host);
    const kxcheck::Area &a = sample.area;
    if (strict.mounted) {
        // The mount really records reads: a plain read moves an access time.
        std::string probe = host.path("vz/probe");
        kxtest::write_file(probe, "x");
        struct timespec before = kxtest::lstat_of(probe).st_atim;
        kxtest::read_file(probe);
        struct timespec after = kxtest::lstat_of(probe).st_atim;
        ASSERT_TRUE(before.tv_sec != after.tv_sec || before.tv_nsec != after.tv_nsec);
        std::printf("access times are checked on a strictatime tmpfs\n");
    } else {
        std::printf("no strictatime mount could be had: access times are compared as they are\n");
    }
    const std::vector<std::vector<std::string>> runs = {
        {"dirindex", "-t", a.tmpl, a.root + "/bin/._kxlnk_."},
        {"--json", "dirindex", a.root + "/bin/._kxlnk_."},
        {"pointer", "-t", a.tmpl, "////pkg/etc/motd"},
        {"entry", "-t", a.tmpl, a.dir, "etc/motd"},
        {"--json", "entry", "-t", a.tmpl, a.dir, "etc/issue"},
        {"entry", "-t", a.tmpl, a.dir, "etc/shells"},
        {"entry", "-t", a.tmpl, a.dir, "bin/ls"},
        {"entry", "-t", a.tmpl, a.dir, "usr/share/doc/README"},
        {"entry", "-t", a.tmpl, a.dir, "var/x"},
        {"area", "-t", a.tmpl, a.dir},
        {"--json", "area", "-v", "-t", a.tmpl, a.dir},
    };
    // Contents are taken first: reading a link's text moves its access time.
    std::map<std::string, kxtest::Entry> contents = kxtest::snapshot(a.dir);
    std::map<std::string, Node> nodes = stat_tree(a.dir);
    ASSERT_GT(nodes.size(), 10u);
    for (const auto &args : runs) {
        kxtest::Run r = inspect(args);
        ASSERT_LE(r.status, 1) << testing::PrintToString(args) << r.err;
        std::map<std::string, Node> now = stat_tree(a.dir);
        for (const auto &[path, node] : nodes)
            EXPECT_TRUE(now.count(path) && now[path] == node) << path << " after " << testing::PrintToString(args);
        EXPECT_EQ(now.size(), nodes.size());
    }
    std::map<std::string, kxtest::Entry> after = kxtest::snapshot(a.dir);
    ASSERT_EQ(after.size(), contents.size());
    for (const auto &[path, entry] : contents)
        EXPECT_EQ(after[path].data, entry.data) << path;
}

}  // namespace
