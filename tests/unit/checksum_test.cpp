// CRC-32, Adler-32, the Internet checksum, digests and HMAC.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/checksum.h"

using namespace kel;

namespace {

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string hex(const Digest& d) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint32_t i = 0; i < d.size; i++) {
        out += digits[d.bytes[i] >> 4];
        out += digits[d.bytes[i] & 15];
    }
    return out;
}

// The defining bit-at-a-time CRC, against which the sliced one is checked.
uint32_t crc32_reference(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

uint32_t adler32_reference(const uint8_t* p, size_t n) {
    uint64_t a = 1, b = 0;
    for (size_t i = 0; i < n; i++) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return static_cast<uint32_t>(b << 16 | a);
}

std::vector<uint8_t> pseudo_random_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

}  // namespace

TEST(Checksum, PublishedCheckValues) {
    EXPECT_EQ(checksum_crc32(bytes_of("abc"), 3), 0x352441C2u);
    EXPECT_EQ(static_cast<int32_t>(checksum_crc32(bytes_of("abc"), 3)), 891568578);
    EXPECT_EQ(checksum_crc32(bytes_of("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(checksum_crc32(nullptr, 0), 0u);
    EXPECT_EQ(checksum_adler32(bytes_of("abc"), 3), 0x024D0127u);
    EXPECT_EQ(checksum_adler32(nullptr, 0), 1u);
    EXPECT_EQ(checksum_tcp(nullptr, 0), 65535u);
    const uint8_t one = 0x01;
    EXPECT_EQ(checksum_tcp(&one, 1), 0xFEFFu);
    // RFC 1071's example words sum to ddf2 (complement 220d).
    const uint8_t words[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(checksum_tcp(words, sizeof words), 0x220Du);
}

// Every length around the 16-byte steps and the Adler run boundary, and
// continuation over split buffers, agree with the definitions.
TEST(Checksum, SlicedAndRunLoopsMatchTheDefinitions) {
    std::vector<uint8_t> data = pseudo_random_bytes(9000);
    for (size_t n : {1u, 15u, 16u, 17u, 31u, 33u, 3853u, 3854u, 3855u, 7708u, 9000u}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(checksum_crc32(data.data(), n), crc32_reference(data.data(), n));
        EXPECT_EQ(checksum_adler32(data.data(), n), adler32_reference(data.data(), n));
    }
    uint32_t crc = checksum_crc32(data.data(), 1001);
    EXPECT_EQ(checksum_crc32(data.data() + 1001, 7999, crc), crc32_reference(data.data(), 9000));
    uint32_t adler = checksum_adler32(data.data(), 5000);
    EXPECT_EQ(checksum_adler32(data.data() + 5000, 4000, adler), adler32_reference(data.data(), 9000));
    // All-0xFF bytes make both Adler sums grow fastest.
    std::vector<uint8_t> ff(100000, 0xFF);
    EXPECT_EQ(checksum_adler32(ff.data(), ff.size()), adler32_reference(ff.data(), ff.size()));
}

// Sums beyond 32 bits still fold to the exact one's-complement sum.
TEST(Checksum, TcpFoldsLargeSums) {
    std::vector<uint8_t> ff(1 << 20, 0xFF);
    EXPECT_EQ(checksum_tcp(ff.data(), ff.size()), 0u);  // ~0xFFFF
    std::vector<uint8_t> v(1 << 20, 0);
    v[0] = 0x12;
    v[1] = 0x34;
    EXPECT_EQ(checksum_tcp(v.data(), v.size()), 0xFFFFu - 0x1234u);
}

TEST(Checksum, Digests) {
    struct Case {
        int32_t method;
        const char* text;
        const char* digest;
    };
    const Case cases[] = {
        {CHECKSUM_MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {CHECKSUM_SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {CHECKSUM_SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {CHECKSUM_SHA384, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {CHECKSUM_SHA512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
         "454d4423643ce80e2a9ac94fa54ca49f"},
        {CHECKSUM_MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {CHECKSUM_SHA256, "\xC3\xA9", "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digest);
        std::string text = c.text;
        Digest d = checksum_crypto_hash(bytes_of(text), text.size(), c.method);
        EXPECT_EQ(d.size, checksum_digest_size(c.method));
        EXPECT_EQ(hex(d), c.digest);
    }
    EXPECT_EQ(checksum_digest_size(CHECKSUM_CRC32), 0u);
    EXPECT_EQ(checksum_hmac_block_size(CHECKSUM_SHA384), 128u);
    EXPECT_EQ(checksum_hmac_block_size(CHECKSUM_SHA256), 64u);
}

TEST(Checksum, Hmac) {
    std::string key = "Jefe", data = "what do ya want for nothing?";
    EXPECT_EQ(hex(checksum_hmac(bytes_of(data), data.size(), bytes_of(key), key.size(), CHECKSUM_MD5)),
              "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hex(checksum_hmac(bytes_of(data), data.size(), bytes_of(key), key.size(), CHECKSUM_SHA256)),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hex(checksum_hmac(bytes_of(data), data.size(), bytes_of(key), key.size(), CHECKSUM_SHA512)),
              "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
              "caeab1a34d4a6b4b636e070a38bce737");
    // A key longer than the block is digested first.
    std::string long_key(131, '\xAA'), text = "Test Using Larger Than Block-Size Key - Hash Key First";
    EXPECT_EQ(hex(checksum_hmac(bytes_of(text), text.size(), bytes_of(long_key), long_key.size(), CHECKSUM_SHA256)),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    // Empty key and data still give a full digest.
    EXPECT_EQ(checksum_hmac(nullptr, 0, nullptr, 0, CHECKSUM_SHA1).size, 20u);
}
