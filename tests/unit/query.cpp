// The host's queries: the traces of their parameter and readiness refusals.
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

}  // namespace

// The parameter test comes before the readiness test.
TEST_F(Query, RefusalsAreTracedUnderTheApiBitOnly) {
    LogCapture log;
    Ipam4AddrInfo o4{};
    Ipam6AddrInfo o6{};
    auto run = [&] {
        IPAM4_GetAddrInfo(3, 0, nullptr);
        IPAM6_GetAddrInfo(3, nullptr, &o6);
        IPAM4_GetAddrInfoByIfIndex(1, &o4);
        IPAM6_GetAddrInfoByIfName("if2", &o6);
        IPAM4_IsIpAddrConfigured(1);
    };
    run();
    EXPECT_TRUE(log.lines().empty());
    // A missing name or interface address is a parameter fault even before
    // the first batch has ended.
    EXPECT_EQ(IPAM4_GetAddrInfoByIfName(nullptr, &o4), IPAM_ERR_PARAM);
    EXPECT_EQ(IPAM6_GetAddrInfoByIfIndexAndIfAddr(2, nullptr, &o6), IPAM_ERR_PARAM);
    EXPECT_EQ(IPAM4_GetAddrInfoByIfName("if1", &o4), IPAM_ERR_NOT_SUBSCRIBED);
    gIpamPubDbg = IPAM_DBG_API;
    run();
    EXPECT_EQ(log.texts(), (Lines{"Ipam conf invalid parameter", "Ipam6 conf invalid parameter",
                                  "Ipam conf has not subcribe the ipam data",
                                  "Ipam6 conf has not subcribe the ipam data",
                                  "Ipam conf has not subcribe the ipam data"}));
    for (const LogLine &l : log.lines()) {
        EXPECT_EQ(l.level, 7u);
        EXPECT_EQ(l.logClass, 3u);
        EXPECT_EQ(l.moduleId, IPAM_MODULE_ID);
    }
}
