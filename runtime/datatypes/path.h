// path! and its variants lit-path!, set-path! and get-path!: blocks of
// path elements written with "/" between them (word/field/1), the variants
// with a leading "'", a trailing ":" or a leading ":". Cells, buffers and
// nearly every action are block!'s; a path has no sort and no trim.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Retype the cell (flags cleared) and push a copy on the evaluation stack.
Cell* path_push_from_cell(Cell* cell);
Cell* lit_path_push_from_cell(Cell* cell);
Cell* set_path_push_from_cell(Cell* cell);
Cell* get_path_push_from_cell(Cell* cell);
// An empty path! with room for n cells written into `cell`.
Cell* path_make_at(Cell* cell, int32_t n);

int32_t path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part, int32_t limit,
                  int32_t indent);
int32_t lit_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent);
int32_t set_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent);
int32_t get_path_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent);
int32_t path_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
Cell* path_make(Cell* proto, Cell* spec, int32_t type);
Cell* path_to(Cell* proto, Cell* spec, int32_t type);
Cell* path_copy(Cell* value, Cell* dest, const Cell* part, bool deep, const Cell* types);

// Registration, after block_init: path_init, then the three variants.
void path_init();
void lit_path_init();
void set_path_init();
void get_path_init();

}  // namespace kel
