// Symbol interning, bound word reads and writes, and context lookup by
// symbol, against std::unordered_map doing the same job (string keys for
// interning, symbol ids for values). Prints the time ratio of each pair.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/register.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

using namespace kel;

namespace {

constexpr int kNames = 10000;

struct World {
    std::vector<std::string> names;
    std::vector<Cell> words;  // bound global words, one per name
    Off ctx = 0;              // an object context holding every name
    std::unordered_map<std::string, uint32_t> peer_symbols;
    std::unordered_map<uint32_t, Cell> peer_values;
};

World& world() {
    static World w = [] {
        World w;
        memory_init();
        node_frame_make(kNodeFrameCapacity);
        series_frame_make();
        stack_init();
        datatypes_register_core();
        symbols_init();
        context_global_init();
        w.ctx = context_make(kNames, false, false, 0, CTX_OBJECT);
        for (int i = 0; i < kNames; i++) {
            std::string name = "name-" + std::to_string(i * 7919 % 100003);
            Cell word;
            word_from_cstring(&word, name.c_str());
            Cell v{TYPE_INTEGER, static_cast<uint32_t>(i), 0, 0};
            word_set(&word, &v);
            context_add_word(w.ctx, &word);
            w.names.push_back(name);
            w.words.push_back(word);
            w.peer_symbols.emplace(name, word.data2);
            w.peer_values.emplace(word.data2, v);
        }
        return w;
    }();
    return w;
}

void intern_ours(benchmark::State& state) {
    World& w = world();
    uint64_t sum = 0;
    for (auto _ : state)
        for (const std::string& n : w.names) sum += symbol_make_len(n.data(), static_cast<uint32_t>(n.size()));
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kNames);
}

void intern_peer(benchmark::State& state) {
    World& w = world();
    uint64_t sum = 0;
    for (auto _ : state)
        for (const std::string& n : w.names) sum += w.peer_symbols.find(n)->second;
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kNames);
}

void read_ours(benchmark::State& state) {
    World& w = world();
    uint64_t sum = 0;
    for (auto _ : state)
        for (const Cell& word : w.words) sum += word_get_any(&word)->data1;
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kNames);
}

void read_peer(benchmark::State& state) {
    World& w = world();
    uint64_t sum = 0;
    for (auto _ : state)
        for (const Cell& word : w.words) sum += w.peer_values.find(word.data2)->second.data1;
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kNames);
}

void write_ours(benchmark::State& state) {
    World& w = world();
    Cell v{TYPE_INTEGER, 1, 0, 0};
    for (auto _ : state)
        for (Cell& word : w.words) {
            v.data1++;
            word_set(&word, &v);
        }
    benchmark::ClobberMemory();
    state.SetItemsProcessed(state.iterations() * kNames);
}

void write_peer(benchmark::State& state) {
    World& w = world();
    Cell v{TYPE_INTEGER, 1, 0, 0};
    for (auto _ : state)
        for (const Cell& word : w.words) {
            v.data1++;
            w.peer_values.find(word.data2)->second = v;
        }
    benchmark::ClobberMemory();
    state.SetItemsProcessed(state.iterations() * kNames);
}

void find_ours(benchmark::State& state) {
    World& w = world();
    int64_t sum = 0;
    for (auto _ : state)
        for (const Cell& word : w.words) sum += context_find_word(w.ctx, word.data2, true);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kNames);
}

void find_peer(benchmark::State& state) {
    World& w = world();
    uint64_t sum = 0;
    for (auto _ : state)
        for (const Cell& word : w.words) sum += w.peer_values.find(word.data2)->second.data1;
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kNames);
}

struct Pair {
    const char* name;
    void (*ours)(benchmark::State&);
    void (*peer)(benchmark::State&);
};
const Pair kPairs[] = {{"intern", intern_ours, intern_peer},
                       {"word_read", read_ours, read_peer},
                       {"word_write", write_ours, write_peer},
                       {"context_find", find_ours, find_peer}};

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
    for (const Pair& p : kPairs) {
        benchmark::RegisterBenchmark((std::string(p.name) + "/kel").c_str(), p.ours)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string(p.name) + "/unordered_map").c_str(), p.peer)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nkel / std::unordered_map:\n");
    for (const Pair& p : kPairs) {
        auto ours = reporter.times.find(std::string(p.name) + "/kel");
        auto peer = reporter.times.find(std::string(p.name) + "/unordered_map");
        if (ours == reporter.times.end() || peer == reporter.times.end() || peer->second <= 0) continue;
        std::printf("  %-13s %.2f\n", p.name, ours->second / peer->second);
    }
    benchmark::Shutdown();
    return 0;
}
