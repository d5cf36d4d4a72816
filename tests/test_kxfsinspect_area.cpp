// kxfsinspect area: its counts against what the checker reports on the
// same area and against a count of the tree made here, and hostile areas
// that must end in a clear report, never a crash, a hang or a change.
#include "kxfsutil_area.h"
#include "kxtest.h"
#include "plants.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

kxtest::Run inspect(std::vector<std::string> args) {
    args.insert(args.begin(), kxtest::tool("kxfsinspect"));
    return kxtest::run(args);
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

json parsed(const std::string &out) {
    try {
        return json::parse(out);
    } catch (const json::exception &e) {
        ADD_FAILURE() << "not JSON (" << e.what() << "):\n" << out;
        return json::object();
    }
}

// The tree's objects counted here, by lstat and content, in the document's
// own key paths.
void count_tree(const std::string &dir, std::map<std::string, uint64_t> &n) {
    n["/directories/total"]++;
    bool magic_dir = kxtest::lstat_of(dir).st_mode & S_ISUID;
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name, path = dir + "/" + name;
        if (name == "." || name == "..")
            continue;
        struct stat st = kxtest::lstat_of(path);
        bool marker = name == DIRINDEX_NAME;
        if (S_ISDIR(st.st_mode)) {
            count_tree(path, n);
        } else if (S_ISLNK(st.st_mode)) {
            bool magic = kxtest::read_link(path).rfind("////", 0) == 0;
            n[!magic ? "/symlinks" : marker ? "/directories/linked"
              : st.st_mode & S_ISVTX ? "/magic_links/marked" : "/magic_links/unmarked"]++;
        } else if (S_ISREG(st.st_mode)) {
            bool shortcut = (st.st_mode & S_ISVTX) && kxtest::read_file(path).rfind("////", 0) == 0;
            n[shortcut ? "/shortcuts" : marker && magic_dir ? "/directories/indexed" : "/files"]++;
        } else {
            n["/other"]++;
        }
    }
    closedir(d);
}

// The checker's report-only lines of each kind, by the start of its text.
std::map<std::string, uint64_t> checker_counts(const std::string &said) {
    static const std::pair<const char *, const char *> kinds[] = {
        {"Lost 'cow' file '", "/problem_counts/lost_cow"},
        {"Broken 'cow' mark in '", "/problem_counts/broken_mark"},
        {"Lost 'magic' link '", "/problem_counts/lost_link"},
        {"Broken 'dirindex' file '", "/dirindex"},
        {"Optimization: non-changed 'cow' '", "/optimization_counts/unchanged_cow"},
        {"Optimization: 'cow' '", "/optimization_counts/changed_cow"},
    };
    std::map<std::string, uint64_t> n;
    std::istringstream in(said);
    for (std::string line; std::getline(in, line);)
        for (const auto &[start, key] : kinds)
            if (line.rfind(start, 0) == 0)
                n[key]++;
    return n;
}

TEST(InspectArea, CountsAgreeWithTheCheckerAndTheTree) {
    KX_REQUIRE_ROOT();
    struct Case {
        const char *tree, *area;
        int layout;
    } cases[] = {{"vz/private/101", "vz/private/101", 3}, {"vz/private/102/fs", "vz/private/102", 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.area);
        kxtest::Host host;
        kxcheck::Area a(host, c.tree, "005.004");
        for (const char *f : {"mark", "eq", "ch", "ch2", "ok", "idx/a", "idx/b", "linked/x"})
            a.template_file(std::string("pkg/") + f, f);
        a.marked("etc/bm", "pkg/mark");
        a.marked("etc/eq", "pkg/eq");
        a.cow_file("pkg/eq", "eq");
        a.marked("etc/ch", "pkg/ch");
        a.cow_file("pkg/ch", "changed");
        a.marked("usr/ch2", "pkg/ch2");
        a.cow_file("pkg/ch2", "changed too");
        a.link("etc/ok", "pkg/ok");
        a.link("etc/gone", "pkg/none");
        a.link("usr/gone\xe9", "pkg/none2");
        kxtest::make_shortcut_file(a.root + "/etc/sc", "pkg/ok");
        kxtest::make_shortcut_file(a.root + "/etc/sc_gone", "pkg/none");
        kxtest::write_file(a.cow + "/orphan", "x");
        kxtest::write_file(a.cow + "/orphan2", "y");
        kxtest::make_dirs(a.root + "/bad", 04755);
        kxtest::write_file(a.root + "/bad/" DIRINDEX_NAME, "garbage");
        for (const char *f : {"a", "b"})
            ASSERT_EQ(kxlchmod(a.link(std::string("idx/") + f, std::string("pkg/idx/") + f).c_str(), 0644), 0);
        kxcheck::index_dir(a.root + "/idx", a.tmpl);
        ASSERT_EQ(unlink((a.tmpl + "/pkg/idx/b").c_str()), 0);
        kxtest::make_dirs(a.root + "/linked", 04755);
        kxtest::make_magic_link(a.root + "/linked/" DIRINDEX_NAME, "pkg/linked");
        kxtest::write_file(a.root + "/home/notes", "notes");
        kxtest::write_file(a.root + "/home/sticky", "not a pointer", 01644);
        kxtest::make_symlink("notes", a.root + "/home/link");
        ASSERT_EQ(mkfifo((a.root + "/home/fifo").c_str(), 0600), 0);
        kxtest::write_file(host.path(c.area) + "/lost_files/root/etc/old", "old");
        kxtest::write_file(host.path(c.area) + "/lost_files/cow/old", "old");

        kxtest::Run r = inspect({"--json", "area", "-v", "-t", a.tmpl, host.path(c.area)});
        EXPECT_EQ(r.status, 1) << r.err;
        json doc = parsed(r.out);
        EXPECT_EQ(doc["layout"], c.layout);
        EXPECT_EQ(doc["version"], "005.004");
        EXPECT_EQ(doc["cow_naming"], "md5");
        EXPECT_EQ(doc["lost_files"]["entries"], 2);

        // Every kind is there, and the checker reports each as often.
        kxtest::Run check = a.check({"--call", "--oall"});
        EXPECT_EQ(check.status, 0) << check.err;
        std::map<std::string, uint64_t> said = checker_counts(check.err + check.out);
        said["/problem_counts/broken_dirindex"] = 1;
        said["/problem_counts/repairable_dirindex"] = said["/dirindex"] - 1;
        said.erase("/dirindex");
        EXPECT_EQ(said.size(), 7u);
        for (const auto &[key, n] : said) {
            EXPECT_GT(n, 0u) << key;
            EXPECT_EQ(doc[json::json_pointer(key)], n) << key;
        }
        EXPECT_EQ(doc["/problem_counts/lost_cow"_json_pointer], 2);
        EXPECT_EQ(doc["/cow_files/total"_json_pointer], 5);
        EXPECT_EQ(doc["/cow_files/claimed"_json_pointer], 3);

        // The verbose findings are the checker's own lines.
        std::multiset<std::string> texts, lines;
        for (const json &f : doc["findings"])
            texts.insert(bytes_of(f["text"]));
        std::istringstream in(check.err + check.out);
        for (std::string line; std::getline(in, line);)
            if (!checker_counts(line).empty())
                lines.insert(line);
        EXPECT_EQ(texts, lines);

        std::map<std::string, uint64_t> tree;
        count_tree(a.root, tree);
        for (const auto &[key, n] : tree)
            EXPECT_EQ(doc[json::json_pointer(key)], n) << key;
        EXPECT_EQ(doc["/directories/plain"_json_pointer],
                  tree["/directories/total"] - tree["/directories/indexed"] - tree["/directories/linked"]);
        EXPECT_EQ(tree.size(), 9u) << "every kind of object is in the tree";

        // The text form says the same for a person.
        kxtest::Run text = inspect({"area", "-v", "-t", a.tmpl, host.path(c.area)});
        EXPECT_EQ(text.status, 1);
        EXPECT_TRUE(kxcheck::contains(text.out, "cow files         5 (claimed 3, lost 2)\n"));
        EXPECT_TRUE(kxcheck::contains(text.out, "  Lost 'cow' file 'orphan'\n"));
    }
}

TEST(InspectArea, SoundAreaAndCommandLine) {
    KX_REQUIRE_ROOT();
    kxtest::Host host;
    kxcheck::Area a(host, "vz/private/101", "005.002");
    a.template_file("pkg/f", "f");
    a.link("f", "pkg/f");
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"area", "-t", a.tmpl, a.dir}, 0},
        {{"--json", "area", "-t", a.tmpl, a.dir}, 0},
        {{"area", a.dir}, 2},
        {{"area", "-t", a.tmpl}, 2},
        {{"entry", "-v", "-t", a.tmpl, a.dir, "f"}, 2},
        {{"area", "-t", a.tmpl, host.path("vz/private/none")}, 3},
    };
    for (const Case &c : cases) {
        kxtest::Run r = inspect(c.args);
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args) << r.err;
    }
    json doc = parsed(inspect({"--json", "area", "-t", a.tmpl, a.dir}).out);
    EXPECT_EQ(doc["cow_naming"], "legacy");
    EXPECT_EQ(doc["problems"], false);
    EXPECT_TRUE(doc["lost_files"].is_null());
    EXPECT_FALSE(doc.contains("findings"));

    // A directory the scan cannot read stops it: the checker's reason.
    kxtest::make_dirs(a.root + "/locked", 0);
    ASSERT_EQ(chmod(host.root().c_str(), 0755), 0);
    kxtest::Run r = kxtest::run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 kxtest::tool("kxfsinspect"), "--json", "area", "-t", a.tmpl, a.dir});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(parsed(r.out)["error"], "the scan stopped: Kxfsutil: opendir '" + a.root + "/locked': Permission denied");
}

// ---- hostile areas --------------------------------------------------------------

using plants::Scene;

void deep_chain(Scene &s) {
    std::string rel = s.root;
    int fd = open(rel.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 40 && fd >= 0; ++i) {
        std::string name(200, 'd');
        mkdirat(fd, name.c_str(), 0755);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    symlinkat("////distro/none", fd, "lost");
    close(fd);
}

TEST(InspectArea, HostileAreasGiveAClearReport) {
    KX_REQUIRE_ROOT();
    auto to_link = [](const std::string &p, const std::string &t) { plants::remove_entry(p); kxtest::make_symlink(t, p); };
    auto to_fifo = [](const std::string &p) { plants::remove_entry(p); plants::make_fifo(p); };
    struct Case {
        const char *name;
        int layout;
        std::function<void(Scene &)> plant;
        int status;
    } cases[] = {
        {"sound", 3, [](Scene &) {}, 1},
        {"root_link_dir", 3, [&](Scene &s) { to_link(s.root, s.in_canary("dir")); }, 3},
        {"root_magic", 3, [&](Scene &s) { to_link(s.root, "////" + std::string(plants::kPkg) + "/bin/a"); }, 3},
        {"root_fifo", 3, [&](Scene &s) { to_fifo(s.root); }, 3},
        {"cow_link_dir", 3, [&](Scene &s) { to_link(s.cow, s.in_canary("cowdir")); }, 3},
        {"cow_device", 3, [&](Scene &s) { plants::remove_entry(s.cow); plants::make_null_device(s.cow); }, 3},
        {"fs_link_area", 4, [&](Scene &s) { s.build_other_area(); to_link(s.tree, s.in_canary("other")); }, 3},
        {"fs_fifo", 4, [&](Scene &s) { to_fifo(s.tree); }, 3},
        {"lost_files_link", 3, [&](Scene &s) { to_link(s.in_area("lost_files"), s.in_canary("dir")); }, 1},
        {"lost_files_fifo", 3, [&](Scene &s) { to_fifo(s.in_area("lost_files")); }, 1},
        {"lost_files_root_link", 3, [&](Scene &s) {
             kxtest::make_dirs(s.in_area("lost_files/root"));
             to_link(s.in_area("lost_files/root/etc"), s.in_canary("dir"));
         }, 1},
        {"version_fifo", 3, [&](Scene &s) { to_fifo(s.in_tree("VERSION")); }, 1},
        {"version_link_host", 3, [&](Scene &s) { to_link(s.in_tree("VERSION"), s.in_canary("file")); }, 1},
        {"marker_fifo", 3, [](Scene &s) { s.replace_markers([](const std::string &p) { plants::make_fifo(p); }); }, 1},
        {"marker_device", 3, [](Scene &s) { s.replace_markers([](const std::string &p) { plants::make_null_device(p); }); }, 1},
        {"marker_host_link", 3, [](Scene &s) {
             std::string t = s.in_canary("file");
             s.replace_markers([&](const std::string &p) { kxtest::make_symlink(t, p); });
         }, 1},
        {"cowfile_fifo", 3, [](Scene &s) { plants::remove_entry(s.cow_of("bin/b")); plants::make_fifo(s.cow_of("bin/b")); }, 1},
        {"cowfile_link", 3, [&](Scene &s) { to_link(s.cow_of("bin/b"), s.in_canary("file")); }, 1},
        {"deep_tree", 3, deep_chain, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scene s(plants::Report, c.layout);
        c.plant(s);
        plants::settle(s.area);
        plants::Shot before = plants::shoot(s.area);
        plants::Verdict v = plants::verify(
            s, {{kxtest::tool("kxfsinspect"), "--json", "area", "-v", "-t", s.tmpl, s.area}, ""});
        EXPECT_TRUE(v.problems.empty()) << v.report();
        EXPECT_EQ(v.run.status, c.status) << v.report();
        json doc = parsed(v.run.out);
        if (c.status == 3) {
            EXPECT_TRUE(doc["error"].is_string()) << v.run.out;
            EXPECT_TRUE(kxcheck::contains(v.run.err, "Error: kxfsinspect: "));
        } else {
            EXPECT_TRUE(doc["problem_counts"].is_object()) << v.run.out;
        }
        for (const std::string &d : plants::differences("area", before, plants::shoot(s.area)))
            ADD_FAILURE() << d;
    }
}

}  // namespace
