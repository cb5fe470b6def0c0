// The stand-in platform's client/server channel and configuration server.
#include <gtest/gtest.h>
#include <linux/tipc.h>

#include <cstring>
#include <thread>

#include "ipam_platform.h"
#include "platform/scs.h"

namespace {

std::thread::id g_sync_thread;
int32_t on_sync(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d) {
    g_sync_thread = std::this_thread::get_id();
    return static_cast<int32_t>(a + 10 * b + 100 * c + 1000 * d);
}

class PlatformScs : public ::testing::Test {
  protected:
    void SetUp() override {
        ipamplat_reset();
        std::memset(&server, 0, sizeof server);
        server.family = AF_TIPC;
        server.addr.name.name.instance = 0x7ffc0002;
    }
    void TearDown() override { ipamplat_reset(); }
    int32_t open(uint32_t *handle) {
        SCS_CLIENT_CALLBACKS cb = {{nullptr, on_sync, nullptr, nullptr}};
        SCS_CLIENT_DESC desc = {11, 198, 22, &server, &cb};
        return SCS_ClientInit(&desc, handle);
    }
    sockaddr_tipc server;
};

TEST_F(PlatformScs, InitRecordsTheDescriptorAndGivesAHandleOnlyOnSuccess) {
    uint32_t handle = 16;
    ASSERT_EQ(open(&handle), 0);
    EXPECT_NE(handle, 16u);
    ipamplat_scs_client c;
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.open, 1);
    EXPECT_EQ(c.handle, handle);
    EXPECT_EQ(c.hostValue1, 11u);
    EXPECT_EQ(c.moduleId, 198u);
    EXPECT_EQ(c.hostValue2, 22u);
    EXPECT_EQ(std::memcmp(c.server, &server, 16), 0);
    EXPECT_EQ(c.callbacks[1], reinterpret_cast<uintptr_t>(&on_sync));

    EXPECT_EQ(ipamplat_scs_call_sync(1, 2, 3, 4), 4321);
    EXPECT_NE(g_sync_thread, std::this_thread::get_id());

    EXPECT_EQ(SCS_ClientFini(handle), 0);
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.open, 0);
    EXPECT_EQ(c.lastFiniHandle, handle);
    EXPECT_EQ(ipamplat_scs_call_sync(1, 2, 3, 4), IPAMPLAT_NO_PEER);

    ipamplat_scs_script s;
    ipamplat_scs_get_script(&s);
    s.initResult = -12;
    ipamplat_scs_set_script(&s);
    uint32_t second = 16;
    EXPECT_EQ(open(&second), -12);
    EXPECT_EQ(second, 16u);
    ipamplat_fault_set(IPAMPLAT_F_SCS_INIT, 0, 1, -13);
    EXPECT_EQ(open(&second), -13);
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.initCalls, 2u); // the faulted call did nothing
    EXPECT_EQ(SCS_ClientInit(nullptr, &second), -1);
}

TEST_F(PlatformScs, FramedBodiesAreRecordedAndTheScriptAnswers) {
    ipamplat_scs_script s;
    ipamplat_scs_get_script(&s);

    uint8_t body[104];
    for (int i = 0; i < 104; ++i)
        body[i] = static_cast<uint8_t>(i + 1);
    SCS_MSG msg;
    ASSERT_EQ(SCS_ClientFillMsg(3, sizeof body, body, &msg), 0);
    EXPECT_EQ(msg.word[0], 3u);
    EXPECT_EQ(msg.word[1], 104u);
    EXPECT_EQ(std::memcmp(&msg.word[2], body, sizeof body), 0);

    s.sendResult = -4;
    s.recvResult = -2;
    s.parseResult = 1;
    s.replyErrCode = -5;
    ipamplat_scs_set_script(&s);
    EXPECT_EQ(SCS_ClientSendMsg(0x77, &msg), -4);
    EXPECT_EQ(SCS_ClientRecvMsg(0x77, 3, &msg), -2);
    s.recvResult = 1;
    ipamplat_scs_set_script(&s);
    EXPECT_EQ(SCS_ClientRecvMsg(0x77, 3, &msg), 1);
    int16_t err = 0;
    uint32_t w1 = 9, w2 = 9;
    EXPECT_EQ(SCS_ClientParseMsg(&msg, 0, &err, &w1, &w2), 1);
    EXPECT_EQ(err, -5);
    EXPECT_EQ(w1, 0u);
    EXPECT_EQ(w2, 0u);

    ASSERT_EQ(ipamplat_scs_sent_count(), 1u);
    uint8_t got[200];
    uint32_t type = 0;
    EXPECT_EQ(ipamplat_scs_sent(0, &type, got, sizeof got), 104);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(std::memcmp(got, body, sizeof body), 0);
    uint8_t four[4] = {};
    EXPECT_EQ(ipamplat_scs_sent(0, nullptr, four, sizeof four), 104); // copies only 4
    EXPECT_EQ(four[3], 4);
    EXPECT_EQ(ipamplat_scs_sent(1, &type, got, sizeof got), -1);

    ipamplat_scs_client c;
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.sendCalls, 1u);
    EXPECT_EQ(c.recvCalls, 2u);
    EXPECT_EQ(c.parseCalls, 1u);
    EXPECT_EQ(c.lastSendHandle, 0x77u);
    EXPECT_EQ(c.lastRecvType, 3u);

    ipamplat_reset(); // script back to the defaults, recordings gone
    ipamplat_scs_get_script(&s);
    EXPECT_EQ(s.sendResult, 0);
    EXPECT_EQ(s.recvResult, 1);
    EXPECT_EQ(s.parseResult, 1);
    EXPECT_EQ(s.replyErrCode, 0);
    EXPECT_EQ(ipamplat_scs_sent_count(), 0u);
}

TEST_F(PlatformScs, OversizedBodiesAndNullPointersAreRefused) {
    uint8_t big[505] = {};
    SCS_MSG msg;
    std::memset(&msg, 0x5a, sizeof msg);
    EXPECT_EQ(SCS_ClientFillMsg(3, sizeof big, big, &msg), -1);
    EXPECT_EQ(msg.word[0], 0x5a5a5a5au); // untouched
    EXPECT_EQ(SCS_ClientFillMsg(3, 504, big, &msg), 0);
    EXPECT_EQ(SCS_ClientFillMsg(3, 4, big, nullptr), -1);
    EXPECT_EQ(SCS_ClientFillMsg(3, 4, nullptr, &msg), -1);
    EXPECT_EQ(SCS_ClientSendMsg(1, nullptr), -1);
    EXPECT_EQ(SCS_ClientRecvMsg(1, 3, nullptr), -1);
    int16_t err;
    uint32_t w;
    EXPECT_EQ(SCS_ClientParseMsg(nullptr, 0, &err, &w, &w), -1);
    EXPECT_EQ(SCS_ClientParseMsg(&msg, 0, nullptr, &w, &w), -1);
    // A frame whose length word lies is recorded only up to the message's end.
    msg.word[1] = 0xffffffffu;
    SCS_ClientSendMsg(1, &msg);
    EXPECT_EQ(ipamplat_scs_sent(0, nullptr, nullptr, 0), 504);
}

} // namespace
