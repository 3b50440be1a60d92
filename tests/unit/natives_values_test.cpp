// What only C++ can see of the comparison, predicate, set-operation,
// evaluation, printing and value-building natives: payloads of types not
// built in yet, the check flag, the shared print buffer and the print hooks,
// the trace state, positional library calls. Their behaviour as the language
// shows it is tested in tests/kel/*_natives.kel.
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

TEST_F(ValueNatives, SameOfNanBitsAndTheCompiledComparisonEntry) {
    // Two NaNs of one bit pattern are the same value.
    Cell nan = float_cell(std::nan(""));
    EXPECT_TRUE(natives_same_values(&nan, &nan));
    Cell one = int_cell(1), other = float_cell(1.0), word = natives_global_word("=?");
    EXPECT_TRUE(ops_compare(COMP_SAME, &word, &one, &one));
    EXPECT_FALSE(ops_compare(COMP_SAME, &word, &one, &other));
}

TEST_F(ValueNatives, NanHasNoSignAndIsNotZero) {
    // NaN is neither negative nor positive and has sign 0.
    Cell nan = float_cell(std::nan(""));
    EXPECT_EQ(call_native(97, {nan}).data2, 0u);
    EXPECT_EQ(call_native(49, {nan}).data1, 0u);
    EXPECT_EQ(call_native(50, {nan}).data1, 0u);
    EXPECT_EQ(call_native(62, {nan}).data1, 1u);
    EXPECT_EQ(call_native(62, {float_cell(std::nan(""), TYPE_PERCENT)}).data1, 1u);
    EXPECT_EQ(call_native(100, {nan}).data1, 0u);
    // Types outside the native's argument types (reachable with the check off).
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

TEST_F(ValueNatives, SetOperationsOnTypesNotBuiltInRaiseNotDone) {
    Cell bits{TYPE_BITSET, 0, alloc_bytes(4), 0};
    EXPECT_EQ(raised([&] { call_native(41, {bits, bits}); }), "not-done");
    stack_clear_all();
}

// ---- evaluation ---------------------------------------------------------------------------------------

TEST_F(ValueNatives, DoTraceSendsTheEventsOfItsEvaluationOnly) {
    Cell v = eval_text("log: copy [] cb: func [event code offset value ref frame] [append log event] "
                       "r: do/trace [1 + 2] :cb reduce [r pick log 1 pick log length? log]");
    EXPECT_EQ(mold(&v), "[3 init end]");
    EXPECT_FALSE(g_interp.on);
    EXPECT_TRUE(g_interp.callback.is(TYPE_NONE));
}

TEST_F(ValueNatives, ComposeOfANonBlockWithoutTheCheckIsExpectVal) {
    EXPECT_EQ(raised([&] { call_native(36, {int_cell(1)}, 0); }), "expect-val");
    stack_clear_all();
}

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

TEST_F(ValueNatives, NumberBuilders) {
    // as makes no value of a series type that is not built in.
    if (!g_type_names[TYPE_TAG].name) {
        EXPECT_EQ(eval_error("as tag! \"a\""), "not-done");
    }
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
