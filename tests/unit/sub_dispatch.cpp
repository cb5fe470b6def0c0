// The publisher's callbacks driven directly on the test's thread: batches,
// single changes, interface validity, and messages whose payload does not
// fit what their code carries.
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

using ipamtest::addr4;
using ipamtest::addr6;
using ipamtest::describe;
using ipamtest::ev;
using ipamtest::eventLog;

namespace {

constexpr uint32_t kCareAll = 0x1001ffffu;  // every event and message code

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        ASSERT_EQ(ipam_DbInit(), 0);
        gIpamCareEvt = kCareAll & ~(IPAM4_EVT_IF_VALID | IPAM4_EVT_IF_INVALID | IPAM6_EVT_IF_VALID |
                                    IPAM6_EVT_IF_INVALID);
        gIpamBatchVer = 0;
        gIpamBatchFlag = 0;
        ipam::storeCallback(&ipamtest::EventLog::callback);
        eventLog().clear();
        eventLog().setHook(nullptr);
    }
    void TearDown() override {
        ipam::storeCallback(nullptr);
        gIpamCareEvt = 0;
        gIpamBatchVer = 0;
        gIpamBatchFlag = 0;
        gIpamPubDbg = 0;
        ipam_DbUnInit();
    }

    static int32_t send(uint32_t code, const Ipam4AddrInfo &r) {
        return ipamSubDispatch(static_cast<int32_t>(code), sizeof r, &r);
    }
    static int32_t send(uint32_t code, const Ipam6AddrInfo &r) {
        return ipamSubDispatch(static_cast<int32_t>(code), sizeof r, &r);
    }
    static int32_t sendIf(uint32_t code, uint32_t ifIndex) {
        uint8_t block[32] = {0};
        std::memcpy(block, &ifIndex, sizeof ifIndex);
        return ipamSubDispatch(static_cast<int32_t>(code), sizeof block, block);
    }
    template <class Info>
    static void batch(const std::vector<Info> &records, uint32_t code) {
        ipamSubStart();
        for (const Info &r : records) send(code, r);
        ipamSubEnd();
    }
    static std::vector<std::string> texts() { return eventLog().texts(); }

    // Every stored record with its batch version, sorted.
    static std::multiset<std::string> table4() {
        std::multiset<std::string> out;
        ipam_DbAddrWalk(nullptr, [](Ipam4DbNode *n, void *u) -> int32_t {
            static_cast<std::multiset<std::string> *>(u)->insert(
                describe(n->info) + " ver=" + std::to_string(n->batchVer));
            return 0;
        }, &out, nullptr);
        return out;
    }
    static std::multiset<std::string> table6() {
        std::multiset<std::string> out;
        ipam6_DbAddrWalk(nullptr, [](Ipam6DbNode *n, void *u) -> int32_t {
            static_cast<std::multiset<std::string> *>(u)->insert(
                describe(n->info) + " ver=" + std::to_string(n->batchVer));
            return 0;
        }, &out, nullptr);
        return out;
    }
    static std::string stored(const Ipam4AddrInfo &r, uint32_t ver) {
        return describe(r) + " ver=" + std::to_string(ver);
    }
    static std::string stored(const Ipam6AddrInfo &r, uint32_t ver) {
        return describe(r) + " ver=" + std::to_string(ver);
    }
};

const std::string kStart = ev(IPAM_EVT_BATCH_START);
const std::string kEnd = ev(IPAM_EVT_BATCH_END);

TEST_F(Dispatch, FirstBatchAnnouncesEveryRecordAndCompletesTheReplica) {
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24"), b = addr4(1, "10.0.1.1/24", IPAM_ATTR_VALID),
                  c = addr4(2, "10.0.2.1/24");
    ipamSubStart();
    for (const auto &r : {a, b, c}) EXPECT_EQ(send(IPAM4_EVT_BATCH, r), 0);
    EXPECT_EQ(ipam_IsSubscrib(), 0);
    EXPECT_EQ(ipamSubEnd(), 0);
    EXPECT_EQ(ipam_IsSubscrib(), 1);
    EXPECT_EQ(texts(), (std::vector<std::string>{kStart, ev(IPAM4_EVT_ADD, a), ev(IPAM4_EVT_ADD, b),
                                                 ev(IPAM4_EVT_VALID, b), ev(IPAM4_EVT_ADD, c), kEnd}));
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(a, 1), stored(b, 1), stored(c, 1)}));
}

TEST_F(Dispatch, LaterBatchConfirmsSilentlyAndSweepsWhatItLacks) {
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24"), gone = addr4(1, "10.0.1.1/24", IPAM_ATTR_VALID);
    Ipam6AddrInfo a6 = addr6(1, "2001:db8::1/64"), gone6 = addr6(2, "2001:db8:1::1/64");
    ipamSubStart();
    for (const auto &r : {a, gone}) send(IPAM4_EVT_BATCH, r);
    for (const auto &r : {a6, gone6}) send(IPAM6_EVT_BATCH, r);
    ipamSubEnd();
    eventLog().clear();

    ipamSubStart();
    send(IPAM4_EVT_BATCH, a);
    send(IPAM6_EVT_BATCH, a6);
    EXPECT_EQ(ipamSubEnd(), 0);
    // Stale IPv4 records go first, then IPv6, deletion before invalidation.
    EXPECT_EQ(texts(), (std::vector<std::string>{kStart, ev(IPAM4_EVT_DEL, gone),
                                                 ev(IPAM4_EVT_INVALID, gone), ev(IPAM6_EVT_DEL, gone6),
                                                 kEnd}));
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(a, 2)}));
    EXPECT_EQ(table6(), (std::multiset<std::string>{stored(a6, 2)}));
    uint32_t interfaces = 0;
    ipam_AddrInfoNumGet(&interfaces);
    EXPECT_EQ(interfaces, 1u);  // interface 2 went with its last address
}

TEST_F(Dispatch, ChangedRecordIsAnAdditionNowAndItsOldFormADeletionAtTheEnd) {
    Ipam4AddrInfo old = addr4(1, "10.0.0.1/24"), wider = addr4(1, "10.0.0.1/16");
    batch<Ipam4AddrInfo>({old}, IPAM4_EVT_BATCH);
    eventLog().clear();
    ipamSubStart();
    send(IPAM4_EVT_BATCH, wider);
    EXPECT_EQ(texts(), (std::vector<std::string>{kStart, ev(IPAM4_EVT_ADD, wider)}));
    ipamSubEnd();
    EXPECT_EQ(texts(), (std::vector<std::string>{kStart, ev(IPAM4_EVT_ADD, wider),
                                                 ev(IPAM4_EVT_DEL, old), kEnd}));
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(wider, 2)}));
}

TEST_F(Dispatch, AttributeChangeWhileTrackingValiditySweepsExactlyTheOldNode) {
    gIpamCareEvt = kCareAll;
    Ipam4AddrInfo old = addr4(1, "10.0.0.1/24", 0x2), renewed = addr4(1, "10.0.0.1/24", 0x6);
    Ipam6AddrInfo old6 = addr6(1, "2001:db8::1/64", 0x1), renewed6 = addr6(1, "2001:db8::1/64", 0x3);
    batch<Ipam4AddrInfo>({old}, IPAM4_EVT_BATCH);
    ipamSubStart();
    send(IPAM4_EVT_BATCH, renewed);
    send(IPAM6_EVT_BATCH, renewed6);  // new: its old form never was stored
    ipamSubEnd();
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(renewed, 2)}));

    // The same for IPv6: two nodes with one key, the older one goes.
    batch<Ipam6AddrInfo>({old6}, IPAM6_EVT_BATCH);  // batch 3: renewed6 is stale
    EXPECT_EQ(table6(), (std::multiset<std::string>{stored(old6, 3)}));
    ipamSubStart();
    send(IPAM6_EVT_BATCH, renewed6);
    ipamSubEnd();
    EXPECT_EQ(table6(), (std::multiset<std::string>{stored(renewed6, 4)}));
}

TEST_F(Dispatch, RecordSharingItsKeyWithANewerOneIsConfirmedNotAnnouncedAgain) {
    // One address on two interfaces: the keyed lookup finds the newer one.
    Ipam4AddrInfo first = addr4(1, "10.0.0.1/24"), second = addr4(2, "10.0.0.1/24");
    Ipam6AddrInfo first6 = addr6(1, "2001:db8::1/64"), second6 = addr6(2, "2001:db8::1/64");
    ipamSubStart();
    send(IPAM4_EVT_BATCH, first);
    send(IPAM4_EVT_BATCH, second);
    send(IPAM6_EVT_BATCH, first6);
    send(IPAM6_EVT_BATCH, second6);
    ipamSubEnd();
    eventLog().clear();
    ipamSubStart();
    send(IPAM4_EVT_BATCH, first);
    send(IPAM4_EVT_BATCH, second);
    send(IPAM6_EVT_BATCH, first6);
    send(IPAM6_EVT_BATCH, second6);
    ipamSubEnd();
    EXPECT_EQ(texts(), (std::vector<std::string>{kStart, kEnd}));
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(first, 2), stored(second, 2)}));
    EXPECT_EQ(table6(), (std::multiset<std::string>{stored(first6, 2), stored(second6, 2)}));
}

TEST_F(Dispatch, EndWithoutStartCompletesTheReplicaWithoutSweeping) {
    Ipam4AddrInfo early = addr4(1, "10.0.0.1/24");
    send(IPAM4_EVT_ADD, early);  // version 0, before any batch
    eventLog().clear();
    EXPECT_EQ(ipamSubEnd(), 0);
    EXPECT_EQ(ipam_IsSubscrib(), 1);
    EXPECT_EQ(texts(), (std::vector<std::string>{kEnd}));
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(early, 0)}));
}

TEST_F(Dispatch, SingleChangesCarryTheCurrentVersionAndNeedTheNextBatchToConfirmThem) {
    Ipam4AddrInfo kept = addr4(1, "10.0.0.1/24"), added = addr4(1, "10.0.9.1/24", IPAM_ATTR_VALID);
    batch<Ipam4AddrInfo>({kept}, IPAM4_EVT_BATCH);
    eventLog().clear();
    EXPECT_EQ(send(IPAM4_EVT_ADD, added), 0);
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM4_EVT_ADD, added), ev(IPAM4_EVT_VALID, added)}));
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(kept, 1), stored(added, 1)}));
    eventLog().clear();
    batch<Ipam4AddrInfo>({kept}, IPAM4_EVT_BATCH);
    EXPECT_EQ(texts(), (std::vector<std::string>{kStart, ev(IPAM4_EVT_DEL, added),
                                                 ev(IPAM4_EVT_INVALID, added), kEnd}));
}

TEST_F(Dispatch, DeletionIsAnnouncedAfterTheRemovalAndAlsoForAnUnknownRecord) {
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24");
    send(IPAM4_EVT_ADD, a);
    Ipam4AddrInfo otherAttr = a;
    otherAttr.ipAttr = IPAM_ATTR_VALID;
    eventLog().clear();
    // The host's callback sees the replica without the record already.
    std::vector<std::string> during;
    eventLog().setHook([&](uint32_t, void *) {
        for (const std::string &s : table4()) during.push_back(s);
    });
    EXPECT_EQ(send(IPAM4_EVT_DEL, otherAttr), 0);
    EXPECT_TRUE(during.empty());
    EXPECT_EQ(send(IPAM4_EVT_DEL, otherAttr), 0);  // no longer stored
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM4_EVT_DEL, otherAttr),
                                                 ev(IPAM4_EVT_INVALID, otherAttr),
                                                 ev(IPAM4_EVT_DEL, otherAttr),
                                                 ev(IPAM4_EVT_INVALID, otherAttr)}));
    Ipam6AddrInfo a6 = addr6(1, "2001:db8::1/64", IPAM_ATTR_VALID);
    eventLog().clear();
    EXPECT_EQ(send(IPAM6_EVT_DEL, a6), 0);
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM6_EVT_DEL, a6), ev(IPAM6_EVT_INVALID, a6)}));
}

TEST_F(Dispatch, Ipv6UpdateReplacesTheAttributeOrAddsAndNeverInvalidates) {
    Ipam6AddrInfo a = addr6(1, "2001:db8::1/64", IPAM_ATTR_VALID);
    send(IPAM6_EVT_ADD, a);
    Ipam6AddrInfo cleared = a;
    cleared.ip6Attr = IPAM6_ATTR_NO_SOURCE;
    Ipam6AddrInfo fresh = addr6(2, "2001:db8:2::1/64", IPAM_ATTR_VALID);
    eventLog().clear();
    EXPECT_EQ(send(IPAM6_EVT_UPDATE, cleared), 0);
    EXPECT_EQ(send(IPAM6_EVT_UPDATE, fresh), 0);
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM6_EVT_UPDATE, cleared),
                                                 ev(IPAM6_EVT_UPDATE, fresh), ev(IPAM6_EVT_VALID, fresh)}));
    EXPECT_EQ(table6(), (std::multiset<std::string>{stored(cleared, 0), stored(fresh, 0)}));
}

TEST_F(Dispatch, Ipv4InterfaceValidityFlipsOnlyRecordsThatNeedIt) {
    Ipam4AddrInfo plain = addr4(1, "10.0.0.1/24"),
                  validOnly = addr4(1, "10.0.1.1/24", IPAM_ATTR_VALID),
                  elsewhere = addr4(2, "10.0.2.1/24");
    for (const auto &r : {plain, validOnly, elsewhere}) send(IPAM4_EVT_ADD, r);
    eventLog().clear();
    Ipam4AddrInfo plainValid = plain, validOnlyValid = validOnly;
    plainValid.ipAttr |= 0x60;
    validOnlyValid.ipAttr |= 0x60;
    EXPECT_EQ(sendIf(IPAM4_EVT_IF_VALID, 1), 0);
    EXPECT_EQ(sendIf(IPAM4_EVT_IF_VALID, 1), 0);  // already valid: nothing
    EXPECT_EQ(sendIf(IPAM4_EVT_IF_VALID, 99), 0); // unknown interface: nothing
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM4_EVT_VALID, plainValid),
                                                 ev(IPAM4_EVT_VALID, validOnlyValid)}));
    eventLog().clear();
    sendIf(IPAM4_EVT_IF_INVALID, 1);
    sendIf(IPAM4_EVT_IF_INVALID, 1);
    Ipam4AddrInfo validOnlyCleared = validOnly;
    validOnlyCleared.ipAttr &= ~0x60u;
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM4_EVT_INVALID, plain),
                                                 ev(IPAM4_EVT_INVALID, validOnlyCleared)}));
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(plain, 0), stored(validOnlyCleared, 0),
                                                    stored(elsewhere, 0)}));
}

TEST_F(Dispatch, Ipv6InterfaceValidityTestsTheValidBitAndInvalidatesEveryRecord) {
    Ipam6AddrInfo plain = addr6(1, "2001:db8::1/64"), valid = addr6(1, "2001:db8:1::1/64", 0x40);
    send(IPAM6_EVT_ADD, plain);
    send(IPAM6_EVT_ADD, valid);
    Ipam4AddrInfo v4 = addr4(1, "10.0.0.1/24");
    send(IPAM4_EVT_ADD, v4);
    eventLog().clear();
    Ipam6AddrInfo plainValid = plain;
    plainValid.ip6Attr = 0x60;
    sendIf(IPAM6_EVT_IF_VALID, 1);
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM6_EVT_VALID, plainValid)}));
    eventLog().clear();
    sendIf(IPAM6_EVT_IF_INVALID, 1);
    sendIf(IPAM6_EVT_IF_INVALID, 1);
    Ipam6AddrInfo validCleared = valid;
    validCleared.ip6Attr = 0;
    std::vector<std::string> once = {ev(IPAM6_EVT_INVALID, plain), ev(IPAM6_EVT_INVALID, validCleared)};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(texts(), twice);
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(v4, 0)}));  // IPv4 untouched
}

TEST_F(Dispatch, RelayAndUnknownCodesLeaveTheReplicaAlone) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_SUB;
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24");
    EXPECT_EQ(send(IPAM_EVT_RELAY, a), 0);
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM_EVT_RELAY)}));
    EXPECT_FALSE(eventLog().events()[0].hasRecord);
    eventLog().clear();
    EXPECT_EQ(send(0x3, a), 0);
    EXPECT_EQ(send(IPAM4_EVT_VALID, a), 0);
    EXPECT_TRUE(texts().empty());
    EXPECT_TRUE(table4().empty());
    EXPECT_TRUE(log.has("Ipam subscrib receive unknown event 0x3"));
    EXPECT_TRUE(log.has("Ipam subscrib receive unknown event 0x400"));
    EXPECT_TRUE(log.has("event 0x10000000 ifIndex 1 vrfIndex 0 Ipaddr 10.0.0.1 ipmask 255.255.255.0 IpAttr 0x0"));
}

// Payloads are copied into exactly sized heap buffers, so a read past them
// is caught by the address sanitizer.
std::unique_ptr<uint8_t[]> exact(const void *data, size_t size) {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
    std::memcpy(buf.get(), data, size);
    return buf;
}

TEST_F(Dispatch, LongPayloadsAreCutToTheRecordOrBlock) {
    uint8_t big[300];
    std::memset(big, 0x5a, sizeof big);
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24");
    std::memcpy(big, &a, sizeof a);
    EXPECT_EQ(ipamSubDispatch(IPAM4_EVT_ADD, sizeof big, big), 0);
    Ipam6AddrInfo a6 = addr6(1, "2001:db8::1/64");
    std::memcpy(big, &a6, sizeof a6);
    EXPECT_EQ(ipamSubDispatch(IPAM6_EVT_ADD, sizeof big, big), 0);
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(a, 0)}));
    EXPECT_EQ(table6(), (std::multiset<std::string>{stored(a6, 0)}));
    uint32_t ifIndex = 1;
    std::memcpy(big, &ifIndex, sizeof ifIndex);
    eventLog().clear();
    EXPECT_EQ(ipamSubDispatch(IPAM4_EVT_IF_VALID, sizeof big, big), 0);
    EXPECT_EQ(eventLog().events().size(), 1u);
    // An interface block needs only its index.
    auto four = exact(&ifIndex, sizeof ifIndex);
    EXPECT_EQ(ipamSubDispatch(IPAM6_EVT_IF_VALID, 4, four.get()), 0);
    EXPECT_EQ(eventLog().events().size(), 2u);
}

TEST_F(Dispatch, ShortOrMissingPayloadsAreRefusedWithoutAnyChange) {
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24", IPAM_ATTR_VALID);
    Ipam6AddrInfo a6 = addr6(1, "2001:db8::1/64", IPAM_ATTR_VALID);
    send(IPAM4_EVT_ADD, a);
    send(IPAM6_EVT_ADD, a6);
    eventLog().clear();
    LogCapture log;
    auto short4 = exact(&a, sizeof a - 1);
    auto short6 = exact(&a6, sizeof a6 - 1);
    uint32_t ifIndex = 1;
    auto short_if = exact(&ifIndex, 3);
    for (uint32_t code : {IPAM4_EVT_BATCH, IPAM4_EVT_ADD, IPAM4_EVT_DEL}) {
        EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), sizeof a - 1, short4.get()), -1);
        EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), sizeof a, nullptr), -1);
    }
    for (uint32_t code : {IPAM6_EVT_BATCH, IPAM6_EVT_ADD, IPAM6_EVT_DEL, IPAM6_EVT_UPDATE}) {
        EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), sizeof a6 - 1, short6.get()), -1);
        EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), sizeof a6, nullptr), -1);
    }
    for (uint32_t code : {IPAM4_EVT_IF_INVALID, IPAM6_EVT_IF_INVALID}) {
        EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), 3, short_if.get()), -1);
        EXPECT_EQ(ipamSubDispatch(static_cast<int32_t>(code), 32, nullptr), -1);
    }
    EXPECT_TRUE(texts().empty());
    EXPECT_EQ(table4(), (std::multiset<std::string>{stored(a, 0)}));
    EXPECT_EQ(table6(), (std::multiset<std::string>{stored(a6, 0)}));
    EXPECT_TRUE(log.has("Ipam subscrib receive invalid message 0x8 len 59"));
    EXPECT_TRUE(log.has("Ipam subscrib receive invalid message 0x10000 len 100"));
    EXPECT_TRUE(log.has("Ipam subscrib receive invalid message 0x200 len 3"));
    for (const LogLine &l : log.lines()) EXPECT_EQ(l.level, 3u) << l.text;
}

TEST_F(Dispatch, RelayPayloadIsReadOnlyWithinItsLength) {
    gIpamPubDbg = IPAM_DBG_SUB;
    LogCapture log;
    uint8_t tenBytes[10] = {1, 0, 0, 0, 0, 0, 0, 0, 10, 0};
    auto ten = exact(tenBytes, sizeof tenBytes);
    EXPECT_EQ(ipamSubDispatch(IPAM_EVT_RELAY, sizeof tenBytes, ten.get()), 0);
    EXPECT_EQ(ipamSubDispatch(IPAM_EVT_RELAY, 0, nullptr), 0);
    EXPECT_EQ(texts(), (std::vector<std::string>{ev(IPAM_EVT_RELAY), ev(IPAM_EVT_RELAY)}));
    // What lies behind the ten bytes is traced as zero.
    uint32_t ifIndex = 0;
    std::memcpy(&ifIndex, tenBytes, sizeof ifIndex);
    EXPECT_TRUE(log.has("event 0x10000000 ifIndex " + std::to_string(ifIndex) +
                        " vrfIndex 0 Ipaddr 10.0.0.0 ipmask 0.0.0.0 IpAttr 0x0"));
    EXPECT_TRUE(table4().empty());
}

TEST_F(Dispatch, SweepCallbacksMayQueryTheReplicaOnTheirThread) {
    batch<Ipam4AddrInfo>({addr4(1, "10.0.0.1/24"), addr4(2, "10.0.1.1/24")}, IPAM4_EVT_BATCH);
    std::vector<uint32_t> counts;
    eventLog().setHook([&](uint32_t code, void *) {
        if (code != IPAM4_EVT_DEL) return;
        uint32_t n = 0;
        ipam_AddrInfoNumGet(&n);  // takes the lock the sweep holds
        counts.push_back(n);
    });
    batch<Ipam4AddrInfo>({}, IPAM4_EVT_BATCH);
    EXPECT_EQ(counts, (std::vector<uint32_t>{2, 1}));
    EXPECT_TRUE(table4().empty());
}

}  // namespace
