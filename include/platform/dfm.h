/* Platform debug-switch service: the query is a 200-byte block. */
#ifndef IPAM_PLATFORM_DFM_H
#define IPAM_PLATFORM_DFM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t gnl_dfm_process(void *query);

#ifdef __cplusplus
}
#endif

#endif
