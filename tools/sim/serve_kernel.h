// The kernel as the table of `ipam-sim serve --kernel`: its addresses with
// link carrier as validity and Linux VRF devices as vrfIndex, followed as
// they change.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "serve_table.h"

namespace sim {

class KernelSource {
public:
    KernelSource();
    ~KernelSource();
    bool open(std::string &error);
    // The descriptor that becomes readable when the kernel announces a change.
    int fd() const;
    // Makes `table` equal to the kernel's addresses; the differences in `out`.
    bool refresh(PubTable &table, std::vector<PubMessage> &out, std::string &error);
    // Reads the waiting announcements: a link whose usability changed gives
    // its interface messages first, then the table follows the kernel.
    bool changed(PubTable &table, std::vector<PubMessage> &out, std::string &error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
