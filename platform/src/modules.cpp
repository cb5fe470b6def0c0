/* Module-name registry behind MODULEMGMT_GetModUpperName. */
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>

#include "export.h"
#include "ipam_platform.h"
#include "platform/nlog.h"
#include "platform/seam.h"

namespace {

std::mutex g_lock;

/* Never destroyed: other threads may still log while the process exits. */
std::map<uint32_t, std::string> &names() {
    static auto *table =
        new std::map<uint32_t, std::string>{{ipam::seam::kModuleId, ipam::seam::kModuleName}};
    return *table;
}

}  // namespace

/* Names a module number; a later call for the same number replaces it. */
IPAMPLAT_API int32_t ipamplat_module_register(uint32_t moduleId, const char *name) {
    if (name == nullptr) return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    names()[moduleId] = name;
    return 0;
}

/* The upper-cased registered name, or "MOD<id>"; at most size-1 chars and a
 * NUL. -1 for no buffer. */
IPAMPLAT_API int32_t MODULEMGMT_GetModUpperName(uint32_t moduleId, char *name, uint32_t size) {
    if (name == nullptr || size == 0) return -1;
    std::string upper;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = names().find(moduleId);
        if (it != names().end()) upper = it->second;
    }
    if (upper.empty()) {
        char buf[24];
        snprintf(buf, sizeof buf, "MOD%u", static_cast<unsigned>(moduleId));
        upper = buf;
    }
    size_t n = upper.size() < size - 1 ? upper.size() : size - 1;
    for (size_t i = 0; i < n; ++i)
        name[i] = static_cast<char>(toupper(static_cast<unsigned char>(upper[i])));
    name[n] = '\0';
    return 0;
}
