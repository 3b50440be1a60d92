// The collector. See gc.h for the invariants it relies on.
#include "runtime/gc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/stack.h"

namespace kel {

void gc_free_pending();

GcState g_gc;
void (*g_gc_mark_context)(uint32_t*) = nullptr;
void (*g_gc_sweep_externals)() = nullptr;
void (*g_gc_sweep_owners)() = nullptr;

namespace {

constexpr uint32_t kPendingCapacity = 20000;
constexpr uint32_t kRootCallbacks = 100;

GcCallback root_callbacks[kRootCallbacks];
uint32_t root_callback_count = 0;
GcTypeMarker type_markers[kTypeCount + 1];

std::vector<Cell*> root_cells;
std::vector<uint32_t*> root_nodes;
std::vector<Off> pending;            // nodes whose series died
std::vector<Off> mark_stack;         // unit-16 nodes whose cells await marking
std::unordered_map<Off, Off> moved;  // evacuated node -> its new node

uint32_t* node_slot_remap(uint32_t* slot) {
    if (!moved.empty()) {
        auto it = moved.find(*slot);
        if (it != moved.end()) *slot = it->second;
    }
    return slot;
}

void pending_push(Off node) {
    if (!node) return;
    pending.push_back(node);
    if (pending.size() >= kPendingCapacity) gc_free_pending();
}

void mark_cell(Cell* c);

void drain_mark_stack() {
    while (!mark_stack.empty()) {
        Off node = mark_stack.back();
        mark_stack.pop_back();
        SeriesBuf* buf = node_buffer(node);
        if (buf->unit() != 16) continue;
        Cell* first = arena_at<Cell>(buf->head);
        Cell* last = arena_at<Cell>(buf->tail);
        for (Cell* c = first; c < last; c++) mark_cell(c);
    }
}

void mark_cell(Cell* c) {
    switch (c->type()) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
        if (c->data2 && gc_mark_node(&c->data2)) mark_stack.push_back(c->data2);
        break;
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        if (c->data2) gc_mark_node(&c->data2);
        if (c->data3) gc_mark_node(&c->data3);
        break;
    case TYPE_BITSET: case TYPE_VECTOR: case TYPE_BINARY:
        if (c->data2) gc_mark_node(&c->data2);
        break;
    default:
        if (type_markers[c->type()]) type_markers[c->type()](c);
        break;
    }
}

// ---- frame lists --------------------------------------------------------

struct Span {
    Off start, end;
};

NodeFrame* node_frame_containing(const std::vector<Span>& frames, Off node) {
    auto it = std::upper_bound(frames.begin(), frames.end(), node, [](Off n, const Span& s) { return n < s.start; });
    if (it == frames.begin()) return nullptr;
    --it;
    if (node >= it->end) return nullptr;
    return arena_at<NodeFrame>(it->start - 36);
}

std::vector<Span> sorted_node_frames() {
    std::vector<Span> frames;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        frames.push_back({nf->nodes_start(), nf->nodes_end()});
    }
    std::sort(frames.begin(), frames.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    return frames;
}

// ---- node-frame evacuation ----------------------------------------------

bool frame_is_stable(const NodeFrame* f) {
    uint32_t mask = (1u << (g_gc.stability_depth + 1)) - 1;
    return (f->stability & mask) == mask;
}

NodeFrame* next_target(NodeFrame* avoid) {
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        if (nf != avoid && nf->free_head && !nf->evacuated) return nf;
    }
    return nullptr;
}

void evacuate_node_frame(NodeFrame* frame) {
    Off lo = frame->nodes_start(), hi = frame->nodes_end();
    for (Off node = lo; node < hi; node += 4) {
        uint32_t content = node_word(node);
        if (!content || (content >= lo && content < hi)) continue;  // free node
        NodeFrame* target = next_target(frame);
        if (!target) return;  // nothing left to move into: keep the rest
        Off fresh = target->free_head;
        target->free_head = node_word(fresh);
        target->in_use++;
        node_word(fresh) = content;
        arena_at<SeriesBuf>(content)->node = fresh;
        moved[node] = fresh;
        node_word(node) = 0;
        frame->in_use--;
    }
    frame->evacuated = 1;
}

void evacuate_node_frames() {
    if (!next_target(nullptr)) return;
    int64_t free_nodes = 0;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        if (nf->free_head && !nf->evacuated) free_nodes += nf->capacity - nf->in_use;
    }
    NodeFrame* current = next_target(nullptr);
    bool any = false;
    for (Off f = g_memory.node_frames_tail; f;) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        Off prev = nf->prev;
        if (frame_is_stable(nf) && nf->in_use < kNodeFrameCapacity / 2 && free_nodes > kNodeFrameCapacity &&
            nf != current && !nf->evacuated) {
            evacuate_node_frame(nf);
            free_nodes -= kNodeFrameCapacity;
            any = true;
        }
        f = prev;
    }
    if (any) g_gc.nodes_cycles++;
}

// ---- compaction -----------------------------------------------------------

uint32_t buffer_span(const SeriesBuf* b) { return 20 + b->size + 4; }

void fix_moved_buffers(Off from, Off to, uint32_t length) {
    int64_t distance = int64_t(from) - int64_t(to);
    Off end = to + length;
    for (Off b = to; b < end;) {
        SeriesBuf* buf = arena_at<SeriesBuf>(b);
        if (buf->node) node_word(buf->node) = b;
        buf->head = static_cast<Off>(buf->head - distance);
        buf->tail = static_cast<Off>(buf->tail - distance);
        b += buffer_span(buf);
    }
}

// Moves [from, from + length) to `to` and fixes the buffers there.
void move_run(Off from, Off to, uint32_t length) {
    if (from == to || length == 0) return;
    std::memmove(arena_ptr(to), arena_ptr(from), length);
    fix_moved_buffers(from, to, length);
}

// Compacts one frame, moving live runs into `prev` while it has room.
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
            // The first live buffer alone is larger than the room left in the
            // previous frame: stop moving into it for this frame.
            room = 0;
            continue;
        }
        if (room && run_len <= room) {
            move_run(run_start, prev->top, run_len);
            prev->top += run_len;
            update_room();
            if (!dest) dest = run_start;
        } else if (dest) {
            move_run(run_start, dest, run_len);
            dest += run_len;
        } else {
            room = 0;  // live data at the very start, nothing to slide into
        }
    }
    if (dest) frame->top = dest;
}

void compact_frames() {
    SeriesFrame* prev = nullptr;
    for (Off f = g_memory.series_frames_head; f;) {
        SeriesFrame* frame = arena_at<SeriesFrame>(f);
        Off next = frame->next;
        compact_frame(frame, prev);
        if (frame->top == frame->data_start() && next) {
            series_frame_free(frame);
        } else {
            prev = frame;
        }
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

void sweep_node_frames() {
    bool current_set = false;
    for (Off f = g_memory.node_frames_head; f;) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        Off next = nf->next;
        if (nf->in_use == 0 || nf->evacuated) {
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

void mark_roots() {
    if (stack_ready()) {
        gc_mark_node(&g_stack.data_node);
        gc_mark_node(&g_stack.frame_node);
        gc_mark_cells(g_stack.data_bottom, g_stack.top);
        for (CallFrame* f = g_stack.frame_bottom; f < g_stack.frame_top; f++) {
            if (f->word_ctx && g_gc_mark_context) g_gc_mark_context(&f->word_ctx);
            if (f->func_ctx && g_gc_mark_context) g_gc_mark_context(&f->func_ctx);
        }
    }
    for (uint32_t* slot : root_nodes)
        if (*slot) gc_mark_node_cells(slot);
    for (Cell* c : root_cells) gc_mark_cells(c, c + 1);
    for (uint32_t i = 0; i < root_callback_count; i++)
        if (root_callbacks[i]) root_callbacks[i]();
    drain_mark_stack();
}

}  // namespace

void gc_free_pending() {
    if (pending.empty()) return;
    std::sort(pending.begin(), pending.end());
    std::vector<Span> frames = sorted_node_frames();
    for (Off node : pending) {
        NodeFrame* nf = node_frame_containing(frames, node);
        if (nf) node_free(nf, node);
    }
    pending.clear();
}

void gc_init() {
    pending.reserve(kPendingCapacity);
    const char* stress = std::getenv("KEL_GC_STRESS");
    if (stress) g_gc.stress_every = static_cast<uint32_t>(std::strtoul(stress, nullptr, 10));
    g_gc_collect_hook = gc_collect;
}

void gc_reset_counters() {
    g_gc.series_cycles = g_gc.nodes_cycles = 0;
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
    node_slot_remap(slot);
    SeriesBuf* buf = node_buffer(*slot);
    if (buf->flags & SERIES_MARK) return false;
    buf->flags |= SERIES_MARK;
    return true;
}

void gc_mark_node_cells(uint32_t* slot) {
    if (gc_mark_node(slot) && node_buffer(*slot)->unit() == 16) mark_stack.push_back(*slot);
}

void gc_mark_block_cell(Cell* cell) {
    if (cell->data2) gc_mark_node_cells(&cell->data2);
}

void gc_mark_cells(Cell* first, Cell* last) {
    for (Cell* c = first; c < last; c++) mark_cell(c);
    drain_mark_stack();
}

void gc_remap_moved(uint32_t* first, uint32_t* last) {
    if (moved.empty()) return;
    for (uint32_t* w = first; w < last; w++) node_slot_remap(w);
}

void gc_collect() {
    if (g_gc.busy || !memory_ready()) return;
    g_gc.busy = true;
    moved.clear();
    if (g_gc.evacuation_enabled) evacuate_node_frames();
    mark_roots();
    if (!moved.empty()) gc_remap_moved(g_cycles.entries, g_cycles.entries + g_cycles.top);
    if (g_gc_sweep_externals) g_gc_sweep_externals();
    if (g_gc_sweep_owners) g_gc_sweep_owners();
    compact_frames();
    sweep_big_buffers();
    gc_free_pending();
    sweep_node_frames();
    moved.clear();
    for (Off buf : memory_fixed_buffers()) arena_at<SeriesBuf>(buf)->flags &= ~SERIES_MARK;
    g_gc.series_cycles++;
    g_gc.busy = false;
}

void gc_collect_if_enabled() {
    if (g_gc_enabled) gc_collect();
}

GcRootCell::GcRootCell(Cell* cell) { root_cells.push_back(cell); }
GcRootCell::~GcRootCell() { root_cells.pop_back(); }
GcRootNode::GcRootNode(uint32_t* slot) { root_nodes.push_back(slot); }
GcRootNode::~GcRootNode() { root_nodes.pop_back(); }

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
