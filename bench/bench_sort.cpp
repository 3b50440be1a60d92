// sort_stable against std::stable_sort on the same cells with the same
// comparison callback, reached through the same function pointer; also
// sort_quick for reference. Prints the time ratio of each pair at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "runtime/cell.h"
#include "runtime/sort.h"

using namespace kel;

namespace {

constexpr uint32_t kCount = 1000000;

// Integer cells: the key is data1 as a signed integer.
int32_t compare_int_cells(const void* x, const void* y, uintptr_t, uintptr_t) {
    int32_t a, b;
    std::memcpy(&a, &static_cast<const Cell*>(x)->data1, 4);
    std::memcpy(&b, &static_cast<const Cell*>(y)->data1, 4);
    return (a > b) - (a < b);
}

// String cells: data1 is the offset of the bytes in the side array passed as
// flags1, data3 their length; ordered by bytes, then by length.
int32_t compare_string_cells(const void* x, const void* y, uintptr_t side, uintptr_t) {
    const auto* a = static_cast<const Cell*>(x);
    const auto* b = static_cast<const Cell*>(y);
    const auto* bytes = reinterpret_cast<const uint8_t*>(side);
    const uint32_t n = std::min(a->data3, b->data3);
    if (int c = std::memcmp(bytes + a->data1, bytes + b->data1, n)) return c < 0 ? -1 : 1;
    return (a->data3 > b->data3) - (a->data3 < b->data3);
}

struct Data {
    std::vector<Cell> cells;
    std::string side;  // string bytes, for the string cells
    SortCompare compare;
};

enum Kind { RandomInts, SortedInts, ReversedInts, Strings };

const Data& data(Kind kind) {
    static std::map<Kind, Data> made;
    auto it = made.find(kind);
    if (it != made.end()) return it->second;
    Data d;
    d.cells.resize(kCount);
    std::mt19937 rng(42);
    if (kind == Strings) {
        d.compare = compare_string_cells;
        for (uint32_t i = 0; i < kCount; i++) {
            uint32_t len = 3 + rng() % 10;
            cell_set(&d.cells[i], TYPE_STRING, static_cast<uint32_t>(d.side.size()), i, len);
            for (uint32_t k = 0; k < len; k++) d.side += static_cast<char>('a' + rng() % 26);
        }
    } else {
        d.compare = compare_int_cells;
        for (uint32_t i = 0; i < kCount; i++) {
            uint32_t v = kind == RandomInts ? rng() : kind == SortedInts ? i : kCount - i;
            cell_set(&d.cells[i], TYPE_INTEGER, v, i, 0);
        }
    }
    return made.emplace(kind, std::move(d)).first->second;
}

enum Algo { Stable, StdStable, Quick };

void run(benchmark::State& state, Kind kind, Algo algo) {
    const Data& d = data(kind);
    const uintptr_t side = reinterpret_cast<uintptr_t>(d.side.data());
    SortCompare compare = d.compare;
    std::vector<Cell> work;
    for (auto _ : state) {
        state.PauseTiming();
        work = d.cells;
        state.ResumeTiming();
        benchmark::DoNotOptimize(compare);  // keep the callback an indirect call for both
        switch (algo) {
        case Stable: sort_stable(work.data(), kCount, sizeof(Cell), side, 0, compare); break;
        case Quick: sort_quick(work.data(), kCount, sizeof(Cell), side, 0, compare); break;
        case StdStable:
            std::stable_sort(work.begin(), work.end(), [compare, side](const Cell& a, const Cell& b) {
                return compare(&a, &b, side, 0) < 0;
            });
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}

struct Case {
    const char* name;
    Kind kind;
};
const Case kCases[] = {{"random_ints", RandomInts}, {"sorted_ints", SortedInts},
                       {"reversed_ints", ReversedInts}, {"short_strings", Strings}};
const char* kAlgoNames[] = {"sort_stable", "std_stable_sort", "sort_quick"};

// Keeps each run's time per iteration so the ratios can be printed after.
struct RatioReporter : benchmark::ConsoleReporter {
    std::map<std::string, double> times;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs)
            if (!r.error_occurred) times[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    for (const auto& c : kCases)
        for (int a = 0; a < 3; a++)
            benchmark::RegisterBenchmark((std::string(kAlgoNames[a]) + "/" + c.name).c_str(),
                                         [c, a](benchmark::State& s) { run(s, c.kind, static_cast<Algo>(a)); })
                ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nsort_stable / std::stable_sort (target <= 1.5):\n");
    for (const auto& c : kCases) {
        auto ours = reporter.times.find(std::string("sort_stable/") + c.name);
        auto peer = reporter.times.find(std::string("std_stable_sort/") + c.name);
        if (ours == reporter.times.end() || peer == reporter.times.end() || peer->second <= 0) continue;
        std::printf("  %-14s %.2f\n", c.name, ours->second / peer->second);
    }
    benchmark::Shutdown();
    return 0;
}
