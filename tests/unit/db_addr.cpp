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
