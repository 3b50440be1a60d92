// Brings up the evaluator for tests and benchmarks: the core runtime, the
// series, number and callable types, the action and natives tables, the
// native and action words, and the operators the library would define.
// Blocks are written as text for the spec-text reader (words, numbers,
// strings, blocks, parens, paths). Idempotent.
#pragma once
#include <string>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/paren.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/evaluator.h"
#include "runtime/exits.h"
#include "runtime/interpreter.h"
#include "runtime/natives.h"
#include "runtime/spec_text.h"
#include "tests/unit/runtime_fixture.h"

namespace kel::test {

inline void define_op(const char* name, const char* source) {
    Cell src{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&src, source);
    Cell value = *word_get_any(&src);
    op_make(nullptr, &value, TYPE_OP);
    Cell w{TYPE_WORD, 0, 0, 0};
    word_from_cstring(&w, name);
    word_set(&w, &value);
}

inline void evaluator_test_init() {
    static bool done = false;
    if (done) return;
    done = true;
    runtime_core_init();
    series_init();
    block_init();
    paren_init();
    path_init();
    lit_path_init();
    set_path_init();
    get_path_init();
    integer_init();
    char_init();
    float_init();
    evaluator_register_types();
    typenames_init(word_global_symbol);
    evaluator_init();
    natives_define_words();
    static const char* const kOps[][2] = {
        {"+", "add"}, {"-", "subtract"}, {"*", "multiply"}, {"/", "divide"}, {"=", "equal?"},
        {"<>", "not-equal?"}, {"<", "lesser?"}, {">", "greater?"}, {"<=", "lesser-or-equal?"},
        {">=", "greater-or-equal?"}, {"==", "strict-equal?"},
    };
    for (auto& op : kOps) define_op(op[0], op[1]);
    // The datatype words, and true and false as the library defines them.
    for (uint32_t t = 1; t <= static_cast<uint32_t>(kTypeCount); t++) {
        if (t == TYPE_SERIES) continue;  // series! is the library's typeset
        Cell dt = datatype_cell(t), w{TYPE_WORD, 0, 0, 0};
        word_set(word_from_cstring(&w, datatype_name(static_cast<int32_t>(t))), &dt);
    }
    Cell t{TYPE_LOGIC, 1, 0, 0}, f{TYPE_LOGIC, 0, 0, 0}, n{TYPE_NONE, 0, 0, 0};
    Cell w{TYPE_WORD, 0, 0, 0};
    word_set(word_from_cstring(&w, "true"), &t);
    word_set(word_from_cstring(&w, "false"), &f);
    word_set(word_from_cstring(&w, "none"), &n);
}

// Evaluates `text` on the interpreter's big stack; the value is returned,
// an error passed on as KelThrow.
inline Cell eval_text(const char* text) {
    Cell out{TYPE_NONE, 0, 0, 0};
    interp_run_on_big_stack([&] {
        Cell block;
        block_from_text(text, &block);
        interp_do_block(&block, &out);
    });
    return out;
}

inline int32_t eval_int(const char* text) {
    Cell v = eval_text(text);
    return v.is(TYPE_INTEGER) ? static_cast<int32_t>(v.data2) : INT32_MIN;
}

inline std::string eval_mold(const char* text) {
    Cell v = eval_text(text);
    return mold(&v);
}

inline std::string eval_error(const char* text) {
    return raised([&] { eval_text(text); });
}

}  // namespace kel::test
