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
