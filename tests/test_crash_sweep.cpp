// Every operation that changes an area, killed at each of its changing
// calls and run again: the dirindex tool with and without -m, the checker's
// move and remove (with the repaired dirindex put in place), both
// optimizations, the upgrade, and the clone tool in both modes. Each row
// states the end state of its operation; the bad-input variants change the
// area between the kill and the rerun and check that nothing of the
// container's goes.
//
// The same rows make the fault sweep: each changing call fails in turn
// (once, or a full disk from there on), or each listing; the failed run
// must have reported what it did not do, left every entry whole in its old
// or new form, and a rerun must finish the job.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "crash_sweep.h"
#include "kxfsutil_area.h"
#include "kxtest.h"
#include "libkxfsutil.h"
#include "tree_compare.h"

using kxsweep::Problems;
using kxsweep::Row;
using kxsweep::Tree;
using kxtest::Host;

namespace {

constexpr const char *kArea = "vz/private/101";
constexpr const char *kPkg = "distro/1/pkg";

// The view of the area as built, the same in every host.
using View = std::map<std::string, std::string>;
View view_of(const Host &host) {
    return kxsweep::container_view(host.path(kArea), host.template_root());
}

// Checks that the container's view is always that of the built area.
void keep_view(Row &row) {
    auto built = std::make_shared<View>();
    auto build = row.build;
    row.build = [=](const Host &host) {
        auto argv = build(host);
        if (built->empty())
            *built = view_of(host);
        return argv;
    };
    row.interrupted = [=](const Host &host, const Tree &, const Tree &, const Tree &) {
        return kxsweep::view_changes(*built, view_of(host), true);
    };
    auto end_state = row.end_state;
    row.end_state = [=](const Host &host, const Tree &b, const Tree &e) {
        Problems p = kxsweep::view_changes(*built, view_of(host));
        if (end_state)
            kxsweep::add(p, end_state(host, b, e));
        return p;
    };
}

// Names of the tool's own temporaries left in the tree.
Problems leftovers(const Tree &end, const std::regex &pattern) {
    Problems p;
    for (const auto &[path, node] : end)
        if (std::regex_search(path, pattern))
            p.push_back(path + ": left over");
    return p;
}

// ---- the dirindex tool -----------------------------------------------------

std::vector<std::string> build_dirindex_area(const Host &host, bool magic_to_shortcut) {
    const std::string area = host.path(kArea), root = area + "/root";
    const std::string tmpl = host.template_root();
    kxtest::make_dirs(area + "/cow");
    kxtest::make_symlink("005.004", area + "/VERSION");
    auto tfile = [&](const std::string &rel, mode_t mode = 0777) {
        kxtest::write_file(tmpl + "/" + kPkg + "/" + rel, "data of " + rel, mode);
        return std::string(kPkg) + "/" + rel;
    };
    for (const char *name : {"sh", "ls", "cp"})
        kxtest::make_magic_link(root + "/bin/" + name, tfile(std::string("bin/") + name));
    kxtest::make_shortcut_file(root + "/bin/cat", tfile("bin/cat", 01777), 0777);
    kxtest::make_magic_link(root + "/bin/odd", tfile("bin/odd", 0600));  // kept: other mode
    kxtest::write_file(root + "/bin/own", "the container's own file");
    kxtest::make_symlink("own", root + "/bin/plain");
    kxtest::make_magic_link(root + "/etc/deep/er/conf", tfile("etc/deep/er/conf"));
    kxtest::write_file(root + "/etc/deep/f", "x");
    kxtest::make_dirs(root + "/run");
    mkfifo((root + "/run/fifo").c_str(), 0600);
    kxtest::make_magic_link(root + "/run/tool", tfile("run/tool"));
    kxtest::write_file(root + "/left/a", "a");
    kxtest::make_magic_link(root + "/left/" DIRINDEX_NAME, std::string(kPkg) + "/left");
    kxtest::write_file(root + "/done/f", "indexed before");
    kxcheck::index_dir(root + "/done", tmpl);
    // Hard-linked entries of the zone directory, repointed to their own names.
    const std::string base = "P/Q/R/S/usr/share/zoneinfo", zone = root + "/usr/share/zoneinfo";
    kxtest::write_file(tmpl + "/" + base + "/Europe/Paris", "TZif Paris", 0644);
    link((tmpl + "/" + base + "/Europe/Paris").c_str(), (tmpl + "/" + base + "/Europe/X").c_str());
    kxtest::write_file(zone + "/Europe/Paris", "////" + base + "/Europe/Paris", 01644);
    kxtest::make_dirs(zone + "/Etc");
    link((zone + "/Europe/Paris").c_str(), (zone + "/Etc/X").c_str());
    kxtest::write_file(tmpl + "/" + base + "/Europe/Rome", "TZif Rome", 0777);
    link((tmpl + "/" + base + "/Europe/Rome").c_str(), (tmpl + "/" + base + "/Europe/Y").c_str());
    kxtest::make_magic_link(zone + "/Europe/Rome", base + "/Europe/Rome");
    link((zone + "/Europe/Rome").c_str(), (zone + "/Etc/Y").c_str());
    kxsweep::settle_times(host.root());
    std::vector<std::string> argv{kxtest::tool("kxfsdirindex")};
    if (magic_to_shortcut)
        argv.push_back("-m");
    argv.insert(argv.end(), {"-t", tmpl, area});
    return argv;
}

Row dirindex_row(bool magic_to_shortcut) {
    Row row;
    row.build = [=](const Host &h) { return build_dirindex_area(h, magic_to_shortcut); };
    row.steps = true;
    row.end_state = [](const Host &, const Tree &, const Tree &end) {
        Problems p;
        const std::string root = std::string(kArea) + "/root";
        for (const auto &[path, node] : end) {
            if (!S_ISDIR(node.mode) || path.rfind(root, 0) != 0 || path == root + "/run")
                continue;
            auto index = end.find(path + "/" DIRINDEX_NAME);
            if (!(node.mode & S_ISUID) || index == end.end() || !S_ISREG(index->second.mode))
                p.push_back(path + ": not indexed");
        }
        kxsweep::add(p, leftovers(end, std::regex("-[A-Za-z0-9]{6}$")));
        return p;
    };
    keep_view(row);
    // A container file of the reserved name in a directory the tool cannot
    // index, and one with a name like the tool's temporaries.
    row.tamper = [](const Host &host) {
        kxsweep::Tamper t;
        std::string root = std::string(kArea) + "/root";
        t.foreign[root + "/run/" DIRINDEX_NAME] = "the container's own file";
        t.foreign[root + "/usr/share/zoneinfo/Etc/X-AbC123"] = "the container's too";
        for (const auto &[rel, content] : t.foreign)
            kxtest::write_file(host.path(rel), content);
        t.warned = {root + "/run/" DIRINDEX_NAME};
        return t;
    };
    return row;
}

// ---- the checker's corrections -----------------------------------------------

// An area with every kind of damage: a lost cow file, a broken cow mark, a
// lost magic link, a lost shortcut, an unreadable dirindex and one with a
// record whose template object is gone; and sound entries beside them.
std::vector<std::string> build_damaged_area(const Host &host, const std::string &action) {
    kxcheck::Area a(host, kArea, "005.004");
    for (const char *f : {"ok", "mark", "sc", "dir/a", "dir/b", "dir/c", "good/g"})
        a.template_file(std::string("pkg/") + f, std::string("template ") + f);
    a.marked("ok", "pkg/ok");
    a.cow_file("pkg/ok", "changed ok");
    kxtest::write_file(a.root + "/plain", "plain");
    kxtest::make_shortcut_file(a.root + "/sc", "pkg/sc");
    a.marked("d/broken_mark", "pkg/mark");
    a.link("d/lost_link", "pkg/none");
    kxtest::make_shortcut_file(a.root + "/d/lost_sc", "pkg/none_sc");
    kxtest::write_file(a.cow + "/" + kxcheck::md5_hex("////pkg/gone"), "lost cow");
    kxtest::make_dirs(a.root + "/bad", 04755);
    kxtest::write_file(a.root + "/bad/" DIRINDEX_NAME, "not an index at all");
    kxtest::write_file(a.root + "/bad/x", "x");
    for (const char *f : {"a", "b", "c"})
        a.link(std::string("fix/") + f, std::string("pkg/dir/") + f);
    kxtest::write_file(a.root + "/fix/own", "own");
    kxcheck::index_dir(a.root + "/fix", a.tmpl);
    unlink((a.tmpl + "/pkg/dir/b").c_str());  // the record of b is lost
    a.link("good/g", "pkg/good/g");
    kxcheck::index_dir(a.root + "/good", a.tmpl);
    kxsweep::settle_times(host.root());
    return {kxtest::tool("kxfsutil"), "--call=" + action, "-t", a.tmpl, a.dir};
}

Row correction_row(const std::string &action) {
    Row row;
    row.build = [=](const Host &h) { return build_damaged_area(h, action); };
    const std::string root = std::string(kArea) + "/root";
    // An index the check can read is never missing, not for one call.
    row.interrupted = [=](const Host &, const Tree &, const Tree &now, const Tree &) {
        Problems p;
        for (const char *dir : {"/fix/", "/good/"}) {
            auto it = now.find(root + dir + DIRINDEX_NAME);
            if (it == now.end() || !S_ISREG(it->second.mode))
                p.push_back(root + dir + ": no index");
        }
        return p;
    };
    row.end_state = [=](const Host &, const Tree &, const Tree &end) {
        Problems p = leftovers(end, std::regex(DIRINDEX_TMP_NAME));
        auto index = end.find(root + "/fix/" DIRINDEX_NAME);
        const std::string fixed = index == end.end() ? "(none)" : index->second.data;
        if (fixed.find("\nb ") != std::string::npos || fixed.find("\na ") == std::string::npos ||
            fixed.find("BAD") != std::string::npos)
            p.push_back("fix: not the repaired index: " + kxsweep::shown(fixed));
        return p;
    };
    // A container file named like the repaired copy, beside a sound index
    // and beside the one the checker repairs. Where the rerun still has to
    // repair, it finds the name taken and must say so.
    row.tamper = [=](const Host &host) {
        kxsweep::Tamper t;
        t.foreign[root + "/good/" DIRINDEX_TMP_NAME] = "the container's own file";
        t.foreign[root + "/fix/" DIRINDEX_TMP_NAME] = "the container's own file too";
        std::vector<kxsweep::Record> recs;
        std::string index = host.path(root + "/fix/" DIRINDEX_NAME);
        if (kxtest::exists(index) && kxsweep::read_records(kxtest::read_file(index), recs) &&
            std::any_of(recs.begin(), recs.end(), [](const auto &r) { return r.name == "b"; }))
            t.warned.insert(root + "/fix/" DIRINDEX_TMP_NAME);
        for (const auto &[rel, content] : t.foreign) {
            unlink(host.path(rel).c_str());
            kxtest::write_file(host.path(rel), content);
        }
        return t;
    };
    return row;
}

// ---- the optimizations --------------------------------------------------------

// A cow file with an inode flag (no dump) and an extended attribute of its
// own, which every copy of it keeps.
void with_attributes(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC), word = 0;
    EXPECT_TRUE(fd >= 0 && ioctl(fd, 0x80086601UL, &word) == 0) << path;
    if (fd >= 0)
        close(fd);
    kxcmp::set_flags(path, word | 0x40);
    EXPECT_EQ(setxattr(path.c_str(), "user.kxtest", "kept", 4, 0), 0) << path;
}

// Marked links whose cow files are unchanged and changed, a link with two
// names, two links that claim one cow file (changed and unchanged), an
// unmarked link with a cow file and a marked link without template.
std::vector<std::string> build_optimizable_area(const Host &host, const std::string &option) {
    kxcheck::Area a(host, kArea, "005.004");
    auto marked = [&](const std::string &rel, const std::string &target, uid_t uid) {
        std::string p = a.marked(rel, target);
        EXPECT_EQ(lchown(p.c_str(), uid, uid + 1), 0);
        EXPECT_EQ(kxlchmod(p.c_str(), 01640), 0);
        return p;
    };
    for (const char *f : {"eq", "ch", "hl", "sh", "sq", "un"})
        a.template_file(std::string("pkg/") + f, std::string("template ") + f);
    marked("eq", "pkg/eq", 10);
    a.cow_file("pkg/eq", "template eq");
    marked("d/ch", "pkg/ch", 20);
    a.cow_file("pkg/ch", "changed ch");
    std::string hl = marked("d/hl", "pkg/hl", 30);
    kxtest::make_dirs(a.root + "/e");
    link(hl.c_str(), (a.root + "/e/hl").c_str());
    a.cow_file("pkg/hl", "changed hl");
    marked("s1", "pkg/sh", 40);
    marked("e/s2", "pkg/sh", 41);
    with_attributes(a.cow_file("pkg/sh", "changed shared"));
    marked("q1", "pkg/sq", 50);
    marked("e/q2", "pkg/sq", 51);
    a.cow_file("pkg/sq", "template sq");
    a.link("un", "pkg/un");
    a.cow_file("pkg/un", "changed un");
    marked("nt", "pkg/none", 60);
    a.cow_file("pkg/none", "changed nt");
    kxsweep::settle_times(host.root());
    return {kxtest::tool("kxfsutil"), "--" + option + "=do", "-t", a.tmpl, a.dir};
}

Row optimization_row(const std::string &option) {
    Row row;
    row.build = [=](const Host &h) { return build_optimizable_area(h, option); };
    row.end_state = [](const Host &, const Tree &, const Tree &end) {
        return leftovers(end, std::regex("\\.bak$"));
    };
    keep_view(row);
    row.tamper = [](const Host &host) {
        kxsweep::Tamper t;
        std::string bak = std::string(kArea) + "/cow/" + kxcheck::md5_hex("////pkg/hl") + ".bak";
        t.foreign[bak] = "the container's own file";
        unlink(host.path(bak).c_str());
        kxtest::write_file(host.path(bak), t.foreign[bak]);
        return t;
    };
    return row;
}

// ---- the clone tool ------------------------------------------------------------

constexpr const char *kDst = "vz/private/102";

std::string uuid_of(const Host &host, int veid) {
    std::string text = kxtest::read_file(host.conf_path(veid)), found;
    std::regex line("UUID=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it)
        found = (*it)[1];
    return found;
}

// Sets the end flag on the first record of an index as well (a warning
// only for the check), with the checksum made right again.
void end_flag_on_first_record(const std::string &path) {
    std::string b = kxtest::read_file(path);
    size_t first = kxsweep::le32(b, 4);
    b[first + 1] = static_cast<char>(b[first + 1] | DENT_EOF);
    for (int i = 16; i < 20; ++i)
        b[i] = 0;
    MD5_CTX ctx;
    unsigned char d[16];
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>(b.data()), static_cast<unsigned>(b.size()));
    MD5Final(d, &ctx);
    for (int i = 0; i < 4; ++i)
        b[16 + i] = static_cast<char>(d[i]);
    kxtest::write_file(path, b, kxtest::lstat_of(path).st_mode & 07777);
}

kxcmp::Fixture build_clone_host(const Host &host) {
    kxcmp::build_cache(host.template_root(), kxcmp::kUuid1);
    kxcmp::Fixture fx = kxcmp::build_area(host.path(kArea), host.template_root(), kxcmp::kUuid1);
    for (const std::string &index : fx.indexes)
        end_flag_on_first_record(host.path(kArea) + "/" + index);
    host.write_conf(101, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\nUUID=\"" +
                             kxcmp::kUuid1 + "\"\n");
    host.write_conf(102, "VE_PRIVATE=\"" + host.path("vz/private/$VEID") + "\"\n");
    kxsweep::settle_times(host.root());
    return fx;
}

// The subtree below prefix, its paths relative to it; the entries the
// fixture's pointers name get their texts for the new uuid.
kxsweep::Normal subtree(const Tree &tree, const std::string &prefix, const kxcmp::Fixture *fx,
                        const kxsweep::Subst &subst) {
    Tree sub;
    for (const auto &[path, node] : tree) {
        if (path.rfind(prefix + "/", 0) != 0)
            continue;
        std::string rel = path.substr(prefix.size() + 1);
        kxsweep::Node n = node;
        if (fx && fx->rewritten.count(rel))
            n.data = kxcmp::replace_all(fx->rewritten.at(rel), "{U}", "{NEW}");
        else if (kxsweep::is_index(node.data) || node.data.rfind("dirindex ", 0) == 0 || !fx)
            n.data = kxsweep::substitute(n.data, subst);
        // A rebuilt index keeps the inode keys of its source's entries, and
        // its flags are made afresh.
        n.data = std::regex_replace(n.data, std::regex(" key=[^T\n][^ \n]*"), " key=(own)");
        n.data = kxcmp::replace_all(n.data, " EOF-IN-MIDDLE", "");
        sub.emplace(rel, std::move(n));
    }
    return kxsweep::normalize(sub, {});
}

// Every pointer names the new uuid, whose cache area holds the old one's
// files (the same inodes) and links (rewritten); the old one is intact.
Problems expect_cache(const Host &host, const Tree &end, const std::string &uuid) {
    Problems p;
    const std::string vc = "kx/template/vc/";
    if (uuid.size() != 36 || uuid == kxcmp::kUuid1)
        return {"no new uuid in the configuration: '" + uuid + "'"};
    kxsweep::Subst subst{{kxcmp::kUuid1, "{NEW}"}};
    kxsweep::Normal old_cache = subtree(end, vc + kxcmp::kUuid1, nullptr, subst);
    kxsweep::Normal new_cache = subtree(end, vc + uuid, nullptr, {{uuid, "{NEW}"}});
    kxsweep::Window none{};
    for (auto &d : kxsweep::differences(old_cache, new_cache, none, false))
        p.push_back("cache area: " + d);
    for (const auto &[path, node] : new_cache.tree)
        if (S_ISREG(node.mode) && old_cache.tree.count(path) && old_cache.tree.at(path).ino != node.ino)
            p.push_back("cache area: " + path + " is not a link of the old one's");
    for (const auto &[path, node] : end)
        if (path.rfind(vc, 0) == 0 && path.rfind(vc + kxcmp::kUuid1, 0) != 0 &&
            path.rfind(vc + uuid, 0) != 0)
            p.push_back(path + ": a cache area of no container");
    (void)host;
    return p;
}

Row clone_row(bool correct) {
    auto fx = std::make_shared<kxcmp::Fixture>();
    Row row;
    row.build = [=](const Host &host) {
        *fx = build_clone_host(host);
        std::vector<std::string> argv{kxtest::tool("kxfsclone")};
        if (correct)
            argv.push_back("-c");
        else
            argv.push_back("101");
        argv.push_back(correct ? "101" : "102");
        return argv;
    };
    const int target = correct ? 101 : 102;
    // The uuid the run works towards: a correction names it in its state
    // file first and in the configuration only at its end.
    row.subst = [=](const Host &host) {
        std::string uuid = uuid_of(host, target);
        const std::string conf = host.conf_path(target);
        const std::string state = conf.substr(0, conf.rfind('/')) + "/101.kxfsclone";
        if (correct && kxtest::exists(state)) {
            std::istringstream head(kxtest::read_file(state));
            std::string kind, veid, from, to;
            if (head >> kind >> veid >> from >> to && to.size() == 36)
                uuid = to;
        }
        kxsweep::Subst subst{{uuid, "{NEW}"}};
        // The area is corrected before its cache area is cloned: until
        // then an index record's template object is not there. The cache
        // area is judged on its own (expect_cache).
        if (correct)
            subst.push_back({" key=T? ", " key=T "});
        return subst;
    };
    row.dir_times = true;
    row.end_state = [=](const Host &host, const Tree &built, const Tree &end) {
        std::string uuid = uuid_of(host, target);
        Problems p = expect_cache(host, end, uuid);
        kxsweep::Window none{};
        kxsweep::Subst subst{{kxcmp::kUuid1, "{NEW}"}};
        kxsweep::Normal want = subtree(built, kArea, fx.get(), subst);
        kxsweep::Normal got = subtree(end, correct ? kArea : kDst, nullptr, {{uuid, "{NEW}"}});
        for (auto &d : kxsweep::differences(want, got, none, true))
            p.push_back((correct ? "area: " : "copy: ") + d);
        if (correct) {
            // Entries without a pointer to rewrite are left as they were.
            for (const auto &[path, node] : want.tree)
                if (!fx->rewritten.count(path) && !fx->index_set().count(path) &&
                    got.tree.count(path) && got.tree.at(path).ino != node.ino)
                    p.push_back("area: " + path + " was replaced");
        } else {
            for (auto &d : kxsweep::differences(subtree(built, kArea, nullptr, {}),
                                                subtree(end, kArea, nullptr, {}), none, true))
                p.push_back("source: " + d);
        }
        return p;
    };
    if (!correct) {
        // A rerun may refuse to copy into what the killed run left, if it
        // says so, changes no source and leaves no destination area behind.
        row.refusal = [](const Host &host, const kxtest::Run &run, const Tree &) {
            std::error_code ec;
            return run.status == 1 && run.err.rfind("Error: ", 0) == 0 &&
                   (!kxtest::exists(host.path(kDst)) ||
                    std::filesystem::is_empty(host.path(kDst), ec));
        };
    }
    row.tamper = [=](const Host &host) {
        kxsweep::Tamper t;
        std::string root = std::string(kArea) + "/root";
        t.foreign[root + "/ml_cache.AbC123"] = "named like a temporary";
        t.foreign[root + "/new_file"] = "written after the kill";
        for (const auto &[rel, content] : t.foreign)
            kxtest::write_file(host.path(rel), content);
        return t;
    };
    return row;
}

// ---- the upgrade ------------------------------------------------------------

// An old-format area with every kind of entry the upgrade converts.
void build_old_area(const kxcheck::Area &a) {
    auto attrs = [&](const std::string &p, unsigned mode, uid_t uid) {
        ASSERT_EQ(lchown(p.c_str(), uid, uid + 1), 0);
        ASSERT_EQ(kxlchmod(p.c_str(), mode), 0);
    };
    for (int i = 0; i < 2; ++i) {
        std::string n = std::to_string(i);
        std::string d = "d" + n + "/";
        a.template_file("pkg/eq" + n, "equal " + n);
        a.template_file("pkg/ch" + n, "template " + n);
        a.template_file("pkg/hl" + n, "template hl " + n);
        a.template_file("pkg/pl" + n, "plain " + n);
        // Marked, unchanged cow file.
        attrs(a.link(d + "eq", "pkg/eq" + n), 01644, 10 + i);
        a.cow_file("pkg/eq" + n, "equal " + n);
        // Marked, changed cow file.
        attrs(a.link(d + "ch", "pkg/ch" + n), 01600, 20 + i);
        a.cow_file("pkg/ch" + n, "changed " + std::string(100 * (i + 1), 'c'));
        // Marked, changed, two names in two directories.
        std::string h = a.link(d + "hl", "pkg/hl" + n);
        attrs(h, 01640, 30 + i);
        kxtest::make_dirs(a.root + "/e" + n);
        EXPECT_EQ(link(h.c_str(), (a.root + "/e" + n + "/hl").c_str()), 0);
        a.cow_file("pkg/hl" + n, "changed hl " + n);
        // Unmarked, three names.
        std::string p = a.link(d + "pl", "pkg/pl" + n);
        attrs(p, 0604, 40 + i);
        EXPECT_EQ(link(p.c_str(), (a.root + "/e" + n + "/pl").c_str()), 0);
        EXPECT_EQ(link(p.c_str(), (a.root + "/" + d + "pl2").c_str()), 0);
        // No template.
        attrs(a.link(d + "gone", "pkg/none" + n), 0644, 50 + i);
        // A magic directory with its index, and plain entries.
        kxtest::write_file(a.root + "/" + d + "ix/f", "in index " + n);
        kxcheck::index_dir(a.root + "/" + d + "ix", a.tmpl);
        kxtest::write_file(a.root + "/" + d + "file", "file " + n);
        kxtest::make_symlink("target" + n, a.root + "/" + d + "sym");
    }
    // Two links sharing one cow file, and a lost cow file.
    a.template_file("pkg/shared", "template shared");
    attrs(a.link("s1", "pkg/shared"), 01644, 60);
    attrs(a.link("s2", "pkg/shared"), 01644, 60);
    with_attributes(a.cow_file("pkg/shared", "changed shared"));
    kxtest::write_file(a.cow + "/lost", "lost");
}

kxsweep::Row upgrade_row() {
    static const std::string area = "vz/private/101";
    kxsweep::Row row;
    row.build = [](const kxtest::Host &host) {
        kxcheck::Area a(host, area);
        build_old_area(a);
        kxsweep::settle_times(host.root());
        return std::vector<std::string>{kxtest::tool("kxfsutil"), "--upgrade", "-t", a.tmpl, a.dir};
    };
    // Every entry of the tree is the old one or its finished replacement,
    // and a link that is still there still has its cow file.
    row.interrupted = [](const kxtest::Host &host, const kxsweep::Tree &built,
                         const kxsweep::Tree &now, const kxsweep::Tree &upgraded) {
        kxsweep::Problems p;
        for (const auto &[name, e] : built) {
            if (name.rfind(area + "/root/", 0) != 0 || S_ISDIR(e.mode))
                continue;
            auto it = now.find(name);
            if (it == now.end()) {
                p.push_back(name + ": gone");
                continue;
            }
            const kxsweep::Node &f = it->second, &g = upgraded.at(name);
            // The old entry (a link may have lost its mark on the way).
            bool old = (f.mode & S_IFMT) == (e.mode & S_IFMT) && f.data == e.data;
            bool done = f.mode == g.mode && f.uid == g.uid && f.data == g.data &&
                        f.mtime.tv_sec == g.mtime.tv_sec && f.mtime.tv_nsec == g.mtime.tv_nsec;
            if (!old && !done)
                p.push_back(name + ": neither the old entry nor its replacement");
            std::string cow = area + "/cow/" + kxcheck::md5_hex(e.data);
            if (old && S_ISLNK(e.mode) && built.count(cow) &&
                (e.mode & S_ISVTX) && (f.mode & S_ISVTX) && !kxtest::exists(host.path(cow)))
                p.push_back(name + " lost its cow file");
        }
        return p;
    };
    // Killed after the version was written: nothing is left to resume.
    row.refusal = [](const kxtest::Host &host, const kxtest::Run &run, const kxsweep::Tree &) {
        return run.err == "Error: Version of private area '005.004' is not upgradable\n" &&
               kxtest::read_link(host.path(area + "/VERSION")) == "005.004";
    };
    row.refusal_when_done = true;
    // The indexes are left as they were.
    row.end_state = [](const kxtest::Host &, const kxsweep::Tree &built,
                       const kxsweep::Tree &end) {
        kxsweep::Problems p;
        for (const auto &[name, e] : built)
            if (e.data.rfind("dirindex ", 0) == 0 && (!end.count(name) || end.at(name).data != e.data))
                p.push_back(name + ": index changed");
        return p;
    };
    return row;
}

// ---- the sweeps ----------------------------------------------------------------

struct Sweep {
    const char *name;
    std::function<Row()> row;
    int min_points;   // changing calls of the uninterrupted run, at least
    bool tampered;    // bad input: the area changes between kill and rerun
};

const Sweep kSweeps[] = {
    {"Dirindex", [] { return dirindex_row(false); }, 60, false},
    {"DirindexMagicToShortcut", [] { return dirindex_row(true); }, 100, false},
    {"CheckerMove", [] { return correction_row("move"); }, 25, false},
    {"CheckerRemove", [] { return correction_row("remove"); }, 10, false},
    {"OptimizeAll", [] { return optimization_row("oall"); }, 20, false},
    {"OptimizeReplace", [] { return optimization_row("oreplace"); }, 25, false},
    {"OptimizeEmpty", [] { return optimization_row("oempty"); }, 4, false},
    {"Clone", [] { return clone_row(false); }, 250, false},
    {"CloneCorrect", [] { return clone_row(true); }, 110, false},
    {"Upgrade", upgrade_row, 90, false},
    {"DirindexChanged", [] { return dirindex_row(false); }, 10, true},
    {"CheckerMoveChanged", [] { return correction_row("move"); }, 10, true},
    {"CheckerRemoveChanged", [] { return correction_row("remove"); }, 5, true},
    {"OptimizeAllChanged", [] { return optimization_row("oall"); }, 10, true},
    {"CloneChanged", [] { return clone_row(false); }, 10, true},
    {"CloneCorrectChanged", [] { return clone_row(true); }, 10, true},
};

void PrintTo(const Sweep &s, std::ostream *os) {
    *os << s.name;
}

class CrashSweep : public testing::TestWithParam<Sweep> {};

TEST_P(CrashSweep, KilledAtEveryChangeAndRunAgain) {
    KX_REQUIRE_ROOT();
    if (!kxsweep::kCanTrace)
        GTEST_SKIP() << "the tracer knows only x86-64";
    const Sweep &s = GetParam();
    kxsweep::Report r = kxsweep::sweep(s.row(), s.tampered);
    std::cout << s.name << ": " << r.text();
    // Fewer points than the operation has changes: the sweep missed some.
    EXPECT_GE(r.points * kxsweep::kStride, s.tampered ? s.min_points : s.min_points - kxsweep::kStride);
    EXPECT_TRUE(r.failures.empty()) << r.failures.size() << " failing (above)";
}

INSTANTIATE_TEST_SUITE_P(Rows, CrashSweep, testing::ValuesIn(kSweeps),
                         [](const testing::TestParamInfo<Sweep> &p) { return p.param.name; });

// ---- the fault sweep -------------------------------------------------------------

struct Faults {
    const char *name;
    std::function<Row()> row;
};

const Faults kFaults[] = {
    {"Dirindex", [] { return dirindex_row(false); }},
    {"DirindexMagicToShortcut", [] { return dirindex_row(true); }},
    {"CheckerMove", [] { return correction_row("move"); }},
    {"CheckerRemove", [] { return correction_row("remove"); }},
    {"OptimizeAll", [] { return optimization_row("oall"); }},
    {"OptimizeReplace", [] { return optimization_row("oreplace"); }},
    {"OptimizeEmpty", [] { return optimization_row("oempty"); }},
    {"Upgrade", upgrade_row},
    {"Clone", [] { return clone_row(false); }},
    {"CloneCorrect", [] { return clone_row(true); }},
};

void PrintTo(const Faults &f, std::ostream *os) {
    *os << f.name;
}

using FaultParam = std::tuple<Faults, kxsweep::FaultMode>;

class FaultSweep : public testing::TestWithParam<FaultParam> {};

TEST_P(FaultSweep, FailingCallsAreReportedLoseNothingAndARerunFinishes) {
    KX_REQUIRE_ROOT();
    if (!kxsweep::kCanTrace)
        GTEST_SKIP() << "the tracer knows only x86-64";
    const auto &[f, mode] = GetParam();
    kxsweep::FaultReport r = kxsweep::fault_sweep(f.row(), mode);
    std::cout << f.name << ": " << r.text();
    if (r.points == 0 && mode == kxsweep::FaultMode::full && r.failures.empty())
        GTEST_SKIP() << "the operation needs no space: a full disk changes nothing";
    EXPECT_GT(r.points, 0);
    EXPECT_TRUE(r.failures.empty()) << r.failures.size() << " failing (above)";
}

std::string fault_name(const testing::TestParamInfo<FaultParam> &p) {
    static const char *const modes[] = {"", "Once", "FullDisk", "Listing"};
    return std::string(std::get<0>(p.param).name) + modes[static_cast<int>(std::get<1>(p.param))];
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultSweep,
                         testing::Combine(testing::ValuesIn(kFaults),
                                          testing::Values(kxsweep::FaultMode::once,
                                                          kxsweep::FaultMode::full,
                                                          kxsweep::FaultMode::listing)),
                         fault_name);

// The same operations with their area on a real ext4 filesystem that is
// full, or nearly so: the failed run must have reported what it did not
// do and lost nothing, and once there is space again a rerun finishes.
class RealFullDisk : public testing::TestWithParam<Faults> {};

TEST_P(RealFullDisk, FullExt4ThenSpaceAgain) {
    KX_REQUIRE_ROOT();
    const Faults &f = GetParam();
    Row row = f.row();
    row.skip.insert("vz/lost+found");  // the filesystem's, with the filler
    const kxsweep::Reference ref = kxsweep::reference_run(row, false);
    kxsweep::FaultReport r;
    for (off_t free : {0, 1024, 4096, 16384}) {
        Host host;
        kxtest::make_dirs(host.path("vz"));
        kxsweep::Ext4 disk(host.path("vz"), 4);
        if (!disk.mounted())
            GTEST_SKIP() << "no loop-mounted ext4 on this machine: " << disk.why();
        std::vector<std::string> cmd = row.build(host);
        Tree mine = kxsweep::host_tree(host, row);
        disk.fill(free);
        kxtest::Run run = kxtest::run(cmd);
        ++r.points;
        bool finished = false;
        kxsweep::Found found = kxsweep::judge_failed_run(row, ref, host, cmd, mine, run, finished,
                                                         [&disk] { disk.unfill(); });
        std::string where = std::to_string(free) + " bytes free";
        if (finished)
            ++r.absorbed[where];
        kxsweep::count_point(r, where, run.status, found, host);
    }
    std::cout << f.name << " on a full ext4: " << r.text();
    EXPECT_TRUE(r.failures.empty()) << r.failures.size() << " failing (above)";
}

INSTANTIATE_TEST_SUITE_P(Rows, RealFullDisk, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Faults> &p) { return p.param.name; });

}  // namespace
