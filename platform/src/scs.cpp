/* Client/server channel with a scripted configuration server: it records
 * the client, the frames it sends and the calls it makes, and answers what
 * the script says. In cross-process mode the frames go to a configuration
 * server process instead, and its reply is what receive and parse give. */
#include <string.h>
#include <unistd.h>

#include <string>

#include <mutex>
#include <vector>

#include "export.h"
#include "fault.h"
#include "ipam_platform.h"
#include "link.h"
#include "platform/scs.h"
#include "remote.h"
#include "reset.h"
#include "wire.h"
#include "worker.h"

namespace {

/* Longest body a frame holds: the message less its type and length words. */
constexpr uint32_t kMaxBody = sizeof(SCS_MSG) - 2 * sizeof(uint32_t);
constexpr uint32_t kFirstHandle = 0x5c5;

struct SentBody {
    uint32_t type = 0;
    std::vector<uint8_t> body;
};

constexpr ipamplat_scs_script kDefaultScript = {0, 0, 0, 1, 1, 0};

struct ScsState {
    std::mutex lock;
    ipamplat_scs_script script = kDefaultScript;
    ipamplat_scs_client client{};
    SCS_CLIENT_CALLBACKS callbacks{};
    uint32_t opened = 0; /* successful inits ever: the next handle's offset */
    std::vector<SentBody> sent;
    std::string server_path; /* cross-process mode: the server's socket */
};

constexpr int kReplyWaitMs = 2000;

/* The connection of this thread's request in flight: requests from several
 * threads share one handle, and each waits for its own reply. */
struct Pending {
    int fd = -1;
    ~Pending() { drop(); }
    void drop() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};
thread_local Pending t_pending;

/* Sends the framed body to the server process; -1 when none listens. */
int32_t remote_send(const std::string &path, const SCS_MSG &msg) {
    t_pending.drop();
    const uint32_t length = msg.word[1] < kMaxBody ? msg.word[1] : kMaxBody;
    uint8_t body[kMaxBody];
    ipamwire::confBodyConvert(reinterpret_cast<const uint8_t *>(&msg.word[2]), length, body, true);
    const int fd = ipamwire::connectTo(path);
    if (fd < 0) return -1;
    uid_t uid = 0;
    if (!ipamwire::peerAllowed(fd, &uid)) {
        ipamwire::logError("refused connection from uid %u on %s", static_cast<unsigned>(uid),
                           path.c_str());
        close(fd);
        return -1;
    }
    ipamwire::setTimeouts(fd, kReplyWaitMs);
    if (!ipamwire::sendFrame(fd, ipamwire::Type::ConfReq, msg.word[0], body, length)) {
        close(fd);
        return -1;
    }
    t_pending.fd = fd;
    return 0;
}

/* The server's reply to this thread's request: 1 with the error code in
 * the message's third word, -1 when none came in time. */
int32_t remote_recv(uint32_t msgType, SCS_MSG *msg) {
    if (t_pending.fd < 0) return -1;
    uint8_t buf[ipamwire::kMaxFrame + 1];
    ipamwire::Frame f;
    const char *why = "not a reply";
    ipamwire::Recv r = ipamwire::Recv::Error;
    if (ipamwire::waitReadable(t_pending.fd, -1, kReplyWaitMs) > 0)
        r = ipamwire::recvFrame(t_pending.fd, buf, f, &why);
    t_pending.drop();
    if (r == ipamwire::Recv::Frame && f.type == ipamwire::Type::ConfReply) {
        memset(msg, 0, sizeof *msg);
        msg->word[0] = msgType;
        msg->word[1] = sizeof(uint32_t);
        msg->word[2] = f.word;
        return 1;
    }
    if (r == ipamwire::Recv::Bad || r == ipamwire::Recv::Frame)
        ipamwire::logError("refused frame from the configuration server: %s", why);
    return -1;
}

ScsState g_scs;
ipamplat::Worker g_channel_thread;

}  // namespace

namespace ipamplat {

void scs_reset() {
    std::lock_guard<std::mutex> guard(g_scs.lock);
    g_scs.script = kDefaultScript;
    ipamplat_scs_client &c = g_scs.client;
    c.initCalls = c.finiCalls = c.fillCalls = c.sendCalls = c.recvCalls = c.parseCalls = 0;
    c.lastFiniHandle = c.lastSendHandle = c.lastRecvHandle = c.lastRecvType = c.lastFillType = 0;
    g_scs.sent.clear();
}

}  // namespace ipamplat

/* Records the descriptor; on success (script initResult 0) opens the client
 * and gives it a fresh handle. */
IPAMPLAT_API int32_t SCS_ClientInit(const SCS_CLIENT_DESC *desc, uint32_t *handle) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_SCS_INIT, &failed)) return failed;
    if (desc == nullptr || handle == nullptr) return -1;
    std::lock_guard<std::mutex> guard(g_scs.lock);
    ipamplat_scs_client &c = g_scs.client;
    ++c.initCalls;
    c.hostValue1 = desc->hostValue1;
    c.moduleId = desc->moduleId;
    c.hostValue2 = desc->hostValue2;
    if (desc->server != nullptr)
        memcpy(c.server, desc->server, sizeof c.server);
    else
        memset(c.server, 0, sizeof c.server);
    if (desc->callbacks != nullptr)
        g_scs.callbacks = *desc->callbacks;
    else
        g_scs.callbacks = SCS_CLIENT_CALLBACKS{};
    for (int i = 0; i < 4; ++i)
        c.callbacks[i] = reinterpret_cast<uintptr_t>(g_scs.callbacks.entry[i]);
    bool usable = true;
    const std::string dir = ipamplat::remote_dir(&usable);
    const int32_t result = usable ? g_scs.script.initResult : -1;
    g_scs.server_path = dir.empty() ? std::string() : ipamwire::tipcPath(dir, desc->server);
    if (result == 0) {
        c.open = 1;
        c.handle = kFirstHandle + g_scs.opened++;
        *handle = c.handle;
    }
    return result;
}

/* Closes the client when the handle is its own and the script lets it. */
IPAMPLAT_API int32_t SCS_ClientFini(uint32_t handle) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_SCS_FINI, &failed)) return failed;
    std::lock_guard<std::mutex> guard(g_scs.lock);
    ipamplat_scs_client &c = g_scs.client;
    ++c.finiCalls;
    c.lastFiniHandle = handle;
    const int32_t result = g_scs.script.finiResult;
    if (result == 0 && c.open && handle == c.handle) c.open = 0;
    return result;
}

/* Frames a body: word 0 the type, word 1 the length, the bytes from word 2.
 * -1 for a body that does not fit or a missing buffer. */
IPAMPLAT_API int32_t SCS_ClientFillMsg(uint32_t msgType, uint32_t length, const void *body,
                                       SCS_MSG *msg) {
    if (msg == nullptr || length > kMaxBody || (body == nullptr && length > 0)) return -1;
    {
        std::lock_guard<std::mutex> guard(g_scs.lock);
        ++g_scs.client.fillCalls;
        g_scs.client.lastFillType = msgType;
    }
    msg->word[0] = msgType;
    msg->word[1] = length;
    if (length > 0) memcpy(&msg->word[2], body, length);
    return 0;
}

/* Records the framed body and answers the script's send result. */
IPAMPLAT_API int32_t SCS_ClientSendMsg(uint32_t handle, SCS_MSG *msg) {
    if (msg == nullptr) return -1;
    SentBody s;
    s.type = msg->word[0];
    const uint32_t length = msg->word[1] < kMaxBody ? msg->word[1] : kMaxBody;
    s.body.resize(length);
    if (length > 0) memcpy(s.body.data(), &msg->word[2], length);
    std::string path;
    int32_t result;
    {
        std::lock_guard<std::mutex> guard(g_scs.lock);
        ++g_scs.client.sendCalls;
        g_scs.client.lastSendHandle = handle;
        path = g_scs.server_path;
        /* Bodies are kept for in-process tests to read back; a host in
         * cross-process mode runs for long and nobody reads them. */
        if (path.empty()) g_scs.sent.push_back(static_cast<SentBody &&>(s));
        result = g_scs.script.sendResult;
    }
    return path.empty() ? result : remote_send(path, *msg);
}

/* Answers the script's receive result; when above 0, a reply frame of the
 * asked type carrying the scripted error code is in *msg. */
IPAMPLAT_API int32_t SCS_ClientRecvMsg(uint32_t handle, uint32_t msgType, SCS_MSG *msg) {
    if (msg == nullptr) return -1;
    int32_t result;
    int16_t err;
    bool remote;
    {
        std::lock_guard<std::mutex> guard(g_scs.lock);
        ++g_scs.client.recvCalls;
        g_scs.client.lastRecvHandle = handle;
        g_scs.client.lastRecvType = msgType;
        result = g_scs.script.recvResult;
        err = g_scs.script.replyErrCode;
        remote = !g_scs.server_path.empty();
    }
    if (remote) return remote_recv(msgType, msg);
    if (result > 0) {
        memset(msg, 0, sizeof *msg);
        msg->word[0] = msgType;
        msg->word[1] = sizeof(uint32_t);
        const int32_t code = err;
        memcpy(&msg->word[2], &code, sizeof code);
    }
    return result;
}

/* Answers the script's parse result; when above 0, the scripted error code
 * and zero words are written. */
IPAMPLAT_API int32_t SCS_ClientParseMsg(SCS_MSG *msg, uint32_t flags, int16_t *errCode,
                                        uint32_t *word1, uint32_t *word2) {
    (void)flags;
    if (msg == nullptr || errCode == nullptr || word1 == nullptr || word2 == nullptr) return -1;
    int32_t result;
    int16_t err;
    {
        std::lock_guard<std::mutex> guard(g_scs.lock);
        ++g_scs.client.parseCalls;
        result = g_scs.script.parseResult;
        err = g_scs.script.replyErrCode;
        if (!g_scs.server_path.empty()) {
            /* A reply from the server process: its error code. */
            result = msg->word[1] == sizeof(uint32_t) ? 1 : -1;
            err = static_cast<int16_t>(msg->word[2]);
        }
    }
    if (result > 0) {
        *errCode = err;
        *word1 = 0;
        *word2 = 0;
    }
    return result;
}

IPAMPLAT_API void ipamplat_scs_set_script(const ipamplat_scs_script *script) {
    if (script == nullptr) return;
    std::lock_guard<std::mutex> guard(g_scs.lock);
    g_scs.script = *script;
}

IPAMPLAT_API void ipamplat_scs_get_script(ipamplat_scs_script *script) {
    if (script == nullptr) return;
    std::lock_guard<std::mutex> guard(g_scs.lock);
    *script = g_scs.script;
}

IPAMPLAT_API void ipamplat_scs_get_client(ipamplat_scs_client *out) {
    if (out == nullptr) return;
    std::lock_guard<std::mutex> guard(g_scs.lock);
    *out = g_scs.client;
}

IPAMPLAT_API uint32_t ipamplat_scs_sent_count(void) {
    std::lock_guard<std::mutex> guard(g_scs.lock);
    return static_cast<uint32_t>(g_scs.sent.size());
}

/* Copies at most `size` bytes of body i; answers its full length or -1. */
IPAMPLAT_API int32_t ipamplat_scs_sent(uint32_t i, uint32_t *msgType, void *body, uint32_t size) {
    std::lock_guard<std::mutex> guard(g_scs.lock);
    if (i >= g_scs.sent.size()) return -1;
    const SentBody &s = g_scs.sent[i];
    if (msgType != nullptr) *msgType = s.type;
    const size_t n = s.body.size() < size ? s.body.size() : size;
    if (body != nullptr && n > 0) memcpy(body, s.body.data(), n);
    return static_cast<int32_t>(s.body.size());
}

IPAMPLAT_API void ipamplat_scs_clear_sent(void) {
    std::lock_guard<std::mutex> guard(g_scs.lock);
    g_scs.sent.clear();
}

/* Calls the open client's synchronous callback on the channel thread. */
IPAMPLAT_API int32_t ipamplat_scs_call_sync(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d) {
    SCS_CALLBACK sync;
    {
        std::lock_guard<std::mutex> guard(g_scs.lock);
        sync = g_scs.client.open ? g_scs.callbacks.entry[1] : nullptr;
    }
    if (sync == nullptr) return IPAMPLAT_NO_PEER;
    int32_t result = IPAMPLAT_NO_PEER;
    g_channel_thread.run_sync([=, &result] { result = sync(a, b, c, d); });
    return result;
}
