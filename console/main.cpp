// The kel program: `kel [--catch] FILE [ARGS...]` runs a script; without a
// file it reads expressions from standard input and prints their results.
// With --catch the loop follows the script, whatever became of it.
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "console/script.h"
#include "runtime/lexer.h"
#include "runtime/startup.h"

int main(int argc, char** argv) {
    kel::runtime_boot();
    bool keep_console = false;
    int first = 1;
    while (first < argc && std::strncmp(argv[first], "--", 2) == 0) {
        bool end_of_options = std::strcmp(argv[first], "--") == 0;
        if (strcasecmp(argv[first], "--catch") == 0) keep_console = true;
        first++;
        if (end_of_options) break;
    }
    bool interactive = isatty(STDIN_FILENO) != 0;
    if (first < argc) {
        int status = kel::script_run_file(argv[first]);
        if (!keep_console) return status;
        return kel::console_first_loop(interactive, false);
    }
    return kel::console_first_loop(interactive, true);
}
