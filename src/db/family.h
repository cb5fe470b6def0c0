// What differs between the two address families, in one place: types and
// accessors, the (VRF, address) key of the family's index,
// events, text sizes, trace prefixes, what a re-added record changes, and
// the traces whose wording differs beyond the prefix. The shared algorithms
// (db/addr.h, db/walk.cpp, sub/dispatch.cpp, api/query.cpp) are templates
// over these; each exported twin stays a thin, named entry point.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "common/log.h"
#include "db/db.h"

namespace ipam {

// Fam4 and Fam6 are deliberate twins, member for member: a template reads
// the same name from either.
// Each carries its (VRF, address) key (db/replica.h), so the keyed
// operations take a family as they take a key.
struct Fam4 : Addr4Key {
    using Info = Ipam4AddrInfo;
    using NodeWalkFn = Ipam4DbNodeWalkFn;
    static constexpr int kAf = AF_INET;
    static constexpr size_t kAddrLen = 4;
    static constexpr size_t kTextLen = 16;  // address text, terminator included
    static constexpr uint32_t kIfCareBits = IPAM4_EVT_IF_VALID | IPAM4_EVT_IF_INVALID;
    static constexpr uint32_t kEvtAdd = IPAM4_EVT_ADD;
    static constexpr uint32_t kEvtDel = IPAM4_EVT_DEL;
    static constexpr uint32_t kEvtValid = IPAM4_EVT_VALID;
    static constexpr uint32_t kEvtInvalid = IPAM4_EVT_INVALID;
    // The family's log texts, whole: a logger may key on the format it is
    // handed, so each family hands over its own literal. Most IPv4 lines
    // name the family "Ipam", the interface walks "Ipam4".
    static constexpr char kTextNoParam[] = "(PID:%d)Ipam conf invalid parameter";
    static constexpr char kTextNotReady[] = "(PID:%d)Ipam conf has not subcribe the ipam data";
    static constexpr char kTextNoMemory[] = "(PID:%d)Ipam db malloc ipam db node failed";
    static constexpr char kTextWalkNoIf[] = "(PID:%d)Ipam4 db walk ifindex(0x%x) not found address";
    static constexpr char kTextWalkBroken[] =
        "(PID:%d)Ipam4 db walk ifindex(0x%x) address break by caller(%p) failed";
    static constexpr char kTextWalkOver[] = "(PID:%d)Ipam4 db walk ifindex(0x%x) address over";
    // A record stored again keeps the attribute word it was stored with.
    static constexpr bool kReAddTakesAttr = false;
    static IpamListLink &list(IpamIfNode &n) { return n.addr4List; }
    static const uint8_t *addr(const Info &i) {
        return reinterpret_cast<const uint8_t *>(&i.ipAddr);
    }
    static uint8_t *addr(Info &i) { return reinterpret_cast<uint8_t *>(&i.ipAddr); }
    static const uint8_t *mask(const Info &i) {
        return reinterpret_cast<const uint8_t *>(&i.ipMask);
    }
    static uint32_t &attr(Info &i) { return i.ipAttr; }
    static uint32_t attr(const Info &i) { return i.ipAttr; }

    // Trace hooks.
    static void traceNoKey(uint32_t vrfIndex, const uint8_t *addr) {
        if (!dbgOn(IPAM_DBG_DB)) return;
        char text[kTextLen];
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db has not find the data with vrfIndex %d ipAddr %s",
                 vrfIndex, addrText(kAf, addr, text));
    }
    static void traceReAdd(const Info &, const Info &) {
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam db addr info is exist");
    }
    // Shows the copy as the callback left it.
    static void traceWalkVisited(uint32_t ifIndex, const Info &copy) {
        IPAM_DBG(IPAM_DBG_DB,
                 "(PID:%d)Ipam4 db walk ifindex(0x%x) address: 0x%08x/0x%08x attr 0x%x", ifIndex,
                 addrValue(copy.ipAddr), addrValue(copy.ipMask), copy.ipAttr);
    }
};

struct Fam6 : Addr6Key {
    using Info = Ipam6AddrInfo;
    using NodeWalkFn = Ipam6DbNodeWalkFn;
    static constexpr int kAf = AF_INET6;
    static constexpr size_t kAddrLen = 16;
    static constexpr size_t kTextLen = 48;
    static constexpr uint32_t kIfCareBits = IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID;
    static constexpr uint32_t kEvtAdd = IPAM6_EVT_ADD;
    static constexpr uint32_t kEvtDel = IPAM6_EVT_DEL;
    static constexpr uint32_t kEvtValid = IPAM6_EVT_VALID;
    static constexpr uint32_t kEvtInvalid = IPAM6_EVT_INVALID;
    static constexpr char kTextNoParam[] = "(PID:%d)Ipam6 conf invalid parameter";
    static constexpr char kTextNotReady[] = "(PID:%d)Ipam6 conf has not subcribe the ipam data";
    static constexpr char kTextNoMemory[] = "(PID:%d)Ipam6 db malloc ipam db node failed";
    static constexpr char kTextWalkNoIf[] = "(PID:%d)Ipam6 db walk ifindex(0x%x) not found address";
    static constexpr char kTextWalkBroken[] =
        "(PID:%d)Ipam6 db walk ifindex(0x%x) address break by caller(%p) failed";
    static constexpr char kTextWalkOver[] = "(PID:%d)Ipam6 db walk ifindex(0x%x) address over";
    // A record stored again takes over the new attribute word.
    static constexpr bool kReAddTakesAttr = true;
    static IpamListLink &list(IpamIfNode &n) { return n.addr6List; }
    static const uint8_t *addr(const Info &i) { return i.ip6Addr; }
    static uint8_t *addr(Info &i) { return i.ip6Addr; }
    static const uint8_t *mask(const Info &i) { return i.ip6Mask; }
    static uint32_t &attr(Info &i) { return i.ip6Attr; }
    static uint32_t attr(const Info &i) { return i.ip6Attr; }

    // Trace hooks.
    static void traceNoKey(uint32_t vrfIndex, const uint8_t *addr) {
        if (!dbgOn(IPAM_DBG_DB)) return;
        char text[kTextLen];
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam6 db has not find the data with vrfIndex %d ip6Addr %s",
                 vrfIndex, addrText(kAf, addr, text));
    }
    // Called before the new attribute is taken over.
    static void traceReAdd(const Info &stored, const Info &record) {
        IPAM_DBG(IPAM_DBG_DB, "(PID:%d)Ipam6 db addr info is exist, update ip6Attr (0x%x-->0x%x)",
                 stored.ip6Attr, record.ip6Attr);
    }
    // The IPv6 record walk traces no record.
    static void traceWalkVisited(uint32_t, const Info &) {}
};

}  // namespace ipam
