// libipam's side: the real shared library with the stand-in platform.
//
// The publisher callbacks are reached two ways: directly (this executable
// defines PS_SubscriberInit, which the library resolves to first; it keeps
// the callbacks and hands the registration on to the platform), and through
// the platform's publisher thread (ipamplat_pub_send), which adds one thread
// hop per message; "hop_empty" measures that hop alone.
#include <cstdio>
#include <cstdlib>

#include "callbacks.h"
#include "drive.h"
#include "ipam.h"
#include "ipam_platform.h"
#include "platform/gnl_sem.h"

namespace bench {
namespace {

constexpr uint32_t kHostModule = 77;
constexpr uint32_t kCare = IPAM_EVT_BATCH_START | IPAM_EVT_BATCH_END | IPAM4_EVT_ADD |
                           IPAM4_EVT_DEL | IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_UPDATE;

uint64_t g_events = 0;

int32_t hostCallback(uint32_t, void *) {
    ++g_events;
    return 0;
}

void die(const char *what) {
    std::fprintf(stderr, "bench: %s\n", what);
    std::abort();
}

class IpamSide {
public:
    const char *name() const { return "ipam"; }
    bool resyncFeasible(std::size_t) const { return true; }

    void fill(std::size_t n, V6Shape shape) {
        subscribe();
        libraryCallbacks().start();
        for (uint32_t k : fillOrder(n)) {
            const Ipam4AddrInfo r = record4(k);
            libraryCallbacks().dispatch(IPAM4_EVT_BATCH, sizeof r, &r);
        }
        for (uint32_t k : fillOrder(n)) {
            const Ipam6AddrInfo r = record6(k, shape);
            libraryCallbacks().dispatch(IPAM6_EVT_BATCH, sizeof r, &r);
        }
        libraryCallbacks().end();
        if (!ipam_IsSubscrib()) die("the replica did not become complete");
    }

    // A fresh subscription whose first batch holds these records only.
    void resyncPrepare4(const Ipam4AddrInfo *uni, std::size_t n) {
        subscribe();
        libraryCallbacks().start();
        for (std::size_t k = 0; k < n; ++k)
            libraryCallbacks().dispatch(IPAM4_EVT_BATCH, sizeof uni[k], &uni[k]);
        libraryCallbacks().end();
    }
    void resyncPrepare6(const Ipam6AddrInfo *uni, std::size_t n) {
        subscribe();
        libraryCallbacks().start();
        for (std::size_t k = 0; k < n; ++k)
            libraryCallbacks().dispatch(IPAM6_EVT_BATCH, sizeof uni[k], &uni[k]);
        libraryCallbacks().end();
    }

    void add4(const Ipam4AddrInfo &r) { send(IPAM4_EVT_ADD, &r, sizeof r); }
    void del4(const Ipam4AddrInfo &r) { send(IPAM4_EVT_DEL, &r, sizeof r); }
    void add6(const Ipam6AddrInfo &r) { send(IPAM6_EVT_ADD, &r, sizeof r); }
    void del6(const Ipam6AddrInfo &r) { send(IPAM6_EVT_DEL, &r, sizeof r); }

    bool configured4(uint32_t f) { return IPAM4_IsIpAddrConfigured(f) == 1; }
    bool primary4(uint32_t f, Ipam4AddrInfo *o) { return IPAM4_GetAddrInfoByIfIndex(f, o) == 0; }
    bool get4(uint32_t v, uint32_t a, Ipam4AddrInfo *o) { return IPAM4_GetAddrInfo(v, a, o) == 0; }
    bool get6(uint32_t v, const uint8_t *a, Ipam6AddrInfo *o) {
        return IPAM6_GetAddrInfo(v, a, o) == 0;
    }
    bool select6(uint32_t f, const uint8_t *d, Ipam6AddrInfo *o) {
        return IPAM6_GetAddrInfoByIfIndexAndAddr(f, d, o) == 0;
    }
    int walk4(uint32_t f, Ipam4AddrInfoWalkFn fn, void *u) { return IPAM4_WalkAddrInfo(f, fn, u); }
    int walk6(uint32_t f, Ipam6AddrInfoWalkFn fn, void *u) { return IPAM6_WalkAddrInfo(f, fn, u); }

    std::size_t export4() { return exportTable(IPAM_CMF_OBJ_ADDR4_TABLE, sizeof(Ipam4AddrInfo)); }
    std::size_t export6() { return exportTable(IPAM_CMF_OBJ_ADDR6_TABLE, sizeof(Ipam6AddrInfo)); }

    void resync4(const Ipam4AddrInfo *uni, std::size_t u, std::size_t from, std::size_t count) {
        libraryCallbacks().start();
        for (std::size_t k = 0; k < u; ++k)
            if (!Driver<IpamSide>::inWindow(k, from, count, u))
                libraryCallbacks().dispatch(IPAM4_EVT_BATCH, sizeof uni[k], &uni[k]);
        libraryCallbacks().end();
    }
    void resync6(const Ipam6AddrInfo *uni, std::size_t u, std::size_t from, std::size_t count) {
        libraryCallbacks().start();
        for (std::size_t k = 0; k < u; ++k)
            if (!Driver<IpamSide>::inWindow(k, from, count, u))
                libraryCallbacks().dispatch(IPAM6_EVT_BATCH, sizeof uni[k], &uni[k]);
        libraryCallbacks().end();
    }

    void memory(benchmark::State &st, std::size_t n) {
        fillOrder(n);  // before the heap is read
        unsubscribe();
        resetPeak();
        const HeapCounters h0 = heap();
        subscribe();
        libraryCallbacks().start();
        const HeapCounters h1 = heap();
        for (uint32_t k : fillOrder(n)) {
            const Ipam4AddrInfo r = record4(k);
            libraryCallbacks().dispatch(IPAM4_EVT_BATCH, sizeof r, &r);
        }
        const HeapCounters h2 = heap();
        for (uint32_t k : fillOrder(n)) {
            const Ipam6AddrInfo r = record6(k, V6Shape::Realistic);
            libraryCallbacks().dispatch(IPAM6_EVT_BATCH, sizeof r, &r);
        }
        libraryCallbacks().end();
        const HeapCounters h3 = heap();
        reportFill(st, h0, h1, h2, h3, n);
    }

    // Which road single changes take: the callback itself, or the platform.
    bool viaPlatform = false;

private:
    void send(int32_t code, const void *r, uint32_t len) {
        if (viaPlatform)
            ipamplat_pub_send(code, len, r);
        else
            libraryCallbacks().dispatch(code, len, r);
    }

    void subscribe() {
        unsubscribe();
        if (IPAM_SubscribeEvent(1, kHostModule, kCare, hostCallback) != 0)
            die("IPAM_SubscribeEvent failed");
        if (libraryCallbacks().dispatch == nullptr) die("the publisher callbacks were not seen");
        gIpamPubDbg = 0;
        subscribed_ = true;
    }

    void unsubscribe() {
        if (subscribed_ && IPAM_UnSubscribeEvent(kHostModule) != 0)
            die("IPAM_UnSubscribeEvent failed");
        subscribed_ = false;
    }

    std::size_t exportTable(uint32_t object, std::size_t recordSize) {
        uint8_t cursor[sizeof(Ipam6AddrInfo)];
        int32_t cursorLength = 0;
        std::size_t seen = 0;
        for (;;) {
            ipamplat_cmf_param param{0, cursorLength, cursor};
            ipamplat_cmf_request req{object, IPAM_CMF_OP_GET, 1, &param, kPageRecords, 4};
            ipamplat_cmf_reply *reply = nullptr;
            const int32_t r = ipamplat_cmf_send(&req, &reply);
            const uint32_t got = ipamplat_cmf_reply_count(reply);
            if (got > 0) {
                int32_t id, length;
                const void *data;
                ipamplat_cmf_reply_param(reply, got - 1, &id, &length, &data);
                if (length != static_cast<int32_t>(recordSize))
                    die("the export encoded a record of an unexpected size");
                std::memcpy(cursor, data, recordSize);
                cursorLength = length;
            }
            ipamplat_cmf_reply_free(reply);
            seen += got;
            if (r == IPAM_CMF_END) return seen;
            if (r != 0 || got == 0) die("the management export failed");
        }
    }

    bool subscribed_ = false;
};

IpamSide g_side;
Driver<IpamSide> g_driver(g_side);

// The platform's publisher thread, with a message the library ignores.
void hopEmpty(benchmark::State &st) {
    AllocScope allocs;
    for (auto _ : st) ipamplat_pub_send(0x3, 0, nullptr);
    allocs.finish(st);
}

// One take and give of a re-entrant platform mutex: what every query and
// change pays for the database lock on this platform.
void lockPair(benchmark::State &st) {
    static gnl_sem_t sem{};
    if (sem.id == 0 && gnl_sem_mutex_init("benchSem", &sem) != 0) die("gnl_sem_mutex_init failed");
    AllocScope allocs;
    for (auto _ : st) {
        gnl_sem_take(&sem, 0);
        gnl_sem_give(&sem);
    }
    allocs.finish(st);
}

}  // namespace

void registerIpam(std::size_t n) {
    static bool once = false;
    if (!once) {
        once = true;
        setenv("IPAM_PLATFORM_QUIET", "1", 1);
        ipamplat_log_set_stderr(0);
        ipamplat_module_register(kHostModule, "bench");
        ipamplat_dfm_set_answer(-1);
        add("ipam", "hop_empty", 0, hopEmpty)->MeasureProcessCPUTime();
        add("ipam", "lock_pair", 0, lockPair);
    }
    g_driver.registerAll(n);
    if (n > kFullSetUpTo) return;
    add("ipam", "v4_add_hop", n, [n](benchmark::State &st) {
        g_side.viaPlatform = true;
        g_driver.addDel4(st, n, true);
        g_side.viaPlatform = false;
    })->MeasureProcessCPUTime();
    add("ipam", "v4_del_hop", n, [n](benchmark::State &st) {
        g_side.viaPlatform = true;
        g_driver.addDel4(st, n, false);
        g_side.viaPlatform = false;
    })->MeasureProcessCPUTime();
}

}  // namespace bench
