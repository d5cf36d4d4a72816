// The string hash behind the checker's cow hash: the lookup2 structure with
// initial value 0, computed on signed 32-bit integers (bytes sign-extended,
// right shifts arithmetic). The bucket order decides the order in which lost
// cow files are reported, so the arithmetic is kept exactly.
#include "libkxfsutil.h"

#include <cstdint>

namespace {

// Arithmetic right shift of the 32-bit pattern x.
inline uint32_t sra(uint32_t x, int n) {
    return static_cast<uint32_t>(static_cast<int32_t>(x) >> n);
}

inline uint32_t byte_at(const char *p, int i) {
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(p[i])));
}

inline void mix(uint32_t &a, uint32_t &b, uint32_t &c) {
    a -= b; a -= c; a ^= sra(c, 13);
    b -= c; b -= a; b ^= a << 8;
    c -= a; c -= b; c ^= sra(b, 13);
    a -= b; a -= c; a ^= sra(c, 12);
    b -= c; b -= a; b ^= a << 16;
    c -= a; c -= b; c ^= sra(b, 5);
    a -= b; a -= c; a ^= sra(c, 3);
    b -= c; b -= a; b ^= a << 10;
    c -= a; c -= b; c ^= sra(b, 15);
}

inline uint32_t word_at(const char *k) {
    return byte_at(k, 0) + (byte_at(k, 1) << 8) + (byte_at(k, 2) << 16) + (byte_at(k, 3) << 24);
}

}  // namespace

int gethash(const char *data, int length) {
    uint32_t a = 0x9E3779B9u, b = 0x9E3779B9u, c = 0;
    const char *k = data;
    int n = length;
    while (n >= 12) {
        a += word_at(k);
        b += word_at(k + 4);
        c += word_at(k + 8);
        mix(a, b, c);
        k += 12;
        n -= 12;
    }
    c += static_cast<uint32_t>(length);
    switch (n) {  // every case falls through, highest byte first
    case 11: c += byte_at(k, 10) << 24; [[fallthrough]];
    case 10: c += byte_at(k, 9) << 16; [[fallthrough]];
    case 9: c += byte_at(k, 8) << 8; [[fallthrough]];
    case 8: b += byte_at(k, 7) << 24; [[fallthrough]];
    case 7: b += byte_at(k, 6) << 16; [[fallthrough]];
    case 6: b += byte_at(k, 5) << 8; [[fallthrough]];
    case 5: b += byte_at(k, 4); [[fallthrough]];
    case 4: a += byte_at(k, 3) << 24; [[fallthrough]];
    case 3: a += byte_at(k, 2) << 16; [[fallthrough]];
    case 2: a += byte_at(k, 1) << 8; [[fallthrough]];
    case 1: a += byte_at(k, 0); [[fallthrough]];
    default: break;
    }
    mix(a, b, c);
    return static_cast<int>(c);
}
