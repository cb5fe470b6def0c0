// The address utilities as a host sees them: validity, masks and networks
// for every prefix length, text conversion both ways, comparison.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ipam.h"

namespace {

std::string hex(const uint8_t *b, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += "0123456789abcdef"[b[i] >> 4], s += "0123456789abcdef"[b[i] & 15];
    return s;
}

// Every prefix length against a mask built bit by bit, the network also in
// place; out of range lengths and null pointers write nothing.
template <size_t N>
void checkFamily(int32_t (*len2Mask)(uint32_t, uint8_t *),
                 int32_t (*network)(const uint8_t *, uint8_t *, uint32_t), const uint8_t *addr) {
    for (uint32_t len = 0; len <= 8 * N; len++) {
        uint8_t want[N] = {}, net[N], got[N], inPlace[N];
        for (uint32_t bit = 0; bit < len; bit++)
            want[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
        for (size_t i = 0; i < N; i++) net[i] = addr[i] & want[i];
        std::memset(got, 0x3c, N);
        ASSERT_EQ(len2Mask(len, got), 0) << len;
        EXPECT_EQ(hex(got, N), hex(want, N)) << len;
        ASSERT_EQ(network(addr, got, len), 0) << len;
        EXPECT_EQ(hex(got, N), hex(net, N)) << len;
        std::memcpy(inPlace, addr, N);
        ASSERT_EQ(network(inPlace, inPlace, len), 0) << len;
        EXPECT_EQ(hex(inPlace, N), hex(net, N)) << "in place, " << len;
    }
    for (uint32_t len : {uint32_t{8 * N + 1}, 4294967295u}) {
        uint8_t buf[N];
        std::memset(buf, 0x3c, N);
        EXPECT_EQ(len2Mask(len, buf), -1) << len;
        EXPECT_EQ(network(addr, buf, len), -1) << len;
        for (uint8_t byte : buf) EXPECT_EQ(byte, 0x3c) << len;
    }
    EXPECT_EQ(len2Mask(8, nullptr), -1);
    uint8_t buf[N];
    EXPECT_EQ(network(nullptr, buf, 8), -1);
    EXPECT_EQ(network(addr, nullptr, 8), -1);
}

IpamAddr parsed(const char *text) {
    IpamAddr a;
    std::memset(&a, 0, sizeof a);
    EXPECT_EQ(IPAM_String2Struct(text, &a), 0) << text;
    return a;
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
}

TEST(Util, TextConversionBothWaysAndBothFamilies) {
    struct Good {
        const char *text, *family_addr, *back;
    };
    const Good good[] = {
        {"192.0.2.1", "02c0000201", "192.0.2.1"},
        {"2001:db8::ffff:10.0.0.1", "0a20010db8000000000000ffff0a000001", "2001:db8::ffff:a00:1"}};
    for (const Good &g : good) {
        IpamAddr a = parsed(g.text);
        EXPECT_EQ(hex(&a.family, 1) + hex(a.addr, a.family == 2 ? 4 : 16), g.family_addr);
        char text[64];
        ASSERT_EQ(IPAM_Struct2String(&a, text, sizeof text), text);
        EXPECT_STREQ(text, g.back);
        EXPECT_EQ(IPAM_Struct2String(&a, text, std::strlen(g.back) + 1), text);  // exactly fits
        EXPECT_EQ(IPAM_Struct2String(&a, text, static_cast<uint32_t>(std::strlen(g.back))),
                  nullptr);
    }
    IpamAddr a;
    std::memset(&a, 0x77, sizeof a);  // an IPv4 text writes only its four octets
    ASSERT_EQ(IPAM_String2Struct("192.0.2.1", &a), 0);
    EXPECT_EQ(hex(a.addr + 4, 12), std::string(24, '7'));
    for (const char *bad : {"1.2.3", "", "256.0.0.1", "10.0.0.1 ", "2001:db8:::1", "fe80::1%eth0",
                            "eth0", "1.2.3.4/24", static_cast<const char *>(nullptr)}) {
        std::memset(&a, 0x77, sizeof a);
        EXPECT_EQ(IPAM_String2Struct(bad, &a), -1) << (bad ? bad : "null");
        EXPECT_EQ(a.family, 0x77);
    }
    char text[64];
    EXPECT_EQ(IPAM_String2Struct("10.0.0.1", nullptr), -1);
    a.family = 7;
    EXPECT_EQ(IPAM_Struct2String(&a, text, sizeof text), nullptr);
    EXPECT_EQ(IPAM_Struct2String(nullptr, text, sizeof text), nullptr);
}

TEST(Util, CompareCoversAllTwentyBytes) {
    IpamAddr a = parsed("10.0.0.1"), b = parsed("10.0.0.1");
    EXPECT_EQ(IPAM_Compare(&a, &b), 0);
    b.reserved[1] = 1;
    EXPECT_LT(IPAM_Compare(&a, &b), 0);
    EXPECT_GT(IPAM_Compare(&b, &a), 0);
    b = parsed("10.0.0.1");
    b.addr[15] = 1;  // beyond the IPv4 octets, still compared
    EXPECT_NE(IPAM_Compare(&a, &b), 0);
    b = parsed("10.0.0.2");
    EXPECT_LT(IPAM_Compare(&a, &b), 0);
    EXPECT_EQ(IPAM_Compare(nullptr, &b), 0);
    EXPECT_EQ(IPAM_Compare(&a, nullptr), 0);
}
