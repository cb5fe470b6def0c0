// The replica: every piece of the database's state in one object, and the
// one way in. `gReplica` holds the four indexes (each a chain and its
// accelerator, driven by one key definition), the database lock, whether the
// replica is set up, the batch version, whether the first batch has ended,
// the identity rule the subscription chose and where paged walks resume.
//
// The lock's life: the platform semaphore is made ready by the first
// successful ipam_DbInit and is never torn down after that (a later set-up
// renews it through the platform, which keeps a hold that is still running).
// Before that first set-up there is no lock to take and nothing to read.
//
// The one rule: every operation enters through a Scope, which takes the
// lock once it exists and says whether the replica is set up. An operation
// whose scope is not set up acts on an empty replica: it finds nothing,
// stores nothing and removes nothing. Set-up and tear-down change only
// while no other thread can be inside a set-up scope (tear-down holds the
// lock; set-up publishes its flag last), so what a scope saw holds to its
// end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "common/dbg.h"
#include "db/accel.h"
#include "db/hash.h"
#include "ipam_db.h"
#include "platform/gnl_sem.h"

// The database mutex; re-entrant for its holder. Failures are logged and the
// caller goes on as if it held the lock. Only for a lock that exists: a
// Scope takes it, tests may too.
void ipamDbLock();
void ipamDbUnlock();

namespace ipam {

// ---- Key definitions -------------------------------------------------------
//
// One per index, and the only place its key is written: the node type, where
// the node's link for this index lies, the chain's hash (which fixes bucket
// order, and so the order of walks and exports), the accelerator's hash and
// key equality. The C hash and compare functions the index table holds are
// derived from it (chainHashFn, chainCompareFn below), and so are the
// accelerator's. Adding a lookup is one such definition, its place in
// Indexes below, and its use.

struct IfIndexKey {
    using Key = IfIndexKey;
    using Node = IpamIfNode;
    static constexpr const char *kName = "gIpamIfHash";
    static constexpr uint32_t kLinkOffset = offsetof(IpamIfNode, indexLink);
    static constexpr char kSetUpFailed[] =
        "(PID:%d)Ipam db init ipam hash table by ifIndex is the key failed";
    static uint32_t chainHash(const Node &n) {
        uint32_t x = kGolden + n.ifIndex, y = kGolden, z = 37;
        lookup2Mix(x, y, z);
        return z;
    }
    static uint32_t accelHash(const Node &n) { return accelMix(n.ifIndex); }
    static bool same(const Node &a, const Node &b) { return a.ifIndex == b.ifIndex; }
};

// Names compare over all 40 bytes, up to the first terminator.
struct IfNameKey {
    using Key = IfNameKey;
    using Node = IpamIfNode;
    static constexpr const char *kName = "gIpamIfNameHash";
    static constexpr uint32_t kLinkOffset = offsetof(IpamIfNode, nameLink);
    static constexpr char kSetUpFailed[] =
        "(PID:%d)Ipam db init ipam hash table by ifIndex is the key failed";
    static uint32_t chainHash(const Node &n) {
        return lookup2Bytes(reinterpret_cast<const uint8_t *>(n.ifName),
                            static_cast<uint32_t>(strnlen(n.ifName, IPAM_IFNAME_SIZE)), 37);
    }
    // FNV-1a over the compared bytes, then the mix.
    static uint32_t accelHash(const Node &n) {
        uint64_t h = 0xcbf29ce484222325ull;
        for (size_t i = 0; i < IPAM_IFNAME_SIZE && n.ifName[i] != '\0'; i++)
            h = (h ^ static_cast<uint8_t>(n.ifName[i])) * 0x100000001b3ull;
        return accelMix(h);
    }
    static bool same(const Node &a, const Node &b) {
        return strncmp(a.ifName, b.ifName, IPAM_IFNAME_SIZE) == 0;
    }
};

struct Addr4Key {
    using Key = Addr4Key;
    using Node = Ipam4DbNode;
    static constexpr const char *kName = "gIpamVrfIpHash";
    static constexpr uint32_t kLinkOffset = offsetof(Ipam4DbNode, hashLink);
    static constexpr char kSetUpFailed[] =
        "(PID:%d)Ipam db init ipam hash table by vrfIndex and ip address are the keys failed";
    static uint32_t chainHash(const Node &n) {
        uint32_t x = kGolden + n.info.vrfIndex, y = kGolden + addrValue(n.info.ipAddr), z = 28;
        lookup2Mix(x, y, z);
        return z;
    }
    static uint32_t accelHash(const Node &n) {
        return accelMix((uint64_t{n.info.vrfIndex} << 32) | loadBe32(&n.info.ipAddr));
    }
    static bool same(const Node &a, const Node &b) {
        return a.info.vrfIndex == b.info.vrfIndex && a.info.ipAddr == b.info.ipAddr;
    }
};

struct Addr6Key {
    using Key = Addr6Key;
    using Node = Ipam6DbNode;
    static constexpr const char *kName = "gIpam6VrfIpHash";
    static constexpr uint32_t kLinkOffset = offsetof(Ipam6DbNode, hashLink);
    static constexpr char kSetUpFailed[] =
        "(PID:%d)Ipam db init ipam hash table by ifIndex is the key failed";
    static uint32_t chainHash(const Node &n) {
        const uint8_t *a = n.info.ip6Addr;
        // AND, not XOR: every address with one all-zero word folds into y = G.
        uint32_t folded = loadBe32(a) & loadBe32(a + 4) & loadBe32(a + 8) & loadBe32(a + 12);
        uint32_t x = kGolden + n.info.vrfIndex, y = kGolden + folded, z = 28;
        lookup2Mix(x, y, z);
        return z;
    }
    static uint32_t accelHash(const Node &n) {
        const uint8_t *a = n.info.ip6Addr;
        auto half = [a](int at) {
            return (uint64_t{loadBe32(a + at)} << 32) | loadBe32(a + at + 4);
        };
        return accelMix(accelMix64((uint64_t{n.info.vrfIndex} << 32) ^ half(0)) ^ half(8));
    }
    static bool same(const Node &a, const Node &b) {
        return a.info.vrfIndex == b.info.vrfIndex &&
               std::memcmp(a.info.ip6Addr, b.info.ip6Addr, 16) == 0;
    }
};

// The C functions of an index table and of its accelerator, from its key.
template <class K>
uint32_t chainHashFn(const void *node) {
    return K::chainHash(*static_cast<const typename K::Node *>(node));
}
// Only equality is asked of it: 0 for the same key, 1 otherwise.
template <class K>
int32_t chainCompareFn(const void *a, const void *b) {
    return K::same(*static_cast<const typename K::Node *>(a),
                   *static_cast<const typename K::Node *>(b))
               ? 0
               : 1;
}
template <class K>
uint32_t accelHashFn(const void *node) {
    return K::accelHash(*static_cast<const typename K::Node *>(node));
}
template <class K>
bool accelSameFn(const void *a, const void *b) {
    return K::same(*static_cast<const typename K::Node *>(a),
                   *static_cast<const typename K::Node *>(b));
}

// One index: its chained table (the record of truth for order) and its
// accelerator (db/accel.h), kept together. The table's C functions come from
// the key, so they are there before any set-up.
template <class K>
struct Index {
    IpamHashTable chain{nullptr, K::kLinkOffset, chainHashFn<K>, chainCompareFn<K>, 0, 0, 0};
    Accel accel{};
};

// ---- Where paged walks resume (db/resume.h) --------------------------------

// Two places per page (either record a requester may hold last), for four
// pages of exports going on at once.
constexpr uint32_t kResumePlaces = 8;

template <class Info, class Node>
struct ResumePlaces {
    struct Place {
        Info cursor;    // the record a requester sends back
        Node *at;       // where the walk goes on; null: the table's end
        uint32_t used;  // `clock` when last remembered
    };
    Place places[kResumePlaces]{};
    uint32_t count = 0;  // places in use: the first `count`
    uint32_t clock = 0;
};

// ---- The replica -----------------------------------------------------------

// The replica's indexes, in set-up and tear-down order: IpamIfNode by
// ifIndex and by ifName, Ipam4DbNode by (vrfIndex, ipAddr), Ipam6DbNode by
// (vrfIndex, ip6Addr).
using Indexes = std::tuple<Index<IfIndexKey>, Index<IfNameKey>, Index<Addr4Key>, Index<Addr6Key>>;

struct Replica {
    Indexes indexes;
    ResumePlaces<Ipam4AddrInfo, Ipam4DbNode> resume4;
    ResumePlaces<Ipam6AddrInfo, Ipam6DbNode> resume6;

    gnl_sem_t sem{};         // the database mutex, "ipamDbSem"
    uint32_t lockReady = 0;  // 1 from the first successful set-up on, for good
    uint32_t setUp = 0;      // 1 from a successful ipam_DbInit to ipam_DbUnInit
    uint32_t batchVer = 0;   // advanced by every batch start
    uint32_t synced = 0;     // 1 once a batch has ended: the host's queries answer
    uint32_t careBits = 0;   // the care mask's validity bits: identity reads attributes

    // Calls fn(index) for each index, in set-up and tear-down order.
    template <class Fn>
    void forEachIndex(Fn fn) {
        std::apply([&fn](auto &...index) { (fn(index), ...); }, indexes);
    }
};

extern Replica gReplica;

// Each key's index in the replica.
template <class K>
Index<K> &indexOf() {
    return std::get<Index<K>>(gReplica.indexes);
}

// The chain and the accelerator of a key's index; K is a key definition or
// a family (which carries its address key).
template <class K>
IpamHashTable &chainOf() {
    return indexOf<typename K::Key>().chain;
}
template <class K>
Accel &accelOf() {
    return indexOf<typename K::Key>().accel;
}

// True while the replica is set up. Set-up publishes the indexes with this
// flag; every other shared word of the replica is read relaxed
// (common/dbg.h).
inline bool replicaSetUp() {
    return std::atomic_ref<uint32_t>(gReplica.setUp).load(std::memory_order_acquire) != 0;
}

// What the subscription decided, told down to the database: the care mask
// (its validity bits make attributes part of a record's identity). Kept
// across set-up and tear-down; cleared by an unsubscription.
void replicaSetCare(uint32_t careMask);
// The batch state: the version the next batch start advances, whether the
// host's queries answer. Cleared by replicaClearBatch.
uint32_t replicaBatchVersion();
uint32_t replicaNextBatch();  // advances the version, returns the new one
void replicaMarkSynced();
void replicaClearBatch();

// True while this thread holds the database lock: inside a walk's callback
// (the batch-end sweep, an interface message, a host's walk) or a lookup.
bool dbLockHeldHere();

// The one way into the replica for every operation. A Scope takes the lock
// (once the lock exists) for its life and tells whether the replica is set
// up; an operation whose scope is not set up answers as on an empty replica.
// kCallerHolds is for the node finds that run on the publisher thread (the
// only writer) or under a lock the caller already holds: it takes nothing
// and only tells whether the replica is set up.
class Scope {
public:
    enum Lock { kTake, kCallerHolds };
    explicit Scope(Lock how = kTake)
        : held_(how == kTake &&
                std::atomic_ref<uint32_t>(gReplica.lockReady).load(std::memory_order_acquire) !=
                    0) {
        if (held_) ipamDbLock();
        setUp_ = (held_ || how == kCallerHolds) && replicaSetUp();
    }
    ~Scope() {
        if (held_) ipamDbUnlock();
    }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;
    // True when the replica is set up: the operation may read and change it.
    explicit operator bool() const { return setUp_; }

private:
    bool held_;
    bool setUp_;
};

}  // namespace ipam
