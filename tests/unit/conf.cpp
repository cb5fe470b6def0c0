// Configuration requests against the stand-in configuration server: every
// reply outcome with the exact body sent, the traces, and the synchronous
// callback into the host.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/conf.h"
#include "ipam_platform.h"
#include "support/log_capture.h"

namespace {

// Requests with every field set; the name's tail is sent as it is.
const Ipam4ConfReq kReq4 = [] {
    Ipam4ConfReq r;
    std::memset(&r, 0xee, sizeof r);
    r.requestCode = 7, r.ifIndex = 3, r.vrfIndex = 1, r.ipAttr = 0x42;
    inet_pton(AF_INET, "10.0.0.1", &r.ipAddr);
    inet_pton(AF_INET, "255.255.255.0", &r.ipMask);
    std::memcpy(r.ifName, "eth3", 5);
    return r;
}();

const Ipam6ConfReq kReq6 = [] {
    Ipam6ConfReq r;
    std::memset(&r, 0, sizeof r);
    r.requestCode = -2, r.ifIndex = 4, r.vrfIndex = 2, r.ip6Attr = 0x61;
    inet_pton(AF_INET6, "2001:db8::1", r.ip6Addr);
    inet_pton(AF_INET6, "ffff:ffff:ffff:ffff::", r.ip6Mask);
    inet_pton(AF_INET6, "2001:db8::2", r.ip6DestAddr);
    std::strcpy(r.ifName, "eth4");
    return r;
}();

ipamplat_scs_script script(int32_t send, int32_t recv, int32_t parse, int16_t err) {
    ipamplat_scs_script s{};
    s.sendResult = send;
    s.recvResult = recv;
    s.parseResult = parse;
    s.replyErrCode = err;
    return s;
}

// The three set-address functions, by number.
int32_t setAddr(int fn, const Ipam6ConfReq &r6 = kReq6) {
    return fn == 0   ? IPAM4_SetIpAddr(&kReq4)
           : fn == 1 ? IPAM6_SetIpAddr(&r6)
                     : IPAM6_SetDestIpAddr(&r6);
}

// Body i as the server recorded it.
std::vector<uint8_t> sentBody(uint32_t i, uint32_t *type = nullptr) {
    uint8_t buf[512];
    uint32_t t = 0;
    int32_t n = ipamplat_scs_sent(i, &t, buf, sizeof buf);
    if (type) *type = t;
    if (n < 0) return {};
    return std::vector<uint8_t>(buf, buf + n);
}

template <class T>
std::vector<uint8_t> bytesOf(const T &v) {
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(&v),
                                reinterpret_cast<const uint8_t *>(&v + 1));
}

class Conf : public ::testing::Test {
protected:
    void SetUp() override {
        ipamplat_reset();
        gIpamPubDbg = 0;
    }
    void TearDown() override {
        gIpamPubDbg = 0;
        ipamplat_reset();
    }
};

struct HostCalls {
    std::vector<uintptr_t> args;
    int32_t answer = 0;
};
HostCalls gHost;

int32_t hostCallback(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d) {
    gHost.args = {a, b, c, d};
    return gHost.answer;
}

}  // namespace

TEST_F(Conf, EveryReplyOutcomeOfEverySetAddressFunction) {
    struct Case {
        ipamplat_scs_script s;
        int32_t result;
        bool receives;
    };
    const Case cases[] = {
        {script(0, 1, 1, 0), 0, true},
        {script(0, 1, 1, 5), -1, true},  // reply with its error
        {script(0, 1, 1, -3), -1, true},
        {script(-4, 1, 1, 5), 0, false},  // send -4: no reply awaited
        {script(-1, 1, 1, 0), 0, true},
        {script(0, -4, 1, 5), 0, true},  // receive -4 and -2 pass
        {script(0, -2, 1, 5), 0, true},
        {script(0, -1, 1, 0), -1, true},
        {script(0, 0, 1, 0), -1, true},
        {script(0, 1, 0, 0), -1, true},  // unparsed: the send's result
        {script(0, 1, -1, 0), -1, true},
        {script(7, 1, 0, 0), 7, true},
        {script(-3, 1, -1, 0), -3, true},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case &k = cases[i];
        for (int fn = 0; fn < 3; fn++) {
            SCOPED_TRACE("case " + std::to_string(i) + ", function " + std::to_string(fn));
            ipamplat_reset();
            ipamplat_scs_set_script(&k.s);
            EXPECT_EQ(setAddr(fn), k.result);
            ASSERT_EQ(ipamplat_scs_sent_count(), 1u);
            uint32_t type = 0;
            EXPECT_EQ(sentBody(0, &type), fn == 0 ? bytesOf(kReq4) : bytesOf(kReq6));
            EXPECT_EQ(type, 3u);
            ipamplat_scs_client c{};
            ipamplat_scs_get_client(&c);
            EXPECT_EQ(c.lastFillType, 3u);
            EXPECT_EQ(c.recvCalls, k.receives ? 1u : 0u);
            EXPECT_EQ(c.lastRecvType, k.receives ? 3u : 0u);
            EXPECT_EQ(c.lastSendHandle, gIpamConfCliScsHandle);
        }
    }
}

// A null request is refused with an error line and sends nothing; the traces
// come under the API bit only; the server's synchronous call reaches the host
// unchanged both ways and only -1 is traced.
TEST_F(Conf, LinesOfEachPath) {
    ipamplat_scs_script s = script(0, 1, 1, 5);
    ipamplat_scs_set_script(&s);
    ASSERT_EQ(IPAM_InitConf(1, 2, hostCallback), 0);
    LogCapture log;
    for (int32_t r :
         {IPAM4_SetIpAddr(nullptr), IPAM6_SetIpAddr(nullptr), IPAM6_SetDestIpAddr(nullptr)})
        EXPECT_EQ(r, IPAM_ERR_PARAM);
    EXPECT_EQ(ipamplat_scs_sent_count(), 0u);
    EXPECT_EQ(log.texts(), std::vector<std::string>(3, "Ipam conf invalid parameter"));
    for (const LogLine &l : log.lines()) EXPECT_EQ(l.level * 10 + l.logClass, 31u);
    log.clear();
    for (int fn = 0; fn < 3; fn++) EXPECT_EQ(setAddr(fn), -1);
    gHost = {{}, -1};
    EXPECT_EQ(ipamConfCliSync(5, 6, 7, 8), -1);
    EXPECT_TRUE(log.lines().empty()) << "nothing formatted or logged with the bit clear";

    gIpamPubDbg = IPAM_DBG_API;
    for (int fn = 0; fn < 3; fn++) EXPECT_EQ(setAddr(fn), -1);
    for (int32_t answer : {-1, -2, 42}) {
        gHost.answer = answer;
        EXPECT_EQ(ipamplat_scs_call_sync(10, 20, 30, 40), answer);
    }
    EXPECT_EQ(gHost.args, (std::vector<uintptr_t>{10, 20, 30, 40}));
    EXPECT_EQ(
        log.texts(),
        (std::vector<std::string>{
            "Ipam conf set addr information", "request code 7",
            "ifindex 3 vrfIndex 1 ipaddr 10.0.0.1 ipmask 255.255.255.0 ipAttr 0x42",
            "the errcode 5", "Ipam conf set addr information", "request code -2",
            "ifindex 4 vrfIndex 2 ipaddr 2001:db8::1 ipmask ffff:ffff:ffff:ffff:: ipAttr 0x61",
            "the errcode 5", "Ipam conf set addr information", "request code -2",
            "ifindex 4 vrfIndex 2 ipaddr 2001:db8::1 ipmask ffff:ffff:ffff:ffff:: "
            "ipdestaddr 2001:db8::2 ipAttr 0x61",
            "the errcode 5", "Ipam callback unsuccessfully "}));
    for (const LogLine &l : log.lines()) EXPECT_EQ(l.level * 10 + l.logClass, 73u);
    EXPECT_EQ(IPAM_FiniConf(), 0);
}

TEST_F(Conf, InitHandsTheServiceTheDescriptorAndKeepsTheCallbackOnFailure) {
    ipamplat_scs_script s = script(0, 1, 1, 0);
    ipamplat_scs_set_script(&s);
    ASSERT_EQ(IPAM_InitConf(0x11223344u, 0x55667788u, hostCallback), 0);

    ipamplat_scs_client c{};
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.hostValue1, 0x11223344u);
    EXPECT_EQ(c.moduleId, 198u);
    EXPECT_EQ(c.hostValue2, 0x55667788u);
    EXPECT_EQ(c.handle, gIpamConfCliScsHandle);
    // The TIPC name address of the configuration server, byte for byte:
    // the family in host order, every 32-bit field in host order.
    struct {
        uint16_t family = 30;
        uint8_t addrType = 2, scope = 1;
        uint32_t type = 0x7fff00c6u, instance = 0x7ffc0002u, zero = 0;
    } want;
    static_assert(sizeof want == 16);
    EXPECT_EQ(std::memcmp(c.server, &want, 16), 0);
    EXPECT_EQ(std::vector<uintptr_t>(c.callbacks, c.callbacks + 4),
              (std::vector<uintptr_t>{0, reinterpret_cast<uintptr_t>(&ipamConfCliSync), 0, 0}));
    EXPECT_EQ(moduleCallBackFunc, &hostCallback);

    // Fini closes the handle the service gave and answers its result.
    s.finiResult = -9;
    ipamplat_scs_set_script(&s);
    uint32_t handle = gIpamConfCliScsHandle;
    EXPECT_EQ(IPAM_FiniConf(), -9);
    ipamplat_scs_get_client(&c);
    EXPECT_EQ(c.lastFiniHandle, handle);
    EXPECT_EQ(gIpamConfCliScsHandle, handle) << "the handle is never reset";

    // A failing init answers the service's result; the callback stays.
    s.initResult = -5;
    ipamplat_scs_set_script(&s);
    moduleCallBackFunc = nullptr;
    EXPECT_EQ(IPAM_InitConf(1, 2, hostCallback), -5);
    EXPECT_EQ(moduleCallBackFunc, &hostCallback);
}
