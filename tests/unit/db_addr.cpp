// The lines the address store and the IPv4 lookups write: what each path
// traces under the database bit, and the errors without a database.
#include "unit/db_fixture.h"

using Addr = DbTest;

TEST_F(Addr, EachPathWritesItsLineUnderTheDatabaseBit) {
    Ipam4AddrInfo a = addr4(5, "10.0.0.1/24");
    Ipam6AddrInfo r6 = addr6(7, "2001:db8::1/64", 0x40), again6 = r6;
    again6.ip6Attr = 0x61;
    add(a);
    add(r6);
    add(addr4(2, "10.0.0.4/24", IPAM_ATTR_VALID));  // an interface without a primary
    add(addr4(6, "10.9.9.9/24", IPAM4_ATTR_NO_VRF_LOOKUP));
    Poisoned<Ipam4AddrInfo> out;
    Ipam4DbNode *n = nullptr;
    auto run = [&] {
        add(a, 2);
        add(again6, 2);
        ipam4_DbNodeGetByVrfIndexAndIp(3, a.ipAddr, &n);
        ipam4_IsIpAddrConfigured(3);
        ipam4_PriAddrInfoGetByIfIndex(9, &out.info);  // unknown interfaces are not traced
        ipam4_PriAddrInfoGetByIfName("nosuch", &out.info);
        ipam4_PriAddrInfoGetByIfIndex(2, &out.info);
        ipam4_PriAddrInfoGetByIfName("if2", &out.info);
        ipam4_AddrInfoGetByVrfIndexAndIp(0, ip4("10.9.9.9"), &out.info);  // all refusing: untraced
    };
    LogCapture log;
    run();
    EXPECT_TRUE(log.lines().empty());
    again6.ip6Attr = 0x20;
    gIpamPubDbg = IPAM_DBG_DB;
    run();
    EXPECT_EQ(log.texts(), (Lines{"Ipam db addr info is exist",
                                  "Ipam6 db addr info is exist, update ip6Attr (0x61-->0x20)",
                                  "Ipam db has not find the data with vrfIndex 3 ipAddr 10.0.0.1",
                                  "Ipam db has not find the data with IfIndex 3",
                                  "Ipam db has not find the primary address with IfIndex 2",
                                  "Ipam db has not find the primary address with ifName if2"}));
    for (const LogLine &l : log.lines()) {
        EXPECT_EQ(l.level, 7u);
        EXPECT_EQ(l.logClass, 3u);
    }
    EXPECT_TRUE(out.untouched());
}

// Without a database (never set up, or torn down) an add fails where the
// interface node would be made, with its error line, and nothing faults.
TEST(AddrNoDb, AddsFailWithTheirLinesBeforeSetUpAndAfterTearDown) {
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
        EXPECT_EQ(ipam4_DelAddrInfoNode(&r4), 0);
        EXPECT_EQ(ipam6_UpdAddrInfoNode(&r6, 1), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ifCount(), 0u);
        EXPECT_EQ(log.texts(), (Lines{"Ipam db malloc ipam db node failed",
                                      "Ipam6 db malloc ipam db node failed"}));
    }
    gIpamDbSem = savedSem;
}
