// Hash tables against std::unordered_map: insertion and lookup of 1,000,000
// integer keys and 1,000,000 string keys, and small-series allocation against
// malloc. The table side is a map! table (kind 1): keys are cells of a block,
// strings are string! series. Both sides take the same keys in the same
// order; lookups find every key once in one shuffled order, independently
// (throughput: the processor overlaps consecutive lookups) and chained (each
// lookup's result picks the next probe, so only latency counts). Prints the
// time ratio table / peer of each side's fastest repetition at the end (below
// 1: the table is faster); the fastest run is the one least disturbed by
// other work on the machine.
//
// Fairness, checked: the integer keys are i * 2654435761 + 12345, not
// 0..n-1, so the peer's identity hash (bucket = key mod a prime) scatters
// them like the table's MurmurHash3 does, and both sides look them up in the
// same shuffled order: neither side's nodes or cells are met in insertion
// order. Each side pays its own real hashing (the peer: identity for
// integers, its byte hash for strings; the table: MurmurHash3 of code points,
// upper-cased) and its own key representation (the peer's 12-character
// strings sit inside their nodes and probes; the table's are series reached
// through a node). The lookup loops hold their container in a local on both
// sides (the table's node was re-read from a global on every lookup before;
// the peer's map was always a local). The integer probes are one list of
// int32_t that both sides read: the table's side makes each key's cell from
// it, as a caller holding a number does (a list of 16-byte cells would make
// the table's loop stream four times the peer's probe bytes). Each side
// runs on its memory as it comes: the arena asks for huge pages for its big
// blocks (the table's keys and the pairs block), the peer's nodes are on the
// C library heap's default pages.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <malloc.h>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/hashtable.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

constexpr uint32_t kKeys = 1000000;

// Every series dies: frames are emptied in place (as a collection that found
// nothing alive leaves them, pages still committed) and big buffers released.
void fresh_memory() {
    if (!memory_ready()) {
        memory_init();
        node_frame_make(kNodeFrameCapacity);
        series_frame_make();
        return;
    }
    while (g_memory.big_buffers_head) big_buffer_free(arena_at<SeriesBuf>(g_memory.big_buffers_head + 12));
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
        SeriesFrame* frame = arena_at<SeriesFrame>(f);
        frame->top = frame->data_start();
    }
    g_memory.current_series_frame = g_memory.series_frames_head;
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* frame = arena_at<NodeFrame>(f);
        node_frame_thread(frame);
        frame->in_use = 0;
    }
    g_memory.current_node_frame = g_memory.node_frames_head;
}

// Distinct 32-bit keys: multiplying by an odd constant permutes 2^32.
int32_t int_key(uint32_t i) { return static_cast<int32_t>(i * 2654435761u + 12345u); }

std::string text_key(uint32_t i) {
    static const char digits[] = "0123456789abcdef";
    std::string s = "key-";
    uint32_t v = static_cast<uint32_t>(int_key(i));
    for (int shift = 28; shift >= 0; shift -= 4) s += digits[(v >> shift) & 15];
    return s;
}

Cell string_cell(const std::string& s) {
    Off node = alloc_string(static_cast<uint32_t>(s.size()), 1);
    SeriesBuf* b = node_buffer(node);
    std::memcpy(b->data(), s.data(), s.size());
    b->tail = b->head + static_cast<uint32_t>(s.size());
    return Cell{TYPE_STRING, 0, node, 0};
}

std::vector<uint32_t> shuffled_order() {
    std::vector<uint32_t> order(kKeys);
    for (uint32_t i = 0; i < kKeys; i++) order[i] = i;
    std::mt19937 rng(42);
    std::shuffle(order.begin(), order.end(), rng);
    return order;
}

// The key/value block of a map: 2 cells a key.
Off make_pairs(bool strings) {
    Off block = alloc_cells(2 * kKeys);
    for (uint32_t i = 0; i < kKeys; i++) {
        Cell key = strings ? string_cell(text_key(i)) : Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(int_key(i)), 0};
        Cell* cells = reinterpret_cast<Cell*>(node_buffer(block)->data());
        cells[2 * i] = key;
        cells[2 * i + 1] = Cell{TYPE_INTEGER, 0, i, 0};
    }
    SeriesBuf* b = node_buffer(block);
    b->tail = b->head + 32 * kKeys;
    return block;
}

// A table over the block that has indexed nothing yet (its head is the tail).
Off empty_table_over(Off block) {
    Cell bc{TYPE_MAP, 2 * kKeys, block, 0};
    return hashtable_make(0, &bc, HASH_KIND_MAP, 0);
}

void index_all(Off table, Off block) {
    for (uint32_t i = 0; i < kKeys; i++) hashtable_put(table, reinterpret_cast<Cell*>(node_buffer(block)->head_ptr()) + 2 * i);
}

// Lookup fixtures, built once per memory generation.
struct KelSide {
    bool ready = false;
    Off int_table = 0, int_block = 0;
    Off str_table = 0, str_block = 0;
    std::vector<int32_t> int_probes;  // the peer's probe list, read the same way
    std::vector<Cell> str_probes;     // separate series from the stored keys
};
KelSide g_kel;
std::vector<uint32_t> g_order;

void kel_ready() {
    if (g_kel.ready) return;
    fresh_memory();
    g_kel = KelSide{};
    g_kel.int_block = make_pairs(false);
    g_kel.int_table = empty_table_over(g_kel.int_block);
    index_all(g_kel.int_table, g_kel.int_block);
    g_kel.str_block = make_pairs(true);
    g_kel.str_table = empty_table_over(g_kel.str_block);
    index_all(g_kel.str_table, g_kel.str_block);
    if (g_order.empty()) g_order = shuffled_order();
    for (uint32_t i : g_order) {
        g_kel.int_probes.push_back(int_key(i));
        g_kel.str_probes.push_back(string_cell(text_key(i)));
    }
    g_kel.ready = true;
}

// ---- insertion ----

void BM_Kel_InsertInt(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        g_kel.ready = false;
        fresh_memory();
        Off block = make_pairs(false);
        state.ResumeTiming();
        Off table = empty_table_over(block);
        index_all(table, block);
        benchmark::DoNotOptimize(hashtable_record(table)->entries);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

// The peer's map is destroyed outside the timed part: the table side frees
// nothing while timed either.
void BM_Std_InsertInt(benchmark::State& state) {
    for (auto _ : state) {
        auto m = std::make_unique<std::unordered_map<int32_t, int32_t>>();
        for (uint32_t i = 0; i < kKeys; i++) m->emplace(int_key(i), static_cast<int32_t>(i));
        benchmark::DoNotOptimize(m->size());
        state.PauseTiming();
        m.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_Kel_InsertString(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        g_kel.ready = false;
        fresh_memory();
        Off block = make_pairs(true);
        state.ResumeTiming();
        Off table = empty_table_over(block);
        index_all(table, block);
        benchmark::DoNotOptimize(hashtable_record(table)->entries);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_Std_InsertString(benchmark::State& state) {
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < kKeys; i++) keys.push_back(text_key(i));
    for (auto _ : state) {
        auto m = std::make_unique<std::unordered_map<std::string, int32_t>>();
        for (uint32_t i = 0; i < kKeys; i++) m->emplace(keys[i], static_cast<int32_t>(i));
        benchmark::DoNotOptimize(m->size());
        state.PauseTiming();
        m.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

// ---- lookup (every key once, in shuffled order) ----

void BM_Kel_LookupInt(benchmark::State& state) {
    kel_ready();
    for (auto _ : state) {
        uint32_t sum = 0;
        const Off table = g_kel.int_table;
        for (int32_t k : g_kel.int_probes) {
            const Cell key{TYPE_INTEGER, 0, static_cast<uint32_t>(k), 0};
            sum += hashtable_get(table, &key)[1].data2;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_Std_LookupInt(benchmark::State& state) {
    std::unordered_map<int32_t, int32_t> m;
    for (uint32_t i = 0; i < kKeys; i++) m.emplace(int_key(i), static_cast<int32_t>(i));
    if (g_order.empty()) g_order = shuffled_order();
    std::vector<int32_t> probes;
    for (uint32_t i : g_order) probes.push_back(int_key(i));
    for (auto _ : state) {
        uint32_t sum = 0;
        for (int32_t k : probes) sum += static_cast<uint32_t>(m.find(k)->second);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_Kel_LookupString(benchmark::State& state) {
    kel_ready();
    for (auto _ : state) {
        uint32_t sum = 0;
        const Off table = g_kel.str_table;
        for (const Cell& probe : g_kel.str_probes) sum += hashtable_get(table, &probe)[1].data2;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_Std_LookupString(benchmark::State& state) {
    std::unordered_map<std::string, int32_t> m;
    for (uint32_t i = 0; i < kKeys; i++) m.emplace(text_key(i), static_cast<int32_t>(i));
    if (g_order.empty()) g_order = shuffled_order();
    std::vector<std::string> probes;
    for (uint32_t i : g_order) probes.push_back(text_key(i));
    for (auto _ : state) {
        uint32_t sum = 0;
        for (const std::string& k : probes) sum += static_cast<uint32_t>(m.find(k)->second);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

// ---- chained lookup: the next probe depends on the previous result ----
//
// The found value is the key's number i < 2^31, so `v >> 31` is 0, but the
// processor cannot start a lookup before the previous one has finished.

constexpr uint32_t kChain = 200000;

void BM_Kel_ChainedLookupInt(benchmark::State& state) {
    kel_ready();
    for (auto _ : state) {
        uint32_t v = 0;
        const Off table = g_kel.int_table;
        for (uint32_t i = 0; i < kChain; i++) {
            const Cell key{TYPE_INTEGER, 0, static_cast<uint32_t>(g_kel.int_probes[i + (v >> 31)]), 0};
            v = hashtable_get(table, &key)[1].data2;
        }
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations() * kChain);
}

void BM_Std_ChainedLookupInt(benchmark::State& state) {
    std::unordered_map<int32_t, int32_t> m;
    for (uint32_t i = 0; i < kKeys; i++) m.emplace(int_key(i), static_cast<int32_t>(i));
    if (g_order.empty()) g_order = shuffled_order();
    std::vector<int32_t> probes;
    for (uint32_t i : g_order) probes.push_back(int_key(i));
    for (auto _ : state) {
        uint32_t v = 0;
        for (uint32_t i = 0; i < kChain; i++) v = static_cast<uint32_t>(m.find(probes[i + (v >> 31)])->second);
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations() * kChain);
}

void BM_Kel_ChainedLookupString(benchmark::State& state) {
    kel_ready();
    for (auto _ : state) {
        uint32_t v = 0;
        const Off table = g_kel.str_table;
        for (uint32_t i = 0; i < kChain; i++) v = hashtable_get(table, &g_kel.str_probes[i + (v >> 31)])[1].data2;
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations() * kChain);
}

void BM_Std_ChainedLookupString(benchmark::State& state) {
    std::unordered_map<std::string, int32_t> m;
    for (uint32_t i = 0; i < kKeys; i++) m.emplace(text_key(i), static_cast<int32_t>(i));
    if (g_order.empty()) g_order = shuffled_order();
    std::vector<std::string> probes;
    for (uint32_t i : g_order) probes.push_back(text_key(i));
    for (auto _ : state) {
        uint32_t v = 0;
        for (uint32_t i = 0; i < kChain; i++) v = static_cast<uint32_t>(m.find(probes[i + (v >> 31)])->second);
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations() * kChain);
}

// ---- small-series allocation: 100,000 blocks of 4 cells ----

constexpr uint32_t kAllocBatch = 100000;

void BM_Kel_AllocSmallSeries(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        g_kel.ready = false;
        fresh_memory();
        state.ResumeTiming();
        for (uint32_t i = 0; i < kAllocBatch; i++) benchmark::DoNotOptimize(alloc_series(4, 16, 0));
    }
    state.SetItemsProcessed(state.iterations() * kAllocBatch);
}

void BM_Std_AllocSmallSeries(benchmark::State& state) {
    std::vector<void*> blocks(kAllocBatch);
    for (auto _ : state) {
        for (uint32_t i = 0; i < kAllocBatch; i++) {
            blocks[i] = std::malloc(4 * 16);
            benchmark::DoNotOptimize(blocks[i]);
        }
        state.PauseTiming();
        for (void* p : blocks) std::free(p);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kAllocBatch);
}

constexpr int kRepetitions = 3;
BENCHMARK(BM_Kel_InsertInt)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Std_InsertInt)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Kel_InsertString)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Std_InsertString)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Kel_LookupInt)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Std_LookupInt)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Kel_LookupString)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Std_LookupString)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Kel_ChainedLookupInt)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Std_ChainedLookupInt)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Kel_ChainedLookupString)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Std_ChainedLookupString)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Kel_AllocSmallSeries)->Unit(benchmark::kMicrosecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Std_AllocSmallSeries)->Unit(benchmark::kMicrosecond)->Repetitions(kRepetitions);

// Records each benchmark's fastest repetition (time per iteration) so the
// ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            double t = r.real_accumulated_time / static_cast<double>(r.iterations);
            auto [it, fresh] = seconds.emplace(r.run_name.function_name, t);
            if (!fresh && t < it->second) it->second = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    // The table side inserts into memory its frames keep committed; the peer's
    // heap keeps the memory its maps free instead of returning it to the
    // system, so neither side pays page faults for small blocks.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const char* pairs[][3] = {
        {"insert 1M integer keys", "BM_Kel_InsertInt", "BM_Std_InsertInt"},
        {"insert 1M string keys", "BM_Kel_InsertString", "BM_Std_InsertString"},
        {"lookup 1M integer keys", "BM_Kel_LookupInt", "BM_Std_LookupInt"},
        {"lookup 1M string keys", "BM_Kel_LookupString", "BM_Std_LookupString"},
        {"chained lookup, integers", "BM_Kel_ChainedLookupInt", "BM_Std_ChainedLookupInt"},
        {"chained lookup, strings", "BM_Kel_ChainedLookupString", "BM_Std_ChainedLookupString"},
        {"allocate 100k small series", "BM_Kel_AllocSmallSeries", "BM_Std_AllocSmallSeries"},
    };
    std::cout << "\nratio table / peer (std::unordered_map; malloc for allocation), below 1 = table faster\n";
    for (auto& p : pairs) {
        auto kel = reporter.seconds.find(p[1]), peer = reporter.seconds.find(p[2]);
        if (kel == reporter.seconds.end() || peer == reporter.seconds.end() || peer->second <= 0) continue;
        std::cout << "  " << std::left << std::setw(28) << p[0] << std::fixed << std::setprecision(2)
                  << kel->second / peer->second << "\n";
    }
    benchmark::Shutdown();
    return 0;
}
