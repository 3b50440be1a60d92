// The pointer map: a small address -> address table on the process heap.
//
// It serves the collector's table of moved nodes while a collection evacuates
// node frames, when nothing may allocate series. Same scheme as the series
// tables: power-of-two buckets, two flag bits each (high = empty, low =
// deleted), triangular probing, resize when occupied reaches 0.77 of the
// buckets; keys hash by the identity hash (MurmurHash3's finaliser).
#pragma once
#include <cstdint>

namespace kel {

struct PtrMap {
    uint32_t entries;   // live pairs
    uint32_t* flags;    // 2 bits per bucket
    uint32_t* pairs;    // {key, value} per bucket
    uint32_t occupied;  // live + deleted buckets
    uint32_t buckets;   // power of two, >= 4
    uint32_t bound;
};

// buckets := next power of two >= truncate(max(n, 4) / 0.77).
PtrMap* ptrmap_make(uint32_t n);
// Adds the pair, or replaces the value of a present key.
void ptrmap_put(PtrMap* map, uint32_t key, uint32_t value);
// The value of `key`, or 0 when absent.
uint32_t ptrmap_get(const PtrMap* map, uint32_t key);
// Address of the value of `key`, or null when absent (tells a stored 0 from
// an absent key). Stale after the next put.
uint32_t* ptrmap_find(PtrMap* map, uint32_t key);
// Removes the key; false when it was absent.
bool ptrmap_delete(PtrMap* map, uint32_t key);
// Rehashes in place into max(4, next power of two >= buckets) buckets,
// dropping deleted buckets; bound := truncate(buckets * 0.77 + 0.5).
void ptrmap_resize(PtrMap* map, uint32_t buckets);
void ptrmap_clear(PtrMap* map);
void ptrmap_free(PtrMap* map);
uint32_t ptrmap_count(const PtrMap* map);
// Iteration: *cursor 0 starts; each call yields the next live pair and
// returns false after the last.
bool ptrmap_next(const PtrMap* map, uint32_t* cursor, uint32_t* key, uint32_t* value);

}  // namespace kel
