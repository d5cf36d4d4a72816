// The checker's scan run by another program, without the checker's
// command line: with an observer set, every entry the scan classifies and
// every problem and optimization it finds is told to the observer, and
// nothing is reported or changed, whatever the actions say.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "check.h"
#include "kxfsutil_area.h"
#include "kxtest.h"

namespace {

struct Seen {
    std::multiset<std::pair<int, std::string>> findings;
    std::map<int, int> entries;
};

void on_finding(void *data, finding_kind kind, const char *item, const char *) {
    static_cast<Seen *>(data)->findings.insert({kind, item});
}

void on_entry(void *data, entry_kind kind, const char *, const struct stat *) {
    static_cast<Seen *>(data)->entries[kind]++;
}

TEST(CheckObserver, CountsWhatTheCheckerWouldDoAndDoesNothing) {
    KX_REQUIRE_ROOT();
    kxtest::Host host;
    kxcheck::Area a(host, "vz/private/101", "005.004");
    for (const char *f : {"mark", "eq", "ch", "dir/a", "dir/b"})
        a.template_file(std::string("pkg/") + f, f);
    a.marked("bm", "pkg/mark");
    a.marked("eq", "pkg/eq");
    a.cow_file("pkg/eq", "eq");
    a.marked("d/ch", "pkg/ch");
    a.cow_file("pkg/ch", "changed");
    a.link("gone", "pkg/none");
    kxtest::make_shortcut_file(a.root + "/sc", "pkg/none");
    kxtest::write_file(a.cow + "/orphan", "x");
    kxtest::make_dirs(a.root + "/bad", 04755);
    kxtest::write_file(a.root + "/bad/" DIRINDEX_NAME, "garbage");
    // Links the index takes over (their modes agree with the template's).
    for (const char *f : {"a", "b"})
        ASSERT_EQ(kxlchmod(a.link(std::string("fix/") + f, std::string("pkg/dir/") + f).c_str(), 0644), 0);
    kxcheck::index_dir(a.root + "/fix", a.tmpl);
    ASSERT_EQ(unlink((a.tmpl + "/pkg/dir/b").c_str()), 0);
    kxtest::write_file(a.root + "/plain", "plain");
    auto before = kxtest::snapshot(a.dir);

    Seen seen;
    const check_observer counting{&seen, on_finding, on_entry};
    observer = &counting;
    temp_dir = xstrdup(a.tmpl.c_str());
    for (int &act : corr_act)
        act = ACT_REMOVE;
    for (int &act : opt_act)
        act = ACT_DO;
    set_option(OPT_PARSED | OPT_CORR_ALL | OPT_OPT_ALL);
    struct kxfs_area *handle = open_area(a.dir.c_str());
    ASSERT_NE(handle, nullptr);
    use_area(handle);
    check_area_version();
    scan_info counters{};
    info = &counters;
    scan_cow_dir();
    scan_mount_point(fs_priv_dir, 0);
    lost_cow_pass();
    observer = nullptr;

    const std::string ch = kxcheck::md5_hex("////pkg/ch");
    EXPECT_EQ(seen.findings, (std::multiset<std::pair<int, std::string>>{
                                 {FINDING_BROKEN_MARK, "bm"},
                                 {FINDING_UNCHANGED_COW, "eq"},
                                 {FINDING_CHANGED_COW, "d/ch"},
                                 {FINDING_LOST_LINK, "gone"},
                                 {FINDING_LOST_LINK, "sc"},
                                 {FINDING_BROKEN_DIRINDEX, "bad/._kxlnk_."},
                                 {FINDING_REPAIRABLE_DIRINDEX, "fix/._kxlnk_."},
                                 {FINDING_LOST_COW, "orphan"},
                             }));
    EXPECT_EQ(seen.entries, (std::map<int, int>{{ENTRY_DIR, 4},
                                                {ENTRY_MAGIC_LINK, 4},
                                                {ENTRY_MARKER_INDEX, 2},
                                                {ENTRY_SHORTCUT, 1},
                                                {ENTRY_FILE, 1}}));
    EXPECT_EQ(counters.links, 4);
    auto after = kxtest::snapshot(a.dir);
    ASSERT_EQ(after.size(), before.size());
    for (const auto &[name, e] : before) {
        EXPECT_EQ(after[name].ino, e.ino) << name;
        EXPECT_EQ(after[name].mode, e.mode) << name;
        EXPECT_EQ(after[name].data, e.data) << name;
    }
    close_area(handle);
}

}  // namespace
