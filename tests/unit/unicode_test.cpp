// Unicode loaders, decoders, encoders, widening, case folding and display
// width.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

using namespace kel;

namespace {

using Bytes = std::vector<uint8_t>;
using Points = std::vector<uint32_t>;

struct UnicodeTest : ::testing::Test {
    void SetUp() override {
        if (!memory_ready()) memory_init();
        if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
        if (!g_memory.series_frames_head) series_frame_make();
        case_init();
    }
};

// Reference UTF-8 encoder, written apart from the one under test.
Bytes utf8(const Points& cps) {
    Bytes out;
    for (uint32_t c : cps) {
        if (c < 0x80) {
            out.push_back(uint8_t(c));
        } else if (c < 0x800) {
            out.insert(out.end(), {uint8_t(0xC0 | c >> 6), uint8_t(0x80 | (c & 63))});
        } else if (c < 0x10000) {
            out.insert(out.end(), {uint8_t(0xE0 | c >> 12), uint8_t(0x80 | (c >> 6 & 63)), uint8_t(0x80 | (c & 63))});
        } else {
            out.insert(out.end(), {uint8_t(0xF0 | c >> 18), uint8_t(0x80 | (c >> 12 & 63)),
                                   uint8_t(0x80 | (c >> 6 & 63)), uint8_t(0x80 | (c & 63))});
        }
    }
    return out;
}

Bytes utf16(const std::vector<uint16_t>& units) {
    Bytes out;
    for (uint16_t u : units) out.insert(out.end(), {uint8_t(u), uint8_t(u >> 8)});
    return out;
}

uint32_t unit_of(Off node) { return node_buffer(node)->unit(); }

Points points(Off node) {
    SeriesBuf* buf = node_buffer(node);
    uint32_t unit = buf->unit();
    Points out;
    for (uint32_t off = buf->head; off < buf->tail; off += unit) {
        uint32_t v = 0;
        std::memcpy(&v, arena_ptr(off), unit);
        out.push_back(v);
    }
    return out;
}

Off make_string(const Points& cps, uint32_t unit) {
    Off node = alloc_string(uint32_t(cps.size()), unit);
    SeriesBuf* buf = node_buffer(node);
    for (size_t i = 0; i < cps.size(); i++) std::memcpy(buf->head_ptr() + i * unit, &cps[i], unit);
    buf->tail = buf->head + uint32_t(cps.size()) * unit;
    return node;
}

Cell string_cell(Off node, uint32_t head = 0) {
    Cell c;
    cell_set(&c, TYPE_STRING, head, node, 0);
    return c;
}

Points repeat(uint32_t c, size_t n) { return Points(n, c); }
Points cat(std::initializer_list<Points> parts) {
    Points out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Runs f, expecting the error `id`; returns its first argument.
template <class F>
Cell expect_error(F f, const char* id) {
    try {
        f();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.id, id);
        return t.args[0];
    }
    ADD_FAILURE() << "no error " << id;
    return Cell{};
}

TEST_F(UnicodeTest, LoadingWidensOnlyWhenACodePointNeedsIt) {
    Points ascii = repeat('x', 37);  // long enough for whole 16-byte blocks
    struct Case { Points text; uint32_t unit; } cases[] = {
        {{'a', 'b'}, 1},
        {{0xE9}, 1},                                  // C3 A9: Latin-1 stays at one byte
        {{0xE9, 0x20AC}, 2},                          // E2 82 AC
        {{0xE9, 0x20AC, 0x1F600}, 4},                 // F0 9F 98 80
        {cat({ascii, {0xE9}, ascii, {0x20AC}, ascii, {0x1F600}, ascii}), 4},
        {cat({ascii, {0x1F600}, ascii, {0xFF}}), 4},  // straight from 1 to 4
        {cat({{0x400}, ascii, ascii}), 2},
    };
    for (auto& c : cases) {
        Bytes in = utf8(c.text);
        Off node = unicode_load_utf8_new(in.data(), uint32_t(in.size()));
        EXPECT_EQ(unit_of(node), c.unit) << c.text.size();
        EXPECT_EQ(points(node), c.text);
    }
}

TEST_F(UnicodeTest, LoadingIntoATargetRefillsItAndKeepsItsNode) {
    Off node = make_string({'o', 'l', 'd', '!', '!', '!'}, 1);
    Bytes in = utf8({'n', 0x20AC});
    Cell target = string_cell(node);
    EXPECT_EQ(unicode_load_utf8_into(in.data(), uint32_t(in.size()), &target), node);
    EXPECT_EQ(points(node), (Points{'n', 0x20AC}));

    // A wide target keeps its unit; a long input grows it.
    Points long_text = cat({repeat('y', 300), {0xE9}});
    Bytes in2 = utf8(long_text);
    EXPECT_EQ(unicode_load_utf8(in2.data(), uint32_t(in2.size()), node, nullptr, false), node);
    EXPECT_EQ(unit_of(node), 2u);
    EXPECT_EQ(points(node), long_text);
}

TEST_F(UnicodeTest, ByteOrderMarkAndTruncatedInput) {
    struct Case { Bytes in; Points text; uint32_t remainder; } cases[] = {
        {{0xEF, 0xBB, 0xBF}, {}, 0},
        {{0xEF, 0xBB, 0xBF, 'a'}, {'a'}, 0},
        {{'a', 0xE2, 0x82}, {'a'}, 2},
        {{0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98}, {0x20AC}, 3},
        {{}, {}, 0},
    };
    for (auto& c : cases) {
        uint32_t remainder = 99;
        Off node = unicode_load_utf8(c.in.data(), uint32_t(c.in.size()), 0, &remainder, false);
        EXPECT_EQ(points(node), c.text);
        EXPECT_EQ(remainder, c.remainder);
    }
}

TEST_F(UnicodeTest, EmptyInputWithoutBytes) {
    EXPECT_TRUE(points(unicode_load_utf8_new(nullptr, 0)).empty());
    EXPECT_TRUE(points(unicode_load_utf16le(nullptr, 0, nullptr, false)).empty());
    EXPECT_TRUE(points(unicode_load_cp1251(nullptr, 0, nullptr, true)).empty());
    // A target without a conversion buffer has nothing to read.
    Cell str = string_cell(make_string({'x'}, 1));
    EXPECT_TRUE(points(unicode_load_utf16le(nullptr, 5, &str, false)).empty());
}

TEST_F(UnicodeTest, LineEndsWithTheCrlfFlag) {
    struct Case { Bytes in; Points text; } cases[] = {
        {{'a', 13, 10, 'b'}, {'a', 10, 'b'}},
        {{'a', 13, 'b', 13}, {'a', 10, 'b', 10}},
        {{13, 13, 10}, {10, 10}},
    };
    for (auto& c : cases) {
        Off node = unicode_load_utf8(c.in.data(), uint32_t(c.in.size()), 0, nullptr, true);
        EXPECT_EQ(points(node), c.text);
    }
    // CR inside long runs, at every unit.
    Points run = repeat('r', 21);
    for (uint32_t wide : {0x41u, 0x20ACu, 0x1F600u}) {
        Bytes in = utf8(cat({{wide}, run, {13, 10}, run, {13}, run}));
        Off node = unicode_load_utf8(in.data(), uint32_t(in.size()), 0, nullptr, true);
        EXPECT_EQ(points(node), cat({{wide}, run, {10}, run, {10}, run})) << wide;
    }
    // Without the flag CR is an ordinary character.
    Bytes in = {'a', 13, 10};
    EXPECT_EQ(points(unicode_load_utf8_new(in.data(), 3)), (Points{'a', 13, 10}));
}

TEST_F(UnicodeTest, CheckedDecoder) {
    constexpr int32_t I = UTF8_INVALID, S = UTF8_SHORT;
    struct Case { Bytes in; int32_t cp; uint32_t len; } cases[] = {
        {{0x41}, 0x41, 1},
        {{0xC0, 0x80}, 0, 2},               // overlong NUL is accepted
        {{0xED, 0xA0, 0x80}, 0xD800, 3},    // high surrogates decode
        {{0xED, 0xB0, 0x80}, I, 0},         // U+DC00-U+DCFF do not
        {{0xEF, 0xBF, 0xBE}, 0xFFFE, 3},    // a code point like any other
        {{0xEF, 0xBF, 0xBF}, 0xFFFF, 3},
        {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, 4},
        {{0xF4, 0x90, 0x80, 0x80}, I, 0},   // above U+10FFFF
        {{0xF7, 0xBF, 0xBF, 0xBF}, I, 0},
        {{0xF8, 0x88, 0x80, 0x80}, I, 0},
        {{0x80}, I, 0},                     // stray continuation byte
        {{0xC3, 0x28}, I, 0},               // bad follower
        {{0xE2, 0x82}, S, 0},               // input ends inside the sequence
        {{0xF0, 0x9F, 0x98}, S, 0},
        {{}, S, 0},
    };
    for (auto& c : cases) {
        uint32_t len = 0;
        EXPECT_EQ(unicode_utf8_decode_checked(c.in.data(), uint32_t(c.in.size()), &len), c.cp);
        if (c.cp >= 0) {
            EXPECT_EQ(len, c.len);
        }
        // The raising form: the same results, invalid-utf8 for invalid input.
        uint32_t count = uint32_t(c.in.size());
        if (c.cp == I) {
            expect_error([&] { unicode_utf8_decode_char(c.in.data(), &count); }, "invalid-utf8");
        } else {
            EXPECT_EQ(unicode_utf8_decode_char(c.in.data(), &count), c.cp);
            if (c.cp >= 0) {
                EXPECT_EQ(count, c.len);
            }
        }
    }
}

TEST_F(UnicodeTest, InvalidUtf8CarriesTheBytesFromTheLeadByte) {
    Bytes in = {0xC3, 0x28, 'x', 'y', 'z'};
    uint32_t count = 5;
    Cell arg = expect_error([&] { unicode_utf8_decode_char(in.data(), &count); }, "invalid-utf8");
    ASSERT_TRUE(arg.is(TYPE_BINARY));
    EXPECT_EQ(points(arg.data2), (Points{0xC3, 0x28, 'x', 'y'}));
    // A lead byte without its followers is short input, not an error.
    count = 1;
    EXPECT_EQ(unicode_utf8_decode_char(in.data(), &count), -1);
    // At the end of the input only the bytes that exist are taken.
    uint32_t one = 1;
    Bytes stray = {0x80};
    arg = expect_error([&] { unicode_utf8_decode_char(stray.data(), &one); }, "invalid-utf8");
    EXPECT_EQ(points(arg.data2), (Points{0x80}));
}

TEST_F(UnicodeTest, LoaderStopsCleanlyAtAnInvalidSequence) {
    Off node = make_string({'o', 'l', 'd', 'e', 'r'}, 1);
    Bytes in = utf8(cat({repeat('a', 20), {0x20AC}}));
    in.push_back(0xFF);
    in.push_back('z');
    expect_error([&] { unicode_load_utf8(in.data(), uint32_t(in.size()), node, nullptr, false); }, "invalid-utf8");
    EXPECT_EQ(points(node), cat({repeat('a', 20), {0x20AC}}));
}

TEST_F(UnicodeTest, TableDrivenDecoder) {
    struct Case { Bytes in; int32_t cp; uint32_t consumed; } cases[] = {
        {{0x41}, 0x41, 1},
        {{0xC3, 0xA9}, 0xE9, 2},
        {{0xEF, 0xBF, 0xBE}, 0xFFFE, 3},
        {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
        {{0xC0, 0x80}, -1, 1},               // overlong: C0 cannot start a sequence
        {{0xED, 0xA0, 0x80}, -1, 2},         // surrogate: rejected at the second byte
        {{0xF4, 0x90, 0x80, 0x80}, -1, 2},   // above U+10FFFF
        {{0xE0, 0x80, 0x80}, -1, 2},         // overlong three-byte form
        {{0xC3, 0x41}, -1, 2},               // the bad follower is consumed
        {{0xE2, 0x82}, -1, 2},               // input ends inside the sequence
    };
    for (auto& c : cases) {
        int32_t cp = 0;
        const uint8_t* end = c.in.data() + c.in.size();
        const uint8_t* next = unicode_fast_decode_utf8_char(c.in.data(), end, &cp);
        EXPECT_EQ(cp, c.cp);
        EXPECT_EQ(uint32_t(next - c.in.data()), c.consumed);
    }
    Bytes text = utf8(cat({repeat('q', 20), {0xE9, 0x20AC, 0x1F600}, repeat('r', 3)}));
    text.insert(text.begin() + 5, 0x80);  // a stray byte counts as one
    const uint8_t* b = text.data();
    const uint8_t* e = b + text.size();
    EXPECT_EQ(unicode_utf8_count(b, e), 27u);
    EXPECT_EQ(unicode_utf8_skip(b, e, 22) - b, 5 + 1 + 15 + 2);
    EXPECT_EQ(unicode_utf8_skip(b, e, 100), e);
    EXPECT_EQ(unicode_utf8_count(b, b + text.size() - 4), 24u);  // the cut emoji counts as one
}

TEST_F(UnicodeTest, LeadLength) {
    struct Case { uint8_t b; int n; } cases[] = {{0x41, 0}, {0x80, 0}, {0xBF, 0}, {0xC2, 2}, {0xE2, 3}, {0xF0, 4}, {0xFF, 4}};
    for (auto c : cases) EXPECT_EQ(unicode_utf8_lead_length(c.b), c.n) << int(c.b);
}

TEST_F(UnicodeTest, Utf16LoadingPairsAndUnpairedSurrogates) {
    struct Case { std::vector<uint16_t> in; bool crlf; Points text; uint32_t unit; } cases[] = {
        {{'a', 'b'}, false, {'a', 'b'}, 1},
        {{'a', 0xE9}, false, {'a', 0xE9}, 1},
        {{'a', 0x20AC, 13, 10}, false, {'a', 0x20AC, 13, 10}, 2},
        {{0xD83D, 0xDE00}, false, {0x1F600}, 4},
        {{'a', 0xD83D}, false, {'a', 0xFFFD}, 4},              // high surrogate last
        {{0xD83D, 'b'}, false, {0xFFFD, 'b'}, 4},              // high without its low
        {{0xDE00, 'c'}, false, {0xFFFD, 'c'}, 4},              // lone low surrogate
        {{0xD83D, 0xD83D, 0xDE00}, false, {0xFFFD, 0x1F600}, 4},
        {{'a', 13, 10, 13, 'b'}, true, {'a', 10, 'b'}, 1},     // every CR dropped
        {{0x20AC, 13, 10}, true, {0x20AC, 10}, 2},
        {{0xD83D, 0xDE00, 13}, true, {0x1F600}, 4},
    };
    for (auto& c : cases) {
        Bytes in = utf16(c.in);
        Off node = unicode_load_utf16le(in.data(), uint32_t(c.in.size()), nullptr, c.crlf);
        EXPECT_EQ(points(node), c.text);
        EXPECT_EQ(unit_of(node), c.unit);
    }
}

TEST_F(UnicodeTest, Utf16LoadingFromTheConversionBuffer) {
    // A wide system call writes into the string's conversion buffer; the
    // loader reads it from there, never past its end.
    Off node = make_string({'x'}, 1);
    Cell str = string_cell(node);
    uint8_t* scratch = string_conversion_buffer(&str, 8);
    Bytes in = utf16({'h', 0x20AC, 'i'});
    std::memcpy(scratch, in.data(), in.size());
    EXPECT_EQ(unicode_load_utf16le(nullptr, 3, &str, false), node);
    EXPECT_EQ(points(node), (Points{'h', 0x20AC, 'i'}));
    uint32_t room = node_buffer(str.data3)->size / 2;
    unicode_load_utf16le(nullptr, 1000000, &str, false);
    EXPECT_EQ(points(node).size(), room);
}

TEST_F(UnicodeTest, Cp1251Loading) {
    Bytes in = {'a', 0xC0, 0xFF, 0x98, 13, 10, 'b', 13};
    Off node = unicode_load_cp1251(in.data(), uint32_t(in.size()), nullptr, true);
    EXPECT_EQ(points(node), (Points{'a', 0x410, 0x44F, 0x98, 10, 'b', 10}));
    EXPECT_EQ(unit_of(node), 2u);
    Bytes latin = {'a', 0xA0, 0xA9};  // bytes that map below 0x100 keep unit 1
    node = unicode_load_cp1251(latin.data(), 3, nullptr, false);
    EXPECT_EQ(points(node), (Points{'a', 0xA0, 0xA9}));
    EXPECT_EQ(unit_of(node), 1u);
}

TEST_F(UnicodeTest, StringFromEncoded) {
    Bytes in = utf8({'k', 0x20AC});
    Cell s = string_from_encoded(in.data(), uint32_t(in.size()), ENCODING_UTF8);
    EXPECT_EQ(s.header, uint32_t(TYPE_STRING));
    EXPECT_EQ(s.data1, 0u);
    EXPECT_EQ(s.data3, 0u);
    EXPECT_EQ(points(s.data2), (Points{'k', 0x20AC}));
    Bytes wide = utf16({'k', 0x20AC});
    s = string_from_encoded(wide.data(), uint32_t(wide.size()), ENCODING_UTF16LE);
    EXPECT_EQ(points(s.data2), (Points{'k', 0x20AC}));
    // An unknown encoding is a script error, not the end of the process.
    try {
        string_from_encoded(in.data(), 1, 7);
        ADD_FAILURE();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.category, ErrCat::Script);
        EXPECT_EQ(t.id, "invalid-arg");
        EXPECT_EQ(t.args[0].data2, 7u);
    }
}

TEST_F(UnicodeTest, WideningKeepsValuesAndTheNode) {
    // Distinct values over whole 16-byte blocks and a remainder, so that a
    // unit moved to the wrong place shows.
    Points bytes, wide;
    for (uint32_t i = 0; i < 41; i++) {
        bytes.push_back(i * 6 + 7);
        wide.push_back(i * 1601 + 3);
    }
    struct Case { uint32_t from, to; Points text; } cases[] = {
        {1, 2, {'a', 0xFF, 0}},
        {1, 4, {'a', 0xE9}},
        {2, 4, {0x20AC, 'b', 0xFFFF}},
        {1, 2, {}},
        {1, 2, bytes},
        {1, 4, bytes},
        {2, 4, wide},
    };
    for (auto& c : cases) {
        Off node = make_string(c.text, c.from);
        SeriesBuf* buf = node_buffer(node);
        buf = c.from == 2 ? string_widen_2_to_4(buf) : c.to == 2 ? string_widen_1_to_2(buf) : string_widen_1_to_4(buf);
        EXPECT_EQ(node_buffer(node), buf);
        EXPECT_EQ(buf->unit(), c.to);
        EXPECT_EQ(points(node), c.text);
        EXPECT_GE(buf->data_end() - buf->tail, c.to);  // room for one more unit
    }
}

TEST_F(UnicodeTest, Utf8Encoding) {
    struct Case { uint32_t cp; Bytes out; } cases[] = {
        {0x41, {0x41}}, {0xE9, {0xC3, 0xA9}}, {0x20AC, {0xE2, 0x82, 0xAC}},
        {0xFFFE, {0xEF, 0xBF, 0xBE}}, {0x10FFFF, {0xF4, 0x8F, 0xBF, 0xBF}},
    };
    for (auto& c : cases) {
        uint8_t buf[4] = {};
        EXPECT_EQ(unicode_encode_utf8(c.cp, buf), int(c.out.size()));
        EXPECT_EQ(Bytes(buf, buf + c.out.size()), c.out);
        EXPECT_EQ(unicode_utf8_length(c.cp), int(c.out.size()));
        uint8_t cut[4] = {};
        EXPECT_EQ(unicode_encode_utf8_bounded(c.cp, cut, 1), 1);
        EXPECT_EQ(cut[0], c.out[0]);
        EXPECT_EQ(cut[1], 0);
    }
    uint8_t buf[8];
    EXPECT_EQ(unicode_encode_utf8_bounded(0x20AC, buf, 0), 0);
    EXPECT_EQ(unicode_encode_utf8_bounded(0x20AC, buf, -3), 0);
    Cell arg = expect_error([&] { unicode_encode_utf8(0x110000, buf); }, "invalid-char");
    EXPECT_TRUE(arg.is(TYPE_INTEGER));
    EXPECT_EQ(arg.data2, 0x110000u);
    expect_error([&] { unicode_utf8_length(0x110000); }, "invalid-char");
    expect_error([&] { unicode_encode_utf8_bounded(0x7FFFFFFF, buf, 8); }, "invalid-char");
}

TEST_F(UnicodeTest, StringToUtf8) {
    Off node = make_string({'a', 10, 0xE9, 0x20AC, 0x1F600}, 4);
    Cell str = string_cell(node);
    int32_t len = -1;
    uint8_t* out = unicode_to_utf8_cache(&str, &len, true);
    Bytes want = {'a', 13, 10, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
    ASSERT_EQ(len, int32_t(want.size()));
    EXPECT_EQ(Bytes(out, out + len), want);
    EXPECT_EQ(out[len], 0);
    EXPECT_NE(str.data3, 0u);

    len = 3;  // a count, and a head index
    str.data1 = 1;
    out = unicode_to_utf8_cstring(&str, &len);
    EXPECT_EQ(Bytes(out, out + len), (Bytes{10, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}));

    // Every unit, Latin-1 included, with long ASCII runs.
    Points text = cat({repeat('z', 40), {0xFF}, repeat('w', 17)});
    for (uint32_t unit : {1u, 2u, 4u}) {
        Cell s = string_cell(make_string(text, unit));
        len = -1;
        out = unicode_to_utf8_cache(&s, &len, false);
        EXPECT_EQ(Bytes(out, out + len), utf8(text)) << unit;
        Bytes into(utf8(text).size() + 1, 0xAA);
        SeriesBuf* b = node_buffer(s.data2);
        EXPECT_EQ(unicode_utf8_size(b->head_ptr(), b->tail_ptr(), unit), into.size() - 1);
        EXPECT_EQ(unicode_to_utf8_into(&s, into.data(), -1, true), into.size() - 1);
        EXPECT_EQ(into.back(), 0);
    }

    Cell bad = string_cell(make_string({'a', 0x110000}, 4));
    len = -1;
    expect_error([&] { unicode_to_utf8_cache(&bad, &len, false); }, "invalid-char");
}

TEST_F(UnicodeTest, BoundedUtf8StopsAtTheCapacity) {
    Cell str = string_cell(make_string({'a', 0x20AC, 'b'}, 2));
    struct Case { uint32_t capacity; int32_t n; bool nul; Bytes out; } cases[] = {
        {16, -1, false, {'a', 0xE2, 0x82, 0xAC, 'b'}},
        {3, -1, false, {'a', 0xE2, 0x82}},            // the euro sign is cut
        {3, -1, true, {'a', 0xE2, 0}},                // the NUL takes the last byte
        {16, 1, true, {'a', 0}},
        {16, 0, false, {'a', 0xE2, 0x82, 0xAC, 'b'}}, // 0 does not limit
        {0, -1, true, {}},
    };
    for (auto& c : cases) {
        Bytes dst(c.capacity + 4, 0xAA);
        uint32_t n = unicode_to_utf8_bounded(&str, dst.data(), c.capacity, c.n, c.nul);
        EXPECT_EQ(n + (c.nul && c.capacity ? 1 : 0), c.out.size());
        EXPECT_EQ(Bytes(dst.begin(), dst.begin() + c.out.size()), c.out);
        for (size_t i = c.capacity; i < dst.size(); i++) EXPECT_EQ(dst[i], 0xAA) << c.capacity;
    }
}

TEST_F(UnicodeTest, Utf16Encoding) {
    uint8_t buf[4];
    EXPECT_EQ(unicode_encode_utf16(0x1F600, buf), 2);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(unicode_encode_utf16(0x110000, buf), 0);

    Cell str = string_cell(make_string({'a', 10}, 1));
    int32_t len = -1;
    uint8_t* out = unicode_to_utf16(&str, &len, true);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(Bytes(out, out + 8), utf16({'a', 13, 10, 0}));

    Cell wide = string_cell(make_string({0x1F600, 10, 'x'}, 4));
    out = unicode_to_utf16_cstring(&wide);
    EXPECT_EQ(Bytes(out, out + 12), utf16({0xD83D, 0xDE00, 13, 10, 'x', 0}));
    len = 1;
    out = unicode_to_utf16(&wide, &len, false);
    EXPECT_EQ(len, 2);

    Cell bad = string_cell(make_string({'a', 0x110000}, 4));
    len = -1;
    EXPECT_EQ(unicode_to_utf16(&bad, &len, false), nullptr);

    uint16_t dst[4];
    unicode_ascii_to_utf16(reinterpret_cast<const uint8_t*>("ok"), dst);
    EXPECT_EQ(dst[0], 'o');
    EXPECT_EQ(dst[1], 'k');
    EXPECT_EQ(dst[2], 0);
}

TEST_F(UnicodeTest, CaseChangeChar) {
    struct Case { uint32_t c; int mode; uint32_t want; } cases[] = {
        {'s', CASE_UPPER, 'S'},      {'S', CASE_LOWER, 's'},       {0xDF, CASE_UPPER, 'S'},
        {0x149, CASE_UPPER, 0x2BC},  {0x130, CASE_LOWER, 'i'},     {0xFF, CASE_UPPER, 0x178},
        {0x3C3, CASE_UPPER, 0x3A3},  {0x1C5, CASE_UPPER, 0x1C4},   {'5', CASE_UPPER, '5'},
        {0, CASE_LOWER, 0},          {0xFFFF, CASE_UPPER, 0xFFFF}, {0x10428, CASE_UPPER, 0x10400},
        {0x10400, CASE_LOWER, 0x10428}, {0x1E943, CASE_UPPER, 0x1E921}, {0x1E921, CASE_LOWER, 0x1E943},
        {0x1E944, CASE_UPPER, 0x1E944}, {0x103FF, CASE_LOWER, 0x103FF}, {0x1F600, CASE_UPPER, 0x1F600},
        {0x10FFFF, CASE_LOWER, 0x10FFFF},
    };
    for (auto c : cases) EXPECT_EQ(case_change_char(c.c, c.mode), c.want) << std::hex << c.c;
}

TEST_F(UnicodeTest, CaseChangeString) {
    struct Case { Points text; uint32_t unit; int mode; uint32_t head; Points want; uint32_t want_unit; } cases[] = {
        {{'s', 't', 'r', 'a', 0xDF, 'e'}, 1, CASE_UPPER, 0, {'S', 'T', 'R', 'A', 'S', 'E'}, 1},
        {{'a', 0xFF}, 1, CASE_UPPER, 0, {'A', 0x178}, 2},
        {{'a', 'b', 'c'}, 1, CASE_UPPER, 1, {'a', 'B', 'C'}, 1},
        {{'a', 'b'}, 1, CASE_UPPER, 9, {'a', 'b'}, 1},  // head past the tail
        {{0x10428, 'A'}, 4, CASE_UPPER, 0, {0x10400, 'A'}, 4},
        {{0x10400, 0x130}, 4, CASE_LOWER, 0, {0x10428, 'i'}, 4},
    };
    for (auto& c : cases) {
        Off node = make_string(c.text, c.unit);
        Cell s = string_cell(node, c.head);
        case_change_string(&s, nullptr, c.mode);
        EXPECT_EQ(points(node), c.want);
        EXPECT_EQ(unit_of(node), c.want_unit);
    }
    Cell ch;
    cell_set(&ch, TYPE_CHAR, 0, 0x1E943, 0);
    case_change_string(&ch, nullptr, CASE_UPPER);
    EXPECT_EQ(ch.data2, 0x1E921u);
}

TEST_F(UnicodeTest, CaseChangeStringPart) {
    Off node = make_string({'a', 'b', 'c', 'd'}, 1);
    Cell s = string_cell(node, 1);
    Cell part;
    struct Case { uint32_t type, d1, d2; Points want; } cases[] = {
        {TYPE_INTEGER, 0, 1, {'a', 'B', 'c', 'd'}},
        {TYPE_INTEGER, 0, 99, {'a', 'B', 'C', 'D'}},          // clamped to the tail
        {TYPE_INTEGER, 0, uint32_t(-2), {'a', 'b', 'c', 'd'}},  // negative: nothing
        {TYPE_STRING, 3, node, {'a', 'B', 'C', 'd'}},        // a position in the series
        {TYPE_STRING, 0, node, {'a', 'b', 'c', 'd'}},        // before the head
        {TYPE_STRING, 50, node, {'a', 'B', 'C', 'D'}},
    };
    for (auto& c : cases) {
        case_change_string(&s, nullptr, CASE_LOWER);
        cell_set(&part, c.type, c.d1, c.d2, 0);
        case_change_string(&s, &part, CASE_UPPER);
        EXPECT_EQ(points(node), c.want);
    }
    Off other = make_string({'a'}, 1);
    Cell bad[3];
    cell_set(&bad[0], TYPE_STRING, 1, other, 0);  // another series
    cell_set(&bad[1], TYPE_FILE, 1, node, 0);     // another type on the same buffer
    cell_set(&bad[2], TYPE_FLOAT, 0, 0, 0);
    for (auto& p : bad) {
        case_change_string(&s, nullptr, CASE_LOWER);
        expect_error([&] { case_change_string(&s, &p, CASE_UPPER); }, "invalid-refine-arg");
        EXPECT_EQ(points(node), (Points{'a', 'b', 'c', 'd'}));
    }
}

TEST_F(UnicodeTest, DisplayWidth) {
    struct Case { uint32_t cp; int width, cjk; } cases[] = {
        {0x41, 1, 1},      {0x301, 0, 2},    {0x1100, 2, 2},   {0x1160, 0, 0},   {0x7, 1, 1},
        {0, 0, 0},         {0x7F, 1, 1},     {0x9F, 1, 1},     {0xA1, 1, 2},     {0x4E00, 2, 2},
        {0xFF01, 2, 2},    {0x1F600, 2, 2},  {0xE0100, 0, 2},  {0x30000, 2, 2},  {0x3FFFD, 2, 2},
        {0xE000, 1, 2},    {0xFFFD, 1, 2},   {0x10FFFD, 1, 2}, {0x10FFFF, 1, 1}, {0x0600, 0, 0},
        {0x20AC, 1, 2},    {0x3000, 2, 2},   {0x303F, 1, 1},
    };
    for (auto c : cases) {
        EXPECT_EQ(unicode_char_width(c.cp), c.width) << std::hex << c.cp;
        EXPECT_EQ(unicode_char_width_cjk(c.cp), c.cjk) << std::hex << c.cp;
    }
    const uint32_t table[] = {10, 20, 30, 30, 40, 50};
    struct Probe { uint32_t cp; int in; } probes[] = {{9, 0}, {10, 1}, {20, 1}, {21, 0}, {30, 1}, {35, 0}, {50, 1}, {51, 0}};
    for (auto p : probes) EXPECT_EQ(unicode_range_search(p.cp, table, 6), p.in) << p.cp;
    EXPECT_EQ(unicode_range_search(5, table, 0), 0);
}

}  // namespace
