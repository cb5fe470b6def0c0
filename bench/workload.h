// The table a switch would hold, generated the same way for every side of
// the comparison: 8 VRFs, 384 interfaces (interface i in VRF i % 8), IPv4
// and IPv6 records spread evenly over the interfaces. IPAM_BENCH_INTERFACES
// and IPAM_BENCH_VRFS give another shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ipam.h"

namespace bench {

constexpr uint32_t kFirstIfIndex = 1;

// The table's shape, read once from the environment (defaults 384 and 8).
uint32_t interfaceCount();
uint32_t vrfCount();

// How IPv6 interface identifiers are drawn.
enum class V6Shape {
    // 2001:db8:<vrf><if>::<n> and one fe80::<n> per interface: one 32-bit word
    // is zero, as in most configured addresses.
    Realistic,
    // 2001:db8:<vrf><if>:<random 64-bit interface identifier>: no zero word.
    Spread,
};

uint32_t ifIndexOf(uint32_t iface);  // iface in [0, interfaceCount())
uint32_t vrfOf(uint32_t iface);
void ifNameOf(uint32_t iface, char out[IPAM_IFNAME_SIZE]);

// Record k of a table, for any k >= 0 (the tables are prefixes of one
// infinite sequence, so N records and the N + m-th record are consistent).
// Record k sits on interface k % interfaceCount() as its
// (k / interfaceCount())-th address; the first address of an interface is
// its primary one.
Ipam4AddrInfo record4(uint32_t k);
Ipam6AddrInfo record6(uint32_t k, V6Shape shape);

// The order in which a side is filled with records 0..n-1: a round of one
// record per interface at a time (so every interface's first record, its
// primary, still comes first), each round in its own shuffled interface
// order, as a publisher sends its table in its own hash order. Sent in
// plain index order, one interface's records lay evenly spaced in memory
// and the CPU's stride prefetcher ran ahead of the interface walks, whose
// cost then hung on the allocator: one unrelated allocation per 2000
// records made them 2.6 times as slow. The reference stays valid until a
// call with another n.
const std::vector<uint32_t> &fillOrder(std::size_t n);

std::vector<Ipam4AddrInfo> table4(std::size_t n);
std::vector<Ipam6AddrInfo> table6(std::size_t n, V6Shape shape);

// A fixed pseudo-random visiting order of [0, n), long enough that the
// working set of a lookup loop is the whole table, not a few cached lines.
std::vector<uint32_t> visitOrder(std::size_t n, std::size_t length = 8192);

// A destination in the prefix of interface `iface` (source selection).
void destinationFor(uint32_t iface, uint8_t out[16]);

// Bucket statistics of the library's (VRF, address) indexes, computed with
// the index's own hash, so the report can show how the keys spread.
struct BucketStats {
    uint32_t used;     // non-empty buckets of 1024
    uint32_t longest;  // longest chain
    double meanChain;  // mean chain length a successful lookup walks
};
BucketStats bucketStats4(const std::vector<Ipam4AddrInfo> &t);
BucketStats bucketStats6(const std::vector<Ipam6AddrInfo> &t);

}  // namespace bench
