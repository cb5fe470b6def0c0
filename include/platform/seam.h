// The values libipam and the stand-in platform (platform/) must agree on,
// written once: both include this header. It is built against, never
// installed (cmake/IpamInstall.cmake leaves it out): a real platform has
// these values in its own headers. C++ only.
#ifndef IPAM_PLATFORM_SEAM_H
#define IPAM_PLATFORM_SEAM_H

#include <cstdint>

namespace ipam::seam {

// The library's module number (IPAM_MODULE_ID in ipam.h): the source of its
// log lines, its publisher's and configuration server's names, the
// management module it registers.
inline constexpr uint32_t kModuleId = 198;
// The module name the platform gives for it.
inline constexpr const char *kModuleName = "ipam";

// TIPC name addresses: the publisher and the configuration server share the
// name type (the module number in its lower half) and differ by instance.
inline constexpr uint32_t kNameType = 0x7fff0000u | kModuleId;
inline constexpr uint32_t kPublisherInstance = 0x7ffc0001u;
inline constexpr uint32_t kConfServerInstance = 0x7ffc0002u;

// The management encoder's answer once a page is full.
inline constexpr int32_t kEncodePageFull = 4;

// Log levels and classes of the library's two kinds of line.
inline constexpr uint32_t kLogLevelErr = 3;
inline constexpr uint32_t kLogClassErr = 1;
inline constexpr uint32_t kLogLevelDbg = 7;
inline constexpr uint32_t kLogClassDbg = 3;

}  // namespace ipam::seam

#endif
