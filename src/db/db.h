// The address database: four hash indexes over interface nodes and their
// IPv4/IPv6 address nodes, one re-entrant lock, and the helpers the
// database operations share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "db/accel.h"
#include "db/hash.h"
#include "db/list.h"
#include "ipam_db.h"
#include "platform/gnl_sem.h"

extern IpamHashTable gIpamIfHash;      // IpamIfNode by ifIndex
extern IpamHashTable gIpamIfNameHash;  // IpamIfNode by ifName
extern IpamHashTable gIpamVrfIpHash;   // Ipam4DbNode by (vrfIndex, ipAddr)
extern IpamHashTable gIpam6VrfIpHash;  // Ipam6DbNode by (vrfIndex, ip6Addr)
extern gnl_sem_t gIpamDbSem;
// Their private accelerators, one per index (db/accel.h).
extern ipam::Accel gIpamIfAccel;
extern ipam::Accel gIpamIfNameAccel;
extern ipam::Accel gIpamVrfIpAccel;
extern ipam::Accel gIpam6VrfIpAccel;

// The four indexes' hash and compare functions (take whole nodes),
// defined beside the index table in db.cpp.
uint32_t ipamIfHashCompute(const void *node);
int32_t ipamIfHashCompare(const void *a, const void *b);
uint32_t ipamIfNameHashCompute(const void *node);
int32_t ipamIfNameHashCompare(const void *a, const void *b);
uint32_t ipam4VrfIpHashCompute(const void *node);
int32_t ipam4VrfIpHashCompare(const void *a, const void *b);
uint32_t ipam6VrfIpHashCompute(const void *node);
int32_t ipam6VrfIpHashCompare(const void *a, const void *b);

namespace ipam {

// The accelerators' own hashes of the same keys (db/accel.h): the whole key,
// well mixed. Take whole nodes, like the index hashes.
inline uint32_t ifAccelHash(const void *node) {
    return accelMix(static_cast<const IpamIfNode *>(node)->ifIndex);
}
uint32_t ifNameAccelHash(const void *node);
inline uint32_t addr4AccelHash(const void *node) {
    const Ipam4AddrInfo &i = static_cast<const Ipam4DbNode *>(node)->info;
    return accelMix((uint64_t{i.vrfIndex} << 32) | loadBe32(&i.ipAddr));
}
inline uint32_t addr6AccelHash(const void *node) {
    const Ipam6AddrInfo &i = static_cast<const Ipam6DbNode *>(node)->info;
    auto half = [&i](int at) {
        return (uint64_t{loadBe32(i.ip6Addr + at)} << 32) | loadBe32(i.ip6Addr + at + 4);
    };
    return accelMix(accelMix64((uint64_t{i.vrfIndex} << 32) ^ half(0)) ^ half(8));
}

}  // namespace ipam

// The database mutex; re-entrant for its holder. Failures are logged and the
// caller goes on.
void ipamDbLock();
void ipamDbUnlock();

// The interface node with key->ifIndex, created with key->ifName when there
// is none; null only when creating fails. Caller holds the lock.
IpamIfNode *ipamGetAddrIfNode(const IpamIfNode *key);
// The addr4List head of the interface with this name, or null. Caller holds
// the lock.
IpamListLink *ipam4DbNodeGetByIfName(const char *name);

namespace ipam {

// True while this thread holds the database lock: inside a walk's callback
// (the batch-end sweep, an interface message, a host's walk) or a lookup.
bool dbLockHeldHere();

// ipam_DbAddrWalk / ipam6_DbAddrWalk for one page of an export: a cursor
// the export handed out earlier resumes exactly where that page stopped,
// whatever was removed or changed meanwhile (db/resume.h). The callback
// must not change the database.
int32_t pageWalk4(const Ipam4AddrInfo *cursor, Ipam4DbNodeWalkFn callback, void *user,
                  int32_t *status);
int32_t pageWalk6(const Ipam6AddrInfo *cursor, Ipam6DbNodeWalkFn callback, void *user,
                  int32_t *status);

// Holds the database lock for a scope.
class DbLock {
public:
    DbLock() { ipamDbLock(); }
    ~DbLock() { ipamDbUnlock(); }
    DbLock(const DbLock &) = delete;
    DbLock &operator=(const DbLock &) = delete;
};

// The database lock for a scope, taken only while the database is set up.
// Without a database there is nothing to guard (and before the first set-up
// no mutex to take), so every operation then acts on an empty replica, to
// its end: its searches find nothing even if a subscription sets the
// database up meanwhile (see tNoDatabaseScopes). The set-up is checked again
// once the lock is held: a database torn down while this thread waited, and
// set up anew (which readies the mutex afresh) while it runs, must not be
// read either.
class DbLockIfSetUp {
public:
    DbLockIfSetUp() : held_(hashSetUp(&gIpamIfHash)) {
        if (held_) ipamDbLock();
        setUp_ = held_ && hashSetUp(&gIpamIfHash);
        if (!setUp_) tNoDatabaseScopes++;
    }
    ~DbLockIfSetUp() {
        if (!setUp_) tNoDatabaseScopes--;
        if (held_) ipamDbUnlock();
    }
    DbLockIfSetUp(const DbLockIfSetUp &) = delete;
    DbLockIfSetUp &operator=(const DbLockIfSetUp &) = delete;
    // True when the database was set up once the lock was taken.
    bool setUp() const { return setUp_; }

private:
    bool held_;
    bool setUp_;
};

// An interface key: the index and a zero-filled name holding at most 39
// characters of `name`, so it is always terminated. Searches read nothing
// else, so nothing else is set.
inline void ifKeyInit(IpamIfNode *key, uint32_t ifIndex, const char *name) {
    std::memset(key->ifName, 0, sizeof key->ifName);
    key->ifIndex = ifIndex;
    if (name) std::memcpy(key->ifName, name, strnlen(name, IPAM_IFNAME_SIZE - 1));
}

// The two interface indexes as keyed-search descriptions (db/accel.h).
struct IfByIndex {
    using Node = IpamIfNode;
    static constexpr const char *kName = "gIpamIfHash";
    static IpamHashTable &table() { return gIpamIfHash; }
    static Accel &accel() { return gIpamIfAccel; }
    static uint32_t hash(const void *n) { return ifAccelHash(n); }
    static bool sameKey(const Node &a, const Node &b) { return a.ifIndex == b.ifIndex; }
};

struct IfByName {
    using Node = IpamIfNode;
    static constexpr const char *kName = "gIpamIfNameHash";
    static IpamHashTable &table() { return gIpamIfNameHash; }
    static Accel &accel() { return gIpamIfNameAccel; }
    static uint32_t hash(const void *n) { return ifNameAccelHash(n); }
    static bool sameKey(const Node &a, const Node &b) { return ipamIfNameHashCompare(&a, &b) == 0; }
};

// The interface node with this index, or null. Caller holds the lock.
IpamIfNode *ifNodeFind(uint32_t ifIndex);
// The interface node with this name (first 39 characters), or null. Caller
// holds the lock.
IpamIfNode *ifNodeFindByName(const char *name);
// Unlinks and frees the interface node once both its lists are empty.
// Caller holds the lock.
void ifNodeReleaseIfEmpty(IpamIfNode *ifNode);

static_assert(sizeof(Ipam4AddrInfo) == 60 && offsetof(Ipam4AddrInfo, ifName) == 20);
static_assert(offsetof(Ipam4AddrInfo, ipAddr) == 8 && offsetof(Ipam4AddrInfo, ipAttr) == 16);
static_assert(sizeof(Ipam6AddrInfo) == 100 && offsetof(Ipam6AddrInfo, ifName) == 60);
static_assert(offsetof(Ipam6AddrInfo, ip6Mask) == 24 && offsetof(Ipam6AddrInfo, ip6DestAddr) == 40);
static_assert(offsetof(Ipam6AddrInfo, ip6Attr) == 56);
static_assert(sizeof(IpamAddr) == 20 && offsetof(IpamAddr, addr) == 4);
static_assert(sizeof(Ipam4ConfReq) == 64 && offsetof(Ipam4ConfReq, ifIndex) == 4);
static_assert(sizeof(Ipam6ConfReq) == 104 && offsetof(Ipam6ConfReq, ifName) == 64);

}  // namespace ipam
