// logic!: true and false. Cell: header 4, data1 1 (true) or 0 (false).
//
// Truth: none! and a logic! whose payload is not 1 are false; every other
// value is true, unset! being an error where a test checks for it.
#pragma once
#include "runtime/cell.h"

namespace kel {

// Constant cells; callers copy them and never write into them.
extern const Cell static_true_cell;
extern const Cell static_false_cell;

inline void logic_set(Cell* c, bool v) { cell_set(c, TYPE_LOGIC, v ? 1u : 0u); }
inline uint32_t logic_get(const Cell* c) { return c->data1; }
Cell* logic_box(bool value);  // result slot := logic!
Cell* logic_append_to_block(const Cell* block, bool value);
Cell* logic_push(bool value);

// Truth of a cell: false for none! and a false logic!.
inline bool logic_cell_false(const Cell* c) { return c->is(TYPE_NONE) || (c->is(TYPE_LOGIC) && c->data1 != 1); }
bool logic_false_q();  // of the result slot, unset! included as true
// Of the result slot; unset! raises script `no-return`.
bool logic_true_q();
// With `check_unset`, an unset! raises script `no-value` naming `word`.
bool logic_cell_true_q(const Cell* cell, bool check_unset, const Cell* word);
bool logic_top_false_q();
bool logic_top_true_q();

Cell* logic_make(Cell* proto, Cell* spec, int32_t type);
Cell* logic_to(Cell* proto, Cell* spec, int32_t type);
Cell* logic_random(Cell* value, bool seed, bool secure, bool only);
int32_t logic_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t logic_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                   int32_t indent);
int32_t logic_compare(const Cell* value1, const Cell* value2, int32_t op);
Cell* logic_complement(Cell* value);
// Frame actions: argument 1 (the result slot) op:= argument 2.
void logic_and();
void logic_or();
void logic_xor();
void logic_bitwise_op(int32_t op);
void logic_init();

}  // namespace kel
