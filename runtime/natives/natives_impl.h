// The native implementations (calling protocol in runtime/natives.h).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

#define KEL_NATIVE(name) void name(int32_t check, const int32_t* refs)
// Control and function makers.
KEL_NATIVE(native_if);
KEL_NATIVE(native_unless);
KEL_NATIVE(native_either);
KEL_NATIVE(native_any);
KEL_NATIVE(native_all);
KEL_NATIVE(native_switch);
KEL_NATIVE(native_case);
KEL_NATIVE(native_func);
KEL_NATIVE(native_function);
KEL_NATIVE(native_does);
KEL_NATIVE(native_has);
// Loops.
KEL_NATIVE(native_while);
KEL_NATIVE(native_until);
KEL_NATIVE(native_loop);
KEL_NATIVE(native_repeat);
KEL_NATIVE(native_forever);
KEL_NATIVE(native_foreach);
KEL_NATIVE(native_forall);
KEL_NATIVE(native_remove_each);
// Comparison.
KEL_NATIVE(native_equal_q);
KEL_NATIVE(native_not_equal_q);
KEL_NATIVE(native_strict_equal_q);
KEL_NATIVE(native_lesser_q);
KEL_NATIVE(native_greater_q);
KEL_NATIVE(native_lesser_or_equal_q);
KEL_NATIVE(native_greater_or_equal_q);
KEL_NATIVE(native_same_q);
KEL_NATIVE(native_not);
// Predicates.
KEL_NATIVE(native_type_q);
KEL_NATIVE(native_complement_q);
KEL_NATIVE(native_negative_q);
KEL_NATIVE(native_positive_q);
KEL_NATIVE(native_sign_q);
KEL_NATIVE(native_zero_q);
KEL_NATIVE(native_nan_q);
// Set operations.
KEL_NATIVE(native_unique);
KEL_NATIVE(native_union);
KEL_NATIVE(native_intersect);
KEL_NATIVE(native_exclude);
KEL_NATIVE(native_difference);
// Evaluation, words and printing.
KEL_NATIVE(native_do);
KEL_NATIVE(native_get);
KEL_NATIVE(native_set);
KEL_NATIVE(native_print);
KEL_NATIVE(native_prin);
KEL_NATIVE(native_reduce);
KEL_NATIVE(native_compose);
KEL_NATIVE(native_bind);
KEL_NATIVE(native_in);
// Words, contexts, list markers and value building.
KEL_NATIVE(native_construct);
KEL_NATIVE(native_value_q);
KEL_NATIVE(native_uppercase);
KEL_NATIVE(native_lowercase);
KEL_NATIVE(native_as_pair);
KEL_NATIVE(native_as_point2d);
KEL_NATIVE(native_as_point3d);
KEL_NATIVE(native_as_money);
KEL_NATIVE(native_extend);
KEL_NATIVE(native_unset);
KEL_NATIVE(native_new_line);
KEL_NATIVE(native_new_line_q);
KEL_NATIVE(native_context_q);
KEL_NATIVE(native_as);
KEL_NATIVE(native_apply);
// Non-local exits.
KEL_NATIVE(native_try);
KEL_NATIVE(native_break);
KEL_NATIVE(native_continue);
KEL_NATIVE(native_exit);
KEL_NATIVE(native_return);
KEL_NATIVE(native_throw);
KEL_NATIVE(native_catch);
#undef KEL_NATIVE

// Script `expect-arg` naming the innermost call, the value's datatype and
// the argument word `arg`.
[[noreturn]] void natives_raise_expect_arg(const Cell* value, const char* arg);
// A word! of the global context spelling `name`.
Cell natives_global_word(const char* name);

// Truth of a value: false for none! and a false logic!.
inline bool value_false_q(const Cell* v) { return v->is(TYPE_NONE) || (v->is(TYPE_LOGIC) && v->data1 == 0); }
// The checked truth: unset! raises script `no-return`. Inline: every
// conditional and loop test asks it, and nearly always of a logic! value.
[[noreturn]] void value_truth_unset();
inline bool value_true_checked(const Cell* v) {
    if (v->is(TYPE_UNSET)) value_truth_unset();
    return !value_false_q(v);
}

// Loop iteration steps (the loop frame's arguments pointer is the base:
// cell -1 the word or words, cell -2 the series, cell -3 remove-each's count).
bool natives_series_has_more(const Cell* series);
bool natives_foreach_step(uint32_t n);
bool natives_loop_step();
void natives_remove_each_step(uint32_t n);
void natives_loop_count_to_integer();

}  // namespace kel
