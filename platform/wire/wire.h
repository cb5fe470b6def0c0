/* The frames the stand-in platform's processes exchange over Unix-domain
 * SOCK_SEQPACKET sockets: one frame per packet, a 12-byte header and a
 * payload, every integer big-endian whatever the host. docs/wire.md is the
 * reference; this module is its only encoder and decoder. */
#ifndef IPAMPLAT_WIRE_H
#define IPAMPLAT_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include "ipam.h"

namespace ipamwire {

constexpr uint16_t kMagic = 0x4950; /* "IP" */
constexpr uint8_t kVersion = 2;
constexpr uint32_t kHeader = 12;
constexpr uint32_t kMaxPayload = 512;
constexpr uint32_t kMaxFrame = kHeader + kMaxPayload;
/* Largest packet. A publisher's packets to a subscriber and a host's
 * answers to a requester carry as many frames as fit; every other packet
 * carries exactly one frame. */
constexpr uint32_t kMaxPacket = 32768;
/* Longest configuration body: what an SCS_MSG holds after its two words. */
constexpr uint32_t kMaxConfBody = 504;
constexpr uint32_t kHelloSize = 20;
constexpr uint32_t kMaxParams = 4;
constexpr uint32_t kMaxParamData = 100;

enum class Type : uint8_t {
    Hello = 1, /* subscriber -> publisher: handle, module, publisher module, care, pid */
    Start,     /* publisher -> subscriber: a batch begins */
    Msg,       /* publisher -> subscriber: word = message code */
    End,       /* publisher -> subscriber: the batch ended */
    ConfReq,   /* client -> configuration server: word = message type */
    ConfReply, /* configuration server -> client: word = error code (16-bit) */
    MgmtReq,   /* requester -> host: word = object id */
    MgmtParam, /* host -> requester: word = parameter id, payload its data */
    MgmtDone,  /* host -> requester: word = the handler's result */
};

struct Frame {
    Type type = Type::Hello;
    uint32_t word = 0;
    uint32_t length = 0;
    const uint8_t *payload = nullptr; /* inside the decoded buffer */
};

/* Checks one received packet completely (magic, version, type, length
 * against the packet and against what the type allows) and points `out`
 * into it. False with a short reason in *why for anything else. */
bool decode(const uint8_t *data, size_t size, Frame &out, const char **why);
/* The frame at *off of a packet of several: checked as decode checks a
 * packet of one, its length against what remains of the packet; *off then
 * points behind it. */
bool decodeAt(const uint8_t *data, size_t size, size_t *off, Frame &out, const char **why);
/* Writes header and payload into `out` (kMaxFrame bytes); answers the frame
 * size, 0 when the payload is longer than a frame holds. */
uint32_t encode(Type type, uint32_t word, const void *payload, uint32_t length, uint8_t *out);

/* Order of the frames a subscriber accepts from its publisher: Start, End
 * and Msg only; batch records only between Start and End; no Start inside a
 * batch, no End outside one. */
class SubscriberOrder {
public:
    bool accept(const Frame &f, const char **why);
    bool inBatch() const { return inBatch_; }
    void reset() { inBatch_ = false; }

private:
    bool inBatch_ = false;
};

/* Registration of a subscriber, the Hello payload. */
struct Hello {
    uint32_t handle, moduleId, publisherModuleId, careMask, pid;
};
void helloToWire(const Hello &h, uint8_t out[kHelloSize]);
Hello helloFromWire(const uint8_t in[kHelloSize]);

/* Records: integers big-endian, addresses and names as the bytes they are. */
void rec4ToWire(const Ipam4AddrInfo &r, uint8_t out[60]);
void rec4FromWire(const uint8_t in[60], Ipam4AddrInfo &r);
void rec6ToWire(const Ipam6AddrInfo &r, uint8_t out[100]);
void rec6FromWire(const uint8_t in[100], Ipam6AddrInfo &r);

/* A publisher message's payload, host order <-> wire order, by its code:
 * records, the interface block (its index word), a relay's IPv4-sized
 * record. `length` was checked by decode (or is the sender's own). */
void msgPayloadConvert(uint32_t code, const uint8_t *in, uint32_t length, uint8_t *out,
                       bool toWire);
/* A configuration body: 64 and 104 bytes are Ipam4ConfReq / Ipam6ConfReq
 * (request code, then the record); any other body is passed as its bytes. */
void confBodyConvert(const uint8_t *in, uint32_t length, uint8_t *out, bool toWire);
/* A management parameter's data, by object: an IPv4 record (object 2, 60
 * bytes), an IPv6 record (object 3, 100 bytes), the flag word (object 1, 4
 * bytes); anything else as its bytes. */
void paramConvert(uint32_t objectId, const uint8_t *in, uint32_t length, uint8_t *out, bool toWire);

/* A management request: operation, page limit, then up to kMaxParams
 * parameters (id, length, data when the length is above 0). */
struct MgmtParam {
    int32_t id = 0;
    int32_t length = 0;
    uint8_t data[kMaxParamData] = {}; /* host order */
};
struct MgmtRequest {
    uint32_t objectId = 0;
    uint32_t operation = 0;
    int32_t pageLimit = -1; /* parameters the host encodes before answering 4; <0 no limit */
    uint32_t count = 0;
    MgmtParam params[kMaxParams];
};
/* Payload of a MgmtReq frame; 0 when it does not fit. */
uint32_t mgmtRequestEncode(const MgmtRequest &req, uint8_t *out, uint32_t size);
/* Strict: every byte accounted for, counts and lengths within limits. */
bool mgmtRequestDecode(const Frame &f, MgmtRequest &out, const char **why);

uint32_t get32(const uint8_t *p);
void put32(uint8_t *p, uint32_t v);

}  // namespace ipamwire

#endif
