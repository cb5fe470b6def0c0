/* ipamplat_reset: every service back to its defaults. */
#include "reset.h"
#include "export.h"
#include "fault.h"
#include "ipam_platform.h"

/* Faults, counters, scripts, recordings, hooks and the sink to defaults;
 * registrations stay. */
IPAMPLAT_API void ipamplat_reset(void) {
    ipamplat::fault_reset_all();
    ipamplat::log_reset();
    ipamplat::ps_reset();
    ipamplat::cmf_reset();
    ipamplat::scs_reset();
    ipamplat::dfm_reset();
}
