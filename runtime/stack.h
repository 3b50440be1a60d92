// The evaluation stack and the call-frame stack.
//
// Values passed between the interpreter, natives, actions and functions live
// on the data stack: a caller marks a frame, pushes the arguments, calls; the
// callee reads argument 1 at the arguments pointer (which is also the result
// slot) and leaves its result there; the caller then unwinds. Both stacks are
// fixed buffers: they never move, so plain pointers into them stay valid.
//
// Every cell reserved on the data stack is written (unset! when the caller
// gives no value), so the collector never reads a stale cell.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

constexpr uint32_t kDataStackCells = 20000;
// Cells past the data end that only the raising of stack-overflow may use,
// to build its error without giving up cells that are still live.
constexpr uint32_t kDataStackReserve = 256;
constexpr uint32_t kFrameStackRecords = 12000;

// Frame types: the type nibble (bits 24-27) with the interpreter flag (bit 31).
enum FrameType : uint32_t {
    FRAME_FUNC = 0x01000000,
    FRAME_INTERP_FUNC = 0x81000000,
    FRAME_NATIVE = 0x02000000,
    FRAME_INTERP = 0x82000000,
    FRAME_FUNC_BODY = 0x12000000,
    FRAME_TRY = 0x04000000,
    FRAME_TRY_ALL = 0x05000000,
    FRAME_CATCH = 0x06000000,
    FRAME_EVAL = 0x87000000,
    FRAME_LOOP = 0x08000000,
};
constexpr uint32_t FRAME_TYPE_MASK = 0x0F000000;
constexpr uint32_t FRAME_BODY_FLAG = 0x10000000;    // return and exit stop here
constexpr uint32_t FRAME_INTERP_FLAG = 0x80000000;  // made by the interpreter

// A call frame. The symbol id is kept whole (32 bits).
struct CallFrame {
    uint32_t header;     // frame type and flags
    uint32_t symbol;     // symbol id of the called word
    Off saved_args;      // arguments pointer of the frame below (arena offset)
    uint32_t word_ctx;   // context node of the called word
    uint32_t func_ctx;   // function context node, 0 unless a function call
    uint32_t saved_values;  // that context's value pointer before the call
    uint32_t type() const { return header & FRAME_TYPE_MASK; }
    Cell* saved_args_ptr() const { return arena_at<Cell>(saved_args); }
};
static_assert(sizeof(CallFrame) == 24);

struct EvalStack {
    Cell* data_bottom;
    Cell* data_end;
    Cell* args;  // the current frame's first cell: result slot and argument 1
    Cell* top;   // next free cell
    CallFrame* frame_bottom;
    CallFrame* frame_end;
    CallFrame* frame_top;  // next free record
    uint32_t body_symbol;  // <body>
    uint32_t anon_symbol;  // <anon>
    CallFrame* remembered;  // set by the value thrower, read by stack_get_call
    Off data_node;          // the fixed blocks that hold both stacks
    Off frame_node;
};
extern EvalStack g_stack;

void stack_init();
bool stack_ready();

inline Cell* stack_arguments() { return g_stack.args; }
inline Cell* stack_arg(uint32_t i) { return g_stack.args + i; }  // 0-based

// Marking. `symbol` and `word_ctx` come from the called word's cell (its
// data2 and data1); the overloads taking the word read them from it.
[[noreturn]] void stack_overflow_frames();
inline void stack_mark(uint32_t symbol, uint32_t word_ctx, uint32_t type) {
    if (g_stack.frame_top >= g_stack.frame_end) stack_overflow_frames();
    *g_stack.frame_top++ = CallFrame{type, symbol, arena_off(g_stack.args), word_ctx, 0, 0};
    g_stack.args = g_stack.top;
}
inline void stack_mark(const Cell* word, uint32_t type) { stack_mark(word->data2, word->data1, type); }
inline void stack_mark_native(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_NATIVE); }
inline void stack_mark_try(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_TRY); }
inline void stack_mark_try_all(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_TRY_ALL); }
inline void stack_mark_catch(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_CATCH); }
inline void stack_mark_eval(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_EVAL); }
inline void stack_mark_loop(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_LOOP); }
inline void stack_mark_interp(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_INTERP); }
inline void stack_mark_interp_func(uint32_t symbol, uint32_t ctx = 0) { stack_mark(symbol, ctx, FRAME_INTERP_FUNC); }
void stack_mark_func(uint32_t symbol, uint32_t word_ctx, uint32_t func_ctx);
// An interpreted function call: type FRAME_INTERP_FUNC, keeping the function
// context and its value pointer like stack_mark_func.
void stack_mark_interp_func_ctx(uint32_t symbol, uint32_t word_ctx, uint32_t func_ctx);
// Prologue of a compiled function body: the arguments just pushed become the
// values of the function context, then a return-target frame is marked.
void stack_mark_func_body(uint32_t symbol, uint32_t word_ctx, uint32_t func_ctx);
// The symbols of the internal frame labels <body> and <anon>, which call
// listings and error reports skip.
void stack_set_label_symbols(uint32_t body, uint32_t anon);
inline bool stack_label_hidden(uint32_t symbol) {
    return symbol != 0 && (symbol == g_stack.body_symbol || symbol == g_stack.anon_symbol);
}

void stack_set_body_flag(bool flag);
void stack_set_interp_flag();
CallFrame* stack_mark_caller_body();
inline void stack_clear_body_flag(CallFrame* frame) { frame->header &= ~FRAME_BODY_FLAG; }

// Ending a frame.
inline void stack_unwind() {
    Cell* args = g_stack.args;
    g_stack.args = (--g_stack.frame_top)->saved_args_ptr();
    g_stack.top = args + 1;
}
void stack_unwind_func();
void stack_unwind_last();
void stack_unwind_func_last();
void stack_unwind_drop();
void stack_unwind_func_drop();
void stack_revert();

// Within a frame.
inline Cell* stack_reset() {
    g_stack.top = g_stack.args;
    return g_stack.args;
}
inline void stack_keep() { g_stack.top = g_stack.args + 1; }
inline void stack_set_last(const Cell* value) { copy_cell(value, g_stack.args); }
inline void stack_set_last_only(const Cell* value) {
    g_stack.top = g_stack.args + 1;
    copy_cell(value, g_stack.args);
}
[[noreturn]] void stack_overflow_data();
// Reserves the top cell as unset!; the caller writes it.
inline Cell* stack_push_cell() {
    if (g_stack.top + 1 >= g_stack.data_end) stack_overflow_data();
    Cell* c = g_stack.top++;
    cell_set_unset(c);
    return c;
}
inline Cell* stack_push(const Cell* value) {
    if (g_stack.top + 1 >= g_stack.data_end) stack_overflow_data();
    Cell* c = g_stack.top++;
    copy_cell(value, c);
    return c;
}
inline void stack_pop(uint32_t n) {
    g_stack.top = static_cast<uint32_t>(g_stack.top - g_stack.data_bottom) < n ? g_stack.data_bottom : g_stack.top - n;
}
inline Cell* stack_top() { return g_stack.top > g_stack.data_bottom ? g_stack.top - 1 : g_stack.data_bottom; }
inline uint32_t stack_top_type() { return stack_top()->type(); }
inline bool stack_func_on_top_q() { return stack_top()->is(TYPE_FUNCTION) || stack_top()->is(TYPE_ROUTINE); }
void stack_set_error_result();
inline CallFrame* stack_current_frame() { return g_stack.frame_top - 1; }
// The arguments pointer of `frame`: kept by the record above it, or the
// current one for the innermost frame.
inline Cell* stack_frame_args(const CallFrame* frame) {
    return frame + 1 < g_stack.frame_top ? (frame + 1)->saved_args_ptr() : g_stack.args;
}
// Pops every frame above `frame` (restoring function contexts) and makes
// `frame` current with its result slot kept: data top = its arguments + 1.
void stack_land(CallFrame* frame);
inline uint32_t stack_depth() { return static_cast<uint32_t>(g_stack.frame_top - g_stack.frame_bottom); }
bool stack_interpreted_q(CallFrame* frame, bool nearest_only);

// Unrolling toward the nearest frame of a type (a try/all frame always stops).
CallFrame* stack_unroll(uint32_t type, bool keep);
CallFrame* stack_unroll_last(uint32_t type);
inline CallFrame* stack_unroll_loop(bool keep) { return stack_unroll(FRAME_LOOP, keep); }

// Call listings. stack_get_call gives the word naming the innermost visible
// call (for an error's `where`): a word cell {word!, context, symbol, -1}, or
// the <not-found> word when only hidden frames remain.
Cell stack_get_call();
void stack_set_not_found_word(const Cell& word);
// Remembers the frame position that the next stack_get_call starts from.
inline void stack_remember_frame(CallFrame* frame) { g_stack.remembered = frame; }
// Visits the visible frames from the innermost down to the one just above the
// outermost, giving each frame's word (in its function or word context) and
// its saved arguments pointer as a cell index from the data bottom.
void stack_collect_calls(void (*visit)(void* state, const Cell& word, int32_t args_index), void* state);
// Visits the visible frames from the outermost up to (not including) `end`.
void stack_list_calls(CallFrame* end, void (*visit)(void* state, const CallFrame& frame), void* state);

// Collector support: every frame's word context and function context (with
// the saved values block of a heap context), and the <not-found> word's
// context. The markers get the slots, so they can repoint evacuated nodes.
void stack_gc_mark_frames(void (*mark_context)(uint32_t* slot), void (*mark_node_cells)(uint32_t* slot),
                          uint32_t self_symbol, bool (*values_on_stack)(uint32_t ctx));

// Saves both stacks' positions and restores them on destruction unless
// released: the catch points use it so that an exception leaves the stacks
// as they were when the catch point was entered.
class StackGuard {
public:
    StackGuard() : args_(g_stack.args), top_(g_stack.top), frame_(g_stack.frame_top) {}
    ~StackGuard() {
        if (!released_) restore();
    }
    void restore();
    void release() { released_ = true; }
    StackGuard(const StackGuard&) = delete;
    StackGuard& operator=(const StackGuard&) = delete;

private:
    Cell* args_;
    Cell* top_;
    CallFrame* frame_;
    bool released_ = false;
};

// Writes a context node's value pointer (the context module supplies it; the
// stack only needs to save and restore the word).
extern uint32_t (*g_context_values_get)(uint32_t ctx);
extern void (*g_context_values_set)(uint32_t ctx, uint32_t values);

}  // namespace kel
