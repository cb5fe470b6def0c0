#include "serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <vector>

#include "change_line.h"
#include "frame_queue.h"
#include "ipam_platform.h"
#include "lexer.h"
#include "link.h"
#include "parser.h"
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
    ~Server();
    int run();

private:
    int open();
    bool lockDir(const std::string &dir);
    void acceptReady(int lfd, bool publisher);
    bool onSignal(int signals);
    void acknowledge();
    void commandError(const std::string &reason);
    bool loadTable();
    void accept(int lfd, bool publisher);
    void readSubscriber(Subscriber &s);
    void readClient(int fd, bool &drop);
    int16_t request(const uint8_t *body, uint32_t length);
    void command(std::string_view line);
    void change(const Step &s, const std::string &verb);
    void readStdin();
    void publish(const std::vector<PubMessage> &msgs);
    void batch(Subscriber &s, bool hold);
    void enqueue(Subscriber &s, ipamwire::Type type, uint32_t word, const void *payload,
                 uint32_t length);
    void flush(Subscriber &s);
    void flushAll();
    bool overrun(Subscriber &s);
    void drop(Subscriber &s, const char *why);
    bool stdinLine(std::string_view &line);

    ServeOptions opt_;
    PubTable table_;
    KernelSource kernel_;
    int pubFd_ = -1, confFd_ = -1;
    std::list<Subscriber> subs_;
    std::vector<int> clients_;
    // Our sockets and the files they bound, removed at the end.
    std::vector<std::pair<std::string, ipamwire::FileId>> paths_;
    int lockFd_ = -1;
    long long acceptPausedUntil_ = 0;  // ms on the monotonic clock
    std::string stdinBuf_;
    // What one read takes. The lines are kept in stdinBuf_; reading there
    // directly would grow it by the whole 64 KiB first, and that zero fill
    // cost more than the rest of a single change's handling.
    std::vector<char> stdinChunk_;
    size_t stdinPos_ = 0;  // where the next line starts in stdinBuf_
    int stdinLineNo_ = 0;
    size_t ackCount_ = 0;  // the subscribers ackText_ names
    std::string ackText_;
    bool stdinOpen_ = true;
    bool heldEver_ = false;  // started with --hold-end
    bool quit_ = false;
};

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

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
    if (parseChangeLine(text, s)) return true;
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

// Takes the directory's publisher lock, held until exit: one publisher per
// directory. The lock file names the holder's pid for the message.
bool Server::lockDir(const std::string &dir) {
    const std::string path = dir + "/publisher.lock";
    lockFd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        std::fprintf(stderr, "ipam-sim serve: %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        char buf[24] = {};
        const ssize_t n = pread(lockFd_, buf, sizeof buf - 1, 0);
        const long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
        std::fprintf(stderr, "ipam-sim serve: another publisher (pid %s) serves %s\n",
                     pid > 0 ? std::to_string(pid).c_str() : "unknown", dir.c_str());
        return false;
    }
    // The pid is for the message only: the lock holds without it.
    const std::string me = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) == 0 && pwrite(lockFd_, me.data(), me.size(), 0) < 0)
        std::fprintf(stderr, "ipam-sim serve: %s: %s\n", path.c_str(), std::strerror(errno));
    return true;
}

int Server::open() {
    const std::string dir = ipamwire::runDir();
    if (dir.empty()) {
        std::fprintf(stderr, "ipam-sim serve: set %s to the runtime directory\n",
                     ipamwire::kRunDirEnv);
        return kServeCannotOpen;
    }
    std::string why;
    if (!ipamwire::ensureRunDir(dir, &why)) {
        std::fprintf(stderr, "ipam-sim serve: cannot use %s: %s\n", dir.c_str(), why.c_str());
        return kServeCannotOpen;
    }
    if (!lockDir(dir)) return lockFd_ < 0 ? kServeCannotOpen : kServeBusy;
    const std::string pub =
        ipamwire::tipcPath(dir, ipamwire::kNameType, ipamwire::kPublisherInstance);
    const std::string conf = ipamwire::tipcPath(dir, ipamwire::kNameType, ipamwire::kConfInstance);
    for (const std::string &path : {pub, conf}) {
        ipamwire::FileId id;
        const int fd = ipamwire::listenAt(path, &id);
        if (fd < 0) {
            const int err = errno;
            std::fprintf(stderr, "ipam-sim serve: cannot listen on %s: %s\n", path.c_str(),
                         err == EADDRINUSE ? "another process listens there" : std::strerror(err));
            return err == EADDRINUSE ? kServeBusy : kServeCannotOpen;
        }
        (path == pub ? pubFd_ : confFd_) = fd;
        paths_.emplace_back(path, id);
    }
    std::printf("# serving %zu records on %s\n", table_.size(), pub.c_str());
    std::fflush(stdout);
    return kServeOk;
}

// Closes everything and removes the sockets this process made, whatever
// way run() ends.
Server::~Server() {
    for (Subscriber &s : subs_)
        if (s.fd >= 0) close(s.fd);
    // Unlinked while still bound: an open socket keeps its file's inode
    // number from going to another file.
    for (const auto &[path, id] : paths_) ipamwire::unlinkOwn(path, id);
    for (int fd : clients_) close(fd);
    if (pubFd_ >= 0) close(pubFd_);
    if (confFd_ >= 0) close(confFd_);
    if (lockFd_ >= 0) close(lockFd_);
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
        std::fflush(stdout);  // the acknowledgements before it come first
        ipamwire::logError("subscriber pid %u %s: disconnected with %llu frames queued",
                           s.hello.pid, why, static_cast<unsigned long long>(s.queue.frames()));
    }
    close(s.fd);
    s.fd = -1;
    s.queue = FrameQueue();
}

// The whole table as one batch: the publisher's first act on a connection.
// What the socket takes leaves while the rest is encoded, so that the
// subscriber applies the first records while we encode the last.
void Server::batch(Subscriber &s, bool hold) {
    constexpr uint64_t kSendEvery = 4096;  // frames
    enqueue(s, ipamwire::Type::Start, 0, nullptr, 0);
    table_.each([this, &s](const PubRecord &r) {
        const uint32_t code = r.v6 ? IPAM6_EVT_BATCH : IPAM4_EVT_BATCH;
        if (!(s.hello.careMask & code)) return;
        enqueue(s, ipamwire::Type::Msg, code, r.data(), r.size());
        if (s.queue.pushedFrames % kSendEvery == 0) flush(s);
    });
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
    if (q.pushedFrames <= s.batchFrames || (frames <= opt_.queueBound && bytes <= opt_.queueBytes))
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

// Out of descriptors, the pending connection stays queued and its listener
// readable: both listeners pause for a while instead of spinning on it.
void Server::acceptReady(int lfd, bool publisher) {
    if (nowMs() < acceptPausedUntil_) return;
    accept(lfd, publisher);
}

void Server::accept(int lfd, bool publisher) {
    const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (ipamwire::acceptOutOfResources(errno)) {
            if (acceptPausedUntil_ == 0)
                ipamwire::logError("cannot accept on the %s: %s",
                                   publisher ? "publisher" : "configuration server",
                                   std::strerror(errno));
            acceptPausedUntil_ = nowMs() + ipamwire::kAcceptBackoffMs;
        }
        return;
    }
    acceptPausedUntil_ = 0;
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

// A stdin command that could not be carried out, named as a table file's
// line would be.
void Server::commandError(const std::string &reason) {
    std::fflush(stdout);  // the acknowledgements of the lines before it come first
    std::fprintf(stderr, "stdin:%d: %s\n", stdinLineNo_, reason.c_str());
}

// One line: how many subscribers the change went out to. Written with the
// others of its round, once what they changed has been sent.
void Server::acknowledge() {
    if (opt_.quiet) return;
    size_t n = 0;
    for (const Subscriber &s : subs_) n += s.registered && s.fd >= 0;
    if (n != ackCount_ || ackText_.empty()) {
        ackCount_ = n;
        ackText_ = "# sent to " + std::to_string(n) + (n == 1 ? " subscriber\n" : " subscribers\n");
    }
    std::fputs(ackText_.c_str(), stdout);
}

constexpr const char *kNotACommand =
    "not a publisher command (add4/6, batch4/6, del4/6, update6, ifvalid4/6, ifinvalid4/6, "
    "relay, restart, release, show, quit)";

// One stdin command: carried out and acknowledged, or reported as
// `stdin:LINE: reason` and nothing done.
void Server::command(std::string_view text) {
    ++stdinLineNo_;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (Step quick; parseChangeLine(text, quick)) return change(quick, {});
    LexResult lex = lexLine(text);
    if (lex.errorCol != 0) {
        commandError("unterminated quoted value");
        return;
    }
    if (lex.words.empty()) return;  // blank or comment
    const std::string &verb = lex.words[0].key;
    const bool bare = lex.words.size() == 1;
    if (verb == "restart" || verb == "release" || verb == "quit" || verb == "show") {
        if (!bare) {
            commandError(verb + " takes no fields");
            return;
        }
    }
    if (verb == "restart") {
        for (Subscriber &s : subs_)
            if (s.registered && s.fd >= 0) batch(s, false);
        acknowledge();
        return;
    }
    if (verb == "release") {
        if (!opt_.holdEnd && !heldEver_) {
            commandError("release: no batch end is held (serve --hold-end holds them)");
            return;
        }
        opt_.holdEnd = false;
        for (Subscriber &s : subs_)
            if (s.registered && s.holding) {
                s.holding = false;
                enqueue(s, ipamwire::Type::End, 0, nullptr, 0);
            }
        acknowledge();
        return;
    }
    if (verb == "quit") {
        quit_ = true;
        return;
    }
    if (verb == "show") {
        table_.each([](const PubRecord &r) {
            std::printf("%s%s\n", r.v6 ? "add6 " : "add4 ",
                        recordText(r.v6 ? Record::from6(r.r6) : Record::from4(r.r4)).c_str());
        });
        return;
    }
    Step s;
    ParseError pe;
    if (!parseStep(lex.words, s, pe)) {
        commandError(pe.message.rfind("unknown verb", 0) == 0 ? pe.message + ": " + kNotACommand
                                                              : pe.message);
        return;
    }
    change(s, verb);
}

// Carries out a parsed publisher step (`verb` as written, for its message
// when it is no publisher command) and acknowledges it.
void Server::change(const Step &s, const std::string &verb) {
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
            if (!table_.del(r, msgs)) {
                commandError("no such record");
                return;
            }
        } else if (s.code == IPAM6_EVT_UPDATE) {
            msgs = table_.update6(r);
        } else if (s.code == IPAM4_EVT_ADD || s.code == IPAM6_EVT_ADD ||
                   s.code == IPAM4_EVT_BATCH || s.code == IPAM6_EVT_BATCH) {
            msgs = table_.add(r);
        } else {
            commandError("'" + verb + "' is " + kNotACommand);
            return;
        }
    } else {
        commandError("'" + verb + "' is " + kNotACommand);
        return;
    }
    publish(msgs);
    acknowledge();
}

// The next whole line of stdin, valid until the buffer is read into again.
bool Server::stdinLine(std::string_view &line) {
    const size_t nl = stdinBuf_.find('\n', stdinPos_);
    if (nl == std::string::npos) {
        stdinBuf_.erase(0, stdinPos_);
        stdinPos_ = 0;
        return false;
    }
    line = std::string_view(stdinBuf_).substr(stdinPos_, nl - stdinPos_);
    stdinPos_ = nl + 1;
    return true;
}

// Reads what stdin has (up to 64 KiB) and carries out its whole lines; at
// its end, a last line without its newline too.
void Server::readStdin() {
    constexpr size_t kRead = 64 * 1024;
    if (stdinChunk_.empty()) stdinChunk_.resize(kRead);
    ssize_t n;
    do n = read(0, stdinChunk_.data(), kRead);
    while (n < 0 && errno == EINTR);
    if (n > 0) stdinBuf_.append(stdinChunk_.data(), static_cast<size_t>(n));
    if (n <= 0) {
        stdinOpen_ = false;
        if (stdinPos_ < stdinBuf_.size()) stdinBuf_ += '\n';
    }
    std::string_view line;
    while (!quit_ && stdinLine(line)) command(line);
    if (!stdinOpen_ && !quit_ && !opt_.quiet)
        std::printf("# end of input: serving until SIGINT or SIGTERM\n");
}

// Reads the signals that came; false when one of them ends the run.
// SIGHUP makes a kernel follower read the kernel's table again and
// publish what differs from what it sent.
bool Server::onSignal(int signals) {
    unsigned char sig[16];
    const ssize_t n = read(signals, sig, sizeof sig);
    for (ssize_t i = 0; i < n; ++i) {
        if (sig[i] != SIGHUP || !opt_.kernel) return false;
        std::vector<PubMessage> msgs;
        std::string error;
        if (kernel_.refresh(table_, msgs, error)) {
            publish(msgs);
            acknowledge();
        } else {
            std::fprintf(stderr, "ipam-sim serve: %s\n", error.c_str());
        }
    }
    return true;
}

int Server::run() {
    if (opt_.kernel && !opt_.table.empty()) {
        std::fprintf(stderr, "ipam-sim serve: --table and --kernel exclude each other\n");
        return kServeBadInput;
    }
    if (opt_.kernel && opt_.holdEnd) {
        std::fprintf(stderr,
                     "ipam-sim serve: --hold-end needs the stdin command release, which "
                     "--kernel does not read\n");
        return kServeBadInput;
    }
    heldEver_ = opt_.holdEnd;
    // Written out at the end of each round of events (and before anything
    // on stderr), not line by line.
    std::setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    if (!opt_.kernel && !loadTable()) return kServeBadInput;
    if (opt_.kernel) {
        std::vector<PubMessage> ignored;
        std::string error;
        if (!kernel_.open(error) || !kernel_.refresh(table_, ignored, error)) {
            std::fprintf(stderr, "ipam-sim serve: %s\n", error.c_str());
            return kServeCannotOpen;
        }
    }
    const int signals = signalPipe({SIGINT, SIGTERM, SIGHUP});
    if (signals < 0) return kServeCannotOpen;
    if (int status = open(); status != kServeOk) return status;
    signal(SIGPIPE, SIG_IGN);

    while (!quit_) {
        const bool paused = nowMs() < acceptPausedUntil_;
        std::vector<pollfd> fds;
        fds.push_back({signals, POLLIN, 0});
        fds.push_back({paused ? -1 : pubFd_, POLLIN, 0});
        fds.push_back({paused ? -1 : confFd_, POLLIN, 0});
        fds.push_back({stdinOpen_ && !opt_.kernel ? 0 : -1, POLLIN, 0});
        fds.push_back({opt_.kernel ? kernel_.fd() : -1, POLLIN, 0});
        const size_t firstSub = fds.size();
        for (Subscriber &s : subs_)
            fds.push_back({s.fd, static_cast<short>(POLLIN | (s.queue.empty() ? 0 : POLLOUT)), 0});
        const size_t firstClient = fds.size();
        for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
        const int timeout = paused ? static_cast<int>(acceptPausedUntil_ - nowMs()) + 1 : -1;
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            std::perror("ipam-sim serve: poll");
            return kServeCannotOpen;
        }
        if (fds[0].revents && !onSignal(signals)) break;
        if (fds[1].revents & POLLIN) acceptReady(pubFd_, true);
        if (fds[2].revents & POLLIN) acceptReady(confFd_, false);
        if (fds[3].revents) {
            readStdin();
            // What the lines changed leaves before they are acknowledged.
            flushAll();
            std::fflush(stdout);
        }
        if (fds[4].revents) {
            std::vector<PubMessage> msgs;
            std::string error;
            if (kernel_.changed(table_, msgs, error))
                publish(msgs);
            else if (!error.empty())
                std::fprintf(stderr, "ipam-sim serve: %s\n", error.c_str());
        }
        // Only the connections polled: those accepted above come after them.
        size_t i = firstSub;
        for (Subscriber &s : subs_) {
            if (i == firstClient) break;
            const short ev = fds[i++].revents;
            if (s.fd >= 0 && (ev & POLLOUT)) flush(s);
            if (s.fd >= 0 && (ev & (POLLIN | POLLHUP | POLLERR))) readSubscriber(s);
        }
        std::vector<int> keep;
        for (size_t c = 0; c < clients_.size(); ++c) {
            bool dropIt = false;
            if (firstClient + c < fds.size() && fds[firstClient + c].revents)
                readClient(clients_[c], dropIt);
            if (dropIt)
                close(clients_[c]);
            else
                keep.push_back(clients_[c]);
        }
        clients_.swap(keep);
        flushAll();
        std::fflush(stdout);
        subs_.remove_if([](const Subscriber &s) { return s.fd < 0; });
    }
    return kServeOk;
}

}  // namespace

int runServe(const ServeOptions &options) {
    ipamplat_log_set_stderr(1);
    Server server(options);
    return server.run();
}

}  // namespace sim
