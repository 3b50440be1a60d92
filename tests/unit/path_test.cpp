// paren! and the path types: text forms, make/to and what they inherit.
#include <string>

#include "tests/unit/block_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct Path : SeriesFixture {
    static Cell to(TypeId type, const char* text) {
        Cell proto = DT(type), spec = load(text);
        return *action_fn<ACT_TO>(type)(&proto, &spec, type);
    }
};

TEST_F(Path, MoldAndFormOfEachType) {
    struct Case {
        TypeId type;
        const char* text;
        const char* molded;
        const char* formed;
    } cases[] = {
        {TYPE_PAREN, "1 2", "(1 2)", "1 2"},
        {TYPE_PATH, "a b 1", "a/b/1", "a/b/1"},
        {TYPE_SET_PATH, "a b", "a/b:", "a/b"},
        {TYPE_LIT_PATH, "a b", "'a/b", "a/b"},
        {TYPE_GET_PATH, "a b", ":a/b", "a/b"},
        {TYPE_PATH, "a", "a", "a"},
        {TYPE_PATH, "", "", ""},
        {TYPE_SET_PATH, "", ":", ""},
        {TYPE_PATH, "a (b c) \"s\"", "a/(b c)/\"s\"", "a/b c/s"},
    };
    for (const Case& c : cases) {
        Cell v = to(c.type, c.text);
        EXPECT_TRUE(v.is(c.type));
        EXPECT_EQ(mold(v), c.molded) << c.text;
        EXPECT_EQ(form(v), c.formed) << c.text;
    }
    EXPECT_EQ(mold(to(TYPE_PAREN, "1 2"), true), "1 2");
    // A string item keeps double quotes where a lone string takes braces.
    Cell quoted = to(TYPE_PATH, "a \"x\" b");
    Cell item = *block_cell_at(&quoted, 1);
    string_append_char(&item, '"');
    EXPECT_EQ(mold(item), "{x\"}");
    EXPECT_EQ(mold(quoted), "a/\"x^\"\"/b");
}

TEST_F(Path, SelfContainingParensAndPathsMoldWithTheirMarkers) {
    Cell paren = to(TYPE_PAREN, "1");
    Cell self = paren;
    block_append(&paren, &self, -1, true, 1, true);
    EXPECT_EQ(mold(paren), "(1 (...))");
    Cell path = to(TYPE_PATH, "a");
    Cell pself = path;
    block_append(&path, &pself, -1, true, 1, true);
    EXPECT_EQ(mold(path), "a/...");
    EXPECT_EQ(form(path), "a/...");
}

TEST_F(Path, MakeTakesBlocksAndSizes) {
    Cell proto = DT(TYPE_PATH);
    Cell zero = I(0);
    Cell empty = *path_make(&proto, &zero, TYPE_PATH);
    EXPECT_TRUE(empty.is(TYPE_PATH));
    EXPECT_EQ(block_length_from_head(&empty), 0);
    Cell str = S("a");
    EXPECT_EQ(error_of([&] { path_make(&proto, &str, TYPE_PATH); }), "bad-make-arg");
    Cell src = load("x y");
    Cell made = *path_make(&proto, &src, TYPE_SET_PATH);
    EXPECT_EQ(mold(made), "x/y:");
    Cell n = I(5);
    EXPECT_EQ(mold(*path_to(&proto, &n, TYPE_LIT_PATH)), "'5");

    Cell at;
    path_make_at(&at, 3);
    EXPECT_TRUE(at.is(TYPE_PATH));
    StackGuard guard;
    Cell loaded = load("a b");
    Cell* pushed = set_path_push_from_cell(&loaded);
    EXPECT_EQ(mold(*pushed), "a/b:");
}

TEST_F(Path, ParensAndPathsInheritBlockActionsButNotTrimOrPathSort) {
    EXPECT_EQ(action_entry(TYPE_PAREN, ACT_TRIM), nullptr);
    EXPECT_EQ(action_entry(TYPE_PATH, ACT_TRIM), nullptr);
    EXPECT_EQ(action_entry(TYPE_PATH, ACT_SORT), nullptr);
    EXPECT_EQ(action_entry(TYPE_SET_PATH, ACT_SORT), nullptr);
    EXPECT_NE(action_entry(TYPE_PAREN, ACT_SORT), nullptr);
    EXPECT_EQ(error_of([] { action_fn<ACT_TRIM>(TYPE_PAREN); }), "expect-arg");

    Cell path = to(TYPE_PATH, "a b c");
    Cell w = W("b");
    Cell found = path;
    EXPECT_EQ(mold(*action_fn<ACT_FIND>(TYPE_PATH)(&found, &w, FindArgs{})), "b/c");
    Cell selected = path;
    EXPECT_EQ(mold(*action_fn<ACT_SELECT>(TYPE_PATH)(&selected, &w, FindArgs{})), "c");
    EXPECT_EQ(mold(*block_eval_path(&path, &w, nullptr, EvalPathArgs{})), "c");
    Cell picked = path;
    EXPECT_EQ(mold(*action_fn<ACT_PICK>(TYPE_GET_PATH)(&picked, 2, nullptr)), "b");
    Cell d = W("d");
    action_fn<ACT_APPEND>(TYPE_LIT_PATH)(&path, &d, -1, false, 1, true);
    EXPECT_EQ(mold(path), "a/b/c/d");

    // Comparison: a path and a lit-path are equal only under the word codes.
    Cell p = to(TYPE_PATH, "a b"), lp = to(TYPE_LIT_PATH, "a b");
    EXPECT_FALSE(actions_compare_call(&p, &lp, COMP_EQUAL));
    EXPECT_TRUE(actions_compare_call(&p, &lp, COMP_FIND_WORD_CASE));

    Cell copy;
    action_fn<ACT_COPY>(TYPE_SET_PATH)(&lp, &copy, nullptr, false, nullptr);
    EXPECT_EQ(mold(copy), "'a/b");
    EXPECT_NE(copy.data2, lp.data2);
}

}  // namespace
