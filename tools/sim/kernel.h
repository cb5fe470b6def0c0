// The kernel mirror: the machine's own address table played as the
// publisher, through libnl-route-3.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct KernelOptions {
    bool follow = false;
    bool json = false;
    bool debug = false;
    std::vector<std::string> queries;  // "primary4 name=lo", as the scenario's query forms
};

// Exit status: 0, 1 when the kernel cannot be read, 2 for a bad --query.
int runKernel(const KernelOptions &options);

}  // namespace sim
