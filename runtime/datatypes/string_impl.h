// Helpers shared by the string! sources (string*.cpp); not an interface for
// other modules.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/cell.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"

namespace kel::strimpl {

// Largest byte size of a string buffer's used part.
constexpr uint64_t kMaxStringBytes = 0x7FFFFFF0;

inline uint32_t unit_max(uint32_t unit) { return unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0xFFFFFFFF; }
// Units of a buffer, and the address of one. Multiplications rather than
// shifts: find, select and sort also walk vector! buffers of 8-byte units.
inline uint32_t text_units(const SeriesBuf* b) { return b->used_bytes() / b->unit(); }
inline uint8_t* unit_ptr(SeriesBuf* b, uint64_t index) { return b->head_ptr() + index * b->unit(); }
inline void set_buf_units(SeriesBuf* b, uint64_t n) {
    b->tail = b->head + static_cast<uint32_t>(n * b->unit());
}
inline void check_unit(uint32_t unit) {
    if (unit != 1 && unit != 2 && unit != 4) fatal_runtime_error(101);
}

[[noreturn]] inline void raise_no_memory() { error_raise(ErrCat::Internal, "no-memory"); }

// A run of characters in place: stale after any allocation.
struct Run {
    const uint8_t* p;
    uint32_t unit;
    uint32_t len;
    uint32_t at(uint32_t i) const { return string_unit_at(p, unit, i); }
};

// The units of a string-family (or binary!/vector!) value from its head
// index, clamped to the tail.
inline Run run_of(const Cell* s) {
    SeriesBuf* b = node_buffer(s->data2);
    uint32_t unit = b->unit();
    uint32_t total = b->used_bytes() / unit;
    uint32_t i = s->data1 < total ? s->data1 : total;
    return {b->head_ptr() + size_t(i) * unit, unit, total - i};
}

// Copies n units between widths (narrowing only when every code point
// fits). Overlapping ranges only when the widths are equal.
template <uint32_t D, uint32_t S> inline void convert_units(uint8_t* dst, const uint8_t* src, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) string_put_char(dst + size_t(i) * D, D, string_unit_at(src, S, i));
}
inline void copy_units(uint8_t* dst, uint32_t du, const uint8_t* src, uint32_t su, uint32_t n) {
    if (du == su) {
        std::memmove(dst, src, size_t(n) * du);
        return;
    }
    switch (du * 8 + su) {
    case 2 * 8 + 1: convert_units<2, 1>(dst, src, n); break;
    case 4 * 8 + 1: convert_units<4, 1>(dst, src, n); break;
    case 4 * 8 + 2: convert_units<4, 2>(dst, src, n); break;
    case 1 * 8 + 2: convert_units<1, 2>(dst, src, n); break;
    case 1 * 8 + 4: convert_units<1, 4>(dst, src, n); break;
    default: convert_units<2, 4>(dst, src, n); break;
    }
}

// The largest code point of n units.
inline uint32_t max_code_point(const uint8_t* p, uint32_t unit, uint32_t n) {
    uint32_t m = 0;
    if (unit == 1) {
        for (uint32_t i = 0; i < n; i++) m |= p[i];
        return m;
    }
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c = string_unit_at(p, unit, i);
        if (c > m) m = c;
    }
    return m;
}

// Case fold of the bytes 0-255 (the comparison fold), built by string_init.
extern uint32_t g_fold_latin1[256];
// Appends to `out` every code point other than `folded` itself whose fold
// is `folded` (built by string_init).
void string_fold_preimages(uint32_t folded, std::vector<uint32_t>& out);

inline uint32_t fold_char_any(uint32_t c) { return c < 256 ? g_fold_latin1[c] : string_fold_char(c); }

// A local cell (unset! at first) that the collector keeps alive and
// repoints while it is in scope.
using Temp = RootedCell;

// Keeps a caller's cell alive and repointed by the collector for the scope:
// cells handed to the actions may be C++ copies (of block elements, say)
// that no root reaches. The cell must not lie inside a series buffer.
struct Pin {
    GcRootCell root;
    explicit Pin(const Cell* c) : root(const_cast<Cell*>(c)) {}
};

}  // namespace kel::strimpl
