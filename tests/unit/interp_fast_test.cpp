// The interpreter's shortcuts (inline integer operators, frameless
// statements, the lean call of simple callables) against its general path.
//
// Tracing switched on with an empty event mask runs no callback but keeps
// the interpreter on its general path, so each program's outcome there is
// the reference for the same program run with the shortcuts.
#include <gtest/gtest.h>

#include "tests/unit/eval_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

struct InterpFast : ::testing::Test {
    static void SetUpTestSuite() { evaluator_test_init(); }
    void SetUp() override { stack_clear_all(); }
    void TearDown() override {
        g_interp.on = false;
        g_interp.mask = kTraceDefaultMask;
        cell_set(&g_interp.callback, TYPE_NONE);
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        EXPECT_EQ(g_stack.top, g_stack.data_bottom);
        EXPECT_EQ(g_thrown, 0u);
    }
};

// What a program gives: its molded value, or its error with the call that
// raised it, its arguments and the frame depth at the raise.
std::string outcome(const char* code) {
    try {
        Cell v = eval_text(code);
        return v.is(TYPE_UNSET) ? "unset!" : mold(&v);
    } catch (const KelThrow& t) {
        std::string s = "error " + t.id + " where " + form(&t.where) + " depth " + std::to_string(t.frame_depth);
        for (const Cell& a : t.args)
            if (a.type() != TYPE_NONE_ID) s += " [" + form(&a) + "]";
        return s;
    }
}

std::string outcome_general(const char* code) {
    g_interp.mask = 0;
    g_interp.on = true;
    std::string s = outcome(code);
    g_interp.on = false;
    g_interp.mask = kTraceDefaultMask;
    return s;
}

TEST_F(InterpFast, ShortcutsGiveWhatTheGeneralPathGives) {
    const char* const cases[][2] = {
        // Integer operators, overflow to float!.
        {"x: 1 x + 1", "2"},
        {"2147483647 + 1", "2147483648.0"},
        {"x: 2147483647 x: x + 1 x", "2147483648.0"},
        {"-2147483648 - 1", "-2147483649.0"},
        {"x: 65536 x * 65536", "4294967296.0"},
        {"x: 7 y: 2 x - y * 3", "15"},
        {"1 < 2", "true"},
        {"2 <= 1", "false"},
        {"3 = 3", "true"},
        {"3 <> 3", "false"},
        {"3 == 3", "true"},
        {"1 > 2", "false"},
        {"2 >= 2", "true"},
        {"1.5 + 2", "3.5"},
        {"add 2147483647 1", "2147483648.0"},
        {"multiply 3 subtract 10 4", "18"},
        {"lesser? 1 2", "true"},
        {"x: 5 greater-or-equal? x x", "true"},
        {"1 + 2.5", "3.5"},
        // Operands that are not plain integers take the general path.
        {"x: 1 x + \"a\"", ""},
        {"x: 1 y: x + none", ""},
        {"x: 1 x < [1]", ""},
        {"f: func [x] [x + [1]] f 1", ""},
        {"1 + 2 undefined-word", ""},
        {"(1 + 2) + (3 + undefined-word)", ""},
        {"(x: 1 x + 2)", "3"},
        {"x: 1 (x: x + 1 x * 10)", "20"},
        {"y: unset 'y y + 1", ""},
        // return, frameless and not.
        {"f: func [x] [return x + 1 99] f 4", "5"},
        {"f: func [] [loop 3 [return 7] 0] f", "7"},
        {"f: func [/local y] [y: 3 return y * 2] f", "6"},
        {"f: func [x [integer!]] [x: x + 1 return x] f 1", "2"},
        {"x: 1 return x", ""},
        {"return 1 + 2", ""},
        {"f: func [] [try/all [return 1] 5] f", "5"},
        {"f: func [] [return (1 + 2)] f", "3"},
        {"f: func [x] [x: x + 1] f 1", "2"},
        {"f: func [] [(return 1) 2] f", "1"},
        {"f: func [/local x] [x: 1 return x + 1 x: 5] reduce [f f]", "[2 2]"},
        {"f: func [] [do [return 3] 4] f", "3"},
        {"f: func [] [return 4 5] g: func [] [f] g", "4"},
        {"f: func [x] [return x] g: func [] [f 1 return 2] g", "2"},
        {"f: func [x] [x + 1] g: func [n] [f f n] g 5", "7"},
        // A function with a refinement, locals, a non-default type.
        {"f: func [a [integer!] /r b] [either r [a + b] [a]] f/r 1 2", "3"},
        {"f: func [a [string!]] [a] f 1", ""},
        {"f: func [a /local b c] [b: a + 1 c: b + 1] f 1", "3"},
        // The conditionals, which evaluate their block in their own frame.
        {"either 1 < 2 [1] [2]", "1"},
        {"either none [1] [2]", "2"},
        {"either 0 [1 + 1] [2]", "2"},
        {"either 0 [1] [2]", "1"},
        {"either \"\" [1] [2]", "1"},
        {"either false [1] [2]", "2"},
        {"if false [1]", "none"},
        {"if 1 [2]", "2"},
        {"unless none [3]", "3"},
        {"unless 0 [3]", "none"},
        {"either () [1] [2]", ""},
        {"either true 1 [2]", ""},
        {"if true", ""},
        {"unless", ""},
        {"either true [1 + \"a\"] [2]", ""},
        {"f: func [n] [either n > 0 [undefined-word] [0]] f 1", ""},
        {"f: func [n] [if n > 0 [(n + none)]] f 1", ""},
        {"either true [] [2]", "unset!"},
        {"f: func [] [if true [return 5] 6] f", "5"},
        {"f: func [] [unless false [exit] 6] f", "unset!"},
        {"n: 0 loop 5 [n: n + 1 if n = 3 [break]] n", "3"},
        {"x: either false [1] [y: 7 y * 2] x + y", "21"},
        {"fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]] fib 15", "610"},
        {"if true [return 1]", ""},
        // Natives and actions called as a whole statement.
        {"b: make block! 2 append b 1 x: append b 2 x", "[1 2]"},
        {"x: remainder 7 0", ""},
        {"append 1 2", ""},
        {"x: add 1 2", "3"},
        {"f: func [] [x: 1 return x + 1] f", "2"},
        {"x: 1 y: negate x", "-1"},
        // Short calls whose later arguments take the general path.
        {"f: func [a b] [a + b] f (1) 2", "3"},
        {"f: func [a b] [a + b] x: f 1 (2) x", "3"},
        {"f: func [a b] [a] f (1)", ""},
        {"b: copy [] append b (1 + 1) b", "[2]"},
        {"x: append copy [] (1 + none)", ""},
        {"f: func [a [integer!] b [integer!]] [a] f 1 (\"x\")", ""},
        {"n: 0 loop 2 [n: n + 1 f: func [a b] [b] x: f 1 (break)] n", "1"},
        {"if (1 > 2) [1]", "none"},
        {"either 1 < 2 (1) [2]", ""},
        {"either 1 < 2 ([3]) [2]", "3"},
        {"x: 1 y: add x (x + 1) y", "3"},
        // Shortcut statements after one that took the general path.
        {"b: copy [] (append b 1) append b 2 x: append b 3 x", "[1 2 3]"},
        {"x: 1 (x) y: remainder x 0", ""},
        {"f: func [] [(1) return 2 3] f", "2"},
        {"n: 0 loop 3 [(n) n: n + 1 if n = 2 [break]] n", "2"},
        // Number operations called by name and parens holding one
        // expression, inside arguments.
        {"b: copy [] append b (remainder 7 3) b", "[1]"},
        {"b: copy [] append b remainder -7 2 b", "[-1]"},
        {"b: copy [] append b (remainder 7 0) b", ""},
        {"x: -2147483648 b: copy [] append b (remainder x -1) b", ""},
        {"append copy [] (remainder 7 2.5)", "[2.0]"},
        {"append copy [] (remainder 7 3 + 1)", "[3]"},
        {"append copy [] (remainder 7 + 1 3)", "[2]"},
        {"append copy [] (remainder 7)", ""},
        {"append copy [] (remainder 7 \"a\")", ""},
        {"x: 5 y: add (remainder x 3) + 1 ((x)) y", "8"},
        {"append copy [] (((((1 + 2)))))", "[3]"},
        {"append copy [] (1 2)", "[2]"},
        {"append copy [] ()", ""},
        {"f: func [a b] [a] f (lesser? 1 2) 0", "true"},
        {"keep: [0 0] i: 5 poke keep (remainder i 2) + 1 i keep", "[0 5]"},
        {"x: 1 + (add 2 3)", "6"},
        {"rem: make op! :remainder 7 rem 2", "1"},
        {"rem: make op! :remainder x: 7 x rem 0", ""},
        {"rem: make op! :remainder -2147483648 rem -1", ""},
        {"rem: make op! :remainder x: 7 x rem 2.5", "2.0"},
        {"rem: make op! :remainder x: 7 x rem (1 + 1)", "1"},
        // Recursion to stack-overflow: the error comes at the same push or
        // frame mark, so with the same `where` and depth, whatever the
        // shortcuts would have computed in place near the end of the stacks.
        {"r: func [p] [r p + 1] r 1", ""},
        {"r: func [p] [x: p + 1 r x] r 1", ""},
        {"r: func [p] [r add p remainder p 3] r 1", ""},
        {"r: func [p] [(p) + 1 r p] r 1", ""},
        {"r: func [p] [if p > 0 [return r p + 1] 0] r 1", ""},
        {"r: func [p /local a b c d e f g h] [a: p * 2 r a - p] r 1", ""},
        {"r: func [p q] [r p + 1 q] r 1 2", ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c[0]);
        std::string fast = outcome(c[0]);
        EXPECT_EQ(fast, outcome_general(c[0]));
        if (*c[1]) {
            EXPECT_EQ(fast, c[1]);
        }
    }
}

TEST_F(InterpFast, OperatorsRedefinedByTheUserAreCalled) {
    // + standing for another function in a frameless statement and in an
    // argument.
    EXPECT_EQ(eval_int("times: func [a b] [a * b] +: make op! :times r: 3 + 4 +: make op! :add r"), 12);
    EXPECT_EQ(eval_int("times: func [a b] [a * b] +: make op! :times f: func [x] [x] r: f 3 + 4 +: make op! :add r"),
              12);
    EXPECT_EQ(eval_int("1 + 1"), 2);
    // A native made with a comparison's index but its own argument types.
    EXPECT_EQ(eval_error("lt: make op! make native! [[a [string!] b] 28] 1 lt 2"), "expect-arg");
    EXPECT_EQ(eval_mold("lt: make op! make native! [[a b] 28] 1 lt 2"), "true");
    // The word of an operator rebound to a plain value is no operator.
    EXPECT_EQ(eval_int("minus: :- -: 5 r: 1 - 2 -: :minus r"), 1);
    EXPECT_EQ(eval_int("3 - 1"), 2);
    // A number operation's name rebound to a function inside a paren argument.
    EXPECT_EQ(eval_mold("rem: :remainder remainder: func [a b] [a * b] r: append copy [] (remainder 2 3) "
                        "remainder: :rem r"),
              "[6]");
    EXPECT_EQ(eval_mold("append copy [] (remainder 7 4)"), "[3]");
}

TEST_F(InterpFast, TraceEventsFireWhereShortcutsWouldApply) {
    eval_text("n: 0 cb: func [event code offset value ref frame] [[set] n: n + 1]");
    Cell w{TYPE_WORD, 0, 0, 0};
    g_interp.callback = *word_get_any(word_from_cstring(&w, "cb"));
    g_interp.mask = interp_trace_mask(&g_interp.callback);
    g_interp.on = true;
    eval_text("a: 1 + 2 b: a + 1 loop 3 [a: a + 1]");
    g_interp.on = false;
    EXPECT_EQ(eval_int("n"), 5);
    EXPECT_EQ(eval_int("a"), 6);

    eval_text("n: 0 cb: func [event code offset value ref frame] [[call fetch] n: n + 1]");
    g_interp.callback = *word_get_any(word_from_cstring(&w, "cb"));
    g_interp.mask = interp_trace_mask(&g_interp.callback);
    g_interp.on = true;
    eval_text("1 + 2");
    g_interp.on = false;
    EXPECT_EQ(eval_int("n"), 4);  // fetch 1, fetch +, fetch 2, call +
}

TEST_F(InterpFast, ReturnFromAFramelessBodyLandsOnItsOwnCall) {
    // Recursion with a frameless return at every level.
    EXPECT_EQ(eval_int("f: func [n] [if n > 0 [return f n - 1] return 40] f 5"), 40);
    EXPECT_EQ(eval_int("f: func [x] [return x * 2] n: 0 loop 10 [n: n + f 1] n"), 20);
    // The return lands on the innermost function, not the one around it.
    EXPECT_EQ(eval_int("g: func [] [return 1] f: func [] [g + 10] f"), 11);
    EXPECT_EQ(eval_error("f: func [] [catch [try/all [return 1]]] f"), "");
}

}  // namespace
