// Fault injection, white-box over the static archive. Every allocation the
// library makes goes through the wrappers below (linked with
// -Wl,--wrap=malloc and friends), which count live blocks and can fail the
// n-th one; every platform service that can fail is failed in turn through
// the stand-in platform. Each time the result must be the defined one,
// nothing may leak, and the replica must be unchanged or exactly what the
// model says the failed step leaves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <thread>
#include <tuple>
#include <unordered_set>

#include "db/db.h"
#include "harness.h"
#include "model.h"
#include "sub/dispatch.h"

// ---------------------------------------------------------------- allocation accounting

namespace {

std::mutex g_allocLock;
std::unordered_set<void *> *g_live;  // blocks handed out by the wrappers
long g_failAt = -1;                  // index of the allocation to fail, -1 none
long g_allocs = 0;                   // allocations since arming
int g_failedOp = -1;                 // the step that was running when it failed
size_t g_failedSize = 0;             // and the size it asked for
int g_op = -1;

// One allocation through `real`, unless it is the one to fail; `old` is the
// block a reallocation replaces.
template <class Real>
void *allocate(Real real, size_t size, void *old = nullptr) {
    std::lock_guard<std::mutex> g(g_allocLock);
    if (g_allocs++ == g_failAt) {
        g_failedOp = g_op;
        g_failedSize = size;
        return nullptr;
    }
    void *p = real();
    if (p && g_live) {
        g_live->erase(old);
        g_live->insert(p);
    }
    return p;
}

}  // namespace

extern "C" {
void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void *__real_realloc(void *, size_t);
void __real_free(void *);

void *__wrap_malloc(size_t n) {
    return allocate([&] { return __real_malloc(n); }, n);
}
void *__wrap_calloc(size_t n, size_t m) {
    return allocate([&] { return __real_calloc(n, m); }, n * m);
}
void *__wrap_realloc(void *old, size_t n) {
    return allocate([&] { return __real_realloc(old, n); }, n, old);
}
void __wrap_free(void *p) {
    {
        std::lock_guard<std::mutex> g(g_allocLock);
        if (g_live) g_live->erase(p);
    }
    __real_free(p);
}
}

namespace rel {
namespace {

size_t liveBlocks() {
    std::lock_guard<std::mutex> g(g_allocLock);
    return g_live ? g_live->size() : 0;
}

void arm(long failAt) {
    std::lock_guard<std::mutex> g(g_allocLock);
    if (!g_live) g_live = new std::unordered_set<void *>();  // operator new: not wrapped
    g_failAt = failAt;
    g_allocs = 0;
    g_failedOp = -1;
}

long disarm() {
    std::lock_guard<std::mutex> g(g_allocLock);
    g_failAt = -1;
    return g_allocs;
}

constexpr uint32_t kModule = 77, kCare = 0xccd8;

int32_t ignoreEvent(uint32_t, void *) { return 0; }
int32_t subscribe() { return IPAM_SubscribeEvent(1, kModule, kCare, ignoreEvent); }

bool registeredAnywhere() {
    ipamplat_ps_registration reg;
    ipamplat_ps_get_registration(&reg);
    return reg.active || ipamplat_cmf_registered();
}

template <class Node>
int32_t collectNode(Node *node, void *user) {
    return collect(&node->info, user);
}

// The replica, read through the whole-table walks, is exactly the model's.
bool replicaIs(const Model &m) {
    std::vector<Ipam4AddrInfo> v4;
    std::vector<Ipam6AddrInfo> v6;
    ipam_DbAddrWalk(nullptr, collectNode<Ipam4DbNode>, &v4, nullptr);
    ipam6_DbAddrWalk(nullptr, collectNode<Ipam6DbNode>, &v6, nullptr);
    uint32_t count = 0;
    ipam_AddrInfoNumGet(&count);
    return sameBytes(v4, m.indexOrder<F4>()) && sameBytes(v6, m.indexOrder<F6>()) &&
           count == m.ifs.size();
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        ipamplat_dfm_set_answer(-1);
        arm(-1);
        IPAM_UnSubscribeEvent(kModule);
        gIpamPubDbg = 0;
        base_ = liveBlocks();
    }
    void TearDown() override {
        disarm();
        ipamplat_fault_clear_all();
        IPAM_UnSubscribeEvent(kModule);
        EXPECT_EQ(liveBlocks(), base_) << "blocks left allocated";
        ipamplat_reset();
    }
    size_t base_ = 0;

    // A refused subscription: -1, nothing registered or kept, the queries
    // refused, and the failure not sticky.
    void expectRefused(int32_t result) {
        EXPECT_EQ(result, -1);
        EXPECT_FALSE(registeredAnywhere());
        EXPECT_EQ(ipamSubGetCareEvt(), 0u);
        EXPECT_EQ(liveBlocks(), base_);
        Ipam4AddrInfo out;
        EXPECT_EQ(IPAM4_GetAddrInfoByIfIndex(1, &out), IPAM_ERR_NOT_SUBSCRIBED);
        ASSERT_EQ(subscribe(), 0);
        EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    }
};

// ---------------------------------------------------------------- a scripted stream

// A message (0 for a batch start, 1 for its end) and its payload.
using Step = std::pair<uint32_t, std::vector<uint8_t>>;

// Two batches, single changes between and after them: every allocation
// site of the database (interface node, IPv4 node, IPv6 node, update
// fallback) is reached several times.
std::vector<Step> script() {
    Universe u;
    Rng rng(42);
    std::vector<Ipam4AddrInfo> r4;
    std::vector<Ipam6AddrInfo> r6;
    for (int i = 0; i < 6; i++) r4.push_back(u.rand<Ipam4AddrInfo>(rng));
    for (int i = 0; i < 6; i++) r6.push_back(u.rand<Ipam6AddrInfo>(rng));
    std::vector<Step> s{{0, {}}};
    for (int i = 0; i < 4; i++) s.push_back({IPAM4_EVT_BATCH, bytesOf(r4[i])});
    for (int i = 0; i < 4; i++) s.push_back({IPAM6_EVT_BATCH, bytesOf(r6[i])});
    s.push_back({1, {}});
    s.push_back({IPAM4_EVT_ADD, bytesOf(r4[4])});
    s.push_back({IPAM6_EVT_ADD, bytesOf(r6[4])});
    s.push_back({IPAM6_EVT_UPDATE, bytesOf(r6[5])});
    s.push_back(
        {IPAM4_EVT_IF_VALID, std::vector<uint8_t>(s[1].second.begin(), s[1].second.begin() + 4)});
    s.push_back({0, {}});
    for (int i : {1, 2, 5}) s.push_back({IPAM4_EVT_BATCH, bytesOf(r4[i])});
    for (int i : {0, 2, 3}) s.push_back({IPAM6_EVT_BATCH, bytesOf(r6[i])});
    s.push_back({1, {}});
    s.push_back({IPAM4_EVT_DEL, bytesOf(r4[2])});
    s.push_back({IPAM4_EVT_ADD, bytesOf(r4[3])});
    return s;
}

// Plays the script to the library's callbacks on this thread; answers the
// results the library gave.
std::vector<int32_t> play(const std::vector<Step> &steps) {
    std::vector<int32_t> results;
    for (size_t i = 0; i < steps.size(); i++) {
        const auto &[code, payload] = steps[i];
        g_op = static_cast<int>(i);
        results.push_back(code == 0   ? ipamSubStart()
                          : code == 1 ? ipamSubEnd()
                                      : ipamSubDispatch(static_cast<int32_t>(code),
                                                        static_cast<uint32_t>(payload.size()),
                                                        payload.data()));
        g_op = -1;
    }
    return results;
}

// The model of the script, all but step `skip`: a failed insertion leaves
// the replica as it was.
Model modelOf(const std::vector<Step> &steps, int skip = -1) {
    Model m;
    m.subscribe(kCare);
    for (size_t i = 0; i < steps.size(); i++) {
        if (static_cast<int>(i) == skip) continue;
        if (steps[i].first == 0)
            m.start();
        else if (steps[i].first == 1)
            m.end();
        else
            m.dispatch(steps[i].first, steps[i].second.data());
    }
    return m;
}

// Fills the replica through the callbacks; answers the model of it.
Model fill() {
    play(script());
    return modelOf(script());
}

// A search accelerator's table (db/accel.h): whole groups of slots and the
// slack that aligns them (six groups at least); no node has that shape.
bool accelTable(size_t size) {
    using ipam::AccelGroup;
    return size > 4 * sizeof(AccelGroup) && (size - ipam::kAccelSlack) % sizeof(AccelGroup) == 0;
}

TEST_F(FaultTest, EveryAllocationFailsInTurn) {
    const auto steps = script();
    // A clean run counts the allocations.
    arm(-1);
    ASSERT_EQ(subscribe(), 0);
    const auto clean = play(steps);
    long total = disarm();
    ASSERT_TRUE(replicaIs(modelOf(steps)));
    ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    ASSERT_EQ(liveBlocks(), base_);
    ASSERT_GT(total, 10);

    int subscribeFailures = 0, accelFailures = 0;
    for (long n = 0; n < total; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        arm(n);
        if (int32_t sub = subscribe(); sub != 0) {
            disarm();
            subscribeFailures++;
            expectRefused(sub);
            continue;
        }
        auto results = play(steps);
        int failed = g_failedOp;
        disarm();
        ASSERT_GE(failed, 0) << "the failure hit no step";
        if (accelTable(g_failedSize)) {
            // An accelerator that cannot grow changes no result.
            accelFailures++;
            EXPECT_EQ(results, clean);
            EXPECT_TRUE(replicaIs(modelOf(steps)))
                << "failed accelerator growth in step " << failed;
        } else {
            EXPECT_TRUE(replicaIs(modelOf(steps, failed))) << "failed step " << failed;
        }
        if (steps[failed].first == IPAM4_EVT_ADD) {
            EXPECT_EQ(results[failed], -1) << "IPv4 add reports the failure";
        }
        ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
        EXPECT_EQ(liveBlocks(), base_) << "leak after failed step " << failed;
    }
    EXPECT_GE(accelFailures, 4) << "every index's accelerator takes its first table";
    std::printf(
        "allocation faults: %ld injected (%d during subscription, %ld during the stream, %d of "
        "them accelerator growths)\n",
        total, subscribeFailures, total - subscribeFailures, accelFailures);
}

// ---------------------------------------------------------------- platform services

TEST_F(FaultTest, FailedSubscriptionLeavesNothing) {
    struct Case {
        ipamplat_fault fault;
        int32_t result;
    };
    for (Case c :
         {Case{IPAMPLAT_F_PS_INIT, -1}, Case{IPAMPLAT_F_PS_INIT, 5}, Case{IPAMPLAT_F_SEM_INIT, -1},
          Case{IPAMPLAT_F_CMF_REG, -1}, Case{IPAMPLAT_F_CMF_REG, 3}}) {
        SCOPED_TRACE("fault " + std::to_string(c.fault));
        ipamplat_fault_set(c.fault, 0, 1, c.result);
        expectRefused(subscribe());
    }
}

TEST_F(FaultTest, DebugSwitchAnswerDecidesOnlyTheDebugWord) {
    for (auto [answer, word] : {std::pair<int32_t, uint32_t>{-1, 0x20u}, {0, IPAM_DBG_ALL}}) {
        gIpamPubDbg = 0x20;
        ipamplat_fault_set(IPAMPLAT_F_DFM, 0, 1, answer);
        ASSERT_EQ(subscribe(), 0);
        EXPECT_EQ(gIpamPubDbg, word);
        ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    }
    gIpamPubDbg = 0;
}

TEST_F(FaultTest, FailedTeardownStepsStillFreeTheReplica) {
    // Management unregistration refused: -1, but the replica is gone and
    // the queries cannot reach it; a second unsubscription finishes the job
    // without ending the publisher registration twice.
    ASSERT_EQ(subscribe(), 0);
    fill();
    ipamplat_fault_set(IPAMPLAT_F_CMF_UNREG, 0, 1, -1);
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), -1);
    EXPECT_EQ(ipam_IsSubscrib(), 0);
    EXPECT_EQ(liveBlocks(), base_);
    Ipam4AddrInfo out;
    EXPECT_EQ(IPAM4_GetAddrInfo(0, 0, &out), IPAM_ERR_NOT_SUBSCRIBED);
    ipamplat_ps_registration before, after;
    ipamplat_ps_get_registration(&before);
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    ipamplat_ps_get_registration(&after);
    EXPECT_EQ(after.finiCalls, before.finiCalls);
    EXPECT_FALSE(registeredAnywhere());

    // The publisher's Fini failing is ignored: unsubscribed, all freed.
    ASSERT_EQ(subscribe(), 0);
    fill();
    ipamplat_fault_set(IPAMPLAT_F_PS_FINI, 0, 1, -1);
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    EXPECT_EQ(liveBlocks(), base_);
}

// A lock the platform fails to take or give: the library logs and goes on,
// so on the one thread that changes the replica nothing is lost.
TEST_F(FaultTest, EveryLockTakeAndGiveFailsInTurn) {
    for (ipamplat_fault f : {IPAMPLAT_F_SEM_TAKE, IPAMPLAT_F_SEM_GIVE}) {
        ipamplat_reset();
        ASSERT_EQ(subscribe(), 0);
        uint32_t before = ipamplat_call_count(f);
        Model m = fill();
        uint32_t calls = ipamplat_call_count(f) - before;
        ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
        ASSERT_GT(calls, 5u);
        for (uint32_t k = 0; k < calls; k++) {
            SCOPED_TRACE((f == IPAMPLAT_F_SEM_TAKE ? "take " : "give ") + std::to_string(k));
            ASSERT_EQ(subscribe(), 0);
            ipamplat_fault_set(f, k, 1, -1);
            fill();
            ipamplat_fault_clear_all();
            EXPECT_TRUE(replicaIs(m));
            ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
            EXPECT_EQ(liveBlocks(), base_);
        }
    }
    // A lock left held by a failed give is renewed by the next set-up:
    // another thread can use the database again.
    ASSERT_EQ(subscribe(), 0);
    fill();
    uint32_t ifIndex;
    std::memcpy(&ifIndex, script()[1].second.data(), 4);
    int32_t configured = -1;
    std::thread other([&] { configured = IPAM4_IsIpAddrConfigured(ifIndex); });
    other.join();
    EXPECT_NE(configured, -1);
}

TEST_F(FaultTest, ManagementFrameworkFailuresAreReturnedAndChangeNothing) {
    ASSERT_EQ(subscribe(), 0);
    Model m = fill();
    struct Case {
        ipamplat_fault fault;
        uint32_t skip;
        int32_t result, want;
        size_t records;
    };
    for (Case c :
         {Case{IPAMPLAT_F_CMF_OBJGET, 0, 7, 7, 0}, Case{IPAMPLAT_F_CMF_DECODE, 0, 9, 9, 0},
          Case{IPAMPLAT_F_CMF_ENCODE, 0, 5, -1, 0}, Case{IPAMPLAT_F_CMF_ENCODE, 2, 5, -1, 2}}) {
        SCOPED_TRACE("fault " + std::to_string(c.fault) + " after " + std::to_string(c.skip));
        std::vector<Ipam6AddrInfo> page;
        ipamplat_fault_set(c.fault, c.skip, 1, c.result);
        EXPECT_EQ(exportTable(nullptr, -1, &page), c.want);
        EXPECT_EQ(page.size(), c.records);
    }
    // The debug object: a failed decode or encode leaves the word alone.
    gIpamPubDbg = 0x3;
    ipamplat_cmf_param p{IPAM_CMF_PARAM_ALL, 0, nullptr};
    for (auto [op, fault, result] : {std::tuple{IPAM_CMF_OP_SET, IPAMPLAT_F_CMF_DECODE, 9},
                                     std::tuple{IPAM_CMF_OP_GET, IPAMPLAT_F_CMF_ENCODE, 5}}) {
        ipamplat_cmf_request req{IPAM_CMF_OBJ_DEBUG, static_cast<uint32_t>(op), 1, &p, -1, 0};
        ipamplat_fault_set(fault, 0, 1, result);
        EXPECT_EQ(ipamplat_cmf_send(&req, nullptr), result);
        EXPECT_EQ(gIpamPubDbg, 0x3u);
    }
    gIpamPubDbg = 0;
    EXPECT_TRUE(replicaIs(m));
}

TEST_F(FaultTest, ChannelFailuresGiveTheDefinedResults) {
    size_t before = liveBlocks();
    ipamplat_fault_set(IPAMPLAT_F_SCS_INIT, 0, 1, -3);
    EXPECT_EQ(IPAM_InitConf(1, 2, nullptr), -3);
    ASSERT_EQ(IPAM_InitConf(1, 2, nullptr), 0);
    Ipam4ConfReq r4{};
    Ipam6ConfReq r6{};
    ipamplat_scs_script ok;
    ipamplat_scs_get_script(&ok);
    // Which script field (null: the reply's error code), its value, and the
    // result every request must give.
    struct Case {
        int32_t ipamplat_scs_script::*field;
        int32_t value, want;
    };
    const Case cases[] = {
        {&ipamplat_scs_script::sendResult, ok.sendResult, 0},
        {&ipamplat_scs_script::sendResult, -4, 0},
        {&ipamplat_scs_script::recvResult, -4, 0},
        {&ipamplat_scs_script::recvResult, -2, 0},
        {&ipamplat_scs_script::recvResult, -1, -1},
        {&ipamplat_scs_script::recvResult, 0, -1},
        {&ipamplat_scs_script::parseResult, 0, -1},  // never a failure reported as success
        {nullptr, 5, -1},
    };
    for (const Case &c : cases) {
        ipamplat_scs_script s = ok;
        if (c.field)
            s.*c.field = c.value;
        else
            s.replyErrCode = static_cast<int16_t>(c.value);
        ipamplat_scs_set_script(&s);
        EXPECT_EQ(IPAM4_SetIpAddr(&r4), c.want);
        EXPECT_EQ(IPAM6_SetIpAddr(&r6), c.want);
        EXPECT_EQ(IPAM6_SetDestIpAddr(&r6), c.want);
    }
    ipamplat_scs_set_script(&ok);
    ipamplat_fault_set(IPAMPLAT_F_SCS_FINI, 0, 1, -6);
    EXPECT_EQ(IPAM_FiniConf(), -6);
    EXPECT_EQ(IPAM_FiniConf(), 0);
    EXPECT_EQ(liveBlocks(), before);
}

TEST_F(FaultTest, SymbolLookupFailureIsRetried) {
    ipamplat_fault_set(IPAMPLAT_F_ORIG_FUNC, 0, 2, 0);
    IpamAddr a{};
    a.family = 0x77;
    char text[64];
    EXPECT_EQ(IPAM_String2Struct("10.0.0.1", &a), -1);
    EXPECT_EQ(a.family, 0x77);
    a.family = 2;
    EXPECT_EQ(IPAM_Struct2String(&a, text, sizeof text), nullptr);
    EXPECT_EQ(IPAM_String2Struct("10.0.0.1", &a), 0);
    EXPECT_STREQ(IPAM_Struct2String(&a, text, sizeof text), "10.0.0.1");
}

// ---------------------------------------------------------------- growth

TEST_F(FaultTest, SubscribeUnsubscribeAThousandTimesWithAFullTable) {
#ifdef IPAM_REL_SHORT
    constexpr int kRecords = 24;
#else
    constexpr int kRecords = 120;
#endif
    size_t full = 0;
    for (int cycle = 0; cycle < 1000; cycle++) {
        ASSERT_EQ(subscribe(), 0);
        ipamSubStart();
        for (int i = 0; i < kRecords; i++) {
            Ipam4AddrInfo r4{};
            r4.ifIndex = 1 + i % 16;
            r4.ipAddr = 0x0a000000u + static_cast<uint32_t>(i);
            r4.ipMask = 0xffffff00u;
            r4.ipAttr = 0x42;
            ipamSubDispatch(IPAM4_EVT_BATCH, sizeof r4, &r4);
            Ipam6AddrInfo r6{};
            r6.ifIndex = 100 + i % 16;
            r6.ip6Addr[0] = 0x20;
            r6.ip6Addr[15] = static_cast<uint8_t>(i);
            r6.ip6Addr[14] = static_cast<uint8_t>(i >> 8);
            ipamSubDispatch(IPAM6_EVT_BATCH, sizeof r6, &r6);
        }
        ipamSubEnd();
        size_t now = liveBlocks();
        if (cycle == 0) full = now;
        ASSERT_EQ(now, full) << "cycle " << cycle << ": the full table grew";
        ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
        ASSERT_EQ(liveBlocks(), base_) << "cycle " << cycle << ": blocks left after unsubscribing";
    }
    EXPECT_GT(full, base_ + 2 * kRecords);
    std::printf("churn: 1000 cycles of %d records, %zu blocks each, none left\n", 2 * kRecords,
                full - base_);
}

}  // namespace
}  // namespace rel
