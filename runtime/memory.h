// Memory frames, nodes and series buffers.
//
// A series keeps its elements in a buffer: a 20-byte header then the data.
// Buffers are bump-allocated in series frames and move when the collector
// compacts a frame, so values hold a *node* (a 4-byte slot in a node frame
// whose content is the buffer's current offset) and never the buffer itself.
// The buffer's back-pointer names its node so a mover can repoint it.
//
// Invariants:
//  - a buffer in a frame occupies 20 + size + 4 bytes; size is a multiple of 16;
//  - head and tail are absolute arena offsets inside the data area;
//  - a pointer into a buffer is stale after any call that may allocate;
//  - requests of 2 MB (with header and slack) or more become big buffers in a
//    virtual-memory block of their own and never move.
#pragma once
#include <cstdint>
#include <vector>

#include "runtime/platform/vm.h"

namespace kel {

// Series buffer header (word 0 flags, then node, size, head, tail).
struct SeriesBuf {
    uint32_t flags;
    uint32_t node;
    uint32_t size;
    uint32_t head;
    uint32_t tail;

    uint32_t unit() const { return flags & 0x1F; }
    Off data_start() const { return arena_off(this) + 20; }
    Off data_end() const { return data_start() + size; }
    uint8_t* data() { return reinterpret_cast<uint8_t*>(this) + 20; }
    uint8_t* head_ptr() const { return arena_ptr(head); }
    uint8_t* tail_ptr() const { return arena_ptr(tail); }
    uint32_t used_bytes() const { return tail - head; }
};
static_assert(sizeof(SeriesBuf) == 20);

constexpr uint32_t SERIES_UNIT_MASK = 0x1F;
constexpr uint32_t SERIES_OWNED = 0x20000;       // has an owner record
constexpr uint32_t SERIES_COMPLEMENT = 0x80000;  // bitset! complement
constexpr uint32_t SERIES_FIXED = 0x100000;      // process heap, never moved or swept
constexpr uint32_t SERIES_BIG = 0x1000000;       // virtual-memory block of its own
constexpr uint32_t SERIES_MARK = 0x8000000;      // collector mark
constexpr uint32_t SERIES_MIDDLE = 0x10000000;   // head placed mid-buffer at creation
constexpr uint32_t SERIES_MADE = 0x20000000;     // set on every buffer when made
constexpr uint32_t SERIES_IN_USE = 0x80000000;   // cleared when abandoned

constexpr uint32_t kNodeFrameCapacity = 10000;
constexpr uint32_t kInitialFrameSize = 1048576;
constexpr uint32_t kMaxFrameSize = 2097152;
constexpr uint32_t kCompactRoomMin = 52428;  // 0xCCCC: a frame with less free room is passed over

// Node frame header: nine words, then `capacity` nodes.
struct NodeFrame {
    uint32_t next, prev;
    uint32_t capacity;
    uint32_t free_head;
    uint32_t in_use;
    uint32_t birth_cycle;
    uint32_t last_count;
    uint32_t stability;
    uint32_t evacuated;

    Off nodes_start() const { return arena_off(this) + 36; }
    Off nodes_end() const { return nodes_start() + 4 * capacity; }
};
static_assert(sizeof(NodeFrame) == 36);

// Series frame header: five words, then the data area.
struct SeriesFrame {
    uint32_t next, prev;
    uint32_t size;  // header included
    uint32_t top;
    uint32_t end;

    Off data_start() const { return arena_off(this) + 20; }
};
static_assert(sizeof(SeriesFrame) == 20);

struct MemoryRecord {
    uint32_t total;
    Off node_frames_head, node_frames_tail, current_node_frame;
    Off series_frames_head, current_series_frame, series_frames_tail;
    uint32_t initial_frame_size;
    uint32_t next_frame_size;
    uint32_t maximum_frame_size;
    Off big_buffers_head;
};

extern MemoryRecord g_memory;
extern uint32_t g_gc_count;  // collections run so far
extern bool g_gc_enabled;    // allocation may collect (switched on by the start-up)
// Set by the collector module; the allocator calls it when a frame is full.
extern void (*g_gc_collect_hook)();

// Node content and the buffer it refers to.
inline uint32_t& node_word(Off node) { return *arena_at<uint32_t>(node); }
inline SeriesBuf* node_buffer(Off node) { return arena_at<SeriesBuf>(node_word(node)); }

void memory_init();
bool memory_ready();
Off memory_vm_alloc(uint32_t size, bool executable = false);
void memory_vm_free(Off address);
void memory_free_all();
uint8_t* memory_fill_range(uint8_t* start, uint8_t* end, uint8_t byte);
void memory_zero_words(uint32_t* first, uint32_t* last);

NodeFrame* node_frame_make(uint32_t n);
void node_frame_thread(NodeFrame* frame);
void node_frame_free(NodeFrame* frame);
// Takes a frame out of the list without releasing its memory, and puts such
// a frame (of room for n nodes) back as a new one at the tail.
void node_frame_unlink(NodeFrame* frame);
void node_frame_attach(NodeFrame* frame, uint32_t n);
Off alloc_node();
inline void node_free(NodeFrame* frame, Off node) {
    node_word(node) = frame->free_head;
    frame->free_head = node;
    frame->in_use--;
}

SeriesFrame* series_frame_make();
void series_frame_free(SeriesFrame* frame);
SeriesFrame* series_frame_find(uint32_t bytes);

// The allocators; `offset` is the head's byte offset in the data area, -1 for
// the middle. Counts are element counts of the given unit.
SeriesBuf* alloc_series_buffer(uint32_t count, uint32_t unit, int32_t offset);
Off alloc_series(uint32_t count, uint32_t unit, int32_t offset);
Off alloc_series_fixed(uint32_t count, uint32_t unit, int32_t offset);
Off alloc_cells(uint32_t count);
Off alloc_cells_unset(uint32_t count);
Off alloc_bytes(uint32_t count);
Off alloc_string(uint32_t count, uint32_t unit);
Off alloc_bytes_filled(uint32_t count, uint8_t byte);
void series_set_flags(Off node, uint32_t bits);

// Expansion moves the series to a new buffer (new size 0 doubles it); the old
// buffer is abandoned in place. Callers re-read head and tail afterwards.
// `old_out`, when given, receives the abandoned buffer's current address.
SeriesBuf* series_expand_alloc(SeriesBuf* buf, int64_t new_size, SeriesBuf** old_out = nullptr);
SeriesBuf* series_expand(SeriesBuf* buf, int64_t new_size);
SeriesBuf* series_expand_filled(SeriesBuf* buf, int64_t new_size, uint8_t byte);
Off series_copy_buffer(SeriesBuf* buf);

SeriesBuf* big_buffer_alloc(uint32_t bytes);
void big_buffer_free(SeriesBuf* buf);

// Every fixed buffer made so far (the collector unmarks them all).
const std::vector<Off>& memory_fixed_buffers();

// Frame lookup for the collector: the node frame holding `node`, or null.
NodeFrame* node_frame_of(Off node);

}  // namespace kel
