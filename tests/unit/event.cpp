// Event delivery: filtering by the care mask, no callback, the traces and
// record dumps, null records.
#include "sub/event.h"

#include <memory>

#include "unit/db_fixture.h"

namespace {

struct Delivered {
    uint32_t code;
    void *record;
};
std::vector<Delivered> gDelivered;

int32_t host(uint32_t code, void *record) {
    gDelivered.push_back({code, record});
    return 0;
}

class Event : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        gDelivered.clear();
        ipam::recordInterest(host, 0);
        gIpamPubDbg = IPAM_DBG_EVENT;
        log = std::make_unique<LogCapture>();
    }
    void TearDown() override {
        log.reset();
        DbTest::TearDown();
    }
    std::unique_ptr<LogCapture> log;  // installed after the platform reset
};

}  // namespace

TEST_F(Event, UncaredEventIsTracedAndDumpedButNotDelivered) {
    Ipam4AddrInfo r = addr4(5, "10.0.0.1/24", 0x40, 1);
    ipam::recordInterest(nullptr, 0xffffffffu);  // without a callback nothing happens at all
    ipamEventNotify(IPAM4_EVT_ADD, &r);
    ipamEventNotify(IPAM_EVT_BATCH_START, nullptr);
    EXPECT_TRUE(log->texts().empty());

    ipam::recordInterest(host, IPAM4_EVT_ADD);
    ipamEventNotify(IPAM4_EVT_DEL, &r);
    EXPECT_TRUE(gDelivered.empty());
    // Deletions dump with the "add new" wording too.
    EXPECT_EQ(log->texts(),
              (Lines{"del addr4", "add new ifindex: 5 vrfIndex: 1", "ifname: if5",
                     "add new ipaddr: a000001 ipmask: ffffff00", "add new attr: 0x40"}));
    for (const LogLine &l : log->lines()) {
        EXPECT_EQ(l.level, 7u);
        EXPECT_EQ(l.logClass, 3u);
    }

    log->clear();
    gIpamPubDbg = 0;  // the trace bit alone decides the lines, not delivery
    ipam::recordInterest(host, IPAM4_EVT_DEL);
    ipamEventNotify(IPAM4_EVT_DEL, &r);
    EXPECT_TRUE(log->texts().empty());
    ASSERT_EQ(gDelivered.size(), 1u);
    EXPECT_EQ(gDelivered[0].record, &r);
}

TEST_F(Event, CodesWithoutTraceTextAreStillDeliveredAndDumpsAreWhole) {
    ipam::recordInterest(
        host, IPAM6_EVT_UPDATE | IPAM_EVT_RELAY | IPAM_EVT_BATCH_START | IPAM_EVT_BATCH_END);
    Ipam6AddrInfo r = addr6(7, "2001:db8::1/64", 0x60);
    ipamEventNotify(IPAM6_EVT_UPDATE, &r);
    ipamEventNotify(IPAM_EVT_BATCH_START, nullptr);
    ipamEventNotify(IPAM_EVT_RELAY, nullptr);
    ipamEventNotify(IPAM_EVT_BATCH_END, nullptr);
    EXPECT_EQ(log->texts(),
              (Lines{"no support event 65536", "notify done, care 0x10010003 event 0x10000",
                     "batch start", "notify done, care 0x10010003 event 0x1",
                     "no support event 268435456", "notify done, care 0x10010003 event 0x10000000",
                     "batch end", "notify done, care 0x10010003 event 0x2"}));
    ASSERT_EQ(gDelivered.size(), 4u);
    EXPECT_EQ(gDelivered[0].record, &r);
    for (size_t i = 1; i < 4; i++) EXPECT_EQ(gDelivered[i].record, nullptr);

    // Full-length names without a terminator, and missing records.
    log->clear();
    ipam::recordInterest(host, IPAM6_EVT_VALID);
    r = addr6(7, "2001:db8::1/32", 0x60, 2);
    std::memset(r.ifName, 'x', sizeof r.ifName);
    ipamEventNotify(IPAM6_EVT_VALID, &r);
    EXPECT_EQ(log->texts(), (Lines{"IPAM6_EVT_VALID new addr6", "ifindex: 7 vrfIndex: 2",
                                   "ifname: " + std::string(40, 'x'),
                                   "ipaddr: 2001:db8::1 ipmask: ffff:ffff::", "attr: 0x60",
                                   "notify done, care 0x4000 event 0x4000"}));
    log->clear();
    Ipam4AddrInfo r4 = addr4(5, "10.0.0.1/24");
    std::memset(r4.ifName, 'y', sizeof r4.ifName);
    ipamEventNotify(IPAM4_EVT_INVALID, &r4);
    EXPECT_EQ(log->texts().at(0), "IPAM4_EVT_INVALID addr4");
    EXPECT_EQ(log->texts().at(2), "ifname: " + std::string(40, 'y'));
    // Every address event with a record dumps it: the trace line, then four lines.
    const struct {
        uint32_t code;
        const char *trace;
        bool v6;
    } kDumps[] = {{IPAM4_EVT_ADD, "add new addr4", false},
                  {IPAM4_EVT_DEL, "del addr4", false},
                  {IPAM4_EVT_VALID, "IPAM4_EVT_VALID new addr4", false},
                  {IPAM6_EVT_ADD, "add new addr6", true},
                  {IPAM6_EVT_DEL, "del addr6", true},
                  {IPAM6_EVT_INVALID, "IPAM6_EVT_INVALID addr6", true}};
    ipam::recordInterest(host, 0);
    r4 = addr4(5, "10.0.0.1/24", 0x40, 1);
    for (const auto &d : kDumps) {
        SCOPED_TRACE(d.trace);
        log->clear();
        ipamEventNotify(d.code, d.v6 ? static_cast<void *>(&r) : static_cast<void *>(&r4));
        ASSERT_EQ(log->texts().size(), 5u);
        EXPECT_EQ(log->texts()[0], d.trace);
        EXPECT_EQ(log->texts()[4], d.v6 ? "attr: 0x60" : "add new attr: 0x40");
    }
    // A missing record is not dumped.
    log->clear();
    ipamEventNotify(IPAM6_EVT_DEL, nullptr);
    ipamEventNotify(IPAM4_EVT_ADD, nullptr);
    EXPECT_EQ(log->texts(), (Lines{"del addr6", "add new addr4"}));
}
