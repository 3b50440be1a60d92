// char!: conversions, caret-escaped mold, comparison by code point and
// arithmetic through the integer core.
#include "runtime/datatypes/char.h"

#include "runtime/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/number_convert.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

[[noreturn]] void raise_bad_to_arg(const Cell* value) {
    Cell dt;
    datatype_set(&dt, TYPE_CHAR);
    error_raise(ErrCat::Script, "bad-to-arg", &dt, value);
}

[[noreturn]] void raise_out_of_range(const Cell* value) { error_raise(ErrCat::Script, "out-of-range", value); }

// Access `invalid-utf8` with a binary! of the [n] bytes read.
[[noreturn]] void raise_invalid_utf8(const uint8_t* bytes, uint32_t n) {
    char copy[4];
    for (uint32_t i = 0; i < n; i++) copy[i] = static_cast<char>(bytes[i]);  // before allocating
    Cell binary;
    string_make(&binary, 4, 1, TYPE_BINARY);
    string_append_ascii(&binary, copy, n);
    error_raise(ErrCat::Access, "invalid-utf8", &binary);
}

// The character encoded at the head of a binary!, reading no byte past its
// tail. Overlong forms, surrogates and values above U+10FFFF are invalid.
uint32_t char_from_utf8(const Cell* binary) {
    TextRun run = text_run_of(binary);
    if (run.count == 0) raise_bad_to_arg(binary);
    const uint8_t* p = run.chars;
    uint8_t lead = p[0];
    if (lead < 0x80) return lead;
    uint32_t length = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    uint32_t available = run.count < 4 ? run.count : 4;
    if (length == 0 || run.count < length) raise_invalid_utf8(p, available);
    uint32_t cp = lead & (0x7Fu >> length);
    for (uint32_t i = 1; i < length; i++) {
        if ((p[i] & 0xC0) != 0x80) raise_invalid_utf8(p, length);
        cp = cp << 6 | (p[i] & 0x3F);
    }
    static constexpr uint32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kShortest[length] || cp > kCharMax || (cp >= 0xD800 && cp <= 0xDFFF)) raise_invalid_utf8(p, length);
    return cp;
}

// Appends "^(" + upper-case hex (two digits at least) + ")"; returns the length.
size_t append_hex_escape(Cell* buffer, uint32_t cp) {
    char text[10];
    size_t n = 0;
    text[n++] = '^';
    text[n++] = '(';
    int digits = 2;
    while (digits < 8 && (cp >> (4 * digits)) != 0) digits++;
    for (int i = digits - 1; i >= 0; i--) text[n++] = "0123456789ABCDEF"[(cp >> (4 * i)) & 0xF];
    text[n++] = ')';
    string_append_ascii(buffer, text, n);
    return n;
}

// Appends the escaped form of [cp] as it stands inside #"..."; returns the
// number of characters appended. With [all], every code point above 127 is
// written in hex.
size_t append_escaped(Cell* buffer, uint32_t cp, bool all) {
    // Caret letters of the control characters; 30 would be "^^", which is
    // the caret itself, so 30 takes the hex form.
    static constexpr char kCaretLetters[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
    char pair[2] = {'^', 0};
    if (cp == 30 || (cp >= 0x80 && cp <= 0x9F) || unicode_surrogate_q(cp) || (cp > 0x7F && all))
        return append_hex_escape(buffer, cp);
    if (cp < 32) pair[1] = kCaretLetters[cp];
    else if (cp == '"') pair[1] = '"';
    else if (cp == '^') pair[1] = '^';
    else if (cp == 127) pair[1] = '~';
    if (pair[1]) {
        string_append_ascii(buffer, pair, 2);
        return 2;
    }
    string_append_char(buffer, cp);
    return 1;
}

}  // namespace

Cell* char_push(uint32_t code_point) {
    Cell* c = stack_push_cell();
    cell_set(c, TYPE_CHAR, 0, code_point, 0);
    return c;
}

Cell* char_append_to_block(const Cell* block, uint32_t code_point) {
    Cell* c = block_append_slot(block);
    cell_set(c, TYPE_CHAR, 0, code_point, 0);
    return c;
}

Cell* char_make(Cell* proto, Cell* spec, int32_t) {
    uint32_t cp;
    switch (spec->type()) {
    case TYPE_CHAR:
    case TYPE_INTEGER: {
        int32_t n = integer_get(spec);
        if (n < 0 || static_cast<uint32_t>(n) > kCharMax) raise_out_of_range(spec);
        cp = static_cast<uint32_t>(n);
        break;
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
        int32_t n;
        if (!float_to_int32(float_get(spec), n) || n < 0 || static_cast<uint32_t>(n) > kCharMax)
            raise_out_of_range(spec);
        cp = static_cast<uint32_t>(n);
        break;
    }
    case TYPE_BINARY:
        cp = char_from_utf8(spec);
        break;
    default: {
        if (!any_string_type_q(spec->type())) raise_bad_to_arg(spec);
        TextRun run = text_run_of(spec);
        if (run.count == 0) raise_bad_to_arg(spec);
        cp = string_unit_at(run.chars, run.unit, 0);
        break;
    }
    }
    cell_set(proto, TYPE_CHAR, 0, cp, 0);
    return proto;
}

int32_t char_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    string_append_char(buffer, char_get(value));
    return limit - 1;
}

int32_t char_mold(const Cell* value, Cell* buffer, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    string_append_ascii(buffer, "#\"", 2);
    size_t n = append_escaped(buffer, char_get(value), all);
    string_append_ascii(buffer, "\"", 1);
    return limit - static_cast<int32_t>(n + 3);
}

int32_t char_compare(const Cell* value1, const Cell* value2, int32_t op) {
    bool same_type = value2->is(TYPE_CHAR);
    // Identity (find/same) is stricter than strict equality: never across types.
    if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && !same_type) return 1;
    if (!same_type && !value2->is(TYPE_INTEGER)) return kCompareIncomparable;
    int32_t a = integer_get(value1), b = integer_get(value2);
    return (a > b) - (a < b);
}

// A float operand that does not fit in 32 bits cannot give a code point: it
// is an overflow like any other result out of range.
void char_do_math(int32_t op) {
    Cell* args = stack_arguments();
    const Cell* value2 = args + 1;
    int32_t b;
    switch (value2->type()) {
    case TYPE_CHAR:
    case TYPE_INTEGER:
        b = integer_get(value2);
        break;
    case TYPE_FLOAT:
        if (!float_to_int32(float_get(value2), b)) error_raise(ErrCat::Math, "overflow");
        break;
    default: {
        if (number_math_hand_over(op, TYPE_CHAR)) return;
        Cell dt;
        datatype_set(&dt, value2->type());
        error_raise(ErrCat::Script, "invalid-type", &dt);
    }
    }
    int32_t r = integer_do_math(integer_get(args), b, op, nullptr);
    if (r < 0 || static_cast<uint32_t>(r) > kCharMax) error_raise(ErrCat::Math, "overflow");
    integer_put(args, r);
}

void char_add() { char_do_math(OP_ADD); }
void char_subtract() { char_do_math(OP_SUB); }
void char_multiply() { char_do_math(OP_MUL); }
void char_divide() { char_do_math(OP_DIV); }
void char_remainder() { char_do_math(OP_REM); }
void char_or() { char_do_math(OP_OR); }
void char_and() { char_do_math(OP_AND); }
void char_xor() { char_do_math(OP_XOR); }

void char_init() {
    TypeRow(TYPE_CHAR)
        .set<ACT_MAKE>(char_make)
        .set<ACT_TO>(char_make)
        .set<ACT_FORM>(char_form)
        .set<ACT_MOLD>(char_mold)
        .set<ACT_COMPARE>(char_compare)
        .set<ACT_ADD>(char_add)
        .set<ACT_DIVIDE>(char_divide)
        .set<ACT_MULTIPLY>(char_multiply)
        .set<ACT_REMAINDER>(char_remainder)
        .set<ACT_SUBTRACT>(char_subtract)
        .set<ACT_AND_T>(char_and)
        .set<ACT_OR_T>(char_or)
        .set<ACT_XOR_T>(char_xor)
        .inherit({ACT_RANDOM, ACT_ABSOLUTE, ACT_EVEN_Q, ACT_ODD_Q})
        .commit();
}

}  // namespace kel
