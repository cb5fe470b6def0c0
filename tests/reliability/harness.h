// Host-side helpers of the reliability suites: an event recorder for the
// host callback, the management export as a list of records, the public
// walks collected into vectors, a portable seeded generator and the small
// universe of records the streams draw from.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "ipam.h"
#include "ipam_platform.h"
#include "model.h"

namespace rel {

// Size of the record an event carries, 0 for the codes without one.
inline size_t recordSize(uint32_t code) {
    if (code & (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID))
        return sizeof(Ipam4AddrInfo);
    if (code &
        (IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_VALID | IPAM6_EVT_INVALID | IPAM6_EVT_UPDATE))
        return sizeof(Ipam6AddrInfo);
    return 0;
}

// Records every event the host callback receives. A record-less event that
// arrives with a pointer is recorded with a one-byte marker so it differs.
struct EventLog {
    static int32_t callback(uint32_t code, void *record) {
        Event e{code, {}};
        const auto *p = static_cast<const uint8_t *>(record);
        if (record)
            e.record = recordSize(code) ? std::vector<uint8_t>(p, p + recordSize(code))
                                        : std::vector<uint8_t>{0xee};
        std::lock_guard<std::mutex> g(mu);
        log.push_back(std::move(e));
        return 0;
    }
    static std::vector<Event> take() {
        std::lock_guard<std::mutex> g(mu);
        return std::exchange(log, {});
    }
    static inline std::mutex mu;
    static inline std::vector<Event> log;
};

// One export request of the family's table; the records of the reply in `out`.
template <class Info>
int32_t exportTable(const std::type_identity_t<Info> *cursor, int32_t limit,
                    std::vector<Info> *out) {
    ipamplat_cmf_param p{0, cursor ? static_cast<int32_t>(sizeof(Info)) : 0, cursor};
    ipamplat_cmf_request req{
        std::is_same_v<Info, Ipam4AddrInfo> ? IPAM_CMF_OBJ_ADDR4_TABLE : IPAM_CMF_OBJ_ADDR6_TABLE,
        IPAM_CMF_OP_GET,
        1,
        &p,
        limit,
        4};
    ipamplat_cmf_reply *reply = nullptr;
    int32_t r = ipamplat_cmf_send(&req, &reply);
    out->clear();
    for (uint32_t i = 0; i < ipamplat_cmf_reply_count(reply); i++) {
        int32_t id = -1, len = -1;
        const void *data = nullptr;
        ipamplat_cmf_reply_param(reply, i, &id, &len, &data);
        Info rec;
        std::memset(&rec, 0xa5, sizeof rec);
        if (id == 0 && len == static_cast<int32_t>(sizeof rec) && data)
            std::memcpy(&rec, data, sizeof rec);
        out->push_back(rec);
    }
    ipamplat_cmf_reply_free(reply);
    return r;
}

template <class Info>
int32_t collect(Info *rec, void *user) {
    static_cast<std::vector<Info> *>(user)->push_back(*rec);
    return 0;
}

// The public walk of one interface's records of the family.
template <class Info>
int32_t walk(uint32_t ifIndex, std::vector<Info> *out) {
    out->clear();
    if constexpr (std::is_same_v<Info, Ipam4AddrInfo>)
        return IPAM4_WalkAddrInfo(ifIndex, collect<Info>, out);
    else
        return IPAM6_WalkAddrInfo(ifIndex, collect<Info>, out);
}

template <class Info>
bool sameBytes(const Info &a, const Info &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
template <class Info>
bool sameBytes(const std::vector<Info> &a, const std::vector<Info> &b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

inline uint64_t envNumber(const char *name, uint64_t fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// Small deterministic generator (the same stream on every platform).
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed * 0x9e3779b97f4a7c15ull + 1) {}
    uint32_t next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 7;
        s_ ^= s_ << 17;
        return static_cast<uint32_t>(s_ >> 16);
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }
    bool chance(uint32_t percent) { return below(100) < percent; }
    template <class T>
    const T &pick(const std::vector<T> &v) {
        return v[below(static_cast<uint32_t>(v.size()))];
    }

private:
    uint64_t s_;
};

// The small universe random streams draw records from: few interfaces, two
// VRFs, a handful of addresses and masks, so that the same key turns up on
// several interfaces, records differ only in mask or attribute, and IPv6
// addresses share a bucket.
struct Universe {
    using Bytes = std::vector<uint8_t>;
    static std::vector<Bytes> parse(int family, std::initializer_list<const char *> texts) {
        std::vector<Bytes> out;
        for (const char *t : texts) {
            out.emplace_back(family == AF_INET ? 4 : 16);
            inet_pton(family, t, out.back().data());
        }
        return out;
    }

    std::vector<uint32_t> ifIndexes{1, 2, 3, 4, 5};
    std::vector<uint32_t> vrfs{0, 7};
    std::vector<Bytes> addr4 =
        parse(AF_INET, {"10.0.0.1", "10.0.0.2", "192.168.1.1", "172.16.5.4"});
    std::vector<Bytes> mask4 = parse(AF_INET, {"255.255.255.0", "255.255.0.0"});
    std::vector<uint32_t> attr4{0, 0x02, 0x40, 0x42, 0x60, 0x62, 0x20, 0x10, 0x12, 0x52, 0x82};
    std::vector<Bytes> addr6 =
        parse(AF_INET6, {"2001:db8::1", "2001:db8::2", "fe80::1",
                         "2001:db8:aaaa:bbbb:cccc:dddd:eeee:1", "fe80:0:1:2:3:4:5:6"});
    std::vector<Bytes> mask6 =
        parse(AF_INET6, {"ffff:ffff:ffff:ffff::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"});
    std::vector<Bytes> dest6 = parse(AF_INET6, {"::", "2001:db8::99"});
    std::vector<uint32_t> attr6{0, 0x01, 0x40, 0x41, 0x60, 0x20, 0x80};

    // Names an interface may arrive with: mostly its usual one, sometimes
    // another, a full 40-byte one without terminator, or a name it shares.
    std::vector<std::string> names(uint32_t ifIndex) const {
        std::string i = std::to_string(ifIndex);
        return {"eth" + i,
                "eth" + i,
                "eth" + i,
                "port" + i,
                std::string(40, static_cast<char>('a' + ifIndex)),
                "lag"};
    }
    void name(Rng &rng, uint32_t ifIndex, char out[IPAM_IFNAME_SIZE]) const {
        std::string n = rng.pick(names(ifIndex));
        std::memset(out, 0, IPAM_IFNAME_SIZE);
        std::memcpy(out, n.data(), std::min<size_t>(n.size(), IPAM_IFNAME_SIZE));
    }
    static void put(void *to, const Bytes &b) { std::memcpy(to, b.data(), b.size()); }
    uint32_t attr(Rng &rng, const Ipam4AddrInfo &) const { return rng.pick(attr4); }
    uint32_t attr(Rng &rng, const Ipam6AddrInfo &) const { return rng.pick(attr6); }

    // A changed form of a record: another mask, attribute, name or peer
    // (`what` out of range: all of them, for a new record).
    template <class Info>
    Info mutate(Rng &rng, Info r, uint32_t what) const {
        constexpr bool v4 = std::is_same_v<Info, Ipam4AddrInfo>;
        if (what == 0 || what > 3) {
            if constexpr (v4)
                put(&r.ipMask, rng.pick(mask4));
            else
                put(r.ip6Mask, rng.pick(mask6));
        }
        if (what == 1 || what > 3) FamilyOf<Info>::attr(r) = attr(rng, r);
        if (what == 2 || what > 3) name(rng, r.ifIndex, r.ifName);
        if constexpr (!v4)
            if (what == 3 || what > 3) put(r.ip6DestAddr, rng.pick(dest6));
        return r;
    }
    template <class Info>
    Info mutate(Rng &rng, const Info &r) const {
        return mutate(rng, r, rng.below(std::is_same_v<Info, Ipam4AddrInfo> ? 3 : 4));
    }

    template <class Info>
    Info rand(Rng &rng) const {
        Info r;
        std::memset(&r, 0, sizeof r);
        r.ifIndex = rng.pick(ifIndexes);
        r.vrfIndex = rng.pick(vrfs);
        if constexpr (std::is_same_v<Info, Ipam4AddrInfo>)
            put(&r.ipAddr, rng.pick(addr4));
        else
            put(r.ip6Addr, rng.pick(addr6));
        return mutate(rng, r, 9);
    }
};

}  // namespace rel
