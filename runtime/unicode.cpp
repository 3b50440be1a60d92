// Unicode conversion and display width: the decoders, encoders and loaders
// between encoded bytes and string buffers, the in-place widening of string
// buffers and the terminal cell width of code points.
//
// Hot paths: where the CPU has AVX2, UTF-8 loads go through the block decoder
// of utf8_simd.h, 32 bytes a step, and only the bytes it refuses through the
// per-character decoder here. Elsewhere runs of plain ASCII bytes are handled
// 16 bytes at a time (SSE2 where the target has it, a byte loop elsewhere) and
// every other character goes through the decoder on its own. Widening runs
// 16 bytes a step under SSE2. Loaders allocate once, sized from
// the byte count (an upper bound of the code points), so a widening sizes the
// buffer for the whole input and no later store needs to grow it.
#include "runtime/unicode.h"

#include <bit>
#include <cstring>

#include "runtime/error.h"
#include "runtime/unicode_tables.h"
#include "runtime/utf8_simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kel {

static_assert(std::endian::native == std::endian::little, "string units are stored little-endian");

const uint8_t utf8_dfa[364] = {
    // byte -> class
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 00-1F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 20-3F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 40-5F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 60-7F
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,  // 80-9F
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,  7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,  // A0-BF
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // C0-DF
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, // E0-FF
    // state + class -> next state
    0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72,     // 0: accept
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,    // 12: reject
    12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12,       // 24: one follower left
    12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,    // 36: two left
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12,    // 48: after E0 (A0-BF only)
    12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,    // 60: after ED (80-9F only)
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,    // 72: after F0 (90-BF only)
    12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,    // 84: after F1-F3
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,    // 96: after F4 (80-8F only)
};

namespace {

// ---- errors ----------------------------------------------------------------

[[noreturn]] void raise_invalid_char(uint32_t cp) {
    Cell arg;
    cell_set(&arg, TYPE_INTEGER, 0, cp, 0);
    error_raise(ErrCat::Script, "invalid-char", &arg);
}

// The argument is a binary! of the bytes from the lead byte: four, or fewer
// when the input ends sooner (nothing past the input is read).
[[noreturn]] void raise_invalid_utf8(const uint8_t* p, uint32_t avail) {
    uint32_t n = avail < 4 ? avail : 4;
    uint8_t bytes[4] = {};
    std::memcpy(bytes, p, n);  // copied first: the allocation may move `p`'s buffer
    Off node = alloc_bytes(4);
    SeriesBuf* buf = node_buffer(node);
    std::memcpy(buf->head_ptr(), bytes, n);
    buf->tail = buf->head + n;
    Cell arg;
    cell_set(&arg, TYPE_BINARY, 0, node, 0);
    error_raise(ErrCat::Access, "invalid-utf8", &arg);
}

// ---- units -----------------------------------------------------------------

void check_unit(uint32_t unit) {
    if (unit != 1 && unit != 2 && unit != 4) fatal_runtime_error(101);
}

inline uint32_t unit_get(const uint8_t* p, uint32_t unit) {
    if (unit == 1) return *p;
    if (unit == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void unit_put(uint8_t* p, uint32_t unit, uint32_t cp) {
    if (unit == 1) {
        *p = static_cast<uint8_t>(cp);
    } else if (unit == 2) {
        uint16_t v = static_cast<uint16_t>(cp);
        std::memcpy(p, &v, 2);
    } else {
        std::memcpy(p, &cp, 4);
    }
}

inline uint32_t unit_max(uint32_t unit) { return unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0xFFFFFFFF; }

inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The characters of a string value from its head (clamped to the tail).
struct StringRun {
    const uint8_t* p;
    uint32_t unit;
    uint32_t len;
};

StringRun string_run(const Cell* str) {
    SeriesBuf* buf = node_buffer(str->data2);
    uint32_t unit = buf->unit();
    check_unit(unit);
    uint32_t total = (buf->tail - buf->head) / unit;
    uint32_t index = str->data1 < total ? str->data1 : total;
    return {buf->head_ptr() + index * unit, unit, total - index};
}

// Characters to take: all for a negative count or one not below the length.
inline uint32_t take_count(int32_t n, uint32_t len) {
    return n < 0 || static_cast<uint32_t>(n) >= len ? len : static_cast<uint32_t>(n);
}

void set_tail_units(Off node, uint32_t n) {
    SeriesBuf* buf = node_buffer(node);
    buf->tail = buf->head + n * buf->unit();
}

// Widens [buf] to unit [to], with room for at least [min_units] units and one
// spare unit past the used ones. Units are spread from the last to the first,
// so the copy runs in place.
SeriesBuf* widen(SeriesBuf* buf, uint32_t to, uint32_t min_units) {
    uint32_t from = buf->unit();
    uint32_t used = (buf->tail - buf->head) / from;
    uint64_t need = uint64_t(used) * to + to;
    if (uint64_t(min_units) * to > need) need = uint64_t(min_units) * to;
    if (buf->data_end() - buf->head < need) buf = series_expand(buf, static_cast<int64_t>(need));
    uint8_t* base = buf->head_ptr();
    uint32_t i = used;
#if defined(__SSE2__)
    // 16 bytes of units at a time, last block first: a block's stores start
    // at or above its own loads, never on units still to be read.
    const __m128i zero = _mm_setzero_si128();
    const uint32_t per = 16 / from;
    for (; i >= per; i -= per) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + (i - per) * from));
        __m128i* d = reinterpret_cast<__m128i*>(base + (i - per) * to);
        if (from == 2) {
            _mm_storeu_si128(d, _mm_unpacklo_epi16(v, zero));
            _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(v, zero));
            continue;
        }
        __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        if (to == 2) {
            _mm_storeu_si128(d, lo);
            _mm_storeu_si128(d + 1, hi);
        } else {
            _mm_storeu_si128(d, _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(d + 2, _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(d + 3, _mm_unpackhi_epi16(hi, zero));
        }
    }
#endif
    while (i-- > 0) unit_put(base + i * to, to, unit_get(base + i * from, from));
    buf->tail = buf->head + used * to;
    buf->flags = (buf->flags & ~SERIES_UNIT_MASK) | to;
    return buf;
}

// ---- ASCII runs ------------------------------------------------------------

// Length of the leading run of bytes below 0x80 (and other than CR when
// [stop_cr] is set) in [p, p + n).
inline uint32_t ascii_run(const uint8_t* p, uint32_t n, bool stop_cr) {
    uint32_t i = 0;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8(13);
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        int mask = _mm_movemask_epi8(v);
        if (stop_cr) mask |= _mm_movemask_epi8(_mm_cmpeq_epi8(v, cr));
        if (mask) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (i < n && p[i] < 0x80 && !(stop_cr && p[i] == 13)) i++;
    return i;
}

// Copies the leading ASCII run of [src] (as ascii_run) into [dst] at [unit]
// and returns its length. Whole 16-byte blocks are stored before their end is
// known, so [dst] must have room for as many units as [n].
template <uint32_t Unit>
uint32_t copy_ascii_run(const uint8_t* src, uint32_t n, uint8_t* dst, bool stop_cr) {
    uint32_t i = 0;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8(13);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        int mask = _mm_movemask_epi8(v);
        if (stop_cr) mask |= _mm_movemask_epi8(_mm_cmpeq_epi8(v, cr));
        uint8_t* d = dst + i * Unit;
        if constexpr (Unit == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
        } else if constexpr (Unit == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi8(v, zero));
        } else {
            __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), _mm_unpackhi_epi16(hi, zero));
        }
        if (mask) return i + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i < n; i++) {
        uint8_t b = src[i];
        if (b >= 0x80 || (stop_cr && b == 13)) break;
        unit_put(dst + i * Unit, Unit, b);
    }
    return i;
}

// ---- checked decoding ------------------------------------------------------

inline bool follower(uint8_t c) { return (c & 0xC0) == 0x80; }

inline int32_t decode_checked(const uint8_t* p, uint32_t avail, uint32_t* len) {
    if (avail == 0) return UTF8_SHORT;
    uint32_t b = p[0];
    if (b < 0x80) {
        *len = 1;
        return static_cast<int32_t>(b);
    }
    if (b < 0xC0) return UTF8_INVALID;
    if (b < 0xE0) {
        if (avail < 2) return UTF8_SHORT;
        if (!follower(p[1])) return UTF8_INVALID;
        *len = 2;
        return static_cast<int32_t>(((b - 0xC0) << 6) | (p[1] - 0x80u));
    }
    if (b < 0xF0) {
        if (avail < 3) return UTF8_SHORT;
        if (!follower(p[1]) || !follower(p[2])) return UTF8_INVALID;
        uint32_t cp = ((b - 0xE0) << 12) | ((p[1] - 0x80u) << 6) | (p[2] - 0x80u);
        if (cp >= 0xDC00 && cp <= 0xDCFF) return UTF8_INVALID;
        *len = 3;
        return static_cast<int32_t>(cp);
    }
    if (b < 0xF8) {
        if (avail < 4) return UTF8_SHORT;
        if (!follower(p[1]) || !follower(p[2]) || !follower(p[3])) return UTF8_INVALID;
        uint32_t cp = ((b - 0xF0) << 18) | ((p[1] - 0x80u) << 12) | ((p[2] - 0x80u) << 6) | (p[3] - 0x80u);
        if (cp > 0x10FFFF) return UTF8_INVALID;
        *len = 4;
        return static_cast<int32_t>(cp);
    }
    return UTF8_INVALID;
}

// A UTF-8 load in progress: input position [i], units written [n]. n <= i
// always holds and the buffer has room for [count] units, so a store at n
// (and a whole 16-unit block from n) fits while input is left.
struct Utf8Load {
    const uint8_t* src;
    uint32_t count;
    uint32_t i;
    uint32_t n;
    bool crlf;
};

constexpr int32_t LOAD_DONE = -3;

// Decodes into [out] at Unit until the input ends (LOAD_DONE), the input ends
// inside a sequence (UTF8_SHORT), a sequence is invalid (UTF8_INVALID) or a
// code point needs a wider unit (that code point). In the last three cases the
// position is left at the sequence's lead byte.
//
// With [blocks] whole blocks go through the block decoder, and the bytes it
// refuses (up to the position it names) through the per-character decoder,
// which alone decides what they mean.
template <uint32_t Unit>
int32_t load_units(Utf8Load& s, uint8_t* out, bool blocks) {
    const uint8_t* src = s.src;
    const uint32_t count = s.count;
    const bool crlf = s.crlf;
    uint32_t i = s.i, n = s.n;
    uint32_t per_char_until = blocks ? i : count;
    int32_t stop = LOAD_DONE;
    while (i < count) {
        if (i >= per_char_until) {
            per_char_until = utf8_decode_blocks(src, count, &i, &n, out, Unit, crlf);
            if (i == count) break;
        }
        if (src[i] < 0x80) {
            uint32_t run = copy_ascii_run<Unit>(src + i, count - i, out + n * Unit, crlf);
            i += run;
            n += run;
            if (i == count) break;
        }
        uint32_t len = 0;
        int32_t cp = decode_checked(src + i, count - i, &len);
        if (cp < 0 || uint32_t(cp) > unit_max(Unit)) {
            stop = cp;
            break;
        }
        i += len;
        if (crlf && cp == 13) {
            if (i < count && src[i] == 10) continue;  // the LF follows as the next character
            cp = 10;
        }
        unit_put(out + n * Unit, Unit, uint32_t(cp));
        n++;
    }
    s.i = i;
    s.n = n;
    return stop;
}

// ---- UTF-8 encoding of unit runs -------------------------------------------

inline uint32_t encode_utf8(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp <= 0x10FFFF) {
        out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 4;
    }
    raise_invalid_char(cp);
}

// Writes [n] units from [p] as UTF-8 at [out] (CR before each LF with
// [eol]); returns the bytes written. [out] has room for the worst case.
template <uint32_t Unit>
uint32_t encode_run(const uint8_t* p, uint32_t n, uint8_t* out, bool eol) {
    uint8_t* o = out;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t cp = unit_get(p + i * Unit, Unit);
        if (cp < 0x80) {
            if (eol && cp == 10) *o++ = 13;
            *o++ = static_cast<uint8_t>(cp);
        } else {
            o += encode_utf8(cp, o);
        }
    }
    return static_cast<uint32_t>(o - out);
}

uint32_t encode_units(const uint8_t* p, uint32_t unit, uint32_t n, uint8_t* out, bool eol) {
    if (unit == 1) {
        if (!eol) {
            // Latin-1 text is mostly ASCII: copy plain runs whole.
            uint32_t i = 0, o = 0;
            while (i < n) {
                uint32_t run = ascii_run(p + i, n - i, false);
                std::memcpy(out + o, p + i, run);
                i += run;
                o += run;
                if (i < n) o += encode_utf8(p[i++], out + o);
            }
            return o;
        }
        return encode_run<1>(p, n, out, eol);
    }
    if (unit == 2) return encode_run<2>(p, n, out, eol);
    return encode_run<4>(p, n, out, eol);
}

// Source of a loader that may read the target's conversion buffer: either
// caller bytes or the buffer behind a node, re-read after each allocation.
struct Source {
    const uint8_t* bytes;
    Off node;
    const uint8_t* get() const { return node ? node_buffer(node)->head_ptr() : bytes; }
};

// With no bytes given, the input is the target's conversion buffer, holding
// at most its room of [unit_bytes]-byte units.
Source loader_source(const uint8_t* bytes, uint32_t* count, const Cell* target, uint32_t unit_bytes) {
    if (bytes || !target) {
        if (!bytes) *count = 0;
        return {bytes, 0};
    }
    Off node = target->data3;
    if (!node) {
        *count = 0;
        return {nullptr, 0};
    }
    SeriesBuf* buf = node_buffer(node);
    uint32_t room = (buf->data_end() - buf->head) / unit_bytes;
    if (*count > room) *count = room;
    return {nullptr, node};
}

// The buffer a loader writes: the target string's, grown to [units] units of
// [unit] bytes and emptied, or a new string series.
Off loader_buffer(const Cell* target, uint32_t units, uint32_t unit) {
    if (!target) return alloc_string(units, unit);
    Off node = target->data2;
    SeriesBuf* buf = node_buffer(node);
    if (buf->data_end() - buf->head < uint64_t(units) * unit) buf = series_expand_alloc(buf, int64_t(units) * unit);
    buf->flags = (buf->flags & ~SERIES_UNIT_MASK) | unit;
    buf->tail = buf->head;
    return node;
}

}  // namespace

// ---- UTF-8 decoding --------------------------------------------------------

uint32_t unicode_utf8_count(const uint8_t* start, const uint8_t* end) {
    uint32_t n = 0;
    const uint8_t* p = start;
    while (p < end) {
        uint32_t run = ascii_run(p, static_cast<uint32_t>(end - p), false);
        p += run;
        n += run;
        if (p == end) break;
        int32_t cp;
        p = unicode_fast_decode_utf8_char(p, end, &cp);
        n++;
    }
    return n;
}

const uint8_t* unicode_utf8_skip(const uint8_t* start, const uint8_t* end, uint32_t n) {
    const uint8_t* p = start;
    while (n > 0 && p < end) {
        int32_t cp;
        p = unicode_fast_decode_utf8_char(p, end, &cp);
        n--;
    }
    return p;
}

int unicode_utf8_lead_length(uint8_t byte) {
    if ((byte & 0xF0) == 0xF0) return 4;
    if ((byte & 0xE0) == 0xE0) return 3;
    if ((byte & 0xC0) == 0xC0) return 2;
    return 0;
}

int32_t unicode_utf8_decode_checked(const uint8_t* p, uint32_t avail, uint32_t* len) {
    return decode_checked(p, avail, len);
}

int32_t unicode_utf8_decode_char(const uint8_t* p, uint32_t* count) {
    uint32_t len = 0;
    int32_t cp = decode_checked(p, *count, &len);
    if (cp == UTF8_INVALID) raise_invalid_utf8(p, *count);
    if (cp >= 0) *count = len;
    return cp;
}

// ---- UTF-8 encoding --------------------------------------------------------

int unicode_utf8_length(uint32_t cp) {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return 3;
    if (cp <= 0x10FFFF) return 4;
    raise_invalid_char(cp);
}

uint32_t unicode_utf8_size(const uint8_t* start, const uint8_t* end, uint32_t unit) {
    check_unit(unit);
    uint32_t total = 0;
    for (const uint8_t* p = start; p + unit <= end; p += unit) total += unicode_utf8_length(unit_get(p, unit));
    return total;
}

int unicode_encode_utf8(uint32_t cp, uint8_t* out) { return static_cast<int>(encode_utf8(cp, out)); }

int unicode_encode_utf8_bounded(uint32_t cp, uint8_t* out, int32_t room) {
    uint8_t seq[4];
    int n = static_cast<int>(encode_utf8(cp, seq));
    if (room < n) n = room < 0 ? 0 : room;
    std::memcpy(out, seq, static_cast<size_t>(n));
    return n;
}

uint8_t* string_conversion_buffer(Cell* str, uint32_t size) {
    if (!str->data3) {
        Off node = alloc_bytes(size);
        str->data3 = node;
        return node_buffer(node)->head_ptr();
    }
    SeriesBuf* buf = node_buffer(str->data3);
    if (buf->size < size) buf = series_expand_alloc(buf, size);
    buf->head = buf->tail = buf->data_start();
    return buf->head_ptr();
}

uint8_t* unicode_to_utf8_cache(Cell* str, int32_t* len, bool eol) {
    StringRun run = string_run(str);
    uint32_t n = take_count(*len, run.len);
    uint32_t per = run.unit == 1 ? 2 : run.unit == 2 ? 3 : 4;
    uint64_t size = (uint64_t(n) + 1) * per;
    if (size > 0x7FFFFFFF) error_raise(ErrCat::Internal, "no-memory");
    uint8_t* out = string_conversion_buffer(str, static_cast<uint32_t>(size));
    run = string_run(str);  // the allocation may have moved the string
    uint32_t bytes = encode_units(run.p, run.unit, n, out, eol);
    out[bytes] = 0;
    *len = static_cast<int32_t>(bytes);
    return out;
}

uint8_t* unicode_to_utf8_cstring(Cell* str, int32_t* len) { return unicode_to_utf8_cache(str, len, false); }

uint8_t* unicode_to_utf8_cstring_eol(Cell* str, int32_t* len, bool eol) {
    return unicode_to_utf8_cache(str, len, eol);
}

uint32_t unicode_to_utf8_into(const Cell* str, uint8_t* dst, int32_t n, bool nul) {
    StringRun run = string_run(str);
    uint32_t bytes = encode_units(run.p, run.unit, take_count(n, run.len), dst, false);
    if (nul) dst[bytes] = 0;
    return bytes;
}

uint32_t unicode_to_utf8_bounded(const Cell* str, uint8_t* dst, uint32_t capacity, int32_t n, bool nul) {
    StringRun run = string_run(str);
    uint32_t count = n > 0 && static_cast<uint32_t>(n) < run.len ? static_cast<uint32_t>(n) : run.len;
    if (nul) {
        if (capacity == 0) return 0;
        capacity--;  // the NUL's byte
    }
    uint32_t o = 0;
    for (uint32_t i = 0; i < count && o < capacity; i++) {
        int32_t room = static_cast<int32_t>(capacity - o < 4 ? capacity - o : 4);
        o += static_cast<uint32_t>(unicode_encode_utf8_bounded(unit_get(run.p + i * run.unit, run.unit), dst + o, room));
    }
    if (nul) dst[o] = 0;
    return o;
}

// ---- UTF-16 encoding -------------------------------------------------------

int unicode_encode_utf16(uint32_t cp, uint8_t* out) {
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(cp);
        out[1] = static_cast<uint8_t>(cp >> 8);
        return 1;
    }
    if (cp > 0x10FFFF) return 0;
    uint32_t hi = 0xD800 | ((cp - 0x10000) >> 10), lo = 0xDC00 | (cp & 0x3FF);
    out[0] = static_cast<uint8_t>(hi);
    out[1] = static_cast<uint8_t>(hi >> 8);
    out[2] = static_cast<uint8_t>(lo);
    out[3] = static_cast<uint8_t>(lo >> 8);
    return 2;
}

uint8_t* unicode_to_utf16(Cell* str, int32_t* len, bool eol) {
    StringRun run = string_run(str);
    uint32_t n = take_count(*len, run.len);
    uint64_t extra = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t cp = unit_get(run.p + i * run.unit, run.unit);
        if (cp > 0x10FFFF) return nullptr;
        if (cp >= 0x10000 || (eol && cp == 10)) extra++;
    }
    uint64_t size = 2 * (uint64_t(n) + 1 + extra);
    if (size > 0x7FFFFFFF) error_raise(ErrCat::Internal, "no-memory");
    uint8_t* out = string_conversion_buffer(str, static_cast<uint32_t>(size));
    run = string_run(str);
    uint32_t units = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t cp = unit_get(run.p + i * run.unit, run.unit);
        if (eol && cp == 10) units += static_cast<uint32_t>(unicode_encode_utf16(13, out + 2 * units));
        units += static_cast<uint32_t>(unicode_encode_utf16(cp, out + 2 * units));
    }
    out[2 * units] = out[2 * units + 1] = 0;
    *len = static_cast<int32_t>(units);
    return out;
}

uint8_t* unicode_to_utf16_cstring(Cell* str) {
    int32_t len = -1;
    return unicode_to_utf16(str, &len, true);
}

uint16_t* unicode_ascii_to_utf16(const uint8_t* bytes, uint16_t* dst) {
    uint16_t* d = dst;
    while (*bytes) *d++ = *bytes++;
    *d = 0;
    return dst;
}

// ---- loading ---------------------------------------------------------------

namespace {

Off load_utf8(const uint8_t* src, uint32_t count, Off target, uint32_t* remainder, bool crlf, bool blocks,
              bool skip_mark = true) {
    uint32_t cap = count ? count : 1;  // code points never outnumber bytes
    Off node = target;
    if (node) {
        SeriesBuf* buf = node_buffer(node);
        uint32_t unit = buf->unit();
        check_unit(unit);
        if ((buf->data_end() - buf->head) / unit < cap) buf = series_expand_alloc(buf, int64_t(cap) * unit);
        buf->tail = buf->head;
    } else {
        node = alloc_string(cap, 1);
    }
    if (remainder) *remainder = 0;
    Utf8Load load = {src, count, 0, 0, crlf};
    if (skip_mark && count > 2 && src[0] == 0xEF && src[1] == 0xBB && src[2] == 0xBF) load.i = 3;

    SeriesBuf* buf = node_buffer(node);
    uint32_t unit = buf->unit();
    uint8_t* out = buf->head_ptr();
    for (;;) {
        int32_t stop = unit == 1   ? load_units<1>(load, out, blocks)
                       : unit == 2 ? load_units<2>(load, out, blocks)
                                   : load_units<4>(load, out, blocks);
        set_tail_units(node, load.n);
        if (stop == LOAD_DONE) return node;
        if (stop == UTF8_INVALID) raise_invalid_utf8(src + load.i, count - load.i);
        if (stop == UTF8_SHORT) {
            if (remainder) *remainder = count - load.i;
            return node;
        }
        // A code point too wide for the unit: widen for the whole input and
        // decode it again.
        unit = stop > 0xFFFF ? 4 : 2;
        out = widen(node_buffer(node), unit, cap)->head_ptr();
    }
}

}  // namespace

Off unicode_load_utf8(const uint8_t* bytes, uint32_t count, Off target, uint32_t* remainder, bool crlf) {
    return load_utf8(bytes, count, target, remainder, crlf, utf8_blocks_available());
}

Off unicode_load_utf8_reference(const uint8_t* bytes, uint32_t count, Off target, uint32_t* remainder, bool crlf) {
    return load_utf8(bytes, count, target, remainder, crlf, false);
}

Off unicode_load_utf8_unmarked(const uint8_t* bytes, uint32_t count, uint32_t* remainder) {
    return load_utf8(bytes, count, 0, remainder, false, utf8_blocks_available(), false);
}

Off unicode_load_utf8_into(const uint8_t* bytes, uint32_t count, Cell* target) {
    return unicode_load_utf8(bytes, count, target->data2, nullptr, false);
}

Off unicode_load_utf8_new(const uint8_t* bytes, uint32_t count) {
    return unicode_load_utf8(bytes, count, 0, nullptr, false);
}

uint32_t unicode_utf16_unit_width(const uint8_t* units, uint32_t count) {
    uint32_t width = 1;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t high = units[2 * i + 1];
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high) width = 2;
    }
    return width;
}

Off unicode_load_utf16le(const uint8_t* units, uint32_t count, Cell* target, bool crlf) {
    Source source = loader_source(units, &count, target, 2);
    uint32_t width = unicode_utf16_unit_width(source.get(), count);
    Off node = target ? loader_buffer(target, count, width) : alloc_string(count ? count : 1, count ? width : 2);
    const uint8_t* src = source.get();  // re-read: the allocation may have moved it
    SeriesBuf* buf = node_buffer(node);
    uint8_t* out = buf->head_ptr();
    uint32_t unit = buf->unit();
    uint32_t n = 0;
    if (width == 2 && !crlf) {
        if (count) std::memcpy(out, src, size_t(count) * 2);
        n = count;
    } else {
        for (uint32_t i = 0; i < count; i++) {
            uint32_t u = load_le16(src + 2 * i);
            if (crlf && u == 13) continue;
            if (u >= 0xD800 && u <= 0xDFFF) {
                // A pair combines; a surrogate without its partner is no
                // character and reads as U+FFFD.
                if (u <= 0xDBFF && i + 1 < count) {
                    uint32_t lo = load_le16(src + 2 * i + 2);
                    if (lo >= 0xDC00 && lo <= 0xDFFF) {
                        u = 0x10000 + (((u & 0x3FF) << 10) | (lo & 0x3FF));
                        i++;
                    } else {
                        u = 0xFFFD;
                    }
                } else {
                    u = 0xFFFD;
                }
            }
            unit_put(out + n * unit, unit, u);
            n++;
        }
    }
    set_tail_units(node, n);
    return node;
}

Off unicode_load_cp1251(const uint8_t* bytes, uint32_t count, Cell* target, bool crlf) {
    Source source = loader_source(bytes, &count, target, 1);
    const uint8_t* src = source.get();
    uint32_t unit = 1;
    for (uint32_t i = 0; i < count && unit == 1; i++)
        if (src[i] >= 0x80 && cp1251_table[src[i] - 0x80] > 0xFF) unit = 2;
    Off node = target ? loader_buffer(target, count, unit) : alloc_string(count ? count : 1, unit);
    src = source.get();
    uint8_t* out = node_buffer(node)->head_ptr();
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t b = src[i];
        if (crlf && b == 13) {
            if (i + 1 < count && src[i + 1] == 10) continue;
            b = 10;
        }
        unit_put(out + n * unit, unit, b >= 0x80 ? cp1251_table[b - 0x80] : b);
        n++;
    }
    set_tail_units(node, n);
    return node;
}

Cell string_from_encoded(const uint8_t* bytes, uint32_t size, int32_t encoding) {
    Off node;
    if (encoding == ENCODING_UTF8) {
        node = unicode_load_utf8_new(bytes, size);
    } else if (encoding == ENCODING_UTF16LE) {
        node = unicode_load_utf16le(bytes, size / 2, nullptr, false);
    } else {
        Cell arg;
        cell_set(&arg, TYPE_INTEGER, 0, static_cast<uint32_t>(encoding), 0);
        error_raise(ErrCat::Script, "invalid-arg", &arg);
    }
    Cell value;
    cell_set(&value, TYPE_STRING, 0, node, 0);
    return value;
}

SeriesBuf* string_widen_1_to_2(SeriesBuf* buf) { return widen(buf, 2, 0); }
SeriesBuf* string_widen_1_to_4(SeriesBuf* buf) { return widen(buf, 4, 0); }
SeriesBuf* string_widen_2_to_4(SeriesBuf* buf) { return widen(buf, 4, 0); }

// ---- display width ---------------------------------------------------------

int unicode_range_search(uint32_t cp, const uint32_t* table, uint32_t words) {
    uint32_t pairs = words / 2;
    if (pairs == 0 || cp < table[0] || cp > table[2 * pairs - 1]) return 0;
    // The last range whose first code point is <= cp.
    uint32_t lo = 0, hi = pairs;
    while (hi - lo > 1) {
        uint32_t mid = (lo + hi) / 2;
        if (table[2 * mid] <= cp) lo = mid;
        else hi = mid;
    }
    return cp <= table[2 * lo + 1] ? 1 : 0;
}

int unicode_char_width(uint32_t cp) {
    if (cp < 0x300) return cp == 0 ? 0 : 1;  // below every combining mark
    if (unicode_range_search(cp, zero_width_ranges, zero_width_ranges_words)) return 0;
    if (unicode_range_search(cp, wide_ranges, wide_ranges_words)) return 2;
    return 1;
}

int unicode_char_width_cjk(uint32_t cp) {
    if (unicode_range_search(cp, ambiguous_ranges, ambiguous_ranges_words)) return 2;
    return unicode_char_width(cp);
}

}  // namespace kel
