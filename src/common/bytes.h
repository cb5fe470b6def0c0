// Byte-order-independent access to addresses: records hold them in network
// byte order, whatever the host's.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace ipam {

// The four octets at p read as a big-endian number (first octet most
// significant), as the target reads a record's ipAddr.
inline uint32_t loadBe32(const void *p) {
    const auto *b = static_cast<const uint8_t *>(p);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

// The numeric value the target sees in an address field held as uint32_t.
inline uint32_t addrValue(uint32_t networkOrder) { return loadBe32(&networkOrder); }

// Dotted or colon text of an address for a trace; the buffer is zeroed first
// and stays empty when the conversion fails.
template <size_t N>
inline const char *addrText(int family, const void *addr, char (&buf)[N]) {
    std::memset(buf, 0, N);
    if (inet_ntop(family, addr, buf, N) == nullptr) buf[0] = '\0';
    return buf;
}

}  // namespace ipam
