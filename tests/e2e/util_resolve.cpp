// The text conversions reach libc through the platform's symbol lookup, once
// it succeeds; while it fails they refuse and try again on the next call.
// Its own process: the entry points stay cached once resolved.
#include <gtest/gtest.h>

#include <cstring>

#include "ipam.h"
#include "ipam_platform.h"

TEST(UtilResolve, RetriedWhileTheLookupFailsThenCached) {
    ipamplat_reset();
    ipamplat_fault_set(IPAMPLAT_F_ORIG_FUNC, 0, UINT32_MAX, 0);
    IpamAddr a;
    char text[64];
    std::memset(&a, 0x77, sizeof a);
    EXPECT_EQ(IPAM_String2Struct("10.0.0.1", &a), -1);
    EXPECT_EQ(a.family, 0x77);
    EXPECT_EQ(IPAM_Struct2String(&a, text, sizeof text), nullptr);
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_ORIG_FUNC), 2u);
    EXPECT_EQ(IPAM_String2Struct("10.0.0.1", &a), -1);  // tried again
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_ORIG_FUNC), 3u);

    ipamplat_fault_clear_all();
    ASSERT_EQ(IPAM_String2Struct("10.0.0.1", &a), 0);
    ASSERT_EQ(IPAM_Struct2String(&a, text, sizeof text), text);
    EXPECT_STREQ(text, "10.0.0.1");
    uint32_t resolvedAfter = ipamplat_call_count(IPAMPLAT_F_ORIG_FUNC);

    // Resolved: with the lookup failing, conversions still go to libc.
    ipamplat_fault_set(IPAMPLAT_F_ORIG_FUNC, 0, UINT32_MAX, 0);
    ASSERT_EQ(IPAM_String2Struct("::1", &a), 0);
    ASSERT_EQ(IPAM_Struct2String(&a, text, sizeof text), text);
    EXPECT_STREQ(text, "::1");
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_ORIG_FUNC), resolvedAfter);
    ipamplat_fault_clear_all();
}
