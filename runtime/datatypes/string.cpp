// string! storage: making strings, reading and writing characters at any
// width, the concatenation core every editing action goes through, loading
// encoded text, make/to, path access and the registration.
//
// Growth: a buffer that is short grows to twice the size it needs (capped
// below 2^31 bytes), so a run of appends costs amortised constant time. A
// buffer widens in place through the routines of runtime/unicode.h; every
// index stays valid across a widening.
#include "runtime/datatypes/string.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string_impl.h"
#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/gc.h"
#include "runtime/number_convert.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

using namespace strimpl;

uint32_t g_string_rotate_scratch_size = 65536;

namespace strimpl {

uint32_t g_fold_latin1[256];

// (fold, code point) for every code point that folds to another one, by
// fold: the inverse of the fold, for searches that filter by candidates.
// Cased letters all lie below U+20000. Built on first use: the walk over
// every code point costs more than the rest of start-up, and only a
// case-insensitive search for a non-ASCII letter needs it.
std::vector<std::pair<uint32_t, uint32_t>> g_fold_inverse;

void build_fold_inverse() {
    g_fold_inverse.clear();
    for (uint32_t c = 0; c < 0x20000; c++) {
        uint32_t f = string_fold_char(c);
        if (f != c) g_fold_inverse.emplace_back(f, c);
    }
    std::sort(g_fold_inverse.begin(), g_fold_inverse.end());
}

void string_fold_preimages(uint32_t folded, std::vector<uint32_t>& out) {
    if (g_fold_inverse.empty()) build_fold_inverse();
    auto lo = std::lower_bound(g_fold_inverse.begin(), g_fold_inverse.end(), std::make_pair(folded, 0u));
    for (auto it = lo; it != g_fold_inverse.end() && it->first == folded; ++it) out.push_back(it->second);
}

}  // namespace strimpl

namespace {

// The rotation scratch: kept at the setting's size between calls.
std::vector<uint8_t> g_rotate_scratch;

// Growing or widening moves a buffer to a new one under the same node, and
// the memory layer holds that node across the allocation: a collection
// there must not evacuate node frames (the node would be stale). Every
// growth of a string buffer runs under GcNoEvacuation.

SeriesBuf* grow(SeriesBuf* b, uint64_t size) {
    GcNoEvacuation guard;
    return series_expand(b, static_cast<int64_t>(std::min(size, kMaxStringBytes)));
}

// Room for `extra` more bytes after the tail; returns the buffer to use.
SeriesBuf* reserve_bytes(Off node, uint64_t extra) {
    SeriesBuf* b = node_buffer(node);
    uint64_t used = b->used_bytes();
    if (uint64_t(b->tail) + extra <= b->data_end()) return b;
    uint64_t need = used + extra;
    if (need > kMaxStringBytes) raise_no_memory();
    uint64_t grown = std::max<uint64_t>(need * 2, uint64_t(b->size) * 2);
    return grow(b, grown);
}

// Capacity of a buffer in units from its first unit.
uint64_t capacity_units(const SeriesBuf* b) { return (b->data_end() - b->head) / b->unit(); }

}  // namespace

// ---- makers ---------------------------------------------------------------------------

Cell* string_make(Cell* out, uint32_t capacity, uint32_t unit, uint32_t type) {
    check_unit(unit);
    cell_set_unset(out);  // a collection during the allocation sees no half-made string
    Off node = alloc_string(capacity, unit);
    cell_set(out, type, 0, node, 0);
    return out;
}

Cell* string_make_at(Cell* cell, uint32_t n) { return string_make_at_unit(cell, n ? n : 1, 1); }

Cell* string_make_at_unit(Cell* cell, uint32_t n, uint32_t unit) {
    if (!cell) cell = stack_push_cell();
    return string_make(cell, n, unit, TYPE_STRING);
}

Cell* string_push(const Cell* str) { return stack_push(str); }

// ---- widening and access --------------------------------------------------------------

SeriesBuf* string_widen(Off node, uint32_t unit) {
    SeriesBuf* b = node_buffer(node);
    uint32_t from = b->unit();
    if (from >= unit) return b;
    GcNoEvacuation guard;
    if (from == 1) return unit == 2 ? string_widen_1_to_2(b) : string_widen_1_to_4(b);
    return string_widen_2_to_4(b);
}

uint32_t string_length_total(const Cell* str) {
    SeriesBuf* b = node_buffer(str->data2);
    return b->used_bytes() / b->unit();
}

uint32_t string_length(const Cell* str) {
    uint32_t total = string_length_total(str);
    return str->data1 >= total ? 0 : total - str->data1;
}

uint32_t string_head_index(const Cell* str) {
    uint32_t total = string_length_total(str);
    return str->data1 < total ? str->data1 : total;
}

uint8_t* string_head_ptr(Cell* str) {
    str->data1 = string_head_index(str);
    SeriesBuf* b = node_buffer(str->data2);
    return b->head_ptr() + size_t(str->data1) * b->unit();
}

uint8_t* string_tail_ptr(const Cell* str) { return node_buffer(str->data2)->tail_ptr(); }

bool string_at_tail_q(const Cell* str) { return str->data1 >= string_length_total(str); }

int32_t string_find_char(const Cell* str, uint32_t cp) {
    Run r = run_of(str);
    if (r.unit == 1) {
        if (cp > 0xFF) return -1;
        const void* hit = std::memchr(r.p, static_cast<int>(cp), r.len);
        return hit ? static_cast<int32_t>(static_cast<const uint8_t*>(hit) - r.p) : -1;
    }
    for (uint32_t i = 0; i < r.len; i++)
        if (r.at(i) == cp) return static_cast<int32_t>(i);
    return -1;
}

void string_reset(Cell* str) {
    SeriesBuf* b = node_buffer(str->data2);
    b->tail = b->head;
    b->flags = (b->flags & ~SERIES_UNIT_MASK) | 1;
    str->data1 = 0;
}

void string_truncate(Cell* str, uint32_t n) {
    SeriesBuf* b = node_buffer(str->data2);
    if (n <= capacity_units(b) && n < text_units(b)) set_buf_units(b, n);
}

void string_remove_chars_at(Cell* str, uint32_t index, uint32_t n) {
    SeriesBuf* b = node_buffer(str->data2);
    uint32_t total = text_units(b);
    if (index >= total || n == 0) return;
    if (n >= total - index) {
        set_buf_units(b, index);
        return;
    }
    uint32_t shift = string_shift(b->unit());
    uint8_t* at = unit_ptr(b, index);
    std::memmove(at, at + (size_t(n) << shift), size_t(total - index - n) << shift);
    set_buf_units(b, total - n);
}

void string_remove_char_at(Cell* str, uint32_t index) { string_remove_chars_at(str, index, 1); }

SeriesBuf* string_append_char(Cell* str, uint32_t cp) {
    Off node = str->data2;
    SeriesBuf* b = node_buffer(node);
    if (cp > unit_max(b->unit())) b = string_widen(node, unit_for_codepoint(cp));
    uint32_t unit = b->unit();
    b = reserve_bytes(str->data2, unit);
    string_put_char(b->tail_ptr(), unit, cp);
    b->tail += unit;
    return b;
}

void string_set_char_at(Cell* str, uint32_t index, uint32_t cp) {
    SeriesBuf* b = node_buffer(str->data2);
    if (cp > unit_max(b->unit())) b = string_widen(str->data2, unit_for_codepoint(cp));
    uint32_t unit = b->unit();
    uint64_t need = (uint64_t(index) + 1) * unit;
    if (need > kMaxStringBytes) raise_no_memory();
    if (b->head + need > b->data_end()) {
        uint64_t size = std::max<uint64_t>(b->size, 16);
        while (size < need) size *= 2;
        b = grow(b, size);
    }
    uint32_t total = text_units(b);
    if (index >= total) {
        std::memset(unit_ptr(b, total), 0, size_t(index - total) * unit);  // no stale bytes in the gap
        set_buf_units(b, uint64_t(index) + 1);
    }
    string_put_char(unit_ptr(b, index), unit, cp);
}

void string_insert_char(Cell* str, uint32_t index, uint32_t cp) {
    SeriesBuf* b = node_buffer(str->data2);
    if (cp > unit_max(b->unit())) b = string_widen(str->data2, unit_for_codepoint(cp));
    uint32_t unit = b->unit();
    uint32_t total = text_units(b);
    if (index > total) index = total;
    b = reserve_bytes(str->data2, unit);
    uint8_t* at = unit_ptr(b, index);
    std::memmove(at + unit, at, size_t(total - index) * unit);
    string_put_char(at, unit, cp);
    b->tail += unit;
}

void string_poke_char(Cell* str, uint32_t index, uint32_t cp) {
    SeriesBuf* b = node_buffer(str->data2);
    if (index >= text_units(b)) return;
    if (cp > unit_max(b->unit())) b = string_widen(str->data2, unit_for_codepoint(cp));
    string_put_char(unit_ptr(b, index), b->unit(), cp);
}

// ---- appending runs -------------------------------------------------------------------

void string_append_bytes_n(Cell* str, const uint8_t* bytes, uint32_t n) {
    if (n == 0) return;
    uint32_t unit = node_buffer(str->data2)->unit();
    SeriesBuf* b = reserve_bytes(str->data2, uint64_t(n) * unit);
    copy_units(b->tail_ptr(), unit, bytes, 1, n);
    b->tail += n * unit;
}

void string_append_ascii(Cell* str, const char* text, size_t n) {
    if (n > kMaxStringBytes) raise_no_memory();
    string_append_bytes_n(str, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(n));
}

void string_append_cstring(Cell* str, const char* text) { string_append_ascii(str, text, std::strlen(text)); }

void string_append_codepoints(Cell* str, const uint32_t* cps, uint32_t n) {
    if (n == 0) return;
    uint32_t widest = 0;
    for (uint32_t i = 0; i < n; i++) widest = std::max(widest, cps[i]);
    SeriesBuf* b = node_buffer(str->data2);
    if (widest > unit_max(b->unit())) string_widen(str->data2, unit_for_codepoint(widest));
    uint32_t unit = node_buffer(str->data2)->unit();
    b = reserve_bytes(str->data2, uint64_t(n) * unit);
    uint8_t* at = b->tail_ptr();
    for (uint32_t i = 0; i < n; i++) string_put_char(at + size_t(i) * unit, unit, cps[i]);
    b->tail += n * unit;
}

void string_append_utf8(Cell* str, const char* text, size_t n) {
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    uint32_t chunk[256];
    uint32_t k = 0;
    size_t i = 0;
    while (i < n) {
        uint32_t len = 1;
        int32_t cp = s[i] < 0x80 ? s[i] : -1;
        if (cp < 0) {
            const uint8_t* next = unicode_fast_decode_utf8_char(s + i, s + n, &cp);
            len = static_cast<uint32_t>(next - (s + i));
            if (cp < 0) {
                cp = 0xFFFD;
                len = 1;  // resynchronise on the next byte
            }
        }
        chunk[k++] = static_cast<uint32_t>(cp);
        if (k == 256) {
            string_append_codepoints(str, chunk, k);
            k = 0;
        }
        i += len;
    }
    string_append_codepoints(str, chunk, k);
}

Off string_copy_units(Off src, uint32_t unit) {
    check_unit(unit);
    SeriesBuf* s = node_buffer(src);
    uint32_t n = text_units(s);
    uint32_t widest = max_code_point(s->head_ptr(), s->unit(), n);
    unit = std::max(unit, unit_for_codepoint(widest));
    GcNoEvacuation guard;  // `src` is held across the allocation
    Off node = alloc_string(n ? n : 1, unit);
    s = node_buffer(src);  // re-read: the allocation may have collected
    SeriesBuf* d = node_buffer(node);
    copy_units(d->head_ptr(), unit, s->head_ptr(), s->unit(), n);
    set_buf_units(d, n);
    return node;
}

void string_rotate_bytes(Off node, uint32_t at, uint32_t left, uint32_t right) {
    if (left == 0 || right == 0) return;
    uint32_t smaller = std::min(left, right);
    if (g_rotate_scratch.size() < smaller) g_rotate_scratch.resize(smaller);
    uint8_t* scratch = g_rotate_scratch.data();
    uint8_t* base = node_buffer(node)->head_ptr() + at;
    if (left <= right) {
        std::memcpy(scratch, base, left);
        std::memmove(base, base + left, right);
        std::memcpy(base + right, scratch, left);
    } else {
        std::memcpy(scratch, base + left, right);
        std::memmove(base + right, base, left);
        std::memcpy(base, scratch, right);
    }
    if (g_rotate_scratch.size() > g_string_rotate_scratch_size) {
        g_rotate_scratch.resize(g_string_rotate_scratch_size);
        g_rotate_scratch.shrink_to_fit();
    }
}

void string_append_utf8_own(Cell* str, std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    size_t start = 0;
    for (size_t i = 0; i + 2 < text.size();) {
        // ED A0-BF 80-BF: U+D800 to U+DFFF, which the UTF-8 decoder refuses.
        if (s[i] == 0xED && (s[i + 1] & 0xE0) == 0xA0 && (s[i + 2] & 0xC0) == 0x80) {
            string_append_utf8(str, text.data() + start, i - start);
            string_append_char(str, 0xD800u | uint32_t(s[i + 1] & 0x1F) << 6 | (s[i + 2] & 0x3Fu));
            i += 3;
            start = i;
        } else {
            i++;
        }
    }
    string_append_utf8(str, text.data() + start, text.size() - start);
}

std::string string_to_utf8(const Cell* str) {
    Run r = run_of(str);
    std::string out;
    out.reserve(r.len);
    for (uint32_t i = 0; i < r.len; i++) {
        uint8_t seq[4];
        int n = unicode_encode_utf8(std::min<uint32_t>(r.at(i), 0x10FFFF), seq);
        out.append(reinterpret_cast<const char*>(seq), size_t(n));
    }
    return out;
}

// ---- the concatenation core -------------------------------------------------------------

StringSource string_source_of(const Cell* text, int32_t part) {
    StringSource src;
    src.text = text;
    if (text->is(TYPE_SYMBOL)) {
        src.start = 0;
        src.count = text->data2 ? text_units(node_buffer(text->data2)) : 0;
    } else {
        uint32_t total = text_units(node_buffer(text->data2));
        src.start = text->data1 < total ? text->data1 : total;
        src.count = total - src.start;
    }
    if (part >= 0 && uint32_t(part) < src.count) src.count = uint32_t(part);
    return src;
}

namespace {

inline Off source_node(const StringSource& src) { return src.text->data2; }

// Self-source splice: the copies go to the tail first, are rotated into
// place, and the replaced units (now just after them) are removed.
uint32_t splice_from_self(Cell* dst, uint32_t pos, uint32_t replaced, const StringSource& src, uint32_t dup,
                          uint32_t total) {
    uint32_t unit = node_buffer(dst->data2)->unit();
    uint64_t written = uint64_t(src.count) * dup;
    SeriesBuf* b = reserve_bytes(dst->data2, written * unit);
    uint8_t* tail = b->tail_ptr();
    std::memmove(tail, unit_ptr(b, src.start), size_t(src.count) * unit);
    memory_fill_pattern(tail, src.count * unit, dup);
    set_buf_units(b, total + written);
    string_rotate_bytes(dst->data2, pos * unit, (total - pos) * unit, static_cast<uint32_t>(written * unit));
    string_remove_chars_at(dst, static_cast<uint32_t>(pos + written), replaced);
    return static_cast<uint32_t>(written);
}

}  // namespace

uint32_t string_splice(Cell* dst, uint32_t pos, uint32_t replaced, const StringSource& src, uint32_t dup) {
    SeriesBuf* b = node_buffer(dst->data2);
    uint32_t unit = b->unit();
    check_unit(unit);
    uint32_t total = text_units(b);
    pos = std::min(pos, total);
    replaced = std::min(replaced, total - pos);
    uint64_t written = uint64_t(src.count) * dup;

    // The unit the written characters need.
    uint32_t need = unit;
    if (!src.text) {
        need = std::max(need, unit_for_codepoint(src.cp));
    } else if (src.count) {
        SeriesBuf* sb = node_buffer(source_node(src));
        if (sb->unit() > unit) need = std::max(need, unit_for_codepoint(max_code_point(unit_ptr(sb, src.start), sb->unit(), src.count)));
    }
    if ((uint64_t(total) - replaced + written) * need > kMaxStringBytes) raise_no_memory();
    if (written == 0 && replaced == 0) return 0;
    if (need > unit) {
        b = string_widen(dst->data2, need);
        unit = need;
    }
    if (src.text && src.count && source_node(src) == dst->data2) return splice_from_self(dst, pos, replaced, src, dup, total);

    uint64_t new_total = uint64_t(total) - replaced + written;
    if (b->head + new_total * unit > b->data_end())
        b = grow(b, new_total * unit * 2);
    uint8_t* at = unit_ptr(b, pos);
    std::memmove(at + written * unit, at + size_t(replaced) * unit, size_t(total - pos - replaced) * unit);
    if (!src.text) {
        string_put_char(at, unit, src.cp);
    } else if (src.count) {
        SeriesBuf* sb = node_buffer(source_node(src));  // re-read: the growth may have collected
        copy_units(at, unit, unit_ptr(sb, src.start), sb->unit(), src.count);
    }
    if (dup > 1) memory_fill_pattern(at, src.count * unit, dup);
    set_buf_units(b, new_total);
    return static_cast<uint32_t>(written);
}

uint32_t string_concatenate(Cell* dst, const Cell* src, int32_t part, int32_t offset, int32_t mode) {
    Pin pin_dst(dst), pin_src(src);
    StringSource s = string_source_of(src, part);
    uint32_t total = string_length_total(dst);
    if (mode == STRING_CONCAT_APPEND) return string_splice(dst, total, 0, s, 1);
    uint64_t pos = std::min<uint64_t>(uint64_t(string_head_index(dst)) + uint32_t(std::max(offset, 0)), total);
    uint32_t replaced = mode == STRING_CONCAT_OVERWRITE ? std::min<uint32_t>(s.count, total - uint32_t(pos)) : 0;
    return string_splice(dst, uint32_t(pos), replaced, s, 1);
}

// ---- loading encoded text ----------------------------------------------------------------

Cell* string_load_push(const uint8_t* bytes, uint32_t size, int32_t encoding) {
    Cell* c = stack_push_cell();
    GcNoEvacuation guard;  // the loader widens in place under its node
    Cell value = string_from_encoded(bytes, size, encoding);
    return copy_cell(&value, c);
}

Cell* string_load_append(const Cell* block, const uint8_t* bytes, uint32_t size, int32_t encoding) {
    Temp value;
    {
        GcNoEvacuation guard;  // the loader widens in place under its node
        *value.get() = string_from_encoded(bytes, size, encoding);
    }
    return block_append_value(block, value.get());
}

Cell* string_load_root(const uint8_t* bytes, uint32_t size, int32_t encoding) {
    block_root_init();
    return string_load_append(&g_root_block, bytes, size, encoding);
}

// ---- number text -----------------------------------------------------------------------------

double string_parse_float(const uint8_t* start, const uint8_t* end) { return float_strtod(start, end, 0, nullptr); }

const char* string_hex_byte(uint8_t byte) {
    static char text[3];
    text[0] = "0123456789ABCDEF"[byte >> 4];
    text[1] = "0123456789ABCDEF"[byte & 15];
    text[2] = 0;
    return text;
}

const char* string_hex_dword(uint32_t value, bool trim) {
    static char text[9];
    for (int i = 0; i < 8; i++) text[i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 15];
    text[8] = 0;
    if (!trim) return text;  // eight digits: leading '0's, or 'F's for a negative value
    if (value == 0) return text + 6;  // "00"
    int first = 0;
    while (text[first] == '0') first++;
    return text + first;
}

// ---- make and to ---------------------------------------------------------------------------------

namespace {

[[noreturn]] void raise_bad_to_arg(int32_t type, const Cell* spec) {
    Cell dt;
    datatype_set(&dt, type);
    error_raise(ErrCat::Script, "bad-to-arg", &dt, spec);
}

// A new string of `type` holding the form (or mold) of `value`, in `out`.
void text_of_value(const Cell* value, Cell* out, bool mold, int32_t type) {
    Temp buffer;
    string_make(buffer.get(), 16, 1, TYPE_STRING);
    Temp v;
    *v.get() = *value;
    if (mold) actions_mold_call(v.get(), buffer.get(), false, false, false, nullptr, kNoPartLimit, 0);
    else actions_form_call(v.get(), buffer.get(), nullptr, kNoPartLimit);
    cell_set_type(buffer.get(), uint32_t(type));
    *out = *buffer.get();
}

// The UTF-8 bytes of a binary! from its head, decoded into a new string.
void string_from_binary(const Cell* binary, Cell* out) {
    Run r = run_of(binary);
    std::vector<uint8_t> bytes(r.p, r.p + r.len);  // the loader may move the binary's buffer
    string_from_utf8_checked(bytes.data(), bytes.size(), out);
}

}  // namespace

void string_from_utf8_checked(const uint8_t* bytes, size_t n, Cell* out, bool skip_mark) {
    if (n > 0x7FFFFFFF) error_raise(ErrCat::Internal, "no-memory");
    uint32_t left = 0;
    Off node;
    {
        GcNoEvacuation guard;  // the loader widens in place under its node
        node = skip_mark ? unicode_load_utf8(bytes, uint32_t(n), 0, &left, false)
                         : unicode_load_utf8_unmarked(bytes, uint32_t(n), &left);
    }
    cell_set(out, TYPE_STRING, 0, node, 0);
    if (left) {
        Temp rest;
        string_make(rest.get(), left, 1, TYPE_BINARY);
        string_append_bytes_n(rest.get(), bytes + n - left, left);
        error_raise(ErrCat::Access, "invalid-utf8", rest.get());
    }
}

Cell* string_make_action(Cell* proto, Cell* spec, int32_t type) {
    if (spec->is(TYPE_INTEGER) || spec->is(TYPE_FLOAT)) {
        int32_t n = 0;
        bool fits = spec->is(TYPE_INTEGER) ? (n = static_cast<int32_t>(spec->data2), true)
                                           : float_to_int32(cell_get_float(spec), n);
        if (!fits || n < 0) error_raise(ErrCat::Script, "out-of-range", spec);
        Cell out;
        string_make(&out, uint32_t(n), 1, uint32_t(type));
        return copy_cell(&out, proto);
    }
    if (type == TYPE_BINARY) {
        if (spec->is(TYPE_MONEY)) {
            Cell dt;
            datatype_set(&dt, type);
            error_raise(ErrCat::Script, "bad-make-arg", &dt, spec);
        }
        return action_fn<ACT_TO>(TYPE_BINARY)(proto, spec, type);
    }
    return string_to(proto, spec, type);
}

Cell* string_to(Cell* proto, Cell* spec, int32_t type) {
    Pin pin(spec);
    uint32_t from = spec->type();
    Temp out;
    if (from == TYPE_NONE) raise_bad_to_arg(TYPE_STRING, spec);
    if (type_block_family(from) && from != TYPE_PATH && from != TYPE_LIT_PATH && from != TYPE_SET_PATH &&
        from != TYPE_GET_PATH) {
        string_make(out.get(), 16, 1, TYPE_STRING);
        string_append(out.get(), spec, -1, false, 1, true);
    } else if (type_string_family(from)) {
        StringSource s = string_source_of(spec);
        string_make(out.get(), s.count, 1, TYPE_STRING);
        string_splice(out.get(), 0, 0, s, 1);
    } else if (from == TYPE_REFINEMENT) {
        text_of_value(spec, out.get(), type != TYPE_STRING, TYPE_STRING);
    } else if (from == TYPE_BINARY) {
        string_from_binary(spec, out.get());
    } else {
        text_of_value(spec, out.get(), false, TYPE_STRING);
    }
    out.get()->data1 = 0;
    out.get()->data3 = 0;
    cell_set_type(out.get(), uint32_t(type));
    out.get()->header &= ~CELL_NEW_LINE;
    return copy_cell(out.get(), proto);
}

// ---- path access and take -------------------------------------------------------------------

namespace {
Cell g_path_result = {TYPE_NONE, 0, 0, 0};
}

Cell* string_eval_path(Cell* parent, Cell* element, Cell* value, const EvalPathArgs& args) {
    Pin pin_parent(parent), pin_element(element);
    if (element->is(TYPE_INTEGER)) {
        int32_t n = static_cast<int32_t>(element->data2);
        if (value) return series_poke(parent, n, value, element);
        g_path_result = *parent;
        return series_pick(&g_path_result, n, element);
    }
    Cell none{TYPE_NONE, 0, 0, 0};
    if (element->is(TYPE_WORD)) error_raise(ErrCat::Script, "invalid-path", args.path ? args.path : &none, element);
    if (!value) {
        g_path_result = *parent;
        FindArgs a;
        a.case_ = args.case_;
        return string_select(&g_path_result, element, a);
    }
    Temp found;
    *found.get() = *parent;
    FindArgs a;
    a.case_ = args.case_;
    string_find(found.get(), element, a);
    if (found.get()->is(TYPE_NONE)) error_raise(ErrCat::Script, "bad-path-set", args.path ? args.path : &none, element);
    series_poke(found.get(), 2, value, nullptr);
    return value;
}

Cell* string_take(Cell* series, const Cell* part, bool deep, bool last) {
    return series_take(series, part, deep, last);
}

// ---- registration ----------------------------------------------------------------------------

uint32_t string_fold_char(uint32_t cp) {
    if (cp < 0x80) return cp - 'a' < 26u ? cp - 32 : cp;
    return case_change_char(cp, CASE_UPPER);
}

void string_init() {
    case_init();
    for (uint32_t c = 0; c < 256; c++) g_fold_latin1[c] = string_fold_char(c);
    g_rotate_scratch.assign(g_string_rotate_scratch_size, 0);
    TypeRow(TYPE_STRING)
        .set<ACT_MAKE>(string_make_action)
        .set<ACT_TO>(string_to)
        .set<ACT_FORM>(string_form)
        .set<ACT_MOLD>(string_mold)
        .set<ACT_EVAL_PATH>(string_eval_path)
        .set<ACT_COMPARE>(string_compare)
        .set<ACT_APPEND>(string_append)
        .set<ACT_CHANGE>(string_change)
        .set<ACT_FIND>(string_find)
        .set<ACT_INSERT>(string_insert)
        .set<ACT_SELECT>(string_select)
        .set<ACT_SORT>(string_sort)
        .set<ACT_SWAP>(string_swap)
        .set<ACT_TAKE>(string_take)
        .set<ACT_TRIM>(string_trim)
        .inherit({ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q,
                  ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP, ACT_TAIL,
                  ACT_TAIL_Q, ACT_MODIFY})
        .commit();
}

}  // namespace kel
