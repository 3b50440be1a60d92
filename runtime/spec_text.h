// Builds blocks from the plain text of native and action interface blocks.
//
// The start-up needs the 107 native interface blocks and 59 action interface blocks as blocks
// before any loader exists, so this reader knows just the notation those
// interface blocks are written in: words and their set-, get- and lit- forms,
// refinements, paths of words (a/b), integers, decimals, "strings", issues,
// [blocks] and (parens), separated by blanks. Words are bound to the global
// context. It is not the language's lexer and accepts nothing else: an
// unknown character raises script `invalid-chars`.
#pragma once
#include "runtime/cell.h"

namespace kel {

// Writes a new block! holding the values of `text` into `out`.
Cell* block_from_text(const char* text, Cell* out);

}  // namespace kel
