// logic!: true and false, the truth tests of conditionals, and the bitwise
// logic actions.
#include "runtime/datatypes/logic.h"

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kel {

constinit const Cell static_true_cell = {TYPE_LOGIC, 1, 0, 0};
constinit const Cell static_false_cell = {TYPE_LOGIC, 0, 0, 0};

Cell* logic_box(bool value) {
    Cell* slot = stack_arguments();
    logic_set(slot, value);
    return slot;
}

Cell* logic_append_to_block(const Cell* block, bool value) {
    Cell* c = block_append_slot(block);
    logic_set(c, value);
    return c;
}

Cell* logic_push(bool value) {
    Cell* c = stack_push_cell();
    logic_set(c, value);
    return c;
}

bool logic_false_q() { return logic_cell_false(stack_arguments()); }

bool logic_true_q() {
    const Cell* c = stack_arguments();
    if (c->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-return");
    return !logic_cell_false(c);
}

bool logic_cell_true_q(const Cell* cell, bool check_unset, const Cell* word) {
    if (check_unset && cell->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", word);
    return !logic_cell_false(cell);
}

bool logic_top_false_q() { return logic_cell_false(stack_top()); }
bool logic_top_true_q() { return !logic_top_false_q(); }

Cell* logic_make(Cell* proto, Cell* spec, int32_t type) {
    switch (spec->type()) {
    case TYPE_INTEGER:
        logic_set(proto, integer_get(spec) != 0);
        return proto;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
        logic_set(proto, cell_get_float(spec) != 0.0);  // NaN is true
        return proto;
    default:
        return copy_cell(logic_to(proto, spec, type), proto);
    }
}

Cell* logic_to(Cell* proto, Cell* spec, int32_t) {
    if (spec->is(TYPE_LOGIC)) return spec;
    return copy_cell(spec->is(TYPE_NONE) ? &static_false_cell : &static_true_cell, proto);
}

Cell* logic_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(static_cast<int32_t>(value->data1));
        cell_set_unset(value);
        return value;
    }
    int32_t draw = secure ? random_secure() : random_next();
    logic_set(value, draw > 0x3FFFFFFF);
    return value;
}

int32_t logic_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    std::string_view text = value->data1 == 1 ? "true" : "false";
    string_append_ascii(buffer, text);
    return limit - static_cast<int32_t>(text.size());
}

int32_t logic_mold(const Cell* value, Cell* buffer, bool, bool all, bool, const Cell* part, int32_t limit, int32_t) {
    if (!all) return logic_form(value, buffer, part, limit);
    std::string_view text = value->data1 == 1 ? "#(true)" : "#(false)";
    string_append_ascii(buffer, text);
    return limit - static_cast<int32_t>(text.size());
}

int32_t logic_compare(const Cell* value1, const Cell* value2, int32_t op) {
    if (!value2->is(TYPE_LOGIC)) return kCompareIncomparable;
    switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
    case COMP_SAME: case COMP_FIND:
        return static_cast<int32_t>(value1->data1) - static_cast<int32_t>(value2->data1);
    default:
        return kCompareIncomparable;
    }
}

Cell* logic_complement(Cell* value) {
    value->data1 ^= 1;
    return value;
}

void logic_bitwise_op(int32_t op) {
    Cell* a = stack_arguments();
    const Cell* b = a + 1;
    if (!b->is(TYPE_LOGIC)) {
        Cell call, type, arg;
        word_of_current_call(&call);
        datatype_set(&type, b->type());
        word_from_cstring(&arg, "value2");
        error_raise(ErrCat::Script, "expect-arg", &call, &type, &arg);
    }
    switch (op) {
    case OP_AND: a->data1 &= b->data1; break;
    case OP_OR: a->data1 |= b->data1; break;
    default: a->data1 ^= b->data1; break;
    }
}

void logic_and() { logic_bitwise_op(OP_AND); }
void logic_or() { logic_bitwise_op(OP_OR); }
void logic_xor() { logic_bitwise_op(OP_XOR); }

void logic_init() {
    TypeRow(TYPE_LOGIC)
        .set<ACT_MAKE>(logic_make)
        .set<ACT_RANDOM>(logic_random)
        .set<ACT_TO>(logic_to)
        .set<ACT_FORM>(logic_form)
        .set<ACT_MOLD>(logic_mold)
        .set<ACT_COMPARE>(logic_compare)
        .set<ACT_AND_T>(logic_and)
        .set<ACT_COMPLEMENT>(logic_complement)
        .set<ACT_OR_T>(logic_or)
        .set<ACT_XOR_T>(logic_xor)
        .commit();
}

}  // namespace kel
