// Float text conversion against the standard library's exact converters.
//
// The same million finite doubles, drawn from all bit patterns, are molded
// (peer: std::to_chars shortest) and their molded texts read back (peer:
// std::from_chars). A second reading set holds short literals as scripts
// write them ("3.25", "-0.5", "120.0"), where the exact short path answers.
// After the runs the program prints each time ratio, ours / peer.
#include <benchmark/benchmark.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "runtime/float_text.h"

namespace {

constexpr size_t kCount = 1000000;

// Texts packed end to end; offsets[i] .. offsets[i + 1] is text i.
struct Texts {
    std::string bytes;
    std::vector<uint32_t> offsets{0};
    void add(const char* p, size_t n) {
        bytes.append(p, n);
        offsets.push_back(static_cast<uint32_t>(bytes.size()));
    }
    size_t size() const { return offsets.size() - 1; }
};

const std::vector<double>& values() {
    static const std::vector<double> v = [] {
        std::vector<double> out;
        out.reserve(kCount);
        std::mt19937_64 gen(42);
        while (out.size() < kCount) {
            double d = std::bit_cast<double>(gen());
            if (std::isfinite(d)) out.push_back(d);
        }
        return out;
    }();
    return v;
}

const Texts& molded() {
    static const Texts t = [] {
        Texts out;
        char buf[kel::kFloatFormDigitsMax];
        for (double d : values()) out.add(buf, kel::float_mold_to(buf, d));
        return out;
    }();
    return t;
}

const Texts& literals() {
    static const Texts t = [] {
        Texts out;
        std::mt19937_64 gen(7);
        char buf[64];
        for (size_t i = 0; i < kCount; ++i) {
            // Up to 7 digits with 0 to 3 decimals.
            double d = static_cast<double>(gen() % 10000000) / std::pow(10.0, gen() % 4);
            if (gen() % 4 == 0) d = -d;
            out.add(buf, kel::float_mold_to(buf, d));
        }
        return out;
    }();
    return t;
}

void BM_mold_kel(benchmark::State& state) {
    const auto& v = values();
    char buf[kel::kFloatFormDigitsMax];
    for (auto _ : state) {
        size_t total = 0;
        for (double d : v) total += kel::float_mold_to(buf, d);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * v.size()));
}

void BM_mold_to_chars(benchmark::State& state) {
    const auto& v = values();
    char buf[64];
    for (auto _ : state) {
        size_t total = 0;
        for (double d : v) total += static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, d).ptr - buf);
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * v.size()));
}

void read_kel(benchmark::State& state, const Texts& t) {
    const char* base = t.bytes.data();
    for (auto _ : state) {
        double sum = 0;
        for (size_t i = 0; i < t.size(); ++i)
            sum += kel::float_strtod(base + t.offsets[i], base + t.offsets[i + 1], 0, nullptr);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}

void read_from_chars(benchmark::State& state, const Texts& t) {
    const char* base = t.bytes.data();
    for (auto _ : state) {
        double sum = 0;
        for (size_t i = 0; i < t.size(); ++i) {
            double d = 0;
            std::from_chars(base + t.offsets[i], base + t.offsets[i + 1], d);
            sum += d;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}

void BM_read_kel(benchmark::State& state) { read_kel(state, molded()); }
void BM_read_from_chars(benchmark::State& state) { read_from_chars(state, molded()); }
void BM_read_literals_kel(benchmark::State& state) { read_kel(state, literals()); }
void BM_read_literals_from_chars(benchmark::State& state) { read_from_chars(state, literals()); }

BENCHMARK(BM_mold_kel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mold_to_chars)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_kel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_from_chars)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_literals_kel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_literals_from_chars)->Unit(benchmark::kMillisecond);

// Console output as usual, plus the real time per iteration of each run.
struct RatioReporter : benchmark::ConsoleReporter {
    std::map<std::string, double> times;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const struct { const char* what; const char* ours; const char* peer; } pairs[] = {
        {"mold vs to_chars", "BM_mold_kel", "BM_mold_to_chars"},
        {"read vs from_chars", "BM_read_kel", "BM_read_from_chars"},
        {"read literals vs from_chars", "BM_read_literals_kel", "BM_read_literals_from_chars"},
    };
    for (const auto& p : pairs) {
        auto a = reporter.times.find(p.ours), b = reporter.times.find(p.peer);
        if (a == reporter.times.end() || b == reporter.times.end() || b->second <= 0) continue;
        std::printf("ratio %-28s %.2fx (target <= 1.50x)\n", p.what, a->second / b->second);
    }
    return 0;
}
