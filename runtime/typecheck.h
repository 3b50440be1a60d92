// Argument descriptors and argument checks.
//
// The descriptor of a callable is a block built from its interface block
// the first time the interpreter calls it: per argument a typeset! of the
// accepted types with the argument mode in header bits 20-21, per refinement
// (other than /local) a copy of it whose data3 is its ordinal, an integer!
// with the number of local cells when the interface block has /local, and for natives
// and actions with refinements a last integer! with their count.
//
// Typeset bits: the three payload words are one 12-byte array in memory
// order; type t is bit 0x80 >> (t & 7) of byte t >> 3.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

// Header flag of a context! cell whose values live on the evaluation stack.
constexpr uint32_t kCtxValuesOnStack = 0x400000;
constexpr uint32_t CONTEXT_VALUES_ON_STACK = kCtxValuesOnStack;

// Argument modes in bits 20-21 of a descriptor typeset.
constexpr uint32_t ARG_MODE_SHIFT = 20;
constexpr uint32_t ARG_MODE_MASK = 0x300000;
enum ArgMode : uint32_t { ARG_EVAL = 0, ARG_AS_IS = 1, ARG_QUOTED = 2, ARG_RETURN = 3 };

inline bool typeset_has(const Cell* ts, uint32_t t) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    return t < 96 && (bytes[t >> 3] & (0x80u >> (t & 7))) != 0;
}
inline void typeset_set_bit(Cell* ts, uint32_t t) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&ts->data1);
    if (t < 96) bytes[t >> 3] |= static_cast<uint8_t>(0x80u >> (t & 7));
}
// Whether a value can have type `t`: symbol!, context!, triple! and series!
// name internal records and abstract parents, never a value's type.
inline bool type_has_values(uint32_t t) {
    return t >= 1 && t <= kTypeCount && t != TYPE_SYMBOL && t != TYPE_CONTEXT && t != TYPE_TRIPLE &&
           t != TYPE_SERIES;
}
// Every type but unset!.
void typeset_set_default(Cell* ts);
// Adds the types named by one element of a type block (a datatype, a
// typeset, or a word naming either); nested blocks add nothing. Raises
// script `invalid-type-spec` for anything else.
void typeset_add_spec_element(Cell* ts, const Cell* element);

// The value of a bound word whose context has values, or null; never raises.
// A context node's buffer holds its context! cell first; data2 of that cell
// is the values block's node, or for a stack context the arena offset of its
// first value cell (0 while no call runs).
inline const Cell* word_peek(const Cell* word) {
    uint32_t ctx = word->data1;
    int32_t index = static_cast<int32_t>(word->data3);
    if (!ctx || index < 0) return nullptr;
    const Cell* cc = arena_at<Cell>(node_buffer(ctx)->head);
    uint32_t values = cc->data2;
    if (!values) return nullptr;
    if (cc->header & kCtxValuesOnStack) return arena_at<Cell>(values) + index;
    const SeriesBuf* vb = node_buffer(values);
    if (static_cast<uint32_t>(index) >= (vb->tail - vb->head) >> 4) return nullptr;
    return arena_at<Cell>(vb->head) + index;
}

// Builds the descriptor of the interface block whose node is `spec`; `builtin` for
// natives and actions (refinement count entry).
Off spec_cache_build(Off spec, bool builtin);
// The interface block word behind descriptor entry `entry`, as a word!.
Cell spec_cache_entry_word(Off spec, uint32_t entry);

// The checks that natives and compiled code call on their arguments.
const Cell* error_typecheck(const Cell* typeset, const Cell* callable, const Cell* value, uint32_t entry);
const Cell* value_check_set(const Cell* callable, uint32_t entry, const Cell* value);
const Cell* word_value_checked(const Cell* word);
void word_set_from_top(Cell* word);
// The integer of an integer!, or of a float! truncated toward zero; a float
// out of the 32-bit range or NaN raises script `out-of-range`.
int32_t value_get_int32(const Cell* value);

}  // namespace kel
