// The management handler: the debug object with its result codes, the edges
// of a table export, and paging through several hundred records with a small
// page, with and without changes between the pages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/dbg.h"
#include "db/addr.h"
#include "db/db.h"
#include "ipam_platform.h"
#include "support/log_capture.h"
#include "support/records.h"

using ipamtest::addr4;
using ipamtest::addr6;
using ipamtest::describe;

namespace {

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

// The result code of each invalid request, and the lines they write.
TEST_F(Debug, InvalidRequestsAnswerTheirCodesAndChangeNothing) {
    LogCapture log;
    gIpamPubDbg = 0x4;
    const struct {
        uint32_t object, operation;
        int32_t id, length, result;
    } cases[] = {
        {IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_GET, 1, 0, IPAM_CMF_ERR_PARAM},
        {IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_GET, 6, 4, IPAM_CMF_ERR_PARAM},
        {IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_SET, 7, 0, IPAM_CMF_ERR_PARAM},
        {IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_SET, 0, 0, IPAM_CMF_ERR_PARAM_ID},
        {IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_CLEAR, -3, 0, IPAM_CMF_ERR_PARAM_ID},
        {IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_SET, 1, 4, IPAM_CMF_ERR_PARAM},
        {IPAM_CMF_OBJ_DEBUG, 1, 1, 0, 0}, {IPAM_CMF_OBJ_DEBUG, 2, 1, 0, 0}, {IPAM_CMF_OBJ_DEBUG, 5, 1, 0, 0},
        {0, IPAM_CMF_OP_SET, 1, 0, -1}, {4, IPAM_CMF_OP_SET, 1, 0, -1},
        // Decoding past the request's parameters fails: its answer is passed on.
        {IPAM_CMF_OBJ_DEBUG, IPAM_CMF_OP_SET, kNoParam, 0, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sendParam(c.object, c.operation, c.id, c.length, c.length ? &gIpamPubDbg : nullptr), c.result)
            << c.object << " " << c.operation << " " << c.id;
    ipamplat_fault_set(IPAMPLAT_F_CMF_OBJGET, 0, 1, -7);
    EXPECT_EQ(debug(IPAM_CMF_OP_SET, 1), -7);
    EXPECT_EQ(gIpamPubDbg, 0x4u);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Ipam agent cmf server recv invalid parameter 1",
                               "Ipam agent cmf server recv invalid parameter 6",
                               "Ipam cmf server recv invalid parameter", "ipam cmf server unknown parm id:0",
                               "ipam cmf server unknown parm id:-3", "Ipam cmf server recv invalid parameter",
                               "Ipam cmf server invalid object id 0", "Ipam cmf server invalid object id 4",
                               "ipam get obj err:-7"}));
    for (const LogLine &l : log.lines()) EXPECT_EQ(l.level, 3u) << l.text;
}

using Export = MgmtTest;

TEST_F(Export, CursorShorterThanARecordIsRefusedAndALongerOneIsCut) {
    std::vector<Encoded> all, page;
    for (uint32_t op : {0u, 3u, 9u}) {  // an empty table ends at once, whatever the operation
        EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, op, 0, 0, nullptr, &page), IPAM_CMF_END);
        EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR6_TABLE, op, 0, -1, nullptr, &all), IPAM_CMF_END);
        EXPECT_TRUE(page.empty() && all.empty());
    }
    Ipam6AddrInfo a = addr6(1, "2001:db8::1/64"), b = addr6(1, "2001:db8::2/64");
    ASSERT_EQ(ipam6_AddAddrInfoNode(&a, 0), 0);
    ASSERT_EQ(ipam6_AddAddrInfoNode(&b, 0), 0);
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
    // An encoder answer other than 4 fails the export.
    EXPECT_EQ(sendParam(IPAM_CMF_OBJ_ADDR6_TABLE, 0, 0, 0, nullptr, &page, 1, 9), -1);
}

constexpr int32_t kPage = 7;

struct Family4 {
    using Info = Ipam4AddrInfo;
    static constexpr uint32_t kObject = IPAM_CMF_OBJ_ADDR4_TABLE;
    static Info make(int i) {
        std::string a = "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1/24";
        return addr4(1 + i % 13, a.c_str(), 0, i % 3);
    }
    static int32_t add(const Info &r) { return ipam4_AddAddrInfoNode(&r, 0); }
};

bool stored(const Ipam4AddrInfo &r) { return ipam4DbNodeGetByAll(&r) != nullptr; }
uint32_t bucket(const Ipam4AddrInfo &r) {
    Ipam4DbNode key;
    std::memset(&key, 0, sizeof key);
    key.info = r;
    return ipam4VrfIpHashCompute(&key) % IPAM_DB_HASH_SIZE;
}

// One page behind `cursor` (from the start when null): the records and the
// handler's result; a page that does not end the table is full.
template <class Info>
std::vector<Info> page(uint32_t object, const Info *cursor, int32_t *result) {
    std::vector<Encoded> out;
    *result = MgmtTest::sendParam(object, 0, 0, cursor ? sizeof *cursor : 0, cursor, &out, kPage, 4);
    auto got = MgmtTest::records<Info>(out);
    if (*result != IPAM_CMF_END) {
        EXPECT_EQ(*result, 0);
        EXPECT_EQ(got.size(), static_cast<size_t>(kPage));
    }
    return got;
}

template <class Fam>
void expectEveryRecordOnce(int count) {
    std::set<std::string> all;
    for (int i = 0; i < count; ++i) {
        typename Fam::Info r = Fam::make(i);
        ASSERT_EQ(Fam::add(r), 0);
        all.insert(describe(r));
    }
    std::multiset<std::string> seen;
    typename Fam::Info cursor;
    int32_t r = 0;
    for (int pages = 0; pages <= count; ++pages) {
        auto got = page<typename Fam::Info>(Fam::kObject, pages ? &cursor : nullptr, &r);
        for (const auto &g : got) seen.insert(describe(g));
        if (r != 0 || got.empty()) break;
        cursor = got.back();
    }
    EXPECT_EQ(r, IPAM_CMF_END);
    EXPECT_EQ(seen, std::multiset<std::string>(all.begin(), all.end()));
}

using Paging = MgmtTest;

TEST_F(Paging, UnchangedTableComesWholeAndEachRecordOnce) {
    expectEveryRecordOnce<Family4>(600);
}

// Between pages records are deleted (the page's cursor among them now and
// then) and new ones added. A record present throughout must come at least
// once; nothing that was never stored may come; a record comes again only on
// a page whose cursor had been deleted, from the cursor's own bucket, where
// the walk resumes.
TEST_F(Paging, ChangesBetweenPagesLoseNothingAndRepeatOnlyBehindAMissingCursor) {
    constexpr int kCount = 600;
    std::set<std::string> initial, everStored, deleted, seen;
    for (int i = 0; i < kCount; ++i) {
        Ipam4AddrInfo r = Family4::make(i);
        ASSERT_EQ(Family4::add(r), 0);
        initial.insert(describe(r));
    }
    everStored = initial;
    auto drop = [&](const Ipam4AddrInfo &r) {
        if (!stored(r)) return;
        ASSERT_EQ(ipam4_DelAddrInfoNode(&r), 0);
        deleted.insert(describe(r));
    };
    int missingCursorPages = 0;
    Ipam4AddrInfo cursor;
    int32_t r = 0;
    for (int n = 0; n < 10000 && r == 0; ++n) {
        if (n > 0 && n % 3 == 0) drop(cursor);
        drop(Family4::make((n * 97) % kCount));
        Ipam4AddrInfo fresh = Family4::make(kCount + n);
        ASSERT_EQ(Family4::add(fresh), 0);
        everStored.insert(describe(fresh));

        bool missing = n > 0 && !stored(cursor);
        missingCursorPages += missing ? 1 : 0;
        auto got = page<Ipam4AddrInfo>(IPAM_CMF_OBJ_ADDR4_TABLE, n ? &cursor : nullptr, &r);
        for (const Ipam4AddrInfo &g : got) {
            std::string d = describe(g);
            EXPECT_TRUE(everStored.count(d)) << "never stored: " << d;
            if (!seen.insert(d).second) {
                EXPECT_TRUE(missing && bucket(g) == bucket(cursor)) << "repeated on page " << n << ": " << d;
            }
        }
        ASSERT_TRUE(r == IPAM_CMF_END || !got.empty());
        if (!got.empty()) cursor = got.back();
    }
    EXPECT_EQ(r, IPAM_CMF_END);
    for (const std::string &d : initial) EXPECT_TRUE(deleted.count(d) || seen.count(d)) << "lost: " << d;
    EXPECT_GT(missingCursorPages, 10);
}

}  // namespace
