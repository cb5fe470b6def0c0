// Shared pieces of the fuzz targets: a byte reader over the input, records
// built from a few input bytes so that keys collide often, and consistency
// checks over the replica that hold whatever the input was.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ipam.h"
#include "ipam_platform.h"
#include "sub/dispatch.h"

namespace fz {

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : p_(data), n_(size) {}
    bool empty() const { return n_ == 0; }
    uint8_t u8() {
        if (!n_) return 0;
        n_--;
        return *p_++;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v = (v << 8) | u8();
        return v;
    }
    // `len` bytes into a buffer of exactly that size (zero fill past the
    // input), so reading beyond what was handed over trips ASan.
    std::vector<uint8_t> bytes(size_t len) {
        std::vector<uint8_t> out(len);
        for (size_t i = 0; i < len; i++) out[i] = u8();
        return out;
    }

private:
    const uint8_t *p_;
    size_t n_;
};

#define FZ_CHECK(cond)                                                              \
    do {                                                                            \
        if (!(cond)) {                                                              \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                           \
        }                                                                           \
    } while (0)

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("IPAM_PLATFORM_QUIET", "1", 1);
    ipamplat_log_set_stderr(0);
    return 0;
}

// A record from three input bytes: small interface, VRF, address and mask
// choices, any attribute; names of any length up to the full 40 bytes.
// Answers the byte that chose the key.
template <class Info>
uint8_t recordBase(Reader &in, Info &r, uint32_t &attr) {
    std::memset(&r, 0, sizeof r);
    uint8_t a = in.u8();
    attr = in.u8();
    r.ifIndex = a & 3;
    r.vrfIndex = (a >> 2) & 1;
    std::memset(r.ifName, 'a' + (a & 3), in.u8() % 41);
    return a;
}

inline Ipam4AddrInfo record4(Reader &in) {
    static const uint32_t addrs[] = {0x0100000a, 0x0200000a, 0x0101a8c0, 0x0000000a};
    Ipam4AddrInfo r;
    uint8_t a = recordBase(in, r, r.ipAttr);
    r.ipAddr = addrs[(a >> 3) & 3];
    r.ipMask = (a >> 5) & 1 ? 0x0000ffff : 0x00ffffff;
    return r;
}

inline Ipam6AddrInfo record6(Reader &in) {
    static const uint8_t addrs[4][16] = {
        {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0x20, 0x01, 0x0d, 0xb8, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
        {0xfe, 0x80, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7}};
    Ipam6AddrInfo r;
    uint8_t a = recordBase(in, r, r.ip6Attr);
    std::memcpy(r.ip6Addr, addrs[(a >> 3) & 3], 16);
    std::memset(r.ip6Mask, 0xff, (a >> 5) & 1 ? 16 : 8);
    r.ip6DestAddr[15] = static_cast<uint8_t>(a >> 6);
    return r;
}

template <class Info>
int32_t collect(Info *rec, void *user) {
    static_cast<std::vector<Info> *>(user)->push_back(*rec);
    return 0;
}

template <class Node>
int32_t collectNode(Node *node, void *user) {
    static_cast<std::vector<decltype(node->info)> *>(user)->push_back(node->info);
    return 0;
}

// The same records, in any order.
template <class Info>
bool sameSet(std::vector<Info> a, std::vector<Info> b) {
    auto less = [](const Info &x, const Info &y) { return std::memcmp(&x, &y, sizeof x) < 0; };
    std::sort(a.begin(), a.end(), less);
    std::sort(b.begin(), b.end(), less);
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

// The whole replica as bytes, in index order, with each node's batch version.
using Snapshot = std::vector<uint8_t>;
template <class Node>
int32_t appendNode(Node *node, void *user) {
    auto *s = static_cast<Snapshot *>(user);
    const auto *p = reinterpret_cast<const uint8_t *>(&node->info);
    s->insert(s->end(), p, p + sizeof node->info);
    p = reinterpret_cast<const uint8_t *>(&node->batchVer);
    s->insert(s->end(), p, p + sizeof node->batchVer);
    return 0;
}
inline Snapshot snapshot() {
    Snapshot s;
    ipam_DbAddrWalk(nullptr, appendNode<Ipam4DbNode>, &s, nullptr);
    s.push_back(0xff);
    ipam6_DbAddrWalk(nullptr, appendNode<Ipam6DbNode>, &s, nullptr);
    return s;
}

// Holds for any replica: the whole-table walks and the interface walks see
// the same records, each interface walk only its own interface's, and the
// database counts exactly the interfaces that have records.
inline void checkReplica() {
    std::vector<Ipam4AddrInfo> all4, by4;
    std::vector<Ipam6AddrInfo> all6, by6;
    FZ_CHECK(ipam_DbAddrWalk(nullptr, collectNode<Ipam4DbNode>, &all4, nullptr) == IPAM_WALK_END);
    FZ_CHECK(ipam6_DbAddrWalk(nullptr, collectNode<Ipam6DbNode>, &all6, nullptr) == IPAM_WALK_END);
    std::vector<uint32_t> ifs;
    for (const auto &x : all4) ifs.push_back(x.ifIndex);
    for (const auto &x : all6) ifs.push_back(x.ifIndex);
    std::sort(ifs.begin(), ifs.end());
    ifs.erase(std::unique(ifs.begin(), ifs.end()), ifs.end());
    for (uint32_t i : ifs) {
        size_t n4 = by4.size(), n6 = by6.size();
        FZ_CHECK(IPAM4_WalkAddrInfo(i, collect<Ipam4AddrInfo>, &by4) == 0);
        FZ_CHECK(IPAM6_WalkAddrInfo(i, collect<Ipam6AddrInfo>, &by6) == 0);
        for (size_t k = n4; k < by4.size(); k++) FZ_CHECK(by4[k].ifIndex == i);
        for (size_t k = n6; k < by6.size(); k++) FZ_CHECK(by6[k].ifIndex == i);
    }
    FZ_CHECK(sameSet(all4, by4) && sameSet(all6, by6));
    uint32_t count = 999;
    ipam_AddrInfoNumGet(&count);
    FZ_CHECK(count == ifs.size());
}

// One record of either family built from the input, dispatched as `code`.
inline int32_t sendRecord(Reader &in, bool v6, int32_t code) {
    if (v6) {
        Ipam6AddrInfo r = record6(in);
        return ipamSubDispatch(code, sizeof r, &r);
    }
    Ipam4AddrInfo r = record4(in);
    return ipamSubDispatch(code, sizeof r, &r);
}

// A subscription with the input's care mask for one input; at its end the
// replica must be consistent and unsubscribing must free all of it.
struct Session {
    Session(Reader &in, IpamEventCallback cb) { FZ_CHECK(IPAM_SubscribeEvent(1, 9, in.u32() & 0x1001ffffu, cb) == 0); }
    ~Session() {
        gIpamPubDbg = 0;
        checkReplica();
        FZ_CHECK(IPAM_UnSubscribeEvent(9) == 0);
    }
};

}  // namespace fz
