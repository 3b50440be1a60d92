// function! and routine! values.
//
// function! cell: header 24 or-ed with the interface block's trace flags; data1 the
// function's context (kind 1: its values are the call's frame cells while a
// call runs); data2 the interface block's node (the interface block starts at its head);
// data3 the node of a five-cell block:
//   [0] the body (a deep copy of the body block bound to the context) or none!
//   [1] the argument descriptor, unset! until the first interpreted call
//   [2] the compiled entry: unset! (interpreted) or an integer!
//   [3] unset!, or a copy of the value when an op! is made from it
//   [4] function: integer! node of the object context it is a method of, else
//       unset!; routine: integer! return type id (-1: no value)
// routine! cell: header 29, or-ed with ROUTINE_TAKES_CELLS when its code takes
// cells, and with its argument count in bits 25-29; the same layout, cell [2]
// holding the index of its C++ code in the routine registry.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

constexpr uint32_t FUNC_FLAG_TRACE = 0x400;
constexpr uint32_t FUNC_FLAG_NO_TRACE = 0x200;
constexpr uint32_t ROUTINE_TAKES_CELLS = 0x8000;

// Builds a function! as a new cell on the evaluation stack from `spec` and
// `body` (body may be null: none!); makes the context from the interface block unless
// `ctx` is given, and then binds the body deeply to it. Returns the context.
Off function_push(const Cell* spec, const Cell* body, Off ctx, uint32_t object_ctx, uint32_t flags);
// Checks an interface block; returns its trace flags or raises script `bad-func-def`,
// `invalid-type-spec` or `dup-vars`.
uint32_t function_validate_spec(const Cell* spec);
// The locals of `function`: cuts the words after /extern off `spec` (a copy
// owned by the caller) and appends after /local every set-word of `body`
// (deeply) and every loop word of repeat, foreach and remove-each that is
// neither in the interface block nor extern.
void function_collect_locals(Cell* spec, const Cell* body);
// Local cells of an interface block from `start`: 0 without /local, else 1 + the words
// after it; with `must` and no /local, -1.
int32_t function_count_locals(Off spec, uint32_t start, bool must);
// Pushes /local's false and n - 1 none! cells.
void function_init_locals(uint32_t n);
// The object context a function is a method of, 0 when none.
uint32_t function_method_context(const Cell* function);
Cell* function_more_cells(const Cell* function);

// Routines: C++ code with a Kel interface block.
union RoutineValue {
    int32_t i;  // logic! (0/1) and integer!
    double d;   // float!
    Cell* c;    // any other value: its cell
};
// Code taking cells (ROUTINE_TAKES_CELLS): the argument cells; returns the
// result cell, copied into the result slot.
using RoutineCellsFn = const Cell* (*)(Cell* const* args, uint32_t count);
// Code taking machine values converted by the first type of each argument.
using RoutineValuesFn = RoutineValue (*)(const RoutineValue* args, uint32_t count);
// Registers code and returns its registry index.
uint32_t routine_register_cells(RoutineCellsFn fn);
uint32_t routine_register_values(RoutineValuesFn fn);
void routine_push(const Cell* spec, const Cell* body, uint32_t code_index, int32_t return_type, bool takes_cells);
uint32_t routine_arg_count(const Cell* routine);
// Calls a routine whose arguments are in the current frame.
void routine_exec(const Cell* routine);

void function_init();
void routine_init();

}  // namespace kel
