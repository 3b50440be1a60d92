// The platform services: files, environment, clock and child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "runtime/platform/env.h"
#include "runtime/platform/files.h"
#include "runtime/platform/process.h"
#include "runtime/platform/time.h"

using namespace kel;

namespace {

// A fresh directory under /tmp, removed with its files afterwards.
class TempDir : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char name[] = "/tmp/kel_platform_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = std::string(name) + "/";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string path(const char* name) const { return dir + name; }
};

std::string text(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

}  // namespace

using Files = TempDir;

TEST_F(Files, WriteReadAppendAndSeek) {
    std::string f = path("a.txt");
    ASSERT_TRUE(files_write(f, reinterpret_cast<const uint8_t*>("hello"), 5));
    ASSERT_TRUE(files_write(f, reinterpret_cast<const uint8_t*>(" world"), 6, true));
    std::vector<uint8_t> out;
    ASSERT_TRUE(files_read(f, out));
    EXPECT_EQ(text(out), "hello world");
    out.clear();
    ASSERT_TRUE(files_read(f, out, 6, 3));
    EXPECT_EQ(text(out), "wor");
    ASSERT_TRUE(files_write(f, reinterpret_cast<const uint8_t*>("J"), 1, false, 0));  // over, not replacing
    out.clear();
    ASSERT_TRUE(files_read(f, out));
    EXPECT_EQ(text(out), "Jello world");
    EXPECT_EQ(files_size(f), 11);
    FileInfo info = files_query(f);
    EXPECT_EQ(info.kind, FileKind::File);
    EXPECT_EQ(info.size, 11);
    EXPECT_GT(info.modified_sec, 0);
    // An empty write replaces the file with nothing.
    ASSERT_TRUE(files_write(f, nullptr, 0));
    EXPECT_EQ(files_size(f), 0);
}

TEST_F(Files, FailuresAreReportedNotRaised) {
    std::vector<uint8_t> out;
    EXPECT_FALSE(files_read(path("missing"), out));
    EXPECT_EQ(files_size(path("missing")), -1);
    EXPECT_EQ(files_size(dir), -1);  // a directory has no file size
    EXPECT_FALSE(files_read(dir, out));
    EXPECT_EQ(files_query(path("missing")).kind, FileKind::Missing);
    EXPECT_FALSE(files_write(path("no/such/dir/f"), nullptr, 0));
    EXPECT_FALSE(files_delete(path("missing")));
    EXPECT_FALSE(files_rename(path("missing"), path("other")));
    EXPECT_FALSE(files_write(dir, nullptr, 0));
}

// Files whose size the kernel does not know are read whole, once.
TEST_F(Files, UnknownSizeReadsWhole) {
    std::vector<uint8_t> out;
    ASSERT_TRUE(files_read("/proc/self/status", out));
    EXPECT_NE(text(out).find("Name:"), std::string::npos);
    EXPECT_EQ(text(out).find("Name:"), text(out).rfind("Name:"));
}

// Sizing a FIFO that no process writes to answers at once: it must not wait
// for a writer. The helper opens the write end after a while, which would
// release a size query stuck in open, so a blocking one shows as slow.
TEST_F(Files, SizeOfFifoDoesNotWaitForAWriter) {
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // fails at once when no reader waits
        if (fd >= 0) close(fd);
    });
    EXPECT_EQ(files_size(fifo), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    release.join();
}

TEST_F(Files, DirectoriesListDeleteRename) {
    ASSERT_TRUE(files_make_dir(path("sub")));
    ASSERT_TRUE(files_write(path("b"), nullptr, 0));
    ASSERT_TRUE(files_write(path("a"), nullptr, 0));
    std::vector<std::string> names;
    ASSERT_TRUE(files_list_dir(dir, names));
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "sub/"}));
    EXPECT_EQ(files_query(path("sub")).kind, FileKind::Directory);
    // A rename never replaces what already has the name.
    EXPECT_FALSE(files_rename(path("a"), path("b")));
    EXPECT_FALSE(files_rename(path("a"), path("sub")));
    EXPECT_EQ(files_query(path("a")).kind, FileKind::File);
    ASSERT_TRUE(files_rename(path("a"), path("sub/c")));
    EXPECT_FALSE(files_delete(path("sub")));  // not empty
    ASSERT_TRUE(files_delete(path("sub/c")));
    ASSERT_TRUE(files_delete(path("sub/")));
    EXPECT_EQ(files_query(path("sub")).kind, FileKind::Missing);
    EXPECT_FALSE(files_list_dir(path("sub"), names));
}

TEST_F(Files, DirectorySpellingAndCurrentDir) {
    for (const char* p : {"a/", "a\\", ".", ".."}) EXPECT_TRUE(files_path_is_dir(p)) << p;
    for (const char* p : {"", "a", "./a", "..a"}) EXPECT_FALSE(files_path_is_dir(p)) << p;
    std::string old = files_current_dir();
    ASSERT_FALSE(old.empty());
    EXPECT_EQ(old.back(), '/');
    ASSERT_TRUE(files_change_dir(dir));
    char real[4096];
    ASSERT_NE(realpath(dir.c_str(), real), nullptr);
    EXPECT_EQ(files_current_dir(), std::string(real) + "/");
    ASSERT_TRUE(files_change_dir(old));
    EXPECT_FALSE(files_change_dir(path("missing")));
}

TEST(Env, GetSetRemoveList) {
    std::string v = "a value é";
    ASSERT_TRUE(env_set("KEL_TEST_VAR", &v));
    EXPECT_EQ(env_get("KEL_TEST_VAR"), v);
    bool listed = false;
    for (auto& [name, value] : env_list()) listed |= name == "KEL_TEST_VAR" && value == v;
    EXPECT_TRUE(listed);
    ASSERT_TRUE(env_set("KEL_TEST_VAR", nullptr));
    EXPECT_FALSE(env_get("KEL_TEST_VAR").has_value());
    EXPECT_FALSE(env_set("", &v));
    EXPECT_FALSE(env_set("A=B", &v));
    std::string with_nul("x\0y", 3);
    EXPECT_FALSE(env_set("KEL_TEST_VAR", &with_nul));
    EXPECT_FALSE(env_get("A=B").has_value());
}

TEST(Clock, ReadingsAndSleep) {
    ClockReading u = time_now(true);
    EXPECT_EQ(u.zone_sec, 0);
    EXPECT_GE(u.year, 2024);
    EXPECT_TRUE(u.month >= 1 && u.month <= 12 && u.day >= 1 && u.day <= 31);
    EXPECT_TRUE(u.weekday >= 1 && u.weekday <= 7);
    EXPECT_EQ(u.hour * 3600 + u.minute * 60 + u.second, u.epoch_sec % 86400);
    ClockReading l = time_now(false);
    EXPECT_EQ(time_zone_quarters(l), l.zone_sec / 900);
    int64_t t0 = time_monotonic_ms();
    time_sleep(0.02);
    EXPECT_GE(time_monotonic_ms() - t0, 20);
    time_sleep(-1);  // 1 ms, no error
    time_sleep(0.0 / 0.0);
}

TEST(Process, SplitsLikeAShell) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"  ls   -l  ", {"ls", "-l"}},
        {"sh -c 'exit 3'", {"sh", "-c", "exit 3"}},
        {"echo \"a \\\"b\\\" $x\" c\\ d", {"echo", "a \"b\" $x", "c d"}},
        {"a''b \"\"", {"ab", ""}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> w;
        ASSERT_TRUE(process_split_command(c.line, w)) << c.line;
        EXPECT_EQ(w, c.words) << c.line;
    }
    std::vector<std::string> w;
    EXPECT_FALSE(process_split_command("echo 'open", w));
    EXPECT_FALSE(process_split_command("echo \"open", w));
}

TEST(Process, ExitStatusAndStartFailures) {
    ProcessRequest r;
    r.wait = true;
    r.command = "sh -c 'exit 3'";
    EXPECT_EQ(process_call(r), 3);
    r.command = "true";
    EXPECT_EQ(process_call(r), 0);
    r.command = "sh -c 'kill -TERM $$'";
    EXPECT_EQ(process_call(r), 128 + 15);
    r.command = "kel-no-such-program-here";
    EXPECT_EQ(process_call(r), -1);
    r.command = "";
    EXPECT_EQ(process_call(r), -1);
    r.command = "exit 4";
    r.shell = true;
    EXPECT_EQ(process_call(r), 4);
}

// Both streams far beyond a pipe's capacity, written interleaved, while the
// input is fed: nothing deadlocks and nothing is lost.
TEST(Process, LargeStreamsWithoutDeadlock) {
    ProcessRequest r;
    r.wait = true;
    r.shell = true;
    std::string out, err;
    r.command = "head -c 1048576 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero >&2";
    r.output = {ProcessStream::Memory, {}, &out, {}};
    r.error = {ProcessStream::Memory, {}, &err, {}};
    ASSERT_EQ(process_call(r), 0);
    EXPECT_EQ(out, std::string(1048576, 'x'));
    EXPECT_EQ(err.size(), 300000u);

    std::string input(2 << 20, 'q');
    input[12345] = '!';
    std::string echoed;
    ProcessRequest cat;
    cat.command = "cat";
    cat.input = {ProcessStream::Memory, input, nullptr, {}};
    cat.output = {ProcessStream::Memory, {}, &echoed, {}};
    ASSERT_EQ(process_call(cat), 0);  // waits: the output is captured
    EXPECT_EQ(echoed, input);
}

// Captured output stops at the limit while the child runs to its end, so a
// child that writes without end cannot exhaust the process.
TEST(Process, CaptureStopsAtItsLimit) {
    ProcessRequest r;
    r.wait = true;
    r.shell = true;
    r.command = "head -c 1000000 /dev/zero; exit 3";
    std::string out;
    r.output = {ProcessStream::Memory, {}, &out, {}};
    r.capture_limit = 70000;
    EXPECT_EQ(process_call(r), 3);
    EXPECT_EQ(out.size(), 70000u);
}

// A child that exits without reading its input ends the call normally.
TEST(Process, ChildIgnoringItsInput) {
    std::string input(4 << 20, 'z');
    ProcessRequest r;
    r.wait = true;
    r.command = "true";
    r.input = {ProcessStream::Memory, input, nullptr, {}};
    EXPECT_EQ(process_call(r), 0);
}

TEST_F(Files, ProcessFileStreamsAndDetachedChildren) {
    ASSERT_TRUE(files_write(path("in"), reinterpret_cast<const uint8_t*>("data\n"), 5));
    ProcessRequest r;
    r.wait = true;
    r.command = "cat";
    r.input = {ProcessStream::File, {}, nullptr, path("in")};
    r.output = {ProcessStream::File, {}, nullptr, path("out")};
    ASSERT_EQ(process_call(r), 0);
    std::vector<uint8_t> out;
    ASSERT_TRUE(files_read(path("out"), out));
    EXPECT_EQ(text(out), "data\n");
    r.input = {ProcessStream::File, {}, nullptr, path("missing")};
    EXPECT_EQ(process_call(r), -1);

    ProcessRequest bg;
    bg.command = "sh -c 'echo done > " + path("bg") + "'";
    int32_t pid = process_call(bg);
    EXPECT_GT(pid, 0);
    for (int i = 0; i < 200 && files_size(path("bg")) != 5; i++) time_sleep(0.01);
    EXPECT_EQ(files_size(path("bg")), 5);
}
