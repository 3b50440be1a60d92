// Unicode conversion and display width.
//
// Text enters and leaves the runtime here: UTF-8 and UTF-16LE bytes become
// string values and string values become UTF-8 or UTF-16LE bytes; the console
// asks how many terminal cells a code point takes.
//
// A string keeps its code points in fixed-width units of 1 byte (Latin-1), 2
// bytes (UCS-2) or 4 bytes (UCS-4), little-endian, the unit in bits 0-4 of the
// buffer flags. A buffer only ever widens (1 to 2, 1 to 4, 2 to 4), in place:
// its node keeps referring to it and every code point and index is kept.
// Loaders start at unit 1 and widen only when a code point needs it, so pure
// ASCII and Latin-1 text stays at one byte a unit.
//
// Invariants and rules for callers:
//  - code points are int32_t where -1 (and the decoders' other negative
//    results) mean "no code point"; every real code point is >= 0;
//  - any function that allocates (the loaders, the widening routines, every
//    conversion into a string's conversion buffer) may move series buffers:
//    byte pointers handed in must not point into a movable series buffer, a
//    string cell handed in as `Cell*` must not live inside one, and pointers
//    obtained before the call are stale after it;
//  - a pointer returned into a conversion buffer stays valid until the next
//    conversion of the same string value or the next allocation.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

// U+D800 to U+DFFF: a string may hold one alone, but it has no UTF-8 form the
// decoders accept, so text meant to load back writes it as an escape.
constexpr bool unicode_surrogate_q(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
// ED A0-BF 80-BF at [p] (three bytes readable): the three-byte form a lone
// surrogate is written in when a string goes to UTF-8.
inline bool unicode_surrogate_form_q(const uint8_t* p) {
    return p[0] == 0xED && (p[1] & 0xE0) == 0xA0 && (p[2] & 0xC0) == 0x80;
}

// ---- UTF-8 decoding -------------------------------------------------------

// The strict UTF-8 automaton: bytes 0-255 map an input byte to its class
// (0-11); the next 108 bytes are the transitions, indexed by state + class.
// States are multiples of 12. It rejects overlong forms, surrogates and
// values above U+10FFFF.
extern const uint8_t utf8_dfa[364];
constexpr uint32_t UTF8_ACCEPT = 0;
constexpr uint32_t UTF8_REJECT = 12;

// Decodes one code point at [p] (p < end) with the automaton and returns the
// position after it. [*cp] is -1 when the sequence is rejected: the byte that
// made it fail is consumed, so a byte that cannot start a sequence costs one
// byte. Input that ends inside a sequence also gives -1, at [end]; nothing at
// or past [end] is read.
inline const uint8_t* unicode_fast_decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* cp) {
    uint32_t b = *p++;
    if (b < 0x80) {
        *cp = static_cast<int32_t>(b);
        return p;
    }
    uint32_t k = utf8_dfa[b];
    uint32_t code = (0xFFu >> k) & b;
    uint32_t state = utf8_dfa[256 + k];
    while (state > UTF8_REJECT) {
        if (p == end) {
            *cp = -1;
            return p;
        }
        uint32_t c = *p++;
        code = (code << 6) | (c & 0x3F);
        state = utf8_dfa[256 + state + utf8_dfa[c]];
    }
    *cp = state == UTF8_ACCEPT ? static_cast<int32_t>(code) : -1;
    return p;
}

// Number of code points in [start, end); a rejected sequence counts as one.
uint32_t unicode_utf8_count(const uint8_t* start, const uint8_t* end);
// Position after [n] code points from [start], never past [end].
const uint8_t* unicode_utf8_skip(const uint8_t* start, const uint8_t* end, uint32_t n);
// Sequence length a lead byte announces from its top bits: 4, 3, 2, or 0 for
// ASCII and continuation bytes alike.
int unicode_utf8_lead_length(uint8_t byte);

// Results of the checked decoder besides a code point. UTF8_INVALID lies
// outside the code point space, so every code point (U+FFFE included) can be
// returned.
constexpr int32_t UTF8_SHORT = -1;    // the input ends inside the sequence
constexpr int32_t UTF8_INVALID = -2;  // not a sequence this decoder accepts

// The checked decoder without raising: decodes at [p] with [avail] bytes
// available, returning a code point (with its length in [*len]), UTF8_SHORT or
// UTF8_INVALID. It accepts two-byte overlong forms and surrogates other than
// U+DC00-U+DCFF; it refuses stray continuation bytes, bad followers, F8-FF
// and values above U+10FFFF.
int32_t unicode_utf8_decode_checked(const uint8_t* p, uint32_t avail, uint32_t* len);

// The checked decoder: [*count] holds the bytes available on entry and the
// sequence length on success. Returns the code point, or -1 when fewer bytes
// are available than the lead byte needs. An invalid sequence raises the
// access error invalid-utf8 with a binary! of the (at most four) bytes from
// the lead byte.
int32_t unicode_utf8_decode_char(const uint8_t* p, uint32_t* count);

// ---- UTF-8 encoding -------------------------------------------------------
// Code points above U+10FFFF raise the script error invalid-char (integer!
// argument) in every function of this group.

// UTF-8 length of a code point: 1 to 4.
int unicode_utf8_length(uint32_t cp);
// Total UTF-8 bytes of the code points in a run of [unit]-byte units.
uint32_t unicode_utf8_size(const uint8_t* start, const uint8_t* end, uint32_t unit);
// Writes the UTF-8 sequence of [cp] at [out]; returns its length (1-4).
int unicode_encode_utf8(uint32_t cp, uint8_t* out);
// Writes as many leading bytes of the sequence as [room] allows (none when
// room < 1); returns the bytes written.
int unicode_encode_utf8_bounded(uint32_t cp, uint8_t* out, int32_t room);

// The string's scratch byte series for its encoded forms (node in data3),
// made or grown to at least [size] bytes. Returns its first data byte.
uint8_t* string_conversion_buffer(Cell* str, uint32_t size);

// UTF-8 of the string from its head into its conversion buffer, NUL
// terminated. [*len] on entry: characters to take (-1 or at least the length
// takes all); on return: bytes written without the NUL. With [eol] every LF
// is written as CR LF.
uint8_t* unicode_to_utf8_cache(Cell* str, int32_t* len, bool eol);
uint8_t* unicode_to_utf8_cstring(Cell* str, int32_t* len);
uint8_t* unicode_to_utf8_cstring_eol(Cell* str, int32_t* len, bool eol);
// UTF-8 of the first [n] characters (-1 or at least the length: all) at [dst],
// which the caller sized (unicode_utf8_size); a NUL follows when [nul] is set
// (not counted). Returns the bytes written.
uint32_t unicode_to_utf8_into(const Cell* str, uint8_t* dst, int32_t n, bool nul);
// Like unicode_to_utf8_into, but [n] limits only when 0 < n < length, and
// nothing is written at or past dst + [capacity]: the last sequence may be
// cut, and the NUL (when asked) takes the last byte of the capacity.
uint32_t unicode_to_utf8_bounded(const Cell* str, uint8_t* dst, uint32_t capacity, int32_t n, bool nul);

// ---- UTF-16 encoding ------------------------------------------------------

// Writes [cp] as little-endian UTF-16 at [out]: 1 unit below 0x10000, a
// surrogate pair up to 0x10FFFF, nothing (0) above. Returns units written.
int unicode_encode_utf16(uint32_t cp, uint8_t* out);
// Little-endian UTF-16 of the first [*len] characters (-1 or at least the
// length: all) into the string's conversion buffer, with a two-byte NUL; with
// [eol] a CR unit goes before each LF. [*len] on return: units written
// without the NUL. A code point above 0x10FFFF gives null (and no text).
uint8_t* unicode_to_utf16(Cell* str, int32_t* len, bool eol);
// The whole string as UTF-16 with CR LF line ends, for wide system calls.
uint8_t* unicode_to_utf16_cstring(Cell* str);
// Widens each byte of a NUL-terminated byte string to a 16-bit unit and
// appends a 16-bit NUL; returns [dst].
uint16_t* unicode_ascii_to_utf16(const uint8_t* bytes, uint16_t* dst);

// ---- loading bytes into strings -------------------------------------------

// Loads UTF-8 into the buffer of [target] (a string node, refilled from its
// first unit and keeping its unit) or, when target is 0, into a new string
// series. A leading byte-order mark is skipped. When the input ends inside a
// sequence the loading stops before it and the unconsumed byte count is
// stored in [*remainder] (when given; 0 when everything was consumed). With
// [crlf], CR LF reads as LF and a lone CR as LF. An invalid sequence raises
// invalid-utf8; the buffer then holds the characters before it. Returns the
// node written.
Off unicode_load_utf8(const uint8_t* bytes, uint32_t count, Off target, uint32_t* remainder, bool crlf);
// The same load by the per-character decoder alone, without the block
// decoder (utf8_simd.h): the reference the faster path is checked against.
Off unicode_load_utf8_reference(const uint8_t* bytes, uint32_t count, Off target, uint32_t* remainder, bool crlf);
// Into a new series, without the crlf conversion, and with a leading EF BB BF
// read as the character U+FEFF: for text that continues after the start of
// its file, where a byte-order mark can no longer stand.
Off unicode_load_utf8_unmarked(const uint8_t* bytes, uint32_t count, uint32_t* remainder);
Off unicode_load_utf8_into(const uint8_t* bytes, uint32_t count, Cell* target);
Off unicode_load_utf8_new(const uint8_t* bytes, uint32_t count);

// Unit width a UTF-16LE input needs: 4 as soon as a surrogate is met, else 2
// if any unit is above 0xFF, else 1.
uint32_t unicode_utf16_unit_width(const uint8_t* units, uint32_t count);
// Loads [count] UTF-16LE units (bytes, any alignment) into the string of
// [target] (refilled from its first unit) or into a new string series when
// target is null. With units null the input is the target's conversion
// buffer (at most as many units as it holds). Surrogate pairs combine; an
// unpaired surrogate becomes U+FFFD. With [crlf] every CR unit is dropped.
// Returns the node written.
Off unicode_load_utf16le(const uint8_t* units, uint32_t count, Cell* target, bool crlf);
// Loads code page 1251 bytes the same way (null bytes: the target's
// conversion buffer); with [crlf], CR LF and a lone CR read as LF.
Off unicode_load_cp1251(const uint8_t* bytes, uint32_t count, Cell* target, bool crlf);

// Encodings of string_from_encoded.
constexpr int32_t ENCODING_UTF8 = 0;
constexpr int32_t ENCODING_UTF16LE = -1;
// A new string! value (head 0, no conversion buffer) from encoded bytes. Any
// other encoding raises the script error invalid-arg with it.
Cell string_from_encoded(const uint8_t* bytes, uint32_t size, int32_t encoding);

// Widen every unit of a string buffer in place (the node keeps referring to
// the buffer, which may have moved); return the buffer.
SeriesBuf* string_widen_1_to_2(SeriesBuf* buf);
SeriesBuf* string_widen_1_to_4(SeriesBuf* buf);
SeriesBuf* string_widen_2_to_4(SeriesBuf* buf);

// ---- display width --------------------------------------------------------

// 1 when [cp] lies in one of the inclusive ranges of [table] ([words] 32-bit
// entries: first, last, first, last, ...), else 0.
int unicode_range_search(uint32_t cp, const uint32_t* table, uint32_t words);
// Terminal cells of a code point: 0 for U+0000 and for combining marks, 1 for
// control characters, 2 for East Asian wide and fullwidth characters, else 1.
int unicode_char_width(uint32_t cp);
// The same, with East Asian ambiguous characters taking 2 cells.
int unicode_char_width_cjk(uint32_t cp);

}  // namespace kel
