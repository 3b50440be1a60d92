// string! actions reached through the interpreter: the dispatcher's /part,
// /dup and refinement handling in front of the string implementations.
// The file name places these tests after the collector tests and before the
// object tests in the binary: both collect in-process, and the evaluator's
// interface blocks are not collector roots yet.
#include "tests/unit/eval_fixture.h"
#include "tests/unit/string_support.h"

using namespace kel;

namespace {

struct StringEval : strtest::StringTest {
    void SetUp() override {
        strtest::StringTest::SetUp();
        test::evaluator_test_init();
    }
};

TEST_F(StringEval, ActionsThroughTheInterpreter) {
    struct Case { const char* code; const char* mold; } cases[] = {
        {"append/dup \"ab\" \"c\" 3", "\"abccc\""},
        {"append/part \"ab\" \"cdef\" 2", "\"abcd\""},
        {"head insert tail \"ab\" \"cd\"", "\"abcd\""},
        {"insert tail \"ab\" \"cd\"", "\"\""},
        {"change \"abc\" \"XY\"", "\"c\""},
        {"head change/part \"abc\" \"X\" 2", "\"Xc\""},
        {"trim \"  a  b  \"", "\"a  b\""},
        {"find/tail \"abcabc\" \"bc\"", "\"abc\""},
        {"find/last \"abcabc\" \"bc\"", "\"bc\""},
        {"find/case \"aBc\" \"b\"", "none"},
        {"find/part \"abcdef\" \"d\" 3", "none"},
        {"select \"abc\" \"b\"", "#\"c\""},
        {"\"ABC\" = \"abc\"", "true"},
        {"\"ABC\" == \"abc\"", "false"},
        {"\"abc\" < \"abd\"", "true"},
        {"sort/skip \"b2a1\" 2", "\"a1b2\""},
        {"take \"abc\"", "#\"a\""},
        {"to string! [a \"b\" 1]", "\"ab1\""},
        {"mold \"a\"", "{\"a\"}"},
    };
    for (const Case& c : cases) EXPECT_EQ(test::eval_mold(c.code), c.mold) << c.code;
    EXPECT_EQ(test::eval_error("sort/skip \"abc\" 2"), "invalid-refine-arg");
    EXPECT_EQ(test::eval_error("find/skip \"a1b2\" \"b\" 0"), "out-of-range");
}

}  // namespace
