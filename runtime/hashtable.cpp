// Hash tables (see hashtable.h for the layout, kinds and seams).
//
// Design notes:
//  - Every array lives in a series buffer reached through the record, so any
//    pointer taken from a table is re-read after an allocation. Paths that
//    allocate switch node evacuation off for their duration (NoEvacuation),
//    so the node numbers held in locals stay valid, and root what they have
//    made but not yet linked into a reachable record (NodeRoot).
//  - Probing is triangular over a power of two: step i adds i, which visits
//    every bucket exactly once in `buckets` steps; since occupied < bound <
//    buckets there is always an empty bucket to end a walk.
//  - Kind 0 keeps equal cells together: the bucket of a key whose cell is
//    equal? to an earlier one names a chain (keys word -k) listing every such
//    cell; lookups then filter the chain by the caller's mode, skip and
//    direction. The reverse index answers "which bucket holds cell i" so that
//    removals never rehash.
//  - Every write of a bucket's flags (bucket_set_live, bucket_set_deleted,
//    buckets_clear, alloc_record for fresh arrays) writes its tag too, and in
//    a map! its key text pair (bucket_set_key_node, rehash_into,
//    key_pairs_from_cells after a copy, key_node_follow after a key's
//    normalisation, hashtable_buffers_moved after a collection). A text
//    lookup trusts a pair only once it has checked it against the key cell
//    and the node, so a pair out of date costs a slower lookup (which
//    repairs it), never a wrong answer or a read of freed memory. Walks
//    trust the tags only while the table's address hashes are current
//    (walk_tags): a stale table that cannot be rehashed during a collection
//    is walked by its flags, so it answers as it did before tags existed.
//  - Equal keys hash alike (the hashing and the comparisons are built that
//    way), so a live bucket whose tag differs from the key's cannot hold it.
#include "runtime/hashtable.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "runtime/error.h"

namespace kel {

HashSeams g_hash_seams;

namespace {

// ---- small helpers ----------------------------------------------------------

bool g_default_evacuation = true;
// The map! tables the running collection marked, whose key buffers it may move.
std::vector<Off> g_marked_maps;

inline uint32_t* words_of(Off node) { return reinterpret_cast<uint32_t*>(node_buffer(node)->head_ptr()); }
inline int32_t* keys_of(const HashRecord* rec) { return hashtable_record_keys(rec); }
inline Cell* cells_of(Off node) { return reinterpret_cast<Cell*>(node_buffer(node)->head_ptr()); }
inline uint32_t used_bytes(Off node) {
    SeriesBuf* b = node_buffer(node);
    return b->tail > b->head ? b->tail - b->head : 0;
}
inline uint32_t cell_length(Off node) { return node ? used_bytes(node) / 16 : 0; }

inline bool is_word_type(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }
inline bool is_string_type(uint32_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}
// word!, set-word!, lit-word!, get-word!: the key types a map! stores as set-word!.
inline bool is_map_word_type(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }

inline uint32_t fold_upper(uint32_t c) {
    if (c < 128) return c - 'a' < 26u ? c - 32 : c;
    return g_hash_seams.upper_case(c);
}

inline uint32_t evacuation_epoch() { return g_hash_seams.evacuation_count() + 1; }

// ---- texts --------------------------------------------------------------------

// Code points of a string cell from its head to its tail.
struct CodePoints {
    const uint8_t* p = nullptr;
    uint32_t n = 0;
    uint32_t unit = 1;
    uint32_t at(uint32_t i) const {
        switch (unit) {
        case 1: return p[i];
        case 2: {
            uint16_t u;
            std::memcpy(&u, p + 2 * i, 2);
            return u;
        }
        default: {
            uint32_t u;
            std::memcpy(&u, p + 4 * i, 4);
            return u;
        }
        }
    }
};

inline CodePoints code_points(const Cell* s) {
    CodePoints cp;
    if (!s->data2) return cp;
    const SeriesBuf* b = node_buffer(s->data2);
    uint32_t unit = b->unit();
    if (unit != 2 && unit != 4) unit = 1;
    cp.unit = unit;
    int64_t index = static_cast<int32_t>(s->data1);
    if (index < 0) index = 0;
    uint64_t start = b->head + uint64_t(index) * unit;
    if (start >= b->tail) return cp;
    cp.p = arena_ptr(static_cast<Off>(start));
    cp.n = static_cast<uint32_t>((b->tail - start) >> (unit >> 1));  // units 1, 2, 4: shifts 0, 1, 2
    return cp;
}

inline uint64_t load8(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline uint32_t load4(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// Inline, with no call for any length: a lookup that calls out keeps its
// values in saved registers.
inline bool bytes_equal(const uint8_t* p, const uint8_t* q, size_t n) {
    if (n >= 8) {
        if (n <= 16) return load8(p) == load8(q) && load8(p + n - 8) == load8(q + n - 8);
        for (size_t i = 0; i + 8 < n; i += 8)
            if (load8(p + i) != load8(q + i)) return false;
        return load8(p + n - 8) == load8(q + n - 8);
    }
    if (n >= 4) return load4(p) == load4(q) && load4(p + n - 4) == load4(q + n - 4);
    for (size_t i = 0; i < n; i++)
        if (p[i] != q[i]) return false;
    return true;
}

// The same code points at the same width. Such texts are equal under equal?
// and strict-equal? whatever else those compare, so a match needs no call.
inline bool texts_identical(const CodePoints& a, const CodePoints& b) {
    return a.n == b.n && a.unit == b.unit && bytes_equal(a.p, b.p, size_t(a.n) * a.unit);
}

inline bool all_ascii(const uint8_t* p, uint32_t n) {
    uint64_t any = 0;
    if (n >= 8) {
        any = load8(p) | load8(p + n - 8);  // the first and last 8 bytes; the loop takes the rest
        for (uint32_t i = 8; i + 8 < n; i += 8) any |= load8(p + i);
    } else if (n >= 4) {
        any = load4(p) | load4(p + n - 4);
    } else {
        for (uint32_t i = 0; i < n; i++) any |= p[i];
    }
    return !(any & 0x8080808080808080ull);
}

// Scrambled body blocks of the ASCII code points, upper-cased and as they
// are: half of each hash round over the common characters is a lookup.
struct AsciiBlocks {
    uint32_t folded[128];
    uint32_t exact[256];
};
constexpr AsciiBlocks make_ascii_blocks() {
    AsciiBlocks t{};
    for (uint32_t c = 0; c < 256; c++) {
        t.exact[c] = murmur3_scramble(c);
        if (c < 128) t.folded[c] = murmur3_scramble(c - 'a' < 26u ? c - 32 : c);
    }
    return t;
}
constexpr AsciiBlocks kAsciiBlocks = make_ascii_blocks();

// MurmurHash3 of the code points, one 32-bit block each, upper-cased unless
// `exact` (ASCII inline, the rest through the case seam).
template <class U> uint32_t hash_units(const uint8_t* p, uint32_t n, bool exact) {
    uint32_t h = kHashSeed;
    for (uint32_t i = 0; i < n; i++) {
        U u;
        std::memcpy(&u, p + i * sizeof(U), sizeof(U));
        uint32_t c = u;
        uint32_t k = exact ? murmur3_scramble(c)
                   : c < 128 ? kAsciiBlocks.folded[c]
                             : murmur3_scramble(g_hash_seams.upper_case(c));
        h = murmur3_step(h, k);
    }
    return murmur3_finish(h, 4 * n);
}

__attribute__((noinline)) uint32_t hash_text_by_units(const CodePoints& cp, bool exact) {
    if (cp.unit == 1) return hash_units<uint8_t>(cp.p, cp.n, exact);
    if (cp.unit == 2) return hash_units<uint16_t>(cp.p, cp.n, exact);
    return hash_units<uint32_t>(cp.p, cp.n, exact);
}

// Unit-1 text whose bytes all have a scrambled block in `blocks` (bytes
// below 128, or any byte hashed as it is): a table load and four operations
// a character.
inline uint32_t hash_tabled(const uint8_t* p, uint32_t n, const uint32_t* blocks) {
    uint32_t h = kHashSeed;
    const uint8_t* end = p + n;
    for (const uint8_t* last4 = n >= 4 ? end - 3 : p; p < last4; p += 4) {
        h = murmur3_step(h, blocks[p[0]]);
        h = murmur3_step(h, blocks[p[1]]);
        h = murmur3_step(h, blocks[p[2]]);
        h = murmur3_step(h, blocks[p[3]]);
    }
    for (; p < end; p++) h = murmur3_step(h, blocks[*p]);
    return murmur3_finish(h, 4 * n);
}

inline uint32_t hash_text(const CodePoints& cp, bool exact) {
    if (cp.unit == 1 && exact) return hash_tabled(cp.p, cp.n, kAsciiBlocks.exact);
    if (cp.unit == 1 && all_ascii(cp.p, cp.n)) return hash_tabled(cp.p, cp.n, kAsciiBlocks.folded);
    return hash_text_by_units(cp, exact);
}

struct NoEvacuation {
    bool old;
    NoEvacuation() : old(g_hash_seams.set_node_evacuation(false)) {}
    ~NoEvacuation() { g_hash_seams.set_node_evacuation(old); }
    NoEvacuation(const NoEvacuation&) = delete;
    NoEvacuation& operator=(const NoEvacuation&) = delete;
};

// Keeps a series alive while only this C++ frame refers to it.
struct NodeRoot {
    Cell cell;
    explicit NodeRoot(Off node) {
        cell_set(&cell, TYPE_BINARY, 0, node, 0);
        if (node) g_hash_seams.root_push(&cell);
    }
    ~NodeRoot() {
        if (cell.data2) g_hash_seams.root_pop(&cell);
    }
    NodeRoot(const NodeRoot&) = delete;
    NodeRoot& operator=(const NodeRoot&) = delete;
};

// Keeps a table being made (and its block) alive: a hash! cell naming both.
struct TableRoot {
    Cell cell;
    TableRoot(Off table, Off block) {
        cell_set(&cell, TYPE_HASH, 0, block, table);
        g_hash_seams.root_push(&cell);
    }
    ~TableRoot() { g_hash_seams.root_pop(&cell); }
    TableRoot(const TableRoot&) = delete;
    TableRoot& operator=(const TableRoot&) = delete;
};

// A new series of the same unit, capacity, contents and tail offset; unlike
// series_copy_buffer it takes only the unit from the source's flags (no owner
// bit, no big/fixed bit that describes the source's own storage).
Off copy_series(Off node) {
    SeriesBuf* src = node_buffer(node);
    uint32_t unit = src->unit() ? src->unit() : 1;
    Off fresh = alloc_series(src->size / unit, unit, 0);
    src = node_buffer(node);
    SeriesBuf* dst = node_buffer(fresh);
    uint32_t bytes = src->data_end() - src->head;
    std::memcpy(dst->data(), src->head_ptr(), bytes);
    dst->tail = dst->head + (src->tail - src->head);
    return fresh;
}

// Reserves n bytes at the tail (growing like series_reserve_bytes) and
// returns their offset from the head.
uint32_t reserve_tail(Off node, uint32_t n) {
    SeriesBuf* b = node_buffer(node);
    if (uint64_t(b->tail) + n > b->data_end()) {
        uint64_t want = n > b->size ? uint64_t(2) * n : uint64_t(2) * b->size;
        if (want < uint64_t(b->tail - b->head) + n) want = uint64_t(b->tail - b->head) + n;
        b = series_expand(b, static_cast<int64_t>(want));
    }
    uint32_t off = b->tail - b->head;
    b->tail += n;
    return off;
}

// ---- 32-bit arrays (duplicate chains and the chain list) --------------------

Off u32_make(uint32_t count) { return alloc_series(count ? count : 4, 4, 0); }
inline uint32_t u32_length(Off node) { return used_bytes(node) / 4; }
void u32_append(Off node, uint32_t v) {
    uint32_t off = reserve_tail(node, 4);
    std::memcpy(node_buffer(node)->head_ptr() + off, &v, 4);
}
// Removes the first element equal to v; false when absent.
bool u32_remove(Off node, uint32_t v) {
    SeriesBuf* b = node_buffer(node);
    uint32_t* w = reinterpret_cast<uint32_t*>(b->head_ptr());
    uint32_t n = (b->tail - b->head) / 4;
    for (uint32_t i = 0; i < n; i++) {
        if (w[i] != v) continue;
        std::memmove(w + i, w + i + 1, size_t(n - i - 1) * 4);
        b->tail -= 4;
        return true;
    }
    return false;
}

// ---- table views ------------------------------------------------------------

struct View {
    HashRecord* rec;
    uint32_t* flags;
    int32_t* keys;
    uint8_t* tags;    // null for a kind-2 table
    uint32_t* nodes;  // key nodes: null but for a kind-1 table
    Cell* cells;      // the data block from its head
    uint32_t ncells;  // cells from head to tail
    uint32_t mask;
};

inline View view_of(Off table) {
    View v;
    v.rec = hashtable_record(table);
    v.flags = words_of(v.rec->flags);
    v.keys = keys_of(v.rec);
    v.tags = hashtable_tagged_kind(v.rec->kind) ? hashtable_record_tags(v.rec) : nullptr;
    v.nodes = hashtable_keyed_nodes_kind(v.rec->kind) ? hashtable_record_key_nodes(v.rec) : nullptr;
    SeriesBuf* b = node_buffer(v.rec->block);
    v.cells = reinterpret_cast<Cell*>(b->head_ptr());
    v.ncells = b->tail > b->head ? (b->tail - b->head) / 16 : 0;
    v.mask = v.rec->buckets - 1;
    return v;
}

// Bucket state changes: the flags, and the tags when the table has them.
inline void bucket_set_live(const View& v, uint32_t b, uint32_t hash) {
    hash_flag_set_live(v.flags, b);
    if (v.tags) v.tags[b] = hash_tag(hash);
}
inline void bucket_set_deleted(const View& v, uint32_t b) {
    hash_flag_set_deleted(v.flags, b);
    if (v.tags) v.tags[b] = kHashTagDeleted;
    if (v.nodes) v.nodes[2 * b] = v.nodes[2 * b + 1] = 0;
}
// The key node of a live bucket whose key cell is `key`.
inline uint32_t key_node_of(const Cell* key) { return is_string_type(key->header & CELL_TYPE_MASK) ? key->data2 : 0; }
// A bucket's pair of key node and that node's buffer.
inline void key_text_set(uint32_t* pair, const Cell* key) {
    uint32_t node = key_node_of(key);
    pair[0] = node;
    pair[1] = node ? node_word(node) : 0;
}
inline void bucket_set_key_node(const View& v, uint32_t b, const Cell* key) {
    if (v.nodes) key_text_set(v.nodes + 2 * b, key);
}

// A keys series for a kind-2 table of nb buckets (keys words, zero).
Off alloc_keys(uint32_t nb) {
    uint64_t bytes = uint64_t(4) * nb;
    if (bytes > 0x7FFFFFF0u) error_raise(ErrCat::Internal, "no-memory");
    return alloc_bytes_zeroed(static_cast<uint32_t>(bytes));
}

// A record series for a table of another kind with nb buckets: the record
// (zero but for kind and buckets), the tags (all empty), the keys words
// (zero), for a map! the key text pairs (zero).
Off alloc_record(uint32_t nb, uint32_t kind) {
    uint64_t bytes = kHashArraysAt + uint64_t(hashtable_keys_unit(kind)) * nb;
    if (bytes > 0x7FFFFFF0u) error_raise(ErrCat::Internal, "no-memory");
    Off node = alloc_bytes_zeroed(static_cast<uint32_t>(bytes));
    uint8_t* data = node_buffer(node)->head_ptr();
    std::memset(data + kHashArraysAt, kHashTagEmpty, nb);
    HashRecord* rec = reinterpret_cast<HashRecord*>(data);
    rec->kind = kind;
    rec->buckets = nb;
    return node;
}

// The table's node takes the buffer of `fresh`, a record series filled in
// full, and `fresh` the table's old one (left for the collector): the table
// keeps its node, every buffer stays named by exactly one node.
void record_replace(Off table, Off fresh) {
    uint32_t old_buf = node_word(table), new_buf = node_word(fresh);
    node_word(table) = new_buf;
    arena_at<SeriesBuf>(new_buf)->node = table;
    node_word(fresh) = old_buf;
    arena_at<SeriesBuf>(old_buf)->node = fresh;
}

// Marks every bucket empty (flags, tags and key nodes).
void buckets_clear(Off table) {
    HashRecord* rec = hashtable_record(table);
    series_fill(rec->flags, kHashFlagsFresh);
    if (uint8_t* tags = hashtable_tags(table)) std::memset(tags, kHashTagEmpty, rec->buckets);
    if (uint32_t* nodes = hashtable_key_nodes(table)) std::memset(nodes, 0, 8 * size_t(rec->buckets));
}

// Takes every live bucket's key text pair from its key cell and empties the
// others' (after the cells were replaced by copies, or their nodes and
// buffers moved). `only_set` passes over the buckets whose pair is empty:
// they hold no text key.
void key_pairs_from_cells(Off table, bool only_set) {
    View v = view_of(table);
    if (!v.nodes) return;
    for (uint32_t b = 0; b < v.rec->buckets; b++) {
        uint32_t* pair = v.nodes + 2 * size_t(b);
        if (only_set && !pair[0]) continue;
        uint32_t s = static_cast<uint32_t>(v.keys[b]);
        if (hash_flag_live(v.flags, b) && s < v.ncells) key_text_set(pair, &v.cells[s]);
        else pair[0] = pair[1] = 0;
    }
}

inline Off chain_node(const HashRecord* rec, int32_t k) {
    uint32_t list = rec->chains;
    uint32_t idx = static_cast<uint32_t>(-int64_t(k)) - 1;
    if (!list || idx >= u32_length(list)) return 0;
    return words_of(list)[idx];
}

// First member of a live kind-0 bucket, or -1.
inline int64_t first_member(const HashRecord* rec, int32_t k) {
    if (k >= 0) return k;
    Off chain = chain_node(rec, k);
    if (!chain || u32_length(chain) == 0) return -1;
    return words_of(chain)[0];
}

// Hash of a key as every table operation takes it (case flag 0): integer!
// and char! inline, the rest out of line.
inline uint32_t key_hash(const Cell* key) {
    uint32_t t = key->header & CELL_TYPE_MASK;
    if (t == TYPE_INTEGER || t == TYPE_CHAR) return hashtable_hash_identity(key->data2);
    return hashtable_hash_value(key, false);
}

inline bool keys_equal(const Cell* stored, const Cell* key, uint32_t op) {
    uint32_t ts = stored->header & CELL_TYPE_MASK, tk = key->header & CELL_TYPE_MASK;
    if (ts == TYPE_INTEGER && tk == TYPE_INTEGER) return stored->data2 == key->data2;
    if (ts == tk && (op == HASH_EQUAL || op == HASH_STRICT) && is_string_type(tk) &&
        texts_identical(code_points(stored), code_points(key)))
        return true;
    return g_hash_seams.cells_equal(stored, key, op);
}

bool table_stale(const HashRecord* rec);

// The tags a walk may trust: none for a kind-2 table, and none while the
// table's address hashes are stale (a lookup during a collection, which
// cannot rehash), so that such a walk sees exactly the buckets the flags show.
inline const uint8_t* walk_tags(const View& v) {
    if (!v.tags || (v.rec->epoch && table_stale(v.rec))) return nullptr;
    return v.tags;
}

// The probe walk of `hash`. Calls live(b) for each live bucket that may hold
// the key (with tags: whose tag matches the hash's) until it answers true,
// and returns that bucket; otherwise -1. *reuse gets the first deleted bucket
// met, *empty the empty bucket that ended the walk (-1 when none).
template <class Live>
inline int64_t walk(const View& v, const uint8_t* tags, uint32_t hash, int64_t* reuse, int64_t* empty, Live live) {
    uint32_t b = hash & v.mask;
    *reuse = *empty = -1;
    if (tags) {
        uint8_t tag = hash_tag(hash);
        for (uint32_t step = 0; step <= v.mask;) {
            uint8_t t = tags[b];
            if (t == tag) {
                if (live(b)) return b;
            } else if (t == kHashTagEmpty) {
                *empty = b;
                return -1;
            } else if (t == kHashTagDeleted && *reuse < 0) {
                *reuse = b;
            }
            step++;
            b = (b + step) & v.mask;
        }
        return -1;
    }
    for (uint32_t step = 0; step <= v.mask;) {
        uint32_t bits = hash_flag_bits(v.flags, b);
        if (bits & 2) {
            *empty = b;
            return -1;
        }
        if (bits & 1) {
            if (*reuse < 0) *reuse = b;
        } else if (live(b)) {
            return b;
        }
        step++;
        b = (b + step) & v.mask;
    }
    return -1;
}

// The bucket holding cell idx of a map!, whose cell was just replaced by an
// equal one (a text key by its copy: same hash), takes that cell's node.
void key_node_follow(Off table, uint32_t idx) {
    View v = view_of(table);
    if (!v.nodes || idx >= v.ncells) return;
    int64_t reuse, empty;
    int64_t b = walk(v, walk_tags(v), key_hash(&v.cells[idx]), &reuse, &empty,
                     [&](uint32_t b) { return static_cast<uint32_t>(v.keys[b]) == idx; });
    if (b >= 0) key_text_set(v.nodes + 2 * b, &v.cells[idx]);
}

// Reverse index (kind 0): bucket + 1 per cell, -1 when not indexed.
inline int32_t* reverse_of(const HashRecord* rec, uint32_t* capacity) {
    SeriesBuf* b = node_buffer(rec->index);
    *capacity = b->size / 4;
    return reinterpret_cast<int32_t*>(b->data());
}

void reverse_ensure(Off table, uint32_t idx) {
    SeriesBuf* b = node_buffer(hashtable_record(table)->index);
    if (uint64_t(idx) * 4 + 4 <= b->size) return;
    uint64_t want = (uint64_t(idx) + 1) * 8;
    if (want > 0x7FFFFFF0) want = (uint64_t(idx) + 1) * 4;
    series_expand_filled(b, static_cast<int64_t>(want), 0xFF);
}

bool refresh_table(Off table);
void rehash_into(Off table, uint32_t new_buckets);

// ---- kind 0 -----------------------------------------------------------------

// Drops cell idx from its bucket or chain; nothing when it is not indexed.
void delete_block_index(Off table, uint32_t idx) {
    HashRecord* rec = hashtable_record(table);
    uint32_t cap;
    int32_t* rev = reverse_of(rec, &cap);
    if (idx >= cap || rev[idx] <= 0) return;
    uint32_t b = static_cast<uint32_t>(rev[idx]) - 1;
    rev[idx] = -1;
    if (b >= rec->buckets) return;
    uint32_t* flags = words_of(rec->flags);
    int32_t* keys = keys_of(rec);
    if (!hash_flag_live(flags, b)) return;
    int32_t k = keys[b];
    if (k >= 0) {
        if (static_cast<uint32_t>(k) != idx) return;
    } else {
        Off chain = chain_node(rec, k);
        if (!chain || !u32_remove(chain, idx)) return;
        if (u32_length(chain) > 0) return;
        words_of(rec->chains)[static_cast<uint32_t>(-int64_t(k)) - 1] = 0;
    }
    bucket_set_deleted(view_of(table), b);
    rec->entries--;
}

// Indexes cell idx of a kind-0 table that has room.
int put_block_cell(Off table, uint32_t idx) {
    View v = view_of(table);
    const Cell* key = &v.cells[idx];
    if (v.rec->epoch == 0 && hashtable_identity_type_q(key)) v.rec->epoch = evacuation_epoch();
    uint32_t hash = key_hash(key);
    int64_t reuse, empty;
    int64_t target = walk(v, walk_tags(v), hash, &reuse, &empty, [&](uint32_t b) {
        int64_t f = first_member(v.rec, v.keys[b]);
        return f >= 0 && f < v.ncells && keys_equal(&v.cells[f], key, HASH_EQUAL);
    });
    bool join = target >= 0;
    if (!join) target = reuse >= 0 ? reuse : empty;
    if (target < 0) error_raise(ErrCat::Internal, "no-memory");  // unreachable under the bound
    uint32_t t = static_cast<uint32_t>(target);
    NoEvacuation guard;
    if (join) {
        int32_t k = v.keys[t];
        if (k >= 0) {
            // Reserve the list slot first, so the new chain is reachable as
            // soon as it exists.
            Off list = hashtable_record(table)->chains;
            u32_append(list, 0);
            uint32_t number = u32_length(list);
            Off chain = u32_make(4);
            u32_append(chain, static_cast<uint32_t>(k));
            u32_append(chain, idx);
            words_of(hashtable_record(table)->chains)[number - 1] = chain;
            keys_of(hashtable_record(table))[t] = -static_cast<int32_t>(number);
        } else {
            u32_append(chain_node(hashtable_record(table), k), idx);
        }
    } else {
        HashRecord* rec = v.rec;
        if (hash_flag_empty(v.flags, t)) rec->occupied++;
        bucket_set_live(v, t, hash);
        v.keys[t] = static_cast<int32_t>(idx);
        rec->entries++;
    }
    reverse_ensure(table, idx);
    uint32_t cap;
    reverse_of(hashtable_record(table), &cap)[idx] = static_cast<int32_t>(t + 1);
    return join ? HASH_PUT_FOUND : HASH_PUT_NEW;
}

// Kind 0 bucket holding a cell equal? to key, or -1.
int64_t find_block_bucket(const View& v, const Cell* key) {
    int64_t reuse, empty;
    return walk(v, walk_tags(v), key_hash(key), &reuse, &empty, [&](uint32_t b) {
        int64_t f = first_member(v.rec, v.keys[b]);
        return f >= 0 && f < v.ncells && keys_equal(&v.cells[f], key, HASH_EQUAL);
    });
}

// ---- kinds 1 and 2 ----------------------------------------------------------

// A map! compares word keys as set-words.
inline const Cell* map_key(uint32_t kind, const Cell* key, Cell* scratch) {
    if (kind != HASH_KIND_MAP || !is_map_word_type(key->type()) || key->is(TYPE_SET_WORD)) return key;
    *scratch = *key;
    cell_set_type(scratch, TYPE_SET_WORD);
    return scratch;
}

// Kinds 1-2 lookup of an integer! key: equal under every mode exactly when
// the stored key is an integer! of the same value, so no comparison call and
// no stack frame. Kept small: a lookup's cache misses (keys word and tag,
// stored cell) overlap with the next lookup's only when few instructions
// separate them. `Tagged`: the table's tags are current (kind 1, not stale).
template <bool Tagged> __attribute__((noinline)) Cell* get_keyed_integer(const HashRecord* rec, uint32_t value) {
    const int32_t* keys = keys_of(rec);
    const SeriesBuf* blk = node_buffer(rec->block);
    Cell* cells = reinterpret_cast<Cell*>(blk->head_ptr());
    uint32_t ncells = blk->tail > blk->head ? (blk->tail - blk->head) / 16 : 0;
    uint32_t mask = rec->buckets - 1;
    uint32_t hash = hashtable_hash_identity(value);
    uint32_t b = hash & mask;
    if constexpr (Tagged) {
        const uint8_t* tags = hashtable_record_tags(rec);
        uint8_t tag = hash_tag(hash);
        for (uint32_t step = 0; step <= mask;) {
            uint8_t t = tags[b];
            if (t == tag) {
                uint32_t s = static_cast<uint32_t>(keys[b]);
                if (s < ncells && (cells[s].header & CELL_TYPE_MASK) == TYPE_INTEGER && cells[s].data2 == value)
                    return &cells[s];
            } else if (t == kHashTagEmpty) {
                return nullptr;
            }
            step++;
            b = (b + step) & mask;
        }
        return nullptr;
    }
    const uint32_t* flags = words_of(rec->flags);
    for (uint32_t step = 0; step <= mask;) {
        uint32_t bits = hash_flag_bits(flags, b);
        if (bits & 2) return nullptr;
        uint32_t s = static_cast<uint32_t>(keys[b]);
        if (bits == 0 && s < ncells && (cells[s].header & CELL_TYPE_MASK) == TYPE_INTEGER && cells[s].data2 == value)
            return &cells[s];
        step++;
        b = (b + step) & mask;
    }
    return nullptr;
}

}  // namespace

namespace {

// Kinds 1-2 lookup: the stored key of the key's type equal under `mode`.
__attribute__((noinline)) Cell* get_keyed(Off table, const Cell* key, uint32_t mode) {
    View v = view_of(table);
    uint32_t type = key->header & CELL_TYPE_MASK;
    int64_t reuse, empty;
    int64_t b = walk(v, walk_tags(v), key_hash(key), &reuse, &empty, [&](uint32_t b) {
        uint32_t s = static_cast<uint32_t>(v.keys[b]);
        return s < v.ncells && v.cells[s].type() == type && keys_equal(&v.cells[s], key, mode);
    });
    return b >= 0 ? &v.cells[v.keys[b]] : nullptr;
}

int put_keyed_cell(Off table, uint32_t idx, uint32_t* where) {
    View v = view_of(table);
    Cell scratch;
    const Cell* key = map_key(v.rec->kind, &v.cells[idx], &scratch);
    if (v.rec->kind == HASH_KIND_MAP && v.rec->epoch == 0 && hashtable_identity_type_q(key))
        v.rec->epoch = evacuation_epoch();
    uint32_t hash = key_hash(key);
    uint32_t type = key->type();
    int64_t reuse, empty;
    int64_t found = walk(v, walk_tags(v), hash, &reuse, &empty, [&](uint32_t b) {
        uint32_t s = static_cast<uint32_t>(v.keys[b]);
        return s < v.ncells && v.cells[s].type() == type && keys_equal(&v.cells[s], key, HASH_STRICT);
    });
    if (found >= 0) {
        *where = static_cast<uint32_t>(v.keys[found]);
        return HASH_PUT_FOUND;
    }
    int64_t target = reuse >= 0 ? reuse : empty;
    if (target < 0) error_raise(ErrCat::Internal, "no-memory");  // unreachable under the bound
    uint32_t t = static_cast<uint32_t>(target);
    if (hash_flag_empty(v.flags, t)) v.rec->occupied++;
    bucket_set_live(v, t, hash);
    bucket_set_key_node(v, t, &v.cells[idx]);
    v.keys[t] = static_cast<int32_t>(idx);
    v.rec->entries++;
    *where = idx;
    return HASH_PUT_NEW;
}

// The insertion behind put_key, put_all and reset.
int put_index(Off table, uint32_t idx, uint32_t* where) {
    *where = idx;
    HashRecord* rec = hashtable_record(table);
    uint32_t kind = rec->kind;
    if (kind > HASH_KIND_WORDS || idx >= cell_length(rec->block)) return -1;
    if (refresh_table(table) && kind == HASH_KIND_BLOCK) return HASH_PUT_REBUILT;
    rec = hashtable_record(table);
    if (kind == HASH_KIND_BLOCK) {
        // Putting a cell that is already indexed re-indexes it.
        uint32_t cap;
        int32_t* rev = reverse_of(rec, &cap);
        if (idx < cap && rev[idx] > 0) delete_block_index(table, idx);
    }
    if (rec->occupied >= rec->bound) {
        if (kind == HASH_KIND_BLOCK) {
            hashtable_resize(table, rec->buckets + 1);
            return HASH_PUT_REBUILT;
        }
        bool same = kind != HASH_KIND_MAP && 2 * rec->entries < rec->buckets;
        hashtable_resize(table, same ? rec->buckets - 1 : rec->buckets + 1);
    }
    return kind == HASH_KIND_BLOCK ? put_block_cell(table, idx) : put_keyed_cell(table, idx, where);
}

// ---- kinds 3 and 4 ----------------------------------------------------------

inline Cell* entry_at(const View& v, int32_t offset) {
    return reinterpret_cast<Cell*>(reinterpret_cast<uint8_t*>(v.cells) + static_cast<uint32_t>(offset));
}

// Bucket holding `node`, or -1; *reuse gets the first deleted bucket met and
// *empty the empty bucket that ended the walk (-1 when none).
int64_t find_node_bucket(const View& v, Off node, int64_t* reuse, int64_t* empty) {
    return walk(v, walk_tags(v), hashtable_hash_identity(node), reuse, empty, [&](uint32_t b) {
        const Cell* e = entry_at(v, v.keys[b]);
        return e->data1 == node && e->header == TYPE_UNSET;
    });
}

// put_node without refresh or growth: the table has room.
Cell* put_node_raw(Off table, Off node) {
    View v = view_of(table);
    int64_t reuse, empty;
    int64_t found = find_node_bucket(v, node, &reuse, &empty);
    if (found >= 0) return entry_at(v, v.keys[found]) + 1;
    uint32_t stride = v.rec->index;
    int64_t t;
    if (reuse >= 0) {
        t = reuse;  // a deleted bucket keeps its old entry's storage
    } else {
        if (empty < 0) error_raise(ErrCat::Internal, "no-memory");  // unreachable under the bound
        t = empty;
        uint32_t off;
        {
            NoEvacuation guard;
            off = reserve_tail(v.rec->block, stride);
        }
        v = view_of(table);
        v.keys[t] = static_cast<int32_t>(off);
        v.rec->occupied++;
    }
    bucket_set_live(v, static_cast<uint32_t>(t), hashtable_hash_identity(node));
    v.rec->entries++;
    Cell* e = entry_at(v, v.keys[t]);
    e->header = TYPE_UNSET;
    e->data1 = node;
    for (uint32_t i = 1; i < stride / 16; i++) e[i].header = TYPE_UNSET;
    return e + 1;
}

// Walks the live entries of a node-keyed data block (key cell header 2).
template <class F> void for_each_node_entry(Off block, uint32_t stride, F f) {
    uint32_t used = used_bytes(block);
    for (uint32_t off = 0; stride && off + stride <= used; off += stride) {
        Cell* e = reinterpret_cast<Cell*>(node_buffer(block)->head_ptr() + off);
        if (e->header == TYPE_UNSET) f(off, e);
    }
}

// ---- refresh ----------------------------------------------------------------

bool table_stale(const HashRecord* rec) { return rec->epoch && rec->epoch != evacuation_epoch(); }

// Rehashes a table whose address hashes went stale; true when it did.
bool refresh_table(Off table) {
    HashRecord* rec = hashtable_record(table);
    if (rec->epoch == 0) return false;
    if (rec->epoch == evacuation_epoch() || g_hash_seams.collecting()) return false;
    switch (rec->kind) {
    case HASH_KIND_BLOCK: hashtable_reset(table, cell_length(rec->block)); break;
    case HASH_KIND_MAP:
    case HASH_KIND_WORDS: rehash_into(table, rec->buckets); break;
    default: hashtable_rehash_in_place(table); break;
    }
    return true;
}

// Kinds 1-2: re-inserts every live key into fresh arrays of new_buckets
// (a map!: a fresh record series, which takes the table's node at the end).
void rehash_into(Off table, uint32_t nb) {
    NoEvacuation guard;
    Off flags = alloc_bytes_full(nb / 4, kHashFlagsFresh);
    NodeRoot keep_flags(flags);
    const uint32_t kind = hashtable_record(table)->kind;
    const bool in_record = hashtable_keys_in_record(kind);
    Off fresh = in_record ? alloc_record(nb, kind) : alloc_keys(nb);
    NodeRoot keep_fresh(fresh);
    View old = view_of(table);
    uint32_t* nf = words_of(flags);
    // (The fresh record's own kind and buckets locate its arrays.)
    int32_t* nk = in_record ? keys_of(hashtable_record(fresh)) : reinterpret_cast<int32_t*>(words_of(fresh));
    uint8_t* nt = old.tags ? hashtable_record_tags(hashtable_record(fresh)) : nullptr;
    uint32_t* nn = old.nodes ? hashtable_record_key_nodes(hashtable_record(fresh)) : nullptr;
    uint32_t mask = nb - 1, placed = 0;
    bool by_address = false;
    // The key cells lie anywhere in the block and a text key's buffer
    // anywhere else: each re-insertion would wait for two to four cache
    // misses in a row. The walk instead fetches, a few buckets ahead, the key
    // cell, then (once that is in) a text key's node, then its buffer.
    auto live_key = [&](uint32_t b) -> const Cell* {
        if (!hash_flag_live(old.flags, b)) return nullptr;
        uint32_t s = static_cast<uint32_t>(old.keys[b]);
        return s < old.ncells ? &old.cells[s] : nullptr;
    };
    auto text_node = [](const Cell* c) -> Off {
        uint32_t t = c->header & CELL_TYPE_MASK;
        return is_string_type(t) ? c->data2 : t == TYPE_SYMBOL ? c->data3 : 0;
    };
    constexpr uint32_t kAhead = 8;
    const uint32_t old_buckets = old.rec->buckets;
    for (uint32_t b = 0; b < old_buckets; b++) {
        if (b + 3 * kAhead < old_buckets)
            if (const Cell* c = live_key(b + 3 * kAhead)) __builtin_prefetch(c);
        if (b + 2 * kAhead < old_buckets)
            if (const Cell* c = live_key(b + 2 * kAhead))
                if (Off node = text_node(c)) __builtin_prefetch(&node_word(node));
        if (b + kAhead < old_buckets)
            if (const Cell* c = live_key(b + kAhead))
                if (Off node = text_node(c)) {
                    const uint8_t* buf = arena_ptr(node_word(node));
                    __builtin_prefetch(buf);
                    __builtin_prefetch(buf + 63);  // a short text's data may start on the next line
                }
        const Cell* key = live_key(b);
        if (!key) continue;
        uint32_t s = static_cast<uint32_t>(key - old.cells);
        Cell scratch;
        key = map_key(old.rec->kind, key, &scratch);
        by_address |= hashtable_identity_type_q(key);
        uint32_t hash = key_hash(key);
        uint32_t h = hash & mask;
        for (uint32_t step = 0; !hash_flag_empty(nf, h);) {
            step++;
            h = (h + step) & mask;
        }
        hash_flag_set_live(nf, h);
        if (nt) nt[h] = hash_tag(hash);
        if (nn) key_text_set(nn + 2 * h, &old.cells[s]);
        nk[h] = static_cast<int32_t>(s);
        placed++;
    }
    HashRecord* rec = old.rec;
    if (in_record) {
        rec = hashtable_record(fresh);
        std::memcpy(rec, old.rec, sizeof(HashRecord));
        record_replace(table, fresh);
    } else {
        rec->keys = fresh;
    }
    rec->flags = flags;
    rec->buckets = nb;
    rec->bound = hashtable_resize_bound(nb);
    rec->occupied = placed;
    if (rec->kind == HASH_KIND_WORDS) rec->entries = placed;
    rec->epoch = by_address ? evacuation_epoch() : 0;
}

}  // namespace

// ---- seams: defaults ----------------------------------------------------------

uint32_t hash_default_upper_case(uint32_t c) { return c; }
uint32_t hash_default_symbol_canonical(uint32_t id) { return id; }
void hash_default_money_normalize(Cell*) {}
void hash_default_map_normalize_key(Cell* key, Cell*) {
    if (is_map_word_type(key->type())) cell_set_type(key, TYPE_SET_WORD);
}
uint32_t hash_default_evacuation_count() { return 0; }
bool hash_default_collecting() { return false; }
bool hash_default_set_node_evacuation(bool on) {
    bool old = g_default_evacuation;
    g_default_evacuation = on;
    return old;
}
bool hash_default_mark_node(uint32_t* slot) {
    if (!*slot) return false;
    SeriesBuf* b = node_buffer(*slot);
    if (b->flags & SERIES_MARK) return false;
    b->flags |= SERIES_MARK;
    return true;
}
void hash_default_mark_node_cells(uint32_t* slot) { g_hash_seams.mark_node(slot); }
void hash_default_mark_cells(Cell*, Cell*) {}
void hash_default_remap_moved(uint32_t*, uint32_t*) {}
void hash_default_root_push(Cell*) {}
void hash_default_root_pop(Cell*) {}

namespace {

template <class A, class B> bool units_equal(const uint8_t* p, const uint8_t* q, uint32_t n, bool fold) {
    for (uint32_t i = 0; i < n; i++) {
        A a;
        B b;
        std::memcpy(&a, p + i * sizeof(A), sizeof(A));
        std::memcpy(&b, q + i * sizeof(B), sizeof(B));
        uint32_t c = a, d = b;
        if (c != d && (!fold || fold_upper(c) != fold_upper(d))) return false;
    }
    return true;
}

bool strings_equal(const Cell* a, const Cell* b, bool fold) {
    CodePoints x = code_points(a), y = code_points(b);
    if (x.n != y.n) return false;
    if (x.unit == y.unit) {
        if (!fold) return x.n == 0 || std::memcmp(x.p, y.p, size_t(x.n) * x.unit) == 0;
        switch (x.unit) {
        case 1: return units_equal<uint8_t, uint8_t>(x.p, y.p, x.n, true);
        case 2: return units_equal<uint16_t, uint16_t>(x.p, y.p, x.n, true);
        default: return units_equal<uint32_t, uint32_t>(x.p, y.p, x.n, true);
        }
    }
    for (uint32_t i = 0; i < x.n; i++) {
        uint32_t c = x.at(i), d = y.at(i);
        if (c != d && (!fold || fold_upper(c) != fold_upper(d))) return false;
    }
    return true;
}

// UTF-8 name of a symbol cell (data3: name node).
void symbol_name(const Cell* sym, const uint8_t** p, uint32_t* n) {
    *p = nullptr;
    *n = 0;
    if (!sym->data3) return;
    SeriesBuf* b = node_buffer(sym->data3);
    *p = b->head_ptr();
    *n = b->tail > b->head ? b->tail - b->head : 0;
}

inline uint8_t ascii_lower(uint8_t c) { return uint32_t(c - 'A') < 26u ? uint8_t(c + 32) : c; }

}  // namespace

bool hash_default_cells_equal(const Cell* a, const Cell* b, uint32_t op) {
    uint32_t ta = a->type(), tb = b->type();
    bool exact = op == HASH_STRICT || op == HASH_SAME;
    if (is_word_type(ta) && is_word_type(tb)) {
        if (exact) return ta == tb && a->data2 == b->data2 && (op != HASH_SAME || a->data1 == b->data1);
        // An issue! equals only an issue!; the other word types match each other.
        if ((ta == TYPE_ISSUE) != (tb == TYPE_ISSUE)) return false;
        return g_hash_seams.symbol_canonical(a->data2) == g_hash_seams.symbol_canonical(b->data2);
    }
    if (ta != tb) return false;
    if (is_string_type(ta)) {
        if (op == HASH_SAME) return a->data1 == b->data1 && a->data2 == b->data2;
        return strings_equal(a, b, !exact);
    }
    switch (ta) {
    case TYPE_INTEGER:
    case TYPE_CHAR: return a->data2 == b->data2;
    case TYPE_UNSET:
    case TYPE_NONE: return true;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
        if (op == HASH_SAME) return a->data2 == b->data2 && a->data3 == b->data3;
        // By value, as the comparison does: 0.0 equals -0.0; a NaN matches
        // only a NaN, and under strict equality nothing.
        double x, y;
        std::memcpy(&x, &a->data2, 8);
        std::memcpy(&y, &b->data2, 8);
        return x == y || (op != HASH_STRICT && std::isnan(x) && std::isnan(y));
    }
    case TYPE_SYMBOL: {
        const uint8_t *p, *q;
        uint32_t m, n;
        symbol_name(a, &p, &m);
        symbol_name(b, &q, &n);
        if (m != n) return false;
        for (uint32_t i = 0; i < n; i++)
            if (p[i] != q[i] && (exact || ascii_lower(p[i]) != ascii_lower(q[i]))) return false;
        return true;
    }
    default: return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
    }
}

// ---- sizing -----------------------------------------------------------------

uint32_t next_power_of_two(uint32_t n) {
    if (n <= 1) return 1;
    if (n > 0x80000000u) return 0x80000000u;
    return uint32_t(1) << (32 - __builtin_clz(n - 1));
}

uint32_t hashtable_buckets_for(uint32_t size) {
    if (size < 4) size = 4;
    return next_power_of_two(static_cast<uint32_t>(size / kHashLoad));
}

// ---- hashing ----------------------------------------------------------------

uint32_t hashtable_hash_bytes(const void* data, uint32_t n) { return murmur3_x86_32(data, n, kHashSeed); }

uint32_t hashtable_hash_string(const Cell* str, bool case_sensitive) {
    return hash_text(code_points(str), case_sensitive);
}

uint32_t hashtable_hash_symbol(const Cell* sym) {
    const uint8_t* p;
    uint32_t n;
    symbol_name(sym, &p, &n);
    uint32_t h = kHashSeed;
    uint32_t blocks = n / 4;
    for (uint32_t i = 0; i < blocks; i++) {
        const uint8_t* q = p + 4 * i;
        uint32_t k = ascii_lower(q[0]) | uint32_t(ascii_lower(q[1])) << 8 | uint32_t(ascii_lower(q[2])) << 16 |
                     uint32_t(ascii_lower(q[3])) << 24;
        h = murmur3_round(h, k);
    }
    const uint8_t* tail = p + 4 * blocks;
    uint32_t k = 0;
    switch (n & 3) {
    case 3: k ^= uint32_t(ascii_lower(tail[2])) << 16; [[fallthrough]];
    case 2: k ^= uint32_t(ascii_lower(tail[1])) << 8; [[fallthrough]];
    case 1:
        k ^= ascii_lower(tail[0]);
        h = murmur3_tail(h, k);
    }
    return murmur3_finish(h, n);
}

uint32_t hashtable_hash_value(const Cell* key, bool case_sensitive) {
    switch (key->type()) {
    case TYPE_UNSET: return 0xFFFFFFFEu;
    case TYPE_NONE: return 0xFFFFFFFFu;
    case TYPE_DATATYPE:
    case TYPE_LOGIC:
    case TYPE_OBJECT:
    case TYPE_ERROR:
    case TYPE_PORT: return hashtable_hash_identity(key->data1);
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_MAP:
    case TYPE_HANDLE:
    case TYPE_EVENT: return hashtable_hash_identity(key->data2);
    case TYPE_NATIVE:
    case TYPE_ACTION: return hashtable_hash_identity(key->data3);
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD:
    case TYPE_REFINEMENT:
    case TYPE_ISSUE: return hashtable_hash_identity(g_hash_seams.symbol_canonical(key->data2));
    case TYPE_SYMBOL: return hashtable_hash_symbol(key);
    case TYPE_STRING:
    case TYPE_FILE:
    case TYPE_URL:
    case TYPE_TAG:
    case TYPE_EMAIL:
    case TYPE_REF: return hashtable_hash_string(key, case_sensitive);
    case TYPE_BINARY: {
        if (!key->data2) return hashtable_hash_bytes(nullptr, 0);
        SeriesBuf* b = node_buffer(key->data2);
        int64_t index = static_cast<int32_t>(key->data1);
        uint64_t start = b->head + uint64_t(index < 0 ? 0 : index);
        if (start >= b->tail) return hashtable_hash_bytes(nullptr, 0);
        return hashtable_hash_bytes(arena_ptr(static_cast<Off>(start)), static_cast<uint32_t>(b->tail - start));
    }
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_PATH:
    case TYPE_LIT_PATH:
    case TYPE_SET_PATH:
    case TYPE_GET_PATH:
    case TYPE_HASH:
    case TYPE_POINT2D:
    case TYPE_IMAGE: return hashtable_hash_bytes(&key->data1, 8);
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
        // 0.0 and -0.0 compare equal, and so do any two NaNs: each pair must
        // hash alike.
        double d;
        std::memcpy(&d, &key->data2, 8);
        if (d == 0.0) d = 0.0;
        if (std::isnan(d)) d = std::numeric_limits<double>::quiet_NaN();
        return hashtable_hash_bytes(&d, 8);
    }
    case TYPE_PAIR: return hashtable_hash_bytes(&key->data2, 8);
    case TYPE_OP:
    case TYPE_FUNCTION:
    case TYPE_TRIPLE:
    case TYPE_TYPESET:
    case TYPE_DATE:
    case TYPE_POINT3D: return hashtable_hash_bytes(&key->data1, 12);
    case TYPE_TUPLE: {
        // Bytes from data1 on, the length in header bits 19-22. Trailing zero
        // bytes are left out: 1.2.3 and 1.2.3.0 compare equal, so they must
        // hash alike.
        uint8_t bytes[12];
        std::memcpy(bytes, &key->data1, 12);
        uint32_t n = std::min<uint32_t>((key->header >> 19) & 0xF, 12);
        while (n > 0 && bytes[n - 1] == 0) n--;
        return hashtable_hash_bytes(bytes, n);
    }
    case TYPE_MONEY: {
        Cell copy = *key;
        g_hash_seams.money_normalize(&copy);
        return hashtable_hash_bytes(&copy, 16);
    }
    default: return 0;
    }
}

bool hashtable_identity_type_q(const Cell* c) {
    switch (c->type()) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_OP:
    case TYPE_FUNCTION:
    case TYPE_PATH:
    case TYPE_LIT_PATH:
    case TYPE_SET_PATH:
    case TYPE_GET_PATH:
    case TYPE_OBJECT:
    case TYPE_ERROR:
    case TYPE_HASH:
    case TYPE_MAP:
    case TYPE_PORT:
    case TYPE_IMAGE:
    case TYPE_EVENT: return true;
    default: return false;
    }
}

// ---- byte series made full -----------------------------------------------------

Off alloc_bytes_full(uint32_t n, uint8_t byte) {
    Off node = alloc_bytes(n);
    SeriesBuf* b = node_buffer(node);
    std::memset(b->data(), byte, b->size);
    b->tail = b->head + n;
    return node;
}

Off alloc_bytes_zeroed(uint32_t n) { return alloc_bytes_full(n, 0); }

void series_fill(Off node, uint8_t byte) {
    SeriesBuf* b = node_buffer(node);
    std::memset(b->data(), byte, b->size);
}

void* heap_alloc_filled(size_t bytes, uint8_t byte) {
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p) fatal_runtime_error(94);
    std::memset(p, byte, bytes);
    return p;
}

// ---- making ---------------------------------------------------------------------

Off hashtable_make(uint32_t size, const Cell* block, uint32_t kind, uint32_t extra) {
    if (kind > HASH_KIND_OWNERS) error_raise(ErrCat::Internal, "invalid-arg");
    if (kind == HASH_KIND_WORDS && extra == 2 && block) return hashtable_copy(block->data2);
    if (kind == HASH_KIND_WORDS && size >= 4000) size *= 2;
    if (size < 4) size = 4;
    if (extra > 0x0FFFFFFE) error_raise(ErrCat::Internal, "invalid-arg");
    Off block_node = 0;
    uint32_t head = 0;
    if (block && kind < HASH_KIND_NODES && block->data2) {
        block_node = block->data2;
        int32_t h = static_cast<int32_t>(block->data1);
        head = h < 0 ? 0 : static_cast<uint32_t>(h);
    }
    NoEvacuation guard;
    uint32_t buckets = hashtable_buckets_for(size);
    const bool in_record = hashtable_keys_in_record(kind);
    Off table = in_record ? alloc_record(buckets, kind) : alloc_bytes_zeroed(sizeof(HashRecord));
    TableRoot root(table, block_node);
    hashtable_record(table)->kind = kind;
    if (kind >= HASH_KIND_NODES) {
        hashtable_record(table)->index = extra * 16 + 16;
        hashtable_record(table)->epoch = evacuation_epoch();
    }
    Off flags = alloc_bytes_full(buckets / 4, kHashFlagsFresh);
    hashtable_record(table)->flags = flags;
    if (!in_record) {
        Off keys = alloc_keys(buckets);
        hashtable_record(table)->keys = keys;
    }
    HashRecord* rec = hashtable_record(table);
    rec->buckets = buckets;
    rec->bound = hashtable_bound_for(buckets);
    if (kind == HASH_KIND_BLOCK) {
        Off rev = alloc_bytes_full(4 * size, 0xFF);
        hashtable_record(table)->index = rev;
        Off chains = u32_make(4);
        hashtable_record(table)->chains = chains;
    }
    if (!block_node) {
        Off data = alloc_cells(size);
        hashtable_record(table)->block = data;
        root.cell.data2 = data;
    } else {
        hashtable_record(table)->block = block_node;
        hashtable_put_all(table, head, kind == HASH_KIND_MAP ? 2 : 1);
    }
    return table;
}

void hashtable_reset(Off table, uint32_t n) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind != HASH_KIND_BLOCK) return;
    NoEvacuation guard;
    uint32_t len = cell_length(rec->block);
    uint32_t size = std::max({n, len, 4u});
    uint32_t buckets = hashtable_buckets_for(size);
    // The whole block must index without another resize.
    while (hashtable_bound_for(buckets) <= len) buckets *= 2;
    // Everything new is made before anything is replaced, so running out of
    // memory leaves the table as it was.
    Off flags = 0, fresh = 0, rev = 0;
    if (buckets != rec->buckets) {
        flags = alloc_bytes_full(buckets / 4, kHashFlagsFresh);
    }
    NodeRoot keep_flags(flags);
    if (flags) fresh = alloc_record(buckets, HASH_KIND_BLOCK);
    NodeRoot keep_fresh(fresh);
    if (node_buffer(hashtable_record(table)->index)->size < uint64_t(size) * 4) rev = alloc_bytes_full(4 * size, 0xFF);
    if (fresh) {
        std::memcpy(hashtable_record(fresh), hashtable_record(table), sizeof(HashRecord));
        record_replace(table, fresh);
        hashtable_record(table)->flags = flags;
    } else {
        buckets_clear(table);
    }
    rec = hashtable_record(table);
    if (rev) rec->index = rev;
    else series_fill(rec->index, 0xFF);
    SeriesBuf* list = node_buffer(rec->chains);
    list->tail = list->head;
    rec->buckets = buckets;
    rec->bound = hashtable_bound_for(buckets);
    rec->entries = rec->occupied = 0;
    rec->epoch = 0;
    for (uint32_t i = 0; i < len; i++) put_block_cell(table, i);
}

Cell* hashtable_put_key(Off table, const Cell* key, int* code) {
    HashRecord* rec = hashtable_record(table);
    *code = -1;
    if (rec->kind > HASH_KIND_WORDS) return nullptr;
    SeriesBuf* b = node_buffer(rec->block);
    Off at = arena_off(key);
    if (at < b->head || at >= b->tail || (at - b->head) % 16) return nullptr;
    uint32_t where;
    *code = put_index(table, (at - b->head) / 16, &where);
    if (*code < 0) return nullptr;
    return &cells_of(hashtable_record(table)->block)[where];
}

Cell* hashtable_put(Off table, const Cell* key) {
    int code;
    return hashtable_put_key(table, key, &code);
}

void hashtable_put_all(Off table, uint32_t first, uint32_t step) {
    HashRecord* rec = hashtable_record(table);
    uint32_t kind = rec->kind;
    if (kind > HASH_KIND_WORDS) return;
    if (step == 0) step = 1;
    uint32_t where;
    if (kind != HASH_KIND_MAP) {
        for (uint64_t i = first; i < cell_length(hashtable_record(table)->block); i += step)
            if (put_index(table, static_cast<uint32_t>(i), &where) == HASH_PUT_REBUILT) break;
        return;
    }
    // map!: pairs from `first`; a repeated key keeps its first place and
    // takes the later value, and the later pair leaves the block.
    uint32_t i = first;
    while (uint64_t(i) + 1 < cell_length(hashtable_record(table)->block)) {
        Cell* found = hashtable_get(table, &cells_of(hashtable_record(table)->block)[i], 0, 1, HASH_STRICT);
        Off block = hashtable_record(table)->block;
        Cell* cells = cells_of(block);
        SeriesBuf* b = node_buffer(block);
        uint32_t n = (b->tail - b->head) / 16;
        if (found && found != &cells[i] && found + 1 < cells + n) {
            Cell* value = found + 1;
            if (value->header == 0) hashtable_record(table)->entries++;  // a removed pair comes back
            *value = cells[i + 1];
            std::memmove(&cells[i], &cells[i + 2], size_t(n - i - 2) * 16);
            b->tail -= 32;
            continue;
        }
        if (!found) {
            put_index(table, i, &where);
            cells = cells_of(hashtable_record(table)->block);
            uint32_t node = cells[i].data2;
            g_hash_seams.map_normalize_key(&cells[i], &cells[i + 1]);
            // A text key replaced by its copy: its bucket's key node follows.
            if (cells_of(hashtable_record(table)->block)[i].data2 != node) key_node_follow(table, i);
        }
        i += 2;
    }
}

// ---- lookup -------------------------------------------------------------------------

namespace {

// Kind 0: among the cells equal? to key, filtered by mode, skip and direction.
__attribute__((noinline)) Cell* get_block(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode,
                                          bool last, bool reverse) {
    View v = view_of(table);
    int64_t bucket = find_block_bucket(v, key);
    if (bucket < 0) return nullptr;
    if (skip < 1) skip = 1;
    int32_t k = v.keys[bucket];
    const uint32_t* members = reinterpret_cast<const uint32_t*>(&v.keys[bucket]);
    uint32_t count = 1;
    if (k < 0) {
        Off chain = chain_node(v.rec, k);
        members = words_of(chain);
        count = u32_length(chain);
    }
    int64_t best = -1;
    for (uint32_t j = 0; j < count; j++) {
        int64_t m = members[j];
        if (m >= v.ncells) continue;
        if (reverse) {
            if (m >= head || (head - m) % skip) continue;
            if (best >= 0 && m <= best) continue;
        } else {
            if (m < head || (m - head) % skip) continue;
            if (best >= 0 && (last ? m <= best : m >= best)) continue;
        }
        if ((j > 0 || mode != HASH_EQUAL) && !keys_equal(&v.cells[m], key, mode)) continue;
        best = m;
    }
    return best >= 0 ? &v.cells[best] : nullptr;
}

// A map! looks word keys up as set-words: a retyped copy.
__attribute__((noinline)) Cell* get_map_word(Off table, const Cell* key, uint32_t mode) {
    Cell scratch;
    return get_keyed(table, map_key(HASH_KIND_MAP, key, &scratch), mode);
}

Cell* get_dispatch(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode, bool last, bool reverse,
                   bool fresh);

// A stale table is rehashed first; that allocates and may move the buffer
// the caller's key sits in, so the lookup continues from a copy.
__attribute__((noinline)) Cell* get_refreshed(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode,
                                              bool last, bool reverse) {
    if (hashtable_record(table)->epoch == evacuation_epoch())
        return get_dispatch(table, key, head, skip, mode, last, reverse, true);
    Cell saved = *key;
    refresh_table(table);
    // Still stale only while a collection runs: then the walk goes by the flags.
    bool fresh = !table_stale(hashtable_record(table));
    return get_dispatch(table, &saved, head, skip, mode, last, reverse, fresh);
}

// `fresh`: the table's address hashes (and so its tags) are current.
inline Cell* get_dispatch(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode, bool last,
                          bool reverse, bool fresh) {
    const HashRecord* rec = hashtable_record(table);
    uint32_t kind = rec->kind;
    if (kind == HASH_KIND_MAP || kind == HASH_KIND_WORDS) {
        uint32_t type = key->header & CELL_TYPE_MASK;
        bool tagged = fresh && kind == HASH_KIND_MAP;
        if (type == TYPE_INTEGER)
            return tagged ? get_keyed_integer<true>(rec, key->data2) : get_keyed_integer<false>(rec, key->data2);
        if (tagged && is_string_type(type) && (mode == HASH_EQUAL || mode == HASH_STRICT))
            return hashtable_get_text(rec, key, mode);
        if (kind == HASH_KIND_MAP && is_map_word_type(type) && type != TYPE_SET_WORD)
            return get_map_word(table, key, mode);
        return get_keyed(table, key, mode);
    }
    if (kind == HASH_KIND_BLOCK) return get_block(table, key, head, skip, mode, last, reverse);
    return nullptr;
}

}  // namespace

namespace {

// The walk of a text key of n code points of Unit bytes at p, whose hash is
// `hash`, from probe `step` at bucket b: a stored text with the key's code
// points at the key's width matches after one comparison of bytes; any other
// candidate of the key's type (a case variant, another width, a tag
// collision) goes to the comparison seam.
template <uint32_t Unit>
inline Cell* text_walk_from(const HashRecord* rec, const Cell* key, uint32_t mode, const uint8_t* p, uint32_t n,
                            uint32_t hash, uint32_t b, uint32_t step) {
    uint64_t bytes = uint64_t(n) * Unit;
    const int32_t* keys = keys_of(rec);
    const SeriesBuf* blk = node_buffer(rec->block);
    uint32_t mask = rec->buckets - 1;
    const uint8_t* tags = hashtable_record_tags(rec);
    uint32_t type = key->header & CELL_TYPE_MASK;
    uint8_t tag = hash_tag(hash);
    while (step <= mask) {
        uint8_t t = tags[b];
        if (t == tag) {
            uint64_t at = blk->head + uint64_t(static_cast<uint32_t>(keys[b])) * 16;
            Cell* c = reinterpret_cast<Cell*>(arena_ptr(static_cast<Off>(at)));
            if (at < blk->tail && (c->header & CELL_TYPE_MASK) == type) {
                if (c->data2) {
                    // The stored text, when it has the key's unit, ends exactly
                    // `bytes` after its head.
                    const SeriesBuf* sb = node_buffer(c->data2);
                    int64_t index = static_cast<int32_t>(c->data1);
                    uint64_t start = sb->head + uint64_t(index < 0 ? 0 : index) * Unit;
                    if (sb->unit() == Unit && start + bytes == sb->tail &&
                        bytes_equal(arena_ptr(static_cast<Off>(start)), p, bytes))
                        return c;
                }
                if (g_hash_seams.cells_equal(c, key, mode)) return c;
            }
        } else if (t == kHashTagEmpty) {
            return nullptr;
        }
        step++;
        b = (b + step) & mask;
    }
    return nullptr;
}

// Every text key but a unit-1 ASCII one: hashed by its code points, which
// for a unit-1 text with a byte of 128 or more folds through the case seam.
template <uint32_t Unit>
__attribute__((noinline)) Cell* get_text_units(const HashRecord* rec, const Cell* key, uint32_t mode,
                                               const uint8_t* p, uint32_t n) {
    uint32_t hash = hash_text_by_units(CodePoints{p, n, Unit}, false);
    return text_walk_from<Unit>(rec, key, mode, p, n, hash, hash & (rec->buckets - 1), 0);
}

// The text of a unit-1 key cell from its head: *n code points at the result.
inline const uint8_t* unit1_text(uint8_t* base, const SeriesBuf* kb, const Cell* key, uint32_t* n) {
    int64_t index = static_cast<int32_t>(key->data1);
    uint64_t start = kb->head + uint64_t(index < 0 ? 0 : index);
    *n = start < kb->tail ? static_cast<uint32_t>(kb->tail - start) : 0;
    return base + start;
}

// A stored text cell that is byte-identical to the unit-1 key text p[0, n):
// unit 1, n bytes from its head to its tail, the same bytes. `buf` is the
// buffer of the cell's node, or its bucket's copy of it once checked: a copy
// read beside the keys word lets the buffer load start with the cell's,
// where the cell's own data2 would make it wait for the cell and the node.
inline bool unit1_identical(uint8_t* base, const Cell* c, Off buf, const uint8_t* p, uint32_t n) {
    const SeriesBuf* sb = arena_at<SeriesBuf>(buf);
    // A short text from its buffer's data start ends on the next line 3
    // times in 8: fetch that line with the header, not after it.
    __builtin_prefetch(reinterpret_cast<const uint8_t*>(sb) + sizeof(SeriesBuf) - 1 + n);
    int64_t index = static_cast<int32_t>(c->data1);
    uint64_t start = sb->head + uint64_t(index < 0 ? 0 : index);
    return __builtin_expect(sb->unit() == 1 && start + n == sb->tail, 1) &&
           __builtin_expect(bytes_equal(base + start, p, n), 1);
}

// A bucket's pair (key node, its buffer) when it is the cell's node and that
// node's buffer: the checks are branches, not data dependencies, so the
// caller's loads through the copy need not wait for the cell and the node
// (the empty asm keeps the compiler from using the equal words it compared
// with instead).
inline bool key_node_checked(const Cell* c, uint64_t pair, uint32_t* node, uint32_t* buf) {
    *node = static_cast<uint32_t>(pair);
    *buf = static_cast<uint32_t>(pair >> 32);
    if (__builtin_expect(!*node || c->data2 != *node || node_word(*node) != *buf, 0)) return false;
    asm("" : "+r"(*node), "+r"(*buf));
    return true;
}

// The candidate cell c of bucket b (of the key's type), whose bucket's pair
// is out of date, is byte-identical to the key text: read through the cell,
// and then the pair is brought up to date.
__attribute__((noinline)) bool unit1_identical_repair(uint8_t* base, const Cell* c, uint32_t* nodes, uint32_t b,
                                                     const uint8_t* p, uint32_t n) {
    if (!c->data2 || !unit1_identical(base, c, node_word(c->data2), p, n)) return false;
    key_text_set(nodes + 2 * size_t(b), c);
    return true;
}

// The rest of a unit-1 ASCII key's walk, from probe `step` at bucket b on,
// once its first probe did not settle it: the hash is known already. Still
// call-free until a candidate of the key's type is not byte-identical; the
// general walk takes over from that bucket.
__attribute__((noinline)) Cell* get_text_rest(const HashRecord* rec, const Cell* key, uint32_t mode, uint32_t hash,
                                              uint32_t b, uint32_t step) {
    uint8_t* const base = g_arena_base;
    uint32_t n;
    const uint8_t* p = unit1_text(base, arena_at<SeriesBuf>(node_word(key->data2)), key, &n);
    const uint32_t nb = rec->buckets, mask = nb - 1;
    const uint8_t* tags = hashtable_record_tags(rec);
    const uint8_t* keys = tags + nb;
    uint32_t* nodes = hashtable_record_key_nodes(rec);
    const SeriesBuf* blk = arena_at<SeriesBuf>(node_word(rec->block));
    const uint8_t tag = hash_tag(hash), type = static_cast<uint8_t>(key->header);
    for (;;) {
        uint8_t t = tags[b];
        if (t == tag) {
            uint32_t k, node, buf;
            uint64_t pair;
            std::memcpy(&k, keys + 4 * size_t(b), 4);
            std::memcpy(&pair, nodes + 2 * size_t(b), 8);
            uint64_t at = blk->head + uint64_t(k) * 16;  // past the tail: never a match
            Cell* c = reinterpret_cast<Cell*>(base + at);
            if (at < blk->tail && static_cast<uint8_t>(c->header) == type) {
                if (key_node_checked(c, pair, &node, &buf) ? unit1_identical(base, c, buf, p, n)
                                               : unit1_identical_repair(base, c, nodes, b, p, n))
                    return c;
                return text_walk_from<1>(rec, key, mode, p, n, hash, b, step);
            }
        } else if (t == kHashTagEmpty) {
            return nullptr;
        }
        if (++step > mask) return nullptr;
        b = (b + step) & mask;
    }
}

// The common lookup: a unit-1 ASCII key whose first probe finds its stored
// text byte-identical or an empty bucket. Three lookups in four end there,
// so that probe is laid out straight and calls nothing (anything else goes
// on in get_text_rest): the function keeps everything in scratch registers
// and its cache misses (tag, keys word and key text pair; then the key cell,
// the node word and the stored text's buffer at once) overlap with the next
// lookup's.
inline Cell* text_first_probe(uint8_t* base, const HashRecord* rec, const Cell* key, uint32_t mode,
                              const uint8_t* p, uint32_t n) {
    const uint32_t hash = hash_tabled(p, n, kAsciiBlocks.folded);
    const uint32_t nb = rec->buckets;
    const uint8_t* tags = hashtable_record_tags(rec);
    const uint32_t b = hash & (nb - 1);
    const uint8_t t = tags[b];
    if (__builtin_expect(t == hash_tag(hash), 1)) {
        uint32_t k, node, buf;
        uint64_t pair;
        std::memcpy(&k, tags + nb + 4 * size_t(b), 4);
        std::memcpy(&pair, tags + 5 * size_t(nb) + 8 * size_t(b), 8);
        const SeriesBuf* blk = arena_at<SeriesBuf>(node_word(rec->block));
        uint64_t at = blk->head + uint64_t(k) * 16;  // past the tail: never a match
        Cell* c = reinterpret_cast<Cell*>(base + at);
        if (__builtin_expect(at < blk->tail && static_cast<uint8_t>(c->header) == static_cast<uint8_t>(key->header), 1) &&
            key_node_checked(c, pair, &node, &buf) && unit1_identical(base, c, buf, p, n))
            return c;
    } else if (t == kHashTagEmpty) {
        return nullptr;
    }
    return get_text_rest(rec, key, mode, hash, b, 0);
}

}  // namespace

namespace {

// Every text key but a unit-1 ASCII one.
__attribute__((noinline)) Cell* get_text_other(const HashRecord* rec, const Cell* key, uint32_t mode) {
    CodePoints text = code_points(key);
    if (text.unit == 2) return get_text_units<2>(rec, key, mode, text.p, text.n);
    if (text.unit == 4) return get_text_units<4>(rec, key, mode, text.p, text.n);
    return get_text_units<1>(rec, key, mode, text.p, text.n);
}

}  // namespace

// Kind-1 lookup of a string!-family key under equal? or strict-equal?, with
// current tags. The unit-1 ASCII path calls nothing but its continuations.
Cell* hashtable_get_text(const HashRecord* rec, const Cell* key, uint32_t mode) {
    uint8_t* const base = g_arena_base;
    if (Off kn = key->data2) {
        const SeriesBuf* kb = arena_at<SeriesBuf>(node_word(kn));
        if (kb->unit() == 1) {  // the common case, read as code_points reads it
            uint32_t n;
            const uint8_t* p = unit1_text(base, kb, key, &n);
            if (__builtin_expect(all_ascii(p, n), 1)) return text_first_probe(base, rec, key, mode, p, n);
        }
    }
    return get_text_other(rec, key, mode);
}

Cell* hashtable_get_map(Off table, const HashRecord* rec, const Cell* key, uint32_t mode) {
    uint32_t type = key->header & CELL_TYPE_MASK;
    if (type < 64 && (kHashTextTypes >> type & 1)) return hashtable_get_text(rec, key, mode);
    return hashtable_get_any(table, key, 0, 1, mode, false, false);
}

// Lookups read the caller's key in place and stay small: a lookup's cache
// misses overlap with the next lookup's only when few instructions separate
// them, and a copied key would cost a failed store-to-load forward that
// stalls each lookup behind the previous one's misses.
Cell* hashtable_get_other(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode_and_order) {
    const uint32_t mode = mode_and_order & 0xFF;
    const bool last = mode_and_order >> 8 & 1, reverse = mode_and_order >> 9 & 1;
    const HashRecord* rec = hashtable_record(table);
    if (rec->kind == HASH_KIND_MAP && rec->epoch == 0 && (mode == HASH_EQUAL || mode == HASH_STRICT))
        return hashtable_get_map(table, rec, key, mode);
    return hashtable_get_any(table, key, head, skip, mode, last, reverse);
}

Cell* hashtable_get_any(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode, bool last,
                        bool reverse) {
    if (hashtable_record(table)->epoch) return get_refreshed(table, key, head, skip, mode, last, reverse);
    return get_dispatch(table, key, head, skip, mode, last, reverse, true);
}

Cell* hashtable_get_from(Off table, const Cell* key, int32_t* cursor) {
    Cell saved;
    if (*cursor < 0 && hashtable_record(table)->epoch && hashtable_record(table)->epoch != evacuation_epoch()) {
        saved = *key;
        key = &saved;
        refresh_table(table);
    }
    View v = view_of(table);
    uint32_t kind = v.rec->kind;
    if (kind > HASH_KIND_WORDS) return nullptr;
    Cell scratch;
    const Cell* k = map_key(kind, key, &scratch);
    uint32_t h = hashtable_hash_value(k, false);
    uint32_t step = *cursor < 0 ? 0 : static_cast<uint32_t>(*cursor);
    // Bucket of probe step s: h + s(s+1)/2.
    uint32_t b = static_cast<uint32_t>((h + uint64_t(step) * (step + 1) / 2) & v.mask);
    for (; step < v.rec->buckets;) {
        uint32_t bits = hash_flag_bits(v.flags, b);
        if (bits & 2) break;
        if (bits == 0) {
            int64_t s = kind == HASH_KIND_BLOCK ? first_member(v.rec, v.keys[b]) : v.keys[b];
            if (s >= 0 && s < v.ncells && (kind == HASH_KIND_BLOCK || v.cells[s].type() == k->type()) &&
                keys_equal(&v.cells[s], k, HASH_EQUAL)) {
                *cursor = static_cast<int32_t>(step + 1);
                return &v.cells[s];
            }
        }
        step++;
        b = (b + step) & v.mask;
    }
    *cursor = static_cast<int32_t>(v.rec->buckets);
    return nullptr;
}

void hashtable_delete(Off table, const Cell* cell) {
    View v = view_of(table);
    Off at = arena_off(cell);
    Off head = arena_off(v.cells);
    if (at < head || (at - head) % 16) return;
    uint32_t idx = (at - head) / 16;
    if (idx >= v.ncells) return;
    switch (v.rec->kind) {
    case HASH_KIND_BLOCK: delete_block_index(table, idx); break;
    case HASH_KIND_MAP:
        if (idx + 1 < v.ncells && v.cells[idx + 1].header != 0) {
            v.cells[idx + 1].header = 0;
            v.rec->entries--;
        }
        break;
    case HASH_KIND_WORDS: {
        uint32_t b = hashtable_hash_value(&v.cells[idx], false) & v.mask;
        for (uint32_t step = 0; step < v.rec->buckets;) {
            uint32_t bits = hash_flag_bits(v.flags, b);
            if (bits & 2) return;
            if (bits == 0 && static_cast<uint32_t>(v.keys[b]) == idx) {
                bucket_set_deleted(v, b);
                v.rec->entries--;
                return;
            }
            step++;
            b = (b + step) & v.mask;
        }
        break;
    }
    default: break;
    }
}

// ---- node-keyed tables --------------------------------------------------------------

Cell* hashtable_put_node(Off table, Off node) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind < HASH_KIND_NODES) return nullptr;
    refresh_table(table);
    rec = hashtable_record(table);
    if (rec->occupied >= rec->bound)
        hashtable_resize(table, 2 * rec->entries < rec->buckets ? rec->buckets - 1 : rec->buckets + 1);
    return put_node_raw(table, node);
}

Cell* hashtable_get_node(Off table, Off node) {
    if (hashtable_record(table)->kind < HASH_KIND_NODES) return nullptr;
    refresh_table(table);
    View v = view_of(table);
    int64_t reuse, empty;
    int64_t b = find_node_bucket(v, node, &reuse, &empty);
    return b >= 0 ? entry_at(v, v.keys[b]) + 1 : nullptr;
}

void hashtable_delete_node(Off table, Off node) {
    if (hashtable_record(table)->kind < HASH_KIND_NODES) return;
    refresh_table(table);
    View v = view_of(table);
    int64_t reuse, empty;
    int64_t b = find_node_bucket(v, node, &reuse, &empty);
    if (b < 0) return;
    cell_set(entry_at(v, v.keys[b]), 0);
    bucket_set_deleted(v, static_cast<uint32_t>(b));
    v.rec->entries--;
}

// ---- copying, clearing, ranges --------------------------------------------------------

namespace {

Off copy_table(Off table, Off block_node) {
    NoEvacuation guard;
    Off copy = copy_series(table);
    // Until each array is replaced the copy names the original's: harmless
    // to mark, and never written through.
    TableRoot root(copy, block_node);
    Off flags = copy_series(hashtable_record(table)->flags);
    hashtable_record(copy)->flags = flags;
    if (!hashtable_keys_in_record(hashtable_record(table)->kind)) {
        Off keys = copy_series(hashtable_record(table)->keys);
        hashtable_record(copy)->keys = keys;
    }
    if (hashtable_record(table)->kind == HASH_KIND_BLOCK) {
        Off rev = copy_series(hashtable_record(table)->index);
        hashtable_record(copy)->index = rev;
        Off list = copy_series(hashtable_record(table)->chains);
        hashtable_record(copy)->chains = list;
        uint32_t n = u32_length(list);
        for (uint32_t i = 0; i < n; i++) {
            Off chain = words_of(list)[i];
            if (!chain) continue;
            Off fresh = copy_series(chain);
            words_of(hashtable_record(copy)->chains)[i] = fresh;
        }
    }
    if (!block_node) block_node = copy_series(hashtable_record(table)->block);
    hashtable_record(copy)->block = block_node;
    return copy;
}

}  // namespace

Off hashtable_copy(Off table) { return copy_table(table, 0); }

Off hashtable_copy_for_block(Off table, Off block_node) {
    if (!block_node) return copy_table(table, 0);
    Off copy = copy_table(table, block_node);
    key_pairs_from_cells(copy, false);  // the block's texts may be copies too
    return copy;
}

void hashtable_clear(Off table) {
    buckets_clear(table);
    HashRecord* rec = hashtable_record(table);
    rec->entries = rec->occupied = 0;
    SeriesBuf* b = node_buffer(rec->block);
    b->tail = b->head;
    if (rec->kind == HASH_KIND_BLOCK) {
        series_fill(rec->index, 0xFF);
        SeriesBuf* list = node_buffer(rec->chains);
        list->tail = list->head;
        rec->epoch = 0;
    } else if (rec->kind == HASH_KIND_MAP) {
        rec->epoch = 0;
    }
}

void hashtable_remove_range(Off table, uint32_t first, uint32_t count) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind != HASH_KIND_BLOCK) return;
    uint32_t len = cell_length(rec->block);
    if (first >= len) return;
    count = std::min(count, len - first);
    if (count == 0) return;
    if (first == 0 && count == len) {
        buckets_clear(table);
        series_fill(rec->index, 0xFF);
        SeriesBuf* list = node_buffer(rec->chains);
        list->tail = list->head;
        rec->entries = rec->occupied = 0;
        rec->epoch = 0;
        return;
    }
    // Entries drop only when a bucket empties: a chain member leaving a
    // chain that keeps others leaves the key in the table.
    for (uint32_t i = first; i < first + count; i++) delete_block_index(table, i);
}

namespace {

// Applies f to every stored cell index of a kind-0 table.
template <class F> void for_each_stored_index(Off table, F f) {
    View v = view_of(table);
    for (uint32_t b = 0; b < v.rec->buckets; b++) {
        if (!hash_flag_live(v.flags, b)) continue;
        int32_t k = v.keys[b];
        if (k >= 0) {
            v.keys[b] = static_cast<int32_t>(f(static_cast<uint32_t>(k)));
            continue;
        }
        Off chain = chain_node(v.rec, k);
        if (!chain) continue;
        uint32_t* w = words_of(chain);
        for (uint32_t j = 0, n = u32_length(chain); j < n; j++) w[j] = f(w[j]);
    }
}

}  // namespace

int hashtable_shift_indexes(Off table, uint32_t first, int32_t distance, bool shift_reverse) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind != HASH_KIND_BLOCK || distance == 0) return 0;
    if (rec->entries > kHashShiftLimit) return 1;
    if (int64_t(first) + distance < 0) return 1;
    for_each_stored_index(table, [&](uint32_t x) { return x >= first ? static_cast<uint32_t>(int64_t(x) + distance) : x; });
    if (!shift_reverse) return 0;
    uint32_t cap;
    int32_t* rev = reverse_of(hashtable_record(table), &cap);
    if (first >= cap) return 0;
    if (distance > 0) {
        uint32_t used = cap;
        while (used > first && rev[used - 1] == -1) used--;
        if (used <= first) return 0;
        {
            NoEvacuation guard;
            reverse_ensure(table, used - 1 + static_cast<uint32_t>(distance));
        }
        rev = reverse_of(hashtable_record(table), &cap);
        std::memmove(rev + first + distance, rev + first, size_t(used - first) * 4);
        std::memset(rev + first, 0xFF, size_t(distance) * 4);
    } else {
        uint32_t d = static_cast<uint32_t>(-int64_t(distance));
        std::memmove(rev + first - d, rev + first, size_t(cap - first) * 4);
        std::memset(rev + cap - d, 0xFF, size_t(d) * 4);
    }
    return 0;
}

int hashtable_move_entries(Off table, uint32_t first, uint32_t count, uint32_t target) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind != HASH_KIND_BLOCK || count == 0) return 0;
    if (target >= first && target <= first + count) return 0;
    if (rec->entries > kHashShiftLimit) return 1;
    uint32_t end = first + count;
    auto moved = [&](uint32_t x) -> uint32_t {
        if (target < first) {
            if (x >= first && x < end) return x - first + target;
            if (x >= target && x < first) return x + count;
        } else {
            if (x >= first && x < end) return x - first + target - count;
            if (x >= end && x < target) return x - count;
        }
        return x;
    };
    for_each_stored_index(table, moved);
    uint32_t lo = std::min(first, target), hi = std::max(end, target);
    {
        NoEvacuation guard;
        reverse_ensure(table, hi - 1);
    }
    uint32_t cap;
    int32_t* rev = reverse_of(hashtable_record(table), &cap);
    std::vector<int32_t> slice(rev + lo, rev + hi);
    for (uint32_t x = lo; x < hi; x++) rev[moved(x)] = slice[x - lo];
    return 0;
}

// ---- resizing --------------------------------------------------------------------------

void hashtable_refresh(Off table) { refresh_table(table); }

void hashtable_resize(Off table, uint32_t requested) {
    NoEvacuation guard;  // restored also when an error passes through
    HashRecord* rec = hashtable_record(table);
    switch (rec->kind) {
    case HASH_KIND_BLOCK: hashtable_reset(table, 2 * cell_length(rec->block)); break;
    case HASH_KIND_MAP:
    case HASH_KIND_WORDS: hashtable_rehash(table, requested); break;
    default: hashtable_rehash_nodes(table, requested); break;
    }
}

void hashtable_rehash(Off table, uint32_t requested) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind != HASH_KIND_MAP && rec->kind != HASH_KIND_WORDS) return;
    uint32_t nb = std::max(4u, next_power_of_two(requested));
    // A map! keeps the buckets of removed pairs live: count what will move.
    uint32_t live = 0;
    uint32_t* flags = words_of(rec->flags);
    for (uint32_t b = 0; b < rec->buckets; b++) live += hash_flag_live(flags, b);
    if (std::max(live, rec->entries) >= hashtable_resize_bound(nb)) return;
    rehash_into(table, nb);
}

void hashtable_rehash_nodes(Off table, uint32_t requested) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind < HASH_KIND_NODES) return;
    uint32_t nb = std::max(4u, next_power_of_two(requested));
    uint32_t nbound = hashtable_resize_bound(nb);
    if (rec->entries >= nbound) return;
    NoEvacuation guard;
    uint32_t stride = rec->index;
    uint32_t live = rec->entries;
    Off old_block = rec->block;
    NodeRoot keep_old(old_block);
    Off flags = alloc_bytes_full(nb / 4, kHashFlagsFresh);
    NodeRoot keep_flags(flags);
    Off fresh = alloc_record(nb, rec->kind);
    NodeRoot keep_fresh(fresh);
    Off data = alloc_cells(std::max(live, 4u) * (stride / 16));
    std::memcpy(hashtable_record(fresh), hashtable_record(table), sizeof(HashRecord));
    record_replace(table, fresh);
    rec = hashtable_record(table);
    rec->flags = flags;
    rec->block = data;
    rec->buckets = nb;
    rec->bound = nbound;
    rec->entries = rec->occupied = 0;
    rec->epoch = evacuation_epoch();
    uint32_t cells_per_entry = stride / 16;
    for_each_node_entry(old_block, stride, [&](uint32_t off, Cell* e) {
        Cell* fresh = put_node_raw(table, e->data1);  // may move the old block's buffer
        const Cell* src = reinterpret_cast<const Cell*>(node_buffer(old_block)->head_ptr() + off);
        for (uint32_t i = 1; i < cells_per_entry; i++) fresh[i - 1] = src[i];
    });
}

void hashtable_rehash_in_place(Off table) {
    if (hashtable_record(table)->kind < HASH_KIND_NODES) return;
    buckets_clear(table);
    View v = view_of(table);
    v.rec->entries = v.rec->occupied = 0;
    for_each_node_entry(v.rec->block, v.rec->index, [&](uint32_t off, Cell* e) {
        uint32_t hash = hashtable_hash_identity(e->data1);
        uint32_t b = hash & v.mask;
        for (uint32_t step = 0; !hash_flag_empty(v.flags, b);) {
            step++;
            b = (b + step) & v.mask;
        }
        bucket_set_live(v, b, hash);
        v.keys[b] = static_cast<int32_t>(off);
        v.rec->entries++;
        v.rec->occupied++;
    });
    v.rec->epoch = evacuation_epoch();
}

// ---- the collector's hooks -------------------------------------------------------------

void hashtable_mark(uint32_t* slot) {
    if (!*slot || !g_hash_seams.mark_node(slot)) return;
    HashRecord* rec = hashtable_record(*slot);
    if (rec->kind == HASH_KIND_BLOCK) {
        if (rec->index) g_hash_seams.mark_node(&rec->index);
        if (rec->chains && g_hash_seams.mark_node(&rec->chains)) {
            uint32_t* list = words_of(rec->chains);
            for (uint32_t i = 0, n = u32_length(rec->chains); i < n; i++)
                if (list[i]) g_hash_seams.mark_node(&list[i]);
        }
    }
    if (rec->flags) g_hash_seams.mark_node(&rec->flags);
    if (rec->keys) g_hash_seams.mark_node(&rec->keys);
    // A map!'s key text pairs copy its key cells' nodes, which the block's
    // marking keeps alive and repoints, and their buffers, which the
    // collection may move afterwards: hashtable_buffers_moved takes them
    // from the cells again once it has.
    if (rec->flags && rec->block && hashtable_keyed_nodes_kind(rec->kind) && g_hash_seams.collecting())
        g_marked_maps.push_back(*slot);
    if (!rec->block) return;
    if (rec->kind == HASH_KIND_OWNERS) {
        // Weak: the entries' keys and cells live or die with their series
        // and owners, which the sweep decides.
        g_hash_seams.mark_node(&rec->block);
        return;
    }
    if (rec->kind == HASH_KIND_NODES && rec->flags) {
        View v = view_of(*slot);
        for (uint32_t b = 0; b < v.rec->buckets; b++) {
            if (!hash_flag_live(v.flags, b)) continue;
            Cell* e = entry_at(v, v.keys[b]);
            if (!e->data1) continue;
            if (node_buffer(e->data1)->unit() == 16) g_hash_seams.mark_node_cells(&e->data1);
            else g_hash_seams.mark_node(&e->data1);
        }
    }
    g_hash_seams.mark_node_cells(&rec->block);
}

void hashtable_buffers_moved() {
    // From the cells, which marking repointed, not from the old pairs: a
    // pair out of date may name a node released since.
    for (Off table : g_marked_maps) key_pairs_from_cells(table, true);
    g_marked_maps.clear();
}

void hashtable_sweep(Off table) {
    HashRecord* rec = hashtable_record(table);
    if (rec->kind < HASH_KIND_NODES) return;
    View v = view_of(table);
    uint32_t extra = v.rec->index / 16 - 1;
    for (uint32_t b = 0; b < v.rec->buckets; b++) {
        if (!hash_flag_live(v.flags, b)) continue;
        Cell* e = entry_at(v, v.keys[b]);
        g_hash_seams.remap_moved(&e->data1, &e->data1 + 1);
        bool dead = !e->data1 || !(node_buffer(e->data1)->flags & SERIES_MARK);
        if (!dead && v.rec->kind == HASH_KIND_OWNERS && extra >= 2) {
            Cell* owner = e + 2;
            if ((owner->is(TYPE_OBJECT) || owner->is(TYPE_ERROR) || owner->is(TYPE_PORT)) && owner->data1) {
                g_hash_seams.remap_moved(&owner->data1, &owner->data1 + 1);
                dead = !(node_buffer(owner->data1)->flags & SERIES_MARK);
                // A series that outlives its owner loses its mark with the
                // record, so that another object can own it.
                if (dead && !(e + 1)->is(TYPE_IMAGE)) node_buffer(e->data1)->flags &= ~SERIES_OWNED;
            }
        }
        if (dead) {
            cell_set(e, 0);
            bucket_set_deleted(v, b);
            v.rec->entries--;
            continue;
        }
        // Survivors: everything they name is reachable already; visiting
        // their cells repoints evacuated nodes.
        g_hash_seams.mark_node(&e->data1);
        g_hash_seams.mark_cells(e + 1, e + 1 + extra);
    }
}

std::string hashtable_dump(Off table) {
    View v = view_of(table);
    std::string alive = "== Alive keys ==\n", deleted = "\n== Deleted keys ==\n";
    for (uint32_t b = 0; b < v.rec->buckets; b++) {
        uint32_t bits = hash_flag_bits(v.flags, b);
        if (bits & 2) continue;
        std::string line = std::to_string(b) + ": " + std::to_string(v.keys[b]) + "\n";
        (bits & 1 ? deleted : alive) += line;
    }
    return alive + deleted;
}

void hashtable_noop() {}

}  // namespace kel
