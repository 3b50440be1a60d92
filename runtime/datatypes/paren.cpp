// paren!: mold and registration; everything else is block!'s.
#include "runtime/datatypes/paren.h"

#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kel {

Cell* paren_push_from_cell(Cell* cell) {
    cell->header = TYPE_PAREN;
    return stack_push(cell);
}

int32_t paren_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent) {
    if (cycles_mold_marker(value, buffer, limit, true)) return limit;
    CycleGuard guard(value->data2);
    if (!only) {
        string_append_char(buffer, '(');
        limit--;
    }
    limit = block_mold_cells(value, buffer, only, all, flat, part, limit, indent);
    if (!only) {
        string_append_char(buffer, ')');
        limit--;
    }
    return limit;
}

void paren_init() {
    TypeRow(TYPE_PAREN)
        .set<ACT_MOLD>(paren_mold)
        .inherit({ACT_MAKE, ACT_RANDOM, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT,
                  ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT,
                  ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT,
                  ACT_SORT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
        .commit();
}

}  // namespace kel
