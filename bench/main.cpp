// libipam benchmarks side by side with libnl-route-3's address cache and an
// ideal in-memory map. Table sizes come from IPAM_BENCH_SIZES (comma
// separated, default 1000,10000,100000); the usual Google Benchmark flags
// apply (--benchmark_filter, --benchmark_min_time, --benchmark_out ...).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

benchmark::internal::Benchmark *add(const char *side, const char *workload, std::size_t n,
                                    Body body) {
    const std::string name = std::string(side) + "/" + workload;
    return benchmark::RegisterBenchmark(name.c_str(), std::move(body))
        ->Arg(static_cast<int64_t>(n))
        ->Unit(benchmark::kNanosecond);
}

void AllocScope::finish(benchmark::State &state, double perIterationOps) const {
    const double iters = static_cast<double>(state.iterations()) * perIterationOps;
    const double allocs = static_cast<double>(heap().allocs - start_);
    state.counters["allocs/op"] = iters > 0 ? allocs / iters : 0.0;
}

double heapBytes(const HeapCounters &before, const HeapCounters &after) {
    const double blocks =
        static_cast<double>((after.allocs - after.frees) - (before.allocs - before.frees));
    return static_cast<double>(after.liveBytes - before.liveBytes) +
           blocks * static_cast<double>(chunkOverhead());
}

void reportMemory(benchmark::State &state, const HeapCounters &before, const HeapCounters &after,
                  std::size_t records) {
    const double blocks =
        static_cast<double>((after.allocs - after.frees) - (before.allocs - before.frees));
    const double bytes = heapBytes(before, after);
    const double n = static_cast<double>(records);
    state.counters["bytes/record"] = bytes / n;
    state.counters["blocks/record"] = blocks / n;
    state.counters["heap_bytes"] = bytes;
    state.counters["peak_heap_bytes"] = static_cast<double>(after.peakBytes - before.liveBytes);
}

void reportFill(benchmark::State &state, const HeapCounters &empty, const HeapCounters &ready,
                const HeapCounters &v4, const HeapCounters &v6, std::size_t n) {
    reportMemory(state, ready, v6, 2 * n);
    state.counters["v4_bytes/record"] = heapBytes(ready, v4) / static_cast<double>(n);
    state.counters["v6_bytes/record"] = heapBytes(v4, v6) / static_cast<double>(n);
    state.counters["fixed_bytes"] = heapBytes(empty, ready);
    state.counters["peak_heap_bytes"] = static_cast<double>(v6.peakBytes - empty.liveBytes);
}

}  // namespace bench

namespace {

std::vector<std::size_t> sizes() {
    const char *env = std::getenv("IPAM_BENCH_SIZES");
    std::string text = env && *env ? env : "1000,10000,100000";
    std::vector<std::size_t> out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(pos, comma - pos);
        if (!item.empty()) out.push_back(std::strtoull(item.c_str(), nullptr, 10));
        pos = comma + 1;
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    // Sides are registered size by size, so that each side fills its table
    // once per size rather than once per workload.
    for (std::size_t n : sizes()) {
        if (n < 16) {
            std::fprintf(stderr, "table size %zu too small\n", n);
            return 2;
        }
        bench::registerIpam(n);
        bench::registerLibnl(n);
        bench::registerIdeal(n);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
