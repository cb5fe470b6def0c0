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

// Puts `node` at the end of its run, which starts at `home`: behind every
// node of its key.
void append(Accel &a, void *node, uint32_t hash, AccelPos home) {
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
            const uint32_t h = hash(node);
            append(a, node, h, accelPosOf(h, a));
        }
    a.complete = true;
    return true;
}

// Moves every entry of a complete table into a fresh one of `capacity`
// slots. The old table is read in slot order from the start of a run (the
// slot after an empty one), so the nodes of a key, which share one run,
// arrive in the order they had. Each node is read only to hash it; the
// nodes are asked for a window ahead and their new groups half a window
// ahead, so that their misses overlap: following the chains instead meets
// them one at a time. False when the table cannot be had; `a` is then
// untouched.
bool regrow(Accel &a, AccelHashFn hash, uint32_t capacity) {
    if (capacity == 0) return false;
    void *block = std::malloc(accelBlockBytes(capacity));
    if (block == nullptr) return false;
    Accel grown = a;
    grown.block = block;
    const auto at = (reinterpret_cast<uintptr_t>(block) + kAccelSlack) & ~uintptr_t{kAccelSlack};
    grown.groups = reinterpret_cast<AccelGroup *>(at);
    grown.groupCount = capacity / kAccelLanes;
    grown.capacity = capacity;
    grown.count = 0;
    std::memset(static_cast<void *>(grown.groups), 0,
                size_t{grown.groupCount} * sizeof(AccelGroup));

    struct Moving {
        void *node;
        uint32_t hash;
        AccelPos home;
    };
    constexpr uint32_t kAhead = 8, kRing = 32;  // the ring holds two windows and one more
    Moving ring[kRing];
    uint32_t taken = 0, hashed = 0, placed = 0;
    auto hashOne = [&] {
        Moving &m = ring[hashed++ % kRing];
        m.hash = hash(m.node);
        m.home = accelPosOf(m.hash, grown);
        __builtin_prefetch(&grown.groups[m.home.group], 1);
    };
    auto placeOne = [&] {
        const Moving &m = ring[placed++ % kRing];
        append(grown, m.node, m.hash, m.home);
    };
    AccelPos p{0, 0};
    if (a.capacity != 0)
        while (accelTag(a, p) != 0) accelStep(a, p);  // there is always an empty slot
    for (uint32_t left = a.capacity; left > 0; left--) {
        accelStep(a, p);
        if (accelTag(a, p) == 0) continue;
        void *node = accelNode(a, p);
        __builtin_prefetch(node);
        __builtin_prefetch(static_cast<char *>(node) + 48);  // keys may cross into the next line
        ring[taken++ % kRing].node = node;
        if (taken - hashed > kAhead) hashOne();
        if (hashed - placed > kAhead) placeOne();
    }
    while (hashed < taken) hashOne();
    while (placed < taken) placeOne();
    std::free(a.block);
    a = grown;
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
    // An incomplete table is rebuilt whole from the index, which already
    // holds `node`.
    if (!a.complete) {
        if (!rebuild(a, t, hash, grownCapacity(a.capacity, t->count))) drop(a);
        return;
    }
    const uint64_t nodes = uint64_t{a.count} + 1;
    // Over the load limit a run is longer, still correct; only a table
    // without a spare empty slot must give up.
    if (overloaded(nodes, a.capacity) && !regrow(a, hash, grownCapacity(a.capacity, nodes)) &&
        nodes >= a.capacity) {
        drop(a);
        return;
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
