// Memory frames, nodes and series buffers: allocation and expansion.
// The collector (gc.cpp) marks, compacts and frees; everything here only
// takes memory.
#include "runtime/memory.h"

#include <algorithm>
#include <cstring>

#include "runtime/error.h"
#include "runtime/gc.h"

namespace kel {

MemoryRecord g_memory;
uint32_t g_gc_count = 0;
bool g_gc_enabled = false;
void (*g_gc_collect_hook)() = nullptr;

// A new series frame as series_frame_make, or null when no memory is left.
SeriesFrame* series_frame_try_make();

namespace {

bool memory_initialised = false;
std::vector<Off> fixed_buffers;

// The header of a virtual-memory block: one word holding the rounded size.
constexpr uint32_t kVmHeader = 4;

// A big buffer's block starts with {next big buffer, 0, requested bytes}.
struct BigHeader {
    uint32_t next;
    uint32_t zero;
    uint32_t bytes;
};

// Spare frame blocks. The collector releases a frame that compaction (or the
// node sweep) emptied, and under steady churn the next allocations make one of
// the same size again: giving the pages back and faulting them in afresh cost
// more than the collection itself. Released node and series frames are
// therefore parked here, still committed, and taken back by the next frame of
// the same rounded size. They are kept up to 32 MB, or up to the total held
// when that is larger: the frames a collection empties are about what the
// allocator wants again before the next one, and a program that drops a
// large structure and builds another of its size (a phase repeated) gets
// the pages back without faulting them in again; with 8 MB, a repeated
// phase of 16 MB faulted 5 MB in afresh each time. The record's total drops at the
// release as before (a spare is held by no frame). Spares are given back to
// the platform when it refuses a block, at memory_free_all, and never kept in
// stress mode, whose released frames should fault when touched.
struct Spare {
    Off block;        // the virtual-memory block (its first word holds the size)
    uint32_t rounded; // its page-rounded size
};
constexpr uint32_t kSpareCount = 64;
constexpr uint32_t kSpareBytesMin = 32u << 20;  // more while the frames hold more
Spare spares[kSpareCount];
uint32_t spare_count = 0;
uint32_t spare_bytes = 0;

uint32_t vm_rounded(uint32_t size) {
    return static_cast<uint32_t>((uint64_t(size) + kVmHeader + kPageSize - 1) / kPageSize * kPageSize);
}

void spares_release() {
    while (spare_count) {
        Spare s = spares[--spare_count];
        spare_bytes -= s.rounded;
        try {
            platform_virtual_free(s.block);
        } catch (const PlatformThrow&) {
            error_raise(ErrCat::Internal, "wrong-mem");
        }
    }
}

// A block of `size` bytes after its size word, counted in the total, or 0
// when the platform refuses it even once the spares went back.
Off vm_try_alloc(uint32_t size, bool executable) {
    uint64_t rounded = (uint64_t(size) + kVmHeader + kPageSize - 1) / kPageSize * kPageSize;
    if (rounded >= (uint64_t(1) << 32)) return 0;
    Off block = 0;
    for (int attempt = 0; !block; attempt++) {
        try {
            block = platform_virtual_alloc(static_cast<uint32_t>(rounded), executable);
        } catch (const PlatformThrow&) {
            if (attempt || !spare_count) return 0;
            spares_release();
        }
    }
    g_memory.total += static_cast<uint32_t>(rounded);
    *arena_at<uint32_t>(block) = static_cast<uint32_t>(rounded);
    return block + kVmHeader;
}

// A frame block of `size` bytes (as for memory_vm_alloc): a spare when one of
// the same rounded size is parked, else a new block; 0 when none can be had.
Off frame_block_alloc(uint32_t size) {
    uint32_t rounded = vm_rounded(size);
    for (uint32_t i = spare_count; i-- > 0;) {
        if (spares[i].rounded != rounded) continue;
        Off block = spares[i].block;
        spares[i] = spares[--spare_count];
        spare_bytes -= rounded;
        g_memory.total += rounded;
        return block + kVmHeader;
    }
    return vm_try_alloc(size, false);
}

// Releases a frame block: parked while there is room, else given back.
void frame_block_free(Off address) {
    Off block = address - kVmHeader;
    uint32_t rounded = *arena_at<uint32_t>(block);
    uint64_t cap = std::max<uint64_t>(kSpareBytesMin, g_memory.total);
    if (g_gc.stress_every || spare_count == kSpareCount || spare_bytes + uint64_t(rounded) > cap) {
        memory_vm_free(address);
        return;
    }
    spares[spare_count++] = {block, rounded};
    spare_bytes += rounded;
    g_memory.total -= rounded;
}

void collect_if_enabled() {
    if (g_gc_enabled && g_gc_collect_hook) g_gc_collect_hook();
}

// After a shortage collection: while the series frames hold more live data
// than free room, add a frame (stopping quietly when none can be had).
// Carrying on in less room would bring the next collection after less
// allocation than the data it marks and walks again, so collections would
// cost more than the allocation they serve.
void series_frames_grow() {
    uint64_t used = 0, room = 0;
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
        const SeriesFrame* frame = arena_at<SeriesFrame>(f);
        used += frame->top - frame->data_start();
        room += frame->end - frame->top;
    }
    while (room < used) {
        SeriesFrame* frame = series_frame_try_make();
        if (!frame) return;
        room += frame->end - frame->top;
    }
}

uint32_t round16(uint64_t n) { return static_cast<uint32_t>((n + 15) & ~uint64_t(15)); }

// Requests up to this many bytes take the inline path of the allocator.
constexpr uint64_t kSmallBufferBytes = 65536;

}  // namespace

bool memory_ready() { return memory_initialised; }
const std::vector<Off>& memory_fixed_buffers() { return fixed_buffers; }

void memory_init() {
    platform_vm_init();
    std::memset(&g_memory, 0, sizeof g_memory);
    g_memory.initial_frame_size = kInitialFrameSize;
    g_memory.maximum_frame_size = kMaxFrameSize;
    g_memory.next_frame_size = kInitialFrameSize;
    gc_init();
    memory_initialised = true;
}

Off memory_vm_alloc(uint32_t size, bool executable) {
    Off address = vm_try_alloc(size, executable);
    if (!address) error_raise(ErrCat::Internal, "no-memory");
    return address;
}

void memory_vm_free(Off address) {
    Off block = address - kVmHeader;
    uint32_t rounded = *arena_at<uint32_t>(block);
    try {
        platform_virtual_free(block);
    } catch (const PlatformThrow&) {
        error_raise(ErrCat::Internal, "wrong-mem");
    }
    g_memory.total -= rounded;
}

void memory_free_all() {
    while (g_memory.node_frames_head) node_frame_free(arena_at<NodeFrame>(g_memory.node_frames_head));
    while (g_memory.series_frames_head) series_frame_free(arena_at<SeriesFrame>(g_memory.series_frames_head));
    while (g_memory.big_buffers_head) {
        SeriesBuf* buf = arena_at<SeriesBuf>(g_memory.big_buffers_head + sizeof(BigHeader));
        big_buffer_free(buf);
    }
    spares_release();
}

uint8_t* memory_fill_range(uint8_t* start, uint8_t* end, uint8_t byte) {
    if (end > start) std::memset(start, byte, static_cast<size_t>(end - start));
    return start;
}

void memory_zero_words(uint32_t* first, uint32_t* last) {
    if (last > first) std::memset(first, 0, static_cast<size_t>(last - first) * 4);
}

// ---- node frames ----------------------------------------------------------

void node_frame_thread(NodeFrame* frame) {
    Off first = frame->nodes_start();
    for (uint32_t i = 0; i + 1 < frame->capacity; i++) node_word(first + 4 * i) = first + 4 * (i + 1);
    if (frame->capacity) node_word(first + 4 * (frame->capacity - 1)) = 0;
    frame->free_head = frame->capacity ? first : 0;
}

NodeFrame* node_frame_make(uint32_t n) {
    Off off = frame_block_alloc(36 + 4 * n);
    if (!off) error_raise(ErrCat::Internal, "no-memory");
    NodeFrame* frame = arena_at<NodeFrame>(off);
    node_frame_attach(frame, n);
    return frame;
}

void node_frame_attach(NodeFrame* frame, uint32_t n) {
    Off off = arena_off(frame);
    std::memset(frame, 0, sizeof *frame);
    frame->capacity = n;
    frame->birth_cycle = g_gc_count;
    if (!g_memory.node_frames_head) {
        g_memory.node_frames_head = g_memory.node_frames_tail = g_memory.current_node_frame = off;
    } else {
        frame->prev = g_memory.node_frames_tail;
        arena_at<NodeFrame>(g_memory.node_frames_tail)->next = off;
        g_memory.node_frames_tail = off;
    }
    node_frame_thread(frame);
}

void node_frame_unlink(NodeFrame* frame) {
    Off off = arena_off(frame);
    if (frame->prev) arena_at<NodeFrame>(frame->prev)->next = frame->next;
    else g_memory.node_frames_head = frame->next;
    if (frame->next) arena_at<NodeFrame>(frame->next)->prev = frame->prev;
    else g_memory.node_frames_tail = frame->prev;
    if (g_memory.current_node_frame == off) g_memory.current_node_frame = g_memory.node_frames_tail;
    frame->next = frame->prev = 0;
}

void node_frame_free(NodeFrame* frame) {
    node_frame_unlink(frame);
    frame_block_free(arena_off(frame));
}

namespace {

// alloc_node when the current frame has no free node: the first frame with
// one that is not being evacuated, else a new frame.
__attribute__((noinline)) NodeFrame* node_frame_with_room() {
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* candidate = arena_at<NodeFrame>(f);
        if (candidate->free_head && !candidate->evacuated) {
            g_memory.current_node_frame = f;
            return candidate;
        }
    }
    NodeFrame* frame = node_frame_make(kNodeFrameCapacity);
    g_memory.current_node_frame = arena_off(frame);
    return frame;
}

inline Off take_node() {
    Off current = g_memory.current_node_frame;
    NodeFrame* frame = current ? arena_at<NodeFrame>(current) : nullptr;
    if (__builtin_expect(!frame || !frame->free_head, 0)) frame = node_frame_with_room();
    Off node = frame->free_head;
    frame->free_head = node_word(node);
    node_word(node) = 0;
    frame->in_use++;
    return node;
}

}  // namespace

Off alloc_node() { return take_node(); }

NodeFrame* node_frame_of(Off node) {
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* frame = arena_at<NodeFrame>(f);
        if (node >= frame->nodes_start() && node < frame->nodes_end()) return frame;
    }
    return nullptr;
}

// ---- series frames --------------------------------------------------------

SeriesFrame* series_frame_make() {
    SeriesFrame* frame = series_frame_try_make();
    if (!frame) error_raise(ErrCat::Internal, "no-memory");
    return frame;
}

SeriesFrame* series_frame_try_make() {
    uint32_t size = g_memory.next_frame_size;
    if (size < g_memory.maximum_frame_size) g_memory.next_frame_size = size * 2;
    Off off = frame_block_alloc(size + 20);
    if (!off) return nullptr;
    SeriesFrame* frame = arena_at<SeriesFrame>(off);
    frame->next = frame->prev = 0;
    frame->size = size + 20;
    frame->top = frame->data_start();
    frame->end = frame->data_start() + size;

    Off head = g_memory.series_frames_head;
    if (!head) {
        g_memory.series_frames_head = g_memory.series_frames_tail = g_memory.current_series_frame = off;
        return frame;
    }
    if (off < head) {
        frame->next = head;
        arena_at<SeriesFrame>(head)->prev = off;
        g_memory.series_frames_head = off;
        return frame;
    }
    Off walk = head;
    while (arena_at<SeriesFrame>(walk)->next && walk < off) walk = arena_at<SeriesFrame>(walk)->next;
    SeriesFrame* w = arena_at<SeriesFrame>(walk);
    if (!w->next && walk < off) {
        w->next = off;
        frame->prev = walk;
        g_memory.series_frames_tail = off;
    } else {
        frame->next = walk;
        frame->prev = w->prev;
        if (w->prev) arena_at<SeriesFrame>(w->prev)->next = off;
        else g_memory.series_frames_head = off;
        w->prev = off;
    }
    return frame;
}

void series_frame_free(SeriesFrame* frame) {
    Off off = arena_off(frame);
    if (frame->prev) arena_at<SeriesFrame>(frame->prev)->next = frame->next;
    else g_memory.series_frames_head = frame->next;
    if (frame->next) arena_at<SeriesFrame>(frame->next)->prev = frame->prev;
    else g_memory.series_frames_tail = frame->prev;
    if (g_memory.current_series_frame == off) g_memory.current_series_frame = g_memory.series_frames_tail;
    frame_block_free(off);
}

SeriesFrame* series_frame_find(uint32_t bytes) {
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
        SeriesFrame* frame = arena_at<SeriesFrame>(f);
        if (uint64_t(frame->top) + bytes < frame->end) return frame;
    }
    return nullptr;
}

// ---- big buffers ----------------------------------------------------------

SeriesBuf* big_buffer_alloc(uint32_t bytes) {
    Off block = memory_vm_alloc(bytes + sizeof(BigHeader));
    BigHeader* h = arena_at<BigHeader>(block);
    *h = {0, 0, bytes};
    if (!g_memory.big_buffers_head) {
        g_memory.big_buffers_head = block;
    } else {
        Off last = g_memory.big_buffers_head;
        while (arena_at<BigHeader>(last)->next) last = arena_at<BigHeader>(last)->next;
        arena_at<BigHeader>(last)->next = block;
    }
    return arena_at<SeriesBuf>(block + sizeof(BigHeader));
}

void big_buffer_free(SeriesBuf* buf) {
    Off block = arena_off(buf) - sizeof(BigHeader);
    if (g_memory.big_buffers_head == block) {
        g_memory.big_buffers_head = arena_at<BigHeader>(block)->next;
    } else {
        Off prev = g_memory.big_buffers_head;
        while (prev && arena_at<BigHeader>(prev)->next != block) prev = arena_at<BigHeader>(prev)->next;
        if (prev) arena_at<BigHeader>(prev)->next = arena_at<BigHeader>(block)->next;
    }
    memory_vm_free(block);
}

// ---- series buffers -------------------------------------------------------

namespace {

// Everything alloc_series_buffer does beyond the common case: big buffers,
// stress collections, a full current frame (another frame, a collection, a
// new frame).
__attribute__((noinline)) SeriesBuf* alloc_series_buffer_slow(uint32_t count, uint32_t unit, int32_t offset) {
    uint64_t bytes = uint64_t(count) * unit;
    if (bytes > 0xFFF00000u) error_raise(ErrCat::Internal, "no-memory");
    gc_stress_tick();
    uint32_t size = round16(bytes);
    uint64_t need = uint64_t(size) + 24;
    SeriesBuf* buf;
    bool big = need >= g_memory.maximum_frame_size;
    if (big) {
        collect_if_enabled();
        buf = big_buffer_alloc(static_cast<uint32_t>(need));
    } else {
        SeriesFrame* frame = g_memory.current_series_frame ? arena_at<SeriesFrame>(g_memory.current_series_frame) : nullptr;
        if (!frame || !(uint64_t(frame->top) + need < frame->end)) {
            frame = series_frame_find(static_cast<uint32_t>(need));
            if (!frame && g_gc_enabled && g_gc_collect_hook) {
                g_gc_collect_hook();
                series_frames_grow();
                frame = series_frame_find(static_cast<uint32_t>(need));
                if (frame && frame->end - frame->top < kCompactRoomMin) frame = nullptr;
            }
            if (!frame) {
                if (need >= g_memory.next_frame_size) g_memory.next_frame_size = g_memory.maximum_frame_size;
                frame = series_frame_make();
            }
            g_memory.current_series_frame = arena_off(frame);
        }
        buf = arena_at<SeriesBuf>(frame->top);
        frame->top += static_cast<uint32_t>(need);
    }
    buf->size = size;
    buf->flags = unit | SERIES_IN_USE | SERIES_MADE | (big ? SERIES_BIG : 0);
    buf->node = 0;
    uint32_t head_offset = offset < 0 ? size / 2 : static_cast<uint32_t>(offset);
    if (offset < 0) buf->flags |= SERIES_MIDDLE;
    buf->head = buf->tail = buf->data_start() + head_offset;
    return buf;
}

// The common case inline: a small buffer that fits the current frame while
// no stress collection can be due. It makes the same buffer the slow path
// would make there.
inline SeriesBuf* take_series_buffer(uint32_t count, uint32_t unit, int32_t offset) {
    uint64_t bytes = uint64_t(count) * unit;
    Off current = g_memory.current_series_frame;
    if (__builtin_expect(bytes <= kSmallBufferBytes && current && !g_gc.stress_every && offset >= 0, 1)) {
        uint32_t size = round16(bytes);
        uint32_t need = size + 24;
        SeriesFrame* frame = arena_at<SeriesFrame>(current);
        if (uint64_t(frame->top) + need < frame->end && need < g_memory.maximum_frame_size) {
            SeriesBuf* buf = arena_at<SeriesBuf>(frame->top);
            frame->top += need;
            buf->flags = unit | SERIES_IN_USE | SERIES_MADE;
            buf->node = 0;
            buf->size = size;
            buf->head = buf->tail = buf->data_start() + static_cast<uint32_t>(offset);
            return buf;
        }
    }
    return alloc_series_buffer_slow(count, unit, offset);
}

}  // namespace

SeriesBuf* alloc_series_buffer(uint32_t count, uint32_t unit, int32_t offset) {
    return take_series_buffer(count, unit, offset);
}

Off alloc_series(uint32_t count, uint32_t unit, int32_t offset) {
    SeriesBuf* buf = take_series_buffer(count, unit, offset);
    Off buf_off = arena_off(buf);
    Off node = take_node();  // never moves buffers
    arena_at<SeriesBuf>(buf_off)->node = node;
    node_word(node) = buf_off;
    return node;
}

Off alloc_series_fixed(uint32_t count, uint32_t unit, int32_t offset) {
    uint64_t bytes = uint64_t(count) * unit;
    if (bytes > 0xFFF00000u) fatal_runtime_error(94);
    uint32_t size = round16(bytes);
    Off off = heap_alloc(size + 20);
    if (!off) fatal_runtime_error(94);
    SeriesBuf* buf = arena_at<SeriesBuf>(off);
    buf->size = size;
    buf->flags = unit | 0xA0100000u;
    buf->head = buf->tail = buf->data_start() + static_cast<uint32_t>(offset < 0 ? size / 2 : offset);
    Off node = alloc_node();
    buf->node = node;
    node_word(node) = off;
    fixed_buffers.push_back(off);
    return node;
}

Off alloc_cells(uint32_t count) { return alloc_series(count, 16, 0); }

Off alloc_cells_unset(uint32_t count) {
    Off node = alloc_series(count, 16, 0);
    SeriesBuf* buf = node_buffer(node);
    uint32_t* w = reinterpret_cast<uint32_t*>(buf->data());
    for (uint32_t i = 0; i < buf->size / 16; i++) {
        w[4 * i] = 2;
        w[4 * i + 1] = w[4 * i + 2] = w[4 * i + 3] = 0;
    }
    return node;
}

Off alloc_bytes(uint32_t count) { return alloc_series(count ? count : 16, 1, 0); }

Off alloc_string(uint32_t count, uint32_t unit) {
    if (count == 0) count = 16 >> (unit >> 1);
    return alloc_series(count, unit, 0);
}

Off alloc_bytes_filled(uint32_t count, uint8_t byte) {
    Off node = alloc_bytes(count);
    SeriesBuf* buf = node_buffer(node);
    std::memset(buf->data(), byte, buf->size);
    return node;
}

void series_set_flags(Off node, uint32_t bits) { node_buffer(node)->flags |= bits; }

SeriesBuf* series_expand_alloc(SeriesBuf* buf, int64_t new_size, SeriesBuf** old_out) {
    Off node = buf->node;
    uint32_t unit = buf->unit();
    if (new_size == 0) new_size = int64_t(buf->size) * 2;
    if (new_size <= 0 || new_size > 0x7FFFFFFF || unit == 0) error_raise(ErrCat::Internal, "no-memory");
    GcRootNode keep(&node);  // an evacuation may move the node itself
    SeriesBuf* fresh = alloc_series_buffer(static_cast<uint32_t>(new_size / unit), unit, 0);
    SeriesBuf* old = node_buffer(node);  // re-read: the allocation may have collected
    node_word(node) = arena_off(fresh);
    // The flags word moves whole, except that bit 24 tells where *this*
    // buffer lives: a frame buffer marked big would be swept as a block.
    uint32_t fresh_big = fresh->flags & SERIES_BIG;
    fresh->flags = (old->flags & ~SERIES_BIG) | fresh_big;
    fresh->node = node;
    fresh->tail = fresh->head + (old->tail - old->head);
    old->node = 0;
    old->flags &= ~SERIES_IN_USE;
    if (old_out) *old_out = old;
    return fresh;
}

SeriesBuf* series_expand(SeriesBuf* buf, int64_t new_size) {
    SeriesBuf* old;
    SeriesBuf* fresh = series_expand_alloc(buf, new_size, &old);
    // Nothing allocates between the abandonment and this copy, so `old`
    // still holds the data.
    uint32_t bytes = old->data_end() - old->head;
    std::memmove(fresh->data(), old->head_ptr(), bytes);
    return fresh;
}

SeriesBuf* series_expand_filled(SeriesBuf* buf, int64_t new_size, uint8_t byte) {
    uint32_t old_size = buf->size;
    SeriesBuf* fresh = series_expand(buf, new_size);
    if (fresh->size > old_size) std::memset(fresh->data() + old_size, byte, fresh->size - old_size);
    return fresh;
}

Off series_copy_buffer(SeriesBuf* buf) {
    Off old_node = buf->node;
    GcRootNode keep(&old_node);
    Off node = alloc_bytes(buf->size);
    SeriesBuf* old = node_buffer(old_node);  // re-read: the allocation may have collected
    SeriesBuf* fresh = node_buffer(node);
    // The copy takes the unit and the type's own bits; the storage bits
    // (big, fixed) describe where the copy lives, and a copy has no owner.
    uint32_t storage = SERIES_BIG | SERIES_FIXED | SERIES_OWNED | SERIES_MARK;
    fresh->flags = (old->flags & ~storage) | (fresh->flags & SERIES_BIG);
    fresh->tail = fresh->head + (old->tail - old->head);
    if (old->size) std::memcpy(fresh->data(), old->head_ptr(), old->data_end() - old->head);
    return node;
}

}  // namespace kel
