// Float text conversion: layout, general formatting, reading, angles.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "runtime/float_text.h"

using namespace kel;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

std::string mold(double v) {
    std::string s;
    float_mold_append(s, v);
    return s;
}

std::string form_digits(double v, int ndigits, bool point_zero) {
    char buf[kFloatFormDigitsMax];
    return std::string(buf, float_form_digits_to(buf, v, ndigits, point_zero));
}

std::string form_number(double v, int kind, bool pretty) {
    char buf[kFloatFormNumberMax];
    return std::string(buf, float_form_number_to(buf, v, kind, pretty));
}

double read(const std::string& s, int adjust = 0, size_t* left = nullptr) {
    return float_strtod(s.data(), s.data() + s.size(), adjust, left);
}

// Draws doubles from every bit pattern, NaN and infinities excluded.
struct FiniteDoubles {
    std::mt19937_64 gen;
    explicit FiniteDoubles(uint64_t seed) : gen(seed) {}
    double next() {
        for (;;) {
            double v = std::bit_cast<double>(gen());
            if (std::isfinite(v)) return v;
        }
    }
};

// Restores the float options a test changed.
struct OptionsGuard {
    FloatOptions saved = float_options;
    ~OptionsGuard() { float_options = saved; }
};

TEST(FloatMold, Layout) {
    struct Case { double value; const char* text; } cases[] = {
        {0.1, "0.1"},
        {1.0 / 3, "0.3333333333333333"},
        {100.0, "100.0"},
        {1.0, "1.0"},
        {123.456, "123.456"},
        {1e16, "10000000000000000.0"},
        {12345678901234568.0, "12345678901234568.0"},
        {1e17, "1.0e17"},
        {123456789012345680.0, "1.2345678901234568e17"},
        {1e-7, "0.0000001"},
        {1.5e-7, "0.00000015"},
        {0.000001234, "0.000001234"},
        {1e-8, "1.0e-8"},
        {1.5e-8, "1.5e-8"},
        {-2.5e300, "-2.5e300"},
        {0.30000000000000004, "0.30000000000000004"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        {std::numeric_limits<double>::denorm_min(), "5.0e-324"},
        {-std::numeric_limits<double>::denorm_min(), "-5.0e-324"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {kInf, "1.#INF"},
        {-kInf, "-1.#INF"},
        {kNaN, "1.#NaN"},
        {-kNaN, "1.#NaN"},
    };
    for (auto c : cases) EXPECT_EQ(mold(c.value), c.text) << c.text;
}

TEST(FloatMold, PointZeroFlagAndFixedDigits) {
    struct Case { double value; int ndigits; bool point_zero; const char* text; } cases[] = {
        {100.0, 0, false, "100"},
        {0.0, 0, false, "0"},
        {-0.0, 0, false, "-0"},
        {1e17, 0, false, "1e17"},
        {1.5e17, 0, false, "1.5e17"},
        {1e-8, 0, false, "1e-8"},
        {0.5, 0, false, "0.5"},
        {kInf, 0, false, "1.#INF"},
        // Correctly rounded to n digits, trailing zeros dropped.
        {1.0 / 3, 6, false, "0.333333"},
        {1234567.0, 6, false, "1234570"},
        {1234567.0, 6, true, "1234570.0"},
        {9.9999999, 6, false, "10"},
        {2.675, 3, false, "2.67"},  // really 2.67499999...
        {0.125, 2, false, "0.12"},  // exact ties go to the even digit
        {0.375, 2, false, "0.38"},
        {2.5, 1, false, "2"},
        {0.1, 22, true, "0.1000000000000000055511"},
        {0.1, 40, true, "0.100000000000000005551115123126"},  // clamped to 30
        {-1.2345678901234567e-7, 22, true, "-0.0000001234567890123456579576"},
    };
    for (auto c : cases)
        EXPECT_EQ(form_digits(c.value, c.ndigits, c.point_zero), c.text) << c.text;
    EXPECT_STREQ(float_form_digits(1e17, 0, true), "1.0e17");
}

TEST(FloatMold, DtoaDigitsAndMarkers) {
    struct Case {
        double value; int ndigits; bool zero_point;
        const char* text; int decpt; int sign; int ndig;
    } cases[] = {
        {0.1, 0, true, "1", 0, 0, 1},
        {-123.45, 0, true, "-12345", 3, 1, 5},
        {1e17, 0, true, "1", 18, 0, 1},
        {2.5e-8, 0, true, "25", -7, 0, 2},
        {1.0 / 3, 4, true, "3333", 0, 0, 4},
        {0.0, 0, true, "0.0", kFloatDecptZero, 0, 0},
        {-0.0, 0, true, "-0.0", kFloatDecptZero, 1, 0},
        {-0.0, 0, false, "-0", kFloatDecptZero, 1, 0},
        {0.0, 0, false, "0", kFloatDecptZero, 0, 0},
        {kInf, 0, true, "1.#INF", kFloatDecptSpecial, 0, 0},
        {-kInf, 0, true, "-1.#INF", kFloatDecptSpecial, 1, 0},
        {-kNaN, 0, true, "1.#NaN", kFloatDecptSpecial, 0, 0},
    };
    for (auto c : cases) {
        int decpt = -1, sign = -1, ndig = -1;
        EXPECT_STREQ(float_dtoa(c.value, c.ndigits, &decpt, &sign, &ndig, c.zero_point), c.text);
        EXPECT_EQ(decpt, c.decpt) << c.text;
        EXPECT_EQ(sign, c.sign) << c.text;
        EXPECT_EQ(ndig, c.ndig) << c.text;
        FloatDigits d;
        float_digits(c.value, c.ndigits, d);
        EXPECT_EQ(d.count, c.ndig) << c.text;
        EXPECT_EQ(d.decpt, c.decpt) << c.text;
        EXPECT_EQ(d.negative, c.sign == 1) << c.text;
    }
}

TEST(FloatForm, KindsAndPrettyMode) {
    struct Case { double value; int kind; bool pretty; const char* text; } cases[] = {
        {1e-17, kFormFloat, true, "0.0"},
        {-1e-20, kFormFloat, true, "0.0"},
        {0.1 + 0.2, kFormFloat, true, "0.3"},
        {4.35 * 100, kFormFloat, true, "435.0"},
        {1e20, kFormFloat, true, "1.0e20"},
        {1.5e-7, kFormFloat, true, "1.5e-7"},
        {42.0, kFormFloat, true, "42.0"},
        {1.0 / 3, kFormFloat, true, "0.3333333333333333"},     // long, but no noise
        {-1.0 / 3, kFormFloat, true, "-0.3333333333333333"},
        {1.0000000000000012e-5, kFormFloat, true, "1.0e-5"},  // "1.000000000000001e-05"
        {123456.78901234501, kFormFloat, true, "123456.789012345"},
        {1.5e300, kFormFloat, true, "1.5e300"},
        {kInf, kFormFloat, true, "1.#INF"},
        {-kInf, kFormPercent, true, "-1.#INF"},
        {kNaN, kFormFloat, true, "1.#NaN"},
        {1e-17, kFormFloat, false, "1.0e-17"},
        {4.35 * 100, kFormFloat, false, "434.9999999999999"},
        {0.0, kFormFloat, false, "0.0"},
        {-0.0, kFormFloat, false, "-0.0"},
        {1e-5, kFormFloat, false, "1.0e-5"},
        {0.0001, kFormFloat, false, "0.0001"},
        {1e15, kFormFloat, false, "1000000000000000.0"},
        {1e16, kFormFloat, false, "1.0e16"},
        {123456789012345.0, kFormFloat, false, "123456789012345.0"},
        {50.0, kFormPercent, true, "50%"},
        {12.5, kFormPercent, true, "12.5%"},
        {1e-20, kFormPercent, true, "0%"},
        {1e20, kFormPercent, true, "1e20%"},
        {33.333333333333336, kFormPercent, true, "33.33333333333%"},
        {50.0, kFormPercentSingle, true, "50%"},
        {2.0, kFormPoint, true, "2"},
        {2.5, kFormPoint, true, "2.5"},
        {1e-20, kFormPoint, true, "0"},
        {1e20, kFormPoint, true, "1e20"},
        {double(0.1f), kFormSingle, true, "0.1"},
        {3.0, kFormSingle, true, "3.0"},
        {double(1e10f), kFormSingle, true, "1.0e10"},
        {1.5, kFormTime, true, "1.5"},
        {30.0, kFormTime, true, "30"},
        {1.0 / 3, kFormTime, true, "0.333333"},
        {59.9999999, kFormTime, true, "60"},
        {1e-20, kFormTime, true, "0.0"},
        {1e20, kFormTime, true, "1e20"},
    };
    for (auto c : cases) EXPECT_EQ(form_number(c.value, c.kind, c.pretty), c.text) << c.text;
}

TEST(FloatForm, StaticFormsFollowTheOptions) {
    OptionsGuard guard;
    std::string s;
    float_options.pretty = true;
    float_form_append(s, 434.99999999999994);
    EXPECT_EQ(s, "435.0");
    EXPECT_STREQ(float_form_number(1e-20, kFormFloat), "0.0");
    float_options.pretty = false;
    EXPECT_STREQ(float_form_number(434.99999999999994, kFormFloat), "434.9999999999999");
    EXPECT_STREQ(float_form_number(1e-17, kFormFloat), "1.0e-17");
    EXPECT_EQ(mold(434.99999999999994), "434.99999999999994");  // mold ignores the options
}

// The C library in the "C" locale serves as the oracle for "%.Ng".
TEST(FloatForm, FormatGMatchesCConversion) {
    FiniteDoubles gen(7);
    char mine[kFloatFormatGMax], theirs[64];
    auto check = [&](double v, int precision) {
        size_t n = float_format_g(mine, v, precision);
        std::snprintf(theirs, sizeof theirs, "%.*g", precision, v);
        ASSERT_EQ(std::string(mine, n), theirs) << precision << " " << v;
    };
    const double fixed[] = {0.0, -0.0, 0.125, 2.5, 0.5, 1e23, 9.9999, 99999.5, 0.0001, 0.00001,
                            123456.0, 1234567.0, 1e-300, 5e-324, 1.7976931348623157e308};
    for (double v : fixed)
        for (int p : {1, 2, 5, 7, 13, 14, 16, 17, 30}) check(v, p);
    for (int i = 0; i < 20000; ++i) {
        double v = gen.next();
        for (int p : {5, 7, 13, 14, 16}) check(v, p);
    }
    // Values near the plain/exponent boundaries, where rounding moves the exponent.
    std::mt19937_64 g(11);
    for (int i = 0; i < 20000; ++i) {
        int e = int(g() % 40) - 20;
        double v = std::ldexp(double(g() >> 11), -53) * std::pow(10.0, e);
        for (int p : {5, 7, 16}) check(v, p);
    }
}

TEST(FloatText, TextsStayWithinTheirBuffers) {
    FiniteDoubles gen(3);
    char buf[128];
    for (int i = 0; i < 100000; ++i) {
        double v = gen.next();
        for (int nd : {0, 6, 22, 30})
            ASSERT_LE(float_form_digits_to(buf, v, nd, true), kFloatFormDigitsMax) << v;
        for (int kind = 0; kind <= 5; ++kind)
            for (bool pretty : {false, true})
                ASSERT_LE(float_form_number_to(buf, v, kind, pretty), kFloatFormNumberMax) << v;
        ASSERT_LE(float_format_g(buf, v, 30), kFloatFormatGMax) << v;
    }
    // The longest layouts: 30 digits behind six zeros, and at an exponent.
    EXPECT_LE(float_form_digits_to(buf, -1.2345678901234567e-7, 30, true), kFloatFormDigitsMax);
    EXPECT_LE(float_form_digits_to(buf, -1.2345678901234567e-300, 30, true), kFloatFormDigitsMax);
}

TEST(FloatRead, SyntaxSpecialsAndWhereReadingStops) {
    struct Case { const char* text; int adjust; double value; size_t left; } cases[] = {
        {"1.5", 0, 1.5, 0},
        {"+1.5", 0, 1.5, 0},
        {"-1.5", 0, -1.5, 0},
        {"5.", 0, 5.0, 0},
        {".5", 0, 0.5, 0},
        {"000123.2500", 0, 123.25, 0},
        {"0.000001234", 0, 0.000001234, 0},
        {"1E3", 0, 1000.0, 0},
        {"1e+3", 0, 1000.0, 0},
        {"25e-1", 0, 2.5, 0},
        {"2.5", -2, 0.025, 0},
        {"50", -2, 0.5, 0},
        {"1.#INF", 0, kInf, 0},
        {"1.#inf", 0, kInf, 0},
        {"-1.#INF", 0, -kInf, 0},
        {"1e400", 0, kInf, 0},
        {"-1e400", 0, -kInf, 0},
        {"1e-400", 0, 0.0, 0},
        {"1.7976931348623157e308", 0, 1.7976931348623157e308, 0},
        {"1.7976931348623159e308", 0, kInf, 0},  // rounds past the largest double
        {"4.9406564584124654e-324", 0, 5e-324, 0},
        {"2.4703282292062328e-324", 0, 5e-324, 0},  // just above half the least subnormal
        {"2.4703282292062327e-324", 0, 0.0, 0},     // just below it
        {"1e99999999999999999999999", 0, kInf, 0},
        {"1e-99999999999999999999999", 0, 0.0, 0},
        {"0.0000000000000000000000000000001e31", 0, 1.0, 0},
        {"1e0000000000000000000000003", 0, 1000.0, 0},
        {"9007199254740993", 0, 9007199254740992.0, 0},  // 2^53 + 1: tie to even
        {"9007199254740995", 0, 9007199254740996.0, 0},
        {"1.5abc", 0, 1.5, 3},
        {"1e", 0, 1.0, 1},
        {"1e+", 0, 1.0, 2},
        {"1e5x", 0, 1e5, 1},
        {"1.#X", 0, 1.0, 2},
        {"12.#INF", 0, 12.0, 4},  // the special form has one digit before the point
        {"abc", 0, 0.0, 3},
        {"-", 0, 0.0, 1},
        {".", 0, 0.0, 1},
        {"e5", 0, 0.0, 2},
        {"", 0, 0.0, 0},
    };
    for (auto c : cases) {
        size_t left = 99;
        double v = read(c.text, c.adjust, &left);
        EXPECT_EQ(bits(v), bits(c.value)) << c.text << " gave " << v;
        EXPECT_EQ(left, c.left) << c.text;
    }
}

TEST(FloatRead, SignOfZero) {
    struct Case { const char* text; double value; } cases[] = {
        {"0", 0.0}, {"-0", 0.0}, {"-000", 0.0}, {"-0.0", -0.0}, {"-.0", -0.0},
        {"-0e5", -0.0}, {"0.0", 0.0}, {"+0.0", 0.0}, {"-1e-400", 0.0},
    };
    for (auto c : cases) EXPECT_EQ(bits(read(c.text)), bits(c.value)) << c.text;
    size_t left = 9;
    EXPECT_TRUE(std::isnan(read("1.#NaN", 0, &left)));
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(bits(read("-1.#nan")), bits(kNaN));  // a NaN has no sign
}

TEST(FloatRead, WholeTextOrNothing) {
    double v = 7;
    EXPECT_TRUE(float_read("2.5e3", v));
    EXPECT_EQ(v, 2500.0);
    EXPECT_TRUE(float_read("12.5", v, -2));
    EXPECT_EQ(v, 0.125);
    EXPECT_TRUE(float_read("-1.#INF", v));
    EXPECT_EQ(v, -kInf);
    for (const char* bad : {"", "-", ".", "1.5 ", "1,5", "1e", "x1"}) {
        v = 7;
        EXPECT_FALSE(float_read(bad, v)) << bad;
        EXPECT_EQ(v, 7.0) << bad;
    }
}

// Beyond 19 significant digits and past 800 the reader must still see the
// last nonzero digit: 1 + 2^-53 is a tie that goes to 1.0, anything above it
// goes up.
TEST(FloatRead, LongDigitStringsRoundCorrectly) {
    const std::string tie = "1.00000000000000011102230246251565404236316680908203125";
    const double up = std::nextafter(1.0, 2.0);
    const std::string digits = "100000000000000011102230246251565404236316680908203125";
    const std::string zeros(1000, '0');
    struct Case { std::string text; int adjust; double value; } cases[] = {
        {tie, 0, 1.0},
        {tie + zeros, 0, 1.0},
        {tie + zeros + "1", 0, up},
        {digits.substr(0, 3) + "." + digits.substr(3) + zeros + "1", -2, up},
        {std::string("0.0") + digits + zeros + "1e2", 0, up},
        {std::string("0.0") + digits + zeros + "1", 2, up},
        {std::string("0.0") + digits + zeros, 2, 1.0},
        {tie.substr(0, tie.size() - 1) + "4" + zeros + "9", 0, 1.0},
    };
    for (auto& c : cases) {
        size_t left = 9;
        EXPECT_EQ(bits(read(c.text, c.adjust, &left)), bits(c.value)) << c.text.substr(0, 70);
        EXPECT_EQ(left, 0u);
    }
}

// The same decimal written in different ways must read as the reference
// reader reads its plain form: this exercises the scan (point, leading
// zeros, signs, exponent, adjustment) and the exact short-input path.
TEST(FloatRead, SpellingsAgreeWithReference) {
    std::mt19937_64 g(5);
    for (int i = 0; i < 200000; ++i) {
        int nd = 1 + int(g() % 24);
        std::string digits;
        for (int k = 0; k < nd; ++k) digits += char('0' + g() % 10);
        if (digits[0] == '0') digits[0] = '1';
        int e = int(g() % 80) - 40;
        if (g() % 8 == 0) e = int(g() % 700) - 350;
        std::string ref = digits + "e" + std::to_string(e);
        double want;
        auto r = std::from_chars(ref.data(), ref.data() + ref.size(), want);
        if (r.ec != std::errc()) continue;

        // Point after `at` digits, exponent and adjustment sharing e.
        int at = int(g() % (nd + 1));
        int adjust = g() % 4 == 0 ? int(g() % 7) - 3 : 0;
        int shown = e + (nd - at) - adjust;
        std::string text = std::string(g() % 3 == 0 ? "00" : "") + digits.substr(0, at) + "." +
                           digits.substr(at);
        if (at == 0 && g() % 2) {
            text = std::string("0.000") + digits;
            shown += 3;
        }
        if (shown != 0 || g() % 2) {
            text += g() % 2 ? "E" : "e";
            if (shown >= 0 && g() % 2) text += "+";
            text += std::to_string(shown);
        }
        bool negative = g() % 2;
        if (negative) text.insert(0, 1, '-');
        else if (g() % 4 == 0) text.insert(0, 1, '+');
        size_t left = 9;
        double got = read(text, adjust, &left);
        ASSERT_EQ(bits(got), bits(negative ? -want : want)) << text << " adjust " << adjust;
        ASSERT_EQ(left, 0u) << text;
    }
}

// Leading zeros never change a reading. Padding also sends a short text
// from the byte scan to the standard reader, so the two paths must agree on
// the value and on where reading stops.
TEST(FloatRead, LeadingZerosChangeNothing) {
    std::mt19937_64 g(9);
    const char alphabet[] = "01234567890123456789012345678901234567890123456789..eeE+-x";
    for (int i = 0; i < 300000; ++i) {
        std::string body(1, char('0' + g() % 10));
        for (int n = int(g() % 15); n > 0; --n) body += alphabet[g() % (sizeof alphabet - 1)];
        std::string sign = g() % 3 == 0 ? "-" : g() % 4 == 0 ? "+" : "";
        std::string plain = sign + body;
        std::string padded = sign + std::string(20, '0') + body;
        size_t plain_left = 0, padded_left = 0;
        double a = read(plain, 0, &plain_left);
        double b = read(padded, 0, &padded_left);
        ASSERT_EQ(bits(a), bits(b)) << plain;
        ASSERT_EQ(plain_left, padded_left) << plain;
    }
}

TEST(FloatText, MoldReadsBackExactly) {
    FiniteDoubles gen(20240601);
    for (int i = 0; i < 1000000; ++i) {
        double v = gen.next();
        char buf[kFloatFormDigitsMax];
        size_t n = float_mold_to(buf, v);
        double back = 0;
        ASSERT_TRUE(float_read(std::string_view(buf, n), back)) << std::string(buf, n);
        ASSERT_EQ(bits(back), bits(v)) << std::string(buf, n);
    }
    // Specials and zeros read back too (every NaN as the quiet NaN).
    for (double v : {kInf, -kInf, 0.0, -0.0}) {
        double back = 1;
        ASSERT_TRUE(float_read(mold(v), back));
        EXPECT_EQ(bits(back), bits(v)) << mold(v);
    }
    double back = 0;
    ASSERT_TRUE(float_read(mold(std::bit_cast<double>(0xFFF0000000000123ull)), back));
    EXPECT_EQ(bits(back), 0x7FF8000000000000ull);
}

TEST(FloatAngle, DegreesFoldIntoTheFirstQuarters) {
    struct Case { double degrees; double tangent, cosine, sine; } cases[] = {
        {270, -90, -90, -90},
        {150, -30, 150, 30},
        {-450, -90, -90, -90},
        {45, 45, 45, 45},
        {-120, 60, -120, -60},
        {180, 0, 180, 0},
        {-180, 0, -180, 0},
        {720 + 91, -89, 91, 89},
    };
    auto rad = [](double deg) { return deg * 3.141592653589793 / 180; };
    for (auto c : cases) {
        EXPECT_EQ(math_degrees_to_radians(c.degrees, kAngleHalfTurn), rad(c.tangent)) << c.degrees;
        EXPECT_EQ(math_degrees_to_radians(c.degrees, kAngleKeep), rad(c.cosine)) << c.degrees;
        EXPECT_EQ(math_degrees_to_radians(c.degrees, kAngleReflect), rad(c.sine)) << c.degrees;
    }
    EXPECT_TRUE(std::isnan(math_degrees_to_radians(kNaN, kAngleReflect)));
    EXPECT_TRUE(std::isnan(math_degrees_to_radians(kInf, kAngleKeep)));
}

}  // namespace
