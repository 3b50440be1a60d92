// The collector: stop-the-world mark and compact over the memory frames.
//
// Marking sets bit 27 of a buffer's flags, starting from the roots, in this
// order: the root block, the symbol table, the owners table (weakly), the
// evaluation stack (its two fixed blocks, its cells, its frames), the global
// context, the interpreter's code position and trace callback, the value
// slots, the registered root callbacks, and last the C++ root scopes
// (GcRootCell / GcRootNode) that code holding a value across an allocation
// opens. There is no machine-stack scan: a raw pointer into a series buffer
// is never kept across a call that may allocate, and a node or a cell kept in
// a C++ variable across such a call is kept in a root scope.
//
// Compaction slides live buffers down (or into the previous frame while it
// has more than 52,428 bytes free), repoints their nodes and shifts head and
// tail. Sparse, stable node frames are evacuated before marking: their nodes
// move to other frames, each old node word holding its new node until the
// frame is released at the end of the collection. Every slot marked
// afterwards is rewritten through that forwarding word, so every node
// reference must be reached by marking through its slot: a node held in a C++
// variable that is not rooted names freed memory after an evacuation.
//
// Stress mode (KEL_GC_STRESS=N in the environment): every N-th series
// allocation collects while collection is enabled, and each of those
// collections moves every node to fresh frames (unless node evacuation is
// held off), so a node or cell held without a root fails at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

struct GcState {
    bool busy = false;
    bool evacuation_enabled = true;  // cleared while a hash table resizes
    uint32_t series_cycles = 0;      // collections done
    uint32_t nodes_cycles = 0;       // collections that evacuated node frames
    uint32_t stability_depth = 5;
    uint32_t stress_every = 0;  // KEL_GC_STRESS: collect every N-th allocation
    uint32_t stress_count = 0;
};
extern GcState g_gc;

void gc_init();  // pending list, stress setting, hash seams; called from memory_init
// Points the hash engine's collector seams (marking, remapping, rooting, the
// evacuation switch and count) at the collector.
void gc_hash_seams_init();
void gc_collect();
void gc_collect_if_enabled();
// A stress-mode collection: every node moves.
void gc_collect_stress();
// The stress-mode step of every series allocation.
inline void gc_stress_tick() {
    if (g_gc.stress_every && g_gc_enabled && ++g_gc.stress_count % g_gc.stress_every == 0) gc_collect_stress();
}
inline bool gc_is_collecting() { return g_gc.busy; }
void gc_reset_counters();

using GcCallback = void (*)();
// Appends a marking callback (an emptied entry is reused); returns its
// index, -1 when all 100 entries are taken.
int gc_add_root_callback(GcCallback fn);
void gc_remove_root_callback(int index);

// Marking primitives for the callbacks and the type markers. `slot` holds a
// node; it is rewritten first when the node was evacuated. Returns true when
// newly marked.
bool gc_mark_node(uint32_t* slot);
void gc_mark_node_cells(uint32_t* slot);
void gc_mark_block_cell(Cell* cell);
// A context node and what it holds: its words table, its values (unless they
// live on the evaluation stack) and its owner cell.
void gc_mark_context(uint32_t* slot);
void gc_mark_cells(Cell* first, Cell* last);
// Rewrites evacuated node addresses in a range of words.
void gc_remap_moved(uint32_t* first, uint32_t* last);
inline void gc_unmark(SeriesBuf* buf) { buf->flags &= ~SERIES_MARK; }

// Per-type marking for types whose cells need their module's knowledge
// (contexts, words, symbols, objects). The module that owns a type
// registers its marker; the collector marks the other types itself.
using GcTypeMarker = void (*)(Cell* cell);
void gc_set_type_marker(uint32_t type, GcTypeMarker fn);
// Marks a context node and what it holds (set by the context module).
extern void (*g_gc_mark_context)(uint32_t* slot);
// Marks an image's bitmap record after its node (set by image!).
extern void (*g_gc_mark_image)(uint32_t node);
// Called after marking with the evacuated nodes still forwarded (externals
// sweep, owners table sweep): set by their modules.
extern void (*g_gc_sweep_externals)();
extern void (*g_gc_sweep_owners)();

// ---- root scopes ------------------------------------------------------------
//
// Each scope links itself into a list on construction and unlinks on
// destruction; scopes nest strictly (they are locals, unwound in order by
// exceptions too). The collector marks the cells and nodes they name and
// rewrites evacuated nodes in place.

class GcRootCell;
class GcRootNode;
class GcRootTable;
extern GcRootCell* g_gc_root_cells;
extern GcRootNode* g_gc_root_nodes;
extern GcRootTable* g_gc_root_tables;

// Keeps a value cell (not inside a series buffer), or `count` consecutive
// cells, alive and repointed for its lifetime.
class GcRootCell {
public:
    explicit GcRootCell(Cell* cell, size_t count = 1) : cell_(cell), count_(count), prev_(g_gc_root_cells) {
        g_gc_root_cells = this;
    }
    ~GcRootCell() { g_gc_root_cells = prev_; }
    GcRootCell(const GcRootCell&) = delete;
    GcRootCell& operator=(const GcRootCell&) = delete;

    Cell* cell() const { return cell_; }
    size_t count() const { return count_; }
    GcRootCell* prev() const { return prev_; }

private:
    Cell* cell_;
    size_t count_;
    GcRootCell* prev_;
};

// The same for a slot holding a node, or two (0 is allowed and skipped); a
// series of cells is marked with its cells.
class GcRootNode {
public:
    explicit GcRootNode(uint32_t* slot, uint32_t* slot2 = nullptr)
        : slot_(slot), slot2_(slot2), prev_(g_gc_root_nodes) {
        g_gc_root_nodes = this;
    }
    ~GcRootNode() { g_gc_root_nodes = prev_; }
    GcRootNode(const GcRootNode&) = delete;
    GcRootNode& operator=(const GcRootNode&) = delete;

    uint32_t* slot() const { return slot_; }
    uint32_t* slot2() const { return slot2_; }
    GcRootNode* prev() const { return prev_; }

private:
    uint32_t* slot_;
    uint32_t* slot2_;
    GcRootNode* prev_;
};

// Keeps a hash table (record, bucket arrays and block) alive and its node
// current while C++ code holds it in `*slot` across allocations.
class GcRootTable {
public:
    explicit GcRootTable(Off* slot) : slot_(slot), prev_(g_gc_root_tables) { g_gc_root_tables = this; }
    ~GcRootTable() { g_gc_root_tables = prev_; }
    GcRootTable(const GcRootTable&) = delete;
    GcRootTable& operator=(const GcRootTable&) = delete;

    Off* slot() const { return slot_; }
    GcRootTable* prev() const { return prev_; }

private:
    Off* slot_;
    GcRootTable* prev_;
};

// Switches collection on (or off) for its lifetime and restores the setting
// it found.
class GcEnabledScope {
public:
    explicit GcEnabledScope(bool on = true) : saved_(g_gc_enabled) { g_gc_enabled = on; }
    ~GcEnabledScope() { g_gc_enabled = saved_; }
    GcEnabledScope(const GcEnabledScope&) = delete;
    GcEnabledScope& operator=(const GcEnabledScope&) = delete;

private:
    bool saved_;
};

// Holds node evacuation off for its lifetime (code that keeps nodes in
// variables it cannot root), restoring the switch it found.
class GcNoEvacuation {
public:
    GcNoEvacuation() : saved_(g_gc.evacuation_enabled) { g_gc.evacuation_enabled = false; }
    ~GcNoEvacuation() { g_gc.evacuation_enabled = saved_; }
    GcNoEvacuation(const GcNoEvacuation&) = delete;
    GcNoEvacuation& operator=(const GcNoEvacuation&) = delete;

private:
    bool saved_;
};

// Series frames and node frames, for tests and statistics.
uint32_t gc_node_frame_count();
uint32_t gc_series_frame_count();
// Walks every frame, big buffer and fixed buffer outside a collection: no
// buffer keeps a mark, every buffer in use is the one its node names, head
// and tail lie in its data. Returns "" or the first problem found; counts
// the buffers expansions abandoned since the last collection.
std::string gc_check_heap(uint32_t* abandoned = nullptr);

}  // namespace kel
