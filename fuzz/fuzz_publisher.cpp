// The publisher's message stream: batch starts and ends, and messages of any
// code, length and payload, some of them records built so that keys collide,
// played to the library's publisher callbacks under one subscription per
// input. Afterwards the replica must be self-consistent and unsubscribing
// must free all of it (LeakSanitizer).
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_common.h"

namespace {

const uint32_t kLengths[] = {0, 1, 3, 4, 5, 31, 32, 33, 59, 60, 61, 99, 100, 101, 4096};

// Bytes a message must carry for its code; 0 for codes read by nobody.
size_t needs(int32_t code) {
    uint32_t c = static_cast<uint32_t>(code);
    if (c == IPAM4_EVT_BATCH || c == IPAM4_EVT_ADD || c == IPAM4_EVT_DEL)
        return sizeof(Ipam4AddrInfo);
    if (c == IPAM6_EVT_BATCH || c == IPAM6_EVT_ADD || c == IPAM6_EVT_DEL || c == IPAM6_EVT_UPDATE)
        return sizeof(Ipam6AddrInfo);
    return c == IPAM4_EVT_IF_VALID || c == IPAM4_EVT_IF_INVALID || c == IPAM6_EVT_IF_VALID ||
                   c == IPAM6_EVT_IF_INVALID
               ? 4
               : 0;
}

uint64_t g_events = 0;

int32_t onEvent(uint32_t code, void *record) {
    g_events++;
    // Re-enter the library the way a host may, from inside the sweep and
    // the interface walks too.
    Ipam4AddrInfo o4;
    Ipam6AddrInfo o6;
    const auto *r4 = static_cast<const Ipam4AddrInfo *>(record);
    const auto *r6 = static_cast<const Ipam6AddrInfo *>(record);
    if (record && (code & (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID)))
        IPAM4_GetAddrInfo(r4->vrfIndex, r4->ipAddr, &o4);
    else if (record)
        IPAM6_GetAddrInfoByIfIndexAndIfAddr(r6->ifIndex, r6->ip6Addr, &o6);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Reader in(data, size);
    fz::Session session(in, onEvent);
    gIpamPubDbg = (in.u8() & 1) ? IPAM_DBG_ALL : 0;  // the traces format what they are given
    for (int ops = 0; !in.empty() && ops < 64; ops++) {
        uint8_t op = in.u8();
        switch (op & 7) {
        case 0:
            FZ_CHECK(ipamSubStart() == 0);
            break;
        case 1:
            if (int32_t r = ipamSubEnd(); r != 0) FZ_CHECK(r == -1);
            break;
        case 2:
        case 3: {  // a record built to collide with others
            static const int32_t codes6[] = {IPAM6_EVT_BATCH, IPAM6_EVT_ADD, IPAM6_EVT_DEL,
                                             IPAM6_EVT_UPDATE};
            static const int32_t codes4[] = {IPAM4_EVT_BATCH, IPAM4_EVT_ADD, IPAM4_EVT_DEL,
                                             IPAM4_EVT_ADD};
            bool v6 = op & 8;
            FZ_CHECK(fz::sendRecord(in, v6, v6 ? codes6[(op >> 4) & 3] : codes4[(op >> 4) & 3]) ==
                     0);
            break;
        }
        case 4: {  // an interface message for one of the small interfaces
            uint32_t ifIndex = in.u8() & 3;
            static const int32_t codes[] = {IPAM4_EVT_IF_VALID, IPAM4_EVT_IF_INVALID,
                                            IPAM6_EVT_IF_VALID, IPAM6_EVT_IF_INVALID};
            FZ_CHECK(ipamSubDispatch(codes[(op >> 3) & 3], 4, &ifIndex) == 0);
            break;
        }
        default: {  // anything: code, length and bytes as the input says
            uint8_t c = in.u8();
            int32_t code = c < 16 * 8 ? fz::kCodes[c % 16] : static_cast<int32_t>(in.u32());
            uint8_t l = in.u8();
            uint32_t length = l < 15 * 8 ? kLengths[l % 15] : l;
            std::vector<uint8_t> payload = in.bytes(length);
            bool null = (op & 0x80) != 0;
            // A message that lacks its record or interface index is refused
            // whole: -1, and the replica stays as it was.
            size_t need = needs(code);
            bool refused = need && (null || length < need);
            std::optional<fz::Tables> before;
            if (refused) before.emplace();
            uint64_t events = g_events;
            int32_t r = ipamSubDispatch(code, length, null ? nullptr : payload.data());
            FZ_CHECK(r == 0 || r == -1);
            if (refused) {
                FZ_CHECK(r == -1);
                FZ_CHECK(fz::Tables() == *before);
                FZ_CHECK(g_events == events);
            }
            break;
        }
        }
    }
    return 0;
}
