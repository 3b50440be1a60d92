// string!: text in units of 1 byte (Latin-1), 2 bytes (UCS-2) or 4 bytes
// (UCS-4) a code point, widened only when a wider code point arrives.
//
// Cell: header type 7 (or another any-string type: file! 8, url! 9, tag! 44,
// email! 45, ref! 50 share the layout), data1 the head index in units, data2
// the node, data3 0 or the node of the value's conversion buffer (its UTF-8
// or UTF-16 form, made by runtime/unicode.h). The unit lives in the buffer's
// flags; the buffer's head is its first unit; there is no terminator and no
// stored length.
//
// Invariants:
//  - every character of one buffer has the same width; a buffer only ever
//    widens (1 to 2, 1 to 4, 2 to 4), in place, keeping every index;
//  - a code point up to 0xFF stays at unit 1, whichever routine writes it,
//    so ASCII and Latin-1 text keeps one byte a character;
//  - a head index past the tail is tolerated in a value: readers clamp it;
//  - a pointer into a buffer is stale after any call that may allocate, and
//    a cell handed to a routine that allocates must not live in a buffer.
//
// This header is the whole datatype: storage (string.cpp), editing
// (string_edit.cpp), searching, comparison, sorting and set operations
// (string_find.cpp), mold and form (string_mold.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

// ---- units ----------------------------------------------------------------------------

// Unit width a code point needs: 1 up to 0xFF, 2 up to 0xFFFF, else 4.
inline uint32_t unit_for_codepoint(uint32_t cp) { return cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4; }
// log2 of a string unit (1, 2, 4 -> 0, 1, 2).
inline uint32_t string_shift(uint32_t unit) { return unit >> 1; }

// Code point at unit index `i` from `head`.
inline uint32_t string_unit_at(const uint8_t* head, uint32_t unit, uint32_t i) {
    switch (unit) {
    case 1: return head[i];
    case 2: return uint32_t(head[2 * i]) | uint32_t(head[2 * i + 1]) << 8;
    default: {
        uint32_t v;
        __builtin_memcpy(&v, head + 4 * size_t(i), 4);
        return v;
    }
    }
}
inline uint32_t string_get_char(const uint8_t* at, uint32_t unit) { return string_unit_at(at, unit, 0); }
// Stores `cp` as one unit at `at` (the unit must hold it).
inline void string_put_char(uint8_t* at, uint32_t unit, uint32_t cp) {
    switch (unit) {
    case 1: *at = static_cast<uint8_t>(cp); break;
    case 2:
        at[0] = static_cast<uint8_t>(cp);
        at[1] = static_cast<uint8_t>(cp >> 8);
        break;
    default: __builtin_memcpy(at, &cp, 4); break;
    }
}
// Code point at unit `index` counted from the buffer's first unit.
inline uint32_t string_get_char_at(const SeriesBuf* buf, uint32_t index) {
    return string_unit_at(buf->head_ptr(), buf->unit(), index);
}

// ---- makers ---------------------------------------------------------------------------

// A new empty string of `capacity` units (0: a small default) in `out`.
Cell* string_make(Cell* out, uint32_t capacity, uint32_t unit = 1, uint32_t type = TYPE_STRING);
// An empty unit-1 string with room for n units (0 gives 1) in `cell`, or in a
// new cell pushed on the evaluation stack when `cell` is null.
Cell* string_make_at(Cell* cell, uint32_t n);
// The same with a given unit; the cell reads unset! while the buffer is made.
Cell* string_make_at_unit(Cell* cell, uint32_t n, uint32_t unit);
// Pushes a copy of a string cell on the evaluation stack.
Cell* string_push(const Cell* str);

// ---- buffer access --------------------------------------------------------------------

// Widens the series' buffer in place to `unit` (nothing when already that
// wide); returns the buffer, which may have moved.
SeriesBuf* string_widen(Off node, uint32_t unit);
inline SeriesBuf* string_to_unit(Off node, uint32_t unit) { return string_widen(node, unit); }

// Units from the head index to the tail (0 when the index lies past it).
uint32_t string_length(const Cell* str);
inline uint32_t string_length_from_head(const Cell* str) { return string_length(str); }
// Units from the first unit to the tail.
uint32_t string_length_total(const Cell* str);
// The head index clamped to the tail.
uint32_t string_head_index(const Cell* str);
// Address of the head unit; a head past the tail is first set to the tail.
uint8_t* string_head_ptr(Cell* str);
uint8_t* string_tail_ptr(const Cell* str);
bool string_at_tail_q(const Cell* str);
// Index from the head of the first unit equal to `cp`, or -1.
int32_t string_find_char(const Cell* str, uint32_t cp);

// Empties a string for reuse: tail at the first unit, unit 1, head 0.
void string_reset(Cell* str);
// Cuts the buffer to `n` units from its first unit when n is within them.
void string_truncate(Cell* str, uint32_t n);
// Removes one or n units at an index from the first unit, closing the gap;
// nothing when the index is at or past the tail.
void string_remove_char_at(Cell* str, uint32_t index);
void string_remove_chars_at(Cell* str, uint32_t index, uint32_t n);

// Appends `cp` at the tail (the head index is not involved), growing and
// widening the buffer as needed; returns the buffer.
SeriesBuf* string_append_char(Cell* str, uint32_t cp);
// Writes `cp` at an index from the first unit; past the tail the tail
// becomes index + 1 (units between keep what the buffer held: 0 for a
// fresh buffer).
void string_set_char_at(Cell* str, uint32_t index, uint32_t cp);
// Inserts `cp` at an index (at most the tail), moving the rest up one unit.
void string_insert_char(Cell* str, uint32_t index, uint32_t cp);
// Overwrites the unit at an index before the tail.
void string_poke_char(Cell* str, uint32_t index, uint32_t cp);

// Appends bytes as characters, one a byte (Latin-1).
void string_append_ascii(Cell* str, const char* text, size_t n);
inline void string_append_ascii(Cell* str, std::string_view text) { string_append_ascii(str, text.data(), text.size()); }
void string_append_cstring(Cell* str, const char* text);
void string_append_bytes_n(Cell* str, const uint8_t* bytes, uint32_t n);
// Appends code points (widening once for the widest).
void string_append_codepoints(Cell* str, const uint32_t* cps, uint32_t n);
// Appends UTF-8 text; invalid sequences become U+FFFD.
void string_append_utf8(Cell* str, const char* text, size_t n);
// Appends text that string_to_utf8 wrote (or that was edited from it): the
// three-byte forms it gives lone surrogates come back as those surrogates,
// so a string survives the trip through its UTF-8 text.
void string_append_utf8_own(Cell* str, std::string_view text);
// A new string! in `out` (which the caller roots) from UTF-8 bytes that lie
// outside the arena, decoded strictly: a leading byte-order mark is skipped
// (with [skip_mark]; else it is the character U+FEFF), and an invalid
// sequence, or one the end cuts off, raises invalid-utf8.
void string_from_utf8_checked(const uint8_t* bytes, size_t n, Cell* out, bool skip_mark = true);

// A new buffer of `unit` (1, 2 or 4, wide enough for every code point of
// the source) holding the characters of `src`'s buffer; returns its node.
Off string_copy_units(Off src, uint32_t unit);
// Exchanges the adjacent byte ranges [at, at + left) and [at + left, at +
// left + right) of a buffer (offsets from its first unit) through the
// rotation scratch buffer.
void string_rotate_bytes(Off node, uint32_t at, uint32_t left, uint32_t right);
// Size in bytes of the rotation scratch between calls (a runtime setting).
extern uint32_t g_string_rotate_scratch_size;

// The text from the head index as UTF-8 (tests and platform calls).
std::string string_to_utf8(const Cell* str);

// ---- the concatenation core -------------------------------------------------------------

// Characters to write: `count` units of `text`'s buffer from unit `start`
// (units from the first unit), or the one code point `cp` when `text` is
// null. `text` is read through on every use, so it must be a cell the
// collector sees (an evaluation-stack cell or a rooted one).
struct StringSource {
    const Cell* text = nullptr;
    uint32_t start = 0;
    uint32_t count = 1;
    uint32_t cp = 0;
    static StringSource of_char(uint32_t cp) { return {nullptr, 0, 1, cp}; }
};
// The characters of a text value (any string type, binary!, or a symbol!
// whose name string exists) from its head, at most `part` (-1: all).
StringSource string_source_of(const Cell* text, int32_t part = -1);

// Replaces `replaced` units at `pos` (units from the first unit; both are
// clamped to the buffer) of `dst`'s buffer by the source's characters written `dup`
// times, widening and growing the buffer as needed. A source in the same
// buffer is read as it was before the change. Internal `no-memory` when the
// result would pass 2^31 bytes, before anything changes. Returns the units
// written.
uint32_t string_splice(Cell* dst, uint32_t pos, uint32_t replaced, const StringSource& src, uint32_t dup);

enum StringConcatMode : int32_t { STRING_CONCAT_APPEND = 0, STRING_CONCAT_INSERT = 1, STRING_CONCAT_OVERWRITE = 2 };
// Writes the characters of `src` from its head (at most `part`; -1 all)
// into `dst`: appended at the tail (mode 0), inserted `offset` units after
// dst's head (1), or overwriting from there (2), extending the tail when the
// written end passes it. Returns the units written.
uint32_t string_concatenate(Cell* dst, const Cell* src, int32_t part, int32_t offset, int32_t mode);
inline uint32_t string_overwrite(Cell* dst, const Cell* src, int32_t part, int32_t offset) {
    return string_concatenate(dst, src, part, offset, STRING_CONCAT_OVERWRITE);
}

// ---- loading encoded text ----------------------------------------------------------------

// A new string! from UTF-8 (encoding 0) or UTF-16LE (-1) bytes (see
// string_from_encoded in runtime/unicode.h), pushed on the evaluation stack,
// appended to a block, or appended to the root block. `bytes` must not lie in
// a series buffer.
Cell* string_load_push(const uint8_t* bytes, uint32_t size, int32_t encoding);
Cell* string_load_append(const Cell* block, const uint8_t* bytes, uint32_t size, int32_t encoding);
Cell* string_load_root(const uint8_t* bytes, uint32_t size, int32_t encoding);

// ---- number text -----------------------------------------------------------------------------

// The float written in [start, end) (bytes); 0.0 when nothing reads.
double string_parse_float(const uint8_t* start, const uint8_t* end);
// Two upper-case hex digits of a byte; the eight of a 32-bit value (so a
// negative value starts with 'F'), or without leading zeros when `trim` (0
// gives "00"). Static buffers that the next call overwrites.
const char* string_hex_byte(uint8_t byte);
const char* string_hex_dword(uint32_t value, bool trim);

// ---- comparison and folding ------------------------------------------------------------------

// The case fold of comparison: upper case through the case maps, as the
// hash of strings folds (case_init must have run).
uint32_t string_fold_char(uint32_t cp);
// -1/0/1 ordering (0 equal, non-zero unequal for the equality operators) of
// two text values from their heads; `match` compares only b's length (a
// begins with b). A symbol! operand reads through its name.
int32_t string_compare_core(const Cell* a, const Cell* b, int32_t op, bool match);

// ---- actions --------------------------------------------------------------------------------

Cell* string_make_action(Cell* proto, Cell* spec, int32_t type);
Cell* string_to(Cell* proto, Cell* spec, int32_t type);
int32_t string_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t string_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                    int32_t limit, int32_t indent);
// string! mold in double quotes whatever the text: the form a path item takes.
int32_t string_mold_quoted(const Cell* value, Cell* buffer, bool all, const Cell* part, int32_t limit);
Cell* string_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args);
int32_t string_compare(const Cell* value1, const Cell* value2, int32_t op);
// append (is_append) and insert: `part` counts characters of a text value or
// elements of a block (-1: all); the result is the series at its head
// (append) or after the inserted characters (insert).
Cell* string_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool is_append);
Cell* string_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool is_append);
Cell* string_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
// find and select write their result (the series at the match, the element
// after it, or none) into the series cell and return it.
Cell* string_find(Cell* series, Cell* value, const FindArgs& args);
Cell* string_select(Cell* series, Cell* value, const FindArgs& args);
Cell* string_sort(Cell* series, const SortArgs& args);
Cell* string_swap(Cell* series1, Cell* series2);
Cell* string_take(Cell* series, const Cell* part, bool deep, bool last);
Cell* string_trim(Cell* series, const TrimArgs& args);

// unique (string2 null), union, intersect, exclude, difference (MathOp codes
// 8-12) over records of `skip` characters (null: 1): pushes the result, a
// new series of string1's type, on the evaluation stack and returns it.
Cell* string_set_op(const Cell* string1, const Cell* string2, bool case_, const Cell* skip, int32_t op);

// ---- text forms -------------------------------------------------------------------------------

// Mode of string_append_escaped_char for string molding.
constexpr int32_t kStringEscapeMode = 0xFD;
// Appends one character in molded form; returns the characters appended.
uint32_t string_append_escaped_char(Cell* buffer, uint32_t cp, int32_t mode, bool all);

// ---- PARSE matching at the head ----------------------------------------------------------------

// The value (a text value in match mode, a char!, a tag! in brackets)
// matches at the string's head under the operator (2: exact).
bool string_match_at_head(const Cell* str, const Cell* value, int32_t op);
// The character at the head is in the bitset.
bool string_char_in_bitset_q(const Cell* str, const Cell* bitset);
// '<' at the head, the tag's characters after it, '>' after them.
bool string_match_tag_brackets(const Cell* str, const Cell* tag, int32_t op);
// `cp` occurs at a record start (records of `skip` units) from the head.
bool string_char_in_q(const Cell* str, uint32_t cp, uint32_t skip, bool case_);
// Bitset membership: bits most significant first in each byte; a code point
// beyond the bits answers with the complement flag.
bool string_bitset_has(const Cell* bitset, uint32_t cp);

// Registers string! (series! must be registered first).
void string_init();

}  // namespace kel
