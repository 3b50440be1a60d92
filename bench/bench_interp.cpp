// Interpreter benchmarks: recursive fib(27), a 10-million-step integer loop,
// and a loop of function calls that each end in `return` against the same
// loop without it. Each program is also run by /usr/bin/python3.11 (timed
// inside the interpreter, start-up excluded); the ratios are printed at the
// end. Each side reports its best of several runs, which keeps the ratio
// meaningful on a loaded machine. Targets: every program at least as fast as python3.11, and the
// `return` loop at most 1.5x the loop without `return`.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "tests/unit/eval_fixture.h"

using namespace kel;

namespace {

struct Program {
    const char* name;
    const char* kel;
    const char* python;
};

const Program kPrograms[] = {
    {"fib27", "fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]] fib 27",
     "def fib(n):\n    return n if n < 2 else fib(n - 1) + fib(n - 2)\nfib(27)\n"},
    {"loop10m", "i: 0 loop 10000000 [i: i + 1] i",
     "i = 0\nfor _ in range(10000000):\n    i = i + 1\n"},
    {"calls_return", "f: func [x] [return x + 1] i: 0 loop 1000000 [i: f i] i",
     "def f(x):\n    return x + 1\ni = 0\nfor _ in range(1000000):\n    i = f(i)\n"},
    {"calls_plain", "f: func [x] [x + 1] i: 0 loop 1000000 [i: f i] i",
     "def f(x):\n    return x + 1\ni = 0\nfor _ in range(1000000):\n    i = f(i)\n"},
};

std::map<std::string, double> g_kel_seconds;

void run_kel(benchmark::State& state, const Program* p) {
    test::evaluator_test_init();
    Cell block;
    block_from_text(p->kel, &block);
    Cell* root = stack_push(&block);  // keeps the code reachable
    double best = 1e30;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        Cell out;
        interp_run_on_big_stack([&] { interp_do_block(root, &out); });
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
        benchmark::DoNotOptimize(out);
    }
    g_kel_seconds[p->name] = best;
    test::stack_clear_all();
}

// Runs the program under python3.11 ten times and returns the best time.
double run_python(const Program& p) {
    std::string script = "import time\nbest = 1e30\nfor _ in range(10):\n    t0 = time.perf_counter()\n";
    std::string body = p.python;
    script += "    exec(compile(" + std::string("'''") + body + "'''" + ", 'p', 'exec'), {})\n";
    script += "    best = min(best, time.perf_counter() - t0)\nprint(best)\n";
    std::string path = "/tmp/kel_bench_interp.py";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return 0;
    std::fputs(script.c_str(), f);
    std::fclose(f);
    FILE* pipe = popen(("/usr/bin/python3.11 " + path).c_str(), "r");
    if (!pipe) return 0;
    char line[128] = {};
    if (!std::fgets(line, sizeof line, pipe)) line[0] = 0;
    pclose(pipe);
    return std::strtod(line, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    for (const Program& p : kPrograms)
        benchmark::RegisterBenchmark(p.name, run_kel, &p)->Iterations(10)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n%-14s %10s %12s %8s\n", "program", "kel (s)", "python (s)", "py/kel");
    for (const Program& p : kPrograms) {
        double py = std::getenv("KEL_BENCH_NO_PEER") ? 0 : run_python(p);
        double kel = g_kel_seconds[p.name];
        std::printf("%-14s %10.4f %12.4f %8.2f\n", p.name, kel, py, kel > 0 ? py / kel : 0.0);
    }
    double r = g_kel_seconds["calls_return"], n = g_kel_seconds["calls_plain"];
    std::printf("return loop / plain loop: %.2f (target <= 1.5)\n", n > 0 ? r / n : 0.0);
    return 0;
}
