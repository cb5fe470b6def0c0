/* Debug-switch service: answers a set value or the environment's. */
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "export.h"
#include "fault.h"
#include "ipam_platform.h"
#include "platform/dfm.h"
#include "reset.h"

namespace {

constexpr size_t kQuerySize = 200;

struct DfmState {
    std::mutex lock;
    bool use_env = true;
    int32_t answer = -1;
    uint32_t calls = 0; /* since the last reset */
    uint8_t last[kQuerySize] = {};
};

DfmState g_dfm;

/* IPAM_PLATFORM_DFM as an integer; -1 when unset or not a number. */
int32_t env_answer() {
    const char *text = getenv("IPAM_PLATFORM_DFM");
    if (text == nullptr || text[0] == '\0') return -1;
    char *end = nullptr;
    long v = strtol(text, &end, 0);
    return (end != nullptr && *end == '\0') ? static_cast<int32_t>(v) : -1;
}

}  // namespace

namespace ipamplat {

void dfm_reset() {
    std::lock_guard<std::mutex> guard(g_dfm.lock);
    g_dfm.use_env = true;
    g_dfm.answer = -1;
    g_dfm.calls = 0;
    memset(g_dfm.last, 0, sizeof g_dfm.last);
}

}  // namespace ipamplat

/* Records the 200-byte query and answers; -1 for no query. */
IPAMPLAT_API int32_t gnl_dfm_process(void *query) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_DFM, &failed)) return failed;
    if (query == nullptr) return -1;
    std::lock_guard<std::mutex> guard(g_dfm.lock);
    ++g_dfm.calls;
    memcpy(g_dfm.last, query, kQuerySize);
    return g_dfm.use_env ? env_answer() : g_dfm.answer;
}

IPAMPLAT_API void ipamplat_dfm_set_answer(int32_t answer) {
    std::lock_guard<std::mutex> guard(g_dfm.lock);
    g_dfm.use_env = false;
    g_dfm.answer = answer;
}

IPAMPLAT_API void ipamplat_dfm_use_env(void) {
    std::lock_guard<std::mutex> guard(g_dfm.lock);
    g_dfm.use_env = true;
}

/* The last query (zeros before the first) and the number of queries. */
IPAMPLAT_API uint32_t ipamplat_dfm_last_query(uint8_t out[200]) {
    std::lock_guard<std::mutex> guard(g_dfm.lock);
    if (out != nullptr) memcpy(out, g_dfm.last, kQuerySize);
    return g_dfm.calls;
}
