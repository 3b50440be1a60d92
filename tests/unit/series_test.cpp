// series! common actions, exercised on blocks, strings and binaries.
#include <string>
#include <vector>

#include "tests/unit/block_support.h"

using namespace kel;
using namespace kel::test;

namespace {

struct Series : SeriesFixture {
    Cell at_index(Cell s, int32_t i) {
        series_set_index(&s, i);
        return s;
    }
};

TEST_F(Series, AtAndSkipClampToTheBufferAndCountFromOne) {
    Cell s = at_index(load("a b c d"), 1);  // at b
    struct Case {
        void (*fn)();
        int32_t arg;
        int32_t index;  // 0-based head index expected
    } cases[] = {
        {series_at, 1, 1},  {series_at, 0, 1},   {series_at, -1, 0}, {series_at, 2, 2},    {series_at, 99, 4},
        {series_skip, 0, 1}, {series_skip, 1, 2}, {series_skip, -5, 0}, {series_skip, 99, 4},
    };
    for (const Case& c : cases) {
        Cell n = I(c.arg);
        Cell r = frame_call(c.fn, s, &n);
        EXPECT_EQ(series_index(&r), c.index) << c.arg;
    }
    Cell w = W("x");
    EXPECT_EQ(error_of([&] { frame_call(series_at, s, &w); }), "invalid-arg");
}

TEST_F(Series, StepsStopAtTheEnds) {
    Cell s = load("1 2");
    EXPECT_EQ(series_index(&(frame_call(series_back, s) = frame_call(series_back, s))), 0);
    Cell t = frame_call(series_tail, s);
    EXPECT_EQ(series_index(&t), 2);
    EXPECT_EQ(series_index(&(t = frame_call(series_next, t))), 2);
    Cell five = I(5);
    EXPECT_EQ(series_index(&(t = frame_call(series_at, t, &five))), 2);
    Cell q = frame_call(series_tail_q, t);
    EXPECT_TRUE(q.is(TYPE_LOGIC) && q.data1 == 1);
    Cell idx = frame_call(series_index_q, t);
    EXPECT_EQ(int32_t(idx.data2), 3);  // length + 1
    Cell h = frame_call(series_head_q, s);
    EXPECT_EQ(h.data1, 1u);
}

TEST_F(Series, LengthOfAHeadPastTheTailIsZeroAndMovesItToTheTail) {
    Cell s = load("1 2 3 4");
    Cell late = at_index(s, 3);
    block_set_tail(&s, 1);
    EXPECT_EQ(series_length_q(&late), 0);
    EXPECT_EQ(series_get_length(&late, false), 0);
    EXPECT_EQ(series_index(&late), 1);
    EXPECT_EQ(series_get_length(&late, true), 1);
}

TEST_F(Series, PickCountsFromOneAndMinusOneIsBeforeTheHead) {
    Cell s = load("a b c");
    struct Case {
        int32_t head, index;
        const char* expect;
    } cases[] = {{0, 1, "a"}, {0, 0, "none"}, {0, -1, "none"}, {1, -1, "a"}, {0, 3, "c"}, {0, 4, "none"}, {2, -2, "a"}};
    for (const Case& c : cases) {
        Cell v = at_index(s, c.head);
        EXPECT_EQ(mold(*series_pick(&v, c.index, nullptr)), c.expect) << c.head << " " << c.index;
    }
    Cell str = S("hé");
    Cell ch = *series_pick(&str, 2, nullptr);
    EXPECT_TRUE(ch.is(TYPE_CHAR));
    EXPECT_EQ(ch.data2, 0xE9u);
}

TEST_F(Series, PokeChecksPositionAndKindBeforeChanging) {
    Cell s = load("1 2");
    Cell x = W("x");
    EXPECT_EQ(error_of([&] { series_poke(&s, 0, &x, nullptr); }), "out-of-range");
    EXPECT_EQ(error_of([&] { series_poke(&s, 3, &x, nullptr); }), "out-of-range");
    EXPECT_EQ(series_poke(&s, 2, &x, nullptr), &x);
    EXPECT_EQ(mold(s), "[1 x]");

    Cell str = S("abc");
    Cell n = I(7);
    EXPECT_EQ(error_of([&] { series_poke(&str, 1, &n, nullptr); }), "invalid-arg");
    Cell omega = Cell{TYPE_CHAR, 0, 0x3A9, 0};
    series_poke(&str, 2, &omega, nullptr);  // widens the buffer to two-byte units
    EXPECT_EQ(series_buf(&str)->unit(), 2u);
    EXPECT_EQ(string_to_utf8(&str), "a\xCE\xA9" "c");
}

TEST_F(Series, ClearAndRemove) {
    Cell s = load("a 1 b 2");
    Cell zero = I(0);
    series_remove(&s, &zero, nullptr);
    EXPECT_EQ(mold(s), "[a 1 b 2]");
    Cell key = W("b");
    series_remove(&s, nullptr, &key);
    EXPECT_EQ(whole(s), "[a 1]");
    Cell missing = W("zz");
    Cell t = load("a 1");
    EXPECT_TRUE(series_remove(&t, nullptr, &missing)->is(TYPE_NONE));

    Cell u = load("1 2 3 4 5");
    Cell part = at_index(u, 2);
    series_remove(&u, &part, nullptr);
    EXPECT_EQ(mold(u), "[3 4 5]");
    Cell other = load("1 2");
    EXPECT_EQ(error_of([&] { series_remove(&u, &other, nullptr); }), "invalid-refine-arg");

    Cell v = at_index(load("1 2 3"), 1);
    series_clear(&v);
    EXPECT_EQ(whole(v), "[1]");
}

TEST_F(Series, ReverseBySkipKeepsRecordsWhole) {
    Cell s = load("1 2 3 4 5 6");
    Cell two = I(2);
    series_reverse(&s, nullptr, &two);
    EXPECT_EQ(mold(s), "[5 6 3 4 1 2]");

    Cell five = load("1 2 3 4 5");
    EXPECT_EQ(error_of([&] { series_reverse(&five, nullptr, &two); }), "invalid-refine-arg");
    EXPECT_EQ(mold(five), "[1 2 3 4 5]");
    Cell zero = I(0);
    EXPECT_EQ(error_of([&] { series_reverse(&five, nullptr, &zero); }), "out-of-range");
    Cell three = I(3);
    series_reverse(&five, &three, nullptr);
    EXPECT_EQ(mold(five), "[3 2 1 4 5]");

    Cell str = S("abc\xCE\xA9");
    series_reverse(&str, nullptr, nullptr);
    EXPECT_EQ(string_to_utf8(&str), "\xCE\xA9" "cba");
}

TEST_F(Series, TakeFromHeadTailAndBeforeTheHead) {
    Cell s = load("1 2 3");
    Cell r = s;
    EXPECT_EQ(mold(*block_take(&r, nullptr, false, false)), "1");
    EXPECT_EQ(whole(s), "[2 3]");
    r = s;
    EXPECT_EQ(mold(*block_take(&r, nullptr, false, true)), "3");
    EXPECT_EQ(whole(s), "[2]");

    Cell t = load("1 2 3");
    Cell two = I(2);
    r = t;
    EXPECT_EQ(mold(*block_take(&r, &two, false, false)), "[1 2]");
    EXPECT_EQ(whole(t), "[3]");

    Cell u = at_index(load("1 2 3 4 5"), 3);
    Cell minus2 = I(-2);
    r = u;
    EXPECT_EQ(mold(*block_take(&r, &minus2, false, false)), "[2 3]");
    EXPECT_EQ(whole(u), "[1 4 5]");

    Cell empty = load("");
    EXPECT_TRUE(block_take(&empty, nullptr, false, false)->is(TYPE_NONE));

    Cell zero = I(0);
    Cell v = at_index(load("1 2 3"), 1);
    r = v;
    EXPECT_EQ(mold(*block_take(&r, &zero, false, false)), "[]");  // a count of 0 takes nothing
    EXPECT_EQ(whole(v), "[1 2 3]");
}

TEST_F(Series, TakeDeepCopiesTheSeriesItTakes) {
    Cell inner = load("1");
    Cell s;
    block_make_at(&s, 2);
    block_append_value(&s, &inner);
    Cell r = s;
    block_take(&r, nullptr, true, false);
    ASSERT_TRUE(r.is(TYPE_BLOCK));
    EXPECT_NE(r.data2, inner.data2);
    EXPECT_EQ(mold(r), "[1]");
}

TEST_F(Series, RandomShufflesInPlaceAndOnlyPicks) {
    Cell empty = load("");
    EXPECT_TRUE(series_random(&empty, false, false, true)->is(TYPE_NONE));
    Cell s = load("1 2 3 4 5 6 7 8 9 10");
    series_random(&s, false, false, false);
    SortArgs sorted;
    block_sort(&s, sorted);
    EXPECT_EQ(mold(s), "[1 2 3 4 5 6 7 8 9 10]");
    Cell one = load("7");
    EXPECT_EQ(mold(*series_random(&one, false, false, true)), "7");
    Cell seeded = load("1 2");
    EXPECT_TRUE(series_random(&seeded, true, false, false)->is(TYPE_UNSET));
}

TEST_F(Series, MoveWithinAndBetweenBuffers) {
    struct Case {
        const char* text;
        int32_t from, to, count;
        const char* expect;
    } cases[] = {
        {"1 2 3 4 5", 0, 2, 1, "[2 3 1 4 5]"}, {"1 2 3 4 5", 0, 5, 2, "[3 4 5 1 2]"},
        {"1 2 3 4 5", 3, 0, 2, "[4 5 1 2 3]"}, {"1 2 3 4 5", 0, 1, 3, "[4 1 2 3 5]"},
        {"1 2 3 4 5", 1, 4, 3, "[1 2 3 4 5]"},  // too few units after the target: nothing moves
        {"1 2 3 4 5", 2, 2, 1, "[1 2 3 4 5]"},
    };
    for (const Case& c : cases) {
        Cell s = load(c.text);
        Cell origin = at_index(s, c.from), target = at_index(s, c.to), n = I(c.count);
        series_move(&origin, &target, &n);
        EXPECT_EQ(whole(s), c.expect) << c.from << "->" << c.to;
    }
    Cell a = load("1 2 3"), b = at_index(load("x y"), 1), two = I(2);
    EXPECT_EQ(series_move(&a, &b, &two), &b);
    EXPECT_EQ(whole(a), "[3]");
    EXPECT_EQ(whole(b), "[x 1 2 y]");

    Cell narrow = S("ab"), wide = S("\xCE\xA9");
    series_move(&wide, &narrow, nullptr);
    EXPECT_EQ(string_to_utf8(&narrow), "\xCE\xA9" "ab");
    EXPECT_EQ(string_length(&wide), 0u);

    Cell str = S("ab");
    EXPECT_EQ(error_of([&] { series_move(&a, &str, nullptr); }), "move-bad");
    Cell n = I(1);
    EXPECT_EQ(error_of([&] { series_move(&a, &n, nullptr); }), "expect-arg");
}

TEST_F(Series, CopyPartTakesCountsPositionsAndPairs) {
    Cell s = at_index(load("1 2 3 4 5"), 2);  // at 3
    struct Case {
        Cell part;
        const char* expect;
    } cases[] = {
        {I(2), "[3 4]"},   {I(-2), "[1 2]"}, {I(-9), "[1 2]"}, {I(99), "[3 4 5]"},
        {Cell{TYPE_PAIR, 0, 2, 3}, "[4]"},  // elements 2 to 3 counted from the head
        {at_index(s, 4), "[3 4]"},
    };
    for (Case& c : cases) {
        Cell out;
        series_copy(&s, &out, &c.part, false, nullptr);
        EXPECT_EQ(mold(out), c.expect);
    }
    Cell nl = s;
    nl.header |= CELL_NEW_LINE;
    Cell out;
    series_copy(&nl, &out, nullptr, false, nullptr);
    EXPECT_TRUE(out.header & CELL_NEW_LINE);
    EXPECT_EQ(series_index(&out), 0);
}

// Records every owner event in order.
std::vector<std::string> g_events;
void record_event(const Cell*, const Cell*, const Cell*, const Cell* action, const Cell*, int32_t index,
                  int32_t part) {
    g_events.push_back(std::string(symbol_name(action->data2)) + " " + std::to_string(index) + " " +
                       std::to_string(part));
}

TEST_F(Series, OwnedSeriesReportBeforeAndAfterEachChange) {
    g_owner_fire_deep_change = record_event;
    g_events.clear();
    Cell free = load("1");
    Cell two = I(2);
    block_append(&free, &two, -1, false, 1, true);
    EXPECT_TRUE(g_events.empty());

    Cell s = load("1 2 3");
    Cell owner{TYPE_OBJECT, 0, 0, 1};  // an object that keeps change information
    Cell field = W("f");
    symctx_owner_set(&s, &owner, &field);
    block_append(&s, &two, -1, false, 1, true);
    Cell at_head = s;
    block_append(&at_head, &two, -1, false, 1, false);
    Cell cleared = s;
    series_clear(&cleared);
    Cell key = I(9), val = I(8);
    block_put(&s, &key, &val, false);
    Cell reversed = s;
    series_reverse(&reversed, nullptr, nullptr);
    g_owner_fire_deep_change = nullptr;
    std::vector<std::string> expect = {"append 3 1",  "appended 3 1", "insert 0 1",  "inserted 0 1",
                                       "clear 0 5",   "cleared 0 0",  "put 0 2",     "put-ed 0 2",
                                       "reverse 0 2", "reversed 0 2"};
    EXPECT_EQ(g_events, expect);

    Cell reflected = s;
    EXPECT_TRUE(series_reflect(&reflected, int32_t(g_sym.owned))->is(TYPE_OBJECT));
    Cell word_owned = W("owned"), no = none();
    series_modify(&s, &word_owned, &no, false);
    reflected = s;
    EXPECT_TRUE(series_reflect(&reflected, int32_t(g_sym.owned))->is(TYPE_NONE));
    EXPECT_FALSE(series_buf(&s)->flags & SERIES_OWNED);
    EXPECT_EQ(error_of([&] { series_reflect(&reflected, int32_t(g_sym.body)); }), "not-done");
}

}  // namespace
