// PARSE: the dialect's rules and keywords, their errors, and the engine's
// stacks, re-entrance and trace events, driven by Kel programs.
//
// The file name places these tests before the in-process collector tests of
// other modules, which reclaim evaluator structures that this binary's
// interpreter tests rely on; the collector test here runs in a child process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/gc.h"
#include "tests/unit/parse_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct Parse : ::testing::Test {
    static void SetUpTestSuite() {
        parse_test_init();
        define_charset("digit", "0123456789");
        define_charset("alpha", "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
        define_charset("not-comma", ",", true);
    }
    void SetUp() override { stack_clear_all(); }
    void TearDown() override {
        // Every run leaves both work stacks and the evaluation stacks empty.
        EXPECT_EQ(g_stack.frame_top, g_stack.frame_bottom);
        EXPECT_EQ(g_stack.top, g_stack.data_bottom);
        EXPECT_EQ(g_thrown, 0u);
        EXPECT_EQ(parse_rule_stack_depth(), 0u);
        EXPECT_EQ(parse_input_stack_depth(), 0u);
    }
};

struct Case {
    const char* code;
    const char* expected;  // the molded result, or the id of the error raised
};

void check_values(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::string got;
        std::string err = raised([&] { got = kel_mold(c.code); });
        EXPECT_EQ(err, "");
        EXPECT_EQ(got, c.expected);
    }
}

void check_errors(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(kel_error(c.code), c.expected);
    }
}

// ---- matching ------------------------------------------------------------------------

TEST_F(Parse, LiteralsOnStringInput) {
    check_values({
        {R"(parse "" [])", "true"},
        {R"(parse "a" [])", "false"},
        {R"(parse "ab" ["AB"])", "true"},
        {R"(parse/case "ab" ["AB"])", "false"},
        {R"(parse/case "ab" ["ab"])", "true"},
        {R"(parse "ab" [#"A" #"b"])", "true"},
        {R"(parse/case "ab" [#"A" #"b"])", "false"},
        {R"(parse "ab" ["a"])", "false"},
        {R"(parse "abc" ["abcd"])", "false"},
        {R"(parse "" [""])", "true"},
        {R"(parse "" [#"a"])", "false"},
        {R"(parse "a<b>c" ["a" <b> "c"])", "true"},
        {R"(parse "a1" [alpha digit])", "true"},
        {R"(parse "1a" [alpha digit])", "false"},
        {R"(parse "aé" ["AÉ"])", "true"},
        {R"(parse "ab" ["a" | "b"])", "false"},
        {R"(parse "b" ["a" | "b"])", "true"},
        {R"(parse "ac" [["a" "b" | "a" "c"]])", "true"},
        {R"(parse "ac" ["a" ["b" | "c"]])", "true"},
        {R"(parse "ad" ["a" ["b" | "c"]])", "false"},
    });
}

TEST_F(Parse, LiteralsAndTypesOnBlockInput) {
    check_values({
        {"parse [] []", "true"},
        {"parse [a b] ['a 'b]", "true"},
        {"parse [a] ['A]", "true"},
        {"parse/case [a] ['A]", "false"},
        {R"(parse [1 "x" y] [integer! string! word!])", "true"},
        {R"(parse [1 "x"] [integer! integer!])", "false"},
        {"parse [1 2] [quote 1 quote 2]", "true"},
        {"parse [some] [quote some]", "true"},
        {"parse [[a]] [quote [a]]", "true"},
        {R"(parse ["AB"] ["ab"])", "true"},
        {R"(parse/case ["AB"] ["ab"])", "false"},
        {"ts: make typeset! [integer! float!] parse [1 2.5] [2 ts]", "true"},
        {"parse [1 x] [2 ts]", "false"},
        {"parse [#(none) #(true)] [#(none) #(true)]", "true"},
    });
}

TEST_F(Parse, KeywordsThatMatchNothingOrOneElement) {
    check_values({
        {R"(parse "ab" [skip skip])", "true"},
        {R"(parse "a" [skip skip])", "false"},
        {R"(parse "ab" [skip end])", "false"},
        {R"(parse "" [end])", "true"},
        {R"(parse "a" [none "a" none])", "true"},
        {R"(parse "a" [fail | "a"])", "true"},
        {R"(parse "a" [fail])", "false"},
        {R"(parse "abc" [skip p: skip :p "bc"])", "true"},
        {R"(parse "abc" [skip p: to end] p)", R"("bc")"},
        {R"(parse "a" [if (true) "a"])", "true"},
        {R"(parse "a" [if (none) "a" | "a"])", "true"},
        {R"(parse "a" [if (false) "a"])", "false"},
        {R"(c: true parse "Ab" [case c "A" "B"])", "true"},
        {R"(c: true parse "ab" [case c "A" "b"])", "false"},
        {R"(c: none parse "ab" [case c "A" "b"])", "true"},
        {R"(parse "ab" [not "b" skip "b"])", "true"},
        {R"(parse "ab" [not "a" skip "b"])", "false"},
        {R"(parse "ab" [ahead "a" "ab"])", "true"},
        {R"(parse "ab" [ahead "b" "ab"])", "false"},
    });
}

TEST_F(Parse, Repetition) {
    check_values({
        {R"(parse "ab" [3 skip])", "false"},
        {R"(parse "abc" [3 skip])", "true"},
        {R"(parse "" [0 skip])", "true"},
        {R"(parse "a" [0 "b" "a"])", "true"},
        {R"(parse "a" [0 0 copy x "b" "a"])", "true"},
        {R"(parse "aa" [1 3 "a"])", "true"},
        {R"(parse "aaaa" [1 3 "a"])", "false"},
        {R"(parse "aaaa" [1 3 "a" "a"])", "true"},
        {R"(parse "aAa" [3 #"a"])", "true"},
        {R"(parse/case "aAa" [3 #"a"])", "false"},
        {R"(parse "abab" [2 "ab"])", "true"},
        {R"(n: 2 parse "aa" [n "a"])", "true"},
        {R"(n: 1 m: 3 parse "aaa" [n m "a"])", "true"},
        {R"(parse "aab" [2 ["a"] "b"])", "true"},
        {R"(parse "aab" [2 3 ["a"] "b"])", "true"},
        {R"(parse "xyz" [any skip])", "true"},
        {R"(parse "" [some "a"])", "false"},
        {R"(parse "aaa" [some "a"])", "true"},
        {R"(parse "aaab" [some "a" "b"])", "true"},
        {R"(parse "b" [opt "a" "b"])", "true"},
        {R"(parse "aab" [opt "a" "b"])", "false"},
        {R"(parse "12ab" [some digit some alpha])", "true"},
        {R"(parse "a,b" [some not-comma "," some not-comma])", "true"},
        {R"(parse [1 1 2] [some quote 1 quote 2])", "true"},
        {R"(parse "aXaX" [some ["a" "x"]])", "true"},
        {R"(parse "aa" [while "a"])", "true"},
        {R"(n: 0 parse "" [while [if (n < 3) (n: n + 1)]] n)", "3"},
    });
}

TEST_F(Parse, RepetitionsWithoutProgressEnd) {
    check_values({
        {R"(parse "" [some [none]])", "true"},
        {R"(parse "" [any [opt "a"]])", "true"},
        {R"(parse "b" [some [opt "a"] "b"])", "true"},
        {R"(parse "" [2 opt "a"])", "true"},
        {R"(n: 0 parse "" [any [(n: n + 1)]] n)", "1"},
        {R"(parse "" [some ""])", "true"},
        {R"(s: "aaa" parse s [some [remove "a"]] s)", R"("")"},
        {R"(s: "aaa" parse s [while [remove "a"]] s)", R"("")"},
    });
}

TEST_F(Parse, ToAndThru) {
    check_values({
        {R"(parse "abx" [to "x" "x"])", "true"},
        {R"(parse "abx" [thru "x"])", "true"},
        {R"(parse "abx" [to #"x" p:] p)", R"("x")"},
        {R"(parse "abX" [thru #"x"])", "true"},
        {R"(parse/case "abX" [thru #"x"])", "false"},
        {R"(parse "abXY" [to "xy" "XY"])", "true"},
        {R"(parse "ab" [to "x"])", "false"},
        {R"(parse "ab" [to "x" | to end])", "true"},
        {R"(parse "abc" [to end])", "true"},
        {R"(parse "abc" [thru end])", "true"},
        {R"(parse "ab1c" [to digit p:] p)", R"("1c")"},
        {R"(parse "ab1c" [thru digit p:] p)", R"("c")"},
        {R"(parse "a<b>c" [thru <b> "c"])", "true"},
        {R"(parse "abc" [to "" "abc"])", "true"},
        {R"(parse [a b c] [to 'c 'c])", "true"},
        {R"(parse [a b c] [thru 'b p:] p)", "[c]"},
        {R"(parse [a 1 c] [to integer! p:] p)", "[1 c]"},
        {R"(parse "aab12" [to [some digit] p:] p)", R"("12")"},
        {R"(parse "aab12" [thru [digit digit] end])", "true"},
        {R"(parse "aab" [to [digit]])", "false"},
        {R"(parse "ab" [to [end] end])", "true"},
    });
}

TEST_F(Parse, PartLimitsTheInput) {
    check_values({
        {R"(parse/part "abc" [3 skip] 2)", "false"},
        {R"(parse/part "abc" [2 skip] 2)", "true"},
        {R"(parse/part "abc" [to end] 2)", "true"},
        {R"(parse/part "abc" ["abc"] 2)", "false"},
        {R"(parse/part "abc" [some "abc"] 2)", "false"},
        {R"(parse/part "abc" [to "c"] 2)", "false"},
        {R"(parse/part "aaa" [some "a"] 2)", "true"},
        {R"(parse/part "abc" [] 0)", "false"},
        {R"(parse/part "" [] 0)", "true"},
        {R"(parse/part "abc" ["ab"] 2.9)", "true"},
        {R"(s: "abc" parse/part s [2 skip] next next s)", "true"},
        {R"(parse/part next "abc" [skip] 1)", "true"},
        {R"(parse/part [a b c] ['a 'b] 2)", "true"},
    });
    EXPECT_EQ(kel_error(R"(parse/part "abc" [] "ab")"), "invalid-refine-arg");
}

// ---- captures --------------------------------------------------------------------------

TEST_F(Parse, CopyAndSet) {
    check_values({
        {R"(parse "abc" [copy x 2 skip "c"] x)", R"("ab")"},
        {R"(parse "abc" [copy x to end] x)", R"("abc")"},
        {R"(parse "abc" [copy x "" to end] x)", R"("")"},
        {R"(parse [1 2 3] [copy x 2 integer! skip] x)", "[1 2]"},
        {R"(parse "abc" [set x skip to end] x)", R"(#"a")"},
        {R"(parse [1 2] [set x integer! skip] x)", "1"},
        {R"(parse "a" [set x opt "b" "a"] x)", "none"},
        {R"(x: 0 parse "a" [copy x "b" | skip] x)", "0"},
    });
}

TEST_F(Parse, CollectAndKeep) {
    check_values({
        {R"(parse "ab" [collect some keep skip])", R"([#"a" #"b"])"},
        {R"(parse "abcd" [collect [keep 2 skip keep pick 2 skip]])", R"(["ab" #"c" #"d"])"},
        {R"(parse "a" [collect keep opt "b"])", "[none]"},
        {R"(parse "a" [collect keep pick opt "b"])", "[]"},
        {R"(parse [1 2 3] [collect [keep 2 integer! keep integer!]])", "[[1 2] 3]"},
        {R"(parse [1 2 3] [collect [keep pick 3 integer!]])", "[1 2 3]"},
        {R"(parse "" [collect [keep (1 + 2)]])", "[3]"},
        {R"(parse "" [collect [keep ([1 2]) keep pick ([3 4])]])", "[[1 2] 3 4]"},
        {R"(parse "ab" [collect [keep skip collect [keep skip]]])", R"([#"a" [#"b"]])"},
        {R"(parse "ab" [collect [keep skip] "x"])", R"([#"a"])"},
        {R"(parse "ab" [collect set x [keep skip] skip])", "true"},
        {R"(parse "ab" [collect set x [keep skip] skip] x)", R"([#"a"])"},
        {R"(out: [z] parse "ab" [collect into out [keep skip keep skip]] out)", R"([#"a" #"b" z])"},
        {R"(out: next [z y] parse "ab" [collect after out [keep skip keep skip]] head out)", R"([z #"a" #"b" y])"},
        {R"(out: next [z y] parse "ab" [collect after out [keep skip keep skip]] out)", "[y]"},
        {R"(s: copy "" parse "abc" [collect into s [keep 2 skip keep skip]] s)", R"("abc")"},
        {R"(parse "ab" [collect some [collect keep skip]])", R"([[#"a"] [#"b"]])"},
    });
}

TEST_F(Parse, CollectErrors) {
    check_errors({
        {R"(parse "a" [keep skip])", "parse-keep"},
        {R"(s: "ab" parse s [collect into s [keep skip]])", "parse-into-bad"},
        // Nor an input reached through `into`, entered before or after the collect.
        {R"(b: [x] parse reduce [b] [collect into b [into [some [keep skip]]]])", "parse-into-bad"},
        {R"(b: [x] o: reduce [b] parse o [into [collect after o [keep skip]]])", "parse-into-bad"},
        {R"(x: 1 parse "a" [collect into x [keep skip]])", "parse-into-type"},
        {R"(s: "" parse [a] [collect into s [keep skip]])", "parse-into-type"},
        {R"(parse "a" [collect into 1 [keep skip]])", "parse-end"},
    });
}

// ---- edits ---------------------------------------------------------------------------

TEST_F(Parse, RemoveInsertChange) {
    check_values({
        {R"(s: "abc" all [parse s [remove "a" "bc"] s])", R"("bc")"},
        {R"(s: "abcd" parse s [skip p: 2 skip remove p to end] s)", R"("ad")"},
        {R"(s: "abcd" parse s [skip p: 2 skip remove p "d"])", "true"},
        {R"(s: "ac" all [parse s [skip insert "b" "c"] s])", R"("abc")"},
        {R"(s: "ac" all [parse s [skip p: skip insert p "b" end] s])", R"("abc")"},
        {R"(b: [1 3] all [parse b [skip insert only [x] quote 3] b])", "[1 [x] 3]"},
        {R"(b: [1 3] all [parse b [skip insert [x y] quote 3] b])", "[1 x y 3]"},
        {R"(v: "q" s: "ab" parse s [insert v to end] s)", R"("qab")"},
        {R"(s: "ab" parse s [insert ("x") to end] s)", R"("xab")"},
        {R"(s: "abc" all [parse s [skip change "b" "XY" "c"] s])", R"("aXYc")"},
        {R"(s: "abc" parse s [skip change "b" "XY" p:] p)", R"("c")"},
        {R"(s: "abc" parse s [change "x" "Y" | to end] s)", R"("abc")"},
        {R"(b: [1 2 3] parse b [skip change only integer! [a b] integer!] b)", "[1 [a b] 3]"},
        {R"(b: [1 2 3] parse b [skip change integer! [a b] integer!] b)", "[1 a b 3]"},
        {R"(s: "abcd" parse s [p: 2 skip change p "Z" to end] s)", R"("Zcd")"},
        {R"(s: "abcd" parse s [2 skip change [some "c"] ("Z") to end] s)", R"("abZd")"},
    });
    check_errors({
        {R"(parse "a" [insert x/y])", "parse-rule"},
        {R"(parse "a" [insert undefined-here])", "no-value"},
        {R"(s: "a" parse s [p: insert p])", "parse-rule"},
        {R"(parse "a" [change "a"])", "parse-rule"},
        {R"(parse "a" [remove x/y])", "parse-rule"},
    });
}

TEST_F(Parse, Into) {
    check_values({
        {"parse [[1 2] x] [into [2 integer!] 'x]", "true"},
        {R"(parse ["ab"] [into ["a" "b"]])", "true"},
        {"parse [[1 2]] [into [integer!]]", "false"},
        {"parse [1] [into [integer!]]", "false"},
        {"parse [] [into [end]]", "false"},
        {"r: [some [into r | integer!]] parse [1 [2 [3]] 4] r", "true"},
        {"parse [[a]] [into ['a] | skip]", "true"},
        {"parse [[a b]] [collect [into [keep skip keep skip]]]", "[a b]"},
    });
    check_errors({
        {R"(parse "a" [into ["a"]])", "parse-block"},
        {"parse [[a]] [into 'a]", "parse-end"},
    });
}

TEST_F(Parse, BreakAndReject) {
    check_values({
        {R"(parse "aaab" [some ["a" | break] "b"])", "true"},
        {R"(parse "aab" [any ["a" | reject] "b"])", "true"},
        {R"(parse "b" [some ["a" | reject] "b"])", "false"},
        {R"(parse "" [1 1 [break]])", "true"},
        {R"(parse "a" ["a" break "x"])", "true"},
        {R"(parse "ab" ["a" break "x"])", "false"},
        {R"(parse "ab" [some [skip [break]] "b"])", "true"},
        {R"(parse "ab" [collect some [keep skip break] skip])", R"([#"a"])"},
        {R"(parse "abc" [some [p: skip break] 2 skip])", "true"},
    });
}

// ---- words, parens and errors ------------------------------------------------------------

TEST_F(Parse, WordsAndParens) {
    check_values({
        {R"(r: ["a" "b"] parse "ab" [r])", "true"},
        {R"(d: #"a" parse "aa" [some d])", "true"},
        {R"(n: 0 parse "aaa" [some ["a" (n: n + 1)]] n)", "3"},
        {R"(parse "ab" ["a" (r: parse [x] ['x]) "b"] r)", "true"},
        {R"(parse "ab" ["a" (try [parse "x" [any]]) "b"])", "true"},
        {R"(parse "abc" [collect [keep skip (parse "z" [collect keep skip]) keep skip]])", R"([#"a" #"b"])"},
        {R"(s: "abc" parse s ["a" (clear s) to end])", "true"},
        {R"(r: ["a" (clear r) "b"] parse "ab" r)", "false"},
        {R"(parse "ab" [ANY "a" Skip])", "true"},
    });
}

TEST_F(Parse, RuleErrors) {
    check_errors({
        {R"(parse "a" [undefined-here])", "parse-rule"},
        {R"(w: 'x parse [x] [w])", "parse-rule"},
        {R"(parse "a" [x/y])", "parse-rule"},
        {R"(parse "a" [-1 "a"])", "out-of-range"},
        {R"(parse "a" [2 1 "a"])", "parse-rule"},
        {R"(parse "a" [2])", "parse-rule"},
        {R"(parse "a" [string!])", "parse-unsupported"},
        {R"(p: "xyz" parse "abc" [:p])", "parse-invalid-ref"},
        {R"(parse "a" [to 1.5])", "parse-rule"},
        {R"(parse "a" [if "a"])", "parse-end"},
        {R"(parse "a" [copy "a"])", "parse-end"},
        {R"(parse "a" [case "a"])", "parse-end"},
        {R"(parse "a" [case undefined-here "a"])", "no-value"},
    });
    const char* const keywords[] = {"any", "some", "opt", "to", "thru", "copy x", "set x", "if", "quote", "case x",
                                    "into", "insert", "collect", "not", "remove", "while", "keep", "ahead",
                                    "collect set x", "keep pick", "insert only"};
    for (const char* k : keywords) {
        std::string code = std::string(R"(x: true parse "a" [collect [skip )") + k + "]]";
        SCOPED_TRACE(code);
        EXPECT_EQ(kel_error(code), "parse-end");
    }
    // The error names the keyword as written.
    try {
        kel_eval(R"(parse "a" ["a" ANY])");
        FAIL();
    } catch (const KelThrow& t) {
        EXPECT_EQ(t.id, "parse-end");
        EXPECT_EQ(mold(&t.args[0]), "ANY");
    }
}

// ---- exits through parse ------------------------------------------------------------------

TEST_F(Parse, ExitsLeaveParse) {
    EXPECT_EQ(kel_error(R"(parse "a" [(1 / 0)])"), "zero-divide");
    check_values({
        {R"(n: 0 loop 3 [n: n + 1 parse "a" [(break)]] n)", "1"},
        {R"(f: func [] [parse "a" [(return 5)] 9] f)", "5"},
        {R"(catch [parse "a" [(throw 7)]])", "7"},
        {R"(parse "a" ["a"])", "true"},
    });
}

// ---- the engine -------------------------------------------------------------------------

// [[[...["a"]...]]] nested `depth` deep.
Cell nested_rule(int depth) {
    RootedCell inner;
    block_make_at(inner.get(), 1);
    Cell a = string_cell("a");
    block_append_value(inner.get(), &a);
    for (int i = 0; i < depth; i++) {
        RootedCell outer;
        block_make_at(outer.get(), 1);
        block_append_value(outer.get(), inner.get());
        *inner = *outer;
    }
    return *inner;
}

// binary! input waits for the binary! datatype: a clear error, no guessing.
TEST_F(Parse, BinaryInputIsNotDoneYet) {
    RootedCell bin, rules, out;
    cell_set(bin.get(), TYPE_BINARY, 0, alloc_bytes(4), 0);
    block_make_at(rules.get(), 1);
    std::string err = raised([&] { parse_run(bin.get(), rules.get(), ParseOptions{}, out.get()); });
    EXPECT_EQ(err, "not-done");
    RootedCell holder;
    block_make_at(holder.get(), 1);
    block_append_value(holder.get(), bin.get());
    Cell w{TYPE_WORD, 0, 0, 0};
    word_set(word_from_cstring(&w, "holder"), holder.get());
    EXPECT_EQ(kel_error("parse holder [into [skip]]"), "not-done");
}

TEST_F(Parse, NestingIsBoundedByTheWorkStacks) {
    for (auto [depth, expected] : {std::pair{5000, std::string("true")}, {kParseStackLimit, std::string("parse-stack")}}) {
        SCOPED_TRACE(depth);
        Cell rules = nested_rule(depth);
        Cell w{TYPE_WORD, 0, 0, 0};
        word_set(word_from_cstring(&w, "deep-rule"), &rules);
        std::string err, got;
        err = raised([&] { got = kel_mold(R"(parse "a" deep-rule)"); });
        EXPECT_EQ(err.empty() ? got : err, expected);
    }
    // Recursion through a word is bounded the same way.
    EXPECT_EQ(kel_error(R"(r: [opt "a" r] parse "aaa" r)"), "parse-stack");
    // A failed run leaves nothing behind for the next.
    EXPECT_EQ(kel_error(R"(parse "a" [any])"), "parse-end");
    EXPECT_EQ(kel_mold(R"(parse "a" ["a"])"), "true");
}

TEST_F(Parse, TraceEvents) {
    check_values({
        {R"(ev: [] parse/trace "a" ["a"] func [e m r i s] [append ev e true] ev)", "[push fetch match pop end]"},
        {R"(ev: [] parse/trace "ab" [some "a" ["b"]] func [e m r i s] [append ev e true] ev)",
         "[push fetch fetch push fetch match pop pop end]"},
        // Each new round, and each new position tried by `to`, fetches its rule again.
        {R"(ev: [] parse/trace "aa" [some ["a"]] func [e m r i s] [append ev e true] ev)",
         "[push fetch push push fetch match pop iterate fetch push fetch match pop iterate fetch push fetch match pop pop "
         "end]"},
        {R"(ev: [] parse/trace "ab" [to ["b"] skip] func [e m r i s] [append ev e true] ev)",
         "[push fetch push push fetch match pop iterate fetch push fetch match pop fetch pop end]"},
        {R"(ev: [] parse/trace "" [(1)] func [e m r i s] [append ev e true] ev)", "[push fetch paren pop end]"},
        // Stopped at the first event: the match flag starts true.
        {R"(parse/trace "abc" ["x"] func [e m r i s] [false])", "true"},
        {R"(parse/trace "abc" ["x"] func [e m r i s] [e <> 'pop])", "false"},
        {R"(x: none parse/trace "ab" ["a" "b"] func [e m r i s] [if e = 'end [x: i] true] x)", R"("")"},
        {R"(x: none parse/trace "ab" ["a" "b"] func [e m r i s] [if e = 'end [x: r] true] x)", "[]"},
        {R"(x: none parse/trace "ab" ["a" "x"] func [e m r i s] [if e = 'end [x: m] true] x)", "false"},
        {R"(n: 0 parse/trace "ab" [any [skip]] func [e m r i s] [n: max n length? s true] n)", "9"},
        // A match event shows the rule block at the literal it tried.
        {R"(x: [] parse/trace "ab" ["a" quote "b"] func [e m r i s] [if e = 'match [append/only x r] true] x)",
         R"([["a" quote "b"] ["b"]])"},
        {R"(parse/trace "a" ["a"] func [e] [true])", "true"},
    });
}

// The stack a trace callback receives: three cells an entry, a modifier's
// marker a pair! of its kind and pick flag, a repetition's bounds a triple!
// {min, max, round} whose round counts from 1.
TEST_F(Parse, TraceStackDescribesModifiers) {
    auto captured = [](const char* code) {
        kel_eval(code);
        Cell w{TYPE_WORD, 0, 0, 0};
        return *word_get_any(word_from_cstring(&w, "st"));
    };
    auto cell_at = [](const Cell& block, uint32_t i) { return arena_at<Cell>(node_buffer(block.data2)->head)[i]; };
    auto cells = [](const Cell& block) { return (node_buffer(block.data2)->tail - node_buffer(block.data2)->head) >> 4; };
    // At the fetch of the second round's "a": the bottom block, `some`, its block.
    Cell st = captured(
        R"(st: none parse/trace "aaa" [some ["a"]] func [e m r i s] [if all [e = 'fetch 2 = index? i] [st: s] true])");
    ASSERT_TRUE(st.is(TYPE_BLOCK));
    EXPECT_EQ(cells(st), 9u);
    Cell bounds = cell_at(st, 3), marker = cell_at(st, 5);
    ASSERT_TRUE(bounds.is(TYPE_TRIPLE));
    EXPECT_EQ(int32_t(bounds.data1), 1);
    EXPECT_EQ(int32_t(bounds.data2), -1);
    EXPECT_EQ(int32_t(bounds.data3), 2);
    ASSERT_TRUE(marker.is(TYPE_PAIR));
    EXPECT_EQ(int32_t(marker.data2), -1);
    // `change only` has a kind of its own.
    st = captured(R"(st: none parse/trace "ab" [change only [2 skip] "x"] func [e m r i s] [if 9 = length? s [st: s] true])");
    ASSERT_TRUE(st.is(TYPE_BLOCK));
    EXPECT_EQ(cells(st), 9u);
    marker = cell_at(st, 5);
    ASSERT_TRUE(marker.is(TYPE_PAIR));
    EXPECT_EQ(int32_t(marker.data2), -18);
}

// The collector runs at every allocation, node evacuation included, while
// PARSE copies, collects and edits: the values it holds must stay alive and
// be repointed. In a child process (see the file comment).
[[noreturn]] void collecting_runs() {
    kel_eval(R"(
        text: "ab,cd;ef,gh;"
        rows-rule: [collect some [collect [copy f to #"," skip keep (f) keep to #";" skip]]]
        edits: "abc"
        edits-rule: [skip insert "x" change "b" "yy" remove "c"]
        nested: [[1 "two" [3]] x]
        nested-rule: [collect [into [keep integer! copy s string! keep (s) into [keep pick integer!]] 'x]]
        none)");
    auto get = [](const char* name) {
        Cell w{TYPE_WORD, 0, 0, 0};
        word_from_cstring(&w, name);
        return *word_get_any(&w);
    };
    struct Job {
        const char* input;
        const char* rules;
        const char* expected;
    };
    bool ok = true;
    for (const Job& j : {Job{"text", "rows-rule", R"([["ab" "cd"] ["ef" "gh"]])"}, Job{"edits", "edits-rule", "true"},
                         Job{"nested", "nested-rule", R"([1 ["two"] 3])"}}) {
        RootedCell input, rules, out;
        *input = get(j.input);
        *rules = get(j.rules);
        g_gc.stress_every = 1;
        g_gc_enabled = true;
        std::string err = raised([&] {
            interp_run_on_big_stack([&] { parse_run(input.get(), rules.get(), ParseOptions{}, out.get()); });
        });
        g_gc_enabled = false;
        g_gc.stress_every = 0;
        std::string got = err.empty() ? mold(out.get()) : err;
        if (got != j.expected) {
            std::fprintf(stderr, "%s: got %s, want %s\n", j.rules, got.c_str(), j.expected);
            ok = false;
        }
    }
    Cell edited = get("edits");
    if (mold(&edited) != R"("axyy")") ok = false;
    std::fflush(stderr);
    std::_Exit(ok ? 0 : 1);
}

TEST_F(Parse, SurvivesCollectionsAtEveryAllocation) {
    EXPECT_EXIT(collecting_runs(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
