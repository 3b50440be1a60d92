// Collector markers of the callable types.
//
// native!, action!, op!: the spec block and the two-cell block in data3 (its
// context cell and argument descriptor are marked as cells); an op! made from
// a function! or routine! carries that function's layout, so its context is
// marked too. function!, routine!: the context in data1, the spec block and
// the five-cell block (body, descriptor, the op! copy, ...).
#include "runtime/gc.h"

namespace kel {

namespace {

void mark_block_node(uint32_t* slot) {
    if (*slot) gc_mark_node_cells(slot);
}

void mark_native_cell(Cell* c) {
    mark_block_node(&c->data2);
    mark_block_node(&c->data3);
}

void mark_function_cell(Cell* c) {
    if (c->data1 && g_gc_mark_context) g_gc_mark_context(&c->data1);
    mark_block_node(&c->data2);
    mark_block_node(&c->data3);
}

void mark_op_cell(Cell* c) {
    uint32_t source = (c->header >> 16) & 0xFF;
    if (source == TYPE_FUNCTION || source == TYPE_ROUTINE) mark_function_cell(c);
    else mark_native_cell(c);
}

}  // namespace

void gc_register_callable_markers() {
    gc_set_type_marker(TYPE_NATIVE, mark_native_cell);
    gc_set_type_marker(TYPE_ACTION, mark_native_cell);
    gc_set_type_marker(TYPE_OP, mark_op_cell);
    gc_set_type_marker(TYPE_FUNCTION, mark_function_cell);
    gc_set_type_marker(TYPE_ROUTINE, mark_function_cell);
}

}  // namespace kel
