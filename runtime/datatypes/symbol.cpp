// symbol!: interned names as values. Symbols order by their names as
// strings do.
#include "runtime/datatypes/symbol.h"

#include <cstring>
#include <string>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/gc.h"

namespace kel {

uint32_t symbol_make(const char* name) { return symbol_make_len(name, static_cast<uint32_t>(std::strlen(name))); }

uint32_t symbol_make_len(const char* name, uint32_t length) {
    return symbol_intern(g_symbol_table, reinterpret_cast<const uint8_t*>(name), length, false);
}

uint32_t symbol_make_nocase(const char* name) {
    return symbol_intern(g_symbol_table, reinterpret_cast<const uint8_t*>(name),
                         static_cast<uint32_t>(std::strlen(name)), true);
}

uint32_t symbol_from_string(const Cell* str, int32_t length) {
    std::string text = string_to_utf8(str);
    if (length >= 0) {
        // Cut after `length` code points: count the bytes that start one.
        size_t i = 0;
        for (int32_t chars = 0; i < text.size(); i++) {
            if ((static_cast<uint8_t>(text[i]) & 0xC0) != 0x80 && chars++ == length) break;
        }
        text.resize(i);
    }
    return symbol_make_len(text.data(), static_cast<uint32_t>(text.size()));
}

void symbol_ensure_string(uint32_t id) {
    if (symbol_cell(id)->data2) return;
    std::string name(symbol_name(id));  // the allocation below may move the name
    Cell s;
    string_make(&s, static_cast<uint32_t>(name.size()), 1);
    GcRootCell keep(&s);
    string_append_utf8_own(&s, name);  // a name made from a string keeps its lone surrogates
    symbol_cell(id)->data2 = s.data2;
}

Cell* symbol_get_cell(uint32_t id) {
    symbol_ensure_string(id);
    return symbol_cell(id);
}

const char* symbol_get_utf8(uint32_t id) {
    // The name buffer always keeps a NUL after its tail.
    return reinterpret_cast<const char*>(node_buffer(symbol_cell(id)->data3)->head_ptr());
}

bool symbol_is_any_type_q(const Cell* word) {
    return g_sym.any_type_t && symbol_resolve(word->data2) == symbol_resolve(g_sym.any_type_t);
}

namespace {

bool case_sensitive_op(int32_t op) { return op == COMP_STRICT_EQUAL || op == COMP_CASE_SORT || op == COMP_SAME; }

// Next code point of well-formed UTF-8 (names are made from valid text).
uint32_t next_cp(const uint8_t*& p, const uint8_t* end) {
    uint32_t c = *p++;
    int more = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    if (more) c &= 0x3F >> more;
    while (more-- && p < end) c = c << 6 | (*p++ & 0x3F);
    return c;
}

// Code-point order of two UTF-8 names; ASCII letters folded unless the
// operator is case-sensitive. Stands in while string! has no comparison.
int32_t utf8_names_compare(std::string_view a, std::string_view b, int32_t op) {
    bool fold = !case_sensitive_op(op);
    auto* p = reinterpret_cast<const uint8_t*>(a.data());
    auto* q = reinterpret_cast<const uint8_t*>(b.data());
    const uint8_t *pe = p + a.size(), *qe = q + b.size();
    while (p < pe && q < qe) {
        uint32_t x = next_cp(p, pe), y = next_cp(q, qe);
        if (fold) {
            if (x >= 'A' && x <= 'Z') x += 32;
            if (y >= 'A' && y <= 'Z') y += 32;
        }
        if (x != y) return x < y ? -1 : 1;
    }
    return p < pe ? 1 : q < qe ? -1 : 0;
}

std::string_view name_of_node(Off node) {
    const SeriesBuf* buf = node_buffer(node);
    return {reinterpret_cast<const char*>(buf->head_ptr()), buf->used_bytes()};
}

// Names compared by string!'s own comparison when it is registered.
int32_t names_compare(Off name_a, Off name_b, int32_t op) {
    if (!action_entry(TYPE_STRING, ACT_COMPARE)) return utf8_names_compare(name_of_node(name_a), name_of_node(name_b), op);
    std::string a(name_of_node(name_a)), b(name_of_node(name_b));
    Cell sa{TYPE_NONE, 0, 0, 0}, sb{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_a(&sa), keep_b(&sb);
    string_make(&sa, static_cast<uint32_t>(a.size()), 1);
    string_append_utf8_own(&sa, a);
    string_make(&sb, static_cast<uint32_t>(b.size()), 1);
    string_append_utf8_own(&sb, b);
    return action_fn<ACT_COMPARE>(TYPE_STRING)(&sa, &sb, op);
}

}  // namespace

int32_t symbol_names_compare(uint32_t a, uint32_t b, int32_t op) {
    return names_compare(symbol_cell(a)->data3, symbol_cell(b)->data3, op);
}

int32_t symbol_compare(const Cell* value1, const Cell* value2, int32_t op) {
    if (!value2->is(TYPE_SYMBOL)) return kCompareIncomparable;
    return names_compare(value1->data3, value2->data3, op);
}

namespace {

// A symbol keeps its name bytes and its name string.
void mark_symbol_cell(Cell* c) {
    if (c->data2) gc_mark_node(&c->data2);
    if (c->data3) gc_mark_node(&c->data3);
}

}  // namespace

void symbol_init() {
    gc_set_type_marker(TYPE_SYMBOL, mark_symbol_cell);
    TypeRow(TYPE_SYMBOL).set<ACT_COMPARE>(symbol_compare).commit();
}

}  // namespace kel
