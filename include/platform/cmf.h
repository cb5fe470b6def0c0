/* Platform management framework. */
#ifndef IPAM_PLATFORM_CMF_H
#define IPAM_PLATFORM_CMF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t (*CMF_SERVER_HANDLER)(void *context);
typedef struct CMF_CONTEXT_OBJ {
    uint32_t objectId;
    uint32_t operation;
} CMF_CONTEXT_OBJ;

int32_t CMF_ServerModCallbackReg(uint32_t moduleId, CMF_SERVER_HANDLER handler);
int32_t CMF_ServerModCallbackUnreg(uint32_t moduleId);
int32_t CMF_ServerContextObjGet(void *context, CMF_CONTEXT_OBJ *obj);
int32_t CMF_ServerParamDecode(void *context, int32_t *paramId, int32_t *dataLength, void **data);
int32_t CMF_ServerParamEncode(void *context, int32_t paramId, int32_t dataLength, const void *data);

#ifdef __cplusplus
}
#endif

#endif
