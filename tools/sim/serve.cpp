#include "serve.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <vector>

#include "ipam_platform.h"
#include "lexer.h"
#include "link.h"
#include "parser.h"
#include "frame_queue.h"
#include "record.h"
#include "serve_kernel.h"
#include "serve_table.h"
#include "signals.h"
#include "wire.h"

namespace sim {

namespace {

// Error codes of the configuration server (docs/wire.md).
constexpr int16_t kConfOk = 0;
constexpr int16_t kConfNotFound = 14;
constexpr int16_t kConfBadBody = 16;
constexpr int16_t kConfUnsupported = 95;
constexpr int32_t kRequestAdd = 1;
constexpr int32_t kRequestDelete = 2;

constexpr uint32_t kInterfaceCodes =
    IPAM4_EVT_IF_VALID | IPAM4_EVT_IF_INVALID | IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID;

struct Subscriber {
    int fd = -1;
    bool registered = false;
    bool holding = false;  // its first batch's end waits for `release`
    ipamwire::Hello hello{};
    FrameQueue queue;  // encoded frames not yet sent
    // Totals queued when its latest batch was: that much may always wait.
    uint64_t batchFrames = 0, batchBytes = 0;
};

class Server {
public:
    explicit Server(const ServeOptions &o) : opt_(o) {}
    int run();

private:
    bool open();
    bool loadTable();
    void accept(int lfd, bool publisher);
    void readSubscriber(Subscriber &s);
    void readClient(int fd, bool &drop);
    int16_t request(const uint8_t *body, uint32_t length);
    bool command(const std::string &line);
    void publish(const std::vector<PubMessage> &msgs);
    void batch(Subscriber &s, bool hold);
    void enqueue(Subscriber &s, ipamwire::Type type, uint32_t word, const void *payload,
                 uint32_t length);
    void flush(Subscriber &s);
    void flushAll();
    bool overrun(Subscriber &s);
    void drop(Subscriber &s, const char *why);
    bool stdinLine(std::string &line);

    ServeOptions opt_;
    PubTable table_;
    KernelSource kernel_;
    int pubFd_ = -1, confFd_ = -1;
    std::list<Subscriber> subs_;
    std::vector<int> clients_;
    std::vector<std::string> paths_;  // our sockets, removed at the end
    std::string stdinBuf_;
    bool stdinOpen_ = true;
    bool quit_ = false;
};

bool recordFromStep(const Step &s, PubRecord &r) {
    if (s.verb == Verb::Send4) {
        r.v6 = false;
        r.r4 = s.rec4;
        return true;
    }
    if (s.verb == Verb::Send6) {
        r.v6 = true;
        r.r6 = s.rec6;
        return true;
    }
    return false;
}

bool parseLine(const std::string &text, Step &s, std::string &error) {
    LexResult lex = lexLine(text);
    if (lex.errorCol != 0) {
        error = "unterminated quoted value";
        return false;
    }
    if (lex.words.empty()) return false;
    ParseError pe;
    if (!parseStep(lex.words, s, pe)) {
        error = pe.message;
        return false;
    }
    s.source = lex.source;
    return true;
}

bool Server::loadTable() {
    if (opt_.table.empty()) return true;
    std::ifstream in(opt_.table);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read the table file\n", opt_.table.c_str());
        return false;
    }
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        Step s;
        std::string error;
        PubRecord r;
        if (!parseLine(line, s, error)) {
            if (error.empty()) continue;  // blank or comment
            std::fprintf(stderr, "%s:%d: %s\n", opt_.table.c_str(), n, error.c_str());
            return false;
        }
        if (!recordFromStep(s, r) || s.code == IPAM4_EVT_DEL || s.code == IPAM6_EVT_DEL ||
            s.code == IPAM_EVT_RELAY) {
            std::fprintf(stderr, "%s:%d: a table line is add4, add6, batch4 or batch6\n",
                         opt_.table.c_str(), n);
            return false;
        }
        table_.add(r);
    }
    return true;
}

bool Server::open() {
    const std::string dir = ipamwire::runDir();
    if (dir.empty()) {
        std::fprintf(stderr, "ipam-sim serve: set %s to the runtime directory\n",
                     ipamwire::kRunDirEnv);
        return false;
    }
    if (!ipamwire::ensureRunDir(dir)) {
        std::fprintf(stderr, "ipam-sim serve: %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    const std::string pub =
        ipamwire::tipcPath(dir, ipamwire::kNameType, ipamwire::kPublisherInstance);
    const std::string conf = ipamwire::tipcPath(dir, ipamwire::kNameType, ipamwire::kConfInstance);
    pubFd_ = ipamwire::listenAt(pub);
    confFd_ = pubFd_ >= 0 ? ipamwire::listenAt(conf) : -1;
    if (confFd_ < 0) {
        std::fprintf(stderr, "ipam-sim serve: cannot listen in %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    paths_ = {pub, conf};
    std::printf("# serving %zu records on %s\n", table_.size(), pub.c_str());
    std::fflush(stdout);
    return true;
}

void Server::enqueue(Subscriber &s, ipamwire::Type type, uint32_t word, const void *payload,
                     uint32_t length) {
    if (s.fd < 0) return;
    uint8_t wire[ipamwire::kMaxPayload];
    if (length > 0)
        ipamwire::msgPayloadConvert(word, static_cast<const uint8_t *>(payload), length, wire,
                                    true);
    uint8_t frame[ipamwire::kMaxFrame];
    s.queue.push(frame, ipamwire::encode(type, word, length > 0 ? wire : nullptr, length, frame));
}

void Server::flush(Subscriber &s) {
    if (s.fd >= 0 && !s.queue.empty() && !s.queue.flush(s.fd)) drop(s, "went away");
}

// Sends what every subscriber has waiting, so that changes made together
// leave together, and drops those past the bound.
void Server::flushAll() {
    for (Subscriber &s : subs_) {
        flush(s);
        if (s.fd >= 0) overrun(s);
    }
}

void Server::drop(Subscriber &s, const char *why) {
    if (s.fd < 0) return;
    if (s.registered && std::strcmp(why, "went away") == 0) {
        std::printf("# subscriber pid %u went away\n", s.hello.pid);
        std::fflush(stdout);
    } else if (s.registered) {
        ipamwire::logError("subscriber pid %u %s: disconnected with %zu frames queued", s.hello.pid,
                           why, s.queue.frames());
    }
    close(s.fd);
    s.fd = -1;
    s.queue = FrameQueue();
}

// The whole table as one batch: the publisher's first act on a connection.
void Server::batch(Subscriber &s, bool hold) {
    enqueue(s, ipamwire::Type::Start, 0, nullptr, 0);
    for (const PubRecord &r : table_.all()) {
        const uint32_t code = r.v6 ? IPAM6_EVT_BATCH : IPAM4_EVT_BATCH;
        if (s.hello.careMask & code) enqueue(s, ipamwire::Type::Msg, code, r.data(), r.size());
    }
    s.holding = hold;
    if (!hold) enqueue(s, ipamwire::Type::End, 0, nullptr, 0);
    s.batchFrames = s.queue.pushedFrames;
    s.batchBytes = s.queue.pushedBytes;
}

// What waits of the latest batch may always wait; beyond it, at most
// queueBound frames and queueBytes bytes, counted after a send took what
// the socket would. A subscriber past that stopped reading, or reads far
// slower than changes come: it is dropped rather than let it hold anyone
// up, and gets a fresh batch when it reconnects.
bool Server::overrun(Subscriber &s) {
    const FrameQueue &q = s.queue;
    const uint64_t frames = q.pushedFrames - std::max(q.sentFrames, s.batchFrames);
    const uint64_t bytes = q.pushedBytes - std::max(q.sentBytes, s.batchBytes);
    if (q.pushedFrames <= s.batchFrames ||
        (frames <= opt_.queueBound && bytes <= opt_.queueBytes))
        return false;
    drop(s, "stopped reading");
    return true;
}

void Server::publish(const std::vector<PubMessage> &msgs) {
    for (Subscriber &s : subs_) {
        if (!s.registered || s.fd < 0) continue;
        for (const PubMessage &m : msgs) {
            if (!(s.hello.careMask & m.code)) continue;
            if (m.code & kInterfaceCodes) {
                uint8_t block[32] = {};
                std::memcpy(block, &m.ifIndex, 4);
                enqueue(s, ipamwire::Type::Msg, m.code, block, sizeof block);
            } else if (m.code == IPAM_EVT_RELAY) {
                enqueue(s, ipamwire::Type::Msg, m.code, nullptr, 0);
            } else {
                enqueue(s, ipamwire::Type::Msg, m.code, m.rec.data(), m.rec.size());
            }
        }
    }
}

void Server::accept(int lfd, bool publisher) {
    const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    uid_t uid = 0;
    if (!ipamwire::peerAllowed(fd, &uid)) {
        ipamwire::logError("refused connection from uid %u on the %s", static_cast<unsigned>(uid),
                           publisher ? "publisher" : "configuration server");
        close(fd);
        return;
    }
    if (publisher) {
        Subscriber s;
        s.fd = fd;
        subs_.push_back(std::move(s));
    } else {
        clients_.push_back(fd);
    }
}

void Server::readSubscriber(Subscriber &s) {
    uint8_t buf[ipamwire::kMaxFrame + 1];
    ipamwire::Frame f;
    const char *why = "a subscriber sends one registration only";
    ipamwire::Recv r = ipamwire::recvFrame(s.fd, buf, f, &why);
    if (r == ipamwire::Recv::Closed || r == ipamwire::Recv::Error) {
        drop(s, "went away");
        return;
    }
    if (r == ipamwire::Recv::Bad || s.registered || f.type != ipamwire::Type::Hello) {
        if (r == ipamwire::Recv::Frame && f.type != ipamwire::Type::Hello)
            why = "a subscriber's first frame is its registration";
        ipamwire::logError("refused frame from a subscriber: %s", why);
        drop(s, "was refused");
        return;
    }
    s.hello = ipamwire::helloFromWire(f.payload);
    s.registered = true;
    std::printf("# subscriber pid %u registered, care 0x%x\n", s.hello.pid, s.hello.careMask);
    std::fflush(stdout);
    batch(s, opt_.holdEnd);
}

int16_t Server::request(const uint8_t *body, uint32_t length) {
    Ipam4ConfReq q4;
    Ipam6ConfReq q6;
    PubRecord r;
    int32_t code;
    if (length == sizeof q4) {
        ipamwire::confBodyConvert(body, length, reinterpret_cast<uint8_t *>(&q4), false);
        code = q4.requestCode;
        std::memcpy(&r.r4, reinterpret_cast<const uint8_t *>(&q4) + 4, sizeof r.r4);
    } else if (length == sizeof q6) {
        ipamwire::confBodyConvert(body, length, reinterpret_cast<uint8_t *>(&q6), false);
        code = q6.requestCode;
        r.v6 = true;
        std::memcpy(&r.r6, reinterpret_cast<const uint8_t *>(&q6) + 4, sizeof r.r6);
    } else {
        return kConfBadBody;
    }
    if (opt_.kernel || (code != kRequestAdd && code != kRequestDelete)) return kConfUnsupported;
    if (r.v6)
        r.r6.ifName[IPAM_IFNAME_SIZE - 1] = '\0';
    else
        r.r4.ifName[IPAM_IFNAME_SIZE - 1] = '\0';
    std::vector<PubMessage> msgs;
    if (code == kRequestAdd)
        msgs = table_.add(r);
    else if (!table_.del(r, msgs))
        return kConfNotFound;
    publish(msgs);
    return kConfOk;
}

void Server::readClient(int fd, bool &dropIt) {
    uint8_t buf[ipamwire::kMaxFrame + 1];
    ipamwire::Frame f;
    const char *why = "not a configuration request";
    ipamwire::Recv r = ipamwire::recvFrame(fd, buf, f, &why);
    if (r == ipamwire::Recv::Closed || r == ipamwire::Recv::Error) {
        dropIt = true;
        return;
    }
    if (r == ipamwire::Recv::Bad || f.type != ipamwire::Type::ConfReq) {
        ipamwire::logError("refused frame from a configuration client: %s", why);
        dropIt = true;
        return;
    }
    const int16_t err = request(f.payload, f.length);
    ipamwire::setTimeouts(fd, 1000);
    if (!ipamwire::sendFrame(fd, ipamwire::Type::ConfReply,
                             static_cast<uint32_t>(static_cast<int32_t>(err)), nullptr, 0))
        dropIt = true;
}

// One stdin command; false for a line it cannot read (reported).
bool Server::command(const std::string &line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text == "restart") {
        for (Subscriber &s : subs_)
            if (s.registered && s.fd >= 0) batch(s, false);
        return true;
    }
    if (text == "release") {
        opt_.holdEnd = false;
        for (Subscriber &s : subs_)
            if (s.registered && s.holding) {
                s.holding = false;
                enqueue(s, ipamwire::Type::End, 0, nullptr, 0);
            }
        return true;
    }
    if (text == "quit") {
        quit_ = true;
        return true;
    }
    if (text == "show") {
        for (const PubRecord &r : table_.all())
            std::printf("%s%s\n", r.v6 ? "add6 " : "add4 ",
                        recordText(r.v6 ? Record::from6(r.r6) : Record::from4(r.r4)).c_str());
        std::fflush(stdout);
        return true;
    }
    Step s;
    std::string error;
    if (!parseLine(text, s, error)) return error.empty();
    PubRecord r;
    std::vector<PubMessage> msgs;
    if (s.verb == Verb::SendIf) {
        msgs = table_.interface(s.code, s.ifIndex);
    } else if (s.verb == Verb::Send4 && s.code == IPAM_EVT_RELAY) {
        PubMessage m;
        m.code = IPAM_EVT_RELAY;
        msgs.push_back(m);
    } else if (recordFromStep(s, r)) {
        if (s.code == IPAM4_EVT_DEL || s.code == IPAM6_EVT_DEL) {
            if (!table_.del(r, msgs)) error = "no such record";
        } else if (s.code == IPAM6_EVT_UPDATE) {
            msgs = table_.update6(r);
        } else if (s.code == IPAM4_EVT_ADD || s.code == IPAM6_EVT_ADD ||
                   s.code == IPAM4_EVT_BATCH || s.code == IPAM6_EVT_BATCH) {
            msgs = table_.add(r);
        } else {
            error = "not a publisher command";
        }
    } else {
        error =
            "not a publisher command (add4/6, del4/6, update6, ifvalid4/6, ifinvalid4/6, "
            "relay, restart, release, show, quit)";
    }
    if (!error.empty()) {
        std::fprintf(stderr, "ipam-sim serve: '%s': %s\n", text.c_str(), error.c_str());
        return false;
    }
    publish(msgs);
    return true;
}

bool Server::stdinLine(std::string &line) {
    const size_t nl = stdinBuf_.find('\n');
    if (nl == std::string::npos) return false;
    line = stdinBuf_.substr(0, nl);
    stdinBuf_.erase(0, nl + 1);
    return true;
}

int Server::run() {
    if (!opt_.kernel && !loadTable()) return 2;
    if (opt_.kernel) {
        std::vector<PubMessage> ignored;
        std::string error;
        if (!kernel_.open(error) || !kernel_.refresh(table_, ignored, error)) {
            std::fprintf(stderr, "ipam-sim serve: %s\n", error.c_str());
            return 1;
        }
    }
    const int signals = signalPipe({SIGINT, SIGTERM});
    if (signals < 0 || !open()) return 1;
    signal(SIGPIPE, SIG_IGN);

    while (!quit_) {
        std::vector<pollfd> fds;
        fds.push_back({signals, POLLIN, 0});
        fds.push_back({pubFd_, POLLIN, 0});
        fds.push_back({confFd_, POLLIN, 0});
        fds.push_back({stdinOpen_ && !opt_.kernel ? 0 : -1, POLLIN, 0});
        fds.push_back({opt_.kernel ? kernel_.fd() : -1, POLLIN, 0});
        const size_t firstSub = fds.size();
        for (Subscriber &s : subs_)
            fds.push_back({s.fd, static_cast<short>(POLLIN | (s.queue.empty() ? 0 : POLLOUT)), 0});
        const size_t firstClient = fds.size();
        for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("ipam-sim serve: poll");
            return 1;
        }
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) accept(pubFd_, true);
        if (fds[2].revents & POLLIN) accept(confFd_, false);
        if (fds[3].revents) {
            char buf[4096];
            const ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0)
                stdinOpen_ = false;
            else
                stdinBuf_.append(buf, static_cast<size_t>(n));
            std::string line;
            while (!quit_ && stdinLine(line)) command(line);
        }
        if (fds[4].revents) {
            std::vector<PubMessage> msgs;
            std::string error;
            if (kernel_.changed(table_, msgs, error))
                publish(msgs);
            else if (!error.empty())
                std::fprintf(stderr, "ipam-sim serve: %s\n", error.c_str());
        }
        size_t i = firstSub;
        for (Subscriber &s : subs_) {
            const short ev = fds[i++].revents;
            if (s.fd >= 0 && (ev & POLLOUT)) flush(s);
            if (s.fd >= 0 && (ev & (POLLIN | POLLHUP | POLLERR))) readSubscriber(s);
        }
        std::vector<int> keep;
        for (size_t c = 0; c < clients_.size(); ++c) {
            bool dropIt = false;
            if (fds[firstClient + c].revents) readClient(clients_[c], dropIt);
            if (dropIt)
                close(clients_[c]);
            else
                keep.push_back(clients_[c]);
        }
        clients_.swap(keep);
        flushAll();
        subs_.remove_if([](const Subscriber &s) { return s.fd < 0; });
    }
    for (Subscriber &s : subs_)
        if (s.fd >= 0) close(s.fd);
    for (int fd : clients_) close(fd);
    close(pubFd_);
    close(confFd_);
    for (const std::string &path : paths_) unlink(path.c_str());
    return 0;
}

}  // namespace

int runServe(const ServeOptions &options) {
    ipamplat_log_set_stderr(1);
    Server server(options);
    return server.run();
}

}  // namespace sim
