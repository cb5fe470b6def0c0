// The management object: debug flags (object 1) that can be read, set and
// cleared, and the page-by-page export of the IPv4 and IPv6 tables (objects
// 2 and 3), resumed behind the last record the requester holds.
#include <atomic>
#include <cstring>

#include "common/dbg.h"
#include "common/log.h"
#include "db/db.h"
#include "ipam.h"
#include "mgmt/cmf.h"
#include "platform/cmf.h"
#include "platform/seam.h"

namespace {

using ipam::seam::kEncodePageFull;  // the encoder's answer that ends a page
// The parameter of a table export and of each exported record.
constexpr int32_t kParamRecord = 0;

// The one parameter a request carries, as the framework decodes it.
struct Param {
    int32_t id = 0;
    int32_t length = 0;
    void *data = nullptr;
};

// Decodes the request's parameter; the decoder's answer (0: decoded).
int32_t decodeParam(void *context, Param *p) {
    return CMF_ServerParamDecode(context, &p->id, &p->length, &p->data);
}

// Encodes a copy of one stored record; the encoder's answer.
template <class Info>
int32_t encodeRecord(const Info &stored, void *context) {
    Info copy;
    std::memcpy(&copy, &stored, sizeof copy);
    return CMF_ServerParamEncode(context, kParamRecord, static_cast<int32_t>(sizeof copy), &copy);
}

// One page of a table export, behind the cursor the requester sends back.
// A cursor is one whole record or nothing (length 0 or below): any other
// size cannot be what this export handed out, so it is refused rather than
// guessed at. 13 at the end of the table, 0 when the encoder ended the page.
// `walk` is the family's table walk, `callback` its encoding callback.
template <class Info, class NodeWalkFn>
int32_t exportTable(void *context, int32_t (*walk)(const Info *, NodeWalkFn, void *, int32_t *),
                    NodeWalkFn callback) {
    Param p;
    if (int32_t r = decodeParam(context, &p); r != 0) return r;
    if (p.id != kParamRecord) {
        IPAM_ERR("(PID:%d)Ipam cmf server recv invalid parameter");
        return IPAM_CMF_ERR_PARAM;
    }
    Info cursorRecord;
    const Info *cursor = nullptr;
    if (p.length > 0) {
        if (p.data == nullptr || static_cast<uint32_t>(p.length) != sizeof cursorRecord) {
            IPAM_ERR("(PID:%d)Ipam cmf server recv invalid parameter");
            return IPAM_CMF_ERR_PARAM;
        }
        // The framework's data need not be aligned for the record.
        std::memcpy(&cursorRecord, p.data, sizeof cursorRecord);
        cursor = &cursorRecord;
    }
    int32_t status = 0;
    int32_t walked = walk(cursor, callback, context, &status);
    if (status == kEncodePageFull) return IPAM_OK;
    if (walked == IPAM_WALK_END && status == 0) return IPAM_CMF_END;
    return IPAM_ERR_FAIL;
}

// The debug bits each parameter id stands for; the order is not the bits'.
uint32_t paramBits(int32_t id) {
    switch (id) {
    case IPAM_CMF_PARAM_API:
        return IPAM_DBG_API;
    case IPAM_CMF_PARAM_RSV:
        return IPAM_DBG_RSV;
    case IPAM_CMF_PARAM_DB:
        return IPAM_DBG_DB;
    case IPAM_CMF_PARAM_EVENT:
        return IPAM_DBG_EVENT;
    case IPAM_CMF_PARAM_SUB:
        return IPAM_DBG_SUB;
    case IPAM_CMF_PARAM_ALL:
        return IPAM_DBG_ALL;
    default:
        return 0;
    }
}

// Get: only the whole word (parameter 6, no data) can be read; 13 once it
// was encoded.
int32_t debugGet(void *context) {
    Param p;
    if (int32_t r = decodeParam(context, &p); r != 0) return r;
    if (p.id != IPAM_CMF_PARAM_ALL || p.length != 0) {
        IPAM_ERR("(PID:%d)Ipam agent cmf server recv invalid parameter %d", p.id);
        return IPAM_CMF_ERR_PARAM;
    }
    uint32_t word = ipam::loadRelaxed(gIpamPubDbg);
    int32_t r = CMF_ServerParamEncode(context, IPAM_CMF_PARAM_ALL,
                                      static_cast<int32_t>(sizeof word), &word);
    return r == 0 ? IPAM_CMF_END : r;
}

// The most parameters a set or clear may carry: more than the six ids.
constexpr int kMostParams = 32;

// Set or clear the bits of every parameter of the request, or of none: all
// are checked before the word changes, so a refused request has done
// nothing. Other threads test the word at any time, so the change is one
// atomic read-modify-write. The first decode failing is the decoder's
// answer; a later one ends the list (the framework answers past the last
// parameter that way).
int32_t debugChange(void *context, bool set) {
    Param p;
    if (int32_t r = decodeParam(context, &p); r != 0) return r;
    uint32_t bits = 0;
    for (int n = 1;; n++) {
        if (p.id > IPAM_CMF_PARAM_ALL || p.length != 0 || n > kMostParams) {
            IPAM_ERR("(PID:%d)Ipam cmf server recv invalid parameter");
            return IPAM_CMF_ERR_PARAM;
        }
        if (p.id < IPAM_CMF_PARAM_API) {
            IPAM_ERR("(PID:%d)ipam cmf server unknown parm id:%d", p.id);
            return IPAM_CMF_ERR_PARAM_ID;
        }
        bits |= paramBits(p.id);
        p = Param{};
        if (decodeParam(context, &p) != 0) break;
    }
    std::atomic_ref<uint32_t> word(gIpamPubDbg);
    if (set)
        word.fetch_or(bits, std::memory_order_relaxed);
    else
        word.fetch_and(~bits, std::memory_order_relaxed);
    return IPAM_OK;
}

// Encoded under the walk's database lock: a page is one consistent view.
int32_t ipam4CmfServerAddrWalkCb(Ipam4DbNode *node, void *context) {
    return encodeRecord(node->info, context);
}

int32_t ipam6CmfServerAddrWalkCb(Ipam6DbNode *node, void *context) {
    return encodeRecord(node->info, context);
}

// The management framework's one callback: a request by object and operation.
int32_t ipamCmfServerHdl(void *context) {
    CMF_CONTEXT_OBJ obj;
    std::memset(&obj, 0, sizeof obj);
    int32_t r = CMF_ServerContextObjGet(context, &obj);
    if (r != 0) {
        IPAM_ERR("(PID:%d)ipam get obj err:%d", r);
        return r;
    }
    switch (obj.objectId) {
    case IPAM_CMF_OBJ_ADDR4_TABLE:
        return exportTable(context, ipam::pageWalk4, ipam4CmfServerAddrWalkCb);
    case IPAM_CMF_OBJ_ADDR6_TABLE:
        return exportTable(context, ipam::pageWalk6, ipam6CmfServerAddrWalkCb);
    case IPAM_CMF_OBJ_DEBUG:
        switch (obj.operation) {
        case IPAM_CMF_OP_GET:
            return debugGet(context);
        case IPAM_CMF_OP_SET:
            return debugChange(context, true);
        case IPAM_CMF_OP_CLEAR:
            return debugChange(context, false);
        default:
            // Answering 0 would report work that was not done.
            IPAM_ERR("(PID:%d)Ipam cmf server invalid operation %d", obj.operation);
            return IPAM_ERR_FAIL;
        }
    default:
        IPAM_ERR("(PID:%d)Ipam cmf server invalid object id %d", obj.objectId);
        return IPAM_ERR_FAIL;
    }
}

}  // namespace

int32_t ipam::mgmtRegister() {
    if (CMF_ServerModCallbackReg(IPAM_MODULE_ID, ipamCmfServerHdl) == 0) return IPAM_OK;
    IPAM_ERR("(PID:%d)Ipam cmf server init cmf handle register failed!");
    return IPAM_ERR_FAIL;
}

int32_t ipam::mgmtUnregister() {
    if (CMF_ServerModCallbackUnreg(IPAM_MODULE_ID) == 0) return IPAM_OK;
    IPAM_ERR("(PID:%d)Ipam cmf server uninit cmf handle register failed!");
    return IPAM_ERR_FAIL;
}

int32_t ipam_CmfServerModCallbackReg(void) { return ipam::mgmtRegister(); }

int32_t ipam_CmfServerModCallbackUnreg(void) { return ipam::mgmtUnregister(); }
