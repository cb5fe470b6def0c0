#include "db/accel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ipam {
namespace {

// Growth keeps the load at or below 7/8 and multiplies the size by 1.5:
// between 8/7 and 12/7 slots per node, and a run ends soon enough.
constexpr uint32_t kMinCapacity = 64;

bool overloaded(uint64_t nodes, uint64_t capacity) { return nodes * 8 > capacity * 7; }

uint32_t nextSlot(const Accel &a, uint32_t i) { return i + 1 == a.capacity ? 0 : i + 1; }

// A size that holds `nodes` within the load limit, or 0 when none fits in
// 32 bits or in the address space.
uint32_t grownCapacity(uint32_t capacity, uint64_t nodes) {
    uint64_t c = capacity < kMinCapacity ? kMinCapacity : capacity + capacity / 2;
    while (overloaded(nodes, c)) c += c / 2;
    c = (c + kAccelLanes - 1) / kAccelLanes * kAccelLanes;
    if (c > UINT32_MAX || c / kAccelLanes > (SIZE_MAX - kAccelSlack) / sizeof(AccelGroup)) return 0;
    return static_cast<uint32_t>(c);
}

void place(Accel &a, void *node, uint32_t hash) {
    uint32_t i = accelSlotOf(hash, a.capacity);
    while (accelTag(a, i) != 0) i = nextSlot(a, i);
    accelTag(a, i) = accelTagOf(hash);
    accelNode(a, i) = node;
    a.count++;
}

// Fills a fresh table of `capacity` slots from the index. Each chain is read
// from its tail, oldest node first, so same-key nodes (which share a chain)
// keep the order the chain gives them. False when the table cannot be had;
// `a` is then untouched.
bool rebuild(Accel &a, const IpamHashTable *t, AccelHashFn hash, uint32_t capacity) {
    if (capacity == 0) return false;
    const size_t groups = capacity / kAccelLanes;
    void *block = std::malloc(accelBlockBytes(capacity));
    if (block == nullptr) return false;
    std::free(a.block);
    a.block = block;
    const auto at = (reinterpret_cast<uintptr_t>(block) + kAccelSlack) & ~uintptr_t{kAccelSlack};
    a.groups = reinterpret_cast<AccelGroup *>(at);
    std::memset(static_cast<void *>(a.groups), 0, groups * sizeof(AccelGroup));
    a.capacity = capacity;
    a.count = 0;
    for (uint32_t b = 0; b < t->bucketCount; b++) {
        IpamHashLink *l = t->buckets[b];
        if (l == nullptr) continue;
        while (l->next) l = l->next;
        for (; l; l = l->prev) {
            void *node = hashNodeOf(t, l);
            place(a, node, hash(node));
        }
    }
    a.complete = true;
    return true;
}

// Gives up: searches scan the chains until a rebuild succeeds.
void drop(Accel &a) {
    accelReset(a);
    a.complete = false;
}

// Cyclically, whether `k` lies in (from, to].
bool between(uint32_t from, uint32_t k, uint32_t to) {
    return from <= to ? (from < k && k <= to) : (from < k || k <= to);
}

}  // namespace

void accelReset(Accel &a) {
    std::free(a.block);
    a.block = nullptr;
    a.groups = nullptr;
    a.capacity = 0;
    a.count = 0;
    a.complete = true;
}

uint32_t accelRunEnd(const Accel &a, uint32_t home) {
    uint32_t i = home;
    while (accelTag(a, i) != 0) i = nextSlot(a, i);  // the load limit leaves an empty slot
    return i;
}

void accelAdd(Accel &a, const IpamHashTable *t, AccelHashFn hash, void *node) {
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
    place(a, node, hash(node));
}

void accelRemove(Accel &a, AccelHashFn hash, const void *node) {
    if (!a.complete || a.capacity == 0) return;
    uint32_t hole = accelSlotOf(hash(node), a.capacity);
    while (accelTag(a, hole) != 0 && accelNode(a, hole) != node) hole = nextSlot(a, hole);
    if (accelTag(a, hole) == 0) return;  // not held
    // Backward shift: pull each later entry of the run into the hole unless
    // that would put it before its home. Entries move in run order, so
    // same-key nodes keep theirs.
    for (uint32_t j = nextSlot(a, hole); accelTag(a, j) != 0; j = nextSlot(a, j)) {
        if (between(hole, accelSlotOf(hash(accelNode(a, j)), a.capacity), j)) continue;
        accelTag(a, hole) = accelTag(a, j);
        accelNode(a, hole) = accelNode(a, j);
        hole = j;
    }
    accelTag(a, hole) = 0;
    accelNode(a, hole) = nullptr;
    a.count--;
}

#ifdef IPAM_ACCEL_CHECK
void accelMismatch(const char *index) {
    std::fprintf(stderr, "libipam: accelerated search of %s disagrees with its chain\n", index);
    std::abort();
}
#endif

}  // namespace ipam
