// The interpreter: evaluates blocks of values on the evaluation stack.
//
// It walks a block expression by expression, looks words up, calls natives,
// actions, operators, functions and routines with the arguments their interface blocks
// ask for, assigns set-words and set-paths and evaluates paths. Operators
// group strictly left to right: an operator's right operand is evaluated
// without looking further ahead.
//
// Positions are cell indexes from the code block's buffer head; the buffer is
// re-read through its node after every step that may allocate.
//
// Non-local exits: after any call into the interpreter a fast-path exit may
// be pending (exit_pending(), runtime/exits.h). The caller must then return at
// once without touching the stacks, or land the exit if it is its own, or
// turn it into an exception with exits_check_pending().
#pragma once
#include <cstdint>
#include <functional>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

// Trace events.
enum TraceEvent : uint32_t {
    TRACE_INIT = 1, TRACE_END = 2, TRACE_PROLOG = 4, TRACE_EPILOG = 8, TRACE_ENTER = 16, TRACE_EXIT = 32,
    TRACE_OPEN = 64, TRACE_RETURN = 128, TRACE_FETCH = 256, TRACE_PUSH = 512, TRACE_SET = 1024,
    TRACE_CALL = 2048, TRACE_ERROR = 4096, TRACE_THROW = 8192, TRACE_CATCH = 16384, TRACE_EXPR = 32768,
};
constexpr uint32_t kTraceDefaultMask = 0xFFFF;

struct TraceState {
    bool on = false;     // the trace flag
    Cell callback = {TYPE_NONE, 0, 0, 0};  // function! called for each event
    uint32_t mask = kTraceDefaultMask;
    Cell code_position = {TYPE_UNSET, 0, 0, 0};  // the expression being evaluated
};
extern TraceState g_interp;

void interp_init();

// Evaluates a whole block from its head index. chain false: the value is left
// as a new top cell of the caller's area; true: also copied into the caller's
// result slot.
void interp_eval_block(const Cell* block, bool chain);
// Evaluates one expression of the block `node` at `pos` (tail: `tail`) in a
// sub-evaluation frame; returns the position after it. push true leaves the
// value as a new top cell, false also copies it into the caller's result slot.
uint32_t interp_eval_next(Off node, uint32_t pos, uint32_t tail, bool push);
// The expression at the block's head; returns the new head index. At the tail
// the result slot becomes unset! and the index is returned unchanged.
uint32_t interp_eval_next_at(const Cell* block);
// Evaluates the expression at `pos`; push true pushes the value, false makes
// it the current frame's only cell (its result slot).
uint32_t interp_eval_expression(Off node, uint32_t pos, bool no_infix, bool push, bool literal_callables);

// Runs a function! whose arguments are already in the current frame.
void interp_call_function(const Cell* function, uint32_t owner_ctx, const Cell* name, uint32_t event_mask);
// Calls a native's or action's implementation, its arguments in the current
// frame and `refs` its refinement positions; not-done when the entry is
// empty, no-memory when the host heap refuses it memory.
void interp_call_builtin(const Cell* callable, const int32_t* refs);

// The argument descriptor of a callable (built on first use).
Off interp_spec_cache(const Cell* callable);

// The word at refinement/argument position `n` (0-based among the interface block's
// words, lit-words, get-words and refinements) of a callable's interface block; for
// errors.
Cell interp_spec_word(const Cell* callable, uint32_t n);

// Completes the frame of a callback the runtime calls with `given` event
// values, pushed from `first` on, as a call from code lays it out: a
// callback taking fewer arguments drops the rest, more are none!, then false
// for each refinement, none! for their arguments, and its locals. The
// callback's words must not read the cells above the top, which its body's
// own evaluation reuses.
void interp_callback_frame(const Cell* callback, Cell* first, uint32_t given);

// Emits a trace event when tracing and the mask has the event's bit.
void interp_trace_hook(uint32_t event, const Cell* code, int32_t position, const Cell* ref, const Cell* value);
uint32_t interp_trace_mask(const Cell* callback);

// Reads the value a path names (value null) or assigns `value` through it,
// matching fields and keys case-sensitively with `case_`; the value read, or
// what the assignment leaves, is copied into `out` (not a buffer cell).
// False when an exit is left pending by a paren in the path.
bool interp_path_access(const Cell* path, const Cell* value, bool case_, Cell* out);

// Runs `fn` on a thread with a 512 MB stack, so that exhausting the frame
// stack (a stack-overflow error) always comes before exhausting the machine
// stack. Exceptions thrown by `fn` are passed on to the caller.
void interp_run_on_big_stack(const std::function<void()>& fn);

// Evaluates a block at the top level: marks a frame, evaluates, copies the
// value into `out` and removes the frame; on any error or exit the stacks are
// put back as they were and the exception passed on. A pending break,
// continue, return or exit with no place to land becomes the exception.
void interp_do_block(const Cell* block, Cell* out);

}  // namespace kel
