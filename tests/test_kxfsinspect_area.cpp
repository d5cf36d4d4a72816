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

json parsed(const std::string &out) {
    json doc = json::parse(out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "not JSON:\n" << out;
    return doc.is_discarded() ? json::object() : doc;
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

// The tree's objects counted here by lstat and content, under the
// document's key paths.
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
        if (S_ISDIR(st.st_mode))
            count_tree(path, n);
        else if (S_ISLNK(st.st_mode))
            n[kxtest::read_link(path).rfind("////", 0) != 0 ? "/symlinks"
              : marker                                      ? "/directories/linked"
              : st.st_mode & S_ISVTX                        ? "/magic_links/marked"
                                                            : "/magic_links/unmarked"]++;
        else if (S_ISREG(st.st_mode))
            n[(st.st_mode & S_ISVTX) && kxtest::read_file(path).rfind("////", 0) == 0 ? "/shortcuts"
              : marker && magic_dir                                                  ? "/directories/indexed"
                                                                                     : "/files"]++;
        else
            n["/other"]++;
    }
    closedir(d);
}

// The key of a line the checker prints for a finding, or "".
std::string finding_key(const std::string &line) {
    static const std::pair<const char *, const char *> kinds[] = {
        {"Lost 'cow' file '", "lost_cow"},
        {"Broken 'cow' mark in '", "broken_mark"},
        {"Lost 'magic' link '", "lost_link"},
        {"Broken 'dirindex' file '", "dirindex"},
        {"Optimization: non-changed 'cow' '", "unchanged_cow"},
        {"Optimization: 'cow' '", "changed_cow"},
    };
    for (const auto &[start, key] : kinds)
        if (line.rfind(start, 0) == 0)
            return key;
    return "";
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
        kxtest::write_file(a.root + "/home/sticky", "not a pointer", 01644);
        kxtest::make_symlink("sticky", a.root + "/home/link");
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
        EXPECT_EQ(doc["cow_files"], json({{"total", 5}, {"claimed", 3}, {"lost", 2}}));

        // Each kind the checker reports, as often, with its own texts.
        kxtest::Run check = a.check({"--call", "--oall"});
        EXPECT_EQ(check.status, 0) << check.err;
        std::map<std::string, uint64_t> said;
        std::multiset<std::string> lines, texts;
        std::istringstream in(check.err + check.out);
        for (std::string line; std::getline(in, line);)
            if (std::string key = finding_key(line); !key.empty())
                said[key]++, lines.insert(line);
        for (const json &f : doc["findings"])
            texts.insert(bytes_of(f["text"]));
        EXPECT_EQ(texts, lines);
        json counts = doc["problem_counts"];
        counts.update(doc["optimization_counts"]);
        counts["dirindex"] = counts["broken_dirindex"].get<int>() + counts["repairable_dirindex"].get<int>();
        EXPECT_EQ(said.size(), 6u);
        for (const auto &[key, n] : said)
            EXPECT_EQ(counts[key], n) << key;
        EXPECT_EQ(counts["broken_dirindex"], 1);

        std::map<std::string, uint64_t> tree;
        count_tree(a.root, tree);
        EXPECT_EQ(tree.size(), 9u) << "every kind of object is in the tree";
        for (const auto &[key, n] : tree)
            EXPECT_EQ(doc[json::json_pointer(key)], n) << key;
        EXPECT_EQ(doc["/directories/plain"_json_pointer],
                  tree["/directories/total"] - tree["/directories/indexed"] - tree["/directories/linked"]);

        kxtest::Run text = inspect({"area", "-v", "-t", a.tmpl, host.path(c.area)});
        EXPECT_EQ(text.status, 1);
        EXPECT_TRUE(kxcheck::contains(text.out, "cow files         5 (claimed 3, lost 2)\nlost_files        2 entries\n"));
        EXPECT_TRUE(kxcheck::contains(text.out, "\n  Lost 'magic' link 'usr/gone\\xe9'\n"));
    }
}

TEST(InspectArea, StatusesAndAScanThatStops) {
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
        {{"area", a.dir}, 2},
        {{"entry", "-v", "-t", a.tmpl, a.dir, "f"}, 2},
        {{"area", "-t", a.tmpl, host.path("vz/private/none")}, 3},
    };
    for (const Case &c : cases)
        EXPECT_EQ(inspect(c.args).status, c.status) << testing::PrintToString(c.args);
    json doc = parsed(inspect({"--json", "area", "-t", a.tmpl, a.dir}).out);
    EXPECT_EQ(doc["cow_naming"], "legacy");
    EXPECT_EQ(doc["problems"], false);
    EXPECT_TRUE(doc["lost_files"].is_null());
    EXPECT_FALSE(doc.contains("findings"));

    kxtest::make_dirs(a.root + "/locked", 0);
    ASSERT_EQ(chmod(host.root().c_str(), 0755), 0);
    kxtest::Run r = kxtest::run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 kxtest::tool("kxfsinspect"), "--json", "area", "-t", a.tmpl, a.dir});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(parsed(r.out)["error"], "the scan stopped: Kxfsutil: opendir '" + a.root + "/locked': Permission denied");
}

// A lost_files tree deeper than a path can name.
void deep_lost_files(plants::Scene &s) {
    int fd = open(s.area.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 40 && fd >= 0; ++i) {
        std::string name = i == 0 ? "lost_files" : std::string(200, 'd');
        mkdirat(fd, name.c_str(), 0755);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(symlinkat("x", fd, "old"), 0);
    close(fd);
}

TEST(InspectArea, HostileAreasGiveAClearReport) {
    KX_REQUIRE_ROOT();
    using plants::Scene;
    auto to_link = [](const std::string &p, const std::string &t) { plants::remove_entry(p); kxtest::make_symlink(t, p); };
    auto to_fifo = [](const std::string &p) { plants::remove_entry(p); plants::make_fifo(p); };
    struct Case {
        const char *name;
        int layout;
        std::function<void(Scene &)> plant;
        int status;
    } cases[] = {
        {"sound", 3, [](Scene &) {}, 1},
        {"root_link", 3, [&](Scene &s) { to_link(s.root, s.in_canary("dir")); }, 3},
        {"cow_device", 3, [&](Scene &s) { plants::remove_entry(s.cow); plants::make_null_device(s.cow); }, 3},
        {"fs_link", 4, [&](Scene &s) { s.build_other_area(); to_link(s.tree, s.in_canary("other")); }, 3},
        {"lost_files_link", 3, [&](Scene &s) { to_link(s.in_area("lost_files"), s.in_canary("dir")); }, 1},
        {"lost_files_deep", 3, deep_lost_files, 1},
        {"version_fifo", 3, [&](Scene &s) { to_fifo(s.in_tree("VERSION")); }, 1},
        {"cow_fifo", 3, [&](Scene &s) { to_fifo(s.cow); }, 3},
        {"marker_fifo", 3, [](Scene &s) { s.replace_markers([](const std::string &p) { plants::make_fifo(p); }); }, 1},
        {"cowfile_link", 3, [&](Scene &s) { to_link(s.cow_of("bin/b"), s.in_canary("file")); }, 1},
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
        EXPECT_TRUE(c.status == 3 ? doc["error"].is_string() : doc["problem_counts"].is_object()) << v.run.out;
        if (std::string(c.name) == "lost_files_deep") {
            EXPECT_EQ(doc["lost_files"]["entries"], 1);
        }
        for (const std::string &d : plants::differences("area", before, plants::shoot(s.area)))
            ADD_FAILURE() << d;
    }
}

}  // namespace

// Work an interrupted run left: an upgrade at 999.999, the work directory
// of kxfsdirindex, a state file of kxfsclone for this area's container.
// The inspector reports each with its command (status 1, in JSON too), the
// checker warns of each and keeps its status; a state file of another
// container's area is not this area's.
TEST(InspectArea, UnfinishedWorkIsReportedWithItsCommand) {
    struct Case {
        const char *what;
        std::string version;
        std::function<void(const kxtest::Host &, const kxcheck::Area &)> leave;
        std::string work;     // "" when nothing is unfinished
        std::string command;  // with TEMPLATE and AREA for the paths
    } cases[] = {
        {"nothing", "005.004", [](const kxtest::Host &, const kxcheck::Area &) {}, "", ""},
        {"upgrade", "999.999", [](const kxtest::Host &, const kxcheck::Area &) {}, "upgrade",
         "kxfsutil --upgrade -t TEMPLATE AREA"},
        {"upgrade of a container", "999.999",
         [](const kxtest::Host &host, const kxcheck::Area &) {
             host.write_conf(7, "VE_PRIVATE=\"" + host.path("vz/private/other") + "\"\n");
             host.write_conf(101, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\n");
         },
         "upgrade", "kxfsutil --upgrade --ctid=101 -t TEMPLATE AREA"},
        {"dirindex", "005.004",
         [](const kxtest::Host &, const kxcheck::Area &a) {
             kxtest::make_dirs(a.dir + "/.kxfsdirindex.tmp");
             kxtest::write_file(a.dir + "/.kxfsdirindex.tmp/bin-Ab12Cd", "////t/bin");
         },
         "dirindex", "kxfsdirindex -t TEMPLATE AREA"},
        {"clone", "005.004",
         [](const kxtest::Host &host, const kxcheck::Area &) {
             host.write_conf(101, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\n");
             kxtest::write_file(host.path("etc/sysconfig/kx-scripts/101.kxfsclone"), "clone 100 - - 1 0\n");
         },
         "clone", "kxfsclone 100 101"},
        {"correction in place", "005.004",
         [](const kxtest::Host &host, const kxcheck::Area &) {
             host.write_conf(101, "VE_PRIVATE=\"" + host.path("vz/private/101") + "\"\n");
             kxtest::write_file(host.path("etc/sysconfig/kx-scripts/101.kxfsclone"),
                                "correct 101 a b 0 0\nT x\n");
         },
         "clone", "kxfsclone -c 101"},
        {"another container's clone", "005.004",
         [](const kxtest::Host &host, const kxcheck::Area &) {
             host.write_conf(102, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\n");
             kxtest::write_file(host.path("etc/sysconfig/kx-scripts/102.kxfsclone"), "clone 101 - - 1 0\n");
         },
         "", ""},
    };
    for (const Case &c : cases) {
        kxtest::Host host;
        kxcheck::Area a(host, "vz/private/101", c.version);
        c.leave(host, a);
        std::string command = c.command;
        for (auto [word, value] : {std::pair<std::string, std::string>{"TEMPLATE", a.tmpl}, {"AREA", a.dir}})
            if (size_t at = command.find(word); at != std::string::npos)
                command.replace(at, word.size(), value);

        kxtest::Run r = inspect({"--json", "area", "-t", a.tmpl, a.dir});
        json doc = parsed(r.out);
        ASSERT_TRUE(doc.contains("unfinished")) << c.what << "\n" << r.out;
        EXPECT_EQ(r.status, c.work.empty() ? 0 : 1) << c.what << "\n" << r.err;
        EXPECT_EQ(doc["problems"], !c.work.empty()) << c.what;
        if (c.work.empty()) {
            EXPECT_TRUE(doc["unfinished"].empty()) << c.what << "\n" << doc["unfinished"].dump();
        } else {
            ASSERT_EQ(doc["unfinished"].size(), 1u) << c.what << "\n" << doc["unfinished"].dump();
            EXPECT_EQ(doc["unfinished"][0]["work"], c.work) << c.what;
            EXPECT_EQ(bytes_of(doc["unfinished"][0]["command"]), command) << c.what;
        }
        kxtest::Run text = inspect({"area", "-t", a.tmpl, a.dir});
        EXPECT_EQ(text.status, r.status) << c.what;
        EXPECT_TRUE(kxcheck::contains(text.out, c.work.empty() ? "unfinished work   none\n"
                                                                : "  finish with            " + command + "\n"))
            << c.what;

        kxtest::Run check = a.check({"--call"});
        EXPECT_EQ(check.status, 0) << c.what << "\n" << check.err;
        if (c.work.empty()) {
            EXPECT_EQ(check.out.find("unfinished"), std::string::npos) << c.what << "\n" << check.out;
        } else {
            EXPECT_TRUE(kxcheck::contains(check.out, "Warning: unfinished ")) << c.what;
            EXPECT_TRUE(kxcheck::contains(check.out, "; to finish it, run: " + command + "\n")) << c.what;
        }
    }
}
