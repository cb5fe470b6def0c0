// A misbehaving peer for the multi-process test: connects to a platform
// socket and either registers as a subscriber or sends frames no peer may
// send, then reports how the other side answered.
//
//   wire_probe hello PATH     exit 0: a batch start came; 3: the connection was closed;
//                             4: no connection could be made
//   wire_probe garbage PATH   exit 0: every kind of bad frame made the peer hang up
//   wire_probe publisher PATH a publisher that sends its subscriber a bad
//                             frame: exit 0 when the subscriber hung up and
//                             came back
//   wire_probe silent PATH N  opens N connections that send nothing, holds
//                             them until the peer closes them or 10 s pass,
//                             then exits 0
//   wire_probe stall PATH GO  registers, reads nothing until the file GO exists
//                             (10 s at most), then drains: exit 0 when the
//                             publisher had hung up on it
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link.h"
#include "wire.h"

namespace {

// The frames of the connection being read (peers pack many to a packet).
ipamwire::PacketReader g_reader;

// Closes a connection, forgetting what was left of its packets.
void closeConn(int fd) {
    g_reader.reset();
    close(fd);
}

// 1 the peer closed, 0 a frame came (its type in *type), -1 nothing in 2 s.
int answer(int fd, ipamwire::Type *type) {
    if (!g_reader.pending() && ipamwire::waitReadable(fd, -1, 2000) <= 0) return -1;
    ipamwire::Frame f;
    const char *why = "";
    switch (g_reader.next(fd, f, &why)) {
    case ipamwire::Recv::Frame:
        *type = f.type;
        return 0;
    case ipamwire::Recv::Closed:
    case ipamwire::Recv::Error:
        return 1;
    case ipamwire::Recv::Bad:
        return 0;
    case ipamwire::Recv::Empty:
        break;
    }
    return -1;
}

// A connection that registered as a subscriber of every code; -1 for none.
int subscribe(const std::string &path) {
    const int fd = ipamwire::connectTo(path);
    if (fd < 0) return -1;
    uint8_t payload[ipamwire::kHelloSize];
    ipamwire::helloToWire({1, 77, 198, 0xffffffff, static_cast<uint32_t>(getpid())}, payload);
    ipamwire::sendFrame(fd, ipamwire::Type::Hello, 0, payload, sizeof payload);
    return fd;
}

int hello(const std::string &path) {
    const int fd = subscribe(path);
    if (fd < 0) return 4;
    ipamwire::Type type{};
    const int r = answer(fd, &type);
    closeConn(fd);
    if (r == 0 && type == ipamwire::Type::Start) return 0;
    return r == 1 ? 3 : 1;
}

// Each bad packet on a connection of its own: the peer must hang up.
int garbage(const std::string &path) {
    std::vector<std::vector<uint8_t>> bad;
    uint8_t frame[ipamwire::kMaxFrame + 8] = {};
    ipamwire::encode(ipamwire::Type::Start, 0, nullptr, 0, frame);
    bad.emplace_back(frame, frame + 5);  // short
    std::vector<uint8_t> magic(frame, frame + 12);
    magic[0] ^= 0xff;
    bad.push_back(magic);  // bad magic
    std::vector<uint8_t> version(frame, frame + 12);
    version[2] = 9;
    bad.push_back(version);  // unknown version
    std::vector<uint8_t> type(frame, frame + 12);
    type[3] = 99;
    bad.push_back(type);  // unknown type
    std::vector<uint8_t> length(frame, frame + 12);
    length[11] = 40;
    bad.push_back(length);  // length beyond the packet
    ipamwire::encode(ipamwire::Type::Msg, IPAM4_EVT_ADD, frame + 100, 59, frame);
    bad.emplace_back(frame, frame + 12 + 59);  // record one byte short
    bad.emplace_back(sizeof frame, 0xab);      // oversized
    ipamwire::encode(ipamwire::Type::End, 0, nullptr, 0, frame);
    bad.emplace_back(frame, frame + 12);  // a frame this peer never takes
    int failures = 0;
    for (size_t i = 0; i < bad.size(); ++i) {
        const int fd = ipamwire::connectTo(path);
        if (fd < 0) {
            std::fprintf(stderr, "wire_probe: cannot connect to %s\n", path.c_str());
            return 1;
        }
        send(fd, bad[i].data(), bad[i].size(), MSG_NOSIGNAL);
        ipamwire::Type t{};
        int r;
        // Whatever the peer still sends (a batch already queued), it must close.
        for (int frames = 0; (r = answer(fd, &t)) == 0 && frames < 10000; ++frames) {}
        if (r != 1) {
            std::fprintf(stderr, "wire_probe: bad packet %zu was not refused\n", i);
            ++failures;
        }
        closeConn(fd);
    }
    return failures == 0 ? 0 : 1;
}

int stall(const std::string &path, const std::string &go) {
    const int fd = subscribe(path);
    if (fd < 0) return 4;
    for (int i = 0; i < 100 && access(go.c_str(), F_OK) != 0; ++i) usleep(100000);
    ipamwire::Type t{};
    int r;
    for (long frames = 0; (r = answer(fd, &t)) == 0 && frames < 1000000; ++frames) {}
    closeConn(fd);
    return r == 1 ? 0 : 1;
}

// The next subscriber's connection, registered; -1 after 10 s.
int acceptSubscriber(int lfd) {
    if (ipamwire::waitReadable(lfd, -1, 10000) <= 0) return -1;
    const int fd = accept(lfd, nullptr, nullptr);
    ipamwire::Type t{};
    if (fd >= 0 && (answer(fd, &t) != 0 || t != ipamwire::Type::Hello)) {
        closeConn(fd);
        return -1;
    }
    return fd;
}

int publisher(const std::string &path) {
    const int lfd = ipamwire::listenAt(path);
    int fd = acceptSubscriber(lfd);
    if (fd < 0) return 1;
    uint8_t frame[ipamwire::kMaxFrame];
    const uint32_t n =
        ipamwire::encode(ipamwire::Type::Msg, IPAM4_EVT_BATCH, frame + 100, 60, frame);
    send(fd, frame, n, MSG_NOSIGNAL);  // a batch record outside a batch
    ipamwire::Type t{};
    const int r = answer(fd, &t);
    closeConn(fd);
    fd = r == 1 ? acceptSubscriber(lfd) : -1;
    const bool back = fd >= 0;
    if (back) closeConn(fd);
    close(lfd);
    unlink(path.c_str());
    return back ? 0 : 1;
}

}  // namespace

int silent(const std::string &path, int n) {
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const int fd = ipamwire::connectTo(path);
        if (fd < 0) return 4;
        fds.push_back(fd);
    }
    for (int fd : fds) {
        ipamwire::Type type{};
        answer(fd, &type);
        answer(fd, &type);
        answer(fd, &type);
        answer(fd, &type);
        answer(fd, &type);
        closeConn(fd);
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "stall") return stall(argv[2], argv[3]);
    if (argc == 4 && std::string(argv[1]) == "silent") return silent(argv[2], std::atoi(argv[3]));
    if (argc != 3) return 2;
    const std::string mode = argv[1];
    if (mode == "hello") return hello(argv[2]);
    if (mode == "garbage") return garbage(argv[2]);
    if (mode == "publisher") return publisher(argv[2]);
    return 2;
}
