// The configuration channel's state at load, before any IPAM_InitConf: its
// own process, since the first IPAM_InitConf changes it for good.
#include <gtest/gtest.h>

#include <cstring>

#include "api/conf.h"
#include "ipam_platform.h"

TEST(ConfAtLoad, RequestsGoToHandle16AndTheSyncCallbackCallsNothing) {
    ipamplat_reset();
    EXPECT_EQ(gIpamConfCliScsHandle, 16u);
    EXPECT_EQ(moduleCallBackFunc, nullptr);
    EXPECT_EQ(ipamConfCliSync(1, 2, 3, 4), -1);

    // The set-address functions do not test whether the channel is open:
    // the service sees the load-time handle and answers for itself.
    Ipam4ConfReq r;
    std::memset(&r, 0, sizeof r);
    EXPECT_EQ(IPAM4_SetIpAddr(&r), 0);
    ipamplat_scs_client c{};
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.lastSendHandle, 16u);
    EXPECT_EQ(c.lastRecvHandle, 16u);
    EXPECT_EQ(IPAM_FiniConf(), 0);
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.lastFiniHandle, 16u);
}
