// A host's view of the library, driven only through the stand-in platform:
// subscribe, follow the publisher through a first batch, single changes and
// a restart with a second batch, then query the replica.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ipam.h"
#include "ipam_platform.h"
#include "support/records.h"

using ipamtest::addr4;
using ipamtest::addr6;
using ipamtest::describe;
using ipamtest::ev;
using ipamtest::eventLog;

namespace {

constexpr uint32_t kModule = 61;
// IPv4 with interface validity (so its attribute counts), IPv6 additions,
// deletions and updates; neither invalid event nor relay is asked for.
constexpr uint32_t kCare = IPAM4_EVT_VALID | IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_UPDATE;

template <class R>
void send(uint32_t code, const R &r) {
    EXPECT_GE(ipamplat_pub_send(static_cast<int32_t>(code), sizeof r, &r), 0);
}

TEST(HostView, ReplicaFollowsThePublisherThroughARestart) {
    ipamplat_reset();
    ipamplat_dfm_set_answer(-1);
    eventLog().clear();
    ASSERT_EQ(IPAM_SubscribeEvent(0x77, kModule, kCare, &ipamtest::EventLog::callback), 0);
    EXPECT_EQ(ipamSubGetCareEvt(), 0x107ffu);
    const Ipam4AddrInfo a = addr4(1, "10.0.0.1/24", IPAM4_ATTR_PRIMARY),
                        b = addr4(1, "10.0.1.1/24", IPAM_ATTR_VALID), c = addr4(2, "10.0.2.1/24");
    const Ipam6AddrInfo d = addr6(1, "2001:db8::1/64"),
                        e = addr6(2, "2001:db8:2::1/64", IPAM_ATTR_VALID);
    Ipam4AddrInfo out4;
    EXPECT_EQ(IPAM4_GetAddrInfo(0, a.ipAddr, &out4), IPAM_ERR_NOT_SUBSCRIBED);

    // First batch: every record is announced; queries answer once it ends.
    ASSERT_EQ(ipamplat_pub_start(), 0);
    for (const auto &r : {a, b, c}) send(IPAM4_EVT_BATCH, r);
    for (const auto &r : {d, e}) send(IPAM6_EVT_BATCH, r);
    EXPECT_EQ(ipam_IsSubscrib(), 0);
    ASSERT_EQ(ipamplat_pub_end(), 0);
    EXPECT_EQ(ipam_IsSubscrib(), 1);
    EXPECT_EQ(eventLog().texts(),
              (std::vector<std::string>{ev(IPAM_EVT_BATCH_START), ev(IPAM4_EVT_ADD, a),
                                        ev(IPAM4_EVT_ADD, b), ev(IPAM4_EVT_VALID, b),
                                        ev(IPAM4_EVT_ADD, c), ev(IPAM6_EVT_ADD, d),
                                        ev(IPAM6_EVT_ADD, e), ev(IPAM_EVT_BATCH_END)}));

    // Single changes.
    eventLog().clear();
    const Ipam4AddrInfo f = addr4(3, "10.0.3.1/24");
    Ipam6AddrInfo dUpdated = d;
    dUpdated.ip6Attr = IPAM6_ATTR_NO_SOURCE;
    send(IPAM4_EVT_ADD, f);
    send(IPAM4_EVT_DEL, c);
    send(IPAM4_EVT_IF_VALID, uint32_t{1});
    send(IPAM6_EVT_UPDATE, dUpdated);
    send(IPAM_EVT_RELAY, a);
    Ipam4AddrInfo aValid = a, bValid = b;
    aValid.ipAttr |= IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID;
    bValid.ipAttr |= IPAM_ATTR_IF_VALID;
    EXPECT_EQ(eventLog().texts(),
              (std::vector<std::string>{ev(IPAM4_EVT_ADD, f), ev(IPAM4_EVT_DEL, c),
                                        ev(IPAM4_EVT_VALID, aValid), ev(IPAM4_EVT_VALID, bValid),
                                        ev(IPAM6_EVT_UPDATE, dUpdated)}));

    // The publisher restarts and sends its table again: it lacks f and e,
    // sends b without the interface bit and d with another prefix, and has a
    // new record g.
    // The host may query from its callback, also while the sweep holds the
    // database: a swept record is still there while announced.
    eventLog().clear();
    std::vector<int32_t> answers;
    eventLog().setHook([&](uint32_t code, void *rec) {
        Ipam4AddrInfo out;
        if (code == IPAM4_EVT_DEL)
            answers.push_back(
                IPAM4_GetAddrInfo(0, static_cast<Ipam4AddrInfo *>(rec)->ipAddr, &out));
    });
    const Ipam4AddrInfo g = addr4(2, "10.0.5.1/24");
    const Ipam6AddrInfo d48 = addr6(1, "2001:db8::1/48");
    ASSERT_EQ(ipamplat_pub_start(), 0);
    for (const auto &r : {aValid, b, g}) send(IPAM4_EVT_BATCH, r);
    send(IPAM6_EVT_BATCH, d48);
    ASSERT_EQ(ipamplat_pub_end(), 0);
    eventLog().setHook(nullptr);
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 0}));
    std::vector<std::string> seen = eventLog().texts();
    const std::vector<std::string> during = {ev(IPAM_EVT_BATCH_START), ev(IPAM4_EVT_ADD, b),
                                             ev(IPAM4_EVT_VALID, b), ev(IPAM4_EVT_ADD, g),
                                             ev(IPAM6_EVT_ADD, d48)};
    ASSERT_EQ(seen.size(), during.size() + 5);
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 5), during);
    // The sweep: IPv4 first, then IPv6, each in the table's own order;
    // invalid events are not in the care mask.
    std::multiset<std::string> swept4(seen.begin() + 5, seen.begin() + 7);
    std::multiset<std::string> swept6(seen.begin() + 7, seen.begin() + 9);
    EXPECT_EQ(swept4,
              (std::multiset<std::string>{ev(IPAM4_EVT_DEL, bValid), ev(IPAM4_EVT_DEL, f)}));
    EXPECT_EQ(swept6,
              (std::multiset<std::string>{ev(IPAM6_EVT_DEL, dUpdated), ev(IPAM6_EVT_DEL, e)}));
    EXPECT_EQ(seen.back(), ev(IPAM_EVT_BATCH_END));

    // The replica is the publisher's table.
    ASSERT_EQ(IPAM4_GetAddrInfoByIfIndex(1, &out4), 0);
    EXPECT_EQ(describe(out4), describe(aValid));
    ASSERT_EQ(IPAM4_GetAddrInfo(0, g.ipAddr, &out4), 0);
    EXPECT_EQ(describe(out4), describe(g));
    EXPECT_EQ(IPAM4_GetAddrInfo(0, f.ipAddr, &out4), IPAM_ERR_NOT_FOUND);
    Ipam6AddrInfo out6;
    ASSERT_EQ(IPAM6_GetAddrInfo(0, d48.ip6Addr, &out6), 0);
    EXPECT_EQ(describe(out6), describe(d48));
    EXPECT_EQ(IPAM6_GetAddrInfo(0, e.ip6Addr, &out6), IPAM_ERR_NOT_FOUND);
    ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    EXPECT_EQ(ipamplat_pub_start(), IPAMPLAT_NO_PEER);
}

}  // namespace

namespace {

// What a callback that unsubscribes got back, and how often it ran.
std::vector<int32_t> gUnsubscribed;

int32_t unsubscribeOnDelete(uint32_t code, void *record) {
    if (code == IPAM4_EVT_DEL || code == IPAM6_EVT_DEL)
        gUnsubscribed.push_back(IPAM_UnSubscribeEvent(kModule));
    return ipamtest::EventLog::callback(code, record);
}

}  // namespace

// The batch-end sweep and the host's walks hold the replica while their
// callbacks run: an unsubscription from there would free the nodes under
// the walk. It is refused, and the subscription goes on unharmed.
TEST(HostView, UnsubscribingInsideAWalkIsRefusedAndFreesNothing) {
    ipamplat_reset();
    ipamplat_dfm_set_answer(-1);
    gUnsubscribed.clear();
    ASSERT_EQ(
        IPAM_SubscribeEvent(0x77, kModule, IPAM4_EVT_DEL | IPAM6_EVT_DEL, unsubscribeOnDelete), 0);
    const Ipam4AddrInfo a = addr4(1, "10.0.0.1/24"), b = addr4(1, "10.0.1.1/24");
    const Ipam6AddrInfo c = addr6(1, "2001:db8::1/64");
    ASSERT_EQ(ipamplat_pub_start(), 0);
    send(IPAM4_EVT_BATCH, a);
    send(IPAM4_EVT_BATCH, b);
    send(IPAM6_EVT_BATCH, c);
    ASSERT_EQ(ipamplat_pub_end(), 0);
    // A restart that keeps only b: the sweep deletes a and c from inside
    // its walks, and each delete event tries to unsubscribe.
    ASSERT_EQ(ipamplat_pub_start(), 0);
    send(IPAM4_EVT_BATCH, b);
    ASSERT_EQ(ipamplat_pub_end(), 0);
    EXPECT_EQ(gUnsubscribed, (std::vector<int32_t>{-1, -1}));
    EXPECT_EQ(ipam_IsSubscrib(), 1);
    Ipam4AddrInfo out;
    ASSERT_EQ(IPAM4_GetAddrInfo(0, b.ipAddr, &out), 0);
    EXPECT_EQ(describe(out), describe(b));

    // The same from a host's own walk.
    EXPECT_EQ(
        IPAM4_WalkAddrInfo(
            1, [](Ipam4AddrInfo *, void *) { return IPAM_UnSubscribeEvent(kModule) == -1 ? 0 : 1; },
            nullptr),
        0);
    EXPECT_EQ(ipam_IsSubscrib(), 1);
    // Outside any walk (here from an event that holds nothing) it ends the
    // subscription.
    send(IPAM4_EVT_DEL, b);
    EXPECT_EQ(gUnsubscribed.back(), 0);
    EXPECT_EQ(ipam_IsSubscrib(), 0);
}

// A publisher's name that fills all 40 bytes reaches the host and the
// replica cut to 39 characters, so it can be read as a C string.
TEST(HostView, NamesWithoutTheirNulAreTerminated) {
    ipamplat_reset();
    ipamplat_dfm_set_answer(-1);
    eventLog().clear();
    ASSERT_EQ(IPAM_SubscribeEvent(0x77, kModule, IPAM4_EVT_ADD | IPAM6_EVT_ADD | IPAM6_EVT_DEL,
                                  &ipamtest::EventLog::callback),
              0);
    ASSERT_EQ(ipamplat_pub_start(), 0);
    ASSERT_EQ(ipamplat_pub_end(), 0);
    Ipam4AddrInfo a = addr4(1, "10.0.0.1/24");
    Ipam6AddrInfo b = addr6(2, "2001:db8::1/64");
    std::memset(a.ifName, 'x', sizeof a.ifName);
    std::memset(b.ifName, 'y', sizeof b.ifName);
    std::vector<std::string> names;  // as the callback can read them
    eventLog().setHook([&names](uint32_t code, void *record) {
        if (code == IPAM4_EVT_ADD) names.push_back(static_cast<Ipam4AddrInfo *>(record)->ifName);
        if (code == IPAM6_EVT_ADD || code == IPAM6_EVT_DEL)
            names.push_back(static_cast<Ipam6AddrInfo *>(record)->ifName);
    });
    send(IPAM4_EVT_ADD, a);
    send(IPAM6_EVT_ADD, b);
    send(IPAM6_EVT_DEL, b);
    const std::string x39(39, 'x'), y39(39, 'y');
    EXPECT_EQ(names, (std::vector<std::string>{x39, y39, y39}));
    Ipam4AddrInfo out;
    ASSERT_EQ(IPAM4_GetAddrInfo(0, a.ipAddr, &out), 0);
    EXPECT_EQ(std::string(out.ifName), x39);
    eventLog().setHook(nullptr);
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
}
