// A fresh database for the white-box tests, and what they share: addresses
// from text, a poisoned output record, an interface's records.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "common/dbg.h"
#include "db/addr.h"
#include "ipam_platform.h"
#include "sub/state.h"
#include "support/log_capture.h"
#include "support/records.h"

using ipamtest::addr4;
using ipamtest::addr6;
using Lines = std::vector<std::string>;

inline uint32_t ip4(const char *dotted) {
    uint32_t a = 0;
    inet_pton(AF_INET, dotted, &a);
    return a;
}

struct A6 {
    uint8_t b[16];
};

inline A6 a6(const char *text) {
    A6 a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.b), 1) << text;
    return a;
}

// A record-sized output filled with a pattern, to see that a failed lookup
// writes nothing.
template <class Info>
struct Poisoned {
    Info info;
    Poisoned() { std::memset(&info, 0xa5, sizeof info); }
    bool untouched() const {
        Poisoned fresh;
        return std::memcmp(&info, &fresh.info, sizeof info) == 0;
    }
};

inline void add(const Ipam4AddrInfo &r, uint32_t ver = 1) {
    ASSERT_EQ(ipam4_AddAddrInfoNode(&r, ver), 0);
}
inline void add(const Ipam6AddrInfo &r, uint32_t ver = 1) {
    ASSERT_EQ(ipam6_AddAddrInfoNode(&r, ver), 0);
}

inline uint32_t ifCount() {
    uint32_t n = 0;
    ipam_AddrInfoNumGet(&n);
    return n;
}

// The interface's records, in list order.
template <class Info>
std::vector<Info> recordsOf(uint32_t ifIndex) {
    std::vector<Info> out;
    auto keep = [](Info *r, void *u) -> int32_t {
        static_cast<std::vector<Info> *>(u)->push_back(*r);
        return 0;
    };
    if constexpr (std::is_same_v<Info, Ipam4AddrInfo>)
        ipam4_DbAddrInfoWalkByIf(ifIndex, keep, &out);
    else
        ipam6_DbAddrInfoWalkByIf(ifIndex, keep, &out);
    return out;
}

// Back to what a freshly loaded library holds: no replica, no batch, no
// host callback or care mask (so identity ignores attributes), no debug
// traces, and a reset platform. Only the lock lives on, as it does in a
// process. Every test that touches the replica starts from here, whatever
// ran before it.
inline void resetLibrary() {
    ipam_DbUnInit();
    ipam::recordInterest(nullptr, 0);
    ipam::replicaClearBatch();
    gIpamPubDbg = 0;
    ipamplat_reset();
}

// A fresh, empty, set-up replica for each test.
class DbTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetLibrary();
        ASSERT_EQ(ipam_DbInit(), 0);
    }
    void TearDown() override { resetLibrary(); }
    // Identity as a subscription with this (expanded) care mask has it.
    static void careFor(uint32_t care) { ipam::recordInterest(nullptr, care); }
};
