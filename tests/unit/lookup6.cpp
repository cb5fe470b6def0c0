// IPv6 lookups over a real replica: the common-prefix length, source-address
// selection with its fallbacks, and the exact-address lookup.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/db.h"
#include "ipam_platform.h"
#include "support/log_capture.h"

namespace {

struct A6 {
    uint8_t b[16];
};

A6 a6(const char *text) {
    A6 a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.b), 1) << text;
    return a;
}

Ipam6AddrInfo rec(uint32_t ifIndex, const char *text, uint32_t attr = 0, uint32_t vrf = 0) {
    Ipam6AddrInfo r{};
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    std::memcpy(r.ip6Addr, a6(text).b, 16);
    std::memset(r.ip6Mask, 0xff, 8);
    r.ip6Attr = attr;
    std::snprintf(r.ifName, sizeof r.ifName, "eth%u", ifIndex);
    return r;
}

std::string addrOf(const Ipam6AddrInfo &r) {
    char t[64] = {};
    inet_ntop(AF_INET6, r.ip6Addr, t, sizeof t);
    return t;
}

struct Poisoned {
    Ipam6AddrInfo info;
    Poisoned() { std::memset(&info, 0x5a, sizeof info); }
    bool untouched() const {
        Poisoned fresh;
        return std::memcmp(&info, &fresh.info, sizeof info) == 0;
    }
};

class Lookup6 : public ::testing::Test {
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
    void add(const Ipam6AddrInfo &r) { ASSERT_EQ(ipam6_AddAddrInfoNode(&r, 1), 0); }
    // The source chosen on interface 1 for `dest` (null: none), or "" on 14.
    std::string pick(const char *dest) {
        Ipam6AddrInfo out{};
        A6 d = dest ? a6(dest) : A6{};
        int32_t r = ipam6_AddrInfoGetByIfIndexAndAddr(1, dest ? d.b : nullptr, &out);
        Ipam6AddrInfo byName{};
        int32_t rn = ipam6_AddrInfoGetByIfNameAndAddr("eth1", dest ? d.b : nullptr, &byName);
        EXPECT_EQ(r, rn);
        if (r != 0) return "";
        EXPECT_EQ(std::memcmp(&out, &byName, sizeof out), 0);
        return addrOf(out);
    }
};

}  // namespace

TEST(Lookup6Match, CountsEqualLeadingBits) {
    A6 x = a6("2001:db8::1");
    EXPECT_EQ(ipam6_AddrMatchLen(x.b, x.b), 128);
    A6 y = a6("2001:db8::2");
    EXPECT_EQ(ipam6_AddrMatchLen(x.b, y.b), 126);
    // Flipping bit k (counted from the top of the first octet) leaves
    // exactly k equal leading bits, in either argument order.
    for (int k = 0; k < 128; k++) {
        A6 z = x;
        z.b[k / 8] ^= static_cast<uint8_t>(0x80u >> (k % 8));
        EXPECT_EQ(ipam6_AddrMatchLen(x.b, z.b), k) << k;
        EXPECT_EQ(ipam6_AddrMatchLen(z.b, x.b), k) << k;
    }
}

TEST_F(Lookup6, LongestPrefixWinsAndTiesGoToTheEarlierRecord) {
    add(rec(1, "2001:db8:1::1"));
    add(rec(1, "2001:db8:2::1"));
    add(rec(1, "2001:db8:2::2"));
    EXPECT_EQ(pick("2001:db8:2::9"), "2001:db8:2::1");  // tie between the last two
    EXPECT_EQ(pick("2001:db8:2::2"), "2001:db8:2::2");  // exact beats the earlier one
    EXPECT_EQ(pick("2001:db8:1::5"), "2001:db8:1::1");
    EXPECT_EQ(pick("3000::1"), "2001:db8:1::1");        // all share 3 bits: the first
    EXPECT_EQ(pick(nullptr), "2001:db8:1::1");
}

TEST_F(Lookup6, NoSourceAndLinkLocalAreOnlyFallbacks) {
    add(rec(1, "fe80::1"));
    add(rec(1, "2001:db8::1", IPAM6_ATTR_NO_SOURCE));
    add(rec(1, "fe80::2", IPAM6_ATTR_NO_SOURCE));
    // Only link-local and unusable records: the last link-local one, even
    // when it is itself marked, with or without a destination.
    EXPECT_EQ(pick("2001:db8::1"), "fe80::2");
    EXPECT_EQ(pick("fe80::1"), "fe80::2");
    EXPECT_EQ(pick(nullptr), "fe80::2");

    // One eligible record beats any link-local one, whatever the prefix.
    add(rec(1, "3000::1"));
    EXPECT_EQ(pick("fe80::1"), "3000::1");
    EXPECT_EQ(pick(nullptr), "3000::1");
    // fe80::/10 ends at febf: fec0:: is no link-local address.
    add(rec(1, "fec0::1"));
    EXPECT_EQ(pick("fec0::2"), "fec0::1");
}

TEST_F(Lookup6, NothingUsableIsNotFoundWithItsTrace) {
    Ipam4AddrInfo v4{};
    v4.ifIndex = 1;
    std::strcpy(v4.ifName, "eth1");
    ASSERT_EQ(ipam4_AddAddrInfoNode(&v4, 1), 0);  // interface exists, no IPv6 record
    add(rec(2, "2001:db8::1", IPAM6_ATTR_NO_SOURCE));

    gIpamPubDbg = IPAM_DBG_DB;
    LogCapture log;
    Poisoned out;
    A6 d = a6("2001:db8::1");
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(1, d.b, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(2, d.b, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(7, nullptr, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfNameAndAddr("eth2", nullptr, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfNameAndAddr("nosuch", d.b, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(log.has("Ipam6 db has not find the address with IfIndex 1"));
    EXPECT_TRUE(log.has("Ipam6 db has not find the address with IfIndex 2"));
    EXPECT_TRUE(log.has("Ipam6 db has not find the address with IfIndex 7"));
    EXPECT_TRUE(log.has("Ipam6 db has not find the address with ifName eth2"));
    EXPECT_TRUE(log.has("Ipam6 db has not find the address with ifName nosuch"));
    EXPECT_EQ(log.lines().size(), 5u);

    log.clear();
    gIpamPubDbg = 0;
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(7, nullptr, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Lookup6, ExactAddressIgnoresAttributesAndStaysOnItsInterface) {
    add(rec(1, "2001:db8::1"));
    add(rec(1, "fe80::1", IPAM6_ATTR_NO_SOURCE));
    add(rec(2, "2001:db8::2"));
    Ipam6AddrInfo out{};
    A6 ll = a6("fe80::1");
    ASSERT_EQ(ipam6_AddrInfoGetByIfIndexAndIfAddr(1, ll.b, &out), 0);
    Ipam6AddrInfo want = rec(1, "fe80::1", IPAM6_ATTR_NO_SOURCE);
    EXPECT_EQ(std::memcmp(&out, &want, sizeof out), 0);

    // Copied out whole into storage with no particular alignment.
    alignas(8) unsigned char raw[sizeof(Ipam6AddrInfo) + 3];
    ASSERT_EQ(ipam6_AddrInfoGetByIfIndexAndIfAddr(1, ll.b, reinterpret_cast<Ipam6AddrInfo *>(raw + 3)),
              0);
    EXPECT_EQ(std::memcmp(raw + 3, &want, sizeof want), 0);

    gIpamPubDbg = IPAM_DBG_DB;
    LogCapture log;
    Poisoned miss;
    A6 other = a6("2001:db8::2");
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndIfAddr(1, other.b, &miss.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndIfAddr(9, other.b, &miss.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(miss.untouched());
    EXPECT_TRUE(log.has("Ipam6 db has not find the address with IfIndex 1 and ip6Addr 2001:db8::2"));
    EXPECT_TRUE(log.has("Ipam6 db has not find the address with IfIndex 9 and ip6Addr 2001:db8::2"));
}

TEST(Lookup6NoDb, AnswersNotFoundBeforeSetUpAndAfterTearDown) {
    ipamplat_reset();
    gIpamPubDbg = 0;
    LogCapture log;
    auto probe = [] {
        Poisoned out;
        A6 d = a6("2001:db8::1");
        EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(1, d.b, &out.info), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam6_AddrInfoGetByIfNameAndAddr("eth1", nullptr, &out.info), IPAM_ERR_NOT_FOUND);
        EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndIfAddr(1, d.b, &out.info), IPAM_ERR_NOT_FOUND);
        EXPECT_TRUE(out.untouched());
    };
    probe();
    ASSERT_EQ(ipam_DbInit(), 0);
    Ipam6AddrInfo r = rec(1, "2001:db8::1");
    ASSERT_EQ(ipam6_AddAddrInfoNode(&r, 1), 0);
    ipam_DbUnInit();
    probe();
    EXPECT_TRUE(log.lines().empty());
}
