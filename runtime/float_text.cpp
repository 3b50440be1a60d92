// Float text conversion: digit generation, layout, general formatting,
// reading and the degree normalisation of the trigonometric natives.
//
// Digit generation is exact: std::to_chars in scientific form gives either
// the shortest round-trip digits or the correctly rounded ones for a given
// precision; everything about where the point goes, when an exponent is
// written and how special values look is decided here. Reading scans the
// syntax itself (sign, the "1.#INF" forms, exponent adjustment, where reading
// stops), answers short inputs with exact double arithmetic and hands the
// rest to std::from_chars for correct rounding. None of this consults the
// locale.
#include "runtime/float_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace kel {

FloatOptions float_options;

namespace {

constexpr const char kInf[] = "1.#INF";
constexpr const char kNegInf[] = "-1.#INF";
constexpr const char kNaN[] = "1.#NaN";

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

size_t put(char* out, const char* text) {
    size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return n;
}

// Text of infinity, NaN or a zero (signed), chosen by [value].
const char* special_text(double value, bool zero_point) {
    if (std::isnan(value)) return kNaN;
    if (std::isinf(value)) return value < 0 ? kNegInf : kInf;
    if (std::signbit(value)) return zero_point ? "-0.0" : "-0";
    return zero_point ? "0.0" : "0";
}

// Writes [value] in decimal, "-" first when negative; returns the end.
char* put_int(char* p, int value) {
    return std::to_chars(p, p + 12, value).ptr;
}

// Scientific text of a finite double as std::to_chars writes it,
// "[-]d[.ddd]e(+|-)XX[X]", viewed in place: first digit, the other digits
// (trailing zeros dropped) and the decimal exponent of the first digit.
struct Scientific {
    char text[48];  // longest: "-" d "." 29 digits "e-308"
    bool negative;
    char first;
    const char* rest;
    size_t rest_len;
    int exp10;

    // [ndigits] <= 0: shortest round-trip digits; else that many, rounded.
    Scientific(double value, int ndigits) {
        std::to_chars_result r =
            ndigits <= 0
                ? std::to_chars(text, text + sizeof text, value, std::chars_format::scientific)
                : std::to_chars(text, text + sizeof text, value, std::chars_format::scientific,
                                (ndigits > kFloatDigitsMax ? kFloatDigitsMax : ndigits) - 1);
        const char* end = r.ptr;
        // The exponent has two or three digits after "e" and its sign.
        const char* e = end[-4] == 'e' ? end - 4 : end - 5;
        int x = 0;
        for (const char* q = e + 2; q < end; ++q) x = x * 10 + (*q - '0');
        exp10 = e[1] == '-' ? -x : x;
        negative = text[0] == '-';
        first = text[negative];
        rest = text + negative + 2;
        rest_len = e > rest ? static_cast<size_t>(e - rest) : 0;
        // Shortest digits never end in 0; rounded ones may.
        while (rest_len && rest[rest_len - 1] == '0') --rest_len;
    }
    int count() const { return 1 + static_cast<int>(rest_len); }
    int decpt() const { return exp10 + 1; }
};

}  // namespace

// ---------------------------------------------------------------------------
// Digit generation

void float_digits(double value, int ndigits, FloatDigits& out) {
    out.negative = !std::isnan(value) && std::signbit(value);
    if (!std::isfinite(value) || value == 0) {
        out.count = 0;
        out.decpt = value == 0 ? kFloatDecptZero : kFloatDecptSpecial;
        out.digits[0] = '\0';
        return;
    }
    Scientific sci(value, ndigits);
    out.digits[0] = sci.first;
    std::memcpy(out.digits + 1, sci.rest, sci.rest_len);
    out.digits[1 + sci.rest_len] = '\0';
    out.count = sci.count();
    out.decpt = sci.decpt();
    out.negative = sci.negative;
}

const char* float_dtoa(double value, int ndigits, int* decpt, int* sign, int* ndig,
                       bool zero_point) {
    // "-" then the digits, so a negative number's text starts one byte earlier.
    thread_local char buffer[kFloatDigitsMax + 2];
    if (!std::isfinite(value) || value == 0) {
        bool is_zero = value == 0;
        if (decpt) *decpt = is_zero ? kFloatDecptZero : kFloatDecptSpecial;
        if (sign) *sign = !std::isnan(value) && std::signbit(value);
        if (ndig) *ndig = 0;
        return special_text(value, zero_point);
    }
    FloatDigits d;
    float_digits(value, ndigits, d);
    buffer[0] = '-';
    std::memcpy(buffer + 1, d.digits, static_cast<size_t>(d.count) + 1);
    if (decpt) *decpt = d.decpt;
    if (sign) *sign = d.negative;
    if (ndig) *ndig = d.count;
    return d.negative ? buffer : buffer + 1;
}

// ---------------------------------------------------------------------------
// Layout

size_t float_form_digits_to(char* out, double value, int ndigits, bool point_zero) {
    if (!std::isfinite(value) || value == 0) return put(out, special_text(value, point_zero));
    Scientific sci(value, ndigits);
    const size_t n = static_cast<size_t>(sci.count());
    const int decpt = sci.decpt();
    char* p = out;
    if (sci.negative) *p++ = '-';
    if (decpt > 17 || decpt < -6) {
        // d.ddd e<decpt-1>; a single digit gets ".0" or no point at all.
        *p++ = sci.first;
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, sci.rest, n - 1);
            p += n - 1;
        } else if (point_zero) {
            *p++ = '.';
            *p++ = '0';
        }
        *p++ = 'e';
        p = put_int(p, decpt - 1);
    } else if (decpt > 0) {
        // The point after decpt digits, padded with zeros when they run out.
        const size_t whole = static_cast<size_t>(decpt);
        *p++ = sci.first;
        if (whole < n) {
            std::memcpy(p, sci.rest, whole - 1);
            p += whole - 1;
            *p++ = '.';
            std::memcpy(p, sci.rest + whole - 1, n - whole);
            p += n - whole;
        } else {
            std::memcpy(p, sci.rest, n - 1);
            p += n - 1;
            std::memset(p, '0', whole - n);
            p += whole - n;
            if (point_zero) {
                *p++ = '.';
                *p++ = '0';
            }
        }
    } else {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<size_t>(-decpt));
        p += -decpt;
        *p++ = sci.first;
        std::memcpy(p, sci.rest, n - 1);
        p += n - 1;
    }
    return static_cast<size_t>(p - out);
}

const char* float_form_digits(double value, int ndigits, bool point_zero) {
    thread_local char buffer[kFloatFormDigitsMax + 1];
    buffer[float_form_digits_to(buffer, value, ndigits, point_zero)] = '\0';
    return buffer;
}

void float_mold_append(std::string& out, double value) {
    char text[kFloatFormDigitsMax];
    out.append(text, float_mold_to(text, value));
}

// ---------------------------------------------------------------------------
// General formatting

size_t float_format_g(char* out, double value, int precision) {
    if (precision < 1) precision = 1;
    if (precision > kFloatDigitsMax) precision = kFloatDigitsMax;
    if (!std::isfinite(value)) return put(out, special_text(value, true));
    // Zero comes out as "0.00e+00": first digit 0, exponent 0, no rest.
    Scientific sci(value, precision);
    const int x = sci.exp10;
    const int kept = sci.count();  // digits left once trailing zeros are gone

    char* p = out;
    if (sci.negative) *p++ = '-';
    if (x >= -4 && x < precision) {
        if (x >= 0) {
            // Digits of the whole part beyond those kept are zeros.
            *p++ = sci.first;
            for (int i = 1; i <= x; ++i) *p++ = i < kept ? sci.rest[i - 1] : '0';
            if (kept > x + 1) {
                *p++ = '.';
                std::memcpy(p, sci.rest + x, static_cast<size_t>(kept - x - 1));
                p += kept - x - 1;
            }
        } else {
            *p++ = '0';
            *p++ = '.';
            std::memset(p, '0', static_cast<size_t>(-x - 1));
            p += -x - 1;
            *p++ = sci.first;
            std::memcpy(p, sci.rest, sci.rest_len);
            p += sci.rest_len;
        }
    } else {
        *p++ = sci.first;
        if (sci.rest_len) {
            *p++ = '.';
            std::memcpy(p, sci.rest, sci.rest_len);
            p += sci.rest_len;
        }
        *p++ = 'e';
        *p++ = x < 0 ? '-' : '+';
        int e = x < 0 ? -x : x;
        if (e < 10) *p++ = '0';
        p = put_int(p, e);
    }
    return static_cast<size_t>(p - out);
}

namespace {

// Significant digits of the first "%g" text for each kind (kind 4 is laid
// out by float_form_digits_to instead).
int first_precision(int kind) {
    switch (kind) {
        case kFormSingle:
        case kFormPercentSingle:
        case kFormPoint: return 7;
        case kFormPercent: return 13;
        default: return 16;
    }
}

// A pretty text that is long and ends its mantissa in "01" or "99" shows
// binary representation noise (434.99999999999994 as "434.9999999999999").
bool has_noise(const char* text, size_t len) {
    size_t mantissa = len;
    for (size_t i = 0; i < len; ++i)
        if (text[i] == 'e') {
            mantissa = i;
            break;
        }
    char first = text[0] == '-' ? text[1] : text[0];
    size_t limit = first == '0' ? 17 : 16;
    if (mantissa <= limit) return false;
    char a = text[mantissa - 2], b = text[mantissa - 1];
    return (a == '0' && b == '1') || (a == '9' && b == '9');
}

// Rewrites an exponent "e+020" / "e-05" as "e20" / "e-5"; returns the length.
size_t tidy_exponent(char* text, size_t len) {
    char* e = static_cast<char*>(std::memchr(text, 'e', len));
    if (!e) return len;
    char* end = text + len;
    char* src = e + 1;
    char* dst = e + 1;
    if (src < end && *src == '-') *dst++ = *src++;
    else if (src < end && *src == '+') ++src;
    while (src + 1 < end && *src == '0') ++src;
    while (src < end) *dst++ = *src++;
    return static_cast<size_t>(dst - text);
}

}  // namespace

size_t float_form_number_to(char* out, double value, int kind, bool pretty) {
    const bool percent = kind == kFormPercentSingle || kind == kFormPercent;
    if (!std::isfinite(value)) return put(out, special_text(value, true));
    if (pretty && std::fabs(value) < 0x1p-52) {
        if (percent) return put(out, "0%");
        return put(out, kind == kFormPoint ? "0" : "0.0");
    }
    size_t len = kind == kFormTime ? float_form_digits_to(out, value, 6, false)
                                   : float_format_g(out, value, first_precision(kind));
    if (pretty && has_noise(out, len)) {
        bool short_form = kind == kFormSingle || kind == kFormPoint || kind == kFormTime;
        len = float_format_g(out, value, short_form ? 5 : 14);
    }
    len = tidy_exponent(out, len);
    if (percent) {
        out[len++] = '%';
    } else if (kind != kFormTime && kind != kFormPoint && !std::memchr(out, '.', len)) {
        char* e = static_cast<char*>(std::memchr(out, 'e', len));
        size_t at = e ? static_cast<size_t>(e - out) : len;
        std::memmove(out + at + 2, out + at, len - at);
        out[at] = '.';
        out[at + 1] = '0';
        len += 2;
    }
    return len;
}

const char* float_form_number(double value, int kind) {
    thread_local char buffer[kFloatFormNumberMax + 1];
    buffer[float_form_number_to(buffer, value, kind, float_options.pretty)] = '\0';
    return buffer;
}

void float_form_append(std::string& out, double value) {
    char text[kFloatFormNumberMax];
    out.append(text, float_form_number_to(text, value, kFormFloat, float_options.pretty));
}

// ---------------------------------------------------------------------------
// Reading

namespace {

// Exact powers of ten: every one up to 1e22 is a double without rounding.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// An explicit exponent stops growing here; anything this large is out of
// range whatever the digits, and the sums below stay far from overflow.
constexpr int64_t kExponentCap = 1000000000000000;

// Significant digits handed to the correctly rounding reader. Halfway points
// between doubles have at most 767 significant digits, so the first 800
// digits plus one nonzero digit standing for any nonzero rest round the same
// way as the whole string.
constexpr int kReadDigitsMax = 800;

// Reads "1.#INF" / "1.#NaN" letters after the "#" at [p]; null when the
// letter after "#" is neither. Consumes the letters of "INF" or "NAN" that
// match, in any case.
const char* read_special(const char* p, const char* end, bool negative, double& value) {
    if (p + 1 >= end) return nullptr;
    char c = static_cast<char>(p[1] | 0x20);
    const char* word;
    if (c == 'i') {
        word = "inf";
        value = negative ? -std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::infinity();
    } else if (c == 'n') {
        word = "nan";
        value = std::numeric_limits<double>::quiet_NaN();
    } else {
        return nullptr;
    }
    ++p;
    for (int i = 0; i < 3 && p < end && (*p | 0x20) == word[i]; ++i) ++p;
    return p;
}

// Correctly rounded value of the [nd] significant digits starting at [sig]
// (a "." among them is skipped) times 10^[dexp]; nonzero, within range of
// the cut-offs checked by the caller.
double read_digits(const char* sig, int64_t nd, int64_t dexp) {
    char text[kReadDigitsMax + 2 + 24];
    char* p = text;
    int64_t taken = 0;
    const char* s = sig;
    for (; taken < nd && taken < kReadDigitsMax; ++s) {
        if (*s == '.') continue;
        *p++ = *s;
        ++taken;
    }
    if (taken < nd) {
        for (int64_t rest = nd - taken; rest > 0; ++s) {
            if (*s == '.') continue;
            if (*s != '0') {
                *p++ = '1';
                ++taken;
                break;
            }
            --rest;
        }
    }
    *p++ = 'e';
    p = std::to_chars(p, text + sizeof text, dexp + (nd - taken)).ptr;
    double value = 0;
    std::from_chars_result r = std::from_chars(text, p, value);
    if (r.ec == std::errc::result_out_of_range)
        return dexp + nd > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return value;
}

// The whole reading, byte by byte. Short inputs end here in exact double
// arithmetic; long ones go on to the correctly rounding reader.
double read_scanned(const char* start, const char* end, int exp_adjust, size_t* bytes_left) {
    const char* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char* number = p;

    // Leading zeros alone make +0.0, whatever the sign.
    while (p < end && *p == '0') ++p;
    bool any_digit = p != number;
    if (any_digit && p == end) {
        if (bytes_left) *bytes_left = 0;
        return 0.0;
    }

    // Significant digits: the first 19 accumulate exactly in [mantissa].
    // value = (all significant digits as an integer) x 10^dexp.
    uint64_t mantissa = 0;
    int64_t nd = 0;
    int64_t dexp = 0;
    const char* sig = p;
    while (p < end && is_digit(*p)) {
        if (nd < 19) mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
        ++nd;
        ++p;
    }
    const int64_t whole_digits = (p - number);
    any_digit |= nd > 0;
    if (p < end && *p == '.') {
        const char* point = p++;
        if (whole_digits == 1 && p < end && *p == '#') {
            double special;
            if (const char* after = read_special(p, end, negative, special)) {
                if (bytes_left) *bytes_left = static_cast<size_t>(end - after);
                return special;
            }
        }
        if (nd == 0) {
            while (p < end && *p == '0') {
                ++p;
                --dexp;
                any_digit = true;
            }
            sig = p;
        }
        while (p < end && is_digit(*p)) {
            if (nd < 19) mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
            ++nd;
            --dexp;
            ++p;
            any_digit = true;
        }
        if (!any_digit) p = point;
    }
    if (!any_digit) {
        if (bytes_left) *bytes_left = static_cast<size_t>(end - start);
        return 0.0;
    }

    // The exponent counts only with at least one digit after "e" and its sign.
    bool plain_exponent = true;
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        bool exp_negative = false;
        if (q < end && (*q == '+' || *q == '-')) exp_negative = *q++ == '-';
        if (q < end && is_digit(*q)) {
            int64_t x = 0;
            for (; q < end && is_digit(*q); ++q) {
                if (x < kExponentCap) x = x * 10 + (*q - '0');
                else plain_exponent = false;
            }
            dexp += exp_negative ? -x : x;
            p = q;
        }
    }
    if (bytes_left) *bytes_left = static_cast<size_t>(end - p);
    if (nd == 0) return negative ? -0.0 : 0.0;
    dexp += exp_adjust;

    double value;
    if (nd <= 19 && mantissa <= (uint64_t{1} << 53) && dexp >= -22 && dexp <= 22) {
        // Both operands exact, so the one rounding of * or / is the answer.
        value = static_cast<double>(mantissa);
        value = dexp < 0 ? value / kPow10[-dexp] : value * kPow10[dexp];
    } else if (dexp + nd > 310) {
        value = std::numeric_limits<double>::infinity();  // at least 1e309
    } else if (dexp + nd <= -324) {
        value = 0.0;  // below 1e-324, under half the least subnormal
    } else if (exp_adjust == 0 && plain_exponent) {
        // The text itself is in the reader's syntax.
        std::from_chars_result r = std::from_chars(number, p, value);
        if (r.ec == std::errc::result_out_of_range)
            value = dexp + nd > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        else if (r.ec != std::errc() || r.ptr != p)
            value = read_digits(sig, nd, dexp);
    } else {
        value = read_digits(sig, nd, dexp);
    }
    return negative ? 0.0 - value : value;
}

}  // namespace

double float_strtod(const char* start, const char* end, int exp_adjust, size_t* bytes_left) {
    // A long plain number goes straight to the standard reader, whose syntax
    // is ours once a sign is taken off. Zeros (their sign rules), results out
    // of range (infinity or zero to choose) and the "1.#" forms are left to
    // the scan.
    const char* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (exp_adjust == 0 && end - p > 16 && (is_digit(*p) || *p == '.')) {
        double value;
        std::from_chars_result r = std::from_chars(p, end, value);
        if (r.ec == std::errc() && value != 0 && (r.ptr == end || *r.ptr != '#')) {
            if (bytes_left) *bytes_left = static_cast<size_t>(end - r.ptr);
            return negative ? 0.0 - value : value;
        }
    }
    return read_scanned(start, end, exp_adjust, bytes_left);
}

bool float_read(std::string_view text, double& out, int exp_adjust) {
    if (text.empty()) return false;
    size_t left;
    double value = float_strtod(text.data(), text.data() + text.size(), exp_adjust, &left);
    if (left != 0) return false;
    out = value;
    return true;
}

// ---------------------------------------------------------------------------
// Angles

double math_degrees_to_radians(double degrees, int fold) {
    double x = std::fmod(degrees, 360.0);
    if (x > 180 || x < -180) x += x < 0 ? 360 : -360;
    if (x > 90 || x < -90) {
        if (fold == kAngleHalfTurn) x += x < 0 ? 180 : -180;
        else if (fold == kAngleReflect) x = x < 0 ? -180 - x : 180 - x;
    }
    return x * 3.141592653589793 / 180;
}

}  // namespace kel
