// Interning, context slots, ownership records and the fixed words.
//
// Both the symbol table and the words tables probe the hash engine's bucket
// arrays directly: interning needs two walks (exact spelling, then ignoring
// case to find a twin), and slot lookup compares either exact or canonical
// ids. Growth goes through the engine (sixteen times larger each time, so a
// busy table rarely rehashes).
#include "runtime/symbols.h"

#include <cstring>
#include <string>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace kel {

Cell g_symbol_block = {TYPE_NONE, 0, 0, 0};
Off g_symbol_table = 0;
Off g_owners_table = 0;
FixedSymbols g_sym = {};
FixedWords g_words = {};
FixedRefinements g_refinements = {};
Cell g_issue_ooo = {TYPE_NONE, 0, 0, 0};
void (*g_owner_fire_deep_change)(const Cell*, const Cell*, const Cell*, const Cell*, const Cell*, int32_t,
                                 int32_t) = nullptr;

namespace {

std::vector<uint8_t> g_fold_scratch;

uint32_t canonical_seam(uint32_t id) { return id ? symbol_resolve(id) : id; }

// ---- the collector ------------------------------------------------------------

void mark_fixed_cell(Cell* c) { gc_mark_cells(c, c + 1); }

// The fixed words (the collector marks the symbol table, the owners table
// and the global context among its own roots).
void mark_symbol_roots() {
#define X(cname, text) mark_fixed_cell(&g_words.cname);
    KEL_FIXED_WORDS(X)
#undef X
    for (Cell* c : {&g_refinements.local, &g_refinements.extern_, &g_refinements.compare, &g_refinements.part,
                    &g_refinements.skip, &g_refinements.with, &g_issue_ooo})
        mark_fixed_cell(c);
}

void sweep_owners() {
    if (g_owners_table) hashtable_sweep(g_owners_table);
}

}  // namespace

void symbols_seams_init() {
    g_hash_seams.symbol_canonical = canonical_seam;
    gc_hash_seams_init();  // engine tests reset every seam
}

namespace {

// Grows a words-kind table sixteen times when its buckets in use reach the
// bound (or, with many deleted buckets, keeps the size and drops them).
// Returns whether it resized.
bool grow_if_full(Off table) {
    HashRecord* rec = hashtable_record(table);
    if (rec->occupied < rec->bound) return false;
    uint32_t b = rec->buckets;
    hashtable_resize(table, 16 * (2 * rec->entries < b ? b - 1 : b + 1));
    return true;
}

inline uint8_t ascii_lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c; }

// MurmurHash3 of the name with A-Z lowered (the symbol hash), without a copy.
uint32_t hash_folded(const uint8_t* p, uint32_t n) {
    uint32_t h = kHashSeed;
    uint32_t blocks = n / 4;
    for (uint32_t i = 0; i < blocks; i++, p += 4) {
        uint32_t k = ascii_lower(p[0]) | uint32_t(ascii_lower(p[1])) << 8 | uint32_t(ascii_lower(p[2])) << 16 |
                     uint32_t(ascii_lower(p[3])) << 24;
        h = murmur3_round(h, k);
    }
    uint32_t k = 0;
    switch (n & 3) {
    case 3: k ^= uint32_t(ascii_lower(p[2])) << 16; [[fallthrough]];
    case 2: k ^= uint32_t(ascii_lower(p[1])) << 8; [[fallthrough]];
    case 1:
        k ^= ascii_lower(p[0]);
        h = murmur3_tail(h, k);
    }
    return murmur3_finish(h, n);
}

struct Buckets {
    uint32_t* flags;
    int32_t* keys;
    Cell* cells;  // the table's block from its head
    uint32_t mask;
};

// Stale after the next allocation.
Buckets buckets_of(Off table) {
    HashRecord* rec = hashtable_record(table);
    return {arena_at<uint32_t>(node_buffer(rec->flags)->head), arena_at<int32_t>(node_buffer(rec->keys)->head),
            arena_at<Cell>(node_buffer(rec->block)->head), rec->buckets - 1};
}

// Triangular probe from hash h: calls match(key) for each live bucket until
// it answers true (returns that bucket) or an empty bucket ends the walk
// (returns -1, the empty bucket in *empty).
template <class Match> int32_t probe(const Buckets& t, uint32_t h, int32_t* empty, Match match) {
    uint32_t b = h & t.mask, start = b, step = 0;
    *empty = -1;
    for (;;) {
        if (hash_flag_empty(t.flags, b)) {
            *empty = static_cast<int32_t>(b);
            return -1;
        }
        if (hash_flag_live(t.flags, b) && match(t.keys[b])) return static_cast<int32_t>(b);
        step++;
        b = (b + step) & t.mask;
        if (b == start) return -1;
    }
}

void bucket_take(Off table, int32_t bucket, int32_t key) {
    Buckets t = buckets_of(table);
    t.keys[bucket] = key;
    hash_flag_set_live(t.flags, static_cast<uint32_t>(bucket));
    HashRecord* rec = hashtable_record(table);
    rec->entries++;
    rec->occupied++;
}

bool name_equal(const Cell* sym, const uint8_t* name, uint32_t length, bool exact) {
    const SeriesBuf* buf = node_buffer(sym->data3);
    return buf->used_bytes() == length && symbol_compare(buf->head_ptr(), name, length, exact) == 0;
}

}  // namespace

// ---- symbols ----------------------------------------------------------------

void symbols_init(uint32_t size) {
    if (g_symbol_table) return;
    symbols_seams_init();
    gc_add_root_callback(mark_symbol_roots);
    g_gc_sweep_owners = sweep_owners;
    Off node = alloc_cells(size);
    cell_set(&g_symbol_block, TYPE_BLOCK, 0, node, 0);
    g_symbol_table = hashtable_make(size, &g_symbol_block, HASH_KIND_WORDS, 1);
    g_symbol_block.data2 = hashtable_record(g_symbol_table)->block;
}

bool symbols_ready() { return g_symbol_table != 0; }

uint32_t symbols_count() { return node_buffer(g_symbol_block.data2)->used_bytes() / sizeof(Cell); }

const uint8_t* symbol_fold_ascii(const uint8_t* name, uint32_t length) {
    if (g_fold_scratch.size() < length || g_fold_scratch.empty()) g_fold_scratch.resize(length > 256 ? length : 256);
    for (uint32_t i = 0; i < length; i++) {
        uint8_t c = name[i];
        g_fold_scratch[i] = c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c;
    }
    return g_fold_scratch.data();
}

int symbol_compare(const uint8_t* a, const uint8_t* b, uint32_t length, bool exact) {
    if (exact) return std::memcmp(a, b, length);
    for (uint32_t i = 0; i < length; i++) {
        uint8_t x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<uint8_t>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<uint8_t>(y + 32);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

uint32_t symbol_intern(Off table, const uint8_t* name, uint32_t length, bool twin) {
    uint32_t h = hash_folded(name, length);
    Buckets t = buckets_of(table);
    int32_t empty;
    if (!twin) {
        int32_t found = probe(t, h, &empty, [&](int32_t k) { return name_equal(t.cells + k, name, length, true); });
        if (found >= 0) return static_cast<uint32_t>(t.keys[found]) + 1;
    }
    int32_t found = probe(t, h, &empty, [&](int32_t k) { return name_equal(t.cells + k, name, length, false); });
    uint32_t alias = kSymbolNoAlias;
    if (found >= 0) {
        if (twin) return static_cast<uint32_t>(t.keys[found]) + 1;
        alias = static_cast<uint32_t>(t.keys[found]) + 1;
    }
    // A new symbol. The name may lie in a series buffer that the allocations
    // below move: keep a copy.
    std::string copy(reinterpret_cast<const char*>(name), length);
    const auto* bytes = reinterpret_cast<const uint8_t*>(copy.data());
    GcRootTable keep_table(&table);
    if (grow_if_full(table) || empty < 0) {
        // The buckets changed: find the empty bucket at the end of the
        // spelling's probe walk again.
        t = buckets_of(table);
        probe(t, h, &empty, [&](int32_t k) { return name_equal(t.cells + k, bytes, length, true); });
        if (empty < 0) {  // no empty bucket below the bound: cannot happen, but never loop
            hashtable_resize(table, 2 * hashtable_record(table)->buckets);
            return symbol_intern(table, bytes, length, twin);
        }
    }
    Off name_node = alloc_bytes(length + 1);
    GcRootNode keep_name(&name_node);
    SeriesBuf* nb = node_buffer(name_node);
    std::memcpy(nb->head_ptr(), bytes, length);
    nb->head_ptr()[length] = 0;
    nb->tail = nb->head + length;
    SeriesBuf* block = node_buffer(hashtable_record(table)->block);
    Cell* cell = block_buffer_append_slot(block);
    block = node_buffer(hashtable_record(table)->block);
    int32_t index = static_cast<int32_t>((arena_off(cell) - block->head) / sizeof(Cell));
    cell_set(cell, TYPE_SYMBOL, alias, 0, name_node);
    bucket_take(table, empty, index);
    return static_cast<uint32_t>(index) + 1;
}

std::string_view symbol_name(uint32_t id) {
    const SeriesBuf* buf = node_buffer(symbol_cell(id)->data3);
    return {reinterpret_cast<const char*>(buf->head_ptr()), buf->used_bytes()};
}

// ---- context slots -------------------------------------------------------------

int32_t context_add_slot(Off table, uint32_t symbol, bool nocase, Off context, int32_t* out) {
    uint32_t canon = symbol_resolve(symbol);
    uint32_t h = hashtable_hash_identity(canon);
    Buckets t = buckets_of(table);
    auto match = [&](int32_t k) {
        uint32_t s = t.cells[k].data2;
        return s == symbol || (nocase && symbol_resolve(s) == canon);
    };
    int32_t empty;
    int32_t found = probe(t, h, &empty, match);
    if (found >= 0) {
        if (out) *out = t.keys[found];
        return t.keys[found];
    }
    if (!context) return -1;
    GcRootTable keep_table(&table);
    GcRootNode keep_context(&context);
    if (grow_if_full(table) || empty < 0) {
        t = buckets_of(table);
        probe(t, h, &empty, match);
        if (empty < 0) {  // cannot happen below the bound, but never loop
            hashtable_resize(table, 2 * hashtable_record(table)->buckets);
            return context_add_slot(table, symbol, nocase, context, out);
        }
    }
    SeriesBuf* block = node_buffer(hashtable_record(table)->block);
    int32_t n = static_cast<int32_t>(block->used_bytes() / sizeof(Cell));
    Cell* cell = block_buffer_append_slot(block);
    word_set_cell(cell, TYPE_WORD, context, symbol, n);
    bucket_take(table, empty, n);
    if (out) *out = n;
    return -1;
}

const Cell* context_find_slot(Off table, uint32_t symbol, bool nocase) {
    uint32_t canon = symbol_resolve(symbol);
    Buckets t = buckets_of(table);
    int32_t empty;
    int32_t found = probe(t, hashtable_hash_identity(canon), &empty, [&](int32_t k) {
        uint32_t s = t.cells[k].data2;
        return s == symbol || (nocase && symbol_resolve(s) == canon);
    });
    return found >= 0 ? t.cells + t.keys[found] : nullptr;
}

Off context_words_table(Off context) { return context_cell(context)->data1; }
Off context_words_node(Off context) { return hashtable_record(context_words_table(context))->block; }
SeriesBuf* context_words_buffer(Off context) { return node_buffer(context_words_node(context)); }
Cell* context_word_cell_at(Off context, uint32_t i) { return arena_at<Cell>(context_words_buffer(context)->head) + i; }
uint32_t context_words_count(Off context) { return context_words_buffer(context)->used_bytes() / sizeof(Cell); }

// ---- ownership ------------------------------------------------------------------

namespace {

bool block_like(uint32_t type) {
    switch (type) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
    case TYPE_GET_PATH:
        return true;
    default:
        return false;
    }
}

bool plain_series(uint32_t type) {
    switch (type) {
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
    case TYPE_BINARY: case TYPE_VECTOR: case TYPE_BITSET:
        return true;
    default:
        return false;
    }
}

// Cells of a block from its head index; re-read through the node after every
// call that may allocate.
uint32_t block_cell_count(const Cell* block) {
    const SeriesBuf* buf = node_buffer(block->data2);
    uint32_t n = buf->used_bytes() / sizeof(Cell);
    return block->data1 < n ? n - block->data1 : 0;
}
Cell* block_cell(const Cell* block, uint32_t i) {
    return arena_at<Cell>(node_buffer(block->data2)->head) + block->data1 + i;
}

// Records the entry of a series not marked yet; false when it was marked.
// `cell` is the value's own cell (an image! carries its mark there).
bool owner_mark(Cell* cell, Cell& owner, Cell& word) {
    Cell value = *cell;
    GcRootCell keep_value(&value);
    Off node = value.data2;
    if (!node) return false;
    if (value.is(TYPE_IMAGE)) {
        if (cell->header & CELL_OWNED_IMAGE) return false;
        cell->header |= CELL_OWNED_IMAGE;
        value.header |= CELL_OWNED_IMAGE;
    } else {
        SeriesBuf* buf = node_buffer(node);
        if (buf->flags & SERIES_OWNED) return false;
        buf->flags |= SERIES_OWNED;
    }
    Cell* entry = hashtable_put_node(g_owners_table, node);
    *entry = value;
    copy_cell(&owner, entry + 1);
    copy_cell(&word, entry + 2);
    return true;
}

// Drops the entry of a series; true when it had one.
bool owner_unmark(Cell* cell) {
    Off node = cell->data2;
    if (!node) return false;
    if (cell->is(TYPE_IMAGE)) cell->header &= ~CELL_OWNED_IMAGE;
    else node_buffer(node)->flags &= ~SERIES_OWNED;
    Cell* entry = hashtable_get_node(g_owners_table, node);
    if (!entry) return false;
    for (int i = 0; i < 3; i++) cell_set_unset(entry + i);
    hashtable_delete_node(g_owners_table, node);
    return true;
}

}  // namespace

void symctx_owners_init() { g_owners_table = hashtable_make(kOwnersInitial, nullptr, HASH_KIND_OWNERS, 3); }

void symctx_owner_set(Cell* value, const Cell* owner_in, const Cell* word_in) {
    if (!g_owners_table) return;
    Cell owner = *owner_in, word = *word_in;
    GcRootCell keep_owner(&owner), keep_word(&word);
    uint32_t type = value->type();
    if (block_like(type)) {
        Cell block = *value;
        GcRootCell keep_block(&block);
        owner_mark(value, owner, word);
        if (cycles_find(block.data2)) return;
        CycleGuard guard(block.data2);
        for (uint32_t i = 0; i < block_cell_count(&block); i++) symctx_owner_set(block_cell(&block, i), &owner, &word);
    } else if (plain_series(type) || type == TYPE_IMAGE) {
        owner_mark(value, owner, word);
    } else if (type == TYPE_OBJECT) {
        Off ctx = value->data1;
        if ((context_cell(ctx)->header & CONTEXT_TRACKED) || cycles_find(ctx)) return;
        GcRootNode keep_ctx(&ctx);
        CycleGuard guard(ctx);
        for (uint32_t i = 0; i < context_values_count(ctx); i++) {
            Cell* field = context_value_at(ctx, i);
            if (field->is(TYPE_OBJECT) && field->data1 == owner.data1) continue;
            Cell field_word = *context_word_cell_at(ctx, i);
            GcRootCell keep_field_word(&field_word);
            symctx_owner_set(context_value_at(ctx, i), &owner, &field_word);
        }
    }
}

void symctx_owner_set_flagged(Cell* value, const Cell* owner, const Cell* word) {
    Off ctx = owner->data1;
    GcRootNode keep_ctx(&ctx);
    symctx_owner_set(value, owner, word);
    context_cell(ctx)->header |= CONTEXT_TRACKED;
}

void symctx_owner_clear(Cell* value) {
    if (!g_owners_table) return;
    uint32_t type = value->type();
    if (block_like(type)) {
        Cell block = *value;
        if (!owner_unmark(value)) return;
        for (uint32_t i = 0; i < block_cell_count(&block); i++) symctx_owner_clear(block_cell(&block, i));
    } else if (plain_series(type) || type == TYPE_IMAGE) {
        owner_unmark(value);
    } else if (type == TYPE_OBJECT) {
        Off ctx = value->data1;
        if ((context_cell(ctx)->header & CONTEXT_TRACKED) || cycles_find(ctx)) return;
        CycleGuard guard(ctx);
        for (uint32_t i = 0; i < context_values_count(ctx); i++) symctx_owner_clear(context_value_at(ctx, i));
    }
}

Cell* symctx_owner_find(Off node) {
    if (!g_owners_table || !node) return nullptr;
    Cell* entry = hashtable_get_node(g_owners_table, node);
    return entry ? entry + 1 : nullptr;
}

bool symctx_owner_get(const Cell* target, const Cell* action, const Cell* value, int32_t index, int32_t part) {
    Off key = target->is(TYPE_OBJECT) ? target->data1 : target->data2;
    Cell* entry = symctx_owner_find(key);
    // `modify series 'owned` may record any value as the owner; only an
    // object carries the change information the handler call reads.
    if (!entry || !entry->is(TYPE_OBJECT) || entry->data3 == 0 || !g_owner_fire_deep_change) return false;
    Cell owner = entry[0], word = entry[1];
    Cell t = *target, a = *action, v = *value;
    g_owner_fire_deep_change(&owner, &word, &t, &a, &v, index, part);
    return true;
}

// ---- fixed words ------------------------------------------------------------------

void words_init() {
#define X(cname, text) g_sym.cname = symbol_make(text);
    KEL_FIXED_SYMBOLS(X)
#undef X
#define X(cname, text) word_from_cstring(&g_words.cname, text);
    KEL_FIXED_WORDS(X)
#undef X
    g_stack.body_symbol = g_words.body_marker.data2;
    g_stack.anon_symbol = g_words.anon.data2;
}

void words_init_refinements() {
    refinement_from_cstring(&g_refinements.local, "local");
    refinement_from_cstring(&g_refinements.extern_, "extern");
    refinement_from_cstring(&g_refinements.compare, "compare");
    refinement_from_cstring(&g_refinements.part, "part");
    refinement_from_cstring(&g_refinements.skip, "skip");
    refinement_from_cstring(&g_refinements.with, "with");
}

void words_init_issue() { issue_make_at(&g_issue_ooo, "ooo"); }

}  // namespace kel
