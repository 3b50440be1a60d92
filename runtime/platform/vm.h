// Virtual memory for the runtime: one 4 GiB arena reserved at start-up.
//
// Every address the memory core stores in a 32-bit word (a node's content, a
// buffer's head and tail, frame links, the node in a cell) is an offset from
// the arena base. Offset 0 is never handed out, so 0 keeps its meaning of
// "no object". Pages are committed when a block is taken and returned to the
// kernel when it is released.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

using Off = uint32_t;   // byte offset into the arena; 0 = none

extern uint8_t* g_arena_base;

// Offset <-> pointer at the point of use. A pointer is stale after any call
// that may allocate (buffers move); re-read it through its node.
inline uint8_t* arena_ptr(Off off) { return g_arena_base + off; }
template <class T> inline T* arena_at(Off off) { return reinterpret_cast<T*>(g_arena_base + off); }
inline Off arena_off(const void* p) {
    return static_cast<Off>(static_cast<const uint8_t*>(p) - g_arena_base);
}

constexpr uint32_t kPageSize = 4096;

// System-level throw codes of the platform layer.
constexpr uint32_t kThrowVmAlloc = 0x7FFFFFF7;
constexpr uint32_t kThrowVmFree = 0x7FFFFFF6;

struct PlatformThrow {
    uint32_t code;
};

// Reserves the arena (idempotent).
void platform_vm_init();
// Commits `bytes` (a multiple of the page size) read/write and returns the
// block's offset; throws PlatformThrow{kThrowVmAlloc} when the arena has no room.
Off platform_virtual_alloc(uint32_t bytes, bool executable);
// Releases a block obtained from platform_virtual_alloc; throws
// PlatformThrow{kThrowVmFree} when the block is not one of ours.
void platform_virtual_free(Off block);
// Caps the bytes the arena hands out (tests use it to reach exhaustion
// quickly); 0 restores the full arena.
void platform_vm_set_limit(uint64_t bytes);
uint64_t platform_vm_committed();

// Process-heap blocks that must be reachable by a 32-bit offset (fixed series
// buffers). Returns 0 when no memory is left.
Off heap_alloc(uint32_t bytes);
void heap_free(Off block);

}  // namespace kel
