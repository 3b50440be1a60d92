// integer!: cells, the shared int32 arithmetic, conversions, text, compare,
// rounding and the integer implementations of the math actions.
#include "runtime/datatypes/integer.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "runtime/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/number_convert.h"

namespace kel {

NumberServices g_number_services;

namespace {

Cell type_cell(int32_t type) {
    Cell c;
    datatype_set(&c, type);
    return c;
}

[[noreturn]] void raise_math(const char* id) { error_raise(ErrCat::Math, id); }

[[noreturn]] void raise_invalid_type(int32_t type) {
    Cell dt = type_cell(type);
    error_raise(ErrCat::Script, "invalid-type", &dt);
}

[[noreturn]] void raise_not_related(int32_t type) {
    Cell word, dt = type_cell(type);
    number_call_word(&word);
    error_raise(ErrCat::Script, "not-related", &word, &dt);
}

[[noreturn]] void raise_bad_to_arg(int32_t type, const Cell* value) {
    Cell dt = type_cell(type);
    error_raise(ErrCat::Script, "bad-to-arg", &dt, value);
}

[[noreturn]] void raise_not_done() { error_raise(ErrCat::Internal, "not-done"); }

// The action slot of each arithmetic operator code.
int32_t math_op_slot(int32_t op) {
    static constexpr int32_t kSlots[] = {ACT_ADD, ACT_SUBTRACT, ACT_MULTIPLY, ACT_DIVIDE,
                                         ACT_REMAINDER, ACT_OR_T, ACT_AND_T, ACT_XOR_T};
    return op >= OP_ADD && op <= OP_XOR ? kSlots[op] : 0;
}

// [type]'s implementation of [op]; a type without one is reported as an
// invalid operand of type [reported].
FrameActionFn math_slot_fn(int32_t type, int32_t op, int32_t reported) {
    int32_t slot = math_op_slot(op);
    AnyAction entry = slot ? action_entry(type, slot) : nullptr;
    if (!entry) raise_invalid_type(reported);
    return reinterpret_cast<FrameActionFn>(entry);
}

void swap_args() {
    Cell* args = stack_arguments();
    Cell first = args[0];
    args[0] = args[1];
    args[1] = first;
}

bool commutative_op(int32_t op) { return op == OP_ADD || op == OP_MUL || op == OP_OR || op == OP_AND || op == OP_XOR; }

// Mirror image of an ordering operator, for comparing with swapped values.
int32_t mirror_compare_op(int32_t op) {
    switch (op) {
    case COMP_LESSER: return COMP_GREATER;
    case COMP_LESSER_EQUAL: return COMP_GREATER_EQUAL;
    case COMP_GREATER: return COMP_LESSER;
    case COMP_GREATER_EQUAL: return COMP_LESSER_EQUAL;
    default: return op;
    }
}

template <typename Fn> Fn need_service(Fn fn) {
    if (!fn) raise_not_done();
    return fn;
}

// b^e for e >= 0 by squaring; false when a product overflows int32.
bool integer_power_exact(int32_t base, int32_t exponent, int32_t& out) {
    int32_t result = 1;
    while (exponent != 0) {
        if ((exponent & 1) && __builtin_mul_overflow(result, base, &result)) return false;
        exponent >>= 1;
        if (exponent != 0 && __builtin_mul_overflow(base, base, &base)) return false;
    }
    out = result;
    return true;
}

// The value given to make and to, as an integer (logic! excepted).
int32_t integer_from_value(const Cell* spec) {
    switch (spec->type()) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
        return integer_get(spec);
    case TYPE_FLOAT:
    case TYPE_PERCENT:
        return float_to_int32_limit(float_get(spec), TYPE_INTEGER);
    case TYPE_TIME:
        // To the nearest second, halves away from zero: adding 0.5 and
        // truncating would take -5:00 to -17999.
        return float_to_int32_limit(std::round(float_get(spec)), TYPE_INTEGER);
    case TYPE_BINARY: {
        TextRun run = text_run_of(spec);
        uint32_t bits = 0;
        for (uint32_t i = 0; i < run.count && i < 4; i++) bits = bits << 8 | run.chars[i];
        return static_cast<int32_t>(bits);
    }
    case TYPE_ISSUE: {
        if (!g_number_services.word_spelling) break;
        std::string name = g_number_services.word_spelling(spec);
        NumberTextStatus status;
        int32_t n = number_text_to_hex(reinterpret_cast<const uint8_t*>(name.data()), 1,
                                       static_cast<uint32_t>(name.size()), status);
        if (status != NUMBER_TEXT_OK) error_raise(ErrCat::Script, "invalid-data", spec);
        return n;
    }
    case TYPE_DATE:
        if (!g_number_services.date_to_epoch_seconds) break;
        return g_number_services.date_to_epoch_seconds(spec);
    case TYPE_MONEY:
        if (!g_number_services.money_to_integer) break;
        return g_number_services.money_to_integer(spec);
    default:
        if (any_string_type_q(spec->type())) {
            TextRun run = text_run_of(spec);
            NumberTextStatus status;
            int32_t n = number_text_to_integer(run.chars, run.unit, run.count, status);
            if (status == NUMBER_TEXT_OK) return n;
        }
        break;
    }
    raise_bad_to_arg(TYPE_INTEGER, spec);
}

}  // namespace

// ---------------------------------------------------------------------------
// Cells

void integer_box(int32_t value) { cell_set(stack_arguments(), TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0); }

Cell* integer_push(int32_t value) {
    Cell* c = stack_push_cell();
    cell_set(c, TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0);
    return c;
}

Cell* integer_set_cell(Cell* cell, int32_t value) {
    cell_set_type(cell, TYPE_INTEGER);
    cell->data1 = 0;
    integer_put(cell, value);
    cell->data3 = 0;
    return cell;
}

Cell* integer_append_cell(const Cell* block, int32_t value) {
    Cell* c = block_append_slot(block);
    cell_set(c, TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0);
    return c;
}

int32_t integer_get_result() {
    const Cell* result = stack_arguments();
    return result->is(TYPE_INTEGER) ? integer_get(result) : 0;
}

int32_t integer_abs_checked(int32_t n) {
    if (n == INT32_MIN) raise_math("overflow");
    return n < 0 ? -n : n;
}

bool integer_float_out_of_range_q(const Cell* float_cell) { return !float_int32_range_q(float_get(float_cell)); }

size_t integer_form_to(char* out, int32_t n) {
    // Written backwards from the last digit's place, two digits per table read.
    static const char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint32_t magnitude = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    size_t sign = n < 0 ? 1 : 0;
    out[0] = '-';  // overwritten by the first digit when there is no sign
    // The digit count from the bit length: floor(bits x 1233 / 4096) is the
    // count of the smallest number of that length less one, or the count
    // itself (at most 9, as bits <= 32); one comparison tells which.
    static const uint32_t kPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
    uint32_t odd = magnitude | 1;  // 0 has one digit, as 1 has
    size_t estimate = ((32 - static_cast<uint32_t>(__builtin_clz(odd))) * 1233) >> 12;
    size_t digits = estimate + (odd >= kPowers[estimate]);
    char* p = out + sign + digits;
    // Four digits a step: the two pairs of a group are divided out side by
    // side, so a six-digit number waits for two divisions, not three.
    while (magnitude >= 10000) {
        uint32_t group = magnitude % 10000;
        magnitude /= 10000;
        p -= 4;
        std::memcpy(p, kPairs + 2 * (group / 100), 2);
        std::memcpy(p + 2, kPairs + 2 * (group % 100), 2);
    }
    if (magnitude >= 100) {
        uint32_t pair = magnitude % 100;
        magnitude /= 100;
        p -= 2;
        std::memcpy(p, kPairs + 2 * pair, 2);
    }
    if (magnitude >= 10) std::memcpy(p - 2, kPairs + 2 * magnitude, 2);
    else p[-1] = static_cast<char>('0' + magnitude);
    return sign + digits;
}

const char* integer_form_signed(int32_t n) {
    static char text[12];
    text[integer_form_to(text, n)] = '\0';
    return text;
}

// ---------------------------------------------------------------------------
// Arithmetic

int32_t integer_do_math(int32_t a, int32_t b, int32_t op, Cell* float_cell) {
    int32_t r;
    double wide;
    switch (op) {
    case OP_ADD:
        if (!__builtin_add_overflow(a, b, &r)) break;
        wide = double(a) + double(b);
        goto overflowed;
    case OP_SUB:
        if (!__builtin_sub_overflow(a, b, &r)) break;
        wide = double(a) - double(b);
        goto overflowed;
    case OP_MUL:
        if (!__builtin_mul_overflow(a, b, &r)) break;
        wide = double(a) * double(b);
        goto overflowed;
    case OP_DIV:
        if (b == 0) raise_math("zero-divide");
        if (a == INT32_MIN && b == -1) raise_math("overflow");
        r = a / b;
        if (float_cell && a % b != 0) {
            float_set_cell(float_cell, double(a) / double(b));
            return r;
        }
        break;
    case OP_REM:
        if (b == 0) raise_math("zero-divide");
        if (a == INT32_MIN && b == -1) raise_math("overflow");
        r = a % b;
        break;
    case OP_OR: r = a | b; break;
    case OP_AND: r = a & b; break;
    case OP_XOR: r = a ^ b; break;
    default: raise_not_done();
    }
    if (float_cell) integer_put(float_cell, r);
    return r;

overflowed:
    if (!float_cell) raise_math("overflow");
    float_set_cell(float_cell, wide);
    return 0;
}

void integer_do_math_args(int32_t op) {
    Cell* args = stack_arguments();
    const Cell* value2 = args + 1;
    switch (value2->type()) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
        integer_do_math(integer_get(args), integer_get(value2), op, args);
        return;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
        float_do_math(op);
        return;
    default:
        if (!number_math_hand_over(op, TYPE_INTEGER)) raise_invalid_type(value2->type());
    }
}

void number_call_word(Cell* out) {
    if (g_stack.frame_top > g_stack.frame_bottom) {
        const CallFrame* frame = stack_current_frame();
        cell_set(out, TYPE_WORD, frame->word_ctx, frame->symbol, 0);
    } else {
        cell_set(out, TYPE_NONE);
    }
}

// A number on the left of a type that computes with numbers element-wise
// or as a scalar: the operands change places and that type does the work.
// Only operations whose result does not depend on the order may change
// places; the others are refused (integer - pair is -pair + integer).
bool number_math_hand_over(int32_t op, int32_t left_type) {
    Cell* args = stack_arguments();
    int32_t right = args[1].type();
    bool integral_left = left_type == TYPE_INTEGER || left_type == TYPE_CHAR;
    int32_t refused_type = integral_left ? left_type : right;
    switch (right) {
    case TYPE_MONEY:
        // money! arithmetic takes its number on either side.
        if (left_type == TYPE_CHAR) return false;
        math_slot_fn(TYPE_MONEY, op, right)();
        return true;
    case TYPE_DATE:
        if (left_type != TYPE_INTEGER) return false;
        if (op != OP_ADD) raise_not_related(TYPE_INTEGER);  // days are added only
        break;
    case TYPE_PAIR:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
        if (left_type == TYPE_CHAR || left_type == TYPE_TIME) return false;
        if (op == OP_SUB && left_type == TYPE_INTEGER) {
            auto negate = reinterpret_cast<UnaryFn>(action_entry(right, ACT_NEGATE));
            if (!negate) raise_invalid_type(right);
            math_slot_fn(right, OP_ADD, right);  // refuse before changing anything
            copy_cell(negate(args + 1), args + 1);
            op = OP_ADD;
        } else if (!commutative_op(op)) {
            raise_not_related(refused_type);
        }
        break;
    case TYPE_TUPLE:
        if (left_type == TYPE_CHAR) return false;
        if (!commutative_op(op)) raise_not_related(refused_type);
        break;
    case TYPE_VECTOR:
        if (!commutative_op(op)) raise_not_related(refused_type);
        break;
    default:
        return false;
    }
    FrameActionFn fn = math_slot_fn(right, op, right);
    swap_args();
    fn();
    return true;
}

// ---------------------------------------------------------------------------
// Actions

Cell* integer_make(Cell* proto, Cell* spec, int32_t type) {
    if (spec->is(TYPE_LOGIC)) {
        cell_set(proto, TYPE_INTEGER, 0, spec->data1 != 0 ? 1u : 0u, 0);
        return proto;
    }
    return integer_to(proto, spec, type);
}

Cell* integer_to(Cell* proto, Cell* spec, int32_t) {
    int32_t n = integer_from_value(spec);
    cell_set(proto, TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0);
    return proto;
}

// Keeps the header: a char! drawn through this action stays a char!.
Cell* integer_random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        need_service(g_number_services.random_seed)(integer_get(value));
        cell_set_unset(value);
        return value;
    }
    int32_t n = integer_get(value);
    if (n != 0) integer_put(value, need_service(g_number_services.random_int)(secure, n));
    return value;
}

int32_t integer_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    char text[12];
    size_t n = integer_form_to(text, integer_get(value));
    string_append_ascii(buffer, text, n);
    return limit - static_cast<int32_t>(n);
}

int32_t integer_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return integer_form(value, buffer, part, limit);
}

int32_t number_compare_with_money(const Cell* number, const Cell* money, int32_t op) {
    auto compare = reinterpret_cast<CompareFn>(action_entry(TYPE_MONEY, ACT_COMPARE));
    if (!compare) return kCompareIncomparable;
    int32_t r = compare(money, number, mirror_compare_op(op));
    return r == kCompareIncomparable ? r : -r;
}

int32_t integer_compare(const Cell* value1, const Cell* value2, int32_t op) {
    int32_t type2 = value2->type();
    // Identity (find/same) is stricter than strict equality: never across types.
    if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && type2 != TYPE_INTEGER) return 1;
    switch (type2) {
    case TYPE_INTEGER:
    case TYPE_CHAR: {
        int32_t a = integer_get(value1), b = integer_get(value2);
        return (a > b) - (a < b);
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
        return float_compare_numbers(double(integer_get(value1)), float_get(value2), op);
    case TYPE_MONEY:
        return number_compare_with_money(value1, value2, op);
    default:
        return kCompareIncomparable;
    }
}

void integer_absolute() {
    Cell* value = stack_arguments();
    integer_put(value, integer_abs_checked(integer_get(value)));
}

void integer_add() { integer_do_math_args(OP_ADD); }
void integer_subtract() { integer_do_math_args(OP_SUB); }
void integer_multiply() { integer_do_math_args(OP_MUL); }
void integer_divide() { integer_do_math_args(OP_DIV); }
void integer_remainder() { integer_do_math_args(OP_REM); }
void integer_or() { integer_do_math_args(OP_OR); }
void integer_and() { integer_do_math_args(OP_AND); }
void integer_xor() { integer_do_math_args(OP_XOR); }

Cell* integer_negate(Cell* value) {
    int32_t n = integer_get(value);
    if (n == INT32_MIN) raise_math("overflow");
    integer_put(value, -n);
    return value;
}

Cell* integer_complement(Cell* value) {
    integer_put(value, ~integer_get(value));
    return value;
}

bool integer_even_q(const Cell* value) { return (integer_get(value) & 1) == 0; }
bool integer_odd_q(const Cell* value) { return (integer_get(value) & 1) != 0; }

void integer_power() {
    Cell* args = stack_arguments();
    const Cell* exponent = args + 1;
    if (!exponent->is(TYPE_INTEGER) && !exponent->is(TYPE_FLOAT)) number_raise_expect_arg(exponent);
    int32_t result;
    if (exponent->is(TYPE_INTEGER) && integer_get(exponent) >= 0 &&
        integer_power_exact(integer_get(args), integer_get(exponent), result)) {
        integer_put(args, result);
        return;
    }
    float_set_cell(args, double(integer_get(args)));
    float_power();
}

void number_raise_expect_arg(const Cell* value) {
    Cell word, none, dt = type_cell(value->type());
    number_call_word(&word);
    cell_set(&none, TYPE_NONE);
    error_raise(ErrCat::Script, "expect-arg", &word, &dt, &none);
}

// Rounding to a multiple of the scale, computed in 64 bits so that neither
// -2147483648 nor a scale of -2147483648 needs a special case; only a result
// outside int32 is an overflow.
Cell* integer_round(Cell* value, const RoundArgs& args) {
    int64_t scale = 1;
    if (args.to) {
        if (args.to->is(TYPE_MONEY)) raise_not_related(TYPE_MONEY);
        if (!args.to->is(TYPE_INTEGER)) {
            float_set_cell(value, double(integer_get(value)));
            return float_round(value, args);
        }
        scale = integer_get(args.to);
        if (scale < 0) scale = -scale;
    }
    int64_t n = integer_get(value);
    if (scale == 0) return value;
    bool negative = n < 0;
    int64_t m = negative ? -n : n;
    int64_t r = m % scale;
    if (r == 0) return value;
    int64_t t = m / scale;
    int64_t down = m - r, up = m + (scale - r);
    int64_t result;
    if (args.down) result = down;
    else if (args.floor) result = negative ? up : down;
    else if (args.ceiling) result = negative ? down : up;
    else if (2 * r < scale) result = down;
    else if (2 * r > scale) result = up;
    else if (args.even) result = (t & 1) ? up : down;
    else if (args.half_down) result = down;
    else if (args.half_ceiling) result = negative ? down : up;
    else result = up;
    if (negative) result = -result;
    if (result < INT32_MIN || result > INT32_MAX) raise_math("overflow");
    integer_put(value, static_cast<int32_t>(result));
    return value;
}

void integer_init() {
    TypeRow(TYPE_INTEGER)
        .set<ACT_MAKE>(integer_make)
        .set<ACT_RANDOM>(integer_random)
        .set<ACT_TO>(integer_to)
        .set<ACT_FORM>(integer_form)
        .set<ACT_MOLD>(integer_mold)
        .set<ACT_COMPARE>(integer_compare)
        .set<ACT_ABSOLUTE>(integer_absolute)
        .set<ACT_ADD>(integer_add)
        .set<ACT_DIVIDE>(integer_divide)
        .set<ACT_MULTIPLY>(integer_multiply)
        .set<ACT_NEGATE>(integer_negate)
        .set<ACT_POWER>(integer_power)
        .set<ACT_REMAINDER>(integer_remainder)
        .set<ACT_ROUND>(integer_round)
        .set<ACT_SUBTRACT>(integer_subtract)
        .set<ACT_EVEN_Q>(integer_even_q)
        .set<ACT_ODD_Q>(integer_odd_q)
        .set<ACT_AND_T>(integer_and)
        .set<ACT_COMPLEMENT>(integer_complement)
        .set<ACT_OR_T>(integer_or)
        .set<ACT_XOR_T>(integer_xor)
        .commit();
}

}  // namespace kel
