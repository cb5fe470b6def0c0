// ipam-sim ctl: management of running host processes from outside, through
// the management socket each subscribed host listens on (docs/wire.md).
#pragma once

#include <string>
#include <vector>

namespace sim {

struct CtlOptions {
    std::vector<std::string>
        args;        // "list" | PID debug get|set|clear NAMES... | PID export4|export6
    int page = 100;  // records per request of an export
    bool json = false;
};

// 0 done, 1 the host went away, refused or answered an error, 2 bad usage.
int runCtl(const CtlOptions &options);

}  // namespace sim
