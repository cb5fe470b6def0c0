// The stand-in platform's re-entrant semaphores.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ipam_platform.h"
#include "platform/gnl_sem.h"

namespace {

class PlatformSem : public ::testing::Test {
  protected:
    void SetUp() override {
        ipamplat_reset();
        ASSERT_EQ(gnl_sem_mutex_init("test", &sem), 0);
        ASSERT_NE(sem.id, 0u);
    }
    void TearDown() override { ipamplat_reset(); }
    // Another thread's take with `timeout`, given back at once on success.
    int32_t takeElsewhere(uint32_t timeout) {
        int32_t r = 0;
        std::thread([&] {
            r = gnl_sem_take(&sem, timeout);
            if (r == 0) {
                EXPECT_EQ(gnl_sem_give(&sem), 0);
            }
        }).join();
        return r;
    }
    gnl_sem_t sem{0};
};

TEST_F(PlatformSem, HolderReentersAndOthersWaitUntilFullyReleased) {
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0); // nested: at once
    std::atomic<int> stage{0};
    std::thread other([&] {
        stage = 1;
        EXPECT_EQ(gnl_sem_take(&sem, 0), 0);
        stage = 2;
        EXPECT_EQ(gnl_sem_give(&sem), 0);
    });
    while (stage.load() == 0)
        std::this_thread::yield();
    // Not a timing assertion: the other thread cannot pass while we hold it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stage.load(), 1);
    EXPECT_EQ(gnl_sem_give(&sem), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stage.load(), 1); // still held once
    EXPECT_EQ(gnl_sem_give(&sem), 0);
    other.join();
    EXPECT_EQ(stage.load(), 2);
}

TEST_F(PlatformSem, TimeoutNonHolderAndUnknownHandlesFail) {
    EXPECT_EQ(gnl_sem_give(&sem), -1); // nobody holds it
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
    EXPECT_EQ(takeElsewhere(5), -1); // a positive timeout gives up
    std::thread([&] { EXPECT_EQ(gnl_sem_give(&sem), -1); }).join();
    EXPECT_EQ(gnl_sem_give(&sem), 0);
    EXPECT_EQ(takeElsewhere(1000), 0);

    gnl_sem_t zero{0}, bogus{0x7fffffff};
    for (gnl_sem_t *s : {&zero, &bogus, static_cast<gnl_sem_t *>(nullptr)}) {
        EXPECT_EQ(gnl_sem_take(s, 0), -1);
        EXPECT_EQ(gnl_sem_give(s), -1);
    }
    EXPECT_EQ(gnl_sem_mutex_init("x", nullptr), -1);
}

TEST_F(PlatformSem, ReinitReusesTheSlotAndFreesIt) {
    const uint32_t id = sem.id;
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(gnl_sem_mutex_init("again", &sem), 0);
    EXPECT_EQ(sem.id, id);
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
    ASSERT_EQ(gnl_sem_mutex_init("again", &sem), 0); // back to free
    EXPECT_EQ(takeElsewhere(1000), 0);
    gnl_sem_t second{0};
    ASSERT_EQ(gnl_sem_mutex_init("second", &second), 0);
    EXPECT_NE(second.id, 0u);
    EXPECT_NE(second.id, id);
}

TEST_F(PlatformSem, FaultedTakeAndGiveChangeNothing) {
    ipamplat_fault_set(IPAMPLAT_F_SEM_TAKE, 0, 1, -5);
    EXPECT_EQ(gnl_sem_take(&sem, 0), -5);
    EXPECT_EQ(gnl_sem_give(&sem), -1); // the failed take did not lock it
    ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
    ipamplat_fault_set(IPAMPLAT_F_SEM_GIVE, 0, 1, -6);
    EXPECT_EQ(gnl_sem_give(&sem), -6);
    EXPECT_EQ(takeElsewhere(5), -1); // still held
    EXPECT_EQ(gnl_sem_give(&sem), 0);
    ipamplat_fault_set(IPAMPLAT_F_SEM_INIT, 0, 1, -7);
    gnl_sem_t fresh{0};
    EXPECT_EQ(gnl_sem_mutex_init("f", &fresh), -7);
    EXPECT_EQ(fresh.id, 0u);
    EXPECT_EQ(ipamplat_call_count(IPAMPLAT_F_SEM_TAKE), 3u);
}

TEST_F(PlatformSem, ManyThreadsExcludeEachOther) {
    int counter = 0; // guarded only by the semaphore: TSan checks exclusion
    std::thread threads[4];
    for (auto &t : threads)
        t = std::thread([&] {
            for (int i = 0; i < 500; ++i) {
                ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
                ASSERT_EQ(gnl_sem_take(&sem, 0), 0);
                ++counter;
                gnl_sem_give(&sem);
                gnl_sem_give(&sem);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(counter, 2000);
}

} // namespace
