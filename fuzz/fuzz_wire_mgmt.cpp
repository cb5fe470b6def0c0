// A host's management side as another process reaches it: requests over the
// host's own management socket (cross-process mode), as raw packets or as
// well-formed requests with any object, operation, page limit and parameter
// list, whose cursors are often the last record a previous page answered.
// Every answer must decode; a table page holds only whole records the
// replica stores, no more than the page limit; each answer ends with one
// MgmtDone, or the host hangs up on a request it refused. Configuration
// bodies convert to host order and back unchanged.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "link.h"
#include "wire.h"

namespace {

const uint32_t kObjects[] = {IPAM_CMF_OBJ_DEBUG,
                             IPAM_CMF_OBJ_ADDR4_TABLE,
                             IPAM_CMF_OBJ_ADDR6_TABLE,
                             ipamwire::kStatusObject,
                             0,
                             4};
const int32_t kLimits[] = {-1, 1, 2, 7, 0, 100};
const int32_t kLengths[] = {0, -1, 1, 4, 59, 60, 61, 99, 100};

// Cross-process mode in a scratch directory, for the whole run.
const std::string &runDir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/fuzz-wire-mgmt-XXXXXX";
        FZ_CHECK(mkdtemp(tmpl) != nullptr);
        setenv(ipamwire::kRunDirEnv, tmpl, 1);
        atexit([] { rmdir(getenv(ipamwire::kRunDirEnv)); });  // empty once unsubscribed
        return std::string(tmpl);
    }();
    return dir;
}

struct Answer {
    bool done = false;  // a MgmtDone came
    int32_t result = 0;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> params;  // wire order
};

// Sends one packet on a fresh connection, ends its sending side, and reads
// the answer until the host closes it. False when the host could not be
// reached.
bool exchange(const std::vector<uint8_t> &packet, Answer &a) {
    const int fd = ipamwire::connectTo(ipamwire::cmfPath(runDir(), getpid()));
    if (fd < 0) return false;
    if (!packet.empty()) FZ_CHECK(send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0);
    shutdown(fd, SHUT_WR);  // one request: the host closes behind its answer
    static ipamwire::PacketReader reader;
    reader.reset();
    for (;;) {
        FZ_CHECK(reader.pending() || ipamwire::waitReadable(fd, -1, 5000) > 0);  // never stalls
        ipamwire::Frame f;
        const char *why = nullptr;
        const ipamwire::Recv r = reader.next(fd, f, &why);
        if (r == ipamwire::Recv::Closed || r == ipamwire::Recv::Error) break;
        FZ_CHECK(r == ipamwire::Recv::Frame && !a.done);  // nothing after the end
        if (f.type == ipamwire::Type::MgmtDone) {
            a.done = true;
            a.result = static_cast<int32_t>(f.word);
        } else {
            FZ_CHECK(f.type == ipamwire::Type::MgmtParam);
            a.params.emplace_back(f.word, std::vector<uint8_t>(f.payload, f.payload + f.length));
        }
    }
    close(fd);
    return true;
}

template <class Info>
bool stored(const std::vector<Info> &table, const uint8_t *wire, uint32_t objectId) {
    Info r;
    ipamwire::paramConvert(objectId, wire, sizeof r, reinterpret_cast<uint8_t *>(&r), false);
    return std::any_of(table.begin(), table.end(),
                       [&](const Info &t) { return std::memcmp(&t, &r, sizeof t) == 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    runDir();
    fz::Reader in(data, size);
    if (in.u8() == 0xff) {  // a configuration body
        std::vector<uint8_t> body = in.bytes(size > 1 ? (size - 1) % 505 : 0);
        const uint32_t n = static_cast<uint32_t>(body.size());
        std::vector<uint8_t> host(n), back(n);
        ipamwire::confBodyConvert(body.data(), n, host.data(), false);
        ipamwire::confBodyConvert(host.data(), n, back.data(), true);
        FZ_CHECK(back == body);
        return 0;
    }
    fz::Session session(in, nullptr);
    ipamSubStart();
    for (uint8_t n = in.u8() & 15; n > 0; n--) {
        const bool v6 = in.u8() & 1;
        fz::sendRecord(in, v6, v6 ? IPAM6_EVT_BATCH : IPAM4_EVT_BATCH);
    }
    ipamSubEnd();
    const fz::Tables t;
    // The last record each table answered, in host order: the next page's
    // usual cursor.
    std::vector<uint8_t> cursor[2];

    for (int req = 0; !in.empty() && req < 8; req++) {
        const uint8_t how = in.u8();
        std::vector<uint8_t> packet;
        ipamwire::MgmtRequest r;
        const bool raw = (how & 7) == 0;
        if (raw) {
            packet = in.bytes(in.u8() * 3u % (ipamwire::kMaxFrame + 4));
            // Nothing at all is a silent client: the host would wait it out.
            if (packet.empty()) continue;
        } else {
            const uint8_t o = in.u8();
            r.objectId = o < 240 ? kObjects[o % 6] : in.u32();
            r.operation = in.u8() % 6;
            r.pageLimit = kLimits[in.u8() % 6];
            r.count = in.u8() % (ipamwire::kMaxParams + 1);
            for (uint32_t i = 0; i < r.count; ++i) {
                ipamwire::MgmtParam &p = r.params[i];
                p.id = static_cast<int32_t>(in.u8() % 8) - 1;
                p.length = kLengths[in.u8() % 9];
                const std::vector<uint8_t> &c =
                    cursor[r.objectId == IPAM_CMF_OBJ_ADDR6_TABLE ? 1 : 0];
                if ((how & 8) && !c.empty() && p.length > 0) {
                    p.length = static_cast<int32_t>(c.size());
                    std::memcpy(p.data, c.data(), c.size());
                } else if (p.length > 0) {
                    const std::vector<uint8_t> b = in.bytes(static_cast<size_t>(p.length));
                    std::memcpy(p.data, b.data(), b.size());
                }
            }
            uint8_t payload[ipamwire::kMaxPayload];
            const uint32_t n = ipamwire::mgmtRequestEncode(r, payload, sizeof payload);
            FZ_CHECK(n > 0);
            packet.resize(ipamwire::kMaxFrame);
            packet.resize(
                ipamwire::encode(ipamwire::Type::MgmtReq, r.objectId, payload, n, packet.data()));
        }
        Answer a;
        FZ_CHECK(exchange(packet, a));
        if (raw) continue;  // any answer that decodes, or a hang-up
        FZ_CHECK(a.done);   // a well-formed request is always answered
        if (r.objectId == ipamwire::kStatusObject) {
            FZ_CHECK(a.result == 0 && a.params.size() == 1 &&
                     a.params[0].second.size() == ipamwire::kStatusSize);
            continue;
        }
        const bool v6 = r.objectId == IPAM_CMF_OBJ_ADDR6_TABLE;
        if (!v6 && r.objectId != IPAM_CMF_OBJ_ADDR4_TABLE) continue;
        if (r.pageLimit >= 0) FZ_CHECK(a.params.size() <= static_cast<size_t>(r.pageLimit));
        for (const auto &[id, rec] : a.params) {
            FZ_CHECK(id == 0);
            FZ_CHECK(
                v6 ? rec.size() == sizeof(Ipam6AddrInfo) && stored(t.v6, rec.data(), r.objectId)
                   : rec.size() == sizeof(Ipam4AddrInfo) && stored(t.v4, rec.data(), r.objectId));
        }
        if (!a.params.empty()) {  // requests carry cursors in host order
            const std::vector<uint8_t> &last = a.params.back().second;
            cursor[v6].resize(last.size());
            ipamwire::paramConvert(r.objectId, last.data(), static_cast<uint32_t>(last.size()),
                                   cursor[v6].data(), false);
        }
        if (a.result == IPAM_CMF_END) cursor[v6].clear();
    }
    return 0;
}
