// Intrusive chained hash index of fixed size. The index owns only its bucket
// array; every node carries one IpamHashLink per index it is in, and the
// descriptor says where that link lies and how to hash and compare nodes.
// No operation allocates and none takes a lock: the database lock covers
// every index. None checks that the index is set up: every caller is inside
// a set-up Scope (db/replica.h).
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "ipam_db.h"

namespace ipam {

// Bob Jenkins' lookup2 mix of three words.
inline void lookup2Mix(uint32_t &x, uint32_t &y, uint32_t &z) {
    x -= y;
    x -= z;
    x ^= (z >> 13);
    y -= z;
    y -= x;
    y ^= (x << 8);
    z -= x;
    z -= y;
    z ^= (y >> 13);
    x -= y;
    x -= z;
    x ^= (z >> 12);
    y -= z;
    y -= x;
    y ^= (x << 16);
    z -= x;
    z -= y;
    z ^= (y >> 5);
    x -= y;
    x -= z;
    x ^= (z >> 3);
    y -= z;
    y -= x;
    y ^= (x << 10);
    z -= x;
    z -= y;
    z ^= (y >> 15);
}

constexpr uint32_t kGolden = 0x9e3779b9u;

// lookup2 over a byte string, whatever the host's byte order.
uint32_t lookup2Bytes(const uint8_t *key, uint32_t length, uint32_t initval);

inline void *hashNodeOf(const IpamHashTable *t, IpamHashLink *link) {
    return reinterpret_cast<char *>(link) - t->linkOffset;
}
inline IpamHashLink *hashLinkOf(const IpamHashTable *t, const void *node) {
    return reinterpret_cast<IpamHashLink *>(const_cast<char *>(static_cast<const char *>(node)) +
                                            t->linkOffset);
}

// Links `node` at the front of its bucket. Checks nothing.
void hashInsert(IpamHashTable *t, void *node);
// The same, with the node's hash already computed by t->hashFn.
void hashInsertHashed(IpamHashTable *t, void *node, uint32_t hash);
// Unlinks `node`, finding its bucket from the stored hash.
void hashRemove(IpamHashTable *t, void *node);
// The first node with the key of `key` (a node-shaped value with only the key
// fields set), or null.
void *hashFindFirst(const IpamHashTable *t, const void *key);
// The next node after `node` along its chain with the same key, or null.
void *hashFindNext(const IpamHashTable *t, const void *node);
// Iteration in bucket order, then chain order; null at the end.
IpamHashLink *hashIterFirst(const IpamHashTable *t);
IpamHashLink *hashIterFirstFrom(const IpamHashTable *t, uint32_t bucket);
IpamHashLink *hashIterNext(const IpamHashTable *t, const IpamHashLink *link);

}  // namespace ipam

namespace ipam {

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

}  // namespace ipam
