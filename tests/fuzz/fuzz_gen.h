// The fuzz targets' reader of their input: the bytes, taken in order, pick
// among choices; past the end every pick is 0, so any input makes a program.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::fuzz {

struct Gen {
    const uint8_t* p;
    size_t n;
    size_t i = 0;
    uint32_t byte() { return i < n ? p[i++] : 0; }
    uint32_t pick(uint32_t k) { return byte() % k; }
    uint32_t pick_wide(uint32_t k) { return (byte() << 8 | byte()) % k; }
    bool more() const { return i < n; }
    template <size_t N> const char* from(const char* const (&list)[N]) { return list[pick(N)]; }
};

}  // namespace kel::fuzz
