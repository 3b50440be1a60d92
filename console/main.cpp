// The kel program's entry point.
#include <cstdio>

#include "runtime/startup.h"

int main(int, char**) {
    kel::runtime_boot();
    std::printf("--== Kel %s ==--\n", KEL_VERSION);
    return 0;
}
