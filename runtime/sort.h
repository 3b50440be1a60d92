// The two generic sorters behind the sort actions of blocks and strings.
//
// Both work in place on raw memory: `count` elements of `size` bytes each
// (16-byte cells, 1/2/4-byte code units, or records of several of either).
// They never look inside an element; the caller's callback orders two of
// them. The two flag words are passed to the callback unchanged: the caller's
// comparison flags, or a pointer to its comparison state.
//
// Guarantees that hold whatever the callback answers (an inconsistent or
// random callback only gives an unsorted result):
//  - no element outside [base, base + count * size) is read or written, and
//    every loop ends;
//  - when the callback throws, the array still holds a permutation of its
//    input and the merge buffer is released.
//
// The callback may receive addresses inside the merge buffer rather than the
// array. Neither sorter allocates series memory, but a callback that runs
// script code may: the caller must keep the array from moving meanwhile.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

// Orders x against y: a result <= 0 lets x stay before y, > 0 puts x after y.
using SortCompare = int32_t (*)(const void* x, const void* y, uintptr_t flags1, uintptr_t flags2);

// What a merge needs besides the runs and the buffer.
struct SortContext {
    uint32_t size;  // element size in bytes
    uintptr_t flags1;
    uintptr_t flags2;
    SortCompare compare;
};

// Stable sort of [base, base + count elements): natural runs merged by node
// power. Sorted or strictly descending input costs count - 1 comparisons.
// Raises script `too-long` when its buffer of count / 2 elements would pass
// 31 bits, internal `no-memory` when that buffer cannot be had.
void sort_stable(void* base, uint32_t count, uint32_t size, uintptr_t flags1, uintptr_t flags2,
                 SortCompare compare);

// Unstable in-place sort: uses the order already present, then a quicksort
// with three-way partitions; O(n log n) comparisons in the worst case.
void sort_quick(void* base, uint32_t count, uint32_t size, uintptr_t flags1, uintptr_t flags2,
                SortCompare compare);

// Returns the end of the natural run that begins at [start] (before [end]):
// non-descending, or strictly descending and then reversed in place.
uint8_t* sort_find_run(uint8_t* start, uint8_t* end, uint32_t size, uintptr_t flags1, uintptr_t flags2,
                       SortCompare compare);

// Merges the sorted runs [lo, mid) and [mid, hi) stably; [temp] must hold
// the shorter run. Ties keep the left run's element first.
void sort_merge_runs(uint8_t* lo, uint8_t* mid, uint8_t* hi, uint8_t* temp, const SortContext& ctx);

// Exchanges two elements of [size] bytes, byte by byte in [byte_mode] (sizes
// that are not a multiple of 4), else four bytes at a time.
void sort_swap(void* a, void* b, uint32_t size, bool byte_mode);

}  // namespace kel
