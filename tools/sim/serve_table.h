// The publisher's table: what `ipam-sim serve` sends as a batch, changed by
// commands, set-address requests or the kernel. Each change comes back as
// the publisher messages that tell subscribers about it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "ipam.h"

namespace sim {

struct PubRecord {
    bool v6 = false;
    Ipam4AddrInfo r4{};
    Ipam6AddrInfo r6{};
    const void *data() const { return v6 ? static_cast<const void *>(&r6) : &r4; }
    uint32_t size() const { return v6 ? sizeof r6 : sizeof r4; }
};

struct PubMessage {
    uint32_t code = 0;
    PubRecord rec;         // record messages
    uint32_t ifIndex = 0;  // interface messages
};

class PubTable {
public:
    // Adds or replaces the record with the same interface, VRF, address and
    // mask. A replaced IPv4 record goes as a delete of the old form and an
    // add; a replaced IPv6 record as an update. Nothing for an equal one.
    std::vector<PubMessage> add(const PubRecord &r);
    // Removes that record; false when there is none.
    bool del(const PubRecord &r, std::vector<PubMessage> &out);
    // An IPv6 update: the stored record takes r's attribute (added when new).
    std::vector<PubMessage> update6(const PubRecord &r);
    // Interface message: the same flip of IF_VALID|VALID the subscriber does.
    std::vector<PubMessage> interface(uint32_t code, uint32_t ifIndex);
    // Makes the table equal to `records`, announcing the differences.
    std::vector<PubMessage> replace(const std::vector<PubRecord> &records);

    // Calls fn(record) for the whole table, in a stable order.
    template <typename F>
    void each(F fn) const {
        for (const auto &[k, r] : table_) fn(r);
    }
    size_t size() const { return table_.size(); }

private:
    // The family, then interface, VRF, address and mask as stored, zero
    // padded: compared byte for byte, IPv4 records come before IPv6 ones.
    using Key = std::array<uint8_t, 41>;
    static Key key(const PubRecord &r);
    std::map<Key, PubRecord> table_;
};

}  // namespace sim
