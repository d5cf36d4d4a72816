// libFuzzer target for the dirindex reader. Each input is taken as an index
// file, copied into a private writable buffer of exactly its size, and run
// through the structural check (with a template root and a repaired copy),
// the listing and the rewrite for a new identifier. Every file the writer
// produces on the way must pass the check again. The inspector's JSON
// report of the input must print (names that are not UTF-8 included) and
// parse back to the same document.
//
// Messages are off (level 0) except for one input in sixteen (chosen by its
// checksum field), which runs with every trace on to exercise the trace
// paths; the run script closes the target's standard output and error.
#include "fuzz_seeds.h"
#include "inspect.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string template_root;

void make_file(const std::string &path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0)
        close(fd);
}

bool read_whole(const char *path, std::vector<unsigned char> &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    std::string bytes = s.str();
    out.assign(bytes.begin(), bytes.end());
    return true;
}

uint32_t load32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// True when a file the writer made holds a record longer than a block: the
// writer puts such a record in anyway and the check then rejects the file.
bool has_oversized_record(const std::vector<unsigned char> &b) {
    uint64_t pos = b.size() >= 20 ? load32(b.data() + 4) : 0;
    while (pos != 0 && pos + 16 <= b.size()) {
        uint32_t reclen = load32(b.data() + pos + 4);
        if (reclen > 4096)
            return true;
        if (reclen == 0 || (b[pos + 1] & DENT_EOF))
            break;
        pos += reclen;
    }
    return false;
}

// A file the writer made must be sound.
void expect_sound(const char *path) {
    std::vector<unsigned char> bytes;
    if (!read_whole(path, bytes))
        return;
    int saved = kxfsutil_debug_level;
    kxfsutil_debug_level = 0;
    std::vector<unsigned char> copy = bytes;
    int rc = fsck_in_core(path, copy.data(), copy.size(), nullptr, nullptr);
    kxfsutil_debug_level = saved;
    if (rc < 0 && !has_oversized_record(bytes)) {
        std::fprintf(stderr, "the writer made a file the check rejects (%d): %s\n", rc, path);
        std::abort();
    }
    unlink(path);
}

}  // namespace

// Works in KXFS_FUZZ_WORK (the run script's directory, which it removes)
// or in a new directory of its own.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string work;
    if (const char *given = std::getenv("KXFS_FUZZ_WORK")) {
        work = given;
        mkdir(work.c_str(), 0755);
    } else {
        work = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/kxfuzz.XXXXXX";
        if (!mkdtemp(work.data()))
            work.clear();
    }
    if (work.empty() || chdir(work.c_str()) != 0) {
        std::perror("work directory");
        std::exit(1);
    }
    template_root = work + "/template";
    for (const char *rel : fuzzseed::kTemplateFiles)
        make_file(template_root + "/" + rel);
    kxfsutil_debug_level = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The checksum field decides: it changes nothing but a warning.
    kxfsutil_debug_level = size > 16 && (data[16] & 0x0F) == 0x0F ? 4 : 0;

    std::vector<unsigned char> buf(data, data + size);
    if (fsck_in_core("fuzz", buf.data(), buf.size(), "repaired", template_root.c_str()) == 1)
        expect_sound("repaired");

    buf.assign(data, data + size);
    if (char **texts = read_in_core("fuzz", buf.data(), buf.size())) {
        for (char **t = texts; *t; ++t)
            std::free(*t);
        std::free(texts);
    }

    buf.assign(data, data + size);
    if (correct_dirindex("fuzz", buf.data(), buf.size(), "rewritten", fuzzseed::kOldUuid, fuzzseed::kNewUuid) == 0)
        expect_sound("rewritten");

    bool problems = false;
    nlohmann::json doc = kxinspect::dirindex_report(
        "fuzz", std::string(reinterpret_cast<const char *>(data), size), template_root.c_str(), problems);
    if (nlohmann::json::parse(kxinspect::dump(doc)) != doc) {
        std::fprintf(stderr, "the inspector's JSON does not parse back to itself\n");
        std::abort();
    }

    kxfsutil_debug_level = 0;
    return 0;
}
