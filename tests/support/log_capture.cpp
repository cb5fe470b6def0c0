#include "support/log_capture.h"

#include <algorithm>

#include "ipam_platform.h"

LogCapture::LogCapture() { ipamplat_log_set_sink(&LogCapture::sink, this); }

LogCapture::~LogCapture() { ipamplat_log_set_sink(nullptr, nullptr); }

void LogCapture::sink(void *ctx, uint32_t moduleId, const char *moduleName, uint32_t level,
                      uint32_t logClass, const char *text) {
    auto *self = static_cast<LogCapture *>(ctx);
    std::lock_guard<std::mutex> g(self->mu_);
    self->lines_.push_back(
        {moduleId, moduleName ? moduleName : "", level, logClass, text ? text : ""});
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> out;
    for (const LogLine &l : lines()) out.push_back(stripPid(l.text));
    return out;
}

bool LogCapture::has(const std::string &text) const {
    std::vector<std::string> all = texts();
    return std::find(all.begin(), all.end(), text) != all.end();
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> g(mu_);
    lines_.clear();
}

std::string stripPid(const std::string &text) {
    if (text.rfind("(PID:", 0) != 0) return text;
    size_t close = text.find(')');
    return close == std::string::npos ? text : text.substr(close + 1);
}
