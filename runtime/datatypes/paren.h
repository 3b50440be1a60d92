// paren!: a block that the interpreter evaluates in place. It differs from
// block! only in its mold, "(" and ")"; every other action is block!'s
// except trim.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Retypes the cell as paren! (flags cleared) and pushes a copy on the
// evaluation stack; the loader builds a block and turns it into a paren.
Cell* paren_push_from_cell(Cell* cell);
int32_t paren_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent);

// Registers paren!; block_init must have run.
void paren_init();

}  // namespace kel
