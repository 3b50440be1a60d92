// The spec-text reader.
#include "runtime/spec_text.h"

#include <charconv>
#include <cstring>
#include <string>

#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/memory.h"

namespace kel {

namespace {

bool is_delimiter(char c) { return c == 0 || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '[' || c == ']' || c == '(' || c == ')'; }

// Appends a new cell to the block whose node is `node`; valid until the next
// allocation.
Cell* append(Off node) { return block_buffer_append_slot(node_buffer(node)); }

void make_word(Off node, const char* name, size_t n, TypeId type) {
    uint32_t sym = symbol_make_len(name, static_cast<uint32_t>(n));
    Cell word{TYPE_WORD, 0, 0, 0};
    word_make_global_at(sym, &word);
    cell_set_type(&word, type);
    copy_cell(&word, append(node));
}

[[noreturn]] void bad_text(const char* at) {
    Cell str;
    string_make(&str, 16);
    string_append_ascii(&str, at, std::strlen(at) < 20 ? std::strlen(at) : 20);
    error_raise(ErrCat::Syntax, "invalid-chars", &str);
}

// Reads one token at `p` into the block `node`; returns the position after it.
const char* read_token(const char* p, Off node);

const char* read_series(const char* p, Off node, char close, TypeId type) {
    Cell series;
    Off inner = alloc_cells(4);
    cell_set(&series, type, 0, inner, 0);
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
        if (*p == 0) bad_text(p);
        if (*p == close) break;
        p = read_token(p, inner);
    }
    copy_cell(&series, append(node));
    return p + 1;
}

const char* read_word_like(const char* p, Off node) {
    const char* start = p;
    TypeId type = TYPE_WORD;
    if (*p == '\'') type = TYPE_LIT_WORD, start = ++p;
    else if (*p == ':') type = TYPE_GET_WORD, start = ++p;
    else if (*p == '/') type = TYPE_REFINEMENT, start = ++p;
    else if (*p == '#') type = TYPE_ISSUE, start = ++p;
    while (!is_delimiter(*p) && *p != '/' && !(*p == ':' && is_delimiter(p[1]))) p++;
    size_t n = static_cast<size_t>(p - start);
    if (n == 0 && type != TYPE_REFINEMENT) bad_text(start);
    if (*p == ':' && type == TYPE_WORD) {
        make_word(node, start, n, TYPE_SET_WORD);
        return p + 1;
    }
    if (*p == '/' && type == TYPE_WORD) {
        // A path of words: a/b/c.
        Cell path;
        Off inner = alloc_cells(4);
        cell_set(&path, TYPE_PATH, 0, inner, 0);
        make_word(inner, start, n, TYPE_WORD);
        while (*p == '/') {
            const char* s = ++p;
            while (!is_delimiter(*p) && *p != '/') p++;
            if (p == s) bad_text(s);
            if (*s >= '0' && *s <= '9') {
                int32_t v = 0;
                std::from_chars(s, p, v);
                cell_set(append(inner), TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0);
            } else {
                make_word(inner, s, static_cast<size_t>(p - s), TYPE_WORD);
            }
        }
        copy_cell(&path, append(node));
        return p;
    }
    make_word(node, start, n, type);
    return p;
}

const char* read_number(const char* p, Off node) {
    const char* start = p;
    if (*p == '-' || *p == '+') p++;
    bool decimal = false;
    while (!is_delimiter(*p)) {
        if (*p == '.' || *p == 'e' || *p == 'E') decimal = true;
        else if ((*p < '0' || *p > '9') && *p != '-' && *p != '+') bad_text(start);
        p++;
    }
    const char* first = *start == '+' ? start + 1 : start;
    if (decimal) {
        double d = 0;
        auto r = std::from_chars(first, p, d);
        if (r.ptr != p) bad_text(start);
        Cell* c = append(node);
        cell_set(c, TYPE_FLOAT);
        cell_put_float(c, d);
    } else {
        int32_t v = 0;
        auto r = std::from_chars(first, p, v);
        if (r.ptr != p) bad_text(start);
        cell_set(append(node), TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0);
    }
    return p;
}

const char* read_token(const char* p, Off node) {
    char c = *p;
    if (c == '[') return read_series(p + 1, node, ']', TYPE_BLOCK);
    if (c == '(') return read_series(p + 1, node, ')', TYPE_PAREN);
    if (c == '"') {
        const char* s = ++p;
        while (*p && *p != '"') p++;
        if (!*p) bad_text(s - 1);
        Cell str;
        string_make(&str, static_cast<uint32_t>(p - s) + 1);
        string_append_utf8(&str, s, static_cast<size_t>(p - s));
        copy_cell(&str, append(node));
        return p + 1;
    }
    if ((c >= '0' && c <= '9') || ((c == '-' || c == '+') && p[1] >= '0' && p[1] <= '9')) return read_number(p, node);
    if (c == ']' || c == ')') bad_text(p);
    if (c == '/' && is_delimiter(p[1])) {
        make_word(node, p, 1, TYPE_WORD);
        return p + 1;
    }
    return read_word_like(p, node);
}

}  // namespace

Cell* block_from_text(const char* text, Cell* out) {
    Off node = alloc_cells(8);
    Cell block;
    cell_set(&block, TYPE_BLOCK, 0, node, 0);
    const char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
        if (*p == 0) break;
        p = read_token(p, node);
    }
    return copy_cell(&block, out);
}

}  // namespace kel
