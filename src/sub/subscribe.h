// Subscription helpers shared with the tests: the care-mask expansion and
// the byte images handed to the platform.
#pragma once

#include <linux/tipc.h>

#include <cstddef>
#include <cstdint>

// The host's care mask with the message codes and events its events are
// made from. The four rules run once, in order, each on the mask as the
// earlier ones left it, so the validity rules never add batch start/end.
uint32_t ipamSubCareEvtExpand(uint32_t careMask);

// The publisher's TIPC name address: name type 0x7fff00c6 (the library's
// module number in the lower half), instance 0x7ffc0001, zone scope.
void ipamSubPublisherAddr(struct sockaddr_tipc *addr);

// The debug-switch query: three NUL-terminated text fields after a zero word
// and the field count. 200 bytes, integers in host byte order.
struct IpamDfmQuery {
    uint32_t reserved;    // 0
    uint32_t fieldCount;  // 3
    char field[3][64];    // "ipam", "debug", "all"
};
static_assert(sizeof(IpamDfmQuery) == 200);
static_assert(offsetof(IpamDfmQuery, fieldCount) == 4 && offsetof(IpamDfmQuery, field) == 8);

void ipamSubDfmQuery(IpamDfmQuery *query);
