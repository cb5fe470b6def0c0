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
    using Bytes = std::vector<uint8_t>;
    static Bytes parse(int family, const char *text) {
        Bytes b(family == AF_INET ? 4 : 16);
        inet_pton(family, text, b.data());
        return b;
    }
    static std::vector<Bytes> parse(int family, std::initializer_list<const char *> texts) {
        std::vector<Bytes> out;
        for (const char *t : texts) out.push_back(parse(family, t));
        return out;
    }

    std::vector<uint32_t> ifIndexes{1, 2, 3, 4, 5};
    std::vector<uint32_t> vrfs{0, 7};
    std::vector<Bytes> addr4 = parse(AF_INET, {"10.0.0.1", "10.0.0.2", "192.168.1.1", "172.16.5.4"});
    std::vector<Bytes> mask4 = parse(AF_INET, {"255.255.255.0", "255.255.0.0"});
    std::vector<uint32_t> attr4{0, 0x02, 0x40, 0x42, 0x60, 0x62, 0x20, 0x10, 0x12, 0x52, 0x82};
    std::vector<Bytes> addr6 = parse(AF_INET6, {"2001:db8::1", "2001:db8::2", "fe80::1",
                                                "2001:db8:aaaa:bbbb:cccc:dddd:eeee:1", "fe80:0:1:2:3:4:5:6"});
    std::vector<Bytes> mask6 = parse(AF_INET6, {"ffff:ffff:ffff:ffff::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"});
    std::vector<Bytes> dest6 = parse(AF_INET6, {"::", "2001:db8::99"});
    std::vector<uint32_t> attr6{0, 0x01, 0x40, 0x41, 0x60, 0x20, 0x80};

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
    static void put(void *to, const Bytes &b) { std::memcpy(to, b.data(), b.size()); }

    template <class Info>
    Info rand(Rng &rng) const {
        Info r;
        std::memset(&r, 0, sizeof r);
        r.ifIndex = rng.pick(ifIndexes);
        r.vrfIndex = rng.pick(vrfs);
        if constexpr (std::is_same_v<Info, Ipam4AddrInfo>) {
            put(&r.ipAddr, rng.pick(addr4));
            put(&r.ipMask, rng.pick(mask4));
            r.ipAttr = rng.pick(attr4);
        } else {
            put(r.ip6Addr, rng.pick(addr6));
            put(r.ip6Mask, rng.pick(mask6));
            put(r.ip6DestAddr, rng.pick(dest6));
            r.ip6Attr = rng.pick(attr6);
        }
        name(rng, r.ifIndex, r.ifName);
        return r;
    }
    Ipam4AddrInfo rand4(Rng &rng) const { return rand<Ipam4AddrInfo>(rng); }
    Ipam6AddrInfo rand6(Rng &rng) const { return rand<Ipam6AddrInfo>(rng); }
    uint32_t randAttr(Rng &rng, const Ipam4AddrInfo &) const { return rng.pick(attr4); }
    uint32_t randAttr(Rng &rng, const Ipam6AddrInfo &) const { return rng.pick(attr6); }

    // A changed form of a record: another mask, attribute, name or peer.
    Ipam4AddrInfo mutate(Rng &rng, Ipam4AddrInfo r) const {
        switch (rng.below(3)) {
        case 0: put(&r.ipMask, rng.pick(mask4)); break;
        case 1: r.ipAttr = rng.pick(attr4); break;
        default: name(rng, r.ifIndex, r.ifName); break;
        }
        return r;
    }
    Ipam6AddrInfo mutate(Rng &rng, Ipam6AddrInfo r) const {
        switch (rng.below(4)) {
        case 0: put(r.ip6Mask, rng.pick(mask6)); break;
        case 1: r.ip6Attr = rng.pick(attr6); break;
        case 2: put(r.ip6DestAddr, rng.pick(dest6)); break;
        default: name(rng, r.ifIndex, r.ifName); break;
        }
        return r;
    }
};

}  // namespace rel
