// The lexer's entries: starting and finishing scans, nested blocks, maps,
// parens, points and paths, the event callback and the syntax errors.
//
// Scans nest (a callback may scan again): each scan links a state into a
// chain, appends its output after the tail of the scan that called it, and
// unlinks on every exit. The output buffer is addressed by index, so it may
// grow under a nested scan; its cells, every state's input, callback and
// target block are collector roots (`lexer_gc_mark`).
//
// An open block is a marker cell in the output; closing it turns the cells
// after it into a block! (paren!, path!, map! ...) written over the marker.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/lexer_internal.h"
#include "runtime/lexer_values.h"
#include "runtime/memory.h"
#include "runtime/symbols.h"
#include "runtime/unicode.h"

namespace kel {

Cell* g_lexer_out = nullptr;
uint32_t g_lexer_out_capacity = 0;

LexerCallbackCall g_lexer_callback_call = nullptr;
LexerCallbackBody g_lexer_callback_body = nullptr;
LexerExitStates g_lexer_exit_states = nullptr;

namespace {

constexpr uint32_t kOutputInitial = 1000;
constexpr uint32_t kWorkBufferSize = 100000;

LexerState* g_chain_head = nullptr;  // the outermost scan
LexerState* g_chain_tail = nullptr;  // the innermost scan
uint8_t* g_work = nullptr;           // UTF-8 work buffer, used as a stack
uint32_t g_work_top = 0;
bool g_ready = false;

// The Unicode blanks besides ASCII: a bitset over the first 8,290 x 8 code points.
uint8_t g_unicode_blanks[8290];

void make_unicode_blanks() {
    static const uint32_t kBlanks[] = {0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
                                       0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
                                       0x2028, 0x2029, 0x202F, 0x205F, 0x3000, 0x180E, 0x200B};
    std::memset(g_unicode_blanks, 0, sizeof g_unicode_blanks);
    for (uint32_t cp : kBlanks) g_unicode_blanks[cp >> 3] |= static_cast<uint8_t>(1u << (cp & 7));
}

void link_state(LexerState* st) {
    st->prev = g_chain_tail;
    st->next = nullptr;
    if (g_chain_tail) g_chain_tail->next = st;
    else g_chain_head = st;
    g_chain_tail = st;
}

void unlink_state(LexerState* st) {
    if (st->prev) st->prev->next = st->next;
    else g_chain_head = st->next;
    if (st->next) st->next->prev = st->prev;
    else g_chain_tail = st->prev;
}

// Unlinks the scan on every way out; on an exception the output it wrote is
// given up.
struct ScanLink {
    LexerState* st;
    explicit ScanLink(LexerState* s) : st(s) { link_state(s); }
    ~ScanLink() { unlink_state(st); }
};

bool path_type_q(uint32_t t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }

bool string_input_q(const LexerState* st) {
    uint32_t t = st->input.type();
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}

// Code points (string input) or bytes from the input start to [p], counted
// on from the last position asked for.
uint32_t cp_offset(LexerState* st, const uint8_t* p) {
    if (!string_input_q(st)) return static_cast<uint32_t>(p - st->input_start);
    if (!st->cp_pos || p < st->cp_pos) {
        st->cp_pos = st->input_start;
        st->cp_count = 0;
    }
    uint32_t n = st->cp_count;
    for (const uint8_t* q = st->cp_pos; q < p; q++) n += (*q & 0xC0) != 0x80;
    st->cp_pos = p;
    st->cp_count = n;
    return n;
}

// The byte position of code point (or byte) [n] from the input start.
const uint8_t* position_of(const LexerState* st, uint32_t n) {
    if (!string_input_q(st)) {
        uint32_t len = static_cast<uint32_t>(st->input_end - st->input_start);
        return st->input_start + (n < len ? n : len);
    }
    const uint8_t* q = st->input_start;
    while (q < st->input_end) {
        if ((*q & 0xC0) != 0x80) {
            if (n == 0) return q;
            n--;
        }
        q++;
    }
    return st->input_end;
}

Cell string_from_utf8(const uint8_t* s, size_t n) {
    Cell str;
    string_make(&str, static_cast<uint32_t>(n ? n : 1), 1);
    GcRootCell root(&str);
    string_append_utf8(&str, reinterpret_cast<const char*>(s), n);
    return str;
}

// Writes the cells [first, tail) of the output as one block of [type] into
// [out]: the value a closed marker becomes, or the result of a whole scan.
void make_block_of_cells(uint32_t first, uint32_t tail, uint32_t type, Cell* out) {
    uint32_t n = tail - first;
    Off node = alloc_cells(n ? n : 1);  // may collect: the output cells are roots
    SeriesBuf* b = node_buffer(node);
    if (n) std::memcpy(b->head_ptr(), g_lexer_out + first, uint64_t(n) * sizeof(Cell));
    b->tail = b->head + n * static_cast<uint32_t>(sizeof(Cell));
    cell_set(out, type, 0, node, 0);
}

}  // namespace

bool lexer_unicode_blank_q(uint32_t cp) {
    return cp < sizeof g_unicode_blanks * 8 && (g_unicode_blanks[cp >> 3] >> (cp & 7) & 1);
}

uint32_t lexer_active_scans() {
    uint32_t n = 0;
    for (LexerState* s = g_chain_head; s; s = s->next) n++;
    return n;
}

// ---- output buffer ------------------------------------------------------------------------

Cell* lexer_alloc_cell(LexerState* st) {
    if (st->tail >= g_lexer_out_capacity) {
        uint64_t want = uint64_t(g_lexer_out_capacity) * 2;
        if (want * sizeof(Cell) > 0xFFFFFFFFu) error_raise(ErrCat::Internal, "no-memory");
        auto* grown = static_cast<Cell*>(std::realloc(g_lexer_out, want * sizeof(Cell)));
        if (!grown) error_raise(ErrCat::Internal, "no-memory");
        g_lexer_out = grown;
        g_lexer_out_capacity = static_cast<uint32_t>(want);
    }
    Cell* c = g_lexer_out + st->tail++;
    cell_set(c, TYPE_UNSET | (st->lf_before > 0 ? CELL_NEW_LINE : 0));
    return c;
}

void lexer_gc_mark() {
    for (LexerState* st = g_chain_head; st; st = st->next) {
        // Markers are not values: mark the runs between them.
        uint32_t run = st->head;
        for (uint32_t i = st->head; i < st->tail; i++) {
            if (g_lexer_out[i].type() != kMarkerType) continue;
            if (i > run) gc_mark_cells(g_lexer_out + run, g_lexer_out + i);
            run = i + 1;
        }
        if (st->tail > run) gc_mark_cells(g_lexer_out + run, g_lexer_out + st->tail);
        gc_mark_cells(&st->input, &st->input + 1);
        gc_mark_cells(&st->callback, &st->callback + 1);
        gc_mark_cells(&st->into, &st->into + 1);
    }
}

// ---- init ---------------------------------------------------------------------------------------

namespace {

// The word module's text loader: the first value of the text, with nothing
// after it.
bool load_text_value(const char* utf8, uint32_t length, Cell* out) {
    Cell v{TYPE_NONE, 0, 0, 0};
    GcRootCell root(&v);
    uint32_t consumed = 0;
    try {
        lexer_scan_utf8(&v, reinterpret_cast<const uint8_t*>(utf8), length, true, true, true, false, &consumed,
                        nullptr, nullptr, nullptr);
    } catch (const KelThrow&) {
        return false;
    }
    if (v.is(TYPE_BLOCK)) return false;  // nothing loaded
    for (uint32_t i = consumed; i < length; i++) {
        char c = utf8[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    }
    *out = v;
    return true;
}

// `to block!` of a string: the values its text loads to.
Cell* string_to_block(const Cell* spec, Cell* out) {
    lexer_load_string(out, spec, -1, false, true, true, false, nullptr, nullptr, nullptr);
    return out;
}

}  // namespace

void lexer_init() {
    if (g_ready) return;
    g_lexer_out = static_cast<Cell*>(std::malloc(kOutputInitial * sizeof(Cell)));
    g_work = static_cast<uint8_t*>(std::malloc(kWorkBufferSize));
    if (!g_lexer_out || !g_work) fatal_runtime_error(94);
    g_lexer_out_capacity = kOutputInitial;
    g_work_top = 0;
    make_unicode_blanks();
    lexer_split_pairs();
    gc_add_root_callback(lexer_gc_mark);
    g_word_load_text = load_text_value;
    block_set_converter(TYPE_STRING, string_to_block);
    lexer_install_evaluator_hooks();
    g_ready = true;
}

// ---- nesting -----------------------------------------------------------------------------------

void lexer_open_block(LexerState* st, uint32_t type, const uint8_t* start, const uint8_t* end) {
    int32_t m = lexer_open_marker(st);
    if (m >= 0 && lexer_marker_type(lexer_cell(static_cast<uint32_t>(m))) == TYPE_POINT2D)
        lexer_throw_error(st, start, end, TYPE_POINT2D);
    if (st->has_callback && !lexer_fire_event(st, LEXER_OPEN, static_cast<int32_t>(type), nullptr, start, end))
        return;
    uint32_t at = st->tail;
    Cell* c = lexer_alloc_cell(st);
    c->header = (c->header & CELL_NEW_LINE) | kMarkerType;
    c->data1 = at - st->block_start;
    c->data2 = type;
    c->data3 = static_cast<uint32_t>(start - st->input_start);
    st->block_start = st->tail;
    st->entry_state = 0;
}

// Ends the innermost open block: its cells become its value (given up when
// values are not built) and the marker before it becomes the innermost.
static void finish_block(LexerState* st, uint32_t m, uint32_t type) {
    Cell* mk = lexer_cell(m);
    uint32_t previous_start = m - mk->data1;
    uint32_t opening = mk->data3;
    if (st->load) {
        Cell v;
        make_block_of_cells(m + 1, st->tail, type, &v);
        if (type == TYPE_MAP) {
            GcRootCell root(&v);
            SeriesBuf* b = node_buffer(v.data2);
            uint32_t n = b->used_bytes() / sizeof(Cell);
            const Cell* cells = arena_at<Cell>(b->head);
            bool ok = n % 2 == 0;
            for (uint32_t i = 0; ok && i < n; i += 2) ok = lexer_map_key_type_q(cells[i].type());
            if (!ok) lexer_throw_error(st, st->input_start + opening, st->pos, TYPE_MAP);
            Cell map{TYPE_UNSET, 0, 0, 0};
            g_lexer_constructors.make_map(&map, &v);
            v = map;
        }
        Cell* at = lexer_cell(m);
        uint32_t nl = at->header & CELL_NEW_LINE;
        *at = v;
        at->header = (at->header & ~CELL_NEW_LINE) | nl;
        st->tail = m + 1;
    } else {
        st->tail = m;
    }
    st->block_start = previous_start;
    int32_t outer = lexer_open_marker(st);
    st->entry_state =
        outer >= 0 && path_type_q(lexer_marker_type(lexer_cell(static_cast<uint32_t>(outer)))) ? kEntryPath : 0;
    st->type = static_cast<int32_t>(type);
}

void lexer_close_block(LexerState* st, const uint8_t* start, const uint8_t* end, uint32_t expected, bool silent) {
    int32_t m = lexer_open_marker(st);
    if (m < 0) {
        st->closing_type = 0;
        lexer_throw_error(st, start, end, kErrMissing);
    }
    Cell* mk = lexer_cell(static_cast<uint32_t>(m));
    uint32_t mtype = lexer_marker_type(mk);
    const uint8_t* opening = st->input_start + mk->data3;
    if (st->has_callback && !silent &&
        !lexer_fire_event(st, LEXER_CLOSE, static_cast<int32_t>(mtype), nullptr, opening, end))
        return;
    uint32_t type = mtype;
    bool ok;
    switch (expected) {
    case 0: ok = true; break;
    case TYPE_BLOCK: ok = mtype == TYPE_BLOCK || mtype == TYPE_MAP; break;
    case TYPE_SET_PATH:
        ok = mtype == TYPE_PATH;
        type = TYPE_SET_PATH;
        break;
    default: ok = mtype == expected; break;
    }
    if (!ok) {
        // A paren that a comma turned into a point has no value of its own.
        if (mtype == TYPE_POINT2D && expected == TYPE_PAREN) lexer_throw_error(st, opening, end, TYPE_POINT2D);
        st->closing_type = static_cast<int32_t>(mtype);
        lexer_throw_error(st, opening, end, kErrMissing);
    }
    finish_block(st, static_cast<uint32_t>(m), type);
}

// Before an error is raised: the open blocks and paths are given up with
// their cells (the raise discards this scan's output anyway), so nothing is
// built that could fail again.
void lexer_close_paths(LexerState* st) {
    for (int32_t m = lexer_open_marker(st); m >= 0; m = lexer_open_marker(st)) {
        st->block_start = static_cast<uint32_t>(m) - lexer_cell(static_cast<uint32_t>(m))->data1;
        st->tail = static_cast<uint32_t>(m);
    }
    st->entry_state = 0;
}

void lexer_path_item_end(LexerState* st) {
    const uint8_t* p = st->pos;
    const uint8_t* end = st->input_end;
    int32_t m = lexer_open_marker(st);
    const uint8_t* opening = m >= 0 ? st->input_start + lexer_cell(static_cast<uint32_t>(m))->data3 : st->input_start;
    if (p >= end) {
        lexer_close_block(st, p, p, 0, false);
        return;
    }
    uint8_t b = *p;
    if (b == '/') {
        if (p + 1 >= end) lexer_throw_error(st, opening, p + 1, TYPE_PATH);
        st->pos = p + 1;
        return;
    }
    if (b == ':') {
        const uint8_t* after = p + 1;
        if (after < end && (*after == '/' || !lexer_delimiter_classes[lexer_class_of(*after)]))
            lexer_throw_error(st, opening, after + 1, TYPE_PATH);
        st->pos = after;
        lexer_close_block(st, p, after, TYPE_SET_PATH, false);
        return;
    }
    if (!lexer_delimiter_classes[lexer_class_of(b)]) lexer_throw_error(st, opening, p + 1, TYPE_PATH);
    lexer_close_block(st, p, p, 0, false);
}

bool lexer_point_ahead_q(const LexerState* st, const uint8_t* paren) {
    const uint8_t* p = paren + 1;
    const uint8_t* end = st->input_end;
    if (end - p < 4) return false;
    for (; p < end; p++) {
        switch (*p) {
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        case ' ': case '\t': case '#': case '+': case '-': case '.':
        case 'A': case 'E': case 'F': case 'I': case 'N': case 'a': case 'e': case 'f': case 'i': case 'n':
            continue;
        default:
            return *p == ',';
        }
    }
    return false;
}

// ---- events -------------------------------------------------------------------------------------

uint32_t lexer_event_mask(const Cell* callback) {
    Cell body{TYPE_NONE, 0, 0, 0};
    if (!g_lexer_callback_body || !g_lexer_callback_body(callback, &body) || !body.is(TYPE_BLOCK))
        return kLexerAllEvents;
    SeriesBuf* b = node_buffer(body.data2);
    const Cell* first = arena_at<Cell>(b->head) + body.data1;
    if (arena_off(first) >= b->tail || !first->is(TYPE_BLOCK)) return kLexerAllEvents;
    SeriesBuf* eb = node_buffer(first->data2);
    const Cell* c = arena_at<Cell>(eb->head) + first->data1;
    const Cell* last = arena_at<Cell>(eb->tail);
    uint32_t mask = 0;
    const struct {
        const Cell* word;
        uint32_t bit;
    } kWords[] = {{&g_words.prescan, LEXER_PRESCAN}, {&g_words.scan, LEXER_SCAN},   {&g_words.load, LEXER_LOAD},
                  {&g_words.open, LEXER_OPEN},       {&g_words.close, LEXER_CLOSE}, {&g_words.error, LEXER_ERROR}};
    for (; c < last; c++) {
        if (!c->is(TYPE_WORD)) continue;
        uint32_t sym = symbol_resolve(c->data2);
        for (const auto& w : kWords)
            if (symbol_resolve(w.word->data2) == sym) mask |= w.bit;
    }
    return mask;
}

bool lexer_fire_event(LexerState* st, uint32_t event, int32_t type, const Cell* token, const uint8_t* start,
                      const uint8_t* end) {
    if (!(st->mask & event)) return true;
    if (event == LEXER_SCAN && type == kErrConstruct) {
        event = LEXER_ERROR;
        type = TYPE_ERROR;
    }
    if (!(st->mask & event)) return true;
    // A point token starts after its "(": its events report it with the
    // paren. An error's start is already where the error text begins (a
    // stray comma, or the paren itself), so it stays.
    if ((type == TYPE_POINT2D || type == TYPE_POINT3D) && event != LEXER_ERROR && start > st->input_start) start--;
    if (event == LEXER_PRESCAN && type == TYPE_ERROR && st->brace_count > 0) start = st->brace_start;
    if (!g_lexer_callback_call) error_raise(ErrCat::Internal, "not-done");

    Cell args[5];
    for (Cell& a : args) cell_set(&a, TYPE_NONE);
    GcRootCell r0(&args[0]), r1(&args[1]), r2(&args[2]), r3(&args[3]), r4(&args[4]);
    const Cell* word = event == LEXER_PRESCAN ? &g_words.prescan
                       : event == LEXER_SCAN  ? &g_words.scan
                       : event == LEXER_LOAD  ? &g_words.load
                       : event == LEXER_OPEN  ? &g_words.open
                       : event == LEXER_CLOSE ? &g_words.close
                                              : &g_words.error;
    args[0] = *word;
    args[0].header = TYPE_WORD;
    bool at_start = event == LEXER_OPEN || (event == LEXER_PRESCAN && type <= 0);
    uint32_t start_i = cp_offset(st, start);
    uint32_t end_i = cp_offset(st, end);
    uint32_t reported = at_start ? start_i : end_i;
    bool has_input = !st->input.is(TYPE_NONE);
    if (has_input) {
        args[1] = st->input;
        args[1].header &= ~CELL_NEW_LINE;
        args[1].data1 += reported;
    }
    if (type > 0) {
        cell_set(&args[2], TYPE_DATATYPE, static_cast<uint32_t>(type));
    } else if (type < 0) {
        const Cell* states = g_lexer_exit_states ? g_lexer_exit_states() : nullptr;
        if (states && states->is(TYPE_BLOCK)) {
            SeriesBuf* b = node_buffer(states->data2);
            const Cell* at = arena_at<Cell>(b->data_start()) + (-type - 1);
            if (arena_off(at) < b->tail) args[2] = *at;
        }
    }
    cell_set(&args[3], TYPE_INTEGER, 0, static_cast<uint32_t>(st->line));
    uint32_t base = has_input ? st->input.data1 : 0;
    if (token) args[4] = *token;
    else cell_set(&args[4], TYPE_PAIR, 0, base + start_i + 1, base + end_i + 1);
    args[4].header &= ~CELL_NEW_LINE;

    bool go_on = g_lexer_callback_call(&st->callback, args);
    // A callback that moved its input moves the scan.
    if (has_input && args[1].type() == st->input.type() && args[1].data2 == st->input.data2 &&
        args[1].data1 != st->input.data1 + reported) {
        uint32_t index = args[1].data1 < st->input.data1 ? 0 : args[1].data1 - st->input.data1;
        st->pos = position_of(st, index);
    }
    return go_on;
}

// ---- syntax errors -------------------------------------------------------------------------------

namespace {

// Whether the syntax error raised last was the input ending inside an open
// block, paren or braced string (more text may complete it) rather than a
// fault in the text itself.
bool g_error_at_input_end = false;

}  // namespace

bool lexer_error_at_input_end() { return g_error_at_input_end; }

void lexer_throw_error(LexerState* st, const uint8_t* start, const uint8_t* end, int32_t type) {
    if (!st->load) {
        st->last_type = TYPE_ERROR;
        lexer_abort();
    }
    if (!start) {
        int32_t m = lexer_open_marker(st);
        start = m >= 0 ? st->input_start + lexer_cell(static_cast<uint32_t>(m))->data3 : st->input_start;
    }
    if (!end || end < start) end = start;
    if (st->has_callback) {
        if (st->entry_state == kEntryPath) {
            int32_t m = lexer_open_marker(st);
            if (m >= 0) lexer_close_block(st, st->pos, st->pos, 0, true);
        }
        int32_t t = type > 0             ? type
                    : st->closing_type > 0 ? st->closing_type
                    : st->type > 0         ? st->type
                    : st->pending_error > 0 ? st->pending_error
                                           : static_cast<int32_t>(TYPE_ERROR);
        if (!lexer_fire_event(st, LEXER_ERROR, t, nullptr, start, end)) lexer_abort();
    }
    // The quoted text: whole characters, at most 30 bytes, up to a line feed.
    const uint8_t* q = start;
    // A character cut off by the input end is left out; any other byte
    // that starts no valid sequence counts as one character.
    const uint8_t* const input_end = st->input_end;
    auto cut_off = [input_end](const uint8_t* c) {
        if (*c < 0xC2 || *c > 0xF4 || c + unicode_utf8_lead_length(*c) <= input_end) return false;
        for (const uint8_t* r = c + 1; r < input_end; r++)
            if ((*r & 0xC0) != 0x80) return false;
        return true;
    };
    while (q < input_end && *q != '\n') {
        uint32_t len = lexer_char_length(q, input_end);
        if (q + len - start > 30 || (len == 1 && cut_off(q))) break;
        q += len;
    }
    Cell note = {TYPE_NONE, 0, 0, 0}, text = {TYPE_NONE, 0, 0, 0}, arg = {TYPE_NONE, 0, 0, 0};
    GcRootCell rn(&note), rt(&text);
    char line_note[32];
    int n = std::snprintf(line_note, sizeof line_note, "(line %d)", st->line);
    note = string_from_utf8(reinterpret_cast<const uint8_t*>(line_note), static_cast<size_t>(n));
    text = string_from_utf8(start, static_cast<size_t>(q - start));
    uint32_t closing = static_cast<uint32_t>(st->closing_type);
    uint8_t at = start < st->input_end ? *start : 0;
    g_error_at_input_end =
        type == kErrUnclosed || (type == TYPE_STRING && start == st->brace_start && end == st->input_end);
    lexer_close_paths(st);
    switch (type) {
    case kErrBadChar: error_raise(ErrCat::Syntax, "bad-char", &note, &text);
    case kErrConstruct: error_raise(ErrCat::Syntax, "malconstruct", &note, &text);
    case kErrMissing:
    case kErrUnclosed: {
        bool paren_like = closing == TYPE_PAREN || closing == TYPE_POINT2D;
        uint32_t ch = paren_like ? ')' : ']';
        if (type == kErrMissing && at == ']') ch = '[';
        if (type == kErrMissing && at == ')') ch = '(';
        cell_set(&arg, TYPE_CHAR, 0, ch);
        error_raise(ErrCat::Syntax, "missing", &note, &arg, &text);
    }
    default:
        cell_set(&arg, TYPE_DATATYPE, static_cast<uint32_t>(type));
        error_raise(ErrCat::Syntax, "invalid", &note, &arg, &text);
    }
}

// ---- entries ----------------------------------------------------------------------------------------

int32_t lexer_scan_utf8(Cell* out, const uint8_t* start, uint32_t length, bool one_value, bool load,
                        bool not_scan, bool keep_block, uint32_t* consumed, const Cell* callback,
                        const Cell* input, Cell* into) {
    lexer_init();
    LexerState st;
    st.head = st.block_start = st.tail = g_chain_tail ? g_chain_tail->tail : 0;
    st.input_start = st.pos = start;
    st.input_end = start + length;
    st.load = load && not_scan;
    if (input) st.input = *input;
    if (into) st.into = *into;
    ScanLink link(&st);
    if (callback && (callback->is(TYPE_FUNCTION) || callback->is(TYPE_ROUTINE))) {
        st.callback = *callback;
        st.has_callback = true;
        st.mask = lexer_event_mask(callback);
    }
    try {
        lexer_scan_loop(&st, one_value, !load);
    } catch (const LexerAbort&) {
    }
    if (st.tail > st.head) {
        int32_t m = lexer_open_marker(&st);
        if (m >= 0) {
            Cell* mk = lexer_cell(static_cast<uint32_t>(m));
            uint32_t mtype = lexer_marker_type(mk);
            if (!load && path_type_q(mtype)) {
                if (st.last_type != TYPE_ERROR) st.last_type = static_cast<int32_t>(mtype);
            } else {
                st.closing_type = static_cast<int32_t>(mtype);
                try {
                    // A path still open here ended right after its "/": no
                    // item follows. Any other marker is an unclosed block.
                    const uint8_t* opening = st.input_start + mk->data3;
                    if (path_type_q(mtype)) lexer_throw_error(&st, opening, st.input_end, TYPE_PATH);
                    lexer_throw_error(&st, opening, st.input_end, kErrUnclosed);
                } catch (const LexerAbort&) {
                    if (st.load && out) cell_set(out, TYPE_NONE);
                    if (consumed) *consumed = string_input_q(&st) ? cp_offset(&st, st.pos) : uint32_t(st.pos - start);
                    return st.last_type;
                }
            }
        }
    }
    if (st.load) {
        uint32_t n = st.tail - st.head;
        bool into_block = st.into.is(TYPE_BLOCK) || (st.into.type() >= TYPE_BLOCK && st.into.type() <= TYPE_PAREN);
        // The slot is taken before the value is read: taking it may collect,
        // which repoints the output cells (they are roots) but no copy.
        if (one_value && !keep_block && n > 0) {
            lexer_cell(st.head)->header &= ~CELL_NEW_LINE;
            if (into_block) {
                Cell* slot = block_append_slot(&st.into);
                *slot = *lexer_cell(st.head);
                if (out) *out = st.into;
            } else if (out) {
                *out = *lexer_cell(st.head);
            }
        } else if (into_block) {
            for (uint32_t i = st.head; i < st.tail; i++) {
                Cell* slot = block_append_slot(&st.into);
                *slot = *lexer_cell(i);
            }
            if (out) *out = st.into;
        } else if (out) {
            Cell block;
            make_block_of_cells(st.head, st.tail, TYPE_BLOCK, &block);
            *out = block;
        }
    }
    if (consumed) *consumed = string_input_q(&st) ? cp_offset(&st, st.pos) : static_cast<uint32_t>(st.pos - start);
    return st.last_type;
}

namespace {

// Reserves [size] bytes on the work buffer's stack (or a temporary buffer
// when it has no room) and releases them on exit.
struct WorkArea {
    uint8_t* bytes;
    uint32_t saved_top;
    std::unique_ptr<uint8_t[]> temp;
    explicit WorkArea(uint64_t size) : saved_top(g_work_top) {
        if (size <= kWorkBufferSize - g_work_top) {
            bytes = g_work + g_work_top;
            g_work_top += static_cast<uint32_t>(size);
        } else {
            if (size > 0xFFFFFFFFu) error_raise(ErrCat::Internal, "no-memory");
            temp.reset(new (std::nothrow) uint8_t[size + 1]);
            if (!temp) error_raise(ErrCat::Internal, "no-memory");
            bytes = temp.get();
        }
    }
    ~WorkArea() { g_work_top = saved_top; }
};

uint32_t encode_utf8(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | cp >> 6);
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | cp >> 12);
        out[1] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18 & 0x07));
    out[1] = static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

int32_t lexer_load_string(Cell* out, const Cell* str, int32_t length, bool one_value, bool load, bool not_scan,
                          bool keep_block, uint32_t* consumed, const Cell* callback, Cell* into) {
    lexer_init();
    Cell input = *str;
    SeriesBuf* buf = node_buffer(input.data2);
    uint32_t unit = buf->unit();
    uint32_t units = buf->used_bytes() / unit;
    uint32_t count = input.data1 >= units ? 0 : units - input.data1;
    if (length >= 0 && static_cast<uint32_t>(length) < count) count = static_cast<uint32_t>(length);
    WorkArea area(uint64_t(count) * (unit == 4 ? 4 : unit + 1));
    const uint8_t* chars = buf->head_ptr() + uint64_t(input.data1) * unit;
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; i++) n += encode_utf8(string_unit_at(chars, unit, i), area.bytes + n);
    return lexer_scan_utf8(out, area.bytes, n, one_value, load, not_scan, keep_block, consumed, callback, &input,
                           into);
}

int32_t lexer_load_binary(Cell* out, const Cell* bin, int32_t length, bool one_value, bool load, bool not_scan,
                          bool keep_block, uint32_t* consumed, const Cell* callback, Cell* into) {
    lexer_init();
    Cell input = *bin;
    SeriesBuf* buf = node_buffer(input.data2);
    uint32_t used = buf->used_bytes();
    uint32_t count = input.data1 >= used ? 0 : used - input.data1;
    if (length >= 0 && static_cast<uint32_t>(length) < count) count = static_cast<uint32_t>(length);
    WorkArea area(count);
    std::memcpy(area.bytes, buf->head_ptr() + input.data1, count);
    return lexer_scan_utf8(out, area.bytes, count, one_value, load, not_scan, keep_block, consumed, callback, &input,
                           into);
}

}  // namespace kel
