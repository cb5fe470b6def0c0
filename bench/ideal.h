// The ideal in-memory reference: what the hardware allows for the same
// table. Records live inline in one slab; an open-addressing index (linear
// probing, power-of-two capacity, grows at half load) finds them by (VRF,
// address); each interface keeps vectors of its records' slots. No lock and
// no events: a single thread owns it.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "ipam.h"

namespace bench::ideal {

struct Key4 {
    uint32_t vrf, addr;
    bool operator==(const Key4 &) const = default;
};
struct Key6 {
    uint32_t vrf;
    uint8_t addr[16];
    bool operator==(const Key6 &o) const {
        return vrf == o.vrf && std::memcmp(addr, o.addr, 16) == 0;
    }
};

inline uint64_t hashKey(const Key4 &k) {
    return ((uint64_t{k.vrf} << 32) | k.addr) * 0x9e3779b97f4a7c15ull;
}
inline uint64_t hashKey(const Key6 &k) {
    uint64_t a, b;
    std::memcpy(&a, k.addr, 8);
    std::memcpy(&b, k.addr + 8, 8);
    uint64_t h = (a * 0x9e3779b97f4a7c15ull) ^ (b * 0xc2b2ae3d27d4eb4full) ^ k.vrf;
    h ^= h >> 29;
    return h * 0xbf58476d1ce4e5b9ull;
}

inline Key4 keyOf(const Ipam4AddrInfo &r) { return Key4{r.vrfIndex, r.ipAddr}; }
inline Key6 keyOf(const Ipam6AddrInfo &r) {
    Key6 k;
    k.vrf = r.vrfIndex;
    std::memcpy(k.addr, r.ip6Addr, 16);
    return k;
}

constexpr uint32_t kNone = UINT32_MAX;

// Slab of records plus the index by key.
template <class Rec, class Key>
class Table {
public:
    struct Entry {
        Rec rec;
        uint32_t posInIf;  // position in its interface's vector
        uint32_t gen;      // resynchronisation generation
        bool live;
    };

    // Slot of the record with this key, or kNone.
    uint32_t find(const Key &k) const {
        if (index_.empty()) return kNone;
        for (std::size_t i = hashKey(k) >> shift_;; i = (i + 1) & mask()) {
            const uint32_t s = index_[i];
            if (s == kNone) return kNone;
            if (keyOf(slab_[s].rec) == k) return s;
        }
    }

    uint32_t insert(const Rec &r, uint32_t gen) {
        if ((count_ + 1) * 2 > index_.size()) grow();
        uint32_t s;
        if (!free_.empty()) {
            s = free_.back();
            free_.pop_back();
        } else {
            s = static_cast<uint32_t>(slab_.size());
            slab_.emplace_back();
        }
        slab_[s] = Entry{r, 0, gen, true};
        place(s);
        ++count_;
        return s;
    }

    // Backward-shift deletion keeps probe chains free of tombstones.
    void erase(uint32_t s) {
        std::size_t i = hashKey(keyOf(slab_[s].rec)) >> shift_;
        while (index_[i] != s) i = (i + 1) & mask();
        for (std::size_t j = (i + 1) & mask();; j = (j + 1) & mask()) {
            const uint32_t t = index_[j];
            if (t == kNone) break;
            const std::size_t home = hashKey(keyOf(slab_[t].rec)) >> shift_;
            // t may move into the hole at i when its home is not in (i, j].
            if (((j - home) & mask()) >= ((j - i) & mask())) {
                index_[i] = t;
                i = j;
            }
        }
        index_[i] = kNone;
        slab_[s].live = false;
        free_.push_back(s);
        --count_;
    }

    Entry &at(uint32_t s) { return slab_[s]; }
    const Entry &at(uint32_t s) const { return slab_[s]; }
    std::size_t slots() const { return slab_.size(); }
    std::size_t size() const { return count_; }

    void clear() {
        slab_.clear();
        slab_.shrink_to_fit();
        free_.clear();
        free_.shrink_to_fit();
        index_.clear();
        index_.shrink_to_fit();
        count_ = 0;
        shift_ = 64;
    }

private:
    std::size_t mask() const { return index_.size() - 1; }

    void place(uint32_t s) {
        std::size_t i = hashKey(keyOf(slab_[s].rec)) >> shift_;
        while (index_[i] != kNone) i = (i + 1) & mask();
        index_[i] = s;
    }

    void grow() {
        const std::size_t cap = index_.empty() ? 64 : index_.size() * 2;
        index_.assign(cap, kNone);
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(cap));
        for (uint32_t s = 0; s < slab_.size(); ++s)
            if (slab_[s].live) place(s);
    }

    std::vector<Entry> slab_;
    std::vector<uint32_t> free_;
    std::vector<uint32_t> index_;
    std::size_t count_ = 0;
    unsigned shift_ = 64;
};

struct Interface {
    std::vector<uint32_t> v4, v6;  // slots, any order
    uint32_t primary4 = kNone;     // slot of the primary IPv4 record
};

class Db {
public:
    void add4(const Ipam4AddrInfo &r, uint32_t gen = 0);
    void del4(const Ipam4AddrInfo &r);
    void add6(const Ipam6AddrInfo &r, uint32_t gen = 0);
    void del6(const Ipam6AddrInfo &r);

    bool configured4(uint32_t ifIndex) const;
    bool primary4(uint32_t ifIndex, Ipam4AddrInfo *out) const;
    bool get4(uint32_t vrf, uint32_t addr, Ipam4AddrInfo *out) const;
    bool get6(uint32_t vrf, const uint8_t *addr, Ipam6AddrInfo *out) const;
    bool select6(uint32_t ifIndex, const uint8_t *dest, Ipam6AddrInfo *out) const;
    int walk4(uint32_t ifIndex, Ipam4AddrInfoWalkFn fn, void *user) const;
    int walk6(uint32_t ifIndex, Ipam6AddrInfoWalkFn fn, void *user) const;

    // Copies up to `max` records behind slot `cursor` (kNone: from the start)
    // into out; answers the cursor for the next page, kNone at the end.
    uint32_t page4(uint32_t cursor, Ipam4AddrInfo *out, int max, int *got) const;
    uint32_t page6(uint32_t cursor, Ipam6AddrInfo *out, int max, int *got) const;

    // Mark and sweep by generation, as a batch resynchronisation does.
    void beginBatch() { ++gen_; }
    void batch4(const Ipam4AddrInfo &r);
    void batch6(const Ipam6AddrInfo &r);
    void endBatch();

    void clear();
    std::size_t size4() const { return t4_.size(); }
    std::size_t size6() const { return t6_.size(); }

private:
    Interface &iface(uint32_t ifIndex);
    const Interface *ifaceIf(uint32_t ifIndex) const;

    Table<Ipam4AddrInfo, Key4> t4_;
    Table<Ipam6AddrInfo, Key6> t6_;
    std::vector<Interface> ifs_;  // by ifIndex
    uint32_t gen_ = 0;
};

}  // namespace bench::ideal
