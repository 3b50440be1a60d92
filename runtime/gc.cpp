// The collector. See gc.h for the invariants it relies on.
//
// Design notes.
//  - Marking uses an explicit stack of unit-16 nodes whose cells await a
//    visit, so deep or self-containing data never recurses in C++: a node is
//    pushed only when newly marked, which is also what ends cycles.
//  - Evacuated nodes forward through their own words. Evacuation runs before
//    marking; each old node word then holds the node's new address, and the
//    evacuated frames' node areas are listed (sorted) for the duration of the
//    collection. gc_mark_node tests a slot against that list and rewrites it.
//    This replaces a moved-node hash map: no allocation, no hashing, and a
//    lookup that costs nothing when no frame was evacuated.
//  - Compaction visits frames in ascending address order and moves whole
//    runs of live buffers with one memmove each; a live run is moved into the
//    previous frame while that frame keeps more than 52,428 bytes free.
//  - Dead nodes are queued and released in one pass per collection (or when
//    20,000 are queued), each to its frame (the previous node's frame, else
//    a binary search over the sorted frames).
#include "runtime/gc.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/externals.h"
#include "runtime/hashtable.h"
#include "runtime/interpreter.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

namespace kel {

void gc_free_pending();

GcState g_gc;
void (*g_gc_mark_context)(uint32_t*) = nullptr;
void (*g_gc_mark_image)(uint32_t) = nullptr;
void (*g_gc_sweep_externals)() = nullptr;
void (*g_gc_sweep_owners)() = nullptr;
GcRootCell* g_gc_root_cells = nullptr;
GcRootNode* g_gc_root_nodes = nullptr;
GcRootTable* g_gc_root_tables = nullptr;

namespace {

constexpr uint32_t kPendingCapacity = 20000;
constexpr uint32_t kRootCallbacks = 100;
constexpr uint32_t EVENT_MADE = 0x10000;  // an event! whose node holds its cells

GcCallback root_callbacks[kRootCallbacks];
uint32_t root_callback_count = 0;
GcTypeMarker type_markers[kTypeCount + 1];

struct Span {
    Off start, end;
};

std::vector<Off> pending;      // nodes whose series died
std::vector<Cell*> seam_roots; // cells the hash engine holds while it allocates
std::vector<Off> mark_stack;   // unit-16 nodes whose cells await marking
std::vector<Span> evacuated;   // node areas of frames evacuated by this collection, sorted
bool stress_collection = false;

// Stress mode's content of released nodes: a buffer address in the arena's
// never-mapped top 64 KiB, so that using a stale node faults. It encodes the
// collection that released the node (modulo 4,096), which tells where to
// look for the variable that held it.
constexpr Off kPoisonBase = 0xFFFF0000;
inline Off poison_of_this_collection() { return kPoisonBase + ((g_gc.series_cycles & 0xFFF) << 4); }
inline bool poisoned(Off content) { return content >= kPoisonBase; }

// What marking is visiting, for the report on a stale node.
const char* marking_root = "";
const Cell* marking_cell = nullptr;

// A value held without a root reached marking after its node was released:
// say where, then stop (carrying on would corrupt memory).
[[noreturn]] void stale_node_reached(const uint32_t* slot) {
    std::fprintf(stderr, "*** collector %u: stale node %08X (released by collection %u modulo 4096) reached from %s",
                 g_gc.series_cycles, *slot, (node_word(*slot) - kPoisonBase) >> 4, marking_root);
    if (marking_cell) {
        const Cell* c = marking_cell;
        std::fprintf(stderr, ", cell %08X %08X %08X %08X", c->header, c->data1, c->data2, c->data3);
        if (stack_ready() && c >= g_stack.data_bottom && c < g_stack.data_end)
            std::fprintf(stderr, " (data stack cell %ld of %ld)", long(c - g_stack.data_bottom),
                         long(g_stack.top - g_stack.data_bottom));
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

// The evacuated frame whose node area holds `node`, or null.
inline const Span* evacuated_span(Off node) {
    if (evacuated.size() <= 4) {
        for (const Span& s : evacuated)
            if (node >= s.start && node < s.end) return &s;
        return nullptr;
    }
    auto it = std::upper_bound(evacuated.begin(), evacuated.end(), node,
                               [](Off n, const Span& s) { return n < s.start; });
    return it != evacuated.begin() && node < (it - 1)->end ? &*(it - 1) : nullptr;
}

// Rewrites the slot's node to where this collection's evacuation moved it
// (a node moved twice forwards twice).
inline void forward(uint32_t* slot) {
    while (evacuated_span(*slot)) *slot = node_word(*slot);
}

// Kept out of line so that the push stays inline in the compaction loops.
__attribute__((noinline)) void pending_flush() { gc_free_pending(); }

inline void pending_push(Off node) {
    if (!node) return;
    pending.push_back(node);
    if (pending.size() >= kPendingCapacity) pending_flush();
}

inline void mark_node_cells_of(uint32_t* slot) {
    if (*slot) gc_mark_node_cells(slot);
}

// A method's object context is kept as an integer! in cell [4] of its
// five-cell block: it is marked (and repointed) as a context from here.
void mark_method_context(Off more) {
    SeriesBuf* b = node_buffer(more);
    if (b->used_bytes() < 5 * sizeof(Cell)) return;
    Cell* m = arena_at<Cell>(b->head) + 4;
    if (m->is(TYPE_INTEGER) && m->data2) gc_mark_context(&m->data2);
}

// Marks what one cell refers to; nodes holding cells go on the mark stack.
void mark_cell(Cell* c) {
    marking_cell = c;
    switch (c->type()) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
        if (c->data2) gc_mark_node_cells(&c->data2);
        break;
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        if (c->data2) gc_mark_node(&c->data2);
        if (c->data3) gc_mark_node(&c->data3);
        break;
    case TYPE_BITSET: case TYPE_VECTOR: case TYPE_BINARY:
        if (c->data2) gc_mark_node(&c->data2);
        break;
    case TYPE_NATIVE: case TYPE_ACTION:
        // The interface block and the two-cell block (context cell, descriptor).
        mark_node_cells_of(&c->data2);
        mark_node_cells_of(&c->data3);
        break;
    case TYPE_OP: {
        mark_node_cells_of(&c->data2);
        mark_node_cells_of(&c->data3);
        uint32_t source = (c->header >> 16) & 0xFF;
        if ((source == TYPE_FUNCTION || source == TYPE_ROUTINE) && c->data1) gc_mark_context(&c->data1);
        break;
    }
    case TYPE_FUNCTION: case TYPE_ROUTINE:
        // Its context, the interface block and the five-cell block (body,
        // descriptor, entry, op copy, method context).
        if (c->data1) gc_mark_context(&c->data1);
        mark_node_cells_of(&c->data2);
        mark_node_cells_of(&c->data3);
        if (c->is(TYPE_FUNCTION) && c->data3) mark_method_context(c->data3);
        break;
    case TYPE_HASH: case TYPE_MAP:
        mark_node_cells_of(&c->data2);
        if (c->data3) hashtable_mark(&c->data3);
        break;
    case TYPE_HANDLE:
        if (static_cast<int32_t>(c->data3) >= 0) externals_mark(static_cast<int32_t>(c->data3), nullptr);
        break;
    case TYPE_IMAGE:
        if (c->data2) {
            gc_mark_node(&c->data2);
            if (g_gc_mark_image) g_gc_mark_image(c->data2);
        }
        break;
    case TYPE_EVENT:
        if ((c->data3 & EVENT_MADE) && c->data2) gc_mark_node_cells(&c->data2);
        break;
    default:
        if (type_markers[c->type()]) type_markers[c->type()](c);
        break;
    }
}

void drain_mark_stack() {
    while (!mark_stack.empty()) {
        Off node = mark_stack.back();
        mark_stack.pop_back();
        SeriesBuf* buf = node_buffer(node);
        Cell* first = arena_at<Cell>(buf->head);
        Cell* last = arena_at<Cell>(buf->tail);
        for (Cell* c = first; c < last; c++) mark_cell(c);
    }
}

// ---- frame lists --------------------------------------------------------

std::vector<Span> sorted_node_frames() {
    std::vector<Span> frames;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        frames.push_back({nf->nodes_start(), nf->nodes_end()});
    }
    std::sort(frames.begin(), frames.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    return frames;
}

NodeFrame* node_frame_containing(const std::vector<Span>& frames, Off node) {
    auto it = std::upper_bound(frames.begin(), frames.end(), node, [](Off n, const Span& s) { return n < s.start; });
    if (it == frames.begin()) return nullptr;
    --it;
    if (node >= it->end) return nullptr;
    return arena_at<NodeFrame>(it->start - sizeof(NodeFrame));
}

// ---- node-frame evacuation ----------------------------------------------

bool frame_is_stable(const NodeFrame* f) {
    uint32_t mask = (1u << (g_gc.stability_depth + 1)) - 1;
    return (f->stability & mask) == mask;
}

// The first frame other than `avoid` with a free node that is not evacuated.
NodeFrame* next_target(NodeFrame* avoid) {
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        if (nf != avoid && nf->free_head && !nf->evacuated) return nf;
    }
    return nullptr;
}

// Moves every in-use node of `frame` to a free node of another frame; the
// old node word keeps the new node's address until the frame is released.
// Targets must have room for all of them (the callers count first).
void evacuate_node_frame(NodeFrame* frame) {
    Off lo = frame->nodes_start(), hi = frame->nodes_end();
    NodeFrame* target = nullptr;
    for (Off node = lo; node < hi; node += 4) {
        uint32_t content = node_word(node);
        if (!content || (content >= lo && content < hi)) continue;  // free node (a link or the list end)
        if (!target || !target->free_head) target = next_target(frame);
        Off fresh = target->free_head;
        target->free_head = node_word(fresh);
        target->in_use++;
        node_word(fresh) = content;
        arena_at<SeriesBuf>(content)->node = fresh;
        node_word(node) = fresh;
        frame->in_use--;
    }
    frame->evacuated = 1;
    frame->free_head = 0;
    Span span{lo, hi};
    evacuated.insert(std::upper_bound(evacuated.begin(), evacuated.end(), span,
                                      [](const Span& a, const Span& b) { return a.start < b.start; }),
                     span);
}

uint32_t free_node_count() {
    uint32_t free_nodes = 0;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        if (nf->free_head && !nf->evacuated) free_nodes += nf->capacity - nf->in_use;
    }
    return free_nodes;
}

// Sparse frames whose in-use count stayed the same over the last
// depth + 1 collections, walked from the newest.
void evacuate_node_frames() {
    NodeFrame* current = next_target(nullptr);
    if (!current) return;
    g_memory.current_node_frame = arena_off(current);
    int64_t free_nodes = free_node_count();
    bool any = false;
    for (Off f = g_memory.node_frames_tail; f;) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        Off prev = nf->prev;
        if (frame_is_stable(nf) && nf->in_use < kNodeFrameCapacity / 2 && free_nodes > kNodeFrameCapacity &&
            nf != current && !nf->evacuated) {
            evacuate_node_frame(nf);
            free_nodes -= kNodeFrameCapacity;  // its own free nodes, and the ones its nodes took
            any = true;
        }
        f = prev;
    }
    if (any) g_gc.nodes_cycles++;
}

// Stress mode keeps the last evacuated frames out of reach of the allocator
// with every node word aimed at the arena's never-mapped top, so a node kept
// without a root faults on its next use instead of reading whatever a reused
// frame holds by then.
constexpr uint32_t kQuarantineFrames = 16;
std::vector<Off> quarantined;

void quarantine(NodeFrame* frame) {
    node_frame_unlink(frame);
    Off lo = frame->nodes_start(), hi = frame->nodes_end();
    Off poison = poison_of_this_collection();
    for (Off node = lo; node < hi; node += 4) node_word(node) = poison;
    quarantined.push_back(arena_off(frame));
}

// A fresh frame for a stress evacuation: the oldest quarantined one once
// enough are held (no system call, no page fault), else a new one.
NodeFrame* reuse_quarantined() {
    if (quarantined.size() < kQuarantineFrames) return node_frame_make(kNodeFrameCapacity);
    NodeFrame* frame = arena_at<NodeFrame>(quarantined.front());
    quarantined.erase(quarantined.begin());
    node_frame_attach(frame, kNodeFrameCapacity);
    return frame;
}

// Stress mode: every frame is emptied into fresh frames, so every node
// moves. Skipped when the fresh frames cannot be had.
void evacuate_every_node_frame() {
    std::vector<NodeFrame*> old;
    uint64_t live = 0;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        old.push_back(nf);
        live += nf->in_use;
    }
    if (old.empty()) return;
    std::vector<NodeFrame*> fresh;
    try {
        uint64_t room = 0;
        do {
            fresh.push_back(reuse_quarantined());
            room += kNodeFrameCapacity;
        } while (room < live);
    } catch (...) {
        for (NodeFrame* f : fresh) node_frame_free(f);
        return;
    }
    // Only the fresh frames take nodes: the old ones are all marked
    // evacuated before any node moves.
    for (NodeFrame* nf : old) nf->evacuated = 1;
    for (NodeFrame* nf : old) evacuate_node_frame(nf);
    g_memory.current_node_frame = arena_off(fresh.front());
    g_gc.nodes_cycles++;
}

// ---- compaction -----------------------------------------------------------

inline uint32_t buffer_span(const SeriesBuf* b) { return 20 + b->size + 4; }

// Repoints the nodes of the buffers now at [to, to + length), which came
// from `from`, and shifts their head and tail.
void fix_moved_buffers(Off from, Off to, uint32_t length) {
    uint32_t distance = from - to;  // buffers move to lower addresses; modular either way
    Off end = to + length;
    for (Off b = to; b < end;) {
        SeriesBuf* buf = arena_at<SeriesBuf>(b);
        if (buf->node) node_word(buf->node) = b;
        buf->head -= distance;
        buf->tail -= distance;
        b += buffer_span(buf);
    }
}

void move_run(Off from, Off to, uint32_t length) {
    if (from == to || length == 0) return;
    std::memmove(arena_ptr(to), arena_ptr(from), length);
    fix_moved_buffers(from, to, length);
}

// Compacts one frame: dead buffers queue their nodes, live runs are
// unmarked and moved into `prev` while it keeps more than 52,428 bytes free,
// else slid down to the first gap.
void compact_frame(SeriesFrame* frame, SeriesFrame* prev) {
    uint32_t room = 0;
    auto update_room = [&] {
        room = prev ? prev->end - prev->top : 0;
        if (room <= kCompactRoomMin) room = 0;
    };
    update_room();
    Off dest = 0;  // slide destination, 0 until the first gap
    Off walk = frame->data_start();
    Off top = frame->top;
    while (walk < top) {
        SeriesBuf* buf = arena_at<SeriesBuf>(walk);
        if (!(buf->flags & SERIES_MARK)) {
            if (!dest) dest = walk;
            pending_push(buf->node);
            walk += buffer_span(buf);
            continue;
        }
        Off run_start = walk;
        uint32_t run_len = 0;
        while (walk < top) {
            SeriesBuf* b = arena_at<SeriesBuf>(walk);
            if (!(b->flags & SERIES_MARK)) break;
            uint32_t span = buffer_span(b);
            if (room && run_len + span > room) break;
            b->flags &= ~SERIES_MARK;
            run_len += span;
            walk += span;
        }
        if (run_len == 0) {
            // The next live buffer alone is larger than the room left in
            // the previous frame: stop moving into it for this frame.
            room = 0;
            continue;
        }
        if (room) {
            move_run(run_start, prev->top, run_len);
            prev->top += run_len;
            update_room();
            if (!dest) dest = run_start;
        } else if (dest) {
            move_run(run_start, dest, run_len);
            dest += run_len;
        }
        // Else live data at the very start with no gap: nothing moves.
    }
    if (dest) frame->top = dest;
}

void compact_frames() {
    SeriesFrame* prev = nullptr;
    for (Off f = g_memory.series_frames_head; f;) {
        SeriesFrame* frame = arena_at<SeriesFrame>(f);
        Off next = frame->next;
        compact_frame(frame, prev);
        if (frame->top == frame->data_start() && next) series_frame_free(frame);
        else prev = frame;
        f = next;
    }
}

void sweep_big_buffers() {
    Off block = g_memory.big_buffers_head;
    while (block) {
        Off next = *arena_at<uint32_t>(block);
        SeriesBuf* buf = arena_at<SeriesBuf>(block + 12);
        if (buf->flags & SERIES_MARK) {
            buf->flags &= ~SERIES_MARK;
        } else {
            pending_push(buf->node);
            big_buffer_free(buf);
        }
        block = next;
    }
}

// Releases empty and evacuated frames, picks the current frame and shifts
// every kept frame's stability register.
void sweep_node_frames() {
    bool current_set = false;
    for (Off f = g_memory.node_frames_head; f;) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        Off next = nf->next;
        if (nf->evacuated && stress_collection) {
            quarantine(nf);
        } else if (nf->in_use == 0 || nf->evacuated) {
            node_frame_free(nf);
        } else {
            if (!current_set && nf->free_head) {
                g_memory.current_node_frame = f;
                current_set = true;
            }
            nf->stability = (nf->stability << 1) | (nf->in_use == nf->last_count ? 1u : 0u);
            nf->last_count = nf->in_use;
        }
        f = next;
    }
}

// ---- roots ----------------------------------------------------------------

void mark_frame_context(uint32_t* slot) { gc_mark_context(slot); }
bool values_on_stack(uint32_t ctx) { return context_on_stack(ctx); }

void mark_roots() {
    marking_cell = nullptr;
    marking_root = "the root block";
    if (g_root_block.is(TYPE_BLOCK)) gc_mark_block_cell(&g_root_block);
    marking_root = "the symbol and owners tables";
    if (g_symbol_table) {
        hashtable_mark(&g_symbol_table);
        if (g_symbol_block.data2) gc_mark_node(&g_symbol_block.data2);
    }
    if (g_owners_table) hashtable_mark(&g_owners_table);  // weak: swept below
    marking_root = "the evaluation stack";
    if (stack_ready()) {
        gc_mark_node(&g_stack.data_node);
        gc_mark_node(&g_stack.frame_node);
        gc_mark_cells(g_stack.data_bottom, g_stack.top);
        stack_gc_mark_frames(mark_frame_context, gc_mark_node_cells, g_sym.self, values_on_stack);
    }
    marking_root = "the global context";
    if (g_global_context) gc_mark_context(&g_global_context);
    marking_root = "the interpreter";
    gc_mark_cells(&g_interp.code_position, &g_interp.code_position + 1);
    gc_mark_cells(&g_interp.callback, &g_interp.callback + 1);
    marking_root = "the value slots";
    if (g_valslots.data2) gc_mark_cells(&g_valslots, &g_valslots + 1);
    marking_root = "a root callback";
    for (uint32_t i = 0; i < root_callback_count; i++)
        if (root_callbacks[i]) root_callbacks[i]();
    marking_root = "a root scope";
    marking_cell = nullptr;
    for (GcRootTable* r = g_gc_root_tables; r; r = r->prev())
        if (*r->slot()) hashtable_mark(r->slot());
    // A hash! cell of the engine names a table being made (data3, its record
    // maybe half filled) and the block it indexes (data2, maybe 0).
    for (Cell* c : seam_roots) mark_cell(c);
    for (GcRootNode* r = g_gc_root_nodes; r; r = r->prev()) {
        if (*r->slot()) gc_mark_node_cells(r->slot());
        if (r->slot2() && *r->slot2()) gc_mark_node_cells(r->slot2());
    }
    for (GcRootCell* r = g_gc_root_cells; r; r = r->prev())
        for (size_t i = 0; i < r->count(); i++) mark_cell(r->cell() + i);
    drain_mark_stack();
}

void unmark_fixed_buffers() {
    for (Off buf : memory_fixed_buffers()) arena_at<SeriesBuf>(buf)->flags &= ~SERIES_MARK;
}

}  // namespace

// Dead nodes come in the order of their buffers, which mostly follows the
// order their nodes were taken in: the frame of the previous node is tried
// first, a binary search over the sorted frames otherwise. (Sorting the list
// instead cost more than all the rest of the release.)
//
// While the nodes stay in one frame, its free list head and count are kept in
// locals and written back when the frame changes: updated in the frame
// header, each release waited for the previous one's stores to be read back
// (a third of the collector's time in "churn").
void gc_free_pending() {
    if (pending.empty()) return;
    std::vector<Span> frames = sorted_node_frames();
    Span last{0, 0};
    NodeFrame* last_frame = nullptr;  // null: the nodes of `last` are not released
    uint32_t head = 0, freed = 0;
    auto write_back = [&] {
        if (!last_frame) return;
        last_frame->free_head = head;
        last_frame->in_use -= freed;
    };
    for (Off node : pending) {
        if (node < last.start || node >= last.end) {
            write_back();
            last_frame = node_frame_containing(frames, node);
            if (!last_frame) {
                last = {0, 0};
                continue;
            }
            last = {last_frame->nodes_start(), last_frame->nodes_end()};
            if (last_frame->evacuated) {
                last_frame = nullptr;  // its nodes are forwarding words until it is released
                continue;
            }
            head = last_frame->free_head;
            freed = 0;
        }
        if (!last_frame) continue;
        node_word(node) = head;
        head = node;
        freed++;
    }
    write_back();
    pending.clear();
}

void gc_init() {
    pending.reserve(kPendingCapacity);
    const char* stress = std::getenv("KEL_GC_STRESS");
    if (stress) g_gc.stress_every = static_cast<uint32_t>(std::strtoul(stress, nullptr, 10));
    g_gc_collect_hook = gc_collect;
    gc_hash_seams_init();
}

void gc_hash_seams_init() {
    g_hash_seams.mark_node = gc_mark_node;
    g_hash_seams.mark_node_cells = gc_mark_node_cells;
    g_hash_seams.mark_cells = gc_mark_cells;
    g_hash_seams.remap_moved = gc_remap_moved;
    g_hash_seams.evacuation_count = [] { return g_gc.nodes_cycles; };
    g_hash_seams.collecting = [] { return g_gc.busy; };
    g_hash_seams.set_node_evacuation = [](bool on) {
        bool old = g_gc.evacuation_enabled;
        g_gc.evacuation_enabled = on;
        return old;
    };
    g_hash_seams.root_push = [](Cell* c) { seam_roots.push_back(c); };
    g_hash_seams.root_pop = [](Cell*) { seam_roots.pop_back(); };
}

void gc_reset_counters() {
    g_gc.series_cycles = g_gc.nodes_cycles = 0;
    g_gc_count = 0;
    g_gc.stability_depth = 5;
}

int gc_add_root_callback(GcCallback fn) {
    for (uint32_t i = 0; i < root_callback_count; i++)
        if (!root_callbacks[i]) {
            root_callbacks[i] = fn;
            return static_cast<int>(i);
        }
    if (root_callback_count == kRootCallbacks) return -1;
    root_callbacks[root_callback_count] = fn;
    return static_cast<int>(root_callback_count++);
}

void gc_remove_root_callback(int index) {
    if (index >= 0 && static_cast<uint32_t>(index) < root_callback_count) root_callbacks[index] = nullptr;
}

void gc_set_type_marker(uint32_t type, GcTypeMarker fn) {
    if (type <= kTypeCount) type_markers[type] = fn;
}

bool gc_mark_node(uint32_t* slot) {
    if (!evacuated.empty()) forward(slot);
    if (poisoned(node_word(*slot))) stale_node_reached(slot);
    SeriesBuf* buf = node_buffer(*slot);
    if (buf->flags & SERIES_MARK) return false;
    buf->flags |= SERIES_MARK;
    return true;
}

void gc_mark_node_cells(uint32_t* slot) {
    if (!gc_mark_node(slot)) return;
    // An empty series of cells has nothing to visit: the many empty blocks
    // of a large structure never reach the mark stack.
    const SeriesBuf* buf = node_buffer(*slot);
    if (buf->unit() == 16 && buf->tail != buf->head) mark_stack.push_back(*slot);
}

void gc_mark_block_cell(Cell* cell) {
    if (cell->data2) gc_mark_node_cells(&cell->data2);
}

void gc_mark_context(uint32_t* slot) {
    if (!*slot) return;
    if (g_gc_mark_context) g_gc_mark_context(slot);
    else gc_mark_node_cells(slot);
}

void gc_mark_cells(Cell* first, Cell* last) {
    for (Cell* c = first; c < last; c++) mark_cell(c);
    drain_mark_stack();
}

void gc_remap_moved(uint32_t* first, uint32_t* last) {
    if (evacuated.empty()) return;
    for (uint32_t* w = first; w < last; w++)
        if (*w) forward(w);
}

void gc_collect() {
    if (g_gc.busy || !memory_ready()) return;
    g_gc.busy = true;
    evacuated.clear();
    if (g_gc.evacuation_enabled) {
        if (stress_collection) evacuate_every_node_frame();
        else evacuate_node_frames();
    }
    mark_roots();
    if (!evacuated.empty()) gc_remap_moved(g_cycles.entries, g_cycles.entries + g_cycles.top);
    if (g_gc_sweep_externals) g_gc_sweep_externals();
    if (g_gc_sweep_owners) g_gc_sweep_owners();
    drain_mark_stack();  // the owners sweep visits the cells of surviving entries
    compact_frames();
    hashtable_buffers_moved();
    sweep_big_buffers();
    gc_free_pending();
    sweep_node_frames();
    evacuated.clear();
    unmark_fixed_buffers();
    g_gc_count = ++g_gc.series_cycles;
    g_gc.busy = false;
}

void gc_collect_stress() {
    stress_collection = true;
    gc_collect();
    stress_collection = false;
}

void gc_collect_if_enabled() {
    if (g_gc_enabled) gc_collect();
}

namespace {

// The problem with one buffer, or "".
std::string buffer_problem(Off at, const SeriesBuf* buf, uint32_t* abandoned) {
    auto where = [&](const char* what) { return std::string(what) + " at " + std::to_string(at); };
    if (buf->flags & SERIES_MARK) return where("marked buffer");
    if (!(buf->flags & SERIES_IN_USE)) {
        if (buf->node) return where("abandoned buffer with a node");
        if (abandoned) ++*abandoned;
        return "";
    }
    if (!buf->node || node_word(buf->node) != at) return where("buffer not named by its node");
    if (buf->head < buf->data_start() || buf->tail < buf->head || buf->tail > buf->data_end())
        return where("head or tail outside the data");
    return "";
}

}  // namespace

std::string gc_check_heap(uint32_t* abandoned) {
    if (abandoned) *abandoned = 0;
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
        const SeriesFrame* frame = arena_at<SeriesFrame>(f);
        if (frame->top < frame->data_start() || frame->top > frame->end) return "frame top out of its frame";
        for (Off b = frame->data_start(); b < frame->top; b += buffer_span(arena_at<SeriesBuf>(b))) {
            std::string problem = buffer_problem(b, arena_at<SeriesBuf>(b), abandoned);
            if (!problem.empty()) return problem;
        }
    }
    for (Off block = g_memory.big_buffers_head; block; block = *arena_at<uint32_t>(block)) {
        std::string problem = buffer_problem(block + 12, arena_at<SeriesBuf>(block + 12), abandoned);
        if (!problem.empty()) return problem;
    }
    for (Off buf : memory_fixed_buffers()) {
        std::string problem = buffer_problem(buf, arena_at<SeriesBuf>(buf), abandoned);
        if (!problem.empty()) return problem;
    }
    return "";
}

uint32_t gc_node_frame_count() {
    uint32_t n = 0;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) n++;
    return n;
}

uint32_t gc_series_frame_count() {
    uint32_t n = 0;
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) n++;
    return n;
}

}  // namespace kel
