/* Private to the stand-in platform: symbol visibility and the hooks that
 * tie the services to the shared controls (faults, reset). */
#ifndef IPAMPLAT_EXPORT_H
#define IPAMPLAT_EXPORT_H

/* The library builds with hidden visibility: every C entry point a host or
 * libipam.so resolves carries this mark. */
#define IPAMPLAT_API extern "C" __attribute__((visibility("default")))

#endif
