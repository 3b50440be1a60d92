// object!: named fields in a context of kind 2, with a class id and change
// notification.
//
// Cell (type 32; error! 34 and port! 48 share the layout):
//   data1  the node of the object's context (values in a block)
//   data2  the class id: objects made from a prototype without new fields
//          keep its id, every other object gets a new one
//   data3  the on-change information: 0 when the object has neither an
//          `on-change*` nor an `on-deep-change*` field, else the node of a
//          two-cell block (cell 0 on-change*, cell 1 on-deep-change*), each a
//          pair! whose data2 is (field index << 16) | local cells of the
//          handler (index 0xFFFF: no such field) and data3 the node of the
//          handler's interface block when that count was taken
//
// Invariants:
//  - the context's owner cell holds a copy of the object cell (what `self`
//    reads and what the context gives back to its object), updated whenever
//    data3 changes; the change information is always read through it, so a
//    copy of the cell made earlier never matters (nor does its data3 beyond
//    being zero or not);
//  - the fields are the context's words in order; the values block has one
//    cell per word;
//  - assigning a field sets WORD_FIELD_CHANGED on its word cell; making an
//    object clears every such flag.
//
// Evaluating a body block and calling a handler run script code: no pointer
// into a buffer survives them; objects under construction stay on the
// evaluation stack.
#pragma once
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

constexpr uint32_t kObjectNoField = 0xFFFF;

// ---- making -----------------------------------------------------------------------

// Increments the class-id counter and returns it.
uint32_t object_new_id();
// Writes the object cell {type, ctx, class id, info} into `cell` and copies
// it into the context's owner cell.
Cell* object_make_at(Cell* cell, Off ctx, uint32_t class_id, Off info, uint32_t type = TYPE_OBJECT);
// Pushes {object!, ctx, class id, 0}; an empty values block first gets one
// cell per word.
Cell* object_push(Off ctx, uint32_t class_id);
// A new empty object context for n words: class id 0, no change information.
Cell* object_make_from_context(Cell* cell, uint32_t n);
// Computes the change information from the fields and stores it; an object
// with an on-deep-change* field becomes owner of the series in its fields.
// Raises `bad-field-set` for a handler field that holds no function.
void object_init_events(Cell* object);

// The make and copy actions.
Cell* object_make(Cell* proto, Cell* spec, int32_t type);
Cell* object_copy(Cell* value, Cell* dest, const Cell* part, bool deep, const Cell* types);

// Makes `dest` a new object with its own context holding the source's words
// and values. deep: series values are copied (deeply); types: only values of
// those types (series, bitset!, object!, error!, map!) are copied. Functions
// are always rebuilt for the new object. reset_events: the change
// information is computed afresh, else shared.
Cell* object_duplicate(const Cell* source, Cell* dest, bool deep, const Cell* types, bool reset_events);
// Copies the source's values into the destination's fields of the same
// names, copying series (deeply).
void object_rebind_values(const Cell* source, const Cell* dest);
// Copies the series of the destination's own values (deeply with `deep`),
// rebinds its blocks to it and rebuilds its functions.
void object_rebind_copied_values(const Cell* source, const Cell* dest, bool deep);
// Adds each field of `source` to the context with its value (series copied,
// functions rebuilt); true when the context gained words.
bool object_merge_fields(Off ctx, const Cell* source);
// Replaces a function! by one whose body is a deep copy bound to `ctx` (with
// self) and to its own new context. Raises `bad-func-def` without a body.
void object_rebind_function(Cell* function, Off ctx);

// construct: a new object from a block of set-words and values, without
// evaluation; with `proto` (null: none) a deep copy of it is the start.
// Pushes the object and returns it.
Cell* object_construct(const Cell* spec, const Cell* proto, bool only);
// Adds the block's set-words to the object's context and stores their values;
// true when the context gained words.
bool object_construct_values(Cell* object, const Cell* spec, bool only);

// ---- fields ---------------------------------------------------------------------

// The value of the field named by the word (ignoring case), or a shared
// none! cell. Stale after the next allocation.
const Cell* object_get_field(const Cell* object, const Cell* word);
// The field index of a word (ignoring case), or -1.
int32_t object_find_field(const Cell* object, const Cell* word);
// Word i of a context, written into `out`.
Cell* object_get_word(Off ctx, uint32_t i, Cell* out);
Cell* object_first_word(const Cell* object, Cell* out);
uint32_t object_get_words_count(const Cell* object);
// The first value cell (stale after the next allocation).
Cell* object_get_values(const Cell* object);
void object_clear_changed(Off ctx);
void object_clear_cell_bit30(Off ctx);
bool object_word_is_class_q(const Cell* word, uint32_t class_id);
bool object_field_is_class_q(Off ctx, uint32_t i, uint32_t class_id);

// Sets field `index` without notification (marking it changed), then calls
// on-change* with the old and new values when the object has one.
void object_set_field(const Cell* object, uint32_t index, const Cell* value);
// The native `set` with an object target.
void object_set_all(const Cell* object, const Cell* value, bool any, bool some, bool only);

// ---- change notification -----------------------------------------------------------

void object_fire_on_change(const Cell* object, const Cell* word, const Cell* old_value, const Cell* new_value);
void object_fire_on_deep_change(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                                const Cell* value, int32_t index, int32_t part);


// ---- text forms and the other actions ---------------------------------------------------

// Writes the fields as set-word/value pairs; returns the remaining limit.
int32_t object_mold_fields(const Cell* object, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                           int32_t limit, bool indent, int32_t level, bool leading_newline);
int32_t object_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t object_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                    int32_t indent);
int32_t object_compare(const Cell* value1, const Cell* value2, int32_t op);
Cell* object_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args);
Cell* object_select(Cell* object, Cell* key, const FindArgs& args);
Cell* object_put(Cell* object, Cell* key, Cell* value, bool case_);
Cell* object_modify(Cell* object, Cell* field, Cell* value, bool case_);
Cell* object_reflect(Cell* object, int32_t field_symbol);

// Registers object! and installs its change hooks (a field set through a
// context, a change reported by the owners table).
void object_init();
// The collector's marker of object!, error! and port! cells.
void object_gc_mark(Cell* cell);

}  // namespace kel
