// Strings to numbers with the lexer's rules, without running the lexer:
// the conversions behind `to integer!`, `to float!` and `to money!`.
#include <limits>

#include "runtime/datatypes/string.h"
#include "runtime/lexer.h"
#include "runtime/lexer_values.h"
#include "runtime/number_convert.h"

namespace kel {

int32_t lexer_to_integer(const uint8_t* chars, uint32_t unit, uint32_t count, int32_t* error) {
    NumberTextStatus status;
    int32_t v = number_text_to_integer(chars, unit, count, status);
    *error = status;
    return v;
}

double lexer_to_float(const uint8_t* chars, uint32_t count, uint32_t unit, int32_t* error) {
    NumberTextStatus status = NUMBER_TEXT_INVALID;
    double v = count > kFloatTextMaxChars ? 0.0 : number_text_to_float(chars, unit, count, 0, status);
    *error = status == NUMBER_TEXT_OK ? 0 : -1;
    return *error ? std::numeric_limits<double>::quiet_NaN() : v;
}

void lexer_to_money(const uint8_t* chars, uint32_t count, uint32_t unit, Cell* out, int32_t* error) {
    *error = -1;
    uint32_t i = 0;
    auto at = [&](uint32_t k) { return string_unit_at(chars, unit, k); };
    auto letter = [](uint32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    LexerMoney m;
    if (i < count && (at(i) == '+' || at(i) == '-')) m.negative = at(i++) == '-';
    char code[4] = {};
    if (i < count && letter(at(i))) {
        if (count - i < 5) return;
        for (int k = 0; k < 3; k++) {
            if (!letter(at(i + k))) return;
            code[k] = static_cast<char>(at(i + k));
        }
        if (at(i + 3) != '$') return;
        m.currency = code;
        i += 4;
    } else if (i < count && at(i) == '$') {
        i++;
    }
    if (i >= count) return;
    char whole[17], frac[5];
    uint32_t wn = 0, fn = 0;
    bool point = false, leading = true;
    uint32_t prev = 0;  // the previous character, 0 at the amount's start
    for (; i < count; i++) {
        uint32_t c = at(i);
        if (c == '.') {
            if (point || prev == 0 || prev == '\'' || i + 1 == count) return;
            point = true;
        } else if (c == '\'') {
            if (point || prev == 0 || prev == '\'' || prev == '.' || i + 1 == count) return;
        } else if (c >= '0' && c <= '9') {
            if (point) {
                if (fn < 5) frac[fn++] = static_cast<char>(c);
            } else if (!(leading && c == '0')) {
                leading = false;
                if (wn == 17) return;
                whole[wn++] = static_cast<char>(c);
            }
        } else {
            return;
        }
        prev = c;
    }
    m.whole = whole;
    m.whole_len = wn;
    m.fraction = frac;
    m.fraction_len = fn;
    if (g_lexer_constructors.make_money(out, m)) *error = 0;
}

}  // namespace kel
