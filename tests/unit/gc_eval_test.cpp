// The collector under the evaluator: programs that build and drop data,
// recycle and its switches, and values kept only by the C++ roots.
#include <gtest/gtest.h>

#include "runtime/gc.h"
#include "tests/unit/object_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

struct GcEval : ::testing::Test {
    static void SetUpTestSuite() { object_test_init(); }
    void SetUp() override { stack_clear_all(); }
    void TearDown() override {
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        stack_clear_all();
    }
    static std::string heap_problem() { return gc_check_heap(); }
};

TEST_F(GcEval, SelfContainingBlockSurvivesRecycleAndMoldsAsBefore) {
    Cell text = eval_text("gc-self: [1 [2 3] x] append/only gc-self gc-self mold gc-self");
    std::string before = string_to_utf8(&text);
    EXPECT_EQ(before, "[1 [2 3] x [...]]");
    eval_text("recycle");
    text = eval_text("mold gc-self");
    EXPECT_EQ(string_to_utf8(&text), before);
    EXPECT_EQ(eval_int("pick pick gc-self 2 1"), 2);
    EXPECT_EQ(eval_mold("same? gc-self pick gc-self 4"), "true");
    EXPECT_EQ(heap_problem(), "");
}

// The arena stays small while a program drops 50 MB of series, and the one
// block it holds comes through every collection intact.
TEST_F(GcEval, FiftyMegabytesOfShortLivedSeriesLeaveTheArenaSmall) {
    uint32_t cycles = g_gc.series_cycles;
    // Each round drops a 60-cell block (984 bytes with its header) and a
    // text made by mold. Stress mode collects all along anyway: fewer rounds.
    int rounds = g_gc.stress_every ? 51200 / 16 : 51200;
    Cell n{TYPE_INTEGER, 0, static_cast<uint32_t>(rounds), 0}, w = word("gc-rounds");
    word_set(&w, &n);
    eval_text("gc-kept: [1 [2 3] 4] n: 0 loop gc-rounds [make block! 60 mold gc-kept n: n + 1]");
    EXPECT_EQ(eval_int("n"), rounds);
    EXPECT_GT(g_gc.series_cycles, cycles);
    EXPECT_LT(g_memory.total, 16u << 20);
    EXPECT_EQ(eval_mold("gc-kept"), "[1 [2 3] 4]");
    EXPECT_EQ(heap_problem(), "");
}

// Sorting words compares their names, which allocates: with a collection at
// every allocation the block being sorted must not move under the sort.
TEST_F(GcEval, SortingWordsWhileEveryAllocationCollects) {
    uint32_t saved = g_gc.stress_every;
    g_gc.stress_every = 1;
    std::string sorted = eval_mold("gc-words: [d 4 b 2 e 5 a 1 c 3] sort/skip gc-words 2 sort [q w e r t y] gc-words");
    std::string plain = eval_mold("sort [q w e r t y]");
    g_gc.stress_every = saved;
    EXPECT_EQ(sorted, "[a 1 b 2 c 3 d 4 e 5]");
    EXPECT_EQ(plain, "[e q r t w y]");
    EXPECT_EQ(heap_problem(), "");
}

// 3 MB of blocks fill more than a frame: the allocator collects when it is
// on, never after recycle/off, and recycle itself collects either way.
TEST_F(GcEval, RecycleOffStopsCollectionButRecycleStillCollects) {
    struct NoStress {
        uint32_t saved = g_gc.stress_every;
        NoStress() { g_gc.stress_every = 0; }
        ~NoStress() { g_gc.stress_every = saved; }
    } no_stress;
    uint32_t cycles = g_gc.series_cycles;
    eval_text("loop 3000 [make block! 60]");
    EXPECT_GT(g_gc.series_cycles, cycles);
    cycles = g_gc.series_cycles;
    uint32_t total = g_memory.total;
    eval_text("recycle/off loop 3000 [make block! 60]");
    EXPECT_EQ(g_gc.series_cycles, cycles);
    EXPECT_GT(g_memory.total, total);
    Cell in_use = eval_text("recycle/off recycle");
    EXPECT_EQ(g_gc.series_cycles, cycles + 1);
    EXPECT_TRUE(in_use.is(TYPE_INTEGER));
    EXPECT_EQ(heap_problem(), "");
}

// After a collection no frame keeps a buffer an expansion abandoned, and no
// buffer (fixed ones included) keeps its mark.
TEST_F(GcEval, ExpansionsLeaveNothingBehindACollection) {
    eval_text("gc-grown: [] loop 2000 [append gc-grown [a 1]]");
    uint32_t abandoned = 0;
    EXPECT_EQ(gc_check_heap(&abandoned), "");
    EXPECT_GT(abandoned, 0u);
    eval_text("recycle");
    EXPECT_EQ(gc_check_heap(&abandoned), "");
    EXPECT_EQ(abandoned, 0u);
    EXPECT_EQ(eval_int("length? gc-grown"), 4000);
}

// Callables kept only by a root scope keep their interface block, body, descriptor and
// context through collections that move every node.
TEST_F(GcEval, CallablesKeptOnlyByARootSurviveNodeEvacuation) {
    const char* const cases[][2] = {
        {"func [a /b c] [either b [a + c] [a]]", "func [a /b c][either b [a + c] [a]]"},
        {"make op! func [a b] [a - b]", "make op! func [a b][a - b]"},
        {"make native! [[value] 33]", "make native! [[value]]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        Cell value = eval_text(c[0]);
        GcRootCell keep(&value);
        for (int i = 0; i < 3; i++) gc_collect_stress();
        EXPECT_EQ(mold(&value), c[1]);
        EXPECT_EQ(heap_problem(), "");
    }
    // A method's object context (kept as an integer! node) is followed too.
    Cell f = kel_eval("o: make object! [v: 5 m: func [] [v]] pick reflect o 'values 2");
    GcRootCell keep(&f);
    kel_eval("o: none");
    for (int i = 0; i < 3; i++) gc_collect_stress();
    Cell w{TYPE_WORD, 0, 0, 0};
    word_set(word_from_cstring(&w, "gc-method"), &f);
    EXPECT_EQ(kel_int("gc-method"), 5);
}

}  // namespace
