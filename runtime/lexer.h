// The lexer: UTF-8 source text to values.
//
// A table-driven automaton over bytes (runtime/lexer_scan.cpp) cuts the text
// into tokens; each token kind has a scanner that checks it and a loader that
// builds its value (runtime/lexer_load.cpp) into the lexer's output buffer;
// the entries below start and finish scans, build nested blocks and paths,
// report events to a callback and raise syntax errors
// (runtime/lexer_entry.cpp).
//
// Invariants:
//  - the bytes handed to `lexer_scan_utf8` must not move during the scan:
//    they never lie in a series buffer (the entries for string! and binary!
//    values copy the text into the lexer's work buffer first);
//  - the output buffer is C++ heap memory shared by all active scans in
//    stack order; a scan refers to its cells by index, so the buffer may grow
//    (and move) under a nested scan; its cells are collector roots;
//  - `out` and `into` cells given to the entries must not lie in a series
//    buffer either (a stack cell or a rooted C++ cell).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Event bits of the callback's mask.
enum LexerEvent : uint32_t {
    LEXER_PRESCAN = 1,
    LEXER_SCAN = 2,
    LEXER_LOAD = 4,
    LEXER_OPEN = 8,
    LEXER_CLOSE = 16,
    LEXER_ERROR = 32,
};
constexpr uint32_t kLexerAllEvents = 63;

// Makes the output buffer (1,000 cells) and the work buffer (100,000 bytes),
// the Unicode-blank set and the scanner and loader tables, registers the
// collector root, installs the lexer as the word module's text loader and as
// the converter of `to block!` of a string. Idempotent.
void lexer_init();

// Scans [length] bytes of UTF-8 from [start].
//  - one_value: stop after the first complete value (transcode /next /one /scan);
//  - load: build values (clear for /prescan);
//  - not_scan: clear for /scan, which only classifies the first token;
//  - keep_block: always give a block, even in one-value mode;
//  - consumed (may be null): receives how much input was used: code points
//    when [input] is a string!, else bytes;
//  - callback (may be null): a function! or routine! called for the events;
//  - input (may be null): the string! or binary! whose positions the events
//    report (its index is the position of [start]);
//  - into (may be null): a block the values are appended to instead of a new
//    block being made.
// Writes the value or block into [out] (untouched in prescan and scan modes)
// and returns the result type: the value type of the last token, error! when
// an error stopped a prescan or scan, 0 for none.
int32_t lexer_scan_utf8(Cell* out, const uint8_t* start, uint32_t length, bool one_value, bool load,
                        bool not_scan, bool keep_block, uint32_t* consumed, const Cell* callback,
                        const Cell* input, Cell* into);

// True when the syntax error the lexer raised last came from the input
// ending inside an open block, paren or braced string, so that more input
// may complete it; false for an error in the text itself (a stray or
// mismatched closing delimiter, an invalid token).
bool lexer_error_at_input_end();

// Scans the text of a string value from its head: [length] characters, or
// -1 for up to the tail. The characters are written as UTF-8 into the work
// buffer first. Flags and results as for `lexer_scan_utf8`; [consumed]
// counts characters.
int32_t lexer_load_string(Cell* out, const Cell* str, int32_t length, bool one_value, bool load, bool not_scan,
                          bool keep_block, uint32_t* consumed, const Cell* callback, Cell* into);

// The same for the bytes of a binary! value from its head ([length] bytes or
// -1 for all); a leading UTF-8 byte-order mark is not skipped here.
int32_t lexer_load_binary(Cell* out, const Cell* bin, int32_t length, bool one_value, bool load, bool not_scan,
                          bool keep_block, uint32_t* consumed, const Cell* callback, Cell* into);

// The events a callback listens to: the words prescan, scan, load, open,
// close and error of a block that opens its body; all six without one.
uint32_t lexer_event_mask(const Cell* callback);

// Collector root: every active scan's output cells, input and callback.
void lexer_gc_mark();

// Number of scans running (nested through callbacks).
uint32_t lexer_active_scans();

// ---- conversions of string values to numbers --------------------------------------
// [chars]: [count] units of [unit] bytes (a string's characters). Nothing is
// raised: the error slot tells the caller, which raises its own conversion
// error.

// Error slot: 0 ok, -1 invalid character, -2 overflow.
int32_t lexer_to_integer(const uint8_t* chars, uint32_t unit, uint32_t count, int32_t* error);
// Error slot -1 on failure; the result is then a quiet NaN.
double lexer_to_float(const uint8_t* chars, uint32_t count, uint32_t unit, int32_t* error);
// Writes a money! into [out]; error slot -1 on failure.
void lexer_to_money(const uint8_t* chars, uint32_t count, uint32_t unit, Cell* out, int32_t* error);

// ---- the evaluator's side ----------------------------------------------------------

// Calls a callback with the five event arguments args[0..4] (event word,
// input series, type, line, token) and answers the truth of its result.
// After the call args[1] must hold the callback's `input` argument as the
// callback left it, so that a moved index moves the scan. Installed by the
// evaluator; until then a scan with a callback raises internal `not-done`.
using LexerCallbackCall = bool (*)(const Cell* callback, Cell* args);
extern LexerCallbackCall g_lexer_callback_call;

// The body block of a function! callback (false for a routine! or when no
// body is known). Installed by the evaluator; without it every callback
// listens to all six events.
using LexerCallbackBody = bool (*)(const Cell* callback, Cell* body);
extern LexerCallbackBody g_lexer_callback_body;

// The block `system/lexer/exit-states`, which names the token kinds for the
// events' negative types; null or a non-block gives none. Installed by the
// system object.
using LexerExitStates = const Cell* (*)();
extern LexerExitStates g_lexer_exit_states;

// Installs the interpreter's callback call and body reader in the hooks
// above that are still empty (lexer_init does it).
void lexer_install_evaluator_hooks();

// The `transcode` native (index 106): src [binary! string!] /next /one
// /prescan /scan /part length /into dst /trace callback. The calling
// protocol is that of runtime/natives.h.
void native_transcode(int32_t check, const int32_t* refs);

}  // namespace kel
