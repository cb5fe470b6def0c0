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
};

bool stored(const Ipam4AddrInfo &r) { return ipam4DbNodeGetByAll(&r) != nullptr; }
uint32_t bucket(const Ipam4AddrInfo &r) {
    Ipam4DbNode key;
    std::memset(&key, 0, sizeof key);
    key.info = r;
    return ipam4VrfIpHashCompute(&key) % IPAM_DB_HASH_SIZE;
}

// One page behind `cursor` (from the start when null): the records and the
// handler's result; a page that does not end the table is full.
template <class Info>
std::vector<Info> page(uint32_t object, const Info *cursor, int32_t *result) {
    std::vector<Encoded> out;
    *result = MgmtTest::sendParam(object, 0, 0, cursor ? sizeof *cursor : 0, cursor, &out, kPage, 4);
    auto got = MgmtTest::records<Info>(out);
    if (*result != IPAM_CMF_END) {
        EXPECT_EQ(*result, 0);
        EXPECT_EQ(got.size(), static_cast<size_t>(kPage));
    }
    return got;
}

template <class Fam>
void expectEveryRecordOnce(int count) {
    std::set<std::string> all;
    for (int i = 0; i < count; ++i) {
        typename Fam::Info r = Fam::make(i);
        ASSERT_EQ(Fam::add(r), 0);
        all.insert(describe(r));
    }
    std::multiset<std::string> seen;
    typename Fam::Info cursor;
    int32_t r = 0;
    for (int pages = 0; pages <= count; ++pages) {
        auto got = page<typename Fam::Info>(Fam::kObject, pages ? &cursor : nullptr, &r);
        for (const auto &g : got) seen.insert(describe(g));
        if (r != 0 || got.empty()) break;
        cursor = got.back();
    }
    EXPECT_EQ(r, IPAM_CMF_END);
    EXPECT_EQ(seen, std::multiset<std::string>(all.begin(), all.end()));
}

using Paging = MgmtTest;

TEST_F(Paging, UnchangedTableComesWholeAndEachRecordOnce) {
    expectEveryRecordOnce<Family4>(600);
}

// Between pages records are deleted (the page's cursor among them now and
// then) and new ones added. A record present throughout must come at least
// once; nothing that was never stored may come; a record comes again only on
// a page whose cursor had been deleted, from the cursor's own bucket, where
// the walk resumes.
TEST_F(Paging, ChangesBetweenPagesLoseNothingAndRepeatOnlyBehindAMissingCursor) {
    constexpr int kCount = 600;
    std::set<std::string> initial, everStored, deleted, seen;
    for (int i = 0; i < kCount; ++i) {
        Ipam4AddrInfo r = Family4::make(i);
        ASSERT_EQ(Family4::add(r), 0);
        initial.insert(describe(r));
    }
    everStored = initial;
    auto drop = [&](const Ipam4AddrInfo &r) {
        if (!stored(r)) return;
        ASSERT_EQ(ipam4_DelAddrInfoNode(&r), 0);
        deleted.insert(describe(r));
    };
    int missingCursorPages = 0;
    Ipam4AddrInfo cursor;
    int32_t r = 0;
    for (int n = 0; n < 10000 && r == 0; ++n) {
        if (n > 0 && n % 3 == 0) drop(cursor);
        drop(Family4::make((n * 97) % kCount));
        Ipam4AddrInfo fresh = Family4::make(kCount + n);
        ASSERT_EQ(Family4::add(fresh), 0);
        everStored.insert(describe(fresh));

        bool missing = n > 0 && !stored(cursor);
        missingCursorPages += missing ? 1 : 0;
        auto got = page<Ipam4AddrInfo>(IPAM_CMF_OBJ_ADDR4_TABLE, n ? &cursor : nullptr, &r);
        for (const Ipam4AddrInfo &g : got) {
            std::string d = describe(g);
            EXPECT_TRUE(everStored.count(d)) << "never stored: " << d;
            if (!seen.insert(d).second) {
                EXPECT_TRUE(missing && bucket(g) == bucket(cursor)) << "repeated on page " << n << ": " << d;
            }
        }
        ASSERT_TRUE(r == IPAM_CMF_END || !got.empty());
        if (!got.empty()) cursor = got.back();
    }
    EXPECT_EQ(r, IPAM_CMF_END);
    for (const std::string &d : initial) EXPECT_TRUE(deleted.count(d) || seen.count(d)) << "lost: " << d;
    EXPECT_GT(missingCursorPages, 10);
}

}  // namespace
