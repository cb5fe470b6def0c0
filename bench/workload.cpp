#include "workload.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace bench {
namespace {

uint64_t splitmix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

void putWord(uint8_t *at, uint32_t w) {
    const uint32_t be = htonl(w);
    std::memcpy(at, &be, 4);
}

uint32_t getWord(const uint8_t *at) {
    uint32_t be;
    std::memcpy(&be, at, 4);
    return ntohl(be);
}

// Interface identifier without a zero 32-bit half.
uint64_t randomIid(uint64_t seed) {
    uint64_t v = splitmix(seed);
    if ((v >> 32) == 0) v |= 1ull << 40;
    if ((v & 0xffffffffu) == 0) v |= 1;
    return v;
}

// lookup2's mix and the index hashes, to describe the indexes' spread.
inline void mix(uint32_t &a, uint32_t &b, uint32_t &c) {
    a -= b;
    a -= c;
    a ^= c >> 13;
    b -= c;
    b -= a;
    b ^= a << 8;
    c -= a;
    c -= b;
    c ^= b >> 13;
    a -= b;
    a -= c;
    a ^= c >> 12;
    b -= c;
    b -= a;
    b ^= a << 16;
    c -= a;
    c -= b;
    c ^= b >> 5;
    a -= b;
    a -= c;
    a ^= c >> 3;
    b -= c;
    b -= a;
    b ^= a << 10;
    c -= a;
    c -= b;
    c ^= b >> 15;
}

constexpr uint32_t kGolden = 0x9e3779b9u;

uint32_t hash4(uint32_t vrf, uint32_t addrHost) {
    uint32_t x = kGolden + vrf, y = kGolden + addrHost, z = 28;
    mix(x, y, z);
    return z;
}

uint32_t hash6(uint32_t vrf, const uint8_t *a) {
    uint32_t x = kGolden + vrf;
    uint32_t y = kGolden + (getWord(a) & getWord(a + 4) & getWord(a + 8) & getWord(a + 12));
    uint32_t z = 28;
    mix(x, y, z);
    return z;
}

BucketStats stats(const std::vector<uint32_t> &hashes) {
    std::vector<uint32_t> chain(1024, 0);
    for (uint32_t h : hashes) ++chain[h % 1024];
    BucketStats s{0, 0, 0.0};
    double walked = 0;
    for (uint32_t c : chain) {
        s.used += c != 0;
        s.longest = std::max(s.longest, c);
        walked += 0.5 * c * (c + 1.0);  // positions 1..c, each looked up once
    }
    s.meanChain = hashes.empty() ? 0.0 : walked / static_cast<double>(hashes.size());
    return s;
}

uint32_t envCount(const char *name, uint32_t fallback, uint32_t most) {
    const char *text = std::getenv(name);
    const unsigned long v = text && *text ? std::strtoul(text, nullptr, 10) : fallback;
    if (v < 1 || v > most) {
        std::fprintf(stderr, "%s must be 1 to %u\n", name, most);
        std::exit(2);
    }
    return static_cast<uint32_t>(v);
}

// Host bits of an interface's IPv4 block: a /20 each (4094 hosts, over a
// million records at 256 interfaces or more), from 10.0.0.0 on, past
// 10.255.255.255 beyond 4096 interfaces; fewer interfaces get the whole /8
// shared out between them.
uint32_t hostBits() {
    static const uint32_t bits = [] {
        if (interfaceCount() >= 256) return 12u;
        uint32_t b = 24;
        while ((1u << (24 - b)) < interfaceCount()) --b;
        return b;
    }();
    return bits;
}

}  // namespace

uint32_t interfaceCount() {
    static const uint32_t n = envCount("IPAM_BENCH_INTERFACES", 384, 65535);
    return n;
}
uint32_t vrfCount() {
    static const uint32_t n = envCount("IPAM_BENCH_VRFS", 8, 65535);
    return n;
}

uint32_t ifIndexOf(uint32_t iface) { return kFirstIfIndex + iface; }
uint32_t vrfOf(uint32_t iface) { return iface % vrfCount(); }

void ifNameOf(uint32_t iface, char out[IPAM_IFNAME_SIZE]) {
    std::memset(out, 0, IPAM_IFNAME_SIZE);
    std::snprintf(out, IPAM_IFNAME_SIZE, "Ethernet1/%u", iface + 1);
}

Ipam4AddrInfo record4(uint32_t k) {
    const uint32_t iface = k % interfaceCount();
    const uint32_t slot = k / interfaceCount();
    Ipam4AddrInfo r;
    std::memset(&r, 0, sizeof r);
    r.ifIndex = ifIndexOf(iface);
    r.vrfIndex = vrfOf(iface);
    // One block per interface from 10.0.0.0 on; hosts numbered from .1.
    r.ipAddr = htonl(0x0a000000u + (iface << hostBits()) + slot + 1);
    r.ipMask = htonl(~((1u << hostBits()) - 1));
    r.ipAttr = IPAM_ATTR_VALID | IPAM_ATTR_IF_VALID | (slot == 0 ? IPAM4_ATTR_PRIMARY : 0u);
    ifNameOf(iface, r.ifName);
    return r;
}

Ipam6AddrInfo record6(uint32_t k, V6Shape shape) {
    const uint32_t iface = k % interfaceCount();
    const uint32_t slot = k / interfaceCount();
    Ipam6AddrInfo r;
    std::memset(&r, 0, sizeof r);
    r.ifIndex = ifIndexOf(iface);
    r.vrfIndex = vrfOf(iface);
    uint64_t iid = shape == V6Shape::Spread ? randomIid(k) : slot + 1ull;
    if (slot == 0) {
        // fe80::<iid>
        putWord(r.ip6Addr, 0xfe800000u);
        if (shape == V6Shape::Realistic) iid = iface + 1ull;
    } else {
        // 2001:db8:<vrf>:<if>::/64
        putWord(r.ip6Addr, 0x20010db8u);
        putWord(r.ip6Addr + 4, (r.vrfIndex << 16) | (iface + 1));
    }
    putWord(r.ip6Addr + 8, static_cast<uint32_t>(iid >> 32));
    putWord(r.ip6Addr + 12, static_cast<uint32_t>(iid));
    std::memset(r.ip6Mask, 0xff, 8);
    r.ip6Attr = IPAM_ATTR_VALID | IPAM_ATTR_IF_VALID;
    ifNameOf(iface, r.ifName);
    return r;
}

std::vector<Ipam4AddrInfo> table4(std::size_t n) {
    std::vector<Ipam4AddrInfo> t;
    t.reserve(n);
    for (std::size_t k = 0; k < n; ++k) t.push_back(record4(static_cast<uint32_t>(k)));
    return t;
}

std::vector<Ipam6AddrInfo> table6(std::size_t n, V6Shape shape) {
    std::vector<Ipam6AddrInfo> t;
    t.reserve(n);
    for (std::size_t k = 0; k < n; ++k) t.push_back(record6(static_cast<uint32_t>(k), shape));
    return t;
}

const std::vector<uint32_t> &fillOrder(std::size_t n) {
    static std::vector<uint32_t> order;
    if (order.size() == n) return order;
    order.resize(n);
    for (std::size_t k = 0; k < n; ++k) order[k] = static_cast<uint32_t>(k);
    std::mt19937 rng(2024);
    for (std::size_t round = 0; round < n; round += interfaceCount()) {
        const auto end = order.begin() + static_cast<std::ptrdiff_t>(
                                             std::min<std::size_t>(n, round + interfaceCount()));
        std::shuffle(order.begin() + static_cast<std::ptrdiff_t>(round), end, rng);
    }
    return order;
}

std::vector<uint32_t> visitOrder(std::size_t n, std::size_t length) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(n - 1));
    std::vector<uint32_t> order(length);
    for (auto &v : order) v = pick(rng);
    return order;
}

void destinationFor(uint32_t iface, uint8_t out[16]) {
    std::memset(out, 0, 16);
    putWord(out, 0x20010db8u);
    putWord(out + 4, (vrfOf(iface) << 16) | (iface + 1));
    putWord(out + 12, 0x0000ffffu);
}

BucketStats bucketStats4(const std::vector<Ipam4AddrInfo> &t) {
    std::vector<uint32_t> h;
    h.reserve(t.size());
    for (const auto &r : t) h.push_back(hash4(r.vrfIndex, ntohl(r.ipAddr)));
    return stats(h);
}

BucketStats bucketStats6(const std::vector<Ipam6AddrInfo> &t) {
    std::vector<uint32_t> h;
    h.reserve(t.size());
    for (const auto &r : t) h.push_back(hash6(r.vrfIndex, r.ip6Addr));
    return stats(h);
}

}  // namespace bench
