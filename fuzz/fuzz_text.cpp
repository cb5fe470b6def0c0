// The text utilities: any text through IPAM_String2Struct must agree with
// the C library (IPv4 tried first) and round-trip through
// IPAM_Struct2String; any 20-byte record through IPAM_Struct2String with any
// buffer size must give a terminated text inside that buffer that parses
// back to the same address; the prefix functions must give contiguous masks
// and the network of any address, also in place.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace {

void roundTrip(const IpamAddr &a) {
    char text[64];
    FZ_CHECK(IPAM_Struct2String(&a, text, sizeof text) == text);
    IpamAddr b;
    std::memset(&b, 0, sizeof b);
    FZ_CHECK(IPAM_String2Struct(text, &b) == 0);
    FZ_CHECK(b.family == a.family);
    FZ_CHECK(std::memcmp(b.addr, a.addr, a.family == 2 ? 4 : 16) == 0);
}

void prefixes(const uint8_t *addr16, uint32_t len) {
    for (int family : {4, 16}) {
        uint8_t mask[16], net[16], inplace[16];
        std::memset(mask, 0x5a, sizeof mask);
        uint32_t bits = static_cast<uint32_t>(family) * 8;
        int32_t r = family == 4 ? IPAM4_Len2Mask(len, mask) : IPAM6_Len2Mask(len, mask);
        FZ_CHECK((r == 0) == (len <= bits));
        if (r != 0) {
            for (uint8_t m : mask) FZ_CHECK(m == 0x5a);  // untouched on failure
            continue;
        }
        for (uint32_t i = 0; i < bits; i++)
            FZ_CHECK(((mask[i / 8] >> (7 - i % 8)) & 1) == (i < len ? 1 : 0));
        auto network = family == 4 ? IPAM4_GetNetwork : IPAM6_GetNetwork;
        std::memcpy(inplace, addr16, 16);
        FZ_CHECK(network(addr16, net, len) == 0 && network(inplace, inplace, len) == 0);
        for (int i = 0; i < family; i++) {
            FZ_CHECK(net[i] == (addr16[i] & mask[i]));
            FZ_CHECK(inplace[i] == net[i]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size-- < 1) return 0;
    uint8_t mode = *data++;
    if (mode & 1) {
        // Text to record.
        std::string text(reinterpret_cast<const char *>(data), size);
        IpamAddr a;
        std::memset(&a, 0xee, sizeof a);
        int32_t r = IPAM_String2Struct(text.c_str(), &a);
        uint8_t ref[16];
        bool v4 = inet_pton(AF_INET, text.c_str(), ref) == 1;
        bool v6 = !v4 && inet_pton(AF_INET6, text.c_str(), ref) == 1;
        FZ_CHECK((r == 0) == (v4 || v6));
        if (r == 0) {
            FZ_CHECK(a.family == (v4 ? 2 : 10));
            FZ_CHECK(std::memcmp(a.addr, ref, v4 ? 4 : 16) == 0);
            FZ_CHECK(a.reserved[0] == 0xee && a.reserved[1] == 0xee && a.reserved[2] == 0xee);
            if (v4) FZ_CHECK(a.addr[4] == 0xee && a.addr[15] == 0xee);
            roundTrip(a);
        } else {
            FZ_CHECK(a.family == 0xee);
        }
        return 0;
    }
    // Record to text, with a buffer of exactly the size given.
    fz::Reader in(data, size);
    IpamAddr a;
    std::vector<uint8_t> raw = in.bytes(sizeof a);
    std::memcpy(&a, raw.data(), sizeof a);
    if (mode & 2) a.family = (mode & 4) ? 10 : 2;
    uint32_t bufSize = in.u8();
    std::vector<char> buf(bufSize ? bufSize : 1);
    char *t = IPAM_Struct2String(&a, bufSize ? buf.data() : nullptr, bufSize);
    if (t) {
        FZ_CHECK(t == buf.data());
        FZ_CHECK(std::memchr(buf.data(), 0, bufSize) != nullptr);
        FZ_CHECK(a.family == 2 || a.family == 10);
        roundTrip(a);
    }
    prefixes(a.addr, in.u8() < 240 ? in.u8() % 140 : in.u32());
    FZ_CHECK(IPAM_Compare(&a, &a) == 0);
    FZ_CHECK(IPAM_Compare(&a, nullptr) == 0);
    return 0;
}
