// float!: cells, IEEE arithmetic, tolerant and exact comparison, rounding,
// conversions and text. percent! and time! inherit these actions; where the
// result type or a default depends on them, the code below names them.
#include "runtime/datatypes/float.h"

#include <bit>
#include <cmath>
#include <limits>

#include "runtime/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/number_convert.h"
#include "runtime/stack.h"

namespace kel {

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

Cell type_cell(int32_t type) {
    Cell c;
    datatype_set(&c, type);
    return c;
}

[[noreturn]] void raise_bad_to_arg(int32_t type, const Cell* value) {
    Cell dt = type_cell(type);
    error_raise(ErrCat::Script, "bad-to-arg", &dt, value);
}

[[noreturn]] void raise_invalid_type(int32_t type) {
    Cell dt = type_cell(type);
    error_raise(ErrCat::Script, "invalid-type", &dt);
}

[[noreturn]] void raise_with_word(const char* id, int32_t type) {
    Cell word, dt = type_cell(type);
    number_call_word(&word);
    error_raise(ErrCat::Script, id, &word, &dt);
}

template <typename Fn> Fn need_service(Fn fn) {
    if (!fn) error_raise(ErrCat::Internal, "not-done");
    return fn;
}

inline void put_typed(Cell* c, int32_t type, double d) {
    cell_set(c, static_cast<uint32_t>(type));
    cell_put_float(c, d);
}

// Doubles mapped onto unsigned integers in the order of their values, so
// that neighbouring doubles differ by 1 (+0.0 and -0.0 map alike).
inline uint64_t ordered_bits(double d) {
    uint64_t b = std::bit_cast<uint64_t>(d);
    return b >> 63 ? 0 - b : b | 0x8000000000000000u;
}
inline uint32_t ordered_bits32(float f) {
    uint32_t b = std::bit_cast<uint32_t>(f);
    return b >> 31 ? 0 - b : b | 0x80000000u;
}

// [m] x 10^[e], correctly rounded from the shortest decimal text of [m], so
// that [15 -1] gives 1.5 as written rather than 15 x 0.1.
double scale_by_power_of_ten(double m, int32_t e) {
    if (m == 0.0 || !std::isfinite(m)) return m;
    FloatDigits fd;
    float_digits(m, 0, fd);
    int64_t adjust = int64_t(fd.decpt) - fd.count + e;
    // Beyond these bounds every result is an infinity or zero already.
    if (adjust > 100000) adjust = 100000;
    if (adjust < -100000) adjust = -100000;
    double r = float_strtod(fd.digits, fd.digits + fd.count, static_cast<int>(adjust), nullptr);
    return fd.negative ? -r : r;
}

// make/to from a block: exactly [mantissa exponent], each integer! or float!.
double float_from_block(const Cell* block, int32_t target) {
    SeriesBuf* buf = node_buffer(block->data2);
    uint32_t cells = buf->used_bytes() / sizeof(Cell);
    if (block->data1 >= cells || cells - block->data1 != 2) raise_bad_to_arg(target, block);
    const Cell* items = reinterpret_cast<const Cell*>(buf->head_ptr()) + block->data1;
    double parts[2];
    for (int i = 0; i < 2; i++) {
        const Cell* item = items + i;
        if (item->is(TYPE_INTEGER)) parts[i] = integer_get(item);
        else if (item->is(TYPE_FLOAT)) parts[i] = float_get(item);
        else raise_bad_to_arg(TYPE_FLOAT, item);
    }
    int32_t exponent;
    if (!float_to_int32(parts[1], exponent)) raise_bad_to_arg(TYPE_FLOAT, items + 1);
    return scale_by_power_of_ten(parts[0], exponent);
}

// make/to from text. A percent! target reads the text as a value would
// load: an integer, a float, or a number followed by "%".
double float_from_text(const Cell* text, int32_t target) {
    TextRun run = text_run_of(text);
    NumberTextStatus status = NUMBER_TEXT_INVALID;
    double d = 0.0;
    if (target != TYPE_PERCENT) {
        d = number_text_to_float(run.chars, run.unit, run.count, 0, status);
    } else if (run.count > 0 && string_unit_at(run.chars, run.unit, run.count - 1) == '%') {
        d = number_text_to_float(run.chars, run.unit, run.count - 1, -2, status);
    } else {
        int32_t n = number_text_to_integer(run.chars, run.unit, run.count, status);
        d = status == NUMBER_TEXT_OK ? n : number_text_to_float(run.chars, run.unit, run.count, 0, status);
    }
    if (status != NUMBER_TEXT_OK) raise_bad_to_arg(target, text);
    return d;
}

// Rounds [q] to a whole number by the refinements of round.
double round_quotient(double q, const RoundArgs& args) {
    if (args.down) return std::trunc(q);
    if (args.floor) return std::floor(q);
    if (args.ceiling) return std::ceil(q);
    double whole = std::trunc(std::fabs(q));
    double fraction = std::fabs(q) - whole;
    double r;
    if (fraction < 0.5) r = whole;
    else if (fraction > 0.5) r = whole + 1;
    else if (args.even) r = std::fmod(whole, 2.0) == 0.0 ? whole : whole + 1;
    else if (args.half_down) r = whole;
    else if (args.half_ceiling) return std::ceil(q);
    else r = whole + 1;
    return std::copysign(r, q);
}

}  // namespace

// ---------------------------------------------------------------------------
// Cells and predicates

void float_set_result(double d) { float_set_cell(stack_arguments(), d); }

Cell* float_push64(double d) { return float_set_cell(stack_push_cell(), d); }

Cell* float_push(uint32_t low, uint32_t high) {
    Cell* c = stack_push_cell();
    cell_set(c, TYPE_FLOAT, 0, low, high);
    return c;
}

Cell* float_append_cell(const Cell* block, double d) { return float_set_cell(block_append_slot(block), d); }

double float_abs(double d) { return std::fabs(d); }
bool float_nan_q(double d) { return std::isnan(d); }
bool float_nan_q32(float f) { return std::isnan(f); }
bool float_not_finite_q(double d) { return !std::isfinite(d); }

// An infinity is close only to itself: without that rule the largest finite
// double would equal infinity, one ordered step away.
bool float_almost_equal_q(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) < kEpsilon) return true;
    uint64_t ua = ordered_bits(a), ub = ordered_bits(b);
    uint32_t ha = static_cast<uint32_t>(ua >> 32), hb = static_cast<uint32_t>(ub >> 32);
    if ((ha > hb ? ha - hb : hb - ha) > 1) return false;
    return (ua > ub ? ua - ub : ub - ua) <= 10;
}

bool float_almost_equal_q32(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;  // also +0.0 and -0.0
    constexpr float kMax = std::numeric_limits<float>::max();
    if (std::fabs(a) >= kMax || std::fabs(b) >= kMax) {
        if (std::signbit(a) != std::signbit(b)) return false;
        int64_t ia = std::bit_cast<int32_t>(a), ib = std::bit_cast<int32_t>(b);
        return (ia > ib ? ia - ib : ib - ia) < 0x100000;
    }
    uint32_t ua = ordered_bits32(a), ub = ordered_bits32(b);
    return (ua > ub ? ua - ub : ub - ua) <= 10;
}

// ---------------------------------------------------------------------------
// Arithmetic

double float_do_op(double a, double b, int32_t op) {
    switch (op) {
    case OP_ADD: return a + b;
    case OP_SUB: return a - b;
    case OP_MUL: return a * b;
    case OP_DIV: return a / b;
    case OP_REM:
        if (std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
        if (std::isinf(b)) return std::isfinite(a) ? a : std::numeric_limits<double>::quiet_NaN();
        return std::fmod(a, b);
    default:
        raise_with_word("cannot-use", TYPE_FLOAT);
    }
}

void float_do_math(int32_t op) {
    Cell* args = stack_arguments();
    const Cell* value2 = args + 1;
    int32_t left = args->type(), right = value2->type();
    switch (right) {
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
        break;
    case TYPE_CHAR:
        if (left == TYPE_PERCENT || left == TYPE_TIME) raise_invalid_type(right);
        break;
    default:
        if (number_math_hand_over(op, left)) return;
        raise_invalid_type(right);
    }
    double a = left == TYPE_INTEGER ? double(integer_get(args)) : float_get(args);
    double b = right == TYPE_INTEGER || right == TYPE_CHAR ? double(integer_get(value2)) : float_get(value2);
    double r = float_do_op(a, b, op);
    int32_t type = left == TYPE_TIME || right == TYPE_TIME ? TYPE_TIME
                   : left == TYPE_PERCENT                  ? TYPE_PERCENT
                                                           : TYPE_FLOAT;
    put_typed(args, type, r);
}

void float_add() { float_do_math(OP_ADD); }
void float_subtract() { float_do_math(OP_SUB); }
void float_multiply() { float_do_math(OP_MUL); }
void float_divide() { float_do_math(OP_DIV); }
void float_remainder() { float_do_math(OP_REM); }

void float_absolute() {
    Cell* value = stack_arguments();
    cell_put_float(value, std::fabs(float_get(value)));
}

// 0.0 - x rather than -x: negating 0.0 gives 0.0, not -0.0.
Cell* float_negate(Cell* value) {
    cell_put_float(value, 0.0 - float_get(value));
    return value;
}

void float_power() {
    Cell* args = stack_arguments();
    const Cell* exponent = args + 1;
    double e;
    if (exponent->is(TYPE_INTEGER)) e = integer_get(exponent);
    else if (exponent->is(TYPE_FLOAT)) e = float_get(exponent);
    else number_raise_expect_arg(exponent);
    float_set_cell(args, std::pow(float_get(args), e));
}

bool float_even_q(const Cell* value) { return !float_trunc_odd_q(float_get(value)); }
bool float_odd_q(const Cell* value) { return float_trunc_odd_q(float_get(value)); }

// ---------------------------------------------------------------------------
// Comparison

int32_t float_compare_numbers(double a, double b, int32_t op) {
    switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
        return float_almost_equal_q(a, b) ? 0 : 1;
    case COMP_STRICT_EQUAL:
        return a == b ? 0 : 1;
    case COMP_SAME:
        return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) ? 0 : 1;
    default:
        break;
    }
    bool na = std::isnan(a), nb = std::isnan(b);
    if (na || nb) {
        switch (op) {
        case COMP_LESSER:
        case COMP_LESSER_EQUAL:
            return 1;
        case COMP_GREATER:
        case COMP_GREATER_EQUAL:
            return -1;
        case COMP_SORT:
        case COMP_CASE_SORT:
            return na == nb ? 0 : na ? 1 : -1;
        default:
            return na && nb ? 0 : 1;
        }
    }
    return (a > b) - (a < b);
}

int32_t float_compare(const Cell* value1, const Cell* value2, int32_t op) {
    int32_t type2 = value2->type();
    if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && type2 != value1->type()) return 1;
    double a = float_get(value1), b;
    switch (type2) {
    case TYPE_INTEGER:
        b = integer_get(value2);
        break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
        b = float_get(value2);
        break;
    case TYPE_MONEY: {
        // Magnitudes no money! can hold are unequal to every amount.
        double m = std::fabs(a);
        if (m > 0.0 && m < 1e-5) return -1;
        if (m >= 1e17) return 1;
        return number_compare_with_money(value1, value2, op);
    }
    default:
        return kCompareIncomparable;
    }
    return float_compare_numbers(a, b, op);
}

// ---------------------------------------------------------------------------
// Conversion, text, random, round

Cell* float_make(Cell* proto, Cell* spec, int32_t type) {
    int32_t target = type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT;
    double d;
    switch (spec->type()) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
        d = integer_get(spec);
        break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
        d = float_get(spec);
        break;
    case TYPE_MONEY:
        if (!g_number_services.money_to_float) raise_bad_to_arg(target, spec);
        d = g_number_services.money_to_float(spec);
        break;
    case TYPE_BINARY: {
        // Up to 8 bytes, big-endian, in the low bits of the double's pattern.
        TextRun run = text_run_of(spec);
        uint64_t bits = 0;
        for (uint32_t i = 0; i < run.count && i < 8; i++) bits = bits << 8 | run.chars[i];
        d = std::bit_cast<double>(bits);
        break;
    }
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH:
        d = float_from_block(spec, target);
        break;
    default:
        if (!any_string_type_q(spec->type())) raise_bad_to_arg(target, spec);
        d = float_from_text(spec, target);
        break;
    }
    put_typed(proto, target, d);
    return proto;
}

int32_t float_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    char text[kFloatFormNumberMax];
    size_t n = float_form_number_to(text, float_get(value), kFormFloat, float_options.pretty);
    string_append_ascii(buffer, text, n);
    return limit - static_cast<int32_t>(n);
}

int32_t float_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    char text[kFloatFormDigitsMax];
    size_t n = float_mold_to(text, float_get(value));
    string_append_ascii(buffer, text, n);
    return limit - static_cast<int32_t>(n);
}

// The draw is scaled to a fraction in 0 .. 1 before it meets [max]: the
// product the other way round overflows to infinity for a [max] near the
// largest double.
double float_random_scaled(double max, bool secure) {
    if (secure) {
        auto draw = need_service(g_number_services.random_secure);
        double r1 = draw(), r2 = draw();
        return (r2 + r1 / 2147483647.0) / 2147483648.0 * max;
    }
    return need_service(g_number_services.random_next)() / 2147483647.0 * max;
}

Cell* float_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        need_service(g_number_services.random_seed)(static_cast<int32_t>(value->data2 ^ value->data3));
        cell_set_unset(value);
        return value;
    }
    cell_put_float(value, float_random_scaled(float_get(value), secure));
    return value;
}

// Rounds to a multiple of the scale. A scale below 1 multiplies by its
// reciprocal, which is exact for the common decimal scales (1 / 0.01 is
// 100.0) where dividing by the scale is not; a scale so small that its
// reciprocal would overflow is brought up by its binary exponent first.
Cell* float_round(Cell* value, const RoundArgs& args) {
    int32_t value_type = value->type();
    double v = float_get(value);
    double scale = value_type == TYPE_PERCENT ? 0.01 : 1.0;
    int32_t result_type = value_type;
    if (args.to) {
        const Cell* to = args.to;
        switch (to->type()) {
        case TYPE_MONEY:
            raise_with_word("not-related", TYPE_MONEY);
        case TYPE_INTEGER:
            scale = integer_get(to);
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            scale = float_get(to);
            break;
        default:
            number_raise_expect_arg(to);
        }
        result_type = to->type();
        scale = std::fabs(scale);
        if (value_type == TYPE_PERCENT) scale /= 100;
    }
    // A zero scale, or one finer than the value's own precision, keeps the
    // value; an integer! scale still asks for an integer!, which a value that
    // coarse (or infinite) never fits.
    if (scale == 0.0) return value;
    if (scale < std::fabs(v) * 0x1p-53) {
        if (result_type == TYPE_INTEGER) float_to_int32_limit(v, TYPE_INTEGER);
        return value;
    }

    double result;
    if (scale < 1.0) {
        int shift = 0;
        double s = scale, x = v;
        int binary_exponent = std::ilogb(scale);
        if (binary_exponent <= -1022) {
            shift = binary_exponent;
            s = std::ldexp(scale, -shift);
            x = std::ldexp(v, -shift);
        }
        double reciprocal = 1.0 / s;
        result = round_quotient(x * reciprocal, args) / reciprocal;
        if (shift) result = std::ldexp(result, shift);
    } else {
        result = round_quotient(v / scale, args) * scale;
        if (std::isinf(result)) error_raise(ErrCat::Math, "overflow");
    }

    if (result_type == TYPE_INTEGER) {
        int32_t n = float_to_int32_limit(result, TYPE_INTEGER);
        cell_set(value, TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0);
    } else {
        put_typed(value, result_type, result);
    }
    return value;
}

void float_init() {
    TypeRow(TYPE_FLOAT)
        .set<ACT_MAKE>(float_make)
        .set<ACT_RANDOM>(float_random)
        .set<ACT_TO>(float_make)
        .set<ACT_FORM>(float_form)
        .set<ACT_MOLD>(float_mold)
        .set<ACT_COMPARE>(float_compare)
        .set<ACT_ABSOLUTE>(float_absolute)
        .set<ACT_ADD>(float_add)
        .set<ACT_DIVIDE>(float_divide)
        .set<ACT_MULTIPLY>(float_multiply)
        .set<ACT_NEGATE>(float_negate)
        .set<ACT_POWER>(float_power)
        .set<ACT_REMAINDER>(float_remainder)
        .set<ACT_ROUND>(float_round)
        .set<ACT_SUBTRACT>(float_subtract)
        .set<ACT_EVEN_Q>(float_even_q)
        .set<ACT_ODD_Q>(float_odd_q)
        .commit();
}

}  // namespace kel
