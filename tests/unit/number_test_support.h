// Shared fixture and helpers of the number datatype tests: value makers,
// calls through the action rows, a native frame for the frame actions, and
// error capture.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/number_convert.h"
#include "runtime/stack.h"

namespace kel::numtest {

struct NumberTest : ::testing::Test {
    void SetUp() override {
        if (!stack_ready()) stack_init();
        g_stack.args = g_stack.top = g_stack.data_bottom;
        g_stack.frame_top = g_stack.frame_bottom;
        integer_init();
        float_init();
        char_init();
    }
};

inline Cell int_v(int32_t n) {
    Cell c;
    cell_set(&c, TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0);
    return c;
}
inline Cell float_v(double d, TypeId type = TYPE_FLOAT) {
    Cell c;
    cell_set(&c, type);
    cell_put_float(&c, d);
    return c;
}
inline Cell percent_v(double d) { return float_v(d, TYPE_PERCENT); }
inline Cell char_v(uint32_t cp) {
    Cell c;
    cell_set(&c, TYPE_CHAR, 0, cp, 0);
    return c;
}
inline Cell logic_v(bool b) {
    Cell c;
    cell_set(&c, TYPE_LOGIC, b ? 1u : 0u);
    return c;
}
inline Cell bare_v(TypeId type) {
    Cell c;
    cell_set(&c, type);
    return c;
}
inline Cell type_v(TypeId type) {
    Cell c;
    datatype_set(&c, type);
    return c;
}
inline Cell string_v(std::string_view utf8, TypeId type = TYPE_STRING) {
    Cell c;
    string_make(&c, static_cast<uint32_t>(utf8.size() + 1), 1, type);
    string_append_utf8(&c, utf8.data(), utf8.size());
    return c;
}
inline Cell binary_v(std::initializer_list<uint8_t> bytes) {
    Cell c;
    string_make(&c, static_cast<uint32_t>(bytes.size() + 1), 1, TYPE_BINARY);
    for (uint8_t b : bytes) {
        char ch = static_cast<char>(b);
        string_append_ascii(&c, &ch, 1);
    }
    return c;
}
inline Cell block_v(std::initializer_list<Cell> items) {
    Cell c;
    cell_set(&c, TYPE_BLOCK, 0, alloc_cells(static_cast<uint32_t>(items.size() + 1)), 0);
    for (const Cell& item : items) copy_cell(&item, block_append_slot(&c));
    return c;
}

// Runs the frame action [fn] on a native frame holding [a] and [b] and
// returns the result slot. The frame is unwound on every exit.
inline Cell call_frame(FrameActionFn fn, const Cell& a, const Cell& b) {
    StackGuard guard;
    stack_mark_native(0);
    stack_push(&a);
    stack_push(&b);
    fn();
    Cell result = *stack_arguments();
    stack_unwind();
    return result;
}

// The frame action of [slot] in the row of [a]'s type, on [a] and [b].
inline Cell act(int slot, const Cell& a, const Cell& b) {
    auto fn = reinterpret_cast<FrameActionFn>(action_entry(a.type(), slot));
    EXPECT_NE(fn, nullptr) << "no entry for slot " << slot;
    return call_frame(fn, a, b);
}
inline Cell add(const Cell& a, const Cell& b) { return act(ACT_ADD, a, b); }
inline Cell sub(const Cell& a, const Cell& b) { return act(ACT_SUBTRACT, a, b); }
inline Cell mul(const Cell& a, const Cell& b) { return act(ACT_MULTIPLY, a, b); }
inline Cell div(const Cell& a, const Cell& b) { return act(ACT_DIVIDE, a, b); }
inline Cell rem(const Cell& a, const Cell& b) { return act(ACT_REMAINDER, a, b); }

// make/to through [type]'s row.
inline Cell to(TypeId type, Cell spec) {
    Cell proto = type_v(type);
    return *action_fn<ACT_TO>(type)(&proto, &spec, type);
}
inline Cell make(TypeId type, Cell spec) {
    Cell proto = type_v(type);
    return *action_fn<ACT_MAKE>(type)(&proto, &spec, type);
}
inline Cell round_v(Cell value, const RoundArgs& args = {}) { return *action_fn<ACT_ROUND>(value.type())(&value, args); }

inline std::string mold_of(const Cell& v, bool all = false) {
    Cell buffer;
    string_make(&buffer, 16);
    actions_mold_call(&v, &buffer, false, all, false, nullptr, kNoPartLimit, 0);
    return string_to_utf8(&buffer);
}
inline std::string form_of(const Cell& v) {
    Cell buffer;
    string_make(&buffer, 16);
    actions_form_call(&v, &buffer, nullptr, kNoPartLimit);
    return string_to_utf8(&buffer);
}

inline const char* category_name(ErrCat cat) {
    switch (cat) {
    case ErrCat::Script: return "script";
    case ErrCat::Math: return "math";
    case ErrCat::Access: return "access";
    case ErrCat::Internal: return "internal";
    default: return "other";
    }
}

// "category/id" of the error [f] raises; "" when it returns normally.
template <typename F> std::string raised(F&& f) {
    StackGuard guard;
    try {
        f();
    } catch (const KelThrow& t) {
        return std::string(category_name(t.category)) + "/" + t.id;
    }
    return "";
}

// A pointer to a value for the length of the full expression.
inline const Cell* ptr(const Cell& c) { return &c; }

inline double fval(const Cell& c) { return cell_get_float(&c); }
inline int32_t ival(const Cell& c) { return integer_get(&c); }

}  // namespace kel::numtest
