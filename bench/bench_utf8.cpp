// UTF-8 loading of 10 MB of mixed text against two plain loops.
//
// The text is mostly ASCII prose with accented Latin, Greek, Cyrillic and CJK
// words mixed in (every line has some, one word in eight), so the decoded
// string has unit 2. Each program run prints at the end:
//   target ratio   unicode_load_utf8 refilling a string, against the peer: a
//                  plain scalar UTF-8 decoder as a programmer would write it
//                  (lead byte, continuation bytes checked, code point stored
//                  as a 16-bit unit; no tables, no SIMD), in this file and so
//                  compiled with the same flags as the runtime. The goal is to
//                  stay within 1.5x of it.
//   copy bound     the same load against a loop that stores every byte as a
//                  16-bit unit and decodes nothing: no decoder can beat it,
//                  and the compiler vectorises it, so this ratio says how far
//                  loading is from a plain widening copy.
// and for comparison the load without its block decoder (the per-character
// path that CPUs without AVX2 take) against the same peer, the copy bound on
// pure ASCII text, and the table-driven decoder stepping code point by code
// point (the lexer's use) against a loop summing the bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/memory.h"
#include "runtime/unicode.h"

using namespace kel;

namespace {

constexpr size_t kTextBytes = 10 << 20;

const std::vector<uint8_t>& mixed_text() {
    static std::vector<uint8_t> text = [] {
        const char* words[] = {
            "the", "quick", "brown", "fox", "jumps", "over", "lazy", "dogs", "while", "reading",
            "café", "naïve", "straße", "über", "déjà", "vu",
            "καλημέρα", "κόσμε", "привет", "мир", "日本語", "テキスト", "中文", "한국어",
            "and", "then", "some", "more", "plain", "words", "follow", "here",
        };
        const size_t nwords = sizeof words / sizeof *words;
        std::vector<uint8_t> out;
        out.reserve(kTextBytes + 64);
        uint32_t seed = 12345;
        size_t col = 0;
        while (out.size() < kTextBytes) {
            seed = seed * 1103515245 + 12345;
            // Three ASCII words in four.
            size_t pick = (seed >> 16) % 4 ? (seed >> 8) % 16 : (seed >> 8) % nwords;
            const char* w = words[pick];
            out.insert(out.end(), w, w + std::strlen(w));
            col += std::strlen(w);
            if (col > 70) {
                out.push_back('\n');
                col = 0;
            } else {
                out.push_back(' ');
            }
        }
        // End on a character boundary.
        while (!out.empty() && (out.back() & 0xC0) == 0x80) out.pop_back();
        if (!out.empty() && out.back() >= 0xC0) out.pop_back();
        return out;
    }();
    return text;
}

void ensure_memory() {
    if (!memory_ready()) memory_init();
}

// A string node with room for the whole text at [unit].
Off target_string(uint32_t unit) {
    static Off nodes[5] = {};
    if (!nodes[unit]) nodes[unit] = alloc_string(uint32_t(mixed_text().size()), unit);
    return nodes[unit];
}

// The mixed text loaded by `Load` (the loader, or its per-character reference)
// into a string with 2-byte units.
template <auto Load> void load_mixed(benchmark::State& state) {
    ensure_memory();
    const auto& text = mixed_text();
    Off target = target_string(2);
    for (auto _ : state) {
        Off node = Load(text.data(), uint32_t(text.size()), target, nullptr, false);
        benchmark::DoNotOptimize(node_buffer(node)->tail);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
void BM_LoadUtf8(benchmark::State& state) { load_mixed<unicode_load_utf8>(state); }

// The target ratio's peer: a byte-at-a-time UTF-8 decoder into 16-bit units.
// Returns the units written, or UINT32_MAX at a malformed sequence; stops
// before a sequence cut by the end.
uint32_t plain_decode_utf8(const uint8_t* src, uint32_t n, uint16_t* out) {
    uint32_t i = 0, o = 0;
    while (i < n) {
        uint32_t b = src[i], cp, len;
        if (b < 0x80) {
            cp = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            len = 4;
        } else {
            return UINT32_MAX;
        }
        if (n - i < len) break;
        for (uint32_t k = 1; k < len; k++) {
            uint32_t c = src[i + k];
            if ((c & 0xC0) != 0x80) return UINT32_MAX;
            cp = (cp << 6) | (c & 0x3F);
        }
        out[o++] = static_cast<uint16_t>(cp);
        i += len;
    }
    return o;
}

void BM_PlainDecodeLoop(benchmark::State& state) {
    ensure_memory();
    const auto& text = mixed_text();
    Off target = target_string(2);
    for (auto _ : state) {
        SeriesBuf* buf = node_buffer(target);
        uint32_t n = plain_decode_utf8(text.data(), uint32_t(text.size()), reinterpret_cast<uint16_t*>(buf->head_ptr()));
        buf->tail = buf->head + 2 * n;
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_LoadUtf8PerCharacter(benchmark::State& state) { load_mixed<unicode_load_utf8_reference>(state); }

// Copy bound: every byte stored as one unit of the decoded string's width.
void BM_PlainByteLoopStore(benchmark::State& state) {
    ensure_memory();
    const auto& text = mixed_text();
    Off target = target_string(2);
    for (auto _ : state) {
        SeriesBuf* buf = node_buffer(target);
        uint16_t* out = reinterpret_cast<uint16_t*>(buf->head_ptr());
        const uint8_t* src = text.data();
        uint32_t n = uint32_t(text.size());
        for (uint32_t i = 0; i < n; i++) out[i] = src[i];
        buf->tail = buf->head + 2 * n;
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// The table-driven decoder stepping through the text, summing code points.
uint64_t decode_sum(const std::vector<uint8_t>& text) {
    const uint8_t* p = text.data();
    const uint8_t* end = p + text.size();
    uint64_t sum = 0;
    while (p < end) {
        int32_t cp;
        p = unicode_fast_decode_utf8_char(p, end, &cp);
        sum += uint32_t(cp);
    }
    return sum;
}

void BM_DecodeChars(benchmark::State& state) {
    const auto& text = mixed_text();
    for (auto _ : state) benchmark::DoNotOptimize(decode_sum(text));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// Peer: a plain loop over the bytes.
void BM_PlainByteLoopSum(benchmark::State& state) {
    const auto& text = mixed_text();
    for (auto _ : state) {
        uint64_t sum = 0;
        for (uint8_t b : text) sum += b;
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_CountUtf8(benchmark::State& state) {
    const auto& text = mixed_text();
    for (auto _ : state) benchmark::DoNotOptimize(unicode_utf8_count(text.data(), text.data() + text.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

BENCHMARK(BM_LoadUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainDecodeLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadUtf8PerCharacter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainByteLoopStore)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeChars)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainByteLoopSum)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountUtf8)->Unit(benchmark::kMillisecond);

// Best time of each of [fs] in seconds, over rounds that run each in turn,
// so that a busy spell of a shared machine hits all of them alike. Each run
// timed follows an untimed one, so that each finds its data as warm as the
// others do.
std::vector<double> best_times(const std::vector<std::function<void()>>& fs) {
    std::vector<double> best(fs.size(), 1e9);
    for (int round = 0; round < 20; round++) {
        for (size_t k = 0; k < fs.size(); k++) {
            fs[k]();
            auto t0 = std::chrono::steady_clock::now();
            fs[k]();
            std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
            if (d.count() < best[k]) best[k] = d.count();
        }
    }
    return best;
}

void print_ratios() {
    ensure_memory();
    const auto& text = mixed_text();
    Off target = target_string(2);
    uint32_t n = uint32_t(text.size());
    // Pure ASCII text, where loading is a widening copy.
    std::vector<uint8_t> ascii(n);
    for (uint32_t i = 0; i < n; i++) ascii[i] = static_cast<uint8_t>('a' + i % 26);
    auto store_loop = [&](const std::vector<uint8_t>& in) {
        uint16_t* out = reinterpret_cast<uint16_t*>(node_buffer(target)->head_ptr());
        for (uint32_t i = 0; i < n; i++) out[i] = in[i];
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    };
    std::vector<double> t = best_times({
        [&] { benchmark::DoNotOptimize(unicode_load_utf8(text.data(), n, target, nullptr, false)); },
        [&] {
            uint16_t* out = reinterpret_cast<uint16_t*>(node_buffer(target)->head_ptr());
            benchmark::DoNotOptimize(plain_decode_utf8(text.data(), n, out));
            benchmark::ClobberMemory();
        },
        [&] { benchmark::DoNotOptimize(unicode_load_utf8_reference(text.data(), n, target, nullptr, false)); },
        [&] { store_loop(text); },
        [&] { benchmark::DoNotOptimize(decode_sum(text)); },
        [&] {
            uint64_t sum = 0;
            for (uint8_t b : text) sum += b;
            benchmark::DoNotOptimize(sum);
        },
        [&] { benchmark::DoNotOptimize(unicode_load_utf8(ascii.data(), n, target, nullptr, false)); },
        [&] { store_loop(ascii); },
    });
    double load = t[0], peer = t[1], per_char = t[2], store = t[3], decode = t[4], bytesum = t[5];
    double ascii_load = t[6], ascii_store = t[7];
    // The peer must do the loader's work: the same units from the same text.
    std::vector<uint16_t> peer_units(n);
    uint32_t peer_n = plain_decode_utf8(text.data(), n, peer_units.data());
    unicode_load_utf8(text.data(), n, target, nullptr, false);
    SeriesBuf* buf = node_buffer(target);
    bool same = peer_n == (buf->tail - buf->head) / 2 &&
                std::memcmp(peer_units.data(), buf->head_ptr(), size_t(peer_n) * 2) == 0;
    std::printf("mixed text: %u bytes, %u code points, unit %u; peer decodes the same units: %s\n", n,
                unicode_utf8_count(text.data(), text.data() + n), buf->unit(), same ? "yes" : "NO");
    std::printf("target ratio load/peer (load_utf8 vs plain scalar UTF-8 decoding loop, goal <= 1.5): %.2f\n",
                load / peer);
    std::printf("copy-bound ratio load/store (load_utf8 vs plain byte store loop, no decoding): %.2f\n", load / store);
    std::printf("ratio per-character load/peer (load_utf8 without the block decoder vs the same peer): %.2f\n",
                per_char / peer);
    std::printf("copy-bound ratio load/store on pure ASCII text: %.2f\n", ascii_load / ascii_store);
    std::printf("ratio decode/sum (table-driven decoder vs plain byte sum loop, no decoding): %.2f\n", decode / bytesum);
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
