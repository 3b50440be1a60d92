// block!: construction, editing, search, comparison, sort, mold/form and set
// operations.
#include <string>
#include <vector>

#include "runtime/datatypes/typeset.h"
#include "runtime/hashtable.h"
#include "tests/unit/block_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct Block : SeriesFixture {
    static Cell at_index(Cell s, int32_t i) {
        series_set_index(&s, i);
        return s;
    }
};

// ---- append, insert, change ---------------------------------------------------------

TEST_F(Block, AppendInsertAndChangeSpliceWithPartDupAndOnly) {
    struct Case {
        const char* series;
        int32_t head;
        const char* value;  // one value in brackets, or a block's contents
        bool block_value;
        int32_t part, dup;
        bool only;
        int kind;  // 0 append, 1 insert, 2 change
        const char* expect;
        int32_t result_head;
    } cases[] = {
        {"1", 0, "2 3", true, -1, 1, false, 0, "[1 2 3]", 0},
        {"1", 0, "2 3", true, -1, 1, true, 0, "[1 [2 3]]", 0},
        {"1", 0, "2 3 4", true, 2, 1, false, 0, "[1 2 3]", 0},
        {"", 0, "0", false, -1, 3, false, 0, "[0 0 0]", 0},
        {"1 2", 1, "3", false, -1, 1, false, 0, "[1 2 3]", 0},  // append returns the head
        {"1 2", 1, "", true, -1, 1, false, 1, "[1 2]", 1},      // an empty splice changes nothing
        {"1 2", 1, "a b", true, -1, 2, false, 1, "[1 a b a b 2]", 5},
        {"1 2 3", 0, "a b c d", true, -1, 1, false, 2, "[a b c d]", 4},
        {"1 2 3", 0, "a", false, 2, 1, false, 2, "[a 3]", 1},
        {"1 2 3", 1, "a b", true, -1, 2, false, 2, "[1 a b a b]", 5},
        {"1 2 3", 1, "x", false, 0, 1, false, 2, "[1 x 2 3]", 2},
    };
    for (const Case& c : cases) {
        Cell s = at_index(load(c.series), c.head);
        Cell v = c.block_value ? load(c.value) : V(c.value);
        Cell* r = c.kind == 2 ? block_change(&s, &v, c.part, c.only, c.dup)
                              : block_append(&s, &v, c.part, c.only, c.dup, c.kind == 0);
        EXPECT_EQ(whole(*r), c.expect) << c.series << " / " << c.value;
        EXPECT_EQ(series_index(r), c.result_head) << c.series << " / " << c.value;
    }
}

TEST_F(Block, SplicingABlockIntoItselfReadsTheOriginalCells) {
    Cell b = load("1 2 3");
    Cell self = b;
    block_append(&b, &self, -1, false, 1, false);  // insert at the head
    EXPECT_EQ(whole(b), "[1 2 3 1 2 3]");
    Cell c = load("1 2 3");
    Cell mid = at_index(c, 1), tail_part = at_index(c, 1);
    block_append(&mid, &tail_part, -1, false, 2, false);
    EXPECT_EQ(whole(c), "[1 2 3 2 3 2 3]");
    Cell d = load("1 2 3 4");
    Cell front = d, later = at_index(d, 2);
    block_change(&front, &later, -1, false, 1);
    EXPECT_EQ(whole(d), "[3 4 3 4]");
}

TEST_F(Block, OversizedDupRaisesAndLeavesTheBlock) {
    Cell b = load("1 2");
    Cell v = I(0);
    EXPECT_EQ(error_of([&] { block_append(&b, &v, -1, false, 0x7FFFFFFF, true); }), "no-memory");
    EXPECT_EQ(mold(b), "[1 2]");
    EXPECT_EQ(error_of([&] { block_change(&b, &v, -1, false, 0x7FFFFFFF); }), "no-memory");
    EXPECT_EQ(mold(b), "[1 2]");
}

// ---- make, to, take, swap, trim, copy ----------------------------------------------------------

TEST_F(Block, MakeAndTo) {
    Cell proto = DT(TYPE_BLOCK);
    Cell zero = I(0);
    Cell r = *block_make(&proto, &zero, TYPE_BLOCK);
    EXPECT_EQ(mold(r), "[]");
    Cell str = S("a");
    EXPECT_EQ(error_of([&] { block_make(&proto, &str, TYPE_BLOCK); }), "bad-make-arg");
    Cell big{TYPE_FLOAT, 0, 0, 0};
    cell_put_float(&big, 1e10);
    EXPECT_EQ(error_of([&] { block_make(&proto, &big, TYPE_BLOCK); }), "out-of-range");
    Cell five = I(5);
    EXPECT_EQ(mold(*block_to(&proto, &five, TYPE_BLOCK)), "[5]");
    Cell src = at_index(load("1 (2) 3"), 1);
    Cell copy = *block_make(&proto, &src, TYPE_PAREN);
    EXPECT_EQ(mold(copy), "((2) 3)");
    EXPECT_NE(copy.data2, src.data2);

    // A string converts through the lexer's converter.
    EXPECT_EQ(error_of([&] { block_to(&proto, &str, TYPE_BLOCK); }), "not-done");
    block_set_converter(TYPE_STRING, [](const Cell* spec, Cell* out) {
        *out = load(string_to_utf8(spec));
        return out;
    });
    Cell ab = S("a b");
    EXPECT_EQ(mold(*block_to(&proto, &ab, TYPE_BLOCK)), "[a b]");
    block_set_converter(TYPE_STRING, nullptr);
}

TEST_F(Block, SwapTrimAndCopy) {
    Cell a = load("1 2"), b = at_index(load("x y"), 1);
    block_swap(&a, &b);
    EXPECT_EQ(whole(a), "[y 2]");
    EXPECT_EQ(whole(b), "[x 1]");
    Cell n = I(1);
    EXPECT_EQ(error_of([&] { block_swap(&a, &n); }), "invalid-arg");

    Cell t = load("1 none 2 none");
    block_trim(&t, TrimArgs{});
    EXPECT_EQ(mold(t), "[1 2]");

    Cell nested = load("[1 [2]] \"s\"");
    Cell shallow, deep;
    block_copy(&nested, &shallow, nullptr, false, nullptr);
    block_copy(&nested, &deep, nullptr, true, nullptr);
    EXPECT_EQ(block_cell_at(&shallow, 0)->data2, block_cell_at(&nested, 0)->data2);
    EXPECT_NE(block_cell_at(&deep, 0)->data2, block_cell_at(&nested, 0)->data2);
    Cell inner = *block_cell_at(&deep, 0);
    EXPECT_NE(block_cell_at(&inner, 1)->data2, block_cell_at(block_cell_at(&nested, 0), 1)->data2);
    EXPECT_NE(block_cell_at(&deep, 1)->data2, block_cell_at(&nested, 1)->data2);
    EXPECT_EQ(mold(deep), "[[1 [2]] \"s\"]");

    Cell types = DT(TYPE_STRING);
    Cell typed;
    block_copy(&nested, &typed, nullptr, false, &types);
    EXPECT_EQ(block_cell_at(&typed, 0)->data2, block_cell_at(&nested, 0)->data2);
    EXPECT_NE(block_cell_at(&typed, 1)->data2, block_cell_at(&nested, 1)->data2);
}

TEST_F(Block, DeepCopiesOfASelfContainingBlockRaiseNoCycle) {
    Cell b = load("1");
    Cell self = b;
    block_append(&b, &self, -1, true, 1, true);
    Cell out;
    EXPECT_EQ(error_of([&] { block_copy(&b, &out, nullptr, false, nullptr); }), "");
    EXPECT_EQ(error_of([&] { block_copy(&b, &out, nullptr, true, nullptr); }), "no-cycle");
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_EQ(error_of([&] { block_clone(&b, true, false); }), "no-cycle");
    EXPECT_EQ(cycles_depth(), 0u);
}

// ---- low-level operations ---------------------------------------------------------------

TEST_F(Block, LowLevelInsertSelectAndRemove) {
    Cell b = load("a 1 b 2");
    Cell x = W("x");
    block_insert_value(&b, &x, true, true);
    EXPECT_EQ(whole(b), "[x a 1 b 2]");
    EXPECT_EQ(series_index(&b), 1);
    Cell key = W("B");
    EXPECT_EQ(mold(*block_select_value(&b, &key)), "2");
    EXPECT_EQ(mold(*block_select_word(&b, key.data2, false)), "2");
    EXPECT_TRUE(block_select_word(&b, key.data2, true)->is(TYPE_NONE));
    Cell two = I(2);
    EXPECT_TRUE(block_select_value(&b, &two)->is(TYPE_NONE));  // last cell
    EXPECT_TRUE(block_remove_value(&b, &x, true));
    EXPECT_EQ(whole(b), "[a 1 b 2]");
    Cell one = I(1), two_again = I(2);
    EXPECT_TRUE(block_remove_value(&b, &one, false));  // at the head
    EXPECT_FALSE(block_remove_value(&b, &two_again, false));
    EXPECT_EQ(whole(b), "[a b]");

    Cell src = load("p q");
    Cell dst = at_index(load("1 2"), 1);
    block_insert_all(&dst, &src);
    EXPECT_EQ(whole(dst), "[1 p q 2]");
    EXPECT_EQ(series_index(&dst), 3);
    block_append_all(&dst, &src);
    EXPECT_EQ(whole(dst), "[1 p q 2 p q]");
}

TEST_F(Block, FixedBlocksKeepTheirCapacityAndTheRootBlockGrows) {
    Cell fixed = *block_append_new_fixed(nullptr, 2);
    EXPECT_TRUE(series_buf(&fixed)->flags & SERIES_FIXED);
    Off buffer = series_buf(&fixed)->data_start();
    Cell v = I(1);
    block_append_value(&fixed, &v);
    block_append_value(&fixed, &v);
    EXPECT_EQ(error_of([&] { block_append_value(&fixed, &v); }), "no-memory");
    EXPECT_EQ(block_length_from_head(&fixed), 2);
    EXPECT_EQ(series_buf(&fixed)->data_start(), buffer);

    int32_t before = block_length_from_head(&g_root_block);
    for (int i = 0; i < 100; i++) block_append_new(nullptr, 1);
    EXPECT_EQ(block_length_from_head(&g_root_block), before + 100);

    Cell copy;
    series_copy(&fixed, &copy, nullptr, false, nullptr);
    EXPECT_FALSE(series_buf(&copy)->flags & SERIES_FIXED);  // copies are ordinary buffers
    EXPECT_EQ(mold(copy), "[1 1]");
}

TEST_F(Block, StackForms) {
    StackGuard guard;
    stack_mark_native(0);
    block_push_only(0);
    Cell v = I(7);
    stack_push(&v);
    block_append_arg();
    EXPECT_EQ(mold(*stack_arg(0)), "[7]");
    Cell* clone = block_clone(stack_arg(0), false, false);
    EXPECT_EQ(mold(*clone), "[7]");
    EXPECT_NE(clone->data2, stack_arg(0)->data2);
}

// ---- find, select, put, path access --------------------------------------------------------

TEST_F(Block, FindWithItsRefinements) {
    Cell abc = load("a b c");
    Cell two = I(2);
    struct Case {
        const char* series;
        int32_t head;
        Cell value;
        FindArgs args;
        int32_t expect;  // head index found, -1 for none
    } cases[] = {
        {"a b c", 0, load("b c"), {}, 1},
        {"a [b c] b c", 0, load("b c"), {.only = true}, 1},
        {"a b [b c]", 0, load("b c"), {.only = true}, 2},
        {"1 \"a\" 2", 0, DT(TYPE_STRING), {}, 1},
        {"a b c", 0, W("b"), {.tail = true}, 2},
        {"a b a", 0, W("a"), {.last = true}, 2},
        {"a b", 0, W("b"), {.match = true}, -1},
        {"a b", 0, W("a"), {.match = true}, 0},
        {"a b a c", 3, W("a"), {.reverse = true}, 2},
        {"a b a c", 1, W("a"), {.reverse = true}, 0},
        {"a 1 b a", 0, W("a"), {.skip = nullptr}, 0},
        {"x a a b", 0, W("a"), {.skip = &two}, 2},
        {"x a a b", 0, W("a"), {.skip = &two, .tail = true}, 4},
        {"a b c", 0, W("c"), {.part = &two}, -1},
        {"a b c", 0, W("b"), {.part = &two}, 1},
        {"a b c", 0, W("B"), {.case_ = true}, -1},
        {"a b c", 0, W("B"), {}, 1},
        {"", 0, W("a"), {}, -1},
    };
    for (Case& c : cases) {
        Cell s = at_index(load(c.series), c.head);
        Cell* r = block_find(&s, &c.value, c.args);
        if (c.expect < 0) EXPECT_TRUE(r->is(TYPE_NONE)) << c.series << " " << mold(c.value);
        else EXPECT_EQ(series_index(r), c.expect) << c.series << " " << mold(c.value);
    }
    Cell zero = I(0), w = W("a");
    FindArgs bad_skip{.skip = &zero};
    EXPECT_EQ(error_of([&] { block_find(&abc, &w, bad_skip); }), "out-of-range");
    Cell other = load("a");
    FindArgs bad_part{.part = &other};
    EXPECT_EQ(error_of([&] { block_find(&abc, &w, bad_part); }), "invalid-refine-arg");
}

TEST_F(Block, SelectAndPut) {
    struct Case {
        const char* series;
        Cell key;
        const char* expect;
    } cases[] = {
        {"a 1 b 2", W("b"), "2"}, {"a 1 b", W("b"), "none"}, {"a b c d", load("a b"), "c"}, {"a", W("z"), "none"}};
    for (Case& c : cases) {
        Cell s = load(c.series);
        EXPECT_EQ(mold(*block_select(&s, &c.key, FindArgs{})), c.expect) << c.series;
    }
    Cell b = load("a 1 b");
    Cell key = W("a"), v = I(9), kb = W("b"), kc = W("c");
    EXPECT_EQ(block_put(&b, &key, &v, false), &v);
    block_put(&b, &kb, &v, false);
    block_put(&b, &kc, &v, false);
    EXPECT_EQ(mold(b), "[a 9 b 9 c 9]");
}

TEST_F(Block, PathAccessGetsAndSets) {
    Cell b = load("x: 10 y 20");
    Cell word = W("X"), one = I(1), three = I(3), nine = I(9), seven = I(7), missing = W("z");
    EXPECT_EQ(mold(*block_eval_path(&b, &word, nullptr, EvalPathArgs{})), "10");
    EXPECT_TRUE(block_eval_path(&b, &word, nullptr, EvalPathArgs{.case_ = true})->is(TYPE_NONE));
    EXPECT_EQ(mold(*block_eval_path(&b, &one, nullptr, EvalPathArgs{})), "x:");
    EXPECT_EQ(mold(*block_eval_path(&b, &three, nullptr, EvalPathArgs{})), "y");
    Cell zero = I(0);
    EXPECT_TRUE(block_eval_path(&b, &zero, nullptr, EvalPathArgs{})->is(TYPE_NONE));
    block_eval_path(&b, &three, &nine, EvalPathArgs{});
    EXPECT_EQ(error_of([&] { block_eval_path(&b, &missing, &nine, EvalPathArgs{}); }), "bad-path-set");
    block_eval_path(&b, &word, &seven, EvalPathArgs{});
    EXPECT_EQ(mold(b), "[x: 7 9 20]");
}

// A hash! over the text's cells, with its table.
Cell hash_of(const char* text) {
    Cell h = load(text);
    cell_set_type(&h, TYPE_HASH);
    h.data3 = hashtable_make(uint32_t(block_length_from_head(&h)), &h, HASH_KIND_BLOCK, 0);
    return h;
}

TEST_F(Block, HashedFindAgreesWithTheScanAfterEdits) {
    Cell h = hash_of("a 1 b 2 A 3 b 4");
    Cell two = I(2);
    auto check = [&](const char* when) {
        Cell plain = h;
        cell_set_type(&plain, TYPE_BLOCK);
        for (const char* key : {"a", "b", "c", "A"}) {
            for (int variant = 0; variant < 5; variant++) {
                FindArgs args;
                int32_t head = 0;
                if (variant == 1) args.last = true;
                if (variant == 2) args.skip = &two;
                if (variant == 3) args.case_ = true;
                if (variant == 4) args.reverse = true, head = 4;
                Cell k = W(key), a = h, b = plain;
                series_set_index(&a, head);
                series_set_index(&b, head);
                Cell* ra = block_find(&a, &k, args);
                Cell* rb = block_find(&b, &k, args);
                int32_t ia = ra->is(TYPE_NONE) ? -1 : series_index(ra), ib = rb->is(TYPE_NONE) ? -1 : series_index(rb);
                EXPECT_EQ(ia, ib) << when << " key " << key << " variant " << variant;
            }
        }
    };
    check("made");
    Cell more = load("c 5");
    block_append(&h, &more, -1, false, 1, true);
    check("appended");
    Cell front = W("x");
    Cell at_head = h;
    block_append(&at_head, &front, -1, false, 1, false);
    check("inserted");
    Cell second = at_index(h, 1);
    series_remove(&second, &two, nullptr);
    check("removed");
    series_reverse(&h, nullptr, nullptr);
    check("reversed");
    Cell taken = h;
    block_take(&taken, &two, false, false);
    ASSERT_TRUE(taken.is(TYPE_HASH));
    EXPECT_NE(taken.data3, 0u);  // the taken part has an index of its own
    Cell k = *block_cell_at(&taken, 1);
    Cell found = taken;
    EXPECT_EQ(series_index(block_find(&found, &k, FindArgs{})), 1);
    check("taken");
}

TEST_F(Block, TypesetsConvertToBlocksOfDatatypes) {
    Cell ts{TYPE_TYPESET, 0, 0, 0};
    typeset_set(&ts, TYPE_INTEGER);
    typeset_set(&ts, TYPE_BLOCK);
    Cell proto = DT(TYPE_BLOCK);
    EXPECT_EQ(mold(*block_to(&proto, &ts, TYPE_BLOCK)), "[block! integer!]");
    Cell in_path = DT(TYPE_PATH);
    EXPECT_EQ(block_length_from_head(path_to(&in_path, &ts, TYPE_PATH)), 1);  // a path holds the typeset itself
    Cell b = load("1 \"a\" x");
    Cell found = b;
    EXPECT_EQ(series_index(block_find(&found, &ts, FindArgs{})), 0);
    Cell only_words{TYPE_TYPESET, 0, 0, 0};
    typeset_set(&only_words, TYPE_WORD);
    found = b;
    EXPECT_EQ(series_index(block_find(&found, &only_words, FindArgs{})), 2);
}

// ---- compare -------------------------------------------------------------------------------------

TEST_F(Block, CompareOrdersByCellsThenLength) {
    struct Case {
        const char* a;
        const char* b;
        int32_t op;
        bool expect;
    } cases[] = {
        {"1 2", "1 2", COMP_EQUAL, true},      {"1 2", "1 3", COMP_LESSER, true},
        {"", "1", COMP_LESSER, true},          {"1", "1 2", COMP_LESSER, true},
        {"1 \"a\"", "1 2", COMP_LESSER, true},  // string! orders before integer! by type id
        {"a", "A", COMP_EQUAL, true},          {"a", "A", COMP_STRICT_EQUAL, false},
        {"1 2", "1 2", COMP_SAME, false},      {"1 2", "2", COMP_NOT_EQUAL, true},
        {"[1 [2]]", "[1 [2]]", COMP_EQUAL, true},
    };
    for (const Case& c : cases) {
        Cell a = load(c.a), b = load(c.b);
        EXPECT_EQ(actions_compare_call(&a, &b, c.op), c.expect) << c.a << " vs " << c.b << " op " << c.op;
    }
    Cell a = load("1");
    EXPECT_TRUE(actions_compare_call(&a, &a, COMP_SAME));
    Cell n = I(1);
    EXPECT_FALSE(actions_compare_call(&a, &n, COMP_EQUAL));
    EXPECT_EQ(error_of([&] { actions_compare_call(&a, &n, COMP_LESSER); }), "invalid-compare");
}

TEST_F(Block, SelfContainingBlocksCompareWithoutEndlessRecursion) {
    Cell a = load("1"), b = load("1");
    Cell sa = a, sb = b;
    block_append(&a, &sa, -1, true, 1, true);
    block_append(&b, &sb, -1, true, 1, true);
    EXPECT_TRUE(actions_compare_call(&a, &b, COMP_EQUAL));
    EXPECT_TRUE(actions_compare_call(&a, &a, COMP_EQUAL));
    EXPECT_EQ(cycles_depth(), 0u);
}

// ---- sort ----------------------------------------------------------------------------------------

TEST_F(Block, SortWithItsRefinements) {
    Cell two = I(2), one = I(1), three = I(3), minus2 = I(-2);
    struct Case {
        const char* series;
        int32_t head;
        SortArgs args;
        const char* expect;
    } cases[] = {
        {"3 1 2", 0, {}, "[1 2 3]"},
        {"b 2 a 1", 0, {.skip = &two}, "[a 1 b 2]"},
        {"3 1 2", 0, {.reverse = true}, "[3 2 1]"},
        {"b 1 a 2", 0, {.skip = &two, .compare = &two}, "[b 1 a 2]"},
        {"a 2 b 1", 0, {.skip = &two, .compare = &two}, "[b 1 a 2]"},
        {"a 2 a 1", 0, {.skip = &two, .all = true}, "[a 1 a 2]"},
        {"3 2 1 0", 0, {.part = &two}, "[2 3 1 0]"},
        {"9 3 2 1 0", 3, {.part = &minus2}, "[9 2 3 1 0]"},
        {"B a C d", 0, {}, "[a B C d]"},
        {"B a C d", 0, {.case_ = true}, "[B C a d]"},
        {"x 3 \"s\" 1", 0, {}, "[\"s\" 1 3 x]"},  // mixed types order by type id
    };
    for (Case& c : cases) {
        Cell s = at_index(load(c.series), c.head);
        block_sort(&s, c.args);
        EXPECT_EQ(whole(s), c.expect) << c.series;
    }
    Cell s = load("1 2 3");
    Cell text = S("x"), other = load("1");
    struct Bad {
        SortArgs args;
        const char* error;
    } bad[] = {
        {{.skip = &two}, "invalid-refine-arg"},
        {{.all = true}, "bad-refines"},
        {{.compare = &two}, "bad-refines"},
        {{.skip = &one, .compare = &two}, "out-of-range"},
        {{.compare = &text}, "invalid-refine-arg"},
        {{.part = &other}, "invalid-refine-arg"},
        {{.skip = &three, .compare = &three, .all = true}, "bad-refines"},
    };
    for (Bad& b : bad) EXPECT_EQ(error_of([&] { block_sort(&s, b.args); }), b.error);
    EXPECT_EQ(mold(s), "[1 2 3]");
}

TEST_F(Block, StableSortKeepsTheOrderOfEqualRecords) {
    Cell s = load("b 1 a 1 c 0 d 1 e 0");
    Cell two = I(2);
    block_sort(&s, SortArgs{.skip = &two, .compare = &two, .stable = true});
    EXPECT_EQ(mold(s), "[c 0 e 0 b 1 a 1 d 1]");
    block_sort(&s, SortArgs{.skip = &two, .compare = &two, .reverse = true, .stable = true});
    EXPECT_EQ(mold(s), "[b 1 a 1 d 1 c 0 e 0]");
}

// A comparator standing for the evaluator: `fn` holds 1 for "a > b", 2 for
// "a < b"; /all passes two record blocks, compared on their first cells.
void fake_comparator(const Cell* fn, const Cell* a, const Cell* b, Cell* result) {
    if (type_block_family(a->type())) a = block_cell_at(a, 0), b = block_cell_at(b, 0);
    int32_t x = int32_t(a->data2), y = int32_t(b->data2);
    cell_set(result, TYPE_LOGIC, fn->data1 == 1 ? x > y : x < y);
}

TEST_F(Block, SortWithAComparatorFunctionPutsTheFirstValueFirstOnTrue) {
    Cell greater{TYPE_FUNCTION, 1, 0, 0}, lesser{TYPE_FUNCTION, 2, 0, 0};
    Cell s = load("2 5 1 4 3");
    EXPECT_EQ(error_of([&] { block_sort(&s, SortArgs{.compare = &greater}); }), "not-done");
    g_sort_comparator_call = fake_comparator;
    block_sort(&s, SortArgs{.compare = &greater});
    EXPECT_EQ(mold(s), "[5 4 3 2 1]");
    block_sort(&s, SortArgs{.compare = &lesser, .stable = true});
    EXPECT_EQ(mold(s), "[1 2 3 4 5]");
    Cell r = load("1 a 3 b 2 c");
    Cell two = I(2);
    block_sort(&r, SortArgs{.skip = &two, .compare = &greater, .all = true});
    EXPECT_EQ(mold(r), "[3 b 2 c 1 a]");
    g_sort_comparator_call = nullptr;
}

TEST_F(Block, ComparatorResultsMapToOneOrder) {
    Cell f{TYPE_FLOAT, 0, 0, 0};
    cell_put_float(&f, -0.5);
    struct Case {
        Cell result;
        int32_t order;
    } cases[] = {{Cell{TYPE_LOGIC, 1, 0, 0}, -1}, {Cell{TYPE_LOGIC, 0, 0, 0}, 1}, {none(), 1},
                 {I(-7), -1}, {I(0), 0}, {I(3), 1}, {f, -1}, {W("x"), -1}};
    for (Case& c : cases) EXPECT_EQ(sort_comparator_order(&c.result), c.order) << mold(c.result);
}

// ---- form and mold --------------------------------------------------------------------------------

TEST_F(Block, FormAndMold) {
    Cell b = load("1 [2 3] \"a\"");
    EXPECT_EQ(form(b), "1 2 3 a");
    EXPECT_EQ(mold(b), "[1 [2 3] \"a\"]");
    EXPECT_EQ(mold(b, true), "1 [2 3] \"a\"");
    EXPECT_EQ(mold(load("")), "[]");
    EXPECT_EQ(mold(at_index(load("1 2"), 5)), "[]");
    EXPECT_EQ(form(load("\"\" 1")), " 1");
    EXPECT_EQ(form(load("\"a\n\" 1")), "a\n1");
}

TEST_F(Block, MoldBreaksLinesWhereValuesBeganOne) {
    EXPECT_EQ(mold(load("1\n2")), "[1\n2]");
    EXPECT_EQ(mold(load("\n1\n2")), "[\n    1\n    2\n]");
    EXPECT_EQ(mold(load("\n1 [\n2]")), "[\n    1 [\n        2\n    ]\n]");
    EXPECT_EQ(mold(load("\n1\n2"), true), "1\n2");
    EXPECT_EQ(mold(load("\n1\n2"), false, true), "[1 2]");
}

TEST_F(Block, MoldPartStopsOnceTheLimitIsUsed) {
    Cell b = load("1 2 3 4 5 6");
    Cell buf, part = I(3);
    string_make(&buf, 16);
    int32_t left = block_mold(&b, &buf, false, false, false, &part, 3, 0);
    EXPECT_EQ(string_to_utf8(&buf), "[1 2]");
    EXPECT_EQ(left, -2);
}

TEST_F(Block, SelfContainingBlocksMoldWithAMarker) {
    Cell b = load("1");
    Cell self = b;
    block_append(&b, &self, -1, true, 1, true);
    EXPECT_EQ(mold(b), "[1 [...]]");
    EXPECT_EQ(form(b), "1 ...");
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Block, NestingBeyondTheCycleStackRaisesTooDeepAndRecovers) {
    auto nest = [](int depth) {
        Cell outer = load("");
        Cell b = outer;
        for (int i = 1; i < depth; i++) {
            Cell inner = load("");
            block_append(&b, &inner, -1, true, 1, true);
            b = inner;
        }
        return outer;
    };
    Cell ok = nest(999);
    std::string text = mold(ok);
    EXPECT_EQ(text.size(), 999u * 2);
    EXPECT_EQ(error_of([&] { mold(nest(1000)); }), "too-deep");
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_EQ(mold(load("1 [2]")), "[1 [2]]");
    EXPECT_EQ(mold(ok), text);
}

// ---- set operations -------------------------------------------------------------------------------

TEST_F(Block, SetOperations) {
    StackGuard guard;
    struct Case {
        int32_t op;
        const char* a;
        const char* b;
        int32_t skip;
        const char* expect;
    } cases[] = {
        {OP_UNIQUE, "a b a", nullptr, 0, "[a b]"},
        {OP_UNIQUE, "a B A", nullptr, 0, "[a B]"},
        {OP_DIFFERENCE, "a b", "b c", 0, "[a c]"},
        {OP_UNION, "a b", "b c a", 0, "[a b c]"},
        {OP_INTERSECT, "a b c", "c b", 0, "[b c]"},
        {OP_EXCLUDE, "a b c", "b", 0, "[a c]"},
        {OP_UNIQUE, "a 1 b 2 a 3", nullptr, 2, "[a 1 b 2]"},
        {OP_INTERSECT, "a 1 b 2", "b 9", 2, "[b 2]"},
    };
    for (const Case& c : cases) {
        Cell a = load(c.a);
        Cell b = c.b ? load(c.b) : none();
        Cell skip = I(c.skip);
        Cell* r = block_set_op(&a, c.b ? &b : nullptr, false, c.skip ? &skip : nullptr, c.op);
        EXPECT_EQ(mold(*r), c.expect) << c.a;
    }
    // Enough distinct values to fill a table sized for the first block.
    std::string many, expect = "[";
    for (int i = 0; i < 300; i++) many += std::to_string(i % 100) + " ";
    for (int i = 0; i < 100; i++) {
        expect += std::to_string(i);
        expect += i < 99 ? ' ' : ']';
    }
    Cell big = load(many);
    EXPECT_EQ(mold(*block_set_op(&big, nullptr, false, nullptr, OP_UNIQUE)), expect);
    Cell evens = load("0 2 4 6 8 10 12 14 16 18");
    Cell* kept = block_set_op(&big, &evens, false, nullptr, OP_INTERSECT);
    EXPECT_EQ(mold(*kept), "[0 2 4 6 8 10 12 14 16 18]");

    Cell a = load("a"), zero = I(0);
    EXPECT_EQ(error_of([&] { block_set_op(&a, nullptr, false, &zero, OP_UNIQUE); }), "invalid-refine-arg");
    Cell* r = block_set_op(&a, nullptr, true, nullptr, OP_UNIQUE);
    EXPECT_EQ(mold(*r), "[a]");
}

}  // namespace
