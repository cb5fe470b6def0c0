// Adding, updating and removing address records: identity under the care
// mask, batch stamps, the IPv6 attribute take-over, which of several equal
// records goes, interface node lifetime, the traces, and every operation
// without a database.
#include "unit/db_fixture.h"

namespace {

Ipam4DbNode *find4(uint32_t vrf, const char *addr) {
    Ipam4DbNode *n = nullptr;
    return ipam4_DbNodeGetByVrfIndexAndIp(vrf, ip4(addr), &n) == 0 ? n : nullptr;
}

Ipam6DbNode *find6(uint32_t vrf, const char *addr) {
    Ipam6DbNode *n = nullptr;
    Ipam6Addr a{};
    std::memcpy(a.octet, a6(addr).b, 16);
    return ipam6_DbNodeGetByVrfIndexAndIp(vrf, a, &n) == 0 ? n : nullptr;
}

using Addr = DbTest;

}  // namespace

TEST_F(Addr, Ipv4AttributeCountsOnlyWhileItsValidityIsCared) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_DB;
    Ipam4AddrInfo a = addr4(5, "10.0.0.1/24", 0x02), b = a;
    b.ipAttr = 0x62;
    std::strcpy(b.ifName, "other");  // the name never counts
    Ipam4AddrInfo otherMask = addr4(5, "10.0.0.1/16", 0x02);
    EXPECT_EQ(ipam4_IsAddrInfoNodeSame(&a, &b), 1);
    EXPECT_EQ(ipam4_IsAddrInfoNodeSame(&a, &otherMask), 0);
    for (uint32_t care : {IPAM4_EVT_IF_VALID, IPAM4_EVT_IF_INVALID, IPAM6_EVT_IF_VALID}) {
        gIpamCareEvt = care;  // the other family's bit changes nothing
        EXPECT_EQ(ipam4_IsAddrInfoNodeSame(&a, &b), care == IPAM6_EVT_IF_VALID ? 1 : 0) << care;
    }

    // Uncared, the same record again is only restamped.
    gIpamCareEvt = 0;
    add(a, 3);
    add(b, 4);
    EXPECT_TRUE(log.has("Ipam db addr info is exist"));
    Ipam4DbNode *n = find4(0, "10.0.0.1");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->batchVer, 4u);
    EXPECT_EQ(n->info.ipAttr, 0x02u);
    EXPECT_STREQ(n->info.ifName, "if5");
    // Cared, it is a second record, and the key lookup gives the newest.
    gIpamCareEvt = IPAM4_EVT_IF_VALID;
    add(b, 5);
    EXPECT_EQ(recordsOf<Ipam4AddrInfo>(5).size(), 2u);
    EXPECT_EQ(find4(0, "10.0.0.1")->info.ipAttr, 0x62u);
    EXPECT_EQ(ifCount(), 1u);

    n = reinterpret_cast<Ipam4DbNode *>(1);
    EXPECT_EQ(ipam4_DbNodeGetByVrfIndexAndIp(3, a.ipAddr, &n), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(n, nullptr);
    EXPECT_TRUE(log.has("Ipam db has not find the data with vrfIndex 3 ipAddr 10.0.0.1"));
}

TEST_F(Addr, Ipv6AddTakesOverTheAttributeAndUpdateIgnoresItButNotTheMask) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_DB;
    Ipam6AddrInfo r = addr6(7, "2001:db8::1/64", 0x40), again = r;
    add(r, 1);
    again.ip6Attr = 0x61;
    inet_pton(AF_INET6, "2001:db8::99", again.ip6DestAddr);  // never compared, never copied
    std::strcpy(again.ifName, "other");
    add(again, 2);
    EXPECT_TRUE(log.has("Ipam6 db addr info is exist, update ip6Attr (0x40-->0x61)"));
    auto recs = recordsOf<Ipam6AddrInfo>(7);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].ip6Attr, 0x61u);
    EXPECT_EQ(std::memcmp(recs[0].ip6DestAddr, r.ip6DestAddr, 16), 0);
    EXPECT_STREQ(recs[0].ifName, "if7");
    EXPECT_EQ(find6(0, "2001:db8::1")->batchVer, 2u);

    // An update matches whatever the care mask, so the attribute is taken
    // over; another mask is another record.
    gIpamCareEvt = IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID;
    Ipam6AddrInfo u = r;
    u.ip6Attr = 0x20;
    EXPECT_EQ(ipam6_UpdAddrInfoNode(&u, 5), 0);
    Ipam6DbNode *n = find6(0, "2001:db8::1");
    EXPECT_EQ(n->info.ip6Attr, 0x20u);
    EXPECT_EQ(n->batchVer, 5u);
    Ipam6AddrInfo otherMask = addr6(7, "2001:db8::1/16");
    EXPECT_EQ(ipam6_UpdAddrInfoNode(&otherMask, 9), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(n->batchVer, 5u);
    // An add under that mask counts the attribute: a second record.
    again.ip6Attr = 0x01;
    add(again, 6);
    EXPECT_EQ(recordsOf<Ipam6AddrInfo>(7).size(), 2u);

    Ipam6DbNode *none = n;
    Ipam6Addr key{};
    std::memcpy(key.octet, r.ip6Addr, 16);
    EXPECT_EQ(ipam6_DbNodeGetByVrfIndexAndIp(2, key, &none), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
}

// Deleting by record takes the newest of the records equal to it but for
// the attribute; removing by node takes exactly that node.
TEST_F(Addr, DeleteByRecordTakesTheNewestRemoveByNodeTakesThatOne) {
    gIpamCareEvt = IPAM4_EVT_IF_VALID | IPAM6_EVT_IF_VALID;
    Ipam4AddrInfo a = addr4(5, "10.0.0.1/24", 0x01), b = a, c = a, del = a;
    b.ipAttr = 0x02;
    c.ipAttr = 0x04;
    del.ipAttr = 0x80;
    for (auto *r : {&a, &b, &c}) add(*r);
    ASSERT_EQ(ipam4_DelAddrInfoNode(&del), 0);
    auto recs = recordsOf<Ipam4AddrInfo>(5);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].ipAttr, 0x01u);
    EXPECT_EQ(recs[1].ipAttr, 0x02u);
    ASSERT_EQ(ipam4DbNodeRemove(ipam4DbNodeGetByAll(&a)), 0);
    recs = recordsOf<Ipam4AddrInfo>(5);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].ipAttr, 0x02u);

    Ipam6AddrInfo x = addr6(5, "fe80::1/64", 0x01), y = x;
    y.ip6Attr = 0x02;
    add(x);
    add(y);
    ASSERT_EQ(ipam6DbNodeRemove(ipam6DbNodeGetByAll(&y)), 0);
    auto recs6 = recordsOf<Ipam6AddrInfo>(5);
    ASSERT_EQ(recs6.size(), 1u);
    EXPECT_EQ(recs6[0].ip6Attr, 0x01u);
    EXPECT_EQ(gIpamVrfIpHash.count + gIpam6VrfIpHash.count, 2u);
}

TEST_F(Addr, InterfaceNodeGoesWithItsLastAddress) {
    Ipam4AddrInfo v4 = addr4(5, "10.0.0.1/24"), missing = addr4(5, "10.0.0.2/24");
    Ipam6AddrInfo v6 = addr6(5, "2001:db8::1/64"), otherMask = addr6(5, "2001:db8::1/16");
    add(v4);
    add(addr4(6, "10.0.0.1/24"));  // same key, other interface
    add(v6);
    EXPECT_EQ(ifCount(), 2u);
    EXPECT_EQ(ipam4_DelAddrInfoNode(&missing), 0);
    EXPECT_EQ(ipam6_DelAddrInfoNode(&otherMask), 0);
    EXPECT_EQ(gIpamVrfIpHash.count + gIpam6VrfIpHash.count, 3u);

    ASSERT_EQ(ipam4_DelAddrInfoNode(&v4), 0);
    EXPECT_EQ(ifCount(), 2u);  // still holds its IPv6 address
    EXPECT_EQ(recordsOf<Ipam4AddrInfo>(6).size(), 1u);
    ASSERT_EQ(ipam6_DelAddrInfoNode(&v6), 0);
    EXPECT_EQ(ifCount(), 1u);
    EXPECT_EQ(ipam::ifNodeFind(5), nullptr);
    ASSERT_EQ(ipam4DbNodeRemove(find4(0, "10.0.0.1")), 0);
    EXPECT_EQ(ifCount(), 0u);
    EXPECT_EQ(gIpamVrfIpHash.count, 0u);
}

// Without a database (never set up, or torn down) every operation, lookup
// and query acts on an empty replica, quietly; an add fails where the
// interface node would be made.
TEST(AddrNoDb, BehavesAsEmptyAndNeverFaults) {
    ipamplat_reset();
    gIpamPubDbg = 0;
    const gnl_sem_t savedSem = gIpamDbSem;
    for (bool tornDown : {false, true}) {
        if (tornDown) {
            gIpamDbSem = savedSem;
            ASSERT_EQ(ipam_DbInit(), 0);
            add(addr4(5, "10.0.0.1/24", IPAM4_ATTR_PRIMARY));
            ipam_DbUnInit();
        } else {
            gIpamDbSem = gnl_sem_t{};  // as before the first set-up: no mutex yet
        }
        LogCapture log;
        Ipam4AddrInfo r4 = addr4(5, "10.0.0.1/24");
        Ipam6AddrInfo r6 = addr6(5, "2001:db8::1/64");
        EXPECT_EQ(ipam4_AddAddrInfoNode(&r4, 1), -1);
        EXPECT_EQ(ipam6_AddAddrInfoNode(&r6, 1), -1);
        EXPECT_EQ(log.texts(), (Lines{"Ipam db malloc ipam db node failed",
                                      "Ipam6 db malloc ipam db node failed"}));
        EXPECT_EQ(ipam6_UpdAddrInfoNode(&r6, 1), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam4_DelAddrInfoNode(&r4), 0);
        EXPECT_EQ(ipam6_DelAddrInfoNode(&r6), 0);
        EXPECT_EQ(ipam4DbNodeRemove(nullptr), 0);
        EXPECT_EQ(find4(0, "10.0.0.1"), nullptr);
        EXPECT_EQ(find6(0, "2001:db8::1"), nullptr);
        auto cb4 = [](Ipam4DbNode *, void *) { return 1; };
        auto cb6 = [](Ipam6DbNode *, void *) { return 1; };
        EXPECT_EQ(ipam_DbAddrWalk(nullptr, cb4, nullptr, nullptr), IPAM_WALK_END);
        EXPECT_EQ(ipam6_DbAddrWalk(&r6, cb6, nullptr, nullptr), IPAM_WALK_END);
        EXPECT_EQ(ipam_DbAddrWalkByIf(5, cb4, nullptr), 0);
        EXPECT_EQ(ipam6_DbAddrWalkByIf(5, cb6, nullptr), IPAM_ERR_NOT_FOUND);
        auto copy4 = [](Ipam4AddrInfo *, void *) { return 0; };
        auto copy6 = [](Ipam6AddrInfo *, void *) { return 0; };
        EXPECT_EQ(ipam4_DbAddrInfoWalkByIf(5, copy4, nullptr), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam6_DbAddrInfoWalkByIf(5, copy6, nullptr), IPAM_ERR_NOT_FOUND);
        EXPECT_NE(IPAM4_WalkAddrInfo(5, copy4, nullptr), 0);
        EXPECT_NE(IPAM6_WalkAddrInfo(5, copy6, nullptr), 0);

        // Readiness says yes while there is no database (a white-box
        // corner): the host's queries answer as the lookups do.
        gIpamBatchFlag = 1;
        Poisoned<Ipam4AddrInfo> o4;
        Poisoned<Ipam6AddrInfo> o6;
        const uint8_t *d = r6.ip6Addr;
        for (int32_t r : {ipam4_IsIpAddrConfigured(5), ipam4_PriAddrInfoGetByIfIndex(5, &o4.info),
                          ipam4_PriAddrInfoGetByIfName("if5", &o4.info),
                          ipam4_AddrInfoGetByIfName("if5", &o4.info),
                          ipam4_AddrInfoGetByVrfIndexAndIp(0, r4.ipAddr, &o4.info),
                          ipam6_AddrInfoGetByIfIndexAndAddr(5, d, &o6.info),
                          ipam6_AddrInfoGetByIfNameAndAddr("if5", nullptr, &o6.info),
                          ipam6_AddrInfoGetByIfIndexAndIfAddr(5, d, &o6.info),
                          IPAM4_GetAddrInfoByIfIndex(5, &o4.info), IPAM4_GetAddrInfoByIfName("if5", &o4.info),
                          IPAM4_GetAddrInfo(0, r4.ipAddr, &o4.info), IPAM6_GetAddrInfoByIfIndex(5, &o6.info),
                          IPAM6_GetAddrInfoByIfName("if5", &o6.info), IPAM6_GetAddrInfo(0, d, &o6.info)})
            EXPECT_EQ(r, IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(IPAM4_IsIpAddrConfigured(5), 0);
        gIpamBatchFlag = 0;
        EXPECT_TRUE(o4.untouched());
        EXPECT_TRUE(o6.untouched());
        EXPECT_EQ(log.texts().size(), 2u);  // no lock failures either
    }
    gIpamDbSem = savedSem;
}
