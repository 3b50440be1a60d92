// Fuzz target for the decoders and loaders: any bytes must decode without a
// crash or an out-of-bounds read, bad input must surface only as the
// runtime's own errors, the UTF-8 loader must agree with its per-character
// reference, and well-formed UTF-8 must load and encode back to the same
// bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

using namespace kel;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

uint32_t length_of(Off node) {
    SeriesBuf* buf = node_buffer(node);
    return (buf->tail - buf->head) / buf->unit();
}

// The table-driven decoder over the whole input; true when nothing was
// rejected. Each step must consume between one and four bytes.
bool walk(const uint8_t* data, size_t size, uint32_t* count) {
    const uint8_t* end = data + size;
    bool valid = true;
    *count = 0;
    for (const uint8_t* p = data; p < end;) {
        int32_t cp;
        const uint8_t* next = unicode_fast_decode_utf8_char(p, end, &cp);
        check(next > p && next <= end && next - p <= 4);
        check(cp >= -1 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF));
        if (cp < 0) valid = false;
        p = next;
        ++*count;
    }
    return valid;
}

// What one load left behind: the units (at an error, those before it), the
// unit width, the remainder and the error's bytes.
struct Outcome {
    std::vector<uint32_t> units;
    uint32_t unit = 0;
    uint32_t remainder = 0;
    bool failed = false;
    std::vector<uint8_t> error_bytes;
    bool operator==(const Outcome&) const = default;
};

using Loader = Off (*)(const uint8_t*, uint32_t, Off, uint32_t*, bool);

// Loads into a new string ([unit] 0) or into a string of [unit] made for it.
Outcome load(Loader loader, const uint8_t* data, uint32_t size, uint32_t unit, bool crlf) {
    Outcome o;
    Off node = unit ? alloc_string(4, unit) : 0;
    try {
        node = loader(data, size, node, &o.remainder, crlf);
        check(o.remainder < 4 && length_of(node) <= size);
    } catch (const KelThrow& t) {
        check(t.id == "invalid-utf8");
        o.failed = true;
        o.remainder = 0;
        SeriesBuf* arg = node_buffer(t.args[0].data2);
        o.error_bytes.assign(arg->head_ptr(), arg->head_ptr() + (arg->tail - arg->head));
    }
    if (node) {
        SeriesBuf* buf = node_buffer(node);
        o.unit = buf->unit();
        for (uint32_t off = buf->head; off < buf->tail; off += o.unit) {
            uint32_t v = 0;
            std::memcpy(&v, arena_ptr(off), o.unit);
            o.units.push_back(v);
        }
    }
    return o;
}

// The loader (with its block decoder where the CPU has one) must leave what
// the per-character reference leaves, whatever the bytes.
void compare_loaders(const uint8_t* data, uint32_t size) {
    for (bool crlf : {false, true}) {
        for (uint32_t unit : {0u, 2u, 4u}) {
            check(load(unicode_load_utf8, data, size, unit, crlf) ==
                  load(unicode_load_utf8_reference, data, size, unit, crlf));
        }
    }
}

void round_trip(const uint8_t* data, uint32_t size) {
    Off node = unicode_load_utf8_new(data, size);
    Cell str;
    cell_set(&str, TYPE_STRING, 0, node, 0);
    int32_t len = -1;
    uint8_t* out = unicode_to_utf8_cache(&str, &len, false);
    uint32_t skip = size > 2 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    check(uint32_t(len) == size - skip && (len == 0 || std::memcmp(out, data + skip, size - skip) == 0));
    check(length_of(node) == unicode_utf8_count(data + skip, data + size));
    len = -1;
    check(unicode_to_utf16(&str, &len, true) != nullptr);
    std::vector<uint8_t> cut(size + 1);
    check(unicode_to_utf8_bounded(&str, cut.data(), uint32_t(cut.size()), -1, true) <= size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    if (!memory_ready()) memory_init();
    // No collector here: drop everything now and then.
    static uint32_t runs = 0;
    if (++runs % 256 == 0) memory_free_all();
    uint32_t n = static_cast<uint32_t>(size);

    // Exact-size copy so that any read past the input trips the sanitizer.
    std::vector<uint8_t> copy(data, data + size);
    const uint8_t* bytes = copy.data();

    uint32_t count = 0;
    bool valid = walk(bytes, size, &count);
    check(unicode_utf8_count(bytes, bytes + n) == count);
    check(unicode_utf8_skip(bytes, bytes + n, count) == bytes + n);

    for (uint32_t i = 0; i < n; i++) {
        uint32_t len = 0;
        int32_t cp = unicode_utf8_decode_checked(bytes + i, n - i, &len);
        check(cp >= UTF8_INVALID && cp <= 0x10FFFF);
        if (cp >= 0) check(len >= 1 && len <= 4 && len <= n - i);
    }

    compare_loaders(bytes, n);
    for (bool crlf : {false, true}) {
        Off wide = unicode_load_utf16le(bytes, n / 2, nullptr, crlf);
        check(length_of(wide) <= n / 2 + 1);
        Off cp1251 = unicode_load_cp1251(bytes, n, nullptr, crlf);
        check(length_of(cp1251) <= n);
    }
    if (valid) round_trip(bytes, n);
    return 0;
}
