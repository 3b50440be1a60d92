// Test support for the series and block tests: the core runtime with the
// number types, a string! stand-in while string! has no registration, a small
// reader that turns "[a 1 [b] (c) x/y \"s\"]" into cells, and helpers that
// call actions the way the dispatcher does.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
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
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "tests/unit/runtime_fixture.h"

namespace kel::test {

// ---- a string! stand-in ---------------------------------------------------------

// string! has no registration of its own yet; block mold, form, sort and
// word order need its form, mold and compare. The fixture registers these
// for the length of a test and restores whatever row string! had.
inline int32_t append_text(Cell* buffer, const std::string& s, int32_t limit) {
    string_append_utf8(buffer, s.data(), s.size());
    return limit - static_cast<int32_t>(s.size());
}
inline std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
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
    int c = x.compare(y);
    return (c > 0) - (c < 0);
}

class StringStandIn {
public:
    StringStandIn() {
        std::memcpy(row_, g_type_action_table[TYPE_STRING], sizeof row_);
        name_ = g_type_names[TYPE_STRING];
        if (action_entry(TYPE_STRING, ACT_COMPARE)) return;  // the real string! is there
        TypeRow(TYPE_STRING)
            .set<ACT_FORM>(string_form)
            .set<ACT_MOLD>(string_mold)
            .set<ACT_COMPARE>(string_compare)
            .inherit({ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_HEAD, ACT_HEAD_Q,
                      ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE,
                      ACT_SKIP, ACT_TAIL, ACT_TAIL_Q, ACT_MODIFY})
            .commit();
    }
    ~StringStandIn() {
        std::memcpy(g_type_action_table[TYPE_STRING], row_, sizeof row_);
        g_type_names[TYPE_STRING] = name_;
    }

private:
    AnyAction row_[kActionCount];
    TypeNameRecord name_;
};

// ---- values ----------------------------------------------------------------------------

inline Cell I(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }
inline Cell W(const char* name, uint32_t type = TYPE_WORD) {
    Cell w;
    word_from_cstring(&w, name);
    cell_set_type(&w, type);
    return w;
}
inline Cell S(const char* text) {
    Cell s;
    string_make(&s, 16);
    string_append_utf8(&s, text, std::strlen(text));
    return s;
}
inline Cell none() { return Cell{TYPE_NONE, 0, 0, 0}; }
inline Cell DT(uint32_t t) {
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
        runtime_core_init();
        integer_init();
        float_init();
        char_init();
        series_init();
        block_init();
        paren_init();
        path_init();
        lit_path_init();
        set_path_init();
        get_path_init();
        stack_clear_all();
        cycles_reset();
        string_stand_in_ = std::make_unique<StringStandIn>();
    }
    void TearDown() override { string_stand_in_.reset(); }
    std::unique_ptr<StringStandIn> string_stand_in_;
};

}  // namespace kel::test
