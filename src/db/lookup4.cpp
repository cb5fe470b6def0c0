// IPv4 lookups: the configured test, the primary address of an interface by
// index or by name, and the record with a (VRF, address) key. Each takes the
// database lock for its whole run and copies the record out before letting
// go of it, so the caller never sees a record half-changed by the publisher
// thread. The caller's record is written only on success.
#include <cstring>

#include "common/log.h"
#include "db/addr.h"

namespace {

// The first record of an interface's IPv4 list that carries the primary bit,
// copied into `out`; 14 when there is none. Caller holds the lock.
int32_t primaryCopy(IpamListLink *head, Ipam4AddrInfo *out) {
    for (IpamListLink *l = head->next; l != head; l = l->next) {
        const Ipam4DbNode *n = ipam::nodeOfIfLink<Ipam4DbNode>(l);
        if (n->info.ipAttr & IPAM4_ATTR_PRIMARY) {
            std::memcpy(out, &n->info, sizeof n->info);
            return IPAM_OK;
        }
    }
    return IPAM_ERR_NOT_FOUND;
}

// The primary record of the interface named `ifName`, for both by-name
// operations, which behave alike.
int32_t primaryByName(const char *ifName, Ipam4AddrInfo *out) {
    if (ifName == nullptr || out == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    IpamListLink *head = scope ? ipam4DbNodeGetByIfName(ifName) : nullptr;
    if (head == nullptr) return IPAM_ERR_NOT_FOUND;
    int32_t r = primaryCopy(head, out);
    if (r != IPAM_OK)
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db has not find the primary address with ifName %s",
                 ifName);
    return r;
}

}  // namespace

int32_t ipam4_IsIpAddrConfigured(uint32_t ifIndex) {
    ipam::Scope scope;
    IpamIfNode *ifNode = ipam::ifNodeFind(scope, ifIndex);
    if (ifNode != nullptr && !ipam::listEmpty(&ifNode->addr4List)) return IPAM_OK;
    IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db has not find the data with IfIndex %d",
             static_cast<int>(ifIndex));
    return IPAM_ERR_NOT_FOUND;
}

int32_t ipam4_PriAddrInfoGetByIfIndex(uint32_t ifIndex, Ipam4AddrInfo *out) {
    if (out == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    IpamIfNode *ifNode = ipam::ifNodeFind(scope, ifIndex);
    if (ifNode == nullptr) return IPAM_ERR_NOT_FOUND;
    int32_t r = primaryCopy(&ifNode->addr4List, out);
    if (r != IPAM_OK)
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db has not find the primary address with IfIndex %d",
                 static_cast<int>(ifIndex));
    return r;
}

int32_t ipam4_PriAddrInfoGetByIfName(const char *ifName, Ipam4AddrInfo *out) {
    return primaryByName(ifName, out);
}

int32_t ipam4_AddrInfoGetByIfName(const char *ifName, Ipam4AddrInfo *out) {
    return primaryByName(ifName, out);
}

int32_t ipam4_AddrInfoGetByVrfIndexAndIp(uint32_t vrfIndex, uint32_t ipAddr, Ipam4AddrInfo *out) {
    if (out == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    Ipam4DbNode *n =
        ipam::nodeByKey<ipam::Fam4>(scope, vrfIndex, reinterpret_cast<const uint8_t *>(&ipAddr));
    if (n == nullptr) return IPAM_ERR_NOT_FOUND;
    // A record marked as not to be found by its key gives way to the next
    // one with the same key; only when all are marked is the lookup refused.
    if (n->info.ipAttr & IPAM4_ATTR_NO_VRF_LOOKUP) {
        n = ipam::keyedFind<ipam::Fam4>(*n, [](const Ipam4DbNode &c) {
            return (c.info.ipAttr & IPAM4_ATTR_NO_VRF_LOOKUP) == 0;
        });
        if (n == nullptr) return IPAM_ERR_FAIL;
    }
    std::memcpy(out, &n->info, sizeof n->info);
    return IPAM_OK;
}
