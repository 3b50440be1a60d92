// Cell primitives that touch series buffers.
#include "runtime/cell.h"

#include <cstring>

#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"

namespace kel {

Cell* g_boot_root = nullptr;

Cell* block_buffer_append_slot(SeriesBuf* buf) {
    if (buf->tail == buf->data_end()) buf = series_expand(buf, 0);
    Cell* cell = arena_at<Cell>(buf->tail);
    cell->header = TYPE_UNSET;
    buf->tail += sizeof(Cell);
    return cell;
}

Cell* block_append_slot(const Cell* block) { return block_buffer_append_slot(node_buffer(block->data2)); }

uint8_t* series_reserve_bytes(SeriesBuf* buf, uint32_t n) {
    if (uint64_t(buf->tail) + n > buf->data_end()) {
        int64_t grown = n > buf->size ? int64_t(n) * 2 : int64_t(buf->size) * 2;
        buf = series_expand(buf, grown);
    }
    uint8_t* old_tail = buf->tail_ptr();
    buf->tail += n;
    return old_tail;
}

Off series_copy_part(Off node, uint32_t index, uint32_t count) {
    uint32_t unit = node_buffer(node)->unit();
    uint32_t shift = unit == 16 ? 4 : unit == 8 ? 3 : unit >> 1;
    uint64_t bytes = uint64_t(count) << shift;
    if (bytes > 0x7FFFFFFF) error_raise(ErrCat::Internal, "no-memory");
    GcRootNode keep(&node);
    Off copy = alloc_bytes(static_cast<uint32_t>(bytes));
    SeriesBuf* src = node_buffer(node);
    SeriesBuf* dst = node_buffer(copy);
    // The copy takes the unit and flags, but bit 24 must keep telling where
    // the copy itself lives.
    dst->flags = (src->flags & ~(SERIES_OWNED | SERIES_BIG)) | (dst->flags & SERIES_BIG);
    std::memcpy(dst->data(), src->head_ptr() + (uint64_t(index) << shift), bytes);
    dst->tail = dst->head + static_cast<uint32_t>(bytes);
    return copy;
}

}  // namespace kel
