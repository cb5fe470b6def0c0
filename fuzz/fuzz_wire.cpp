// Packets from a publisher process, as a subscriber's platform receives
// them: raw bytes, and packets of one or several well-formed frames of any
// type, code and length, whole or cut anywhere. Every frame the decoder
// takes must encode back to the same bytes; every frame the order check
// takes reaches the library's publisher callbacks, whose replica must stay
// consistent.
#include <cstdint>
#include <vector>

#include "fuzz_common.h"
#include "wire.h"

namespace {

const uint32_t kLengths[] = {0, 3, 4, 20, 32, 33, 59, 60, 61, 99, 100, 101, 504, 512, 513};

int32_t onEvent(uint32_t, void *) { return 0; }

std::vector<uint8_t> frame(fz::Reader &in) {
    const auto type = static_cast<ipamwire::Type>(1 + in.u8() % 9);
    const uint8_t c = in.u8();
    const uint32_t code = c < 16 * 15 ? static_cast<uint32_t>(fz::kCodes[c % 16]) : in.u32();
    const uint32_t length = kLengths[in.u8() % 15];
    std::vector<uint8_t> payload = in.bytes(length);
    std::vector<uint8_t> out(ipamwire::kMaxFrame);
    out.resize(ipamwire::encode(type, code, payload.data(), length, out.data()));
    return out;
}

std::vector<uint8_t> packet(fz::Reader &in) {
    const uint8_t op = in.u8();
    if (op & 1) {
        const size_t n = (size_t{in.u8()} << 8 | in.u8()) % (ipamwire::kMaxFrame + 8);
        return in.bytes(n);
    }
    std::vector<uint8_t> out = frame(in);
    for (int more = (op >> 1) & 3; more > 0; --more) {
        const std::vector<uint8_t> f = frame(in);
        out.insert(out.end(), f.begin(), f.end());
    }
    if (op & 8) out.resize(in.u8() % (out.size() + 1));  // cut anywhere
    return out;
}

// One decoded frame as the subscriber's platform handles it; false when the
// order check refuses it (the connection is then dropped).
bool handle(const ipamwire::Frame &f, ipamwire::SubscriberOrder &order) {
    const char *why = nullptr;
    if (!order.accept(f, &why)) return false;
    if (f.type == ipamwire::Type::Start) {
        FZ_CHECK(ipamSubStart() == 0);
    } else if (f.type == ipamwire::Type::End) {
        const int32_t r = ipamSubEnd();
        FZ_CHECK(r == 0 || r == -1);
    } else {
        // Exactly the payload's length: reading past it trips ASan.
        std::vector<uint8_t> host(f.length);
        ipamwire::msgPayloadConvert(f.word, f.payload, f.length, host.data(), false);
        ipamSubDispatch(static_cast<int32_t>(f.word), f.length, f.length ? host.data() : nullptr);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Reader in(data, size);
    fz::Session session(in, onEvent);
    ipamwire::SubscriberOrder order;
    for (int ops = 0; !in.empty() && ops < 64; ops++) {
        // Exactly the packet's size: a read past it trips ASan.
        const std::vector<uint8_t> p = packet(in);
        for (size_t off = 0; off < p.size();) {
            const size_t at = off;
            ipamwire::Frame f;
            const char *why = nullptr;
            if (!ipamwire::decodeAt(p.data(), p.size(), &off, f, &why)) {
                FZ_CHECK(why != nullptr && off == at);
                order.reset();  // the connection is dropped; a new one starts clean
                break;
            }
            uint8_t again[ipamwire::kMaxFrame];
            FZ_CHECK(ipamwire::encode(f.type, f.word, f.payload, f.length, again) == off - at);
            FZ_CHECK(std::memcmp(again, p.data() + at, off - at) == 0);
            if (!handle(f, order)) {
                order.reset();
                break;
            }
        }
    }
    return 0;
}
