// A small, deliberately plain model of the subscriber's replica: what the
// library must hold and which events it must raise for a stream of publisher
// messages. Nodes live in ordered maps keyed by insertion sequence, so "the
// most recently added match" and "an interface's list order" are a reverse or
// forward scan; the index order of the whole-table walks is computed from the
// documented hash, bucket ascending and newest first within a bucket.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "ipam.h"

namespace rel {

inline uint32_t be32(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

inline void mix(uint32_t &x, uint32_t &y, uint32_t &z) {
    x -= y; x -= z; x ^= z >> 13;
    y -= z; y -= x; y ^= x << 8;
    z -= x; z -= y; z ^= y >> 13;
    x -= y; x -= z; x ^= z >> 12;
    y -= z; y -= x; y ^= x << 16;
    z -= x; z -= y; z ^= y >> 5;
    x -= y; x -= z; x ^= z >> 3;
    y -= z; y -= x; y ^= x << 10;
    z -= x; z -= y; z ^= y >> 15;
}

constexpr uint32_t kGolden = 0x9e3779b9u;
constexpr uint32_t kBuckets = 1024;

inline uint32_t expandCare(uint32_t m) {
    if (m & 0xc0u) m |= 0x23u;
    if (m & 0xc000u) m |= 0x130e0u;
    if (m & 0x18u) m |= 0x7u;
    if (m & 0xc00u) m |= 0x31cu;
    return m;
}

// The two families, as far as the model needs to tell them apart.
struct F4 {
    using Info = Ipam4AddrInfo;
    static constexpr size_t kAddr = 4;
    static constexpr uint32_t kIfBits = IPAM4_EVT_IF_VALID | IPAM4_EVT_IF_INVALID;
    static constexpr uint32_t kAdd = IPAM4_EVT_ADD, kDel = IPAM4_EVT_DEL;
    static constexpr uint32_t kValid = IPAM4_EVT_VALID, kInvalid = IPAM4_EVT_INVALID;
    static constexpr bool kAddTakesAttr = false;
    static const uint8_t *addr(const Info &i) { return reinterpret_cast<const uint8_t *>(&i.ipAddr); }
    static const uint8_t *mask(const Info &i) { return reinterpret_cast<const uint8_t *>(&i.ipMask); }
    static uint32_t &attr(Info &i) { return i.ipAttr; }
    static uint32_t attr(const Info &i) { return i.ipAttr; }
    static uint32_t hash(const Info &i) {
        uint32_t x = kGolden + i.vrfIndex, y = kGolden + be32(&i.ipAddr), z = 28;
        mix(x, y, z);
        return z;
    }
};

struct F6 {
    using Info = Ipam6AddrInfo;
    static constexpr size_t kAddr = 16;
    static constexpr uint32_t kIfBits = IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID;
    static constexpr uint32_t kAdd = IPAM6_EVT_ADD, kDel = IPAM6_EVT_DEL;
    static constexpr uint32_t kValid = IPAM6_EVT_VALID, kInvalid = IPAM6_EVT_INVALID;
    static constexpr bool kAddTakesAttr = true;
    static const uint8_t *addr(const Info &i) { return i.ip6Addr; }
    static const uint8_t *mask(const Info &i) { return i.ip6Mask; }
    static uint32_t &attr(Info &i) { return i.ip6Attr; }
    static uint32_t attr(const Info &i) { return i.ip6Attr; }
    static uint32_t hash(const Info &i) {
        const uint8_t *a = i.ip6Addr;
        uint32_t folded = be32(a) & be32(a + 4) & be32(a + 8) & be32(a + 12);
        uint32_t x = kGolden + i.vrfIndex, y = kGolden + folded, z = 28;
        mix(x, y, z);
        return z;
    }
};

struct Event {
    uint32_t code = 0;
    std::vector<uint8_t> record;  // empty: null record
    bool operator==(const Event &) const = default;
};

template <class Info>
std::vector<uint8_t> bytesOf(const Info &i) {
    const auto *p = reinterpret_cast<const uint8_t *>(&i);
    return std::vector<uint8_t>(p, p + sizeof i);
}

template <class F>
struct Node {
    typename F::Info info;
    uint32_t ver;
};

struct Iface {
    char name[IPAM_IFNAME_SIZE];  // first 39 characters, terminated
    uint64_t created;
};

// At most 39 characters of a name into a zero-filled 40-byte field.
inline void copyName(char out[IPAM_IFNAME_SIZE], const char *name) {
    std::memset(out, 0, IPAM_IFNAME_SIZE);
    std::memcpy(out, name, strnlen(name, IPAM_IFNAME_SIZE - 1));
}

class Model {
public:
    bool subscribed = false;
    uint32_t care = 0;  // expanded
    uint32_t ver = 0;
    bool flag = false;
    std::map<uint64_t, Node<F4>> v4;  // by insertion sequence
    std::map<uint64_t, Node<F6>> v6;
    std::map<uint32_t, Iface> ifs;
    std::vector<Event> events;  // raised and in the care mask, oldest first

    void subscribe(uint32_t mask) {
        clear();
        subscribed = true;
        care = expandCare(mask);
    }
    void unsubscribe() { clear(); }

    void start() {
        ver++;
        raise(IPAM_EVT_BATCH_START);
    }

    int32_t end() {
        if (static_cast<int32_t>(ver) >= 2) {
            sweep<F4>();
            sweep<F6>();
        }
        flag = true;
        raise(IPAM_EVT_BATCH_END);
        return 0;
    }

    // One message with a full-size payload; answers the callback's result.
    int32_t dispatch(uint32_t code, const void *payload) {
        switch (code) {
        case IPAM4_EVT_ADD: {
            auto r = load<Ipam4AddrInfo>(payload);
            add<F4>(r, ver);
            raiseRecord<F4>(F4::kAdd, r);
            if (r.ipAttr & IPAM_ATTR_VALID) raiseRecord<F4>(F4::kValid, r);
            return 0;
        }
        case IPAM4_EVT_DEL: {
            auto r = load<Ipam4AddrInfo>(payload);
            del<F4>(r);
            raiseRecord<F4>(F4::kDel, r);
            if (r.ipAttr & IPAM_ATTR_VALID) raiseRecord<F4>(F4::kInvalid, r);
            return 0;
        }
        case IPAM4_EVT_BATCH: batchRecord<F4>(load<Ipam4AddrInfo>(payload)); return 0;
        case IPAM_EVT_RELAY: raise(IPAM_EVT_RELAY); return 0;
        case IPAM6_EVT_ADD: {
            auto r = load<Ipam6AddrInfo>(payload);
            add<F6>(r, ver);
            raiseRecord<F6>(F6::kAdd, r);
            if (r.ip6Attr & IPAM_ATTR_VALID) raiseRecord<F6>(F6::kValid, r);
            return 0;
        }
        case IPAM6_EVT_DEL: {
            auto r = load<Ipam6AddrInfo>(payload);
            del<F6>(r);
            raiseRecord<F6>(F6::kDel, r);
            if (r.ip6Attr & IPAM_ATTR_VALID) raiseRecord<F6>(F6::kInvalid, r);
            return 0;
        }
        case IPAM6_EVT_UPDATE: {
            auto r = load<Ipam6AddrInfo>(payload);
            if (Node<F6> *n = find<F6>(r, [](const Ipam6AddrInfo &a, const Ipam6AddrInfo &b) {
                    return sameIgnoringAttr<F6>(a, b);
                })) {
                n->ver = ver;
                n->info.ip6Attr = r.ip6Attr;
            } else {
                add<F6>(r, ver);
            }
            raiseRecord<F6>(IPAM6_EVT_UPDATE, r);
            if (r.ip6Attr & IPAM_ATTR_VALID) raiseRecord<F6>(F6::kValid, r);
            return 0;
        }
        case IPAM6_EVT_BATCH: batchRecord<F6>(load<Ipam6AddrInfo>(payload)); return 0;
        case IPAM4_EVT_IF_VALID:
        case IPAM4_EVT_IF_INVALID:
        case IPAM6_EVT_IF_VALID:
        case IPAM6_EVT_IF_INVALID: interfaceMessage(code, hostWord(payload)); return 0;
        default: return 0;
        }
    }

    // ---- what the queries must answer
    template <class F>
    std::vector<typename F::Info> list(uint32_t ifIndex) const {
        std::vector<typename F::Info> out;
        for (const auto &[seq, n] : nodes<F>())
            if (n.info.ifIndex == ifIndex) out.push_back(n.info);
        return out;
    }
    bool hasIf(uint32_t ifIndex) const { return ifs.count(ifIndex) != 0; }

    // The interface a name finds: the newest of those with that name.
    std::optional<uint32_t> ifByName(const char *name) const {
        char key[IPAM_IFNAME_SIZE] = {};
        copyName(key, name);
        std::optional<uint32_t> best;
        uint64_t bestSeq = 0;
        for (const auto &[idx, i] : ifs)
            if (std::strncmp(i.name, key, IPAM_IFNAME_SIZE) == 0 && (!best || i.created > bestSeq)) {
                best = idx;
                bestSeq = i.created;
            }
        return best;
    }

    std::optional<Ipam4AddrInfo> primary4(uint32_t ifIndex) const {
        for (const auto &r : list<F4>(ifIndex))
            if (r.ipAttr & IPAM4_ATTR_PRIMARY) return r;
        return std::nullopt;
    }

    // By (vrf, address): newest first, passing over NO_VRF_LOOKUP; -1 when
    // every record with the key carries it.
    int32_t byKey4(uint32_t vrf, uint32_t ip, Ipam4AddrInfo *out) const {
        bool any = false;
        for (auto it = v4.rbegin(); it != v4.rend(); ++it) {
            const auto &i = it->second.info;
            if (i.vrfIndex != vrf || i.ipAddr != ip) continue;
            any = true;
            if (i.ipAttr & IPAM4_ATTR_NO_VRF_LOOKUP) continue;
            *out = i;
            return 0;
        }
        return any ? -1 : IPAM_ERR_NOT_FOUND;
    }

    std::optional<Ipam6AddrInfo> byKey6(uint32_t vrf, const uint8_t *a) const {
        for (auto it = v6.rbegin(); it != v6.rend(); ++it)
            if (it->second.info.vrfIndex == vrf && std::memcmp(it->second.info.ip6Addr, a, 16) == 0)
                return it->second.info;
        return std::nullopt;
    }

    static bool linkLocal(const uint8_t *a) { return (be32(a) & 0xffc00000u) == 0xfe800000u; }
    static int matchLen(const uint8_t *a, const uint8_t *b) {
        int n = 0;
        for (int i = 0; i < 16; i++) {
            if (a[i] == b[i]) { n += 8; continue; }
            for (uint8_t x = static_cast<uint8_t>(a[i] ^ b[i]); !(x & 0x80); x = static_cast<uint8_t>(x << 1)) n++;
            return n;
        }
        return n;
    }

    // Best source record of an interface for a destination (or none).
    std::optional<Ipam6AddrInfo> source6(std::optional<uint32_t> ifIndex, const uint8_t *dest) const {
        if (!ifIndex || !hasIf(*ifIndex)) return std::nullopt;
        std::optional<Ipam6AddrInfo> best, ll;
        int bestLen = -1;
        for (const auto &r : list<F6>(*ifIndex)) {
            if (linkLocal(r.ip6Addr)) { ll = r; continue; }
            if (r.ip6Attr & IPAM6_ATTR_NO_SOURCE) continue;
            if (!dest) { best = r; break; }
            int len = matchLen(r.ip6Addr, dest);
            if (!best || len > bestLen) { best = r; bestLen = len; }
        }
        return best ? best : ll;
    }

    // Whole-table order of the index walks.
    template <class F>
    std::vector<typename F::Info> indexOrder() const {
        std::vector<std::pair<uint64_t, const Node<F> *>> v;
        for (const auto &[seq, n] : nodes<F>()) v.push_back({seq, &n});
        std::vector<typename F::Info> out;
        for (uint32_t b = 0; b < kBuckets; b++)
            for (auto it = v.rbegin(); it != v.rend(); ++it)
                if (F::hash(it->second->info) % kBuckets == b) out.push_back(it->second->info);
        return out;
    }

    // One export page behind `cursor` (null: from the start) that takes at
    // most `limit` records (negative: no limit); *end is set when the walk
    // ran off the end of the table.
    template <class F>
    std::vector<typename F::Info> page(const typename F::Info *cursor, int limit, bool *end) const {
        using Info = typename F::Info;
        std::vector<std::pair<uint32_t, uint64_t>> order;  // (bucket, seq), index order
        for (const auto &[seq, n] : nodes<F>()) order.push_back({F::hash(n.info) % kBuckets, seq});
        std::sort(order.begin(), order.end(), [](auto a, auto b) {
            return a.first != b.first ? a.first < b.first : a.second > b.second;
        });
        size_t pos = 0;
        if (cursor) {
            std::optional<uint64_t> at;
            for (auto it = nodes<F>().rbegin(); it != nodes<F>().rend(); ++it)
                if (it->second.info.vrfIndex == cursor->vrfIndex &&
                    std::memcmp(F::addr(it->second.info), F::addr(*cursor), F::kAddr) == 0 &&
                    same<F>(*cursor, it->second.info)) {
                    at = it->first;
                    break;
                }
            if (at) {
                while (order[pos].second != *at) pos++;
                pos++;
            } else {
                uint32_t b = F::hash(*cursor) % kBuckets;
                while (pos < order.size() && order[pos].first < b) pos++;
            }
        }
        std::vector<Info> out;
        *end = false;
        for (; pos < order.size(); pos++) {
            if (limit >= 0 && static_cast<int>(out.size()) == limit) return out;
            out.push_back(nodes<F>().at(order[pos].second).info);
        }
        *end = true;
        return out;
    }

    template <class F>
    bool same(const typename F::Info &a, const typename F::Info &b) const {
        if (!sameIgnoringAttr<F>(a, b)) return false;
        return (care & F::kIfBits) == 0 || F::attr(a) == F::attr(b);
    }

    template <class F>
    static bool sameIgnoringAttr(const typename F::Info &a, const typename F::Info &b) {
        return a.ifIndex == b.ifIndex && a.vrfIndex == b.vrfIndex &&
               std::memcmp(F::addr(a), F::addr(b), F::kAddr) == 0 &&
               std::memcmp(F::mask(a), F::mask(b), F::kAddr) == 0;
    }

    template <class F>
    const std::map<uint64_t, Node<F>> &nodes() const {
        if constexpr (std::is_same_v<F, F4>) return v4; else return v6;
    }
    template <class F>
    std::map<uint64_t, Node<F>> &nodes() {
        if constexpr (std::is_same_v<F, F4>) return v4; else return v6;
    }

private:
    uint64_t seq_ = 0;

    void clear() {
        subscribed = false;
        care = ver = 0;
        flag = false;
        v4.clear();
        v6.clear();
        ifs.clear();
    }

    template <class Info>
    static Info load(const void *p) {
        Info i;
        std::memcpy(&i, p, sizeof i);
        return i;
    }
    static uint32_t hostWord(const void *p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }

    void raise(uint32_t code) {
        if (subscribed && (code & care)) events.push_back({code, {}});
    }
    template <class F>
    void raiseRecord(uint32_t code, const typename F::Info &r) {
        if (subscribed && (code & care)) events.push_back({code, bytesOf(r)});
    }

    // Newest node with the record's key that `match` accepts.
    template <class F, class Match>
    Node<F> *find(const typename F::Info &r, Match match) {
        auto &m = nodes<F>();
        for (auto it = m.rbegin(); it != m.rend(); ++it) {
            const auto &i = it->second.info;
            if (i.vrfIndex == r.vrfIndex && std::memcmp(F::addr(i), F::addr(r), F::kAddr) == 0 &&
                match(r, i))
                return &it->second;
        }
        return nullptr;
    }

    template <class F>
    void add(const typename F::Info &r, uint32_t v) {
        if (Node<F> *n = find<F>(r, [this](const auto &a, const auto &b) { return this->template same<F>(a, b); })) {
            n->ver = v;
            if constexpr (F::kAddTakesAttr) F::attr(n->info) = F::attr(r);
            return;
        }
        if (!ifs.count(r.ifIndex)) {
            Iface i{};
            copyName(i.name, r.ifName);
            i.created = seq_;
            ifs[r.ifIndex] = i;
        }
        nodes<F>()[seq_++] = Node<F>{r, v};
    }

    template <class F>
    void removeSeq(uint64_t s) {
        uint32_t ifIndex = nodes<F>().at(s).info.ifIndex;
        nodes<F>().erase(s);
        for (const auto &[k, n] : v4) if (n.info.ifIndex == ifIndex) return;
        for (const auto &[k, n] : v6) if (n.info.ifIndex == ifIndex) return;
        ifs.erase(ifIndex);
    }

    template <class F>
    void del(const typename F::Info &r) {
        auto &m = nodes<F>();
        for (auto it = m.rbegin(); it != m.rend(); ++it)
            if (sameIgnoringAttr<F>(r, it->second.info)) {
                removeSeq<F>(it->first);
                return;
            }
    }

    template <class F>
    void batchRecord(const typename F::Info &r) {
        if (ver != 1) {
            // A stored record that is the same is confirmed silently, also
            // when another record with its key (the address on another
            // interface, another attribute) was added after it: announcing
            // it again would tell the host of an addition that did not happen.
            if (Node<F> *n = find<F>(r, [this](const auto &a, const auto &b) { return this->template same<F>(a, b); })) {
                n->ver = ver;
                return;
            }
        }
        add<F>(r, ver);
        raiseRecord<F>(F::kAdd, r);
        if (F::attr(r) & IPAM_ATTR_VALID) raiseRecord<F>(F::kValid, r);
    }

    template <class F>
    void sweep() {
        auto &m = nodes<F>();
        std::vector<std::pair<uint32_t, uint64_t>> order;
        for (const auto &[seq, n] : m) order.push_back({F::hash(n.info) % kBuckets, seq});
        std::sort(order.begin(), order.end(), [](auto a, auto b) {
            return a.first != b.first ? a.first < b.first : a.second > b.second;
        });
        for (const auto &[b, seq] : order) {
            const Node<F> &n = m.at(seq);
            if (n.ver == ver) continue;
            raiseRecord<F>(F::kDel, n.info);
            if (F::attr(n.info) & IPAM_ATTR_VALID) raiseRecord<F>(F::kInvalid, n.info);
            removeSeq<F>(seq);
        }
    }

    void interfaceMessage(uint32_t code, uint32_t ifIndex) {
        if (code == IPAM4_EVT_IF_VALID || code == IPAM4_EVT_IF_INVALID) {
            for (auto &[seq, n] : v4) {
                if (n.info.ifIndex != ifIndex) continue;
                uint32_t &a = n.info.ipAttr;
                if (code == IPAM4_EVT_IF_VALID && !(a & IPAM_ATTR_IF_VALID)) {
                    a |= 0x60u;
                    raiseRecord<F4>(F4::kValid, n.info);
                } else if (code == IPAM4_EVT_IF_INVALID && (a & IPAM_ATTR_IF_VALID)) {
                    a &= ~0x60u;
                    raiseRecord<F4>(F4::kInvalid, n.info);
                }
            }
        } else {
            for (auto &[seq, n] : v6) {
                if (n.info.ifIndex != ifIndex) continue;
                uint32_t &a = n.info.ip6Attr;
                if (code == IPAM6_EVT_IF_VALID && !(a & IPAM_ATTR_VALID)) {
                    a |= 0x60u;
                    raiseRecord<F6>(F6::kValid, n.info);
                } else if (code == IPAM6_EVT_IF_INVALID) {
                    a &= ~0x60u;
                    raiseRecord<F6>(F6::kInvalid, n.info);
                }
            }
        }
    }
};

}  // namespace rel
