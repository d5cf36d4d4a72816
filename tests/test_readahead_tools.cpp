// The tools with their read-ahead threads and without (--no-readahead):
// each run on a freshly built host, the two hosts compared afterwards.
// Standard output, standard error, exit status and every entry of the host
// tree (type, content or link text, decoded dirindex records, owner, mode,
// times, attributes, inode flags, which names share an inode) must agree.
// Each run is traced for the threads it starts, so a row whose stage never
// ran fails instead of comparing two runs without it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "crash_sweep.h"
#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"
#include "tree_compare.h"

using kxtest::Host;

namespace {

constexpr const char *kArea = "vz/private/101";
constexpr const char *kStrace = "/usr/bin/strace";

// An area of every kind of entry, wide and deep enough for the stage to
// run ahead of the walk: magic links (marked with changed, unchanged and
// missing cow files), shortcuts, plain files and links, a link with two
// names, a lost cow file, lost pointers, a fifo, a link out of the area;
// indexed directories beside them on a 005.004 area.
kxcheck::Area build_mixed(const Host &host, const std::string &version) {
    kxcheck::Area a(host, kArea, version);
    for (int d = 0; d < 12; ++d) {
        std::string dir = "d" + std::to_string(d) + (d % 3 ? "/sub" + std::to_string(d) : "");
        for (int j = 0; j < 45; ++j) {
            std::string rel = dir + "/e" + std::to_string(j);
            std::string target = "pkg/" + rel;
            a.template_file(target, "template " + rel);
            switch (j % 6) {
            case 0:
                a.link(rel, target);
                break;
            case 1:
                a.marked(rel, target);
                a.cow_file(target, "changed " + rel);
                break;
            case 2:
                a.marked(rel, target);
                a.cow_file(target, "template " + rel);
                break;
            case 3:
                kxtest::make_shortcut_file(a.root + "/" + rel, target);
                break;
            case 4:
                kxtest::write_file(a.root + "/" + rel, "own " + rel);
                break;
            default:
                kxtest::make_symlink("e0", a.root + "/" + rel);
            }
        }
    }
    a.template_file("pkg/two", "template two");
    link(a.marked("d0/two", "pkg/two").c_str(), (a.root + "/d1/two").c_str());
    a.cow_file("pkg/two", "changed two");
    a.marked("d2/no_cow", "pkg/d2/e0");
    a.link("d2/lost", "pkg/none");
    kxtest::make_shortcut_file(a.root + "/d2/lost_sc", "pkg/none");
    kxtest::write_file(a.cow + "/" + kxcheck::md5_hex("////pkg/gone"), "lost cow");
    mkfifo((a.root + "/d3/fifo").c_str(), 0600);
    kxtest::make_symlink(host.root(), a.root + "/d3/out");
    if (version != "005.003") {
        for (const char *f : {"a", "b", "c"}) {
            a.template_file(std::string("pkg/idx/") + f, f);
            a.link(std::string("idx/") + f, std::string("pkg/idx/") + f);
            a.link(std::string("d3/sub3/idx/") + f, std::string("pkg/idx/") + f);
        }
        kxtest::write_file(a.root + "/idx/own", "own");
        kxcheck::index_dir(a.root + "/idx", a.tmpl);
        kxcheck::index_dir(a.root + "/d3/sub3/idx", a.tmpl);
        unlink((a.tmpl + "/pkg/idx/b").c_str());  // a record whose object is gone
        kxtest::make_dirs(a.root + "/bad", 04755);
        kxtest::write_file(a.root + "/bad/" DIRINDEX_NAME, "not an index");
    }
    kxsweep::settle_times(host.root());
    return a;
}

std::vector<std::string> check_row(const Host &host, const std::string &version,
                                   const std::vector<std::string> &options) {
    kxcheck::Area a = build_mixed(host, version);
    std::vector<std::string> argv{kxtest::tool("kxfsutil")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-t", a.tmpl, a.dir});
    return argv;
}

std::vector<std::string> dirindex_row(const Host &host, bool magic) {
    kxcheck::Area a = build_mixed(host, "005.004");
    std::vector<std::string> argv{kxtest::tool("kxfsdirindex")};
    if (magic)
        argv.push_back("-m");
    argv.insert(argv.end(), {"-t", a.tmpl, a.dir});
    return argv;
}

std::vector<std::string> clone_row(const Host &host, bool correct) {
    kxcmp::build_cache(host.template_root(), kxcmp::kUuid1);
    kxcmp::build_area(host.path(kArea), host.template_root(), kxcmp::kUuid1);
    host.write_conf(101, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\nUUID=\"" +
                             kxcmp::kUuid1 + "\"\n");
    host.write_conf(102, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\nUUID=\"" +
                             kxcmp::kUuid2 + "\"\n");
    kxsweep::settle_times(host.root());
    if (correct)
        return {kxtest::tool("kxfsclone"), "-c", "101"};
    return {kxtest::tool("kxfsclone"), "101", "102"};
}

// A uuid the run made up (a correction's new one), for the comparison.
std::string new_uuid(const Host &host) {
    if (!kxtest::exists(host.conf_path(101)))
        return {};
    std::string text = kxtest::read_file(host.conf_path(101)), found;
    std::regex line("UUID=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it)
        found = (*it)[1];
    return found == kxcmp::kUuid1 ? std::string() : found;
}

struct Outcome {
    kxtest::Run run;
    kxsweep::Normal tree;
    int threads = 0;  // threads the tool started
};

// Builds a host, runs the row's command (with --no-readahead after the
// program name when off) under strace, and takes the host tree.
Outcome run_once(const std::function<std::vector<std::string>(const Host &)> &build, bool off) {
    Host host;
    std::vector<std::string> argv = build(host);
    if (off)
        argv.insert(argv.begin() + 1, "--no-readahead");
    const std::string log_dir = kxtest::temp_dir("strace"), log = log_dir + "/log";
    argv.insert(argv.begin(), {kStrace, "-f", "-qq", "-e", "trace=clone,clone3", "-o", log});
    Outcome o;
    // The leak checker of a sanitizer build cannot work under the tracer.
    const char *asan = std::getenv("ASAN_OPTIONS");
    o.run = kxtest::run(argv, {"ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0"});
    std::string traced = kxtest::read_file(log);
    for (size_t at = 0; (at = traced.find("CLONE_THREAD", at)) != std::string::npos; ++at)
        o.threads++;
    unlink(log.c_str());
    rmdir(log_dir.c_str());
    kxsweep::Subst subst{{host.root(), "{H}"}};
    if (std::string uuid = new_uuid(host); !uuid.empty())
        subst.push_back({uuid, "{U}"});
    o.run.out = kxsweep::substitute(o.run.out, subst);
    o.run.err = kxsweep::substitute(o.run.err, subst);
    o.tree = kxsweep::normalize(kxsweep::snapshot(host.root(), host.template_root()), subst);
    return o;
}

struct Row {
    const char *name;
    std::function<std::vector<std::string>(const Host &)> build;
};

TEST(ReadaheadInTools, OutputStatusAndTreeAreTheSameWithAndWithout) {
    KX_REQUIRE_ROOT();
    if (access(kStrace, X_OK) != 0)
        GTEST_SKIP() << "needs strace to see the stage's threads";
    const Row rows[] = {
        {"check, report only", [](const Host &h) { return check_row(h, "005.004", {"--call"}); }},
        {"check, remove", [](const Host &h) { return check_row(h, "005.004", {"--call=remove"}); }},
        {"check, move and optimize",
         [](const Host &h) { return check_row(h, "005.004", {"--call=move", "--oall=do"}); }},
        {"upgrade", [](const Host &h) { return check_row(h, "005.003", {"--upgrade"}); }},
        {"dirindex", [](const Host &h) { return dirindex_row(h, false); }},
        {"dirindex -m", [](const Host &h) { return dirindex_row(h, true); }},
        {"clone", [](const Host &h) { return clone_row(h, false); }},
        {"clone -c", [](const Host &h) { return clone_row(h, true); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        time_t from = std::time(nullptr);
        Outcome on = run_once(row.build, false);
        Outcome off = run_once(row.build, true);
        kxsweep::Window now{from, std::time(nullptr) + 1};
        EXPECT_GT(on.threads, 0) << "the stage did not run";
        EXPECT_EQ(off.threads, 0) << "threads without the stage";
        EXPECT_EQ(on.run.status, off.run.status);
        EXPECT_EQ(on.run.out, off.run.out);
        EXPECT_EQ(on.run.err, off.run.err);
        EXPECT_GT(on.tree.tree.size(), 50u);
        for (const std::string &d : kxsweep::differences(off.tree, on.tree, now, true))
            ADD_FAILURE() << d;
    }
}

}  // namespace
