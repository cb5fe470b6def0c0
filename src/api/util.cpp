// Address utilities: validity, text conversion, comparison, prefix masks and
// networks. No shared state but the two cached libc entry points; no lock, no
// log.
#include <arpa/inet.h>

#include <atomic>
#include <cstring>

#include "ipam.h"
#include "platform/gnl_func.h"

namespace {

using NtopFn = const char *(*)(int, const void *, char *, socklen_t);
using PtonFn = int (*)(int, const char *, void *);

// libc's own conversions, resolved on first use so that a host which wraps
// inet_ntop/inet_pton still gets the standard behaviour here. Two racing
// first calls store the same pointer; relaxed atomics make that race benign.
std::atomic<NtopFn> ntopFunc{nullptr};
std::atomic<PtonFn> ptonFunc{nullptr};

// The cached entry point, resolved now when it is not yet; null while the
// platform cannot resolve it (the next call tries again).
template <class Fn>
Fn resolved(std::atomic<Fn> &cache, const char *symbol) {
    Fn fn = cache.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = reinterpret_cast<Fn>(gnl_orig_func_get("libc.so.6", symbol));
        if (fn != nullptr) cache.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

// The top `bits` bits of an octet (bits 1 to 7).
uint8_t topBits(uint32_t bits) { return static_cast<uint8_t>(0xff00u >> bits); }

// The mask of an N-octet address for a prefix length; -1 and nothing written
// when the length exceeds the address.
template <size_t N>
int32_t len2Mask(uint32_t prefixLen, uint8_t *mask) {
    if (mask == nullptr || prefixLen > N * 8) return IPAM_ERR_FAIL;
    std::memset(mask, 0, N);
    std::memset(mask, 0xff, prefixLen / 8);
    if (prefixLen % 8 != 0) mask[prefixLen / 8] = topBits(prefixLen % 8);
    return 0;
}

// The network of an N-octet address for a prefix length; -1 and nothing
// written when the length exceeds the address. Built aside and copied out, so
// `network` may be `addr` itself.
template <size_t N>
int32_t getNetwork(const uint8_t *addr, uint8_t *network, uint32_t prefixLen) {
    if (addr == nullptr || network == nullptr || prefixLen > N * 8) return IPAM_ERR_FAIL;
    uint8_t result[N] = {};
    std::memcpy(result, addr, prefixLen / 8);
    if (prefixLen % 8 != 0)
        result[prefixLen / 8] = static_cast<uint8_t>(addr[prefixLen / 8] & topBits(prefixLen % 8));
    std::memcpy(network, result, N);
    return 0;
}

}  // namespace

int32_t IPAM4_IsIpAddrValid(uint32_t ip) {
    uint32_t first = ip >> 24;
    // Zero network, loopback, and class D/E (multicast and reserved).
    if (first == 0 || first == 127 || first >= 224) return 0;
    return 1;
}

char *IPAM_Struct2String(const IpamAddr *addr, char *text, uint32_t size) {
    if (addr == nullptr || text == nullptr) return nullptr;
    NtopFn ntop = resolved(ntopFunc, "inet_ntop");
    if (ntop == nullptr) return nullptr;
    // The family and the size go to libc untested: it refuses what it cannot
    // convert, and the text it returns is the caller's buffer.
    return const_cast<char *>(ntop(addr->family, addr->addr, text, size));
}

int32_t IPAM_String2Struct(const char *text, IpamAddr *addr) {
    if (text == nullptr || addr == nullptr) return IPAM_ERR_FAIL;
    PtonFn pton = resolved(ptonFunc, "inet_pton");
    if (pton == nullptr) return IPAM_ERR_FAIL;
    if (pton(AF_INET, text, addr->addr) != 0) {
        addr->family = AF_INET;
        return 0;
    }
    if (pton(AF_INET6, text, addr->addr) != 0) {
        addr->family = AF_INET6;
        return 0;
    }
    return IPAM_ERR_FAIL;
}

int32_t IPAM_Compare(const IpamAddr *a, const IpamAddr *b) {
    if (a == nullptr || b == nullptr) return 0;
    return std::memcmp(a, b, sizeof *a);
}

int32_t IPAM4_Len2Mask(uint32_t prefixLen, uint8_t *mask) { return len2Mask<4>(prefixLen, mask); }

int32_t IPAM6_Len2Mask(uint32_t prefixLen, uint8_t *mask) { return len2Mask<16>(prefixLen, mask); }

int32_t IPAM4_GetNetwork(const uint8_t *addr, uint8_t *network, uint32_t prefixLen) {
    return getNetwork<4>(addr, network, prefixLen);
}

int32_t IPAM6_GetNetwork(const uint8_t *addr, uint8_t *network, uint32_t prefixLen) {
    return getNetwork<16>(addr, network, prefixLen);
}
