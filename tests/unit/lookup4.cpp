// IPv4 lookups over a real replica: the configured test, the primary
// address by index and by name, and the (VRF, address) lookup with records
// that refuse to be found by their key.
#include "unit/db_fixture.h"

using Lookup4 = DbTest;

TEST_F(Lookup4, ConfiguredCountsAnyIpv4RecordAndTracesOnlyWhenAsked) {
    add(addr4(1, "10.0.0.1/24"));  // no attributes at all: still configured
    add(addr6(2, "2001:db8::1/64"));
    LogCapture log;
    EXPECT_EQ(ipam4_IsIpAddrConfigured(1), 0);
    EXPECT_EQ(ipam4_IsIpAddrConfigured(2), IPAM_ERR_NOT_FOUND);  // IPv6 only
    EXPECT_EQ(ipam4_IsIpAddrConfigured(3), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty());

    gIpamPubDbg = IPAM_DBG_DB;
    EXPECT_EQ(ipam4_IsIpAddrConfigured(3), IPAM_ERR_NOT_FOUND);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.texts()[0], "Ipam db has not find the data with IfIndex 3");
    EXPECT_EQ(log.lines()[0].level, 7u);
    EXPECT_EQ(log.lines()[0].logClass, 3u);
}

TEST_F(Lookup4, PrimaryIsTheFirstAddedAndOnlyTheNoPrimaryRefusalIsTraced) {
    add(addr4(1, "10.0.0.1/24"));
    add(addr4(1, "10.0.0.2/24", IPAM4_ATTR_PRIMARY));
    add(addr4(1, "10.0.0.3/24", IPAM4_ATTR_PRIMARY | IPAM_ATTR_VALID));
    add(addr4(2, "10.0.0.4/24", IPAM_ATTR_VALID));  // an interface without a primary
    // Copied out whole into storage with no particular alignment.
    alignas(8) unsigned char raw[sizeof(Ipam4AddrInfo) + 1];
    ASSERT_EQ(ipam4_PriAddrInfoGetByIfIndex(1, reinterpret_cast<Ipam4AddrInfo *>(raw + 1)), 0);
    Ipam4AddrInfo want = addr4(1, "10.0.0.2/24", IPAM4_ATTR_PRIMARY);
    EXPECT_EQ(std::memcmp(raw + 1, &want, sizeof want), 0);

    gIpamPubDbg = IPAM_DBG_DB;
    LogCapture log;
    Poisoned<Ipam4AddrInfo> out;
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(9, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfName("nosuch", &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty()) << "an unknown interface is not traced";
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(2, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfName("if2", &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_AddrInfoGetByIfName("if2", &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(log.has("Ipam db has not find the primary address with IfIndex 2"));
    EXPECT_TRUE(log.has("Ipam db has not find the primary address with ifName if2"));
    EXPECT_EQ(log.lines().size(), 3u);

    log.clear();
    gIpamPubDbg = 0;
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(2, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Lookup4, ByNameComparesTheFirst39CharactersOnly) {
    const std::string name39(39, 'x');
    add(addr4(4, "10.0.0.4/24", IPAM4_ATTR_PRIMARY, 0, name39.c_str()));
    Ipam4AddrInfo out{}, out2{};
    ASSERT_EQ(ipam4_PriAddrInfoGetByIfName((name39 + "tail").c_str(), &out), 0);
    EXPECT_EQ(out.ifIndex, 4u);
    ASSERT_EQ(ipam4_AddrInfoGetByIfName(name39.c_str(), &out2), 0);
    EXPECT_EQ(std::memcmp(&out, &out2, sizeof out), 0);
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfName(name39.substr(1).c_str(), &out), IPAM_ERR_NOT_FOUND);
}

// The newest record of a key wins unless it refuses; when all refuse the
// answer is a failure, untraced.
TEST_F(Lookup4, VrfKeyPassesOverRecordsMarkedNoVrfLookup) {
    add(addr4(1, "10.0.0.1/24", 0, 1));
    add(addr4(2, "10.0.0.1/24", 0, 2));
    add(addr4(3, "10.0.0.1/24", 0, 1));
    add(addr4(4, "10.0.0.1/24", IPAM4_ATTR_NO_VRF_LOOKUP, 1));
    add(addr4(6, "10.9.9.9/24", IPAM4_ATTR_NO_VRF_LOOKUP, 1));
    add(addr4(7, "10.9.9.9/24", IPAM4_ATTR_NO_VRF_LOOKUP | IPAM4_ATTR_PRIMARY, 1));
    Ipam4AddrInfo out{};
    ASSERT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(2, ip4("10.0.0.1"), &out), 0);
    EXPECT_EQ(out.ifIndex, 2u);
    ASSERT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(1, ip4("10.0.0.1"), &out), 0);
    EXPECT_EQ(out.ifIndex, 3u);

    gIpamPubDbg = IPAM_DBG_DB;
    LogCapture log;
    Poisoned<Ipam4AddrInfo> refused;
    EXPECT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(1, ip4("10.9.9.9"), &refused.info), IPAM_ERR_FAIL);
    EXPECT_TRUE(refused.untouched());
    EXPECT_TRUE(log.lines().empty()) << "all records refusing is not traced";
    EXPECT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(3, ip4("10.0.0.1"), &refused.info), IPAM_ERR_NOT_FOUND);
}
