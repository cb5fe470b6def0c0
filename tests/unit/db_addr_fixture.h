// Records and a fresh database for the tests of address changes and walks.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/dbg.h"
#include "db/addr.h"
#include "ipam_platform.h"
#include "sub/state.h"

inline Ipam4AddrInfo rec4(uint32_t ifIndex, const char *addr, uint32_t attr = 0,
                          const char *mask = "255.255.255.0", uint32_t vrf = 0,
                          const char *name = "eth0") {
    Ipam4AddrInfo r{};
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    inet_pton(AF_INET, addr, &r.ipAddr);
    inet_pton(AF_INET, mask, &r.ipMask);
    r.ipAttr = attr;
    std::strncpy(r.ifName, name, sizeof r.ifName - 1);
    return r;
}

inline Ipam6AddrInfo rec6(uint32_t ifIndex, const char *addr, uint32_t attr = 0,
                          const char *mask = "ffff:ffff:ffff:ffff::", uint32_t vrf = 0,
                          const char *name = "eth0") {
    Ipam6AddrInfo r{};
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    inet_pton(AF_INET6, addr, r.ip6Addr);
    inet_pton(AF_INET6, mask, r.ip6Mask);
    r.ip6Attr = attr;
    std::strncpy(r.ifName, name, sizeof r.ifName - 1);
    return r;
}

inline uint32_t ifCount() {
    uint32_t n = 0;
    ipam_AddrInfoNumGet(&n);
    return n;
}

// The interface's records, in list order.
template <class Info>
std::vector<Info> recordsOf(uint32_t ifIndex);

template <>
inline std::vector<Ipam4AddrInfo> recordsOf<Ipam4AddrInfo>(uint32_t ifIndex) {
    std::vector<Ipam4AddrInfo> out;
    ipam4_DbAddrInfoWalkByIf(
        ifIndex,
        [](Ipam4AddrInfo *r, void *u) {
            static_cast<std::vector<Ipam4AddrInfo> *>(u)->push_back(*r);
            return 0;
        },
        &out);
    return out;
}

template <>
inline std::vector<Ipam6AddrInfo> recordsOf<Ipam6AddrInfo>(uint32_t ifIndex) {
    std::vector<Ipam6AddrInfo> out;
    ipam6_DbAddrInfoWalkByIf(
        ifIndex,
        [](Ipam6AddrInfo *r, void *u) {
            static_cast<std::vector<Ipam6AddrInfo> *>(u)->push_back(*r);
            return 0;
        },
        &out);
    return out;
}

class AddrDb : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        gIpamCareEvt = 0;
        gIpamPubDbg = 0;
        ASSERT_EQ(ipam_DbInit(), 0);
    }
    void TearDown() override {
        ipam_DbUnInit();
        gIpamCareEvt = 0;
        gIpamPubDbg = 0;
    }
};
