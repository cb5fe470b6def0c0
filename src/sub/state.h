// Subscription and batch state, module-wide and zero at load.
#pragma once

#include <cstdint>

#include "ipam.h"

extern uint32_t gIpamWtHandle;             // the host's handle; non-zero: subscribed
extern IpamEventCallback gIpamEventProPf;  // the host's event callback, or null
extern uint32_t gIpamCareEvt;              // the care mask after expansion
extern uint32_t gIpamBatchVer;             // advanced by every start callback
extern uint32_t gIpamBatchFlag;            // 1 once the first batch has ended
