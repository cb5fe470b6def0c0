// Source-address selection shared by the IPv6 lookups by interface.
#pragma once

#include <cstdint>

#include "ipam_db.h"

// The best source record of one interface's IPv6 list (head, or null) for
// `dest` (or null), copied into `out`: 0, or 14 when nothing qualifies.
// Caller holds the database lock.
int32_t ipam6BestAddrInfoGet(IpamListLink *head, const uint8_t *dest, Ipam6AddrInfo *out);
