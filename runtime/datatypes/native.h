// native!, action! and op! values.
//
// native! cell: header 21; data1 the native's index in the natives table;
// data2 the interface block's node; data3 the node of a two-cell block: [0] a copy
// of the context! cell of a context made from the make argument (values on
// the stack), [1] the argument descriptor (none! until the first call).
// action! cell: the same with header 22 and data1 the action slot.
// op! cell: a copy of its source (native!, action!, function!, routine!) with
// header 23 + (source type << 16); a function or routine source also keeps a
// copy of itself in cell [3] of its own five-cell block.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// make native! / make action! from a block [interface-text index]; refuses a block of another
// shape, an index out of range or an empty table entry.
Cell* native_make(Cell* proto, Cell* spec, int32_t type);
// make op! from a callable with an operator interface block.
Cell* op_make(Cell* proto, Cell* source, int32_t type);
bool op_spec_ok_q(const Cell* spec);
// Raises bad-func-def when the interface block of a native!, an action! or
// an op! made from one no longer fits its entry: the block is the script's
// own and may have been edited since the value was made, and the entry reads
// its frame by its registered interface block.
void native_check_spec_fits(const Cell* callable);
// The type a callable runs as: an op! runs as the native!, action!,
// function! or routine! it was made from (header bits 16-23).
inline uint32_t callable_source_type(const Cell* callable) {
    return callable->is(TYPE_OP) ? (callable->header >> 16) & 0xFF : static_cast<uint32_t>(callable->type());
}

void native_init();
void action_init();
void op_init();

}  // namespace kel
