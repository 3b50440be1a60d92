// MurmurHash3, x86 32-bit variant: the one hash function of the runtime.
//
// Two entry points: `murmur3_x86_32` over a run of bytes (little-endian
// blocks, the usual tail handling), and `Murmur3Stream` for callers that feed
// whole 32-bit blocks one at a time (strings hash one block per code point, so
// a text hashes alike at every storage width). `murmur3_fmix32` is the
// finaliser alone; the tables use it as the identity hash of 32-bit values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kel {

constexpr uint32_t kMurmurC1 = 0xCC9E2D51;
constexpr uint32_t kMurmurC2 = 0x1B873593;

inline constexpr uint32_t murmur3_rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline constexpr uint32_t murmur3_fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6B;
    h ^= h >> 13;
    h *= 0xC2B2AE35;
    h ^= h >> 16;
    return h;
}

// A body round is two halves: the block's own scrambling, which depends on
// the block alone (so it can be tabulated), and the step of the running hash.
inline constexpr uint32_t murmur3_scramble(uint32_t k) {
    k *= kMurmurC1;
    k = murmur3_rotl(k, 15);
    return k * kMurmurC2;
}
inline constexpr uint32_t murmur3_step(uint32_t h, uint32_t scrambled) {
    h ^= scrambled;
    h = murmur3_rotl(h, 13);
    return h * 5 + 0xE6546B64;
}

// One body round: mixes block `k` into the running hash `h`.
inline constexpr uint32_t murmur3_round(uint32_t h, uint32_t k) { return murmur3_step(h, murmur3_scramble(k)); }

// Mixes the last 1-3 bytes (already packed little-endian into `k`).
inline constexpr uint32_t murmur3_tail(uint32_t h, uint32_t k) {
    k *= kMurmurC1;
    k = murmur3_rotl(k, 15);
    k *= kMurmurC2;
    return h ^ k;
}

inline constexpr uint32_t murmur3_finish(uint32_t h, uint32_t byte_length) {
    return murmur3_fmix32(h ^ byte_length);
}

inline uint32_t murmur3_x86_32(const void* data, size_t len, uint32_t seed) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t h = seed;
    size_t blocks = len / 4;
    for (size_t i = 0; i < blocks; i++) {
        uint32_t k;
        std::memcpy(&k, p + 4 * i, 4);  // the arena and x86-64 are little-endian
        h = murmur3_round(h, k);
    }
    const uint8_t* tail = p + 4 * blocks;
    uint32_t k = 0;
    switch (len & 3) {
    case 3: k ^= uint32_t(tail[2]) << 16; [[fallthrough]];
    case 2: k ^= uint32_t(tail[1]) << 8; [[fallthrough]];
    case 1:
        k ^= tail[0];
        h = murmur3_tail(h, k);
    }
    return murmur3_finish(h, static_cast<uint32_t>(len));
}

// Whole-block feeder: the hash of n fed blocks equals murmur3_x86_32 over the
// same 4n bytes.
struct Murmur3Stream {
    uint32_t h;
    uint32_t bytes = 0;

    explicit Murmur3Stream(uint32_t seed) : h(seed) {}
    void block(uint32_t k) {
        h = murmur3_round(h, k);
        bytes += 4;
    }
    uint32_t finish() const { return murmur3_finish(h, bytes); }
};

}  // namespace kel
