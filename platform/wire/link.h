/* Unix-domain SOCK_SEQPACKET links between the platform's processes: where
 * they meet (the runtime directory and the names in it), who may connect
 * (the peer's uid), and one frame per packet each way. */
#ifndef IPAMPLAT_LINK_H
#define IPAMPLAT_LINK_H

#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "wire.h"

namespace ipamwire {

/* The environment variable that turns cross-process mode on: the runtime
 * directory's path. */
constexpr const char *kRunDirEnv = "IPAM_PLATFORM_RUNDIR";

/* The runtime directory, or an empty string when cross-process mode is off. */
std::string runDir();
/* Creates the directory with mode 0700 unless it exists; false (with
 * errno set) when it cannot be made or is not a directory. */
bool ensureRunDir(const std::string &dir);

/* Socket paths: a TIPC name (type, instance as the library passes them in
 * its sockaddr_tipc, host order) and a host process's management socket. */
std::string tipcPath(const std::string &dir, uint32_t nameType, uint32_t instance);
std::string tipcPath(const std::string &dir, const void *sockaddrTipc16);
std::string cmfPath(const std::string &dir, pid_t pid);
constexpr uint32_t kNameType = 0x7fff00c6;
constexpr uint32_t kPublisherInstance = 0x7ffc0001;
constexpr uint32_t kConfInstance = 0x7ffc0002;

/* A listening socket at `path` (a stale socket file there is replaced);
 * -1 with errno on failure. */
int listenAt(const std::string &path);
/* A connected socket, -1 with errno when nobody listens. Never blocks:
 * a listener whose backlog is full counts as absent. */
int connectTo(const std::string &path);
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

/* A platform log line (module "IPAMPLAT"): errors always, traces too. */
void logError(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ipamwire

#endif
