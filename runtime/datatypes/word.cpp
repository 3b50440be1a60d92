// word! and its variants: the global words, reading and writing values, and
// the actions make/to, form, mold, compare and index?.
#include "runtime/datatypes/word.h"

#include <cstring>
#include <string>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/gc.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

bool (*g_word_load_text)(const char*, uint32_t, Cell*) = word_load_text_fallback;

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_delimiter(char c) {
    return is_blank(c) || std::strchr("[](){}\";/", c) != nullptr;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void raise_bad_to(int32_t type, const Cell* value) {
    Cell dt;
    datatype_set(&dt, type);
    error_raise(ErrCat::Script, "bad-to-arg", &dt, value);
}

uint32_t utf8_chars(std::string_view s) {
    uint32_t n = 0;
    for (char c : s) n += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
    return n;
}

// Appends the word's name; returns the characters appended. A name made
// from a string (an issue!) may hold lone surrogates in the form that
// string_to_utf8 gives them; they come back as the characters they were.
int32_t append_name(const Cell* word, Cell* buffer) {
    std::string name(symbol_name(word->data2));  // appending may allocate
    string_append_utf8_own(buffer, name);
    return static_cast<int32_t>(utf8_chars(name));
}

int32_t mold_marked(const Cell* value, Cell* buffer, const char* before, const char* after, int32_t limit) {
    if (before) string_append_ascii(buffer, before);
    limit -= append_name(value, buffer);
    if (after) string_append_ascii(buffer, after);
    return limit - 1;
}

// The global word true or false.
Cell* logic_word(Cell* out, bool value) {
    uint32_t sym = value ? g_sym.true_ : g_sym.false_;
    if (!sym) sym = symbol_make(value ? "true" : "false");
    return word_from_symbol(out, sym);
}

// The text of a string! from its head index, or of a char!, as UTF-8.
std::string text_of(const Cell* spec) {
    if (spec->is(TYPE_CHAR)) {
        Cell s;
        string_make(&s, 1, unit_for_codepoint(char_get(spec)));
        string_append_char(&s, char_get(spec));
        return string_to_utf8(&s);
    }
    return string_to_utf8(spec);
}

}  // namespace

// ---- the stand-in word scanner ---------------------------------------------------

bool word_load_text_fallback(const char* utf8, uint32_t length, Cell* out) {
    std::string_view text(utf8, length);
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.empty()) return false;
    uint32_t type = TYPE_WORD;
    switch (text.front()) {
    case '\'': type = TYPE_LIT_WORD; break;
    case ':': type = TYPE_GET_WORD; break;
    case '/': type = TYPE_REFINEMENT; break;
    case '#': type = TYPE_ISSUE; break;
    default: break;
    }
    if (type != TYPE_WORD) text.remove_prefix(1);
    if (type == TYPE_WORD && text.size() > 1 && text.back() == ':') {
        type = TYPE_SET_WORD;
        text.remove_suffix(1);
    }
    if (text.empty()) return false;
    for (char c : text) {
        if (is_delimiter(c) || c == ':' || c == '\'') return false;
    }
    char first = text[0];
    bool numeric = is_digit(first) ||
                   ((first == '+' || first == '-' || first == '.') && text.size() > 1 && is_digit(text[1]));
    if (numeric && type != TYPE_ISSUE) return false;
    uint32_t sym = symbol_make_len(text.data(), static_cast<uint32_t>(text.size()));
    if (type == TYPE_REFINEMENT) {
        word_set_cell(out, TYPE_REFINEMENT, 0, sym, -1);
    } else if (type == TYPE_ISSUE) {
        word_set_cell(out, TYPE_ISSUE, g_global_context, sym, -1);
    } else {
        context_add_global(out, sym, false, true);
        cell_set_type(out, type);
    }
    return true;
}

// ---- words of the global context ---------------------------------------------------

Cell* context_add_global(Cell* out, uint32_t symbol, bool nocase, bool keep_spelling) {
    Off g = g_global_context;
    GcRootNode keep(&g);
    Off table = context_words_table(g);
    int32_t pos = context_add_slot(table, symbol, nocase, 0, nullptr);
    if (pos >= 0) {
        Cell w = *context_word_cell_at(g, static_cast<uint32_t>(pos));
        if (keep_spelling) w.data2 = symbol;
        w.header = TYPE_WORD;
        return copy_cell(&w, out);
    }
    // A new spelling of a known name shares that name's value.
    int32_t twin = nocase ? -1 : context_add_slot(table, symbol, true, 0, nullptr);
    int32_t shared = twin >= 0 ? static_cast<int32_t>(context_word_cell_at(g, static_cast<uint32_t>(twin))->data3) : -1;
    context_add_slot(table, symbol, false, g, &pos);
    int32_t index = shared >= 0 ? shared : pos;
    context_word_cell_at(g, static_cast<uint32_t>(pos))->data3 = static_cast<uint32_t>(index);
    context_values_ensure(g, static_cast<uint32_t>(pos) + 1);
    return word_set_cell(out, TYPE_WORD, g, symbol, index);
}

Cell* word_from_cstring(Cell* out, const char* name) {
    return context_add_global(out, symbol_make(name), true, true);
}

Cell* word_from_symbol(Cell* out, uint32_t symbol) { return context_add_global(out, symbol, false, true); }

uint32_t word_global_symbol(const char* name, uint32_t length) {
    uint32_t sym = symbol_make_len(name, length);
    Cell w;
    word_from_symbol(&w, sym);
    return sym;
}

Cell* word_make_global_at(uint32_t symbol, Cell* cell) {
    Cell w;
    word_from_symbol(&w, symbol);
    w.header = (cell->header & ~CELL_TYPE_MASK) | TYPE_WORD;
    return copy_cell(&w, cell);
}

Cell* word_append_global(const Cell* block, uint32_t symbol) {
    Cell w;
    word_from_symbol(&w, symbol);
    GcRootCell keep(&w);  // the append may collect
    return copy_cell(&w, block_append_slot(block));
}

Cell* word_push_global(uint32_t symbol) {
    Cell w;
    word_from_symbol(&w, symbol);
    return stack_push(&w);
}

Cell* word_append_cstring(const Cell* block, const char* name, uint32_t type) {
    Cell w;
    word_from_cstring(&w, name);
    w.header = type;
    GcRootCell keep(&w);  // the append may collect
    return copy_cell(&w, block_append_slot(block));
}

Cell* word_push(const Cell* word, uint32_t type) {
    Cell* c = stack_push(word);
    if (type) cell_set_type(c, type);
    return c;
}

Cell* word_of_current_call(Cell* out) {
    if (!stack_ready() || g_stack.frame_top <= g_stack.frame_bottom || !stack_current_frame()->symbol)
        return copy_cell(&static_none_cell, out);
    const CallFrame* f = stack_current_frame();
    return word_set_cell(out, TYPE_WORD, f->word_ctx, f->symbol, -1);
}

Cell* refinement_from_cstring(Cell* out, const char* name) {
    return word_set_cell(out, TYPE_REFINEMENT, 0, symbol_make(name), -1);
}

Cell* issue_make_at(Cell* out, const char* name) {
    // Making the symbol may collect and move the global context: read its
    // node only afterwards.
    uint32_t symbol = symbol_make(name);
    return word_set_cell(out, TYPE_ISSUE, g_global_context, symbol, -1);
}

// ---- reading and writing values -------------------------------------------------------

void word_raise_unbound(const Cell* word) { error_raise(ErrCat::Script, "not-in-context", word); }

Cell* word_get_any_slow(const Cell* word) {
    Off ctx = word->data1;
    GcRootNode keep(&ctx);
    if (word->data3 != kWordUnresolved) {
        if (!ctx || !context_cell(ctx)->data2) word_raise_unbound(word);
        // A heap context whose values fall short of its words (a maker that
        // has not set them yet): the missing values read unset!.
        Cell w = *word;
        context_values_ensure(ctx, w.data3 + 1);
        return context_value_at(ctx, w.data3);
    }
    if (ctx && g_sym.self && symbol_resolve(word->data2) == symbol_resolve(g_sym.self)) return context_owner_cell(ctx);
    error_raise(ErrCat::Script, "no-value", word);
}

Cell* word_get(const Cell* word) {
    const Cell* v = word_get_any(word);
    if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", word);
    return stack_push(v);
}

Cell* get_word_push_value(const Cell* word) { return stack_push(word_get_any(word)); }

Cell* word_set_slow(Cell* word, const Cell* value) {
    if (!word->data1) error_raise(ErrCat::Script, "not-defined", word);
    return context_set_in(word, value, word->data1, true);
}

Cell* word_set_from_args() {
    Cell* args = stack_arguments();
    if (args[1].is(TYPE_UNSET)) error_raise(ErrCat::Script, "need-value", &args[0]);
    word_set(&args[0], &args[1]);
    return copy_cell(&args[1], &args[0]);
}

Cell* word_at_index(Off ctx, uint32_t index) { return context_word_cell_at(ctx, index); }

Cell* word_value_at(Off ctx, uint32_t index) {
    Cell* v = context_value_at(ctx, index);
    if (!v) error_raise(ErrCat::Script, "not-defined", word_at_index(ctx, index));
    return v;
}

Cell* word_push_at_index(Off ctx, uint32_t index, uint32_t type) {
    Cell w = *word_at_index(ctx, index);
    cell_set_type(&w, type);
    return stack_push(&w);
}

Cell* word_push_local(Off ctx, uint32_t index) { return stack_push(word_value_at(ctx, index)); }

Cell* word_find_in_context(Cell* out, Off ctx, uint32_t symbol) {
    int32_t pos = context_add_slot(context_words_table(ctx), symbol, true, 0, nullptr);
    if (pos >= 0) return copy_cell(context_word_cell_at(ctx, static_cast<uint32_t>(pos)), out);
    return context_add_global(out, symbol, true, false);
}

namespace {

void store_field(Off ctx, uint32_t index, const Cell* value) {
    Cell v = *value;
    copy_cell(&v, word_value_at(ctx, index));
    if (context_kind(ctx) == CTX_OBJECT) word_at_index(ctx, index)->header |= WORD_FIELD_CHANGED;
}

}  // namespace

void word_set_local(Off ctx, uint32_t index) { store_field(ctx, index, stack_top()); }

void word_set_local_keep_old(Off ctx, uint32_t index) {
    Cell old = *word_value_at(ctx, index);
    stack_push(&old);
    store_field(ctx, index, stack_top() - 1);
}

void word_get_local_result(Off ctx, uint32_t index) { copy_cell(word_value_at(ctx, index), stack_arguments()); }

Cell* word_push_name_string(const Cell* word) {
    uint32_t sym = word->data2;
    symbol_ensure_string(sym);
    Cell s{TYPE_STRING, 0, symbol_cell(sym)->data2, 0};
    return stack_push(&s);
}

uint32_t word_scan_name(const Cell* word, Cell* read) {
    std::string name(symbol_name(word->data2));
    Cell v;
    if (!read) read = &v;
    return g_word_load_text(name.data(), static_cast<uint32_t>(name.size()), read) ? read->type() : 0;
}

// ---- actions -----------------------------------------------------------------------

Cell* word_make(Cell* proto, Cell* spec, int32_t type) {
    Cell r;
    switch (spec->type()) {
    case TYPE_DATATYPE: {
        int32_t t = static_cast<int32_t>(spec->data1);
        const char* name = datatype_name(t);
        if (!*name) raise_bad_to(type, spec);
        uint32_t sym = g_type_names[t].symbol ? g_type_names[t].symbol
                                              : symbol_make_len(name, static_cast<uint32_t>(std::strlen(name)));
        word_from_symbol(&r, sym);
        break;
    }
    case TYPE_LOGIC:
        logic_word(&r, spec->data1 == 1);
        break;
    case TYPE_STRING:
    case TYPE_CHAR: {
        std::string text = text_of(spec);
        if (!g_word_load_text(text.data(), static_cast<uint32_t>(text.size()), &r) || !word_type_q(r.type()))
            error_raise(ErrCat::Script, "invalid-chars", spec);
        break;
    }
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
        r = *spec;
        break;
    case TYPE_REFINEMENT:
    case TYPE_ISSUE: {
        // The name must read as one word of the four plain kinds; the result
        // takes the symbol read, so the issue #a: gives the word a and not a
        // word spelled with the colon, whose text would load as a set-word.
        Cell scanned;
        uint32_t read = word_scan_name(spec, &scanned);
        if (read < TYPE_WORD || read > TYPE_GET_WORD) raise_bad_to(type, spec);
        uint32_t sym = scanned.data2;
        int32_t index = context_find_word(g_global_context, sym, true);
        if (index >= 0) word_set_cell(&r, type, g_global_context, sym, index);
        else word_set_cell(&r, type, 0, sym, -1);
        break;
    }
    default:
        raise_bad_to(type, spec);
    }
    r.header = static_cast<uint32_t>(type);
    return copy_cell(&r, proto);
}

Cell* issue_make(Cell* proto, Cell* spec, int32_t type) {
    uint32_t sym;
    if (spec->is(TYPE_STRING) || spec->is(TYPE_CHAR)) {
        std::string text = text_of(spec);
        sym = symbol_make_len(text.data(), static_cast<uint32_t>(text.size()));
    } else if (word_type_q(spec->type())) {
        sym = spec->data2;
    } else {
        return word_make(proto, spec, type);
    }
    return word_set_cell(proto, TYPE_ISSUE, g_global_context, sym, -1);
}

int32_t word_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    return limit - append_name(value, buffer);
}

int32_t word_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return word_form(value, buffer, part, limit);
}

int32_t set_word_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return mold_marked(value, buffer, nullptr, ":", limit);
}

int32_t lit_word_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return mold_marked(value, buffer, "'", nullptr, limit);
}

int32_t get_word_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return mold_marked(value, buffer, ":", nullptr, limit);
}

int32_t refinement_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return mold_marked(value, buffer, "/", nullptr, limit);
}

int32_t issue_mold(const Cell* value, Cell* buffer, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return mold_marked(value, buffer, "#", nullptr, limit);
}

int32_t word_compare(const Cell* value1, const Cell* value2, int32_t op) {
    uint32_t t1 = value1->type(), t2 = value2->type();
    if ((t2 == TYPE_ISSUE && t1 != TYPE_ISSUE) || !word_type_q(t2)) return kCompareIncomparable;
    uint32_t s1 = value1->data2, s2 = value2->data2;
    bool same_type = t1 == t2;
    bool word_vs_lit = (t1 == TYPE_WORD && t2 == TYPE_LIT_WORD) || (t1 == TYPE_LIT_WORD && t2 == TYPE_WORD);
    bool nocase_equal = symbol_resolve(s1) == symbol_resolve(s2);
    switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_FIND:
        return nocase_equal ? 0 : 1;
    case COMP_STRICT_EQUAL:
        return same_type && s1 == s2 ? 0 : 1;
    case COMP_SAME:
        return s1 == s2 && same_type && value1->data1 == value2->data1 ? 0 : 1;
    case COMP_FIND_WORD:
        return (word_vs_lit || same_type) && s1 == s2 ? 0 : 1;
    case COMP_FIND_WORD_CASE:
        return (word_vs_lit || same_type) && nocase_equal ? 0 : 1;
    default:
        return symbol_names_compare(s1, s2, op);
    }
}

int32_t issue_compare(const Cell* value1, const Cell* value2, int32_t op) {
    if (!value2->is(TYPE_ISSUE)) return kCompareIncomparable;
    return word_compare(value1, value2, op);
}

namespace {

// A word keeps its context alive.
void mark_word_cell(Cell* c) {
    if (c->data1) gc_mark_node_cells(&c->data1);
}

}  // namespace

void word_index_q() {
    Cell* a = stack_arguments();
    if (a->data3 == kWordUnresolved) copy_cell(&static_none_cell, a);
    else cell_set(a, TYPE_INTEGER, 0, a->data3 + 1);
}

void word_init() {
    for (uint32_t t = TYPE_WORD; t <= TYPE_ISSUE; t++) gc_set_type_marker(t, mark_word_cell);
    // to integer! reads an issue!'s name as hexadecimal digits.
    g_number_services.word_spelling = [](const Cell* word) { return std::string(symbol_name(word->data2)); };
    TypeRow(TYPE_WORD)
        .set<ACT_MAKE>(word_make)
        .set<ACT_TO>(word_make)
        .set<ACT_FORM>(word_form)
        .set<ACT_MOLD>(word_mold)
        .set<ACT_COMPARE>(word_compare)
        .set<ACT_INDEX_Q>(word_index_q)
        .commit();
    TypeRow(TYPE_LIT_WORD)
        .set<ACT_MOLD>(lit_word_mold)
        .inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_INDEX_Q})
        .commit();
    TypeRow(TYPE_SET_WORD)
        .set<ACT_MOLD>(set_word_mold)
        .inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_INDEX_Q})
        .commit();
    TypeRow(TYPE_GET_WORD)
        .set<ACT_MOLD>(get_word_mold)
        .inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_INDEX_Q})
        .commit();
    TypeRow(TYPE_REFINEMENT)
        .set<ACT_MOLD>(refinement_mold)
        .inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE})
        .commit();
    TypeRow(TYPE_ISSUE)
        .set<ACT_MAKE>(issue_make)
        .set<ACT_TO>(issue_make)
        .set<ACT_MOLD>(issue_mold)
        .set<ACT_COMPARE>(issue_compare)
        .inherit({ACT_FORM})
        .commit();
}

}  // namespace kel
