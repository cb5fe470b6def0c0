// The walks: resuming behind a present or a vanished cursor, stops and
// status words, callbacks that remove their node, and the walk traces.
#include <cstdio>
#include <string>

#include "unit/db_fixture.h"

namespace {

std::string text6(const Ipam6AddrInfo &r) {
    char buf[48] = {0};
    inet_ntop(AF_INET6, r.ip6Addr, buf, sizeof buf);
    return buf;
}

// Whole-table IPv6 walk from `cursor`: the addresses visited, in order.
struct Visit6 {
    Lines seen;
    int32_t stopAt = 0;  // 1-based visit that answers `answer`
    int32_t answer = 0;
    bool removeEach = false;
};

int32_t visit6(Ipam6DbNode *n, void *u) {
    auto *v = static_cast<Visit6 *>(u);
    v->seen.push_back(text6(n->info));
    if (v->removeEach) {
        EXPECT_EQ(ipam::removeNode<ipam::Fam6>(n), 0);
    }
    return static_cast<int32_t>(v->seen.size()) == v->stopAt ? v->answer : 0;
}

Lines walk6(const Ipam6AddrInfo *cursor, int32_t *result = nullptr) {
    Visit6 v;
    int32_t r = ipam6_DbAddrWalk(cursor, visit6, &v, nullptr);
    if (result) *result = r;
    return v.seen;
}

uint32_t bucket6(const char *addr) {
    Ipam6DbNode key{};
    key.info = addr6(1, addr);
    return ipam::Addr6Key::chainHash(key) % IPAM_DB_HASH_SIZE;
}

int32_t never4(Ipam4DbNode *, void *) {
    ADD_FAILURE() << "called";
    return 0;
}

class Walk : public DbTest {
protected:
    // Three addresses with an all-zero word share one bucket (886); one
    // without lies in another bucket.
    void SetUp() override {
        DbTest::SetUp();
        for (const char *a : kAddrs) add(addr6(1, a));
        ASSERT_EQ(bucket6("2001:db8::1"), 886u);
        ASSERT_NE(bucket6(kOther), 886u);
    }
    static constexpr const char *kOther = "1:1:1:1:1:1:1:1";
    static constexpr const char *kAddrs[] = {"2001:db8::1", "fe80::1", "1:1:1:1:1:1:1:1",
                                             "2001:db8::2"};
};

}  // namespace

TEST_F(Walk, ResumesBehindAPresentCursorAndAtTheBucketOfAMissingOne) {
    Lines all = {"2001:db8::2", "fe80::1", "2001:db8::1"};
    all.insert(bucket6(kOther) < 886u ? all.begin() : all.end(), kOther);
    int32_t r = 0;
    EXPECT_EQ(walk6(nullptr, &r), all);
    EXPECT_EQ(r, IPAM_WALK_END);

    for (size_t i = 0; i < all.size(); i++) {
        Ipam6AddrInfo cursor = addr6(1, all[i].c_str());
        Lines rest(all.begin() + static_cast<long>(i) + 1, all.end());
        EXPECT_EQ(walk6(&cursor, &r), rest) << all[i];
        EXPECT_EQ(r, IPAM_WALK_END);
    }
    // A changed mask makes the cursor a record that is not stored: the walk
    // resumes at its bucket, revisiting what lay before its old place, and
    // leaves the index as it was.
    Ipam6AddrInfo gone = addr6(1, "fe80::1/16");
    Lines resumed = walk6(&gone);
    ASSERT_GE(resumed.size(), 3u);
    EXPECT_EQ(resumed[0], "2001:db8::2");
    EXPECT_EQ(walk6(nullptr), all);
    EXPECT_EQ(ipam::indexOf<ipam::Addr6Key>().chain.count, 4u);
}

TEST_F(Walk, CallbackStopAnswersFailureAndStoresItsResult) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_DB;
    Visit6 v{{}, 3, 7}, w{{}, 1, -5};
    int32_t status = 0;
    EXPECT_EQ(ipam6_DbAddrWalk(nullptr, visit6, &v, &status), IPAM_ERR_FAIL);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(v.seen.size(), 3u);
    EXPECT_TRUE(log.has("Ipam db call back function return failed 7"));
    EXPECT_EQ(ipam6_DbAddrWalk(nullptr, visit6, &w, nullptr), IPAM_ERR_FAIL);

    // An empty table calls nothing and leaves the status word alone.
    status = 42;
    EXPECT_EQ(ipam_DbAddrWalk(nullptr, never4, nullptr, &status), IPAM_WALK_END);
    EXPECT_EQ(status, 42);
    EXPECT_EQ(ipam_DbAddrWalk(nullptr, nullptr, nullptr, &status), IPAM_ERR_PARAM);
}

TEST_F(Walk, CallbackMayRemoveTheNodeItIsGiven) {
    add(addr4(2, "10.0.0.1/24"));
    Lines before = walk6(nullptr);
    Visit6 v{{}, 0, 0, true};
    EXPECT_EQ(ipam6_DbAddrWalk(nullptr, visit6, &v, nullptr), IPAM_WALK_END);
    EXPECT_EQ(v.seen, before);
    EXPECT_EQ(ipam::indexOf<ipam::Addr6Key>().chain.count, 0u);
    EXPECT_EQ(ifCount(), 1u);  // interface 1 went with its last address
    EXPECT_EQ(ipam_DbAddrWalk(
                  nullptr, [](Ipam4DbNode *n, void *) { return ipam::removeNode<ipam::Fam4>(n); },
                  nullptr, nullptr),
              IPAM_WALK_END);
    EXPECT_EQ(ifCount(), 0u);
}

TEST_F(Walk, RecordWalksHandOutCopiesAndTraceThem) {
    LogCapture log;
    gIpamPubDbg = IPAM_DBG_DB;
    add(addr4(0x1f, "10.0.0.1/24", 0x02));
    add(addr4(0x1f, "10.0.0.2/24"));
    auto scribble = [](Ipam4AddrInfo *r, void *) -> int32_t {
        r->ipAttr = 0x99;
        return 0;
    };
    EXPECT_EQ(ipam4_DbAddrInfoWalkByIf(0x1f, scribble, nullptr), 0);
    EXPECT_EQ(log.texts(),
              (Lines{"Ipam4 db walk ifindex(0x1f) address: 0x0a000001/0xffffff00 attr 0x99",
                     "Ipam4 db walk ifindex(0x1f) address: 0x0a000002/0xffffff00 attr 0x99",
                     "Ipam4 db walk ifindex(0x1f) address over"}));
    auto recs = recordsOf<Ipam4AddrInfo>(0x1f);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].ipAttr, 0x02u);
    EXPECT_EQ(recs[1].ipAddr, ip4("10.0.0.2"));

    log.clear();
    Ipam4AddrInfoWalkFn stop = [](Ipam4AddrInfo *, void *) { return 1; };
    EXPECT_EQ(ipam4_DbAddrInfoWalkByIf(0x1f, stop, nullptr), IPAM_ERR_FAIL);
    char expect[128];
    std::snprintf(expect, sizeof expect,
                  "Ipam4 db walk ifindex(0x1f) address break by caller(%p) failed",
                  reinterpret_cast<void *>(stop));
    EXPECT_EQ(log.texts(), Lines{expect});

    log.clear();
    Ipam6AddrInfoWalkFn stop6 = [](Ipam6AddrInfo *, void *) { return 1; };
    EXPECT_EQ(ipam6_DbAddrInfoWalkByIf(1, stop6, nullptr), IPAM_ERR_FAIL);
    EXPECT_EQ(ipam6_DbAddrInfoWalkByIf(0x1f, stop6, nullptr), 0);  // IPv4 records only
    EXPECT_EQ(ipam6_DbAddrInfoWalkByIf(0x2a, stop6, nullptr), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam4_DbAddrInfoWalkByIf(0x2a, stop, nullptr), IPAM_ERR_NOT_FOUND);
    std::snprintf(expect, sizeof expect,
                  "Ipam6 db walk ifindex(0x1) address break by caller(%p) failed",
                  reinterpret_cast<void *>(stop6));
    // The node walks trace their end but not a stop; an unknown interface
    // answers 0 for IPv4 and 14 for IPv6, untraced.
    auto go = [](Ipam6DbNode *, void *) { return 0; };
    auto halt = [](Ipam6DbNode *, void *) { return 3; };
    EXPECT_EQ(ipam6_DbAddrWalkByIf(1, go, nullptr), 0);
    EXPECT_EQ(ipam6_DbAddrWalkByIf(1, halt, nullptr), 0);
    EXPECT_EQ(ipam_DbAddrWalkByIf(77, never4, nullptr), 0);
    EXPECT_EQ(ipam6_DbAddrWalkByIf(77, go, nullptr), IPAM_ERR_NOT_FOUND);
    EXPECT_EQ(ipam_DbAddrWalkByIf(1, never4, nullptr), 0);  // IPv6 records only
    EXPECT_EQ(log.texts(), (Lines{expect, "Ipam6 db walk ifindex(0x1f) address over",
                                  "Ipam6 db walk ifindex(0x2a) not found address",
                                  "Ipam4 db walk ifindex(0x2a) not found address",
                                  "Ipam6 db walk ifindex(0x1) address over",
                                  "Ipam4 db walk ifindex(0x1) address over"}));
}

// Past 16 nodes per chain a whole-table walk reads the chains ahead of it
// in windows; it must still visit every node once, in index order, from
// the start or from a cursor, and let its callback remove each node.
TEST_F(Walk, LargeTableWalksInIndexOrderWhileReadingAhead) {
    constexpr uint32_t kRecords = 20000;  // about 20 nodes per chain
    for (uint32_t k = 0; k < kRecords; k++) {
        Ipam4AddrInfo r = addr4(1 + k % 64, "10.0.0.0/8");
        r.ipAddr = htonl(0x0a000000u + k);
        add(r);
        if (HasFatalFailure()) return;
    }
    const IpamHashTable *t = &ipam::indexOf<ipam::Addr4Key>().chain;
    std::vector<const Ipam4DbNode *> chainOrder;
    for (IpamHashLink *l = ipam::hashIterFirst(t); l; l = ipam::hashIterNext(t, l))
        chainOrder.push_back(static_cast<const Ipam4DbNode *>(ipam::hashNodeOf(t, l)));
    ASSERT_EQ(chainOrder.size(), kRecords);

    struct Seen {
        std::vector<const Ipam4DbNode *> nodes;
        bool removeEveryThird = false;
    };
    auto note = [](Ipam4DbNode *n, void *u) -> int32_t {
        auto *s = static_cast<Seen *>(u);
        s->nodes.push_back(n);
        if (s->removeEveryThird && s->nodes.size() % 3 == 0) return ipam::removeNode<ipam::Fam4>(n);
        return 0;
    };
    Seen all;
    EXPECT_EQ(ipam_DbAddrWalk(nullptr, note, &all, nullptr), IPAM_WALK_END);
    EXPECT_EQ(all.nodes, chainOrder);

    // An export page resumes behind a record deep inside the table.
    const uint32_t from = kRecords / 2 + 7;
    Seen rest;
    EXPECT_EQ(ipam_DbAddrWalk(&chainOrder[from]->info, note, &rest, nullptr), IPAM_WALK_END);
    EXPECT_EQ(rest.nodes,
              std::vector<const Ipam4DbNode *>(chainOrder.begin() + from + 1, chainOrder.end()));

    Seen sweep{{}, true};
    EXPECT_EQ(ipam_DbAddrWalk(nullptr, note, &sweep, nullptr), IPAM_WALK_END);
    EXPECT_EQ(sweep.nodes, chainOrder);
    EXPECT_EQ(t->count, kRecords - kRecords / 3);
}
