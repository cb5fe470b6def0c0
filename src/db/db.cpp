// Database set-up, tear-down, lock, the indexes' keys and interface nodes.
#include "db/db.h"

#include <cstdlib>

#include "common/log.h"
#include "db/family.h"
#include "db/resume.h"

IpamHashTable gIpamIfHash;
IpamHashTable gIpamIfNameHash;
IpamHashTable gIpamVrfIpHash;
IpamHashTable gIpam6VrfIpHash;
gnl_sem_t gIpamDbSem;
ipam::Accel gIpamIfAccel;
ipam::Accel gIpamIfNameAccel;
ipam::Accel gIpamVrfIpAccel;
ipam::Accel gIpam6VrfIpAccel;

// The indexes' keys: how each hashes and compares whole nodes. The chained
// indexes use the lookup2 hashes and compares; the accelerators their own
// well-mixed hashes of the same keys.
using ipam::kGolden;
using ipam::lookup2Mix;

uint32_t ipamIfHashCompute(const void *node) {
    uint32_t x = kGolden + static_cast<const IpamIfNode *>(node)->ifIndex, y = kGolden, z = 37;
    lookup2Mix(x, y, z);
    return z;
}

int32_t ipamIfHashCompare(const void *a, const void *b) {
    return static_cast<int32_t>(static_cast<const IpamIfNode *>(a)->ifIndex -
                                static_cast<const IpamIfNode *>(b)->ifIndex);
}

uint32_t ipamIfNameHashCompute(const void *node) {
    const char *name = static_cast<const IpamIfNode *>(node)->ifName;
    return ipam::lookup2Bytes(reinterpret_cast<const uint8_t *>(name),
                              static_cast<uint32_t>(strnlen(name, IPAM_IFNAME_SIZE)), 37);
}

int32_t ipamIfNameHashCompare(const void *a, const void *b) {
    return strncmp(static_cast<const IpamIfNode *>(a)->ifName,
                   static_cast<const IpamIfNode *>(b)->ifName, IPAM_IFNAME_SIZE);
}

uint32_t ipam4VrfIpHashCompute(const void *node) {
    const Ipam4AddrInfo &i = static_cast<const Ipam4DbNode *>(node)->info;
    uint32_t x = kGolden + i.vrfIndex, y = kGolden + ipam::addrValue(i.ipAddr), z = 28;
    lookup2Mix(x, y, z);
    return z;
}

int32_t ipam4VrfIpHashCompare(const void *a, const void *b) {
    const Ipam4AddrInfo &ia = static_cast<const Ipam4DbNode *>(a)->info;
    const Ipam4AddrInfo &ib = static_cast<const Ipam4DbNode *>(b)->info;
    if (ia.vrfIndex != ib.vrfIndex) return -1;
    return ia.ipAddr == ib.ipAddr ? 0 : -1;
}

uint32_t ipam6VrfIpHashCompute(const void *node) {
    const Ipam6AddrInfo &i = static_cast<const Ipam6DbNode *>(node)->info;
    // AND, not XOR: every address with one all-zero word folds into y = G.
    uint32_t folded = ipam::loadBe32(i.ip6Addr) & ipam::loadBe32(i.ip6Addr + 4) &
                      ipam::loadBe32(i.ip6Addr + 8) & ipam::loadBe32(i.ip6Addr + 12);
    uint32_t x = kGolden + i.vrfIndex, y = kGolden + folded, z = 28;
    lookup2Mix(x, y, z);
    return z;
}

int32_t ipam6VrfIpHashCompare(const void *a, const void *b) {
    const Ipam6AddrInfo &ia = static_cast<const Ipam6DbNode *>(a)->info;
    const Ipam6AddrInfo &ib = static_cast<const Ipam6DbNode *>(b)->info;
    if (ia.vrfIndex != ib.vrfIndex) return -1;
    return std::memcmp(ia.ip6Addr, ib.ip6Addr, 16) == 0 ? 0 : -1;
}

// FNV-1a over the compared bytes, then the mix.
uint32_t ipam::ifNameAccelHash(const void *node) {
    const char *name = static_cast<const IpamIfNode *>(node)->ifName;
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < IPAM_IFNAME_SIZE && name[i] != '\0'; i++)
        h = (h ^ static_cast<uint8_t>(name[i])) * 0x100000001b3ull;
    return ipam::accelMix(h);
}

namespace {

struct IndexDesc {
    IpamHashTable *table;
    ipam::Accel *accel;
    uint32_t linkOffset;
    IpamHashFn hashFn;
    IpamHashCompareFn compareFn;
};

// Set-up and tear-down order.
const IndexDesc kIndexes[] = {
    {&gIpamIfHash, &gIpamIfAccel, offsetof(IpamIfNode, indexLink), ipamIfHashCompute,
     ipamIfHashCompare},
    {&gIpamIfNameHash, &gIpamIfNameAccel, offsetof(IpamIfNode, nameLink), ipamIfNameHashCompute,
     ipamIfNameHashCompare},
    {&gIpamVrfIpHash, &gIpamVrfIpAccel, offsetof(Ipam4DbNode, hashLink), ipam4VrfIpHashCompute,
     ipam4VrfIpHashCompare},
    {&gIpam6VrfIpHash, &gIpam6VrfIpAccel, offsetof(Ipam6DbNode, hashLink), ipam6VrfIpHashCompute,
     ipam6VrfIpHashCompare},
};

void releaseIndexes() {
    for (const IndexDesc &d : kIndexes) {
        if (!ipam::hashSetUp(d.table)) continue;
        ipam::hashPublish(d.table, 0);
        std::free(d.table->buckets);
        d.table->buckets = nullptr;
        ipam::accelReset(*d.accel);
    }
}

bool anyIndexSetUp() {
    for (const IndexDesc &d : kIndexes)
        if (ipam::hashSetUp(d.table)) return true;
    return false;
}

template <class Fam>
void freeAddrList(IpamListLink *head) {
    using Node = typename Fam::Node;
    for (IpamListLink *l = head->next, *next; l != head; l = next) {
        next = l->next;
        Node *n = ipam::nodeOfIfLink<Node>(l);
        ipam::hashRemove(&Fam::table(), n);
        ipam::listDel(l);
        std::free(n);
    }
}

}  // namespace

namespace {
// How many holds of the database lock this thread has not given back.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t tDbLockHolds = 0;
}  // namespace

void ipamDbLock() {
    if (gnl_sem_take(&gIpamDbSem, 0) == -1) IPAM_ERR("(PID:%d)Ipam db failed to lock.");
    tDbLockHolds++;
}

void ipamDbUnlock() {
    tDbLockHolds--;
    if (gnl_sem_give(&gIpamDbSem) == -1) IPAM_ERR("(PID:%d)Ipam db failed to unlock.");
}

bool ipam::dbLockHeldHere() { return tDbLockHolds != 0; }

int32_t ipam_DbInit(void) {
    // The mutex is made ready before any index is published: a host thread
    // takes it as soon as it sees an index set up.
    if (gnl_sem_mutex_init("ipamDbSem", &gIpamDbSem) != 0) {
        IPAM_ERR("(PID:%d)Ipam db failed to create ipam database semaphore");
        return IPAM_ERR_FAIL;
    }
    for (const IndexDesc &d : kIndexes) {
        IpamHashTable *t = d.table;
        t->hashFn = d.hashFn;
        t->compareFn = d.compareFn;
        t->linkOffset = d.linkOffset;
        t->bucketCount = IPAM_DB_HASH_SIZE;
        t->count = 0;
        t->buckets =
            static_cast<IpamHashLink **>(std::malloc(IPAM_DB_HASH_SIZE * sizeof(IpamHashLink *)));
        if (t->buckets == nullptr) {
            if (t == &gIpamVrfIpHash)
                IPAM_ERR(
                    "(PID:%d)Ipam db init ipam hash table by vrfIndex and ip address are the keys failed");
            else
                IPAM_ERR("(PID:%d)Ipam db init ipam hash table by ifIndex is the key failed");
            releaseIndexes();
            return IPAM_ERR_FAIL;
        }
        for (uint32_t b = 0; b < IPAM_DB_HASH_SIZE; b++) t->buckets[b] = nullptr;
        ipam::accelReset(*d.accel);  // takes its first table with the first node
        ipam::hashPublish(t, IPAM_HASH_MAGIC);
    }
    return IPAM_OK;
}

void ipam_DbUnInit(void) {
    // A database that was never set up (or is already gone) has nothing to
    // free and possibly no lock to take.
    if (!anyIndexSetUp()) return;
    ipam::DbLock lock;
    if (ipam::hashSetUp(&gIpamIfHash)) {
        for (IpamHashLink *l = ipam::hashIterFirst(&gIpamIfHash), *next; l; l = next) {
            next = ipam::hashIterNext(&gIpamIfHash, l);
            auto *ifNode = static_cast<IpamIfNode *>(ipam::hashNodeOf(&gIpamIfHash, l));
            freeAddrList<ipam::Fam4>(&ifNode->addr4List);
            freeAddrList<ipam::Fam6>(&ifNode->addr6List);
            ipam::hashRemove(&gIpamIfHash, ifNode);
            ipam::hashRemove(&gIpamIfNameHash, ifNode);
            std::free(ifNode);
        }
    }
    ipam::resumeForget<ipam::Fam4>();
    ipam::resumeForget<ipam::Fam6>();
    releaseIndexes();
}

void ipam_AddrInfoNumGet(uint32_t *count) {
    if (count == nullptr) return;
    ipam::DbLockIfSetUp lock;
    *count = lock.setUp() && ipam::hashSetUp(&gIpamIfHash) ? gIpamIfHash.count : 0;
}

namespace ipam {

IpamIfNode *ifNodeFind(uint32_t ifIndex) {
    IpamIfNode key;  // the search reads ifIndex alone
    key.ifIndex = ifIndex;
    return keyedFindFirst<IfByIndex>(key);
}

IpamIfNode *ifNodeFindByName(const char *name) {
    IpamIfNode key;
    ifKeyInit(&key, 0, name);
    return keyedFindFirst<IfByName>(key);
}

void ifNodeReleaseIfEmpty(IpamIfNode *ifNode) {
    if (!listEmpty(&ifNode->addr4List) || !listEmpty(&ifNode->addr6List)) return;
    keyedRemove<IfByIndex>(ifNode);
    keyedRemove<IfByName>(ifNode);
    std::free(ifNode);
}

}  // namespace ipam

IpamIfNode *ipamGetAddrIfNode(const IpamIfNode *key) {
    if (IpamIfNode *found = ipam::ifNodeFind(key->ifIndex)) return found;
    if (!ipam::hashSearchable(&gIpamIfHash) || !ipam::hashSearchable(&gIpamIfNameHash))
        return nullptr;
    auto *n = static_cast<IpamIfNode *>(std::malloc(sizeof(IpamIfNode)));
    if (n == nullptr) return nullptr;
    std::memset(n, 0, sizeof *n);
    n->ifIndex = key->ifIndex;
    // At most 39 characters: the node's own copy is always terminated.
    std::memcpy(n->ifName, key->ifName, strnlen(key->ifName, IPAM_IFNAME_SIZE - 1));
    ipam::listInit(&n->addr4List);
    ipam::listInit(&n->addr6List);
    ipam::keyedInsert<ipam::IfByIndex>(n);
    ipam::keyedInsert<ipam::IfByName>(n);
    return n;
}

IpamListLink *ipam4DbNodeGetByIfName(const char *name) {
    IpamIfNode *n = ipam::ifNodeFindByName(name);
    return n ? &n->addr4List : nullptr;
}
