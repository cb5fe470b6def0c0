/* Platform publish/subscribe service. */
#ifndef IPAM_PLATFORM_PS_H
#define IPAM_PLATFORM_PS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct sockaddr_tipc;

typedef struct PS_SUB_CALLBACKS {
    int32_t (*start)(void);
    int32_t (*dispatch)(int32_t code, uint32_t length, const void *payload);
    int32_t (*end)(void);
} PS_SUB_CALLBACKS;

int32_t PS_SubscriberInit(uint32_t handle, uint32_t moduleId, uint32_t publisherModuleId,
                          uint32_t careMask, const struct sockaddr_tipc *publisher,
                          const PS_SUB_CALLBACKS *callbacks);
int32_t PS_SubscriberFini(uint32_t moduleId, uint32_t publisherModuleId,
                          const struct sockaddr_tipc *publisher);

#ifdef __cplusplus
}
#endif

#endif
