// Shared internals of the lexer's three files: the scan state, the tables,
// the output buffer and the helpers the scanners and loaders call.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/lexer.h"

namespace kel {

// ---- tables ---------------------------------------------------------------------------

constexpr int kLexerClasses = 40;
constexpr int kLexerWorkingStates = 65;
constexpr int kLexerTerminalBase = 66;  // terminal state = 66 + token kind
constexpr int kLexerKinds = 36;

// Character classes.
enum LexerClass : uint8_t {
    C_BLANK = 0, C_LF, C_DIGIT19, C_ZERO, C_BLOCK_OPEN, C_BLOCK_CLOSE, C_PAREN_OPEN, C_PAREN_CLOSE,
    C_BRACE_OPEN, C_BRACE_CLOSE, C_DQ, C_HASH, C_QUOTE, C_COLON, C_X, C_T, C_H, C_E_LOW, C_E_UP,
    C_HEX_LOW, C_HEX_UP, C_SLASH, C_BACKSLASH, C_LESS, C_GREATER, C_EQUAL, C_PERCENT, C_COMMA,
    C_SEMICOLON, C_AT, C_DOT, C_DOLLAR, C_PLUS, C_MINUS, C_CARET, C_CONTROL, C_CONT, C_LETTER, C_BAD,
    C_END
};

// Token flag bits (the class table's upper 24 bits).
// Internal: a byte 80-BF (a continuation byte, or DEL), so that a token
// holding one without any lead byte is still decoded and refused.
constexpr uint32_t LF_CONT = 0x100;
constexpr uint32_t LF_PERCENT = 0x40000;
constexpr uint32_t LF_GREATER = 0x80000;
constexpr uint32_t LF_LESS = 0x100000;
constexpr uint32_t LF_SIGN = 0x200000;
constexpr uint32_t LF_NUL = 0x400000;
constexpr uint32_t LF_HASH = 0x800000;
constexpr uint32_t LF_EXP = 0x1000000;
constexpr uint32_t LF_QUOTE = 0x2000000;
constexpr uint32_t LF_COLON = 0x4000000;
constexpr uint32_t LF_COMMA = 0x8000000;
constexpr uint32_t LF_DOT = 0x10000000;
constexpr uint32_t LF_CARET = 0x20000000;
constexpr uint32_t LF_UTF8_BMP = 0x40000000;   // lead bytes C2-EF
constexpr uint32_t LF_UTF8_WIDE = 0x80000000;  // lead bytes F0-F7

extern const uint32_t lexer_class_table[256];
extern const uint8_t lexer_state_type_table[102];
extern const uint8_t lexer_delimiter_classes[kLexerClasses];

inline uint32_t lexer_class_of(uint8_t b) { return lexer_class_table[b] & 0xFF; }
// Character unit a token needs from its flags: 1, 2 or 4.
inline uint32_t lexer_unit_of(uint32_t flags) {
    uint32_t u = 1u << (flags >> 30);
    return u > 4 ? 4 : u;
}
bool lexer_unicode_blank_q(uint32_t cp);

// Token kinds.
enum LexerKind : int32_t {
    K_EOF = 0, K_ERROR, K_BLOCK_OPEN, K_BLOCK_CLOSE, K_PAREN_OPEN, K_PAREN_CLOSE, K_BRACE_OPEN,
    K_BRACE_CLOSE, K_MAP_OPEN, K_PATH, K_CONSTRUCT, K_COMMENT, K_COMMA, K_STRING, K_WORD, K_ISSUE,
    K_INTEGER, K_REFINEMENT, K_CHAR, K_FILE, K_BINARY, K_PERCENT, K_FLOAT, K_NAN_INF, K_TUPLE, K_DATE,
    K_PAIR, K_POINT, K_TIME, K_MONEY, K_TAG, K_URL, K_EMAIL, K_HEX, K_RAWSTRING, K_REF
};

// Entry states.
constexpr int32_t kEntryBraced = 4;
constexpr int32_t kEntryPoint = 35;
constexpr int32_t kEntryPath = 59;

// Internal cell type of an open-block marker in the output:
//   data1 cells between the previous block start and the marker,
//   data2 the block's type, with a point's comma count in the upper 16 bits,
//   data3 byte offset of the opening delimiter from the input start.
constexpr uint32_t kMarkerType = 31;

// Negative error types of `lexer_throw_error`.
constexpr int32_t kErrBadChar = -1;
constexpr int32_t kErrConstruct = -2;
constexpr int32_t kErrMissing = -3;
constexpr int32_t kErrUnclosed = -4;

// ---- the scan state ---------------------------------------------------------------------

struct LexerState {
    LexerState* next = nullptr;
    LexerState* prev = nullptr;
    // Output cells by index into the shared buffer: this scan's first cell,
    // the first cell after the innermost open marker, the next free cell.
    uint32_t head = 0, block_start = 0, tail = 0;
    const uint8_t* input_start = nullptr;
    const uint8_t* input_end = nullptr;
    const uint8_t* pos = nullptr;
    const uint8_t* token_start = nullptr;
    const uint8_t* token_end = nullptr;
    int32_t line = 1;
    int32_t token_lines = 0;  // line feeds inside the current token
    int32_t lf_before = 0;    // line feeds between the previous token and this one
    int32_t pending_error = -1;
    int32_t type = 0;  // value type of the current token
    int32_t entry_state = 0;
    int32_t prev_state = 0;
    int32_t closing_type = 0;  // type of the unclosed block at an error
    int32_t last_type = 0;     // the scan's result type
    // Braced string in progress.
    const uint8_t* brace_start = nullptr;
    int32_t brace_count = 0;
    uint32_t brace_flags = 0;
    int32_t brace_lf = 0;
    // Callback.
    Cell callback = {TYPE_NONE, 0, 0, 0};
    bool has_callback = false;
    uint32_t mask = 0;
    Cell input = {TYPE_NONE, 0, 0, 0};
    Cell into = {TYPE_NONE, 0, 0, 0};
    bool load = false;
    // Code-point cache of `lexer_cp_offset`.
    const uint8_t* cp_pos = nullptr;
    uint32_t cp_count = 0;
    // Raw string: its closing brace, and whether its closing run is wrong.
    const uint8_t* raw_close = nullptr;
    bool raw_bad = false;
};

// The lexer's own quiet stop (throw code 10): it never leaves a scan.
struct LexerAbort {};
[[noreturn]] inline void lexer_abort() { throw LexerAbort{}; }

using LexerFn = void (*)(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool load);
extern LexerFn lexer_scanners[kLexerKinds];
extern LexerFn lexer_loaders[kLexerKinds];
void lexer_split_pairs();

void lexer_scan_loop(LexerState* st, bool one_value, bool prescan);

// ---- output buffer -------------------------------------------------------------------------

extern Cell* g_lexer_out;
extern uint32_t g_lexer_out_capacity;

// The next output cell (unset!, with the new-line flag when a line feed came
// before the token); valid until the next call or nested scan.
Cell* lexer_alloc_cell(LexerState* st);
inline Cell* lexer_cell(uint32_t index) { return g_lexer_out + index; }
// Index of the innermost open marker, or -1.
inline int32_t lexer_open_marker(const LexerState* st) {
    return st->block_start > st->head ? static_cast<int32_t>(st->block_start - 1) : -1;
}
inline uint32_t lexer_marker_type(const Cell* m) { return m->data2 & 0xFFFF; }

// ---- nesting, events, errors (lexer_entry.cpp) ----------------------------------------------

void lexer_open_block(LexerState* st, uint32_t type, const uint8_t* start, const uint8_t* end);
// expected: block!, paren!, set-path! (a path ended by ":"), or 0 for any.
void lexer_close_block(LexerState* st, const uint8_t* start, const uint8_t* end, uint32_t expected, bool silent);
void lexer_close_paths(LexerState* st);
void lexer_path_item_end(LexerState* st);
bool lexer_point_ahead_q(const LexerState* st, const uint8_t* paren);
// Fires an event; answers whether to go on. [token] may be null.
bool lexer_fire_event(LexerState* st, uint32_t event, int32_t type, const Cell* token, const uint8_t* start,
                      const uint8_t* end);
[[noreturn]] void lexer_throw_error(LexerState* st, const uint8_t* start, const uint8_t* end, int32_t type);

// ---- token helpers (lexer_load.cpp) ------------------------------------------------------

// Bytes of the character at [p] (before [end]): its UTF-8 length, or 1 for
// a byte that starts no valid sequence.
uint32_t lexer_char_length(const uint8_t* p, const uint8_t* end);
// Skips leading Unicode blanks of a word token; raises on invalid UTF-8.
const uint8_t* lexer_skip_unicode_blanks(LexerState* st, const uint8_t* s, const uint8_t* e);
// Decodes one escape after "^" at [p]; returns the position after it or null.
const uint8_t* lexer_char_escape(const uint8_t* p, const uint8_t* end, uint32_t* cp);

}  // namespace kel
