/* Management framework: one registered handler, and a client side that
 * sends it a request on the management thread and collects the reply. In
 * cross-process mode the process also listens for requests from outside
 * (cmf-<pid>.sock in the runtime directory) and serves them the same way. */
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "export.h"
#include "fault.h"
#include "ipam_platform.h"
#include "link.h"
#include "platform/cmf.h"
#include "platform/seam.h"
#include "remote.h"
#include "reset.h"
#include "wire.h"
#include "worker.h"

struct PlatCmfParam {
    int32_t id = 0;
    int32_t length = 0;
    bool has_data = false;
    std::vector<uint8_t> data;
};

/* What the handler encoded, handed to the requester. */
struct ipamplat_cmf_reply {
    std::vector<PlatCmfParam> params;
};

namespace {

/* The platform-owned context the handler receives for one request. */
struct CmfContext {
    CMF_CONTEXT_OBJ obj{};
    std::vector<PlatCmfParam> request;
    size_t next = 0; /* next parameter to decode */
    int32_t limit = -1;
    int32_t limit_answer = 0;
    ipamplat_cmf_reply *reply = nullptr;
};

struct CmfState {
    std::mutex lock;
    std::map<uint32_t, CMF_SERVER_HANDLER> handlers;
    /* Contexts of requests in progress: anything else is refused. */
    std::set<const void *> live;
};

CmfState g_cmf;
ipamplat::Worker g_mgmt_thread;

/* The listener for requests from other processes, and the socket file it
 * bound (guarded by g_remote.lock). */
ipamplat::LinkSlot g_remote;
struct {
    std::string path;
    ipamwire::FileId id;
} g_remote_file;

/* A requester's first request must come within kFirstFrameMs of its
 * connection, each later one within kRequesterWaitMs of the last answer;
 * sends time out after kRequesterWaitMs. */
constexpr int kFirstFrameMs = 500;
constexpr int kRequesterWaitMs = 2000;
constexpr size_t kMaxRequesters = 8;
constexpr int kFullNapMs = 50;

void update_listener();

PlatCmfParam copy_param(int32_t id, int32_t length, const void *data) {
    PlatCmfParam p;
    p.id = id;
    p.length = length;
    if (data != nullptr) {
        p.has_data = true;
        size_t n = length > 0 ? static_cast<size_t>(length) : 0;
        p.data.resize(n > 0 ? n : 1);
        if (n > 0) memcpy(p.data.data(), data, n);
    }
    return p;
}

/* The context behind a handler's pointer, or null when it is not one of
 * ours. The handler only ever uses it on the management thread, while its
 * request is in progress, so it stays valid after the lookup. */
CmfContext *context(void *ctx) {
    if (ctx == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(g_cmf.lock);
    return g_cmf.live.count(ctx) != 0 ? static_cast<CmfContext *>(ctx) : nullptr;
}

/* The handler requests go to: the library's module (198) when registered,
 * else the lowest registered module. */
CMF_SERVER_HANDLER target_handler() {
    std::lock_guard<std::mutex> guard(g_cmf.lock);
    auto it = g_cmf.handlers.find(ipam::seam::kModuleId);
    if (it == g_cmf.handlers.end()) it = g_cmf.handlers.begin();
    return it != g_cmf.handlers.end() ? it->second : nullptr;
}

}  // namespace

namespace ipamplat {
void cmf_reset() {}
}  // namespace ipamplat

/* Records the module's handler (replacing an earlier one); -1 for none. */
IPAMPLAT_API int32_t CMF_ServerModCallbackReg(uint32_t moduleId, CMF_SERVER_HANDLER handler) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_CMF_REG, &failed)) return failed;
    if (handler == nullptr) return -1;
    {
        std::lock_guard<std::mutex> guard(g_cmf.lock);
        g_cmf.handlers[moduleId] = handler;
    }
    update_listener();
    return 0;
}

/* Forgets the module's handler. Answers 0 also when none was registered, so
 * that a teardown run twice succeeds. */
IPAMPLAT_API int32_t CMF_ServerModCallbackUnreg(uint32_t moduleId) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_CMF_UNREG, &failed)) return failed;
    {
        std::lock_guard<std::mutex> guard(g_cmf.lock);
        g_cmf.handlers.erase(moduleId);
    }
    update_listener();
    return 0;
}

/* Fills objectId and operation from the request. */
IPAMPLAT_API int32_t CMF_ServerContextObjGet(void *ctx, CMF_CONTEXT_OBJ *obj) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_CMF_OBJGET, &failed)) return failed;
    CmfContext *c = context(ctx);
    if (c == nullptr || obj == nullptr) return -1;
    *obj = c->obj;
    return 0;
}

/* Hands out the request's next parameter; -1 past the last one. The data
 * stays valid until the handler returns. */
IPAMPLAT_API int32_t CMF_ServerParamDecode(void *ctx, int32_t *paramId, int32_t *dataLength,
                                           void **data) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_CMF_DECODE, &failed)) return failed;
    CmfContext *c = context(ctx);
    if (c == nullptr || paramId == nullptr || dataLength == nullptr || data == nullptr) return -1;
    if (c->next >= c->request.size()) return -1;
    PlatCmfParam &p = c->request[c->next++];
    *paramId = p.id;
    *dataLength = p.length;
    *data = p.has_data ? p.data.data() : nullptr;
    return 0;
}

/* Appends a copy of one parameter to the reply, unless the request's encode
 * limit was reached: then it answers the limit's answer and keeps nothing. */
IPAMPLAT_API int32_t CMF_ServerParamEncode(void *ctx, int32_t paramId, int32_t dataLength,
                                           const void *data) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_CMF_ENCODE, &failed)) return failed;
    CmfContext *c = context(ctx);
    if (c == nullptr || dataLength < 0 || (data == nullptr && dataLength > 0)) return -1;
    if (c->limit >= 0 && c->reply->params.size() >= static_cast<size_t>(c->limit))
        return c->limit_answer;
    c->reply->params.push_back(copy_param(paramId, dataLength, data));
    return 0;
}

/* 1 when a handler is registered. */
IPAMPLAT_API int32_t ipamplat_cmf_registered(void) {
    std::lock_guard<std::mutex> guard(g_cmf.lock);
    return g_cmf.handlers.empty() ? 0 : 1;
}

namespace {

constexpr int32_t kPageLimitRefused = 10;

/* Runs the handler on the management thread with a context holding these
 * parameters; the encoded ones go to *reply (freed here when null). */
int32_t run_request(uint32_t objectId, uint32_t operation, std::vector<PlatCmfParam> params,
                    int32_t limit, int32_t limitAnswer, ipamplat_cmf_reply **reply) {
    CMF_SERVER_HANDLER handler = target_handler();
    if (handler == nullptr) return IPAMPLAT_NO_PEER;
    /* A page that may hold nothing never ends an export: a requester that
     * follows the pages would ask for ever. Refused as an invalid parameter
     * (the library's 10) before the handler runs. */
    if (limit == 0) return kPageLimitRefused;
    CmfContext ctx;
    ctx.obj.objectId = objectId;
    ctx.obj.operation = operation;
    ctx.request = std::move(params);
    ctx.limit = limit;
    ctx.limit_answer = limitAnswer;
    ctx.reply = new ipamplat_cmf_reply();
    {
        std::lock_guard<std::mutex> guard(g_cmf.lock);
        g_cmf.live.insert(&ctx);
    }
    int32_t result = IPAMPLAT_NO_PEER;
    g_mgmt_thread.run_sync([handler, &ctx, &result] { result = handler(&ctx); });
    {
        std::lock_guard<std::mutex> guard(g_cmf.lock);
        g_cmf.live.erase(&ctx);
    }
    if (reply != nullptr)
        *reply = ctx.reply;
    else
        delete ctx.reply;
    return result;
}

/* The platform's own status answer: one parameter, then the result 0. */
void send_status(int fd) {
    const ipamplat::SubStatus st = ipamplat::ps_status();
    const uint32_t words[5] = {st.module, st.registered, st.connected, st.in_batch, st.batches};
    uint8_t data[ipamwire::kStatusSize];
    for (int i = 0; i < 5; ++i) {
        const uint32_t be = htonl(words[i]);
        memcpy(data + 4 * i, &be, 4);
    }
    if (ipamwire::sendFrame(fd, ipamwire::Type::MgmtParam, 0, data, sizeof data))
        ipamwire::sendFrame(fd, ipamwire::Type::MgmtDone, 0, nullptr, 0);
}

/* Serves one request frame: its parameters and result out. False when
 * the answer could not be sent (the connection is then done). */
bool serve_request(int fd, const ipamwire::MgmtRequest &req) {
    if (req.objectId == ipamwire::kStatusObject) {
        send_status(fd);
        return true;
    }
    std::vector<PlatCmfParam> params;
    for (uint32_t i = 0; i < req.count; ++i) {
        const ipamwire::MgmtParam &p = req.params[i];
        params.push_back(copy_param(p.id, p.length, p.length > 0 ? p.data : nullptr));
    }
    ipamplat_cmf_reply *reply = nullptr;
    const int32_t result = run_request(req.objectId, req.operation, std::move(params),
                                       req.pageLimit, ipam::seam::kEncodePageFull, &reply);
    /* The answer packed: a page of records leaves in a few packets. */
    auto out = std::make_unique<ipamwire::PacketWriter>(fd);
    bool sent = true;
    for (size_t i = 0; reply != nullptr && sent && i < reply->params.size(); ++i) {
        const PlatCmfParam &p = reply->params[i];
        const uint32_t n = p.length > 0 ? static_cast<uint32_t>(p.length) : 0;
        uint8_t data[ipamwire::kMaxParamData];
        if (n > sizeof data) continue; /* no parameter of the library is that long */
        ipamwire::paramConvert(req.objectId, p.data.data(), n, data, true);
        sent = out->add(ipamwire::Type::MgmtParam, static_cast<uint32_t>(p.id), data, n);
    }
    delete reply;
    return sent && out->add(ipamwire::Type::MgmtDone, static_cast<uint32_t>(result), nullptr, 0) &&
           out->flush();
}

/* One requester's connection: any number of requests, each answered in
 * full before the next is read, until the requester closes, sends a bad
 * frame, stays silent too long (kFirstFrameMs for the first request,
 * kRequesterWaitMs between requests) or the listener stops. */
void serve_requester(const ipamplat::Link &link, int fd, const std::string &path) {
    uid_t uid = 0;
    if (!ipamwire::peerAllowed(fd, &uid)) {
        ipamwire::logError("refused connection from uid %u on %s", static_cast<unsigned>(uid),
                           path.c_str());
        return;
    }
    ipamwire::setTimeouts(fd, kRequesterWaitMs);
    uint8_t buf[ipamwire::kMaxFrame + 1];
    for (int wait = kFirstFrameMs; ipamwire::waitReadable(fd, link.wake_fd(), wait) > 0;
         wait = kRequesterWaitMs) {
        ipamwire::Frame f;
        const char *why = "not a management request";
        ipamwire::MgmtRequest req;
        const ipamwire::Recv r = ipamwire::recvFrame(fd, buf, f, &why);
        if (r == ipamwire::Recv::Closed || r == ipamwire::Recv::Error) return;
        if (r != ipamwire::Recv::Frame || !ipamwire::mgmtRequestDecode(f, req, &why)) {
            ipamwire::logError("refused frame from a requester on %s: %s", path.c_str(), why);
            return;
        }
        if (!serve_request(fd, req)) return;
    }
}

/* The requesters being served, each on a thread of its own, at most
 * kMaxRequesters at once; more wait in the listen backlog. */
class Requesters {
public:
    explicit Requesters(const ipamplat::Link &link) : link_(link) {}
    ~Requesters() {
        /* The link is stopping: its wake-up makes every wait return. */
        for (Slot &s : slots_) finish(s);
    }
    bool full() {
        reap();
        return slots_.size() >= kMaxRequesters;
    }
    bool busy() const { return !slots_.empty(); }
    void serve(int fd, const std::string &path) {
        slots_.emplace_back();
        Slot &s = slots_.back();
        s.fd = fd;
        s.done = std::make_shared<std::atomic<bool>>(false);
        s.thread = std::thread([this, fd, path, done = s.done] {
            serve_requester(link_, fd, path);
            /* The requester sees the end now; the descriptor is closed when reaped. */
            shutdown(fd, SHUT_RDWR);
            done->store(true);
        });
    }

private:
    struct Slot {
        int fd = -1;
        std::shared_ptr<std::atomic<bool>> done;
        std::thread thread;
    };
    static void finish(Slot &s) {
        if (s.thread.joinable()) s.thread.join();
        close(s.fd);
    }
    void reap() {
        for (auto it = slots_.begin(); it != slots_.end();) {
            if (!it->done->load()) {
                ++it;
                continue;
            }
            finish(*it);
            it = slots_.erase(it);
        }
    }
    const ipamplat::Link &link_;
    std::list<Slot> slots_;
};

void listener(ipamplat::Link *link, int lfd, std::string path, ipamwire::FileId id) {
    bool short_of_fds = false;
    {
        Requesters requesters(*link);
        while (!link->stopping()) {
            if (requesters.full()) {
                if (!link->nap(kFullNapMs)) break;
                continue;
            }
            /* While requesters run, woken now and then to reap those done. */
            const int ready =
                ipamwire::waitReadable(lfd, link->wake_fd(), requesters.busy() ? kFullNapMs : -1);
            if (ready < 0) break;
            if (ready == 0) continue;
            const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (!ipamwire::acceptOutOfResources(errno)) continue;
                if (!short_of_fds)
                    ipamwire::logError("cannot accept on %s: %s", path.c_str(), strerror(errno));
                short_of_fds = true;
                if (!link->nap(ipamwire::kAcceptBackoffMs)) break;
                continue;
            }
            short_of_fds = false;
            requesters.serve(fd, path);
        }
    }
    /* Before the close: while the socket is open its file's inode cannot be
     * freed, so no fresh listener's file can have the same number. */
    ipamwire::unlinkOwn(path, id);
    close(lfd);
}

/* Listens while a handler is registered (cross-process mode only). The
 * decision and the act share g_remote.lock, so concurrent registrations
 * and unregistrations end with the listener their last state asks for. */
void update_listener() {
    std::unique_ptr<ipamplat::Link> old;
    {
        std::lock_guard<std::mutex> guard(g_remote.lock);
        bool want;
        {
            std::lock_guard<std::mutex> cmf_guard(g_cmf.lock);
            want = !g_cmf.handlers.empty();
        }
        if (want && !g_remote.link) {
            const std::string dir = ipamplat::remote_dir();
            if (dir.empty()) return;
            const std::string path = ipamwire::cmfPath(dir, getpid());
            ipamwire::FileId id;
            const int lfd = ipamwire::listenAt(path, &id);
            if (lfd < 0) {
                ipamwire::logError("cannot listen on %s: %s", path.c_str(), strerror(errno));
                return;
            }
            auto fresh = std::make_unique<ipamplat::Link>();
            ipamplat::Link *l = fresh.get();
            if (!l->start([l, lfd, path, id] { listener(l, lfd, path, id); })) {
                ipamwire::unlinkOwn(path, id);
                close(lfd);
                return;
            }
            g_remote.link = std::move(fresh);
            g_remote_file = {path, id};
        } else if (!want && g_remote.link) {
            /* The file goes now, so that a registration coming before the
             * old listener has stopped can bind a fresh one. */
            ipamwire::unlinkOwn(g_remote_file.path, g_remote_file.id);
            old = std::move(g_remote.link);
        }
    }
    ipamplat::stop_link(std::move(old), !g_mgmt_thread.on_worker_thread());
}

}  // namespace

/* Runs the handler on the management thread with a context built from the
 * request, and answers its result. */
IPAMPLAT_API int32_t ipamplat_cmf_send(const ipamplat_cmf_request *request,
                                       ipamplat_cmf_reply **reply) {
    if (reply != nullptr) *reply = nullptr;
    if (request == nullptr || (request->paramCount > 0 && request->params == nullptr)) return -1;
    std::vector<PlatCmfParam> params;
    for (uint32_t i = 0; i < request->paramCount; ++i) {
        const ipamplat_cmf_param &p = request->params[i];
        params.push_back(copy_param(p.id, p.length, p.data));
    }
    return run_request(request->objectId, request->operation, std::move(params),
                       request->encodeLimit, request->encodeLimitAnswer, reply);
}

/* Number of parameters the handler encoded (0 for no reply). */
IPAMPLAT_API uint32_t ipamplat_cmf_reply_count(const ipamplat_cmf_reply *reply) {
    return reply != nullptr ? static_cast<uint32_t>(reply->params.size()) : 0;
}

/* The i-th encoded parameter; -1 when there is none. */
IPAMPLAT_API int32_t ipamplat_cmf_reply_param(const ipamplat_cmf_reply *reply, uint32_t i,
                                              int32_t *id, int32_t *length, const void **data) {
    if (reply == nullptr || i >= reply->params.size()) return -1;
    const PlatCmfParam &p = reply->params[i];
    if (id != nullptr) *id = p.id;
    if (length != nullptr) *length = p.length;
    if (data != nullptr) *data = p.has_data ? p.data.data() : nullptr;
    return 0;
}

IPAMPLAT_API void ipamplat_cmf_reply_free(ipamplat_cmf_reply *reply) { delete reply; }
