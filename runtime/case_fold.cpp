// Case folding: the BMP maps built from the generated pair tables, the pair
// search above the BMP, and in-place case changes of strings.
#include "runtime/case_fold.h"

#include <cstring>

#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/symbols.h"
#include "runtime/unicode.h"
#include "runtime/unicode_tables.h"

namespace kel {

namespace {

// Entry c: the mapped code point, or 0 when c has no mapping.
uint32_t g_to_upper[0x10000];
uint32_t g_to_lower[0x10000];
bool g_case_ready = false;

void fill_map(uint32_t* map, const uint32_t* pairs, uint32_t words) {
    for (uint32_t i = 0; i < words; i += 2) map[pairs[i]] = pairs[i + 1];
}

// Binary search in a sorted {key, mapped} pair table.
uint32_t pair_lookup(uint32_t c, const uint32_t* pairs, uint32_t words) {
    uint32_t lo = 0, hi = words / 2;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        uint32_t key = pairs[2 * mid];
        if (key == c) return pairs[2 * mid + 1];
        if (key < c) lo = mid + 1;
        else hi = mid;
    }
    return c;
}

uint32_t unit_read(const uint8_t* p, uint32_t unit) {
    if (unit == 1) return *p;
    if (unit == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void unit_write(uint8_t* p, uint32_t unit, uint32_t cp) {
    if (unit == 1) {
        *p = static_cast<uint8_t>(cp);
    } else if (unit == 2) {
        uint16_t v = static_cast<uint16_t>(cp);
        std::memcpy(p, &v, 2);
    } else {
        std::memcpy(p, &cp, 4);
    }
}

// The number of characters /part selects from [head], at most [left].
uint32_t part_count(const Cell* value, const Cell* part, uint32_t head, uint32_t left) {
    if (part->is(TYPE_INTEGER)) {
        int32_t n = static_cast<int32_t>(part->data2);
        if (n < 0) return 0;
        return static_cast<uint32_t>(n) < left ? static_cast<uint32_t>(n) : left;
    }
    if (part->type() == value->type() && part->data2 == value->data2) {
        if (part->data1 <= head) return 0;
        uint32_t n = part->data1 - head;
        return n < left ? n : left;
    }
    error_raise(ErrCat::Script, "invalid-refine-arg", &g_refinements.part, part);
}

}  // namespace

void case_init() {
    // Case-insensitive hashing folds above ASCII as comparison does, so keys
    // that compare equal share their bucket.
    g_hash_seams.upper_case = [](uint32_t c) { return case_change_char(c, CASE_UPPER); };
    if (g_case_ready) return;
    fill_map(g_to_upper, case_upper_pairs, case_upper_pairs_words);
    fill_map(g_to_lower, case_lower_pairs, case_lower_pairs_words);
    g_case_ready = true;
}

uint32_t case_change_char(uint32_t c, int mode) {
    if (c < 0x10000) {
        uint32_t m = (mode ? g_to_upper : g_to_lower)[c];
        return m ? m : c;
    }
    if (mode) return pair_lookup(c, case_upper_pairs_above_bmp, case_upper_pairs_above_bmp_words);
    return pair_lookup(c, case_lower_pairs_above_bmp, case_lower_pairs_above_bmp_words);
}

void case_change_string(Cell* value, const Cell* part, int mode) {
    if (value->is(TYPE_CHAR)) {
        value->data2 = case_change_char(value->data2, mode);
        return;
    }
    Off node = value->data2;
    SeriesBuf* buf = node_buffer(node);
    uint32_t unit = buf->unit();
    if (unit != 1 && unit != 2 && unit != 4) fatal_runtime_error(101);
    uint32_t total = (buf->tail - buf->head) / unit;
    if (value->data1 > total) value->data1 = total;
    uint32_t head = value->data1;
    uint32_t count = part ? part_count(value, part, head, total - head) : total - head;

    uint8_t* base = buf->head_ptr();
    for (uint32_t i = head; i < head + count; i++) {
        uint32_t c = unit_read(base + i * unit, unit);
        uint32_t m = case_change_char(c, mode);
        if (m == c) continue;
        if ((unit == 1 && m > 0xFF) || (unit == 2 && m > 0xFFFF)) {
            SeriesBuf* b = node_buffer(node);
            if (unit == 1) b = m > 0xFFFF ? string_widen_1_to_4(b) : string_widen_1_to_2(b);
            else b = string_widen_2_to_4(b);
            unit = b->unit();
            base = b->head_ptr();
        }
        unit_write(base + i * unit, unit, m);
    }
}

}  // namespace kel
