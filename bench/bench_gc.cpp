// Collector benchmark: programs that build and drop a million small blocks
// and strings while keeping a working set alive, evaluated by the
// interpreter with collection on, against the same programs in
// /usr/bin/python3.11 and lua5.4 (spawned; timed inside the interpreter,
// start-up excluded). Prints the time ratios and the peak memory of each:
// for kel the arena's largest size seen at a collection (and the benchmark
// process's peak resident set), for the peers their peak resident set.
// Target: at least as fast as python3.11.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/spec_text.h"
#include "runtime/stack.h"
#include "runtime/startup.h"

using namespace kel;

namespace {

struct Program {
    const char* name;
    const char* kel;
    const char* python;
    const char* lua;
};

// churn: each round makes a two-cell block and its text; the last 1,000
// blocks stay reachable. live: the same churn while 100,000 blocks of a
// two-level tree stay alive, so every collection marks and moves them.
const Program kPrograms[] = {
    {"churn",
     "keep: make block! 1000 loop 1000 [append keep none] i: 0 "
     "loop 1000000 [b: make block! 2 append b i append b i s: mold b poke keep (remainder i 1000) + 1 b i: i + 1] i",
     "keep = [None] * 1000\ni = 0\nfor _ in range(1000000):\n    b = [i]\n    b.append(i)\n    s = repr(b)\n"
     "    keep[i % 1000] = b\n    i = i + 1\n",
     "local keep = {}\nlocal i = 0\nfor _ = 1, 1000000 do\n  local b = {i}\n  b[#b + 1] = i\n"
     "  local s = '[' .. b[1] .. ' ' .. b[2] .. ']'\n  keep[i % 1000 + 1] = b\n  i = i + 1\nend\n"},
    {"live",
     "tree: make block! 100 loop 100 [row: make block! 1000 loop 1000 [append/only row make block! 1] append/only tree row] "
     "i: 0 loop 1000000 [b: make block! 2 append b i s: mold b i: i + 1] i",
     "tree = []\nfor _ in range(100):\n    tree.append([[] for _ in range(1000)])\ni = 0\n"
     "for _ in range(1000000):\n    b = [i]\n    s = repr(b)\n    i = i + 1\n",
     "local tree = {}\nfor r = 1, 100 do\n  local row = {}\n  for k = 1, 1000 do row[k] = {} end\n  tree[r] = row\nend\n"
     "local i = 0\nfor _ = 1, 1000000 do\n  local b = {i}\n  local s = '[' .. b[1] .. ']'\n  i = i + 1\nend\n"},
};

struct Result {
    double seconds = 0;
    double peak_mb = 0;
};
std::map<std::string, Result> g_kel;
uint32_t g_peak_total = 0;

void note_peak() { g_peak_total = std::max(g_peak_total, g_memory.total); }

void run_kel(benchmark::State& state, const Program* p) {
    runtime_boot();
    static bool hooked = false;
    if (!hooked) gc_add_root_callback(note_peak);
    hooked = true;
    Cell* code = stack_push_cell();  // keeps the code reachable
    block_from_text(p->kel, code);
    double best = 1e30;
    for (auto _ : state) {
        gc_collect();
        g_peak_total = g_memory.total;
        auto t0 = std::chrono::steady_clock::now();
        Cell out;
        interp_run_on_big_stack([&] {
            GcEnabledScope collecting;
            interp_do_block(code, &out);
        });
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s);
        benchmark::DoNotOptimize(out);
    }
    g_kel[p->name] = Result{best, g_peak_total / 1048576.0};
    g_stack.args = g_stack.top = g_stack.data_bottom;
}

// Runs a script file with `command` and reads "seconds peak-kB" from it.
Result run_peer(const std::string& command, const std::string& path, const std::string& script) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return {};
    std::fputs(script.c_str(), f);
    std::fclose(f);
    FILE* pipe = popen((command + " " + path).c_str(), "r");
    if (!pipe) return {};
    char line[128] = {};
    if (!std::fgets(line, sizeof line, pipe)) line[0] = 0;
    pclose(pipe);
    char* end = nullptr;
    Result r;
    r.seconds = std::strtod(line, &end);
    r.peak_mb = std::strtod(end, nullptr) / 1024.0;
    return r;
}

// Best of three runs, each program in a fresh namespace; peak RSS at the end.
Result run_python(const Program& p) {
    std::string script = "import time, resource\nbest = 1e30\nfor _ in range(3):\n    t0 = time.perf_counter()\n";
    script += "    exec(compile(" + std::string("'''") + p.python + "'''" + ", 'p', 'exec'), {})\n";
    script += "    best = min(best, time.perf_counter() - t0)\n";
    script += "print(best, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n";
    return run_peer("/usr/bin/python3.11", "/tmp/kel_bench_gc.py", script);
}

Result run_lua(const Program& p) {
    std::string script = "local best = 1e30\nfor _ = 1, 3 do\n  local t0 = os.clock();\n  (function()\n";
    script += p.lua;
    script += "  end)()\n  collectgarbage()\n  best = math.min(best, os.clock() - t0)\nend\n";
    script += "local peak = 0\nfor l in io.lines('/proc/self/status') do\n"
              "  local v = l:match('^VmHWM:%s+(%d+)')\n  if v then peak = tonumber(v) end\nend\n"
              "print(best, peak)\n";
    return run_peer("lua5.4", "/tmp/kel_bench_gc.lua", script);
}

// This process's peak resident set in kB.
double own_peak_kb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    double kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtod(line + 6, nullptr);
    std::fclose(f);
    return kb;
}

}  // namespace

int main(int argc, char** argv) {
    for (const Program& p : kPrograms)
        benchmark::RegisterBenchmark(p.name, run_kel, &p)->Iterations(3)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    double kel_rss_mb = own_peak_kb() / 1024.0;
    bool peers = !std::getenv("KEL_BENCH_NO_PEER");
    std::printf("\n%-8s %9s %11s %9s %8s %8s   %s\n", "program", "kel (s)", "python (s)", "lua (s)", "py/kel",
                "lua/kel", "peak MB kel / python / lua");
    for (const Program& p : kPrograms) {
        Result kel = g_kel[p.name];
        Result py = peers ? run_python(p) : Result{};
        Result lua = peers ? run_lua(p) : Result{};
        std::printf("%-8s %9.4f %11.4f %9.4f %8.2f %8.2f   %.1f / %.1f / %.1f\n", p.name, kel.seconds, py.seconds,
                    lua.seconds, kel.seconds > 0 ? py.seconds / kel.seconds : 0.0,
                    kel.seconds > 0 ? lua.seconds / kel.seconds : 0.0, kel.peak_mb, py.peak_mb, lua.peak_mb);
    }
    std::printf("(kel: arena peak; the benchmark process's peak resident set was %.1f MB)\n", kel_rss_mb);
    return 0;
}
