// Hash tables: one open-addressing engine for every keyed lookup of the runtime.
//
// A table lives entirely in series buffers, so the collector moves it like any
// other series; it is named by the node of its record series (the 44-byte
// record, and for every kind but 2 the per-bucket arrays after it). Buckets
// are a power of two (at least 4), two flag bits each, probed triangularly
// (b, b+1, b+3, b+6, ... mod buckets, which visits every bucket once); the
// table grows when the buckets in use (live or deleted) reach 0.77 of them.
// Every hash is MurmurHash3 x86-32 with one process-wide seed, or its
// finaliser alone (the identity hash) for 32-bit values.
//
// Kinds:
//   0 hash!   every cell of the block is a key; equal cells share one bucket
//             through a duplicate chain; a reverse index maps cell -> bucket.
//   1 map!    the key cells of the block's key/value pairs.
//   2 words   the symbol table and every context's words table.
//   3 nodes   node-keyed side tables; entries of (extra + 1) cells.
//   4 owners  the owners table: node-keyed, 4-cell entries, swept by the
//             collector (its keys do not keep their series alive).
//
// Invariants:
//  - a bucket is empty, deleted or live; `occupied` counts live + deleted,
//    `entries` counts distinct live keys (a kind-0 chain is one entry);
//  - keys of kinds 0-2 are cell indexes counted from the block buffer's head,
//    the same origin as a series cell's head index; kinds 3-4 store the byte
//    offset of the entry from the data block's head;
//  - a kind-0 table's reverse index holds, per cell, its bucket + 1 or -1;
//  - tables of kinds 0, 1, 3 and 4 keep in the record series (see "The record
//    series" below) a tag byte per bucket (see "Bucket tags"), always in step
//    with the flags, then their keys words; a map! keeps after those its text
//    keys' nodes and buffers ("Key texts");
//  - `epoch` is 0, or (node-evacuation count + 1) at the time the table last
//    hashed a key by its node address. A table whose epoch is stale is rehashed
//    lazily by the next lookup;
//  - every Cell* returned points into a buffer and is stale after the next
//    allocation.
//
// ---------------------------------------------------------------------------
// Seams
// ---------------------------------------------------------------------------
// The engine needs a few services that other subsystems own. It reaches them
// through `g_hash_seams`, whose defaults (`HashSeams{}`) are enough for
// integer!, string!-family (unit 1/2/4 series: data1 head index, data2 node),
// symbol! (data3 name node, UTF-8 bytes) and word!-family (data2 symbol id)
// keys, with no collector present. The owning subsystem replaces its entry at
// start-up:
//
//   upper_case(c)        upper-case form of code point c (>= 128: ASCII is
//                        folded inline). Owner: case folding. Default: c.
//   symbol_canonical(id) the symbol's alias when positive, else id. Owner:
//                        symbol table. Default: id.
//   cells_equal(a, b, op) true when the comparison action answers "equal" for
//                        a and b under operator code op (0 equal?, 2
//                        strict-equal?, 9 same?, 12 find/select equality).
//                        Owner: action dispatch. Default: integers, strings,
//                        symbols and words as above; otherwise same type and
//                        same payload words.
//   money_normalize(c)   normalises a stack copy of a money! before hashing.
//                        Owner: money!. Default: nothing.
//   map_normalize_key(k, v) prepares a map! key just indexed (word keys become
//                        set-word!, string keys are copied); may raise. Owner:
//                        map!. Default: word keys retyped to set-word!.
//   evacuation_count()   node-evacuation collections so far ("nodes-cycles").
//   collecting()         true while a collection runs.
//   set_node_evacuation(on) -> previous setting of the collector's switch.
//   mark_node(slot)      marks the node in *slot (repointing an evacuated
//                        node first); true when newly marked.
//   mark_node_cells(slot) mark_node, and when newly marked the node's cells
//                        by type.
//   mark_cells(first, last) marks the cells of a range by type.
//   remap_moved(first, last) rewrites evacuated node addresses in a range of
//                        words, marking nothing.
//   root_push(cell) / root_pop(cell) register a C++-held cell as a root for
//                        its lifetime (innermost first): a hash! cell {36, 0,
//                        block, table} for a table being made or copied (its
//                        block node may still be 0), or a binary! cell {41, 0,
//                        node, 0} for an array made but not yet linked.
//   Owner of the last eight: the collector. Defaults: count 0, never
//   collecting, the switch kept in a private flag, marks set the buffer's
//   mark bit and nothing more, remap and roots do nothing.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/murmur.h"

namespace kel {

// ---- seams ----------------------------------------------------------------

uint32_t hash_default_upper_case(uint32_t c);
uint32_t hash_default_symbol_canonical(uint32_t id);
bool hash_default_cells_equal(const Cell* a, const Cell* b, uint32_t op);
void hash_default_money_normalize(Cell* c);
void hash_default_map_normalize_key(Cell* key, Cell* value);
uint32_t hash_default_evacuation_count();
bool hash_default_collecting();
bool hash_default_set_node_evacuation(bool on);
bool hash_default_mark_node(uint32_t* slot);
void hash_default_mark_node_cells(uint32_t* slot);
void hash_default_mark_cells(Cell* first, Cell* last);
void hash_default_remap_moved(uint32_t* first, uint32_t* last);
void hash_default_root_push(Cell* cell);
void hash_default_root_pop(Cell* cell);

struct HashSeams {
    uint32_t (*upper_case)(uint32_t c) = hash_default_upper_case;
    uint32_t (*symbol_canonical)(uint32_t id) = hash_default_symbol_canonical;
    bool (*cells_equal)(const Cell* a, const Cell* b, uint32_t op) = hash_default_cells_equal;
    void (*money_normalize)(Cell* c) = hash_default_money_normalize;
    void (*map_normalize_key)(Cell* key, Cell* value) = hash_default_map_normalize_key;
    uint32_t (*evacuation_count)() = hash_default_evacuation_count;
    bool (*collecting)() = hash_default_collecting;
    bool (*set_node_evacuation)(bool on) = hash_default_set_node_evacuation;
    bool (*mark_node)(uint32_t* slot) = hash_default_mark_node;
    void (*mark_node_cells)(uint32_t* slot) = hash_default_mark_node_cells;
    void (*mark_cells)(Cell* first, Cell* last) = hash_default_mark_cells;
    void (*remap_moved)(uint32_t* first, uint32_t* last) = hash_default_remap_moved;
    void (*root_push)(Cell* cell) = hash_default_root_push;
    void (*root_pop)(Cell* cell) = hash_default_root_pop;
};
extern HashSeams g_hash_seams;

// ---- constants and the record ---------------------------------------------

constexpr uint32_t kHashSeed = 0x0055760C;  // fixed for the life of the process
constexpr double kHashLoad = 0.77;
constexpr uint32_t kHashShiftLimit = 30000;  // above: shifting gives up, caller rebuilds

enum HashKind : uint32_t {
    HASH_KIND_BLOCK = 0,
    HASH_KIND_MAP = 1,
    HASH_KIND_WORDS = 2,
    HASH_KIND_NODES = 3,
    HASH_KIND_OWNERS = 4,
};

// Comparison operator codes the lookups take.
constexpr uint32_t HASH_EQUAL = 0;
constexpr uint32_t HASH_STRICT = 2;
constexpr uint32_t HASH_SAME = 9;

// Result codes of hashtable_put_key.
constexpr int HASH_PUT_NEW = 0;      // the key took a bucket of its own
constexpr int HASH_PUT_FOUND = 1;    // kinds 1-2: already present; kind 0: joined a chain
constexpr int HASH_PUT_REBUILT = 2;  // kind 0: the whole index was rebuilt (this cell included)

struct HashRecord {
    uint32_t entries;   // distinct live keys
    uint32_t index;     // kind 0: reverse-index node; kinds 3-4: entry stride in bytes
    uint32_t chains;    // kind 0: node of the chain list (unit 4, 1-based, 0 = freed)
    uint32_t flags;     // node of the bucket flags
    uint32_t keys;      // kind 2: node of the keys array (int32 per bucket); other kinds: 0
                        // (their keys words follow the record: see "The record series")
    uint32_t block;     // node of the data block (cells)
    uint32_t occupied;  // live + deleted buckets
    uint32_t buckets;   // power of two, >= 4
    uint32_t bound;     // resize when occupied reaches it
    uint32_t kind;
    uint32_t epoch;
};
static_assert(sizeof(HashRecord) == 44);

inline HashRecord* hashtable_record(Off table) {
    return reinterpret_cast<HashRecord*>(node_buffer(table)->head_ptr());
}
// The record series is made by this engine with its head at the start of its
// data, and nothing moves a head within its buffer (the collector moves head
// and data together), so the lookup fast paths find the record from the node
// alone, one load fewer.
inline uint8_t* hashtable_series_data(uint8_t* base, Off node) {
    return base + node_word(node) + sizeof(SeriesBuf);
}

// The record series: tables of kinds 0, 1, 3 and 4 keep their per-bucket
// arrays in the record's own series, from kHashArraysAt bytes after the
// record's start: the tags (a byte per bucket), the keys words (int32 per
// bucket), and for a map! the key text pairs (two words per bucket), so the
// series is kHashArraysAt + hashtable_keys_unit(kind) * buckets bytes. The
// record's `keys` field is then 0. A lookup reaches the record, the tags and
// the keys words through the one node: a random lookup in a big table spends
// its time waiting for cache misses, and the processor overlaps as many
// lookups as it holds instructions for, so each load and address step saved
// on the way to the first probe lets more lookups run at once (the tags come
// first: their offset then needs no multiple of the bucket count, one
// address step fewer). A resize makes a whole new record series, copies the
// record into it and gives it the table's node (hashtable_record is stale
// after any call that may resize). Kind 2 keeps
// its keys in a series of their own, named by `keys`, and has no tags: the
// symbol subsystem probes and fills words tables itself.
constexpr uint32_t kHashArraysAt = 48;
static_assert(kHashArraysAt >= sizeof(HashRecord) && kHashArraysAt % 16 == 0);
inline bool hashtable_keys_in_record(uint32_t kind) { return kind != HASH_KIND_WORDS; }
// Where a table's arrays start, from its record (kinds other than 2).
inline uint8_t* hashtable_record_tags(const HashRecord* rec) {
    return const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(rec)) + kHashArraysAt;
}
inline int32_t* hashtable_record_keys(const HashRecord* rec) {
    if (!hashtable_keys_in_record(rec->kind)) return reinterpret_cast<int32_t*>(node_buffer(rec->keys)->head_ptr());
    return reinterpret_cast<int32_t*>(hashtable_record_tags(rec) + rec->buckets);
}
inline uint32_t* hashtable_record_key_nodes(const HashRecord* rec) {
    return reinterpret_cast<uint32_t*>(hashtable_record_tags(rec) + 5 * size_t(rec->buckets));
}
// The table's keys words.
inline int32_t* hashtable_keys(Off table) { return hashtable_record_keys(hashtable_record(table)); }

// Bucket flags: two bits per bucket, bucket b at bits 2*(b%16) of word b/16;
// high bit of the pair = empty, low bit = deleted, both clear = live.
constexpr uint8_t kHashFlagsFresh = 0xAA;
inline uint32_t hash_flag_bits(const uint32_t* flags, uint32_t b) { return (flags[b >> 4] >> ((b & 15) * 2)) & 3; }
inline bool hash_flag_empty(const uint32_t* flags, uint32_t b) { return hash_flag_bits(flags, b) & 2; }
inline bool hash_flag_deleted(const uint32_t* flags, uint32_t b) { return hash_flag_bits(flags, b) & 1; }
inline bool hash_flag_live(const uint32_t* flags, uint32_t b) { return hash_flag_bits(flags, b) == 0; }
inline void hash_flag_set_live(uint32_t* flags, uint32_t b) { flags[b >> 4] &= ~(3u << ((b & 15) * 2)); }
inline void hash_flag_set_deleted(uint32_t* flags, uint32_t b) {
    uint32_t shift = (b & 15) * 2;
    flags[b >> 4] = (flags[b >> 4] & ~(3u << shift)) | (1u << shift);
}

// Bucket tags: tables of every kind but 2 keep, before their keys words (the
// arrays are then 5 bytes a bucket), one byte per bucket that
// repeats its flags and adds 7 bits of the key's hash: the hash's top 7 bits
// for a live bucket, kHashTagEmpty or kHashTagDeleted otherwise. A lookup
// reads the tag beside the keys word and touches the key cell only when the
// tag matches, so most probes that end on another key cost no cache miss.
// The flags stay authoritative; the tags change with them in every write of
// this engine. Kind 2 has none: the symbol subsystem probes and fills words
// tables itself through the flags and keys.
constexpr uint8_t kHashTagEmpty = 0x80;
constexpr uint8_t kHashTagDeleted = 0xFE;
inline uint8_t hash_tag(uint32_t hash) { return static_cast<uint8_t>(hash >> 25); }
inline bool hashtable_tagged_kind(uint32_t kind) { return kind != HASH_KIND_WORDS; }
// The table's tags (one byte per bucket), or null for a kind-2 table.
inline uint8_t* hashtable_tags(Off table) {
    HashRecord* rec = hashtable_record(table);
    if (!hashtable_tagged_kind(rec->kind)) return nullptr;
    return hashtable_record_tags(rec);
}

// Key texts: a map! table (kind 1) also keeps, after its keys words (its
// arrays are then 13 bytes a bucket), a pair of words per bucket: for a live
// bucket whose key is of a string! type, the key cell's node (its data2) and
// that node's buffer; 0, 0 for every other bucket. A text lookup reads the
// pair beside the tag and the keys word, so the key cell, the node word and
// the stored text's buffer are fetched at once instead of one after the
// other: two cache misses fewer in a row. They are copies: the engine's
// writes keep them in step with the cells, and after a collection has
// evacuated nodes and moved buffers hashtable_buffers_moved takes them from
// the cells again; a lookup still checks the pair against the cell and the
// node before it trusts it, and brings an out-of-date pair (a key's text
// replaced or its buffer moved by other code) up to date.
inline bool hashtable_keyed_nodes_kind(uint32_t kind) { return kind == HASH_KIND_MAP; }
// Bytes of the per-bucket arrays: tag, keys word, key node and buffer.
inline uint32_t hashtable_keys_unit(uint32_t kind) {
    return !hashtable_tagged_kind(kind) ? 4 : hashtable_keyed_nodes_kind(kind) ? 13 : 5;
}
// The table's key texts (node, buffer: two words per bucket), or null for a
// table of another kind.
inline uint32_t* hashtable_key_nodes(Off table) {
    HashRecord* rec = hashtable_record(table);
    if (!hashtable_keyed_nodes_kind(rec->kind)) return nullptr;
    return hashtable_record_key_nodes(rec);
}

// buckets := next power of two >= truncate(max(size, 4) / 0.77), and the
// matching bound truncate(buckets * 0.77). Used when a table is made.
uint32_t next_power_of_two(uint32_t n);
uint32_t hashtable_buckets_for(uint32_t size);
inline uint32_t hashtable_bound_for(uint32_t buckets) { return static_cast<uint32_t>(buckets * kHashLoad); }
// The bound after a resize: truncate(buckets * 0.77 + 0.5).
inline uint32_t hashtable_resize_bound(uint32_t buckets) { return static_cast<uint32_t>(buckets * kHashLoad + 0.5); }

// ---- hashing --------------------------------------------------------------

inline uint32_t hashtable_hash_identity(uint32_t x) { return murmur3_fmix32(x); }
uint32_t hashtable_hash_bytes(const void* data, uint32_t n);
// Code points from the string's head to its tail, one 32-bit block each;
// upper-cased unless case_sensitive.
uint32_t hashtable_hash_string(const Cell* str, bool case_sensitive);
// The symbol's UTF-8 name (data3 name node) with ASCII A-Z lowered.
uint32_t hashtable_hash_symbol(const Cell* sym);
uint32_t hashtable_hash_value(const Cell* key, bool case_sensitive);
// 1 for types whose hash depends on a node address.
bool hashtable_identity_type_q(const Cell* c);

// ---- making and indexing --------------------------------------------------

// Makes a table for `size` keys over `block` (a block-family cell; null makes
// a new block of size cells) and indexes the block from its head. Kind 2 with
// extra 2 and a non-null `block` copies the table whose node is block->data2
// instead (a context's words table copied with its context). Kinds 3-4 ignore
// `block`; `extra` is their number of value cells per entry.
Off hashtable_make(uint32_t size, const Cell* block, uint32_t kind, uint32_t extra);
// Kind 0: re-initialises for max(n, block length) cells and indexes every
// cell of the block from its first.
void hashtable_reset(Off table, uint32_t n);
// Indexes the cell `key` (which must lie inside the table's block). Returns
// the indexed cell (kinds 1-2: the stored equal key when already present), or
// null when `key` is not a cell of the block; *code gets a HASH_PUT_* code.
Cell* hashtable_put_key(Off table, const Cell* key, int* code);
Cell* hashtable_put(Off table, const Cell* key);
// Indexes the block from cell `first` to the tail by `step` (1, or 2 for
// map! pairs). Kind 1 folds a repeated key into its first pair: the later
// value overwrites the earlier one and the later pair is cut out of the block.
void hashtable_put_all(Off table, uint32_t first, uint32_t step);

// ---- lookup and removal ---------------------------------------------------

// Lookup throughput over a big table is bound by how many lookups the
// processor can overlap, so by the instructions each one takes: an integer!
// key in a map! walks inline; every other lookup takes one out-of-line entry,
// from which a map!'s string!-family keys under equal? or strict-equal? go
// straight to their own walk.

// The lookup of an integer! key in a map! table whose tags are current
// (epoch 0: no key hashed by address). With a big table every lookup waits
// for two cache misses in a row (tag and keys word, then the key cell), and
// the processor overlaps as many lookups as it can keep in flight. The whole
// walk is inline: about one lookup in four needs more than its first probe,
// and a call there makes the loop around the lookup keep its values across
// the call and restore them after, which costs more overlap than the
// instructions of the walk. Offsets are 64-bit so that they fold into the
// loads' addressing.
inline Cell* hashtable_get_integer_tagged(uint8_t* base, const HashRecord* rec, uint32_t value) {
    const uint64_t mask = rec->buckets - 1;
    const uint8_t* tags = reinterpret_cast<const uint8_t*>(rec) + kHashArraysAt;
    const uint8_t* keys = tags + mask + 1;  // the keys words follow the tags
    const SeriesBuf* blk = arena_at<SeriesBuf>(node_word(rec->block));
    const uint32_t hash = murmur3_fmix32(value);
    const uint8_t tag = hash_tag(hash);
    uint64_t b = hash & mask;
    for (uint64_t step = 1;; b = (b + step++) & mask) {
        const uint8_t t = tags[b];
        if (__builtin_expect(t == tag, 1)) {
            uint32_t k;
            std::memcpy(&k, keys + 4 * b, 4);
            const uint64_t at = blk->head + uint64_t(k) * 16;  // past the block's tail: never a match
            Cell* c = reinterpret_cast<Cell*>(base + at);
            if (__builtin_expect(at < blk->tail && static_cast<uint8_t>(c->header) == TYPE_INTEGER && c->data2 == value, 1))
                return c;
        } else if (t == kHashTagEmpty) {
            return nullptr;
        }
        if (step > mask) return nullptr;  // every bucket probed: a table full of removed keys
    }
}
// The walk of a string!-family key in a map! table whose tags are current,
// under HASH_EQUAL or HASH_STRICT.
Cell* hashtable_get_text(const HashRecord* rec, const Cell* key, uint32_t mode);
// hashtable_get of a key of another type than integer! in a map! table whose
// tags are current, under HASH_EQUAL or HASH_STRICT.
Cell* hashtable_get_map(Off table, const HashRecord* rec, const Cell* key, uint32_t mode);
// hashtable_get for every other case; `mode_and_order` holds the mode in its
// low byte, `last` in bit 8 and `reverse` in bit 9 (one argument word fewer
// to set up at every inline call site).
Cell* hashtable_get_other(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode_and_order);
Cell* hashtable_get_any(Off table, const Cell* key, int32_t head, int32_t skip, uint32_t mode, bool last,
                        bool reverse);
constexpr uint64_t kHashTextTypes = uint64_t(1) << TYPE_STRING | uint64_t(1) << TYPE_FILE | uint64_t(1) << TYPE_URL |
                                    uint64_t(1) << TYPE_TAG | uint64_t(1) << TYPE_EMAIL | uint64_t(1) << TYPE_REF;

// Kinds 1-2: the stored key cell of the key's type that equals `key` under
// `mode` (integer! keys compare by value without the comparison seam, and a
// stored text with the key's code points at the key's width equals it under
// equal? and strict-equal? without it). Kind 0: among the cells equal? to
// `key` that also compare true under `mode` and whose distance from `head` is
// a multiple of `skip`: the lowest index >= head (default), the highest >=
// head (`last`), or the highest < head (`reverse`). A map! looks up any word
// key as a set-word!.
inline Cell* hashtable_get(Off table, const Cell* key, int32_t head = 0, int32_t skip = 1, uint32_t mode = HASH_EQUAL,
                           bool last = false, bool reverse = false) {
    uint8_t* const base = g_arena_base;
    const HashRecord* rec = reinterpret_cast<const HashRecord*>(hashtable_series_data(base, table));
    uint64_t kind_and_epoch;  // words 9 and 10 at once (little-endian): kind 1 with epoch 0
    std::memcpy(&kind_and_epoch, &rec->kind, 8);
    if (kind_and_epoch == HASH_KIND_MAP && static_cast<uint8_t>(key->header) == TYPE_INTEGER)
        return hashtable_get_integer_tagged(base, rec, key->data2);
    return hashtable_get_other(table, key, head, skip, mode | uint32_t(last) << 8 | uint32_t(reverse) << 9);
}
// Iterates the stored keys equal? to `key`: *cursor -1 starts at the key's
// hash; each call returns the next match (null at the end) and leaves in
// *cursor where to continue.
Cell* hashtable_get_from(Off table, const Cell* key, int32_t* cursor);
// Removes the entry of a block cell. Kind 0: the cell leaves its bucket or
// chain. Kind 1: the pair is marked removed (its value's header set to 0) and
// stays in place, so a later insertion of the key finds it again.
void hashtable_delete(Off table, const Cell* cell);

// Kinds 3-4. `put_node` finds or adds the entry of `node` and returns its
// first value cell (a new entry's cells read unset!; a found entry keeps its
// values). `get_node` returns the first value cell or null.
Cell* hashtable_put_node(Off table, Off node);
Cell* hashtable_get_node(Off table, Off node);
void hashtable_delete_node(Off table, Off node);

// ---- copying, clearing, ranges ---------------------------------------------

// Copies record, flags, keys, block (and a kind-0 table's reverse index and
// chains): the copy shares no buffer with the original.
Off hashtable_copy(Off table);
// The same over `block_node`, which must hold the same cells at the same
// indexes (a copy of the table's block).
Off hashtable_copy_for_block(Off table, Off block_node);
void hashtable_clear(Off table);
// Kind 0: drops the entries of cells [first, first + count) (count cut to the
// cells present); the whole block resets the table.
void hashtable_remove_range(Off table, uint32_t first, uint32_t count);
// Kind 0: adds `distance` to every stored index >= first after cells moved;
// with `shift_reverse` the reverse index moves with them. Returns 1 and does
// nothing when the table holds more than 30,000 entries (rebuild instead).
int hashtable_shift_indexes(Off table, uint32_t first, int32_t distance, bool shift_reverse);
// Kind 0: cells [first, first + count) moved to stand before original cell
// `target` (0..length). Nothing when target lies inside the range; returns 1
// (nothing done) above 30,000 entries.
int hashtable_move_entries(Off table, uint32_t first, uint32_t count, uint32_t target);

// ---- resizing and the collector --------------------------------------------

// Rehashes when the epoch is stale (a node-evacuating collection ran since
// keys were hashed by address).
void hashtable_refresh(Off table);
// Dispatches by kind (kind 0 rebuilds; 1-2 rehash; 3-4 rehash_nodes) with node
// evacuation off, restored also when an error passes through.
void hashtable_resize(Off table, uint32_t requested_buckets);
void hashtable_rehash(Off table, uint32_t requested_buckets);
void hashtable_rehash_nodes(Off table, uint32_t requested_buckets);
void hashtable_rehash_in_place(Off table);

// Marks the table named in *slot and everything it holds; a kind-4 table
// marks neither its keys nor its entries (they are weak; see sweep).
void hashtable_mark(uint32_t* slot);
// Called by the collector once it has moved buffers (after compaction): the
// map! tables it marked take their key text pairs from their cells again.
void hashtable_buffers_moved();
// Kinds 3-4, after marking: removes entries whose key series is unmarked and
// (kind 4) whose owner object's context is unmarked; remaps the survivors.
void hashtable_sweep(Off table);

// Debug text: "== Alive keys ==" then "\n== Deleted keys ==", one bucket a line.
std::string hashtable_dump(Off table);
void hashtable_noop();

// ---- byte series and heap blocks made full ---------------------------------

// Byte series of n bytes with the tail after them, filled with 0 / the byte.
Off alloc_bytes_zeroed(uint32_t n);
Off alloc_bytes_full(uint32_t n, uint8_t byte);
// Fills the whole data area of a series with the byte.
void series_fill(Off node, uint8_t byte);
// Process-heap block filled with the byte; the fatal out-of-memory stop when
// the heap refuses. Released with std::free.
void* heap_alloc_filled(size_t bytes, uint8_t byte);

}  // namespace kel
