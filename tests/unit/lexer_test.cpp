// The lexer: token forms and the values they load, nesting and paths, the
// syntax errors with their texts, scan and prescan modes, the event
// callback, nested scans, the collector during scans and the string-to-number
// conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "runtime/datatypes/float.h"
#include "runtime/float_text.h"
#include "runtime/gc.h"
#include "runtime/lexer.h"
#include "runtime/lexer_values.h"
#include "runtime_fixture.h"
#include "tests/unit/lexer_render.h"

using namespace kel;
using namespace kel::test;

namespace {

// Constructors for the datatypes not built here: each writes a cell of the
// right type whose text the renderer finds in made().
void stub(Cell* out, uint32_t type, std::string text) {
    made().push_back(std::move(text));
    cell_set(out, type, static_cast<uint32_t>(made().size()));
}

LexerConstructors test_constructors() {
    LexerConstructors k;
    k.make_date = [](Cell* out, const LexerDate& d) {
        std::string t = "date:";
        if (d.form == LEXER_DATE_YMD)
            t += std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day);
        else if (d.form == LEXER_DATE_WEEK)
            t += std::to_string(d.year) + "-W" + std::to_string(d.week) + "-" + std::to_string(d.weekday);
        else
            t += std::to_string(d.year) + "-D" + std::to_string(d.yearday);
        if (d.has_time) t += "/" + fmt(d.time);
        if (d.has_zone) t += "z" + std::to_string(d.zone_hours) + ":" + std::to_string(d.zone_minutes);
        stub(out, TYPE_DATE, t);
    };
    k.make_time = [](Cell* out, double s) { stub(out, TYPE_TIME, "time:" + fmt(s)); };
    k.make_money = [](Cell* out, const LexerMoney& m) {
        std::string code = m.currency ? m.currency : "";
        if (code == "XXX") return false;
        stub(out, TYPE_MONEY,
             std::string(m.negative ? "-" : "") + code + "$" + std::string(m.whole, m.whole_len) + "." +
                 std::string(m.fraction, m.fraction_len));
        return true;
    };
    k.make_tuple = [](Cell* out, const uint8_t* b, uint32_t n) {
        std::string t = "tuple:";
        for (uint32_t i = 0; i < n; i++) {
            if (i) t += '.';
            t += std::to_string(b[i]);
        }
        stub(out, TYPE_TUPLE, t);
    };
    k.make_pair = [](Cell* out, int32_t x, int32_t y) {
        stub(out, TYPE_PAIR, std::to_string(x) + "x" + std::to_string(y));
    };
    k.make_point = [](Cell* out, uint32_t n, const float* p) {
        std::string t = "(";
        for (uint32_t i = 0; i < n; i++) {
            if (i) t += ", ";
            t += fmt(p[i]);
        }
        stub(out, n == 3 ? TYPE_POINT3D : TYPE_POINT2D, t + ")");
    };
    k.make_percent = [](Cell* out, double d) { stub(out, TYPE_PERCENT, "percent:" + fmt(d)); };
    k.make_binary = [](Cell* out, const uint8_t* b, uint32_t n) {
        std::string t = "#{";
        char h[3];
        for (uint32_t i = 0; i < n; i++) {
            std::snprintf(h, sizeof h, "%02X", b[i]);
            t += h;
        }
        stub(out, TYPE_BINARY, t + "}");
    };
    k.make_map = [](Cell* out, const Cell* block) { stub(out, TYPE_MAP, "#[" + render_cells(block, " ") + "]"); };
    return k;
}

// A callback value: the test's C++ hook stands in for the evaluator.
struct Event {
    std::string event, type, token;
    uint32_t index, line;
};

struct LexerTest : ::testing::Test {
    LexerConstructors saved = g_lexer_constructors;
    LexerCallbackCall saved_call = nullptr;
    LexerCallbackBody saved_body = nullptr;
    void SetUp() override {
        runtime_core_init();
        stack_clear_all();
        lexer_init();
        saved_call = g_lexer_callback_call;
        saved_body = g_lexer_callback_body;
        g_lexer_callback_body = nullptr;
        g_lexer_constructors = test_constructors();
    }
    void TearDown() override {
        g_lexer_constructors = saved;
        g_lexer_callback_call = saved_call;
        g_lexer_callback_body = saved_body;
        g_gc_enabled = false;
        g_gc.stress_every = 0;
        EXPECT_EQ(lexer_active_scans(), 0u);
    }

    // The whole text loaded, rendered without its outer brackets.
    static std::string load(const std::string& text) {
        Cell out{TYPE_NONE, 0, 0, 0};
        GcRootCell root(&out);
        lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
                        false, true, true, false, nullptr, nullptr, nullptr, nullptr);
        EXPECT_TRUE(out.is(TYPE_BLOCK));
        return render_cells(&out, " ");
    }
    // The syntax error a text raises: "id arg2 | text | line note".
    static std::string error_of(const std::string& text) {
        try {
            load(text);
        } catch (const KelThrow& t) {
            std::string r = std::string(t.category == ErrCat::Syntax ? "" : "?") + t.id;
            const Cell& mid = t.args[1];
            if (t.id == "invalid") r += " " + render(&mid);
            if (t.id == "missing") r += " " + std::string(1, static_cast<char>(mid.data2));
            const Cell& text_arg = t.id == "invalid" || t.id == "missing" ? t.args[2] : t.args[1];
            r += " | " + string_to_utf8(&text_arg) + " | " + string_to_utf8(&t.args[0]);
            return r;
        }
        return "no error";
    }
    // One-value scan: the value, and how much input it used.
    static std::string next(const std::string& text, uint32_t* consumed) {
        Cell out{TYPE_NONE, 0, 0, 0};
        GcRootCell root(&out);
        lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
                        true, true, true, false, consumed, nullptr, nullptr, nullptr);
        return render(&out);
    }
    // Result type of a scan (/scan) or prescan (/prescan) of the first token.
    static std::string classify(const std::string& text, bool prescan) {
        Cell out{TYPE_NONE, 0, 0, 0};
        int32_t t = lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(text.data()),
                                    static_cast<uint32_t>(text.size()), !prescan, !prescan, prescan, false, nullptr,
                                    nullptr, nullptr, nullptr);
        return t > 0 ? datatype_name(t) : "none";
    }
};

// ---- values ------------------------------------------------------------------------------

TEST_F(LexerTest, ScalarLiteralsLoad) {
    struct {
        const char* text;
        const char* want;
    } cases[] = {
        {"1 -2 +3 0", "1 -2 3 0"},
        {"1'000'000", "1000000"},
        {"2147483647 -2147483648", "2147483647 -2147483648"},
        {"2147483648 12345678901", "2147483648.0 12345678901.0"},
        {"1.5 .5 -0.25 1e3 1.5E-2 1'000.5", "1.5 0.5 -0.25 1000.0 0.015 1000.5"},
        {"1.#INF -1.#INF", "1.#INF -1.#INF"},
        {"0FFh FFh 7FFFFFFFh FFFFFFFFh", "255 255 2147483647 -1"},
        {"FF Ah", "FF Ah"},
        {"#\"a\" #\"^-\" #\"^(tab)\" #\"^(09)\" #\"^(1F600)\" #\"\xC3\xA9\" #\"^\"\"", "#\"61\" #\"9\" #\"9\" #\"9\" #\"1F600\" #\"E9\" #\"22\""},
        {"#(true) #(FALSE) #(none) #(unset) #(word!)", "#(true) #(false) #(none) #(unset) word!"},
        {"12%", "percent:0.12"},
    };
    for (const auto& c : cases) EXPECT_EQ(load(c.text), c.want) << c.text;
    Cell out{TYPE_NONE, 0, 0, 0};
    const char* t = "-1.#NaN";
    lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(t), 7, true, true, true, false, nullptr, nullptr, nullptr,
                    nullptr);
    EXPECT_TRUE(out.is(TYPE_FLOAT) && std::isnan(float_get(&out)));
}

TEST_F(LexerTest, WordsAndTheirKinds) {
    struct {
        const char* text;
        const char* want;
    } cases[] = {
        {"abc a: :a 'a /ref #iss", "abc a: :a 'a /ref #iss"},
        {"% / // < + - . =", "% / // < + - . ="},
        {"<= <> << >", "<= <> << >"},
        {"/:", "/:"},
        {"x1 a-b-c? \xC3\xA9t\xC3\xA9", "x1 a-b-c? \xC3\xA9t\xC3\xA9"},
    };
    for (const auto& c : cases) EXPECT_EQ(load(c.text), c.want) << c.text;
    // Words are bound to the global context.
    Cell out{TYPE_NONE, 0, 0, 0};
    const char* t = "foo";
    lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(t), 3, true, true, true, false, nullptr, nullptr, nullptr,
                    nullptr);
    EXPECT_EQ(out.type(), TYPE_WORD);
    EXPECT_EQ(out.data1, g_global_context);
}

TEST_F(LexerTest, StringLikeLiterals) {
    struct {
        const char* text;
        const char* want;
    } cases[] = {
        {"\"abc\" \"a^\"b\" \"^(41)^/^-^^\"", "\"abc\" \"a\"b\" \"A\n\t^\""},
        {"{a {b} c} {x^}y}", "\"a {b} c\" \"x}y\""},
        {"{line\none}", "\"line\none\""},
        {"%{a}b}% %%{x}%%", "\"a}b\" \"x\""},
        {"%%{a}% b}%%", "\"a}% b\""},
        {"%file.txt %\"with space\" %a%20b", "%file.txt %with space %a b"},
        {"http://x.org/a%41 a:b", "url:http://x.org/aA url:a:b"},
        {"<a href=\"x\"> <b>", "<a href=\"x\"> <b>"},
        {"me@host.org @ref", "email:me@host.org @ref"},
        {"\"\xE2\x82\xAC\" \"^(1234)\" \"^(10000)\"", "\"\xE2\x82\xAC\" \"\xE1\x88\xB4\" \"\xF0\x90\x80\x80\""},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.text) == "no error" ? load(c.text) : error_of(c.text), c.want) << c.text;
}

TEST_F(LexerTest, ExtendedLiteralsReachTheirConstructors) {
    struct {
        const char* text;
        const char* want;
    } cases[] = {
        {"1.2.3 255.0.0.128", "tuple:1.2.3 tuple:255.0.0.128"},
        {"1x2 -3X+4", "1x2 -3x4"},
        {"(1, 2) (1.5, -2, 3e2) (1.#INF, 0)", "(1.0, 2.0) (1.5, -2.0, 300.0) (1.#INF, 0.0)"},
        {"12:30 -1:30 12:30:45.5 12:30.5", "time:45000.0 time:-5400.0 time:45045.5 time:750.5"},
        {"$1 -$12.50 USD$1'000.50 $007", "$1. -$12.50 USD$1000.50 $7."},
        {"#{0A0B} 16#{0a 0b ; comment\n ff} 2#{00000001} 64#{AAE=}", "#{0A0B} #{0A0BFF} #{01} #{0001}"},
        {"#[a 1 \"b\" 2]", "#[a 1 \"b\" 2]"},
        {"1-Jan-2000 1/1/2000 2000-01-01 1-1-49 1-1-50", "date:2000-1-1 date:2000-1-1 date:2000-1-1 date:2049-1-1 date:1950-1-1"},
        {"2000-W01-1 2000-001 29-feb-2004", "date:2000-W1-1 date:2000-D1 date:2004-2-29"},
        {"20000101T120000Z 1-Jan-2000/10:00:30+5:30", "date:2000-1-1/43200.0z0:0 date:2000-1-1/36030.0z5:30"},
        {"2000-01-01T10:00-0800", "date:2000-1-1/36000.0z-8:0"},
    };
    for (const auto& c : cases) EXPECT_EQ(load(c.text), c.want) << c.text;
}

TEST_F(LexerTest, LiteralsOfUnbuiltTypesRaiseNotDone) {
    g_lexer_constructors = saved;
    for (const char* t : {"1.2.3", "1x2", "12:00", "$1", "1-Jan-2000", "#{00}", "50%", "(1, 2)", "#[a 1]"}) {
        try {
            load(t);
            ADD_FAILURE() << t;
        } catch (const KelThrow& e) {
            EXPECT_EQ(e.id, "not-done") << t;
            EXPECT_EQ(e.args[0].type(), TYPE_DATATYPE) << t;
        }
    }
    // Scanning needs no constructor.
    EXPECT_EQ(classify("1-Jan-2000", false), "date!");
}

// ---- nesting and paths -------------------------------------------------------------------------

TEST_F(LexerTest, BlocksParensAndPaths) {
    struct {
        const char* text;
        const char* want;
    } cases[] = {
        {"[1 [2 (3)] ()] []", "[1 [2 (3)] ()] []"},
        {"a/b 'a/b :a/b a/b: a/1/(c d)/\"s\"", "a/b 'a/b :a/b a/b: a/1/(c d)/\"s\""},
        {"[a/b] (x/y)", "[a/b] (x/y)"},
        {"a/:b a/'c", "a/:b a/'c"},
        {"(1 + 2)", "(1 + 2)"},
    };
    for (const auto& c : cases) EXPECT_EQ(load(c.text), c.want) << c.text;
}

TEST_F(LexerTest, NewLineFlagsFollowLineFeedsBeforeValues) {
    EXPECT_EQ(load("1\n2 3\r\n[\n4]\n{x}"), "1\n2 3\n[4]\n\"x\"");
}

// ---- errors --------------------------------------------------------------------------------------

TEST_F(LexerTest, SyntaxErrorsNameTheTypeTheTextAndTheLine) {
    struct {
        const char* text;
        const char* want;
    } cases[] = {
        {"12a", "invalid integer! | 12a | (line 1)"},
        {"[1 2", "missing ] | [1 2 | (line 1)"},
        {"x (1 2", "missing ) | (1 2 | (line 1)"},
        {"]", "missing [ | ] | (line 1)"},
        {"(1 2]", "missing ) | (1 2] | (line 1)"},
        {"[1 2)", "missing ] | [1 2) | (line 1)"},
        {"1\n2\n 3a", "invalid integer! | 3a | (line 3)"},
        {"1''0", "invalid integer! | 1''0 | (line 1)"},
        {"#\"^(110000)\" x", "invalid char! | #\"^(110000)\" x | (line 1)"},
        {"#\"\" x", "invalid char! | #\"\" x | (line 1)"},
        {"\"abc\ndef\"", "invalid string! | \"abc | (line 1)"},
        {"{abc", "invalid string! | {abc | (line 1)"},
        {"'a/b:", "missing ] | 'a/b: | (line 1)"},
        {"a/b/", "invalid path! | a/b/ | (line 1)"},
        {"x a/", "invalid path! | a/ | (line 1)"},  // no item after the head's "/"
        {"#(foo)", "malconstruct | #(foo) | (line 1)"},
        {"}", "bad-char | } | (line 1)"},
        {"\xC0\x80", "bad-char | \xEF\xBF\xBD\xEF\xBF\xBD | (line 1)"},
        {"x \xFF", "bad-char | \xEF\xBF\xBD | (line 1)"},       // a bad byte is one character
        {"\xF0\nab", "bad-char | \xEF\xBF\xBD | (line 1)"},    // and the text ends at the line
        {"1.5x2", "invalid pair! | 1.5x2 | (line 1)"},
        {"#[a 1 b]", "invalid map! | #[a 1 b] | (line 1)"},
        {"1, 2", "invalid point2D! | , 2 | (line 1)"},
        {"a, b", "invalid word! | a, b | (line 1)"},
        {"8#{00}", "invalid binary! | 8#{00} | (line 1)"},
        {"#{0}", "invalid binary! | #{0} | (line 1)"},
        {"12:", "invalid time! | 12: | (line 1)"},
        {"29-Feb-2001", "invalid date! | 29-Feb-2001 | (line 1)"},
        {"US$1", "invalid money! | US$1 | (line 1)"},
        {"$1.123456", "invalid money! | $1.123456 | (line 1)"},
        {"$123456789012345678", "invalid money! | $123456789012345678 | (line 1)"},
        {"XXX$1", "invalid money! | XXX$1 | (line 1)"},
        {"1.2.256", "invalid tuple! | 1.2.256 | (line 1)"},
        {":a:", "invalid word! | :a: | (line 1)"},
        {"'a:", "invalid lit-word! | 'a: | (line 1)"},
        {"#", "invalid issue! | # | (line 1)"},
        {"6#", "invalid issue! | 6# | (line 1)"},  // digits and "#" with no binary after them
        {"\xE1/b", "bad-char | \xEF\xBF\xBD/b | (line 1)"},  // names are UTF-8: path heads,
        {"#a\xE1", "bad-char | #a | (line 1)"},            // issues
        {"/a\xE1", "bad-char | /a | (line 1)"},            // and refinements
        {"1h", "invalid integer! | 1h | (line 1)"},
        {"123456789h", "invalid integer! | 123456789h | (line 1)"},
        {"%{a}%%", "invalid string! | %{a}%% | (line 1)"},
        {"1.#foo", "invalid float! | 1.#foo | (line 1)"},
        {"1E", "invalid float! | 1E | (line 1)"},
        {"(1, x)", "invalid point2D! | (1, x) | (line 1)"},
        {"(1, 1e)", "invalid float! | (1, 1e) | (line 1)"},
        {"(1, 2, 3, 4)", "invalid point2D! | (1, 2, 3, 4) | (line 1)"},
        {"(a * 2, b)", "invalid point2D! | (a * 2, b) | (line 1)"},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa:", "no error"},
        {"12aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "invalid integer! | 12aaaaaaaaaaaaaaaaaaaaaaaaaaaa | (line 1)"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.want) << c.text;
}

TEST_F(LexerTest, QuotedTextKeepsWholeCharacters) {
    // 29 ASCII bytes then a 2-byte character: it does not fit in 30 bytes.
    std::string t = "12" + std::string(27, 'a') + "\xC3\xA9";
    EXPECT_EQ(error_of(t), "invalid integer! | 12" + std::string(27, 'a') + " | (line 1)");
}

// ---- modes ------------------------------------------------------------------------------------------

TEST_F(LexerTest, OneValueModeStopsAfterTheFirstValue) {
    uint32_t used = 99;
    EXPECT_EQ(next("1 2", &used), "1");
    EXPECT_EQ(used, 1u);
    EXPECT_EQ(next("  [1 [2]] 3", &used), "[1 [2]]");
    EXPECT_EQ(used, 9u);
    EXPECT_EQ(next("a/b c", &used), "a/b");
    EXPECT_EQ(used, 3u);
    EXPECT_EQ(next("\"s\" x", &used), "\"s\"");
    EXPECT_EQ(used, 3u);
    EXPECT_EQ(next("; only a comment\n", &used), "[]");
    EXPECT_EQ(next("{a{b}} x", &used), "\"a{b}\"");
    EXPECT_EQ(used, 6u);
}

TEST_F(LexerTest, ScanAndPrescanClassifyWithoutRaising) {
    struct {
        const char* text;
        const char* scan;
        const char* prescan;
    } cases[] = {
        {"12a", "error!", "error!"},
        {"[1 2", "error!", "error!"},
        {"[1 2] 3", "block!", "block!"},
        {"abc", "word!", "word!"},
        {"a:", "set-word!", "word!"},
        {"a/b", "path!", "path!"},
        {"2147483648", "float!", "integer!"},
        {"", "none", "none"},
        {"#\"a\" x", "char!", "char!"},
        {"(1, 2, 3)", "point3D!", "point2D!"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify(c.text, false), c.scan) << c.text;
        EXPECT_EQ(classify(c.text, true), c.prescan) << c.text;
    }
}

TEST_F(LexerTest, NulEndsTheInput) {
    std::string t("1 2\0 3", 6);
    EXPECT_EQ(load(t), "1 2");
    uint32_t used = 0;
    std::string u("\0abc", 4);
    EXPECT_EQ(next(u, &used), "[]");
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(load(std::string("abc\0", 4)), "abc");
}

TEST_F(LexerTest, UnicodeBlanksSeparateTokens) {
    EXPECT_EQ(load("\xC2\xA0" "abc"), "abc");
    EXPECT_EQ(load("a\xE3\x80\x80" "b"), "a b");
    EXPECT_EQ(load("\xE2\x80\x8B" "123"), "123");
    EXPECT_EQ(load("x \xE2\x80\xA8"), "x");
    EXPECT_EQ(error_of("a\x80"), "bad-char | a\xEF\xBF\xBD | (line 1)");
}

TEST_F(LexerTest, StringInputCountsCharactersAndWideUnits) {
    Cell s = string_cell("\xE2\x82\xAC" "1 [\xE2\x82\xAC] 2");
    Cell out{TYPE_NONE, 0, 0, 0};
    uint32_t used = 0;
    lexer_load_string(&out, &s, -1, true, true, true, false, &used, nullptr, nullptr);
    EXPECT_EQ(render(&out), "\xE2\x82\xAC" "1");
    EXPECT_EQ(used, 2u);
    lexer_load_string(&out, &s, -1, false, true, true, false, &used, nullptr, nullptr);
    EXPECT_EQ(render(&out), "[\xE2\x82\xAC" "1 [\xE2\x82\xAC] 2]");
    EXPECT_EQ(used, 8u);
    // A length limits the text.
    lexer_load_string(&out, &s, 6, false, true, true, false, &used, nullptr, nullptr);
    EXPECT_EQ(render(&out), "[\xE2\x82\xAC" "1 [\xE2\x82\xAC]]");
}

TEST_F(LexerTest, IntoAppendsToAGivenBlock) {
    Cell into = block_of({Cell{TYPE_INTEGER, 0, 7, 0}});
    GcRootCell root(&into);
    Cell out{TYPE_NONE, 0, 0, 0};
    const char* t = "a [b]";
    lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(t), 5, false, true, true, false, nullptr, nullptr, nullptr,
                    &into);
    EXPECT_EQ(out.data2, into.data2);
    EXPECT_EQ(render(&into), "[7 a [b]]");
}

// ---- callback ---------------------------------------------------------------------------------------

struct CallbackTest : LexerTest {
    static std::vector<Event>& log() {
        static std::vector<Event> v;
        return v;
    }
    static std::function<bool(Cell*)>& answer() {
        static std::function<bool(Cell*)> f;
        return f;
    }
    Cell fn{TYPE_FUNCTION, 0, 0, 0};
    void SetUp() override {
        LexerTest::SetUp();
        log().clear();
        answer() = nullptr;
        g_lexer_callback_call = [](const Cell*, Cell* args) {
            Event e;
            e.event = render(&args[0]);
            e.type = render(&args[2]);
            e.token = render(&args[4]);
            e.index = args[1].data1;
            e.line = args[3].data2;
            log().push_back(e);
            return answer() ? answer()(args) : true;
        };
    }
    static std::string events() {
        std::string s;
        for (const Event& e : log()) s += e.event + " " + e.type + " " + e.token + " @" + std::to_string(e.index) + "\n";
        return s;
    }
    std::string trace(const char* text, bool load = true) {
        Cell s = string_cell(text);
        Cell out{TYPE_NONE, 0, 0, 0};
        GcRootCell r1(&s), r2(&out);
        lexer_load_string(&out, &s, -1, false, load, true, false, nullptr, &fn, nullptr);
        return load ? render(&out) : "";
    }
};

TEST_F(CallbackTest, EveryEventReportsItsTokenAndPosition) {
    EXPECT_EQ(trace("[a 1]"), "[[a 1]]");
    EXPECT_EQ(events(),
              "prescan #(none) 1x2 @0\n"
              "open block! 1x2 @0\n"
              "prescan word! 2x3 @2\n"
              "scan word! 2x3 @2\n"
              "load word! a @2\n"
              "prescan integer! 4x5 @4\n"
              "scan integer! 4x5 @4\n"
              "load integer! 1 @4\n"
              "prescan #(none) 5x6 @4\n"
              "close block! 1x6 @5\n");
}

TEST_F(CallbackTest, PointsAreReportedWithTheirParen) {
    EXPECT_EQ(trace("(1, 2)"), "[(1.0, 2.0)]");
    EXPECT_EQ(events(),
              "prescan point2D! 1x7 @6\n"
              "scan point2D! 1x7 @6\n"
              "load point2D! (1.0, 2.0) @6\n");
}

TEST_F(CallbackTest, PositionsCountCharactersOfStringInput) {
    trace("\xE2\x82\xAC\xE2\x82\xAC abc");
    ASSERT_GE(log().size(), 1u);
    EXPECT_EQ(log()[0].token, "1x3");
    EXPECT_EQ(log().back().token, "abc");
    EXPECT_EQ(log().back().index, 6u);
}

TEST_F(CallbackTest, AFalseAnswerSkipsOrStops) {
    // Refusing a load drops the value.
    answer() = [](Cell* args) { return !(render(&args[0]) == "load" && render(&args[4]) == "2"); };
    EXPECT_EQ(trace("1 2 3"), "[1 3]");
    // Refusing an error in a value stops the scan quietly with what was
    // loaded; a bad token between values is stepped over.
    answer() = [](Cell* args) { return render(&args[0]) != "error"; };
    EXPECT_EQ(trace("1 2 1''0 4"), "[1 2]");
    EXPECT_EQ(trace("1 2 #(foo) 4"), "[1 2 4]");
    // With no progress possible the scan stops.
    EXPECT_EQ(trace("1 } 2"), "[1]");
    // Accepting it raises the error.
    answer() = nullptr;
    EXPECT_THROW(trace("1 #(foo)"), KelThrow);
}

TEST_F(CallbackTest, TheEventMaskComesFromTheBodysFirstBlock) {
    g_lexer_callback_body = [](const Cell*, Cell* body) {
        Cell words = block_of({word("error"), word("close"), integer(3)});
        *body = block_of({words, word("other")});
        return true;
    };
    trace("[x] y");
    EXPECT_EQ(events(), "close block! 1x4 @3\n");
}

TEST_F(CallbackTest, MovingTheInputMovesTheScan) {
    // On the error at "}" the callback steps over it and refuses the error.
    answer() = [](Cell* args) {
        if (render(&args[0]) != "error") return true;
        args[1].data1 += 1;
        return false;
    };
    EXPECT_EQ(trace("1 } 2"), "[1 2]");
}

TEST_F(CallbackTest, ACallbackMayScanAgain) {
    answer() = [](Cell* args) {
        if (render(&args[0]) == "load" && render(&args[4]) == "b") {
            const char* inner = "[x y] z";
            Cell out{TYPE_NONE, 0, 0, 0};
            GcRootCell root(&out);
            lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(inner), 7, false, true, true, false, nullptr,
                            nullptr, nullptr, nullptr);
            EXPECT_EQ(render(&out), "[[x y] z]");
            EXPECT_EQ(lexer_active_scans(), 1u);
        }
        return true;
    };
    EXPECT_EQ(trace("[a b c] d"), "[[a b c] d]");
}

// ---- the collector ---------------------------------------------------------------------------------

// The collections run in a child process, so that what other suites made
// and hold no root for stays as it was.
TEST_F(LexerTest, ValuesSurviveCollectionsDuringTheScan) {
    std::string text;
    std::string want;
    for (int i = 0; i < 60; i++) {
        std::string n = std::to_string(i);
        text += "[w" + n + " \"s" + n + "\" (" + n + " %f" + n + ") a/b" + n + " <t" + n + ">] ";
        want += std::string(want.empty() ? "" : " ") + "[w" + n + " \"s" + n + "\" (" + n + " %f" + n + ") a/b" + n +
                " <t" + n + ">]";
    }
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            g_gc_enabled = true;
            g_gc.stress_every = 1;
            uint32_t before = g_gc.series_cycles;
            std::string got = load(text);
            bool collected = g_gc.series_cycles > before + 100;
            std::exit(got == want && collected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- conversions ------------------------------------------------------------------------------------

TEST_F(LexerTest, StringsToIntegersFloatsAndMoney) {
    auto to_int = [](const char* t, int32_t* err) {
        return lexer_to_integer(reinterpret_cast<const uint8_t*>(t), 1, static_cast<uint32_t>(std::strlen(t)), err);
    };
    int32_t err;
    EXPECT_EQ(to_int("1'000", &err), 1000);
    EXPECT_EQ(err, 0);
    to_int("12x", &err);
    EXPECT_EQ(err, -1);
    to_int("2147483648", &err);
    EXPECT_EQ(err, -2);
    EXPECT_EQ(to_int("-2147483648", &err), INT32_MIN);
    EXPECT_EQ(err, 0);

    auto to_float = [](const std::string& t, int32_t* e) {
        return lexer_to_float(reinterpret_cast<const uint8_t*>(t.data()), static_cast<uint32_t>(t.size()), 1, e);
    };
    EXPECT_EQ(to_float("1,5", &err), 1.5);
    EXPECT_EQ(to_float("1'000.5", &err), 1000.5);
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(std::isnan(to_float(std::string(400, '1'), &err)));
    EXPECT_EQ(err, -1);

    auto to_money = [](const char* t) {
        Cell out{TYPE_NONE, 0, 0, 0};
        int32_t e;
        lexer_to_money(reinterpret_cast<const uint8_t*>(t), static_cast<uint32_t>(std::strlen(t)), 1, &out, &e);
        return e ? std::string("fail") : render(&out);
    };
    EXPECT_EQ(to_money("EUR$12.50"), "EUR$12.50");
    EXPECT_EQ(to_money("$1'000"), "$1000.");
    EXPECT_EQ(to_money("-12.5"), "-$12.5");
    for (const char* bad : {"EU$1", "$'1", "$1.", "1''0", "$", "$1.5.5", "XXX$1"}) EXPECT_EQ(to_money(bad), "fail") << bad;
}

}  // namespace
