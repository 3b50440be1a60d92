// Case helpers shared by the text fuzz targets' reference models.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/case_fold.h"
#include "tests/fuzz/fuzz_gen.h"

namespace kel::fuzz {

// The fold the text comparisons use: each character through the upper-case
// map, whatever the unit.
inline uint32_t fold(uint32_t c) { return case_change_char(c, CASE_UPPER); }

// A letter of [letters] with the same fold as [c] (looked for from a drawn
// start, so each partner gets its turn), or [c] itself.
template <size_t N> uint32_t case_partner(Gen& g, const uint32_t (&letters)[N], uint32_t c) {
    uint32_t want = fold(c), start = g.pick(N);
    for (uint32_t i = 0; i < N; i++) {
        uint32_t x = letters[(start + i) % N];
        if (fold(x) == want) return x;
    }
    return c;
}

}  // namespace kel::fuzz
