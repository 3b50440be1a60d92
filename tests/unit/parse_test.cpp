// PARSE: the dialect's rules and keywords, their errors, and the engine's
// stacks, re-entrance and trace events, driven by Kel programs.
#include <gtest/gtest.h>

#include "tests/unit/parse_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct Parse : ::testing::Test {
    static void SetUpTestSuite() { parse_test_init(); }
    void SetUp() override { stack_clear_all(); }
    void TearDown() override {
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        EXPECT_EQ(g_stack.top, g_stack.data_bottom);
        EXPECT_EQ(g_thrown, 0u);
        EXPECT_EQ(parse_rule_stack_depth(), 0u);
        EXPECT_EQ(parse_input_stack_depth(), 0u);
    }
};

struct Case {
    const char* code;
    const char* expected;  // molded result
};

void check(const Case* cases, size_t n) {
    for (size_t i = 0; i < n; i++) {
        SCOPED_TRACE(cases[i].code);
        std::string got;
        std::string err = raised([&] { got = kel_mold(cases[i].code); });
        EXPECT_EQ(err, "");
        EXPECT_EQ(got, cases[i].expected);
    }
}

TEST_F(Parse, Smoke) {
    const Case cases[] = {
        {R"(parse "ab" ["AB"])", "true"},
        {R"(parse/case "ab" ["AB"])", "false"},
        {R"(parse "ab" [collect some keep skip])", R"([#"a" #"b"])"},
        {R"(parse/part "abc" [3 skip] 2)", "false"},
    };
    check(cases, std::size(cases));
}

}  // namespace
