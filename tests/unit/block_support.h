// Test support for the series and block tests: minimal stand-ins for the
// scalar, word and string types (registered by the fixture only; string!
// inherits from series! as the real one does), a small
// reader that turns "[a 1 [b] (c) x/y \"s\"]" into cells, and helpers that
// call actions the way the dispatcher does.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/cycles.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/paren.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kel::test {

// ---- symbols ------------------------------------------------------------------

inline std::vector<std::string>& symbol_names() {
    static std::vector<std::string> names{""};
    return names;
}
inline std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
inline uint32_t intern(const char* name) {
    auto& names = symbol_names();
    for (uint32_t i = 1; i < names.size(); i++)
        if (names[i] == name) return i;
    names.emplace_back(name);
    return uint32_t(names.size() - 1);
}
// The first symbol spelled the same ignoring case.
inline uint32_t canonical(uint32_t id) {
    auto& names = symbol_names();
    for (uint32_t i = 1; i < id; i++)
        if (lower(names[i]) == lower(names[id])) return i;
    return id;
}

// ---- stand-in types -----------------------------------------------------------------

inline int32_t append_text(Cell* buffer, const std::string& s, int32_t limit) {
    string_append_utf8(buffer, s.data(), s.size());
    return limit - static_cast<int32_t>(s.size());
}
inline int sign(int64_t v) { return (v > 0) - (v < 0); }
inline bool is_equality(int32_t op) { return op <= COMP_STRICT_EQUAL || op >= COMP_SAME; }

inline int32_t integer_form(const Cell* v, Cell* b, const Cell*, int32_t limit) {
    return append_text(b, std::to_string(static_cast<int32_t>(v->data2)), limit);
}
inline int32_t integer_mold(const Cell* v, Cell* b, bool, bool, bool, const Cell* p, int32_t limit, int32_t) {
    return integer_form(v, b, p, limit);
}
inline int32_t integer_compare(const Cell* a, const Cell* b, int32_t) {
    if (!b->is(TYPE_INTEGER)) return kCompareIncomparable;
    return sign(int64_t(int32_t(a->data2)) - int32_t(b->data2));
}

inline std::string word_name(const Cell* w) { return symbol_names()[w->data2]; }
inline int32_t word_form(const Cell* v, Cell* b, const Cell*, int32_t limit) { return append_text(b, word_name(v), limit); }
inline int32_t word_mold(const Cell* v, Cell* b, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    static const char* pre[] = {"", "", "'", ":", "/", "#"};
    uint32_t k = v->type() - TYPE_WORD;
    std::string text = pre[k];
    text += word_name(v);
    if (v->is(TYPE_SET_WORD)) text += ':';
    return append_text(b, text, limit);
}
inline int32_t word_compare(const Cell* a, const Cell* b, int32_t op) {
    if (b->type() < TYPE_WORD || b->type() > TYPE_ISSUE) return kCompareIncomparable;
    bool exact = op == COMP_STRICT_EQUAL || op == COMP_CASE_SORT || op == COMP_SAME;
    if (is_equality(op) && exact && a->type() != b->type()) return 1;
    std::string x = word_name(a), y = word_name(b);
    if (!exact) x = lower(x), y = lower(y);
    return sign(x.compare(y));
}

inline int32_t string_form(const Cell* v, Cell* b, const Cell*, int32_t limit) {
    return append_text(b, string_to_utf8(v), limit);
}
inline int32_t string_mold(const Cell* v, Cell* b, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    std::string text(1, '"');
    text += string_to_utf8(v);
    text += '"';
    return append_text(b, text, limit);
}
inline int32_t string_compare(const Cell* a, const Cell* b, int32_t op) {
    if (!b->is(TYPE_STRING)) return kCompareIncomparable;
    std::string x = string_to_utf8(a), y = string_to_utf8(b);
    if (op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT) x = lower(x), y = lower(y);
    return sign(x.compare(y));
}

inline int32_t none_form(const Cell*, Cell* b, const Cell*, int32_t limit) { return append_text(b, "none", limit); }
inline int32_t none_mold(const Cell* v, Cell* b, bool, bool, bool, const Cell* p, int32_t limit, int32_t) {
    return none_form(v, b, p, limit);
}
inline int32_t none_compare(const Cell*, const Cell* b, int32_t) { return b->is(TYPE_NONE) ? 0 : kCompareIncomparable; }

inline int32_t char_mold(const Cell* v, Cell* b, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    Cell s;
    string_make(&s, 4);
    string_append_char(&s, v->data2);
    std::string text = "#\"";
    text += string_to_utf8(&s);
    text += '"';
    return append_text(b, text, limit);
}
inline int32_t char_compare(const Cell* a, const Cell* b, int32_t) {
    if (!b->is(TYPE_CHAR)) return kCompareIncomparable;
    return sign(int64_t(a->data2) - b->data2);
}

inline void register_stand_ins() {
    TypeRow(TYPE_INTEGER).set<ACT_FORM>(integer_form).set<ACT_MOLD>(integer_mold).set<ACT_COMPARE>(integer_compare).commit();
    for (TypeId t : {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_REFINEMENT, TYPE_ISSUE})
        TypeRow(t).set<ACT_FORM>(word_form).set<ACT_MOLD>(word_mold).set<ACT_COMPARE>(word_compare).commit();
    TypeRow(TYPE_STRING)
        .set<ACT_FORM>(string_form)
        .set<ACT_MOLD>(string_mold)
        .set<ACT_COMPARE>(string_compare)
        .inherit({ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q,
                  ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP, ACT_TAIL,
                  ACT_TAIL_Q, ACT_MODIFY})
        .commit();
    TypeRow(TYPE_NONE).set<ACT_FORM>(none_form).set<ACT_MOLD>(none_mold).set<ACT_COMPARE>(none_compare).commit();
    TypeRow(TYPE_CHAR).set<ACT_MOLD>(char_mold).set<ACT_COMPARE>(char_compare).commit();
}

// ---- values ----------------------------------------------------------------------------

inline Cell I(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }
inline Cell W(const char* name, TypeId type = TYPE_WORD) { return Cell{type, 0, intern(name), 0}; }
inline Cell S(const char* text) {
    Cell s;
    string_make(&s, 16);
    string_append_utf8(&s, text, std::strlen(text));
    return s;
}
inline Cell none() { return Cell{TYPE_NONE, 0, 0, 0}; }
inline Cell DT(TypeId t) {
    Cell c;
    datatype_set(&c, t);
    return c;
}

// Reads "[...]": integers, words (a a: 'a :a /a), strings, nested blocks,
// parens and paths (a/b/1); a line break before a value sets its new-line
// flag. The text is one block's contents or one value in brackets.
class Reader {
public:
    explicit Reader(const std::string& text) : s_(text) {}
    Cell block() {
        Cell b;
        block_make_at(&b, 4);
        while (skip_space(), i_ < s_.size()) append_value(&b);
        return b;
    }

private:
    void append_value(Cell* b) {
        bool line = newline_;
        newline_ = false;
        Cell v = value();
        if (line) v.header |= CELL_NEW_LINE;
        block_append_value(b, &v);
    }
    void skip_space() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) {
            if (s_[i_] == '\n') newline_ = true;
            i_++;
        }
    }
    Cell list(char close, TypeId type) {
        Cell b;
        block_make_at(&b, 4);
        i_++;
        while (skip_space(), i_ < s_.size() && s_[i_] != close) append_value(&b);
        i_++;
        newline_ = false;
        cell_set_type(&b, type);
        return b;
    }
    Cell value() {
        char c = s_[i_];
        if (c == '[') return list(']', TYPE_BLOCK);
        if (c == '(') return list(')', TYPE_PAREN);
        if (c == '"') {
            size_t end = s_.find('"', i_ + 1);
            Cell str = S(s_.substr(i_ + 1, end - i_ - 1).c_str());
            i_ = end + 1;
            return str;
        }
        size_t start = i_;
        while (i_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[i_])) && !std::strchr("[]()", s_[i_])) i_++;
        std::string tok = s_.substr(start, i_ - start);
        if (tok.find('/') != std::string::npos && tok[0] != '/') return path(tok);
        return atom(tok);
    }
    Cell path(const std::string& tok) {
        Cell p;
        block_make_at(&p, 4);
        size_t from = 0;
        while (from <= tok.size()) {
            size_t slash = tok.find('/', from);
            if (slash == std::string::npos) slash = tok.size();
            Cell v = atom(tok.substr(from, slash - from));
            block_append_value(&p, &v);
            from = slash + 1;
        }
        cell_set_type(&p, TYPE_PATH);
        return p;
    }
    static Cell atom(std::string tok) {
        if (std::isdigit(static_cast<unsigned char>(tok[0])) || (tok[0] == '-' && tok.size() > 1))
            return I(std::stoi(tok));
        if (tok == "none") return none();
        if (tok[0] == '\'') return W(tok.substr(1).c_str(), TYPE_LIT_WORD);
        if (tok[0] == ':') return W(tok.substr(1).c_str(), TYPE_GET_WORD);
        if (tok[0] == '/') return W(tok.substr(1).c_str(), TYPE_REFINEMENT);
        if (tok.back() == ':') return W(tok.substr(0, tok.size() - 1).c_str(), TYPE_SET_WORD);
        return W(tok.c_str());
    }
    std::string s_;
    size_t i_ = 0;
    bool newline_ = false;
};

// The contents of a block written as text, e.g. load("a 1 [b]").
inline Cell load(const std::string& text) { return Reader(text).block(); }

// The first value of a text, e.g. V("x:").
inline Cell V(const std::string& text) {
    Cell b = load(text);
    return *block_cell_at(&b, 0);
}

inline std::string mold(const Cell& v, bool only = false, bool flat = false) {
    Cell buf;
    string_make(&buf, 16);
    actions_mold_call(&v, &buf, only, false, flat, nullptr, kNoPartLimit, 0);
    return string_to_utf8(&buf);
}
inline std::string form(const Cell& v) {
    Cell buf;
    string_make(&buf, 16);
    actions_form_call(&v, &buf, nullptr, kNoPartLimit);
    return string_to_utf8(&buf);
}
// The mold of a block from its buffer's first cell (what the variable
// holding the block shows after the action).
inline std::string whole(const Cell& b) {
    Cell h = b;
    series_set_index(&h, 0);
    return mold(h);
}

// Runs a frame action on (a, b) and returns the result slot.
inline Cell frame_call(void (*fn)(), const Cell& a, const Cell* b = nullptr) {
    StackGuard guard;
    stack_mark_native(0);
    stack_push(&a);
    if (b) stack_push(b);
    fn();
    Cell r = *stack_arguments();
    return r;
}

// The id of the error raised by `f`, or "" when none.
template <class F> std::string error_of(F&& f) {
    try {
        f();
    } catch (const KelThrow& t) {
        return t.id;
    }
    return "";
}

struct SeriesFixture : ::testing::Test {
    void SetUp() override {
        if (!memory_ready()) memory_init();
        if (!stack_ready()) stack_init();
        g_stack.args = g_stack.top = g_stack.data_bottom;
        cycles_reset();
        g_symbols.intern = intern;
        g_symbols.canonical = canonical;
        datatype_init();
        series_init();
        register_stand_ins();
        block_init();
        paren_init();
        path_init();
        lit_path_init();
        set_path_init();
        get_path_init();
    }
};

}  // namespace kel::test
