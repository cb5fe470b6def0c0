#include "record.h"

#include <arpa/inet.h>

#include <charconv>
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
    std::string out;
    out.reserve(128);
    appendRecordText(out, r);
    return out;
}

// Without a temporary per field: an export prints a million of these.
void appendRecordText(std::string &out, const Record &r) {
    int bytes = r.v6 ? 16 : 4;
    const size_t start = out.size();
    auto key = [&out, start](std::string_view k) {
        if (out.size() > start) out.push_back(' ');
        out.append(k).push_back('=');
    };
    auto number = [&out](auto v) {
        char text[16];
        out.append(text, std::to_chars(text, text + sizeof text, v).ptr);
    };
    // IPv4 as inet_ntop writes it, without its trip through sprintf.
    auto address = [&out, &number](bool v6, const uint8_t *a) {
        if (!v6) {
            for (int i = 0; i < 4; ++i) {
                if (i > 0) out.push_back('.');
                number(static_cast<unsigned>(a[i]));
            }
            return;
        }
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, a, text, sizeof text);
        out.append(text);
    };
    if (r.requestCode) {
        key("code");
        number(*r.requestCode);
    }
    key("if");
    number(r.ifIndex);
    key("name");
    out.append(quoted(r.name));
    key("vrf");
    number(r.vrfIndex);
    key("addr");
    address(r.v6, r.addr);
    int prefix = maskPrefix(r.mask, bytes);
    if (prefix >= 0) {
        out.push_back('/');
        number(prefix);
    } else {
        key("mask");
        address(r.v6, r.mask);
    }
    static const uint8_t zero[16] = {};
    if (r.v6 && std::memcmp(r.dest, zero, 16) != 0) {
        key("dest");
        address(true, r.dest);
    }
    key("attr");
    out.append(attrText(r.attr, r.v6 ? Family::v6 : Family::v4));
    if (r.batchVer) {
        key("ver");
        number(*r.batchVer);
    }
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
