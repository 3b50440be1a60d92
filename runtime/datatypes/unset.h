// unset!: the value of nothing. Cell: header 2, no payload.
#pragma once
#include "runtime/cell.h"

namespace kel {

// The constant unset! cell; callers copy it and never write into it.
extern const Cell static_unset_cell;

Cell* unset_set_result();                        // result slot := unset!
Cell* unset_append_to_block(const Cell* block);  // new unset! at the block's tail
Cell* unset_push();

Cell* unset_make(Cell* proto, Cell* spec, int32_t type);  // make and to
int32_t unset_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t unset_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                   int32_t indent);
int32_t unset_compare(const Cell* value1, const Cell* value2, int32_t op);
void unset_init();

}  // namespace kel
