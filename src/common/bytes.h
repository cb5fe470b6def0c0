// Byte-order-independent access to addresses: records hold them in network
// byte order, whatever the host's.
#pragma once

#include <arpa/inet.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace ipam {

// The four octets at p read as a big-endian number (first octet most
// significant), as the target reads a record's ipAddr.
// One load and at most one byte swap: spelled out byte by byte, the
// compiler does not always see the swap once the bytes sit in registers.
inline uint32_t loadBe32(const void *p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    return word;
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
