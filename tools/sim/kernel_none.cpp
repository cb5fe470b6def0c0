// Built without libnl-route-3: the kernel mirror says so and fails.
#include <cstdio>

#include "kernel.h"

namespace sim {

int runKernel(const KernelOptions &) {
    std::fprintf(stderr, "ipam-sim kernel: this build has no kernel mirror (libnl-route-3 was "
                         "not found when it was configured)\n");
    return 1;
}

} // namespace sim
