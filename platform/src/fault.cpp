/* Fault injection: after `skip` normal calls, `count` calls answer `result`. */
#include "fault.h"

#include <mutex>

#include "export.h"

namespace ipamplat {
namespace {

struct FaultState {
    uint32_t skip = 0;
    uint32_t count = 0; /* 0: no fault armed */
    int32_t result = 0;
    uint32_t calls = 0; /* since the last reset */
};

std::mutex g_lock;
FaultState g_faults[IPAMPLAT_F_COUNT];

bool valid(ipamplat_fault fault) {
    return static_cast<int>(fault) >= 0 && fault < IPAMPLAT_F_COUNT;
}

} // namespace

bool fault_hit(ipamplat_fault fault, int32_t *result) {
    if (!valid(fault))
        return false;
    std::lock_guard<std::mutex> guard(g_lock);
    FaultState &f = g_faults[fault];
    ++f.calls;
    if (f.count == 0)
        return false;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (f.count != UINT32_MAX)
        --f.count;
    *result = f.result;
    return true;
}

void fault_reset_all() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (FaultState &f : g_faults)
        f = FaultState{};
}

} // namespace ipamplat

/* Arms a fault; replaces whatever was armed for that service. */
IPAMPLAT_API void ipamplat_fault_set(ipamplat_fault fault, uint32_t skip, uint32_t count,
                                     int32_t result) {
    if (!ipamplat::valid(fault))
        return;
    std::lock_guard<std::mutex> guard(ipamplat::g_lock);
    ipamplat::FaultState &f = ipamplat::g_faults[fault];
    f.skip = skip;
    f.count = count;
    f.result = result;
}

/* Disarms every fault; call counters keep counting. */
IPAMPLAT_API void ipamplat_fault_clear_all(void) {
    std::lock_guard<std::mutex> guard(ipamplat::g_lock);
    for (ipamplat::FaultState &f : ipamplat::g_faults) {
        f.skip = 0;
        f.count = 0;
        f.result = 0;
    }
}

/* Calls of a service since the last reset, failed ones included. */
IPAMPLAT_API uint32_t ipamplat_call_count(ipamplat_fault fault) {
    if (!ipamplat::valid(fault))
        return 0;
    std::lock_guard<std::mutex> guard(ipamplat::g_lock);
    return ipamplat::g_faults[fault].calls;
}
