// Hash! indexes and map! tables driven by random edits against a plain model,
// under the real collector: a moving collection between steps, and (with
// KEL_GC_STRESS) at every allocation inside the engine too, so resizes,
// rebuilds and lazy rehashes of address-hashed keys all run while buffers
// and nodes move under them.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime_fixture.h"

using namespace kel;

namespace {

// A key of the model: an integer, a text (of any storage width) or one of a
// few blocks, which hash by their node.
struct Key {
    enum Kind { Int, Text, Block } kind;
    int32_t i = 0;
    std::string s;
};

std::string lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool same_key(const Key& a, const Key& b, bool strict) {
    if (a.kind != b.kind) return false;
    if (a.kind != Key::Text) return a.i == b.i;
    return strict ? a.s == b.s : lower(a.s) == lower(b.s);
}

constexpr int kBlocks = 6;

struct HashTableUnderCollector : ::testing::Test {
    std::mt19937 rng;
    Cell blocks[kBlocks];

    void SetUp() override {
        test::runtime_core_init();
        test::stack_clear_all();
        gc_hash_seams_init();
    }

    Key random_key() {
        static const char* texts[] = {"a", "A", "ab", "Ab", "aB", "AB", "xyz", "XyZ", "", "long key text"};
        switch (rng() % 4) {
        case 0: return Key{Key::Block, int32_t(rng() % kBlocks), ""};
        case 1: return Key{Key::Int, int32_t(rng() % 60) - 5, ""};
        default: {
            std::string s = texts[rng() % 10];
            if (rng() % 3 == 0) s += std::to_string(rng() % 40);
            return Key{Key::Text, 0, s};
        }
        }
    }

    // A new cell for the key; a text is stored at a random width.
    Cell cell_of(const Key& k) {
        if (k.kind == Key::Block) return blocks[k.i];
        if (k.kind == Key::Int) return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(k.i), 0};
        uint32_t unit = rng() % 3 == 0 ? 4 : rng() % 2 ? 2 : 1;
        Off node = alloc_string(static_cast<uint32_t>(k.s.size()), unit);
        SeriesBuf* b = node_buffer(node);
        for (size_t i = 0; i < k.s.size(); i++) {
            uint32_t c = static_cast<uint8_t>(k.s[i]);
            std::memcpy(b->data() + i * unit, &c, unit);
        }
        b->tail = b->head + static_cast<uint32_t>(k.s.size()) * unit;
        return Cell{TYPE_STRING, 0, node, 0};
    }

    Key key_of(const Cell* c) {
        if (c->is(TYPE_INTEGER)) return Key{Key::Int, int32_t(c->data2), ""};
        if (c->is(TYPE_BLOCK)) {
            for (int i = 0; i < kBlocks; i++)
                if (blocks[i].data2 == c->data2) return Key{Key::Block, i, ""};
            return Key{Key::Block, -1, ""};
        }
        const SeriesBuf* b = node_buffer(c->data2);
        std::string s;
        for (Off p = b->head; p < b->tail; p += b->unit()) {
            uint32_t v = 0;
            std::memcpy(&v, arena_ptr(p), b->unit());
            s += char(v);
        }
        return Key{Key::Text, 0, s};
    }

    void make_blocks() {
        for (Cell& b : blocks) b = Cell{TYPE_NONE, 0, 0, 0};
        for (Cell& b : blocks) {
            Off node = alloc_cells(1);
            b = Cell{TYPE_BLOCK, 0, node, 0};
        }
    }

    // For each of 12 seeds, with collections on: fresh key blocks and a
    // table of `kind` over a new block of `cells` cells, all rooted, handed
    // to `run`, which must read the table through the reference it gets (a
    // collection moves it); then the heap must check out. A fatal failure
    // in `run` ends the test.
    template <class Run> void each_seed(uint32_t cells, uint32_t kind, Run run) {
        GcEnabledScope collecting(true);
        for (uint32_t seed = 1; seed <= 12; seed++) {
            SCOPED_TRACE("seed " + std::to_string(seed));
            rng.seed(seed);
            GcRootCell keep_blocks(blocks, kBlocks);
            make_blocks();
            Off block = alloc_cells(cells);
            Cell bc{TYPE_BLOCK, 0, block, 0};
            GcRootCell keep_bc(&bc);
            Off t = hashtable_make(0, &bc, kind, 0);
            GcRootTable keep(&t);
            run(t);
            if (HasFatalFailure()) return;
            EXPECT_EQ(gc_check_heap(), "");
        }
    }
};

Cell* cells_of(Off block) { return reinterpret_cast<Cell*>(node_buffer(block)->head_ptr()); }
uint32_t length_of(Off block) { return node_buffer(block)->used_bytes() / 16; }

// Appends a copy of `c` (held by reference: the block may grow, and the
// collection that brings moves every node, the cell's own included).
void append(Off table, const Cell& c) {
    SeriesBuf* b = node_buffer(hashtable_record(table)->block);
    if (b->tail + 16 > b->data_end()) b = series_expand(b, 0);
    std::memcpy(b->tail_ptr(), &c, 16);
    b->tail += 16;
}

// A hash! index: cells appended and indexed, the last cell dropped, the
// index rebuilt; every lookup (first, last, reverse from a head, either
// mode) and the count of distinct keys must match the model.
TEST_F(HashTableUnderCollector, BlockIndexFollowsItsBlock) {
    each_seed(4, HASH_KIND_BLOCK, [&](const Off& t) {
        std::vector<Key> model;
        for (int step = 0; step < 500; step++) {
            SCOPED_TRACE("step " + std::to_string(step));
            uint32_t op = rng() % 10;
            if (op < 4) {
                Key k = random_key();
                Cell c = cell_of(k);
                GcRootCell rc(&c);
                append(t, c);
                Off blk = hashtable_record(t)->block;
                hashtable_put(t, &cells_of(blk)[length_of(blk) - 1]);
                model.push_back(k);
            } else if (op < 6 && !model.empty()) {
                Off blk = hashtable_record(t)->block;
                hashtable_delete(t, &cells_of(blk)[model.size() - 1]);
                node_buffer(blk)->tail -= 16;
                model.pop_back();
            } else if (op == 6 && rng() % 8 == 0) {
                hashtable_reset(t, 0);
            } else if (op == 7) {
                gc_collect_stress();
            } else {
                Key k = random_key();
                Cell c = cell_of(k);
                GcRootCell rc(&c);
                bool strict = rng() % 2;
                int32_t head = int32_t(rng() % (model.size() + 1));
                int order = rng() % 3;  // first at or after head, last at or after, last before
                Cell* got = hashtable_get(t, &c, head, 1, strict ? HASH_STRICT : HASH_EQUAL, order == 1, order == 2);
                int32_t want = -1;
                for (int32_t i = 0; i < int32_t(model.size()); i++) {
                    if (!same_key(model[i], k, strict)) continue;
                    if ((order == 0 && i >= head && want < 0) || (order == 1 && i >= head) || (order == 2 && i < head))
                        want = i;
                }
                ASSERT_EQ(got ? int32_t(got - cells_of(hashtable_record(t)->block)) : -1, want)
                    << "strict " << strict << " head " << head << " order " << order;
            }
            std::vector<Key> distinct;
            for (const Key& m : model) {
                bool seen = false;
                for (const Key& d : distinct) seen = seen || same_key(d, m, false);
                if (!seen) distinct.push_back(m);
            }
            ASSERT_EQ(hashtable_record(t)->entries, distinct.size());
        }
    });
}

// A map!: pairs put (a present key takes the new value and its pair leaves
// the block; a removed key comes back in its old place), removed, looked up
// in either mode; the block's keys, the live count and every value must
// match the model.
TEST_F(HashTableUnderCollector, MapPairsFollowPutsAndRemovals) {
    each_seed(2, HASH_KIND_MAP, [&](const Off& t) {
        struct Entry {
            Key key;
            int32_t value;
            bool live;
        };
        std::vector<Entry> model;  // in block order
        for (int step = 0; step < 600; step++) {
            SCOPED_TRACE("step " + std::to_string(step));
            uint32_t op = rng() % 10;
            if (op < 4) {
                Key k = random_key();
                int32_t v = int32_t(rng() % 1000);
                Cell key = cell_of(k), value{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0};
                GcRootCell rc(&key);
                append(t, key);
                append(t, value);
                hashtable_put_all(t, length_of(hashtable_record(t)->block) - 2, 2);
                bool found = false;
                for (Entry& e : model)
                    if (same_key(e.key, k, true)) {
                        e.value = v;
                        e.live = found = true;
                    }
                if (!found) model.push_back({k, v, true});
            } else if (op < 6 && !model.empty()) {
                Entry& e = model[rng() % model.size()];
                Cell key = cell_of(e.key);
                GcRootCell rc(&key);
                Cell* got = hashtable_get(t, &key, 0, 1, HASH_STRICT);
                ASSERT_NE(got, nullptr);
                hashtable_delete(t, got);
                e.live = false;
            } else if (op == 7) {
                gc_collect_stress();
            } else {
                Key k = random_key();
                Cell key = cell_of(k);
                GcRootCell rc(&key);
                bool strict = rng() % 2;
                Cell* got = hashtable_get(t, &key, 0, 1, strict ? HASH_STRICT : HASH_EQUAL);
                const Entry* want = nullptr;
                bool any = false;
                for (const Entry& e : model) {
                    any = any || same_key(e.key, k, strict);
                    if (same_key(e.key, k, true)) want = &e;
                }
                ASSERT_EQ(got != nullptr, any);
                if (got) {
                    EXPECT_TRUE(same_key(key_of(got), k, strict));
                }
                if (got && strict) {
                    ASSERT_NE(want, nullptr);
                    EXPECT_EQ(got[1].header != 0, want->live);
                    if (want->live) {
                        EXPECT_EQ(int32_t(got[1].data2), want->value);
                    }
                }
            }
            Off blk = hashtable_record(t)->block;
            ASSERT_EQ(length_of(blk), 2 * model.size());
            uint32_t live = 0;
            for (size_t i = 0; i < model.size(); i++) {
                live += model[i].live;
                ASSERT_TRUE(same_key(key_of(&cells_of(blk)[2 * i]), model[i].key, true)) << "pair " << i;
            }
            ASSERT_EQ(hashtable_record(t)->entries, live);
        }
    });
}

}  // namespace
