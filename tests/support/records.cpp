#include "support/records.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ipamtest {

namespace {

// Fills what both families share; "addr/len" (len defaults to the whole
// family) goes to addr and mask.
template <class R>
void fill(R &r, int family, uint32_t ifIndex, const char *cidr, uint32_t vrf, const char *ifName,
          void *addr, uint8_t *mask, int bits) {
    std::string text(cidr);
    size_t slash = text.find('/');
    int len = slash == std::string::npos ? bits : std::atoi(text.c_str() + slash + 1);
    inet_pton(family, text.substr(0, slash).c_str(), addr);
    for (int i = 0; i < len && i < bits; ++i)
        mask[i / 8] = static_cast<uint8_t>(mask[i / 8] | (0x80u >> (i % 8)));
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    if (ifName != nullptr)
        std::strncpy(r.ifName, ifName, sizeof r.ifName - 1);
    else
        std::snprintf(r.ifName, sizeof r.ifName, "if%u", ifIndex);
}

template <class R>
std::string text(const R &r, int family, const void *addr, const void *mask, uint32_t attr) {
    char a[64] = {0}, m[64] = {0}, buf[240];
    inet_ntop(family, addr, a, sizeof a);
    inet_ntop(family, mask, m, sizeof m);
    std::snprintf(buf, sizeof buf, "if=%u vrf=%u %s/%s attr=0x%x name=%.40s", r.ifIndex, r.vrfIndex,
                  a, m, attr, r.ifName);
    return buf;
}

struct Name {
    uint32_t code;
    const char *name;
    int family;  // of the record the code carries; 0: none
};
const Name kNames[] = {{IPAM_EVT_BATCH_START, "BATCH_START", 0},
                       {IPAM_EVT_BATCH_END, "BATCH_END", 0},
                       {IPAM4_EVT_ADD, "ADD4", 4},
                       {IPAM4_EVT_DEL, "DEL4", 4},
                       {IPAM4_EVT_VALID, "VALID4", 4},
                       {IPAM4_EVT_INVALID, "INVALID4", 4},
                       {IPAM6_EVT_ADD, "ADD6", 6},
                       {IPAM6_EVT_DEL, "DEL6", 6},
                       {IPAM6_EVT_VALID, "VALID6", 6},
                       {IPAM6_EVT_INVALID, "INVALID6", 6},
                       {IPAM6_EVT_UPDATE, "UPDATE6", 6},
                       {IPAM_EVT_RELAY, "RELAY", 0}};

const Name *find(uint32_t code) {
    for (const Name &n : kNames)
        if (n.code == code) return &n;
    return nullptr;
}

}  // namespace

Ipam4AddrInfo addr4(uint32_t ifIndex, const char *cidr, uint32_t attr, uint32_t vrf,
                    const char *ifName) {
    Ipam4AddrInfo r;
    std::memset(&r, 0, sizeof r);
    fill(r, AF_INET, ifIndex, cidr, vrf, ifName, &r.ipAddr, reinterpret_cast<uint8_t *>(&r.ipMask),
         32);
    r.ipAttr = attr;
    return r;
}

Ipam6AddrInfo addr6(uint32_t ifIndex, const char *cidr, uint32_t attr, uint32_t vrf,
                    const char *ifName) {
    Ipam6AddrInfo r;
    std::memset(&r, 0, sizeof r);
    fill(r, AF_INET6, ifIndex, cidr, vrf, ifName, r.ip6Addr, r.ip6Mask, 128);
    r.ip6Attr = attr;
    return r;
}

std::string describe(const Ipam4AddrInfo &r) {
    return text(r, AF_INET, &r.ipAddr, &r.ipMask, r.ipAttr);
}
std::string describe(const Ipam6AddrInfo &r) {
    return text(r, AF_INET6, r.ip6Addr, r.ip6Mask, r.ip6Attr);
}

std::string eventName(uint32_t code) {
    if (const Name *n = find(code)) return n->name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", code);
    return buf;
}

std::string ev(uint32_t code, const Ipam4AddrInfo &r) {
    return eventName(code) + " " + describe(r);
}
std::string ev(uint32_t code, const Ipam6AddrInfo &r) {
    return eventName(code) + " " + describe(r);
}
std::string ev(uint32_t code) { return eventName(code); }

int32_t EventLog::callback(uint32_t code, void *record) {
    EventLog &log = eventLog();
    const Name *n = find(code);
    int family = n ? n->family : 0;
    Event e{code, record != nullptr, eventName(code)};
    if (record != nullptr && family == 4)
        e.text = ev(code, *static_cast<const Ipam4AddrInfo *>(record));
    else if (record != nullptr && family == 6)
        e.text = ev(code, *static_cast<const Ipam6AddrInfo *>(record));
    else if (record != nullptr || family != 0)
        e.text += record != nullptr ? " record" : " null";
    std::function<void(uint32_t, void *)> hook;
    {
        std::lock_guard<std::mutex> g(log.mu_);
        log.events_.push_back(e);
        hook = log.hook_;
    }
    if (hook) hook(code, record);
    return 0;
}

std::vector<Event> EventLog::events() const {
    std::lock_guard<std::mutex> g(mu_);
    return events_;
}

std::vector<std::string> EventLog::texts() const {
    std::vector<std::string> out;
    for (const Event &e : events()) out.push_back(e.text);
    return out;
}

void EventLog::clear() {
    std::lock_guard<std::mutex> g(mu_);
    events_.clear();
}

void EventLog::setHook(std::function<void(uint32_t, void *)> hook) {
    std::lock_guard<std::mutex> g(mu_);
    hook_ = std::move(hook);
}

EventLog &eventLog() {
    static EventLog log;
    return log;
}

}  // namespace ipamtest
