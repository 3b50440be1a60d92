// The lexer's tables and its scan loop.
//
// Every byte maps to one of 40 classes (with a flag bit for the characters
// the loaders care about); the class drives the transition table of 65
// working states, expanded at build time from runtime/lexer_grammar.txt. A
// transition to state 66 + k ends a token of kind k; the byte that caused it
// is not part of the token. The loop does one class lookup and one
// transition lookup per byte and never allocates; scanners and loaders see
// the token's bytes in place.
#include <cstring>

#include "runtime/lexer_internal.h"

namespace kel {

namespace {
#include "lexer_transitions.inc"
}  // namespace

namespace {

constexpr uint32_t class_entry(int b) {
    if (b == 0) return C_END | LF_NUL;
    if (b == 0x09 || b == 0x0D || b == 0x20) return C_BLANK;
    if (b == 0x0A) return C_LF;
    if (b < 0x20) return C_CONTROL;
    if (b >= '1' && b <= '9') return C_DIGIT19;
    switch (b) {
    case '0': return C_ZERO;
    case '[': return C_BLOCK_OPEN;
    case ']': return C_BLOCK_CLOSE;
    case '(': return C_PAREN_OPEN;
    case ')': return C_PAREN_CLOSE;
    case '{': return C_BRACE_OPEN;
    case '}': return C_BRACE_CLOSE;
    case '"': return C_DQ;
    case '#': return C_HASH | LF_HASH;
    case '\'': return C_QUOTE | LF_QUOTE;
    case ':': return C_COLON | LF_COLON;
    case 'x': case 'X': return C_X;
    case 'T': return C_T;
    case 'h': return C_H;
    case 'e': return C_E_LOW | LF_EXP;
    case 'E': return C_E_UP | LF_EXP;
    case 'a': case 'b': case 'c': case 'd': case 'f': return C_HEX_LOW;
    case 'A': case 'B': case 'C': case 'D': case 'F': return C_HEX_UP;
    case '/': return C_SLASH;
    case '\\': return C_BACKSLASH;
    case '<': return C_LESS | LF_LESS;
    case '>': return C_GREATER | LF_GREATER;
    case '=': return C_EQUAL;
    case '%': return C_PERCENT | LF_PERCENT;
    case ',': return C_COMMA | LF_COMMA;
    case ';': return C_SEMICOLON;
    case '@': return C_AT;
    case '.': return C_DOT | LF_DOT;
    case '$': return C_DOLLAR;
    case '+': return C_PLUS | LF_SIGN;
    case '-': return C_MINUS | LF_SIGN;
    case '^': return C_CARET | LF_CARET;
    default: break;
    }
    if (b < 0x7F) return C_LETTER;
    if (b <= 0xBF) return C_CONT | LF_CONT;
    if (b == 0xC0 || b == 0xC1 || b >= 0xF8) return C_BAD;
    return C_LETTER | (b <= 0xEF ? LF_UTF8_BMP : LF_UTF8_WIDE);
}

constexpr auto make_class_table() {
    struct T {
        uint32_t v[256];
    } t{};
    for (int b = 0; b < 256; b++) t.v[b] = class_entry(b);
    return t;
}
constexpr auto kClassTable = make_class_table();

}  // namespace

const uint32_t lexer_class_table[256] = {
#define R(i) kClassTable.v[i], kClassTable.v[i + 1], kClassTable.v[i + 2], kClassTable.v[i + 3]
#define R16(i) R(i), R(i + 4), R(i + 8), R(i + 12)
    R16(0), R16(16), R16(32), R16(48), R16(64), R16(80), R16(96), R16(112),
    R16(128), R16(144), R16(160), R16(176), R16(192), R16(208), R16(224), R16(240),
#undef R16
#undef R
};

// Value type of each state (0: the state stands for no value).
const uint8_t lexer_state_type_table[102] = {
    // working states 0-64
    0, 0, TYPE_STRING, TYPE_STRING, TYPE_STRING, TYPE_STRING, TYPE_FILE, TYPE_FILE, TYPE_FILE, TYPE_FILE,
    TYPE_STRING, TYPE_STRING, TYPE_STRING, TYPE_WORD, TYPE_REFINEMENT, TYPE_WORD, TYPE_ISSUE, TYPE_BINARY, 0,
    TYPE_CHAR, TYPE_CHAR, 0, TYPE_ISSUE, TYPE_INTEGER, TYPE_FLOAT, TYPE_FLOAT, TYPE_FLOAT, TYPE_FLOAT,
    TYPE_FLOAT, TYPE_TUPLE, TYPE_DATE, TYPE_TIME, TYPE_TIME, TYPE_PAIR, TYPE_PAIR, TYPE_POINT2D, TYPE_MONEY,
    TYPE_MONEY, TYPE_MONEY, 0, TYPE_INTEGER, TYPE_WORD, TYPE_INTEGER, TYPE_TAG, TYPE_TAG, TYPE_TAG, TYPE_TAG,
    TYPE_WORD, TYPE_WORD, TYPE_WORD, TYPE_FLOAT, TYPE_WORD, TYPE_WORD, TYPE_SET_WORD, TYPE_WORD, TYPE_URL,
    TYPE_EMAIL, TYPE_REF, TYPE_WORD, TYPE_PATH, TYPE_INTEGER, TYPE_WORD, TYPE_WORD, TYPE_ISSUE, TYPE_WORD,
    // 65 never occurs
    0,
    // terminal states 66-101, one per token kind
    0, TYPE_ERROR, 0, 0, 0, 0, 0, TYPE_STRING, 0, 0, 0, 0, 0, TYPE_STRING, TYPE_WORD, TYPE_ISSUE, TYPE_INTEGER,
    TYPE_REFINEMENT, TYPE_CHAR, TYPE_FILE, TYPE_BINARY, TYPE_PERCENT, TYPE_FLOAT, TYPE_FLOAT, TYPE_TUPLE,
    TYPE_DATE, TYPE_PAIR, TYPE_POINT2D, TYPE_TIME, TYPE_MONEY, TYPE_TAG, TYPE_URL, TYPE_EMAIL, TYPE_INTEGER,
    TYPE_STRING, TYPE_REF,
};

const uint8_t lexer_delimiter_classes[kLexerClasses] = {
    1, 1, 0, 0, 1, 1, 1, 1, 1, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1,
};

namespace {

// Kinds whose terminal byte belongs to the token: scanning resumes after it.
constexpr uint8_t kTakesTerminalByte[kLexerKinds] = {
    0, 0, 1, 1, 1, 1, 1, 1,  // eof, error, [ ] ( ) { }
    1, 1, 1, 0, 1, 1, 0, 0,  // #[ path-head #(..) comment , "string word issue
    0, 0, 1, 0, 1, 1, 0, 0,  // integer refinement char file binary percent float nan
    0, 0, 0, 1, 0, 0, 1, 0,  // tuple date pair point time money tag url
    0, 0, 0, 0,              // email hex rawstring ref
};

// Where a raw string really ends. The machine stops at the first "}" and
// "%" run followed by a delimiter, which may be shorter than the opening
// run; such a run belongs to the text and the search for a "}" with the
// opening run's length goes on. Sets the closing brace and the position
// after its run (counting the line feeds passed), or marks the token bad
// when a longer run comes first or the input ends.
void raw_string_extend(LexerState* st, const uint8_t* s, const uint8_t* e) {
    uint32_t n = 0;
    while (s + n < e && s[n] == '%') n++;
    uint32_t run = 0;
    while (e - run - 1 > s + n && e[-1 - static_cast<int32_t>(run)] == '%') run++;
    st->raw_close = nullptr;
    st->raw_bad = false;
    if (run >= n) {
        st->raw_bad = run > n;
        st->raw_close = e - run - 1;
        return;
    }
    const uint8_t* end = st->input_end;
    for (const uint8_t* q = e; q < end; q++) {
        if (*q != '}') continue;
        uint32_t k = 0;
        while (q + 1 + k < end && q[1 + k] == '%') k++;
        if (k < n) continue;
        if (k > n) break;
        for (const uint8_t* c = e; c < q + 1 + k; c++) st->line += *c == '\n';
        st->raw_close = q;
        st->pos = q + 1 + k;
        return;
    }
    st->raw_bad = true;
}

inline bool run_checked(LexerFn fn, LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t flags,
                        bool load) {
    try {
        fn(st, s, e, flags, load);
    } catch (const LexerAbort&) {
        return false;
    }
    return true;
}

bool stop_for_one_value(const LexerState* st) {
    return st->block_start == st->head && st->tail - st->head <= 1;
}

}  // namespace

void lexer_scan_loop(LexerState* st, bool one_value, bool prescan) {
    const bool has_cb = st->has_callback;
    int32_t lf_carry = 0;  // line feeds before Unicode blanks skipped at a word's head
    while (st->pos < st->input_end) {
        // 1. Start a token.
        const uint8_t* p = st->pos;
        const uint8_t* const end = st->input_end;
        int32_t state = st->entry_state;
        uint32_t flags = 0;
        int32_t line_begin = st->line;
        // Leading blanks, line feeds and control bytes (state 0's skip run).
        if (state == 0) {
            while (p < end) {
                uint32_t cls = lexer_class_table[*p] & 0xFF;
                if (kLexerTransitions[0][cls] != 0) break;
                st->line += cls == C_LF;
                p++;
            }
        }
        const uint8_t* s = p;
        int32_t line_token = st->line;
        // 2. Run the machine to a terminal state.
        int32_t next;
        for (;;) {
            if (p == end) {
                // 3. The input ran out: feed the end class.
                next = kLexerTransitions[state][C_END];
                break;
            }
            uint32_t entry = lexer_class_table[*p];
            flags |= entry;
            uint32_t cls = entry & 0xFF;
            next = kLexerTransitions[state][cls];
            if (next >= kLexerTerminalBase) break;
            st->line += cls == C_LF;
            state = next;
            p++;
        }
        // 4. Record the token.
        int32_t kind = next - kLexerTerminalBase;
        const uint8_t* e = p;
        st->token_start = s;
        st->token_end = e;
        // Events report a token with the terminal byte it owns.
        bool owns_terminal = p < end && (kTakesTerminalByte[kind] || (kind == K_FILE && state == 8));
        st->pos = e + owns_terminal;
        st->token_lines = st->line - line_token;
        st->lf_before = line_token - line_begin + lf_carry;
        lf_carry = 0;
        st->prev_state = state;
        st->pending_error = -1;
        st->type = lexer_state_type_table[next];
        // A NUL byte ends the input where it stands, whether or not the
        // callback lets the end-of-input token through.
        if (kind == K_EOF) st->input_end = e;
        if (kind == K_POINT) st->entry_state = 0;
        if (kind == K_RAWSTRING) raw_string_extend(st, s, e);

        // 5. Structural tokens keep nesting and braced strings tracked in prescan mode.
        if (prescan && next <= 79) {
            LexerFn fn = lexer_scanners[kind];
            if (fn && !run_checked(fn, st, s, e, flags, false)) return;
        }
        // 6. Unicode blanks at a word's head are skipped: the token is
        // scanned again from the first character after them.
        if (kind == K_WORD && (flags & (LF_UTF8_BMP | LF_UTF8_WIDE)) && *s >= 0x80) {
            const uint8_t* w = lexer_skip_unicode_blanks(st, s, e);
            if (w != s) {
                st->pos = w;
                lf_carry = st->lf_before;
                continue;
            }
        }
        // 7. Prescan event.
        bool go_on = true;
        if (has_cb && st->brace_count == 0) {
            // A "(" that begins a point literal is not reported on its own.
            bool point_paren =
                kind == K_PAREN_OPEN && (st->entry_state == kEntryPoint || lexer_point_ahead_q(st, e));
            if (!point_paren) {
                int32_t t = st->type ? st->type : -(kind + 1);
                const uint8_t* resume = st->pos;
                go_on = lexer_fire_event(st, LEXER_PRESCAN, t, nullptr, s, e + owns_terminal);
                // A callback that moved the input took the scan elsewhere:
                // the token is left alone. Opening a braced string or a path
                // here would pair it with text before its own start.
                if (st->pos != resume) go_on = false;
            }
        }
        if (prescan && !has_cb) go_on = false;
        // A refused error token that is empty (the first byte had no
        // transition) steps over that character: scanning again from it
        // would meet the same error for ever.
        if (!go_on && kind == K_ERROR && s == e && st->pos == e && e < st->input_end)
            st->pos = e + lexer_char_length(e, st->input_end);

        // 8. Scan and load.
        if (go_on) {
            if (next < 79) {
                if (!prescan) {
                    LexerFn fn = lexer_scanners[kind];
                    if (fn && !run_checked(fn, st, s, e, flags, st->load)) {
                        if (one_value && !st->load) return;
                        // An abort absorbed here continues the scan only when
                        // the position moved past the token's start.
                        if (st->pos <= s) return;
                        continue;
                    }
                }
            } else {
                LexerFn scanner = lexer_scanners[kind];
                LexerFn loader = lexer_loaders[kind];
                bool listens = has_cb && (st->mask & LEXER_SCAN);
                if (!st->load || scanner || listens) {
                    LexerFn check = scanner ? scanner : loader;
                    if (check && !run_checked(check, st, s, e, flags, false)) return;
                    if (has_cb)
                        go_on = lexer_fire_event(st, LEXER_SCAN, st->type, nullptr, s, st->token_end + owns_terminal);
                } else if (has_cb) {
                    go_on = true;
                }
                if (!has_cb) go_on = !one_value || st->load;
                if (go_on && loader) {
                    uint32_t before = st->tail;
                    if (!run_checked(loader, st, s, st->token_end, flags, true)) return;
                    if (has_cb && st->tail > before) {
                        Cell value = *lexer_cell(st->tail - 1);
                        if (!lexer_fire_event(st, LEXER_LOAD, value.type(), &value, s, st->token_end + owns_terminal))
                            st->tail = before;
                    }
                }
            }
        }
        // 9. Path items end at a delimiter, "/" or ":".
        if (st->entry_state == kEntryPath && kind != K_PATH && kind != K_ERROR) {
            try {
                lexer_path_item_end(st);
            } catch (const LexerAbort&) {
                return;
            }
        }
        // 10. One value is enough in one-value and prescan modes.
        if ((one_value || prescan) && st->type > 0 && st->entry_state != kEntryPath && st->brace_count == 0 &&
            kind != K_PATH && stop_for_one_value(st)) {
            st->last_type = st->type;
            return;
        }
        // 11. The result type.
        st->last_type = st->type;
    }
    // 12. The input ended inside a braced string.
    if (st->brace_count > 0) lexer_throw_error(st, st->brace_start, st->input_end, TYPE_STRING);
}

}  // namespace kel
