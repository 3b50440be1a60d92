// PARSE benchmark: a 10 MB CSV-like text (200,000-odd lines of eight
// comma-separated fields) turned into a block of rows, each a block of field
// strings, by a PARSE grammar; against /usr/bin/python3.11 splitting the same
// text with compiled `re` patterns into a list of lists (timed inside the
// interpreter, start-up and file reading excluded). Two grammars: one for a
// fixed number of fields (character searches only) and one for any number of
// fields (a separator charset, made by hand here since bitset! has no maker
// yet). Target: at least as fast as python3.11.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/unit/parse_support.h"

using namespace kel;

namespace {

constexpr const char* kTextPath = "/tmp/kel_bench_parse.csv";

// Deterministic text: fields of two or more characters (a one-character
// match keeps a char!, not a string).
std::string make_text(size_t bytes) {
    static const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo",  "foxtrot",
                                         "golf",  "hotel", "india",   "juliet", "kilo", "lima"};
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    std::string text;
    text.reserve(bytes + 128);
    char buf[32];
    for (uint32_t row = 1; text.size() < bytes; row++) {
        std::snprintf(buf, sizeof buf, "%u", row + 10);
        text += buf;
        text += ',';
        text += kWords[next() % 12];
        text += ',';
        text += kWords[next() % 12];
        std::snprintf(buf, sizeof buf, ",%llu.%02llu", (unsigned long long)(next() % 100000),
                      (unsigned long long)(next() % 100));
        text += buf;
        std::snprintf(buf, sizeof buf, ",20%02llu-%02llu-%02llu", (unsigned long long)(next() % 30),
                      (unsigned long long)(next() % 12 + 1), (unsigned long long)(next() % 28 + 1));
        text += buf;
        std::snprintf(buf, sizeof buf, ",X%05llu", (unsigned long long)(next() % 100000));
        text += buf;
        text += ',';
        text += kWords[next() % 12];
        text += next() % 2 ? ",yes\n" : ",no\n";
    }
    return text;
}

struct Grammar {
    const char* name;
    const char* kel;
};
const Grammar kGrammars[] = {
    {"fixed_fields",
     R"(parse text [collect any [collect [7 [keep to #"," skip] keep to #"^/"] skip]])"},
    {"any_fields",
     R"(parse text [collect any [collect [keep to sep any [#"," keep to sep]] #"^/"]])"},
};

std::string g_text;
double g_kel_best[2] = {1e30, 1e30};
uint32_t g_rows[2] = {0, 0};

void run_kel(benchmark::State& state, int which) {
    test::parse_test_init();
    test::define_charset("sep", ",\n");
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        Cell w{TYPE_WORD, 0, 0, 0};
        word_from_cstring(&w, "text");
        RootedCell s;
        string_make(s.get(), static_cast<uint32_t>(g_text.size()));
        string_append_ascii(s.get(), g_text.data(), g_text.size());
        word_set(&w, s.get());
    }
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        Cell rows = test::kel_eval(kGrammars[which].kel);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < g_kel_best[which]) g_kel_best[which] = s;
        g_rows[which] = rows.is(TYPE_BLOCK) ? static_cast<uint32_t>(series_length(&rows)) : 0;
        benchmark::DoNotOptimize(rows);
    }
    test::stack_clear_all();
}

// The best of three runs of the split in python3.11, and its row count.
double run_python(uint32_t* rows) {
    const char* script =
        "import re, sys, time\n"
        "text = open(sys.argv[1], encoding='latin-1').read()\n"
        "nl = re.compile('\\n'); comma = re.compile(',')\n"
        "best = 1e30\n"
        "for _ in range(3):\n"
        "    t0 = time.perf_counter()\n"
        "    rows = [comma.split(line) for line in nl.split(text) if line]\n"
        "    best = min(best, time.perf_counter() - t0)\n"
        "print(best, len(rows))\n";
    const char* path = "/tmp/kel_bench_parse.py";
    FILE* f = std::fopen(path, "w");
    if (!f) return 0;
    std::fputs(script, f);
    std::fclose(f);
    std::string cmd = std::string("/usr/bin/python3.11 ") + path + " " + kTextPath;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return 0;
    char line[128] = {};
    if (!std::fgets(line, sizeof line, pipe)) line[0] = 0;
    pclose(pipe);
    char* rest = nullptr;
    double best = std::strtod(line, &rest);
    *rows = static_cast<uint32_t>(std::strtoul(rest, nullptr, 10));
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    g_text = make_text(10u << 20);
    if (FILE* f = std::fopen(kTextPath, "w")) {
        std::fwrite(g_text.data(), 1, g_text.size(), f);
        std::fclose(f);
    }
    for (int i = 0; i < 2; i++)
        benchmark::RegisterBenchmark(kGrammars[i].name, run_kel, i)->Iterations(3)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    uint32_t py_rows = 0;
    double py = std::getenv("KEL_BENCH_NO_PEER") ? 0 : run_python(&py_rows);
    std::printf("\n%-14s %10s %8s %12s %8s\n", "grammar", "kel (s)", "rows", "python (s)", "py/kel");
    for (int i = 0; i < 2; i++)
        std::printf("%-14s %10.4f %8u %12.4f %8.2f\n", kGrammars[i].name, g_kel_best[i], g_rows[i], py,
                    g_kel_best[i] > 0 ? py / g_kel_best[i] : 0.0);
    std::printf("python rows: %u (target: py/kel >= 1)\n", py_rows);
    std::remove(kTextPath);
    return 0;
}
