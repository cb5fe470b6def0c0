// The host's queries: parameter test before readiness test, their traces,
// results handed on unchanged, copies only on success, walks forwarded.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "ipam_platform.h"
#include "sub/state.h"
#include "support/log_capture.h"

namespace {

struct A6 {
    uint8_t b[16];
};

A6 a6(const char *text) {
    A6 a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.b), 1) << text;
    return a;
}

uint32_t ip(const char *dotted) {
    uint32_t a = 0;
    inet_pton(AF_INET, dotted, &a);
    return a;
}

Ipam4AddrInfo rec4(uint32_t ifIndex, const char *dotted, uint32_t attr, uint32_t vrf = 0) {
    Ipam4AddrInfo r{};
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    r.ipAddr = ip(dotted);
    r.ipAttr = attr;
    std::snprintf(r.ifName, sizeof r.ifName, "eth%u", ifIndex);
    return r;
}

Ipam6AddrInfo rec6(uint32_t ifIndex, const char *text, uint32_t vrf = 0) {
    Ipam6AddrInfo r{};
    r.ifIndex = ifIndex;
    r.vrfIndex = vrf;
    std::memcpy(r.ip6Addr, a6(text).b, 16);
    std::snprintf(r.ifName, sizeof r.ifName, "eth%u", ifIndex);
    return r;
}

template <class Info>
struct Poisoned {
    Info info;
    Poisoned() { std::memset(&info, 0xa5, sizeof info); }
    bool untouched() const {
        Poisoned fresh;
        return std::memcmp(&info, &fresh.info, sizeof info) == 0;
    }
};

class Query : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        gIpamPubDbg = 0;
        gIpamBatchFlag = 0;
        ASSERT_EQ(ipam_DbInit(), 0);
        Ipam4AddrInfo r4 = rec4(1, "10.0.0.1", IPAM4_ATTR_PRIMARY, 3);
        ASSERT_EQ(ipam4_AddAddrInfoNode(&r4, 1), 0);
        Ipam6AddrInfo r6 = rec6(2, "2001:db8::1", 3);
        ASSERT_EQ(ipam6_AddAddrInfoNode(&r6, 1), 0);
    }
    void TearDown() override {
        gIpamPubDbg = 0;
        gIpamBatchFlag = 0;
        ipam_DbUnInit();
    }
};

// Runs every lookup with all its required pointers given; answers the
// results in table order.
std::vector<int32_t> allLookups(Ipam4AddrInfo *o4, Ipam6AddrInfo *o6) {
    A6 d = a6("2001:db8::1");
    return {
        IPAM4_GetAddrInfoByIfIndex(1, o4),
        IPAM4_GetAddrInfoByIfName("eth1", o4),
        IPAM4_GetAddrInfo(3, ip("10.0.0.1"), o4),
        IPAM6_GetAddrInfoByIfIndexAndAddr(2, d.b, o6),
        IPAM6_GetAddrInfoByIfIndex(2, o6),
        IPAM6_GetAddrInfoByIfIndexAndIfAddr(2, d.b, o6),
        IPAM6_GetAddrInfoByIfNameAndAddr("eth2", d.b, o6),
        IPAM6_GetAddrInfoByIfName("eth2", o6),
        IPAM6_GetAddrInfo(3, d.b, o6),
    };
}

}  // namespace

TEST_F(Query, EveryNullPointerIsRefusedBeforeReadinessIsAsked) {
    const A6 dest = a6("2001:db8::1");
    const uint8_t *d = dest.b;
    Ipam4AddrInfo o4{};
    Ipam6AddrInfo o6{};
    for (uint32_t ready : {0u, 1u}) {
        gIpamBatchFlag = ready;
        EXPECT_EQ(IPAM4_GetAddrInfoByIfIndex(1, nullptr), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM4_GetAddrInfoByIfName("eth1", nullptr), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM4_GetAddrInfoByIfName(nullptr, &o4), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM4_GetAddrInfo(3, ip("10.0.0.1"), nullptr), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfoByIfIndexAndAddr(2, d, nullptr), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfoByIfIndex(2, nullptr), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfoByIfIndexAndIfAddr(2, nullptr, &o6), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfoByIfIndexAndIfAddr(2, d, nullptr), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfoByIfNameAndAddr(nullptr, d, &o6), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfoByIfNameAndAddr("eth2", d, nullptr), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfoByIfName(nullptr, &o6), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfo(3, nullptr, &o6), IPAM_ERR_PARAM);
        EXPECT_EQ(IPAM6_GetAddrInfo(3, d, nullptr), IPAM_ERR_PARAM);
    }
}

TEST_F(Query, IncompleteReplicaIsRefusedWithoutTouchingTheOutput) {
    Poisoned<Ipam4AddrInfo> o4;
    Poisoned<Ipam6AddrInfo> o6;
    for (int32_t r : allLookups(&o4.info, &o6.info)) EXPECT_EQ(r, IPAM_ERR_NOT_SUBSCRIBED);
    EXPECT_EQ(IPAM4_IsIpAddrConfigured(1), 0);
    EXPECT_TRUE(o4.untouched());
    EXPECT_TRUE(o6.untouched());

    gIpamBatchFlag = 1;
    for (int32_t r : allLookups(&o4.info, &o6.info)) EXPECT_EQ(r, 0);
    EXPECT_EQ(IPAM4_IsIpAddrConfigured(1), 1);
}

TEST_F(Query, RefusalsAreTracedUnderTheApiBitOnly) {
    LogCapture log;
    Ipam4AddrInfo o4{};
    Ipam6AddrInfo o6{};
    allLookups(&o4, &o6);
    IPAM4_IsIpAddrConfigured(1);
    IPAM4_GetAddrInfo(3, 0, nullptr);
    IPAM6_GetAddrInfo(3, nullptr, &o6);
    EXPECT_TRUE(log.lines().empty());

    gIpamPubDbg = IPAM_DBG_API;
    IPAM4_GetAddrInfo(3, 0, nullptr);
    IPAM6_GetAddrInfo(3, nullptr, &o6);
    IPAM4_GetAddrInfoByIfIndex(1, &o4);
    IPAM6_GetAddrInfoByIfName("eth2", &o6);
    IPAM4_IsIpAddrConfigured(1);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Ipam conf invalid parameter",
                               "Ipam6 conf invalid parameter",
                               "Ipam conf has not subcribe the ipam data",
                               "Ipam6 conf has not subcribe the ipam data",
                               "Ipam conf has not subcribe the ipam data",
                           }));
    for (const LogLine &l : log.lines()) {
        EXPECT_EQ(l.level, 7u);
        EXPECT_EQ(l.logClass, 3u);
        EXPECT_EQ(l.moduleId, IPAM_MODULE_ID);
    }
}

TEST_F(Query, AnswersAreTheDatabaseOnes) {
    gIpamBatchFlag = 1;
    Ipam4AddrInfo o4{};
    ASSERT_EQ(IPAM4_GetAddrInfoByIfIndex(1, &o4), 0);
    Ipam4AddrInfo want4 = rec4(1, "10.0.0.1", IPAM4_ATTR_PRIMARY, 3);
    EXPECT_EQ(std::memcmp(&o4, &want4, sizeof o4), 0);

    // Not-found and the all-refusing key come back unchanged.
    Poisoned<Ipam4AddrInfo> p4;
    EXPECT_EQ(IPAM4_GetAddrInfoByIfIndex(9, &p4.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(IPAM4_GetAddrInfoByIfName("eth9", &p4.info), IPAM_ERR_NOT_FOUND);
    Ipam4AddrInfo hidden = rec4(5, "10.5.5.5", IPAM4_ATTR_NO_VRF_LOOKUP);
    ASSERT_EQ(ipam4_AddAddrInfoNode(&hidden, 1), 0);
    EXPECT_EQ(IPAM4_GetAddrInfo(0, ip("10.5.5.5"), &p4.info), IPAM_ERR_FAIL);
    EXPECT_TRUE(p4.untouched());

    EXPECT_EQ(IPAM4_IsIpAddrConfigured(2), 0);  // IPv6 only
    EXPECT_EQ(IPAM4_IsIpAddrConfigured(9), 0);  // unknown

    // A null destination is valid and means "no destination".
    Ipam6AddrInfo a{}, b{};
    ASSERT_EQ(IPAM6_GetAddrInfoByIfIndexAndAddr(2, nullptr, &a), 0);
    ASSERT_EQ(IPAM6_GetAddrInfoByIfIndex(2, &b), 0);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    ASSERT_EQ(IPAM6_GetAddrInfoByIfNameAndAddr("eth2", nullptr, &b), 0);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    Ipam6AddrInfo want6 = rec6(2, "2001:db8::1", 3);
    EXPECT_EQ(std::memcmp(&a, &want6, sizeof a), 0);
}

TEST_F(Query, Ipv6ByVrfAndAddressCopiesOnlyOnSuccess) {
    gIpamBatchFlag = 1;
    A6 d = a6("2001:db8::1");
    Poisoned<Ipam6AddrInfo> miss;
    EXPECT_EQ(IPAM6_GetAddrInfo(4, d.b, &miss.info), IPAM_ERR_NOT_FOUND);  // other VRF only
    EXPECT_TRUE(miss.untouched());

    alignas(8) unsigned char raw[sizeof(Ipam6AddrInfo) + 1];
    ASSERT_EQ(IPAM6_GetAddrInfo(3, d.b, reinterpret_cast<Ipam6AddrInfo *>(raw + 1)), 0);
    Ipam6AddrInfo want = rec6(2, "2001:db8::1", 3);
    EXPECT_EQ(std::memcmp(raw + 1, &want, sizeof want), 0);
}

TEST_F(Query, Ipv6ByVrfAndAddressStaysRightWithThousandsInOneBucket) {
    // Every address with an all-zero 32-bit word folds into the VRF's one
    // bucket of the IPv6 index: the lookup must walk the whole chain and
    // still tell the keys (and the VRFs) apart.
    gIpamBatchFlag = 1;
    const int kCount = 3000;
    for (int i = 0; i < kCount; i++) {
        char text[64];
        std::snprintf(text, sizeof text, "2001:db8::%x:%x", i / 7, i);
        Ipam6AddrInfo r = rec6(10 + static_cast<uint32_t>(i % 5), text, static_cast<uint32_t>(i % 2));
        ASSERT_EQ(ipam6_AddAddrInfoNode(&r, 1), 0);
    }
    for (int i = 0; i < kCount; i += 37) {
        char text[64];
        std::snprintf(text, sizeof text, "2001:db8::%x:%x", i / 7, i);
        A6 k = a6(text);
        Ipam6AddrInfo out{};
        ASSERT_EQ(IPAM6_GetAddrInfo(static_cast<uint32_t>(i % 2), k.b, &out), 0) << text;
        EXPECT_EQ(std::memcmp(out.ip6Addr, k.b, 16), 0) << text;
        EXPECT_EQ(out.ifIndex, 10u + static_cast<uint32_t>(i % 5)) << text;
        EXPECT_EQ(IPAM6_GetAddrInfo(static_cast<uint32_t>(1 - i % 2), k.b, &out), IPAM_ERR_NOT_FOUND)
            << text;
    }
    A6 absent = a6("2001:db8::ffff:1");
    Ipam6AddrInfo out{};
    EXPECT_EQ(IPAM6_GetAddrInfo(0, absent.b, &out), IPAM_ERR_NOT_FOUND);
}

TEST_F(Query, CopiesAreWholeRecordsWhileThePublisherChangesThem) {
    // Host threads query while another thread keeps replacing the primary
    // record of interface 7 with one of two versions: every answer must be
    // one whole version, never a record freed or half-written.
    gIpamBatchFlag = 1;
    const Ipam4AddrInfo v[2] = {rec4(7, "10.7.0.1", IPAM4_ATTR_PRIMARY, 1),
                                rec4(7, "10.7.0.2", IPAM4_ATTR_PRIMARY, 1)};
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, found{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; t++) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                Ipam4AddrInfo out;
                if (IPAM4_GetAddrInfoByIfIndex(7, &out) != 0) continue;
                found++;
                if (std::memcmp(&out, &v[0], sizeof out) != 0 &&
                    std::memcmp(&out, &v[1], sizeof out) != 0)
                    bad++;
            }
        });
    }
    for (int i = 0; i < 2000 || found.load() < 50; i++) {
        ASSERT_EQ(ipam4_AddAddrInfoNode(&v[i % 2], 1), 0);
        ipam4_DelAddrInfoNode(&v[(i + 1) % 2]);
    }
    stop = true;
    for (std::thread &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
}

namespace {

struct WalkSeen {
    std::vector<uint32_t> addrs;
    size_t stopAfter = 0;  // 0: never stop
};

int32_t collect4(Ipam4AddrInfo *r, void *user) {
    auto *s = static_cast<WalkSeen *>(user);
    s->addrs.push_back(r->ipAddr);
    return s->stopAfter != 0 && s->addrs.size() >= s->stopAfter ? 1 : 0;
}

int32_t collect6(Ipam6AddrInfo *r, void *user) {
    auto *s = static_cast<WalkSeen *>(user);
    s->addrs.push_back(r->ip6Addr[15]);
    return s->stopAfter != 0 && s->addrs.size() >= s->stopAfter ? 1 : 0;
}

}  // namespace

TEST_F(Query, WalksAreForwardedWithoutEitherTest) {
    // No readiness test: the walk runs even before the first batch ended,
    // and its result is the database walk's.
    WalkSeen all, one;
    one.stopAfter = 1;
    EXPECT_EQ(IPAM4_WalkAddrInfo(1, collect4, &all), 0);
    EXPECT_EQ(all.addrs, (std::vector<uint32_t>{ip("10.0.0.1")}));
    EXPECT_EQ(IPAM6_WalkAddrInfo(2, collect6, &one), ipam6_DbAddrInfoWalkByIf(2, collect6, &one));
    EXPECT_EQ(IPAM4_WalkAddrInfo(9, collect4, &all), ipam4_DbAddrInfoWalkByIf(9, collect4, &all));
}

TEST(QueryNoDb, WalksAndLookupsWithoutADatabaseFailHarmlessly) {
    ipamplat_reset();
    gIpamPubDbg = 0;
    LogCapture log;
    WalkSeen s;
    EXPECT_NE(IPAM4_WalkAddrInfo(1, collect4, &s), 0);
    EXPECT_NE(IPAM6_WalkAddrInfo(1, collect6, &s), 0);
    EXPECT_TRUE(s.addrs.empty());

    // Readiness says yes while there is no database (a white-box corner):
    // the lookups still answer as over an empty replica.
    gIpamBatchFlag = 1;
    Poisoned<Ipam4AddrInfo> o4;
    Poisoned<Ipam6AddrInfo> o6;
    for (int32_t r : allLookups(&o4.info, &o6.info)) EXPECT_EQ(r, IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(IPAM4_IsIpAddrConfigured(1), 0);
    EXPECT_TRUE(o4.untouched());
    EXPECT_TRUE(o6.untouched());
    gIpamBatchFlag = 0;
    EXPECT_TRUE(log.lines().empty());
}
