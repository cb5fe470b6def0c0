/*
 * libipam database operations and node types.
 *
 * The replica is made of interface nodes, each owning a list of IPv4 and a
 * list of IPv6 address nodes, indexed by four intrusive hash indexes. These
 * operations are exported for the library's own subsystems and for tools;
 * a host normally uses the queries of ipam.h instead. Node pointers handed
 * out by the finds and node walks are valid only while the database lock is
 * held (inside a walk callback) or on the thread that applies publisher
 * messages.
 *
 * No argument faults these operations: a null record or output pointer
 * answers IPAM_ERR_PARAM (16) for the lookups and walks, -1 for an add, 14
 * for an update and 0 for a removal; without a database (before ipam_DbInit,
 * after ipam_DbUnInit) every operation acts on an empty replica.
 */
#ifndef IPAM_DB_H
#define IPAM_DB_H

#include <stdint.h>

#include "ipam.h"

#ifdef __cplusplus
extern "C" {
#endif

#define IPAM_DB_HASH_SIZE 1024u
#define IPAM_HASH_MAGIC 0xcbcecbceu
#define IPAM_LIST_POISON1 ((IpamListLink *)(uintptr_t)0x00100100u)
#define IPAM_LIST_POISON2 ((IpamListLink *)(uintptr_t)0x00200200u)

/* Link of one node in one hash index. */
typedef struct IpamHashLink {
    struct IpamHashLink *next;
    struct IpamHashLink *prev; /* null for the first link of a bucket */
    uint32_t hash;             /* computed once at insertion */
} IpamHashLink;

typedef uint32_t (*IpamHashFn)(const void *node);
typedef int32_t (*IpamHashCompareFn)(const void *a, const void *b);

/* One chained hash index of fixed size; owns only its bucket array. */
typedef struct IpamHashTable {
    IpamHashLink **buckets;
    uint32_t linkOffset; /* offset of this index's link within the node */
    IpamHashFn hashFn;
    IpamHashCompareFn compareFn;
    uint32_t count;
    uint32_t bucketCount;
    uint32_t magic; /* IPAM_HASH_MAGIC while set up */
} IpamHashTable;

/* Circular doubly linked list with a sentinel head. */
typedef struct IpamListLink {
    struct IpamListLink *next;
    struct IpamListLink *prev;
} IpamListLink;

typedef struct IpamIfNode {
    IpamHashLink indexLink; /* gIpamIfHash */
    IpamHashLink nameLink;  /* gIpamIfNameHash */
    uint32_t ifIndex;
    char ifName[IPAM_IFNAME_SIZE];
    IpamListLink addr4List;
    IpamListLink addr6List;
} IpamIfNode;

typedef struct Ipam4DbNode {
    IpamListLink ifLink;
    IpamHashLink hashLink; /* gIpamVrfIpHash */
    Ipam4AddrInfo info;
    uint32_t batchVer;
} Ipam4DbNode;

typedef struct Ipam6DbNode {
    IpamListLink ifLink;
    IpamHashLink hashLink; /* gIpam6VrfIpHash */
    Ipam6AddrInfo info;
    uint32_t batchVer;
} Ipam6DbNode;

/* An IPv6 address passed by value. */
typedef struct Ipam6Addr {
    uint8_t octet[16];
} Ipam6Addr;

/* Node callbacks of the whole-table and interface node walks. */
typedef int32_t (*Ipam4DbNodeWalkFn)(Ipam4DbNode *node, void *user);
typedef int32_t (*Ipam6DbNodeWalkFn)(Ipam6DbNode *node, void *user);

/* Set-up and tear-down */
IPAM_API int32_t ipam_DbInit(void);
IPAM_API void ipam_DbUnInit(void);
/* Number of interfaces that hold at least one address. */
IPAM_API void ipam_AddrInfoNumGet(uint32_t *count);

/* IPv4 insertion and removal */
IPAM_API int32_t ipam4_AddAddrInfoNode(const Ipam4AddrInfo *record, uint32_t batchVer);
IPAM_API int32_t ipam4_DelAddrInfoNode(const Ipam4AddrInfo *record);
IPAM_API int32_t ipam4_IsAddrInfoNodeSame(const Ipam4AddrInfo *a, const Ipam4AddrInfo *b);
IPAM_API int32_t ipam4_DbNodeGetByVrfIndexAndIp(uint32_t vrfIndex, uint32_t ipAddr,
                                                Ipam4DbNode **out);

/* IPv6 insertion, update and removal */
IPAM_API int32_t ipam6_AddAddrInfoNode(const Ipam6AddrInfo *record, uint32_t batchVer);
IPAM_API int32_t ipam6_UpdAddrInfoNode(const Ipam6AddrInfo *record, uint32_t batchVer);
IPAM_API int32_t ipam6_DelAddrInfoNode(const Ipam6AddrInfo *record);
IPAM_API int32_t ipam6_IsAddrInfoNodeSame(const Ipam6AddrInfo *a, const Ipam6AddrInfo *b);
IPAM_API int32_t ipam6_DbNodeGetByVrfIndexAndIp(uint32_t vrfIndex, Ipam6Addr ip6Addr,
                                                Ipam6DbNode **out);

/* IPv4 lookups */
IPAM_API int32_t ipam4_IsIpAddrConfigured(uint32_t ifIndex);
IPAM_API int32_t ipam4_PriAddrInfoGetByIfIndex(uint32_t ifIndex, Ipam4AddrInfo *out);
IPAM_API int32_t ipam4_PriAddrInfoGetByIfName(const char *ifName, Ipam4AddrInfo *out);
IPAM_API int32_t ipam4_AddrInfoGetByIfName(const char *ifName, Ipam4AddrInfo *out);
IPAM_API int32_t ipam4_AddrInfoGetByVrfIndexAndIp(uint32_t vrfIndex, uint32_t ipAddr,
                                                  Ipam4AddrInfo *out);

/* IPv6 lookups and source-address selection */
IPAM_API int32_t ipam6_AddrMatchLen(const uint8_t *a, const uint8_t *b);
IPAM_API int32_t ipam6_AddrInfoGetByIfIndexAndAddr(uint32_t ifIndex, const uint8_t *dest,
                                                   Ipam6AddrInfo *out);
IPAM_API int32_t ipam6_AddrInfoGetByIfNameAndAddr(const char *ifName, const uint8_t *dest,
                                                  Ipam6AddrInfo *out);
IPAM_API int32_t ipam6_AddrInfoGetByIfIndexAndIfAddr(uint32_t ifIndex, const uint8_t *addr,
                                                     Ipam6AddrInfo *out);

/* Walks. Whole-table walks: -2 at the end, -1 when a callback stopped them
 * (its result stored in *status when status is not null). */
IPAM_API int32_t ipam_DbAddrWalk(const Ipam4AddrInfo *cursor, Ipam4DbNodeWalkFn callback,
                                 void *user, int32_t *status);
IPAM_API int32_t ipam6_DbAddrWalk(const Ipam6AddrInfo *cursor, Ipam6DbNodeWalkFn callback,
                                  void *user, int32_t *status);
IPAM_API int32_t ipam_DbAddrWalkByIf(uint32_t ifIndex, Ipam4DbNodeWalkFn callback, void *user);
IPAM_API int32_t ipam6_DbAddrWalkByIf(uint32_t ifIndex, Ipam6DbNodeWalkFn callback, void *user);
IPAM_API int32_t ipam4_DbAddrInfoWalkByIf(uint32_t ifIndex, Ipam4AddrInfoWalkFn callback,
                                          void *user);
IPAM_API int32_t ipam6_DbAddrInfoWalkByIf(uint32_t ifIndex, Ipam6AddrInfoWalkFn callback,
                                          void *user);

#ifdef __cplusplus
}
#endif

#endif /* IPAM_DB_H */
