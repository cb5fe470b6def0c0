/* Fault injection: after `skip` normal calls, `count` calls answer `result`. */
#include "fault.h"

#include <atomic>
#include <mutex>

#include "export.h"

namespace ipamplat {
namespace {

struct FaultState {
    uint32_t skip = 0;
    uint32_t count = 0; /* 0: no fault armed */
    int32_t result = 0;
};

std::mutex g_lock;
FaultState g_faults[IPAMPLAT_F_COUNT];
/* Counted without the lock, and the lock is taken only while some fault is
 * armed: the services (the database lock above all) are called on every
 * query, and the stand-in should not dominate what is measured through it. */
std::atomic<uint32_t> g_calls[IPAMPLAT_F_COUNT];
std::atomic<uint32_t> g_armed{0};

void recount_armed() {
    uint32_t armed = 0;
    for (const FaultState &f : g_faults) armed += f.count != 0;
    g_armed.store(armed, std::memory_order_release);
}

bool valid(ipamplat_fault fault) {
    return static_cast<int>(fault) >= 0 && fault < IPAMPLAT_F_COUNT;
}

}  // namespace

bool fault_hit(ipamplat_fault fault, int32_t *result) {
    if (!valid(fault)) return false;
    g_calls[fault].fetch_add(1, std::memory_order_relaxed);
    if (g_armed.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    FaultState &f = g_faults[fault];
    if (f.count == 0) return false;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (f.count != UINT32_MAX && --f.count == 0) recount_armed();
    *result = f.result;
    return true;
}

void fault_reset_all() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (FaultState &f : g_faults) f = FaultState{};
    for (auto &c : g_calls) c.store(0, std::memory_order_relaxed);
    recount_armed();
}

}  // namespace ipamplat

/* Arms a fault; replaces whatever was armed for that service. */
IPAMPLAT_API void ipamplat_fault_set(ipamplat_fault fault, uint32_t skip, uint32_t count,
                                     int32_t result) {
    if (!ipamplat::valid(fault)) return;
    std::lock_guard<std::mutex> guard(ipamplat::g_lock);
    ipamplat::FaultState &f = ipamplat::g_faults[fault];
    f.skip = skip;
    f.count = count;
    f.result = result;
    ipamplat::recount_armed();
}

/* Disarms every fault; call counters keep counting. */
IPAMPLAT_API void ipamplat_fault_clear_all(void) {
    std::lock_guard<std::mutex> guard(ipamplat::g_lock);
    for (ipamplat::FaultState &f : ipamplat::g_faults) {
        f.skip = 0;
        f.count = 0;
        f.result = 0;
    }
    ipamplat::recount_armed();
}

/* Calls of a service since the last reset, failed ones included. */
IPAMPLAT_API uint32_t ipamplat_call_count(ipamplat_fault fault) {
    if (!ipamplat::valid(fault)) return 0;
    return ipamplat::g_calls[fault].load(std::memory_order_relaxed);
}
