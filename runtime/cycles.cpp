// The cycle stack and the /dup pattern fill.
#include "runtime/cycles.h"

#include <cstring>

#include "runtime/datatypes/string.h"
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

int32_t cycles_compare_order(Off first, Off second) {
    bool a = cycles_find(first), b = cycles_find(second);
    if (!a && !b) return 2;
    return a == b ? 0 : a ? -1 : 1;
}

bool cycles_mold_marker(const Cell* value, Cell* buffer, int32_t& limit, bool mold) {
    uint32_t type = value->type();
    bool object = type == TYPE_OBJECT || type == TYPE_ERROR || type == TYPE_PORT;
    if (!cycles_find(object ? value->data1 : value->data2)) return false;
    const char* marker = "...";
    if (mold) {
        switch (type) {
        case TYPE_BLOCK: case TYPE_HASH: marker = "[...]"; break;
        case TYPE_PAREN: marker = "(...)"; break;
        case TYPE_MAP: marker = "#[...]"; break;
        case TYPE_OBJECT: marker = "make object! [...]"; break;
        default: break;
        }
    }
    size_t n = std::strlen(marker);
    string_append_ascii(buffer, marker, n);
    limit -= static_cast<int32_t>(n);
    return true;
}

int32_t mold_indent(Cell* buffer, int32_t n, int32_t limit) {
    for (int32_t i = 0; i < n; i++) string_append_ascii(buffer, "    ", 4);
    return n > 0 ? limit - 4 * n : limit;
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
