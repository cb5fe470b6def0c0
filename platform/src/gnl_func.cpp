/* Symbol lookup: a library's own definition of a symbol, bypassing any
 * interposer earlier in the search order. */
#include <dlfcn.h>

#include "export.h"
#include "fault.h"
#include "platform/gnl_func.h"

/* The symbol as `library` defines it; null when either cannot be found.
 * A library that is not loaded yet is loaded and stays loaded, so that the
 * answer stays valid. */
IPAMPLAT_API void *gnl_orig_func_get(const char *library, const char *symbol) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_ORIG_FUNC, &failed)) return nullptr;
    if (library == nullptr || symbol == nullptr) return nullptr;
    void *handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) handle = dlopen(library, RTLD_LAZY);
    if (handle == nullptr) return nullptr;
    return dlsym(handle, symbol);
}
