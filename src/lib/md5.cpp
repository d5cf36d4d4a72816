// The system's own MD5 message digest (RFC 1321), used for the checksum of
// dirindex files. The context keeps the four state words, the message length
// in bits as two 32-bit words (low word first) and the pending partial block.
#include "libkxfsutil.h"

#include <cstring>

namespace {

// Sine-derived additive constants, one per step.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts: four per round, repeated over the round's 16 steps.
constexpr unsigned kShift[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t load_le32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store_le32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

void MD5Init(MD5_CTX *ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = ctx->count[1] = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void MD5Transform(uint32_t state[4], const unsigned char block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = load_le32(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        uint32_t f;
        unsigned g;
        switch (i / 16) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
            break;
        }
        uint32_t next = b + rotl(a + f + kSine[i] + x[g], kShift[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void MD5Update(MD5_CTX *ctx, const unsigned char *input, unsigned int len) {
    unsigned int have = (ctx->count[0] >> 3) & 0x3f;

    uint32_t bits_low = static_cast<uint32_t>(len) << 3;
    ctx->count[0] += bits_low;
    if (ctx->count[0] < bits_low)
        ++ctx->count[1];
    ctx->count[1] += static_cast<uint32_t>(len) >> 29;

    unsigned int room = 64 - have;
    unsigned int done = 0;
    if (len >= room) {
        std::memcpy(ctx->buffer + have, input, room);
        MD5Transform(ctx->state, ctx->buffer);
        for (done = room; done + 64 <= len; done += 64)
            MD5Transform(ctx->state, input + done);
        have = 0;
    }
    std::memcpy(ctx->buffer + have, input + done, len - done);
}

void MD5Final(unsigned char digest[16], MD5_CTX *ctx) {
    unsigned char length[8];
    store_le32(length, ctx->count[0]);
    store_le32(length + 4, ctx->count[1]);

    // Pad with a one bit and zeros to 56 bytes modulo 64, then the length.
    static const unsigned char padding[64] = {0x80};
    unsigned int have = (ctx->count[0] >> 3) & 0x3f;
    unsigned int pad = have < 56 ? 56 - have : 120 - have;
    MD5Update(ctx, padding, pad);
    MD5Update(ctx, length, 8);

    for (int i = 0; i < 4; ++i)
        store_le32(digest + 4 * i, ctx->state[i]);
    std::memset(ctx, 0, sizeof *ctx);
}
