// Growable arrays of bytes, 32-bit integers or pointers kept in ordinary
// series buffers, so the collector owns them like any other series. An array
// is its node; its element size is the buffer's unit; elements run from head
// to tail. Indexes are 1-based element numbers, offsets bytes from the head.
// Growth doubles the buffer (or twice the request when larger).
#pragma once
#include <cstdint>

#include "runtime/memory.h"

namespace kel {

Off array_make(uint32_t count, uint32_t unit);
uint32_t array_length(Off node);
void array_clear(Off node);
void array_set_tail(Off node, uint32_t index);
Off array_copy(Off node);
uint32_t array_flags(Off node);
void array_append_byte(Off node, uint8_t byte);
uint8_t* array_append_bytes(Off node, const void* src, uint32_t n);
void array_append_int(Off node, int32_t value);
// Pointers are arena offsets here: every address the runtime keeps is 32 bits.
void array_append_ptr(Off node, uint32_t value);
void array_insert_int(Off node, int32_t value, uint32_t position);
uint8_t array_pick_byte(Off node, uint32_t index);
int32_t array_pick_int(Off node, uint32_t index);
inline int32_t array_pick_int32(Off node, uint32_t index) { return array_pick_int(node, index); }
void array_poke_int(Off node, uint32_t index, int32_t value);
int32_t array_find_int(Off node, int32_t value);
inline int32_t array_find_ptr(Off node, uint32_t value) { return array_find_int(node, static_cast<int32_t>(value)); }
void array_remove_ptr(Off node, uint32_t value);
void array_remove_at(Off node, uint32_t offset, uint32_t n);

}  // namespace kel
