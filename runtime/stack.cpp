// The evaluation stack and call frames.
#include "runtime/stack.h"

#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/memory.h"

namespace kel {

EvalStack g_stack = {};
uint32_t (*g_context_values_get)(uint32_t) = nullptr;
void (*g_context_values_set)(uint32_t, uint32_t) = nullptr;

namespace {

bool stack_initialised = false;
Cell not_found_word = {TYPE_WORD, 0, 0, 0xFFFFFFFFu};

}  // namespace

// The data top stays where it is: the cells below it are the arguments and
// callables of calls that the unwinding still reads, and they must stay
// roots of the collector while the error is built.
void stack_overflow_frames() {
    cycles_reset();
    error_raise(ErrCat::Internal, "stack-overflow");
}

namespace {

void restore_context(const CallFrame* frame) {
    if (frame->func_ctx && g_context_values_set) g_context_values_set(frame->func_ctx, frame->saved_values);
}

CallFrame* pop_frame() {
    CallFrame* frame = --g_stack.frame_top;
    g_stack.args = frame->saved_args_ptr();
    return frame;
}

}  // namespace

bool stack_ready() { return stack_initialised; }

void stack_init() {
    if (!memory_ready()) memory_init();
    if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
    g_stack.data_node = alloc_series_fixed(kDataStackCells + kDataStackReserve, 16, 0);
    g_stack.frame_node = alloc_series_fixed(kFrameStackRecords * sizeof(CallFrame), 1, 0);
    SeriesBuf* data = node_buffer(g_stack.data_node);
    SeriesBuf* frames = node_buffer(g_stack.frame_node);
    g_stack.data_bottom = g_stack.args = g_stack.top = arena_at<Cell>(data->data_start());
    g_stack.data_end = g_stack.data_bottom + kDataStackCells;
    g_stack.frame_bottom = g_stack.frame_top = arena_at<CallFrame>(frames->data_start());
    g_stack.frame_end = g_stack.frame_bottom + kFrameStackRecords;
    g_stack.remembered = nullptr;
    stack_initialised = true;
}

void stack_overflow_data() {
    cycles_reset();
    Cell* normal_end = g_stack.data_bottom + kDataStackCells;
    if (g_stack.data_end == normal_end) {
        // Build the error in the reserve past the end; the end comes back
        // as the error leaves.
        struct Reserve {
            ~Reserve() { g_stack.data_end = g_stack.data_bottom + kDataStackCells; }
        } reserve;
        g_stack.data_end = normal_end + kDataStackReserve;
        error_raise(ErrCat::Internal, "stack-overflow");
    }
    // The reserve ran out too: the error can only be built on the top cells.
    Cell* lowered = g_stack.top - 4;
    g_stack.top = lowered < g_stack.data_bottom ? g_stack.data_bottom : lowered;
    error_raise(ErrCat::Internal, "stack-overflow");
}

void stack_mark_func(uint32_t symbol, uint32_t word_ctx, uint32_t func_ctx) {
    if (g_stack.frame_top >= g_stack.frame_end) stack_overflow_frames();
    uint32_t saved = func_ctx && g_context_values_get ? g_context_values_get(func_ctx) : 0;
    *g_stack.frame_top++ = CallFrame{FRAME_FUNC, symbol, arena_off(g_stack.args), word_ctx, func_ctx, saved};
    g_stack.args = g_stack.top;
}

void stack_mark_interp_func_ctx(uint32_t symbol, uint32_t word_ctx, uint32_t func_ctx) {
    if (g_stack.frame_top >= g_stack.frame_end) stack_overflow_frames();
    uint32_t saved = func_ctx && g_context_values_get ? g_context_values_get(func_ctx) : 0;
    *g_stack.frame_top++ = CallFrame{FRAME_INTERP_FUNC, symbol, arena_off(g_stack.args), word_ctx, func_ctx, saved};
    g_stack.args = g_stack.top;
}

void stack_mark_func_body(uint32_t symbol, uint32_t word_ctx, uint32_t func_ctx) {
    if (func_ctx && g_context_values_set) g_context_values_set(func_ctx, arena_off(g_stack.args));
    stack_mark(symbol, word_ctx, FRAME_FUNC_BODY);
}

void stack_set_label_symbols(uint32_t body, uint32_t anon) {
    g_stack.body_symbol = body;
    g_stack.anon_symbol = anon;
}

void stack_set_not_found_word(const Cell& word) { not_found_word = word; }

void stack_set_body_flag(bool flag) {
    CallFrame* f = stack_current_frame();
    if (flag) f->header |= FRAME_BODY_FLAG;
    else f->header &= ~FRAME_BODY_FLAG;
}

void stack_set_interp_flag() { stack_current_frame()->header |= FRAME_INTERP_FLAG; }

CallFrame* stack_mark_caller_body() {
    if (g_stack.frame_top - g_stack.frame_bottom < 2) return nullptr;
    CallFrame* below = g_stack.frame_top - 2;
    if (below->header & FRAME_BODY_FLAG) return nullptr;
    below->header |= FRAME_BODY_FLAG;
    return below;
}

void stack_unwind_func() {
    Cell* args = g_stack.args;
    restore_context(pop_frame());
    g_stack.top = args + 1;
}

void stack_unwind_last() {
    Cell* args = g_stack.args;
    pop_frame();
    g_stack.top = args + 1;
    copy_cell(args, g_stack.args);
}

void stack_unwind_func_last() {
    Cell* args = g_stack.args;
    restore_context(pop_frame());
    g_stack.top = args + 1;
    copy_cell(args, g_stack.args);
}

void stack_unwind_drop() {
    pop_frame();
    g_stack.top = g_stack.args;
}

void stack_unwind_func_drop() {
    restore_context(pop_frame());
    g_stack.top = g_stack.args;
}

void stack_revert() {
    Cell* args = g_stack.args;
    CallFrame* frame = pop_frame();
    if (frame->type() == FRAME_FUNC) restore_context(frame);
    g_stack.top = args;
    if (g_stack.frame_top == g_stack.frame_bottom) g_stack.args = g_stack.top = g_stack.data_bottom;
}

void stack_set_error_result() {
    Cell* top = stack_top();
    if (top->is(TYPE_ERROR)) copy_cell(top, g_stack.args);
    g_stack.top = g_stack.args + 1;
}

bool stack_interpreted_q(CallFrame* frame, bool nearest_only) {
    CallFrame* start = frame ? frame : g_stack.frame_top;
    for (CallFrame* f = start - 1; f >= g_stack.frame_bottom; f--) {
        if (f->header & FRAME_INTERP_FLAG) return true;
        if (nearest_only) break;
    }
    return false;
}

CallFrame* stack_unroll(uint32_t type, bool keep) {
    if (g_stack.frame_top == g_stack.frame_bottom) return nullptr;
    Cell* innermost = g_stack.args;
    CallFrame* f = g_stack.frame_top - 1;
    while (f > g_stack.frame_bottom) {
        uint32_t t = f->type();
        if (t == (type & FRAME_TYPE_MASK) || t == (FRAME_TRY_ALL & FRAME_TYPE_MASK)) break;
        if (t == FRAME_FUNC) restore_context(f);
        f--;
    }
    // A frame's own arguments pointer is kept by the record above it (as that
    // frame's saved pointer), or is the current one when nothing is popped.
    Cell* own_args = f + 1 < g_stack.frame_top ? (f + 1)->saved_args_ptr() : g_stack.args;
    g_stack.frame_top = f + 1;
    g_stack.top = innermost + 1;
    if (keep) {
        g_stack.args = own_args;
    } else if (f == g_stack.frame_bottom) {
        g_stack.args = g_stack.top = g_stack.data_bottom;
    } else {
        g_stack.args = f->saved_args_ptr();
    }
    return f;
}

CallFrame* stack_unroll_last(uint32_t type) {
    Cell* innermost = g_stack.args;
    CallFrame* f = stack_unroll(type, true);
    copy_cell(innermost, g_stack.args);
    g_stack.top = g_stack.args;
    return f;
}

void stack_land(CallFrame* frame) {
    Cell* own_args = stack_frame_args(frame);
    for (CallFrame* f = g_stack.frame_top - 1; f > frame; f--)
        if (f->type() == FRAME_FUNC) restore_context(f);
    g_stack.frame_top = frame + 1;
    g_stack.args = own_args;
    g_stack.top = own_args + 1;
}

Cell stack_get_call() {
    CallFrame* start = g_stack.remembered ? g_stack.remembered : g_stack.frame_top;
    g_stack.remembered = nullptr;
    CallFrame* f = start - 1;
    while (f >= g_stack.frame_bottom && stack_label_hidden(f->symbol)) f--;
    if (f < g_stack.frame_bottom || f->symbol == 0) return not_found_word;
    return Cell{TYPE_WORD, f->word_ctx, f->symbol, 0xFFFFFFFFu};
}

void stack_collect_calls(void (*visit)(void*, const Cell&, int32_t), void* state) {
    for (CallFrame* f = g_stack.frame_top - 1; f > g_stack.frame_bottom; f--) {
        if (stack_label_hidden(f->symbol)) continue;
        Cell word{TYPE_WORD, f->func_ctx ? f->func_ctx : f->word_ctx, f->symbol, 0xFFFFFFFFu};
        visit(state, word, static_cast<int32_t>(f->saved_args_ptr() - g_stack.data_bottom));
    }
}

void stack_list_calls(CallFrame* end, void (*visit)(void*, const CallFrame&), void* state) {
    if (!end || end > g_stack.frame_top) end = g_stack.frame_top;
    for (CallFrame* f = g_stack.frame_bottom; f < end; f++)
        if (!stack_label_hidden(f->symbol)) visit(state, *f);
}

void stack_gc_mark_frames(void (*mark_context)(uint32_t*), void (*mark_node_cells)(uint32_t*), uint32_t self_symbol,
                          bool (*values_on_stack)(uint32_t)) {
    if (not_found_word.data1) mark_context(&not_found_word.data1);
    for (CallFrame* f = g_stack.frame_bottom; f < g_stack.frame_top; f++) {
        if (f->word_ctx) {
            if (self_symbol && f->symbol == self_symbol) mark_node_cells(&f->word_ctx);
            else mark_context(&f->word_ctx);
        }
        if (f->func_ctx) {
            mark_context(&f->func_ctx);
            if (f->saved_values && !values_on_stack(f->func_ctx)) mark_node_cells(&f->saved_values);
        }
    }
}

void StackGuard::restore() {
    for (CallFrame* f = g_stack.frame_top - 1; f >= frame_; f--)
        if (f->type() == FRAME_FUNC) restore_context(f);
    g_stack.args = args_;
    g_stack.top = top_;
    g_stack.frame_top = frame_;
}

}  // namespace kel
