// Debug word and host module number: read on every thread without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "ipam.h"

namespace ipam {

// Shared words that several threads read without the database lock go through
// relaxed atomic references: the exported variables keep their plain C types.
inline uint32_t loadRelaxed(uint32_t &word) {
    return std::atomic_ref<uint32_t>(word).load(std::memory_order_relaxed);
}
inline void storeRelaxed(uint32_t &word, uint32_t value) {
    std::atomic_ref<uint32_t>(word).store(value, std::memory_order_relaxed);
}

// True while any of `bits` is set in gIpamPubDbg.
inline bool dbgOn(uint32_t bits) { return (loadRelaxed(gIpamPubDbg) & bits) != 0; }

}  // namespace ipam

// The host module's number: names the source of every log line.
extern uint32_t gIpamModuleId;
