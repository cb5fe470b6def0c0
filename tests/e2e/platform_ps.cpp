// The stand-in platform's publish/subscribe service and publisher thread.
#include <gtest/gtest.h>
#include <linux/tipc.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ipam_platform.h"
#include "platform/ps.h"

namespace {

// What the subscriber's callbacks saw; the callbacks are plain functions, so
// the state is file-wide.
struct Seen {
    std::mutex mu;
    std::vector<int32_t> codes; // start -1, end -2, messages their code
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<std::thread::id> threads;
    std::atomic<bool> inside{false};
    std::atomic<bool> overlap{false};
    std::atomic<bool> after_fini{false};
    std::atomic<bool> fini_returned{false};
    std::atomic<bool> fini_from_callback{false};
    std::atomic<bool> reinit_from_callback{false};
    std::atomic<bool> hold{false}; /* code 98 waits while set */
};
Seen *g_seen;

void note(int32_t code, uint32_t length, const void *payload) {
    if (g_seen->inside.exchange(true))
        g_seen->overlap = true;
    if (g_seen->fini_returned)
        g_seen->after_fini = true;
    {
        std::lock_guard<std::mutex> g(g_seen->mu);
        g_seen->codes.push_back(code);
        const auto *p = static_cast<const uint8_t *>(payload);
        g_seen->payloads.emplace_back(p, p ? p + length : p);
        g_seen->threads.push_back(std::this_thread::get_id());
    }
    g_seen->inside = false;
}
int32_t on_start() {
    note(-1, 0, nullptr);
    return 11;
}
int32_t on_end();
int32_t on_dispatch(int32_t code, uint32_t length, const void *payload);
const PS_SUB_CALLBACKS kCallbacks = {on_start, on_dispatch, on_end};

int32_t on_dispatch(int32_t code, uint32_t length, const void *payload) {
    note(code, length, payload);
    while (code == 98 && g_seen->hold)
        std::this_thread::yield();
    if (code == 99 && g_seen->fini_from_callback) {
        PS_SubscriberFini(7, 198, nullptr); // must not deadlock
        if (g_seen->reinit_from_callback) {
            uint8_t addr[16] = {};
            PS_SubscriberInit(0x56, 7, 198, 0, reinterpret_cast<const sockaddr_tipc *>(addr),
                              &kCallbacks);
        }
    }
    return code + 1000;
}
int32_t on_end() {
    note(-2, 0, nullptr);
    return 22;
}

class PlatformPs : public ::testing::Test {
  protected:
    void SetUp() override {
        ipamplat_reset();
        g_seen = &seen;
        std::memset(&addr, 0, sizeof addr);
        addr.family = AF_TIPC;
        addr.addrtype = TIPC_ADDR_NAME;
        addr.addr.name.name.type = 0x7fff00c6;
        addr.addr.name.name.instance = 0x7ffc0001;
    }
    void TearDown() override {
        PS_SubscriberFini(7, 198, &addr);
        ipamplat_pub_drain();
        ipamplat_reset();
        g_seen = nullptr;
    }
    void subscribe() {
        PS_SUB_CALLBACKS cb = kCallbacks; // a temporary: the service must copy it
        ASSERT_EQ(PS_SubscriberInit(0x55, 7, 198, 0x1f, &addr, &cb), 0);
        std::memset(&cb, 0, sizeof cb);
    }
    Seen seen;
    sockaddr_tipc addr;
};

TEST_F(PlatformPs, CallbacksRunInOrderOnOnePublisherThreadWithCopiedPayloads) {
    subscribe();
    uint8_t payload[60];
    std::memset(payload, 0xab, sizeof payload);
    EXPECT_EQ(ipamplat_pub_start(), 11);
    EXPECT_EQ(ipamplat_pub_send(8, sizeof payload, payload), 1008);
    ipamplat_pub_post_send(16, sizeof payload, payload);
    std::memset(payload, 0, sizeof payload); // after posting: the copy is delivered
    ipamplat_pub_post_send(5, 0, nullptr);
    ipamplat_pub_post_end();
    ipamplat_pub_drain();
    EXPECT_EQ(ipamplat_pub_end(), 22);

    std::lock_guard<std::mutex> g(seen.mu);
    EXPECT_EQ(seen.codes, (std::vector<int32_t>{-1, 8, 16, 5, -2, -2}));
    EXPECT_EQ(seen.payloads[2], std::vector<uint8_t>(60, 0xab));
    EXPECT_TRUE(seen.payloads[3].empty());
    for (auto id : seen.threads) {
        EXPECT_EQ(id, seen.threads[0]);
        EXPECT_NE(id, std::this_thread::get_id());
    }
    EXPECT_FALSE(seen.overlap);
}

TEST_F(PlatformPs, NoSubscriberAnswersNoPeerAndPostsAreDropped) {
    EXPECT_EQ(ipamplat_pub_start(), IPAMPLAT_NO_PEER);
    subscribe();
    sockaddr_tipc other = addr; // ends the registration whatever the address
    other.addr.name.name.instance = 3;
    EXPECT_EQ(PS_SubscriberFini(8, 198, &other), 0);
    EXPECT_EQ(ipamplat_pub_start(), IPAMPLAT_NO_PEER);
    EXPECT_EQ(ipamplat_pub_send(8, 0, nullptr), IPAMPLAT_NO_PEER);
    ipamplat_pub_post_end();
    ipamplat_pub_drain();
    std::lock_guard<std::mutex> g(seen.mu);
    EXPECT_TRUE(seen.codes.empty());
}

TEST_F(PlatformPs, QueuedDeliveriesDoNotReachALaterSubscriber) {
    subscribe();
    for (int i = 0; i < 200; ++i)
        ipamplat_pub_post_send(i, 0, nullptr);
    PS_SubscriberFini(7, 198, &addr);
    seen.fini_returned = true;
    subscribe(); // a new registration must not receive the old queue
    seen.fini_returned = false;
    ipamplat_pub_drain();
    EXPECT_EQ(ipamplat_pub_send(500, 0, nullptr), 1500);
    std::lock_guard<std::mutex> g(seen.mu);
    ASSERT_FALSE(seen.codes.empty());
    EXPECT_EQ(seen.codes.back(), 500);
    for (size_t i = 0; i + 1 < seen.codes.size(); ++i)
        EXPECT_EQ(seen.codes[i], static_cast<int32_t>(i)); // a prefix of the old stream
}

TEST_F(PlatformPs, FiniRacingAStreamOfPostsStopsEveryCallback) {
    for (int round = 0; round < 20; ++round) {
        subscribe();
        seen.fini_returned = false;
        std::atomic<bool> stop{false};
        std::thread poster([&] {
            while (!stop)
                ipamplat_pub_post_send(1, 0, nullptr);
        });
        while (ipamplat_pub_send(2, 0, nullptr) == IPAMPLAT_NO_PEER)
            ;
        PS_SubscriberFini(7, 198, &addr);
        seen.fini_returned = true;
        ipamplat_pub_post_send(3, 0, nullptr);
        stop = true;
        poster.join();
        ipamplat_pub_drain();
        EXPECT_FALSE(seen.after_fini) << "round " << round;
    }
    EXPECT_FALSE(seen.overlap);
}

TEST_F(PlatformPs, FiniFromInsideACallbackReturnsAndStopsTheRest) {
    subscribe();
    seen.fini_from_callback = true;
    ipamplat_pub_post_send(99, 0, nullptr);
    ipamplat_pub_post_send(100, 0, nullptr);
    ipamplat_pub_drain();
    {
        std::lock_guard<std::mutex> g(seen.mu);
        EXPECT_EQ(seen.codes, std::vector<int32_t>{99});
    }

    // Deliveries queued for a registration that ended never reach the next
    // one, even when it starts before they are taken off the queue.
    // Code 98 holds the publisher thread until 99 and 101 are both queued.
    subscribe();
    seen.reinit_from_callback = true;
    seen.hold = true;
    ipamplat_pub_post_send(98, 0, nullptr);
    ipamplat_pub_post_send(99, 0, nullptr);
    ipamplat_pub_post_send(101, 0, nullptr);
    seen.hold = false;
    ipamplat_pub_drain();
    seen.fini_from_callback = false;
    EXPECT_EQ(ipamplat_pub_send(102, 0, nullptr), 1102); // the new registration is live
    std::lock_guard<std::mutex> g(seen.mu);
    EXPECT_EQ(seen.codes, (std::vector<int32_t>{99, 98, 99, 102}));
}

void hook_delivers(void *ctx) {
    *static_cast<int32_t *>(ctx) = ipamplat_pub_start();
}

TEST_F(PlatformPs, InitHookRunsBeforeInitReturnsAndFaultsRegisterNothing) {
    int32_t from_hook = 0;
    ipamplat_ps_set_init_hook(hook_delivers, &from_hook);
    subscribe();
    EXPECT_EQ(from_hook, 11);
    PS_SubscriberFini(7, 198, &addr);

    ipamplat_fault_set(IPAMPLAT_F_PS_INIT, 0, 1, -3);
    from_hook = 0;
    EXPECT_EQ(PS_SubscriberInit(1, 7, 198, 0, &addr, &kCallbacks), -3);
    EXPECT_EQ(from_hook, 0);
    ipamplat_ps_registration r;
    ipamplat_ps_get_registration(&r);
    EXPECT_EQ(r.active, 0);
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_PS_INIT), 2u);

    subscribe();
    ipamplat_fault_set(IPAMPLAT_F_PS_FINI, 0, 1, -4);
    EXPECT_EQ(PS_SubscriberFini(7, 198, &addr), -4);
    EXPECT_EQ(ipamplat_pub_start(), 11); // still registered
    ipamplat_reset();                     // keeps the registration, drops the hook
    ipamplat_ps_get_registration(&r);
    EXPECT_EQ(r.active, 1);
    EXPECT_EQ(r.initCalls, 0u);
}

} // namespace
