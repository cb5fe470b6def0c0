// Set-address requests to the publisher's configuration server over the
// platform's client/server channel, and the channel's synchronous callback
// into the host. The library frames, sends, waits and reports; the request
// code and the record are the host's and pass through unchanged.
#include "api/conf.h"

#include <linux/tipc.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "common/bytes.h"
#include "common/log.h"
#include "platform/scs.h"
#include "platform/seam.h"

IpamConfCallback moduleCallBackFunc = nullptr;
uint32_t gIpamConfCliScsHandle = 16;

// The server address is sent to the platform as these exact bytes.
static_assert(sizeof(sockaddr_tipc) == 16);
static_assert(offsetof(sockaddr_tipc, family) == 0 && sizeof(sockaddr_tipc::family) == 2);
static_assert(offsetof(sockaddr_tipc, addrtype) == 2 && offsetof(sockaddr_tipc, scope) == 3);
static_assert(offsetof(sockaddr_tipc, addr.name.name.type) == 4);
static_assert(offsetof(sockaddr_tipc, addr.name.name.instance) == 8);
static_assert(offsetof(sockaddr_tipc, addr.name.domain) == 12);
// The bodies sent are the requests themselves.
static_assert(sizeof(Ipam4ConfReq) == 64 && offsetof(Ipam4ConfReq, ifName) == 24);
static_assert(sizeof(Ipam6ConfReq) == 104 && offsetof(Ipam6ConfReq, ip6DestAddr) == 44);

namespace {

constexpr uint32_t kConfMsgType = 3;  // request/reply message of the channel
constexpr int32_t kNoReply = -4;      // send or receive: nothing to wait for
constexpr int32_t kRecvNoReply = -2;  // receive: nothing came, not an error

// The host's callback is stored by one thread and called on the channel's.
IpamConfCallback loadCallback() {
    return std::atomic_ref<IpamConfCallback>(moduleCallBackFunc).load(std::memory_order_relaxed);
}
void storeCallback(IpamConfCallback callback) {
    std::atomic_ref<IpamConfCallback>(moduleCallBackFunc)
        .store(callback, std::memory_order_relaxed);
}

// One exchange: fill, send, receive, parse. Every buffer is on this
// thread's stack, so several threads may run it at once on the one channel.
template <class Req>
int32_t confCliProc(const Req *body, int16_t *errCode) {
    SCS_MSG msg{};  // the service fills and parses it without being told its size
    int16_t replyErr = 0;
    uint32_t word1 = 0, word2 = 0;
    uint32_t handle = ipam::loadRelaxed(gIpamConfCliScsHandle);
    SCS_ClientFillMsg(kConfMsgType, sizeof *body, body, &msg);
    int32_t sent = SCS_ClientSendMsg(handle, &msg);
    if (sent == kNoReply) {
        *errCode = 0;
        return 0;
    }
    int32_t got = SCS_ClientRecvMsg(handle, kConfMsgType, &msg);
    if (got <= 0) {
        if (got == kNoReply || got == kRecvNoReply) {
            *errCode = 0;
            return 0;
        }
        return IPAM_ERR_FAIL;
    }
    if (SCS_ClientParseMsg(&msg, 0, &replyErr, &word1, &word2) <= 0) {
        // An unreadable reply is no acceptance, even after a send that
        // answered 0.
        return sent != 0 ? sent : -1;
    }
    IPAM_DBG(IPAM_DBG_API, "(PID:%d)the errcode %d", static_cast<int>(replyErr));
    *errCode = replyErr;
    return replyErr != 0 ? -1 : 0;
}

// The outcome of a set-address request once it has been traced: the
// exchange's failure, or the server's error code.
template <class Req>
int32_t submit(const Req &body) {
    int16_t errCode = 0;
    int32_t r = confCliProc(&body, &errCode);
    return r != 0 ? r : errCode;
}

// The IPv6 set-address functions send the same body; only the trace of the
// destination address differs.
int32_t set6(const Ipam6ConfReq *request, bool traceDest) {
    if (request == nullptr) {
        IPAM_ERR("(PID:%d)Ipam conf invalid parameter");
        return IPAM_ERR_PARAM;
    }
    Ipam6ConfReq body;
    std::memcpy(&body, request, sizeof body);
    if (ipam::dbgOn(IPAM_DBG_API)) {
        char addr[40], mask[40], dest[40];
        ipam::addrText(AF_INET6, body.ip6Addr, addr);
        ipam::addrText(AF_INET6, body.ip6Mask, mask);
        IPAM_DBG(IPAM_DBG_API, "(PID:%d)Ipam conf set addr information");
        IPAM_DBG(IPAM_DBG_API, "(PID:%d)request code %d", static_cast<int>(body.requestCode));
        if (traceDest) {
            ipam::addrText(AF_INET6, body.ip6DestAddr, dest);
            IPAM_DBG(IPAM_DBG_API,
                     "(PID:%d)ifindex %d vrfIndex %d ipaddr %s ipmask %s ipdestaddr %s ipAttr 0x%x",
                     static_cast<int>(body.ifIndex), static_cast<int>(body.vrfIndex), addr, mask,
                     dest, body.ip6Attr);
        } else {
            IPAM_DBG(IPAM_DBG_API, "(PID:%d)ifindex %d vrfIndex %d ipaddr %s ipmask %s ipAttr 0x%x",
                     static_cast<int>(body.ifIndex), static_cast<int>(body.vrfIndex), addr, mask,
                     body.ip6Attr);
        }
    }
    return submit(body);
}

}  // namespace

int32_t ipam4_ConfCliProc(const Ipam4ConfReq *body, int16_t *errCode) {
    return confCliProc(body, errCode);
}

int32_t ipam6_ConfCliProc(const Ipam6ConfReq *body, int16_t *errCode) {
    return confCliProc(body, errCode);
}

int32_t ipamConfCliSync(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d) {
    IpamConfCallback callback = loadCallback();
    if (callback == nullptr) return IPAM_ERR_FAIL;  // no host to hand the call to
    int32_t r = callback(a, b, c, d);
    if (r == IPAM_ERR_FAIL) IPAM_DBG(IPAM_DBG_API, "(PID:%d)Ipam callback unsuccessfully ");
    return r;
}

int32_t IPAM_InitConf(uint32_t hostValue1, uint32_t hostValue2, IpamConfCallback callback) {
    storeCallback(callback);
    // Built here and handed over for the call only: the platform copies what
    // it keeps.
    sockaddr_tipc server;
    std::memset(&server, 0, sizeof server);
    server.family = AF_TIPC;
    server.addrtype = TIPC_ADDR_NAME;
    server.scope = TIPC_ZONE_SCOPE;
    server.addr.name.name.type = ipam::seam::kNameType;
    server.addr.name.name.instance = ipam::seam::kConfServerInstance;
    server.addr.name.domain = 0;
    const SCS_CLIENT_CALLBACKS callbacks = {{nullptr, ipamConfCliSync, nullptr, nullptr}};
    const SCS_CLIENT_DESC desc = {hostValue1, IPAM_MODULE_ID, hostValue2, &server, &callbacks};
    return SCS_ClientInit(&desc, &gIpamConfCliScsHandle);
}

int32_t IPAM_FiniConf(void) { return SCS_ClientFini(ipam::loadRelaxed(gIpamConfCliScsHandle)); }

int32_t IPAM4_SetIpAddr(const Ipam4ConfReq *request) {
    if (request == nullptr) {
        IPAM_ERR("(PID:%d)Ipam conf invalid parameter");
        return IPAM_ERR_PARAM;
    }
    Ipam4ConfReq body;
    std::memcpy(&body, request, sizeof body);
    if (ipam::dbgOn(IPAM_DBG_API)) {
        char addr[16], mask[16];
        ipam::addrText(AF_INET, &body.ipAddr, addr);
        ipam::addrText(AF_INET, &body.ipMask, mask);
        IPAM_DBG(IPAM_DBG_API, "(PID:%d)Ipam conf set addr information");
        IPAM_DBG(IPAM_DBG_API, "(PID:%d)request code %d", static_cast<int>(body.requestCode));
        IPAM_DBG(IPAM_DBG_API, "(PID:%d)ifindex %d vrfIndex %d ipaddr %s ipmask %s ipAttr 0x%x",
                 static_cast<int>(body.ifIndex), static_cast<int>(body.vrfIndex), addr, mask,
                 body.ipAttr);
    }
    return submit(body);
}

int32_t IPAM6_SetIpAddr(const Ipam6ConfReq *request) { return set6(request, false); }

int32_t IPAM6_SetDestIpAddr(const Ipam6ConfReq *request) { return set6(request, true); }
