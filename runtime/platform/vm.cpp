// The arena: a PROT_NONE reservation of 4 GiB with a first-fit page allocator.
//
// Free runs are kept by address so neighbours merge on release. Blocks are
// page-granular; the arena's first page and its last 64 KiB are never handed
// out, so offset 0 stays invalid and `offset + size` never wraps past 2^32.
#include "runtime/platform/vm.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

namespace kel {

uint8_t* g_arena_base = nullptr;

namespace {

constexpr uint64_t kArenaBytes = 1ull << 32;
constexpr uint64_t kArenaFirst = kPageSize;
constexpr uint64_t kArenaEnd = kArenaBytes - 65536;

std::map<uint64_t, uint64_t> free_runs;           // offset -> bytes
std::unordered_map<uint32_t, uint64_t> used_blocks;  // offset -> bytes
uint64_t committed = 0;
constexpr uint64_t kHugeAdviceBytes = uint64_t(4) << 20;
uint64_t limit = 0;

}  // namespace

void platform_vm_init() {
    if (g_arena_base) return;
    void* p = mmap(nullptr, kArenaBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        static const char msg[] = "*** Runtime Error 94: out of memory\n";
        (void)!write(2, msg, sizeof msg - 1);
        std::_Exit(94);
    }
    g_arena_base = static_cast<uint8_t*>(p);
    free_runs.emplace(kArenaFirst, kArenaEnd - kArenaFirst);
}

void platform_vm_set_limit(uint64_t bytes) { limit = bytes; }
uint64_t platform_vm_committed() { return committed; }

Off platform_virtual_alloc(uint32_t bytes, bool /*executable*/) {
    platform_vm_init();
    uint64_t size = (uint64_t(bytes) + kPageSize - 1) / kPageSize * kPageSize;
    if (size == 0) size = kPageSize;
    if (limit && committed + size > limit) throw PlatformThrow{kThrowVmAlloc};
    for (auto it = free_runs.begin(); it != free_runs.end(); ++it) {
        if (it->second < size) continue;
        uint64_t off = it->first, run = it->second;
        free_runs.erase(it);
        if (run > size) free_runs.emplace(off + size, run - size);
        if (mprotect(g_arena_base + off, size, PROT_READ | PROT_WRITE) != 0) {
            free_runs.emplace(off, size);  // merged back lazily; still free
            throw PlatformThrow{kThrowVmAlloc};
        }
        // Big blocks (large tables and series) are read at random: on 4 KB
        // pages nearly every access to them also misses the TLB. Asking for
        // huge pages before the first touch lets the kernel fault them in
        // 2 MB at a time where it grants them; elsewhere the advice is a no-op.
        if (size >= kHugeAdviceBytes) madvise(g_arena_base + off, size, MADV_HUGEPAGE);
        used_blocks.emplace(static_cast<uint32_t>(off), size);
        committed += size;
        return static_cast<Off>(off);
    }
    throw PlatformThrow{kThrowVmAlloc};
}

void platform_virtual_free(Off block) {
    auto used = used_blocks.find(block);
    if (used == used_blocks.end()) throw PlatformThrow{kThrowVmFree};
    uint64_t off = block, size = used->second;
    used_blocks.erase(used);
    committed -= size;
    madvise(g_arena_base + off, size, MADV_DONTNEED);
    mprotect(g_arena_base + off, size, PROT_NONE);
    auto next = free_runs.lower_bound(off);
    if (next != free_runs.end() && off + size == next->first) {
        size += next->second;
        next = free_runs.erase(next);
    }
    if (next != free_runs.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == off) {
            prev->second += size;
            return;
        }
    }
    free_runs.emplace(off, size);
}

// Fixed buffers are few and live for the whole run, so whole pages serve.
Off heap_alloc(uint32_t bytes) {
    try {
        return platform_virtual_alloc(bytes, false);
    } catch (const PlatformThrow&) {
        return 0;
    }
}

void heap_free(Off block) {
    if (block) platform_virtual_free(block);
}

}  // namespace kel
