// char!: one Unicode code point, U+0000 .. U+10FFFF.
//
// Cell: header type 10 (flags above the type byte); data1 unused (0); data2
// the code point, in the word where integer! keeps its value, so that the
// integer actions char! inherits (random, absolute, even?, odd?) work on it
// unchanged; data3 unused (0).
//
// Arithmetic goes through the integer core; a result outside the code
// point range is a math `overflow`.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

constexpr uint32_t kCharMax = 0x10FFFF;

inline uint32_t char_get(const Cell* c) { return c->data2; }
// Pushes a new char! on the evaluation stack.
Cell* char_push(uint32_t code_point);
// Appends a char! at the tail of [block]; valid until the next allocation.
Cell* char_append_to_block(const Cell* block, uint32_t code_point);

// Action implementations (slot signatures of runtime/actions.h).
Cell* char_make(Cell* proto, Cell* spec, int32_t type);
int32_t char_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t char_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                  int32_t limit, int32_t indent);
int32_t char_compare(const Cell* value1, const Cell* value2, int32_t op);
// The char! math action [op] (OP_ADD .. OP_XOR) on the two frame arguments.
void char_do_math(int32_t op);
void char_add();
void char_divide();
void char_multiply();
void char_remainder();
void char_subtract();
void char_and();
void char_or();
void char_xor();

// Registers char!; integer_init must have run (char! inherits from it).
void char_init();

}  // namespace kel
