/* Publish/subscribe: one subscriber registration, and a publisher that
 * tests and tools play, or, in cross-process mode, a publisher process
 * reached over a socket. Every callback runs on the publisher thread, one
 * at a time and in call order; none starts once PS_SubscriberFini returned. */
#include <string.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "export.h"
#include "fault.h"
#include "ipam_platform.h"
#include "link.h"
#include "platform/ps.h"
#include "remote.h"
#include "reset.h"
#include "wire.h"
#include "worker.h"

namespace {

enum class Kind { Start, Send, End };

/* One delivery: payload copied when it was given. */
struct Delivery {
    Kind kind;
    int32_t code = 0;
    uint32_t length = 0;
    bool has_payload = false;
    std::vector<uint8_t> payload;
    unsigned long long epoch = 0; /* the registration it was meant for */
};

struct PsState {
    std::mutex lock;
    std::condition_variable idle; /* a callback finished */
    ipamplat_ps_registration reg{};
    PS_SUB_CALLBACKS callbacks{};
    /* Bumped by every Init and Fini: a delivery runs only for the
     * registration that was current when it was given. */
    unsigned long long epoch = 0;
    bool running = false;
    void (*init_hook)(void *) = nullptr;
    void *init_hook_ctx = nullptr;
    /* The publisher connection as the link sees it (cross-process mode). */
    bool connected = false;
    bool in_batch = false;
    uint32_t batches = 0;
};

/* Declared before the worker, so the worker (and its thread) goes first at
 * exit while the state it uses still exists. */
PsState g_ps;
ipamplat::Worker g_publisher;

/* The connection to a publisher process. */
ipamplat::LinkSlot g_remote;

constexpr int kFirstBackoffMs = 50;
constexpr int kMaxBackoffMs = 2000;

/* Runs one callback on the publisher thread; IPAMPLAT_NO_PEER when the
 * registration it was meant for (epoch) went away or has no such callback.
 * The registration is checked before each callback, so that none starts
 * once PS_SubscriberFini has returned. */
int32_t deliver_one(Kind kind, int32_t code, uint32_t length, const void *payload,
                    unsigned long long epoch) {
    PS_SUB_CALLBACKS cb;
    {
        std::lock_guard<std::mutex> guard(g_ps.lock);
        if (!g_ps.reg.active || g_ps.epoch != epoch) return IPAMPLAT_NO_PEER;
        cb = g_ps.callbacks;
        g_ps.running = true;
    }
    int32_t result = IPAMPLAT_NO_PEER;
    switch (kind) {
    case Kind::Start:
        if (cb.start != nullptr) result = cb.start();
        break;
    case Kind::Send:
        if (cb.dispatch != nullptr) result = cb.dispatch(code, length, payload);
        break;
    case Kind::End:
        if (cb.end != nullptr) result = cb.end();
        break;
    }
    std::lock_guard<std::mutex> guard(g_ps.lock);
    g_ps.running = false;
    g_ps.idle.notify_all();
    return result;
}

int32_t deliver(const Delivery &d) {
    return deliver_one(d.kind, d.code, d.length, d.has_payload ? d.payload.data() : nullptr,
                       d.epoch);
}

/* A delivery for the current registration, or null when there is none. */
std::shared_ptr<Delivery> make(Kind kind, int32_t code, uint32_t length, const void *payload) {
    auto d = std::make_shared<Delivery>();
    d->kind = kind;
    d->code = code;
    d->length = length;
    if (payload != nullptr) {
        d->has_payload = true;
        /* One byte at least, so a zero-length payload stays non-null. */
        d->payload.resize(length > 0 ? length : 1);
        if (length > 0) memcpy(d->payload.data(), payload, length);
    }
    std::lock_guard<std::mutex> guard(g_ps.lock);
    if (!g_ps.reg.active) return nullptr;
    d->epoch = g_ps.epoch;
    return d;
}

int32_t call(Kind kind, int32_t code, uint32_t length, const void *payload) {
    std::shared_ptr<Delivery> d = make(kind, code, length, payload);
    if (!d) return IPAMPLAT_NO_PEER;
    int32_t result = IPAMPLAT_NO_PEER;
    g_publisher.run_sync([d, &result] { result = deliver(*d); });
    return result;
}

void post(Kind kind, int32_t code, uint32_t length, const void *payload) {
    std::shared_ptr<Delivery> d = make(kind, code, length, payload);
    if (d) g_publisher.post([d] { deliver(*d); });
}

void copy_addr(uint8_t out[16], const struct sockaddr_tipc *addr) {
    if (addr != nullptr)
        memcpy(out, addr, 16);
    else
        memset(out, 0, 16);
}

/* A run of publisher frames, read together and handed to the publisher
 * thread in one go: payloads converted to host order side by side in one
 * buffer, nothing allocated per frame. */
struct Run {
    struct Item {
        Kind kind;
        int32_t code;
        uint32_t length;
        size_t offset; /* of the payload in bytes */
    };
    std::vector<Item> items;
    std::vector<uint8_t> bytes;

    void add(const ipamwire::Frame &f) {
        Item it{f.type == ipamwire::Type::Start ? Kind::Start
                : f.type == ipamwire::Type::End ? Kind::End
                                                : Kind::Send,
                0, 0, bytes.size()};
        if (it.kind == Kind::Send) {
            it.code = static_cast<int32_t>(f.word);
            it.length = f.length;
            /* One byte at least, so that a zero-length payload stays non-null. */
            bytes.resize(bytes.size() + (f.length > 0 ? f.length : 1));
            ipamwire::msgPayloadConvert(f.word, f.payload, f.length, bytes.data() + it.offset,
                                        false);
        }
        items.push_back(it);
    }
    void clear() {
        items.clear();
        bytes.clear();
    }
};

/* Frames read before the run is handed over: enough to make the hand-over
 * cheap against the callbacks, few enough to keep what waits small. */
constexpr size_t kRunFrames = 1024;

void note_frame(ipamwire::Type type, unsigned long long epoch);

/* Hands a run to the subscriber as one job of the publisher thread, and
 * waits for it: a subscriber that is slow to handle its messages is slow to
 * read them, and its publisher sees that. When the publisher thread has
 * nothing else to do the reader runs the job itself, in its stead, sparing
 * a change the two thread wake-ups. The batch state the status reports
 * follows the callbacks: in a batch from its start, synchronised once its
 * end ran. */
void deliver_run(Run &run, unsigned long long epoch) {
    if (run.items.empty()) return;
    g_publisher.run_here([&run, epoch] {
        for (const Run::Item &it : run.items) {
            if (it.kind == Kind::Start) note_frame(ipamwire::Type::Start, epoch);
            deliver_one(it.kind, it.code, it.length,
                        it.kind == Kind::Send ? run.bytes.data() + it.offset : nullptr, epoch);
            if (it.kind == Kind::End) note_frame(ipamwire::Type::End, epoch);
        }
    });
    run.clear();
}

/* Keeps the connection state the management status reports. */
void note_link(bool up, unsigned long long epoch) {
    std::lock_guard<std::mutex> guard(g_ps.lock);
    if (g_ps.epoch != epoch) return;
    g_ps.connected = up;
    g_ps.in_batch = false;
}

void note_frame(ipamwire::Type type, unsigned long long epoch) {
    std::lock_guard<std::mutex> guard(g_ps.lock);
    if (g_ps.epoch != epoch) return;
    if (type == ipamwire::Type::Start) g_ps.in_batch = true;
    if (type == ipamwire::Type::End) {
        g_ps.in_batch = false;
        ++g_ps.batches;
    }
}

/* Reads one connection until it ends, is refused or the link stops: every
 * frame already waiting (the publisher packs many to a packet) joins the
 * run, up to kRunFrames. A bad frame ends the connection after the good
 * ones before it were delivered. */
void read_publisher(ipamplat::Link &link, int fd, const std::string &path, unsigned long long epoch,
                    int &backoff) {
    ipamwire::SubscriberOrder order;
    auto reader = std::make_unique<ipamwire::PacketReader>();
    Run run;
    while (reader->pending() || ipamwire::waitReadable(fd, link.wake_fd(), -1) > 0) {
        for (bool more = true; more && run.items.size() < kRunFrames;) {
            ipamwire::Frame f;
            const char *why = "";
            const ipamwire::Recv r = reader->next(fd, f, &why, run.items.empty());
            if (r == ipamwire::Recv::Empty) break;
            if (r == ipamwire::Recv::Closed || r == ipamwire::Recv::Error) {
                deliver_run(run, epoch);
                ipamwire::logError("lost the publisher at %s", path.c_str());
                return;
            }
            if (r == ipamwire::Recv::Bad || !order.accept(f, &why)) {
                deliver_run(run, epoch);
                ipamwire::logError("refused frame from the publisher at %s: %s", path.c_str(), why);
                return;
            }
            backoff = kFirstBackoffMs;
            run.add(f);
            more = !link.stopping();
        }
        deliver_run(run, epoch);
        if (link.stopping()) return;
    }
}

/* The subscriber's side of the link: connect, register, read; again after
 * a growing pause whenever the publisher is absent or goes away. */
void subscriber_link(ipamplat::Link *link, std::string path, ipamwire::Hello hello,
                     unsigned long long epoch) {
    int backoff = kFirstBackoffMs;
    while (!link->stopping()) {
        const int fd = ipamwire::connectTo(path);
        if (fd >= 0) {
            uid_t uid = 0;
            uint8_t payload[ipamwire::kHelloSize];
            ipamwire::helloToWire(hello, payload);
            if (!ipamwire::peerAllowed(fd, &uid))
                ipamwire::logError("refused connection from uid %u on %s",
                                   static_cast<unsigned>(uid), path.c_str());
            else if (ipamwire::sendFrame(fd, ipamwire::Type::Hello, 0, payload, sizeof payload)) {
                note_link(true, epoch);
                read_publisher(*link, fd, path, epoch, backoff);
                note_link(false, epoch);
            }
            close(fd);
        }
        if (!link->nap(backoff)) return;
        backoff = backoff * 2 < kMaxBackoffMs ? backoff * 2 : kMaxBackoffMs;
    }
}

/* Replaces the publisher link (none when `dir` is empty); false when the
 * new one could not start (the old one is stopped all the same). */
bool relink(const std::string &dir, const ipamwire::Hello &hello, const struct sockaddr_tipc *pub,
            unsigned long long epoch) {
    std::unique_ptr<ipamplat::Link> fresh;
    bool started = true;
    if (!dir.empty()) {
        fresh = std::make_unique<ipamplat::Link>();
        ipamplat::Link *l = fresh.get();
        started = l->start([l, path = ipamwire::tipcPath(dir, pub), hello, epoch] {
            subscriber_link(l, path, hello, epoch);
        });
        if (!started) fresh.reset();
    }
    std::unique_ptr<ipamplat::Link> old;
    {
        std::lock_guard<std::mutex> guard(g_remote.lock);
        old = std::move(g_remote.link);
        g_remote.link = std::move(fresh);
    }
    ipamplat::stop_link(std::move(old), !g_publisher.on_worker_thread());
    return started;
}

/* Ends the registration whose epoch is `epoch` (after a failed start). */
void unregister(unsigned long long epoch) {
    std::lock_guard<std::mutex> guard(g_ps.lock);
    if (g_ps.epoch != epoch) return;
    g_ps.reg.active = 0;
    ++g_ps.epoch;
}

}  // namespace

namespace ipamplat {

SubStatus ps_status() {
    std::lock_guard<std::mutex> guard(g_ps.lock);
    SubStatus st;
    st.registered = g_ps.reg.active != 0;
    st.module = g_ps.reg.moduleId;
    st.connected = g_ps.connected;
    st.in_batch = g_ps.in_batch;
    st.batches = g_ps.batches;
    return st;
}

void ps_reset() {
    std::lock_guard<std::mutex> guard(g_ps.lock);
    g_ps.reg.initCalls = 0;
    g_ps.reg.finiCalls = 0;
    g_ps.reg.finiModuleId = 0;
    g_ps.reg.finiPublisherModuleId = 0;
    memset(g_ps.reg.finiPublisher, 0, sizeof g_ps.reg.finiPublisher);
    g_ps.init_hook = nullptr;
    g_ps.init_hook_ctx = nullptr;
}

}  // namespace ipamplat

static_assert(sizeof(ipamplat_ps_registration::publisher) == 16, "a sockaddr_tipc is 16 bytes");

/* Registers the subscriber (replacing any earlier one), then runs the init
 * hook. -1 without a callback table or publisher address. In cross-process
 * mode a background link then connects to the publisher process named by
 * the address; this returns without waiting for it. */
IPAMPLAT_API int32_t PS_SubscriberInit(uint32_t handle, uint32_t moduleId,
                                       uint32_t publisherModuleId, uint32_t careMask,
                                       const struct sockaddr_tipc *publisher,
                                       const PS_SUB_CALLBACKS *callbacks) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_PS_INIT, &failed)) return failed;
    if (publisher == nullptr || callbacks == nullptr) return -1;
    /* A runtime directory that is set but unusable fails the subscription
     * at once: the host must not believe it subscribed. */
    bool usable = true;
    const std::string dir = ipamplat::remote_dir(&usable);
    if (!usable) return -1;
    void (*hook)(void *);
    void *hook_ctx;
    unsigned long long epoch;
    {
        std::lock_guard<std::mutex> guard(g_ps.lock);
        ipamplat_ps_registration &r = g_ps.reg;
        r.active = 1;
        r.handle = handle;
        r.moduleId = moduleId;
        r.publisherModuleId = publisherModuleId;
        r.careMask = careMask;
        copy_addr(r.publisher, publisher);
        ++r.initCalls;
        g_ps.callbacks = *callbacks;
        epoch = ++g_ps.epoch;
        g_ps.connected = g_ps.in_batch = false;
        g_ps.batches = 0;
        hook = g_ps.init_hook;
        hook_ctx = g_ps.init_hook_ctx;
    }
    const ipamwire::Hello hello{handle, moduleId, publisherModuleId, careMask,
                                static_cast<uint32_t>(getpid())};
    if (!relink(dir, hello, publisher, epoch)) {
        unregister(epoch);
        return -1;
    }
    if (hook != nullptr) hook(hook_ctx);
    return 0;
}

/* Ends the registration of moduleId with publisherModuleId: drops what is
 * queued for it and waits for a running callback, unless called from that
 * callback. Any other pair of module numbers names a registration that does
 * not exist: -1 (logged), and the registered module goes on receiving. With
 * nothing registered there is nothing to end: 0. Every call is recorded. */
IPAMPLAT_API int32_t PS_SubscriberFini(uint32_t moduleId, uint32_t publisherModuleId,
                                       const struct sockaddr_tipc *publisher) {
    int32_t failed = 0;
    if (ipamplat::fault_hit(IPAMPLAT_F_PS_FINI, &failed)) return failed;
    const bool from_callback = g_publisher.on_worker_thread();
    std::unique_lock<std::mutex> lock(g_ps.lock);
    ipamplat_ps_registration &r = g_ps.reg;
    ++r.finiCalls;
    r.finiModuleId = moduleId;
    r.finiPublisherModuleId = publisherModuleId;
    copy_addr(r.finiPublisher, publisher);
    if (r.active != 0 && (moduleId != r.moduleId || publisherModuleId != r.publisherModuleId)) {
        const uint32_t registered = r.moduleId, registeredPublisher = r.publisherModuleId;
        lock.unlock();
        ipamwire::logError(
            "PS_SubscriberFini: module %u of publisher %u is not registered "
            "(registered: module %u of publisher %u)",
            moduleId, publisherModuleId, registered, registeredPublisher);
        return -1;
    }
    r.active = 0;
    ++g_ps.epoch;
    if (!from_callback) g_ps.idle.wait(lock, [] { return !g_ps.running; });
    lock.unlock();
    relink(std::string(), ipamwire::Hello{}, nullptr, 0);
    return 0;
}

/* A snapshot of the registration record. */
IPAMPLAT_API void ipamplat_ps_get_registration(ipamplat_ps_registration *out) {
    if (out == nullptr) return;
    std::lock_guard<std::mutex> guard(g_ps.lock);
    *out = g_ps.reg;
}

/* Sets the hook PS_SubscriberInit runs before returning (null: none). */
IPAMPLAT_API void ipamplat_ps_set_init_hook(void (*hook)(void *ctx), void *ctx) {
    std::lock_guard<std::mutex> guard(g_ps.lock);
    g_ps.init_hook = hook;
    g_ps.init_hook_ctx = ctx;
}

/* Synchronous deliveries: wait and answer the callback's result. */
IPAMPLAT_API int32_t ipamplat_pub_start(void) { return call(Kind::Start, 0, 0, nullptr); }
IPAMPLAT_API int32_t ipamplat_pub_send(int32_t code, uint32_t length, const void *payload) {
    return call(Kind::Send, code, length, payload);
}
IPAMPLAT_API int32_t ipamplat_pub_end(void) { return call(Kind::End, 0, 0, nullptr); }

/* Queued deliveries. */
IPAMPLAT_API void ipamplat_pub_post_start(void) { post(Kind::Start, 0, 0, nullptr); }
IPAMPLAT_API void ipamplat_pub_post_send(int32_t code, uint32_t length, const void *payload) {
    post(Kind::Send, code, length, payload);
}
IPAMPLAT_API void ipamplat_pub_post_end(void) { post(Kind::End, 0, 0, nullptr); }

/* Waits until every delivery queued so far has run or been dropped. */
IPAMPLAT_API void ipamplat_pub_drain(void) { g_publisher.drain(); }
