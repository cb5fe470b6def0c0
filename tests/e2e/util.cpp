// The address utilities as a host sees them: validity, masks and networks
// for every prefix length, text conversion both ways, comparison.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ipam.h"

namespace {

std::string hex(const uint8_t *b, size_t n) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(t, sizeof t, "%02x", b[i]);
        s += t;
    }
    return s;
}

// Masks and networks of an N-octet family for every prefix length, against
// a mask built bit by bit; out of range lengths and null pointers write
// nothing.
template <size_t N>
void checkFamily(int32_t (*len2Mask)(uint32_t, uint8_t *),
                 int32_t (*network)(const uint8_t *, uint8_t *, uint32_t), const uint8_t *addr) {
    const std::string untouched = hex(std::vector<uint8_t>(N, 0x3c).data(), N);
    for (uint32_t len = 0; len <= 8 * N; len++) {
        uint8_t want[N] = {}, net[N], got[N], inPlace[N];
        for (uint32_t bit = 0; bit < len; bit++) want[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
        for (size_t i = 0; i < N; i++) net[i] = addr[i] & want[i];
        std::memset(got, 0x3c, N);
        ASSERT_EQ(len2Mask(len, got), 0) << len;
        EXPECT_EQ(hex(got, N), hex(want, N)) << len;
        std::memset(got, 0x3c, N);
        ASSERT_EQ(network(addr, got, len), 0) << len;
        EXPECT_EQ(hex(got, N), hex(net, N)) << len;
        std::memcpy(inPlace, addr, N);
        ASSERT_EQ(network(inPlace, inPlace, len), 0) << len;
        EXPECT_EQ(hex(inPlace, N), hex(net, N)) << "in place, " << len;
    }
    for (uint32_t len : {8 * N + 1, 8 * N + 32, size_t{4294967295u}}) {
        uint8_t buf[N];
        std::memset(buf, 0x3c, N);
        EXPECT_EQ(len2Mask(static_cast<uint32_t>(len), buf), -1) << len;
        EXPECT_EQ(network(addr, buf, static_cast<uint32_t>(len)), -1) << len;
        EXPECT_EQ(hex(buf, N), untouched) << len;
    }
    uint8_t buf[N];
    EXPECT_EQ(len2Mask(8, nullptr), -1);
    EXPECT_EQ(network(nullptr, buf, 8), -1);
    EXPECT_EQ(network(addr, nullptr, 8), -1);
}

}  // namespace

TEST(Util, ValidityLooksAtTheFirstOctetOnly) {
    for (uint32_t first = 0; first < 256; first++) {
        bool valid = (first >= 1 && first <= 126) || (first >= 128 && first <= 223);
        EXPECT_EQ(IPAM4_IsIpAddrValid((first << 24) | 0x090909u), valid ? 1 : 0) << first;
    }
}

TEST(Util, MasksAndNetworksForEveryPrefixLength) {
    const uint8_t a4[4] = {192, 168, 1, 130};
    const uint8_t a6[16] = {0x20, 0x01, 0x0d, 0xb8, 0xde, 0xad, 0xbe, 0xef,
                            0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf1};
    checkFamily<4>(IPAM4_Len2Mask, IPAM4_GetNetwork, a4);
    checkFamily<16>(IPAM6_Len2Mask, IPAM6_GetNetwork, a6);
    // The reference itself, once by hand.
    uint8_t m[16];
    ASSERT_EQ(IPAM6_Len2Mask(65, m), 0);
    EXPECT_EQ(hex(m, 16), "ffffffffffffffff8000000000000000");
    ASSERT_EQ(IPAM4_GetNetwork(a4, m, 25), 0);
    EXPECT_EQ(hex(m, 4), "c0a80180");
}

TEST(Util, TextToAddressTriesIpv4First) {
    IpamAddr a;
    // An IPv4 text writes only its four octets: the rest stays as it was.
    std::memset(&a, 0x77, sizeof a);
    ASSERT_EQ(IPAM_String2Struct("192.0.2.1", &a), 0);
    EXPECT_EQ(a.family, 2);
    EXPECT_EQ(hex(a.reserved, 3), "777777");
    EXPECT_EQ(hex(a.addr, 16), "c0000201777777777777777777777777");
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
    ASSERT_EQ(IPAM_String2Struct("10.0.0.1", &a), 0);
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
