// Trigonometric, logarithm, root, max/min, shift and to-hex natives.
#include <cmath>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/natives.h"
#include "runtime/natives/sys_natives.h"
#include "runtime/number_convert.h"
#include "runtime/stack.h"

namespace kel {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTrigEpsilon = 2.220446049250313e-16;

Cell* arg(uint32_t i) { return stack_arguments() + i; }

void float_result(double d) {
    float_set_cell(stack_arguments(), d);
    stack_keep();
}

void integer_result(int32_t n) {
    cell_set(stack_arguments(), TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0);
    stack_keep();
}

double small_to_zero(double d) { return std::fabs(d) < kTrigEpsilon ? 0.0 : d; }

bool float_like(const Cell* v) { return v->is(TYPE_FLOAT) || v->is(TYPE_PERCENT); }
bool plain_number(const Cell* v) { return v->is(TYPE_INTEGER) || float_like(v); }
bool composite(const Cell* v) {
    return v->is(TYPE_PAIR) || v->is(TYPE_POINT2D) || v->is(TYPE_POINT3D) || v->is(TYPE_TUPLE);
}

using MathFn = double (*)(double);

void unary_float(int index, int32_t check, const int32_t* refs, MathFn fn) {
    if (check) natives_check_args(index, refs);
    natives_arg_to_float();
    float_result(fn(float_get(stack_arguments())));
}

}  // namespace

void natives_arg_to_float() {
    Cell* a = stack_arguments();
    if (a->is(TYPE_INTEGER)) float_set_cell(a, static_cast<double>(integer_get(a)));
    else if (a->is(TYPE_PERCENT)) cell_set_type(a, TYPE_FLOAT);
}

double natives_number_to_float(const Cell* value) {
    return value->is(TYPE_INTEGER) ? static_cast<double>(integer_get(value)) : float_get(value);
}

int32_t natives_number_to_integer(const Cell* value) {
    if (value->is(TYPE_INTEGER)) return integer_get(value);
    return float_to_int32_limit(float_get(value), TYPE_INTEGER);
}

double natives_angle_arg(int32_t radians, int fold) {
    natives_arg_to_float();
    double d = float_get(stack_arguments());
    if (radians < 0) {
        d = math_degrees_to_radians(d, fold);
        cell_put_float(stack_arguments(), d);
    }
    return d;
}

void natives_inverse_trig(int32_t radians, int kind) {
    natives_arg_to_float();
    double d = float_get(stack_arguments());
    double r;
    switch (kind) {
    case 0: r = std::atan(d); break;
    case 1: r = std::acos(d); break;
    case 2: r = std::asin(d); break;
    default: fatal_runtime_error(101);
    }
    if (radians < 0) r = r * 180.0 / kPi;
    float_result(r);
}

void native_sine(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(55, refs);
    float_result(small_to_zero(std::sin(natives_angle_arg(refs[0], kAngleReflect))));
}

void native_cosine(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(56, refs);
    float_result(small_to_zero(std::cos(natives_angle_arg(refs[0], kAngleKeep))));
}

void native_tangent(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(57, refs);
    double a = natives_angle_arg(refs[0], kAngleHalfTurn);
    if (a == kPi / 2) return float_result(HUGE_VAL);
    if (a == -kPi / 2) return float_result(-HUGE_VAL);
    float_result(std::tan(a));
}

void native_arcsine(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(58, refs);
    natives_inverse_trig(refs[0], 2);
}

void native_arccosine(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(59, refs);
    natives_inverse_trig(refs[0], 1);
}

void native_arctangent(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(60, refs);
    natives_inverse_trig(refs[0], 0);
}

void native_arctangent2(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(61, refs);
    double r = std::atan2(natives_number_to_float(arg(0)), natives_number_to_float(arg(1)));
    if (refs[0] < 0) r = r * 180.0 / kPi;
    float_result(r);
}

void native_log_2(int32_t check, const int32_t* refs) {
    unary_float(63, check, refs, [](double d) { return std::log(d) / 0.6931471805599453; });
}
void native_log_10(int32_t check, const int32_t* refs) {
    unary_float(64, check, refs, [](double d) { return std::log10(d); });
}
void native_log_e(int32_t check, const int32_t* refs) {
    unary_float(65, check, refs, [](double d) { return std::log(d); });
}
void native_exp(int32_t check, const int32_t* refs) {
    unary_float(66, check, refs, [](double d) { return std::pow(2.718281828459045, d); });
}
void native_square_root(int32_t check, const int32_t* refs) {
    unary_float(67, check, refs, [](double d) { return std::sqrt(d); });
}

// The second argument stays below the stack top, where the collector sees
// it, until the comparison (which may allocate and collect) is done.
void natives_minmax(bool max) {
    Cell* a = arg(0);
    Cell* b = arg(1);
    bool take_b;
    if (float_like(a) && std::isnan(float_get(a)) && plain_number(b)) {
        take_b = false;
    } else if (float_like(b) && std::isnan(float_get(b)) && plain_number(a)) {
        take_b = true;
    } else {
        // The component-wise forms wait for pair!, tuple! and the points.
        if (composite(a) || composite(b)) error_raise(ErrCat::Internal, "not-done");
        bool lesser = actions_compare_call(a, b, COMP_LESSER);
        take_b = max ? lesser : !lesser;
    }
    if (take_b) copy_cell(b, a);
    stack_keep();
}

void native_max(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(51, refs);
    natives_minmax(true);
}

void native_min(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(52, refs);
    natives_minmax(false);
}

void native_shift(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(53, refs);
    int32_t data = integer_get(arg(0));
    int32_t bits = integer_get(arg(1));
    if (bits < 0) bits = 0;
    int32_t r;
    if (refs[0] >= 0) r = bits > 31 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) << bits);
    else if (refs[1] >= 0) r = bits > 31 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) >> bits);
    else r = bits > 31 ? (data < 0 ? -1 : 0) : data >> bits;
    integer_result(r);
}

void native_to_hex(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(54, refs);
    uint32_t v = static_cast<uint32_t>(integer_get(arg(0)));
    int32_t keep = 8;
    if (refs[0] >= 0) {
        const Cell* length = arg(static_cast<uint32_t>(refs[0]));
        int32_t n = integer_get(length);
        if (n <= 0) error_raise(ErrCat::Script, "invalid-arg", length);
        if (n < 8) keep = n;
    }
    static const char* kDigits = "0123456789ABCDEF";
    char text[9];
    for (int i = 0; i < 8; i++) text[i] = kDigits[(v >> (28 - 4 * i)) & 15];
    text[8] = 0;
    Cell issue;
    issue_make_at(&issue, text + 8 - keep);
    copy_cell(&issue, stack_arguments());
    stack_keep();
}

}  // namespace kel
