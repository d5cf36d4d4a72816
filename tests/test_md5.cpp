// The system's MD5: the RFC 1321 test suite, input split at every block
// boundary, long inputs, and the block transform on its own.
#include "libkxfsutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const unsigned char d[16]) {
    std::string s;
    char buf[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", d[i]);
        s += buf;
    }
    return s;
}

std::string md5_pieces(const std::string &data, size_t piece) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    for (size_t i = 0; i < data.size(); i += piece) {
        size_t n = std::min(piece, data.size() - i);
        MD5Update(&ctx, reinterpret_cast<const unsigned char *>(data.data() + i), static_cast<unsigned>(n));
    }
    unsigned char d[16];
    MD5Final(d, &ctx);
    return hex(d);
}

std::string md5(const std::string &data) {
    return md5_pieces(data, data.empty() ? 1 : data.size());
}

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5("1234567890123456789012345678901234567890123456789012345678901234567890"
                  "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, SplitInputGivesTheSameDigest) {
    // Lengths around the 56-byte padding limit and the 64-byte block.
    for (size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
        std::string data;
        for (size_t i = 0; i < len; ++i)
            data += static_cast<char>('A' + i % 53);
        std::string whole = md5(data);
        for (size_t piece : {1u, 3u, 63u, 64u, 65u})
            EXPECT_EQ(md5_pieces(data, piece), whole) << "length " << len << " piece " << piece;
    }
}

TEST(Md5, MillionLetters) {
    EXPECT_EQ(md5_pieces(std::string(1000000, 'a'), 4093), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, FinalClearsTheContext) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>("abc"), 3);
    unsigned char d[16];
    MD5Final(d, &ctx);
    for (unsigned char c : ctx.buffer)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(ctx.state[0], 0u);
}

TEST(Md5, TransformOfThePaddedBlock) {
    // "abc" padded by hand into one block; the state after one transform is
    // the digest.
    unsigned char block[64] = {'a', 'b', 'c', 0x80};
    block[56] = 24;  // length in bits, little-endian
    uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    MD5Transform(state, block);
    unsigned char d[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            d[4 * i + j] = static_cast<unsigned char>(state[i] >> (8 * j));
    EXPECT_EQ(hex(d), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
