// The natives table and the native calling protocol.
//
// A native is called with its arguments in the current frame (argument 1 at
// the arguments pointer, which is also the result slot) and two machine
// arguments: the check flag (non-zero: check the arguments against the interface block
// first; the interpreter passes 0, having checked them while fetching) and
// the refinement positions, one per refinement in interface block order: -1 when absent,
// else the position in cells from the arguments pointer of the refinement's
// argument (any non-negative value for a refinement without argument). The
// native leaves its result in the result slot.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

using NativeFn = void (*)(int32_t check, const int32_t* refs);

constexpr int kNativeCount = 107;
constexpr int kNativeTableSize = 120;
constexpr int kMaxRefinements = 16;

extern NativeFn g_natives_table[kNativeTableSize];
extern Cell g_print_buffer;

struct NativeInfo {
    const char* name;
    const char* spec;
};
// Index 1..107; index 0 is empty.
const NativeInfo& native_info(int index);

// Fills the table (every index; natives not built yet raise `not-done`).
void natives_init();
inline NativeFn native_entry(uint32_t index) {
    return index >= 1 && index <= static_cast<uint32_t>(kNativeTableSize) ? g_natives_table[index - 1] : nullptr;
}

// Makes the native! value of `index` from its registered interface block.
Cell* native_value_make(int index, Cell* out);
// Sets every native's and action's word in the global context to its value.
void natives_define_words();

// The check of the calling protocol: each fixed argument and each present
// refinement's arguments against the interface block of native `index`.
void natives_check_args(int index, const int32_t* refs);
inline Cell* native_arg(uint32_t i);

// Natives whose behaviour is built by later work: raises internal `not-done`.
void native_not_done(int32_t check, const int32_t* refs);

}  // namespace kel

#include "runtime/stack.h"

namespace kel {
inline Cell* native_arg(uint32_t i) { return stack_arguments() + i; }
}  // namespace kel
