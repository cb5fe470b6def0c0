/* Frame encoding and strict decoding; see wire.h and docs/wire.md. */
#include "wire.h"

#include <string.h>

namespace ipamwire {

uint32_t get32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

namespace {

/* One 32-bit integer field between host order (a uint32_t in memory) and
 * wire order, at the same offset on both sides. */
void word(const uint8_t *in, uint8_t *out, size_t off, bool toWire) {
    uint32_t v;
    if (toWire) {
        memcpy(&v, in + off, 4);
        put32(out + off, v);
    } else {
        v = get32(in + off);
        memcpy(out + off, &v, 4);
    }
}

/* Record layouts: integer fields at these offsets, all else bytes. */
constexpr size_t kRec4Words[] = {0, 4, 16}; /* ifIndex, vrfIndex, ipAttr */
constexpr size_t kRec6Words[] = {0, 4, 56}; /* ifIndex, vrfIndex, ip6Attr */

void record(const uint8_t *in, uint8_t *out, bool v6, bool toWire) {
    const size_t size = v6 ? sizeof(Ipam6AddrInfo) : sizeof(Ipam4AddrInfo);
    if (in != out) memmove(out, in, size);
    for (size_t off : v6 ? kRec6Words : kRec4Words) word(in, out, off, toWire);
}

bool isRecord4(uint32_t code) {
    return code == IPAM4_EVT_BATCH || code == IPAM4_EVT_ADD || code == IPAM4_EVT_DEL;
}
bool isRecord6(uint32_t code) {
    return code == IPAM6_EVT_BATCH || code == IPAM6_EVT_ADD || code == IPAM6_EVT_DEL ||
           code == IPAM6_EVT_UPDATE;
}
bool isInterface(uint32_t code) {
    return code == IPAM4_EVT_IF_VALID || code == IPAM4_EVT_IF_INVALID ||
           code == IPAM6_EVT_IF_VALID || code == IPAM6_EVT_IF_INVALID;
}

/* The bytes as they are into `out`; false when there are none. */
bool carry(const uint8_t *in, uint32_t length, uint8_t *out) {
    if (length == 0) return false;
    if (in != out) memmove(out, in, length);
    return true;
}

bool fail(const char **why, const char *reason) {
    if (why != nullptr) *why = reason;
    return false;
}

/* Payload lengths a frame type allows. */
bool lengthOk(const Frame &f, const char **why) {
    switch (f.type) {
    case Type::Hello:
        return f.length == kHelloSize || fail(why, "bad registration length");
    case Type::Start:
    case Type::End:
    case Type::MgmtDone:
        return f.length == 0 || fail(why, "payload on a frame without one");
    case Type::ConfReply:
        if (f.length != 0) return fail(why, "payload on a frame without one");
        return (static_cast<int32_t>(f.word) >= -32768 && static_cast<int32_t>(f.word) <= 32767) ||
               fail(why, "error code out of range");
    case Type::Msg:
        if (isRecord4(f.word))
            return f.length == sizeof(Ipam4AddrInfo) || fail(why, "bad IPv4 record length");
        if (isRecord6(f.word))
            return f.length == sizeof(Ipam6AddrInfo) || fail(why, "bad IPv6 record length");
        if (isInterface(f.word))
            return (f.length >= 4 && f.length <= 32) || fail(why, "bad interface block length");
        if (f.word == IPAM_EVT_RELAY)
            return f.length <= sizeof(Ipam4AddrInfo) || fail(why, "bad relay length");
        return fail(why, "unknown message code");
    case Type::ConfReq:
        return f.length <= kMaxConfBody || fail(why, "configuration body too long");
    case Type::MgmtReq:
        return f.length >= 12 || fail(why, "short management request");
    case Type::MgmtParam:
        return f.length <= kMaxParamData || fail(why, "parameter too long");
    }
    return fail(why, "unknown frame type");
}

}  // namespace

bool decodeAt(const uint8_t *data, size_t size, size_t *off, Frame &out, const char **why) {
    if (data == nullptr || *off > size || size - *off < kHeader)
        return fail(why, *off == 0 ? "short frame" : "truncated frame");
    const uint8_t *h = data + *off;
    if ((uint16_t{h[0]} << 8 | h[1]) != kMagic) return fail(why, "bad magic");
    if (h[2] != kVersion) return fail(why, "unsupported version");
    if (h[3] < static_cast<uint8_t>(Type::Hello) || h[3] > static_cast<uint8_t>(Type::MgmtDone))
        return fail(why, "unknown frame type");
    Frame f;
    f.type = static_cast<Type>(h[3]);
    f.word = get32(h + 4);
    f.length = get32(h + 8);
    if (f.length > kMaxPayload) return fail(why, "oversized frame");
    if (f.length > size - *off - kHeader) return fail(why, "length does not match the packet");
    f.payload = h + kHeader;
    if (!lengthOk(f, why)) return false;
    *off += kHeader + f.length;
    out = f;
    return true;
}

bool decode(const uint8_t *data, size_t size, Frame &out, const char **why) {
    if (data == nullptr || size < kHeader) return fail(why, "short frame");
    if (size > kMaxFrame) return fail(why, "oversized frame");
    size_t off = 0;
    Frame f;
    if (!decodeAt(data, size, &off, f, why)) return false;
    if (off != size) return fail(why, "length does not match the packet");
    out = f;
    return true;
}

uint32_t encode(Type type, uint32_t w, const void *payload, uint32_t length, uint8_t *out) {
    if (length > kMaxPayload || (payload == nullptr && length > 0)) return 0;
    out[0] = static_cast<uint8_t>(kMagic >> 8);
    out[1] = static_cast<uint8_t>(kMagic);
    out[2] = kVersion;
    out[3] = static_cast<uint8_t>(type);
    put32(out + 4, w);
    put32(out + 8, length);
    if (length > 0) memcpy(out + kHeader, payload, length);
    return kHeader + length;
}

bool SubscriberOrder::accept(const Frame &f, const char **why) {
    switch (f.type) {
    case Type::Start:
        if (inBatch_) return fail(why, "batch start inside a batch");
        inBatch_ = true;
        return true;
    case Type::End:
        if (!inBatch_) return fail(why, "batch end outside a batch");
        inBatch_ = false;
        return true;
    case Type::Msg:
        if (!inBatch_ && (f.word == IPAM4_EVT_BATCH || f.word == IPAM6_EVT_BATCH))
            return fail(why, "batch record outside a batch");
        return true;
    default:
        return fail(why, "frame type not sent by a publisher");
    }
}

void helloToWire(const Hello &h, uint8_t out[kHelloSize]) {
    put32(out, h.handle);
    put32(out + 4, h.moduleId);
    put32(out + 8, h.publisherModuleId);
    put32(out + 12, h.careMask);
    put32(out + 16, h.pid);
}

Hello helloFromWire(const uint8_t in[kHelloSize]) {
    return Hello{get32(in), get32(in + 4), get32(in + 8), get32(in + 12), get32(in + 16)};
}

void rec4ToWire(const Ipam4AddrInfo &r, uint8_t out[60]) {
    record(reinterpret_cast<const uint8_t *>(&r), out, false, true);
}
void rec4FromWire(const uint8_t in[60], Ipam4AddrInfo &r) {
    record(in, reinterpret_cast<uint8_t *>(&r), false, false);
}
void rec6ToWire(const Ipam6AddrInfo &r, uint8_t out[100]) {
    record(reinterpret_cast<const uint8_t *>(&r), out, true, true);
}
void rec6FromWire(const uint8_t in[100], Ipam6AddrInfo &r) {
    record(in, reinterpret_cast<uint8_t *>(&r), true, false);
}

void msgPayloadConvert(uint32_t code, const uint8_t *in, uint32_t length, uint8_t *out,
                       bool toWire) {
    if (!carry(in, length, out)) return;
    if ((isRecord4(code) || code == IPAM_EVT_RELAY) && length == sizeof(Ipam4AddrInfo))
        record(in, out, false, toWire);
    else if (isRecord6(code) && length == sizeof(Ipam6AddrInfo))
        record(in, out, true, toWire);
    else if (isInterface(code) && length >= 4)
        word(in, out, 0, toWire);
}

void confBodyConvert(const uint8_t *in, uint32_t length, uint8_t *out, bool toWire) {
    if (!carry(in, length, out)) return;
    if (length != sizeof(Ipam4ConfReq) && length != sizeof(Ipam6ConfReq)) return;
    word(in, out, 0, toWire);
    record(in + 4, out + 4, length == sizeof(Ipam6ConfReq), toWire);
}

void paramConvert(uint32_t objectId, const uint8_t *in, uint32_t length, uint8_t *out,
                  bool toWire) {
    if (!carry(in, length, out)) return;
    if (objectId == IPAM_CMF_OBJ_ADDR4_TABLE && length == sizeof(Ipam4AddrInfo))
        record(in, out, false, toWire);
    else if (objectId == IPAM_CMF_OBJ_ADDR6_TABLE && length == sizeof(Ipam6AddrInfo))
        record(in, out, true, toWire);
    else if (objectId == IPAM_CMF_OBJ_DEBUG && length == 4)
        word(in, out, 0, toWire);
}

uint32_t mgmtRequestEncode(const MgmtRequest &req, uint8_t *out, uint32_t size) {
    if (req.count > kMaxParams || size < 12) return 0;
    put32(out, req.operation);
    put32(out + 4, static_cast<uint32_t>(req.pageLimit));
    put32(out + 8, req.count);
    uint32_t n = 12;
    for (uint32_t i = 0; i < req.count; ++i) {
        const MgmtParam &p = req.params[i];
        const uint32_t data = p.length > 0 ? static_cast<uint32_t>(p.length) : 0;
        if (data > kMaxParamData || n + 8 + data > size) return 0;
        put32(out + n, static_cast<uint32_t>(p.id));
        put32(out + n + 4, static_cast<uint32_t>(p.length));
        paramConvert(req.objectId, p.data, data, out + n + 8, true);
        n += 8 + data;
    }
    return n;
}

bool mgmtRequestDecode(const Frame &f, MgmtRequest &out, const char **why) {
    if (f.type != Type::MgmtReq || f.length < 12) return fail(why, "not a management request");
    MgmtRequest r;
    r.objectId = f.word;
    r.operation = get32(f.payload);
    r.pageLimit = static_cast<int32_t>(get32(f.payload + 4));
    r.count = get32(f.payload + 8);
    if (r.count > kMaxParams) return fail(why, "too many parameters");
    uint32_t n = 12;
    for (uint32_t i = 0; i < r.count; ++i) {
        if (f.length - n < 8) return fail(why, "truncated parameter");
        MgmtParam &p = r.params[i];
        p.id = static_cast<int32_t>(get32(f.payload + n));
        p.length = static_cast<int32_t>(get32(f.payload + n + 4));
        n += 8;
        const uint32_t data = p.length > 0 ? static_cast<uint32_t>(p.length) : 0;
        if (data > kMaxParamData) return fail(why, "parameter too long");
        if (f.length - n < data) return fail(why, "truncated parameter");
        paramConvert(r.objectId, f.payload + n, data, p.data, false);
        n += data;
    }
    if (n != f.length) return fail(why, "trailing bytes after the parameters");
    out = r;
    return true;
}

}  // namespace ipamwire
