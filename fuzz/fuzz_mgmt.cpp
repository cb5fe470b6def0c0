// The management handler: requests with any object, operation and parameter
// list (ids, lengths, data, cursors of any size), and encoder answers that
// stop pages anywhere, against a replica built from the input. Every record
// a table export hands out must be one the replica holds, whole; the debug
// word may change only in its five named bits; nothing leaks.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_common.h"

namespace {

const int32_t kIds[] = {0, 1, 2, 3, 4, 5, 6, 7, -1};
const int32_t kLengths[] = {0, -1, 1, 4, 59, 60, 61, 99, 100, 101};

template <class Info>
bool stored(const std::vector<Info> &table, const void *r) {
    return std::any_of(table.begin(), table.end(),
                       [&](const Info &t) { return std::memcmp(&t, r, sizeof t) == 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Reader in(data, size);
    fz::Session session(in, nullptr);
    // The replica: one batch of up to 31 records of both families.
    ipamSubStart();
    for (uint8_t n = in.u8() & 31; n > 0; n--) {
        bool v6 = in.u8() & 1;
        fz::sendRecord(in, v6, v6 ? IPAM6_EVT_BATCH : IPAM4_EVT_BATCH);
    }
    ipamSubEnd();
    const fz::Tables t;
    const auto &t4 = t.v4;
    const auto &t6 = t.v6;

    gIpamPubDbg = in.u32() & 0xffffffe0u;  // bits the handler must leave alone
    uint32_t high = gIpamPubDbg & ~IPAM_DBG_ALL;
    for (int req = 0; !in.empty() && req < 8; req++) {
        ipamplat_cmf_request r{};
        uint8_t o = in.u8();
        r.objectId = o < 200 ? o % 5 : in.u32();
        uint8_t op = in.u8();
        r.operation = op < 200 ? op % 6 : in.u32();
        std::vector<ipamplat_cmf_param> params(in.u8() % 3);
        std::vector<std::vector<uint8_t>> bufs;
        for (auto &p : params) {
            uint8_t i = in.u8();
            p.id = i < 200 ? kIds[i % 9] : static_cast<int32_t>(in.u32());
            uint8_t l = in.u8();
            p.length = l < 200 ? kLengths[l % 10] : l;
            // Data is often a stored record, so cursors resume for real.
            std::vector<uint8_t> b = in.bytes(p.length > 0 ? static_cast<size_t>(p.length) : 0);
            uint8_t src = in.u8();
            if (src & 1 && !t4.empty() && p.length > 0)
                std::memcpy(b.data(), &t4[src % t4.size()], std::min(b.size(), sizeof t4[0]));
            else if (src & 2 && !t6.empty() && p.length > 0)
                std::memcpy(b.data(), &t6[src % t6.size()], std::min(b.size(), sizeof t6[0]));
            bufs.push_back(std::move(b));
            p.data = (in.u8() & 7) == 0 ? nullptr : bufs.back().data();
            if (p.data == nullptr) p.length = 0;
        }
        r.paramCount = static_cast<uint32_t>(params.size());
        r.params = params.empty() ? nullptr : params.data();
        uint8_t lim = in.u8();
        r.encodeLimit = static_cast<int32_t>(lim % 8) - 1;
        static const int32_t answers[] = {4, 0, 1, -1};
        r.encodeLimitAnswer = answers[(lim >> 3) & 3];

        ipamplat_cmf_reply *reply = nullptr;
        int32_t result = ipamplat_cmf_send(&r, &reply);
        // A page that may hold nothing, and a cursor of any size but a
        // record's, are refused before anything is read.
        bool table =
            r.objectId == IPAM_CMF_OBJ_ADDR4_TABLE || r.objectId == IPAM_CMF_OBJ_ADDR6_TABLE;
        int32_t recordSize = r.objectId == IPAM_CMF_OBJ_ADDR4_TABLE ? 60 : 100;
        if ((r.encodeLimit == 0 && ipamplat_cmf_registered()) ||
            (table && r.encodeLimit != 0 && !params.empty() && params[0].id == 0 &&
             params[0].data && params[0].length > 0 && params[0].length != recordSize)) {
            FZ_CHECK(result == IPAM_CMF_ERR_PARAM);
            FZ_CHECK(ipamplat_cmf_reply_count(reply) == 0);
        }
        for (uint32_t k = 0; k < ipamplat_cmf_reply_count(reply); k++) {
            int32_t id = -1, len = -1;
            const void *d = nullptr;
            FZ_CHECK(ipamplat_cmf_reply_param(reply, k, &id, &len, &d) == 0);
            if (table) {
                FZ_CHECK(id == 0 && len == recordSize && d);
                FZ_CHECK(r.objectId == IPAM_CMF_OBJ_ADDR4_TABLE ? stored(t4, d) : stored(t6, d));
            } else {
                FZ_CHECK(r.objectId == IPAM_CMF_OBJ_DEBUG && id == 6 && len == 4);
            }
        }
        ipamplat_cmf_reply_free(reply);
        FZ_CHECK((gIpamPubDbg & ~IPAM_DBG_ALL) == high);
    }
    return 0;
}
