#include "db/accel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ipam {
namespace {

// Growth keeps the load within the limit and multiplies the size by 5/4:
// between 4/3 and 5/3 slots per node, at most 15.3 bytes on 64 bits and
// 8.9 on 32. Small tables double instead: each growth rehashes every node,
// and small steps would rehash each node of a first batch several times
// (docs/performance.md).
constexpr uint32_t kMinCapacity = 64;
constexpr uint32_t kDoubleBelow = 1024;

bool overloaded(uint64_t nodes, uint64_t capacity) { return accelOverloaded(nodes, capacity); }

// A size that holds `nodes` within the load limit, in whole groups, or 0
// when none fits in 32 bits or in the address space.
uint32_t grownCapacity(uint32_t capacity, uint64_t nodes) {
    auto next = [](uint64_t c) { return c < kDoubleBelow ? 2 * c : c + c / 4; };
    uint64_t c = capacity < kMinCapacity ? kMinCapacity : next(capacity);
    while (overloaded(nodes, c)) c = next(c);
    c = (c + kAccelLanes - 1) / kAccelLanes * kAccelLanes;
    if (c > UINT32_MAX || c / kAccelLanes > (SIZE_MAX - kAccelSlack) / sizeof(AccelGroup)) return 0;
    return static_cast<uint32_t>(c);
}

// Puts `node` at the end of its run: behind every node of its key.
void append(Accel &a, void *node, uint32_t hash) {
    const AccelPos home = accelPosOf(hash, a);
    const AccelPos p = accelRunEnd(a, home);
    accelPut(a, p, accelTagOf(hash), node, accelDistance(a, home, p));
    a.count++;
}

// Puts `node` before the first node of its key, moving that one and the
// rest of the run up one slot (into the run's end): a run stays contiguous,
// so every node stays reachable from its home, one slot farther from it.
void prepend(Accel &a, void *node, uint32_t hash, AccelSameKeyFn same) {
    const uint8_t tag = accelTagOf(hash);
    const AccelPos home = accelPosOf(hash, a);
    AccelPos p = home, first = home;
    bool found = false;
    for (; accelTag(a, p) != 0; accelStep(a, p))
        if (!found && accelTag(a, p) == tag && same(accelNode(a, p), node)) {
            first = p;
            found = true;
        }
    for (AccelPos from = p; found && !(p == first); p = from) {
        accelStepBack(a, from);
        accelPut(a, p, accelTag(a, from), accelNode(a, from), accelStoredDistance(a, from) + 1);
    }
    accelPut(a, p, tag, node, accelDistance(a, home, p));
    a.count++;
}

// Fills a fresh table of `capacity` slots from the index. Each chain is read
// from its head, newest node first, so same-key nodes (which share a chain)
// keep the order the chain gives them. False when the table cannot be had;
// `a` is then untouched.
bool rebuild(Accel &a, const IpamHashTable *t, AccelHashFn hash, uint32_t capacity) {
    if (capacity == 0) return false;
    const uint32_t groups = capacity / kAccelLanes;
    void *block = std::malloc(accelBlockBytes(capacity));
    if (block == nullptr) return false;
    std::free(a.block);
    a.block = block;
    const auto at = (reinterpret_cast<uintptr_t>(block) + kAccelSlack) & ~uintptr_t{kAccelSlack};
    a.groups = reinterpret_cast<AccelGroup *>(at);
    std::memset(static_cast<void *>(a.groups), 0, size_t{groups} * sizeof(AccelGroup));
    a.groupCount = groups;
    a.capacity = capacity;
    a.count = 0;
    for (uint32_t b = 0; b < t->bucketCount; b++)
        for (IpamHashLink *l = t->buckets[b]; l; l = l->next) {
            void *node = hashNodeOf(t, l);
            append(a, node, hash(node));
        }
    a.complete = true;
    return true;
}

// Gives up: searches scan the chains until a rebuild succeeds.
void drop(Accel &a) {
    accelReset(a);
    a.complete = false;
}

// The low bits of a node's address carry its distance; a node from an
// allocator that leaves them set cannot be held at all.
bool aligned(const void *node) { return (reinterpret_cast<uintptr_t>(node) & kAccelFar) == 0; }

}  // namespace

void accelReset(Accel &a) {
    std::free(a.block);
    a.block = nullptr;
    a.groups = nullptr;
    a.groupCount = 0;
    a.capacity = 0;
    a.count = 0;
    a.complete = true;
    a.misaligned = false;
}

void accelAdd(Accel &a, const IpamHashTable *t, AccelHashFn hash, AccelSameKeyFn same, void *node,
              uint32_t nodeHash) {
    if (a.misaligned) return;
    if (!aligned(node)) {
        drop(a);
        a.misaligned = true;
        return;
    }
    // An incomplete table is rebuilt whole: the index already holds `node`.
    const uint64_t nodes = a.complete ? uint64_t{a.count} + 1 : t->count;
    if (!a.complete || overloaded(nodes, a.capacity)) {
        if (rebuild(a, t, hash, grownCapacity(a.capacity, nodes))) return;
        // Over the load limit a run is longer, still correct; only a table
        // without a spare empty slot must give up.
        if (!a.complete || nodes >= a.capacity) {
            drop(a);
            return;
        }
    }
    prepend(a, node, nodeHash, same);
}

void accelRemove(Accel &a, AccelHashFn hash, const void *node) {
    if (!a.complete || a.capacity == 0) return;
    AccelPos hole = accelPosOf(hash(node), a);
    while (accelTag(a, hole) != 0 && accelNode(a, hole) != node) accelStep(a, hole);
    if (accelTag(a, hole) == 0) return;  // not held
    // Backward shift: pull each later entry of the run into the hole unless
    // its home lies after the hole (it would then sit before its home).
    // Entries move in run order, so same-key nodes keep theirs.
    AccelPos j = hole;
    uint32_t gap = 0;  // slots from the hole to j
    for (accelStep(a, j), gap++; accelTag(a, j) != 0; accelStep(a, j), gap++) {
        uint32_t distance = accelStoredDistance(a, j);
        if (distance == kAccelFar)  // only a lower bound: ask the node
            distance = accelDistance(a, accelPosOf(hash(accelNode(a, j)), a), j);
        if (distance < gap) continue;
        accelPut(a, hole, accelTag(a, j), accelNode(a, j), distance - gap);
        hole = j;
        gap = 0;
    }
    accelTag(a, hole) = 0;
    accelEntry(a, hole) = 0;
    a.count--;
}

#ifdef IPAM_ACCEL_CHECK
void accelMismatch(const char *index) {
    std::fprintf(stderr, "libipam: accelerated search of %s disagrees with its chain\n", index);
    std::abort();
}
#endif

}  // namespace ipam
