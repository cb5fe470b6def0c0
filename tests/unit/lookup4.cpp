// IPv4 lookups over a real replica: the configured test, the primary
// address by index and by name, and the (VRF, address) lookup with records
// that refuse to be found by their key.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/db.h"
#include "ipam_platform.h"
#include "support/log_capture.h"

namespace {

uint32_t ip(const char *dotted) {
    uint32_t a = 0;
    inet_pton(AF_INET, dotted, &a);
    return a;
}

Ipam4AddrInfo rec(uint32_t ifIndex, const char *dotted, uint32_t attr = 0, uint32_t vrf = 0,
                  const char *name = nullptr) {
    Ipam4AddrInfo r{};
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    r.ipAddr = ip(dotted);
    r.ipMask = ip("255.255.255.0");
    r.ipAttr = attr;
    std::string n = name ? name : "eth" + std::to_string(ifIndex);
    std::strncpy(r.ifName, n.c_str(), sizeof r.ifName - 1);
    return r;
}

// A record-sized buffer filled with a pattern, to see that a failed lookup
// writes nothing.
struct Poisoned {
    Ipam4AddrInfo info;
    Poisoned() { std::memset(&info, 0xa5, sizeof info); }
    bool untouched() const {
        Poisoned fresh;
        return std::memcmp(&info, &fresh.info, sizeof info) == 0;
    }
};

class Lookup4 : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        gIpamPubDbg = 0;
        ASSERT_EQ(ipam_DbInit(), 0);
    }
    void TearDown() override {
        gIpamPubDbg = 0;
        ipam_DbUnInit();
    }
    void add(const Ipam4AddrInfo &r) { ASSERT_EQ(ipam4_AddAddrInfoNode(&r, 1), 0); }
};

}  // namespace

TEST_F(Lookup4, ConfiguredCountsAnyIpv4RecordAndTracesOnlyWhenAsked) {
    add(rec(1, "10.0.0.1"));  // no attributes at all: still configured
    Ipam6AddrInfo v6{};
    v6.ifIndex = 2;
    inet_pton(AF_INET6, "2001:db8::1", v6.ip6Addr);
    ASSERT_EQ(ipam6_AddAddrInfoNode(&v6, 1), 0);

    LogCapture log;
    EXPECT_EQ(ipam4_IsIpAddrConfigured(1), 0);
    EXPECT_EQ(ipam4_IsIpAddrConfigured(2), IPAM_ERR_NOT_FOUND);  // IPv6 only
    EXPECT_EQ(ipam4_IsIpAddrConfigured(3), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty());

    gIpamPubDbg = IPAM_DBG_DB;
    EXPECT_EQ(ipam4_IsIpAddrConfigured(3), IPAM_ERR_NOT_FOUND);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.has("Ipam db has not find the data with IfIndex 3"));
    EXPECT_EQ(log.lines()[0].level, 7u);
    EXPECT_EQ(log.lines()[0].logClass, 3u);
}

TEST_F(Lookup4, PrimaryByIndexIsTheFirstPrimaryAdded) {
    add(rec(1, "10.0.0.1"));
    add(rec(1, "10.0.0.2", IPAM4_ATTR_PRIMARY));
    add(rec(1, "10.0.0.3", IPAM4_ATTR_PRIMARY | IPAM_ATTR_VALID));
    Ipam4AddrInfo out{};
    ASSERT_EQ(ipam4_PriAddrInfoGetByIfIndex(1, &out), 0);
    Ipam4AddrInfo want = rec(1, "10.0.0.2", IPAM4_ATTR_PRIMARY);
    EXPECT_EQ(std::memcmp(&out, &want, sizeof out), 0);

    // Copied out whole into storage with no particular alignment.
    alignas(8) unsigned char raw[sizeof(Ipam4AddrInfo) + 1];
    ASSERT_EQ(ipam4_PriAddrInfoGetByIfIndex(1, reinterpret_cast<Ipam4AddrInfo *>(raw + 1)), 0);
    EXPECT_EQ(std::memcmp(raw + 1, &want, sizeof want), 0);
}

TEST_F(Lookup4, PrimaryRefusalsLeaveTheOutputAloneAndTraceOnlyTheNoPrimaryCase) {
    add(rec(1, "10.0.0.1", IPAM_ATTR_VALID));  // an interface without a primary
    gIpamPubDbg = IPAM_DBG_DB;
    LogCapture log;
    Poisoned out;

    EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(9, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfName("nosuch", &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty()) << "an unknown interface is not traced";

    EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(1, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfName("eth1", &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_AddrInfoGetByIfName("eth1", &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(log.has("Ipam db has not find the primary address with IfIndex 1"));
    EXPECT_TRUE(log.has("Ipam db has not find the primary address with ifName eth1"));
    EXPECT_EQ(log.lines().size(), 3u);

    log.clear();
    gIpamPubDbg = 0;
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(1, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Lookup4, ByNameComparesTheFirst39CharactersOnly) {
    const std::string name39(39, 'x');
    add(rec(4, "10.0.0.4", IPAM4_ATTR_PRIMARY, 0, name39.c_str()));
    Ipam4AddrInfo out{}, out2{};
    ASSERT_EQ(ipam4_PriAddrInfoGetByIfName((name39 + "tail").c_str(), &out), 0);
    EXPECT_EQ(out.ifIndex, 4u);
    ASSERT_EQ(ipam4_AddrInfoGetByIfName(name39.c_str(), &out2), 0);
    EXPECT_EQ(std::memcmp(&out, &out2, sizeof out), 0);
    EXPECT_EQ(ipam4_PriAddrInfoGetByIfName(name39.substr(1).c_str(), &out), IPAM_ERR_NOT_FOUND);
}

TEST_F(Lookup4, VrfKeyPassesOverRecordsMarkedNoVrfLookup) {
    add(rec(1, "10.0.0.1", 0, 1));
    add(rec(2, "10.0.0.1", 0, 2));
    Ipam4AddrInfo out{};
    ASSERT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(2, ip("10.0.0.1"), &out), 0);
    EXPECT_EQ(out.ifIndex, 2u);
    EXPECT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(3, ip("10.0.0.1"), &out), IPAM_ERR_NOT_FOUND);

    // Same key on three interfaces: the newest wins unless it refuses.
    add(rec(3, "10.0.0.1", 0, 1));
    ASSERT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(1, ip("10.0.0.1"), &out), 0);
    EXPECT_EQ(out.ifIndex, 3u);
    add(rec(4, "10.0.0.1", IPAM4_ATTR_NO_VRF_LOOKUP, 1));
    add(rec(5, "10.0.0.1", IPAM4_ATTR_NO_VRF_LOOKUP, 1));
    ASSERT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(1, ip("10.0.0.1"), &out), 0);
    EXPECT_EQ(out.ifIndex, 3u);

    Poisoned refused;
    add(rec(6, "10.9.9.9", IPAM4_ATTR_NO_VRF_LOOKUP, 1));
    add(rec(7, "10.9.9.9", IPAM4_ATTR_NO_VRF_LOOKUP | IPAM4_ATTR_PRIMARY, 1));
    gIpamPubDbg = IPAM_DBG_DB;
    LogCapture log;
    EXPECT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(1, ip("10.9.9.9"), &refused.info), IPAM_ERR_FAIL);
    EXPECT_TRUE(refused.untouched());
    EXPECT_TRUE(log.lines().empty()) << "all records refusing is not traced";
}

// Without a database every lookup answers as over an empty one, quietly.
TEST(Lookup4NoDb, AnswersNotFoundBeforeSetUpAndAfterTearDown) {
    ipamplat_reset();
    gIpamPubDbg = 0;
    LogCapture log;
    auto probe = [] {
        Poisoned out;
        EXPECT_EQ(ipam4_IsIpAddrConfigured(1), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam4_PriAddrInfoGetByIfIndex(1, &out.info), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam4_PriAddrInfoGetByIfName("eth1", &out.info), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam4_AddrInfoGetByIfName("eth1", &out.info), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam4_AddrInfoGetByVrfIndexAndIp(0, 0, &out.info), IPAM_ERR_NOT_FOUND);
        EXPECT_TRUE(out.untouched());
    };
    probe();
    ASSERT_EQ(ipam_DbInit(), 0);
    Ipam4AddrInfo r = rec(1, "10.0.0.1", IPAM4_ATTR_PRIMARY);
    ASSERT_EQ(ipam4_AddAddrInfoNode(&r, 1), 0);
    ipam_DbUnInit();
    probe();
    EXPECT_TRUE(log.lines().empty());
}
