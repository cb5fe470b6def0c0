// The search accelerators beside the four indexes: over random streams with
// many nodes per key they meet same-key nodes exactly as the chains do, also
// across growth, and a growth that cannot allocate changes no answer.
#include <algorithm>
#include <random>

#include "unit/db_fixture.h"

// Fails every allocation of an accelerator table (whole groups of slots and
// the slack that aligns them) while armed; nodes still allocate.
static std::atomic<bool> gFailTables{false};
extern "C" void *__real_malloc(size_t);
extern "C" void *__wrap_malloc(size_t n) {
    const size_t group = sizeof(ipam::AccelGroup);
    if (gFailTables.load() && n > 4 * group && (n - ipam::kAccelSlack) % group == 0) return nullptr;
    return __real_malloc(n);
}

namespace {

using ipam::Fam4;
using ipam::Fam6;
using ipam::IfIndexKey;
using ipam::IfNameKey;

// Every node with the key of `key`, in the order a search meets them.
template <class K>
std::vector<const void *> visits(const typename K::Node &key, bool accelerated) {
    std::vector<const void *> seen;
    auto note = [&](const typename K::Node &n) {
        seen.push_back(&n);
        return false;
    };
    if (accelerated)
        ipam::accelFindIn<K>(ipam::accelOf<K>(), key, note);
    else
        ipam::chainFind<K>(key, note);
    return seen;
}

template <class K>
void expectSameVisits(const typename K::Node &key) {
    ASSERT_TRUE(ipam::accelOf<K>().complete);
    EXPECT_EQ(visits<K>(key, true), visits<K>(key, false)) << K::kName;
}

// Every entry's stored distance from its home is exact, or kAccelFar for
// that far or farther: a removal trusts it without reading the node.
template <class K>
void expectExactDistances() {
    const ipam::Accel &a = ipam::accelOf<K>();
    for (uint32_t g = 0; g < a.groupCount; g++)
        for (uint32_t lane = 0; lane < ipam::kAccelLanes; lane++) {
            const ipam::AccelPos p{g, lane};
            if (ipam::accelTag(a, p) == 0) continue;
            const uint32_t exact = ipam::accelDistance(
                a, ipam::accelPosOf(ipam::accelHashFn<typename K::Key>(ipam::accelNode(a, p)), a),
                p);
            ASSERT_EQ(ipam::accelStoredDistance(a, p), std::min<uint32_t>(exact, ipam::kAccelFar))
                << K::kName << " slot " << ipam::accelSlotNo(p);
        }
}

class Accel : public DbTest {
protected:
    void TearDown() override {
        gFailTables = false;
        DbTest::TearDown();
    }
};

// Few keys, many interfaces and masks: most keys hold several nodes, and the
// tables grow and shrink past their first size. Interface names repeat, so
// the name index holds duplicates too.
TEST_F(Accel, RandomStreamsMeetSameKeyNodesInChainOrder) {
    std::mt19937 rng(7);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const char *v4[] = {"10.0.0.1", "10.0.0.2", "192.168.1.1", "0.0.0.0"};
    const char *v6[] = {"2001:db8::1", "fe80::1", "2001:db8:0:1::1", "::"};
    const char *masks[] = {"/8", "/24", "/32"};
    std::vector<Ipam4AddrInfo> r4;
    std::vector<Ipam6AddrInfo> r6;
    for (int step = 0; step < 1500; step++) {
        const uint32_t ifIndex = 1 + pick(40), vrf = pick(2);
        const bool adding = pick(10) < 6;
        if (pick(2) == 0) {
            if (adding) {
                Ipam4AddrInfo r =
                    addr4(ifIndex, (std::string(v4[pick(4)]) + masks[pick(3)]).c_str(), 0, vrf);
                std::snprintf(r.ifName, sizeof r.ifName, "if%u", ifIndex % 7);
                add(r);
                r4.push_back(r);
            } else if (!r4.empty()) {
                ipam4_DelAddrInfoNode(&r4[pick(static_cast<uint32_t>(r4.size()))]);
            }
        } else {
            if (adding) {
                Ipam6AddrInfo r =
                    addr6(ifIndex, (std::string(v6[pick(4)]) + "/64").c_str(), 0, vrf);
                add(r);
                r6.push_back(r);
            } else if (!r6.empty()) {
                ipam6_DelAddrInfoNode(&r6[pick(static_cast<uint32_t>(r6.size()))]);
            }
        }
        for (uint32_t v = 0; v < 2; v++) {
            for (const char *a : v4) {
                Ipam4DbNode k{};
                k.info.vrfIndex = v;
                k.info.ipAddr = ip4(a);
                expectSameVisits<Fam4>(k);
            }
            for (const char *a : v6) {
                Ipam6DbNode k{};
                k.info.vrfIndex = v;
                std::memcpy(k.info.ip6Addr, a6(a).b, 16);
                expectSameVisits<Fam6>(k);
            }
        }
        for (uint32_t i = 0; i <= 41; i++) {
            IpamIfNode k;
            char name[8];
            std::snprintf(name, sizeof name, "if%u", i % 8);
            ipam::ifKeyInit(&k, i, name);
            expectSameVisits<IfIndexKey>(k);
            expectSameVisits<IfNameKey>(k);
        }
        expectExactDistances<Fam4>();
        expectExactDistances<Fam6>();
        expectExactDistances<IfIndexKey>();
        expectExactDistances<IfNameKey>();
        if (HasFailure()) FAIL() << "step " << step;
    }
    EXPECT_GT(ipam::indexOf<ipam::Addr4Key>().accel.capacity, 64u);
    EXPECT_EQ(ipam::indexOf<ipam::Addr4Key>().accel.count,
              ipam::indexOf<ipam::Addr4Key>().chain.count);
    EXPECT_EQ(ipam::indexOf<ipam::Addr6Key>().accel.count,
              ipam::indexOf<ipam::Addr6Key>().chain.count);
}

// A table holds nodes up to its load limit. Past that a growth that
// cannot allocate goes on at the old size while a spare slot remains, then
// hands the searches back to the chains; the next insertion that can
// allocate rebuilds the table, same-key order included.
TEST_F(Accel, GrowthThatCannotAllocateChangesNoResult) {
    const ipam::Accel &a = ipam::indexOf<ipam::Addr4Key>().accel;
    std::vector<Ipam4AddrInfo> stored;
    auto addAt = [&](uint32_t ifIndex, uint32_t host) {
        Ipam4AddrInfo r = addr4(ifIndex, "10.0.0.0/24");
        r.ipAddr = htonl(0x0a000000u + host);
        add(r);
        stored.push_back(r);
    };
    auto allFound = [&] {
        for (const Ipam4AddrInfo &r : stored) {
            Ipam4DbNode *n = nullptr;
            ASSERT_EQ(ipam4_DbNodeGetByVrfIndexAndIp(0, r.ipAddr, &n), 0);
            ASSERT_EQ(ipam4DbNodeGetByAll(&r)->info.ifIndex, r.ifIndex);
        }
    };
    uint32_t host = 1;
    do addAt(1, host++);
    while (!ipam::accelOverloaded(a.count + 1, a.capacity));
    const uint32_t capacity = a.capacity;

    gFailTables = true;
    for (uint32_t h = 1; a.count + 1 < capacity; h++) addAt(2, h);  // same keys as on interface 1
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.capacity, capacity);
    allFound();
    Ipam4DbNode key{};
    key.info.ipAddr = stored[0].ipAddr;
    expectSameVisits<Fam4>(key);

    addAt(3, 1);
    EXPECT_FALSE(a.complete);
    allFound();
    Ipam4DbNode *first = nullptr;
    ASSERT_EQ(ipam4_DbNodeGetByVrfIndexAndIp(0, stored[0].ipAddr, &first), 0);
    EXPECT_EQ(first->info.ifIndex, 3u) << "the most recent node of the key comes first";
    ASSERT_EQ(ipam4_DelAddrInfoNode(&stored.back()), 0);  // removal without a table
    stored.pop_back();

    gFailTables = false;
    addAt(3, 1);
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.count, capacity);
    EXPECT_GT(a.capacity, capacity);
    allFound();
    expectSameVisits<Fam4>(key);
}

// Growth moves the old table's entries in slot order. A run that wraps
// past the table's end continues at its start, and the nodes of a key that
// sit on both sides of the end must still arrive in their order: several
// nodes of keys whose home is the last slot, then growth.
TEST_F(Accel, GrowthKeepsTheOrderOfARunAcrossTheTableEnd) {
    const ipam::Accel &a = ipam::indexOf<ipam::Addr4Key>().accel;
    add(addr4(1, "10.0.0.0/24"));
    const uint32_t capacity = a.capacity;
    ASSERT_GT(capacity, 0u);
    // Addresses whose home is the table's last slot.
    std::vector<uint32_t> last;
    for (uint32_t host = 1; last.size() < 2; host++) {
        Ipam4DbNode k{};
        k.info.ipAddr = htonl(0x0b000000u + host);
        if (ipam::accelSlotNo(ipam::accelPosOf(ipam::accelHashFn<Fam4>(&k), a)) == capacity - 1)
            last.push_back(k.info.ipAddr);
    }
    for (uint32_t ifIndex = 2; ifIndex < 6; ifIndex++)
        for (uint32_t ip : last) {
            Ipam4AddrInfo r = addr4(ifIndex, "11.0.0.0/8");
            r.ipAddr = ip;
            add(r);
        }
    ASSERT_EQ(a.capacity, capacity);
    ASSERT_NE(ipam::accelTag(a, {0, 0}), 0) << "the run wraps into the first slots";
    for (uint32_t host = 1; a.capacity == capacity; host++) {
        Ipam4AddrInfo r = addr4(1, "12.0.0.0/8");
        r.ipAddr = htonl(0x0c000000u + host);
        add(r);
    }
    for (uint32_t ip : last) {
        Ipam4DbNode key{};
        key.info.ipAddr = ip;
        expectSameVisits<Fam4>(key);
        EXPECT_EQ(visits<Fam4>(key, true).size(), 4u);
    }
    expectExactDistances<Fam4>();
}

// A node whose address leaves the distance bits set cannot be held: the
// table gives up for good (until the database is set up again) rather than
// rebuilding, and failing, on every later insertion.
TEST_F(Accel, NodeWithoutFreeLowBitsTurnsTheTableOff) {
    struct alignas(16) Padded {
        Ipam4DbNode node;
    };
    static Padded nodes[2];
    ipam::Accel a{};
    ipam::accelReset(a);
    auto same = [](const void *, const void *) { return false; };
    void *odd = reinterpret_cast<char *>(&nodes[0].node) + 1;
    ipam::accelAdd(a, &ipam::indexOf<ipam::Addr4Key>().chain, ipam::accelHashFn<Fam4>, same, odd,
                   0);
    EXPECT_FALSE(a.complete);
    EXPECT_EQ(a.capacity, 0u);
    ipam::accelAdd(a, &ipam::indexOf<ipam::Addr4Key>().chain, ipam::accelHashFn<Fam4>, same,
                   &nodes[1].node, 0);
    EXPECT_FALSE(a.complete);
    EXPECT_EQ(a.count, 0u);
    ipam::accelReset(a);
    EXPECT_TRUE(a.complete);
    ipam::accelAdd(a, &ipam::indexOf<ipam::Addr4Key>().chain, ipam::accelHashFn<Fam4>, same,
                   &nodes[1].node, 0);
    EXPECT_GT(a.capacity, 0u) << "a reset table takes its first table again";
    ipam::accelReset(a);
}

}  // namespace
