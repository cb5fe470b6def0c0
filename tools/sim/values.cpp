#include "values.h"

#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "ipam.h"

namespace sim {
namespace {

struct Named {
    const char *name;
    uint32_t value;
};

// The attribute bits the library looks at, by family. The long header
// names are accepted as well as the short ones.
constexpr std::array<Named, 4> kAttr4{{{"PRIMARY", IPAM4_ATTR_PRIMARY},
                                       {"NO_VRF_LOOKUP", IPAM4_ATTR_NO_VRF_LOOKUP},
                                       {"IF_VALID", IPAM_ATTR_IF_VALID},
                                       {"VALID", IPAM_ATTR_VALID}}};
constexpr std::array<Named, 3> kAttr6{{{"NO_SOURCE", IPAM6_ATTR_NO_SOURCE},
                                       {"IF_VALID", IPAM_ATTR_IF_VALID},
                                       {"VALID", IPAM_ATTR_VALID}}};

constexpr std::array<Named, 18> kEvents{{
    {"IPAM_EVT_BATCH_START", IPAM_EVT_BATCH_START},
    {"IPAM_EVT_BATCH_END", IPAM_EVT_BATCH_END},
    {"IPAM4_EVT_BATCH", IPAM4_EVT_BATCH},
    {"IPAM4_EVT_ADD", IPAM4_EVT_ADD},
    {"IPAM4_EVT_DEL", IPAM4_EVT_DEL},
    {"IPAM6_EVT_BATCH", IPAM6_EVT_BATCH},
    {"IPAM6_EVT_ADD", IPAM6_EVT_ADD},
    {"IPAM6_EVT_DEL", IPAM6_EVT_DEL},
    {"IPAM4_EVT_IF_VALID", IPAM4_EVT_IF_VALID},
    {"IPAM4_EVT_IF_INVALID", IPAM4_EVT_IF_INVALID},
    {"IPAM4_EVT_VALID", IPAM4_EVT_VALID},
    {"IPAM4_EVT_INVALID", IPAM4_EVT_INVALID},
    {"IPAM6_EVT_IF_VALID", IPAM6_EVT_IF_VALID},
    {"IPAM6_EVT_IF_INVALID", IPAM6_EVT_IF_INVALID},
    {"IPAM6_EVT_VALID", IPAM6_EVT_VALID},
    {"IPAM6_EVT_INVALID", IPAM6_EVT_INVALID},
    {"IPAM6_EVT_UPDATE", IPAM6_EVT_UPDATE},
    {"IPAM_EVT_RELAY", IPAM_EVT_RELAY},
}};

bool parseU64(std::string_view text, uint64_t &out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// Splits "A|B|C" and hands each part to `one`; false on an empty part.
template <typename F>
bool eachPart(std::string_view text, F one) {
    while (true) {
        size_t bar = text.find('|');
        std::string_view part = text.substr(0, bar);
        if (part.empty() || !one(part)) return false;
        if (bar == std::string_view::npos) return true;
        text.remove_prefix(bar + 1);
    }
}

template <size_t N>
bool lookupName(const std::array<Named, N> &table, std::string_view name, uint32_t &out) {
    for (const Named &n : table)
        if (name == n.name) {
            out = n.value;
            return true;
        }
    return false;
}

}  // namespace

bool parseU32(std::string_view text, uint32_t &out, std::string &error) {
    uint64_t v = 0;
    if (!parseU64(text, v) || v > UINT32_MAX) {
        error = "bad number '" + std::string(text) + "'";
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

bool parseI32(std::string_view text, int32_t &out, std::string &error) {
    bool negative = !text.empty() && text[0] == '-';
    uint64_t v = 0;
    bool ok = parseU64(negative ? text.substr(1) : text, v);
    // Hex words above INT32_MAX are taken as their 32-bit pattern.
    bool hexWord = !negative && text.size() > 2 && text[1] == 'x';
    if (!ok || (negative && v > 0x80000000ull) ||
        (!negative && v > (hexWord ? 0xffffffffull : 0x7fffffffull))) {
        error = "bad number '" + std::string(text) + "'";
        return false;
    }
    out = negative ? static_cast<int32_t>(-static_cast<int64_t>(v))
                   : static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

bool parseAddr4(std::string_view text, uint8_t out[4], std::string &error) {
    std::string s(text);
    if (inet_pton(AF_INET, s.c_str(), out) != 1) {
        error = "bad IPv4 address '" + s + "'";
        return false;
    }
    return true;
}

bool parseAddr6(std::string_view text, uint8_t out[16], std::string &error) {
    std::string s(text);
    if (inet_pton(AF_INET6, s.c_str(), out) != 1) {
        error = "bad IPv6 address '" + s + "'";
        return false;
    }
    return true;
}

namespace {
bool parsePrefix(std::string_view text, uint8_t *addr, int bytes, int &prefix, std::string &error) {
    size_t slash = text.find('/');
    std::string_view a = text.substr(0, slash);
    if (!(bytes == 4 ? parseAddr4(a, addr, error) : parseAddr6(a, addr, error))) return false;
    prefix = -1;
    if (slash == std::string_view::npos) return true;
    std::string_view len = text.substr(slash + 1);
    uint64_t v = 0;
    if (!parseU64(len, v) || v > static_cast<uint64_t>(bytes * 8) || len.substr(0, 2) == "0x") {
        error = "bad prefix length '" + std::string(len) + "'";
        return false;
    }
    prefix = static_cast<int>(v);
    return true;
}
}  // namespace

bool parsePrefix4(std::string_view text, uint8_t addr[4], int &prefix, std::string &error) {
    return parsePrefix(text, addr, 4, prefix, error);
}

bool parsePrefix6(std::string_view text, uint8_t addr[16], int &prefix, std::string &error) {
    return parsePrefix(text, addr, 16, prefix, error);
}

void prefixMask(int prefix, uint8_t *mask, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        int bits = prefix - i * 8;
        mask[i] = bits >= 8 ? 0xff : bits <= 0 ? 0 : static_cast<uint8_t>(0xff << (8 - bits));
    }
}

int maskPrefix(const uint8_t *mask, int bytes) {
    int len = 0;
    int i = 0;
    for (; i < bytes && mask[i] == 0xff; ++i) len += 8;
    if (i < bytes) {
        uint8_t m = mask[i];
        while (m & 0x80) {
            ++len;
            m = static_cast<uint8_t>(m << 1);
        }
        if (m != 0) return -1;
        for (++i; i < bytes; ++i)
            if (mask[i] != 0) return -1;
    }
    return len;
}

bool parseAttr(std::string_view text, Family family, uint32_t &out, std::string &error) {
    out = 0;
    bool ok = eachPart(text, [&](std::string_view part) {
        std::string_view shortName = part;
        for (std::string_view p : {"IPAM4_ATTR_", "IPAM6_ATTR_", "IPAM_ATTR_"})
            if (shortName.substr(0, p.size()) == p) {
                shortName.remove_prefix(p.size());
                break;
            }
        uint32_t v = 0;
        bool named = family == Family::v4 ? lookupName(kAttr4, shortName, v)
                                          : lookupName(kAttr6, shortName, v);
        if (!named) {
            std::string numError;
            if (!parseU32(part, v, numError)) {
                error = std::string("unknown ") + (family == Family::v4 ? "IPv4" : "IPv6") +
                        " attribute '" + std::string(part) + "'";
                return false;
            }
        }
        out |= v;
        return true;
    });
    if (!ok && error.empty()) error = "bad attribute list '" + std::string(text) + "'";
    return ok;
}

std::string attrText(uint32_t attr, Family family) {
    if (attr == 0) return "0";
    std::string out;
    uint32_t rest = attr;
    auto add = [&](const Named &n) {
        if (attr & n.value) {
            join(out, "|", n.name);
            rest &= ~n.value;
        }
    };
    if (family == Family::v4)
        for (const Named &n : kAttr4) add(n);
    else
        for (const Named &n : kAttr6) add(n);
    if (rest) join(out, "|", hex(rest));
    return out;
}

bool parseEvents(std::string_view text, uint32_t &out, std::string &error) {
    out = 0;
    bool ok = eachPart(text, [&](std::string_view part) {
        uint32_t v = 0;
        if (!lookupName(kEvents, part, v)) {
            std::string numError;
            if (!parseU32(part, v, numError)) {
                error = "unknown event '" + std::string(part) + "'";
                return false;
            }
        }
        out |= v;
        return true;
    });
    if (!ok && error.empty()) error = "bad event list '" + std::string(text) + "'";
    return ok;
}

std::string eventName(uint32_t code) {
    for (const Named &n : kEvents)
        if (n.value == code) return n.name;
    return hex(code);
}

std::string eventsText(uint32_t mask) {
    if (mask == 0) return "0";
    std::string out;
    for (uint32_t bit = 1; bit != 0; bit <<= 1)
        if (mask & bit) join(out, "|", eventName(bit));
    return out;
}

std::string addr4Text(const uint8_t addr[4]) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, addr, buf, sizeof buf);
    return buf;
}

std::string addr6Text(const uint8_t addr[16]) {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, addr, buf, sizeof buf);
    return buf;
}

void join(std::string &out, std::string_view sep, std::string_view part) {
    if (!out.empty()) out.append(sep);
    out.append(part);
}

std::string hex(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(value));
    return buf;
}

const std::map<std::string, int32_t> kDebugParams{
    {"api", IPAM_CMF_PARAM_API},     {"rsv", IPAM_CMF_PARAM_RSV}, {"db", IPAM_CMF_PARAM_DB},
    {"event", IPAM_CMF_PARAM_EVENT}, {"sub", IPAM_CMF_PARAM_SUB}, {"all", IPAM_CMF_PARAM_ALL},
};

std::string debugNames(uint32_t word) {
    static const struct {
        uint32_t bit;
        const char *name;
    } names[] = {{IPAM_DBG_API, "api"},
                 {IPAM_DBG_EVENT, "event"},
                 {IPAM_DBG_SUB, "sub"},
                 {IPAM_DBG_RSV, "rsv"},
                 {IPAM_DBG_DB, "db"}};
    std::string s;
    uint32_t rest = word;
    for (const auto &n : names)
        if (word & n.bit) {
            join(s, "|", n.name);
            rest &= ~n.bit;
        }
    if (rest) join(s, "|", hex(rest));
    return s.empty() ? "none" : s;
}

}  // namespace sim
