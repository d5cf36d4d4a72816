// Deterministic generator of a synthetic container host for the benchmarks:
// a template tree of packages below kx/template, the private area of
// container 101 (layout 3, version 005.004, or 005.003 with --version) whose
// root tree of N entries
// points into it (magic links, shortcuts, cow files with marks, plain files,
// plain links, hard links, linked magic directories, a directory that cannot
// be indexed, hard-linked zoneinfo entries; with --linked-magic K, every
// K-th magic link a second name), the container's cache area below
// kx/template/vc, and the configuration files of containers 101 and 102.
// An area of version 005.003 has no linked magic directories: their marker
// links would make the upgrade refuse it.
//
// Link modes and cow marks are set through the host call 509; run it under
// the host simulator (LD_PRELOAD) so that they hold. Without it the links
// keep the kernel's 0777 and no mark.
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kVeid = 101;
constexpr const char *kUuid = "0b6c3a4e-8d1f-4c2a-9e57-3f1d2b6a8c90";
constexpr const char *kPrefix = "distro/1/x86_64";

struct Options {
    long entries = 100000;
    unsigned long long seed = 1;
    int links_per_file = 1;
    int linked_magic = 0;
    std::string version = "005.004";
    std::string out;
};

// splitmix64: small, fast and the same everywhere.
struct Rng {
    unsigned long long state;
    unsigned long long next() {
        unsigned long long z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<unsigned long long>(n)); }
};

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "gen_host: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void write_data(const std::string &path, const std::string &data, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0)
        die("create " + path);
    if (!data.empty() && ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        die("write " + path);
    ::close(fd);
    if (::chmod(path.c_str(), mode) != 0)
        die("chmod " + path);
}

void mkdirs(const std::string &path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        die("mkdir " + path);
}

// The host call that gives a symbolic link its own permission bits.
void set_link_mode(const std::string &path, mode_t mode) {
    ::syscall(509, path.c_str(), static_cast<unsigned int>(mode));
}

std::string md5_hex(const std::string &text) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>(text.data()),
              static_cast<unsigned int>(text.size()));
    unsigned char digest[16];
    MD5Final(digest, &ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

class Generator {
public:
    explicit Generator(const Options &o) : opt_(o), rng_{o.seed} {
        tmpl_ = opt_.out + "/kx/template";
        area_ = opt_.out + "/vz/private/" + std::to_string(kVeid);
        root_ = area_ + "/root";
        cow_ = area_ + "/cow";
        cache_ = tmpl_ + "/vc/" + kUuid;
    }

    void run() {
        mkdirs(root_);
        mkdirs(cow_);
        mkdirs(cache_);
        mkdirs(opt_.out + "/etc/sysconfig/kx-scripts");
        if (::symlink(opt_.version.c_str(), (area_ + "/VERSION").c_str()) != 0)
            die("symlink VERSION");
        write_configuration();
        make_zoneinfo();
        make_unindexable();
        fill_tree();
        make_hard_links();
        std::printf("host=%s\narea=%s\nveid=%d\nconf=%s/etc/sysconfig/kx-scripts/%d.conf\n"
                    "template=%s\nuuid=%s\nentries=%ld\n",
                    opt_.out.c_str(), area_.c_str(), kVeid, opt_.out.c_str(), kVeid,
                    tmpl_.c_str(), kUuid, made_);
    }

private:
    std::string package(int i) const { return "pkg" + std::to_string(i) + "-1.0-1.x86_64"; }

    void write_configuration() {
        std::string conf_dir = opt_.out + "/etc/sysconfig/kx-scripts/";
        std::string common = "VE_PRIVATE=\"" + opt_.out + "/vz/private/$VEID\"\n";
        write_data(conf_dir + "101.conf",
                   common + "UUID=\"" + kUuid + "\"\nOSTEMPLATE=\"distro-1-x86_64\"\n", 0644);
        write_data(conf_dir + "102.conf", common + "OSTEMPLATE=\"distro-1-x86_64\"\n", 0644);
        write_data(area_ + "/ve.conf", "OSTEMPLATE=\"distro-1-x86_64\"\n", 0644);
        std::string list;
        for (int i = 0; i < kPackages; ++i)
            list += "pkg" + std::to_string(i) + " x86_64 1.0-1\n";
        list += "tzdata noarch 2026a-1\n";
        mkdirs(area_ + "/templates");
        write_data(area_ + "/templates/kxpackages", list, 0644);
    }

    // A template file for the area path rel, in package pkg; its magic text.
    std::string template_file(int pkg, const std::string &rel, const std::string &content) {
        std::string text = std::string("////") + kPrefix + "/" + package(pkg) + "/" + rel;
        std::string path = tmpl_ + "/" + kPrefix + "/" + package(pkg) + "/" + rel;
        mkdirs(fs::path(path).parent_path().string());
        write_data(path, content, 0644);
        return text;
    }

    // One entry named name in the area directory dir (relative to root).
    void make_entry(int pkg, const std::string &dir, const std::string &name) {
        std::string rel = dir.empty() ? name : dir + "/" + name;
        std::string path = root_ + "/" + rel;
        std::string content = "template " + rel + "\n" + std::string(rng_.below(2048), 't');
        int kind = rng_.below(100);
        if (kind < 66) {  // magic link to the template file
            std::string text = template_file(pkg, rel, content);
            if (::symlink(text.c_str(), path.c_str()) != 0)
                die("symlink " + path);
            set_link_mode(path, 0644);
            if (opt_.linked_magic > 0)
                magic_.push_back(path);
        } else if (kind < 74) {  // shortcut
            std::string text = template_file(pkg, rel, content);
            write_data(path, text, 0644 | S_ISVTX);
        } else if (kind < 79) {  // changed file: marked link, changed cow file
            std::string text = template_file(pkg, rel, content);
            make_cow(path, text, content + "changed by the container\n");
            if (opt_.linked_magic > 0)
                magic_.push_back(path);
        } else if (kind < 82) {  // cow file equal to its template
            std::string text = template_file(pkg, rel, content);
            make_cow(path, text, content);
        } else if (kind < 84) {  // cache link
            std::string cached = "cache/" + rel;
            mkdirs(fs::path(cache_ + "/" + cached).parent_path().string());
            write_data(cache_ + "/" + cached, content, 0644);
            std::string text = std::string("////vc/") + kUuid + "/" + cached;
            if (::symlink(text.c_str(), path.c_str()) != 0)
                die("symlink " + path);
            set_link_mode(path, 0644);
        } else if (kind < 86) {  // plain symbolic link
            if (::symlink(("../" + name).c_str(), path.c_str()) != 0)
                die("symlink " + path);
        } else {  // the container's own file
            write_data(path, std::string(rng_.below(8192), static_cast<char>('a' + rng_.below(26))),
                       0644);
            plain_.push_back(path);
        }
        ++made_;
    }

    void make_cow(const std::string &path, const std::string &text, const std::string &data) {
        if (::symlink(text.c_str(), path.c_str()) != 0)
            die("symlink " + path);
        set_link_mode(path, 0644 | S_ISVTX);
        std::string cow = cow_ + "/" + md5_hex(text);
        if (::access(cow.c_str(), F_OK) != 0)
            write_data(cow, data, 0644);
    }

    // Directories fan out to 5-30 entries, one in fifteen a subdirectory
    // (about 1.2 per directory, so that few directories stay empty when
    // the budget runs out), breadth first, until the entry budget is spent.
    void fill_tree() {
        struct Pending {
            std::string rel;
            int pkg;
        };
        std::vector<Pending> queue;
        for (const char *top : {"usr/bin", "usr/lib", "usr/share", "etc", "var/lib", "opt"}) {
            mkdirs(root_ + "/" + top);
            made_ += 1;
            queue.push_back({top, rng_.below(kPackages)});
        }
        for (size_t q = 0; q < queue.size() && made_ < opt_.entries; ++q) {
            Pending dir = queue[q];
            int fanout = 5 + rng_.below(26);
            for (int i = 0; i < fanout && made_ < opt_.entries; ++i) {
                std::string name = "e" + std::to_string(i);
                if (rng_.below(15) == 0) {
                    std::string sub = dir.rel + "/d" + std::to_string(i);
                    mkdirs(root_ + "/" + sub);
                    if (rng_.below(50) == 0 && opt_.version != "005.003")
                        link_magic_dir(dir.pkg, sub);
                    ++made_;
                    queue.push_back({sub, rng_.below(10) == 0 ? rng_.below(kPackages) : dir.pkg});
                } else {
                    make_entry(dir.pkg, dir.rel, name);
                }
            }
        }
    }

    // A template-backed directory whose marker is a magic link (not indexed again).
    void link_magic_dir(int pkg, const std::string &rel) {
        std::string text = std::string("////") + kPrefix + "/" + package(pkg) + "/" + rel;
        mkdirs(tmpl_ + "/" + kPrefix + "/" + package(pkg) + "/" + rel);
        std::string marker = root_ + "/" + rel + "/._kxlnk_.";
        if (::symlink(text.c_str(), marker.c_str()) != 0)
            die("symlink " + marker);
        ::chmod((root_ + "/" + rel).c_str(), 0755 | S_ISUID);
    }

    // zoneinfo: pairs of hard-linked shortcuts pointing at one template
    // name, where the template holds both names as one inode.
    void make_zoneinfo() {
        std::string pkg = "tzdata-2026a-1.noarch";
        std::string base = std::string(kPrefix) + "/" + pkg + "/usr/share/zoneinfo";
        mkdirs(tmpl_ + "/" + base + "/Europe");
        mkdirs(root_ + "/usr/share/zoneinfo/Europe");
        mkdirs(root_ + "/usr/share/zoneinfo/Etc");
        for (int i = 0; i < 20; ++i) {
            std::string city = "City" + std::to_string(i);
            std::string alias = "Alias" + std::to_string(i);
            std::string tfile = tmpl_ + "/" + base + "/Europe/" + city;
            write_data(tfile, "TZif zone " + city + "\n", 0644);
            if (::link(tfile.c_str(), (tmpl_ + "/" + base + "/Europe/" + alias).c_str()) != 0)
                die("link template alias");
            std::string text = "////" + base + "/Europe/" + city;
            std::string first = root_ + "/usr/share/zoneinfo/Europe/" + city;
            write_data(first, text, 0644 | S_ISVTX);
            if (::link(first.c_str(), (root_ + "/usr/share/zoneinfo/Etc/" + alias).c_str()) != 0)
                die("link zoneinfo alias");
            made_ += 2;
        }
    }

    // A directory holding a fifo: it can never be indexed.
    void make_unindexable() {
        std::string dir = root_ + "/run/special";
        mkdirs(dir);
        if (::mkfifo((dir + "/fifo").c_str(), 0600) != 0)
            die("mkfifo");
        write_data(dir + "/pidfile", "4242\n", 0644);
        made_ += 4;
    }

    // Further names of the container's own files, in other directories: one
    // file in fifty by default, every file with --links-per-file K > 1.
    void make_hard_links() {
        int extra = opt_.links_per_file > 1 ? opt_.links_per_file - 1 : 0;
        mkdirs(root_ + "/var/links");
        long n = 0;
        for (size_t i = 0; i < plain_.size(); ++i) {
            int names = extra ? extra : (i % 50 == 0 ? 1 : 0);
            for (int k = 0; k < names; ++k) {
                std::string name = root_ + "/var/links/h" + std::to_string(n++);
                if (::link(plain_[i].c_str(), name.c_str()) != 0)
                    die("link " + name);
            }
        }
        made_ += n;
        // Further names of magic links (marked ones with a changed cow file
        // among them), in one directory of their own.
        if (opt_.linked_magic <= 0)
            return;
        mkdirs(root_ + "/var/mlinks");
        n = 0;
        for (size_t i = 0; i < magic_.size(); i += static_cast<size_t>(opt_.linked_magic)) {
            std::string name = root_ + "/var/mlinks/m" + std::to_string(n++);
            if (::link(magic_[i].c_str(), name.c_str()) != 0)
                die("link " + name);
        }
        made_ += n;
    }

    static constexpr int kPackages = 40;
    Options opt_;
    Rng rng_;
    std::string tmpl_, area_, root_, cow_, cache_;
    std::vector<std::string> plain_, magic_;
    long made_ = 0;
};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: gen_host [--entries N] [--seed S] [--links-per-file K]\n"
                         "                [--linked-magic K] [--version 005.003|005.004] OUTDIR\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--entries")
            opt.entries = std::strtol(value(), nullptr, 10);
        else if (a == "--seed")
            opt.seed = std::strtoull(value(), nullptr, 10);
        else if (a == "--links-per-file")
            opt.links_per_file = static_cast<int>(std::strtol(value(), nullptr, 10));
        else if (a == "--linked-magic")
            opt.linked_magic = static_cast<int>(std::strtol(value(), nullptr, 10));
        else if (a == "--version")
            opt.version = value();
        else if (!a.empty() && a[0] == '-')
            usage();
        else if (opt.out.empty())
            opt.out = a;
        else
            usage();
    }
    if (opt.out.empty() || opt.entries < 10 ||
        (opt.version != "005.003" && opt.version != "005.004"))
        usage();
    if (fs::exists(opt.out) && !fs::is_empty(opt.out)) {
        std::fprintf(stderr, "gen_host: %s exists and is not empty\n", opt.out.c_str());
        return 1;
    }
    mkdirs(opt.out);
    opt.out = fs::canonical(opt.out).string();
    Generator(opt).run();
    return 0;
}
