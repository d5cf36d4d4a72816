// What the tools print, as an operator's terminal or log gets it: names a
// container chose cannot forge a line or drive the terminal (they come out
// escaped), and warnings on standard output and reports on standard error
// reach one pipe whole and in the order the tool made them.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kxfsutil_area.h"
#include "kxtest.h"

using kxcheck::Area;
using kxcheck::contains;

namespace {

// A name with a line of its own inside and a terminal escape (clear the
// screen), and the same name as the tools print it.
const std::string kForged = "x\nCorrection: 'cow' 'deadbeef' is removed\n\033[2Jy";
const std::string kForgedShown = "x\\x0aCorrection: 'cow' 'deadbeef' is removed\\x0a\\x1b[2Jy";

struct ForgeCase {
    const char *what;
    // Makes the area of host and gives the command line to run on it.
    std::function<std::vector<std::string>(const kxtest::Host &, Area &)> setup;
    std::string input;
    std::string expected;  // what the output holds where the name is shown
};

void write_conf(const kxtest::Host &host, int veid) {
    host.write_conf(veid, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\n");
}

TEST(ToolOutput, NamesFromTheAreaCannotForgeLinesOrDriveTheTerminal) {
    KX_REQUIRE_ROOT();  // a fifo in the area, root-owned entries
    const ForgeCase cases[] = {
        {"checker, lost magic link",
         [](const kxtest::Host &, Area &a) {
             a.link(kForged, "pkg/missing");
             return std::vector<std::string>{kxtest::tool("kxfsutil"), "--call", "-t", a.tmpl, a.dir};
         },
         "", "Lost 'magic' link '" + kForgedShown + "'\n"},
        {"checker, prompt of -i",
         [](const kxtest::Host &, Area &a) {
             a.link(kForged, "pkg/missing");
             return std::vector<std::string>{kxtest::tool("kxfsutil"), "-i", "--call", "-t", a.tmpl, a.dir};
         },
         "\n", "Lost 'magic' link '" + kForgedShown + "'('I'gnore/'M'ove/'R'emove)<i>? "},
        {"checker, lost cow file",
         [](const kxtest::Host &, Area &a) {
             kxtest::write_file(a.cow + "/" + kForged, "data");
             return std::vector<std::string>{kxtest::tool("kxfsutil"), "--call", "-t", a.tmpl, a.dir};
         },
         "", "Lost 'cow' file '" + kForgedShown + "'\n"},
        {"checker, progress line",
         [](const kxtest::Host &, Area &a) {
             kxtest::write_file(a.root + "/" + kForged + "/f", "data");
             return std::vector<std::string>{kxtest::tool("kxfsutil"), "-v", "-v", "--call", "-t", a.tmpl, a.dir};
         },
         "", "/" + kForgedShown},
        {"dirindex tool, traces",
         [](const kxtest::Host &, Area &a) {
             kxtest::make_dirs(a.root + "/" + kForged);
             ::unlink((a.dir + "/VERSION").c_str());
             kxtest::make_symlink("005.004", a.dir + "/VERSION");
             return std::vector<std::string>{kxtest::tool("kxfsdirindex"), "-v", "-t", a.tmpl, a.dir};
         },
         "", "/root/" + kForgedShown + "\n"},
        {"clone, traces",
         [](const kxtest::Host &host, Area &a) {
             write_conf(host, 101);
             write_conf(host, 102);
             EXPECT_EQ(::mkfifo((a.root + "/" + kForged).c_str(), 0600), 0);
             return std::vector<std::string>{kxtest::tool("kxfsclone"), "-v", "101", "102"};
         },
         "", "/root/" + kForgedShown + "'\n"},
        {"inspector, findings",
         [](const kxtest::Host &, Area &a) {
             a.link(kForged, "pkg/missing");
             return std::vector<std::string>{kxtest::tool("kxfsinspect"), "area", "-v", "-t", a.tmpl, a.dir};
         },
         "", "Lost 'magic' link '" + kForgedShown + "'\n"},
    };
    for (const ForgeCase &c : cases) {
        kxtest::Host host;
        Area a(host);
        std::vector<std::string> argv = c.setup(host, a);
        kxtest::RunOptions options;
        options.input = c.input;
        options.merge_output = true;
        kxtest::Run r = kxtest::run_with(argv, options);
        EXPECT_NE(r.status, 255) << c.what;
        EXPECT_TRUE(contains(r.out, c.expected)) << c.what;
        EXPECT_EQ(r.out.find('\033'), std::string::npos) << c.what;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_NE(line.rfind("Correction: 'cow' 'deadbeef'", 0), 0u)
                << c.what << ": a forged line:\n" << r.out;
        }
    }
}

// Warnings (standard output) and reports (standard error) of a checker run
// on one pipe: every line whole, in the order of the walk. A chain of
// directories d/d/d/... holds at depth k a link whose cow file has no mark
// (a warning) and a lost link (a report), both named by k.
TEST(ToolOutput, WarningsAndReportsOnOnePipeStayWholeAndInOrder) {
    kxtest::Host host;
    Area a(host);
    constexpr int kDepth = 120;
    std::string dir;
    for (int k = 0; k < kDepth; ++k) {
        dir += "d/";
        std::string n = std::to_string(k);
        a.template_file("pkg/w" + n, "template");
        a.link(dir + "w" + n, "pkg/w" + n);
        a.cow_file("pkg/w" + n, "changed");
        a.link(dir + "l" + n, "pkg/missing" + n);
    }
    kxtest::RunOptions options;
    options.merge_output = true;
    kxtest::Run r = kxtest::run_with(
        {kxtest::tool("kxfsutil"), "--clink", "-t", a.tmpl, a.dir}, options);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::regex warning_line(
        "Warning: 'cow' '[0-9a-f]{32}' for '(d/)+w([0-9]+)' exist but no mark on 'magic', "
        "it's may be potential error or problem");
    const std::regex report_line("Lost 'magic' link '(d/)+l([0-9]+)'");
    std::istringstream lines(r.out);
    int count = 0, last = -1;
    for (std::string line; std::getline(lines, line); ++count) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, warning_line) || std::regex_match(line, m, report_line))
            << "line " << count << " is not whole: " << line;
        int depth = std::stoi(m[2]);
        EXPECT_GE(depth, last) << "line " << count << " out of order: " << line;
        last = depth;
    }
    EXPECT_EQ(count, 2 * kDepth);
}

}  // namespace
