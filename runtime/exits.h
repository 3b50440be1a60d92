// Non-local exits: break, continue, return, exit, throw and errors.
//
// Every exit has two halves. The thrower checks the frame stack for the frame
// where the exit lands (a loop frame, a return-target frame, a catch frame),
// raises the exit's `throw`-category error when there is none or a try/all
// frame stands in the way, and writes the exit's value into the landing
// frame's result slot. The lander, the C++ code that owns that frame, then
// pops every frame above its own (restoring function contexts) and goes on.
//
// Errors and `throw` travel as C++ exceptions (KelThrow). break, continue,
// return and exit take a fast path instead: the thrower sets the pending code
// and returns normally, and every C++ level between it and the lander returns
// at once without touching the stacks when it sees the code. A lander
// recognises its exit by the code and the landing frame's index.
//
// C++ code that evaluates Kel code and cannot hand a pending code back to
// its own caller turns it into an exception with exits_throw_pending(); every
// lander accepts an exit either way.
#pragma once
#include <cstdint>

#include "runtime/error.h"
#include "runtime/stack.h"

namespace kel {

// The pending fast-path exit (0 when none) and the frame-stack index of the
// frame where it lands.
extern uint32_t g_thrown;
extern uint32_t g_thrown_target;

inline bool exit_pending() { return g_thrown != 0; }
inline uint32_t stack_frame_index(const CallFrame* f) { return static_cast<uint32_t>(f - g_stack.frame_bottom); }
inline CallFrame* stack_frame_at(uint32_t index) { return g_stack.frame_bottom + index; }

// break (is_continue false; with has_value the caller's first argument is the
// loop's value) and continue. Returns with the code pending.
void stack_throw_break(bool has_value, bool is_continue);
// return (is_return: the caller's first argument is the value) and exit.
// From a native (from_compiled false) the search starts below its own frame.
void stack_throw_return(bool is_return, bool from_compiled);
// throw: the current frame holds the value, then the name (word! or unset!).
[[noreturn]] void stack_throw_value();
// Sends a throw on from the catch frame `from` (not included) downward.
[[noreturn]] void stack_rethrow_value(const Cell& value, const Cell& name, CallFrame* from);

// Turns the pending code into a KelThrow exception.
[[noreturn]] void exits_throw_pending();
inline void exits_check_pending() {
    if (g_thrown) exits_throw_pending();
}

// Landing. Each returns true when the exit (pending, or the caught exception
// `t`) lands on `frame` with one of the codes in [low, high]; it then pops
// the frames above `frame`, makes it current with its result slot kept, and
// clears the pending code.
bool exits_land_pending(CallFrame* frame, uint32_t low, uint32_t high);
bool exits_land_caught(const KelThrow& t, CallFrame* frame, uint32_t low, uint32_t high);

}  // namespace kel
