// The kel program's entry point.
#include <cstdio>
#include <cstring>

#include "runtime/memory.h"

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    kel::memory_init();
    std::printf("--== Kel %s ==--\n", KEL_VERSION);
    return 0;
}
