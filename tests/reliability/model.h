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
#include <set>
#include <type_traits>
#include <vector>

#include "ipam.h"

namespace rel {

inline uint32_t be32(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

// The documented bucket hash of (VRF, address word), 1024 buckets.
inline uint32_t bucketOf(uint32_t vrf, uint32_t word) {
    uint32_t x = 0x9e3779b9u + vrf, y = 0x9e3779b9u + word, z = 28;
    x -= y;
    x -= z;
    x ^= z >> 13;
    y -= z;
    y -= x;
    y ^= x << 8;
    z -= x;
    z -= y;
    z ^= y >> 13;
    x -= y;
    x -= z;
    x ^= z >> 12;
    y -= z;
    y -= x;
    y ^= x << 16;
    z -= x;
    z -= y;
    z ^= y >> 5;
    x -= y;
    x -= z;
    x ^= z >> 3;
    y -= z;
    y -= x;
    y ^= x << 10;
    z -= x;
    z -= y;
    z ^= y >> 15;
    return z % 1024;
}

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
    static constexpr uint32_t kAdd = IPAM4_EVT_ADD, kDel = IPAM4_EVT_DEL, kBatch = IPAM4_EVT_BATCH;
    static constexpr uint32_t kValid = IPAM4_EVT_VALID, kInvalid = IPAM4_EVT_INVALID;
    static const uint8_t *addr(const Info &i) {
        return reinterpret_cast<const uint8_t *>(&i.ipAddr);
    }
    static const uint8_t *mask(const Info &i) {
        return reinterpret_cast<const uint8_t *>(&i.ipMask);
    }
    template <class I>
    static auto &attr(I &i) {
        return i.ipAttr;
    }
    static uint32_t bucket(const Info &i) { return bucketOf(i.vrfIndex, be32(&i.ipAddr)); }
};

struct F6 {
    using Info = Ipam6AddrInfo;
    static constexpr size_t kAddr = 16;
    static constexpr uint32_t kIfBits = IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID;
    static constexpr uint32_t kAdd = IPAM6_EVT_ADD, kDel = IPAM6_EVT_DEL, kBatch = IPAM6_EVT_BATCH;
    static constexpr uint32_t kValid = IPAM6_EVT_VALID, kInvalid = IPAM6_EVT_INVALID;
    static const uint8_t *addr(const Info &i) { return i.ip6Addr; }
    static const uint8_t *mask(const Info &i) { return i.ip6Mask; }
    template <class I>
    static auto &attr(I &i) {
        return i.ip6Attr;
    }
    static uint32_t bucket(const Info &i) {
        const uint8_t *a = i.ip6Addr;
        return bucketOf(i.vrfIndex, be32(a) & be32(a + 4) & be32(a + 8) & be32(a + 12));
    }
};

template <class Info>
using FamilyOf = std::conditional_t<std::is_same_v<Info, Ipam4AddrInfo>, F4, F6>;

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
        unsubscribe();
        subscribed = true;
        care = expandCare(mask);
    }
    void unsubscribe() {
        subscribed = flag = false;
        care = ver = 0;
        v4.clear();
        v6.clear();
        ifs.clear();
    }
    void start() {
        ver++;
        raise(IPAM_EVT_BATCH_START, nullptr, 0);
    }
    int32_t end() {
        if (static_cast<int32_t>(ver) >= 2) {
            sweep<F4>();
            sweep<F6>();
        }
        flag = true;
        raise(IPAM_EVT_BATCH_END, nullptr, 0);
        return 0;
    }

    // One message with a full-size payload; answers the callback's result.
    int32_t dispatch(uint32_t code, const void *payload) {
        uint32_t ifIndex;
        std::memcpy(&ifIndex, payload, 4);
        if (code & (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_BATCH))
            message<F4>(code, payload);
        else if (code & (IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_BATCH | IPAM6_EVT_UPDATE))
            message<F6>(code, payload);
        else if (code == IPAM_EVT_RELAY)
            raise(IPAM_EVT_RELAY, nullptr, 0);
        else if (code & F4::kIfBits)
            flip<F4>(code == IPAM4_EVT_IF_VALID, ifIndex);
        else if (code & F6::kIfBits)
            flip<F6>(code == IPAM6_EVT_IF_VALID, ifIndex);
        return 0;
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
        char key[IPAM_IFNAME_SIZE];
        copyName(key, name);
        std::optional<uint32_t> best;
        for (const auto &[idx, i] : ifs)
            if (std::strncmp(i.name, key, IPAM_IFNAME_SIZE) == 0 &&
                (!best || i.created > ifs.at(*best).created))
                best = idx;
        return best;
    }

    std::optional<Ipam4AddrInfo> primary4(uint32_t ifIndex) const {
        for (const auto &r : list<F4>(ifIndex))
            if (r.ipAttr & IPAM4_ATTR_PRIMARY) return r;
        return std::nullopt;
    }

    // By (vrf, address): newest first; IPv4 passes over NO_VRF_LOOKUP and
    // answers -1 when every record with the key carries it.
    template <class F>
    int32_t byKey(uint32_t vrf, const void *a, typename F::Info *out) const {
        bool any = false;
        for (auto it = nodes<F>().rbegin(); it != nodes<F>().rend(); ++it) {
            const auto &i = it->second.info;
            if (i.vrfIndex != vrf || std::memcmp(F::addr(i), a, F::kAddr) != 0) continue;
            any = true;
            if (std::is_same_v<F, F4> && (F::attr(i) & IPAM4_ATTR_NO_VRF_LOOKUP)) continue;
            *out = i;
            return 0;
        }
        return any ? -1 : IPAM_ERR_NOT_FOUND;
    }

    static int matchLen(const uint8_t *a, const uint8_t *b) {
        int n = 0;
        for (int i = 0; i < 16 && a[i] == b[i]; i++) n += 8;
        if (n < 128)
            for (uint8_t x = static_cast<uint8_t>(a[n / 8] ^ b[n / 8]); !(x & 0x80);
                 x = static_cast<uint8_t>(x << 1))
                n++;
        return n;
    }

    // Best source record of an interface for a destination (or none): the
    // longest match among the non-link-local ones that may be a source, else
    // the last link-local one.
    std::optional<Ipam6AddrInfo> source6(std::optional<uint32_t> ifIndex,
                                         const uint8_t *dest) const {
        if (!ifIndex || !hasIf(*ifIndex)) return std::nullopt;
        std::optional<Ipam6AddrInfo> best, ll;
        int bestLen = -1;
        for (const auto &r : list<F6>(*ifIndex)) {
            if ((be32(r.ip6Addr) & 0xffc00000u) == 0xfe800000u) {
                ll = r;
                continue;
            }
            if (r.ip6Attr & IPAM6_ATTR_NO_SOURCE) continue;
            if (!dest) return r;
            int len = matchLen(r.ip6Addr, dest);
            if (len > bestLen) {
                best = r;
                bestLen = len;
            }
        }
        return best ? best : ll;
    }

    // Whole-table order of the index walks.
    template <class F>
    std::vector<typename F::Info> indexOrder() const {
        bool end;
        return page<F>(nullptr, -1, &end);
    }

    // One export page behind `cursor` (null: from the start) that takes at
    // most `limit` records (negative: no limit); *end is set when the walk
    // ran off the end of the table.
    template <class F>
    std::vector<typename F::Info> page(const typename F::Info *cursor, int limit, bool *end) const {
        auto order = orderOf<F>();
        size_t pos = 0;
        if (const Node<F> *at = cursor ? find<F>(*cursor, false) : nullptr) {
            while (&nodes<F>().at(order[pos].second) != at) pos++;
            pos++;
        } else if (cursor) {
            while (pos < order.size() && order[pos].first < F::bucket(*cursor)) pos++;
        }
        std::vector<typename F::Info> out;
        for (; pos < order.size() && (limit < 0 || static_cast<int>(out.size()) < limit); pos++)
            out.push_back(nodes<F>().at(order[pos].second).info);
        *end = pos == order.size();
        return out;
    }

    // The identity: the attribute counts only while the care mask holds the
    // family's interface-validity codes.
    template <class F>
    bool same(const typename F::Info &a, const typename F::Info &b) const {
        return sameIgnoringAttr<F>(a, b) && ((care & F::kIfBits) == 0 || F::attr(a) == F::attr(b));
    }
    template <class F>
    static bool sameIgnoringAttr(const typename F::Info &a, const typename F::Info &b) {
        return a.ifIndex == b.ifIndex && a.vrfIndex == b.vrfIndex &&
               std::memcmp(F::addr(a), F::addr(b), F::kAddr) == 0 &&
               std::memcmp(F::mask(a), F::mask(b), F::kAddr) == 0;
    }

    // A paged export that runs across steps: the records stored all along
    // since it began, those it delivered (by sequence), and whether the
    // table changed since its last page.
    template <class F>
    struct ExportRun {
        std::set<uint64_t> whole, seen;
        bool changed = false;
        bool ambiguous = false;  // met records alike in every byte
    };
    template <class F>
    ExportRun<F> &run() {
        if constexpr (std::is_same_v<F, F4>)
            return run4_;
        else
            return run6_;
    }
    template <class F>
    void beginExport() {
        run<F>() = {};
        for (const auto &[seq, n] : nodes<F>()) run<F>().whole.insert(seq);
    }
    // The stored nodes with exactly these bytes (an update can give two
    // nodes the same), each with its place in index order.
    template <class F>
    std::vector<std::pair<uint64_t, size_t>> placesOf(const typename F::Info &r) const {
        auto order = orderOf<F>();
        std::vector<std::pair<uint64_t, size_t>> out;
        for (size_t i = 0; i < order.size(); i++)
            if (std::memcmp(&nodes<F>().at(order[i].second).info, &r, sizeof r) == 0)
                out.push_back({order[i].second, i});
        return out;
    }

    // How many stored records are the same record as `r`.
    template <class F>
    size_t sameCount(const typename F::Info &r) const {
        size_t n = 0;
        for (const auto &[seq, node] : nodes<F>()) n += same<F>(r, node.info);
        return n;
    }

    template <class F>
    const std::map<uint64_t, Node<F>> &nodes() const {
        if constexpr (std::is_same_v<F, F4>)
            return v4;
        else
            return v6;
    }
    template <class F>
    std::map<uint64_t, Node<F>> &nodes() {
        if constexpr (std::is_same_v<F, F4>)
            return v4;
        else
            return v6;
    }

private:
    uint64_t seq_ = 0;
    ExportRun<F4> run4_;
    ExportRun<F6> run6_;

    void raise(uint32_t code, const void *record, size_t size) {
        if (!subscribed || !(code & care)) return;
        const auto *p = static_cast<const uint8_t *>(record);
        events.push_back({code, std::vector<uint8_t>(p, p + size)});
    }
    template <class Info>
    void raise(uint32_t code, const Info &r) {
        raise(code, &r, sizeof r);
    }

    // (bucket, seq) in index order.
    template <class F>
    std::vector<std::pair<uint32_t, uint64_t>> orderOf() const {
        std::vector<std::pair<uint32_t, uint64_t>> order;
        for (const auto &[seq, n] : nodes<F>()) order.push_back({F::bucket(n.info), seq});
        std::sort(order.begin(), order.end(), [](auto a, auto b) {
            return a.first != b.first ? a.first < b.first : a.second > b.second;
        });
        return order;
    }

    template <class F>
    void message(uint32_t code, const void *payload) {
        typename F::Info r;
        std::memcpy(&r, payload, sizeof r);
        r.ifName[IPAM_IFNAME_SIZE - 1] = '\0';  // a name that fills its 40 bytes is cut to 39
        bool valid = F::attr(r) & IPAM_ATTR_VALID;
        if (code == F::kDel) {
            // Removal takes the newest match and ignores the attribute.
            if (Node<F> *n = find<F>(r, true)) removeSeq<F>(n);
            raise(F::kDel, r);
            if (valid) raise(F::kInvalid, r);
            return;
        }
        // A stored record that is the same is confirmed silently in a later
        // batch, also when another record with its key (the address on
        // another interface, another attribute) was added after it:
        // announcing it again would tell the host of an addition that did
        // not happen.
        Node<F> *same = find<F>(r, false);
        if (code == F::kBatch && ver != 1 && same) {
            same->ver = ver;
            return;
        }
        // The update takes the new attribute of the newest match ignoring
        // it; otherwise a record of the same identity is renewed (IPv6 takes
        // the new attribute), else a node, and the interface if it is new.
        Node<F> *n = code == IPAM6_EVT_UPDATE ? find<F>(r, true) : same;
        run<F>().changed = true;
        if (n) {
            n->ver = ver;
            if (std::is_same_v<F, F6>) F::attr(n->info) = F::attr(r);
        } else {
            if (!ifs.count(r.ifIndex)) {
                ifs[r.ifIndex] = Iface{{}, seq_};
                copyName(ifs[r.ifIndex].name, r.ifName);
            }
            nodes<F>()[seq_++] = Node<F>{r, ver};
        }
        raise(code == F::kBatch ? F::kAdd : code, r);
        if (valid) raise(F::kValid, r);
    }

    // Newest node with the record's identity (or its fields but the attribute).
    template <class F>
    Node<F> *find(const typename F::Info &r, bool ignoreAttr) const {
        const auto &m = nodes<F>();
        for (auto it = m.rbegin(); it != m.rend(); ++it)
            if (ignoreAttr ? sameIgnoringAttr<F>(r, it->second.info) : same<F>(r, it->second.info))
                return const_cast<Node<F> *>(&it->second);
        return nullptr;
    }

    template <class F>
    void removeSeq(const Node<F> *n) {
        uint32_t ifIndex = n->info.ifIndex;
        for (auto it = nodes<F>().begin(); it != nodes<F>().end(); ++it)
            if (&it->second == n) {
                run<F>().whole.erase(it->first);
                run<F>().changed = true;
                nodes<F>().erase(it);
                break;
            }
        if (list<F4>(ifIndex).empty() && list<F6>(ifIndex).empty()) ifs.erase(ifIndex);
    }

    template <class F>
    void sweep() {
        for (const auto &[b, seq] : orderOf<F>()) {
            const Node<F> &n = nodes<F>().at(seq);
            if (n.ver == ver) continue;
            raise(F::kDel, n.info);
            if (F::attr(n.info) & IPAM_ATTR_VALID) raise(F::kInvalid, n.info);
            removeSeq<F>(&n);
        }
    }

    // IPv4 tests IPAM_ATTR_IF_VALID both ways; IPv6 valid tests
    // IPAM_ATTR_VALID, and invalid affects every record.
    template <class F>
    void flip(bool valid, uint32_t ifIndex) {
        for (auto &[seq, n] : nodes<F>()) {
            if (n.info.ifIndex != ifIndex) continue;
            run<F>().changed = true;
            uint32_t &a = F::attr(n.info);
            bool is = a & (std::is_same_v<F, F4> ? IPAM_ATTR_IF_VALID : IPAM_ATTR_VALID);
            if (valid && !is) {
                a |= 0x60u;
                raise(F::kValid, n.info);
            } else if (!valid && (is || std::is_same_v<F, F6>)) {
                a &= ~0x60u;
                raise(F::kInvalid, n.info);
            }
        }
    }
};

}  // namespace rel
