// The UTF-8 loader with its block decoder against the per-character
// reference: same code points, unit, remainder and error for random and
// adversarial inputs, with every kind of sequence placed at each position
// across the 32-byte block edges and the 35-byte tail limit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "runtime/utf8_simd.h"

using namespace kel;

namespace {

using Bytes = std::vector<uint8_t>;

// What one load left behind.
struct Outcome {
    std::vector<uint32_t> text;  // the string's units (at the error: those before it)
    uint32_t unit = 0;
    uint32_t remainder = 0;
    std::string error;
    Bytes error_bytes;
    bool operator==(const Outcome&) const = default;
};

std::vector<uint32_t> units_of(Off node) {
    SeriesBuf* buf = node_buffer(node);
    uint32_t unit = buf->unit();
    std::vector<uint32_t> out;
    for (uint32_t off = buf->head; off < buf->tail; off += unit) {
        uint32_t v = 0;
        std::memcpy(&v, arena_ptr(off), unit);
        out.push_back(v);
    }
    return out;
}

using Loader = Off (*)(const uint8_t*, uint32_t, Off, uint32_t*, bool);

struct UnicodeBlocksTest : ::testing::Test {
    // Targets of unit 1, 2 and 4 with room for every input here, reset
    // before each load (a load may widen them).
    Off targets[5] = {};

    void SetUp() override {
        if (!memory_ready()) memory_init();
        if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
        if (!g_memory.series_frames_head) series_frame_make();
        for (uint32_t unit : {1u, 2u, 4u}) targets[unit] = alloc_string(1024, 4);
    }

    Off reset_target(uint32_t unit) {
        SeriesBuf* buf = node_buffer(targets[unit]);
        buf->flags = (buf->flags & ~SERIES_UNIT_MASK) | unit;
        std::memset(buf->head_ptr(), 0xA5, 1024);  // stale units must not leak into the result
        buf->tail = buf->head;
        return targets[unit];
    }

    // Loads [in] into a new string ([unit] 0) or a target of [unit].
    Outcome load(Loader loader, const Bytes& in, uint32_t unit, bool crlf) {
        Outcome o;
        Off node = unit ? reset_target(unit) : 0;
        // An exact-size copy, so that a read past the input trips the sanitizer.
        std::vector<uint8_t> copy(in);
        try {
            node = loader(copy.data(), uint32_t(copy.size()), node, &o.remainder, crlf);
        } catch (const KelThrow& t) {
            o.error = t.id;
            SeriesBuf* arg = node_buffer(t.args[0].data2);
            o.error_bytes.assign(arg->head_ptr(), arg->head_ptr() + (arg->tail - arg->head));
            o.remainder = 0;
        }
        if (node) {
            o.text = units_of(node);
            o.unit = node_buffer(node)->unit();
        }
        return o;
    }

    // Every target unit and line-end mode gives the reference's outcome (a
    // new string starts at unit 1 like a target of unit 1; it is loaded only
    // where [fresh] asks, to keep the allocations few).
    void expect_same(const Bytes& in, const std::string& what, bool fresh = false) {
        for (uint32_t unit : {0u, 1u, 2u, 4u}) {
            if (unit == 0 && !fresh) continue;
            for (bool crlf : {false, true}) {
                Outcome fast = load(unicode_load_utf8, in, unit, crlf);
                Outcome ref = load(unicode_load_utf8_reference, in, unit, crlf);
                if (!(fast == ref)) {
                    std::string hex;
                    for (uint8_t b : in) hex += "0123456789ABCDEF"[b >> 4], hex += "0123456789ABCDEF"[b & 15], hex += ' ';
                    ADD_FAILURE() << what << ", unit " << unit << ", crlf " << crlf << ": " << hex
                                  << "\n  fast: " << fast.text.size() << " units of " << fast.unit << ", error '"
                                  << fast.error << "', remainder " << fast.remainder
                                  << "\n  reference: " << ref.text.size() << " units of " << ref.unit << ", error '"
                                  << ref.error << "', remainder " << ref.remainder;
                    return;
                }
            }
        }
    }
};

// Sequences of every kind the decoders tell apart.
const std::vector<Bytes>& pieces() {
    static const std::vector<Bytes> all = {
        // well formed
        {'a'}, {'\r'}, {'\n'}, {'\r', '\n'}, {0x7F},
        {0xC2, 0x80}, {0xC3, 0xA9}, {0xC3, 0xBF}, {0xC4, 0x80}, {0xCE, 0xBA}, {0xDF, 0xBF},
        {0xE0, 0xA0, 0x80}, {0xE2, 0x82, 0xAC}, {0xE6, 0x97, 0xA5}, {0xED, 0x9F, 0xBF}, {0xEE, 0x80, 0x80},
        {0xEF, 0xBB, 0xBF}, {0xEF, 0xBF, 0xBD}, {0xEF, 0xBF, 0xBE}, {0xEF, 0xBF, 0xBF},
        {0xF0, 0x90, 0x80, 0x80}, {0xF0, 0x9F, 0x98, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF},
        // overlong forms and surrogates (the loader takes some of them)
        {0xC0, 0x80}, {0xC1, 0xBF}, {0xE0, 0x80, 0x80}, {0xE0, 0x9F, 0xBF}, {0xF0, 0x80, 0x80, 0x80},
        {0xF0, 0x8F, 0xBF, 0xBF}, {0xED, 0xA0, 0x80}, {0xED, 0xAF, 0xBF}, {0xED, 0xB0, 0x80},
        {0xED, 0xB3, 0xBF}, {0xED, 0xB4, 0x80}, {0xED, 0xBF, 0xBF}, {0xED, 0xA0, 0x80, 0xED, 0xB0, 0x80},
        // overlong CR and LF, which line-end conversion must treat as the plain bytes
        {0xC0, 0x8D}, {0xE0, 0x80, 0x8D}, {0xF0, 0x80, 0x80, 0x8D}, {'\r', 0xC0, 0x8A}, {0xC0, 0x8D, '\n'},
        // never valid
        {0x80}, {0xBF}, {0xC2}, {0xC2, 'a'}, {0xE2, 0x82}, {0xE2, 'a', 0xAC}, {0xF0, 0x9F, 0x98},
        {0xF4, 0x90, 0x80, 0x80}, {0xF5, 0x80, 0x80, 0x80}, {0xF8, 0x88, 0x80, 0x80, 0x80}, {0xFE}, {0xFF},
        {0xC2, 0x80, 0x80}, {0xE2, 0x82, 0xAC, 0xAC},
    };
    return all;
}

Bytes repeat_bytes(const Bytes& unit, size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; i++) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

TEST_F(UnicodeBlocksTest, EveryPieceAtEveryPositionAcrossTheBlockEdges) {
    // Fillers that keep the block decoder on its ASCII, two-, three- and
    // four-byte paths around the piece.
    const std::vector<Bytes> fillers = {{'x'},          {0xC3, 0xA9}, {0xCE, 0xBA}, {0xE6, 0x97, 0xA5},
                                        {'y', 0xC3, 0xA9}, {0xF0, 0x9F, 0x98, 0x80, 'z'}};
    for (const Bytes& filler : fillers) {
        Bytes pad = repeat_bytes(filler, 80);
        for (const Bytes& piece : pieces()) {
            for (size_t at = 0; at < 72; at++) {
                // The piece at byte [at] (the filler cut where it must be),
                // then filler up to past the second block, then the input
                // ending in the piece right at the tail limit.
                Bytes in(pad.begin(), pad.begin() + at);
                in.insert(in.end(), piece.begin(), piece.end());
                in.insert(in.end(), pad.begin(), pad.begin() + 70);
                expect_same(in, "piece inside");
                Bytes tail(pad.begin(), pad.begin() + at);
                tail.insert(tail.end(), piece.begin(), piece.end());
                expect_same(tail, "piece at the end");
                if (HasFailure()) return;
            }
        }
    }
}

TEST_F(UnicodeBlocksTest, RandomMixesOfPieces) {
    std::mt19937 rng(20261210);
    const auto& all = pieces();
    // Mostly well-formed text (the first 23 pieces), now and then anything.
    for (int round = 0; round < 4000; round++) {
        Bytes in;
        if (round % 7 == 0) in = {0xEF, 0xBB, 0xBF};
        size_t length = rng() % 300;
        int bad_rate = round % 4 == 0 ? 0 : 1 + int(rng() % 200);
        while (in.size() < length) {
            bool any = bad_rate && int(rng() % 1000) < bad_rate;
            const Bytes& p = all[rng() % (any ? all.size() : 23)];
            size_t runs = rng() % 3 == 0 ? 1 + rng() % 40 : 1;
            for (size_t r = 0; r < runs; r++) in.insert(in.end(), p.begin(), p.end());
        }
        expect_same(in, "random mix " + std::to_string(round), round % 10 == 0);
        if (HasFailure()) return;
    }
    // Plain random bytes, biased towards the high half.
    for (int round = 0; round < 1000; round++) {
        Bytes in(rng() % 200);
        for (uint8_t& b : in) b = uint8_t(rng() % 3 ? rng() % 128 : 128 + rng() % 128);
        expect_same(in, "random bytes " + std::to_string(round));
        if (HasFailure()) return;
    }
}

TEST_F(UnicodeBlocksTest, BlockDecoderTakesWellFormedText) {
    if (!utf8_blocks_available()) GTEST_SKIP() << "no block decoder on this CPU";
    // Well-formed non-ASCII text must go through whole blocks, not fall back
    // byte by byte: the decoder consumes it all but its short tail.
    Bytes text = repeat_bytes({'a', 0xC3, 0xA9, 0xE6, 0x97, 0xA5, 0xCE, 0xBA, '\r', '\n'}, 40);
    Bytes emoji = repeat_bytes({'a', 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80, 0xE6, 0x97, 0xA5}, 40);
    std::vector<uint8_t> out(text.size() * 4);
    struct Case { const Bytes& in; uint32_t unit; } cases[] = {{text, 2}, {text, 4}, {emoji, 4}};
    for (auto& c : cases) {
        for (bool crlf : {false, true}) {
            uint32_t i = 0, n = 0;
            uint32_t until = utf8_decode_blocks(c.in.data(), uint32_t(c.in.size()), &i, &n, out.data(), c.unit, crlf);
            EXPECT_EQ(until, c.in.size());
            EXPECT_GT(i + 35, c.in.size());
        }
    }
    // Latin-1 text stays in blocks at unit 1; a wider code point stops them.
    Bytes latin = repeat_bytes({'a', 0xC3, 0xA9}, 40);
    uint32_t i = 0, n = 0;
    EXPECT_EQ(utf8_decode_blocks(latin.data(), uint32_t(latin.size()), &i, &n, out.data(), 1, false), latin.size());
    latin[49] = 0xCE;  // U+03BA in place of U+00E9
    latin[50] = 0xBA;
    i = n = 0;
    uint32_t until = utf8_decode_blocks(latin.data(), uint32_t(latin.size()), &i, &n, out.data(), 1, false);
    EXPECT_LE(i, 49u);
    EXPECT_EQ(until, 50u);
}

}  // namespace
