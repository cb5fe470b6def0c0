// The one log call convention: the host module's upper-case name, the
// library's module number, an error or a debug level, and a format that
// begins with "(PID:%d)" for the platform thread id.
#pragma once

#include <cstdint>

#include "common/dbg.h"
#include "platform/nlog.h"
#include "platform/seam.h"

static_assert(ipam::seam::kModuleId == IPAM_MODULE_ID);

#define IPAM_LOG_LEVEL_ERR ::ipam::seam::kLogLevelErr
#define IPAM_LOG_CLASS_ERR ::ipam::seam::kLogClassErr
#define IPAM_LOG_LEVEL_DBG ::ipam::seam::kLogLevelDbg
#define IPAM_LOG_CLASS_DBG ::ipam::seam::kLogClassDbg

// Fills `buf` with the host module's upper-case name; `size` is not used,
// the platform is always told 32.
int32_t ipamSubGetModuleName(char *buf, uint32_t size);

#define IPAM_LOG_SEND_(level, cls, fmt, ...)                         \
    do {                                                             \
        char ipamLogName_[32] = {0};                                 \
        ipamSubGetModuleName(ipamLogName_, sizeof ipamLogName_);     \
        NLOG_Send(IPAM_MODULE_ID, ipamLogName_, (level), (cls), fmt, \
                  gnl_get_tid() __VA_OPT__(, ) __VA_ARGS__);         \
    } while (0)

// An error line, written unconditionally.
#define IPAM_ERR(fmt, ...) \
    IPAM_LOG_SEND_(IPAM_LOG_LEVEL_ERR, IPAM_LOG_CLASS_ERR, fmt __VA_OPT__(, ) __VA_ARGS__)

// A debug trace under `bit`: nothing, arguments included, is evaluated while
// the bit is clear.
#define IPAM_DBG(bit, fmt, ...)                                    \
    do {                                                           \
        if (::ipam::dbgOn(bit))                                    \
            IPAM_LOG_SEND_(IPAM_LOG_LEVEL_DBG, IPAM_LOG_CLASS_DBG, \
                           fmt __VA_OPT__(, ) __VA_ARGS__);        \
    } while (0)
