// Test support: values as text for the lexer's tests, written here because
// the molders of most types are not built yet. Blocks show a line break where
// a cell carries the new-line flag; values of types made by the lexer tests'
// own constructors show the text those recorded.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/cell.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/symbols.h"

namespace kel::test {

// Texts the test constructors made, by the index they put in data1.
inline std::vector<std::string>& made() {
    static std::vector<std::string> v;
    return v;
}

inline std::string render(const Cell* v);

inline std::string render_cells(const Cell* block, const char* sep) {
    SeriesBuf* b = node_buffer(block->data2);
    std::string out;
    const Cell* first = arena_at<Cell>(b->head) + block->data1;
    const Cell* last = arena_at<Cell>(b->tail);
    for (const Cell* c = first; c < last; c++) {
        if (c != first) out += (c->header & CELL_NEW_LINE) ? "\n" : sep;
        out += render(c);
    }
    return out;
}

inline std::string render(const Cell* v) {
    auto name = [&] { return std::string(symbol_name(v->data2)); };
    char buf[64];
    switch (v->type()) {
    case TYPE_INTEGER: return std::to_string(static_cast<int32_t>(v->data2));
    case TYPE_FLOAT: {
        size_t n = float_mold_to(buf, cell_get_float(v));
        return std::string(buf, n);
    }
    case TYPE_CHAR: std::snprintf(buf, sizeof buf, "#\"%X\"", v->data2); return buf;
    case TYPE_STRING: return "\"" + string_to_utf8(v) + "\"";
    case TYPE_FILE: return "%" + string_to_utf8(v);
    case TYPE_URL: return "url:" + string_to_utf8(v);
    case TYPE_TAG: return "<" + string_to_utf8(v) + ">";
    case TYPE_EMAIL: return "email:" + string_to_utf8(v);
    case TYPE_REF: return "@" + string_to_utf8(v);
    case TYPE_WORD: return name();
    case TYPE_SET_WORD: return name() + ":";
    case TYPE_GET_WORD: return ":" + name();
    case TYPE_LIT_WORD: return "'" + name();
    case TYPE_REFINEMENT: return "/" + name();
    case TYPE_ISSUE: return "#" + name();
    case TYPE_BLOCK: return "[" + render_cells(v, " ") + "]";
    case TYPE_PAREN: return "(" + render_cells(v, " ") + ")";
    case TYPE_PATH: return render_cells(v, "/");
    case TYPE_LIT_PATH: return "'" + render_cells(v, "/");
    case TYPE_GET_PATH: return ":" + render_cells(v, "/");
    case TYPE_SET_PATH: return render_cells(v, "/") + ":";
    case TYPE_LOGIC: return v->data1 ? "#(true)" : "#(false)";
    case TYPE_NONE: return "#(none)";
    case TYPE_UNSET: return "#(unset)";
    case TYPE_DATATYPE: return datatype_name(static_cast<int32_t>(v->data1));
    case TYPE_PAIR:
        if (v->data1 == 0) return std::to_string(static_cast<int32_t>(v->data2)) + "x" + std::to_string(static_cast<int32_t>(v->data3));
        [[fallthrough]];
    default:
        if (v->data1 && v->data1 <= made().size()) return made()[v->data1 - 1];
        return "?type" + std::to_string(v->type());
    }
}

inline std::string fmt(double d) {
    char buf[48];
    return std::string(buf, float_mold_to(buf, d));
}

}  // namespace kel::test
