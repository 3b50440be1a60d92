// Case folding of single code points and of strings in place.
//
// Two direct maps cover the Basic Multilingual Plane (one 32-bit entry per
// code point, 0 meaning "no mapping"); code points above U+FFFF are looked up
// in small sorted pair tables by binary search. Upper-casing maps a code point
// to the first code point of its upper-case form (U+00DF gives U+0053), so
// every code point maps to exactly one. case_init builds the maps once; it
// must run before any other function here.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

constexpr int CASE_LOWER = 0;
constexpr int CASE_UPPER = 1;

// Builds the two maps (idempotent).
void case_init();
// [c] in upper case (mode CASE_UPPER) or lower case (CASE_LOWER); code
// points without a mapping come back unchanged.
uint32_t case_change_char(uint32_t c, int mode);
// Changes the case of a char! value, or of a string value's characters from
// its head, in place. [part] (null for none) limits the count: an integer!
// count (clamped to the characters left; negative counts nothing) or a
// position in the same series (same type and buffer). Any other /part value
// raises the script error invalid-refine-arg. A head past the tail is moved
// to the tail first. The buffer widens when a changed code point needs it
// (U+00FF upper-cases to U+0178); [value] must not live in a series buffer.
void case_change_string(Cell* value, const Cell* part, int mode);

}  // namespace kel
