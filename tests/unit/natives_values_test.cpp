// The comparison, predicate, set-operation, evaluation, printing and
// value-building natives, driven by small programs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "runtime/datatype.h"
#include "runtime/dispatch.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/natives/value_natives.h"
#include "runtime/output.h"
#include "tests/unit/object_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

std::string g_printed;
void capture_print(const Cell* value, bool line) {
    g_printed += string_to_utf8(value);
    if (line) g_printed += "\n";
}

struct ValueNatives : ::testing::Test {
    static void SetUpTestSuite() { object_test_init(); }
    void SetUp() override {
        stack_clear_all();
        output_init();
        output_hooks_unregister(output_print_string, nullptr);
        output_hooks_register(capture_print, nullptr);
        g_printed.clear();
    }
    void TearDown() override {
        output_init();
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        EXPECT_EQ(g_stack.top, g_stack.data_bottom);
        EXPECT_EQ(g_thrown, 0u);
    }
    // Molds the value of `code`; unset! reads "unset!".
    static std::string run(const char* code) {
        Cell v = eval_text(code);
        return v.is(TYPE_UNSET) ? "unset!" : mold(&v);
    }
    static void expect_cases(std::initializer_list<std::pair<const char*, const char*>> cases) {
        for (auto& c : cases) {
            SCOPED_TRACE(c.first);
            std::string got;
            std::string err = raised([&] { got = run(c.first); });
            EXPECT_EQ(err, "");
            EXPECT_EQ(got, c.second);
        }
    }
    static void expect_errors(std::initializer_list<std::pair<const char*, const char*>> cases) {
        for (auto& c : cases) {
            SCOPED_TRACE(c.first);
            EXPECT_EQ(eval_error(c.first), c.second);
        }
    }
};

// Calls native `index` with `args` in a frame, the check flag on, no
// refinements; gives the result slot.
Cell call_native(int index, std::initializer_list<Cell> args, int32_t check = 1) {
    Cell word = natives_global_word(native_info(index).name);
    stack_mark(&word, FRAME_INTERP);
    for (const Cell& c : args) stack_push(&c);
    int32_t refs[kMaxRefinements];
    for (int32_t& r : refs) r = -1;
    native_entry(static_cast<uint32_t>(index))(check, refs);
    Cell out = *stack_arguments();
    stack_unwind_drop();
    return out;
}

Cell int_cell(int32_t n) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }

Cell float_cell(double d, uint32_t type = TYPE_FLOAT) {
    Cell c{type, 0, 0, 0};
    cell_put_float(&c, d);
    return c;
}

float float32_of(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// ---- comparison and predicates ---------------------------------------------------------------------

TEST_F(ValueNatives, ComparisonsFollowTheCompareSlots) {
    expect_cases({
        {"equal? 1 1.0", "true"},
        {"lesser? 1 2.5", "true"},
        {"equal? \"a\" 1", "false"},
        {"not-equal? \"a\" 1", "true"},
        {"[1 \"a\"] < [1 2]", "true"},
        {"greater-or-equal? 2 2", "true"},
        {"strict-equal? 1 1.0", "false"},
        {"\"abc\" < \"abd\"", "true"},
    });
    expect_errors({{"lesser? \"a\" 1", "invalid-compare"}, {"greater? [1] 1", "invalid-compare"}});
}

TEST_F(ValueNatives, SameComparesIdentityNotEquality) {
    expect_cases({
        {"same? \"ab\" \"ab\"", "false"},
        {"s: \"ab\" same? s s", "true"},
        {"s: \"ab\" same? s next s", "false"},
        {"same? 1.0 1.0", "true"},
        {"same? 0.0 -0.0", "false"},
        {"same? none none", "true"},
        {"same? 1 1.0", "false"},
        {"same? 'a 'a", "true"},
        {"b: [1] same? b copy b", "false"},
    });
    // The operator made from same? and the compiled-code comparison entry.
    EXPECT_EQ(run("=?: make op! :same? s: \"ab\" reduce [s =? s s =? copy s 1 =? 1]"), "[true false true]");
    Cell one = int_cell(1), word = natives_global_word("=?");
    EXPECT_TRUE(ops_compare(COMP_SAME, &word, &one, &one));
    // Two NaNs of one bit pattern are the same value.
    Cell nan = float_cell(std::nan(""));
    EXPECT_TRUE(natives_same_values(&nan, &nan));
}

TEST_F(ValueNatives, SignAndZeroPredicates) {
    expect_cases({
        {"sign? -5", "-1"},
        {"sign? 0.0", "0"},
        {"sign? 2.5", "1"},
        {"negative? -1", "true"},
        {"positive? 0", "false"},
        {"zero? 0", "true"},
        {"zero? 0.0", "true"},
        {"zero? -0.0", "true"},
        {"NaN? 1", "false"},
        {"type? 1", "integer!"},
        {"type?/word \"a\"", "string!"},
        {"type? type? 1", "datatype!"},
        {"type? ()", "unset!"},
        {"not 0", "false"},
        {"not none", "true"},
        {"not ()", "false"},
    });
    expect_errors({{"negative? \"a\"", "expect-arg"}, {"sign? none", "expect-arg"}});
    // NaN is neither negative nor positive and has sign 0.
    Cell nan = float_cell(std::nan(""));
    EXPECT_EQ(call_native(97, {nan}).data2, 0u);
    EXPECT_EQ(call_native(49, {nan}).data1, 0u);
    EXPECT_EQ(call_native(50, {nan}).data1, 0u);
    EXPECT_EQ(call_native(62, {nan}).data1, 1u);
    EXPECT_EQ(call_native(62, {float_cell(std::nan(""), TYPE_PERCENT)}).data1, 1u);
    EXPECT_EQ(call_native(100, {nan}).data1, 0u);
    // Types outside the spec's (reachable with the check off) are not zero.
    EXPECT_EQ(call_native(100, {string_cell("0")}, 0).data1, 0u);
    EXPECT_EQ(call_native(69, {int_cell(1)}, 0).data1, 1u);
}

TEST_F(ValueNatives, ZeroAndSignReadTheNumberPayloads) {
    const uint32_t minus_zero = 0x80000000u;  // -0.0f
    struct Case {
        Cell value;
        bool zero;
    } cases[] = {
        {float_cell(0.0, TYPE_TIME), true},
        {Cell{TYPE_PAIR, 0, 0, 0}, true},
        {Cell{TYPE_PAIR, 0, 0, 1}, false},
        {Cell{TYPE_POINT2D, minus_zero, 0, 0}, true},
        {Cell{TYPE_POINT3D, 0, 0, 0x3F800000u}, false},
        {Cell{TYPE_TUPLE | (3u << 19), 0, 0, 0}, true},
        {Cell{TYPE_TUPLE | (3u << 19), 0x100, 0, 0}, false},
        {Cell{TYPE_MONEY | 0x4000, 7, 0, 0}, true},  // a currency, no digits: zero whatever the sign
        {Cell{TYPE_MONEY, 0, 0, 0x10}, false},
        {Cell{TYPE_CHAR, 0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.type());
        EXPECT_EQ(call_native(100, {c.value}, 0).data1, c.zero ? 1u : 0u);
    }
    Cell debt{TYPE_MONEY | 0x4000, 0, 0x100, 0};
    EXPECT_EQ(static_cast<int32_t>(call_native(97, {debt}).data2), -1);
    EXPECT_EQ(call_native(49, {debt}).data1, 1u);
    EXPECT_EQ(static_cast<int32_t>(call_native(97, {float_cell(-3.0, TYPE_TIME)}).data2), -1);
}

TEST_F(ValueNatives, ComplementTestsTheBitsetFlagAndRefusesOtherTypes) {
    Cell bits{TYPE_BITSET, 0, alloc_bytes(4), 0};
    EXPECT_EQ(call_native(46, {bits}, 0).data1, 0u);
    node_buffer(bits.data2)->flags |= SERIES_COMPLEMENT;
    EXPECT_EQ(call_native(46, {bits}, 0).data1, 1u);
    try {
        call_native(46, {int_cell(1)}, 0);
        FAIL();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.id, "expect-arg");
        EXPECT_EQ(form(&t.args[0]), "complement?");
        EXPECT_EQ(form(&t.args[2]), "bits");
    }
    stack_clear_all();
}

// ---- set operations ------------------------------------------------------------------------------------

TEST_F(ValueNatives, SetOperations) {
    expect_cases({
        {"union \"abc\" \"bcd\"", "\"abcd\""},
        {"intersect \"abc\" \"bcd\"", "\"bc\""},
        {"exclude \"abc\" \"bcd\"", "\"a\""},
        {"difference \"abc\" \"bcd\"", "\"ad\""},
        {"unique \"abcab\"", "\"abc\""},
        {"unique/case \"aAa\"", "\"aA\""},
        {"unique \"aAa\"", "\"a\""},
        {"difference [a b] [b c]", "[a c]"},
        {"union [1 2] [2 3]", "[1 2 3]"},
        {"intersect [1 2 3] [2 3 4]", "[2 3]"},
        {"exclude [1 2 3] [2]", "[1 3]"},
        {"unique [1 2 1 2]", "[1 2]"},
        {"union/skip [a 1 b 2] [a 3 c 4] 2", "[a 1 b 2 c 4]"},
        {"b: [1 2] union b [3] b", "[1 2]"},
        {"union make typeset! [integer!] make typeset! [string!]", "make typeset! [string! integer!]"},
        {"exclude make typeset! [integer! string!] make typeset! [string!]", "make typeset! [integer!]"},
    });
    expect_errors({
        {"union \"ab\" [a]", "expect-val"},
        {"union [a] \"ab\"", "expect-val"},
        {"intersect make typeset! [integer!] [1]", "expect-val"},
        {"union/skip [1 2] [3] 0", "invalid-refine-arg"},
        {"union 1 2", "expect-arg"},
    });
}

TEST_F(ValueNatives, SetOperationsOnTypesNotBuiltInRaiseNotDone) {
    Cell bits{TYPE_BITSET, 0, alloc_bytes(4), 0};
    EXPECT_EQ(raised([&] { call_native(41, {bits, bits}); }), "not-done");
    stack_clear_all();
}

// ---- evaluation ---------------------------------------------------------------------------------------

TEST_F(ValueNatives, DoEvaluatesBlocksWordsAndFunctions) {
    expect_cases({
        {"do [1 + 2]", "3"},
        {"do []", "unset!"},
        {"x: 5 do 'x", "5"},
        {"f: does [7] do :f", "7"},
        {"do (1 + 2)", "3"},
        {"do 4", "4"},
        {"p: none v: do/next [1 + 2 3] 'p reduce [v p]", "[3 [3]]"},
        {"p: none do/next [] 'p p", "[]"},
        {"f: func [] [do [return 6] 1] f", "6"},
        {"n: 0 loop 3 [n: n + 1 do [break]] n", "1"},
    });
    expect_errors({{"do [1 / 0]", "zero-divide"}});
}

TEST_F(ValueNatives, DoReraisesAnErrorValue) {
    EXPECT_EQ(eval_error("e: try [1 / 0] do e"), "zero-divide");
}

TEST_F(ValueNatives, DoTraceSendsTheEventsOfItsEvaluationOnly) {
    Cell v = eval_text("log: copy [] cb: func [event code offset value ref frame] [append log event] "
                       "r: do/trace [1 + 2] :cb reduce [r pick log 1 pick log length? log]");
    EXPECT_EQ(mold(&v), "[3 init end]");
    EXPECT_FALSE(g_interp.on);
    EXPECT_TRUE(g_interp.callback.is(TYPE_NONE));
}

TEST_F(ValueNatives, ReduceAndCompose) {
    expect_cases({
        {"reduce [1 + 2 \"x\"]", "[3 \"x\"]"},
        {"x: 4 reduce 'x", "4"},
        {"type? reduce :print", "native!"},
        {"reduce []", "[]"},
        {"b: [1 2] new-line next b true r: reduce b new-line? next r", "false"},
        {"b: [] r: reduce/into [1 + 1 3] b reduce [r b]", "[[2 3] [2 3]]"},
        {"b: [9] r: reduce/into [1 + 1 3] b reduce [r b]", "[[9] [2 3 9]]"},
        {"b: [9] reduce/into 1 + 1 b", "[9]"},
        {"b: [9] reduce/into 1 + 1 b b", "[2 9]"},
        {"compose [(1 + 1) ([]) ([a b])]", "[2 a b]"},
        {"compose/only [([]) ([a b])]", "[[] [a b]]"},
        {"compose [() [(1 + 1)] x]", "[[(1 + 1)] x]"},
        {"compose/deep [[(1 + 1)] ([c])]", "[[2] c]"},
        {"compose [(unset 'zz) 1]", "[1]"},
        {"b: [x] r: compose/into [(1 + 1) y] b reduce [r b]", "[[x] [2 y x]]"},
        {"b: [] compose/into [([1 2]) 3] b", "[1 2 3]"},
        {"b: [1] append/only b b c: compose/deep b length? c", "2"},
    });
    expect_errors({{"compose 1", "expect-arg"}, {"reduce [1 +]", "no-arg"}, {"compose [(1 / 0)]", "zero-divide"}});
}

TEST_F(ValueNatives, ComposeOfANonBlockWithoutTheCheckIsExpectVal) {
    EXPECT_EQ(raised([&] { call_native(36, {int_cell(1)}, 0); }), "expect-val");
    stack_clear_all();
}

TEST_F(ValueNatives, GetAndSet) {
    expect_cases({
        {"set [a b] [1 2] a + b", "3"},
        {"set [a b] 5 a * b", "25"},
        {"set [a b] [1] b", "none"},
        {"set/only [a b] [1 2] b", "[1 2]"},
        {"a: 1 set/some [a b] reduce [none 7] reduce [a b]", "[1 7]"},
        {"set 'c 4 c", "4"},
        {"set/any 'c () value? 'c", "false"},
        {"get/any 'never-set-anywhere", "unset!"},
        {"x: 3 get 'x", "3"},
        {"b: [x 1 y 2] p: pick [b/y] 1 get p", "2"},
        {"b: [x 1 y 2] p: pick [b/y] 1 set p 5 b", "[x 1 y 5]"},
        {"set [a b] [1 2]", "[1 2]"},
    });
    expect_errors({
        {"get 'never-set-anywhere", "no-value"},
        {"set 'c ()", "need-value"},
        {"set [a 1] 2", "invalid-arg"},
        {"b: [1] p: pick [b/x/y] 1 get p", "bad-path-type"},
    });
}

TEST_F(ValueNatives, BindAndIn) {
    expect_cases({
        {"blk: [x] f: func [x] [do blk] bind blk :f f 5", "5"},
        {"x: 1 blk: [x] f: func [x] [do blk2] blk2: bind/copy blk :f reduce [f 5 do blk]", "[5 1]"},
        {"f: func [x] [do w] w: bind 'x :f f 9", "9"},
        {"f: func [x] [] w: bind 'nope :f same? w 'nope", "true"},
        {"f: func [x] [do in :f 'x] f 3", "3"},
        {"f: func [x] [] in :f 'nope", "none"},
        {"f: func [x /r] [] type? in :f /r", "word!"},
        {"type? in :append 'series", "word!"},
    });
}

TEST_F(ValueNatives, ObjectsThroughTheWordNatives) {
    expect_cases({
        {"o: construct [a: 1 b: a] o/b", "a"},
        {"o: construct [a: 1 b: none] type? o/b", "none!"},
        {"o: construct/only [a: true] type? o/a", "word!"},
        {"p: construct [a: 1] o: construct/with [b: 2] p reduce [o/a o/b]", "[1 2]"},
        {"o: construct [a: 1 b: 2] get o", "[1 2]"},
        {"o: construct [a: 1 b: 2] set o 5 get o", "[5 5]"},
        {"o: construct [a: 1 b: 2] set o [7 8] get o", "[7 8]"},
        {"o: construct [a: 1] p: pick [o/a] 1 set p 9 o/a", "9"},
        {"o: construct [x: 1] get bind 'x o", "1"},
        {"o: construct [x: 1] w: bind 'nope o same? w 'nope", "true"},
        {"o: construct [x: 1] b: bind [x] o do b", "1"},
        {"x: 0 o: construct [x: 1] b: [x] c: bind/copy b o reduce [do b do c]", "[0 1]"},
        {"o: construct [x: 1] get in o 'x", "1"},
        {"o: construct [x: 1] in o 'nope", "none"},
        {"o: construct [x: 1] same? o context? in o 'x", "true"},
    });
    expect_errors({{"o: construct [a: 1] extend o [b: 2]", "not-done"}});
}

// ---- printing ----------------------------------------------------------------------------------------

TEST_F(ValueNatives, PrintFormsAndSpacesValues) {
    eval_text("print [1 + 2 \"x\"] print [] prin \"a\" print \"b\" print 5 prin [1 2] print \"\"");
    EXPECT_EQ(g_printed, "3 x\n\nab\n5\n1 2\n");
    EXPECT_TRUE(g_print_newline_flag);
    eval_text("prin 1");
    EXPECT_FALSE(g_print_newline_flag);
}

TEST_F(ValueNatives, NestedAndFailingPrintsLeaveTheBufferAsTheyFoundIt) {
    uint32_t before = series_length_total(&g_print_buffer);
    eval_text("print [1 (print [\"in\" 2] 3) 4]");
    EXPECT_EQ(g_printed, "in 2\n1 3 4\n");
    EXPECT_EQ(eval_error("print [1 1 / 0]"), "zero-divide");
    EXPECT_EQ(eval_int("n: 0 loop 2 [n: n + 1 print [1 (break)]] n"), 1);
    EXPECT_EQ(series_length_total(&g_print_buffer), before);
    EXPECT_EQ(g_print_buffer.data1, 0u);
    g_printed.clear();
    eval_text("print [7 8]");
    EXPECT_EQ(g_printed, "7 8\n");
}

// ---- words, markers and values --------------------------------------------------------------------------

TEST_F(ValueNatives, WordsAndMarkers) {
    expect_cases({
        {"value? 'never-set-word-q", "false"},
        {"nn: none value? 'nn", "true"},
        {"u: 1 unset [u 5] value? 'u", "false"},
        {"u: 1 unset 'u value? 'u", "false"},
        {"b: [1 2 3 4] new-line/skip b true 2 "
         "reduce [new-line? b new-line? next b new-line? skip b 2 new-line? skip b 3]",
         "[true false true false]"},
        {"b: [1 2 3 4] new-line/skip b false 2 "
         "reduce [new-line? b new-line? next b new-line? skip b 2 new-line? skip b 3]",
         "[false true false true]"},
        {"b: [1 2] new-line/all b true reduce [new-line? b new-line? next b]", "[true true]"},
        {"b: [1 2] new-line next b true reduce [new-line? b new-line? next b]", "[false true]"},
        {"b: [1] new-line? tail b", "false"},
        {"new-line tail [1] true", "[]"},
        {"context? 'never-set-word-q", "none"},
        {"f: func [x] [context? 'x] same? :f f 1", "true"},
        {"uppercase \"abc\"", "\"ABC\""},
        {"uppercase/part \"abc\" 2", "\"ABc\""},
        {"uppercase/part \"abc\" 1.9", "\"Abc\""},
        {"lowercase \"ABC\"", "\"abc\""},
        {"s: \"abc\" uppercase s s", "\"ABC\""},
    });
    expect_errors({{"new-line/skip [1 2] true 0", "out-of-range"}, {"unset 1", "expect-arg"}});
}

TEST_F(ValueNatives, AsCoercesWithinAFamilyAndSharesTheSeries) {
    expect_cases({
        {"as paren! [1 2]", "(1 2)"},
        {"as [] as paren! [1 2]", "[1 2]"},
        {"b: [a b] p: as path! b append b 'c p", "a/b/c"},
        {"s: \"ab\" t: as \"\" s same? s t", "true"},
    });
    expect_errors({{"as string! [a]", "not-same-class"}, {"as block! \"a\"", "not-same-class"}});
    if (!g_type_names[TYPE_TAG].name) {
        EXPECT_EQ(eval_error("as tag! \"a\""), "not-done");
    }
}

TEST_F(ValueNatives, NumberBuilders) {
    // pair! and the point types are built elsewhere; until then the natives
    // refuse to make their values.
    for (uint32_t t : {TYPE_PAIR, TYPE_POINT2D, TYPE_POINT3D})
        if (!g_type_names[t].name) {
            EXPECT_EQ(eval_error(t == TYPE_PAIR ? "as-pair 1 2" : t == TYPE_POINT2D ? "as-point2D 1 2" : "as-point3D 1 2 3"),
                      "not-done");
            TypeRow(static_cast<TypeId>(t)).commit();  // a named row without actions
        }
    Cell p = eval_text("as-pair 1.9 -1.9");
    EXPECT_TRUE(p.is(TYPE_PAIR));
    EXPECT_EQ(static_cast<int32_t>(p.data2), 1);
    EXPECT_EQ(static_cast<int32_t>(p.data3), -1);
    Cell q = eval_text("as-pair 3 -4");
    EXPECT_EQ(static_cast<int32_t>(q.data3), -4);
    Cell pt = eval_text("as-point2D 1 2.5");
    EXPECT_TRUE(pt.is(TYPE_POINT2D));
    EXPECT_EQ(float32_of(pt.data1), 1.0f);
    EXPECT_EQ(float32_of(pt.data2), 2.5f);
    Cell p3 = eval_text("as-point3D 1 2 0.1");
    EXPECT_EQ(float32_of(p3.data3), 0.1f);
    expect_errors({{"as-pair 1e20 1", "invalid-arg"}, {"as-pair \"a\" 1", "expect-arg"}});
    EXPECT_EQ(raised([&] { call_native(73, {float_cell(INFINITY), int_cell(1)}, 0); }), "invalid-arg");
    stack_clear_all();
    EXPECT_EQ(raised([&] { call_native(73, {float_cell(std::nan("")), int_cell(1)}, 0); }), "invalid-arg");
    stack_clear_all();
    // money! and its currency table are not built in yet.
    EXPECT_EQ(eval_error("as-money 'usd 1"), "not-done");
}

// ---- apply ---------------------------------------------------------------------------------------------

TEST_F(ValueNatives, ApplyTakesArgumentsFromABlock) {
    const char* f = "f: func [a /x b /y c] [if x [a: a + b] if y [a: a * c] a] ";
    auto with_f = [&](const char* code) { return std::string(f) + code; };
    std::string cases[][2] = {
        {with_f("apply :f [1]"), "1"},
        {with_f("apply 'f [2 + 3]"), "5"},
        {with_f("p: pick [f/y] 1 apply p [2 10]"), "20"},
        {with_f("p: pick [f/y/x] 1 apply p [1 100 10]"), "1100"},
        {with_f("apply/all :f [1 true 100 false 10]"), "101"},
        {with_f("apply/all :f [1 false 100 true 10]"), "10"},
        {with_f("apply/all :f [1]"), "1"},
        {with_f("n: 0 apply/all :f [1 false (n: 5) true 3] n"), "5"},
        {with_f("n: 0 apply/all/safer :f [1 false (n: 5) true 3] n"), "0"},
        {with_f("apply/all/safer :f [1 false (n: 5) true 3]"), "3"},
        {"apply :append [[1] 2]", "[1 2]"},
        {"p: pick [append/only] 1 apply p [[1] [2]]", "[1 [2]]"},
        {"apply/all :append [[1] [2 3] true 1 false]", "[1 2]"},
        {"apply/all :append [[1] [2 3] true 1 true]", "[1 [2 3]]"},
        {"apply :+ [1 2]", "3"},
        {"g: func [n] [either n = 0 [0] [n + apply :g [n - 1]]] g 4", "10"},
        {"h: func [] [apply :return [4] 5] h", "4"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c[0]);
        std::string got;
        EXPECT_EQ(raised([&] { got = run(c[0].c_str()); }), "");
        EXPECT_EQ(got, c[1]);
    }
    expect_errors({
        {"f: func [a] [a] apply :f []", "no-arg"},
        {"x: 5 apply 'x [1]", "invalid-arg"},
        {"apply :negate [\"a\"]", "expect-arg"},
        {"f: func [a /x] [a] apply/all :f [1 2]", "expect-arg"},
        {"f: func [a] [a] p: pick [f/nope] 1 apply p [1]", "no-refine"},
    });
}

// The library calls (do-file, the preprocessor) pass their values
// positionally: fixed arguments, then refinement flags and their arguments.
TEST_F(ValueNatives, PositionalCallsFillTheFrameInOrder) {
    eval_text("g: func [a b /r c] [either r [a + b + c] [reduce [a b]]]");
    Cell name = natives_global_word("g");
    Cell fn = *word_get_any(&name);
    auto call = [&](std::initializer_list<Cell> values) {
        std::string out;
        interp_run_on_big_stack([&] {
            EXPECT_TRUE(natives_call_positional(&fn, values.begin(), static_cast<uint32_t>(values.size())));
            out = mold(stack_top());
            stack_clear_all();
        });
        return out;
    };
    EXPECT_EQ(call({int_cell(1), int_cell(2), Cell{TYPE_LOGIC, 1, 0, 0}, int_cell(5)}), "8");
    EXPECT_EQ(call({int_cell(1)}), "[1 none]");
    EXPECT_EQ(call({int_cell(1), int_cell(2), Cell{TYPE_LOGIC, 0, 0, 0}, int_cell(5)}), "[1 2]");
}

TEST_F(ValueNatives, NativesCheckArgumentsWhenTheFlagIsSet) {
    EXPECT_EQ(raised([&] { call_native(41, {int_cell(1), int_cell(2)}); }), "expect-arg");
    stack_clear_all();
    EXPECT_EQ(raised([&] { call_native(89, {int_cell(1), Cell{TYPE_LOGIC, 1, 0, 0}}); }), "expect-arg");
    stack_clear_all();
}

}  // namespace
