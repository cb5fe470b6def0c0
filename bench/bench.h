// Shared pieces of the three sides of the comparison: registration under one
// naming scheme ("<side>/<workload>/<records>"), and the per-operation
// allocation counter every benchmark reports.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <functional>
#include <string>

#include "alloc_count.h"

namespace bench {

using Body = std::function<void(benchmark::State &)>;

// Registers one benchmark for a table of n records per family.
benchmark::internal::Benchmark *add(const char *side, const char *workload, std::size_t n,
                                    Body body);

// Counts the allocations made between construction and finish(), and reports
// them per iteration as the counter "allocs/op" (work done while the timer
// was paused is counted too; bodies keep such work allocation-free or
// subtract it).
class AllocScope {
public:
    AllocScope() : start_(heap().allocs) {}
    void finish(benchmark::State &state, double perIterationOps = 1.0) const;

private:
    uint64_t start_;
};

// Heap bytes gained between two snapshots: usable bytes plus malloc's chunk
// header for each block still alive.
double heapBytes(const HeapCounters &before, const HeapCounters &after);

// Reports the heap the side spends for `records` records: bytes per record
// (usable bytes plus malloc's chunk header per block), blocks per record.
void reportMemory(benchmark::State &state, const HeapCounters &before, const HeapCounters &after,
                  std::size_t records);
// The memory counters of a fill of n IPv4 then n IPv6 records: heap readings
// before anything, once the fixed part is in place, after IPv4, after IPv6.
void reportFill(benchmark::State &state, const HeapCounters &empty, const HeapCounters &ready,
                const HeapCounters &v4, const HeapCounters &v6, std::size_t n);

void registerIpam(std::size_t n);
void registerLibnl(std::size_t n);
void registerIdeal(std::size_t n);

// Records added and removed again by the single add/delete workloads, on top
// of the n stored ones: the table stays between n and n + kPool.
constexpr std::size_t kPool = 256;
// Share of the records that a resynchronising batch no longer holds (and of
// new ones it brings instead): one in kStaleEvery.
constexpr std::size_t kStaleEvery = 10;
// Above this many records per family only the keyed workloads (single
// changes, (VRF, address) lookups), the resync and the memory reading run,
// and libnl not at all.
constexpr std::size_t kFullSetUpTo = 100000;
// Records per management page.
constexpr int kPageRecords = 128;

}  // namespace bench
