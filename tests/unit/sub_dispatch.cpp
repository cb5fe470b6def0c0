// The publisher's callbacks driven directly on the test's thread: a record
// behind a newer one with its key, traces, and messages whose payload does
// not fit what their code carries.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/dbg.h"
#include "db/db.h"
#include "ipam_platform.h"
#include "sub/dispatch.h"
#include "sub/state.h"
#include "support/log_capture.h"
#include "support/records.h"
#include "unit/db_fixture.h"

using ipamtest::addr4;
using ipamtest::addr6;
using ipamtest::describe;
using ipamtest::ev;
using ipamtest::eventLog;
using Texts = std::vector<std::string>;
using Table = std::multiset<std::string>;

namespace {

constexpr uint32_t kCareNoIf = 0x1001ffffu & ~(IPAM4_EVT_IF_VALID | IPAM4_EVT_IF_INVALID |
                                               IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID);

template <class Info>
std::string stored(const Info &r, uint32_t ver) {
    return describe(r) + " ver=" + std::to_string(ver);
}

// Every stored record with its batch version.
template <class Node>
Table table(int32_t (*walk)(const decltype(Node::info) *, int32_t (*)(Node *, void *), void *,
                            int32_t *)) {
    Table out;
    walk(
        nullptr,
        [](Node *n, void *u) {
            static_cast<Table *>(u)->insert(stored(n->info, n->batchVer));
            return 0;
        },
        &out, nullptr);
    return out;
}
Table table4() { return table<Ipam4DbNode>(ipam_DbAddrWalk); }
Table table6() { return table<Ipam6DbNode>(ipam6_DbAddrWalk); }

template <class Info>
int32_t send(uint32_t code, const Info &r) {
    return ipamSubDispatch(static_cast<int32_t>(code), sizeof r, &r);
}

// Payloads copied into exactly sized heap buffers, so that a read past them
// is caught by the address sanitizer.
std::unique_ptr<uint8_t[]> exact(const void *data, size_t size) {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
    std::memcpy(buf.get(), data, size);
    return buf;
}

const std::string kStart = ev(IPAM_EVT_BATCH_START);
const std::string kEnd = ev(IPAM_EVT_BATCH_END);

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        resetLibrary();
        ASSERT_EQ(ipam_DbInit(), 0);
        ipam::recordInterest(&ipamtest::EventLog::callback, kCareNoIf);
        eventLog().clear();
        eventLog().setHook(nullptr);
    }
    void TearDown() override {
        eventLog().setHook(nullptr);
        resetLibrary();
    }
    // One batch of IPv4 then IPv6 records; the events it raised.
    static Texts batch(const std::vector<Ipam4AddrInfo> &v4,
                       const std::vector<Ipam6AddrInfo> &v6 = {}) {
        eventLog().clear();
        ipamSubStart();
        for (const auto &r : v4) EXPECT_EQ(send(IPAM4_EVT_BATCH, r), 0);
        for (const auto &r : v6) EXPECT_EQ(send(IPAM6_EVT_BATCH, r), 0);
        EXPECT_EQ(ipamSubEnd(), 0);
        return eventLog().texts();
    }
};

// One address on two interfaces: the keyed lookup finds only the newer one,
// yet the identical older record behind it is confirmed, not announced.
TEST_F(Dispatch, RecordBehindANewerOneWithItsKeyIsConfirmedSilently) {
    Ipam4AddrInfo first = addr4(1, "10.0.0.1/24"), second = addr4(2, "10.0.0.1/24");
    Ipam6AddrInfo first6 = addr6(1, "2001:db8::1/64"), second6 = addr6(2, "2001:db8::1/64");
    batch({first, second}, {first6, second6});
    EXPECT_EQ(batch({first, second}, {first6, second6}), (Texts{kStart, kEnd}));
    EXPECT_EQ(batch({first, second}, {first6, second6}), (Texts{kStart, kEnd}));
    EXPECT_EQ(table4(), (Table{stored(first, 3), stored(second, 3)}));
    EXPECT_EQ(table6(), (Table{stored(first6, 3), stored(second6, 3)}));
}

TEST_F(Dispatch, RelayAndUnknownCodesAreTracedAndLeaveTheReplicaAlone) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_SUB;
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24");
    EXPECT_EQ(send(IPAM_EVT_RELAY, a), 0);
    // A short relay payload is read only within its length; the rest is
    // traced as zero.
    uint8_t tenBytes[10] = {1, 0, 0, 0, 0, 0, 0, 0, 10, 0};
    auto ten = exact(tenBytes, sizeof tenBytes);
    EXPECT_EQ(ipamSubDispatch(IPAM_EVT_RELAY, sizeof tenBytes, ten.get()), 0);
    EXPECT_EQ(ipamSubDispatch(IPAM_EVT_RELAY, 0, nullptr), 0);
    EXPECT_EQ(eventLog().texts(),
              (Texts{ev(IPAM_EVT_RELAY), ev(IPAM_EVT_RELAY), ev(IPAM_EVT_RELAY)}));
    EXPECT_FALSE(eventLog().events()[0].hasRecord);
    eventLog().clear();
    EXPECT_EQ(send(0x3, a), 0);
    EXPECT_EQ(send(IPAM4_EVT_VALID, a), 0);
    EXPECT_TRUE(eventLog().texts().empty());
    EXPECT_TRUE(table4().empty());
    EXPECT_TRUE(log.has("Ipam subscrib receive unknown event 0x3"));
    EXPECT_TRUE(log.has("Ipam subscrib receive unknown event 0x400"));
    EXPECT_TRUE(log.has(
        "event 0x10000000 ifIndex 1 vrfIndex 0 Ipaddr 10.0.0.1 ipmask 255.255.255.0 IpAttr 0x0"));
    uint32_t tenIf = 0;
    std::memcpy(&tenIf, tenBytes, sizeof tenIf);
    EXPECT_TRUE(log.has("event 0x10000000 ifIndex " + std::to_string(tenIf) +
                        " vrfIndex 0 Ipaddr 10.0.0.0 ipmask 0.0.0.0 IpAttr 0x0"));
}

// A longer payload is cut to the record or block; a shorter or missing one
// is refused without any change.
TEST_F(Dispatch, PayloadLengthsAreCutOrRefused) {
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24");
    Ipam6AddrInfo a6 = addr6(1, "2001:db8::1/64");
    uint8_t big[300];
    std::memset(big, 0x5a, sizeof big);
    std::memcpy(big, &a, sizeof a);
    EXPECT_EQ(ipamSubDispatch(IPAM4_EVT_ADD, sizeof big, big), 0);
    std::memcpy(big, &a6, sizeof a6);
    EXPECT_EQ(ipamSubDispatch(IPAM6_EVT_ADD, sizeof big, big), 0);
    EXPECT_EQ(table4(), (Table{stored(a, 0)}));
    EXPECT_EQ(table6(), (Table{stored(a6, 0)}));
    uint32_t ifIndex = 1;
    std::memcpy(big, &ifIndex, sizeof ifIndex);
    eventLog().clear();
    EXPECT_EQ(ipamSubDispatch(IPAM4_EVT_IF_VALID, sizeof big, big), 0);
    auto four = exact(&ifIndex, sizeof ifIndex);  // an interface block needs only its index
    EXPECT_EQ(ipamSubDispatch(IPAM6_EVT_IF_VALID, 4, four.get()), 0);
    EXPECT_EQ(eventLog().events().size(), 2u);

    const Table before4 = table4(), before6 = table6();
    eventLog().clear();
    LogCapture log;
    auto short4 = exact(&a, sizeof a - 1), short6 = exact(&a6, sizeof a6 - 1),
         shortIf = exact(&ifIndex, 3);
    struct Case {
        std::vector<uint32_t> codes;
        uint32_t full, cut;
        const void *payload;
    };
    const Case cases[] = {
        {{IPAM4_EVT_BATCH, IPAM4_EVT_ADD, IPAM4_EVT_DEL}, sizeof a, sizeof a - 1, short4.get()},
        {{IPAM6_EVT_BATCH, IPAM6_EVT_ADD, IPAM6_EVT_DEL, IPAM6_EVT_UPDATE},
         sizeof a6,
         sizeof a6 - 1,
         short6.get()},
        {{IPAM4_EVT_IF_INVALID, IPAM6_EVT_IF_INVALID}, 32, 3, shortIf.get()},
    };
    for (const Case &c : cases) {
        for (uint32_t code : c.codes) {
            EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), c.cut, c.payload), -1) << code;
            EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), c.full, nullptr), -1) << code;
        }
    }
    EXPECT_TRUE(eventLog().texts().empty());
    EXPECT_EQ(table4(), before4);
    EXPECT_EQ(table6(), before6);
    EXPECT_TRUE(log.has("Ipam subscrib receive invalid message 0x8 len 59"));
    EXPECT_TRUE(log.has("Ipam subscrib receive invalid message 0x10000 len 100"));
    EXPECT_TRUE(log.has("Ipam subscrib receive invalid message 0x200 len 3"));
    for (const LogLine &l : log.lines()) EXPECT_EQ(l.level, 3u) << l.text;
}

}  // namespace
