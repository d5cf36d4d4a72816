// The dirindex file format, defined once for the writer (dirindex.cpp) and
// the reader (dirindex_check.cpp).
//
// A dirindex is: a 20-byte header, a bucket table of `prime` 4-byte offsets,
// then the records ("dentries"), grouped by bucket. All integers are
// little-endian and unsigned; offsets count from the start of the file.
//
//   header   0 signature   4 start   8 dirs   12 prime   16 checksum
//   record   0 type  1 flags  2 namelen  4 reclen  8 ino  12 link  16 name
//   target   0 tlen  4 text
//
// A name is followed by a zero byte and zeros up to the next multiple of 4;
// so is a target text. A target block follows the padded name of the first
// record (in file order) whose entry refers to that template directory text;
// later records point back to it through `link`. A record never straddles a
// 4096-byte block of the file unless it is longer than a block.
//
// The checksum is the first four bytes of the MD5 digest of the whole file
// with the checksum field taken as zero, stored in digest byte order.
#ifndef KXFS_DIRINDEX_FORMAT_H
#define KXFS_DIRINDEX_FORMAT_H

#include "libkxfsutil.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kx::dirindex {

// Header fields.
inline constexpr size_t kSignatureAt = 0;
inline constexpr size_t kStartAt = 4;
inline constexpr size_t kDirsAt = 8;
inline constexpr size_t kPrimeAt = 12;
inline constexpr size_t kChecksumAt = 16;
inline constexpr size_t kHeaderSize = DIRINDEX_HEADER_SIZE;

// Record head fields.
inline constexpr size_t kTypeAt = 0;
inline constexpr size_t kFlagsAt = 1;
inline constexpr size_t kNamelenAt = 2;
inline constexpr size_t kReclenAt = 4;
inline constexpr size_t kInoAt = 8;
inline constexpr size_t kLinkAt = 12;
inline constexpr size_t kHeadSize = DENT_HEAD_SIZE;

// Target block: the text length, then the text.
inline constexpr size_t kTlenSize = 4;

inline constexpr uint32_t kSignature = DIRINDEX_SIGNATURE;
inline constexpr uint32_t kBlock = DIRINDEX_BLOCK;
inline constexpr uint32_t kNameMax = DENT_NAME_MAX;
inline constexpr uint32_t kReclenMin = DENT_HEAD_SIZE;
inline constexpr uint32_t kReclenMax = DIRINDEX_BLOCK;

// Flag bits as stored; kChecked is the reader's in-memory mark of a record
// reached through a bucket (never written).
inline constexpr uint8_t kLastInBucket = DENT_LAST_IN_BUCKET;
inline constexpr uint8_t kEof = DENT_EOF;
inline constexpr uint8_t kStoredFlags = kLastInBucket | kEof;
inline constexpr uint8_t kChecked = 0x80;

// Record type codes the writer produces (file type bits of st_mode >> 12).
inline constexpr uint8_t kTypeDir = 4;
inline constexpr uint8_t kTypeFile = 8;
inline constexpr uint8_t kTypeSymlink = 10;

inline uint8_t type_code(mode_t mode) {
    return static_cast<uint8_t>((mode & S_IFMT) >> 12);
}

inline uint32_t load32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint16_t load16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline void store32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline void store16(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

// Bytes a name of namelen bytes occupies: itself, a zero byte, zeros to 4.
inline constexpr uint64_t padded_name(uint64_t namelen) {
    return (namelen + 4) & ~uint64_t(3);
}

// Bytes a target block of a text of tlen bytes occupies.
inline constexpr uint64_t target_block(uint64_t tlen) {
    return kTlenSize + ((tlen + 4) & ~uint64_t(3));
}

// Offset of the first byte after the bucket table.
inline constexpr uint64_t table_end(uint64_t buckets) {
    return kHeaderSize + 4 * buckets;
}

// The largest index there is: every offset in the file is 32-bit, and the
// writer refuses to produce a larger one.
inline constexpr uint64_t kFileMax = UINT32_MAX;

// No index holds this many zero bytes in a row: every 4096-byte block of
// one holds the header, a record head or a target text, apart from the
// padding after a name or text and a gap of less than a block before a
// record that would straddle.
inline constexpr uint64_t kZeroRunMax = 2 * uint64_t(kBlock);

// Whether the open file fd of the given size can be an index, judged from
// its size and holes alone, without reading it: a larger file, or one with
// a hole of kZeroRunMax bytes or more, is none. Where the filesystem cannot
// tell its holes, the size alone decides. On false, errno is EFBIG. The
// file offset is left where it was.
inline bool may_be_index(int fd, uint64_t size) {
    if (size > kFileMax) {
        errno = EFBIG;
        return false;
    }
    const int saved = errno;
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    bool fits = true;
    for (off_t at = 0; static_cast<uint64_t>(at) < size;) {
        off_t hole = ::lseek(fd, at, SEEK_HOLE);
        if (hole < 0 || static_cast<uint64_t>(hole) >= size)
            break;
        off_t data = ::lseek(fd, hole, SEEK_DATA);
        uint64_t end = data < 0 || static_cast<uint64_t>(data) > size ? size : uint64_t(data);
        if (end - uint64_t(hole) >= kZeroRunMax) {
            fits = false;
            break;
        }
        if (data <= hole)
            break;
        at = data;
    }
    if (offset >= 0)
        ::lseek(fd, offset, SEEK_SET);
    errno = fits ? saved : EFBIG;
    return fits;
}

// Bucket count for n records.
inline constexpr uint32_t bucket_count(uint64_t n) {
    return n <= 7 ? 1 : n <= 255 ? 251 : 1019;
}

// Where a record of the given size goes when the next free byte is pos: at
// pos, or at the next 4096-byte boundary when it would straddle one.
inline constexpr uint64_t place_record(uint64_t pos, uint64_t size) {
    if (size > 0 && pos / kBlock != (pos + size - 1) / kBlock)
        return (pos + kBlock - 1) & ~uint64_t(kBlock - 1);
    return pos;
}

// The name hash over exactly namelen bytes: 4-byte little-endian words
// first, then the remaining bytes sign-extended.
inline uint32_t name_hash(const char *name, size_t namelen) {
    const auto *p = reinterpret_cast<const unsigned char *>(name);
    uint32_t h = 0;
    for (; namelen >= 4; namelen -= 4, p += 4)
        h = (h << 4) ^ (h >> 4) ^ load32(p);
    for (; namelen > 0; --namelen, ++p)
        h = (h << 4) ^ (h >> 4) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h;
}

// MD5 over any size (MD5Update takes 32-bit lengths).
inline void md5_update(MD5_CTX *ctx, const unsigned char *p, size_t n) {
    while (n > 0) {
        unsigned int piece = n > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(n);
        MD5Update(ctx, p, piece);
        p += piece;
        n -= piece;
    }
}

// The first four bytes of the MD5 digest of the size bytes at data.
inline void digest_prefix(const unsigned char *data, size_t size, unsigned char out[4]) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    md5_update(&ctx, data, size);
    unsigned char digest[16];
    MD5Final(digest, &ctx);
    std::memcpy(out, digest, 4);
}

// The checksum of a whole file image: the digest prefix computed as if the
// checksum field were zero, whatever it holds.
inline void checksum(const unsigned char *data, size_t size, unsigned char out[4]) {
    static const unsigned char zero[4] = {0, 0, 0, 0};
    if (size < kChecksumAt + 4) {
        digest_prefix(data, size, out);
        return;
    }
    MD5_CTX ctx;
    MD5Init(&ctx);
    md5_update(&ctx, data, kChecksumAt);
    md5_update(&ctx, zero, 4);
    md5_update(&ctx, data + kChecksumAt + 4, size - kChecksumAt - 4);
    unsigned char digest[16];
    MD5Final(digest, &ctx);
    std::memcpy(out, digest, 4);
}

// The letter the checker prints for a record type code.
inline const char *type_letter(unsigned int code) {
    static const char *const letters[15] = {"0", "p", "c", "3", "d", "5", "b", "7",
                                            "-", "9", "l", "11", "s", "13", "w"};
    return code < 15 ? letters[code] : "?";
}

// Helpers the reader shares with the writer (dirindex.cpp).

// The working directory's path ("." when it cannot be had).
std::string working_directory();
// Sets current_path to a heap copy of shown, or of the working directory's
// path when shown is null.
void set_current_path(const char *shown = nullptr);
// Starts the writer's model afresh: counters 0, memory released.
void reset_model();
// New entry with a copy of exactly namelen bytes of name, appended to the
// entry list; target may be null.
struct dent *append_entry(const char *name, size_t namelen, uint8_t type, uint32_t ino,
                          struct poolstr *target);
// Writes the model (after select_prime and create_hash_table) into fd with
// emit_dirindex and closes fd: 0, or -1 when a write or the close failed
// (reported).
int write_model(int fd);

}  // namespace kx::dirindex

#endif
