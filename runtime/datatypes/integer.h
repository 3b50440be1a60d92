// integer!: the 32-bit signed whole number, and the integer arithmetic core
// that char!, pair!, tuple! and vector! share.
//
// Cell: header type 11 (flags above the type byte); data1 unused (0); data2
// the value as the bits of an int32; data3 unused (0). char! keeps its code
// point in the same word, so routines that read data2 serve both.
//
// Arithmetic stays in int32 and tests the overflow flag; a result that does
// not fit, and a division that is not exact, become float! instead.
#pragma once
#include <cstdint>
#include <string>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kel {

inline int32_t integer_get(const Cell* c) { return static_cast<int32_t>(c->data2); }
inline void integer_put(Cell* c, int32_t v) { c->data2 = static_cast<uint32_t>(v); }
// a % b into *r, unless remainder raises an error for the pair (a zero
// divisor, or the one pair whose quotient overflows).
inline bool integer_remainder_defined(int32_t a, int32_t b, int32_t* r) {
    if (b == 0 || (a == INT32_MIN && b == -1)) return false;
    *r = a % b;
    return true;
}

// Writes a whole integer! header and the value into the result slot.
void integer_box(int32_t value);
// Pushes a new integer! on the evaluation stack.
Cell* integer_push(int32_t value);
// Makes [cell] an integer! holding [value], keeping its header flags.
Cell* integer_set_cell(Cell* cell, int32_t value);
// Appends an integer! at the tail of [block]; valid until the next allocation.
Cell* integer_append_cell(const Cell* block, int32_t value);
// The result slot's value when it is an integer!, else 0.
int32_t integer_get_result();
inline int32_t integer_get_result_unchecked() { return integer_get(stack_arguments()); }

inline int32_t integer_sign(int32_t n) { return (n > 0) - (n < 0); }
// |n|; math `overflow` for -2147483648.
int32_t integer_abs_checked(int32_t n);
// True when the double of [float_cell] is NaN or outside the int32 bounds.
bool integer_float_out_of_range_q(const Cell* float_cell);

// Decimal text of [n] (no separators, no "+"). The static-buffer form is
// valid until the next call; `integer_form_to` writes at most 11 bytes to
// [out] and returns the length.
const char* integer_form_signed(int32_t n);
size_t integer_form_to(char* out, int32_t n);

// The shared arithmetic on [a] and [b] by [op] (OP_ADD .. OP_XOR). With a
// [float_cell], an overflowing add/subtract/multiply or an inexact divide
// turns that cell into the float! result; otherwise the int32 result goes to
// its data2 (its type byte untouched). Without one, an overflow raises math
// `overflow` and division truncates. Zero divisors raise math `zero-divide`;
// -2147483648 / -1 (and remainder) math `overflow`.
int32_t integer_do_math(int32_t a, int32_t b, int32_t op, Cell* float_cell);
// The integer! math action [op] on the two frame arguments.
void integer_do_math_args(int32_t op);

// A word! cell for the word of the current call, for error arguments.
void number_call_word(Cell* out);

// When the second frame argument is a type that does arithmetic with a
// number on its left (money!, vector!, pair!, point2D!, point3D!, tuple!,
// date!), hands [op] to that type's action and returns true. [left_type]
// is the type of the first argument as seen by its action (integer!,
// float!, percent!, time! or char!). Returns false for other types.
bool number_math_hand_over(int32_t op, int32_t left_type);

// A number compared with a money!: money!'s comparison decides, asked with
// the values the other way round. -2 while money! is not registered.
int32_t number_compare_with_money(const Cell* number, const Cell* money, int32_t op);

// Script `expect-arg` for an operand of a type the current action refuses
// (the call's word, the operand's datatype).
[[noreturn]] void number_raise_expect_arg(const Cell* value);

// Services of modules that are built separately. Each module sets its
// entries when it starts; while one is missing, the conversion that needs it
// fails with that conversion's usual error and `random` raises internal
// `not-done`.
struct NumberServices {
    double (*money_to_float)(const Cell* money) = nullptr;
    // Whole part with sign; raises script `type-limit` when out of range.
    int32_t (*money_to_integer)(const Cell* money) = nullptr;
    // Seconds since 1-Jan-1970 of a date!.
    int32_t (*date_to_epoch_seconds)(const Cell* date) = nullptr;
    // The spelling of a word-type cell (issue!) as UTF-8.
    std::string (*word_spelling)(const Cell* word) = nullptr;
    // The random source: reseed; next draw in 0 .. 0x7FFFFFFF from the
    // generator or the secure source; a draw mapped onto 1 .. n (-1 .. n
    // for negative n, 0 for 0).
    void (*random_seed)(int32_t seed) = nullptr;
    int32_t (*random_next)() = nullptr;
    int32_t (*random_secure)() = nullptr;
    int32_t (*random_int)(bool secure, int32_t n) = nullptr;
};
extern NumberServices g_number_services;

// Action implementations (slot signatures of runtime/actions.h).
Cell* integer_make(Cell* proto, Cell* spec, int32_t type);
Cell* integer_to(Cell* proto, Cell* spec, int32_t type);
Cell* integer_random(Cell* value, bool seed, bool secure, bool only);
int32_t integer_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t integer_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                     int32_t limit, int32_t indent);
int32_t integer_compare(const Cell* value1, const Cell* value2, int32_t op);
void integer_absolute();
void integer_add();
void integer_divide();
void integer_multiply();
Cell* integer_negate(Cell* value);
void integer_power();
void integer_remainder();
Cell* integer_round(Cell* value, const RoundArgs& args);
void integer_subtract();
bool integer_even_q(const Cell* value);
bool integer_odd_q(const Cell* value);
void integer_and();
Cell* integer_complement(Cell* value);
void integer_or();
void integer_xor();

// Registers integer! (before char!, which inherits from it).
void integer_init();

}  // namespace kel
