// Subscription state, module-wide and zero at load. The batch state (its
// version, whether the first batch has ended) belongs to the replica
// (db/replica.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "ipam.h"

extern uint32_t gIpamWtHandle;             // the host's handle; non-zero: subscribed
extern IpamEventCallback gIpamEventProPf;  // the host's event callback, or null
extern uint32_t gIpamCareEvt;              // the care mask after expansion

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

// Records what the host wants told: its callback and its care mask after
// expansion, and tells the replica the care mask its identity rule follows.
// (nullptr, 0) forgets both.
void recordInterest(IpamEventCallback callback, uint32_t care);

}  // namespace ipam
