// The checker's command line end to end: arguments in; exit status,
// standard output and standard error out; and what the refusals leave of
// the area.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kxfsutil_area.h"
#include "kxtest.h"

using kxcheck::Area;
using kxcheck::contains;

namespace {

const char *const kUsage =
    "kxfsutil [-hqvVpi] [--c<all|cow|mark|link> [=(ignore|move|remove)]] [--o<all|replace|empty> "
    "[=(do|ignore)]] -t <template_dir> <ve_private_dir>\n"
    "kxfsutil [-hqvVp] --upgrade [--ctid=<CTID>] -t <template_dir> <ve_private_dir>\n"
    "\t--c<all|cow|mark|link> [ignore|move|remove] - correct found errors in some way ('ignore' "
    "by default)\n"
    "\t\tcall,cA      all errors\n"
    "\t\tccow,cC      'lost' cow files\n"
    "\t\tcmark,cM     broken 'cow' mark\n"
    "\t\tclink,cL     broken 'magic' link\n"
    "\t--o<all|replace|empty> [do|ignore] - do optimization in some way ('ignore' by default)\n"
    "\t\toall,oA      all possible optimization\n"
    "\t\toreplace,oR  replace 'magic' link with 'cow' files\n"
    "\t\toempty,oE    delete non-changed 'cow' files\n"
    "\t--upgrade - upgrade private area from kx3 to kx4\n"
    "\n"
    "\t\t-V   print version\n"
    "\t\t-v   verbose mode\n"
    "\t\t-i   interactive mode\n"
    "\t\t-q   quiet mode\n"
    "\t\t-h   show this help message\n"
    "\t\t-p   periodically print the progress information\n";

// "@T" stands for the template directory, "@A" for the area, "@N" for a
// path that does not exist.
std::vector<std::string> expand(const std::vector<std::string> &args, const Area &a,
                                const std::string &missing) {
    std::vector<std::string> argv{kxtest::tool("kxfsutil")};
    for (const auto &s : args)
        argv.push_back(s == "@T" ? a.tmpl : s == "@A" ? a.dir : s == "@N" ? missing : s);
    return argv;
}

struct Case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string out;  // exact
    std::string err;  // exact, or the usage text when "USAGE", or a part after "~"
};

const std::string kTail = "Kxfsutil: ";

const Case kCases[] = {
    {"no arguments", {}, 2, "", "USAGE"},
    {"help", {"-h"}, 2, "", "USAGE"},
    {"long help", {"--help", "--call", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"version", {"-V"}, 0, "kxfsutil version 2.0.0\n", ""},
    {"long version", {"--version"}, 0, "kxfsutil version 2.0.0\n", ""},
    {"version stops parsing", {"--call", "-V", "--bogus", "x", "y"}, 0,
     "kxfsutil version 2.0.0\n", ""},
    {"faulty option before version", {"--call=bogus", "-V"}, 2, "", "USAGE"},
    {"operation missing", {"-t", "@T", "@A"}, 2, "", "USAGE"},
    {"template missing", {"--call", "@A"}, 2, "", "USAGE"},
    {"operand missing", {"--call", "-t", "@T"}, 2, "", "USAGE"},
    {"two operands", {"--call", "-t", "@T", "@A", "@A"}, 2, "", "USAGE"},
    {"duplicate call", {"--call", "--call", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"call and cA are one option", {"--call=move", "--cA", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"oempty and oE are one option", {"--oE", "--oempty=do", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"template twice", {"--call", "-t", "@T", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"bad correction word", {"--ccow=delete", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"words are case-sensitive", {"--ccow=Move", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"move is no optimization word", {"--oall=move", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"unknown option", {"--bogus", "--call", "-t", "@T", "@A"}, 2, "",
     "~kxfsutil [-hqvVpi]"},
    {"veid needs a value", {"--upgrade", "-t", "@T", "@A", "--veid"}, 2, "",
     "~kxfsutil [-hqvVpi]"},
    {"action word must be attached", {"--call", "move", "-t", "@T", "@A"}, 2, "", "USAGE"},
    {"missing -t argument", {"--call", "-t"}, 2, "", "~kxfsutil [-hqvVpi]"},
    {"area cannot be entered", {"--call", "-t", "@T", "@N"}, 1, "",
     "~Error: Kxfsutil: can't chdir '@N': No such file or directory\n"},
    {"template cannot be entered", {"--call", "-t", "@N", "@A"}, 1, "",
     "~Error: Kxfsutil: can't chdir '@N': No such file or directory\n"},
    {"upgrade and optimize", {"-u", "--oall", "--call", "-t", "@T", "@A"}, 2, "",
     "Error: Kxfsutil: can't upgrade and optimize simultaneously\n"},
    {"upgrade and correct", {"--upgrade", "--clink=remove", "-t", "@T", "@A"}, 2, "",
     "Error: Kxfsutil: can't upgrade and correct simultaneously\n"},
    {"uncow-empty and correct", {"--uncow-empty", "--ccow", "-t", "@T", "@A"}, 2, "",
     "Error: Kxfsutil: can't do 'uncow-empty' and other operation simultaneously\n"},
    {"uncow-empty and upgrade", {"--uncow-empty", "-u", "-t", "@T", "@A"}, 2, "",
     "Error: Kxfsutil: can't do 'uncow-empty' and other operation simultaneously\n"},
    {"interactive and quiet", {"-i", "-q", "--call", "-t", "@T", "@A"}, 2, "",
     "Error: Kxfsutil: can't start in interactive and quiet modes simultaneously\n"},
    {"interactive and quiet, area missing first", {"-i", "-q", "--call", "-t", "@T", "@N"}, 1,
     "", "~can't chdir '@N'"},
    {"report on a clean area", {"--call", "-t", "@T", "@A"}, 0, "", ""},
    {"short forms", {"--cA=i", "--oA=i", "-p", "-t", "@T", "@A"}, 0, "", ""},
    {"unambiguous abbreviation", {"--prog", "--cmark=r", "-t", "@T", "@A"}, 0, "", ""},
    {"version not upgradable", {"-u", "--ctid=101", "-t", "@T", "@VA"}, 1, "",
     "Error: Version of private area '005.004' is not upgradable\n"},
};

TEST(CommandLine, Table) {
    for (const Case &c : kCases) {
        kxtest::Host host;
        Area area(host);
        Area current(host, "vz/private/102", "005.004");
        std::string missing = host.path("nowhere");
        std::vector<std::string> args;
        for (const auto &s : c.args)
            args.push_back(s == "@VA" ? current.dir : s);
        kxtest::Run r = kxtest::run(expand(args, area, missing));
        SCOPED_TRACE(c.name);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        std::string err = c.err;
        for (size_t at; (at = err.find("@N")) != std::string::npos;)
            err.replace(at, 2, missing);
        if (err == "USAGE")
            EXPECT_EQ(r.err, kUsage);
        else if (!err.empty() && err[0] == '~')
            EXPECT_TRUE(contains(r.err, err.substr(1)));
        else
            EXPECT_EQ(r.err, err);
    }
}

TEST(CommandLine, RefusalsLeaveTheAreaAsItWas) {
    kxtest::Host host;
    Area area(host);
    area.template_file("pkg/a", "a");
    area.link("gone", "pkg/none");
    area.cow_file("pkg/none", "orphan");
    auto before = kxtest::snapshot(area.dir);
    for (auto opts : std::vector<std::vector<std::string>>{
             {"-i", "-q", "--call=remove"},
             {"-u", "--call=remove"},
             {"--call=remove", "--ccow=move", "--bogus"},
             {"--uncow-empty", "--oall=do"}}) {
        kxtest::Run r = area.check(opts);
        EXPECT_NE(r.status, 0);
    }
    EXPECT_EQ(kxtest::snapshot(area.dir).size(), before.size());
    EXPECT_TRUE(kxtest::exists(area.root + "/gone"));
    EXPECT_TRUE(kxtest::exists(area.cow_path("pkg/none")));
}

TEST(CommandLine, HdimageAreaIsRefused) {
    kxtest::Host host;
    Area area(host);
    kxtest::write_file(area.dir + "/.layout", "5\n");
    kxtest::Run r = area.check({"--call"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Private area is based on hdimage device. KXFS is prohibited.\n");
}

TEST(CommandLine, MountedAreaAsksFirst) {
    kxtest::Host host;
    Area area(host);
    area.link("gone", "pkg/none");
    host.write_mounts("/dev/x /vz/root/101 kxfs rw,private=:" + area.dir + " 0 0\n");
    const std::string question = "Do you really want to continue ('Y'/'N')<n>? ";

    kxtest::Run no = area.check({"--clink=remove"}, "n\n");
    EXPECT_EQ(no.status, 0);
    EXPECT_EQ(no.out, "Warning: private area is mounted\n" + question);
    EXPECT_TRUE(kxtest::exists(area.root + "/gone"));

    kxtest::Run eof = area.check({"--clink=remove"});
    EXPECT_EQ(eof.status, 0);
    EXPECT_TRUE(kxtest::exists(area.root + "/gone"));

    kxtest::Run yes = area.check({"--clink=remove"}, "y\n");
    EXPECT_EQ(yes.status, 0);
    EXPECT_EQ(yes.out, "Warning: private area is mounted\n" + question);
    EXPECT_FALSE(kxtest::exists(area.root + "/gone"));

    for (const char *op : {"-u", "--uncow-empty"}) {
        kxtest::Run r = area.check({op}, "y\n");
        EXPECT_EQ(r.status, 1) << op;
        EXPECT_EQ(r.err, "Error: Private area is mounted. Please, umount private area\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(CommandLine, QuietAndVerboseLevels) {
    kxtest::Host host;
    Area area(host);
    area.link("gone", "pkg/none");
    // Level 3: the problem; level 1: nothing; each -v adds traces.
    EXPECT_EQ(area.check({"--clink"}).err, "Lost 'magic' link 'gone'\n");
    EXPECT_EQ(area.check({"-q", "--clink"}).err, "");
    EXPECT_TRUE(contains(area.check({"-v", "--clink"}).err, "Scan dir begin :" + area.root));
    EXPECT_TRUE(contains(area.check({"-q", "-v", "-v", "--clink"}).err, "Lost 'magic' link"));
    EXPECT_FALSE(contains(area.check({"-q", "-v", "-v", "--clink"}).err, "Scan dir"));
}

// An area of layout 4 keeps its tree in "fs"; the package data stays in
// the area itself.
TEST(CommandLine, Layout4AreaIsWorkedOnInFs) {
    kxtest::Host host;
    std::string dir = host.path("vz/private/104");
    kxtest::make_dirs(dir + "/fs/root");
    kxtest::make_dirs(dir + "/fs/cow");
    kxtest::make_symlink("005.004", dir + "/fs/VERSION");
    kxtest::make_magic_link(dir + "/fs/root/gone", "pkg/none");
    kxtest::write_file(dir + "/fs/cow/orphan", "x");
    kxtest::Run r = kxtest::run({kxtest::tool("kxfsutil"), "--call=move", "-t", host.template_root(), dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "Lost 'magic' link 'gone'\nCorrection: 'magic' 'gone' moved to lost\n"
              "Lost 'cow' file 'orphan'\nCorrection: 'cow' 'orphan' moved to lost\n");
    EXPECT_TRUE(kxtest::exists(dir + "/lost_files/root/gone"));
    EXPECT_TRUE(kxtest::exists(dir + "/lost_files/cow/orphan"));
    EXPECT_FALSE(kxtest::exists(dir + "/fs/root/gone"));
}

// An "fs" that cannot be entered stops the run where the area is resolved,
// before the options are judged; a link to a directory in its place gets as
// far as the options and is refused then.
TEST(CommandLine, FsThatIsNoDirectoryStopsWhereTheTreeIsResolved) {
    struct Case {
        const char *fs;  // "" missing, "file", "link", "dangling"
        bool template_given;
        int status;
        const char *err;  // after the area's fs path; "USAGE" for the usage
    } cases[] = {
        {"", true, 1, "can't chdir '@': No such file or directory\n"},
        {"", false, 1, "can't chdir '@': No such file or directory\n"},
        {"file", false, 1, "can't chdir '@': Not a directory\n"},
        {"dangling", false, 1, "can't chdir '@': No such file or directory\n"},
        {"link", false, 2, "USAGE"},
        {"link", true, 1, "Unsafe private area: '@' is not a real directory"},
    };
    for (const Case &c : cases) {
        kxtest::Host host;
        std::string dir = host.path("vz/private/104"), fs = dir + "/fs";
        kxtest::make_dirs(host.path("elsewhere/root"));
        kxtest::write_file(dir + "/.layout", "4\n");
        if (std::string(c.fs) == "file")
            kxtest::write_file(fs, "x");
        else if (std::string(c.fs) == "link")
            kxtest::make_symlink(host.path("elsewhere"), fs);
        else if (std::string(c.fs) == "dangling")
            kxtest::make_symlink(host.path("none"), fs);
        std::vector<std::string> argv{kxtest::tool("kxfsutil"), "--call"};
        if (c.template_given)
            argv.insert(argv.end(), {"-t", host.template_root()});
        argv.push_back(dir);
        kxtest::Run r = kxtest::run(argv);
        SCOPED_TRACE(std::string(c.fs) + (c.template_given ? " with -t" : " without -t"));
        EXPECT_EQ(r.status, c.status);
        std::string err = c.err;
        if (size_t at = err.find('@'); at != std::string::npos)
            err.replace(at, 1, fs);
        if (err == "USAGE")
            EXPECT_EQ(r.err, kUsage);
        else if (std::string(c.fs) == "link")
            EXPECT_TRUE(r.err.starts_with("Error: " + err)) << r.err;
        else
            EXPECT_EQ(r.err, "Error: Kxfsutil: " + err);
    }
}

TEST(CommandLine, MissingVersionIsReportedAndTheRunGoesOn) {
    kxtest::Host host;
    Area area(host, "vz/private/105", "");
    kxtest::Run r = area.check({"--call"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "Error: Can't read version kxfs '" + area.dir + "/VERSION'"));
}

}  // namespace

namespace {

// With -p a line comes at the first entry examined after the 5-second
// alarm; here the operator takes 6 seconds over the first question.
TEST(CommandLine, ProgressLineAfterTheAlarm) {
    kxtest::Host host;
    Area area(host);
    area.link("one", "pkg/none");
    area.link("two", "pkg/none");
    kxtest::Run r = kxtest::run({"/bin/sh", "-c",
                                 "(sleep 6; printf 'i\\ni\\n') | \"$0\" -i -p --clink -t \"$1\" \"$2\"",
                                 kxtest::tool("kxfsutil"), area.tmpl, area.dir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "Checked        3, checking \"" + area.root + "/"));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

}  // namespace
