// Keyed operations over the replica's indexes: every search, insertion and
// removal of a node by its key goes through these, which keep an index's
// chain and its accelerator in step. K is a key definition (db/replica.h)
// or a family that carries its address key. The caller is inside a set-up
// Scope (or is the publisher thread, for the finds).
#pragma once

#include "db/accel.h"
#include "db/hash.h"
#include "db/replica.h"

namespace ipam {

// The same answer from the chained index alone.
template <class K, class Accept>
typename K::Node *chainFind(const typename K::Node &key, Accept accept) {
    const IpamHashTable *t = &chainOf<K>();
    for (void *n = hashFindFirst(t, &key); n; n = hashFindNext(t, n))
        if (accept(*static_cast<typename K::Node *>(n))) return static_cast<typename K::Node *>(n);
    return nullptr;
}

// Every keyed search of an index goes through here.
template <class K, class Accept>
typename K::Node *keyedFind(const typename K::Node &key, Accept accept) {
    const Accel &a = accelOf<K>();
    if (!a.complete) return chainFind<K>(key, accept);
    typename K::Node *found = accelFindIn<K>(a, key, accept);
#ifdef IPAM_ACCEL_CHECK
    if (found != chainFind<K>(key, accept)) accelMismatch(K::kName);
#endif
    return found;
}

// The most recently inserted node with the key of `key`, or null.
template <class K>
typename K::Node *keyedFindFirst(const typename K::Node &key) {
    return keyedFind<K>(key, [](const typename K::Node &) { return true; });
}

// Where an insertion of a node will go: its hashes in the index and in the
// accelerator.
struct KeyedPlace {
    uint32_t indexHash;
    uint32_t accelHash;
};

// Hashes `node` for an insertion and asks for the lines it will write (the
// first node of its chain, its accelerator group): in a large table both
// are misses, which then overlap the caller's work until keyedInsert.
// Writer, under the lock.
template <class K>
KeyedPlace keyedPrepare(const typename K::Node &node) {
    const IpamHashTable *t = &chainOf<K>();
    const KeyedPlace place{K::chainHash(node), K::accelHash(node)};
    __builtin_prefetch(t->buckets[place.indexHash % t->bucketCount], 1);
    const Accel &a = accelOf<K>();
    if (a.capacity != 0) __builtin_prefetch(&a.groups[accelPosOf(place.accelHash, a).group], 1);
    return place;
}

// Links `node` into the index (at the front of its chain) and the
// accelerator (before the other nodes of its key). Writer, under the lock.
template <class K>
void keyedInsert(typename K::Node *node, KeyedPlace place) {
    using Key = typename K::Key;
    hashInsertHashed(&chainOf<K>(), node, place.indexHash);
    accelAdd(accelOf<K>(), &chainOf<K>(), accelHashFn<Key>, accelSameFn<Key>, node,
             place.accelHash);
}
template <class K>
void keyedInsert(typename K::Node *node) {
    keyedInsert<K>(node, keyedPrepare<K>(*node));
}
// Unlinks `node` from both; allocates nothing. Writer, under the lock.
template <class K>
void keyedRemove(typename K::Node *node) {
    accelRemove(accelOf<K>(), accelHashFn<typename K::Key>, node);
    hashRemove(&chainOf<K>(), node);
}

}  // namespace ipam
