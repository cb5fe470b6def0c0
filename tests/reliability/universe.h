// The small universe random streams draw records from: few interfaces, two
// VRFs, a handful of addresses and masks, so that the same key turns up on
// several interfaces, records differ only in mask or attribute, and IPv6
// addresses share a bucket.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "ipam.h"

namespace rel {

struct Universe {
    std::vector<uint32_t> ifIndexes{1, 2, 3, 4, 5};
    std::vector<uint32_t> vrfs{0, 7};
    std::vector<uint32_t> addr4;  // network byte order
    std::vector<uint32_t> mask4;
    std::vector<uint32_t> attr4{0, 0x02, 0x40, 0x42, 0x60, 0x62, 0x20, 0x10, 0x12, 0x52, 0x82};
    std::vector<std::vector<uint8_t>> addr6;
    std::vector<std::vector<uint8_t>> mask6;
    std::vector<std::vector<uint8_t>> dest6;
    std::vector<uint32_t> attr6{0, 0x01, 0x40, 0x41, 0x60, 0x20, 0x80};

    Universe() {
        for (const char *a : {"10.0.0.1", "10.0.0.2", "192.168.1.1", "172.16.5.4"}) addr4.push_back(v4(a));
        for (const char *m : {"255.255.255.0", "255.255.0.0"}) mask4.push_back(v4(m));
        for (const char *a : {"2001:db8::1", "2001:db8::2", "fe80::1", "2001:db8:aaaa:bbbb:cccc:dddd:eeee:1",
                              "fe80:0:1:2:3:4:5:6"})
            addr6.push_back(v6(a));
        for (const char *m : {"ffff:ffff:ffff:ffff::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"})
            mask6.push_back(v6(m));
        for (const char *d : {"::", "2001:db8::99"}) dest6.push_back(v6(d));
    }

    static uint32_t v4(const char *text) {
        in_addr a{};
        inet_pton(AF_INET, text, &a);
        uint32_t v;
        std::memcpy(&v, &a, 4);
        return v;
    }
    static std::vector<uint8_t> v6(const char *text) {
        std::vector<uint8_t> b(16);
        inet_pton(AF_INET6, text, b.data());
        return b;
    }

    // Names an interface may arrive with: mostly its usual one, sometimes
    // another, a full 40-byte one without terminator, or a name it shares.
    std::vector<std::string> names(uint32_t ifIndex) const {
        std::string i = std::to_string(ifIndex);
        return {"eth" + i, "eth" + i, "eth" + i, "port" + i, std::string(40, static_cast<char>('a' + ifIndex)),
                "lag"};
    }
    void name(Rng &rng, uint32_t ifIndex, char out[IPAM_IFNAME_SIZE]) const {
        std::string n = rng.pick(names(ifIndex));
        std::memset(out, 0, IPAM_IFNAME_SIZE);
        std::memcpy(out, n.data(), n.size() < IPAM_IFNAME_SIZE ? n.size() : IPAM_IFNAME_SIZE);
    }

    Ipam4AddrInfo rand4(Rng &rng) const {
        Ipam4AddrInfo r;
        std::memset(&r, 0, sizeof r);
        r.ifIndex = rng.pick(ifIndexes);
        r.vrfIndex = rng.pick(vrfs);
        r.ipAddr = rng.pick(addr4);
        r.ipMask = rng.pick(mask4);
        r.ipAttr = rng.pick(attr4);
        name(rng, r.ifIndex, r.ifName);
        return r;
    }
    Ipam6AddrInfo rand6(Rng &rng) const {
        Ipam6AddrInfo r;
        std::memset(&r, 0, sizeof r);
        r.ifIndex = rng.pick(ifIndexes);
        r.vrfIndex = rng.pick(vrfs);
        std::memcpy(r.ip6Addr, rng.pick(addr6).data(), 16);
        std::memcpy(r.ip6Mask, rng.pick(mask6).data(), 16);
        std::memcpy(r.ip6DestAddr, rng.pick(dest6).data(), 16);
        r.ip6Attr = rng.pick(attr6);
        name(rng, r.ifIndex, r.ifName);
        return r;
    }

    // A changed form of a record: another mask, attribute, name or peer.
    Ipam4AddrInfo mutate(Rng &rng, Ipam4AddrInfo r) const {
        switch (rng.below(3)) {
        case 0: r.ipMask = rng.pick(mask4); break;
        case 1: r.ipAttr = rng.pick(attr4); break;
        default: name(rng, r.ifIndex, r.ifName); break;
        }
        return r;
    }
    Ipam6AddrInfo mutate(Rng &rng, Ipam6AddrInfo r) const {
        switch (rng.below(4)) {
        case 0: std::memcpy(r.ip6Mask, rng.pick(mask6).data(), 16); break;
        case 1: r.ip6Attr = rng.pick(attr6); break;
        case 2: std::memcpy(r.ip6DestAddr, rng.pick(dest6).data(), 16); break;
        default: name(rng, r.ifIndex, r.ifName); break;
        }
        return r;
    }
};

}  // namespace rel
