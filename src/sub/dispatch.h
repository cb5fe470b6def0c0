// The publisher's callbacks: batch start, one message, batch end.
#pragma once

#include <cstdint>

#include "ipam_db.h"

// Advances the batch version and raises IPAM_EVT_BATCH_START; always 0.
int32_t ipamSubStart(void);
// Applies one publisher message to the replica and raises its events. The
// result of the IPv4 insertion or removal for IPAM4_EVT_ADD / IPAM4_EVT_DEL,
// -1 for a message refused because its payload is missing or shorter than
// what its code carries, 0 otherwise.
int32_t ipamSubDispatch(int32_t code, uint32_t length, const void *payload);
// The IPv6 record messages (batch, add, delete, update); 0, or -1 for a
// refused payload.
int32_t ipam6SubDispatch(int32_t code, uint32_t length, const void *payload);
// Sweeps the records the batch did not confirm (from the second batch on),
// marks the replica complete and raises IPAM_EVT_BATCH_END; 0, or -1 when a
// sweep walk failed.
int32_t ipamSubEnd(void);
