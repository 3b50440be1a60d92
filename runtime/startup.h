// Start-up: brings the runtime up in its fixed order and defines the words
// every program starts with.
//
// runtime_init registers every datatype built so far (parents before their
// children), makes the symbol table, the global context and the fixed words,
// and fills the action and natives tables. runtime_boot then gives the
// predefined words their values (natives, actions, datatypes, the operators,
// the logic words) and switches the collector on. Both run once per process.
#pragma once

namespace kel {

void runtime_init();
void runtime_boot();
bool runtime_ready();

}  // namespace kel
