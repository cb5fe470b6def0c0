// The configuration channel's private state and steps.
#pragma once

#include <cstdint>

#include "ipam.h"

// The channel handle the service gave; 16 until IPAM_InitConf replaces it.
extern uint32_t gIpamConfCliScsHandle;

// One request/reply exchange with a 64- or 104-byte body: 0 with *errCode
// set when the request was accepted, -1 or the send call's result otherwise.
int32_t ipam4_ConfCliProc(const Ipam4ConfReq *body, int16_t *errCode);
int32_t ipam6_ConfCliProc(const Ipam6ConfReq *body, int16_t *errCode);

// The channel's synchronous callback: hands the server's call on to the
// host's callback and returns its result; -1 while none is stored.
int32_t ipamConfCliSync(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d);
