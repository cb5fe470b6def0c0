// The address database's operations on interface nodes and the helpers the
// database operations share. The state itself is the replica
// (db/replica.h); its keyed operations are in db/keyed.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "db/hash.h"
#include "db/keyed.h"
#include "db/list.h"
#include "db/replica.h"
#include "ipam_db.h"

// The interface node with key->ifIndex, created with key->ifName when there
// is none; null only when creating fails. Caller holds the lock.
IpamIfNode *ipamGetAddrIfNode(const IpamIfNode *key);
// The addr4List head of the interface with this name, or null. Caller holds
// the lock.
IpamListLink *ipam4DbNodeGetByIfName(const char *name);

namespace ipam {

// ipam_DbAddrWalk / ipam6_DbAddrWalk for one page of an export: a cursor
// the export handed out earlier resumes exactly where that page stopped,
// whatever was removed or changed meanwhile (db/resume.h). The callback
// must not change the database.
int32_t pageWalk4(const Ipam4AddrInfo *cursor, Ipam4DbNodeWalkFn callback, void *user,
                  int32_t *status);
int32_t pageWalk6(const Ipam6AddrInfo *cursor, Ipam6DbNodeWalkFn callback, void *user,
                  int32_t *status);

// An interface key: the index and a zero-filled name holding at most 39
// characters of `name`, so it is always terminated. Searches read nothing
// else, so nothing else is set.
inline void ifKeyInit(IpamIfNode *key, uint32_t ifIndex, const char *name) {
    std::memset(key->ifName, 0, sizeof key->ifName);
    key->ifIndex = ifIndex;
    if (name) std::memcpy(key->ifName, name, strnlen(name, IPAM_IFNAME_SIZE - 1));
}

// The interface node with this index, or null. Caller holds the lock.
IpamIfNode *ifNodeFind(uint32_t ifIndex);
// The interface node with this name (first 39 characters), or null. Caller
// holds the lock.
IpamIfNode *ifNodeFindByName(const char *name);
// The same, answering null also when the scope's replica is not set up: for
// the operations that begin with a search.
inline IpamIfNode *ifNodeFind(const Scope &scope, uint32_t ifIndex) {
    return scope ? ifNodeFind(ifIndex) : nullptr;
}
inline IpamIfNode *ifNodeFindByName(const Scope &scope, const char *name) {
    return scope ? ifNodeFindByName(name) : nullptr;
}
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
