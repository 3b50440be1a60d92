// unset!, none!, logic! and typeset!: text forms, conversions, comparison,
// truth tests and set operations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/random.h"
#include "runtime_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

struct ScalarsTest : ::testing::Test {
    void SetUp() override {
        runtime_core_init();
        stack_clear_all();
    }
    static Cell float_cell(double d) {
        Cell c{TYPE_FLOAT, 0, 0, 0};
        cell_put_float(&c, d);
        return c;
    }
    // Runs a frame action on two arguments; returns the result slot.
    static Cell frame_call(void (*fn)(), const Cell& a, const Cell& b) {
        stack_mark_native(0);
        stack_push(&a);
        stack_push(&b);
        fn();
        Cell r = *stack_arguments();
        stack_unwind();
        stack_clear_all();
        return r;
    }
    static Cell typeset_of(std::initializer_list<Cell> members) {
        Cell spec = block_of(members);
        Cell proto = datatype_cell(TYPE_TYPESET);
        return *typeset_make(&proto, &spec, TYPE_TYPESET);
    }
};

const Cell kTrue{TYPE_LOGIC, 1, 0, 0};
const Cell kFalse{TYPE_LOGIC, 0, 0, 0};
const Cell kNone{TYPE_NONE, 0, 0, 0};
const Cell kUnset{TYPE_UNSET, 0, 0, 0};

TEST_F(ScalarsTest, TextForms) {
    struct Case { Cell v; const char* form; const char* mold; const char* mold_all; } cases[] = {
        {kUnset, "", "unset", "#(unset)"},
        {kNone, "none", "none", "#(none)"},
        {kTrue, "true", "true", "#(true)"},
        {kFalse, "false", "false", "#(false)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(form(&c.v), c.form);
        EXPECT_EQ(mold(&c.v), c.mold);
        EXPECT_EQ(mold(&c.v, false, true), c.mold_all);
    }
    Cell buf;
    string_make(&buf, 8, 1);
    EXPECT_EQ(actions_mold_call(&kFalse, &buf, false, true, false, nullptr, 100, 0), 92);
}

TEST_F(ScalarsTest, MakeLogicReadsNumbersToLogicOnlyNone) {
    Cell proto = datatype_cell(TYPE_LOGIC);
    double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case { Cell spec; bool make; bool to; } cases[] = {
        // integer! keeps its payload in data2.
        {Cell{TYPE_INTEGER, 0, 0, 0}, false, true},  {Cell{TYPE_INTEGER, 0, 2, 0}, true, true},
        {float_cell(0.0), false, true},
        {float_cell(nan), true, true}, {kNone, false, false},        {kFalse, false, false},
        {string_cell(""), true, true},
    };
    for (Case& c : cases) {
        Cell p = proto;
        Cell* made = action_fn<ACT_MAKE>(TYPE_LOGIC)(&p, &c.spec, TYPE_LOGIC);
        ASSERT_TRUE(made->is(TYPE_LOGIC));
        EXPECT_EQ(made->data1, c.make ? 1u : 0u) << mold(&c.spec);
        p = proto;
        Cell* to = action_fn<ACT_TO>(TYPE_LOGIC)(&p, &c.spec, TYPE_LOGIC);
        ASSERT_TRUE(to->is(TYPE_LOGIC));
        EXPECT_EQ(to->data1, c.to ? 1u : 0u) << mold(&c.spec);
    }
    // The constant cells stay as they are.
    EXPECT_EQ(static_true_cell.data1, 1u);
    EXPECT_EQ(static_false_cell.data1, 0u);
}

TEST_F(ScalarsTest, MakeAndToUnsetAndNoneIgnoreTheSpec) {
    Cell spec = integer(5);
    Cell p = datatype_cell(TYPE_UNSET);
    EXPECT_TRUE(action_fn<ACT_MAKE>(TYPE_UNSET)(&p, &spec, TYPE_UNSET)->is(TYPE_UNSET));
    p = datatype_cell(TYPE_NONE);
    EXPECT_TRUE(action_fn<ACT_TO>(TYPE_NONE)(&p, &spec, TYPE_NONE)->is(TYPE_NONE));
}

TEST_F(ScalarsTest, EqualityAndOrdering) {
    EXPECT_TRUE(actions_compare_call(&kTrue, &kTrue, COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(&kTrue, &kFalse, COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(&kNone, &kFalse, COMP_EQUAL));
    EXPECT_TRUE(actions_compare_call(&kNone, &kNone, COMP_STRICT_EQUAL));
    EXPECT_TRUE(actions_compare_call(&kUnset, &kUnset, COMP_SAME));
    EXPECT_LT(logic_compare(&kFalse, &kTrue, COMP_SORT), 0);  // false sorts first
    for (const Cell* v : {&kTrue, &kNone, &kUnset})
        EXPECT_EQ(raised([&] { actions_compare_call(v, v, COMP_LESSER); }), "invalid-compare") << mold(v);
}

TEST_F(ScalarsTest, NoneAnswersNoneToSeriesActions) {
    Cell v = kNone, key = integer(1);
    EXPECT_TRUE(action_fn<ACT_FIND>(TYPE_NONE)(&v, &key, FindArgs{})->is(TYPE_NONE));
    EXPECT_TRUE(action_fn<ACT_SELECT>(TYPE_NONE)(&v, &key, FindArgs{})->is(TYPE_NONE));
    EXPECT_TRUE(action_fn<ACT_TAKE>(TYPE_NONE)(&v, nullptr, false, false)->is(TYPE_NONE));
    EXPECT_TRUE(action_fn<ACT_REMOVE>(TYPE_NONE)(&v, nullptr, nullptr)->is(TYPE_NONE));
    EXPECT_TRUE(action_fn<ACT_CLEAR>(TYPE_NONE)(&v)->is(TYPE_NONE));
    EXPECT_EQ(action_fn<ACT_LENGTH_Q>(TYPE_NONE)(&v), -1);
}

TEST_F(ScalarsTest, TruthTests) {
    Cell w = word("t-cond");
    EXPECT_TRUE(logic_cell_true_q(&kUnset, false, &w));
    EXPECT_EQ(raised([&] { logic_cell_true_q(&kUnset, true, &w); }), "no-value");
    Cell zero = integer(0);
    EXPECT_TRUE(logic_cell_true_q(&zero, true, &w));
    Cell odd{TYPE_LOGIC, 2, 0, 0};  // any payload but 1 is false
    EXPECT_FALSE(logic_cell_true_q(&odd, true, &w));
    stack_mark_native(0);
    stack_push(&kUnset);
    EXPECT_FALSE(logic_false_q());
    EXPECT_EQ(raised([] { logic_true_q(); }), "no-return");
    copy_cell(&kNone, stack_arguments());
    EXPECT_TRUE(logic_false_q());
    EXPECT_TRUE(logic_top_false_q());
}

TEST_F(ScalarsTest, BitwiseLogicNeedsALogicSecondArgument) {
    EXPECT_EQ(frame_call(logic_and, kTrue, kFalse).data1, 0u);
    EXPECT_EQ(frame_call(logic_or, kTrue, kFalse).data1, 1u);
    EXPECT_EQ(frame_call(logic_xor, kTrue, kTrue).data1, 0u);
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { frame_call(logic_and, kTrue, one); }), "expect-arg");
    stack_clear_all();
    Cell t = kTrue;
    EXPECT_EQ(logic_complement(&t)->data1, 0u);
}

TEST_F(ScalarsTest, RandomLogicSeedsOrDraws) {
    Cell v = kTrue;
    EXPECT_TRUE(logic_random(&v, true, false, false)->is(TYPE_UNSET));
    int trues = 0;
    std::vector<uint32_t> first;
    for (int i = 0; i < 200; i++) {
        Cell d = kFalse;
        logic_random(&d, false, false, false);
        first.push_back(d.data1);
        trues += d.data1;
    }
    EXPECT_GT(trues, 50);
    EXPECT_LT(trues, 150);
    random_seed(1);
    for (int i = 0; i < 200; i++) {
        Cell d = kFalse;
        logic_random(&d, false, false, false);
        ASSERT_EQ(d.data1, first[i]) << "same seed, same draws";
    }
    Cell s = kFalse;
    EXPECT_TRUE(logic_random(&s, false, true, false)->is(TYPE_LOGIC));
}

TEST_F(ScalarsTest, RandomRangesAndDeterminism) {
    random_seed(7);
    int32_t a = random_next();
    random_seed(7);
    EXPECT_EQ(random_next(), a);
    for (int i = 0; i < 2000; i++) ASSERT_GE(random_next(), 0);  // bit 31 never set, also after twisting
    EXPECT_EQ(random_int(false, 1), 1);
    EXPECT_EQ(random_int(false, -1), -1);
    EXPECT_EQ(random_int(false, 0), 0);
    EXPECT_LT(random_int(false, INT32_MIN), 0);
}

// ---- typeset! -------------------------------------------------------------------------------

TEST_F(ScalarsTest, TypesetMoldListsMembersInIdOrder) {
    Cell ts = typeset_of({datatype_cell(TYPE_FLOAT), datatype_cell(TYPE_INTEGER)});
    EXPECT_EQ(mold(&ts), "make typeset! [integer! float!]");
    EXPECT_EQ(form(&ts), "make typeset! [integer! float!]");
    EXPECT_EQ(mold(&ts, true), "integer! float!");
    Cell empty = typeset_of({});
    EXPECT_EQ(mold(&empty), "make typeset! []");
    EXPECT_EQ(mold(&empty, true), "");
    EXPECT_EQ(typeset_count(&ts), 2u);
}

TEST_F(ScalarsTest, TypesetMoldStopsAtThePartLimit) {
    Cell ts = typeset_of({datatype_cell(TYPE_INTEGER), datatype_cell(TYPE_FLOAT), datatype_cell(TYPE_BLOCK)});
    Cell buf;
    string_make(&buf, 16, 1);
    int32_t left = actions_mold_call(&ts, &buf, true, false, false, nullptr, 5, 0);
    EXPECT_LE(left, 0);
    EXPECT_EQ(string_to_utf8(&buf), "block!");  // the first member, then nothing more
}

TEST_F(ScalarsTest, TypesetFromWordsAndTypesets) {
    Cell number = typeset_of({datatype_cell(TYPE_INTEGER), datatype_cell(TYPE_FLOAT)});
    Cell number_word = word("t-number!");
    word_set(&number_word, &number);
    Cell ts = typeset_of({datatype_cell(TYPE_PERCENT), number_word, number});
    EXPECT_EQ(mold(&ts, true), "integer! float! percent!");
    Cell unset_word = word("t-unset-type");
    EXPECT_EQ(raised([&] { typeset_of({unset_word}); }), "no-value");
    EXPECT_EQ(raised([&] { typeset_of({integer(42)}); }), "invalid-arg");
    Cell proto = datatype_cell(TYPE_TYPESET), forty = integer(40);
    EXPECT_EQ(raised([&] { typeset_make(&proto, &forty, TYPE_TYPESET); }), "bad-to-arg");
}

TEST_F(ScalarsTest, TypesetFindEqualityAndOrdering) {
    Cell ts = typeset_of({datatype_cell(TYPE_INTEGER)});
    Cell integer_t = datatype_cell(TYPE_INTEGER), float_t = datatype_cell(TYPE_FLOAT), n = integer(42);
    Cell s = ts;
    EXPECT_EQ(typeset_find(&s, &integer_t, FindArgs{})->data1, 1u);
    s = ts;
    EXPECT_EQ(typeset_find(&s, &float_t, FindArgs{})->data1, 0u);
    s = ts;
    EXPECT_EQ(raised([&] { typeset_find(&s, &n, FindArgs{}); }), "invalid-arg");
    Cell a = typeset_of({integer_t, float_t}), b = typeset_of({float_t, integer_t});
    EXPECT_TRUE(actions_compare_call(&a, &b, COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(&a, &ts, COMP_EQUAL));
    EXPECT_EQ(raised([&] { actions_compare_call(&a, &b, COMP_LESSER); }), "invalid-compare");
    EXPECT_GT(typeset_compare(&a, &ts, COMP_SORT), 0);  // more members sort later
}

TEST_F(ScalarsTest, TypesetSetOperations) {
    Cell ints = typeset_of({datatype_cell(TYPE_INTEGER)});
    Cell both = typeset_of({datatype_cell(TYPE_INTEGER), datatype_cell(TYPE_FLOAT)});
    Cell float_t = datatype_cell(TYPE_FLOAT);
    auto op = [](int32_t code, const Cell& a, const Cell& b) {
        stack_mark_native(0);
        stack_push(&a);
        stack_push(&b);
        typeset_do_math(code);
        Cell r = *stack_arguments();
        stack_unwind();
        stack_clear_all();
        return r;
    };
    Cell u = op(OP_UNION, ints, float_t);
    EXPECT_EQ(mold(&u, true), "integer! float!");
    Cell x = op(OP_EXCLUDE, both, float_t);
    EXPECT_EQ(mold(&x, true), "integer!");
    Cell i = op(OP_INTERSECT, both, ints);
    EXPECT_EQ(mold(&i, true), "integer!");
    Cell d = op(OP_DIFFERENCE, both, ints);
    EXPECT_EQ(mold(&d, true), "float!");
    Cell same = op(OP_UNIQUE, both, ints);
    EXPECT_TRUE(actions_compare_call(&same, &both, COMP_EQUAL));
    Cell n = integer(1);
    EXPECT_EQ(raised([&] { op(OP_UNION, both, n); }), "invalid-arg");
    stack_clear_all();
    EXPECT_EQ(frame_call(typeset_and, both, ints).data1, ints.data1);
}

TEST_F(ScalarsTest, DefaultConstraintAndComplement) {
    Cell block = block_of({});
    Cell* def = typeset_append_default(&block);
    EXPECT_FALSE(typeset_has(def, TYPE_UNSET));
    for (uint32_t t = 0; t < 96; t++) EXPECT_EQ(typeset_has(def, t), t != TYPE_UNSET) << t;
    Cell ts = typeset_of({datatype_cell(TYPE_INTEGER)});
    typeset_complement(&ts);
    EXPECT_FALSE(typeset_has(&ts, TYPE_INTEGER));
    EXPECT_TRUE(typeset_has(&ts, 95));
    EXPECT_TRUE(typeset_has(&ts, 0));
}

TEST_F(ScalarsTest, TypesetFromFunctionSpec) {
    Cell number = typeset_of({datatype_cell(TYPE_INTEGER)});
    Cell number_word = word("t-num-spec!");
    word_set(&number_word, &number);
    Cell aliased = word("t-alias-word");
    Cell target = word("t-some-word");
    word_set(&aliased, &target);  // a word whose value is a word
    Cell spec = block_of({datatype_cell(TYPE_FLOAT), number_word, aliased, block_of({})});
    Cell block = block_of({});
    Cell* ts = typeset_append_from_spec(&block, &spec);
    EXPECT_EQ(mold(ts, true), "integer! float! object!");
    Cell bad = block_of({string_cell("x")});
    EXPECT_EQ(raised([&] { typeset_append_from_spec(&block, &bad); }), "invalid-type-spec");
    Cell out;
    typeset_to_block(ts, &out);
    EXPECT_EQ(node_buffer(out.data2)->used_bytes(), 3 * sizeof(Cell));
    EXPECT_EQ(arena_at<Cell>(node_buffer(out.data2)->head)[2].data1, uint32_t(TYPE_OBJECT));
}

}  // namespace
