// Checksums of 100 MB against independent peers.
//
// CRC-32 and Adler-32 against zlib's crc32 and adler32 (loaded at run time
// from libz.so.1, so the runtime never links it); SHA-256 against the
// sha256sum program hashing the same bytes from a file in the page cache
// (the peer's time includes its process start, a few milliseconds of the
// total). After the runs the program prints each time ratio, ours / peer.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "runtime/checksum.h"

extern char** environ;

namespace {

constexpr size_t kBytes = 100u * 1000u * 1000u;

const std::vector<uint8_t>& data() {
    static const std::vector<uint8_t> v = [] {
        std::vector<uint8_t> out(kBytes);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (auto& b : out) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<uint8_t>(x);
        }
        return out;
    }();
    return v;
}

using ZlibSum = unsigned long (*)(unsigned long, const unsigned char*, unsigned int);

struct Zlib {
    ZlibSum crc32 = nullptr, adler32 = nullptr;
    Zlib() {
        void* h = dlopen("libz.so.1", RTLD_NOW);
        if (!h) return;
        crc32 = reinterpret_cast<ZlibSum>(dlsym(h, "crc32"));
        adler32 = reinterpret_cast<ZlibSum>(dlsym(h, "adler32"));
    }
};
const Zlib& zlib() {
    static const Zlib z;
    return z;
}

std::string g_data_path;  // made by the first program run; removed at exit

// The data in a temporary file, for the program peer.
const std::string& data_file() {
    static const std::string path = [] {
        char name[] = "/tmp/kel_bench_checksum_XXXXXX";
        int fd = mkstemp(name);
        const auto& d = data();
        size_t done = 0;
        while (fd >= 0 && done < d.size()) {
            ssize_t n = write(fd, d.data() + done, d.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (fd >= 0) close(fd);
        g_data_path = name;
        return std::string(name);
    }();
    return path;
}

void BM_crc32_kel(benchmark::State& state) {
    const auto& d = data();
    for (auto _ : state) benchmark::DoNotOptimize(kel::checksum_crc32(d.data(), d.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_crc32_zlib(benchmark::State& state) {
    const auto& d = data();
    if (!zlib().crc32) return state.SkipWithError("libz.so.1 not found");
    for (auto _ : state) benchmark::DoNotOptimize(zlib().crc32(0, d.data(), static_cast<unsigned>(d.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_adler32_kel(benchmark::State& state) {
    const auto& d = data();
    for (auto _ : state) benchmark::DoNotOptimize(kel::checksum_adler32(d.data(), d.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_adler32_zlib(benchmark::State& state) {
    const auto& d = data();
    if (!zlib().adler32) return state.SkipWithError("libz.so.1 not found");
    for (auto _ : state) benchmark::DoNotOptimize(zlib().adler32(1, d.data(), static_cast<unsigned>(d.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_sha256_kel(benchmark::State& state) {
    const auto& d = data();
    for (auto _ : state) benchmark::DoNotOptimize(kel::checksum_crypto_hash(d.data(), d.size(), kel::CHECKSUM_SHA256));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_sha256_sha256sum(benchmark::State& state) {
    const std::string& path = data_file();
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        char prog[] = "sha256sum";
        std::string arg = path;
        char* argv[] = {prog, arg.data(), nullptr};
        pid_t pid;
        int rc = posix_spawnp(&pid, prog, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        if (rc != 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return state.SkipWithError("sha256sum failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data().size()));
}

BENCHMARK(BM_crc32_kel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_crc32_zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_adler32_kel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_adler32_zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sha256_kel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sha256_sha256sum)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    if (!g_data_path.empty()) unlink(g_data_path.c_str());

    const struct { const char* what; const char* ours; const char* peer; } pairs[] = {
        {"crc32 vs zlib", "BM_crc32_kel", "BM_crc32_zlib"},
        {"adler32 vs zlib", "BM_adler32_kel", "BM_adler32_zlib"},
        {"sha256 vs sha256sum", "BM_sha256_kel", "BM_sha256_sha256sum"},
    };
    for (const auto& p : pairs) {
        auto a = reporter.times.find(p.ours), b = reporter.times.find(p.peer);
        if (a == reporter.times.end() || b == reporter.times.end() || b->second <= 0) continue;
        std::printf("ratio %-22s %.2fx (target <= 2.00x)\n", p.what, a->second / b->second);
    }
    return 0;
}
