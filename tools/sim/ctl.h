// ipam-sim ctl: management of running host processes from outside, through
// the management socket each subscribed host listens on (docs/wire.md).
#pragma once

#include <string>
#include <vector>

namespace sim {

struct CtlOptions {
    std::vector<std::string>
        args;         // "list" | PID debug get|set|clear NAMES... | PID export4|export6
    int page = 1000;  // records per request of an export
    bool json = false;
    double wait = 0;  // seconds to wait for the host to be ready (export: synchronised)
};

// Exit statuses of runCtl.
constexpr int kCtlOk = 0;
constexpr int kCtlFailed = 1;           // the host went away, refused or answered an error
constexpr int kCtlUsage = 2;            // bad usage
constexpr int kCtlNotRunning = 3;       // no such process
constexpr int kCtlNotReady = 4;         // alive, but no management socket answers
constexpr int kCtlNotSubscribed = 5;    // answers, but holds no subscription
constexpr int kCtlNotSynchronised = 6;  // subscribed, its first batch not ended yet

int runCtl(const CtlOptions &options);

}  // namespace sim
