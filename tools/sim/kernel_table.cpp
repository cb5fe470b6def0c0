#include "kernel_table.h"

#include <linux/if_addr.h>
#include <net/if.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/link/vrf.h>
#include <netlink/socket.h>
#include <sys/socket.h>

#include <cstring>

#include "values.h"

namespace sim {

namespace {

void copyName(char (&field)[IPAM_IFNAME_SIZE], const char *name) {
    std::memset(field, 0, sizeof field);
    if (name) std::strncpy(field, name, IPAM_IFNAME_SIZE - 1);
}

// The binary address of `a` into `out` when it has exactly `bytes` octets.
bool binary(nl_addr *a, uint8_t *out, unsigned bytes) {
    if (!a || nl_addr_get_len(a) != bytes) return false;
    std::memcpy(out, nl_addr_get_binary_addr(a), bytes);
    return true;
}

}  // namespace

KernelTable::~KernelTable() {
    if (links_) nl_cache_free(links_);
    if (sock_) nl_socket_free(sock_);
}

bool KernelTable::open(std::string &error) {
    sock_ = nl_socket_alloc();
    if (!sock_) {
        error = "cannot allocate a netlink socket";
        return false;
    }
    int r = nl_connect(sock_, NETLINK_ROUTE);
    if (r >= 0) r = rtnl_link_alloc_cache(sock_, AF_UNSPEC, &links_);
    if (r < 0) {
        error = std::string("cannot read the kernel's links: ") + nl_geterror(r);
        return false;
    }
    return true;
}

void KernelTable::refreshLinks() { nl_cache_refill(sock_, links_); }

std::map<int, bool> KernelTable::linkStates() const {
    std::map<int, bool> states;
    for (nl_object *o = nl_cache_get_first(links_); o; o = nl_cache_get_next(o)) {
        const int ifIndex = rtnl_link_get_ifindex(reinterpret_cast<rtnl_link *>(o));
        bool up = false;
        uint32_t vrf = 0;
        char name[IF_NAMESIZE + 1] = {};
        linkFacts(ifIndex, up, vrf, name);
        states[ifIndex] = up;
    }
    return states;
}

void KernelTable::linkFacts(int ifIndex, bool &up, uint32_t &vrf, char *name) const {
    up = false;
    vrf = 0;
    rtnl_link *link = rtnl_link_get(links_, ifIndex);
    if (!link) return;
    if (const char *n = rtnl_link_get_name(link)) std::strncpy(name, n, IF_NAMESIZE);
    up = (rtnl_link_get_flags(link) & IFF_UP) != 0;
    if (carrierAndVrf_) {
        up = up && rtnl_link_get_carrier(link) != 0;
        if (rtnl_link *master = rtnl_link_get(links_, rtnl_link_get_master(link))) {
            if (rtnl_link_is_vrf(master) && rtnl_link_vrf_get_tableid(master, &vrf) != 0) vrf = 0;
            rtnl_link_put(master);
        }
    }
    rtnl_link_put(link);
}

bool KernelTable::convert(rtnl_addr *addr, KernelRecord &out) const {
    int family = rtnl_addr_get_family(addr);
    if (family != AF_INET && family != AF_INET6) return false;
    const int ifIndex = rtnl_addr_get_ifindex(addr);
    const int prefix = rtnl_addr_get_prefixlen(addr);
    const unsigned flags = rtnl_addr_get_flags(addr);
    char name[IF_NAMESIZE + 1] = {};
    bool up = false;
    uint32_t vrf = 0;
    linkFacts(ifIndex, up, vrf, name);
    out = KernelRecord{};
    uint32_t attr = up ? IPAM_ATTR_IF_VALID : 0;
    if (family == AF_INET) {
        uint8_t a[4] = {}, m[4] = {};
        if (!binary(rtnl_addr_get_local(addr), a, 4)) return false;
        prefixMask(prefix, m, 4);
        Ipam4AddrInfo &r = out.rec4;
        r.ifIndex = static_cast<uint32_t>(ifIndex);
        r.vrfIndex = vrf;
        copyName(r.ifName, name);
        std::memcpy(&r.ipAddr, a, 4);
        std::memcpy(&r.ipMask, m, 4);
        if (up) attr |= IPAM_ATTR_VALID;
        if (!(flags & IFA_F_SECONDARY)) attr |= IPAM4_ATTR_PRIMARY;
        r.ipAttr = attr;
        return true;
    }
    Ipam6AddrInfo &r = out.rec6;
    out.v6 = true;
    if (!binary(rtnl_addr_get_local(addr), r.ip6Addr, 16)) return false;
    prefixMask(prefix, r.ip6Mask, 16);
    binary(rtnl_addr_get_peer(addr), r.ip6DestAddr, 16);
    // With a peer, the local address is the record's address and the
    // peer its destination; without one libnl answers the same address.
    if (std::memcmp(r.ip6DestAddr, r.ip6Addr, 16) == 0) std::memset(r.ip6DestAddr, 0, 16);
    r.ifIndex = static_cast<uint32_t>(ifIndex);
    r.vrfIndex = vrf;
    copyName(r.ifName, name);
    const unsigned unusable = IFA_F_TENTATIVE | IFA_F_DADFAILED;
    if (up && !(flags & unusable)) attr |= IPAM_ATTR_VALID;
    if (flags & (unusable | IFA_F_DEPRECATED)) attr |= IPAM6_ATTR_NO_SOURCE;
    r.ip6Attr = attr;
    return true;
}

bool KernelTable::dump(std::vector<KernelRecord> &out, std::string &error) {
    refreshLinks();
    nl_cache *addrs = nullptr;
    int r = rtnl_addr_alloc_cache(sock_, &addrs);
    if (r < 0) {
        error = std::string("cannot read the kernel's addresses: ") + nl_geterror(r);
        return false;
    }
    out.clear();
    for (nl_object *o = nl_cache_get_first(addrs); o; o = nl_cache_get_next(o)) {
        KernelRecord rec;
        if (convert(reinterpret_cast<rtnl_addr *>(o), rec)) out.push_back(rec);
    }
    nl_cache_free(addrs);
    return true;
}

KernelEvents::~KernelEvents() {
    if (sock_) nl_socket_free(sock_);
}

bool KernelEvents::open(Handler handler, LinkHandler linkHandler, std::string &error) {
    handler_ = std::move(handler);
    linkHandler_ = std::move(linkHandler);
    sock_ = nl_socket_alloc();
    if (!sock_) {
        error = "cannot allocate a netlink socket";
        return false;
    }
    nl_socket_disable_seq_check(sock_);  // notifications carry no sequence
    nl_socket_modify_cb(sock_, NL_CB_VALID, NL_CB_CUSTOM, &KernelEvents::onMessage, this);
    int r = nl_connect(sock_, NETLINK_ROUTE);
    if (r >= 0)
        r = nl_socket_add_memberships(sock_, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR, RTNLGRP_LINK,
                                      0);
    if (r >= 0) r = nl_socket_set_nonblocking(sock_);
    if (r < 0) {
        error = std::string("cannot listen to kernel address changes: ") + nl_geterror(r);
        return false;
    }
    return true;
}

int KernelEvents::fd() const { return nl_socket_get_fd(sock_); }

void KernelEvents::receive() {
    // Non-blocking: stops when nothing is left to read.
    while (nl_recvmsgs_default(sock_) >= 0) {}
}

int KernelEvents::onMessage(nl_msg *msg, void *selfPtr) {
    auto *self = static_cast<KernelEvents *>(selfPtr);
    const int type = nlmsg_hdr(msg)->nlmsg_type;
    if (type == RTM_NEWLINK || type == RTM_DELLINK) {
        struct LinkCtx {
            KernelEvents *self;
            bool gone;
        } lctx{self, type == RTM_DELLINK};
        nl_msg_parse(
            msg,
            [](nl_object *obj, void *arg) {
                auto *c = static_cast<LinkCtx *>(arg);
                auto *link = reinterpret_cast<rtnl_link *>(obj);
                c->self->linkHandler_(rtnl_link_get_ifindex(link),
                                      (rtnl_link_get_flags(link) & IFF_UP) != 0, c->gone);
            },
            &lctx);
        return NL_OK;
    }
    if (type != RTM_NEWADDR && type != RTM_DELADDR) return NL_OK;
    struct Ctx {
        KernelEvents *self;
        bool added;
    } ctx{self, type == RTM_NEWADDR};
    nl_msg_parse(
        msg,
        [](nl_object *obj, void *arg) {
            auto *c = static_cast<Ctx *>(arg);
            c->self->handler_(c->added, reinterpret_cast<rtnl_addr *>(obj));
        },
        &ctx);
    return NL_OK;
}

}  // namespace sim
