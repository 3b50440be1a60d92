// Checksums and digests (see checksum.h).
//
// CRC-32 runs sixteen bytes a step through sixteen derived tables (slicing):
// table k maps a byte to the CRC of that byte followed by k zero bytes, so
// the sixteen lookups of one step are independent and the result equals the
// byte-at-a-time definition. The tables are computed at compile time.
#include "runtime/checksum.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstring>

#include "runtime/error.h"

namespace kel {

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;
constexpr int kCrcSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kCrcSlices>;

constexpr CrcTables crc_make_tables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
        t[0][n] = c;
    }
    for (int s = 1; s < kCrcSlices; s++)
        for (uint32_t n = 0; n < 256; n++) t[s][n] = (t[s - 1][n] >> 8) ^ t[0][t[s - 1][n] & 0xFF];
    return t;
}

constexpr CrcTables kCrcTables = crc_make_tables();

inline uint32_t load32le(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

uint32_t checksum_crc32(const uint8_t* p, size_t n, uint32_t crc) {
    const auto& t = kCrcTables;
    crc = ~crc;
    while (n >= 16) {
        uint32_t a = load32le(p) ^ crc, b = load32le(p + 4), c = load32le(p + 8), d = load32le(p + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += 16;
        n -= 16;
    }
    while (n--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
    return ~crc;
}

uint32_t checksum_adler32(const uint8_t* p, size_t n, uint32_t adler) {
    constexpr uint32_t kMod = 65521;
    constexpr size_t kRun = 3854;  // both sums stay far below 2^32 within a run
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (n > 0) {
        size_t run = n < kRun ? n : kRun;
        n -= run;
        while (run >= 16) {
            for (int i = 0; i < 16; i++) {
                a += p[i];
                b += a;
            }
            p += 16;
            run -= 16;
        }
        while (run--) {
            a += *p++;
            b += a;
        }
        a %= kMod;
        b %= kMod;
    }
    return b << 16 | a;
}

uint32_t checksum_tcp(const uint8_t* p, size_t n) {
    // A 64-bit sum cannot overflow for any buffer this process can hold, and
    // folding until no carry is left keeps large inputs exact.
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < n; i += 2) sum += uint32_t(p[i]) << 8 | p[i + 1];
    if (i < n) sum += uint32_t(p[i]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(~sum & 0xFFFF);
}

uint32_t checksum_digest_size(int32_t method) {
    switch (method) {
    case CHECKSUM_MD5: return 16;
    case CHECKSUM_SHA1: return 20;
    case CHECKSUM_SHA256: return 32;
    case CHECKSUM_SHA384: return 48;
    case CHECKSUM_SHA512: return 64;
    default: return 0;
    }
}

uint32_t checksum_hmac_block_size(int32_t method) {
    return method == CHECKSUM_SHA384 || method == CHECKSUM_SHA512 ? 128 : 64;
}

namespace {

const EVP_MD* digest_algorithm(int32_t method) {
    switch (method) {
    case CHECKSUM_MD5: return EVP_md5();
    case CHECKSUM_SHA1: return EVP_sha1();
    case CHECKSUM_SHA256: return EVP_sha256();
    case CHECKSUM_SHA384: return EVP_sha384();
    case CHECKSUM_SHA512: return EVP_sha512();
    default: return nullptr;
    }
}

[[noreturn]] void digest_failed() { error_raise(ErrCat::Internal, "feature-na"); }

// A present algorithm, or internal `feature-na`.
const EVP_MD* need_algorithm(int32_t method) {
    const EVP_MD* md = digest_algorithm(method);
    if (!md) digest_failed();
    return md;
}

}  // namespace

Digest checksum_crypto_hash(const uint8_t* bytes, size_t length, int32_t method) {
    const EVP_MD* md = need_algorithm(method);
    Digest d;
    unsigned int size = 0;
    static const uint8_t kEmpty = 0;
    if (EVP_Digest(length ? bytes : &kEmpty, length, d.bytes, &size, md, nullptr) != 1 ||
        size != checksum_digest_size(method))
        digest_failed();
    d.size = size;
    return d;
}

Digest checksum_hmac(const uint8_t* bytes, size_t length, const uint8_t* key, size_t key_length, int32_t method) {
    const EVP_MD* md = need_algorithm(method);
    Digest d;
    unsigned int size = 0;
    static const uint8_t kEmpty = 0;
    if (key_length > 0x7FFFFFFF) digest_failed();
    if (!HMAC(md, key_length ? key : &kEmpty, static_cast<int>(key_length), length ? bytes : &kEmpty, length,
              d.bytes, &size) ||
        size != checksum_digest_size(method))
        digest_failed();
    d.size = size;
    return d;
}

}  // namespace kel
