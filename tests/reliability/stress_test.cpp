// Thread stress: a publisher thread streams batches and single changes
// through the platform's queue, two host threads query and walk, a
// management thread pages through both exports, and the event callback
// queries the library re-entrantly (also from inside the sweep and the
// interface walks, where it holds the database lock). Every record is drawn
// from a fixed universe, so any record an answer carries must be a universe
// record whose attribute differs at most in the validity bits the interface
// messages flip, or takes the attribute of a universe record with the same
// identity (the IPv6 update). Export pages must be in index order.
// Runs under ThreadSanitizer in CI; IPAM_STRESS_ROUNDS sets the amount.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "harness.h"
#include "model.h"
#include "universe.h"

namespace rel {
namespace {

#if defined(IPAM_REL_TSAN)
constexpr uint64_t kRounds = 300;
#elif defined(IPAM_REL_SHORT)
constexpr uint64_t kRounds = 40;
#else
constexpr uint64_t kRounds = 200;
#endif
constexpr uint32_t kModule = 78;

// Universe records with every attribute the stream can leave them with,
// validity bits cleared, as byte strings.
struct Allowed {
    template <class Info>
    static std::string key(const Info &r) { return std::string(reinterpret_cast<const char *>(&r), sizeof r); }

    std::vector<Ipam4AddrInfo> u4;
    std::vector<Ipam6AddrInfo> u6;
    std::set<std::string> ok4, ok6;

    Allowed() {
        Universe u;
        Rng rng(7);
        for (int i = 0; i < 24; i++) u4.push_back(u.rand4(rng));
        for (int i = 0; i < 24; i++) u6.push_back(u.rand6(rng));
        for (const auto &r : u4) ok4.insert(key(cleared(r)));
        for (const auto &a : u6)
            for (const auto &b : u6)
                if (Model::sameIgnoringAttr<F6>(a, b)) {
                    Ipam6AddrInfo r = a;
                    r.ip6Attr = b.ip6Attr;
                    ok6.insert(key(cleared(r)));
                }
    }
    template <class Info>
    static Info cleared(Info r) {
        FamilyOf<Info>::attr(r) &= ~0x60u;
        return r;
    }
    template <class Info>
    bool allowed(const Info &r) const {
        return (std::is_same_v<Info, Ipam4AddrInfo> ? ok4 : ok6).count(key(cleared(r))) != 0;
    }
};

const Allowed &universe() {
    static const Allowed a;
    return a;
}

std::atomic<uint32_t> g_violations{0};  // 32-bit: lock-free on the target
std::atomic<uint32_t> g_answers{0};
std::mutex g_firstLock;
std::string g_first;

void violation(const std::string &what) {
    if (g_violations.fetch_add(1) == 0) {
        std::lock_guard<std::mutex> g(g_firstLock);
        g_first = what;
    }
}

template <class Info>
void checkRecord(const char *where, int32_t result, const Info &r, std::initializer_list<int32_t> results) {
    g_answers.fetch_add(1, std::memory_order_relaxed);
    bool known = false;
    for (int32_t x : results) known |= x == result;
    if (!known) violation(std::string(where) + ": unexpected result " + std::to_string(result));
    else if (result == 0 && !universe().allowed(r)) violation(std::string(where) + ": foreign record " + describe(r));
}

// Re-entrant queries from the host callback.
int32_t onEvent(uint32_t code, void *record) {
    size_t n = recordSize(code);
    Ipam4AddrInfo r4, o4;
    Ipam6AddrInfo r6, o6;
    if (n && !record) {
        violation("event without record");
    } else if (n == sizeof r4) {
        checkRecord("event", 0, *static_cast<Ipam4AddrInfo *>(std::memcpy(&r4, record, n)), {0});
        checkRecord("IPAM4_GetAddrInfo in callback", IPAM4_GetAddrInfo(r4.vrfIndex, r4.ipAddr, &o4), o4,
                    {0, -1, IPAM_ERR_NOT_FOUND, IPAM_ERR_NOT_SUBSCRIBED});
    } else if (n == sizeof r6) {
        checkRecord("event", 0, *static_cast<Ipam6AddrInfo *>(std::memcpy(&r6, record, n)), {0});
        checkRecord("IPAM6_GetAddrInfoByIfIndexAndIfAddr in callback",
                    IPAM6_GetAddrInfoByIfIndexAndIfAddr(r6.ifIndex, r6.ip6Addr, &o6), o6,
                    {0, IPAM_ERR_NOT_FOUND, IPAM_ERR_NOT_SUBSCRIBED});
    }
    return 0;
}

void publisher(uint64_t rounds) {
    const Allowed &u = universe();
    Rng rng(11);
    for (uint64_t round = 0; round < rounds; round++) {
        ipamplat_pub_post_start();
        for (const auto &r : u.u4)
            if (rng.chance(70)) ipamplat_pub_post_send(IPAM4_EVT_BATCH, sizeof r, &r);
        for (const auto &r : u.u6)
            if (rng.chance(70)) ipamplat_pub_post_send(IPAM6_EVT_BATCH, sizeof r, &r);
        ipamplat_pub_post_end();
        for (int i = 0; i < 12; i++) {
            switch (rng.below(7)) {
            case 0: ipamplat_pub_post_send(IPAM4_EVT_ADD, 60, &rng.pick(u.u4)); break;
            case 1: ipamplat_pub_post_send(IPAM4_EVT_DEL, 60, &rng.pick(u.u4)); break;
            case 2: ipamplat_pub_post_send(IPAM6_EVT_ADD, 100, &rng.pick(u.u6)); break;
            case 3: ipamplat_pub_post_send(IPAM6_EVT_DEL, 100, &rng.pick(u.u6)); break;
            case 4: ipamplat_pub_post_send(IPAM6_EVT_UPDATE, 100, &rng.pick(u.u6)); break;
            default: {
                static const int32_t codes[] = {IPAM4_EVT_IF_VALID, IPAM4_EVT_IF_INVALID, IPAM6_EVT_IF_VALID,
                                                IPAM6_EVT_IF_INVALID};
                uint32_t ifIndex = 1 + rng.below(5);
                ipamplat_pub_post_send(codes[rng.below(4)], 4, &ifIndex);
            }
            }
        }
        if (round % 8 == 7) ipamplat_pub_drain();
    }
    ipamplat_pub_drain();
}

// A walk gives only universe records of its own interface.
template <class Info>
void checkWalk(uint32_t ifIndex) {
    std::vector<Info> w;
    int32_t r = walk(ifIndex, &w);
    if (r != 0 && r != IPAM_ERR_NOT_FOUND) violation("walk " + std::to_string(r));
    for (const auto &x : w) {
        checkRecord("walk", 0, x, {0});
        if (x.ifIndex != ifIndex) violation("walk gave another interface's record");
    }
}

void host(uint64_t seed, const std::atomic<bool> &done) {
    const Allowed &u = universe();
    Universe names;
    Rng rng(seed);
    const std::initializer_list<int32_t> lookup{0, IPAM_ERR_NOT_FOUND, IPAM_ERR_NOT_SUBSCRIBED};
    while (!done.load()) {
        uint32_t ifIndex = 1 + rng.below(6);
        Ipam4AddrInfo o4;
        Ipam6AddrInfo o6;
        switch (rng.below(8)) {
        case 0: {
            int32_t c = IPAM4_IsIpAddrConfigured(ifIndex);
            if (c != 0 && c != 1) violation("IPAM4_IsIpAddrConfigured " + std::to_string(c));
            break;
        }
        case 1: {
            int32_t r = IPAM4_GetAddrInfoByIfIndex(ifIndex, &o4);
            checkRecord("IPAM4_GetAddrInfoByIfIndex", r, o4, lookup);
            if (r == 0 && !(o4.ipAttr & IPAM4_ATTR_PRIMARY)) violation("primary lookup without the primary bit");
            break;
        }
        case 2: {
            std::string n = rng.pick(names.names(ifIndex));
            checkRecord("IPAM4_GetAddrInfoByIfName", IPAM4_GetAddrInfoByIfName(n.c_str(), &o4), o4, lookup);
            checkRecord("IPAM6_GetAddrInfoByIfName", IPAM6_GetAddrInfoByIfName(n.c_str(), &o6), o6, lookup);
            break;
        }
        case 3: {
            const auto &r = rng.pick(u.u4);
            checkRecord("IPAM4_GetAddrInfo", IPAM4_GetAddrInfo(r.vrfIndex, r.ipAddr, &o4), o4,
                        {0, -1, IPAM_ERR_NOT_FOUND, IPAM_ERR_NOT_SUBSCRIBED});
            break;
        }
        case 4: {
            const auto &r = rng.pick(u.u6);
            checkRecord("IPAM6_GetAddrInfo", IPAM6_GetAddrInfo(r.vrfIndex, r.ip6Addr, &o6), o6, lookup);
            checkRecord("IPAM6_GetAddrInfoByIfIndexAndAddr",
                        IPAM6_GetAddrInfoByIfIndexAndAddr(ifIndex, r.ip6Addr, &o6), o6, lookup);
            break;
        }
        case 5: checkWalk<Ipam4AddrInfo>(ifIndex); break;
        case 6: checkWalk<Ipam6AddrInfo>(ifIndex); break;
        default: {
            uint32_t count = 0;
            ipam_AddrInfoNumGet(&count);
            if (count > 5) violation("interface count " + std::to_string(count));
        }
        }
    }
}

// A page must be one consistent view: in index order (buckets ascending)
// and of the universe. The next page resumes behind its last record.
template <class F>
void pageStep(Rng &rng, std::optional<typename F::Info> &cursor) {
    int32_t limit = static_cast<int32_t>(1 + rng.below(5));
    std::vector<typename F::Info> page;
    int32_t r = exportTable(cursor ? &*cursor : nullptr, limit, &page);
    g_answers.fetch_add(1, std::memory_order_relaxed);
    if (r != 0 && r != IPAM_CMF_END) violation("export answered " + std::to_string(r));
    if (static_cast<int32_t>(page.size()) > limit) violation("export page too long");
    for (size_t i = 0; i < page.size(); i++) {
        if (!universe().allowed(page[i])) violation("export: foreign record " + describe(page[i]));
        if (i && F::bucket(page[i]) < F::bucket(page[i - 1])) violation("export page out of index order");
    }
    if (r != 0 || page.empty()) cursor.reset();
    else cursor = page.back();
}

void manager(const std::atomic<bool> &done) {
    Rng rng(5);
    std::optional<Ipam4AddrInfo> c4;
    std::optional<Ipam6AddrInfo> c6;
    while (!done.load()) {
        if (rng.chance(50)) pageStep<F4>(rng, c4);
        else pageStep<F6>(rng, c6);
    }
}

TEST(StressTest, ConcurrentPublisherHostsAndManagement) {
    uint64_t rounds = envNumber("IPAM_STRESS_ROUNDS", kRounds);
    universe();
    ASSERT_EQ(IPAM_SubscribeEvent(3, kModule, 0xccd8 | IPAM6_EVT_UPDATE | IPAM_EVT_RELAY, onEvent), 0);
    std::atomic<bool> done{false};
    std::thread h1(host, 1, std::cref(done)), h2(host, 2, std::cref(done)), m(manager, std::cref(done));
    std::thread p(publisher, rounds);
    p.join();
    done = true;
    h1.join();
    h2.join();
    m.join();
    EXPECT_EQ(ipam_IsSubscrib(), 1);
    EXPECT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    EXPECT_EQ(g_violations.load(), 0u) << "first: " << g_first;
    std::printf("stress: %llu publisher rounds, %llu answers checked, %llu violations\n",
                static_cast<unsigned long long>(rounds), static_cast<unsigned long long>(g_answers.load()),
                static_cast<unsigned long long>(g_violations.load()));
}

// Hosts keep querying while another host thread subscribes, fills and
// unsubscribes: answers are refusals or sound records, never a fault, and
// ThreadSanitizer sees no race on the database's set-up.
TEST(StressTest, QueriesWhileSubscriptionComesAndGoes) {
    std::atomic<bool> done{false};
    std::thread h1(host, 3, std::cref(done)), h2(host, 4, std::cref(done));
    const Allowed &u = universe();
    for (int cycle = 0; cycle < 30; cycle++) {
        ASSERT_EQ(IPAM_SubscribeEvent(3, kModule, 0xccd8, onEvent), 0);
        ipamplat_pub_post_start();
        for (const auto &r : u.u4) ipamplat_pub_post_send(IPAM4_EVT_BATCH, sizeof r, &r);
        for (const auto &r : u.u6) ipamplat_pub_post_send(IPAM6_EVT_BATCH, sizeof r, &r);
        ipamplat_pub_post_end();
        if (cycle % 2) ipamplat_pub_drain();
        ASSERT_EQ(IPAM_UnSubscribeEvent(kModule), 0);
    }
    done = true;
    h1.join();
    h2.join();
    EXPECT_EQ(g_violations.load(), 0u) << "first: " << g_first;
}

}  // namespace
}  // namespace rel
