// Arbitrary bytes through the float reader, and whatever it reads through
// every text form: reading stays inside its range, each text fits its
// buffer, and a molded value reads back with the same bits.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/float_text.h"

using namespace kel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int adjust = static_cast<int8_t>(data[0]);
    // A heap copy of exactly the input, so a read past it is caught.
    auto text = std::make_unique<char[]>(size - 1);
    std::memcpy(text.get(), data + 1, size - 1);
    const char* start = text.get();
    const char* end = start + (size - 1);

    size_t left = SIZE_MAX;
    double value = float_strtod(start, end, adjust, &left);
    if (left > size - 1) std::abort();

    char mold[kFloatFormDigitsMax];
    size_t n = float_mold_to(mold, value);
    size_t back_left = SIZE_MAX;
    double back = float_strtod(mold, mold + n, 0, &back_left);
    if (back_left != 0) std::abort();
    if (std::isnan(value) ? !std::isnan(back)
                          : std::bit_cast<uint64_t>(back) != std::bit_cast<uint64_t>(value))
        std::abort();

    char digits[kFloatFormDigitsMax];
    float_form_digits_to(digits, value, adjust, adjust & 1);
    char number[kFloatFormNumberMax];
    for (int kind = 0; kind <= 5; ++kind) float_form_number_to(number, value, kind, adjust & 1);
    if (std::isfinite(value)) {
        char g[kFloatFormatGMax];
        float_format_g(g, value, adjust);
    }
    return 0;
}
