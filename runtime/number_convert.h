// Conversions between doubles, 32-bit integers and number text.
//
// Every double -> int32 conversion of the runtime goes through
// `float_to_int32`: a double that is NaN, above 2147483647.0 or below
// -2147483648.0 does not fit and the caller chooses the error; C++'s
// undefined float-to-int cast is never reached with such a value.
//
// The text readers take the code points of a string value (units of 1, 2
// or 4 bytes) and accept exactly the number syntax of `to integer!` and
// `to float!`: the lexer's rules for integer and float tokens, applied
// without running the lexer. A code point above 127 is never a digit or a
// sign (its low 7 bits are not looked at).
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// The int32 bounds as doubles, for range checks.
constexpr double kInt32MaxDouble = 2147483647.0;
constexpr double kInt32MinDouble = -2147483648.0;

// True when [d] lies within the int32 bounds (false for NaN).
inline bool float_int32_range_q(double d) { return d >= kInt32MinDouble && d <= kInt32MaxDouble; }

// The checked conversion: [d] truncated toward zero into [out]. Returns
// false, leaving [out] alone, when [d] is NaN or outside the int32 bounds.
inline bool float_to_int32(double d, int32_t& out) {
    if (!float_int32_range_q(d)) return false;
    out = static_cast<int32_t>(d);
    return true;
}

// [d] truncated toward zero; script `type-limit` with the datatype [type]
// when it does not fit.
int32_t float_to_int32_limit(double d, int32_t type);

// Parity of [d] truncated toward zero, for any magnitude: every double of
// 2^53 or more is even. NaN and infinities are even.
bool float_trunc_odd_q(double d);

// A run of text: [count] units of [unit] bytes from [chars]. The pointer is
// into a series buffer: stale after any allocation.
struct TextRun {
    const uint8_t* chars;
    uint32_t unit;
    uint32_t count;
};
// string!, file!, url!, tag!, email! and ref!: the types whose text the
// number conversions read.
bool any_string_type_q(int32_t type);
// The units of a string-family or binary! value from its head index to its
// tail (none when the index lies past the tail).
TextRun text_run_of(const Cell* series);

// Results of the text readers.
enum NumberTextStatus : int32_t {
    NUMBER_TEXT_OK = 0,
    NUMBER_TEXT_INVALID = -1,   // a character outside the syntax, or no digit
    NUMBER_TEXT_OVERFLOW = -2,  // the value does not fit in 32 bits
};

// Longest text `number_text_to_float` accepts, in characters.
constexpr uint32_t kFloatTextMaxChars = 312;

// Decimal integer: an optional "+" or "-", then digits; "'" may stand
// anywhere after the sign and is skipped. At least one digit is needed.
// -2147483648 is accepted. [chars] holds [count] units of [unit] bytes.
int32_t number_text_to_integer(const uint8_t* chars, uint32_t unit, uint32_t count, NumberTextStatus& status);

// Float: at most 312 characters; "," reads as "."; "'" separators are
// allowed where the float syntax allows them and skipped; the rest is read
// with correct rounding. [exp_adjust] is added to the decimal exponent (-2
// reads a percentage as its fraction). Returns 0.0 with status INVALID on
// failure.
double number_text_to_float(const uint8_t* chars, uint32_t unit, uint32_t count, int exp_adjust,
                            NumberTextStatus& status);

// The float syntax check on bytes: optional signs, digits with "'"
// between them, an optional "." and fraction, an optional exponent with at
// least one digit. "." stands for both decimal marks here.
bool number_float_syntax_q(const char* text, size_t n);

// Hexadecimal: at most 8 digits 0-9, A-F, a-f, read as the 32 bits of the
// result (so "FFFFFFFF" is -1). Anything else is INVALID; no digits give 0.
int32_t number_text_to_hex(const uint8_t* chars, uint32_t unit, uint32_t count, NumberTextStatus& status);

}  // namespace kel
