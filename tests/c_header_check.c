/* Compiled as C11 with -pedantic: the public headers must be plain C. */
#include "ipam.h"
#include "ipam_db.h"
#include "ipam_platform.h"

_Static_assert(sizeof(Ipam4AddrInfo) == 60, "Ipam4AddrInfo is 60 bytes");
_Static_assert(sizeof(Ipam6AddrInfo) == 100, "Ipam6AddrInfo is 100 bytes");
_Static_assert(sizeof(IpamAddr) == 20, "IpamAddr is 20 bytes");
_Static_assert(sizeof(Ipam4ConfReq) == 64, "Ipam4ConfReq is 64 bytes");
_Static_assert(sizeof(Ipam6ConfReq) == 104, "Ipam6ConfReq is 104 bytes");

int ipam_c_header_check(void);
int ipam_c_header_check(void) {
    Ipam4AddrInfo r4 = {0};
    return (int)r4.ifIndex + (int)IPAM_ERR_NOT_FOUND;
}
