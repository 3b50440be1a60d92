// char!: conversions, caret-escaped mold, comparison by code point and
// arithmetic through the integer core.
#include <cmath>

#include "number_test_support.h"

using namespace kel;
using namespace kel::numtest;

namespace {

using CharTest = NumberTest;

TEST_F(CharTest, MoldEscapes) {
    struct Case { uint32_t cp; bool all; const char* text; } cases[] = {
        {'a', false, "#\"a\""},
        {0, false, "#\"^@\""},
        {9, false, "#\"^-\""},
        {10, false, "#\"^/\""},
        {27, false, "#\"^[\""},
        {30, false, "#\"^(1E)\""},
        {31, false, "#\"^_\""},
        {'"', false, "#\"^\"\""},
        {'^', false, "#\"^^\""},
        {127, false, "#\"^~\""},
        {0x85, false, "#\"^(85)\""},
        {0x9F, false, "#\"^(9F)\""},
        {0xE9, false, "#\"\u00E9\""},
        {0xE9, true, "#\"^(E9)\""},
        {0x20AC, false, "#\"\u20AC\""},
        {0x1F600, true, "#\"^(1F600)\""},
        {0xD800, false, "#\"^(D800)\""},  // a surrogate has no UTF-8 the lexer reads
        {'a', true, "#\"a\""},
    };
    for (const Case& c : cases) EXPECT_EQ(mold_of(char_v(c.cp), c.all), c.text) << c.cp;
}

TEST_F(CharTest, FormIsTheCharacterItself) {
    EXPECT_EQ(form_of(char_v(10)), "\n");
    EXPECT_EQ(form_of(char_v(0x1F600)), "\U0001F600");
    Cell buffer;
    string_make(&buffer, 4);
    Cell c = char_v('x');
    EXPECT_EQ(char_form(&c, &buffer, nullptr, 10), 9);
}

TEST_F(CharTest, MakeAndTo) {
    struct Case { const char* what; Cell spec; uint32_t expect; } cases[] = {
        {"65", int_v(65), 'A'},
        {"65.9", float_v(65.9), 'A'},
        {"max", int_v(0x10FFFF), 0x10FFFF},
        {"char", char_v(0xE9), 0xE9},
        {"string", string_v("abc"), 'a'},
        {"wide string", string_v("\u20ACx"), 0x20AC},
        {"url", string_v("h", TYPE_URL), 'h'},
        {"euro", binary_v({0xE2, 0x82, 0xAC}), 0x20AC},
        {"ascii byte", binary_v({'z', 0xFF}), 'z'},
        {"four bytes", binary_v({0xF0, 0x9F, 0x98, 0x80}), 0x1F600},
        {"U+FFFE", binary_v({0xEF, 0xBF, 0xBE}), 0xFFFE},
    };
    for (const Case& c : cases) {
        Cell r = to(TYPE_CHAR, c.spec);
        ASSERT_TRUE(r.is(TYPE_CHAR)) << c.what;
        EXPECT_EQ(char_get(&r), c.expect) << c.what;
        EXPECT_EQ(char_get(ptr(make(TYPE_CHAR, c.spec))), c.expect) << c.what;
    }
}

TEST_F(CharTest, MakeAndToRefusals) {
    struct Case { const char* what; Cell spec; const char* error; } cases[] = {
        {"-1", int_v(-1), "script/out-of-range"},
        {"1114112", int_v(0x110000), "script/out-of-range"},
        {"1e10", float_v(1e10), "script/out-of-range"},
        {"NaN", float_v(NAN), "script/out-of-range"},
        {"-0.5e10", float_v(-5e9), "script/out-of-range"},
        {"empty string", string_v(""), "script/bad-to-arg"},
        {"empty binary", binary_v({}), "script/bad-to-arg"},
        {"block", block_v({char_v('a')}), "script/bad-to-arg"},
        {"continuation byte", binary_v({0x80}), "access/invalid-utf8"},
        {"truncated", binary_v({0xE2, 0x82}), "access/invalid-utf8"},
        {"bad continuation", binary_v({0xE2, 0x41, 0xAC}), "access/invalid-utf8"},
        {"overlong", binary_v({0xC0, 0x80}), "access/invalid-utf8"},
        {"surrogate", binary_v({0xED, 0xA0, 0x80}), "access/invalid-utf8"},
        {"above U+10FFFF", binary_v({0xF4, 0x90, 0x80, 0x80}), "access/invalid-utf8"},
        {"F8 lead", binary_v({0xF8, 0x90, 0x80, 0x80}), "access/invalid-utf8"},
    };
    for (const Case& c : cases) EXPECT_EQ(raised([&] { to(TYPE_CHAR, c.spec); }), c.error) << c.what;
}

TEST_F(CharTest, InvalidUtf8CarriesTheBytesRead) {
    Cell spec = binary_v({0xE2, 0x82});
    try {
        to(TYPE_CHAR, spec);
        FAIL() << "no error";
    } catch (const KelThrow& t) {
        ASSERT_TRUE(t.args[0].is(TYPE_BINARY));
        TextRun run = text_run_of(&t.args[0]);
        ASSERT_EQ(run.count, 2u);
        EXPECT_EQ(run.chars[0], 0xE2);
        EXPECT_EQ(run.chars[1], 0x82);
    }
}

TEST_F(CharTest, Arithmetic) {
    struct Case { int slot; Cell b; uint32_t expect; } cases[] = {
        {ACT_ADD, int_v(1), 'b'},
        {ACT_ADD, char_v(1), 'b'},
        {ACT_ADD, float_v(1.9), 'b'},
        {ACT_SUBTRACT, int_v(97), 0},
        {ACT_DIVIDE, int_v(2), 48},
        {ACT_MULTIPLY, int_v(2), 194},
        {ACT_REMAINDER, int_v(10), 7},
        {ACT_AND_T, int_v(0x5F), 'A'},
        {ACT_OR_T, int_v(0x20), 'a'},
        {ACT_XOR_T, int_v(0x20), 'A'},
    };
    for (const Case& c : cases) {
        Cell r = act(c.slot, char_v('a'), c.b);
        ASSERT_TRUE(r.is(TYPE_CHAR)) << action_name(c.slot);
        EXPECT_EQ(char_get(&r), c.expect) << action_name(c.slot);
    }
    EXPECT_EQ(char_get(ptr(div(char_v('z'), int_v(2)))), uint32_t('='));
    EXPECT_EQ(char_get(ptr(add(char_v(0x10FFFE), int_v(1)))), 0x10FFFFu);
}

TEST_F(CharTest, ArithmeticErrors) {
    struct Case { const char* what; int slot; Cell a, b; const char* error; } cases[] = {
        {"below zero", ACT_SUBTRACT, char_v('a'), int_v(98), "math/overflow"},
        {"above U+10FFFF", ACT_ADD, char_v(0x10FFFF), int_v(1), "math/overflow"},
        {"int32 overflow", ACT_MULTIPLY, char_v('a'), int_v(2147483647), "math/overflow"},
        {"huge float", ACT_ADD, char_v('a'), float_v(1e10), "math/overflow"},
        {"NaN", ACT_AND_T, char_v('a'), float_v(NAN), "math/overflow"},
        {"divide by zero", ACT_DIVIDE, char_v('a'), int_v(0), "math/zero-divide"},
        {"remainder by zero", ACT_REMAINDER, char_v('a'), char_v(0), "math/zero-divide"},
        {"string", ACT_ADD, char_v('a'), string_v("a"), "script/invalid-type"},
        {"percent", ACT_ADD, char_v('a'), percent_v(0.5), "script/invalid-type"},
        {"pair", ACT_ADD, char_v('a'), bare_v(TYPE_PAIR), "script/invalid-type"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(raised([&] { act(c.slot, c.a, c.b); }), c.error) << c.what;
    }
}

TEST_F(CharTest, ErrorLeavesArgumentsAsTheyWere) {
    stack_mark_native(0);
    Cell a = char_v('a'), b = int_v(98);
    stack_push(&a);
    stack_push(&b);
    EXPECT_EQ(raised([] { char_subtract(); }), "math/overflow");
    EXPECT_TRUE(stack_arg(0)->is(TYPE_CHAR));
    EXPECT_EQ(char_get(stack_arg(0)), uint32_t('a'));
    stack_unwind();
}

TEST_F(CharTest, Compare) {
    EXPECT_TRUE(actions_compare_call(ptr(char_v('a')), ptr(int_v(97)), COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(ptr(char_v('a')), ptr(int_v(97)), COMP_STRICT_EQUAL));
    EXPECT_FALSE(actions_compare_call(ptr(char_v('a')), ptr(char_v('A')), COMP_EQUAL));
    EXPECT_TRUE(actions_compare_call(ptr(char_v('a')), ptr(char_v('a')), COMP_STRICT_EQUAL));
    EXPECT_TRUE(actions_compare_call(ptr(char_v('a')), ptr(char_v('b')), COMP_LESSER));
    EXPECT_TRUE(actions_compare_call(ptr(char_v(0x20AC)), ptr(int_v(255)), COMP_GREATER));
    EXPECT_FALSE(actions_compare_call(ptr(char_v('a')), ptr(float_v(97.0)), COMP_EQUAL));
    EXPECT_EQ(raised([] { actions_compare_call(ptr(char_v('a')), ptr(string_v("a")), COMP_LESSER); }),
              "script/invalid-compare");
}

TEST_F(CharTest, InheritedIntegerActionsKeepTheType) {
    Cell r = act(ACT_ABSOLUTE, char_v('a'), int_v(0));
    EXPECT_TRUE(r.is(TYPE_CHAR));
    EXPECT_EQ(char_get(&r), uint32_t('a'));
    auto even = action_fn<ACT_EVEN_Q>(TYPE_CHAR);
    EXPECT_TRUE(even(ptr(char_v('b'))));
    EXPECT_FALSE(action_fn<ACT_ODD_Q>(TYPE_CHAR)(ptr(char_v('b'))));
    // Slots char! does not support stay empty.
    EXPECT_EQ(action_entry(TYPE_CHAR, ACT_NEGATE), nullptr);
    EXPECT_EQ(action_entry(TYPE_CHAR, ACT_ROUND), nullptr);
    EXPECT_EQ(action_entry(TYPE_CHAR, ACT_POWER), nullptr);
    EXPECT_EQ(action_entry(TYPE_CHAR, ACT_COMPLEMENT), nullptr);

    NumberServices saved = g_number_services;
    g_number_services.random_int = [](bool, int32_t n) { return n; };
    Cell c = char_v('z');
    Cell* drawn = action_fn<ACT_RANDOM>(TYPE_CHAR)(&c, false, false, false);
    EXPECT_TRUE(drawn->is(TYPE_CHAR));
    EXPECT_EQ(char_get(drawn), uint32_t('z'));
    g_number_services = saved;
}

TEST_F(CharTest, PushAndAppend) {
    stack_mark_native(0);
    Cell* pushed = char_push(0x263A);
    EXPECT_TRUE(pushed->is(TYPE_CHAR));
    EXPECT_EQ(char_get(pushed), 0x263Au);
    stack_unwind();
    Cell block = block_v({});
    Cell* appended = char_append_to_block(&block, 'q');
    EXPECT_TRUE(appended->is(TYPE_CHAR));
    EXPECT_EQ(char_get(appended), uint32_t('q'));
}

}  // namespace
