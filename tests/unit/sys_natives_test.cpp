// The math, encoding, checksum and system natives, called through the
// natives' protocol: arguments in a frame, refinement positions, the result
// in the result slot.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/gc.h"
#include "runtime/natives.h"
#include "runtime/natives/sys_natives.h"
#include "runtime/natives/sys_values.h"
#include "runtime/platform/env.h"
#include "runtime/platform/files.h"
#include "runtime/random.h"
#include "runtime/symbols.h"
#include "runtime_fixture.h"

using namespace kel;

namespace {

struct SysNatives : ::testing::Test {
    void SetUp() override {
        test::runtime_core_init();
        test::stack_clear_all();
        integer_init();
        float_init();
        random_init();
    }

    // Calls [fn] with [args] in a fresh frame; [refs] lists, for each
    // refinement in interface block order, the position of its argument (-1 absent).
    static Cell call(NativeFn fn, std::vector<Cell> args, std::vector<int32_t> refs = {}) {
        test::stack_clear_all();
        for (const Cell& a : args) stack_push(&a);
        int32_t r[kMaxRefinements];
        for (int i = 0; i < kMaxRefinements; i++) r[i] = i < int(refs.size()) ? refs[i] : -1;
        fn(0, r);
        return *stack_arguments();
    }
    static Cell num(int32_t n) {
        Cell c;
        return *integer_set_cell(&c, n);
    }
    static Cell flt(double d) {
        Cell c;
        return *float_set_cell(&c, d);
    }
    static Cell str(const std::string& s, uint32_t type = TYPE_STRING) {
        Cell c;
        return *string_make_utf8(&c, s, type);
    }
    static int32_t int_of(const Cell& c) {
        EXPECT_TRUE(c.is(TYPE_INTEGER)) << datatype_name(c.type());
        return integer_get(&c);
    }
    static double float_of(const Cell& c) {
        EXPECT_TRUE(c.is(TYPE_FLOAT)) << datatype_name(c.type());
        return float_get(&c);
    }
    template <class F> static std::string raised(F f) { return test::raised(f); }
};

constexpr int32_t ON = 2;  // a position for refinements without argument

}  // namespace

TEST_F(SysNatives, Trigonometry) {
    EXPECT_EQ(float_of(call(native_sine, {num(180)})), 0.0);
    EXPECT_EQ(float_of(call(native_sine, {num(30)})), std::sin(M_PI / 6));
    EXPECT_EQ(float_of(call(native_cosine, {num(90)})), 0.0);
    EXPECT_EQ(float_of(call(native_cosine, {flt(0)})), 1.0);
    EXPECT_EQ(float_of(call(native_tangent, {num(90)})), HUGE_VAL);
    EXPECT_EQ(float_of(call(native_tangent, {flt(M_PI / 2)}, {ON})), HUGE_VAL);
    EXPECT_EQ(float_of(call(native_tangent, {flt(-M_PI / 2)}, {ON})), -HUGE_VAL);
    EXPECT_NEAR(float_of(call(native_tangent, {num(45)})), 1.0, 1e-15);
    EXPECT_EQ(float_of(call(native_arctangent2, {num(1), num(1)})), 45.0);
    EXPECT_EQ(float_of(call(native_arctangent2, {num(1), flt(1)}, {ON})), M_PI / 4);
    EXPECT_EQ(float_of(call(native_arcsine, {num(1)})), 90.0);
    EXPECT_EQ(float_of(call(native_arccosine, {flt(0)}, {ON})), std::acos(0.0));
    EXPECT_EQ(float_of(call(native_arctangent, {num(1)})), 45.0);
    Cell half;
    float_set_cell(&half, 0.5);
    cell_set_type(&half, TYPE_PERCENT);
    EXPECT_NEAR(float_of(call(native_arcsine, {half})), 30.0, 1e-12);  // a percent counts as its fraction
}

TEST_F(SysNatives, LogarithmsRootsAndExp) {
    EXPECT_EQ(float_of(call(native_log_2, {num(8)})), 3.0);
    EXPECT_EQ(float_of(call(native_log_10, {num(1000)})), 3.0);
    EXPECT_EQ(float_of(call(native_log_e, {num(1)})), 0.0);
    EXPECT_EQ(float_of(call(native_exp, {num(0)})), 1.0);
    EXPECT_EQ(float_of(call(native_square_root, {num(16)})), 4.0);
    EXPECT_TRUE(std::isnan(float_of(call(native_square_root, {num(-1)}))));
    EXPECT_EQ(float_of(call(native_log_e, {num(0)})), -HUGE_VAL);
}

TEST_F(SysNatives, MaxAndMin) {
    EXPECT_EQ(int_of(call(native_max, {num(1), num(3)})), 3);
    EXPECT_EQ(int_of(call(native_min, {num(1), num(3)})), 1);
    Cell r = call(native_min, {num(2), flt(2.0)});
    EXPECT_TRUE(r.is(TYPE_FLOAT));  // equal values: min takes the second
    r = call(native_max, {num(2), flt(2.0)});
    EXPECT_TRUE(r.is(TYPE_INTEGER));  // ... max keeps the first
    EXPECT_TRUE(std::isnan(float_of(call(native_max, {num(1), flt(NAN)}))));
    EXPECT_TRUE(std::isnan(float_of(call(native_min, {flt(NAN), num(1)}))));
    Cell pair{TYPE_PAIR, 0, 0, 0};
    EXPECT_EQ(raised([&] { call(native_max, {pair, num(3)}); }), "not-done");
    EXPECT_EQ(raised([&] { call(native_max, {num(3), pair}); }), "not-done");
}

TEST_F(SysNatives, Shift) {
    struct Case {
        int32_t data, bits;
        bool left, logical;
        int32_t result;
    };
    const Case cases[] = {
        {1, 32, false, false, 0},  {1, 32, true, false, 0},     {1, 32, false, true, 0},
        {-8, 1, false, false, -4}, {-8, 28, false, true, 15},   {-1, 40, false, false, -1},
        {1, 31, true, false, INT32_MIN}, {5, -3, false, false, 5}, {3, 1, true, true, 6},
        {-1, 31, false, false, -1},
    };
    for (const Case& c : cases) {
        Cell r = call(native_shift, {num(c.data), num(c.bits)}, {c.left ? ON : -1, c.logical ? ON : -1});
        EXPECT_EQ(int_of(r), c.result) << c.data << " " << c.bits << " " << c.left << c.logical;
    }
}

TEST_F(SysNatives, ToHex) {
    auto hex = [](std::vector<Cell> args, std::vector<int32_t> refs = {}) {
        Cell r = call(native_to_hex, args, refs);
        EXPECT_TRUE(r.is(TYPE_ISSUE));
        return std::string(symbol_name(r.data2));
    };
    EXPECT_EQ(hex({num(255)}), "000000FF");
    EXPECT_EQ(hex({num(255), num(2)}, {1}), "FF");
    EXPECT_EQ(hex({num(255), num(12)}, {1}), "000000FF");
    EXPECT_EQ(hex({num(-1)}), "FFFFFFFF");
    EXPECT_EQ(raised([&] { hex({num(255), num(0)}, {1}); }), "invalid-arg");
}

TEST_F(SysNatives, DehexEnhex) {
    auto text = [](const Cell& c) {
        EXPECT_TRUE(c.is(TYPE_STRING));
        return string_to_utf8(&c);
    };
    EXPECT_EQ(text(call(native_dehex, {str("%C3x")})), "%C3x");
    EXPECT_EQ(text(call(native_dehex, {str("a%20b%C3%A9")})), "a b\xC3\xA9");
    EXPECT_EQ(text(call(native_dehex, {str("http://h/%41", TYPE_URL)})), "http://h/A");
    EXPECT_EQ(text(call(native_enhex, {str("a b/\xC3\xA9")})), "a%20b%2F%C3%A9");
    EXPECT_EQ(text(call(native_enhex, {str("a b/\xC3\xA9", TYPE_FILE)})), "a%20b/%C3%A9");
}

TEST_F(SysNatives, Checksum) {
    Cell crc = test::word("crc32"), adler = test::word("ADLER32"), tcp = test::word("tcp");
    EXPECT_EQ(int_of(call(native_checksum, {str("abc"), crc})), 891568578);
    EXPECT_EQ(int_of(call(native_checksum, {str("abc"), adler})), 38600999);
    EXPECT_EQ(int_of(call(native_checksum, {str(""), tcp})), 65535);
    Cell bin;
    binary_make_bytes(&bin, "\x01", 1);
    EXPECT_EQ(int_of(call(native_checksum, {bin, tcp})), 0xFEFF);
    // A string digests its UTF-8 bytes.
    Cell md5 = call(native_checksum, {str("\xC3\xA9"), test::word("MD5")});
    ASSERT_TRUE(md5.is(TYPE_BINARY));
    EXPECT_EQ(value_bytes(&md5).size(), 16u);
    EXPECT_EQ(static_cast<uint8_t>(value_bytes(&md5)[0]), 0x66);  // md5 of C3 A9 begins 66dd
    EXPECT_EQ(static_cast<uint8_t>(value_bytes(&md5)[15]), 0x6F);
    Cell hmac = call(native_checksum, {str("what do ya want for nothing?"), test::word("sha256"), str("Jefe")}, {2});
    ASSERT_TRUE(hmac.is(TYPE_BINARY));
    EXPECT_EQ(static_cast<uint8_t>(value_bytes(&hmac)[0]), 0x5B);
    EXPECT_EQ(int_of(call(native_checksum, {str("x"), test::word("sha1"), num(10)}, {2})), 0);

    EXPECT_EQ(raised([&] { call(native_checksum, {str("x"), test::word("crc64")}); }), "invalid-arg");
    EXPECT_EQ(raised([&] { call(native_checksum, {str("x"), crc, str("k")}, {2}); }), "invalid-refine-arg");
    EXPECT_EQ(raised([&] { call(native_checksum, {str("x"), test::word("hash")}); }), "invalid-refine-arg");
    EXPECT_EQ(raised([&] { call(native_checksum, {str("x"), test::word("hash"), str("k")}, {2}); }),
              "invalid-refine-arg");
    EXPECT_EQ(raised([&] { call(native_checksum, {str("x"), test::word("md5"), flt(1)}, {2}); }), "invalid-arg");
    EXPECT_EQ(raised([&] { call(native_checksum, {str("/no/such/file", TYPE_FILE), crc}); }), "cannot-open");

    char name[] = "/tmp/kel_sum_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    EXPECT_EQ(int_of(call(native_checksum, {str(name, TYPE_FILE), crc})), 891568578);
    unlink(name);
}

// The number types' random action draws through the seeded generator.
TEST_F(SysNatives, RandomSeedRepeats) {
    Cell seed = num(42);
    integer_random(&seed, true, false, false);
    std::vector<int32_t> first;
    for (int i = 0; i < 10; i++) {
        Cell n = num(100);
        first.push_back(integer_get(integer_random(&n, false, false, false)));
        ASSERT_TRUE(first.back() >= 1 && first.back() <= 100);
    }
    seed = num(42);
    integer_random(&seed, true, false, false);
    for (int i = 0; i < 10; i++) {
        Cell n = num(100);
        EXPECT_EQ(integer_get(integer_random(&n, false, false, false)), first[i]);
    }
}

TEST_F(SysNatives, Call) {
    enum { WAIT, SHOW, CONSOLE, SHELL, INPUT, OUTPUT, ERROR };
    auto refs = [](std::initializer_list<std::pair<int, int32_t>> on) {
        std::vector<int32_t> r(7, -1);
        for (auto [i, pos] : on) r[i] = pos;
        return r;
    };
    EXPECT_EQ(int_of(call(native_call, {str("sh -c 'exit 3'")}, refs({{WAIT, ON}}))), 3);
    EXPECT_EQ(int_of(call(native_call, {str("")}, refs({{WAIT, ON}}))), 0);
    EXPECT_EQ(int_of(call(native_call, {str("exit 5")}, refs({{WAIT, ON}, {SHELL, ON}}))), 5);

    Cell out = str("before:");
    Cell r = call(native_call, {str("head -c 1048576 /dev/zero | tr '\\0' y"), out},
                  refs({{WAIT, ON}, {SHELL, ON}, {OUTPUT, 1}}));
    EXPECT_EQ(int_of(r), 0);
    std::string got = string_to_utf8(&out);
    EXPECT_EQ(got.size(), 7u + 1048576u);
    EXPECT_EQ(got.substr(0, 8), "before:y");

    Cell in = str("l\xC3\xA9" "ttre"), echoed;
    binary_make_bytes(&echoed, "", 0);
    Cell err = str("");
    r = call(native_call, {str("sh -c 'cat; echo oops >&2'"), in, echoed, err}, refs({{INPUT, 1}, {OUTPUT, 2}, {ERROR, 3}}));
    EXPECT_EQ(int_of(r), 0);
    EXPECT_EQ(value_bytes(&echoed), "l\xC3\xA9ttre");
    EXPECT_EQ(string_to_utf8(&err), "oops\n");

    EXPECT_EQ(int_of(call(native_call, {str("kel-missing-program")}, refs({{WAIT, ON}}))), -1);
    Cell nul_file = str(std::string("a\0b", 3), TYPE_FILE);
    EXPECT_EQ(int_of(call(native_call, {str("true"), nul_file}, refs({{WAIT, ON}, {OUTPUT, 1}}))), -1);
}

TEST_F(SysNatives, FilesAndPaths) {
    EXPECT_TRUE(call(native_size_q, {str("/no/such/missing", TYPE_FILE)}).is(TYPE_NONE));
    EXPECT_TRUE(call(native_size_q, {str("/tmp/", TYPE_FILE)}).is(TYPE_NONE));
    EXPECT_TRUE(call(native_size_q, {str("/tmp", TYPE_FILE)}).is(TYPE_NONE));  // a directory named without "/"
    char name[] = "/tmp/kel_size_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_EQ(write(fd, "12345", 5), 5);
    close(fd);
    EXPECT_EQ(int_of(call(native_size_q, {str(name, TYPE_FILE)})), 5);
    unlink(name);

    Cell local = call(native_to_local_file, {str("a/b", TYPE_FILE)}, {ON});
    ASSERT_TRUE(local.is(TYPE_STRING));
    EXPECT_EQ(string_to_utf8(&local), files_current_dir() + "a/b");
    local = call(native_to_local_file, {str("a/b")});
    EXPECT_EQ(string_to_utf8(&local), "a/b");
}

TEST_F(SysNatives, Environment) {
    Cell name = str("KEL_NATIVE_TEST");
    Cell r = call(native_set_env, {name, str("v\xC3\xA9")});
    EXPECT_EQ(string_to_utf8(&r), "v\xC3\xA9");
    Cell got = call(native_get_env, {test::word("KEL_NATIVE_TEST")});
    ASSERT_TRUE(got.is(TYPE_STRING));
    EXPECT_EQ(string_to_utf8(&got), "v\xC3\xA9");
    call(native_set_env, {name, Cell{TYPE_NONE, 0, 0, 0}});
    EXPECT_TRUE(call(native_get_env, {name}).is(TYPE_NONE));
    EXPECT_FALSE(env_get("KEL_NATIVE_TEST").has_value());
    EXPECT_EQ(raised([&] { call(native_get_env, {num(1)}); }), "invalid-arg");
}

TEST_F(SysNatives, NowAndWait) {
    enum { YEAR, MONTH, DAY, TIME, ZONE, DATE, WEEKDAY, YEARDAY, PRECISE, UTC };
    auto refs = [](std::initializer_list<int> on) {
        std::vector<int32_t> r(10, -1);
        for (int i : on) r[i] = ON;
        return r;
    };
    EXPECT_GE(int_of(call(native_now, {Cell{TYPE_NONE, 0, 0, 0}}, refs({YEAR}))), 2024);
    int32_t month = int_of(call(native_now, {Cell{TYPE_NONE, 0, 0, 0}}, refs({MONTH, UTC})));
    EXPECT_TRUE(month >= 1 && month <= 12);
    Cell t = call(native_now, {Cell{TYPE_NONE, 0, 0, 0}}, refs({TIME, PRECISE}));
    ASSERT_TRUE(t.is(TYPE_TIME));
    EXPECT_TRUE(float_get(&t) >= 0 && float_get(&t) < 86400);
    EXPECT_EQ(raised([&] { call(native_now, {Cell{TYPE_NONE, 0, 0, 0}}, refs({YEAR, MONTH})); }), "bad-refines");
    EXPECT_EQ(raised([&] { call(native_now, {Cell{TYPE_NONE, 0, 0, 0}}, refs({TIME, ZONE})); }), "bad-refines");

    EXPECT_TRUE(call(native_wait, {flt(0.001)}).is(TYPE_NONE));
    EXPECT_EQ(raised([&] { call(native_wait, {Cell{TYPE_NONE, 0, 0, 0}}); }), "invalid-arg");
}

TEST_F(SysNatives, StatsAndRecycle) {
    Cell n = call(native_stats, {Cell{TYPE_NONE, 0, 0, 0}});
    ASSERT_TRUE(n.is(TYPE_INTEGER));
    EXPECT_GT(integer_get(&n), 0);
    Cell info = call(native_stats, {Cell{TYPE_NONE, 0, 0, 0}}, {-1, ON});
    ASSERT_TRUE(info.is(TYPE_BLOCK));
    SeriesBuf* buf = node_buffer(info.data2);
    ASSERT_EQ(buf->used_bytes() / 16, 5u);
    const Cell* items = arena_at<Cell>(buf->head);
    for (int i = 0; i < 3; i++) EXPECT_TRUE(items[i].is(TYPE_BLOCK));
    EXPECT_TRUE(items[3].is(TYPE_INTEGER));
    // Each node frame entry is [free used total] with free + used = total.
    const Cell* frames = arena_at<Cell>(node_buffer(items[0].data2)->head);
    const Cell* first = arena_at<Cell>(node_buffer(frames[0].data2)->head);
    EXPECT_EQ(integer_get(&first[0]) + integer_get(&first[1]), integer_get(&first[2]));

    bool was = g_gc_enabled;
    EXPECT_TRUE(call(native_recycle, {Cell{TYPE_NONE, 0, 0, 0}}, {-1, ON}).is(TYPE_UNSET));
    EXPECT_FALSE(g_gc_enabled);
    call(native_recycle, {Cell{TYPE_NONE, 0, 0, 0}}, {ON, -1});
    EXPECT_TRUE(g_gc_enabled);
    g_gc_enabled = was;
}

// Every allocation collects (and compacts) while natives and actions that
// build values in steps run; their inputs live only on the stack and are
// made before the stress starts. The run happens in a child process: the
// test runtime roots no symbol table, so a collection there must not reach
// the other tests.
bool survive_stress() {
    bool ok = true;
    auto check = [&](bool c) { ok = ok && c; };
    uint32_t collections = g_gc.series_cycles;
    auto frame = [](std::initializer_list<Cell> args) {
        test::stack_clear_all();
        for (const Cell& a : args) stack_push(&a);
        return stack_arguments();
    };
    auto stress = [](bool on) {
        g_gc_enabled = on;
        g_gc.stress_every = on ? 1 : 0;
    };
    int32_t refs[kMaxRefinements];
    auto set_refs = [&](std::initializer_list<int32_t> r) {
        std::fill(refs, refs + kMaxRefinements, -1);
        std::copy(r.begin(), r.end(), refs);
    };
    char name[] = "/tmp/kel_gc_XXXXXX";
    int fd = mkstemp(name);
    std::string lines;
    for (int i = 0; i < 200; i++) lines += "line " + std::to_string(i) + "\n";
    check(write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size()));
    close(fd);

    Cell* a = frame({SysNatives::str("printf 'a\\nb\\n'"), SysNatives::str("")});
    set_refs({ON, -1, -1, ON, -1, 1, -1});
    stress(true);
    native_call(0, refs);
    check(a[0].is(TYPE_INTEGER) && integer_get(&a[0]) == 0);
    check(string_to_utf8(&a[1]) == "a\nb\n");

    set_refs({-1, ON});
    a = frame({Cell{TYPE_NONE, 0, 0, 0}});
    native_stats(0, refs);
    check(a[0].is(TYPE_BLOCK) && node_buffer(a[0].data2)->used_bytes() / 16 == 5);

    stress(false);
    a = frame({SysNatives::str(name, TYPE_FILE)});
    stress(true);
    ReadArgs args;
    args.lines = true;
    Cell* block = file_read(&a[0], args);
    SeriesBuf* buf = node_buffer(block->data2);
    check(buf->used_bytes() / 16 == 200);
    check(string_to_utf8(arena_at<Cell>(buf->head) + 199) == "line 199");
    unlink(name);

    stress(false);
    a = frame({Cell{TYPE_NONE, 0, 0, 0}, Cell{TYPE_NONE, 0, 0, 0}});
    a[1] = test::block_of({SysNatives::str("http"), SysNatives::str("host"), SysNatives::num(80),
                           SysNatives::str("a"), SysNatives::str("b")});
    stress(true);
    Cell* url = url_make(&a[0], &a[1], TYPE_URL);
    check(string_to_utf8(url) == "http://host:80/a/b");
    stress(false);
    check(g_gc.series_cycles > collections + 20);
    return ok;
}

TEST_F(SysNatives, SurviveCollectionAtEveryAllocation) {
    EXPECT_EXIT(std::exit(survive_stress() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
