// The host's queries over the replica. Each lookup tests its pointers first
// and the replica's completeness second, then hands the call on to the
// database, whose result it returns unchanged; neither refusal writes to the
// caller's record. Refusals are traced under IPAM_DBG_API only: a host that
// polls before the first batch has ended must not flood the error log.
#include "common/log.h"
#include "db/addr.h"

namespace {

using ipam::Fam4;
using ipam::Fam6;

// The two tests of every lookup: 0 to go on, else the refusal.
template <class Fam>
int32_t admit(bool argsPresent) {
    if (!argsPresent) {
        IPAM_DBG(IPAM_DBG_API, Fam::kTextNoParam);
        return IPAM_ERR_PARAM;
    }
    if (ipam_IsSubscrib() == 0) {
        IPAM_DBG(IPAM_DBG_API, Fam::kTextNotReady);
        return IPAM_ERR_NOT_SUBSCRIBED;
    }
    return IPAM_OK;
}

}  // namespace

int32_t IPAM4_IsIpAddrConfigured(uint32_t ifIndex) {
    if (ipam_IsSubscrib() == 0) {
        IPAM_DBG(IPAM_DBG_API, "(PID:%d)Ipam conf has not subcribe the ipam data");
        return 0;
    }
    return ipam4_IsIpAddrConfigured(ifIndex) == IPAM_OK ? 1 : 0;
}

int32_t IPAM4_GetAddrInfoByIfIndex(uint32_t ifIndex, Ipam4AddrInfo *out) {
    if (int32_t r = admit<Fam4>(out != nullptr)) return r;
    return ipam4_PriAddrInfoGetByIfIndex(ifIndex, out);
}

int32_t IPAM4_GetAddrInfoByIfName(const char *ifName, Ipam4AddrInfo *out) {
    if (int32_t r = admit<Fam4>(out != nullptr && ifName != nullptr)) return r;
    return ipam4_PriAddrInfoGetByIfName(ifName, out);
}

int32_t IPAM4_GetAddrInfo(uint32_t vrfIndex, uint32_t ipAddr, Ipam4AddrInfo *out) {
    if (int32_t r = admit<Fam4>(out != nullptr)) return r;
    return ipam4_AddrInfoGetByVrfIndexAndIp(vrfIndex, ipAddr, out);
}

int32_t IPAM6_GetAddrInfoByIfIndexAndAddr(uint32_t ifIndex, const uint8_t *addr,
                                          Ipam6AddrInfo *out) {
    if (int32_t r = admit<Fam6>(out != nullptr)) return r;
    return ipam6_AddrInfoGetByIfIndexAndAddr(ifIndex, addr, out);
}

int32_t IPAM6_GetAddrInfoByIfIndex(uint32_t ifIndex, Ipam6AddrInfo *out) {
    return IPAM6_GetAddrInfoByIfIndexAndAddr(ifIndex, nullptr, out);
}

int32_t IPAM6_GetAddrInfoByIfIndexAndIfAddr(uint32_t ifIndex, const uint8_t *ifAddr,
                                            Ipam6AddrInfo *out) {
    if (int32_t r = admit<Fam6>(ifAddr != nullptr && out != nullptr)) return r;
    return ipam6_AddrInfoGetByIfIndexAndIfAddr(ifIndex, ifAddr, out);
}

int32_t IPAM6_GetAddrInfoByIfNameAndAddr(const char *ifName, const uint8_t *addr,
                                         Ipam6AddrInfo *out) {
    if (int32_t r = admit<Fam6>(out != nullptr && ifName != nullptr)) return r;
    return ipam6_AddrInfoGetByIfNameAndAddr(ifName, addr, out);
}

int32_t IPAM6_GetAddrInfoByIfName(const char *ifName, Ipam6AddrInfo *out) {
    return IPAM6_GetAddrInfoByIfNameAndAddr(ifName, nullptr, out);
}

int32_t IPAM6_GetAddrInfo(uint32_t vrfIndex, const uint8_t *addr, Ipam6AddrInfo *out) {
    if (int32_t r = admit<Fam6>(out != nullptr && addr != nullptr)) return r;
    return ipam::addr6InfoGetByVrfIp(vrfIndex, addr, out);
}

int32_t IPAM4_WalkAddrInfo(uint32_t ifIndex, Ipam4AddrInfoWalkFn callback, void *user) {
    return ipam4_DbAddrInfoWalkByIf(ifIndex, callback, user);
}

int32_t IPAM6_WalkAddrInfo(uint32_t ifIndex, Ipam6AddrInfoWalkFn callback, void *user) {
    return ipam6_DbAddrInfoWalkByIf(ifIndex, callback, user);
}
