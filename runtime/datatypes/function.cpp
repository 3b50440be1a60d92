// function! and routine!: construction, interface block rules, locals and actions.
#include "runtime/datatypes/function.h"

#include <unordered_set>
#include <vector>

#include "runtime/actions.h"
#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/gc.h"
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

bool is_word_like(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT;
}

[[noreturn]] void bad_def(const Cell* spec) { error_raise(ErrCat::Script, "bad-func-def", spec); }

// The node of an interface block value, copied first when its index is past 0.
Off spec_node_at_head(const Cell* spec) {
    if (spec->data1 == 0) return spec->data2;
    uint32_t n = cell_count(spec->data2);
    uint32_t index = spec->data1 < n ? spec->data1 : n;
    return series_copy_part(spec->data2, index, n - index);
}

std::vector<RoutineCellsFn>& cells_registry() {
    static std::vector<RoutineCellsFn> r{nullptr};
    return r;
}
std::vector<RoutineValuesFn>& values_registry() {
    static std::vector<RoutineValuesFn> r{nullptr};
    return r;
}

Off make_more_block() {
    Off more = alloc_cells_unset(5);
    SeriesBuf* b = node_buffer(more);
    b->tail = b->head + 5 * 16;
    return more;
}

}  // namespace

Cell* function_more_cells(const Cell* function) { return cells_of(function->data3); }

uint32_t function_method_context(const Cell* function) {
    const Cell* c = function_more_cells(function) + 4;
    return function->is(TYPE_FUNCTION) && c->is(TYPE_INTEGER) ? c->data2 : 0;
}

Off function_push(const Cell* spec_in, const Cell* body_in, Off ctx, uint32_t object_ctx, uint32_t flags) {
    Cell spec = *spec_in;
    Cell body = body_in ? *body_in : Cell{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_spec(&spec), keep_body(&body);
    GcRootNode keep_ctx(&ctx), keep_object(&object_ctx);
    if (body.is(TYPE_BLOCK) && body.data1 > cell_count(body.data2)) body.data1 = cell_count(body.data2);
    // The function cell is on the stack from the start and takes each part
    // as it is made, so every part made so far is marked through it.
    Cell* out = stack_push_cell();
    cell_set(out, TYPE_FUNCTION | flags, 0, 0, 0);
    out->data2 = spec_node_at_head(&spec);
    out->data3 = make_more_block();
    bool made_here = ctx == 0;
    if (made_here) {
        Cell at_head{TYPE_BLOCK, 0, out->data2, 0};
        ctx = context_make_from_spec(&at_head, true, false, 1);
    }
    out->data1 = ctx;
    copy_cell(out, cells_of(ctx) + 1);
    Off more = out->data3;  // nothing below allocates before its last use
    Cell* m = cells_of(more);
    if (body.is(TYPE_BLOCK)) {
        // The body is the function's own deep copy, bound to its context.
        Cell* dest = stack_push_cell();
        Cell* copy = action_fn<ACT_COPY>(body.type())(&body, dest, nullptr, true, nullptr);
        Cell copied = *copy;
        stack_pop(1);
        if (made_here) context_bind_block(&copied, ctx, false);  // binding allocates nothing
        copy_cell(&copied, cells_of(out->data3));
    } else {
        cell_set(m, TYPE_NONE);
    }
    m = cells_of(out->data3);
    if (object_ctx) cell_set(m + 4, TYPE_INTEGER, 0, object_ctx);
    return ctx;
}

uint32_t function_validate_spec(const Cell* spec) {
    Off node = spec->data2;
    uint32_t n = cell_count(node);
    uint32_t i = spec->data1;
    uint32_t flags = 0;
    if (i < n && cells_of(node)[i].is(TYPE_BLOCK)) {
        Cell attrs = cells_of(node)[i];
        uint32_t trace = canon_of("trace"), no_trace = canon_of("no-trace");
        for (uint32_t k = attrs.data1; k < cell_count(attrs.data2); k++) {
            const Cell* a = cells_of(attrs.data2) + k;
            if (!a->is(TYPE_WORD)) bad_def(spec);
            uint32_t c = symbol_resolve(a->data2);
            if (c == trace) flags |= FUNC_FLAG_TRACE;
            else if (c == no_trace) flags |= FUNC_FLAG_NO_TRACE;
        }
        i++;
    }
    uint32_t local = canon_of("local"), ret = canon_of("return");
    bool locals = false, seen_return = false;
    std::unordered_set<uint32_t> seen;  // canonical symbols; a set keeps long specs linear
    for (; i < n; i++) {
        Cell c = cells_of(node)[i];
        const Cell* next = i + 1 < n ? cells_of(node) + i + 1 : nullptr;
        switch (c.type()) {
        case TYPE_STRING:
            break;
        case TYPE_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
            if (locals && !c.is(TYPE_WORD)) bad_def(spec);
            if (seen_return && !locals) bad_def(spec);
            if (next && next->is(TYPE_STRING) && i + 2 < n && cells_of(node)[i + 2].is(TYPE_BLOCK)) bad_def(spec);
            if (next && next->is(TYPE_BLOCK)) {
                Cell types = *next;
                Cell scratch{TYPE_TYPESET, 0, 0, 0};
                for (uint32_t k = types.data1; k < cell_count(types.data2); k++) {
                    Cell e = cells_of(types.data2)[k];
                    if (e.is(TYPE_WORD) || e.is(TYPE_DATATYPE) || e.is(TYPE_TYPESET))
                        typeset_add_spec_element(&scratch, &e);
                    else error_raise(ErrCat::Script, "invalid-type-spec", &e);
                }
                i++;
            }
            break;
        case TYPE_SET_WORD:
            if (symbol_resolve(c.data2) != ret || seen_return || locals) bad_def(spec);
            seen_return = true;
            if (!next || !next->is(TYPE_BLOCK)) bad_def(spec);
            if (i + 2 < n) {
                const Cell* after = cells_of(node) + i + 2;
                if (!after->is(TYPE_REFINEMENT) && !after->is(TYPE_STRING)) bad_def(spec);
            }
            i++;
            break;
        case TYPE_REFINEMENT:
            if (symbol_resolve(c.data2) == local) locals = true;
            else if (locals || seen_return) bad_def(spec);
            if (next) {
                uint32_t t = next->type();
                if (!(t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT ||
                      t == TYPE_SET_WORD || t == TYPE_STRING))
                    bad_def(spec);
            }
            break;
        default:
            bad_def(spec);
        }
    }
    // No name twice.
    for (uint32_t k = spec->data1; k < n; k++) {
        Cell c = cells_of(node)[k];
        if (!is_word_like(c.type())) continue;
        if (!seen.insert(symbol_resolve(c.data2)).second) error_raise(ErrCat::Script, "dup-vars", &c);
    }
    return flags;
}

namespace {

void collect_words(const Cell* block, std::unordered_set<uint32_t>& known, std::vector<Cell>& found, uint32_t loops[3]) {
    Off node = block->data2;
    if (cycles_find(node)) return;
    CycleGuard guard(node);
    auto add = [&](const Cell& w) {
        if (!known.insert(symbol_resolve(w.data2)).second) return;
        Cell word = w;
        cell_set_type(&word, TYPE_WORD);
        found.push_back(word);
    };
    for (uint32_t i = block->data1; i < cell_count(node); i++) {
        Cell c = cells_of(node)[i];
        if (c.is(TYPE_SET_WORD)) {
            add(c);
        } else if (c.is(TYPE_WORD) && i + 1 < cell_count(node)) {
            uint32_t canon = symbol_resolve(c.data2);
            Cell next = cells_of(node)[i + 1];
            bool is_repeat = canon == loops[0];
            bool is_each = canon == loops[1] || canon == loops[2];
            if ((is_repeat || is_each) && next.is(TYPE_WORD)) add(next);
            else if (is_each && next.is(TYPE_BLOCK)) {
                for (uint32_t k = next.data1; k < cell_count(next.data2); k++) {
                    Cell w = cells_of(next.data2)[k];
                    if (w.is(TYPE_WORD)) add(w);
                }
            }
        } else if (c.is(TYPE_BLOCK) || c.is(TYPE_PAREN)) {
            collect_words(&c, known, found, loops);
        }
    }
}

}  // namespace

void function_collect_locals(Cell* spec, const Cell* body) {
    Off node = spec->data2;
    GcRootNode keep_spec(&node);
    uint32_t local = canon_of("local"), ext = canon_of("extern");
    std::unordered_set<uint32_t> known;  // canonical symbols of the interface block and /extern
    bool has_local = false;
    uint32_t n = cell_count(node);
    for (uint32_t i = spec->data1; i < n; i++) {
        Cell c = cells_of(node)[i];
        if (c.is(TYPE_REFINEMENT) && symbol_resolve(c.data2) == ext) {
            for (uint32_t k = i + 1; k < n; k++) {
                Cell e = cells_of(node)[k];
                uint32_t t = e.type();
                if (t == TYPE_BLOCK || t == TYPE_STRING) continue;
                if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD &&
                    t != TYPE_REFINEMENT)
                    error_raise(ErrCat::Script, "bad-func-extern", &e);
                known.insert(symbol_resolve(e.data2));
            }
            SeriesBuf* b = node_buffer(node);
            b->tail = b->head + i * 16;
            n = i;
            break;
        }
        if (is_word_like(c.type())) {
            known.insert(symbol_resolve(c.data2));
            if (c.is(TYPE_REFINEMENT) && symbol_resolve(c.data2) == local) has_local = true;
        }
    }
    std::vector<Cell> found;
    uint32_t loops[3] = {canon_of("repeat"), canon_of("foreach"), canon_of("remove-each")};
    if (body->is(TYPE_BLOCK)) collect_words(body, known, found, loops);
    if (found.empty()) return;
    // The words found and the interface block stay rooted while the interface block grows.
    GcRootCell keep_found(found.data(), found.size());
    if (!has_local) {
        Cell r{TYPE_WORD, 0, 0, 0};
        GcRootCell keep(&r);
        word_make_global_at(symbol_make("local"), &r);
        cell_set_type(&r, TYPE_REFINEMENT);
        copy_cell(&r, block_buffer_append_slot(node_buffer(node)));
    }
    for (const Cell& w : found) copy_cell(&w, block_buffer_append_slot(node_buffer(node)));
}

int32_t function_count_locals(Off spec, uint32_t start, bool must) {
    uint32_t local = canon_of("local");
    int32_t count = -1;
    for (uint32_t i = start; i < cell_count(spec); i++) {
        const Cell* c = cells_of(spec) + i;
        if (count < 0) {
            if (c->is(TYPE_REFINEMENT) && symbol_resolve(c->data2) == local) count = 1;
        } else if (c->is(TYPE_WORD)) {
            count++;
        }
    }
    if (count < 0) return must ? -1 : 0;
    return count;
}

void function_init_locals(uint32_t n) {
    if (n == 0) return;
    cell_set(stack_push_cell(), TYPE_LOGIC, 0);
    for (uint32_t i = 1; i < n; i++) cell_set(stack_push_cell(), TYPE_NONE);
}

// ---------------------------------------------------------------------------
// Actions.

namespace {

Cell* function_make(Cell*, Cell* spec, int32_t) {
    if (!spec->is(TYPE_BLOCK) || cell_count(spec->data2) < spec->data1 + 2) bad_def(spec);
    Cell s = cells_of(spec->data2)[spec->data1];
    Cell b = cells_of(spec->data2)[spec->data1 + 1];
    if (!s.is(TYPE_BLOCK) || !b.is(TYPE_BLOCK)) bad_def(spec);
    uint32_t flags = function_validate_spec(&s);
    function_push(&s, &b, 0, 0, flags);
    Cell result = *stack_top();
    stack_pop(1);
    copy_cell(&result, spec);
    return spec;
}

Cell* function_reflect(Cell* value, int32_t field) {
    uint32_t canon = symbol_resolve(static_cast<uint32_t>(field));
    if (canon == canon_of("spec")) {
        cell_set(value, TYPE_BLOCK, 0, value->data2, 0);
    } else if (canon == canon_of("body")) {
        copy_cell(function_more_cells(value), value);
    } else if (canon == canon_of("words")) {
        Off ctx = value->data1;
        Off wnode = context_words_node(ctx);
        Off words = series_copy_part(wnode, 0, cell_count(wnode));
        cell_set(value, TYPE_BLOCK, 0, words, 0);
    } else {
        error_raise(ErrCat::Internal, "not-done");
    }
    return value;
}

int32_t function_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    const char* text = value->is(TYPE_ROUTINE) ? "?routine?" : "?function?";
    string_append_ascii(buffer, text);
    return limit - static_cast<int32_t>(std::char_traits<char>::length(text));
}

int32_t function_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent) {
    (void)only;
    bool routine = value->is(TYPE_ROUTINE);
    string_append_ascii(buffer, routine ? "routine " : "func ");
    limit -= routine ? 8 : 5;
    Cell spec{TYPE_BLOCK, 0, value->data2, 0};
    limit = actions_mold_call(&spec, buffer, false, all, flat, part, limit, indent);
    Cell body = *function_more_cells(value);
    if (body.is(TYPE_BLOCK)) {
        if (routine) {
            string_append_ascii(buffer, " ");
            limit--;
        }
        limit = actions_mold_call(&body, buffer, false, all, flat, part, limit, indent);
    } else if (body.is(TYPE_NONE)) {
        string_append_ascii(buffer, " none");
        limit -= 5;
    } else {
        string_append_ascii(buffer, " ");
        limit = actions_mold_call(&body, buffer, false, all, flat, part, limit - 1, indent);
    }
    return limit;
}

int32_t function_compare(const Cell* a, const Cell* b, int32_t op) {
    if (a->type() != b->type()) return kCompareIncomparable;
    switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
    case COMP_SAME: case COMP_FIND:
        return a->data3 == b->data3 ? 0 : (static_cast<int32_t>(a->data3) < static_cast<int32_t>(b->data3) ? -1 : 1);
    default:
        return kCompareIncomparable;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Routines.

uint32_t routine_register_cells(RoutineCellsFn fn) {
    cells_registry().push_back(fn);
    return static_cast<uint32_t>(cells_registry().size() - 1);
}

uint32_t routine_register_values(RoutineValuesFn fn) {
    values_registry().push_back(fn);
    return static_cast<uint32_t>(values_registry().size() - 1);
}

void routine_push(const Cell* spec, const Cell* body, uint32_t code_index, int32_t return_type, bool takes_cells) {
    function_push(spec, body, 0, 0, 0);
    Cell* out = stack_top();
    uint32_t words = 0;
    for (uint32_t i = 0; i < cell_count(out->data2); i++)
        if (cells_of(out->data2)[i].is(TYPE_WORD)) words++;
    if (words > 31) bad_def(spec);
    out->header = TYPE_ROUTINE | (takes_cells ? ROUTINE_TAKES_CELLS : 0) | (words << 25);
    copy_cell(out, cells_of(out->data1) + 1);
    Cell* m = function_more_cells(out);
    cell_set(m + 2, TYPE_INTEGER, 0, code_index);
    cell_set(m + 4, TYPE_INTEGER, 0, static_cast<uint32_t>(return_type));
}

uint32_t routine_arg_count(const Cell* routine) { return (routine->header >> 25) & 0x1F; }

void routine_exec(const Cell* routine) {
    uint32_t n = routine_arg_count(routine);
    Cell* m = function_more_cells(routine);
    uint32_t index = m[2].data2;
    int32_t ret = static_cast<int32_t>(m[4].data2);
    Cell* args = stack_arguments();
    if (routine->header & ROUTINE_TAKES_CELLS) {
        if (index >= cells_registry().size() || !cells_registry()[index]) error_raise(ErrCat::Internal, "not-done");
        std::vector<Cell*> cells(n);
        for (uint32_t i = 0; i < n; i++) cells[i] = args + i;
        const Cell* result = cells_registry()[index](cells.data(), n);
        if (result) copy_cell(result, stack_arguments());
        stack_keep();
        return;
    }
    if (index >= values_registry().size() || !values_registry()[index]) error_raise(ErrCat::Internal, "not-done");
    std::vector<RoutineValue> values(n);
    for (uint32_t i = 0; i < n; i++) {
        Cell* a = args + i;
        switch (a->type()) {
        case TYPE_LOGIC: values[i].i = a->data1 ? 1 : 0; break;
        case TYPE_INTEGER: values[i].i = static_cast<int32_t>(a->data2); break;
        case TYPE_FLOAT: values[i].d = cell_get_float(a); break;
        default: values[i].c = a; break;
        }
    }
    RoutineValue r = values_registry()[index](values.data(), n);
    Cell* out = stack_arguments();
    switch (ret) {
    case TYPE_LOGIC: cell_set(out, TYPE_LOGIC, r.i ? 1u : 0u); break;
    case TYPE_INTEGER: cell_set(out, TYPE_INTEGER, 0, static_cast<uint32_t>(r.i)); break;
    case TYPE_FLOAT:
        cell_set(out, TYPE_FLOAT);
        cell_put_float(out, r.d);
        break;
    default: break;
    }
    stack_keep();
}

void function_init() {
    TypeRow(TYPE_FUNCTION)
        .set<ACT_MAKE>(function_make)
        .set<ACT_REFLECT>(function_reflect)
        .set<ACT_FORM>(function_form)
        .set<ACT_MOLD>(function_mold)
        .set<ACT_COMPARE>(function_compare)
        .commit();
}

void routine_init() {
    TypeRow(TYPE_ROUTINE)
        .inherit({ACT_REFLECT})
        .set<ACT_FORM>(function_form)
        .set<ACT_MOLD>(function_mold)
        .set<ACT_COMPARE>(function_compare)
        .commit();
}

}  // namespace kel
