// series!: the abstract parent of every series type, and the actions that
// work the same whatever the unit size (1, 2, 4, 8 or 16 bytes).
//
// A series cell: header (type id, bit 30 the new-line flag), data1 the head
// index in units (signed; 0-based; may lie past the tail after another value
// shortened the buffer), data2 the node of the buffer, data3 type-specific
// (vector!'s element type, hash!'s table; 0 otherwise).
//
// Invariants kept here:
//  - the buffer is reached through its node only; a pointer into it is stale
//    after anything that may allocate or run script code (an owner's
//    on-deep-change* does);
//  - every modifying action asks the owners table before the change and,
//    when the series is owned, tells it again afterwards;
//  - nothing is changed before an argument error is raised.
#pragma once
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/gc.h"
#include "runtime/memory.h"

namespace kel {

// ---- type families --------------------------------------------------------

inline bool type_block_family(uint32_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH) || t == TYPE_HASH;
}
inline bool type_path_family(uint32_t t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }
inline bool type_string_family(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}
inline bool type_series(uint32_t t) {
    return type_block_family(t) || type_string_family(t) || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE;
}

// ---- positions ------------------------------------------------------------

inline uint32_t unit_shift(uint32_t unit) { return unit == 16 ? 4 : unit == 8 ? 3 : unit == 4 ? 2 : unit == 2 ? 1 : 0; }
inline SeriesBuf* series_buf(const Cell* s) { return node_buffer(s->data2); }
inline int32_t series_index(const Cell* s) { return static_cast<int32_t>(s->data1); }
inline void series_set_index(Cell* s, int64_t i) { s->data1 = static_cast<uint32_t>(static_cast<int32_t>(i)); }
inline int32_t buf_units(const SeriesBuf* b) { return static_cast<int32_t>(b->used_bytes() >> unit_shift(b->unit())); }

// Units in the whole buffer.
int32_t series_length_total(const Cell* s);
// The value is at or past its tail.
bool series_at_tail_q(const Cell* s);
// Moves the head forward by n unless that passes the tail; true when the new
// head is at or past the tail.
bool series_advance(Cell* s, int32_t n);
// Units from the head (or from the first unit) to the tail; a head past the
// tail is set to the tail and 0 returned; a negative head counts as 0.
int32_t series_get_length(Cell* s, bool from_start);
// Units from the head to the tail, without touching the value.
inline int32_t series_length(const Cell* s) {
    int32_t total = series_length_total(s), i = series_index(s);
    if (i < 0) i = 0;
    return i >= total ? 0 : total - i;
}

// ---- owner notification -----------------------------------------------------

// The action words reported to an owner, in pairs: before, after.
enum class OwnerEvent : uint8_t {
    Append, Appended, Insert, Inserted, Change, Changed, Clear, Cleared, Poke, Poked, Put, PutEd,
    Remove, Removed, Random, Randomized, Reverse, Reversed, Sort, Sorted, Swap, Swaped, Take, Taken,
    Trim, Trimmed, Move, Moved,
};

// Asks the owners table before a change (the owner's on-deep-change* fires
// for an owned series; `value` may be null); true when the series is owned,
// and then owner_after must follow the change. Both may run script code.
bool owner_before(Cell* s, OwnerEvent e, const Cell* value, int32_t index, int32_t part);
void owner_after(Cell* s, OwnerEvent e, const Cell* value, int32_t index, int32_t part);

// ---- hash! upkeep ------------------------------------------------------------

// A hash! keeps a block-kind table over its cells in data3. After cells were
// appended at the tail they are indexed; after any other change the whole
// index is rebuilt.
void series_hash_changed(Cell* s);
void series_hash_appended(Cell* s, uint32_t from, uint32_t count);

// ---- vector! elements ----------------------------------------------------------

// Supplied by vector!: `get` writes the element at `at` into `out` as its
// scalar value; `set` stores a value already checked against the element
// type. Until vector! registers them its elements raise internal not-done.
struct VectorHooks {
    Cell* (*get)(Cell* out, const uint8_t* at, uint32_t element_type, uint32_t unit) = nullptr;
    void (*set)(uint8_t* at, const Cell* value, uint32_t unit) = nullptr;
};
extern VectorHooks g_vector;

// ---- argument errors -----------------------------------------------------------

// Script error invalid-refine-arg naming a refinement (a cell of
// g_refinements: part, skip, compare) and the offending value.
[[noreturn]] void raise_invalid_refine(const Cell& refinement, const Cell* value);

// ---- rooted temporaries ----------------------------------------------------------

// A cell held by C++ code across an allocation or a script call: registered
// as a collector root for the life of the scope, so the value stays alive
// and its node is repointed when its frame is evacuated. A plain local copy
// of a cell is only safe while nothing can allocate.
class RootedCell {
public:
    RootedCell() : cell_{TYPE_UNSET, 0, 0, 0}, root_(&cell_) {}
    explicit RootedCell(const Cell* value) : cell_(*value), root_(&cell_) {}
    Cell* get() { return &cell_; }
    Cell* operator->() { return &cell_; }
    Cell& operator*() { return cell_; }
    RootedCell(const RootedCell&) = delete;
    RootedCell& operator=(const RootedCell&) = delete;

private:
    Cell cell_;
    GcRootCell root_;
};

// ---- shared element access ---------------------------------------------------

// The element at unit `pos` by kind: a copy of a block cell, an integer! of
// a binary byte, a vector's scalar, a char! of a string's code point.
Cell* series_element_get(const Cell* s, int32_t pos, Cell* out);
// A new series with `count` units of `s` from unit `start`, written into
// `out` with `header` (type and flags), head 0, and data3 for a vector!. The
// new buffer is allocated before `s` is read, so `s` must be a rooted cell.
Cell* series_copy_range(const Cell* s, int32_t start, int32_t count, Cell* out, uint32_t header);
// Validates a /part argument that is a position: same type and buffer.
// Returns its head index.
int32_t series_part_position(const Cell* s, const Cell* part);

// ---- action implementations (series_init registers them) --------------------

void series_head();
void series_tail();
void series_next();
void series_back();
void series_at();
void series_skip();
void series_head_q();
void series_tail_q();
void series_index_q();
int32_t series_length_q(const Cell* s);
// pick writes the element (or none) into the series cell, the result slot.
Cell* series_pick(Cell* s, int32_t index, const Cell* index_cell);
Cell* series_poke(Cell* s, int32_t index, Cell* value, const Cell* index_cell);
Cell* series_clear(Cell* s);
Cell* series_remove(Cell* s, const Cell* part, const Cell* key);
Cell* series_reverse(Cell* s, const Cell* part, const Cell* skip);
// The take engine: the result (the element, a new series with /part, or
// none) replaces the series cell.
Cell* series_take(Cell* s, const Cell* part, bool deep, bool last);
// The take engine with a step that finishes the result (rooted) before
// anything is removed: when that step raises, the series keeps its cells.
using TakeFinish = void (*)(Cell* result);
Cell* series_take_finished(Cell* s, const Cell* part, bool last, TakeFinish finish);
Cell* series_move(Cell* origin, Cell* target, const Cell* part);
Cell* series_copy(Cell* s, Cell* dest, const Cell* part, bool deep, const Cell* types);
Cell* series_random(Cell* s, bool seed, bool secure, bool only);
Cell* series_reflect(Cell* s, int32_t field_symbol);
Cell* series_modify(Cell* s, Cell* field, Cell* value, bool case_);

void series_init();

}  // namespace kel
