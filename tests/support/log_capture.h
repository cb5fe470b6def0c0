// Captures the log lines the library sends through the stand-in platform.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    uint32_t moduleId;
    std::string moduleName;
    uint32_t level;
    uint32_t logClass;
    std::string text;
};

// Installs itself as the platform's log sink for its lifetime.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const;
    // The texts with the "(PID:<n>)" prefix removed, in order.
    std::vector<std::string> texts() const;
    // True when some line's text (without its PID prefix) equals `text`.
    bool has(const std::string &text) const;
    void clear();

private:
    static void sink(void *ctx, uint32_t moduleId, const char *moduleName, uint32_t level,
                     uint32_t logClass, const char *text);
    mutable std::mutex mu_;
    std::vector<LogLine> lines_;
};

// "(PID:123)rest" -> "rest"; other texts unchanged.
std::string stripPid(const std::string &text);
