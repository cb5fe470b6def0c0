// ipam-sim serve: a publisher and configuration server for any number of
// host processes, over the platform's cross-process sockets (docs/wire.md).
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct ServeOptions {
    std::string table;     // table file: one add4/add6 line per record
    bool kernel = false;   // follow this machine's kernel table instead
    bool holdEnd = false;  // hold each first batch's end until `release`
    // What a subscriber may have waiting beyond what is left of its latest
    // batch, in frames and in bytes; past either it is disconnected.
    unsigned queueBound = 65536;
    uint64_t queueBytes = 8u << 20;
    bool quiet = false;  // no "# sent to N subscribers" acknowledgements
};

// Exit statuses of runServe.
constexpr int kServeOk = 0;
constexpr int kServeCannotOpen = 1;  // the directory, the sockets or the kernel
constexpr int kServeBadInput = 2;    // a bad table file or conflicting options
constexpr int kServeBusy = 3;        // another publisher serves the directory

// Runs until the stdin command `quit`, SIGINT or SIGTERM (and SIGHUP unless
// it follows the kernel, where SIGHUP resynchronises); end of input leaves it
// serving.
int runServe(const ServeOptions &options);

}  // namespace sim
