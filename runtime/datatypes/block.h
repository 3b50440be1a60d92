// block!: the universal container, a series of 16-byte value cells.
//
// Cell: header (type 5 or an inheriting type's id; bit 30 the new-line flag,
// kept by copies), data1 the head index in cells, data2 the buffer's node,
// data3 0 (hash! keeps its table there). The buffer's unit is 16.
//
// Ordinary block buffers live in the collected series frames and move;
// fixed ones (the evaluation stack's blocks) are allocated outside them,
// never move and keep the capacity they were made with. A block made
// without a parent is appended to the root block, which a collector root
// callback keeps alive (an ordinary block: nothing holds pointers into it).
//
// "index" in this interface is in cells from the buffer's first cell; the
// head is the value's own position. Every returned Cell* that points into a
// buffer is valid only until the next allocation.
#pragma once
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/datatypes/series.h"

namespace kel {

// ---- the root block -----------------------------------------------------------

extern Cell g_root_block;
// Makes the root block once (needs memory_init).
void block_root_init();

// ---- low-level operations ---------------------------------------------------------

int32_t block_length_from_head(const Cell* block);
// Head + 1 unless that passes the tail; true when the new head is at the tail.
bool block_step_next(Cell* block);
// Address of the head cell; a head past the tail is first set to the tail.
Cell* block_head(Cell* block);
Cell* block_tail_cell(const Cell* block);
bool block_tail_q(const Cell* block);
Cell* block_cell_at(const Cell* block, uint32_t i);
void block_set_tail(const Cell* block, uint32_t n);
void block_clear_from_head(Cell* block);
void block_drop_last(Cell* block);
// Appends a copy of `value` (which may lie in the block itself); returns the new cell.
Cell* block_append_value(const Cell* block, const Cell* value);
// Appends copies of all cells of `source` from its head; returns the target.
Cell* block_append_all(Cell* target, const Cell* source);
// Inserts a copy at the head (or at the first cell with at_start), moving the
// rest up; with advance the head moves past it. Returns the block.
Cell* block_insert_value(Cell* block, const Cell* value, bool advance, bool at_start);
// Inserts each source cell in turn, advancing past each (order kept).
void block_insert_all(Cell* target, const Cell* source);
// Stack forms: the block in the cell below the top takes the top value
// (insert_result, append_result); append_arg appends argument 2 to the block
// in the result slot.
void block_insert_result();
Cell* block_append_arg();
void block_append_result();

// A new empty block with room for n cells (n < 1 gives 1) written into `cell`.
Cell* block_make_at(Cell* cell, int32_t n);
Cell* block_make_at_ex(Cell* cell, int32_t n, bool fixed);
// A new block in a new cell appended to `parent` (null: the root block).
// A fixed block never moves; appending past its capacity raises internal
// `no-memory`.
Cell* block_append_new(Cell* parent, int32_t n);
Cell* block_append_new_fixed(Cell* parent, int32_t n);
// Pushes a copy of the block value on the evaluation stack.
Cell* block_push(const Cell* block);
// Pushes a new empty block with room for n cells (0 gives 1).
Cell* block_push_only(int32_t n);
// Pushes a new block holding copies of the cells from the head, typed like
// the source; deep clones nested block!s (and, with all_types, paren!s and
// paths) recursively.
Cell* block_clone(const Cell* block, bool deep, bool all_types);
// In cells [from, end) of `block`, stepping by `step`, replaces every value
// whose type is in `types` (a datatype! or typeset!) and that is a series,
// bitset!, object!, error! or map! by its copy.
void block_copy_typed_values(const Cell* block, uint32_t from, uint32_t end, uint32_t step, bool deep,
                             const Cell* types);
// The cell after the first cell equal to `key` (compare code 12); a static
// none! when absent or last.
const Cell* block_select_value(const Cell* block, const Cell* key);
// Removes the first equal cell from the first cell or from the head; true
// when the removed cell lay at or before the head.
bool block_remove_value(Cell* block, const Cell* key, bool from_start);
// The cell after the first any-word cell spelling `symbol` (exact id with
// case, else the same canonical id); a static none! when absent or last.
const Cell* block_select_word(const Cell* block, uint32_t symbol, bool case_);

// A shared none! cell; never written.
const Cell* block_none_cell();

// ---- conversions supplied by other types ----------------------------------------

// `make`/`to block!` of an object! or map! takes the body that the type's
// reflect gives, of a typeset! its datatypes. A vector!'s elements and a
// string! loaded by the lexer come from converters that vector! and the
// loader register here; each writes a new block! into `out`. Until then
// those conversions raise internal `not-done`.
using BlockConverter = Cell* (*)(const Cell* spec, Cell* out);
void block_set_converter(TypeId type, BlockConverter fn);
BlockConverter block_converter(uint32_t type);

// ---- sort comparator ------------------------------------------------------------

// Calls a comparator function with two values and writes its result into
// `result`; filled by the evaluator. Until then sort/compare with a function
// raises internal `not-done`.
using SortComparatorCall = void (*)(const Cell* fn, const Cell* a, const Cell* b, Cell* result);
extern SortComparatorCall g_sort_comparator_call;
// The order a comparator's result gives, shared by block and string sort:
// true or a negative number puts the first value first (-1); false, none or a
// positive number puts it after (1); zero (integer or float) keeps them equal;
// any other value counts as true.
int32_t sort_comparator_order(const Cell* result);

// ---- action implementations (block_init registers them) ---------------------------

Cell* block_make(Cell* proto, Cell* spec, int32_t type);
Cell* block_to(Cell* proto, Cell* spec, int32_t type);
Cell* block_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool is_append);
Cell* block_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* block_take(Cell* series, const Cell* part, bool deep, bool last);
Cell* block_swap(Cell* series1, Cell* series2);
Cell* block_trim(Cell* series, const TrimArgs& args);
Cell* block_copy(Cell* series, Cell* dest, const Cell* part, bool deep, const Cell* types);
// find and select write their result (a copy of the series at the match, the
// value after it, or none) into the series cell, the result slot.
Cell* block_find(Cell* series, Cell* value, const FindArgs& args);
Cell* block_select(Cell* series, Cell* value, const FindArgs& args);
Cell* block_put(Cell* series, Cell* key, Cell* value, bool case_);
// Get (value null) or set through a path element. A get returns the
// selected cell (possibly inside the buffer: copy it at once) or none.
Cell* block_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args);
int32_t block_compare(const Cell* value1, const Cell* value2, int32_t op);
Cell* block_sort(Cell* series, const SortArgs& args);
int32_t block_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t block_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent);
// The cells of a block-like value molded as a block's (no brackets): shared
// by paren!.
int32_t block_mold_cells(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                         int32_t limit, int32_t indent);
// mold without /part of a block! whose cells from its head are all integers
// on one line (any line with /flat) and at most 64: the text goes straight
// into a new string! that replaces the block in `slot`. False, with nothing
// changed, for any other block or while a mold is under way.
bool block_mold_integers(Cell* slot, bool only, bool flat);
// unique (block2 null), union, intersect, exclude, difference (MathOp codes
// 8-12): pushes the result block on the evaluation stack and returns it.
Cell* block_set_op(const Cell* block1, const Cell* block2, bool case_, const Cell* skip, int32_t op);

void block_init();

}  // namespace kel
