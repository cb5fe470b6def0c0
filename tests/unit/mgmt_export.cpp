// Paging through tables of several hundred records with a small page, with
// and without changes between the pages.
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "db/addr.h"
#include "mgmt_fixture.h"
#include "support/records.h"

using ipamtest::addr4;
using ipamtest::addr6;
using ipamtest::describe;

namespace {

constexpr int32_t kPage = 7;

struct Family4 {
    using Info = Ipam4AddrInfo;
    static constexpr uint32_t kObject = IPAM_CMF_OBJ_ADDR4_TABLE;
    static Info make(int i) {
        std::string a = "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1/24";
        return addr4(1 + i % 13, a.c_str(), 0, i % 3);
    }
    static int32_t add(const Info &r) { return ipam4_AddAddrInfoNode(&r, 0); }
    static int32_t del(const Info &r) { return ipam4_DelAddrInfoNode(&r); }
    static bool stored(const Info &r) { return ipam4DbNodeGetByAll(&r) != nullptr; }
    static uint32_t bucket(const Info &r) {
        Ipam4DbNode key;
        std::memset(&key, 0, sizeof key);
        key.info = r;
        return ipam4VrfIpHashCompute(&key) % IPAM_DB_HASH_SIZE;
    }
};

struct Family6 {
    using Info = Ipam6AddrInfo;
    static constexpr uint32_t kObject = IPAM_CMF_OBJ_ADDR6_TABLE;
    static Info make(int i) {
        char a[64];
        std::snprintf(a, sizeof a, "2001:db8:%x:%x::1/64", i / 100 + 1, i % 100 + 1);
        return addr6(1 + i % 11, a, 0, i % 2);
    }
    static int32_t add(const Info &r) { return ipam6_AddAddrInfoNode(&r, 0); }
};

// Pages through the whole table; every record received, in order.
template <class Fam>
std::vector<std::string> pageThrough(int *pages) {
    std::vector<std::string> seen;
    typename Fam::Info cursor;
    bool haveCursor = false;
    for (*pages = 0;; ++*pages) {
        std::vector<Encoded> out;
        int32_t r = MgmtTest::sendParam(Fam::kObject, 0, 0, haveCursor ? sizeof cursor : 0,
                                        haveCursor ? &cursor : nullptr, &out, kPage, 4);
        auto got = MgmtTest::records<typename Fam::Info>(out);
        for (const auto &g : got) seen.push_back(describe(g));
        if (r == IPAM_CMF_END) break;
        EXPECT_EQ(r, 0);
        EXPECT_EQ(got.size(), static_cast<size_t>(kPage));
        if (got.empty() || *pages > 10000) break;
        cursor = got.back();
        haveCursor = true;
    }
    return seen;
}

template <class Fam>
void expectEveryRecordOnce(int count) {
    std::set<std::string> stored;
    for (int i = 0; i < count; ++i) {
        typename Fam::Info r = Fam::make(i);
        ASSERT_EQ(Fam::add(r), 0);
        stored.insert(describe(r));
    }
    int pages = 0;
    std::vector<std::string> seen = pageThrough<Fam>(&pages);
    EXPECT_EQ(seen.size(), stored.size());
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), stored);
    EXPECT_GE(pages, count / kPage);
}

using Paging = MgmtTest;

TEST_F(Paging, UnchangedTableComesWholeAndEachRecordOnce) {
    expectEveryRecordOnce<Family4>(600);
    expectEveryRecordOnce<Family6>(450);
}

// Between pages records are deleted (the page's cursor among them now and
// then) and new ones added. A record present throughout must come at least
// once; nothing that was never stored may come; a record comes again only on
// a page whose cursor had been deleted, from the cursor's own bucket, where
// the walk resumes.
TEST_F(Paging, ChangesBetweenPagesLoseNothingAndRepeatOnlyBehindAMissingCursor) {
    constexpr int kCount = 600;
    std::map<std::string, Ipam4AddrInfo> everStored;
    std::set<std::string> deleted;
    for (int i = 0; i < kCount; ++i) {
        Ipam4AddrInfo r = Family4::make(i);
        ASSERT_EQ(Family4::add(r), 0);
        everStored[describe(r)] = r;
    }
    std::set<std::string> initial;
    for (const auto &kv : everStored) initial.insert(kv.first);

    std::set<std::string> seen;
    int repeats = 0, missingCursorPages = 0;
    Ipam4AddrInfo cursor;
    bool haveCursor = false;
    for (int page = 0; page < 10000; ++page) {
        if (haveCursor && page % 3 == 0 && Family4::stored(cursor)) {
            ASSERT_EQ(Family4::del(cursor), 0);
            deleted.insert(describe(cursor));
        }
        Ipam4AddrInfo victim = Family4::make((page * 97) % kCount);
        if (Family4::stored(victim)) {
            ASSERT_EQ(Family4::del(victim), 0);
            deleted.insert(describe(victim));
        }
        Ipam4AddrInfo fresh = Family4::make(kCount + page);
        ASSERT_EQ(Family4::add(fresh), 0);
        everStored[describe(fresh)] = fresh;

        bool missing = haveCursor && !Family4::stored(cursor);
        missingCursorPages += missing ? 1 : 0;
        std::vector<Encoded> out;
        int32_t r = sendParam(IPAM_CMF_OBJ_ADDR4_TABLE, 0, 0, haveCursor ? sizeof cursor : 0,
                              haveCursor ? &cursor : nullptr, &out, kPage, 4);
        auto got = records<Ipam4AddrInfo>(out);
        for (const Ipam4AddrInfo &g : got) {
            std::string d = describe(g);
            EXPECT_TRUE(everStored.count(d)) << "never stored: " << d;
            if (!seen.insert(d).second) {
                ++repeats;
                EXPECT_TRUE(missing && Family4::bucket(g) == Family4::bucket(cursor))
                    << "repeated on page " << page << ": " << d;
            }
        }
        if (r == IPAM_CMF_END) break;
        ASSERT_EQ(r, 0);
        ASSERT_FALSE(got.empty());
        cursor = got.back();
        haveCursor = true;
    }
    for (const std::string &d : initial) {
        if (deleted.count(d) == 0) {
            EXPECT_TRUE(seen.count(d)) << "lost: " << d;
        }
    }
    EXPECT_GT(missingCursorPages, 10);
    RecordProperty("repeats", repeats);
}

}  // namespace
