// none!: the absent value. Cell: header 3, no payload.
#pragma once
#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kel {

// The constant none! cell; callers copy it and never write into it.
extern const Cell static_none_cell;

Cell* none_set_result();
Cell* none_append_to_block(const Cell* block);
Cell* none_push();

Cell* none_make(Cell* proto, Cell* spec, int32_t type);  // make and to
int32_t none_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t none_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                  int32_t indent);
int32_t none_compare(const Cell* value1, const Cell* value2, int32_t op);
// clear, find, remove, select and take of none all give none.
Cell* none_clear(Cell* value);
Cell* none_find(Cell* series, Cell* value, const FindArgs& args);  // also select
Cell* none_remove(Cell* series, const Cell* part, const Cell* key);
Cell* none_take(Cell* series, const Cell* part, bool deep, bool last);
int32_t none_length_q(const Cell* value);  // -1: no length
void none_init();

}  // namespace kel
