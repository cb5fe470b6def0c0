/* Platform logging, thread ids and module names. */
#ifndef IPAM_PLATFORM_NLOG_H
#define IPAM_PLATFORM_NLOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The first variadic argument is the gnl_get_tid() value: every format the
 * library passes begins with "(PID:%d)". */
int32_t NLOG_Send(uint32_t moduleId, const char *moduleName, uint32_t level, uint32_t logClass,
                  const char *format, ...) __attribute__((format(printf, 5, 6)));
int32_t gnl_get_tid(void);
int32_t MODULEMGMT_GetModUpperName(uint32_t moduleId, char *name, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
