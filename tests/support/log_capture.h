// Captures the log lines the library sends through the stand-in platform.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    uint32_t moduleId;
    std::string moduleName;
    uint32_t level, logClass;
    std::string text;
};

// The platform's log sink for its lifetime.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const;
    std::vector<std::string> texts() const;   // without "(PID:<n>)", in order
    bool has(const std::string &text) const;  // some text() equals `text`
    void clear();

private:
    static void sink(void *ctx, uint32_t moduleId, const char *moduleName, uint32_t level,
                     uint32_t logClass, const char *text);
    mutable std::mutex mu_;
    std::vector<LogLine> lines_;
};

// "(PID:123)rest" -> "rest"; other texts unchanged.
std::string stripPid(const std::string &text);
