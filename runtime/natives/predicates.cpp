// The identity test and the type, sign and zero predicates: same?, type?,
// complement?, negative?, positive?, sign?, zero?, NaN?.
//
// The sign and zero tests read the payloads of the number types directly:
// float!, percent! and time! keep one double in data2..data3, pair! two
// int32 in data2 and data3, point2D!/point3D! float32 coordinates in
// data1..data3, tuple! its bytes in data1..data3 (zero past its length), and
// money! its sign in header bit 14 and its 22 digits in the eleven bytes
// after the currency byte.
#include <cmath>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/eval_deps.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/natives/value_natives.h"
#include "runtime/stack.h"

namespace kel {

namespace {

constexpr uint32_t kMoneyNegative = 0x4000;

bool money_zero(const Cell* v) { return (v->data1 >> 8) == 0 && v->data2 == 0 && v->data3 == 0; }
int32_t money_sign(const Cell* v) { return money_zero(v) ? 0 : (v->header & kMoneyNegative) ? -1 : 1; }

float float32_at(const uint32_t* word) {
    float f;
    std::memcpy(&f, word, sizeof f);
    return f;
}

// -1, 0 or 1 for the number types of the sign natives; NaN has sign 0.
int32_t sign_of(const Cell* v) {
    switch (v->type()) {
    case TYPE_MONEY: return money_sign(v);
    case TYPE_INTEGER: {
        int32_t n = static_cast<int32_t>(v->data2);
        return n < 0 ? -1 : n > 0 ? 1 : 0;
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
        double d = cell_get_float(v);
        return d < 0.0 ? -1 : d > 0.0 ? 1 : 0;
    }
    default: natives_raise_expect_arg(v, "number");
    }
}

void logic_result(bool value) {
    cell_set(stack_arguments(), TYPE_LOGIC, value ? 1u : 0u);
    stack_keep();
}

bool same_words(const Cell* a, const Cell* b, bool w1, bool w2, bool w3) {
    return (!w1 || a->data1 == b->data1) && (!w2 || a->data2 == b->data2) && (!w3 || a->data3 == b->data3);
}

}  // namespace

Cell natives_global_word(const char* name) {
    Cell w{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&w, name);
    return w;
}

void natives_raise_expect_arg(const Cell* value, const char* arg) {
    Cell call{TYPE_NONE, 0, 0, 0};
    word_of_current_call(&call);
    Cell dt;
    datatype_set(&dt, value->type());
    Cell word = natives_global_word(arg);
    error_raise(ErrCat::Script, "expect-arg", &call, &dt, &word);
}

bool natives_same_values(const Cell* a, const Cell* b) {
    if (a->type() != b->type()) return false;
    switch (a->type()) {
    case TYPE_DATATYPE:
    case TYPE_LOGIC:
    case TYPE_OBJECT:
        return same_words(a, b, true, false, false);
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_BITSET:
        return same_words(a, b, false, true, false);
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
    case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF: case TYPE_BINARY: case TYPE_VECTOR: case TYPE_IMAGE:
    case TYPE_NATIVE: case TYPE_ACTION: case TYPE_POINT2D:
        return same_words(a, b, true, true, false);
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_PAIR: case TYPE_TIME: case TYPE_OP:
        return same_words(a, b, false, true, true);
    case TYPE_TUPLE:
        // Bytes past a tuple's length are zero, so equal bytes are equal words.
        return ((a->header ^ b->header) & (0xFu << 19)) == 0 && same_words(a, b, true, true, true);
    case TYPE_NONE:
    case TYPE_UNSET:
        return true;
    case TYPE_MONEY:
        if (action_entry(TYPE_MONEY, ACT_COMPARE)) return actions_compare_values(a, b, COMP_SAME) == 0;
        return ((a->header ^ b->header) & kMoneyNegative) == 0 && same_words(a, b, true, true, true);
    default:
        return same_words(a, b, true, true, true);
    }
}

void native_same_q(int32_t, const int32_t*) {
    Cell* a = stack_arguments();
    logic_result(natives_same_values(&a[0], &a[1]));
}

void native_type_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(34, refs);
    Cell* a = stack_arguments();
    uint32_t t = a->type();
    if (refs[0] >= 0) word_from_cstring(a, datatype_name(static_cast<int32_t>(t)));
    else datatype_set(a, static_cast<int32_t>(t));
    stack_keep();
}

// The complement flag lives in the bitset's buffer header.
void native_complement_q(int32_t, const int32_t*) {
    Cell* a = stack_arguments();
    if (!a->is(TYPE_BITSET)) natives_raise_expect_arg(a, "bits");
    logic_result((node_buffer(a->data2)->flags & SERIES_COMPLEMENT) != 0);
}

void native_negative_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(49, refs);
    logic_result(sign_of(stack_arguments()) < 0);
}

void native_positive_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(50, refs);
    logic_result(sign_of(stack_arguments()) > 0);
}

void native_sign_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(97, refs);
    Cell* a = stack_arguments();
    int32_t s = sign_of(a);
    cell_set(a, TYPE_INTEGER, 0, static_cast<uint32_t>(s));
    stack_keep();
}

void native_zero_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(100, refs);
    const Cell* v = stack_arguments();
    bool zero;
    switch (v->type()) {
    case TYPE_MONEY: zero = money_zero(v); break;
    case TYPE_CHAR:
    case TYPE_INTEGER: zero = v->data2 == 0; break;
    case TYPE_TIME:
    case TYPE_PERCENT:
    case TYPE_FLOAT: zero = cell_get_float(v) == 0.0; break;
    case TYPE_PAIR: zero = v->data2 == 0 && v->data3 == 0; break;
    case TYPE_POINT2D: zero = float32_at(&v->data1) == 0.0f && float32_at(&v->data2) == 0.0f; break;
    case TYPE_POINT3D:
        zero = float32_at(&v->data1) == 0.0f && float32_at(&v->data2) == 0.0f && float32_at(&v->data3) == 0.0f;
        break;
    case TYPE_TUPLE: zero = v->data1 == 0 && v->data2 == 0 && v->data3 == 0; break;
    default: zero = false; break;
    }
    logic_result(zero);
}

void native_nan_q(int32_t check, const int32_t* refs) {
    if (check) natives_check_args(62, refs);
    const Cell* v = stack_arguments();
    logic_result((v->is(TYPE_FLOAT) || v->is(TYPE_PERCENT)) && std::isnan(cell_get_float(v)));
}

}  // namespace kel
