// The kel program: `kel FILE [ARGS...]` runs a script; without a file it
// reads expressions from standard input and prints their results.
#include <unistd.h>

#include <cstring>
#include <string>

#include "console/script.h"
#include "runtime/lexer.h"
#include "runtime/startup.h"

int main(int argc, char** argv) {
    kel::runtime_boot();
    int first = 1;
    while (first < argc && std::strncmp(argv[first], "--", 2) == 0) {
        bool end_of_options = std::strcmp(argv[first], "--") == 0;
        first++;
        if (end_of_options) break;
    }
    if (first < argc) return kel::script_run_file(argv[first]);
    return kel::console_first_loop(isatty(STDIN_FILENO) != 0);
}
