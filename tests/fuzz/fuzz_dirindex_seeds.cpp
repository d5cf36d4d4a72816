// Writes the fuzzer's seed corpus: indexes made by the writer from fixed
// models (the worked layout, shared target blocks, cache links, lost links,
// records moved across 4096-byte blocks, 251 and 1019 buckets, an empty
// index). Deterministic: the same files on every run.
//   fuzz_dirindex_seeds DIR
#include "../dirindex_model.h"
#include "fuzz_seeds.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using dirtest::Rec;

bool write_seed(const std::string &path, const std::vector<Rec> &recs) {
    dirtest::load_model(recs);
    select_prime();
    create_hash_table();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = emit_dirindex(fd) == 0;
    ok = close(fd) == 0 && ok;
    clean_memory();
    return ok;
}

std::vector<std::vector<Rec>> models() {
    const std::string cache = std::string("////vc/") + fuzzseed::kOldUuid;
    std::vector<std::vector<Rec>> m;
    m.push_back({{".", 4, 10, ""}, {"..", 4, 4, ""}, {"a", 8, 12, ""}});
    m.push_back({});
    m.push_back({{".", 4, 10, ""}, {"a", 8, 11, "////pkg/d"}, {"b", 8, 13, "////pkg/d"}, {"c", 10, 15, "////pkg/d"}});
    m.push_back({{"a", 8, 3, cache + "/x"}, {"b", 8, 5, "////vc//" + std::string(fuzzseed::kOldUuid) + "//x"},
                 {"sub", 4, 6, ""}, {"d", 8, 7, "////pkg/e"}});
    m.push_back({{"a", 8, 3, "////" + std::string(2996, 't')}, {"b", 8, 5, "////" + std::string(1996, 'u')}});

    std::vector<Rec> eight;
    for (int i = 0; i < 8; ++i)
        eight.push_back({"f" + std::to_string(i), uint8_t(i % 3 ? 8 : 4), uint32_t(2 * i + 1),
                         i % 2 ? "////pkg/d" : ""});
    m.push_back(eight);

    std::vector<Rec> many;
    for (int i = 0; i < 300; ++i)
        many.push_back({std::string(1 + i % 60, char('a' + i % 26)) + std::to_string(i), uint8_t(i % 7 ? 8 : 4),
                        uint32_t(4 * i), i % 3 ? "" : "////pkg/" + std::to_string(i % 5)});
    m.push_back(many);
    return m;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(dir.c_str());
        return 1;
    }
    int n = 0;
    for (const auto &model : models()) {
        std::string path = dir + "/seed-" + std::to_string(n++);
        if (!write_seed(path, model)) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
