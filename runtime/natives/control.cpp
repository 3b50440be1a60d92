// Conditionals and function makers: if, unless, either, any, all, switch,
// case, func, function, does, has.
//
// Every native that evaluates a block returns at once when an exit is left
// pending by the evaluation; the interpreter carries it on. Nodes and cells
// kept in variables across an evaluation or allocation are rooted.
#include "runtime/actions.h"
#include "runtime/datatypes/function.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/exits.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/stack.h"

namespace kel {

namespace {

inline Cell* cells_of(Off node) { return arena_at<Cell>(node_buffer(node)->head); }
inline uint32_t cell_count(Off node) {
    SeriesBuf* b = node_buffer(node);
    return (b->tail - b->head) >> 4;
}

void result_none() {
    cell_set(stack_arguments(), TYPE_NONE);
    stack_keep();
}

// Evaluates `block` into the result slot.
void do_block(const Cell& block) {
    Cell b = block;
    stack_keep();
    interp_eval_block(&b, true);
}

Cell block_at_head(const Cell& block) {
    Cell b = block;
    uint32_t n = cell_count(b.data2);
    if (b.data1 > n) b.data1 = n;
    return b;
}

// Makes the function! of `spec` and `body` the result.
void make_function(const Cell& spec_in, const Cell& body_in) {
    Cell spec = block_at_head(spec_in);
    Cell body = block_at_head(body_in);
    GcRootCell keep_spec(&spec), keep_body(&body);
    uint32_t flags = function_validate_spec(&spec);
    function_push(&spec, &body, 0, 0, flags);
    copy_cell(stack_top(), stack_arguments());
    stack_keep();
}

Cell shallow_copy(const Cell& block) {
    Cell b = block_at_head(block);
    uint32_t n = cell_count(b.data2);
    Off node = series_copy_part(b.data2, b.data1, n - b.data1);
    return Cell{TYPE_BLOCK, 0, node, 0};
}

}  // namespace

void value_truth_unset() { error_raise(ErrCat::Script, "no-return"); }

void native_if(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(1, refs);
    Cell* a = stack_arguments();
    if (value_false_q(a)) return result_none();
    do_block(a[1]);
}

void native_unless(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(2, refs);
    Cell* a = stack_arguments();
    if (!value_false_q(a)) return result_none();
    do_block(a[1]);
}

void native_either(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(3, refs);
    Cell* a = stack_arguments();
    Cell branch = value_true_checked(a) ? a[1] : a[2];
    do_block(branch);
}

void native_any(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(4, refs);
    Cell block = *stack_arguments();
    Off node = block.data2;
    GcRootNode keep(&node);
    uint32_t pos = block.data1;
    while (pos < cell_count(node)) {
        stack_keep();
        pos = interp_eval_next(node, pos, cell_count(node), false);
        if (exit_pending()) return;
        if (!value_false_q(stack_arguments())) return stack_keep();
    }
    result_none();
}

void native_all(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(5, refs);
    Cell block = *stack_arguments();
    Off node = block.data2;
    GcRootNode keep(&node);
    uint32_t pos = block.data1;
    if (pos >= cell_count(node)) return result_none();
    while (pos < cell_count(node)) {
        stack_keep();
        pos = interp_eval_next(node, pos, cell_count(node), false);
        if (exit_pending()) return;
        if (value_false_q(stack_arguments())) return result_none();
    }
    stack_keep();
}

void native_switch(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(18, refs);
    Cell* a = stack_arguments();
    Cell value = a[0];
    Cell cases = a[1];
    Off node = cases.data2;
    GcRootCell keep_value(&value);
    GcRootNode keep(&node);
    for (uint32_t i = cases.data1; i < cell_count(node); i++) {
        Cell c = cells_of(node)[i];
        if (c.is(TYPE_BLOCK) || c.type() != value.type()) continue;
        if (!actions_compare_call(&c, &value, COMP_EQUAL)) continue;
        for (uint32_t k = i + 1; k < cell_count(node); k++) {
            Cell b = cells_of(node)[k];
            if (b.is(TYPE_BLOCK)) return do_block(b);
        }
        return result_none();
    }
    if (refs[0] >= 0) return do_block(a[refs[0]]);
    result_none();
}

void native_case(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(19, refs);
    Cell cases = *stack_arguments();
    bool all = refs[0] >= 0;
    Off node = cases.data2;
    GcRootNode keep(&node);
    uint32_t pos = cases.data1;
    if (pos >= cell_count(node)) return result_none();
    stack_keep();
    Cell anon{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make("<anon>"), &anon);
    stack_mark(&anon, FRAME_NATIVE);
    cell_set(stack_push_cell(), TYPE_NONE);
    bool last_true = false;
    while (pos < cell_count(node)) {
        pos = interp_eval_next(node, pos, cell_count(node), false);
        if (exit_pending()) return;
        if (pos >= cell_count(node)) {
            Cell word{TYPE_WORD, 0, 0, 0};
            word_make_global_at(symbol_make("case"), &word);
            error_raise(ErrCat::Script, "need-value", &word);
        }
        if (value_true_checked(stack_arguments())) {
            Cell next = cells_of(node)[pos];
            stack_keep();
            if (next.is(TYPE_BLOCK)) {
                interp_eval_block(&next, true);
                pos++;
            } else {
                pos = interp_eval_next(node, pos, cell_count(node), false);
            }
            if (exit_pending()) return;
            last_true = true;
            if (!all) {
                stack_unwind_last();
                return stack_keep();
            }
        } else {
            pos++;
            last_true = false;
        }
        stack_keep();
    }
    if (!all || !last_true) cell_set(stack_arguments(), TYPE_NONE);
    stack_unwind_last();
    stack_keep();
}

void native_func(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(14, refs);
    Cell* a = stack_arguments();
    make_function(a[0], a[1]);
}

void native_function(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(15, refs);
    Cell* a = stack_arguments();
    Cell body = block_at_head(a[1]);
    GcRootCell keep_body(&body);
    Cell* spec = stack_push(a);  // keeps the copy reachable
    *spec = shallow_copy(a[0]);
    function_collect_locals(spec, &body);
    make_function(*spec, body);
}

void native_does(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(16, refs);
    Cell body = *stack_arguments();
    GcRootCell keep_body(&body);
    Cell* spec = stack_push_cell();
    cell_set(spec, TYPE_BLOCK, 0, alloc_cells(1), 0);
    make_function(*spec, body);
}

void native_has(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(17, refs);
    Cell* a = stack_arguments();
    Cell vars = block_at_head(a[0]);
    GcRootCell keep_vars(&vars);
    uint32_t n = cell_count(vars.data2) - vars.data1;
    Cell* spec = stack_push_cell();
    cell_set(spec, TYPE_BLOCK, 0, alloc_cells(n + 1), 0);
    Cell local{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make("local"), &local);
    cell_set_type(&local, TYPE_REFINEMENT);
    GcRootCell keep_local(&local);
    copy_cell(&local, block_buffer_append_slot(node_buffer(spec->data2)));
    for (uint32_t i = 0; i < n; i++) {
        Cell* slot = block_buffer_append_slot(node_buffer(spec->data2));
        copy_cell(cells_of(vars.data2) + vars.data1 + i, slot);
    }
    make_function(*spec, stack_arguments()[1]);
}

}  // namespace kel
