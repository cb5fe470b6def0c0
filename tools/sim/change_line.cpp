#include "change_line.h"

#include <cstring>
#include <string>

#include "values.h"

namespace sim {

namespace {

// The lexer's blanks: words are the runs between them.
bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

struct ChangeVerb {
    std::string_view name;
    bool v6;
    uint32_t code;
};
constexpr ChangeVerb kVerbs[] = {
    {"add4", false, IPAM4_EVT_ADD},     {"del4", false, IPAM4_EVT_DEL},
    {"batch4", false, IPAM4_EVT_BATCH}, {"add6", true, IPAM6_EVT_ADD},
    {"del6", true, IPAM6_EVT_DEL},      {"update6", true, IPAM6_EVT_UPDATE},
    {"batch6", true, IPAM6_EVT_BATCH},
};

// The record's fields; dest is an IPv6 record's only.
enum Field { kIf, kName, kVrf, kAddr, kMask, kAttr, kDest, kFields };
constexpr std::string_view kFieldNames[kFields] = {"if",   "name", "vrf", "addr",
                                                   "mask", "attr", "dest"};

// The next word at *at, empty at the end of the line.
std::string_view nextWord(std::string_view line, size_t *at) {
    size_t i = *at;
    while (i < line.size() && blank(line[i])) ++i;
    const size_t start = i;
    while (i < line.size() && !blank(line[i])) ++i;
    *at = i;
    return line.substr(start, i - start);
}

}  // namespace

bool parseChangeLine(std::string_view line, Step &out) {
    for (char c : line)
        if (c == '"' || c == '#') return false;
    size_t at = 0;
    const std::string_view verbText = nextWord(line, &at);
    const ChangeVerb *verb = nullptr;
    for (const ChangeVerb &v : kVerbs)
        if (v.name == verbText) verb = &v;
    if (verb == nullptr) return false;

    std::string_view value[kFields];
    bool seen[kFields] = {};
    for (std::string_view w; !(w = nextWord(line, &at)).empty();) {
        const size_t eq = w.find('=');
        if (eq == std::string_view::npos || eq == 0 || eq + 1 == w.size()) return false;
        int f = 0;
        while (f < kFields && kFieldNames[f] != w.substr(0, eq)) ++f;
        if (f == kFields || (f == kDest && !verb->v6) || seen[f]) return false;
        seen[f] = true;
        value[f] = w.substr(eq + 1);
    }

    const bool v6 = verb->v6;
    const int bytes = v6 ? 16 : 4;
    std::string error;  // filled only for a line we leave to the parser
    uint32_t ifIndex = 0, vrf = 0, attr = 0;
    uint8_t addr[16] = {}, mask[16] = {}, dest[16] = {};
    int prefix = -1;
    if (!seen[kIf] || !parseU32(value[kIf], ifIndex, error)) return false;
    if (seen[kVrf] && !parseU32(value[kVrf], vrf, error)) return false;
    if (seen[kName] && value[kName].size() > IPAM_IFNAME_SIZE - 1) return false;
    if (!seen[kAddr] || !(v6 ? parsePrefix6(value[kAddr], addr, prefix, error)
                             : parsePrefix4(value[kAddr], addr, prefix, error)))
        return false;
    if (seen[kMask]) {
        if (prefix >= 0) return false;
        if (!(v6 ? parseAddr6(value[kMask], mask, error) : parseAddr4(value[kMask], mask, error)))
            return false;
    } else {
        prefixMask(prefix >= 0 ? prefix : bytes * 8, mask, bytes);
    }
    if (seen[kAttr] && !parseAttr(value[kAttr], v6 ? Family::v6 : Family::v4, attr, error))
        return false;
    if (seen[kDest] && !parseAddr6(value[kDest], dest, error)) return false;

    out.code = verb->code;
    char *name;
    if (v6) {
        out.verb = Verb::Send6;
        out.length = sizeof(Ipam6AddrInfo);
        Ipam6AddrInfo &r = out.rec6;
        r = Ipam6AddrInfo{};
        r.ifIndex = ifIndex;
        r.vrfIndex = vrf;
        std::memcpy(r.ip6Addr, addr, 16);
        std::memcpy(r.ip6Mask, mask, 16);
        std::memcpy(r.ip6DestAddr, dest, 16);
        r.ip6Attr = attr;
        name = r.ifName;
    } else {
        out.verb = Verb::Send4;
        out.length = sizeof(Ipam4AddrInfo);
        Ipam4AddrInfo &r = out.rec4;
        r = Ipam4AddrInfo{};
        r.ifIndex = ifIndex;
        r.vrfIndex = vrf;
        std::memcpy(&r.ipAddr, addr, 4);  // network byte order, byte for byte
        std::memcpy(&r.ipMask, mask, 4);
        r.ipAttr = attr;
        name = r.ifName;
    }
    if (seen[kName]) std::memcpy(name, value[kName].data(), value[kName].size());
    return true;
}

}  // namespace sim
