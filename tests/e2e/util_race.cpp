// Several threads making the very first conversions at once: the lazily
// resolved libc entry points must be shared without a data race. Its own
// process, so that nothing has resolved them before.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "ipam.h"

TEST(UtilRace, ConcurrentFirstConversionsAllSucceed) {
    std::atomic<int> ready{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (++ready; ready.load() < 4;) {}
            IpamAddr a{};
            char text[64];
            if (IPAM_String2Struct("2001:db8::7", &a) != 0 ||
                IPAM_Struct2String(&a, text, sizeof text) != text ||
                std::strcmp(text, "2001:db8::7") != 0)
                failures++;
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}
