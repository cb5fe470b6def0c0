// Shared pieces of the fuzz targets: a byte reader over the input, records
// built from a few input bytes so that keys collide often, and consistency
// checks over the replica that hold whatever the input was.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "ipam.h"
#include "ipam_platform.h"
#include "sub/dispatch.h"

namespace fz {

// Every message code the publisher may send, and a few it may not: the
// fuzzers pick most codes from here, the rest at random.
inline constexpr int32_t kCodes[16] = {IPAM4_EVT_BATCH,
                                       IPAM4_EVT_ADD,
                                       IPAM4_EVT_DEL,
                                       IPAM_EVT_RELAY,
                                       IPAM6_EVT_BATCH,
                                       IPAM6_EVT_ADD,
                                       IPAM6_EVT_DEL,
                                       IPAM6_EVT_UPDATE,
                                       IPAM4_EVT_IF_VALID,
                                       IPAM4_EVT_IF_INVALID,
                                       IPAM6_EVT_IF_VALID,
                                       IPAM6_EVT_IF_INVALID,
                                       0x3,
                                       IPAM4_EVT_VALID,
                                       0,
                                       -1};

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    uint8_t u8() { return p_ == end_ ? 0 : *p_++; }
    uint32_t u32() {
        return uint32_t{u8()} << 24 | uint32_t{u8()} << 16 | uint32_t{u8()} << 8 | u8();
    }
    // `len` bytes into a buffer of exactly that size (zero fill past the
    // input), so reading beyond what was handed over trips ASan.
    std::vector<uint8_t> bytes(size_t len) {
        std::vector<uint8_t> out(len);
        for (auto &b : out) b = u8();
        return out;
    }

private:
    const uint8_t *p_, *end_;
};

#define FZ_CHECK(cond)                                                                    \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("IPAM_PLATFORM_QUIET", "1", 1);
    ipamplat_log_set_stderr(0);
    return 0;
}

// A record from three input bytes: small interface, VRF, address and mask
// choices, any attribute; names of any length up to the full 40 bytes.
template <class Info>
Info record(Reader &in) {
    static const uint32_t addrs4[] = {0x0100000a, 0x0200000a, 0x0101a8c0, 0x0000000a};
    static const uint8_t addrs6[4][16] = {
        {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0x20, 0x01, 0x0d, 0xb8, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
        {0xfe, 0x80, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7}};
    Info r;
    std::memset(&r, 0, sizeof r);
    uint8_t a = in.u8();
    uint32_t attr = in.u8();
    r.ifIndex = a & 3;
    r.vrfIndex = (a >> 2) & 1;
    std::memset(r.ifName, 'a' + (a & 3), in.u8() % 41);
    if constexpr (std::is_same_v<Info, Ipam4AddrInfo>) {
        r.ipAddr = addrs4[(a >> 3) & 3];
        r.ipMask = (a >> 5) & 1 ? 0x0000ffff : 0x00ffffff;
        r.ipAttr = attr;
    } else {
        std::memcpy(r.ip6Addr, addrs6[(a >> 3) & 3], 16);
        std::memset(r.ip6Mask, 0xff, (a >> 5) & 1 ? 16 : 8);
        r.ip6DestAddr[15] = static_cast<uint8_t>(a >> 6);
        r.ip6Attr = attr;
    }
    return r;
}

template <class Info>
int32_t collect(Info *rec, void *user) {
    static_cast<std::vector<Info> *>(user)->push_back(*rec);
    return 0;
}

template <class Info>
bool same(const std::vector<Info> &a, const std::vector<Info> &b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

// Both tables in index order, and the batch version of each node.
struct Tables {
    std::vector<Ipam4AddrInfo> v4;
    std::vector<Ipam6AddrInfo> v6;
    std::vector<uint32_t> vers;
    Tables() {
        FZ_CHECK(ipam_DbAddrWalk(nullptr, node<Ipam4DbNode>, this, nullptr) == IPAM_WALK_END);
        FZ_CHECK(ipam6_DbAddrWalk(nullptr, node<Ipam6DbNode>, this, nullptr) == IPAM_WALK_END);
    }
    template <class Node>
    static int32_t node(Node *n, void *user) {
        auto *t = static_cast<Tables *>(user);
        if constexpr (std::is_same_v<Node, Ipam4DbNode>)
            t->v4.push_back(n->info);
        else
            t->v6.push_back(n->info);
        t->vers.push_back(n->batchVer);
        return 0;
    }
    bool operator==(const Tables &o) const {
        return same(v4, o.v4) && same(v6, o.v6) && vers == o.vers;
    }
};

// The same records, in any order.
template <class Info>
bool sameSet(std::vector<Info> a, std::vector<Info> b) {
    auto less = [](const Info &x, const Info &y) { return std::memcmp(&x, &y, sizeof x) < 0; };
    std::sort(a.begin(), a.end(), less);
    std::sort(b.begin(), b.end(), less);
    return same(a, b);
}

// Holds for any replica: the interface walks together see the records of the
// whole-table walks, each only its own interface's, and the database counts
// exactly the interfaces that have records.
inline void checkReplica() {
    Tables all;
    std::vector<uint32_t> ifs;
    for (const auto &x : all.v4) ifs.push_back(x.ifIndex);
    for (const auto &x : all.v6) ifs.push_back(x.ifIndex);
    std::sort(ifs.begin(), ifs.end());
    ifs.erase(std::unique(ifs.begin(), ifs.end()), ifs.end());
    std::vector<Ipam4AddrInfo> by4;
    std::vector<Ipam6AddrInfo> by6;
    auto walk = [](auto fn, uint32_t i, auto &into) {
        std::remove_reference_t<decltype(into)> w;
        FZ_CHECK(fn(i, collect<typename decltype(w)::value_type>, &w) == 0);
        FZ_CHECK(std::all_of(w.begin(), w.end(), [&](const auto &x) { return x.ifIndex == i; }));
        into.insert(into.end(), w.begin(), w.end());
    };
    for (uint32_t i : ifs) {
        walk(IPAM4_WalkAddrInfo, i, by4);
        walk(IPAM6_WalkAddrInfo, i, by6);
    }
    FZ_CHECK(sameSet(all.v4, by4) && sameSet(all.v6, by6));
    uint32_t count = 999;
    ipam_AddrInfoNumGet(&count);
    FZ_CHECK(count == ifs.size());
}

// One record of either family built from the input, dispatched as `code`.
inline int32_t sendRecord(Reader &in, bool v6, int32_t code) {
    if (v6) {
        Ipam6AddrInfo r = record<Ipam6AddrInfo>(in);
        return ipamSubDispatch(code, sizeof r, &r);
    }
    Ipam4AddrInfo r = record<Ipam4AddrInfo>(in);
    return ipamSubDispatch(code, sizeof r, &r);
}

// A subscription with the input's care mask for one input; at its end the
// replica must be consistent and unsubscribing must free all of it.
struct Session {
    Session(Reader &in, IpamEventCallback cb) {
        FZ_CHECK(IPAM_SubscribeEvent(1, 9, in.u32() & 0x1001ffffu, cb) == 0);
    }
    ~Session() {
        gIpamPubDbg = 0;
        checkReplica();
        FZ_CHECK(IPAM_UnSubscribeEvent(9) == 0);
    }
};

}  // namespace fz
