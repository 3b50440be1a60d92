// Small value builders and readers shared by the file!, url! and system
// natives: byte views of strings and binaries, new binaries, strings and
// blocks from C++ data, and method-word matching.
//
// binary! cells have the string layout (data1 head index in bytes, data2
// node, unit-1 buffer). Every builder writes into [out] only after its last
// allocation, so [out] may be a cell the collector does not see.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/cell.h"

namespace kel {

// The bytes a string or binary contributes from its head: a binary's bytes,
// an any-string's UTF-8 encoding.
std::string value_bytes(const Cell* value);

// A new binary! holding [n] bytes.
Cell* binary_make_bytes(Cell* out, const void* bytes, size_t n);
// A new any-string of [type] holding the UTF-8 [text] (invalid sequences
// become U+FFFD).
Cell* string_make_utf8(Cell* out, std::string_view text, uint32_t type = TYPE_STRING);
// A new empty block! with room for [capacity] cells.
Cell* block_make_empty(Cell* out, uint32_t capacity);

// Appends the bytes of [text] as one-byte characters (the text is ASCII).
void string_append_bytes(Cell* str, std::string_view text);

// The symbol of a global word spelled [name]; compare canonical ids.
uint32_t sys_symbol(const char* name);
// True when the word-type cell [word] spells [name], ignoring case.
bool word_is(const Cell* word, const char* name);

// The largest byte count a series takes: room is left for the buffer
// header and rounding below the 4 GiB arena.
constexpr size_t kSeriesMaxBytes = 0x7FFF0000u;

// Raises when a 64-bit byte count does not fit a series (internal
// `no-memory`).
uint32_t series_count_checked(size_t n);

}  // namespace kel
