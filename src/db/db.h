// The address database: four hash indexes over interface nodes and their
// IPv4/IPv6 address nodes, one re-entrant lock, and the helpers the
// database operations share.
#pragma once

#include <sys/socket.h>

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

// A zero-filled interface key holding at most 39 characters of `name`, so it
// is always terminated.
inline void ifKeyInit(IpamIfNode *key, uint32_t ifIndex, const char *name) {
    std::memset(key, 0, sizeof *key);
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

// What differs between the two address families, in one place. The shared
// algorithms are templates over these; each exported twin stays a thin,
// named entry point. Each also describes its (VRF, address) index for the
// keyed searches of db/accel.h.
struct Fam4 {
    using Info = Ipam4AddrInfo;
    using Node = Ipam4DbNode;
    static constexpr const char *kName = "gIpamVrfIpHash";
    static Accel &accel() { return gIpamVrfIpAccel; }
    static uint32_t hash(const void *n) { return addr4AccelHash(n); }
    // As ipam4VrfIpHashCompare answers 0, inline.
    static bool sameKey(const Node &a, const Node &b) {
        return a.info.vrfIndex == b.info.vrfIndex && a.info.ipAddr == b.info.ipAddr;
    }
    static constexpr int kAf = AF_INET;
    static constexpr size_t kAddrLen = 4;
    static constexpr uint32_t kIfCareBits = IPAM4_EVT_IF_VALID | IPAM4_EVT_IF_INVALID;
    static IpamHashTable &table() { return gIpamVrfIpHash; }
    static IpamListLink &list(IpamIfNode &n) { return n.addr4List; }
    static const uint8_t *addr(const Info &i) { return reinterpret_cast<const uint8_t *>(&i.ipAddr); }
    static const uint8_t *mask(const Info &i) { return reinterpret_cast<const uint8_t *>(&i.ipMask); }
    static uint32_t &attr(Info &i) { return i.ipAttr; }
    static uint32_t attr(const Info &i) { return i.ipAttr; }
};

struct Fam6 {
    using Info = Ipam6AddrInfo;
    using Node = Ipam6DbNode;
    static constexpr const char *kName = "gIpam6VrfIpHash";
    static Accel &accel() { return gIpam6VrfIpAccel; }
    static uint32_t hash(const void *n) { return addr6AccelHash(n); }
    // As ipam6VrfIpHashCompare answers 0, inline.
    static bool sameKey(const Node &a, const Node &b) {
        return a.info.vrfIndex == b.info.vrfIndex && std::memcmp(a.info.ip6Addr, b.info.ip6Addr, 16) == 0;
    }
    static constexpr int kAf = AF_INET6;
    static constexpr size_t kAddrLen = 16;
    static constexpr uint32_t kIfCareBits = IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID;
    static IpamHashTable &table() { return gIpam6VrfIpHash; }
    static IpamListLink &list(IpamIfNode &n) { return n.addr6List; }
    static const uint8_t *addr(const Info &i) { return i.ip6Addr; }
    static const uint8_t *mask(const Info &i) { return i.ip6Mask; }
    static uint32_t &attr(Info &i) { return i.ip6Attr; }
    static uint32_t attr(const Info &i) { return i.ip6Attr; }
};

static_assert(sizeof(Ipam4AddrInfo) == 60 && offsetof(Ipam4AddrInfo, ifName) == 20);
static_assert(offsetof(Ipam4AddrInfo, ipAddr) == 8 && offsetof(Ipam4AddrInfo, ipAttr) == 16);
static_assert(sizeof(Ipam6AddrInfo) == 100 && offsetof(Ipam6AddrInfo, ifName) == 60);
static_assert(offsetof(Ipam6AddrInfo, ip6Mask) == 24 && offsetof(Ipam6AddrInfo, ip6DestAddr) == 40);
static_assert(offsetof(Ipam6AddrInfo, ip6Attr) == 56);
static_assert(sizeof(IpamAddr) == 20 && offsetof(IpamAddr, addr) == 4);
static_assert(sizeof(Ipam4ConfReq) == 64 && offsetof(Ipam4ConfReq, ifIndex) == 4);
static_assert(sizeof(Ipam6ConfReq) == 104 && offsetof(Ipam6ConfReq, ifName) == 64);

}  // namespace ipam
