/* Platform symbol lookup: a library's own definition of a symbol. */
#ifndef IPAM_PLATFORM_GNL_FUNC_H
#define IPAM_PLATFORM_GNL_FUNC_H

#ifdef __cplusplus
extern "C" {
#endif

void *gnl_orig_func_get(const char *library, const char *symbol);

#ifdef __cplusplus
}
#endif

#endif
