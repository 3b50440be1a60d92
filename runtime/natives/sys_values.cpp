// Value builders and readers (see sys_values.h).
#include "runtime/natives/sys_values.h"

#include <cstring>

#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/symbols.h"

namespace kel {

std::string value_bytes(const Cell* value) {
    if (value->is(TYPE_BINARY)) {
        SeriesBuf* buf = node_buffer(value->data2);
        uint32_t used = buf->used_bytes();
        if (value->data1 >= used) return {};
        return std::string(reinterpret_cast<const char*>(buf->head_ptr()) + value->data1, used - value->data1);
    }
    return string_to_utf8(value);
}

uint32_t series_count_checked(size_t n) {
    if (n > kSeriesMaxBytes) error_raise(ErrCat::Internal, "no-memory");
    return static_cast<uint32_t>(n);
}

Cell* binary_make_bytes(Cell* out, const void* bytes, size_t n) {
    Off node = alloc_bytes(series_count_checked(n));
    SeriesBuf* buf = node_buffer(node);
    if (n) std::memcpy(buf->head_ptr(), bytes, n);
    buf->tail = buf->head + static_cast<uint32_t>(n);
    cell_set(out, TYPE_BINARY, 0, node, 0);
    return out;
}

Cell* string_make_utf8(Cell* out, std::string_view text, uint32_t type) {
    Cell s;
    string_make(&s, series_count_checked(text.size()), 1, type);
    GcRootCell root(&s);
    string_append_utf8(&s, text.data(), text.size());
    return copy_cell(&s, out);
}

Cell* block_make_empty(Cell* out, uint32_t capacity) {
    Off node = alloc_cells(capacity ? capacity : 1);
    cell_set(out, TYPE_BLOCK, 0, node, 0);
    return out;
}

void string_append_bytes(Cell* str, std::string_view text) { string_append_ascii(str, text.data(), text.size()); }

uint32_t sys_symbol(const char* name) { return symbol_make(name); }

bool word_is(const Cell* word, const char* name) {
    return symbol_resolve(word->data2) == symbol_resolve(sys_symbol(name));
}

}  // namespace kel
