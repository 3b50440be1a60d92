// The interpreter, the control and loop natives and the non-local exits,
// driven by blocks evaluated from C++.
#include <gtest/gtest.h>

#include "tests/unit/eval_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

struct Interp : ::testing::Test {
    static void SetUpTestSuite() { evaluator_test_init(); }
    void SetUp() override { stack_clear_all(); }
    void TearDown() override {
        // Every evaluation leaves both stacks as it found them.
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        EXPECT_EQ(g_stack.top, g_stack.data_bottom);
        EXPECT_EQ(g_thrown, 0u);
    }
};

struct IntCase {
    const char* code;
    int32_t expected;
};

TEST_F(Interp, IntegerResults) {
    const IntCase cases[] = {
        {"1 + 2 * 3", 9},
        {"negate 1 + 2", -3},
        {"2 * (3 + 4)", 14},
        {"a: b: 5 a + b", 10},
        {"if 1 < 2 [7]", 7},
        {"either 1 > 2 [1] [2]", 2},
        {"any [none false 3 4]", 3},
        {"all [1 2 3]", 3},
        {"case/all [false [1] true [2]]", 2},
        {"case [false [1] 1 = 1 [2] true [3]]", 2},
        {"switch 2 [1 [10] 2 3 [20]]", 20},
        {"switch/default 9 [1 [10]] [30]", 30},
        {"until [break/return 5]", 5},
        {"n: 0 loop 2.7 [n: n + 1] n", 2},
        {"s: 0 repeat i 4 [s: s + i] s", 10},
        {"s: 0 foreach x [1 2 3] [s: s + x] s", 6},
        {"n: 0 while [n < 5] [n: n + 1] n", 5},
        {"n: 0 forever [n: n + 1 if n = 3 [break]] n", 3},
        {"n: 0 loop 5 [n: n + 1 if n > 1 [continue] n: n + 100] n", 105},
        {"n: 0 until [n: n + 1 n >= 4] n", 4},
        {"catch/name [throw/name 1 'A] 'a", 1},
        {"catch [throw 4]", 4},
        {"catch/name [catch/name [throw/name 8 'b] 'a] 'b", 8},
        {"catch [loop 3 [break/return 6]]", 6},
        {"f: func [x] [return x + 1 99] f 4", 5},
        {"f: func [x] [loop 3 [if x > 0 [return x]] 0] f 9", 9},
        {"g: func [] [break/return 11] loop 5 [g]", 11},
        {"f: func [a /x b /y c] [if x [a: a + b] if y [a: a * c] a] f/y/x 1 100 10", 1100},
        {"f: func [a /x b /y c] [if x [a: a + b] if y [a: a * c] a] f/x/y 1 100 10", 1010},
        {"f: func [a /x b /y c] [if x [a: a + b] if y [a: a * c] a] f/y 2 10", 20},
        {"f: function [] [x: 5 x] x: 1 f + x", 6},
        {"h: has [t] [t: 3 t * t] h", 9},
        {"d: does [42] d", 42},
        {"fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]] fib 15", 610},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(raised([&] { EXPECT_EQ(eval_int(c.code), c.expected); }), "");
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
    }
}

TEST_F(Interp, ValueResults) {
    const char* const cases[][2] = {
        {"", "unset!"},
        {"if false [1]", "none"},
        {"any []", "none"},
        {"all []", "none"},
        {"all [1 none 2]", "none"},
        {"case/all [true [1] false [2]]", "none"},
        {"switch 3 [1 [a]]", "none"},
        {"loop 0 [1]", "none"},
        {"loop -3 [1]", "none"},
        {"repeat i 0 [1]", "none"},
        {"while [true] [break]", "unset!"},
        {"foreach [a b] [1 2 3] [c: b] c", "none"},
        {"f: func [] [exit] f", "unset!"},
        {"'abc", "abc"},
        {"catch [throw 1 2]", "1"},
        {"unless false [5]", "5"},
        {"b: [1 2 3] remove-each x b [x = 2] b", "[1 3]"},
        {"b: [1 2 3] remove-each x b [continue] b", "[1 2 3]"},
        {"b: [1 2 3] forall b [if b/1 = 2 [break]] b", "[2 3]"},
        {"b: [1 2 3] s: 0 forall b [s: s + b/1] b", "[1 2 3]"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c[0]);
        Cell v = eval_text(c[0]);
        std::string text = v.is(TYPE_UNSET) ? "unset!" : mold(&v);
        EXPECT_EQ(text, c[1]);
    }
}

TEST_F(Interp, Errors) {
    const char* const cases[][2] = {
        {"a:", "need-value"},
        {"+ 1 2", "no-op-arg"},
        {"undefined-word-here", "no-value"},
        {"negate", "no-arg"},
        {"if 1", "no-arg"},
        {"if 1 2", "expect-arg"},
        {"either () [1] [2]", "no-return"},
        {"while [()] [1]", "no-return"},
        {"case [false [1] true]", "need-value"},
        {"break", "break"},
        {"continue", "continue"},
        {"return 1", "return"},
        {"exit", "return"},
        {"throw 1", "throw"},
        {"catch/name [throw 1] 'a", "throw"},
        {"catch/name [throw/name 1 'b] 'a", "throw"},
        {"catch/name [throw/name 1 'c] [a 1]", "invalid-refine-arg"},
        {"while [break] [1]", "while-cond"},
        {"f: func [a /x] [a] f/x/x 1", "dup-refine"},
        {"f: func [a /x] [a] f/y 1", "no-refine"},
        {"func [a a] []", "dup-vars"},
        {"func [/local a return: [integer!]] []", "bad-func-def"},
        {"func [a [1]] []", "invalid-type-spec"},
        {"func [a [[integer!]]] []", "invalid-type-spec"},
        {"foreach [] [1] [1]", "invalid-arg"},
        {"b: 1 forall b [1]", "expect-arg"},
        {"#system [1]", "kel-system"},
        {"loop 1e20 [1]", "type-limit"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c[0]);
        EXPECT_EQ(eval_error(c[0]), c[1]);
        EXPECT_EQ(g_thrown, 0u);
    }
}

TEST_F(Interp, ExpectArgNamesTheCallTheTypeAndTheArgument) {
    try {
        eval_text("if 1 2");
        FAIL();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.id, "expect-arg");
        EXPECT_EQ(form(&t.args[0]), "if");
        EXPECT_EQ(form(&t.args[1]), "integer");
        EXPECT_EQ(form(&t.args[2]), "then-blk");
    }
}

TEST_F(Interp, TryCatchesErrorsAndTryAllStopsOtherExits) {
    Cell e = eval_text("try [1 / 0]");
    EXPECT_TRUE(e.is(TYPE_ERROR));
    EXPECT_EQ(eval_int("try [10]"), 10);
    // A plain try lets a break through to the loop around it.
    EXPECT_EQ(eval_int("n: 0 loop 3 [n: n + 1 try [break]] n"), 1);
    // try/all turns it into an error value.
    Cell b = eval_text("loop 3 [try/all [break]]");
    EXPECT_TRUE(b.is(TYPE_ERROR));
    Cell outside = eval_text("try/all [break]");
    EXPECT_TRUE(outside.is(TYPE_ERROR));
    EXPECT_EQ(outside.data3, symbol_make("break"));
    EXPECT_TRUE(eval_text("try/all [throw 1]").is(TYPE_ERROR));
    // An error inside a function inside try unrolls both.
    EXPECT_TRUE(eval_text("f: func [x] [x / 0] try [f 1]").is(TYPE_ERROR));
    EXPECT_EQ(eval_int("f: func [x] [x / 0] try [f 1] f: func [x] [x] f 3"), 3);
}

TEST_F(Interp, DeepRecursionIsAnErrorAndTheNextEvaluationWorks) {
    EXPECT_EQ(eval_error("f: func [n] [f n + 1] f 1"), "stack-overflow");
    EXPECT_EQ(eval_int("f: func [n] [either n = 0 [0] [1 + f n - 1]] f 100"), 100);
    EXPECT_EQ(eval_error("f: func [n] [either n = 1000000 [n] [f n + 1]] f 1"), "stack-overflow");
    EXPECT_EQ(eval_int("1 + 1"), 2);
}

TEST_F(Interp, FunctionContextsSurviveRecursionAndErrors) {
    // Each call sees its own argument values after an inner call returns.
    EXPECT_EQ(eval_int("f: func [n] [either n = 0 [0] [n + f n - 1]] f 10"), 55);
    EXPECT_EQ(eval_int("f: func [n] [try [g] n] g: func [] [1 / 0] f 7"), 7);
    EXPECT_EQ(eval_int("f: func [n] [catch [h n] n] h: func [m] [throw m * 2] f 7"), 7);
    EXPECT_EQ(eval_int("f: func [n] [loop 2 [k n] n] k: func [m] [break] f 4"), 4);
}

TEST_F(Interp, OperatorsFromFunctions) {
    EXPECT_EQ(eval_int("plus: func [a b] [a + b] p: make op! :plus 2 p 3 * 4"), 20);
    EXPECT_EQ(eval_error("q: func [a /r b] [a] make op! :q"), "bad-op-spec");
    EXPECT_EQ(eval_error("q: func ['a b] [a] make op! :q"), "bad-op-spec");
    EXPECT_EQ(eval_int("q: func [a 'b return: [integer!]] [a] o: make op! :q 5 o x"), 5);
}

TEST_F(Interp, MakeNativeAndActionRefuseEmptyEntries) {
    const char* const cases[][2] = {
        {"make native! [[a] 121]", "bad-make-arg"},
        {"make native! [[a] 108]", "bad-make-arg"},
        {"make action! [[a] 63]", "bad-make-arg"},
        {"make action! [[a] 8]", "bad-make-arg"},
        {"make action! [[a] 9]", "bad-make-arg"},
        {"make native! [[a] 1 2]", "bad-make-arg"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c[0]);
        EXPECT_EQ(eval_error(c[0]), c[1]);
    }
    EXPECT_EQ(eval_mold("make native! [[value] 23]"), "make native! [[value]]");
    EXPECT_EQ(eval_mold("equal? make native! [[a] 33] make native! [[b] 33]"), "true");
}

TEST_F(Interp, FunctionValues) {
    EXPECT_EQ(eval_mold("func [a b] [a + b]"), "func [a b][a + b]");
    EXPECT_EQ(eval_int("f: make function! [[a b] [a * b]] f 6 7"), 42);
    EXPECT_EQ(eval_mold("f: func [a /local b] [b] f 1"), "none");
    EXPECT_EQ(eval_mold("function [a] [b: 1 foreach [c d] [] [] repeat e 1 []]"),
              "func [a /local b c d e][b: 1 foreach [c d] [] [] repeat e 1 []]");
    EXPECT_EQ(eval_mold("function [a /extern b] [b: 1 c: 2]"), "func [a /local c][b: 1 c: 2]");
}

TEST_F(Interp, DispatchNormalisesPart) {
    EXPECT_EQ(eval_mold("append/part [1] [2 3 4] 2"), "[1 2 3]");
    EXPECT_EQ(eval_mold("append/dup [1] 2 0"), "[1]");
    EXPECT_EQ(eval_mold("append/part [1] [2 3] 0"), "[1]");
    EXPECT_EQ(eval_mold("b: [1 2 3 4 5] append/part [] skip b 4 -2"), "[3 4]");
    EXPECT_EQ(eval_error("append/part [1] 5 1"), "invalid-part");
    EXPECT_EQ(eval_error("append/part [1] [2 3] [4]"), "invalid-refine-arg");
    EXPECT_EQ(eval_error("negate [1]"), "expect-arg");
    EXPECT_EQ(eval_mold("equal? [1] 1"), "false");
    EXPECT_EQ(eval_mold("not-equal? [1] 1"), "true");
    EXPECT_EQ(eval_error("lesser? [1] 1"), "invalid-compare");
}

TEST_F(Interp, NativesCheckTheirArgumentsWhenAsked) {
    stack_mark_native(symbol_make("if"), g_global_context);
    cell_set(stack_push_cell(), TYPE_LOGIC, 1);
    cell_set(stack_push_cell(), TYPE_INTEGER, 0, 2);
    int32_t refs[kMaxRefinements];
    for (int32_t& r : refs) r = -1;
    EXPECT_EQ(raised([&] { native_entry(1)(1, refs); }), "expect-arg");
    stack_clear_all();
}

// A refusal of the process heap inside an evaluation ends the process as the
// runtime's out-of-memory stop (status 94, its message), not as an unhandled
// exception.
TEST_F(Interp, HeapRefusalIsTheOutOfMemoryStop) {
    EXPECT_EXIT(interp_run_on_big_stack([] { throw std::bad_alloc(); }), ::testing::ExitedWithCode(94),
                "");
}

}  // namespace

namespace {

TEST_F(Interp, TraceCallbackSeesEventsAndLeavesTheStacksAlone) {
    eval_text("n: 0 cb: func [event code offset value ref frame] [n: n + 1 f: frame]");
    Cell w{TYPE_WORD, 0, 0, 0};
    g_interp.callback = *word_get_any(word_from_cstring(&w, "cb"));
    g_interp.mask = interp_trace_mask(&g_interp.callback);
    g_interp.on = true;
    int32_t r = INT32_MIN;
    EXPECT_EQ(raised([&] { r = eval_int("1 + 2"); }), "");
    g_interp.on = false;
    EXPECT_EQ(r, 3);
    EXPECT_GT(eval_int("n"), 3);
    // The frame pair: x the arguments' index, y the stack's height, in the
    // pair's own payload words.
    const Cell* frame = word_get_any(word_from_cstring(&w, "f"));
    EXPECT_TRUE(frame->is(TYPE_PAIR));
    EXPECT_EQ(frame->data1, 0u);
    EXPECT_GT(frame->data3, 0u);
    EXPECT_LE(frame->data2, frame->data3);
    // A mask block at the head of the callback's body selects the events.
    eval_text("n: 0 cb: func [event code offset value ref frame] [[call] n: n + 1]");
    g_interp.callback = *word_get_any(word_from_cstring(&w, "cb"));
    g_interp.mask = interp_trace_mask(&g_interp.callback);
    EXPECT_EQ(g_interp.mask, static_cast<uint32_t>(TRACE_CALL));
    g_interp.on = true;
    eval_text("negate negate 1");
    g_interp.on = false;
    EXPECT_EQ(eval_int("n"), 2);
    cell_set(&g_interp.callback, TYPE_NONE);
}

}  // namespace
