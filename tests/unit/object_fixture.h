// The evaluator fixture plus object!, error! and the error catalogue.
#pragma once
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/object.h"
#include "runtime/error_catalog.h"
#include "tests/unit/eval_fixture.h"

namespace kel::test {

inline void object_test_init() {
    static bool done = false;
    if (done) return;
    done = true;
    evaluator_test_init();
    object_init();
    error_init();
    typenames_init(word_global_symbol);
}

// The text reader of the evaluator's tests reads `a/b:` as a path whose
// last word is spelled "b:"; turn such paths into set-paths, deeply.
inline void fix_set_paths(const Cell* block) {
    Off node = block->data2;
    for (uint32_t i = 0; i < node_buffer(node)->used_bytes() / sizeof(Cell); i++) {
        Cell* c = arena_at<Cell>(node_buffer(node)->head) + i;
        if (c->is(TYPE_BLOCK) || c->is(TYPE_PAREN)) {
            Cell inner = *c;
            fix_set_paths(&inner);
        } else if (c->is(TYPE_PATH)) {
            Cell path = *c;
            SeriesBuf* buf = node_buffer(path.data2);
            Cell* last = arena_at<Cell>(buf->tail) - 1;
            if (!last->is(TYPE_WORD)) continue;
            std::string name(symbol_name(last->data2));
            if (name.size() < 2 || name.back() != ':') continue;
            name.pop_back();
            Cell w{TYPE_WORD, 0, 0, 0};
            word_from_cstring(&w, name.c_str());
            buf = node_buffer(path.data2);
            *(arena_at<Cell>(buf->tail) - 1) = w;
            cell_set_type(arena_at<Cell>(node_buffer(node)->head) + i, TYPE_SET_PATH);
        }
    }
}

// Evaluates `text` like eval_text, with set-paths.
inline Cell kel_eval(const char* text) {
    Cell out{TYPE_NONE, 0, 0, 0};
    interp_run_on_big_stack([&] {
        Cell block;
        block_from_text(text, &block);
        fix_set_paths(&block);
        interp_do_block(&block, &out);
    });
    return out;
}
inline std::string kel_mold(const char* text) {
    Cell v = kel_eval(text);
    return mold(&v);
}
inline std::string kel_form(const char* text) {
    Cell v = kel_eval(text);
    return form(&v);
}
inline int32_t kel_int(const char* text) {
    Cell v = kel_eval(text);
    return v.is(TYPE_INTEGER) ? static_cast<int32_t>(v.data2) : INT32_MIN;
}
inline std::string kel_error(const char* text) {
    return raised([&] { kel_eval(text); });
}

struct ObjectTest : ::testing::Test {
    // Raised errors carry full error! values only while these suites run,
    // so suites that look at the bare error cells see them unchanged.
    static inline void (*saved_builder)(const KelThrow&, Cell*) = nullptr;
    static void SetUpTestSuite() {
        saved_builder = g_error_value_builder;
        object_test_init();
        error_catalog_init();
    }
    static void TearDownTestSuite() { g_error_value_builder = saved_builder; }
    void SetUp() override { stack_clear_all(); }
    void TearDown() override {
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        EXPECT_EQ(g_thrown, 0u);
        stack_clear_all();
    }
};

}  // namespace kel::test
