#include "serve_table.h"

#include <cstring>
#include <set>

namespace sim {

namespace {

PubMessage recordMessage(uint32_t code, const PubRecord &r) {
    PubMessage m;
    m.code = code;
    m.rec = r;
    return m;
}

uint32_t &attrOf(PubRecord &r) { return r.v6 ? r.r6.ip6Attr : r.r4.ipAttr; }

bool same(const PubRecord &a, const PubRecord &b) {
    return a.v6 == b.v6 && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

PubTable::Key PubTable::key(const PubRecord &r) {
    Key k{};
    k[0] = r.v6 ? '6' : '4';
    size_t at = 1;
    auto put = [&k, &at](const void *p, size_t n) {
        std::memcpy(k.data() + at, p, n);
        at += n;
    };
    if (r.v6) {
        put(&r.r6.ifIndex, 4);
        put(&r.r6.vrfIndex, 4);
        put(r.r6.ip6Addr, 16);
        put(r.r6.ip6Mask, 16);
    } else {
        put(&r.r4.ifIndex, 4);
        put(&r.r4.vrfIndex, 4);
        put(&r.r4.ipAddr, 4);
        put(&r.r4.ipMask, 4);
    }
    return k;
}

std::vector<PubMessage> PubTable::add(const PubRecord &r) {
    std::vector<PubMessage> out;
    auto [it, fresh] = table_.emplace(key(r), r);
    if (fresh) {
        out.push_back(recordMessage(r.v6 ? IPAM6_EVT_ADD : IPAM4_EVT_ADD, r));
        return out;
    }
    if (same(it->second, r)) return out;
    if (r.v6) {
        out.push_back(recordMessage(IPAM6_EVT_UPDATE, r));
    } else {
        out.push_back(recordMessage(IPAM4_EVT_DEL, it->second));
        out.push_back(recordMessage(IPAM4_EVT_ADD, r));
    }
    it->second = r;
    return out;
}

bool PubTable::del(const PubRecord &r, std::vector<PubMessage> &out) {
    auto it = table_.find(key(r));
    if (it == table_.end()) return false;
    out.push_back(recordMessage(r.v6 ? IPAM6_EVT_DEL : IPAM4_EVT_DEL, it->second));
    table_.erase(it);
    return true;
}

std::vector<PubMessage> PubTable::update6(const PubRecord &r) {
    auto it = table_.find(key(r));
    if (it != table_.end())
        it->second.r6.ip6Attr = r.r6.ip6Attr;
    else
        it = table_.emplace(key(r), r).first;
    return {recordMessage(IPAM6_EVT_UPDATE, it->second)};
}

std::vector<PubMessage> PubTable::interface(uint32_t code, uint32_t ifIndex) {
    const bool v6 = code == IPAM6_EVT_IF_VALID || code == IPAM6_EVT_IF_INVALID;
    const bool valid = code == IPAM4_EVT_IF_VALID || code == IPAM6_EVT_IF_VALID;
    for (auto &[k, r] : table_) {
        const uint32_t idx = r.v6 ? r.r6.ifIndex : r.r4.ifIndex;
        if (r.v6 != v6 || idx != ifIndex) continue;
        uint32_t &attr = attrOf(r);
        attr = valid ? attr | IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID
                     : attr & ~(IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID);
    }
    PubMessage m;
    m.code = code;
    m.ifIndex = ifIndex;
    return {m};
}

std::vector<PubMessage> PubTable::replace(const std::vector<PubRecord> &records) {
    std::vector<PubMessage> out;
    std::set<Key> keep;
    for (const PubRecord &r : records) keep.insert(key(r));
    for (auto it = table_.begin(); it != table_.end();) {
        if (keep.count(it->first) == 0) {
            out.push_back(recordMessage(it->second.v6 ? IPAM6_EVT_DEL : IPAM4_EVT_DEL, it->second));
            it = table_.erase(it);
        } else {
            ++it;
        }
    }
    for (const PubRecord &r : records)
        for (PubMessage &m : add(r)) out.push_back(m);
    return out;
}

}  // namespace sim
