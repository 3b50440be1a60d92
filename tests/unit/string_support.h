// Fixture and helpers of the string! tests: the core runtime with the real
// rows of the types strings meet (numbers, chars, blocks), value makers, and
// readers that show a string's text and unit.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/error.h"
#include "runtime/unicode.h"
#include "tests/unit/runtime_fixture.h"

namespace kel::strtest {

struct StringTest : ::testing::Test {
    void SetUp() override {
        test::runtime_core_init();
        test::stack_clear_all();
        // Other test files register stand-in rows; these tests need the real ones.
        integer_init();
        float_init();
        char_init();
        series_init();
        block_init();
        string_init();
    }
};

// A string! holding UTF-8 text, at unit 1 unless a character needs more.
inline Cell S(const char* text, uint32_t type = TYPE_STRING) {
    Cell s;
    string_make(&s, 16, 1, type);
    string_append_utf8(&s, text, std::strlen(text));
    return s;
}
// The same text stored at a given unit (wider than it needs).
inline Cell S_unit(const char* text, uint32_t unit) {
    Cell s;
    string_make(&s, 16, unit);
    string_append_utf8(&s, text, std::strlen(text));
    return s;
}
inline Cell C(uint32_t cp) { return Cell{TYPE_CHAR, 0, cp, 0}; }
inline Cell I(int32_t n) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }
inline Cell at(Cell s, uint32_t index) {
    s.data1 = index;
    return s;
}

inline std::string text(const Cell& s) { return string_to_utf8(&s); }
inline std::string whole(Cell s) {
    s.data1 = 0;
    return string_to_utf8(&s);
}
inline uint32_t unit_of(const Cell& s) { return node_buffer(s.data2)->unit(); }

inline std::string mold(const Cell& v, bool all = false) {
    Cell buf;
    string_make(&buf, 16);
    string_mold(&v, &buf, false, all, false, nullptr, kNoPartLimit, 0);
    return string_to_utf8(&buf);
}

// The id of the error `f` raises ("" when none).
template <class F> std::string error_of(F f) { return test::raised(f); }

}  // namespace kel::strtest
