// One address record as the simulator shows and matches it: either family,
// with the request code of a set-address body or the batch version of a
// replica node when there is one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ipam.h"

namespace sim {

struct Record {
    bool v6 = false;
    uint32_t ifIndex = 0;
    uint32_t vrfIndex = 0;
    std::string name;  // at most the 40 stored bytes, up to the first NUL
    uint8_t addr[16] = {};
    uint8_t mask[16] = {};
    uint8_t dest[16] = {};
    uint32_t attr = 0;
    std::optional<int32_t> requestCode;  // set-address bodies
    std::optional<uint32_t> batchVer;    // replica nodes

    static Record from4(const Ipam4AddrInfo &info);
    static Record from6(const Ipam6AddrInfo &info);
};

// "if=3 name=eth0 vrf=0 addr=10.0.0.1/24 attr=PRIMARY|VALID": the same
// fields a scenario writes, so a printed record can be pasted back.
std::string recordText(const Record &r);
// The same text appended to `out`.
void appendRecordText(std::string &out, const Record &r);

// What an expect line asks of a record: only the fields it names.
struct RecordMatch {
    std::optional<bool> v6;
    std::optional<uint32_t> ifIndex, vrfIndex, attr, batchVer;
    std::optional<int32_t> requestCode;
    std::optional<std::string> name;
    bool hasAddr = false;
    uint8_t addr[16] = {};
    int prefix = -1;  // -1: any mask
    bool hasMask = false;
    uint8_t mask[16] = {};
    bool hasDest = false;
    uint8_t dest[16] = {};

    bool matches(const Record &r) const;
    bool empty() const;
};

std::string matchText(const RecordMatch &m);

}  // namespace sim
