// The checked double -> int32 conversion and the number text readers.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/error.h"
#include "runtime/number_convert.h"

using namespace kel;

namespace {

TEST(NumberConvert, FloatToInt32RefusesWhatDoesNotFit) {
    struct Case { double d; bool fits; int32_t expect; } cases[] = {
        {2147483647.0, true, INT_MAX},
        {-2147483648.0, true, INT_MIN},
        {-2147483648.9, false, 0},
        {2147483647.5, false, 0},
        {2147483648.0, false, 0},
        {-2147483649.0, false, 0},
        {2.99, true, 2},
        {-2.99, true, -2},
        {-0.0, true, 0},
        {std::numeric_limits<double>::infinity(), false, 0},
        {-std::numeric_limits<double>::infinity(), false, 0},
        {std::numeric_limits<double>::quiet_NaN(), false, 0},
        {1e300, false, 0},
    };
    for (const Case& c : cases) {
        int32_t out = 12345;
        EXPECT_EQ(float_to_int32(c.d, out), c.fits) << c.d;
        EXPECT_EQ(out, c.fits ? c.expect : 12345) << c.d;
    }
}

TEST(NumberConvert, FloatToInt32LimitRaisesTypeLimit) {
    EXPECT_EQ(float_to_int32_limit(-7.9, TYPE_INTEGER), -7);
    try {
        float_to_int32_limit(std::nan(""), TYPE_INTEGER);
        FAIL() << "no error";
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.category, ErrCat::Script);
        EXPECT_EQ(t.id, "type-limit");
        EXPECT_TRUE(t.args[0].is(TYPE_DATATYPE));
        EXPECT_EQ(t.args[0].data1, uint32_t(TYPE_INTEGER));
    }
}

int32_t read_int(const std::u32string& text, NumberTextStatus& status) {
    return number_text_to_integer(reinterpret_cast<const uint8_t*>(text.data()), 4,
                                  static_cast<uint32_t>(text.size()), status);
}

TEST(NumberConvert, IntegerTextInAnyUnitWidth) {
    struct Case { std::u32string text; NumberTextStatus status; int32_t expect; } cases[] = {
        {U"0", NUMBER_TEXT_OK, 0},
        {U"-0", NUMBER_TEXT_OK, 0},
        {U"1'000'000", NUMBER_TEXT_OK, 1000000},
        {U"'1'", NUMBER_TEXT_OK, 1},
        {U"+2147483647", NUMBER_TEXT_OK, INT_MAX},
        {U"-2147483648", NUMBER_TEXT_OK, INT_MIN},
        {U"2147483648", NUMBER_TEXT_OVERFLOW, 0},
        {U"-2147483649", NUMBER_TEXT_OVERFLOW, 0},
        {U"99999999999999999999999", NUMBER_TEXT_OVERFLOW, 0},
        {U"", NUMBER_TEXT_INVALID, 0},
        {U"+", NUMBER_TEXT_INVALID, 0},
        {U"'", NUMBER_TEXT_INVALID, 0},
        {U"1-", NUMBER_TEXT_INVALID, 0},
        {U"--1", NUMBER_TEXT_INVALID, 0},
        {U"1.0", NUMBER_TEXT_INVALID, 0},
        // Code points whose low 7 bits are ASCII digits are not digits.
        {std::u32string(1, char32_t(0x80 + '5')), NUMBER_TEXT_INVALID, 0},
        {std::u32string(1, char32_t(0x100 + '5')), NUMBER_TEXT_INVALID, 0},
    };
    for (const Case& c : cases) {
        NumberTextStatus status;
        int32_t n = read_int(c.text, status);
        EXPECT_EQ(status, c.status);
        if (status == NUMBER_TEXT_OK) {
            EXPECT_EQ(n, c.expect);
        }
    }
    // Two-byte units.
    const uint16_t wide[] = {'-', '1', '2'};
    NumberTextStatus status;
    EXPECT_EQ(number_text_to_integer(reinterpret_cast<const uint8_t*>(wide), 2, 3, status), -12);
    EXPECT_EQ(status, NUMBER_TEXT_OK);
}

TEST(NumberConvert, FloatSyntax) {
    struct Case { const char* text; bool ok; } cases[] = {
        {"1", true},      {"-1.5", true},   {"1.", true},     {".5", true},   {"1e5", true},
        {"1.5E-3", true}, {"1'000.5", true}, {"1.000'5", true}, {"1''0", false}, {"1e", false},
        {"1e+", false},   {"e5", false},    {"1.2.3", false}, {"1e5.0", false}, {"", false},
        {"-", false},     {"1x", false},    {"'1", false},    {"1'", true},
    };
    for (const Case& c : cases) EXPECT_EQ(number_float_syntax_q(c.text, std::strlen(c.text)), c.ok) << c.text;
    std::string longest(kFloatTextMaxChars, '1'), too_long(kFloatTextMaxChars + 1, '1');
    EXPECT_TRUE(number_float_syntax_q(longest.data(), longest.size()));
    EXPECT_FALSE(number_float_syntax_q(too_long.data(), too_long.size()));
}

TEST(NumberConvert, FloatTextAdjustsExponentAndRefusesNonAscii) {
    const char* text = "12.5";
    NumberTextStatus status;
    EXPECT_EQ(number_text_to_float(reinterpret_cast<const uint8_t*>(text), 1, 4, -2, status), 0.125);
    EXPECT_EQ(status, NUMBER_TEXT_OK);
    const uint16_t wide[] = {'1', ',', '5'};
    EXPECT_EQ(number_text_to_float(reinterpret_cast<const uint8_t*>(wide), 2, 3, 0, status), 1.5);
    EXPECT_EQ(status, NUMBER_TEXT_OK);
    const uint16_t odd[] = {'1', uint16_t(0x100 + '5')};
    number_text_to_float(reinterpret_cast<const uint8_t*>(odd), 2, 2, 0, status);
    EXPECT_EQ(status, NUMBER_TEXT_INVALID);
}

TEST(NumberConvert, FloatTruncatedParity) {
    EXPECT_TRUE(float_trunc_odd_q(-1.5));
    EXPECT_TRUE(float_trunc_odd_q(4294967295.0));
    EXPECT_FALSE(float_trunc_odd_q(4294967296.5));
    EXPECT_FALSE(float_trunc_odd_q(-std::numeric_limits<double>::infinity()));
}

}  // namespace
