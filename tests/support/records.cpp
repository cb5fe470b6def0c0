#include "support/records.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ipamtest {

namespace {

// Splits "addr/len" into the address text and the prefix length (the whole
// family's length when "/len" is missing).
std::string splitCidr(const char *cidr, int maxLen, int *prefixLen) {
    std::string text(cidr);
    size_t slash = text.find('/');
    *prefixLen = maxLen;
    if (slash == std::string::npos) return text;
    *prefixLen = std::atoi(text.c_str() + slash + 1);
    return text.substr(0, slash);
}

void prefixMask(int prefixLen, uint8_t *mask, size_t size) {
    std::memset(mask, 0, size);
    for (int i = 0; i < prefixLen && i < static_cast<int>(size * 8); ++i)
        mask[i / 8] = static_cast<uint8_t>(mask[i / 8] | (0x80u >> (i % 8)));
}

void setName(char (&dst)[IPAM_IFNAME_SIZE], uint32_t ifIndex, const char *ifName) {
    std::memset(dst, 0, sizeof dst);
    if (ifName != nullptr)
        std::strncpy(dst, ifName, sizeof dst - 1);
    else
        std::snprintf(dst, sizeof dst, "if%u", ifIndex);
}

std::string text(int family, const void *addr) {
    char buf[64] = {0};
    inet_ntop(family, addr, buf, sizeof buf);
    return buf;
}

bool codeCarries4(uint32_t code) {
    return code == IPAM4_EVT_ADD || code == IPAM4_EVT_DEL || code == IPAM4_EVT_VALID ||
           code == IPAM4_EVT_INVALID;
}

bool codeCarries6(uint32_t code) {
    return code == IPAM6_EVT_ADD || code == IPAM6_EVT_DEL || code == IPAM6_EVT_VALID ||
           code == IPAM6_EVT_INVALID || code == IPAM6_EVT_UPDATE;
}

}  // namespace

Ipam4AddrInfo addr4(uint32_t ifIndex, const char *cidr, uint32_t attr, uint32_t vrf,
                    const char *ifName) {
    Ipam4AddrInfo r;
    std::memset(&r, 0, sizeof r);
    int len = 0;
    std::string a = splitCidr(cidr, 32, &len);
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    inet_pton(AF_INET, a.c_str(), &r.ipAddr);
    prefixMask(len, reinterpret_cast<uint8_t *>(&r.ipMask), sizeof r.ipMask);
    r.ipAttr = attr;
    setName(r.ifName, ifIndex, ifName);
    return r;
}

Ipam6AddrInfo addr6(uint32_t ifIndex, const char *cidr, uint32_t attr, uint32_t vrf,
                    const char *ifName) {
    Ipam6AddrInfo r;
    std::memset(&r, 0, sizeof r);
    int len = 0;
    std::string a = splitCidr(cidr, 128, &len);
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    inet_pton(AF_INET6, a.c_str(), r.ip6Addr);
    prefixMask(len, r.ip6Mask, sizeof r.ip6Mask);
    r.ip6Attr = attr;
    setName(r.ifName, ifIndex, ifName);
    return r;
}

std::string describe(const Ipam4AddrInfo &r) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "if=%u vrf=%u %s/%s attr=0x%x name=%.40s", r.ifIndex,
                  r.vrfIndex, text(AF_INET, &r.ipAddr).c_str(), text(AF_INET, &r.ipMask).c_str(),
                  r.ipAttr, r.ifName);
    return buf;
}

std::string describe(const Ipam6AddrInfo &r) {
    char buf[240];
    std::snprintf(buf, sizeof buf, "if=%u vrf=%u %s/%s attr=0x%x name=%.40s", r.ifIndex,
                  r.vrfIndex, text(AF_INET6, r.ip6Addr).c_str(), text(AF_INET6, r.ip6Mask).c_str(),
                  r.ip6Attr, r.ifName);
    return buf;
}

std::string eventName(uint32_t code) {
    switch (code) {
    case IPAM_EVT_BATCH_START: return "BATCH_START";
    case IPAM_EVT_BATCH_END: return "BATCH_END";
    case IPAM4_EVT_ADD: return "ADD4";
    case IPAM4_EVT_DEL: return "DEL4";
    case IPAM4_EVT_VALID: return "VALID4";
    case IPAM4_EVT_INVALID: return "INVALID4";
    case IPAM6_EVT_ADD: return "ADD6";
    case IPAM6_EVT_DEL: return "DEL6";
    case IPAM6_EVT_VALID: return "VALID6";
    case IPAM6_EVT_INVALID: return "INVALID6";
    case IPAM6_EVT_UPDATE: return "UPDATE6";
    case IPAM_EVT_RELAY: return "RELAY";
    default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", code);
        return buf;
    }
    }
}

std::string ev(uint32_t code, const Ipam4AddrInfo &r) { return eventName(code) + " " + describe(r); }
std::string ev(uint32_t code, const Ipam6AddrInfo &r) { return eventName(code) + " " + describe(r); }
std::string ev(uint32_t code) { return eventName(code); }

int32_t EventLog::callback(uint32_t code, void *record) {
    EventLog &log = eventLog();
    Event e{code, record != nullptr, eventName(code)};
    if (record != nullptr && codeCarries4(code))
        e.text = ev(code, *static_cast<const Ipam4AddrInfo *>(record));
    else if (record != nullptr && codeCarries6(code))
        e.text = ev(code, *static_cast<const Ipam6AddrInfo *>(record));
    else if (record != nullptr)
        e.text += " record";
    else if (codeCarries4(code) || codeCarries6(code))
        e.text += " null";
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
