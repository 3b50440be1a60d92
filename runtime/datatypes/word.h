// word! and its variants set-word!, lit-word!, get-word!, refinement! and
// issue!: a symbol bound to a slot of a context.
//
// Cell (types 15-20): header (type, flags) | data1 context node (0: none) |
// data2 symbol id (exact spelling) | data3 value index in that context, -1
// when unresolved (looked up by symbol when used).
//
// A bound word carries its index, so reading or writing it is one indexed
// access into the context's values; the symbol is looked up only for an
// unresolved index.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/context.h"
#include "runtime/error.h"

namespace kel {

constexpr uint32_t kWordUnresolved = 0xFFFFFFFFu;

inline bool word_type_q(uint32_t type) { return type >= TYPE_WORD && type <= TYPE_ISSUE; }
inline Cell* word_set_cell(Cell* out, uint32_t type, Off ctx, uint32_t symbol, int32_t index) {
    cell_set(out, type, ctx, symbol, static_cast<uint32_t>(index));
    return out;
}

// Loads the first value of UTF-8 text into `out`; false when the text holds
// no value or characters are left after it. The lexer installs its loader at
// start-up; until then a scanner of word tokens stands in.
extern bool (*g_word_load_text)(const char* utf8, uint32_t length, Cell* out);
bool word_load_text_fallback(const char* utf8, uint32_t length, Cell* out);

// ---- words of the global context ---------------------------------------------

// Finds the symbol in the global context, adding it (with an unset! value)
// when absent; a new spelling of a known name shares that name's value
// index. With `nocase` a known name of another spelling is found; with
// `keep_spelling` the result then carries the requested symbol. Writes the
// word! into `out`.
Cell* context_add_global(Cell* out, uint32_t symbol, bool nocase, bool keep_spelling);
// The global word of an exact spelling (found ignoring case).
Cell* word_from_cstring(Cell* out, const char* name);
// The global word of a symbol (found by exact spelling; a new spelling shares
// the value of the name it spells).
Cell* word_from_symbol(Cell* out, uint32_t symbol);
// The symbol of a type name made a global word (the registry's word maker).
uint32_t word_global_symbol(const char* name, uint32_t length);
// Writes a word! of the global context into `cell`, keeping its flags.
Cell* word_make_global_at(uint32_t symbol, Cell* cell);
Cell* word_append_global(const Cell* block, uint32_t symbol);
Cell* word_push_global(uint32_t symbol);
Cell* word_append_cstring(const Cell* block, const char* name, uint32_t type = TYPE_WORD);
Cell* word_push(const Cell* word, uint32_t type = 0);  // type 0 keeps the word's

// The called word of the innermost call frame, or none! outside any call.
Cell* word_of_current_call(Cell* out);

// refinement! and issue! cells made from text: a refinement has no context,
// an issue the global context; both are unresolved.
Cell* refinement_from_cstring(Cell* out, const char* name);
Cell* issue_make_at(Cell* out, const char* name);

// ---- reading and writing values --------------------------------------------------

[[noreturn]] void word_raise_unbound(const Cell* word);
Cell* word_get_any_slow(const Cell* word);

// The word's value cell, from its own context. Stale after the next
// allocation. Raises `not-in-context` for a context without values and
// `no-value` for an unresolved word (except self, which reads as the owner).
inline Cell* word_get_any(const Cell* word) {
    if (word->data3 != kWordUnresolved && word->data1) {
        const Cell* ctx = context_cell(word->data1);
        if (ctx->header & CONTEXT_ON_STACK) {
            if (ctx->data2) return arena_at<Cell>(ctx->data2) + word->data3;
        } else if (ctx->data2) {
            const SeriesBuf* values = node_buffer(ctx->data2);
            Cell* slot = arena_at<Cell>(values->head) + word->data3;
            if (arena_off(slot) < values->tail) return slot;
        }
    }
    return word_get_any_slow(word);
}
// Pushes a copy of the value; unset! raises `no-value`.
Cell* word_get(const Cell* word);
// Pushes a copy of the value without the unset! test (get-word evaluation).
Cell* get_word_push_value(const Cell* word);
// Sets the word in its own context with notification. A resolved word of a
// context other than an object's is written with one indexed store.
Cell* word_set_slow(Cell* word, const Cell* value);
inline Cell* word_set(Cell* word, const Cell* value) {
    if (word->data3 != kWordUnresolved && word->data1) {
        const Cell* ctx = context_cell(word->data1);
        if (ctx->header & CONTEXT_ON_STACK) {
            if (ctx->data2) return copy_cell(value, arena_at<Cell>(ctx->data2) + word->data3);
        } else if (ctx->data2 && (ctx->header & CONTEXT_KIND_MASK) != (CTX_OBJECT << CONTEXT_KIND_SHIFT)) {
            const SeriesBuf* values = node_buffer(ctx->data2);
            Cell* slot = arena_at<Cell>(values->head) + word->data3;
            if (arena_off(slot) < values->tail) return copy_cell(value, slot);
        }
    }
    return word_set_slow(word, value);
}
// Set-word evaluation on the frame: argument 1 the word, argument 2 the
// value; unset! raises `need-value`; the value becomes the result.
Cell* word_set_from_args();

// Index-addressed access by (context node, index), for the interpreter.
Cell* word_at_index(Off ctx, uint32_t index);     // the word cell
Cell* word_value_at(Off ctx, uint32_t index);     // the value cell (not-defined without values)
Cell* word_push_at_index(Off ctx, uint32_t index, uint32_t type = TYPE_WORD);
Cell* word_push_local(Off ctx, uint32_t index);   // pushes the value
// The context's own word of the symbol, else the global one (added when
// absent), into `out`.
Cell* word_find_in_context(Cell* out, Off ctx, uint32_t symbol);
// Stores a copy of the stack top into field n (objects mark the field).
void word_set_local(Off ctx, uint32_t index);
// Pushes a copy of the old value, then stores the cell below the top.
void word_set_local_keep_old(Off ctx, uint32_t index);
// Copies field n into the result slot.
void word_get_local_result(Off ctx, uint32_t index);

// Pushes a string! sharing the symbol's name string.
Cell* word_push_name_string(const Cell* word);
// The type the word's name reads as (0 when it is no value); the value read
// goes to `read` when given.
uint32_t word_scan_name(const Cell* word, Cell* read = nullptr);

// ---- actions --------------------------------------------------------------------

Cell* word_make(Cell* proto, Cell* spec, int32_t type);  // make and to
Cell* issue_make(Cell* proto, Cell* spec, int32_t type);
int32_t word_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t word_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                  int32_t indent);
int32_t set_word_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent);
int32_t lit_word_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent);
int32_t get_word_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent);
int32_t refinement_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                        int32_t limit, int32_t indent);
int32_t issue_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent);
int32_t word_compare(const Cell* value1, const Cell* value2, int32_t op);
int32_t issue_compare(const Cell* value1, const Cell* value2, int32_t op);
void word_index_q();  // frame action
// Registers word! and its five variants, word! first.
void word_init();

}  // namespace kel
