// The database core: the four hash functions, the intrusive index, set-up
// and tear-down, and the re-entrant lock.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "db/db.h"
#include "ipam_platform.h"
#include "support/log_capture.h"
#include "unit/db_fixture.h"

// Fails the malloc calls numbered from `gFailAt` (1-based, counted from the
// arming) on; 0 disarms.
static std::atomic<int> gFailAt{0};
static std::atomic<int> gMallocCalls{0};
extern "C" void *__real_malloc(size_t);
extern "C" void *__wrap_malloc(size_t n) {
    if (gFailAt.load() > 0 && ++gMallocCalls >= gFailAt.load()) return nullptr;
    return __real_malloc(n);
}
static void failMallocFrom(int nth) {
    gMallocCalls = 0;
    gFailAt = nth;
}

namespace {

IpamIfNode ifKey(uint32_t ifIndex, const char *name) {
    IpamIfNode k;
    ipam::ifKeyInit(&k, ifIndex, name);
    return k;
}

Ipam4DbNode v4Key(uint32_t vrf, const char *dotted) {
    Ipam4DbNode n{};
    n.info.vrfIndex = vrf;
    inet_pton(AF_INET, dotted, &n.info.ipAddr);
    return n;
}

Ipam6DbNode v6Key(uint32_t vrf, const char *text) {
    Ipam6DbNode n{};
    n.info.vrfIndex = vrf;
    inet_pton(AF_INET6, text, n.info.ip6Addr);
    return n;
}

class DbCore : public ::testing::Test {
protected:
    void SetUp() override {
        resetLibrary();
        ASSERT_EQ(ipam_DbInit(), 0);
    }
    void TearDown() override {
        failMallocFrom(0);
        resetLibrary();
    }
};

}  // namespace

// The hash values are part of the replica's observable order (walks and the
// management export), so they must be the same on every host byte order.
TEST(Hash, KnownValuesOnEveryByteOrder) {
    IpamIfNode i0 = ifKey(0, ""), i1 = ifKey(1, ""), abc = ifKey(0, "abc"),
               twelve = ifKey(0, "abcdefghijkl");
    // The IPv6 hash ANDs the four words: any all-zero word folds the address
    // into the VRF's one bucket.
    Ipam4DbNode a = v4Key(0, "10.0.0.1"), z = v4Key(0, "0.0.0.0");
    Ipam6DbNode g = v6Key(0, "2001:db8::1"), ll = v6Key(0, "fe80::1");
    Ipam6DbNode full = v6Key(0, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    const std::vector<uint32_t> got = {
        ipam::IfIndexKey::chainHash(i0),    ipam::IfIndexKey::chainHash(i1),
        ipam::IfNameKey::chainHash(i0),     ipam::IfNameKey::chainHash(abc),
        ipam::IfNameKey::chainHash(twelve), ipam::Addr4Key::chainHash(a),
        ipam::Addr4Key::chainHash(z),       ipam::Addr6Key::chainHash(g),
        ipam::Addr6Key::chainHash(ll)};
    EXPECT_EQ(
        got, (std::vector<uint32_t>{0x4280042au, 0x2b0fbb4bu, 0x4280042au, 0x37ce4504u, 0x1b23f069u,
                                    0x4c828a3bu, 0xc846d376u, 0xc846d376u, 0xc846d376u}));
    EXPECT_EQ(ipam::IfIndexKey::chainHash(i1) % IPAM_DB_HASH_SIZE, 843u);
    EXPECT_NE(ipam::Addr6Key::chainHash(full), 0xc846d376u);
}

TEST(Hash, NameHashCoversEveryTailLength) {
    // Names of 0..39 characters must hash through every tail branch and the
    // 12-byte loop without reading past the terminator.
    const char *alphabet = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    std::vector<uint32_t> seen;
    for (size_t len = 0; len < IPAM_IFNAME_SIZE; len++) {
        IpamIfNode k{};
        std::memcpy(k.ifName, alphabet, len);
        uint32_t h = ipam::IfNameKey::chainHash(k);
        for (uint32_t s : seen) EXPECT_NE(s, h) << "length " << len;
        seen.push_back(h);
    }
}

TEST_F(DbCore, IndexKeepsChainsLinkedThroughInsertAndRemove) {
    // Three nodes in one bucket: newest first; removing the middle one and
    // the head must keep the chain and the count right.
    IpamHashTable *t = &ipam::indexOf<ipam::Addr4Key>().chain;
    Ipam4DbNode n[3] = {v4Key(0, "10.0.0.1"), v4Key(0, "10.0.0.1"), v4Key(0, "10.0.0.1")};
    for (auto &node : n) ipam::hashInsert(t, &node);
    EXPECT_EQ(t->count, 3u);
    Ipam4DbNode key = v4Key(0, "10.0.0.1");
    EXPECT_EQ(ipam::hashFindFirst(t, &key), &n[2]);
    EXPECT_EQ(ipam::hashFindNext(t, &n[2]), &n[1]);
    EXPECT_EQ(ipam::hashFindNext(t, &n[1]), &n[0]);
    EXPECT_EQ(ipam::hashFindNext(t, &n[0]), nullptr);

    ipam::hashRemove(t, &n[1]);
    EXPECT_EQ(ipam::hashFindNext(t, &n[2]), &n[0]);
    EXPECT_EQ(n[0].hashLink.prev, &n[2].hashLink);
    ipam::hashRemove(t, &n[2]);
    EXPECT_EQ(ipam::hashFindFirst(t, &key), &n[0]);
    EXPECT_EQ(n[0].hashLink.prev, nullptr);
    ipam::hashRemove(t, &n[0]);
    EXPECT_EQ(t->count, 0u);
    EXPECT_EQ(ipam::hashIterFirst(t), nullptr);
}

TEST_F(DbCore, SetUpFailureRollsBackAndNamesTheIndex) {
    ipam_DbUnInit();
    struct {
        int failingAlloc;
        const char *line;
    } const cases[] = {
        {1, "Ipam db init ipam hash table by ifIndex is the key failed"},
        {2, "Ipam db init ipam hash table by ifIndex is the key failed"},
        {3, "Ipam db init ipam hash table by vrfIndex and ip address are the keys failed"},
        {4, "Ipam db init ipam hash table by ifIndex is the key failed"},
    };
    for (const auto &c : cases) {
        LogCapture log;
        failMallocFrom(c.failingAlloc);
        EXPECT_EQ(ipam_DbInit(), -1);
        failMallocFrom(0);
        EXPECT_EQ(log.texts(), std::vector<std::string>{c.line}) << c.failingAlloc;
        for (IpamHashTable *t :
             {&ipam::indexOf<ipam::IfIndexKey>().chain, &ipam::indexOf<ipam::IfNameKey>().chain,
              &ipam::indexOf<ipam::Addr4Key>().chain, &ipam::indexOf<ipam::Addr6Key>().chain})
            EXPECT_EQ(t->magic, 0u);
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines()[0].level * 10 + log.lines()[0].logClass, 31u);
        EXPECT_EQ(log.lines()[0].moduleId, IPAM_MODULE_ID);
    }
    // A refused semaphore rolls back all four indexes too.
    LogCapture log;
    ipamplat_fault_set(IPAMPLAT_F_SEM_INIT, 0, 1, -1);
    EXPECT_EQ(ipam_DbInit(), -1);
    EXPECT_TRUE(log.has("Ipam db failed to create ipam database semaphore"));
    EXPECT_EQ(ipam::indexOf<ipam::Addr4Key>().chain.magic, 0u);
    ipamplat_fault_clear_all();
    ASSERT_EQ(ipam_DbInit(), 0);
}

TEST_F(DbCore, LockIsReentrantAndExcludesOtherThreads) {
    std::atomic<bool> otherGotIt{false};
    ipamDbLock();
    ipamDbLock();  // nested take by the holder succeeds at once
    std::thread other([&] {
        ipamDbLock();
        otherGotIt = true;
        ipamDbUnlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(otherGotIt.load());
    ipamDbUnlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(otherGotIt.load());  // still held once
    ipamDbUnlock();
    other.join();
    EXPECT_TRUE(otherGotIt.load());
}

TEST_F(DbCore, LockFailuresAreLoggedAndTheCallerGoesOn) {
    LogCapture log;
    ipamplat_fault_set(IPAMPLAT_F_SEM_TAKE, 0, 1, -1);
    ipamplat_fault_set(IPAMPLAT_F_SEM_GIVE, 0, 1, -1);
    uint32_t count = 7;
    ipam_AddrInfoNumGet(&count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"Ipam db failed to lock.", "Ipam db failed to unlock."}));
    ipamplat_fault_clear_all();
}

TEST_F(DbCore, InterfaceNamesAreCutTo39CharactersAndFoundSo) {
    // A name filling all 40 bytes: the node's copy is terminated, and a
    // lookup name that differs only after its 39th character finds it.
    ipam::Scope scope;
    std::string full(IPAM_IFNAME_SIZE, 'x');
    IpamIfNode k = ifKey(3, full.c_str());
    IpamIfNode *n = ipamGetAddrIfNode(&k);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::strlen(n->ifName), 39u);
    std::string longer(45, 'x');
    longer[40] = 'y';
    EXPECT_EQ(ipam4DbNodeGetByIfName(longer.c_str()), &n->addr4List);
    ipam::ifNodeReleaseIfEmpty(n);
}
