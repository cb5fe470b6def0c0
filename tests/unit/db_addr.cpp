// Adding, updating and removing address records: identity under the care
// mask, batch stamps, the IPv6 attribute take-over, which of several equal
// records goes, interface node lifetime, and the traces.
#include "support/log_capture.h"
#include "unit/db_addr_fixture.h"

namespace {

Ipam4DbNode *find4(uint32_t vrf, const char *addr) {
    Ipam4DbNode *n = nullptr;
    uint32_t ip = 0;
    inet_pton(AF_INET, addr, &ip);
    return ipam4_DbNodeGetByVrfIndexAndIp(vrf, ip, &n) == 0 ? n : nullptr;
}

Ipam6DbNode *find6(uint32_t vrf, const char *addr) {
    Ipam6DbNode *n = nullptr;
    Ipam6Addr a{};
    inet_pton(AF_INET6, addr, a.octet);
    return ipam6_DbNodeGetByVrfIndexAndIp(vrf, a, &n) == 0 ? n : nullptr;
}

using Addr4 = AddrDb;
using Addr6 = AddrDb;
using AddrRemoval = AddrDb;

}  // namespace

TEST_F(Addr4, StoredRecordIsOnlyRestamped) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_DB;
    Ipam4AddrInfo r = rec4(5, "10.0.0.1", 0x02);
    EXPECT_EQ(ipam4_AddAddrInfoNode(&r, 3), 0);
    Ipam4AddrInfo again = r;
    again.ipAttr = 0x42;                              // attribute not tracked: same record
    std::strcpy(again.ifName, "other");               // the name never counts
    EXPECT_EQ(ipam4_AddAddrInfoNode(&again, 4), 0);
    EXPECT_TRUE(log.has("Ipam db addr info is exist"));
    ASSERT_EQ(recordsOf<Ipam4AddrInfo>(5).size(), 1u);
    Ipam4DbNode *n = find4(0, "10.0.0.1");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->batchVer, 4u);
    EXPECT_EQ(n->info.ipAttr, 0x02u);
    EXPECT_STREQ(n->info.ifName, "eth0");
}

TEST_F(Addr4, AttributeCountsWhileInterfaceValidityIsTracked) {
    Ipam4AddrInfo a = rec4(5, "10.0.0.1", 0x02), b = a;
    b.ipAttr = 0x62;
    EXPECT_EQ(ipam4_IsAddrInfoNodeSame(&a, &b), 1);
    for (uint32_t care : {IPAM4_EVT_IF_VALID, IPAM4_EVT_IF_INVALID}) {
        gIpamCareEvt = care;
        EXPECT_EQ(ipam4_IsAddrInfoNodeSame(&a, &b), 0) << care;
    }
    gIpamCareEvt = IPAM6_EVT_IF_VALID;  // the other family's bit changes nothing
    EXPECT_EQ(ipam4_IsAddrInfoNodeSame(&a, &b), 1);
    Ipam4AddrInfo m = rec4(5, "10.0.0.1", 0x02, "255.255.0.0");
    EXPECT_EQ(ipam4_IsAddrInfoNodeSame(&a, &m), 0);

    gIpamCareEvt = IPAM4_EVT_IF_VALID;
    ASSERT_EQ(ipam4_AddAddrInfoNode(&a, 1), 0);
    ASSERT_EQ(ipam4_AddAddrInfoNode(&b, 2), 0);
    auto recs = recordsOf<Ipam4AddrInfo>(5);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].ipAttr, 0x62u);
    EXPECT_EQ(find4(0, "10.0.0.1")->info.ipAttr, 0x62u);  // the key lookup gives the newest
    EXPECT_EQ(ifCount(), 1u);
}

TEST_F(Addr4, KeyLookupMissIsTracedWithVrfAndDottedAddress) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_DB;
    Ipam4AddrInfo r = rec4(5, "10.0.0.1", 0, "255.255.255.0", 1);
    ASSERT_EQ(ipam4_AddAddrInfoNode(&r, 1), 0);
    Ipam4DbNode *n = reinterpret_cast<Ipam4DbNode *>(1);
    EXPECT_EQ(ipam4_DbNodeGetByVrfIndexAndIp(3, r.ipAddr, &n), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(n, nullptr);
    EXPECT_TRUE(log.has("Ipam db has not find the data with vrfIndex 3 ipAddr 10.0.0.1"));
    EXPECT_NE(find4(1, "10.0.0.1"), nullptr);
}

TEST_F(Addr6, StoredRecordTakesOverTheAttribute) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_DB;
    Ipam6AddrInfo r = rec6(7, "2001:db8::1", 0x40);
    ASSERT_EQ(ipam6_AddAddrInfoNode(&r, 1), 0);
    Ipam6AddrInfo again = r;
    again.ip6Attr = 0x61;
    inet_pton(AF_INET6, "2001:db8::99", again.ip6DestAddr);  // never compared, never copied
    std::strcpy(again.ifName, "other");
    ASSERT_EQ(ipam6_AddAddrInfoNode(&again, 2), 0);
    EXPECT_TRUE(log.has("Ipam6 db addr info is exist, update ip6Attr (0x40-->0x61)"));
    auto recs = recordsOf<Ipam6AddrInfo>(7);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].ip6Attr, 0x61u);
    EXPECT_EQ(std::memcmp(recs[0].ip6DestAddr, r.ip6DestAddr, 16), 0);
    EXPECT_STREQ(recs[0].ifName, "eth0");
    EXPECT_EQ(find6(0, "2001:db8::1")->batchVer, 2u);

    gIpamCareEvt = IPAM6_EVT_IF_INVALID;  // now the attribute makes a second record
    again.ip6Attr = 0x01;
    ASSERT_EQ(ipam6_AddAddrInfoNode(&again, 3), 0);
    EXPECT_EQ(recordsOf<Ipam6AddrInfo>(7).size(), 2u);
}

TEST_F(Addr6, UpdateIgnoresTheAttributeButNotTheMask) {
    gIpamCareEvt = IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID;
    Ipam6AddrInfo r = rec6(7, "2001:db8::1", 0x00);
    ASSERT_EQ(ipam6_AddAddrInfoNode(&r, 1), 0);
    Ipam6AddrInfo u = r;
    u.ip6Attr = 0x60;
    EXPECT_EQ(ipam6_UpdAddrInfoNode(&u, 5), 0);
    Ipam6DbNode *n = find6(0, "2001:db8::1");
    EXPECT_EQ(n->info.ip6Attr, 0x60u);
    EXPECT_EQ(n->batchVer, 5u);

    Ipam6AddrInfo other = rec6(7, "2001:db8::1", 0x00, "ffff::");
    EXPECT_EQ(ipam6_UpdAddrInfoNode(&other, 9), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(n->batchVer, 5u);
    EXPECT_EQ(recordsOf<Ipam6AddrInfo>(7).size(), 1u);

    Ipam6DbNode *none = n;
    Ipam6Addr a{};
    std::memcpy(a.octet, r.ip6Addr, 16);
    EXPECT_EQ(ipam6_DbNodeGetByVrfIndexAndIp(2, a, &none), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
}

// Deleting by record takes the newest of the records equal to it but for
// the attribute; removing by node takes exactly that node.
TEST_F(AddrRemoval, ByRecordTakesTheNewestByNodeTakesThatOne) {
    gIpamCareEvt = IPAM4_EVT_IF_VALID | IPAM6_EVT_IF_VALID;
    Ipam4AddrInfo a = rec4(5, "10.0.0.1", 0x01), b = a, c = a, del = a;
    b.ipAttr = 0x02;
    c.ipAttr = 0x04;
    del.ipAttr = 0x80;
    for (auto *r : {&a, &b, &c}) ASSERT_EQ(ipam4_AddAddrInfoNode(r, 1), 0);
    ASSERT_EQ(ipam4_DelAddrInfoNode(&del), 0);
    auto recs = recordsOf<Ipam4AddrInfo>(5);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].ipAttr, 0x01u);
    EXPECT_EQ(recs[1].ipAttr, 0x02u);
    Ipam4DbNode *oldest = ipam4DbNodeGetByAll(&a);
    ASSERT_EQ(ipam4DbNodeRemove(oldest), 0);
    recs = recordsOf<Ipam4AddrInfo>(5);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].ipAttr, 0x02u);

    Ipam6AddrInfo x = rec6(5, "fe80::1", 0x01), y = x;
    y.ip6Attr = 0x02;
    ASSERT_EQ(ipam6_AddAddrInfoNode(&x, 1), 0);
    ASSERT_EQ(ipam6_AddAddrInfoNode(&y, 1), 0);
    ASSERT_EQ(ipam6DbNodeRemove(ipam6DbNodeGetByAll(&y)), 0);
    auto recs6 = recordsOf<Ipam6AddrInfo>(5);
    ASSERT_EQ(recs6.size(), 1u);
    EXPECT_EQ(recs6[0].ip6Attr, 0x01u);
    EXPECT_EQ(gIpamVrfIpHash.count + gIpam6VrfIpHash.count, 2u);
}

TEST_F(AddrRemoval, InterfaceNodeGoesWithItsLastAddress) {
    Ipam4AddrInfo v4 = rec4(5, "10.0.0.1"), elsewhere = rec4(6, "10.0.0.1");
    Ipam6AddrInfo v6 = rec6(5, "2001:db8::1");
    ASSERT_EQ(ipam4_AddAddrInfoNode(&v4, 1), 0);
    ASSERT_EQ(ipam4_AddAddrInfoNode(&elsewhere, 1), 0);  // same key, other interface
    ASSERT_EQ(ipam6_AddAddrInfoNode(&v6, 1), 0);
    EXPECT_EQ(ifCount(), 2u);

    Ipam4AddrInfo missing = rec4(5, "10.0.0.2");
    EXPECT_EQ(ipam4_DelAddrInfoNode(&missing), 0);
    Ipam6AddrInfo otherMask = rec6(5, "2001:db8::1", 0, "ffff::");
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

// Without a database (never set up, or torn down) every operation acts on an
// empty replica; an add fails where the interface node would be made.
TEST(AddrNoDb, BehavesAsEmptyAndNeverFaults) {
    const gnl_sem_t savedSem = gIpamDbSem;
    for (bool tornDown : {false, true}) {
        if (tornDown) {
            gIpamDbSem = savedSem;
            ASSERT_EQ(ipam_DbInit(), 0);
            ipam_DbUnInit();
        } else {
            gIpamDbSem = gnl_sem_t{};  // as before the first set-up: no mutex yet
        }
        LogCapture log;
        Ipam4AddrInfo r4 = rec4(5, "10.0.0.1");
        Ipam6AddrInfo r6 = rec6(5, "2001:db8::1");
        EXPECT_EQ(ipam4_AddAddrInfoNode(&r4, 1), -1);
        EXPECT_EQ(ipam6_AddAddrInfoNode(&r6, 1), -1);
        EXPECT_EQ(log.texts(), (std::vector<std::string>{"Ipam db malloc ipam db node failed",
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
        EXPECT_TRUE(recordsOf<Ipam4AddrInfo>(5).empty());
        EXPECT_EQ(ipam4_DbAddrInfoWalkByIf(5, [](Ipam4AddrInfo *, void *) { return 0; }, nullptr),
                  IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam6_DbAddrInfoWalkByIf(5, [](Ipam6AddrInfo *, void *) { return 0; }, nullptr),
                  IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(log.texts().size(), 2u);  // no lock failures either
    }
    gIpamDbSem = savedSem;
}
