// Heap accounting of the whole process. The benchmark executable defines
// malloc and friends itself and forwards them to glibc, so every allocation
// of libipam.so, the platform, libnl and the references goes through these
// counters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

struct HeapCounters {
    uint64_t allocs;    // successful malloc/calloc/realloc/new calls so far
    uint64_t frees;     // free calls with a non-null pointer
    int64_t liveBytes;  // usable bytes of the blocks alive now
    int64_t peakBytes;  // highest liveBytes since the last resetPeak()
};

HeapCounters heap();
// Starts a new peak measurement from the current live bytes.
void resetPeak();
// Bytes malloc keeps in front of each block on this platform: a block of
// usable size u occupies u + chunkOverhead() bytes of heap.
constexpr std::size_t chunkOverhead() { return sizeof(std::size_t); }

}  // namespace bench
