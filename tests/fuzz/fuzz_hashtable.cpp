// Fuzz target for the hash-table engine's map! tables: integer and text keys
// (string! and file!, every width, letter-case variants, non-ASCII
// characters, texts that start past their buffer's data) are indexed while
// the table grows, and every lookup under equal? and strict-equal?, and every
// walk over the keys equal? to a key, must agree with a plain model of the
// keys stored so far.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "tests/fuzz/fuzz_gen.h"

using namespace kel;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Case folding as the engine's seam gives it here: two non-ASCII pairs, so
// that the paths through the seam see letters that fold and ones that don't.
uint32_t seam_upper(uint32_t c) { return c == 0xE9 ? 0xC9 : c == 0x3B1 ? 0x391 : c; }
uint32_t fold(uint32_t c) { return c < 128 ? (c - 'a' < 26u ? c - 32 : c) : seam_upper(c); }

struct Key {
    uint32_t type = TYPE_INTEGER;
    int32_t value = 0;
    std::u32string text;
    uint32_t unit = 1;
    uint32_t skip = 0;  // characters before the text's head

    // Identity under strict-equal?, and under equal? (folded text).
    std::pair<uint32_t, std::u32string> strict() const {
        if (type == TYPE_INTEGER) return {type, std::u32string(1, static_cast<char32_t>(value))};
        return {type, text};
    }
    std::pair<uint32_t, std::u32string> loose() const {
        auto k = strict();
        if (type != TYPE_INTEGER)
            for (char32_t& c : k.second) c = static_cast<char32_t>(fold(c));
        return k;
    }
};

const char32_t kAlphabet[] = {U'a', U'A', U'b', U'B', U'z', U'0', U'_', 0xE9, 0xC9, 0x3B1, 0x391, 0x1F600};

uint32_t unit_for(const std::u32string& text, fuzz::Gen& g) {
    uint32_t need = 1;
    for (char32_t c : text) need = std::max(need, c > 0xFFFF ? 4u : c > 0xFF ? 2u : 1u);
    uint32_t wide = g.pick(4) == 0 ? (g.pick(2) ? 2u : 4u) : 1u;  // sometimes wider than the text needs
    return std::max(need, wide);
}

Key make_key(fuzz::Gen& g) {
    Key k;
    uint32_t what = g.pick(8);
    if (what < 3) {
        if (what == 0) {
            k.value = static_cast<int32_t>(g.pick_wide(64)) - 32;
        } else {
            uint32_t v = g.byte() << 24 | g.byte() << 16 | g.byte() << 8 | g.byte();
            k.value = static_cast<int32_t>(v);
        }
        return k;
    }
    k.type = what == 7 ? TYPE_FILE : TYPE_STRING;
    uint32_t n = g.pick(what == 3 ? 3 : 24);
    for (uint32_t i = 0; i < n; i++) k.text += kAlphabet[g.pick(what >= 5 ? 12 : 7)];
    k.unit = unit_for(k.text, g);
    k.skip = g.pick(4) == 0 ? g.pick(3) : 0;
    return k;
}

// A stored key again, as a lookup would bring it: the same text or another
// letter case of it, at some width.
Key variant_of(const Key& stored, fuzz::Gen& g) {
    Key k = stored;
    if (k.type == TYPE_INTEGER) return k;
    if (g.pick(2))
        for (char32_t& c : k.text) {
            if (!g.pick(3)) continue;
            if (c < 128 && fold(c) != c) c = static_cast<char32_t>(fold(c));
            else if (c >= 'A' && c <= 'Z') c = c + 32;
            else if (c == 0xE9 || c == 0x3B1) c = static_cast<char32_t>(seam_upper(c));
        }
    k.unit = unit_for(k.text, g);
    k.skip = g.pick(3) ? 0 : 1;
    return k;
}

Cell cell_of(const Key& k) {
    if (k.type == TYPE_INTEGER) return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(k.value), 0};
    uint32_t n = static_cast<uint32_t>(k.text.size()) + k.skip;
    Off node = alloc_string(n, k.unit);
    SeriesBuf* b = node_buffer(node);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c = i < k.skip ? uint32_t('#') : uint32_t(k.text[i - k.skip]);
        std::memcpy(b->data() + size_t(i) * k.unit, &c, k.unit);  // little-endian low bytes
    }
    b->tail = b->head + n * k.unit;
    return Cell{k.type, k.skip, node, 0};
}

Cell* cell_at(Off block, uint32_t i) { return reinterpret_cast<Cell*>(node_buffer(block)->head_ptr()) + i; }

uint32_t append(Off block, const Cell& c) {
    SeriesBuf* b = node_buffer(block);
    if (b->tail + 16 > b->data_end()) b = series_expand(b, 0);
    std::memcpy(b->tail_ptr(), &c, 16);
    b->tail += 16;
    return b->used_bytes() / 16 - 1;
}

uint32_t index_in(Off block, const Cell* c) {
    return c ? static_cast<uint32_t>(c - cell_at(block, 0)) : 0xFFFFFFFFu;
}

void run(fuzz::Gen& g) {
    Off block = alloc_cells(4);
    Cell bc{TYPE_BLOCK, 0, block, 0};
    Off table = hashtable_make(g.pick(8), &bc, HASH_KIND_MAP, 0);
    std::vector<Key> stored;  // the keys in the order they were indexed
    std::vector<uint32_t> at;  // and the cell of each
    std::map<std::pair<uint32_t, std::u32string>, uint32_t> by_strict;
    std::map<std::pair<uint32_t, std::u32string>, std::set<uint32_t>> by_loose;

    for (uint32_t steps = 0; g.more() && steps < 4000; steps++) {
        uint32_t op = g.pick(10);
        if (op < 4) {  // index a new pair
            Key k = make_key(g);
            uint32_t i = append(block, cell_of(k));
            append(block, Cell{TYPE_INTEGER, 0, i, 0});
            Cell* got = hashtable_put(table, cell_at(block, i));
            auto known = by_strict.find(k.strict());
            if (known != by_strict.end()) {
                check(index_in(block, got) == known->second);
            } else {
                check(index_in(block, got) == i);
                by_strict[k.strict()] = i;
                by_loose[k.loose()].insert(i);
                stored.push_back(k);
                at.push_back(i);
            }
            check(hashtable_record(table)->entries == by_strict.size());
            continue;
        }
        Key k = op < 7 || stored.empty() ? make_key(g) : variant_of(stored[g.pick_wide(uint32_t(stored.size()))], g);
        Cell key = cell_of(k);
        bool strict = g.pick(2);
        Cell* got = hashtable_get(table, &key, 0, 1, strict ? HASH_STRICT : HASH_EQUAL);
        if (strict) {
            auto known = by_strict.find(k.strict());
            check(index_in(block, got) == (known == by_strict.end() ? 0xFFFFFFFFu : known->second));
        } else {
            auto known = by_loose.find(k.loose());
            if (known == by_loose.end()) {
                check(got == nullptr);
            } else {
                check(got && known->second.count(index_in(block, got)));
            }
        }
        if (op == 9) {  // every key equal? to this one, each once
            std::set<uint32_t> seen;
            int32_t cursor = -1;
            for (uint32_t n = 0; Cell* c = hashtable_get_from(table, &key, &cursor); n++) {
                check(n <= by_strict.size());
                check(seen.insert(index_in(block, c)).second);
            }
            auto known = by_loose.find(k.loose());
            check(seen == (known == by_loose.end() ? std::set<uint32_t>{} : known->second));
        }
    }
    // Every stored key is still found, exactly and by its own cell.
    for (size_t n = 0; n < stored.size(); n++) {
        Cell key = cell_of(stored[n]);
        check(index_in(block, hashtable_get(table, &key, 0, 1, HASH_STRICT)) == at[n]);
        check(index_in(block, hashtable_get(table, cell_at(block, at[n]), 0, 1, HASH_STRICT)) == at[n]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    if (!memory_ready()) memory_init();
    // No collector here: everything made by a run is dropped after it.
    memory_free_all();
    node_frame_make(kNodeFrameCapacity);
    series_frame_make();
    HashSeams saved = g_hash_seams;
    g_hash_seams = HashSeams{};
    g_hash_seams.upper_case = seam_upper;
    fuzz::Gen g{data, size};
    run(g);
    g_hash_seams = saved;
    return 0;
}
