// The natives of the non-local exits: try, catch, throw, break, continue,
// exit, return.
#include "runtime/datatypes/error.h"
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

Cell global_word(const char* name) {
    Cell w{TYPE_WORD, 0, 0, 0};
    word_make_global_at(symbol_make(name), &w);
    return w;
}

// Whether a catch named by `wanted` (a word! or a block of words) takes a
// throw named `thrown`.
bool name_matches(const Cell& wanted, const Cell& thrown) {
    if (!thrown.is(TYPE_WORD)) return false;
    uint32_t canon = symbol_resolve(thrown.data2);
    if (wanted.is(TYPE_WORD)) return symbol_resolve(wanted.data2) == canon;
    for (uint32_t i = wanted.data1; i < cell_count(wanted.data2); i++) {
        Cell w = cells_of(wanted.data2)[i];
        if (!w.is(TYPE_WORD)) {
            Cell name = global_word("name");
            error_raise(ErrCat::Script, "invalid-refine-arg", &name, &wanted);
        }
        if (symbol_resolve(w.data2) == canon) return true;
    }
    return false;
}

}  // namespace

void native_try(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(70, refs);
    Cell block = *stack_arguments();
    GcRootCell keep_block(&block);
    bool all = refs[0] >= 0;
    bool keep = refs[1] >= 0;
    stack_keep();
    Cell name = global_word("try");
    stack_mark(&name, all ? FRAME_TRY_ALL : FRAME_TRY);
    CallFrame* frame = stack_current_frame();
    try {
        interp_eval_block(&block, true);
    } catch (const KelThrow& t) {
        if (t.code != EXIT_ERROR) throw;
        // The calls between this try and the raise stand until the landing
        // pops them, so /keep lists them first. The error is taken out of
        // the exception before that allocates: the exception's own cells
        // are not rooted, and a collection would leave them stale.
        Cell error{TYPE_NONE, 0, 0, 0}, calls{TYPE_NONE, 0, 0, 0};
        GcRootCell keep_error(&error), keep_calls(&calls);
        error_value_from_throw(t, &error);
        if (keep) error_list_calls(t.frame_depth, &calls);
        stack_land(frame);
        copy_cell(&error, stack_arguments());
        stack_unwind_last();
        if (keep) error_set_stack(stack_arguments(), &calls);
        return stack_keep();
    }
    if (exit_pending()) return;
    stack_unwind_last();
    if (keep) error_set_stack(stack_arguments());
    stack_keep();
}

void native_catch(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(82, refs);
    Cell block = *stack_arguments();
    bool named = refs[0] >= 0;
    Cell wanted = named ? stack_arguments()[refs[0]] : Cell{TYPE_NONE, 0, 0, 0};
    Cell value{TYPE_NONE, 0, 0, 0}, thrown_name{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_block(&block), keep_wanted(&wanted), keep_value(&value), keep_name(&thrown_name);
    stack_keep();
    Cell body = global_word("<body>");
    stack_mark(&body, FRAME_CATCH);
    CallFrame* frame = stack_current_frame();
    bool caught = false;
    try {
        interp_eval_block(&block, true);
    } catch (const KelThrow& t) {
        if (t.code != EXIT_THROW || stack_frame_at(t.target) != frame) throw;
        // Taken out of the exception before anything allocates: its cells
        // are not rooted.
        value = t.value;
        thrown_name = t.name;
        caught = true;
    }
    if (caught) {
        // The catch frame goes before the names are compared and before the
        // trace callback runs: an error the comparison raises, and a throw
        // made from either, look for their catchers below this one.
        stack_land(frame);
        stack_unwind_drop();
        if (named && !name_matches(wanted, thrown_name)) stack_rethrow_value(value, thrown_name, frame);
        copy_cell(&value, stack_arguments());
        stack_keep();
        if (g_interp.on) interp_trace_hook(TRACE_CATCH, nullptr, -1, nullptr, &value);
        return;
    }
    if (exit_pending()) return;
    stack_unwind_last();
    stack_keep();
}

void native_throw(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(81, refs);
    if (g_interp.on) interp_trace_hook(TRACE_THROW, nullptr, -1, nullptr, stack_arguments());
    if (refs[0] < 0) {
        stack_keep();
        stack_push_cell();
    }
    stack_throw_value();
}

void native_break(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(77, refs);
    stack_throw_break(refs[0] >= 0, false);
}

void native_continue(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(78, refs);
    stack_throw_break(false, true);
}

void native_exit(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(79, refs);
    stack_throw_return(false, false);
}

void native_return(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(80, refs);
    stack_throw_return(true, false);
}

}  // namespace kel
