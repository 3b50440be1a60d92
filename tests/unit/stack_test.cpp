// The evaluation stack and call frames.
#include <gtest/gtest.h>

#include "runtime/error.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

struct StackTest : ::testing::Test {
    void SetUp() override {
        if (!stack_ready()) stack_init();
        g_stack.args = g_stack.top = g_stack.data_bottom;
        g_stack.frame_top = g_stack.frame_bottom;
    }
    static Cell integer(int32_t v) { return Cell{TYPE_INTEGER, static_cast<uint32_t>(v), 0, 0}; }
};

TEST_F(StackTest, MarkPushUnwindKeepsResultOnTop) {
    Cell one = integer(1);
    stack_mark_native(0);
    stack_push(&one);
    Cell* caller_args = g_stack.args;
    stack_mark_native(0);
    EXPECT_EQ(g_stack.args, g_stack.top);  // empty frame: result slot at the top
    Cell two = integer(2);
    stack_push(&two);
    stack_push(&one);
    stack_unwind();
    EXPECT_EQ(g_stack.args, caller_args);
    EXPECT_EQ(g_stack.top - g_stack.args, 2);
    EXPECT_EQ(stack_top()->data1, 2u);
    stack_unwind_last();
    EXPECT_EQ(g_stack.args->data1, 1u);
}

TEST_F(StackTest, UnwindDropEmptiesCallerAreaAndRevertEmptiesStacks) {
    Cell v = integer(5);
    stack_mark_native(0);
    stack_push(&v);
    stack_mark_native(0);
    stack_push(&v);
    stack_unwind_drop();
    EXPECT_EQ(g_stack.top, g_stack.args);
    stack_revert();
    EXPECT_EQ(g_stack.args, g_stack.data_bottom);
    EXPECT_EQ(g_stack.top, g_stack.data_bottom);
    EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
}

TEST_F(StackTest, PopNeverGoesBelowBottomAndTopOfEmptyIsBottom) {
    Cell v = integer(1);
    stack_push(&v);
    stack_pop(10);
    EXPECT_EQ(g_stack.top, g_stack.data_bottom);
    EXPECT_EQ(stack_top(), g_stack.data_bottom);
}

TEST_F(StackTest, UnrollToLoopStopsAtTryAll) {
    stack_mark_loop(0);
    stack_push_cell();
    stack_mark_try_all(0);
    stack_push_cell();
    stack_mark_native(0);
    stack_push_cell();
    CallFrame* reached = stack_unroll_loop(true);
    EXPECT_EQ(reached->type(), FRAME_TRY_ALL & FRAME_TYPE_MASK);
    EXPECT_EQ(stack_depth(), 2u);
}

TEST_F(StackTest, DataOverflowRaisesAndKeepsLiveCells) {
    Cell v = integer(1);
    Cell* before = nullptr;
    try {
        for (uint32_t i = 0; i < kDataStackCells + 10; i++) {
            before = g_stack.top;
            stack_push(&v);
        }
        FAIL();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.id, "stack-overflow");
    }
    // Every cell pushed before the overflow is still on the stack, and the
    // reserve the error was built in is closed again.
    EXPECT_EQ(g_stack.top, before);
    EXPECT_EQ(g_stack.data_end, g_stack.data_bottom + kDataStackCells);
}

TEST_F(StackTest, FrameOverflowRaises) {
    try {
        for (uint32_t i = 0; i < kFrameStackRecords + 1; i++) stack_mark_native(0);
        FAIL();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.id, "stack-overflow");
    }
    EXPECT_EQ(stack_depth(), kFrameStackRecords);
}

TEST_F(StackTest, GuardRestoresStacksAfterException) {
    Cell* args = g_stack.args;
    Cell* top = g_stack.top;
    try {
        StackGuard guard;
        stack_mark_native(0);
        stack_push_cell();
        stack_mark_loop(0);
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(g_stack.args, args);
    EXPECT_EQ(g_stack.top, top);
    EXPECT_EQ(stack_depth(), 0u);
}

}  // namespace
