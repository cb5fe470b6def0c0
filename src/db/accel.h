// Private accelerator beside a chained index: an open-addressing table of
// node pointers (linear probing, one tag byte per slot, backward-shift
// removal) keyed by the whole key with a well-mixed hash. The chained index
// stays the record of truth for order (walks, export, cursor resume); the
// accelerator only answers "which nodes have this key" in constant time.
//
// Same-key nodes sit in one probe run newest first, as in the index chain:
// a new node goes before the first node of its key (the rest of the run
// moves up one slot), backward shift keeps the order of what stays, and
// growth moves the entries in slot order from the start of a run (a table
// that gave up refills from the chains, newest first). A search therefore
// stops at the first match it accepts.
//
// A slot also keeps how far its entry sits from its home slot, in the low
// bits of the node pointer (malloc aligns every block for any type, so they
// are zero). A removal's backward shift decides from them alone which later
// entries may move back, instead of reading each of their nodes to hash it
// again: in a table larger than the caches every such read was a miss.
//
// Only the publisher thread writes the database, under the lock; it also
// reads without the lock, which cannot race with its own writes, and host
// threads read under the lock. Nothing here allocates except growth, on the
// writer's path. When growth cannot allocate, the table goes on at its size
// while it has room; past that it gives up and searches scan the chains
// again (same answers, older cost) until a later insertion can rebuild it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "db/hash.h"

namespace ipam {

// Slots come in groups of one cache line: the tags and the entries they
// describe, so a probe touches one line before it reaches a node.
constexpr uint32_t kAccelLanes = 64 / (sizeof(void *) + 1);  // 7, or 12 on 32 bits
struct alignas(64) AccelGroup {
    uint8_t tags[kAccelLanes];       // 0: empty; otherwise kAccelTagBit | 7 bits of the hash
    uintptr_t entries[kAccelLanes];  // node pointer | distance from home (kAccelFar at most)
};
static_assert(sizeof(AccelGroup) == 64);

// The distance bits of an entry; kAccelFar stands for "that far or farther",
// and only then does a removal read the node to learn the exact distance.
constexpr uintptr_t kAccelFar = alignof(std::max_align_t) - 1;  // 15, or 7 on 32 bits
static_assert((kAccelFar & (kAccelFar + 1)) == 0, "a power of two alignment");

struct Accel {
    AccelGroup *groups;   // line-aligned inside `block`
    void *block;          // what was allocated
    uint32_t groupCount;  // 0 until the first insertion
    uint32_t capacity;    // slots: groupCount * kAccelLanes
    uint32_t count;       // nodes held
    bool complete;        // holds every node of its index
    bool misaligned;      // met a node whose low bits are not free: chains only until reset
};

// Past the load limit of 3/4: linear probing degrades fast above it.
inline bool accelOverloaded(uint64_t nodes, uint64_t capacity) { return nodes * 4 > capacity * 3; }

// A table's block: its groups and the slack that aligns them to a line.
constexpr size_t kAccelSlack = alignof(AccelGroup) - 1;
inline size_t accelBlockBytes(uint32_t capacity) {
    return capacity / kAccelLanes * sizeof(AccelGroup) + kAccelSlack;
}

// A slot as its group and lane; probes step through these, not through slot
// numbers, to keep divisions off the probe loop.
struct AccelPos {
    uint32_t group, lane;
    bool operator==(const AccelPos &) const = default;
};

inline AccelPos accelPosOf(uint32_t hash, const Accel &a) {
    const auto slot = static_cast<uint32_t>((static_cast<uint64_t>(hash) * a.capacity) >> 32);
    return {slot / kAccelLanes, slot % kAccelLanes};
}
inline uint32_t accelSlotNo(AccelPos p) { return p.group * kAccelLanes + p.lane; }
inline void accelStep(const Accel &a, AccelPos &p) {
    if (++p.lane < kAccelLanes) return;
    p.lane = 0;
    if (++p.group == a.groupCount) p.group = 0;
}
inline void accelStepBack(const Accel &a, AccelPos &p) {
    if (p.lane-- > 0) return;
    p.lane = kAccelLanes - 1;
    p.group = (p.group == 0 ? a.groupCount : p.group) - 1;
}
inline uint8_t &accelTag(const Accel &a, AccelPos p) { return a.groups[p.group].tags[p.lane]; }
inline uintptr_t &accelEntry(const Accel &a, AccelPos p) {
    return a.groups[p.group].entries[p.lane];
}
inline void *accelNode(const Accel &a, AccelPos p) {
    return reinterpret_cast<void *>(accelEntry(a, p) & ~kAccelFar);
}
// The entry's distance from its home as stored: exact below kAccelFar.
inline uint32_t accelStoredDistance(const Accel &a, AccelPos p) {
    return static_cast<uint32_t>(accelEntry(a, p) & kAccelFar);
}
// Slots from `from` forward to `to`, cyclically.
inline uint32_t accelDistance(const Accel &a, AccelPos from, AccelPos to) {
    const uint32_t f = accelSlotNo(from), t = accelSlotNo(to);
    return t >= f ? t - f : t + a.capacity - f;
}
inline void accelPut(const Accel &a, AccelPos p, uint8_t tag, void *node, uint32_t distance) {
    accelTag(a, p) = tag;
    accelEntry(a, p) =
        reinterpret_cast<uintptr_t>(node) | (distance < kAccelFar ? distance : kAccelFar);
}

using AccelHashFn = uint32_t (*)(const void *node);
using AccelSameKeyFn = bool (*)(const void *a, const void *b);

constexpr uint8_t kAccelTagBit = 0x80;
inline uint8_t accelTagOf(uint32_t hash) {
    return static_cast<uint8_t>(kAccelTagBit | (hash & 0x7f));
}

// The end of the probe run that starts at `p`: its first empty slot. The
// load limit leaves one.
inline AccelPos accelRunEnd(const Accel &a, AccelPos p) {
    while (accelTag(a, p) != 0) accelStep(a, p);
    return p;
}

// An empty, complete accelerator; frees what it held. Writer only.
void accelReset(Accel &a);
// Takes in `node`, which its index `t` already holds, before the other
// nodes of its key. May grow (allocate); see the file comment for what a
// failed growth does. Writer only.
void accelAdd(Accel &a, const IpamHashTable *t, AccelHashFn hash, AccelSameKeyFn same, void *node,
              uint32_t nodeHash);
// Lets go of `node`; never allocates. Writer only.
void accelRemove(Accel &a, AccelHashFn hash, const void *node);

// The first node with the key of `key` that `accept` takes, in index chain
// order (most recently inserted first), or null. K is a key definition
// (db/replica.h): Node, accelHash(node) and same(a, b). Caller holds the
// lock, or is the writer.
template <class K, class Accept>
typename K::Node *accelFindIn(const Accel &a, const typename K::Node &key, Accept accept) {
    using Node = typename K::Node;
    if (a.capacity == 0) return nullptr;
    const uint32_t h = K::accelHash(key);
    const uint8_t tag = accelTagOf(h);
    for (AccelPos p = accelPosOf(h, a); accelTag(a, p) != 0; accelStep(a, p)) {
        if (accelTag(a, p) != tag) continue;
        auto *n = static_cast<Node *>(accelNode(a, p));
        if (K::same(key, *n) && accept(*n)) return n;
    }
    return nullptr;
}

// Reports an accelerated search that disagrees with the chain scan, then
// aborts: only builds with IPAM_ACCEL_CHECK compare the two.
[[noreturn]] void accelMismatch(const char *index);

}  // namespace ipam
