// A registered management handler over a fresh database, and requests sent
// to it through the stand-in management client.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "db/db.h"
#include "ipam_platform.h"

// One encoded parameter of a reply.
struct Encoded {
    int32_t id;
    std::vector<uint8_t> data;
};

class MgmtTest : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        ASSERT_EQ(ipam_DbInit(), 0);
        ASSERT_EQ(ipam_CmfServerModCallbackReg(), 0);
        gIpamPubDbg = 0;
    }
    void TearDown() override {
        ipamplat_fault_clear_all();
        ipam_CmfServerModCallbackUnreg();
        ipam_DbUnInit();
        gIpamPubDbg = 0;
    }

public:
    static constexpr int32_t kNoParam = INT32_MIN;
    // Sends one request with one parameter (none for kNoParam); the
    // handler's result. The encoder answers `limitAnswer` once `limit`
    // parameters are stored (no limit when negative).
    static int32_t sendParam(uint32_t object, uint32_t operation, int32_t id, int32_t length = 0,
                             const void *data = nullptr, std::vector<Encoded> *out = nullptr,
                             int32_t limit = -1, int32_t limitAnswer = 0) {
        ipamplat_cmf_param p{id, length, data};
        ipamplat_cmf_request req{object, operation, id == kNoParam ? 0u : 1u, &p, limit, limitAnswer};
        ipamplat_cmf_reply *reply = nullptr;
        int32_t r = ipamplat_cmf_send(&req, &reply);
        if (out) out->clear();
        for (uint32_t i = 0; out && i < ipamplat_cmf_reply_count(reply); ++i) {
            int32_t pid = 0, len = 0;
            const void *d = nullptr;
            EXPECT_EQ(ipamplat_cmf_reply_param(reply, i, &pid, &len, &d), 0);
            const auto *b = static_cast<const uint8_t *>(d);
            out->push_back({pid, std::vector<uint8_t>(b, b + (len > 0 ? len : 0))});
        }
        ipamplat_cmf_reply_free(reply);
        return r;
    }

    template <class Info>
    static std::vector<Info> records(const std::vector<Encoded> &enc) {
        std::vector<Info> out;
        for (const Encoded &e : enc) {
            EXPECT_EQ(e.id, 0);
            EXPECT_EQ(e.data.size(), sizeof(Info));
            Info r;
            std::memcpy(&r, e.data.data(), sizeof r);
            out.push_back(r);
        }
        return out;
    }
};
