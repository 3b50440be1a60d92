// What the evaluator uses of the symbol, word, context and block modules.
// One place, so the evaluator sees those modules through a narrow surface.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

uint32_t symbol_make(const char* name);
uint32_t symbol_make_len(const char* name, uint32_t length);
uint32_t symbol_resolve(uint32_t id);
const char* symbol_get_utf8(uint32_t id);
Cell* word_make_global_at(uint32_t symbol, Cell* cell);
Cell* word_get_any(const Cell* word);
Cell* word_set(Cell* word, const Cell* value);

extern Off g_global_context;
Off context_make_from_spec(const Cell* spec, bool on_stack, bool flag24, uint32_t kind);
Cell* context_bind_block(Cell* block, Off ctx, bool self);
Off context_words_node(Off context);

}  // namespace kel
