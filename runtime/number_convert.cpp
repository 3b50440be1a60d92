// Checked double -> int32 conversion and the number text readers.
#include "runtime/number_convert.h"

#include <cmath>
#include <string_view>

#include "runtime/datatype.h"
#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/datatypes/string.h"

namespace kel {

int32_t float_to_int32_limit(double d, int32_t type) {
    int32_t n;
    if (!float_to_int32(d, n)) {
        Cell dt;
        datatype_set(&dt, type);
        error_raise(ErrCat::Script, "type-limit", &dt);
    }
    return n;
}

bool float_trunc_odd_q(double d) {
    if (!std::isfinite(d)) return false;
    return std::fmod(std::trunc(d), 2.0) != 0.0;
}

bool any_string_type_q(int32_t type) {
    switch (type) {
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        return true;
    default:
        return false;
    }
}

TextRun text_run_of(const Cell* series) {
    SeriesBuf* buf = node_buffer(series->data2);
    uint32_t unit = buf->unit();
    uint32_t units = buf->used_bytes() / unit;
    uint32_t index = series->data1;
    if (index >= units) return {buf->head_ptr(), unit, 0};
    return {buf->head_ptr() + uint64_t(index) * unit, unit, units - index};
}

namespace {

inline uint32_t char_at(const uint8_t* chars, uint32_t unit, uint32_t i) { return string_unit_at(chars, unit, i); }

}  // namespace

int32_t number_text_to_integer(const uint8_t* chars, uint32_t unit, uint32_t count, NumberTextStatus& status) {
    uint32_t i = 0;
    bool negative = false;
    if (count > 0) {
        uint32_t c = char_at(chars, unit, 0);
        if (c == '+' || c == '-') {
            negative = c == '-';
            i = 1;
        }
    }
    // Accumulated as a magnitude; 2147483648 is allowed for the negative case.
    uint64_t magnitude = 0;
    bool digits = false, overflow = false;
    for (; i < count; i++) {
        uint32_t c = char_at(chars, unit, i);
        if (c == '\'') continue;
        if (c < '0' || c > '9') {
            status = NUMBER_TEXT_INVALID;
            return 0;
        }
        digits = true;
        if (!overflow) {
            magnitude = magnitude * 10 + (c - '0');
            if (magnitude > 2147483648u) overflow = true;
        }
    }
    if (!digits) {
        status = NUMBER_TEXT_INVALID;
        return 0;
    }
    if (overflow || magnitude > (negative ? 2147483648u : 2147483647u)) {
        status = NUMBER_TEXT_OVERFLOW;
        return 0;
    }
    status = NUMBER_TEXT_OK;
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

bool number_float_syntax_q(const char* text, size_t n) {
    // States: 0 start (signs), 1 whole digits, 2 after a "'" in the whole
    // part, 3 fraction digits, 4 point with no whole digit before it (or a
    // "'" in the fraction), 5 point after whole digits, 6 after "e", 7
    // exponent sign, 8 exponent digits. The end column says whether the
    // text may stop there (9) or not (10); 10 anywhere else refuses.
    // Columns: other, sign, digit, e/E, point, quote, end.
    static constexpr uint8_t kTable[9][7] = {
        {10, 0, 1, 10, 4, 10, 10}, {10, 10, 1, 6, 5, 2, 9},   {10, 10, 1, 10, 10, 10, 9},
        {10, 10, 3, 6, 10, 4, 9},  {10, 10, 3, 10, 10, 10, 9}, {10, 10, 3, 10, 10, 10, 9},
        {10, 7, 8, 10, 10, 10, 10}, {10, 10, 8, 10, 10, 10, 10}, {10, 10, 8, 10, 10, 10, 9},
    };
    if (n > kFloatTextMaxChars) return false;
    int state = 0;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        int cls = c == '+' || c == '-'      ? 1
                  : c >= '0' && c <= '9'    ? 2
                  : c == 'e' || c == 'E'    ? 3
                  : c == '.'                ? 4
                  : c == '\''               ? 5
                                            : 0;
        state = kTable[state][cls];
        if (state == 10) return false;
    }
    return kTable[state][6] == 9;
}

double number_text_to_float(const uint8_t* chars, uint32_t unit, uint32_t count, int exp_adjust,
                            NumberTextStatus& status) {
    status = NUMBER_TEXT_INVALID;
    if (count == 0 || count > kFloatTextMaxChars) return 0.0;
    char text[kFloatTextMaxChars];
    for (uint32_t i = 0; i < count; i++) {
        uint32_t c = char_at(chars, unit, i);
        if (c > 127) return 0.0;
        text[i] = c == ',' ? '.' : static_cast<char>(c);
    }
    if (!number_float_syntax_q(text, count)) return 0.0;
    size_t n = 0;
    for (uint32_t i = 0; i < count; i++)
        if (text[i] != '\'') text[n++] = text[i];
    double value;
    // The syntax check lets several signs and a lone point through; the
    // reader, which must use every byte and see a digit, refuses them.
    if (!float_read(std::string_view(text, n), value, exp_adjust)) return 0.0;
    status = NUMBER_TEXT_OK;
    return value;
}

int32_t number_text_to_hex(const uint8_t* chars, uint32_t unit, uint32_t count, NumberTextStatus& status) {
    status = NUMBER_TEXT_INVALID;
    if (count > 8) return 0;
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t c = char_at(chars, unit, i);
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else return 0;
        value = value << 4 | digit;
    }
    status = NUMBER_TEXT_OK;
    return static_cast<int32_t>(value);
}

}  // namespace kel
