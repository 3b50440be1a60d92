// Print hooks, output listeners and the console writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "runtime/output.h"
#include "runtime/platform/console.h"
#include "runtime_fixture.h"

using namespace kel;

namespace {

// Captures what the console writers print while `f` runs.
template <class F> std::string captured(F f) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    int old = console_output_fd();
    console_set_output_fd(fds[1]);
    f();
    console_set_output_fd(old);
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    return out;
}

std::string g_log;
void hook_a(const Cell*, bool) { g_log += "a"; }
void hook_b(const Cell*, bool) { g_log += "b"; }
void hook_c(const Cell*, bool) { g_log += "c"; }
void hook_d(const Cell*, bool) { g_log += "d"; }
void hook_e(const Cell*, bool line) { g_log += line ? "E" : "e"; }
void listener(const char* text, uint32_t length, int32_t extra) {
    g_log += std::string(text, length) + "/" + std::to_string(extra);
}

struct OutputTest : ::testing::Test {
    void SetUp() override {
        test::runtime_core_init();
        output_init();
        g_log.clear();
    }
    void TearDown() override { output_init(); }
};

TEST_F(OutputTest, SixthHookGrowsTheListAndKeepsOrder) {
    EXPECT_EQ(g_print_hooks.capacity, 5u);
    EXPECT_EQ(g_print_hooks.items[0], output_print_string);
    output_hooks_unregister(output_print_string, nullptr);  // keep the test quiet
    for (PrintHook h : {hook_a, hook_b, hook_c, hook_d, hook_e}) output_hooks_register(h, nullptr);
    output_hooks_register(hook_a, nullptr);
    EXPECT_EQ(g_print_hooks.capacity, 10u);
    EXPECT_EQ(g_print_hooks.count, 6u);
    Cell s = test::string_cell("x");
    output_hooks_call(&s, true);
    EXPECT_EQ(g_log, "abcdEa");
}

TEST_F(OutputTest, RemovingAbsentOrNullChangesNothing) {
    output_hooks_register(hook_a, listener);
    output_hooks_unregister(hook_b, nullptr);
    output_hooks_unregister(nullptr, nullptr);
    EXPECT_EQ(g_print_hooks.count, 2u);
    EXPECT_EQ(g_output_listeners.count, 1u);
    output_hooks_register(hook_b, nullptr);
    output_hooks_unregister(hook_a, nullptr);  // later entries move down
    EXPECT_EQ(g_print_hooks.items[1], hook_b);
    EXPECT_EQ(captured([] { console_print_cstring("hi"); }), "hi");
    EXPECT_EQ(g_log, "hi/0");
}

// Hooks that change the list while it is being called: no entry is skipped
// or called twice, and a walk started inside a hook sees the live list.
void hook_drop_self(const Cell*, bool) {
    g_log += "s";
    output_hooks_unregister(hook_drop_self, nullptr);
}
void hook_drop_a(const Cell*, bool) {
    g_log += "x";
    output_hooks_unregister(hook_a, nullptr);
}
void hook_nested(const Cell* v, bool) {
    g_log += "(";
    output_hooks_unregister(hook_nested, nullptr);
    output_hooks_call(v, false);
    g_log += ")";
}

TEST_F(OutputTest, HooksThatRemoveHooksWhileCalledSkipNothing) {
    output_hooks_unregister(output_print_string, nullptr);
    Cell s = test::string_cell("x");
    for (PrintHook h : {hook_a, hook_drop_self, hook_b}) output_hooks_register(h, nullptr);
    output_hooks_call(&s, false);
    EXPECT_EQ(g_log, "asb");
    g_log.clear();
    output_hooks_register(hook_c, nullptr);  // list: a b c
    output_hooks_register(hook_drop_a, nullptr);
    output_hooks_register(hook_d, nullptr);
    output_hooks_call(&s, false);  // a b c x(removes a, before it) d
    EXPECT_EQ(g_log, "abcxd");
    g_log.clear();
    output_init();
    output_hooks_unregister(output_print_string, nullptr);
    for (PrintHook h : {hook_a, hook_nested, hook_b}) output_hooks_register(h, nullptr);
    output_hooks_call(&s, false);
    EXPECT_EQ(g_log, "a(ab)b");
}

TEST_F(OutputTest, DefaultHookWritesUtf8AtEveryUnitWidth) {
    Cell s = test::string_cell("ab");
    EXPECT_EQ(captured([&] { output_print_string(&s, false); }), "ab");
    string_append_char(&s, 0x3A9);  // widens to two-byte units
    EXPECT_EQ(captured([&] { output_print_string(&s, true); }), "ab\xCE\xA9\n");
    string_append_char(&s, 0x1F600);  // four-byte units
    EXPECT_EQ(captured([&] { output_print_string(&s, false); }), "ab\xCE\xA9\xF0\x9F\x98\x80");
    s.data1 = 2;  // from the head index on
    EXPECT_EQ(captured([&] { output_print_string(&s, false); }), "\xCE\xA9\xF0\x9F\x98\x80");
    s.data1 = 9;  // past the tail
    EXPECT_EQ(captured([&] { output_print_string(&s, false); }), "");
    Cell empty = test::string_cell("");
    EXPECT_EQ(captured([&] { output_print_string(&empty, true); }), "\n");
    Cell esc = test::string_cell("\x1B[1mbold");
    EXPECT_EQ(captured([&] { output_print_string(&esc, false); }), "\x1B[1mbold");  // escapes pass through
}

TEST_F(OutputTest, UnitsThatAreNoCharacterBecomeReplacementChars) {
    const uint8_t lone[] = {0x00, 0xD8, 'a', 0};              // a lone high surrogate, then "a"
    const uint8_t pair[] = {0x3D, 0xD8, 0x00, 0xDE};          // U+1F600 as a pair
    const uint8_t huge[] = {0x00, 0x00, 0x11, 0x00};          // above U+10FFFF
    EXPECT_EQ(captured([&] { console_write_utf16(lone, 4); }), "\xEF\xBF\xBD" "a");
    EXPECT_EQ(captured([&] { console_write_utf16(pair, 4); }), "\xF0\x9F\x98\x80");
    EXPECT_EQ(captured([&] { console_write_ucs4_line(huge, 4); }), "\xEF\xBF\xBD\n");
}

TEST_F(OutputTest, UnknownUnitPrintsItsNumber) {
    Cell blk = test::block_of({});
    EXPECT_EQ(captured([&] { output_print_string(&blk, true); }), "Error: unknown string encoding: 16\n");
}

TEST_F(OutputTest, LongTextSurvivesPartialWritesToASlowReader) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);  // short writes and EAGAIN both happen
    std::string text(300000, 'x');
    for (size_t i = 0; i < text.size(); i += 997) text[i] = static_cast<char>('a' + i % 26);
    std::string got;
    std::thread reader([&] {
        char buf[1000];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
            got.append(buf, static_cast<size_t>(n));
            usleep(50);
        }
    });
    int old = console_output_fd();
    console_set_output_fd(fds[1]);
    console_write_latin1(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
    console_set_output_fd(old);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got, text);
}

}  // namespace
