// Growable arrays on series buffers.
#include "runtime/array.h"

#include <cstring>

#include "runtime/cell.h"

namespace kel {

Off array_make(uint32_t count, uint32_t unit) {
    Off node = alloc_bytes(count * unit);
    SeriesBuf* buf = node_buffer(node);
    buf->flags = (buf->flags & ~SERIES_UNIT_MASK) | unit;
    return node;
}

uint32_t array_length(Off node) {
    SeriesBuf* buf = node_buffer(node);
    return buf->used_bytes() / buf->unit();
}

void array_clear(Off node) {
    SeriesBuf* buf = node_buffer(node);
    buf->tail = buf->head;
}

void array_set_tail(Off node, uint32_t index) {
    SeriesBuf* buf = node_buffer(node);
    buf->tail = buf->head + (index - 1) * buf->unit();
}

Off array_copy(Off node) { return series_copy_buffer(node_buffer(node)); }
uint32_t array_flags(Off node) { return node_buffer(node)->flags; }

void array_append_byte(Off node, uint8_t byte) { *series_reserve_bytes(node_buffer(node), 1) = byte; }

uint8_t* array_append_bytes(Off node, const void* src, uint32_t n) {
    uint8_t* dst = series_reserve_bytes(node_buffer(node), n);
    std::memcpy(dst, src, n);
    return dst;
}

void array_append_int(Off node, int32_t value) {
    std::memcpy(series_reserve_bytes(node_buffer(node), 4), &value, 4);
}

void array_append_ptr(Off node, uint32_t value) {
    std::memcpy(series_reserve_bytes(node_buffer(node), 4), &value, 4);
}

void array_insert_int(Off node, int32_t value, uint32_t position) {
    SeriesBuf* buf = node_buffer(node);
    if (buf->tail + 4 > buf->data_end()) buf = series_expand(buf, 0);
    uint8_t* at = buf->head_ptr() + 4 * position;
    std::memmove(at + 4, at, buf->tail_ptr() - at);
    std::memcpy(at, &value, 4);
    buf->tail += 4;
}

uint8_t array_pick_byte(Off node, uint32_t index) { return node_buffer(node)->head_ptr()[index - 1]; }

int32_t array_pick_int(Off node, uint32_t index) {
    int32_t v;
    std::memcpy(&v, node_buffer(node)->head_ptr() + 4 * (index - 1), 4);
    return v;
}

void array_poke_int(Off node, uint32_t index, int32_t value) {
    std::memcpy(node_buffer(node)->head_ptr() + 4 * (index - 1), &value, 4);
}

int32_t array_find_int(Off node, int32_t value) {
    SeriesBuf* buf = node_buffer(node);
    const uint8_t* p = buf->head_ptr();
    for (uint32_t off = 0; off + 4 <= buf->used_bytes(); off += 4) {
        int32_t v;
        std::memcpy(&v, p + off, 4);
        if (v == value) return static_cast<int32_t>(off);
    }
    return -1;
}

void array_remove_ptr(Off node, uint32_t value) {
    int32_t off = array_find_ptr(node, value);
    if (off >= 0) array_remove_at(node, static_cast<uint32_t>(off), 4);
}

void array_remove_at(Off node, uint32_t offset, uint32_t n) {
    SeriesBuf* buf = node_buffer(node);
    uint8_t* at = buf->head_ptr() + offset;
    std::memmove(at, at + n, buf->tail_ptr() - (at + n));
    buf->tail -= n;
}

}  // namespace kel
