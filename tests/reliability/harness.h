// Host-side helpers of the reliability suites: an event recorder for the
// host callback, the management export as a list of records, and the public
// walks collected into vectors. Only public headers and platform controls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
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
    switch (code) {
    case IPAM4_EVT_ADD: case IPAM4_EVT_DEL: case IPAM4_EVT_VALID: case IPAM4_EVT_INVALID:
        return sizeof(Ipam4AddrInfo);
    case IPAM6_EVT_ADD: case IPAM6_EVT_DEL: case IPAM6_EVT_VALID: case IPAM6_EVT_INVALID:
    case IPAM6_EVT_UPDATE:
        return sizeof(Ipam6AddrInfo);
    default: return 0;
    }
}

// Records every event the host callback receives. A record-less event that
// arrives with a pointer is recorded with a one-byte marker so it differs.
struct EventLog {
    static int32_t callback(uint32_t code, void *record) {
        Event e{code, {}};
        size_t n = recordSize(code);
        const auto *p = static_cast<const uint8_t *>(record);
        if (record) e.record = n ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>{0xee};
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
int32_t exportTable(const std::type_identity_t<Info> *cursor, int32_t limit, std::vector<Info> *out) {
    ipamplat_cmf_param p{0, cursor ? static_cast<int32_t>(sizeof(Info)) : 0, cursor};
    ipamplat_cmf_request req{};
    req.objectId = std::is_same_v<Info, Ipam4AddrInfo> ? IPAM_CMF_OBJ_ADDR4_TABLE : IPAM_CMF_OBJ_ADDR6_TABLE;
    req.operation = IPAM_CMF_OP_GET;
    req.paramCount = 1;
    req.params = &p;
    req.encodeLimit = limit;
    req.encodeLimitAnswer = 4;
    ipamplat_cmf_reply *reply = nullptr;
    int32_t r = ipamplat_cmf_send(&req, &reply);
    out->clear();
    for (uint32_t i = 0; i < ipamplat_cmf_reply_count(reply); i++) {
        int32_t id = -1, len = -1;
        const void *data = nullptr;
        ipamplat_cmf_reply_param(reply, i, &id, &len, &data);
        Info rec;
        std::memset(&rec, 0xa5, sizeof rec);
        if (id == 0 && len == static_cast<int32_t>(sizeof rec) && data) std::memcpy(&rec, data, sizeof rec);
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
    if constexpr (std::is_same_v<Info, Ipam4AddrInfo>) return IPAM4_WalkAddrInfo(ifIndex, collect<Info>, out);
    else return IPAM6_WalkAddrInfo(ifIndex, collect<Info>, out);
}

template <class Info>
bool sameBytes(const Info &a, const Info &b) { return std::memcmp(&a, &b, sizeof a) == 0; }
template <class Info>
bool sameBytes(const std::vector<Info> &a, const std::vector<Info> &b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}
inline bool sameBytes(const Event &a, const Event &b) { return a == b; }

inline std::string describe(const Ipam4AddrInfo &r) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "v4{if %u vrf %u addr %08x mask %08x attr %#x name %.40s}",
                  r.ifIndex, r.vrfIndex, be32(&r.ipAddr), be32(&r.ipMask), r.ipAttr, r.ifName);
    return buf;
}
inline std::string describe(const Ipam6AddrInfo &r) {
    char buf[220];
    std::snprintf(buf, sizeof buf, "v6{if %u vrf %u addr %08x..%08x mask %08x..%08x peer ..%08x attr %#x name %.40s}",
                  r.ifIndex, r.vrfIndex, be32(r.ip6Addr), be32(r.ip6Addr + 12), be32(r.ip6Mask),
                  be32(r.ip6Mask + 12), be32(r.ip6DestAddr + 12), r.ip6Attr, r.ifName);
    return buf;
}
inline std::string describe(const Event &e) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "evt %#x ", e.code);
    std::string s = buf;
    Ipam4AddrInfo r4;
    Ipam6AddrInfo r6;
    if (e.record.size() == sizeof r4) s += describe(*static_cast<Ipam4AddrInfo *>(std::memcpy(&r4, e.record.data(), sizeof r4)));
    else if (e.record.size() == sizeof r6) s += describe(*static_cast<Ipam6AddrInfo *>(std::memcpy(&r6, e.record.data(), sizeof r6)));
    else if (!e.record.empty()) s += "(unexpected record)";
    return s;
}

// Side by side, marking the rows that differ.
template <class T>
std::string sideBySide(const std::vector<T> &got, const std::vector<T> &want) {
    std::string s;
    for (size_t i = 0; i < std::max(got.size(), want.size()); i++) {
        bool same = i < got.size() && i < want.size() && sameBytes(got[i], want[i]);
        s += (same ? "   got  " : " ! got  ") + (i < got.size() ? describe(got[i]) : "-") + "\n     want " +
             (i < want.size() ? describe(want[i]) : "-") + "\n";
    }
    return s;
}

// An unsigned number from the environment, or `fallback`.
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
    const T &pick(const std::vector<T> &v) { return v[below(static_cast<uint32_t>(v.size()))]; }

private:
    uint64_t s_;
};

}  // namespace rel
