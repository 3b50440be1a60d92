// Hash tables: sizing, hashing, the five kinds, growth, chains, ranges,
// stale address hashes, the collector hooks and the pointer map.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/platform/vm.h"
#include "runtime/pointer_map.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

uint32_t g_test_evacuations = 0;
bool g_test_collecting = false;
uint32_t test_evacuation_count() { return g_test_evacuations; }
bool test_collecting() { return g_test_collecting; }

// The engine alone, on its default seams; the seams the rest of the binary
// runs with (the collector's) come back afterwards.
struct HashTableTest : ::testing::Test {
    HashSeams saved;
    void SetUp() override {
        if (!memory_ready()) memory_init();
        if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
        if (!g_memory.series_frames_head) series_frame_make();
        saved = g_hash_seams;
        g_hash_seams = HashSeams{};
        g_test_evacuations = 0;
        g_test_collecting = false;
    }
    void TearDown() override { g_hash_seams = saved; }
};

// ---- value builders ----

Cell int_cell(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }
Cell word_cell(uint32_t symbol, uint32_t type = TYPE_WORD) { return Cell{type, 0, symbol, 0}; }

Cell string_cell(const std::u32string& text, uint32_t unit, uint32_t type = TYPE_STRING) {
    Off node = alloc_string(static_cast<uint32_t>(text.size()), unit);
    SeriesBuf* b = node_buffer(node);
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        std::memcpy(b->data() + i * unit, &c, unit);  // little-endian low bytes
    }
    b->tail = b->head + static_cast<uint32_t>(text.size()) * unit;
    return Cell{type, 0, node, 0};
}
Cell str(const char* ascii, uint32_t unit = 1) {
    std::u32string t;
    for (const char* p = ascii; *p; p++) t += static_cast<char32_t>(static_cast<uint8_t>(*p));
    return string_cell(t, unit);
}

Cell symbol_cell(const char* name) {
    uint32_t n = static_cast<uint32_t>(std::strlen(name));
    Off node = alloc_bytes(n + 1);
    SeriesBuf* b = node_buffer(node);
    std::memcpy(b->data(), name, n + 1);
    b->tail = b->head + n;
    return Cell{TYPE_SYMBOL, 0xFFFFFFFF, 0, node};
}

Off make_block(const std::vector<Cell>& cells) {
    Off node = alloc_cells(static_cast<uint32_t>(cells.size()) + 1);
    SeriesBuf* b = node_buffer(node);
    if (!cells.empty()) std::memcpy(b->data(), cells.data(), cells.size() * 16);
    b->tail = b->head + static_cast<uint32_t>(cells.size()) * 16;
    return node;
}
Cell block_of(Off node, uint32_t type = TYPE_BLOCK) { return Cell{type, 0, node, 0}; }
Cell* cell_at(Off block, uint32_t i) { return reinterpret_cast<Cell*>(node_buffer(block)->head_ptr()) + i; }
uint32_t length_of(Off block) { return node_buffer(block)->used_bytes() / 16; }
uint32_t index_of(Off block, const Cell* c) {
    return c ? static_cast<uint32_t>(c - cell_at(block, 0)) : 0xFFFFFFFF;
}

// Appends a cell (growing the buffer) and returns its index.
uint32_t append(Off block, Cell c) {
    SeriesBuf* b = node_buffer(block);
    if (b->tail + 16 > b->data_end()) b = series_expand(b, 0);
    std::memcpy(b->tail_ptr(), &c, 16);
    b->tail += 16;
    return length_of(block) - 1;
}

HashRecord& rec(Off table) { return *hashtable_record(table); }
Off table_block(Off table) { return rec(table).block; }

int32_t find_index(Off table, Cell key, int32_t head = 0, int32_t skip = 1, uint32_t mode = HASH_EQUAL,
                   bool last = false, bool reverse = false) {
    Cell* c = hashtable_get(table, &key, head, skip, mode, last, reverse);
    return c ? static_cast<int32_t>(index_of(table_block(table), c)) : -1;
}

uint32_t murmur_of_code_points(const std::u32string& t) {
    std::vector<uint32_t> w(t.begin(), t.end());
    return murmur3_x86_32(w.data(), w.size() * 4, kHashSeed);
}

bool marked(Off node) { return node_buffer(node)->flags & SERIES_MARK; }
void unmark(Off node) { node_buffer(node)->flags &= ~SERIES_MARK; }

// The hash a live bucket was placed by: kind 0 its cell (a chain's first
// member), kind 1 its key cell, kinds 3-4 its entry's key node.
uint32_t stored_hash(Off t, int32_t k) {
    const HashRecord& r = rec(t);
    const uint8_t* data = node_buffer(r.block)->head_ptr();
    if (r.kind >= HASH_KIND_NODES) return hashtable_hash_identity(reinterpret_cast<const Cell*>(data + k)->data1);
    if (k < 0) {
        Off chain = reinterpret_cast<const uint32_t*>(node_buffer(r.chains)->head_ptr())[-k - 1];
        k = static_cast<int32_t>(reinterpret_cast<const uint32_t*>(node_buffer(chain)->head_ptr())[0]);
    }
    return hashtable_hash_value(reinterpret_cast<const Cell*>(data) + k, false);
}

// Every tag repeats its bucket's flags and, for a live bucket, the top bits
// of its key's hash; a map!'s key nodes are its live text keys' nodes and 0
// everywhere else.
void expect_tags_agree(Off t, const char* when) {
    const HashRecord& r = rec(t);
    const uint8_t* tags = hashtable_tags(t);
    ASSERT_NE(tags, nullptr) << when;
    // The tags, keys words and key text pairs follow the record in its series.
    ASSERT_EQ(r.keys, 0u) << when;
    ASSERT_GE(node_buffer(t)->used_bytes(), kHashArraysAt + (r.kind == HASH_KIND_MAP ? 13 : 5) * r.buckets) << when;
    const uint32_t* nodes = hashtable_key_nodes(t);
    ASSERT_EQ(nodes != nullptr, r.kind == HASH_KIND_MAP) << when;
    // The lookup fast paths read the record and the keys from its data start.
    ASSERT_EQ(node_buffer(t)->head, node_buffer(t)->data_start()) << when;
    ASSERT_EQ(node_buffer(t)->node, t) << when;
    const uint32_t* flags = reinterpret_cast<const uint32_t*>(node_buffer(r.flags)->head_ptr());
    const int32_t* keys = hashtable_keys(t);
    for (uint32_t b = 0; b < r.buckets; b++) {
        uint32_t bits = hash_flag_bits(flags, b);
        uint8_t want = bits & 2 ? kHashTagEmpty : bits & 1 ? kHashTagDeleted : hash_tag(stored_hash(t, keys[b]));
        ASSERT_EQ(tags[b], want) << when << ": bucket " << b << " flags " << bits;
        if (!nodes) continue;
        uint32_t node = 0;
        if (bits == 0) {
            const Cell& key = reinterpret_cast<const Cell*>(node_buffer(r.block)->head_ptr())[keys[b]];
            if (key.is(TYPE_STRING) || key.is(TYPE_FILE) || key.is(TYPE_URL) || key.is(TYPE_TAG) ||
                key.is(TYPE_EMAIL) || key.is(TYPE_REF))
                node = key.data2;
        }
        ASSERT_EQ(nodes[2 * b], node) << when << ": key node of bucket " << b;
        ASSERT_EQ(nodes[2 * b + 1], node ? node_word(node) : 0) << when << ": key buffer of bucket " << b;
    }
}

}  // namespace

// ---- MurmurHash3 and sizing ---------------------------------------------------

TEST(Murmur3, KnownVectors) {
    struct Case { const char* text; uint32_t len; uint32_t seed; uint32_t hash; } cases[] = {
        {"", 0, 0, 0},
        {"", 0, 1, 0x514E28B7},
        {"", 0, 0xFFFFFFFF, 0x81F16F39},
        {"\0\0\0\0", 4, 0, 0x2362F9DE},
        {"a", 1, 0x9747B28C, 0x7FA09EA6},
        {"aa", 2, 0x9747B28C, 0x5D211726},
        {"aaa", 3, 0x9747B28C, 0x283E0130},
        {"aaaa", 4, 0x9747B28C, 0x5A97808A},
        {"abc", 3, 0x9747B28C, 0xC84A62DD},
        {"abcd", 4, 0x9747B28C, 0xF0478627},
        {"Hello, world!", 13, 0x9747B28C, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 43, 0x9747B28C, 0x2FA826CD},
    };
    for (auto c : cases) EXPECT_EQ(murmur3_x86_32(c.text, c.len, c.seed), c.hash) << c.text;
    // The block feeder equals the byte function over the same bytes.
    Murmur3Stream s(kHashSeed);
    const uint32_t blocks[3] = {0x41, 0x1F600, 0xFFFFFFFF};
    for (uint32_t b : blocks) s.block(b);
    EXPECT_EQ(s.finish(), murmur3_x86_32(blocks, 12, kHashSeed));
    EXPECT_EQ(hashtable_hash_identity(0x12345678), murmur3_fmix32(0x12345678));
}

TEST_F(HashTableTest, MakeSizesBucketsAndBound) {
    struct Case { uint32_t size; uint32_t kind; uint32_t buckets; uint32_t bound; } cases[] = {
        {0, HASH_KIND_BLOCK, 8, 6},  // 4 / 0.77 = 5.19 -> 8
        {3, HASH_KIND_MAP, 8, 6},
        {5, HASH_KIND_MAP, 8, 6},  // 6.49 -> 8
        {7, HASH_KIND_MAP, 16, 12},  // 9.09 -> 16
        {4000, HASH_KIND_WORDS, 16384, 12615},  // the symbol table: doubled to 8,000
        {3999, HASH_KIND_WORDS, 8192, 6307},
        {4000, HASH_KIND_MAP, 8192, 6307},
        {1024, HASH_KIND_NODES, 2048, 1576},
    };
    for (auto c : cases) {
        Off t = hashtable_make(c.size, nullptr, c.kind, 1);
        EXPECT_EQ(rec(t).buckets, c.buckets) << c.size << " kind " << c.kind;
        EXPECT_EQ(rec(t).bound, c.bound) << c.size << " kind " << c.kind;
        EXPECT_EQ(rec(t).entries, 0u);
        EXPECT_EQ(rec(t).kind, c.kind);
        const uint8_t* flags = node_buffer(rec(t).flags)->head_ptr();
        for (uint32_t i = 0; i < c.buckets / 4; i++) ASSERT_EQ(flags[i], 0xAA);
    }
    EXPECT_EQ(next_power_of_two(0), 1u);
    EXPECT_EQ(next_power_of_two(5), 8u);
    EXPECT_EQ(next_power_of_two(8), 8u);
    EXPECT_EQ(rec(hashtable_make(10, nullptr, HASH_KIND_OWNERS, 3)).index, 64u);  // entry stride
}

// ---- hashing --------------------------------------------------------------------

TEST_F(HashTableTest, StringsHashByCodePointWhateverTheUnit) {
    uint32_t h1 = hashtable_hash_value(&(const Cell&)str("abc", 1), false);
    Cell s2 = str("abc", 2), s4 = str("abc", 4), upper = str("ABC", 1);
    EXPECT_EQ(h1, hashtable_hash_value(&s2, false));
    EXPECT_EQ(h1, hashtable_hash_value(&s4, false));
    EXPECT_EQ(h1, hashtable_hash_value(&upper, false));
    EXPECT_EQ(h1, murmur_of_code_points(U"ABC"));
    EXPECT_NE(hashtable_hash_value(&upper, true), hashtable_hash_value(&s2, true));
    EXPECT_EQ(hashtable_hash_value(&upper, true), murmur_of_code_points(U"ABC"));
    // The hashed part runs from the head: "xabc" at index 1 is "abc".
    Cell shifted = str("xabc", 2);
    shifted.data1 = 1;
    EXPECT_EQ(hashtable_hash_value(&shifted, false), h1);
    // Past the tail: the empty text.
    shifted.data1 = 9;
    EXPECT_EQ(hashtable_hash_value(&shifted, false), murmur3_x86_32(nullptr, 0, kHashSeed));
    // file! and friends hash as text too.
    Cell file = str("abc");
    file.header = TYPE_FILE;
    EXPECT_EQ(hashtable_hash_value(&file, false), h1);
}

TEST_F(HashTableTest, NonAsciiCaseGoesThroughTheCaseSeam) {
    Cell lower = string_cell(U"caf\u00E9", 1), upper = string_cell(U"CAF\u00C9", 2);
    EXPECT_NE(hashtable_hash_value(&lower, false), hashtable_hash_value(&upper, false));
    g_hash_seams.upper_case = [](uint32_t c) { return c == 0xE9 ? 0xC9u : c; };
    EXPECT_EQ(hashtable_hash_value(&lower, false), hashtable_hash_value(&upper, false));
    EXPECT_TRUE(hash_default_cells_equal(&lower, &upper, HASH_EQUAL));
    EXPECT_FALSE(hash_default_cells_equal(&lower, &upper, HASH_STRICT));
}

TEST_F(HashTableTest, HashByType) {
    Cell unset{TYPE_UNSET, 5, 6, 7}, none{TYPE_NONE, 5, 6, 7};
    EXPECT_EQ(hashtable_hash_value(&unset, false), 0xFFFFFFFEu);
    EXPECT_EQ(hashtable_hash_value(&none, false), 0xFFFFFFFFu);
    Cell i = int_cell(42), ch{TYPE_CHAR, 9, 42, 9}, logic{TYPE_LOGIC, 1, 0, 0}, native{TYPE_NATIVE, 0, 0, 17};
    EXPECT_EQ(hashtable_hash_value(&i, false), hashtable_hash_identity(42));
    EXPECT_EQ(hashtable_hash_value(&ch, false), hashtable_hash_identity(42));
    EXPECT_EQ(hashtable_hash_value(&logic, false), hashtable_hash_identity(1));
    EXPECT_EQ(hashtable_hash_value(&native, false), hashtable_hash_identity(17));
    Cell blk{TYPE_BLOCK, 3, 0x1234, 99};
    EXPECT_EQ(hashtable_hash_value(&blk, false), hashtable_hash_bytes(&blk.data1, 8));
    Cell fl{TYPE_FLOAT, 77, 0, 0};
    cell_put_float(&fl, 1.5);
    EXPECT_EQ(hashtable_hash_value(&fl, false), hashtable_hash_bytes(&fl.data2, 8));
    Cell other{TYPE_BITSET, 1, 2, 3};
    EXPECT_EQ(hashtable_hash_value(&other, false), 0u);
    // Tuples that compare equal hash alike: 1.2.3 and 1.2.3.0.
    Cell t3{TYPE_TUPLE | (3u << 19), 0x00030201, 0, 0}, t4{TYPE_TUPLE | (4u << 19), 0x00030201, 0, 0};
    EXPECT_EQ(hashtable_hash_value(&t3, false), hashtable_hash_value(&t4, false));
    Cell t5{TYPE_TUPLE | (4u << 19), 0x04030201, 0, 0};
    EXPECT_NE(hashtable_hash_value(&t3, false), hashtable_hash_value(&t5, false));
    // Address-dependent types.
    EXPECT_TRUE(hashtable_identity_type_q(&blk));
    EXPECT_TRUE(hashtable_identity_type_q(&native));
    EXPECT_FALSE(hashtable_identity_type_q(&i));
    Cell s = str("x");
    EXPECT_FALSE(hashtable_identity_type_q(&s));
}

TEST_F(HashTableTest, SymbolsAndWordsHashCaseInsensitively) {
    Cell foo = symbol_cell("Foo"), low = symbol_cell("foo");
    EXPECT_EQ(hashtable_hash_symbol(&foo), hashtable_hash_bytes("foo", 3));
    EXPECT_EQ(hashtable_hash_value(&foo, false), hashtable_hash_value(&low, false));
    Cell longer = symbol_cell("Hello-World");  // blocks and a 3-byte tail
    EXPECT_EQ(hashtable_hash_symbol(&longer), hashtable_hash_bytes("hello-world", 11));
    // Words hash through their symbol's canonical id: 7 is an alias of 3.
    g_hash_seams.symbol_canonical = [](uint32_t id) { return id == 7 ? 3u : id; };
    Cell w3 = word_cell(3), w7 = word_cell(7, TYPE_SET_WORD), w8 = word_cell(8);
    EXPECT_EQ(hashtable_hash_value(&w3, false), hashtable_hash_identity(3));
    EXPECT_EQ(hashtable_hash_value(&w7, false), hashtable_hash_identity(3));
    EXPECT_NE(hashtable_hash_value(&w8, false), hashtable_hash_identity(3));
}

// ---- kind 0: hash! -------------------------------------------------------------

TEST_F(HashTableTest, HashChainsEqualCellsAndLooksUpByHeadSkipAndDirection) {
    Off block = make_block({int_cell(1), int_cell(2), int_cell(1), int_cell(3), int_cell(1)});
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(5, &bc, HASH_KIND_BLOCK, 0);
    EXPECT_EQ(rec(t).entries, 3u);  // distinct keys
    EXPECT_EQ(rec(t).occupied, 3u);
    // The three 1s share one bucket naming a chain of three indexes.
    Cell one = int_cell(1);
    uint32_t bucket = hashtable_hash_value(&one, false) & (rec(t).buckets - 1);
    int32_t k = hashtable_keys(t)[bucket];
    ASSERT_LT(k, 0);
    Off chain = reinterpret_cast<uint32_t*>(node_buffer(rec(t).chains)->head_ptr())[-k - 1];
    ASSERT_EQ(node_buffer(chain)->used_bytes(), 12u);
    const uint32_t* members = reinterpret_cast<uint32_t*>(node_buffer(chain)->head_ptr());
    EXPECT_EQ(members[0], 0u);
    EXPECT_EQ(members[1], 2u);
    EXPECT_EQ(members[2], 4u);

    struct Case { int32_t key, head, skip; bool last, reverse; int32_t expect; } cases[] = {
        {1, 0, 1, false, false, 0}, {1, 1, 1, false, false, 2}, {1, 2, 1, false, false, 2},
        {1, 3, 1, false, false, 4}, {1, 5, 1, false, false, -1}, {1, 0, 1, true, false, 4},
        {1, 4, 1, false, true, 2},  {1, 0, 1, false, true, -1},  {1, 1, 2, false, false, -1},
        {1, 0, 4, false, false, 0}, {1, 1, 3, false, false, 4},  {3, 0, 1, false, false, 3},
        {9, 0, 1, false, false, -1},
    };
    for (auto c : cases)
        EXPECT_EQ(find_index(t, int_cell(c.key), c.head, c.skip, HASH_EQUAL, c.last, c.reverse), c.expect)
            << "key " << c.key << " head " << c.head << " skip " << c.skip << " last " << c.last << " reverse "
            << c.reverse;
}

TEST_F(HashTableTest, HashChainsJoinOnEqualAndLookupFiltersByMode) {
    Off block = make_block({str("abc"), str("ABC"), str("Abc", 2)});
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(3, &bc, HASH_KIND_BLOCK, 0);
    EXPECT_EQ(rec(t).entries, 1u);
    EXPECT_EQ(find_index(t, str("aBc")), 0);
    EXPECT_EQ(find_index(t, str("ABC", 4), 0, 1, HASH_STRICT), 1);
    EXPECT_EQ(find_index(t, str("Abc"), 0, 1, HASH_STRICT), 2);
    EXPECT_EQ(find_index(t, str("aBc"), 0, 1, HASH_STRICT), -1);
    EXPECT_EQ(find_index(t, str("abc"), 1, 1, HASH_EQUAL), 1);
}

TEST_F(HashTableTest, HashDeleteLeavesChainsAndReusesDeletedBuckets) {
    Off block = make_block({int_cell(1), int_cell(2), int_cell(1), int_cell(3), int_cell(1)});
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(8, &bc, HASH_KIND_BLOCK, 0);
    hashtable_delete(t, cell_at(block, 2));
    EXPECT_EQ(rec(t).entries, 3u);  // the chain keeps members
    EXPECT_EQ(find_index(t, int_cell(1), 1), 4);
    hashtable_delete(t, cell_at(block, 2));  // twice: nothing
    hashtable_delete(t, cell_at(block, 0));
    hashtable_delete(t, cell_at(block, 4));
    EXPECT_EQ(rec(t).entries, 2u);
    EXPECT_EQ(find_index(t, int_cell(1)), -1);
    EXPECT_EQ(rec(t).occupied, 3u);  // the emptied chain's bucket is deleted, not empty
    // The same key comes back into its deleted bucket.
    uint32_t i = append(block, int_cell(1));
    int code;
    hashtable_put_key(t, cell_at(block, i), &code);
    EXPECT_EQ(code, HASH_PUT_NEW);
    EXPECT_EQ(rec(t).occupied, 3u);
    EXPECT_EQ(rec(t).entries, 3u);
    EXPECT_EQ(find_index(t, int_cell(1)), static_cast<int32_t>(i));
    // A plain bucket deleted and reused the same way.
    hashtable_delete(t, cell_at(block, 1));
    EXPECT_EQ(find_index(t, int_cell(2)), -1);
    uint32_t j = append(block, int_cell(2));
    hashtable_put(t, cell_at(block, j));
    EXPECT_EQ(rec(t).occupied, 3u);
    EXPECT_EQ(find_index(t, int_cell(2)), static_cast<int32_t>(j));
    // Putting an indexed cell again re-indexes it, never duplicates it.
    hashtable_put(t, cell_at(block, j));
    EXPECT_EQ(find_index(t, int_cell(2), 0, 1, HASH_EQUAL, true), static_cast<int32_t>(j));
    hashtable_delete(t, cell_at(block, j));
    EXPECT_EQ(find_index(t, int_cell(2)), -1);
    // A cell outside the block is refused.
    Cell loose = int_cell(5);
    EXPECT_EQ(hashtable_put(t, &loose), nullptr);
}

TEST_F(HashTableTest, HashGrowthRebuildsAndKeepsEveryCell) {
    Off block = make_block({});
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(0, &bc, HASH_KIND_BLOCK, 0);
    int rebuilds = 0;
    for (int32_t v = 0; v < 3000; v++) {
        uint32_t i = append(block, int_cell(v % 1000));  // every key three times
        int code;
        hashtable_put_key(t, cell_at(block, i), &code);
        rebuilds += code == HASH_PUT_REBUILT;
        ASSERT_LT(rec(t).occupied, rec(t).buckets);
    }
    EXPECT_GT(rebuilds, 0);
    EXPECT_EQ(rec(t).entries, 1000u);
    for (int32_t v = 0; v < 1000; v++) {
        ASSERT_EQ(find_index(t, int_cell(v)), v);
        ASSERT_EQ(find_index(t, int_cell(v), v + 1), v + 1000);
        ASSERT_EQ(find_index(t, int_cell(v), 0, 1, HASH_EQUAL, true), v + 2000);
    }
}

TEST_F(HashTableTest, HashIndexingAnOversizedBlockIndexesEachCellOnce) {
    // Made for 0 cells over 100: the index is rebuilt mid-way, which indexes
    // every cell; no cell may end up indexed twice.
    std::vector<Cell> cells;
    for (int32_t v = 0; v < 100; v++) cells.push_back(int_cell(v % 40));
    Off block = make_block(cells);
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(0, &bc, HASH_KIND_BLOCK, 0);
    EXPECT_EQ(rec(t).entries, 40u);
    // Every key occurs at least twice, so every cell sits in exactly one
    // chain, exactly once.
    std::vector<int> seen(100, 0);
    const uint32_t* list = reinterpret_cast<uint32_t*>(node_buffer(rec(t).chains)->head_ptr());
    for (uint32_t c = 0; c < node_buffer(rec(t).chains)->used_bytes() / 4; c++) {
        if (!list[c]) continue;
        const uint32_t* members = reinterpret_cast<uint32_t*>(node_buffer(list[c])->head_ptr());
        for (uint32_t m = 0; m < node_buffer(list[c])->used_bytes() / 4; m++) seen.at(members[m])++;
    }
    EXPECT_EQ(seen, std::vector<int>(100, 1));
    EXPECT_EQ(find_index(t, int_cell(0), 41), 80);
    EXPECT_EQ(find_index(t, int_cell(39), 0, 1, HASH_EQUAL, true), 79);
}

TEST_F(HashTableTest, HashRangesFollowRemovalInsertionAndMoves) {
    auto make = [](std::vector<int32_t> values, Off* block) {
        std::vector<Cell> cells;
        for (int32_t v : values) cells.push_back(int_cell(v));
        *block = make_block(cells);
        Cell bc = block_of(*block, TYPE_HASH);
        return hashtable_make(static_cast<uint32_t>(values.size()), &bc, HASH_KIND_BLOCK, 0);
    };
    auto expect_order = [](Off t, Off block) {
        for (uint32_t i = 0; i < length_of(block); i++) {
            Cell c = *cell_at(block, i);
            EXPECT_EQ(find_index(t, c), static_cast<int32_t>(i)) << c.data2;
        }
    };
    Off block;
    // Remove cells 1-2, close the gap, shift what followed.
    Off t = make({10, 20, 30, 40, 50}, &block);
    hashtable_remove_range(t, 1, 2);
    std::memmove(cell_at(block, 1), cell_at(block, 3), 32);
    node_buffer(block)->tail -= 32;
    EXPECT_EQ(hashtable_shift_indexes(t, 3, -2, true), 0);
    EXPECT_EQ(rec(t).entries, 3u);
    EXPECT_EQ(find_index(t, int_cell(20)), -1);
    expect_order(t, block);
    hashtable_delete(t, cell_at(block, 1));  // the reverse index moved too
    EXPECT_EQ(find_index(t, int_cell(40)), -1);

    // Insert in the middle: open a gap, shift, index the new cell.
    t = make({10, 20, 30}, &block);
    append(block, int_cell(0));
    std::memmove(cell_at(block, 2), cell_at(block, 1), 32);
    *cell_at(block, 1) = int_cell(99);
    EXPECT_EQ(hashtable_shift_indexes(t, 1, 1, true), 0);
    hashtable_put(t, cell_at(block, 1));
    expect_order(t, block);
    hashtable_delete(t, cell_at(block, 3));
    EXPECT_EQ(find_index(t, int_cell(30)), -1);
    EXPECT_EQ(find_index(t, int_cell(20)), 2);

    // Move cells 0-1 to before cell 4: [a b c d e] -> [c d a b e]; and back.
    t = make({10, 20, 30, 40, 50}, &block);
    std::vector<Cell> moved = {*cell_at(block, 2), *cell_at(block, 3), *cell_at(block, 0), *cell_at(block, 1)};
    std::memcpy(cell_at(block, 0), moved.data(), 64);
    EXPECT_EQ(hashtable_move_entries(t, 0, 2, 4), 0);
    expect_order(t, block);
    moved = {*cell_at(block, 2), *cell_at(block, 3), *cell_at(block, 0), *cell_at(block, 1)};
    std::memcpy(cell_at(block, 0), moved.data(), 64);
    EXPECT_EQ(hashtable_move_entries(t, 2, 2, 0), 0);
    expect_order(t, block);
    EXPECT_EQ(hashtable_move_entries(t, 1, 2, 2), 0);  // target inside the range: nothing
    expect_order(t, block);
    hashtable_delete(t, cell_at(block, 0));
    EXPECT_EQ(find_index(t, int_cell(10)), -1);
    EXPECT_EQ(find_index(t, int_cell(20)), 1);

    // The whole block: the table resets.
    t = make({1, 1, 2}, &block);
    hashtable_remove_range(t, 0, 99);
    EXPECT_EQ(rec(t).entries, 0u);
    EXPECT_EQ(rec(t).occupied, 0u);
    EXPECT_EQ(find_index(t, int_cell(1)), -1);
    EXPECT_EQ(node_buffer(rec(t).chains)->used_bytes(), 0u);
}

TEST_F(HashTableTest, ShiftingGivesUpAboveThirtyThousandEntries) {
    std::vector<Cell> cells;
    for (int32_t v = 0; v < 30001; v++) cells.push_back(int_cell(v));
    Off block = make_block(cells);
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(30001, &bc, HASH_KIND_BLOCK, 0);
    ASSERT_EQ(rec(t).entries, 30001u);
    EXPECT_EQ(hashtable_shift_indexes(t, 0, 5, true), 1);
    EXPECT_EQ(hashtable_move_entries(t, 0, 2, 10), 1);
    EXPECT_EQ(find_index(t, int_cell(7)), 7);
    EXPECT_EQ(find_index(t, int_cell(30000)), 30000);
}

TEST_F(HashTableTest, TagsFollowEveryChangeOfAHashIndex) {
    Off block = make_block({int_cell(1), str("ab"), int_cell(1), int_cell(2), str("AB"), int_cell(3)});
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(0, &bc, HASH_KIND_BLOCK, 0);
    expect_tags_agree(t, "made");
    hashtable_delete(t, cell_at(block, 0));  // a chain member
    hashtable_delete(t, cell_at(block, 3));  // a plain bucket
    expect_tags_agree(t, "deleted");
    hashtable_delete(t, cell_at(block, 2));  // the chain empties
    expect_tags_agree(t, "chain emptied");
    EXPECT_EQ(find_index(t, int_cell(1)), -1);
    uint32_t i = append(block, int_cell(2));  // back into a deleted bucket
    hashtable_put(t, cell_at(block, i));
    EXPECT_EQ(find_index(t, int_cell(2)), static_cast<int32_t>(i));
    expect_tags_agree(t, "reused");
    for (int32_t v = 100; v < 400; v++) hashtable_put(t, cell_at(block, append(block, int_cell(v % 150))));
    expect_tags_agree(t, "grown");
    hashtable_remove_range(t, 10, 50);
    expect_tags_agree(t, "range removed");
    Off copy = hashtable_copy(t);
    expect_tags_agree(copy, "copied");
    hashtable_remove_range(t, 0, length_of(block));
    expect_tags_agree(t, "whole range removed");
    hashtable_clear(copy);
    expect_tags_agree(copy, "cleared");
    EXPECT_EQ(find_index(copy, int_cell(149)), -1);
    hashtable_put(copy, cell_at(rec(copy).block, append(rec(copy).block, int_cell(149))));
    EXPECT_EQ(find_index(copy, int_cell(149)), 0);
    expect_tags_agree(copy, "refilled");
}


TEST_F(HashTableTest, MapFoldsRepeatedKeysIntoTheFirstPair) {
    Off block = make_block({int_cell(1), str("one"), int_cell(2), str("two"), int_cell(1), str("uno")});
    Cell mc = block_of(block);
    Off t = hashtable_make(3, &mc, HASH_KIND_MAP, 0);
    EXPECT_EQ(rec(t).entries, 2u);
    ASSERT_EQ(length_of(block), 4u);
    Cell* key = hashtable_get(t, &(const Cell&)int_cell(1));
    ASSERT_EQ(index_of(block, key), 0u);
    EXPECT_EQ(hashtable_hash_value(key + 1, true), hashtable_hash_value(&(const Cell&)str("uno"), true));
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)int_cell(2))), 2u);
}

TEST_F(HashTableTest, MapWordKeysMeetAsSetWords) {
    Off block = make_block({word_cell(5, TYPE_SET_WORD), int_cell(1), word_cell(5, TYPE_LIT_WORD), int_cell(2),
                            word_cell(6, TYPE_WORD), int_cell(3)});
    Cell mc = block_of(block);
    Off t = hashtable_make(3, &mc, HASH_KIND_MAP, 0);
    EXPECT_EQ(rec(t).entries, 2u);
    ASSERT_EQ(length_of(block), 4u);
    EXPECT_EQ(cell_at(block, 1)->data2, 2u);
    EXPECT_TRUE(cell_at(block, 2)->is(TYPE_SET_WORD));  // normalised by the map! seam
    for (uint32_t type : {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD}) {
        Cell k = word_cell(5, type);
        EXPECT_EQ(index_of(block, hashtable_get(t, &k, 0, 1, HASH_STRICT)), 0u) << type;
        EXPECT_EQ(k.type(), type);  // the caller's key is not changed
    }
    Cell refinement = word_cell(5, TYPE_REFINEMENT);
    EXPECT_EQ(hashtable_get(t, &refinement), nullptr);
}

TEST_F(HashTableTest, MapStringKeysAreStrictButLookupsMayIgnoreCase) {
    Off block = make_block({str("abc"), int_cell(1), str("ABC"), int_cell(2)});
    Cell mc = block_of(block);
    Off t = hashtable_make(2, &mc, HASH_KIND_MAP, 0);
    EXPECT_EQ(rec(t).entries, 2u);
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)str("ABC"), 0, 1, HASH_STRICT)), 2u);
    EXPECT_NE(hashtable_get(t, &(const Cell&)str("aBc")), nullptr);
    EXPECT_EQ(hashtable_get(t, &(const Cell&)str("aBc"), 0, 1, HASH_STRICT), nullptr);
    // Iterating every key equal? to "Abc".
    Cell key = str("Abc", 4);
    int32_t cursor = -1;
    std::vector<uint32_t> seen;
    while (Cell* c = hashtable_get_from(t, &key, &cursor)) seen.push_back(index_of(block, c));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, 2}));
    EXPECT_EQ(hashtable_get_from(t, &key, &cursor), nullptr);  // stays at the end
}

TEST_F(HashTableTest, MapRemovalKeepsThePairAndReinsertionRevivesIt) {
    Off block = make_block({int_cell(1), int_cell(10), int_cell(2), int_cell(20)});
    Cell mc = block_of(block);
    Off t = hashtable_make(2, &mc, HASH_KIND_MAP, 0);
    Cell* key = hashtable_get(t, &(const Cell&)int_cell(1));
    hashtable_delete(t, key);
    EXPECT_EQ(cell_at(block, 1)->header, 0u);
    EXPECT_EQ(rec(t).entries, 1u);
    hashtable_delete(t, cell_at(block, 0));  // twice: counted once
    EXPECT_EQ(rec(t).entries, 1u);
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)int_cell(1))), 0u);  // the key stays
    uint32_t i = append(block, int_cell(1));
    append(block, int_cell(11));
    hashtable_put_all(t, i, 2);
    EXPECT_EQ(length_of(block), 4u);
    EXPECT_EQ(cell_at(block, 1)->header, uint32_t(TYPE_INTEGER));
    EXPECT_EQ(cell_at(block, 1)->data2, 11u);
    EXPECT_EQ(rec(t).entries, 2u);
}

TEST_F(HashTableTest, MapGrowthKeepsEveryKey) {
    Off block = make_block({});
    Cell mc = block_of(block);
    Off t = hashtable_make(0, &mc, HASH_KIND_MAP, 0);
    for (int32_t v = 0; v < 20000; v++) {
        uint32_t i = append(block, int_cell(v * 7919));
        append(block, int_cell(v));
        hashtable_put(t, cell_at(block, i));
    }
    EXPECT_EQ(rec(t).entries, 20000u);
    EXPECT_GE(rec(t).bound, 20000u);
    for (int32_t v = 0; v < 20000; v++) {
        Cell* k = hashtable_get(t, &(const Cell&)int_cell(v * 7919));
        ASSERT_NE(k, nullptr);
        ASSERT_EQ(k[1].data2, static_cast<uint32_t>(v));
    }
    EXPECT_EQ(hashtable_get(t, &(const Cell&)int_cell(-1)), nullptr);
    // Putting a present key finds it and adds nothing.
    uint32_t i = append(block, int_cell(7919));
    int code;
    Cell* stored = hashtable_put_key(t, cell_at(block, i), &code);
    EXPECT_EQ(code, HASH_PUT_FOUND);
    EXPECT_EQ(index_of(block, stored), 2u);
    EXPECT_EQ(rec(t).entries, 20000u);
}

TEST_F(HashTableTest, TagsFollowEveryChangeOfAMap) {
    g_hash_seams.evacuation_count = test_evacuation_count;
    Off inner = alloc_cells(1);
    Off block = make_block({int_cell(1), int_cell(10), block_of(inner), int_cell(20), word_cell(7), int_cell(30),
                            str("k"), int_cell(40), int_cell(1), int_cell(11)});
    Cell mc = block_of(block);
    Off t = hashtable_make(0, &mc, HASH_KIND_MAP, 0);
    expect_tags_agree(t, "made");
    for (int32_t v = 0; v < 3000; v++) {
        uint32_t i = append(block, v % 2 ? int_cell(v) : str(std::to_string(v).c_str()));
        append(block, int_cell(v));
        hashtable_put(t, cell_at(block, i));
    }
    expect_tags_agree(t, "grown");
    hashtable_delete(t, hashtable_get(t, &(const Cell&)int_cell(1)));
    expect_tags_agree(t, "pair removed");
    // A block key moved by the collector: the next lookup rehashes.
    Off moved = alloc_cells(1);
    cell_at(block, 2)->data2 = moved;
    g_test_evacuations = 1;
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)block_of(moved))), 2u);
    expect_tags_agree(t, "refreshed");
    for (int32_t v = 0; v < 3000; v++) {
        Cell key = v % 2 ? int_cell(v) : str(std::to_string(v).c_str());
        ASSERT_NE(hashtable_get(t, &key), nullptr) << v;
    }
    // Copies: the full copy shares its texts with the original; a copy over a
    // block whose texts are copies takes the copies' nodes.
    expect_tags_agree(hashtable_copy(t), "copied");
    std::vector<Cell> cells;
    for (uint32_t i = 0, n = length_of(block); i < n; i++) cells.push_back(*cell_at(block, i));
    for (Cell& c : cells)
        if (c.is(TYPE_STRING)) c.data2 = series_copy_buffer(node_buffer(c.data2));
    Off deep = make_block(cells);
    Off over = hashtable_copy_for_block(t, deep);
    expect_tags_agree(over, "copied over copied texts");
    EXPECT_EQ(index_of(deep, hashtable_get(over, &(const Cell&)str("2"))), index_of(block, hashtable_get(t, &(const Cell&)str("2"))));
    // Keys whose text another hand replaced by an equal copy, or whose text
    // buffer moved: their buckets' pairs are out of date; the lookup goes
    // through the cell and the bucket follows.
    for (const char* text : {"40", "1998", "2", "1000"}) {
        uint32_t k = index_of(block, hashtable_get(t, &(const Cell&)str(text)));
        Off node = cell_at(block, k)->data2, buffer = node_word(node);
        if (text[0] == '1') {
            series_expand(node_buffer(node), 4096);
            ASSERT_NE(node_word(node), buffer);
        } else {
            Off copy = series_copy_buffer(node_buffer(node));
            cell_at(block, k)->data2 = copy;
        }
        EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)str(text))), k) << text;
    }
    expect_tags_agree(t, "key texts replaced, then looked up");
    hashtable_clear(t);
    expect_tags_agree(t, "cleared");
    EXPECT_EQ(hashtable_get(t, &(const Cell&)int_cell(3)), nullptr);
    // A map! whose key normaliser copies text keys as it indexes them.
    g_hash_seams.map_normalize_key = [](Cell* key, Cell* value) {
        hash_default_map_normalize_key(key, value);
        if (key->is(TYPE_STRING)) {
            Off copy = series_copy_buffer(node_buffer(key->data2));
            key->data2 = copy;
        }
    };
    std::vector<Cell> pairs;
    for (int32_t v = 0; v < 100; v++) {
        std::string text = std::to_string(v);
        text += "k";
        pairs.push_back(str(text.c_str()));
        pairs.push_back(int_cell(v));
    }
    Off pb = make_block(pairs);
    Cell pc = block_of(pb);
    Off normalized = hashtable_make(0, &pc, HASH_KIND_MAP, 0);
    EXPECT_NE(cell_at(pb, 0)->data2, pairs[0].data2);
    expect_tags_agree(normalized, "keys normalised");
}

// String keys take a lookup that compares the stored text's bytes and only
// calls the comparison for other candidates: its answers must be the
// comparison's, whatever the width, head, length, case or type.
TEST_F(HashTableTest, TextKeysMatchAsTheComparisonSays) {
    Off block = make_block({});
    Cell mc = block_of(block);
    Off t = hashtable_make(0, &mc, HASH_KIND_MAP, 0);
    auto add = [&](Cell key) {
        uint32_t i = append(block, key);
        append(block, int_cell(static_cast<int32_t>(i)));
        hashtable_put(t, cell_at(block, i));
        return static_cast<int32_t>(i);
    };
    auto find = [&](Cell key, uint32_t mode = HASH_EQUAL) {
        Cell* c = hashtable_get(t, &key, 0, 1, mode);
        return c ? static_cast<int32_t>(index_of(block, c)) : -1;
    };
    // Every length across the comparison's byte-run sizes, and a near miss
    // in the last character of each.
    std::vector<int32_t> at;
    std::vector<std::string> texts;
    for (uint32_t n = 0; n <= 40; n++) {
        std::string text;
        for (uint32_t i = 0; i < n; i++) text += static_cast<char>('a' + (i * 7 + n) % 26);
        texts.push_back(text);
        at.push_back(add(str(text.c_str())));
    }
    for (uint32_t n = 0; n <= 40; n++) {
        std::string text = texts[n], upper = text, last_upper = text, miss = text + "x";
        for (char& c : upper) c = static_cast<char>(c - 32);
        if (n) {
            miss = text.substr(0, n - 1) + "#";
            last_upper[n - 1] = static_cast<char>(last_upper[n - 1] - 32);  // same hash, bytes differ at the end
        }
        ASSERT_EQ(find(str(text.c_str())), at[n]) << n;
        ASSERT_EQ(find(str(text.c_str()), HASH_STRICT), at[n]) << n;
        ASSERT_EQ(find(str(upper.c_str())), at[n]) << n;
        ASSERT_EQ(find(str(upper.c_str()), HASH_STRICT), n ? -1 : at[n]) << n;
        ASSERT_EQ(find(str(last_upper.c_str())), at[n]) << n;
        ASSERT_EQ(find(str(last_upper.c_str()), HASH_STRICT), n ? -1 : at[n]) << n;
        ASSERT_EQ(find(str(text.c_str(), 2)), at[n]) << n;  // another width: the comparison decides
        ASSERT_EQ(find(str(text.c_str(), 4), HASH_STRICT), at[n]) << n;
        ASSERT_EQ(find(str(miss.c_str())), -1) << n;
    }
    // Heads: the key's and the stored one's.
    Cell shifted = str("zzhello");
    shifted.data1 = 2;
    int32_t hello = add(str("hello"));
    EXPECT_EQ(find(shifted), hello);
    Cell stored = str("__world", 2);
    stored.data1 = 2;
    int32_t world = add(stored);
    EXPECT_EQ(find(str("world")), world);
    EXPECT_EQ(find(str("WORLD", 4)), world);
    EXPECT_EQ(find(str("_world")), -1);
    // Same text, other type: another key.
    Cell file = str("hello");
    file.header = TYPE_FILE;
    EXPECT_EQ(find(file), -1);
    int32_t file_at = add(file);
    EXPECT_EQ(find(file), file_at);
    EXPECT_EQ(find(str("hello")), hello);
    // same? compares identity, not text.
    EXPECT_EQ(find(str("hello"), HASH_SAME), -1);
    EXPECT_EQ(find(*cell_at(block, static_cast<uint32_t>(hello)), HASH_SAME), hello);
    // Non-ASCII text: case through the seam, at any width.
    g_hash_seams.upper_case = [](uint32_t c) { return c == 0xE9 ? 0xC9u : c; };
    int32_t cafe = add(string_cell(U"caf\u00E9", 1));
    EXPECT_EQ(find(string_cell(U"CAF\u00C9", 1)), cafe);
    EXPECT_EQ(find(string_cell(U"caf\u00E9", 2), HASH_STRICT), cafe);
    EXPECT_EQ(find(string_cell(U"CAF\u00C9", 4), HASH_STRICT), -1);
}

TEST_F(HashTableTest, TextHashesAgreeAcrossWidthsWithHighCharactersAnywhere) {
    // The hash of a unit-1 text takes a shortcut when every byte is below
    // 128: a byte of 128 or more at any place must take the long way.
    for (uint32_t n = 1; n <= 24; n++) {
        for (uint32_t at = 0; at < n; at++) {
            std::u32string text, folded;
            for (uint32_t i = 0; i < n; i++) {
                char32_t c = i == at ? 0xE9 : U'a' + (i % 26);
                text += c;
                folded += c < 128 ? c - 32 : c;
            }
            uint32_t want = murmur_of_code_points(folded);
            for (uint32_t unit : {1u, 2u, 4u}) {
                Cell s = string_cell(text, unit);
                ASSERT_EQ(hashtable_hash_value(&s, false), want) << n << " " << at << " unit " << unit;
                ASSERT_EQ(hashtable_hash_value(&s, true), murmur_of_code_points(text)) << n << " " << at;
            }
        }
    }
}

TEST_F(HashTableTest, IntegerKeysPastTheBlocksTailAreNotFound) {
    Off block = make_block({int_cell(1), int_cell(10), int_cell(2), int_cell(20)});
    Cell mc = block_of(block);
    Off t = hashtable_make(2, &mc, HASH_KIND_MAP, 0);
    node_buffer(block)->tail -= 32;  // the block lost its last pair behind the table's back
    EXPECT_EQ(hashtable_get(t, &(const Cell&)int_cell(2)), nullptr);
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)int_cell(1))), 0u);
}

// ---- kind 2: symbols and words ---------------------------------------------------

TEST_F(HashTableTest, SymbolTableFindsNamesExactlyOrIgnoringCase) {
    Off block = make_block({symbol_cell("foo"), symbol_cell("Foo"), symbol_cell("bar")});
    Cell bc = block_of(block);
    Off t = hashtable_make(4000, &bc, HASH_KIND_WORDS, 1);
    EXPECT_EQ(rec(t).buckets, 16384u);
    EXPECT_EQ(rec(t).entries, 3u);
    Cell probe = symbol_cell("FOO");
    EXPECT_EQ(index_of(block, hashtable_get(t, &probe)), 0u);
    EXPECT_EQ(hashtable_get(t, &probe, 0, 1, HASH_STRICT), nullptr);
    Cell exact = symbol_cell("Foo");
    EXPECT_EQ(index_of(block, hashtable_get(t, &exact, 0, 1, HASH_STRICT)), 1u);
    EXPECT_EQ(hashtable_get(t, &(const Cell&)symbol_cell("baz")), nullptr);
}

TEST_F(HashTableTest, WordsTableFollowsCanonicalIdsAndCopiesWithItsContext) {
    g_hash_seams.symbol_canonical = [](uint32_t id) { return id == 12 ? 11u : id; };
    Off block = make_block({Cell{TYPE_WORD, 0, 11, 0}, Cell{TYPE_WORD, 0, 20, 1}});
    Cell bc = block_of(block);
    Off t = hashtable_make(2, &bc, HASH_KIND_WORDS, 1);
    Cell twin = word_cell(12);
    EXPECT_EQ(index_of(block, hashtable_get(t, &twin)), 0u);
    EXPECT_EQ(hashtable_get(t, &twin, 0, 1, HASH_STRICT), nullptr);
    // A words table grows by rehashing and keeps its slots.
    for (uint32_t id = 100; id < 1100; id++) {
        uint32_t i = append(block, Cell{TYPE_WORD, 0, id, id});
        hashtable_put(t, cell_at(block, i));
    }
    EXPECT_EQ(rec(t).entries, 1002u);
    for (uint32_t id = 100; id < 1100; id++) ASSERT_EQ(index_of(block, hashtable_get(t, &(const Cell&)word_cell(id))), id - 98);
    // Made with extra 2 from an existing table: a copy sharing no buffer.
    Cell holder{TYPE_NONE, 0, t, 0};
    Off copy = hashtable_make(0, &holder, HASH_KIND_WORDS, 2);
    EXPECT_NE(copy, t);
    EXPECT_EQ(rec(copy).entries, rec(t).entries);
    EXPECT_NE(rec(copy).block, rec(t).block);
    EXPECT_NE(rec(copy).keys, rec(t).keys);
    Cell* slot = hashtable_get(copy, &(const Cell&)word_cell(500));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->data3, 500u);
    hashtable_delete(copy, slot);
    EXPECT_EQ(hashtable_get(copy, &(const Cell&)word_cell(500)), nullptr);
    EXPECT_NE(hashtable_get(t, &(const Cell&)word_cell(500)), nullptr);
}

TEST_F(HashTableTest, WordsTablesFilledThroughTheirFlagsAndKeysAreFound) {
    // The symbol subsystem probes and fills words tables itself, through the
    // flags and keys alone: lookups of this engine must see those entries.
    Off block = make_block({word_cell(40), word_cell(41)});
    Cell bc = block_of(block);
    Off t = hashtable_make(8, &bc, HASH_KIND_WORDS, 0);
    EXPECT_EQ(hashtable_tags(t), nullptr);
    uint32_t i = append(block, word_cell(42));
    Cell* key = cell_at(block, i);
    uint32_t b = hashtable_hash_value(key, false) & (rec(t).buckets - 1);
    uint32_t* flags = reinterpret_cast<uint32_t*>(node_buffer(rec(t).flags)->head_ptr());
    int32_t* keys = reinterpret_cast<int32_t*>(node_buffer(rec(t).keys)->head_ptr());
    for (uint32_t step = 0; !hash_flag_empty(flags, b);) b = (b + ++step) & (rec(t).buckets - 1);
    keys[b] = static_cast<int32_t>(i);
    hash_flag_set_live(flags, b);
    rec(t).entries++;
    rec(t).occupied++;
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)word_cell(42))), i);
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)word_cell(40))), 0u);
}

// ---- kinds 3 and 4: node keys --------------------------------------------------------

TEST_F(HashTableTest, NodeTablePutGetDeleteAndReuse) {
    Off t = hashtable_make(8, nullptr, HASH_KIND_NODES, 1);
    Cell* v = hashtable_put_node(t, 0x5000);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->header, uint32_t(TYPE_UNSET));
    EXPECT_EQ(v[-1].data1, 0x5000u);
    *v = int_cell(77);
    EXPECT_EQ(hashtable_get_node(t, 0x5000)->data2, 77u);
    EXPECT_EQ(hashtable_put_node(t, 0x5000)->data2, 77u);  // found: the value stays
    EXPECT_EQ(rec(t).entries, 1u);
    EXPECT_EQ(hashtable_get_node(t, 0x6000), nullptr);
    uint32_t used = node_buffer(rec(t).block)->used_bytes();
    hashtable_delete_node(t, 0x5000);
    EXPECT_EQ(hashtable_get_node(t, 0x5000), nullptr);
    EXPECT_EQ(rec(t).entries, 0u);
    EXPECT_EQ(rec(t).occupied, 1u);
    // Back into its deleted bucket and old entry: the block does not grow.
    v = hashtable_put_node(t, 0x5000);
    EXPECT_EQ(v->header, uint32_t(TYPE_UNSET));
    EXPECT_EQ(node_buffer(rec(t).block)->used_bytes(), used);
    EXPECT_EQ(rec(t).occupied, 1u);
    hashtable_delete_node(t, 0x7777);  // absent: nothing
    EXPECT_EQ(rec(t).entries, 1u);
}

TEST_F(HashTableTest, NodeTableGrowthKeepsEveryValue) {
    Off t = hashtable_make(0, nullptr, HASH_KIND_NODES, 2);
    for (uint32_t i = 0; i < 5000; i++) {
        Cell* v = hashtable_put_node(t, 0x10000 + 4 * i);
        v[0] = int_cell(static_cast<int32_t>(i));
        v[1] = int_cell(static_cast<int32_t>(i * 2));
        if (i % 3 == 0 && i) hashtable_delete_node(t, 0x10000 + 4 * (i - 1));
        ASSERT_LT(rec(t).occupied, rec(t).buckets);
    }
    expect_tags_agree(t, "grown");
    for (uint32_t i = 0; i < 5000; i++) {
        Cell* v = hashtable_get_node(t, 0x10000 + 4 * i);
        if (i % 3 == 2 && i < 4999) {
            ASSERT_EQ(v, nullptr) << i;
            continue;
        }
        ASSERT_NE(v, nullptr) << i;
        ASSERT_EQ(v[0].data2, i);
        ASSERT_EQ(v[1].data2, i * 2);
    }
}

TEST_F(HashTableTest, OwnersSweepDropsDeadKeysAndDeadOwners) {
    Off t = hashtable_make(16, nullptr, HASH_KIND_OWNERS, 3);
    Off live_key = alloc_bytes(8), dead_key = alloc_bytes(8), orphan_key = alloc_bytes(8);
    Off live_ctx = alloc_cells(2), dead_ctx = alloc_cells(2);
    struct Entry { Off key, ctx; } entries[] = {{live_key, live_ctx}, {dead_key, live_ctx}, {orphan_key, dead_ctx}};
    for (auto e : entries) {
        Cell* v = hashtable_put_node(t, e.key);
        v[0] = Cell{TYPE_BINARY, 0, e.key, 0};
        v[1] = Cell{TYPE_OBJECT, e.ctx, 0, 0};
        v[2] = word_cell(3);
    }
    // The owners table is weak: marking it keeps no key alive.
    uint32_t slot = t;
    hashtable_mark(&slot);
    EXPECT_TRUE(marked(t));
    EXPECT_TRUE(marked(rec(t).block));
    EXPECT_FALSE(marked(live_key));
    node_buffer(live_key)->flags |= SERIES_MARK;
    node_buffer(orphan_key)->flags |= SERIES_MARK;
    node_buffer(live_ctx)->flags |= SERIES_MARK;
    hashtable_sweep(t);
    expect_tags_agree(t, "swept");
    EXPECT_EQ(rec(t).entries, 1u);
    EXPECT_NE(hashtable_get_node(t, live_key), nullptr);
    EXPECT_EQ(hashtable_get_node(t, dead_key), nullptr);
    EXPECT_EQ(hashtable_get_node(t, orphan_key), nullptr);
    for (Off n : {t, rec(t).flags, rec(t).block, live_key, orphan_key, live_ctx}) unmark(n);
}

TEST_F(HashTableTest, MarkReachesEveryBufferOfATable) {
    Off block = make_block({int_cell(1), int_cell(1), int_cell(2)});
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(3, &bc, HASH_KIND_BLOCK, 0);
    Off chain = reinterpret_cast<uint32_t*>(node_buffer(rec(t).chains)->head_ptr())[0];
    uint32_t slot = t;
    hashtable_mark(&slot);
    std::vector<Off> all = {t, rec(t).index, rec(t).chains, chain, rec(t).flags, block};
    for (Off n : all) EXPECT_TRUE(marked(n)) << n;
    for (Off n : all) unmark(n);
    // A node-keyed table of kind 3 keeps its keys alive.
    Off nodes = hashtable_make(4, nullptr, HASH_KIND_NODES, 0);
    Off key = alloc_bytes(4);
    hashtable_put_node(nodes, key);
    slot = nodes;
    hashtable_mark(&slot);
    EXPECT_TRUE(marked(key));
    for (Off n : {nodes, rec(nodes).flags, rec(nodes).block, key}) unmark(n);
}

// ---- stale address hashes ----------------------------------------------------------------

TEST_F(HashTableTest, EvacuationMakesAddressHashesStaleAndLookupsRehash) {
    g_hash_seams.evacuation_count = test_evacuation_count;
    g_hash_seams.collecting = test_collecting;
    // Node-keyed: the collector repoints the key cell to the node's new place.
    Off t = hashtable_make(8, nullptr, HASH_KIND_NODES, 1);
    EXPECT_EQ(rec(t).epoch, 1u);
    for (uint32_t n = 0; n < 6; n++) hashtable_put_node(t, 0x9000 + 4 * n)->data2 = n;
    Cell* v = hashtable_get_node(t, 0x9000);
    v[-1].data1 = 0x20000;  // evacuated: 0x9000 -> 0x20000
    g_test_evacuations = 1;
    g_test_collecting = true;  // no rehash while a collection runs
    EXPECT_EQ(hashtable_get_node(t, 0x20000), nullptr);
    EXPECT_EQ(rec(t).epoch, 1u);
    g_test_collecting = false;
    ASSERT_NE(hashtable_get_node(t, 0x20000), nullptr);
    EXPECT_EQ(hashtable_get_node(t, 0x20000)->data2, 0u);
    EXPECT_EQ(hashtable_get_node(t, 0x9000), nullptr);
    EXPECT_EQ(rec(t).epoch, 2u);
    expect_tags_agree(t, "rehashed in place");
    EXPECT_EQ(hashtable_get_node(t, 0x9004)->data2, 1u);

    // hash!: a block key hashes by its node; the epoch is stamped on insertion.
    Off inner1 = alloc_cells(1), inner2 = alloc_cells(1);
    Off block = make_block({int_cell(5), block_of(inner1), block_of(inner2)});
    Cell bc = block_of(block, TYPE_HASH);
    Off h = hashtable_make(3, &bc, HASH_KIND_BLOCK, 0);
    EXPECT_EQ(rec(h).epoch, 2u);
    Off moved = alloc_cells(1);
    cell_at(block, 1)->data2 = moved;
    g_test_evacuations = 2;
    EXPECT_EQ(find_index(h, block_of(moved)), 1);
    EXPECT_EQ(find_index(h, block_of(inner2)), 2);
    EXPECT_EQ(rec(h).epoch, 3u);
    // A map! keyed by blocks goes stale the same way.
    Off inner3 = alloc_cells(1);
    Off pairs = make_block({block_of(inner3), int_cell(1), int_cell(2), int_cell(3)});
    Cell mc = block_of(pairs);
    Off map = hashtable_make(2, &mc, HASH_KIND_MAP, 0);
    EXPECT_EQ(rec(map).epoch, 3u);
    Off moved3 = alloc_cells(1);
    cell_at(pairs, 0)->data2 = moved3;
    g_test_evacuations = 3;
    EXPECT_EQ(index_of(pairs, hashtable_get(map, &(const Cell&)block_of(moved3))), 0u);
    EXPECT_EQ(index_of(pairs, hashtable_get(map, &(const Cell&)int_cell(2))), 2u);
    // While a collection runs a stale table cannot rehash: it is walked as
    // its flags show, every live bucket on the way compared, as a table
    // without tags would be. A moved key whose new hash starts the walk at
    // its bucket (with another tag) is still met.
    g_test_collecting = true;
    uint32_t mask = rec(map).buckets - 1;
    uint32_t old_hash = hashtable_hash_value(cell_at(pairs, 0), false);
    Off moved4 = 0x40000;
    for (;; moved4 += 16) {
        uint32_t h = hashtable_hash_value(&(const Cell&)block_of(moved4), false);
        if ((h & mask) == (old_hash & mask) && hash_tag(h) != hash_tag(old_hash)) break;
    }
    cell_at(pairs, 0)->data2 = moved4;
    g_test_evacuations = 4;
    EXPECT_EQ(index_of(pairs, hashtable_get(map, &(const Cell&)block_of(moved4))), 0u);
    EXPECT_EQ(rec(map).epoch, 4u);  // not rehashed
    g_test_collecting = false;
    EXPECT_EQ(index_of(pairs, hashtable_get(map, &(const Cell&)block_of(moved4))), 0u);
    EXPECT_EQ(rec(map).epoch, 5u);
    // A table with no address-hashed key never stamps an epoch.
    Off plain = make_block({int_cell(1)});
    Cell pc = block_of(plain, TYPE_HASH);
    EXPECT_EQ(rec(hashtable_make(1, &pc, HASH_KIND_BLOCK, 0)).epoch, 0u);
}

// ---- copying, clearing, failure -------------------------------------------------------------

TEST_F(HashTableTest, CopiesShareNoBuffer) {
    Off block = make_block({int_cell(1), int_cell(2), int_cell(1)});
    Cell bc = block_of(block, TYPE_HASH);
    Off t = hashtable_make(3, &bc, HASH_KIND_BLOCK, 0);
    // A copy over a copied block, edited, leaves the original alone.
    Off copied_block = make_block({int_cell(1), int_cell(2), int_cell(1)});
    Off c = hashtable_copy_for_block(t, copied_block);
    EXPECT_EQ(rec(c).block, copied_block);
    for (Off n : {rec(c).flags, rec(c).index, rec(c).chains}) {
        EXPECT_NE(n, rec(t).flags);
        EXPECT_NE(n, rec(t).index);
        EXPECT_NE(n, rec(t).chains);
    }
    hashtable_delete(c, cell_at(copied_block, 0));
    hashtable_delete(c, cell_at(copied_block, 1));
    EXPECT_EQ(find_index(c, int_cell(1)), 2);
    EXPECT_EQ(find_index(c, int_cell(2)), -1);
    EXPECT_EQ(find_index(t, int_cell(1)), 0);
    EXPECT_EQ(find_index(t, int_cell(2)), 1);
    // A full copy copies the block as well.
    Off full = hashtable_copy(t);
    EXPECT_NE(rec(full).block, block);
    EXPECT_EQ(find_index(full, int_cell(2)), 1);
    // Clearing empties the table and its block.
    hashtable_clear(t);
    EXPECT_EQ(rec(t).entries, 0u);
    EXPECT_EQ(length_of(block), 0u);
    EXPECT_EQ(find_index(t, int_cell(1)), -1);
    uint32_t i = append(block, int_cell(4));
    hashtable_put(t, cell_at(block, i));
    EXPECT_EQ(find_index(t, int_cell(4)), 0);
    EXPECT_EQ(find_index(full, int_cell(1), 1), 2);
    std::string dump = hashtable_dump(full);
    EXPECT_EQ(dump.rfind("== Alive keys ==", 0), 0u);
    EXPECT_NE(dump.find("\n== Deleted keys =="), std::string::npos);
}

TEST_F(HashTableTest, GrowthThatRunsOutOfMemoryLeavesTheTableWhole) {
    g_hash_seams.set_node_evacuation(true);
    Off block = make_block({});
    Cell mc = block_of(block);
    // 201,850 keys fill a table of 262,144 buckets; the next key needs
    // 524,288 buckets, whose record series (with its tags, keys words and
    // key text pairs) is a 6.8 MB virtual-memory block.
    Off t = hashtable_make(200000, &mc, HASH_KIND_MAP, 0);
    ASSERT_EQ(rec(t).buckets, 262144u);
    uint32_t bound = rec(t).bound;
    for (uint32_t v = 0; v < bound; v++) {
        uint32_t i = append(block, int_cell(static_cast<int32_t>(v)));
        append(block, int_cell(0));
        hashtable_put(t, cell_at(block, i));
    }
    ASSERT_EQ(rec(t).buckets, 262144u);
    uint32_t i = append(block, int_cell(-1));
    append(block, int_cell(0));
    const uint32_t buffer = node_word(t);
    platform_vm_set_limit(platform_vm_committed());
    EXPECT_THROW(hashtable_put(t, cell_at(block, i)), KelThrow);
    platform_vm_set_limit(0);
    EXPECT_TRUE(g_hash_seams.set_node_evacuation(true));  // the switch came back on
    EXPECT_EQ(node_word(t), buffer);  // the table still names its own record series
    EXPECT_EQ(rec(t).buckets, 262144u);
    EXPECT_EQ(rec(t).entries, bound);
    for (uint32_t v = 0; v < bound; v += 97) ASSERT_NE(hashtable_get(t, &(const Cell&)int_cell(static_cast<int32_t>(v))), nullptr);
    hashtable_put(t, cell_at(block, i));
    EXPECT_EQ(rec(t).buckets, 524288u);
    EXPECT_EQ(index_of(block, hashtable_get(t, &(const Cell&)int_cell(-1))), i);
    expect_tags_agree(t, "grown");
}

// ---- with the collector ---------------------------------------------------------------------

// Stress collections move every node, the nodes of a map!'s text keys among
// them, and compaction moves their buffers: the buckets' pairs of key node
// and buffer follow, and every key is still found.
TEST(HashTableCollector, KeyNodesFollowEvacuatedTexts) {
    if (!memory_ready()) memory_init();
    if (!stack_ready()) stack_init();
    if (!g_memory.series_frames_head) series_frame_make();
    g_stack.args = g_stack.top = g_stack.data_bottom;
    g_stack.frame_top = g_stack.frame_bottom;
    bool was_enabled = g_gc_enabled;
    g_gc_enabled = false;
    std::vector<Cell> pairs;
    for (int32_t v = 0; v < 3000; v++) {
        pairs.push_back(v % 3 ? str(std::to_string(v).c_str()) : int_cell(v));
        pairs.push_back(int_cell(v));
        str("garbage between the keys, so that compaction moves them");
    }
    Off block = make_block(pairs);
    Cell mc = block_of(block);
    Off t = hashtable_make(0, &mc, HASH_KIND_MAP, 0);
    GcRootTable keep(&t);
    Off before = cell_at(rec(t).block, 2)->data2, before_buffer = node_word(before);
    // Keys whose texts another hand replaced: their pairs name nodes that
    // die in the first collection and are released.
    for (uint32_t i : {4u, 8u, 4000u}) {
        Off copy = series_copy_buffer(node_buffer(cell_at(block, i)->data2));
        cell_at(block, i)->data2 = copy;
    }
    g_gc_enabled = true;
    gc_collect_stress();
    gc_collect_stress();
    g_gc_enabled = was_enabled;
    EXPECT_NE(cell_at(rec(t).block, 2)->data2, before);
    EXPECT_NE(node_word(cell_at(rec(t).block, 2)->data2), before_buffer);
    expect_tags_agree(t, "evacuated");
    for (int32_t v = 0; v < 3000; v++) {
        Cell key = v % 3 ? str(std::to_string(v).c_str()) : int_cell(v);
        Cell* found = hashtable_get(t, &key);
        ASSERT_NE(found, nullptr) << v;
        ASSERT_EQ(found[1].data2, static_cast<uint32_t>(v)) << v;
    }
    EXPECT_EQ(gc_check_heap(), "");
}

// ---- the pointer map ----------------------------------------------------------------------

TEST(PointerMap, PutGetDeleteResizeAndIterate) {
    PtrMap* m = ptrmap_make(0);
    EXPECT_EQ(m->buckets, 8u);
    EXPECT_EQ(m->bound, 6u);
    for (uint32_t k = 1; k <= 20000; k++) ptrmap_put(m, k * 4, k + 1000);
    EXPECT_EQ(ptrmap_count(m), 20000u);
    EXPECT_LT(m->occupied, m->buckets);
    for (uint32_t k = 1; k <= 20000; k++) ASSERT_EQ(ptrmap_get(m, k * 4), k + 1000);
    EXPECT_EQ(ptrmap_get(m, 3), 0u);
    for (uint32_t k = 1; k <= 20000; k += 2) ASSERT_TRUE(ptrmap_delete(m, k * 4));
    EXPECT_FALSE(ptrmap_delete(m, 4));
    EXPECT_EQ(ptrmap_count(m), 10000u);
    ptrmap_put(m, 8, 0);  // a stored 0 is told apart from an absent key
    ASSERT_NE(ptrmap_find(m, 8), nullptr);
    EXPECT_EQ(*ptrmap_find(m, 8), 0u);
    EXPECT_EQ(ptrmap_find(m, 4), nullptr);
    // Rehash in place, dropping deleted buckets; then grow past the size.
    ptrmap_resize(m, m->buckets - 1);
    EXPECT_EQ(m->occupied, 10000u);
    ptrmap_resize(m, m->buckets * 4);
    uint32_t cursor = 0, key, value, seen = 0;
    while (ptrmap_next(m, &cursor, &key, &value)) {
        seen++;
        ASSERT_EQ(key % 8, 0u);
        ASSERT_EQ(value, key == 8 ? 0u : key / 4 + 1000);
    }
    EXPECT_EQ(seen, 10000u);
    ptrmap_clear(m);
    EXPECT_EQ(ptrmap_count(m), 0u);
    EXPECT_EQ(ptrmap_get(m, 16), 0u);
    ptrmap_put(m, 16, 5);
    EXPECT_EQ(ptrmap_get(m, 16), 5u);
    ptrmap_free(m);
}
