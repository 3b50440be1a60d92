// Checksums over byte buffers: CRC-32, Adler-32 and the Internet (TCP)
// checksum computed here; MD5, SHA-1 and SHA-2 digests and their HMAC
// through the cryptographic library.
//
// The checksum routines are pure and allocation-free; the compression codecs
// use CRC-32 and Adler-32 for their trailers. Digest routines check every
// library result: a failing library raises internal `feature-na` and never
// returns unfilled bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

// Method numbers shared by the digest routines and the checksum native.
enum ChecksumMethod : int32_t {
    CHECKSUM_TCP = 0,
    CHECKSUM_CRC32 = 1,
    CHECKSUM_MD5 = 2,
    CHECKSUM_SHA1 = 3,
    CHECKSUM_SHA256 = 4,
    CHECKSUM_SHA384 = 5,
    CHECKSUM_SHA512 = 6,
};

// Reflected CRC-32 (polynomial 0xEDB88320, initial and final complement).
// The two-argument form starts a new CRC; [crc] continues one over a further
// chunk (pass the previous result).
uint32_t checksum_crc32(const uint8_t* bytes, size_t length, uint32_t crc = 0);

// Adler-32 (modulus 65521): (b << 16) | a. [adler] continues a previous
// result; 1 starts a new one.
uint32_t checksum_adler32(const uint8_t* bytes, size_t length, uint32_t adler = 1);

// Internet checksum: big-endian 16-bit words summed, folded, complemented;
// 0 .. 65535. An odd final byte is the high byte of a word.
uint32_t checksum_tcp(const uint8_t* bytes, size_t length);

// Digest size in bytes of a digest method (16, 20, 32, 48, 64); 0 for others.
uint32_t checksum_digest_size(int32_t method);
// HMAC block size in bytes: 128 for SHA-384 and SHA-512, 64 for the others.
uint32_t checksum_hmac_block_size(int32_t method);

// A digest result; the first `size` bytes are meaningful.
struct Digest {
    uint8_t bytes[64] = {};
    uint32_t size = 0;
};

// The digest of [length] bytes by [method] (CHECKSUM_MD5 .. CHECKSUM_SHA512).
Digest checksum_crypto_hash(const uint8_t* bytes, size_t length, int32_t method);
// HMAC of the data under [key] with the digest of [method].
Digest checksum_hmac(const uint8_t* bytes, size_t length, const uint8_t* key, size_t key_length, int32_t method);

}  // namespace kel
