// Management requests and configuration bodies from another process, as the
// host's platform and the configuration server decode them: whatever the
// bytes, a request the decoder takes encodes back to the same payload, and
// a configuration body converts to host order and back unchanged.
#include <cstdint>
#include <vector>

#include "fuzz_common.h"
#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Reader in(data, size);
    const uint8_t op = in.u8();
    const uint32_t objectId = op & 3;
    std::vector<uint8_t> payload = in.bytes(size > 1 ? (size - 1) % (ipamwire::kMaxPayload + 1) : 0);
    const uint32_t n = static_cast<uint32_t>(payload.size());
    if (op & 4) {
        std::vector<uint8_t> host(n), back(n);
        ipamwire::confBodyConvert(payload.data(), n, host.data(), false);
        ipamwire::confBodyConvert(host.data(), n, back.data(), true);
        FZ_CHECK(back == payload);
        return 0;
    }
    std::vector<uint8_t> frame(ipamwire::kMaxFrame);
    frame.resize(ipamwire::encode(ipamwire::Type::MgmtReq, objectId, payload.data(), n, frame.data()));
    ipamwire::Frame f;
    ipamwire::MgmtRequest req;
    const char *why = nullptr;
    if (!ipamwire::decode(frame.data(), frame.size(), f, &why) ||
        !ipamwire::mgmtRequestDecode(f, req, &why)) {
        FZ_CHECK(why != nullptr);
        return 0;
    }
    FZ_CHECK(req.count <= ipamwire::kMaxParams && req.objectId == objectId);
    uint8_t again[ipamwire::kMaxPayload];
    FZ_CHECK(ipamwire::mgmtRequestEncode(req, again, sizeof again) == n);
    FZ_CHECK(std::memcmp(again, payload.data(), n) == 0);
    return 0;
}
