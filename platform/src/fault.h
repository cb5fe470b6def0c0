/* Scripted failures and call counting, shared by every service. */
#ifndef IPAMPLAT_FAULT_H
#define IPAMPLAT_FAULT_H

#include <stdint.h>

#include "ipam_platform.h"

namespace ipamplat {

/* Counts one call of the service; answers true (and the scripted result in
 * *result) when this call must fail without doing anything else. */
bool fault_hit(ipamplat_fault fault, int32_t *result);

/* Clears every fault and every call counter. */
void fault_reset_all();

}  // namespace ipamplat

#endif
