// Every database operation before the database was ever set up, in a
// process of its own: nothing may depend on an earlier set-up having left
// hash functions or buckets behind. Each acts on an empty replica.
#include <gtest/gtest.h>

#include <cstring>

#include "ipam.h"
#include "ipam_platform.h"
#include "support/log_capture.h"
#include "support/records.h"

using ipamtest::addr4;
using ipamtest::addr6;

TEST(DbBeforeSetUp, EveryOperationActsOnAnEmptyReplica) {
    ipamplat_reset();
    gIpamPubDbg = IPAM_DBG_ALL;  // the traces run too
    LogCapture log;
    Ipam4AddrInfo r4 = addr4(5, "10.0.0.1/24", IPAM4_ATTR_PRIMARY);
    Ipam6AddrInfo r6 = addr6(5, "2001:db8::1/64");
    Ipam6Addr a6;
    std::memcpy(a6.octet, r6.ip6Addr, 16);
    auto never4 = [](Ipam4DbNode *, void *) { return 1; };
    auto never6 = [](Ipam6DbNode *, void *) { return 1; };

    // An addition has nowhere to go: it fails as when memory runs out.
    EXPECT_EQ(ipam4_AddAddrInfoNode(&r4, 1), -1);
    EXPECT_EQ(ipam6_AddAddrInfoNode(&r6, 1), -1);
    EXPECT_EQ(ipam4_DelAddrInfoNode(&r4), 0);
    EXPECT_EQ(ipam6_DelAddrInfoNode(&r6), 0);
    EXPECT_EQ(ipam6_UpdAddrInfoNode(&r6, 1), IPAM_ERR_NOT_FOUND);
    Ipam4DbNode *n4 = reinterpret_cast<Ipam4DbNode *>(1);
    Ipam6DbNode *n6 = reinterpret_cast<Ipam6DbNode *>(1);
    EXPECT_EQ(ipam4_DbNodeGetByVrfIndexAndIp(0, r4.ipAddr, &n4), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_DbNodeGetByVrfIndexAndIp(0, a6, &n6), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(n4 == nullptr && n6 == nullptr);
    Ipam4AddrInfo o4;
    Ipam6AddrInfo o6;
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(5, &o4), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfName("eth0", &o4), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(0, r4.ipAddr, &o4), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndIfAddr(5, r6.ip6Addr, &o6), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam_DbAddrWalk(&r4, never4, nullptr, nullptr), IPAM_WALK_END);
    EXPECT_EQ(ipam6_DbAddrWalk(nullptr, never6, nullptr, nullptr), IPAM_WALK_END);
    EXPECT_EQ(ipam_DbAddrWalkByIf(5, never4, nullptr), 0);
    EXPECT_EQ(ipam6_DbAddrWalkByIf(5, never6, nullptr), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_DbAddrInfoWalkByIf(
                  5, [](Ipam4AddrInfo *, void *) { return 1; }, nullptr),
              IPAM_ERR_NOT_FOUND);
    uint32_t count = 7;
    ipam_AddrInfoNumGet(&count);
    EXPECT_EQ(count, 0u);
    ipam_DbUnInit();

    // The only error lines are the additions' own.
    std::vector<std::string> errors;
    const auto lines = log.lines();
    const auto texts = log.texts();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].level == 3) errors.push_back(texts[i]);
    EXPECT_EQ(errors, (std::vector<std::string>{"Ipam db malloc ipam db node failed",
                                                "Ipam6 db malloc ipam db node failed"}));

    // And the first set-up afterwards starts empty and works.
    ASSERT_EQ(ipam_DbInit(), 0);
    ASSERT_EQ(ipam4_AddAddrInfoNode(&r4, 1), 0);
    ipam_AddrInfoNumGet(&count);
    EXPECT_EQ(count, 1u);
    ipam_DbUnInit();
    EXPECT_EQ(ipam4_AddAddrInfoNode(&r4, 1), -1);  // and after tear-down as before set-up
    gIpamPubDbg = 0;
}
