// IPv6 insertion, update, identity, finds and removal.
#include "db/addr.h"

#include "common/bytes.h"
#include "common/log.h"

using ipam::Fam6;

int32_t ipam6_IsAddrInfoNodeSame(const Ipam6AddrInfo *a, const Ipam6AddrInfo *b) {
    if (a == nullptr || b == nullptr) return 0;
    return ipam::sameRecord<Fam6>(*a, *b) ? 1 : 0;
}

Ipam6DbNode *ipam6DbNodeGetByAll(const Ipam6AddrInfo *record) {
    return ipam::findSame<Fam6>(*record);
}

Ipam6DbNode *ipam6DbNodeGetIgnoreAttr(const Ipam6AddrInfo *record) {
    return ipam::findIgnoringAttr<Fam6>(*record);
}

int32_t ipam6_DbNodeGetByVrfIndexAndIp(uint32_t vrfIndex, Ipam6Addr ip6Addr, Ipam6DbNode **out) {
    Ipam6DbNode key;
    std::memset(&key, 0, sizeof key);
    key.info.vrfIndex = vrfIndex;
    std::memcpy(key.info.ip6Addr, ip6Addr.octet, sizeof key.info.ip6Addr);
    Ipam6DbNode *node = ipam::keyedFindFirst<Fam6>(key);
    if (out) *out = node;
    if (node) return 0;
    if (ipam::dbgOn(IPAM_DBG_DB)) {
        char text[48];
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam6 db has not find the data with vrfIndex %d ip6Addr %s",
                 vrfIndex, ipam::addrText(AF_INET6, ip6Addr.octet, text));
    }
    return IPAM_ERR_NOT_FOUND;
}

int32_t ipam6_AddAddrInfoNode(const Ipam6AddrInfo *record, uint32_t batchVer) {
    if (record == nullptr) return -1;
    ipam::DbLockIfSetUp lock;
    if (Ipam6DbNode *node = ipam6DbNodeGetByAll(record)) {
        // An IPv6 record stored again takes over the new attribute word.
        node->batchVer = batchVer;
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam6 db addr info is exist, update ip6Attr (0x%x-->0x%x)",
                 node->info.ip6Attr, record->ip6Attr);
        node->info.ip6Attr = record->ip6Attr;
        return 0;
    }
    if (!ipam::insertNew<Fam6>(*record, batchVer)) {
        IPAM_ERR("(PID:%d)Ipam6 db malloc ipam db node failed");
        return -1;
    }
    return 0;
}

int32_t ipam6_UpdAddrInfoNode(const Ipam6AddrInfo *record, uint32_t batchVer) {
    if (record == nullptr) return IPAM_ERR_NOT_FOUND;
    ipam::DbLockIfSetUp lock;
    Ipam6DbNode *node = ipam6DbNodeGetIgnoreAttr(record);
    if (node == nullptr) return IPAM_ERR_NOT_FOUND;
    node->batchVer = batchVer;
    node->info.ip6Attr = record->ip6Attr;
    return 0;
}

int32_t ipam6_DelAddrInfoNode(const Ipam6AddrInfo *record) {
    if (record == nullptr) return 0;
    return ipam::removeMatching<Fam6>(*record);
}

int32_t ipam6DbNodeRemove(Ipam6DbNode *node) { return ipam::removeNode<Fam6>(node); }
