// The collector: stop-the-world mark and compact over the memory frames.
//
// Marking sets bit 27 of a buffer's flags, starting from the roots: the data
// stack and its frames, the registered root callbacks, and the C++ root scopes
// (GcRootCell / GcRootNode) that code holding a value across an allocation
// opens. There is no machine-stack scan: a raw pointer into a series buffer
// is never kept across a call that may allocate.
//
// Compaction slides live buffers down (or into the previous frame while it
// has more than 52,428 bytes free), repoints their nodes and shifts head and
// tail. Sparse, stable node frames are evacuated: their nodes move to other
// frames and every slot marked afterwards is rewritten through the moved-node
// map, so every node reference must be reached by marking through its slot.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

struct GcState {
    bool busy = false;
    bool evacuation_enabled = true;
    uint32_t series_cycles = 0;
    uint32_t nodes_cycles = 0;
    uint32_t stability_depth = 5;
    uint32_t stress_every = 0;  // KEL_GC_STRESS: collect every N-th allocation
    uint32_t stress_count = 0;
};
extern GcState g_gc;

void gc_init();  // pending list, stress setting; called from memory_init
void gc_collect();
void gc_collect_if_enabled();
inline bool gc_is_collecting() { return g_gc.busy; }
void gc_reset_counters();

using GcCallback = void (*)();
int gc_add_root_callback(GcCallback fn);
void gc_remove_root_callback(int index);

// Marking primitives for the callbacks and the type markers. `slot` holds a
// node; it is rewritten first when the node was evacuated. Returns true when
// newly marked.
bool gc_mark_node(uint32_t* slot);
void gc_mark_node_cells(uint32_t* slot);
void gc_mark_block_cell(Cell* cell);
void gc_mark_cells(Cell* first, Cell* last);
// Rewrites evacuated node addresses in a range of words.
void gc_remap_moved(uint32_t* first, uint32_t* last);
inline void gc_unmark(SeriesBuf* buf) { buf->flags &= ~SERIES_MARK; }

// Per-type marking for types whose cells hold more than a series node
// (contexts, words, functions, objects, maps, handles, ...). The module that
// owns a type registers its marker.
using GcTypeMarker = void (*)(Cell* cell);
void gc_set_type_marker(uint32_t type, GcTypeMarker fn);
// Registers the markers of native!, action!, op!, function! and routine!.
void gc_register_callable_markers();
// Marks a context node and what it holds (set by the context module).
extern void (*g_gc_mark_context)(uint32_t* slot);
// Called after marking with the moved-node map in effect (externals sweep,
// owners table sweep): set by their modules.
extern void (*g_gc_sweep_externals)();
extern void (*g_gc_sweep_owners)();

// Keeps a value cell (not inside a series buffer) alive and repointed for
// its lifetime.
class GcRootCell {
public:
    explicit GcRootCell(Cell* cell);
    ~GcRootCell();
    GcRootCell(const GcRootCell&) = delete;
    GcRootCell& operator=(const GcRootCell&) = delete;
};

// The same for a slot holding a node.
class GcRootNode {
public:
    explicit GcRootNode(uint32_t* slot);
    ~GcRootNode();
    GcRootNode(const GcRootNode&) = delete;
    GcRootNode& operator=(const GcRootNode&) = delete;
};

// Series frames and node frames, for tests and statistics.
uint32_t gc_node_frame_count();
uint32_t gc_series_frame_count();

}  // namespace kel
