#include "sub/state.h"

#include "common/dbg.h"

uint32_t gIpamWtHandle = 0;
IpamEventCallback gIpamEventProPf = nullptr;
uint32_t gIpamCareEvt = 0;
uint32_t gIpamBatchVer = 0;
uint32_t gIpamBatchFlag = 0;
uint32_t gIpamSubUp = 0;

// Read by host threads while the publisher thread writes it.
int32_t ipam_IsSubscrib(void) { return static_cast<int32_t>(ipam::loadRelaxed(gIpamBatchFlag)); }

// Read by the identity tests of the database, possibly on any thread.
uint32_t ipamSubGetCareEvt(void) { return ipam::loadRelaxed(gIpamCareEvt); }
