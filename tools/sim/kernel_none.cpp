// Built without libnl-route-3: the kernel mirror says so and fails.
#include <cstdio>

#include "kernel.h"

namespace sim {

int runKernel(const KernelOptions &) {
    std::fprintf(stderr,
                 "ipam-sim kernel: this build has no kernel mirror (libnl-route-3 was "
                 "not found when it was configured)\n");
    return 1;
}

}  // namespace sim

#include "serve_kernel.h"

namespace sim {

struct KernelSource::Impl {};
KernelSource::KernelSource() = default;
KernelSource::~KernelSource() = default;
bool KernelSource::open(std::string &error) {
    error = "this build has no kernel mirror (libnl-route-3 was not found when it was configured)";
    return false;
}
int KernelSource::fd() const { return -1; }
bool KernelSource::refresh(PubTable &, std::vector<PubMessage> &, std::string &) { return false; }
bool KernelSource::changed(PubTable &, std::vector<PubMessage> &, std::string &) { return false; }

}  // namespace sim
