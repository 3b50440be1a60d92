// The cycle stack and the /dup pattern fill.
#include "runtime/cycles.h"

#include <cstring>

#include "runtime/error.h"

namespace kel {

CycleStack g_cycles = {};

void cycles_push(Off node) {
    g_cycles.entries[g_cycles.top++] = node;
    if (g_cycles.top >= kCycleCapacity) {
        cycles_reset();
        error_raise(ErrCat::Internal, "too-deep");
    }
}

void cycles_pop() {
    if (g_cycles.top > 0) g_cycles.top--;
}

void cycles_drop(uint32_t n) { g_cycles.top = n > g_cycles.top ? 0 : g_cycles.top - n; }

void cycles_reset() { g_cycles.top = 0; }

bool cycles_find(Off node) {
    for (uint32_t i = 0; i < g_cycles.top; i++)
        if (g_cycles.entries[i] == node) return true;
    return false;
}

uint8_t* memory_fill_pattern(uint8_t* dst, uint32_t unit, uint32_t count) {
    uint64_t total = uint64_t(unit) * count;
    if (total == 0) return dst;
    uint64_t filled = unit;
    while (filled * 2 <= total) {
        std::memcpy(dst + filled, dst, filled);
        filled *= 2;
    }
    std::memcpy(dst + filled, dst, total - filled);
    return dst + total;
}

}  // namespace kel
