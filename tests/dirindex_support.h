// Helpers of the dirindex suites: an index built from chosen records through
// the writer's model, an independent parser of index bytes, and captured
// traces at a chosen message level.
#ifndef KXFS_TESTS_DIRINDEX_SUPPORT_H
#define KXFS_TESTS_DIRINDEX_SUPPORT_H

#include "dirindex_model.h"
#include "kxtest.h"
#include "libkxfsutil.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace dirtest {


inline std::string read_fd(int fd) {
    std::string bytes;
    char buf[65536];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
        bytes.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return bytes;
}


// The bytes the writer produces for these records.
inline std::string build_index(const std::vector<Rec> &recs) {
    load_model(recs);
    select_prime();
    create_hash_table();
    int fd = memfd_create("dirindex", 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(emit_dirindex(fd), 0);
    std::string bytes = read_fd(fd);
    close(fd);
    clean_memory();
    return bytes;
}

inline uint32_t u32(const std::string &b, size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
           uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}
inline uint16_t u16(const std::string &b, size_t at) {
    return static_cast<uint16_t>(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}
inline void put32(std::string &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (8 * i));
}
inline void put16(std::string &b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v);
    b[at + 1] = static_cast<char>(v >> 8);
}

// A record as found in the file.
struct Parsed {
    uint32_t at, type, flags, namelen, reclen, ino, link;
    std::string name, target;
};

// Walks the records from the header's start by reclen (the file must be
// sound: this is the test's own reader of files the writer made).
inline std::vector<Parsed> parse(const std::string &b) {
    std::vector<Parsed> out;
    uint32_t pos = u32(b, 4);
    if (pos == 0)
        return out;
    while (pos + 16 <= b.size()) {
        Parsed p{};
        p.at = pos;
        p.type = uint8_t(b[pos]);
        p.flags = uint8_t(b[pos + 1]);
        p.namelen = u16(b, pos + 2);
        p.reclen = u32(b, pos + 4);
        p.ino = u32(b, pos + 8);
        p.link = u32(b, pos + 12);
        p.name = b.substr(pos + 16, p.namelen);
        if (p.link)
            p.target = b.substr(p.link + 4, u32(b, p.link));
        out.push_back(p);
        if (p.reclen == 0 || (p.flags & DENT_EOF))
            break;
        pos += p.reclen;
    }
    return out;
}

// The checksum the file should carry: MD5 with the field as zero.
inline uint32_t expected_checksum(std::string b) {
    put32(b, 16, 0);
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>(b.data()), static_cast<unsigned>(b.size()));
    unsigned char d[16];
    MD5Final(d, &ctx);
    return uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
}

// Sets the message level for a scope and restores it after.
class Level {
public:
    explicit Level(int level) : saved_(kxfsutil_debug_level) { kxfsutil_debug_level = level; }
    ~Level() { kxfsutil_debug_level = saved_; }

private:
    int saved_;
};

// Changes into a directory for a scope and back after.
class InDir {
public:
    explicit InDir(const std::string &dir) {
        char buf[4096];
        saved_ = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
    }
    ~InDir() { (void)!chdir(saved_.c_str()); }

private:
    std::string saved_;
};

}  // namespace dirtest

#endif
