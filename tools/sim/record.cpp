#include "record.h"

#include <cstring>

#include "values.h"

namespace sim {

namespace {
std::string storedName(const char (&name)[IPAM_IFNAME_SIZE]) {
    return std::string(name, strnlen(name, IPAM_IFNAME_SIZE));
}

std::string quoted(const std::string &s) {
    if (!s.empty() && s.find_first_of(" \t\"#") == std::string::npos) return s;
    std::string q(1, '"');
    q.append(s).push_back('"');
    return q;
}

std::string addrText(bool v6, const uint8_t *a) { return v6 ? addr6Text(a) : addr4Text(a); }

// "key=value", built by appending (gcc 12 at -O3 misreports overlaps in
// chains of literal + std::string).
std::string kv(std::string_view key, const std::string &value) {
    std::string s(key);
    s.append("=").append(value);
    return s;
}
}  // namespace

Record Record::from4(const Ipam4AddrInfo &info) {
    Record r;
    r.ifIndex = info.ifIndex;
    r.vrfIndex = info.vrfIndex;
    r.name = storedName(info.ifName);
    // Addresses stay in network byte order: copy the bytes, never the value.
    std::memcpy(r.addr, &info.ipAddr, 4);
    std::memcpy(r.mask, &info.ipMask, 4);
    r.attr = info.ipAttr;
    return r;
}

Record Record::from6(const Ipam6AddrInfo &info) {
    Record r;
    r.v6 = true;
    r.ifIndex = info.ifIndex;
    r.vrfIndex = info.vrfIndex;
    r.name = storedName(info.ifName);
    std::memcpy(r.addr, info.ip6Addr, 16);
    std::memcpy(r.mask, info.ip6Mask, 16);
    std::memcpy(r.dest, info.ip6DestAddr, 16);
    r.attr = info.ip6Attr;
    return r;
}

std::string recordText(const Record &r) {
    int bytes = r.v6 ? 16 : 4;
    std::string out;
    if (r.requestCode) join(out, " ", kv("code", std::to_string(*r.requestCode)));
    join(out, " ", kv("if", std::to_string(r.ifIndex)));
    join(out, " ", kv("name", quoted(r.name)));
    join(out, " ", kv("vrf", std::to_string(r.vrfIndex)));
    join(out, " ", kv("addr", addrText(r.v6, r.addr)));
    int prefix = maskPrefix(r.mask, bytes);
    if (prefix >= 0)
        out.append("/").append(std::to_string(prefix));
    else
        join(out, " ", kv("mask", addrText(r.v6, r.mask)));
    static const uint8_t zero[16] = {};
    if (r.v6 && std::memcmp(r.dest, zero, 16) != 0) join(out, " ", kv("dest", addr6Text(r.dest)));
    join(out, " ", kv("attr", attrText(r.attr, r.v6 ? Family::v6 : Family::v4)));
    if (r.batchVer) join(out, " ", kv("ver", std::to_string(*r.batchVer)));
    return out;
}

bool RecordMatch::matches(const Record &r) const {
    int bytes = r.v6 ? 16 : 4;
    if (v6 && *v6 != r.v6) return false;
    if ((ifIndex && *ifIndex != r.ifIndex) || (vrfIndex && *vrfIndex != r.vrfIndex) ||
        (attr && *attr != r.attr) || (name && *name != r.name))
        return false;
    if (requestCode && (!r.requestCode || *requestCode != *r.requestCode)) return false;
    if (batchVer && (!r.batchVer || *batchVer != *r.batchVer)) return false;
    if (hasAddr && std::memcmp(addr, r.addr, bytes) != 0) return false;
    if (prefix >= 0 && maskPrefix(r.mask, bytes) != prefix) return false;
    if (hasMask && std::memcmp(mask, r.mask, bytes) != 0) return false;
    if (hasDest && std::memcmp(dest, r.dest, 16) != 0) return false;
    return true;
}

bool RecordMatch::empty() const {
    return !v6 && !ifIndex && !vrfIndex && !attr && !batchVer && !requestCode && !name &&
           !hasAddr && !hasMask && !hasDest;
}

std::string matchText(const RecordMatch &m) {
    bool v6 = m.v6.value_or(false);
    std::string out;
    if (m.requestCode) join(out, " ", kv("code", std::to_string(*m.requestCode)));
    if (m.ifIndex) join(out, " ", kv("if", std::to_string(*m.ifIndex)));
    if (m.name) join(out, " ", kv("name", quoted(*m.name)));
    if (m.vrfIndex) join(out, " ", kv("vrf", std::to_string(*m.vrfIndex)));
    if (m.hasAddr) {
        join(out, " ", kv("addr", addrText(v6, m.addr)));
        if (m.prefix >= 0) out.append("/").append(std::to_string(m.prefix));
    }
    if (m.hasMask) join(out, " ", kv("mask", addrText(v6, m.mask)));
    if (m.hasDest) join(out, " ", kv("dest", addr6Text(m.dest)));
    if (m.attr) join(out, " ", kv("attr", attrText(*m.attr, v6 ? Family::v6 : Family::v4)));
    if (m.batchVer) join(out, " ", kv("ver", std::to_string(*m.batchVer)));
    return out;
}

}  // namespace sim
