// float!: text, tolerant and exact comparison, IEEE arithmetic and result
// types, rounding, parity, conversions and random.
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "number_test_support.h"
#include "runtime/float_text.h"

using namespace kel;
using namespace kel::numtest;

namespace {

using FloatTest = NumberTest;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

// percent! and time! inherit float!'s math actions; their own modules
// register them, so here the float! row stands for theirs.
Cell act(int slot, const Cell& a, const Cell& b) {
    TypeId row = a.is(TYPE_PERCENT) || a.is(TYPE_TIME) ? TYPE_FLOAT : a.type();
    auto fn = reinterpret_cast<FrameActionFn>(action_entry(row, slot));
    EXPECT_NE(fn, nullptr);
    return call_frame(fn, a, b);
}
Cell add(const Cell& a, const Cell& b) { return act(ACT_ADD, a, b); }
Cell to_percent(Cell spec) {
    Cell proto = type_v(TYPE_PERCENT);
    return *float_make(&proto, &spec, TYPE_PERCENT);
}

struct OptionsGuard {
    FloatOptions saved = float_options;
    ~OptionsGuard() { float_options = saved; }
};

TEST_F(FloatTest, Mold) {
    struct Case { double v; const char* text; } cases[] = {
        {0.1, "0.1"},
        {1.0 / 3, "0.3333333333333333"},
        {100.0, "100.0"},
        {1e16, "10000000000000000.0"},
        {1e17, "1.0e17"},
        {1e-7, "0.0000001"},
        {1e-8, "1.0e-8"},
        {-2.5e300, "-2.5e300"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {kInf, "1.#INF"},
        {-kInf, "-1.#INF"},
        {kNaN, "1.#NaN"},
        {0.1 + 0.2, "0.30000000000000004"},
    };
    OptionsGuard guard;
    float_options.pretty = true;  // mold ignores the options
    for (const Case& c : cases) EXPECT_EQ(mold_of(float_v(c.v)), c.text) << c.text;
}

TEST_F(FloatTest, FormFollowsThePrettyOption) {
    OptionsGuard guard;
    struct Case { double v; bool pretty; const char* text; } cases[] = {
        {434.99999999999994, true, "435.0"},
        {434.99999999999994, false, "434.9999999999999"},
        {1e-20, true, "0.0"},
        {1e-17, false, "1.0e-17"},
        {0.1 + 0.2, true, "0.3"},
        {1e20, true, "1.0e20"},
        {42.0, true, "42.0"},
        {-kInf, true, "-1.#INF"},
    };
    for (const Case& c : cases) {
        float_options.pretty = c.pretty;
        EXPECT_EQ(form_of(float_v(c.v)), c.text) << c.text;
    }
    Cell buffer;
    string_make(&buffer, 4);
    Cell v = float_v(1.5);
    EXPECT_EQ(float_mold(&v, &buffer, false, false, false, nullptr, 10, 0), 7);
}

TEST_F(FloatTest, EqualityIsTolerantStrictIsExactSameIsBitwise) {
    struct Case { const char* what; Cell a, b; int op; bool expect; } cases[] = {
        {"0.1 + 0.2 = 0.3", float_v(0.1 + 0.2), float_v(0.3), COMP_EQUAL, true},
        {"0.1 + 0.2 == 0.3", float_v(0.1 + 0.2), float_v(0.3), COMP_STRICT_EQUAL, false},
        {"1.0 = 1", float_v(1.0), int_v(1), COMP_EQUAL, true},
        {"1.0 == 1", float_v(1.0), int_v(1), COMP_STRICT_EQUAL, false},
        {"1.0 == 100%", float_v(1.0), percent_v(1.0), COMP_STRICT_EQUAL, false},
        {"0.0 == -0.0", float_v(0.0), float_v(-0.0), COMP_STRICT_EQUAL, true},
        {"same? 0.0 -0.0", float_v(0.0), float_v(-0.0), COMP_SAME, false},
        {"same? 1.5 1.5", float_v(1.5), float_v(1.5), COMP_SAME, true},
        {"same? NaN NaN", float_v(kNaN), float_v(kNaN), COMP_SAME, true},
        {"1.0 = 1.0 + 10 ulp", float_v(1.0), float_v(1.0 + 10 * 2.220446049250313e-16), COMP_EQUAL, true},
        {"1e10 = next", float_v(1e10), float_v(std::nextafter(1e10, 2e10)), COMP_EQUAL, true},
        {"1e10 = 1e10 + 1", float_v(1e10), float_v(1e10 + 1), COMP_EQUAL, false},
        {"tiny = -tiny", float_v(1e-300), float_v(-1e-300), COMP_EQUAL, true},
        {"max = inf", float_v(std::numeric_limits<double>::max()), float_v(kInf), COMP_EQUAL, false},
        {"inf = inf", float_v(kInf), float_v(kInf), COMP_EQUAL, true},
        {"1.5 < 2", float_v(1.5), int_v(2), COMP_LESSER, true},
        {"1.5 >= 1.5", float_v(1.5), float_v(1.5), COMP_GREATER_EQUAL, true},
        {"1.0 != 2.0", float_v(1.0), float_v(2.0), COMP_NOT_EQUAL, true},
    };
    for (const Case& c : cases) EXPECT_EQ(actions_compare_call(&c.a, &c.b, c.op), c.expect) << c.what;
}

TEST_F(FloatTest, NaNOrdersFalseFindsOnlyNaNAndSortsLast) {
    Cell nan = float_v(kNaN), one = float_v(1.0);
    for (int op : {COMP_EQUAL, COMP_STRICT_EQUAL, COMP_LESSER, COMP_LESSER_EQUAL, COMP_GREATER,
                   COMP_GREATER_EQUAL}) {
        EXPECT_FALSE(actions_compare_call(&nan, &one, op)) << op;
        EXPECT_FALSE(actions_compare_call(&one, &nan, op)) << op;
        EXPECT_FALSE(actions_compare_call(&nan, &nan, op)) << op;
    }
    EXPECT_TRUE(actions_compare_call(&nan, &one, COMP_NOT_EQUAL));
    EXPECT_FALSE(actions_compare_call(&nan, &one, COMP_FIND));
    EXPECT_FALSE(actions_compare_call(&one, &nan, COMP_FIND));
    EXPECT_TRUE(actions_compare_call(&nan, &nan, COMP_FIND));
    EXPECT_GT(actions_compare_values(&nan, &one, COMP_SORT), 0);
    EXPECT_LT(actions_compare_values(&one, &nan, COMP_SORT), 0);
    EXPECT_EQ(actions_compare_values(&nan, &nan, COMP_SORT), 0);
    EXPECT_EQ(actions_compare_values(&one, ptr(string_v("1")), COMP_EQUAL), kCompareIncomparable);
}

TEST_F(FloatTest, AlmostEqualSingle) {
    constexpr float kMax = std::numeric_limits<float>::max();
    EXPECT_TRUE(float_almost_equal_q32(0.0f, -0.0f));
    EXPECT_TRUE(float_almost_equal_q32(1.0f, std::nextafter(1.0f, 2.0f)));
    EXPECT_FALSE(float_almost_equal_q32(1.0f, 1.001f));
    EXPECT_FALSE(float_almost_equal_q32(std::nanf(""), std::nanf("")));
    EXPECT_TRUE(float_almost_equal_q32(kMax, std::numeric_limits<float>::infinity()));
    EXPECT_FALSE(float_almost_equal_q32(kMax, -std::numeric_limits<float>::infinity()));
}

TEST_F(FloatTest, ArithmeticResultsAndTypes) {
    struct Case { const char* what; int slot; Cell a, b; TypeId type; double expect; } cases[] = {
        {"1.0 / 0", ACT_DIVIDE, float_v(1.0), int_v(0), TYPE_FLOAT, kInf},
        {"-1.0 / 0", ACT_DIVIDE, float_v(-1.0), int_v(0), TYPE_FLOAT, -kInf},
        {"2 * 50%", ACT_MULTIPLY, int_v(2), percent_v(0.5), TYPE_FLOAT, 1.0},
        {"50% * 2", ACT_MULTIPLY, percent_v(0.5), int_v(2), TYPE_PERCENT, 1.0},
        {"1.5 * 50%", ACT_MULTIPLY, float_v(1.5), percent_v(0.5), TYPE_FLOAT, 0.75},
        {"10.0 - 1:00:00", ACT_SUBTRACT, float_v(10.0), float_v(3600.0, TYPE_TIME), TYPE_TIME, -3590.0},
        {"time + 1", ACT_ADD, float_v(60.0, TYPE_TIME), int_v(1), TYPE_TIME, 61.0},
        {"1.5 + #\"a\"", ACT_ADD, float_v(1.5), char_v('a'), TYPE_FLOAT, 98.5},
        {"7.5 // 2", ACT_REMAINDER, float_v(7.5), int_v(2), TYPE_FLOAT, 1.5},
        {"-7.5 // 2", ACT_REMAINDER, float_v(-7.5), int_v(2), TYPE_FLOAT, -1.5},
        {"5.0 // inf", ACT_REMAINDER, float_v(5.0), float_v(kInf), TYPE_FLOAT, 5.0},
        {"0.1 + 0.2", ACT_ADD, float_v(0.1), float_v(0.2), TYPE_FLOAT, 0.1 + 0.2},
    };
    for (const Case& c : cases) {
        Cell r = act(c.slot, c.a, c.b);
        EXPECT_EQ(r.type(), c.type) << c.what;
        EXPECT_EQ(fval(r), c.expect) << c.what;
    }
    for (auto [a, b, slot] : {std::tuple{0.0, 0.0, ACT_DIVIDE}, std::tuple{1.0, 0.0, ACT_REMAINDER},
                              std::tuple{kInf, 2.0, ACT_REMAINDER}, std::tuple{1.0, kNaN, ACT_REMAINDER}})
        EXPECT_TRUE(std::isnan(fval(act(slot, float_v(a), float_v(b))))) << a << " " << b;
}

TEST_F(FloatTest, ArithmeticRefusals) {
    EXPECT_EQ(raised([] { add(float_v(1.0), string_v("1")); }), "script/invalid-type");
    EXPECT_EQ(raised([] { add(percent_v(1.0), char_v('a')); }), "script/invalid-type");
    EXPECT_EQ(raised([] { add(float_v(1.0, TYPE_TIME), char_v('a')); }), "script/invalid-type");
    EXPECT_EQ(raised([] { sub(float_v(1.0), bare_v(TYPE_PAIR)); }), "script/not-related");
    EXPECT_EQ(raised([] { div(float_v(1.0), bare_v(TYPE_POINT2D)); }), "script/not-related");
    EXPECT_EQ(raised([] { add(float_v(1.0, TYPE_TIME), bare_v(TYPE_PAIR)); }), "script/invalid-type");
    EXPECT_EQ(raised([] { float_do_op(1.0, 2.0, OP_XOR); }), "script/cannot-use");
}

TEST_F(FloatTest, NegateAbsolutePower) {
    Cell z = float_v(0.0);
    EXPECT_EQ(bits(fval(*float_negate(&z))), bits(0.0));
    Cell mz = float_v(-0.0);
    EXPECT_EQ(bits(fval(*float_negate(&mz))), bits(0.0));
    Cell p = percent_v(0.25);
    Cell* negated = float_negate(&p);
    EXPECT_TRUE(negated->is(TYPE_PERCENT));
    EXPECT_EQ(fval(*negated), -0.25);
    EXPECT_EQ(bits(fval(act(ACT_ABSOLUTE, float_v(-0.0), int_v(0)))), bits(0.0));
    EXPECT_EQ(fval(act(ACT_ABSOLUTE, float_v(-kInf), int_v(0))), kInf);

    Cell r = act(ACT_POWER, float_v(2.0), int_v(10));
    EXPECT_TRUE(r.is(TYPE_FLOAT));
    EXPECT_EQ(fval(r), 1024.0);
    EXPECT_EQ(fval(act(ACT_POWER, float_v(2.0), float_v(0.5))), std::sqrt(2.0));
    EXPECT_TRUE(act(ACT_POWER, percent_v(0.5), int_v(2)).is(TYPE_FLOAT));
    EXPECT_EQ(raised([] { act(ACT_POWER, float_v(2.0), percent_v(0.5)); }), "script/expect-arg");
}

TEST_F(FloatTest, Round) {
    auto flags = [](void (*set)(RoundArgs&)) {
        RoundArgs a;
        set(a);
        return a;
    };
    struct Case { const char* what; double v; RoundArgs args; double expect; } cases[] = {
        {"2.5", 2.5, {}, 3.0},
        {"-2.5", -2.5, {}, -3.0},
        {"2.4", 2.4, {}, 2.0},
        {"even 2.5", 2.5, flags([](RoundArgs& a) { a.even = true; }), 2.0},
        {"even 3.5", 3.5, flags([](RoundArgs& a) { a.even = true; }), 4.0},
        {"half-down 2.5", 2.5, flags([](RoundArgs& a) { a.half_down = true; }), 2.0},
        {"half-ceiling -2.5", -2.5, flags([](RoundArgs& a) { a.half_ceiling = true; }), -2.0},
        {"half-ceiling 2.5", 2.5, flags([](RoundArgs& a) { a.half_ceiling = true; }), 3.0},
        {"down -2.7", -2.7, flags([](RoundArgs& a) { a.down = true; }), -2.0},
        {"floor -2.1", -2.1, flags([](RoundArgs& a) { a.floor = true; }), -3.0},
        {"ceiling 2.1", 2.1, flags([](RoundArgs& a) { a.ceiling = true; }), 3.0},
        {"1e300 unchanged", 1e300, {}, 1e300},
        {"inf unchanged", kInf, {}, kInf},
    };
    for (const Case& c : cases) {
        Cell r = round_v(float_v(c.v), c.args);
        EXPECT_TRUE(r.is(TYPE_FLOAT)) << c.what;
        EXPECT_EQ(fval(r), c.expect) << c.what;
    }
}

TEST_F(FloatTest, RoundToScale) {
    auto to_scale = [](const Cell& scale) {
        RoundArgs a;
        a.to = &scale;
        return a;
    };
    Cell hundredth = float_v(0.01), hundred = int_v(100), quarter = float_v(0.25), zero = float_v(0.0);
    Cell pct = percent_v(0.1), tiny = float_v(1e-310), big = float_v(1e308), one = int_v(1);

    Cell r = round_v(float_v(3.14159), to_scale(hundredth));
    EXPECT_TRUE(r.is(TYPE_FLOAT));
    EXPECT_EQ(fval(r), 3.14);
    r = round_v(float_v(1234.5), to_scale(hundred));
    ASSERT_TRUE(r.is(TYPE_INTEGER));
    EXPECT_EQ(ival(r), 1200);
    EXPECT_EQ(fval(round_v(float_v(1.3), to_scale(quarter))), 1.25);
    r = round_v(float_v(1.3), to_scale(pct));
    EXPECT_TRUE(r.is(TYPE_PERCENT));
    EXPECT_EQ(fval(r), 1.3);
    EXPECT_EQ(fval(round_v(float_v(7.7), to_scale(zero))), 7.7);
    // The reciprocal of a subnormal scale overflows unless rescaled first.
    r = round_v(float_v(3.4e-310), to_scale(tiny));
    EXPECT_NEAR(fval(r), 3e-310, 1e-322);
    // percent! rounds to hundredths of its own display by default.
    Cell pv = percent_v(0.12345);
    r = *float_round(&pv, RoundArgs{});
    EXPECT_TRUE(r.is(TYPE_PERCENT));
    EXPECT_EQ(fval(r), 0.12);

    EXPECT_EQ(raised([&] { round_v(float_v(1.7e308), to_scale(big)); }), "math/overflow");
    // An integer! scale asks for an integer! result; one that does not fit is refused.
    EXPECT_EQ(raised([&] { round_v(float_v(1e10), to_scale(one)); }), "script/type-limit");
    EXPECT_EQ(raised([&] { round_v(float_v(kNaN), to_scale(one)); }), "script/type-limit");
    Cell money = bare_v(TYPE_MONEY);
    EXPECT_EQ(raised([&] { round_v(float_v(1.0), to_scale(money)); }), "script/not-related");
}

TEST_F(FloatTest, EvenOddUseTheTruncatedValueAtAnyMagnitude) {
    struct Case { double v; bool odd; } cases[] = {
        {2.9, false},         {-3.5, true},         {0.0, false},        {1.0, true},
        {2147483649.0, true}, {3000000000.0, false}, {-4294967297.0, true}, {9007199254740993.0, false},
        {1e300, false},       {kInf, false},         {kNaN, false},
    };
    for (const Case& c : cases) {
        Cell v = float_v(c.v);
        EXPECT_EQ(float_odd_q(&v), c.odd) << c.v;
        EXPECT_EQ(float_even_q(&v), !c.odd) << c.v;
    }
}

TEST_F(FloatTest, MakeAndTo) {
    struct Case { const char* what; Cell spec; double expect; } cases[] = {
        {"integer", int_v(-7), -7.0},
        {"char", char_v('A'), 65.0},
        {"percent", percent_v(0.5), 0.5},
        {"time", float_v(90.5, TYPE_TIME), 90.5},
        {"1,5", string_v("1,5"), 1.5},
        {"1'000.5", string_v("1'000.5"), 1000.5},
        {"-1.5e-3", string_v("-1.5e-3"), -1.5e-3},
        {"42", string_v("42"), 42.0},
        {".5", string_v(".5"), 0.5},
        {"2.", string_v("2."), 2.0},
        {"1e400", string_v("1e400"), kInf},
        {"[15 -1]", block_v({int_v(15), int_v(-1)}), 1.5},
        {"[3 -1]", block_v({int_v(3), int_v(-1)}), 0.3},
        {"[1.5 2]", block_v({float_v(1.5), int_v(2)}), 150.0},
        {"[2 2.9]", block_v({int_v(2), float_v(2.9)}), 200.0},
        {"[1 400]", block_v({int_v(1), int_v(400)}), kInf},
        {"#{3FF0000000000000}", binary_v({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), 1.0},
        {"#{01}", binary_v({0x01}), std::numeric_limits<double>::denorm_min()},
    };
    for (const Case& c : cases) {
        Cell r = to(TYPE_FLOAT, c.spec);
        ASSERT_TRUE(r.is(TYPE_FLOAT)) << c.what;
        EXPECT_EQ(fval(r), c.expect) << c.what;
    }
    Cell neg = to(TYPE_FLOAT, string_v("-0.0"));
    EXPECT_EQ(bits(fval(neg)), bits(-0.0));
}

TEST_F(FloatTest, MakeAndToRefusals) {
    std::string long_text(400, '1');
    struct Case { const char* what; Cell spec; } cases[] = {
        {"empty", string_v("")},
        {"letters", string_v("abc")},
        {"dangling exponent", string_v("1e")},
        {"two signs", string_v("+-1")},
        {"lone point", string_v(".")},
        {"two points", string_v("1.2.3")},
        {"infinity text", string_v("1.#INF")},
        {"space", string_v("1 ")},
        {"non-ASCII digit", string_v("1\u0662")},
        {"400 digits", string_v(long_text)},
        {"[1 2 3]", block_v({int_v(1), int_v(2), int_v(3)})},
        {"[1 \"2\"]", block_v({int_v(1), string_v("2")})},
        {"[1 1e10]", block_v({int_v(1), float_v(1e10)})},
        {"logic", logic_v(true)},
    };
    for (const Case& c : cases) EXPECT_EQ(raised([&] { to(TYPE_FLOAT, c.spec); }), "script/bad-to-arg") << c.what;
}

TEST_F(FloatTest, PercentTargetReadsTextAsALoadedNumber) {
    struct Case { const char* text; double expect; } cases[] = {
        {"50%", 0.5}, {"12.5%", 0.125}, {"0.5", 0.5}, {"2", 2.0},
    };
    for (const Case& c : cases) {
        Cell r = to_percent(string_v(c.text));
        ASSERT_TRUE(r.is(TYPE_PERCENT)) << c.text;
        EXPECT_EQ(fval(r), c.expect) << c.text;
    }
    EXPECT_EQ(raised([] { to_percent(string_v("%")); }), "script/bad-to-arg");
    Cell r = to_percent(float_v(0.25));
    EXPECT_TRUE(r.is(TYPE_PERCENT));
}

TEST_F(FloatTest, RandomScalesDrawsAndSeedsFromBothHalves) {
    NumberServices saved = g_number_services;
    static int32_t seeded;
    g_number_services.random_seed = [](int32_t s) { seeded = s; };
    g_number_services.random_next = [] { return int32_t{2147483647}; };
    g_number_services.random_secure = [] { return int32_t{0}; };
    Cell v = float_v(10.0);
    float_random(&v, false, false, false);
    EXPECT_EQ(fval(v), 10.0);
    v = float_v(10.0);
    float_random(&v, false, true, false);
    EXPECT_EQ(fval(v), 0.0);
    Cell s = float_v(1.5);
    uint32_t expect_seed = s.data2 ^ s.data3;
    EXPECT_TRUE(float_random(&s, true, false, false)->is(TYPE_UNSET));
    EXPECT_EQ(static_cast<uint32_t>(seeded), expect_seed);
    g_number_services = saved;
}

TEST_F(FloatTest, CellHelpers) {
    stack_mark_native(0);
    Cell* pushed = float_push64(2.5);
    EXPECT_TRUE(pushed->is(TYPE_FLOAT));
    EXPECT_EQ(fval(*pushed), 2.5);
    uint64_t b = bits(-1.25);
    Cell* halves = float_push(static_cast<uint32_t>(b), static_cast<uint32_t>(b >> 32));
    EXPECT_EQ(fval(*halves), -1.25);
    float_set_result(7.0);
    EXPECT_EQ(fval(*stack_arguments()), 7.0);
    stack_unwind();
    Cell block = block_v({});
    EXPECT_EQ(fval(*float_append_cell(&block, 0.5)), 0.5);
}

}  // namespace
