// Scenario values: numbers, addresses, prefixes, attribute and event names.
// Every parser answers false and leaves a message in `error` for text it
// cannot read; none of them throws.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace sim {

bool parseU32(std::string_view text, uint32_t &out, std::string &error);
bool parseI32(std::string_view text, int32_t &out, std::string &error);

// IPv4: the four octets in address order, as the records hold them.
bool parseAddr4(std::string_view text, uint8_t out[4], std::string &error);
bool parseAddr6(std::string_view text, uint8_t out[16], std::string &error);

// "ADDR" or "ADDR/LEN"; prefix is -1 when no length was written.
bool parsePrefix4(std::string_view text, uint8_t addr[4], int &prefix, std::string &error);
bool parsePrefix6(std::string_view text, uint8_t addr[16], int &prefix, std::string &error);

// Mask of `prefix` leading one bits over `bytes` octets.
void prefixMask(int prefix, uint8_t *mask, int bytes);
// Prefix length of a contiguous mask, or -1 when the mask has holes.
int maskPrefix(const uint8_t *mask, int bytes);

// Attribute words: names joined with '|' (PRIMARY|VALID), numbers allowed.
enum class Family { v4, v6 };
bool parseAttr(std::string_view text, Family family, uint32_t &out, std::string &error);
std::string attrText(uint32_t attr, Family family);

// Event codes by their header names (IPAM4_EVT_ADD), joined with '|'.
bool parseEvents(std::string_view text, uint32_t &out, std::string &error);
// The name of a code with one bit set, else its hex value.
std::string eventName(uint32_t code);
std::string eventsText(uint32_t mask);

std::string addr4Text(const uint8_t addr[4]);
std::string addr6Text(const uint8_t addr[16]);
std::string hex(uint32_t value);

// Debug flag names (api, event, sub, rsv, db, all) and the management
// parameter ids that set and clear them.
extern const std::map<std::string, int32_t> kDebugParams;
// The debug word as flag names joined with '|' (unknown bits in hex), or
// "none".
std::string debugNames(uint32_t word);

// Appends `part` to `out`, with `sep` between when `out` is not empty.
void join(std::string &out, std::string_view sep, std::string_view part);

}  // namespace sim
