#include "common/log.h"

#include "platform/nlog.h"

uint32_t gIpamPubDbg = 0;
uint32_t gIpamModuleId = 0;

int32_t ipamSubGetModuleName(char *buf, uint32_t /*size*/) {
    return MODULEMGMT_GetModUpperName(ipam::loadRelaxed(gIpamModuleId), buf, 32);
}
