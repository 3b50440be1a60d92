// Brings up the part of the runtime that datatype and word tests stand on:
// memory, the evaluation stack, the registered types, the symbol table, the
// global context and the fixed words. Idempotent; every test binary shares it.
#pragma once
#include <string>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/register.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel::test {

inline void runtime_core_init() {
    static bool done = false;
    symbols_seams_init();  // engine tests reset the seams
    if (done) return;
    done = true;
    if (!memory_ready()) memory_init();
    if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
    if (!g_memory.series_frames_head) series_frame_make();
    if (!stack_ready()) stack_init();
    datatypes_register_core();
    symbols_init();
    context_global_init();
    typenames_init(word_global_symbol);
    words_init();
    words_init_refinements();
    words_init_issue();
    symctx_owners_init();
}

// An empty stack with no frames.
inline void stack_clear_all() {
    g_stack.args = g_stack.top = g_stack.data_bottom;
    g_stack.frame_top = g_stack.frame_bottom;
}

inline std::string mold(const Cell* v, bool only = false, bool all = false) {
    Cell buf;
    string_make(&buf, 16, 1);
    actions_mold_call(v, &buf, only, all, false, nullptr, kNoPartLimit, 0);
    return string_to_utf8(&buf);
}

inline std::string form(const Cell* v) {
    Cell buf;
    string_make(&buf, 16, 1);
    actions_form_call(v, &buf, nullptr, kNoPartLimit);
    return string_to_utf8(&buf);
}

// A block! of the given cells (copies).
inline Cell block_of(std::initializer_list<Cell> cells) {
    Cell b{TYPE_BLOCK, 0, alloc_cells(static_cast<uint32_t>(cells.size() ? cells.size() : 1)), 0};
    for (const Cell& c : cells) copy_cell(&c, block_append_slot(&b));
    return b;
}

inline Cell word(const char* name, uint32_t type = TYPE_WORD) {
    Cell w;
    word_from_cstring(&w, name);
    cell_set_type(&w, type);
    return w;
}

inline Cell integer(int32_t v) { return Cell{TYPE_INTEGER, static_cast<uint32_t>(v), 0, 0}; }
inline Cell datatype_cell(uint32_t t) { return Cell{TYPE_DATATYPE, t, 0, 0}; }

inline Cell string_cell(const char* text) {
    Cell s;
    string_make(&s, 16, 1);
    string_append_utf8(&s, text, std::char_traits<char>::length(text));
    return s;
}

// The id of an error raised by `f`, or "" when none was raised.
template <class F> std::string raised(F f) {
    try {
        f();
    } catch (const KelThrow& t) {
        return t.id;
    }
    return "";
}

}  // namespace kel::test
