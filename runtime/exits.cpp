// The throwers and landers of the non-local exits.
#include "runtime/exits.h"

namespace kel {

uint32_t g_thrown = 0;
uint32_t g_thrown_target = 0;

namespace {

// Walks down from `start` (included) for the first frame that `is_target`
// accepts; a try/all frame, or running out of frames, gives null.
template <class Pred> CallFrame* find_target(CallFrame* start, Pred is_target) {
    for (CallFrame* f = start; f >= g_stack.frame_bottom; f--) {
        if (f->type() == (FRAME_TRY_ALL & FRAME_TYPE_MASK)) return nullptr;
        if (is_target(f)) return f;
    }
    return nullptr;
}

void set_pending(uint32_t code, CallFrame* target) {
    g_thrown = code;
    g_thrown_target = stack_frame_index(target);
}

}  // namespace

void stack_throw_break(bool has_value, bool is_continue) {
    CallFrame* target = nullptr;
    if (stack_depth() > 0)
        target = find_target(stack_current_frame() - 1,
                             [](const CallFrame* f) { return f->type() == (FRAME_LOOP & FRAME_TYPE_MASK); });
    if (!target) error_raise(ErrCat::Throw, is_continue ? "continue" : "break");
    Cell* slot = stack_frame_args(target);
    if (has_value && !is_continue) copy_cell(g_stack.args, slot);
    else cell_set_unset(slot);
    set_pending(is_continue ? EXIT_CONTINUE : EXIT_BREAK, target);
}

void stack_throw_return(bool is_return, bool from_compiled) {
    CallFrame* target = nullptr;
    if (stack_depth() > 0) {
        CallFrame* start = from_compiled ? stack_current_frame() : stack_current_frame() - 1;
        target = find_target(start, [](const CallFrame* f) { return (f->header & FRAME_BODY_FLAG) != 0; });
    }
    if (!target) error_raise(ErrCat::Throw, "return");
    Cell* slot = stack_frame_args(target);
    if (is_return) copy_cell(g_stack.args, slot);
    else cell_set_unset(slot);
    set_pending(is_return ? EXIT_RETURN : EXIT_EXIT, target);
}

void stack_rethrow_value(const Cell& value, const Cell& name, CallFrame* from) {
    CallFrame* target = find_target(
        from - 1, [](const CallFrame* f) { return f->type() == (FRAME_CATCH & FRAME_TYPE_MASK); });
    if (!target) error_raise(ErrCat::Throw, "throw", &value);
    g_stack.remembered = nullptr;
    KelThrow t;
    t.code = EXIT_THROW;
    t.id = "throw";
    t.category = ErrCat::Throw;
    t.target = stack_frame_index(target);
    t.value = value;
    t.name = name;
    throw t;
}

void stack_throw_value() {
    // The error raised when nothing catches names the caller of throw.
    if (!g_stack.remembered && stack_depth() > 0) g_stack.remembered = stack_current_frame();
    Cell value = g_stack.args[0];
    Cell name = g_stack.top > g_stack.args + 1 ? g_stack.args[1] : Cell{TYPE_UNSET, 0, 0, 0};
    if (stack_depth() == 0) error_raise(ErrCat::Throw, "throw", &value);
    stack_rethrow_value(value, name, stack_current_frame());
}

void exits_throw_pending() {
    KelThrow t;
    t.code = g_thrown;
    t.category = ErrCat::Throw;
    t.id = "pending";
    t.target = g_thrown_target;
    g_thrown = 0;
    throw t;
}

bool exits_land_pending(CallFrame* frame, uint32_t low, uint32_t high) {
    if (g_thrown < low || g_thrown > high || stack_frame_at(g_thrown_target) != frame) return false;
    g_thrown = 0;
    stack_land(frame);
    return true;
}

bool exits_land_caught(const KelThrow& t, CallFrame* frame, uint32_t low, uint32_t high) {
    if (t.code < low || t.code > high || stack_frame_at(t.target) != frame) return false;
    stack_land(frame);
    return true;
}

}  // namespace kel
