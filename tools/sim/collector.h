// What the host sees during one step, in the order it happened: events from
// the library's callback (on the publisher thread), log lines from the
// platform's log sink (any thread), and what the runner adds after each call
// (results, copied-out records, notes). One lock keeps the order.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "record.h"

namespace sim {

struct Item {
    enum Kind { Event, Log, Record, Result, Value, Note } kind = Note;
    uint32_t code = 0;                  // Event
    std::optional<sim::Record> record;  // Event (when it carries one), Record
    int64_t number = 0;                 // Result, Value
    std::string label;       // Result: its name; Log: level; Note: the text; Record: "sent" or none
    std::string text;        // Log: the line, normalised
    std::string moduleName;  // Log
};

class Collector {
public:
    void add(Item item);
    std::vector<Item> take();  // the items since the last take

    // Installs the platform log sink and the host callbacks' target.
    static Collector &instance();
    static void logSink(void *ctx, uint32_t moduleId, const char *moduleName, uint32_t level,
                        uint32_t logClass, const char *text);
    static int32_t eventCallback(uint32_t eventCode, void *record);
    // The configuration callback answers what `conf init answer=` said.
    static void setConfAnswer(int32_t answer);
    static int32_t confCallback(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d);

private:
    std::mutex mu_;
    std::vector<Item> items_;
};

// "(PID:1234)text" -> "(PID:*)text"; the callback pointer of the subscriber
// input trace becomes "<callback>": output must not depend on the run.
std::string normaliseLog(const std::string &text);

}  // namespace sim
