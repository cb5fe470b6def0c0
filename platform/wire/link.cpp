/* Socket plumbing of the cross-process platform; see link.h. */
#include "link.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/nlog.h"

namespace ipamwire {

namespace {

bool fillAddr(const std::string &path, sockaddr_un &addr) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

std::string runDir() {
    const char *dir = getenv(kRunDirEnv);
    return dir != nullptr ? std::string(dir) : std::string();
}

bool ensureRunDir(const std::string &dir) {
    if (mkdir(dir.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

std::string tipcPath(const std::string &dir, uint32_t nameType, uint32_t instance) {
    char name[48];
    snprintf(name, sizeof name, "/tipc-%08x-%08x.sock", static_cast<unsigned>(nameType),
             static_cast<unsigned>(instance));
    return dir + name;
}

std::string tipcPath(const std::string &dir, const void *sockaddrTipc16) {
    uint32_t type = 0, instance = 0;
    if (sockaddrTipc16 != nullptr) {
        memcpy(&type, static_cast<const uint8_t *>(sockaddrTipc16) + 4, 4);
        memcpy(&instance, static_cast<const uint8_t *>(sockaddrTipc16) + 8, 4);
    }
    return tipcPath(dir, type, instance);
}

std::string cmfPath(const std::string &dir, pid_t pid) {
    return dir + "/cmf-" + std::to_string(pid) + ".sock";
}

int listenAt(const std::string &path) {
    sockaddr_un addr;
    if (!fillAddr(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int connectTo(const std::string &path) {
    sockaddr_un addr;
    if (!fillAddr(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    /* Unix-domain connects complete at once or fail; EAGAIN is a full
     * backlog, which we treat as nobody there rather than wait. */
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    /* Blocking from here on; callers bound their waits with poll or timeouts. */
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool peerAllowed(int fd, uid_t *uid) {
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return false;
    if (uid != nullptr) *uid = cred.uid;
    return cred.uid == geteuid() || cred.uid == 0;
}

void setTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool sendFrame(int fd, Type type, uint32_t word, const void *payload, uint32_t length) {
    uint8_t buf[kMaxFrame];
    const uint32_t n = encode(type, word, payload, length, buf);
    if (n == 0) return false;
    ssize_t sent;
    do sent = send(fd, buf, n, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(n);
}

int waitReadable(int fd, int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        const int r = poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (wakeFd >= 0 && fds[1].revents != 0) return -1;
        return 1;
    }
}

Recv recvFrame(int fd, uint8_t *buf, Frame &f, const char **why, bool wait) {
    ssize_t n;
    do n = recv(fd, buf, kMaxFrame + 1, wait ? 0 : MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return Recv::Empty;
    if (n == 0) return Recv::Closed;
    if (n < 0) return Recv::Error;
    return decode(buf, static_cast<size_t>(n), f, why) ? Recv::Frame : Recv::Bad;
}

void logError(const char *format, ...) {
    char text[400];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    NLOG_Send(0, "IPAMPLAT", 3, 1, "(PID:%d)%s", static_cast<int>(getpid()), text);
}

}  // namespace ipamwire
