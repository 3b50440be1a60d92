// Symbols, the global context, contexts made from interface blocks, word values,
// binding, ownership records and the word types' actions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

struct WordsTest : ::testing::Test {
    void SetUp() override {
        runtime_core_init();
        stack_clear_all();
        cycles_reset();
    }
    static uint32_t intern(const std::string& name, bool twin = false) {
        return symbol_intern(g_symbol_table, reinterpret_cast<const uint8_t*>(name.data()),
                             static_cast<uint32_t>(name.size()), twin);
    }
    // Word cells of a context, by spelling, in index order.
    static std::vector<std::string> words_of(Off ctx) {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < context_words_count(ctx); i++) {
            const Cell* w = context_word_cell_at(ctx, i);
            EXPECT_EQ(w->data3, i);
            EXPECT_EQ(w->data1, ctx);
            out.emplace_back(symbol_name(w->data2));
        }
        return out;
    }
};

// ---- symbols -------------------------------------------------------------------

TEST_F(WordsTest, ANewSpellingIsANewSymbolAliasedToTheFirst) {
    uint32_t foo = intern("t-foo");
    uint32_t Foo = intern("T-Foo");
    EXPECT_NE(foo, Foo);
    EXPECT_EQ(symbol_get_alias(foo), -1);
    EXPECT_EQ(symbol_get_alias(Foo), static_cast<int32_t>(foo));
    EXPECT_EQ(symbol_resolve(Foo), foo);
    EXPECT_EQ(intern("t-foo"), foo);
    EXPECT_EQ(intern("T-Foo"), Foo);
    // A third spelling aliases the first, not the one met most recently.
    EXPECT_EQ(symbol_get_alias(intern("T-FOO")), static_cast<int32_t>(foo));
    EXPECT_EQ(symbol_name(Foo), "T-Foo");
}

TEST_F(WordsTest, TwinLookupReturnsAnyCaseWithoutAdding) {
    uint32_t base = intern("t-twin");
    uint32_t count = symbols_count();
    EXPECT_EQ(intern("T-TWIN", true), base);
    EXPECT_EQ(symbols_count(), count);
    uint32_t fresh = intern("T-Lonely", true);
    EXPECT_EQ(symbols_count(), count + 1);
    EXPECT_EQ(symbol_get_alias(fresh), -1);
}

TEST_F(WordsTest, LettersBeyondAsciiAreNeverTwins) {
    uint32_t lower = intern("t-\xC3\xA9t\xC3\xA9");  // "t-été"
    uint32_t upper = intern("t-\xC3\x89T\xC3\x89");  // "t-ÉTÉ"
    EXPECT_NE(lower, upper);
    EXPECT_EQ(symbol_get_alias(upper), -1);
}

TEST_F(WordsTest, SymbolTableGrowsAndKeepsEveryId) {
    std::vector<uint32_t> ids;
    for (int i = 0; i < 14000; i++) ids.push_back(intern("t-grow-" + std::to_string(i)));
    uint32_t upper = intern("T-GROW-77");
    EXPECT_GT(hashtable_record(g_symbol_table)->buckets, 16384u);
    for (int i = 0; i < 14000; i++) ASSERT_EQ(intern("t-grow-" + std::to_string(i)), ids[i]);
    EXPECT_EQ(symbol_resolve(upper), ids[77]);
    EXPECT_EQ(symbol_cell(ids[13999])->header, uint32_t(TYPE_SYMBOL));
}

TEST_F(WordsTest, SymbolsOrderByName) {
    Cell a = *symbol_cell(intern("t-apple")), b = *symbol_cell(intern("T-BANANA"));
    EXPECT_LT(symbol_compare(&a, &b, COMP_LESSER), 0);
    Cell w = word("t-apple");
    EXPECT_EQ(symbol_compare(&a, &w, COMP_EQUAL), kCompareIncomparable);
    EXPECT_STREQ(symbol_get_utf8(intern("t-apple")), "t-apple");
}

// ---- the global context ------------------------------------------------------------

TEST_F(WordsTest, SpellingsOfOneNameShareOneGlobalValue) {
    Cell lower = word("t-abc"), upper = word("T-Abc");
    EXPECT_NE(lower.data2, upper.data2);
    EXPECT_EQ(lower.data3, upper.data3);
    Cell one = integer(1);
    word_set(&upper, &one);
    EXPECT_EQ(word_get_any(&lower)->data1, 1u);
    EXPECT_TRUE(actions_compare_call(&lower, &upper, COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(&lower, &upper, COMP_STRICT_EQUAL));
    EXPECT_EQ(mold(&upper), "T-Abc");  // the word keeps its own spelling
    // Made from the symbol the other way round, the value is still shared.
    uint32_t third = intern("T-ABC");
    Cell from_symbol;
    word_from_symbol(&from_symbol, third);
    EXPECT_EQ(from_symbol.data3, lower.data3);
}

TEST_F(WordsTest, GlobalValuesKeepStepWithGlobalWords) {
    word("t-step-one");
    word("T-STEP-ONE");
    EXPECT_EQ(context_values_count(g_global_context), context_words_count(g_global_context));
}

// ---- contexts ------------------------------------------------------------------------

TEST_F(WordsTest, ContextFromSpecHoldsItsWordsInOrder) {
    Cell spec = block_of({word("a"), word("b"), word("c", TYPE_REFINEMENT), word("d", TYPE_SET_WORD), word("e"),
                          integer(5)});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    EXPECT_EQ(words_of(ctx), (std::vector<std::string>{"a", "b", "c", "e"}));
    EXPECT_EQ(context_values_count(ctx), 4u);
    EXPECT_EQ(context_find_word(ctx, word("d").data2, true), -1);
    EXPECT_EQ(context_find_word(ctx, word("e").data2, true), 3);
}

TEST_F(WordsTest, RepeatedSpecWordKeepsOneIndexButCountsTwice) {
    Cell spec = block_of({word("a"), word("b"), word("A", TYPE_GET_WORD)});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    EXPECT_EQ(words_of(ctx), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(context_values_count(ctx), 3u);
    // A word added later owns its own slot, whatever the values count.
    Cell c = word("c"), b = word("b");
    EXPECT_EQ(context_add_word(ctx, &c), 2);
    context_bind_word(ctx, &c);
    context_bind_word(ctx, &b);
    Cell one = integer(1), two = integer(2);
    word_set(&b, &one);
    word_set(&c, &two);
    EXPECT_EQ(word_get_any(&b)->data1, 1u);
    EXPECT_EQ(word_get_any(&c)->data1, 2u);
}

TEST_F(WordsTest, WordsAddedWithoutValuesReadUnset) {
    Off ctx = context_make(1, false, false, 0, CTX_OBJECT);
    int32_t index;
    EXPECT_EQ(context_find_or_add_word(ctx, word("t-bare").data2, true, &index), -1);
    EXPECT_EQ(context_values_count(ctx), 0u);  // the maker sets the values later
    Cell w{TYPE_WORD, ctx, word("t-bare").data2, static_cast<uint32_t>(index)};
    EXPECT_TRUE(word_get_any(&w)->is(TYPE_UNSET));
    EXPECT_EQ(context_values_count(ctx), 1u);
}

TEST_F(WordsTest, CaseFlagDecidesWhetherAnotherSpellingIsFound) {
    Off ctx = context_make(4, false, false, 0, CTX_OBJECT);
    Cell foo = word("t-ctx-foo");
    EXPECT_EQ(context_add_word(ctx, &foo), 0);
    uint32_t Foo = intern("T-Ctx-Foo");
    EXPECT_EQ(context_find_word(ctx, Foo, true), 0);
    EXPECT_EQ(context_find_word(ctx, Foo, false), -1);
}

TEST_F(WordsTest, WordsTableGrowsPastItsBound) {
    Off ctx = context_make(2, false, false, 0, CTX_OBJECT);
    for (int i = 0; i < 300; i++) {
        Cell w = word(("t-many-" + std::to_string(i)).c_str());
        ASSERT_EQ(context_add_word(ctx, &w), i);
    }
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(context_find_word(ctx, intern("T-MANY-" + std::to_string(i)), true), i);
    EXPECT_EQ(context_values_count(ctx), 300u);
}

TEST_F(WordsTest, DuplicateRebindsWordsAndLeavesValuesEmpty) {
    Cell spec = block_of({word("a"), word("b")});
    Off old = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    Cell holder{TYPE_OBJECT, old, 0, 0};
    Off copy = context_duplicate(&holder, CTX_OBJECT);
    EXPECT_EQ(holder.data1, copy);
    EXPECT_NE(copy, old);
    EXPECT_EQ(words_of(copy), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(context_values_count(copy), 0u);
    EXPECT_TRUE(context_cell(copy)->header & CONTEXT_FLAG24);
    Cell c = word("c");
    context_add_word(copy, &c);
    EXPECT_EQ(context_words_count(old), 2u);  // the tables are not shared
}

// ---- values ----------------------------------------------------------------------------

TEST_F(WordsTest, BoundWordsReadAndWriteTheirSlot) {
    Cell spec = block_of({word("x"), word("y")});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    Cell y = word("y");
    ASSERT_EQ(context_bind_word(ctx, &y), 1);
    Cell seven = integer(7);
    word_set(&y, &seven);
    EXPECT_EQ(context_value_at(ctx, 1)->data1, 7u);
    EXPECT_EQ(word_get_any(&y), context_value_at(ctx, 1));
    EXPECT_TRUE(context_word_cell_at(ctx, 1)->header & WORD_FIELD_CHANGED);
    Cell x = word("x");
    context_bind_word(ctx, &x);
    EXPECT_EQ(raised([&] { word_get(&x); }), "no-value");
    EXPECT_EQ(word_get(&y)->data1, 7u);
}

TEST_F(WordsTest, UnresolvedWordsAndContextsWithoutValues) {
    Off ctx = context_make(2, false, false, 0, CTX_OBJECT);
    Cell stray{TYPE_WORD, ctx, word("t-stray").data2, kWordUnresolved};
    EXPECT_EQ(raised([&] { word_get_any(&stray); }), "no-value");
    // self with no index reads as the owner of its context.
    Cell self{TYPE_WORD, ctx, g_sym.self, kWordUnresolved};
    *context_owner_cell(ctx) = integer(99);
    EXPECT_EQ(word_get_any(&self)->data1, 99u);
    // A function context outside a call has no values.
    Cell spec = block_of({word("arg")});
    Off fn = context_make_from_spec(&spec, true, false, CTX_FUNCTION);
    Cell arg = word("arg");
    context_bind_word(fn, &arg);
    EXPECT_EQ(raised([&] { word_get_any(&arg); }), "not-in-context");
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { word_set(&arg, &one); }), "not-defined");
    // Once a call points it at the stack, the same word reads its argument.
    Cell* first = stack_push(&one);
    context_cell(fn)->data2 = arena_off(first);
    EXPECT_EQ(word_get_any(&arg), first);
    context_cell(fn)->data2 = 0;
}

TEST_F(WordsTest, SetInResolvesOrAddsAnUnresolvedWord) {
    Off ctx = context_make(2, false, false, 0, CTX_OBJECT);
    Cell w{TYPE_WORD, ctx, word("t-late").data2, kWordUnresolved};
    Cell five = integer(5);
    context_set_in(&w, &five, ctx, true);
    EXPECT_EQ(w.data3, 0u);
    EXPECT_EQ(word_get_any(&w)->data1, 5u);
}

TEST_F(WordsTest, ObjectFieldChangeNotifiesItsOwner) {
    static std::vector<int> seen;
    seen.clear();
    g_context_on_change = [](const Cell*, const Cell*, const Cell* old_value, const Cell* new_value) {
        seen = {static_cast<int>(old_value->data1), static_cast<int>(new_value->data1)};
    };
    Cell spec = block_of({word("f")});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    Cell f = word("f");
    context_bind_word(ctx, &f);
    Cell one = integer(1), two = integer(2);
    word_set(&f, &one);
    EXPECT_TRUE(seen.empty());  // no change information yet
    cell_set(context_owner_cell(ctx), TYPE_OBJECT, ctx, 0, 1);
    word_set(&f, &two);
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    g_context_on_change = nullptr;
}

TEST_F(WordsTest, SetWordEvaluationRefusesUnset) {
    Cell spec = block_of({word("v")});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    Cell v = word("v", TYPE_SET_WORD);
    context_bind_word(ctx, &v);
    stack_mark_native(0);
    stack_push(&v);
    stack_push_cell();
    EXPECT_EQ(raised([] { word_set_from_args(); }), "need-value");
    Cell three = integer(3);
    copy_cell(&three, stack_arg(1));
    EXPECT_EQ(word_set_from_args()->data1, 3u);
    EXPECT_EQ(context_value_at(ctx, 0)->data1, 3u);
}

// ---- binding -------------------------------------------------------------------------------

TEST_F(WordsTest, BindingReachesNestedBlocksAndStopsAtCycles) {
    Cell spec = block_of({word("p"), word("self")});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    Cell inner = block_of({word("p"), word("q")});
    Cell outer = block_of({word("p", TYPE_SET_WORD), inner, word("p", TYPE_ISSUE)});
    copy_cell(&outer, block_append_slot(&outer));  // the block contains itself
    context_bind_block(&outer, ctx, false);
    const Cell* o = arena_at<Cell>(node_buffer(outer.data2)->head);
    const Cell* i = arena_at<Cell>(node_buffer(inner.data2)->head);
    EXPECT_EQ(o[0].data1, ctx);
    EXPECT_EQ(i[0].data1, ctx);
    EXPECT_NE(i[1].data1, ctx);  // q is not in the context
    EXPECT_NE(o[2].data1, ctx);  // issues are left alone
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(WordsTest, SelfFlagMakesSelfReadAsTheOwner) {
    Off ctx = context_make(2, false, false, 0, CTX_OBJECT);
    *context_owner_cell(ctx) = integer(42);
    Cell body = block_of({word("self")});
    context_bind_block(&body, ctx, false);
    EXPECT_NE(arena_at<Cell>(node_buffer(body.data2)->head)->data1, ctx);
    context_bind_block(&body, ctx, true);
    const Cell* self = arena_at<Cell>(node_buffer(body.data2)->head);
    EXPECT_EQ(self->data1, ctx);
    EXPECT_EQ(self->data3, kWordUnresolved);
    EXPECT_EQ(word_get_any(self)->data1, 42u);
}

TEST_F(WordsTest, CollectSetWordsAddsOnlySetWords) {
    Off ctx = context_make(2, false, false, 0, CTX_OBJECT);
    Cell body = block_of({word("m", TYPE_SET_WORD), word("n"), word("o", TYPE_SET_WORD)});
    EXPECT_TRUE(context_collect_set_words(ctx, &body));
    EXPECT_EQ(words_of(ctx), (std::vector<std::string>{"m", "o"}));
    EXPECT_FALSE(context_collect_set_words(ctx, &body));
    body.data1 = 99;  // past the tail: nothing to collect
    EXPECT_FALSE(context_collect_set_words(ctx, &body));
}

// ---- the word types' actions -----------------------------------------------------------------

TEST_F(WordsTest, EachVariantMoldsWithItsMark) {
    struct Case { uint32_t type; const char* mold; } cases[] = {
        {TYPE_WORD, "a"}, {TYPE_SET_WORD, "a:"}, {TYPE_GET_WORD, ":a"}, {TYPE_LIT_WORD, "'a"},
        {TYPE_REFINEMENT, "/a"}, {TYPE_ISSUE, "#a"},
    };
    for (const Case& c : cases) {
        Cell w = word("a", c.type);
        EXPECT_EQ(mold(&w), c.mold);
        EXPECT_EQ(form(&w), "a");
    }
    Cell buf;
    string_make(&buf, 8, 1);
    Cell w = word("abc", TYPE_SET_WORD);
    EXPECT_EQ(actions_mold_call(&w, &buf, false, false, false, nullptr, 10, 0), 6);  // the mark counts one
}

TEST_F(WordsTest, ComparisonCodes) {
    Cell a = word("a"), lit = word("a", TYPE_LIT_WORD), A = word("A"), b = word("b");
    Cell issue = word("a", TYPE_ISSUE);
    struct Case { const Cell* x; const Cell* y; int32_t op; bool equal; } cases[] = {
        {&a, &lit, COMP_EQUAL, true},   {&a, &lit, COMP_FIND_WORD, true},  {&a, &lit, COMP_STRICT_EQUAL, false},
        {&a, &A, COMP_EQUAL, true},     {&a, &A, COMP_STRICT_EQUAL, false}, {&a, &A, COMP_FIND_WORD, false},
        {&lit, &A, COMP_FIND_WORD_CASE, true}, {&a, &a, COMP_SAME, true},   {&a, &lit, COMP_SAME, false},
        {&a, &b, COMP_EQUAL, false},    {&a, &issue, COMP_EQUAL, false},    {&issue, &issue, COMP_EQUAL, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(actions_compare_call(c.x, c.y, c.op), c.equal) << mold(c.x) << " " << mold(c.y) << " op " << c.op;
    EXPECT_TRUE(actions_compare_call(&a, &b, COMP_LESSER));
    EXPECT_TRUE(actions_compare_call(&b, &A, COMP_GREATER));
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { actions_compare_call(&a, &one, COMP_LESSER); }), "invalid-compare");
}

TEST_F(WordsTest, IndexOfUnboundWordIsNone) {
    Cell spec = block_of({word("first"), word("second")});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    Cell first = word("first");
    context_bind_word(ctx, &first);
    Cell unbound{TYPE_WORD, 0, first.data2, kWordUnresolved};
    stack_mark_native(0);
    stack_push(&first);
    word_index_q();
    EXPECT_TRUE(stack_arguments()->is(TYPE_INTEGER));
    EXPECT_EQ(integer_get(stack_arguments()), 1) << "first word of its context";
    copy_cell(&unbound, stack_arguments());
    word_index_q();
    EXPECT_TRUE(stack_arguments()->is(TYPE_NONE));
}

TEST_F(WordsTest, MakeAndToWordTypes) {
    Cell proto = datatype_cell(TYPE_WORD);
    Cell logic{TYPE_LOGIC, 1, 0, 0};
    Cell dt = datatype_cell(TYPE_LOGIC);
    Cell text = string_cell("t-made");
    Cell refinement = word("t-ref", TYPE_REFINEMENT);
    struct Case { Cell* spec; int32_t type; const char* mold; } cases[] = {
        {&logic, TYPE_WORD, "true"},          {&dt, TYPE_SET_WORD, "logic!:"},
        {&text, TYPE_GET_WORD, ":t-made"},    {&refinement, TYPE_WORD, "t-ref"},
    };
    for (const Case& c : cases) {
        Cell p = proto;
        Cell* r = action_fn<ACT_TO>(c.type)(&p, c.spec, c.type);
        EXPECT_EQ(r->type(), c.type);
        EXPECT_EQ(mold(r), c.mold);
    }
    Cell made = proto;
    word_make(&made, &text, TYPE_WORD);
    EXPECT_EQ(made.data1, g_global_context);
    EXPECT_NE(made.data3, kWordUnresolved);
    for (const char* bad : {"123", "", "   ", "[a]"}) {
        Cell s = string_cell(bad);
        EXPECT_EQ(raised([&] { word_make(&made, &s, TYPE_WORD); }), "invalid-chars") << bad;
    }
    Cell one = integer(1);
    EXPECT_EQ(raised([&] { word_make(&made, &one, TYPE_WORD); }), "bad-to-arg");
}

TEST_F(WordsTest, ToIssueTakesTextAsItIs) {
    Cell proto = datatype_cell(TYPE_ISSUE);
    Cell text = string_cell("a b");
    Cell* r = action_fn<ACT_TO>(TYPE_ISSUE)(&proto, &text, TYPE_ISSUE);
    EXPECT_EQ(r->type(), TYPE_ISSUE);
    EXPECT_EQ(mold(r), "#a b");
    EXPECT_EQ(r->data3, kWordUnresolved);
    Cell w = word("t-iss", TYPE_SET_WORD);
    r = action_fn<ACT_TO>(TYPE_ISSUE)(&proto, &w, TYPE_ISSUE);
    EXPECT_EQ(mold(r), "#t-iss");
}

// ---- ownership ------------------------------------------------------------------------------

TEST_F(WordsTest, OwnershipStopsAtSelfContainingBlocksAndClears) {
    Cell str = string_cell("owned");
    Cell blk = block_of({str});
    copy_cell(&blk, block_append_slot(&blk));
    Cell owner{TYPE_OBJECT, context_make(1, false, false, 0, CTX_OBJECT), 0, 0};
    Cell field = word("t-field");
    symctx_owner_set(&blk, &owner, &field);
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_TRUE(node_buffer(blk.data2)->flags & SERIES_OWNED);
    EXPECT_TRUE(node_buffer(str.data2)->flags & SERIES_OWNED);
    const Cell* found = symctx_owner_find(str.data2);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->data1, owner.data1);
    EXPECT_EQ(found[1].data2, field.data2);
    symctx_owner_clear(&blk);
    EXPECT_FALSE(node_buffer(str.data2)->flags & SERIES_OWNED);
    EXPECT_EQ(symctx_owner_find(str.data2), nullptr);
    EXPECT_EQ(symctx_owner_find(blk.data2), nullptr);
}

TEST_F(WordsTest, OwnerFiresOnlyWithChangeInformation) {
    static int fired;
    fired = 0;
    g_owner_fire_deep_change = [](const Cell*, const Cell*, const Cell*, const Cell*, const Cell*, int32_t, int32_t) {
        fired++;
    };
    Cell str = string_cell("watched");
    Cell none{TYPE_NONE, 0, 0, 0};
    EXPECT_FALSE(symctx_owner_get(&str, &g_words.append, &none, 0, 1));  // not owned
    Cell owner{TYPE_OBJECT, context_make(1, false, false, 0, CTX_OBJECT), 0, 0};
    Cell field = word("t-field");
    symctx_owner_set(&str, &owner, &field);
    EXPECT_FALSE(symctx_owner_get(&str, &g_words.append, &none, 0, 1));  // no change information
    EXPECT_EQ(fired, 0);
    symctx_owner_clear(&str);
    owner.data3 = 1;
    symctx_owner_set(&str, &owner, &field);
    EXPECT_TRUE(symctx_owner_get(&str, &g_words.append, &none, 0, 1));
    EXPECT_EQ(fired, 1);
    symctx_owner_clear(&str);
    g_owner_fire_deep_change = nullptr;
}

// ---- the collector ----------------------------------------------------------------------------

TEST_F(WordsTest, WordsContextsAndOwnersSurviveCollectionsThatMoveNodes) {
    // Everything made below takes its nodes from a fresh, sparse node frame
    // that the collector evacuates once it has stayed unchanged long enough.
    gc_collect();
    NodeFrame* extra = node_frame_make(kNodeFrameCapacity);
    node_frame_make(kNodeFrameCapacity);
    g_memory.current_node_frame = arena_off(extra);
    uint32_t sym = intern("t-gc-symbol");
    Cell global = word("t-gc-global");
    GcRootCell keep_global(&global);
    Cell kept = string_cell("kept");
    word_set(&global, &kept);
    Cell spec = block_of({word("t-gc-f1"), word("t-gc-f2")});
    Off ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
    GcRootNode keep_ctx(&ctx);
    Cell field = word("t-gc-f2");
    context_bind_word(ctx, &field);
    GcRootCell keep_field(&field);
    Cell text = string_cell("field");
    word_set(&field, &text);
    Cell owned = string_cell("owned");
    GcRootCell keep_owned(&owned);
    Cell owner{TYPE_OBJECT, ctx, 0, 1};
    GcRootCell keep_owner(&owner);
    symctx_owner_set(&owned, &owner, &field);
    ASSERT_EQ(node_frame_of(ctx), extra);

    uint32_t evacuations = g_gc.nodes_cycles;
    for (int i = 0; i < 10 && g_gc.nodes_cycles == evacuations; i++) {
        g_memory.current_node_frame = g_memory.node_frames_head;
        gc_collect();
    }
    ASSERT_GT(g_gc.nodes_cycles, evacuations);
    EXPECT_NE(node_frame_of(ctx), nullptr);
    EXPECT_EQ(intern("t-gc-symbol"), sym);
    EXPECT_EQ(symbol_name(sym), "t-gc-symbol");
    EXPECT_EQ(string_to_utf8(word_get_any(&global)), "kept");
    EXPECT_EQ(string_to_utf8(word_get_any(&field)), "field");
    EXPECT_EQ(words_of(ctx), (std::vector<std::string>{"t-gc-f1", "t-gc-f2"}));
    EXPECT_EQ(context_find_word(ctx, intern("T-GC-F2"), true), 1);
    const Cell* found = symctx_owner_find(owned.data2);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->data1, ctx);
    symctx_owner_clear(&owned);
}

// Every allocation collects: each path that allocates must keep what it
// holds across the call rooted, and re-read what may have moved.
TEST_F(WordsTest, EverythingHoldsUpWhenEveryAllocationCollects) {
    struct Stress {
        Stress() { g_gc.stress_every = 1, g_gc_enabled = true; }
        ~Stress() { g_gc.stress_every = 0, g_gc_enabled = false; }
    };
    Cell spec = block_of({word("t-st-a"), word("t-st-b")});
    GcRootCell keep_spec(&spec);
    Off ctx = 0;
    GcRootNode keep_ctx(&ctx);
    Cell a{TYPE_NONE, 0, 0, 0}, owned{TYPE_NONE, 0, 0, 0}, owner{TYPE_NONE, 0, 0, 0};
    GcRootCell keep_a(&a), keep_owned(&owned), keep_owner(&owner);
    {
        Stress stress;
        ctx = context_make_from_spec(&spec, false, false, CTX_OBJECT);
        for (int i = 0; i < 40; i++) {
            Cell w;
            word_from_cstring(&w, ("t-stress-" + std::to_string(i)).c_str());
            Cell v = integer(i);
            word_set(&w, &v);
            Cell fw;
            word_from_cstring(&fw, ("T-St-Field-" + std::to_string(i)).c_str());
            context_add_word(ctx, &fw);
        }
        word_from_cstring(&a, "t-st-a");
        context_bind_word(ctx, &a);
        owned = string_cell("owned");
        cell_set(&owner, TYPE_OBJECT, ctx, 0, 1);
        symctx_owner_set(&owned, &owner, &a);
        Cell copy = owner;
        context_duplicate(&copy, CTX_OBJECT);
        symbol_ensure_string(a.data2);
        Cell text = string_cell("t-st-made"), made = datatype_cell(TYPE_WORD);
        word_make(&made, &text, TYPE_SET_WORD);
        EXPECT_EQ(mold(&made), "t-st-made:");
        Cell other = word("t-st-b");
        EXPECT_TRUE(actions_compare_call(&a, &other, COMP_LESSER));
        for (int i = 0; i < 3000; i++) intern("t-st-sym-" + std::to_string(i));  // the symbol table grows
    }
    for (int i = 0; i < 40; i++) {
        Cell w = word(("T-STRESS-" + std::to_string(i)).c_str());
        ASSERT_EQ(word_get_any(&w)->data1, uint32_t(i));
        ASSERT_EQ(context_find_word(ctx, intern("t-st-field-" + std::to_string(i)), true), i + 2);
    }
    EXPECT_EQ(context_values_count(ctx), 42u);
    uint32_t lower = intern("t-st-sym-2999");
    EXPECT_EQ(symbol_name(lower), "t-st-sym-2999");
    EXPECT_EQ(symbol_resolve(intern("T-ST-SYM-2999")), lower);
    EXPECT_NE(symctx_owner_find(owned.data2), nullptr);
    symctx_owner_clear(&owned);
}

// ---- fixed words --------------------------------------------------------------------------------

TEST_F(WordsTest, FixedWordsAndSymbols) {
    EXPECT_EQ(symbol_name(g_sym.self), "self");
    EXPECT_EQ(g_sym.code, g_sym.money_code);
    EXPECT_EQ(symbol_name(g_sym.bar), "|");
    EXPECT_EQ(mold(&g_words.on_deep_change), "on-deep-change*");
    EXPECT_EQ(g_words.throw_.data2, g_words.throw_category.data2);
    EXPECT_EQ(g_words.head.data1, g_global_context);
    EXPECT_EQ(symbol_name(g_stack.body_symbol), "<body>");
    EXPECT_EQ(mold(&g_refinements.local), "/local");
    EXPECT_EQ(g_refinements.local.data1, 0u);
    EXPECT_EQ(mold(&g_issue_ooo), "#ooo");
}

}  // namespace
