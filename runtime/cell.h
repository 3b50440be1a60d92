// The value cell: every value of the language is 16 bytes, four 32-bit words.
//
//   word 0  header: bits 0-7 the datatype id, bits 8-31 flags
//   word 1  data1   (series: head index in units; word: context node)
//   word 2  data2   (series: node; word: symbol id)
//   word 3  data3   type-specific, 0 where the type gives it no meaning
//
// A 64-bit payload (float!, time!) spans data2..data3 and is read and written
// with memcpy, never through a punned pointer. Cells live in block buffers, on
// the evaluation stack, in context value blocks and in static globals; a cell
// inside a buffer is only valid until the next allocation.
#pragma once
#include <cstdint>
#include <cstring>

#include "runtime/platform/vm.h"

namespace kel {

enum TypeId : uint8_t {
    TYPE_NONE_ID = 0,
#define X(id, cname, name, parent) TYPE_##cname = id,
#include "runtime/datatype_ids.def"
#undef X
};
constexpr int kTypeCount = 54;
static_assert(TYPE_EVENT == kTypeCount);

// Header flag bits given meaning by the core.
constexpr uint32_t CELL_NEW_LINE = 0x40000000;
constexpr uint32_t CELL_TYPE_MASK = 0xFF;

struct Cell {
    uint32_t header;
    uint32_t data1;
    uint32_t data2;
    uint32_t data3;

    TypeId type() const { return static_cast<TypeId>(header & CELL_TYPE_MASK); }
    bool is(TypeId t) const { return (header & CELL_TYPE_MASK) == t; }
};
static_assert(sizeof(Cell) == 16);

// Sets the type byte, keeping every flag bit.
inline void cell_set_type(Cell* c, uint32_t type) { c->header = (c->header & ~CELL_TYPE_MASK) | type; }
inline void cell_clear_newline(Cell* c) { c->header &= ~CELL_NEW_LINE; }
inline Cell* copy_cell(const Cell* src, Cell* dst) {
    if (src != dst) std::memcpy(dst, src, sizeof(Cell));
    return dst;
}
inline void cell_set(Cell* c, uint32_t header, uint32_t d1 = 0, uint32_t d2 = 0, uint32_t d3 = 0) {
    c->header = header;
    c->data1 = d1;
    c->data2 = d2;
    c->data3 = d3;
}
inline void cell_set_unset(Cell* c) { cell_set(c, TYPE_UNSET); }

// 64-bit payload in data2..data3 (float!, time!).
inline double cell_get_float(const Cell* c) {
    double d;
    std::memcpy(&d, &c->data2, sizeof d);
    return d;
}
inline void cell_put_float(Cell* c, double d) { std::memcpy(&c->data2, &d, sizeof d); }
inline int64_t cell_get_int64(const Cell* c) {
    int64_t v;
    std::memcpy(&v, &c->data2, sizeof v);
    return v;
}
inline void cell_put_int64(Cell* c, int64_t v) { std::memcpy(&c->data2, &v, sizeof v); }

}  // namespace kel

namespace kel {

struct SeriesBuf;

// Reserves one cell at the tail of a unit-16 buffer (doubling it when full)
// and returns it as unset!. Valid until the next allocation.
Cell* block_buffer_append_slot(SeriesBuf* buf);
// The same through a block value's node.
Cell* block_append_slot(const Cell* block);
// Reserves n bytes at the tail (growing to 2n or twice the capacity) and
// returns where they begin.
uint8_t* series_reserve_bytes(SeriesBuf* buf, uint32_t n);
// New series holding `count` units of `node`'s series from unit `index` on.
Off series_copy_part(Off node, uint32_t index, uint32_t count);

// The decoded boot data's root cells.
extern Cell* g_boot_root;
inline Cell* boot_cell_at(uint32_t i) { return g_boot_root + i; }
inline uint32_t boot_cell_node(uint32_t i) { return g_boot_root[i].data1; }

}  // namespace kel
