// Subscription lifecycle against the stand-in platform: what is handed to
// the platform, and that every failure and teardown leaves exactly nothing
// registered.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/dbg.h"
#include "db/db.h"
#include "db/hash.h"
#include "ipam_platform.h"
#include "sub/state.h"
#include "sub/subscribe.h"
#include "support/log_capture.h"
#include "support/records.h"

using ipamtest::eventLog;

namespace {

constexpr uint32_t kHandle = 0x1234;
constexpr uint32_t kModule = 77;

ipamplat_ps_registration registration() {
    ipamplat_ps_registration r;
    ipamplat_ps_get_registration(&r);
    return r;
}

class Subscribe : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        ipamplat_dfm_set_answer(-1);
        gIpamPubDbg = 0;
        eventLog().clear();
    }
    void TearDown() override {
        ipamplat_fault_clear_all();
        if (gIpamWtHandle != 0 || gIpamSubUp != 0) IPAM_UnSubscribeEvent(kModule);
        ipamplat_ps_set_init_hook(nullptr, nullptr);
        gIpamPubDbg = 0;
    }
    static int32_t subscribe(uint32_t care = IPAM4_EVT_ADD, uint32_t handle = kHandle) {
        return IPAM_SubscribeEvent(handle, kModule, care, &ipamtest::EventLog::callback);
    }
    // Nothing of a subscription is recorded or held; only the module number
    // stays.
    static void expectUnsubscribed() {
        EXPECT_EQ(gIpamWtHandle, 0u);
        EXPECT_EQ(ipam::loadCallback(), nullptr);
        EXPECT_EQ(gIpamCareEvt, 0u);
        EXPECT_EQ(ipam::replicaBatchVersion(), 0u);
        EXPECT_EQ(ipam_IsSubscrib(), 0);
        EXPECT_EQ(ipam::gReplica.careBits, 0u);
        EXPECT_EQ(gIpamSubUp, 0u);
        EXPECT_FALSE(ipam::replicaSetUp());
        EXPECT_EQ(registration().active, 0);
        EXPECT_EQ(ipamplat_cmf_registered(), 0);
    }
};

TEST(CareMask, ExpansionAddsWhatTheEventsAreMadeOf) {
    const std::vector<std::pair<uint32_t, uint32_t>> cases = {{0x400, 0x71c},
                                                              {0x8, 0xf},
                                                              {0x40, 0x63},
                                                              {0xc0, 0xe3},
                                                              {0x4000, 0x170e0},
                                                              {0x4400, 0x177fc},
                                                              {0xccd8, 0x1ffff},
                                                              {0, 0},
                                                              {0x1, 0x1},
                                                              {0x100, 0x100},
                                                              {0x10000000, 0x10000000},
                                                              {0x10000408, 0x1000071f}};
    for (const auto &[in, out] : cases) EXPECT_EQ(ipam::careMaskExpand(in), out) << std::hex << in;
}

TEST_F(Subscribe, HandsThePlatformTheExpandedMaskAndTheExactAddressAndQueryBytes) {
    ipamplat_dfm_set_answer(0);  // "debug all" on: every flag, kept by unsubscription
    ASSERT_EQ(subscribe(0x400), 0);
    EXPECT_EQ(gIpamPubDbg, IPAM_DBG_ALL);
    ipamplat_ps_registration r = registration();
    EXPECT_EQ(r.active, 1);
    EXPECT_EQ(r.handle, kHandle);
    EXPECT_EQ(r.moduleId, kModule);
    EXPECT_EQ(r.publisherModuleId, 198u);
    EXPECT_EQ(r.careMask, 0x71cu);
    // The family and every 32-bit field in host order.
    struct {
        uint16_t family = 30;
        uint8_t addrType = 2, scope = 1;
        uint32_t type = 0x7fff00c6u, instance = 0x7ffc0001u, zero = 0;
    } expected;
    static_assert(sizeof expected == 16);
    EXPECT_EQ(std::memcmp(r.publisher, &expected, 16), 0);

    uint8_t query[200];
    EXPECT_EQ(ipamplat_dfm_last_query(query), 1u);
    uint8_t want[200] = {0};
    uint32_t three = 3;
    std::memcpy(want + 4, &three, 4);
    std::memcpy(want + 8, "ipam", 4);
    std::memcpy(want + 72, "debug", 5);
    std::memcpy(want + 136, "all", 3);
    EXPECT_EQ(std::memcmp(query, want, sizeof want), 0);

    ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    r = registration();
    EXPECT_EQ(r.finiCalls, 1u);
    EXPECT_EQ(r.finiModuleId, kModule);
    EXPECT_EQ(r.finiPublisherModuleId, 198u);
    EXPECT_EQ(std::memcmp(r.finiPublisher, &expected, 16), 0);
    expectUnsubscribed();
    EXPECT_EQ(gIpamPubDbg, IPAM_DBG_ALL);
}

TEST_F(Subscribe, SecondSubscriptionAndIpv4OnlyIpv6EventsAreRefusedUnchanged) {
    LogCapture log;
    ASSERT_EQ(subscribe(0x8), 0);
    EXPECT_EQ(IPAM_SubscribeEvent(9, 88, 0x40, nullptr), -1);
    EXPECT_EQ(gIpamWtHandle + gIpamModuleId + gIpamCareEvt, kHandle + kModule + 0xfu);
    ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    EXPECT_EQ(IPAM4_SubscribeEvent(kHandle, 55, 0x48, &ipamtest::EventLog::callback), -1);
    EXPECT_EQ(gIpamModuleId, kModule);  // nothing recorded
    expectUnsubscribed();
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Ipam subscrib event has been registed",
                                                     "IPAM4 can't support ipv6 addr event."}));
    ASSERT_EQ(IPAM4_SubscribeEvent(kHandle, kModule, 0x4008, &ipamtest::EventLog::callback), 0);
    EXPECT_EQ(gIpamCareEvt, 0x170efu);
    EXPECT_EQ(IPAM4_UnSubscribeEvent(kModule), 0);
}

TEST_F(Subscribe, FailedStepLeavesNothingRegisteredAndALaterSubscriptionSucceeds) {
    struct FailCase {
        ipamplat_fault fault;
        const char *message;
        uint32_t psInits;  // registrations attempted
        uint32_t psFinis;  // registrations ended
    };
    const FailCase cases[] = {
        {IPAMPLAT_F_SEM_INIT, "Ipam subscrib data base initialize failed", 0, 0},
        {IPAMPLAT_F_PS_INIT, "Ipam subscrib initialize failed", 1, 0},
        {IPAMPLAT_F_CMF_REG, "Ipam subscrib cmf call back reg failed", 1, 1},
    };
    for (const FailCase &c : cases) {
        SCOPED_TRACE(c.message);
        ipamplat_reset();
        LogCapture log;
        ipamplat_fault_set(c.fault, 0, 1, -1);
        gIpamModuleId = 0;
        EXPECT_EQ(subscribe(), -1);
        EXPECT_TRUE(log.has(c.message));
        EXPECT_EQ(gIpamModuleId, kModule);
        expectUnsubscribed();
        EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_PS_INIT), c.psInits);
        EXPECT_EQ(registration().finiCalls, c.psFinis);
        EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_CMF_UNREG), 0u);
        ASSERT_EQ(subscribe(), 0);
        EXPECT_EQ(registration().active + ipamplat_cmf_registered(), 2);
        ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    }
}

// Callbacks the service makes while PS_SubscriberInit runs find the replica.
TEST_F(Subscribe, PublisherMayDeliverWhileRegistrationIsInProgress) {
    static Ipam4AddrInfo rec = ipamtest::addr4(3, "10.1.0.1/24");
    static int32_t results;
    ipamplat_ps_set_init_hook(
        [](void *) {
            results = ipamplat_pub_start() | ipamplat_pub_send(IPAM4_EVT_BATCH, sizeof rec, &rec) |
                      ipamplat_pub_end();
        },
        nullptr);
    ASSERT_EQ(subscribe(IPAM4_EVT_ADD), 0);
    EXPECT_EQ(results, 0);
    EXPECT_EQ(ipam_IsSubscrib(), 1);
    EXPECT_EQ(eventLog().texts(), (std::vector<std::string>{ipamtest::ev(IPAM_EVT_BATCH_START),
                                                            ipamtest::ev(IPAM4_EVT_ADD, rec),
                                                            ipamtest::ev(IPAM_EVT_BATCH_END)}));
}

TEST_F(Subscribe, FailedUnregistrationStillFreesTheReplicaAndARetryEndsOnlyWhatIsLeft) {
    // Longer than the 32-byte name buffer: the lines carry its first 31 characters.
    const std::string longName = "host_" + std::string(35, 'n');
    ipamplat_module_register(kModule, longName.c_str());
    ASSERT_EQ(subscribe(), 0);
    Ipam4AddrInfo rec = ipamtest::addr4(1, "10.0.0.1/24");
    ipamplat_pub_start();
    ipamplat_pub_send(IPAM4_EVT_BATCH, sizeof rec, &rec);
    ipamplat_pub_end();
    ASSERT_EQ(ipam_IsSubscrib(), 1);
    LogCapture log;
    ipamplat_fault_set(IPAMPLAT_F_CMF_UNREG, 0, 1, -1);
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), -1);
    EXPECT_TRUE(log.has("Ipam subscrib cmf call back unreg failed"));
    EXPECT_EQ(ipam_IsSubscrib(), 0);
    EXPECT_EQ(ipam::replicaBatchVersion(), 0u);
    EXPECT_FALSE(ipam::replicaSetUp());
    // The management export may still walk: the freed tables are simply empty.
    int visits = 0;
    auto count4 = [](Ipam4DbNode *, void *n) { return ++*static_cast<int *>(n), 1; };
    auto count6 = [](Ipam6DbNode *, void *n) { return ++*static_cast<int *>(n), 1; };
    Ipam6AddrInfo cursor6 = ipamtest::addr6(1, "2001:db8::1/64");
    EXPECT_EQ(ipam_DbAddrWalk(nullptr, count4, &visits, nullptr), IPAM_WALK_END);
    EXPECT_EQ(ipam_DbAddrWalk(&rec, count4, &visits, nullptr), IPAM_WALK_END);
    EXPECT_EQ(ipam6_DbAddrWalk(nullptr, count6, &visits, nullptr), IPAM_WALK_END);
    EXPECT_EQ(ipam6_DbAddrWalk(&cursor6, count6, &visits, nullptr), IPAM_WALK_END);
    EXPECT_EQ(visits, 0);
    EXPECT_EQ(registration().active, 0);
    EXPECT_EQ(gIpamWtHandle, kHandle);  // still recorded: a retry is possible
    EXPECT_EQ(gIpamSubUp, IPAM_SUB_UP_CMF);

    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    EXPECT_EQ(registration().finiCalls, 1u);  // not ended a second time
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_CMF_UNREG), 2u);
    expectUnsubscribed();
    log.clear();
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), -1);
    // The host module's name stays on the lines after unsubscription.
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(stripPid(log.lines()[0].text), "Ipam subscrib event has been unregisted");
    EXPECT_EQ(log.lines()[0].moduleName, "HOST_" + std::string(26, 'N'));
    EXPECT_EQ(log.lines()[0].moduleId, 198u);
}

// A zero handle cannot serve as the subscribed marker; the resources it
// holds still make the library subscribed, so they are neither set up twice
// nor left behind.
// Another module's number would end no registration while the replica is
// freed under the publisher's callbacks: refused, and everything stays.
TEST_F(Subscribe, UnsubscribingAnotherModuleIsRefusedAndTheSubscriptionStands) {
    LogCapture log;
    ASSERT_EQ(subscribe(), 0);
    ASSERT_EQ(ipamplat_pub_start(), 0);
    Ipam4AddrInfo rec = ipamtest::addr4(3, "10.0.0.1/24");
    ASSERT_EQ(ipamplat_pub_send(IPAM4_EVT_BATCH, sizeof rec, &rec), 0);
    ASSERT_EQ(ipamplat_pub_end(), 0);
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule + 1), -1);
    EXPECT_EQ(IPAM4_UnSubscribeEvent(0), -1);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Ipam unsubscrib module 78 is not the subscribed module 77",
                               "Ipam unsubscrib module 0 is not the subscribed module 77"}));
    EXPECT_EQ(registration().active, 1);
    EXPECT_EQ(registration().finiCalls, 0u);
    EXPECT_EQ(ipam_IsSubscrib(), 1u);
    Ipam4AddrInfo out;
    EXPECT_EQ(IPAM4_GetAddrInfo(rec.vrfIndex, rec.ipAddr, &out), IPAM_OK);
    ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    expectUnsubscribed();
}

TEST_F(Subscribe, ZeroHandleSubscriptionCanBeEndedAndIsNotSetUpTwice) {
    ASSERT_EQ(subscribe(IPAM4_EVT_ADD, 0), 0);
    EXPECT_EQ(subscribe(IPAM4_EVT_ADD, 0), -1);
    EXPECT_EQ(registration().initCalls, 1u);
    ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    expectUnsubscribed();
}

}  // namespace
