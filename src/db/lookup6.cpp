// IPv6 lookups: the best source address of an interface for a destination,
// found by interface index or name, an interface's record with an exact
// address, and the record with a (VRF, address) key. Each takes the database
// lock for its whole run, selection and copy included; the caller's record is
// written only on success.
#include <bit>
#include <cstring>

#include "common/bytes.h"
#include "common/log.h"
#include "db/addr.h"

namespace {

// fe80::/10: the top ten bits of the first four octets read big-endian, so
// the test means the same on either host byte order.
bool isLinkLocal(const uint8_t *addr) {
    return (ipam::loadBe32(addr) & 0xffc00000u) == 0xfe800000u;
}

// The interface's IPv6 list head, or null when there is no such interface.
// Caller holds the lock.
IpamListLink *addr6ListOf(IpamIfNode *ifNode) { return ifNode ? &ifNode->addr6List : nullptr; }

// Source-address selection over one interface's IPv6 list (or null): among
// the records that are neither link-local nor marked IPAM6_ATTR_NO_SOURCE,
// the longest common prefix with `dest` wins, ties going to the record added
// first; with no destination the first such record wins. When none is
// eligible, the last link-local record of the list serves as the fallback,
// whatever its attributes. Copied into `out`: 0, or 14 when nothing
// qualifies. Caller holds the lock.
int32_t ipam6BestAddrInfoGet(IpamListLink *head, const uint8_t *dest, Ipam6AddrInfo *out) {
    if (head == nullptr) return IPAM_ERR_NOT_FOUND;
    const Ipam6DbNode *best = nullptr;
    const Ipam6DbNode *linkLocal = nullptr;
    int32_t bestLen = -1;  // computed only once a second candidate turns up
    for (IpamListLink *l = head->next; l != head; l = l->next) {
        const Ipam6DbNode *n = ipam::nodeOfIfLink<Ipam6DbNode>(l);
        if (isLinkLocal(n->info.ip6Addr)) {
            linkLocal = n;
            continue;
        }
        if (n->info.ip6Attr & IPAM6_ATTR_NO_SOURCE) continue;
        if (dest == nullptr) {
            best = n;
            break;
        }
        if (best == nullptr) {
            best = n;
            continue;
        }
        if (bestLen == -1) bestLen = ipam6_AddrMatchLen(best->info.ip6Addr, dest);
        int32_t len = ipam6_AddrMatchLen(n->info.ip6Addr, dest);
        if (len > bestLen) {
            best = n;
            bestLen = len;
        }
    }
    const Ipam6DbNode *chosen = best ? best : linkLocal;
    if (chosen == nullptr) return IPAM_ERR_NOT_FOUND;
    std::memcpy(out, &chosen->info, sizeof chosen->info);
    return IPAM_OK;
}

}  // namespace

int32_t ipam6_AddrMatchLen(const uint8_t *a, const uint8_t *b) {
    if (a == nullptr || b == nullptr) return 0;
    int32_t n = 0;
    for (int i = 0; i < 16; i++, n += 8) {
        auto x = static_cast<uint8_t>(a[i] ^ b[i]);
        if (x != 0) return n + std::countl_zero(x);
    }
    return 128;
}

int32_t ipam6_AddrInfoGetByIfIndexAndAddr(uint32_t ifIndex, const uint8_t *dest,
                                          Ipam6AddrInfo *out) {
    if (out == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    int32_t r = ipam6BestAddrInfoGet(addr6ListOf(ipam::ifNodeFind(scope, ifIndex)), dest, out);
    if (r != IPAM_OK)
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam6 db has not find the address with IfIndex %d",
                 static_cast<int>(ifIndex));
    return r;
}

int32_t ipam6_AddrInfoGetByIfNameAndAddr(const char *ifName, const uint8_t *dest,
                                         Ipam6AddrInfo *out) {
    if (ifName == nullptr || out == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    int32_t r = ipam6BestAddrInfoGet(addr6ListOf(ipam::ifNodeFindByName(scope, ifName)), dest, out);
    if (r != IPAM_OK)
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam6 db has not find the address with ifName %s", ifName);
    return r;
}

int32_t ipam6_AddrInfoGetByIfIndexAndIfAddr(uint32_t ifIndex, const uint8_t *addr,
                                            Ipam6AddrInfo *out) {
    if (addr == nullptr || out == nullptr) return IPAM_ERR_PARAM;
    ipam::Scope scope;
    if (IpamListLink *head = addr6ListOf(ipam::ifNodeFind(scope, ifIndex))) {
        // No attribute is looked at: an exact address is found whatever it is.
        for (IpamListLink *l = head->next; l != head; l = l->next) {
            const Ipam6DbNode *n = ipam::nodeOfIfLink<Ipam6DbNode>(l);
            if (std::memcmp(n->info.ip6Addr, addr, sizeof n->info.ip6Addr) == 0) {
                std::memcpy(out, &n->info, sizeof n->info);
                return IPAM_OK;
            }
        }
    }
    if (ipam::dbgOn(IPAM_DBG_DB)) {
        char text[48];
        IPAM_DBG(IPAM_DBG_DB,
                 "(PID:%d)Ipam6 db has not find the address with IfIndex %d and ip6Addr %s",
                 static_cast<int>(ifIndex), ipam::addrText(AF_INET6, addr, text));
    }
    return IPAM_ERR_NOT_FOUND;
}

int32_t ipam::addr6InfoGetByVrfIp(uint32_t vrfIndex, const uint8_t *addr, Ipam6AddrInfo *out) {
    if (addr == nullptr || out == nullptr) return IPAM_ERR_PARAM;
    // Found and copied under one hold of the lock: the node may be freed by
    // the publisher thread as soon as it is released.
    Scope scope;
    const Ipam6DbNode *node = nodeByKey<Fam6>(scope, vrfIndex, addr);
    if (node == nullptr) return IPAM_ERR_NOT_FOUND;
    std::memcpy(out, &node->info, sizeof node->info);
    return IPAM_OK;
}
