// Insertion, identity, keyed finds and removal of address nodes: the logic
// both families share, as templates over the family traits (db/family.h).
// The exported twins in addr.cpp are thin, named entry points over these;
// the publisher's message handling calls the templates directly.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "db/family.h"
#include "db/resume.h"

// The stored node that is the same record as `record` (identity as the care
// mask has it now), or null. Caller holds the lock.
Ipam4DbNode *ipam4DbNodeGetByAll(const Ipam4AddrInfo *record);
Ipam6DbNode *ipam6DbNodeGetByAll(const Ipam6AddrInfo *record);
// The stored node equal to `record` in ifIndex, mask, address and vrfIndex,
// whatever the attributes and the care mask, or null. Caller holds the lock.
Ipam6DbNode *ipam6DbNodeGetIgnoreAttr(const Ipam6AddrInfo *record);

namespace ipam {

// The first record with this (VRF, address) key, copied into `out` under one
// hold of the lock: 0, 14 when there is none, 16 for a null pointer. The
// IPv6 twin of ipam4_AddrInfoGetByVrfIndexAndIp, which the host's IPv6 query
// reaches; unlike IPv4 no attribute makes a record give way.
int32_t addr6InfoGetByVrfIp(uint32_t vrfIndex, const uint8_t *addr, Ipam6AddrInfo *out);

// Equal in ifIndex, mask, address and vrfIndex (compared in this order).
template <class Fam>
bool sameIgnoringAttr(const typename Fam::Info &a, const typename Fam::Info &b) {
    return a.ifIndex == b.ifIndex && std::memcmp(Fam::mask(a), Fam::mask(b), Fam::kAddrLen) == 0 &&
           std::memcmp(Fam::addr(a), Fam::addr(b), Fam::kAddrLen) == 0 && a.vrfIndex == b.vrfIndex;
}

// The same record: the attribute takes part only while the host tracks the
// family's interface validity, as the subscription told the replica
// (replicaSetCare), read at each call: identity follows what the host asked
// to be told.
template <class Fam>
bool sameRecord(const typename Fam::Info &a, const typename Fam::Info &b) {
    if (!sameIgnoringAttr<Fam>(a, b)) return false;
    if ((loadRelaxed(gReplica.careBits) & Fam::kIfCareBits) == 0) return true;
    return Fam::attr(a) == Fam::attr(b);
}

// The first stored node with the key of `record` that `match` accepts, in
// chain order (most recently added first). Caller holds the lock.
template <class Fam, class Match>
typename Fam::Node *findCandidate(const typename Fam::Info &record, Match match) {
    using Node = typename Fam::Node;
    Node key;  // only the key fields are read
    std::memcpy(&key.info, &record, sizeof key.info);
    return keyedFind<Fam>(key, [&](const Node &n) { return match(record, n.info); });
}

template <class Fam>
typename Fam::Node *findSame(const typename Fam::Info &record) {
    return findCandidate<Fam>(record, sameRecord<Fam>);
}

template <class Fam>
typename Fam::Node *findIgnoringAttr(const typename Fam::Info &record) {
    return findCandidate<Fam>(record, sameIgnoringAttr<Fam>);
}

// The first stored node with this (VRF, address) key, most recently added
// first, or null (traced under IPAM_DBG_DB); null also when the scope's
// replica is not set up. The scope holds the lock, or is the publisher
// thread's.
template <class Fam>
typename Fam::Node *nodeByKey(const Scope &scope, uint32_t vrfIndex, const uint8_t *addr) {
    typename Fam::Node *node = nullptr;
    if (scope) {
        // A search reads only the key's own fields, so only they are set:
        // zeroing the whole node would cost about as much as the search.
        typename Fam::Node key;
        key.info.vrfIndex = vrfIndex;
        std::memcpy(Fam::addr(key.info), addr, Fam::kAddrLen);
        node = keyedFindFirst<Fam>(key);
    }
    if (node == nullptr) Fam::traceNoKey(vrfIndex, addr);
    return node;
}

// Stores a new node for `record`: allocated zero-filled, appended to its
// interface's list (the interface created when it has no address yet) and
// linked into the family's index. False when an allocation failed; the
// database is then unchanged and nothing is kept. Every insertion comes
// through here. Caller is inside a set-up scope and logs the failure.
template <class Fam>
bool insertNew(const typename Fam::Info &record, uint32_t batchVer) {
    using Node = typename Fam::Node;
    auto *node = static_cast<Node *>(std::malloc(sizeof(Node)));
    if (node == nullptr) return false;
    std::memset(node, 0, sizeof *node);
    node->batchVer = batchVer;
    std::memcpy(&node->info, &record, sizeof node->info);
    // Callbacks and queries print the stored name as a C string.
    node->info.ifName[IPAM_IFNAME_SIZE - 1] = '\0';
    const KeyedPlace place = keyedPrepare<Fam>(*node);

    IpamIfNode key;
    ifKeyInit(&key, record.ifIndex, record.ifName);
    IpamIfNode *ifNode = ipamGetAddrIfNode(&key);
    if (ifNode == nullptr) {
        std::free(node);
        return false;
    }
    IpamListLink *list = &Fam::list(*ifNode);
    __builtin_prefetch(list->prev, 1);  // the list's last node, written below
    keyedInsert<Fam>(node, place);
    listAppend(list, &node->ifLink);
    return true;
}

// Stores `record` with this batch version. A record already stored (the
// same record, as identity has it now) only gets the new version, and the
// new attribute word where the family takes it over. 0, or IPAM_ERR_FAIL
// (logged) when storing failed: memory ran out, or there is no replica to
// store into. Takes the lock.
template <class Fam>
int32_t addRecord(const typename Fam::Info &record, uint32_t batchVer) {
    Scope scope;
    if (!scope) {
        IPAM_ERR(Fam::kTextNoMemory);
        return IPAM_ERR_FAIL;
    }
    if (typename Fam::Node *node = findSame<Fam>(record)) {
        node->batchVer = batchVer;
        Fam::traceReAdd(node->info, record);
        if constexpr (Fam::kReAddTakesAttr) Fam::attr(node->info) = Fam::attr(record);
        return IPAM_OK;
    }
    if (!insertNew<Fam>(record, batchVer)) {
        IPAM_ERR(Fam::kTextNoMemory);
        return IPAM_ERR_FAIL;
    }
    return IPAM_OK;
}

// Takes a stored node out of the database and frees it, with its interface
// node when that has no address left; a paged walk that stood at it goes on
// at the node after it. Caller holds the lock.
template <class Fam>
void unlinkAndFree(typename Fam::Node *node) {
    // The four neighbours this unlinks the node from lie anywhere in memory;
    // asking for them now lets their misses overlap the interface search.
    __builtin_prefetch(node->ifLink.prev, 1);
    __builtin_prefetch(node->ifLink.next, 1);
    __builtin_prefetch(node->hashLink.prev, 1);
    __builtin_prefetch(node->hashLink.next, 1);
    resumeOnRemove<Fam>(node);
    IpamIfNode *ifNode = ifNodeFind(node->info.ifIndex);
    listDel(&node->ifLink);
    if (ifNode) ifNodeReleaseIfEmpty(ifNode);
    keyedRemove<Fam>(node);
    std::free(node);
}

// Removes the most recently added node equal to `record` but for the
// attribute; 0 also when none matches. Takes the lock.
template <class Fam>
int32_t removeMatching(const typename Fam::Info &record) {
    Scope scope;
    if (!scope) return IPAM_OK;
    if (typename Fam::Node *node = findIgnoringAttr<Fam>(record)) unlinkAndFree<Fam>(node);
    return IPAM_OK;
}

// Removes exactly this node (not merely one with the same fields): off its
// interface's list, out of its index, its interface node freed when this was
// the interface's last address. Takes the lock; always 0. For callers that
// hold a node, such as the batch-end sweep from inside a whole-table walk.
template <class Fam>
int32_t removeNode(typename Fam::Node *node) {
    Scope scope;
    if (!scope || node == nullptr) return IPAM_OK;
    unlinkAndFree<Fam>(node);
    return IPAM_OK;
}

}  // namespace ipam
