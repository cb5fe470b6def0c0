// The management handler's debug object and the edges of a table export.
#include <cstring>
#include <string>

#include "common/dbg.h"
#include "mgmt_fixture.h"
#include "support/log_capture.h"
#include "support/records.h"

using ipamtest::addr4;
using ipamtest::addr6;
using ipamtest::describe;

namespace {

using Debug = MgmtTest;

int32_t debug(uint32_t operation, int32_t id, int32_t length = 0, const void *data = nullptr) {
    return MgmtTest::sendParam(IPAM_CMF_OBJ_DEBUG, operation, id, length, data);
}

uint32_t getWord() {
    std::vector<Encoded> out;
    EXPECT_EQ(MgmtTest::sendParam(IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_GET, 6, 0, nullptr, &out), IPAM_CMF_END);
    uint32_t word = 0;
    if (out.size() != 1 || out[0].id != 6 || out[0].data.size() != 4) {
        ADD_FAILURE() << "not one 4-byte parameter 6";
        return 0;
    }
    std::memcpy(&word, out[0].data.data(), sizeof word);
    return word;
}

TEST_F(Debug, SetClearAndGetMapParametersToTheirBits) {
    const uint32_t bits[] = {IPAM_DBG_API, IPAM_DBG_RSV, IPAM_DBG_DB, IPAM_DBG_EVENT, IPAM_DBG_SUB};
    for (int id = 1; id <= 5; ++id) {
        gIpamPubDbg = 0x300;
        EXPECT_EQ(debug(IPAM_CMF_OP_SET, id), 0);
        EXPECT_EQ(getWord(), 0x300u | bits[id - 1]) << id;
    }
    EXPECT_EQ(debug(IPAM_CMF_OP_SET, 6), 0);
    EXPECT_EQ(debug(IPAM_CMF_OP_CLEAR, 4), 0);
    EXPECT_EQ(getWord(), 0x31du);
    EXPECT_EQ(debug(IPAM_CMF_OP_CLEAR, 6), 0);
    EXPECT_EQ(gIpamPubDbg, 0x300u);  // only the five named bits are touched
}

TEST_F(Debug, InvalidRequestsAnswerTheirCodesAndChangeNothing) {
    LogCapture log;
    gIpamPubDbg = 0x4;
    EXPECT_EQ(debug(IPAM_CMF_OP_GET, 1), IPAM_CMF_ERR_PARAM);
    EXPECT_TRUE(log.has("Ipam agent cmf server recv invalid parameter 1"));
    EXPECT_EQ(debug(IPAM_CMF_OP_GET, 6, 4, &gIpamPubDbg), IPAM_CMF_ERR_PARAM);
    EXPECT_EQ(debug(IPAM_CMF_OP_SET, 7), IPAM_CMF_ERR_PARAM);
    EXPECT_TRUE(log.has("Ipam cmf server recv invalid parameter"));
    EXPECT_EQ(debug(IPAM_CMF_OP_SET, 0), IPAM_CMF_ERR_PARAM_ID);
    EXPECT_TRUE(log.has("ipam cmf server unknown parm id:0"));
    EXPECT_EQ(debug(IPAM_CMF_OP_CLEAR, -3), IPAM_CMF_ERR_PARAM_ID);
    EXPECT_EQ(debug(IPAM_CMF_OP_SET, 1, 4, &gIpamPubDbg), IPAM_CMF_ERR_PARAM);
    for (uint32_t op : {1u, 2u, 5u}) EXPECT_EQ(debug(op, 1), 0);
    for (uint32_t object : {0u, 4u}) EXPECT_EQ(sendParam(object, IPAM_CMF_OP_SET, 1), -1);
    EXPECT_TRUE(log.has("Ipam cmf server invalid object id 4"));
    // Decoding past the request's parameters fails: its answer is passed on.
    EXPECT_EQ(debug(IPAM_CMF_OP_SET, kNoParam), -1);
    ipamplat_fault_set(IPAMPLAT_F_CMF_OBJGET, 0, 1, -7);
    EXPECT_EQ(debug(IPAM_CMF_OP_SET, 1), -7);
    EXPECT_TRUE(log.has("ipam get obj err:-7"));
    EXPECT_EQ(gIpamPubDbg, 0x4u);
    for (const LogLine &l : log.lines()) EXPECT_EQ(l.level, 3u) << l.text;
}

using Export = MgmtTest;

TEST_F(Export, PageEndsOnAnswerFourAndResumesBehindTheLastRecord) {
    std::vector<Encoded> all, page;
    for (uint32_t op : {0u, 3u, 9u}) {  // an empty table ends at once, whatever the operation
        EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, op, 0, 0, nullptr, &page), IPAM_CMF_END);
        EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR6_TABLE, op, 0, -1, nullptr, &all), IPAM_CMF_END);
        EXPECT_TRUE(page.empty() && all.empty());
    }
    for (int i = 0; i < 5; ++i) {
        Ipam4AddrInfo r = addr4(1, ("10.0." + std::to_string(i) + ".1/24").c_str());
        ASSERT_EQ(ipam4_AddAddrInfoNode(&r, 0), 0);
    }
    ASSERT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, -5, nullptr, &all), IPAM_CMF_END);
    auto full = records<Ipam4AddrInfo>(all);
    ASSERT_EQ(full.size(), 5u);
    // The encoder takes two records and answers 4 on the third.
    ASSERT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, 0, nullptr, &page, 2, 4), 0);
    auto first = records<Ipam4AddrInfo>(page);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, 60, &first[1], &page), IPAM_CMF_END);
    auto rest = records<Ipam4AddrInfo>(page);
    ASSERT_EQ(rest.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(describe(rest[i]), describe(full[i + 2]));
    // Behind the last record there is nothing.
    EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, 60, &full[4], &page), IPAM_CMF_END);
    EXPECT_TRUE(page.empty());
    // Any other encoder answer fails the export.
    EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, 0, nullptr, &page, 1, 9), -1);
}

TEST_F(Export, CursorShorterThanARecordIsRefusedAndALongerOneIsCut) {
    Ipam6AddrInfo a = addr6(1, "2001:db8::1/64"), b = addr6(1, "2001:db8::2/64");
    ASSERT_EQ(ipam6_AddAddrInfoNode(&a, 0), 0);
    ASSERT_EQ(ipam6_AddAddrInfoNode(&b, 0), 0);
    std::vector<Encoded> all, page;
    ASSERT_EQ(sendParam(IPAM_CMF_OBJ_ADDR6_TABLE, 0, 0, 0, nullptr, &all), IPAM_CMF_END);
    auto full = records<Ipam6AddrInfo>(all);
    ASSERT_EQ(full.size(), 2u);

    LogCapture log;
    EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR6_TABLE, 0, 0, 99, &full[0], &page), IPAM_CMF_ERR_PARAM);
    EXPECT_TRUE(page.empty());
    Ipam4AddrInfo v4 = addr4(1, "10.0.0.1/24");
    EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, 1, &v4, &page), IPAM_CMF_ERR_PARAM);
    EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, 59, &v4, &page), IPAM_CMF_ERR_PARAM);
    EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 1, 0, nullptr, &page), IPAM_CMF_ERR_PARAM);
    EXPECT_EQ(log.lines().size(), 4u);
    for (const std::string &t : log.texts()) EXPECT_EQ(t, "Ipam cmf server recv invalid parameter");

    // Bytes behind the record are ignored: this cursor is the first record.
    uint8_t longer[140];
    std::memset(longer, 0xee, sizeof longer);
    std::memcpy(longer, &full[0], sizeof full[0]);
    ASSERT_EQ(sendParam(IPAM_CMF_OBJ_ADDR6_TABLE, 0, 0, sizeof longer, longer, &page), IPAM_CMF_END);
    auto rest = records<Ipam6AddrInfo>(page);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(describe(rest[0]), describe(full[1]));
}

}  // namespace
