// The cycle stack: the series a recursive walk (mold, form, compare, deep
// copy, binding, ownership marking) is currently inside. A walk looks a
// series up here before descending, so self-containing values terminate.
//
// Entries are nodes (the series' node; an object's context node). Pushes and
// pops nest strictly; CycleGuard pops on every exit, errors included, so an
// exception never leaves stale entries. At most 999 entries can be held: the
// push that would fill the thousandth slot empties the stack and raises
// internal `too-deep`.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/platform/vm.h"

namespace kel {

constexpr uint32_t kCycleCapacity = 1000;

struct CycleStack {
    Off entries[kCycleCapacity];
    uint32_t top;  // next free entry
};
extern CycleStack g_cycles;

void cycles_push(Off node);
void cycles_pop();
void cycles_drop(uint32_t n);
void cycles_reset();
bool cycles_find(Off node);
// The order of two series (or objects) that a comparison meets while one of
// them or both are already on the stack: 0 when both are, else the one met
// again orders first; 2 when neither is (compare them as usual).
int32_t cycles_compare_order(Off first, Off second);
inline uint32_t cycles_depth() { return g_cycles.top; }

// Pushes on construction, restores the depth it found on destruction.
class CycleGuard {
public:
    explicit CycleGuard(Off node) : depth_(g_cycles.top) { cycles_push(node); }
    ~CycleGuard() {
        if (g_cycles.top > depth_) g_cycles.top = depth_;
    }
    CycleGuard(const CycleGuard&) = delete;
    CycleGuard& operator=(const CycleGuard&) = delete;

private:
    uint32_t depth_;
};

// Restores the depth it found, whatever happened in between.
class CycleDepthGuard {
public:
    CycleDepthGuard() : depth_(g_cycles.top) {}
    ~CycleDepthGuard() {
        if (g_cycles.top > depth_) g_cycles.top = depth_;
    }
    CycleDepthGuard(const CycleDepthGuard&) = delete;
    CycleDepthGuard& operator=(const CycleDepthGuard&) = delete;

private:
    uint32_t depth_;
};

// When the series (or object) of `value` is already on the stack, appends
// its marker to the string `buffer` ("[...]" for block! and hash!, "(...)"
// for paren!, "#[...]" for map!, "make object! [...]" for object!, "..." for
// the path types, every other type and every form), lowers `limit` by the
// marker's length and answers true; otherwise writes nothing.
bool cycles_mold_marker(const Cell* value, Cell* buffer, int32_t& limit, bool mold);
// Appends `n` indent units of four spaces (nothing when n < 1) and returns
// the limit lowered by 4n.
int32_t mold_indent(Cell* buffer, int32_t n, int32_t limit);

// Replicates the first `unit` bytes at `dst` until unit x count bytes are
// filled, doubling the copied run each time. Returns dst + unit x count.
uint8_t* memory_fill_pattern(uint8_t* dst, uint32_t unit, uint32_t count);

}  // namespace kel
