// The names of cow files.
// A cow file lives in the area's flat "cow" directory under a name derived
// from the whole text of the magic link it belongs to: the MD5 digest in
// lowercase hexadecimal for areas of "005.003" and later, an older additive
// hash in uppercase hexadecimal before. The checker chooses the scheme from
// the area's version; the inspector shows both.
//
// Relies on: the system's MD5 (md5.cpp) and xstrdup (common.cpp).
#include "libkxfsutil.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

char *md5_name(const char *text) {
    static const char digits[] = "0123456789abcdef";
    MD5_CTX ctx;
    unsigned char digest[16];
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const unsigned char *>(text),
              static_cast<unsigned int>(std::strlen(text)));
    MD5Final(digest, &ctx);
    char name[2 * sizeof digest + 1];
    for (size_t i = 0; i < sizeof digest; ++i) {
        name[2 * i] = digits[digest[i] >> 4];
        name[2 * i + 1] = digits[digest[i] & 0xF];
    }
    name[2 * sizeof digest] = '\0';
    return xstrdup(name);
}

char *legacy_name(const char *text) {
    uint64_t acc = 0;
    for (const char *p = text; *p; ++p) {
        // The byte as a signed value widened to 32 bits.
        auto v = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        uint64_t term = static_cast<uint64_t>(v << 4) + static_cast<uint64_t>(v >> 4);
        acc = (acc + term) * 11u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIX64, acc);
    return xstrdup(buf);
}
