// integer!: the shared arithmetic, conversions, text, compare, rounding,
// power and the hand-over to types that compute with a number on the left.
#include <climits>
#include <cmath>

#include "number_test_support.h"

using namespace kel;
using namespace kel::numtest;

namespace {

using IntegerTest = NumberTest;

TEST_F(IntegerTest, ArithmeticStaysIntegerOrBecomesExactFloat) {
    struct Case { int slot; int32_t a, b; bool is_float; double expect; } cases[] = {
        {ACT_ADD, 2, 3, false, 5},
        {ACT_ADD, INT_MAX, 1, true, 2147483648.0},
        {ACT_SUBTRACT, INT_MIN, 1, true, -2147483649.0},
        {ACT_MULTIPLY, 65536, 65536, true, 4294967296.0},
        {ACT_MULTIPLY, -65536, 32768, false, INT_MIN},
        {ACT_DIVIDE, 7, 2, true, 3.5},
        {ACT_DIVIDE, 6, 2, false, 3},
        {ACT_DIVIDE, -7, 2, true, -3.5},
        {ACT_REMAINDER, -7, 2, false, -1},
        {ACT_REMAINDER, 7, -2, false, 1},
        {ACT_AND_T, 12, 10, false, 8},
        {ACT_OR_T, 12, 10, false, 14},
        {ACT_XOR_T, 12, 10, false, 6},
    };
    for (const Case& c : cases) {
        Cell r = act(c.slot, int_v(c.a), int_v(c.b));
        SCOPED_TRACE(std::string(action_name(c.slot)) + " " + std::to_string(c.a) + " " + std::to_string(c.b));
        if (c.is_float) {
            ASSERT_TRUE(r.is(TYPE_FLOAT));
            EXPECT_EQ(fval(r), c.expect);
        } else {
            ASSERT_TRUE(r.is(TYPE_INTEGER));
            EXPECT_EQ(ival(r), static_cast<int32_t>(c.expect));
        }
    }
}

TEST_F(IntegerTest, ArithmeticErrors) {
    EXPECT_EQ(raised([] { div(int_v(1), int_v(0)); }), "math/zero-divide");
    EXPECT_EQ(raised([] { rem(int_v(1), int_v(0)); }), "math/zero-divide");
    EXPECT_EQ(raised([] { div(int_v(INT_MIN), int_v(-1)); }), "math/overflow");
    EXPECT_EQ(raised([] { act(ACT_ABSOLUTE, int_v(INT_MIN), int_v(0)); }), "math/overflow");
    Cell n = int_v(INT_MIN);
    EXPECT_EQ(raised([&] { integer_negate(&n); }), "math/overflow");
    EXPECT_EQ(raised([] { add(int_v(1), string_v("1")); }), "script/invalid-type");
    // and~ with a float goes to the float side, which has no bitwise operations.
    EXPECT_EQ(raised([] { act(ACT_AND_T, int_v(1), float_v(1.0)); }), "script/cannot-use");
}

TEST_F(IntegerTest, DoMathWithoutFloatCellRaisesOverflowAndTruncatesDivision) {
    EXPECT_EQ(raised([] { integer_do_math(INT_MAX, 1, OP_ADD, nullptr); }), "math/overflow");
    EXPECT_EQ(integer_do_math(7, 2, OP_DIV, nullptr), 3);
    EXPECT_EQ(integer_do_math(-7, 2, OP_DIV, nullptr), -3);
}

TEST_F(IntegerTest, MixedWithFloatGoesToFloatSide) {
    Cell r = add(int_v(1), float_v(0.5));
    ASSERT_TRUE(r.is(TYPE_FLOAT));
    EXPECT_EQ(fval(r), 1.5);
    r = mul(int_v(2), percent_v(0.5));
    ASSERT_TRUE(r.is(TYPE_FLOAT));
    EXPECT_EQ(fval(r), 1.0);
    // A char on the right counts as its code point; the result is integer!.
    r = add(int_v(1), char_v('a'));
    ASSERT_TRUE(r.is(TYPE_INTEGER));
    EXPECT_EQ(ival(r), 98);
}

TEST_F(IntegerTest, UnaryActions) {
    Cell n = int_v(-5);
    EXPECT_EQ(ival(act(ACT_ABSOLUTE, n, int_v(0))), 5);
    EXPECT_EQ(ival(*integer_negate(&n)), 5);
    n = int_v(0);
    EXPECT_EQ(ival(*integer_complement(&n)), -1);
    Cell even = int_v(-4), odd = int_v(INT_MIN + 1);
    EXPECT_TRUE(integer_even_q(&even));
    EXPECT_FALSE(integer_odd_q(&even));
    EXPECT_TRUE(integer_odd_q(&odd));
}

TEST_F(IntegerTest, FormAndMold) {
    struct Case { int32_t n; const char* text; } cases[] = {
        {0, "0"}, {7, "7"}, {-42, "-42"}, {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"},
        {9, "9"}, {10, "10"}, {99, "99"}, {100, "100"}, {-101, "-101"}, {1000000, "1000000"},
        {-999999999, "-999999999"}, {1000000000, "1000000000"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(form_of(int_v(c.n)), c.text);
        EXPECT_EQ(mold_of(int_v(c.n)), c.text);
        EXPECT_STREQ(integer_form_signed(c.n), c.text);
    }
    Cell buffer;
    string_make(&buffer, 4);
    Cell v = int_v(-123);
    EXPECT_EQ(integer_form(&v, &buffer, nullptr, 10), 6);
}

TEST_F(IntegerTest, ToInteger) {
    struct Case { const char* what; Cell spec; int32_t expect; } cases[] = {
        {"2.9", float_v(2.9), 2},
        {"-2.9", float_v(-2.9), -2},
        {"-2147483648.0", float_v(-2147483648.0), INT_MIN},
        {"char", char_v(0x20AC), 0x20AC},
        {"50%", percent_v(7.5), 7},
        {"time 1.5s", float_v(1.5, TYPE_TIME), 2},
        // Seconds round to the nearest, halves away from zero, on both sides.
        {"time -18000s", float_v(-18000.0, TYPE_TIME), -18000},
        {"time -1.5s", float_v(-1.5, TYPE_TIME), -2},
        {"time -1.4s", float_v(-1.4, TYPE_TIME), -1},
        {"binary 5 bytes", binary_v({1, 2, 3, 4, 5}), 16909060},
        {"binary 2 bytes", binary_v({0xFF, 0xFE}), 0xFFFE},
        {"binary 4 bytes high bit", binary_v({0xFF, 0xFF, 0xFF, 0xFF}), -1},
        {"empty binary", binary_v({}), 0},
        {"1'000", string_v("1'000"), 1000},
        {"+12", string_v("+12"), 12},
        {"-2147483648", string_v("-2147483648"), INT_MIN},
        {"file", string_v("0042", TYPE_FILE), 42},
    };
    for (const Case& c : cases) {
        Cell r = to(TYPE_INTEGER, c.spec);
        ASSERT_TRUE(r.is(TYPE_INTEGER)) << c.what;
        EXPECT_EQ(ival(r), c.expect) << c.what;
    }
}

TEST_F(IntegerTest, ToIntegerRefusals) {
    struct Case { const char* what; Cell spec; const char* error; } cases[] = {
        {"1e10", float_v(1e10), "script/type-limit"},
        {"NaN", float_v(NAN), "script/type-limit"},
        {"-inf", float_v(-INFINITY), "script/type-limit"},
        {"2147483648.0", float_v(2147483648.0), "script/type-limit"},
        {"12x", string_v("12x"), "script/bad-to-arg"},
        {"2147483648", string_v("2147483648"), "script/bad-to-arg"},
        {"-2147483649", string_v("-2147483649"), "script/bad-to-arg"},
        {"empty", string_v(""), "script/bad-to-arg"},
        {"sign only", string_v("-"), "script/bad-to-arg"},
        {"space", string_v(" 1"), "script/bad-to-arg"},
        {"arabic-indic digits", string_v("\u0661\u0662"), "script/bad-to-arg"},
        {"fullwidth digit", string_v("\uFF11"), "script/bad-to-arg"},
        {"logic", logic_v(true), "script/bad-to-arg"},
        {"block", block_v({}), "script/bad-to-arg"},
    };
    for (const Case& c : cases) EXPECT_EQ(raised([&] { to(TYPE_INTEGER, c.spec); }), c.error) << c.what;
}

TEST_F(IntegerTest, MakeTakesLogic) {
    EXPECT_EQ(ival(make(TYPE_INTEGER, logic_v(true))), 1);
    EXPECT_EQ(ival(make(TYPE_INTEGER, logic_v(false))), 0);
    EXPECT_EQ(ival(make(TYPE_INTEGER, string_v("-17"))), -17);
}

TEST_F(IntegerTest, IssueReadsAsHexThroughTheSpellingService) {
    NumberServices saved = g_number_services;
    g_number_services.word_spelling = [](const Cell* word) -> std::string {
        switch (word->data2) {
        case 1: return "FF";
        case 2: return "ffffffff";
        case 3: return "123456789";
        case 4: return "G1";
        default: return "\xC2\xB9";  // superscript one: not a digit
        }
    };
    auto issue = [](uint32_t symbol) {
        Cell c;
        cell_set(&c, TYPE_ISSUE, 0, symbol, 0);
        return c;
    };
    EXPECT_EQ(ival(to(TYPE_INTEGER, issue(1))), 255);
    EXPECT_EQ(ival(to(TYPE_INTEGER, issue(2))), -1);
    EXPECT_EQ(raised([&] { to(TYPE_INTEGER, issue(3)); }), "script/invalid-data");
    EXPECT_EQ(raised([&] { to(TYPE_INTEGER, issue(4)); }), "script/invalid-data");
    EXPECT_EQ(raised([&] { to(TYPE_INTEGER, issue(5)); }), "script/invalid-data");
    g_number_services = saved;
}

TEST_F(IntegerTest, Power) {
    struct Case { int32_t base; Cell exponent; bool is_float; double expect; } cases[] = {
        {2, int_v(10), false, 1024},
        {3, int_v(0), false, 1},
        {-2, int_v(31), false, INT_MIN},
        {-3, int_v(3), false, -27},
        {2, int_v(31), true, 2147483648.0},
        {2, int_v(-1), true, 0.5},
        {4, float_v(0.5), true, 2.0},
        {46341, int_v(2), true, 2147488281.0},
    };
    for (const Case& c : cases) {
        Cell r = act(ACT_POWER, int_v(c.base), c.exponent);
        SCOPED_TRACE(c.base);
        ASSERT_EQ(r.is(TYPE_FLOAT), c.is_float);
        EXPECT_EQ(r.is(TYPE_FLOAT) ? fval(r) : ival(r), c.expect);
    }
    EXPECT_EQ(raised([] { act(ACT_POWER, int_v(2), string_v("2")); }), "script/expect-arg");
}

TEST_F(IntegerTest, RoundToScale) {
    RoundArgs none;
    auto with = [](const Cell* scale, void (*set)(RoundArgs&)) {
        RoundArgs a;
        a.to = scale;
        if (set) set(a);
        return a;
    };
    Cell five = int_v(5), ten = int_v(10), two = int_v(2), minus_ten = int_v(-10), int_min = int_v(INT_MIN);
    struct Case { const char* what; int32_t n; RoundArgs args; int32_t expect; } cases[] = {
        {"no scale", 17, none, 17},
        {"17 to 5", 17, with(&five, nullptr), 15},
        {"15 to 10", 15, with(&ten, nullptr), 20},
        {"-15 to 10", -15, with(&ten, nullptr), -20},
        {"negative scale", 15, with(&minus_ten, nullptr), 20},
        {"half-down", 15, with(&ten, [](RoundArgs& a) { a.half_down = true; }), 10},
        {"even 25", 25, with(&ten, [](RoundArgs& a) { a.even = true; }), 20},
        {"even 35", 35, with(&ten, [](RoundArgs& a) { a.even = true; }), 40},
        {"floor -11", -11, with(&ten, [](RoundArgs& a) { a.floor = true; }), -20},
        {"floor 19", 19, with(&ten, [](RoundArgs& a) { a.floor = true; }), 10},
        {"ceiling -11", -11, with(&ten, [](RoundArgs& a) { a.ceiling = true; }), -10},
        {"ceiling 11", 11, with(&ten, [](RoundArgs& a) { a.ceiling = true; }), 20},
        {"half-ceiling -15", -15, with(&ten, [](RoundArgs& a) { a.half_ceiling = true; }), -10},
        {"down -17", -17, with(&five, [](RoundArgs& a) { a.down = true; }), -15},
        {"exact", 30, with(&ten, nullptr), 30},
        // Computed in 64 bits: the smallest integer is rounded like any other.
        {"min to 2", INT_MIN, with(&two, nullptr), INT_MIN},
        {"min scale", 7, with(&int_min, nullptr), 0},
        {"floor near max", INT_MAX, with(&ten, [](RoundArgs& a) { a.floor = true; }), 2147483640},
    };
    for (const Case& c : cases) {
        Cell r = round_v(int_v(c.n), c.args);
        ASSERT_TRUE(r.is(TYPE_INTEGER)) << c.what;
        EXPECT_EQ(ival(r), c.expect) << c.what;
    }
    EXPECT_EQ(raised([&] { round_v(int_v(INT_MIN), with(&ten, nullptr)); }), "math/overflow");
    EXPECT_EQ(raised([&] { round_v(int_v(INT_MAX), with(&ten, nullptr)); }), "math/overflow");
    Cell money = bare_v(TYPE_MONEY);
    EXPECT_EQ(raised([&] { round_v(int_v(1), with(&money, nullptr)); }), "script/not-related");
}

TEST_F(IntegerTest, RoundToFloatScaleGivesFloat) {
    Cell scale = float_v(2.5);
    RoundArgs args;
    args.to = &scale;
    Cell r = round_v(int_v(1234), args);
    ASSERT_TRUE(r.is(TYPE_FLOAT));
    EXPECT_EQ(fval(r), 1235.0);
}

TEST_F(IntegerTest, Compare) {
    EXPECT_TRUE(actions_compare_call(ptr(int_v(1)), ptr(float_v(1.0)), COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(ptr(int_v(1)), ptr(float_v(1.0)), COMP_STRICT_EQUAL));
    EXPECT_TRUE(actions_compare_call(ptr(int_v(97)), ptr(char_v('a')), COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(ptr(int_v(97)), ptr(char_v('a')), COMP_STRICT_EQUAL));
    EXPECT_TRUE(actions_compare_call(ptr(int_v(-1)), ptr(int_v(1)), COMP_LESSER));
    EXPECT_TRUE(actions_compare_call(ptr(int_v(2)), ptr(float_v(1.5)), COMP_GREATER));
    EXPECT_FALSE(actions_compare_call(ptr(int_v(1)), ptr(float_v(NAN)), COMP_LESSER_EQUAL));
    EXPECT_EQ(actions_compare_values(ptr(int_v(1)), ptr(string_v("1")), COMP_EQUAL), kCompareIncomparable);
    EXPECT_FALSE(actions_compare_call(ptr(int_v(1)), ptr(string_v("1")), COMP_EQUAL));
    EXPECT_EQ(raised([] { actions_compare_call(ptr(int_v(1)), ptr(string_v("1")), COMP_LESSER); }),
              "script/invalid-compare");
}

// A stand-in for the random module: draws count up from 1.
struct FakeRandom {
    static inline int32_t seeded = 0, last_n = 0;
    static inline bool last_secure = false;
    NumberServices saved = g_number_services;
    FakeRandom() {
        g_number_services.random_seed = [](int32_t s) { seeded = s; };
        g_number_services.random_int = [](bool secure, int32_t n) {
            last_secure = secure;
            last_n = n;
            return n > 0 ? 1 : -1;
        };
    }
    ~FakeRandom() { g_number_services = saved; }
};

TEST_F(IntegerTest, RandomDrawsSeedsAndKeepsZero) {
    FakeRandom fake;
    Cell v = int_v(6);
    integer_random(&v, false, true, false);
    EXPECT_EQ(ival(v), 1);
    EXPECT_EQ(FakeRandom::last_n, 6);
    EXPECT_TRUE(FakeRandom::last_secure);
    Cell zero = int_v(0);
    FakeRandom::last_n = 99;
    integer_random(&zero, false, false, false);
    EXPECT_EQ(ival(zero), 0);
    EXPECT_EQ(FakeRandom::last_n, 99);
    Cell s = int_v(1234);
    Cell* r = integer_random(&s, true, false, false);
    EXPECT_TRUE(r->is(TYPE_UNSET));
    EXPECT_EQ(FakeRandom::seeded, 1234);
}

TEST_F(IntegerTest, RandomWithoutGeneratorRaises) {
    NumberServices saved = g_number_services;
    g_number_services = NumberServices{};
    Cell v = int_v(6);
    EXPECT_EQ(raised([&] { integer_random(&v, false, false, false); }), "internal/not-done");
    g_number_services = saved;
}

// A pair! row that records what its add and negate saw, to check the
// operand exchange without the pair! module.
struct FakePairRow {
    static inline Cell seen_first{}, seen_second{};
    static inline bool negated = false;
    FakePairRow() {
        negated = false;
        TypeRow(TYPE_PAIR)
            .set<ACT_ADD>([] {
                seen_first = stack_arguments()[0];
                seen_second = stack_arguments()[1];
            })
            .set<ACT_MULTIPLY>([] { seen_first = stack_arguments()[0]; })
            .set<ACT_NEGATE>([](Cell* v) {
                negated = true;
                return v;
            })
            .commit();
    }
    ~FakePairRow() { TypeRow(TYPE_PAIR).commit(); }
};

TEST_F(IntegerTest, NumberOnTheLeftOfPairChangesPlacesOnlyWhenOrderDoesNotMatter) {
    FakePairRow row;
    Cell pair = bare_v(TYPE_PAIR);
    add(int_v(3), pair);
    EXPECT_TRUE(FakePairRow::seen_first.is(TYPE_PAIR));
    EXPECT_TRUE(FakePairRow::seen_second.is(TYPE_INTEGER));
    EXPECT_FALSE(FakePairRow::negated);
    // n - p is computed as -p + n.
    sub(int_v(3), pair);
    EXPECT_TRUE(FakePairRow::negated);
    EXPECT_TRUE(FakePairRow::seen_first.is(TYPE_PAIR));
    EXPECT_EQ(raised([&] { div(int_v(3), pair); }), "script/not-related");
    EXPECT_EQ(raised([&] { rem(int_v(3), pair); }), "script/not-related");
    // A type whose row has no such operation is an invalid operand.
    EXPECT_EQ(raised([&] { act(ACT_XOR_T, int_v(3), pair); }), "script/invalid-type");
}

TEST_F(IntegerTest, NumberOnTheLeftOfTupleOrVectorRefusesOrderedOperations) {
    EXPECT_EQ(raised([] { sub(int_v(3), bare_v(TYPE_TUPLE)); }), "script/not-related");
    EXPECT_EQ(raised([] { div(int_v(3), bare_v(TYPE_VECTOR)); }), "script/not-related");
    EXPECT_EQ(raised([] { sub(int_v(3), bare_v(TYPE_DATE)); }), "script/not-related");
    // Not registered yet: reported as an invalid operand, never a crash, and
    // the arguments keep their places.
    stack_mark_native(0);
    Cell three = int_v(3), tuple = bare_v(TYPE_TUPLE);
    stack_push(&three);
    stack_push(&tuple);
    EXPECT_EQ(raised([] { integer_add(); }), "script/invalid-type");
    EXPECT_TRUE(stack_arg(0)->is(TYPE_INTEGER));
    EXPECT_TRUE(stack_arg(1)->is(TYPE_TUPLE));
    stack_unwind();
}

}  // namespace
