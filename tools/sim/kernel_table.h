// Reading the kernel's address table with libnl-route-3, and turning each
// kernel address into the record the publisher would send for it.
//
// Mapping: interface index and name from the kernel (the link's name, not
// the IPv4 label); VRF 0 (the publisher service: the VRF's table id); mask from the prefix length; IPv6 peer address as
// the destination. Attributes: IF_VALID while the link is up, VALID while the
// link is up and (IPv6) the address is neither tentative nor failed its
// duplicate detection; IPv4 PRIMARY for addresses the kernel does not mark
// secondary; IPv6 NO_SOURCE for deprecated, tentative or failed addresses.
// Link state changes become the interface messages, which flip IF_VALID and
// VALID together in the replica: the same pair this mapping derives.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ipam.h"

struct nl_sock;
struct nl_cache;
struct rtnl_addr;
struct nl_msg;

namespace sim {

struct KernelRecord {
    bool v6 = false;
    Ipam4AddrInfo rec4{};
    Ipam6AddrInfo rec6{};
};

class KernelTable {
public:
    KernelTable() = default;
    ~KernelTable();
    KernelTable(const KernelTable &) = delete;
    KernelTable &operator=(const KernelTable &) = delete;

    bool open(std::string &error);
    // The publisher service's mapping: validity follows the link's carrier
    // (up with carrier), and an address on a port of a Linux VRF device
    // carries that VRF's routing table id as vrfIndex.
    void useCarrierAndVrf() { carrierAndVrf_ = true; }
    // Every IPv4 and IPv6 address the kernel holds now.
    bool dump(std::vector<KernelRecord> &out, std::string &error);
    // Reads the link table again (names and up/down state).
    void refreshLinks();
    // Up/down state of every link, by interface index, as last read.
    std::map<int, bool> linkStates() const;
    bool convert(rtnl_addr *addr, KernelRecord &out) const;

private:
    // Link state as this mapping sees it: usable, and the VRF index.
    void linkFacts(int ifIndex, bool &up, uint32_t &vrf, char *name) const;
    nl_sock *sock_ = nullptr;
    nl_cache *links_ = nullptr;
    bool carrierAndVrf_ = false;
};

// Kernel address and link notifications (RTNLGRP_IPV4_IFADDR,
// RTNLGRP_IPV6_IFADDR, RTNLGRP_LINK).
class KernelEvents {
public:
    // added: true for RTM_NEWADDR, false for RTM_DELADDR.
    using Handler = std::function<void(bool added, rtnl_addr *addr)>;
    // A link's state as notified; gone for RTM_DELLINK.
    using LinkHandler = std::function<void(int ifIndex, bool up, bool gone)>;

    KernelEvents() = default;
    ~KernelEvents();
    KernelEvents(const KernelEvents &) = delete;
    KernelEvents &operator=(const KernelEvents &) = delete;

    bool open(Handler handler, LinkHandler linkHandler, std::string &error);
    int fd() const;
    // Handles every notification waiting on the socket.
    void receive();

private:
    static int onMessage(::nl_msg *msg, void *self);
    nl_sock *sock_ = nullptr;
    Handler handler_;
    LinkHandler linkHandler_;
};

}  // namespace sim
