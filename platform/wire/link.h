/* Unix-domain SOCK_SEQPACKET links between the platform's processes: where
 * they meet (the runtime directory and the names in it), who may connect
 * (the peer's uid), and one frame per packet each way. */
#ifndef IPAMPLAT_LINK_H
#define IPAMPLAT_LINK_H

#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "platform/seam.h"
#include "wire.h"

namespace ipamwire {

/* The environment variable that turns cross-process mode on: the runtime
 * directory's path. */
constexpr const char *kRunDirEnv = "IPAM_PLATFORM_RUNDIR";

/* The runtime directory, or an empty string when cross-process mode is off. */
std::string runDir();
/* Makes sure the directory can hold this user's sockets safely: creates it
 * (and missing parents) with mode 0700, or checks that the existing one is
 * a directory of this user that neither group nor others may write to, and
 * that the socket paths inside it fit a Unix socket address. False with
 * the reason in *why (and errno set) otherwise. */
bool ensureRunDir(const std::string &dir, std::string *why = nullptr);

/* Socket paths: a TIPC name (type, instance as the library passes them in
 * its sockaddr_tipc, host order) and a host process's management socket. */
std::string tipcPath(const std::string &dir, uint32_t nameType, uint32_t instance);
std::string tipcPath(const std::string &dir, const void *sockaddrTipc16);
std::string cmfPath(const std::string &dir, pid_t pid);
constexpr uint32_t kNameType = ipam::seam::kNameType;
constexpr uint32_t kPublisherInstance = ipam::seam::kPublisherInstance;
constexpr uint32_t kConfInstance = ipam::seam::kConfServerInstance;

/* Which file a listener bound, so it removes its own and nobody else's. */
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
};

/* A listening socket at `path`; -1 with errno on failure. A socket file
 * there that nobody answers (its listener died) is replaced; one that
 * answers is left alone (EADDRINUSE), and so is anything that is not a
 * socket (EEXIST). *id, when given, names the file bound. */
int listenAt(const std::string &path, FileId *id = nullptr);
/* Removes `path` when it is still the file `id` names. Call it before the
 * socket bound there is closed: an open socket holds its file's inode, so
 * no file made since can have the same number; once closed, a fresh
 * listener's file may get it and be removed in its stead. */
void unlinkOwn(const std::string &path, const FileId &id);
/* A connected socket, -1 with errno when nobody listens. Never blocks:
 * a listener whose backlog is full counts as absent. */
int connectTo(const std::string &path);
/* accept4 failed for want of descriptors or memory: the pending
 * connection stays queued, so a listener must pause before it tries again
 * rather than spin on a socket that stays readable. */
bool acceptOutOfResources(int err);
constexpr int kAcceptBackoffMs = 100;

/* The management object the platform itself answers on a host's
 * management socket, whatever handler the host registered: one parameter
 * (id 0) of five big-endian words: the subscribed module number, whether a
 * subscription is registered, whether the publisher connection is up,
 * whether a batch is open, and how many batches ended since subscribing. */
constexpr uint32_t kStatusObject = 0x7f000001;
constexpr uint32_t kStatusSize = 20;

/* The peer is this process's own user or root; its uid in *uid. */
bool peerAllowed(int fd, uid_t *uid);
/* Sets both directions' timeouts of blocking calls. */
void setTimeouts(int fd, int ms);

/* One frame; false when it was not sent whole (peer gone, timeout). */
bool sendFrame(int fd, Type type, uint32_t word, const void *payload, uint32_t length);
/* Waits up to timeoutMs (-1 forever) for `fd` or, when wakeFd >= 0, for
 * wakeFd; 1 readable, 0 timeout, -1 woken or error. */
int waitReadable(int fd, int wakeFd, int timeoutMs);

/* The result of receiving one packet. */
enum class Recv { Frame, Closed, Bad, Error, Empty };
/* Receives one packet into buf (kMaxFrame + 1 bytes) and decodes it; *why
 * says what was wrong with a Bad one. With wait false it does not block:
 * Empty when no packet is waiting. */
Recv recvFrame(int fd, uint8_t *buf, Frame &f, const char **why, bool wait = true);

/* Receives one packet of up to `cap` bytes into buf; *n its size. Frame
 * when one came (Bad when it was larger than cap), else as recvFrame. */
Recv recvPacket(int fd, uint8_t *buf, size_t cap, size_t *n, bool wait = true);

/* The frames of the packets of one connection, one at a time, for the
 * receivers that take packed packets (a subscriber, a requester). */
class PacketReader {
public:
    /* The next frame: from the packet at hand, else from a packet received
     * now (without waiting unless `wait`). Bad for a frame that does not
     * decode, with *why; the connection is then to be dropped. */
    Recv next(int fd, Frame &f, const char **why, bool wait = true);
    /* Frames of the packet at hand not yet taken. */
    bool pending() const { return off_ < size_; }
    /* Forgets the packet at hand (a new connection starts clean). */
    void reset() { off_ = size_ = 0; }

private:
    uint8_t buf_[kMaxPacket + 1];
    size_t size_ = 0, off_ = 0;
};

/* Packs frames into packets of at most kMaxPacket bytes and sends each
 * when the next frame would not fit, or on flush. */
class PacketWriter {
public:
    explicit PacketWriter(int fd) : fd_(fd) {}
    bool add(Type type, uint32_t word, const void *payload, uint32_t length);
    bool flush();

private:
    int fd_;
    uint8_t buf_[kMaxPacket];
    uint32_t size_ = 0;
};

/* A platform log line (module "IPAMPLAT"): errors always, traces too. */
void logError(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ipamwire

#endif
