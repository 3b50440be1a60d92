// The lexer's token scanners and loaders: one (scanner, loader) pair per
// token kind.
//
// A scanner checks a token and may refine its value type or cut it short; a
// loader with the load flag clear only validates, with it set builds the
// value into the next output cell. Every check comes before the cell is
// taken, so a failed token never leaves a half-built value in the output.
// Errors go through `lexer_throw_error` with the datatype of the literal (or
// a negative type for the bad-character and construction errors).
//
// Token bytes are read in place; a value that needs them (a string's text,
// a word's name) copies them. Scanning resumes where the scan loop put it:
// after the terminal byte for kinds that own it (closing quotes, "}", ">",
// "%", ")"), at the token end otherwise.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/datatype.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/float_text.h"
#include "runtime/lexer_internal.h"
#include "runtime/lexer_values.h"
#include "runtime/memory.h"
#include "runtime/number_convert.h"
#include "runtime/symbols.h"
#include "runtime/unicode.h"

namespace kel {

LexerFn lexer_scanners[kLexerKinds];
LexerFn lexer_loaders[kLexerKinds];

namespace {

// ---- small helpers ------------------------------------------------------------------------

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline bool is_alpha(uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
inline uint8_t lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c; }
bool equal_nocase(const uint8_t* s, size_t n, const char* name) {
    size_t k = std::strlen(name);
    if (k != n) return false;
    for (size_t i = 0; i < n; i++)
        if (lower(s[i]) != lower(static_cast<uint8_t>(name[i]))) return false;
    return true;
}

[[noreturn]] void fail(LexerState* st, const uint8_t* s, const uint8_t* e, int32_t type) {
    lexer_throw_error(st, s, e, type);
}

// Writes a whole cell into the next output cell, keeping its new-line flag.
Cell* put_cell(LexerState* st, uint32_t type, uint32_t d1, uint32_t d2, uint32_t d3) {
    Cell* c = lexer_alloc_cell(st);
    c->header = (c->header & CELL_NEW_LINE) | type;
    c->data1 = d1;
    c->data2 = d2;
    c->data3 = d3;
    return c;
}
// The same from a value made elsewhere (its own flags dropped).
void put_value(LexerState* st, const Cell* v) {
    Cell* c = lexer_alloc_cell(st);
    uint32_t nl = c->header & CELL_NEW_LINE;
    *c = *v;
    c->header = (c->header & ~CELL_NEW_LINE) | nl;
}

// Runs a datatype's constructor into a scratch cell, then copies the result
// into the output: the constructor may allocate.
template <class F> void put_constructed(LexerState* st, F make) {
    Cell v{TYPE_UNSET, 0, 0, 0};
    make(&v);
    put_value(st, &v);
}

// ---- text: escapes, UTF-8, strings ------------------------------------------------------

const struct {
    const char* name;
    uint32_t cp;
} kCharNames[] = {{"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};

// Decodes [s, e) into code points, calling sink(cp) for each; escapes after
// "^" when [escapes]. False on invalid UTF-8 or an invalid escape.
// With [surrogates], the three-byte form ED A0-BF 80-BF stands for the lone
// surrogate U+D800-U+DFFF it spells: percent-decoded text carries it so that
// a url! holding one, molded as its escapes, loads back the same.
template <class Sink>
bool decode_text(const uint8_t* s, const uint8_t* e, bool escapes, Sink&& sink, bool surrogates = false) {
    while (s < e) {
        uint8_t b = *s;
        uint32_t cp;
        if (surrogates && e - s >= 3 && unicode_surrogate_form_q(s)) {
            cp = 0xD800u | uint32_t(s[1] & 0x1F) << 6 | (s[2] & 0x3Fu);
            s += 3;
        } else if (b == '^' && escapes) {
            s = lexer_char_escape(s + 1, e, &cp);
            if (!s || cp > 0x10FFFF) return false;
        } else if (b < 0x80) {
            cp = b;
            s++;
        } else {
            int32_t c;
            s = unicode_fast_decode_utf8_char(s, e, &c);
            if (c < 0) return false;
            cp = static_cast<uint32_t>(c);
        }
        sink(cp);
    }
    return true;
}

void put_unit(uint8_t* at, uint32_t unit, uint32_t cp) {
    switch (unit) {
    case 1: *at = static_cast<uint8_t>(cp); break;
    case 2:
        at[0] = static_cast<uint8_t>(cp);
        at[1] = static_cast<uint8_t>(cp >> 8);
        break;
    default: std::memcpy(at, &cp, 4); break;
    }
}

// Checks the text of a string-like token and, with [load], builds it as a
// value of [type] in the output. The unit is the narrowest that holds every
// character.
void text_value(LexerState* st, const uint8_t* s, const uint8_t* e, bool escapes, uint32_t type, bool load,
                int32_t err_type, const uint8_t* err_start, int32_t force_newline = -1, bool surrogates = false) {
    bool plain = true;
    for (const uint8_t* q = s; q < e; q++)
        if (*q >= 0x80 || (escapes && *q == '^')) {
            plain = false;
            break;
        }
    uint32_t count = static_cast<uint32_t>(e - s), max_cp = 0;
    if (!plain) {
        count = 0;
        if (!decode_text(
                s, e, escapes,
                [&](uint32_t cp) {
                    count++;
                    if (cp > max_cp) max_cp = cp;
                },
                surrogates))
            fail(st, err_start, e, err_type);
    }
    if (!load) return;
    uint32_t unit = unit_for_codepoint(max_cp);
    Off node = alloc_string(count, unit);
    SeriesBuf* buf = node_buffer(node);
    uint8_t* out = buf->head_ptr();
    if (plain) {
        std::memcpy(out, s, count);
    } else {
        uint32_t i = 0;
        decode_text(s, e, escapes, [&](uint32_t cp) { put_unit(out + uint64_t(i++) * unit, unit, cp); }, surrogates);
    }
    buf->tail = buf->head + count * unit;
    Cell* c = put_cell(st, type, 0, node, 0);
    if (force_newline >= 0) c->header = (c->header & ~CELL_NEW_LINE) | (force_newline ? CELL_NEW_LINE : 0);
}

void percent_text_value(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t type, bool load,
                        int32_t err_type, const uint8_t* err_start) {
    if (!std::memchr(s, '%', static_cast<size_t>(e - s))) {
        text_value(st, s, e, false, type, load, err_type, err_start);
        return;
    }
    // Percent-decoded as url! text is: the result is UTF-8.
    std::string bytes = url_decode_text(std::string_view(reinterpret_cast<const char*>(s), static_cast<size_t>(e - s)));
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    text_value(st, b, b + bytes.size(), false, type, load, err_type, err_start, -1, true);
}

// ---- numbers ---------------------------------------------------------------------------------

// A decimal integer by the lexer's rule: optional sign, digits, "'" between
// digits. Returns false for bad text; [overflow] tells a number that needs
// more than 32 bits (or more than 10 digits).
bool read_decimal(const uint8_t* s, const uint8_t* e, int32_t* out, bool* overflow) {
    const uint8_t* p = s;
    bool neg = false;
    if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
    uint64_t v = 0;
    uint32_t digits = 0;
    bool quote = false;
    *overflow = false;
    for (; p < e; p++) {
        if (*p == '\'') {
            if (quote || digits == 0) return false;
            quote = true;
            continue;
        }
        if (!is_digit(*p)) return false;
        quote = false;
        if (++digits <= 11) v = v * 10 + (*p - '0');
    }
    if (digits == 0) return false;
    if (digits > 10 || v > (neg ? 2147483648ull : 2147483647ull)) {
        *overflow = true;
        return true;
    }
    *out = neg ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
    return true;
}

// A float token's value; false when it fails the float syntax.
bool read_float(const uint8_t* s, const uint8_t* e, int exp_adjust, double* out) {
    NumberTextStatus status;
    *out = number_text_to_float(s, 1, static_cast<uint32_t>(e - s), exp_adjust, status);
    return status == NUMBER_TEXT_OK;
}

// "1.#NaN" and "1.#INF" with an optional sign, letters in any case.
bool read_nan_inf(const uint8_t* s, const uint8_t* e, double* out) {
    bool neg = false;
    if (s < e && (*s == '+' || *s == '-')) neg = *s++ == '-';
    if (e - s != 6 || s[0] != '1' || s[1] != '.' || s[2] != '#') return false;
    if (equal_nocase(s + 3, 3, "nan")) {
        *out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (equal_nocase(s + 3, 3, "inf")) {
        *out = neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    return false;
}

// ---- structural kinds --------------------------------------------------------------------------

void scan_eof(LexerState* st, const uint8_t*, const uint8_t* e, uint32_t, bool) {
    // A NUL byte ends the input where it stands.
    st->pos = e;
    st->input_end = e;
}

void scan_error(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool) {
    int32_t state = st->prev_state;
    int32_t type = state < kLexerWorkingStates ? lexer_state_type_table[state] : 0;
    const uint8_t* start = state == kEntryPoint ? s - 1 : s;  // a point's text starts at its "("
    if (st->brace_count > 0) start = st->brace_start;
    if (type == TYPE_PATH || type == TYPE_LIT_PATH || type == TYPE_GET_PATH || type == TYPE_SET_PATH ||
        type == TYPE_BLOCK || type == TYPE_PAREN)
        start = nullptr;
    // A point or braced string cut by the error does not go on.
    if (st->entry_state == kEntryPoint || st->entry_state == kEntryBraced) {
        st->entry_state = 0;
        st->brace_count = 0;
    }
    if (type == 0) type = kErrBadChar;
    fail(st, start, e, type);
}

void scan_open(LexerState* st, const uint8_t*, const uint8_t* e, uint32_t, bool) {
    if (*e == '(') {
        if (lexer_point_ahead_q(st, e)) {
            st->entry_state = kEntryPoint;
            return;
        }
        lexer_open_block(st, TYPE_PAREN, e, e + 1);
    } else {
        lexer_open_block(st, TYPE_BLOCK, e, e + 1);
    }
}

void scan_block_close(LexerState* st, const uint8_t*, const uint8_t* e, uint32_t, bool) {
    lexer_close_block(st, e, e + 1, TYPE_BLOCK, false);
}

void scan_paren_close(LexerState* st, const uint8_t*, const uint8_t* e, uint32_t, bool) {
    lexer_close_block(st, e, e + 1, TYPE_PAREN, false);
}

void scan_brace_open(LexerState* st, const uint8_t*, const uint8_t* e, uint32_t flags, bool) {
    if (st->brace_count++ == 0) {
        st->brace_start = e;
        st->brace_flags = 0;
        st->brace_lf = st->lf_before;
        st->entry_state = kEntryBraced;
    } else {
        st->brace_flags |= flags;
    }
    st->type = 0;
}

void scan_brace_close(LexerState* st, const uint8_t*, const uint8_t* e, uint32_t flags, bool load) {
    st->brace_flags |= flags;
    if (--st->brace_count > 0) {
        st->type = 0;
        return;
    }
    st->entry_state = 0;
    st->type = TYPE_STRING;
    text_value(st, st->brace_start + 1, e, true, TYPE_STRING, load, TYPE_STRING, st->brace_start,
               st->brace_lf > 0 ? 1 : 0);
}

void scan_map_open(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool) {
    lexer_open_block(st, TYPE_MAP, s, e + 1);
}

// Source text repeats its words: a small direct-mapped cache from a short
// name to its global word saves interning and looking it up again. A word's
// symbol and slot in the global context never change; the cache is emptied
// when the symbol table or the global context is another one.
struct WordCacheEntry {
    uint32_t symbol, index;
    uint8_t len;
    char name[23];
};
constexpr uint32_t kWordCacheSize = 2048;
WordCacheEntry g_word_cache[kWordCacheSize];
Off g_word_cache_table = 0, g_word_cache_context = 0;

uint32_t name_hash(const uint8_t* s, uint32_t n) {
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < n; i++) h = (h ^ s[i]) * 16777619u;
    return h ^ (h >> 15);
}

void load_word_value(LexerState* st, const uint8_t* name, uint32_t len, uint32_t type) {
    if (g_word_cache_table != g_symbol_table || g_word_cache_context != g_global_context) {
        std::memset(g_word_cache, 0, sizeof g_word_cache);
        g_word_cache_table = g_symbol_table;
        g_word_cache_context = g_global_context;
    }
    WordCacheEntry* slot = nullptr;
    if (len <= sizeof slot->name) {
        slot = &g_word_cache[name_hash(name, len) & (kWordCacheSize - 1)];
        if (slot->symbol && slot->len == len && std::memcmp(slot->name, name, len) == 0) {
            put_cell(st, type, g_global_context, slot->symbol, slot->index);
            return;
        }
    }
    uint32_t sym = symbol_intern(g_symbol_table, name, len, false);
    Cell w;
    word_from_symbol(&w, sym);
    if (slot && w.data1 == g_global_context && g_word_cache_context == g_global_context) {
        slot->symbol = sym;
        slot->index = w.data3;
        slot->len = static_cast<uint8_t>(len);
        std::memcpy(slot->name, name, len);
    }
    put_cell(st, type, w.data1, w.data2, w.data3);
}

// Names are interned as their bytes: a name that is not valid UTF-8 would
// mold as other characters and load back as another word.
void check_name_utf8(LexerState* st, const uint8_t* s, const uint8_t* e) {
    for (const uint8_t* q = s; q < e;) {
        if (*q < 0x80) {
            q++;
            continue;
        }
        int32_t cp;
        q = unicode_fast_decode_utf8_char(q, e, &cp);
        if (cp < 0) fail(st, s, e, kErrBadChar);
    }
}

void scan_word(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool);
void load_word(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load);

// A word directly followed by "/": the head of a path.
void scan_path(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    check_name_utf8(st, s, e);
    uint32_t type = *s == '\'' ? TYPE_LIT_PATH : *s == ':' ? TYPE_GET_PATH : TYPE_PATH;
    uint32_t before = st->tail;
    lexer_open_block(st, type, s, e + 1);
    if (st->tail == before) {
        // The callback refused the path: its head is an ordinary word (with
        // its scan and load events) and the "/" starts the next token.
        st->pos = e;
        scan_word(st, s, e, 0, false);
        if (st->has_callback && !lexer_fire_event(st, LEXER_SCAN, st->type, nullptr, s, e)) return;
        if (!load) return;
        uint32_t at = st->tail;
        load_word(st, s, e, 0, true);
        if (st->has_callback) {
            Cell v = *lexer_cell(at);
            if (!lexer_fire_event(st, LEXER_LOAD, v.type(), &v, s, e)) st->tail = at;
        }
        return;
    }
    const uint8_t* w = s + (type != TYPE_PATH);
    bool go_on = true;
    if (st->has_callback) go_on = lexer_fire_event(st, LEXER_SCAN, TYPE_WORD, nullptr, w, e);
    if (go_on && load) {
        uint32_t at = st->tail;
        load_word_value(st, w, static_cast<uint32_t>(e - w), TYPE_WORD);
        if (st->has_callback) {
            Cell v = *lexer_cell(at);
            if (!lexer_fire_event(st, LEXER_LOAD, TYPE_WORD, &v, w, e)) st->tail = at;
        }
    }
    st->entry_state = kEntryPath;
    st->type = type;
}

// "#(" name ")": logic, none, unset or a datatype.
void scan_construct(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    const uint8_t* n = s + 2;
    size_t len = static_cast<size_t>(e - n);
    Cell v{TYPE_UNSET, 0, 0, 0};
    if (equal_nocase(n, len, "true")) cell_set(&v, TYPE_LOGIC, 1);
    else if (equal_nocase(n, len, "false")) cell_set(&v, TYPE_LOGIC, 0);
    else if (equal_nocase(n, len, "none")) cell_set(&v, TYPE_NONE);
    else if (equal_nocase(n, len, "unset")) cell_set(&v, TYPE_UNSET);
    else {
        int32_t found = 0;
        for (int32_t t = 1; t <= kTypeCount && !found; t++)
            if (g_type_names[t].name && equal_nocase(n, len, g_type_names[t].name)) found = t;
        if (!found) fail(st, s, e + 1, kErrConstruct);
        cell_set(&v, TYPE_DATATYPE, static_cast<uint32_t>(found));
    }
    st->type = v.type();
    if (load) put_value(st, &v);
}

void scan_comment(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool) {
    if (st->has_callback && (st->mask & LEXER_SCAN)) lexer_fire_event(st, LEXER_SCAN, -(K_COMMENT + 1), nullptr, s, e);
}

// A comma makes a paren a point and counts the point's coordinates.
void scan_comma(LexerState* st, const uint8_t*, const uint8_t* e, uint32_t, bool) {
    int32_t m = lexer_open_marker(st);
    if (m >= 0) {
        Cell* mk = lexer_cell(static_cast<uint32_t>(m));
        uint32_t t = lexer_marker_type(mk);
        uint32_t commas = mk->data2 >> 16;
        if (t == TYPE_PAREN || t == TYPE_POINT2D) {
            if (commas < 2) {
                mk->data2 = TYPE_POINT2D | (commas + 1) << 16;
                return;
            }
        }
    }
    fail(st, e, e + 1, TYPE_POINT2D);
}

// ---- strings and other text -----------------------------------------------------------------

void check_string(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool) {
    // Loading validates as it builds; checking first pays only when someone
    // looks at the checked token.
    if (st->load && !st->has_callback) return;
    text_value(st, s + 1, e, true, TYPE_STRING, false, TYPE_STRING, s);
}

void decode_string(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    text_value(st, s + 1, e, true, TYPE_STRING, load, TYPE_STRING, s);
}

void load_file(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    if (s + 1 < e && s[1] == '"') text_value(st, s + 2, e, true, TYPE_FILE, load, TYPE_FILE, s);
    else percent_text_value(st, s + 1, e, TYPE_FILE, load, TYPE_FILE, s);
}

void load_tag(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    if (*s != '<') fail(st, s, e + 1, TYPE_TAG);
    text_value(st, s + 1, e, false, TYPE_TAG, load, TYPE_TAG, s);
}

void load_url(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    if (*s == ':') fail(st, s, e, TYPE_GET_WORD);
    if (*s == '\'') fail(st, s, e, TYPE_LIT_WORD);
    percent_text_value(st, s, e, TYPE_URL, load, TYPE_URL, s);
}

void load_email(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    text_value(st, s, e, false, TYPE_EMAIL, load, TYPE_EMAIL, s);
}

void load_ref(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    text_value(st, s + 1, e, false, TYPE_REF, load, TYPE_REF, s);
}

void load_rawstring(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    if (st->raw_bad || !st->raw_close) fail(st, s, e, TYPE_STRING);
    const uint8_t* body = s;
    while (*body == '%') body++;
    text_value(st, body + 1, st->raw_close, false, TYPE_STRING, load, TYPE_STRING, s);
}

void load_char(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    const uint8_t* p = s + 2;
    uint32_t cp = 0;
    if (p >= e) fail(st, s, e + 1, TYPE_CHAR);
    if (*p == '^') {
        p = lexer_char_escape(p + 1, e, &cp);
    } else if (*p < 0x80) {
        cp = *p++;
    } else {
        int32_t c;
        p = unicode_fast_decode_utf8_char(p, e, &c);
        if (c < 0) p = nullptr;
        cp = static_cast<uint32_t>(c);
    }
    if (!p || p != e || cp > 0x10FFFF) fail(st, s, e + 1, TYPE_CHAR);
    if (load) put_cell(st, TYPE_CHAR, 0, cp, 0);
}

// ---- words -------------------------------------------------------------------------------------

void scan_word(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool) {
    if (flags & (LF_UTF8_BMP | LF_UTF8_WIDE | LF_CONT)) {
        // The word ends at its first Unicode blank; its other characters
        // must be valid UTF-8.
        for (const uint8_t* q = s; q < e;) {
            if (*q < 0x80) {
                q++;
                continue;
            }
            int32_t cp;
            const uint8_t* n = unicode_fast_decode_utf8_char(q, e, &cp);
            if (cp < 0) fail(st, s, e, kErrBadChar);
            if (lexer_unicode_blank_q(static_cast<uint32_t>(cp))) {
                e = q;
                st->token_end = st->pos = q;
                break;
            }
            q = n;
        }
    }
    uint8_t first = *s, last = e[-1];
    bool single = e - s == 1;
    uint32_t type = TYPE_WORD;
    if (first == '\'') {
        if (last == ':' && !single) fail(st, s, e, TYPE_LIT_WORD);
        type = TYPE_LIT_WORD;
    } else if (first == ':' && !single) {
        if (last == ':') fail(st, s, e, TYPE_WORD);
        type = TYPE_GET_WORD;
    } else if (last == ':' && !single) {
        type = TYPE_SET_WORD;
    }
    if (st->entry_state == kEntryPath && e < st->input_end && *e == ':') {
        const uint8_t* after = e + 1;
        if (after < st->input_end && !lexer_delimiter_classes[lexer_class_of(*after)]) fail(st, s, after, TYPE_WORD);
    }
    st->type = static_cast<int32_t>(type);
}

// Words and issues: the name without its "'", ":" or "#" marks, interned and
// bound to the global context.
void load_word(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    if (*s == '#') {
        if (e - s < 2) fail(st, s, e, TYPE_ISSUE);
        if (!load) return;
        uint32_t sym = symbol_intern(g_symbol_table, s + 1, static_cast<uint32_t>(e - s - 1), false);
        put_cell(st, TYPE_ISSUE, g_global_context, sym, kWordUnresolved);
        return;
    }
    if (!load) return;
    uint32_t type = st->type >= TYPE_WORD && st->type <= TYPE_GET_WORD ? static_cast<uint32_t>(st->type) : uint32_t(TYPE_WORD);
    const uint8_t* n = s;
    const uint8_t* m = e;
    if (type == TYPE_LIT_WORD || type == TYPE_GET_WORD) n++;
    if (type == TYPE_SET_WORD) m--;
    load_word_value(st, n, static_cast<uint32_t>(m - n), type);
}

void scan_issue(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool) {
    // Digits before the "#" ("16#" of a binary base) with no "{" after
    // them end here too: no issue.
    if (e - s < 2 || *s != '#') fail(st, s, e, TYPE_ISSUE);
    check_name_utf8(st, s, e);
}

void load_refinement(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    if (*s != '/') fail(st, s, e, TYPE_REFINEMENT);
    check_name_utf8(st, s, e);
    if (!load) return;
    uint32_t sym = symbol_intern(g_symbol_table, s + 1, static_cast<uint32_t>(e - s - 1), false);
    put_cell(st, TYPE_REFINEMENT, 0, sym, kWordUnresolved);
}

// ---- numbers -------------------------------------------------------------------------------------

void load_float_token(LexerState* st, const uint8_t* s, const uint8_t* e, bool load, int exp_adjust) {
    double d;
    if (!read_float(s, e, exp_adjust, &d)) fail(st, s, e, TYPE_FLOAT);
    if (load) {
        Cell* c = put_cell(st, TYPE_FLOAT, 0, 0, 0);
        cell_put_float(c, d);
    }
}

void load_integer(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    int32_t v;
    bool overflow;
    if (!read_decimal(s, e, &v, &overflow)) fail(st, s, e, TYPE_INTEGER);
    if (overflow) {
        st->type = TYPE_FLOAT;
        load_float_token(st, s, e, load, 0);
        return;
    }
    if (load) put_cell(st, TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0);
}

void load_float(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    load_float_token(st, s, e, load, 0);
}

void load_percent(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    double d;
    if (!read_float(s, e, -2, &d)) fail(st, s, e + 1, TYPE_FLOAT);
    if (load) put_constructed(st, [&](Cell* v) { g_lexer_constructors.make_percent(v, d); });
}

void load_nan_inf(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    double d;
    if (!read_nan_inf(s, e, &d)) fail(st, s, e, TYPE_FLOAT);
    if (load) {
        Cell* c = put_cell(st, TYPE_FLOAT, 0, 0, 0);
        cell_put_float(c, d);
    }
}

// "0FFh": 2 to 8 hexadecimal digits, the 32-bit pattern. A letter and one
// digit before the "h" ("Ah") is a word.
void load_hex(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    uint32_t n = static_cast<uint32_t>(e - s - 1);
    if (n < 2 && is_alpha(*s)) {
        st->type = TYPE_WORD;
        if (load) load_word_value(st, s, static_cast<uint32_t>(e - s), TYPE_WORD);
        return;
    }
    if (n < 2 || n > 8) fail(st, s, e, TYPE_INTEGER);
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; i++) {
        int h = hex_value(s[i]);
        if (h < 0) fail(st, s, e, TYPE_INTEGER);
        v = v << 4 | static_cast<uint32_t>(h);
    }
    if (load) put_cell(st, TYPE_INTEGER, 0, v, 0);
}

void load_tuple(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    uint8_t bytes[12];
    uint32_t count = 0, value = 0, digits = 0;
    for (const uint8_t* p = s;; p++) {
        if (p == e || *p == '.') {
            if (digits == 0 || count == 12) fail(st, s, e, TYPE_TUPLE);
            bytes[count++] = static_cast<uint8_t>(value);
            if (p == e) break;
            value = digits = 0;
            continue;
        }
        if (!is_digit(*p)) fail(st, s, e, TYPE_TUPLE);
        value = value * 10 + (*p - '0');
        if (value > 255) fail(st, s, e, TYPE_TUPLE);
        digits++;
    }
    if (count < 3) fail(st, s, e, TYPE_TUPLE);
    if (load) put_constructed(st, [&](Cell* v) { g_lexer_constructors.make_tuple(v, bytes, count); });
}

void load_pair(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool load) {
    if (flags & LF_DOT) {
        for (const uint8_t* p = s; p < e; p++)
            if (*p == '.') fail(st, s, e, TYPE_PAIR);
    }
    const uint8_t* x = s;
    while (x < e && *x != 'x' && *x != 'X') x++;
    int32_t a, b;
    bool over_a, over_b;
    if (x == e || !read_decimal(s, x, &a, &over_a) || !read_decimal(x + 1, e, &b, &over_b) || over_a || over_b)
        fail(st, s, e, TYPE_PAIR);
    if (load) put_constructed(st, [&](Cell* v) { g_lexer_constructors.make_pair(v, a, b); });
}

// "(x, y)" or "(x, y, z)"; the token starts after the "(".
void load_point(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    float xyz[3];
    uint32_t count = 0;
    const uint8_t* p = s;
    for (;;) {
        const uint8_t* q = p;
        while (q < e && *q != ',') q++;
        if (count == 3) fail(st, s - 1, e + 1, TYPE_POINT2D);
        const uint8_t* a = p;
        const uint8_t* b = q;
        while (a < b && (*a == ' ' || *a == '\t' || *a == '\r')) a++;
        while (b > a && (b[-1] == ' ' || b[-1] == '\t' || b[-1] == '\r')) b--;
        double d;
        if (b - a > static_cast<int32_t>(kFloatTextMaxChars) || !(read_nan_inf(a, b, &d) || read_float(a, b, 0, &d)))
            fail(st, s - 1, e + 1, TYPE_FLOAT);
        xyz[count++] = static_cast<float>(d);
        if (q == e) break;
        p = q + 1;
    }
    if (count < 2) fail(st, s - 1, e + 1, TYPE_POINT2D);
    st->type = count == 3 ? TYPE_POINT3D : TYPE_POINT2D;
    if (load) put_constructed(st, [&](Cell* v) { g_lexer_constructors.make_point(v, count, xyz); });
}

// ---- binary ----------------------------------------------------------------------------------------

int base64_value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The digits of a binary body without blanks and comments.
bool binary_digits(const uint8_t* s, const uint8_t* e, std::string& out) {
    for (const uint8_t* p = s; p < e; p++) {
        uint8_t c = *p;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == ';') {
            while (p < e && *p != '\n') p++;
            continue;
        }
        out += static_cast<char>(c);
    }
    return true;
}

bool decode_binary(uint32_t base, const std::string& d, std::string& bytes) {
    switch (base) {
    case 16:
        if (d.size() % 2) return false;
        for (size_t i = 0; i < d.size(); i += 2) {
            int h = hex_value(static_cast<uint8_t>(d[i])), l = hex_value(static_cast<uint8_t>(d[i + 1]));
            if (h < 0 || l < 0) return false;
            bytes += static_cast<char>(h << 4 | l);
        }
        return true;
    case 2:
        if (d.size() % 8) return false;
        for (size_t i = 0; i < d.size(); i += 8) {
            uint32_t v = 0;
            for (size_t k = 0; k < 8; k++) {
                char c = d[i + k];
                if (c != '0' && c != '1') return false;
                v = v << 1 | static_cast<uint32_t>(c - '0');
            }
            bytes += static_cast<char>(v);
        }
        return true;
    case 64: {
        size_t n = d.size();
        size_t pad = 0;
        while (pad < n && pad < 2 && d[n - 1 - pad] == '=') pad++;
        if (pad && n % 4) return false;
        size_t data = n - pad;
        if (data % 4 == 1) return false;
        uint32_t acc = 0;
        int bits = 0;
        for (size_t i = 0; i < data; i++) {
            int v = base64_value(static_cast<uint8_t>(d[i]));
            if (v < 0) return false;
            acc = acc << 6 | static_cast<uint32_t>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes += static_cast<char>(acc >> bits & 0xFF);
            }
        }
        return true;
    }
    default:
        return false;
    }
}

void load_binary(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    const uint8_t* hash = s;
    while (hash < e && *hash != '#') hash++;
    uint32_t base = 16;
    if (hash > s) {
        int32_t b;
        bool over;
        if (!read_decimal(s, hash, &b, &over) || over) fail(st, s, e + 1, TYPE_BINARY);
        base = static_cast<uint32_t>(b);
    }
    std::string digits, bytes;
    binary_digits(hash + 2, e, digits);
    if (!decode_binary(base, digits, bytes)) fail(st, s, e + 1, TYPE_BINARY);
    if (load)
        put_constructed(st, [&](Cell* v) {
            g_lexer_constructors.make_binary(v, reinterpret_cast<const uint8_t*>(bytes.data()),
                                             static_cast<uint32_t>(bytes.size()));
        });
}

// ---- time, money, date --------------------------------------------------------------------------

// Reads digits at [p]; false when none.
bool read_uint(const uint8_t*& p, const uint8_t* e, uint32_t max_digits, int64_t* out, uint32_t* ndigits = nullptr) {
    int64_t v = 0;
    uint32_t n = 0;
    while (p < e && is_digit(*p) && n < max_digits) {
        v = v * 10 + (*p++ - '0');
        n++;
    }
    if (ndigits) *ndigits = n;
    *out = v;
    return n > 0;
}

bool parse_seconds(const uint8_t* s, const uint8_t* e, double* out) {
    if (s >= e) return false;
    std::string t(reinterpret_cast<const char*>(s), static_cast<size_t>(e - s));
    for (char& c : t) {
        if (c == ',') c = '.';
        if (!(is_digit(static_cast<uint8_t>(c)) || c == '.')) return false;
    }
    return float_read(t, *out) && *out >= 0;
}

// Time: [sign] hours ":" minutes [(":" seconds) | ("." or "," fraction)].
bool parse_time(const uint8_t* s, const uint8_t* e, uint32_t flags, double* out) {
    const uint8_t* p = s;
    bool neg = false;
    if (p < e && (*p == '+' || *p == '-')) neg = *p++ == '-';
    const uint8_t* colon = p;
    while (colon < e && *colon != ':') colon++;
    if (colon == e || colon == p) return false;
    int32_t hours;
    bool over;
    if (!read_decimal(p, colon, &hours, &over) || over || *p == '+' || *p == '-') return false;
    p = colon + 1;
    const uint8_t* mstart = p;
    int64_t minutes;
    if (!read_uint(p, e, 10, &minutes)) return false;
    double seconds = 0;
    double h = hours, m = static_cast<double>(minutes);
    if (p < e) {
        uint8_t sep = *p;
        if (flags & LF_EXP) return false;
        if (sep == '.' || sep == ',') {
            // "12:30.5": minutes and seconds.
            if (!parse_seconds(mstart, e, &seconds)) return false;
            m = h;
            h = 0;
        } else if (sep == ':') {
            if (!parse_seconds(p + 1, e, &seconds)) return false;
        } else {
            return false;
        }
    }
    double v = h * 3600 + m * 60 + seconds;
    *out = neg ? -v : v;
    return true;
}

void load_time(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t flags, bool load) {
    double v;
    if (!parse_time(s, e, flags, &v)) fail(st, s, e, TYPE_TIME);
    if (load) put_constructed(st, [&](Cell* c) { g_lexer_constructors.make_time(c, v); });
}

void load_money(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    const uint8_t* p = s;
    LexerMoney m;
    if (p < e && (*p == '+' || *p == '-')) m.negative = *p++ == '-';
    char code[4] = {};
    const uint8_t* dollar = p;
    while (dollar < e && *dollar != '$') dollar++;
    if (dollar == e) fail(st, s, e, TYPE_MONEY);
    if (dollar > p) {
        if (dollar - p != 3) fail(st, s, e, TYPE_MONEY);
        for (int i = 0; i < 3; i++) {
            if (!is_alpha(p[i])) fail(st, s, e, TYPE_MONEY);
            code[i] = static_cast<char>(p[i]);
        }
        m.currency = code;
    }
    p = dollar + 1;
    if (p == e || !is_digit(*p)) fail(st, s, e, TYPE_MONEY);
    // Integer digits (leading zeros skipped; at most 17 others), then at
    // most 5 decimals after one "." or ",".
    char whole[18], frac[6];
    uint32_t wn = 0, fn = 0;
    bool quote = false, leading = true;
    for (; p < e && *p != '.' && *p != ','; p++) {
        if (*p == '\'') {
            if (quote) fail(st, s, e, TYPE_MONEY);
            quote = true;
            continue;
        }
        if (!is_digit(*p)) fail(st, s, e, TYPE_MONEY);
        quote = false;
        if (leading && *p == '0') continue;
        leading = false;
        if (wn == 17) fail(st, s, e, TYPE_MONEY);
        whole[wn++] = static_cast<char>(*p);
    }
    if (quote) fail(st, s, e, TYPE_MONEY);
    if (p < e) {
        for (p++; p < e; p++) {
            if (!is_digit(*p) || fn == 5) fail(st, s, e, TYPE_MONEY);
            frac[fn++] = static_cast<char>(*p);
        }
    }
    m.whole = whole;
    m.whole_len = wn;
    m.fraction = frac;
    m.fraction_len = fn;
    if (!load) return;
    Cell v{TYPE_UNSET, 0, 0, 0};
    if (!g_lexer_constructors.make_money(&v, m)) fail(st, s, e, TYPE_MONEY);
    put_value(st, &v);
}

const char* const kMonthNames[12] = {"january", "february", "march",     "april",   "may",      "june",
                                     "july",    "august",   "september", "october", "november", "december"};

bool leap_year_q(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int32_t month_days(int32_t y, int32_t m) {
    static const int8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year_q(y) ? 29 : kDays[m - 1];
}

// A number of up to [max] digits with an optional "-"; [ndigits] its digit count.
bool read_signed(const uint8_t*& p, const uint8_t* e, uint32_t max, int32_t* out, uint32_t* ndigits) {
    bool neg = p < e && *p == '-';
    const uint8_t* q = p + neg;
    int64_t v;
    if (!read_uint(q, e, max, &v, ndigits)) return false;
    p = q;
    *out = static_cast<int32_t>(neg ? -v : v);
    return true;
}

// Time of day in a date: hh ":" mm [":" ss[.fff]], then "Z" or a zone.
bool parse_date_time(const uint8_t*& p, const uint8_t* e, LexerDate& d, bool compact) {
    int64_t h, m;
    double sec = 0;
    if (compact) {
        uint32_t n;
        if (!read_uint(p, e, 2, &h, &n) || n != 2 || !read_uint(p, e, 2, &m, &n) || n != 2) return false;
        if (p < e && is_digit(*p)) {
            const uint8_t* q = p;
            while (q < e && (is_digit(*q) || *q == '.' || *q == ',')) q++;
            if (!parse_seconds(p, q, &sec)) return false;
            p = q;
        }
    } else {
        if (!read_uint(p, e, 9, &h) || p == e || *p++ != ':' || !read_uint(p, e, 9, &m)) return false;
        if (p < e && *p == ':') {
            const uint8_t* q = ++p;
            while (q < e && (is_digit(*q) || *q == '.' || *q == ',')) q++;
            if (!parse_seconds(p, q, &sec)) return false;
            p = q;
        }
    }
    if (h > 23 || m > 59 || sec >= 60) return false;
    d.has_time = true;
    d.time = static_cast<double>(h * 3600 + m * 60) + sec;
    if (p < e && (*p == 'Z' || *p == 'z')) {
        p++;
        d.has_zone = true;
    } else if (p < e && (*p == '+' || *p == '-')) {
        bool neg = *p++ == '-';
        int64_t zh, zm = 0;
        uint32_t n;
        const uint8_t* q = p;
        if (!read_uint(q, e, 4, &zh, &n)) return false;
        if (n == 4) {
            zm = zh % 100;
            zh /= 100;
        } else if (n == 3) {
            return false;
        } else if (q < e && *q == ':') {
            q++;
            uint32_t mn;
            if (!read_uint(q, e, 2, &zm, &mn)) return false;
        }
        p = q;
        if (zh > 15 || zm > 59) return false;
        d.has_zone = true;
        d.zone_hours = static_cast<int32_t>(neg ? -zh : zh);
        d.zone_minutes = static_cast<int32_t>(neg ? -zm : zm);
    }
    return true;
}

bool parse_date(const uint8_t* s, const uint8_t* e, LexerDate& d) {
    const uint8_t* p = s;
    int32_t first;
    uint32_t n1;
    if (!read_signed(p, e, 4, &first, &n1) || p == e) return false;
    if (is_digit(*p)) {
        // Compact ISO: YYYYMMDDThhmm[ss[.fff]][Z|zone].
        if (n1 != 4 || first < 0) return false;
        int64_t mo, dy;
        uint32_t n;
        if (!read_uint(p, e, 2, &mo, &n) || n != 2 || !read_uint(p, e, 2, &dy, &n) || n != 2) return false;
        d.year = first;
        d.month = static_cast<int32_t>(mo);
        d.day = static_cast<int32_t>(dy);
        if (p == e || *p++ != 'T') return false;
        if (!parse_date_time(p, e, d, true)) return false;
    } else {
        uint8_t sep = *p++;
        if (sep != '-' && sep != '/') return false;
        int32_t third;
        uint32_t n3 = 0;
        bool ymd = true;
        if (sep == '-' && p < e && *p == 'W') {
            // YYYY-Www[-d]
            int64_t w, wd = 0;
            uint32_t n;
            p++;
            if (n1 != 4 || !read_uint(p, e, 2, &w, &n) || n != 2 || w < 1 || w > 53) return false;
            if (p < e && *p == '-') {
                p++;
                if (!read_uint(p, e, 1, &wd, &n) || wd < 1 || wd > 7) return false;
            }
            d.form = LEXER_DATE_WEEK;
            d.year = first;
            d.week = static_cast<int32_t>(w);
            d.weekday = static_cast<int32_t>(wd);
            ymd = false;
        } else {
            const uint8_t* q = p;
            int64_t v;
            uint32_t n;
            if (sep == '-' && n1 == 4 && read_uint(q, e, 4, &v, &n) && n == 3 && (q == e || *q == '/' || *q == 'T')) {
                // YYYY-DDD
                if (v == 0) return false;
                d.form = LEXER_DATE_YEARDAY;
                d.year = first;
                d.yearday = static_cast<int32_t>(v);
                p = q;
                ymd = false;
            }
        }
        if (ymd) {
            // The month: digits or a name.
            int32_t month = 0;
            if (p < e && is_digit(*p)) {
                int64_t v;
                uint32_t n;
                read_uint(p, e, 2, &v, &n);
                month = static_cast<int32_t>(v);
            } else {
                const uint8_t* q = p;
                while (q < e && is_alpha(*q)) q++;
                size_t len = static_cast<size_t>(q - p);
                if (len < 3 || len > 9) return false;
                for (int i = 0; i < 12 && !month; i++) {
                    size_t k = std::strlen(kMonthNames[i]);
                    if (len > k) continue;
                    bool same = true;
                    for (size_t j = 0; j < len && same; j++) same = lower(p[j]) == kMonthNames[i][j];
                    if (same) month = i + 1;
                }
                if (!month) return false;
                p = q;
            }
            if (p == e || *p++ != sep) return false;
            if (!read_signed(p, e, 4, &third, &n3)) return false;
            if (first <= 99 || third < 0 || third > 31) {
                d.day = first;
                d.year = third;
                if (third >= 0 && third <= 99 && n3 <= 2) d.year = third > 49 ? 1900 + third : 2000 + third;
            } else {
                d.year = first;
                d.day = third;
            }
            d.month = month;
        }
        if (p < e && (*p == '/' || *p == 'T')) {
            p++;
            if (!parse_date_time(p, e, d, false)) return false;
        }
    }
    if (p != e) return false;
    if (d.year < -9999 || d.year > 9999) return false;
    if (d.form == LEXER_DATE_YMD &&
        (d.month < 1 || d.month > 12 || d.day < 1 || d.day > month_days(d.year, d.month)))
        return false;
    return true;
}

void load_date(LexerState* st, const uint8_t* s, const uint8_t* e, uint32_t, bool load) {
    LexerDate d;
    if (!parse_date(s, e, d)) fail(st, s, e, TYPE_DATE);
    if (load) put_constructed(st, [&](Cell* c) { g_lexer_constructors.make_date(c, d); });
}

}  // namespace

// ---- shared helpers ------------------------------------------------------------------------------

const uint8_t* lexer_char_escape(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    if (p >= end) return nullptr;
    uint8_t b = *p;
    if (b == '(') {
        const uint8_t* q = p + 1;
        while (q < end && *q != ')' && q - p <= 7) q++;
        if (q >= end || *q != ')') return nullptr;
        const uint8_t* n = p + 1;
        size_t len = static_cast<size_t>(q - n);
        bool hex = len >= 1 && len <= 6;
        uint32_t v = 0;
        for (size_t i = 0; i < len && hex; i++) {
            int h = hex_value(n[i]);
            if (h < 0) hex = false;
            v = v << 4 | static_cast<uint32_t>(h);
        }
        if (hex) {
            *cp = v;
            return q + 1;
        }
        for (const auto& c : kCharNames)
            if (equal_nocase(n, len, c.name)) {
                *cp = c.cp;
                return q + 1;
            }
        return nullptr;
    }
    switch (b) {
    case '"': *cp = '"'; return p + 1;
    case '-': *cp = 9; return p + 1;
    case '/': *cp = 10; return p + 1;
    case '@': *cp = 0; return p + 1;
    case '^': *cp = '^'; return p + 1;
    case '{': *cp = '{'; return p + 1;
    case '}': *cp = '}'; return p + 1;
    case '~': *cp = 127; return p + 1;
    default: break;
    }
    if (b >= 'a' && b <= 'z') {
        *cp = b - 'a' + 1u;
        return p + 1;
    }
    if ((b >= 'A' && b <= 'Z') || b == '[' || b == '\\' || b == ']' || b == '_') {
        *cp = b - 64u;
        return p + 1;
    }
    if (b < 0x80) {
        *cp = b;
        return p + 1;
    }
    int32_t c;
    const uint8_t* n = unicode_fast_decode_utf8_char(p, end, &c);
    if (c < 0) return nullptr;
    *cp = static_cast<uint32_t>(c);
    return n;
}

uint32_t lexer_char_length(const uint8_t* p, const uint8_t* end) {
    if (*p < 0x80) return 1;
    int32_t cp;
    const uint8_t* n = unicode_fast_decode_utf8_char(p, end, &cp);
    return cp < 0 ? 1 : static_cast<uint32_t>(n - p);
}

const uint8_t* lexer_skip_unicode_blanks(LexerState* st, const uint8_t* s, const uint8_t* e) {
    const uint8_t* q = s;
    while (q < e && *q >= 0x80) {
        int32_t cp;
        const uint8_t* n = unicode_fast_decode_utf8_char(q, e, &cp);
        if (cp < 0) lexer_throw_error(st, s, e, kErrBadChar);
        if (!lexer_unicode_blank_q(static_cast<uint32_t>(cp))) break;
        q = n;
    }
    return q;
}

void lexer_split_pairs() {
    static const struct {
        LexerFn scanner, loader;
    } kPairs[kLexerKinds] = {
        {scan_eof, nullptr},                 // end of input
        {scan_error, nullptr},               // error
        {scan_open, nullptr},                // [
        {scan_block_close, nullptr},         // ]
        {scan_open, nullptr},                // (
        {scan_paren_close, nullptr},         // )
        {scan_brace_open, nullptr},          // {
        {scan_brace_close, nullptr},         // }
        {scan_map_open, nullptr},            // #[
        {scan_path, nullptr},                // path head
        {scan_construct, nullptr},           // #( )
        {scan_comment, nullptr},             // ;
        {scan_comma, nullptr},               // ,
        {check_string, decode_string},       // "string"
        {scan_word, load_word},              // word
        {scan_issue, load_word},             // #issue
        {nullptr, load_integer},             // integer
        {nullptr, load_refinement},          // /refinement
        {nullptr, load_char},                // #"c"
        {nullptr, load_file},                // %file
        {nullptr, load_binary},              // #{binary}
        {nullptr, load_percent},             // percent
        {nullptr, load_float},               // float
        {nullptr, load_nan_inf},             // 1.#NaN 1.#INF
        {nullptr, load_tuple},               // tuple
        {nullptr, load_date},                // date
        {nullptr, load_pair},                // pair
        {nullptr, load_point},               // point
        {nullptr, load_time},                // time
        {nullptr, load_money},               // money
        {nullptr, load_tag},                 // <tag>
        {nullptr, load_url},                 // url
        {nullptr, load_email},               // email
        {nullptr, load_hex},                 // hexadecimal integer
        {nullptr, load_rawstring},           // %{raw}%
        {nullptr, load_ref},                 // @ref
    };
    for (int k = 0; k < kLexerKinds; k++) {
        lexer_scanners[k] = kPairs[k].scanner;
        lexer_loaders[k] = kPairs[k].loader;
    }
}

}  // namespace kel
