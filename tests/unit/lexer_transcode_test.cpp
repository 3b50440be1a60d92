// The `transcode` native driven from Kel code that the lexer itself loaded:
// its refinements, syntax error reports, byte-order marks and event
// callbacks written as functions.
//
// These run before the suites that collect at every allocation: native!,
// action! and function! values have no collector marker yet, so a
// collection frees the interface blocks of natives no test holds on to.
#include <gtest/gtest.h>

#include <string>

#include "runtime/lexer.h"
#include "tests/unit/block_support.h"
#include "tests/unit/lexer_render.h"
#include "tests/unit/object_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

struct Transcode : ObjectTest {
    // string! has no registration of its own yet: errors form their text
    // and "=" compares strings through the stand-in.
    std::unique_ptr<StringStandIn> strings = std::make_unique<StringStandIn>();
    // Loads [source] with the lexer and evaluates it.
    static Cell run(const std::string& source) {
        Cell out{TYPE_NONE, 0, 0, 0};
        interp_run_on_big_stack([&] {
            Cell code{TYPE_NONE, 0, 0, 0};
            GcRootCell root(&code);
            lexer_scan_utf8(&code, reinterpret_cast<const uint8_t*>(source.data()),
                            static_cast<uint32_t>(source.size()), false, true, true, false, nullptr, nullptr, nullptr,
                            nullptr);
            interp_do_block(&code, &out);
        });
        return out;
    }
    static std::string molded(const std::string& source) {
        Cell v = run(source);
        GcRootCell root(&v);
        return render(&v);
    }
    // The first line of the report of the error [source] raises.
    static std::string report(const std::string& source) {
        try {
            run(source);
        } catch (const KelThrow& t) {
            Cell v = t.value;
            std::string text = form(&v);
            return text.substr(0, text.find('\n'));
        }
        return "no error";
    }
};

TEST_F(Transcode, LoadsSourceIntoABlock) {
    EXPECT_EQ(molded("transcode {1 [a b] c: \"s\"}"), "[1 [a b] c: \"s\"]");
    Cell big = run("pick transcode \"2147483648\" 1");
    EXPECT_TRUE(big.is(TYPE_FLOAT));
    EXPECT_EQ(molded("pick transcode \"0FFh\" 1"), "255");
    EXPECT_TRUE(run("pick transcode \"FF\" 1").is(TYPE_WORD));
    EXPECT_EQ(molded("\"a}b\" = pick transcode \"%{a}b}%\" 1"), "#(true)");
}

TEST_F(Transcode, StringsConvertToBlocksAndWords) {
    EXPECT_EQ(molded("to block! \"a [1] 'b\""), "[a [1] 'b]");
    EXPECT_EQ(molded("to word! \"abc\""), "abc");
    EXPECT_EQ(kel_error("to word! \"a b\""), "invalid-chars");
}

TEST_F(Transcode, SyntaxErrorsReport) {
    // The datatype is formed in syntax messages, without its "!".
    EXPECT_EQ(report("transcode \"12a\""), "*** Syntax Error: (line 1) invalid integer at 12a");
    EXPECT_EQ(report("transcode \"[1 2\""), "*** Syntax Error: (line 1) missing ] at [1 2");
    EXPECT_EQ(report("transcode {x^/y^/#(foo) z}"), "*** Syntax Error: (line 3) invalid construction spec at #(foo) z");
    EXPECT_EQ(report("transcode \"a }\""), "*** Syntax Error: (line 1) invalid character at }");
}

TEST_F(Transcode, BinarySourceSkipsAByteOrderMark) {
    Off node = alloc_bytes(4);
    SeriesBuf* b = node_buffer(node);
    std::memcpy(b->head_ptr(), "\xEF\xBB\xBF" "1", 4);
    b->tail = b->head + 4;
    Cell bin{TYPE_BINARY, 0, node, 0}, w{TYPE_WORD, 0, 0, 0};
    word_set(word_from_cstring(&w, "bin"), &bin);
    EXPECT_EQ(molded("transcode bin"), "[1]");
    // /next gives the position after the value, in bytes.
    Cell rest = run("pick transcode/next bin 2");
    EXPECT_TRUE(rest.is(TYPE_BINARY));
    EXPECT_EQ(rest.data1, 4u);
}

TEST_F(Transcode, Refinements) {
    struct {
        const char* code;
        const char* want;
    } cases[] = {
        {"transcode/next \"1 [2] 3\"", "[1 \" [2] 3\"]"},
        {"transcode/next \"\"", "[[] \"\"]"},
        {"transcode/one \"  x y\"", "x"},
        {"transcode/scan \"12a\"", "error!"},
        {"transcode/scan \"[1 2\"", "error!"},
        {"transcode/scan \"\"", "#(none)"},
        {"transcode/scan/next \"ab cd\"", "[word! \" cd\"]"},
        {"transcode/prescan \"abc\"", "word!"},
        {"transcode/part \"1 2 3\" 3", "[1 2]"},
        {"transcode/into \"a b\" [x]", "[x a b]"},
        {"transcode/next \"\xE2\x82\xAC\xE2\x82\xAC x\"", "[\xE2\x82\xAC\xE2\x82\xAC \" x\"]"},
    };
    for (const auto& c : cases) EXPECT_EQ(molded(c.code), c.want) << c.code;
    EXPECT_EQ(kel_error("transcode/part \"1 2\" [1]"), "expect-arg");
    // A position in the same string limits the text; one in a binary! does not fit.
    Cell s{TYPE_NONE, 0, 0, 0}, w{TYPE_WORD, 0, 0, 0};
    string_make(&s, 8);
    string_append_ascii(&s, "1 2 3");
    word_set(word_from_cstring(&w, "s"), &s);
    Cell at3 = s;
    at3.data1 = 3;
    word_set(word_from_cstring(&w, "s3"), &at3);
    EXPECT_EQ(raised([] { run("transcode/part s s3"); }), "expect-arg");
    // A position in a binary! source limits it; with a string source it
    // is of another type.
    Off node = alloc_bytes(8);
    SeriesBuf* buf = node_buffer(node);
    std::memcpy(buf->head_ptr(), "1 2 3", 5);
    buf->tail = buf->head + 5;
    Cell bin{TYPE_BINARY, 0, node, 0}, bin3{TYPE_BINARY, 3, node, 0};
    word_set(word_from_cstring(&w, "b"), &bin);
    word_set(word_from_cstring(&w, "b3"), &bin3);
    EXPECT_EQ(molded("transcode/part b b3"), "[1 2]");
    EXPECT_EQ(raised([] { run("transcode/part s b3"); }), "not-same-type");
}

TEST_F(Transcode, TraceCallsAFunctionForEachEvent) {
    EXPECT_EQ(molded("log: copy [] transcode/trace \"[a 1]\" func [event input type line token] ["
                     "append log event true] log"),
              "[prescan open prescan scan load prescan scan load prescan close]");
    // The body's first block selects the events.
    EXPECT_EQ(molded("log: copy [] transcode/trace \"x [y]\" func [event input type line token] ["
                     "[close] append log type append log token append log index? input true] log"),
              "[block! 3x6 6]");
    // Locals of the callback start as none.
    EXPECT_EQ(molded("n: 0 transcode/trace \"a b\" func [event input type line token /local k] ["
                     "unless k [n: n + 1] true] n"),
              "6");
}

TEST_F(Transcode, TraceCallbackSteersTheScan) {
    // Refusing loads drops values.
    EXPECT_EQ(molded("transcode/trace \"1 2 3\" func [event input type line token] ["
                     "not all [event = 'load token = 2]]"),
              "[1 3]");
    // True on an error re-raises it; false steps over a bad token.
    EXPECT_EQ(report("transcode/trace \"1 #(x)\" func [e i t l k] [[error] true]"),
              "*** Syntax Error: (line 1) invalid construction spec at #(x)");
    EXPECT_EQ(molded("transcode/trace \"1 } 2\" func [event input type line token] ["
                     "[error] input: next input false]"),
              "[1 2]");
    // A callback may scan again.
    EXPECT_EQ(molded("inner: none transcode/trace \"a b\" func [event input type line token] ["
                     "[load] if token = 'b [inner: transcode \"[c]\"] true] inner"),
              "[[c]]");
}

}  // namespace
