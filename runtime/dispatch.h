// Action dispatch: the layer between a call of an action and the
// implementation of the right datatype.
//
// The dispatcher of a slot is called like a native, without the check flag:
// the arguments lie in the current frame and each refinement of the action's
// interface is one machine argument (-1 absent, else the position of its argument
// cell). It looks the implementation up in the datatype registry (one table
// read: type x 62 + slot), translates refinements into the implementation's
// arguments and leaves the result in the result slot.
#pragma once
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/datatype.h"

namespace kel {

using DispatchFn = void (*)(const int32_t* refs);

// Entry k - 1 is the dispatcher of slot k; slots 8 and 9 are empty (compare is
// reached through actions_compare_call).
extern DispatchFn g_actions_table[kActionCount];
void actions_init();
inline DispatchFn action_dispatcher(uint32_t slot) {
    return slot >= 1 && slot <= static_cast<uint32_t>(kActionCount) ? g_actions_table[slot - 1] : nullptr;
}
const char* action_spec_text(int slot);

// The implementation of `slot` for `type`; a port! whose actor holds a table
// of its own is served from it for slots 25 and up.
AnyAction actions_get_action_ptr_from(int32_t type, const Cell* value, int32_t slot);

// Finds a port's own implementation of a slot from 25 on; installed by the
// port module (null: ports use their type's row).
extern AnyAction (*g_port_action_lookup)(const Cell* port, int32_t slot);

// Compares the frame's first two arguments with `op`; a logic! in the result
// slot, which is returned.
Cell* actions_compare_dispatch(int32_t op);

// The index number that pick and poke pass on: an integer! or char! gives its
// value, a logic! 1 for true and 2 for false, anything else 0.
inline int32_t actions_index_argument(const Cell* index) {
    switch (index->type()) {
    case TYPE_INTEGER: return static_cast<int32_t>(index->data2);
    case TYPE_CHAR: return static_cast<int32_t>(index->data2);
    case TYPE_LOGIC: return index->data1 ? 1 : 2;
    default: return 0;
    }
}

// Compiled-code entries with integer fast paths.
Cell* ops_math(int32_t op, const Cell* word, const Cell* value1, const Cell* value2);
bool ops_compare(int32_t op, const Cell* word, const Cell* value1, const Cell* value2);

}  // namespace kel
