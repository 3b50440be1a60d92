// Float text conversion: doubles to decimal text and back.
//
// Output is exact: the shortest digit string that reads back as the same
// double, or the value correctly rounded to a given number of significant
// digits. Input is correctly rounded (round half to even). Both directions
// are independent of the C library's locale and of printf.
//
// Two layers:
//  - the `*_to` functions write into a caller's buffer and return the length
//    (no NUL); they are reentrant and never allocate;
//  - the functions with the runtime's traditional names (`float_dtoa`,
//    `float_form_digits`, `float_form_number`) return NUL-terminated text in
//    a per-thread static buffer that the next call of the same function
//    overwrites.
//
// Special values have fixed texts: "1.#INF", "-1.#INF", "1.#NaN" (a NaN never
// shows a sign). The reader takes these texts back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

// ---------------------------------------------------------------------------
// Digit generation

// Most significant digits `float_dtoa` produces; larger requests are clamped.
constexpr int kFloatDigitsMax = 30;
// decpt markers of `float_dtoa` for values that have no digits.
constexpr int kFloatDecptSpecial = 9999;  // infinity or NaN
constexpr int kFloatDecptZero = 9998;     // +0.0 or -0.0

// Digits of a double: value = 0.d1d2...dn x 10^decpt.
struct FloatDigits {
    int count;      // n, up to kFloatDigitsMax (0 for zero, infinity, NaN); no trailing 0
    int decpt;
    bool negative;  // sign bit; never set for a NaN
    char digits[kFloatDigitsMax + 1];  // NUL-terminated
};

// Digits of [value]. [ndigits] <= 0 asks for the shortest string that reads
// back as the same double; > 0 for the value correctly rounded to that many
// significant digits (clamped to kFloatDigitsMax). Zero, infinity and NaN
// have no digits (count 0) and the decpt markers above.
void float_digits(double value, int ndigits, FloatDigits& out);

// The digits of [value] as text, from a static buffer. For negative numbers
// the text starts with "-". Sets [decpt] (value = 0.digits x 10^decpt),
// [sign] (1 for negative, also for -0.0; never for NaN) and [ndig] (digit
// count, without the "-"). Infinity and NaN give decpt 9999 and "1.#INF",
// "-1.#INF" or "1.#NaN"; zero gives decpt 9998 and "0.0"/"-0.0" when
// [zero_point] is set, "0"/"-0" otherwise (ndig is then 0). Any out pointer
// may be null.
const char* float_dtoa(double value, int ndigits, int* decpt, int* sign, int* ndig,
                       bool zero_point);

// ---------------------------------------------------------------------------
// Layout in the language's number syntax

// Longest text of `float_form_digits_to` (for any ndigits), without the NUL.
constexpr size_t kFloatFormDigitsMax = 40;

// Lays out [value] with [ndigits] significant digits (<= 0: shortest
// round-trip). Decimal exponents (decpt - 1) from -7 to 16 give plain
// notation, others "d.ddde<exp>" with no "+" and no leading zeros. With
// [point_zero] a text that would end in its point gets "0" ("100.0",
// "1.0e17"); without it the point goes ("100", "1e17"). Writes at most
// kFloatFormDigitsMax bytes to [out], no NUL; returns the length.
size_t float_form_digits_to(char* out, double value, int ndigits, bool point_zero);

// The same in a static buffer, NUL-terminated.
const char* float_form_digits(double value, int ndigits, bool point_zero);

// Molded text of a float!: shortest round-trip digits, point-zero on.
// Independent of the float options.
inline size_t float_mold_to(char* out, double value) {
    return float_form_digits_to(out, value, 0, true);
}
void float_mold_append(std::string& out, double value);

// ---------------------------------------------------------------------------
// General formatting (form of float!, percent!, time!, points, vectors)

// Flags of the `options/float` object, written by its on-change* handler.
// Only `pretty` is read here: it turns tiny magnitudes into zero and removes
// representation noise such as "434.9999999999999". `full` is kept for the
// object's sake; nothing reads it.
struct FloatOptions {
    bool pretty = true;
    bool full = false;
};
extern FloatOptions float_options;

// Kinds of `float_form_number`. Percent callers multiply by 100 first.
enum FloatFormKind : int {
    kFormSingle = 0,         // single-precision value (vector element), 7 digits
    kFormFloat = 1,          // float!, 16 digits
    kFormPercentSingle = 2,  // percent from a single-precision value, 7 digits, "%"
    kFormPercent = 3,        // percent!, 13 digits, "%"
    kFormTime = 4,           // time! seconds, 6 digits, no ".0" added
    kFormPoint = 5,          // point coordinate, 7 digits, no ".0" added
};

// Longest text of `float_form_number_to`, without the NUL.
constexpr size_t kFloatFormNumberMax = 31;

// Text of [value] for [kind] with the given pretty mode. Writes at most
// kFloatFormNumberMax bytes to [out], no NUL; returns the length.
size_t float_form_number_to(char* out, double value, int kind, bool pretty);

// The same with the current float options, in a static buffer, NUL-terminated.
const char* float_form_number(double value, int kind);

// Formed text of a float! (kind 1, current options).
void float_form_append(std::string& out, double value);

// Longest text of `float_format_g`, without the NUL.
constexpr size_t kFloatFormatGMax = 40;

// The text the C "%.<precision>g" conversion gives for a finite [value] in
// the "C" locale: [precision] significant digits (0 counts as 1, at most
// kFloatDigitsMax), plain notation when -4 <= exponent < precision, else
// "d.ddde+XX" (at least two exponent digits); trailing zeros and a bare point
// removed. Infinity and NaN give their special texts. Writes no NUL;
// returns the length.
size_t float_format_g(char* out, double value, int precision);

// ---------------------------------------------------------------------------
// Reading

// Reads a number from the bytes in [start, end): an optional sign, digits
// with an optional point, an optional exponent ("e"/"E", optional sign,
// digits). [exp_adjust] is added to the decimal exponent (-2 reads a percent
// as its fraction). "1.#INF", "-1.#INF" and "1.#NaN" (letters in any case)
// give the special values. The result is correctly rounded; out-of-range text
// gives infinity or zero. Text without digits gives 0.0 and uses no byte.
// Leading zeros alone give +0.0 even after "-" ("-0"); a zero with a point or
// exponent keeps the sign ("-0.0" is -0.0); a "-" otherwise negates by
// subtraction from 0.0, so "-1e-400" is +0.0. [bytes_left] (may be null)
// receives end minus the position where reading stopped.
double float_strtod(const char* start, const char* end, int exp_adjust, size_t* bytes_left);
inline double float_strtod(const uint8_t* start, const uint8_t* end, int exp_adjust,
                           size_t* bytes_left) {
    return float_strtod(reinterpret_cast<const char*>(start),
                        reinterpret_cast<const char*>(end), exp_adjust, bytes_left);
}

// Reads the whole of [text] as a number. Returns false, leaving [out]
// unchanged, when the text is empty, has no digits, or has bytes after the
// number.
bool float_read(std::string_view text, double& out, int exp_adjust = 0);

// ---------------------------------------------------------------------------
// Angles

// How `math_degrees_to_radians` folds an angle beyond a quarter turn; each
// fold keeps the value of one trigonometric function.
enum AngleFold : int {
    kAngleHalfTurn = 0,  // add or subtract 180 degrees (tangent)
    kAngleKeep = 1,      // leave it (cosine)
    kAngleReflect = 2,   // reflect about +-90 degrees (sine)
};

// Radians of [degrees] after bringing it into [-180, 180] and, for the
// half-turn and reflecting folds, into [-90, 90]; a NaN stays NaN.
double math_degrees_to_radians(double degrees, int fold);

}  // namespace kel
