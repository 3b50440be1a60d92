// context!: maps symbols to value slots.
//
// A context is a node whose buffer holds exactly two cells:
//   1. the context! cell: header 14 | kind << 11 | CONTEXT_ON_STACK |
//      CONTEXT_FLAG24 | CONTEXT_TRACKED; data1 the words table (a words-kind
//      hash table whose block holds the word cells in index order); data2 the
//      values: for a heap context the node of the values block (one cell per
//      index), for a stack context the arena offset of the first value cell
//      on the evaluation stack, 0 while no call runs;
//   2. the owner cell: unset! when made; the object, function or other value
//      owning the context is copied here by its maker (an object's data3 is
//      its change information).
// Kinds: 0 the global context, 1 the interface blocks of natives, actions, functions and
// routines (values on the stack), 2 objects.
//
// Invariant: a heap context's values block has as many cells as its words
// block, except while a maker that added words with context_find_or_add_word
// has not set the values length yet. Words are never removed.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

enum ContextKind : uint32_t { CTX_GLOBAL = 0, CTX_FUNCTION = 1, CTX_OBJECT = 2 };
constexpr uint32_t CONTEXT_KIND_SHIFT = 11;
constexpr uint32_t CONTEXT_KIND_MASK = 0x1800;
constexpr uint32_t CONTEXT_TRACKED = 0x10000;     // the object's fields report changes
constexpr uint32_t CONTEXT_ON_STACK = 0x400000;   // values live on the evaluation stack
constexpr uint32_t CONTEXT_FLAG24 = 0x1000000;    // requested by the maker, kept by copies
constexpr uint32_t WORD_FIELD_CHANGED = 0x2000;   // on an object's word cell: the field was assigned
constexpr uint32_t kGlobalContextInitial = 4000;

extern Off g_global_context;

// The context! cell and the owner cell; stale after the next allocation.
inline Cell* context_cell(Off ctx) { return arena_at<Cell>(node_buffer(ctx)->head); }
inline Cell* context_owner_cell(Off ctx) { return context_cell(ctx) + 1; }
inline uint32_t context_kind(Off ctx) { return (context_cell(ctx)->header & CONTEXT_KIND_MASK) >> CONTEXT_KIND_SHIFT; }
inline bool context_on_stack(Off ctx) { return context_cell(ctx)->header & CONTEXT_ON_STACK; }
// Number of value cells of a heap context.
uint32_t context_values_count(Off ctx);
// The value cell at `index`, or null when the context has no values there
// (a stack context whose call is not running, an index past the values).
// Stale after the next allocation.
Cell* context_value_at(Off ctx, uint32_t index);

// Grows a heap context's values with unset! cells to at least `count`.
void context_values_ensure(Off ctx, uint32_t count);

// Called when an object field changes through context_set_in; supplied by
// object!. Gets the owner object, the field word, the old and new values.
extern void (*g_context_on_change)(const Cell* owner, const Cell* word, const Cell* old_value,
                                   const Cell* new_value);

// Makes the global context (idempotent; needs the symbol table).
void context_global_init(uint32_t size = kGlobalContextInitial);

// A new context for n words (0 is taken as 1), copying the words table of
// `source` when given (0: none). A heap context gets a values block with room
// for n unset! cells and length 0.
Off context_make(uint32_t n, bool on_stack, bool flag24, Off source, uint32_t kind);
// Adds every word!, get-word!, lit-word! and refinement! of the interface block's whole
// buffer in order (a repeat keeps its first index); a heap context's values
// length becomes the number of words seen, repeats included.
Off context_make_from_spec(const Cell* spec, bool on_stack, bool flag24, uint32_t kind);
// A copy of the context named by value->data1 with the given kind: same words
// (rebound to the copy), no values (a heap copy's values block is empty with
// room for every word); value->data1 takes the new node, which is returned.
Off context_duplicate(Cell* value, uint32_t kind);

// The value index of `symbol`, or -1.
int32_t context_find_word(Off ctx, uint32_t symbol, bool nocase);
// Adds a word cell for an absent symbol (returns -1, the new index through
// `out`) or returns the existing index (also through `out`). Values untouched.
int32_t context_find_or_add_word(Off ctx, uint32_t symbol, bool nocase, int32_t* out);
// Find-or-add ignoring case; a word added to a heap context gets an unset!
// value. Returns the index.
int32_t context_add_word(Off ctx, const Cell* word);
// Adds the word with a copy of `value` and returns the value cell; null when
// the symbol is already there.
Cell* context_add_word_value(Off ctx, const Cell* word, const Cell* value);
// Copies `value` into the word's slot (ignoring case), adding the word when
// absent. Returns the value cell.
Cell* context_set_or_append(Off ctx, const Cell* word, const Cell* value);
// The value cell of a symbol known to be present (ignoring case); a stack
// context is answered from the global context.
Cell* context_find_value(uint32_t symbol, Off ctx);
// The global value cell of a symbol (ignoring case), or null.
Cell* context_global_value(uint32_t symbol);
// A copy of the global value into `out`; the symbol is added when absent.
Cell* context_global_get(uint32_t symbol, Cell* out);

// Sets `word` in `ctx` (resolving and, when absent, adding the word first).
// Raises `not-defined` for a context without values. An object field gets
// WORD_FIELD_CHANGED, and with `notify` its owner's on-change* sees the old
// and new values. Returns the value cell.
Cell* context_set_in(Cell* word, const Cell* value, Off ctx, bool notify);
// Resolves the word's index (exact spelling) when unresolved and stores n in
// data2 of its value cell, header untouched.
void word_set_int_payload(Cell* word, int32_t n);

// Binds the word when the context has its symbol (ignoring case); returns the
// index or -1 (the word unchanged).
int32_t context_bind_word(Off ctx, Cell* word);
// Binds the words of a block, deeply, from its head index; with `self`, a
// word! spelled self gets the context and index -1 (it then reads as the
// owner). Self-containing blocks terminate.
Cell* context_bind_block(Cell* block, Off ctx, bool self);
// Adds every set-word! of the block from its head index; true when the
// context grew.
bool context_collect_set_words(Off ctx, const Cell* block);

void context_init();

}  // namespace kel
