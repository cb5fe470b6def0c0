#include "callbacks.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

PS_SUB_CALLBACKS g_callbacks{};

using SubscriberInitFn = int32_t (*)(uint32_t, uint32_t, uint32_t, uint32_t,
                                     const struct sockaddr_tipc *, const PS_SUB_CALLBACKS *);

}  // namespace

extern "C" int32_t PS_SubscriberInit(uint32_t handle, uint32_t moduleId, uint32_t publisherModuleId,
                                     uint32_t careMask, const struct sockaddr_tipc *publisher,
                                     const PS_SUB_CALLBACKS *callbacks) {
    static auto next = reinterpret_cast<SubscriberInitFn>(dlsym(RTLD_NEXT, "PS_SubscriberInit"));
    if (next == nullptr) {
        std::fprintf(stderr, "bench: the platform's PS_SubscriberInit is missing\n");
        std::abort();
    }
    if (callbacks != nullptr) g_callbacks = *callbacks;
    return next(handle, moduleId, publisherModuleId, careMask, publisher, callbacks);
}

namespace bench {

const PS_SUB_CALLBACKS &libraryCallbacks() { return g_callbacks; }

}  // namespace bench
