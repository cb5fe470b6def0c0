// The address utilities as a host sees them: validity, masks and networks
// for every prefix length, text conversion both ways, comparison.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ipam.h"

namespace {

// The top `len` bits of an N-octet mask, built bit by bit: an independent
// reference for the mask and network functions.
template <size_t N>
void refMask(uint32_t len, uint8_t *out) {
    std::memset(out, 0, N);
    for (uint32_t bit = 0; bit < len; bit++) out[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
}

std::string hex(const uint8_t *b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(t, sizeof t, "%02x", b[i]);
        s += t;
    }
    return s;
}

uint32_t be(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

}  // namespace

TEST(Util, ValidityLooksAtTheFirstOctetOnly) {
    for (uint32_t first = 0; first < 256; first++) {
        bool valid = (first >= 1 && first <= 126) || (first >= 128 && first <= 223);
        EXPECT_EQ(IPAM4_IsIpAddrValid(be(static_cast<uint8_t>(first), 9, 9, 9)), valid ? 1 : 0)
            << first;
    }
}

TEST(Util, MasksForEveryPrefixLength) {
    for (uint32_t len = 0; len <= 32; len++) {
        uint8_t got[4], want[4];
        std::memset(got, 0x3c, sizeof got);
        refMask<4>(len, want);
        ASSERT_EQ(IPAM4_Len2Mask(len, got), 0) << len;
        EXPECT_EQ(hex(got, 4), hex(want, 4)) << len;
    }
    for (uint32_t len = 0; len <= 128; len++) {
        uint8_t got[16], want[16];
        std::memset(got, 0x3c, sizeof got);
        refMask<16>(len, want);
        ASSERT_EQ(IPAM6_Len2Mask(len, got), 0) << len;
        EXPECT_EQ(hex(got, 16), hex(want, 16)) << len;
    }
    uint8_t m[16];
    ASSERT_EQ(IPAM4_Len2Mask(25, m), 0);
    EXPECT_EQ(hex(m, 4), "ffffff80");
    ASSERT_EQ(IPAM6_Len2Mask(65, m), 0);
    EXPECT_EQ(hex(m, 16), "ffffffffffffffff8000000000000000");
}

TEST(Util, OutOfRangeLengthsAndNullPointersWriteNothing) {
    uint8_t buf[16], addr[16];
    std::memset(addr, 0xff, sizeof addr);
    for (uint32_t len : {33u, 64u, 4294967295u}) {
        std::memset(buf, 0x3c, sizeof buf);
        EXPECT_EQ(IPAM4_Len2Mask(len, buf), -1);
        EXPECT_EQ(IPAM4_GetNetwork(addr, buf, len), -1);
        EXPECT_EQ(hex(buf, 16), "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c");
    }
    for (uint32_t len : {129u, 256u, 4294967295u}) {
        std::memset(buf, 0x3c, sizeof buf);
        EXPECT_EQ(IPAM6_Len2Mask(len, buf), -1);
        EXPECT_EQ(IPAM6_GetNetwork(addr, buf, len), -1);
        EXPECT_EQ(hex(buf, 16), "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c");
    }
    EXPECT_EQ(IPAM4_Len2Mask(8, nullptr), -1);
    EXPECT_EQ(IPAM6_Len2Mask(8, nullptr), -1);
    EXPECT_EQ(IPAM4_GetNetwork(nullptr, buf, 8), -1);
    EXPECT_EQ(IPAM4_GetNetwork(addr, nullptr, 8), -1);
    EXPECT_EQ(IPAM6_GetNetwork(nullptr, buf, 8), -1);
    EXPECT_EQ(IPAM6_GetNetwork(addr, nullptr, 8), -1);
}

TEST(Util, NetworksForEveryPrefixLengthAlsoInPlace) {
    const uint8_t a4[4] = {192, 168, 1, 130};
    const uint8_t a6[16] = {0x20, 0x01, 0x0d, 0xb8, 0xde, 0xad, 0xbe, 0xef,
                            0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf1};
    for (uint32_t len = 0; len <= 32; len++) {
        uint8_t mask[4], want[4], got[4], inPlace[4];
        refMask<4>(len, mask);
        for (int i = 0; i < 4; i++) want[i] = a4[i] & mask[i];
        std::memset(got, 0x3c, sizeof got);
        ASSERT_EQ(IPAM4_GetNetwork(a4, got, len), 0);
        EXPECT_EQ(hex(got, 4), hex(want, 4)) << len;
        std::memcpy(inPlace, a4, 4);
        ASSERT_EQ(IPAM4_GetNetwork(inPlace, inPlace, len), 0);
        EXPECT_EQ(hex(inPlace, 4), hex(want, 4)) << "in place, " << len;
    }
    for (uint32_t len = 0; len <= 128; len++) {
        uint8_t mask[16], want[16], got[16], inPlace[16];
        refMask<16>(len, mask);
        for (int i = 0; i < 16; i++) want[i] = a6[i] & mask[i];
        std::memset(got, 0x3c, sizeof got);
        ASSERT_EQ(IPAM6_GetNetwork(a6, got, len), 0);
        EXPECT_EQ(hex(got, 16), hex(want, 16)) << len;
        std::memcpy(inPlace, a6, 16);
        ASSERT_EQ(IPAM6_GetNetwork(inPlace, inPlace, len), 0);
        EXPECT_EQ(hex(inPlace, 16), hex(want, 16)) << "in place, " << len;
    }
    uint8_t net[4];
    ASSERT_EQ(IPAM4_GetNetwork(a4, net, 25), 0);
    EXPECT_EQ(hex(net, 4), "c0a80180");  // 192.168.1.128
}

TEST(Util, TextToAddressTriesIpv4First) {
    IpamAddr a;
    std::memset(&a, 0, sizeof a);
    ASSERT_EQ(IPAM_String2Struct("10.0.0.1", &a), 0);
    EXPECT_EQ(a.family, 2);
    EXPECT_EQ(hex(a.addr, 16), "0a000001000000000000000000000000");

    // An IPv4 text writes only its four octets: the rest stays as it was.
    std::memset(&a, 0x77, sizeof a);
    ASSERT_EQ(IPAM_String2Struct("192.0.2.1", &a), 0);
    EXPECT_EQ(a.family, 2);
    EXPECT_EQ(hex(a.reserved, 3), "777777");
    EXPECT_EQ(hex(a.addr, 16), "c0000201777777777777777777777777");

    ASSERT_EQ(IPAM_String2Struct("::1", &a), 0);
    EXPECT_EQ(a.family, 10);
    EXPECT_EQ(hex(a.addr, 16), "00000000000000000000000000000001");
    ASSERT_EQ(IPAM_String2Struct("2001:db8::ffff:10.0.0.1", &a), 0);
    EXPECT_EQ(a.family, 10);
    EXPECT_EQ(hex(a.addr, 16), "20010db8000000000000ffff0a000001");

    for (const char *bad : {"1.2.3", "", "256.0.0.1", "10.0.0.1 ", "2001:db8:::1", "fe80::1%eth0",
                            "eth0", "1.2.3.4/24"}) {
        IpamAddr b;
        std::memset(&b, 0x77, sizeof b);
        EXPECT_EQ(IPAM_String2Struct(bad, &b), -1) << bad;
        EXPECT_EQ(b.family, 0x77) << bad;
    }
    EXPECT_EQ(IPAM_String2Struct(nullptr, &a), -1);
    EXPECT_EQ(IPAM_String2Struct("10.0.0.1", nullptr), -1);
}

TEST(Util, AddressToTextRefusesWhatLibcRefuses) {
    IpamAddr a;
    std::memset(&a, 0, sizeof a);
    char text[64];
    a.family = 2;
    const uint8_t v4[4] = {10, 0, 0, 1};
    std::memcpy(a.addr, v4, 4);
    ASSERT_EQ(IPAM_Struct2String(&a, text, sizeof text), text);
    EXPECT_STREQ(text, "10.0.0.1");
    EXPECT_EQ(IPAM_Struct2String(&a, text, 9), text);     // exactly "10.0.0.1" and its NUL
    EXPECT_EQ(IPAM_Struct2String(&a, text, 8), nullptr);  // one short

    a.family = 10;
    inet_pton(AF_INET6, "2001:db8::1", a.addr);
    ASSERT_EQ(IPAM_Struct2String(&a, text, sizeof text), text);
    EXPECT_STREQ(text, "2001:db8::1");

    a.family = 7;
    EXPECT_EQ(IPAM_Struct2String(&a, text, sizeof text), nullptr);
    EXPECT_EQ(IPAM_Struct2String(nullptr, text, sizeof text), nullptr);
    EXPECT_EQ(IPAM_Struct2String(&a, nullptr, sizeof text), nullptr);
}

TEST(Util, CompareCoversAllTwentyBytes) {
    IpamAddr a, b;
    std::memset(&a, 0, sizeof a);
    std::memset(&b, 0, sizeof b);
    ASSERT_EQ(IPAM_String2Struct("10.0.0.1", &a), 0);
    ASSERT_EQ(IPAM_String2Struct("10.0.0.1", &b), 0);
    EXPECT_EQ(IPAM_Compare(&a, &b), 0);
    b.reserved[1] = 1;
    EXPECT_LT(IPAM_Compare(&a, &b), 0);
    EXPECT_GT(IPAM_Compare(&b, &a), 0);
    b.reserved[1] = 0;
    b.addr[15] = 1;  // beyond the IPv4 octets, still compared
    EXPECT_NE(IPAM_Compare(&a, &b), 0);
    ASSERT_EQ(IPAM_String2Struct("10.0.0.2", &b), 0);
    b.addr[15] = 0;
    EXPECT_LT(IPAM_Compare(&a, &b), 0);
    EXPECT_EQ(IPAM_Compare(nullptr, &b), 0);
    EXPECT_EQ(IPAM_Compare(&a, nullptr), 0);
}
