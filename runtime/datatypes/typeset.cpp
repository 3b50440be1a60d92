// typeset!: sets of datatypes, and the argument type constraints of function
// interface blocks, which use the same cell.
#include "runtime/datatypes/typeset.h"

#include <cstring>

#include "runtime/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kel {

namespace {

// Cells of a block from its head index to its tail; stale after allocation.
struct CellRange {
    const Cell* first;
    const Cell* end;
};
CellRange block_cells(const Cell* block) {
    SeriesBuf* buf = node_buffer(block->data2);
    const Cell* first = arena_at<Cell>(buf->head) + block->data1;
    const Cell* end = arena_at<Cell>(buf->tail);
    return {first < end ? first : end, end};
}

void typeset_or_in(Cell* ts, const Cell* other) {
    ts->data1 |= other->data1;
    ts->data2 |= other->data2;
    ts->data3 |= other->data3;
}

// A word's value, raising `no-value` when it is unset.
const Cell* word_value(const Cell* word) {
    const Cell* v = word_get_any(word);
    if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", word);
    return v;
}

void drop_last_char(const Cell* buffer) {
    SeriesBuf* buf = node_buffer(buffer->data2);
    if (buf->tail > buf->head) buf->tail -= buf->unit();
}

int32_t typeset_text(const Cell* value, Cell* buffer, bool only, int32_t limit) {
    if (!only) {
        string_append_ascii(buffer, "make typeset! [");
        limit -= 15;
    }
    bool any = false;
    for (int32_t t = 1; t <= kTypeCount && limit > 0; t++) {
        if (!typeset_has(value, static_cast<uint32_t>(t))) continue;
        std::string_view name = datatype_name(t);
        string_append_ascii(buffer, name);
        string_append_ascii(buffer, " ");
        limit -= static_cast<int32_t>(name.size() + 1);
        any = true;
    }
    if (any) {
        drop_last_char(buffer);
        limit++;
    }
    if (!only) {
        string_append_ascii(buffer, "]");
        limit--;
    }
    return limit;
}

}  // namespace

Cell* typeset_clear(Cell* ts) {
    ts->data1 = ts->data2 = ts->data3 = 0;
    return ts;
}

Cell* typeset_append_cell(const Cell* block, uint32_t w1, uint32_t w2, uint32_t w3) {
    Cell* c = block_append_slot(block);
    cell_set(c, TYPE_TYPESET, w1, w2, w3);
    return c;
}

Cell* typeset_append_default(const Cell* block) {
    Cell ts{TYPE_TYPESET, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    ts.data1 &= ~typeset_mask(TYPE_UNSET);
    return typeset_append_cell(block, ts.data1, ts.data2, ts.data3);
}

Cell* typeset_append_from_spec(const Cell* block, const Cell* spec) {
    Cell ts{TYPE_TYPESET, 0, 0, 0};
    uint32_t n = static_cast<uint32_t>(block_cells(spec).end - block_cells(spec).first);
    for (uint32_t i = 0; i < n; i++) {
        const Cell* e = block_cells(spec).first + i;
        if (e->is(TYPE_BLOCK)) continue;
        const Cell* v = e->is(TYPE_WORD) ? word_value(e) : e;
        if (v->is(TYPE_DATATYPE)) typeset_set(&ts, v->data1);
        else if (v->is(TYPE_TYPESET)) typeset_or_in(&ts, v);
        else if (v->is(TYPE_WORD)) typeset_set(&ts, TYPE_OBJECT);  // a word naming a word
        else error_raise(ErrCat::Script, "invalid-type-spec", e);
    }
    return typeset_append_cell(block, ts.data1, ts.data2, ts.data3);
}

void typeset_add(Cell* ts, const Cell* element) {
    const Cell* v = element->is(TYPE_WORD) ? word_value(element) : element;
    if (v->is(TYPE_TYPESET)) typeset_or_in(ts, v);
    else if (v->is(TYPE_DATATYPE) && v->data1 < 96) typeset_set(ts, v->data1);
    else error_raise(ErrCat::Script, "invalid-arg", element);
}

uint32_t typeset_count(const Cell* ts) {
    uint32_t n = 0;
    for (int32_t t = 1; t <= g_datatype_max_id; t++) n += typeset_has(ts, static_cast<uint32_t>(t));
    return n;
}

Cell* typeset_to_block(const Cell* ts, Cell* out) {
    Cell copy = *ts;  // `ts` may live in a buffer that the allocation moves
    Off node = alloc_cells(4);
    cell_set(out, TYPE_BLOCK, 0, node, 0);
    GcRootCell keep(out);
    for (int32_t t = 1; t <= g_datatype_max_id; t++) {
        if (typeset_has(&copy, static_cast<uint32_t>(t))) datatype_set(block_append_slot(out), t);
    }
    return out;
}

void typeset_do_math(int32_t op) {
    Cell* a = stack_arguments();
    if (op == OP_UNIQUE) return;
    Cell b = a[1];
    if (b.is(TYPE_DATATYPE)) {
        uint32_t t = b.data1;
        cell_set(&b, TYPE_TYPESET);
        if (t < 96) typeset_set(&b, t);
    } else if (!b.is(TYPE_TYPESET)) {
        error_raise(ErrCat::Script, "invalid-arg", &a[1]);
    }
    Cell r{TYPE_TYPESET, 0, 0, 0};
    switch (op) {
    case OP_OR: case OP_UNION:
        r.data1 = a->data1 | b.data1, r.data2 = a->data2 | b.data2, r.data3 = a->data3 | b.data3;
        break;
    case OP_AND: case OP_INTERSECT:
        r.data1 = a->data1 & b.data1, r.data2 = a->data2 & b.data2, r.data3 = a->data3 & b.data3;
        break;
    case OP_XOR: case OP_DIFFERENCE:
        r.data1 = a->data1 ^ b.data1, r.data2 = a->data2 ^ b.data2, r.data3 = a->data3 ^ b.data3;
        break;
    case OP_EXCLUDE:
        r.data1 = a->data1 & ~b.data1, r.data2 = a->data2 & ~b.data2, r.data3 = a->data3 & ~b.data3;
        break;
    default:
        fatal_runtime_error(101);
    }
    copy_cell(&r, a);
}

Cell* typeset_make(Cell* proto, Cell* spec, int32_t) {
    if (spec->is(TYPE_TYPESET)) return spec;
    if (!spec->is(TYPE_BLOCK)) {
        Cell type;
        datatype_set(&type, TYPE_TYPESET);
        error_raise(ErrCat::Script, "bad-to-arg", &type, spec);
    }
    Cell ts{TYPE_TYPESET, 0, 0, 0};
    uint32_t n = static_cast<uint32_t>(block_cells(spec).end - block_cells(spec).first);
    for (uint32_t i = 0; i < n; i++) typeset_add(&ts, block_cells(spec).first + i);
    return copy_cell(&ts, proto);
}

int32_t typeset_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    return typeset_text(value, buffer, false, limit);
}

int32_t typeset_mold(const Cell* value, Cell* buffer, bool only, bool, bool, const Cell*, int32_t limit, int32_t) {
    return typeset_text(value, buffer, only, limit);
}

int32_t typeset_compare(const Cell* value1, const Cell* value2, int32_t op) {
    if (!value2->is(TYPE_TYPESET)) return kCompareIncomparable;
    switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME: case COMP_FIND:
        return value1->data1 == value2->data1 && value1->data2 == value2->data2 && value1->data3 == value2->data3
                   ? 0 : 1;
    case COMP_SORT: case COMP_CASE_SORT: {
        uint32_t a = typeset_count(value1), b = typeset_count(value2);
        return a < b ? -1 : a > b ? 1 : 0;
    }
    default:
        return kCompareIncomparable;
    }
}

void typeset_and() { typeset_do_math(OP_AND); }
void typeset_or() { typeset_do_math(OP_OR); }
void typeset_xor() { typeset_do_math(OP_XOR); }

Cell* typeset_complement(Cell* value) {
    value->data1 = ~value->data1;
    value->data2 = ~value->data2;
    value->data3 = ~value->data3;
    return value;
}

Cell* typeset_find(Cell* series, Cell* value, const FindArgs&) {
    if (!value->is(TYPE_DATATYPE)) error_raise(ErrCat::Script, "invalid-arg", value);
    logic_set(series, typeset_has(series, value->data1));
    return series;
}

void typeset_init() {
    TypeRow(TYPE_TYPESET)
        .set<ACT_MAKE>(typeset_make)
        .set<ACT_TO>(typeset_make)
        .set<ACT_FORM>(typeset_form)
        .set<ACT_MOLD>(typeset_mold)
        .set<ACT_COMPARE>(typeset_compare)
        .set<ACT_AND_T>(typeset_and)
        .set<ACT_COMPLEMENT>(typeset_complement)
        .set<ACT_OR_T>(typeset_or)
        .set<ACT_XOR_T>(typeset_xor)
        .set<ACT_FIND>(typeset_find)
        .commit();
}

}  // namespace kel
