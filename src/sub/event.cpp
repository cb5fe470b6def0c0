// Delivery of events to the host: one trace per event (and a record dump for
// the address events) under IPAM_DBG_EVENT, then the host's callback when
// the event is in the care mask.
#include "sub/event.h"

#include <sys/socket.h>

#include "common/bytes.h"
#include "common/log.h"
#include "sub/state.h"

namespace {

// The record dumps of the event traces. Each line tests the bit again, so a
// dump stops as soon as the bit is cleared. The "add new" wording serves every IPv4 event.
void ipamDbgShowIpamDb(const Ipam4AddrInfo *record) {
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)add new ifindex: %d vrfIndex: %d", record->ifIndex,
             record->vrfIndex);
    // A stored name may fill its 40 bytes without a terminator.
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)ifname: %.40s", record->ifName);
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)add new ipaddr: %x ipmask: %x",
             ipam::addrValue(record->ipAddr), ipam::addrValue(record->ipMask));
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)add new attr: 0x%x", record->ipAttr);
}

void ipam6DbgShowIpam6Db(const Ipam6AddrInfo *record) {
    char addr[48];
    char mask[48];
    ipam::addrText(AF_INET6, record->ip6Addr, addr);
    ipam::addrText(AF_INET6, record->ip6Mask, mask);
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)ifindex: %d vrfIndex: %d", record->ifIndex, record->vrfIndex);
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)ifname: %.40s", record->ifName);
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)ipaddr: %s ipmask: %s", addr, mask);
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)attr: 0x%x", record->ip6Attr);
}

// The event's trace line, then the dump of its record where it has one. A
// missing record is not dumped.
void traceEvent(uint32_t eventCode, void *record) {
    switch (eventCode) {
    case IPAM_EVT_BATCH_START:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)batch start");
        return;
    case IPAM_EVT_BATCH_END:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)batch end");
        return;
    case IPAM4_EVT_ADD:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)add new addr4");
        break;
    case IPAM4_EVT_DEL:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)del addr4");
        break;
    case IPAM4_EVT_VALID:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)IPAM4_EVT_VALID new addr4");
        break;
    case IPAM4_EVT_INVALID:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)IPAM4_EVT_INVALID addr4");
        break;
    case IPAM6_EVT_ADD:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)add new addr6");
        if (record) ipam6DbgShowIpam6Db(static_cast<const Ipam6AddrInfo *>(record));
        return;
    case IPAM6_EVT_DEL:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)del addr6");
        if (record) ipam6DbgShowIpam6Db(static_cast<const Ipam6AddrInfo *>(record));
        return;
    case IPAM6_EVT_VALID:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)IPAM6_EVT_VALID new addr6");
        if (record) ipam6DbgShowIpam6Db(static_cast<const Ipam6AddrInfo *>(record));
        return;
    case IPAM6_EVT_INVALID:
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)IPAM6_EVT_INVALID addr6");
        if (record) ipam6DbgShowIpam6Db(static_cast<const Ipam6AddrInfo *>(record));
        return;
    default:
        // Only the trace text is missing: such events are still delivered.
        IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)no support event %d", eventCode);
        return;
    }
    // The IPv4 events.
    if (record) ipamDbgShowIpamDb(static_cast<const Ipam4AddrInfo *>(record));
}

}  // namespace

void ipamEventNotify(uint32_t eventCode, void *record) {
    IpamEventCallback callback = ipam::loadCallback();
    if (callback == nullptr) return;
    if (ipam::dbgOn(IPAM_DBG_EVENT)) traceEvent(eventCode, record);
    uint32_t care = ipamSubGetCareEvt();
    if ((eventCode & care) == 0) return;
    callback(eventCode, record);
    IPAM_DBG(IPAM_DBG_EVENT, "(PID:%d)notify done, care 0x%x event 0x%x", care, eventCode);
}
