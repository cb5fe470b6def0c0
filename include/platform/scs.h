/* Platform client/server message channel. */
#ifndef IPAM_PLATFORM_SCS_H
#define IPAM_PLATFORM_SCS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct sockaddr_tipc;

typedef int32_t (*SCS_CALLBACK)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
typedef struct SCS_CLIENT_CALLBACKS {
    SCS_CALLBACK entry[4]; /* 0, sync, 0, 0 */
} SCS_CLIENT_CALLBACKS;
typedef struct SCS_CLIENT_DESC {
    uint32_t hostValue1;
    uint32_t moduleId;
    uint32_t hostValue2;
    const struct sockaddr_tipc *server;
    const SCS_CLIENT_CALLBACKS *callbacks;
} SCS_CLIENT_DESC;
typedef struct SCS_MSG {
    uint32_t word[128];
} SCS_MSG; /* 512 bytes: the service's largest message */

int32_t SCS_ClientInit(const SCS_CLIENT_DESC *desc, uint32_t *handle);
int32_t SCS_ClientFini(uint32_t handle);
int32_t SCS_ClientFillMsg(uint32_t msgType, uint32_t length, const void *body, SCS_MSG *msg);
int32_t SCS_ClientSendMsg(uint32_t handle, SCS_MSG *msg);
int32_t SCS_ClientRecvMsg(uint32_t handle, uint32_t msgType, SCS_MSG *msg);
int32_t SCS_ClientParseMsg(SCS_MSG *msg, uint32_t flags, int16_t *errCode, uint32_t *word1,
                           uint32_t *word2);

#ifdef __cplusplus
}
#endif

#endif
