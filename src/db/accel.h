// Private accelerator beside a chained index: an open-addressing table of
// node pointers (linear probing, one tag byte per slot, backward-shift
// removal) keyed by the whole key with a well-mixed hash. The chained index
// stays the record of truth for order (walks, export, cursor resume); the
// accelerator only answers "which nodes have this key" in constant time.
//
// Same-key nodes sit in one probe run in insertion order (oldest first):
// insertion takes the first empty slot, backward shift and growth keep
// their relative order. A search therefore reads its run backwards and
// meets them as the index chain does, most recently inserted first.
//
// Only the publisher thread writes the database, under the lock; it also
// reads without the lock, which cannot race with its own writes, and host
// threads read under the lock. Nothing here allocates except growth, on the
// writer's path. When growth cannot allocate, the table goes on at its size
// while it has room; past that it gives up and searches scan the chains
// again (same answers, older cost) until a later insertion can rebuild it.
#pragma once

#include <cstdint>

#include "db/hash.h"

namespace ipam {

// Slots come in groups of one cache line: the tags and the node pointers
// they describe, so a probe touches one line before it reaches a node.
constexpr uint32_t kAccelLanes = 64 / (sizeof(void *) + 1);  // 7, or 12 on 32 bits
struct alignas(64) AccelGroup {
    uint8_t tags[kAccelLanes];  // 0: empty; otherwise kAccelTagBit | 7 bits of the hash
    void *nodes[kAccelLanes];
};
static_assert(sizeof(AccelGroup) == 64);

struct Accel {
    AccelGroup *groups;  // capacity / kAccelLanes of them, line-aligned in `block`
    void *block;         // what was allocated
    uint32_t capacity;   // slots; 0 until the first insertion
    uint32_t count;      // nodes held
    bool complete;       // holds every node of its index
};

// A table's block: its groups and the slack that aligns them to a line.
constexpr size_t kAccelSlack = alignof(AccelGroup) - 1;
inline size_t accelBlockBytes(uint32_t capacity) {
    return capacity / kAccelLanes * sizeof(AccelGroup) + kAccelSlack;
}

inline uint8_t &accelTag(const Accel &a, uint32_t slot) {
    return a.groups[slot / kAccelLanes].tags[slot % kAccelLanes];
}
inline void *&accelNode(const Accel &a, uint32_t slot) {
    return a.groups[slot / kAccelLanes].nodes[slot % kAccelLanes];
}

using AccelHashFn = uint32_t (*)(const void *node);

constexpr uint8_t kAccelTagBit = 0x80;

inline uint32_t accelSlotOf(uint32_t hash, uint32_t capacity) {
    return static_cast<uint32_t>((static_cast<uint64_t>(hash) * capacity) >> 32);
}
inline uint8_t accelTagOf(uint32_t hash) { return static_cast<uint8_t>(kAccelTagBit | (hash & 0x7f)); }

// murmur3's 64-bit finaliser: every input bit reaches every output bit, so
// neighbouring addresses land far apart.
inline uint64_t accelMix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}
inline uint32_t accelMix(uint64_t x) { return static_cast<uint32_t>(accelMix64(x)); }

// An empty, complete accelerator; frees what it held. Writer only.
void accelReset(Accel &a);
// Takes in `node`, which its index `t` already holds. May grow (allocate);
// see the file comment for what a failed growth does. Writer only.
void accelAdd(Accel &a, const IpamHashTable *t, AccelHashFn hash, void *node);
// Lets go of `node`; never allocates. Writer only.
void accelRemove(Accel &a, AccelHashFn hash, const void *node);
// One past the last slot of the probe run that starts at `home`.
uint32_t accelRunEnd(const Accel &a, uint32_t home);

// The first node with the key of `key` that `accept` takes, in index chain
// order (most recently inserted first), or null. K describes one index:
// Node, table(), accel(), hash(node) and sameKey(a, b), which must agree
// with the index's compareFn. Caller holds the lock, or is the writer.
template <class K, class Accept>
typename K::Node *accelFindIn(const Accel &a, const typename K::Node &key, Accept accept) {
    using Node = typename K::Node;
    if (a.capacity == 0) return nullptr;
    const uint32_t h = K::hash(&key);
    const uint32_t home = accelSlotOf(h, a.capacity);
    const uint8_t tag = accelTagOf(h);
    for (uint32_t i = accelRunEnd(a, home); i != home;) {
        i = (i == 0 ? a.capacity : i) - 1;
        if (accelTag(a, i) != tag) continue;
        auto *n = static_cast<Node *>(accelNode(a, i));
        if (K::sameKey(key, *n) && accept(*n)) return n;
    }
    return nullptr;
}

// The same answer from the chained index alone.
template <class K, class Accept>
typename K::Node *chainFind(const typename K::Node &key, Accept accept) {
    const IpamHashTable *t = &K::table();
    for (void *n = hashFindFirst(t, &key); n; n = hashFindNext(t, n))
        if (accept(*static_cast<typename K::Node *>(n))) return static_cast<typename K::Node *>(n);
    return nullptr;
}

// Reports an accelerated search that disagrees with the chain scan, then
// aborts: only builds with IPAM_ACCEL_CHECK compare the two.
[[noreturn]] void accelMismatch(const char *index);

// Every keyed search of an index goes through here.
template <class K, class Accept>
typename K::Node *keyedFind(const typename K::Node &key, Accept accept) {
    if (!hashSetUp(&K::table())) return nullptr;
    const Accel &a = K::accel();
    if (!a.complete) return chainFind<K>(key, accept);
    typename K::Node *found = accelFindIn<K>(a, key, accept);
#ifdef IPAM_ACCEL_CHECK
    if (found != chainFind<K>(key, accept)) accelMismatch(K::kName);
#endif
    return found;
}

template <class K>
typename K::Node *keyedFindFirst(const typename K::Node &key) {
    return keyedFind<K>(key, [](const typename K::Node &) { return true; });
}

// Index and accelerator together, for the writer.
template <class K>
void keyedInsert(typename K::Node *node) {
    hashInsert(&K::table(), node);
    accelAdd(K::accel(), &K::table(), K::hash, node);
}
template <class K>
void keyedRemove(typename K::Node *node) {
    accelRemove(K::accel(), K::hash, node);
    hashRemove(&K::table(), node);
}

}  // namespace ipam
