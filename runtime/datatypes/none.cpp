// none!: the absent value. Searching, taking from or clearing none gives none.
#include "runtime/datatypes/none.h"

#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kel {

constinit const Cell static_none_cell = {TYPE_NONE, 0, 0, 0};

Cell* none_set_result() { return copy_cell(&static_none_cell, stack_arguments()); }

Cell* none_append_to_block(const Cell* block) { return copy_cell(&static_none_cell, block_append_slot(block)); }

Cell* none_push() { return stack_push(&static_none_cell); }

Cell* none_make(Cell* proto, Cell*, int32_t) { return copy_cell(&static_none_cell, proto); }

int32_t none_form(const Cell*, Cell* buffer, const Cell*, int32_t limit) {
    string_append_ascii(buffer, "none");
    return limit - 4;
}

int32_t none_mold(const Cell* value, Cell* buffer, bool, bool all, bool, const Cell* part, int32_t limit, int32_t) {
    if (!all) return none_form(value, buffer, part, limit);
    string_append_ascii(buffer, "#(none)");
    return limit - 7;
}

int32_t none_compare(const Cell*, const Cell* value2, int32_t op) {
    if (!value2->is(TYPE_NONE)) return kCompareIncomparable;
    switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
    case COMP_SAME: case COMP_FIND:
        return 0;
    default:
        return kCompareIncomparable;
    }
}

// The argument cell is the result slot under dispatch; the dispatcher copies
// the returned cell there in any case.
Cell* none_clear(Cell* value) { return copy_cell(&static_none_cell, value); }
Cell* none_find(Cell* series, Cell*, const FindArgs&) { return copy_cell(&static_none_cell, series); }
Cell* none_remove(Cell* series, const Cell*, const Cell*) { return copy_cell(&static_none_cell, series); }
Cell* none_take(Cell* series, const Cell*, bool, bool) { return copy_cell(&static_none_cell, series); }
int32_t none_length_q(const Cell*) { return -1; }

void none_init() {
    TypeRow(TYPE_NONE)
        .set<ACT_MAKE>(none_make)
        .set<ACT_TO>(none_make)
        .set<ACT_FORM>(none_form)
        .set<ACT_MOLD>(none_mold)
        .set<ACT_COMPARE>(none_compare)
        .set<ACT_CLEAR>(none_clear)
        .set<ACT_FIND>(none_find)
        .set<ACT_LENGTH_Q>(none_length_q)
        .set<ACT_REMOVE>(none_remove)
        .set<ACT_SELECT>(none_find)
        .set<ACT_TAKE>(none_take)
        .commit();
}

}  // namespace kel
