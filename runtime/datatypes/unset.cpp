// unset!: the value of nothing, e.g. of an empty block's evaluation.
#include "runtime/datatypes/unset.h"

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kel {

constinit const Cell static_unset_cell = {TYPE_UNSET, 0, 0, 0};

Cell* unset_set_result() {
    Cell* slot = stack_arguments();
    cell_set_unset(slot);
    return slot;
}

Cell* unset_append_to_block(const Cell* block) { return copy_cell(&static_unset_cell, block_append_slot(block)); }

Cell* unset_push() { return stack_push_cell(); }

Cell* unset_make(Cell* proto, Cell*, int32_t) {
    cell_set_unset(proto);
    return proto;
}

int32_t unset_form(const Cell*, Cell*, const Cell*, int32_t limit) { return limit; }

int32_t unset_mold(const Cell*, Cell* buffer, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    std::string_view text = all ? "#(unset)" : "unset";
    string_append_ascii(buffer, text);
    return limit - static_cast<int32_t>(text.size());
}

int32_t unset_compare(const Cell*, const Cell* value2, int32_t op) {
    if (!value2->is(TYPE_UNSET)) return kCompareIncomparable;
    switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
    case COMP_SAME: case COMP_FIND:
        return 0;
    default:
        return kCompareIncomparable;
    }
}

void unset_init() {
    TypeRow(TYPE_UNSET)
        .set<ACT_MAKE>(unset_make)
        .set<ACT_TO>(unset_make)
        .set<ACT_FORM>(unset_form)
        .set<ACT_MOLD>(unset_mold)
        .set<ACT_COMPARE>(unset_compare)
        .commit();
}

}  // namespace kel
