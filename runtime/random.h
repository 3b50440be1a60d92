// The process-wide random source: one seeded generator (MT19937 with
// arithmetic right shifts: every draw is in 0 .. 0x7FFFFFFF) and the
// operating system's secure source. Deterministic for a given seed.
#pragma once
#include <cstdint>

namespace kel {

constexpr uint32_t kRandomDefaultSeed = 19650218;

// Seeds with kRandomDefaultSeed and installs these routines as the number
// types' random services (runtime/datatypes/integer.h).
void random_init();
void random_seed(int32_t seed);
int32_t random_next();
// 31 bits from the kernel's secure source; a failing source raises internal
// `feature-na`.
int32_t random_secure();
// 1..n for n > 0, -1..n for n < 0, 0 for 0, without bias.
int32_t random_int(bool secure, int32_t n);

}  // namespace kel
