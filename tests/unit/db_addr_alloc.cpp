// Running out of memory at each allocation of an insertion: the result and
// error line of the failure, the database unchanged, nothing kept. Walks and
// re-adding a stored record allocate nothing.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "unit/db_fixture.h"

// Fails only the `gFailNth`-th allocation after arming (1-based; 0 disarms)
// and counts what stays allocated. calloc counts too: optimising compilers
// turn a malloc followed by clearing into calloc.
static std::atomic<int> gFailNth{0};
static std::atomic<int> gCalls{0};
static std::atomic<int> gLive{0};
extern "C" void *__real_malloc(size_t);
extern "C" void __real_free(void *);
extern "C" void *__wrap_malloc(size_t n) {
    if (gFailNth.load() > 0 && ++gCalls == gFailNth.load()) return nullptr;
    void *p = __real_malloc(n);
    if (p) ++gLive;
    return p;
}
extern "C" void *__real_calloc(size_t, size_t);
extern "C" void *__wrap_calloc(size_t n, size_t size) {
    if (gFailNth.load() > 0 && ++gCalls == gFailNth.load()) return nullptr;
    void *p = __real_calloc(n, size);
    if (p) ++gLive;
    return p;
}
extern "C" void __wrap_free(void *p) {
    if (p) --gLive;
    __real_free(p);
}

namespace {

// The log lines, kept without allocating while the allocator is rigged.
struct ErrLines {
    int count = 0;
    char last[128] = {0};
};

class Alloc : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        ipamplat_log_set_sink(
            [](void *ctx, uint32_t, const char *, uint32_t level, uint32_t, const char *text) {
                auto *e = static_cast<ErrLines *>(ctx);
                if (level != 3) return;
                e->count++;
                const char *body = std::strchr(text, ')');
                std::snprintf(e->last, sizeof e->last, "%s", body ? body + 1 : text);
            },
            &errs);
    }
    void TearDown() override {
        gFailNth = 0;
        ipamplat_log_set_sink(nullptr, nullptr);
        DbTest::TearDown();
    }
    // Runs `op` with the nth allocation failing: its result, and the balance
    // of allocations it left behind.
    template <class Op>
    int32_t withFailure(int nth, Op op, int *leftLive, int *calls = nullptr) {
        gCalls = 0;
        int live = gLive;
        gFailNth = nth > 0 ? nth : 1 << 30;
        int32_t r = op();
        gFailNth = 0;
        *leftLive = gLive - live;
        if (calls) *calls = gCalls;
        return r;
    }
    ErrLines errs;
};

// The stored state that a failed insertion must leave as it was.
std::vector<uint32_t> snapshot() {
    return {ifCount(), gIpamVrfIpHash.count, gIpam6VrfIpHash.count, gIpamIfNameHash.count,
            static_cast<uint32_t>(recordsOf<Ipam4AddrInfo>(5).size()),
            static_cast<uint32_t>(recordsOf<Ipam6AddrInfo>(5).size())};
}

}  // namespace

TEST_F(Alloc, EachInsertionFailureLeavesNothingBehind) {
    Ipam4AddrInfo r4 = addr4(5, "10.0.0.1/24");
    Ipam6AddrInfo r6 = addr6(5, "2001:db8::1/64"), second6 = addr6(5, "2001:db8::2/64");
    auto add4 = [&] { return ipam4_AddAddrInfoNode(&r4, 1); };
    auto add6 = [&] { return ipam6_AddAddrInfoNode(&r6, 1); };
    auto add6b = [&] { return ipam6_AddAddrInfoNode(&second6, 1); };
    struct Case {
        std::function<int32_t()> op;
        int nth;
        const char *line;  // null: the insertion succeeds
        int kept;
    };
    // First address of an interface: the address node (1st), the interface
    // node (2nd). Then an interface that exists: the address node only.
    for (const Case &c : {Case{add4, 1, "Ipam db malloc ipam db node failed", 0},
                          Case{add4, 2, "Ipam db malloc ipam db node failed", 0},
                          Case{add6, 1, "Ipam6 db malloc ipam db node failed", 0},
                          Case{add6, 2, "Ipam6 db malloc ipam db node failed", 0},
                          Case{add4, 0, nullptr, 2},
                          Case{add6b, 1, "Ipam6 db malloc ipam db node failed", 0},
                          Case{add6b, 2, nullptr, 1}}) {
        SCOPED_TRACE(std::to_string(c.nth) + (c.line ? c.line : " succeeds"));
        std::vector<uint32_t> before = snapshot();
        errs = ErrLines{};
        int left = 0, calls = 0;
        EXPECT_EQ(withFailure(c.nth, c.op, &left, &calls), c.line ? -1 : 0);
        EXPECT_EQ(left, c.kept);
        EXPECT_EQ(errs.count, c.line ? 1 : 0);
        if (c.line) {
            EXPECT_STREQ(errs.last, c.line);
            EXPECT_EQ(snapshot(), before);
        } else if (c.nth == 0) {
            EXPECT_EQ(calls, 2);
        }
    }
}

TEST_F(Alloc, StoredRecordsUpdatesWalksAndRemovalsAllocateNothing) {
    Ipam4AddrInfo r4 = addr4(5, "10.0.0.1/24");
    Ipam6AddrInfo r6 = addr6(5, "2001:db8::1/64"), gone = addr6(5, "2001:db8::9/64");
    add(r4);
    add(r6);
    auto keep4 = [](Ipam4DbNode *, void *) { return 0; };
    auto keep6 = [](Ipam6DbNode *, void *) { return 0; };
    auto copy4 = [](Ipam4AddrInfo *, void *) { return 0; };
    int left = 0, calls = 0;
    int32_t r = withFailure(
        0,
        [&] {
            return ipam4_AddAddrInfoNode(&r4, 2) | ipam6_AddAddrInfoNode(&r6, 2) |
                   ipam6_UpdAddrInfoNode(&r6, 3) |
                   (ipam_DbAddrWalk(&r4, keep4, nullptr, nullptr) + 2) |
                   (ipam6_DbAddrWalk(&gone, keep6, nullptr, nullptr) + 2) |
                   ipam_DbAddrWalkByIf(5, keep4, nullptr) | ipam6_DbAddrWalkByIf(5, keep6, nullptr) |
                   ipam4_DbAddrInfoWalkByIf(5, copy4, nullptr);
        },
        &left, &calls);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(left, 0);
    // Removing the last two addresses frees the nodes and the interface.
    EXPECT_EQ(withFailure(0, [&] { return ipam4_DelAddrInfoNode(&r4) | ipam6_DelAddrInfoNode(&r6); },
                          &left, &calls), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(left, -3);
    EXPECT_EQ(errs.count, 0);
}
