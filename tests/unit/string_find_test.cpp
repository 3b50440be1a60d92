// string! searching, comparison, sorting, set operations and the PARSE
// matching primitives.
#include <random>
#include <string>
#include <vector>

#include "runtime/datatypes/block.h"
#include "tests/unit/string_support.h"

using namespace kel;
using namespace kel::strtest;

namespace {

// find with refinements; "none" when nothing is found, else the text from
// the match.
std::string find(Cell s, Cell v, FindArgs a = {}) {
    Cell* r = string_find(&s, &v, a);
    return r->is(TYPE_NONE) ? "none" : text(*r);
}
FindArgs args(std::initializer_list<const char*> flags) {
    FindArgs a;
    for (std::string f : flags) {
        if (f == "last") a.last = true;
        if (f == "tail") a.tail = true;
        if (f == "case") a.case_ = true;
        if (f == "reverse") a.reverse = true;
        if (f == "match") a.match = true;
    }
    return a;
}

TEST_F(StringTest, FindRefinements) {
    Cell abc = S("abcabc");
    EXPECT_EQ(find(abc, S("bc")), "bcabc");
    EXPECT_EQ(find(abc, S("bc"), args({"last"})), "bc");
    EXPECT_EQ(find(abc, S("bc"), args({"tail"})), "abc");
    EXPECT_EQ(find(abc, S("bc"), args({"last", "tail"})), "");
    EXPECT_EQ(find(abc, S("BC"), args({"case"})), "none");
    EXPECT_EQ(find(S("aBc"), S("b"), args({"case"})), "none");
    EXPECT_EQ(find(S("aBc"), S("b")), "Bc");
    EXPECT_EQ(find(abc, S("ab"), args({"match"})), "abcabc");
    EXPECT_EQ(find(abc, S("ab"), args({"match", "tail"})), "cabc");
    EXPECT_EQ(find(abc, S("bc"), args({"match"})), "none");
    EXPECT_EQ(find(at(abc, 4), S("ab"), args({"reverse"})), "abcabc");  // the match ends before the head
    EXPECT_EQ(find(at(abc, 4), S("bc"), args({"reverse"})), "bcabc");
    EXPECT_EQ(find(abc, S("a"), args({"reverse"})), "none");          // at index 1
    EXPECT_EQ(find(at(abc, 6), C('c'), args({"reverse"})), "c");
    EXPECT_EQ(find(at(abc, 6), C('c')), "none");                      // at the tail
    EXPECT_EQ(find(abc, S("")), "none");

    Cell three = I(3), skip2 = I(2), zero = I(0);
    FindArgs part;
    part.part = &three;
    EXPECT_EQ(find(S("abcdef"), S("d"), part), "none");
    EXPECT_EQ(find(S("abcdef"), S("c"), part), "cdef");
    EXPECT_EQ(find(S("abcdef"), S("cd"), part), "none");  // must end inside the range
    FindArgs rpart = args({"reverse"});
    Cell one = I(1);
    rpart.part = &one;
    EXPECT_EQ(find(at(abc, 4), C('b'), rpart), "none");
    EXPECT_EQ(find(at(abc, 4), C('a'), rpart), "abc");
    FindArgs skip;
    skip.skip = &skip2;
    EXPECT_EQ(find(S("a1b2"), S("b"), skip), "b2");
    EXPECT_EQ(find(S("ab1b"), S("b"), skip), "none");  // only record starts
    skip.skip = &zero;
    EXPECT_EQ(error_of([&] { find(S("a1b2"), S("b"), skip); }), "out-of-range");
    Cell other = S("abc");
    FindArgs bad_part;
    bad_part.part = &other;
    EXPECT_EQ(error_of([&] { find(abc, C('a'), bad_part); }), "invalid-refine-arg");
    FindArgs any;
    any.any = true;
    EXPECT_EQ(error_of([&] { find(abc, S("a*"), any); }), "not-done");
}

TEST_F(StringTest, FindValueKinds) {
    Cell s = S("x12 wörd Ωmega");
    EXPECT_EQ(find(s, I(12)), "12 wörd Ωmega");         // formed
    EXPECT_EQ(find(s, test::word("WÖRD")), "wörd Ωmega");  // a word by its name, folded
    EXPECT_EQ(find(s, C(0x3C9)), "Ωmega");              // ω folds like Ω
    EXPECT_EQ(find(s, S("MEGA", TYPE_FILE)), "mega");
    Cell bin = S("", TYPE_BINARY);
    EXPECT_EQ(error_of([&] { find(s, bin); }), "invalid-arg");
    // Text looked for in a binary! is its UTF-8 bytes; a char! or integer! is one byte.
    Cell bytes = S("", TYPE_BINARY);
    string_append_bytes_n(&bytes, reinterpret_cast<const uint8_t*>("ab\xC3\xA9z"), 5);
    Cell found = bytes;
    string_find(&found, &(s = S("é")), FindArgs{});
    EXPECT_EQ(found.data1, 2u);
    found = bytes;
    Cell byte = I(0xA9);
    string_find(&found, &byte, FindArgs{});
    EXPECT_EQ(found.data1, 3u);
    found = bytes;
    Cell upper = S("AB");
    string_find(&found, &upper, FindArgs{});
    EXPECT_TRUE(found.is(TYPE_NONE));  // bytes never fold
}

TEST_F(StringTest, FindABitset) {
    // Bits most significant first: byte 0x20 holds 'c' (99 = 12 * 8 + 3) at bit 3.
    Cell set = S("", TYPE_BITSET);
    std::vector<uint8_t> bits(13, 0);
    bits[12] = 0x10;
    string_append_bytes_n(&set, bits.data(), uint32_t(bits.size()));
    EXPECT_EQ(find(S("abcd"), set), "cd");
    EXPECT_EQ(find(S("ab"), set), "none");
    // 104 is the bit count: beyond the bits, the complement flag answers.
    EXPECT_FALSE(string_bitset_has(&set, 104));
    series_set_flags(set.data2, SERIES_COMPLEMENT);
    EXPECT_TRUE(string_bitset_has(&set, 104));
    EXPECT_TRUE(string_bitset_has(&set, 0x10FFFF));
    EXPECT_FALSE(string_bitset_has(&set, 98));
}

TEST_F(StringTest, SelectGivesTheCharacterAfterTheMatch) {
    auto select = [](Cell s, Cell v) {
        Cell* r = string_select(&s, &v, FindArgs{});
        return r->is(TYPE_NONE) ? std::string("none") : std::string(1, char(r->data2));
    };
    EXPECT_EQ(select(S("abc"), S("b")), "c");
    EXPECT_EQ(select(S("abc"), S("c")), "none");
    EXPECT_EQ(select(S("abc"), S("ab")), "c");
    EXPECT_EQ(select(S("a12b"), I(12)), "b");  // after the whole formed text
    Cell s = S("abc");
    Cell b = S("b");
    EXPECT_TRUE(string_select(&s, &b, FindArgs{})->is(TYPE_CHAR));
}

// Searches in long text at every unit agree with a plain search over the
// (folded) code points.
TEST_F(StringTest, LongSearchesAgreeWithAPlainScan) {
    const char* pieces[] = {"a", "b", "c", "A", "B", " ", "\xC3\x9F", "s"};
    std::mt19937 gen(7);
    std::vector<int> hay;
    for (int i = 0; i < 3000; i++) hay.push_back(int(gen() % 8));
    auto utf8 = [&](size_t from, size_t n) {
        std::string out;
        for (size_t i = from; i < from + n; i++) out += pieces[hay[i]];
        return out;
    };
    auto plain = [&](const std::vector<uint32_t>& h, const std::vector<uint32_t>& n) {
        for (size_t i = 0; i + n.size() <= h.size(); i++)
            if (std::equal(n.begin(), n.end(), h.begin() + long(i))) return long(i);
        return -1L;
    };
    std::string all = utf8(0, hay.size());
    for (int round = 0; round < 60; round++) {
        size_t len = 1 + gen() % 20;
        std::string needle = utf8(gen() % (hay.size() - len), len);
        for (uint32_t unit : {1u, 2u, 4u}) {
            Cell h = S_unit(all.c_str(), unit), n = S(needle.c_str());
            std::vector<uint32_t> hc, nc, hf, nf;
            for (uint32_t i = 0; i < string_length(&h); i++) hc.push_back(string_get_char_at(node_buffer(h.data2), i));
            for (uint32_t i = 0; i < string_length(&n); i++) nc.push_back(string_get_char_at(node_buffer(n.data2), i));
            for (uint32_t c : hc) hf.push_back(string_fold_char(c));
            for (uint32_t c : nc) nf.push_back(string_fold_char(c));
            Cell exact = h;
            string_find(&exact, &n, args({"case"}));
            ASSERT_FALSE(exact.is(TYPE_NONE)) << needle;
            EXPECT_EQ(long(exact.data1), plain(hc, nc)) << needle << " unit " << unit;
            Cell folded = h;
            string_find(&folded, &n, FindArgs{});
            ASSERT_FALSE(folded.is(TYPE_NONE)) << needle;
            EXPECT_EQ(long(folded.data1), plain(hf, nf)) << needle << " unit " << unit;
        }
    }
}

// vector! shares find, select and sort: its elements are read through the
// vector hooks, whatever their size (here 8-byte integers).
Cell* read_int64(Cell* out, const uint8_t* at, uint32_t, uint32_t) {
    int64_t v;
    std::memcpy(&v, at, 8);
    cell_set(out, TYPE_INTEGER, 0, uint32_t(int32_t(v)), 0);
    return out;
}

TEST_F(StringTest, VectorElementsAreFoundAndSortedAsNumbers) {
    VectorHooks old = g_vector;
    g_vector.get = read_int64;
    Off node = alloc_series(4, 8, 0);
    SeriesBuf* b = node_buffer(node);
    int64_t values[] = {30, -5, 7, 300};
    std::memcpy(b->head_ptr(), values, sizeof values);
    b->tail = b->head + sizeof values;
    Cell v{TYPE_VECTOR, 0, node, TYPE_INTEGER};
    Cell found = v, seven = I(7);
    string_find(&found, &seven, FindArgs{});
    EXPECT_EQ(found.data1, 2u);
    Cell selected = v, minus5 = I(-5);
    string_select(&selected, &minus5, FindArgs{});
    EXPECT_EQ(int32_t(selected.data2), 7);
    Cell last = v, thirty = I(30);
    string_find(&last, &thirty, args({"last"}));
    EXPECT_EQ(last.data1, 0u);
    Cell sorted_v = v;
    string_sort(&sorted_v, SortArgs{});
    int64_t out[4];
    std::memcpy(out, node_buffer(node)->head_ptr(), sizeof out);
    EXPECT_EQ(std::vector<int64_t>(out, out + 4), (std::vector<int64_t>{-5, 7, 30, 300}));
    g_vector = old;
}

// ---- comparison ---------------------------------------------------------------------------------------

TEST_F(StringTest, ComparisonOrdersCodePointsFoldingCaseUnlessStrict) {
    struct Case { Cell a, b; int32_t op; int32_t sign; } cases[] = {
        {S("abc"), S("abd"), COMP_LESSER, -1},
        {S("ab"), S("abc"), COMP_LESSER, -1},
        {S("abc"), S("ab"), COMP_GREATER, 1},
        {S("ABC"), S("abc"), COMP_EQUAL, 0},
        {S("ABC"), S("abc"), COMP_STRICT_EQUAL, -1},
        {S("ÉTÉ"), S("été"), COMP_EQUAL, 0},
        {S_unit("Été", 4), S("éTÉ"), COMP_EQUAL, 0},  // whatever the units
        {S("a"), S("B"), COMP_SORT, -1},
        {S("a"), S("B"), COMP_CASE_SORT, 1},
        {S(""), S(""), COMP_EQUAL, 0},
        {S(""), S("a"), COMP_LESSER, -1},
        {S("a"), S(""), COMP_LESSER, 1},
        {S("abc"), S("abc", TYPE_FILE), COMP_EQUAL, 0},
        {S("abc"), S("abd", TYPE_FILE), COMP_NOT_EQUAL, -1},
    };
    for (const Case& c : cases) {
        int32_t r = string_compare(&c.a, &c.b, c.op);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << text(c.a) << " " << c.op;
    }
    Cell big = S("ABC"), small = S("abc");
    EXPECT_TRUE(actions_compare_call(&big, &small, COMP_EQUAL));
    EXPECT_FALSE(actions_compare_call(&big, &small, COMP_STRICT_EQUAL));
    Cell s = S("abc"), f = S("abc", TYPE_FILE);
    EXPECT_EQ(string_compare(&s, &f, COMP_LESSER), kCompareIncomparable);
    EXPECT_EQ(error_of([&] { actions_compare_call(&s, &f, COMP_LESSER); }), "invalid-compare");
    Cell same = s, copy = S("abc");
    EXPECT_EQ(string_compare(&s, &same, COMP_SAME), 0);
    EXPECT_NE(string_compare(&s, &copy, COMP_SAME), 0);
    // Match mode: a begins with b.
    EXPECT_EQ(string_compare_core(&(s = S("abcdef")), &(f = S("ABC")), COMP_EQUAL, true), 0);
    EXPECT_NE(string_compare_core(&(s = S("ab")), &(f = S("abc")), COMP_EQUAL, true), 0);
}

// ---- sort -----------------------------------------------------------------------------------------------

std::string sorted(const char* in, SortArgs a = {}, uint32_t unit = 1) {
    Cell s = S_unit(in, unit);
    string_sort(&s, a);
    return whole(s);
}

TEST_F(StringTest, SortRefinements) {
    SortArgs none;
    EXPECT_EQ(sorted("dCbA", none), "AbCd");
    EXPECT_EQ(sorted("dCbA", none, 2), "AbCd");  // one order whatever the unit
    SortArgs cased;
    cased.case_ = true;
    EXPECT_EQ(sorted("dCbA", cased), "ACbd");
    SortArgs rev;
    rev.reverse = true;
    EXPECT_EQ(sorted("adcb", rev), "dcba");
    EXPECT_EQ(sorted("adcb", rev, 4), "dcba");

    Cell two = I(2), three = I(3);
    SortArgs skip;
    skip.skip = &two;
    EXPECT_EQ(sorted("b2a1", skip), "a1b2");
    EXPECT_EQ(error_of([&] { sorted("abc", skip); }), "invalid-refine-arg");
    SortArgs all_alone;
    all_alone.all = true;
    EXPECT_EQ(error_of([&] { sorted("ba", all_alone); }), "bad-refines");
    SortArgs by_second = skip;
    by_second.compare = &two;
    EXPECT_EQ(sorted("a2b1", by_second), "b1a2");
    by_second.compare = &three;
    EXPECT_EQ(error_of([&] { sorted("a2b1", by_second); }), "out-of-range");
    SortArgs whole_records = skip;
    whole_records.all = true;
    EXPECT_EQ(sorted("b2a9a1", whole_records), "a1a9b2");

    // /part: a count, a negative count before the head, a position.
    Cell s = at(S("dcba"), 2);
    SortArgs back;
    Cell minus2 = I(-2);
    back.part = &minus2;
    string_sort(&s, back);
    EXPECT_EQ(whole(s), "cdba");
    EXPECT_EQ(s.data1, 0u);
    Cell t = at(S("dcba"), 1);
    Cell minus5 = I(-5);
    back.part = &minus5;
    string_sort(&t, back);
    EXPECT_EQ(whole(t), "dcba");  // would pass the first character: nothing sorted
    EXPECT_EQ(t.data1, 0u);
    SortArgs upto;
    Cell u = S("dcba");
    upto.part = &two;
    string_sort(&u, upto);
    EXPECT_EQ(whole(u), "cdba");
}

TEST_F(StringTest, StableSortKeepsEqualKeysInOrderEvenWithCase) {
    Cell two = I(2), one = I(1);
    SortArgs a;
    a.skip = &two;
    a.compare = &one;
    a.stable = true;
    EXPECT_EQ(sorted("b1a2B0a3A4", a), "a2a3A4b1B0");
    a.case_ = true;
    EXPECT_EQ(sorted("b1a2B0a3A4", a), "A4B0a2a3b1");
    SortArgs plain;
    plain.stable = true;
    EXPECT_EQ(sorted("bBaAb", plain), "aAbBb");
}

// A comparator function stands in as "first < second" on code points.
void less_than(const Cell*, const Cell* a, const Cell* b, Cell* result) {
    uint32_t x = a->is(TYPE_CHAR) ? a->data2 : string_get_char_at(node_buffer(a->data2), 0);
    uint32_t y = b->is(TYPE_CHAR) ? b->data2 : string_get_char_at(node_buffer(b->data2), 0);
    cell_set(result, TYPE_LOGIC, x < y ? 1 : 0);
}

TEST_F(StringTest, AComparatorSaysTrueToPutTheFirstValueFirst) {
    SortComparatorCall old = g_sort_comparator_call;
    g_sort_comparator_call = less_than;
    Cell fn{TYPE_FUNCTION, 0, 0, 0};
    SortArgs a;
    a.compare = &fn;
    EXPECT_EQ(sorted("dacb", a), "abcd");  // the same mapping as block sort
    a.reverse = true;
    EXPECT_EQ(sorted("dacb", a), "dcba");
    Cell two = I(2);
    SortArgs records;
    records.compare = &fn;
    records.skip = &two;
    records.all = true;
    EXPECT_EQ(sorted("c1a2b3", records), "a2b3c1");
    g_sort_comparator_call = old;
    Cell word = test::word("x");
    SortArgs bad;
    bad.compare = &word;
    EXPECT_EQ(error_of([&] { sorted("ab", bad); }), "invalid-refine-arg");
}

// ---- set operations ---------------------------------------------------------------------------------------

std::string set_op(Cell a, Cell b, int32_t op, bool case_ = false, const Cell* skip = nullptr) {
    test::stack_clear_all();
    Cell* r = string_set_op(&a, &b, case_, skip, op);
    std::string out = text(*r);
    EXPECT_EQ(r->type(), a.type());
    return out;
}

TEST_F(StringTest, SetOperations) {
    EXPECT_EQ(set_op(S("abc"), S("bcd"), OP_UNION), "abcd");
    EXPECT_EQ(set_op(S("abc"), S("b"), OP_EXCLUDE), "ac");
    EXPECT_EQ(set_op(S("abcb"), S("cbx"), OP_INTERSECT), "bc");
    EXPECT_EQ(set_op(S("abc"), S("bcd"), OP_DIFFERENCE), "ad");
    EXPECT_EQ(set_op(S("aAbBa"), S(""), OP_UNIQUE), "ab");
    EXPECT_EQ(set_op(S("aAbBa"), S(""), OP_UNIQUE, true), "aAbB");
    EXPECT_EQ(set_op(S("Ωω€"), S("Ω"), OP_EXCLUDE), "€");
    EXPECT_EQ(set_op(S("abc", TYPE_FILE), S("d", TYPE_FILE), OP_UNION), "abcd");
    Cell two = I(2), zero = I(0);
    EXPECT_EQ(set_op(S("a1b2a3"), S(""), OP_UNIQUE, false, &two), "a1b2");
    EXPECT_EQ(error_of([&] { set_op(S("ab"), S(""), OP_UNIQUE, false, &zero); }), "invalid-refine-arg");
}

// ---- PARSE primitives -----------------------------------------------------------------------------------

TEST_F(StringTest, MatchingAtTheHead) {
    Cell s = S("<Tag>rest");
    Cell tag = S("tag", TYPE_TAG);
    EXPECT_TRUE(string_match_at_head(&s, &tag, COMP_EQUAL));
    EXPECT_FALSE(string_match_at_head(&s, &tag, COMP_STRICT_EQUAL));
    Cell prefix = S("<TAG");
    EXPECT_TRUE(string_match_at_head(&s, &prefix, COMP_EQUAL));
    Cell lt = C('<');
    EXPECT_TRUE(string_match_at_head(&s, &lt, COMP_STRICT_EQUAL));
    Cell n = I(1);
    EXPECT_FALSE(string_match_at_head(&s, &n, COMP_EQUAL));
    Cell rec = S("a1B2");
    EXPECT_TRUE(string_char_in_q(&rec, 'b', 2, false));
    EXPECT_FALSE(string_char_in_q(&rec, 'b', 2, true));
    EXPECT_FALSE(string_char_in_q(&rec, '1', 2, false));
}

}  // namespace
