// The shared pieces of the evaluation, comparison, set-operation and
// value-building natives, and the services they take from modules that
// register after them.
//
// A service left null means its module has not been built in: the native
// that needs it raises internal `not-done`, so nothing half-works.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

struct ValueNativeServices {
    // bitset!: the set operation `op` (MathOp 8-12) on the current frame's
    // two arguments, the result in the result slot.
    void (*bitset_do_math)(int32_t op) = nullptr;
    // date!: turns `date1` into the time! from `date2` to it.
    void (*date_difference)(Cell* date1, const Cell* date2) = nullptr;
    // money!: the currency index of a word (0 for none), or -1 when the
    // currency table does not know it.
    int32_t (*money_find_currency)(const Cell* word) = nullptr;
    // money!: the money! of an integer! or float! amount in currency
    // `index`, written into `out`.
    void (*money_from_number)(Cell* out, const Cell* amount, int32_t index) = nullptr;
    // map!: adds the key/value pairs of `spec` (block!, hash! or map!).
    void (*map_extend)(Cell* map, const Cell* spec, bool case_) = nullptr;
};
extern ValueNativeServices g_value_services;

// True after `print`, false after `prin`: whether the last console output
// ended its line (the `last-lf?` routine reads it).
extern bool g_print_newline_flag;

// The identity test of `same?`: same type and the same payload words for the
// type (the same position in the same buffer for series, the same bits for
// floats).
bool natives_same_values(const Cell* value1, const Cell* value2);

// The engine of unique, union, intersect, exclude and difference (MathOp
// codes 8-12) on the current frame's arguments; `case_pos` and `skip_pos`
// are the refinement positions as the native received them. The result is
// left in the result slot.
void natives_set_op(int32_t case_pos, int32_t skip_pos, int32_t op);

// print (newline true) and prin of the current frame's argument: reduces a
// block into the shared print buffer, forms the value and hands the text to
// the print hooks. The result slot becomes unset!.
void natives_print_value(bool newline);

// Calls `callable` (native!, action!, op!, function!, routine!) with
// `values` as its first arguments in interface block order, none! for any further
// argument and every refinement off. The function's value is pushed as a new
// top cell; returns false when an exit is left pending (the stacks are then
// the lander's). The call's frame is named by the word `name`, or left
// anonymous.
bool natives_call_positional(const Cell* callable, const Cell* values, uint32_t count, const Cell* name = nullptr);

// The sorters' comparator call (installed by natives_init): `fn` gets the two
// values as its first arguments; an exit it takes goes on past the sort.
void natives_sort_comparator(const Cell* fn, const Cell* a, const Cell* b, Cell* result);

}  // namespace kel
