// The stand-in platform the other tests drive the library through: its
// re-entrant lock, publisher thread, management requests, client channel and
// fault arming.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/tipc.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipam_platform.h"
#include "platform/cmf.h"
#include "platform/gnl_sem.h"
#include "platform/ps.h"
#include "platform/scs.h"

namespace {

// What the subscriber's callbacks saw (they are plain functions): start -1,
// end -2, messages their code.
struct Seen {
    std::mutex mu;
    std::vector<int32_t> codes;
    std::vector<std::thread::id> threads;
    std::atomic<bool> after_fini{false}, fini_returned{false}, fini_inside{false}, hold{false};
} * g_seen;

void note(int32_t code) {
    g_seen->after_fini = g_seen->after_fini || g_seen->fini_returned;
    std::lock_guard<std::mutex> g(g_seen->mu);
    g_seen->codes.push_back(code);
    g_seen->threads.push_back(std::this_thread::get_id());
}
int32_t on_start() { return note(-1), 11; }
int32_t on_end() { return note(-2), 22; }
int32_t on_dispatch(int32_t code, uint32_t, const void *);
const PS_SUB_CALLBACKS kCallbacks = {on_start, on_dispatch, on_end};
int32_t on_dispatch(int32_t code, uint32_t, const void *) {
    note(code);
    while (code == 98 && g_seen->hold) std::this_thread::yield();
    if (code == 99 && g_seen->fini_inside) {
        PS_SubscriberFini(7, 198, nullptr);  // must not deadlock
        uint8_t addr[16] = {};
        PS_SubscriberInit(0x56, 7, 198, 0, reinterpret_cast<const sockaddr_tipc *>(addr),
                          &kCallbacks);
    }
    return code + 1000;
}

class Platform : public ::testing::Test {
protected:
    void SetUp() override { ipamplat_reset(), g_seen = &seen; }
    void TearDown() override {
        PS_SubscriberFini(7, 198, nullptr);
        ipamplat_pub_drain();
        ipamplat_reset();
        g_seen = nullptr;
    }
    void subscribe() {
        sockaddr_tipc addr{};
        addr.family = AF_TIPC;
        PS_SUB_CALLBACKS cb = kCallbacks;  // a temporary: the service must copy it
        ASSERT_EQ(PS_SubscriberInit(0x55, 7, 198, 0x1f, &addr, &cb), 0);
        std::memset(&cb, 0, sizeof cb);
    }
    std::vector<int32_t> codes() {
        std::lock_guard<std::mutex> g(seen.mu);
        return seen.codes;
    }
    Seen seen;
};

TEST_F(Platform, LockReentersForItsHolderAndBlocksOthersUntilFullyReleased) {
    gnl_sem_t sem{0};
    ASSERT_EQ(gnl_sem_mutex_init("test", &sem), 0);
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
    std::atomic<int> stage{0};
    std::thread other([&] {
        EXPECT_EQ(gnl_sem_give(&sem), -1);     // not the holder
        EXPECT_EQ(gnl_sem_take(&sem, 5), -1);  // a positive timeout gives up
        stage = 1;
        EXPECT_EQ(gnl_sem_take(&sem, 0), 0);
        stage = 2, gnl_sem_give(&sem);
    });
    while (stage.load() == 0) std::this_thread::yield();
    // Not a timing assertion: the other thread cannot pass while we hold it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(gnl_sem_give(&sem), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stage.load(), 1);  // still held once
    EXPECT_EQ(gnl_sem_give(&sem), 0);
    other.join();
    EXPECT_EQ(stage.load(), 2);
}

// Re-initialising a lock that another thread holds must not let a second
// thread in beside it; only a hold that can never end (its give refused by
// an injected fault) is dropped, so that the next set-up can go on.
TEST_F(Platform, ReinitialisingALockKeepsALiveHoldAndDropsAnAbandonedOne) {
    gnl_sem_t sem{0};
    ASSERT_EQ(gnl_sem_mutex_init("test", &sem), 0);
    std::atomic<int> stage{0};
    std::thread holder([&] {
        EXPECT_EQ(gnl_sem_take(&sem, 0), 0);
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield();
        EXPECT_EQ(gnl_sem_give(&sem), 0);
    });
    while (stage.load() != 1) std::this_thread::yield();
    EXPECT_EQ(gnl_sem_mutex_init("test", &sem), 0);
    EXPECT_EQ(gnl_sem_take(&sem, 5), -1);  // still the holder's
    stage = 2;
    holder.join();
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
    EXPECT_EQ(gnl_sem_give(&sem), 0);

    std::thread leaver([&] {
        EXPECT_EQ(gnl_sem_take(&sem, 0), 0);
        ipamplat_fault_set(IPAMPLAT_F_SEM_GIVE, 0, 1, -3);
        EXPECT_EQ(gnl_sem_give(&sem), -3);  // the hold can never end now
    });
    leaver.join();
    EXPECT_EQ(gnl_sem_take(&sem, 5), -1);
    EXPECT_EQ(gnl_sem_mutex_init("test", &sem), 0);
    ASSERT_EQ(gnl_sem_take(&sem, 5), 0);
    EXPECT_EQ(gnl_sem_give(&sem), 0);
}

TEST_F(Platform, CallbacksRunInOrderOnOnePublisherThread) {
    EXPECT_EQ(ipamplat_pub_start(), IPAMPLAT_NO_PEER);
    subscribe();
    EXPECT_EQ(ipamplat_pub_start(), 11);
    EXPECT_EQ(ipamplat_pub_send(8, 0, nullptr), 1008);
    ipamplat_pub_post_send(16, 0, nullptr);
    ipamplat_pub_post_end();
    ipamplat_pub_drain();
    EXPECT_EQ(ipamplat_pub_end(), 22);
    EXPECT_EQ(codes(), (std::vector<int32_t>{-1, 8, 16, -2, -2}));
    for (auto id : seen.threads) {
        EXPECT_EQ(id, seen.threads[0]);
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST_F(Platform, FiniEndsOnlyTheRegisteredModule) {
    subscribe();
    EXPECT_EQ(PS_SubscriberFini(8, 198, nullptr), -1);
    EXPECT_EQ(PS_SubscriberFini(7, 199, nullptr), -1);
    EXPECT_EQ(ipamplat_pub_send(8, 0, nullptr), 1008);  // still delivered
    ipamplat_ps_registration r;
    ipamplat_ps_get_registration(&r);
    EXPECT_EQ(r.active, 1);
    EXPECT_EQ(r.finiCalls, 2u);
    EXPECT_EQ(PS_SubscriberFini(7, 198, nullptr), 0);
    EXPECT_EQ(ipamplat_pub_send(9, 0, nullptr), IPAMPLAT_NO_PEER);
    EXPECT_EQ(PS_SubscriberFini(7, 198, nullptr), 0);  // nothing left to end
    EXPECT_EQ(codes(), (std::vector<int32_t>{8}));
}

TEST_F(Platform, NoCallbackAfterFiniEvenRacingAStreamOfPosts) {
    for (int round = 0; round < 20; ++round) {
        subscribe();
        seen.fini_returned = false;
        std::atomic<bool> stop{false};
        std::thread poster([&] {
            while (!stop) ipamplat_pub_post_send(1, 0, nullptr);
        });
        while (ipamplat_pub_send(2, 0, nullptr) == IPAMPLAT_NO_PEER)
            ;
        PS_SubscriberFini(7, 198, nullptr);
        seen.fini_returned = true;
        ipamplat_pub_post_send(3, 0, nullptr);
        stop = true;
        poster.join();
        ipamplat_pub_drain();
        EXPECT_FALSE(seen.after_fini) << "round " << round;
    }
}

TEST_F(Platform, FiniFromInsideACallbackStopsTheQueueForTheNextRegistration) {
    // Code 98 holds the publisher thread until 99 and 101 are both queued;
    // 99 ends the registration and starts a new one, which must not receive
    // 101.
    subscribe();
    seen.fini_inside = true;
    seen.hold = true;
    ipamplat_pub_post_send(98, 0, nullptr);
    ipamplat_pub_post_send(99, 0, nullptr);
    ipamplat_pub_post_send(101, 0, nullptr);
    seen.hold = false;
    ipamplat_pub_drain();
    seen.fini_inside = false;
    EXPECT_EQ(ipamplat_pub_send(102, 0, nullptr), 1102);  // the new registration is live
    EXPECT_EQ(codes(), (std::vector<int32_t>{98, 99, 102}));
}

// The management handler: decodes everything, then encodes three words.
std::vector<int32_t> g_encoded;
std::vector<std::string> g_decoded;
int32_t g_past_end;
int32_t handler(void *ctx) {
    int32_t id, len;
    void *data;
    while (CMF_ServerParamDecode(ctx, &id, &len, &data) == 0)
        g_decoded.push_back(
            std::to_string(id) + ":" +
            (data ? std::string(static_cast<const char *>(data), static_cast<size_t>(len))
                  : "null"));
    g_past_end = CMF_ServerParamDecode(ctx, &id, &len, &data);
    for (int32_t i = 0; i < 3; ++i) {
        uint32_t word = 0x01020304u + static_cast<uint32_t>(i);
        g_encoded.push_back(CMF_ServerParamEncode(ctx, i, sizeof word, &word));
    }
    return 13;
}

TEST_F(Platform, ManagementRequestDecodesToTheEndAndStopsStoringAtTheLimit) {
    ASSERT_EQ(CMF_ServerModCallbackReg(198, handler), 0);
    std::string cursor = "cursor";
    ipamplat_cmf_param params[2] = {{0, 6, cursor.data()}, {6, 0, nullptr}};
    ipamplat_cmf_request req{2, 0, 2, params, 2, 4};
    ipamplat_cmf_reply *reply = nullptr;
    g_decoded.clear();
    g_encoded.clear();
    ASSERT_EQ(ipamplat_cmf_send(&req, &reply), 13);
    EXPECT_EQ(g_decoded, (std::vector<std::string>{"0:cursor", "6:null"}));
    EXPECT_EQ(g_past_end, -1);
    EXPECT_EQ(g_encoded, (std::vector<int32_t>{0, 0, 4}));
    ASSERT_EQ(ipamplat_cmf_reply_count(reply), 2u);
    int32_t id = -1, len = -1;
    const void *data = nullptr;
    uint32_t word;
    ASSERT_EQ(ipamplat_cmf_reply_param(reply, 1, &id, &len, &data), 0);
    ASSERT_EQ(len, 4);
    EXPECT_EQ((std::memcpy(&word, data, 4), word), 0x01020305u);
    EXPECT_EQ(ipamplat_cmf_reply_param(reply, 2, nullptr, nullptr, nullptr), -1);
    ipamplat_cmf_reply_free(reply);
    ASSERT_EQ(CMF_ServerModCallbackUnreg(198), 0);
    EXPECT_EQ(ipamplat_cmf_send(&req, nullptr), IPAMPLAT_NO_PEER);
}

TEST_F(Platform, ChannelAnswersFromItsScriptAndRecordsTheBody) {
    ipamplat_scs_script s;
    ipamplat_scs_get_script(&s);
    s.sendResult = -4;
    s.replyErrCode = -5;
    ipamplat_scs_set_script(&s);
    uint8_t body[104];
    for (int i = 0; i < 104; ++i) body[i] = static_cast<uint8_t>(i + 1);
    SCS_MSG msg;
    ASSERT_EQ(SCS_ClientFillMsg(3, sizeof body, body, &msg), 0);
    EXPECT_EQ(SCS_ClientSendMsg(0x77, &msg), -4);
    EXPECT_EQ(SCS_ClientRecvMsg(0x77, 3, &msg), 1);
    int16_t err = 0;
    uint32_t w1 = 9, w2 = 9, type = 0;
    EXPECT_EQ(SCS_ClientParseMsg(&msg, 0, &err, &w1, &w2), 1);
    EXPECT_EQ(err, -5);
    uint8_t got[200];
    ASSERT_EQ(ipamplat_scs_sent_count(), 1u);
    EXPECT_EQ(ipamplat_scs_sent(0, &type, got, sizeof got), 104);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(std::memcmp(got, body, sizeof body), 0);
}

TEST_F(Platform, ArmedFaultSkipsThenFailsAndEveryCallIsCounted) {
    gnl_sem_t a{0}, b{0};
    ipamplat_fault_set(IPAMPLAT_F_SEM_INIT, 1, 1, -7);
    EXPECT_EQ(gnl_sem_mutex_init("a", &a), 0);
    EXPECT_EQ(gnl_sem_mutex_init("b", &b), -7);
    EXPECT_EQ(b.id, 0u);  // the failed call did nothing
    EXPECT_EQ(gnl_sem_mutex_init("b", &b), 0);
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_SEM_INIT), 3u);
}

// Cross-process mode, in a scratch run directory of its own.
class CrossProcess : public Platform {
protected:
    void SetUp() override {
        Platform::SetUp();
        char tmpl[] = "/tmp/ipam-platform-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("IPAM_PLATFORM_RUNDIR", tmpl, 1);
    }
    void TearDown() override {
        // In-process again before the reset, which reads the variable: the
        // next test, whichever it is, starts in-process.
        unsetenv("IPAM_PLATFORM_RUNDIR");
        Platform::TearDown();
        rmdir(dir.c_str());
    }
    int32_t init() {
        sockaddr_tipc addr{};
        return PS_SubscriberInit(0x55, 7, 198, 0x1f, &addr, &kCallbacks);
    }
    std::string dir;
};

TEST_F(CrossProcess, ALinkThatCouldNeverBeWokenIsNotStarted) {
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0;
    while (fcntl(static_cast<int>(none.rlim_cur), F_GETFD) != -1) ++none.rlim_cur;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);  // no descriptor left for its wake-up pipe
    const int32_t r = init();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(r, -1);
    ipamplat_ps_registration reg;
    ipamplat_ps_get_registration(&reg);
    EXPECT_EQ(reg.active, 0);
}

TEST_F(CrossProcess, AnUnsafeRunDirectoryFailsTheSubscriptionAndTheClient) {
    ASSERT_EQ(chmod(dir.c_str(), 0770), 0);
    EXPECT_EQ(init(), -1);
    SCS_CLIENT_DESC desc{};
    sockaddr_tipc server{};
    desc.server = &server;
    uint32_t handle = 0;
    EXPECT_EQ(SCS_ClientInit(&desc, &handle), -1);
    ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    EXPECT_EQ(init(), 0);
}

TEST_F(CrossProcess, SetAddressBodiesAreNotKept) {
    SCS_CLIENT_DESC desc{};
    sockaddr_tipc server{};
    desc.server = &server;
    uint32_t handle = 0;
    ASSERT_EQ(SCS_ClientInit(&desc, &handle), 0);
    uint8_t body[64] = {};
    SCS_MSG msg;
    ASSERT_EQ(SCS_ClientFillMsg(3, sizeof body, body, &msg), 0);
    EXPECT_EQ(SCS_ClientSendMsg(handle, &msg), -1);  // no server listens
    EXPECT_EQ(ipamplat_scs_sent_count(), 0u);
    // The client keeps its server across a platform reset, as a library's
    // registration stays: opened again in-process, it leaves no socket path
    // to the tests that run after this one.
    unsetenv("IPAM_PLATFORM_RUNDIR");
    ASSERT_EQ(SCS_ClientInit(&desc, &handle), 0);
}

int32_t idle_handler(void *) { return 0; }

TEST_F(CrossProcess, RacingRegistrationsLeaveTheListenerTheLastStateAsksFor) {
    const std::string sock = dir + "/cmf-" + std::to_string(getpid()) + ".sock";
    for (int round = 0; round < 200; ++round) {
        std::thread reg([] { CMF_ServerModCallbackReg(198, idle_handler); });
        std::thread unreg([] { CMF_ServerModCallbackUnreg(198); });
        reg.join();
        unreg.join();
        struct stat st;
        const bool listening = stat(sock.c_str(), &st) == 0;
        ASSERT_EQ(listening, ipamplat_cmf_registered() == 1) << "round " << round;
    }
    CMF_ServerModCallbackUnreg(198);
}

// A publisher played by the test, byte for byte as docs/wire.md gives it:
// frames of a 12-byte big-endian header, several to a packet.
void put_frame(std::vector<uint8_t> &packet, uint8_t type, uint32_t word, uint32_t length) {
    const uint8_t head[12] = {0x49,
                              0x50,
                              2,
                              type,
                              uint8_t(word >> 24),
                              uint8_t(word >> 16),
                              uint8_t(word >> 8),
                              uint8_t(word),
                              uint8_t(length >> 24),
                              uint8_t(length >> 16),
                              uint8_t(length >> 8),
                              uint8_t(length)};
    packet.insert(packet.end(), head, head + 12);
    packet.resize(packet.size() + length);  // a record of zeros
}

// Accepts the next subscriber within 5 s, reads its registration and sends
// it a batch of `records` IPv4 records in one packet; the connection, or
// -1 when any of that failed.
int serve_batch(int lfd, int records) {
    pollfd p{lfd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return -1;
    const int fd = accept(lfd, nullptr, nullptr);
    uint8_t hello[64];
    p = {fd, POLLIN, 0};
    std::vector<uint8_t> packet;
    put_frame(packet, 2, 0, 0);
    for (int i = 0; i < records; ++i) put_frame(packet, 3, 0x4, 60);
    put_frame(packet, 4, 0, 0);
    if (fd >= 0 && poll(&p, 1, 5000) == 1 && recv(fd, hello, sizeof hello, 0) == 32 &&
        send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size()))
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// Callbacks for a publisher process: the first batch's end unsubscribes
// and subscribes again from inside the callback.
std::atomic<int> g_inside{0};
std::atomic<bool> g_overlap{false};
int32_t xp_note(int32_t code) {
    if (g_inside.fetch_add(1) != 0) g_overlap = true;
    note(code);
    g_inside.fetch_sub(1);
    return 0;
}
int32_t xp_start() { return xp_note(-1); }
int32_t xp_dispatch(int32_t code, uint32_t, const void *) {
    xp_note(code);
    while (code == 98 && g_seen->hold) std::this_thread::yield();
    return 0;
}
int32_t xp_end();
const PS_SUB_CALLBACKS kXpCallbacks = {xp_start, xp_dispatch, xp_end};
int32_t xp_end() {
    xp_note(-2);
    if (g_seen->fini_inside.exchange(false)) {
        PS_SubscriberFini(7, 198, nullptr);
        sockaddr_tipc addr{};
        PS_SubscriberInit(0x56, 7, 198, 0x1f, &addr, &kXpCallbacks);
    }
    return 0;
}

// A publisher's socket the test listens on, and a subscription whose first
// batch's end subscribes again from inside the callback.
class PublisherProcess : public CrossProcess {
protected:
    void SetUp() override {
        CrossProcess::SetUp();
        path = dir + "/tipc-00000000-00000000.sock";
        lfd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        std::strcpy(sun.sun_path, path.c_str());
        ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
        ASSERT_EQ(listen(lfd, 4), 0);
        seen.fini_inside = true;
        sockaddr_tipc addr{};
        ASSERT_EQ(PS_SubscriberInit(0x55, 7, 198, 0x1f, &addr, &kXpCallbacks), 0);
    }
    void TearDown() override {
        PS_SubscriberFini(7, 198, nullptr);
        for (int fd : {first, second, lfd})
            if (fd >= 0) close(fd);
        unlink(path.c_str());
        CrossProcess::TearDown();
    }
    // Both batches served, and the callbacks saw `want` (within 5 s).
    void expectCodes(const std::vector<int32_t> &want) {
        EXPECT_GE(first, 0);
        EXPECT_GE(second, 0);
        for (int i = 0; i < 500 && codes() != want; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(codes(), want);
    }
    std::string path;
    int lfd = -1, first = -1, second = -1;
};

TEST_F(PublisherProcess, FramesRunOneAtATimeAndACallbackMaySubscribeAgain) {
    first = serve_batch(lfd, 3);
    second = serve_batch(lfd, 1);  // the registration made inside the callback
    expectCodes({-1, 4, 4, 4, -2, -1, 4, -2});
    EXPECT_FALSE(g_overlap);
}

// The same while the publisher thread is busy: the reader queues its run
// and waits for it, and the callback that subscribes again starts a new
// link while the old one's thread is still waiting below it.
TEST_F(PublisherProcess, ACallbackMaySubscribeAgainWhenItsRunWasQueued) {
    seen.hold = true;
    ipamplat_pub_post_send(98, 0, nullptr);  // holds the publisher thread
    first = serve_batch(lfd, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader queues its run
    seen.hold = false;
    second = serve_batch(lfd, 1);
    expectCodes({98, -1, 4, 4, 4, -2, -1, 4, -2});
}

}  // namespace
