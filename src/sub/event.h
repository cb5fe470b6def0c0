// Delivery of events to the host's callback.
#pragma once

#include <cstdint>

#include "ipam.h"

// Traces the event under IPAM_DBG_EVENT and, when its bit is in the care
// mask, calls the host's callback with the code and the record unchanged.
// Does nothing while no callback is stored.
void ipamEventNotify(uint32_t eventCode, void *record);
