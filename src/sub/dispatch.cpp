// The publisher's three callbacks: every message is applied to the replica on
// a copy in a buffer of the handler's own, each batch is reconciled with the
// replica by its version, and every change is raised as an event in the
// publisher's order.
#include "sub/dispatch.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/bytes.h"
#include "common/dbg.h"
#include "common/log.h"
#include "db/addr.h"
#include "db/db.h"
#include "sub/event.h"
#include "sub/state.h"

namespace {

using ipam::Fam4;
using ipam::Fam6;

// The interface messages' payload: only the index is read.
struct IfBlock {
    uint32_t ifIndex;
    uint8_t rest[28];
};
static_assert(sizeof(IfBlock) == 32 && offsetof(IfBlock, ifIndex) == 0);

uint32_t batchVersion() { return ipam::replicaBatchVersion(); }

// A message whose payload is missing or too short to hold what its code
// carries changes nothing: reading it whole would read past the sender's
// buffer, and a record completed with guesses would corrupt the replica.
void refuseMessage(int32_t code, uint32_t length) {
    IPAM_ERR("(PID:%d)Ipam subscrib receive invalid message 0x%x len %u",
             static_cast<uint32_t>(code), length);
}

// Copies a record message into the handler's own record. Only the record's
// size is copied from a longer payload. A name that fills its 40 bytes is
// cut to 39 characters: the host reads it as a C string. Refusing the
// message instead would lose the address, and no identity or match reads
// the name, so the cut changes none. False (after the error line) when the
// payload cannot hold a whole record.
template <class Fam>
bool copyRecord(int32_t code, uint32_t length, const void *payload, typename Fam::Info *out) {
    if (payload == nullptr || length < sizeof *out) {
        refuseMessage(code, length);
        return false;
    }
    std::memcpy(out, payload, sizeof *out);
    out->ifName[IPAM_IFNAME_SIZE - 1] = '\0';
    return true;
}

// The two traces of a received record, formatted only while IPAM_DBG_SUB is
// set.
template <class Fam>
void traceRecord(int32_t code, uint32_t length, const typename Fam::Info &r) {
    if (!ipam::dbgOn(IPAM_DBG_SUB)) return;
    char addr[Fam::kTextLen];
    char mask[Fam::kTextLen];
    ipam::addrText(Fam::kAf, Fam::addr(r), addr);
    ipam::addrText(Fam::kAf, Fam::mask(r), mask);
    IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib receive addr info: len %d",
             static_cast<int>(length));
    IPAM_DBG(IPAM_DBG_SUB,
             "(PID:%d)event 0x%x ifIndex %d vrfIndex %d Ipaddr %s ipmask %s IpAttr 0x%x",
             static_cast<uint32_t>(code), r.ifIndex, r.vrfIndex, addr, mask, Fam::attr(r));
}

// Raises `event` with the record, then the family's valid event when the
// record carries IPAM_ATTR_VALID.
template <class Fam>
void raiseWithValid(uint32_t event, typename Fam::Info &r) {
    ipamEventNotify(event, &r);
    if (Fam::attr(r) & IPAM_ATTR_VALID) ipamEventNotify(Fam::kEvtValid, &r);
}

// Raises the family's delete event with the record, then its invalid event
// when the record carries IPAM_ATTR_VALID.
template <class Fam>
void raiseDeleted(typename Fam::Info &r) {
    ipamEventNotify(Fam::kEvtDel, &r);
    if (Fam::attr(r) & IPAM_ATTR_VALID) ipamEventNotify(Fam::kEvtInvalid, &r);
}

// A single addition: stored with the current batch version and announced,
// also when storing failed. The insertion's result.
template <class Fam>
int32_t addMessage(typename Fam::Info &r) {
    int32_t result = ipam::addRecord<Fam>(r, batchVersion());
    if (result != 0) IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib add addr info node failed");
    raiseWithValid<Fam>(Fam::kEvtAdd, r);
    return result;
}

// A single deletion: removed first, announced also when the record was not
// stored. The removal's result.
template <class Fam>
int32_t delMessage(typename Fam::Info &r) {
    int32_t result = ipam::removeMatching<Fam>(r);
    if (result != 0) IPAM_ERR("(PID:%d)Ipam subscrib delete addr info node failed");
    raiseDeleted<Fam>(r);
    return result;
}

// One record of a batch. The first batch fills an empty replica, so every
// record is stored and announced. A later batch confirms a stored record
// silently with the current version, and stores and announces a new or
// changed one; the old form of a changed record is left to the sweep.
template <class Fam>
void batchRecord(typename Fam::Info &r) {
    uint32_t ver = batchVersion();
    if (ver == 1) {
        if (ipam::addRecord<Fam>(r, ver) != 0)
            IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib add address info node failed");
        raiseWithValid<Fam>(Fam::kEvtAdd, r);
        return;
    }
    // The publisher thread is the only writer: it searches without the lock.
    ipam::Scope scope(ipam::Scope::kCallerHolds);
    typename Fam::Node *first = ipam::nodeByKey<Fam>(scope, r.vrfIndex, Fam::addr(r));
    if (first == nullptr) {
        IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib batch addr info is not found");
    } else {
        // The first node with the key is the usual match; when several
        // records share the key (one address on two interfaces, an old and
        // a new attribute), the identical one may be behind it and must be
        // confirmed too rather than announced again as new.
        typename Fam::Node *same =
            ipam::sameRecord<Fam>(first->info, r) ? first : ipam::findSame<Fam>(r);
        if (same != nullptr) {
            same->batchVer = ver;
            return;
        }
        IPAM_DBG(IPAM_DBG_SUB,
                 "(PID:%d)Ipam subscrib batch addr info is not the same with exist one");
    }
    if (ipam::addRecord<Fam>(r, ver) != 0)
        IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib add addr info node failed");
    raiseWithValid<Fam>(Fam::kEvtAdd, r);
}

// Batch-end sweep of one node: a node the batch did not confirm is announced
// while it still exists, then removed itself (not merely a node with the
// same fields, which may be its newer form).
template <class Fam>
int32_t sweepNode(typename Fam::Node *node) {
    if (node->batchVer == batchVersion()) return 0;
    raiseDeleted<Fam>(node->info);
    int32_t result = ipam::removeNode<Fam>(node);
    if (result == IPAM_ERR_FAIL) IPAM_ERR("(PID:%d)Ipam subscrib delete addr info node failed");
    return result;
}

// The sweep's walk callbacks: keep a node of the current batch (0),
// otherwise raise its deletion and remove exactly that node (the removal's
// result).
int32_t ipamSubDbAddrWalkCb(Ipam4DbNode *node, void * /*user*/) { return sweepNode<Fam4>(node); }

int32_t ipam6SubDbAddrWalkCb(Ipam6DbNode *node, void * /*user*/) { return sweepNode<Fam6>(node); }

// The interface messages' walk callbacks; `user` points to the message's
// code. Each changes the node's validity bits in place and raises the
// matching event; always 0.
//
// IPv4 tracks interface validity in IPAM_ATTR_IF_VALID: valid marks the
// records that lack it, invalid unmarks those that have it.
int32_t ipam4IfEvtWalkCb(Ipam4DbNode *node, void *user) {
    uint32_t code = *static_cast<const uint32_t *>(user);
    uint32_t &attr = node->info.ipAttr;
    if (code == IPAM4_EVT_IF_VALID && (attr & IPAM_ATTR_IF_VALID) == 0) {
        attr |= IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID;
        ipamEventNotify(IPAM4_EVT_VALID, &node->info);
    } else if (code == IPAM4_EVT_IF_INVALID && (attr & IPAM_ATTR_IF_VALID) != 0) {
        attr &= ~(IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID);
        ipamEventNotify(IPAM4_EVT_INVALID, &node->info);
    }
    return 0;
}

// IPv6 tests IPAM_ATTR_VALID itself for valid, and makes every record of the
// interface invalid whatever its bits.
int32_t ipam6IfEvtWalkCb(Ipam6DbNode *node, void *user) {
    uint32_t code = *static_cast<const uint32_t *>(user);
    uint32_t &attr = node->info.ip6Attr;
    if (code == IPAM6_EVT_IF_VALID && (attr & IPAM_ATTR_VALID) == 0) {
        attr |= IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID;
        ipamEventNotify(IPAM6_EVT_VALID, &node->info);
    } else if (code == IPAM6_EVT_IF_INVALID) {
        attr &= ~(IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID);
        ipamEventNotify(IPAM6_EVT_INVALID, &node->info);
    }
    return 0;
}

bool isIfCode(int32_t code) {
    switch (static_cast<uint32_t>(code)) {
    case IPAM4_EVT_IF_VALID:
    case IPAM4_EVT_IF_INVALID:
    case IPAM6_EVT_IF_VALID:
    case IPAM6_EVT_IF_INVALID:
        return true;
    default:
        return false;
    }
}

// Interface valid/invalid: the family's records of that interface change
// their validity in place, each change raising its event.
int32_t ifMessage(int32_t code, uint32_t length, const void *payload) {
    if (payload == nullptr || length < sizeof(uint32_t)) {
        refuseMessage(code, length);
        return IPAM_ERR_FAIL;
    }
    IfBlock block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(&block, payload, std::min<size_t>(length, sizeof block));
    uint32_t codeWord = static_cast<uint32_t>(code);
    IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib receive if info: len %d",
             static_cast<int>(length));
    IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)event 0x%x ifIndex %d", codeWord, block.ifIndex);
    if (codeWord == IPAM4_EVT_IF_VALID || codeWord == IPAM4_EVT_IF_INVALID)
        ipam_DbAddrWalkByIf(block.ifIndex, ipam4IfEvtWalkCb, &codeWord);
    else
        ipam6_DbAddrWalkByIf(block.ifIndex, ipam6IfEvtWalkCb, &codeWord);
    return IPAM_OK;
}

// The relay message is only passed on; its payload is read by the traces
// alone, so any length is taken, cut to a record and zero-filled.
int32_t relayMessage(int32_t code, uint32_t length, const void *payload) {
    Ipam4AddrInfo r;
    std::memset(&r, 0, sizeof r);
    if (payload != nullptr) std::memcpy(&r, payload, std::min<size_t>(length, sizeof r));
    traceRecord<Fam4>(code, length, r);
    ipamEventNotify(IPAM_EVT_RELAY, nullptr);
    return IPAM_OK;
}

}  // namespace

int32_t ipamSubStart(void) {
    ipam::replicaNextBatch();
    IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib receive publisher start message");
    ipamEventNotify(IPAM_EVT_BATCH_START, nullptr);
    return IPAM_OK;
}

int32_t ipamSubDispatch(int32_t code, uint32_t length, const void *payload) {
    switch (static_cast<uint32_t>(code)) {
    case IPAM4_EVT_BATCH:
    case IPAM4_EVT_ADD:
    case IPAM4_EVT_DEL: {
        Ipam4AddrInfo r;
        if (!copyRecord<Fam4>(code, length, payload, &r)) return IPAM_ERR_FAIL;
        traceRecord<Fam4>(code, length, r);
        if (static_cast<uint32_t>(code) == IPAM4_EVT_ADD) return addMessage<Fam4>(r);
        if (static_cast<uint32_t>(code) == IPAM4_EVT_DEL) return delMessage<Fam4>(r);
        batchRecord<Fam4>(r);
        return IPAM_OK;
    }
    case IPAM_EVT_RELAY:
        return relayMessage(code, length, payload);
    case IPAM6_EVT_BATCH:
    case IPAM6_EVT_ADD:
    case IPAM6_EVT_DEL:
    case IPAM6_EVT_UPDATE:
        return ipam6SubDispatch(code, length, payload);
    default:
        if (isIfCode(code)) return ifMessage(code, length, payload);
        IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib receive unknown event 0x%x",
                 static_cast<uint32_t>(code));
        return IPAM_OK;
    }
}

int32_t ipam6SubDispatch(int32_t code, uint32_t length, const void *payload) {
    Ipam6AddrInfo r;
    if (!copyRecord<Fam6>(code, length, payload, &r)) return IPAM_ERR_FAIL;
    traceRecord<Fam6>(code, length, r);
    switch (static_cast<uint32_t>(code)) {
    case IPAM6_EVT_ADD:
        addMessage<Fam6>(r);
        break;
    case IPAM6_EVT_DEL:
        delMessage<Fam6>(r);
        break;
    case IPAM6_EVT_UPDATE:
        // A record the replica lacks is stored as it comes. An update never
        // raises the invalid event, also when it clears IPAM_ATTR_VALID.
        if (ipam6_UpdAddrInfoNode(&r, batchVersion()) == IPAM_ERR_NOT_FOUND &&
            ipam::addRecord<Fam6>(r, batchVersion()) != 0)
            IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib dup addr info node failed");
        raiseWithValid<Fam6>(IPAM6_EVT_UPDATE, r);
        break;
    case IPAM6_EVT_BATCH:
        batchRecord<Fam6>(r);
        break;
    default:
        break;
    }
    return IPAM_OK;
}

int32_t ipamSubEnd(void) {
    IPAM_DBG(IPAM_DBG_SUB, "(PID:%d)Ipam subscrib receive publisher end message");
    int32_t result = IPAM_OK;
    // The first batch filled an empty replica: nothing can be stale yet.
    if (static_cast<int32_t>(batchVersion()) >= 2) {
        if (ipam_DbAddrWalk(nullptr, ipamSubDbAddrWalkCb, nullptr, nullptr) == IPAM_ERR_FAIL) {
            IPAM_ERR("(PID:%d)Ipam subscrib walk db hash table failed");
            result = IPAM_ERR_FAIL;
        } else if (ipam6_DbAddrWalk(nullptr, ipam6SubDbAddrWalkCb, nullptr, nullptr) ==
                   IPAM_ERR_FAIL) {
            IPAM_ERR("(PID:%d)Ipam6 subscrib walk db hash table failed");
            result = IPAM_ERR_FAIL;
        }
    }
    ipam::replicaMarkSynced();
    ipamEventNotify(IPAM_EVT_BATCH_END, nullptr);
    return result;
}
