// string! storage: creation, widening and appending.
#include "runtime/datatypes/string.h"

#include <cstring>

#include "runtime/gc.h"

namespace kel {

Cell* string_make(Cell* out, uint32_t capacity, uint32_t unit, uint32_t type) {
    Off node = alloc_string(capacity, unit);
    cell_set(out, type, 0, node, 0);
    return out;
}

SeriesBuf* string_widen(Off node, uint32_t unit) {
    SeriesBuf* buf = node_buffer(node);
    uint32_t old_unit = buf->unit();
    if (old_unit >= unit) return buf;
    uint32_t count = (buf->data_end() - buf->head) / old_unit;
    uint32_t used = buf->used_bytes() / old_unit;
    uint32_t head_units = (buf->head - buf->data_start()) / old_unit;
    GcRootNode keep(&node);
    SeriesBuf* fresh = alloc_series_buffer(head_units + count, unit, 0);
    buf = node_buffer(node);  // re-read: the allocation may have collected
    const uint8_t* src = buf->data();
    uint8_t* dst = fresh->data();
    uint32_t total = head_units + used;
    for (uint32_t i = 0; i < total; i++) {
        uint32_t cp = string_unit_at(src, old_unit, i);
        if (unit == 2) {
            dst[2 * i] = static_cast<uint8_t>(cp);
            dst[2 * i + 1] = static_cast<uint8_t>(cp >> 8);
        } else {
            std::memcpy(dst + 4 * i, &cp, 4);
        }
    }
    // The series keeps its node: move the new buffer under it and abandon the
    // old one, as an expansion does.
    fresh->head = fresh->data_start() + head_units * unit;
    fresh->tail = fresh->head + used * unit;
    fresh->flags = (buf->flags & ~(SERIES_UNIT_MASK | SERIES_BIG | SERIES_MIDDLE)) | unit | (fresh->flags & SERIES_BIG);
    fresh->node = node;
    node_word(node) = arena_off(fresh);
    buf->node = 0;
    buf->flags &= ~SERIES_IN_USE;
    return fresh;
}

namespace {

// Room for n more units at the tail, re-reading the buffer after growth.
SeriesBuf* string_reserve(Off node, uint32_t n) {
    SeriesBuf* buf = node_buffer(node);
    uint64_t need = uint64_t(n) * buf->unit();
    if (buf->tail + need > buf->data_end()) {
        int64_t grown = int64_t(buf->data_end() - buf->head) * 2;
        int64_t wanted = int64_t(buf->used_bytes() + need);
        buf = series_expand(buf, grown > wanted ? grown : wanted * 2);
    }
    return buf;
}

void put_unit(uint8_t* at, uint32_t unit, uint32_t cp) {
    switch (unit) {
    case 1: *at = static_cast<uint8_t>(cp); break;
    case 2:
        at[0] = static_cast<uint8_t>(cp);
        at[1] = static_cast<uint8_t>(cp >> 8);
        break;
    default: std::memcpy(at, &cp, 4); break;
    }
}

}  // namespace

void string_append_ascii(Cell* str, const char* text, size_t n) {
    Off node = str->data2;
    SeriesBuf* buf = string_reserve(node, static_cast<uint32_t>(n));
    uint32_t unit = buf->unit();
    uint8_t* at = buf->tail_ptr();
    if (unit == 1) {
        std::memcpy(at, text, n);
    } else {
        for (size_t i = 0; i < n; i++) put_unit(at + i * unit, unit, static_cast<uint8_t>(text[i]));
    }
    buf->tail += static_cast<uint32_t>(n * unit);
}

void string_append_char(Cell* str, uint32_t cp) {
    Off node = str->data2;
    uint32_t need = unit_for_codepoint(cp);
    if (node_buffer(node)->unit() < need) string_widen(node, need);
    SeriesBuf* buf = string_reserve(node, 1);
    put_unit(buf->tail_ptr(), buf->unit(), cp);
    buf->tail += buf->unit();
}

void string_append_utf8(Cell* str, const char* text, size_t n) {
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    size_t i = 0;
    while (i < n) {
        uint32_t c = s[i];
        uint32_t cp = 0xFFFD;
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 1) {
            cp = c;
        } else if (len && i + len <= n) {
            cp = c & (0xFF >> (len + 1));
            bool ok = true;
            for (size_t k = 1; k < len; k++) {
                if ((s[i + k] & 0xC0) != 0x80) ok = false;
                cp = cp << 6 | (s[i + k] & 0x3F);
            }
            static const uint32_t min_for_len[5] = {0, 0, 0x80, 0x800, 0x10000};
            if (!ok || cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
                cp = 0xFFFD;
                len = 1;
            }
        } else {
            len = 1;
        }
        string_append_char(str, cp);
        i += len;
    }
}

uint32_t string_length(const Cell* str) {
    SeriesBuf* buf = node_buffer(str->data2);
    uint32_t units = buf->used_bytes() / buf->unit();
    return str->data1 >= units ? 0 : units - str->data1;
}

std::string string_to_utf8(const Cell* str) {
    SeriesBuf* buf = node_buffer(str->data2);
    uint32_t unit = buf->unit();
    uint32_t units = buf->used_bytes() / unit;
    std::string out;
    for (uint32_t i = str->data1; i < units; i++) {
        uint32_t cp = string_unit_at(buf->head_ptr(), unit, i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace kel
