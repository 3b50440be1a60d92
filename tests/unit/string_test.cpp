// string! storage and editing: widening, the character writers, append,
// insert, change, swap, take, trim, make/to, path access, owner reports and
// the size checks.
#include <string>
#include <vector>

#include "runtime/symbols.h"
#include "tests/unit/string_support.h"

using namespace kel;
using namespace kel::strtest;

namespace {

using Bytes = std::vector<uint8_t>;

Cell from_bytes(const Bytes& b) { return string_from_encoded(b.data(), uint32_t(b.size()), ENCODING_UTF8); }

std::vector<uint32_t> points(const Cell& s) {
    std::vector<uint32_t> out;
    SeriesBuf* b = node_buffer(s.data2);
    for (uint32_t i = s.data1; i < b->used_bytes() / b->unit(); i++) out.push_back(string_get_char_at(b, i));
    return out;
}

Cell append(Cell s, Cell v, int32_t part = -1, bool only = false, int32_t dup = 1) {
    return *string_append(&s, &v, part, only, dup, true);
}
Cell insert(Cell s, Cell v, int32_t part = -1, int32_t dup = 1) { return *string_insert(&s, &v, part, false, dup, false); }
Cell change(Cell s, Cell v, int32_t part = -1, int32_t dup = 1) { return *string_change(&s, &v, part, false, dup); }

// ---- storage --------------------------------------------------------------------------------

TEST_F(StringTest, AppendedCharactersWidenTheUnitOneToTwoToFour) {
    Cell s = S("");
    struct Step { Bytes bytes; uint32_t unit; } steps[] = {
        {{0xC3, 0xA9}, 1},              // U+00E9 fits a byte
        {{0xE2, 0x82, 0xAC}, 2},        // U+20AC
        {{0xF0, 0x9F, 0x98, 0x80}, 4},  // U+1F600
    };
    for (const Step& step : steps) {
        Cell piece = from_bytes(step.bytes);
        append(s, piece);
        EXPECT_EQ(unit_of(s), step.unit);
    }
    EXPECT_EQ(points(s), (std::vector<uint32_t>{0xE9, 0x20AC, 0x1F600}));
    // Loading the same bytes in one piece gives the same characters at unit 4.
    Cell loaded = from_bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80});
    EXPECT_EQ(unit_of(loaded), 4u);
    EXPECT_EQ(points(loaded), points(s));
}

TEST_F(StringTest, ALoneByteOrderMarkGivesAnEmptyString) {
    Cell s = from_bytes({0xEF, 0xBB, 0xBF});
    EXPECT_EQ(string_length(&s), 0u);
    EXPECT_TRUE(s.is(TYPE_STRING));
}

TEST_F(StringTest, CharacterWritersWidenOnlyWhenTheCodePointNeedsIt) {
    Cell s = S("ab");
    string_append_char(&s, 0xE9);  // Latin-1 stays at one byte a character
    string_poke_char(&s, 0, 0xFF);
    EXPECT_EQ(unit_of(s), 1u);
    string_insert_char(&s, 1, 0x1F600);  // straight to unit 4
    EXPECT_EQ(unit_of(s), 4u);
    EXPECT_EQ(points(s), (std::vector<uint32_t>{0xFF, 0x1F600, 'b', 0xE9}));

    Cell t = S("x");
    string_set_char_at(&t, 40, 0x3A9);  // past the tail: grows, the gap reads as NUL
    EXPECT_EQ(unit_of(t), 2u);
    EXPECT_EQ(string_length(&t), 41u);
    EXPECT_EQ(string_get_char_at(node_buffer(t.data2), 20), 0u);
    EXPECT_EQ(string_get_char_at(node_buffer(t.data2), 40), 0x3A9u);
    string_remove_chars_at(&t, 1, 39);
    EXPECT_EQ(points(t), (std::vector<uint32_t>{'x', 0x3A9}));
    EXPECT_EQ(string_find_char(&t, 0x3A9), 1);
    EXPECT_EQ(string_find_char(&t, 'y'), -1);
}

TEST_F(StringTest, HeadPastTheTailReadsAsTheTail) {
    Cell s = at(S("abc"), 2);
    Cell t = S("abc");
    string_truncate(&t, 1);
    t.data1 = 3;
    EXPECT_EQ(string_length(&t), 0u);
    EXPECT_TRUE(string_at_tail_q(&t));
    string_head_ptr(&t);
    EXPECT_EQ(t.data1, 1u);
    EXPECT_EQ(text(s), "c");
}

// ---- append, insert, change -------------------------------------------------------------------

TEST_F(StringTest, AppendTakesTextCharsTagsBlocksAndFormedValues) {
    EXPECT_EQ(text(append(S("ab"), S("c"), -1, false, 3)), "abccc");
    EXPECT_EQ(text(append(at(S("ab"), 2), S("cd"))), "abcd");  // the result is at the head
    EXPECT_EQ(text(append(S("ab"), S("cdef"), 2)), "abcd");
    EXPECT_EQ(text(append(S("ab"), C('!'))), "ab!");
    EXPECT_EQ(text(append(S(""), S("t", TYPE_TAG))), "<t>");
    EXPECT_EQ(text(append(S(""), S("tag", TYPE_TAG), 3)), "<ta");  // brackets count in /part
    EXPECT_EQ(text(append(S("n"), I(42))), "n42");
    EXPECT_EQ(text(append(S(""), S("ab"), -1, false, 3)), "ababab");

    Cell block = test::block_of({test::word("a"), S("b"), I(1)});
    EXPECT_EQ(text(append(S(""), block)), "ab1");
    EXPECT_EQ(text(append(S(""), block, 2)), "ab");               // /part counts elements
    EXPECT_EQ(text(append(S(""), block, 2, true)), "ab");         // /only: characters
    Cell words = test::block_of({test::word("abc"), test::word("def")});
    EXPECT_EQ(text(append(S(""), words, 4, true)), "abcd");
}

TEST_F(StringTest, InsertReturnsThePositionAfterTheInsertedText) {
    Cell r = insert(at(S("ad"), 1), S("bc"));
    EXPECT_EQ(text(r), "d");
    EXPECT_EQ(whole(r), "abcd");
    Cell tail = insert(at(S("ab"), 2), S("cd"));  // at the tail: an append that returns the tail
    EXPECT_EQ(tail.data1, 4u);
    EXPECT_EQ(whole(tail), "abcd");
    Cell dup = insert(S("z"), C(0x20AC), -1, 3);
    EXPECT_EQ(whole(dup), "€€€z");
    EXPECT_EQ(dup.data1, 3u);
}

TEST_F(StringTest, TextInsertedIntoItselfIsReadAsItWas) {
    Cell s = S("abcd");
    Cell src = at(s, 1);  // "bcd" of the same buffer
    Cell r = insert(at(s, 2), src, -1, 2);
    EXPECT_EQ(whole(r), "abbcdbcdcd");
    EXPECT_EQ(r.data1, 8u);
    Cell c = change(at(s, 0), at(s, 6));  // overwrite from its own later part
    EXPECT_EQ(whole(c), "cdcddbcdcd");

    // Longer than the rotation scratch.
    std::string big(100000, 'x');
    big[0] = 'A';
    Cell b = S(big.c_str());
    insert(at(b, 1), b);
    EXPECT_EQ(string_length_total(&b), 200000u);
    EXPECT_EQ(whole(b).substr(0, 3), "AAx");
    EXPECT_EQ(whole(b).substr(100000, 2), "xx");
}

TEST_F(StringTest, ChangeReplacesOverwritesOrAppends) {
    Cell r = change(S("abc"), S("XY"));
    EXPECT_EQ(whole(r), "XYc");
    EXPECT_EQ(text(r), "c");
    EXPECT_EQ(whole(change(S("abc"), S("X"), 2)), "Xc");
    EXPECT_EQ(whole(change(S("abc"), S("WXYZ"))), "WXYZ");  // extends past the tail
    EXPECT_EQ(whole(change(S("abc"), S("-"), 0)), "-abc");
    EXPECT_EQ(whole(change(at(S("abc"), 1), S("Z"), -1, 3)), "aZZZ");
    Cell t = change(at(S("ab"), 2), S("cd"));
    EXPECT_EQ(whole(t), "abcd");
    EXPECT_EQ(t.data1, 4u);
    Cell wide = change(S("abc"), C(0x3A9), 1);
    EXPECT_EQ(whole(wide), "Ωbc");
    EXPECT_EQ(unit_of(wide), 2u);
}

TEST_F(StringTest, AResultBeyondTwoGigabytesIsNoMemoryAndChangesNothing) {
    Cell s = S("abc");
    EXPECT_EQ(error_of([&] { append(s, S("0123456789"), -1, false, 300000000); }), "no-memory");
    EXPECT_EQ(error_of([&] { change(s, C(0x1F600), -1, 600000000); }), "no-memory");
    EXPECT_EQ(whole(s), "abc");
    EXPECT_EQ(unit_of(s), 1u);
}

// ---- swap, take, trim ---------------------------------------------------------------------------

TEST_F(StringTest, SwapExchangesTheHeadCharacters) {
    Cell a = S("abc"), b = at(S("xy"), 1);
    string_swap(&a, &b);
    EXPECT_EQ(whole(a), "ybc");
    EXPECT_EQ(whole(b), "xa");
    Cell w = S("Ω");
    string_swap(&a, &w);
    EXPECT_EQ(whole(a), "Ωbc");
    Cell tail = at(S("q"), 1);
    string_swap(&a, &tail);
    EXPECT_EQ(whole(a), "Ωbc");
    Cell n = I(1);
    EXPECT_EQ(error_of([&] { string_swap(&a, &n); }), "invalid-arg");
}

TEST_F(StringTest, TakeOfOneCharacterGivesAChar) {
    Cell s = S("abc");
    Cell r = s;
    string_take(&r, nullptr, false, false);
    EXPECT_TRUE(r.is(TYPE_CHAR));
    EXPECT_EQ(r.data2, uint32_t('a'));
    Cell two = I(2);
    Cell p = s;
    string_take(&p, &two, false, true);
    EXPECT_TRUE(p.is(TYPE_STRING));
    EXPECT_EQ(text(p), "bc");
    EXPECT_EQ(whole(s), "");
}

TEST_F(StringTest, TrimVariants) {
    struct Case {
        const char* in;
        TrimArgs args;
        const char* out;
    } cases[] = {
        {"  a  b  ", {}, "a  b"},
        {" \t a \n  b \t\n c  ", {}, "a\nb\nc"},
        {"a \n\n", {}, "a\n"},          // a line feed trimmed from the end comes back once
        {" \n \n", {}, ""},
        {"  a \n b  ", {false, false, false, true}, "a b"},
        {"  a \n\t b  ", {false, false, false, true}, "a b"},
        {"a b\tc\r\n", {false, false, false, false, true}, "abc"},
        {"  a  ", {true}, "a  "},
        {"  a \n", {false, true}, "  a"},
        {"\u3000a\u00A0", {}, "a"},
    };
    for (const Case& c : cases) {
        Cell s = S(c.in);
        string_trim(&s, c.args);
        EXPECT_EQ(whole(s), c.out) << c.in;
    }
    Cell s = S("a-b-c");
    Cell dash = C('-');
    TrimArgs with;
    with.with = &dash;
    string_trim(&s, with);
    EXPECT_EQ(whole(s), "abc");
    Cell t = at(S("x y z"), 1);
    Cell set = S(" z");
    with.with = &set;
    string_trim(&t, with);
    EXPECT_EQ(whole(t), "xy");  // from the head onwards only
    TrimArgs auto_;
    auto_.auto_ = true;
    EXPECT_EQ(error_of([&] { string_trim(&t, auto_); }), "not-done");
}

// ---- make, to, path access ------------------------------------------------------------------------

TEST_F(StringTest, MakeAndTo) {
    Cell proto = test::datatype_cell(TYPE_STRING);
    Cell size = I(10);
    Cell made = *string_make_action(&proto, &size, TYPE_STRING);
    EXPECT_TRUE(made.is(TYPE_STRING));
    EXPECT_EQ(string_length(&made), 0u);
    Cell negative = I(-1);
    EXPECT_EQ(error_of([&] { string_make_action(&proto, &negative, TYPE_STRING); }), "out-of-range");
    Cell none{TYPE_NONE, 0, 0, 0};
    EXPECT_EQ(error_of([&] { string_to(&proto, &none, TYPE_STRING); }), "bad-to-arg");

    Cell block = test::block_of({test::word("a"), S("b"), I(1)});
    EXPECT_EQ(text(*string_to(&proto, &block, TYPE_STRING)), "ab1");
    Cell copy_src = at(S("abc"), 1);
    Cell copy = *string_to(&proto, &copy_src, TYPE_FILE);
    EXPECT_TRUE(copy.is(TYPE_FILE));
    EXPECT_EQ(text(copy), "bc");
    EXPECT_NE(copy.data2, copy_src.data2);

    Cell refinement = test::word("only", TYPE_REFINEMENT);
    EXPECT_EQ(text(*string_to(&proto, &refinement, TYPE_STRING)), "only");
    EXPECT_EQ(text(*string_to(&proto, &refinement, TYPE_FILE)), "/only");

    Cell bin = S("", TYPE_BINARY);
    string_append_bytes_n(&bin, reinterpret_cast<const uint8_t*>("a\xC3\xA9\xE2\x82"), 5);
    EXPECT_EQ(error_of([&] { string_to(&proto, &bin, TYPE_STRING); }), "invalid-utf8");
    string_truncate(&bin, 3);
    Cell decoded = *string_to(&proto, &bin, TYPE_STRING);
    EXPECT_EQ(text(decoded), "aé");
    EXPECT_EQ(unit_of(decoded), 1u);
}

TEST_F(StringTest, PathAccessPicksPokesAndSelects) {
    Cell s = S("abc");
    EvalPathArgs args;
    Cell two = I(2);
    EXPECT_EQ(string_eval_path(&s, &two, nullptr, args)->data2, uint32_t('b'));
    Cell z = C('Z');
    string_eval_path(&s, &two, &z, args);
    EXPECT_EQ(whole(s), "aZc");
    Cell key = C('a');
    EXPECT_EQ(string_eval_path(&s, &key, nullptr, args)->data2, uint32_t('Z'));
    Cell y = C('y');
    string_eval_path(&s, &key, &y, args);
    EXPECT_EQ(whole(s), "ayc");
    Cell missing = C('q');
    EXPECT_EQ(error_of([&] { string_eval_path(&s, &missing, &y, args); }), "bad-path-set");
    Cell w = test::word("x");
    EXPECT_EQ(error_of([&] { string_eval_path(&s, &w, nullptr, args); }), "invalid-path");
}

TEST_F(StringTest, LoadingCopyingAndNumberText) {
    test::stack_clear_all();
    const uint8_t utf16[] = {'h', 0, 0xAC, 0x20};
    Cell* pushed = string_load_push(utf16, 4, ENCODING_UTF16LE);
    EXPECT_EQ(text(*pushed), "h€");
    EXPECT_EQ(error_of([] { string_load_push(nullptr, 0, 5); }), "invalid-arg");
    Cell wide = S_unit("abc", 4);
    Off copy = string_copy_units(wide.data2, 1);
    EXPECT_EQ(node_buffer(copy)->unit(), 1u);  // narrowed: every code point fits
    Cell c{TYPE_STRING, 0, copy, 0};
    EXPECT_EQ(text(c), "abc");
    EXPECT_EQ(string_hex_byte(0x3C), std::string("3C"));
    EXPECT_EQ(string_hex_dword(0x1E, true), std::string("1E"));
    EXPECT_EQ(string_hex_dword(0, true), std::string("00"));
    EXPECT_EQ(string_hex_dword(0x1E, false), std::string("0000001E"));
    EXPECT_EQ(string_hex_dword(0xFFFFFFFE, false), std::string("FFFFFFFE"));
    const char* number = "12.5e1x";
    EXPECT_EQ(string_parse_float(reinterpret_cast<const uint8_t*>(number), reinterpret_cast<const uint8_t*>(number) + 6),
              125.0);
}

// ---- owners ---------------------------------------------------------------------

std::vector<std::string> g_events;
void record_event(const Cell*, const Cell*, const Cell*, const Cell* action, const Cell*, int32_t index,
                  int32_t part) {
    g_events.push_back(std::string(symbol_name(action->data2)) + " " + std::to_string(index) + " " +
                       std::to_string(part));
}

TEST_F(StringTest, OwnedStringsReportEachEditBeforeAndAfter) {
    g_owner_fire_deep_change = record_event;
    g_events.clear();
    Cell s = S("b a ");
    Cell owner{TYPE_OBJECT, 0, 0, 1};  // an object that keeps change information
    Cell field = test::word("f");
    symctx_owner_set(&s, &owner, &field);
    append(s, S("xy"));
    change(s, C('c'), 1);
    string_trim(&s, TrimArgs{});
    SortArgs sort;
    string_sort(&s, sort);
    g_owner_fire_deep_change = nullptr;
    std::vector<std::string> expect = {"append 4 2", "appended 4 2", "change 0 1", "changed 0 1",
                                       "trim 0 6",   "trimmed 0 6",  "sort 0 6",   "sorted 0 6"};
    EXPECT_EQ(g_events, expect);
    EXPECT_EQ(whole(s), "  acxy");
}

}  // namespace
