/* Platform semaphores. A handle of 0 was never initialised: take and give on
 * it answer -1 without faulting. */
#ifndef IPAM_PLATFORM_GNL_SEM_H
#define IPAM_PLATFORM_GNL_SEM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct gnl_sem_t {
    uint32_t id;
} gnl_sem_t;

int32_t gnl_sem_mutex_init(const char *name, gnl_sem_t *sem);
int32_t gnl_sem_take(gnl_sem_t *sem, int32_t timeout);
int32_t gnl_sem_give(gnl_sem_t *sem);

#ifdef __cplusplus
}
#endif

#endif
