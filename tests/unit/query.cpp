// The host's queries: parameter test before readiness test, their traces,
// results handed on unchanged, copies only on success, walks forwarded.
#include "unit/db_fixture.h"

namespace {

const Ipam4AddrInfo kRec4 = addr4(1, "10.0.0.1/32", IPAM4_ATTR_PRIMARY, 3);
const Ipam6AddrInfo kRec6 = addr6(2, "2001:db8::1/0", 0, 3);

class Query : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        add(kRec4);
        add(kRec6);
    }
};

// Runs every lookup with all its required pointers given; answers the
// results in table order.
std::vector<int32_t> allLookups(Ipam4AddrInfo *o4, Ipam6AddrInfo *o6) {
    const uint8_t *d = kRec6.ip6Addr;
    return {
        IPAM4_GetAddrInfoByIfIndex(1, o4),
        IPAM4_GetAddrInfoByIfName("if1", o4),
        IPAM4_GetAddrInfo(3, kRec4.ipAddr, o4),
        IPAM6_GetAddrInfoByIfIndexAndAddr(2, d, o6),
        IPAM6_GetAddrInfoByIfIndex(2, o6),
        IPAM6_GetAddrInfoByIfIndexAndIfAddr(2, d, o6),
        IPAM6_GetAddrInfoByIfNameAndAddr("if2", d, o6),
        IPAM6_GetAddrInfoByIfName("if2", o6),
        IPAM6_GetAddrInfo(3, d, o6),
    };
}

}  // namespace

TEST_F(Query, EveryNullPointerIsRefusedBeforeReadinessIsAsked) {
    const uint8_t *d = kRec6.ip6Addr;
    Ipam4AddrInfo o4{};
    Ipam6AddrInfo o6{};
    for (uint32_t ready : {0u, 1u}) {
        gIpamBatchFlag = ready;
        for (int32_t r : {IPAM4_GetAddrInfoByIfIndex(1, nullptr), IPAM4_GetAddrInfoByIfName("if1", nullptr),
                          IPAM4_GetAddrInfoByIfName(nullptr, &o4), IPAM4_GetAddrInfo(3, 0, nullptr),
                          IPAM6_GetAddrInfoByIfIndexAndAddr(2, d, nullptr),
                          IPAM6_GetAddrInfoByIfIndex(2, nullptr),
                          IPAM6_GetAddrInfoByIfIndexAndIfAddr(2, nullptr, &o6),
                          IPAM6_GetAddrInfoByIfIndexAndIfAddr(2, d, nullptr),
                          IPAM6_GetAddrInfoByIfNameAndAddr(nullptr, d, &o6),
                          IPAM6_GetAddrInfoByIfNameAndAddr("if2", d, nullptr),
                          IPAM6_GetAddrInfoByIfName(nullptr, &o6), IPAM6_GetAddrInfo(3, nullptr, &o6),
                          IPAM6_GetAddrInfo(3, d, nullptr)})
            EXPECT_EQ(r, IPAM_ERR_PARAM) << "ready " << ready;
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
    EXPECT_EQ(std::memcmp(&o4.info, &kRec4, sizeof kRec4), 0);
    EXPECT_EQ(std::memcmp(&o6.info, &kRec6, sizeof kRec6), 0);
    EXPECT_EQ(IPAM4_IsIpAddrConfigured(1), 1);
    EXPECT_EQ(IPAM4_IsIpAddrConfigured(2), 0);  // IPv6 only
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
    IPAM6_GetAddrInfoByIfName("if2", &o6);
    IPAM4_IsIpAddrConfigured(1);
    EXPECT_EQ(log.texts(), (Lines{
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

TEST_F(Query, FailuresComeBackUnchangedAndCopiesAreWholeAndUnaligned) {
    gIpamBatchFlag = 1;
    Poisoned<Ipam4AddrInfo> p4;
    Poisoned<Ipam6AddrInfo> p6;
    add(addr4(5, "10.5.5.5/24", IPAM4_ATTR_NO_VRF_LOOKUP));
    EXPECT_EQ(IPAM4_GetAddrInfo(0, ip4("10.5.5.5"), &p4.info), IPAM_ERR_FAIL);
    EXPECT_EQ(IPAM4_GetAddrInfoByIfName("if9", &p4.info), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(IPAM6_GetAddrInfo(4, kRec6.ip6Addr, &p6.info), IPAM_ERR_NOT_FOUND);  // other VRF only
    EXPECT_TRUE(p4.untouched());
    EXPECT_TRUE(p6.untouched());

    // A null destination is valid and means "no destination".
    Ipam6AddrInfo a{}, b{};
    ASSERT_EQ(IPAM6_GetAddrInfoByIfIndexAndAddr(2, nullptr, &a), 0);
    ASSERT_EQ(IPAM6_GetAddrInfoByIfNameAndAddr("if2", nullptr, &b), 0);
    EXPECT_EQ(std::memcmp(&a, &kRec6, sizeof a), 0);
    EXPECT_EQ(std::memcmp(&b, &kRec6, sizeof b), 0);

    alignas(8) unsigned char raw[sizeof(Ipam6AddrInfo) + 1];
    ASSERT_EQ(IPAM6_GetAddrInfo(3, kRec6.ip6Addr, reinterpret_cast<Ipam6AddrInfo *>(raw + 1)), 0);
    EXPECT_EQ(std::memcmp(raw + 1, &kRec6, sizeof kRec6), 0);
}

TEST_F(Query, Ipv6ByVrfAndAddressStaysRightWithThousandsInOneBucket) {
    // Every address with an all-zero 32-bit word folds into the VRF's one
    // bucket of the IPv6 index: the lookup must walk the whole chain and
    // still tell the keys (and the VRFs) apart.
    gIpamBatchFlag = 1;
    const int kCount = 3000;
    auto text = [](int i) {
        char t[64];
        std::snprintf(t, sizeof t, "2001:db8::%x:%x/64", i / 7, i);
        return std::string(t);
    };
    for (int i = 0; i < kCount; i++)
        add(addr6(10 + static_cast<uint32_t>(i % 5), text(i).c_str(), 0, static_cast<uint32_t>(i % 2)));
    for (int i = 0; i < kCount; i += 37) {
        Ipam6AddrInfo k = addr6(0, text(i).c_str()), out{};
        ASSERT_EQ(IPAM6_GetAddrInfo(static_cast<uint32_t>(i % 2), k.ip6Addr, &out), 0) << text(i);
        EXPECT_EQ(std::memcmp(out.ip6Addr, k.ip6Addr, 16), 0) << text(i);
        EXPECT_EQ(out.ifIndex, 10u + static_cast<uint32_t>(i % 5)) << text(i);
        EXPECT_EQ(IPAM6_GetAddrInfo(static_cast<uint32_t>(1 - i % 2), k.ip6Addr, &out), IPAM_ERR_NOT_FOUND)
            << text(i);
    }
    Ipam6AddrInfo out{};
    EXPECT_EQ(IPAM6_GetAddrInfo(0, a6("2001:db8::ffff:1").b, &out), IPAM_ERR_NOT_FOUND);
}

TEST_F(Query, WalksAreForwardedWithoutEitherTest) {
    // No readiness test: the walk runs even before the first batch ended,
    // and its result is the database walk's.
    struct Seen {
        std::vector<uint32_t> addrs;
        bool stop = false;
    } all, one{{}, true};
    Ipam4AddrInfoWalkFn c4 = [](Ipam4AddrInfo *r, void *u) -> int32_t {
        static_cast<Seen *>(u)->addrs.push_back(r->ipAddr);
        return static_cast<Seen *>(u)->stop ? 1 : 0;
    };
    Ipam6AddrInfoWalkFn c6 = [](Ipam6AddrInfo *r, void *u) -> int32_t {
        static_cast<Seen *>(u)->addrs.push_back(r->ip6Addr[15]);
        return static_cast<Seen *>(u)->stop ? 1 : 0;
    };
    EXPECT_EQ(IPAM4_WalkAddrInfo(1, c4, &all), 0);
    EXPECT_EQ(all.addrs, (std::vector<uint32_t>{kRec4.ipAddr}));
    EXPECT_EQ(IPAM6_WalkAddrInfo(2, c6, &one), ipam6_DbAddrInfoWalkByIf(2, c6, &one));
    EXPECT_EQ(one.addrs, (std::vector<uint32_t>{1, 1}));
    EXPECT_EQ(IPAM4_WalkAddrInfo(9, c4, &all), ipam4_DbAddrInfoWalkByIf(9, c4, &all));
}
