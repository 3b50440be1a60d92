// Start-up of the evaluator: its datatypes, the action and natives tables,
// the interpreter's state.
#pragma once

namespace kel {

// Registers native!, action!, op!, function! and routine!.
void evaluator_register_types();
// Fills the action dispatcher table and the natives table and sets up the
// interpreter; runs after the datatypes, symbols and global context exist.
void evaluator_init();

}  // namespace kel
