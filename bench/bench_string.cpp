// find of a 10-character pattern in 10 MB of text against
// std::string_view::find.
//
// The text is lower-case prose (random words from a small list, so the
// pattern's first letter is common) with the pattern once, near the end.
// Each program run prints its ratios at the end:
//   find/peer        default find (case folded) on unit-1 text
//   find/case/peer   find/case on unit-1 text
//   find/unit2/peer  default find on the same text stored at unit 2
// The peer is std::string_view::find over the same bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "runtime/datatypes/string.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

constexpr size_t kTextBytes = 10 << 20;
constexpr const char* kPattern = "quizzingly";

const std::string& prose() {
    static std::string text = [] {
        const char* words[] = {"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dogs", "while",
                               "reading", "quietly", "and", "then", "some", "more", "plain", "words", "quiz"};
        const size_t nwords = sizeof words / sizeof *words;
        std::string out;
        out.reserve(kTextBytes + 64);
        uint32_t seed = 12345;
        while (out.size() < kTextBytes) {
            seed = seed * 1103515245 + 12345;
            out += words[(seed >> 16) % nwords];
            out += (seed >> 8) % 12 ? ' ' : '\n';
        }
        out.resize(kTextBytes);
        out.replace(kTextBytes - kTextBytes / 20, std::strlen(kPattern), kPattern);
        return out;
    }();
    return text;
}

struct Setup {
    Cell text1, text2, pattern;
    Setup() {
        if (!memory_ready()) memory_init();
        if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
        if (!g_memory.series_frames_head) series_frame_make();
        string_init();
        const std::string& t = prose();
        string_make(&text1, uint32_t(t.size()), 1);
        string_append_ascii(&text1, t);
        string_make(&text2, uint32_t(t.size()), 2);
        string_append_ascii(&text2, t);
        string_make(&pattern, 16, 1);
        string_append_ascii(&pattern, kPattern);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

uint32_t find_index(const Cell& text, bool case_) {
    Cell s = text, v = setup().pattern;
    FindArgs a;
    a.case_ = case_;
    return string_find(&s, &v, a)->data1;
}

size_t peer_find() { return std::string_view(prose()).find(kPattern); }

void BM_FindFolded(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(find_index(setup().text1, false));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTextBytes));
}
void BM_FindCase(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(find_index(setup().text1, true));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTextBytes));
}
void BM_FindFoldedUnit2(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(find_index(setup().text2, false));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTextBytes));
}
void BM_StringViewFind(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(peer_find());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTextBytes));
}

BENCHMARK(BM_FindFolded)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindFoldedUnit2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StringViewFind)->Unit(benchmark::kMillisecond);

// Best of several timed runs of [f], in seconds.
template <class F> double best_time(F f) {
    double best = 1e9;
    for (int i = 0; i < 15; i++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        if (d.count() < best) best = d.count();
    }
    return best;
}

void print_ratios() {
    Setup& s = setup();
    size_t want = peer_find();
    if (find_index(s.text1, false) != want || find_index(s.text1, true) != want || find_index(s.text2, false) != want) {
        std::printf("find disagrees with the peer\n");
        return;
    }
    double peer = best_time([] { benchmark::DoNotOptimize(peer_find()); });
    double folded = best_time([&] { benchmark::DoNotOptimize(find_index(s.text1, false)); });
    double exact = best_time([&] { benchmark::DoNotOptimize(find_index(s.text1, true)); });
    double wide = best_time([&] { benchmark::DoNotOptimize(find_index(s.text2, false)); });
    std::printf("text: %zu bytes, pattern \"%s\" at %zu\n", kTextBytes, kPattern, want);
    std::printf("ratio find/peer (folded find vs string_view::find): %.2f\n", folded / peer);
    std::printf("ratio find/case/peer: %.2f\n", exact / peer);
    std::printf("ratio find/unit2/peer: %.2f\n", wide / peer);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_ratios();
    return 0;
}
