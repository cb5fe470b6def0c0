// The exported IPv4 and IPv6 insertion, update, identity, finds and removal:
// thin entry points over the family templates of db/addr.h. Each pair is a
// deliberate twin; only the IPv6 family has an update operation.
#include "db/addr.h"

using ipam::Fam4;
using ipam::Fam6;

int32_t ipam4_IsAddrInfoNodeSame(const Ipam4AddrInfo *a, const Ipam4AddrInfo *b) {
    if (a == nullptr || b == nullptr) return 0;
    return ipam::sameRecord<Fam4>(*a, *b) ? 1 : 0;
}

int32_t ipam6_IsAddrInfoNodeSame(const Ipam6AddrInfo *a, const Ipam6AddrInfo *b) {
    if (a == nullptr || b == nullptr) return 0;
    return ipam::sameRecord<Fam6>(*a, *b) ? 1 : 0;
}

Ipam4DbNode *ipam4DbNodeGetByAll(const Ipam4AddrInfo *record) {
    return ipam::findSame<Fam4>(*record);
}

Ipam6DbNode *ipam6DbNodeGetByAll(const Ipam6AddrInfo *record) {
    return ipam::findSame<Fam6>(*record);
}

Ipam6DbNode *ipam6DbNodeGetIgnoreAttr(const Ipam6AddrInfo *record) {
    return ipam::findIgnoringAttr<Fam6>(*record);
}

int32_t ipam4_DbNodeGetByVrfIndexAndIp(uint32_t vrfIndex, uint32_t ipAddr, Ipam4DbNode **out) {
    ipam::Scope scope(ipam::Scope::kCallerHolds);
    Ipam4DbNode *node =
        ipam::nodeByKey<Fam4>(scope, vrfIndex, reinterpret_cast<const uint8_t *>(&ipAddr));
    if (out) *out = node;
    return node ? IPAM_OK : IPAM_ERR_NOT_FOUND;
}

int32_t ipam6_DbNodeGetByVrfIndexAndIp(uint32_t vrfIndex, Ipam6Addr ip6Addr, Ipam6DbNode **out) {
    ipam::Scope scope(ipam::Scope::kCallerHolds);
    Ipam6DbNode *node = ipam::nodeByKey<Fam6>(scope, vrfIndex, ip6Addr.octet);
    if (out) *out = node;
    return node ? IPAM_OK : IPAM_ERR_NOT_FOUND;
}

int32_t ipam4_AddAddrInfoNode(const Ipam4AddrInfo *record, uint32_t batchVer) {
    if (record == nullptr) return IPAM_ERR_FAIL;
    return ipam::addRecord<Fam4>(*record, batchVer);
}

int32_t ipam6_AddAddrInfoNode(const Ipam6AddrInfo *record, uint32_t batchVer) {
    if (record == nullptr) return IPAM_ERR_FAIL;
    return ipam::addRecord<Fam6>(*record, batchVer);
}

int32_t ipam6_UpdAddrInfoNode(const Ipam6AddrInfo *record, uint32_t batchVer) {
    if (record == nullptr) return IPAM_ERR_NOT_FOUND;
    ipam::Scope scope;
    if (!scope) return IPAM_ERR_NOT_FOUND;
    Ipam6DbNode *node = ipam6DbNodeGetIgnoreAttr(record);
    if (node == nullptr) return IPAM_ERR_NOT_FOUND;
    node->batchVer = batchVer;
    node->info.ip6Attr = record->ip6Attr;
    return IPAM_OK;
}

int32_t ipam4_DelAddrInfoNode(const Ipam4AddrInfo *record) {
    if (record == nullptr) return IPAM_OK;
    return ipam::removeMatching<Fam4>(*record);
}

int32_t ipam6_DelAddrInfoNode(const Ipam6AddrInfo *record) {
    if (record == nullptr) return IPAM_OK;
    return ipam::removeMatching<Fam6>(*record);
}
