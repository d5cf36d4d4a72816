// Builders for the checker's end-to-end tests: a private area below a
// hermetic host root, its template tree, magic links with and without the
// cow mark, cow files under their MD5 names, and a runner for kxfsutil.
#ifndef KXFSUTIL_AREA_H
#define KXFSUTIL_AREA_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "kxtest.h"
#include "libkxfsutil.h"

namespace kxcheck {

// Cow file name of a magic-link text in MD5 naming (areas of "005.003" on).
inline std::string md5_hex(std::string_view text) {
    MD5_CTX ctx;
    unsigned char d[16];
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>(text.data()),
              static_cast<unsigned int>(text.size()));
    MD5Final(d, &ctx);
    std::string s;
    char b[3];
    for (unsigned char c : d) {
        std::snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

class Area {
public:
    // An area with an empty root and cow directory and the given version
    // link (none when version is empty).
    explicit Area(const kxtest::Host &host, std::string_view rel = "vz/private/101",
                  std::string_view version = "005.003")
        : dir(host.path(rel)), tmpl(host.template_root()), root(dir + "/root"),
          cow(dir + "/cow") {
        kxtest::make_dirs(root);
        kxtest::make_dirs(cow);
        if (!version.empty())
            kxtest::make_symlink(std::string(version), dir + "/VERSION");
    }

    // A file of the template tree.
    std::string template_file(std::string_view rel, std::string_view content) const {
        std::string p = tmpl + "/" + std::string(rel);
        kxtest::write_file(p, content);
        return p;
    }
    // A magic link at root/rel to the template object target (no prefix).
    std::string link(std::string_view rel, std::string_view target) const {
        std::string p = root + "/" + std::string(rel);
        kxtest::make_magic_link(p, target);
        return p;
    }
    // The same with the cow mark (needs the host simulator, so root).
    std::string marked(std::string_view rel, std::string_view target) const {
        std::string p = link(rel, target);
        if (kxlchmod(p.c_str(), 0777 | S_ISVTX) != 0)
            ADD_FAILURE() << "cannot mark " << p;
        return p;
    }
    // The cow file of the magic-link target.
    std::string cow_file(std::string_view target, std::string_view content) const {
        std::string p = cow + "/" + md5_hex("////" + std::string(target));
        kxtest::write_file(p, content);
        return p;
    }
    std::string cow_path(std::string_view target) const {
        return cow + "/" + md5_hex("////" + std::string(target));
    }
    std::string at(std::string_view rel) const { return dir + "/" + std::string(rel); }

    // Runs the checker with the options, "-t", the template and the area.
    kxtest::Run check(std::vector<std::string> opts, std::string_view input = {}) const {
        std::vector<std::string> argv{kxtest::tool("kxfsutil")};
        argv.insert(argv.end(), opts.begin(), opts.end());
        argv.insert(argv.end(), {"-t", tmpl, dir});
        return kxtest::run(argv, {}, input);
    }

    std::string dir, tmpl, root, cow;
};

// For EXPECT_TRUE: holds when needle is part of hay, and says so otherwise.
inline testing::AssertionResult contains(const std::string &hay, const std::string &needle) {
    if (hay.find(needle) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << needle << "\" is not in:\n" << hay;
}

// Indexes dir with the library's writer, as the dirindex tool does.
inline void index_dir(const std::string &dir, const std::string &tmpl) {
    char *cwd = getcwd(nullptr, 0);
    ASSERT_EQ(create_dirindex(dir.c_str(), DIRINDEX_NAME, tmpl.c_str(), 0), 0);
    ASSERT_EQ(chdir(cwd), 0);
    free(cwd);
}

inline bool is_marked(const std::string &path) {
    return (kxtest::lstat_of(path).st_mode & S_ISVTX) != 0;
}

}  // namespace kxcheck

#endif
