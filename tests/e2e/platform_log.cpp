// The stand-in platform's logging, module names, thread ids, faults and
// symbol lookup.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "ipam_platform.h"
#include "platform/platform.h"
#include "support/log_capture.h"

namespace {

class PlatformLog : public ::testing::Test {
  protected:
    void SetUp() override { ipamplat_reset(); }
    void TearDown() override { ipamplat_reset(); }
};

TEST_F(PlatformLog, LineIsFormattedWithTheThreadIdAndReachesTheSink) {
    LogCapture capture;
    std::string long_arg(2000, 'x');
    NLOG_Send(198, "HOSTMOD", 3, 1, "(PID:%d)value %u %s", gnl_get_tid(), 42u, "ok");
    NLOG_Send(198, "HOSTMOD", 7, 2, "(PID:%d)%s", gnl_get_tid(), long_arg.c_str());
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "(PID:" + std::to_string(gnl_get_tid()) + ")value 42 ok");
    EXPECT_EQ(lines[0].moduleId, 198u);
    EXPECT_EQ(lines[0].moduleName, "HOSTMOD");
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[0].logClass, 1u);
    // Longer than any fixed buffer: not truncated.
    EXPECT_EQ(stripPid(lines[1].text), long_arg);
}

TEST_F(PlatformLog, StderrEchoCarriesLevelTagAndModule) {
    ipamplat_log_set_stderr(1);
    testing::internal::CaptureStderr();
    NLOG_Send(198, "HOSTMOD", 3, 1, "(PID:%d)bad", 7);
    NLOG_Send(198, "HOSTMOD", 7, 1, "(PID:%d)trace", 7);
    NLOG_Send(198, "HOSTMOD", 5, 1, "(PID:%d)other", 7);
    ipamplat_log_set_stderr(0);
    NLOG_Send(198, "HOSTMOD", 3, 1, "(PID:%d)silent", 7);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[ERR] HOSTMOD (PID:7)bad\n[DBG] HOSTMOD (PID:7)trace\n"
                   "[L5] HOSTMOD (PID:7)other\n");
}

TEST_F(PlatformLog, SinkRemovedIsNeverCalledAgainAndThreadIdsAreTheKernels) {
    {
        LogCapture capture;
        NLOG_Send(1, "M", 7, 1, "(PID:%d)one", 1);
        EXPECT_EQ(capture.lines().size(), 1u);
    }
    NLOG_Send(1, "M", 7, 1, "(PID:%d)two", 1); // must not reach the destroyed capture
    LogCapture again;
    ipamplat_reset(); // drops the sink
    NLOG_Send(1, "M", 7, 1, "(PID:%d)three", 1);
    EXPECT_TRUE(again.lines().empty());

    EXPECT_EQ(gnl_get_tid(), static_cast<int32_t>(syscall(SYS_gettid)));
    int32_t other = gnl_get_tid();
    std::thread([&] { other = gnl_get_tid(); }).join();
    EXPECT_NE(other, gnl_get_tid());
}

TEST_F(PlatformLog, ModuleNamesAreUpperCasedAndBounded) {
    char buf[32];
    ASSERT_EQ(ipamplat_module_register(4242, "rtMgr"), 0);
    ipamplat_module_register(4242, "arP"); // replaced by a second registration
    ipamplat_reset();                      // and kept across reset
    ASSERT_EQ(MODULEMGMT_GetModUpperName(4242, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "ARP");
    ASSERT_EQ(MODULEMGMT_GetModUpperName(4243, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "MOD4243");
    ipamplat_module_register(4244, "longname");
    char small[4];
    ASSERT_EQ(MODULEMGMT_GetModUpperName(4244, small, sizeof small), 0);
    EXPECT_STREQ(small, "LON");
    MODULEMGMT_GetModUpperName(4244, buf, 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(MODULEMGMT_GetModUpperName(4242, nullptr, 32), -1);
    EXPECT_EQ(MODULEMGMT_GetModUpperName(4242, buf, 0), -1);
    EXPECT_EQ(ipamplat_module_register(1, nullptr), -1);
}

TEST_F(PlatformLog, FaultSkipsThenFailsCountTimesAndCountsEveryCall) {
    ipamplat_fault_set(IPAMPLAT_F_DFM, 1, 2, -77);
    uint8_t query[200] = {};
    ipamplat_dfm_set_answer(0);
    EXPECT_EQ(gnl_dfm_process(query), 0);
    EXPECT_EQ(gnl_dfm_process(query), -77);
    EXPECT_EQ(gnl_dfm_process(query), -77);
    EXPECT_EQ(gnl_dfm_process(query), 0);
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_DFM), 4u);
    // Failed calls did nothing: only the two good ones were recorded.
    EXPECT_EQ(ipamplat_dfm_last_query(query), 2u);

    ipamplat_fault_set(IPAMPLAT_F_DFM, 0, UINT32_MAX, 9);
    EXPECT_EQ(gnl_dfm_process(query), 9);
    EXPECT_EQ(gnl_dfm_process(query), 9);
    ipamplat_fault_clear_all();
    EXPECT_EQ(gnl_dfm_process(query), 0);
    ipamplat_reset();
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_DFM), 0u);
}

TEST_F(PlatformLog, DebugSwitchRecordsQueryAndAnswersFromEnvUntilSet) {
    uint8_t query[200];
    for (int i = 0; i < 200; ++i)
        query[i] = static_cast<uint8_t>(i);
    unsetenv("IPAM_PLATFORM_DFM");
    EXPECT_EQ(gnl_dfm_process(query), -1);
    setenv("IPAM_PLATFORM_DFM", "0", 1);
    EXPECT_EQ(gnl_dfm_process(query), 0);
    ipamplat_dfm_set_answer(5);
    EXPECT_EQ(gnl_dfm_process(query), 5);
    ipamplat_dfm_use_env();
    EXPECT_EQ(gnl_dfm_process(query), 0);
    unsetenv("IPAM_PLATFORM_DFM");
    uint8_t seen[200] = {};
    EXPECT_EQ(ipamplat_dfm_last_query(seen), 4u);
    EXPECT_EQ(std::memcmp(seen, query, 200), 0);
    EXPECT_EQ(gnl_dfm_process(nullptr), -1);
}

TEST_F(PlatformLog, OrigFuncFindsLibcInetPton) {
    using pton_fn = int (*)(int, const char *, void *);
    auto fn = reinterpret_cast<pton_fn>(gnl_orig_func_get("libc.so.6", "inet_pton"));
    ASSERT_NE(fn, nullptr);
    uint8_t addr[4];
    ASSERT_EQ(fn(AF_INET, "10.1.2.3", addr), 1);
    EXPECT_EQ(addr[3], 3);
    EXPECT_EQ(gnl_orig_func_get("libc.so.6", "no_such_symbol_here"), nullptr);
    EXPECT_EQ(gnl_orig_func_get("libnot-there.so.9", "inet_pton"), nullptr);
    EXPECT_EQ(gnl_orig_func_get(nullptr, "inet_pton"), nullptr);
}

} // namespace
