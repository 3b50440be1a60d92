// Test support for PARSE: programs loaded from Kel text by the lexer and
// evaluated on the interpreter's big stack, plus bitsets made by hand (the
// bitset! datatype has no maker yet).
#pragma once
#include <cstring>
#include <string>

#include "runtime/lexer.h"
#include "runtime/parse.h"
#include "tests/unit/eval_fixture.h"

namespace kel::test {

inline void parse_test_init() {
    evaluator_test_init();
    lexer_init();
}

// Evaluates Kel source text; errors and throws pass on as KelThrow.
inline Cell kel_eval(const std::string& text) {
    Cell out{TYPE_NONE, 0, 0, 0};
    interp_run_on_big_stack([&] {
        Cell block{TYPE_NONE, 0, 0, 0};
        GcRootCell root(&block);
        lexer_scan_utf8(&block, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
                        false, true, true, false, nullptr, nullptr, nullptr, nullptr);
        interp_do_block(&block, &out);
    });
    return out;
}

inline std::string kel_mold(const std::string& text) {
    Cell v = kel_eval(text);
    return mold(&v);
}

// The error id raised by the text, or "" when none.
inline std::string kel_error(const std::string& text) {
    return raised([&] { kel_eval(text); });
}

// Sets the global word `name` to a bitset holding the given characters.
inline void define_charset(const char* name, const std::string& chars, bool complement = false) {
    uint32_t top = 0;
    for (unsigned char c : chars) top = c > top ? c : top;
    uint32_t bytes = top / 8 + 1;
    Cell w{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&w, name);  // may allocate: before the bitset exists
    Off node = alloc_bytes(bytes);
    SeriesBuf* b = node_buffer(node);
    std::memset(b->head_ptr(), 0, bytes);
    b->tail = b->head + bytes;
    for (unsigned char c : chars) b->head_ptr()[c >> 3] |= static_cast<uint8_t>(0x80u >> (c & 7));
    // A complemented set stores the complement of its bits; code points past
    // them read as the complement flag.
    if (complement) {
        for (uint32_t i = 0; i < bytes; i++) b->head_ptr()[i] = static_cast<uint8_t>(~b->head_ptr()[i]);
        b->flags |= SERIES_COMPLEMENT;
    }
    Cell bits{TYPE_BITSET, 0, node, 0};
    word_set(&w, &bits);
}

}  // namespace kel::test
