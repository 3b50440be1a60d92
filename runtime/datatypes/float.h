// float!: 64-bit IEEE 754 numbers, and the numeric core of percent! and
// time!, which keep their double in the same place and inherit these
// actions.
//
// Cell: header type 12 (percent! 38, time! 43); data1 unused (0); data2 and
// data3 the double's low and high 32 bits (machine little-endian layout),
// read and written with memcpy.
//
// Arithmetic never raises for overflow or division by zero: the IEEE
// special values result. Text: mold is the shortest round-trip text; form
// follows the float options (runtime/float_text.h).
#pragma once
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kel {

inline double float_get(const Cell* c) { return cell_get_float(c); }
// Writes a whole float! header and [d] into [c].
inline Cell* float_set_cell(Cell* c, double d) {
    cell_set(c, TYPE_FLOAT);
    cell_put_float(c, d);
    return c;
}
// The result slot becomes a float! holding [d].
void float_set_result(double d);
Cell* float_push64(double d);
Cell* float_push(uint32_t low, uint32_t high);
// Appends a float! at the tail of [block]; valid until the next allocation.
Cell* float_append_cell(const Cell* block, double d);

double float_abs(double d);  // sign bit cleared
bool float_nan_q(double d);
bool float_nan_q32(float f);
bool float_not_finite_q(double d);

// Tolerant equality of `=`: neither is NaN and a = b, or |a - b| < 2^-52,
// or the two are at most 10 units in the last place apart.
bool float_almost_equal_q(double a, double b);
bool float_almost_equal_q32(float a, float b);

// [a] op [b] for OP_ADD .. OP_REM with IEEE results (x / 0 is an infinity
// or NaN). Remainder: fmod for a finite [b]; NaN for a NaN [b]; for an
// infinite [b], [a] when finite, else NaN. Other operators raise script
// `cannot-use`.
double float_do_op(double a, double b, int32_t op);
// The float! math action [op] on the two frame arguments; the first may be
// an integer!, float!, percent! or time!.
void float_do_math(int32_t op);

// The comparison of two doubles under a comparison operator: -1, 0 or 1.
// `=` is tolerant, `==` exact, `same?` bitwise; with a NaN every ordering
// is false, `find` matches NaN only with NaN, and sorting puts NaN last.
int32_t float_compare_numbers(double a, double b, int32_t op);

// A random double in 0 .. [max].
double float_random_scaled(double max, bool secure);

// Action implementations (slot signatures of runtime/actions.h).
Cell* float_make(Cell* proto, Cell* spec, int32_t type);
Cell* float_random(Cell* value, bool seed, bool secure, bool only);
int32_t float_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t float_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent);
int32_t float_compare(const Cell* value1, const Cell* value2, int32_t op);
void float_absolute();
void float_add();
void float_divide();
void float_multiply();
Cell* float_negate(Cell* value);
void float_power();
void float_remainder();
Cell* float_round(Cell* value, const RoundArgs& args);
void float_subtract();
bool float_even_q(const Cell* value);
bool float_odd_q(const Cell* value);

// Registers float!.
void float_init();

}  // namespace kel
