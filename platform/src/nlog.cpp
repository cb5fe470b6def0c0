/* Logging: format the line, hand it to the test sink, echo it on stderr. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "export.h"
#include "ipam_platform.h"
#include "platform/nlog.h"
#include "platform/seam.h"
#include "reset.h"

namespace {

/* Serialises sink calls with sink changes, so that once
 * ipamplat_log_set_sink returns the old sink is never called again.
 * Re-entrant: a sink may itself log or change the sink. */
std::recursive_mutex g_sink_lock;
ipamplat_log_sink g_sink = nullptr;
void *g_sink_ctx = nullptr;

int stderr_default() { return getenv("IPAM_PLATFORM_QUIET") == nullptr ? 1 : 0; }

std::atomic<int> g_stderr_on{stderr_default()};

/* The stderr prefix for a level: the two levels the library uses get names. */
void level_tag(uint32_t level, char *out, size_t size) {
    if (level == ipam::seam::kLogLevelErr)
        snprintf(out, size, "ERR");
    else if (level == ipam::seam::kLogLevelDbg)
        snprintf(out, size, "DBG");
    else
        snprintf(out, size, "L%u", static_cast<unsigned>(level));
}

}  // namespace

namespace ipamplat {

void log_reset() {
    std::lock_guard<std::recursive_mutex> guard(g_sink_lock);
    g_sink = nullptr;
    g_sink_ctx = nullptr;
    g_stderr_on.store(stderr_default(), std::memory_order_relaxed);
}

}  // namespace ipamplat

/* Formats one line and delivers it; always answers 0. */
IPAMPLAT_API int32_t NLOG_Send(uint32_t moduleId, const char *moduleName, uint32_t level,
                               uint32_t logClass, const char *format, ...) {
    if (format == nullptr) return 0;
    char small[512];
    std::string big;
    const char *text = small;
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0) {
        small[0] = '\0';
    } else if (static_cast<size_t>(n) >= sizeof small) {
        big.resize(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), format, again);
        text = big.c_str();
    }
    va_end(again);

    char fallback[32];
    const char *name = moduleName;
    if (name == nullptr || name[0] == '\0') {
        MODULEMGMT_GetModUpperName(moduleId, fallback, sizeof fallback);
        name = fallback;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(g_sink_lock);
        if (g_sink != nullptr) g_sink(g_sink_ctx, moduleId, moduleName, level, logClass, text);
    }
    if (g_stderr_on.load(std::memory_order_relaxed)) {
        char tag[16];
        level_tag(level, tag, sizeof tag);
        fprintf(stderr, "[%s] %s %s\n", tag, name, text);
    }
    return 0;
}

/* The kernel's id of the calling thread. */
IPAMPLAT_API int32_t gnl_get_tid(void) { return static_cast<int32_t>(syscall(SYS_gettid)); }

/* Installs the capture hook (null: none). */
IPAMPLAT_API void ipamplat_log_set_sink(ipamplat_log_sink sink, void *ctx) {
    std::lock_guard<std::recursive_mutex> guard(g_sink_lock);
    g_sink = sink;
    g_sink_ctx = ctx;
}

/* Turns the stderr echo on or off until the next reset. */
IPAMPLAT_API void ipamplat_log_set_stderr(int on) {
    g_stderr_on.store(on ? 1 : 0, std::memory_order_relaxed);
}
