// native!, action! and op!: making, reflection, text forms and comparison.
#include "runtime/datatypes/native.h"

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/string.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/gc.h"
#include "runtime/natives.h"
#include "runtime/spec_text.h"
#include "runtime/stack.h"
#include "runtime/typecheck.h"

namespace kel {

namespace {

inline Cell* cells_of(Off node) { return arena_at<Cell>(node_buffer(node)->head); }
inline uint32_t cell_count(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}
uint32_t canon_of(const char* name) { return symbol_resolve(symbol_make(name)); }

[[noreturn]] void bad_make(int32_t type, const Cell* spec) {
    Cell dt;
    datatype_set(&dt, type);
    error_raise(ErrCat::Script, "bad-make-arg", &dt, spec);
}

bool entry_exists(int32_t type, int32_t index) {
    if (type == TYPE_NATIVE) return index >= 1 && index <= kNativeTableSize && native_entry(static_cast<uint32_t>(index));
    // Slot 7 (eval-path) has a dispatcher but no interface block: path
    // evaluation calls it with operands no frame lays out.
    return index >= 1 && index <= kActionCount && action_dispatcher(static_cast<uint32_t>(index)) &&
           *action_spec_text(index);
}

// The argument and refinement entries of a descriptor, up to its counts,
// without the return: entry.
struct DescEntries {
    const Cell* cells;
    uint32_t n;
    explicit DescEntries(Off desc) : cells(cells_of(desc)), n(cell_count(desc)) {}
    bool skipped(uint32_t i) const {
        return cells[i].is(TYPE_TYPESET) && ((cells[i].header & ARG_MODE_MASK) >> ARG_MODE_SHIFT) == ARG_RETURN;
    }
    bool listed(uint32_t i) const { return cells[i].is(TYPE_TYPESET) || cells[i].is(TYPE_REFINEMENT); }
    uint32_t next(uint32_t i) const {
        while (i < n && skipped(i)) i++;
        return i < n && listed(i) ? i : n;
    }
};

// Whether every type of `given` that a value can have is in `allowed`.
bool types_within(const Cell* given, const Cell* allowed) {
    for (uint32_t t = 1; t <= kTypeCount; t++)
        if (type_has_values(t) && typeset_has(given, t) && !typeset_has(allowed, t)) return false;
    return true;
}

// A native or action trusts the interpreter to have checked its arguments
// against the interface block of its value, and reads its frame by its own
// interface block. An interface block given to make fits when it has the
// same arguments and refinements in the same order, each argument taking
// no type that the implementation's own interface block refuses.
bool spec_fits_entry(int32_t type, int32_t index, const Cell* spec) {
    Off spec_node = spec->data2;
    GcRootNode keep_spec(&spec_node);
    Cell own{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_own(&own);
    block_from_text(type == TYPE_NATIVE ? native_info(index).spec : action_spec_text(index), &own);
    Off given = spec_cache_build(spec_node, true);
    GcRootNode keep_given(&given);
    Off registered = spec_cache_build(own.data2, true);
    // Nothing allocates below.
    DescEntries a(given), b(registered);
    uint32_t i = a.next(0), k = b.next(0);
    for (; i < a.n && k < b.n; i = a.next(i + 1), k = b.next(k + 1)) {
        if (a.cells[i].type() != b.cells[k].type()) return false;
        if (a.cells[i].is(TYPE_TYPESET) && !types_within(a.cells + i, b.cells + k)) return false;
    }
    return i == a.n && k == b.n;
}

int32_t text_result(Cell* buffer, const char* text, int32_t limit) {
    string_append_ascii(buffer, text);
    return limit - static_cast<int32_t>(std::char_traits<char>::length(text));
}

int32_t native_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    return text_result(buffer, value->is(TYPE_ACTION) ? "?action?" : "?native?", limit);
}

int32_t op_form(const Cell*, Cell* buffer, const Cell*, int32_t limit) { return text_result(buffer, "?op?", limit); }

int32_t native_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                    int32_t indent) {
    limit = text_result(buffer, value->is(TYPE_ACTION) ? "make action! [" : "make native! [", limit);
    Cell spec{TYPE_BLOCK, 0, value->data2, 0};
    limit = actions_mold_call(&spec, buffer, only, all, flat, part, limit, indent);
    return text_result(buffer, "]", limit);
}

int32_t op_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                int32_t indent) {
    uint32_t source = (value->header >> 16) & 0xFF;
    limit = text_result(buffer, "make op! ", limit);
    limit = text_result(buffer, source == TYPE_FUNCTION ? "func " : "[", limit);
    Cell spec{TYPE_BLOCK, 0, value->data2, 0};
    Cell anon{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make("<anon>"), &anon);
    // The caller's cells above its arguments (a block mold's scratch, the
    // buffer itself) stay: only the frame is dropped.
    Cell* top = g_stack.top;
    stack_mark(&anon, FRAME_NATIVE);
    limit = actions_mold_call(&spec, buffer, only, all, flat, part, limit, indent);
    stack_unwind_drop();
    g_stack.top = top;
    if (source == TYPE_FUNCTION) {
        Cell body = *function_more_cells(value);
        if (body.is(TYPE_BLOCK)) return actions_mold_call(&body, buffer, false, all, flat, part, limit, indent);
    }
    return text_result(buffer, "]", limit);
}

int32_t native_compare(const Cell* a, const Cell* b, int32_t op) {
    if (a->type() != b->type()) return kCompareIncomparable;
    switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
    case COMP_SAME: case COMP_FIND: {
        int32_t x = static_cast<int32_t>(a->data1), y = static_cast<int32_t>(b->data1);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    default:
        return kCompareIncomparable;
    }
}

// An op!'s first payload word means what it means for its source: a native
// index, an action slot or a function's context. Ops of different sources
// (the native and the action of the same number) are never equal.
int32_t op_compare(const Cell* a, const Cell* b, int32_t op) {
    int32_t result = native_compare(a, b, op);
    if (result == kCompareIncomparable) return result;
    uint32_t sa = (a->header >> 16) & 0xFF, sb = (b->header >> 16) & 0xFF;
    return sa == sb ? result : sa < sb ? -1 : 1;
}

Cell* native_reflect(Cell* value, int32_t field) {
    uint32_t canon = symbol_resolve(static_cast<uint32_t>(field));
    uint32_t source = callable_source_type(value);
    if (canon == canon_of("spec")) {
        cell_set(value, TYPE_BLOCK, 0, value->data2, 0);
    } else if (canon == canon_of("body")) {
        if (source == TYPE_FUNCTION || source == TYPE_ROUTINE) copy_cell(function_more_cells(value), value);
        else cell_set(value, TYPE_INTEGER, 0, value->data1);
    } else {
        error_raise(ErrCat::Internal, "not-done");
    }
    return value;
}

}  // namespace

void native_check_spec_fits(const Cell* callable) {
    int32_t type = static_cast<int32_t>(callable_source_type(callable));
    Cell spec{TYPE_BLOCK, 0, callable->data2, 0};
    GcRootCell keep(&spec);  // the fit check allocates
    if (!spec_fits_entry(type, static_cast<int32_t>(callable->data1), &spec))
        error_raise(ErrCat::Script, "bad-func-def", &spec);
}

Cell* native_make(Cell*, Cell* spec, int32_t type) {
    if (!spec->is(TYPE_BLOCK) || cell_count(spec->data2) != spec->data1 + 2) bad_make(type, spec);
    Cell s = cells_of(spec->data2)[spec->data1];
    Cell index = cells_of(spec->data2)[spec->data1 + 1];
    if (!s.is(TYPE_BLOCK) || s.data1 != 0 || !index.is(TYPE_INTEGER)) bad_make(type, spec);
    int32_t n = static_cast<int32_t>(index.data2);
    GcRootCell keep_s(&s);  // the fit check allocates
    if (!entry_exists(type, n) || !spec_fits_entry(type, n, &s)) bad_make(type, spec);
    // The value is on the stack, typed from the start, so the collector
    // marks each part through it as soon as it is stored.
    Cell* out = stack_push_cell();
    cell_set(out, static_cast<uint32_t>(type), static_cast<uint32_t>(n), s.data2, 0);
    Off more = alloc_cells_unset(2);
    SeriesBuf* b = node_buffer(more);
    b->tail = b->head + 32;
    out->data3 = more;
    Off ctx = context_make_from_spec(spec, true, false, 1);
    more = out->data3;
    copy_cell(cells_of(ctx), cells_of(more));
    cell_set(cells_of(more) + 1, TYPE_NONE);
    Cell result = *out;
    stack_pop(1);
    copy_cell(&result, spec);
    return spec;
}

bool op_spec_ok_q(const Cell* spec) {
    uint32_t local = canon_of("local"), ext = canon_of("extern");
    int count = 0;
    bool plain = false;
    for (uint32_t i = spec->data1; i < cell_count(spec->data2); i++) {
        const Cell* c = cells_of(spec->data2) + i;
        switch (c->type()) {
        case TYPE_WORD:
            count++;
            plain = true;
            break;
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
            if (!plain) return false;
            count++;
            break;
        case TYPE_SET_WORD:
            return count == 2;
        case TYPE_REFINEMENT: {
            uint32_t canon = symbol_resolve(c->data2);
            return (canon == local || canon == ext) && count == 2;
        }
        default:
            break;
        }
    }
    return count == 2;
}

Cell* op_make(Cell*, Cell* source, int32_t) {
    uint32_t t = source->type();
    if (t != TYPE_ACTION && t != TYPE_NATIVE && t != TYPE_FUNCTION && t != TYPE_ROUTINE) {
        Cell dt;
        datatype_set(&dt, static_cast<int32_t>(t));
        error_raise(ErrCat::Script, "invalid-type", &dt);
    }
    Cell spec{TYPE_BLOCK, 0, source->data2, 0};
    if (!op_spec_ok_q(&spec)) error_raise(ErrCat::Script, "bad-op-spec");
    Cell result = *source;
    result.header = TYPE_OP + (t << 16);
    if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) copy_cell(source, function_more_cells(source) + 3);
    copy_cell(&result, source);
    return source;
}

void native_init() {
    TypeRow(TYPE_NATIVE)
        .set<ACT_MAKE>(native_make)
        .set<ACT_REFLECT>(native_reflect)
        .set<ACT_FORM>(native_form)
        .set<ACT_MOLD>(native_mold)
        .set<ACT_COMPARE>(native_compare)
        .commit();
}

void action_init() {
    TypeRow(TYPE_ACTION)
        .set<ACT_MAKE>(native_make)
        .inherit({ACT_REFLECT})
        .set<ACT_FORM>(native_form)
        .set<ACT_MOLD>(native_mold)
        .set<ACT_COMPARE>(native_compare)
        .commit();
}

void op_init() {
    TypeRow(TYPE_OP)
        .set<ACT_MAKE>(op_make)
        .inherit({ACT_REFLECT})
        .set<ACT_FORM>(op_form)
        .set<ACT_MOLD>(op_mold)
        .set<ACT_COMPARE>(op_compare)
        .commit();
}

}  // namespace kel
