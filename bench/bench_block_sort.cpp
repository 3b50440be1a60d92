// The sort action of block! (default and /stable) on blocks of 1,000,000
// cells against std::stable_sort on the same cells. Integers: the peer
// compares the payloads inline. Short strings: until string! has its own
// compare, a byte-wise stand-in is registered as string!'s compare slot and
// the peer calls that same function directly, so the ratio shows what the
// block sort adds around a type's comparison. Prints the ratios at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

constexpr uint32_t kCount = 1000000;

// Stand-in string! order: bytes (one-byte units), then length.
int32_t string_order(const Cell* a, const Cell* b, int32_t) {
    if (!b->is(TYPE_STRING)) return kCompareIncomparable;
    const SeriesBuf* x = node_buffer(a->data2);
    const SeriesBuf* y = node_buffer(b->data2);
    uint32_t n = std::min(x->used_bytes(), y->used_bytes());
    if (int c = std::memcmp(x->head_ptr(), y->head_ptr(), n)) return c < 0 ? -1 : 1;
    return (x->used_bytes() > y->used_bytes()) - (x->used_bytes() < y->used_bytes());
}

enum Kind { RandomInts, SortedInts, ReversedInts, Strings };

const std::vector<Cell>& cells(Kind kind) {
    static std::map<Kind, std::vector<Cell>> made;
    auto it = made.find(kind);
    if (it != made.end()) return it->second;
    std::vector<Cell> v(kCount);
    std::mt19937 rng(42);
    for (uint32_t i = 0; i < kCount; i++) {
        if (kind == Strings) {
            char text[16];
            uint32_t len = 3 + rng() % 10;
            for (uint32_t k = 0; k < len; k++) text[k] = static_cast<char>('a' + rng() % 26);
            string_make(&v[i], len);
            string_append_ascii(&v[i], text, len);
        } else {
            uint32_t n = kind == RandomInts ? rng() : kind == SortedInts ? i : kCount - i;
            cell_set(&v[i], TYPE_INTEGER, 0, n, 0);
        }
    }
    return made.emplace(kind, std::move(v)).first->second;
}

enum Algo { Block, BlockStable, StdStable };

void run(benchmark::State& state, Kind kind, Algo algo) {
    const std::vector<Cell>& src = cells(kind);
    Cell block;
    block_make_at(&block, kCount);
    std::vector<Cell> work;
    for (auto _ : state) {
        state.PauseTiming();
        if (algo == StdStable) {
            work = src;
        } else {
            SeriesBuf* b = node_buffer(block.data2);
            std::memcpy(b->head_ptr(), src.data(), src.size() * sizeof(Cell));
            b->tail = b->head + kCount * sizeof(Cell);
        }
        state.ResumeTiming();
        switch (algo) {
        case Block: block_sort(&block, SortArgs{}); break;
        case BlockStable: block_sort(&block, SortArgs{.stable = true}); break;
        case StdStable:
            if (kind == Strings) {
                std::stable_sort(work.begin(), work.end(),
                                 [](const Cell& a, const Cell& b) { return string_order(&a, &b, COMP_SORT) < 0; });
            } else {
                std::stable_sort(work.begin(), work.end(),
                                 [](const Cell& a, const Cell& b) { return int32_t(a.data2) < int32_t(b.data2); });
            }
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
const char* kAlgoNames[] = {"block_sort", "block_sort_stable", "std_stable_sort"};

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
    memory_init();
    stack_init();
    datatype_init();
    series_init();
    block_init();
    integer_init();
    TypeRow(TYPE_STRING).set<ACT_COMPARE>(string_order).commit();

    for (const auto& c : kCases)
        for (int a = 0; a < 3; a++)
            benchmark::RegisterBenchmark((std::string(kAlgoNames[a]) + "/" + c.name).c_str(),
                                         [c, a](benchmark::State& s) { run(s, c.kind, static_cast<Algo>(a)); })
                ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nblock sort / std::stable_sort (target <= 1.5):\n");
    for (const auto& c : kCases) {
        auto peer = reporter.times.find(std::string("std_stable_sort/") + c.name);
        if (peer == reporter.times.end() || peer->second <= 0) continue;
        for (int a = 0; a < 2; a++) {
            auto ours = reporter.times.find(std::string(kAlgoNames[a]) + "/" + c.name);
            if (ours == reporter.times.end()) continue;
            std::printf("  %-14s %-18s %.2f\n", c.name, kAlgoNames[a], ours->second / peer->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
