// Running Kel text inside a fuzz target.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <string>

#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/platform/console.h"
#include "runtime/startup.h"

namespace kel::fuzz {

// Sends the console's output to /dev/null: programs print, the fuzzer's
// own report stays readable.
inline void quiet_output() {
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) console_set_output_fd(null_fd);
}

// Boots the runtime on the first call, with the output quiet; later calls
// do nothing.
inline void boot_quiet_once() {
    static bool ready = [] {
        runtime_boot();
        quiet_output();
        return true;
    }();
    (void)ready;
}

// Loads the UTF-8 text `code` into `block` and evaluates it as a script's
// top level, its value in `out`. Errors pass on as KelThrow.
inline void load_and_do(const std::string& code, Cell* block, Cell* out) {
    lexer_scan_utf8(block, reinterpret_cast<const uint8_t*>(code.data()), uint32_t(code.size()), false, true, true,
                    false, nullptr, nullptr, nullptr, nullptr);
    interp_do_block(block, out);
}

}  // namespace kel::fuzz
