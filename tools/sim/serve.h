// ipam-sim serve: a publisher and configuration server for any number of
// host processes, over the platform's cross-process sockets (docs/wire.md).
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct ServeOptions {
    std::string table;           // table file: one add4/add6 line per record
    bool kernel = false;         // follow this machine's kernel table instead
    bool holdEnd = false;        // hold each first batch's end until `release`
    // What a subscriber may have waiting beyond what is left of its latest
    // batch, in frames and in bytes; past either it is disconnected.
    unsigned queueBound = 65536;
    uint64_t queueBytes = 8u << 20;
};

// Runs until stdin ends with `quit`, SIGINT or SIGTERM. Exit status 0, 1
// when the sockets or the kernel cannot be opened, 2 for a bad table file.
int runServe(const ServeOptions &options);

}  // namespace sim
