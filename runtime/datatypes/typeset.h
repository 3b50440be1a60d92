// typeset!: a set of datatypes held as a bit array in one cell.
//
// Cell: header 33 (bits 20-21 carry the argument mode when the cell serves as
// an argument descriptor); data1..data3 form one 12-byte array read in memory
// order: the bit of type id t is in byte t >> 3 under the mask 0x80 >> (t & 7),
// so ids 0-95 fit. Bit 0 is set only by the all-types default and complement.
#pragma once
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kel {

// The payload word holding type id t (< 96) and its bit in it.
inline uint32_t typeset_word(const Cell* ts, uint32_t type) {
    return type < 32 ? ts->data1 : type < 64 ? ts->data2 : ts->data3;
}
inline uint32_t typeset_mask(uint32_t type) { return 1u << (8 * ((type >> 3) & 3) + (7 - (type & 7))); }
inline bool typeset_has(const Cell* ts, uint32_t type) {
    return type < 96 && (typeset_word(ts, type) & typeset_mask(type));
}
inline void typeset_set(Cell* ts, uint32_t type) {
    uint32_t& w = type < 32 ? ts->data1 : type < 64 ? ts->data2 : ts->data3;
    w |= typeset_mask(type);
}

// Zeroes the bits, header untouched.
Cell* typeset_clear(Cell* ts);
// A new typeset! at the block's tail with the given bit words.
Cell* typeset_append_cell(const Cell* block, uint32_t w1, uint32_t w2, uint32_t w3);
// Every type but unset!: the constraint of an argument declared without types.
Cell* typeset_append_default(const Cell* block);
// Built from a function interface block's type block.
Cell* typeset_append_from_spec(const Cell* block, const Cell* spec);
// Adds a datatype!, a typeset! or a word! naming one of them; anything else
// raises script `invalid-arg`.
void typeset_add(Cell* ts, const Cell* element);
// Members among the registered type ids.
uint32_t typeset_count(const Cell* ts);
// A new block of the members' datatype! values, in id order, into `out`.
Cell* typeset_to_block(const Cell* ts, Cell* out);
// Set operation on the two frame arguments, result in the result slot.
void typeset_do_math(int32_t op);

Cell* typeset_make(Cell* proto, Cell* spec, int32_t type);  // make and to
int32_t typeset_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t typeset_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                     int32_t limit, int32_t indent);
int32_t typeset_compare(const Cell* value1, const Cell* value2, int32_t op);
void typeset_and();
void typeset_or();
void typeset_xor();
Cell* typeset_complement(Cell* value);
Cell* typeset_find(Cell* series, Cell* value, const FindArgs& args);
void typeset_init();

}  // namespace kel
