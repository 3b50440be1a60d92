// string!: text in units of 1 byte (Latin-1), 2 bytes (UCS-2) or 4 bytes
// (UCS-4) a code point, widened only when a wider code point arrives.
//
// Cell: header type 7 (or another any-string type), data1 the head index in
// units, data2 the node, data3 0. The unit lives in the buffer's flags.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

// A new empty string of `capacity` units written into `out`.
Cell* string_make(Cell* out, uint32_t capacity, uint32_t unit = 1, uint32_t type = TYPE_STRING);
// Unit width needed to store the code point.
inline uint32_t unit_for_codepoint(uint32_t cp) { return cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4; }
// Widens the series' buffer to `unit` (no-op when already that wide).
SeriesBuf* string_widen(Off node, uint32_t unit);
// Code point at unit index `i` of a buffer (from its data start of head).
inline uint32_t string_unit_at(const uint8_t* head, uint32_t unit, uint32_t i) {
    switch (unit) {
    case 1: return head[i];
    case 2: return uint32_t(head[2 * i]) | uint32_t(head[2 * i + 1]) << 8;
    default: {
        uint32_t v;
        __builtin_memcpy(&v, head + 4 * i, 4);
        return v;
    }
    }
}

// Appends at the tail (the head index is not involved).
void string_append_ascii(Cell* str, const char* text, size_t n);
inline void string_append_ascii(Cell* str, std::string_view text) { string_append_ascii(str, text.data(), text.size()); }
void string_append_char(Cell* str, uint32_t cp);
// Appends UTF-8 text; invalid sequences become U+FFFD.
void string_append_utf8(Cell* str, const char* text, size_t n);

// Units from the head index to the tail (0 when the index lies past it).
uint32_t string_length(const Cell* str);
// The text from the head index as UTF-8 (tests and platform calls).
std::string string_to_utf8(const Cell* str);

}  // namespace kel
