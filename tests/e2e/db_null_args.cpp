// The exported database operations are reachable by any host: no null
// argument may fault them, each has a defined answer, and nothing changes.
#include <gtest/gtest.h>

#include <cstring>

#include "ipam.h"
#include "ipam_platform.h"

namespace {

void expectNullsAnswered() {
    Ipam4AddrInfo r4{};
    Ipam6AddrInfo r6{};
    uint8_t addr[16] = {0x20, 0x01, 0x0d, 0xb8};
    Ipam6Addr a6;
    std::memcpy(a6.octet, addr, sizeof addr);
    EXPECT_EQ(ipam4_AddAddrInfoNode(nullptr, 1), -1);
    EXPECT_EQ(ipam6_AddAddrInfoNode(nullptr, 1), -1);
    EXPECT_EQ(ipam6_UpdAddrInfoNode(nullptr, 1), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_DelAddrInfoNode(nullptr), 0);
    EXPECT_EQ(ipam6_DelAddrInfoNode(nullptr), 0);
    EXPECT_EQ(ipam4_IsAddrInfoNodeSame(nullptr, &r4), 0);
    EXPECT_EQ(ipam6_IsAddrInfoNodeSame(&r6, nullptr), 0);
    EXPECT_EQ(ipam4_DbNodeGetByVrfIndexAndIp(99, 0, nullptr), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_DbNodeGetByVrfIndexAndIp(99, a6, nullptr), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrMatchLen(nullptr, addr), 0);
    for (int32_t r :
         {ipam4_PriAddrInfoGetByIfIndex(1, nullptr), ipam4_PriAddrInfoGetByIfName(nullptr, &r4),
          ipam4_AddrInfoGetByIfName("eth0", nullptr),
          ipam4_AddrInfoGetByVrfIndexAndIp(0, 0, nullptr),
          ipam6_AddrInfoGetByIfIndexAndAddr(1, addr, nullptr),
          ipam6_AddrInfoGetByIfNameAndAddr(nullptr, addr, &r6),
          ipam6_AddrInfoGetByIfIndexAndIfAddr(1, nullptr, &r6),
          ipam6_AddrInfoGetByIfIndexAndIfAddr(1, addr, nullptr),
          ipam_DbAddrWalk(nullptr, nullptr, nullptr, nullptr),
          ipam6_DbAddrWalk(nullptr, nullptr, nullptr, nullptr),
          ipam_DbAddrWalkByIf(1, nullptr, nullptr), ipam6_DbAddrWalkByIf(1, nullptr, nullptr),
          ipam4_DbAddrInfoWalkByIf(1, nullptr, nullptr),
          ipam6_DbAddrInfoWalkByIf(1, nullptr, nullptr), IPAM4_WalkAddrInfo(1, nullptr, nullptr),
          IPAM6_WalkAddrInfo(1, nullptr, nullptr)})
        EXPECT_EQ(r, IPAM_ERR_PARAM);
    ipam_AddrInfoNumGet(nullptr);
}

}  // namespace

TEST(DbNullArguments, AnsweredWithAndWithoutADatabase) {
    ipamplat_reset();
    expectNullsAnswered();  // before any set-up
    ASSERT_EQ(ipam_DbInit(), 0);
    Ipam4AddrInfo r4{};
    r4.ifIndex = 1;
    std::strcpy(r4.ifName, "eth0");
    r4.ipAttr = IPAM4_ATTR_PRIMARY;
    ASSERT_EQ(ipam4_AddAddrInfoNode(&r4, 1), 0);
    expectNullsAnswered();
    uint32_t count = 0;
    ipam_AddrInfoNumGet(&count);
    EXPECT_EQ(count, 1u);  // nothing changed
    EXPECT_EQ(ipam_DbAddrWalk(
                  nullptr, [](Ipam4DbNode *, void *) { return 0; }, nullptr, nullptr),
              IPAM_WALK_END);
    EXPECT_EQ(ipam6_DbAddrWalk(
                  nullptr, [](Ipam6DbNode *, void *) { return 0; }, nullptr, nullptr),
              IPAM_WALK_END);
    ipam_DbUnInit();
    expectNullsAnswered();  // after tear-down
}
