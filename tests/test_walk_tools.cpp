// The walks of the tools, end to end, where a directory cannot be listed to
// its end: every walk stops with the directory and the system's reason, and
// none goes on as if it had seen the directory whole (a check, an index or
// a copy made from part of a listing misses entries, and a check that
// misses a link takes its cow file for lost).
#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

using kxcheck::contains;

namespace {

constexpr const char *kUuid = "11111111-2222-3333-4444-555555555555";

TEST(WalkFaults, AListingThatFailsPartWayStopsEveryWalk) {
    const char *shim = std::getenv("KXFS_LISTFAIL_PRELOAD");
    if (shim == nullptr || *shim == '\0')
        GTEST_SKIP() << "the listing fault library is not built";
    struct Case {
        const char *what;
        const char *version;
        std::vector<std::string> args;  // {T} template, {A} area
        int status;
        std::string error;  // {R} the area's root
    };
    const Case cases[] = {
        {"check", "005.004", {"kxfsutil", "--call", "-t", "{T}", "{A}"}, 1,
         "Error: Kxfsutil: opendir '{R}/etc/victim': Input/output error\n"},
        {"upgrade", "005.003", {"kxfsutil", "--upgrade", "--ctid=101", "-t", "{T}", "{A}"}, 1,
         "Error: can't open directory 'etc/victim': Input/output error\n"},
        {"index", "005.004", {"kxfsdirindex", "-t", "{T}", "{A}"}, 1,
         "Error: Kxfsdirindex: opendir '{R}/etc/victim': Input/output error\n"},
        {"clone", "005.004", {"kxfsclone", "101", "102"}, 1,
         "Error: Can't open dir '{R}/etc/victim': Input/output error\n"},
        {"correct", "005.004", {"kxfsclone", "-c", "101"}, 1,
         "Error: Can't open dir '{R}/etc/victim': Input/output error\n"},
        {"inspect", "005.004", {"kxfsinspect", "area", "-t", "{T}", "{A}"}, 3,
         "the scan stopped: Kxfsutil: opendir '{R}/etc/victim': Input/output error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kxtest::Host host;
        kxcheck::Area area(host, "vz/private/101", c.version);
        host.write_conf(101, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\nUUID=\"" +
                                 kUuid + "\"\n");
        host.write_conf(102, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\n");
        area.template_file("pkg/etc/victim/a", "a");
        // A directory the template stands for (the indexer leaves it as it
        // is and only lists it), holding a few entries of its own.
        kxtest::make_dirs(area.root + "/etc/victim", 04755);
        kxtest::make_magic_link(area.root + "/etc/victim/" DIRINDEX_NAME, "pkg/etc/victim");
        for (const char *name : {"a", "b", "c", "d"})
            area.link(std::string("etc/victim/") + name, "pkg/etc/victim/a");
        kxtest::write_file(area.root + "/etc/victim/file", "data");

        std::vector<std::string> argv;
        for (std::string arg : c.args) {
            if (arg == "{T}")
                arg = area.tmpl;
            else if (arg == "{A}")
                arg = area.dir;
            argv.push_back(argv.empty() ? kxtest::tool(arg) : arg);
        }
        const char *sim = std::getenv("LD_PRELOAD");
        kxtest::Run r = kxtest::run(
            argv, {std::string("LD_PRELOAD=") + (sim ? sim : "") + " " + shim,
                   "KXLISTFAIL_NAME=victim", "KXLISTFAIL_AFTER=4"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        std::string error = c.error;
        if (size_t at = error.find("{R}"); at != std::string::npos)
            error.replace(at, 3, area.root);
        EXPECT_TRUE(contains(r.err, error));
    }
}

}  // namespace
