#include "sub/state.h"

#include "common/dbg.h"
#include "db/replica.h"

uint32_t gIpamWtHandle = 0;
IpamEventCallback gIpamEventProPf = nullptr;
uint32_t gIpamCareEvt = 0;
uint32_t gIpamSubUp = 0;

// Read on any thread while subscribing writes it.
uint32_t ipamSubGetCareEvt(void) { return ipam::loadRelaxed(gIpamCareEvt); }

void ipam::recordInterest(IpamEventCallback callback, uint32_t care) {
    storeCallback(callback);
    storeRelaxed(gIpamCareEvt, care);
    replicaSetCare(care);
}
