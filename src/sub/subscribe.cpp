// Subscription lifecycle: the host's registration with the publisher, the
// replica and the management handler, and their teardown. Every resource
// that comes up is recorded in gIpamSubUp, so each teardown ends exactly
// what is up.
#include "sub/subscribe.h"

#include <linux/tipc.h>

#include <cstddef>
#include <cstring>

#include "common/dbg.h"
#include "common/log.h"
#include "db/db.h"
#include "ipam.h"
#include "mgmt/cmf.h"
#include "platform/dfm.h"
#include "platform/ps.h"
#include "platform/seam.h"
#include "sub/dispatch.h"
#include "sub/state.h"

static_assert(sizeof(struct sockaddr_tipc) == 16);
static_assert(offsetof(struct sockaddr_tipc, family) == 0);
static_assert(offsetof(struct sockaddr_tipc, addrtype) == 2);
static_assert(offsetof(struct sockaddr_tipc, scope) == 3);
static_assert(offsetof(struct sockaddr_tipc, addr.name.name.type) == 4);
static_assert(offsetof(struct sockaddr_tipc, addr.name.name.instance) == 8);
static_assert(offsetof(struct sockaddr_tipc, addr.name.domain) == 12);

namespace {

// The debug-switch query: three NUL-terminated text fields after a zero word
// and the field count. 200 bytes, integers in host byte order.
struct DfmQuery {
    uint32_t reserved;    // 0
    uint32_t fieldCount;  // 3
    char field[3][64];    // "ipam", "debug", "all"
};
static_assert(sizeof(DfmQuery) == 200);
static_assert(offsetof(DfmQuery, fieldCount) == 4 && offsetof(DfmQuery, field) == 8);

const PS_SUB_CALLBACKS kSubCallbacks = {ipamSubStart, ipamSubDispatch, ipamSubEnd};

// The publisher's TIPC name address: name type 0x7fff00c6 (the library's
// module number in the lower half), instance 0x7ffc0001, zone scope.
void publisherAddr(struct sockaddr_tipc *addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->family = AF_TIPC;
    addr->addrtype = TIPC_ADDR_NAME;
    addr->scope = TIPC_ZONE_SCOPE;
    addr->addr.name.name.type = ipam::seam::kNameType;
    addr->addr.name.name.instance = ipam::seam::kPublisherInstance;
    addr->addr.name.domain = 0;
}

// The debug-switch query's fields.
void dfmQueryInit(DfmQuery *query) {
    std::memset(query, 0, sizeof *query);
    query->reserved = 0;
    query->fieldCount = 3;
    std::strcpy(query->field[0], "ipam");
    std::strcpy(query->field[1], "debug");
    std::strcpy(query->field[2], "all");
}

// True while anything of a subscription is recorded or held. A host that
// subscribed with a zero handle holds resources without a handle: it is
// still subscribed, so it can neither set them up twice nor fail to end
// them.
bool subscribed() { return ipam::loadRelaxed(gIpamWtHandle) != 0 || gIpamSubUp != 0; }

// Ends the publisher registration when it is up. No callback runs once it
// has returned.
void endPublisher(uint32_t moduleId) {
    if ((gIpamSubUp & IPAM_SUB_UP_PS) == 0) return;
    struct sockaddr_tipc publisher;
    publisherAddr(&publisher);
    PS_SubscriberFini(moduleId, IPAM_MODULE_ID, &publisher);
    gIpamSubUp &= ~IPAM_SUB_UP_PS;
}

// Frees the replica when it is up. The queries stop answering first, so no
// host thread starts reading a replica that is being freed.
void endReplica() {
    ipam::replicaClearBatch();
    if ((gIpamSubUp & IPAM_SUB_UP_DB) == 0) return;
    ipam_DbUnInit();
    gIpamSubUp &= ~IPAM_SUB_UP_DB;
}

// Back to the unsubscribed state; only the module number (which names the
// log lines) and the debug word stay.
void clearSubscription() {
    ipam::storeRelaxed(gIpamWtHandle, 0);
    ipam::recordInterest(nullptr, 0);
    ipam::replicaClearBatch();
}

// Undoes a subscription that failed before the management handler was
// registered, in reverse order of set-up.
void abandonSubscription(uint32_t moduleId) {
    endPublisher(moduleId);
    endReplica();
    clearSubscription();
}

}  // namespace

uint32_t ipam::careMaskExpand(uint32_t careMask) {
    uint32_t mask = careMask;
    if (mask & (IPAM6_EVT_ADD | IPAM6_EVT_DEL))
        mask |= IPAM_EVT_BATCH_START | IPAM_EVT_BATCH_END | IPAM6_EVT_BATCH;
    if (mask & (IPAM6_EVT_VALID | IPAM6_EVT_INVALID))
        mask |= IPAM6_EVT_BATCH | IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_IF_VALID |
                IPAM6_EVT_IF_INVALID | IPAM6_EVT_UPDATE;
    if (mask & (IPAM4_EVT_ADD | IPAM4_EVT_DEL))
        mask |= IPAM_EVT_BATCH_START | IPAM_EVT_BATCH_END | IPAM4_EVT_BATCH;
    if (mask & (IPAM4_EVT_VALID | IPAM4_EVT_INVALID))
        mask |= IPAM4_EVT_BATCH | IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_IF_VALID |
                IPAM4_EVT_IF_INVALID;
    return mask;
}

// The replica is created before the publisher registration, so callbacks the
// service makes while PS_SubscriberInit runs already find it. A failure at
// any step leaves nothing registered and the library unsubscribed.
int32_t IPAM_SubscribeEvent(uint32_t handle, uint32_t moduleId, uint32_t careMask,
                            IpamEventCallback callback) {
    IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Subscriber input: 0x%x %u 0x%x %p", handle, moduleId, careMask,
             reinterpret_cast<void *>(callback));
    if (subscribed()) {
        IPAM_ERR("(PID:%d)Ipam subscrib event has been registed");
        return IPAM_ERR_FAIL;
    }
    ipam::storeRelaxed(gIpamModuleId, moduleId);
    ipam::storeRelaxed(gIpamWtHandle, handle);
    uint32_t care = ipam::careMaskExpand(careMask);
    ipam::recordInterest(callback, care);

    if (ipam_DbInit() != 0) {
        IPAM_ERR("(PID:%d)Ipam subscrib data base initialize failed");
        abandonSubscription(moduleId);
        return IPAM_ERR_FAIL;
    }
    gIpamSubUp |= IPAM_SUB_UP_DB;

    struct sockaddr_tipc publisher;
    publisherAddr(&publisher);
    if (PS_SubscriberInit(handle, moduleId, IPAM_MODULE_ID, care, &publisher, &kSubCallbacks) !=
        0) {
        IPAM_ERR("(PID:%d)Ipam subscrib initialize failed");
        abandonSubscription(moduleId);
        return IPAM_ERR_FAIL;
    }
    gIpamSubUp |= IPAM_SUB_UP_PS;

    if (ipam::mgmtRegister() != 0) {
        IPAM_ERR("(PID:%d)Ipam subscrib cmf call back reg failed");
        abandonSubscription(moduleId);
        return IPAM_ERR_FAIL;
    }
    gIpamSubUp |= IPAM_SUB_UP_CMF;

    // The debug switch is advisory: a failed query leaves the debug word.
    DfmQuery query;
    dfmQueryInit(&query);
    if (gnl_dfm_process(&query) == 0) ipam::storeRelaxed(gIpamPubDbg, IPAM_DBG_ALL);
    return IPAM_OK;
}

int32_t IPAM4_SubscribeEvent(uint32_t handle, uint32_t moduleId, uint32_t careMask,
                             IpamEventCallback callback) {
    if (careMask & (IPAM6_EVT_BATCH | IPAM6_EVT_ADD | IPAM6_EVT_DEL)) {
        IPAM_ERR("(PID:%d)IPAM4 can't support ipv6 addr event.");
        return IPAM_ERR_FAIL;
    }
    return IPAM_SubscribeEvent(handle, moduleId, careMask, callback);
}

// The publisher goes first, so no callback touches the replica as it is
// freed. A failed management unregistration leaves the subscription recorded
// for a later attempt, which then ends only what is still up. A thread that
// holds the database lock is inside a walk (an event callback of the sweep
// or of an interface message, a host's walk callback): freeing the replica
// then would free the nodes under that walk, so it is refused and nothing
// changes. So is a module number other than the subscribed one: the
// publisher registration is that module's, and freeing the replica while it
// still delivers would hand its callbacks freed memory.
int32_t IPAM_UnSubscribeEvent(uint32_t moduleId) {
    IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)UnSubscriber input: %u", moduleId);
    if (ipam::dbLockHeldHere()) {
        IPAM_ERR("(PID:%d)Ipam unsubscrib refused inside a database walk");
        return IPAM_ERR_FAIL;
    }
    if (!subscribed()) {
        IPAM_ERR("(PID:%d)Ipam subscrib event has been unregisted");
        return IPAM_ERR_FAIL;
    }
    const uint32_t subscribedModule = ipam::loadRelaxed(gIpamModuleId);
    if (moduleId != subscribedModule) {
        IPAM_ERR("(PID:%d)Ipam unsubscrib module %u is not the subscribed module %u", moduleId,
                 subscribedModule);
        return IPAM_ERR_FAIL;
    }
    endPublisher(moduleId);
    endReplica();
    if (gIpamSubUp & IPAM_SUB_UP_CMF) {
        if (ipam::mgmtUnregister() != 0) {
            IPAM_ERR("(PID:%d)Ipam subscrib cmf call back unreg failed");
            return IPAM_ERR_FAIL;
        }
        gIpamSubUp &= ~IPAM_SUB_UP_CMF;
    }
    clearSubscription();
    return IPAM_OK;
}

int32_t IPAM4_UnSubscribeEvent(uint32_t moduleId) { return IPAM_UnSubscribeEvent(moduleId); }
