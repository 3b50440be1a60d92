// The lexer loading 10 MB of generated source against the tokenizer of
// python3.11 (the `tokenize` module) on the same text.
//
// The text is lines of words, integers, floats, double-quoted strings and
// nested blocks, which are valid tokens of both languages. Ours builds every
// value (words interned and bound, strings and blocks allocated); the peer
// only yields token tuples. The peer runs in a child process that times its
// own tokenizing, so its start-up is not counted. After the runs the program
// prints the time ratio, peer / ours. KEL_BENCH_NO_PEER in the environment
// skips the peer.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "runtime/datatype.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/register.h"
#include "runtime/datatypes/word.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/symbols.h"

using namespace kel;

namespace {

constexpr size_t kTextBytes = 10u << 20;

const std::string& source() {
    static const std::string text = [] {
        std::mt19937 gen(7);
        std::vector<std::string> names;
        const char* parts[] = {"alpha", "beta", "gamma", "delta", "item", "value", "count", "node", "size", "text"};
        for (int i = 0; i < 1000; i++) names.push_back(std::string(parts[i % 10]) + std::to_string(i / 10));
        std::string out;
        out.reserve(kTextBytes + 256);
        char num[32];
        while (out.size() < kTextBytes) {
            int depth = 0;
            for (int k = 0; k < 12; k++) {
                switch (gen() % 8) {
                case 0: case 1: case 2: out += names[gen() % names.size()]; break;
                case 3: out += std::to_string(gen() % 100000); break;
                case 4:
                    std::snprintf(num, sizeof num, "%u.%u", static_cast<unsigned>(gen() % 1000),
                                  static_cast<unsigned>(gen() % 100));
                    out += num;
                    break;
                case 5: out += "\"" + names[gen() % names.size()] + " and more\""; break;
                case 6:
                    out += "[";
                    depth++;
                    continue;
                default:
                    if (depth) {
                        out += "]";
                        depth--;
                    } else {
                        out += names[gen() % names.size()];
                    }
                    break;
                }
                out += ' ';
            }
            while (depth--) out += "]";
            out += '\n';
        }
        return out;
    }();
    return text;
}

void runtime_up() {
    if (!g_memory.node_frames_head) node_frame_make(kNodeFrameCapacity);
    if (!g_memory.series_frames_head) series_frame_make();
    symbols_init();
    context_global_init();
    typenames_init(word_global_symbol);
    words_init();
    words_init_refinements();
    words_init_issue();
    symctx_owners_init();
}

// Between runs everything is dropped by rewinding the memory frames: what a
// collection that finds nothing alive leaves. Each run then allocates in
// memory the previous one touched, as a running system does, instead of
// paying for fresh pages every time. (Big buffers are left allocated.)
void runtime_rewind() {
    for (Off f = g_memory.node_frames_head; f; f = arena_at<NodeFrame>(f)->next) {
        NodeFrame* nf = arena_at<NodeFrame>(f);
        node_frame_thread(nf);
        nf->in_use = 0;
    }
    for (Off f = g_memory.series_frames_head; f; f = arena_at<SeriesFrame>(f)->next) {
        SeriesFrame* sf = arena_at<SeriesFrame>(f);
        sf->top = sf->data_start();
    }
    g_memory.current_node_frame = g_memory.node_frames_head;
    g_memory.current_series_frame = g_memory.series_frames_head;
    g_symbol_table = 0;
    g_global_context = 0;
    g_owners_table = 0;
    runtime_up();
}

void BM_lexer_load(benchmark::State& state) {
    const std::string& text = source();
    for (auto _ : state) {
        state.PauseTiming();
        runtime_rewind();
        state.ResumeTiming();
        Cell out{TYPE_NONE, 0, 0, 0};
        lexer_scan_utf8(&out, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
                        false, true, true, false, nullptr, nullptr, nullptr, nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_lexer_load)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(7);

// The peer's best time of three runs over the same text, in seconds; a
// negative value when python3.11 cannot be run.
double python_tokenize_seconds() {
    char path[] = "/tmp/kel_bench_lexer_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return -1;
    const std::string& text = source();
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    double best = -1;
    if (written) {
        std::string cmd = std::string("/usr/bin/python3.11 -c '") +
                          "import io, sys, time, tokenize\n"
                          "data = open(sys.argv[1], \"rb\").read()\n"
                          "best = None\n"
                          "for _ in range(3):\n"
                          "    t = time.perf_counter()\n"
                          "    n = sum(1 for _ in tokenize.tokenize(io.BytesIO(data).readline))\n"
                          "    d = time.perf_counter() - t\n"
                          "    best = d if best is None else min(best, d)\n"
                          "print(best, n)\n' " +
                          path;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            long tokens = 0;
            if (std::fscanf(p, "%lf %ld", &best, &tokens) != 2) best = -1;
            pclose(p);
        }
    }
    unlink(path);
    return best;
}

// The best time of the repetitions, as the peer reports its best of three:
// the machine's other load only ever adds time.
struct TimeReporter : benchmark::ConsoleReporter {
    double best = -1;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            double t = run.real_accumulated_time / static_cast<double>(run.iterations);
            if (best < 0 || t < best) best = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    memory_init();
    stack_init();
    datatypes_register_core();
    runtime_up();
    lexer_init();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    double ours = reporter.best;
    double peer = std::getenv("KEL_BENCH_NO_PEER") ? -1 : python_tokenize_seconds();
    if (ours <= 0 || peer <= 0) {
        std::printf("ratio lexer vs python3.11 tokenize: not measured\n");
        return 0;
    }
    std::printf("lexer %.1f ms, python3.11 tokenize %.1f ms (best times) on %.1f MB\n", ours * 1e3, peer * 1e3,
                static_cast<double>(source().size()) / (1 << 20));
    std::printf("ratio lexer vs python3.11 tokenize: %.1fx faster (target >= 5x)\n", peer / ours);
    return 0;
}
