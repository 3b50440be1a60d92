// The generator and the secure source.
#include "runtime/random.h"

#include <sys/random.h>

#include <cerrno>

#include "runtime/datatypes/integer.h"
#include "runtime/error.h"

namespace kel {

namespace {

constexpr int kN = 624;
constexpr int kM = 397;

int32_t g_mt[kN];
int g_index = kN;
bool g_seeded = false;

// Right shift that copies the sign bit, as the generator's variant requires.
inline uint32_t sar(uint32_t x, int n) { return static_cast<uint32_t>(static_cast<int32_t>(x) >> n); }

void twist() {
    for (int i = 0; i < kN; i++) {
        uint32_t y = (static_cast<uint32_t>(g_mt[i]) & 0x80000000u) |
                     (static_cast<uint32_t>(g_mt[(i + 1) % kN]) & 0x7FFFFFFFu);
        uint32_t v = static_cast<uint32_t>(g_mt[(i + kM) % kN]) ^ sar(y, 1);
        if (y & 1) v ^= 0x9908B0DFu;
        g_mt[i] = static_cast<int32_t>(v);
    }
    g_index = 0;
}

}  // namespace

void random_init() {
    random_seed(static_cast<int32_t>(kRandomDefaultSeed));
    g_number_services.random_seed = random_seed;
    g_number_services.random_next = random_next;
    g_number_services.random_secure = random_secure;
    g_number_services.random_int = random_int;
}

void random_seed(int32_t seed) {
    g_mt[0] = seed;
    for (int i = 1; i < kN; i++) {
        uint32_t prev = static_cast<uint32_t>(g_mt[i - 1]);
        g_mt[i] = static_cast<int32_t>(1812433253u * (prev ^ sar(prev, 30)) + static_cast<uint32_t>(i));
    }
    g_index = 0;
    g_seeded = true;
}

int32_t random_next() {
    if (!g_seeded) random_init();
    if (g_index >= kN) twist();
    uint32_t y = static_cast<uint32_t>(g_mt[g_index++]);
    y ^= sar(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= sar(y, 18);
    return static_cast<int32_t>(y & 0x7FFFFFFFu);
}

int32_t random_secure() {
    unsigned char bytes[4];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            // Never hand out bytes the source did not fill.
            error_raise(ErrCat::Internal, "feature-na");
        }
    }
    uint32_t v = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    return static_cast<int32_t>(v & 0x7FFFFFFFu);
}

int32_t random_int(bool secure, int32_t n) {
    if (n == 0) return 0;
    auto draw = [secure] { return secure ? random_secure() : random_next(); };
    if (n == INT32_MIN) return -1 - draw();
    int32_t m = n < 0 ? -n : n;
    int32_t limit = 0x7FFFFFFF / m * m;
    int32_t d;
    do d = draw();
    while (d >= limit);
    int32_t r = d % m + 1;
    return n < 0 ? -r : r;
}

}  // namespace kel
