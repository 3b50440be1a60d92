// The library's script runner for `do` of a file.
#pragma once

namespace kel {

// Defines the global word do-file.
void do_file_define();

}  // namespace kel
