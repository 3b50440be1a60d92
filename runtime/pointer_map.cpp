// The pointer map (see pointer_map.h). Resizing rehashes in place: the pairs
// array is only reallocated, and each old entry is carried to its new bucket,
// displacing the not-yet-moved entry found there along its own probe path.
#include "runtime/pointer_map.h"

#include <cstdlib>
#include <cstring>

#include "runtime/error.h"
#include "runtime/hashtable.h"

namespace kel {

namespace {

uint32_t* flags_alloc(uint32_t buckets) {
    // At least one word: tables of 4 or 8 buckets use part of it.
    size_t words = (buckets + 15) / 16;
    return static_cast<uint32_t*>(heap_alloc_filled(words * 4, kHashFlagsFresh));
}

void* heap_resize(void* block, size_t bytes) {
    void* p = std::realloc(block, bytes);
    if (!p) fatal_runtime_error(94);
    return p;
}

// Bucket of `key`, or -1; `slot_out` gets the bucket a new key would take
// (the first deleted one met, else the empty one that ended the walk).
int64_t probe(const PtrMap* map, uint32_t key, uint32_t* slot_out) {
    uint32_t mask = map->buckets - 1;
    uint32_t b = hashtable_hash_identity(key) & mask;
    int64_t reuse = -1;
    for (uint32_t step = 0; step < map->buckets;) {
        uint32_t bits = hash_flag_bits(map->flags, b);
        if (bits & 2) {
            if (slot_out) *slot_out = reuse >= 0 ? static_cast<uint32_t>(reuse) : b;
            return -1;
        }
        if (bits & 1) {
            if (reuse < 0) reuse = b;
        } else if (map->pairs[2 * b] == key) {
            return b;
        }
        step++;
        b = (b + step) & mask;
    }
    // Every bucket visited: only possible with no empty bucket, which the
    // bound rules out; a deleted one is still usable.
    if (slot_out) *slot_out = static_cast<uint32_t>(reuse);
    return -1;
}

}  // namespace

PtrMap* ptrmap_make(uint32_t n) {
    PtrMap* map = static_cast<PtrMap*>(heap_alloc_filled(sizeof(PtrMap), 0));
    map->buckets = hashtable_buckets_for(n);
    map->bound = hashtable_bound_for(map->buckets);
    map->flags = flags_alloc(map->buckets);
    map->pairs = static_cast<uint32_t*>(heap_alloc_filled(size_t(8) * map->buckets, 0));
    return map;
}

void ptrmap_resize(PtrMap* map, uint32_t requested) {
    uint32_t fresh = next_power_of_two(requested < 4 ? 4 : requested);
    if (fresh < 4) fresh = 4;
    uint32_t old = map->buckets;
    if (fresh < old && map->entries >= hashtable_resize_bound(fresh)) return;
    uint32_t* new_flags = flags_alloc(fresh);
    if (fresh > old) map->pairs = static_cast<uint32_t*>(heap_resize(map->pairs, size_t(8) * fresh));
    uint32_t mask = fresh - 1;
    // Old flags: a live bucket not yet carried over is "live"; once carried
    // it is flagged deleted, so a displaced entry never moves twice.
    for (uint32_t j = 0; j < old; j++) {
        if (!hash_flag_live(map->flags, j)) continue;
        uint32_t key = map->pairs[2 * j], value = map->pairs[2 * j + 1];
        hash_flag_set_deleted(map->flags, j);
        for (;;) {
            uint32_t b = hashtable_hash_identity(key) & mask;
            for (uint32_t step = 0; !hash_flag_empty(new_flags, b);) {
                step++;
                b = (b + step) & mask;
            }
            hash_flag_set_live(new_flags, b);
            if (b < old && hash_flag_live(map->flags, b)) {
                // Take the place of an entry still waiting; carry that one on.
                uint32_t k2 = map->pairs[2 * b], v2 = map->pairs[2 * b + 1];
                map->pairs[2 * b] = key;
                map->pairs[2 * b + 1] = value;
                hash_flag_set_deleted(map->flags, b);
                key = k2;
                value = v2;
                continue;
            }
            map->pairs[2 * b] = key;
            map->pairs[2 * b + 1] = value;
            break;
        }
    }
    if (fresh < old) map->pairs = static_cast<uint32_t*>(heap_resize(map->pairs, size_t(8) * fresh));
    std::free(map->flags);
    map->flags = new_flags;
    map->buckets = fresh;
    map->bound = hashtable_resize_bound(fresh);
    map->occupied = map->entries;
}

void ptrmap_put(PtrMap* map, uint32_t key, uint32_t value) {
    if (map->occupied >= map->bound)
        ptrmap_resize(map, map->buckets > 2 * map->entries ? map->buckets - 1 : map->buckets + 1);
    uint32_t slot = 0;
    int64_t b = probe(map, key, &slot);
    if (b >= 0) {
        map->pairs[2 * b + 1] = value;
        return;
    }
    if (hash_flag_empty(map->flags, slot)) map->occupied++;
    hash_flag_set_live(map->flags, slot);
    map->pairs[2 * slot] = key;
    map->pairs[2 * slot + 1] = value;
    map->entries++;
}

uint32_t ptrmap_get(const PtrMap* map, uint32_t key) {
    int64_t b = probe(map, key, nullptr);
    return b >= 0 ? map->pairs[2 * b + 1] : 0;
}

uint32_t* ptrmap_find(PtrMap* map, uint32_t key) {
    int64_t b = probe(map, key, nullptr);
    return b >= 0 ? &map->pairs[2 * b + 1] : nullptr;
}

bool ptrmap_delete(PtrMap* map, uint32_t key) {
    int64_t b = probe(map, key, nullptr);
    if (b < 0) return false;
    hash_flag_set_deleted(map->flags, static_cast<uint32_t>(b));
    map->entries--;
    return true;
}

void ptrmap_clear(PtrMap* map) {
    std::memset(map->flags, kHashFlagsFresh, size_t((map->buckets + 15) / 16) * 4);
    map->entries = map->occupied = 0;
}

void ptrmap_free(PtrMap* map) {
    if (!map) return;
    std::free(map->flags);
    std::free(map->pairs);
    std::free(map);
}

uint32_t ptrmap_count(const PtrMap* map) { return map->entries; }

bool ptrmap_next(const PtrMap* map, uint32_t* cursor, uint32_t* key, uint32_t* value) {
    for (uint32_t b = *cursor; b < map->buckets; b++) {
        if (!hash_flag_live(map->flags, b)) continue;
        *key = map->pairs[2 * b];
        *value = map->pairs[2 * b + 1];
        *cursor = b + 1;
        return true;
    }
    *cursor = map->buckets;
    return false;
}

}  // namespace kel
