// The math, encoding, checksum and system natives, and the conversions they
// share (calling protocol in runtime/natives.h: arguments in the current
// frame, refinement positions in [refs], the result left in the result
// slot).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

#define KEL_NATIVE(name) void name(int32_t check, const int32_t* refs)
// Trigonometry, logarithms, roots, max/min, shifts and hex.
KEL_NATIVE(native_sine);
KEL_NATIVE(native_cosine);
KEL_NATIVE(native_tangent);
KEL_NATIVE(native_arcsine);
KEL_NATIVE(native_arccosine);
KEL_NATIVE(native_arctangent);
KEL_NATIVE(native_arctangent2);
KEL_NATIVE(native_log_2);
KEL_NATIVE(native_log_10);
KEL_NATIVE(native_log_e);
KEL_NATIVE(native_exp);
KEL_NATIVE(native_square_root);
KEL_NATIVE(native_max);
KEL_NATIVE(native_min);
KEL_NATIVE(native_shift);
KEL_NATIVE(native_to_hex);
// Percent-encoding and base encodings.
KEL_NATIVE(native_dehex);
KEL_NATIVE(native_enhex);
KEL_NATIVE(native_debase);
KEL_NATIVE(native_enbase);
// Checksums.
KEL_NATIVE(native_checksum);
// Time, processes, environment, files and the collector.
KEL_NATIVE(native_stats);
KEL_NATIVE(native_size_q);
KEL_NATIVE(native_to_local_file);
KEL_NATIVE(native_wait);
KEL_NATIVE(native_set_env);
KEL_NATIVE(native_get_env);
KEL_NATIVE(native_list_env);
KEL_NATIVE(native_now);
KEL_NATIVE(native_call);
KEL_NATIVE(native_browse);
KEL_NATIVE(native_recycle);
#undef KEL_NATIVE

// The first argument becomes a float! in place: an integer! by value, a
// percent! retyped (50% becomes 0.5), a float! as it is.
void natives_arg_to_float();
// The value of an integer! or float! as a double.
double natives_number_to_float(const Cell* value);
// An integer! as it is, a float! truncated toward zero; NaN or out of range
// raises script `type-limit` with integer!.
int32_t natives_number_to_integer(const Cell* value);
// Converts the argument to float! and, without /radians ([radians] < 0),
// reads it as degrees folded by [fold] (runtime/float_text.h) into radians.
double natives_angle_arg(int32_t radians, int fold);
// atan (kind 0), acos (1) or asin (2) of the argument, in degrees unless
// /radians.
void natives_inverse_trig(int32_t radians, int kind);
// The larger ([max] true) or smaller of the first two arguments into the
// result slot.
void natives_minmax(bool max);

// Bytes in use by the memory manager; with [block] (mode 2) the detailed
// figures are appended to it.
double runtime_memory_stats(int mode, Cell* block);

}  // namespace kel
