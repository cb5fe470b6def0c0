// The stand-in platform's management framework and its request client.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipam_platform.h"
#include "platform/cmf.h"

namespace {

// What the test handler saw and does: file-wide, as the handler is a plain
// function.
struct HandlerLog {
    CMF_CONTEXT_OBJ obj{};
    std::vector<std::string> decoded; // "id:len:data"
    int32_t past_end = 0;
    std::vector<int32_t> encode_answers;
    std::thread::id thread;
    uint32_t encodes = 3;
};
HandlerLog *g_log;

int32_t handler(void *ctx) {
    g_log->thread = std::this_thread::get_id();
    if (CMF_ServerContextObjGet(ctx, &g_log->obj) != 0)
        return -50;
    int32_t id, len;
    void *data;
    while (CMF_ServerParamDecode(ctx, &id, &len, &data) == 0) {
        std::string text = std::to_string(id) + ":" + std::to_string(len) + ":";
        if (data != nullptr)
            text.append(static_cast<const char *>(data), static_cast<size_t>(len));
        else
            text += "null";
        g_log->decoded.push_back(text);
    }
    g_log->past_end = CMF_ServerParamDecode(ctx, &id, &len, &data);
    for (uint32_t i = 0; i < g_log->encodes; ++i) {
        uint32_t word = 0x01020304u + i;
        g_log->encode_answers.push_back(
            CMF_ServerParamEncode(ctx, static_cast<int32_t>(i), sizeof word, &word));
    }
    return 13;
}

class PlatformCmf : public ::testing::Test {
  protected:
    void SetUp() override {
        ipamplat_reset();
        g_log = &log;
        ASSERT_EQ(CMF_ServerModCallbackReg(198, handler), 0);
    }
    void TearDown() override {
        CMF_ServerModCallbackUnreg(198);
        ipamplat_reset();
        g_log = nullptr;
    }
    HandlerLog log;
};

TEST_F(PlatformCmf, RequestReachesHandlerOnTheManagementThreadAndReplyIsCollected) {
    std::string cursor = "cursor-bytes";
    ipamplat_cmf_param params[2] = {{0, static_cast<int32_t>(cursor.size()), cursor.data()},
                                    {6, 0, nullptr}};
    ipamplat_cmf_request req{2, 0, 2, params, -1, 0};
    ipamplat_cmf_reply *reply = nullptr;
    cursor[0] = 'C'; // changed before sending: the request is copied at send
    ASSERT_EQ(ipamplat_cmf_send(&req, &reply), 13);
    EXPECT_EQ(log.obj.objectId, 2u);
    EXPECT_EQ(log.obj.operation, 0u);
    EXPECT_EQ(log.decoded, (std::vector<std::string>{"0:12:Cursor-bytes", "6:0:null"}));
    EXPECT_EQ(log.past_end, -1);
    EXPECT_NE(log.thread, std::this_thread::get_id());

    ASSERT_EQ(ipamplat_cmf_reply_count(reply), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        int32_t id = -1, len = -1;
        const void *data = nullptr;
        ASSERT_EQ(ipamplat_cmf_reply_param(reply, i, &id, &len, &data), 0);
        EXPECT_EQ(id, static_cast<int32_t>(i));
        ASSERT_EQ(len, 4);
        uint32_t word;
        std::memcpy(&word, data, 4);
        EXPECT_EQ(word, 0x01020304u + i);
    }
    EXPECT_EQ(ipamplat_cmf_reply_param(reply, 3, nullptr, nullptr, nullptr), -1);
    ipamplat_cmf_reply_free(reply);
}

TEST_F(PlatformCmf, EncodeLimitAnswersAndStoresNothingMore) {
    log.encodes = 5;
    ipamplat_cmf_request req{3, 0, 0, nullptr, 2, 4};
    ipamplat_cmf_reply *reply = nullptr;
    ASSERT_EQ(ipamplat_cmf_send(&req, &reply), 13);
    EXPECT_EQ(log.encode_answers, (std::vector<int32_t>{0, 0, 4, 4, 4}));
    EXPECT_EQ(ipamplat_cmf_reply_count(reply), 2u);
    ipamplat_cmf_reply_free(reply);

    log.encode_answers.clear();
    req.encodeLimit = 0;
    req.encodeLimitAnswer = 7;
    ASSERT_EQ(ipamplat_cmf_send(&req, nullptr), 13);
    EXPECT_EQ(log.encode_answers, (std::vector<int32_t>{7, 7, 7, 7, 7}));
}

TEST_F(PlatformCmf, BadContextsAndFaultsAnswerWithoutFaulting) {
    CMF_CONTEXT_OBJ obj;
    int32_t id, len;
    void *data;
    EXPECT_EQ(CMF_ServerContextObjGet(nullptr, &obj), -1);
    EXPECT_EQ(CMF_ServerParamDecode(nullptr, &id, &len, &data), -1);
    EXPECT_EQ(CMF_ServerParamEncode(nullptr, 0, 0, nullptr), -1);
    int not_a_context = 0; // outside a request: refused, never dereferenced as one
    EXPECT_EQ(CMF_ServerContextObjGet(&not_a_context, &obj), -1);

    ipamplat_fault_set(IPAMPLAT_F_CMF_OBJGET, 0, 1, -9);
    ipamplat_cmf_request req{1, 3, 0, nullptr, -1, 0};
    EXPECT_EQ(ipamplat_cmf_send(&req, nullptr), -50);
    ipamplat_fault_set(IPAMPLAT_F_CMF_ENCODE, 1, 1, -8);
    ASSERT_EQ(ipamplat_cmf_send(&req, nullptr), 13);
    EXPECT_EQ(log.encode_answers, (std::vector<int32_t>{0, -8, 0}));

    ipamplat_fault_set(IPAMPLAT_F_CMF_REG, 0, 1, -2);
    EXPECT_EQ(CMF_ServerModCallbackReg(198, handler), -2);
    ipamplat_fault_set(IPAMPLAT_F_CMF_UNREG, 0, 1, -3);
    EXPECT_EQ(CMF_ServerModCallbackUnreg(198), -3);
    EXPECT_EQ(ipamplat_cmf_registered(), 1); // the failed unreg did nothing

    // Unregistered: no peer, and a second teardown succeeds.
    ASSERT_EQ(CMF_ServerModCallbackUnreg(198), 0);
    EXPECT_EQ(ipamplat_cmf_registered(), 0);
    EXPECT_EQ(CMF_ServerModCallbackUnreg(198), 0);
    ipamplat_cmf_reply *reply = reinterpret_cast<ipamplat_cmf_reply *>(&req);
    EXPECT_EQ(ipamplat_cmf_send(&req, &reply), IPAMPLAT_NO_PEER);
    EXPECT_EQ(reply, nullptr);
}

} // namespace
