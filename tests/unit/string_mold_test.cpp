// string! mold and form: delimiters, escapes, brace balance, part limits.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/unit/string_support.h"

using namespace kel;
using namespace kel::strtest;

namespace {

TEST_F(StringTest, MoldChoosesQuotesOrBraces) {
    std::string s49(49, 'x'), s50(50, 'x');
    struct Case { std::string in, out; } cases[] = {
        {"abc", "\"abc\""},
        {"", "\"\""},
        {s49, "\"" + s49 + "\""},
        {s50, "{" + s50 + "}"},
        {"say \"hi\"", "{say \"hi\"}"},
        {"\"", "{\"}"},
        {"a\nb\nc", "\"a^/b^/c\""},
        {"a\nb\nc\n", "{a^/b^/c^/}"},
    };
    for (const Case& c : cases) EXPECT_EQ(mold(S(c.in.c_str())), c.out) << c.in;
    // The length that decides counts from the head.
    Cell late = at(S(s50.c_str()), 1);
    EXPECT_EQ(mold(late), "\"" + s49 + "\"");
}

TEST_F(StringTest, MoldEscapes) {
    struct Case { uint32_t cp; bool all; const char* out; } cases[] = {
        {0x1E, false, "\"^(1E)\""}, {0x7F, false, "\"^~\""},    {0x85, false, "\"^(85)\""},
        {0xE9, false, "\"é\""},     {0xE9, true, "\"^(E9)\""},  {0x4E2D, true, "\"^(4E2D)\""},
        {'\t', false, "\"^-\""},    {0, false, "\"^@\""},       {'^', false, "\"^^\""},
        {0x1B, false, "\"^[\""},    {'\r', false, "\"^M\""},    {0x1F600, false, "\"😀\""},
        {0xDFFF, false, "\"^(DFFF)\""},  // a surrogate has no UTF-8 the lexer reads
    };
    for (const Case& c : cases) {
        Cell s = S("");
        string_append_char(&s, c.cp);
        EXPECT_EQ(mold(s, c.all), c.out) << c.cp;
    }
    // Inside braces a double quote stays, a caret doubles and controls keep their forms.
    EXPECT_EQ(mold(S("\"^\t")), "{\"^^^-}");
}

TEST_F(StringTest, BracesInsideBracesStayBalanced) {
    struct Case { const char* in; const char* out; } cases[] = {
        {"\"{a}\"", "{\"{a}\"}"},
        {"\"{a", "{\"^{a}"},
        {"\"}a{", "{\"^}a^{}"},
        {"\"{ { }", "{\"^{ ^{ ^}}"},  // once unbalanced, every later '{' is escaped
        {"\"{x} {", "{\"{x} ^{}"},
    };
    for (const Case& c : cases) EXPECT_EQ(mold(S(c.in)), c.out) << c.in;
}

TEST_F(StringTest, PartLimitsCutTheTextNotTheChoice) {
    std::string s60(60, 'y');
    Cell buf;
    string_make(&buf, 16);
    Cell two = I(2);
    Cell s = S("abcdef");
    EXPECT_EQ(string_mold(&s, &buf, false, false, false, &two, 2, 0), 2 - 4);
    EXPECT_EQ(text(buf), "\"ab\"");
    Cell long_one = S(s60.c_str());
    string_make(&buf, 16);
    string_mold(&long_one, &buf, false, false, false, &two, 2, 0);
    EXPECT_EQ(text(buf), "{yy}");

    string_make(&buf, 16);
    EXPECT_EQ(string_form(&s, &buf, &two, 2), 2 - 6);
    EXPECT_EQ(text(buf), "ab");
    string_make(&buf, 16);
    Cell wide = at(S("xΩz"), 1);
    EXPECT_EQ(string_form(&wide, &buf, nullptr, kNoPartLimit), kNoPartLimit - 2);
    EXPECT_EQ(text(buf), "Ωz");
    EXPECT_EQ(test::form(&wide), "Ωz");
    EXPECT_EQ(test::mold(&wide), "\"Ωz\"");
}

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's reservations defeat an address-space cap
// Molds a 160-million-character string with the address space capped at what
// the process holds plus 256 MB: the string and its mold live in the arena
// (already reserved), so only a scratch copy on the process heap would hit
// the cap.
[[noreturn]] void mold_long_string_under_heap_cap() {
    constexpr uint32_t n = 160u << 20;
    Cell s;
    string_make(&s, n, 1);
    GcRootCell keep(&s);
    SeriesBuf* b = node_buffer(s.data2);
    std::memset(b->head_ptr(), 'a', n);
    b->tail = b->head + n;
    b->head_ptr()[0] = '{';  // braces, and an unpaired one to find
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    if (pages <= 0) std::exit(2);
    rlimit cap{};
    cap.rlim_cur = cap.rlim_max = rlim_t(pages) * 4096 + (rlim_t(256) << 20);
    if (setrlimit(RLIMIT_AS, &cap) != 0) std::exit(3);
    Cell out;
    string_make(&out, 16);
    GcRootCell keep_out(&out);
    string_mold(&s, &out, false, false, false, nullptr, kNoPartLimit, 0);
    SeriesBuf* o = node_buffer(out.data2);
    bool ok = o->used_bytes() == n + 3 && std::memcmp(o->head_ptr(), "{^{a", 4) == 0 && o->head_ptr()[n + 2] == '}';
    std::exit(ok ? 0 : 1);
}

TEST_F(StringTest, MoldOfALongStringTakesNoHeapCopy) {
    EXPECT_EXIT(mold_long_string_under_heap_cap(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
