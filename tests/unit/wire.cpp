// The cross-process frames: byte order on the wire whatever the host's,
// strict refusal of every malformed frame, the publisher's frame order, and
// management requests read back exactly as written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "wire.h"

namespace {

using ipamwire::Frame;
using ipamwire::Type;

std::vector<uint8_t> frame(Type type, uint32_t word, std::vector<uint8_t> payload) {
    std::vector<uint8_t> out(ipamwire::kMaxFrame);
    out.resize(ipamwire::encode(type, word, payload.data(), static_cast<uint32_t>(payload.size()),
                                out.data()));
    return out;
}

TEST(Wire, RecordsAreBigEndianOnTheWireAndComeBackWhole) {
    Ipam4AddrInfo r4{};
    r4.ifIndex = 0x01020304;
    r4.vrfIndex = 0x0a0b0c0d;
    const uint8_t addr[4] = {10, 0, 0, 1};
    std::memcpy(&r4.ipAddr, addr, 4);
    r4.ipAttr = 0x62;
    std::strcpy(r4.ifName, "eth0");
    uint8_t w4[60];
    ipamwire::rec4ToWire(r4, w4);
    const uint8_t head4[] = {1, 2, 3, 4, 10, 11, 12, 13, 10, 0, 0, 1};
    EXPECT_EQ(0, std::memcmp(w4, head4, sizeof head4));
    EXPECT_EQ(0x62u, ipamwire::get32(w4 + 16));
    EXPECT_STREQ("eth0", reinterpret_cast<const char *>(w4 + 20));
    Ipam4AddrInfo back4{};
    ipamwire::rec4FromWire(w4, back4);
    EXPECT_EQ(0, std::memcmp(&r4, &back4, sizeof r4));

    Ipam6AddrInfo r6{};
    r6.ifIndex = 7;
    r6.ip6Addr[0] = 0x20;
    r6.ip6Attr = 0x01000040;
    uint8_t w6[100];
    ipamwire::rec6ToWire(r6, w6);
    EXPECT_EQ(7u, ipamwire::get32(w6));
    EXPECT_EQ(0x20, w6[8]);
    EXPECT_EQ(0x01000040u, ipamwire::get32(w6 + 56));
    Ipam6AddrInfo back6{};
    ipamwire::rec6FromWire(w6, back6);
    EXPECT_EQ(0, std::memcmp(&r6, &back6, sizeof r6));

    // A set-address body: the request code, then the record.
    Ipam4ConfReq q{};
    q.requestCode = -2;
    q.ifIndex = 5;
    uint8_t wq[64];
    ipamwire::confBodyConvert(reinterpret_cast<const uint8_t *>(&q), sizeof q, wq, true);
    EXPECT_EQ(0xfffffffeu, ipamwire::get32(wq));
    EXPECT_EQ(5u, ipamwire::get32(wq + 4));
}

TEST(Wire, MalformedFramesAreRefused) {
    const std::vector<uint8_t> rec4(60), rec6(100);
    std::vector<uint8_t> ok = frame(Type::Msg, IPAM4_EVT_ADD, rec4);
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"short", std::vector<uint8_t>(ok.begin(), ok.begin() + 11)},
        {"oversized", std::vector<uint8_t>(ipamwire::kMaxFrame + 1, 0)},
        {"IPv4 record one short", frame(Type::Msg, IPAM4_EVT_ADD, std::vector<uint8_t>(59))},
        {"IPv6 record as IPv4", frame(Type::Msg, IPAM6_EVT_ADD, rec4)},
        {"interface block too long",
         frame(Type::Msg, IPAM4_EVT_IF_VALID, std::vector<uint8_t>(33))},
        {"interface block without index",
         frame(Type::Msg, IPAM6_EVT_IF_INVALID, std::vector<uint8_t>(3))},
        {"unknown code", frame(Type::Msg, 0x400, rec4)},
        {"payload on start", frame(Type::Start, 0, {1})},
        {"registration too short", frame(Type::Hello, 0, std::vector<uint8_t>(19))},
        {"error code beyond 16 bits", frame(Type::ConfReply, 40000, {})},
        {"configuration body too long", frame(Type::ConfReq, 3, std::vector<uint8_t>(505))},
        {"parameter too long", frame(Type::MgmtParam, 0, std::vector<uint8_t>(101))},
        {"short management request", frame(Type::MgmtReq, 1, std::vector<uint8_t>(11))},
    };
    std::vector<uint8_t> magic = ok, version = ok, type = ok, longer = ok, shorter = ok;
    magic[1] ^= 1;
    version[2] = 1;  // the wire before packing
    type[3] = 10;
    longer.push_back(0);
    shorter.pop_back();
    cases.push_back({"magic", magic});
    cases.push_back({"old version", version});
    cases.push_back({"type", type});
    cases.push_back({"packet longer than its length", longer});
    cases.push_back({"packet shorter than its length", shorter});
    for (const Case &c : cases) {
        Frame f;
        const char *why = nullptr;
        EXPECT_FALSE(ipamwire::decode(c.bytes.data(), c.bytes.size(), f, &why)) << c.what;
        EXPECT_NE(nullptr, why) << c.what;
    }
    Frame f;
    ASSERT_TRUE(ipamwire::decode(ok.data(), ok.size(), f, nullptr));
    EXPECT_EQ(IPAM4_EVT_ADD, f.word);
    EXPECT_EQ(60u, f.length);
    std::vector<uint8_t> relay = frame(Type::Msg, IPAM_EVT_RELAY, {});
    EXPECT_TRUE(ipamwire::decode(relay.data(), relay.size(), f, nullptr));
    std::vector<uint8_t> upd = frame(Type::Msg, IPAM6_EVT_UPDATE, rec6);
    EXPECT_TRUE(ipamwire::decode(upd.data(), upd.size(), f, nullptr));
}

TEST(Wire, SubscriberTakesBatchRecordsOnlyInsideABatch) {
    auto f = [](Type t, uint32_t code = 0) {
        Frame x;
        x.type = t;
        x.word = code;
        return x;
    };
    struct Case {
        const char *what;
        std::vector<Frame> frames;
        size_t refusedAt;  // SIZE_MAX: all accepted
    };
    const Case cases[] = {
        {"batch with records and a change inside",
         {f(Type::Start), f(Type::Msg, IPAM4_EVT_BATCH), f(Type::Msg, IPAM4_EVT_ADD), f(Type::End),
          f(Type::Msg, IPAM6_EVT_DEL)},
         SIZE_MAX},
        {"record outside a batch", {f(Type::Msg, IPAM6_EVT_BATCH)}, 0},
        {"end without start", {f(Type::Start), f(Type::End), f(Type::End)}, 2},
        {"start inside a batch", {f(Type::Start), f(Type::Start)}, 1},
        {"a frame publishers never send", {f(Type::Hello)}, 0},
        {"management on the publisher link", {f(Type::Start), f(Type::MgmtDone)}, 1},
    };
    for (const Case &c : cases) {
        ipamwire::SubscriberOrder order;
        size_t refused = SIZE_MAX;
        for (size_t i = 0; i < c.frames.size() && refused == SIZE_MAX; ++i)
            if (!order.accept(c.frames[i], nullptr)) refused = i;
        EXPECT_EQ(c.refusedAt, refused) << c.what;
    }
}

TEST(Wire, ManagementRequestsReadBackExactlyAndRefuseEveryStrayByte) {
    ipamwire::MgmtRequest req;
    req.objectId = IPAM_CMF_OBJ_ADDR4_TABLE;
    req.operation = 9;
    req.pageLimit = 2;
    req.count = 2;
    Ipam4AddrInfo cursor{};
    cursor.ifIndex = 0x11223344;
    req.params[0].id = 0;
    req.params[0].length = 60;
    std::memcpy(req.params[0].data, &cursor, 60);
    req.params[1].id = -5;
    req.params[1].length = -1;  // no data follows a negative length
    uint8_t payload[ipamwire::kMaxPayload];
    const uint32_t n = ipamwire::mgmtRequestEncode(req, payload, sizeof payload);
    ASSERT_EQ(12u + 8 + 60 + 8, n);
    EXPECT_EQ(0x11223344u, ipamwire::get32(payload + 20));  // cursor ifIndex, big-endian

    std::vector<uint8_t> bytes(payload, payload + n);
    std::vector<uint8_t> good = frame(Type::MgmtReq, req.objectId, bytes);
    Frame f;
    ASSERT_TRUE(ipamwire::decode(good.data(), good.size(), f, nullptr));
    ipamwire::MgmtRequest back;
    ASSERT_TRUE(ipamwire::mgmtRequestDecode(f, back, nullptr));
    EXPECT_EQ(req.operation, back.operation);
    EXPECT_EQ(2, back.pageLimit);
    ASSERT_EQ(2u, back.count);
    EXPECT_EQ(0, std::memcmp(back.params[0].data, &cursor, 60));
    EXPECT_EQ(-1, back.params[1].length);

    auto refused = [&](std::vector<uint8_t> p, const char *what) {
        std::vector<uint8_t> fr = frame(Type::MgmtReq, req.objectId, p);
        Frame g;
        ipamwire::MgmtRequest r;
        EXPECT_FALSE(ipamwire::decode(fr.data(), fr.size(), g, nullptr) &&
                     ipamwire::mgmtRequestDecode(g, r, nullptr))
            << what;
    };
    std::vector<uint8_t> trailing = bytes, truncated = bytes, many = bytes, huge = bytes;
    trailing.push_back(0);
    truncated.resize(truncated.size() - 9);
    ipamwire::put32(many.data() + 8, 5);
    ipamwire::put32(huge.data() + 16, 101);
    refused(trailing, "trailing byte");
    refused(truncated, "truncated parameter");
    refused(many, "five parameters");
    refused(huge, "parameter longer than a record");
}

}  // namespace

// A packet of several frames: every prefix of it gives back exactly the
// frames that lie whole inside it, then a refusal, and never reads past it.
TEST(Wire, PackedFramesComeBackOneByOneAndACutPacketIsRefusedWhereItIsCut) {
    std::vector<uint8_t> rec4(60, 0x11), rec6(100, 0x22);
    const std::vector<std::vector<uint8_t>> frames = {
        frame(Type::Start, 0, {}), frame(Type::Msg, IPAM4_EVT_BATCH, rec4),
        frame(Type::Msg, IPAM6_EVT_BATCH, rec6), frame(Type::Msg, IPAM4_EVT_IF_VALID, {0, 0, 0, 3}),
        frame(Type::End, 0, {})};
    std::vector<uint8_t> packet;
    std::vector<size_t> ends;
    for (const auto &f : frames) {
        packet.insert(packet.end(), f.begin(), f.end());
        ends.push_back(packet.size());
    }
    for (size_t cut = 0; cut <= packet.size(); ++cut) {
        // A copy of exactly the cut length: a read beyond it trips ASan.
        const std::vector<uint8_t> part(packet.begin(), packet.begin() + cut);
        size_t off = 0, whole = 0;
        Frame f;
        const char *why = nullptr;
        while (off < part.size() && ipamwire::decodeAt(part.data(), part.size(), &off, f, &why)) {
            EXPECT_EQ(ends[whole], off) << cut;
            ++whole;
        }
        const size_t expected =
            static_cast<size_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
        EXPECT_EQ(expected, whole) << cut;
        EXPECT_EQ(expected == 0 ? 0 : ends[expected - 1], off) << cut;
        if (off != cut) {
            EXPECT_NE(nullptr, why) << cut;
        }
    }
    // A packed packet is no single frame.
    Frame f;
    const char *why = nullptr;
    EXPECT_FALSE(ipamwire::decode(packet.data(), ends[1], f, &why));
    // A frame of the old wire refused by name, alone or inside a packet.
    std::vector<uint8_t> old = frames[1];
    old[2] = 1;
    EXPECT_FALSE(ipamwire::decode(old.data(), old.size(), f, &why));
    EXPECT_STREQ("unsupported version", why);
    std::vector<uint8_t> mixed = frames[0];
    mixed.insert(mixed.end(), old.begin(), old.end());
    size_t off = 0;
    EXPECT_TRUE(ipamwire::decodeAt(mixed.data(), mixed.size(), &off, f, &why));
    EXPECT_FALSE(ipamwire::decodeAt(mixed.data(), mixed.size(), &off, f, &why));
    EXPECT_STREQ("unsupported version", why);
}
