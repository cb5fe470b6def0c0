// IPv6 lookups over a real replica: source-address selection with its
// fallbacks, and the not-found traces.
#include "unit/db_fixture.h"

namespace {

class Lookup6 : public DbTest {
protected:
    // The source chosen on interface 1 for `dest` (null: none), by index and
    // by name alike, or "" when there is none.
    std::string pick(const char *dest) {
        Ipam6AddrInfo out{}, byName{};
        A6 d = dest ? a6(dest) : A6{};
        int32_t r = ipam6_AddrInfoGetByIfIndexAndAddr(1, dest ? d.b : nullptr, &out);
        EXPECT_EQ(ipam6_AddrInfoGetByIfNameAndAddr("if1", dest ? d.b : nullptr, &byName), r);
        if (r != 0) return "";
        EXPECT_EQ(std::memcmp(&out, &byName, sizeof out), 0);
        char t[64] = {};
        inet_ntop(AF_INET6, out.ip6Addr, t, sizeof t);
        return t;
    }
};

}  // namespace

TEST_F(Lookup6, LongestPrefixWinsAndTiesGoToTheEarlierRecord) {
    for (const char *a : {"2001:db8:1::1/64", "2001:db8:2::1/64", "2001:db8:2::2/64"})
        add(addr6(1, a));
    EXPECT_EQ(pick("2001:db8:2::9"), "2001:db8:2::1");  // tie between the last two
    EXPECT_EQ(pick("2001:db8:2::2"), "2001:db8:2::2");  // exact beats the earlier one
    EXPECT_EQ(pick("2001:db8:1::5"), "2001:db8:1::1");
    EXPECT_EQ(pick("3000::1"), "2001:db8:1::1");  // all share 3 bits: the first
    EXPECT_EQ(pick(nullptr), "2001:db8:1::1");
}

TEST_F(Lookup6, NoSourceAndLinkLocalAreOnlyFallbacks) {
    add(addr6(1, "fe80::1/64"));
    add(addr6(1, "2001:db8::1/64", IPAM6_ATTR_NO_SOURCE));
    add(addr6(1, "fe80::2/64", IPAM6_ATTR_NO_SOURCE));
    // Only link-local and unusable records: the last link-local one, even
    // when it is itself marked, with or without a destination.
    for (const char *d : {"2001:db8::1", "fe80::1", static_cast<const char *>(nullptr)})
        EXPECT_EQ(pick(d), "fe80::2") << (d ? d : "no destination");

    // One eligible record beats any link-local one, whatever the prefix.
    add(addr6(1, "3000::1/64"));
    EXPECT_EQ(pick("fe80::1"), "3000::1");
    EXPECT_EQ(pick(nullptr), "3000::1");
    // fe80::/10 ends at febf: fec0:: is no link-local address.
    add(addr6(1, "fec0::1/64"));
    EXPECT_EQ(pick("fec0::2"), "fec0::1");
}

TEST_F(Lookup6, NothingUsableIsNotFoundWithItsTrace) {
    add(addr4(1, "0.0.0.0/0"));  // interface exists, no IPv6 record
    add(addr6(2, "2001:db8::1/64", IPAM6_ATTR_NO_SOURCE));
    gIpamPubDbg = IPAM_DBG_DB;
    LogCapture log;
    Poisoned<Ipam6AddrInfo> out;
    A6 d = a6("2001:db8::1");
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(1, d.b, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(2, d.b, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(7, nullptr, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfNameAndAddr("if2", nullptr, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfNameAndAddr("nosuch", d.b, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndIfAddr(1, d.b, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(log.texts(),
              (Lines{"Ipam6 db has not find the address with IfIndex 1",
                     "Ipam6 db has not find the address with IfIndex 2",
                     "Ipam6 db has not find the address with IfIndex 7",
                     "Ipam6 db has not find the address with ifName if2",
                     "Ipam6 db has not find the address with ifName nosuch",
                     "Ipam6 db has not find the address with IfIndex 1 and ip6Addr 2001:db8::1"}));
    log.clear();
    gIpamPubDbg = 0;
    EXPECT_EQ(ipam6_AddrInfoGetByIfIndexAndAddr(7, nullptr, &out.info), IPAM_ERR_NOT_FOUND);
    EXPECT_TRUE(log.lines().empty());
}

TEST(Lookup6MatchLen, CountsLeadingEqualBits) {
    uint8_t a[16] = {0x20, 0x01, 0x0d, 0xb8}, b[16];
    a[15] = 0x01;
    std::memcpy(b, a, 16);
    EXPECT_EQ(ipam6_AddrMatchLen(a, b), 128);
    b[15] = 0x02;  // differs in the last two bits
    EXPECT_EQ(ipam6_AddrMatchLen(a, b), 126);
    b[0] = 0xa0;  // differs in the top bit
    EXPECT_EQ(ipam6_AddrMatchLen(a, b), 0);
}
