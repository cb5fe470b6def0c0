#include "ideal.h"

#include <arpa/inet.h>

namespace bench::ideal {
namespace {

bool linkLocal(const uint8_t *a) { return a[0] == 0xfe && (a[1] & 0xc0) == 0x80; }

int matchLen(const uint8_t *a, const uint8_t *b) {
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&a1, a + 8, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&b1, b + 8, 8);
    const uint64_t x0 = __builtin_bswap64(a0 ^ b0);
    if (x0 != 0) return __builtin_clzll(x0);
    const uint64_t x1 = __builtin_bswap64(a1 ^ b1);
    return x1 != 0 ? 64 + __builtin_clzll(x1) : 128;
}

template <class T>
void swapRemove(std::vector<uint32_t> &v, uint32_t pos, T &table) {
    const uint32_t last = v.back();
    v[pos] = last;
    table.at(last).posInIf = pos;
    v.pop_back();
}

}  // namespace

Interface &Db::iface(uint32_t ifIndex) {
    if (ifIndex >= ifs_.size()) ifs_.resize(ifIndex + 1);
    return ifs_[ifIndex];
}

const Interface *Db::ifaceIf(uint32_t ifIndex) const {
    return ifIndex < ifs_.size() ? &ifs_[ifIndex] : nullptr;
}

void Db::add4(const Ipam4AddrInfo &r, uint32_t gen) {
    const uint32_t found = t4_.find(keyOf(r));
    if (found != kNone) {
        t4_.at(found).rec = r;
        t4_.at(found).gen = gen;
        return;
    }
    const uint32_t s = t4_.insert(r, gen);
    Interface &f = iface(r.ifIndex);
    t4_.at(s).posInIf = static_cast<uint32_t>(f.v4.size());
    f.v4.push_back(s);
    if (f.primary4 == kNone && (r.ipAttr & IPAM4_ATTR_PRIMARY)) f.primary4 = s;
}

void Db::del4(const Ipam4AddrInfo &r) {
    const uint32_t s = t4_.find(keyOf(r));
    if (s == kNone) return;
    Interface &f = iface(t4_.at(s).rec.ifIndex);
    swapRemove(f.v4, t4_.at(s).posInIf, t4_);
    t4_.erase(s);
    if (f.primary4 == s) {
        f.primary4 = kNone;
        for (uint32_t o : f.v4)
            if (t4_.at(o).rec.ipAttr & IPAM4_ATTR_PRIMARY) {
                f.primary4 = o;
                break;
            }
    }
}

void Db::add6(const Ipam6AddrInfo &r, uint32_t gen) {
    const uint32_t found = t6_.find(keyOf(r));
    if (found != kNone) {
        t6_.at(found).rec = r;
        t6_.at(found).gen = gen;
        return;
    }
    const uint32_t s = t6_.insert(r, gen);
    Interface &f = iface(r.ifIndex);
    t6_.at(s).posInIf = static_cast<uint32_t>(f.v6.size());
    f.v6.push_back(s);
}

void Db::del6(const Ipam6AddrInfo &r) {
    const uint32_t s = t6_.find(keyOf(r));
    if (s == kNone) return;
    Interface &f = iface(t6_.at(s).rec.ifIndex);
    swapRemove(f.v6, t6_.at(s).posInIf, t6_);
    t6_.erase(s);
}

bool Db::configured4(uint32_t ifIndex) const {
    const Interface *f = ifaceIf(ifIndex);
    return f && !f->v4.empty();
}

bool Db::primary4(uint32_t ifIndex, Ipam4AddrInfo *out) const {
    const Interface *f = ifaceIf(ifIndex);
    if (!f || f->primary4 == kNone) return false;
    std::memcpy(out, &t4_.at(f->primary4).rec, sizeof *out);
    return true;
}

bool Db::get4(uint32_t vrf, uint32_t addr, Ipam4AddrInfo *out) const {
    const uint32_t s = t4_.find(Key4{vrf, addr});
    if (s == kNone) return false;
    std::memcpy(out, &t4_.at(s).rec, sizeof *out);
    return true;
}

bool Db::get6(uint32_t vrf, const uint8_t *addr, Ipam6AddrInfo *out) const {
    Key6 k;
    k.vrf = vrf;
    std::memcpy(k.addr, addr, 16);
    const uint32_t s = t6_.find(k);
    if (s == kNone) return false;
    std::memcpy(out, &t6_.at(s).rec, sizeof *out);
    return true;
}

bool Db::select6(uint32_t ifIndex, const uint8_t *dest, Ipam6AddrInfo *out) const {
    const Interface *f = ifaceIf(ifIndex);
    if (!f) return false;
    uint32_t best = kNone, ll = kNone;
    int bestLen = -1;
    for (uint32_t s : f->v6) {
        const Ipam6AddrInfo &r = t6_.at(s).rec;
        if (linkLocal(r.ip6Addr)) {
            ll = s;
            continue;
        }
        if (r.ip6Attr & IPAM6_ATTR_NO_SOURCE) continue;
        const int len = dest ? matchLen(r.ip6Addr, dest) : 0;
        if (len > bestLen) {
            best = s;
            bestLen = len;
            if (!dest) break;
        }
    }
    if (best == kNone) best = ll;
    if (best == kNone) return false;
    std::memcpy(out, &t6_.at(best).rec, sizeof *out);
    return true;
}

int Db::walk4(uint32_t ifIndex, Ipam4AddrInfoWalkFn fn, void *user) const {
    const Interface *f = ifaceIf(ifIndex);
    if (!f) return IPAM_ERR_NOT_FOUND;
    Ipam4AddrInfo copy;
    for (uint32_t s : f->v4) {
        std::memcpy(&copy, &t4_.at(s).rec, sizeof copy);
        if (fn(&copy, user) != 0) return -1;
    }
    return 0;
}

int Db::walk6(uint32_t ifIndex, Ipam6AddrInfoWalkFn fn, void *user) const {
    const Interface *f = ifaceIf(ifIndex);
    if (!f) return IPAM_ERR_NOT_FOUND;
    Ipam6AddrInfo copy;
    for (uint32_t s : f->v6) {
        std::memcpy(&copy, &t6_.at(s).rec, sizeof copy);
        if (fn(&copy, user) != 0) return -1;
    }
    return 0;
}

template <class T, class Rec>
static uint32_t pageOf(const T &t, uint32_t cursor, Rec *out, int max, int *got) {
    *got = 0;
    uint32_t s = cursor == kNone ? 0 : cursor + 1;
    for (; s < t.slots(); ++s) {
        if (!t.at(s).live) continue;
        if (*got == max) return s - 1;
        std::memcpy(&out[(*got)++], &t.at(s).rec, sizeof(Rec));
    }
    return kNone;
}

uint32_t Db::page4(uint32_t cursor, Ipam4AddrInfo *out, int max, int *got) const {
    return pageOf(t4_, cursor, out, max, got);
}
uint32_t Db::page6(uint32_t cursor, Ipam6AddrInfo *out, int max, int *got) const {
    return pageOf(t6_, cursor, out, max, got);
}

void Db::batch4(const Ipam4AddrInfo &r) {
    const uint32_t s = t4_.find(keyOf(r));
    if (s != kNone && std::memcmp(&t4_.at(s).rec, &r, 20) == 0) {
        t4_.at(s).gen = gen_;
        return;
    }
    add4(r, gen_);
}

void Db::batch6(const Ipam6AddrInfo &r) {
    const uint32_t s = t6_.find(keyOf(r));
    if (s != kNone && std::memcmp(&t6_.at(s).rec, &r, 40) == 0) {
        t6_.at(s).gen = gen_;
        return;
    }
    add6(r, gen_);
}

void Db::endBatch() {
    for (uint32_t s = 0; s < t4_.slots(); ++s)
        if (t4_.at(s).live && t4_.at(s).gen != gen_) {
            const Ipam4AddrInfo r = t4_.at(s).rec;
            del4(r);
        }
    for (uint32_t s = 0; s < t6_.slots(); ++s)
        if (t6_.at(s).live && t6_.at(s).gen != gen_) {
            const Ipam6AddrInfo r = t6_.at(s).rec;
            del6(r);
        }
}

void Db::clear() {
    t4_.clear();
    t6_.clear();
    ifs_.clear();
    ifs_.shrink_to_fit();
}

}  // namespace bench::ideal
