// libnl-route-3's side: an address cache (nl_cache of rtnl_addr objects, one
// per family) filled in memory, as a Linux host that follows the kernel's
// address table through libnl would hold it. libnl's address objects carry
// no VRF, so a side table maps ifindex to VRF, as a host would learn it from
// the link cache. The cache is a list: libnl hashes route, link and
// neighbour caches, not address caches, so searches walk it.
#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <netlink/addr.h>
#include <netlink/cache.h>
#include <netlink/object.h>
#include <netlink/route/addr.h>

#include <bit>
#include <cstdio>
#include <cstdlib>

#include "drive.h"

namespace bench {
namespace {

rtnl_addr *asAddr(nl_object *o) { return reinterpret_cast<rtnl_addr *>(o); }
nl_object *asObj(rtnl_addr *a) { return reinterpret_cast<nl_object *>(a); }

int prefixOfMask(const uint8_t *mask, std::size_t bytes) {
    int len = 0;
    for (std::size_t i = 0; i < bytes; ++i) len += std::popcount(static_cast<unsigned>(mask[i]));
    return len;
}

int matchLen(const uint8_t *a, const uint8_t *b) {
    for (int i = 0; i < 16; ++i)
        if (a[i] != b[i]) return i * 8 + std::countl_zero(static_cast<uint8_t>(a[i] ^ b[i]));
    return 128;
}

class LibnlSide {
public:
    const char *name() const { return "libnl"; }
    // Each batch record is a search of the list: quadratic in the table.
    bool resyncFeasible(std::size_t n) const { return n <= 10000; }

    void fill(std::size_t n, V6Shape shape) {
        clear();
        for (uint32_t k : fillOrder(n)) append(c4_, make4(record4(k)));
        for (uint32_t k : fillOrder(n)) append(c6_, make6(record6(k, shape)));
    }

    void resyncPrepare4(const Ipam4AddrInfo *uni, std::size_t n) {
        clear();
        for (std::size_t k = 0; k < n; ++k) append(c4_, make4(uni[k]));
    }
    void resyncPrepare6(const Ipam6AddrInfo *uni, std::size_t n) {
        clear();
        for (std::size_t k = 0; k < n; ++k) append(c6_, make6(uni[k]));
    }

    // An added address replaces an identical one, as nl_cache_include does.
    void add4(const Ipam4AddrInfo &r) { include(c4_, make4(r)); }
    void add6(const Ipam6AddrInfo &r) { include(c6_, make6(r)); }
    void del4(const Ipam4AddrInfo &r) { remove(c4_, make4(r)); }
    void del6(const Ipam6AddrInfo &r) { remove(c6_, make6(r)); }

    bool configured4(uint32_t f) {
        for (nl_object *o = nl_cache_get_first(c4_); o; o = nl_cache_get_next(o))
            if (static_cast<uint32_t>(rtnl_addr_get_ifindex(asAddr(o))) == f) return true;
        return false;
    }

    // The primary address is the one the kernel does not flag secondary.
    bool primary4(uint32_t f, Ipam4AddrInfo *out) {
        for (nl_object *o = nl_cache_get_first(c4_); o; o = nl_cache_get_next(o)) {
            rtnl_addr *a = asAddr(o);
            if (static_cast<uint32_t>(rtnl_addr_get_ifindex(a)) == f &&
                !(rtnl_addr_get_flags(a) & IFA_F_SECONDARY)) {
                to4(a, out);
                return true;
            }
        }
        return false;
    }

    bool get4(uint32_t vrf, uint32_t addr, Ipam4AddrInfo *out) {
        for (nl_object *o = nl_cache_get_first(c4_); o; o = nl_cache_get_next(o)) {
            rtnl_addr *a = asAddr(o);
            uint32_t local;
            std::memcpy(&local, nl_addr_get_binary_addr(rtnl_addr_get_local(a)), 4);
            if (local == addr && vrfOfIf(rtnl_addr_get_ifindex(a)) == vrf) {
                to4(a, out);
                return true;
            }
        }
        return false;
    }

    bool get6(uint32_t vrf, const uint8_t *addr, Ipam6AddrInfo *out) {
        for (nl_object *o = nl_cache_get_first(c6_); o; o = nl_cache_get_next(o)) {
            rtnl_addr *a = asAddr(o);
            const void *local = nl_addr_get_binary_addr(rtnl_addr_get_local(a));
            if (std::memcmp(local, addr, 16) == 0 && vrfOfIf(rtnl_addr_get_ifindex(a)) == vrf) {
                to6(a, out);
                return true;
            }
        }
        return false;
    }

    // The same preference as the library's: longest common prefix among the
    // non-link-local addresses, else a link-local one.
    bool select6(uint32_t f, const uint8_t *dest, Ipam6AddrInfo *out) {
        rtnl_addr *best = nullptr, *ll = nullptr;
        int bestLen = -1;
        for (nl_object *o = nl_cache_get_first(c6_); o; o = nl_cache_get_next(o)) {
            rtnl_addr *a = asAddr(o);
            if (static_cast<uint32_t>(rtnl_addr_get_ifindex(a)) != f) continue;
            const auto *local =
                static_cast<const uint8_t *>(nl_addr_get_binary_addr(rtnl_addr_get_local(a)));
            if (local[0] == 0xfe && (local[1] & 0xc0) == 0x80) {
                ll = a;
                continue;
            }
            const int len = matchLen(local, dest);
            if (len > bestLen) {
                best = a;
                bestLen = len;
            }
        }
        if (!best) best = ll;
        if (!best) return false;
        to6(best, out);
        return true;
    }

    int walk4(uint32_t f, Ipam4AddrInfoWalkFn fn, void *user) {
        Ipam4AddrInfo copy;
        for (nl_object *o = nl_cache_get_first(c4_); o; o = nl_cache_get_next(o)) {
            if (static_cast<uint32_t>(rtnl_addr_get_ifindex(asAddr(o))) != f) continue;
            to4(asAddr(o), &copy);
            if (fn(&copy, user) != 0) return -1;
        }
        return 0;
    }

    int walk6(uint32_t f, Ipam6AddrInfoWalkFn fn, void *user) {
        Ipam6AddrInfo copy;
        for (nl_object *o = nl_cache_get_first(c6_); o; o = nl_cache_get_next(o)) {
            if (static_cast<uint32_t>(rtnl_addr_get_ifindex(asAddr(o))) != f) continue;
            to6(asAddr(o), &copy);
            if (fn(&copy, user) != 0) return -1;
        }
        return 0;
    }

    // Pages of kPageRecords records; the cursor is a held reference to the
    // last object of a page.
    std::size_t export4() { return exportAll<Ipam4AddrInfo>(c4_, &LibnlSide::to4); }
    std::size_t export6() { return exportAll<Ipam6AddrInfo>(c6_, &LibnlSide::to6); }

    // Mark and sweep: mark everything, unmark what the batch confirms, add
    // what it brings, remove what stays marked.
    void resync4(const Ipam4AddrInfo *uni, std::size_t u, std::size_t from, std::size_t count) {
        nl_cache_mark_all(c4_);
        for (std::size_t k = 0; k < u; ++k)
            if (!Driver<LibnlSide>::inWindow(k, from, count, u)) confirm(c4_, make4(uni[k]));
        sweep(c4_);
    }
    void resync6(const Ipam6AddrInfo *uni, std::size_t u, std::size_t from, std::size_t count) {
        nl_cache_mark_all(c6_);
        for (std::size_t k = 0; k < u; ++k)
            if (!Driver<LibnlSide>::inWindow(k, from, count, u)) confirm(c6_, make6(uni[k]));
        sweep(c6_);
    }

    void memory(benchmark::State &st, std::size_t n) {
        fillOrder(n);  // before the heap is read
        clear();
        resetPeak();
        const HeapCounters h0 = heap();
        caches();
        const HeapCounters h1 = heap();
        for (uint32_t k : fillOrder(n)) append(c4_, make4(record4(k)));
        const HeapCounters h2 = heap();
        for (uint32_t k : fillOrder(n)) append(c6_, make6(record6(k, V6Shape::Realistic)));
        const HeapCounters h3 = heap();
        reportFill(st, h0, h1, h2, h3, n);
    }

private:
    void caches() {
        if (c4_) return;
        if (nl_cache_alloc_name("route/addr", &c4_) != 0 ||
            nl_cache_alloc_name("route/addr", &c6_) != 0) {
            std::fprintf(stderr, "bench: no libnl route/addr cache\n");
            std::abort();
        }
        vrf_.assign(kFirstIfIndex + interfaceCount() + 1, 0);
        for (uint32_t f = 0; f < interfaceCount(); ++f) vrf_[ifIndexOf(f)] = vrfOf(f);
    }

    void clear() {
        if (c4_) {
            nl_cache_free(c4_);
            nl_cache_free(c6_);
            c4_ = c6_ = nullptr;
        }
        caches();
    }

    uint32_t vrfOfIf(int ifIndex) const {
        return static_cast<std::size_t>(ifIndex) < vrf_.size()
                   ? vrf_[static_cast<std::size_t>(ifIndex)]
                   : UINT32_MAX;
    }

    static rtnl_addr *make(uint32_t ifIndex, int family, const void *addr, std::size_t len,
                           int prefix, unsigned flags, const char *label) {
        rtnl_addr *a = rtnl_addr_alloc();
        rtnl_addr_set_ifindex(a, static_cast<int>(ifIndex));
        nl_addr *local = nl_addr_build(family, addr, len);
        rtnl_addr_set_local(a, local);
        nl_addr_put(local);
        rtnl_addr_set_prefixlen(a, prefix);
        rtnl_addr_set_flags(a, flags);
        rtnl_addr_set_label(a, label);
        return a;
    }
    static rtnl_addr *make4(const Ipam4AddrInfo &r) {
        return make(r.ifIndex, AF_INET, &r.ipAddr, 4,
                    prefixOfMask(reinterpret_cast<const uint8_t *>(&r.ipMask), 4),
                    r.ipAttr & IPAM4_ATTR_PRIMARY ? 0u : unsigned{IFA_F_SECONDARY}, r.ifName);
    }
    static rtnl_addr *make6(const Ipam6AddrInfo &r) {
        return make(r.ifIndex, AF_INET6, r.ip6Addr, 16, prefixOfMask(r.ip6Mask, 16), 0u, r.ifName);
    }

    void to4(rtnl_addr *a, Ipam4AddrInfo *out) const {
        std::memset(out, 0, sizeof *out);
        out->ifIndex = static_cast<uint32_t>(rtnl_addr_get_ifindex(a));
        out->vrfIndex = vrfOfIf(rtnl_addr_get_ifindex(a));
        std::memcpy(&out->ipAddr, nl_addr_get_binary_addr(rtnl_addr_get_local(a)), 4);
        const int len = rtnl_addr_get_prefixlen(a);
        out->ipMask = htonl(len == 0 ? 0u : ~0u << (32 - len));
        out->ipAttr = IPAM_ATTR_VALID | IPAM_ATTR_IF_VALID |
                      (rtnl_addr_get_flags(a) & IFA_F_SECONDARY ? 0u : IPAM4_ATTR_PRIMARY);
        std::strncpy(out->ifName, rtnl_addr_get_label(a), IPAM_IFNAME_SIZE - 1);
    }
    void to6(rtnl_addr *a, Ipam6AddrInfo *out) const {
        std::memset(out, 0, sizeof *out);
        out->ifIndex = static_cast<uint32_t>(rtnl_addr_get_ifindex(a));
        out->vrfIndex = vrfOfIf(rtnl_addr_get_ifindex(a));
        std::memcpy(out->ip6Addr, nl_addr_get_binary_addr(rtnl_addr_get_local(a)), 16);
        const int len = rtnl_addr_get_prefixlen(a);
        for (int i = 0; i < len / 8; ++i) out->ip6Mask[i] = 0xff;
        if (len % 8) out->ip6Mask[len / 8] = static_cast<uint8_t>(0xff00u >> (len % 8));
        out->ip6Attr = IPAM_ATTR_VALID | IPAM_ATTR_IF_VALID;
        std::strncpy(out->ifName, rtnl_addr_get_label(a), IPAM_IFNAME_SIZE - 1);
    }

    static void append(nl_cache *c, rtnl_addr *a) {
        nl_cache_add(c, asObj(a));
        nl_object_put(asObj(a));
    }
    static void include(nl_cache *c, rtnl_addr *a) {
        if (nl_object *old = nl_cache_search(c, asObj(a))) {
            nl_cache_remove(old);
            nl_object_put(old);
        }
        append(c, a);
    }
    static void remove(nl_cache *c, rtnl_addr *needle) {
        if (nl_object *old = nl_cache_search(c, asObj(needle))) {
            nl_cache_remove(old);
            nl_object_put(old);
        }
        nl_object_put(asObj(needle));
    }
    static void confirm(nl_cache *c, rtnl_addr *a) {
        if (nl_object *old = nl_cache_search(c, asObj(a))) {
            nl_object_unmark(old);
            nl_object_put(old);
            nl_object_put(asObj(a));
            return;
        }
        append(c, a);  // new objects are unmarked
    }
    static void sweep(nl_cache *c) {
        nl_object *o = nl_cache_get_first(c);
        while (o) {
            nl_object *next = nl_cache_get_next(o);
            if (nl_object_is_marked(o)) nl_cache_remove(o);
            o = next;
        }
    }

    template <class Rec>
    std::size_t exportAll(nl_cache *c, void (LibnlSide::*conv)(rtnl_addr *, Rec *) const) {
        Rec buf[kPageRecords];
        std::size_t seen = 0;
        nl_object *cursor = nullptr;
        for (;;) {
            nl_object *o = cursor ? nl_cache_get_next(cursor) : nl_cache_get_first(c);
            int got = 0;
            nl_object *last = nullptr;
            for (; o && got < kPageRecords; o = nl_cache_get_next(o)) {
                (this->*conv)(asAddr(o), &buf[got++]);
                last = o;
            }
            benchmark::DoNotOptimize(buf);
            seen += static_cast<std::size_t>(got);
            if (last) nl_object_get(last);
            if (cursor) nl_object_put(cursor);
            cursor = last;
            if (!o) {
                if (cursor) nl_object_put(cursor);
                return seen;
            }
        }
    }

    nl_cache *c4_ = nullptr;
    nl_cache *c6_ = nullptr;
    std::vector<uint32_t> vrf_;
};

LibnlSide g_side;
Driver<LibnlSide> g_driver(g_side);

}  // namespace

void registerLibnl(std::size_t n) {
    if (n <= kFullSetUpTo) g_driver.registerAll(n);
}

}  // namespace bench
