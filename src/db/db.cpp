// The replica's set-up, tear-down, lock and batch state, and interface nodes.
#include "db/db.h"

#include <atomic>
#include <cstdlib>

#include "common/log.h"
#include "db/family.h"
#include "db/resume.h"

namespace ipam {

constinit Replica gReplica;

}  // namespace ipam

using ipam::gReplica;

namespace {

// Frees the bucket arrays and empties the accelerators of the indexes that
// were set up, in set-up order.
void releaseIndexes() {
    gReplica.forEachIndex([](auto &index) {
        if (index.chain.magic != IPAM_HASH_MAGIC) return;
        index.chain.magic = 0;
        std::free(index.chain.buckets);
        index.chain.buckets = nullptr;
        ipam::accelReset(index.accel);
    });
}

// Sets one index up: an empty bucket array and an empty accelerator. False
// (logged) when the array cannot be had.
template <class K>
bool setUpIndex(ipam::Index<K> &index) {
    IpamHashTable &t = index.chain;
    t.bucketCount = IPAM_DB_HASH_SIZE;
    t.count = 0;
    t.buckets =
        static_cast<IpamHashLink **>(std::malloc(IPAM_DB_HASH_SIZE * sizeof(IpamHashLink *)));
    if (t.buckets == nullptr) {
        IPAM_ERR(K::kSetUpFailed);
        return false;
    }
    for (uint32_t b = 0; b < IPAM_DB_HASH_SIZE; b++) t.buckets[b] = nullptr;
    ipam::accelReset(index.accel);  // takes its first table with the first node
    t.magic = IPAM_HASH_MAGIC;
    return true;
}

template <class Fam>
void freeAddrList(IpamListLink *head) {
    using Node = typename Fam::Node;
    for (IpamListLink *l = head->next, *next; l != head; l = next) {
        next = l->next;
        Node *n = ipam::nodeOfIfLink<Node>(l);
        ipam::hashRemove(&ipam::chainOf<Fam>(), n);
        ipam::listDel(l);
        std::free(n);
    }
}

}  // namespace

namespace {
// How many holds of the database lock this thread has not given back.
// Initial-exec: the general model would make each use a call into the
// dynamic linker.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t tDbLockHolds = 0;
}  // namespace

void ipamDbLock() {
    if (gnl_sem_take(&gReplica.sem, 0) == -1) IPAM_ERR("(PID:%d)Ipam db failed to lock.");
    tDbLockHolds++;
}

void ipamDbUnlock() {
    tDbLockHolds--;
    if (gnl_sem_give(&gReplica.sem) == -1) IPAM_ERR("(PID:%d)Ipam db failed to unlock.");
}

namespace ipam {

bool dbLockHeldHere() { return tDbLockHolds != 0; }

void replicaSetCare(uint32_t careMask) {
    storeRelaxed(gReplica.careBits, careMask & (Fam4::kIfCareBits | Fam6::kIfCareBits));
}

uint32_t replicaBatchVersion() { return loadRelaxed(gReplica.batchVer); }

uint32_t replicaNextBatch() {
    const uint32_t ver = replicaBatchVersion() + 1;
    storeRelaxed(gReplica.batchVer, ver);
    return ver;
}

void replicaMarkSynced() { storeRelaxed(gReplica.synced, 1); }

void replicaClearBatch() {
    storeRelaxed(gReplica.synced, 0);
    storeRelaxed(gReplica.batchVer, 0);
}

}  // namespace ipam

// Host threads read it while the publisher thread sets it.
int32_t ipam_IsSubscrib(void) { return static_cast<int32_t>(ipam::loadRelaxed(gReplica.synced)); }

int32_t ipam_DbInit(void) {
    // The mutex is made ready before the replica is set up: a host thread
    // takes it as soon as it exists. From the first success on it exists
    // for good; a later set-up renews it.
    if (gnl_sem_mutex_init("ipamDbSem", &gReplica.sem) != 0) {
        IPAM_ERR("(PID:%d)Ipam db failed to create ipam database semaphore");
        return IPAM_ERR_FAIL;
    }
    std::atomic_ref<uint32_t>(gReplica.lockReady).store(1, std::memory_order_release);
    bool ok = true;
    gReplica.forEachIndex([&ok](auto &index) { ok = ok && setUpIndex(index); });
    if (!ok) {
        releaseIndexes();
        return IPAM_ERR_FAIL;
    }
    // Published last: a scope that sees it set up finds every index ready.
    std::atomic_ref<uint32_t>(gReplica.setUp).store(1, std::memory_order_release);
    return IPAM_OK;
}

void ipam_DbUnInit(void) {
    ipam::Scope scope;
    if (!scope) return;
    std::atomic_ref<uint32_t>(gReplica.setUp).store(0, std::memory_order_release);
    IpamHashTable *byIndex = &ipam::indexOf<ipam::IfIndexKey>().chain;
    for (IpamHashLink *l = ipam::hashIterFirst(byIndex), *next; l; l = next) {
        next = ipam::hashIterNext(byIndex, l);
        auto *ifNode = static_cast<IpamIfNode *>(ipam::hashNodeOf(byIndex, l));
        freeAddrList<ipam::Fam4>(&ifNode->addr4List);
        freeAddrList<ipam::Fam6>(&ifNode->addr6List);
        ipam::hashRemove(byIndex, ifNode);
        ipam::hashRemove(&ipam::indexOf<ipam::IfNameKey>().chain, ifNode);
        std::free(ifNode);
    }
    ipam::resumeForget<ipam::Fam4>();
    ipam::resumeForget<ipam::Fam6>();
    releaseIndexes();
}

void ipam_AddrInfoNumGet(uint32_t *count) {
    if (count == nullptr) return;
    ipam::Scope scope;
    *count = scope ? ipam::indexOf<ipam::IfIndexKey>().chain.count : 0;
}

namespace ipam {

IpamIfNode *ifNodeFind(uint32_t ifIndex) {
    IpamIfNode key;  // the search reads ifIndex alone
    key.ifIndex = ifIndex;
    return keyedFindFirst<IfIndexKey>(key);
}

IpamIfNode *ifNodeFindByName(const char *name) {
    IpamIfNode key;
    ifKeyInit(&key, 0, name);
    return keyedFindFirst<IfNameKey>(key);
}

void ifNodeReleaseIfEmpty(IpamIfNode *ifNode) {
    if (!listEmpty(&ifNode->addr4List) || !listEmpty(&ifNode->addr6List)) return;
    keyedRemove<IfIndexKey>(ifNode);
    keyedRemove<IfNameKey>(ifNode);
    std::free(ifNode);
}

}  // namespace ipam

IpamIfNode *ipamGetAddrIfNode(const IpamIfNode *key) {
    if (IpamIfNode *found = ipam::ifNodeFind(key->ifIndex)) return found;
    auto *n = static_cast<IpamIfNode *>(std::malloc(sizeof(IpamIfNode)));
    if (n == nullptr) return nullptr;
    std::memset(n, 0, sizeof *n);
    n->ifIndex = key->ifIndex;
    // At most 39 characters: the node's own copy is always terminated.
    std::memcpy(n->ifName, key->ifName, strnlen(key->ifName, IPAM_IFNAME_SIZE - 1));
    ipam::listInit(&n->addr4List);
    ipam::listInit(&n->addr6List);
    ipam::keyedInsert<ipam::IfIndexKey>(n);
    ipam::keyedInsert<ipam::IfNameKey>(n);
    return n;
}

IpamListLink *ipam4DbNodeGetByIfName(const char *name) {
    IpamIfNode *n = ipam::ifNodeFindByName(name);
    return n ? &n->addr4List : nullptr;
}
