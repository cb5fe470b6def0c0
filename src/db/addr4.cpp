// IPv4 insertion, identity, finds and removal.
#include "db/addr.h"

#include "common/bytes.h"
#include "common/log.h"

using ipam::Fam4;

int32_t ipam4_IsAddrInfoNodeSame(const Ipam4AddrInfo *a, const Ipam4AddrInfo *b) {
    if (a == nullptr || b == nullptr) return 0;
    return ipam::sameRecord<Fam4>(*a, *b) ? 1 : 0;
}

Ipam4DbNode *ipam4DbNodeGetByAll(const Ipam4AddrInfo *record) {
    return ipam::findSame<Fam4>(*record);
}

int32_t ipam4_DbNodeGetByVrfIndexAndIp(uint32_t vrfIndex, uint32_t ipAddr, Ipam4DbNode **out) {
    Ipam4DbNode key;
    std::memset(&key, 0, sizeof key);
    key.info.vrfIndex = vrfIndex;
    key.info.ipAddr = ipAddr;
    Ipam4DbNode *node = ipam::keyedFindFirst<Fam4>(key);
    if (out) *out = node;
    if (node) return 0;
    if (ipam::dbgOn(IPAM_DBG_DB)) {
        char text[16];
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db has not find the data with vrfIndex %d ipAddr %s",
                 vrfIndex, ipam::addrText(AF_INET, &ipAddr, text));
    }
    return IPAM_ERR_NOT_FOUND;
}

int32_t ipam4_AddAddrInfoNode(const Ipam4AddrInfo *record, uint32_t batchVer) {
    if (record == nullptr) return -1;
    ipam::DbLockIfSetUp lock;
    if (Ipam4DbNode *node = ipam4DbNodeGetByAll(record)) {
        // Only the stamp is refreshed: an IPv4 record keeps the ipAttr it was
        // stored with (unlike IPv6, which takes the new one over).
        node->batchVer = batchVer;
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db addr info is exist");
        return 0;
    }
    if (!ipam::insertNew<Fam4>(*record, batchVer)) {
        IPAM_ERR("(PID:%d)Ipam db malloc ipam db node failed");
        return -1;
    }
    return 0;
}

int32_t ipam4_DelAddrInfoNode(const Ipam4AddrInfo *record) {
    if (record == nullptr) return 0;
    return ipam::removeMatching<Fam4>(*record);
}

int32_t ipam4DbNodeRemove(Ipam4DbNode *node) { return ipam::removeNode<Fam4>(node); }
