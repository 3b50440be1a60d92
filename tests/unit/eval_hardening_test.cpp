// Programs that once crashed the evaluator or its natives, each reduced to
// the few values that show the fault. Some only fail while every allocation
// collects and moves every node, so they run in that mode.
#include <gtest/gtest.h>

#include "runtime/datatypes/file.h"
#include "runtime/datatypes/url.h"
#include "runtime/gc.h"
#include "tests/unit/object_fixture.h"
#include "tests/unit/parse_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct EvalHardening : ::testing::Test {
    static void SetUpTestSuite() {
        object_test_init();
        parse_test_init();
        url_init();
        file_init();
    }
    void SetUp() override { stack_clear_all(); }
    void TearDown() override {
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        EXPECT_EQ(g_stack.top, g_stack.data_bottom);
        stack_clear_all();
    }
};

// Runs `text` with a collection at every allocation; the molded value.
std::string mold_collecting(const std::string& text) {
    Cell value{TYPE_NONE, 0, 0, 0};
    GcRootCell keep(&value);
    {
        struct Stress {
            uint32_t saved = g_gc.stress_every;
            Stress() { g_gc.stress_every = 1; }
            ~Stress() { g_gc.stress_every = saved; }
        } stress;
        GcEnabledScope collecting;
        value = kel_eval(text);
    }
    return mold(&value);
}

// Values held across a call that may collect: ordering words compares their
// spellings as strings, which allocates, so the blocks or objects being
// compared and min's and max's other argument must survive it; a prototype's
// string fields are copied into the new object one allocation at a time; a
// path keeps the value it reached across a paren element, whose result a
// file! or url! then joins in new strings; compose/into puts the values
// before a paren in at once, which may move the paren's node; to-hex makes
// its issue's symbol, which may move the global context the issue is bound to.
TEST_F(EvalHardening, ValuesHeldAcrossAllocationsWhileEveryAllocationCollects) {
    static const struct {
        const char* program;
        const char* result;
    } kCases[] = {
        {"greater? [x y] [x z]", "false"},
        {"lesser? [x y] [x z]", "true"},
        {"lesser? [x/y] [x/z]", "true"},
        {"greater? [a [b c]] [a [b a]]", "true"},
        {"lesser? make object! [a: 'x b: 'y] make object! [a: 'x b: 'z]", "true"},
        {"lesser? reduce [make object! [a: 'x b: 'y]] reduce [make object! [a: 'x b: 'a]]", "false"},
        {"min [a c] [a b]", "[a b]"},
        {"max [x] [y]", "[y]"},
        {"p: make object! [s: \"x\" t: \"y\"] q: make p [] reduce [q/s q/t]", "[\"x\" \"y\"]"},
        {"f: %a f/(\"b\")/(\"c\")", "%a/b/c"},
        {"u: http://h u/(1)/(2)", "http://h/1/2"},
        {"b: [x] compose/into [a b (length? b) c] b b", "[a b 3 c x]"},
        {"h: to-hex 3054 copy \"x\" h", "#00000BEE"},
    };
    for (const auto& c : kCases) EXPECT_EQ(mold_collecting(c.program), c.result) << c.program;
    EXPECT_EQ(gc_check_heap(), "");
}

// A trace callback that raises an error on the `end` event still ends the
// trace: tracing goes off, the callback before it comes back, and the next
// do/trace sees its own events.
TEST_F(EvalHardening, TraceCallbackFailingAtTheEndStillEndsTheTrace) {
    EXPECT_EQ(kel_error("cb: func [event code offset value ref frame] [if event = 'end [1 / 0]] do/trace [1 + 2] :cb"),
              "zero-divide");
    EXPECT_FALSE(g_interp.on);
    EXPECT_TRUE(g_interp.callback.is(TYPE_NONE));
    EXPECT_EQ(kel_mold("n: 0 count: func [event code offset value ref frame] [n: n + 1] do/trace [1 + 2] :count n > 0"),
              "true");
}

// The host heap running out inside a builtin (a temporary copy of a huge
// series) is a no-memory error that try catches, through a plain call and
// through apply, not the end of the process; the stacks are left as they were.
TEST_F(EvalHardening, HostHeapExhaustionInABuiltinIsANoMemoryError) {
    int index = 0;
    for (int i = 1; i <= kNativeCount; i++)
        if (std::string(native_info(i).name) == "now") index = i;
    ASSERT_GT(index, 0);
    struct Swap {
        NativeFn saved;
        int at;
        Swap(int i) : saved(g_natives_table[i - 1]), at(i) {
            g_natives_table[at - 1] = [](int32_t, const int32_t*) { throw std::bad_alloc(); };
        }
        ~Swap() { g_natives_table[at - 1] = saved; }
    } swap(index);
    EXPECT_EQ(kel_error("now"), "no-memory");
    EXPECT_EQ(kel_error("apply :now []"), "no-memory");
    EXPECT_EQ(kel_mold("type? try [now]"), "error!");
}

}  // namespace
