// Running Kel source: script files with their header, and the first
// read-eval-print loop over standard input.
#pragma once
#include <string>

#include "runtime/cell.h"

namespace kel {

// Offset of the header ("Kel", optionally "/System", blanks, "[") in the
// text, or -1 when there is none. Letter case is significant.
long script_find_header(const std::string& text);

// Runs a script file: checks its header, loads it and evaluates the values
// after the header block. Prints what goes wrong and returns the process
// status: 0 on success, 1 when the script could not run or failed.
int script_run_file(const std::string& path);

// Loads a whole script text (from its header on) and evaluates it; the
// value of the last expression goes to `out`. Errors propagate as KelThrow.
void script_do_text(const std::string& text, const std::string& name, Cell* out);

// Cuts a string! to `limit` terminal columns (at least 3), ending it with
// "..." when it is wider: a character is kept or dropped whole, a wide one
// counting two. The console fits each result it shows to one line this way.
void console_fit_to_columns(Cell* text, int32_t limit);

// Reads standard input line by line, evaluating each complete input and
// printing its result after "==". An interactive loop shows the banner
// (when [banner]) and prompts. Returns at the end of input.
int console_first_loop(bool interactive, bool banner);

}  // namespace kel
