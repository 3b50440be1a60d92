// symbol!: interned names. The table itself is runtime/symbols.h; this is the
// type's face: making symbols from text and reading their names.
#pragma once
#include <cstdint>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/symbols.h"

namespace kel {

// Id of the exact spelling, interned in the global symbol table.
uint32_t symbol_make(const char* name);
uint32_t symbol_make_len(const char* name, uint32_t length);
// An existing symbol of any case is returned as it is.
uint32_t symbol_make_nocase(const char* name);
// The string's text from its head index (`length` characters, -1 for all).
uint32_t symbol_from_string(const Cell* str, int32_t length);
// The raw alias word.
inline int32_t symbol_get_alias(uint32_t id) { return static_cast<int32_t>(symbol_cell(id)->data1); }
// Makes the name's string! on first use (data2 of the symbol cell).
void symbol_ensure_string(uint32_t id);
// The symbol cell with its string made; stale after the next allocation.
Cell* symbol_get_cell(uint32_t id);
// The NUL-terminated UTF-8 name; stale after the next allocation.
const char* symbol_get_utf8(uint32_t id);
// The word's canonical symbol is that of any-type!.
bool symbol_is_any_type_q(const Cell* word);

// Orders two symbols' names as strings do (ignoring case unless the operator
// is strict).
int32_t symbol_compare(const Cell* value1, const Cell* value2, int32_t op);
int32_t symbol_names_compare(uint32_t a, uint32_t b, int32_t op);
void symbol_init();

}  // namespace kel
