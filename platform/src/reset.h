/* Per-service reset entry points, called by ipamplat_reset. Each puts its
 * service's scripts, recordings and hooks back to their defaults and keeps
 * what the library registered. */
#ifndef IPAMPLAT_RESET_H
#define IPAMPLAT_RESET_H

namespace ipamplat {

void log_reset();
void ps_reset();
void cmf_reset();
void scs_reset();
void dfm_reset();

}  // namespace ipamplat

#endif
