// Subscription and batch state, module-wide and zero at load.
#pragma once

#include <atomic>
#include <cstdint>

#include "ipam.h"

extern uint32_t gIpamWtHandle;             // the host's handle; non-zero: subscribed
extern IpamEventCallback gIpamEventProPf;  // the host's event callback, or null
extern uint32_t gIpamCareEvt;              // the care mask after expansion
extern uint32_t gIpamBatchVer;             // advanced by every start callback
extern uint32_t gIpamBatchFlag;            // 1 once the first batch has ended

// What the current subscription holds, so that a teardown (a failed
// subscription, a repeated unsubscription) ends exactly what is up: never a
// registration that is gone, never a database twice. Written only by
// subscribing and unsubscribing, on the host's thread.
#define IPAM_SUB_UP_DB 0x1u   // ipam_DbInit succeeded
#define IPAM_SUB_UP_PS 0x2u   // PS_SubscriberInit succeeded
#define IPAM_SUB_UP_CMF 0x4u  // the management handler is registered
extern uint32_t gIpamSubUp;

namespace ipam {

// Subscribing writes the callback while a publisher or management thread may
// read it.
inline IpamEventCallback loadCallback() {
    return std::atomic_ref<IpamEventCallback>(gIpamEventProPf).load(std::memory_order_relaxed);
}
inline void storeCallback(IpamEventCallback callback) {
    std::atomic_ref<IpamEventCallback>(gIpamEventProPf).store(callback, std::memory_order_relaxed);
}

}  // namespace ipam
